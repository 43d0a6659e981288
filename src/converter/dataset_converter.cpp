// Table -> JSON: records as objects, all records as an array, and the field
// list as the structure array the loader reads.

#include "converter/dataset_converter.h"

#include <stdexcept>
#include <string>

#include <fmt/format.h>

#include "converter/base64.h"
#include "converter/internal/field_access.h"

namespace tandemize::converter {

using json::TJsonArray;
using json::TJsonNull;
using json::TJsonObject;
using memtable::TField;
using memtable::TFieldType;
using memtable::TMemTable;

namespace {

void RecordToObject(TMemTable& table, TJsonObject& out);
void RecordsToArray(TMemTable& table, TJsonArray& out);

// Adds the member of one field; null-capable kinds write null for a null field,
// the numeric and boolean kinds their zero value.
void PutField(TField& field, TJsonObject& out) {
  const std::string name = TConverterUtil::ToLowerCamelCase(field.FieldName());
  const bool isNull = field.IsNull();
  switch (field.DataType()) {
    case TFieldType::ftString:
    case TFieldType::ftMemo:
    case TFieldType::ftWideString:
    case TFieldType::ftWideMemo:
      if (isNull) {
        out.Put(name, TJsonNull::null);
      } else {
        out.Put(name, field.AsString());
      }
      break;
    case TFieldType::ftSmallint:
    case TFieldType::ftInteger:
    case TFieldType::ftShortint:
      out.Put(name, field.AsInteger());
      break;
    case TFieldType::ftLargeint:
      out.Put(name, field.AsLargeInt());
      break;
    case TFieldType::ftAutoInc:
    case TFieldType::ftLongWord:
      // Written as text: "42".
      if (isNull) {
        out.Put(name, TJsonNull::null);
      } else {
        out.Put(name, field.AsString());
      }
      break;
    case TFieldType::ftBoolean:
      out.Put(name, field.AsBoolean());
      break;
    case TFieldType::ftFloat:
    case TFieldType::ftSingle:
    case TFieldType::ftBCD:
    case TFieldType::ftFMTBcd:
    case TFieldType::ftExtended:
      out.Put(name, field.AsFloat());
      break;
    case TFieldType::ftCurrency:
      if (isNull) {
        out.Put(name, TJsonNull::null);
      } else {
        out.Put(name, static_cast<double>(field.AsCurrency().Value) / 10000.0);
      }
      break;
    case TFieldType::ftDate:
      if (isNull) {
        out.Put(name, TJsonNull::null);
      } else {
        out.Put(name, TConverterUtil::DateToISODate(field.AsDateTime()));
      }
      break;
    case TFieldType::ftTime:
      if (isNull) {
        out.Put(name, TJsonNull::null);
      } else {
        out.Put(name, TConverterUtil::TimeToISOTime(field.AsDateTime()));
      }
      break;
    case TFieldType::ftDateTime:
    case TFieldType::ftTimeStamp:
      if (isNull) {
        out.Put(name, TJsonNull::null);
      } else {
        out.Put(name, TConverterUtil::DateTimeToISOTimeStamp(field.AsDateTime()));
      }
      break;
    case TFieldType::ftBlob:
    case TFieldType::ftGraphic:
    case TFieldType::ftStream:
      out.Put(name, isNull ? std::string() : EncodeBase64(field.AsBytes()));
      break;
    case TFieldType::ftDataSet: {
      auto& dataSetField = static_cast<memtable::TDataSetField&>(field);
      TMemTable* nested = NestedDataSet(dataSetField);
      if (nested == nullptr) break;
      switch (TConverterUtil::DataSetFieldToType(dataSetField)) {
        case TDataSetFieldType::dfJSONObject: {
          TJsonObject record;
          RecordToObject(*nested, record);
          out.Put(name, record);
          break;
        }
        case TDataSetFieldType::dfJSONArray: {
          TJsonArray records;
          RecordsToArray(*nested, records);
          out.Put(name, records);
          break;
        }
        case TDataSetFieldType::dfUnknown:
          break;
      }
      break;
    }
    default:
      throw EDataSetConverterException(fmt::format("Cannot find type for field \"{}\"", name));
  }
}

void RecordToObject(TMemTable& table, TJsonObject& out) {
  if (table.IsEmpty()) return;
  for (const auto& field : table.Fields()) {
    if (IsVisible(table, *field)) PutField(*field, out);
  }
}

// Walks every record, then returns to the record that was current, also
// when a record fails (the array keeps the records done before it).
void RecordsToArray(TMemTable& table, TJsonArray& out) {
  if (table.IsEmpty()) return;
  const int bookmark = table.RecNo();
  const auto restore = [&] {
    if (bookmark >= 1 && bookmark <= table.RecordCount()) table.SetRecNo(bookmark);
  };
  try {
    table.First();
    while (!table.Eof()) {
      TJsonObject record;
      RecordToObject(table, record);
      out.Put(record);
      table.Next();
    }
  } catch (...) {
    restore();
    throw;
  }
  restore();
}

}  // namespace

std::shared_ptr<IDataSetConverter> TDataSetConverter::New() {
  return std::make_shared<TDataSetConverter>(TPrivateTag{});
}

std::shared_ptr<IDataSetConverter> TDataSetConverter::UseDataSet(TMemTable& aDataSet) {
  FDataSet = &aDataSet;
  return shared_from_this();
}

TMemTable& TDataSetConverter::CheckDataSet() const {
  if (FDataSet == nullptr) throw EDataSetConverterException("DataSet Uninformed.");
  return *FDataSet;
}

TJsonObject& TDataSetConverter::CurrentRecordToJsonObject() {
  TMemTable& table = CheckDataSet();
  FJsonObject.Clear();
  RecordToObject(table, FJsonObject);
  return FJsonObject;
}

TJsonArray& TDataSetConverter::RecordsToJsonArray() {
  TMemTable& table = CheckDataSet();
  FJsonArray.Clear();
  RecordsToArray(table, FJsonArray);
  return FJsonArray;
}

TJsonArray& TDataSetConverter::StructureToJsonArray() {
  TMemTable& table = CheckDataSet();
  FJsonArray.Clear();
  for (const auto& field : table.Fields()) {
    TJsonObject& column = FJsonArray.Add().AsObject();
    column.Put("fieldName", TConverterUtil::ToLowerCamelCase(field->FieldName()));
    column.Put("dataType", memtable::FieldTypeName(field->DataType()));
    column.Put("size", field->Size());
  }
  return FJsonArray;
}

}  // namespace tandemize::converter
