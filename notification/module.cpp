// The module's entry points: loading, the host's messages, unloading and
// the COM exports.
#include <rxobject.h>
#include <winshim.h>
#include <aced.h>
#include "kovaexport.h"
#include "kovareactormanager.h"
#include "kovaundocontroller.h"

// The module embeds its type library; it declares no interfaces or classes.
extern "C" KOVA_EXPORT const KvTypeLibrary kvResource_TYPELIB_1 = {
    L"KOVANOTIFICATIONLib", L"KOVANotification 1.0 Type Library", 1, 0, 1033,
    {0x6c1f3a52, 0x9e0b, 0x4d6a, {0x8f, 0x21, 0x5b, 0x7e, 0x14, 0xc9, 0x03, 0xa7}}};

namespace {

CComModule _Module;
_ATL_OBJMAP_ENTRY ObjectMap[] = {{nullptr}};

// The module's membership in the framework's resource chain.
class KOVAExtensionModule {
 public:
  bool attachInstance(HINSTANCE instance) {
    if (m_bAttached) return false;
    m_bAttached = AfxInitExtensionModule(m_module, instance) != FALSE;
    if (m_bAttached) {
      m_hDefaultResource = AfxGetResourceHandle();
      m_hModuleResource = instance;
      new CDynLinkLibrary(m_module);  // owned by the framework's chain
    }
    return m_bAttached;
  }
  void detachInstance() {
    if (!m_bAttached) return;
    AfxTermExtensionModule(m_module, FALSE);
    m_bAttached = false;
  }

 private:
  AFX_EXTENSION_MODULE m_module;
  bool m_bAttached = false;
  HINSTANCE m_hDefaultResource = nullptr;
  HINSTANCE m_hModuleResource = nullptr;
};

KOVAExtensionModule KOVANotificationDLL;

AcRxDynamicLinker* dynamicLinker() {
  return AcRxDynamicLinker::cast(acrxSysRegistry()->at(ACRX_DYNAMIC_LINKER));
}

}  // namespace

extern "C" KOVA_EXPORT BOOL DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID) {
  if (dwReason == DLL_PROCESS_ATTACH) {
    KOVANotificationDLL.attachInstance(hInstance);
    InitAcUiDLL();
    _Module.Init(ObjectMap, hInstance, &kvResource_TYPELIB_1.libid);
    DisableThreadLibraryCalls(hInstance);
    KOVAUndoObject::rxInit();
  } else if (dwReason == DLL_PROCESS_DETACH) {
    KOVAUndoObject::rxUninit();
    KOVANotificationDLL.detachInstance();
    _Module.Term();
  }
  return TRUE;
}

extern "C" KOVA_EXPORT AcRx::AppRetCode acrxEntryPoint(AcRx::AppMsgCode msg, void* appId) {
  switch (msg) {
    case AcRx::kInitAppMsg:
      dynamicLinker()->unlockApplication(appId);
      dynamicLinker()->registerAppMDIAware(appId);
      KOVAUndoObject::rxInit();
      g_ReactorManager.attachDispatchers(true);
      break;
    case AcRx::kUnloadAppMsg:
      // Unloaded, the module may stay mapped (a program links it): nothing
      // of it may run without its marker class, so the host's notifications
      // stop reaching it until it is loaded again.
      g_ReactorManager.attachDispatchers(false);
      KOVAUndoObject::rxUninit();
      break;
    default:
      break;
  }
  return AcRx::kRetOK;
}

extern "C" KOVA_EXPORT int acrxGetApiVersion() { return ACRX_API_VERSION; }

extern "C" KOVA_EXPORT const wchar_t* getModulePromptsProjectName() {
  static const wchar_t kProjectName[] = L"KOVANOTIFICATION";
  return kProjectName;
}

extern "C" KOVA_EXPORT HRESULT DllRegisterServer() { return _Module.RegisterServer(TRUE); }
extern "C" KOVA_EXPORT HRESULT DllUnregisterServer() { return _Module.UnregisterServer(TRUE); }
extern "C" KOVA_EXPORT HRESULT DllGetClassObject(const CLSID& rclsid, const IID& riid, LPVOID* ppv) {
  return _Module.GetClassObject(rclsid, riid, ppv);
}
extern "C" KOVA_EXPORT HRESULT DllCanUnloadNow() { return _Module.GetLockCount() == 0 ? S_OK : S_FALSE; }
