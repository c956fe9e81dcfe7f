// What the host tests share: an editor reactor that writes what it hears as
// short lines, and a fixture that starts each test with one drawing.
#pragma once
#include <gtest/gtest.h>
#include <testfiles.h>
#include <string>
#include <vector>
#include "kvhost.h"

namespace hosttest {
using testfiles::narrow;

typedef std::vector<std::wstring> Lines;

// Hears the editor: commands, pickfirst and drawings closing.
class EdLog : public AcEditorReactor {
 public:
  EdLog() { acedEditor->addReactor(this); }
  ~EdLog() override { acedEditor->removeReactor(this); }
  void commandWillStart(const ACHAR* c) override { lines.push_back(L"W " + std::wstring(c)); }
  void commandEnded(const ACHAR* c) override { lines.push_back(L"E " + std::wstring(c)); }
  void commandCancelled(const ACHAR* c) override { lines.push_back(L"C " + std::wstring(c)); }
  void commandFailed(const ACHAR* c) override { lines.push_back(L"F " + std::wstring(c)); }
  void pickfirstModified() override { lines.push_back(L"pickfirst"); }
  void beginClose(AcDbDatabase*) override { lines.push_back(L"close"); }
  Lines lines;
};

// Each test starts with one current drawing, "a.dwg", and ends with none.
class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    doc = kvhost::newDocument(L"a.dwg");
    ASSERT_NE(doc, nullptr);
    db = doc->database();
  }
  void TearDown() override {
    for (AcApDocument* d : kvhost::documents()) kvhost::closeDocument(d);
  }
  AcDbObjectId addLine(AcApDocument* in = nullptr, double x = 1) {
    return kvhost::addEntity(in ? in : doc, new AcDbLine(AcGePoint3d(0, 0, 0), AcGePoint3d(x, 0, 0)));
  }
  static Acad::ErrorStatus setColor(AcDbObjectId id, Adesk::UInt16 color) {
    return kvhost::modifyObject(id, [&](AcDbObject* o) { AcDbEntity::cast(o)->setColorIndex(color); });
  }
  static int colorOf(AcDbObjectId id) {
    AcDbEntityPointer e(id, AcDb::kForRead, true);
    return e ? e->colorIndex() : -1;
  }
  AcApDocument* doc = nullptr;
  AcDbDatabase* db = nullptr;
};

}  // namespace hosttest
