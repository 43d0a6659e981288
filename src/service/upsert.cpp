// The upsert engine: for each row an existence query on the key columns,
// then an UPDATE of the other columns or an INSERT of all of them, every row
// of one import in one transaction.
//
// On PG the rows may also go a window at a time (upsert_mode.h): pipelined,
// the existence queries of a window sent together and then its writes;
// set-based, every row loaded into a temporary table with the server's bulk
// load, then one statement per window updating the rows whose keys exist and
// inserting the others. A window never holds two rows whose keys may be
// equal, so each existence query sees every row written before it, as one
// row at a time does.

#include "service/upsert.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
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

// Hashes of the texts under which the current row's key may equal another
// row's: one for each choice of a text per key column
// (dbaccess::ComparableKeys). None when a key value is NULL (such a row is
// never found, and never makes another row found).
std::vector<std::uint64_t> RowKeys(const TParamSources& aKeys) {
  std::vector<std::uint64_t> keys = {0};
  for (const TParamSource& source : aKeys) {
    const std::vector<std::string> parts = dbaccess::ComparableKeys(source.Field->AsVariant());
    if (parts.empty()) return {};
    std::vector<std::uint64_t> longer;
    longer.reserve(keys.size() * parts.size());
    for (const std::uint64_t key : keys) {
      for (const std::string& part : parts) {
        longer.push_back(key * 0x9E3779B97F4A7C15ULL + std::hash<std::string>{}(part));
      }
    }
    keys = std::move(longer);
  }
  return keys;
}

// The keys of the rows of a window so far, as 32-bit parts of their hashes
// (RowKeys): two keys that share one only end a window early (about one
// window more per 100,000 rows). Open addressing, so that a lookup touches
// one place in memory, at most half full.
class TWindowKeys {
 public:
  // Whether a row of aKeys may have a key equal to one of the window's.
  bool Shares(const std::vector<std::uint64_t>& aKeys) const {
    if (FSlots.empty()) return false;
    for (const std::uint64_t key : aKeys) {
      const std::uint32_t stored = Stored(key);
      for (std::size_t at = Start(stored);; at = Following(at)) {
        if (FSlots[at] == stored) return true;
        if (FSlots[at] == 0) break;
      }
    }
    return false;
  }
  void Add(const std::vector<std::uint64_t>& aKeys) {
    for (const std::uint64_t key : aKeys) {
      if (2 * (FCount + 1) > FSlots.size()) Resize(std::max<std::size_t>(1024, 2 * FSlots.size()));
      Place(Stored(key));
    }
  }
  // Room for aKeys keys without growing.
  void Reserve(std::size_t aKeys) {
    std::size_t size = 1024;
    while (size < 2 * aKeys) size *= 2;
    if (size > FSlots.size()) Resize(size);
  }
  // Emptied in a time that follows the keys it held, not the room it has.
  void Clear() {
    std::size_t size = 1024;
    while (size < 4 * FCount) size *= 2;
    if (size < FSlots.size()) {
      FSlots = std::vector<std::uint32_t>(size, 0);
    } else {
      std::fill(FSlots.begin(), FSlots.end(), 0);
    }
    FCount = 0;
  }

 private:
  static std::uint32_t Stored(std::uint64_t aKey) {
    const auto part = static_cast<std::uint32_t>(aKey >> 32);
    return part == 0 ? 1 : part;
  }
  std::size_t Start(std::uint32_t aStored) const {
    return static_cast<std::size_t>((aStored * 0x9E3779B97F4A7C15ULL) >> 32) & (FSlots.size() - 1);
  }
  std::size_t Following(std::size_t aAt) const { return (aAt + 1) & (FSlots.size() - 1); }
  void Place(std::uint32_t aStored) {
    std::size_t at = Start(aStored);
    while (FSlots[at] != 0 && FSlots[at] != aStored) at = Following(at);
    if (FSlots[at] == 0) {
      FSlots[at] = aStored;
      ++FCount;
    }
  }
  void Resize(std::size_t aSize) {
    const std::vector<std::uint32_t> old =
        std::exchange(FSlots, std::vector<std::uint32_t>(aSize, 0));
    FCount = 0;
    for (const std::uint32_t stored : old) {
      if (stored != 0) Place(stored);
    }
  }

  std::vector<std::uint32_t> FSlots;
  std::size_t FCount = 0;
};

using memtable::TVariant;

std::atomic<TPgUpsert> gPgUpsert{TPgUpsert::Pipelined};

// The statements of the set-based way: a temporary table c1..cN (the keys,
// then the other fields), w (the window) and n (the row's place), loaded
// with COPY; per window one statement that updates the table's rows whose
// keys are among the window's and inserts the window's other rows in their
// order. Its reading of the table is the one from before its update, which
// changes no key. A row the update matched has a key in the table, so
// leaving out the rows the update returns changes nothing in what is
// inserted; it spares the server a search of the table's key for each of
// them. The fields feed c1..cN.
struct TSetStatements {
  std::vector<const memtable::TField*> Fields;
  std::string Create, Copy, Index, Merge;
};

// Temporary tables of the set-based way, numbered for the process.
std::atomic<std::uint64_t> gSetTables{0};

std::string TextOf(const TVariant& aValue) {
  const auto* text = std::get_if<std::string>(&aValue);
  return text != nullptr ? *text : std::string();
}

// The temporary table's columns take the table's column types by their
// names alone, without a length or precision (which would cut values that
// must fail instead): a value fails where the sequential way's fails, when
// it is written into the table's column. The table is named with its schema
// in the statements, so that no temporary table can stand for it.
TSetStatements BuildSetStatements(json::TJsonObject& H, memtable::TMemTable& T,
                                  dbaccess::TDbConnection& aConnection) {
  const std::vector<std::string> keys = Names(H, "pks");
  std::vector<std::string> names = keys;
  for (std::string& field : Names(H, "fields")) names.push_back(std::move(field));
  if (names.size() == keys.size()) throw TRedoSequentially{};

  dbaccess::TDbQuery columns(&aConnection);
  columns.SQL().SetText(
      "SELECT a.attname, format('%I.%I', n.nspname, t.typname), t.typcategory, "
      "format('%I.%I', cn.nspname, c.relname) FROM pg_attribute a "
      "JOIN pg_type t ON t.oid = a.atttypid JOIN pg_namespace n ON n.oid = t.typnamespace "
      "JOIN pg_class c ON c.oid = a.attrelid JOIN pg_namespace cn ON cn.oid = c.relnamespace "
      "WHERE a.attrelid = CAST(:t AS regclass) AND a.attnum > 0 AND NOT a.attisdropped");
  columns.ParamByName("t") = StatementName(TableName(H));
  columns.Open();
  std::vector<std::array<std::string, 3>> found;  // name, type, category
  std::string table;
  for (; !columns.Eof(); columns.Next()) {
    found.push_back({TextOf(columns.FieldValue(0)), TextOf(columns.FieldValue(1)),
                     TextOf(columns.FieldValue(2))});
    table = TextOf(columns.FieldValue(3));
  }
  columns.Close();
  if (table.empty()) throw TRedoSequentially{};

  TSetStatements set;
  const std::string rows = fmt::format("tz_set_rows_{}", ++gSetTables);
  std::string definitions, loaded, values, conditions, assignments, insertColumns;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string name = StatementName(names[i]);
    const std::string_view column = Unquoted(name);
    const auto match =
        std::find_if(found.begin(), found.end(), [&](const auto& f) { return f[0] == column; });
    // Array columns: values of array types are left to the sequential way.
    if (match == found.end() || (*match)[2] == "A") throw TRedoSequentially{};
    set.Fields.push_back(&T.FieldByName(std::string(column)));
    const std::string separator = i == 0 ? "" : ", ";
    definitions += fmt::format("{}c{} {}", separator, i + 1, (*match)[1]);
    loaded += fmt::format("{}c{}", separator, i + 1);
    values += fmt::format("{}v.c{}", separator, i + 1);
    insertColumns += separator + names[i];
    if (i < keys.size()) {
      conditions += fmt::format("{}t.{} = v.c{}", i == 0 ? "" : " AND ", name, i + 1);
    } else {
      assignments += fmt::format("{}{} = v.c{}", i == keys.size() ? "" : ", ", name, i + 1);
    }
  }
  set.Create = fmt::format("CREATE TEMPORARY TABLE {} ({}, w integer, n integer) ON COMMIT DROP",
                           rows, definitions);
  set.Copy = fmt::format("COPY {} ({}, w, n) FROM STDIN", rows, loaded);
  set.Index = fmt::format("CREATE INDEX ON {} (w)", rows);
  set.Merge = fmt::format(
      "WITH u AS (UPDATE {} AS t SET {} FROM {} AS v WHERE v.w = :w AND {} RETURNING v.n) "
      "INSERT INTO {} ({}) SELECT {} FROM {} AS v "
      "WHERE v.w = :w AND NOT EXISTS (SELECT 1 FROM u WHERE u.n = v.n) "
      "AND NOT EXISTS (SELECT 1 FROM {} AS t WHERE {}) ORDER BY v.n",
      table, assignments, rows, conditions, table, insertColumns, values, rows, table, conditions);
  return set;
}

void Exec(dbaccess::TDbConnection& aConnection, const std::string& aSql) {
  dbaccess::TDbQuery query(&aConnection);
  query.SQL().SetText(aSql);
  query.ExecSQL();
}

// The set-based way: the rows loaded, then the windows' statements sent
// together.
void WriteSets(json::TJsonObject& H, memtable::TMemTable& T, dbaccess::TDbConnection& aConnection,
               const TParamSources& aKeys) {
  const TSetStatements set = BuildSetStatements(H, T, aConnection);
  Exec(aConnection, set.Create);
  dbaccess::TDbBatch batch(aConnection);
  batch.StartCopy(set.Copy);
  std::int64_t window = 1, order = 0;
  TWindowKeys windowKeys;
  windowKeys.Reserve(static_cast<std::size_t>(T.RecordCount()));
  for (T.First(); !T.Eof(); T.Next()) {
    const std::vector<std::uint64_t> keys = RowKeys(aKeys);
    if (windowKeys.Shares(keys)) {
      ++window;
      windowKeys.Clear();
    }
    windowKeys.Add(keys);
    for (const memtable::TField* field : set.Fields) batch.CopyValue(*field);
    batch.CopyValue(window);
    batch.CopyValue(++order);
    batch.EndCopyRow();
  }
  batch.FinishCopy();
  if (order == 0) return;

  dbaccess::TDbQuery merge(&aConnection);
  merge.SQL().SetText(set.Merge);
  if (window == 1) {
    merge.ParamByName("w") = std::int64_t{1};
    merge.ExecSQL();
    return;
  }
  Exec(aConnection, set.Index);
  for (std::int64_t w = 1; w <= window; ++w) {
    merge.ParamByName("w") = w;
    batch.Add(merge);
    if (batch.Size() == kWindowRows || w == window) batch.Run();
  }
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
                       dbaccess::TDbQuery& aUpdate, dbaccess::TDbQuery& aInsert, bool aAsSets) {
  TParamSources keySources;
  dbaccess::TDbParams& keys = aExists.Params();
  for (int i = 0; i < keys.Count(); ++i) {
    const memtable::TField* field = T.FindField(keys[i].Name());
    if (field == nullptr) ThrowKeyFieldNotFound(H, keys[i].Name());
    keySources.push_back({&keys[i], field});
  }
  dbaccess::TDbConnection& connection = *FDbConnection;
  if (aAsSets) {
    try {
      WriteSets(H, T, connection, keySources);
    } catch (...) {
      throw TRedoSequentially{};
    }
    return;
  }
  dbaccess::TDbBatch batch(connection);
  std::optional<TParamSources> updateSources, insertSources;
  std::vector<int> window;
  TWindowKeys windowKeys;

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
  auto writeWindow = [&] {
    if (window.empty()) return;
    writePipelined();
    window.clear();
    windowKeys.Clear();
  };

  for (T.First(); !T.Eof(); T.Next()) {
    const std::vector<std::uint64_t> keys = RowKeys(keySources);
    if (window.size() == kWindowRows || windowKeys.Shares(keys)) {
      const int record = T.RecNo();
      writeWindow();
      T.SetRecNo(record);
    }
    window.push_back(T.RecNo());
    windowKeys.Add(keys);
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
