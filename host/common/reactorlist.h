// The host's reactor lists; every subsystem keeps its reactors in one.
#pragma once
#include <algorithm>
#include <type_traits>
#include <vector>
#include "acarray.h"

namespace kvhost {

// A reactor list that may change while it is being notified: reactors added
// meanwhile are not called for the running notification, reactors removed
// meanwhile are not called any more. Notifying allocates nothing.
template <class R>
class ReactorList {
 public:
  bool add(R* reactor) {
    if (reactor == nullptr || contains(reactor)) return false;
    m_items.push_back(reactor);
    return true;
  }
  bool remove(R* reactor) {
    for (auto it = m_items.begin(); it != m_items.end(); ++it) {
      if (*it != reactor) continue;
      if (m_nIterating > 0) {
        *it = nullptr;
        m_bHoles = true;
      } else {
        m_items.erase(it);
      }
      return true;
    }
    return false;
  }
  bool contains(const R* reactor) const {
    for (R* r : m_items)
      if (r == reactor) return true;
    return false;
  }
  AcArray<R*> live() const {
    AcArray<R*> out;
    for (R* r : m_items)
      if (r) out.append(r);
    return out;
  }
  // Calls call(reactor) for each reactor; stops early when it returns false.
  template <class F>
  void notify(F&& call) {
    Iteration scope(*this);
    const size_t n = m_items.size();
    for (size_t i = 0; i < n; ++i) {
      R* r = m_items[i];
      if (r != nullptr && !callOne(call, r)) return;
    }
  }

 private:
  template <class F>
  static bool callOne(F& call, R* r) {
    if constexpr (std::is_same_v<decltype(call(r)), bool>) {
      return call(r);
    } else {
      call(r);
      return true;
    }
  }
  struct Iteration {
    explicit Iteration(ReactorList& l) : list(l) { ++list.m_nIterating; }
    ~Iteration() {
      if (--list.m_nIterating == 0 && list.m_bHoles) {
        std::vector<R*>& v = list.m_items;
        v.erase(std::remove(v.begin(), v.end(), nullptr), v.end());
        list.m_bHoles = false;
      }
    }
    ReactorList& list;
  };
  std::vector<R*> m_items;
  int m_nIterating = 0;
  bool m_bHoles = false;
};

}  // namespace kvhost
