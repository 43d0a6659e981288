// The data service in process: statement texts, the identifier check, the
// instance lifecycle and the connection settings, the envelope checks in
// their order, and one SQLite import that prepares each statement once.

#include "service/dm.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "memtable/storage/stream_writer.h"
#include "service/identifiers.h"
#include "service/upsert.h"

namespace tandemize::service {
namespace {

namespace fs = std::filesystem;

json::TJsonObject Headers(const std::string& aText) {
  json::TJsonObject h;
  h.Parse(aText);
  return h;
}

TEST(StatementTexts, AreBuiltFromTheHeaders) {
  struct Case {
    const char* headers;
    std::vector<std::string> exists;
    const char* update;
    const char* insert;
  };
  const Case cases[] = {
      {R"({"teble_name":"Clientes","pks":["ID"],"fields":["Nome","Preco"]})",
       {"SELECT *  ", "  FROM clientes ", " WHERE  id = :id "},
       "UPDATE clientes SET  nome = :nome,  preco = :preco WHERE  id = :id",
       "INSERT INTO clientes ( ID,  Nome,  Preco) VALUES ( :ID,  :Nome,  :Preco)"},
      {R"({"TEBLE_NAME":"Clientes","Pks":["ID","Loja"],"FIELDS":["Nome"]})",
       {"SELECT *  ", "  FROM clientes ", " WHERE  id = :id AND  loja = :loja "},
       "UPDATE clientes SET  nome = :nome WHERE  id = :id AND  loja = :loja",
       "INSERT INTO clientes ( ID,  Loja,  Nome) VALUES ( :ID,  :Loja,  :Nome)"},
      // Only ASCII letters are lowered.
      {R"({"teble_name":"PREÇOS","pks":["CÓD"],"fields":[]})",
       {"SELECT *  ", "  FROM preÇos ", " WHERE  cÓd = :cÓd "},
       "UPDATE preÇos SET  WHERE  cÓd = :cÓd",
       "INSERT INTO preÇos ( CÓD) VALUES ( :CÓD)"},
      {R"({"teble_name":"t","pks":[],"fields":["a"]})",
       {"SELECT *  ", "  FROM t ", " WHERE  "},
       "UPDATE t SET  a = :a WHERE ",
       "INSERT INTO t ( a) VALUES ( :a)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.headers);
    json::TJsonObject h = Headers(c.headers);
    EXPECT_EQ(BuildExistsSql(h), c.exists);
    EXPECT_EQ(BuildUpdateSql(h), c.update);
    EXPECT_EQ(BuildInsertSql(h), c.insert);
  }
}

TEST(StatementTexts, NamesThatAreNotTextFailWithTheValueError) {
  json::TJsonObject h = Headers(R"({"teble_name":"t","pks":[{"a":1}],"fields":[]})");
  EXPECT_THROW(BuildInsertSql(h), json::EJsonException);
  json::TJsonObject notArray = Headers(R"({"teble_name":"t","pks":"id","fields":[]})");
  EXPECT_THROW(BuildUpdateSql(notArray), json::EJsonException);
}

TEST(Identifiers, PlainQualifiedOrQuotedByTheKind) {
  using enum TTipoSgdb;
  struct Case {
    const char* name;
    TTipoSgdb kind;
    bool accepted;
  };
  const Case cases[] = {
      {"clientes", tpPG, true},
      {"_x$1#", tpMSSQL, true},
      {"$tmp", tpFB, true},
      {"public.clientes", tpPG, true},
      {"Preço", tpMySQL, true},
      {"\"Order Items\"", tpPG, true},
      {"\"Order Items\"", tpFB, true},
      {"`Order Items`", tpMySQL, true},
      {"[Order Items]", tpMSSQL, true},
      {"\"Order Items\"", tpMSSQL, true},
      {"[a b]", tpSQLite, true},
      {"`a b`", tpSQLite, true},
      {"\"\xD1\x81lientes\"", tpPG, true},  // another script, quoted
      // Refused.
      {"", tpPG, false},
      {"1abc", tpPG, false},
      {"a b", tpPG, false},
      {"a;drop table x", tpSQLite, false},
      {"id) VALUES (1); --", tpPG, false},
      {"a.", tpPG, false},
      {".a", tpPG, false},
      {"a..b", tpPG, false},
      {"a-b", tpPG, false},
      {"a'b", tpPG, false},
      {"\"a\"b\"", tpPG, false},
      {"\"\"", tpPG, false},
      {"\"a\nb\"", tpPG, false},
      {"`a`", tpPG, false},
      {"[a]", tpMySQL, false},
      {"\"a\"", tpMySQL, false},
      {"[a]b]", tpMSSQL, false},
      {"\"s\".\"t\"", tpPG, false},
      {"a\xff", tpPG, false},
      // Letters of other scripts and fullwidth forms look like Latin ones.
      {"\xD1\x81lientes", tpPG, false},        // Cyrillic small es
      {"clientes_\xD0\xB0", tpSQLite, false},  // Cyrillic small a
      {"\xEF\xBD\x83lientes", tpPG, false},    // fullwidth small c
      {"\xCE\xBFrders", tpMySQL, false},       // Greek small omicron
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(IsAcceptedIdentifier(c.name, c.kind), c.accepted);
  }
  try {
    CheckIdentifier("x; y", tpSQLite);
    FAIL() << "refused name passed";
  } catch (const EDataService& e) {
    EXPECT_STREQ(e.what(), "Invalid identifier: x; y");
  }
}

TEST(Lifecycle, OneInstancePerThreadUntilFreed) {
  TDM::freeInstancia();  // nothing to free: no effect
  TDM& first = TDM::getInstancia();
  EXPECT_EQ(&first, &TDM::getInstancia());
  first.ParamsDB()->Host("somewhere");

  TDM* other = nullptr;
  std::thread([&] {
    other = &TDM::getInstancia();
    EXPECT_EQ(other->ParamsDB()->Host(), "");
    TDM::freeInstancia();
  }).join();
  EXPECT_NE(other, &first);
  EXPECT_EQ(first.ParamsDB()->Host(), "somewhere");

  TDM::freeInstancia();
  TDM& fresh = TDM::getInstancia();
  EXPECT_EQ(fresh.ParamsDB()->TipoSgdb(), TTipoSgdb::tpFB);
  EXPECT_EQ(fresh.ParamsDB()->Port(), 0);
  EXPECT_EQ(fresh.ParamsDB()->Host(), "");
  TDM::freeInstancia();
}

TEST(Lifecycle, ConnectionSettingsComeFromTheParameters) {
  TDMInstance dm;
  dm->DriverLinkFB().SetVendorLib("keep-fb");
  dm->ParamsDB()->fromJson(
      R"({"tipo_sgdb":2,"host":"","port":0,"charset":"UTF8","database":"db","user":"u",)"
      R"("password":"p","lib":"libpq-missing.so"})");
  const std::string verdict = dm->TesteDatabase(
      R"({"tipo_sgdb":2,"host":"","port":0,"charset":"UTF8","database":"db","user":"u",)"
      R"("password":"p","lib":"libpq-missing.so"})");
  const dbaccess::TDbDefinition& d = dm->DbConnection().Params();
  EXPECT_EQ(d.DriverID(), "PG");
  EXPECT_EQ(d.Port(), "0");
  EXPECT_FALSE(d.Has("Server"));
  EXPECT_EQ(d.CharacterSet(), "UTF8");
  EXPECT_EQ(d.Database(), "db");
  EXPECT_EQ(d.UserName(), "u");
  EXPECT_EQ(d.Password(), "p");
  EXPECT_EQ(dm->DriverLinkPg().VendorLib(), "libpq-missing.so");
  EXPECT_EQ(dm->DriverLinkFB().VendorLib(), "keep-fb");
  EXPECT_EQ(dm->DriverLinkMySQL().VendorLib(), "");
  // Unless another test of this process loaded the PG client already, the
  // named library is the one that fails to load.
  EXPECT_NE(verdict.find(R"("success":false)"), std::string::npos) << verdict;
}

TEST(RequestCheck, ReportsTheHeaderAndTheToolchainWord) {
  TDMInstance dm;
  dm->ToolchainText("C++");
  const std::pair<const char*, const char*> cases[] = {
      {"", R"({"can_header":false,"ide":"C++"})"},
      {" \t ", R"({"can_header":false,"ide":"C++"})"},
      {"{}", R"({"can_header":true,"ide":"C++"})"},
      {"x", R"({"can_header":true,"ide":"C++"})"},
  };
  for (const auto& [header, answer] : cases) EXPECT_EQ(dm->checkRequest(header), answer);
}

TEST(ConnectionTest, Verdicts) {
  const fs::path file =
      fs::temp_directory_path() / ("dm_test_" + std::to_string(::getpid()) + ".db");
  fs::remove(file);
  struct Case {
    std::string body;
    std::string verdict;
  };
  const Case cases[] = {
      {"   ", R"({"success":false,"message":"Params not found!"})"},
      {R"({"tipo_sgdb":9})",
       R"({"success":false,"message":"[DAL][Phys]-340. Driver ID is not defined. Set )"
       R"(TDbConnection.DriverName or add DriverID to your connection definition"})"},
      {R"({"tipo_sgdb":5,"database":")" + file.string() + R"("})",
       R"({"success":true,"message":"Teste de conex\u00e3o ok!"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    TDMInstance dm;
    EXPECT_EQ(dm->TesteDatabase(c.body), c.verdict);
  }
  EXPECT_TRUE(fs::exists(file));
  fs::remove(file);

  TDMInstance dm;
  const std::string broken = dm->TesteDatabase(R"({"tipo_sgdb":5,"database":)");
  EXPECT_NE(broken.find(R"("success":false)"), std::string::npos) << broken;
}

// The checks in their order, before any database is touched.
TEST(Import, EnvelopeChecksInOrder) {
  const std::string params = R"("params":{"tipo_sgdb":5,"database":"/nonexistent-dir/x.db"})";
  const std::string headers = R"("headers":{"teble_name":"t","pks":["id"],"fields":["nome"]})";
  struct Case {
    bool binary;
    std::string header;
    std::string body;
    std::string message;
  };
  const Case cases[] = {
      {false, "", "", "Dados invalid!"},
      {false, "", "[1,2]", "Conte\\u00fado invalid!"},
      {false, "", "not json", "Conte\\u00fado invalid!"},
      {false, "", "{}", "Params not found!"},
      {false, "", "{" + params + "}", "Headers not found!"},
      {false, "", "{" + params + R"(,"headers":{"table_name":"t"}})", "Tablename not found!"},
      {false, "", "{" + params + R"(,"HEADERS":{"Teble_Name":"t"}})", "Primary key not found!"},
      {false, "", "{" + params + R"(,"headers":{"teble_name":"t","pks":[]}})", "Fields not found!"},
      {false, "", "{" + params + "," + headers + "}", "The JSON is Empty."},
      {false, "",
       "{" + params + "," + headers +
           R"(,"tandemize":{"structure":[{"fieldName":"id","dataType":"ftInteger","size":0}],"data":[]}})",
       "No records to tandemize!"},
      {true, "[1]", "x", "Conte\\u00fado invalid!"},
      {true, "{" + params + "}", "", "Data not found!"},
      {true, "{" + headers + "}", "x", "Params not found!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body + " / " + c.header);
    text::TByteStream stream;
    stream.Write(c.body);
    stream.Position(0);
    TDMInstance dm;
    EXPECT_EQ(dm->Tandemize(c.header, &stream, c.binary),
              R"({"success":false,"message":")" + c.message + "\"}");
    EXPECT_FALSE(dm->DbConnection().Connected());
  }
  // A JSON import without a body reads as no envelope.
  TDMInstance dm;
  EXPECT_EQ(dm->Tandemize("", nullptr, false),
            R"({"success":false,"message":"Params not found!"})");
}

// A new SQLite database file named after aTag, holding the table
// t (id INTEGER PRIMARY KEY, nome TEXT) and nothing else.
fs::path SqliteFileWithTableT(const std::string& aTag) {
  const fs::path file =
      fs::temp_directory_path() / (aTag + "_" + std::to_string(::getpid()) + ".db");
  fs::remove(file);
  dbaccess::TDbConnection c;
  c.Params().SetValue("DriverID", "SQLite");
  c.Params().SetValue("Database", file.string());
  c.SetConnected(true);
  dbaccess::TDbQuery q(&c);
  q.SQL().SetText("CREATE TABLE t (id INTEGER PRIMARY KEY, nome TEXT)");
  q.ExecSQL();
  return file;
}

// Rows of one import reuse the statements prepared for the first row.
TEST(Import, EachStatementIsPreparedOncePerImport) {
  const fs::path file = SqliteFileWithTableT("dm_prep");
  std::string data;
  for (int i = 1; i <= 50; ++i) {
    data += (i > 1 ? "," : "") + std::string(R"({"id":)") + std::to_string(i % 25 + 1) +
            R"(,"nome":"n)" + std::to_string(i) + "\"}";
  }
  text::TByteStream body;
  body.Write(R"({"params":{"tipo_sgdb":5,"database":")" + file.string() +
             R"("},"headers":{"teble_name":"t","pks":["id"],"fields":["nome"]},)"
             R"("tandemize":{"structure":[{"fieldName":"id","dataType":"ftInteger","size":0},)"
             R"({"fieldName":"nome","dataType":"ftWideString","size":20}],"data":[)" +
             data + "]}}");
  TDMInstance dm;
  EXPECT_EQ(dm->Tandemize("", &body, false),
            R"({"success":true,"message":"Dados Importado com sucesso!"})");
  // The existence query, the INSERT and the UPDATE.
  EXPECT_EQ(dm->DbConnection().PrepareCount(), 3u);
  fs::remove(file);
}

// A dataset stream of table "t" with the rows (id, nome) 1..aRows.
std::string RowsStream(int aRows) {
  using DT = memtable::TColumnDataType;
  memtable::storage::TStreamManager m;
  memtable::storage::TStreamTable& t = m.AddTable("t");
  t.AddColumn("id", DT::dtInt32);
  t.AddColumn("nome", DT::dtWideString, 20);
  for (int i = 1; i <= aRows; ++i) {
    auto& row = t.AddRow(memtable::TRowStoreRowState::rsInserted);
    memtable::storage::SetStreamValue(t, row, memtable::TRowStoreBufferKind::bkCurrent, 0,
                                      std::int32_t{i});
    memtable::storage::SetStreamValue(t, row, memtable::TRowStoreBufferKind::bkCurrent, 1,
                                      std::string("n") + std::to_string(i));
  }
  return memtable::storage::WriteBinaryStream(m);
}

// An import lets go of its body once it has read it (a binary one after
// loading the rows, a JSON one after parsing the envelope), whatever comes
// after; one refused earlier keeps it. The same stream handed over again
// then answers what an empty body answers.
TEST(Import, BodyIsLetGoOnceRead) {
  const fs::path file = SqliteFileWithTableT("dm_letgo");
  const std::string params = R"("params":{"tipo_sgdb":5,"database":")" + file.string() + "\"}";
  const std::string headers = R"("headers":{"teble_name":"t","pks":["id"],"fields":["nome"]})";
  const std::string structure =
      R"("structure":[{"fieldName":"id","dataType":"ftInteger","size":0},)"
      R"({"fieldName":"nome","dataType":"ftWideString","size":20}])";
  const std::string ok = R"({"success":true,"message":"Dados Importado com sucesso!"})";
  const auto refused = [](std::string_view aMessage) {
    return R"({"success":false,"message":")" + std::string(aMessage) + "\"}";
  };
  struct Case {
    const char* name;
    bool binary;
    std::string header;
    std::string body;
    std::string verdict;
    bool letGo;
  };
  const Case cases[] = {
      {"binary rows", true, "{" + params + "," + headers + "}", RowsStream(300), ok, true},
      {"binary without rows", true, "{" + params + "," + headers + "}", RowsStream(0),
       refused(kNoRecords), true},
      {"binary refused on its header", true, "{" + params + "}", RowsStream(3),
       refused(kHeadersNotFound), false},
      {"JSON rows", false, "",
       "{" + params + "," + headers + R"(,"tandemize":{)" + structure +
           R"(,"data":[{"id":1,"nome":"a"},{"id":2,"nome":"b"}]}})",
       ok, true},
      {"JSON without rows", false, "",
       "{" + params + "," + headers + R"(,"tandemize":{)" + structure + R"(,"data":[]}})",
       refused(kNoRecords), true},
      {"JSON refused on its envelope", false, "", "[" + params + "]",
       refused("Conte\\u00fado invalid!"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    text::TByteStream stream(c.body);
    EXPECT_EQ(TDMInstance()->Tandemize(c.header, &stream, c.binary), c.verdict);
    EXPECT_EQ(stream.Size(), c.letGo ? 0u : c.body.size());
    const std::string again =
        c.letGo ? refused(c.binary ? kDataNotFound : kDataInvalid) : c.verdict;
    EXPECT_EQ(TDMInstance()->Tandemize(c.header, &stream, c.binary), again);
  }
  dbaccess::TDbConnection c;
  c.Params().SetValue("DriverID", "SQLite");
  c.Params().SetValue("Database", file.string());
  c.SetConnected(true);
  dbaccess::TDbQuery q(&c);
  q.SQL().SetText("SELECT count(*) FROM t");
  q.Open();
  EXPECT_EQ(std::get<std::int64_t>(q.FieldValue(0)), 300);
  q.Close();
  c.SetConnected(false);
  fs::remove(file);
}

// An import of many rows: every row lands once, the statements are still
// prepared once, and a row that fails late leaves nothing of the import
// behind.
TEST(Import, ManyRowsLandOnceOrNotAtAll) {
  const fs::path file =
      fs::temp_directory_path() / ("dm_batches_" + std::to_string(::getpid()) + ".db");
  fs::remove(file);
  dbaccess::TDbConnection c;
  c.Params().SetValue("DriverID", "SQLite");
  c.Params().SetValue("Database", file.string());
  c.SetConnected(true);
  dbaccess::TDbQuery q(&c);
  q.SQL().SetText("CREATE TABLE t (id INTEGER PRIMARY KEY, nome TEXT, dia TEXT)");
  q.ExecSQL();
  c.SetConnected(false);
  auto rowCount = [&] {
    q.SQL().SetText("SELECT count(*) FROM t");
    q.Open();
    const auto count = std::get<std::int64_t>(q.FieldValue(0));
    q.Close();
    c.SetConnected(false);
    return count;
  };
  auto import = [&](int aRows, int aBadRow) {
    std::string data;
    for (int i = 1; i <= aRows; ++i) {
      data += (i > 1 ? "," : "") + std::string(R"({"id":)") + std::to_string(i) + R"(,"nome":"n)" +
              std::to_string(i) + R"(","dia":")" + (i == aBadRow ? "not a date" : "2024-03-05") +
              "\"}";
    }
    text::TByteStream body;
    body.Write(R"({"params":{"tipo_sgdb":5,"database":")" + file.string() +
               R"("},"headers":{"teble_name":"t","pks":["id"],"fields":["nome","dia"]},)"
               R"("tandemize":{"structure":[{"fieldName":"id","dataType":"ftInteger","size":0},)"
               R"({"fieldName":"nome","dataType":"ftWideString","size":20},)"
               R"({"fieldName":"dia","dataType":"ftDate","size":0}],"data":[)" +
               data + "]}}");
    TDMInstance dm;
    const std::string verdict = dm->Tandemize("", &body, false);
    return std::make_pair(verdict, dm->DbConnection().PrepareCount());
  };

  const auto [verdict, prepared] = import(1000, 0);
  EXPECT_EQ(verdict, R"({"success":true,"message":"Dados Importado com sucesso!"})");
  EXPECT_EQ(prepared, 2u);  // the existence query and the INSERT
  EXPECT_EQ(rowCount(), 1000);

  const std::string failed = import(1500, 1400).first;
  EXPECT_NE(failed.find(R"("success":false)"), std::string::npos) << failed;
  EXPECT_EQ(rowCount(), 1000);
  fs::remove(file);
}

// Every row of a JSON import is converted before the database is touched: a
// row that cannot be converted, however late, is what the verdict reports
// even where the database would have failed first, and no connection is
// made, so no SQLite file is created and nothing is written.
TEST(Import, EveryRowIsConvertedBeforeTheDatabase) {
  const fs::path withTables = SqliteFileWithTableT("dm_order");
  {
    dbaccess::TDbConnection c;
    c.Params().SetValue("DriverID", "SQLite");
    c.Params().SetValue("Database", withTables.string());
    c.SetConnected(true);
    dbaccess::TDbQuery q(&c);
    q.SQL().SetText("CREATE TABLE t_notnull (id INTEGER PRIMARY KEY, nome TEXT NOT NULL)");
    q.ExecSQL();
  }
  const fs::path newFile =
      fs::temp_directory_path() / ("dm_order_new_" + std::to_string(::getpid()) + ".db");
  fs::remove(newFile);
  const auto sqlite = [](const fs::path& aFile) {
    return R"({"tipo_sgdb":5,"database":")" + aFile.string() + "\"}";
  };
  struct Target {
    const char* name;
    std::string params;
    const char* table;
    int nullNameRow;  // a row whose nome is null (0: none)
  };
  const Target targets[] = {
      {"database fine", sqlite(withTables), "t", 0},
      {"row 3 breaks a constraint", sqlite(withTables), "t_notnull", 3},
      {"no such table", sqlite(withTables), "ausente", 0},
      {"file not there yet", sqlite(newFile), "t", 0},
      {"folder missing", sqlite("/nonexistent-dir-dm-order/x.db"), "t", 0},
      {"server unreachable",
       R"({"tipo_sgdb":2,"host":"127.0.0.1","port":1,"database":"x","user":"u","password":"p"})",
       "t", 0},
  };
  struct BadRow {
    int at;           // 1-based, of 200 rows
    const char* row;  // in place of the good row
    const char* message;
  };
  const BadRow badRows[] = {
      {151, R"({"id":"row151","nome":"n"})", "'row151' is not a valid integer value"},
      {200, R"({"id":"row200","nome":"n"})", "'row200' is not a valid integer value"},
      {151, "5", "<TJsonValue>\"data\" value type error: jvInteger to jvObject"},
      {200, "[5]", "<TJsonValue>\"data\" value type error: jvInteger to jvObject"},
  };
  for (const Target& target : targets) {
    for (const BadRow& bad : badRows) {
      SCOPED_TRACE(std::string(target.name) + ", row " + std::to_string(bad.at) + " " + bad.row);
      std::string data;
      for (int i = 1; i <= 200; ++i) {
        if (i > 1) data += ',';
        if (i == bad.at) {
          data += bad.row;
        } else {
          data += R"({"id":)" + std::to_string(i) + R"(,"nome":)" +
                  (i == target.nullNameRow ? std::string("null") : "\"n\"") + "}";
        }
      }
      text::TByteStream body;
      body.Write(R"({"params":)" + target.params + R"(,"headers":{"teble_name":")" + target.table +
                 R"(","pks":["id"],"fields":["nome"]},)"
                 R"("tandemize":{"structure":[{"fieldName":"id","dataType":"ftInteger","size":0},)"
                 R"({"fieldName":"nome","dataType":"ftWideString","size":20}],"data":[)" +
                 data + "]}}");
      json::TJsonObject verdict;
      verdict.Put("success", false);
      verdict.Put("message", bad.message);
      TDMInstance dm;
      EXPECT_EQ(dm->Tandemize("", &body, false), verdict.Stringify());
      EXPECT_FALSE(dm->DbConnection().Connected());
      EXPECT_EQ(dm->DbConnection().PrepareCount(), 0u);
      EXPECT_FALSE(fs::exists(newFile));
    }
  }

  dbaccess::TDbConnection c;
  c.Params().SetValue("DriverID", "SQLite");
  c.Params().SetValue("Database", withTables.string());
  c.SetConnected(true);
  dbaccess::TDbQuery q(&c);
  q.SQL().SetText("SELECT (SELECT count(*) FROM t) + (SELECT count(*) FROM t_notnull)");
  q.Open();
  EXPECT_EQ(std::get<std::int64_t>(q.FieldValue(0)), 0);
  q.Close();
  c.SetConnected(false);
  fs::remove(withTables);
}

}  // namespace
}  // namespace tandemize::service
