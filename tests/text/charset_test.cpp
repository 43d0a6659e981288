#include "text/charset.h"

#include <gtest/gtest.h>

namespace tandemize::text {
namespace {

TEST(Charset, Utf8Utf16RoundTripKeepsEveryPlane) {
  const std::string text = "a\xC3\xA7\xE4\xB8\xAD\xF0\x9F\x98\x80";  // a ç 中 😀
  const std::u16string wide = Utf8ToUtf16(text);
  EXPECT_EQ(wide, u"a\u00E7\u4E2D\U0001F600");
  EXPECT_EQ(Utf16ToUtf8(wide), text);
  EXPECT_EQ(Utf16Length(text), 5u);
}

TEST(Charset, IllFormedInputBecomesReplacementCharacter) {
  EXPECT_EQ(Utf16ToUtf8(u"x\xD800y"), "x\xEF\xBF\xBDy");
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");  // overlong '/'
  EXPECT_EQ(Utf8ToUtf16("\xE4\xB8"), u"\uFFFD\uFFFD");  // cut short
}

TEST(Charset, ValidityCheck) {
  EXPECT_TRUE(IsValidUtf8("plain"));
  EXPECT_TRUE(IsValidUtf8("\xEF\xBF\xBD"));
  EXPECT_FALSE(IsValidUtf8("caf\xE9"));
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));  // encoded surrogate
  // A fault or a character at every place of a longer ASCII text, where the
  // check runs over several bytes at a time.
  const std::string ascii(24, 'a');
  for (std::size_t at = 0; at <= ascii.size(); ++at) {
    SCOPED_TRACE(at);
    const std::string before = ascii.substr(0, at);
    const std::string after = ascii.substr(at);
    EXPECT_FALSE(IsValidUtf8(before + "\xE9" + after));
    EXPECT_FALSE(IsValidUtf8(before + "\xC3"));  // cut short at the end
    EXPECT_TRUE(IsValidUtf8(before + "\xC3\xA7" + after));
    EXPECT_EQ(Utf16Length(before + "\xC3\xA7" + after), ascii.size() + 1);
    EXPECT_EQ(Utf16Length(before + "\xF0\x9F\x98\x80" + after), ascii.size() + 2);
    EXPECT_EQ(Utf16Length(before + "\xE4\xB8" + after), ascii.size() + 2);
  }
}

TEST(Charset, Windows1252BothWays) {
  EXPECT_EQ(Windows1252ToUtf8("caf\xE9 \x80"), "caf\xC3\xA9 \xE2\x82\xAC");
  EXPECT_EQ(Utf8ToWindows1252("caf\xC3\xA9 \xE2\x82\xAC \xE4\xB8\xAD"), "caf\xE9 \x80 ?");
  EXPECT_EQ(DecodeUtf8OrWindows1252("caf\xE9"), "caf\xC3\xA9");
  EXPECT_EQ(DecodeUtf8OrWindows1252("caf\xC3\xA9"), "caf\xC3\xA9");
}

}  // namespace
}  // namespace tandemize::text
