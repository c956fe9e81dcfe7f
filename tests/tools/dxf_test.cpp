// Drawings saved to and opened from ASCII DXF, with the hub module linked so
// that marked commands leave an undo marker in the drawing.
#include <dirent.h>
#include <gtest/gtest.h>
#include <KOVANotification.h>
#include <kvhost.h>
#include <memfiler.h>
#include <testfiles.h>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
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
  if (!dict || dict->getAt(key, id) != Acad::eOk) return AcDbObjectId::kNull;
  return id;
}
AcDbObjectId markerId(AcDbDatabase* db) {
  return entry(entry(db->namedObjectsDictionaryId(), L"KOVA_UNDO_DICTIONARY"), L"KOVA_UNDO_OBJECT");
}
// The marker's counter from its DWG record (owner handle, version, counter).
int markerCounter(AcDbDatabase* db) {
  AcDbObjectPointer<AcDbObject> marker(markerId(db), AcDb::kForRead);
  if (!marker) return -1;
  if (std::wcscmp(marker->isA()->name(), L"KOVAUndoObject") != 0) return -2;
  kvhost::DwgMemoryFiler filer(AcDb::kFileFiler, db);
  marker->dwgOutFields(&filer);
  Adesk::Int32 counter = -3;
  if (filer.bytes().size() == 14) std::memcpy(&counter, filer.bytes().data() + 10, 4);
  return counter;
}
std::wstring markerClass(AcDbDatabase* db) {
  AcDbObjectPointer<AcDbObject> marker(markerId(db), AcDb::kForRead);
  if (!marker) return L"";
  if (auto* proxy = AcDbProxyObject::cast(marker.object())) return std::wstring(L"proxy ") + proxy->originalClassName();
  return marker->isA()->name();
}

// A client editor reactor: while one is registered, commands are marked.
class Client : public KOVAEditorReactorBase {};

class DxfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kvhost::loadModule(kModule)) << kvhost::lastModuleError().c_str();
    doc = kvhost::newDocument(L"plan");
    ASSERT_NE(doc, nullptr);
    client = std::make_unique<Client>();
  }
  void TearDown() override {
    client.reset();
    kvhost::quit();
  }
  AcApDocument* reopen(const std::wstring& path) {
    Acad::ErrorStatus es = Acad::eOk;
    AcApDocument* opened = kvhost::openDocument(path, &es);
    EXPECT_EQ(es, Acad::eOk);
    return opened;
  }
  // A line on a layer with a colour, a circle and a text, then two marked commands.
  // The marked drawing saved to a file of that name, and the file's text.
  std::string savedMarked(const std::wstring& path) {
    drawAndMark();
    EXPECT_EQ(kvhost::saveDocument(doc, path), Acad::eOk);
    return readFile(path);
  }
  void drawAndMark() {
    auto* line = new AcDbLine(AcGePoint3d(1, 2, 0), AcGePoint3d(3.25, -4, 0.5));
    line->setLayer(L"walls");
    line->setColorIndex(1);
    lineId = kvhost::addEntity(doc, line);
    circleId = kvhost::addEntity(doc, new AcDbCircle(AcGePoint3d(5, 5, 0), 2.5));
    textId = kvhost::addEntity(doc, new AcDbText(AcGePoint3d(0, 10, 0), L"Grüße x^2"));
    kvhost::runCommand(L"MOVE");
    kvhost::runCommand(L"COPY");
  }

  AcApDocument* doc = nullptr;
  std::unique_ptr<Client> client;
  AcDbObjectId lineId, circleId, textId;
};

TEST_F(DxfTest, RoundTripKeepsEntitiesDictionariesAndTheMarker) {
  drawAndMark();
  ASSERT_EQ(markerCounter(doc->database()), 2);
  // A dictionary of the drawing's own, one level down in the named-object dictionary.
  AcDbObjectId innerId;
  ASSERT_EQ(kvhost::modifyObject(doc->database()->namedObjectsDictionaryId(), [&](AcDbObject* obj) {
    auto* inner = new AcDbDictionary;
    AcDbDictionary::cast(obj)->setAt(L"PROJECT", inner, innerId);
    inner->close();
  }), Acad::eOk);
  kvhost::setSysVar(L"CLAYER", L"walls");
  // Characters a DXF line cannot carry as they are.
  const wchar_t* awkward = L"^ caret, ^J, tab\tand\nline feed";
  ASSERT_EQ(kvhost::modifyObject(textId, [&](AcDbObject* obj) { AcDbText::cast(obj)->setTextString(awkward); }),
            Acad::eOk);
  std::wstring path = tempPath(L"roundtrip.dxf");
  ASSERT_EQ(kvhost::saveDocument(doc, path), Acad::eOk);
  AcDbHandle seed = doc->database()->handseed();

  AcApDocument* back = reopen(path);
  ASSERT_NE(back, nullptr);
  AcDbDatabase* db = back->database();
  AcDbObjectIdArray ids = kvhost::entities(back);
  ASSERT_EQ(ids.length(), 3);
  {
    AcDbObjectPointer<AcDbLine> line(ids[0], AcDb::kForRead);
    ASSERT_TRUE(line);
    EXPECT_EQ(ids[0].handle(), lineId.handle());
    EXPECT_STREQ(line->layer(), L"walls");
    EXPECT_EQ(line->colorIndex(), 1);
    EXPECT_EQ(line->startPoint().y, 2);
    EXPECT_EQ(line->endPoint().x, 3.25);
    EXPECT_EQ(line->endPoint().z, 0.5);
    AcDbObjectPointer<AcDbCircle> circle(ids[1], AcDb::kForRead);
    ASSERT_TRUE(circle);
    EXPECT_EQ(circle->radius(), 2.5);
    EXPECT_EQ(circle->colorIndex(), 256);
    EXPECT_STREQ(circle->layer(), L"0");
    AcDbObjectPointer<AcDbText> text(ids[2], AcDb::kForRead);
    ASSERT_TRUE(text);
    EXPECT_STREQ(text->textString(), awkward);
    EXPECT_EQ(text->position().y, 10);
  }
  EXPECT_STREQ(db->headerSysVar(L"CLAYER"), L"walls");
  AcDbObjectId project = entry(db->namedObjectsDictionaryId(), L"PROJECT");
  EXPECT_EQ(project.handle(), innerId.handle());
  {
    AcDbDictionaryPointer inner(project, AcDb::kForRead);
    ASSERT_TRUE(inner);
    EXPECT_EQ(inner->ownerId(), db->namedObjectsDictionaryId());
  }
  EXPECT_EQ(markerClass(db), L"KOVAUndoObject");
  EXPECT_EQ(markerCounter(db), 2);
  // Handles go on above everything the drawing and the file used.
  EXPECT_GE(db->handseed(), seed);
  AcDbObjectId added = kvhost::addEntity(back, new AcDbLine);
  EXPECT_EQ(added.handle(), db->handseed() - 1);
  // The reopened marker goes on counting, and the next round trip keeps it.
  kvhost::runCommand(L"ERASE");
  EXPECT_EQ(markerCounter(db), 3);
  std::wstring again = tempPath(L"roundtrip2.dxf");
  ASSERT_EQ(kvhost::saveDocument(back, again), Acad::eOk);
  AcApDocument* third = reopen(again);
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(markerCounter(third->database()), 3);
  EXPECT_EQ(kvhost::entities(third).length(), 4);
}

// A drawing saved by an earlier version of the writer, without the frame, opens as it was.
TEST_F(DxfTest, AFileOfAnEarlierVersionStillOpens) {
  std::wstring path = tempPath(L"earlier.dxf");
  writeFile(path, readFile(L"" KOVA_EARLIER_DXF).substr(1));  // a fuzz input: a byte, then the file
  AcApDocument* back = reopen(path);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(kvhost::entities(back).length(), 2);
  EXPECT_EQ(markerCounter(back->database()), 2);
}

TEST_F(DxfTest, BadFilesAreRefused) {
  std::wstring path = tempPath(L"bad.dxf");
  auto refused = [&](const std::string& text) {
    writeFile(path, text);
    size_t before = kvhost::documents().size();
    Acad::ErrorStatus es = Acad::eOk;
    bool opened = kvhost::openDocument(path, &es) != nullptr;
    if (!opened) {
      EXPECT_EQ(kvhost::documents().size(), before);
    }
    return !opened && es != Acad::eOk;
  };
  Acad::ErrorStatus es = Acad::eOk;
  EXPECT_EQ(kvhost::openDocument(tempPath(L"missing.dxf"), &es), nullptr);
  EXPECT_EQ(es, Acad::eFileNotFound);
  EXPECT_TRUE(refused(""));
  EXPECT_TRUE(refused("hello, world\n"));
  EXPECT_TRUE(refused(std::string("AutoCAD Binary DXF\r\n\x1a\0", 22)));
  EXPECT_TRUE(refused("  0\nLINE\n  0\nEOF\n"));
  // The host's binary drawing under a DXF name.
  ASSERT_EQ(kvhost::saveDocument(doc, tempPath(L"plan.dwg")), Acad::eOk);
  EXPECT_TRUE(refused(readFile(tempPath(L"plan.dwg"))));

  drawAndMark();
  ASSERT_EQ(kvhost::saveDocument(doc, tempPath(L"good.dxf")), Acad::eOk);
  const std::string good = readFile(tempPath(L"good.dxf"));
  ASSERT_FALSE(refused(good));
  // Every cut short copy, up to the EOF line's own line end.
  for (size_t cut = 0; cut + 1 < good.size(); cut += 7) EXPECT_TRUE(refused(good.substr(0, cut))) << "cut at " << cut;
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
  };
  EXPECT_TRUE(refused(replaced("\n 40\n2.5\n", "\n 40\nwide\n")));          // not a number
  EXPECT_TRUE(refused(replaced("\n 90\n2\n", "\n 70\n2\n")));              // marker group missing
  EXPECT_TRUE(refused(replaced("ENTITIES", "ENTITIES\n  0\nENDSEC")));     // structure broken
  // Two records under one handle.
  EXPECT_TRUE(refused(replaced("CIRCLE\n  5\n" + hex(circleId) + "\n", "CIRCLE\n  5\n" + hex(lineId) + "\n")));
  // A NUL inside a line: a type name cut short there would read as another type.
  EXPECT_TRUE(refused(replaced("CIRCLE\n", std::string("CIRCLE\0x\n", 9))));
}

// A custom object of the test's own: its class can go and come back.
class KeptObject : public AcDbObject {
 public:
  static AcRxClass* s_pDesc;
  static void registerClass() {
    s_pDesc = newAcRxClass(L"KeptObject", L"AcDbObject", 0, 0, 0, [] { return static_cast<AcRxObject*>(new KeptObject); },
                           L"KEPT_OBJECT", L"TEST_APP");
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

// What the drawing's "KEPT" entry holds: its class, and its value when the class is there.
std::wstring kept(AcApDocument* doc) {
  AcDbObjectPointer<AcDbObject> object(entry(doc->database()->namedObjectsDictionaryId(), L"KEPT"), AcDb::kForRead);
  if (!object) return L"none";
  if (auto* proxy = AcDbProxyObject::cast(object.object())) return std::wstring(L"proxy ") + proxy->originalClassName();
  auto* keptObject = static_cast<KeptObject*>(object.object());
  return std::wstring(object->isA()->name()) + L" " + std::to_wstring(keptObject->value);
}

TEST_F(DxfTest, ObjectsWithoutTheirClassComeBackAsProxiesAndReturnWithIt) {
  KeptObject::registerClass();
  ASSERT_EQ(kvhost::modifyObject(doc->database()->namedObjectsDictionaryId(), [&](AcDbObject* obj) {
    AcDbObjectId id;
    auto* object = new KeptObject;
    object->value = 70000;
    AcDbDictionary::cast(obj)->setAt(L"KEPT", object, id);
    object->close();
  }), Acad::eOk);
  std::wstring withClass = tempPath(L"kept-class.dxf"), dwgForm = tempPath(L"kept-dwgform.dxf");
  ASSERT_EQ(kvhost::saveDocument(doc, withClass), Acad::eOk);
  KeptObject::removeClass();
  // In memory the object now keeps its DWG record; in DXF that goes as a proxy.
  EXPECT_EQ(kept(doc), L"proxy KeptObject");
  ASSERT_EQ(kvhost::saveDocument(doc, dwgForm), Acad::eOk);
  EXPECT_NE(readFile(dwgForm).find("ACAD_PROXY_OBJECT"), std::string::npos);

  // Read without the class: proxies, which save what they were read with.
  AcApDocument* fromClass = reopen(withClass);
  AcApDocument* fromDwgForm = reopen(dwgForm);
  ASSERT_TRUE(fromClass && fromDwgForm);
  EXPECT_EQ(kept(fromClass).rfind(L"proxy KeptObject", 0), 0u);
  EXPECT_EQ(kept(fromDwgForm), L"proxy KeptObject");
  std::wstring resaved = tempPath(L"kept-resaved.dxf"), dwgFormAgain = tempPath(L"kept-dwgform2.dxf");
  ASSERT_EQ(kvhost::saveDocument(fromClass, resaved), Acad::eOk);
  ASSERT_EQ(kvhost::saveDocument(fromDwgForm, dwgFormAgain), Acad::eOk);

  // With the class back, the proxies in memory (kept as a DWG record or as
  // DXF groups) and all the files give the object back.
  KeptObject::registerClass();
  EXPECT_EQ(kept(doc), L"KeptObject 70000");
  EXPECT_EQ(kept(fromClass), L"KeptObject 70000");
  EXPECT_EQ(kept(fromDwgForm), L"KeptObject 70000");
  EXPECT_EQ(kept(reopen(resaved)), L"KeptObject 70000");
  EXPECT_EQ(kept(reopen(dwgFormAgain)), L"KeptObject 70000");
  EXPECT_EQ(kept(reopen(dwgForm)), L"KeptObject 70000");
  KeptObject::removeClass();
}

TEST_F(DxfTest, AMarkerReadWithoutItsClassIsSavedAgainUnchanged) {
  drawAndMark();
  std::wstring marked = tempPath(L"marked.dxf");
  ASSERT_EQ(kvhost::saveDocument(doc, marked), Acad::eOk);
  AcDbHandle handle = markerId(doc->database()).handle();
  client.reset();
  ASSERT_TRUE(kvhost::unloadModule(kModule));
  AcApDocument* back = reopen(marked);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(markerClass(back->database()).rfind(L"proxy KOVAUndoObject", 0), 0u);
  std::wstring resaved = tempPath(L"marked-resaved.dxf");
  ASSERT_EQ(kvhost::saveDocument(back, resaved), Acad::eOk);
  std::string record = "KOVA_UNDO_OBJECT\n  5\n" + hex(markerId(back->database())) + "\n";
  EXPECT_EQ(markerId(back->database()).handle(), handle);
  for (const std::wstring& path : {marked, resaved}) {
    std::string text = readFile(path);
    size_t at = text.find(record);
    ASSERT_NE(at, std::string::npos) << narrow(path);
    EXPECT_NE(text.find("100\nKOVA_UNDO_OBJECT\n 70\n1\n 90\n2\n", at), std::string::npos) << narrow(path);
    EXPECT_NE(text.find("  0\nCLASS\n  1\nKOVA_UNDO_OBJECT\n  2\nKOVAUndoObject\n  3\nKOVA_ORBAPP\n"), std::string::npos);
  }
}

// A file that does not list the marker's class still holds a marker: the
// registered class reads it, so that a save cannot put a proxy of it next
// to the class's own entry (a file the host could not read back).
TEST_F(DxfTest, AMarkerInAFileThatDoesNotListItsClassIsReadByTheRegisteredClass) {
  std::wstring path = tempPath(L"unlisted.dxf");
  std::string text = savedMarked(path);
  const std::string listed = "  0\nCLASS\n  1\nKOVA_UNDO_OBJECT\n";
  const size_t at = text.find(listed);
  ASSERT_NE(at, std::string::npos);
  const size_t next = text.find("  0\n", at + listed.size());
  writeFile(path, text.erase(at, next - at));
  AcApDocument* back = reopen(path);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(markerClass(back->database()), L"KOVAUndoObject");
  EXPECT_EQ(markerCounter(back->database()), 2);
  kvhost::activateDocument(back);
  kvhost::runCommand(L"MARKED");
  std::wstring again = tempPath(L"unlisted-again.dxf");
  ASSERT_EQ(kvhost::saveDocument(back, again), Acad::eOk);
  AcApDocument* third = reopen(again);
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(markerCounter(third->database()), 3);

  // A damaged marker record there is refused like anywhere else.
  const std::string counter = "100\nKOVA_UNDO_OBJECT\n 70\n";
  ASSERT_NE(text.find(counter), std::string::npos);
  writeFile(path, text.replace(text.find(counter), counter.size(), "100\nKOVA_UNDO_OBJECT\n 69\n"));
  Acad::ErrorStatus es = Acad::eOk;
  EXPECT_EQ(kvhost::openDocument(path, &es), nullptr);
  EXPECT_EQ(es, Acad::eInvalidDxfCode);
}

// Records are typed by their DXF name: listed with a class of another name,
// the marker is still read by the registered class. As a proxy it would
// share its name with the real markers of the drawing at the next save.
TEST_F(DxfTest, AFileListingAnotherClassUnderARegisteredNameIsReadByTheRegisteredClass) {
  std::wstring path = tempPath(L"renamed.dxf");
  std::string text = savedMarked(path);
  const std::string listed = "  2\nKOVAUndoObject\n";
  ASSERT_NE(text.find(listed), std::string::npos);
  writeFile(path, text.replace(text.find(listed), listed.size(), "  2\nOldUndoObject\n"));
  AcApDocument* renamed = reopen(path);
  ASSERT_NE(renamed, nullptr);
  EXPECT_EQ(markerClass(renamed->database()), L"KOVAUndoObject");
  EXPECT_EQ(markerCounter(renamed->database()), 2);
}

// ---- The independent reader ----

const char kPython[] = "/usr/bin/python3";

int run(const std::string& command, std::string& output) {
  output.clear();
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buf[512];
  while (std::fgets(buf, sizeof buf, pipe)) output += buf;
  return pclose(pipe);
}

std::string readDxf(const std::string& arguments, std::string& out) {
  if (run(std::string(kPython) + " -c 'import ezdxf, matplotlib'", out) != 0)
    return "no ezdxf or matplotlib (Debian python3-ezdxf, python3-matplotlib): " + out;
  return run(std::string(kPython) + " " + KOVA_READ_DXF_SCRIPT + " " + arguments, out) == 0 ? "" : "ezdxf: " + out;
}
#define READ_DXF(arguments, out)                                          \
  if (std::string why = readDxf(arguments, out); why.rfind("no ", 0) == 0) \
    GTEST_SKIP() << why;                                                  \
  else                                                                    \
    ASSERT_EQ(why, "")

TEST_F(DxfTest, EzdxfReadsTheSavedDrawingAsItIsAndShowsIt) {
  drawAndMark();
  std::string path = narrow(tempPath(L"ezdxf.dxf")), out;
  ASSERT_EQ(kvhost::saveDocument(doc, tempPath(L"ezdxf.dxf")), Acad::eOk);
  READ_DXF("'" + path + "'", out);
  std::string expected =
      "version AC1024\n"
      "entity LINE handle=" + hex(lineId) + " layer=walls color=1 start=(1,2,0) end=(3.25,-4,0.5)\n"
      "entity CIRCLE handle=" + hex(circleId) + " layer=0 color=256 center=(5,5,0) radius=2.5\n"
      "entity TEXT handle=" + hex(textId) + " layer=0 color=256 insert=(0,10,0) text=Grüße x^2\n"
      "dictionary KOVA_UNDO_DICTIONARY: KOVA_UNDO_OBJECT\n"
      "marker KOVA_UNDO_OBJECT version=1 counter=2\n";
  EXPECT_EQ(out, expected);
  // Drawn where the line, the circle and the text are, and nowhere else.
  READ_DXF("--picture '" + path + "' '" + path + ".png' -2 -6 10 14 2.125,-1 5,7.5 2.5,5 0.4,11 5,5 8,-4", out);
  EXPECT_EQ(out, "2.125,-1 drawn\n5,7.5 drawn\n2.5,5 drawn\n0.4,11 drawn\n5,5 background\n8,-4 background\n");
}

// Every example script, with each of its drawings saved as DXF before it is
// closed or the script ends: a strict reader repairs and adds nothing.
TEST(ExampleDrawings, NeedNoRepairInAnotherReader) {
  std::string dir = ::testing::TempDir() + "dxf_examples.XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  std::string files, out;
  std::unique_ptr<DIR, int (*)(DIR*)> examples(opendir(KOVA_EXAMPLES_DIR), closedir);
  ASSERT_TRUE(examples);
  while (dirent* entry = readdir(examples.get())) {
    std::string name = entry->d_name;
    if (name.size() < 4 || name.compare(name.size() - 4, 4, ".kvs") != 0) continue;
    SCOPED_TRACE(name);
    std::ifstream in(std::string(KOVA_EXAMPLES_DIR) + "/" + name);
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
