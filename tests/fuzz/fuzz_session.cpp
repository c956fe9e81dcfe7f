#include "fuzz_session.h"
#include <KOVANotification.h>
#include <markers.h>
#include <kvtempfolder.h>
#include <testfiles.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>

namespace kovafuzz {
namespace {

// While an editor client is registered, commands are marked.
class MarkingClient : public KOVAEditorReactorBase {};

// What must survive a save and an open: every object of the drawing, its class and its whole record.
std::map<AcDbHandle, std::pair<std::wstring, std::vector<unsigned char>>> drawingState(AcApDocument* doc) {
  std::map<AcDbHandle, std::pair<std::wstring, std::vector<unsigned char>>> state;
  AcDbObjectIdArray ids = doc->database()->objectIds();
  for (int i = 0; i < ids.length(); ++i) {
    AcDbObjectPointer<AcDbObject> object(ids[i], AcDb::kForRead);
    if (!object) continue;
    state[ids[i].handle()] = {object->isA()->name(), markers::dwgRecord(object.object())};
    if (state[ids[i].handle()].second.empty()) fail("an opened object cannot be filed");
  }
  return state;
}

void closeEveryDocument() {
  for (AcApDocument* doc : kvhost::documents())
    if (!kvhost::closeDocument(doc)) fail("a document could not be closed");
}

AcApDocument* open(const std::wstring& file) {
  size_t before = kvhost::documents().size();
  Acad::ErrorStatus es = Acad::eOk;
  AcApDocument* doc = kvhost::openDocument(file, &es);
  if ((doc == nullptr) != (es != Acad::eOk)) fail("the open's status does not match its result");
  if (kvhost::documents().size() != before + (doc ? 1 : 0)) fail("a refused drawing left a document behind");
  return doc;
}

// The host session, its private directory of drawing files and the seed drawings; ended when the program exits.
class Session {
 public:
  static Session& instance() {
    static Session session;
    return session;
  }
  std::wstring path(const wchar_t* name) const { return testfiles::widen(s_folder) + L"/" + name; }
  std::string seed[2];

 private:
  Session() {
    s_folder = kvhost::makeTemporaryFolder("kovafuzz");
    if (s_folder.empty()) fail("no temporary directory");
    if (!kvhost::loadModule(L"KOVANotification10.arx")) fail("the hub module does not load");
    m_client = std::make_unique<MarkingClient>();
    AcApDocument* doc = kvhost::newDocument(L"seed");
    auto* line = new AcDbLine(AcGePoint3d(1, 2, 0), AcGePoint3d(3.25, -4, 0.5));
    line->setLayer(L"walls");
    line->setColorIndex(1);
    kvhost::addEntity(doc, line);
    kvhost::addEntity(doc, new AcDbCircle(AcGePoint3d(5, 5, 0), 2.5));
    kvhost::runCommand(L"MOVE");
    kvhost::runCommand(L"COPY");
    if (kvhost::saveDocument(doc, path(L"seed.dwg")) != Acad::eOk ||
        kvhost::saveDocument(doc, path(L"seed.dxf")) != Acad::eOk)
      fail("the seed drawing cannot be saved");
    seed[0] = testfiles::readFile(path(L"seed.dwg"));
    seed[1] = testfiles::readFile(path(L"seed.dxf"));
    closeEveryDocument();
  }
  ~Session() {
    m_client.reset();
    kvhost::quit();
    std::filesystem::remove_all(s_folder);
    s_folder.clear();
  }

  std::unique_ptr<MarkingClient> m_client;

 public:
  // The session's folder while it exists, for a failed check to remove
  // before the process aborts (the failing input is the fuzzer's artifact).
  static std::string s_folder;
};

}  // namespace

std::string Session::s_folder;

void fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  if (!Session::s_folder.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(Session::s_folder, ignored);
  }
  std::abort();
}

const std::string& seedDrawing(Form form) { return Session::instance().seed[form == Form::kDxf]; }

void openAndCheck(const std::string& bytes, Form form) {
  const Session& session = Session::instance();
  const bool dxf = form == Form::kDxf;
  std::wstring input = session.path(dxf ? L"input.dxf" : L"input.dwg");
  if (!testfiles::writeFile(input, bytes)) fail("cannot write the input file");
  if (AcApDocument* doc = open(input)) {
    // The marker is read and written back by a marked command.
    kvhost::activateDocument(doc);
    kvhost::runCommand(L"FUZZ");
    std::wstring again = session.path(dxf ? L"again.dxf" : L"again.dwg");
    if (kvhost::saveDocument(doc, again) != Acad::eOk) fail("an opened drawing cannot be saved");
    AcApDocument* back = open(again);
    if (back == nullptr) fail("a drawing the host saved does not open");
    if (drawingState(doc) != drawingState(back)) fail("a saved and reopened drawing differs");
  }
  closeEveryDocument();
  kvhost::clearJournal();  // a long run would otherwise keep every line it ever wrote
}

}  // namespace kovafuzz
