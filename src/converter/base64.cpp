#include "converter/base64.h"

#include <boost/beast/core/detail/base64.hpp>

namespace tandemize::converter {
namespace {

namespace b64 = boost::beast::detail::base64;

constexpr std::size_t kLineLength = 76;

bool IsBase64Char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

bool IsSpace(char c) {
  return c == '\r' || c == '\n' || c == ' ' || c == '\t';
}

}  // namespace

std::string EncodeBase64(const std::vector<std::uint8_t>& aBytes) {
  std::string plain(b64::encoded_size(aBytes.size()), '\0');
  plain.resize(b64::encode(plain.data(), aBytes.data(), aBytes.size()));
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
  std::string compact;
  compact.reserve(aText.size());
  for (const char c : aText) {
    if (!IsSpace(c)) compact += c;
  }
  // Up to two "=" close the text; nothing may follow them.
  std::size_t dataLength = compact.size();
  while (dataLength > 0 && compact.size() - dataLength < 2 && compact[dataLength - 1] == '=') {
    --dataLength;
  }
  for (std::size_t i = 0; i < dataLength; ++i) {
    if (!IsBase64Char(compact[i])) return std::nullopt;
  }
  // A lone character cannot encode a byte; padding must complete the last group.
  if (dataLength % 4 == 1) return std::nullopt;
  if (dataLength < compact.size() && compact.size() % 4 != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes(b64::decoded_size(dataLength) + 3);
  const auto [written, read] = b64::decode(bytes.data(), compact.data(), dataLength);
  bytes.resize(written);
  (void)read;
  return bytes;
}

}  // namespace tandemize::converter
