// The running program over real HTTP: imports in both forms into every
// database kind whose test server is reachable (SQLite always), connection
// tests, the request check, the envelope messages, and many imports at once.
// Each suite starts the program (TANDEMIZE_BINARY) once, on a free port,
// waits for the banner and stops it by PID after its last test. The test database coordinates come
// from the TANDEMIZE_<KIND>_* variables of build-test/test-databases.env.

#include <gtest/gtest.h>

#include <fmt/format.h>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "database_lock.h"
#include "dbaccess/db_connection.h"
#include "memtable/storage/stream_writer.h"
#include "program_harness.h"

namespace tandemize::service {
namespace {

namespace fs = std::filesystem;
using harness::Call;
using harness::Env;
using harness::Import;
using harness::kSuccess;
using harness::TAnswer;
using harness::TMethod;

constexpr const char* kUtfName =
    "A\xc3\xa7\xc3\xa3o \xe2\x98\x83 \xe6\x97\xa5\xe6\x9c\xac \xe2\x82\xac";

// ------------------------------------------------------------ target kinds

struct TKind {
  const char* Name;  // test name and table prefix
  int Tipo;          // "tipo_sgdb"
  const char* Env;   // TANDEMIZE_<Env>_*
  const char* DriverID;
  const char* Charset;
};

const TKind kKinds[] = {
    {"SQLite", 5, nullptr, "SQLite", ""},
    {"PG", 2, "PG", "PG", "UTF8"},
    {"MySQL", 3, "MYSQL", "MySQL", "utf8mb4"},
    {"FB", 0, "FB", "FB", "UTF8"},
    {"IB", 1, "FB", "IB", "UTF8"},
    {"MSSQL", 4, "MSSQL", "MSSQL", ""},
};

// Test names show the kind, not the bytes of the struct.
void PrintTo(const TKind& aKind, std::ostream* aOut) {
  *aOut << aKind.Name;
}

struct TTarget {
  TKind Kind;
  std::string Host, Port, Database, User, Password, Lib;

  // The "params" object, with optional replacements.
  std::string Params(const std::string& aPassword, const std::string& aLib) const {
    return fmt::format(
        R"({{"tipo_sgdb":{},"host":"{}","port":{},"catalog":"","charset":"{}","database":"{}",)"
        R"("user":"{}","password":"{}","lib":"{}"}})",
        Kind.Tipo, Host, Port.empty() ? "0" : Port, Kind.Charset, Database, User, aPassword, aLib);
  }
  std::string Params() const { return Params(Password, Lib); }
};

// The target of a kind, or nullopt when its server is not configured.
std::optional<TTarget> TargetOf(const TKind& aKind, const std::string& aSQLiteFile) {
  TTarget t{aKind, "", "", "", "", "", ""};
  if (aKind.Env == nullptr) {
    t.Database = aSQLiteFile;
    return t;
  }
  const std::string prefix = std::string("TANDEMIZE_") + aKind.Env + "_";
  t.Host = Env((prefix + "HOST").c_str());
  if (t.Host.empty()) return std::nullopt;
  t.Port = Env((prefix + "PORT").c_str());
  t.Database = Env((prefix + "DATABASE").c_str());
  t.User = Env((prefix + "USER").c_str());
  t.Password = Env((prefix + "PASSWORD").c_str());
  // The InterBase kind runs through the Firebird client.
  if (std::string(aKind.Name) == "IB") t.Lib = Env("TANDEMIZE_FB_LIB");
  return t;
}

std::string Show(const memtable::TVariant& aValue) {
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>)
          return "null";
        else if constexpr (std::is_same_v<T, std::string>)
          return v;
        else if constexpr (std::is_same_v<T, bool>)
          return v ? "1" : "0";
        else if constexpr (std::is_integral_v<T>)
          return std::to_string(v);
        else if constexpr (std::is_floating_point_v<T>)
          return fmt::format("{}", v);
        else
          return "?";
      },
      aValue);
}

// The test's own connection to the target, for tables and checks.
class TDirect {
 public:
  explicit TDirect(const TTarget& aTarget)
      : FIbLink("IB"),
        FDirect({{"DriverID", aTarget.Kind.DriverID},
                 {"Server", aTarget.Host},
                 {"Port", aTarget.Port},
                 {"Database", aTarget.Database},
                 {"User_Name", aTarget.User},
                 {"Password", aTarget.Password},
                 {"CharacterSet", aTarget.Kind.Charset}}) {
    if (std::string(aTarget.Kind.Name) == "IB") FIbLink.SetVendorLib(aTarget.Lib);
  }

  void Exec(const std::string& aSql) { FDirect.Exec(aSql); }

  void Recreate(const std::string& aTable, const std::string& aColumns) {
    try {
      Exec("DROP TABLE " + aTable);
    } catch (const std::exception&) {
      // absent
    }
    Exec("CREATE TABLE " + aTable + " (" + aColumns + ")");
  }

  // Every row of the query, values joined by "|".
  std::vector<std::string> Rows(const std::string& aSql) {
    dbaccess::TDbConnection& connection = FDirect.Connection();
    if (!connection.Connected()) connection.SetConnected(true);
    connection.StartTransaction();
    std::vector<std::string> rows;
    {
      dbaccess::TDbQuery q(&connection);
      q.SQL().SetText(aSql);
      for (q.Open(); !q.Eof(); q.Next()) {
        std::string row;
        for (int i = 0; i < q.FieldCount(); ++i) row += (i ? "|" : "") + Show(q.FieldValue(i));
        rows.push_back(row);
      }
    }
    connection.Commit();
    return rows;
  }

  void Close() { FDirect.Close(); }

 private:
  dbaccess::TDbDriverLink FIbLink;  // lives as long as the connection below
  harness::TDirect FDirect;
};

// -------------------------------------------------------------- envelopes

constexpr const char* kStructure = R"([{"fieldName":"ID","dataType":"ftInteger","size":0},)"
                                   R"({"fieldName":"Loja","dataType":"ftInteger","size":0},)"
                                   R"({"fieldName":"Nome","dataType":"ftWideString","size":60},)"
                                   R"({"fieldName":"Preco","dataType":"ftFloat","size":0}])";

std::string Headers(const std::string& aTable, const std::string& aPks,
                    const std::string& aFields) {
  return fmt::format(R"({{"teble_name":"{}","pks":{},"fields":{}}})", aTable, aPks, aFields);
}

std::string Envelope(const TTarget& aTarget, const std::string& aHeaders,
                     const std::string& aData) {
  return fmt::format(R"({{"params":{},"headers":{},"tandemize":{{"structure":{},"data":{}}}}})",
                     aTarget.Params(), aHeaders, kStructure, aData);
}

// ------------------------------------------------------------------ tests

class DataRoutes : public harness::TProgramSuite {};

class KindImport : public DataRoutes, public ::testing::WithParamInterface<TKind> {
 protected:
  void SetUp() override {
    FSQLiteFile =
        (fs::temp_directory_path() / fmt::format("tz_e2e_{}_{}.db", ::getpid(), GetParam().Name))
            .string();
    fs::remove(FSQLiteFile);
    FTarget = TargetOf(GetParam(), FSQLiteFile);
    // scripts/test.sh starts every server; a missing one is a failure, not a skip.
    if (!FTarget) GTEST_FAIL() << "no test server configured for " << GetParam().Name;
    // Other test processes recreate tables in the same Firebird database.
    const std::string driver = GetParam().DriverID;
    if (driver == "FB" || driver == "IB") FSchemaLock.emplace(FTarget->Database);
    // Statements name the table in lower case; MySQL table names are case-sensitive.
    std::string kind = GetParam().Name;
    for (char& c : kind) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    FSimple = "tz_" + kind + "_simple";
    FComposite = "tz_" + kind + "_composite";
    FDirect = std::make_unique<TDirect>(*FTarget);
    FDirect->Recreate(FSimple,
                      "id INTEGER NOT NULL PRIMARY KEY, nome VARCHAR(60), "
                      "preco DOUBLE PRECISION CHECK (preco >= 0)");
    FDirect->Recreate(FComposite,
                      "id INTEGER NOT NULL, loja INTEGER NOT NULL, nome VARCHAR(60), "
                      "PRIMARY KEY (id, loja)");
    FDirect->Close();
  }
  void TearDown() override {
    FDirect.reset();
    DataRoutes::TearDown();
    fs::remove(FSQLiteFile);
  }

  std::vector<std::string> Simple() {
    auto rows = FDirect->Rows("SELECT id, nome, preco FROM " + FSimple + " ORDER BY id");
    FDirect->Close();
    return rows;
  }
  std::vector<std::string> Composite() {
    auto rows = FDirect->Rows("SELECT id, loja, nome FROM " + FComposite + " ORDER BY id, loja");
    FDirect->Close();
    return rows;
  }
  std::string SimpleHeaders() const { return Headers(FSimple, R"(["ID"])", R"(["Nome","Preco"])"); }

  std::string FSQLiteFile;
  std::optional<TTarget> FTarget;
  std::string FSimple, FComposite;
  std::optional<harness::TDatabaseLock> FSchemaLock;
  std::unique_ptr<TDirect> FDirect;
};

TEST_P(KindImport, InsertsThenUpdatesWithTextExact) {
  struct Step {
    const char* data;
    std::vector<std::string> rows;
  };
  const std::string utf = kUtfName;
  const Step steps[] = {
      {R"([{"ID":1,"Loja":1,"Nome":"Ana","Preco":1.5},{"ID":2,"Loja":1,"Nome":"Ação ☃ 日本 €","Preco":2.25}])",
       {"1|Ana|1.5", "2|" + utf + "|2.25"}},
      // The same keys again: UPDATEs.
      {R"([{"ID":1,"Loja":1,"Nome":"Bea","Preco":3},{"ID":2,"Loja":1,"Nome":"Zé","Preco":0.5}])",
       {"1|Bea|3", "2|Z\xc3\xa9|0.5"}},
      // One key twice in one import: inserted, then updated.
      {R"([{"ID":3,"Loja":1,"Nome":"first","Preco":1},{"ID":3,"Loja":1,"Nome":"second","Preco":2}])",
       {"1|Bea|3", "2|Z\xc3\xa9|0.5", "3|second|2"}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.data);
    const TAnswer answer = Import(Envelope(*FTarget, SimpleHeaders(), step.data));
    EXPECT_EQ(answer.Status, 200);
    EXPECT_EQ(answer.ContentType, "application/json");
    EXPECT_EQ(answer.Body, kSuccess);
    EXPECT_EQ(Simple(), step.rows);
  }
}

TEST_P(KindImport, CompositeKey) {
  const std::string headers = Headers(FComposite, R"(["ID","Loja"])", R"(["Nome"])");
  EXPECT_EQ(Import(Envelope(*FTarget, headers,
                            R"([{"ID":1,"Loja":1,"Nome":"a"},{"ID":1,"Loja":2,"Nome":"b"}])"))
                .Body,
            kSuccess);
  EXPECT_EQ(Import(Envelope(*FTarget, headers,
                            R"([{"ID":1,"Loja":2,"Nome":"B"},{"ID":2,"Loja":1,"Nome":"c"}])"))
                .Body,
            kSuccess);
  EXPECT_EQ(Composite(), (std::vector<std::string>{"1|1|a", "1|2|B", "2|1|c"}));
}

TEST_P(KindImport, AFailingRowLeavesNothing) {
  ASSERT_EQ(
      Import(Envelope(*FTarget, SimpleHeaders(), R"([{"ID":9,"Nome":"old","Preco":1}])")).Body,
      kSuccess);
  struct Case {
    const char* headers_pks;
    const char* data;
    const char* message;  // start of the verdict's message
  };
  const Case cases[] = {
      // The third row breaks the table's check constraint.
      {R"(["ID"])",
       R"([{"ID":1,"Nome":"a","Preco":1},{"ID":9,"Nome":"new","Preco":2},{"ID":3,"Nome":"c","Preco":-1}])",
       "[DAL]"},
      // A key column the rows do not have.
      {R"(["Codigo"])", R"([{"ID":1,"Nome":"a","Preco":1}])", "Key field 'Codigo' not found"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data);
    const TAnswer answer =
        Import(Envelope(*FTarget, Headers(FSimple, c.headers_pks, R"(["Nome","Preco"])"), c.data));
    EXPECT_EQ(answer.Status, 200);
    EXPECT_EQ(answer.Body.rfind(std::string(R"({"success":false,"message":")") + c.message, 0), 0u)
        << answer.Body;
    EXPECT_EQ(Simple(), std::vector<std::string>{"9|old|1"});
  }
}

TEST_P(KindImport, NullsAreStoredAsNull) {
  EXPECT_EQ(Import(Envelope(*FTarget, SimpleHeaders(),
                            R"([{"ID":1,"Nome":null,"Preco":null},{"ID":2,"Nome":"x","Preco":1}])"))
                .Body,
            kSuccess);
  EXPECT_EQ(
      Import(Envelope(*FTarget, SimpleHeaders(), R"([{"ID":2,"Nome":null,"Preco":null}])")).Body,
      kSuccess);
  EXPECT_EQ(Simple(), (std::vector<std::string>{"1|null|null", "2|null|null"}));
  auto nulls =
      FDirect->Rows("SELECT COUNT(*) FROM " + FSimple + " WHERE nome IS NULL AND preco IS NULL");
  FDirect->Close();
  EXPECT_EQ(nulls, std::vector<std::string>{"2"});
}

TEST_P(KindImport, RefusedIdentifiersRunNoStatement) {
  const std::string data = R"([{"ID":1,"Nome":"a","Preco":1}])";
  struct Case {
    std::string headers;
    std::string refused;
  };
  const Case cases[] = {
      {Headers(FSimple + "; DELETE FROM " + FSimple, R"(["ID"])", R"(["Nome"])"),
       FSimple + "; DELETE FROM " + FSimple},
      {Headers(FSimple, R"(["ID"])", R"(["Nome","Preco) --"])"), "Preco) --"},
      {Headers(FSimple, R"(["ID = 1 OR 1"])", R"(["Nome"])"), "ID = 1 OR 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.headers);
    EXPECT_EQ(Import(Envelope(*FTarget, c.headers, data)).Body,
              R"({"success":false,"message":"Invalid identifier: )" + c.refused + "\"}");
  }
  EXPECT_TRUE(Simple().empty());
}

// A dataset stream as a client sends it: unchanged, modified, deleted and
// inserted rows; deleted rows are not written, modified ones with their
// current values.
std::string ClientStream() {
  using DT = memtable::TColumnDataType;
  using RS = memtable::TRowStoreRowState;
  using BK = memtable::TRowStoreBufferKind;
  memtable::storage::TStreamManager m;
  memtable::storage::TStreamTable& t = m.AddTable("clientes");
  t.AddColumn("ID", DT::dtInt32);
  t.AddColumn("Nome", DT::dtWideString, 60)
      .Attributes.Include(memtable::TColumnAttribute::caAllowNull);
  t.AddColumn("Preco", DT::dtDouble).Attributes.Include(memtable::TColumnAttribute::caAllowNull);
  const auto set = [&](memtable::storage::TStreamRow& r, BK kind,
                       std::vector<memtable::TVariant> v) {
    for (std::size_t c = 0; c < v.size(); ++c)
      memtable::storage::SetStreamValue(t, r, kind, c, v[c]);
  };
  set(t.AddRow(RS::rsUnchanged), BK::bkOriginal, {std::int32_t{1}, std::string("Ana"), 1.5});
  auto& modified = t.AddRow(RS::rsModified);
  set(modified, BK::bkOriginal, {std::int32_t{2}, std::string("Bia"), 2.0});
  set(modified, BK::bkCurrent, {std::int32_t{2}, std::string(kUtfName), 2.5});
  set(t.AddRow(RS::rsDeleted), BK::bkOriginal, {std::int32_t{3}, std::string("Caio"), 3.0});
  set(t.AddRow(RS::rsInserted), BK::bkCurrent,
      {std::int32_t{4}, memtable::TVariant{}, memtable::TVariant{}});
  return memtable::storage::WriteBinaryStream(m);
}

TEST_P(KindImport, BinaryStream) {
  const std::string header =
      fmt::format(R"({{"params":{},"headers":{}}})", FTarget->Params(), SimpleHeaders());
  const std::string stream = ClientStream();
  const std::vector<std::string> rows{"1|Ana|1.5", "2|" + std::string(kUtfName) + "|2.5",
                                      "4|null|null"};
  for (int round = 0; round < 2; ++round) {  // inserts, then the same rows as updates
    const TAnswer answer =
        Call(TMethod::Post, "/tandemize", stream, "application/octet-stream", header);
    EXPECT_EQ(answer.Body, kSuccess);
    EXPECT_EQ(Simple(), rows);
  }
}

// The connection test first needs a program that has not loaded the kind's
// client yet: each test starts a program of its own.
class KindConnection : public KindImport {
 protected:
  static void SetUpTestSuite() {}
  static void TearDownTestSuite() {}
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(FProgram.Start());
    KindImport::SetUp();
  }
  void TearDown() override {
    KindImport::TearDown();
    FProgram.Stop();
  }
  harness::TServer FProgram;
};

TEST_P(KindConnection, ConnectionTest) {
  const auto test = [](const std::string& aBody) {
    return Call(TMethod::Post, "/testedb", aBody, "application/json").Body;
  };
  const std::string failure = R"({"success":false,"message":")";
  if (GetParam().Env != nullptr) {
    // First, while the kind's client is not loaded in the program yet.
    const std::string missing =
        test(FTarget->Params(FTarget->Password, "/usr/lib/nonexistent/libclient.so"));
    // The writer escapes "/" as "\/".
    EXPECT_EQ(missing.rfind(failure + "[DAL][Phys][" + GetParam().DriverID +
                                "]-314. Cannot load vendor library "
                                "[\\/usr\\/lib\\/nonexistent\\/libclient.so]",
                            0),
              0u)
        << missing;
    const std::string badLogin = test(FTarget->Params("wrong-password", FTarget->Lib));
    EXPECT_EQ(badLogin.rfind(failure + "[DAL][Phys]", 0), 0u) << badLogin;
  }
  EXPECT_EQ(test(FTarget->Params()), R"({"success":true,"message":"Teste de conex\u00e3o ok!"})");
}

INSTANTIATE_TEST_SUITE_P(Kinds, KindImport, ::testing::ValuesIn(kKinds),
                         [](const auto& aInfo) { return std::string(aInfo.param.Name); });
INSTANTIATE_TEST_SUITE_P(Kinds, KindConnection, ::testing::ValuesIn(kKinds),
                         [](const auto& aInfo) { return std::string(aInfo.param.Name); });

TEST_F(DataRoutes, RequestCheck) {
  const std::pair<std::optional<std::string>, const char*> cases[] = {
      {std::nullopt, R"({"can_header":false,"ide":"C++"})"},
      {std::string("   "), R"({"can_header":false,"ide":"C++"})"},
      {std::string(R"({"params":{}})"), R"({"can_header":true,"ide":"C++"})"},
  };
  for (const auto& [header, body] : cases) {
    const TAnswer answer = Call(TMethod::Get, "/checkrequest", {}, {}, header);
    EXPECT_EQ(answer.Status, 200);
    EXPECT_EQ(answer.ContentType, "application/json");
    EXPECT_EQ(answer.Body, body);
  }
}

TEST_F(DataRoutes, EnvelopeMessagesAndTheMissingBody) {
  struct Case {
    std::string contentType;
    std::optional<std::string> header;
    std::string body;
    int status;
    std::string answer;
  };
  const Case cases[] = {
      {"application/octet-stream", std::nullopt, "", 200,
       R"({"success":false,"message":"Dados invalid!"})"},
      // A blank header is a JSON import.
      {"application/octet-stream", std::string("  "), "[1]", 200,
       R"({"success":false,"message":"Conte\u00fado invalid!"})"},
      {"application/octet-stream", std::string(R"({"params":{}})"), "", 200,
       R"({"success":false,"message":"Data not found!"})"},
      {"application/octet-stream", std::string(R"({"headers":{}})"), "x", 200,
       R"({"success":false,"message":"Params not found!"})"},
      {"application/octet-stream", std::nullopt, R"({"params":{},"headers":{"teble_name":"t"}})",
       200, R"({"success":false,"message":"Primary key not found!"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    const TAnswer answer = Call(TMethod::Post, "/tandemize", c.body, c.contentType, c.header);
    EXPECT_EQ(answer.Status, c.status);
    EXPECT_EQ(answer.ContentType, "application/json");
    EXPECT_EQ(answer.Body, c.answer);
  }
  // Without the octet-stream body there is nothing to import.
  const TAnswer page = Call(TMethod::Post, "/tandemize", R"({"params":{}})", "application/json");
  EXPECT_EQ(page.Status, 500);
  EXPECT_EQ(page.ContentType.rfind("text/html", 0), 0u) << page.ContentType;
  EXPECT_NE(page.Body.find("application/octet-stream"), std::string::npos) << page.Body;
}

TEST_F(DataRoutes, ConnectionTestOfAnUnknownKind) {
  EXPECT_EQ(Call(TMethod::Post, "/testedb", R"({"tipo_sgdb":9})", "application/json").Body,
            R"({"success":false,"message":"[DAL][Phys]-340. Driver ID is not defined. Set )"
            R"(TDbConnection.DriverName or add DriverID to your connection definition"})");
  EXPECT_EQ(Call(TMethod::Post, "/testedb", "  ", "application/json").Body,
            R"({"success":false,"message":"Params not found!"})");
}

// Imports at once, each into a database of its own.
TEST_F(DataRoutes, ConcurrentImportsKeepTheirOwnRows) {
  constexpr int kImports = 32;
  std::vector<std::string> files(kImports), answers(kImports);
  std::vector<TTarget> targets;
  for (int i = 0; i < kImports; ++i) {
    files[i] =
        (fs::temp_directory_path() / fmt::format("tz_e2e_{}_c{}.db", ::getpid(), i)).string();
    fs::remove(files[i]);
    targets.push_back(*TargetOf(kKinds[0], files[i]));
    TDirect direct(targets.back());
    direct.Exec("CREATE TABLE t (id INTEGER PRIMARY KEY, nome TEXT, preco REAL)");
  }
  std::vector<std::thread> threads;
  for (int i = 0; i < kImports; ++i) {
    threads.emplace_back([&, i] {
      std::string data;
      for (int r = 0; r < 20; ++r) {
        data += fmt::format(R"({}{{"ID":{},"Nome":"db{}","Preco":{}}})", r ? "," : "", r + 1, i, r);
      }
      answers[i] = Import(Envelope(targets[i], Headers("t", R"(["ID"])", R"(["Nome","Preco"])"),
                                   "[" + data + "]"))
                       .Body;
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kImports; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(answers[i], kSuccess);
    TDirect direct(targets[i]);
    EXPECT_EQ(direct.Rows("SELECT COUNT(*), MIN(nome), MAX(nome), SUM(preco) FROM t"),
              std::vector<std::string>{fmt::format("20|db{}|db{}|190", i, i)});
    direct.Close();
    fs::remove(files[i]);
  }
}

}  // namespace
}  // namespace tandemize::service
