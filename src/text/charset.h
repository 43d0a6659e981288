#pragma once
// Text conversions. Text inside the program is UTF-8 held in std::string;
// these helpers convert at the few places where UTF-16 code units or the
// single-byte Windows-1252 code page are what the behaviour counts.

#include <cstddef>
#include <string>
#include <string_view>

namespace tandemize::text {

inline constexpr char32_t kReplacementChar = U'\uFFFD';

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates, <= U+10FFFF).
bool IsValidUtf8(std::string_view bytes);

// Appends the UTF-8 form of `cp`; a surrogate or a value above U+10FFFF
// appends U+FFFD instead.
void AppendUtf8(std::string& out, char32_t cp);

// Decodes one code point starting at `pos` and advances `pos` past it.
// Ill-formed input yields U+FFFD and advances by one byte.
char32_t DecodeUtf8(std::string_view bytes, std::size_t& pos);

// UTF-8 <-> UTF-16. Ill-formed UTF-8 and lone surrogates become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// Number of UTF-16 code units the UTF-8 text takes.
std::size_t Utf16Length(std::string_view utf8);

// Windows-1252 <-> UTF-8. Characters the code page lacks become `substitute`.
std::string Windows1252ToUtf8(std::string_view bytes);
std::string Utf8ToWindows1252(std::string_view utf8, char substitute = '?');

// UTF-8 when `bytes` is valid UTF-8, Windows-1252 otherwise.
std::string DecodeUtf8OrWindows1252(std::string_view bytes);

}  // namespace tandemize::text
