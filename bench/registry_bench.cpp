// Registration and removal, the pickfirst redraw set, and a marked command.
#include <boost/signals2.hpp>
#include <climits>
#include <kovaidset.h>
#include "benchfixture.h"

using namespace kovabench;

namespace {

// Registers n clients spread over p priorities, then removes them, in
// registration order. One more client stays registered throughout, so the
// dispatcher is neither made nor deleted (its attaching is the host's work).
void BM_RegisterRemove(benchmark::State& state) {
  session();
  const int n = static_cast<int>(state.range(0));
  const int priorities = static_cast<int>(state.range(1));
  ClientSet clients(n);
  auto anchor = newCountingClient();
  g_ReactorManager.addDbReactor(anchor.get(), INT_MIN);
  for (auto _ : state) {
    for (int i = 0; i < n; ++i) g_ReactorManager.addDbReactor(clients.at(i), i % priorities);
    for (int i = 0; i < n; ++i) g_ReactorManager.removeDbReactor(clients.at(i));
  }
  g_ReactorManager.removeDbReactor(anchor.get());
  state.SetItemsProcessed(state.iterations() * 2 * n);
}
void registrations(benchmark::internal::Benchmark* b) {
  b->ArgNames({"clients", "priorities"})
      ->Args({16, 1})
      ->Args({16, 16})
      ->Args({256, 1})
      ->Args({256, 16})
      ->Args({256, 256})
      ->Args({4096, 1})
      ->Args({4096, 16})
      ->Args({4096, 4096});
}
KOVA_BENCHMARK(BM_RegisterRemove)->Apply(registrations);

// The same with a single-threaded Boost.Signals2 signal, priorities as its
// groups: connect n slots, then disconnect them in the same order.
void BM_Signals2RegisterRemove(benchmark::State& state) {
  session();
  const int n = static_cast<int>(state.range(0));
  const int priorities = static_cast<int>(state.range(1));
  ClientSet clients(n);
  boost::signals2::signal_type<void(const AcDbDatabase*, const AcDbObject*),
                               boost::signals2::keywords::mutex_type<boost::signals2::dummy_mutex> >::type signal;
  std::vector<boost::signals2::connection> connections;
  connections.reserve(n);
  for (auto _ : state) {
    for (int i = 0; i < n; ++i) {
      AcDbDatabaseReactor* client = clients.at(i);
      connections.push_back(signal.connect(
          i % priorities, [client](const AcDbDatabase* db, const AcDbObject* obj) { client->objectModified(db, obj); }));
    }
    for (boost::signals2::connection& c : connections) c.disconnect();
    connections.clear();
  }
  state.SetItemsProcessed(state.iterations() * 2 * n);
}
KOVA_BENCHMARK(BM_Signals2RegisterRemove)->Apply(registrations);

// The same for editor clients: every registration also replaces the
// editor dispatcher, which detaches from and attaches to the host's editor.
void BM_RegisterRemoveEditor(benchmark::State& state) {
  session();
  const int n = static_cast<int>(state.range(0));
  std::vector<std::unique_ptr<QuietEditorClient> > clients;
  for (int i = 0; i < n; ++i) clients.push_back(std::make_unique<QuietEditorClient>(false));
  QuietEditorClient anchor;
  for (auto _ : state) {
    for (int i = 0; i < n; ++i) g_ReactorManager.addEdReactor(clients[i].get(), priorityOf(i));
    for (int i = 0; i < n; ++i) g_ReactorManager.removeEdReactor(clients[i].get());
  }
  state.SetItemsProcessed(state.iterations() * 2 * n);
}
KOVA_BENCHMARK(BM_RegisterRemoveEditor)->ArgName("clients")->Arg(16)->Arg(256);

// ---- The pickfirst redraw set ----

constexpr int kLargestSet = 100000;
void setSizes(benchmark::internal::Benchmark* b) {
  b->ArgName("entities")->Arg(kLargestSet / 10)->Arg(kLargestSet)->Unit(benchmark::kMillisecond);
}

// The id set alone, filled with the ids of n entities of the drawing (ids
// are addresses, handed out in order and evenly spaced) and emptied: how
// many slots an insert looks at, on average.
void BM_IdSetProbes(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const AcDbObjectIdArray& ids = drawingEntities(kLargestSet);
  KOVAIdSet set;
  auto fill = [&] {
    for (int i = 0; i < n; ++i) {
      std::uint32_t position = static_cast<std::uint32_t>(i);
      set.insert(ids[i].asOldId(), position);
    }
    set.clear();
  };
  fill();  // grown to its size, as the redraw set is once warm
  const std::uint64_t probesBefore = set.probes();
  for (auto _ : state) fill();
  state.counters["probes_per_insert"] =
      static_cast<double>(set.probes() - probesBefore) / (static_cast<double>(state.iterations()) * n);
  state.SetItemsProcessed(state.iterations() * n);
}
KOVA_BENCHMARK(BM_IdSetProbes)->ArgName("entities")->Arg(100)->Arg(1000)->Arg(2000)->Arg(10000)->Arg(kLargestSet);

// Queues n entities (each twice, as clients that react to several events
// do) and empties the set: the hub's own bookkeeping.
void BM_RedrawQueue(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  // The drawing always holds the largest set, so both sizes run against the same host.
  const AcDbObjectIdArray& ids = drawingEntities(kLargestSet);
  QuietEditorClient editor;
  AllocationsPerIteration allocations(state, "allocs_per_entity", n);
  for (auto _ : state) {
    for (int pass = 0; pass < 2; ++pass)
      for (int i = 0; i < n; ++i) KOVAEditorReactorBase::redrawEntity(ids[i]);
    KOVAEditorReactorBase::clearEntities();
  }
  state.SetItemsProcessed(state.iterations() * n);
}
KOVA_BENCHMARK(BM_RedrawQueue)->Apply(setSizes);

// Queues n entities and redraws them: with the host's lock, open for write
// and close of every entity.
void BM_RedrawQueueAndRedraw(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const AcDbObjectIdArray& ids = drawingEntities(kLargestSet);
  QuietEditorClient editor;
  for (auto _ : state) {
    for (int i = 0; i < n; ++i) KOVAEditorReactorBase::redrawEntity(ids[i]);
    KOVAEditorReactorBase::redrawEntities();
    // The host journals every redraw; that record is no part of the work.
    state.PauseTiming();
    kvhost::clearJournal();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * n);
}
KOVA_BENCHMARK(BM_RedrawQueueAndRedraw)->Apply(setSizes);

// ---- Commands ----

// A drawing of its own, current while it lives: the first command a
// benchmark runs in it is the drawing's first marked command.
class FreshDrawing {
 public:
  FreshDrawing()
      : m_doc(kvhost::newDocument(L"command.dwg")),
        m_line(kvhost::addEntity(m_doc, new AcDbLine(AcGePoint3d(0, 0, 0), AcGePoint3d(1, 1, 0)))) {}
  ~FreshDrawing() {
    kvhost::closeDocument(m_doc);
    kvhost::activateDocument(session().doc);
  }
  FreshDrawing(const FreshDrawing&) = delete;
  FreshDrawing& operator=(const FreshDrawing&) = delete;
  AcApDocument* doc() const { return m_doc; }
  AcDbObjectId line() const { return m_line; }

 private:
  AcApDocument* m_doc;
  AcDbObjectId m_line;
};

// A command that changes one entity, in a fresh drawing. With an editor
// client registered the hub marks it; with rollBack the body asks for the
// roll-back, and the posted undo runs when the command has returned, inside
// runCommand. The first command runs before timing.
void runCommands(benchmark::State& state, bool marked, bool rollBack) {
  session();
  FreshDrawing drawing;
  std::unique_ptr<QuietEditorClient> editor(marked ? new QuietEditorClient : nullptr);
  auto body = [&] {
    kvhost::modifyObject(drawing.line(), [](AcDbObject* object) { AcDbEntity::cast(object)->setColorIndex(1); });
    if (rollBack) g_ReactorManager.setPostUndoOnCommandFinish(true);
  };
  kvhost::runCommand(L"BENCHEDIT", body);
  const int groupsBefore = kvhost::undoGroupCount(drawing.doc());
  int failures = 0;
  {
    AllocationsPerIteration allocations(state, "allocs_per_command");
    for (auto _ : state) {
      if (kvhost::runCommand(L"BENCHEDIT", body) != kvhost::CommandOutcome::kEnded) ++failures;
      // The journal would otherwise grow with every command.
      kvhost::clearJournal();
    }
  }
  // 1 per command without a roll-back, 0 with one: the roll-back happened.
  state.counters["undo_groups_kept"] = benchmark::Counter(kvhost::undoGroupCount(drawing.doc()) - groupsBefore,
                                                          benchmark::Counter::kAvgIterations);
  if (failures > 0) state.SkipWithError("a command did not end");
}

void BM_MarkedCommand(benchmark::State& state) { runCommands(state, true, state.range(0) != 0); }
KOVA_BENCHMARK(BM_MarkedCommand)->ArgName("rollback")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The same command with no editor client: what the host does alone, so
// that the hub's share of a marked command is the difference.
void BM_UnmarkedCommand(benchmark::State& state) { runCommands(state, false, false); }
KOVA_BENCHMARK(BM_UnmarkedCommand)->Unit(benchmark::kMicrosecond);

}  // namespace
