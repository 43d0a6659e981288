// Connection parameters: loading from and exporting to JSON, the port text
// rule, the kinds' texts, and the INI file beside the program.

#include "service/params_db.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace tandemize::service {
namespace {

namespace fs = std::filesystem;

struct Fields {
  TTipoSgdb tipo;
  const char* host;
  std::int32_t port;
  const char* catalog;
  const char* charset;
  const char* database;
  const char* user;
  const char* password;
  const char* lib;
};

void ExpectFields(const iParamsDB& p, const Fields& f) {
  EXPECT_EQ(p.TipoSgdb(), f.tipo);
  EXPECT_EQ(p.Host(), f.host);
  EXPECT_EQ(p.Port(), f.port);
  EXPECT_EQ(p.Catalog(), f.catalog);
  EXPECT_EQ(p.CharacterSet(), f.charset);
  EXPECT_EQ(p.Database(), f.database);
  EXPECT_EQ(p.User(), f.user);
  EXPECT_EQ(p.Password(), f.password);
  EXPECT_EQ(p.LibPath(), f.lib);
}

// Parameters preset with a value in every field, so that resets show.
iParamsDB::Ref Preset() {
  return TParamsDB::New("db")
      ->TipoSgdb(TTipoSgdb::tpSQLite)
      ->Host("old-host")
      ->Port(1)
      ->Catalog("old-cat")
      ->CharacterSet("old-cs")
      ->Database("old-db")
      ->User("old-user")
      ->Password("old-pw")
      ->LibPath("old-lib");
}

constexpr Fields kPresetFields = {TTipoSgdb::tpSQLite, "old-host", 1,
                                  "old-cat",           "old-cs",   "old-db",
                                  "old-user",          "old-pw",   "old-lib"};
constexpr Fields kReset = {TTipoSgdb::tpFB, "", 0, "", "", "", "", "", ""};

TEST(ParamsDB, LoadsEveryFieldFromJsonText) {
  const struct {
    const char* json;
    Fields fields;
    const char* error;  // nullptr: loads
  } cases[] = {
      {"", kPresetFields, nullptr},  // the empty text changes nothing
      {"{}", kReset, nullptr},
      {"{\"tipo_sgdb\":2,\"host\":\"db.local\",\"port\":5432,\"catalog\":\"c\","
       "\"charset\":\"UTF8\",\"database\":\"prod\",\"user\":\"app\",\"password\":\"s3cr\\\"t\","
       "\"lib\":\"libpq.so.5\"}",
       {TTipoSgdb::tpPG, "db.local", 5432, "c", "UTF8", "prod", "app", "s3cr\"t", "libpq.so.5"},
       nullptr},
      // Integer texts convert; keys match ignoring case; absent keys reset.
      {"{\"tipo_sgdb\":\"3\",\"port\":\"5432\"}",
       {TTipoSgdb::tpMySQL, "", 5432, "", "", "", "", "", ""},
       nullptr},
      {"{\"HOST\":\"h\"}", {TTipoSgdb::tpFB, "h", 0, "", "", "", "", "", ""}, nullptr},
      // Only the low byte of the kind and the low 32 bits of the port are kept.
      {"{\"tipo_sgdb\":258,\"port\":4294967297}",
       {TTipoSgdb::tpPG, "", 1, "", "", "", "", "", ""},
       nullptr},
      {"{\"password\":1234,\"lib\":null,\"user\":\"Jo\\u00e3o\"}",
       {TTipoSgdb::tpFB, "", 0, "", "", "", "Jo\xc3\xa3o", "1234", ""},
       nullptr},
      // A text that does not parse leaves every field as it was.
      {"not json", kPresetFields, "<TJsonObject>\"\" parse error: not json"},
      {"{\"host\":tru}", kPresetFields, "<TJsonValue>\"host\" parse error: tru"},
      // A value of the wrong kind stops the load there: earlier fields are new.
      {"{\"tipo_sgdb\":4,\"host\":\"h\",\"port\":\"abc\"}",
       {TTipoSgdb::tpMSSQL, "h", 1, "old-cat", "old-cs", "old-db", "old-user", "old-pw", "old-lib"},
       "'abc' is not a valid integer value"},
      {"{\"host\":{}}",
       {TTipoSgdb::tpFB, "old-host", 1, "old-cat", "old-cs", "old-db", "old-user", "old-pw",
        "old-lib"},
       "<TJsonValue>\"host\" value type error: jvObject to jvString"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    const iParamsDB::Ref params = Preset();
    if (c.error == nullptr) {
      EXPECT_EQ(params->fromJson(c.json), params);
    } else {
      try {
        params->fromJson(c.json);
        ADD_FAILURE() << "loaded";
      } catch (const EParamsDB& e) {
        EXPECT_STREQ(e.what(), c.error);
      }
    }
    ExpectFields(*params, c.fields);
  }
}

TEST(ParamsDB, LoadsFromAnObjectTheCallerKeeps) {
  const iParamsDB::Ref params = Preset();
  try {
    params->fromJson(static_cast<json::TJsonObject*>(nullptr));
    ADD_FAILURE() << "loaded from no object";
  } catch (const EParamsDB& e) {
    EXPECT_STREQ(e.what(), "JSON Object invalid!");
  }
  ExpectFields(*params, kPresetFields);

  json::TJsonObject object;
  object.Put("Port", 3050);
  params->fromJson(&object);
  ExpectFields(*params, {TTipoSgdb::tpFB, "", 3050, "", "", "", "", "", ""});
  // The lookups added every absent key to the caller's object.
  EXPECT_EQ(object.Stringify(),
            "{\"Port\":3050,\"tipo_sgdb\":null,\"host\":null,\"catalog\":null,\"charset\":null,"
            "\"database\":null,\"user\":null,\"password\":null,\"lib\":null}");
}

TEST(ParamsDB, ExportAppendsToTheOwnedObject) {
  const iParamsDB::Ref params = TParamsDB::New("db")
                                    ->TipoSgdb(TTipoSgdb::tpPG)
                                    ->Host("h\xc3\xa9")
                                    ->Port(-1)
                                    ->Database("d")
                                    ->Password("p/w");
  const std::string once =
      "\"tipo_sgdb\":2,\"host\":\"h\\u00e9\",\"port\":-1,\"catalog\":\"\",\"charset\":\"\","
      "\"database\":\"d\",\"user\":\"\",\"password\":\"p\\/w\",\"lib\":\"\"";
  json::TJsonObject& exported = params->toJson();
  EXPECT_EQ(exported.Stringify(), "{" + once + "}");
  EXPECT_EQ(&params->toJson(), &exported);  // the same owned object, now with each key twice
  EXPECT_EQ(exported.Count(), 18);
  EXPECT_EQ(exported.Stringify(), "{" + once + "," + once + "}");

  // A text load replaces that object's content; a later export appends to it.
  params->fromJson("{\"x\":1}");
  EXPECT_EQ(params->toJson().Stringify().rfind("{\"x\":1,\"tipo_sgdb\":null,", 0), 0u);
  EXPECT_EQ(params->toJson().Count(), 1 + 9 + 9 + 9);

  // The exported form loads back into the same values.
  const iParamsDB::Ref copy = TParamsDB::New("db");
  json::TJsonObject fresh;
  fresh.Parse("{" + once + "}");
  copy->fromJson(&fresh);
  ExpectFields(*copy, {TTipoSgdb::tpPG, "h\xc3\xa9", -1, "", "", "d", "", "p/w", ""});
}

TEST(ParamsDB, PortFromTextReadsWhatDigitsThereAre) {
  const struct {
    const char* text;
    std::int32_t port;
  } cases[] = {
      {"5432", 5432}, {"12ab", 12}, {"abc", 0},  {"", 0},       {"$1F", 31},
      {"0x1f", 31},   {"X10", 16},  {" -5", -5}, {"+7", 7},     {"007", 7},
      {"0", 0},       {"$", 0},     {"1 2", 1},  {"-$10", -16}, {"4294967297", 1},
  };
  const iParamsDB::Ref params = Preset();
  for (const auto& c : cases) {
    params->Port(c.text);
    EXPECT_EQ(params->Port(), c.port) << c.text;
  }
  params->Port(-1);
  EXPECT_EQ(params->PortString(), "-1");
  EXPECT_EQ(TParamsDB::New("db")->PortString(), "0");
}

TEST(ParamsDB, KindsHaveTheirTexts) {
  const struct {
    int ordinal;
    const char* driver;
    const char* protocol;
  } cases[] = {
      {0, "FB", "firebird"}, {1, "IB", "interbase"}, {2, "PG", "postgresql"},
      {3, "MySQL", "mysql"}, {4, "MSSQL", "mssql"},  {5, "SQLite", "sqlite-3"},
      {6, "", ""},           {255, "", ""},
  };
  const iParamsDB::Ref params = TParamsDB::New("db");
  for (const auto& c : cases) {
    params->TipoSgdb(static_cast<TTipoSgdb>(c.ordinal));
    EXPECT_EQ(static_cast<int>(params->TipoSgdb()), c.ordinal);
    EXPECT_EQ(params->Driver(), c.driver) << c.ordinal;
    EXPECT_EQ(params->Protocol(), c.protocol) << c.ordinal;
  }
  params->fromJson("{\"tipo_sgdb\":7}");
  EXPECT_EQ(static_cast<int>(params->TipoSgdb()), 7);
  EXPECT_EQ(params->Driver(), "");

  std::vector<std::string> list{"stale", "entries", "here"};
  params->listTipoSgdb(list);
  EXPECT_EQ(list, (std::vector<std::string>{"Firebird", "Interbase", "Postgres", "MySQL", "MSSQL",
                                            "SQLite"}));
}

// INI files go to the test program's own folder; each test uses its own name
// and removes it again.
class ParamsDBIni : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::read_symlink("/proc/self/exe").parent_path();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    name_ = std::string("params_db_test_") + info->name() + ".ini";
    fs::remove(Path());
  }
  void TearDown() override { fs::remove(Path()); }

  fs::path Path() const { return folder_ / name_; }
  std::string Contents() const {
    std::ifstream in(Path());
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
  }
  void Write(const std::string& text) const { std::ofstream(Path()) << text; }

  fs::path folder_;
  std::string name_;
};

TEST_F(ParamsDBIni, ReadCreatesAMissingFileFromTheCurrentValues) {
  auto params = std::make_shared<TParamsDB>("db");
  params->setIniFile(name_)->Host("h")->Port(5)->TipoSgdb(TTipoSgdb::tpIB);
  params->ReadIni();
  ASSERT_TRUE(fs::exists(Path()));
  EXPECT_EQ(
      Contents(),
      "[db]\nSgdb=1\nHost=h\nPort=5\nCatalog=\nCharSet=\nDatabase=\nUser=\nPassword=\nLib=\n");
  ExpectFields(*params, {TTipoSgdb::tpIB, "h", 5, "", "", "", "", "", ""});
}

TEST_F(ParamsDBIni, WritesAndReadsBackKeepingOtherSections) {
  Write("; kept\n[other]\nkey=value\n[DB]\nhost=old\nExtra=1\n");
  auto writer = std::make_shared<TParamsDB>("db");
  writer->setIniFile(name_)
      ->TipoSgdb(TTipoSgdb::tpMSSQL)
      ->Host("sql.local")
      ->Port(1433)
      ->Catalog("cat")
      ->CharacterSet("UTF8")
      ->Database("Vendas")
      ->User("sa")
      ->Password("p=w;1")
      ->LibPath("/usr/lib/libodbc.so.2");
  writer->WriteIni();
  const std::string written = Contents();
  EXPECT_NE(written.find("[other]\nkey=value\n"), std::string::npos) << written;
  EXPECT_NE(written.find("host=sql.local\n"), std::string::npos) << written;  // existing key kept
  EXPECT_NE(written.find("Extra=1\n"), std::string::npos) << written;

  auto reader = std::make_shared<TParamsDB>("Db");
  reader->setIniFile(name_);
  reader->ReadIni();
  ExpectFields(*reader, {TTipoSgdb::tpMSSQL, "sql.local", 1433, "cat", "UTF8", "Vendas", "sa",
                         "p=w;1", "/usr/lib/libodbc.so.2"});
}

TEST_F(ParamsDBIni, IntegerEntriesUseTheIntegerTextRule) {
  const struct {
    const char* sgdb;
    const char* port;
    int tipo;
    std::int32_t expectedPort;
  } cases[] = {
      {"2", "$1F", 2, 31}, {"x3", "0x10", 3, 16},        {"abc", "12ab", 0, 0},
      {"", "-1", 0, -1},   {"258", "99999999999", 2, 0},
  };
  for (const auto& c : cases) {
    Write(std::string("[db]\nSgdb=") + c.sgdb + "\nPort=" + c.port + "\nHost=h\n");
    const auto params = std::make_shared<TParamsDB>("db");
    params->setIniFile(name_);
    params->Port(77)->Database("before");
    params->ReadIni();
    EXPECT_EQ(static_cast<int>(params->TipoSgdb()), c.tipo) << c.sgdb;
    EXPECT_EQ(params->Port(), c.expectedPort) << c.port;
    EXPECT_EQ(params->Host(), "h");
    EXPECT_EQ(params->Database(), "");  // a missing key reads its default
  }
}

TEST_F(ParamsDBIni, BlankNameDefaultsToTheProgramName) {
  // The program is service_tests, so its INI file is service_tests.ini.
  const fs::path expected = folder_ / "service_tests.ini";
  fs::remove(expected);
  auto params = std::make_shared<TParamsDB>("db");
  params->setIniFile(" \t");
  params->Host("default-name");
  params->WriteIni();
  EXPECT_EQ(params->IniFile(), "service_tests.ini");
  EXPECT_TRUE(fs::exists(expected));
  auto reader = std::make_shared<TParamsDB>("db");
  reader->ReadIni();
  EXPECT_EQ(reader->Host(), "default-name");
  fs::remove(expected);
}

TEST_F(ParamsDBIni, FileErrorsKeepTheirMessage) {
  Write("[db]\nHost=a\nHost=b\n");  // a duplicate key is not a readable INI file
  const auto params = std::make_shared<TParamsDB>("db");
  params->setIniFile(name_);
  try {
    params->ReadIni();
    ADD_FAILURE() << "read";
  } catch (const EParamsDB& e) {
    EXPECT_NE(std::string(e.what()).find("duplicate key name"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace tandemize::service
