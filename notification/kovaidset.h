// The set of ids queued for a redraw: a once-only test that costs a probe,
// not a scan of the queue. Emptying it is a single step (a slot counts only
// while it carries the current generation), so its memory is kept from one
// pickfirst handling to the next and queueing allocates nothing once warm.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>
#include "adesk.h"

class KOVAIdSet {
 public:
  // False when the id is in the set already.
  bool insert(Adesk::IntDbId id) {
    if ((m_count + 1) * 2 > m_slots.size()) grow();
    const size_t mask = m_slots.size() - 1;
    for (size_t i = slotOf(id) & mask;; i = (i + 1) & mask) {
      Slot& slot = m_slots[i];
      if (slot.generation != m_generation) {
        slot = {id, m_generation};
        ++m_count;
        return true;
      }
      if (slot.id == id) return false;
    }
  }

  void clear() {
    m_count = 0;
    if (++m_generation != 0) return;
    for (Slot& slot : m_slots) slot.generation = 0;  // after 2^32 emptyings, once
    m_generation = 1;
  }

 private:
  struct Slot {
    Adesk::IntDbId id;
    std::uint32_t generation;
  };

  static size_t slotOf(Adesk::IntDbId id) {
    // Ids are addresses handed out in order: spread them over the table.
    return static_cast<size_t>((static_cast<std::uint64_t>(id) * 0x9E3779B97F4A7C15ull) >> 32);
  }

  void grow() {
    std::vector<Slot> old(std::max<size_t>(64, m_slots.size() * 2), Slot{0, 0});
    old.swap(m_slots);
    const std::uint32_t live = m_generation;
    m_count = 0;
    for (const Slot& slot : old)
      if (slot.generation == live) insert(slot.id);
  }

  std::vector<Slot> m_slots;
  size_t m_count = 0;
  std::uint32_t m_generation = 1;
};
