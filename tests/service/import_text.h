#pragma once
// Text helpers of the import model, written here rather than taken from the
// service so that the model does not share the service's own text rules:
// UTF-8 and UTF-16 lengths, case variants and folding of names, JSON string
// literals, Base64 and readable forms of values.

#include <cstdint>
#include <string>
#include <string_view>

namespace tandemize::importfuzz {

class TChoices;

namespace text {

// Generated text as code points. A value in 0xD800..0xDFFF is a lone half of
// a surrogate pair: JSON can carry it as a \u escape, and it must arrive as
// U+FFFD.
using TText = std::u32string;

TText FromUtf8(std::string_view aText);
// UTF-8, with every lone surrogate as U+FFFD.
std::string ToUtf8(const TText& aText);
// Code points of valid UTF-8 (an invalid byte counts as one).
std::u32string CodePoints(std::string_view aText);
// The first aUnits UTF-16 units of aText (lone surrogates read as U+FFFD);
// a pair that would be cut in half is left out whole.
TText CutToUnits(const TText& aText, std::size_t aUnits);

// A JSON string literal; aEscapeAll writes every character above 127 as
// \u escapes (a pair for characters beyond the first plane).
std::string JsonString(const TText& aText, bool aEscapeAll);
std::string JsonString(std::string_view aUtf8, bool aEscapeAll);

// The lower case of every letter (the C.UTF-8 locale's simple mapping): two
// names are the same name when their folds are equal.
std::string Fold(std::string_view aName);
// aName with random ASCII letters in the other case (other characters kept).
std::string AsciiCaseVariant(TChoices& aChoices, std::string_view aName);
// aName with random letters in the other case, accented ones included when
// aAccented (only where the other case folds back to the same letter).
std::string UnicodeCaseVariant(TChoices& aChoices, std::string_view aName, bool aAccented);

// aJson (UTF-8) in Windows-1252: every character that code page has as its
// byte, every other one as a \u escape (all of them stand inside string
// literals in our JSON).
std::string JsonToWindows1252(std::string_view aJson);

// Standard Base64 with padding.
std::string Base64(std::string_view aBytes);

// Readable forms for reports: a quoted text with control and non-ASCII
// characters escaped, long texts shortened; bytes in hexadecimal.
std::string Quoted(std::string_view aText);
std::string Hex(std::string_view aBytes);

}  // namespace text
}  // namespace tandemize::importfuzz
