#pragma once
// Letter case, the two rules of the program.
//
// Names a client chooses (tables, columns, fields, statement parameters)
// follow EqualsIgnoringCase: Unicode simple case folding. Wherever such a
// name is compared "ignoring case", the comparison is EqualsIgnoringCase; a
// second, narrower rule somewhere else is how one part finds a column that
// another part reports missing.
//
// Words of a fixed vocabulary (HTTP header names and tokens, settings keys,
// driver ids, field type names, JSON literals, file name suffixes) follow the
// ASCII rule: only A-Z and a-z are folded, every other byte must match
// exactly. Their grammars are ASCII, and a name such as "ſet" must not pass
// for "set".
//
// The Unicode rule: one code point to one code point, the language-neutral
// mapping. "código", "CÓDIGO" and "Código" are one name, as are "ação" and
// "AÇÃO", "straße" and "STRAẞE", "ſ" and "S". Turkish dotless "ı" stays apart
// from "I" and "i", as dotted "İ" does.
//
// Text is UTF-8. Names that are ASCII are compared without leaving the byte
// loop, so the common case costs what an ASCII comparison costs.

#include <string>
#include <string_view>

namespace tandemize::text {

// EqualsIgnoringCase()
//
// Returns whether `a` and `b` are the same name ignoring letter case: their
// code points are pairwise equal after FoldCase. Bytes that are not
// well-formed UTF-8 only equal the same bytes.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// FoldCase()
//
// The code point `cp` is compared as: its Unicode simple case folding
// (mostly its lower case). Code points without a folding map to themselves.
char32_t FoldCase(char32_t cp);

// UpperCase()
//
// The upper-case form that stands for every code point folding like `cp`:
// the simple upper case of FoldCase(cp), or FoldCase(cp) itself where that
// upper case would fold differently (dotless "ı", whose upper case "I" is
// another name's letter). So for every code point,
//   FoldCase(UpperCase(cp)) == FoldCase(cp), and
//   UpperCase(x) == UpperCase(y) exactly when FoldCase(x) == FoldCase(y):
// a name upper-cased with it is one spelling of the same name, and two names
// are equal ignoring case exactly when their upper-cased forms are equal.
char32_t UpperCase(char32_t cp);

// EqualsIgnoringAsciiCase()
//
// Whether `a` and `b` are equal when only the ASCII letters A-Z and a-z are
// folded; every other byte must match exactly, so text beyond ASCII is
// compared as bytes. For words of a fixed vocabulary, not for names a client
// chooses.
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);

// StartsWithIgnoringAsciiCase()
//
// Whether `aText` begins with `aPrefix` under the ASCII rule.
bool StartsWithIgnoringAsciiCase(std::string_view aText, std::string_view aPrefix);

// AsciiLower(), AsciiUpper()
//
// `c` with an ASCII letter in lower (upper) case; every other byte as it is,
// whatever the process's locale.
constexpr char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
constexpr char AsciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// AsciiLowerCase(), AsciiUpperCase()
//
// `aText` with its ASCII letters in lower (upper) case, every other byte as
// it is.
std::string AsciiLowerCase(std::string_view aText);
std::string AsciiUpperCase(std::string_view aText);

}  // namespace tandemize::text
