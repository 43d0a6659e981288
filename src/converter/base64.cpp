#include "converter/base64.h"

#include <algorithm>
#include <array>

#include <boost/beast/core/detail/base64.hpp>

namespace tandemize::converter {
namespace {

namespace b64 = boost::beast::detail::base64;

constexpr std::size_t kLineLength = 76;

// Six bits per alphabet character; any other byte maps to a bit above them,
// so one test of a group's characters together finds it.
constexpr std::uint32_t kInvalid = 0x100;

constexpr std::array<std::uint32_t, 256> kDecode = [] {
  std::array<std::uint32_t, 256> t{};
  t.fill(kInvalid);
  constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (std::uint32_t i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = i;
  return t;
}();

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
  const std::size_t groups = dataLength / 4;
  const std::size_t tail = dataLength % 4;  // 0, 2 or 3 characters: 0, 1 or 2 bytes
  std::vector<std::uint8_t> bytes(groups * 3 + (tail == 0 ? 0 : tail - 1));
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  std::uint8_t* out = bytes.data();
  for (std::size_t g = 0; g < groups; ++g, in += 4, out += 3) {
    const std::uint32_t a = kDecode[in[0]], b = kDecode[in[1]], c = kDecode[in[2]],
                        d = kDecode[in[3]];
    if ((a | b | c | d) & kInvalid) return std::nullopt;
    const std::uint32_t v = a << 18 | b << 12 | c << 6 | d;
    out[0] = static_cast<std::uint8_t>(v >> 16);
    out[1] = static_cast<std::uint8_t>(v >> 8);
    out[2] = static_cast<std::uint8_t>(v);
  }
  if (tail != 0) {
    // Bits below the last whole byte are ignored.
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < tail; ++k) {
      const std::uint32_t bits = kDecode[in[k]];
      if (bits & kInvalid) return std::nullopt;
      v |= bits << (18 - 6 * k);
    }
    out[0] = static_cast<std::uint8_t>(v >> 16);
    if (tail == 3) out[1] = static_cast<std::uint8_t>(v >> 8);
  }
  return bytes;
}

}  // namespace tandemize::converter
