// dxflib's reader run over a file, counting the lines it hands on: shared
// by the drawing benchmark and the reader it runs as a process of its own.
#pragma once
#include <dxflib/dl_creationadapter.h>
#include <dxflib/dl_dxf.h>
#include <string>

// The lines dxflib finds in the file, or -1 when it cannot read it.
inline long dxflibLines(const std::string& file) {
  struct LineCount : DL_CreationAdapter {
    long lines = 0;
    void addLine(const DL_LineData&) override { ++lines; }
  } count;
  DL_Dxf dxf;
  return dxf.in(file, &count) ? count.lines : -1;
}
