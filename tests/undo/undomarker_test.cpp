// The undo marker object: its class registration, its DWG and DXF records,
// the records it refuses, and its life in a saved drawing.
#include "undotestsupport.h"

namespace undotest {
namespace {

AcRxClass* markerClass() { return AcRxClass::cast(acrxClassDictionary()->at(L"KOVAUndoObject")); }

// A fresh marker made the way the host makes one when it reads a drawing.
std::unique_ptr<AcDbObject> newMarker() {
  AcRxClass* cls = markerClass();
  if (cls == nullptr) return nullptr;
  return std::unique_ptr<AcDbObject>(AcDbObject::cast(cls->create()));
}

std::vector<unsigned char> dwgBytes(Adesk::UInt16 version, Adesk::Int32 counter, size_t keep = 14) {
  kvhost::DwgMemoryFiler out(AcDb::kFileFiler, nullptr);
  out.writeUInt64(0);  // the base object's owner
  out.writeUInt16(version);
  out.writeInt32(counter);
  std::vector<unsigned char> bytes = out.bytes();
  bytes.resize(std::min(keep, bytes.size()));
  return bytes;
}

Acad::ErrorStatus readDwg(AcDbObject* marker, std::vector<unsigned char> bytes, Acad::ErrorStatus* filerStatus = nullptr) {
  kvhost::DwgMemoryFiler in(AcDb::kFileFiler, nullptr, std::move(bytes));
  Acad::ErrorStatus es = marker->dwgInFields(&in);
  if (filerStatus) *filerStatus = in.filerStatus();
  return es;
}

int counterOf(const AcDbObject* marker) { return parseRecord(dwgRecord(marker)).counter; }

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

class UndoMarkerTest : public UndoTest {
 protected:
  void SetUp() override {
    UndoTest::SetUp();
    marker = newMarker();
    ASSERT_NE(marker, nullptr);
    ASSERT_EQ(readDwg(marker.get(), dwgBytes(1, 42)), Acad::eOk);  // a known counter to keep
  }
  std::unique_ptr<AcDbObject> marker;
};

TEST_F(UndoMarkerTest, ClassIsRegisteredWithItsNames) {
  AcRxClass* cls = markerClass();
  ASSERT_NE(cls, nullptr);
  EXPECT_STREQ(cls->myParent()->name(), L"AcDbObject");
  EXPECT_STREQ(cls->dxfName(), L"KOVA_UNDO_OBJECT");
  EXPECT_STREQ(cls->appName(), L"KOVA_ORBAPP");
  int maint = 0;
  EXPECT_EQ(cls->dwgVersion(maint), 29);
  EXPECT_EQ(maint, 6);
  EXPECT_EQ(cls->proxyFlags(), 0);
  EXPECT_EQ(marker->isA(), cls);
}

TEST_F(UndoMarkerTest, NewMarkerWritesVersionOneAndCounterZero) {
  auto fresh = newMarker();
  MarkerRecord r = parseRecord(dwgRecord(fresh.get()));
  EXPECT_EQ(r.version, 1);
  EXPECT_EQ(r.counter, 0);
  kvhost::DxfMemoryFiler out(AcDb::kFileFiler, nullptr);
  EXPECT_EQ(fresh->dxfOutFields(&out), Acad::eOk);
  ASSERT_EQ(out.items().size(), 3u);
  EXPECT_EQ(out.items()[0].restype, AcDb::kDxfSubclass);
  EXPECT_EQ(out.items()[0].text, L"KOVA_UNDO_OBJECT");
  EXPECT_EQ(out.items()[1].restype, AcDb::kDxfInt16);
  EXPECT_EQ(out.items()[1].int32, 1);
  EXPECT_EQ(out.items()[2].restype, AcDb::kDxfInt32);
  EXPECT_EQ(out.items()[2].int32, 0);
}

TEST_F(UndoMarkerTest, CounterBeyondSixteenBitsSurvivesBothForms) {
  ASSERT_EQ(readDwg(marker.get(), dwgBytes(1, 70000)), Acad::eOk);
  EXPECT_EQ(dwgRecord(marker.get()), dwgBytes(1, 70000));

  kvhost::DxfMemoryFiler out(AcDb::kFileFiler, nullptr);
  ASSERT_EQ(marker->dxfOutFields(&out), Acad::eOk);
  auto copy = newMarker();
  kvhost::DxfMemoryFiler in(AcDb::kFileFiler, nullptr, out.items());
  EXPECT_EQ(copy->dxfInFields(&in), Acad::eOk);
  EXPECT_TRUE(in.atEOF());
  EXPECT_EQ(counterOf(copy.get()), 70000);

  // Version 0 records read as version 1 ones.
  EXPECT_EQ(readDwg(copy.get(), dwgBytes(0, -5)), Acad::eOk);
  EXPECT_EQ(counterOf(copy.get()), -5);
}

TEST_F(UndoMarkerTest, DwgRecordOfANewerVersionIsRefused) {
  for (Adesk::UInt16 version : {Adesk::UInt16(2), Adesk::UInt16(0xFFFF)}) {
    Acad::ErrorStatus filer = Acad::eOk;
    EXPECT_EQ(readDwg(marker.get(), dwgBytes(version, 7), &filer), Acad::eMakeMeProxy) << version;
    EXPECT_EQ(filer, Acad::eOk);
    EXPECT_EQ(counterOf(marker.get()), 42);
  }
}

TEST_F(UndoMarkerTest, TruncatedDwgRecordLeavesTheCounterAndReportsEndOfFile) {
  // Cut inside the owner (the base's part), inside the version, inside the counter.
  for (size_t keep : {size_t(4), size_t(9), size_t(10), size_t(12)}) {
    Acad::ErrorStatus filer = Acad::eOk;
    Acad::ErrorStatus es = readDwg(marker.get(), dwgBytes(1, 7, keep), &filer);
    EXPECT_EQ(filer, Acad::eEndOfFile) << keep;
    // The base's own failure is returned as it is; the object's fields leave theirs in the filer.
    EXPECT_EQ(es, keep < 8 ? Acad::eEndOfFile : Acad::eOk) << keep;
    EXPECT_EQ(counterOf(marker.get()), 42) << keep;
  }
}

struct BadDxf {
  const char* what;
  std::vector<resbuf> items;
  Acad::ErrorStatus status;
  const wchar_t* message;
  int nextCode;  // the group the reader leaves to be read next, 0 when none
};

TEST_F(UndoMarkerTest, BadDxfRecordsAreRefusedWithTheirError) {
  const std::vector<BadDxf> cases = {
      {"version 2", {subclass(), group(70, 2), group(90, 7)}, Acad::eMakeMeProxy, L"", 90},
      {"version -1", {subclass(), group(70, -1), group(90, 7)}, Acad::eMakeMeProxy, L"", 90},
      {"counter first", {subclass(), group(90, 7)}, Acad::eInvalidDxfCode, L"\nError: expected group code 70", 90},
      {"unknown code", {subclass(), group(70, 1), group(40, 7)}, Acad::eInvalidDxfCode,
       L"\nError: expected group code 90", 40},
      {"cut after marker", {subclass()}, Acad::eInvalidDxfCode, L"\nError: expected group code 70", 0},
      {"cut after version", {subclass(), group(70, 1)}, Acad::eInvalidDxfCode, L"\nError: expected group code 90", 0},
      {"no marker", {group(70, 1), group(90, 7)}, Acad::eOk, L"", 70},
      {"other marker", {subclass(L"AcDbEntity"), group(70, 1), group(90, 7)}, Acad::eOk, L"", 100},
  };
  for (const BadDxf& c : cases) {
    kvhost::DxfMemoryFiler in(AcDb::kFileFiler, nullptr, c.items);
    EXPECT_EQ(marker->dxfInFields(&in), c.status) << c.what;
    EXPECT_EQ(std::wstring(in.errorMessage()), c.message) << c.what;
    EXPECT_EQ(counterOf(marker.get()), 42) << c.what;
    resbuf next;
    if (c.nextCode == 0) {
      EXPECT_TRUE(in.atEOF()) << c.what;
    } else {
      ASSERT_EQ(in.readItem(&next), Acad::eOk) << c.what;
      EXPECT_EQ(next.restype, c.nextCode) << c.what;
    }
  }
}

class UndoMarkerFileTest : public UndoTest, public ::testing::WithParamInterface<const wchar_t*> {};

TEST_P(UndoMarkerFileTest, MarkerTravelsWithASavedDrawingAndKeepsWorkingThere) {
  for (int i = 0; i < 3; ++i) runMarkedCommand();
  ASSERT_EQ(markerCounter(doc), 3);
  const std::wstring file = tempPath(std::wstring(L"undo-marker") + GetParam());
  ASSERT_EQ(kvhost::saveDocument(doc, file), Acad::eOk);
  kvhost::closeDocument(doc);
  {
    std::ifstream in(std::string(file.begin(), file.end()), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("KOVA_UNDO_DICTIONARY"), std::string::npos);
    if (std::wstring(GetParam()) == L".dxf") {
      EXPECT_NE(text.find("KOVA_UNDO_OBJECT"), std::string::npos);
      EXPECT_NE(text.find("KOVA_ORBAPP"), std::string::npos);
    }
  }

  Acad::ErrorStatus es = Acad::eOk;
  AcApDocument* reopened = kvhost::openDocument(file, &es);
  ASSERT_NE(reopened, nullptr) << es;
  EXPECT_EQ(markerCounter(reopened), 3);
  auto state = drawingState(reopened);
  requestRollBackOn(L"commandEnded LINE");
  kvhost::runCommand(L"LINE", [&] {
    kvhost::addEntity(reopened, new AcDbCircle(AcGePoint3d(1, 1, 0), 2));
    EXPECT_EQ(markerCounter(reopened), 4);
  });
  EXPECT_EQ(drawingState(reopened), state);
  EXPECT_EQ(markerCounter(reopened), 3);
  removeFile(file);
}

INSTANTIATE_TEST_SUITE_P(Forms, UndoMarkerFileTest, ::testing::Values(L".kvdwg", L".dxf"),
                         [](const ::testing::TestParamInfo<const wchar_t*>& info) {
                           return std::wstring(info.param) == L".dxf" ? std::string("Dxf") : std::string("Dwg");
                         });

// Drawings written elsewhere: a counter at its top, a record of a newer version.
TEST_F(UndoMarkerTest, SavedMarkersFromElsewhereOpenAndKeepTheDrawingWorking) {
  const std::wstring file = tempPath(L"elsewhere.kvdwg");
  AcApDocument* atTop = openDrawingWithMarker(file, 1, INT32_MAX);
  ASSERT_NE(atTop, nullptr);
  EXPECT_EQ(markerCounter(atTop), INT32_MAX);
  runMarkedCommand();
  EXPECT_EQ(markerCounter(atTop), 0);

  // A newer record is kept as it is: the drawing opens, the marker stays a proxy.
  AcApDocument* newer = openDrawingWithMarker(file, 2, 7);
  ASSERT_NE(newer, nullptr);
  {
    AcDbObjectPointer<AcDbProxyObject> proxy(markerId(newer->database()), AcDb::kForRead);
    ASSERT_TRUE(proxy);
    EXPECT_STREQ(proxy->originalClassName(), L"KOVAUndoObject");
  }
  // A client that does not read the marker itself: the command is still marked.
  client.reset();
  KOVAEditorReactorBase marking;
  EXPECT_EQ(kvhost::runCommand(L"NOOP"), kvhost::CommandOutcome::kEnded);
  removeFile(file);
}

// Unloading turns the drawing's marker into a proxy; loading again must give
// back a working marker (a stale class pointer once crashed the reload).
// Linked here, the module stays mapped: its client stays registered, but
// nothing of the module runs until it is loaded again.
TEST_F(UndoMarkerTest, UnloadRemovesTheClassAndReloadResurrectsTheMarker) {
  runMarkedCommand();
  marker.reset();
  ASSERT_TRUE(kvhost::unloadModule(kModule)) << kvhost::lastModuleError().c_str();
  EXPECT_EQ(markerClass(), nullptr);
  const size_t heard = client->heard.size();
  runMarkedCommand();
  EXPECT_EQ(client->heard.size(), heard);
  {
    AcDbObjectPointer<AcDbProxyObject> proxy(markerId(doc->database()), AcDb::kForRead);
    ASSERT_TRUE(proxy);
    EXPECT_STREQ(proxy->originalClassName(), L"KOVAUndoObject");
  }
  ASSERT_TRUE(kvhost::loadModule(kModule));
  ASSERT_NE(markerClass(), nullptr);
  {
    AcDbObjectPointer<AcDbObject> back(markerId(doc->database()), AcDb::kForRead);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->isA(), markerClass());
  }
  const int counter = markerCounter(doc);
  runMarkedCommand();
  EXPECT_EQ(markerCounter(doc), counter + 1);
}

// The host files the instances out to their proxies without opening them, so
// the marker's read assertion fails and the proxy keeps an empty record.
TEST_F(UndoMarkerTest, CounterSurvivesUnloadAndReload) {
  runMarkedCommand();
  runMarkedCommand();
  client.reset();
  marker.reset();
  ASSERT_TRUE(kvhost::unloadModule(kModule));
  ASSERT_TRUE(kvhost::loadModule(kModule));
  EXPECT_EQ(markerCounter(doc), 2);
}

}  // namespace
}  // namespace undotest
