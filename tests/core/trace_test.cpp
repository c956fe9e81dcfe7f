// The function-entry log and the crash guard that wrap the hub's functions,
// and the in-house helpers on top of the host.
#include <csignal>
#include <stdexcept>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <KOVATools.h>
#include <KvTrace.h>
#include <kvhost.h>

#define KV_SOURCE_FILE L"trace_test"

using ::testing::ElementsAre;

namespace {

TEST(FunctionEntryLog, KeepsTheMostRecentEntriesOnceItHasWrapped) {
  const wchar_t* labels[] = {L"A::a", L"B::b", L"C::c"};
  for (int i = 0; i < 3000; ++i) kvGuarded(labels[i % 3], KV_SOURCE_FILE, __LINE__, [] {});
  const std::vector<std::wstring> kept = KvTrace::recentEntries(5000);
  ASSERT_EQ(kept.size(), 1024u);
  EXPECT_EQ(kept.back(), L"leave C::c");  // call 2999 is the last
  EXPECT_EQ(kept[kept.size() - 2], L"enter C::c");
  EXPECT_EQ(kept[kept.size() - 3], L"leave B::b");
}

// This program does not link the hub: unloaded, it is unmapped.
TEST(FunctionEntryLog, EntriesStayReadableAfterTheModuleThatWroteThemIsGone) {
  ASSERT_TRUE(kvhost::loadModule(L"KOVANotification10.arx")) << kvhost::lastModuleError().c_str();
  ASSERT_TRUE(kvhost::unloadModule(L"KOVANotification10.arx"));
  ASSERT_EQ(kvhost::journal().back(), L"linker: KOVANotification10.arx unmapped");
  // The last entry, of the module's static destruction, reads as it was written.
  EXPECT_THAT(KvTrace::recentEntries(1), ElementsAre(::testing::StartsWith(L"leave KOVAReactorManager::~")));
}

TEST(CrashGuard, AnExceptionIsReportedWhereTheGuardStandsAndTheCallReturnsZero) {
  KvTrace::clearCrashReports();
  std::vector<std::wstring> heard;
  KvTrace::setCrashListener([&](const KvCrashReport& r) { heard.push_back(r.function); });
  const long long start = KvTrace::entryCount();
  int line = 0;
  const int result = KV_GUARDED(L"Outer::count", [&] {
    line = __LINE__ + 1;
    const int inner = KV_GUARDED(L"Inner::count", []() -> int { throw std::runtime_error("no count"); });
    return inner + 7;  // the inner call's fault stops at its guard
  });
  KvTrace::setCrashListener(nullptr);

  EXPECT_EQ(result, 7);
  ASSERT_EQ(KvTrace::crashReports().size(), 1u);
  const KvCrashReport& report = KvTrace::crashReports().front();
  EXPECT_EQ(report.sourceFile, L"trace_test");
  EXPECT_EQ(report.line, line);
  EXPECT_EQ(report.function, L"Inner::count");
  EXPECT_EQ(report.what, L"no count");
  EXPECT_THAT(heard, ElementsAre(L"Inner::count"));
  // Unwinding closed the inner entry before the outer one went on.
  EXPECT_THAT(KvTrace::recentEntries(static_cast<size_t>(KvTrace::entryCount() - start)),
              ElementsAre(L"enter Outer::count", L"enter Inner::count", L"leave Inner::count", L"leave Outer::count"));

  // Once left, a guard no longer names the place of a later fault.
  KV_GUARDED(L"Later::run", [] { throw 1; });
  ASSERT_EQ(KvTrace::crashReports().size(), 2u);
  EXPECT_EQ(KvTrace::crashReports().back().function, L"Later::run");
  EXPECT_EQ(KvTrace::crashReports().back().what, L"unknown exception");
  KvTrace::clearCrashReports();
}

// Deep enough to overflow any stack, but not endless to the compiler.
volatile int g_depthLimit = 1 << 30;
int recurse(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  return depth < g_depthLimit ? recurse(depth + 1) + frame[0] : 0;
}

volatile int g_zero = 0;
// A real division by zero, which the undefined-behaviour sanitizer would stop first.
__attribute__((no_sanitize("integer-divide-by-zero"))) void divideByZero() { g_depthLimit /= g_zero; }

// The fault's name differs by system (a signal, an exception code); the
// patterns stay simple enough for GoogleTest's matcher on Windows.
TEST(CrashGuardDeathTest, AHardwareFaultNamesTheInnermostGuardAndEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(KV_GUARDED(L"Outer::run", [] { KV_GUARDED(L"Faulty::divide", [] { divideByZero(); }); }),
               "KOVA crash: .+ in Faulty::divide \\(trace_test:.+\\)");
  EXPECT_DEATH(KV_GUARDED(L"Deep::recurse", [] { recurse(0); }), "KOVA crash: .+ in Deep::recurse");
}

// A command is posted to the current drawing, entered or left on the command
// line; with no drawing open there is nowhere to post it.
TEST(HostTools, ACommandIsPostedToTheCurrentDrawingAsItIsOrEntered) {
  EXPECT_FALSE(KOVAAcadSystemTools::postCommandToAutoCAD(L"REGEN", true));
  EXPECT_EQ(kvhost::pendingCommandCount(), 0);
  kvhost::newDocument(L"plan");
  for (const bool enter : {false, true}) {
    EXPECT_TRUE(KOVAAcadSystemTools::postCommandToAutoCAD(L"REGEN", enter));
    EXPECT_EQ(kvhost::journal().back(), enter ? L"posted REGEN\n" : L"posted REGEN");
  }
  EXPECT_EQ(kvhost::pendingCommandCount(), 2);
  kvhost::quit();
}

// A command name matches letter case aside, and only as a whole; an entry
// refused for want of an object leaves the drawing without its dictionary.
TEST(HostTools, CommandNamesMatchAsAWholeAndARefusedEntryMakesNoDictionary) {
  EXPECT_TRUE(KOVAAcadSystemTools::isCommand(L"_line", L"_LINE"));
  for (const wchar_t* other : {L"_LIN", L"_LINES", static_cast<const wchar_t*>(nullptr)})
    EXPECT_FALSE(KOVAAcadSystemTools::isCommand(other, L"_LINE"));
  AcDbDatabase* db = kvhost::newDocument(L"plan")->database();
  {
    AcAxDocLock lock(db);
    AcDbObjectId id;
    EXPECT_EQ(KOVADatabaseTools::appendToDictionary(L"KOVA_NOTES", nullptr, id, db, false, L"note"), 0);
  }
  EXPECT_FALSE(AcDbDictionaryPointer(db->namedObjectsDictionaryId(), AcDb::kForRead)->has(L"KOVA_NOTES"));
  kvhost::quit();
}

}  // namespace
