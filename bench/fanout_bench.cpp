// Forwarding one database event to many clients: the hub next to a plain
// loop of virtual calls (the floor) and next to Boost.Signals2 and
// libsigc++ signals holding the same clients in the same order.
//
// The hub is driven by calling its dispatcher's objectModified through an
// AcDbDatabaseReactor pointer, exactly as the host calls an attached
// reactor. Going through kvhost::raiseDatabaseEvent would add the host's
// own work (a std::function and the walk of the database's reactor list)
// to every event; BM_HubThroughHost measures that once for reference.
#include <boost/signals2.hpp>
#include <sigc++/sigc++.h>
#include <KvTrace.h>
#include "benchfixture.h"

using namespace kovabench;

namespace {

void sizes(benchmark::internal::Benchmark* b) { b->Arg(1)->Arg(16)->Arg(256)->Arg(4096); }
void depths(benchmark::internal::Benchmark* b) { b->ArgName("depth")->Arg(1)->Arg(2)->Arg(4)->Arg(8); }
constexpr int kNestedClients = 16;

// Raises the event once before timing (every storage that is reused from
// then on exists) and then once per iteration.
void raiseRepeatedly(benchmark::State& state, AcDbDatabaseReactor* target) {
  EventObject event;
  target->objectModified(event.db(), event.object());
  AllocationsPerIteration allocations(state);
  for (auto _ : state) target->objectModified(event.db(), event.object());
}

void BM_PlainLoop(benchmark::State& state) {
  session();
  ClientSet clients(static_cast<int>(state.range(0)));
  auto floor = newPlainFanOut(&clients.inHubOrder());
  raiseRepeatedly(state, floor.get());
}
KOVA_BENCHMARK(BM_PlainLoop)->Apply(sizes);

void BM_Hub(benchmark::State& state) {
  session();
  ClientSet clients(static_cast<int>(state.range(0)));
  HubRegistration hub(clients);
  raiseRepeatedly(state, hub.dispatcher());
}
KOVA_BENCHMARK(BM_Hub)->Apply(sizes);

void BM_HubThroughHost(benchmark::State& state) {
  Session& s = session();
  ClientSet clients(static_cast<int>(state.range(0)));
  HubRegistration hub(clients);
  EventObject event;
  auto raise = [&](AcDbDatabaseReactor* r) { r->objectModified(event.db(), event.object()); };
  kvhost::raiseDatabaseEvent(s.db, raise);
  AllocationsPerIteration allocations(state);
  for (auto _ : state) kvhost::raiseDatabaseEvent(s.db, raise);
}
KOVA_BENCHMARK(BM_HubThroughHost)->Apply(sizes);

// What every notification pays for its one wrapped call into the manager
// (the snapshot's list operation): the function-entry log and crash guard
// around an empty body.
void BM_GuardedCall(benchmark::State& state) {
  for (auto _ : state) kvGuarded(L"KOVAReactorManager::dbReactors", L"bench", __LINE__, [] {});
}
KOVA_BENCHMARK(BM_GuardedCall);

// Single-threaded like the hub, so no lock is paid for; priorities are the
// signal's groups, served ascending, registration order within a group.
typedef boost::signals2::signal_type<void(const AcDbDatabase*, const AcDbObject*),
                                     boost::signals2::keywords::mutex_type<boost::signals2::dummy_mutex> >::type
    Signals2Signal;

void BM_Signals2(benchmark::State& state) {
  session();
  ClientSet clients(static_cast<int>(state.range(0)));
  Signals2Signal signal;
  for (int i = 0; i < clients.size(); ++i) {
    AcDbDatabaseReactor* client = clients.at(i);
    signal.connect(priorityOf(i), [client](const AcDbDatabase* db, const AcDbObject* obj) {
      client->objectModified(db, obj);
    });
  }
  EventObject event;
  signal(event.db(), event.object());
  AllocationsPerIteration allocations(state);
  for (auto _ : state) signal(event.db(), event.object());
}
KOVA_BENCHMARK(BM_Signals2)->Apply(sizes);

// libsigc++ has no priorities: the clients are connected in the hub's order.
void BM_Sigc(benchmark::State& state) {
  session();
  ClientSet clients(static_cast<int>(state.range(0)));
  sigc::signal<void(const AcDbDatabase*, const AcDbObject*)> signal;
  for (AcDbDatabaseReactor* client : clients.inHubOrder())
    signal.connect([client](const AcDbDatabase* db, const AcDbObject* obj) { client->objectModified(db, obj); });
  EventObject event;
  signal.emit(event.db(), event.object());
  AllocationsPerIteration allocations(state);
  for (auto _ : state) signal.emit(event.db(), event.object());
}
KOVA_BENCHMARK(BM_Sigc)->Apply(sizes);

// Nested events: the first client served raises the event again from
// inside it until it is `depth` fan-outs deep. Items are fan-outs, so the
// time per item is the cost of one level.
void nestedRepeatedly(benchmark::State& state, AcDbDatabaseReactor* const& target) {
  raiseRepeatedly(state, target);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_NestedPlainLoop(benchmark::State& state) {
  session();
  AcDbDatabaseReactor* target = nullptr;
  ClientSet clients(kNestedClients, newNestingClient(&target, static_cast<int>(state.range(0))));
  auto floor = newPlainFanOut(&clients.inHubOrder());
  target = floor.get();
  nestedRepeatedly(state, target);
}
KOVA_BENCHMARK(BM_NestedPlainLoop)->Apply(depths);

void BM_NestedHub(benchmark::State& state) {
  session();
  AcDbDatabaseReactor* target = nullptr;
  ClientSet clients(kNestedClients, newNestingClient(&target, static_cast<int>(state.range(0))));
  HubRegistration hub(clients);
  target = hub.dispatcher();
  nestedRepeatedly(state, target);
}
KOVA_BENCHMARK(BM_NestedHub)->Apply(depths);

}  // namespace
