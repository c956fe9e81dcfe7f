// What the host tests share: recording reactors that write what they hear
// as short lines, and a fixture that starts each test with one drawing.
#pragma once
#include <gtest/gtest.h>
#include <cwchar>
#include <map>
#include <memory>
#include <string>
#include <vector>
#include "kvhost.h"
#include <testfiles.h>

namespace hosttest {
using testfiles::narrow;
using testfiles::widen;

typedef std::vector<std::wstring> Lines;

inline std::wstring hex(AcDbHandle h) {
  wchar_t buffer[32];
  swprintf(buffer, 32, L"%llX", static_cast<unsigned long long>(h));
  return buffer;
}

// Hears one database and names the objects by the names the test gave them.
class DbLog : public AcDbDatabaseReactor {
 public:
  explicit DbLog(AcDbDatabase* db) : m_pDb(db) { db->addReactor(this); }
  ~DbLog() override {
    if (m_pDb) m_pDb->removeReactor(this);
  }
  void name(AcDbObjectId id, const std::wstring& n) { m_names[id.handle()] = n; }

  void objectAppended(const AcDbDatabase* db, const AcDbObject* o) override {
    if (!m_names.count(o->objectId().handle())) m_names[o->objectId().handle()] = L"N";
    add(db, L"appended " + of(o));
  }
  void objectUnAppended(const AcDbDatabase* db, const AcDbObject* o) override { add(db, L"unappended " + of(o)); }
  void objectOpenedForModify(const AcDbDatabase* db, const AcDbObject* o) override {
    add(db, L"openedForModify " + of(o) + color(o));
  }
  void objectModified(const AcDbDatabase* db, const AcDbObject* o) override {
    add(db, L"modified " + of(o) + color(o));
  }
  void objectErased(const AcDbDatabase* db, const AcDbObject* o, Adesk::Boolean erased) override {
    add(db, L"erased " + of(o) + (erased ? L" 1" : L" 0"));
  }
  void headerSysVarWillChange(const AcDbDatabase* db, const ACHAR* n) override { add(db, L"sysVarWillChange " + std::wstring(n)); }
  void headerSysVarChanged(const AcDbDatabase* db, const ACHAR* n, Adesk::Boolean ok) override {
    add(db, L"sysVarChanged " + std::wstring(n) + (ok ? L" 1" : L" 0"));
  }
  void goodbye(const AcDbDatabase* db) override {
    add(db, L"goodbye");
    m_pDb = nullptr;  // the database goes; nothing left to detach from
  }

  Lines lines;

 private:
  std::wstring of(const AcDbObject* o) {
    auto it = m_names.find(o->objectId().handle());
    return it == m_names.end() ? hex(o->objectId().handle()) : it->second;
  }
  static std::wstring color(const AcDbObject* o) {
    const AcDbEntity* e = AcDbEntity::cast(o);
    return e ? L" " + std::to_wstring(e->colorIndex()) : L"";
  }
  void add(const AcDbDatabase* db, const std::wstring& line) { lines.push_back(db == m_pDb ? line : line + L" (other db)"); }
  AcDbDatabase* m_pDb;
  std::map<AcDbHandle, std::wstring> m_names;
};

// Hears the editor: commands and pickfirst.
class EdLog : public AcEditorReactor {
 public:
  EdLog() { acedEditor->addReactor(this); }
  ~EdLog() override { acedEditor->removeReactor(this); }
  void commandWillStart(const ACHAR* c) override { add(L"W " + std::wstring(c)); }
  void commandEnded(const ACHAR* c) override { add(L"E " + std::wstring(c)); }
  void commandCancelled(const ACHAR* c) override { add(L"C " + std::wstring(c)); }
  void commandFailed(const ACHAR* c) override { add(L"F " + std::wstring(c)); }
  void pickfirstModified() override { add(L"pickfirst"); }
  void add(const std::wstring& line) { lines.push_back(line); }
  Lines lines;
};

// Each test starts with one current drawing, "a.dwg", and ends with none.
class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    acrxSysRegistry();
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
