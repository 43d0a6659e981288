#pragma once
// The fields of the in-memory table: the base class TField, one class per
// field type, the nested-table field and the table's field list. A field
// reads and writes one column of its table's current record.

#include <cstdint>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "memtable/field_type.h"
#include "memtable/row_store.h"
#include "memtable/variant.h"

namespace tandemize::memtable {

class TMemTable;

// Which field class a field type gets: the loaded table's own choice, or the
// general list the converter creates its fields from.
enum class TFieldClassList : std::uint8_t { fcTable, fcGeneral };

// The name of a field type ("ftInteger"), and the type of a name (ignoring case).
std::string_view FieldTypeName(TFieldType aType);
std::optional<TFieldType> FieldTypeByName(std::string_view aName);

// A new field of the class aList gives for aType; null for a type without a
// field class (ftUnknown, ftCursor, ftConnection, ftParams, ftStream, ftObject).
class TField;
std::unique_ptr<TField> CreateField(TFieldType aType,
                                    TFieldClassList aList = TFieldClassList::fcGeneral);

// A field of the table: reads and writes one column of the current record.
class TField {
 public:
  virtual ~TField();
  TField(const TField&) = delete;
  TField& operator=(const TField&) = delete;

  // The class name ("TIntegerField", ...).
  virtual std::string_view ClassName() const = 0;

  const std::string& FieldName() const { return FFieldName; }
  void SetFieldName(std::string aValue) { FFieldName = std::move(aValue); }
  // Component name, unique within the table (ignoring case).
  const std::string& Name() const { return FName; }
  void SetName(std::string aValue) { FName = std::move(aValue); }
  TFieldType DataType() const { return FDataType; }
  std::int32_t Size() const { return FSize; }
  // Checks the size the field class accepts; "Invalid field size" otherwise.
  void SetSize(std::int32_t aValue);
  std::int32_t Precision() const { return FPrecision; }
  void SetPrecision(std::int32_t aValue) { FPrecision = aValue; }
  bool ReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool aValue) { FReadOnly = aValue; }
  bool Required() const { return FRequired; }
  void SetRequired(bool aValue) { FRequired = aValue; }
  const std::string& Origin() const { return FOrigin; }
  void SetOrigin(std::string aValue) { FOrigin = std::move(aValue); }
  const std::string& DisplayLabel() const {
    return FDisplayLabel.empty() ? FFieldName : FDisplayLabel;
  }
  void SetDisplayLabel(std::string aValue) { FDisplayLabel = std::move(aValue); }
  // 1-based position among the table's fields; 0 while not in a table.
  std::int32_t FieldNo() const { return FFieldNo; }
  TMemTable* DataSet() const { return FDataSet; }

  // Value of the current record.
  bool IsNull() const;
  void Clear();
  virtual TVariant AsVariant() const;
  // Writes what AsVariant gives into aTarget (statement parameters take their
  // values this way; see TLargeintField for the one value it keeps whole where
  // AsVariant does not). Text and bytes are copied into
  // the storage aTarget already has, so a target reused from record to record
  // allocates only when a value outgrows it.
  virtual void AssignVariantTo(TVariant& aTarget) const;
  void SetAsVariant(const TVariant& aValue);
  std::string AsString() const;
  void SetAsString(std::string_view aValue);
  std::int32_t AsInteger() const;
  void SetAsInteger(std::int32_t aValue);
  std::int64_t AsLargeInt() const;
  void SetAsLargeInt(std::int64_t aValue);
  double AsFloat() const;
  void SetAsFloat(double aValue);
  TCurrency AsCurrency() const;
  void SetAsCurrency(TCurrency aValue);
  bool AsBoolean() const;
  void SetAsBoolean(bool aValue);
  // Days since 1899-12-30, the time of day as the fraction.
  double AsDateTime() const;
  void SetAsDateTime(double aValue);
  TSQLTimeStamp AsSQLTimeStamp() const;
  void SetAsSQLTimeStamp(const TSQLTimeStamp& aValue);
  TBcd AsBCD() const;
  void SetAsBCD(const TBcd& aValue);
  TBytes AsBytes() const;
  void SetAsBytes(TBytes aValue);

  // Allowed range of the values a numeric field takes, when it has one.
  virtual std::optional<std::pair<double, double>> Range() const { return std::nullopt; }

 protected:
  explicit TField(TFieldType aDataType, std::int32_t aSize = 0);
  // Whether aValue is a size this class accepts.
  virtual bool ValidSize(std::int32_t aValue) const { return aValue == 0; }
  // The row value of the current record (null when there is none).
  const TVariant& RawValue() const;
  // The current record's value in its plain form (bool, integers, double,
  // TDateTime, ...), null when null.
  TVariant LogicalValue() const;
  // The current record's text when its column keeps text as the field shows
  // it, else null; the same for bytes of a blob column.
  const std::string* StoredText() const;
  const TBytes* StoredBytes() const;
  // The kind of the row-store column the field shows (dtUnknown while unbound).
  TColumnDataType ColumnType() const { return FColumnType; }

 private:
  friend class TMemTable;
  friend class TFields;
  friend std::unique_ptr<TField> CreateField(TFieldType, TFieldClassList);
  void SetLogical(TVariant aValue);
  void CheckRange(double aValue) const;

  TMemTable* FDataSet = nullptr;
  std::string FFieldName;
  std::string FName;
  TFieldType FDataType;
  std::int32_t FSize;
  std::int32_t FPrecision = 0;
  bool FReadOnly = false;
  bool FRequired = false;
  std::string FOrigin;
  std::string FDisplayLabel;
  std::int32_t FFieldNo = 0;
  int FColumnIndex = -1;
  TColumnDataType FColumnType = TColumnDataType::dtUnknown;
};

// Field classes. Each sets its own DataType; AsVariant gives the value shown
// in the comment.
#define TANDEMIZE_FIELD_CLASS(Class, Base, Type)                   \
  class Class : public Base {                                      \
   public:                                                         \
    Class() : Base(TFieldType::Type) {}                            \
    std::string_view ClassName() const override { return #Class; } \
                                                                   \
   protected:                                                      \
    using Base::Base;                                              \
  };

// Text fields: std::string.
class TStringField : public TField {
 public:
  TStringField() : TStringField(TFieldType::ftString) {}
  std::string_view ClassName() const override { return "TStringField"; }
  TVariant AsVariant() const override;
  void AssignVariantTo(TVariant& aTarget) const override;
  bool FixedChar() const { return FFixedChar; }
  void SetFixedChar(bool aValue) { FFixedChar = aValue; }

 protected:
  explicit TStringField(TFieldType aType, std::int32_t aSize = 20) : TField(aType, aSize) {}
  bool ValidSize(std::int32_t aValue) const override { return aValue >= 0; }

 private:
  bool FFixedChar = false;
};
class TWideStringField : public TStringField {
 public:
  TWideStringField() : TStringField(TFieldType::ftWideString) {}
  std::string_view ClassName() const override { return "TWideStringField"; }
};
class TGuidField : public TStringField {
 public:
  TGuidField() : TStringField(TFieldType::ftGuid, 38) {}
  std::string_view ClassName() const override { return "TGuidField"; }

 protected:
  bool ValidSize(std::int32_t aValue) const override { return aValue == 38; }
};

class TNumericField : public TField {
 protected:
  using TField::TField;
};

// 32-bit signed integer (std::int32_t) with a range check.
class TIntegerField : public TNumericField {
 public:
  TIntegerField() : TIntegerField(TFieldType::ftInteger, -2147483648.0, 2147483647.0) {}
  std::string_view ClassName() const override { return "TIntegerField"; }
  TVariant AsVariant() const override;
  void AssignVariantTo(TVariant& aTarget) const override;
  std::optional<std::pair<double, double>> Range() const override {
    return std::make_pair(FMinValue, FMaxValue);
  }

 protected:
  TIntegerField(TFieldType aType, double aMin, double aMax)
      : TNumericField(aType), FMinValue(aMin), FMaxValue(aMax) {}

 private:
  double FMinValue;
  double FMaxValue;
};
class TSmallintField : public TIntegerField {
 public:
  TSmallintField() : TIntegerField(TFieldType::ftSmallint, -32768.0, 32767.0) {}
  std::string_view ClassName() const override { return "TSmallintField"; }
};
class TShortintField : public TIntegerField {
 public:
  TShortintField() : TIntegerField(TFieldType::ftShortint, -128.0, 127.0) {}
  std::string_view ClassName() const override { return "TShortintField"; }
};
class TWordField : public TIntegerField {
 public:
  TWordField() : TIntegerField(TFieldType::ftWord, 0.0, 65535.0) {}
  std::string_view ClassName() const override { return "TWordField"; }
};
class TByteField : public TIntegerField {
 public:
  TByteField() : TIntegerField(TFieldType::ftByte, 0.0, 255.0) {}
  std::string_view ClassName() const override { return "TByteField"; }
};
class TAutoIncField : public TIntegerField {
 public:
  TAutoIncField() : TIntegerField(TFieldType::ftAutoInc, -2147483648.0, 2147483647.0) {}
  std::string_view ClassName() const override { return "TAutoIncField"; }
};
class TDbAutoIncField : public TAutoIncField {
 public:
  std::string_view ClassName() const override { return "TDbAutoIncField"; }
};

// 32-bit unsigned integer (std::uint32_t).
class TLongWordField : public TNumericField {
 public:
  TLongWordField() : TNumericField(TFieldType::ftLongWord) {}
  std::string_view ClassName() const override { return "TLongWordField"; }
  TVariant AsVariant() const override;
  std::optional<std::pair<double, double>> Range() const override {
    return std::make_pair(0.0, 4294967295.0);
  }
};

// 64-bit signed integer (std::int64_t).
class TLargeintField : public TNumericField {
 public:
  TLargeintField() : TNumericField(TFieldType::ftLargeint) {}
  std::string_view ClassName() const override { return "TLargeintField"; }
  TVariant AsVariant() const override;
  // Unlike AsVariant, keeps an unsigned 64-bit value above the signed range
  // unsigned (smaller ones come out signed, as from AsVariant), so that a
  // statement parameter receives the number itself.
  void AssignVariantTo(TVariant& aTarget) const override;
};

// 64-bit float (double).
class TFloatField : public TNumericField {
 public:
  TFloatField() : TNumericField(TFieldType::ftFloat) {}
  std::string_view ClassName() const override { return "TFloatField"; }
  TVariant AsVariant() const override;
  void AssignVariantTo(TVariant& aTarget) const override;

 protected:
  using TNumericField::TNumericField;
};
class TCurrencyField : public TFloatField {
 public:
  TCurrencyField() : TFloatField(TFieldType::ftCurrency) {}
  std::string_view ClassName() const override { return "TCurrencyField"; }
};
class TExtendedField : public TFloatField {
 public:
  TExtendedField() : TFloatField(TFieldType::ftExtended) {}
  std::string_view ClassName() const override { return "TExtendedField"; }
};
class TSingleField : public TFloatField {
 public:
  TSingleField() : TFloatField(TFieldType::ftSingle) {}
  std::string_view ClassName() const override { return "TSingleField"; }
};

// Currency (TCurrency); Size is the scale, at most 32.
class TBCDField : public TNumericField {
 public:
  TBCDField() : TNumericField(TFieldType::ftBCD, 4) {}
  std::string_view ClassName() const override { return "TBCDField"; }
  TVariant AsVariant() const override;

 protected:
  bool ValidSize(std::int32_t aValue) const override { return aValue >= 0 && aValue <= 32; }
};
// Packed decimal (TBcd); Size is the scale, at most 64.
class TFMTBCDField : public TNumericField {
 public:
  TFMTBCDField() : TNumericField(TFieldType::ftFMTBcd, 8) {}
  std::string_view ClassName() const override { return "TFMTBCDField"; }
  TVariant AsVariant() const override;

 protected:
  bool ValidSize(std::int32_t aValue) const override { return aValue >= 0 && aValue <= 64; }
};

// bool.
class TBooleanField : public TField {
 public:
  TBooleanField() : TField(TFieldType::ftBoolean) {}
  std::string_view ClassName() const override { return "TBooleanField"; }
  TVariant AsVariant() const override;
};

// Date-time (TDateTime).
class TDateTimeField : public TField {
 public:
  TDateTimeField() : TField(TFieldType::ftDateTime) {}
  std::string_view ClassName() const override { return "TDateTimeField"; }
  TVariant AsVariant() const override;
  void AssignVariantTo(TVariant& aTarget) const override;

 protected:
  using TField::TField;
};
class TDateField : public TDateTimeField {
 public:
  TDateField() : TDateTimeField(TFieldType::ftDate) {}
  std::string_view ClassName() const override { return "TDateField"; }
};
class TTimeField : public TDateTimeField {
 public:
  TTimeField() : TDateTimeField(TFieldType::ftTime) {}
  std::string_view ClassName() const override { return "TTimeField"; }
};

// Time-stamp record (TSQLTimeStamp).
class TSQLTimeStampField : public TField {
 public:
  TSQLTimeStampField() : TField(TFieldType::ftTimeStamp) {}
  std::string_view ClassName() const override { return "TSQLTimeStampField"; }
  TVariant AsVariant() const override;

 protected:
  using TField::TField;
};
class TSQLTimeStampOffsetField : public TSQLTimeStampField {
 public:
  TSQLTimeStampOffsetField() : TSQLTimeStampField(TFieldType::ftTimeStampOffset) {}
  std::string_view ClassName() const override { return "TSQLTimeStampOffsetField"; }
};

// Bytes (TBytes).
class TBinaryField : public TField {
 public:
  TVariant AsVariant() const override;

 protected:
  TBinaryField(TFieldType aType) : TField(aType, 16) {}
  bool ValidSize(std::int32_t aValue) const override { return aValue > 0; }
};
class TBytesField : public TBinaryField {
 public:
  TBytesField() : TBinaryField(TFieldType::ftBytes) {}
  std::string_view ClassName() const override { return "TBytesField"; }

 protected:
  using TBinaryField::TBinaryField;
};
class TVarBytesField : public TBytesField {
 public:
  TVarBytesField() : TBytesField(TFieldType::ftVarBytes) {}
  std::string_view ClassName() const override { return "TVarBytesField"; }
};

// Bytes (TBytes); a value of no bytes gives null.
class TBlobField : public TField {
 public:
  TBlobField() : TField(TFieldType::ftBlob) {}
  std::string_view ClassName() const override { return "TBlobField"; }
  TVariant AsVariant() const override;
  void AssignVariantTo(TVariant& aTarget) const override;
  // Replaces the value with the bytes that remain in aStream.
  void LoadFromStream(std::istream& aStream);

 protected:
  using TField::TField;
  bool ValidSize(std::int32_t) const override { return true; }
};
class TGraphicField : public TBlobField {
 public:
  TGraphicField() : TBlobField(TFieldType::ftGraphic) {}
  std::string_view ClassName() const override { return "TGraphicField"; }
};
// Text (std::string).
class TMemoField : public TBlobField {
 public:
  TMemoField() : TBlobField(TFieldType::ftMemo) {}
  std::string_view ClassName() const override { return "TMemoField"; }
  TVariant AsVariant() const override;
  void AssignVariantTo(TVariant& aTarget) const override;

 protected:
  using TBlobField::TBlobField;
};
class TWideMemoField : public TMemoField {
 public:
  TWideMemoField() : TMemoField(TFieldType::ftWideMemo) {}
  std::string_view ClassName() const override { return "TWideMemoField"; }

 protected:
  using TMemoField::TMemoField;
};
class TDbXMLField : public TWideMemoField {
 public:
  TDbXMLField() : TWideMemoField(TFieldType::ftDBaseOle) {}
  std::string_view ClassName() const override { return "TDbXMLField"; }
};

// Interval record (TInterval).
class TDbSQLTimeIntervalField : public TField {
 public:
  TDbSQLTimeIntervalField() : TField(TFieldType::ftOraInterval) {}
  std::string_view ClassName() const override { return "TDbSQLTimeIntervalField"; }
  TVariant AsVariant() const override;
};

// Fields of nested structures and objects; they hold no value of their own.
class TObjectField : public TField {
 protected:
  using TField::TField;
  bool ValidSize(std::int32_t) const override { return true; }
};
TANDEMIZE_FIELD_CLASS(TADTField, TObjectField, ftADT)
TANDEMIZE_FIELD_CLASS(TArrayField, TObjectField, ftArray)
TANDEMIZE_FIELD_CLASS(TReferenceField, TObjectField, ftReference)
TANDEMIZE_FIELD_CLASS(TVariantField, TObjectField, ftVariant)
TANDEMIZE_FIELD_CLASS(TInterfaceField, TObjectField, ftInterface)
TANDEMIZE_FIELD_CLASS(TIDispatchField, TInterfaceField, ftIDispatch)

#undef TANDEMIZE_FIELD_CLASS

// A nested-table field: it owns a table whose fields the caller defines like
// any table's (fields added to it, or its FieldDefs, while it is closed). The
// nested table opens and closes with the table of the field (when it has
// fields or definitions), and shows only the nested rows of that table's
// current record; see TMemTable for how they follow it.
class TDataSetField : public TObjectField {
 public:
  TDataSetField();
  ~TDataSetField() override;
  std::string_view ClassName() const override { return "TDataSetField"; }
  TMemTable& NestedDataSet() const { return *FNestedDataSet; }

 private:
  std::unique_ptr<TMemTable> FNestedDataSet;
};

// The table's fields, in order; the table owns them.
class TFields {
 public:
  std::size_t Count() const { return FItems.size(); }
  TField& operator[](std::size_t aIndex) const { return *FItems.at(aIndex); }
  auto begin() const { return FItems.begin(); }
  auto end() const { return FItems.end(); }
  // Attaches aField at the end; "Duplicate field name '%s'" when a field of
  // that name (ignoring case) exists. Fields are added to a closed table.
  TField& Add(std::unique_ptr<TField> aField);
  TField* Find(std::string_view aFieldName) const;
  void Clear() { FItems.clear(); }

 private:
  friend class TMemTable;
  explicit TFields(TMemTable& aOwner) : FOwner(aOwner) {}
  TMemTable& FOwner;
  std::vector<std::unique_ptr<TField>> FItems;
};

}  // namespace tandemize::memtable
