// The three ways an import reaches a PG table (one row at a time, a window
// of rows pipelined, the rows loaded in bulk and merged a window at a time)
// against the test server: the same generated imports, run once each way
// into three tables that start alike, must leave the same tables and answer
// the same verdicts. Fails when the TANDEMIZE_PG_* coordinates are not set.

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "dbaccess/db_batch.h"
#include "dbaccess/db_connection.h"
#include "dbaccess/internal/driver_pg.h"
#include "service/dm.h"
#include "service/upsert_mode.h"
#include "test_servers.h"

namespace tandemize::service {
namespace {

std::string Env(const char* aName) {
  const char* value = std::getenv(aName);
  return value != nullptr ? value : "";
}

std::string ParamsJson() {
  return R"({"tipo_sgdb":2,"host":")" + Env("TANDEMIZE_PG_HOST") + R"(","port":)" +
         Env("TANDEMIZE_PG_PORT") + R"(,"database":")" + Env("TANDEMIZE_PG_DATABASE") +
         R"(","user":")" + Env("TANDEMIZE_PG_USER") + R"(","password":")" +
         Env("TANDEMIZE_PG_PASSWORD") + R"("})";
}

void Connect(dbaccess::TDbConnection& c) {
  c.Params().SetValue("DriverID", "PG");
  c.Params().SetValue("Server", Env("TANDEMIZE_PG_HOST"));
  c.Params().SetValue("Port", Env("TANDEMIZE_PG_PORT"));
  c.Params().SetValue("Database", Env("TANDEMIZE_PG_DATABASE"));
  c.Params().SetValue("User_Name", Env("TANDEMIZE_PG_USER"));
  c.Params().SetValue("Password", Env("TANDEMIZE_PG_PASSWORD"));
  c.SetConnected(true);
}

void Exec(dbaccess::TDbConnection& c, const std::string& aSql) {
  dbaccess::TDbQuery q(&c);
  q.SQL().SetText(aSql);
  q.ExecSQL();
}

// The table as text, rows sorted, so that tables of equal content compare equal.
std::string Contents(dbaccess::TDbConnection& c, const std::string& aTable) {
  dbaccess::TDbQuery q(&c);
  q.SQL().SetText(
      "SELECT coalesce(string_agg(r, E'\\n' ORDER BY r), '') FROM (SELECT CAST(t AS text) "
      "AS r FROM " +
      aTable + " AS t) AS s");
  q.Open();
  const dbaccess::TVariant value = q.FieldValue(0);
  return std::get<std::string>(value);
}

// The table has no unique key: a key may match several stored rows. The
// check on valor and the length of nome make some rows fail.
constexpr const char* kColumns =
    "(id integer, k2 text, nome varchar(12), valor numeric(10,2) CHECK (valor < 900), dia date, "
    "flag boolean, x double precision, dados bytea, ts timestamp)";

struct TWay {
  TPgUpsert Mode;
  const char* Table;
};
const TWay kWays[] = {{TPgUpsert::Sequential, "upsert_ways_seq"},
                      {TPgUpsert::Pipelined, "upsert_ways_pipe"},
                      {TPgUpsert::Set, "upsert_ways_set"}};

class TCaseMaker {
 public:
  explicit TCaseMaker(std::uint64_t aSeed) : FRandom(aSeed) {}

  int Below(int aBound) { return std::uniform_int_distribution<int>(0, aBound - 1)(FRandom); }
  bool OneIn(int aN) { return Below(aN) == 0; }

  // Starting rows, keys repeated and null now and then.
  std::string StartingRows(int aKeys) {
    std::string values;
    const int rows = Below(30);
    for (int i = 0; i < rows; ++i) {
      if (!values.empty()) values += ", ";
      values += "(" + (OneIn(10) ? std::string("NULL") : std::to_string(Below(aKeys))) + ", " +
                (OneIn(10) ? std::string("NULL") : "'k" + std::to_string(Below(3)) + "'") +
                ", 'old" + std::to_string(i) + "', " + std::to_string(Below(100)) +
                ", '2020-01-02', true, 1.5, '\\x00ff', '2020-01-02 03:04:05')";
    }
    return values;
  }

  // A value of one field in JSON that makes its statement fail: a key the
  // existence query cannot read, a name too long, a valor the check refuses.
  static std::string Failing(const std::string& aField) {
    if (aField == "id") return "\"x1\"";
    if (aField == "nome") return "\"a name far too long\"";
    return "950";
  }

  // A value of one field in JSON.
  std::string Value(const std::string& aField, int aKeys, bool aIdAsText) {
    if (OneIn(12)) return "null";
    if (aField == "id") {
      const std::string id = std::to_string(Below(aKeys));
      if (!aIdAsText) return id;
      return "\"" + std::string(OneIn(3) ? " " : "") + id + "\"";
    }
    if (aField == "k2") {
      return "\"" + std::string(OneIn(2) ? "k" : "K") + std::to_string(Below(3)) + "\"";
    }
    if (aField == "nome") {
      // Quotes, braces, a null's spellings and the bulk load's escapes
      // (tab, line breaks, backslash, "\N").
      static const char* kTexts[] = {"a", "b\\\"q", "b'q",   "{x,y}", "NULL",   "ção",   " ",
                                     "",  "t\\tb",  "n\\nl", "r\\r",  "s\\\\b", "\\\\N", "\\\\."};
      return "\"" + std::string(kTexts[Below(14)]) + "\"";
    }
    if (aField == "valor") {
      return std::to_string(Below(1000) - 500) + "." + std::to_string(Below(100));
    }
    if (aField == "dia")
      return "\"2024-0" + std::to_string(1 + Below(9)) + "-1" + std::to_string(Below(10)) + "\"";
    if (aField == "flag") return OneIn(2) ? "true" : "false";
    if (aField == "x") return OneIn(5) ? "-0.0" : std::to_string(Below(100000)) + "e-3";
    if (aField == "dados") {
      static const char* kBytes[] = {"AP8=", "ImFcIg==", "e30=", "", "Ww=="};
      return "\"" + std::string(kBytes[Below(5)]) + "\"";
    }
    return "\"2024-05-06T07:08:0" + std::to_string(Below(10)) + ".250Z\"";
  }

 private:
  std::mt19937_64 FRandom;
};

TEST(UpsertWays, SameTablesAndVerdictsEveryWay) {
  ASSERT_TRUE(harness::TestServerSet("PG"));
  dbaccess::TDbConnection c;
  Connect(c);
  for (const TWay& way : kWays) {
    Exec(c, std::string("DROP TABLE IF EXISTS ") + way.Table);
    Exec(c, std::string("CREATE TABLE ") + way.Table + " " + kColumns);
  }
  const TPgUpsert before = PgUpsertMode();
  struct TRestore {
    TPgUpsert Mode;
    ~TRestore() { SetPgUpsertMode(Mode); }
  } restore{before};

  const std::vector<std::string> allFields = {"nome", "valor", "dia", "flag", "x", "dados", "ts"};
  const std::vector<std::string> types = {"ftWideString", "ftFMTBcd", "ftDate",    "ftBoolean",
                                          "ftFloat",      "ftBlob",   "ftDateTime"};
  int failures = 0;
  for (std::uint64_t seed = 1; seed <= 24; ++seed) {
    TCaseMaker make(seed);
    const int keys = 1 + make.Below(make.OneIn(2) ? 5 : 400);
    // A few imports span several windows.
    const int rows = seed % 8 == 0 ? 1000 + make.Below(300) : make.Below(120);
    const bool twoKeys = make.OneIn(3);
    const bool idAsText = make.OneIn(3);
    std::vector<std::string> pks = {"id"};
    if (twoKeys) pks.push_back("k2");
    std::vector<std::string> fields;
    std::vector<std::string> fieldTypes;
    for (std::size_t i = 0; i < allFields.size(); ++i) {
      if (allFields[i] == "nome" || allFields[i] == "valor" || !make.OneIn(4)) {
        fields.push_back(allFields[i]);
        fieldTypes.push_back(types[i]);
      }
    }
    std::string structure = std::string(R"({"fieldName":"id","dataType":")") +
                            (idAsText ? "ftWideString" : "ftInteger") + R"(","size":)" +
                            (idAsText ? "20" : "0") + "}";
    if (twoKeys) structure += R"(,{"fieldName":"k2","dataType":"ftWideString","size":10})";
    for (std::size_t i = 0; i < fields.size(); ++i) {
      structure += R"(,{"fieldName":")" + fields[i] + R"(","dataType":")" + fieldTypes[i] +
                   R"(","size":)" +
                   (fieldTypes[i] == "ftWideString" ? "40"
                    : fieldTypes[i] == "ftFMTBcd"   ? "2"
                                                    : "0") +
                   (fieldTypes[i] == "ftFMTBcd" ? R"(,"precision":10)" : "") + "}";
    }
    // A third of the imports fail in the middle, on one value.
    const int failingRow = make.OneIn(3) ? make.Below(rows + 1) : -1;
    std::vector<std::string> failable = {"nome", "valor"};
    if (idAsText) failable.push_back("id");
    const std::string failingField = failable[make.Below(static_cast<int>(failable.size()))];
    auto value = [&](int aRow, const std::string& aField, bool aIdAsText) {
      return aRow == failingRow && aField == failingField ? TCaseMaker::Failing(aField)
                                                          : make.Value(aField, keys, aIdAsText);
    };
    std::string data;
    for (int r = 0; r < rows; ++r) {
      std::string row = R"({"id":)" + value(r, "id", idAsText);
      if (twoKeys) row += R"(,"k2":)" + value(r, "k2", false);
      for (const std::string& field : fields) {
        row += ",\"" + field + "\":" + value(r, field, false);
      }
      data += (r == 0 ? "" : ",") + row + "}";
    }
    std::string pksJson, fieldsJson;
    for (const std::string& k : pks) pksJson += (pksJson.empty() ? "\"" : ",\"") + k + "\"";
    for (const std::string& f : fields)
      fieldsJson += (fieldsJson.empty() ? "\"" : ",\"") + f + "\"";
    const std::string starting = make.StartingRows(keys);

    std::vector<std::string> verdicts, tables;
    for (const TWay& way : kWays) {
      // Emptied to a fresh heap: the starting rows then lie in the same order
      // in every way's table, and so does which of several rows a key
      // matches the server meets first (and names when it refuses one).
      Exec(c, std::string("TRUNCATE ") + way.Table);
      if (!starting.empty()) {
        Exec(c, std::string("INSERT INTO ") + way.Table + " VALUES " + starting);
      }
      SetPgUpsertMode(way.Mode);
      text::TByteStream body;
      body.Write(R"({"params":)" + ParamsJson() + R"(,"headers":{"teble_name":")" + way.Table +
                 R"(","pks":[)" + pksJson + R"(],"fields":[)" + fieldsJson +
                 R"(]},"tandemize":{"structure":[)" + structure + R"(],"data":[)" + data + "]}}");
      // A message that names the table names each way's own.
      std::string verdict = TDMInstance()->Tandemize("", &body, false);
      for (std::size_t at; (at = verdict.find(way.Table)) != std::string::npos;) {
        verdict.replace(at, std::string(way.Table).size(), "<table>");
      }
      verdicts.push_back(verdict);
      tables.push_back(Contents(c, way.Table));
    }
    SCOPED_TRACE("seed " + std::to_string(seed) + ", " + std::to_string(rows) + " rows");
    if (verdicts[0].find("\"success\":false") != std::string::npos) ++failures;
    for (std::size_t i = 1; i < std::size(kWays); ++i) {
      EXPECT_EQ(verdicts[i], verdicts[0]) << kWays[i].Table;
      EXPECT_EQ(tables[i], tables[0]) << kWays[i].Table;
    }
  }
  // The generated cases must exercise failures in the middle of an import.
  EXPECT_GT(failures, 0);
  for (const TWay& way : kWays) Exec(c, std::string("DROP TABLE IF EXISTS ") + way.Table);
}

// One import of aData (JSON rows) into aTable, keyed on k, writing v; the
// verdict with the table's name taken out.
std::string Import(const std::string& aTable, const std::string& aStructure,
                   const std::string& aData) {
  text::TByteStream body;
  body.Write(R"({"params":)" + ParamsJson() + R"(,"headers":{"teble_name":")" + aTable +
             R"(","pks":["k"],"fields":["v"]},"tandemize":{"structure":[)" + aStructure +
             R"(],"data":[)" + aData + "]}}");
  std::string verdict = TDMInstance()->Tandemize("", &body, false);
  for (std::size_t at; (at = verdict.find(aTable)) != std::string::npos;) {
    verdict.replace(at, aTable.size(), "<table>");
  }
  return verdict;
}

struct TRestoreMode {
  TPgUpsert Mode = PgUpsertMode();
  ~TRestoreMode() { SetPgUpsertMode(Mode); }
};

// A key column whose collation ignores case and accents: keys that differ
// beyond ASCII letter case are one key to the server, so a row must not share
// a window with an earlier row of such a key, or its existence query would
// run before that row is written and it would be inserted a second time.
TEST(UpsertWays, KeysEqualUnderTheColumnsCollationNeverShareAWindow) {
  ASSERT_TRUE(harness::TestServerSet("PG"));
  dbaccess::TDbConnection c;
  Connect(c);
  Exec(c,
       "DO $$ BEGIN CREATE COLLATION upsert_ways_loose (provider = icu, "
       "locale = 'und-u-ks-level1-ka-shifted', deterministic = false); "
       "EXCEPTION WHEN duplicate_object THEN NULL; END $$");
  TRestoreMode restore;
  const std::string structure = R"({"fieldName":"k","dataType":"ftWideString","size":40},)"
                                R"({"fieldName":"v","dataType":"ftInteger","size":0})";
  // Pairs of spellings of one key (accents, sharp s, full-width letters,
  // punctuation, a ligature), each later row updating the earlier.
  const std::string data =
      R"({"k":"ação","v":1},{"k":"ACAO","v":2},{"k":"straße","v":3},{"k":"STRASSE","v":4},)"
      R"({"k":"ＡＢＣ","v":5},{"k":"abc","v":6},{"k":"x-y","v":7},{"k":"X Y","v":8},)"
      R"({"k":"ﬁle","v":9},{"k":"FILE","v":10},{"k":"other","v":11})";
  std::vector<std::string> verdicts, tables;
  for (const TWay& way : kWays) {
    const std::string table = std::string(way.Table) + "_loose";
    Exec(c, "DROP TABLE IF EXISTS " + table);
    Exec(c, "CREATE TABLE " + table + " (k text COLLATE upsert_ways_loose, v integer)");
    SetPgUpsertMode(way.Mode);
    verdicts.push_back(Import(table, structure, data));
    tables.push_back(Contents(c, "(SELECT v FROM " + table + ")"));
    Exec(c, "DROP TABLE " + table);
  }
  EXPECT_NE(verdicts[0].find("\"success\":true"), std::string::npos) << verdicts[0];
  // One row per key, holding the value of its last spelling.
  EXPECT_EQ(tables[0], "(10)\n(11)\n(2)\n(4)\n(6)\n(8)");
  for (std::size_t i = 1; i < std::size(kWays); ++i) {
    EXPECT_EQ(verdicts[i], verdicts[0]) << kWays[i].Table;
    EXPECT_EQ(tables[i], tables[0]) << kWays[i].Table;
  }
}

// Values the set-based way's load refuses (a key that is no number, for an
// integer column) or that fail only when written into the table (a text too
// long for its column), after rows that went well: every way answers as one
// row at a time does and leaves the table as it was.
TEST(UpsertWays, FailingValuesAnswerAsOneRowAtATime) {
  ASSERT_TRUE(harness::TestServerSet("PG"));
  dbaccess::TDbConnection c;
  Connect(c);
  TRestoreMode restore;
  const std::string structure = R"({"fieldName":"k","dataType":"ftWideString","size":10},)"
                                R"({"fieldName":"v","dataType":"ftWideString","size":20})";
  const std::vector<std::string> imports = {
      R"({"k":"1","v":"a"},{"k":"2","v":"b"},{"k":"x1","v":"c"},{"k":"3","v":"d"})",
      R"({"k":"1","v":"a"},{"k":"1","v":"b"},{"k":"4","v":"far too long"},{"k":"5","v":"e"})",
      R"({"k":"6","v":"tab\there"},{"k":"7","v":"\\N"},{"k":"8","v":"\\."})"};
  for (const std::string& data : imports) {
    SCOPED_TRACE(data);
    std::vector<std::string> verdicts, tables;
    for (const TWay& way : kWays) {
      const std::string table = std::string(way.Table) + "_failing";
      Exec(c, "DROP TABLE IF EXISTS " + table);
      Exec(c, "CREATE TABLE " + table + " (k integer, v varchar(10))");
      Exec(c, "INSERT INTO " + table + " VALUES (1, 'old')");
      SetPgUpsertMode(way.Mode);
      verdicts.push_back(Import(table, structure, data));
      tables.push_back(Contents(c, table));
      Exec(c, "DROP TABLE " + table);
    }
    for (std::size_t i = 1; i < std::size(kWays); ++i) {
      EXPECT_EQ(verdicts[i], verdicts[0]) << kWays[i].Table;
      EXPECT_EQ(tables[i], tables[0]) << kWays[i].Table;
    }
  }
}

// A trigger that keeps some stored rows from being updated: such a row was
// still found, so one row at a time never inserts it, and neither may the
// set-based way, whose update does not return it.
TEST(UpsertWays, ARowWhoseUpdateATriggerSkipsIsNotInserted) {
  ASSERT_TRUE(harness::TestServerSet("PG"));
  dbaccess::TDbConnection c;
  Connect(c);
  Exec(c,
       "CREATE OR REPLACE FUNCTION upsert_ways_keep_one() RETURNS trigger LANGUAGE plpgsql AS "
       "$$ BEGIN IF OLD.k = 1 THEN RETURN NULL; END IF; RETURN NEW; END $$");
  TRestoreMode restore;
  const std::string structure = R"({"fieldName":"k","dataType":"ftInteger","size":0},)"
                                R"({"fieldName":"v","dataType":"ftWideString","size":10})";
  const std::string data = R"({"k":1,"v":"new"},{"k":2,"v":"new"},{"k":3,"v":"new"})";
  std::vector<std::string> verdicts, tables;
  for (const TWay& way : kWays) {
    const std::string table = std::string(way.Table) + "_kept";
    Exec(c, "DROP TABLE IF EXISTS " + table);
    Exec(c, "CREATE TABLE " + table + " (k integer, v text)");
    Exec(c, "INSERT INTO " + table + " VALUES (1, 'old'), (2, 'old')");
    Exec(c, "CREATE TRIGGER keep_one BEFORE UPDATE ON " + table +
                " FOR EACH ROW EXECUTE FUNCTION upsert_ways_keep_one()");
    SetPgUpsertMode(way.Mode);
    verdicts.push_back(Import(table, structure, data));
    tables.push_back(Contents(c, table));
    Exec(c, "DROP TABLE " + table);
  }
  EXPECT_NE(verdicts[0].find("\"success\":true"), std::string::npos) << verdicts[0];
  EXPECT_EQ(tables[0], "(1,old)\n(2,new)\n(3,new)");
  for (std::size_t i = 1; i < std::size(kWays); ++i) {
    EXPECT_EQ(verdicts[i], verdicts[0]) << kWays[i].Table;
    EXPECT_EQ(tables[i], tables[0]) << kWays[i].Table;
  }
}

// A client without pipeline mode offers no batches; an import in either
// window way then runs one row at a time and ends as that way ends, a
// failing row included.
TEST(UpsertWays, WithoutPipelineModeAnImportRunsOneRowAtATime) {
  ASSERT_TRUE(harness::TestServerSet("PG"));
  TRestoreMode restore;
  {
    dbaccess::TDbConnection c;
    Connect(c);
    ASSERT_TRUE(dbaccess::TDbBatch(c).Available());
  }
  dbaccess::phys::TScopedPgWithoutPipeline withoutPipeline;
  dbaccess::TDbConnection c;
  Connect(c);
  EXPECT_FALSE(dbaccess::TDbBatch(c).Available());

  const std::string structure = R"({"fieldName":"k","dataType":"ftInteger","size":0},)"
                                R"({"fieldName":"v","dataType":"ftWideString","size":20})";
  const std::string good = R"({"k":1,"v":"a"},{"k":2,"v":"b"},{"k":1,"v":"c"},{"k":3,"v":null})";
  const std::string failing = R"({"k":4,"v":"d"},{"k":5,"v":"far too long a text"})";
  for (const TWay& way : kWays) {
    SCOPED_TRACE(way.Table);
    const std::string table = std::string(way.Table) + "_nopipe";
    Exec(c, "DROP TABLE IF EXISTS " + table);
    Exec(c, "CREATE TABLE " + table + " (k integer, v varchar(5))");
    Exec(c, "INSERT INTO " + table + " VALUES (2, 'old'), (2, 'old2')");
    SetPgUpsertMode(way.Mode);
    EXPECT_EQ(Import(table, structure, good),
              R"({"success":true,"message":"Dados Importado com sucesso!"})");
    EXPECT_EQ(Contents(c, table), "(1,c)\n(2,b)\n(2,b)\n(3,)");
    const std::string verdict = Import(table, structure, failing);
    EXPECT_NE(verdict.find("\"success\":false"), std::string::npos) << verdict;
    EXPECT_NE(verdict.find("character varying(5)"), std::string::npos) << verdict;
    EXPECT_EQ(Contents(c, table), "(1,c)\n(2,b)\n(2,b)\n(3,)");
    Exec(c, "DROP TABLE " + table);
  }
}

}  // namespace
}  // namespace tandemize::service
