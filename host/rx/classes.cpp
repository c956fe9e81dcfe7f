// The runtime class system, the system registry and the host's fatal stop.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>
#include "common/journal.h"
#include "rx/rxinternal.h"
#include "winshim.h"

struct AcRxClass::Impl {
  std::wstring name;
  AcRxClass* parent = nullptr;
  int dwgVer = 0, maintVer = 0, proxyFlags = 0;
  AcRxPseudoConstructor ctor = nullptr;
  std::wstring dxfName, appName;
};

struct AcRxDictionary::Impl {
  // Transparent ordering: a lookup by name builds no string, so a host
  // notification that looks up the editor allocates nothing.
  std::map<std::wstring, AcRxObject*, std::less<>> entries;
};

AcRxObject::~AcRxObject() = default;
bool AcRxObject::isKindOf(const AcRxClass* cls) const {
  AcRxClass* mine = isA();
  return mine != nullptr && mine->isDerivedFrom(cls);
}

namespace kvhost {
// Every class that exists, for finding one by its DXF name.
std::vector<AcRxClass*>& liveClasses() {
  static std::vector<AcRxClass*> classes;
  return classes;
}

ReactorList<ClassReactor>& classReactors() {
  static auto* reactors = new ReactorList<ClassReactor>;
  return *reactors;
}

AcRxClass* classByDxfName(const std::wstring& dxfName) {
  for (AcRxClass* cls : liveClasses())
    if (dxfName == cls->dxfName() && acrxClassDictionary()->at(cls->name()) == cls) return cls;
  return nullptr;
}

AcRxClass* registerHostClass(const wchar_t* name, AcRxClass* parent, AcRxPseudoConstructor ctor) {
  auto* impl = new AcRxClass::Impl;
  impl->name = name;
  impl->parent = parent;
  impl->ctor = ctor;
  impl->dxfName = name;
  impl->appName = L"ObjectDBX Classes";
  auto* cls = new AcRxClass(impl);
  acrxClassDictionary()->atPut(name, cls);
  return cls;
}
}  // namespace kvhost

AcRxClass* AcRxObject::desc() {
  static AcRxClass* cls = kvhost::registerHostClass(L"AcRxObject", nullptr, nullptr);
  return cls;
}
AcRxClass* AcRxObject::isA() const { return AcRxObject::desc(); }

#define KV_HOST_CLASS(CLASS, PARENT, CTOR)                                                  \
  AcRxClass* CLASS::desc() {                                                                \
    static AcRxClass* cls = kvhost::registerHostClass(L## #CLASS, PARENT::desc(), CTOR);    \
    return cls;                                                                             \
  }                                                                                         \
  AcRxClass* CLASS::isA() const { return CLASS::desc(); }

KV_HOST_CLASS(AcRxClass, AcRxObject, nullptr)
KV_HOST_CLASS(AcRxDictionary, AcRxObject, nullptr)
KV_HOST_CLASS(AcRxDynamicLinker, AcRxObject, nullptr)
KV_HOST_CLASS(AcDbObject, AcRxObject, nullptr)
KV_HOST_CLASS(AcDbEntity, AcDbObject, nullptr)
KV_HOST_CLASS(AcDbCurve, AcDbEntity, nullptr)
KV_HOST_CLASS(AcDbLine, AcDbCurve, [] { return static_cast<AcRxObject*>(new AcDbLine); })
KV_HOST_CLASS(AcDbCircle, AcDbCurve, [] { return static_cast<AcRxObject*>(new AcDbCircle); })
KV_HOST_CLASS(AcDbText, AcDbEntity, [] { return static_cast<AcRxObject*>(new AcDbText); })
KV_HOST_CLASS(AcDbDictionary, AcDbObject, [] { return static_cast<AcRxObject*>(new AcDbDictionary); })
KV_HOST_CLASS(AcDbLayerTableRecord, AcDbObject, [] { return static_cast<AcRxObject*>(new AcDbLayerTableRecord); })
KV_HOST_CLASS(AcDbProxyObject, AcDbObject, nullptr)
KV_HOST_CLASS(AcDbProxyEntity, AcDbEntity, [] { return static_cast<AcRxObject*>(new AcDbProxyEntity); })
KV_HOST_CLASS(AcDbDatabase, AcRxObject, nullptr)
KV_HOST_CLASS(AcDbDatabaseReactor, AcRxObject, nullptr)
KV_HOST_CLASS(AcApDocManagerReactor, AcRxObject, nullptr)
KV_HOST_CLASS(AcApDocument, AcRxObject, nullptr)
KV_HOST_CLASS(AcApDocManager, AcRxObject, nullptr)
KV_HOST_CLASS(AcRxEventReactor, AcRxObject, nullptr)
KV_HOST_CLASS(AcEditorReactor, AcRxEventReactor, nullptr)
KV_HOST_CLASS(AcEditorReactor2, AcEditorReactor, nullptr)
KV_HOST_CLASS(AcEditor, AcRxObject, nullptr)

AcRxClass::AcRxClass(Impl* impl) : m_pImpl(impl) { kvhost::liveClasses().push_back(this); }
AcRxClass::~AcRxClass() {
  auto& live = kvhost::liveClasses();
  live.erase(std::remove(live.begin(), live.end(), this), live.end());
  delete m_pImpl;
}
const ACHAR* AcRxClass::name() const { return m_pImpl->name.c_str(); }
AcRxClass* AcRxClass::myParent() const { return m_pImpl->parent; }
bool AcRxClass::isDerivedFrom(const AcRxClass* other) const {
  for (const AcRxClass* c = this; c != nullptr; c = c->myParent())
    if (c == other) return true;
  return false;
}
AcRxObject* AcRxClass::create() const { return m_pImpl->ctor ? m_pImpl->ctor() : nullptr; }
const ACHAR* AcRxClass::dxfName() const { return m_pImpl->dxfName.c_str(); }
const ACHAR* AcRxClass::appName() const { return m_pImpl->appName.c_str(); }
int AcRxClass::dwgVersion(int& maintVer) const {
  maintVer = m_pImpl->maintVer;
  return m_pImpl->dwgVer;
}
int AcRxClass::proxyFlags() const { return m_pImpl->proxyFlags; }

AcRxDictionary::AcRxDictionary() : m_pImpl(new Impl) {}
AcRxDictionary::~AcRxDictionary() { delete m_pImpl; }
AcRxObject* AcRxDictionary::at(const ACHAR* key) const {
  if (key == nullptr) return nullptr;
  auto it = m_pImpl->entries.find(std::wstring_view(key));
  return it == m_pImpl->entries.end() ? nullptr : it->second;
}
AcRxObject* AcRxDictionary::atPut(const ACHAR* key, AcRxObject* object) {
  AcRxObject*& slot = m_pImpl->entries[key];
  AcRxObject* previous = slot;
  slot = object;
  return previous;
}
AcRxObject* AcRxDictionary::remove(const ACHAR* key) {
  auto it = m_pImpl->entries.find(key);
  if (it == m_pImpl->entries.end()) return nullptr;
  AcRxObject* previous = it->second;
  m_pImpl->entries.erase(it);
  return previous;
}
bool AcRxDictionary::has(const ACHAR* key) const { return at(key) != nullptr; }
int AcRxDictionary::numEntries() const { return static_cast<int>(m_pImpl->entries.size()); }

AcRxDictionary* acrxClassDictionary() {
  static AcRxDictionary* classes = new AcRxDictionary;
  return classes;
}

AcRxDictionary* acrxSysRegistry() {
  // The host's registry lives as long as the process: modules unloaded at
  // exit may still look it up.
  static AcRxDictionary* registry = [] {
    auto* r = new AcRxDictionary;
    r->atPut(ACRX_CLASS_DICTIONARY, acrxClassDictionary());
    r->atPut(ACRX_DYNAMIC_LINKER, new AcRxDynamicLinker);
    r->atPut(L"AcEditor", new AcEditor);
    // Every host class is known before any module registers its own.
    for (AcRxClass* (*desc)() : {&AcRxObject::desc, &AcRxClass::desc, &AcRxDictionary::desc,
                                 &AcRxDynamicLinker::desc, &AcDbObject::desc, &AcDbEntity::desc, &AcDbCurve::desc,
                                 &AcDbLine::desc, &AcDbCircle::desc, &AcDbText::desc, &AcDbDictionary::desc, &AcDbLayerTableRecord::desc,
                                 &AcDbProxyObject::desc, &AcDbProxyEntity::desc, &AcDbDatabase::desc, &AcDbDatabaseReactor::desc,
                                 &AcApDocManagerReactor::desc, &AcApDocument::desc, &AcApDocManager::desc,
                                 &AcRxEventReactor::desc, &AcEditorReactor::desc, &AcEditorReactor2::desc,
                                 &AcEditor::desc})
      desc();
    return r;
  }();
  return registry;
}

AcRxClass* newAcRxClass(const ACHAR* className, const ACHAR* parentClassName, int dwgVer, int maintVer,
                        int proxyFlags, AcRxPseudoConstructor pseudoConstructor, const ACHAR* dxfName,
                        const ACHAR* appName, AppNameChangeFuncPtr) {
  AcRxDictionary* classes = static_cast<AcRxDictionary*>(acrxSysRegistry()->at(ACRX_CLASS_DICTIONARY));
  if (AcRxClass* existing = AcRxClass::cast(classes->at(className))) return existing;
  AcRxClass* parent = AcRxClass::cast(classes->at(parentClassName));
  if (parent == nullptr) acrx_abort(L"Parent class %ls of %ls is not registered", parentClassName, className);
  auto* impl = new AcRxClass::Impl;
  impl->name = className;
  impl->parent = parent;
  impl->dwgVer = dwgVer;
  impl->maintVer = maintVer;
  impl->proxyFlags = proxyFlags;
  impl->ctor = pseudoConstructor;
  impl->dxfName = dxfName ? dxfName : L"";
  impl->appName = appName ? appName : L"";
  auto* cls = new AcRxClass(impl);
  classes->atPut(className, cls);
  kvhost::journalf(L"class %ls registered", className);
  kvhost::classReactors().notify([&](kvhost::ClassReactor* r) { r->classRegistered(cls); });
  return cls;
}

void deleteAcRxClass(AcRxClass* cls) {
  if (cls == nullptr) return;
  kvhost::classReactors().notify([&](kvhost::ClassReactor* r) { r->classToBeRemoved(cls); });
  AcRxDictionary* classes = acrxClassDictionary();
  if (classes->at(cls->name()) == cls) classes->remove(cls->name());
  kvhost::journalf(L"class %ls removed", cls->name());
  delete cls;
}

void acrx_abort(const ACHAR* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = "acrx_abort: " + kvhost::toUtf8(kvhost::formatLine(format, args)) + "\n";
  va_end(args);
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
  std::abort();
}
