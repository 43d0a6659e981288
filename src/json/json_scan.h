#pragma once
// Private to the JSON library: trimming and the top-level piece scanner the
// reader is built on. Each container level scans its own text once; quoted
// strings and bracketed parts are skipped whole, without recursion.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

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

// Position just after the `]` or `}` closing the bracket that opens at `pos`.
// Strings and brackets met on the way are skipped to their own closers first;
// a closer of the other kind is ordinary text. The end of the text closes
// whatever is still open.
inline std::size_t SkipBracketed(std::string_view s, std::size_t pos) {
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
