// Text rules of the JSON library: integer and number text, number writing,
// escaping and unescaping, splitting and value-kind analysis.

#include "json/json_text.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "json/internal/json_scan.h"
#include "json/json.h"
#include "text/case_fold.h"
#include "text/charset.h"

namespace tandemize::json {
namespace {

using scan::Trim;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Integer text of `bits` width (32 or 64); the result is sign-extended.
std::optional<std::int64_t> ReadInteger(std::string_view s, int bits) {
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n && s[i] == ' ') ++i;
  bool negative = false;
  if (i < n && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  bool hex = false;
  if (i < n && (s[i] == '$' || s[i] == 'x' || s[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < n && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= n) return std::nullopt;
  const std::uint64_t widthMask = bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
  std::uint64_t value = 0;
  if (hex) {
    for (; i < n; ++i) {
      const int d = HexDigit(s[i]);
      if (d < 0) return std::nullopt;
      if (value > (widthMask >> 4)) return std::nullopt;
      value = (value << 4) | static_cast<std::uint64_t>(d);
    }
    // Two's complement of the width: "$FFFFFFFF" is -1 in 32 bits.
    std::uint64_t low = (negative ? ~value + 1 : value) & widthMask;
    if (bits < 64 && (low >> (bits - 1)) != 0) low |= ~widthMask;
    return static_cast<std::int64_t>(low);
  }
  const std::uint64_t limit = (std::uint64_t{1} << (bits - 1)) - (negative ? 0 : 1);
  for (; i < n; ++i) {
    if (!IsDigit(s[i])) return std::nullopt;
    const auto d = static_cast<std::uint64_t>(s[i] - '0');
    if (value > (limit - d) / 10) return std::nullopt;
    value = value * 10 + d;
  }
  if (negative) return static_cast<std::int64_t>(~value + 1);
  return static_cast<std::int64_t>(value);
}

// Exponents beyond this overflow or underflow every double anyway.
constexpr int kExponentCap = 1024;

}  // namespace

std::optional<std::int32_t> TryReadInt32(std::string_view aText) {
  const auto v = ReadInteger(aText, 32);
  if (!v) return std::nullopt;
  return static_cast<std::int32_t>(*v);
}

std::optional<std::int64_t> TryReadInt64(std::string_view aText) {
  return ReadInteger(aText, 64);
}

std::optional<double> TryReadNumber(std::string_view s) {
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n && s[i] == ' ') ++i;
  bool negative = false;
  if (i < n && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  const std::size_t intBegin = i;
  while (i < n && IsDigit(s[i])) ++i;
  const std::string_view intDigits = s.substr(intBegin, i - intBegin);
  std::string_view fracDigits;
  if (i < n && s[i] == '.') {
    const std::size_t fracBegin = ++i;
    while (i < n && IsDigit(s[i])) ++i;
    fracDigits = s.substr(fracBegin, i - fracBegin);
  }
  if (intDigits.empty() && fracDigits.empty()) return std::nullopt;
  int exponent = 0;
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool expNegative = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) expNegative = s[i++] == '-';
    const std::size_t expBegin = i;
    while (i < n && IsDigit(s[i])) {
      if (exponent <= kExponentCap) exponent = exponent * 10 + (s[i] - '0');
      ++i;
    }
    if (i == expBegin) return std::nullopt;
    if (exponent > kExponentCap) exponent = kExponentCap;
    if (expNegative) exponent = -exponent;
  }
  while (i < n && s[i] == ' ') ++i;
  if (i != n) return std::nullopt;

  // Up to 15 digits times a power of ten up to 22 are both exact doubles, so
  // one multiplication or division rounds them once, correctly, to the value
  // the full reader gives.
  if (intDigits.size() + fracDigits.size() <= 15) {
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                         1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const int scale = exponent - static_cast<int>(fracDigits.size());
    if (scale >= -22 && scale <= 22) {
      std::int64_t digits = 0;
      for (const char c : intDigits) digits = digits * 10 + (c - '0');
      for (const char c : fracDigits) digits = digits * 10 + (c - '0');
      double value = static_cast<double>(digits);
      value = scale >= 0 ? value * kPowers[scale] : value / kPowers[-scale];
      return negative ? -value : value;
    }
  }
  // Canonical form for the locale-independent reader; the usual short number
  // is built on the stack.
  const std::size_t length = intDigits.size() + fracDigits.size() + 16;
  std::array<char, 64> local;
  std::string heap;
  char* buffer = local.data();
  if (length >= local.size()) {
    heap.resize(length);
    buffer = heap.data();
  }
  char* end = buffer;
  const auto append = [&end](std::string_view part) {
    std::memcpy(end, part.data(), part.size());
    end += part.size();
  };
  if (negative) *end++ = '-';
  append(intDigits.empty() ? std::string_view("0") : intDigits);
  if (!fracDigits.empty()) {
    *end++ = '.';
    append(fracDigits);
  }
  if (exponent != 0) {
    *end++ = 'e';
    end = std::to_chars(end, buffer + length, exponent).ptr;
  }
  *end = '\0';
  double value = 0;
  const auto [ptr, ec] = std::from_chars(buffer, end, value);
  if (ec == std::errc::result_out_of_range) {
    // Tell underflow (reads as zero or a denormal) from overflow (refused).
    const double approx = std::strtod(buffer, nullptr);
    if (std::isinf(approx) || std::fabs(approx) >= 1) return std::nullopt;
    return approx;
  }
  if (ec != std::errc() || ptr != end) return std::nullopt;
  if (std::isinf(value)) return std::nullopt;
  return value;
}

std::string NumberToText(double aValue) {
  if (std::isnan(aValue)) return "NAN";
  if (std::isinf(aValue)) return aValue < 0 ? "-INF" : "INF";
  if (aValue == 0) return "0";
  // d.dddddddddddddde±x: the 15 significant digits and the exponent.
  std::array<char, 48> buf{};
  const auto res =
      std::to_chars(buf.data(), buf.data() + buf.size(), aValue, std::chars_format::scientific, 14);
  const std::string_view sci(buf.data(), static_cast<std::size_t>(res.ptr - buf.data()));
  const bool negative = sci[0] == '-';
  const std::size_t first = negative ? 1 : 0;
  const std::size_t ePos = sci.find('e');
  std::string digits;
  digits += sci[first];
  digits.append(sci.substr(first + 2, ePos - first - 2));
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  int exp10 = 0;
  std::from_chars(sci.data() + ePos + (sci[ePos + 1] == '+' ? 2 : 1), sci.data() + sci.size(),
                  exp10);
  const int pointPos = exp10 + 1;  // digits before the decimal point
  std::string out;
  if (negative) out += '-';
  const auto count = static_cast<int>(digits.size());
  if (pointPos >= -3 && pointPos <= 15) {
    if (pointPos <= 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-pointPos), '0');
      out += digits;
    } else if (count <= pointPos) {
      out += digits;
      out.append(static_cast<std::size_t>(pointPos - count), '0');
    } else {
      out.append(digits, 0, static_cast<std::size_t>(pointPos));
      out += '.';
      out.append(digits, static_cast<std::size_t>(pointPos));
    }
  } else {
    out += digits[0];
    if (count > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += 'E';
    if (exp10 < 0) out += '-';
    out += std::to_string(exp10 < 0 ? -exp10 : exp10);
  }
  return out;
}

// ---------------------------------------------------------------------------
// Escapes

namespace {

constexpr char kHexLower[] = "0123456789abcdef";

void AppendUnicodeEscape(std::string& out, unsigned unit) {
  const char esc[6] = {'\\',
                       'u',
                       kHexLower[(unit >> 12) & 0xF],
                       kHexLower[(unit >> 8) & 0xF],
                       kHexLower[(unit >> 4) & 0xF],
                       kHexLower[unit & 0xF]};
  out.append(esc, 6);
}

// Bytes that Encode copies unchanged: 32..127 except '"', '/' and '\\'.
constexpr std::array<bool, 256> kPlain = [] {
  std::array<bool, 256> t{};
  for (int c = 32; c <= 127; ++c) t[c] = true;
  t['"'] = t['/'] = t['\\'] = false;
  return t;
}();

// The two-character escapes of the writer, or nullptr.
const char* ShortEscape(unsigned char c) {
  switch (c) {
    case '\b':
      return "\\b";
    case '\t':
      return "\\t";
    case '\n':
      return "\\n";
    case '\f':
      return "\\f";
    case '\r':
      return "\\r";
    case '"':
      return "\\\"";
    case '/':
      return "\\/";
    case '\\':
      return "\\\\";
    default:
      return nullptr;
  }
}

// What a backslash followed by `e` stands for, other than \u: the control
// character of b, f, n, r and t, otherwise `e` itself.
char Unescaped(char e) {
  switch (e) {
    case 'b':
      return '\b';
    case 'f':
      return '\f';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    default:
      return e;
  }
}

}  // namespace

void EncodeTo(std::string& out, std::string_view s) {
  const char* data = s.data();
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    std::size_t run = i;
    while (run < n && kPlain[static_cast<unsigned char>(data[run])]) ++run;
    out.append(data + i, run - i);
    i = run;
    if (i >= n) break;
    const auto c = static_cast<unsigned char>(data[i]);
    if (const char* escape = ShortEscape(c)) {
      out.append(escape, 2);
      ++i;
      continue;
    }
    if (c < 0x80) {
      AppendUnicodeEscape(out, c);
      ++i;
      continue;
    }
    const char32_t cp = text::DecodeUtf8(s, i);
    if (cp > 0xFFFF) {
      const char32_t v = cp - 0x10000;
      AppendUnicodeEscape(out, 0xD800 + static_cast<unsigned>(v >> 10));
      AppendUnicodeEscape(out, 0xDC00 + static_cast<unsigned>(v & 0x3FF));
    } else {
      AppendUnicodeEscape(out, static_cast<unsigned>(cp));
    }
  }
}

namespace {

// The four hexadecimal digits of a complete "\uXXXX" at `pos`, or -1.
int FullEscapeAt(std::string_view s, std::size_t pos) {
  if (pos + 6 > s.size() || s[pos] != '\\' || s[pos + 1] != 'u') return -1;
  int value = 0;
  for (std::size_t k = pos + 2; k < pos + 6; ++k) {
    const int d = HexDigit(s[k]);
    if (d < 0) return -1;
    value = value * 16 + d;
  }
  return value;
}

}  // namespace

void DecodeTo(std::string& out, std::string_view s) {
  const char* data = s.data();
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    const void* hit = std::memchr(data + i, '\\', n - i);
    const std::size_t bs = hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - data) : n;
    out.append(data + i, bs - i);
    i = bs;
    if (i >= n) break;
    if (i + 1 >= n) {  // a backslash that ends the text stays as it is
      out += '\\';
      break;
    }
    const char e = data[i + 1];
    i += 2;
    if (e != 'u') {
      out += Unescaped(e);
      continue;
    }
    // Up to four characters (UTF-16 code units) follow.
    std::size_t end = i;
    int units = 0;
    while (units < 4 && end < n) {
      units += text::DecodeUtf8(s, end) > 0xFFFF ? 2 : 1;
    }
    const std::string_view digits = s.substr(i, end - i);
    int code = 0;
    bool ok = !digits.empty();
    for (const char c : digits) {
      const int d = HexDigit(c);
      if (d < 0) {
        ok = false;
        break;
      }
      code = code * 16 + d;
    }
    if (!ok) throw EJsonConvertError("Invalid unicode \\u" + std::string(digits));
    i = end;
    char32_t cp = static_cast<char32_t>(code);
    if (code >= 0xD800 && code <= 0xDBFF) {
      // A high surrogate joins a following low-surrogate escape.
      const int low = digits.size() == 4 ? FullEscapeAt(s, i) : -1;
      if (low >= 0xDC00 && low <= 0xDFFF) {
        cp = 0x10000 + ((static_cast<char32_t>(code) - 0xD800) << 10) +
             (static_cast<char32_t>(low) - 0xDC00);
        i += 6;
      } else {
        cp = text::kReplacementChar;
      }
    } else if (code >= 0xDC00 && code <= 0xDFFF) {
      cp = text::kReplacementChar;
    }
    text::AppendUtf8(out, cp);
  }
}

std::string TJsonBase::Encode(std::string_view S) {
  std::string out;
  out.reserve(S.size() + 8);
  EncodeTo(out, S);
  return out;
}

std::string TJsonBase::Decode(std::string_view S) {
  std::string out;
  out.reserve(S.size());
  DecodeTo(out, S);
  return out;
}

void TJsonBase::Split(std::string_view S, char Delimiter, std::vector<std::string>& Strings) {
  const auto add = [&](std::size_t b, std::size_t e, const scan::TMarks&) {
    Strings.emplace_back(Trim(S.substr(b, e - b)));
  };
  // The scanner takes its delimiter at compile time; the delimiters in use
  // get their own instance, any other goes through a generic loop below.
  switch (Delimiter) {
    case ',':
      scan::ForEachPiece<',', '\0'>(S, add);
      return;
    case ':':
      scan::ForEachPiece<':', '\0'>(S, add);
      return;
    default:
      break;
  }
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < S.size()) {
    const char c = S[i];
    if (c == Delimiter) {
      Strings.emplace_back(Trim(S.substr(start, i - start)));
      start = ++i;
    } else if (c == '"') {
      i = scan::SkipQuoted(S, i);
    } else if (c == '[' || c == '{') {
      i = scan::SkipBracketed(S, i);
    } else {
      ++i;
    }
  }
  const std::string_view last = Trim(S.substr(start));
  if (!last.empty()) Strings.emplace_back(last);
}

namespace {

bool Enclosed(std::string_view t, char open, char close) {
  return t.size() >= 2 && t.front() == open && t.back() == close;
}

}  // namespace

bool TJsonBase::IsJsonObject(std::string_view S) {
  return Enclosed(Trim(S), '{', '}');
}
bool TJsonBase::IsJsonArray(std::string_view S) {
  return Enclosed(Trim(S), '[', ']');
}
bool TJsonBase::IsJsonString(std::string_view S) {
  return Enclosed(Trim(S), '"', '"');
}
bool TJsonBase::IsJsonInteger(std::string_view S) {
  return TryReadInt32(S).has_value() || TryReadInt64(S).has_value();
}
bool TJsonBase::IsJsonNumber(std::string_view S) {
  return TryReadNumber(S).has_value();
}
bool TJsonBase::IsJsonBoolean(std::string_view S) {
  return text::EqualsIgnoringAsciiCase(S, "true") || text::EqualsIgnoringAsciiCase(S, "false");
}
bool TJsonBase::IsJsonNull(std::string_view S) {
  return text::EqualsIgnoringAsciiCase(S, "null");
}

TJsonValueType ClassifyTrimmed(std::string_view t, std::int64_t& integer, double& number) {
  if (t.size() >= 2) {
    switch (t.front()) {
      case '{':
        if (t.back() == '}') return TJsonValueType::jvObject;
        break;
      case '[':
        if (t.back() == ']') return TJsonValueType::jvArray;
        break;
      case '"':
        if (t.back() == '"') return TJsonValueType::jvString;
        break;
      default:
        break;
    }
    if (text::EqualsIgnoringAsciiCase(t, "null")) return TJsonValueType::jvNull;
    if (text::EqualsIgnoringAsciiCase(t, "true") || text::EqualsIgnoringAsciiCase(t, "false")) {
      return TJsonValueType::jvBoolean;
    }
  }
  // Every 32-bit integer text is also a 64-bit one, so one reading decides.
  if (const auto i = TryReadInt64(t)) {
    integer = *i;
    return TJsonValueType::jvInteger;
  }
  if (const auto d = TryReadNumber(t)) {
    number = *d;
    return TJsonValueType::jvNumber;
  }
  return TJsonValueType::jvNone;
}

TJsonValueType TJsonBase::AnalyzeJsonValueType(std::string_view S) {
  std::int64_t integer = 0;
  double number = 0;
  return ClassifyTrimmed(Trim(S), integer, number);
}

}  // namespace tandemize::json
