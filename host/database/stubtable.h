// The stubs of one database, by handle and in handle order.
#pragma once
#include <cstddef>
#include <memory>
#include <vector>
#include "database/dbinternal.h"

namespace kvhost {

// Owns every stub of a database: each lives in one of m_blocks, is in
// m_stubs once and in the index once, keeps its address, and stays until
// the table goes (or hands its blocks on). m_stubs is in handle order while
// m_sorted says so; handles mostly come rising (a new object takes the next
// one, a file lists its records mostly in that order), so it is sorted only
// when one came out of order, before the next walk. The index finds a
// handle in constant time: open addressing over a power-of-two count of
// slots, at most three quarters taken. Blocks, order and index take some 70
// bytes a stub (the stub's 40 among them), where a heap block for each stub
// and node-based maps took 160.
class StubTable {
 public:
  // The stub of the handle, or null.
  AcDbStub* find(AcDbHandle handle) const;
  // A new stub for a handle that has none.
  AcDbStub* add(AcDbDatabase* db, AcDbHandle handle);
  size_t size() const { return m_stubs.size(); }

  // Every stub in handle order, as visit(AcDbStub*); a stub that visit
  // adds may be visited or not.
  template <class Visit>
  void forEach(Visit&& visit) {
    if (!m_sorted && m_walks == 0) sortByHandle();
    if (!m_sorted) return forEachOf(sortedCopy(), visit);  // a walk inside a walk, after a stub out of order
    const Walk walk(m_walks);
    for (size_t i = 0; i < m_stubs.size(); ++i) visit(m_stubs[i]);
  }
  // Hands every stub on to out, in the blocks they live in, and leaves the table empty.
  void moveTo(std::vector<std::unique_ptr<AcDbStub[]>>& out);

 private:
  class Walk {
   public:
    explicit Walk(int& walks) : m_walks(walks) { ++m_walks; }
    ~Walk() { --m_walks; }
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;

   private:
    int& m_walks;
  };
  template <class Visit>
  static void forEachOf(const std::vector<AcDbStub*>& stubs, Visit& visit) {
    for (AcDbStub* stub : stubs) visit(stub);
  }
  void sortByHandle();
  std::vector<AcDbStub*> sortedCopy() const;
  size_t slotOf(AcDbHandle handle) const;  // where the handle is, or the empty slot where it goes
  void index(AcDbStub* stub);
  void growIndex();

  AcDbStub* newStub();

  // Each block has room for twice the stubs of the one before, up to kMostInBlock.
  static constexpr size_t kMostInBlock = size_t{1} << 16;
  std::vector<std::unique_ptr<AcDbStub[]>> m_blocks;
  size_t m_lastBlockSize = 0, m_lastBlockUsed = 0;
  std::vector<AcDbStub*> m_stubs;
  bool m_sorted = true;
  int m_walks = 0;  // walks over m_stubs going on, which its order must stay for
  std::vector<AcDbStub*> m_slots;  // null: empty
};

}  // namespace kvhost
