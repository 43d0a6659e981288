#pragma once
// Standard Base64 (RFC 4648 alphabet, "=" padding) for blob values in JSON.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tandemize::converter {

// Encodes aBytes, with CR LF between lines of 76 characters.
std::string EncodeBase64(const std::vector<std::uint8_t>& aBytes);

// Decodes aText; line breaks and other white space are skipped and the final
// padding may be missing. nullopt when the text is not Base64.
std::optional<std::vector<std::uint8_t>> DecodeBase64(std::string_view aText);

}  // namespace tandemize::converter
