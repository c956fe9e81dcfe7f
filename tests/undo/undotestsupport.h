// What the undo tests share: the module loaded into the host, a client
// editor reactor that records what it hears, and the drawing read back
// through the host only.
#pragma once
#include <gtest/gtest.h>
#include <KOVANotification.h>
#include <KOVATools.h>
#include <KvTools.h>
#include <markers.h>
#include <testfiles.h>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>

namespace undotest {
using namespace testfiles;
using namespace markers;

const wchar_t kModule[] = L"KOVANotification10.arx";

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
  return writeFile(file, text) ? kvhost::openDocument(file) : nullptr;
}

inline void requestRollBack() { EXPECT_TRUE(g_ReactorManager.setPostUndoOnCommandFinish(true)); }

struct Heard {
  std::wstring event;
  bool filter;  // the manager's filter flag at that moment
};

// A client editor reactor, registered by its base at priority -1.
class RecordingClient : public KOVAEditorReactorBase {
 public:
  std::vector<Heard> heard;
  // Called after each event is recorded; tests act or throw from here.
  std::function<void(const std::wstring&)> hook;

  static bool queues(const AcDbObjectId& id) { return m_tabPickFirstToRedraw.contains(id); }
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
    heard.push_back({event, g_ReactorManager.filterReactors()});
    if (hook) hook(event);
  }
};

class UndoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The module is linked; loading it runs its attach steps (the marker class).
    ASSERT_TRUE(kvhost::loadModule(kModule)) << kvhost::lastModuleError().c_str();
    doc = kvhost::newDocument(L"undo.dwg");
    client = std::make_unique<RecordingClient>();
    g_FnLog.clear();
  }
  void TearDown() override {
    kvhost::setJournalListener(nullptr);
    client.reset();
    kvhost::quit();
  }

  AcDbObjectId lineIn(AcApDocument* d, double x) {
    return kvhost::addEntity(d, new AcDbLine(AcGePoint3d(x, 0, 0), AcGePoint3d(x, 1, 0)));
  }
  AcDbObjectId addLine(double x) { return lineIn(doc, x); }
  void requestRollBackOn(const std::wstring& event) {
    client->hook = [event](const std::wstring& e) { if (e == event) requestRollBack(); };
  }
  // A roll-back that keeps posting steps fails the test instead of hanging it.
  void failOnUndoLoop() {
    kvhost::setJournalListener([this](const std::wstring& line) {
      if (line.find(L"running _UNDO") != std::wstring::npos && ++undoRuns > 10)
        throw std::runtime_error("the roll-back does not stop");
    });
  }

  AcApDocument* doc = nullptr;
  std::unique_ptr<RecordingClient> client;
  int undoRuns = 0;
};

}  // namespace undotest
