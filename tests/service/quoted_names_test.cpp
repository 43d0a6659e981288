// Names in statements: a table, key or field name that the identifier check
// accepts reaches the database exactly as written and is read there as that
// one name: a quoted one whatever it holds ("--", "/*", "'", ":", ";",
// blanks), a plain one only with the "$" and "#" the kind reads as part of
// a name. Every other name is refused before any statement runs.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "dbaccess/internal/phys_values.h"
#include "dbaccess/sql_markers.h"
#include "service/dm.h"
#include "service/identifiers.h"
#include "service/upsert.h"

namespace tandemize::service {
namespace {

namespace fs = std::filesystem;
using enum TTipoSgdb;

// Names that end or hide a statement's markers when read outside quotes.
const char* const kOddNames[] = {"x--y", "x/*y", "x*/y", "it's", "a :nome", ":id",
                                 "a::b", "a;b",  "a b",  "--",   "/*",      "a=:b'"};

std::string Quoted(char aOpen, const std::string& aName, char aClose) {
  return aOpen + aName + aClose;
}

// aText as a JSON string.
std::string JsonString(const std::string& aText) {
  std::string out = "\"";
  for (const char c : aText) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string DriverIdOf(TTipoSgdb aKind) {
  return TParamsDB::New({})->TipoSgdb(aKind)->Driver();
}

std::string StatementText(const std::vector<std::string>& aLines) {
  std::string text;
  for (const std::string& line : aLines) text += line + "\r\n";
  return text;
}

TEST(QuotedNames, EachKindAcceptsTheFormsItsStatementsReadWhole) {
  struct Kind {
    TTipoSgdb Kind;
    std::string Opens;  // the opening quotes of the accepted forms
  };
  const Kind kinds[] = {{tpFB, "\""},
                        {tpIB, "\""},
                        {tpPG, "\""},
                        {tpMySQL, "`"},
                        {tpMSSQL, "\"["},
                        {tpSQLite, "\"[`"},
                        {static_cast<TTipoSgdb>(9), "\""}};
  const std::pair<char, char> forms[] = {{'"', '"'}, {'[', ']'}, {'`', '`'}};
  for (const Kind& kind : kinds) {
    const std::string driverId = DriverIdOf(kind.Kind);
    for (const auto& [open, close] : forms) {
      const bool accepted = kind.Opens.find(open) != std::string::npos;
      for (const std::string odd : kOddNames) {
        const std::string table = Quoted(open, "t " + odd, close),
                          key = Quoted(open, "k " + odd, close),
                          field = Quoted(open, "f " + odd, close);
        SCOPED_TRACE("kind " + std::to_string(static_cast<int>(kind.Kind)) + ": " + field);
        EXPECT_EQ(IsAcceptedIdentifier(table, kind.Kind), accepted);
        if (!accepted) continue;
        // The statements write the names as sent; each marker reads back as
        // the name its quotes enclose, and nothing else is a marker.
        json::TJsonObject h;
        h.Parse("{\"teble_name\":" + JsonString(table) + ",\"pks\":[" + JsonString(key) +
                ",\"id\"],\"fields\":[" + JsonString(field) + "]}");
        const auto rewritten = [&](const std::string& aText, std::vector<std::string> aNames) {
          const dbaccess::TMarkerScan scan = dbaccess::ScanMarkers(aText, driverId);
          EXPECT_EQ(scan.Names, aNames) << aText;
          return dbaccess::RewriteMarkers(aText, scan, [](int) { return std::string("?"); });
        };
        EXPECT_EQ(
            rewritten(StatementText(BuildExistsSql(h)), {"k " + odd, "ID"}),
            "SELECT *  \r\n  FROM " + table + " \r\n WHERE  " + key + " = ? AND  id = ? \r\n");
        EXPECT_EQ(rewritten(BuildUpdateSql(h), {"f " + odd, "k " + odd, "ID"}),
                  "UPDATE " + table + " SET  " + field + " = ? WHERE  " + key + " = ? AND  id = ?");
        EXPECT_EQ(
            rewritten(BuildInsertSql(h), {"k " + odd, "ID", "f " + odd}),
            "INSERT INTO " + table + " ( " + key + ",  id,  " + field + ") VALUES ( ?,  ?,  ?)");
      }
    }
  }
}

TEST(QuotedNames, RefusedWhateverTheKind) {
  const std::string refused[] = {
      "\"a\"\"b\"",  // a closing quote, even doubled
      "`a``b`",
      "[a]]b]",
      "\"a\"b\"",
      "\"a]",
      "[a\"",
      "\"a\tb\"",                   // a control character
      std::string("\"a\0b\"", 5),   // a NUL, quoted
      std::string("t\0; drop", 8),  // a NUL after a plain name
      std::string("t\0", 2),
  };
  for (const TTipoSgdb kind : {tpFB, tpIB, tpPG, tpMySQL, tpMSSQL, tpSQLite}) {
    for (const std::string& name : refused) {
      EXPECT_FALSE(IsAcceptedIdentifier(name, kind))
          << static_cast<int>(kind) << " " << std::string(name.c_str());
    }
  }
}

TEST(PlainNames, DollarAndHashOnlyWhereTheKindReadsThemInAName) {
  struct Case {
    const char* Name;
    TTipoSgdb Kind;
    bool Accepted;
  };
  const Case cases[] = {
      {"a$b", tpPG, true},       // one name
      {"$1", tpPG, false},       // the first parameter
      {"s.$1", tpPG, false},     // the same, qualified
      {"a#b", tpPG, false},      // a # b, an operator
      {"$1", tpMSSQL, false},    // a money literal
      {"#tmp", tpMSSQL, true},   // a temporary table
      {"a#b", tpMySQL, false},   // a, then a comment
      {"$a", tpMySQL, true},     // one name
      {"$x", tpSQLite, false},   // a parameter
      {"a#b", tpSQLite, false},  // a, then a parameter
      {"a$b", tpSQLite, true},   // one name
      {"$tmp", tpFB, true},      // no other reading: left as it was
      {"a#b", tpIB, true},       // no other reading: left as it was
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsAcceptedIdentifier(c.Name, c.Kind), c.Accepted)
        << c.Name << " " << static_cast<int>(c.Kind);
  }
}

// An import into a SQLite file that does not exist yet: a refused name ends
// it before anything is opened, and the verdict names the whole name, NUL
// and all (the writer shows the NUL as an escape).
TEST(QuotedNames, ANameHoldingANulIsRefusedWhole) {
  const fs::path file =
      fs::temp_directory_path() / ("quoted_names_nul_" + std::to_string(::getpid()) + ".db");
  fs::remove(file);
  struct Case {
    std::string Headers;
    std::string Message;
  };
  const Case cases[] = {
      {R"({"teble_name":"t\u0000; drop","pks":["id"],"fields":["nome"]})",
       R"(Invalid identifier: t\u0000; drop)"},
      {R"({"teble_name":"t","pks":["\"id\u0000x\""],"fields":["nome"]})",
       R"(Invalid identifier: \"id\u0000x\")"},
      {R"({"teble_name":"t","pks":["id"],"fields":["nome\u0000"]})",
       R"(Invalid identifier: nome\u0000)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Headers);
    text::TByteStream body;
    body.Write(R"({"params":{"tipo_sgdb":5,"database":)" + JsonString(file.string()) +
               "},\"headers\":" + c.Headers +
               R"(,"tandemize":{"structure":[{"fieldName":"id","dataType":"ftInteger"},)"
               R"({"fieldName":"nome","dataType":"ftWideString","size":20}],)"
               R"("data":[{"id":1,"nome":"a"}]}})");
    TDMInstance dm;
    EXPECT_EQ(dm->Tandemize("", &body, false),
              R"({"success":false,"message":")" + c.Message + "\"}");
    EXPECT_FALSE(fs::exists(file));
  }
}

// The body of an import of two rows, keys 1 and 2, into aTable (key aKey,
// field aField, both named by the rows without their quotes).
std::string ImportBody(const std::string& aParams, const std::string& aTable,
                       const std::string& aKey, const std::string& aKeyName,
                       const std::string& aField, const std::string& aFieldName) {
  const std::string k = JsonString(aKeyName), f = JsonString(aFieldName);
  return "{\"params\":" + aParams + ",\"headers\":{\"teble_name\":" + JsonString(aTable) +
         ",\"pks\":[" + JsonString(aKey) + "],\"fields\":[" + JsonString(aField) +
         "]},\"tandemize\":{\"structure\":[{\"fieldName\":" + k +
         ",\"dataType\":\"ftInteger\"},{\"fieldName\":" + f +
         ",\"dataType\":\"ftWideString\",\"size\":20}],\"data\":[{" + k + ":1," + f +
         ":\"new\"},{" + k + ":2," + f + ":\"two\"}]}}";
}

std::string Import(const std::string& aBody) {
  text::TByteStream body;
  body.Write(aBody);
  TDMInstance dm;
  return dm->Tandemize("", &body, false);
}

const std::string kSucceeded = R"({"success":true,"message":"Dados Importado com sucesso!"})";
// What each table holds after the import: row 1 updated, row 2 inserted.
const std::vector<std::pair<std::string, std::string>> kImported = {{"1", "new"}, {"2", "two"}};

// SQLite's own reading of a statement, apart from the statement layer.
class TRawSqlite {
 public:
  explicit TRawSqlite(const fs::path& aFile) {
    EXPECT_EQ(
        sqlite3_open_v2(aFile.c_str(), &FDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr),
        SQLITE_OK);
  }
  ~TRawSqlite() { sqlite3_close_v2(FDb); }
  TRawSqlite(const TRawSqlite&) = delete;
  TRawSqlite& operator=(const TRawSqlite&) = delete;

  void Exec(const std::string& aSql) {
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(FDb, aSql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
        << aSql << ": " << (error ? error : "");
    sqlite3_free(error);
  }
  // Every row of a two-column query, NULL as "NULL".
  std::vector<std::pair<std::string, std::string>> Rows(const std::string& aSql) {
    std::vector<std::pair<std::string, std::string>> rows;
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(FDb, aSql.c_str(), -1, &statement, nullptr), SQLITE_OK) << aSql;
    auto text = [&](int column) {
      const unsigned char* value = sqlite3_column_text(statement, column);
      return value ? std::string(reinterpret_cast<const char*>(value)) : std::string("NULL");
    };
    while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
      rows.emplace_back(text(0), text(1));
    }
    sqlite3_finalize(statement);
    return rows;
  }

 private:
  sqlite3* FDb = nullptr;
};

TEST(QuotedNames, SqliteImportWritesExactlyTheSentValues) {
  const std::pair<char, char> forms[] = {{'"', '"'}, {'[', ']'}, {'`', '`'}};
  for (const auto& [open, close] : forms) {
    for (const std::string odd : kOddNames) {
      // Only the table quoted (a marker hidden here would be bound by SQLite
      // itself, as NULL), then the key and the field quoted as well.
      for (const bool quotedColumns : {false, true}) {
        const std::string table = Quoted(open, "t " + odd, close),
                          keyName = quotedColumns ? "k " + odd : "id",
                          fieldName = quotedColumns ? "f " + odd : "nome",
                          key = quotedColumns ? Quoted(open, keyName, close) : keyName,
                          field = quotedColumns ? Quoted(open, fieldName, close) : fieldName;
        SCOPED_TRACE(table + " " + field);
        const fs::path file =
            fs::temp_directory_path() / ("quoted_names_" + std::to_string(::getpid()) + ".db");
        fs::remove(file);
        {
          TRawSqlite db(file);
          db.Exec("CREATE TABLE " + table + " (" + key + " INTEGER PRIMARY KEY, " + field +
                  " TEXT); INSERT INTO " + table + " VALUES (1, 'old')");
        }
        EXPECT_EQ(
            Import(ImportBody(R"({"tipo_sgdb":5,"database":)" + JsonString(file.string()) + "}",
                              table, key, keyName, field, fieldName)),
            kSucceeded);
        TRawSqlite db(file);
        EXPECT_EQ(db.Rows("SELECT " + key + ", " + field + " FROM " + table + " ORDER BY 1"),
                  kImported);
        fs::remove(file);
      }
    }
  }
}

// The value of an environment variable; a missing one fails the test.
std::string RequiredEnv(const std::string& aName) {
  const char* value = std::getenv(aName.c_str());
  if (value == nullptr || *value == '\0') {
    ADD_FAILURE() << aName << " is not set: source build-test/test-databases.env";
    return {};
  }
  return value;
}

// A test server of one kind, reached through TANDEMIZE_<prefix>_*.
struct TServer {
  TTipoSgdb Kind;
  std::string Prefix;
  char Open, Close;
  std::string Params() const {
    const std::string p = "TANDEMIZE_" + Prefix + "_";
    return "{\"tipo_sgdb\":" + std::to_string(static_cast<int>(Kind)) +
           ",\"host\":" + JsonString(RequiredEnv(p + "HOST")) +
           ",\"port\":" + RequiredEnv(p + "PORT") +
           ",\"database\":" + JsonString(RequiredEnv(p + "DATABASE")) +
           ",\"user\":" + JsonString(RequiredEnv(p + "USER")) +
           ",\"password\":" + JsonString(RequiredEnv(p + "PASSWORD")) + "}";
  }
  void Connect(dbaccess::TDbConnection& aConnection) const {
    const std::string p = "TANDEMIZE_" + Prefix + "_";
    dbaccess::TDbDefinition& d = aConnection.Params();
    d.SetValue("DriverID", DriverIdOf(Kind));
    d.SetValue("Server", RequiredEnv(p + "HOST"));
    d.SetValue("Port", RequiredEnv(p + "PORT"));
    d.SetValue("Database", RequiredEnv(p + "DATABASE"));
    d.SetValue("User_Name", RequiredEnv(p + "USER"));
    d.SetValue("Password", RequiredEnv(p + "PASSWORD"));
    aConnection.SetConnected(true);
  }
};

void Execute(dbaccess::TDbConnection& aConnection, const std::string& aSql) {
  dbaccess::TDbQuery query(&aConnection);
  query.SQL().SetText(aSql);
  query.ExecSQL();
}

// Real tables whose names hold what would end or hide a marker: PostgreSQL
// with double quotes, MariaDB with backquotes. The process id keeps the
// names apart from any other run.
TEST(QuotedNames, ServerImportWritesExactlyTheSentValues) {
  const TServer servers[] = {{tpPG, "PG", '"', '"'}, {tpMySQL, "MYSQL", '`', '`'}};
  const std::string tag = " " + std::to_string(::getpid());
  for (const TServer& server : servers) {
    for (const std::string odd : {"x--y", "it's :nome", "a/*b; c"}) {
      const std::string table = Quoted(server.Open, "qn " + odd + tag, server.Close),
                        key = Quoted(server.Open, "k " + odd, server.Close),
                        field = Quoted(server.Open, "f " + odd, server.Close);
      SCOPED_TRACE(server.Prefix + " " + table);
      dbaccess::TDbConnection connection;
      server.Connect(connection);
      Execute(connection, "DROP TABLE IF EXISTS " + table);
      Execute(connection, "CREATE TABLE " + table + " (" + key + " INTEGER PRIMARY KEY, " + field +
                              " VARCHAR(20))");
      Execute(connection, "INSERT INTO " + table + " VALUES (1, 'old')");

      EXPECT_EQ(Import(ImportBody(server.Params(), table, key, "k " + odd, field, "f " + odd)),
                kSucceeded);

      dbaccess::TDbQuery select(&connection);
      select.SQL().SetText("SELECT " + key + ", " + field + " FROM " + table + " ORDER BY 1");
      select.Open();
      std::vector<std::pair<std::string, std::string>> rows;
      for (; !select.Eof(); select.Next()) {
        rows.emplace_back(dbaccess::phys::VariantToText(select.FieldValue(0)),
                          dbaccess::phys::VariantToText(select.FieldValue(1)));
      }
      select.Close();
      EXPECT_EQ(rows, kImported);
      Execute(connection, "DROP TABLE " + table);
    }
  }
}

// On PostgreSQL "$1" is the statement's first parameter and "a#b" is a#b
// with the operator "#": as key names they would pick other rows (with
// "$1", every row of the table). Such names are refused and the table keeps
// its rows.
TEST(PlainNames, PgNamesThatPgReadsAsSomethingElseAreRefused) {
  const TServer pg{tpPG, "PG", '"', '"'};
  const std::string table = "qn_plain_" + std::to_string(::getpid());
  dbaccess::TDbConnection connection;
  pg.Connect(connection);
  Execute(connection, "DROP TABLE IF EXISTS " + table);
  Execute(connection, "CREATE TABLE " + table +
                          " (id INTEGER PRIMARY KEY, a INTEGER, b INTEGER, nome VARCHAR(20))");
  Execute(connection, "INSERT INTO " + table + " VALUES (1, 1, 2, 'a'), (2, 0, 0, 'b')");
  for (const std::string key : {"$1", "a#b"}) {
    SCOPED_TRACE(key);
    const std::string body =
        "{\"params\":" + pg.Params() + ",\"headers\":{\"teble_name\":\"" + table +
        "\",\"pks\":[\"" + key + "\"],\"fields\":[\"nome\"]},\"tandemize\":{\"structure\":[" +
        "{\"fieldName\":\"" + key + "\",\"dataType\":\"ftInteger\"},{\"fieldName\":\"nome\"," +
        "\"dataType\":\"ftWideString\",\"size\":20}],\"data\":[{\"" + key +
        "\":3,\"nome\":\"3\"}]}}";
    EXPECT_EQ(Import(body), R"({"success":false,"message":"Invalid identifier: )" + key + "\"}");
    dbaccess::TDbQuery select(&connection);
    select.SQL().SetText("SELECT nome FROM " + table + " ORDER BY id");
    select.Open();
    std::vector<std::string> names;
    for (; !select.Eof(); select.Next()) {
      names.push_back(dbaccess::phys::VariantToText(select.FieldValue(0)));
    }
    select.Close();
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b"}));
  }
  Execute(connection, "DROP TABLE " + table);
}

}  // namespace
}  // namespace tandemize::service
