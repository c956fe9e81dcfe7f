// The session's output.
#include "output.h"
#include <cxxabi.h>
#include <kvhost.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include "json.h"

namespace {

// The client's class as a reader knows it, from the mangled type name.
std::string clientName(const char* mangled) {
  static std::map<const char*, std::string> known;
  auto it = known.find(mangled);
  if (it != known.end()) return it->second;
  int status = 0;
  char* plain = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string name = status == 0 && plain ? plain : mangled;
  std::free(plain);
  const std::string anonymous = "(anonymous namespace)::";
  for (size_t at; (at = name.find(anonymous)) != std::string::npos;) name.erase(at, anonymous.size());
  return known[mangled] = name;
}

}  // namespace

void Output::line(const std::string& text, const char* kind) {
  if (m_bJson) {
    std::string json = "{\"seq\":" + std::to_string(m_nSeq++) + ",\"kind\":\"" + kind + "\",\"event\":" + jsonString(text);
    if (!m_at.empty()) json += ",\"at\":" + jsonString(m_at);
    if (!m_clients.empty() && !m_clients.back().empty()) json += ",\"client\":" + jsonString(m_clients.back());
    std::printf("%s}\n", json.c_str());
  } else {
    std::printf("%s\n", text.c_str());
  }
  if (m_pTimeline && std::strcmp(kind, "script") != 0) m_pTimeline->instant(text, kind);
}

void Output::journal(const std::wstring& wide) {
  std::string text = kvhost::toUtf8(wide);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  line(text, "journal");
}

void Output::filterFlagChanged(bool on) {
  line(on ? "hub: filter flag set (database notifications held back)" : "hub: filter flag cleared", "hub");
  if (m_pTimeline) m_pTimeline->counter("filter flag", on ? 1 : 0);
}

void Output::sliceBegin(const char* kind, const char* name, const char* who) {
  bool client = std::strcmp(kind, "client") == 0;
  m_clients.push_back(client && who ? clientName(who) : std::string());
  if (m_pTimeline == nullptr) return;
  if (client)
    m_pTimeline->begin(m_clients.back(), "client", "\"notification\":" + jsonString(name));
  else
    m_pTimeline->begin(name, kind, "");
}

void Output::sliceEnd() {
  if (!m_clients.empty()) m_clients.pop_back();
  if (m_pTimeline) m_pTimeline->end();
}

void Output::error(const std::string& message) {
  if (m_bJson) line(message, "error");
}
