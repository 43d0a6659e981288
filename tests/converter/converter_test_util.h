#pragma once
// Helpers shared by the converter tests.

#include <string>
#include <string_view>

#include "converter/converter.h"
#include "json/json.h"
#include "json/json_text.h"
#include "memtable/mem_table.h"

namespace tandemize::converter::testing {

// The message of what `call` throws, or "(no error)".
template <typename F>
std::string ErrorOf(F&& call) {
  try {
    call();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

// "name:type:size,..." for the table's fields.
inline std::string FieldList(const memtable::TMemTable& table) {
  std::string list;
  for (const auto& field : table.Fields()) {
    if (!list.empty()) list += ',';
    list += field->FieldName() + ':' + std::string(memtable::FieldTypeName(field->DataType())) +
            ':' + std::to_string(field->Size());
  }
  return list;
}

// The current record's value of a field, typed by its field type:
// "null", "text:..", "int:..", "bool:..", "float:..", "currency:..",
// "date:..", "bytes:1,2,3".
inline std::string Render(const memtable::TField& field) {
  using memtable::TFieldType;
  if (field.IsNull()) return "null";
  switch (field.DataType()) {
    case TFieldType::ftString:
    case TFieldType::ftWideString:
    case TFieldType::ftMemo:
    case TFieldType::ftWideMemo:
      return "text:" + field.AsString();
    case TFieldType::ftSmallint:
    case TFieldType::ftInteger:
    case TFieldType::ftShortint:
    case TFieldType::ftLongWord:
    case TFieldType::ftAutoInc:
    case TFieldType::ftLargeint:
      return "int:" + std::to_string(field.AsLargeInt());
    case TFieldType::ftBoolean:
      return field.AsBoolean() ? "bool:true" : "bool:false";
    case TFieldType::ftCurrency:
      return "currency:" + std::to_string(field.AsCurrency().Value);
    case TFieldType::ftDate:
    case TFieldType::ftTime:
    case TFieldType::ftDateTime:
    case TFieldType::ftTimeStamp:
      return "date:" + json::NumberToText(field.AsDateTime());
    case TFieldType::ftBlob:
    case TFieldType::ftGraphic: {
      std::string text = "bytes:";
      for (const auto byte : field.AsBytes()) {
        if (text.size() > 6) text += ',';
        text += std::to_string(byte);
      }
      return text;
    }
    default:
      return "float:" + json::NumberToText(field.AsFloat());
  }
}

// A closed table with the fields of a structure array given as text.
inline void LoadStructureText(memtable::TMemTable& table, std::string_view structure) {
  TConverter::New()->ForJson(structure)->LoadStructure(table);
}

}  // namespace tandemize::converter::testing
