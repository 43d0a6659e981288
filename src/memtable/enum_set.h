#pragma once
// A small set of enumeration values held as bits (bit n is the value with
// ordinal n), used for column attributes, column options and record types.

#include <cstdint>
#include <initializer_list>

namespace tandemize::memtable {

template <typename E>
class TEnumSet {
 public:
  constexpr TEnumSet() = default;
  constexpr TEnumSet(std::initializer_list<E> values) {
    for (const E value : values) Include(value);
  }
  static constexpr TEnumSet FromBits(std::uint64_t bits) {
    TEnumSet set;
    set.FBits = bits;
    return set;
  }

  constexpr std::uint64_t Bits() const { return FBits; }
  constexpr bool Contains(E value) const { return (FBits & Bit(value)) != 0; }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr TEnumSet& Include(E value) {
    FBits |= Bit(value);
    return *this;
  }
  constexpr TEnumSet& Exclude(E value) {
    FBits &= ~Bit(value);
    return *this;
  }
  constexpr TEnumSet& Set(E value, bool on) { return on ? Include(value) : Exclude(value); }

  friend constexpr TEnumSet operator|(TEnumSet a, TEnumSet b) {
    return FromBits(a.FBits | b.FBits);
  }
  friend constexpr TEnumSet operator&(TEnumSet a, TEnumSet b) {
    return FromBits(a.FBits & b.FBits);
  }
  friend constexpr bool operator==(TEnumSet, TEnumSet) = default;

 private:
  static constexpr std::uint64_t Bit(E value) {
    return std::uint64_t{1} << static_cast<unsigned>(value);
  }
  std::uint64_t FBits = 0;
};

}  // namespace tandemize::memtable
