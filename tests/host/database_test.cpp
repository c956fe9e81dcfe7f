// Databases: the open discipline, reactors coming and going while they are
// notified, and undo restoring what commands did.
#include <functional>
#include <utility>
#include <memfiler.h>
#include "host_support.h"

using namespace hosttest;
using namespace AcDb;
using Acad::ErrorStatus;

namespace {

class Database : public HostTest {};

// Each case ends in one request whose answer is checked; what it opened is
// closed after it, and then the line must open for write again.
TEST_F(Database, OpenDisciplineAnswers) {
  const AcDbObjectId id = addLine(), gone = addLine();
  kvhost::eraseObject(gone);
  std::vector<AcDbObject*> held;
  auto open = [&](AcDbObjectId at, OpenMode mode, bool erased = false) {
    AcDbObject* o = nullptr;
    const ErrorStatus es = acdbOpenAcDbObject(o, at, mode, erased);
    EXPECT_EQ(o != nullptr, es == Acad::eOk);  // a refused open hands out nothing
    if (o) held.push_back(o);
    return es;
  };
  const auto kNone = AcAp::kNotLocked, kWrite = AcAp::kWrite;
  const std::tuple<const char*, AcAp::DocLockMode, std::function<ErrorStatus()>, ErrorStatus> cases[] = {
      {"notify beside a reader", kNone, [&] { return open(id, kForRead), open(id, kForNotify); }, Acad::eOk},
      {"write while read", kWrite, [&] { return open(id, kForRead), open(id, kForWrite); }, Acad::eWasOpenForRead},
      {"write while written", kWrite, [&] { return open(id, kForWrite), open(id, kForWrite); }, Acad::eWasOpenForWrite},
      {"write unlocked", kNone, [&] { return open(id, kForWrite); }, Acad::eLockViolation},
      {"write locked", kWrite, [&] { return open(id, kForWrite); }, Acad::eOk},
      {"write under a read lock", AcAp::kRead, [&] { return open(id, kForWrite); }, Acad::eLockViolation},
      {"write under other locks", AcAp::kAutoWrite, [&] { return open(id, kForWrite); }, Acad::eOk},
      {"upgrade unlocked", kNone, [&] { return open(id, kForRead), held[0]->upgradeOpen(); }, Acad::eLockViolation},
      {"upgrade beside a second reader", kWrite,
       [&] { return open(id, kForRead), open(id, kForRead), held[0]->upgradeOpen(); }, Acad::eWasOpenForRead},
      {"upgrade", kWrite, [&] { return open(id, kForRead), held[0]->upgradeOpen(); }, Acad::eOk},
      {"downgrade", kWrite, [&] { return open(id, kForWrite), held[0]->downgradeOpen(); }, Acad::eOk},
      {"downgrade a read", kNone, [&] { return open(id, kForRead), held[0]->downgradeOpen(); }, Acad::eNotOpenForWrite},
      {"change what is open for read", kNone, [&] {
         open(id, kForRead), open(db->namedObjectsDictionaryId(), kForRead);
         AcDbDictionary* nod = AcDbDictionary::cast(held[1]);
         AcDbObjectId entry;
         EXPECT_THROW(AcDbEntity::cast(held[0])->setColorIndex(2), AcDbAssertionError);
         EXPECT_THROW(nod->setAt(L"LINE", held[0], entry), AcDbAssertionError);
         EXPECT_THROW(nod->remove(L"LINE"), AcDbAssertionError);
         return held[0]->erase(); }, Acad::eNotOpenForWrite},
      {"a dictionary given no object", kWrite, [&] {
         AcDbObjectId entry;
         open(db->namedObjectsDictionaryId(), kForWrite);
         return AcDbDictionary::cast(held[0])->setAt(L"NONE", nullptr, entry); }, Acad::eInvalidInput},
      {"closed once too often", kNone, [&] {
         open(id, kForRead);
         AcDbObject* o = held[0];
         held.clear();
         o->close();
         kvhost::DwgMemoryFiler out(AcDb::kFileFiler, db);
         EXPECT_THROW(o->dwgOutFields(&out), AcDbAssertionError);  // nothing is filed out unopened
         return o->close(); }, Acad::eNotOpenForRead},
      {"not in the database", kNone, [&] { return open(db->getObjectId(db->handseed() + 100), kForRead); },
       Acad::eNotInDatabase},
      {"another class", kNone, [&] { AcDbCircle* c = nullptr; return acdbOpenObject(c, id, kForRead); },
       Acad::eNotThatKindOfClass},
      {"erased", kNone, [&] { return open(gone, kForRead); }, Acad::eWasErased},
      {"erased, asked for", kNone, [&] { return open(gone, kForRead, true); }, Acad::eOk},
      {"added twice", kNone, [&] {
         AcDbObjectId added;
         held.push_back(new AcDbLine), db->addAcDbObject(added, held[0]);
         return db->addAcDbObject(added, held[0]); }, Acad::eAlreadyInDb},
  };
  for (const auto& [name, lock, request, expected] : cases) {
    SCOPED_TRACE(name + std::string(" ") + std::to_string(lock));
    if (lock != kNone) {
      ASSERT_EQ(acDocManager->lockDocument(doc, lock), Acad::eOk);
      EXPECT_EQ(doc->myLockMode(), lock);
    }
    EXPECT_EQ(request(), expected);
    for (AcDbObject* o : held) EXPECT_EQ(o->close(), Acad::eOk);
    held.clear();
    if (lock != kNone) {
      EXPECT_EQ(acDocManager->unlockDocument(doc), Acad::eOk);
    }
    EXPECT_TRUE(doc->isQuiescent());
    EXPECT_EQ(setColor(id, 1), Acad::eOk);  // every open was balanced by its close
  }
  EXPECT_EQ(acDocManager->unlockDocument(doc), Acad::eNotApplicable);
}

// Reactors may come and go while they are being notified: one removed
// meanwhile is not called any more, one added meanwhile only from the next event.
TEST_F(Database, ReactorsAddedOrRemovedDuringANotification) {
  AcDbObjectId line = addLine();
  Lines heard;
  struct Named : AcDbDatabaseReactor {
    Named(const wchar_t* n, Lines& h) : name(n), heard(h) {}
    void objectModified(const AcDbDatabase* d, const AcDbObject*) override {
      heard.push_back(name);
      if (onModified) std::exchange(onModified, nullptr)(d);
    }
    std::wstring name;
    Lines& heard;
    std::function<void(const AcDbDatabase*)> onModified;
  } first(L"first", heard), second(L"second", heard), third(L"third", heard);
  first.onModified = [&](const AcDbDatabase* d) { d->removeReactor(&second), d->addReactor(&third); };
  db->addReactor(&first);
  db->addReactor(&second);
  setColor(line, 1);
  setColor(line, 2);
  EXPECT_EQ(heard, (Lines{L"first", L"first", L"third"}));
  db->removeReactor(&first);
  db->removeReactor(&third);
  EXPECT_TRUE(db->reactors().isEmpty());
}

// ---- Undo ----

// The live entities of the current drawing as "colour,layer,end x" each,
// then the keys of its named-object dictionary.
std::wstring drawing() {
  std::wstring state;
  for (AcDbObjectId id : kvhost::entities(acDocManager->curDocument())) {
    AcDbObjectPointer<AcDbLine> line(id, kForRead);
    state += (state.empty() ? L"" : L" ") + std::to_wstring(line->colorIndex()) + L"," + line->layer() + L"," +
             std::to_wstring(static_cast<int>(line->endPoint().x));
  }
  AcDbObjectPointer<AcDbDictionary> nod(acDocManager->curDocument()->database()->namedObjectsDictionaryId(), kForRead);
  nod->entries([&](const ACHAR* key, AcDbObjectId) { state += L" " + std::wstring(key); });
  return state;
}

TEST_F(Database, UndoRestoresWhatCommandsDidAStepAtATime) {
  using kvhost::runCommand;
  const auto kEnded = kvhost::CommandOutcome::kEnded, kFailed = kvhost::CommandOutcome::kFailed;
  std::vector<AcDbObjectId> l;
  auto line = [&] { l.push_back(addLine(doc, static_cast<double>(l.size() + 1))); };
  auto recording = [&](bool on) { db->disableUndoRecording(!on); };
  auto colors = [&](std::initializer_list<int> each) {
    for (int c : each) runCommand(L"COLOR", [&] { setColor(l[0], static_cast<Adesk::UInt16>(c)); });
  };
  auto inNod = [&](const std::function<void(AcDbDictionary*)>& change) {
    kvhost::modifyObject(db->namedObjectsDictionaryId(), [&](AcDbObject* o) { change(AcDbDictionary::cast(o)); });
  };
  auto moveAndLayer = [](AcDbObject* o) {
    AcDbLine::cast(o)->setEndPoint(AcGePoint3d(7, 7, 7));
    AcDbLine::cast(o)->setLayer(L"moved");
  };
  // Lines are added at x = 1, 2, ...; each step is what is typed, its outcome and the drawing then.
  typedef std::vector<std::tuple<const wchar_t*, kvhost::CommandOutcome, std::wstring>> Steps;
  const std::tuple<const char*, std::function<void()>, Steps> cases[] = {
      {"a command is one step; a new object changed within it too",
       [&] {
         line(), line();
         runCommand(L"WORK", [&] { kvhost::modifyObject(l[0], moveAndLayer), line(), setColor(l[2], 4), kvhost::eraseObject(l[1]); });
       },
       {{L"_UNDO 1", kEnded, L"256,0,1 256,0,2"}}},
      {"newest first, and no further than the first", [&] { line(), colors({1, 2, 3, 4}); },
       {{L"_UNDO 2", kEnded, L"2,0,1"}, {L"U", kEnded, L"1,0,1"}, {L"_UNDO 99", kEnded, L""}, {L"_UNDO 1", kEnded, L""}}},
      {"something other than a number of steps", [&] { line(), colors({1}); },
       {{L"_UNDO x", kFailed, L"1,0,1"}, {L"_UNDO -3", kFailed, L"1,0,1"},
        {L"_UNDO 99999999999999999999", kFailed, L"1,0,1"}, {L"_UNDO 2x", kFailed, L"1,0,1"},
        {L"_UNDO 1 ", kEnded, L"256,0,1"}}},
      {"nothing recorded while recording is off",
       [&] { line(), colors({1}), recording(false), colors({2}), setColor(l[0], 3), line(), recording(true); },
       {{L"_UNDO 1", kEnded, L"256,0,1 256,0,2"}}},
      // The part of a command recorded after it turned recording on is a
      // step of its own, not a piece of the step before.
      {"recording turned on inside a command",
       [&] {
         line(), colors({1}), recording(false);
         runCommand(L"SECOND", [&] { recording(true), setColor(l[0], 2), recording(false); });
         recording(true);
       },
       {{L"_UNDO 1", kEnded, L"1,0,1"}}},
      {"a nested command is inside the outer one's step",
       [&] { line(), runCommand(L"OUTER", [&] { setColor(l[0], 1), runCommand(L"'ZOOM", [&] { setColor(l[0], 2); }); }); },
       {{L"U", kEnded, L"256,0,1"}}},
      {"a dictionary's entries come back as they were",
       [&] {
         line();
         AcDbObjectId a, b;
         inNod([&](AcDbDictionary* d) { auto* o = new AcDbDictionary; d->setAt(L"A", o, a), o->close(); });
         runCommand(L"RENAME", [&] {
           inNod([&](AcDbDictionary* d) { d->setAt(L"B", AcDbObjectPointer<AcDbObject>(a, kForRead).object(), b), d->remove(L"A"); });
         });
       },
       {{L"_UNDO 1", kEnded, L"256,0,1 A"}}},
      {"a modeless operation is one step",
       [&] {
         line();
         kvhost::modelessOperation(L"palette", [&] { setColor(l[0], 1), line(), kvhost::eraseObject(l[1]), runCommand(L"INSIDE"); });
       },
       {{L"_UNDO 1", kEnded, L"256,0,1"}}},
  };
  for (const auto& [name, session, steps] : cases) {
    SCOPED_TRACE(name);
    TearDown();
    SetUp();
    l.clear();
    session();
    for (const auto& [typed, outcome, after] : steps) {
      EXPECT_EQ(kvhost::executeString(typed), outcome) << narrow(typed);
      EXPECT_EQ(drawing(), after) << narrow(typed);
    }
  }
}

}  // namespace
