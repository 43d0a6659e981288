#include "cli/request.h"

#include <algorithm>
#include <utility>

#include "converter/base64.h"
#include "json/json.h"
#include "memtable/row_store.h"
#include "memtable/storage/stream_writer.h"
#include "memtable/value_convert.h"

namespace tandemize::cli {

using json::TJsonArray;
using json::TJsonObject;
using memtable::TColumnDataType;
using memtable::TVariant;

namespace {

struct TKindName {
  std::string_view Name;
  int Number;
};
constexpr TKindName kKinds[] = {{"firebird", 0}, {"interbase", 1}, {"pg", 2},
                                {"mysql", 3},    {"mssql", 4},     {"sqlite", 5}};

// Text columns up to this many characters go as wide strings, longer ones as
// wide memos.
constexpr std::int32_t kLongestString = 8000;

void PutParams(TJsonObject& aObject, const TConnection& aConnection) {
  aObject.Put("tipo_sgdb", aConnection.Kind);
  aObject.Put("host", aConnection.Host);
  aObject.Put("port", aConnection.Port);
  aObject.Put("catalog", aConnection.Catalog);
  aObject.Put("charset", aConnection.Charset);
  aObject.Put("database", aConnection.Database);
  aObject.Put("user", aConnection.User);
  aObject.Put("password", aConnection.Password);
  aObject.Put("lib", aConnection.Lib);
}

void PutEnvelopeHead(TJsonObject& aEnvelope, const TConnection& aConnection,
                     const TTarget& aTarget) {
  PutParams(aEnvelope.Put("params", json::TJsonEmpty::empty).AsObject(), aConnection);
  TJsonObject& headers = aEnvelope.Put("headers", json::TJsonEmpty::empty).AsObject();
  headers.Put("teble_name", aTarget.Table);
  TJsonArray& keys = headers.Put("pks", json::TJsonEmpty::empty).AsArray();
  for (const std::string& key : aTarget.Keys) keys.Put(key);
  TJsonArray& fields = headers.Put("fields", json::TJsonEmpty::empty).AsArray();
  for (const std::string& field : aTarget.Fields) fields.Put(field);
}

// Field type name and size of a column in the JSON structure.
std::pair<const char*, std::int64_t> JsonFieldType(const TColumnSchema& aColumn) {
  switch (aColumn.Type) {
    case TValueType::vtInteger:
      return {"ftLargeint", 0};
    case TValueType::vtDecimal:
      return {"ftFMTBcd", aColumn.Scale};
    case TValueType::vtFloat:
      return {"ftFloat", 0};
    case TValueType::vtDate:
      return {"ftDate", 0};
    case TValueType::vtDateTime:
      return {"ftDateTime", 0};
    case TValueType::vtBlob:
      return {"ftBlob", 0};
    case TValueType::vtText:
      break;
  }
  if (aColumn.Length > kLongestString) return {"ftWideMemo", 0};
  return {"ftWideString", std::max<std::int32_t>(1, aColumn.Length)};
}

void PutJsonValue(TJsonObject& aRow, const std::string& aName, const TColumnSchema& aColumn,
                  const TVariant& aValue) {
  if (std::holds_alternative<std::monostate>(aValue)) {
    aRow.Put(aName, json::TJsonNull::null);
    return;
  }
  switch (aColumn.Type) {
    case TValueType::vtInteger:
      aRow.Put(aName, std::get<std::int64_t>(aValue));
      break;
    case TValueType::vtDecimal:
      aRow.Put(aName, memtable::BcdToDouble(std::get<memtable::TBcdValue>(aValue).Get()));
      break;
    case TValueType::vtFloat:
      aRow.Put(aName, std::get<double>(aValue));
      break;
    case TValueType::vtDate:
      aRow.Put(aName, IsoDate(std::get<std::int32_t>(aValue)));
      break;
    case TValueType::vtDateTime:
      aRow.Put(aName, IsoDateTime(std::get<memtable::TSQLTimeStamp>(aValue)));
      break;
    case TValueType::vtText:
      aRow.Put(aName, std::get<std::string>(aValue));
      break;
    case TValueType::vtBlob:
      aRow.Put(aName, converter::EncodeBase64(std::get<memtable::TBytes>(aValue)));
      break;
  }
}

TColumnDataType StreamType(const TColumnSchema& aColumn) {
  switch (aColumn.Type) {
    case TValueType::vtInteger:
      return TColumnDataType::dtInt64;
    case TValueType::vtDecimal:
      return TColumnDataType::dtFmtBCD;
    case TValueType::vtFloat:
      return TColumnDataType::dtDouble;
    case TValueType::vtDate:
      return TColumnDataType::dtDate;
    case TValueType::vtDateTime:
      return TColumnDataType::dtDateTimeStamp;
    case TValueType::vtBlob:
      return TColumnDataType::dtBlob;
    case TValueType::vtText:
      break;
  }
  return aColumn.Length > kLongestString ? TColumnDataType::dtWideMemo
                                         : TColumnDataType::dtWideString;
}

}  // namespace

std::optional<int> KindNumber(std::string_view aName) {
  for (const TKindName& kind : kKinds) {
    if (kind.Name == aName) return kind.Number;
  }
  return std::nullopt;
}

std::string ParamsJson(const TConnection& aConnection) {
  TJsonObject params;
  PutParams(params, aConnection);
  return params.Stringify();
}

std::string HeaderEnvelope(const TConnection& aConnection, const TTarget& aTarget) {
  TJsonObject envelope;
  PutEnvelopeHead(envelope, aConnection, aTarget);
  return envelope.Stringify();
}

std::string JsonEnvelope(const TConnection& aConnection, const TTarget& aTarget, const TRows& aRows,
                         std::size_t aFirst, std::size_t aCount) {
  TJsonObject envelope;
  PutEnvelopeHead(envelope, aConnection, aTarget);
  TJsonObject& rows = envelope.Put("tandemize", json::TJsonEmpty::empty).AsObject();
  TJsonArray& structure = rows.Put("structure", json::TJsonEmpty::empty).AsArray();
  for (const TColumnSchema& column : aRows.Columns) {
    TJsonObject& field = structure.Add().AsObject();
    const auto [type, size] = JsonFieldType(column);
    field.Put("fieldName", column.Name);
    field.Put("dataType", type);
    field.Put("size", size);
  }
  TJsonArray& data = rows.Put("data", json::TJsonEmpty::empty).AsArray();
  const std::size_t end = std::min(aRows.Values.size(), aFirst + aCount);
  for (std::size_t r = aFirst; r < end; ++r) {
    TJsonObject& row = data.Add().AsObject();
    for (std::size_t c = 0; c < aRows.Columns.size(); ++c) {
      PutJsonValue(row, aRows.Columns[c].Name, aRows.Columns[c], aRows.Values[r][c]);
    }
  }
  return envelope.Stringify();
}

std::string BinaryRows(const TTarget& aTarget, const TRows& aRows, std::size_t aFirst,
                       std::size_t aCount) {
  using namespace memtable::storage;
  TStreamManager manager;
  TStreamTable& table = manager.AddTable(aTarget.Table);
  for (const TColumnSchema& column : aRows.Columns) {
    const TColumnDataType type = StreamType(column);
    std::int32_t size = 0;
    if (type == TColumnDataType::dtWideString) size = std::max<std::int32_t>(1, column.Length);
    TStreamColumn& streamColumn = table.AddColumn(column.Name, type, size);
    streamColumn.Attributes.Include(memtable::TColumnAttribute::caAllowNull);
    if (type == TColumnDataType::dtFmtBCD) {
      streamColumn.Precision = column.Precision;
      streamColumn.Scale = column.Scale;
    }
  }
  const std::size_t end = std::min(aRows.Values.size(), aFirst + aCount);
  for (std::size_t r = aFirst; r < end; ++r) {
    TStreamRow& row = table.AddRow(memtable::TRowStoreRowState::rsUnchanged);
    for (std::size_t c = 0; c < aRows.Columns.size(); ++c) {
      SetStreamValue(table, row, memtable::TRowStoreBufferKind::bkOriginal, c, aRows.Values[r][c]);
    }
  }
  return WriteBinaryStream(manager);
}

}  // namespace tandemize::cli
