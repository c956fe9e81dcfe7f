// The session's timeline file.
#include "timeline.h"
#include <algorithm>
#include "environment.h"
#include "json.h"

Timeline::Timeline(const std::string& file, const std::string& script)
    : m_pFile(openForWriting(file)), m_start(std::chrono::steady_clock::now()) {
  if (m_pFile == nullptr) return;
  std::fputs("{\"displayTimeUnit\":\"ms\",\"traceEvents\":[", m_pFile);
  put(R"({"name":"process_name","ph":"M","pid":1,"tid":1,"args":{"name":)" + jsonString("kovahost " + script) + "}}");
  put(R"({"name":"thread_name","ph":"M","pid":1,"tid":1,"args":{"name":"host main thread"}})");
}

Timeline::~Timeline() {
  if (m_pFile) std::fclose(m_pFile);
}

void Timeline::begin(const std::string& name, const char* category, const std::string& args) {
  m_open.push_back(jsonString(name));
  add("B", m_open.back(), category, args.empty() ? "" : ",\"args\":{" + args + "}");
}

void Timeline::end() {
  if (m_open.empty()) return;
  add("E", m_open.back(), nullptr, "");
  m_open.pop_back();
}

void Timeline::instant(const std::string& name, const char* category) {
  add("i", jsonString(name), category, ",\"s\":\"t\"");
}

void Timeline::counter(const char* name, int value) {
  add("C", jsonString(name), nullptr, ",\"args\":{\"on\":" + std::to_string(value) + "}");
}

void Timeline::fault(const char* text) {
  if (m_pFile == nullptr) return;
  std::fprintf(m_pFile, "%s{\"name\":\"", separator());
  for (const char* c = text; *c; ++c)
    if (*c != '"' && *c != '\\' && static_cast<unsigned char>(*c) >= 0x20) std::fputc(*c, m_pFile);
  std::fprintf(m_pFile, "\",\"ph\":\"i\",\"ts\":%.3f,\"pid\":1,\"tid\":1,\"cat\":\"fault\",\"s\":\"t\"}", now());
}

bool Timeline::finish() {
  if (m_pFile == nullptr) return false;
  for (size_t i = m_open.size(); i-- > 0;) add("E", m_open[i], nullptr, "");
  std::fputs("\n]}\n", m_pFile);
  return std::fflush(m_pFile) == 0 && !std::ferror(m_pFile);
}

// Microseconds, strictly increasing, so that no two events tie.
double Timeline::now() {
  double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - m_start).count();
  m_last = std::max(us, m_last + 0.001);
  return m_last;
}

// name: already a JSON string.
void Timeline::add(const char* phase, const std::string& name, const char* category, const std::string& rest) {
  std::fprintf(m_pFile, "%s{\"name\":%s,\"ph\":\"%s\",\"ts\":%.3f,\"pid\":1,\"tid\":1", separator(), name.c_str(), phase,
               now());
  if (category) std::fprintf(m_pFile, ",\"cat\":\"%s\"", category);
  std::fprintf(m_pFile, "%s}", rest.c_str());
}
