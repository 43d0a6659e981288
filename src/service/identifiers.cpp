// Names written into SQL text: the table name and the key and field names of
// an import. Only names that cannot change a statement's meaning pass.

#include <fmt/format.h>
#include <locale.h>
#include <wctype.h>

#include <string>

#include "service/dm.h"
#include "text/charset.h"

namespace tandemize::service {
namespace {

// A letter outside ASCII, by the Unicode tables of the C library's UTF-8
// locale; without that locale, the Latin letters of U+00C0..U+024F.
bool IsUnicodeLetter(char32_t aChar) {
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  if (utf8 != static_cast<locale_t>(0)) return iswalpha_l(static_cast<wint_t>(aChar), utf8) != 0;
  return aChar >= 0xC0 && aChar <= 0x24F && aChar != 0xD7 && aChar != 0xF7;
}

bool IsNameStart(char32_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$' || c == '#' ||
         (c >= 0x80 && IsUnicodeLetter(c));
}

bool IsNameChar(char32_t c) { return IsNameStart(c) || (c >= '0' && c <= '9'); }

// Letters, digits, "_", "$", "#", not starting with a digit; parts joined by ".".
bool IsPlainName(std::string_view aName) {
  if (!text::IsValidUtf8(aName)) return false;
  bool partStart = true;
  std::size_t pos = 0;
  while (pos < aName.size()) {
    if (aName[pos] == '.') {
      if (partStart) return false;  // empty part
      partStart = true;
      ++pos;
      continue;
    }
    const char32_t c = text::DecodeUtf8(aName, pos);
    if (partStart ? !IsNameStart(c) : !IsNameChar(c)) return false;
    partStart = false;
  }
  return !partStart;
}

// Wholly enclosed in aOpen..aClose, not empty, no aClose or control
// character inside.
bool IsQuotedName(std::string_view aName, char aOpen, char aClose) {
  if (aName.size() < 3 || aName.front() != aOpen || aName.back() != aClose) return false;
  const std::string_view inner = aName.substr(1, aName.size() - 2);
  if (!text::IsValidUtf8(inner)) return false;
  for (const char c : inner) {
    if (c == aClose || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  }
  return true;
}

}  // namespace

bool IsAcceptedIdentifier(std::string_view aName, TTipoSgdb aKind) {
  if (IsPlainName(aName)) return true;
  switch (aKind) {
    case TTipoSgdb::tpMySQL:
      return IsQuotedName(aName, '`', '`');
    case TTipoSgdb::tpMSSQL:
      return IsQuotedName(aName, '"', '"') || IsQuotedName(aName, '[', ']');
    case TTipoSgdb::tpSQLite:
      return IsQuotedName(aName, '"', '"') || IsQuotedName(aName, '[', ']') ||
             IsQuotedName(aName, '`', '`');
    default:
      return IsQuotedName(aName, '"', '"');
  }
}

void CheckIdentifier(std::string_view aName, TTipoSgdb aKind) {
  if (!IsAcceptedIdentifier(aName, aKind)) {
    throw EDataService(fmt::format(fmt::runtime(kIdentifierRefused), aName));
  }
}

}  // namespace tandemize::service
