// The session's output.
#include "output.h"
#include <KvTrace.h>
#include <cstdio>
#include <cstring>
#include <map>
#include "json.h"

using kvhost::toUtf8;

namespace {

struct Client {
  std::string clientClass, module;
};

// The client's class and the module that holds its code, from the type's
// mangled name, which lies in that module.
const Client& clientOf(const char* mangled) {
  static std::map<std::string, Client> known;
  auto it = known.find(mangled);
  if (it != known.end()) return it->second;
  return known[mangled] = {KvTrace::clientClassName(mangled), toUtf8(kvhost::moduleHolding(mangled))};
}

std::string field(const char* name, const std::string& value) {
  return value.empty() ? "" : std::string(",\"") + name + "\":" + jsonString(value);
}

// How a message names a client: "TraceEditorClient of TraceClient.arx in commandEnded".
std::string described(const std::string& clientClass, const std::string& module, const std::string& notification) {
  std::string text = clientClass.empty() ? "a client" : clientClass;
  if (!module.empty()) text += " of " + module;
  if (!notification.empty()) text += " in " + notification;
  return text;
}

}  // namespace

const Output::Call* Output::clientCall() const {
  return m_clients.empty() || m_clients.back().clientClass.empty() ? nullptr : &m_clients.back();
}

void Output::line(const std::string& text, const char* kind) { emit(text, kind, clientCall()); }

void Output::printJson(const std::string& text, const char* kind, const Call* call) {
  AcApDocument* doc = acDocManagerPtr()->curDocument();
  std::string json = field("at", m_at) + field("drawing", doc ? toUtf8(doc->fileName()) : "") + field("handle", m_handle);
  if (call) json += field("module", call->module) + field("class", call->clientClass) + field("notification", call->notification);
  std::printf("{\"seq\":%ld,\"kind\":\"%s\",\"event\":%s%s}\n", m_nSeq++, kind, jsonString(text).c_str(), json.c_str());
}

void Output::emit(const std::string& text, const char* kind, const Call* call) {
  if (m_bJson)
    printJson(text, kind, call);
  else
    std::printf("%s\n", text.c_str());
  if (m_pTimeline && std::strcmp(kind, "statement") != 0) m_pTimeline->instant(text, kind);
}

void Output::fault(const std::string& message) {
  if (!m_bJson) return;
  printJson(message, "error", clientCall());
  std::fflush(stdout);
}

void Output::journal(const std::wstring& wide) {
  std::string text = toUtf8(wide);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  line(text, clientCall() ? "client" : "journal");
}

void Output::filterFlagChanged(bool on) {
  line(on ? "hub: filter flag set (database notifications held back)" : "hub: filter flag cleared", "hub");
  if (m_pTimeline) m_pTimeline->counter("filter flag", on ? 1 : 0);
}

void Output::sliceBegin(const char* kind, const char* name, const char* who) {
  Call call;
  if (std::strcmp(kind, "client") == 0 && who) {
    const Client& client = clientOf(who);
    call = {client.clientClass, client.module, name, described(client.clientClass, client.module, name)};
  }
  m_clients.push_back(call);
  if (m_pTimeline == nullptr) return;
  if (call.clientClass.empty())
    m_pTimeline->begin(name, kind, "");
  else
    m_pTimeline->begin(call.clientClass + " (" + call.module + ")", "client",
                       "\"notification\":" + jsonString(name) + ",\"module\":" + jsonString(call.module) +
                           ",\"class\":" + jsonString(call.clientClass));
}

void Output::sliceEnd() {
  if (!m_clients.empty()) m_clients.pop_back();
  if (m_pTimeline) m_pTimeline->end();
}

void Output::clientFailed(const kvhost::ClientFailure& failure, const std::wstring& function) {
  const Call call{toUtf8(failure.clientClass), toUtf8(failure.module), toUtf8(failure.notification), ""};
  const std::string what = described(call.clientClass, call.module, call.notification) + ": " + toUtf8(failure.message);
  if (m_nClientFailures++ == 0) m_firstClientFailure = (m_at.empty() ? "" : m_at + ": ") + "client failed: " + what;
  emit("client failed: " + what + (m_at.empty() ? "" : " at " + m_at) + " (caught by the hub's guard in " +
           toUtf8(function) + ")",
       "client", &call);
}

void Output::error(const std::string& message) {
  if (m_bJson)
    line(message, "error");
  else if (m_pTimeline)
    m_pTimeline->instant(message, "error");
}
