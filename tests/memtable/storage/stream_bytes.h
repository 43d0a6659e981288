#pragma once
// Hand assembly of binary dataset streams for the tests: objects,
// properties and values written byte by byte, with a dictionary that gives
// numbers in order of first use (no placeholders: tests pick the numbers).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tandemize::memtable::storage::testing {

class TStreamBytes {
 public:
  TStreamBytes& U8(std::uint8_t v) {
    FData.push_back(static_cast<char>(v));
    return *this;
  }
  TStreamBytes& U16(std::uint16_t v) { return U8(v & 0xFF).U8(v >> 8); }
  TStreamBytes& U32(std::uint32_t v) { return U16(v & 0xFFFF).U16(v >> 16); }
  TStreamBytes& Raw(std::string_view bytes) {
    FData.append(bytes);
    return *this;
  }
  // UTF-16LE of ASCII text, with its 32-bit byte count.
  TStreamBytes& Text(std::string_view ascii) {
    U32(static_cast<std::uint32_t>(ascii.size() * 2));
    for (const char c : ascii) U16(static_cast<unsigned char>(c));
    return *this;
  }

  std::uint16_t Name(std::string_view name) {
    for (std::size_t i = 0; i < FNames.size(); ++i) {
      if (FNames[i] == name) return static_cast<std::uint16_t>(i);
    }
    FNames.emplace_back(name);
    return static_cast<std::uint16_t>(FNames.size() - 1);
  }
  TStreamBytes& Begin(std::string_view name) {
    return U8(0xFF).U8(static_cast<std::uint8_t>(Name(name)));
  }
  TStreamBytes& End() { return U8(0xFE); }
  TStreamBytes& Prop(std::string_view name) { return U16(Name(name)); }
  TStreamBytes& Int(std::string_view name, std::int32_t v) {
    return Prop(name).U32(static_cast<std::uint32_t>(v));
  }
  TStreamBytes& Bool(std::string_view name, bool v) { return Prop(name).U8(v ? 1 : 0); }
  TStreamBytes& Str(std::string_view name, std::string_view v) { return Prop(name).Text(v); }
  // Enumeration of version 5 and later: the number of the value's name.
  TStreamBytes& Enum(std::string_view name, std::string_view value) {
    Prop(name);
    return U16(Name(value));
  }

  // Header ("ADBS", version, reserved, dictionary offset), data, dictionary.
  std::string Finish(std::uint16_t version) const {
    TStreamBytes out;
    out.Raw("ADBS").U16(version).U16(0).U32(static_cast<std::uint32_t>(12 + FData.size()));
    out.Raw(FData);
    for (const std::string& name : FNames) {
      out.U16(static_cast<std::uint16_t>(name.size() * 2));
      for (const char c : name) out.U16(static_cast<unsigned char>(c));
    }
    return out.FData;
  }

  const std::string& Data() const { return FData; }

 private:
  std::string FData;
  std::vector<std::string> FNames;
};

// The names of a stream's dictionary (ASCII names only).
inline std::vector<std::string> DictionaryOf(const std::string& stream) {
  const auto u16 = [&](std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(stream[at]) |
                                      (static_cast<unsigned char>(stream[at + 1]) << 8));
  };
  std::size_t pos = u16(8) | (static_cast<std::size_t>(u16(10)) << 16);
  std::vector<std::string> names;
  while (pos + 2 <= stream.size()) {
    const std::size_t length = u16(pos);
    std::string name;
    for (std::size_t i = 0; i < length; i += 2)
      name.push_back(static_cast<char>(stream[pos + 2 + i]));
    names.push_back(name);
    pos += 2 + length;
  }
  return names;
}

// The stream with its dictionary rewritten from `names`.
inline std::string WithDictionary(const std::string& stream,
                                  const std::vector<std::string>& names) {
  const auto u16 = [&](std::size_t at) {
    return static_cast<std::size_t>(static_cast<unsigned char>(stream[at]) |
                                    (static_cast<unsigned char>(stream[at + 1]) << 8));
  };
  const std::size_t offset = u16(8) | (u16(10) << 16);
  TStreamBytes dictionary;
  for (const std::string& name : names) {
    dictionary.U16(static_cast<std::uint16_t>(name.size() * 2));
    for (const char c : name) dictionary.U16(static_cast<unsigned char>(c));
  }
  return stream.substr(0, offset) + dictionary.Data();
}

// The stream with its object data cut to `dataLength` bytes and the
// dictionary kept whole behind it.
inline std::string WithDataCut(const std::string& stream, std::size_t dataLength) {
  const auto u16 = [&](std::size_t at) {
    return static_cast<std::size_t>(static_cast<unsigned char>(stream[at]) |
                                    (static_cast<unsigned char>(stream[at + 1]) << 8));
  };
  const std::size_t offset = u16(8) | (u16(10) << 16);
  std::string out = stream.substr(0, 12 + dataLength) + stream.substr(offset);
  const std::size_t newOffset = 12 + dataLength;
  for (int i = 0; i < 4; ++i) out[8 + i] = static_cast<char>((newOffset >> (8 * i)) & 0xFF);
  return out;
}

}  // namespace tandemize::memtable::storage::testing
