// kovahost: plays a session script in the host with the hub loaded and
// prints, in order, what the host did and what every client heard.
#include <kvhost.h>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: kovahost [--json] SCRIPT\n"
    "\n"
    "Plays SCRIPT in the host stand-in with KOVANotification10.arx loaded and\n"
    "prints every line of the host's journal as it happens: modules loaded,\n"
    "reactors attached, commands, redraws, posted undo steps, and what the\n"
    "client modules heard (lines starting with their own names).\n"
    "\n"
    "A script has one statement a line; '#' starts a comment.\n"
    "  load FILE | unload FILE          load or unload a module (.arx)\n"
    "  new NAME | open FILE | close NAME | activate NAME\n"
    "  save NAME FILE                   save a drawing (DXF when FILE ends in .dxf)\n"
    "  line X1 Y1 X2 Y2 | circle X Y R | text X Y WORDS...   add to the current drawing\n"
    "  color HANDLE N | layer HANDLE NAME | erase HANDLE | unerase HANDLE\n"
    "  command NAME ... end             run a command whose body is the lines up to 'end'\n"
    "  cancel                           (inside a command) cancel it\n"
    "  exec TEXT                        type TEXT on the command line, e.g. exec _UNDO 1\n"
    "  modeless CONTEXT ... end         work done outside any command\n"
    "  pick HANDLE...                   set the pickfirst selection (none: empty it)\n"
    "  lock NAME | unlock NAME          lock a drawing for write, or release it\n"
    "  setvar NAME VALUE                set a system variable\n"
    "  state                            print every drawing and its entities\n"
    "Handles are the hexadecimal handles the host prints when an entity is added.\n"
    "\n"
    "Example:\n"
    "  load TraceClient.arx\n"
    "  new plan\n"
    "  command DRAW\n"
    "    line 0 0 10 0\n"
    "  end\n"
    "  exec _UNDO 1\n"
    "  state\n";

struct ScriptError {
  std::string message;
};

std::wstring widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }
std::string narrowText(const std::wstring& s) {
  std::string out;
  for (wchar_t c : s) out += c < 128 ? static_cast<char>(c) : '?';
  return out;
}

std::string jsonEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

class Player {
 public:
  Player(std::string file, std::vector<std::string> lines) : m_file(std::move(file)), m_lines(std::move(lines)) {}

  void run() { runBlock(0, m_lines.size()); }

 private:
  [[noreturn]] void fail(size_t index, const std::string& what) const {
    throw ScriptError{m_file + ":" + std::to_string(index + 1) + ": " + what};
  }

  static std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line.substr(0, line.find('#')));
    for (std::string w; in >> w;) out.push_back(w);
    return out;
  }

  // The line of the 'end' that closes the block opened at index.
  size_t blockEnd(size_t index, size_t limit) const {
    int depth = 0;
    for (size_t i = index + 1; i < limit; ++i) {
      std::vector<std::string> w = words(m_lines[i]);
      if (w.empty()) continue;
      if (w[0] == "command" || w[0] == "modeless") ++depth;
      if (w[0] == "end" && depth-- == 0) return i;
    }
    fail(index, "'" + words(m_lines[index])[0] + "' without 'end'");
  }

  void runBlock(size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
      std::vector<std::string> w = words(m_lines[i]);
      if (w.empty()) continue;
      if (w[0] == "command" || w[0] == "modeless") {
        if (w.size() != 2) fail(i, w[0] + " takes one name");
        size_t end = blockEnd(i, to);
        auto body = [this, i, end] { runBlock(i + 1, end); };
        if (w[0] == "command")
          kvhost::runCommand(widen(w[1]), body);
        else
          kvhost::modelessOperation(widen(w[1]), body);
        i = end;
        continue;
      }
      statement(i, w);
    }
  }

  AcApDocument* current(size_t i) const {
    AcApDocument* doc = acDocManagerPtr()->curDocument();
    if (doc == nullptr) fail(i, "no drawing is open");
    return doc;
  }

  AcApDocument* drawing(size_t i, const std::string& name) const {
    AcApDocument* doc = kvhost::findDocument(widen(name));
    if (doc == nullptr) fail(i, "no drawing named " + name);
    return doc;
  }

  double number(size_t i, const std::string& text) const {
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != 0) fail(i, "not a number: " + text);
    return value;
  }

  AcDbObjectId entity(size_t i, const std::string& handleText) const {
    char* end = nullptr;
    unsigned long long handle = std::strtoull(handleText.c_str(), &end, 16);
    if (end == handleText.c_str() || *end != 0) fail(i, "not a handle: " + handleText);
    AcDbObjectIdArray all = current(i)->database()->objectIds(true);
    for (const AcDbObjectId& id : all)
      if (id.handle() == handle) return id;
    fail(i, "no object with handle " + handleText + " in the current drawing");
  }

  void expect(size_t i, const std::vector<std::string>& w, size_t n, const char* shape) const {
    if (w.size() != n) fail(i, std::string("expected: ") + shape);
  }

  void added(size_t i, AcDbObjectId id) const {
    if (id.isNull()) fail(i, "the entity could not be added");
  }

  void statement(size_t i, const std::vector<std::string>& w) {
    const std::string& op = w[0];
    if (op == "load" || op == "unload") {
      expect(i, w, 2, "load|unload FILE");
      bool ok = op == "load" ? kvhost::loadModule(widen(w[1])) : kvhost::unloadModule(widen(w[1]));
      if (!ok) fail(i, narrowText(kvhost::lastModuleError()));
    } else if (op == "new") {
      expect(i, w, 2, "new NAME");
      kvhost::newDocument(widen(w[1]));
    } else if (op == "open") {
      expect(i, w, 2, "open FILE");
      Acad::ErrorStatus es = Acad::eOk;
      if (kvhost::openDocument(widen(w[1]), &es) == nullptr)
        fail(i, "cannot open " + w[1] + " (status " + std::to_string(es) + ")");
    } else if (op == "close") {
      expect(i, w, 2, "close NAME");
      kvhost::closeDocument(drawing(i, w[1]));
    } else if (op == "activate") {
      expect(i, w, 2, "activate NAME");
      kvhost::activateDocument(drawing(i, w[1]));
    } else if (op == "save") {
      expect(i, w, 3, "save NAME FILE");
      if (kvhost::saveDocument(drawing(i, w[1]), widen(w[2])) != Acad::eOk) fail(i, "cannot save to " + w[2]);
    } else if (op == "line") {
      expect(i, w, 5, "line X1 Y1 X2 Y2");
      added(i, kvhost::addEntity(current(i), new AcDbLine(AcGePoint3d(number(i, w[1]), number(i, w[2]), 0),
                                                          AcGePoint3d(number(i, w[3]), number(i, w[4]), 0))));
    } else if (op == "circle") {
      expect(i, w, 4, "circle X Y R");
      double r = number(i, w[3]);
      if (r <= 0) fail(i, "a circle needs a positive radius");
      added(i, kvhost::addEntity(current(i), new AcDbCircle(AcGePoint3d(number(i, w[1]), number(i, w[2]), 0), r)));
    } else if (op == "text") {
      if (w.size() < 4) fail(i, "expected: text X Y WORDS...");
      std::string words;
      for (size_t k = 3; k < w.size(); ++k) words += (k > 3 ? " " : "") + w[k];
      added(i, kvhost::addEntity(current(i), new AcDbText(AcGePoint3d(number(i, w[1]), number(i, w[2]), 0),
                                                          widen(words).c_str())));
    } else if (op == "color" || op == "layer") {
      expect(i, w, 3, "color HANDLE N | layer HANDLE NAME");
      AcDbObjectId id = entity(i, w[1]);
      std::wstring value = widen(w[2]);
      double color = op == "color" ? number(i, w[2]) : 0;
      Acad::ErrorStatus es = kvhost::modifyObject(id, [&](AcDbObject* obj) {
        AcDbEntity* ent = AcDbEntity::cast(obj);
        if (ent == nullptr) return;
        if (op == "color")
          ent->setColorIndex(static_cast<Adesk::UInt16>(color));
        else
          ent->setLayer(value.c_str());
      });
      if (es != Acad::eOk) fail(i, "cannot change " + w[1] + " (status " + std::to_string(es) + ")");
    } else if (op == "erase" || op == "unerase") {
      expect(i, w, 2, "erase|unerase HANDLE");
      Acad::ErrorStatus es = kvhost::eraseObject(entity(i, w[1]), op == "erase");
      if (es != Acad::eOk) fail(i, "cannot " + op + " " + w[1] + " (status " + std::to_string(es) + ")");
    } else if (op == "cancel") {
      throw kvhost::CommandCancelled{};
    } else if (op == "exec") {
      if (w.size() < 2) fail(i, "expected: exec TEXT");
      std::string text;
      for (size_t k = 1; k < w.size(); ++k) text += (k > 1 ? " " : "") + w[k];
      kvhost::executeString(widen(text));
    } else if (op == "pick") {
      AcDbObjectIdArray ids;
      for (size_t k = 1; k < w.size(); ++k) ids.append(entity(i, w[k]));
      kvhost::setPickfirst(ids);
    } else if (op == "lock") {
      expect(i, w, 2, "lock NAME");
      acDocManagerPtr()->lockDocument(drawing(i, w[1]), AcAp::kWrite, L"SCRIPT");
    } else if (op == "unlock") {
      expect(i, w, 2, "unlock NAME");
      acDocManagerPtr()->unlockDocument(drawing(i, w[1]));
    } else if (op == "setvar") {
      expect(i, w, 3, "setvar NAME VALUE");
      kvhost::setSysVar(widen(w[1]), widen(w[2]));
    } else if (op == "state") {
      printState();
    } else {
      fail(i, "unknown statement '" + op + "'");
    }
  }

  static void printState() {
    for (AcApDocument* doc : kvhost::documents()) {
      kvhost::writeJournal(std::wstring(L"state: drawing ") + doc->fileName());
      for (const AcDbObjectId& id : kvhost::entities(doc)) {
        AcDbEntityPointer ent(id, AcDb::kForRead);
        if (!ent) continue;
        wchar_t line[256];
        swprintf(line, 256, L"state:   %llX %ls layer=%ls color=%d", static_cast<unsigned long long>(id.handle()),
                 ent->isA()->name(), ent->layer(), static_cast<int>(ent->colorIndex()));
        kvhost::writeJournal(line);
      }
    }
  }

  std::string m_file;
  std::vector<std::string> m_lines;
};

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  std::string script;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--json") {
      json = true;
    } else if (script.empty()) {
      script = arg;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (script.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::ifstream in(script);
  if (!in) {
    std::fprintf(stderr, "kovahost: cannot read %s\n", script.c_str());
    return 2;
  }
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);

  long sequence = 0;
  kvhost::setJournalListener([&](const std::wstring& line) {
    std::string text = narrowText(line);
    if (json)
      std::printf("{\"seq\":%ld,\"event\":\"%s\"}\n", sequence++, jsonEscape(text).c_str());
    else
      std::printf("%s\n", text.c_str());
  });
  int status = 0;
  try {
    if (!kvhost::loadModule(L"KOVANotification10.arx"))
      throw ScriptError{"cannot load the hub: " + narrowText(kvhost::lastModuleError())};
    Player(script, lines).run();
  } catch (const ScriptError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "kovahost: %s\n", e.message.c_str());
    status = 1;
  } catch (const kvhost::CommandCancelled&) {
    std::fprintf(stderr, "kovahost: %s: 'cancel' outside a command\n", script.c_str());
    status = 1;
  }
  // The session ends as the host's does: drawings closed, modules unloaded.
  kvhost::quit();
  return status;
}
