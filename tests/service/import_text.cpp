#include "service/import_text.h"

#include <locale.h>
#include <wctype.h>

#include <fmt/format.h>

#include "service/import_model.h"

namespace tandemize::importfuzz::text {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsSurrogate(char32_t cp) {
  return cp >= 0xD800 && cp <= 0xDFFF;
}

void AppendUtf8(std::string& aOut, char32_t cp) {
  if (IsSurrogate(cp)) cp = kReplacement;
  if (cp < 0x80) {
    aOut += static_cast<char>(cp);
  } else if (cp < 0x800) {
    aOut += static_cast<char>(0xC0 | (cp >> 6));
    aOut += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    aOut += static_cast<char>(0xE0 | (cp >> 12));
    aOut += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    aOut += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    aOut += static_cast<char>(0xF0 | (cp >> 18));
    aOut += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    aOut += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    aOut += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

locale_t Utf8Locale() {
  static const locale_t kLocale =
      newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return kLocale;
}

char32_t Lower(char32_t cp) {
  if (cp < 0x80) return cp >= 'A' && cp <= 'Z' ? cp + 32 : cp;
  return static_cast<char32_t>(towlower_l(static_cast<wint_t>(cp), Utf8Locale()));
}

char32_t Upper(char32_t cp) {
  if (cp < 0x80) return cp >= 'a' && cp <= 'z' ? cp - 32 : cp;
  return static_cast<char32_t>(towupper_l(static_cast<wint_t>(cp), Utf8Locale()));
}

void AppendEscape(std::string& aOut, unsigned aUnit) {
  aOut += fmt::format("\\u{:04x}", aUnit);
}

}  // namespace

TText FromUtf8(std::string_view aText) {
  return CodePoints(aText);
}

std::string ToUtf8(const TText& aText) {
  std::string out;
  out.reserve(aText.size());
  for (const char32_t cp : aText) AppendUtf8(out, cp);
  return out;
}

std::u32string CodePoints(std::string_view aText) {
  std::u32string out;
  std::size_t i = 0;
  while (i < aText.size()) {
    const auto b = static_cast<unsigned char>(aText[i]);
    std::size_t extra = 0;
    char32_t cp = b;
    if ((b & 0xE0) == 0xC0) {
      extra = 1;
      cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      extra = 2;
      cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      extra = 3;
      cp = b & 0x07;
    }
    bool valid = b < 0x80 || (extra > 0 && i + extra < aText.size());
    for (std::size_t k = 1; valid && k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(aText[i + k]);
      valid = (next & 0xC0) == 0x80;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (!valid) {
      out.push_back(b);
      ++i;
      continue;
    }
    out.push_back(cp);
    i += extra + 1;
  }
  return out;
}

TText CutToUnits(const TText& aText, std::size_t aUnits) {
  TText out;
  std::size_t units = 0;
  for (char32_t cp : aText) {
    if (IsSurrogate(cp)) cp = kReplacement;
    const std::size_t width = cp >= 0x10000 ? 2 : 1;
    if (units + width > aUnits) break;
    units += width;
    out.push_back(cp);
  }
  return out;
}

std::string JsonString(const TText& aText, bool aEscapeAll) {
  std::string out = "\"";
  for (const char32_t cp : aText) {
    switch (cp) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\t':
        out += "\\t";
        continue;
      default:
        break;
    }
    if (cp < 0x20 || cp == 0x7F || IsSurrogate(cp)) {
      AppendEscape(out, static_cast<unsigned>(cp));
    } else if (cp >= 0x80 && aEscapeAll) {
      if (cp >= 0x10000) {
        const char32_t v = cp - 0x10000;
        AppendEscape(out, static_cast<unsigned>(0xD800 + (v >> 10)));
        AppendEscape(out, static_cast<unsigned>(0xDC00 + (v & 0x3FF)));
      } else {
        AppendEscape(out, static_cast<unsigned>(cp));
      }
    } else {
      AppendUtf8(out, cp);
    }
  }
  return out + "\"";
}

std::string JsonString(std::string_view aUtf8, bool aEscapeAll) {
  return JsonString(FromUtf8(aUtf8), aEscapeAll);
}

std::string JsonToWindows1252(std::string_view aJson) {
  // Windows-1252 bytes 0x80..0x9F; 0 where the byte is not defined.
  static const char16_t kHigh[32] = {
      0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
  std::string out;
  for (const char32_t cp : CodePoints(aJson)) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
      continue;
    }
    if (cp >= 0xA0 && cp <= 0xFF) {
      out += static_cast<char>(cp);
      continue;
    }
    int byte = -1;
    for (int i = 0; i < 32; ++i) {
      if (kHigh[i] != 0 && kHigh[i] == cp) byte = 0x80 + i;
    }
    if (byte >= 0) {
      out += static_cast<char>(byte);
    } else if (cp >= 0x10000) {
      const char32_t v = cp - 0x10000;
      AppendEscape(out, static_cast<unsigned>(0xD800 + (v >> 10)));
      AppendEscape(out, static_cast<unsigned>(0xDC00 + (v & 0x3FF)));
    } else {
      AppendEscape(out, static_cast<unsigned>(cp));
    }
  }
  return out;
}

std::string Fold(std::string_view aName) {
  std::string out;
  for (const char32_t cp : CodePoints(aName)) AppendUtf8(out, Lower(cp));
  return out;
}

std::string AsciiCaseVariant(TChoices& aChoices, std::string_view aName) {
  std::string out(aName);
  const std::uint64_t mode = aChoices.Below(4);
  for (char& ch : out) {
    const bool letter = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
    if (!letter) continue;
    const bool upper = mode == 0   ? false
                       : mode == 1 ? true
                       : mode == 2 ? (ch >= 'A' && ch <= 'Z')
                                   : aChoices.OneIn(2);
    ch = static_cast<char>(upper ? (ch & ~0x20) : (ch | 0x20));
  }
  return out;
}

std::string UnicodeCaseVariant(TChoices& aChoices, std::string_view aName, bool aAccented) {
  if (!aAccented) return AsciiCaseVariant(aChoices, aName);
  const std::uint64_t mode = aChoices.Below(4);
  std::string out;
  for (const char32_t cp : CodePoints(aName)) {
    const bool upper = mode == 0   ? false
                       : mode == 1 ? true
                       : mode == 2 ? Upper(cp) == cp
                                   : aChoices.OneIn(2);
    char32_t variant = upper ? Upper(cp) : Lower(cp);
    // Only a letter whose other case folds back to it may change.
    if (Lower(variant) != Lower(cp)) variant = cp;
    AppendUtf8(out, variant);
  }
  return out;
}

std::string Base64(std::string_view aBytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < aBytes.size(); i += 3) {
    const unsigned v = static_cast<unsigned char>(aBytes[i]) << 16 |
                       static_cast<unsigned char>(aBytes[i + 1]) << 8 |
                       static_cast<unsigned char>(aBytes[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i + 1 == aBytes.size()) {
    const unsigned v = static_cast<unsigned char>(aBytes[i]) << 16;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == aBytes.size()) {
    const unsigned v = static_cast<unsigned char>(aBytes[i]) << 16 |
                       static_cast<unsigned char>(aBytes[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::string Quoted(std::string_view aText) {
  constexpr std::size_t kShown = 120;
  std::string out = "'";
  std::size_t shown = 0;
  const std::u32string cps = CodePoints(aText);
  for (const char32_t cp : cps) {
    if (++shown > kShown) {
      out += fmt::format("...({} characters)", cps.size());
      break;
    }
    if (cp == '\'') {
      out += "''";
    } else if (cp < 0x20 || cp == 0x7F) {
      out += fmt::format("\\x{:02x}", static_cast<unsigned>(cp));
    } else if (cp >= 0x80) {
      AppendUtf8(out, cp);
    } else {
      out += static_cast<char>(cp);
    }
  }
  return out + "'";
}

std::string Hex(std::string_view aBytes) {
  constexpr std::size_t kShown = 48;
  std::string out = "x'";
  for (std::size_t i = 0; i < aBytes.size() && i < kShown; ++i) {
    out += fmt::format("{:02x}", static_cast<unsigned char>(aBytes[i]));
  }
  out += "'";
  if (aBytes.size() > kShown) out += fmt::format("...({} bytes)", aBytes.size());
  return out;
}

}  // namespace tandemize::importfuzz::text
