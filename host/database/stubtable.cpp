// The stubs of one database, by handle and in handle order.
#include "database/stubtable.h"
#include <algorithm>
#include <cstdint>

namespace kvhost {
namespace {

bool handleOrder(const AcDbStub* a, const AcDbStub* b) { return a->handle < b->handle; }

}  // namespace

size_t StubTable::slotOf(AcDbHandle handle) const {
  // Fibonacci hashing spreads the runs of handles a drawing has over the slots.
  const size_t mask = m_slots.size() - 1;
  size_t slot = static_cast<size_t>((handle * UINT64_C(0x9E3779B97F4A7C15)) >> 32) & mask;
  while (m_slots[slot] != nullptr && m_slots[slot]->handle != handle) slot = (slot + 1) & mask;
  return slot;
}

AcDbStub* StubTable::find(AcDbHandle handle) const {
  return m_slots.empty() ? nullptr : m_slots[slotOf(handle)];
}

AcDbStub* StubTable::newStub() {
  if (m_lastBlockUsed == m_lastBlockSize) {
    m_lastBlockSize = std::min(kMostInBlock, std::max<size_t>(16, 2 * m_lastBlockSize));
    m_blocks.emplace_back(new AcDbStub[m_lastBlockSize]);
    m_lastBlockUsed = 0;
  }
  return &m_blocks.back()[m_lastBlockUsed++];
}

AcDbStub* StubTable::add(AcDbDatabase* db, AcDbHandle handle) {
  AcDbStub* stub = newStub();
  stub->db = db;
  stub->handle = handle;
  if (!m_stubs.empty() && handle < m_stubs.back()->handle) m_sorted = false;
  m_stubs.push_back(stub);
  if (4 * m_stubs.size() > 3 * m_slots.size())
    growIndex();
  else
    index(stub);
  return stub;
}

void StubTable::index(AcDbStub* stub) { m_slots[slotOf(stub->handle)] = stub; }

void StubTable::growIndex() {
  m_slots.assign(std::max<size_t>(16, 2 * m_slots.size()), nullptr);
  for (AcDbStub* stub : m_stubs) index(stub);
}

void StubTable::sortByHandle() {
  std::sort(m_stubs.begin(), m_stubs.end(), handleOrder);
  m_sorted = true;
}

std::vector<AcDbStub*> StubTable::sortedCopy() const {
  std::vector<AcDbStub*> stubs(m_stubs);
  std::sort(stubs.begin(), stubs.end(), handleOrder);
  return stubs;
}

void StubTable::moveTo(std::vector<std::unique_ptr<AcDbStub[]>>& out) {
  for (std::unique_ptr<AcDbStub[]>& block : m_blocks) out.push_back(std::move(block));
  *this = StubTable();
}

}  // namespace kvhost
