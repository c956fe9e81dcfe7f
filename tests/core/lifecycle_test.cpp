// Loading and unloading the hub module through the host's dynamic linker.
// This program does not link the module, so every load maps it afresh.
#include <gtest/gtest.h>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <kvhost.h>
#include <memoryfault.h>
#include <programs.h>
#include <winshim.h>

namespace {

const wchar_t* kModule = L"KOVANotification10.arx";

// The journal lines since start that contain key.
std::vector<std::wstring> linesSince(size_t start, const std::wstring& key) {
  std::vector<std::wstring> lines;
  for (size_t i = start; i < kvhost::journal().size(); ++i)
    if (kvhost::journal()[i].find(key) != std::wstring::npos) lines.push_back(kvhost::journal()[i]);
  return lines;
}

bool undoClassRegistered() { return acrxClassDictionary()->at(L"KOVAUndoObject") != nullptr; }

TEST(ModuleLifecycle, EachLoadGivesAFreshModuleAndUnloadTakesItAllAway) {
  for (int round = 0; round < 2; ++round) {
    size_t start = kvhost::journal().size();
    ASSERT_TRUE(kvhost::loadModule(kModule)) << kvhost::lastModuleError().c_str();
    EXPECT_TRUE(undoClassRegistered());
    // Static construction ran again, and the module joined the resource chain and ATL afresh.
    for (const wchar_t* step : {L"process attach", L"mfc: extension module attached", L"atl: module initialised"})
      EXPECT_EQ(linesSince(start, step).size(), 1u) << step;
    start = kvhost::journal().size();
    ASSERT_TRUE(kvhost::unloadModule(kModule));
    EXPECT_FALSE(kvhost::isModuleMapped(kModule));
    EXPECT_FALSE(undoClassRegistered());
    // The module hears it is unloaded while it is still all there.
    EXPECT_EQ(linesSince(start, L"linker: KOVANotification10.arx "),
              (std::vector<std::wstring>{L"linker: KOVANotification10.arx kUnloadAppMsg",
                                         L"linker: KOVANotification10.arx process detach",
                                         L"linker: KOVANotification10.arx unmapped"}));
  }
  EXPECT_FALSE(kvhost::loadModule(L"NoSuchModule.arx"));
  EXPECT_FALSE(kvhost::lastModuleError().empty());
}

// The client links the hub: loaded first, it maps the hub, which the host
// then loads last; still the hub stays until the client is gone.
TEST(ModuleLifecycle, AModuleAnotherOneNeedsStaysUntilThatOneIsUnloaded) {
  ASSERT_TRUE(kvhost::loadModule(L"TraceClient.arx")) << kvhost::lastModuleError().c_str();
  ASSERT_TRUE(kvhost::loadModule(kModule));
  size_t start = kvhost::journal().size();
  EXPECT_FALSE(kvhost::unloadModule(kModule));
  EXPECT_EQ(kvhost::lastModuleError(), L"module KOVANotification10.arx is needed by TraceClient.arx and cannot be unloaded");
  for (const wchar_t* step : {L"kUnloadAppMsg", L"detach", L"removed"}) EXPECT_TRUE(linesSince(start, step).empty());
  kvhost::newDocument(L"plan");
  EXPECT_EQ(kvhost::runCommand(L"LINE"), kvhost::CommandOutcome::kEnded);
  EXPECT_TRUE(undoClassRegistered());

  start = kvhost::journal().size();
  kvhost::quit();
  EXPECT_EQ(linesSince(start, L"kUnloadAppMsg"), (std::vector<std::wstring>{
                                                     L"linker: TraceClient.arx kUnloadAppMsg",
                                                     L"linker: KOVANotification10.arx kUnloadAppMsg"}));
}

// What OLE automation lends the type library's registration (its attributes, its name) goes back:
// many leave the system's heap as it was (the library is not registered here: the registry stays).
TEST(ModuleLifecycle, RegisteringTheTypeLibraryKeepsNothingOfTheSystems) {
  size_t before = 0, after = 0;
  if (!programs::systemHeapBytes(before)) GTEST_SKIP() << "no system heap apart from the C runtime's here";
  ASSERT_TRUE(kvhost::loadModule(kModule));
  CComModule module;
  module.Init(nullptr, programs::loadedLibrary("KOVANotification10.arx"));
  module.UnregisterServer(TRUE);  // what the system sets up once and keeps
  programs::systemHeapBytes(before);
  for (int i = 0; i < 100; ++i) module.UnregisterServer(TRUE);
  EXPECT_TRUE(programs::systemHeapBytes(after) && after <= before + 100 * 8) << after - before << " bytes more";
  kvhost::quit();
}

// The host's own fault handler still gets the memory faults outside the
// hub's guarded calls, while the hub is loaded and after it and its in-house
// library are gone, with nothing of the guard left in the fault's way.
TEST(ModuleLifecycleDeathTest, TheHostsFaultHandlerKeepsTheFaultsThatAreNotTheHubs) {
  for (bool unload : {false, true}) {
    SCOPED_TRACE(unload ? "unloaded" : "loaded");
    EXPECT_EXIT(
        {
          std::signal(SIGSEGV, [](int) { std::_Exit(42); });
          if (!kvhost::loadModule(kModule) || (unload && !kvhost::unloadModule(kModule))) std::_Exit(1);
          makeMemoryFault();
          std::_Exit(2);
        },
        testing::ExitedWithCode(42), "");
  }
}

}  // namespace
