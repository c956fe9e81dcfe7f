// The Windows loader steps that modules take part in: MFC extension
// modules and their resource chain, ATL modules and their type libraries.
#include <algorithm>
#include <string>
#include <vector>
#include "common/journal.h"
#include "rx/typelibrary.h"
#include "winshim.h"

namespace {
std::vector<CDynLinkLibrary*>& resourceChain() {
  static std::vector<CDynLinkLibrary*> chain;
  return chain;
}
}  // namespace

BOOL DisableThreadLibraryCalls(HMODULE) {
  kvhost::writeJournal(L"loader: thread library calls disabled");
  return TRUE;
}

BOOL AfxInitExtensionModule(AFX_EXTENSION_MODULE& state, HMODULE module) {
  if (state.bInitialized) return FALSE;
  state.hModule = module;
  state.hResource = module;
  state.bInitialized = TRUE;
  kvhost::writeJournal(L"mfc: extension module attached");
  return TRUE;
}

void AfxTermExtensionModule(AFX_EXTENSION_MODULE& state, BOOL) {
  if (!state.bInitialized) return;
  std::vector<CDynLinkLibrary*> mine;
  for (CDynLinkLibrary* lib : resourceChain())
    if (lib->module() == state.hModule) mine.push_back(lib);
  for (CDynLinkLibrary* lib : mine) delete lib;
  state.bInitialized = FALSE;
  kvhost::writeJournal(L"mfc: extension module detached");
}

HINSTANCE AfxGetResourceHandle() { return nullptr; }

CDynLinkLibrary::CDynLinkLibrary(AFX_EXTENSION_MODULE& state) : m_hModule(state.hModule) {
  resourceChain().push_back(this);
}
CDynLinkLibrary::~CDynLinkLibrary() {
  auto& chain = resourceChain();
  chain.erase(std::remove(chain.begin(), chain.end(), this), chain.end());
}
int AfxResourceChainLength() { return static_cast<int>(resourceChain().size()); }

HRESULT CComModule::Init(_ATL_OBJMAP_ENTRY* objectMap, HINSTANCE instance, const GUID*) {
  m_pObjMap = objectMap;
  m_hInst = instance;
  m_bInit = true;
  kvhost::writeJournal(L"atl: module initialised");
  return S_OK;
}
void CComModule::Term() {
  if (!m_bInit) return;
  m_bInit = false;
  kvhost::writeJournal(L"atl: module terminated");
}
long CComModule::Lock() { return ++m_nLockCnt; }
long CComModule::Unlock() { return m_nLockCnt > 0 ? --m_nLockCnt : 0; }

HRESULT CComModule::RegisterServer(BOOL bRegTypeLib, const CLSID*) {
  return bRegTypeLib ? kvhost::sys::registerTypeLibrary(m_hInst, true) : S_OK;
}
HRESULT CComModule::UnregisterServer(BOOL bUnRegTypeLib, const CLSID*) {
  return bUnRegTypeLib ? kvhost::sys::registerTypeLibrary(m_hInst, false) : S_OK;
}
HRESULT CComModule::GetClassObject(const CLSID&, const IID&, LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  return CLASS_E_CLASSNOTAVAILABLE;  // this host serves no COM objects
}
bool KvIsTypeLibraryRegistered(const wchar_t* name) { return kvhost::sys::isTypeLibraryRegistered(name); }
