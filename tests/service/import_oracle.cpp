// The import model's other half: the request a case sends, the oracle that
// applies the same upsert with SQLite's own C API, and the checks of the
// verdict and the table the service left.

#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <utility>

#include <fmt/format.h>

#include "memtable/storage/stream_writer.h"
#include "service/dm.h"
#include "service/import_model.h"
#include "service/import_text.h"

namespace tandemize::importfuzz {
namespace {

namespace fs = std::filesystem;

// ---------------------------------------------------------------- requests

std::string Member(const TCase& aCase, std::string_view aName) {
  std::string name(aName);
  if (aCase.UpperMembers) {
    for (char& ch : name) {
      if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
    }
  }
  return "\"" + name + "\":";
}

std::string NameList(const std::vector<std::string>& aNames, bool aEscape) {
  std::string out = "[";
  for (std::size_t i = 0; i < aNames.size(); ++i) {
    if (i > 0) out += ",";
    out += text::JsonString(aNames[i], aEscape);
  }
  return out + "]";
}

std::string ParamsAndHeaders(const TCase& aCase, const std::string& aDatabase, bool aEscape,
                             const std::string& aParams) {
  const std::string params =
      !aParams.empty() ? aParams
                       : "{" + Member(aCase, "tipo_sgdb") + "5," + Member(aCase, "database") +
                             text::JsonString(aDatabase + aCase.DatabaseSuffix, aEscape) + "}";
  return Member(aCase, "params") + params + "," + Member(aCase, "headers") + "{" +
         Member(aCase, "teble_name") + text::JsonString(aCase.TableName, aEscape) + "," +
         Member(aCase, "pks") + NameList(aCase.Pks, aEscape) + "," + Member(aCase, "fields") +
         NameList(aCase.Fields, aEscape) + "}";
}

std::string RowJson(const TRow& aRow, bool aEscape) {
  if (!aRow.NotAnObject.empty()) return aRow.NotAnObject;
  std::string out = "{";
  bool first = true;
  auto add = [&](const std::string& aName, const std::string& aJson) {
    if (!first) out += ",";
    first = false;
    out += text::JsonString(aName, aEscape) + ":" + aJson;
  };
  for (const TCell& cell : aRow.Cells) {
    if (cell.Mode != TCell::TMode::kMissing) add(cell.MemberName, cell.Json);
  }
  for (const TCell& cell : aRow.Cells) {
    for (const auto& [name, json] : cell.Extra) add(name, json);
  }
  out += "}";
  return aRow.Nested ? "[" + out + "]" : out;
}

std::string JsonEnvelope(const TCase& aCase, const std::string& aDatabase, bool aEscape,
                         const std::string& aParams) {
  std::string out = "{" + ParamsAndHeaders(aCase, aDatabase, aEscape, aParams) + "," +
                    Member(aCase, "tandemize") + "{" + Member(aCase, "structure") + "[";
  for (std::size_t i = 0; i < aCase.Columns.size(); ++i) {
    const TColumn& column = aCase.Columns[i];
    if (i > 0) out += ",";
    out += "{" + Member(aCase, "fieldName") + text::JsonString(column.FieldName, aEscape) + "," +
           Member(aCase, "dataType") + text::JsonString(column.TypeName, false) + "," +
           Member(aCase, "size") + std::to_string(column.Size) + "}";
  }
  out += "]," + Member(aCase, "data") + "[";
  for (std::size_t r = 0; r < aCase.Rows.size(); ++r) {
    if (r > 0) out += ",";
    out += RowJson(aCase.Rows[r], aEscape);
  }
  return out + "]}}";
}

std::string BinaryStream(const TCase& aCase) {
  using memtable::TRowStoreBufferKind;
  using memtable::TRowStoreRowState;
  memtable::storage::TStreamManager manager;
  memtable::storage::TStreamTable& table = manager.AddTable("rows");
  for (const TColumn& column : aCase.Columns) {
    auto& streamColumn =
        table.AddColumn(column.StreamName.empty() ? column.FieldName : column.StreamName,
                        StreamColumnType(column.TypeIndex), column.Size);
    streamColumn.Attributes.Include(memtable::TColumnAttribute::caAllowNull);
    streamColumn.Precision = column.Precision;
    streamColumn.Scale = column.Scale;
  }
  auto put = [&](memtable::storage::TStreamRow& aRow, TRowStoreBufferKind aBuffer,
                 const std::vector<TCell>& aCells) {
    for (std::size_t i = 0; i < aCells.size(); ++i) {
      memtable::storage::SetStreamValue(table, aRow, aBuffer, i, aCells[i].Stream);
    }
  };
  for (const TRow& row : aCase.Rows) {
    switch (row.State) {
      case 0:
        put(table.AddRow(TRowStoreRowState::rsInserted), TRowStoreBufferKind::bkCurrent, row.Cells);
        break;
      case 1:
        put(table.AddRow(TRowStoreRowState::rsUnchanged), TRowStoreBufferKind::bkOriginal,
            row.Cells);
        break;
      case 2: {
        auto& streamRow = table.AddRow(TRowStoreRowState::rsModified);
        put(streamRow, TRowStoreBufferKind::bkOriginal, row.Original);
        put(streamRow, TRowStoreBufferKind::bkCurrent, row.Cells);
        break;
      }
      default:
        put(table.AddRow(TRowStoreRowState::rsDeleted), TRowStoreBufferKind::bkOriginal,
            row.Original);
        break;
    }
  }
  return memtable::storage::WriteBinaryStream(manager, {.Version = aCase.StreamVersion});
}

// ---------------------------------------------------------------- SQLite

struct TDb {
  sqlite3* Handle = nullptr;
  ~TDb() {
    if (Handle != nullptr) sqlite3_close_v2(Handle);
  }
  bool Open(const std::string& aFile, bool aCreate, std::string& aError) {
    const int flags = aCreate ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(aFile.c_str(), &Handle, flags, nullptr) != SQLITE_OK) {
      aError = Handle != nullptr ? sqlite3_errmsg(Handle) : "out of memory";
      return false;
    }
    sqlite3_busy_timeout(Handle, 10000);
    return true;
  }
  bool Exec(const std::string& aSql, std::string& aError) {
    char* message = nullptr;
    if (sqlite3_exec(Handle, aSql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
      aError = message != nullptr ? message : "error";
      sqlite3_free(message);
      return false;
    }
    return true;
  }
};

struct TStatement {
  sqlite3_stmt* Handle = nullptr;
  ~TStatement() { sqlite3_finalize(Handle); }
  bool Prepare(sqlite3* aDb, const std::string& aSql, std::string& aError) {
    if (sqlite3_prepare_v2(aDb, aSql.c_str(), static_cast<int>(aSql.size()), &Handle, nullptr) !=
            SQLITE_OK ||
        Handle == nullptr) {
      aError = sqlite3_errmsg(aDb);
      return false;
    }
    return true;
  }
  bool Bind(int aIndex, const TSqlValue& aValue) {
    switch (aValue.Kind) {
      case TSqlValue::TKind::kNull:
        return sqlite3_bind_null(Handle, aIndex) == SQLITE_OK;
      case TSqlValue::TKind::kInteger:
        return sqlite3_bind_int64(Handle, aIndex, aValue.Integer) == SQLITE_OK;
      case TSqlValue::TKind::kReal:
        return sqlite3_bind_double(Handle, aIndex, aValue.Real) == SQLITE_OK;
      case TSqlValue::TKind::kText:
        return sqlite3_bind_text(Handle, aIndex, aValue.Bytes.data(),
                                 static_cast<int>(aValue.Bytes.size()),
                                 SQLITE_TRANSIENT) == SQLITE_OK;
      case TSqlValue::TKind::kBlob:
        return sqlite3_bind_blob(Handle, aIndex, aValue.Bytes.data(),
                                 static_cast<int>(aValue.Bytes.size()),
                                 SQLITE_TRANSIENT) == SQLITE_OK;
    }
    return false;
  }
};

TSqlValue ColumnValue(sqlite3_stmt* aStatement, int aIndex) {
  switch (sqlite3_column_type(aStatement, aIndex)) {
    case SQLITE_INTEGER:
      return TSqlValue::Int(sqlite3_column_int64(aStatement, aIndex));
    case SQLITE_FLOAT:
      return TSqlValue::Float(sqlite3_column_double(aStatement, aIndex));
    case SQLITE_TEXT: {
      const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(aStatement, aIndex));
      return TSqlValue::Text(
          std::string(data, static_cast<std::size_t>(sqlite3_column_bytes(aStatement, aIndex))));
    }
    case SQLITE_BLOB: {
      const auto* data = static_cast<const char*>(sqlite3_column_blob(aStatement, aIndex));
      const auto size = static_cast<std::size_t>(sqlite3_column_bytes(aStatement, aIndex));
      return TSqlValue::Blob(data != nullptr ? std::string(data, size) : std::string());
    }
    default:
      return TSqlValue::Null();
  }
}

// The whole content of a database file: its schema and the target table's
// rows. No file and no table are states of their own.
struct TState {
  bool FileExists = false;
  std::vector<std::string> Schema;
  std::optional<TSqlTable> Rows;
  std::string Error;

  bool operator==(const TState& aOther) const {
    return Schema == aOther.Schema && Rows == aOther.Rows;
  }
};

TState ReadState(const std::string& aFile, const std::string& aTable) {
  TState state;
  state.FileExists = fs::exists(aFile);
  if (!state.FileExists) return state;
  TDb db;
  if (!db.Open(aFile, false, state.Error)) return state;
  {
    TStatement schema;
    if (schema.Prepare(db.Handle,
                       "SELECT type || ' ' || name || ': ' || ifnull(sql, '') "
                       "FROM sqlite_master ORDER BY 1",
                       state.Error)) {
      while (sqlite3_step(schema.Handle) == SQLITE_ROW) {
        state.Schema.push_back(ColumnValue(schema.Handle, 0).Bytes);
      }
    }
  }
  state.Rows = ReadTable(aFile, aTable, state.Error);
  return state;
}

std::string DescribeRows(const std::optional<TSqlTable>& aRows) {
  if (!aRows) return "  (no table)\n";
  if (aRows->empty()) return "  (no rows)\n";
  std::string out;
  for (const TSqlRow& row : *aRows) {
    out += "  (";
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (i > 0) out += ", ";
      out += row[i].Describe();
    }
    out += ")\n";
  }
  return out;
}

std::string DescribeState(const TState& aState) {
  if (!aState.FileExists) return "  (no database file)\n";
  std::string out;
  for (const std::string& line : aState.Schema) out += "  schema: " + line + "\n";
  return out + DescribeRows(aState.Rows);
}

std::string Lowered(std::string aText) {
  for (char& ch : aText) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  }
  return aText;
}

// The per-row upsert of the import, applied to aFile with positional
// parameters: for each shown row an existence query on the keys, then an
// UPDATE of the fields or an INSERT of keys and fields, all in one
// transaction. Statement texts are prepared when first needed.
struct TOracleResult {
  bool Success = false;
  std::string Error;
  TState State;
};

TOracleResult RunOracle(const TCase& aCase, const std::string& aFile) {
  TOracleResult result;
  TDb db;
  if (!db.Open(aFile, true, result.Error)) return result;
  const std::string table = Lowered(aCase.TableName);
  std::string where, set, columns, values;
  for (const std::string& key : aCase.Pks) {
    if (!where.empty()) where += " AND ";
    where += Lowered(key) + " = ?";
  }
  for (const std::string& field : aCase.Fields) {
    if (!set.empty()) set += ", ";
    set += Lowered(field) + " = ?";
  }
  std::vector<std::string> all = aCase.Pks;
  all.insert(all.end(), aCase.Fields.begin(), aCase.Fields.end());
  for (const std::string& name : all) {
    if (!columns.empty()) {
      columns += ", ";
      values += ", ";
    }
    columns += name;
    values += "?";
  }
  const std::string existsSql = fmt::format("SELECT * FROM {} WHERE {}", table, where);
  const std::string updateSql = fmt::format("UPDATE {} SET {} WHERE {}", table, set, where);
  const std::string insertSql =
      fmt::format("INSERT INTO {} ({}) VALUES ({})", table, columns, values);

  if (!db.Exec("BEGIN IMMEDIATE", result.Error)) return result;
  TStatement exists, update, insert;
  auto fail = [&](std::string aError) {
    result.Error = std::move(aError);
    std::string ignored;
    db.Exec("ROLLBACK", ignored);
    return result;
  };
  auto bindAll = [](TStatement& aStatement, const TRow& aRow, const std::vector<int>& aColumns,
                    int aFirst) {
    for (std::size_t i = 0; i < aColumns.size(); ++i) {
      aStatement.Bind(aFirst + static_cast<int>(i),
                      aRow.Cells[static_cast<std::size_t>(aColumns[i])].Expected);
    }
  };
  for (const TRow& row : aCase.Rows) {
    if (!row.Shown()) continue;
    if (exists.Handle == nullptr && !exists.Prepare(db.Handle, existsSql, result.Error)) {
      return fail(result.Error);
    }
    sqlite3_reset(exists.Handle);
    bindAll(exists, row, aCase.PkColumns, 1);
    const int rc = sqlite3_step(exists.Handle);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return fail(sqlite3_errmsg(db.Handle));
    const bool found = rc == SQLITE_ROW;
    sqlite3_reset(exists.Handle);
    TStatement& write = found ? update : insert;
    if (write.Handle == nullptr &&
        !write.Prepare(db.Handle, found ? updateSql : insertSql, result.Error)) {
      return fail(result.Error);
    }
    sqlite3_reset(write.Handle);
    if (found) {
      bindAll(write, row, aCase.FieldColumns, 1);
      bindAll(write, row, aCase.PkColumns, static_cast<int>(aCase.FieldColumns.size()) + 1);
    } else {
      bindAll(write, row, aCase.PkColumns, 1);
      bindAll(write, row, aCase.FieldColumns, static_cast<int>(aCase.PkColumns.size()) + 1);
    }
    if (sqlite3_step(write.Handle) != SQLITE_DONE) return fail(sqlite3_errmsg(db.Handle));
    sqlite3_reset(write.Handle);
  }
  if (!db.Exec("COMMIT", result.Error)) return fail(result.Error);
  result.Success = true;
  return result;
}

// Creates the starting database; false when SQLite refuses the table.
bool CreateStart(const TCase& aCase, const std::string& aFile, std::string& aError) {
  TDb db;
  if (!db.Open(aFile, true, aError)) return false;
  if (!aCase.TableExists) return true;
  if (!db.Exec(aCase.CreateTableSql(), aError)) return false;
  const std::vector<std::string> names = aCase.DbColumnNames();
  std::string columns, values;
  for (const std::string& name : names) {
    if (!columns.empty()) {
      columns += ", ";
      values += ", ";
    }
    columns += name;
    values += "?";
  }
  const std::string sql =
      fmt::format("INSERT INTO {} ({}) VALUES ({})", aCase.DbTableName, columns, values);
  for (const TSqlRow& row : aCase.StartRows) {
    TStatement insert;
    if (!insert.Prepare(db.Handle, sql, aError)) return false;
    for (std::size_t i = 0; i < row.size(); ++i) insert.Bind(static_cast<int>(i) + 1, row[i]);
    sqlite3_step(insert.Handle);  // a row the table's constraints refuse is left out
  }
  return true;
}

void RemoveDatabase(const std::string& aFile) {
  std::error_code ignored;
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) fs::remove(aFile + suffix, ignored);
}

std::string ExpectationText(const TCase& aCase) {
  std::string out;
  switch (aCase.Expect) {
    case TExpect::kOracle:
      out = "as the oracle";
      break;
    case TExpect::kFailure:
      out = "failure, table unchanged";
      break;
    case TExpect::kEither:
      out = "as the oracle, or a refusal with the table unchanged";
      break;
  }
  for (const std::string& reason : aCase.Reasons) out += "\n  " + reason;
  return out;
}

}  // namespace

// ---------------------------------------------------------------- public

std::vector<std::string> TCase::DbColumnNames() const {
  std::vector<std::string> names;
  for (const int index : DbOrder) {
    names.push_back(index >= 0 ? Columns[static_cast<std::size_t>(index)].DbName
                               : ExtraDbColumns[static_cast<std::size_t>(-index - 1)].Name);
  }
  return names;
}

namespace {

const TCase* gRunningCase = nullptr;
std::string gRunningDatabase;
std::terminate_handler gPreviousTerminate = nullptr;

[[noreturn]] void TerminateWithReport() {
  if (gRunningCase != nullptr) {
    const std::string report = "FINDING: the process ended (std::terminate) while importing\n" +
                               DescribeCase(*gRunningCase, gRunningDatabase);
    std::fwrite(report.data(), 1, report.size(), stderr);
  }
  if (gPreviousTerminate != nullptr) gPreviousTerminate();
  std::abort();
}

}  // namespace

TTerminateReport::TTerminateReport(const TCase& aCase, std::string aDatabase) {
  gRunningCase = &aCase;
  gRunningDatabase = std::move(aDatabase);
  if (gPreviousTerminate == nullptr) gPreviousTerminate = std::set_terminate(TerminateWithReport);
}

TTerminateReport::~TTerminateReport() {
  gRunningCase = nullptr;
}

TScratchFolder::TScratchFolder(const std::string& aPrefix) {
  const std::string base = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path();
  std::string pattern = base + "/" + aPrefix + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed: " + pattern);
  FPath = pattern;
}

TScratchFolder::~TScratchFolder() {
  std::error_code ignored;
  fs::remove_all(FPath, ignored);
}

TRequest BuildRequest(const TCase& aCase, const std::string& aDatabase, bool aAsciiOnly,
                      const std::string& aParams) {
  TRequest request;
  request.Binary = aCase.Binary;
  const bool escape = aAsciiOnly || aCase.EscapeNames;
  if (aCase.Binary) {
    request.Header = "{" + ParamsAndHeaders(aCase, aDatabase, escape, aParams) + "}";
    request.Body = BinaryStream(aCase);
  } else {
    request.Body = JsonEnvelope(aCase, aDatabase, escape, aParams);
    if (aCase.Windows1252Body) {
      // A leading member that makes sure the body is not valid UTF-8 (a
      // "ç" byte before ASCII), so that the service reads it as Windows-1252.
      request.Body = text::JsonToWindows1252("{\"nota\":\"ç\"," + request.Body.substr(1));
    }
  }
  return request;
}

std::string InProcessImport(const TRequest& aRequest) {
  service::TDMInstance dm;
  if (aRequest.Binary) {
    tandemize::text::TByteStream body(aRequest.Body);
    return dm->Tandemize(aRequest.Header, &body, true);
  }
  tandemize::text::TByteStream body(aRequest.Body);
  return dm->Tandemize("", &body, false);
}

TVerdict ParseVerdict(std::string_view aText) {
  TVerdict verdict;
  verdict.Raw = std::string(aText);
  std::string_view rest = aText;
  auto take = [&](std::string_view aPrefix) {
    if (rest.substr(0, aPrefix.size()) != aPrefix) return false;
    rest.remove_prefix(aPrefix.size());
    return true;
  };
  if (!take("{\"success\":")) return verdict;
  if (take("true")) {
    verdict.Success = true;
  } else if (!take("false")) {
    return verdict;
  }
  if (!take(",\"message\":\"")) return verdict;
  std::u16string units;
  while (!rest.empty() && rest.front() != '"') {
    const char ch = rest.front();
    rest.remove_prefix(1);
    if (static_cast<unsigned char>(ch) < 0x20 || static_cast<unsigned char>(ch) > 0x7E) {
      return verdict;  // the answer is ASCII, control characters escaped
    }
    if (ch != '\\') {
      units.push_back(static_cast<char16_t>(ch));
      continue;
    }
    if (rest.empty()) return verdict;
    const char escape = rest.front();
    rest.remove_prefix(1);
    switch (escape) {
      case '"':
      case '\\':
      case '/':
        units.push_back(static_cast<char16_t>(escape));
        break;
      case 'b':
        units.push_back(u'\b');
        break;
      case 'f':
        units.push_back(u'\f');
        break;
      case 'n':
        units.push_back(u'\n');
        break;
      case 'r':
        units.push_back(u'\r');
        break;
      case 't':
        units.push_back(u'\t');
        break;
      case 'u': {
        if (rest.size() < 4) return verdict;
        unsigned value = 0;
        for (int i = 0; i < 4; ++i) {
          const char h = rest[static_cast<std::size_t>(i)];
          value <<= 4;
          if (h >= '0' && h <= '9') {
            value |= static_cast<unsigned>(h - '0');
          } else if (h >= 'a' && h <= 'f') {
            value |= static_cast<unsigned>(h - 'a' + 10);
          } else if (h >= 'A' && h <= 'F') {
            value |= static_cast<unsigned>(h - 'A' + 10);
          } else {
            return verdict;
          }
        }
        rest.remove_prefix(4);
        units.push_back(static_cast<char16_t>(value));
        break;
      }
      default:
        return verdict;
    }
  }
  if (!take("\"}") || !rest.empty()) return verdict;
  text::TText cps;
  for (std::size_t i = 0; i < units.size(); ++i) {
    char32_t cp = units[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++i] - 0xDC00);
    }
    cps.push_back(cp);
  }
  verdict.Message = text::ToUtf8(cps);
  verdict.Valid = true;
  return verdict;
}

std::optional<TSqlTable> ReadTable(const std::string& aFile, const std::string& aTable,
                                   std::string& aError) {
  if (!fs::exists(aFile)) {
    aError = "no database file";
    return std::nullopt;
  }
  TDb db;
  if (!db.Open(aFile, false, aError)) return std::nullopt;
  TStatement select;
  if (!select.Prepare(db.Handle, "SELECT * FROM " + aTable, aError)) return std::nullopt;
  TSqlTable rows;
  int rc;
  while ((rc = sqlite3_step(select.Handle)) == SQLITE_ROW) {
    TSqlRow row;
    for (int i = 0; i < sqlite3_column_count(select.Handle); ++i) {
      row.push_back(ColumnValue(select.Handle, i));
    }
    rows.push_back(std::move(row));
  }
  if (rc != SQLITE_DONE) {
    aError = sqlite3_errmsg(db.Handle);
    return std::nullopt;
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

TOutcome RunCase(const TCase& aCase, const TImportFn& aImport, const std::string& aFolder,
                 bool aAsciiOnly) {
  const std::string file = aFolder + "/import.db";
  const std::string oracleFile = aFolder + "/oracle.db";
  RemoveDatabase(file);
  RemoveDatabase(oracleFile);
  TOutcome outcome;
  std::string error;
  if (aCase.DatabaseExists && !CreateStart(aCase, file, error)) {
    outcome.Skipped = true;
    outcome.SkipReason = error + " in " + aCase.CreateTableSql();
    return outcome;
  }
  const TState before = ReadState(file, aCase.DbTableName);
  if (before.FileExists) fs::copy_file(file, oracleFile);

  TRequest request;
  try {
    request = BuildRequest(aCase, file, aAsciiOnly);
  } catch (const std::exception& e) {
    // Our own writer cannot write such a stream (a type an old version lacks).
    outcome.Skipped = true;
    outcome.SkipReason = e.what();
    return outcome;
  }
  std::string answer;
  try {
    const TTerminateReport report(aCase, file);
    answer = aImport(request);
  } catch (const std::exception& e) {
    outcome.Finding = fmt::format("FINDING: the service did not answer: {}\n{}", e.what(),
                                  DescribeCase(aCase, file));
    return outcome;
  }
  const TVerdict verdict = ParseVerdict(answer);
  outcome.Succeeded = verdict.Valid && verdict.Success;
  outcome.Verdict = answer;
  const TState after = ReadState(file, aCase.DbTableName);

  std::string problem;
  std::optional<TOracleResult> oracle;
  if (!verdict.Valid) {
    problem = "the answer is not a verdict: " + text::Quoted(answer);
  } else {
    if (aCase.Expect != TExpect::kFailure) {
      oracle = RunOracle(aCase, oracleFile);
      oracle->State = ReadState(oracleFile, aCase.DbTableName);
      outcome.OracleRan = true;
      outcome.OracleSucceeded = oracle->Success;
      outcome.OracleRows = oracle->State.Rows;
    }
    const bool mustFail = aCase.Expect == TExpect::kFailure || (oracle && !oracle->Success);
    const bool mayFail = aCase.Expect == TExpect::kEither;
    if (verdict.Success && mustFail) {
      problem = "success where the import must fail";
    } else if (!verdict.Success && !mustFail && !mayFail) {
      problem = "failure where the oracle succeeds";
    } else if (verdict.Success && !(after == oracle->State)) {
      problem = "success, but the table differs from the oracle's";
    } else if (!verdict.Success && !(after == before)) {
      problem = "failure, but the table changed";
    } else if (!aCase.ExpectedMessage.empty() && verdict.Message != aCase.ExpectedMessage) {
      problem = "failure with another message than " + text::Quoted(aCase.ExpectedMessage);
    } else if (aCase.CheckConversionOrder && aCase.FailsBeforeDatabase && !verdict.Success) {
      if (verdict.Message.find("[Phys]") != std::string::npos) {
        problem = "a value that cannot be converted is reported as a database error";
      } else if (!before.FileExists && after.FileExists) {
        problem = "a value that cannot be converted, yet the database file was created";
      }
    }
  }
  if (problem.empty()) return outcome;

  std::string out = "FINDING: " + problem + "\n";
  out += "verdict: " + answer + "\n";
  out += "expected: " + ExpectationText(aCase) + "\n";
  if (oracle) {
    out += oracle->Success ? "oracle: success\n" : "oracle: failure: " + oracle->Error + "\n";
    if (oracle->Success) out += "oracle's table:\n" + DescribeState(oracle->State);
  }
  out += "table after the import:\n" + DescribeState(after);
  out += DescribeCase(aCase, file);
  outcome.Finding = std::move(out);
  return outcome;
}

std::string DescribeCase(const TCase& aCase, const std::string& aDatabase) {
  std::string out = fmt::format("--- case ({} form{})\n", aCase.Binary ? "binary" : "JSON",
                                aCase.Binary && aCase.StreamVersion > 0
                                    ? fmt::format(", stream version {}", aCase.StreamVersion)
                                    : "");
  if (!aCase.DatabaseExists) {
    out += "starting database: none (no file)\n";
  } else if (!aCase.TableExists) {
    out += "starting database: empty (no table)\n";
  } else {
    out += "starting table: " + aCase.CreateTableSql() + "\n";
    for (const TSqlRow& row : aCase.StartRows) {
      out += "  start row (";
      for (std::size_t i = 0; i < row.size(); ++i) {
        if (i > 0) out += ", ";
        out += row[i].Describe();
      }
      out += ")\n";
    }
  }
  const TRequest request = BuildRequest(aCase, aDatabase, true);
  if (aCase.Binary) {
    out += "x-request: " + request.Header + "\n";
    out += "stream columns:";
    for (const TColumn& column : aCase.Columns) {
      out += fmt::format(
          " {} {}", text::Quoted(column.StreamName.empty() ? column.FieldName : column.StreamName),
          StreamColumnTypeName(column.TypeIndex));
      if (column.Size != 0) out += fmt::format("({})", column.Size);
      if (column.Precision != 0) out += fmt::format("[{},{}]", column.Precision, column.Scale);
    }
    out += "\n";
    static const char* kStates[] = {"inserted", "unchanged", "modified", "deleted"};
    // A deleted row carries only the values it had; a modified one both.
    for (const TRow& row : aCase.Rows) {
      out += fmt::format("  {} row:", kStates[row.State]);
      for (const TCell& cell : row.State == 3 ? row.Original : row.Cells) {
        out += " " + cell.Expected.Describe() + ";";
      }
      if (row.State == 2) {
        out += " (was:";
        for (const TCell& cell : row.Original) out += " " + cell.Expected.Describe() + ";";
        out += ")";
      }
      out += "\n";
    }
  } else {
    out += "body: " + request.Body + "\n";
  }
  out += "expected: " + ExpectationText(aCase) + "\n";
  return out;
}

TCase Shrink(const TCase& aCase, const std::function<bool(const TCase&)>& aStillFails) {
  TCase best = aCase;
  auto attempt = [&](TCase aCandidate) {
    Expectation(aCandidate);
    if (!aStillFails(aCandidate)) return false;
    best = std::move(aCandidate);
    return true;
  };
  bool changed = true;
  for (int round = 0; changed && round < 20; ++round) {
    changed = false;
    for (std::size_t r = best.Rows.size(); r-- > 0 && best.Rows.size() > 1;) {
      TCase candidate = best;
      candidate.Rows.erase(candidate.Rows.begin() + static_cast<std::ptrdiff_t>(r));
      changed |= attempt(std::move(candidate));
    }
    for (std::size_t r = best.StartRows.size(); r-- > 0;) {
      TCase candidate = best;
      candidate.StartRows.erase(candidate.StartRows.begin() + static_cast<std::ptrdiff_t>(r));
      changed |= attempt(std::move(candidate));
    }
    // A column with its name, its values and its place in the table.
    for (std::size_t col = best.Columns.size(); col-- > 0 && best.Columns.size() > 1;) {
      TCase candidate = best;
      const int removed = static_cast<int>(col);
      candidate.Columns.erase(candidate.Columns.begin() + removed);
      for (TRow& row : candidate.Rows) {
        row.Cells.erase(row.Cells.begin() + removed);
        if (!row.Original.empty()) row.Original.erase(row.Original.begin() + removed);
      }
      auto dropNames = [&](std::vector<std::string>& aNames, std::vector<int>& aColumns) {
        for (std::size_t i = aColumns.size(); i-- > 0;) {
          if (aColumns[i] == removed) {
            aNames.erase(aNames.begin() + static_cast<std::ptrdiff_t>(i));
            aColumns.erase(aColumns.begin() + static_cast<std::ptrdiff_t>(i));
          } else if (aColumns[i] > removed) {
            --aColumns[i];
          }
        }
      };
      dropNames(candidate.Pks, candidate.PkColumns);
      dropNames(candidate.Fields, candidate.FieldColumns);
      for (std::size_t i = candidate.DbOrder.size(); i-- > 0;) {
        if (candidate.DbOrder[i] == removed) {
          candidate.DbOrder.erase(candidate.DbOrder.begin() + static_cast<std::ptrdiff_t>(i));
          for (TSqlRow& row : candidate.StartRows) {
            row.erase(row.begin() + static_cast<std::ptrdiff_t>(i));
          }
        } else if (candidate.DbOrder[i] > removed) {
          --candidate.DbOrder[i];
        }
      }
      if (candidate.KeyConstraint.find(best.Columns[col].DbName) != std::string::npos) {
        continue;  // the key constraint names it
      }
      changed |= attempt(std::move(candidate));
    }
    for (std::size_t e = best.ExtraDbColumns.size(); e-- > 0;) {
      TCase candidate = best;
      candidate.ExtraDbColumns.erase(candidate.ExtraDbColumns.begin() +
                                     static_cast<std::ptrdiff_t>(e));
      const int removed = -static_cast<int>(e) - 1;
      for (std::size_t i = candidate.DbOrder.size(); i-- > 0;) {
        if (candidate.DbOrder[i] == removed) {
          candidate.DbOrder.erase(candidate.DbOrder.begin() + static_cast<std::ptrdiff_t>(i));
          for (TSqlRow& row : candidate.StartRows) {
            row.erase(row.begin() + static_cast<std::ptrdiff_t>(i));
          }
        } else if (candidate.DbOrder[i] < removed) {
          ++candidate.DbOrder[i];
        }
      }
      changed |= attempt(std::move(candidate));
    }
  }
  return best;
}

}  // namespace tandemize::importfuzz
