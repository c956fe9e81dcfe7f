// Registration and removal, the pickfirst redraw set, and a marked command.
#include <climits>
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
BENCHMARK(BM_RegisterRemove)
    ->ArgNames({"clients", "priorities"})
    ->Args({16, 1})
    ->Args({16, 16})
    ->Args({256, 1})
    ->Args({256, 16})
    ->Args({256, 256})
    ->Args({4096, 16})
    ->Args({4096, 4096});

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
BENCHMARK(BM_RegisterRemoveEditor)->ArgName("clients")->Arg(16)->Arg(256);

// ---- The pickfirst redraw set ----

constexpr int kLargestSet = 100000;
void setSizes(benchmark::internal::Benchmark* b) {
  b->ArgName("entities")->Arg(kLargestSet / 10)->Arg(kLargestSet)->Unit(benchmark::kMillisecond);
}

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
BENCHMARK(BM_RedrawQueue)->Apply(setSizes);

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
BENCHMARK(BM_RedrawQueueAndRedraw)->Apply(setSizes);

// ---- A marked command ----

// A command that changes one entity, with an editor client registered so
// the hub marks it; with rollback the body asks for the roll-back, and the
// posted undo runs when the command has returned, inside runCommand.
void BM_MarkedCommand(benchmark::State& state) {
  Session& s = session();
  const bool rollBack = state.range(0) != 0;
  QuietEditorClient editor;
  auto body = [&] {
    kvhost::modifyObject(s.line, [](AcDbObject* object) { AcDbEntity::cast(object)->setColorIndex(1); });
    if (rollBack) g_ReactorManager.setPostUndoOnCommandFinish(true);
  };
  kvhost::runCommand(L"BENCHEDIT", body);
  const int groupsBefore = kvhost::undoGroupCount(s.doc);
  int failures = 0;
  for (auto _ : state) {
    if (kvhost::runCommand(L"BENCHEDIT", body) != kvhost::CommandOutcome::kEnded) ++failures;
    // The journal would otherwise grow with every command.
    kvhost::clearJournal();
  }
  // 1 per command without a roll-back, 0 with one: the roll-back happened.
  state.counters["undo_groups_kept"] = benchmark::Counter(kvhost::undoGroupCount(s.doc) - groupsBefore,
                                                          benchmark::Counter::kAvgIterations);
  if (failures > 0) state.SkipWithError("a command did not end");
}
BENCHMARK(BM_MarkedCommand)->ArgName("rollback")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
