#include "text/base64.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace tandemize::text {
namespace {

std::vector<std::uint8_t> Bytes(std::string_view aText) {
  return {aText.begin(), aText.end()};
}

std::optional<std::string> Decoded(std::string_view aDigits) {
  std::string out(Base64DecodedSize(aDigits.size()), '\0');
  if (!DecodeBase64(aDigits, reinterpret_cast<std::uint8_t*>(out.data()))) return std::nullopt;
  return out;
}

// The test vectors of the Base64 standard.
TEST(Base64, EncodesStandardVectors) {
  struct Case {
    const char* Plain;
    const char* Encoded;
  };
  const Case cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"user:pässword", "dXNlcjpww6Rzc3dvcmQ="},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EncodeBase64(Bytes(c.Plain)), c.Encoded) << c.Plain;
    std::string digits(c.Encoded);
    digits.erase(digits.find_first_of('=') == std::string::npos ? digits.size()
                                                                : digits.find_first_of('='));
    EXPECT_EQ(Decoded(digits), c.Plain) << c.Encoded;
  }
}

TEST(Base64, DecodesLastGroups) {
  struct Case {
    const char* Digits;
    std::optional<std::string> Plain;
  };
  const Case cases[] = {
      {"", ""},
      {"Zg", "f"},
      {"Zm8", "fo"},
      {"Zm9vY", "foo"},  // a lone last character carries no byte
      {"Z", ""},
      // Bits below the last whole byte are ignored, not refused.
      {"Zh", "f"},
      {"Zm9", "fo"},
      // Outside the alphabet: padding, white space, the URL alphabet, bytes
      // beyond ASCII; in a whole group as in the last one.
      {"Zm9v=", std::nullopt},
      {"Zg==", std::nullopt},
      {"Zm 9v", std::nullopt},
      {"Zm9v\n", std::nullopt},
      {"Zm-v", std::nullopt},
      {"Zm_v", std::nullopt},
      {"Zm9\xC3", std::nullopt},
      {"Zm9vZ\xC3", std::nullopt},
      {"Zm9vY-", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Decoded(c.Digits), c.Plain) << c.Digits;
  }
}

TEST(Base64, EveryByteValueRoundTrips) {
  std::vector<std::uint8_t> bytes;
  for (int b = 0; b < 256; ++b) bytes.push_back(static_cast<std::uint8_t>(b));
  for (std::size_t length : {std::size_t{254}, std::size_t{255}, std::size_t{256}}) {
    const std::vector<std::uint8_t> part(bytes.begin(), bytes.begin() + length);
    std::string digits = EncodeBase64(part);
    ASSERT_EQ(digits.size() % 4, 0u);
    while (!digits.empty() && digits.back() == '=') digits.pop_back();
    ASSERT_EQ(Base64DecodedSize(digits.size()), length);
    std::vector<std::uint8_t> back(length);
    ASSERT_TRUE(DecodeBase64(digits, back.data()));
    EXPECT_EQ(back, part) << length;
  }
}

TEST(Base64, AlphabetAndSizes) {
  int digits = 0;
  for (int b = 0; b < 256; ++b) digits += IsBase64Digit(static_cast<char>(b)) ? 1 : 0;
  EXPECT_EQ(digits, 64);
  EXPECT_TRUE(IsBase64Digit('+'));
  EXPECT_TRUE(IsBase64Digit('/'));
  EXPECT_FALSE(IsBase64Digit('='));
  EXPECT_FALSE(IsBase64Digit('-'));
  const std::size_t sizes[][2] = {{0, 0}, {1, 0}, {2, 1}, {3, 2}, {4, 3}, {5, 3}, {8, 6}};
  for (const auto& s : sizes) EXPECT_EQ(Base64DecodedSize(s[0]), s[1]) << s[0];
}

}  // namespace
}  // namespace tandemize::text
