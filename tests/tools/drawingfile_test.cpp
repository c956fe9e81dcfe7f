// Drawings saved and opened again in both file forms (the host's binary one
// and ASCII DXF), with the hub linked so that marked commands leave an undo
// marker in the drawing; bad files; safe saves; and the saved files read and
// drawn by an independent reader (ezdxf).
#include <gtest/gtest.h>
#include <KOVANotification.h>
#include <kvhost.h>
#include <dbinternal.h>
#include <markers.h>
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
#include <sstream>
#include <string>
#include <vector>

namespace {
using namespace testfiles;
using markers::entry;
using markers::markerCounter;
typedef std::vector<std::string> Files;

const wchar_t kModule[] = L"KOVANotification10.arx";

std::string hex(AcDbObjectId id) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(id.handle()));
  return buf;
}
// What an object files out: all it is, owner and handles included.
std::string record(AcDbObjectId id) {
  AcDbObjectPointer<AcDbObject> object(id, AcDb::kForRead);
  if (!object) return "none";
  const std::vector<unsigned char> bytes = markers::dwgRecord(object.object());
  return std::string(bytes.begin(), bytes.end());
}

// The class of the drawing's undo marker, or "proxy" and the class it stands for.
std::wstring markerClass(AcApDocument* doc) {
  AcDbObjectPointer<AcDbObject> object(markers::markerId(doc->database()), AcDb::kForRead);
  if (!object) return L"none";
  if (auto* proxy = AcDbProxyObject::cast(object.object())) return std::wstring(L"proxy ") + proxy->originalClassName();
  return object->isA()->name();
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}
// The file without the listing of the marker's class.
std::string unlisted(std::string text) {
  const size_t at = text.find("  0\nCLASS\n  1\nKOVA_UNDO_OBJECT\n");
  EXPECT_NE(at, std::string::npos);
  return at == std::string::npos ? text : text.erase(at, text.find("  0\n", at + 4) - at);
}

// A client editor reactor: while one is registered, commands are marked.
class Client : public KOVAEditorReactorBase {};

class DrawingFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kvhost::loadModule(kModule)) << narrow(kvhost::lastModuleError());
    doc = kvhost::newDocument(L"plan");
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

// Records are typed by their DXF name: in a file that does not list the
// marker's class, or lists it under another class name, the marker is still
// read by the registered class (as a proxy it would share its name with the
// real markers of the drawing at the next save).
TEST_F(DrawingFiles, WhatIsSavedIsWhatOpensAgainInBothForms) {
  fill();
  const AcDbObjectId project = addToDictionary(L"PROJECT", new AcDbDictionary);
  // Characters beyond two bytes and those a DXF line cannot carry as they
  // are; a real that fifteen digits do not give back.
  kvhost::modifyObject(textId, [](AcDbObject* o) { AcDbText::cast(o)->setTextString(L"^ ^J \U0001D11E\tx\ny"); });
  kvhost::modifyObject(circleId, [](AcDbObject* o) { AcDbCircle::cast(o)->setRadius(0.1 + 0.2); });
  const std::pair<std::string, std::function<std::string(std::string)>> files[] = {
      {"plan.kvdwg", nullptr}, {"plan.dxf", nullptr}, {"unlisted.dxf", unlisted},
      {"owned.dxf", [](std::string t) { return replaced(t, "  3\nPROJECT\n350\n", "  3\nPROJECT\n360\n"); }},
      {"renamed.dxf", [](std::string t) { return replaced(t, "  2\nKOVAUndoObject\n", "  2\nOldUndoObject\n"); }}};
  for (const auto& [name, edit] : files) {
    SCOPED_TRACE(name);
    kvhost::activateDocument(doc);
    ASSERT_EQ(kvhost::saveDocument(doc, path(name)), Acad::eOk);
    EXPECT_EQ(doc->dbmod(), 0);
    if (edit) writeFile(path(name), edit(readFile(path(name))));
    AcApDocument* back = reopen(path(name));
    ASSERT_NE(back, nullptr);
    AcDbDatabase* db = back->database();
    AcDbObjectIdArray ids = kvhost::entities(back);
    ASSERT_EQ(ids.length(), 3);  // the erased line was not saved
    const AcDbObjectId saved[] = {lineId, circleId, textId};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(record(ids[i]), record(saved[i]));
    EXPECT_EQ(record(entry(db->namedObjectsDictionaryId(), L"PROJECT")), record(project));
    EXPECT_STREQ(db->headerSysVar(L"CLAYER"), L"walls");
    EXPECT_EQ(markerClass(back), L"KOVAUndoObject");
    EXPECT_EQ(markerCounter(back), 2);
    // Saved again unchanged, the same file (a DXF file tells when it was saved).
    ASSERT_EQ(kvhost::saveDocument(back, path("again-" + name)), Acad::eOk);
    EXPECT_TRUE(name != "plan.kvdwg" || readFile(path("again-" + name)) == readFile(path(name)));
    // Handles go on above everything the drawing and the file used; reading is no undo step.
    EXPECT_GE(db->handseed(), doc->database()->handseed());
    const AcDbHandle added = kvhost::addEntity(back, new AcDbLine).handle();
    EXPECT_EQ(added, db->handseed() - 1);
    EXPECT_EQ(kvhost::undoGroupCount(back), 1);
    // The reopened marker goes on counting, and the next round trip keeps it.
    kvhost::runCommand(L"ERASE");
    ASSERT_EQ(kvhost::saveDocument(back, path("again-" + name)), Acad::eOk);
    AcApDocument* third = reopen(path("again-" + name));
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(markerCounter(third), 3);
    EXPECT_EQ(kvhost::entities(third).length(), 4);
  }
  // A drawing saved by an earlier version of the writer, without the frame, opens as it was.
  writeFile(path("earlier.dxf"), readFile(L"" KOVA_EARLIER_DXF).substr(1));  // a fuzz input: a byte, then the file
  AcApDocument* earlier = reopen(path("earlier.dxf"));
  ASSERT_NE(earlier, nullptr);
  EXPECT_EQ(kvhost::entities(earlier).length(), 2);
  EXPECT_EQ(markerCounter(earlier), 2);
}

// Without its class the marker is kept as a proxy, saved again as it was
// (its class listed), and is a marker again when its class comes back.
TEST_F(DrawingFiles, AMarkerWithoutItsClassTravelsAsAProxyAndComesBackWithIt) {
  fill();
  const Files files = {"marked.kvdwg", "marked.dxf"};
  for (const std::string& name : files) ASSERT_EQ(kvhost::saveDocument(doc, path(name)), Acad::eOk);
  client.reset();
  ASSERT_TRUE(kvhost::unloadModule(kModule));
  // The marker's record, up to the next one (a DXF file tells when it was saved).
  auto marker = [](const std::string& text) {
    const size_t at = text.find("  0\nKOVA_UNDO_OBJECT\n");
    return at == std::string::npos ? text : text.substr(at, text.find("  0\n", at + 4) - at);
  };
  std::vector<AcApDocument*> opened{doc};
  for (const std::string& name : files) {
    SCOPED_TRACE(name);
    opened.push_back(reopen(path(name)));
    ASSERT_NE(opened.back(), nullptr);
    EXPECT_EQ(markerClass(opened.back()).rfind(L"proxy KOVAUndoObject", 0), 0u);
    EXPECT_TRUE(name != "marked.dxf" || markerCounter(opened.back()) == 2);  // read from its DXF groups
    ASSERT_EQ(kvhost::saveDocument(opened.back(), path("re-" + name)), Acad::eOk);
    EXPECT_EQ(marker(readFile(path("re-" + name))), marker(readFile(path(name))));
  }
  EXPECT_NE(readFile(path("re-marked.dxf")).find("  0\nCLASS\n  1\nKOVA_UNDO_OBJECT\n  2\nKOVAUndoObject\n  3\nKOVA_ORBAPP\n"),
            std::string::npos);
  // With the class back, the proxies in memory (kept as a DWG record or as
  // DXF groups) and the files saved without it give the marker back.
  struct Resurrected : AcDbDatabaseReactor {
    void proxyResurrectionCompleted(const AcDbDatabase*, const ACHAR*, AcDbObjectIdArray& ids) override {
      count += ids.length();
    }
    int count = 0;
  } resurrected;
  for (AcApDocument* d : opened) d->database()->addReactor(&resurrected);
  const bool loaded = kvhost::loadModule(kModule);
  for (AcApDocument* d : opened) d->database()->removeReactor(&resurrected);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(resurrected.count, 3);  // the marker of each drawing
  for (const std::string& name : files) opened.push_back(reopen(path("re-" + name)));
  for (AcApDocument* d : opened) {
    SCOPED_TRACE(narrow(d->fileName()));
    EXPECT_EQ(markerClass(d), L"KOVAUndoObject");
    EXPECT_EQ(markerCounter(d), 2);
  }
}

// What a proxy keeps is told by its class name's tag and the record's magic,
// whatever the class is called: taken for the other form, the proxy would be
// saved without what it holds.
TEST(ProxyRecords, DxfGroupsAreToldFromADwgRecord) {
  kvhost::DxfProxyRecord nameless, back;
  const std::unique_ptr<AcDbProxyObject::Record> groups(kvhost::makeDxfProxyRecord(nameless));
  EXPECT_TRUE(kvhost::readDxfProxyRecord(*groups, back));
  EXPECT_FALSE(kvhost::readDxfProxyRecord({L"Shelf|dxf", {1, 2, 3}}, back));  // a DWG record of a class so named
  EXPECT_FALSE(kvhost::readDxfProxyRecord({L"dxf", groups->bytes}, back));
}

Files cutShort(const std::string& good, size_t step) {
  Files cuts;
  for (size_t n = 0; n + 1 < good.size(); n += step) cuts.push_back(good.substr(0, n));
  return cuts;
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

// The drawing with its marker's record cut before the counter, its length made to agree.
std::string markerCutShort(std::string dwg) {
  const size_t at = dwg.find("KOVAUndoObject") + 14;
  EXPECT_EQ(dwg[at], 14);
  dwg[at] = 10;
  return dwg.erase(at + 4 + 10, 4);
}

TEST_F(DrawingFiles, BadFilesOfBothFormsAreRefusedAndLeaveNothingBehind) {
  fill();
  for (const char* name : {"good.kvdwg", "good.dxf"}) ASSERT_EQ(kvhost::saveDocument(doc, path(name)), Acad::eOk);
  const std::string dwg = readFile(path("good.kvdwg")), dxf = readFile(path("good.dxf"));
  const std::string earlier = readFile(L"" KOVA_EARLIER_DXF).substr(1);  // written before files had a frame
  std::string longText = dwg;
  longText[longText.find("Grüße") - 1] = 0x7f;  // the text's length, far beyond its record
  for (const char* folder : {"/folder.kvdwg", "/folder.dxf"}) ASSERT_EQ(mkdir((dir + folder).c_str(), 0755), 0);
  // The file's extension, the files, the answers allowed (none listed: any failure).
  const std::tuple<const char*, const char*, Files, std::vector<Acad::ErrorStatus>> cases[] = {
      {"cut short", "kvdwg", cutShort(dwg, 1), {Acad::eBadDwgHeader, Acad::eDwgNeedsRecovery}},
      {"not a drawing", "kvdwg", {"", "hello, world\n", dxf}, {Acad::eBadDwgHeader}},
      {"the header over other bytes", "kvdwg", {dwg.substr(0, 10) + std::string(40, '\xff'), dwg.substr(0, 10) + dxf}, {}},
      {"a version from the future", "kvdwg", {dwg.substr(0, 8) + '\x09' + dwg.substr(9)}, {Acad::eInvalidFileVersion}},
      // The lengths around a record are right, what is inside it is not.
      {"a text length beyond its record", "kvdwg", {longText}, {Acad::eDwgNeedsRecovery}},
      {"an empty record", "kvdwg", {emptyRecord(dwg)}, {Acad::eDwgNeedsRecovery}},
      {"a record its class reads short without saying so", "kvdwg", {markerCutShort(dwg)}, {Acad::eDwgNeedsRecovery}},
      {"not a drawing", "dxf",
       {"", "hello, world\n", std::string("AutoCAD Binary DXF\r\n\x1a\0", 22), "  0\nLINE\n  0\nEOF\n", dwg}, {Acad::eBadDwgHeader}},
      {"cut short", "dxf", cutShort(dxf, 7), {}},
      {"without its EOF", "dxf", {dxf.substr(0, dxf.rfind("  0\nEOF")), earlier.substr(0, earlier.rfind("  0\nEOF"))}, {}},
      // Groups of every kind of number, at the ends of their ranges.
      {"not a number", "dxf",
       {replaced(dxf, "\n 40\n2.5\n", "\n 40\nwide\n"), replaced(dxf, "\n 40\n2.5\n", "\n 40\n2.5\n 79\nwide\n"),
        replaced(dxf, "\n 40\n2.5\n", "\n 40\n2.5\n400\nwide\n")},
       {}},
      {"the marker's counter group missing", "dxf", {replaced(dxf, "\n 90\n2\n", "\n 70\n2\n")}, {}},
      {"a damaged marker where its class is not listed", "dxf",
       {replaced(unlisted(dxf), "100\nKOVA_UNDO_OBJECT\n 70\n", "100\nKOVA_UNDO_OBJECT\n 69\n")}, {Acad::eInvalidDxfCode}},
      {"the structure broken", "dxf", {replaced(dxf, "ENTITIES", "ENTITIES\n  0\nENDSEC")}, {}},
      {"a handle twice", "dxf", {replaced(dxf, "CIRCLE\n  5\n" + hex(circleId), "CIRCLE\n  5\n" + hex(lineId))}, {}},
      // A type name cut short there would read as another type.
      {"a NUL inside a line", "dxf", {replaced(dxf, "CIRCLE\n", {"CIRCLE\0x\n", 9})}, {}},
  };
  for (const auto& [what, form, files, answers] : cases) {
    SCOPED_TRACE(std::string(form) + ": " + what);
    for (size_t i = 0; i < files.size(); ++i) {
      writeFile(path(std::string("bad.") + form), files[i]);
      Acad::ErrorStatus es = Acad::eOk;
      EXPECT_EQ(kvhost::openDocument(path(std::string("bad.") + form), &es), nullptr) << "file " << i;
      EXPECT_TRUE(answers.empty() ? es != Acad::eOk : std::count(answers.begin(), answers.end(), es) == 1)
          << "file " << i << ": " << es;
    }
  }
  for (const char* name : {"missing.kvdwg", "missing.dxf", "folder.kvdwg", "folder.dxf"}) {
    Acad::ErrorStatus es = Acad::eOk;
    EXPECT_EQ(kvhost::openDocument(path(name), &es), nullptr);
    EXPECT_EQ(es, Acad::eFileNotFound) << name;
  }
  EXPECT_EQ(kvhost::documents().size(), 1u);
}

// ---- Saves ----

// Files may grow no larger than a few bytes while it lives: writes fail half-way.
struct FileSizeLimit {
  FileSizeLimit() : signal(std::signal(SIGXFSZ, SIG_IGN)) {
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = {64, old.rlim_max};
    setrlimit(RLIMIT_FSIZE, &small);
  }
  ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &old), std::signal(SIGXFSZ, signal); }
  void (*signal)(int);
  rlimit old;
};

// Where a save goes: the file, or a name that stands for it.
enum class Name { kFile, kLink, kRelativeLinks };

TEST_F(DrawingFiles, ASaveReplacesTheFileWithAWholeNewOneOrLeavesItAsItWas) {
  // The file (its form by its extension), the name saved to, the file's mode,
  // whether another open drawing was read from the file.
  const std::tuple<const char*, Name, mode_t, bool> cases[] = {
      {"plain.kvdwg", Name::kFile, 0644, false}, {"private.dxf", Name::kFile, 0600, false},
      {"linked.dxf", Name::kLink, 0640, false},  {"chained.kvdwg", Name::kRelativeLinks, 0600, false},
      {"held.dxf", Name::kFile, 0644, true},     {"heldlinked.kvdwg", Name::kLink, 0644, true}};
  const bool root = geteuid() == 0;  // only root may give a file away
  for (const auto& [base, how, mode, openElsewhere] : cases) {
    SCOPED_TRACE(base);
    TearDown();
    SetUp();
    fill();
    const std::string file = dir + "/" + base, link = dir + "/link-" + base, middle = std::string("middle-") + base;
    ASSERT_EQ(kvhost::saveDocument(doc, widen(file)), Acad::eOk);
    ASSERT_EQ(chmod(file.c_str(), mode), 0);
    ASSERT_TRUE(!root || chown(file.c_str(), 4321, 4321) == 0);
    ASSERT_TRUE(how != Name::kRelativeLinks || symlink(base, (dir + "/" + middle).c_str()) == 0);
    ASSERT_TRUE(how == Name::kFile || symlink(how == Name::kLink ? file.c_str() : middle.c_str(), link.c_str()) == 0);
    const std::string name = how == Name::kFile ? file : link, old = readFile(file);
    ASSERT_TRUE(!openElsewhere || kvhost::openDocument(widen(file)) != nullptr);
    kvhost::activateDocument(doc);
    ASSERT_EQ(kvhost::modifyObject(lineId, [](AcDbObject* o) { AcDbEntity::cast(o)->setColorIndex(5); }), Acad::eOk);
    {
      FileSizeLimit limit;
      EXPECT_NE(kvhost::saveDocument(doc, widen(name)), Acad::eOk);
    }
    EXPECT_EQ(readFile(file), old);
    EXPECT_EQ(doc->dbmod(), 1);  // still unsaved
    EXPECT_EQ(kvhost::saveDocument(doc, widen(name)), openElsewhere ? Acad::eFileSharingViolation : Acad::eOk);
    struct stat info;
    ASSERT_EQ(lstat(name.c_str(), &info), 0);
    EXPECT_EQ(S_ISLNK(info.st_mode), how != Name::kFile);
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, mode);
    EXPECT_TRUE(!root || info.st_uid == 4321u);
    AcApDocument* back = openElsewhere ? nullptr : reopen(widen(file));
    EXPECT_TRUE(openElsewhere ? readFile(file) == old : back && record(kvhost::entities(back)[0]) == record(lineId));
    // Nothing is left beside the file.
    for (const auto& left : std::filesystem::directory_iterator(dir)) {
      const std::string n = left.path().filename().string();
      EXPECT_TRUE(n == base || n == "link-" + std::string(base) || n == middle) << n;
    }
  }
}

// A save that cannot write says why; a long name saves; what a killed save
// left beside the file goes with the next save, and only that.
TEST_F(DrawingFiles, ASaveNamesWhyItFailedAndCleansUpAfterAKilledOne) {
  fill();
  const std::string locked = dir + "/locked", longName = std::string(250, 'n') + ".dxf";
  ASSERT_EQ(mkdir(locked.c_str(), 0500), 0);
  const bool root = geteuid() == 0;  // root writes into any folder
  const std::pair<std::string, const char*> failures[] = {{dir + "/missing/plan.dxf", "the folder does not exist"},
                                                          {locked + "/plan.dxf", root ? "" : "permission denied"},
                                                          {"/proc/plan.dxf", "the folder takes no new files"}};
  for (const auto& [name, why] : failures) {
    EXPECT_EQ(kvhost::saveDocument(doc, widen(name)), *why ? Acad::eFileAccessErr : Acad::eOk) << name;
    EXPECT_EQ(narrow(kvhost::lastSaveError()), why);
  }
  const std::string killed = dir + "/plan.kvdwg.kvsave999999999.1",
                    running = dir + "/plan.kvdwg.kvsave1.1";  // the system's first process runs
  for (const std::string& left : {killed, running}) std::ofstream(left) << "half";
  ASSERT_EQ(kvhost::saveDocument(doc, path(longName)), Acad::eOk);
  ASSERT_EQ(kvhost::saveDocument(doc, path("plan.kvdwg")), Acad::eOk);
  EXPECT_EQ(kvhost::lastSaveError(), L"");
  EXPECT_FALSE(std::filesystem::exists(killed));
  EXPECT_TRUE(std::filesystem::exists(running));
  EXPECT_NE(reopen(path(longName)), nullptr);
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
    auto save = [&](const std::string& drawing) {
      std::string file = dir + "/" + name + "." + std::to_string(files.size()) + ".dxf";  // scripts may change folder
      script << "save " << drawing << " " << file << "\n";
      files += " '" + file + "'";
    };
    for (std::string line; std::getline(in, line); script << line << "\n") {
      std::string op, drawing;
      std::istringstream(line) >> op >> drawing;
      if (op == "new" || op == "open") open.push_back(drawing);
      if (op == "close") save(drawing), open.erase(std::find(open.begin(), open.end(), drawing));
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
