// The upsert engine: for each row an existence query on the key columns,
// then an UPDATE of the other columns or an INSERT of all of them, every row
// of one import in one transaction.

#include <fmt/format.h>

#include <optional>
#include <string>
#include <vector>

#include "dbaccess/db_connection.h"
#include "dbaccess/sql_markers.h"
#include "service/dm.h"
#include "text/case_fold.h"

namespace tandemize::service {
namespace {

// What is written into a statement: only the ASCII letters change.
std::string Lowered(std::string aText) {
  for (char& c : aText) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return aText;
}

// A name as the existence query and the UPDATE write it: a plain name
// lowered, a quoted one exactly as sent, since its quotes ask the database
// for that very name. Either way ":" and the name is a marker that the
// statement layer reads back as the parameter of that name (a quoted marker
// name being what its quotes enclose).
std::string StatementName(const std::string& aName) {
  return dbaccess::StartsQuoted(aName) ? aName : Lowered(aName);
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

}  // namespace

std::vector<std::string> TDM::BuildExistsSql(json::TJsonObject& H) {
  const std::string where = KeyConditions(H);
  return {"SELECT *  ", fmt::format("  FROM {} ", StatementName(TableName(H))),
          fmt::format(" WHERE {} ", where)};
}

std::string TDM::BuildUpdateSql(json::TJsonObject& H) {
  const std::string where = KeyConditions(H);
  std::string set;
  for (const std::string& field : Names(H, "fields")) {
    if (!set.empty()) set += ", ";
    const std::string f = StatementName(field);
    set = fmt::format("{} {} = :{}", set, f, f);
  }
  return fmt::format("UPDATE {} SET {} WHERE {}", StatementName(TableName(H)), set, where);
}

std::string TDM::BuildInsertSql(json::TJsonObject& H) {
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
    WriteRows(H, T, exists, update, insert);
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
