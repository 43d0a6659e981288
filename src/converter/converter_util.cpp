#include "converter/converter_util.h"

#include <clocale>
#include <cwctype>
#include <string>
#include <string_view>

#include <locale.h>

#include "text/charset.h"

namespace tandemize::converter {
namespace {

// The process runs without a user locale; the built-in UTF-8 locale gives
// the lower-case mapping of every Unicode letter, not only of ASCII.
locale_t LowerCaseLocale() {
  static const locale_t kLocale = [] {
    locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return loc;
  }();
  return kLocale;
}

bool IsIdentChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

}  // namespace

std::string TConverterUtil::ToLowerCamelCase(std::string_view aValue) {
  const locale_t loc = LowerCaseLocale();
  std::string result;
  result.reserve(aValue.size());
  std::size_t pos = 0;
  while (pos < aValue.size()) {
    const unsigned char first = static_cast<unsigned char>(aValue[pos]);
    if (first < 0x80) {
      result += (first >= 'A' && first <= 'Z') ? static_cast<char>(first + ('a' - 'A'))
                                                : static_cast<char>(first);
      ++pos;
      continue;
    }
    char32_t cp = text::DecodeUtf8(aValue, pos);
    if (loc != static_cast<locale_t>(nullptr)) {
      cp = static_cast<char32_t>(towlower_l(static_cast<wint_t>(cp), loc));
    }
    text::AppendUtf8(result, cp);
  }
  return result;
}

std::string TConverterUtil::MakeValidIdent(std::string_view aValue) {
  std::string result;
  for (const char c : aValue) {
    if (IsIdentChar(c)) result += c;
  }
  if (result.empty()) return "_";
  if (result.front() >= '0' && result.front() <= '9') result.insert(result.begin(), '_');
  return result;
}

}  // namespace tandemize::converter
