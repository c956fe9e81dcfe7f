// Drawings saved and opened again in both file forms (the host's binary one
// and ASCII DXF), with the hub linked so that marked commands leave an undo
// marker in the drawing; bad files; safe saves; and the saved files read and
// drawn by an independent reader (ezdxf).
#include <dirent.h>
#include <gtest/gtest.h>
#include <KOVANotification.h>
#include <kvhost.h>
#include <memfiler.h>
#include <testfiles.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {
using namespace testfiles;

const wchar_t kModule[] = L"KOVANotification10.arx";

std::string hex(AcDbObjectId id) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(id.handle()));
  return buf;
}
AcDbObjectId entry(AcDbObjectId dictId, const wchar_t* key) {
  AcDbDictionaryPointer dict(dictId, AcDb::kForRead);
  AcDbObjectId id;
  return dict && dict->getAt(key, id) == Acad::eOk ? id : AcDbObjectId::kNull;
}
// A custom object of the test's own: its class can go and come back.
class KeptObject : public AcDbObject {
 public:
  static AcRxClass* s_pDesc;
  static AcRxClass* registerClass() {
    return s_pDesc = newAcRxClass(L"KeptObject", L"AcDbObject", 0, 0, 0,
                                  [] { return static_cast<AcRxObject*>(new KeptObject); }, L"KEPT_OBJECT", L"TEST_APP");
  }
  static void removeClass() {
    deleteAcRxClass(s_pDesc);
    s_pDesc = nullptr;
  }
  // Found by name while newAcRxClass is still registering it.
  AcRxClass* isA() const override {
    return s_pDesc ? s_pDesc : AcRxClass::cast(acrxClassDictionary()->at(L"KeptObject"));
  }
  Acad::ErrorStatus dwgInFields(AcDbDwgFiler* filer) override {
    if (AcDbObject::dwgInFields(filer) != Acad::eOk) return filer->filerStatus();
    return filer->readInt32(&value);
  }
  Acad::ErrorStatus dwgOutFields(AcDbDwgFiler* filer) const override {
    if (AcDbObject::dwgOutFields(filer) != Acad::eOk) return filer->filerStatus();
    return filer->writeInt32(value);
  }
  Acad::ErrorStatus dxfInFields(AcDbDxfFiler* filer) override {
    if (AcDbObject::dxfInFields(filer) != Acad::eOk || !filer->atSubclassData(L"KeptObject")) return filer->filerStatus();
    resbuf rb;
    if (filer->readItem(&rb) == Acad::eOk && rb.restype == 90) value = rb.int32;
    return filer->filerStatus();
  }
  Acad::ErrorStatus dxfOutFields(AcDbDxfFiler* filer) const override {
    if (AcDbObject::dxfOutFields(filer) != Acad::eOk) return filer->filerStatus();
    filer->writeString(AcDb::kDxfSubclass, L"KeptObject");
    return filer->writeInt32(AcDb::kDxfInt32, value);
  }
  Adesk::Int32 value = 0;
};
AcRxClass* KeptObject::s_pDesc = nullptr;

// What the named-object dictionary holds under key (and subKey in that):
// its class, or "proxy" and the class it stands for; a KeptObject's value.
std::wstring describe(AcApDocument* doc, const wchar_t* key, const wchar_t* subKey = nullptr) {
  AcDbObjectId id = entry(doc->database()->namedObjectsDictionaryId(), key);
  AcDbObjectPointer<AcDbObject> object(subKey ? entry(id, subKey) : id, AcDb::kForRead);
  if (!object) return L"none";
  if (auto* proxy = AcDbProxyObject::cast(object.object())) return std::wstring(L"proxy ") + proxy->originalClassName();
  if (object->isA() != KeptObject::s_pDesc) return object->isA()->name();
  return L"KeptObject " + std::to_wstring(static_cast<KeptObject*>(object.object())->value);
}
std::wstring markerClass(AcApDocument* doc) { return describe(doc, L"KOVA_UNDO_DICTIONARY", L"KOVA_UNDO_OBJECT"); }
int markerCounter(AcApDocument* doc) { return kvhost::undoMarkerCounter(doc).value_or(-1); }

// A client editor reactor: while one is registered, commands are marked.
class Client : public KOVAEditorReactorBase {};

class DrawingFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kvhost::loadModule(kModule)) << narrow(kvhost::lastModuleError());
    doc = kvhost::newDocument(L"plan");
    ASSERT_NE(doc, nullptr);
    client = std::make_unique<Client>();
    char pattern[] = "/tmp/drawingfile_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override {
    client.reset();
    kvhost::quit();
    std::filesystem::remove_all(dir);
  }
  std::wstring path(const std::string& name) const { return widen(dir + "/" + name); }
  AcApDocument* reopen(const std::wstring& file) {
    Acad::ErrorStatus es = Acad::eOk;
    AcApDocument* opened = kvhost::openDocument(file, &es);
    EXPECT_EQ(es, Acad::eOk) << narrow(file);
    return opened;
  }
  // The file must be refused, and nothing of it may stay behind.
  Acad::ErrorStatus refusal(const std::wstring& file) {
    const size_t before = kvhost::documents().size();
    Acad::ErrorStatus es = Acad::eOk;
    EXPECT_EQ(kvhost::openDocument(file, &es), nullptr);
    EXPECT_EQ(kvhost::documents().size(), before);
    return es;
  }
  // A line on a layer with a colour, a circle, a text and an erased line,
  // a header variable, then two marked commands.
  void fill() {
    auto* line = new AcDbLine(AcGePoint3d(1, 2, 0), AcGePoint3d(3.25, -4, 0.5));
    line->setLayer(L"walls");
    line->setColorIndex(1);
    lineId = kvhost::addEntity(doc, line);
    circleId = kvhost::addEntity(doc, new AcDbCircle(AcGePoint3d(5, 5, 0), 2.5));
    textId = kvhost::addEntity(doc, new AcDbText(AcGePoint3d(0, 10, 0), L"Grüße x^2"));
    kvhost::eraseObject(kvhost::addEntity(doc, new AcDbLine));
    kvhost::setSysVar(L"CLAYER", L"walls");
    kvhost::runCommand(L"MOVE");
    kvhost::runCommand(L"COPY");
  }
  // Puts object under key in the named-object dictionary.
  AcDbObjectId addToDictionary(const wchar_t* key, AcDbObject* object) {
    AcDbObjectId id;
    EXPECT_EQ(kvhost::modifyObject(doc->database()->namedObjectsDictionaryId(), [&](AcDbObject* nod) {
      AcDbDictionary::cast(nod)->setAt(key, object, id);
      object->close();
    }), Acad::eOk);
    return id;
  }

  AcApDocument* doc = nullptr;
  std::unique_ptr<Client> client;
  std::string dir;
  AcDbObjectId lineId, circleId, textId;
};

TEST_F(DrawingFiles, WhatIsSavedIsWhatOpensAgainInBothForms) {
  fill();
  const AcDbObjectId projectId = addToDictionary(L"PROJECT", new AcDbDictionary);
  // Characters beyond two bytes, and those a DXF line cannot carry as they are.
  const wchar_t* awkward = L"^ caret, ^J, \U0001D11E, tab\tand\nline feed";
  ASSERT_EQ(kvhost::modifyObject(textId, [&](AcDbObject* o) { AcDbText::cast(o)->setTextString(awkward); }), Acad::eOk);
  for (const char* name : {"plan.kvdwg", "plan.dxf"}) {
    SCOPED_TRACE(name);
    kvhost::activateDocument(doc);
    const std::wstring file = path(name), again = path(std::string("again-") + name);
    ASSERT_EQ(kvhost::saveDocument(doc, file), Acad::eOk);
    EXPECT_EQ(doc->dbmod(), 0);
    AcApDocument* back = reopen(file);
    ASSERT_NE(back, nullptr);
    AcDbDatabase* db = back->database();
    AcDbObjectIdArray ids = kvhost::entities(back);
    ASSERT_EQ(ids.length(), 3);  // the erased line was not saved
    EXPECT_EQ(ids[0].handle(), lineId.handle());
    EXPECT_EQ(ids[2].handle(), textId.handle());
    {
      AcDbObjectPointer<AcDbLine> line(ids[0], AcDb::kForRead);
      AcDbObjectPointer<AcDbCircle> circle(ids[1], AcDb::kForRead);
      AcDbObjectPointer<AcDbText> text(ids[2], AcDb::kForRead);
      ASSERT_TRUE(line && circle && text);
      EXPECT_EQ(line->startPoint(), AcGePoint3d(1, 2, 0));
      EXPECT_EQ(line->endPoint(), AcGePoint3d(3.25, -4, 0.5));
      EXPECT_STREQ(line->layer(), L"walls");
      EXPECT_EQ(line->colorIndex(), 1);
      EXPECT_EQ(circle->center(), AcGePoint3d(5, 5, 0));
      EXPECT_EQ(circle->radius(), 2.5);
      EXPECT_EQ(circle->colorIndex(), 256);
      EXPECT_STREQ(circle->layer(), L"0");
      EXPECT_STREQ(text->textString(), awkward);
      EXPECT_EQ(text->position(), AcGePoint3d(0, 10, 0));
    }
    EXPECT_STREQ(db->headerSysVar(L"CLAYER"), L"walls");
    AcDbObjectId project = entry(db->namedObjectsDictionaryId(), L"PROJECT");
    EXPECT_EQ(project.handle(), projectId.handle());
    {
      AcDbDictionaryPointer inner(project, AcDb::kForRead);
      ASSERT_TRUE(inner);
      EXPECT_EQ(inner->ownerId(), db->namedObjectsDictionaryId());
    }
    EXPECT_EQ(markerClass(back), L"KOVAUndoObject");
    EXPECT_EQ(markerCounter(back), 2);
    // Saved again unchanged, the same file (a DXF file tells when it was saved).
    ASSERT_EQ(kvhost::saveDocument(back, again), Acad::eOk);
    EXPECT_TRUE(std::string(name) == "plan.dxf" || readFile(again) == readFile(file));
    // Handles go on above everything the drawing and the file used; reading is no undo step.
    EXPECT_GE(db->handseed(), doc->database()->handseed());
    const AcDbHandle added = kvhost::addEntity(back, new AcDbLine).handle();
    EXPECT_EQ(added, db->handseed() - 1);
    EXPECT_EQ(kvhost::undoGroupCount(back), 1);
    // The reopened marker goes on counting, and the next round trip keeps it.
    kvhost::runCommand(L"ERASE");
    EXPECT_EQ(markerCounter(back), 3);
    ASSERT_EQ(kvhost::saveDocument(back, again), Acad::eOk);
    AcApDocument* third = reopen(again);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(markerCounter(third), 3);
    EXPECT_EQ(kvhost::entities(third).length(), 4);
  }
}

// A drawing saved by an earlier version of the writer, without the frame, opens as it was.
TEST_F(DrawingFiles, AFileOfAnEarlierVersionStillOpens) {
  writeFile(path("earlier.dxf"), readFile(L"" KOVA_EARLIER_DXF).substr(1));  // a fuzz input: a byte, then the file
  AcApDocument* back = reopen(path("earlier.dxf"));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(kvhost::entities(back).length(), 2);
  EXPECT_EQ(markerCounter(back), 2);
}

// Bad files made from a good file of the drawing in that form.
struct BadFile {
  const char* name;
  const char* form;  // the file's extension
  std::function<std::vector<std::string>(const std::string& good)> make;
  std::vector<Acad::ErrorStatus> answers;  // empty: any failure
};

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}
// The file without the listing of the marker's class.
std::string unlisted(std::string text) {
  const std::string listed = "  0\nCLASS\n  1\nKOVA_UNDO_OBJECT\n";
  const size_t at = text.find(listed);
  EXPECT_NE(at, std::string::npos);
  return at == std::string::npos ? text : text.erase(at, text.find("  0\n", at + listed.size()) - at);
}
std::vector<std::string> cutShort(const std::string& good, size_t step) {
  std::vector<std::string> cuts;
  for (size_t n = 0; n + 1 < good.size(); n += step) cuts.push_back(good.substr(0, n));
  return cuts;
}
std::vector<std::string> garbage(const std::string& head, size_t size, int rounds) {
  std::mt19937 random(7);
  std::vector<std::string> files;
  for (int round = 0; round < rounds; ++round) {
    std::string bytes = head;
    while (bytes.size() < head.size() + 1 + random() % size) bytes += static_cast<char>(random() % 4 ? random() : 0);
    files.push_back(bytes);
  }
  return files;
}
// A drawing whose only object, its dictionary, has an empty record.
std::string emptyRecord(const std::string& good) {
  kvhost::DwgMemoryFiler out(AcDb::kFileFiler, nullptr);
  out.writeBytes(good.data(), 10);  // the header and version of a good file
  out.writeUInt64(2);
  out.writeUInt32(0);
  out.writeUInt64(1);
  out.writeUInt32(1);
  out.writeUInt64(1);
  out.writeString(L"AcDbDictionary");
  out.writeUInt32(0);
  return std::string(out.bytes().begin(), out.bytes().end());
}

TEST_F(DrawingFiles, BadFilesOfBothFormsAreRefused) {
  using S = std::vector<std::string>;
  const BadFile cases[] = {
      {"cut short", "kvdwg", [](const std::string& g) { return cutShort(g, 1); },
       {Acad::eBadDwgHeader, Acad::eDwgNeedsRecovery}},
      {"garbage", "kvdwg", [](const std::string&) { return garbage("", 2000, 50); }, {Acad::eBadDwgHeader}},
      {"the header over garbage", "kvdwg", [](const std::string& g) { return garbage(g.substr(0, 10), 400, 50); }, {}},
      {"a version from the future", "kvdwg", [](const std::string& g) { return S{g.substr(0, 8) + '\x09' + g.substr(9)}; },
       {Acad::eInvalidFileVersion}},
      // The lengths around a record are right, what is inside it is not.
      {"a text length beyond its record", "kvdwg",
       [](std::string g) {
         g[g.find("Grüße") - 1] = 0x7f;  // the text's length
         return S{g};
       },
       {Acad::eDwgNeedsRecovery}},
      {"an empty record", "kvdwg", [](const std::string& g) { return S{emptyRecord(g)}; }, {Acad::eDwgNeedsRecovery}},
      {"not a drawing", "dxf", [](const std::string&) {
         return S{"", "hello, world\n", std::string("AutoCAD Binary DXF\r\n\x1a\0", 22), "  0\nLINE\n  0\nEOF\n"};
       }, {}},
      {"cut short", "dxf", [](const std::string& g) { return cutShort(g, 7); }, {}},
      {"not a number", "dxf", [](const std::string& g) { return S{replaced(g, "\n 40\n2.5\n", "\n 40\nwide\n")}; }, {}},
      {"the marker's counter group missing", "dxf",
       [](const std::string& g) { return S{replaced(g, "\n 90\n2\n", "\n 70\n2\n")}; }, {}},
      {"a damaged marker in a file not listing its class", "dxf",
       [](const std::string& g) {
         return S{replaced(unlisted(g), "100\nKOVA_UNDO_OBJECT\n 70\n", "100\nKOVA_UNDO_OBJECT\n 69\n")};
       },
       {Acad::eInvalidDxfCode}},
      {"the structure broken", "dxf", [](const std::string& g) { return S{replaced(g, "ENTITIES", "ENTITIES\n  0\nENDSEC")}; },
       {}},
      // A type name cut short there would read as another type.
      {"a NUL inside a line", "dxf", [](const std::string& g) { return S{replaced(g, "CIRCLE\n", {"CIRCLE\0x\n", 9})}; },
       {}},
  };
  fill();
  const std::string circle = "CIRCLE\n  5\n" + hex(circleId) + "\n", line = "CIRCLE\n  5\n" + hex(lineId) + "\n";
  for (const char* form : {"kvdwg", "dxf"}) {
    const std::wstring good = path(std::string("good.") + form), bad = path(std::string("bad.") + form);
    ASSERT_EQ(kvhost::saveDocument(doc, good), Acad::eOk);
    ASSERT_NE(reopen(good), nullptr);
    kvhost::activateDocument(doc);
    EXPECT_EQ(refusal(path(std::string("missing.") + form)), Acad::eFileNotFound);
    ASSERT_EQ(mkdir(narrow(path(std::string("folder.") + form)).c_str(), 0755), 0);
    EXPECT_EQ(refusal(path(std::string("folder.") + form)), Acad::eFileNotFound);
  }
  std::vector<BadFile> all(std::begin(cases), std::end(cases));
  // Two records under one handle; the host's binary drawing under a DXF name.
  all.push_back({"a handle twice", "dxf", [&](const std::string& g) { return S{replaced(g, circle, line)}; }, {}});
  all.push_back({"binary under a DXF name", "dxf", [&](const std::string&) { return S{readFile(path("good.kvdwg"))}; }, {}});
  for (const BadFile& c : all) {
    SCOPED_TRACE(std::string(c.form) + ": " + c.name);
    const std::wstring bad = path(std::string("bad.") + c.form);
    const S files = c.make(readFile(path(std::string("good.") + c.form)));
    for (size_t i = 0; i < files.size(); ++i) {
      writeFile(bad, files[i]);
      Acad::ErrorStatus es = refusal(bad);
      EXPECT_NE(es, Acad::eOk) << "file " << i;
      if (!c.answers.empty()) {
        EXPECT_NE(std::find(c.answers.begin(), c.answers.end(), es), c.answers.end()) << "file " << i << ": " << es;
      }
    }
  }
}

TEST_F(DrawingFiles, ObjectsWithoutTheirClassTravelAsProxiesAndComeBackWithIt) {
  AcRxClass* first = KeptObject::registerClass();
  EXPECT_EQ(KeptObject::registerClass(), first);  // a second registration finds the first
  auto* object = new KeptObject;
  object->value = 70000;
  addToDictionary(L"KEPT", object);
  std::vector<std::string> files;
  for (const char* name : {"class.kvdwg", "class.dxf", "memory.kvdwg", "memory.dxf"}) {
    if (files.size() == 2) {
      KeptObject::removeClass();
      EXPECT_EQ(acrxClassDictionary()->at(L"KeptObject"), nullptr);
      // In memory the object now keeps its DWG record; saved, it goes as a proxy.
      EXPECT_EQ(describe(doc, L"KEPT"), L"proxy KeptObject");
    }
    ASSERT_EQ(kvhost::saveDocument(doc, path(name)), Acad::eOk);
    files.push_back(name);
  }
  EXPECT_NE(readFile(path("memory.dxf")).find("ACAD_PROXY_OBJECT"), std::string::npos);
  // Read without the class: proxies, which save what they were read with.
  std::vector<AcApDocument*> opened{doc};
  for (const std::string& name : std::vector<std::string>(files)) {
    SCOPED_TRACE(name);
    opened.push_back(reopen(path(name)));
    ASSERT_NE(opened.back(), nullptr);
    EXPECT_EQ(describe(opened.back(), L"KEPT").rfind(L"proxy KeptObject", 0), 0u);
    ASSERT_EQ(kvhost::saveDocument(opened.back(), path("re-" + name)), Acad::eOk);
    if (name.find("kvdwg") != std::string::npos) {
      EXPECT_EQ(readFile(path("re-" + name)), readFile(path(name)));
    }
    files.push_back("re-" + name);
  }
  // With the class back, the proxies in memory (kept as a DWG record or as
  // DXF groups) and all the files give the object back.
  KeptObject::registerClass();
  for (AcApDocument* d : opened) EXPECT_EQ(describe(d, L"KEPT"), L"KeptObject 70000") << narrow(d->fileName());
  for (const std::string& name : files) EXPECT_EQ(describe(reopen(path(name)), L"KEPT"), L"KeptObject 70000") << name;
  KeptObject::removeClass();
}

TEST_F(DrawingFiles, AMarkerReadWithoutItsClassIsSavedAgainUnchanged) {
  fill();
  ASSERT_EQ(kvhost::saveDocument(doc, path("marked.dxf")), Acad::eOk);
  client.reset();
  ASSERT_TRUE(kvhost::unloadModule(kModule));
  AcApDocument* back = reopen(path("marked.dxf"));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(markerClass(back).rfind(L"proxy KOVAUndoObject", 0), 0u);
  EXPECT_EQ(markerCounter(back), 2);
  ASSERT_EQ(kvhost::saveDocument(back, path("resaved.dxf")), Acad::eOk);
  // The text from a start to the next record.
  auto record = [](const std::string& text, const std::string& start) {
    const size_t at = text.find(start);
    return at == std::string::npos ? std::string() : text.substr(at, text.find("  0\n", at + 4) - at);
  };
  const std::string marked = readFile(path("marked.dxf")), resaved = readFile(path("resaved.dxf"));
  EXPECT_NE(record(marked, "  0\nKOVA_UNDO_OBJECT\n"), "");
  EXPECT_EQ(record(resaved, "  0\nKOVA_UNDO_OBJECT\n"), record(marked, "  0\nKOVA_UNDO_OBJECT\n"));
  EXPECT_NE(resaved.find("  0\nCLASS\n  1\nKOVA_UNDO_OBJECT\n  2\nKOVAUndoObject\n  3\nKOVA_ORBAPP\n"), std::string::npos);
}

// Records are typed by their DXF name: in a file that does not list the
// marker's class, or lists it under another class name, the marker is still
// read by the registered class. As a proxy it would share its name with the
// real markers of the drawing at the next save (a file the host could not read back).
TEST_F(DrawingFiles, AMarkerListedOtherwiseIsReadByTheRegisteredClass) {
  fill();
  ASSERT_EQ(kvhost::saveDocument(doc, path("marked.dxf")), Acad::eOk);
  const std::string good = readFile(path("marked.dxf"));
  for (const std::string& text : {unlisted(good), replaced(good, "  2\nKOVAUndoObject\n", "  2\nOldUndoObject\n")}) {
    const std::string edited = "edited" + std::to_string(kvhost::documents().size()) + ".dxf";
    writeFile(path(edited), text);
    AcApDocument* back = reopen(path(edited));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(markerClass(back), L"KOVAUndoObject");
    EXPECT_EQ(markerCounter(back), 2);
    kvhost::runCommand(L"MARKED");
    ASSERT_EQ(kvhost::saveDocument(back, path("again-" + edited)), Acad::eOk);
    AcApDocument* third = reopen(path("again-" + edited));
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(markerCounter(third), 3);
  }
}

// ---- Saves ----

// Where a save goes: the file, or a name that stands for it.
enum class Name { kFile, kLink, kRelativeLinks };
struct SaveCase {
  const char* file;  // its form by its extension
  Name name;
  mode_t mode;
  bool openElsewhere;  // another open drawing was read from the file
};
void PrintTo(const SaveCase& c, std::ostream* os) { *os << c.file; }

// Files may grow no larger than a few bytes while it lives: writes fail half-way.
class FileSizeLimit {
 public:
  FileSizeLimit() : m_signal(std::signal(SIGXFSZ, SIG_IGN)) {
    getrlimit(RLIMIT_FSIZE, &m_old);
    rlimit small = m_old;
    small.rlim_cur = 64;
    setrlimit(RLIMIT_FSIZE, &small);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &m_old);
    std::signal(SIGXFSZ, m_signal);
  }

 private:
  void (*m_signal)(int);
  rlimit m_old;
};

class Saving : public DrawingFiles, public testing::WithParamInterface<SaveCase> {};

TEST_P(Saving, ReplacesTheFileWithAWholeNewOneOrLeavesItAsItWas) {
  const SaveCase& c = GetParam();
  fill();
  const std::string file = narrow(path(c.file));
  ASSERT_EQ(kvhost::saveDocument(doc, widen(file)), Acad::eOk);
  ASSERT_EQ(chmod(file.c_str(), c.mode), 0);
  const bool root = geteuid() == 0;  // only root may give a file away
  if (root) {
    ASSERT_EQ(chown(file.c_str(), 4321, 4321), 0);
  }
  std::string name = file;
  if (c.name != Name::kFile) {
    name = narrow(path(std::string("link-") + c.file));
    std::string to = file;
    if (c.name == Name::kRelativeLinks) {
      to = std::string("middle-") + c.file;
      ASSERT_EQ(symlink(c.file, narrow(path(to)).c_str()), 0);
    }
    ASSERT_EQ(symlink(to.c_str(), name.c_str()), 0);
  }
  if (c.openElsewhere) {
    ASSERT_NE(kvhost::openDocument(widen(file)), nullptr);
    kvhost::activateDocument(doc);
  }
  const std::string old = readFile(file);
  ASSERT_EQ(kvhost::modifyObject(lineId, [](AcDbObject* o) { AcDbEntity::cast(o)->setColorIndex(5); }), Acad::eOk);
  {
    FileSizeLimit limit;
    EXPECT_NE(kvhost::saveDocument(doc, widen(name)), Acad::eOk);
  }
  EXPECT_EQ(readFile(file), old);
  EXPECT_EQ(doc->dbmod(), 1);  // still unsaved

  kvhost::clearJournal();
  Acad::ErrorStatus es = kvhost::saveDocument(doc, widen(name));
  struct stat info;
  ASSERT_EQ(lstat(name.c_str(), &info), 0);
  EXPECT_EQ(S_ISLNK(info.st_mode), c.name != Name::kFile);
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, c.mode);
  if (root) {
    EXPECT_EQ(info.st_uid, 4321u);
  }
  if (c.openElsewhere) {
    EXPECT_EQ(es, Acad::eFileSharingViolation);
    EXPECT_EQ(readFile(file), old);
    const std::vector<std::wstring>& j = kvhost::journal();
    EXPECT_NE(std::find_if(j.begin(), j.end(), [](const std::wstring& l) {
      return l.find(L"refused: the file is open in") != std::wstring::npos;
    }), j.end());
  } else {
    EXPECT_EQ(es, Acad::eOk);
    AcApDocument* back = reopen(widen(file));
    ASSERT_NE(back, nullptr);
    AcDbEntityPointer line(kvhost::entities(back)[0], AcDb::kForRead);
    EXPECT_EQ(line->colorIndex(), 5);
  }
  // Nothing is left beside the file.
  for (const auto& left : std::filesystem::directory_iterator(dir)) {
    const std::string n = left.path().filename().string();
    EXPECT_TRUE(n == c.file || n == std::string("link-") + c.file || n == std::string("middle-") + c.file) << n;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, Saving,
    testing::Values(SaveCase{"plain.kvdwg", Name::kFile, 0644, false}, SaveCase{"private.dxf", Name::kFile, 0600, false},
                    SaveCase{"linked.dxf", Name::kLink, 0640, false},
                    SaveCase{"chained.kvdwg", Name::kRelativeLinks, 0600, false},
                    SaveCase{"held.dxf", Name::kFile, 0644, true},
                    SaveCase{"heldlinked.kvdwg", Name::kLink, 0644, true}));

// An object that cannot file itself out.
class Unfileable : public AcDbObject {
 public:
  ACRX_DECLARE_MEMBERS(Unfileable);
  Acad::ErrorStatus dwgOutFields(AcDbDwgFiler* f) const override {
    AcDbObject::dwgOutFields(f);
    f->setFilerStatus(Acad::eFilerError);
    return Acad::eFilerError;
  }
  Acad::ErrorStatus dxfOutFields(AcDbDxfFiler*) const override { return Acad::eInvalidInput; }
};
AcRxClass* Unfileable::desc() { return AcRxClass::cast(acrxClassDictionary()->at(L"Unfileable")); }
AcRxClass* Unfileable::isA() const { return desc(); }

TEST_F(DrawingFiles, AnObjectThatCannotBeWrittenFailsTheSaveAndKeepsTheFile) {
  fill();
  for (const char* name : {"kept.kvdwg", "kept.dxf"}) ASSERT_EQ(kvhost::saveDocument(doc, path(name)), Acad::eOk);
  newAcRxClass(L"Unfileable", L"AcDbObject", 0, 0, 0, [] { return static_cast<AcRxObject*>(new Unfileable); },
               L"UNFILEABLE", L"TEST_APP");
  addToDictionary(L"UNFILEABLE", new Unfileable);
  for (const char* name : {"kept.kvdwg", "kept.dxf"}) {
    const std::string saved = readFile(path(name));
    EXPECT_NE(kvhost::saveDocument(doc, path(name)), Acad::eOk) << name;
    EXPECT_EQ(readFile(path(name)), saved) << name;
  }
  // Nor is a save into a folder that is not there a success.
  EXPECT_NE(kvhost::saveDocument(doc, path("no/such/dir/x.dxf")), Acad::eOk);
}

// ---- The independent reader ----

int run(const std::string& command, std::string& output) {
  output.clear();
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buf[512];
  while (std::fgets(buf, sizeof buf, pipe)) output += buf;
  return pclose(pipe);
}

std::string readDxf(const std::string& arguments, std::string& out) {
  if (run("/usr/bin/python3 -c 'import ezdxf, matplotlib'", out) != 0)
    return "no ezdxf or matplotlib (Debian python3-ezdxf, python3-matplotlib): " + out;
  return run("/usr/bin/python3 " KOVA_READ_DXF_SCRIPT " " + arguments, out) == 0 ? "" : "ezdxf: " + out;
}
#define READ_DXF(arguments, out)                                          \
  if (std::string why = readDxf(arguments, out); why.rfind("no ", 0) == 0) \
    GTEST_SKIP() << why;                                                  \
  else                                                                    \
    ASSERT_EQ(why, "")

TEST_F(DrawingFiles, EzdxfReadsTheSavedDrawingAsItIsAndShowsIt) {
  fill();
  const std::string file = narrow(path("ezdxf.dxf"));
  ASSERT_EQ(kvhost::saveDocument(doc, widen(file)), Acad::eOk);
  std::string out;
  READ_DXF("'" + file + "'", out);
  EXPECT_EQ(out, "version AC1024\n"
                 "entity LINE handle=" + hex(lineId) + " layer=walls color=1 start=(1,2,0) end=(3.25,-4,0.5)\n"
                 "entity CIRCLE handle=" + hex(circleId) + " layer=0 color=256 center=(5,5,0) radius=2.5\n"
                 "entity TEXT handle=" + hex(textId) + " layer=0 color=256 insert=(0,10,0) text=Grüße x^2\n"
                 "dictionary KOVA_UNDO_DICTIONARY: KOVA_UNDO_OBJECT\n"
                 "marker KOVA_UNDO_OBJECT version=1 counter=2\n");
  // Drawn where the line, the circle and the text are, and nowhere else.
  READ_DXF("--picture '" + file + "' '" + file + ".png' -2 -6 10 14 2.125,-1 5,7.5 2.5,5 0.4,11 5,5 8,-4", out);
  EXPECT_EQ(out, "2.125,-1 drawn\n5,7.5 drawn\n2.5,5 drawn\n0.4,11 drawn\n5,5 background\n8,-4 background\n");
}

// Every example script, with each of its drawings saved as DXF before it is
// closed or the script ends: a strict reader repairs and adds nothing.
TEST(ExampleDrawings, NeedNoRepairInAnotherReader) {
  std::string dir = ::testing::TempDir() + "dxf_examples.XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  std::string files, out;
  for (const auto& example : std::filesystem::directory_iterator(KOVA_EXAMPLES_DIR)) {
    const std::string name = example.path().filename().string();
    if (example.path().extension() != ".kvs") continue;
    SCOPED_TRACE(name);
    std::ifstream in(example.path());
    std::ofstream script(dir + "/" + name);
    std::vector<std::string> open;
    int saves = 0;
    auto save = [&](const std::string& drawing) {
      std::string file = dir + "/" + name + "." + std::to_string(++saves) + ".dxf";  // scripts may change folder
      script << "save " << drawing << " " << file << "\n";
      files += " '" + file + "'";
    };
    for (std::string line; std::getline(in, line);) {
      std::istringstream words(line);
      std::string op, drawing;
      words >> op >> drawing;
      if (op == "close") save(drawing);
      if (op == "new" || op == "open") open.push_back(drawing);
      if (op == "close") open.erase(std::find(open.begin(), open.end(), drawing));
      script << line << "\n";
    }
    for (const std::string& drawing : open) save(drawing);
    script.close();
    ASSERT_EQ(run("cd '" + dir + "' && " KOVAHOST_PROGRAM " '" + name + "' > /dev/null", out), 0) << out;
  }
  READ_DXF("--audit" + files, out);
  std::istringstream lines(out);
  int checked = 0;
  for (std::string line; std::getline(lines, line); ++checked)
    EXPECT_NE(line.find(": 0 errors, 0 fixes, created [], header added []"), std::string::npos) << line;
  EXPECT_GE(checked, 7);
  std::filesystem::remove_all(dir);
}

}  // namespace
