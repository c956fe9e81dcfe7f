// The host's basics: its dynamic array, text conversion, the bounds a module
// file's tables are read within and the ATL module's lock count.
#include <fstream>
#include <string>
#include <winshim.h>
#include "host_support.h"
#include "rx/imagefile.h"

namespace {

TEST(AcArray, AppendingAnElementOfItselfWhileItGrows) {
  // Strings so that reading a moved-away element shows (under the sanitizers).
  AcArray<std::wstring> a(1, 1);
  a.append(L"a long enough string to live on the heap, not inline");
  for (int i = 0; i < 10; ++i) {
    while (a.length() < a.physicalLength()) a.append(a[0]);
    // Full: the next append moves the storage its argument lives in.
    if (i % 2)
      a.append(a[a.length() - 1]);
    else
      a.insertAt(0, a[a.length() - 1]);
  }
  EXPECT_GT(a.length(), 500);
  for (const std::wstring& s : a) ASSERT_EQ(s, L"a long enough string to live on the heap, not inline");
  AcArray<int> n;
  for (int i = 0; i < 5; ++i) n.append(i);
  n.append(n).append(n);  // the array appended to itself, twice
  EXPECT_EQ(n.length(), 20);
  for (int i = 0; i < 20; ++i) ASSERT_EQ(n[i], i % 5);
}

TEST(HostText, BytesThatAreNotUtf8BecomeReplacementCharactersAndNothingAfterThemIsLost) {
  EXPECT_EQ(kvhost::fromUtf8("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x99\x82"), L"caf\u00e9 \u20ac \U0001F642");
  EXPECT_EQ(kvhost::fromUtf8("pl\xff\xfe" "an"), L"pl\uFFFD\uFFFDan");
  EXPECT_EQ(kvhost::fromUtf8("caf\xe9"), L"caf\uFFFD");           // Latin-1, cut short at the end
  EXPECT_EQ(kvhost::fromUtf8("a\xe2\x82z"), L"a\uFFFD\uFFFDz");     // a sequence broken off
  EXPECT_EQ(kvhost::fromUtf8("\xc0\xaf\xed\xa0\x80"), std::wstring(5, L'\uFFFD'));  // overlong, surrogate
  EXPECT_EQ(kvhost::toUtf8(L"caf\u00e9 \U0001F642"), "caf\xc3\xa9 \xf0\x9f\x99\x82");
  EXPECT_EQ(kvhost::toUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xef\xbf\xbd");
  // Two surrogates make one character only where wchar_t is UTF-16; elsewhere each is a bad one.
  const std::wstring pair = {static_cast<wchar_t>(0xD834), static_cast<wchar_t>(0xDD1E)};
  EXPECT_EQ(kvhost::toUtf8(pair), sizeof(wchar_t) == 2 ? "\xf0\x9d\x84\x9e" : "\xef\xbf\xbd\xef\xbf\xbd");
}

// A table lies within a file of 100 bytes or is refused, also where its size
// in bytes is beyond what 64 bits hold.
TEST(ModuleFile, ATableIsReadOnlyWithinTheFile) {
  const std::wstring file = testfiles::tempPath(L"image");
  std::ofstream(kvhost::toUtf8(file), std::ios::binary) << std::string(100, 'x');
  kvhost::ImageFile image(kvhost::toUtf8(file));
  const struct {
    uint64_t offset, count, entrySize;
    bool within;
  } cases[] = {{0, 10, 10, true},  {90, 1, 10, true}, {0, 0, 0, true},         {0, 11, 10, false},
               {91, 1, 10, false}, {101, 0, 1, false}, {0, 1ull << 61, 8, false}};  // 2^61 entries of 8: 0 bytes in 64 bits
  for (const auto& c : cases)
    EXPECT_EQ(image.table(c.offset, c.count, c.entrySize), c.within) << c.offset << " " << c.count << " " << c.entrySize;
  std::remove(kvhost::toUtf8(file).c_str());
}

// What DllCanUnloadNow answers from: each lock counts, unlocks go down to none.
TEST(ComModule, CountsLocksDownToNone) {
  CComModule module;
  for (long count : {1, 2}) EXPECT_EQ(module.Lock(), count);
  for (long left : {1, 0, 0}) EXPECT_EQ(module.Unlock(), left);
}

}  // namespace
