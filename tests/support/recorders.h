// Recording clients: database, document and editor reactors, on the hub's
// client bases or on the host's own reactor classes, that log every
// notification they hear with its arguments and can act inside one.
#pragma once
#include <gtest/gtest.h>
#include <KOVANotification.h>
#include <kvhost.h>
#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>
#include <testfiles.h>

namespace rec {

// The hub's registry, one overload for each kind of reactor.
inline void hubAdd(AcEditorReactor* r, int priority) { g_ReactorManager.addEdReactor(r, priority); }
inline void hubAdd(AcDbDatabaseReactor* r, int priority) { g_ReactorManager.addDbReactor(r, priority); }
inline void hubAdd(AcApDocManagerReactor* r, int priority) { g_ReactorManager.addDocReactor(r, priority); }
inline void hubRemove(AcEditorReactor* r) { g_ReactorManager.removeEdReactor(r); }
inline void hubRemove(AcDbDatabaseReactor* r) { g_ReactorManager.removeDbReactor(r); }
inline void hubRemove(AcApDocManagerReactor* r) { g_ReactorManager.removeDocReactor(r); }
inline void hubList(AcArray<AcEditorReactor*>& out) { g_ReactorManager.edReactors(out); }
inline void hubList(AcArray<AcDbDatabaseReactor*>& out) { g_ReactorManager.dbReactors(out); }
inline void hubList(AcArray<AcApDocManagerReactor*>& out) { g_ReactorManager.docReactors(out); }

inline AcDbDatabaseReactor* dbDispatcher() {
  return static_cast<AcDbDatabaseReactor*>(g_ReactorManager.dbReactorDispatcher());
}
// How often the database dispatcher stands among the database's reactors.
inline int attachments(const AcDbDatabase* db) {
  int n = 0;
  for (AcDbDatabaseReactor* r : db->reactors()) n += r != nullptr && r == dbDispatcher();
  return n;
}

struct Heard {
  std::string who;
  std::string what;  // the notification's name, then its arguments
};
// Everything every client heard, in order.
inline std::vector<Heard>& heard() {
  static std::vector<Heard> log;
  return log;
}
// Whether a notification heard is of the kind: its name, alone or before its arguments.
inline bool isKind(const Heard& h, const std::string& kind) {
  return h.what == kind || h.what.rfind(kind + " ", 0) == 0;
}
// The clients, in order, that heard notifications of one kind, and what they heard.
inline std::vector<std::string> whoHeard(const std::string& kind, std::vector<std::string>* whats = nullptr) {
  std::vector<std::string> who;
  for (const Heard& h : heard())
    if (isKind(h, kind)) {
      who.push_back(h.who);
      if (whats) whats->push_back(h.what);
    }
  return who;
}

// Notifications of one kind were heard, each by every client in the given
// order, all with the same arguments (the expected ones, if given).
inline void expectHeardInOrder(const std::vector<std::string>& order, const std::string& kind,
                               const std::string& expected = "") {
  SCOPED_TRACE(kind);
  std::vector<std::string> whats, who = whoHeard(kind, &whats);
  ASSERT_FALSE(who.empty());
  ASSERT_EQ(who.size() % order.size(), 0u);
  for (size_t i = 0; i < who.size(); ++i) {
    EXPECT_EQ(who[i], order[i % order.size()]);
    EXPECT_EQ(whats[i], expected.empty() ? whats[i - i % order.size()] : expected);
  }
}

inline std::string text(const wchar_t* s) { return s ? testfiles::narrow(s) : std::string(); }

// One argument as text. Pointers and values print as themselves, objects
// passed by reference print their address: the client must get the very
// object the host passed.
template <class T>
void put(std::ostringstream& o, const T& v) {
  if constexpr (std::is_same_v<T, const wchar_t*> || std::is_same_v<T, wchar_t*> ||
                (std::is_array_v<T> && std::is_same_v<std::remove_cv_t<std::remove_extent_t<T>>, wchar_t>))
    o << " '" << text(v) << "'";
  else if constexpr (std::is_pointer_v<T>)
    o << ' ' << static_cast<const void*>(v);
  else if constexpr (std::is_same_v<T, AcDbObjectId>)
    o << " id" << v.asOldId();
  else if constexpr (std::is_same_v<T, AcGePoint3d>)
    o << ' ' << v.x << ',' << v.y << ',' << v.z;
  else if constexpr (std::is_enum_v<T> || std::is_integral_v<T>)
    o << ' ' << static_cast<long long>(v);
  else
    o << " @" << static_cast<const void*>(&v);
}
template <class... A>
std::string sig(const char* kind, const A&... args) {
  std::ostringstream o;
  o << kind;
  (put(o, args), ...);
  return o.str();
}

// The recording part every client shares. A client on one of the hub's
// bases registered itself at -1; others, and those wanting another
// place, register here.
template <class Base>
class Recorder : public Base {
 public:
  static constexpr bool kOnHubBase = std::is_base_of_v<KOVADatabaseReactorBase, Base> ||
                                     std::is_base_of_v<KOVADocReactorBase, Base> ||
                                     std::is_base_of_v<KOVAEditorReactorBase, Base>;
  explicit Recorder(std::string name, int priority = -1) : m_name(std::move(name)) {
    if (!kOnHubBase || priority != -1) hubAdd(this, priority);
  }
  ~Recorder() override { hubRemove(this); }
  void registerAt(int priority) { hubAdd(this, priority); }
  const std::string& name() const { return m_name; }

  // Called after each notification was recorded, with its name.
  std::function<void(std::string_view kind)> hook;
  bool quiet = false;  // only counted, so that hearing allocates nothing
  int calls = 0;

 protected:
  template <class... A>
  void hear(const char* kind, const A&... args) {
    ++calls;
    if (!quiet) heard().push_back({m_name, sig(kind, args...)});
    if (hook) hook(kind);  // last: the hook may destroy this client
  }

 private:
  std::string m_name;
};

// One notification recorded with its arguments; short forms for the usual parameters.
#define REC_HEAR(NAME, PARAMS, ...) \
  void NAME PARAMS override { this->hear(#NAME, ##__VA_ARGS__); }
#define REC_DB(NAME) REC_HEAR(NAME, (Db* a), a)
#define REC_TEXT(NAME) REC_HEAR(NAME, (const ACHAR* a), a)
#define REC_NONE(NAME) REC_HEAR(NAME, ())
#define REC_DOC(NAME) REC_HEAR(NAME, (AcApDocument* d), lastDoc = d)
#define REC_OBJECT(NAME) REC_HEAR(NAME, (const Db* d, const AcDbObject* o), d, o)

using Db = AcDbDatabase;
using Ids = AcDbObjectIdArray;
using Map = AcDbIdMapping;
using Id = AcDbObjectId;
using Pt = AcGePoint3d;
using Names = const ACHAR* const*;

template <class Base>
struct DbRecorder : Recorder<Base> {
  using Recorder<Base>::Recorder;
  REC_OBJECT(objectAppended) REC_OBJECT(objectUnAppended) REC_OBJECT(objectReAppended)
  REC_OBJECT(objectOpenedForModify) REC_OBJECT(objectModified)
  REC_HEAR(objectErased, (const Db* d, const AcDbObject* o, Adesk::Boolean e), d, o, e)
  REC_HEAR(headerSysVarWillChange, (const Db* d, const ACHAR* n), d, n)
  REC_HEAR(headerSysVarChanged, (const Db* d, const ACHAR* n, Adesk::Boolean ok), d, n, ok)
  REC_HEAR(proxyResurrectionCompleted, (const Db* d, const ACHAR* n, Ids& ids), d, n, ids)
  REC_HEAR(goodbye, (const Db* d), d)
};

template <class Base>
struct DocRecorder : Recorder<Base> {
  using Recorder<Base>::Recorder;
  using M = AcAp::DocLockMode;
  AcApDocument* lastDoc = nullptr;  // of the last notification that named one
  REC_DOC(documentCreateStarted) REC_DOC(documentCreated) REC_DOC(documentCreateCanceled)
  REC_DOC(documentToBeDestroyed) REC_HEAR(documentDestroyed, (const ACHAR* n), n)
  REC_HEAR(documentLockModeWillChange, (AcApDocument* d, M a, M b, M c, const ACHAR* n), lastDoc = d, a, b, c, n)
  REC_HEAR(documentLockModeChangeVetoed, (AcApDocument* d, const ACHAR* n), lastDoc = d, n)
  REC_HEAR(documentLockModeChanged, (AcApDocument* d, M a, M b, M c, const ACHAR* n), lastDoc = d, a, b, c, n)
  REC_DOC(documentBecameCurrent) REC_DOC(documentToBeActivated) REC_DOC(documentToBeDeactivated)
  REC_HEAR(documentActivationModified, (bool on), on) REC_DOC(documentActivated)
};

template <class Base>
struct EdRecorder : Recorder<Base> {
  using Recorder<Base>::Recorder;
  Acad::ErrorStatus xrefResult = Acad::eOk;
  // Drawings opened, made and destroyed, saved, written and read as DXF, closed.
  REC_HEAR(dwgFileOpened, (Db* a, ACHAR* b), a, b) REC_DB(initialDwgFileOpenComplete) REC_DB(partialOpenNotice)
  REC_HEAR(beginDwgOpen, (ACHAR* a), a) REC_HEAR(endDwgOpen, (const ACHAR* a, Db* b), a, b) REC_DB(beginClose)
  REC_DB(databaseConstructed) REC_DB(databaseToBeDestroyed)
  REC_HEAR(beginSave, (Db* a, const ACHAR* b), a, b) REC_HEAR(saveComplete, (Db* a, const ACHAR* b), a, b)
  REC_DB(abortSave) REC_DB(beginDxfIn) REC_DB(abortDxfIn) REC_DB(dxfInComplete)
  REC_DB(beginDxfOut) REC_DB(abortDxfOut) REC_DB(dxfOutComplete)
  // Inserting, writing blocks out, deep cloning, attaching and restoring.
  REC_HEAR(beginInsert, (Db* a, const ACHAR* b, Db* c), a, b, c)
  REC_HEAR(beginInsert, (Db* a, const AcGeMatrix3d& b, Db* c), a, b, c)
  REC_HEAR(otherInsert, (Db* a, Map& b, Db* c), a, b, c) REC_DB(abortInsert) REC_DB(endInsert)
  REC_DB(wblockNotice) REC_HEAR(beginWblock, (Db* a, Db* b, const Pt*& c), a, b, c)
  REC_HEAR(beginWblock, (Db* a, Db* b, Id c), a, b, c) REC_HEAR(beginWblock, (Db* a, Db* b), a, b)
  REC_HEAR(otherWblock, (Db* a, Map& b, Db* c), a, b, c) REC_DB(abortWblock) REC_DB(endWblock)
  REC_HEAR(beginWblockObjects, (Db* a, Map& b), a, b) REC_HEAR(beginDeepClone, (Db* a, Map& b), a, b)
  REC_HEAR(beginDeepCloneXlation, (Map& a, Acad::ErrorStatus* b), a, b)
  REC_HEAR(abortDeepClone, (Map& a), a) REC_HEAR(endDeepClone, (Map& a), a)
  REC_HEAR(beginAttach, (Db* a, const ACHAR* b, Db* c), a, b, c) REC_HEAR(otherAttach, (Db* a, Db* b), a, b)
  REC_DB(abortAttach) REC_DB(endAttach) REC_HEAR(redirected, (Id a, Id b), a, b)
  REC_HEAR(comandeered, (Db* a, Id b, Db* c), a, b, c)
  REC_HEAR(beginRestore, (Db* a, const ACHAR* b, Db* c), a, b, c) REC_DB(abortRestore) REC_DB(endRestore)
  // External references.
  REC_HEAR(xrefSubCommandStart, (Db* a, AcXrefSubCommand b, const AcArray<Id>& c, Names d, Names e, bool& f), a, b,
           c, d, e, f)
  REC_HEAR(xrefSubCommandAborted, (Db* a, AcXrefSubCommand b, const AcArray<Id>& c, Names d, Names e), a, b, c, d, e)
  REC_HEAR(preXrefLockFile, (Db* a, Id b), a, b) REC_HEAR(preXrefLockFile, (Id a), a)
  REC_HEAR(xrefSubcommandBindItem, (Db* a, int b, Id c), a, b, c)
  REC_HEAR(xrefSubcommandAttachItem, (Db* a, int b, const ACHAR* c), a, b, c)
  REC_HEAR(xrefSubcommandOverlayItem, (Db* a, int b, const ACHAR* c), a, b, c)
  REC_HEAR(xrefSubcommandDetachItem, (Db* a, int b, Id c), a, b, c)
  REC_HEAR(xrefSubcommandPathItem, (Db* a, int b, Id c, const ACHAR* d), a, b, c, d)
  REC_HEAR(xrefSubcommandReloadItem, (Db* a, int b, Id c), a, b, c)
  REC_HEAR(xrefSubcommandUnloadItem, (Db* a, int b, Id c), a, b, c)
  Acad::ErrorStatus xrefSubCommandStart(AcXrefSubCommand a, const Ids& b, Names c, Names d) override {
    const Acad::ErrorStatus result = xrefResult;  // the hook may destroy this client
    this->hear("xrefSubCommandStart", a, b, c, d);
    return result;
  }
  // Commands, LISP, system variables and the UNDO command's subcommands.
  REC_HEAR(unknownCommand, (const ACHAR* a, AcDbVoidPtrArray* b), a, b)
  REC_TEXT(commandWillStart) REC_TEXT(commandEnded) REC_TEXT(commandCancelled) REC_TEXT(commandFailed)
  REC_TEXT(lispWillStart) REC_NONE(lispEnded) REC_NONE(lispCancelled)
  REC_TEXT(modelessOperationWillStart) REC_TEXT(modelessOperationEnded) REC_TEXT(cmdIUnkModified)
  REC_HEAR(sysVarChanged, (const ACHAR* a, Adesk::Boolean b), a, b) REC_TEXT(sysVarWillChange)
  REC_HEAR(undoSubcommandAuto, (int a, Adesk::Boolean b), a, b) REC_HEAR(undoSubcommandControl, (int a, int b), a, b)
  REC_HEAR(undoSubcommandBegin, (int a), a) REC_HEAR(undoSubcommandEnd, (int a), a)
  REC_HEAR(undoSubcommandMark, (int a), a) REC_HEAR(undoSubcommandBack, (int a), a)
  REC_HEAR(undoSubcommandNumber, (int a, int b), a, b)
  // The user interface.
  REC_NONE(pickfirstModified)  // only the base's form with the set is ever to be called
  REC_TEXT(layoutSwitched) REC_NONE(viewChanged) REC_HEAR(objectsLazyLoaded, (const Ids& a), a)
  REC_HEAR(docFrameMovedOrResized, (Adesk::LongPtr a, bool b), a, b)
  REC_HEAR(mainFrameMovedOrResized, (Adesk::LongPtr a, bool b), a, b)
  REC_HEAR(beginDoubleClick, (const Pt& a), a) REC_HEAR(beginRightClick, (const Pt& a), a)
  REC_HEAR(toolbarBitmapSizeWillChange, (Adesk::Boolean a), a) REC_HEAR(toolbarBitmapSizeChanged, (Adesk::Boolean a), a)
  REC_NONE(beginQuit) REC_NONE(quitAborted) REC_NONE(quitWillStart)
};

using BaseDb = DbRecorder<KOVADatabaseReactorBase>;
using PlainDb = DbRecorder<AcDbDatabaseReactor>;
using BaseDoc = DocRecorder<KOVADocReactorBase>;
using PlainDoc = DocRecorder<AcApDocManagerReactor>;
using PlainEd = EdRecorder<AcEditorReactor>;

// What a client of the editor base saw of one pickfirst change.
struct PickfirstSeen {
  Adesk::Int64 ss0 = 0;
  std::vector<AcDbObjectId> ids;
  AcRxClass* cls = nullptr;
  bool filterOn = false;
  int openSets = 0;
};

// A client on the editor base, with the notifications only that base has.
struct Client : EdRecorder<KOVAEditorReactorBase> {
  using EdRecorder::EdRecorder;
  using EdRecorder::pickfirstModified;
  std::function<void()> onPickfirst;
  std::vector<PickfirstSeen> pickfirsts;

  void pickfirstModified(ads_name ss, const AcArray<AcDbObjectId>& ids, AcRxClass* cls) override {
    if (!quiet)
      pickfirsts.push_back({ss[0], std::vector<AcDbObjectId>(ids.begin(), ids.end()), cls,
                            g_ReactorManager.filterReactors(), kvhost::openSelectionSetCount()});
    if (onPickfirst) onPickfirst();
    hear("pickfirstModified(ss,ids,cls)");  // last: a hook may destroy this client
  }
  REC_DB(beginDocClose) REC_DB(docCloseAborted) REC_DB(docCloseWillStart)
  REC_HEAR(layoutToBeSwitched, (const ACHAR* a, const ACHAR* b), a, b)
  REC_HEAR(dwgViewResized, (Adesk::LongPtr a), a)

  // The redraw set the editor base shares among its clients.
  static AcArray<AcDbObjectId>& redrawSet() { return m_tabPickFirstToRedraw; }
  static std::vector<AcDbObjectId> queued() {
    return std::vector<AcDbObjectId>(m_tabPickFirstToRedraw.begin(), m_tabPickFirstToRedraw.end());
  }
};

inline AcDbLine* newLine(double x = 0) { return new AcDbLine(AcGePoint3d(x, 0, 0), AcGePoint3d(x + 1, 1, 0)); }

// Two drawings, A with a line, B current; every drawing is closed after the test.
class TwoDrawings : public ::testing::Test {
 public:
  void SetUp() override {
    a = kvhost::newDocument(L"A.dwg");
    line = kvhost::addEntity(a, newLine());
    b = kvhost::newDocument(L"B.dwg");
    heard().clear();
  }
  void TearDown() override {
    for (AcApDocument* d : kvhost::documents()) kvhost::closeDocument(d);
  }
  // The line's object, for notifications that only the host's raising hooks deliver.
  const AcDbObject* lineObject() const {
    AcDbObject* o = nullptr;
    acdbOpenAcDbObject(o, line, AcDb::kForRead, true);
    o->close();
    return o;
  }
  AcApDocument* a = nullptr;
  AcApDocument* b = nullptr;
  AcDbObjectId line;
  AcDbObjectIdArray ids;
};

// The session ends as the host's does: drawings closed, modules unloaded.
struct EndSessionAtExit : ::testing::Environment {
  void TearDown() override { kvhost::quit(); }
};

}  // namespace rec
