// Saving drawings in the host's binary form and opening them again.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include "host_support.h"
#include "memfiler.h"

using namespace hosttest;

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
std::wstring wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

class DrawingFile : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    dir = ::testing::TempDir() + "kvhost_files_" + std::to_string(getpid()) + "/";
    mkdir(dir.c_str(), 0755);
  }
  void TearDown() override {
    HostTest::TearDown();
    for (const std::string& f : made) std::remove(f.c_str());
    rmdir(dir.c_str());
  }
  std::string path(const std::string& name) {
    made.push_back(dir + name);
    return dir + name;
  }
  // Opens a file that must be refused; nothing of it may stay behind.
  Acad::ErrorStatus refusal(const std::string& file) {
    size_t before = kvhost::documents().size();
    Acad::ErrorStatus es = Acad::eOk;
    EXPECT_EQ(kvhost::openDocument(wide(file), &es), nullptr);
    EXPECT_EQ(kvhost::documents().size(), before);
    return es;
  }
  // A drawing with one entity of each kind, an erased one, a dictionary
  // entry and a header variable.
  void fill() {
    AcDbLine* line = new AcDbLine(AcGePoint3d(1, 2, 3), AcGePoint3d(4, 5, 6));
    line->setLayer(L"walls");
    line->setColorIndex(1);
    ids.append(kvhost::addEntity(doc, line));
    ids.append(kvhost::addEntity(doc, new AcDbCircle(AcGePoint3d(-1, 0, 0.5), 2.5)));
    ids.append(kvhost::addEntity(doc, new AcDbText(AcGePoint3d(0, 9, 0), L"Grüße ✓ label")));
    kvhost::eraseObject(addLine(doc, 8));
    AcAxDocLock lock(db);
    AcDbDictionary* nod = nullptr;
    ASSERT_EQ(db->getNamedObjectsDictionary(nod, AcDb::kForWrite), Acad::eOk);
    AcDbObjectId sub;
    auto* entry = new AcDbDictionary;
    ASSERT_EQ(nod->setAt(L"KV_TEST", entry, sub), Acad::eOk);
    entry->close();
    nod->close();
    kvhost::setSysVar(L"CLAYER", L"walls");
  }
  std::string dir;
  std::vector<std::string> made;
  AcDbObjectIdArray ids;
};

TEST_F(DrawingFile, WhatIsSavedIsWhatOpensAgain) {
  fill();
  EdLog ed;
  const std::string first = path("first.kvdwg"), second = path("second.kvdwg");
  ASSERT_EQ(kvhost::saveDocument(doc, wide(first)), Acad::eOk);
  EXPECT_EQ(doc->dbmod(), 0);
  Acad::ErrorStatus es = Acad::eNotImplementedYet;
  AcApDocument* back = kvhost::openDocument(wide(first), &es);
  ASSERT_EQ(es, Acad::eOk);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(acDocManager->curDocument(), back);
  EXPECT_EQ(ed.lines, (Lines{L"saveComplete " + wide(first), L"beginDwgOpen " + wide(first), L"endDwgOpen " + wide(first)}));
  AcDbDatabase* db2 = back->database();
  EXPECT_NE(db2, db);

  AcDbObjectIdArray got = kvhost::entities(back);
  ASSERT_EQ(got.length(), 3);  // the erased line was not saved
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(got[i].handle(), ids[i].handle());
    EXPECT_EQ(got[i].database(), db2);
  }
  {
    AcDbObjectPointer<AcDbLine> line(got[0], AcDb::kForRead);
    AcDbObjectPointer<AcDbCircle> circle(got[1], AcDb::kForRead);
    AcDbObjectPointer<AcDbText> text(got[2], AcDb::kForRead);
    ASSERT_TRUE(line && circle && text);
    EXPECT_EQ(line->startPoint(), AcGePoint3d(1, 2, 3));
    EXPECT_EQ(line->endPoint(), AcGePoint3d(4, 5, 6));
    EXPECT_STREQ(line->layer(), L"walls");
    EXPECT_EQ(line->colorIndex(), 1);
    EXPECT_EQ(circle->center(), AcGePoint3d(-1, 0, 0.5));
    EXPECT_EQ(circle->radius(), 2.5);
    EXPECT_EQ(circle->colorIndex(), 256);
    EXPECT_STREQ(text->textString(), L"Grüße ✓ label");
    EXPECT_EQ(text->ownerId(), AcDbObjectId::kNull);
  }
  AcDbDictionary* nod = nullptr;
  ASSERT_EQ(db2->getNamedObjectsDictionary(nod, AcDb::kForRead), Acad::eOk);
  AcDbObjectId sub;
  EXPECT_EQ(nod->getAt(L"KV_TEST", sub), Acad::eOk);
  nod->close();
  AcDbObjectPointer<AcDbDictionary> entry(sub, AcDb::kForRead);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->ownerId(), db2->namedObjectsDictionaryId());
  entry.close();
  EXPECT_STREQ(db2->headerSysVar(L"CLAYER"), L"walls");
  EXPECT_EQ(db2->handseed(), db->handseed());
  const ACHAR* name = nullptr;
  db2->getFilename(name);
  EXPECT_EQ(name, wide(first));

  // Saving the opened drawing gives the same file; new objects get new handles.
  ASSERT_EQ(kvhost::saveDocument(back, wide(second)), Acad::eOk);
  EXPECT_EQ(readFile(second), readFile(first));
  AcDbObjectId added = addLine(back);
  EXPECT_GE(added.handle(), db->handseed());
  EXPECT_EQ(kvhost::undoGroupCount(back), 1);  // reading the drawing is no undo step
}

TEST_F(DrawingFile, TruncatedAndGarbageFilesAreRefusedWithAnError) {
  fill();
  const std::string good = path("good.kvdwg"), bad = path("bad.kvdwg");
  ASSERT_EQ(kvhost::saveDocument(doc, wide(good)), Acad::eOk);
  const Bytes bytes = readFile(good);
  ASSERT_GT(bytes.size(), 100u);
  for (size_t n = 0; n < bytes.size(); ++n) {
    writeFile(bad, Bytes(bytes.begin(), bytes.begin() + static_cast<long>(n)));
    Acad::ErrorStatus es = refusal(bad);
    ASSERT_TRUE(es == Acad::eBadDwgHeader || es == Acad::eDwgNeedsRecovery) << "cut at " << n << ": " << es;
  }
  std::mt19937 random(7);
  for (int round = 0; round < 50; ++round) {
    Bytes garbage(1 + random() % 2000);
    for (unsigned char& b : garbage) b = static_cast<unsigned char>(random());
    writeFile(bad, garbage);
    EXPECT_EQ(refusal(bad), Acad::eBadDwgHeader);
  }
  // The right header over garbage.
  for (int round = 0; round < 50; ++round) {
    Bytes garbage(bytes.begin(), bytes.begin() + 10);
    garbage.resize(10 + random() % 400);
    for (size_t i = 10; i < garbage.size(); ++i) garbage[i] = static_cast<unsigned char>(random() % 4 ? random() : 0);
    writeFile(bad, garbage);
    EXPECT_NE(refusal(bad), Acad::eOk);
  }
  Bytes newer = bytes;
  newer[8] = 9;  // a file version from the future
  writeFile(bad, newer);
  EXPECT_EQ(refusal(bad), Acad::eInvalidFileVersion);
  EXPECT_EQ(refusal(dir + "missing.kvdwg"), Acad::eFileNotFound);
  // A directory is no drawing in either form (reading one used to throw).
  for (const char* name : {"folder.kvdwg", "folder.dxf"}) {
    ASSERT_EQ(mkdir(path(name).c_str(), 0755), 0);
    EXPECT_EQ(refusal(path(name)), Acad::eFileNotFound) << name;
    rmdir(path(name).c_str());
  }
}

TEST(HostText, BytesThatAreNotUtf8BecomeReplacementCharactersAndNothingAfterThemIsLost) {
  EXPECT_EQ(kvhost::fromUtf8("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x99\x82"), L"caf\u00e9 \u20ac \U0001F642");
  EXPECT_EQ(kvhost::fromUtf8("pl\xff\xfe" "an"), L"pl\uFFFD\uFFFDan");
  EXPECT_EQ(kvhost::fromUtf8("caf\xe9"), L"caf\uFFFD");           // Latin-1, cut short at the end
  EXPECT_EQ(kvhost::fromUtf8("a\xe2\x82z"), L"a\uFFFD\uFFFDz");     // a sequence broken off
  EXPECT_EQ(kvhost::fromUtf8("\xc0\xaf\xed\xa0\x80"), std::wstring(5, L'\uFFFD'));  // overlong, surrogate
  EXPECT_EQ(kvhost::toUtf8(L"caf\u00e9 \U0001F642"), "caf\xc3\xa9 \xf0\x9f\x99\x82");
  EXPECT_EQ(kvhost::toUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xef\xbf\xbd");
}

// The lengths around a record are right, what is inside it is not.
TEST_F(DrawingFile, AFileWithADamagedRecordIsRefused) {
  fill();
  const std::string good = path("good.kvdwg"), bad = path("bad.kvdwg");
  ASSERT_EQ(kvhost::saveDocument(doc, wide(good)), Acad::eOk);
  Bytes bytes = readFile(good);
  const std::string utf8 = "Grüße ✓ label";
  const Bytes text(utf8.begin(), utf8.end());
  auto at = std::search(bytes.begin(), bytes.end(), text.begin(), text.end());
  ASSERT_NE(at, bytes.end());
  at[-1] = 0x7f;  // the text's length, now far beyond its record
  writeFile(bad, bytes);
  EXPECT_EQ(refusal(bad), Acad::eDwgNeedsRecovery);

  // A drawing whose only object, its dictionary, has an empty record.
  kvhost::DwgMemoryFiler out(AcDb::kFileFiler, nullptr);
  out.writeBytes(bytes.data(), 10);  // the header and version of a good file
  out.writeUInt64(2);
  out.writeUInt32(0);
  out.writeUInt64(1);
  out.writeUInt32(1);
  out.writeUInt64(1);
  out.writeString(L"AcDbDictionary");
  out.writeUInt32(0);
  writeFile(bad, out.bytes());
  EXPECT_EQ(refusal(bad), Acad::eDwgNeedsRecovery);
}

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

class Saving : public DrawingFile, public testing::WithParamInterface<SaveCase> {};

TEST_P(Saving, ReplacesTheFileWithAWholeNewOneOrLeavesItAsItWas) {
  const SaveCase& c = GetParam();
  fill();
  const std::string file = path(c.file);
  ASSERT_EQ(kvhost::saveDocument(doc, wide(file)), Acad::eOk);
  ASSERT_EQ(chmod(file.c_str(), c.mode), 0);
  const bool root = geteuid() == 0;  // only root may give a file away
  if (root) {
    ASSERT_EQ(chown(file.c_str(), 4321, 4321), 0);
  }
  std::string name = file;
  if (c.name != Name::kFile) {
    name = path(std::string("link-") + c.file);
    std::string to = file;
    if (c.name == Name::kRelativeLinks) {
      to = std::string("middle-") + c.file;
      ASSERT_EQ(symlink(c.file, path(to).c_str()), 0);
    }
    ASSERT_EQ(symlink(to.c_str(), name.c_str()), 0);
  }
  if (c.openElsewhere) {
    ASSERT_NE(kvhost::openDocument(wide(file)), nullptr);
  }
  const Bytes old = readFile(file);
  setColor(ids[0], 5);
  {
    FileSizeLimit limit;
    EXPECT_NE(kvhost::saveDocument(doc, wide(name)), Acad::eOk);
  }
  EXPECT_EQ(readFile(file), old);
  EXPECT_EQ(doc->dbmod(), 1);  // still unsaved

  kvhost::clearJournal();
  Acad::ErrorStatus es = kvhost::saveDocument(doc, wide(name));
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
    ASSERT_EQ(kvhost::journal().size(), 1u);
    EXPECT_NE(kvhost::journal()[0].find(L"refused: the file is open in"), std::wstring::npos);
  } else {
    EXPECT_EQ(es, Acad::eOk);
    AcApDocument* back = kvhost::openDocument(wide(file));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(colorOf(kvhost::entities(back)[0]), 5);
  }
  // Nothing is left beside the file.
  DIR* listing = opendir(dir.c_str());
  ASSERT_NE(listing, nullptr);
  while (dirent* entry = readdir(listing)) {
    if (entry->d_name[0] == '.') continue;
    EXPECT_NE(std::find(made.begin(), made.end(), dir + entry->d_name), made.end()) << entry->d_name;
  }
  closedir(listing);
}

INSTANTIATE_TEST_SUITE_P(
    Files, Saving,
    testing::Values(SaveCase{"plain.kvdwg", Name::kFile, 0644, false}, SaveCase{"private.dxf", Name::kFile, 0600, false},
                    SaveCase{"linked.dxf", Name::kLink, 0640, false},
                    SaveCase{"chained.kvdwg", Name::kRelativeLinks, 0600, false},
                    SaveCase{"held.dxf", Name::kFile, 0644, true},
                    SaveCase{"heldlinked.kvdwg", Name::kLink, 0644, true}));

// An object that cannot file itself out.
class KvUnfileable : public AcDbObject {
 public:
  ACRX_DECLARE_MEMBERS(KvUnfileable);
  Acad::ErrorStatus dwgOutFields(AcDbDwgFiler* f) const override {
    AcDbObject::dwgOutFields(f);
    f->setFilerStatus(Acad::eFilerError);
    return Acad::eFilerError;
  }
  Acad::ErrorStatus dxfOutFields(AcDbDxfFiler*) const override { return Acad::eInvalidInput; }
};
AcRxClass* KvUnfileable::desc() { return AcRxClass::cast(acrxClassDictionary()->at(L"KvUnfileable")); }
AcRxClass* KvUnfileable::isA() const { return desc(); }

TEST_F(DrawingFile, AnObjectThatCannotBeWrittenFailsTheSave) {
  fill();
  const std::string files[] = {path("kept.kvdwg"), path("kept.dxf")};
  for (const std::string& file : files) ASSERT_EQ(kvhost::saveDocument(doc, wide(file)), Acad::eOk);
  newAcRxClass(L"KvUnfileable", L"AcDbObject", 0, 0, 0, [] { return static_cast<AcRxObject*>(new KvUnfileable); },
               L"KV_UNFILEABLE", L"KV_TESTAPP");
  AcDbObjectId id;
  auto* object = new KvUnfileable;
  ASSERT_EQ(db->addAcDbObject(id, object), Acad::eOk);
  object->close();
  for (const std::string& file : files) {
    const Bytes saved = readFile(file);
    EXPECT_NE(kvhost::saveDocument(doc, wide(file)), Acad::eOk) << file;
    EXPECT_EQ(readFile(file), saved) << file;
  }
  // Nor is a save into a folder that is not there a success.
  EXPECT_NE(kvhost::saveDocument(doc, wide(dir + "no/such/dir/x.dxf")), Acad::eOk);
}

// A drawing keeps the objects of classes that are not loaded, unchanged.
class KvNote : public AcDbObject {
 public:
  ACRX_DECLARE_MEMBERS(KvNote);
  std::wstring note;
  Acad::ErrorStatus dwgOutFields(AcDbDwgFiler* f) const override {
    AcDbObject::dwgOutFields(f);
    return f->writeString(note.c_str());
  }
  Acad::ErrorStatus dwgInFields(AcDbDwgFiler* f) override {
    AcDbObject::dwgInFields(f);
    return f->readString(note);
  }
};
AcRxClass* KvNote::desc() { return AcRxClass::cast(acrxClassDictionary()->at(L"KvNote")); }
AcRxClass* KvNote::isA() const { return desc(); }

TEST_F(DrawingFile, ObjectsOfAnUnknownClassTravelAsProxies) {
  auto registerNote = [] {
    return newAcRxClass(L"KvNote", L"AcDbObject", 0, 0, 0, [] { return static_cast<AcRxObject*>(new KvNote); },
                        L"KV_NOTE", L"KV_TESTAPP");
  };
  registerNote();
  auto* note = new KvNote;
  note->note = L"remember me";
  AcDbObjectId id;
  ASSERT_EQ(db->addAcDbObject(id, note), Acad::eOk);
  note->close();
  const std::string withClass = path("with.kvdwg"), without = path("without.kvdwg");
  ASSERT_EQ(kvhost::saveDocument(doc, wide(withClass)), Acad::eOk);
  const AcDbHandle handle = id.handle();
  kvhost::closeDocument(doc);
  deleteAcRxClass(KvNote::desc());

  AcApDocument* opened = kvhost::openDocument(wide(withClass));
  ASSERT_NE(opened, nullptr);
  AcDbObjectId there = opened->database()->getObjectId(handle);
  {
    AcDbObjectPointer<AcDbProxyObject> proxy(there, AcDb::kForRead);
    ASSERT_TRUE(proxy);
    EXPECT_STREQ(proxy->originalClassName(), L"KvNote");
  }
  ASSERT_EQ(kvhost::saveDocument(opened, wide(without)), Acad::eOk);
  EXPECT_EQ(readFile(without), readFile(withClass));
  registerNote();
  AcDbObjectPointer<KvNote> back(there, AcDb::kForRead);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->note, L"remember me");
}

}  // namespace
