#include "memtable/field_defs.h"

#include <utility>

#include "text/case_fold.h"

namespace tandemize::memtable {

TFieldDef& TFieldDefs::Add(std::string aName, TFieldType aDataType, std::int32_t aSize,
                           bool aRequired) {
  TFieldDef def;
  def.Name = std::move(aName);
  def.DataType = aDataType;
  def.Size = aSize;
  def.Attributes.Set(TFieldAttribute::faRequired, aRequired);
  def.FieldNo = static_cast<std::int32_t>(FItems.size()) + 1;
  FItems.push_back(std::move(def));
  return FItems.back();
}

int TFieldDefs::IndexOf(std::string_view aName) const {
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    if (text::EqualsIgnoringCase(FItems[i].Name, aName)) return static_cast<int>(i);
  }
  return -1;
}

const TFieldDef* TFieldDefs::Find(std::string_view aName) const {
  const int index = IndexOf(aName);
  return index < 0 ? nullptr : &FItems[static_cast<std::size_t>(index)];
}

}  // namespace tandemize::memtable
