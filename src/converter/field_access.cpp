#include "converter/internal/field_access.h"

#include <fmt/format.h>

#include "json/json_text.h"
#include "text/charset.h"

namespace tandemize::converter {

memtable::TMemTable* NestedDataSet(memtable::TDataSetField& aField) {
  memtable::TMemTable& nested = aField.NestedDataSet();
  return nested.Active() ? &nested : nullptr;
}

bool IsVisible(memtable::TMemTable& aDataSet, const memtable::TField& aField) {
  const memtable::TFieldDef* def = aDataSet.FieldDefs().Find(aField.FieldName());
  return def == nullptr || !def->Attributes.Contains(memtable::TFieldAttribute::faHiddenCol);
}

std::string_view FitText(const memtable::TField& aField, std::string_view aText,
                         std::string& aScratch) {
  using memtable::TFieldType;
  const TFieldType type = aField.DataType();
  if (type != TFieldType::ftString && type != TFieldType::ftWideString) return aText;
  const auto limit = static_cast<std::size_t>(std::max(aField.Size(), 0));
  if (aText.size() <= limit) return aText;  // never more units than bytes
  if (text::Utf16Length(aText) <= limit) return aText;
  std::u16string wide = text::Utf8ToUtf16(aText);
  std::size_t cut = limit;
  if (cut > 0 && wide[cut - 1] >= 0xD800 && wide[cut - 1] <= 0xDBFF) --cut;
  wide.resize(cut);
  aScratch = text::Utf16ToUtf8(wide);
  return aScratch;
}

void RaiseRangeError(const memtable::TField& aField, double aValue, double aMin, double aMax) {
  throw memtable::EDatabaseError(
      fmt::format("{} is not a valid value for field '{}'. The allowed range is {} to {}",
                  json::NumberToText(aValue), aField.DisplayLabel(), json::NumberToText(aMin),
                  json::NumberToText(aMax)));
}

}  // namespace tandemize::converter
