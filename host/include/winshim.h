// The few Windows, MFC and ATL facilities that an application module uses
// while it is loaded and unloaded. The host provides them so that a module
// goes through the same steps, in the same order, as on Windows; each step
// is written to the host's journal.
#pragma once
#include <cstdint>
#include "adesk.h"

typedef int BOOL;
typedef long HRESULT;
typedef unsigned long DWORD;
typedef void* HINSTANCE;
typedef void* HMODULE;
typedef void* LPVOID;
struct GUID {
  uint32_t Data1;
  uint16_t Data2, Data3;
  uint8_t Data4[8];
};
typedef GUID CLSID;
typedef GUID IID;
#define TRUE 1
#define FALSE 0
#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define CLASS_E_CLASSNOTAVAILABLE ((HRESULT)0x80040111L)
#define E_POINTER ((HRESULT)0x80004003L)
#define TYPE_E_REGISTRYACCESS ((HRESULT)0x8002801CL)
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

// The signature of a module's entry point, called with DLL_PROCESS_ATTACH
// after the module is mapped and with DLL_PROCESS_DETACH before it is unmapped.
typedef BOOL (*KvDllEntryPoint)(HINSTANCE, DWORD, LPVOID);

ACHOST_API BOOL DisableThreadLibraryCalls(HMODULE module);

// MFC extension modules: a module's resources join the framework's chain.
struct AFX_EXTENSION_MODULE {
  BOOL bInitialized = FALSE;
  HMODULE hModule = nullptr;
  HMODULE hResource = nullptr;
};
ACHOST_API BOOL AfxInitExtensionModule(AFX_EXTENSION_MODULE& state, HMODULE module);
ACHOST_API void AfxTermExtensionModule(AFX_EXTENSION_MODULE& state, BOOL bAll = FALSE);
ACHOST_API HINSTANCE AfxGetResourceHandle();

class ACHOST_API CDynLinkLibrary {
 public:
  explicit CDynLinkLibrary(AFX_EXTENSION_MODULE& state);
  ~CDynLinkLibrary();
  HMODULE module() const { return m_hModule; }

 private:
  HMODULE m_hModule;
};
// The extension modules whose resources are in the framework's chain.
ACHOST_API int AfxResourceChainLength();

// A type library as a module embeds it: the resource "TYPELIB" 1 is the
// exported object named kvResource_TYPELIB_1.
struct KvTypeLibrary {
  const wchar_t* name;
  const wchar_t* helpString;
  unsigned short majorVersion, minorVersion;
  unsigned long lcid;
  GUID libid;
};
struct _ATL_OBJMAP_ENTRY {
  const CLSID* pclsid;
};

// The ATL module object: the module's COM lock count and class table.
class ACHOST_API CComModule {
 public:
  HRESULT Init(_ATL_OBJMAP_ENTRY* objectMap, HINSTANCE instance, const GUID* libid = nullptr);
  void Term();
  long Lock();
  long Unlock();
  long GetLockCount() const { return m_nLockCnt; }
  bool isInitialized() const { return m_bInit; }
  // Registers (or removes) the type library the module embeds, and the
  // classes of the class table; a null class id means all of them.
  HRESULT RegisterServer(BOOL bRegTypeLib, const CLSID* pCLSID = nullptr);
  HRESULT UnregisterServer(BOOL bUnRegTypeLib, const CLSID* pCLSID = nullptr);
  HRESULT GetClassObject(const CLSID& rclsid, const IID& riid, LPVOID* ppv);

 private:
  _ATL_OBJMAP_ENTRY* m_pObjMap = nullptr;
  HINSTANCE m_hInst = nullptr;
  long m_nLockCnt = 0;
  bool m_bInit = false;
};
// Whether the system registry holds a type library of that name.
ACHOST_API bool KvIsTypeLibraryRegistered(const wchar_t* name);
