// Loading and unloading the hub module through the host's dynamic linker.
// This program does not link the module, so every load maps it afresh.
#include <gtest/gtest.h>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include "kvhost.h"

namespace {

const wchar_t* kModule = L"KOVANotification10.arx";

// The journal lines from the first one that contains `from`, each reduced
// to the lines that contain one of `keys`.
std::vector<std::wstring> stepsSince(size_t start, const std::vector<std::wstring>& keys) {
  std::vector<std::wstring> steps;
  const auto& journal = kvhost::journal();
  for (size_t i = start; i < journal.size(); ++i)
    for (const auto& key : keys)
      if (journal[i].find(key) != std::wstring::npos) {
        steps.push_back(journal[i]);
        break;
      }
  return steps;
}

bool undoClassRegistered() { return acrxClassDictionary()->at(L"KOVAUndoObject") != nullptr; }

TEST(ModuleLifecycle, LoadRunsEveryStepInOrderAndUnloadReversesThem) {
  size_t start = kvhost::journal().size();
  ASSERT_TRUE(kvhost::loadModule(kModule)) << kvhost::lastModuleError().c_str();
  EXPECT_TRUE(undoClassRegistered());
  std::vector<std::wstring> expected = {
      L"linker: KOVANotification10.arx mapped",
      L"linker: KOVANotification10.arx process attach",
      L"mfc: extension module attached",
      L"ui: library initialised",
      L"atl: module initialised",
      L"loader: thread library calls disabled",
      L"class KOVAUndoObject registered",
      L"linker: KOVANotification10.arx kInitAppMsg",
      L"linker: KOVANotification10.arx unlocked",
      L"linker: KOVANotification10.arx MDI aware"};
  std::vector<std::wstring> keys = {L"linker: KOVA", L"mfc:", L"ui:", L"atl:", L"loader:", L"class KOVA"};
  EXPECT_EQ(stepsSince(start, keys), expected);

  start = kvhost::journal().size();
  EXPECT_TRUE(kvhost::isModuleMapped(kModule));
  ASSERT_TRUE(kvhost::unloadModule(kModule));
  EXPECT_FALSE(kvhost::isModuleMapped(kModule));
  EXPECT_FALSE(undoClassRegistered());
  auto unload = stepsSince(start, keys);
  ASSERT_FALSE(unload.empty());
  EXPECT_EQ(unload.front(), L"linker: KOVANotification10.arx kUnloadAppMsg");
  EXPECT_EQ(unload.back(), L"linker: KOVANotification10.arx unmapped");
  auto at = [&](const std::wstring& line) { return std::find(unload.begin(), unload.end(), line) - unload.begin(); };
  EXPECT_LT(at(L"linker: KOVANotification10.arx kUnloadAppMsg"), at(L"linker: KOVANotification10.arx process detach"));
}

TEST(ModuleLifecycle, ReloadGivesAFreshModule) {
  for (int round = 0; round < 3; ++round) {
    size_t start = kvhost::journal().size();
    ASSERT_TRUE(kvhost::loadModule(kModule));
    EXPECT_TRUE(undoClassRegistered());
    // Each load runs the module's static construction and attach again.
    EXPECT_EQ(stepsSince(start, {L"process attach"}).size(), 1u);
    ASSERT_TRUE(kvhost::unloadModule(kModule));
    EXPECT_FALSE(undoClassRegistered());
  }
}

// The client links the hub: loaded first, it maps the hub, which the host
// then loads last; still the hub stays until the client is gone.
TEST(ModuleLifecycle, AModuleAnotherOneNeedsStaysUntilThatOneIsUnloaded) {
  ASSERT_TRUE(kvhost::loadModule(L"TraceClient.arx")) << kvhost::lastModuleError().c_str();
  ASSERT_TRUE(kvhost::loadModule(kModule));
  size_t start = kvhost::journal().size();
  EXPECT_FALSE(kvhost::unloadModule(kModule));
  EXPECT_EQ(kvhost::lastModuleError(), L"module KOVANotification10.arx is needed by TraceClient.arx and cannot be unloaded");
  EXPECT_EQ(stepsSince(start, {L"kUnloadAppMsg", L"detach", L"removed"}), std::vector<std::wstring>());
  kvhost::newDocument(L"plan");
  EXPECT_EQ(kvhost::runCommand(L"LINE"), kvhost::CommandOutcome::kEnded);
  EXPECT_TRUE(undoClassRegistered());

  start = kvhost::journal().size();
  kvhost::quit();
  EXPECT_EQ(stepsSince(start, {L"kUnloadAppMsg"}), (std::vector<std::wstring>{
                                                       L"linker: TraceClient.arx kUnloadAppMsg",
                                                       L"linker: KOVANotification10.arx kUnloadAppMsg"}));
}

// The host's own fault handler still gets the faults outside the hub's
// guarded calls, while the hub is loaded and after it and its in-house
// library are gone.
TEST(ModuleLifecycleDeathTest, TheHostsFaultHandlerKeepsTheFaultsThatAreNotTheHubs) {
  for (bool unload : {false, true}) {
    SCOPED_TRACE(unload ? "unloaded" : "loaded");
    EXPECT_EXIT(
        {
          std::signal(SIGSEGV, [](int) { std::_Exit(42); });
          if (!kvhost::loadModule(kModule) || (unload && !kvhost::unloadModule(kModule))) std::_Exit(1);
          std::raise(SIGSEGV);
          std::_Exit(2);
        },
        testing::ExitedWithCode(42), "");
  }
}

TEST(ModuleLifecycle, MissingModuleFailsWithAReason) {
  EXPECT_FALSE(kvhost::loadModule(L"NoSuchModule.arx"));
  EXPECT_FALSE(kvhost::lastModuleError().empty());
  EXPECT_FALSE(kvhost::unloadModule(L"NoSuchModule.arx"));
}

TEST(ModuleLifecycleDeathTest, AbortStopsTheHostWithItsMessage) {
  EXPECT_DEATH(acrx_abort(L"%ls is broken", L"the registry"), "the registry is broken");
}

}  // namespace
