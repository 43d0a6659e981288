#pragma once
// Field definitions: what each field of an open table shows (name, type,
// size, attributes), kept apart from the field objects themselves.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "memtable/enum_set.h"
#include "memtable/field_type.h"

namespace tandemize::memtable {

enum class TFieldAttribute : std::uint8_t {
  faHiddenCol,
  faReadonly,
  faRequired,
  faLink,
  faUnNamed,
  faFixed
};
using TFieldAttributes = TEnumSet<TFieldAttribute>;

// One field definition: what a field of the open table shows.
struct TFieldDef {
  std::string Name;
  TFieldType DataType = TFieldType::ftUnknown;
  std::int32_t Size = 0;
  std::int32_t Precision = 0;
  std::int32_t Scale = 0;
  TFieldAttributes Attributes;
  std::int32_t FieldNo = 0;  // 1-based position
  bool InternalCalcField = false;
  std::vector<TFieldDef> ChildDefs;  // nested-table columns
  int ColumnIndex = -1;              // column of the attached table, -1 when none

  bool Required() const { return Attributes.Contains(TFieldAttribute::faRequired); }
};

class TFieldDefs {
 public:
  std::size_t Count() const { return FItems.size(); }
  TFieldDef& operator[](std::size_t aIndex) { return FItems.at(aIndex); }
  const TFieldDef& operator[](std::size_t aIndex) const { return FItems.at(aIndex); }
  auto begin() const { return FItems.begin(); }
  auto end() const { return FItems.end(); }
  TFieldDef& Add(std::string aName, TFieldType aDataType, std::int32_t aSize = 0,
                 bool aRequired = false);
  // Index of the definition of that name (ignoring case), or -1.
  int IndexOf(std::string_view aName) const;
  const TFieldDef* Find(std::string_view aName) const;
  void Clear() { FItems.clear(); }

 private:
  std::vector<TFieldDef> FItems;
};

}  // namespace tandemize::memtable
