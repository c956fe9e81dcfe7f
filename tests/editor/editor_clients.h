// Client editor reactors for the editor tests: each writes what it heard,
// with the arguments, to one shared log, so that a test can check who heard
// what and in which order.
#pragma once
#include <functional>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>
#include <gtest/gtest.h>
#include <KOVANotification.h>
#include "kvhost.h"

namespace edtest {

struct Heard {
  std::string who;
  std::string what;  // the notification's name, then its arguments
};

// Runs the module's start-up as the host does when it loads it (the test
// program links it, so this maps nothing new): its marker class must be
// registered before a command is marked.
inline bool startHub() { return kvhost::loadModule(L"KOVANotification10.arx"); }

// The session ends as the host's does: drawings closed, modules unloaded.
class EndSessionAtExit : public ::testing::Environment {
 public:
  void TearDown() override { kvhost::quit(); }
};
inline ::testing::Environment* const g_pEndSession = ::testing::AddGlobalTestEnvironment(new EndSessionAtExit);

inline std::vector<Heard>& heard() {
  static std::vector<Heard> log;
  return log;
}

inline std::string narrow(const wchar_t* s) {
  std::string out;
  for (; s && *s; ++s) out += *s < 128 ? static_cast<char>(*s) : '?';
  return out;
}

// One argument as text. Pointers and values print as themselves, objects
// passed by reference print their address: the client must get the very
// object the host passed.
template <class T>
void put(std::ostringstream& o, const T& v) {
  if constexpr (std::is_same_v<T, const wchar_t*> || std::is_same_v<T, wchar_t*> ||
                (std::is_array_v<T> && std::is_same_v<std::remove_cv_t<std::remove_extent_t<T>>, wchar_t>))
    o << " '" << narrow(v) << "'";
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

#define EDT_EXPAND(...) __VA_ARGS__
#define EDT_HEAR(NAME, PARAMS, ARGS) \
  void NAME PARAMS override { hear(sig(#NAME, EDT_EXPAND ARGS)); }
#define EDT_HEAR0(NAME) \
  void NAME() override { hear(#NAME); }

// Records every editor notification. Base is KOVAEditorReactorBase (the
// client base) or a plain host reactor class that registers itself with
// the manager at a priority of its own.
template <class Base>
class Recorder : public Base {
 public:
  template <class... A>
  explicit Recorder(std::string name, A... baseArgs) : Base(baseArgs...), m_name(std::move(name)) {}

  // Called after each notification was recorded, with the notification's name.
  std::function<void(const std::string& what)> onHear;
  Acad::ErrorStatus xrefResult = Acad::eOk;
  const std::string& name() const { return m_name; }

  EDT_HEAR(dwgFileOpened, (AcDbDatabase* a, ACHAR* b), (a, b))
  EDT_HEAR(initialDwgFileOpenComplete, (AcDbDatabase* a), (a))
  EDT_HEAR(databaseConstructed, (AcDbDatabase* a), (a))
  EDT_HEAR(databaseToBeDestroyed, (AcDbDatabase* a), (a))
  EDT_HEAR(beginSave, (AcDbDatabase* a, const ACHAR* b), (a, b))
  EDT_HEAR(saveComplete, (AcDbDatabase* a, const ACHAR* b), (a, b))
  EDT_HEAR(abortSave, (AcDbDatabase* a), (a))
  EDT_HEAR(beginDxfIn, (AcDbDatabase* a), (a))
  EDT_HEAR(abortDxfIn, (AcDbDatabase* a), (a))
  EDT_HEAR(dxfInComplete, (AcDbDatabase* a), (a))
  EDT_HEAR(beginDxfOut, (AcDbDatabase* a), (a))
  EDT_HEAR(abortDxfOut, (AcDbDatabase* a), (a))
  EDT_HEAR(dxfOutComplete, (AcDbDatabase* a), (a))
  EDT_HEAR(beginInsert, (AcDbDatabase* a, const ACHAR* b, AcDbDatabase* c), (a, b, c))
  EDT_HEAR(beginInsert, (AcDbDatabase* a, const AcGeMatrix3d& b, AcDbDatabase* c), (a, b, c))
  EDT_HEAR(otherInsert, (AcDbDatabase* a, AcDbIdMapping& b, AcDbDatabase* c), (a, b, c))
  EDT_HEAR(abortInsert, (AcDbDatabase* a), (a))
  EDT_HEAR(endInsert, (AcDbDatabase* a), (a))
  EDT_HEAR(wblockNotice, (AcDbDatabase* a), (a))
  EDT_HEAR(beginWblock, (AcDbDatabase* a, AcDbDatabase* b, const AcGePoint3d*& c), (a, b, c))
  EDT_HEAR(beginWblock, (AcDbDatabase* a, AcDbDatabase* b, AcDbObjectId c), (a, b, c))
  EDT_HEAR(beginWblock, (AcDbDatabase* a, AcDbDatabase* b), (a, b))
  EDT_HEAR(otherWblock, (AcDbDatabase* a, AcDbIdMapping& b, AcDbDatabase* c), (a, b, c))
  EDT_HEAR(abortWblock, (AcDbDatabase* a), (a))
  EDT_HEAR(endWblock, (AcDbDatabase* a), (a))
  EDT_HEAR(beginWblockObjects, (AcDbDatabase* a, AcDbIdMapping& b), (a, b))
  EDT_HEAR(beginDeepClone, (AcDbDatabase* a, AcDbIdMapping& b), (a, b))
  EDT_HEAR(beginDeepCloneXlation, (AcDbIdMapping& a, Acad::ErrorStatus* b), (a, b))
  EDT_HEAR(abortDeepClone, (AcDbIdMapping& a), (a))
  EDT_HEAR(endDeepClone, (AcDbIdMapping& a), (a))
  EDT_HEAR(partialOpenNotice, (AcDbDatabase* a), (a))
  EDT_HEAR(beginAttach, (AcDbDatabase* a, const ACHAR* b, AcDbDatabase* c), (a, b, c))
  EDT_HEAR(otherAttach, (AcDbDatabase* a, AcDbDatabase* b), (a, b))
  EDT_HEAR(abortAttach, (AcDbDatabase* a), (a))
  EDT_HEAR(endAttach, (AcDbDatabase* a), (a))
  EDT_HEAR(redirected, (AcDbObjectId a, AcDbObjectId b), (a, b))
  EDT_HEAR(comandeered, (AcDbDatabase* a, AcDbObjectId b, AcDbDatabase* c), (a, b, c))
  EDT_HEAR(beginRestore, (AcDbDatabase* a, const ACHAR* b, AcDbDatabase* c), (a, b, c))
  EDT_HEAR(abortRestore, (AcDbDatabase* a), (a))
  EDT_HEAR(endRestore, (AcDbDatabase* a), (a))
  EDT_HEAR(xrefSubCommandStart,
           (AcDbDatabase* a, AcXrefSubCommand b, const AcArray<AcDbObjectId>& c, const ACHAR* const* d,
            const ACHAR* const* e, bool& f),
           (a, b, c, d, e, f))
  EDT_HEAR(xrefSubCommandAborted,
           (AcDbDatabase* a, AcXrefSubCommand b, const AcArray<AcDbObjectId>& c, const ACHAR* const* d,
            const ACHAR* const* e),
           (a, b, c, d, e))
  EDT_HEAR(preXrefLockFile, (AcDbDatabase* a, AcDbObjectId b), (a, b))

  EDT_HEAR(unknownCommand, (const ACHAR* a, AcDbVoidPtrArray* b), (a, b))
  EDT_HEAR(commandWillStart, (const ACHAR* a), (a))
  EDT_HEAR(commandEnded, (const ACHAR* a), (a))
  EDT_HEAR(commandCancelled, (const ACHAR* a), (a))
  EDT_HEAR(commandFailed, (const ACHAR* a), (a))
  EDT_HEAR(lispWillStart, (const ACHAR* a), (a))
  EDT_HEAR0(lispEnded)
  EDT_HEAR0(lispCancelled)
  EDT_HEAR(beginClose, (AcDbDatabase* a), (a))
  EDT_HEAR(beginDwgOpen, (ACHAR* a), (a))
  EDT_HEAR(endDwgOpen, (const ACHAR* a, AcDbDatabase* b), (a, b))
  EDT_HEAR(sysVarChanged, (const ACHAR* a, Adesk::Boolean b), (a, b))
  EDT_HEAR(sysVarWillChange, (const ACHAR* a), (a))
  EDT_HEAR(xrefSubcommandBindItem, (AcDbDatabase* a, int b, AcDbObjectId c), (a, b, c))
  EDT_HEAR(xrefSubcommandAttachItem, (AcDbDatabase* a, int b, const ACHAR* c), (a, b, c))
  EDT_HEAR(xrefSubcommandOverlayItem, (AcDbDatabase* a, int b, const ACHAR* c), (a, b, c))
  EDT_HEAR(xrefSubcommandDetachItem, (AcDbDatabase* a, int b, AcDbObjectId c), (a, b, c))
  EDT_HEAR(xrefSubcommandPathItem, (AcDbDatabase* a, int b, AcDbObjectId c, const ACHAR* d), (a, b, c, d))
  EDT_HEAR(xrefSubcommandReloadItem, (AcDbDatabase* a, int b, AcDbObjectId c), (a, b, c))
  EDT_HEAR(xrefSubcommandUnloadItem, (AcDbDatabase* a, int b, AcDbObjectId c), (a, b, c))
  EDT_HEAR(undoSubcommandAuto, (int a, Adesk::Boolean b), (a, b))
  EDT_HEAR(undoSubcommandControl, (int a, int b), (a, b))
  EDT_HEAR(undoSubcommandBegin, (int a), (a))
  EDT_HEAR(undoSubcommandEnd, (int a), (a))
  EDT_HEAR(undoSubcommandMark, (int a), (a))
  EDT_HEAR(undoSubcommandBack, (int a), (a))
  EDT_HEAR(undoSubcommandNumber, (int a, int b), (a, b))
  // Only the client base's form of this one is ever to be called.
  EDT_HEAR0(pickfirstModified)
  EDT_HEAR(layoutSwitched, (const ACHAR* a), (a))
  EDT_HEAR(docFrameMovedOrResized, (Adesk::LongPtr a, bool b), (a, b))
  EDT_HEAR(mainFrameMovedOrResized, (Adesk::LongPtr a, bool b), (a, b))
  EDT_HEAR(beginDoubleClick, (const AcGePoint3d& a), (a))
  EDT_HEAR(beginRightClick, (const AcGePoint3d& a), (a))
  EDT_HEAR(toolbarBitmapSizeWillChange, (Adesk::Boolean a), (a))
  EDT_HEAR(toolbarBitmapSizeChanged, (Adesk::Boolean a), (a))
  EDT_HEAR(objectsLazyLoaded, (const AcDbObjectIdArray& a), (a))
  EDT_HEAR0(beginQuit)
  EDT_HEAR0(quitAborted)
  EDT_HEAR0(quitWillStart)
  EDT_HEAR(modelessOperationWillStart, (const ACHAR* a), (a))
  EDT_HEAR(modelessOperationEnded, (const ACHAR* a), (a))
  EDT_HEAR(cmdIUnkModified, (const ACHAR* a), (a))
  Acad::ErrorStatus xrefSubCommandStart(AcXrefSubCommand a, const AcDbObjectIdArray& b, const ACHAR* const* c,
                                        const ACHAR* const* d) override {
    const Acad::ErrorStatus result = xrefResult;  // the hook may destroy this client
    hear(sig("xrefSubCommandStart", a, b, c, d));
    return result;
  }
  EDT_HEAR(preXrefLockFile, (AcDbObjectId a), (a))
  EDT_HEAR0(viewChanged)

 protected:
  void hear(const std::string& what) {
    heard().push_back({m_name, what});
    if (onHear) onHear(what);  // last: the hook may destroy this client
  }

 private:
  std::string m_name;
};

// A plain host editor reactor that registers itself at its own priority
// and removes itself when destroyed.
class PlainClient : public Recorder<AcEditorReactor> {
 public:
  PlainClient(std::string name, int priority) : Recorder(std::move(name)) {
    g_ReactorManager.addEdReactor(this, priority);
  }
  ~PlainClient() override { g_ReactorManager.removeEdReactor(this); }
};

// What a client of the base heard of one pickfirst change.
struct PickfirstSeen {
  Adesk::Int64 ss0 = 0, ss1 = 0;
  std::vector<AcDbObjectId> ids;
  AcRxClass* cls = nullptr;
  bool filterOn = false;
  int openSets = 0;
};

// A client built on the client base, registered by it at priority -1
// (or not at all, when constructed with false).
class Client : public Recorder<KOVAEditorReactorBase> {
 public:
  explicit Client(std::string name, bool bRegister = true) : Recorder(std::move(name), bRegister) {}
  // The client base's two hidden forms of the pickfirst notification stay reachable.
  using Recorder::pickfirstModified;

  std::function<void(Client& self, const AcArray<AcDbObjectId>& ids)> onPickfirst;
  std::vector<PickfirstSeen> pickfirsts;

  void pickfirstModified(ads_name ss, const AcArray<AcDbObjectId>& ids, AcRxClass* cls) override {
    PickfirstSeen seen;
    seen.ss0 = ss[0];
    seen.ss1 = ss[1];
    seen.ids.assign(ids.begin(), ids.end());
    seen.cls = cls;
    seen.filterOn = g_ReactorManager.filterReactors();
    seen.openSets = kvhost::openSelectionSetCount();
    pickfirsts.push_back(seen);
    if (onPickfirst) onPickfirst(*this, ids);
    hear("pickfirstModified(ss,ids,cls)");  // last: a hook may destroy this client
  }

  EDT_HEAR(beginDocClose, (AcDbDatabase* a), (a))
  EDT_HEAR(docCloseAborted, (AcDbDatabase* a), (a))
  EDT_HEAR(docCloseWillStart, (AcDbDatabase* a), (a))
  EDT_HEAR(layoutToBeSwitched, (const ACHAR* a, const ACHAR* b), (a, b))
  EDT_HEAR(dwgViewResized, (Adesk::LongPtr a), (a))

  // The shared redraw set, as the client base keeps it.
  static std::vector<AcDbObjectId> queued() {
    return std::vector<AcDbObjectId>(m_tabPickFirstToRedraw.begin(), m_tabPickFirstToRedraw.end());
  }
};

// The reactors the host's editor has attached, in the order of attaching.
inline std::vector<AcRxEventReactor*> editorReactors() {
  AcArray<AcRxEventReactor*> all = acedEditorPtr()->reactors();
  return std::vector<AcRxEventReactor*>(all.begin(), all.end());
}

inline AcRxEventReactor* hubDispatcher() {
  return static_cast<AcEditorReactor*>(g_ReactorManager.edReactorDispatcher());
}

// The names of the clients that heard notifications of one kind, in order.
inline std::vector<std::string> whoHeard(const std::string& kind, std::vector<std::string>* whats = nullptr) {
  std::vector<std::string> who;
  for (const Heard& h : heard())
    if (h.what == kind || h.what.rfind(kind + " ", 0) == 0) {
      who.push_back(h.who);
      if (whats) whats->push_back(h.what);
    }
  return who;
}

}  // namespace edtest
