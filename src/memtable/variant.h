#pragma once
// The value a field gives as `AsVariant` and that a statement parameter binds.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace tandemize::memtable {

using TBytes = std::vector<std::uint8_t>;

// 64-bit integer scaled by 10000.
struct TCurrency {
  std::int64_t Value = 0;
  friend bool operator==(const TCurrency&, const TCurrency&) = default;
};

// Whole days since 1899-12-30 plus the time of day as a fraction.
struct TDateTime {
  double Value = 0;
  friend bool operator==(const TDateTime&, const TDateTime&) = default;
};

struct TSQLTimeStamp {
  std::int16_t Year = 0;
  std::uint16_t Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
  std::uint32_t Fractions = 0;
  friend bool operator==(const TSQLTimeStamp&, const TSQLTimeStamp&) = default;
};

// Packed decimal: Precision digits (at most 64); SignSpecialPlaces has the
// sign in bit 7 (set for negative) and the decimal places in bits 0..5;
// Fraction holds the digits two per byte, the first in the high half-byte.
struct TBcd {
  std::uint8_t Precision = 0;
  std::uint8_t SignSpecialPlaces = 0;
  std::array<std::uint8_t, 32> Fraction{};
  friend bool operator==(const TBcd&, const TBcd&) = default;
};

// The 25-byte interval record, kept as it was stored.
struct TInterval {
  std::array<std::uint8_t, 25> Raw{};
  friend bool operator==(const TInterval&, const TInterval&) = default;
};

// A packed decimal as a TVariant holds it: the 34-byte TBcd lives in its own
// block, so that a variant is no larger than a std::string plus its index
// (40 bytes instead of 48). Every row of a table holds one variant per
// column, and decimals are rare. Copies are deep; a moved-from value reads
// as zero.
class TBcdValue {
 public:
  TBcdValue() = default;
  TBcdValue(const TBcd& aValue) : FValue(std::make_unique<TBcd>(aValue)) {}  // NOLINT: implicit
  TBcdValue(const TBcdValue& aOther)
      : FValue(aOther.FValue ? std::make_unique<TBcd>(*aOther.FValue) : nullptr) {}
  TBcdValue(TBcdValue&&) noexcept = default;
  TBcdValue& operator=(const TBcdValue& aOther) {
    if (this != &aOther) *this = TBcdValue(aOther);
    return *this;
  }
  TBcdValue& operator=(TBcdValue&&) noexcept = default;

  const TBcd& Get() const { return FValue ? *FValue : Zero(); }
  operator const TBcd&() const { return Get(); }  // NOLINT: implicit
  // The decimal, for writing in place.
  TBcd& Mutable() {
    if (!FValue) FValue = std::make_unique<TBcd>();
    return *FValue;
  }
  friend bool operator==(const TBcdValue& a, const TBcdValue& b) { return a.Get() == b.Get(); }

 private:
  static const TBcd& Zero() {
    static const TBcd kZero{};
    return kZero;
  }
  std::unique_ptr<TBcd> FValue;  // null reads as zero
};

// Text is UTF-8 in std::string, whether the field holds 8-bit or wide text.
using TVariant =
    std::variant<std::monostate, bool, std::int8_t, std::uint8_t, std::int16_t, std::uint16_t,
                 std::int32_t, std::uint32_t, std::int64_t, std::uint64_t, float, double, TCurrency,
                 TDateTime, TSQLTimeStamp, TBcdValue, TInterval, std::string, TBytes>;
static_assert(sizeof(TVariant) <= sizeof(std::string) + 8, "a row holds one TVariant per column");

inline bool VarIsNull(const TVariant& value) {
  return std::holds_alternative<std::monostate>(value);
}

}  // namespace tandemize::memtable
