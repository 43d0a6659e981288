#pragma once
// Finding the ":name" parameter markers of a statement text and rewriting
// them into a client's placeholders.

#include <cstddef>
#include <functional>
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

// Scans `text`. A ':' starts a marker when the character before it is not a
// name character or a closing name quote and the one after it is not blank,
// tab, CR, LF, NUL or '='; "::" is left alone, as is anything inside '...'
// literals and -- or /* */ comments. Marker names may be quoted with "..."
// (every kind), `...` ("MySQL") or [...] ("MSSQL"). A name longer than 255
// characters fails with 323 (tags "Phys" and `driverId`).
TMarkerScan ScanMarkers(std::string_view text, std::string_view driverId);

// `text` with every marker occurrence i replaced by placeholder(i).
std::string RewriteMarkers(std::string_view text, const TMarkerScan& scan,
                           const std::function<std::string(int)>& placeholder);

// True for the code points that may appear in a plain marker name.
bool IsNameChar(char32_t cp);

}  // namespace tandemize::dbaccess
