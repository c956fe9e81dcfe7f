// What the benchmark programs share: a host session with the hub loaded,
// clients that only count what they hear, the registration of such clients
// with the hub, and the count of heap allocations.
#pragma once
#include <benchmark/benchmark.h>
#include <cstdint>
#include <memory>
#include <vector>
#include <KOVANotification.h>
#include <kvhost.h>

namespace kovabench {

// ---- Instruction counts ----

// With KOVA_BENCH_ITERATIONS=N in the environment every benchmark runs
// exactly N iterations once, so that two runs under callgrind with
// different N differ by the work of the extra iterations alone
// (bench/report --instructions). Without it, Google Benchmark picks the
// iterations as usual.
void countable(benchmark::internal::Benchmark* b);
#define KOVA_BENCHMARK(fn) BENCHMARK(fn)->Apply(kovabench::countable)

// ---- Heap allocations (this program replaces the global operator new) ----

std::uint64_t allocationCount();

// Reports, as the counter `name`, the heap allocations made while it lives,
// per benchmark iteration divided by `perIteration` (the events or entities
// one iteration handles).
class AllocationsPerIteration {
 public:
  explicit AllocationsPerIteration(benchmark::State& state, const char* name = "allocs_per_event",
                                   double perIteration = 1)
      : m_state(state), m_name(name), m_dPerIteration(perIteration), m_nStart(allocationCount()) {}
  ~AllocationsPerIteration() {
    const double allocations = static_cast<double>(allocationCount() - m_nStart);
    m_state.counters[m_name] = benchmark::Counter(allocations / m_dPerIteration, benchmark::Counter::kAvgIterations);
  }
  AllocationsPerIteration(const AllocationsPerIteration&) = delete;
  AllocationsPerIteration& operator=(const AllocationsPerIteration&) = delete;

 private:
  benchmark::State& m_state;
  const char* m_name;
  double m_dPerIteration;
  std::uint64_t m_nStart;
};

// ---- The session ----

// The hub loaded the way the host loads it, and one open drawing.
struct Session {
  AcApDocument* doc;
  AcDbDatabase* db;
  AcDbObjectId line;  // the entity the forwarded events are about
};
Session& session();

// The first n entities of the session's drawing, added on first request
// (never inside a timed loop: callers ask before it).
const AcDbObjectIdArray& drawingEntities(int n);

// The session's entity open for read, as a host holds an object while it
// notifies about it.
class EventObject {
 public:
  EventObject() : m_object(session().line, AcDb::kForRead) {}
  const AcDbDatabase* db() const { return session().db; }
  const AcDbObject* object() const { return m_object.object(); }

 private:
  AcDbObjectPointer<AcDbObject> m_object;
};

// ---- Clients ----

// Clients spread over this many priorities, the way several client modules
// register: -1 (the bases), 0, 1, 2, round robin.
constexpr int kPriorities = 4;
inline int priorityOf(int index) { return index % kPriorities - 1; }

// A database client that counts the objectModified it hears. Made out of
// line so that no benchmark loop can devirtualise or inline the call.
std::unique_ptr<AcDbDatabaseReactor> newCountingClient();
// A client that, on objectModified, raises objectModified again on *target
// until the event is `levels` deep (levels 1: it raises nothing).
std::unique_ptr<AcDbDatabaseReactor> newNestingClient(AcDbDatabaseReactor* const* target, int levels);
// The floor: objectModified forwarded to the clients by a plain loop of
// virtual calls, no snapshot, no registry.
std::unique_ptr<AcDbDatabaseReactor> newPlainFanOut(const std::vector<AcDbDatabaseReactor*>* clients);

// n clients, client i meant for priority priorityOf(i); the first one may
// be given (a nesting client), the rest count.
class ClientSet {
 public:
  explicit ClientSet(int n, std::unique_ptr<AcDbDatabaseReactor> first = nullptr) {
    if (first) m_owned.push_back(std::move(first));
    while (static_cast<int>(m_owned.size()) < n) m_owned.push_back(newCountingClient());
    for (int p = -1; p < kPriorities - 1; ++p)
      for (int i = 0; i < n; ++i)
        if (priorityOf(i) == p) m_ordered.push_back(m_owned[i].get());
  }
  int size() const { return static_cast<int>(m_owned.size()); }
  AcDbDatabaseReactor* at(int i) const { return m_owned[i].get(); }
  // The clients in the hub's order: ascending priority, then registration.
  const std::vector<AcDbDatabaseReactor*>& inHubOrder() const { return m_ordered; }

 private:
  std::vector<std::unique_ptr<AcDbDatabaseReactor> > m_owned;
  std::vector<AcDbDatabaseReactor*> m_ordered;
};

// The clients registered with the hub for as long as this lives.
class HubRegistration {
 public:
  explicit HubRegistration(const ClientSet& clients) : m_clients(clients) {
    for (int i = 0; i < clients.size(); ++i) g_ReactorManager.addDbReactor(clients.at(i), priorityOf(i));
  }
  ~HubRegistration() {
    for (int i = 0; i < m_clients.size(); ++i) g_ReactorManager.removeDbReactor(m_clients.at(i));
  }
  HubRegistration(const HubRegistration&) = delete;
  HubRegistration& operator=(const HubRegistration&) = delete;
  // The hub's database dispatcher, as the host holds it: a database reactor.
  AcDbDatabaseReactor* dispatcher() const { return g_ReactorManager.dbReactorDispatcher(); }

 private:
  const ClientSet& m_clients;
};

// An editor client that overrides nothing: its presence is what makes the
// hub mark commands and keep the pickfirst redraw set.
class QuietEditorClient : public KOVAEditorReactorBase {
 public:
  using KOVAEditorReactorBase::KOVAEditorReactorBase;
};

}  // namespace kovabench
