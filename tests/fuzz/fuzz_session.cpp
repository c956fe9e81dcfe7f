#include "fuzz_session.h"
#include <KOVANotification.h>
#include <kvhost.h>
#include <memfiler.h>
#include <testfiles.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace kovafuzz {
namespace {
using testfiles::narrow;
using testfiles::readFile;

const wchar_t kModule[] = L"KOVANotification10.arx";

// While an editor client is registered, commands are marked.
class MarkingClient : public KOVAEditorReactorBase {};
std::unique_ptr<MarkingClient> g_client;

void writeInput(const std::wstring& file, const std::string& bytes) {
  if (!testfiles::writeFile(file, bytes)) fail("cannot write the input file");
}

// An object as a reader sees it: its class and its whole DWG record.
struct Filed {
  std::wstring className;
  std::vector<unsigned char> record;
  bool operator==(const Filed& other) const { return className == other.className && record == other.record; }
};

Filed filed(AcDbObjectId id) {
  AcDbObjectPointer<AcDbObject> object(id, AcDb::kForRead);
  if (!object) return {};
  kvhost::DwgMemoryFiler filer(AcDb::kFileFiler, id.database());
  if (object->dwgOutFields(&filer) != Acad::eOk) fail("an opened object cannot be filed");
  return {object->isA()->name(), filer.bytes()};
}

// What must survive a save and an open: every object of the drawing.
std::map<AcDbHandle, Filed> drawingState(AcApDocument* doc) {
  std::map<AcDbHandle, Filed> state;
  AcDbObjectIdArray ids = doc->database()->objectIds();
  for (int i = 0; i < ids.length(); ++i) state[ids[i].handle()] = filed(ids[i]);
  return state;
}

// Names the first object that did not come back as it was, then fails.
void reportDifference(const std::map<AcDbHandle, Filed>& before, const std::map<AcDbHandle, Filed>& after) {
  if (before == after) return;
  for (const auto& [handle, object] : before) {
    auto it = after.find(handle);
    if (it != after.end() && it->second == object) continue;
    std::fprintf(stderr, "object %llX (%ls) %s\n", static_cast<unsigned long long>(handle), object.className.c_str(),
                 it == after.end() ? "is gone" : "came back changed");
    if (it != after.end()) {
      std::fprintf(stderr, "  was %ls", object.className.c_str());
      for (unsigned char b : object.record) std::fprintf(stderr, " %02x", b);
      std::fprintf(stderr, "\n  now %ls", it->second.className.c_str());
      for (unsigned char b : it->second.record) std::fprintf(stderr, " %02x", b);
      std::fprintf(stderr, "\n");
    }
    fail("a saved and reopened drawing differs");
  }
  for (const auto& [handle, object] : after)
    if (before.count(handle) == 0)
      std::fprintf(stderr, "object %llX (%ls) is new\n", static_cast<unsigned long long>(handle),
                   object.className.c_str());
  fail("a saved and reopened drawing differs");
}

void closeEveryDocument() {
  for (AcApDocument* doc : kvhost::documents())
    if (!kvhost::closeDocument(doc)) fail("a document could not be closed");
}

}  // namespace

void fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

Session& Session::instance() {
  static Session session;
  return session;
}

Session::Session() {
  std::error_code error;
  std::string dir = (std::filesystem::temp_directory_path(error) / "kovafuzz.XXXXXX").string();
  if (error || mkdtemp(dir.data()) == nullptr) fail("no temporary directory");
  m_dir = std::wstring(dir.begin(), dir.end()) + L"/";
  if (!kvhost::loadModule(kModule)) fail("the hub module does not load");
  g_client = std::make_unique<MarkingClient>();

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
  m_seedDwg = readFile(path(L"seed.dwg"));
  m_seedDxf = readFile(path(L"seed.dxf"));
  closeEveryDocument();
}

Session::~Session() {
  g_client.reset();
  kvhost::quit();
  for (const wchar_t* name : {L"seed.dwg", L"seed.dxf", L"input.dwg", L"input.dxf", L"again.dwg", L"again.dxf"})
    std::remove(narrow(path(name)).c_str());
  rmdir(narrow(m_dir).c_str());
}

std::wstring Session::path(const wchar_t* name) const { return m_dir + name; }

AcApDocument* Session::open(const std::wstring& file) {
  size_t before = kvhost::documents().size();
  Acad::ErrorStatus es = Acad::eOk;
  AcApDocument* doc = kvhost::openDocument(file, &es);
  if ((doc == nullptr) != (es != Acad::eOk)) fail("the open's status does not match its result");
  if (kvhost::documents().size() != before + (doc ? 1 : 0)) fail("a refused drawing left a document behind");
  return doc;
}

void Session::openAndCheck(const std::string& bytes, Form form) {
  const bool dxf = form == Form::kDxf;
  std::wstring input = path(dxf ? L"input.dxf" : L"input.dwg");
  writeInput(input, bytes);
  AcApDocument* doc = open(input);
  if (doc != nullptr) {
    // The marker is read and written back by a marked command.
    kvhost::activateDocument(doc);
    kvhost::runCommand(L"FUZZ");
    std::wstring again = path(dxf ? L"again.dxf" : L"again.dwg");
    if (kvhost::saveDocument(doc, again) != Acad::eOk) fail("an opened drawing cannot be saved");
    AcApDocument* back = open(again);
    if (back == nullptr) fail("a drawing the host saved does not open");
    reportDifference(drawingState(doc), drawingState(back));
  }
  closeEveryDocument();
  kvhost::clearJournal();  // a long run would otherwise keep every line it ever wrote
}

}  // namespace kovafuzz
