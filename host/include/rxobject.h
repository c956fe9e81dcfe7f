// The host's runtime class system: every host object knows its class, and
// classes form one tree under AcRxObject that can be walked at run time.
#pragma once
#include <string>
#include <vector>
#include "acadstrc.h"
#include "adesk.h"

class AcRxClass;

class ACHOST_API AcRxObject {
 public:
  virtual ~AcRxObject();
  static AcRxClass* desc();
  static AcRxObject* cast(const AcRxObject* p) { return const_cast<AcRxObject*>(p); }
  virtual AcRxClass* isA() const;
  bool isKindOf(const AcRxClass* cls) const;
};

// Declares the class functions of a host class with a runtime class.
#define ACRX_DECLARE_MEMBERS(CLASS)                                       \
  static AcRxClass* desc();                                               \
  static CLASS* cast(const AcRxObject* p) {                               \
    return p && p->isKindOf(CLASS::desc())                                \
               ? static_cast<CLASS*>(const_cast<AcRxObject*>(p))          \
               : nullptr;                                                 \
  }                                                                       \
  AcRxClass* isA() const override

typedef AcRxObject* (*AcRxPseudoConstructor)();
typedef void (*AppNameChangeFuncPtr)(const AcRxClass* cls, ACHAR*& newAppName, int saveVer);

class ACHOST_API AcRxClass : public AcRxObject {
 public:
  ACRX_DECLARE_MEMBERS(AcRxClass);
  ~AcRxClass() override;
  const ACHAR* name() const;
  AcRxClass* myParent() const;
  bool isDerivedFrom(const AcRxClass* other) const;
  AcRxObject* create() const;
  const ACHAR* dxfName() const;
  const ACHAR* appName() const;
  int dwgVersion(int& maintVer) const;
  int proxyFlags() const;

  struct Impl;
  explicit AcRxClass(Impl* impl);
  Impl* impl() const { return m_pImpl; }

 private:
  Impl* m_pImpl;
};

// A name-to-object dictionary; the system registry and the class dictionary
// are dictionaries of this kind. They do not own what they hold.
class ACHOST_API AcRxDictionary : public AcRxObject {
 public:
  ACRX_DECLARE_MEMBERS(AcRxDictionary);
  AcRxDictionary();
  ~AcRxDictionary() override;
  AcRxObject* at(const ACHAR* key) const;
  AcRxObject* atPut(const ACHAR* key, AcRxObject* object);
  AcRxObject* remove(const ACHAR* key);
  bool has(const ACHAR* key) const;
  int numEntries() const;

 private:
  struct Impl;
  Impl* m_pImpl;
};

#define ACRX_CLASS_DICTIONARY ACRX_T("ClassDictionary")
#define ACRX_DYNAMIC_LINKER ACRX_T("DynamicLinker")

ACHOST_API AcRxDictionary* acrxSysRegistry();
ACHOST_API AcRxDictionary* acrxClassDictionary();

ACHOST_API AcRxClass* newAcRxClass(const ACHAR* className, const ACHAR* parentClassName,
                                   int dwgVer, int maintVer, int proxyFlags,
                                   AcRxPseudoConstructor pseudoConstructor,
                                   const ACHAR* dxfName, const ACHAR* appName,
                                   AppNameChangeFuncPtr func = nullptr);
ACHOST_API void deleteAcRxClass(AcRxClass* cls);

// Stops the host with a message: the host cannot go on after it.
[[noreturn]] ACHOST_API void acrx_abort(const ACHAR* format, ...);

// The version of this interface; a module answers it from acrxGetApiVersion.
#define ACRX_API_VERSION 18

namespace AcRx {
enum AppMsgCode {
  kNullMsg = 0,
  kInitAppMsg = 1,
  kUnloadAppMsg = 2,
  kLoadDwgMsg = 3,
  kUnloadDwgMsg = 4,
  kInvkSubrMsg = 5,
  kCfgMsg = 6,
  kEndMsg = 7,
  kQuitMsg = 8,
  kSaveMsg = 9,
  kDependencyMsg = 10,
  kNoDependencyMsg = 11,
  kOleUnloadAppMsg = 12,
  kPreQuitMsg = 13,
  kInitDialogMsg = 14,
  kEndDialogMsg = 15,
  kSuspendMsg = 16,
};
enum AppRetCode { kRetOK = 0, kRetError = 3 };
}  // namespace AcRx

// Loads and unloads application modules. A module is locked against
// unloading until it unlocks itself.
class ACHOST_API AcRxDynamicLinker : public AcRxObject {
 public:
  ACRX_DECLARE_MEMBERS(AcRxDynamicLinker);
  AcRxDynamicLinker();
  ~AcRxDynamicLinker() override;
  bool loadModule(const ACHAR* fileName, bool printit, bool asCmd = false);
  bool unloadModule(const ACHAR* fileName, bool asCmd = false);
  bool unlockApplication(void* appId) const;
  bool lockApplication(void* appId) const;
  bool isApplicationLocked(const ACHAR* fileName) const;
  bool registerAppMDIAware(void* appId) const;
  bool isAppMDIAware(const ACHAR* fileName) const;
  bool isModuleLoaded(const ACHAR* fileName) const;
  // What the host does when it quits: every module is unloaded, locked or
  // not, a module before those it needs, otherwise the last loaded first.
  void unloadAllModules();
  // Why the last load or unload failed (empty after a success).
  const ACHAR* lastError() const;
  // The file name (without its directory) of the module or library whose
  // image holds address, code or data; empty when none does.
  std::wstring moduleHolding(const void* address) const;

  struct Impl;

 private:
  Impl* m_pImpl;
};
