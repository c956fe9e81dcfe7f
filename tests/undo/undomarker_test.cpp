// The undo marker object: the records it reads and refuses in both forms,
// and its class leaving and coming back with the module.
#include "undotestsupport.h"

namespace undotest {
namespace {

AcRxClass* markerClass() { return AcRxClass::cast(acrxClassDictionary()->at(L"KOVAUndoObject")); }

// A fresh marker made the way the host makes one when it reads a drawing.
std::unique_ptr<AcDbObject> newMarker() { return std::unique_ptr<AcDbObject>(AcDbObject::cast(markerClass()->create())); }

std::vector<unsigned char> dwgBytes(Adesk::UInt16 version, Adesk::Int32 counter, size_t keep = 14) {
  kvhost::DwgMemoryFiler out(AcDb::kFileFiler, nullptr);
  out.writeUInt64(0);  // the base object's owner
  out.writeUInt16(version);
  out.writeInt32(counter);
  std::vector<unsigned char> bytes = out.bytes();
  bytes.resize(keep);
  return bytes;
}

resbuf group(short code, Adesk::Int32 value) {
  resbuf rb;
  rb.restype = code;
  rb.int32 = value;
  return rb;
}
resbuf subclass(const wchar_t* name = L"KOVA_UNDO_OBJECT") {
  resbuf rb;
  rb.restype = AcDb::kDxfSubclass;
  rb.text = name;
  return rb;
}

struct Record {
  const char* what;
  std::vector<unsigned char> dwg;  // a DWG record, or else
  std::vector<resbuf> dxf;         // the DXF groups after the base object's
  Acad::ErrorStatus status;        // what the read returns
  Acad::ErrorStatus filerStatus;   // what it leaves in the filer
  int counter;                     // after it; 42 when kept
  const wchar_t* message = L"";    // DXF: the filer's error message
  int nextCode = 0;                // DXF: the group left to read next, 0 for none
};

// Every record is read into a marker holding 42; one read whole is written
// back in both forms and read again into a fresh marker.
TEST_F(UndoTest, MarkerRecordsAreReadOrRefusedKeepingTheCounter) {
  const Acad::ErrorStatus ok = Acad::eOk, eof = Acad::eEndOfFile, proxy = Acad::eMakeMeProxy,
                          bad = Acad::eInvalidDxfCode;
  const Record cases[] = {
      {"dwg beyond 16 bits", dwgBytes(1, 70000), {}, ok, ok, 70000},
      {"dwg version 0 reads as 1", dwgBytes(0, -5), {}, ok, ok, -5},
      {"dwg version 2", dwgBytes(2, 7), {}, proxy, ok, 42},
      {"dwg version 0xFFFF", dwgBytes(0xFFFF, 7), {}, proxy, ok, 42},
      {"dwg cut in the owner", dwgBytes(1, 7, 4), {}, eof, eof, 42},
      {"dwg cut in the version", dwgBytes(1, 7, 9), {}, ok, eof, 42},
      {"dwg cut before the counter", dwgBytes(1, 7, 10), {}, ok, eof, 42},
      {"dwg cut in the counter", dwgBytes(1, 7, 12), {}, ok, eof, 42},
      {"dxf beyond 16 bits", {}, {subclass(), group(70, 1), group(90, 70000)}, ok, ok, 70000},
      {"dxf version 2", {}, {subclass(), group(70, 2), group(90, 7)}, proxy, ok, 42, L"", 90},
      {"dxf version -1", {}, {subclass(), group(70, -1), group(90, 7)}, proxy, ok, 42, L"", 90},
      {"dxf counter first", {}, {subclass(), group(90, 7)}, bad, bad, 42, L"\nError: expected group code 70", 90},
      {"dxf unknown code", {}, {subclass(), group(70, 1), group(40, 7)}, bad, bad, 42,
       L"\nError: expected group code 90", 40},
      {"dxf cut after marker", {}, {subclass()}, bad, bad, 42, L"\nError: expected group code 70"},
      {"dxf cut after version", {}, {subclass(), group(70, 1)}, bad, bad, 42, L"\nError: expected group code 90"},
      {"dxf no marker", {}, {group(70, 1), group(90, 7)}, ok, ok, 42, L"", 70},
      {"dxf other marker", {}, {subclass(L"AcDbEntity"), group(70, 1), group(90, 7)}, ok, ok, 42, L"", 100},
  };
  for (const Record& c : cases) {
    SCOPED_TRACE(c.what);
    auto marker = newMarker();
    kvhost::DwgMemoryFiler known(AcDb::kFileFiler, nullptr, dwgBytes(1, 42));
    ASSERT_EQ(marker->dwgInFields(&known), Acad::eOk);
    if (c.dxf.empty()) {
      kvhost::DwgMemoryFiler in(AcDb::kFileFiler, nullptr, c.dwg);
      EXPECT_EQ(marker->dwgInFields(&in), c.status);
      EXPECT_EQ(in.filerStatus(), c.filerStatus);
    } else {
      kvhost::DxfMemoryFiler in(AcDb::kFileFiler, nullptr, c.dxf);
      EXPECT_EQ(marker->dxfInFields(&in), c.status);
      EXPECT_EQ(in.filerStatus(), c.filerStatus);
      EXPECT_EQ(std::wstring(in.errorMessage()), c.message);
      resbuf next;
      EXPECT_EQ(in.atEOF(), c.nextCode == 0);
      if (c.nextCode != 0 && in.readItem(&next) == Acad::eOk) {
        EXPECT_EQ(next.restype, c.nextCode);
      }
    }
    const MarkerRecord r = parseRecord(dwgRecord(marker.get()));
    EXPECT_TRUE(r.whole && r.version == 1 && r.counter == c.counter) << r.version << " " << r.counter;
    if (c.status != Acad::eOk || c.counter == 42) continue;
    kvhost::DxfMemoryFiler dxf(AcDb::kFileFiler, nullptr);
    ASSERT_EQ(marker->dxfOutFields(&dxf), Acad::eOk);
    kvhost::DxfMemoryFiler dxfIn(AcDb::kFileFiler, nullptr, dxf.items());
    kvhost::DwgMemoryFiler dwgIn(AcDb::kFileFiler, nullptr, dwgRecord(marker.get()));
    auto dxfCopy = newMarker(), dwgCopy = newMarker();
    EXPECT_EQ(dxfCopy->dxfInFields(&dxfIn), Acad::eOk);
    EXPECT_TRUE(dxfIn.atEOF());
    EXPECT_EQ(dwgCopy->dwgInFields(&dwgIn), Acad::eOk);
    EXPECT_EQ(dwgRecord(dxfCopy.get()), dwgRecord(marker.get()));
    EXPECT_EQ(dwgRecord(dwgCopy.get()), dwgRecord(marker.get()));
  }
}

// Unloading turns the drawing's marker into a proxy that keeps its record;
// loading again must give back a working marker (a stale class pointer once
// crashed the reload). Linked here, the module stays mapped: its client
// stays registered, but nothing of the module runs until it is loaded again.
TEST_F(UndoTest, UnloadRemovesTheClassAndReloadResurrectsTheMarker) {
  kvhost::runCommand(L"NOOP");
  kvhost::runCommand(L"NOOP");
  ASSERT_TRUE(kvhost::unloadModule(kModule)) << kvhost::lastModuleError().c_str();
  EXPECT_EQ(markerClass(), nullptr);
  const size_t heard = client->heard.size();
  kvhost::runCommand(L"NOOP");
  EXPECT_EQ(client->heard.size(), heard);
  {
    AcDbObjectPointer<AcDbProxyObject> proxy(markerId(doc->database()), AcDb::kForRead);
    ASSERT_TRUE(proxy);
    EXPECT_STREQ(proxy->originalClassName(), L"KOVAUndoObject");
  }
  ASSERT_TRUE(kvhost::loadModule(kModule));
  {
    AcDbObjectPointer<AcDbObject> back(markerId(doc->database()), AcDb::kForRead);
    ASSERT_TRUE(back && markerClass() != nullptr);
    EXPECT_EQ(back->isA(), markerClass());
  }
  EXPECT_EQ(markerCounter(doc), 2);
  kvhost::runCommand(L"NOOP");
  EXPECT_EQ(markerCounter(doc), 3);
}

}  // namespace
}  // namespace undotest
