// Randomized re-entrant sessions. Clients of every kind, on the hub's bases and
// plain, act from inside what they hear: they register, move, remove and destroy
// clients (themselves too), change entities, run commands and modeless
// operations, ask for roll-backs, veto locks, change the pickfirst set and open
// and close drawings. A model of the fan-out, fed by probes the host calls just
// before the hub, predicts who hears each notification, in which order.
// KOVA_STRESS_SEEDS=N runs seeds 1 to N (default 200); KOVA_STRESS_SEED=S replays S.
#include <gtest/gtest.h>
#include <KOVANotification.h>
#include <KvTools.h>
#include <KvTrace.h>
#include <kvhost.h>
#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

enum Kind { kDb, kDoc, kEd };
const char* const kKindName[] = {"db", "doc", "ed"};

struct Rec {
  Kind kind;
  bool plain;
  AcRxObject* obj = nullptr;
  bool destroyed = false;  // its destructor ran
  bool retired = false;    // a plain client removed for good, deleted after the step
};

// One notification as the hub must fan it out: the registry as it stood on arrival.
struct FanOut {
  Kind kind;
  std::string name;
  int depth;
  std::vector<int> expected;
  size_t next = 0;
  bool pickfirst = false;  // only clients on the editor base hear it, with the filter flag set
  bool vetoAllowed = false, stopped = false;
  bool lazy = false;  // the registry is read when the first client is called
  const void* doc = nullptr;
  const void* db = nullptr;
};

class Session {
 public:
  std::mt19937 rng;
  unsigned seed;
  int step = 0, nextId = 1, depth = 0, budget = 0, undoRuns = 0;
  std::map<int, Rec> recs;
  struct Entry {
    int id, prio;
  };
  std::vector<Entry> reg[3];  // in the order of registration
  std::vector<FanOut> open;
  bool filter = false;
  std::set<const void*> attached;  // databases the hub's database reactor listens to
  std::vector<const void*> busy;   // documents an operation in progress still uses
  std::string failure;
  AcApDocManagerReactor* docProbe = nullptr;
  bool vetoes;

  // Even seeds veto lock changes too.
  explicit Session(unsigned s) : rng(s), seed(s), vetoes(s % 2 == 0) {}

  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }
  bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; }
  void fail(const std::string& what) {
    if (!failure.empty()) return;
    failure = "seed " + std::to_string(seed) + " step " + std::to_string(step) + ": " + what + "\n";
  }

  // ---- the model registry ----
  void modelAdd(int id, Kind k, int prio) {
    // Only the first database client brings a dispatcher, which attaches to
    // every open drawing; moving a client, even the last one, keeps it.
    if (k == kDb && reg[k].empty())
      for (AcApDocument* d : kvhost::documents()) attached.insert(d->database());
    modelRemove(id, k, true);
    reg[k].push_back({id, prio});
  }
  void modelRemove(int id, Kind k, bool moving = false) {
    auto& r = reg[k];
    r.erase(std::remove_if(r.begin(), r.end(), [&](const Entry& e) { return e.id == id; }), r.end());
    if (k == kDb && r.empty() && !moving) attached.clear();
  }
  std::vector<int> snapshot(Kind k) const {
    std::vector<Entry> r = reg[k];
    std::stable_sort(r.begin(), r.end(), [](const Entry& a, const Entry& b) { return a.prio < b.prio; });
    std::vector<int> ids;
    for (const Entry& e : r) ids.push_back(e.id);
    return ids;
  }

  // ---- fan-outs: opened by the probes, checked by the clients ----
  bool skippable(const FanOut& f, int id) const { return recs.at(id).destroyed || (f.pickfirst && recs.at(id).plain); }
  void skipGone(FanOut& f) const {
    while (!f.stopped && f.next < f.expected.size() && skippable(f, f.expected[f.next])) ++f.next;
  }
  void close(FanOut& f) {
    // A command start is forwarded after its undo mark, whose own database
    // notifications may change the registry first: without a call, there is
    // nothing to check it against.
    f.stopped |= f.lazy;
    skipGone(f);
    if (!f.stopped && f.next < f.expected.size())
      fail("client " + std::to_string(f.expected[f.next]) + " missed " + kKindName[f.kind] + " " + f.name);
    if (f.pickfirst) filter = false;
  }
  void closeFrom(int d) {
    for (; !open.empty() && open.back().depth >= d; open.pop_back()) close(open.back());
  }
  FanOut* find(Kind k, const std::string& name) {
    for (size_t i = open.size(); i-- > 0;)
      if (open[i].depth == depth && open[i].kind == k && open[i].name == name) return &open[i];
    return nullptr;
  }
  void begin(Kind k, const std::string& name, const void* doc, const void* db) {
    if (FanOut* same = find(k, name)) {
      close(*same);
      open.erase(open.begin() + (same - open.data()));
    }
    FanOut f{k, name, depth, {}};
    f.doc = doc;
    f.db = db;
    if (k == kDoc && name == "documentCreated" && !reg[kDb].empty()) attached.insert(db);
    if (k == kDoc && (name == "documentToBeDestroyed" || name == "documentCreateCanceled")) attached.erase(db);
    // A pickfirst handling of the last editor dispatcher ends its filtering
    // before that dispatcher goes, and its going may release the lock of an
    // operation whose end nobody will hear, all before the host's call returns.
    if (filter && g_ReactorManager.edReactorDispatcher() == nullptr && !g_ReactorManager.filterReactors()) filter = false;
    if (k != kDb || (!filter && attached.count(db))) f.expected = snapshot(k);
    f.lazy = k == kEd && name == "commandWillStart";
    if (k == kDb && name == "goodbye") attached.erase(db);
    if (name == "pickfirstModified" && !f.expected.empty()) f.pickfirst = filter = true;
    if (name == "documentLockModeChanged") {
      f.vetoAllowed = (docProbe->vetoState() & 1) != 0;
      // The host closes every reactor's veto window at the end of a nested
      // lock: the outer changes can no longer be vetoed.
      if (f.vetoAllowed)
        for (FanOut& o : open) o.vetoAllowed &= o.name != name;
    }
    open.push_back(f);
  }

  void deliver(int id, Kind k, const char* name) {
    auto it = recs.find(id);
    if (it == recs.end() || it->second.destroyed) return fail("call to destroyed client " + std::to_string(id));
    const std::string heard = "client " + std::to_string(id) + " heard " + kKindName[k] + " " + name;
    FanOut* f = find(k, name);
    if (f == nullptr) return fail(heard + " unexpectedly");
    if (f->lazy) f->expected = snapshot(k);
    f->lazy = false;
    skipGone(*f);
    if (f->stopped || f->next >= f->expected.size() || f->expected[f->next] != id) {
      std::string expected;
      for (int e : f->expected) expected += " " + std::to_string(e) + (recs.at(e).destroyed ? "x" : "");
      return fail(heard + " out of turn; expected" + expected + " at " + std::to_string(f->next));
    }
    ++f->next;
    // A veto ends the fan-out when the host is asking; the client returns at once.
    auto* vetoer = dynamic_cast<KOVADocReactorBase*>(it->second.obj);
    if (f->vetoAllowed && vetoer && vetoes && chance(0.08)) {
      vetoer->KOVAVeto();
      f->stopped = true;
      return;
    }
    ++depth;
    if (chance(0.45)) act();
    if (chance(0.15)) act();
    closeFrom(depth);
    --depth;
  }

  // ---- what clients and the driver do ----
  std::vector<int> live(bool includeRetired = false) const {
    std::vector<int> ids;
    for (const auto& r : recs)
      if (!r.second.destroyed && (includeRetired || !r.second.retired)) ids.push_back(r.first);
    return ids;
  }
  void hubAdd(int id, int prio) {
    AcRxObject* o = recs.at(id).obj;
    if (auto* r = dynamic_cast<AcDbDatabaseReactor*>(o)) g_ReactorManager.addDbReactor(r, prio);
    if (auto* r = dynamic_cast<AcApDocManagerReactor*>(o)) g_ReactorManager.addDocReactor(r, prio);
    if (auto* r = dynamic_cast<AcEditorReactor*>(o)) g_ReactorManager.addEdReactor(r, prio);
    modelAdd(id, recs.at(id).kind, prio);
  }
  // The last editor client's removal ends the marks and releases their
  // lock at once, so it is out of the model before its notifications.
  void hubRemove(int id) {
    AcRxObject* o = recs.at(id).obj;
    modelRemove(id, recs.at(id).kind);
    if (auto* r = dynamic_cast<AcDbDatabaseReactor*>(o)) g_ReactorManager.removeDbReactor(r);
    if (auto* r = dynamic_cast<AcApDocManagerReactor*>(o)) g_ReactorManager.removeDocReactor(r);
    if (auto* r = dynamic_cast<AcEditorReactor*>(o)) g_ReactorManager.removeEdReactor(r);
  }
  void newClient(Kind k, bool plain);
  void destroy(int id) {
    Rec& r = recs.at(id);
    if (r.plain) {
      // The hub does not guard plain reactors against destruction during a
      // fan-out: such a client leaves the registry and dies after the step.
      // Retired first: what its removal sets off must not register it again.
      r.retired = true;
      return hubRemove(id);
    }
    modelRemove(id, r.kind);
    r.destroyed = true;
    delete r.obj;
  }
  void deleteRetired() {
    for (auto& r : recs)
      if (r.second.retired && !r.second.destroyed) {
        r.second.destroyed = true;
        delete r.second.obj;
      }
  }
  bool closable(AcApDocument* d) const {
    if (std::find(busy.begin(), busy.end(), d) != busy.end()) return false;
    for (const FanOut& f : open)
      if (f.doc == d || f.db == d->database()) return false;
    return true;
  }
  void act();
};
Session* g_s = nullptr;

// One random action; the fan-outs it raised are complete when it returns.
void Session::act() {
  if (!failure.empty() || depth > 4 || --budget < 0) return;
  AcApDocument* cur = acDocManagerPtr()->curDocument();
  std::vector<int> ids = live();
  const int id = ids.empty() ? 0 : ids[pick(static_cast<int>(ids.size()))];
  AcDbObjectIdArray all = cur ? kvhost::entities(cur) : AcDbObjectIdArray();
  const AcDbObjectId entity = all.isEmpty() ? AcDbObjectId::kNull : all[pick(all.length())];
  const int op = pick(17);
  // The operations that work in the current drawing keep it from being closed.
  const bool usesCur = ((op >= 6 && op <= 10) || op == 14) && cur;
  if (usesCur) busy.push_back(cur);
  if (op <= 1) {
    newClient(static_cast<Kind>(pick(3)), chance(0.4));
  } else if (op <= 5 && id) {
    if (op == 2) hubRemove(id);
    if (op == 3) hubAdd(id, pick(5) - 2);
    if (op >= 4) destroy(id);
  } else if (op == 6 && cur) {
    kvhost::addEntity(cur, new AcDbLine(AcGePoint3d(pick(9), 0, 0), AcGePoint3d(0, pick(9), 0)));
  } else if (op >= 7 && op <= 9 && !entity.isNull()) {
    if (op == 9)
      kvhost::eraseObject(entity, true);
    else
      kvhost::modifyObject(entity, [&](AcDbObject* o) {
        AcDbEntity::cast(o)->setColorIndex(static_cast<Adesk::UInt16>(pick(7)));
      });
  } else if (op == 10 && cur) {
    kvhost::runCommand(chance(0.8) ? L"KVSTRESS" : L"REGEN", [this] {
      act();
      if (chance(0.3)) g_ReactorManager.setPostUndoOnCommandFinish(true);
      act();
    });
  } else if (op == 11) {
    g_ReactorManager.setPostUndoOnCommandFinish(true);
  } else if (op == 12 && cur) {
    AcDbObjectIdArray some;
    for (int i = 0; i < all.length(); ++i)
      if (chance(0.5)) some.append(all[i]);
    kvhost::setPickfirst(some);
  } else if (op == 13) {
    if (chance(0.5))
      kvhost::setSysVar(L"KVSTRESS", std::to_wstring(pick(100)));
    else
      kvhost::runLisp(L"(kv)", chance(0.3));
  } else if (op == 14 && cur) {
    kvhost::modelessOperation(L"kvstress", [this] {
      act();
      if (chance(0.3)) g_ReactorManager.setPostUndoOnCommandFinish(true);
    });
  } else if (op == 15 && kvhost::documents().size() < 3) {
    if (chance(0.2))
      kvhost::cancelDocumentCreation(L"cancelled.dwg");
    else
      kvhost::newDocument(L"stress" + std::to_wstring(pick(1000)) + L".dwg");
  } else if (op == 16 && !kvhost::documents().empty()) {
    std::vector<AcApDocument*> docs = kvhost::documents();
    AcApDocument* d = docs[pick(static_cast<int>(docs.size()))];
    const bool closing = chance(0.5) && closable(d);
    if (closing)
      kvhost::closeDocument(d);
    else
      kvhost::activateDocument(d);
  }
  if (usesCur) busy.pop_back();
  closeFrom(depth);
}

// ---- The clients, and the probes the host calls just before the hub ----
// What a client (id > 0) hears is checked against the session's model; what
// a probe (id 0) hears opens the fan-out the model predicts.
void hear(int id, Kind k, const char* name, const void* doc, const void* db) {
  if (id)
    g_s->deliver(id, k, name);
  else
    g_s->begin(k, name, doc, db);
}

// An override that passes what it heard to the session.
#define ON(NAME, PARAMS, ...) \
  void NAME PARAMS override { in(#NAME, ##__VA_ARGS__); }
using Db = const AcDbDatabase*;
using Obj = const AcDbObject*;
using M = AcAp::DocLockMode;

template <class Base>
class DbClient : public Base {
 public:
  explicit DbClient(int id) : m_id(id) {}
  ON(objectAppended, (Db db, Obj), db) ON(objectOpenedForModify, (Db db, Obj), db) ON(objectModified, (Db db, Obj), db)
  ON(objectErased, (Db db, Obj, Adesk::Boolean), db) ON(headerSysVarChanged, (Db db, const ACHAR*, Adesk::Boolean), db)
  ON(goodbye, (Db db), db)

 private:
  void in(const char* name, const AcDbDatabase* db) { hear(m_id, kDb, name, acDocManagerPtr()->document(db), db); }
  int m_id;
};

template <class Base>
class DocClient : public Base {
 public:
  explicit DocClient(int id) : m_id(id) {}
  ON(documentCreated, (AcApDocument* d), d) ON(documentToBeDestroyed, (AcApDocument* d), d)
  ON(documentCreateCanceled, (AcApDocument* d), d) ON(documentActivated, (AcApDocument* d), d)
  ON(documentLockModeWillChange, (AcApDocument* d, M, M, M, const ACHAR*), d)
  ON(documentLockModeChanged, (AcApDocument* d, M, M, M, const ACHAR*), d)

 private:
  void in(const char* name, AcApDocument* d) { hear(m_id, kDoc, name, d, d ? d->database() : nullptr); }
  int m_id;
};

template <class Base>
class EdClient : public Base {
 public:
  explicit EdClient(int id) : m_id(id) {}
  ON(commandWillStart, (const ACHAR*)) ON(commandEnded, (const ACHAR*)) ON(modelessOperationEnded, (const ACHAR*))
  ON(sysVarChanged, (const ACHAR*, Adesk::Boolean)) ON(lispEnded, ()) ON(undoSubcommandNumber, (int, int))
  void databaseToBeDestroyed(AcDbDatabase* db) override { hear(m_id, kEd, "databaseToBeDestroyed", nullptr, db); }
  // The hub never calls the host's own form on clients: only the three-argument one.
  void pickfirstModified() override { in(m_id ? "pickfirstModified()" : "pickfirstModified"); }

 protected:
  void in(const char* name) {
    AcApDocument* cur = acDocManagerPtr()->curDocument();
    hear(m_id, kEd, name, cur, cur ? cur->database() : nullptr);
  }
  int m_id;
};

class EdBaseClient : public EdClient<KOVAEditorReactorBase> {
 public:
  using EdClient::EdClient;
  using EdClient::pickfirstModified;
  ON(pickfirstModified, (ads_name, const AcArray<AcDbObjectId>&, AcRxClass*))
};

DbClient<AcDbDatabaseReactor> g_dbProbe(0);
DocClient<AcApDocManagerReactor> g_docProbe(0);
// Every new drawing gets the database probe before the hub can attach.
class EdProbe : public EdClient<AcEditorReactor2> {
 public:
  EdProbe() : EdClient(0) {}
  void databaseConstructed(AcDbDatabase* db) override { db->addReactor(&g_dbProbe); }
} g_edProbe;

void Session::newClient(Kind k, bool plain) {
  const int id = nextId++;
  using O = AcRxObject*;
  O obj = nullptr;
  if (k == kDb) obj = plain ? O(new DbClient<AcDbDatabaseReactor>(id)) : new DbClient<KOVADatabaseReactorBase>(id);
  if (k == kDoc) obj = plain ? O(new DocClient<AcApDocManagerReactor>(id)) : new DocClient<KOVADocReactorBase>(id);
  if (k == kEd) obj = plain ? O(new EdClient<AcEditorReactor2>(id)) : new EdBaseClient(id);
  recs[id] = Rec{k, plain, obj};
  if (!plain) modelAdd(id, k, -1);  // the bases register themselves
  const int prio = pick(5) - 2;
  if (plain || chance(0.3)) hubAdd(id, prio);
}

// Plays one seed; returns the failure, or an empty string.
std::string runSeed(unsigned seed) {
  Session s(seed);
  g_s = &s;
  s.docProbe = &g_docProbe;
  KvTrace::clearCrashReports();
  kvhost::setJournalListener([&s](const std::wstring& line) {
    // A roll-back that never stops would hang the run: give up on the seed.
    if (line.find(L"running _UNDO") != std::wstring::npos && ++s.undoRuns > 500) throw std::runtime_error("roll-back does not stop");
  });
  for (s.step = 0; s.step < 60 && s.failure.empty(); ++s.step) {
    s.budget = 40;
    s.undoRuns = 0;
    try {
      if (kvhost::documents().empty() || (kvhost::documents().size() < 4 && s.chance(0.05))) kvhost::newDocument(L"stress.dwg");
      s.act();
      kvhost::runPendingCommands();
      s.closeFrom(0);
    } catch (const std::runtime_error& e) {
      s.fail(e.what());
    }
    if (!KvTrace::crashReports().empty()) {
      const std::wstring& fn = KvTrace::crashReports().front().function;
      s.fail("the crash guard caught a fault in " + std::string(fn.begin(), fn.end()));
    }
    if (g_ReactorManager.filterReactors()) s.fail("the filter flag stayed set");
    s.deleteRetired();
    kvhost::clearJournal();
    g_FnLog.clear();
  }
  // Leave nothing behind for the next seed.
  s.budget = 0;
  for (int id : s.live(true)) s.destroy(id);
  s.deleteRetired();
  for (AcApDocument* d : kvhost::documents()) kvhost::closeDocument(d);
  s.closeFrom(0);
  kvhost::runPendingCommands();
  kvhost::setJournalListener(nullptr);
  kvhost::clearJournal();
  g_s = nullptr;
  return s.failure;
}

TEST(ReentrancyStress, RandomSessionsMatchTheFanOutModel) {
  ASSERT_TRUE(kvhost::loadModule(L"KOVANotification10.arx")) << kvhost::lastModuleError().c_str();
  // The probes stand before the hub in every reactor list of the host.
  AcApDocManagerReactor* hubDoc = g_ReactorManager.docReactorDispatcher();
  acDocManagerPtr()->removeReactor(hubDoc);
  acDocManagerPtr()->addReactor(&g_docProbe);
  acDocManagerPtr()->addReactor(hubDoc);
  acedEditorPtr()->addReactor(&g_edProbe);
  kvhost::defineCommand(L"KVSTRESS", {});

  const char* single = std::getenv("KOVA_STRESS_SEED");
  const char* count = std::getenv("KOVA_STRESS_SEEDS");
  const long first = single ? std::atol(single) : 1, last = single ? first : count ? std::atol(count) : 200;
  for (long seed = first; seed <= last; ++seed) {
    const std::string failure = runSeed(static_cast<unsigned>(seed));
    if (!failure.empty()) {
      ADD_FAILURE() << failure << "(replay with KOVA_STRESS_SEED=" << seed << ")";
      break;
    }
  }
  acedEditorPtr()->removeReactor(&g_edProbe);
  acDocManagerPtr()->removeReactor(&g_docProbe);
  kvhost::quit();
}

}  // namespace
