// Randomized roll-back sessions over several drawings: marked commands (some
// with a transparent one inside), modeless operations and excluded commands
// edit and ask for roll-backs at random points, while a command ends the client
// activates or closes other drawings or registers again, an operation may close
// its own drawing, the client leaves and comes back. A model of every drawing,
// knowing what was done and which mark is the last, predicts it after each step.
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

// Runs what the session gives it when the command of that name ends.
class EndingClient : public KOVAEditorReactorBase {
 public:
  std::map<std::wstring, std::function<void()>> onEnd;
  void commandEnded(const ACHAR* name) override {
    auto it = onEnd.find(name);
    if (it == onEnd.end()) return;
    auto act = std::move(it->second);
    onEnd.erase(it);
    act();
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
    Contents after = before;
    const int where = chance(0.5) ? pick(3) : -1;  // asks in the body, the transparent command, the ending
    done += "command" + std::to_string(where) + "; ";
    client.onEnd[L"DRAW"] = [&] {
      if (chance(0.2)) g_ReactorManager.addEdReactor(&client, -1);
      if (where == 2) request();
      AcApDocument* other = anyOther(d);
      if (other && chance(0.3)) kvhost::activateDocument(other);
      if (other && chance(0.2) && kvhost::closeDocument(other)) closed(other);
    };
    kvhost::runCommand(L"DRAW", [&] {
      edit(d, after);
      if (where == 0) request();
      if (where == 1 || chance(0.2)) {
        kvhost::runCommand(L"NEST", [&] {
          edit(d, after);
          if (where == 1) request();
        });
      }
      if (chance(0.5)) edit(d, after);
    });
    client.onEnd.clear();
    marked(d, before, after, where >= 0);
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
    const int op = pick(7);
    if (op == 0) {
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
      // The last client leaving ends what was marked: nothing to go back to.
      done += registered ? "client leaves; " : "client comes back; ";
      registered ? g_ReactorManager.removeEdReactor(&client) : g_ReactorManager.addEdReactor(&client, -1);
      registered = !registered;
      last.clear();
    }
  }

  void check() {
    EXPECT_EQ(kvhost::pendingCommandCount(), 0);
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
  const char* seeds = std::getenv("KOVA_ROLLBACK_SEEDS");
  const unsigned count = seeds && *seeds ? static_cast<unsigned>(std::atoi(seeds)) : 200;
  int stepsRun = 0;
  kvhost::setJournalListener([&stepsRun](const std::wstring& line) {
    if (line.find(L"running _UNDO") != std::wstring::npos && ++stepsRun > 100) throw std::runtime_error("endless roll-back");
  });
  for (unsigned seed = 1; seed <= count && !HasFailure(); ++seed) {
    Session s(seed);
    for (int step = 0; step < 40 && !HasFailure(); ++step) {
      stepsRun = 0;
      s.step();
      SCOPED_TRACE("seed " + std::to_string(seed) + " step " + std::to_string(step) + ": " + s.done);
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
