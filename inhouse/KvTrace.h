// The product line's function-entry log and crash guard.
#pragma once
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#if defined(_WIN32)
#ifdef KVINHOUSE_BUILDING
#define KV_API __declspec(dllexport)
#else
#define KV_API __declspec(dllimport)
#endif
#else
#define KV_API __attribute__((visibility("default")))
#endif

struct KvGuardFrame;
class AcEditorReactor;

namespace KvTrace {
struct LogRecord {
  const wchar_t* label;  // kept by the log (see internLabel)
  bool entering;
};
// The function-entry log's ring and the innermost guard. The guard reads and
// writes them in place, so that entering a guarded function costs a few
// stores and no call: the hub's every event passes one.
struct LogState {
  static const unsigned kCapacity = 1024;
  LogRecord ring[kCapacity];
  long long count;
  KvGuardFrame* innermost;
  bool faultHandlersInstalled;
  void record(const wchar_t* label, bool entering) {
    ring[static_cast<unsigned long long>(count) % kCapacity] = {label, entering};
    ++count;
  }
};
KV_API extern LogState g_log;
// The crash guard's fault handlers: a fault outside any guarded call goes on
// to the handler that was there before; that one is put back, with the
// alternate signal stack, when this library is unloaded.
KV_API void installFaultHandlers();
KV_API void removeFaultHandlers();
// A copy of label that lives as long as the log, so that entries stay
// readable after the module that wrote them is unloaded; the same text
// gives the same copy.
KV_API const wchar_t* internLabel(const wchar_t* label);
}  // namespace KvTrace

// A scoped record of entering a function; the log keeps the most recent ones.
// The label must live as long as the log: a literal of the program or of
// this library, or what KvTrace::internLabel returned.
class KV_API CKvLogEntry {
 public:
  explicit CKvLogEntry(const wchar_t* label) : m_label(label) { KvTrace::g_log.record(label, true); }
  virtual ~CKvLogEntry() { KvTrace::g_log.record(m_label, false); }
  CKvLogEntry(const CKvLogEntry&) = delete;
  CKvLogEntry& operator=(const CKvLogEntry&) = delete;

 private:
  const wchar_t* m_label;
};

// Reports a fault caught by the guard: where the guard stands and what was caught.
class KV_API CKvCrashHandler {
 public:
  CKvCrashHandler(const wchar_t* sourceFile, int line);
  virtual ~CKvCrashHandler();
  static long long mov_rax_0() { return 0; }
};

struct KvCrashReport {
  std::wstring sourceFile;
  int line;
  std::wstring function;  // the innermost function entry open at the fault
  std::wstring what;
};

namespace KvTrace {
// The most recent function entries, oldest first ("enter X" / "leave X").
KV_API std::vector<std::wstring> recentEntries(size_t count = 64);
KV_API long long entryCount();
KV_API const std::vector<KvCrashReport>& crashReports();
KV_API void clearCrashReports();
// Called for every crash report as it is made (null to stop).
KV_API void setCrashListener(std::function<void(const KvCrashReport&)> listener);

// An optional listener to event slices, for tools that draw a session as a
// timeline. A slice begins, other slices may nest in it, and it ends.
// kind says what runs (the "handling" of a notification that does more
// than forward it, the "fan-out" of one notification, or one "client"
// call), name the notification, who the client's type (mangled) or null.
typedef void (*SliceBegin)(const char* kind, const char* name, const char* who);
typedef void (*SliceEnd)();
// Both null to stop listening.
KV_API void setSliceListener(SliceBegin begin, SliceEnd end);
// A client's class as its author wrote it, from its mangled type name
// (anonymous namespaces left out); the same text for the same name.
KV_API const std::string& clientClassName(const char* mangled);
// The listener, read in place by the slice scopes: while none is set, a
// scope costs one test of a pointer.
KV_API extern SliceBegin g_pSliceBegin;
KV_API extern SliceEnd g_pSliceEnd;

// What the hub offers a program that plays sessions in the host (a script
// player) while the hub runs, from its initialisation to its unload. The
// program cannot link the hub, which must leave the process when the host
// unloads it, so it reaches the hub through here.
struct HubServices {
  void (*addEditorClient)(AcEditorReactor* client);
  void (*removeEditorClient)(AcEditorReactor* client);
  // Asks for the running command's drawing to be rolled back when it ends.
  bool (*requestRollback)();
};
// An optional listener to the hub's own doings: it starts running (the
// services) or stops (null), and its filter flag changes.
struct HubListener {
  void (*running)(const HubServices* services);
  void (*filterFlagChanged)(bool on);
};
// Null to stop listening.
KV_API void setHubListener(const HubListener* listener);
// Called by the hub; they tell the listener, if there is one.
KV_API void hubRunning(const HubServices* services);
KV_API void filterFlagChanged(bool on);
}  // namespace KvTrace

// One slice for the scope's lifetime, also when it is left by an exception.
// Callers test KvTrace::g_pSliceBegin first, so that they work out the
// slice's name only while somebody listens.
class KvSliceScope {
 public:
  KvSliceScope(const char* kind, const char* name, const char* who) : m_end(KvTrace::g_pSliceEnd) {
    if (KvTrace::SliceBegin begin = KvTrace::g_pSliceBegin) begin(kind, name, who);
  }
  ~KvSliceScope() {
    if (m_end) m_end();
  }
  KvSliceScope(const KvSliceScope&) = delete;
  KvSliceScope& operator=(const KvSliceScope&) = delete;

 private:
  KvTrace::SliceEnd m_end;
};

// What the guard remembers of the guarded call it is in, for reports of
// faults that no exception can carry (a hardware fault ends the process).
struct KvGuardFrame {
  KvGuardFrame(const wchar_t* l, const wchar_t* file, int n)
      : label(l), sourceFile(file), line(n), outer(KvTrace::g_log.innermost) {
    if (!KvTrace::g_log.faultHandlersInstalled) KvTrace::installFaultHandlers();
    KvTrace::g_log.innermost = this;
    // The fault handler reads it: the store may be neither dropped nor
    // moved past the guarded body, whatever the body does.
    std::atomic_signal_fence(std::memory_order_seq_cst);
  }
  ~KvGuardFrame() {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    KvTrace::g_log.innermost = outer;
  }
  KvGuardFrame(const KvGuardFrame&) = delete;
  KvGuardFrame& operator=(const KvGuardFrame&) = delete;
  const wchar_t* label;
  const wchar_t* sourceFile;
  int line;
  KvGuardFrame* outer;
};

KV_API void kvRecordCaughtException(const wchar_t* sourceFile, int line);

// Runs body under the function-entry log and the crash guard, the label
// kept as CKvLogEntry keeps it: a C++ exception is reported with the
// guard's source file and line and the call returns the zero of its result
// type (0, false, null). A hardware fault is reported the same way, handed
// to the process's own handler, and then ends the process: its state can no
// longer be trusted.
template <class F>
auto kvGuarded(const wchar_t* label, const wchar_t* sourceFile, int line, F&& body) -> decltype(body()) {
  using Result = decltype(body());
  KvGuardFrame frame(label, sourceFile, line);
  try {
    CKvLogEntry entry(label);
    return body();
  } catch (...) {
    kvRecordCaughtException(sourceFile, line);
    return Result();
  }
}

// The log's copy of a literal label, made the first time the place runs.
#define KV_LABEL(text)                                                     \
  ([]() -> const wchar_t* {                                                \
    static const wchar_t* const s_label = KvTrace::internLabel(text);      \
    return s_label;                                                        \
  }())

// Wraps the body of a function: return KV_GUARDED(L"Class::function", [&] { ... });
// The including file defines KV_SOURCE_FILE, its name as a wide string.
#define KV_GUARDED(label, body) kvGuarded(KV_LABEL(label), KV_SOURCE_FILE, __LINE__, body)
