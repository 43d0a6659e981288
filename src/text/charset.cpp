#include "text/charset.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace tandemize::text {
namespace {

// 0x80..0x9F of Windows-1252. The five unassigned bytes map to the C1 control
// of the same value, as the system conversion of that code page does.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

bool IsSurrogate(char32_t cp) {
  return cp >= 0xD800 && cp <= 0xDFFF;
}

int ToWindows1252(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<int>(cp);
  for (std::size_t i = 0; i < kCp1252High.size(); ++i) {
    if (kCp1252High[i] == cp) return static_cast<int>(0x80 + i);
  }
  return -1;
}

}  // namespace

void AppendUtf8(std::string& out, char32_t cp) {
  if (IsSurrogate(cp) || cp > 0x10FFFF) cp = kReplacementChar;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

char32_t DecodeUtf8(std::string_view bytes, std::size_t& pos) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  const std::uint8_t lead = byte(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  std::size_t length = 0;
  char32_t cp = 0;
  char32_t minimum = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07, minimum = 0x10000;
  } else {
    ++pos;
    return kReplacementChar;
  }
  if (pos + length > bytes.size()) {
    ++pos;
    return kReplacementChar;
  }
  for (std::size_t i = 1; i < length; ++i) {
    const std::uint8_t next = byte(pos + i);
    if ((next & 0xC0) != 0x80) {
      ++pos;
      return kReplacementChar;
    }
    cp = (cp << 6) | (next & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || IsSurrogate(cp)) {
    ++pos;
    return kReplacementChar;
  }
  pos += length;
  return cp;
}

namespace {

// Eight bytes at a time while they are all ASCII.
std::size_t SkipAscii(std::string_view bytes, std::size_t pos) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
  while (pos + 8 <= bytes.size()) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + pos, sizeof word);
    if (word & kHighBits) break;
    pos += 8;
  }
  while (pos < bytes.size() && static_cast<std::uint8_t>(bytes[pos]) < 0x80) ++pos;
  return pos;
}

// Whether a well-formed two-byte character (U+0080..U+07FF: accented Latin
// letters, the usual non-ASCII text) starts at `pos`.
bool IsTwoByteCharacter(std::string_view bytes, std::size_t pos) {
  const auto lead = static_cast<std::uint8_t>(bytes[pos]);
  return lead >= 0xC2 && lead <= 0xDF && pos + 1 < bytes.size() &&
         (static_cast<std::uint8_t>(bytes[pos + 1]) & 0xC0) == 0x80;
}

}  // namespace

bool IsValidUtf8(std::string_view bytes) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    pos = SkipAscii(bytes, pos);
    if (pos >= bytes.size()) break;
    if (IsTwoByteCharacter(bytes, pos)) {
      pos += 2;
      continue;
    }
    const std::size_t start = pos;
    const char32_t cp = DecodeUtf8(bytes, pos);
    // A decoded U+FFFD is only valid when it was really written as EF BF BD.
    if (cp == kReplacementChar && pos - start != 3) return false;
  }
  return true;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    const char32_t cp = DecodeUtf8(utf8, pos);
    if (cp >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    const char16_t unit = utf16[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) +
                          (static_cast<char32_t>(utf16[i + 1]) - 0xDC00));
      ++i;
    } else {
      AppendUtf8(out, unit);  // a lone surrogate becomes U+FFFD
    }
  }
  return out;
}

std::size_t Utf16Length(std::string_view utf8) {
  std::size_t units = 0;
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    const std::size_t ascii = SkipAscii(utf8, pos);
    units += ascii - pos;
    pos = ascii;
    if (pos >= utf8.size()) break;
    if (IsTwoByteCharacter(utf8, pos)) {
      ++units;
      pos += 2;
      continue;
    }
    units += DecodeUtf8(utf8, pos) >= 0x10000 ? 2 : 1;
  }
  return units;
}

std::string Windows1252ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    const auto b = static_cast<std::uint8_t>(c);
    AppendUtf8(out, b >= 0x80 && b <= 0x9F ? kCp1252High[b - 0x80] : b);
  }
  return out;
}

std::string Utf8ToWindows1252(std::string_view utf8, char substitute) {
  std::string out;
  out.reserve(utf8.size());
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    const int b = ToWindows1252(DecodeUtf8(utf8, pos));
    out += b < 0 ? substitute : static_cast<char>(b);
  }
  return out;
}

std::string DecodeUtf8OrWindows1252(std::string_view bytes) {
  return IsValidUtf8(bytes) ? std::string(bytes) : Windows1252ToUtf8(bytes);
}

}  // namespace tandemize::text
