#include "dbaccess/sql_markers.h"

#include <algorithm>

#include "memtable/errors.h"
#include "text/case_fold.h"
#include "text/charset.h"

namespace tandemize::dbaccess {
namespace {

constexpr int kTooLongIdentifier = 323;
constexpr std::size_t kMaxNameLength = 255;

constexpr TNameQuote kDoubleQuotes{'"', '"', true};
constexpr TNameQuote kBackquotes{'`', '`', true};

constexpr TNameQuote kStandardQuotes[] = {kDoubleQuotes};
// MySQL reads "..." as a string literal unless told otherwise: a name there
// is quoted with backquotes only.
constexpr TNameQuote kMySQLQuotes[] = {kBackquotes};
constexpr TNameQuote kMSSQLQuotes[] = {kDoubleQuotes, {'[', ']', true}};
// SQLite takes a bracketed name up to the first ']'.
constexpr TNameQuote kSQLiteQuotes[] = {kDoubleQuotes, {'[', ']', false}, kBackquotes};

// The quoted parts the scanner of a kind skips whole: the kind's identifier
// quotes and, on every kind, "..." (an identifier or, on MySQL, a literal).
std::vector<TNameQuote> ScannedQuotesOf(std::string_view driverId) {
  const std::span<const TNameQuote> forms = IdentifierQuotes(driverId);
  std::vector<TNameQuote> quotes(forms.begin(), forms.end());
  if (std::none_of(quotes.begin(), quotes.end(),
                   [](const TNameQuote& q) { return q.Open == '"'; })) {
    quotes.insert(quotes.begin(), kDoubleQuotes);
  }
  return quotes;
}

// One past the closing quote of the quoted part whose opening quote is at
// `open`; npos when the text ends first.
std::size_t QuotedEnd(std::string_view text, std::size_t open, const TNameQuote& quote) {
  std::size_t close = text.find(quote.Close, open + 1);
  while (close != std::string_view::npos && quote.DoubledCloseIsQuote && close + 1 < text.size() &&
         text[close + 1] == quote.Close) {
    close = text.find(quote.Close, close + 2);
  }
  return close == std::string_view::npos ? close : close + 1;
}

// What the quoted part text[open, end) encloses, a doubled closing quote
// read as one.
std::string QuotedContent(std::string_view text, std::size_t open, std::size_t end,
                          const TNameQuote& quote) {
  const std::string_view inner = text.substr(open + 1, end - open - 2);
  if (!quote.DoubledCloseIsQuote) return std::string(inner);
  std::string content;
  content.reserve(inner.size());
  for (std::size_t i = 0; i < inner.size(); ++i) {
    content += inner[i];
    if (inner[i] == quote.Close) ++i;  // the second of a doubled pair
  }
  return content;
}

// The code point ending just before `pos` (0 at the start).
char32_t PreviousCodePoint(std::string_view text, std::size_t pos) {
  if (pos == 0) return 0;
  std::size_t start = pos - 1;
  while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
  std::size_t p = start;
  return text::DecodeUtf8(text, p);
}

}  // namespace

std::span<const TNameQuote> IdentifierQuotes(std::string_view driverId) {
  if (driverId == "MySQL") return kMySQLQuotes;
  if (driverId == "MSSQL") return kMSSQLQuotes;
  if (driverId == "SQLite") return kSQLiteQuotes;
  return kStandardQuotes;
}

TPlainNameChars PlainNameChars(std::string_view driverId) {
  if (driverId == "PG" || driverId == "SQLite") return {false, false};
  if (driverId == "MySQL") return {true, false};
  if (driverId == "MSSQL") return {false, true};
  return {true, true};
}

bool StartsQuoted(std::string_view name) {
  if (name.empty()) return false;
  for (const std::span<const TNameQuote> forms :
       {std::span<const TNameQuote>(kStandardQuotes), std::span<const TNameQuote>(kMySQLQuotes),
        std::span<const TNameQuote>(kMSSQLQuotes), std::span<const TNameQuote>(kSQLiteQuotes)}) {
    for (const TNameQuote& quote : forms) {
      if (quote.Open == name.front()) return true;
    }
  }
  return false;
}

bool IsNameChar(char32_t cp) {
  if (cp < 0x80) {
    return (cp >= U'a' && cp <= U'z') || (cp >= U'A' && cp <= U'Z') || (cp >= U'0' && cp <= U'9') ||
           cp == U'_' || cp == U'$' || cp == U'#';
  }
  // Letters outside ASCII: the Latin-1 letters and every script block; the
  // punctuation, symbol and emoji blocks are not letters.
  if (cp == 0xAA || cp == 0xB5 || cp == 0xBA) return true;
  if (cp < 0xC0 || cp == 0xD7 || cp == 0xF7) return false;
  if (cp >= 0x2000 && cp <= 0x2BFF) return false;
  if (cp >= 0x3000 && cp <= 0x303F) return false;
  if (cp >= 0xD800 && cp <= 0xF8FF) return false;
  if (cp >= 0xFE00 && cp <= 0xFE6F) return false;
  if (cp >= 0xFF00 && cp <= 0xFF20) return false;
  if (cp >= 0xFFF0 && cp <= 0xFFFF) return false;
  if (cp >= 0x1F000) return false;
  return true;
}

TMarkerScan ScanMarkers(std::string_view text, std::string_view driverId) {
  const std::vector<TNameQuote> quotes = ScannedQuotesOf(driverId);
  auto quoteOpenedBy = [&](char c) {
    return std::find_if(quotes.begin(), quotes.end(),
                        [&](const TNameQuote& q) { return q.Open == c; });
  };
  auto isCloseQuote = [&](char32_t cp) {
    return std::any_of(quotes.begin(), quotes.end(),
                       [&](const TNameQuote& q) { return static_cast<char32_t>(q.Close) == cp; });
  };
  // A plain name arrives upper-cased and a quoted one as written; either is
  // the parameter of an earlier name that equals it ignoring case, by the
  // rule the table's fields are found by.
  auto addName = [](TMarkerScan& scan, std::string name, bool /*quoted*/) {
    for (std::size_t i = 0; i < scan.Names.size(); ++i) {
      if (text::EqualsIgnoringCase(scan.Names[i], name)) return static_cast<int>(i);
    }
    scan.Names.push_back(std::move(name));
    return static_cast<int>(scan.Names.size() - 1);
  };
  auto tooLong = [&](std::string_view name) {
    std::size_t count = 0;
    for (std::size_t p = 0; p < name.size(); ++count) text::DecodeUtf8(name, p);
    if (count > kMaxNameLength) {
      if (driverId.empty()) {
        throw memtable::EDALException({"Phys"}, kTooLongIdentifier, "Too long identifier (> 255)");
      }
      throw memtable::EDALException({"Phys", driverId}, kTooLongIdentifier,
                                    "Too long identifier (> 255)");
    }
  };

  TMarkerScan scan;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const char c = text[pos];
    if (c == '\'') {  // string literal; '' inside is a quote
      pos = text.find('\'', pos + 1);
      while (pos != std::string_view::npos && pos + 1 < text.size() && text[pos + 1] == '\'') {
        pos = text.find('\'', pos + 2);
      }
      pos = pos == std::string_view::npos ? text.size() : pos + 1;
      continue;
    }
    if (c == '-' && pos + 1 < text.size() && text[pos + 1] == '-') {
      pos = text.find('\n', pos);
      pos = pos == std::string_view::npos ? text.size() : pos + 1;
      continue;
    }
    if (c == '/' && pos + 1 < text.size() && text[pos + 1] == '*') {
      pos = text.find("*/", pos + 2);
      pos = pos == std::string_view::npos ? text.size() : pos + 2;
      continue;
    }
    if (const auto quote = quoteOpenedBy(c); quote != quotes.end()) {
      // A quoted name (or a literal in double quotes): nothing inside counts.
      pos = QuotedEnd(text, pos, *quote);
      if (pos == std::string_view::npos) break;
      continue;
    }
    if (c != ':') {
      ++pos;
      continue;
    }
    if (pos + 1 < text.size() && text[pos + 1] == ':') {  // "::" (a cast) is not a marker
      pos += 2;
      continue;
    }
    const char32_t before = PreviousCodePoint(text, pos);
    if (pos > 0 && (IsNameChar(before) || isCloseQuote(before))) {
      ++pos;
      continue;
    }
    if (pos + 1 >= text.size()) break;
    const char after = text[pos + 1];
    if (after == ' ' || after == '\t' || after == '\r' || after == '\n' || after == '\0' ||
        after == '=') {
      ++pos;
      continue;
    }
    if (const auto quote = quoteOpenedBy(after); quote != quotes.end()) {
      const std::size_t end = QuotedEnd(text, pos + 1, *quote);
      if (end == std::string_view::npos) break;  // the rest is an unclosed quoted part
      std::string name = QuotedContent(text, pos + 1, end, *quote);
      if (name.empty()) {
        pos = end;
        continue;
      }
      tooLong(name);
      scan.Occurrences.push_back({pos, end, addName(scan, std::move(name), true)});
      pos = end;
      continue;
    }
    std::size_t end = pos + 1;
    std::string name;
    while (end < text.size()) {
      std::size_t next = end;
      const char32_t cp = text::DecodeUtf8(text, next);
      if (!IsNameChar(cp)) break;
      text::AppendUtf8(name, text::UpperCase(cp));
      end = next;
    }
    if (name.empty()) {
      ++pos;
      continue;
    }
    tooLong(name);
    scan.Occurrences.push_back({pos, end, addName(scan, std::move(name), false)});
    pos = end;
  }
  return scan;
}

std::string RewriteMarkers(std::string_view text, const TMarkerScan& scan,
                           const std::function<std::string(int)>& placeholder) {
  std::string out;
  out.reserve(text.size() + scan.Occurrences.size() * 2);
  std::size_t copied = 0;
  for (std::size_t i = 0; i < scan.Occurrences.size(); ++i) {
    const auto& occurrence = scan.Occurrences[i];
    out.append(text.substr(copied, occurrence.Begin - copied));
    out += placeholder(static_cast<int>(i));
    copied = occurrence.End;
  }
  out.append(text.substr(copied));
  return out;
}

}  // namespace tandemize::dbaccess
