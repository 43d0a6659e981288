#include "memtable/mem_table.h"

#include <algorithm>
#include <cstdint>

#include <fmt/format.h>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>

#include "memtable/storage/stream_reader.h"
#include "memtable/value_convert.h"
#include "text/case_fold.h"

namespace tandemize::memtable {

namespace {

// Whether an integer fits an integer column of type aType (any other type
// takes what PlainToColumn makes of it).
bool PlainFitsColumn(TColumnDataType aType, std::int64_t aValue) {
  using enum TColumnDataType;
  auto within = [aValue](auto aMin, auto aMax) {
    return aValue >= static_cast<std::int64_t>(aMin) &&
           (aValue < 0 || static_cast<std::uint64_t>(aValue) <= static_cast<std::uint64_t>(aMax));
  };
  switch (aType) {
    case dtSByte:
      return within(INT8_MIN, INT8_MAX);
    case dtInt16:
      return within(INT16_MIN, INT16_MAX);
    case dtInt32:
      return within(INT32_MIN, INT32_MAX);
    case dtByte:
      return within(0, UINT8_MAX);
    case dtUInt16:
      return within(0, UINT16_MAX);
    case dtUInt32:
      return within(0, UINT32_MAX);
    case dtUInt64:
      return aValue >= 0;
    default:
      return true;
  }
}

using enum TColumnDataType;
using enum TFieldType;
using enum TColumnAttribute;
using enum TFieldAttribute;
using enum TRowStoreRowState;

// Records the cursor keeps buffered around the current one.
constexpr int kBufferWindow = 10;

// Largest precision and scale a ftBCD field holds; wider decimals show as ftFMTBcd.
constexpr std::int32_t kMaxBcdPrecision = 18;
constexpr std::int32_t kMaxBcdScale = 4;

constexpr std::string_view kDefaultTableName = "_MEM_TAB";

// The internal column of a nested table that links each row to its parent row.
constexpr std::string_view kParentLinkColumnName = "_PARENT_ROW";

constexpr const char* kNoParentRecord = "Cannot add a nested record without a parent record";

bool IsNestedReference(TColumnDataType aType) {
  return aType == dtRowSetRef || aType == dtCursorRef || aType == dtRowRef || aType == dtArrayRef;
}

// Whether aName is one of the names in a ";"-separated list (ignoring case).
bool ListedName(const std::string& aList, std::string_view aName) {
  std::vector<std::string> names;
  boost::algorithm::split(names, aList, [](char c) { return c == ';' || c == ','; });
  return std::any_of(names.begin(), names.end(), [&](std::string& name) {
    boost::algorithm::trim(name);
    return !name.empty() && text::EqualsIgnoringCase(name, aName);
  });
}

struct TColumnShape {
  TColumnShape(TFieldType aType, std::int32_t aSize = 0) : Type(aType), Size(aSize) {}
  TFieldType Type;
  std::int32_t Size;
};

// Field type and size of a column.
TColumnShape FieldShapeOfColumn(const TRowStoreColumn& aColumn, std::int32_t aMaxStringSize) {
  const bool fixed = aColumn.Attributes.Contains(caFixedLen);
  const bool autoInc = aColumn.Attributes.Contains(caAutoInc);
  const bool tooLong = aColumn.Size > aMaxStringSize;
  switch (aColumn.DataType) {
    case dtBoolean:
      return {ftBoolean};
    case dtSByte:
      return {ftShortint};
    case dtInt16:
      return {ftSmallint};
    case dtInt32:
      return {autoInc ? ftAutoInc : ftInteger};
    case dtInt64:
    case dtUInt64:
      return {ftLargeint};
    case dtByte:
      return {ftByte};
    case dtUInt16:
      return {ftWord};
    case dtUInt32:
      return {autoInc ? ftAutoInc : ftLongWord};
    case dtSingle:
      return {ftSingle};
    case dtDouble:
      return {ftFloat};
    case dtExtended:
      return {ftExtended};
    case dtCurrency:
      return {ftCurrency};
    case dtBCD: {
      const bool fits = aColumn.Precision <= kMaxBcdPrecision && aColumn.Scale <= kMaxBcdScale;
      return {fits ? ftBCD : ftFMTBcd, aColumn.Size};
    }
    case dtFmtBCD:
      return {ftFMTBcd, aColumn.Size};
    case dtDateTime:
      return {ftDateTime};
    case dtTime:
      return {ftTime};
    case dtDate:
      return {ftDate};
    case dtDateTimeStamp:
      return {ftTimeStamp};
    case dtTimeIntervalFull:
    case dtTimeIntervalYM:
    case dtTimeIntervalDS:
      return {ftOraInterval};
    case dtAnsiString:
      return {tooLong ? ftMemo : fixed ? ftFixedChar : ftString, aColumn.Size};
    case dtWideString:
      return {tooLong ? ftWideMemo : fixed ? ftFixedWideChar : ftWideString, aColumn.Size};
    case dtByteString:
      return {tooLong ? ftBlob : fixed ? ftBytes : ftVarBytes, aColumn.Size};
    case dtBlob:
      return {ftBlob};
    case dtMemo:
      return {ftMemo};
    case dtWideMemo:
    case dtWideHMemo:
      return {ftWideMemo};
    case dtXML:
      return {ftDBaseOle};
    case dtHBlob:
    case dtHBFile:
      return {ftOraBlob};
    case dtHMemo:
      return {ftOraClob};
    case dtRowSetRef:
      return {ftDataSet};
    case dtCursorRef:
      return {ftCursor};
    case dtRowRef:
      return {ftADT};
    case dtArrayRef:
      return {ftArray};
    case dtParentRowRef:
      return {ftReference};
    case dtGUID:
      return {ftGuid, 38};
    case dtObject:
      return {ftInterface};
    case dtUnknown:
      return {ftUnknown};
  }
  return {ftUnknown};
}

// Column data type and extra attributes of a field type.
struct TColumnOfField {
  TColumnOfField(TColumnDataType aType, TColumnAttributes aExtra = {})
      : Type(aType), Extra(aExtra) {}
  TColumnDataType Type;
  TColumnAttributes Extra;
};

TColumnOfField ColumnOfFieldType(TFieldType aType) {
  switch (aType) {
    case ftString:
      return {dtAnsiString};
    case ftFixedChar:
      return {dtAnsiString, {caFixedLen}};
    case ftWideString:
      return {dtWideString};
    case ftFixedWideChar:
      return {dtWideString, {caFixedLen}};
    case ftSmallint:
      return {dtInt16};
    case ftInteger:
      return {dtInt32};
    case ftLargeint:
      return {dtInt64};
    case ftShortint:
      return {dtSByte};
    case ftByte:
      return {dtByte};
    case ftWord:
      return {dtUInt16};
    case ftLongWord:
      return {dtUInt32};
    case ftAutoInc:
      return {dtInt32, {caAutoInc}};
    case ftBoolean:
      return {dtBoolean};
    case ftFloat:
      return {dtDouble};
    case ftSingle:
      return {dtSingle};
    case ftExtended:
      return {dtExtended};
    case ftCurrency:
      return {dtCurrency};
    case ftBCD:
      return {dtBCD};
    case ftFMTBcd:
      return {dtFmtBCD};
    case ftDate:
      return {dtDate};
    case ftTime:
      return {dtTime};
    case ftDateTime:
      return {dtDateTime};
    case ftTimeStamp:
      return {dtDateTimeStamp};
    case ftParadoxOle:
    case ftOraInterval:
      return {dtTimeIntervalDS};
    case ftBytes:
      return {dtByteString, {caFixedLen}};
    case ftVarBytes:
      return {dtByteString};
    case ftBlob:
    case ftGraphic:
    case ftTypedBinary:
      return {dtBlob, {caBlobData}};
    case ftMemo:
      return {dtMemo, {caBlobData}};
    case ftFmtMemo:
    case ftWideMemo:
      return {dtWideMemo, {caBlobData}};
    case ftDBaseOle:
      return {dtXML, {caBlobData}};
    case ftOraBlob:
      return {dtHBlob, {caBlobData}};
    case ftOraClob:
      return {dtHMemo, {caBlobData}};
    case ftStream:
      return {dtHBlob};
    case ftCursor:
      return {dtCursorRef};
    case ftDataSet:
      return {dtRowSetRef};
    case ftADT:
      return {dtRowRef};
    case ftArray:
      return {dtArrayRef};
    case ftInterface:
    case ftIDispatch:
      return {dtObject};
    case ftGuid:
      return {dtGUID};
    default:
      return {dtUnknown};
  }
}

// The parent RowID a nested row is linked to through aColumn, if any.
std::optional<std::uint32_t> ParentLink(const TRowStoreRow& aRow, int aColumn) {
  const auto* value = std::get_if<std::uint32_t>(&aRow.GetValue(static_cast<std::size_t>(aColumn)));
  if (value == nullptr) return std::nullopt;
  return *value;
}

}  // namespace

// ---------------------------------------------------------------------------
// TMemTable: creation, loading and opening

TMemTable::TMemTable() : FManager(std::make_unique<TRowStoreManager>()), FFields(*this) {}

TMemTable::~TMemTable() = default;

std::string TMemTable::DisplayName() const {
  if (!FName.empty()) return FName;
  return fmt::format("{}(${:08X})", ClassName(), reinterpret_cast<std::uintptr_t>(this));
}

void TMemTable::RaiseCannotOpen() const {
  throw EDALException({"Comp", "DS"}, 206,
                      fmt::format("Cannot open dataset [{}]. A DataTable or a DataView must be "
                                  "supplied. Hint: if that is TMemTable, use CreateDataSet or "
                                  "CloneCursor to open dataset",
                                  DisplayName()));
}

void TMemTable::LoadFromStream(std::string_view aStream, TStorageFormat aFormat) {
  if (aFormat != TStorageFormat::sfBinary) {
    throw EDatabaseError("Only the binary storage format can be loaded");
  }
  // A load replaces the whole content: nothing is merged.
  Close();
  FFieldDefs.Clear();
  try {
    storage::LoadRowStore(aStream, *FManager);
    OpenFromManager();
  } catch (...) {
    Close();
    FFieldDefs.Clear();
    throw;
  }
}

void TMemTable::OpenFromManager() {
  Close();
  FFieldDefs.Clear();
  try {
    FTable = FManager->RootTable(FName);
    if (FTable == nullptr) RaiseCannotOpen();
    // Pending changes of the loaded rows stay pending: their states are kept.
    if (!FCachedUpdates && FManager->HasChangesFor(*FTable)) FCachedUpdates = true;
    OpenAttached();
  } catch (...) {
    Close();
    FFieldDefs.Clear();
    throw;
  }
}

void TMemTable::AttachTable(TRowStoreTable* aTable) {
  Close();
  FTable = aTable;
  FOwnTable = false;
}

void TMemTable::Open() {
  if (Active()) return;
  if (FTable == nullptr) {
    if (FFields.Count() == 0 && FFieldDefs.Count() == 0) RaiseCannotOpen();
    BuildTableFromFields();
  }
  try {
    OpenAttached();
  } catch (...) {
    Close();
    throw;
  }
}

void TMemTable::OpenAttached() {
  if (!FOwnTable) BuildFieldDefsFromColumns();
  if (FFields.Count() == 0) {
    CreateFieldsFromDefs();
    FDefaultFields = true;
  }
  BindFields();
  FParentLinkColumn = -1;
  if (FDataSetField != nullptr) {
    for (std::size_t i = 0; i < FTable->ColumnCount(); ++i) {
      if (FTable->Column(i).DataType == dtParentRowRef) {
        FParentLinkColumn = static_cast<int>(i);
        break;
      }
    }
  }
  FState = TDataSetState::dsBrowse;
  OpenNestedTables();
  RebuildView();
  First();
}

void TMemTable::Close() {
  CloseNestedTables();
  FState = TDataSetState::dsInactive;
  FView.clear();
  FCursor = -1;
  FEof = FBof = true;
  FRecordCount = FActiveRecord = FWindowStart = 0;
  FEditBuffer = TRowStoreRowBuffer();
  FEditRow = nullptr;
  FParentLinkColumn = -1;
  FParentRowID.reset();
  if (FDefaultFields) {
    FFields.Clear();
    FDefaultFields = false;
  }
  for (const auto& field : FFields) {
    field->FColumnIndex = -1;
    field->FColumnType = dtUnknown;
  }
  // Definitions the table derived follow the fields or columns of the next open.
  if (FDerivedDefs) {
    FFieldDefs.Clear();
    FDerivedDefs = false;
  }
  if (FTable != nullptr && FOwnTable) FManager->RemoveTable(*FTable);
  FTable = nullptr;
  FOwnTable = false;
}

void TMemTable::BuildFieldDefsFromColumns() {
  FFieldDefs.Clear();
  FDerivedDefs = true;
  std::int32_t fieldNo = 0;
  for (std::size_t i = 0; i < FTable->ColumnCount(); ++i) {
    const TRowStoreColumn& column = FTable->Column(i);
    if (column.Attributes.Contains(caInternal)) continue;
    std::string name = column.Name;
    for (int suffix = 1; FFieldDefs.IndexOf(name) >= 0; ++suffix) {
      name = fmt::format("{}_{}", column.Name, suffix);
    }
    const TColumnShape shape = FieldShapeOfColumn(column, FFormatOptions.MaxStringSize);
    TFieldDef& def = FFieldDefs.Add(std::move(name), shape.Type, shape.Size,
                                    !column.Attributes.Contains(caAllowNull));
    def.Precision = column.Precision;
    def.Scale = column.Scale;
    if ((def.DataType == ftBCD || def.DataType == ftFMTBcd) && def.Size == 0 && column.Scale > 0) {
      def.Size = column.Scale;
    }
    def.Attributes.Set(faReadonly,
                       column.Attributes.Contains(caReadOnly) && FUpdateOptions.CheckReadOnly);
    def.Attributes.Set(faUnNamed, column.Attributes.Contains(caUnnamed));
    def.Attributes.Set(faFixed, column.Attributes.Contains(caFixedLen));
    def.InternalCalcField = column.Attributes.Contains(caCalculated) && column.SourceID < 1;
    def.FieldNo = ++fieldNo;
    def.ColumnIndex = static_cast<int>(i);
    if (IsNestedReference(column.DataType) && column.NestedTable != nullptr) {
      std::int32_t nestedCount = 0;
      for (std::size_t j = 0; j < column.NestedTable->ColumnCount(); ++j) {
        const TRowStoreColumn& nested = column.NestedTable->Column(j);
        if (nested.Attributes.Contains(caInternal)) continue;
        TFieldDef child;
        child.Name = nested.Name;
        const TColumnShape nestedShape = FieldShapeOfColumn(nested, FFormatOptions.MaxStringSize);
        child.DataType = nestedShape.Type;
        child.Size = nestedShape.Size;
        child.Precision = nested.Precision;
        child.Scale = nested.Scale;
        child.Attributes.Set(faRequired, !nested.Attributes.Contains(caAllowNull));
        child.FieldNo = ++nestedCount;
        child.ColumnIndex = static_cast<int>(j);
        def.ChildDefs.push_back(std::move(child));
      }
      if (column.DataType == dtRowRef || column.DataType == dtArrayRef) {
        def.Size = nestedCount;
      }
    }
  }
}

void TMemTable::BuildTableFromFields() {
  if (FFieldDefs.Count() == 0) {
    FDerivedDefs = true;
    for (const auto& field : FFields) {
      TFieldDef& def =
          FFieldDefs.Add(field->FieldName(), field->DataType(), field->Size(), field->Required());
      def.Attributes.Set(faReadonly, field->ReadOnly());
      const auto* stringField = dynamic_cast<const TStringField*>(field.get());
      def.Attributes.Set(faFixed, stringField != nullptr && stringField->FixedChar());
      if (field->DataType() == ftBCD || field->DataType() == ftFMTBcd) {
        def.Precision = field->Precision();
      }
    }
  }
  TRowStoreTable& table = FManager->AddTable(FName.empty() ? kDefaultTableName : FName);
  for (std::size_t i = 0; i < FFieldDefs.Count(); ++i) {
    TFieldDef& def = FFieldDefs[i];
    TColumnOfField mapped = ColumnOfFieldType(def.DataType);
    // A fixed-length text definition keeps its fixed length.
    if (def.Attributes.Contains(faFixed) &&
        (mapped.Type == dtAnsiString || mapped.Type == dtWideString)) {
      mapped.Extra.Include(caFixedLen);
    }
    TRowStoreColumn& column = table.AddColumn(def.Name, mapped.Type);
    switch (def.DataType) {
      case ftString:
      case ftFixedChar:
      case ftWideString:
      case ftFixedWideChar:
      case ftBytes:
      case ftVarBytes:
        column.Size = def.Size;
        break;
      case ftBCD:
      case ftFMTBcd:
        column.Precision = def.Precision;
        column.Scale = def.Scale != 0 ? def.Scale : def.Size;
        break;
      case ftCurrency:
        column.Precision = def.Precision != 0 ? def.Precision : 19;
        column.Scale = def.Scale != 0 ? def.Scale : 4;
        break;
      case ftFloat:
      case ftSingle:
      case ftExtended:
        column.Precision = def.Precision;
        column.Scale = def.Scale;
        break;
      case ftDate:
      case ftTime:
      case ftDateTime:
      case ftTimeStamp:
      case ftParadoxOle:
      case ftOraInterval:
        column.Scale = def.Scale;
        break;
      default:
        break;
    }
    column.Attributes = mapped.Extra;
    column.Attributes.Set(caAllowNull, !def.Required());
    column.Attributes.Set(caReadOnly, def.Attributes.Contains(faReadonly));
    column.Attributes.Set(caInternal, def.Attributes.Contains(faHiddenCol));
    column.Attributes.Set(caUnnamed, def.Attributes.Contains(faUnNamed));
    column.Attributes.Include(def.InternalCalcField ? caCalculated : caBase);
    if (!IsNestedReference(mapped.Type)) column.Attributes.Include(caSearchable);
    if (def.DataType == ftAutoInc || ListedName(FUpdateOptions.AutoIncFields, def.Name)) {
      column.Attributes.Include(caAllowNull).Include(caAutoInc);
      column.AutoIncrement = true;
    }
    if (ListedName(FUpdateOptions.KeyFields, def.Name))
      column.Options.Include(TColumnOption::coInKey);
    column.SourceID = def.FieldNo != 0 ? def.FieldNo : static_cast<std::int32_t>(i) + 1;
    def.ColumnIndex = static_cast<int>(i);
  }
  if (FDataSetField != nullptr) {
    table.Nested = true;
    TRowStoreColumn& link = table.AddColumn(std::string(kParentLinkColumnName), dtParentRowRef);
    link.Attributes = {caInternal, caReadOnly};
  }
  FTable = &table;
  FOwnTable = true;
}

void TMemTable::CreateFieldsFromDefs() {
  for (const TFieldDef& def : FFieldDefs) {
    std::unique_ptr<TField> field = CreateField(def.DataType, TFieldClassList::fcTable);
    if (!field) continue;  // a type without a field class shows no field
    field->SetFieldName(def.Name);
    field->FSize = def.Size;
    field->FPrecision = def.Precision;
    field->FRequired = def.Required();
    field->FReadOnly = def.Attributes.Contains(faReadonly);
    field->FDataSet = this;
    field->FFieldNo = static_cast<std::int32_t>(FFields.FItems.size()) + 1;
    FFields.FItems.push_back(std::move(field));
  }
}

void TMemTable::BindFields() {
  std::int32_t fieldNo = 0;
  for (const auto& field : FFields) {
    const TFieldDef* def = FFieldDefs.Find(field->FieldName());
    if (def == nullptr || def->ColumnIndex < 0 ||
        static_cast<std::size_t>(def->ColumnIndex) >= FTable->ColumnCount()) {
      throw EDatabaseError(fmt::format("Field '{}' not found", field->FieldName()));
    }
    field->FDataSet = this;
    field->FFieldNo = ++fieldNo;
    field->FColumnIndex = def->ColumnIndex;
    field->FColumnType = FTable->Column(static_cast<std::size_t>(def->ColumnIndex)).DataType;
  }
}

// ---------------------------------------------------------------------------
// Cursor

void TMemTable::SetFilterChanges(TUpdateRecordTypes aValue) {
  FFilterChanges = aValue;
  if (FState == TDataSetState::dsBrowse) {
    RebuildView();
    First();
  }
}

bool TMemTable::RowVisible(const TRowStoreRow& aRow) const {
  if (FParentLinkColumn >= 0 &&
      (!FParentRowID || ParentLink(aRow, FParentLinkColumn) != FParentRowID)) {
    return false;
  }
  TRowStoreRowState state = aRow.RowState();
  if (state != rsInserted && state != rsDeleted && state != rsModified && state != rsUnchanged) {
    state = aRow.RowPriorState();
  }
  switch (state) {
    case rsInserted:
      return FFilterChanges.Contains(TUpdateRecordType::rtInserted);
    case rsModified:
      return FFilterChanges.Contains(TUpdateRecordType::rtModified);
    case rsUnchanged:
      return FFilterChanges.Contains(TUpdateRecordType::rtUnmodified);
    case rsDeleted:
      return FFilterChanges.Contains(TUpdateRecordType::rtDeleted);
    default:
      return false;
  }
}

void TMemTable::RebuildView() {
  FView.clear();
  if (FDataSetField != nullptr) {
    const TMemTable* const parent = FDataSetField->DataSet();
    FParentRowID = parent != nullptr ? parent->CurrentRowKey() : std::nullopt;
  }
  FViewedRowCount = 0;
  if (FTable == nullptr) return;
  // Sized once: growing a view of a large table by doubling would hold the
  // old and the new array at once.
  FView.reserve(FTable->RowCount());
  for (std::size_t i = 0; i < FTable->RowCount(); ++i) {
    TRowStoreRow& row = FTable->Row(i);
    if (RowVisible(row)) FView.push_back(&row);
  }
  FViewedRowCount = FTable->RowCount();
}

void TMemTable::UpdateWindow() {
  const int visible = static_cast<int>(FView.size());
  if (FCursor < 0 || visible == 0) {
    FWindowStart = FRecordCount = FActiveRecord = 0;
    return;
  }
  if (FCursor < FWindowStart) FWindowStart = FCursor;
  if (FCursor >= FWindowStart + kBufferWindow) FWindowStart = FCursor - kBufferWindow + 1;
  FWindowStart = std::max(0, std::min(FWindowStart, visible - 1));
  FRecordCount = std::min(kBufferWindow, visible - FWindowStart);
  FActiveRecord = FCursor - FWindowStart;
}

void TMemTable::MoveTo(int aIndex) {
  FCursor = FView.empty() ? -1 : std::clamp(aIndex, 0, static_cast<int>(FView.size()) - 1);
  UpdateWindow();
  SyncNestedTables();
}

void TMemTable::CheckActive() const {
  if (!Active()) throw EDatabaseError("Cannot perform this operation on a closed dataset");
}

void TMemTable::CheckBrowse() {
  CheckActive();
  // Moving on from a record being edited stores it first.
  if (FState != TDataSetState::dsBrowse) Post();
}

void TMemTable::First() {
  CheckBrowse();
  FWindowStart = 0;
  MoveTo(0);
  FBof = true;
  FEof = FView.empty();
}

void TMemTable::Last() {
  CheckBrowse();
  MoveTo(static_cast<int>(FView.size()) - 1);
  FEof = true;
  FBof = FView.empty();
}

void TMemTable::Next() {
  CheckBrowse();
  if (FCursor + 1 < static_cast<int>(FView.size())) {
    MoveTo(FCursor + 1);
    FBof = false;
  } else {
    FEof = true;
  }
}

void TMemTable::Prior() {
  CheckBrowse();
  if (FCursor > 0) {
    MoveTo(FCursor - 1);
    FEof = false;
  } else {
    FBof = true;
  }
}

int TMemTable::RecordCount() const {
  CheckActive();
  return static_cast<int>(FView.size());
}

int TMemTable::RecNo() const {
  CheckActive();
  if (FState == TDataSetState::dsInsert) return static_cast<int>(FView.size()) + 1;
  return FCursor + 1;
}

void TMemTable::SetRecNo(int aValue) {
  CheckBrowse();
  if (aValue < 1 || aValue > static_cast<int>(FView.size())) return;
  MoveTo(aValue - 1);
  FBof = FEof = false;
}

bool TMemTable::IsEmpty() const {
  if (FState == TDataSetState::dsInsert) return false;
  return FActiveRecord >= FRecordCount;
}

TRowStoreRow* TMemTable::CurrentRow() const {
  if (FCursor < 0 || FCursor >= static_cast<int>(FView.size())) return nullptr;
  return FView[static_cast<std::size_t>(FCursor)];
}

// ---------------------------------------------------------------------------
// Record values and editing

const TVariant& TMemTable::RecordValue(int aColumn) const {
  static const TVariant kNull;
  const auto column = static_cast<std::size_t>(aColumn);
  if (FState == TDataSetState::dsInsert || FState == TDataSetState::dsEdit) {
    return FEditBuffer.GetValue(column);
  }
  const TRowStoreRow* const row = CurrentRow();
  return row != nullptr ? row->GetValue(column) : kNull;
}

void TMemTable::SetRecordValue(int aColumn, TVariant aValue) {
  if (FState != TDataSetState::dsInsert && FState != TDataSetState::dsEdit) {
    throw EDatabaseError("Dataset not in edit or insert mode");
  }
  FEditBuffer.SetValue(static_cast<std::size_t>(aColumn), std::move(aValue));
}

void TMemTable::Append() {
  CheckBrowse();
  FEditBuffer = TRowStoreRowBuffer(FTable->ColumnCount());
  for (std::size_t i = 0; i < FTable->ColumnCount(); ++i) {
    TRowStoreColumn& column = FTable->Column(i);
    if (column.AutoIncrement) {
      // The next value is only where the row starts: past the column's range
      // there is none, and the row still takes a value of its own.
      const std::optional<std::int64_t> next = column.NextAutoIncValue();
      if (next && PlainFitsColumn(column.DataType, *next)) {
        FEditBuffer.SetValue(i, PlainToColumn(column.DataType, *next));
      }
    }
  }
  if (FParentLinkColumn >= 0) {
    if (!FParentRowID) throw EDatabaseError(kNoParentRecord);
    FEditBuffer.SetValue(static_cast<std::size_t>(FParentLinkColumn), *FParentRowID);
  }
  FEditRow = nullptr;
  FPendingRowID = FTable->NextRowID();
  FState = TDataSetState::dsInsert;
  FEof = true;
  SyncNestedTables();  // the new record starts with no nested rows
}

void TMemTable::Edit() {
  CheckActive();
  if (FState == TDataSetState::dsEdit || FState == TDataSetState::dsInsert) return;
  TRowStoreRow* const row = CurrentRow();
  if (row == nullptr) {
    Append();  // editing an empty table inserts a record
    return;
  }
  FEditBuffer = TRowStoreRowBuffer(FTable->ColumnCount());
  for (std::size_t i = 0; i < FTable->ColumnCount(); ++i) FEditBuffer.SetValue(i, row->GetValue(i));
  FEditRow = row;
  FState = TDataSetState::dsEdit;
}

void TMemTable::Cancel() {
  CheckActive();
  // A nested record being edited goes with the parent's edit; the nested rows
  // of a record whose insert is cancelled have no record left to belong to.
  if (FState != TDataSetState::dsBrowse) {
    for (TDataSetField* const field : FNestedFields) {
      TMemTable& nested = field->NestedDataSet();
      if (nested.Active() && nested.FState != TDataSetState::dsBrowse) nested.Cancel();
    }
  }
  if (FState == TDataSetState::dsInsert) DropNestedRows(FPendingRowID);
  FEditBuffer = TRowStoreRowBuffer();
  FEditRow = nullptr;
  FState = TDataSetState::dsBrowse;
  UpdateWindow();
  FEof = FView.empty();
  SyncNestedTables();
}

void TMemTable::Post() {
  CheckActive();
  if (FState == TDataSetState::dsBrowse) return;
  // A record is posted with its nested records.
  for (TDataSetField* const field : FNestedFields) {
    TMemTable& nested = field->NestedDataSet();
    if (nested.Active()) nested.Post();
  }
  for (const auto& field : FFields) {
    if (!field->Required() || field->FColumnIndex < 0) continue;
    if (FTable->Column(static_cast<std::size_t>(field->FColumnIndex)).AutoIncrement) continue;
    if (FEditBuffer.IsNull(static_cast<std::size_t>(field->FColumnIndex))) {
      throw EDatabaseError(fmt::format("Field '{}' must have a value", field->DisplayLabel()));
    }
  }
  TRowStoreRow* row = FEditRow;
  if (FState == TDataSetState::dsInsert) {
    row = &FTable->AppendRow();
    if (row->RowID() != FPendingRowID) {
      for (TDataSetField* const field : FNestedFields) {
        TMemTable& nested = field->NestedDataSet();
        if (nested.Active()) nested.RelinkRows(FPendingRowID, row->RowID());
      }
    }
    // Without cached updates a posted row counts as already applied.
    const bool pending = FCachedUpdates;
    row->SetRowState(pending ? rsInserted : rsUnchanged);
    row->CreateBuffer(pending ? TRowStoreBufferKind::bkCurrent : TRowStoreBufferKind::bkOriginal) =
        std::move(FEditBuffer);
    FTable->AccountAutoIncValues(*row);
  } else {
    const TRowStoreRowState state = row->RowState();
    if (FCachedUpdates && state == rsUnchanged) {
      row->SetRowPriorState(state);
      row->SetRowState(rsModified);
    }
    const bool inOriginal = row->RowState() == rsUnchanged;
    row->CreateBuffer(inOriginal ? TRowStoreBufferKind::bkOriginal
                                 : TRowStoreBufferKind::bkCurrent) = std::move(FEditBuffer);
  }
  const bool inserted = FState == TDataSetState::dsInsert;
  FEditBuffer = TRowStoreRowBuffer();
  FEditRow = nullptr;
  FState = TDataSetState::dsBrowse;
  ShowPostedRow(*row, inserted);
  FEof = FView.empty();
  FBof = FCursor <= 0;
}

void TMemTable::ShowPostedRow(TRowStoreRow& aRow, bool aInserted) {
  // The usual cases keep the view as it is: a visible row appended to the
  // table comes last in the view too, and an edited row that stays visible
  // keeps its place. When the table gained other rows since the view was
  // built, or the row's visibility changed, the view is built again.
  const std::size_t rows = FTable->RowCount();
  const bool onlyThisRowAdded = aInserted
                                    ? rows == FViewedRowCount + 1 && &FTable->Row(rows - 1) == &aRow
                                    : rows == FViewedRowCount;
  if (onlyThisRowAdded && RowVisible(aRow)) {
    if (aInserted) {
      FView.push_back(&aRow);
      FViewedRowCount = rows;
      MoveTo(static_cast<int>(FView.size()) - 1);
      return;
    }
    if (FCursor >= 0 && FCursor < static_cast<int>(FView.size()) &&
        FView[static_cast<std::size_t>(FCursor)] == &aRow) {
      MoveTo(FCursor);
      return;
    }
  }
  RebuildView();
  const auto it = std::find(FView.begin(), FView.end(), &aRow);
  MoveTo(it != FView.end() ? static_cast<int>(it - FView.begin()) : FCursor);
}

void TMemTable::Delete() {
  CheckActive();
  if (FState == TDataSetState::dsInsert) {
    Cancel();
    return;
  }
  if (FState == TDataSetState::dsEdit) Cancel();
  TRowStoreRow* const row = CurrentRow();
  if (row == nullptr) throw EDatabaseError("Cannot perform this operation on an empty dataset");
  const int position = FCursor;
  DropNestedRows(row->RowID());
  if (FCachedUpdates && row->RowState() != rsInserted) {
    row->SetRowPriorState(row->RowState());
    row->SetRowState(rsDeleted);
  } else {
    FTable->RemoveRow(*row);
  }
  RebuildView();
  MoveTo(std::min(position, static_cast<int>(FView.size()) - 1));
  FEof = FView.empty();
  FBof = FCursor <= 0;
}

// ---------------------------------------------------------------------------
// Nested tables

std::optional<std::uint32_t> TMemTable::CurrentRowKey() const {
  switch (FState) {
    case TDataSetState::dsInsert:
      return FPendingRowID;
    case TDataSetState::dsEdit:
      return FEditRow->RowID();
    case TDataSetState::dsBrowse:
      if (const TRowStoreRow* const row = CurrentRow()) return row->RowID();
      return std::nullopt;
    case TDataSetState::dsInactive:
      break;
  }
  return std::nullopt;
}

void TMemTable::OpenNestedTables() {
  FNestedFields.clear();
  for (const auto& field : FFields) {
    auto* const dataSetField = dynamic_cast<TDataSetField*>(field.get());
    if (dataSetField == nullptr) continue;
    FNestedFields.push_back(dataSetField);
    TMemTable& nested = dataSetField->NestedDataSet();
    // A nested table the caller gave no fields stays closed.
    if (nested.FFields.Count() == 0 && nested.FFieldDefs.Count() == 0) continue;
    nested.Open();
    FTable->Column(static_cast<std::size_t>(field->FColumnIndex)).NestedTable = nested.FTable;
  }
}

void TMemTable::CloseNestedTables() {
  for (TDataSetField* const field : FNestedFields) {
    TMemTable& nested = field->NestedDataSet();
    if (FTable != nullptr && field->FColumnIndex >= 0) {
      TRowStoreColumn& column = FTable->Column(static_cast<std::size_t>(field->FColumnIndex));
      if (column.NestedTable == nested.FTable) column.NestedTable = nullptr;
    }
    nested.Close();
  }
  FNestedFields.clear();
}

void TMemTable::SyncNestedTables() {
  for (TDataSetField* const field : FNestedFields) {
    TMemTable& nested = field->NestedDataSet();
    if (nested.Active()) nested.FollowParent();
  }
}

void TMemTable::EmptyDataSet() {
  CheckActive();
  if (FState != TDataSetState::dsBrowse) Cancel();
  if (FParentLinkColumn < 0) {
    ClearAllRows();
  } else if (FParentRowID) {
    RemoveRowsOf(*FParentRowID);
  }
  RebuildView();
  First();
}

void TMemTable::ClearAllRows() {
  for (TDataSetField* const field : FNestedFields) {
    TMemTable& nested = field->NestedDataSet();
    if (!nested.Active()) continue;
    if (nested.FState != TDataSetState::dsBrowse) nested.Cancel();
    nested.ClearAllRows();
    nested.RebuildView();
    nested.MoveTo(0);
  }
  FTable->ClearRows();
}

void TMemTable::DropNestedRows(std::uint32_t aParentRowID) {
  for (TDataSetField* const field : FNestedFields) {
    TMemTable& nested = field->NestedDataSet();
    if (nested.Active()) nested.RemoveRowsOf(aParentRowID);
  }
}

void TMemTable::FollowParent() {
  // A nested record being edited belongs to the parent record it was started
  // under (its link is in the edit buffer): it is stored before the view moves.
  if (FState != TDataSetState::dsBrowse) Post();
  RebuildView();
  First();
}

void TMemTable::RemoveRowsOf(std::uint32_t aParentRowID) {
  if (FParentLinkColumn < 0) return;
  if (FState != TDataSetState::dsBrowse) Cancel();
  std::vector<std::uint32_t> removed;
  for (std::size_t i = 0; i < FTable->RowCount(); ++i) {
    const TRowStoreRow& row = FTable->Row(i);
    if (ParentLink(row, FParentLinkColumn) == aParentRowID) removed.push_back(row.RowID());
  }
  if (removed.empty()) return;
  for (const std::uint32_t rowID : removed) DropNestedRows(rowID);
  FTable->RemoveRowsIf(
      [&](const TRowStoreRow& row) { return ParentLink(row, FParentLinkColumn) == aParentRowID; });
  RebuildView();
  MoveTo(0);
  FBof = true;
  FEof = FView.empty();
}

void TMemTable::RelinkRows(std::uint32_t aFrom, std::uint32_t aTo) {
  if (FParentLinkColumn < 0) return;
  const auto column = static_cast<std::size_t>(FParentLinkColumn);
  for (std::size_t i = 0; i < FTable->RowCount(); ++i) {
    TRowStoreRow& row = FTable->Row(i);
    for (const auto kind : {TRowStoreBufferKind::bkOriginal, TRowStoreBufferKind::bkCurrent,
                            TRowStoreBufferKind::bkProposed}) {
      TRowStoreRowBuffer* const buffer = row.Buffer(kind);
      if (buffer == nullptr) continue;
      const auto* const link = std::get_if<std::uint32_t>(&buffer->GetValue(column));
      if (link != nullptr && *link == aFrom) buffer->SetValue(column, aTo);
    }
  }
}

// ---------------------------------------------------------------------------
// Field access

TField* TMemTable::FindField(std::string_view aFieldName) const {
  return FFields.Find(aFieldName);
}

TField& TMemTable::FieldByName(std::string_view aFieldName) const {
  TField* const field = FindField(aFieldName);
  if (field == nullptr) throw EDatabaseError(fmt::format("Field '{}' not found", aFieldName));
  return *field;
}

}  // namespace tandemize::memtable
