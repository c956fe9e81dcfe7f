// Everything the session prints, in order: as text or as JSON lines, and
// on the timeline when there is one.
#pragma once
#include <string>
#include <vector>
#include "timeline.h"

class Output {
 public:
  Output(bool json, Timeline* timeline) : m_bJson(json), m_pTimeline(timeline) {}

  // kind: "script" (a statement played), "journal" (a host journal line,
  // including what clients wrote), "hub", "kovahost" or "state".
  void line(const std::string& text, const char* kind);
  void journal(const std::wstring& wide);
  // What the hub tells of itself: its filter flag and the slices it runs.
  void filterFlagChanged(bool on);
  void sliceBegin(const char* kind, const char* name, const char* who);
  void sliceEnd();
  // Errors go to the standard error; with --json also here, as objects.
  void error(const std::string& message);

  void setLocation(const std::string& at) { m_at = at; }
  // The statement being played, as FILE:LINE (empty between statements).
  const char* location() const { return m_at.c_str(); }
  Timeline* timeline() { return m_pTimeline; }

 private:
  bool m_bJson;
  Timeline* m_pTimeline;
  long m_nSeq = 0;
  std::string m_at;
  std::vector<std::string> m_clients;
};
