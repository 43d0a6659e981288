// The three ways an import reaches a PG table (one row at a time, a window
// of rows pipelined, a window of rows as arrays) against the test server:
// the same generated imports, run once each way into three tables that start
// alike, must leave the same tables and answer the same verdicts. Fails
// when the TANDEMIZE_PG_* coordinates are not set.

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "dbaccess/db_connection.h"
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
      static const char* kTexts[] = {"a", "b\\\"q", "b'q", "{x,y}", "NULL", "ção", " ", ""};
      return "\"" + std::string(kTexts[Below(8)]) + "\"";
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
      Exec(c, std::string("DELETE FROM ") + way.Table);
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

}  // namespace
}  // namespace tandemize::service
