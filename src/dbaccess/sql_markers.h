#pragma once
// Finding the ":name" parameter markers of a statement text and rewriting
// them into a client's placeholders.

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tandemize::dbaccess {

struct TMarkerScan {
  // One per distinct name (compared without regard to case), in text order.
  // Plain names are upper-cased; quoted names are kept as written.
  std::vector<std::string> Names;
  struct TOccurrence {
    std::size_t Begin = 0;  // the ':'
    std::size_t End = 0;    // one past the name (or its closing quote)
    int Name = 0;           // index into Names
  };
  std::vector<TOccurrence> Occurrences;
};

// One pair of identifier quotes. A name written between them is one
// identifier, taken exactly as written: nothing inside is a comment, a
// literal or a marker. A closing quote written twice inside stands for
// itself where the kind reads it so.
struct TNameQuote {
  char Open;
  char Close;
  bool DoubledCloseIsQuote;
};

// The forms in which the statements of the kind `driverId` may quote a name:
// "..." on FB, IB, PG, MSSQL and SQLite; `...` on MySQL; [...] on MSSQL and
// SQLite; `...` on SQLite. An empty or unknown id has "..." only. The
// identifier check of the data service accepts exactly these forms, so
// that every quoted name it lets into a statement is one the scanner below
// reads as opaque.
std::span<const TNameQuote> IdentifierQuotes(std::string_view driverId);

// Whether the statements of a kind read "$" and "#" in a plain name as part
// of it: where they do not, the kind reads them as a parameter ("$1" on PG,
// "$x" and "#x" on SQLite), a literal ("$1" on MSSQL), an operator ("#" on
// PG) or a comment ("#" on MySQL), and a name holding them there would
// change what the statement says.
struct TPlainNameChars {
  bool DollarFirst;  // "$" may start a name
  bool Hash;         // "#" may appear in a name
};

// The plain name characters of the kind `driverId` beyond letters, digits
// and "_" (and "$" after the first character, which every kind reads as
// part of the name). An empty or unknown id allows both.
TPlainNameChars PlainNameChars(std::string_view driverId);

// True when `name` starts with the opening quote of some kind's identifier
// quotes (a plain name never does).
bool StartsQuoted(std::string_view name);

// Scans `text`. A ':' starts a marker when the character before it is not a
// name character or a closing name quote and the one after it is not blank,
// tab, CR, LF, NUL or '='; "::" is left alone, as is anything inside '...'
// literals, -- or /* */ comments and quoted names: the kind's identifier
// quotes, and "..." on every kind (on MySQL a string literal). Marker names
// may be quoted with the same forms; a quoted marker name is what its quotes
// enclose. A name longer than 255 characters fails with 323 (tags "Phys"
// and `driverId`).
TMarkerScan ScanMarkers(std::string_view text, std::string_view driverId);

// `text` with every marker occurrence i replaced by placeholder(i).
std::string RewriteMarkers(std::string_view text, const TMarkerScan& scan,
                           const std::function<std::string(int)>& placeholder);

// True for the code points that may appear in a plain marker name.
bool IsNameChar(char32_t cp);

}  // namespace tandemize::dbaccess
