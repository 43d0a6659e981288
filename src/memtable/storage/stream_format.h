#pragma once
// Constants, enumerations and errors of the binary dataset stream ("ADBS").
// The layout itself is described in docs/binary-stream.md.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "memtable/row_store.h"

namespace tandemize::memtable::storage {

// The version a writer produces unless told otherwise.
inline constexpr int kCurrentStreamVersion = 15;
inline constexpr int kOldestStreamVersion = 1;
inline constexpr std::size_t kHeaderSize = 12;
inline constexpr std::string_view kMagic = "ADBS";

inline constexpr std::uint8_t kObjectBegin = 0xFF;
inline constexpr std::uint8_t kObjectEnd = 0xFE;

// Objects nest a handful of levels in a well-formed stream (manager, table,
// view, mechanism list, ...). Anything deeper is a hostile stream that would
// otherwise recurse through the class registry without bound.
inline constexpr int kMaxObjectDepth = 32;

// The highest dictionary number a name may take; one more fails with 714.
inline constexpr std::uint32_t kMaxDictionaryNumber = 65534;

// Error codes of the storage layer ("Stan").
inline constexpr int kErrInvalidFormat = 710;
inline constexpr int kErrCannotReadObject = 712;
inline constexpr int kErrDictionaryOverflow = 714;
inline constexpr int kErrClassNotRegistered = 715;
inline constexpr int kErrUnknownFormat = 716;

[[noreturn]] void RaiseInvalidFormat();
[[noreturn]] void RaiseCannotReadObject(std::string_view aName);
[[noreturn]] void RaiseDictionaryOverflow();
[[noreturn]] void RaiseClassNotRegistered(std::string_view aName);
[[noreturn]] void RaiseUnknownStorageFormat(std::string_view aFormat);

// "List index out of bounds (%d)": a dictionary number past the dictionary.
class EListError : public std::runtime_error {
 public:
  explicit EListError(std::int64_t aIndex);
};

// Which parts of a row store a stream carries.
enum class TStoreItem : std::uint8_t { siMeta, siData, siDelta, siVisible };

class TStoreItems {
 public:
  constexpr TStoreItems() = default;
  constexpr TStoreItems(std::initializer_list<TStoreItem> aItems) {
    for (const TStoreItem item : aItems) FBits |= Bit(item);
  }
  constexpr bool Contains(TStoreItem aItem) const { return (FBits & Bit(aItem)) != 0; }
  constexpr TStoreItems& Include(TStoreItem aItem) {
    FBits |= Bit(aItem);
    return *this;
  }
  constexpr TStoreItems& Exclude(TStoreItem aItem) {
    FBits &= static_cast<std::uint8_t>(~Bit(aItem));
    return *this;
  }
  friend constexpr bool operator==(TStoreItems, TStoreItems) = default;

 private:
  static constexpr std::uint8_t Bit(TStoreItem aItem) {
    return static_cast<std::uint8_t>(1U << static_cast<unsigned>(aItem));
  }
  std::uint8_t FBits = 0;
};

// What an in-memory table stores by default.
inline constexpr TStoreItems kDefaultStoreItems{TStoreItem::siMeta, TStoreItem::siData,
                                                TStoreItem::siDelta};

inline constexpr int kStreamDataTypeCount = kColumnDataTypeCount;
inline constexpr int kStreamRowStateCount =
    static_cast<int>(TRowStoreRowState::rsImportingProposed) + 1;

// An enumeration as the stream names it: the full value names ("dtInt32") in
// ordinal order. Versions 3 and 4 store the name without its two-letter
// prefix, versions 1 and 2 the ordinal.
struct TEnumTypeInfo {
  std::span<const std::string_view> Names;
  // Version 1 streams numbered the column data types differently.
  bool OldDataTypeOrdinals = false;
};

extern const TEnumTypeInfo kColumnDataTypeEnum;
extern const TEnumTypeInfo kRowStateEnum;
extern const TEnumTypeInfo kCheckTimeEnum;         // ctAtEditEnd, ctAtColumnChange
extern const TEnumTypeInfo kConstraintRuleEnum;    // crCascade, crRestrict, crNullify
extern const TEnumTypeInfo kAcceptRejectRuleEnum;  // arNone, arCascade

std::string_view DataTypeName(TColumnDataType aType);

// Version 1 ordinal of a column data type to today's ordinal, and back
// (the back conversion is -1 for types version 1 did not have).
int ConvertOldDataTypeOrdinal(int aOrdinal);
int ToOldDataTypeOrdinal(int aOrdinal);

}  // namespace tandemize::memtable::storage
