#pragma once
// Private to the JSON library: trimming and the top-level piece scanner the
// reader is built on. Each container level scans its own text once; quoted
// strings and bracketed parts are skipped whole, without recursion.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.h"

namespace tandemize::json::scan {

inline bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

// Removes every character with a code of 32 or less from both ends.
inline std::string_view Trim(std::string_view s) {
  std::size_t begin = 0;
  std::size_t end = s.size();
  while (begin < end && IsBlank(s[begin])) ++begin;
  while (end > begin && IsBlank(s[end - 1])) --end;
  return s.substr(begin, end - begin);
}

// Position just after the double quote closing the string that opens at
// `pos`; a backslash steps over the character after it. The end of the text
// closes an unterminated string.
inline std::size_t SkipQuoted(std::string_view s, std::size_t pos) {
  // Long strings (a row's text, a Base64 blob) are the bulk of an import:
  // find each quote with memchr; it closes the string unless an odd run of
  // backslashes stands right before it (the run cannot reach back past the
  // opening quote).
  const char* data = s.data();
  const std::size_t n = s.size();
  std::size_t i = pos + 1;
  while (i < n) {
    const void* found = std::memchr(data + i, '"', n - i);
    if (found == nullptr) return n;
    const std::size_t quote = static_cast<std::size_t>(static_cast<const char*>(found) - data);
    std::size_t run = 0;
    while (quote - run > pos + 1 && data[quote - run - 1] == '\\') ++run;
    if (run % 2 == 0) return quote + 1;
    i = quote + 1;
  }
  return n;
}

// Where each bracket of a document closes, found in the one pass that checks
// the nesting depth before a parse. Every level of the reader looks the
// brackets of its own text up here instead of scanning them again, so a
// document is scanned twice in all (once here, once by the level that reads
// each piece) rather than once per level it lies under.
//
// Each level's text is a slice of the document that starts outside any
// string, so the level pairs a bracket exactly as the whole-document pass
// does, up to the level's own end: a bracket that closes beyond it (or never)
// closes at the level's end.
class TBracketIndex {
 public:
  // Pairs the brackets of `text` as SkipBracketed does, outside strings.
  // Records one entry per opening bracket, in order of position.
  void Open(std::size_t pos) {
    FOpen.push_back(pos);
    FClose.push_back(0);
    FPending.push_back(FOpen.size() - 1);
  }
  // Closes the innermost open bracket at `pos` (the position just after it).
  void Close(std::size_t pos) {
    FClose[FPending.back()] = pos;
    FPending.pop_back();
  }
  // Brackets never closed close at the end of the text.
  void Finish(std::string_view text) {
    FText = text;
    for (const std::size_t entry : FPending) FClose[entry] = text.size();
    FPending.clear();
    FPending.shrink_to_fit();
  }

  // SkipBracketed(s, pos) for a slice `s` of the indexed text, when the
  // bracket at `pos` is recorded; npos otherwise.
  std::size_t Skip(std::string_view s, std::size_t pos) const {
    const auto base = reinterpret_cast<std::uintptr_t>(FText.data());
    const auto begin = reinterpret_cast<std::uintptr_t>(s.data());
    if (begin < base || begin + s.size() > base + FText.size()) return std::string_view::npos;
    const std::size_t offset = begin - base;
    const std::size_t at = offset + pos;
    // The levels look brackets up in document order: try the next entry first.
    std::size_t entry = FNext;
    if (entry >= FOpen.size() || FOpen[entry] != at) {
      const auto it = std::lower_bound(FOpen.begin(), FOpen.end(), at);
      if (it == FOpen.end() || *it != at) return std::string_view::npos;
      entry = static_cast<std::size_t>(it - FOpen.begin());
    }
    FNext = entry + 1;
    return std::min(FClose[entry], offset + s.size()) - offset;
  }

 private:
  std::string_view FText;
  std::vector<std::size_t> FOpen;     // position of each opening bracket
  std::vector<std::size_t> FClose;    // position just after its closer
  std::vector<std::size_t> FPending;  // entries still open while indexing
  mutable std::size_t FNext = 0;
};

// The index of the document being parsed on this thread, or null.
inline thread_local const TBracketIndex* tBracketIndex = nullptr;

// Position just after the `]` or `}` closing the bracket that opens at `pos`.
// Strings and brackets met on the way are skipped to their own closers first;
// a closer of the other kind is ordinary text. The end of the text closes
// whatever is still open.
inline std::size_t ScanBracketed(std::string_view s, std::size_t pos) {
  const char* data = s.data();
  const std::size_t n = s.size();
  std::string closers(1, s[pos] == '[' ? ']' : '}');
  std::size_t i = pos + 1;
  while (i < n) {
    const char c = data[i];
    if (c == closers.back()) {
      closers.pop_back();
      ++i;
      if (closers.empty()) return i;
    } else if (c == '"') {
      i = SkipQuoted(s, i);
    } else if (c == '[') {
      closers.push_back(']');
      ++i;
    } else if (c == '{') {
      closers.push_back('}');
      ++i;
    } else {
      ++i;
    }
  }
  return n;
}

inline std::size_t SkipBracketed(std::string_view s, std::size_t pos) {
  if (tBracketIndex != nullptr) {
    const std::size_t end = tBracketIndex->Skip(s, pos);
    if (end != std::string_view::npos) return end;
  }
  return ScanBracketed(s, pos);
}

// Where `Mark` occurs at the top level of one piece (at most the first two
// positions are kept; `count` stops at 3).
struct TMarks {
  int count = 0;
  std::size_t pos[2] = {0, 0};
};

// Calls fn(begin, end, marks) for each top-level piece of `s` cut at `Delim`,
// with [begin, end) untrimmed (`Delim` '\0': the whole text is one piece). A piece before a
// delimiter is reported even when empty; the last piece only when it is not blank. `Mark` ('\0' for
// none) is a second character whose top-level positions are recorded per
// piece, so that a member's "name:value" split needs no second scan.
template <char Delim, char Mark, typename Fn>
void ForEachPiece(std::string_view s, Fn&& fn) {
  static constexpr std::array<bool, 256> kSpecial = [] {
    std::array<bool, 256> t{};
    if (Delim != '\0') t[static_cast<unsigned char>(Delim)] = true;
    if (Mark != '\0') t[static_cast<unsigned char>(Mark)] = true;
    t['"'] = t['['] = t['{'] = true;
    return t;
  }();
  const char* data = s.data();
  const std::size_t n = s.size();
  std::size_t start = 0;
  std::size_t i = 0;
  TMarks marks;
  while (i < n) {
    while (i < n && !kSpecial[static_cast<unsigned char>(data[i])]) ++i;
    if (i >= n) break;
    const char c = data[i];
    if (Delim != '\0' && c == Delim) {
      fn(start, i, marks);
      marks = TMarks{};
      start = ++i;
    } else if (c == '"') {
      i = SkipQuoted(s, i);
    } else if (c == '[' || c == '{') {
      i = SkipBracketed(s, i);
    } else {  // Mark
      if (marks.count < 2) marks.pos[marks.count] = i;
      if (marks.count < 3) ++marks.count;
      ++i;
    }
  }
  if (!Trim(s.substr(start)).empty()) fn(start, n, marks);
}

// The top-level positions of `Mark` in the whole of `s`.
template <char Mark>
TMarks FindMarks(std::string_view s) {
  TMarks result;
  ForEachPiece<'\0', Mark>(s, [&](std::size_t, std::size_t, const TMarks& m) { result = m; });
  return result;
}

}  // namespace tandemize::json::scan

namespace tandemize::json {

// Append the escaped / unescaped form of `s` to `out`.
void EncodeTo(std::string& out, std::string_view s);
void DecodeTo(std::string& out, std::string_view s);
// The kind of an already trimmed value text; stores the integer or number
// that it reads on the way.
TJsonValueType ClassifyTrimmed(std::string_view t, std::int64_t& integer, double& number);

}  // namespace tandemize::json
