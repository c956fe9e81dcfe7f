// Reading and saving a drawing of many lines: the stand-in's DXF reader
// beside dxflib's and ezdxf's, in time per entity and in peak memory per
// entity, and the stand-in's binary form both ways.
// KOVA_BENCH_LINES=N sets the drawing's size (default 10^6).
//
// Each benchmark runs its work once untimed first, so that none is timed
// on a heap another one left to grow (at 10^6 lines one pass is all there
// is time for).
//
// Peak memory is the largest resident size of a process that only reads
// the file (kova_drawing_reader, or python3 with ezdxf), less that of the
// same process reading a drawing without lines; its CPU time, less the
// same, gives a time per entity for ezdxf too, and for the stand-in's
// binary form read in a process of its own.
#include <benchmark/benchmark.h>
#include <kvhost.h>
#include <kvtempfolder.h>
#include <sys/resource.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>
#include "dxflibcount.h"

namespace {

AcApDocument* drawingOfLines(const std::wstring& name, int lines) {
  AcApDocument* doc = kvhost::newDocument(name);
  kvhost::setUndoRecording(doc, false);  // built, not edited
  for (int i = 0; i < lines; ++i)
    kvhost::addEntity(doc, new AcDbLine(AcGePoint3d(i, 0.5 * i, 0), AcGePoint3d(i + 1.25, i * 0.75, 0)));
  return doc;
}

// The drawing of many lines, open, and one without any, each saved in a
// folder of their own that goes with them.
struct Drawings {
  int lines = 0;
  std::string folder, dxf, binary, emptyDxf, emptyBinary;
  AcApDocument* doc = nullptr;

  Drawings() {
    const char* size = std::getenv("KOVA_BENCH_LINES");
    lines = size && *size ? std::atoi(size) : 1000000;
    folder = kvhost::makeTemporaryFolder("kovabench");
    dxf = folder + "/lines.dxf";
    binary = folder + "/lines.kvdwg";
    emptyDxf = folder + "/empty.dxf";
    emptyBinary = folder + "/empty.kvdwg";
    AcApDocument* empty = drawingOfLines(L"empty", 0);
    doc = drawingOfLines(L"lines", lines);
    if (folder.empty() || kvhost::saveDocument(empty, kvhost::fromUtf8(emptyDxf)) != Acad::eOk ||
        kvhost::saveDocument(empty, kvhost::fromUtf8(emptyBinary)) != Acad::eOk ||
        kvhost::saveDocument(doc, kvhost::fromUtf8(dxf)) != Acad::eOk ||
        kvhost::saveDocument(doc, kvhost::fromUtf8(binary)) != Acad::eOk) {
      std::fprintf(stderr, "cannot write the benchmark's drawings\n");
      std::exit(1);
    }
    kvhost::closeDocument(empty);
  }
  ~Drawings() {
    std::error_code ignored;
    if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
  }
  Drawings(const Drawings&) = delete;
  Drawings& operator=(const Drawings&) = delete;
};

const Drawings& drawings() {
  static const Drawings made;
  return made;
}

// Time per entity, as a counter in seconds.
void perEntity(benchmark::State& state) {
  state.counters["per_entity"] =
      benchmark::Counter(drawings().lines, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void open(benchmark::State& state, const std::string& file) {
  if (AcApDocument* warm = kvhost::openDocument(kvhost::fromUtf8(file))) kvhost::closeDocument(warm);
  for (auto _ : state) {
    AcApDocument* doc = kvhost::openDocument(kvhost::fromUtf8(file));
    if (doc == nullptr) return state.SkipWithError("the stand-in cannot read its own file");
    state.PauseTiming();
    kvhost::closeDocument(doc);
    state.ResumeTiming();
  }
  perEntity(state);
}

void save(benchmark::State& state, const std::string& name) {
  const std::wstring file = kvhost::fromUtf8(drawings().folder + "/" + name);
  kvhost::saveDocument(drawings().doc, file);
  for (auto _ : state)
    if (kvhost::saveDocument(drawings().doc, file) != Acad::eOk) return state.SkipWithError("the save failed");
  perEntity(state);
}

void BM_ReadDxf_Standin(benchmark::State& state) { open(state, drawings().dxf); }
void BM_ReadBinary_Standin(benchmark::State& state) { open(state, drawings().binary); }
void BM_SaveDxf_Standin(benchmark::State& state) { save(state, "saved.dxf"); }
void BM_SaveBinary_Standin(benchmark::State& state) { save(state, "saved.kvdwg"); }

void BM_ReadDxf_Dxflib(benchmark::State& state) {
  dxflibLines(drawings().dxf);
  for (auto _ : state)
    if (dxflibLines(drawings().dxf) != drawings().lines) return state.SkipWithError("dxflib does not find the lines");
  perEntity(state);
}

// A reader run in a process of its own, which prints its peak resident
// size (the kernel's VmHWM, in kB) last: that peak in bytes and the
// process's CPU time in seconds. The parent's own peak cannot be told apart
// from a child's in the resource usage a wait reports, so the child says.
struct ProcessCost {
  double peakBytes = 0, cpuSeconds = 0;
  bool ok = false;
};

double childCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

ProcessCost runReader(const std::string& command) {
  ProcessCost cost;
  const double before = childCpuSeconds();
  FILE* out = popen(command.c_str(), "r");
  if (out == nullptr) return cost;
  char line[256];
  double peakKb = 0;
  while (std::fgets(line, sizeof line, out)) peakKb = std::atof(line);
  cost.ok = pclose(out) == 0 && peakKb > 0;
  cost.peakBytes = 1024 * peakKb;
  cost.cpuSeconds = childCpuSeconds() - before;
  return cost;
}

const char kEzdxf[] =
    "/usr/bin/python3 -c 'import sys, ezdxf; ezdxf.readfile(sys.argv[1]); "
    "print([l.split()[1] for l in open(\"/proc/self/status\") if l.startswith(\"VmHWM\")][0])' ";

std::string readerCommand(int reader, const std::string& file) {
  if (reader == 2) return kEzdxf + file;
  return std::string(KOVA_DRAWING_READER) + (reader == 1 ? " dxflib " : " standin ") + file;
}

// Arg: 0 the stand-in, 1 dxflib, 2 ezdxf, reading DXF; 3 the stand-in reading its binary form.
void BM_ReaderProcess(benchmark::State& state) {
  const int reader = static_cast<int>(state.range(0));
  const bool binary = reader == 3;
  const double lines = drawings().lines;
  double bytes = 0, seconds = 0;
  for (auto _ : state) {
    const ProcessCost full = runReader(readerCommand(reader, binary ? drawings().binary : drawings().dxf));
    const ProcessCost empty = runReader(readerCommand(reader, binary ? drawings().emptyBinary : drawings().emptyDxf));
    if (!full.ok || !empty.ok) return state.SkipWithError("the reader failed");
    bytes += full.peakBytes - empty.peakBytes;
    seconds += full.cpuSeconds - empty.cpuSeconds;
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["peak_bytes_per_entity"] = bytes / runs / lines;
  state.counters["cpu_per_entity"] = seconds / runs / lines;
  state.SetLabel(reader == 0 ? "stand-in" : reader == 1 ? "dxflib" : reader == 2 ? "ezdxf" : "stand-in, binary form");
}

BENCHMARK(BM_ReadDxf_Standin)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadDxf_Dxflib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveDxf_Standin)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadBinary_Standin)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveBinary_Standin)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReaderProcess)->DenseRange(0, 3)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
