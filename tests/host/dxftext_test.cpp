// The text of a DXF file as it is written: numbers as printf writes them,
// group codes aligned, values escaped only where they must be.
#include <cfloat>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include "database/memfiler.h"
#include "files/dxf.h"
#include "host_support.h"

namespace {

// What %.15g writes, or %.17g where that does not read back as the value:
// one case for each way of writing a number.
TEST(DxfText, NumbersAreWrittenAsPrintfWritesThemWithTheDigitsThatReadBack) {
  const struct {
    double value;
    const char* text;
  } cases[] = {{0.0, "0"},
               {-0.0, "-0"},
               {123.0, "123"},
               {-1e14, "-100000000000000"},
               {1e15, "1e+15"},
               {2.5, "2.5"},
               {-0.125, "-0.125"},
               {0.0001, "0.0001"},
               {0.000123, "0.000123"},
               {4.35, "4.35"},
               {123456789.5, "123456789.5"},
               {1000000000.5, "1000000000.5"},
               {1e-5, "1e-05"},
               {1.5e-7, "1.5e-07"},
               {1e100, "1e+100"},
               {1.25e15, "1.25e+15"},
               {1.0 / 3, "0.33333333333333331"},
               {0.1 + 0.2, "0.30000000000000004"},
               {-7.123456789012345, "-7.1234567890123452"},
               {DBL_MIN, "2.2250738585072014e-308"},
               {DBL_MAX, "1.7976931348623157e+308"},
               {5e-324, "4.94065645841247e-324"}};
  for (const auto& c : cases) EXPECT_EQ(kvhost::dxfReal(c.value), c.text) << c.text;
}

TEST(DxfText, LinesCarryTheirCodeInThreePlacesAndTheirValueAsTheFileNeedsIt) {
  kvhost::DxfText utf8, codePage(kvhost::DxfEncoding::kCodePage);
  for (kvhost::DxfText* out : {&utf8, &codePage}) {
    out->tag(0, "LINE");
    out->handle(5, 0x2AF);
    out->tag(70, 6);
    out->tag(1071, -7);
    out->tag(1, std::wstring(L"plain"));
    out->tag(1, std::wstring(L"a^Jb\tc \u00e9\u03a9"));
    out->tag(1, std::wstring(L"\\U+0041"));
  }
  EXPECT_EQ(utf8.view(), "  0\nLINE\n  5\n2AF\n 70\n6\n1071\n-7\n  1\nplain\n  1\na^ Jb^Ic \xc3\xa9\xce\xa9\n  1\n\\U+0041\n");
  EXPECT_EQ(codePage.view(),
            "  0\nLINE\n  5\n2AF\n 70\n6\n1071\n-7\n  1\nplain\n  1\na^ Jb^Ic \xe9\\U+03A9\n  1\n\\U+005CU+0041\n");
}

// A file of a code page (releases before 2007) writes what its code page
// lacks as \U+ escapes, eight digits beyond 16 bits; what is no such escape
// is read as it stands.
TEST(DxfText, EscapesOfACodePageFileReadAsTheCharactersTheyStandFor) {
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"\\U+0041", L"A"},         {L"\\U+03a9\\U+03A9", L"\u03a9\u03a9"},
      {L"\\U+0001D11E", L"\U0001D11E"}, {L"\\U+0010FFFF", L"\U0010FFFF"},
      {L"\\U+00110000", L"\u00110000"},  // beyond Unicode: four digits
      {L"\\U+004", L"\\U+004"},    {L"\\U+00G1", L"\\U+00G1"}, {L"a^Jb^ ", L"a\nb^"}};
  for (const auto& [text, read] : cases)
    EXPECT_EQ(kvhost::unescapeDxfText(text, kvhost::DxfEncoding::kCodePage), std::wstring(read));
}

// Every group code takes its value as the DXF format's ranges of codes say;
// codes outside them are text.
TEST(DxfText, EachGroupCodeHoldsTheKindOfValueItsRangeGives) {
  using Kind = kvhost::DxfValueKind;
  const struct {
    int first, last;
    Kind kind;
  } ranges[] = {{5, 5, Kind::kHandle},          {10, 18, Kind::kPoint},       {40, 59, Kind::kReal},
                {60, 79, Kind::kInt16},         {90, 99, Kind::kInt32},       {105, 105, Kind::kHandle},
                {110, 112, Kind::kPoint},       {140, 149, Kind::kReal},      {170, 179, Kind::kInt16},
                {210, 210, Kind::kPoint},       {270, 299, Kind::kInt16},     {320, 369, Kind::kHandle},
                {370, 389, Kind::kInt16},       {390, 399, Kind::kHandle},    {400, 409, Kind::kInt16},
                {420, 459, Kind::kInt32},       {460, 469, Kind::kReal},      {1005, 1005, Kind::kHandle},
                {1010, 1013, Kind::kPoint},     {1040, 1042, Kind::kReal},    {1060, 1070, Kind::kInt16},
                {1071, 1071, Kind::kInt32}};
  for (int code = 0; code <= 1071; ++code) {
    Kind expected = Kind::kText;
    for (const auto& r : ranges)
      if (code >= r.first && code <= r.last) expected = r.kind;
    EXPECT_EQ(static_cast<int>(kvhost::dxfValueKind(code)), static_cast<int>(expected)) << code;
  }
}

// A DXF filer gives back only the item it has just handed out: not one
// it consumed as a subclass marker, nor one past the end.
TEST(DxfFiler, PushesBackOnlyTheItemJustRead) {
  auto filer = [](bool markerless) {
    resbuf marker, flags;
    marker.restype = AcDb::kDxfSubclass, marker.text = L"AcDbThing";
    flags.restype = 70, flags.int32 = 1;
    auto f = std::make_unique<kvhost::DxfMemoryFiler>(AcDb::kFileFiler, nullptr, std::vector<resbuf>{marker, flags});
    f->setMarkerless(markerless);
    return f;
  };
  resbuf rb;
  const std::tuple<const char*, bool, std::function<void(kvhost::DxfMemoryFiler&)>, Acad::ErrorStatus> cases[] = {
      {"nothing read", false, [](auto&) {}, Acad::eNotApplicable},
      {"an item read", false, [&](auto& f) { f.readItem(&rb); }, Acad::eOk},
      {"an item pushed back already", false, [&](auto& f) { f.readItem(&rb), f.pushBackItem(); }, Acad::eNotApplicable},
      {"the marker asked for", false, [](auto& f) { f.atSubclassData(L"AcDbThing"); }, Acad::eNotApplicable},
      {"the subclass of a record without markers", true, [&](auto& f) { f.readItem(&rb), f.atSubclassData(L"AcDbThing"); },
       Acad::eNotApplicable},
      {"past the end", false, [&](auto& f) { f.readItem(&rb), f.readItem(&rb), f.readItem(&rb); }, Acad::eNotApplicable},
  };
  for (const auto& [what, markerless, before, expected] : cases) {
    SCOPED_TRACE(what);
    auto f = filer(markerless);
    before(*f);
    EXPECT_EQ(f->pushBackItem(), expected);
    if (expected == Acad::eOk) {
      ASSERT_EQ(f->readItem(&rb), Acad::eOk);
      EXPECT_EQ(rb.restype, AcDb::kDxfSubclass);  // the same item again
    }
  }
}

// A filer whose status was set answers every write with it, as a
// client's dwgOutFields or dxfOutFields may pass it on.
TEST(Filers, EveryWriteAnswersTheStatusSet) {
  const std::pair<const char*, std::function<Acad::ErrorStatus(AcDbDwgFiler&)>> writes[] = {
      {"bool", [](auto& f) { return f.writeBool(true); }},
      {"int32", [](auto& f) { return f.writeInt32(7); }},
      {"point", [](auto& f) { return f.writePoint3d(AcGePoint3d(1, 2, 3)); }},
      {"ASCII string", [](auto& f) { return f.writeString(L"plain"); }},
      {"string", [](auto& f) { return f.writeString(L"Gr\u00fc\u00dfe"); }},
      {"id", [](auto& f) { return f.writeSoftPointerId(AcDbObjectId::kNull); }},
  };
  for (const auto& [what, write] : writes) {
    kvhost::DwgMemoryFiler out(AcDb::kFileFiler, nullptr);
    EXPECT_EQ(write(out), Acad::eOk) << what;
    out.setFilerStatus(Acad::eFilerError);
    EXPECT_EQ(write(out), Acad::eFilerError) << what;
  }
  // A DXF filer the same, once it has reported an error.
  const std::pair<const char*, std::function<Acad::ErrorStatus(AcDbDxfFiler&)>> groups[] = {
      {"string", [](auto& f) { return f.writeString(AcDb::kDxfText, L"plain"); }},
      {"int16", [](auto& f) { return f.writeInt16(AcDb::kDxfColor, 1); }},
      {"int32", [](auto& f) { return f.writeInt32(static_cast<AcDb::DxfCode>(90), 7); }},
      {"real", [](auto& f) { return f.writeDouble(AcDb::kDxfReal, 2.5); }},
      {"point", [](auto& f) { return f.writePoint3d(static_cast<AcDb::DxfCode>(10), AcGePoint3d(1, 2, 3)); }},
      {"id", [](auto& f) { return f.writeObjectId(static_cast<AcDb::DxfCode>(330), AcDbObjectId::kNull); }},
      {"item", [](auto& f) {
         resbuf flags;
         flags.restype = 70, flags.int32 = 1;
         return f.writeItem(flags);
       }},
  };
  for (const auto& [what, write] : groups) {
    kvhost::DxfMemoryFiler out(AcDb::kFileFiler, nullptr);
    EXPECT_EQ(write(out), Acad::eOk) << what;
    out.setError(Acad::eFilerError, L"failed");
    EXPECT_EQ(write(out), Acad::eFilerError) << what;
  }
}

}  // namespace
