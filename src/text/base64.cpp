#include "text/base64.h"

#include <array>

namespace tandemize::text {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Six bits per alphabet character; any other byte maps to a bit above them,
// so one test of a group's characters together finds it.
constexpr std::uint32_t kInvalid = 0x100;

constexpr std::array<std::uint32_t, 256> kDecode = [] {
  std::array<std::uint32_t, 256> table{};
  table.fill(kInvalid);
  for (std::uint32_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
  return table;
}();

}  // namespace

std::string EncodeBase64(std::span<const std::uint8_t> aBytes) {
  std::string out;
  out.reserve((aBytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= aBytes.size(); i += 3) {
    const std::uint32_t v = aBytes[i] << 16 | aBytes[i + 1] << 8 | aBytes[i + 2];
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 0x3F];
    out += kAlphabet[(v >> 6) & 0x3F];
    out += kAlphabet[v & 0x3F];
  }
  const std::size_t rest = aBytes.size() - i;
  if (rest != 0) {
    std::uint32_t v = static_cast<std::uint32_t>(aBytes[i]) << 16;
    if (rest == 2) v |= static_cast<std::uint32_t>(aBytes[i + 1]) << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 0x3F];
    out += rest == 2 ? kAlphabet[(v >> 6) & 0x3F] : '=';
    out += '=';
  }
  return out;
}

bool DecodeBase64(std::string_view aDigits, std::uint8_t* aOut) {
  const auto* in = reinterpret_cast<const unsigned char*>(aDigits.data());
  const std::size_t groups = aDigits.size() / 4;
  for (std::size_t g = 0; g < groups; ++g, in += 4, aOut += 3) {
    const std::uint32_t a = kDecode[in[0]], b = kDecode[in[1]], c = kDecode[in[2]],
                        d = kDecode[in[3]];
    if ((a | b | c | d) & kInvalid) return false;
    const std::uint32_t v = a << 18 | b << 12 | c << 6 | d;
    aOut[0] = static_cast<std::uint8_t>(v >> 16);
    aOut[1] = static_cast<std::uint8_t>(v >> 8);
    aOut[2] = static_cast<std::uint8_t>(v);
  }
  const std::size_t tail = aDigits.size() % 4;
  std::uint32_t v = 0;
  for (std::size_t k = 0; k < tail; ++k) {
    const std::uint32_t bits = kDecode[in[k]];
    if (bits & kInvalid) return false;
    v |= bits << (18 - 6 * k);
  }
  if (tail >= 2) aOut[0] = static_cast<std::uint8_t>(v >> 16);
  if (tail == 3) aOut[1] = static_cast<std::uint8_t>(v >> 8);
  return true;
}

bool IsBase64Digit(char c) {
  return (kDecode[static_cast<unsigned char>(c)] & kInvalid) == 0;
}

}  // namespace tandemize::text
