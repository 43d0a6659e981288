// The upsert engine: for each row an existence query on the key columns,
// then an UPDATE of the other columns or an INSERT of all of them, every row
// of one import in one transaction.
//
// On PG the rows may also go a window at a time (upsert_mode.h): pipelined,
// the existence queries of a window sent together and then its writes;
// set-based, a window's rows as arrays in one UPDATE and one INSERT. A
// window never holds two rows whose keys may be equal, so each existence
// query sees every row written before it, as one row at a time does.

#include "service/upsert.h"

#include <fmt/format.h>

#include <atomic>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "dbaccess/db_batch.h"
#include "dbaccess/db_connection.h"
#include "dbaccess/sql_markers.h"
#include "service/dm.h"
#include "service/identifiers.h"
#include "service/upsert_mode.h"
#include "text/case_fold.h"

namespace tandemize::service {
namespace {

// A name as the existence query and the UPDATE write it: a plain name
// lowered, a quoted one exactly as sent, since its quotes ask the database
// for that very name. Either way ":" and the name is a marker that the
// statement layer reads back as the parameter of that name (a quoted marker
// name being what its quotes enclose).
std::string StatementName(const std::string& aName) {
  // Only the ASCII letters of a plain name change.
  return dbaccess::StartsQuoted(aName) ? aName : text::AsciiLowerCase(aName);
}

// The name a quoted marker stands for: what the quotes enclose.
std::string_view Unquoted(std::string_view aName) {
  return dbaccess::StartsQuoted(aName) && aName.size() >= 2 ? aName.substr(1, aName.size() - 2)
                                                            : aName;
}

std::string TableName(json::TJsonObject& H) {
  return H["teble_name"].AsString();
}

std::vector<std::string> Names(json::TJsonObject& H, std::string_view aMember) {
  json::TJsonArray& list = H[aMember].AsArray();
  std::vector<std::string> names;
  names.reserve(static_cast<std::size_t>(list.Count()));
  for (int i = 0; i < list.Count(); ++i) names.push_back(list[i].AsString());
  return names;
}

// " k1 = :k1 AND  k2 = :k2" (plain names lowered): the condition on the keys.
std::string KeyConditions(json::TJsonObject& H) {
  std::string where;
  for (const std::string& key : Names(H, "pks")) {
    if (!where.empty()) where += " AND ";
    const std::string k = StatementName(key);
    where = fmt::format("{} {} = :{}", where, k, k);
  }
  return where;
}

// A statement's parameters with the fields that feed them, looked up once
// per import instead of once per row.
struct TParamSource {
  dbaccess::TDbParam* Param;
  const memtable::TField* Field;
};
using TParamSources = std::vector<TParamSource>;

// A row's value goes to the parameter typed by the value itself; a null
// takes the data type of the field that holds it, so that every kind can
// bind it and the column receives NULL.
void BindRow(const TParamSources& aSources) {
  for (const TParamSource& source : aSources) source.Param->AssignFieldValue(*source.Field);
}

// The sources of a write statement; a parameter without a field fails as
// FieldByName fails.
TParamSources WriteSources(dbaccess::TDbQuery& Q, memtable::TMemTable& T) {
  dbaccess::TDbParams& params = Q.Params();
  TParamSources sources;
  sources.reserve(static_cast<std::size_t>(params.Count()));
  for (int i = 0; i < params.Count(); ++i) {
    sources.push_back({&params[i], &T.FieldByName(params[i].Name())});
  }
  return sources;
}

// Rows sent together at most: a window's answers are read in one go.
constexpr std::size_t kWindowRows = 1000;

// A window that its mode could not write: the import is done again from the
// start, one row at a time, which gives that way's verdict and message.
struct TRedoSequentially {};

// The current row's key, as far as equality goes; none when a key value is
// NULL (such a row is never found, and never makes another row found).
std::optional<std::string> RowKey(const TParamSources& aKeys) {
  std::string key;
  for (const TParamSource& source : aKeys) {
    const std::optional<std::string> part = dbaccess::ComparableKey(source.Field->AsVariant());
    if (!part) return std::nullopt;
    key += *part;
    key += '\x1f';
  }
  return key;
}

using memtable::TVariant;

std::atomic<TPgUpsert> gPgUpsert{TPgUpsert::Pipelined};

// The array statements of the set-based way, and the fields that feed
// their parameters :a1..:aN (the keys, then the other fields).
struct TSetStatements {
  std::vector<const memtable::TField*> Fields;
  std::string Update, Insert;
};

std::string TextOf(const TVariant& aValue) {
  const auto* text = std::get_if<std::string>(&aValue);
  return text != nullptr ? *text : std::string();
}

// Column types as array casts accept them: the type's own name, without a
// length or precision (which would cut values that must fail instead).
TSetStatements BuildSetStatements(json::TJsonObject& H, memtable::TMemTable& T,
                                  dbaccess::TDbConnection& aConnection) {
  const std::string table = StatementName(TableName(H));
  const std::vector<std::string> keys = Names(H, "pks");
  std::vector<std::string> names = keys;
  for (std::string& field : Names(H, "fields")) names.push_back(std::move(field));
  if (names.size() == keys.size()) throw TRedoSequentially{};

  dbaccess::TDbQuery types(&aConnection);
  types.SQL().SetText(
      "SELECT format('%I.%I', n.nspname, t.typname), t.typcategory FROM pg_attribute a "
      "JOIN pg_type t ON t.oid = a.atttypid JOIN pg_namespace n ON n.oid = t.typnamespace "
      "WHERE a.attrelid = CAST(:t AS regclass) AND a.attname = :c AND a.attnum > 0 "
      "AND NOT a.attisdropped");
  TSetStatements set;
  std::string arrays, columns, values, conditions, assignments, insertColumns;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string name = StatementName(names[i]);
    types.ParamByName("t") = table;
    types.ParamByName("c") = std::string(Unquoted(name));
    types.Open();
    // Array columns would be flattened by unnest.
    if (types.IsEmpty() || TextOf(types.FieldValue(1)) == "A") throw TRedoSequentially{};
    const std::string type = TextOf(types.FieldValue(0));
    types.Close();
    set.Fields.push_back(&T.FieldByName(std::string(Unquoted(names[i]))));
    const std::string column = fmt::format("c{}", i + 1);
    const std::string separator = i == 0 ? "" : ", ";
    arrays += fmt::format("{}CAST(:a{} AS {}[])", separator, i + 1, type);
    columns += separator + column;
    values += fmt::format("{}v.{}", separator, column);
    insertColumns += separator + names[i];
    if (i < keys.size()) {
      conditions += fmt::format("{}t.{} = v.{}", i == 0 ? "" : " AND ", name, column);
    } else {
      assignments += fmt::format("{}{} = v.{}", i == keys.size() ? "" : ", ", name, column);
    }
  }
  set.Update = fmt::format("UPDATE {} AS t SET {} FROM unnest({}) AS v({}) WHERE {}", table,
                           assignments, arrays, columns, conditions);
  set.Insert = fmt::format(
      "INSERT INTO {} ({}) SELECT {} FROM unnest({}) WITH ORDINALITY AS v({}, n) "
      "WHERE NOT EXISTS (SELECT 1 FROM {} AS t WHERE {}) ORDER BY v.n",
      table, insertColumns, values, arrays, columns, table, conditions);
  return set;
}

}  // namespace

TPgUpsert PgUpsertMode() noexcept {
  return gPgUpsert.load();
}

void SetPgUpsertMode(TPgUpsert aMode) noexcept {
  gPgUpsert.store(aMode);
}

bool ParsePgUpsertMode(std::string_view aText, TPgUpsert& aMode) {
  for (const TPgUpsert mode : {TPgUpsert::Sequential, TPgUpsert::Pipelined, TPgUpsert::Set}) {
    if (text::EqualsIgnoringAsciiCase(aText, PgUpsertModeName(mode))) {
      aMode = mode;
      return true;
    }
  }
  return false;
}

std::string_view PgUpsertModeName(TPgUpsert aMode) {
  switch (aMode) {
    case TPgUpsert::Sequential:
      return "sequential";
    case TPgUpsert::Set:
      return "set";
    default:
      return "pipelined";
  }
}

std::vector<std::string> BuildExistsSql(json::TJsonObject& H) {
  const std::string where = KeyConditions(H);
  return {"SELECT *  ", fmt::format("  FROM {} ", StatementName(TableName(H))),
          fmt::format(" WHERE {} ", where)};
}

std::string BuildUpdateSql(json::TJsonObject& H) {
  const std::string where = KeyConditions(H);
  std::string set;
  for (const std::string& field : Names(H, "fields")) {
    if (!set.empty()) set += ", ";
    const std::string f = StatementName(field);
    set = fmt::format("{} {} = :{}", set, f, f);
  }
  return fmt::format("UPDATE {} SET {} WHERE {}", StatementName(TableName(H)), set, where);
}

std::string BuildInsertSql(json::TJsonObject& H) {
  std::vector<std::string> names = Names(H, "pks");
  for (std::string& field : Names(H, "fields")) names.push_back(std::move(field));
  std::string columns, values;
  for (const std::string& name : names) {
    if (!columns.empty()) {
      columns += ", ";
      values += ", ";
    }
    columns = fmt::format("{} {}", columns, name);
    values = fmt::format("{} :{}", values, name);
  }
  return fmt::format("INSERT INTO {} ({}) VALUES ({})", StatementName(TableName(H)), columns,
                     values);
}

void TDM::CheckHeaderIdentifiers(json::TJsonObject& H) const {
  const TTipoSgdb kind = FParamsDB->TipoSgdb();
  CheckIdentifier(TableName(H), kind);
  for (const std::string& name : Names(H, "pks")) CheckIdentifier(name, kind);
  for (const std::string& name : Names(H, "fields")) CheckIdentifier(name, kind);
}

void TDM::WriteRows(json::TJsonObject& H, memtable::TMemTable& T, dbaccess::TDbQuery& aExists,
                    dbaccess::TDbQuery& aUpdate, dbaccess::TDbQuery& aInsert) {
  // Every row of the table has the same fields: each parameter's field is
  // found once. The key fields are checked before the first existence
  // query; a write statement's fields when it first runs.
  TParamSources existsSources;
  dbaccess::TDbParams& keys = aExists.Params();
  for (int i = 0; i < keys.Count(); ++i) {
    const memtable::TField* field = T.FindField(keys[i].Name());
    if (field == nullptr) ThrowKeyFieldNotFound(H, keys[i].Name());
    existsSources.push_back({&keys[i], field});
  }
  std::optional<TParamSources> updateSources, insertSources;
  for (T.First(); !T.Eof(); T.Next()) {
    BindRow(existsSources);
    const bool found = RunExists(aExists);
    dbaccess::TDbQuery& write = found ? aUpdate : aInsert;
    std::optional<TParamSources>& sources = found ? updateSources : insertSources;
    if (!sources) sources = WriteSources(write, T);
    BindRow(*sources);
    write.ExecSQL();
  }
}

void TDM::WriteWindows(json::TJsonObject& H, memtable::TMemTable& T, dbaccess::TDbQuery& aExists,
                       dbaccess::TDbQuery& aUpdate, dbaccess::TDbQuery& aInsert, bool aAsArrays) {
  TParamSources keySources;
  dbaccess::TDbParams& keys = aExists.Params();
  for (int i = 0; i < keys.Count(); ++i) {
    const memtable::TField* field = T.FindField(keys[i].Name());
    if (field == nullptr) ThrowKeyFieldNotFound(H, keys[i].Name());
    keySources.push_back({&keys[i], field});
  }
  dbaccess::TDbConnection& connection = *FDbConnection;
  dbaccess::TDbBatch batch(connection);
  std::optional<TParamSources> updateSources, insertSources;
  std::optional<TSetStatements> set;
  dbaccess::TDbQuery setUpdate(&connection), setInsert(&connection);
  std::vector<int> window;
  std::unordered_set<std::string> windowKeys;

  // Sends the writes added so far, then raises aFailure: a write of an
  // earlier row that fails is the first failure.
  auto failAfterWrites = [&](const std::exception_ptr& aFailure) {
    if (batch.Size() > 0) batch.Run();
    std::rethrow_exception(aFailure);
  };
  // The existence queries of the window, then its writes.
  auto writePipelined = [&] {
    for (std::size_t i = 0; i < window.size(); ++i) {
      T.SetRecNo(window[i]);
      BindRow(keySources);
      try {
        batch.Add(aExists);
      } catch (...) {
        if (i == 0) throw;
        throw TRedoSequentially{};
      }
    }
    std::vector<bool> found;
    try {
      for (const std::int64_t rows : batch.Run()) found.push_back(rows > 0);
    } catch (const dbaccess::EBatchRunFailed& e) {
      // The writes of the rows before it would have run first.
      if (e.Index() == 0) throw;
      throw TRedoSequentially{};
    }
    for (std::size_t i = 0; i < window.size(); ++i) {
      T.SetRecNo(window[i]);
      dbaccess::TDbQuery& write = found[i] ? aUpdate : aInsert;
      std::optional<TParamSources>& sources = found[i] ? updateSources : insertSources;
      try {
        if (!sources) sources = WriteSources(write, T);
        BindRow(*sources);
        batch.Add(write);
      } catch (...) {
        failAfterWrites(std::current_exception());
      }
    }
    batch.Run();
  };
  // One UPDATE and one INSERT for the whole window.
  auto writeSet = [&] {
    if (!set) {
      set = BuildSetStatements(H, T, connection);
      setUpdate.SQL().SetText(set->Update);
      setInsert.SQL().SetText(set->Insert);
    }
    std::vector<dbaccess::TDbBatch::TArray> arrays(set->Fields.size());
    dbaccess::TDbParam value("value");
    for (const int record : window) {
      T.SetRecNo(record);
      for (std::size_t i = 0; i < arrays.size(); ++i) {
        value.AssignFieldValue(*set->Fields[i]);
        arrays[i].Types.push_back(value.DataType());
        arrays[i].Values.push_back(value.Value());
      }
    }
    batch.RunWithArrays(setUpdate, arrays);
    batch.RunWithArrays(setInsert, arrays);
  };
  auto writeWindow = [&] {
    if (window.empty()) return;
    if (aAsArrays) {
      try {
        writeSet();
      } catch (...) {
        throw TRedoSequentially{};
      }
    } else {
      writePipelined();
    }
    window.clear();
    windowKeys.clear();
  };

  for (T.First(); !T.Eof(); T.Next()) {
    const std::optional<std::string> key = RowKey(keySources);
    if (window.size() == kWindowRows || (key && windowKeys.contains(*key))) {
      const int record = T.RecNo();
      writeWindow();
      T.SetRecNo(record);
    }
    window.push_back(T.RecNo());
    if (key) windowKeys.insert(*key);
  }
  writeWindow();
}

bool TDM::RunExists(dbaccess::TDbQuery& Q) {
  Q.Open();
  const bool found = !Q.IsEmpty();
  Q.Close();
  return found;
}

void TDM::ThrowKeyFieldNotFound(json::TJsonObject& H, const std::string& aParamName) {
  // Name the key as the envelope spells it.
  std::string key = aParamName;
  for (const std::string& name : Names(H, "pks")) {
    if (text::EqualsIgnoringCase(Unquoted(name), key)) key = name;
  }
  throw EDataService(fmt::format(fmt::runtime(kKeyFieldNotFound), key));
}

void TDM::ApplyRows(json::TJsonObject& E, memtable::TMemTable& T) {
  json::TJsonObject& H = E["headers"].AsObject();
  FImportSummary = {FParamsDB->Driver(), TableName(H), 0};
  // No statement runs with a name that could change its meaning.
  CheckHeaderIdentifiers(H);

  dbaccess::TDbConnection& connection = *FDbConnection;
  // One query per statement text for the whole import: each text is
  // prepared once and then only bound and run again for every row.
  dbaccess::TDbQuery exists(&connection);
  dbaccess::TDbQuery update(&connection);
  dbaccess::TDbQuery insert(&connection);
  try {
    if (!connection.Connected()) connection.SetConnected(true);
    if (!connection.InTransaction()) connection.StartTransaction();
    exists.SQL().Clear();
    for (const std::string& line : BuildExistsSql(H)) exists.SQL().Add(line);
    update.SQL().SetText(BuildUpdateSql(H));
    insert.SQL().SetText(BuildInsertSql(H));

    FImportSummary.Rows = static_cast<std::size_t>(T.RecordCount());
    const TPgUpsert mode =
        FParamsDB->TipoSgdb() == TTipoSgdb::tpPG ? PgUpsertMode() : TPgUpsert::Sequential;
    if (mode == TPgUpsert::Sequential || !dbaccess::TDbBatch(connection).Available()) {
      WriteRows(H, T, exists, update, insert);
    } else {
      try {
        WriteWindows(H, T, exists, update, insert, mode == TPgUpsert::Set);
      } catch (const TRedoSequentially&) {
        connection.Rollback();
        connection.StartTransaction();
        WriteRows(H, T, exists, update, insert);
      }
    }
    if (connection.InTransaction()) connection.Commit();
  } catch (const std::exception& e) {
    const std::string message = MessageOf(e);
    try {
      if (connection.InTransaction()) connection.Rollback();
    } catch (...) {
      // The import's own failure is what the client needs to see.
    }
    throw EDataService(message);
  }
}

}  // namespace tandemize::service
