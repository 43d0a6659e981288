// Field classes: reading and writing one column of the current record.
#include "memtable/fields.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <limits>

#include <fmt/format.h>

#include "memtable/mem_table.h"
#include "memtable/value_convert.h"
#include "text/case_fold.h"

namespace tandemize::memtable {

namespace {

constexpr const char* kFieldTypeNames[kFieldTypeCount] = {
    "ftUnknown",      "ftString",      "ftSmallint", "ftInteger",       "ftWord",
    "ftBoolean",      "ftFloat",       "ftCurrency", "ftBCD",           "ftDate",
    "ftTime",         "ftDateTime",    "ftBytes",    "ftVarBytes",      "ftAutoInc",
    "ftBlob",         "ftMemo",        "ftGraphic",  "ftFmtMemo",       "ftParadoxOle",
    "ftDBaseOle",     "ftTypedBinary", "ftCursor",   "ftFixedChar",     "ftWideString",
    "ftLargeint",     "ftADT",         "ftArray",    "ftReference",     "ftDataSet",
    "ftOraBlob",      "ftOraClob",     "ftVariant",  "ftInterface",     "ftIDispatch",
    "ftGuid",         "ftTimeStamp",   "ftFMTBcd",   "ftFixedWideChar", "ftWideMemo",
    "ftOraTimeStamp", "ftOraInterval", "ftLongWord", "ftShortint",      "ftByte",
    "ftExtended",     "ftConnection",  "ftParams",   "ftStream",        "ftTimeStampOffset",
    "ftObject",       "ftSingle"};

// printf's "%g" with enough digits for any 32-bit bound.
std::string FormatG(double aValue) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.15g", aValue);
  return buffer;
}

template <typename T>
std::unique_ptr<TField> Make() {
  return std::make_unique<T>();
}

}  // namespace

std::string_view FieldTypeName(TFieldType aType) {
  const auto index = static_cast<std::size_t>(aType);
  return index < std::size(kFieldTypeNames) ? kFieldTypeNames[index] : std::string_view{};
}

std::optional<TFieldType> FieldTypeByName(std::string_view aName) {
  for (std::size_t i = 0; i < std::size(kFieldTypeNames); ++i) {
    if (text::EqualsIgnoringAsciiCase(kFieldTypeNames[i], aName)) return static_cast<TFieldType>(i);
  }
  return std::nullopt;
}

std::unique_ptr<TField> CreateField(TFieldType aType, TFieldClassList aList) {
  using enum TFieldType;
  const bool general = aList == TFieldClassList::fcGeneral;
  std::unique_ptr<TField> field;
  switch (aType) {
    case ftString:
    case ftFixedChar:
      field = Make<TStringField>();
      break;
    case ftSmallint:
      field = Make<TSmallintField>();
      break;
    case ftInteger:
      field = Make<TIntegerField>();
      break;
    case ftWord:
      field = Make<TWordField>();
      break;
    case ftBoolean:
      field = Make<TBooleanField>();
      break;
    case ftFloat:
      field = Make<TFloatField>();
      break;
    case ftCurrency:
      field = Make<TCurrencyField>();
      break;
    case ftBCD:
      field = Make<TBCDField>();
      break;
    case ftDate:
      field = Make<TDateField>();
      break;
    case ftTime:
      field = Make<TTimeField>();
      break;
    case ftDateTime:
      field = Make<TDateTimeField>();
      break;
    case ftBytes:
      field = Make<TBytesField>();
      break;
    case ftVarBytes:
      field = Make<TVarBytesField>();
      break;
    case ftAutoInc:
      field = general ? Make<TAutoIncField>() : Make<TDbAutoIncField>();
      break;
    case ftBlob:
    case ftTypedBinary:
    case ftOraBlob:
      field = Make<TBlobField>();
      break;
    case ftMemo:
    case ftOraClob:
      field = Make<TMemoField>();
      break;
    case ftGraphic:
      field = Make<TGraphicField>();
      break;
    case ftFmtMemo:
      field = general ? Make<TBlobField>() : Make<TWideMemoField>();
      break;
    case ftWideMemo:
      field = Make<TWideMemoField>();
      break;
    case ftDBaseOle:
      field = general ? Make<TBlobField>() : Make<TDbXMLField>();
      break;
    case ftParadoxOle:
      field = general ? Make<TBlobField>() : Make<TDbSQLTimeIntervalField>();
      break;
    case ftOraInterval:
      field = general ? Make<TStringField>() : Make<TDbSQLTimeIntervalField>();
      break;
    case ftWideString:
    case ftFixedWideChar:
      field = Make<TWideStringField>();
      break;
    case ftLargeint:
      field = Make<TLargeintField>();
      break;
    case ftADT:
      field = Make<TADTField>();
      break;
    case ftArray:
      field = Make<TArrayField>();
      break;
    case ftReference:
      field = Make<TReferenceField>();
      break;
    case ftDataSet:
      field = Make<TDataSetField>();
      break;
    case ftVariant:
      field = Make<TVariantField>();
      break;
    case ftInterface:
      field = Make<TInterfaceField>();
      break;
    case ftIDispatch:
      field = Make<TIDispatchField>();
      break;
    case ftGuid:
      field = Make<TGuidField>();
      break;
    case ftTimeStamp:
    case ftOraTimeStamp:
      field = Make<TSQLTimeStampField>();
      break;
    case ftFMTBcd:
      field = Make<TFMTBCDField>();
      break;
    case ftLongWord:
      field = Make<TLongWordField>();
      break;
    case ftShortint:
      field = Make<TShortintField>();
      break;
    case ftByte:
      field = Make<TByteField>();
      break;
    case ftExtended:
      field = Make<TExtendedField>();
      break;
    case ftTimeStampOffset:
      field = Make<TSQLTimeStampOffsetField>();
      break;
    case ftSingle:
      field = Make<TSingleField>();
      break;
    default:
      return nullptr;  // no field class
  }
  if (!general) field->FDataType = aType;  // a table's field shows its definition's type
  if (aType == ftFixedChar || aType == ftFixedWideChar) {
    if (!general) static_cast<TStringField&>(*field).SetFixedChar(true);
  }
  return field;
}

// ---------------------------------------------------------------------------
// TField

TField::TField(TFieldType aDataType, std::int32_t aSize) : FDataType(aDataType), FSize(aSize) {}

TField::~TField() = default;

void TField::SetSize(std::int32_t aValue) {
  if (!ValidSize(aValue)) throw EDatabaseError("Invalid field size");
  FSize = aValue;
}

const TVariant& TField::RawValue() const {
  static const TVariant kNull;
  if (FDataSet == nullptr || FColumnIndex < 0) return kNull;
  return FDataSet->RecordValue(FColumnIndex);
}

TVariant TField::LogicalValue() const {
  return ColumnToPlain(FColumnType, RawValue());
}

const std::string* TField::StoredText() const {
  using enum TColumnDataType;
  switch (FColumnType) {
    case dtAnsiString:
    case dtWideString:
    case dtMemo:
    case dtWideMemo:
    case dtHMemo:
    case dtWideHMemo:
      return std::get_if<std::string>(&RawValue());
    default:
      return nullptr;
  }
}

const TBytes* TField::StoredBytes() const {
  using enum TColumnDataType;
  if (FColumnType != dtBlob && FColumnType != dtHBlob) return nullptr;
  return std::get_if<TBytes>(&RawValue());
}

bool TField::IsNull() const {
  return VarIsNull(RawValue());
}

void TField::CheckRange(double aValue) const {
  const auto range = Range();
  if (!range) return;
  if (!(aValue >= range->first && aValue <= range->second)) {
    throw EDatabaseError(fmt::format(
        "{} is not a valid value for field '{}'. The allowed range is {} to {}", FormatG(aValue),
        DisplayLabel(), FormatG(range->first), FormatG(range->second)));
  }
}

void TField::SetLogical(TVariant aValue) {
  if (FDataSet == nullptr || FColumnIndex < 0) {
    throw EDatabaseError(fmt::format("Field '{}' is not bound to an open dataset", FFieldName));
  }
  const TDataSetState state = FDataSet->State();
  if (state != TDataSetState::dsEdit && state != TDataSetState::dsInsert) {
    throw EDatabaseError("Dataset not in edit or insert mode");
  }
  if (FReadOnly) throw EDatabaseError(fmt::format("Field '{}' cannot be modified", DisplayLabel()));
  if (!VarIsNull(aValue) && Range()) {
    if (std::holds_alternative<std::int64_t>(aValue)) {
      CheckRange(static_cast<double>(std::get<std::int64_t>(aValue)));
    } else {
      CheckRange(PlainToDouble(aValue));
    }
  }
  TVariant raw = PlainToColumn(FColumnType, std::move(aValue));
  if (auto* bcd = std::get_if<TBcdValue>(&raw);
      bcd != nullptr && (FDataType == TFieldType::ftBCD || FDataType == TFieldType::ftFMTBcd)) {
    *bcd = BcdRound(*bcd, FSize);
  }
  FDataSet->SetRecordValue(FColumnIndex, std::move(raw));
}

void TField::Clear() {
  SetLogical(TVariant{});
}

TVariant TField::AsVariant() const {
  return LogicalValue();
}

void TField::SetAsVariant(const TVariant& aValue) {
  SetLogical(aValue);
}

std::string TField::AsString() const {
  const TVariant value = LogicalValue();
  if (const auto* dateTime = std::get_if<TDateTime>(&value)) {
    if (FDataType == TFieldType::ftDate)
      return PlainToString(TDateTime{std::trunc(dateTime->Value)});
    if (FDataType == TFieldType::ftTime) {
      // Time only: the date part is dropped.
      const std::string text =
          PlainToString(TDateTime{dateTime->Value - std::trunc(dateTime->Value) + 1.0});
      const std::size_t space = text.find(' ');
      return space == std::string::npos ? "00:00:00" : text.substr(space + 1);
    }
  }
  if (const auto* bcd = std::get_if<TBcdValue>(&value)) return BcdToString(*bcd);
  if (const auto* currency = std::get_if<TCurrency>(&value)) return PlainToString(*currency);
  return PlainToString(value);
}

void TField::SetAsString(std::string_view aValue) {
  SetLogical(std::string(aValue));
}

std::int32_t TField::AsInteger() const {
  const std::int64_t value = PlainToInt64(LogicalValue());
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    throw EDatabaseError(
        fmt::format("{} is not a valid integer value for field '{}'", value, DisplayLabel()));
  }
  return static_cast<std::int32_t>(value);
}

void TField::SetAsInteger(std::int32_t aValue) {
  SetLogical(static_cast<std::int64_t>(aValue));
}

std::int64_t TField::AsLargeInt() const {
  return PlainToInt64(LogicalValue());
}

void TField::SetAsLargeInt(std::int64_t aValue) {
  SetLogical(aValue);
}

double TField::AsFloat() const {
  return PlainToDouble(LogicalValue());
}

void TField::SetAsFloat(double aValue) {
  SetLogical(aValue);
}

TCurrency TField::AsCurrency() const {
  return PlainToCurrency(LogicalValue());
}

void TField::SetAsCurrency(TCurrency aValue) {
  SetLogical(aValue);
}

bool TField::AsBoolean() const {
  return PlainToBool(LogicalValue());
}

void TField::SetAsBoolean(bool aValue) {
  SetLogical(aValue);
}

double TField::AsDateTime() const {
  const TVariant value = LogicalValue();
  return VarIsNull(value) ? 0.0 : PlainToDateTime(value);
}

void TField::SetAsDateTime(double aValue) {
  SetLogical(TDateTime{aValue});
}

TSQLTimeStamp TField::AsSQLTimeStamp() const {
  return PlainToSQLTimeStamp(LogicalValue());
}

void TField::SetAsSQLTimeStamp(const TSQLTimeStamp& aValue) {
  SetLogical(aValue);
}

TBcd TField::AsBCD() const {
  return PlainToBcd(LogicalValue());
}

void TField::SetAsBCD(const TBcd& aValue) {
  SetLogical(aValue);
}

TBytes TField::AsBytes() const {
  return PlainToBytes(LogicalValue());
}

void TField::SetAsBytes(TBytes aValue) {
  SetLogical(std::move(aValue));
}

// ---------------------------------------------------------------------------
// AsVariant by field class

namespace {

// aValue copied into aTarget, into the storage aTarget has when it already
// holds a T.
template <typename T>
void AssignInPlace(TVariant& aTarget, const T& aValue) {
  if (auto* held = std::get_if<T>(&aTarget)) {
    *held = aValue;
  } else {
    aTarget.emplace<T>(aValue);
  }
}

}  // namespace

void TField::AssignVariantTo(TVariant& aTarget) const {
  aTarget = AsVariant();
}

void TStringField::AssignVariantTo(TVariant& aTarget) const {
  if (const std::string* text = StoredText()) {
    AssignInPlace(aTarget, *text);
  } else {
    TField::AssignVariantTo(aTarget);
  }
}

// The usual column of each numeric and date class, read without the
// conversions the other columns need.

void TIntegerField::AssignVariantTo(TVariant& aTarget) const {
  const auto* value = std::get_if<std::int32_t>(&RawValue());
  if (value != nullptr && ColumnType() == TColumnDataType::dtInt32) {
    aTarget = *value;
  } else {
    TField::AssignVariantTo(aTarget);
  }
}

void TFloatField::AssignVariantTo(TVariant& aTarget) const {
  const auto* value = std::get_if<double>(&RawValue());
  if (value != nullptr && ColumnType() == TColumnDataType::dtDouble) {
    aTarget = *value;
  } else {
    TField::AssignVariantTo(aTarget);
  }
}

void TDateTimeField::AssignVariantTo(TVariant& aTarget) const {
  const TVariant& raw = RawValue();
  if (ColumnType() == TColumnDataType::dtDate && std::holds_alternative<std::int32_t>(raw)) {
    aTarget = TDateTime{PlainToDateTime(ColumnToPlain(ColumnType(), raw))};
  } else {
    TField::AssignVariantTo(aTarget);
  }
}

void TBlobField::AssignVariantTo(TVariant& aTarget) const {
  const TBytes* bytes = StoredBytes();
  if (bytes == nullptr) {
    TField::AssignVariantTo(aTarget);
  } else if (bytes->empty()) {
    aTarget = TVariant{};  // as AsVariant: no bytes read as null
  } else {
    AssignInPlace(aTarget, *bytes);
  }
}

void TMemoField::AssignVariantTo(TVariant& aTarget) const {
  if (const std::string* text = StoredText()) {
    AssignInPlace(aTarget, *text);
  } else {
    TField::AssignVariantTo(aTarget);
  }
}

TVariant TStringField::AsVariant() const {
  if (IsNull()) return {};
  return AsString();
}

TVariant TIntegerField::AsVariant() const {
  if (IsNull()) return {};
  return AsInteger();
}

TVariant TLongWordField::AsVariant() const {
  if (IsNull()) return {};
  const std::int64_t value = AsLargeInt();
  if (value < 0 || value > std::numeric_limits<std::uint32_t>::max()) {
    throw EDatabaseError(
        fmt::format("{} is not a valid value for field '{}'", value, DisplayLabel()));
  }
  return static_cast<std::uint32_t>(value);
}

void TLargeintField::AssignVariantTo(TVariant& aTarget) const {
  if (!IsNull()) {
    const TVariant value = LogicalValue();
    const auto* unsignedValue = std::get_if<std::uint64_t>(&value);
    if (unsignedValue != nullptr && *unsignedValue > static_cast<std::uint64_t>(INT64_MAX)) {
      aTarget = *unsignedValue;
      return;
    }
  }
  TField::AssignVariantTo(aTarget);
}

TVariant TLargeintField::AsVariant() const {
  if (IsNull()) return {};
  const TVariant value = LogicalValue();
  // An unsigned 64-bit column shows its bits as a signed value.
  if (const auto* unsignedValue = std::get_if<std::uint64_t>(&value)) {
    return static_cast<std::int64_t>(*unsignedValue);
  }
  return PlainToInt64(value);
}

TVariant TFloatField::AsVariant() const {
  if (IsNull()) return {};
  return AsFloat();
}

TVariant TBCDField::AsVariant() const {
  if (IsNull()) return {};
  return AsCurrency();
}

TVariant TFMTBCDField::AsVariant() const {
  if (IsNull()) return {};
  return AsBCD();
}

TVariant TBooleanField::AsVariant() const {
  if (IsNull()) return {};
  return AsBoolean();
}

TVariant TDateTimeField::AsVariant() const {
  if (IsNull()) return {};
  return TDateTime{AsDateTime()};
}

TVariant TSQLTimeStampField::AsVariant() const {
  if (IsNull()) return {};
  return AsSQLTimeStamp();
}

TVariant TBinaryField::AsVariant() const {
  if (IsNull()) return {};
  return AsBytes();
}

TVariant TBlobField::AsVariant() const {
  if (IsNull()) return {};
  TBytes bytes = AsBytes();
  if (bytes.empty()) return {};
  return bytes;
}

void TBlobField::LoadFromStream(std::istream& aStream) {
  TBytes bytes{std::istreambuf_iterator<char>(aStream), std::istreambuf_iterator<char>()};
  SetAsBytes(std::move(bytes));
}

TVariant TMemoField::AsVariant() const {
  if (IsNull()) return {};
  return AsString();
}

TVariant TDbSQLTimeIntervalField::AsVariant() const {
  const TVariant value = LogicalValue();
  if (VarIsNull(value) || std::holds_alternative<TInterval>(value)) return value;
  const TBytes bytes = PlainToBytes(value);
  TInterval interval;
  std::copy_n(bytes.begin(), std::min(bytes.size(), interval.Raw.size()), interval.Raw.begin());
  return interval;
}

// ---------------------------------------------------------------------------
// TDataSetField

TDataSetField::TDataSetField()
    : TObjectField(TFieldType::ftDataSet), FNestedDataSet(std::make_unique<TMemTable>()) {
  FNestedDataSet->FDataSetField = this;
}

TDataSetField::~TDataSetField() = default;

// ---------------------------------------------------------------------------
// TFields

TField& TFields::Add(std::unique_ptr<TField> aField) {
  if (FOwner.Active()) throw EDatabaseError("Cannot perform this operation on an open dataset");
  if (Find(aField->FieldName()) != nullptr) {
    throw EDatabaseError(fmt::format("Duplicate field name '{}'", aField->FieldName()));
  }
  aField->FDataSet = &FOwner;
  aField->FFieldNo = static_cast<std::int32_t>(FItems.size()) + 1;
  FItems.push_back(std::move(aField));
  return *FItems.back();
}

TField* TFields::Find(std::string_view aFieldName) const {
  for (const auto& field : FItems) {
    if (text::EqualsIgnoringCase(field->FieldName(), aFieldName)) return field.get();
  }
  return nullptr;
}

}  // namespace tandemize::memtable
