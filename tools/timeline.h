// The session as a timeline in the Trace Event Format: the statements, the
// hub's fan-outs and its client calls are nested slices, journal lines are
// instants, and the filter flag is a counter. Events go to the file as they
// happen, so that a session that faults still leaves its timeline.
#pragma once
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

class Timeline {
 public:
  Timeline(const std::string& file, const std::string& script);
  ~Timeline();
  Timeline(const Timeline&) = delete;
  Timeline& operator=(const Timeline&) = delete;

  bool isOpen() const { return m_pFile != nullptr; }
  void begin(const std::string& name, const char* category, const std::string& args);
  void end();
  void instant(const std::string& name, const char* category);
  void counter(const char* name, int value);
  // An instant that tells of a fault: text is written as it is, without
  // what JSON would need escaped, and nothing is allocated.
  void fault(const char* text);
  // Ends every slice still open and the document. It allocates nothing, so
  // that it also serves after a fault; false when the file could not be written.
  bool finish();

 private:
  double now();
  const char* separator() { return m_nEvents++ == 0 ? "\n" : ",\n"; }
  void put(const std::string& event) { std::fprintf(m_pFile, "%s%s", separator(), event.c_str()); }
  void add(const char* phase, const std::string& name, const char* category, const std::string& rest);

  std::FILE* m_pFile;
  std::chrono::steady_clock::time_point m_start;
  double m_last = 0;
  long m_nEvents = 0;
  std::vector<std::string> m_open;
};
