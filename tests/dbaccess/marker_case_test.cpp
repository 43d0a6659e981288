// Marker names and letter case: a plain name is stored upper-cased, a quoted
// one as written, and names equal ignoring case are one parameter, by the
// rule the table's fields are found by.

#include <gtest/gtest.h>

#include <string>

#include "dbaccess/sql_markers.h"
#include "text/case_fold.h"
#include "text/charset.h"

namespace tandemize::dbaccess {
namespace {

std::string Utf8(char32_t cp) {
  std::string out;
  text::AppendUtf8(out, cp);
  return out;
}

TEST(MarkerCaseTest, NamesEqualIgnoringCaseAreOneParameter) {
  struct Case {
    const char* Label;
    std::string Text;
    std::vector<std::string> Names;
  };
  const Case cases[] = {
      {"accented, plain and quoted", ":código, :\"CÓDIGO\", :Código", {"CÓDIGO"}},
      {"quoted first keeps its spelling", ":\"ação\" :AÇÃO :aÇãO", {"ação"}},
      {"a quoted name after an ASCII plain one", ":id :\"Id\"", {"ID"}},
      {"long s", ":ſ :s", {"S"}},
      {"Kelvin sign, quoted", ":\"\u212A\" :k", {"\u212A"}},
      {"sharp s", ":ß :ẞ", {"ß"}},
      {"micro sign", ":µ :μ", {"Μ"}},
      {"dotless i is another letter", ":ı :I :i", {"ı", "I"}},
      {"Greek and Cyrillic", ":σοφία :ΣΟΦΊΑ :ёж :ЁЖ", {"ΣΟΦΊΑ", "ЁЖ"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    EXPECT_EQ(ScanMarkers(c.Text, "PG").Names, c.Names);
  }
}

// For every letter a plain name may hold: the stored name is the same name
// as written, and its plain and quoted spellings, and the spelling by its
// case folding, are one parameter.
TEST(MarkerCaseTest, EveryNameCharacterKeepsItsName) {
  int failures = 0;
  for (char32_t cp = 0x80; cp <= 0x10FFFF; ++cp) {
    if ((cp >= 0xD800 && cp <= 0xDFFF) || !IsNameChar(cp)) continue;
    const std::string name = Utf8(cp);
    const std::string folded = Utf8(text::FoldCase(cp));
    const TMarkerScan scan =
        ScanMarkers(":" + name + " :\"" + name + "\" :" + folded + " :\"" + folded + "\"", "PG");
    const bool holds = scan.Names.size() == 1 && scan.Occurrences.size() == 4 &&
                       text::EqualsIgnoringCase(scan.Names[0], name);
    if (!holds && ++failures <= 10) {
      ADD_FAILURE() << std::hex << "U+" << static_cast<unsigned>(cp) << ": " << scan.Names.size()
                    << " names, " << scan.Occurrences.size() << " markers";
    }
  }
  EXPECT_EQ(failures, 0);
}

}  // namespace
}  // namespace tandemize::dbaccess
