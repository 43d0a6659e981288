// Names written into SQL text: the table name and the key and field names of
// an import. Only names that cannot change a statement's meaning pass.

#include "service/identifiers.h"

#include <fmt/format.h>

#include <string>

#include "dbaccess/sql_markers.h"
#include "service/data_service_error.h"
#include "service/messages.h"
#include "text/charset.h"

namespace tandemize::service {
namespace {

// Letters of the Latin script with their accents (U+00C0..U+024F, without the
// multiplication and division signs), so that names such as "Preço" pass.
// Letters of other scripts and fullwidth forms are refused: many of them look
// exactly like Latin letters ("сlientes" with a Cyrillic "с"), and a
// name that merely looks like the intended one must not reach a statement.
// Such a name can still be sent quoted.
bool IsLatinLetter(char32_t aChar) {
  return aChar >= 0xC0 && aChar <= 0x24F && aChar != 0xD7 && aChar != 0xF7;
}

bool IsNameStart(char32_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$' || c == '#' ||
         IsLatinLetter(c);
}

bool IsNameChar(char32_t c) {
  return IsNameStart(c) || (c >= '0' && c <= '9');
}

// Letters, digits, "_", "$", "#", not starting with a digit; parts joined by
// ".". "$" starts a part, and "#" appears, only where aChars allows it.
bool IsPlainName(std::string_view aName, dbaccess::TPlainNameChars aChars) {
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
    if ((c == '#' && !aChars.Hash) || (c == '$' && partStart && !aChars.DollarFirst)) return false;
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
  // Only what the kind's statements read as one name: its plain name
  // characters, its quote forms.
  const std::string driverId = TParamsDB::New({})->TipoSgdb(aKind)->Driver();
  if (IsPlainName(aName, dbaccess::PlainNameChars(driverId))) return true;
  for (const dbaccess::TNameQuote& quote : dbaccess::IdentifierQuotes(driverId)) {
    if (IsQuotedName(aName, quote.Open, quote.Close)) return true;
  }
  return false;
}

void CheckIdentifier(std::string_view aName, TTipoSgdb aKind) {
  if (!IsAcceptedIdentifier(aName, aKind)) {
    throw EDataService(fmt::format(fmt::runtime(kIdentifierRefused), aName));
  }
}

}  // namespace tandemize::service
