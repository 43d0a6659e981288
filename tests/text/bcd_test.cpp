#include "text/bcd.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace tandemize::text {
namespace {

TEST(Bcd, ReadsPlainDecimalText) {
  struct Case {
    const char* Text;
    bool Negative;
    const char* Digits;
    std::size_t Places;
  };
  const Case cases[] = {
      {"-12.340", true, "12340", 3},  // trailing zeros are places
      {"+7", false, "7", 0},
      {"007", false, "7", 0},
      {"00.50", false, "50", 2},
      {"0", false, "0", 0},
      {"000", false, "0", 0},
      {"0.0", false, "0", 1},
      {"-0", true, "0", 0},  // the sign is read; what a zero keeps of it is the caller's
      {".5", false, "5", 1},
      {"7.", false, "7", 0},
      // 64 digits, leading zeros not counted; 63 places.
      {"1234567890123456789012345678901234567890123456789012345678901234", false,
       "1234567890123456789012345678901234567890123456789012345678901234", 0},
      {"00001234567890123456789012345678901234567890123456789012345678901234", false,
       "1234567890123456789012345678901234567890123456789012345678901234", 0},
      {"1.234567890123456789012345678901234567890123456789012345678901234", false,
       "1234567890123456789012345678901234567890123456789012345678901234", 63},
  };
  for (const Case& c : cases) {
    TDecimalText read;
    ASSERT_TRUE(ReadDecimalText(c.Text, read)) << c.Text;
    EXPECT_EQ(read.Negative, c.Negative) << c.Text;
    EXPECT_EQ(read.Digits, c.Digits) << c.Text;
    EXPECT_EQ(read.Places, c.Places) << c.Text;
  }
}

TEST(Bcd, RefusesWhatIsNotAPlainDecimal) {
  const std::string tooMany(65, '9');
  const std::string tooManyPlaces = "." + std::string(64, '1');
  const char* const cases[] = {
      "",
      "+",
      "-",
      ".",
      "-.",
      "..",
      "1.2.3",
      "+-1",
      "--1",
      "1e3",
      " 1",
      "1 ",
      "1,5",
      "0x10",
      "١",  // a digit of another script
      tooMany.c_str(),
      tooManyPlaces.c_str(),
  };
  for (const char* text : cases) {
    TDecimalText read;
    EXPECT_FALSE(ReadDecimalText(text, read)) << text;
  }
}

TEST(Bcd, PacksTwoDigitsToAByteHighNibbleFirst) {
  struct Case {
    const char* Digits;
    std::array<std::uint8_t, 3> Packed;
  };
  const Case cases[] = {
      {"", {0x00, 0x00, 0x00}},      {"1", {0x10, 0x00, 0x00}},      {"12", {0x12, 0x00, 0x00}},
      {"12345", {0x12, 0x34, 0x50}}, {"909090", {0x90, 0x90, 0x90}},
  };
  for (const Case& c : cases) {
    std::array<std::uint8_t, 3> packed{};
    PackBcdDigits(c.Digits, packed);
    EXPECT_EQ(packed, c.Packed) << c.Digits;
    const std::string digits(c.Digits);
    for (std::size_t i = 0; i < digits.size(); ++i) {
      EXPECT_EQ(BcdNibble(packed, i), static_cast<unsigned>(digits[i] - '0')) << c.Digits;
    }
  }
  // Nibbles that are no digit are read as they are stored.
  const std::array<std::uint8_t, 2> odd{0xA9, 0x0F};
  EXPECT_EQ(BcdNibble(odd, 0), 10u);
  EXPECT_EQ(BcdNibble(odd, 1), 9u);
  EXPECT_EQ(BcdNibble(odd, 2), 0u);
  EXPECT_EQ(BcdNibble(odd, 3), 15u);
}

}  // namespace
}  // namespace tandemize::text
