// The driving side of the host: what a program does to play a session in
// it (load modules, open and close drawings, add and change entities, run
// commands, set the pickfirst selection) and what it can read back (the
// host's journal). Tests, kovahost and outside test suites all use this
// one interface; host/README.md describes it.
#pragma once
#include <functional>
#include <optional>
#include <string>
#include <vector>
#include "aced.h"
#include "dbapserv.h"

namespace kvhost {

// ---- The journal: what the host did, in order, one line an entry. ----
const std::vector<std::wstring>& journal();
void clearJournal();
void writeJournal(const std::wstring& line);
// Called for every journal line as it is written (null to stop).
void setJournalListener(std::function<void(const std::wstring&)> listener);

// ---- Modules ----
bool loadModule(const std::wstring& fileName);
bool unloadModule(const std::wstring& fileName);
std::wstring lastModuleError();
// Loaded: the host ran its entry and has not unloaded it. Mapped: its file
// is in the process (a module another one links stays mapped after unloading).
bool isModuleLoaded(const std::wstring& fileName);
bool isModuleMapped(const std::wstring& fileName);
// Ends the session as a host does when it quits: every document is closed,
// then every module is unloaded, locked or not, a module before those it
// needs, otherwise the last loaded first.
void quit();

// ---- Documents ----
// Creates a new, empty drawing and makes it current.
AcApDocument* newDocument(const std::wstring& name);
// Opens a drawing file (the host's binary form, or DXF by the extension
// ".dxf") as a new current document; null and the reason in status on failure.
AcApDocument* openDocument(const std::wstring& fileName, Acad::ErrorStatus* status = nullptr);
// Starts creating a document and gives up: its reactors hear the start and the cancel.
void cancelDocumentCreation(const std::wstring& name);
// Closes the document and destroys its database. Refused (false) while the
// document is busy: being created, already closing, or running a command.
bool closeDocument(AcApDocument* doc);
void activateDocument(AcApDocument* doc);
void setDocumentActivation(bool enabled);
AcApDocument* findDocument(const std::wstring& name);
std::vector<AcApDocument*> documents();
// Saves the document's drawing, in DXF when the name ends in ".dxf".
// The file on disk is replaced only by a complete new one.
Acad::ErrorStatus saveDocument(AcApDocument* doc, const std::wstring& fileName);
// Why the last save failed: the file could not be written ("the disk is
// full", "permission denied", ...), or a record could not be ("the
// KOVA_THING 2A (KovaThing) cannot be written (3) and would be lost"); empty
// after a save that wrote its file.
std::wstring lastSaveError();
// Why the last drawing file that could not be opened was refused ("there is
// no such file", "it is a pipe or a socket, not a file", a file that is no
// drawing and what shows it, ...); empty when it gave no reason.
std::wstring lastOpenError();

// ---- Entities (outside any command the document is locked for the call) ----
AcDbObjectId addEntity(AcApDocument* doc, AcDbEntity* entity);
Acad::ErrorStatus modifyObject(AcDbObjectId id, const std::function<void(AcDbObject*)>& change);
Acad::ErrorStatus eraseObject(AcDbObjectId id, bool erase = true);
// The entities of the drawing that are not erased, in handle order.
AcDbObjectIdArray entities(AcApDocument* doc);
// The same entities handed to visit one by one, nothing copied; how many
// there are (visit may be empty to count them). visit must not add or
// remove objects of the drawing.
int forEachEntity(AcApDocument* doc, const std::function<void(AcDbObjectId)>& visit = {});
// The object of the drawing with the handle, erased or not, found in
// constant time and without making a handle that was not there; null
// when the drawing holds no such object.
AcDbObjectId findObject(AcApDocument* doc, AcDbHandle handle);
// How often each entity was redrawn since the document was opened.
int redrawCount(AcDbObjectId id);

// ---- Layers ----
// A layer of a drawing and its state, as its layer table record holds it.
struct Layer {
  std::wstring name;
  AcDbHandle handle = 0;  // 0: a layer of the tables a save builds anew
  int color = 7;          // 1 to 255
  bool off = false, frozen = false, locked = false, plotted = true;
  int lineWeight = AcDbLayerTableRecord::kDefaultLineWeight;  // hundredths of a millimetre; see AcDbLayerTableRecord
  std::wstring linetype = L"Continuous";
};
// The layers of the drawing in the order of its layer table. A drawing
// read from a file has the records of the file's table (a record the host
// could not read as a layer is kept as it was and not listed); a new drawing
// has those its tables are built with at each save: 0, Defpoints, its
// current layer and every layer its entities are on.
std::vector<Layer> layers(AcApDocument* doc);

// ---- Commands ----
enum class CommandOutcome { kEnded, kCancelled, kFailed, kUnknown, kRefused };
// Commands and modeless operations nest at most this deep; one that would
// nest deeper is refused and its body does not run.
const int kMaxCommandNesting = 100;
// Thrown by a command body to cancel the command (as the user's Escape does).
struct CommandCancelled {};
typedef std::function<void()> CommandBody;
// Runs a command in the current document: its notifications, its undo
// group and its document lock. A command run from inside a command body
// runs as a transparent, nested command. Strings queued for the command
// line meanwhile run when the outermost command has returned.
CommandOutcome runCommand(const std::wstring& name, const CommandBody& body = {});
// Runs what is written on the command line: "_UNDO 1", "U", "REGEN",
// "QSAVE", a defined command; a leading underscore is dropped.
CommandOutcome executeString(const std::wstring& line);
// Defines a command that executeString can run.
void defineCommand(const std::wstring& name, const CommandBody& body);
// Runs the strings queued on the command line until none is left.
void runPendingCommands();
int pendingCommandCount();
// Work done from outside any command, bracketed by the modeless notifications.
// False when it was refused (nested too deep) and its body did not run.
bool modelessOperation(const std::wstring& context, const CommandBody& body);
void runLisp(const std::wstring& firstLine, bool cancel = false);
void setSysVar(const std::wstring& name, const std::wstring& value);

// ---- The pickfirst selection of the current document ----
void setPickfirst(const AcDbObjectIdArray& ids);
AcDbObjectIdArray pickfirst();
// Selection sets handed out by acedSSGet and not yet freed.
int openSelectionSetCount();

// ---- Notifications without an operation of their own in this host ----
void raiseEditorEvent(const std::function<void(AcEditorReactor*)>& call);
void raiseEventReactorEvent(const std::function<void(AcRxEventReactor*)>& call);
void raiseDocManagerEvent(const std::function<void(AcApDocManagerReactor*)>& call);
void raiseDatabaseEvent(AcDbDatabase* db, const std::function<void(AcDbDatabaseReactor*)>& call);

// ---- Undo ----
// How many undo groups the document's undo record holds.
int undoGroupCount(AcApDocument* doc);
// Switches the undo recording of the document's drawing on or off.
void setUndoRecording(AcApDocument* doc, bool on);
// The counter of the drawing's undo marker, the object under
// "KOVA_UNDO_DICTIONARY"/"KOVA_UNDO_OBJECT" in its named-object dictionary,
// as the object files it to DXF; none when the drawing holds no such marker.
std::optional<int> undoMarkerCounter(AcApDocument* doc);

// ---- What is attached and what ran, for test suites ----
// How many reactors are attached to the editor (editor and event reactors),
// the document manager, and the database of doc (0 without doc).
struct AttachedReactors {
  int editor = 0;
  int documentManager = 0;
  int database = 0;
};
AttachedReactors attachedReactors(AcApDocument* doc = nullptr);

// One entry of the command record, in the order things started.
struct CommandRecord {
  enum class Kind {
    kCommand,   // a command run: name, drawing, depth, outcome
    kPosted,    // a string queued for the command line: text, drawing, depth, outcome of its run
    kUndoStep,  // the work of an UNDO or U: groups asked for and groups undone
  };
  Kind kind = Kind::kCommand;
  std::wstring text;     // the command's name, or the posted string
  std::wstring drawing;  // the document's file name
  int depth = 0;         // commands running when it started (0: outermost)
  // How it ended; none while it runs, or a posted string not run (yet).
  std::optional<CommandOutcome> outcome;
  int stepsAsked = 0, groupsUndone = 0;  // undo steps only
};
const std::vector<CommandRecord>& commandRecord();
void clearCommandRecord();

// A call into a client module that failed: it threw and the hub's guard
// caught it, or it faulted. A test asserts the record empty after a
// session. The hub's guard records what it catches; which client it was
// is known while the hub's client calls are watched (setClientCallWatch),
// or while a program listens to them as kovahost does.
struct ClientFailure {
  std::wstring module;        // the module holding the client's code, e.g. "NoRed.arx"
  std::wstring clientClass;   // e.g. "CommandWatch"
  std::wstring notification;  // e.g. "commandEnded"
  std::wstring message;       // what the exception said
};
const std::vector<ClientFailure>& clientFailures();
void clearClientFailures();
void recordClientFailure(const ClientFailure& failure);
// Whether the hub, when it starts, follows each of its client calls, so
// that a failure names the client's module and class. On by default: it
// costs a call before and after each client call, which benchmarks switch off.
void setClientCallWatch(bool on);
bool clientCallWatch();
// The file name of the module that holds the address (empty for none).
std::wstring moduleHolding(const void* address);

// The host's text is wide; files, scripts and terminals carry UTF-8.
std::string toUtf8(const std::wstring& s);
std::wstring fromUtf8(const std::string& s);

}  // namespace kvhost
