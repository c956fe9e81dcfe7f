// The command processor: commands run inside an undo group and a document
// lock, raise their notifications, may nest (transparent commands), and
// strings queued for the command line run once the outermost command and
// the notification that queued them have returned.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cwctype>
#include <deque>
#include <map>
#include <stdexcept>
#include "common/journal.h"
#include "database/dbinternal.h"
#include "docman/docinternal.h"
#include "editor/edinternal.h"

namespace kvhost {
namespace {

// What ran, for test suites. Entries are numbered from the start of the
// session, so an entry cleared while its command runs is simply not finished.
class Record {
 public:
  size_t add(CommandRecord::Kind kind, const std::wstring& text, AcApDocument* doc, int depth) {
    CommandRecord entry;
    entry.kind = kind;
    entry.text = text;
    entry.drawing = doc ? doc->fileName() : L"";
    entry.depth = depth;
    m_entries.push_back(entry);
    return m_nCleared + m_entries.size() - 1;
  }
  CommandRecord* at(size_t number) {
    return number >= m_nCleared && number - m_nCleared < m_entries.size() ? &m_entries[number - m_nCleared] : nullptr;
  }
  void finish(size_t number, CommandOutcome outcome) {
    if (CommandRecord* entry = at(number)) entry->outcome = outcome;
  }
  void clear() {
    m_nCleared += m_entries.size();
    m_entries.clear();
  }
  const std::vector<CommandRecord>& entries() const { return m_entries; }

 private:
  std::vector<CommandRecord> m_entries;
  size_t m_nCleared = 0;
};

struct PendingCommand {
  AcApDocument* doc;
  std::wstring line;
  size_t recordNumber;
};

struct CommandProcessor {
  std::map<std::wstring, CommandBody> defined;  // by upper-case name
  std::deque<PendingCommand> pending;
  int depth = 0;     // commands and modeless operations running
  int commands = 0;  // commands running
  bool draining = false;
  Record record;
};

CommandProcessor& processor() {
  static auto* p = new CommandProcessor;
  return *p;
}

// Whether one more command or modeless operation would nest too deep.
bool nestedTooDeep(const wchar_t* what, const std::wstring& name) {
  if (processor().depth < kMaxCommandNesting) return false;
  journalf(L"%ls %ls refused: nested deeper than %d", what, name.c_str(), kMaxCommandNesting);
  return true;
}

std::wstring upper(std::wstring s) {
  std::transform(s.begin(), s.end(), s.begin(), [](wchar_t c) { return std::towupper(c); });
  return s;
}

// Keeps a command's document locked and its undo group open for its run,
// whatever way the run ends.
class CommandScope {
 public:
  CommandScope(AcApDocument* doc, bool recordsUndo) : m_pDoc(doc), m_pDb(doc->database()), m_bUndo(recordsUndo) {
    ++processor().depth;
    ++processor().commands;
    if (m_bUndo) beginUndoGroup(m_pDb);
  }
  ~CommandScope() {
    if (isOpenDocument(m_pDoc)) {
      if (m_bUndo) endUndoGroup(m_pDb);
      acDocManagerPtr()->unlockDocument(m_pDoc);
    }
    --processor().commands;
    --processor().depth;
  }

 private:
  AcApDocument* m_pDoc;
  AcDbDatabase* m_pDb;
  bool m_bUndo;
};

// A database reactor's exception fails the command whose body it reached;
// one of an enclosing command's body is kept for that one.
class ClientFaultScope {
 public:
  ClientFaultScope() : m_bEnclosing(exchangeClientFault(false)) {}
  ~ClientFaultScope() { exchangeClientFault(m_bEnclosing && processor().commands > 0); }
  ClientFaultScope(const ClientFaultScope&) = delete;
  ClientFaultScope& operator=(const ClientFaultScope&) = delete;

 private:
  bool m_bEnclosing;
};

CommandOutcome runCommandBody(AcApDocument* doc, const std::wstring& name, const CommandBody& body, bool recordsUndo) {
  if (doc == nullptr || nestedTooDeep(L"command", name)) return CommandOutcome::kRefused;
  CommandOutcome outcome = CommandOutcome::kEnded;
  ClientFaultScope faults;
  {
    // The document stays open from the lock request to the last notification.
    AcApDocument::BusyScope busy(doc);
    if (acDocManagerPtr()->lockDocument(doc, AcAp::kAutoWrite, name.c_str()) != Acad::eOk) {
      journalf(L"command %ls refused: its document lock was vetoed", name.c_str());
      return CommandOutcome::kRefused;
    }
    CommandScope scope(doc, recordsUndo);
    notifyEditorReactors([&](AcEditorReactor* r) { r->commandWillStart(name.c_str()); });
    try {
      if (body) body();
      if (exchangeClientFault(false)) outcome = CommandOutcome::kFailed;
    } catch (const CommandCancelled&) {
      outcome = CommandOutcome::kCancelled;
    } catch (...) {
      outcome = CommandOutcome::kFailed;
    }
    switch (outcome) {
      case CommandOutcome::kEnded:
        notifyEditorReactors([&](AcEditorReactor* r) { r->commandEnded(name.c_str()); });
        break;
      case CommandOutcome::kCancelled:
        notifyEditorReactors([&](AcEditorReactor* r) { r->commandCancelled(name.c_str()); });
        break;
      default:
        notifyEditorReactors([&](AcEditorReactor* r) { r->commandFailed(name.c_str()); });
        break;
    }
  }
  return outcome;
}

CommandOutcome runCommandIn(AcApDocument* doc, const std::wstring& name, const CommandBody& body, bool recordsUndo) {
  CommandProcessor& p = processor();
  const size_t entry = p.record.add(CommandRecord::Kind::kCommand, name, doc, p.commands);
  CommandOutcome outcome = runCommandBody(doc, name, body, recordsUndo);
  p.record.finish(entry, outcome);
  if (p.depth == 0) runPendingCommands();
  return outcome;
}

// The number of steps an UNDO is given: a whole number from 0 up, nothing else.
bool parseSteps(const std::wstring& text, int& steps) {
  errno = 0;
  wchar_t* end = nullptr;
  long value = std::wcstol(text.c_str(), &end, 10);
  while (end && std::iswspace(*end)) ++end;
  if (end == text.c_str() || (end && *end) || errno == ERANGE || value < 0 || value > INT_MAX) return false;
  steps = static_cast<int>(value);
  return true;
}

// steps < 0: the argument was not a number of steps, and the command fails
// having undone nothing.
CommandOutcome runUndo(AcApDocument* doc, const std::wstring& name, int steps) {
  return runCommandIn(doc, name, [&] {
    if (steps < 0) throw std::runtime_error("UNDO needs a number of steps");
    AcDbDatabase* db = doc->database();
    notifyEditorReactors([&](AcEditorReactor* r) { r->undoSubcommandNumber(0, steps); });
    int undone = 0;
    while (undone < steps && undoLastGroup(db)) ++undone;
    CommandProcessor& p = processor();
    if (CommandRecord* step = p.record.at(p.record.add(CommandRecord::Kind::kUndoStep, name, doc, p.commands))) {
      step->stepsAsked = steps;
      step->groupsUndone = undone;
    }
    journalf(L"undo %d: %d undone in %ls", steps, undone, doc->fileName());
    notifyEditorReactors([&](AcEditorReactor* r) { r->undoSubcommandNumber(1, steps); });
  }, false);
}

}  // namespace

CommandOutcome runCommand(const std::wstring& name, const CommandBody& body) {
  return runCommandIn(acDocManagerPtr()->curDocument(), name, body, true);
}

void defineCommand(const std::wstring& name, const CommandBody& body) { processor().defined[upper(name)] = body; }

CommandOutcome executeString(const std::wstring& text) {
  std::wstring line = text;
  while (!line.empty() && (std::iswspace(line.back()) || line.back() == L'\n')) line.pop_back();
  size_t start = line.find_first_not_of(L" \t");
  if (start == std::wstring::npos) return CommandOutcome::kUnknown;
  line = line.substr(start);
  while (!line.empty() && (line[0] == L'_' || line[0] == L'.')) line.erase(0, 1);
  size_t space = line.find(L' ');
  std::wstring name = upper(line.substr(0, space));
  std::wstring args = space == std::wstring::npos ? L"" : line.substr(space + 1);
  AcApDocument* doc = acDocManagerPtr()->curDocument();

  if (name == L"UNDO" || name == L"U") {
    int steps = 1;
    if (name == L"UNDO" && !args.empty() && !parseSteps(args, steps)) {
      journalf(L"UNDO: '%ls' is not a number of steps", args.c_str());
      steps = -1;
    }
    return runUndo(doc, name, steps);
  }
  if (name == L"SAVE" || name == L"QSAVE" || name == L"SAVEAS") {
    return runCommandIn(doc, name, [&] {
      // Without a name, the file the drawing was read from or last saved
      // to; a drawing that has none yet is saved only to a name given for it.
      const ACHAR* file = nullptr;
      doc->database()->getFilename(file);
      std::wstring target = args.empty() && file ? std::wstring(file) : args;
      if (target.empty()) {
        journalf(L"%ls of %ls refused: the drawing has no file yet; name one", name.c_str(), doc->fileName());
        throw std::runtime_error("save without a file");
      }
      if (saveDocument(doc, target) != Acad::eOk) throw std::runtime_error("save failed");
    }, true);
  }
  if (name == L"REGEN") {
    return runCommandIn(doc, name, [&] {
      for (const AcDbObjectId& id : entities(doc)) {
        AcDbEntityPointer entity(id, AcDb::kForWrite);
        if (entity) entity->recordGraphicsModified(true);
      }
    }, true);
  }
  auto it = processor().defined.find(name);
  if (it == processor().defined.end()) {
    notifyEditorReactors([&](AcEditorReactor* r) { r->unknownCommand(name.c_str(), nullptr); });
    journalf(L"unknown command %ls", name.c_str());
    processor().record.finish(processor().record.add(CommandRecord::Kind::kCommand, name, doc, processor().commands),
                              CommandOutcome::kUnknown);
    return CommandOutcome::kUnknown;
  }
  CommandBody body = it->second;
  return runCommandIn(doc, name, body, true);
}

void runPendingCommands() {
  CommandProcessor& p = processor();
  if (p.draining || p.depth > 0) return;
  p.draining = true;
  struct Draining {
    ~Draining() { processor().draining = false; }
  } draining;
  while (!p.pending.empty()) {
    PendingCommand next = p.pending.front();
    p.pending.pop_front();
    if (!isOpenDocument(next.doc)) continue;
    if (acDocManagerPtr()->curDocument() != next.doc) acDocManagerPtr()->activateDocument(next.doc);
    journalf(L"running %ls", next.line.c_str());
    p.record.finish(next.recordNumber, executeString(next.line));
  }
}

int pendingCommandCount() { return static_cast<int>(processor().pending.size()); }

const std::vector<CommandRecord>& commandRecord() { return processor().record.entries(); }
void clearCommandRecord() { processor().record.clear(); }

bool modelessOperation(const std::wstring& context, const CommandBody& body) {
  if (nestedTooDeep(L"modeless operation", context)) return false;
  AcApDocument* doc = acDocManagerPtr()->curDocument();
  AcDbDatabase* db = doc ? doc->database() : nullptr;
  {
    struct UndoGroupScope {
      AcDbDatabase* db;
      ~UndoGroupScope() {
        if (db && isAlive(db)) endUndoGroup(db);
      }
    } group{db};
    ++processor().depth;
    struct Depth {
      ~Depth() { --processor().depth; }
    } depth;
    if (db) beginUndoGroup(db);
    notifyEditorReactors([&](AcEditorReactor* r) { r->modelessOperationWillStart(context.c_str()); });
    if (body) body();
    notifyEditorReactors([&](AcEditorReactor* r) { r->modelessOperationEnded(context.c_str()); });
  }
  runPendingCommands();
  return true;
}

void runLisp(const std::wstring& firstLine, bool cancel) {
  notifyEditorReactors([&](AcEditorReactor* r) { r->lispWillStart(firstLine.c_str()); });
  if (cancel)
    notifyEditorReactors([](AcEditorReactor* r) { r->lispCancelled(); });
  else
    notifyEditorReactors([](AcEditorReactor* r) { r->lispEnded(); });
  runPendingCommands();
}

void setSysVar(const std::wstring& name, const std::wstring& value) {
  notifyEditorReactors([&](AcEditorReactor* r) { r->sysVarWillChange(name.c_str()); });
  AcDbDatabase* db = acdbHostApplicationServices()->workingDatabase();
  bool ok = db != nullptr && db->setHeaderSysVar(name.c_str(), value.c_str()) == Acad::eOk;
  notifyEditorReactors([&](AcEditorReactor* r) { r->sysVarChanged(name.c_str(), ok); });
}

}  // namespace kvhost

Acad::ErrorStatus AcApDocManager::sendStringToExecute(AcApDocument* doc, const ACHAR* str, bool, bool, bool) {
  if (doc == nullptr || str == nullptr) return Acad::eInvalidInput;
  kvhost::CommandProcessor& p = kvhost::processor();
  p.pending.push_back({doc, str, p.record.add(kvhost::CommandRecord::Kind::kPosted, str, doc, p.commands)});
  kvhost::journalf(L"posted %ls", str);
  return Acad::eOk;
}
