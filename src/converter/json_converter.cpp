// JSON -> table: the structure loader and the record loaders.

#include "converter/json_converter.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "converter/base64.h"
#include "converter/internal/field_access.h"
#include "text/case_fold.h"

namespace tandemize::converter {

using json::TJsonArray;
using json::TJsonObject;
using json::TJsonValue;
using json::TJsonValueType;
using memtable::TField;
using memtable::TFieldType;
using memtable::TMemTable;

namespace {

constexpr const char* kJsonValueUninformed = "JSON Value Uninformed.";

// Currency values are 64-bit integers of ten-thousandths.
constexpr double kCurrencyMin = -922337203685477.5808;
constexpr double kCurrencyMax = 922337203685477.5807;

void CheckRange(const TField& field, std::int64_t value) {
  const auto range = field.Range();
  const double min = range ? range->first : std::numeric_limits<std::int32_t>::min();
  const double max = range ? range->second : std::numeric_limits<std::int32_t>::max();
  const auto asDouble = static_cast<double>(value);
  if (asDouble < min || asDouble > max) RaiseRangeError(field, asDouble, min, max);
}

// The number times 10000, rounded to the nearest integer with ties to even.
memtable::TCurrency ToCurrency(const TField& field, double value) {
  const double scaled = std::nearbyint(value * 10000.0);
  // 2^63 is the first value past the end of the 64-bit range.
  if (!(scaled >= -9223372036854775808.0 && scaled < 9223372036854775808.0)) {
    RaiseRangeError(field, value, kCurrencyMin, kCurrencyMax);
  }
  return memtable::TCurrency{static_cast<std::int64_t>(scaled)};
}

memtable::TBytes DecodeBlob(const TField& field, std::string_view text) {
  std::optional<std::vector<std::uint8_t>> bytes = DecodeBase64(text);
  if (!bytes) {
    throw EDataSetConverterException(
        fmt::format("Invalid Base64 value for field \"{}\".", field.FieldName()));
  }
  return std::move(*bytes);
}

// The value as text (what AsString gives): a string's own text in place,
// any other kind converted into aScratch.
std::string_view TextOf(const TJsonValue& value, std::string& aScratch) {
  if (value.ValueType() == TJsonValueType::jvString) return value.StringValue();
  aScratch = value.AsString();
  return aScratch;
}

// Stores one member's value into the field of the record being written.
void WriteField(TField& field, const TJsonValue& value) {
  std::string scratch;
  switch (field.DataType()) {
    case TFieldType::ftString:
    case TFieldType::ftMemo:
    case TFieldType::ftWideString:
    case TFieldType::ftWideMemo: {
      std::string cut;
      field.SetAsString(FitText(field, TextOf(value, scratch), cut));
      break;
    }
    case TFieldType::ftSmallint:
    case TFieldType::ftInteger:
    case TFieldType::ftShortint: {
      const std::int64_t number = value.AsInteger();
      CheckRange(field, number);
      field.SetAsInteger(static_cast<std::int32_t>(number));
      break;
    }
    case TFieldType::ftLongWord:
    case TFieldType::ftAutoInc:
    case TFieldType::ftLargeint: {
      // Unsigned 32-bit values above the signed range go in whole.
      const std::int64_t number = value.AsInteger();
      if (field.DataType() != TFieldType::ftLargeint) CheckRange(field, number);
      field.SetAsLargeInt(number);
      break;
    }
    case TFieldType::ftBoolean:
      field.SetAsBoolean(value.AsBoolean());
      break;
    case TFieldType::ftFloat:
    case TFieldType::ftBCD:
    case TFieldType::ftFMTBcd:
    case TFieldType::ftExtended:
    case TFieldType::ftSingle:
      field.SetAsFloat(value.AsNumber());
      break;
    case TFieldType::ftCurrency:
      field.SetAsCurrency(ToCurrency(field, value.AsNumber()));
      break;
    case TFieldType::ftDate:
      field.SetAsDateTime(TConverterUtil::ISODateToDate(TextOf(value, scratch)));
      break;
    case TFieldType::ftTime:
      field.SetAsDateTime(TConverterUtil::ISOTimeToTime(TextOf(value, scratch)));
      break;
    case TFieldType::ftDateTime:
    case TFieldType::ftTimeStamp:
      field.SetAsDateTime(TConverterUtil::ISOTimeStampToDateTime(TextOf(value, scratch)));
      break;
    case TFieldType::ftBlob:
    case TFieldType::ftGraphic:
    case TFieldType::ftStream:
      field.SetAsBytes(DecodeBlob(field, TextOf(value, scratch)));
      break;
    default:
      throw EDataSetConverterException(
          fmt::format("Cannot find type for field \"{}\"", field.FieldName()));
  }
}

void LoadArray(TJsonArray& rows, TMemTable& table, bool editMode, bool take = false);

// Position of the first member of a row named like the field `aFieldName`
// (field names are compared by the one rule for names, not by the object's
// ASCII lookup), or -1.
int FindMember(const TJsonObject& row, std::string_view aFieldName) {
  for (int i = 0; i < row.Count(); ++i) {
    if (text::EqualsIgnoringCase(row.Items(i).Name(), aFieldName)) return i;
  }
  return -1;
}

// The value of the member named like the field; a row without one gets an
// empty member of that name, as the object's own lookup adds it.
TJsonValue& MemberValue(TJsonObject& row, std::string_view aFieldName) {
  const int index = FindMember(row, aFieldName);
  return index >= 0 ? row.Items(index).Value() : row.Values(aFieldName);
}

// Where each field of a table found its member in a row object. The rows of
// an array usually name their members alike and in the same order: a row
// whose member names are byte for byte those of the row the map was learnt
// from finds every field at the same position, so its names need not be
// looked up again.
class TMemberMap {
 public:
  bool Matches(const TJsonObject& row) const {
    if (!FLearnt || row.Count() != static_cast<int>(FNames.size())) return false;
    for (int i = 0; i < row.Count(); ++i) {
      if (row.Items(i).Name() != FNames[static_cast<std::size_t>(i)]) return false;
    }
    return true;
  }
  // Position of the member of the field at `fieldIndex` (in table order).
  int Member(std::size_t fieldIndex) const { return FMembers[fieldIndex]; }
  // Learns from a row whose fields have all been looked up (so it holds a
  // member for each of them).
  void Learn(const TJsonObject& row, TMemTable& table) {
    FNames.resize(static_cast<std::size_t>(row.Count()));
    for (int i = 0; i < row.Count(); ++i) FNames[static_cast<std::size_t>(i)] = row.Items(i).Name();
    FMembers.clear();
    for (const auto& field : table.Fields()) {
      FMembers.push_back(field->ReadOnly() ? -1 : FindMember(row, field->FieldName()));
    }
    FLearnt = true;
  }

 private:
  std::vector<std::string> FNames;
  std::vector<int> FMembers;
  bool FLearnt = false;
};

// Writes one row object as a record: edits the record at aRecNo (1-based;
// 0 keeps the current one) in edit mode, appends a new record otherwise.
// Members are found through aMap when the row matches it (and it learns
// from a row that does not).
void LoadRecord(TJsonObject& row, TMemTable& table, int recNo, bool editMode,
                TMemberMap* aMap = nullptr) {
  if (recNo > 0 && table.RecordCount() > 1) table.SetRecNo(recNo);
  if (editMode && !table.IsEmpty()) {
    table.Edit();
  } else {
    table.Append();
  }
  const bool mapped = aMap != nullptr && aMap->Matches(row);
  std::size_t fieldIndex = 0;
  for (const auto& fieldPtr : table.Fields()) {
    TField& field = *fieldPtr;
    const std::size_t index = fieldIndex++;
    if (field.ReadOnly()) continue;
    TJsonValue& value =
        mapped ? row.Items(aMap->Member(index)).Value() : MemberValue(row, field.FieldName());
    if (field.DataType() == TFieldType::ftDataSet) {
      auto& dataSetField = static_cast<memtable::TDataSetField&>(field);
      TMemTable* nested = NestedDataSet(dataSetField);
      if (nested == nullptr) continue;
      switch (TConverterUtil::DataSetFieldToType(dataSetField)) {
        case TDataSetFieldType::dfJSONObject:
          LoadRecord(value.AsObject(), *nested, 0, true);
          break;
        case TDataSetFieldType::dfJSONArray:
          nested->First();
          while (!nested->IsEmpty()) nested->Delete();
          LoadArray(value.AsArray(), *nested, false);
          break;
        case TDataSetFieldType::dfUnknown:
          break;
      }
      continue;
    }
    if (value.IsNull()) {
      field.Clear();
    } else {
      WriteField(field, value);
    }
  }
  if (aMap != nullptr && !mapped) aMap->Learn(row, table);
  table.Post();
}

// Row objects in order; an element that is an array is walked the same way
// into the same table, counting its records from the start again. With
// `take`, each element is deleted from the front of `rows` once it is loaded,
// so it is still in place, under its array, while it is read.
void LoadArray(TJsonArray& rows, TMemTable& table, bool editMode, bool take) {
  TMemberMap map;
  int recNo = 0;
  for (int i = 0; i < rows.Count();) {
    if (!table.IsEmpty()) ++recNo;
    TJsonValue& element = rows.Items(i);
    if (element.ValueType() == TJsonValueType::jvArray) {
      LoadArray(element.AsArray(), table, editMode, take);
    } else {
      LoadRecord(element.AsObject(), table, recNo, editMode, &map);
    }
    if (take) {
      rows.Delete(0);
    } else {
      ++i;
    }
  }
}

}  // namespace

// ---- TJsonConverter ----

std::shared_ptr<IJsonConverter> TJsonConverter::New() {
  return std::make_shared<TJsonConverter>(TPrivateTag{});
}

TJsonConverter::~TJsonConverter() = default;

std::shared_ptr<IJsonConverter> TJsonConverter::UseJson(TJsonObject& aJsonObject) {
  FJsonObject = &aJsonObject;
  FJsonArray = nullptr;
  return shared_from_this();
}

std::shared_ptr<IJsonConverter> TJsonConverter::UseJson(TJsonArray& aJsonArray) {
  FJsonArray = &aJsonArray;
  FJsonObject = nullptr;
  return shared_from_this();
}

std::shared_ptr<IJsonConverter> TJsonConverter::UseJson(std::string_view aJsonString) {
  if (aJsonString.empty()) throw std::runtime_error("JSON string Uninformed.");
  auto document = std::make_unique<json::TJson>();
  document->Parse(aJsonString);
  // Nothing stays bound to a document this call replaces.
  FJsonObject = nullptr;
  FJsonArray = nullptr;
  FJson = std::move(document);
  if (json::TJsonBase::IsJsonObject(aJsonString)) FJsonObject = &FJson->JsonObject();
  if (json::TJsonBase::IsJsonArray(aJsonString)) FJsonArray = &FJson->JsonArray();
  return shared_from_this();
}

void TJsonConverter::LoadDataSet(TMemTable& aDataSet, bool aTake) {
  if (aDataSet.FieldDefs().Count() == 0 && aDataSet.Fields().Count() == 0) {
    throw EDataSetConverterException("DataSet without Fields.");
  }
  if (!aDataSet.Active()) aDataSet.Open();
  // The table has no attached controls whose notifications would need holding.
  if (FJsonObject != nullptr) {
    LoadRecord(*FJsonObject, aDataSet, 0, FIsRecord);
  } else if (FJsonArray != nullptr) {
    LoadArray(*FJsonArray, aDataSet, FIsRecord, aTake);
  } else {
    throw EDataSetConverterException(kJsonValueUninformed);
  }
}

void TJsonConverter::LoadRecords(TMemTable& aDataSet) {
  LoadDataSet(aDataSet, false);
}

void TJsonConverter::TakeRecords(TMemTable& aDataSet) {
  LoadDataSet(aDataSet, true);
}

void TJsonConverter::LoadCurrentRecord(TMemTable& aDataSet) {
  struct TEditModeScope {
    bool& Flag;
    explicit TEditModeScope(bool& flag) : Flag(flag) { Flag = true; }
    ~TEditModeScope() { Flag = false; }
  } scope(FIsRecord);
  LoadDataSet(aDataSet, false);
}

void TJsonConverter::LoadStructure(TMemTable& aDataSet) {
  if (FJsonObject != nullptr) {
    throw EDataSetConverterException("To convert a structure only JSONArray is allowed.");
  }
  if (FJsonArray == nullptr) throw EDataSetConverterException(kJsonValueUninformed);
  if (aDataSet.Active()) aDataSet.Close();
  // A row-store table built for earlier fields must not outlive them.
  if (aDataSet.Table() != nullptr) aDataSet.AttachTable(nullptr);
  aDataSet.Fields().Clear();
  aDataSet.FieldDefs().Clear();
  if (FJsonArray->Count() == 0) throw EDataSetConverterException("The JSON is Empty.");

  for (int i = 0; i < FJsonArray->Count(); ++i) {
    TJsonObject& column = FJsonArray->Items(i).AsObject();
    const std::string typeName = column.Values("dataType").AsString();
    const std::optional<TFieldType> type = memtable::FieldTypeByName(typeName);
    const std::string fieldName = column.Values("fieldName").AsString();
    const std::int64_t size = column.Values("size").AsInteger();
    if (!type) {
      throw EDataSetConverterException(
          fmt::format("Unknown data type \"{}\" for field \"{}\".", typeName, fieldName));
    }
    if (size < std::numeric_limits<std::int32_t>::min() ||
        size > std::numeric_limits<std::int32_t>::max()) {
      throw memtable::EDatabaseError("Invalid field size");
    }
    TConverterUtil::NewDataSetField(aDataSet, *type, fieldName, static_cast<std::int32_t>(size), "",
                                    "");
  }
}

}  // namespace tandemize::converter
