// The MSSQL kind through the real ODBC driver manager. The test servers
// register a real ODBC driver under a SQL Server driver name (ODBCSYSINI in
// build-test/test-databases.env) and point it at a database server
// (TANDEMIZE_MSSQL_*), so connection, binding and results all go through
// the driver manager's wide-character interface.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "dbaccess/db_connection.h"
#include "dbaccess/internal/driver_odbc.h"
#include "dbaccess/test_kinds.h"
#include "mysql_firebird_odbc_kit.h"

// The PostgreSQL ODBC driver that stands in for the SQL Server one leaks a
// few bytes of its own when a statement fails; that is not this program's
// memory, so the leak check leaves that library's allocations alone.
extern "C" __attribute__((used)) const char* __lsan_default_suppressions() {
  return "leak:psqlodbcw.so\n";
}

namespace tandemize::dbaccess {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using testkit::Exec;
using testkit::Scalar;

const testkit::TServer kMSSQL{"MSSQL", "MSSQL"};

const bool kRegistered = test::RegisterTestKind({
    .Name = "MSSQL",
    .DriverID = "MSSQL",
    .ErrorPrefix = "[DAL][Phys][ODBC]",
    .Fill = [](TDbDefinition& d) { test::FillFromEnv(d, "MSSQL"); },
    .FailedConnects = {{"a wrong password",
                        [](TDbDefinition& d) { d.SetValue("Password", "wrong-password"); }},
                       {"an unknown host",
                        [](TDbDefinition& d) { d.SetValue("Server", "nohost.invalid"); }}},
    .BlobType = "BYTEA",
});

std::vector<std::string> Recreate(const std::string& table, const std::string& type) {
  return {"drop table if exists " + table,
          "create table " + table + " (ID INTEGER, V " + type + ")"};
}

TEST(MSSQLDriverChoice, FirstWantedNameThatIsInstalledIgnoringCase) {
  struct {
    std::vector<std::string> Installed;
    const char* Expected;
  } const cases[] = {
      {{"PostgreSQL Unicode", "ODBC Driver 17 for SQL Server"}, "ODBC Driver 17 for SQL Server"},
      {{"SQL Server", "odbc driver 17 for sql server", "ODBC Driver 13 for SQL Server"},
       "ODBC Driver 13 for SQL Server"},
      {{"SQL Server", "SQL Server Native Client 11.0"}, "SQL Server Native Client 11.0"},
      {{"SQL Native Client", "SQL Server"}, "SQL Native Client"},
      {{"ODBC Driver 18 for SQL Server", "FreeTDS"}, ""},
      {{}, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(phys::ChooseMSSQLDriver(c.Installed), c.Expected)
        << ::testing::PrintToString(c.Installed);
  }
}

TEST(MSSQLConnectionString, KeysMarsRuleAndQuotedValues) {
  struct {
    const char* Label;
    const char* Driver;
    std::vector<std::pair<const char*, const char*>> Settings;
    const char* Expected;
  } const cases[] = {
      {"every setting; Port and CharacterSet unused",
       "ODBC Driver 17 for SQL Server",
       {{"Server", "db,1433"},
        {"Port", "1500"},
        {"Database", "sales"},
        {"User_Name", "sa"},
        {"Password", "pw"},
        {"CharacterSet", "UTF8"}},
       "DRIVER=ODBC Driver 17 for SQL Server;SERVER=db,1433;DATABASE=sales;UID=sa;PWD=pw"},
      {"absent settings left out", "SQL Server", {{"Server", "db"}}, "DRIVER=SQL Server;SERVER=db"},
      {"native client asks for MARS",
       "SQL Server Native Client 11.0",
       {{"Server", "db"}},
       "DRIVER=SQL Server Native Client 11.0;SERVER=db;MARS_Connection=yes"},
      {"driver 13 asks for MARS",
       "ODBC Driver 13 for SQL Server",
       {{"Database", "d"}},
       "DRIVER=ODBC Driver 13 for SQL Server;DATABASE=d;MARS_Connection=yes"},
      {"driver 11 asks for MARS",
       "ODBC Driver 11 for SQL Server",
       {},
       "DRIVER=ODBC Driver 11 for SQL Server;MARS_Connection=yes"},
      {"MARS already named",
       "SQL Native Client",
       {{"Database", "x;MARS_Connection=no"}},
       "DRIVER=SQL Native Client;DATABASE={x;MARS_Connection=no}"},
      {"a password cannot add keys",
       "SQL Server",
       {{"Password", "p;DATABASE=other"}},
       "DRIVER=SQL Server;PWD={p;DATABASE=other}"},
      {"closing braces doubled",
       "SQL Server",
       {{"Password", "a}b{c"}},
       "DRIVER=SQL Server;PWD={a}}b{c}"},
  };
  for (const auto& c : cases) {
    TDbDefinition definition;
    for (const auto& [key, value] : c.Settings) definition.SetValue(key, value);
    EXPECT_EQ(phys::MSSQLConnectionString(c.Driver, definition), c.Expected) << c.Label;
  }
}

class MSSQLServer : public ::testing::Test {
 protected:
  void SetUp() override { testkit::UseServer(FConnection, kMSSQL); }
  TDbConnection FConnection;
};

TEST_F(MSSQLServer, ConnectsThroughTheDriverManager) {
  FConnection.SetConnected(true);
  ASSERT_TRUE(FConnection.Connected());
  EXPECT_EQ(testkit::Canonical(Scalar(FConnection, "select current_user")),
            testkit::ServerEnv("TANDEMIZE_MSSQL_USER"));
  // Wide text both ways: parameters and results keep every character.
  EXPECT_EQ(testkit::Canonical(
                Scalar(FConnection, "select cast(:S as varchar(40))", {std::string("😀 漢 é")})),
            "😀 漢 é");
  FConnection.SetConnected(false);
  EXPECT_FALSE(FConnection.Connected());
}

TEST_F(MSSQLServer, FailedConnectionsCarryTheFirstDiagnostic) {
  struct {
    const char* Label;
    const char* Key;
    const char* Value;
    const char* Expected;
  } const cases[] = {
      {"wrong password", "Password", "not-the-password", "password authentication failed"},
      {"unknown host", "Server", "nohost.invalid", "nohost.invalid"},
      {"unknown database", "Database", "no_such_db", "no_such_db"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    TDbConnection connection;
    testkit::UseServer(connection, kMSSQL);
    auto fill = connection.BeforeConnect;
    connection.BeforeConnect = [&](TDbConnection& conn) {
      fill(conn);
      conn.Params().SetValue(c.Key, c.Value);
    };
    try {
      connection.SetConnected(true);
      ADD_FAILURE() << "connected";
    } catch (const memtable::EDatabaseError& e) {
      EXPECT_THAT(e.what(), StartsWith("[DAL][Phys][ODBC]"));
      EXPECT_THAT(e.what(), Not(StartsWith("[DAL][Phys][ODBC] ")));
      EXPECT_THAT(e.what(), HasSubstr(c.Expected));
    }
    EXPECT_FALSE(connection.Connected());
  }
}

TEST_F(MSSQLServer, TransactionsCommitAndRollBack) {
  for (const auto& sql : Recreate("T_ODBC_TX", "VARCHAR(40)")) Exec(FConnection, sql);
  TDbConnection observer;
  testkit::UseServer(observer, kMSSQL);
  testkit::CheckCommitAndRollback(FConnection, observer, "T_ODBC_TX");
}

TEST_F(MSSQLServer, EveryValueKindReadsBackUnchanged) {
  testkit::CheckValueRoundTrips(
      FConnection, "T_ODBC_VALUES", [](const testkit::TValueCase& c) { return c.PGType; },
      Recreate);
}

TEST_F(MSSQLServer, UntypedNullFailsWith335) {
  for (const auto& sql : Recreate("T_ODBC_NULL", "INTEGER")) Exec(FConnection, sql);
  TDbQuery query(&FConnection);
  query.SQL().SetText("insert into T_ODBC_NULL (ID, V) values (1, :Value)");
  query.ParamByName("VALUE") = TVariant{};
  try {
    query.ExecSQL();
    ADD_FAILURE() << "ran";
  } catch (const memtable::EDatabaseError& e) {
    EXPECT_THAT(e.what(), StartsWith("[DAL][Phys][MSSQL]-335. Parameter [VALUE] data type is "
                                     "unknown."));
  }
  EXPECT_EQ(testkit::Count(FConnection, "T_ODBC_NULL"), 0);
}

TEST_F(MSSQLServer, StatementErrorsCarryTheFirstDiagnostic) {
  try {
    Exec(FConnection, "select * from no_such_table");
    ADD_FAILURE() << "ran";
  } catch (const memtable::EDatabaseError& e) {
    EXPECT_THAT(e.what(), StartsWith("[DAL][Phys][ODBC]"));
    EXPECT_THAT(e.what(), HasSubstr("no_such_table"));
  }
}

TEST_F(MSSQLServer, OpenResultDoesNotBlockOtherStatements) {
  for (const auto& sql : Recreate("T_ODBC_OPEN", "INTEGER")) Exec(FConnection, sql);
  Exec(FConnection, "insert into T_ODBC_OPEN values (1, 10), (2, 20), (3, 30)");
  FConnection.StartTransaction();
  TDbQuery reader(&FConnection);
  reader.SQL().SetText("select ID from T_ODBC_OPEN order by ID");
  reader.Open();
  TDbQuery writer(&FConnection);
  writer.SQL().SetText("update T_ODBC_OPEN set V = V + 1 where ID = :ID");
  int seen = 0;
  while (!reader.Eof()) {
    writer.ParamByName("ID") = reader.FieldValue(0);
    writer.ExecSQL();
    EXPECT_EQ(writer.RowsAffected(), 1);
    ++seen;
    reader.Next();
  }
  FConnection.Commit();
  EXPECT_EQ(seen, 3);
  EXPECT_EQ(phys::VariantToInt64(Scalar(FConnection, "select sum(V) from T_ODBC_OPEN")), 63);
}

TEST(MSSQLLibrary, MissingDriverManagerFailsWith314NamingTheFile) {
  TDbDriverRegistry registry;
  TDbDriverLink link("MSSQL", &registry);
  link.SetVendorLib("/nonexistent/libodbc-missing.so.2");
  TDbConnection connection(registry);
  testkit::UseServer(connection, kMSSQL);
  try {
    connection.SetConnected(true);
    ADD_FAILURE() << "connected";
  } catch (const memtable::EDatabaseError& e) {
    EXPECT_THAT(e.what(), StartsWith("[DAL][Phys][MSSQL]-314. Cannot load vendor library "
                                     "[/nonexistent/libodbc-missing.so.2]. "));
  }
  EXPECT_FALSE(registry.IsLoaded("MSSQL"));
}

}  // namespace
}  // namespace tandemize::dbaccess
