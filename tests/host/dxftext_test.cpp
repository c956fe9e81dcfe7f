// The text of a DXF file as it is written: numbers as printf writes them,
// group codes aligned, values escaped only where they must be.
#include <cfloat>
#include <string>
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

}  // namespace
