// Randomized roll-back sessions over several drawings: marked commands (some
// with a transparent one inside), modeless operations and excluded commands
// edit and ask for roll-backs at random points. Meanwhile the client posts
// marked and excluded commands to its drawing and to others, runs commands
// in other drawings from a command's end, activates or closes drawings,
// registers again, is replaced inside a command, leaves during saves and
// pickfirst handlings, queues redraws of side databases that go, purges the
// hub's dictionary and throws. A model of every
// drawing, knowing what was done and which mark is each drawing's last,
// predicts it after each step; nothing may stay locked, filtered, queued,
// marked or pending, and a new command's roll-back still goes back to its
// start.
// KOVA_ROLLBACK_SEEDS=N runs N seeds (default 200) of 40 steps each.
#include <gtest/gtest.h>
#include <KOVANotification.h>
#include <kvhost.h>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <markers.h>
#include <testfiles.h>
#include <utility>

namespace {

using Contents = std::map<AcDbHandle, int>;  // the live entities and their colours

Contents contentsOf(AcApDocument* d) {
  Contents c;
  AcDbObjectIdArray ids = kvhost::entities(d);
  for (int i = 0; i < ids.length(); ++i) {
    AcDbEntityPointer e(ids[i], AcDb::kForRead);
    if (e) c[ids[i].handle()] = e->colorIndex();
  }
  return c;
}

// Runs what the session gives it when the command of that name ends, a
// save begins or the pickfirst set changes; may throw after an end.
class EndingClient : public KOVAEditorReactorBase {
 public:
  std::map<std::wstring, std::function<void()>> onEnd;
  std::function<void()> onSave, onPickfirst;
  bool throwAtEnd = false;
  void commandEnded(const ACHAR* name) override {
    auto it = onEnd.find(name);
    if (it == onEnd.end()) return;
    auto act = std::move(it->second);
    onEnd.erase(it);
    act();
    if (std::exchange(throwAtEnd, false)) throw std::runtime_error("client fault");
  }
  void beginSave(AcDbDatabase*, const ACHAR*) override { run(onSave); }
  void pickfirstModified(ads_name, const AcArray<AcDbObjectId>& ids, AcRxClass*) override {
    if (!ids.isEmpty()) redrawEntity(ids[0]);
    run(onPickfirst);
  }
  static bool queues() { return !m_tabPickFirstToRedraw.isEmpty(); }
  static bool queued(AcDbObjectId id) { return m_tabPickFirstToRedraw.contains(id); }

 private:
  static void run(std::function<void()>& act) {
    if (auto once = std::exchange(act, nullptr)) once();
  }
};

class Session {
 public:
  explicit Session(unsigned seed) : rng(seed) {}
  std::mt19937 rng;
  std::map<AcApDocument*, Contents> model;
  // Each drawing's last mark (none: nothing to go back to): the drawing's
  // contents before it, and whether its work is undone already.
  struct Mark {
    Contents before;
    bool undone = true;
  };
  std::map<AcApDocument*, Mark> last;
  EndingClient client;
  bool registered = true;
  std::string done;
  const std::wstring file = testfiles::tempPath(L"rollback-stress.kvdwg");

  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }
  bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; }
  static void request() { g_ReactorManager.setPostUndoOnCommandFinish(true); }
  AcApDocument* anyOther(AcApDocument* d) {
    std::vector<AcApDocument*> others;
    for (auto& m : model)
      if (m.first != d) others.push_back(m.first);
    return others.empty() ? nullptr : others[pick(static_cast<int>(others.size()))];
  }
  void closed(AcApDocument* d) {
    model.erase(d);
    last.erase(d);
  }
  // A marked step: what it leaves, and the mark it becomes.
  void marked(AcApDocument* d, const Contents& before, const Contents& after, bool rolledBack) {
    model[d] = rolledBack && registered ? before : after;
    if (registered) last[d] = {before, rolledBack};
  }
  void leave() {
    g_ReactorManager.removeEdReactor(&client);
    registered = false;
    last.clear();  // the last client leaving ends what was marked
  }
  // A command of its own in the current drawing; marked ones become its last mark.
  void work(bool markedWork) {
    AcApDocument* d = acDocManagerPtr()->curDocument();
    if (markedWork && registered) last[d] = {model[d], false};
    edit(d, model[d]);
  }
  void post(AcApDocument* d) {
    AcApDocument* to = chance(0.5) ? d : anyOther(nullptr);
    const bool markedWork = chance(0.5);
    done += markedWork ? "+posts POSTED " : "+posts kovaDBupdate ";
    acDocManagerPtr()->sendStringToExecute(to, markedWork ? L"POSTED\n" : L"kovaDBupdate\n", true, false, false);
  }

  void edit(AcApDocument* d, Contents& c) {
    const int colour = 1 + pick(7);
    AcDbObjectIdArray ids = kvhost::entities(d);
    if (ids.isEmpty() || chance(0.4)) {
      auto* line = new AcDbLine(AcGePoint3d(pick(9), 0, 0), AcGePoint3d(0, pick(9), 0));
      line->setColorIndex(static_cast<Adesk::UInt16>(colour));
      c[kvhost::addEntity(d, line).handle()] = colour;
    } else if (AcDbObjectId id = ids[pick(ids.length())]; chance(0.3)) {
      kvhost::eraseObject(id);
      c.erase(id.handle());
    } else {
      kvhost::modifyObject(id, [&](AcDbObject* o) { AcDbEntity::cast(o)->setColorIndex(static_cast<Adesk::UInt16>(colour)); });
      c[id.handle()] = colour;
    }
  }

  void markedCommand(AcApDocument* d) {
    const Contents before = model[d];
    const int where = chance(0.5) ? pick(3) : -1;  // asks in the body, the transparent command, the ending
    const bool throws = chance(0.1);
    done += "command" + std::to_string(where) + (throws ? " throwing " : " ");
    client.onEnd[L"DRAW"] = [&] {
      if (chance(0.2)) g_ReactorManager.addEdReactor(&client, -1);
      if (where == 2) request();
      AcApDocument* other = anyOther(d);
      if (other && chance(0.3)) kvhost::activateDocument(other);
      if (other && chance(0.2) && kvhost::closeDocument(other)) closed(other);
      if (chance(0.4)) post(d);
      if ((other = anyOther(d)) && chance(0.2)) {
        // Its own command or operation, run from this end in another drawing.
        done += "+runs in another ";
        kvhost::activateDocument(other);
        if (chance(0.5))
          kvhost::runCommand(L"ELSEWHERE", [&] { work(true); });
        else
          kvhost::modelessOperation(L"ELSEWHERE", [&] { work(true); });
      }
    };
    client.throwAtEnd = throws;
    kvhost::runCommand(L"DRAW", [&] {
      if (registered) last[d] = {before, false};
      edit(d, model[d]);
      if (where == 0) request();
      if (registered && chance(0.1)) {
        done += "+reloads ";
        g_ReactorManager.removeEdReactor(&client);
        g_ReactorManager.addEdReactor(&client, -1);
      }
      if (chance(0.3)) post(d);
      if (where == 1 || chance(0.2)) {
        kvhost::runCommand(L"NEST", [&] {
          edit(d, model[d]);
          if (where == 1) request();
        });
      }
      if (chance(0.5)) edit(d, model[d]);
    });
    done += "; ";
    client.onEnd.clear();
    client.throwAtEnd = false;
    // What was posted to the drawing ran before the roll-back's steps: it goes with them.
    if (where >= 0 && registered && !throws && model.count(d)) marked(d, before, model[d], true);
  }

  // A save or a pickfirst change the client may leave in; a marked command
  // whose end queues an entity of a side database that goes.
  void leavingStep(AcApDocument* d, int kind) {
    const bool leaves = registered && chance(0.5);
    done += std::string(kind == 0 ? "save" : kind == 1 ? "pickfirst" : "side database") + (leaves ? " leaving; " : "; ");
    std::function<void()> leaving = [&] {
      if (leaves) leave();
    };
    if (kind == 0) {
      // As a command, or as the host saves outside any.
      client.onSave = leaving;
      if (chance(0.5))
        kvhost::executeString(L"QSAVE " + file);
      else
        EXPECT_EQ(kvhost::saveDocument(d, file), Acad::eOk);
      testfiles::removeFile(file);
    } else if (kind == 1) {
      client.onPickfirst = leaving;
      kvhost::setPickfirst(kvhost::entities(d));
      kvhost::setPickfirst(AcDbObjectIdArray());
    } else {
      client.onEnd[L"SIDE"] = [&] {
        AcDbObjectId id;
        AcDbDatabase* side = markers::sideDatabaseWithLine(id);
        KOVAEditorReactorBase::redrawEntity(id);
        leaving();
        delete side;
        EXPECT_FALSE(EndingClient::queued(id)) << "the redraw set holds an id of a destroyed database";
      };
      const Contents before = model[d];
      kvhost::runCommand(L"SIDE", [&] { edit(d, model[d]); });
      if (registered) last[d] = {before, false};
    }
    client.onSave = client.onPickfirst = nullptr;
    client.onEnd.clear();
  }

  // A purge takes the hub's dictionary out, as erased or as unlinked: the
  // drawing has no mark to go back to until its next one.
  void purge(AcApDocument* d) {
    done += "purge; ";
    bool purged = false;
    kvhost::runCommand(L"PURGE", [&] {
      AcDbDictionaryPointer nod(d->database()->namedObjectsDictionaryId(), AcDb::kForWrite);
      AcDbObjectId dictionary;
      if (nod->getAt(L"KOVA_UNDO_DICTIONARY", dictionary) != Acad::eOk) return;
      purged = true;
      if (chance(0.5))
        AcDbDictionaryPointer(dictionary, AcDb::kForWrite)->erase();
      else
        nod->remove(L"KOVA_UNDO_DICTIONARY");
    });
    if (purged) last.erase(d);
    if (registered && !purged) last[d] = {model[d], false};
  }

  void modeless(AcApDocument* d) {
    const Contents before = model[d];
    Contents after = before;
    const bool asks = chance(0.4), closes = chance(0.15);
    done += std::string("modeless") + (asks ? " asking" : "") + (closes ? " closing" : "") + "; ";
    kvhost::modelessOperation(L"PALETTE", [&] {
      edit(d, after);
      if (asks) request();
      EXPECT_TRUE(!closes || kvhost::closeDocument(d));
    });
    if (!closes) return marked(d, before, after, asks);
    closed(d);
  }

  // An excluded command asking for a roll-back goes back to its drawing's
  // last mark, when that mark's work is still there.
  void excludedCommand(AcApDocument* d) {
    const bool asks = chance(0.5);
    done += asks ? "REGEN asking; " : "REGEN; ";
    if (asks) client.onEnd[L"REGEN"] = request;
    kvhost::executeString(L"REGEN");
    client.onEnd.clear();
    auto mark = last.find(d);
    if (asks && registered && mark != last.end() && !mark->second.undone) {
      model[d] = mark->second.before;
      mark->second.undone = true;
    }
  }

  void step() {
    if (model.empty() || (model.size() < 3 && chance(0.1))) model[kvhost::newDocument(L"rollback.dwg")];
    AcApDocument* d = acDocManagerPtr()->curDocument();
    const int op = pick(11);
    if (op >= 7) {
      op == 10 ? purge(d) : leavingStep(d, op - 7);
    } else if (op == 0) {
      kvhost::activateDocument(anyOther(nullptr));
    } else if (op <= 2) {
      markedCommand(d);
    } else if (op == 3) {
      modeless(d);
    } else if (op == 4) {
      excludedCommand(d);
    } else if (op == 5) {
      done += "request outside any command; ";
      request();
    } else {
      done += registered ? "client leaves; " : "client comes back; ";
      if (registered) return leave();
      g_ReactorManager.addEdReactor(&client, -1);
      registered = true;
    }
  }

  // Nothing stays marked or pending: a new command in the current drawing
  // that asks for its roll-back goes back to exactly where it started.
  void probe() {
    AcApDocument* d = acDocManagerPtr()->curDocument();
    if (!registered || d == nullptr) return;
    const Contents before = model[d];
    kvhost::runCommand(L"PROBE", [&] {
      Contents scratch = before;
      edit(d, scratch);
      request();
    });
    EXPECT_EQ(contentsOf(d), before) << "a new command's roll-back did not go back to its start";
    model[d] = before;
    last[d] = {before, true};
  }

  void check() {
    probe();
    EXPECT_EQ(kvhost::pendingCommandCount(), 0);
    EXPECT_FALSE(g_ReactorManager.filterReactors());
    EXPECT_FALSE(EndingClient::queues());
    EXPECT_EQ(model.size(), kvhost::documents().size());
    for (AcApDocument* d : kvhost::documents()) {
      EXPECT_EQ(d->myLockMode(), AcAp::kNotLocked);
      EXPECT_EQ(contentsOf(d), model[d]) << d->fileName();
    }
  }
};

TEST(RollBackStress, EveryDrawingEndsAsItsOwnCommandsAndRollBacksLeaveIt) {
  ASSERT_TRUE(kvhost::loadModule(L"KOVANotification10.arx")) << kvhost::lastModuleError().c_str();
  kvhost::defineCommand(L"DRAW", {});
  Session* running = nullptr;
  kvhost::defineCommand(L"POSTED", [&] { running->work(true); });
  kvhost::defineCommand(L"kovaDBupdate", [&] { running->work(false); });
  const char* seeds = std::getenv("KOVA_ROLLBACK_SEEDS");
  const unsigned count = seeds && *seeds ? static_cast<unsigned>(std::atoi(seeds)) : 200;
  int stepsRun = 0;
  kvhost::setJournalListener([&stepsRun](const std::wstring& line) {
    if (line.find(L"running _UNDO") != std::wstring::npos && ++stepsRun > 100) throw std::runtime_error("endless roll-back");
  });
  for (unsigned seed = 1; seed <= count && !HasFailure(); ++seed) {
    Session s(seed);
    running = &s;
    for (int step = 0; step < 40 && !HasFailure(); ++step) {
      stepsRun = 0;
      const std::string at = "seed " + std::to_string(seed) + " step " + std::to_string(step);
      {
        SCOPED_TRACE(at + ", within the step");
        s.step();
      }
      SCOPED_TRACE(at + ": " + s.done);
      s.check();
    }
    if (!s.registered) g_ReactorManager.addEdReactor(&s.client, -1);
    for (AcApDocument* d : kvhost::documents()) kvhost::closeDocument(d);
    kvhost::clearJournal();
  }
  kvhost::setJournalListener(nullptr);
  kvhost::quit();
}

}  // namespace
