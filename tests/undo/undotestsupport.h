// What the undo tests share: the module loaded into the host, a client
// editor reactor that records what it hears, and readers of the drawing's
// undo marker and entities that go through the host only.
#pragma once
#include <gtest/gtest.h>
#include <KOVANotification.h>
#include <KOVATools.h>
#include <KvTools.h>
#include <kvhost.h>
#include <memfiler.h>
#include <testfiles.h>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace undotest {
using namespace testfiles;

const wchar_t kModule[] = L"KOVANotification10.arx";

inline AcDbObjectId markerId(AcDbDatabase* db) {
  AcDbObjectId dictId, id;
  {
    AcDbDictionaryPointer nod(db->namedObjectsDictionaryId(), AcDb::kForRead);
    if (!nod || nod->getAt(L"KOVA_UNDO_DICTIONARY", dictId) != Acad::eOk) return AcDbObjectId::kNull;
  }
  AcDbDictionaryPointer dict(dictId, AcDb::kForRead);
  if (!dict || dict->getAt(L"KOVA_UNDO_OBJECT", id) != Acad::eOk) return AcDbObjectId::kNull;
  return id;
}

// The marker's DWG record after the base object's owner handle: version, counter.
struct MarkerRecord {
  Adesk::UInt16 version = 0;
  Adesk::Int32 counter = 0;
};

inline MarkerRecord parseRecord(const std::vector<unsigned char>& bytes) {
  MarkerRecord r;
  EXPECT_EQ(bytes.size(), 14u);
  if (bytes.size() < 14) return r;
  std::memcpy(&r.version, bytes.data() + 8, 2);
  std::memcpy(&r.counter, bytes.data() + 10, 4);
  return r;
}

inline std::vector<unsigned char> dwgRecord(const AcDbObject* object) {
  kvhost::DwgMemoryFiler filer(AcDb::kFileFiler, object->database());
  EXPECT_EQ(object->dwgOutFields(&filer), Acad::eOk);
  return filer.bytes();
}

// The counter of the drawing's marker, -1 when it has none.
inline int markerCounter(AcApDocument* doc) { return kvhost::undoMarkerCounter(doc).value_or(-1); }

// Every live entity of the drawing by handle, with its whole DWG record.
inline std::map<AcDbHandle, std::vector<unsigned char>> drawingState(AcApDocument* doc) {
  std::map<AcDbHandle, std::vector<unsigned char>> state;
  AcDbObjectIdArray ids = kvhost::entities(doc);
  for (int i = 0; i < ids.length(); ++i) {
    AcDbEntityPointer entity(ids[i], AcDb::kForRead);
    if (entity) state[ids[i].handle()] = dwgRecord(entity.object());
  }
  return state;
}


// Opens a drawing as if written elsewhere: its marker's record holds the
// given version and counter, and none of it is on this session's undo record.
inline AcApDocument* openDrawingWithMarker(const std::wstring& file, Adesk::UInt16 version, Adesk::Int32 counter) {
  AcApDocument* doc = kvhost::newDocument(L"elsewhere.dwg");
  std::vector<unsigned char> record;
  {
    AcAxDocLock lock(doc->database());
    AcRxClass* cls = AcRxClass::cast(acrxClassDictionary()->at(L"KOVAUndoObject"));
    AcDbObject* marker = cls ? AcDbObject::cast(cls->create()) : nullptr;
    AcDbObjectId id;
    if (!KOVADatabaseTools::appendToDictionary(L"KOVA_UNDO_DICTIONARY", marker, id, doc->database(), false,
                                               L"KOVA_UNDO_OBJECT"))
      return nullptr;
    record = dwgRecord(marker);
    marker->close();
  }
  // Written as another program would, also over a file a drawing open here was read from.
  const std::wstring scratch = file + L".scratch";
  if (kvhost::saveDocument(doc, scratch) != Acad::eOk || !kvhost::closeDocument(doc)) return nullptr;
  std::string text = readFile(scratch);
  removeFile(scratch);
  const size_t at = text.find(std::string(record.begin(), record.end()));
  if (at == std::string::npos) return nullptr;
  std::memcpy(&text[at + 8], &version, 2);
  std::memcpy(&text[at + 10], &counter, 4);
  if (!writeFile(file, text)) return nullptr;
  return kvhost::openDocument(file);
}

inline int countJournal(const std::wstring& text, size_t from = 0) {
  int n = 0;
  const auto& lines = kvhost::journal();
  for (size_t i = from; i < lines.size(); ++i)
    if (lines[i].find(text) != std::wstring::npos) ++n;
  return n;
}

struct Heard {
  std::wstring event;
  int counter;  // the marker's counter when the client heard it
  bool filter;  // the manager's filter flag at that moment
};

// A client editor reactor, registered by its base at priority -1.
class RecordingClient : public KOVAEditorReactorBase {
 public:
  std::vector<Heard> heard;
  // Called after each event is recorded; tests act or throw from here.
  std::function<void(const std::wstring&)> hook;

  std::vector<std::wstring> events() const {
    std::vector<std::wstring> out;
    for (const auto& h : heard) out.push_back(h.event);
    return out;
  }
  const Heard* find(const std::wstring& event) const {
    for (const auto& h : heard)
      if (h.event == event) return &h;
    return nullptr;
  }

  void commandWillStart(const ACHAR* c) override { note(std::wstring(L"commandWillStart ") + c); }
  void commandEnded(const ACHAR* c) override { note(std::wstring(L"commandEnded ") + c); }
  void commandCancelled(const ACHAR* c) override { note(std::wstring(L"commandCancelled ") + c); }
  void commandFailed(const ACHAR* c) override { note(std::wstring(L"commandFailed ") + c); }
  void modelessOperationWillStart(const ACHAR* c) override { note(std::wstring(L"modelessOperationWillStart ") + c); }
  void modelessOperationEnded(const ACHAR* c) override { note(std::wstring(L"modelessOperationEnded ") + c); }
  void beginSave(AcDbDatabase*, const ACHAR*) override { note(L"beginSave"); }
  void saveComplete(AcDbDatabase*, const ACHAR*) override { note(L"saveComplete"); }

 private:
  void note(const std::wstring& event) {
    AcApDocument* doc = acDocManagerPtr()->curDocument();
    heard.push_back({event, doc ? markerCounter(doc) : -1, g_ReactorManager.filterReactors()});
    if (hook) hook(event);
  }
};

class UndoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The module is linked; loading it runs its attach steps (the marker class).
    ASSERT_TRUE(kvhost::loadModule(kModule)) << kvhost::lastModuleError().c_str();
    doc = kvhost::newDocument(L"undo.dwg");
    ASSERT_NE(doc, nullptr);
    client = std::make_unique<RecordingClient>();
    g_FnLog.clear();
  }
  void TearDown() override {
    kvhost::setJournalListener(nullptr);
    client.reset();
    kvhost::quit();
  }

  AcDbObjectId addLine(double x) { return kvhost::addEntity(doc, new AcDbLine(AcGePoint3d(x, 0, 0), AcGePoint3d(x, 1, 0))); }
  // A marked command that changes nothing but the marker.
  void runMarkedCommand(const wchar_t* name = L"NOOP") { kvhost::runCommand(name); }
  void requestRollBackOn(const std::wstring& event) {
    client->hook = [event](const std::wstring& e) {
      if (e == event) {
        EXPECT_TRUE(g_ReactorManager.setPostUndoOnCommandFinish(true));
      }
    };
  }
  // A roll-back that keeps posting steps fails the test instead of hanging it.
  void failOnUndoLoop(int limit = 10) {
    kvhost::setJournalListener([limit](const std::wstring& line) {
      static int runs = 0;
      if (line.find(L"running _UNDO") != std::wstring::npos && ++runs > limit)
        throw std::runtime_error("the roll-back does not stop");
    });
  }

  AcApDocument* doc = nullptr;
  std::unique_ptr<RecordingClient> client;
};

}  // namespace undotest
