// The host's basics: its dynamic array, the DWG memory filer, text
// conversion and the class system's aborts.
#include <string>
#include "host_support.h"
#include "memfiler.h"

namespace {

TEST(AcArray, AppendInsertRemoveFindAndCopy) {
  AcArray<int> a;
  for (int v : {5, 7, 5, 9}) a.append(v);
  int index = -1;
  EXPECT_TRUE(a.find(5, index, 1));
  EXPECT_EQ(index, 2);
  EXPECT_FALSE(a.find(5, index, 3));
  EXPECT_TRUE(a.remove(5));  // the first one only
  EXPECT_FALSE(a.remove(8));
  a.insertAt(0, 1).insertAt(2, 2).insertAt(a.length(), 3);
  EXPECT_EQ(std::vector<int>(a.begin(), a.end()), (std::vector<int>{1, 7, 2, 5, 9, 3}));
  a.removeFirst().removeLast().removeAt(1);
  AcArray<int> copy(a);
  copy[0] = 0;
  a.setLogicalLength(0);
  for (int i = 0; i < 40; ++i) a.append(i);
  EXPECT_EQ(std::vector<int>(copy.begin(), copy.end()), (std::vector<int>{0, 5, 9}));
  EXPECT_EQ(a[39], 39);
}

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

TEST(DwgFiler, ReadingPastTheEndFailsAndStaysFailed) {
  kvhost::DwgMemoryFiler out(AcDb::kFileFiler, nullptr);
  out.writeInt16(7);
  kvhost::DwgMemoryFiler in(AcDb::kFileFiler, nullptr, out.bytes());
  Adesk::Int32 i32 = 99;
  EXPECT_EQ(in.readInt32(&i32), Acad::eEndOfFile);
  EXPECT_EQ(i32, 99);
  Adesk::Int16 i16 = 0;
  EXPECT_EQ(in.readInt16(&i16), Acad::eEndOfFile);  // the error sticks
  in.resetFilerStatus();
  EXPECT_EQ(in.readInt16(&i16), Acad::eOk);
  EXPECT_EQ(i16, 7);
}

TEST(HostText, BytesThatAreNotUtf8BecomeReplacementCharactersAndNothingAfterThemIsLost) {
  EXPECT_EQ(kvhost::fromUtf8("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x99\x82"), L"caf\u00e9 \u20ac \U0001F642");
  EXPECT_EQ(kvhost::fromUtf8("pl\xff\xfe" "an"), L"pl\uFFFD\uFFFDan");
  EXPECT_EQ(kvhost::fromUtf8("caf\xe9"), L"caf\uFFFD");           // Latin-1, cut short at the end
  EXPECT_EQ(kvhost::fromUtf8("a\xe2\x82z"), L"a\uFFFD\uFFFDz");     // a sequence broken off
  EXPECT_EQ(kvhost::fromUtf8("\xc0\xaf\xed\xa0\x80"), std::wstring(5, L'\uFFFD'));  // overlong, surrogate
  EXPECT_EQ(kvhost::toUtf8(L"caf\u00e9 \U0001F642"), "caf\xc3\xa9 \xf0\x9f\x99\x82");
  EXPECT_EQ(kvhost::toUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xef\xbf\xbd");
}

TEST(ClassSystemDeathTest, AbortStopsTheHostWithItsMessage) {
  EXPECT_DEATH(acrx_abort(L"cannot go on: %ls %d", L"stop", 7), "acrx_abort: cannot go on: stop 7");
  acrxSysRegistry();
  EXPECT_DEATH(newAcRxClass(L"KvOrphan", L"KvNoSuchParent", 0, 0, 0, nullptr, L"", L""),
               "Parent class KvNoSuchParent of KvOrphan is not registered");
}

}  // namespace
