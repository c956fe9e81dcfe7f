// Everything the session prints, in order: as text or as JSON lines, and
// on the timeline when there is one.
#pragma once
#include <kvhost.h>
#include <string>
#include <vector>
#include "timeline.h"

class Output {
 public:
  Output(bool json, Timeline* timeline) : m_bJson(json), m_pTimeline(timeline) {}

  // kind: "statement" (a statement played), "journal" (a host journal
  // line), "client" (a journal line a client wrote, or a client's failure),
  // "hub", "kovahost" or "state".
  void line(const std::string& text, const char* kind);
  void journal(const std::wstring& wide);
  // What the hub tells of itself: its filter flag and the slices it runs.
  void filterFlagChanged(bool on);
  void sliceBegin(const char* kind, const char* name, const char* who);
  void sliceEnd();
  // A client call that threw, caught by the hub's guard in function.
  void clientFailed(const kvhost::ClientFailure& failure, const std::wstring& function);
  int clientFailures() const { return m_nClientFailures; }
  // The first, as FILE:LINE: client failed: WHO: WHAT.
  const std::string& firstClientFailure() const { return m_firstClientFailure; }
  // Errors go to the standard error; with --json also here, as objects,
  // and onto the timeline.
  void error(const std::string& message);
  // With --json, a fault as a line of kind error naming the client call it
  // struck in; the timeline hears of it apart.
  void fault(const std::string& message);

  // A new statement names no entity until setHandle says which.
  void setLocation(const std::string& at) {
    m_at = at;
    m_handle.clear();
  }
  // The entity the statement names or made, in hex, for the lines it prints.
  void setHandle(const std::string& handle) { m_handle = handle; }
  // The statement being played, as FILE:LINE (empty between statements).
  const char* location() const { return m_at.c_str(); }
  // The client call running now, as the fault report names it ("" for none).
  const char* clientInFlight() const { return m_clients.empty() ? "" : m_clients.back().described.c_str(); }
  Timeline* timeline() { return m_pTimeline; }
  // Folders the session made, named when a fault leaves them behind.
  void folderMade(const std::string& dir) { m_folders.push_back(dir); }
  const std::vector<std::string>& foldersMade() const { return m_folders; }

 private:
  // A client call of the hub; class and module empty for the hub's own slices.
  struct Call {
    std::string clientClass, module, notification, described;
  };
  // The client call running now; null for none, or the hub's own slice.
  const Call* clientCall() const;
  void emit(const std::string& text, const char* kind, const Call* call);
  void printJson(const std::string& text, const char* kind, const Call* call);

  bool m_bJson;
  Timeline* m_pTimeline;
  long m_nSeq = 0;
  int m_nClientFailures = 0;
  std::string m_at, m_handle, m_firstClientFailure;
  std::vector<Call> m_clients;
  std::vector<std::string> m_folders;
};
