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
  // Each id carries the position it was given. False when the id is in the
  // set already; position then says the one it carries.
  bool insert(Adesk::IntDbId id, std::uint32_t& position) {
    // At most 7/16 full: an insert then looks at fewer than 1.4 slots on
    // average (1.5 at half full).
    if ((m_count + 1) * 16 > m_slots.size() * 7) grow();
    const size_t mask = m_slots.size() - 1;
    for (size_t i = slotOf(id) & mask;; i = (i + 1) & mask) {
      ++m_nProbes;
      Slot& slot = m_slots[i];
      if (slot.generation != m_generation) {
        slot = {id, m_generation, position};
        ++m_count;
        return true;
      }
      if (slot.id == id) {
        position = slot.position;
        return false;
      }
    }
  }

  // Slots looked at by every insert so far: how well the hash spreads ids.
  std::uint64_t probes() const { return m_nProbes; }

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
    std::uint32_t position;
  };

  static size_t slotOf(Adesk::IntDbId id) {
    // Ids are addresses handed out in order, evenly spaced: every bit of
    // the id must move the slot, or ids a fixed distance apart fall into
    // a few runs of neighbouring slots (a finaliser of a 64-bit hash).
    std::uint64_t h = static_cast<std::uint64_t>(id);
    h = (h ^ (h >> 33)) * 0xFF51AFD7ED558CCDull;
    h = (h ^ (h >> 33)) * 0xC4CEB9FE1A85EC53ull;
    return static_cast<size_t>(h ^ (h >> 33));
  }

  void grow() {
    std::vector<Slot> old(std::max<size_t>(64, m_slots.size() * 2), Slot{0, 0, 0});
    old.swap(m_slots);
    const std::uint32_t live = m_generation;
    m_count = 0;
    for (const Slot& slot : old)
      if (slot.generation == live) {
        std::uint32_t position = slot.position;
        insert(slot.id, position);
      }
  }

  std::vector<Slot> m_slots;
  size_t m_count = 0;
  std::uint32_t m_generation = 1;
  std::uint64_t m_nProbes = 0;
};
