// The statements and what each does in the host.
#include "statements.h"
#include <kvhost.h>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include "environment.h"
#include "player.h"
#include "state.h"

namespace {

using kvhost::fromUtf8;
using kvhost::toUtf8;

static_assert(kvhost::kMaxCommandNesting == 100, "the help names the host's nesting limit");

// The status as the host's interface names it, e.g. "eNoDatabase (330)".
std::string statusCode(Acad::ErrorStatus es) {
  static const std::pair<Acad::ErrorStatus, const char*> kNames[] = {
    {Acad::eOk, "eOk"},
    {Acad::eNotImplementedYet, "eNotImplementedYet"},
    {Acad::eNotApplicable, "eNotApplicable"},
    {Acad::eInvalidInput, "eInvalidInput"},
    {Acad::eAmbiguousInput, "eAmbiguousInput"},
    {Acad::eNullObjectId, "eNullObjectId"},
    {Acad::eKeyNotFound, "eKeyNotFound"},
    {Acad::eDuplicateKey, "eDuplicateKey"},
    {Acad::eInvalidIndex, "eInvalidIndex"},
    {Acad::eNotOpenForRead, "eNotOpenForRead"},
    {Acad::eNotOpenForWrite, "eNotOpenForWrite"},
    {Acad::eWasErased, "eWasErased"},
    {Acad::eWasNotErased, "eWasNotErased"},
    {Acad::eWasOpenForRead, "eWasOpenForRead"},
    {Acad::eWasOpenForWrite, "eWasOpenForWrite"},
    {Acad::eWrongObjectType, "eWrongObjectType"},
    {Acad::eAlreadyInDb, "eAlreadyInDb"},
    {Acad::eNotInDatabase, "eNotInDatabase"},
    {Acad::eFilerError, "eFilerError"},
    {Acad::eEndOfFile, "eEndOfFile"},
    {Acad::eInvalidDxfCode, "eInvalidDxfCode"},
    {Acad::eNoInputFiler, "eNoInputFiler"},
    {Acad::eDwgNeedsRecovery, "eDwgNeedsRecovery"},
    {Acad::eNotThatKindOfClass, "eNotThatKindOfClass"},
    {Acad::eFileNotFound, "eFileNotFound"},
    {Acad::eFileAccessErr, "eFileAccessErr"},
    {Acad::eBadDwgHeader, "eBadDwgHeader"},
    {Acad::eInvalidFileVersion, "eInvalidFileVersion"},
    {Acad::eFileSharingViolation, "eFileSharingViolation"},
    {Acad::eMakeMeProxy, "eMakeMeProxy"},
    {Acad::eNoDatabase, "eNoDatabase"},
    {Acad::eLockViolation, "eLockViolation"},
    {Acad::eLockChangeInProgress, "eLockChangeInProgress"},
    {Acad::eVetoed, "eVetoed"},
    {Acad::eNoDocument, "eNoDocument"},
    {Acad::eIsWriteProtected, "eIsWriteProtected"},
  };
  for (const auto& [status, name] : kNames)
    if (status == es) return std::string(name) + " (" + std::to_string(static_cast<int>(es)) + ")";
  return "status " + std::to_string(static_cast<int>(es));
}

std::string statusName(Acad::ErrorStatus es) {
  switch (es) {
    case Acad::eFileNotFound: return "file not found";
    case Acad::eFileAccessErr: return "file cannot be read or written";
    case Acad::eFileSharingViolation: return "the file is open in another drawing";
    case Acad::eBadDwgHeader: return "not a drawing file";
    case Acad::eInvalidFileVersion: return "unknown drawing file version";
    case Acad::eEndOfFile: return "the file is truncated";
    case Acad::eFilerError: return "the file is truncated or damaged";
    case Acad::eDwgNeedsRecovery: return "the file is truncated or damaged";
    case Acad::eInvalidDxfCode: return "not a valid DXF file";
    case Acad::eWasErased: return "the entity is erased";
    case Acad::eWasNotErased: return "the entity is not erased";
    case Acad::eVetoed: return "vetoed";
    case Acad::eLockViolation: return "the drawing is not locked for write";
    case Acad::eNoDatabase: return "the drawing has no database";
    case Acad::eIsWriteProtected: return "the file is write-protected";
    default: return statusCode(es);
  }
}

// ---- What the statements read from their words ----

AcApDocument* drawing(Player& p, size_t i, const std::string& name) {
  AcApDocument* doc = kvhost::findDocument(fromUtf8(name));
  if (doc == nullptr) p.script().fail(i, "no drawing named " + name);
  return doc;
}

double number(Player& p, size_t i, const std::string& text) {
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != 0 || !std::isfinite(value)) p.script().fail(i, "not a number: " + text);
  return value;
}

double radius(Player& p, size_t i, const std::string& text) {
  double r = number(p, i, text);
  if (r <= 0) p.script().fail(i, "a circle needs a positive radius");
  return r;
}

AcGePoint3d point(Player& p, size_t i, const Words& w, size_t from) {
  return AcGePoint3d(number(p, i, w[from]), number(p, i, w[from + 1]), 0);
}

// An object of the current drawing by its handle; erased ones only when asked.
AcDbObjectId object(Player& p, size_t i, const std::string& handleText, bool erasedToo) {
  char* end = nullptr;
  unsigned long long handle = std::strtoull(handleText.c_str(), &end, 16);
  if (end == handleText.c_str() || *end != 0 || handleText[0] == '-') p.script().fail(i, "not a handle: " + handleText);
  p.out().setHandle(handleText);
  AcApDocument* doc = p.current(i);
  AcDbObjectId id = kvhost::findObject(doc, handle);
  if (id.isNull()) p.script().fail(i, "no entity with handle " + handleText + " in drawing " + toUtf8(doc->fileName()));
  if (!erasedToo && id.isErased()) p.script().fail(i, "the entity " + handleText + " is erased");
  return id;
}

AcDbObjectId entity(Player& p, size_t i, const std::string& handleText) {
  AcDbObjectId id = object(p, i, handleText, false);
  AcDbEntityPointer ent(id, AcDb::kForRead);
  if (!ent) p.script().fail(i, handleText + " is not an entity");
  return id;
}

// ---- Drawings and modules ----

// A module named without a folder is looked for in the current folder,
// beside the script, and beside kovahost, in that order.
void load(Player& p, size_t i, const Words& w) {
  std::string file = w[1];
  std::error_code ignored;
  const std::string besideScript = p.script().directory() + "/" + file;
  if (file.find('/') == std::string::npos && !std::filesystem::exists(file, ignored) &&
      std::filesystem::exists(besideScript, ignored))
    file = besideScript;
  if (kvhost::loadModule(fromUtf8(file))) return;
  std::string why = toUtf8(kvhost::lastModuleError());
  if (file == w[1] && file.find('/') == std::string::npos && why.find("not found") != std::string::npos) {
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ignored);
    why += " (looked in the current folder, in " + p.script().directory() + " beside the script, and in " +
           program.parent_path().string() + " beside kovahost)";
  }
  p.script().fail(i, why);
}

void unload(Player& p, size_t i, const Words& w) {
  if (p.insideBlock()) p.script().fail(i, "'unload' inside a command or modeless block");
  if (!kvhost::unloadModule(fromUtf8(w[1]))) p.script().fail(i, toUtf8(kvhost::lastModuleError()));
}

void newDrawing(Player& p, size_t i, const Words& w) {
  if (kvhost::findDocument(fromUtf8(w[1]))) p.script().fail(i, "a drawing named " + w[1] + " is already open");
  kvhost::newDocument(fromUtf8(w[1]));
}

void open(Player& p, size_t i, const Words& w) {
  if (kvhost::findDocument(fromUtf8(w[1]))) p.script().fail(i, "the drawing " + w[1] + " is already open");
  Acad::ErrorStatus es = Acad::eOk;
  if (kvhost::openDocument(fromUtf8(w[1]), &es) == nullptr) {
    const std::string why = toUtf8(kvhost::lastOpenError());
    p.script().fail(i, "cannot open " + w[1] + ": " + (why.empty() ? statusName(es) : why));
  }
}

void close(Player& p, size_t i, const Words& w) {
  AcApDocument* doc = drawing(p, i, w[1]);
  if (p.isBusy(doc)) p.script().fail(i, "cannot close " + w[1] + " while a command or modeless block runs in it");
  p.scriptLocks().erase(doc);
  kvhost::closeDocument(doc);
}

void activate(Player& p, size_t i, const Words& w) { kvhost::activateDocument(drawing(p, i, w[1])); }

void save(Player& p, size_t i, const Words& w) {
  Acad::ErrorStatus es = kvhost::saveDocument(drawing(p, i, w[1]), fromUtf8(w[2]));
  const std::wstring said = kvhost::lastSaveError();
  const std::string why = said.empty() ? statusName(es) : toUtf8(said);
  if (es != Acad::eOk) p.script().fail(i, "cannot save " + w[1] + " to " + w[2] + ": " + why);
}

// ---- Entities ----

// The entity is made once the statement's words are read and a drawing is
// open, so that a failing statement leaves nothing made behind.
void add(Player& p, size_t i, const std::function<AcDbEntity*()>& make) {
  AcApDocument* doc = p.current(i);
  AcDbEntity* entity = make();
  const std::string cls = toUtf8(entity->isA()->name());
  AcDbObjectId id = kvhost::addEntity(doc, entity);
  if (id.isNull()) p.script().fail(i, "the " + cls + " could not be added");
  p.out().setHandle(hex(id.handle()));
  p.out().line("added " + cls + " " + hex(id.handle()) + " to " + toUtf8(doc->fileName()), "kovahost");
}

void line(Player& p, size_t i, const Words& w) {
  const AcGePoint3d from = point(p, i, w, 1), to = point(p, i, w, 3);
  add(p, i, [&] { return new AcDbLine(from, to); });
}

void circle(Player& p, size_t i, const Words& w) {
  const AcGePoint3d center = point(p, i, w, 1);
  const double r = radius(p, i, w[3]);
  add(p, i, [&] { return new AcDbCircle(center, r); });
}

void text(Player& p, size_t i, const Words& w) {
  const AcGePoint3d at = point(p, i, w, 1);
  const std::wstring words = fromUtf8(joined(w, 3));
  add(p, i, [&] { return new AcDbText(at, words.c_str()); });
}

void change(Player& p, size_t i, const std::string& handle, const std::function<void(AcDbEntity*)>& how) {
  Acad::ErrorStatus es = kvhost::modifyObject(entity(p, i, handle), [&](AcDbObject* obj) {
    if (AcDbEntity* ent = AcDbEntity::cast(obj)) how(ent);
  });
  if (es != Acad::eOk) p.script().fail(i, "cannot change " + handle + ": " + statusName(es));
}

void color(Player& p, size_t i, const Words& w) {
  double color = number(p, i, w[2]);
  if (color < 0 || color > 256 || color != std::floor(color)) p.script().fail(i, "a color is a whole number from 0 to 256");
  change(p, i, w[1], [&](AcDbEntity* ent) { ent->setColorIndex(static_cast<Adesk::UInt16>(color)); });
}

void layer(Player& p, size_t i, const Words& w) {
  std::wstring layer = fromUtf8(w[2]);
  change(p, i, w[1], [&](AcDbEntity* ent) { ent->setLayer(layer.c_str()); });
}

void setRadius(Player& p, size_t i, const Words& w) {
  double r = radius(p, i, w[2]);
  {
    AcDbEntityPointer ent(entity(p, i, w[1]), AcDb::kForRead);
    if (!AcDbCircle::cast(ent.object())) p.script().fail(i, w[1] + " is not a circle");
  }
  change(p, i, w[1], [&](AcDbEntity* ent) { AcDbCircle::cast(ent)->setRadius(r); });
}

void erase(Player& p, size_t i, const Words& w) {
  const bool erase = w[0] == "erase";
  const AcDbObjectId id = object(p, i, w[1], !erase);
  {
    // The drawing's dictionaries and the objects clients keep in them are not the script's to erase.
    AcDbObjectPointer<AcDbObject> obj(id, AcDb::kForRead, true);
    if (obj && !AcDbEntity::cast(obj.object()))
      p.script().fail(i, "cannot " + w[0] + " " + w[1] + ": it is a " + toUtf8(obj->isA()->name()) + ", not an entity");
  }
  Acad::ErrorStatus es = kvhost::eraseObject(id, erase);
  if (es != Acad::eOk) p.script().fail(i, "cannot " + w[0] + " " + w[1] + ": " + statusName(es));
}

// ---- Inside commands, and the command line ----

void endCommand(Player& p, size_t i, const Words& w) {
  if (!p.insideCommand()) p.script().fail(i, "'" + w[0] + "' outside a command");
  if (w[0] == "cancel") throw kvhost::CommandCancelled{};
  throw std::runtime_error("the script made the command fail");
}

void rollback(Player& p, size_t i, const Words&) {
  if (!p.insideCommand()) p.script().fail(i, "'rollback' outside a command");
  if (!p.hub().requestRollback()) p.script().fail(i, "the hub is not loaded");
}

void exec(Player& p, size_t i, const Words& w) {
  switch (kvhost::executeString(fromUtf8(joined(w, 1)))) {
    case kvhost::CommandOutcome::kUnknown: p.script().fail(i, "unknown command " + w[1]);
    case kvhost::CommandOutcome::kFailed: p.script().fail(i, "the command failed: " + joined(w, 1));
    case kvhost::CommandOutcome::kRefused: p.script().fail(i, "the command was refused: " + joined(w, 1));
    default: break;
  }
}

void pick(Player& p, size_t i, const Words& w) {
  AcDbObjectIdArray ids;
  for (size_t k = 1; k < w.size(); ++k) ids.append(entity(p, i, w[k]));
  p.current(i);
  kvhost::setPickfirst(ids);
}

void lock(Player& p, size_t i, const Words& w) {
  AcApDocument* doc = drawing(p, i, w[1]);
  Acad::ErrorStatus es = acDocManagerPtr()->lockDocument(doc, AcAp::kWrite, L"SCRIPT");
  // A veto is an answer, not an error: the host has printed it.
  if (es == Acad::eOk)
    ++p.scriptLocks()[doc];
  else if (es != Acad::eVetoed)
    p.script().fail(i, "cannot lock " + w[1] + ": " + statusName(es));
}

void unlock(Player& p, size_t i, const Words& w) {
  AcApDocument* doc = drawing(p, i, w[1]);
  auto held = p.scriptLocks().find(doc);
  if (held == p.scriptLocks().end()) p.script().fail(i, "the script holds no lock on " + w[1]);
  if (--held->second == 0) p.scriptLocks().erase(held);
  acDocManagerPtr()->unlockDocument(doc);
}

void setvar(Player& p, size_t i, const Words& w) {
  std::string name = w[1];
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (p.current(i)->database()->headerSysVar(fromUtf8(name).c_str()) == nullptr)
    p.script().fail(i, "unknown system variable " + w[1]);
  kvhost::setSysVar(fromUtf8(name), fromUtf8(w[2]));
}

void tempdir(Player& p, size_t i, const Words& w) {
  if (w.size() > 1 && w[1] != "keep") p.script().fail(i, "expected: tempdir [keep]");
  p.useTempDir(i, w.size() > 1);
}

void setenvironment(Player& p, size_t i, const Words& w) {
  if (w[1].find('=') != std::string::npos) p.script().fail(i, "a variable's name holds no '='");
  if (!setEnvironmentVariable(w[1], w[2])) p.script().fail(i, "cannot set " + w[1]);
}
void echo(Player& p, size_t, const Words& w) { p.out().line(joined(w, 1), "kovahost"); }
void state(Player& p, size_t, const Words&) { printState(p.out()); }

const size_t kAny = static_cast<size_t>(-1);

// In the order the help lists them.
const Statement kStatements[] = {
    {"load", "FILE", 1, 1, "", true, load},
    {"unload", "FILE", 1, 1, "load or unload a module (.arx)", false, unload},
    {"new", "NAME", 1, 1, "", true, newDrawing},
    {"open", "FILE", 1, 1, "", true, open},
    {"close", "NAME", 1, 1, "", true, close},
    {"activate", "NAME", 1, 1, "", false, activate},
    {"save", "NAME FILE", 2, 2, "save a drawing (DXF when FILE ends in .dxf);\nan opened drawing is named by its FILE", false,
     save},
    {"line", "X1 Y1 X2 Y2", 4, 4, "", true, line},
    {"circle", "X Y R", 3, 3, "", true, circle},
    {"text", "X Y WORDS...", 3, kAny, "add to the current drawing", false, text},
    {"color", "HANDLE N", 2, 2, "", true, color},
    {"layer", "HANDLE NAME", 2, 2, "", true, layer},
    {"radius", "HANDLE R", 2, 2, "", false, setRadius},
    {"erase", "HANDLE", 1, 1, "", true, erase},
    {"unerase", "HANDLE", 1, 1, "", false, erase},
    {"command", "NAME", 1, 1, "run a command whose body is the lines up to\n'end'; a command inside one is transparent",
     false, nullptr},
    {"cancel", "", 0, 0, "", true, endCommand},
    {"fail", "", 0, 0, "(in a command) cancel it, or make it fail", false, endCommand},
    {"rollback", "", 0, 0,
     "(in a command) ask the hub to roll the drawing\nback when the command ends, as a client does;\nkovahost is then a "
     "client editor reactor of the\nhub for the whole session, so commands are marked",
     false, rollback},
    {"exec", "TEXT", 1, kAny, "type TEXT on the command line, e.g. exec _UNDO 1;\nan unknown command is an error", false,
     exec},
    {"modeless", "CONTEXT", 1, 1, "work done outside any command\n(blocks nest at most 100 deep)", false, nullptr},
    {"pick", "HANDLE...", 0, kAny, "set the pickfirst selection (none: empty it)", false, pick},
    {"lock", "NAME", 1, 1, "", true, lock},
    {"unlock", "NAME", 1, 1, "lock a drawing for write, or release that lock", false, unlock},
    {"setvar", "NAME VALUE", 2, 2, "set a system variable of the current drawing\n(one its header has, e.g. CLAYER)", false,
     setvar},
    {"tempdir", "[keep]", 0, 1,
     "files named without a directory are written and\nread in a new temporary folder from here on; it\nis removed when "
     "the session ends, unless kept",
     false, tempdir},
    {"setenv", "NAME VALUE", 2, 2, "set an environment variable, e.g. for the\nmodules loaded after it", false,
     setenvironment},
    {"echo", "TEXT", 0, kAny, "print TEXT", false, echo},
    {"state", "", 0, 0, "print every drawing, its entities and its layers", false, state},
};

// How the help writes the statement: its arguments, and a block's end.
std::string usage(const Statement& s) {
  std::string text = s.name;
  if (*s.arguments) text += std::string(" ") + s.arguments;
  if (s.play == nullptr) text += " ... end";
  return text;
}

// Pads the last line of out to the help column, or three spaces past it.
void padToHelpColumn(std::string& out) {
  const size_t kHelpColumn = 35;
  const size_t column = out.size() - (out.rfind('\n') + 1);  // npos + 1 is 0
  out.append(column + 3 > kHelpColumn ? 3 : kHelpColumn - column, ' ');
}

}  // namespace

const Statement* findStatement(const std::string& name) {
  for (const Statement& s : kStatements)
    if (name == s.name) return &s;
  return nullptr;
}

bool opensBlock(const std::string& name) {
  const Statement* s = findStatement(name);
  return s && s->play == nullptr;
}

void checkArguments(const Script& script, size_t index, const Statement& statement, const Words& words) {
  const size_t n = words.size() - 1;
  if (n < statement.minArguments || n > statement.maxArguments)
    script.fail(index, "expected: " + std::string(statement.name) + (*statement.arguments ? " " : "") + statement.arguments);
}

std::string grammar() {
  std::string out, shapes;
  for (const Statement& s : kStatements) {
    shapes += (shapes.empty() ? "  " : " | ") + usage(s);
    if (s.listedWithNext) continue;
    out += shapes;
    shapes.clear();
    const char* help = s.help;
    do {
      const char* lineEnd = std::strchr(help, '\n');
      const size_t length = lineEnd ? static_cast<size_t>(lineEnd - help) : std::strlen(help);
      if (length) padToHelpColumn(out);
      out.append(help, length).append("\n");
      help += length + (lineEnd ? 1 : 0);
    } while (*help);
  }
  return out;
}
