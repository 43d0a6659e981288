#include "converter/base64.h"

#include <algorithm>

#include "text/base64.h"

namespace tandemize::converter {
namespace {

constexpr std::size_t kLineLength = 76;

bool IsSpace(char c) {
  return c == '\r' || c == '\n' || c == ' ' || c == '\t';
}

}  // namespace

std::string EncodeBase64(const std::vector<std::uint8_t>& aBytes) {
  std::string plain = text::EncodeBase64(aBytes);
  if (plain.size() <= kLineLength) return plain;
  std::string result;
  result.reserve(plain.size() + plain.size() / kLineLength * 2);
  for (std::size_t pos = 0; pos < plain.size(); pos += kLineLength) {
    if (pos > 0) result += "\r\n";
    result.append(plain, pos, kLineLength);
  }
  return result;
}

std::optional<std::vector<std::uint8_t>> DecodeBase64(std::string_view aText) {
  // Blobs of an import come without white space: that text is read as it
  // stands; any other is read again without its white space.
  std::string compact;
  std::string_view text = aText;
  if (std::any_of(aText.begin(), aText.end(), IsSpace)) {
    compact.reserve(aText.size());
    for (const char c : aText) {
      if (!IsSpace(c)) compact += c;
    }
    text = compact;
  }
  // Up to two "=" close the text; nothing may follow them.
  std::size_t dataLength = text.size();
  while (dataLength > 0 && text.size() - dataLength < 2 && text[dataLength - 1] == '=') {
    --dataLength;
  }
  // A lone character cannot encode a byte; padding must complete the last group.
  if (dataLength % 4 == 1) return std::nullopt;
  if (dataLength < text.size() && text.size() % 4 != 0) return std::nullopt;
  const std::string_view digits = text.substr(0, dataLength);
  std::vector<std::uint8_t> bytes(text::Base64DecodedSize(digits.size()));
  if (!text::DecodeBase64(digits, bytes.data())) return std::nullopt;
  return bytes;
}

}  // namespace tandemize::converter
