// What a fan-out shows a slice listener (the timeline of a session): the
// fan-out and each client call in it, as slices named after the
// notification. The fan-out loop is written once, for both cases: while
// nobody listens it runs with slices that do nothing and look nothing up.
#pragma once
#include <typeinfo>
#include <KvTrace.h>

inline bool kovaSlicesHeard() { return KvTrace::g_pSliceBegin != nullptr; }

template <bool Heard>
struct KOVAFanOutSlices {
  struct FanOut {
    explicit FanOut(const char*) {}
  };
  struct ClientCall {
    template <class C>
    ClientCall(const char*, C*) {}
  };
};

template <>
struct KOVAFanOutSlices<true> {
  class FanOut {
   public:
    explicit FanOut(const char* name) : m_slice("fan-out", name, nullptr) {}

   private:
    KvSliceScope m_slice;
  };
  // Named after the notification, for the client's class.
  class ClientCall {
   public:
    template <class C>
    ClientCall(const char* name, C* client) : m_slice("client", name, typeid(*client).name()) {}

   private:
    KvSliceScope m_slice;
  };
};
