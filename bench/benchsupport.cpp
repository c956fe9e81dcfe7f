// The out-of-line half of the benchmark fixtures: the counting operator new,
// the session, and the clients.
#include "benchfixture.h"
#include <cstdio>
#include <cstdlib>
#include <new>

// ---- Counting allocator ----
// Replaces the global operator new for the whole process: the host, the hub
// and the libraries compared with it all allocate through it. One thread
// only, so a plain counter does.

namespace {
std::uint64_t g_nAllocations = 0;

void* allocate(std::size_t size) {
  ++g_nAllocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void* allocateAligned(std::size_t size, std::align_val_t align) {
  ++g_nAllocations;
  const std::size_t a = static_cast<std::size_t>(align);
  void* p = nullptr;
  if (posix_memalign(&p, a < sizeof(void*) ? sizeof(void*) : a, size == 0 ? 1 : size) == 0) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  ++g_nAllocations;
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void* operator new(std::size_t size, std::align_val_t align) { return allocateAligned(size, align); }
void* operator new[](std::size_t size, std::align_val_t align) { return allocateAligned(size, align); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace kovabench {

std::uint64_t allocationCount() { return g_nAllocations; }

void countable(benchmark::internal::Benchmark* b) {
  if (const char* iterations = std::getenv("KOVA_BENCH_ITERATIONS")) b->Iterations(std::atoll(iterations));
}

// ---- Session ----

Session& session() {
  static Session* s = [] {
    // The hub's fan-outs as a product runs them, not followed for failure reports.
    kvhost::setClientCallWatch(false);
    if (!kvhost::loadModule(L"KOVANotification10.arx")) {
      std::fprintf(stderr, "cannot load the hub: %ls\n", kvhost::lastModuleError().c_str());
      std::exit(1);
    }
    auto* made = new Session;
    made->doc = kvhost::newDocument(L"bench.dwg");
    made->db = made->doc->database();
    made->line = kvhost::addEntity(made->doc, new AcDbLine(AcGePoint3d(0, 0, 0), AcGePoint3d(1, 1, 0)));
    kvhost::clearJournal();
    return made;
  }();
  return *s;
}

const AcDbObjectIdArray& drawingEntities(int n) {
  static AcDbObjectIdArray ids(0, 1024);
  Session& s = session();
  while (ids.length() < n) {
    const double x = ids.length();
    ids.append(kvhost::addEntity(s.doc, new AcDbLine(AcGePoint3d(x, 0, 0), AcGePoint3d(x, 1, 0))));
  }
  kvhost::clearJournal();
  return ids;
}

// ---- Clients ----

namespace {

class CountingClient : public AcDbDatabaseReactor {
 public:
  void objectModified(const AcDbDatabase*, const AcDbObject*) override { ++m_nHeard; }

 private:
  long long m_nHeard = 0;
};

class NestingClient : public AcDbDatabaseReactor {
 public:
  NestingClient(AcDbDatabaseReactor* const* target, int levels) : m_pTarget(target), m_nLevels(levels) {}
  void objectModified(const AcDbDatabase* db, const AcDbObject* obj) override {
    if (m_nDepth + 1 >= m_nLevels) return;
    ++m_nDepth;
    (*m_pTarget)->objectModified(db, obj);
    --m_nDepth;
  }

 private:
  AcDbDatabaseReactor* const* m_pTarget;
  int m_nLevels;
  int m_nDepth = 0;
};

class PlainFanOut : public AcDbDatabaseReactor {
 public:
  explicit PlainFanOut(const std::vector<AcDbDatabaseReactor*>* clients) : m_pClients(clients) {}
  void objectModified(const AcDbDatabase* db, const AcDbObject* obj) override {
    for (AcDbDatabaseReactor* client : *m_pClients) client->objectModified(db, obj);
  }

 private:
  const std::vector<AcDbDatabaseReactor*>* m_pClients;
};

}  // namespace

std::unique_ptr<AcDbDatabaseReactor> newCountingClient() { return std::make_unique<CountingClient>(); }

std::unique_ptr<AcDbDatabaseReactor> newNestingClient(AcDbDatabaseReactor* const* target, int levels) {
  return std::make_unique<NestingClient>(target, levels);
}

std::unique_ptr<AcDbDatabaseReactor> newPlainFanOut(const std::vector<AcDbDatabaseReactor*>* clients) {
  return std::make_unique<PlainFanOut>(clients);
}

}  // namespace kovabench
