// The MySQL kind against the MariaDB test server (TANDEMIZE_MYSQL_*).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "dbaccess/db_connection.h"
#include "dbaccess/internal/driver_mysql.h"
#include "dbaccess/test_kinds.h"
#include "mysql_firebird_odbc_kit.h"

namespace tandemize::dbaccess {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using testkit::Exec;
using testkit::Scalar;

const testkit::TServer kMySQL{"MySQL", "MYSQL"};

const bool kRegistered = test::RegisterTestKind({
    .Name = "MySQL",
    .DriverID = "MySQL",
    .ErrorPrefix = "[DAL][Phys][MySQL] ",
    .Fill = [](TDbDefinition& d) { test::FillFromEnv(d, "MYSQL"); },
    .FailedConnects = {{"a wrong password",
                        [](TDbDefinition& d) { d.SetValue("Password", "wrong-password"); }},
                       {"an unknown host",
                        [](TDbDefinition& d) { d.SetValue("Server", "nohost.invalid"); }}},
    // TIMESTAMP there is a 1970-2038 column that updates itself.
    .TimestampType = "DATETIME(3)",
    .BlobType = "LONGBLOB",
});

std::vector<std::string> Recreate(const std::string& table, const std::string& type) {
  return {"drop table if exists " + table,
          "create table " + table + " (ID INT, V " + type + ") character set utf8mb4"};
}

TEST(MySQLConnectArgs, PortIsPassedAsNumberOrZero) {
  struct {
    const char* Port;
    unsigned Expected;
  } const cases[] = {{"", 0}, {"0", 0}, {"33306", 33306}, {"3306x", 0}, {"-1", 0}};
  for (const auto& c : cases) {
    TDbDefinition definition;
    definition.SetValue("Server", "db.example");
    definition.SetValue("Port", c.Port);
    const auto args = phys::MySQLConnectArgs(definition);
    EXPECT_EQ(args.Port, c.Expected) << "Port=" << c.Port;
    EXPECT_EQ(args.Host, "db.example");
  }
}

class MySQLServer : public ::testing::Test {
 protected:
  void SetUp() override { testkit::UseServer(FConnection, kMySQL); }
  TDbConnection FConnection;
};

TEST_F(MySQLServer, ConnectsWithBeforeConnectSettingsAlwaysInUtf8mb4) {
  // Whatever CharacterSet says, the connection keeps every UTF-8 character.
  for (const char* charset : {"", "utf8", "latin1"}) {
    SCOPED_TRACE(charset);
    TDbConnection connection;
    testkit::UseServer(connection, kMySQL);
    auto fill = connection.BeforeConnect;
    connection.BeforeConnect = [&](TDbConnection& c) {
      fill(c);
      c.Params().SetValue("CharacterSet", charset);
    };
    connection.SetConnected(true);
    ASSERT_TRUE(connection.Connected());
    EXPECT_EQ(testkit::Canonical(Scalar(connection, "select @@character_set_connection")),
              "utf8mb4");
    EXPECT_EQ(testkit::Canonical(Scalar(connection, "select :S", {std::string("😀 漢 é")})),
              "😀 漢 é");
    connection.SetConnected(false);
    EXPECT_FALSE(connection.Connected());
  }
}

TEST_F(MySQLServer, FailedConnectionsCarryTheClientMessage) {
  struct {
    const char* Label;
    const char* Key;
    const char* Value;
    const char* Expected;
  } const cases[] = {
      {"wrong password", "Password", "not-the-password", "Access denied for user 'testuser'"},
      {"unknown user", "User_Name", "nobody_here", "Access denied for user 'nobody_here'"},
      {"unknown host", "Server", "nohost.invalid", "Unknown server host 'nohost.invalid'"},
      {"unknown database", "Database", "no_such_db", "no_such_db"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    TDbConnection connection;
    testkit::UseServer(connection, kMySQL);
    auto fill = connection.BeforeConnect;
    connection.BeforeConnect = [&](TDbConnection& conn) {
      fill(conn);
      conn.Params().SetValue(c.Key, c.Value);
    };
    try {
      connection.SetConnected(true);
      ADD_FAILURE() << "connected";
    } catch (const memtable::EDatabaseError& e) {
      EXPECT_THAT(e.what(), StartsWith("[DAL][Phys][MySQL] "));
      EXPECT_THAT(e.what(), HasSubstr(c.Expected));
    }
    EXPECT_FALSE(connection.Connected());
  }
}

TEST_F(MySQLServer, TransactionsCommitAndRollBack) {
  Exec(FConnection, "drop table if exists T_MYSQL_TX");
  Exec(FConnection,
       "create table T_MYSQL_TX (ID INT, V VARCHAR(40)) engine=InnoDB "
       "character set utf8mb4");
  TDbConnection observer;
  testkit::UseServer(observer, kMySQL);
  testkit::CheckCommitAndRollback(FConnection, observer, "T_MYSQL_TX");
}

TEST_F(MySQLServer, EveryValueKindReadsBackUnchanged) {
  testkit::CheckValueRoundTrips(
      FConnection, "T_MYSQL_VALUES", [](const testkit::TValueCase& c) { return c.MySQLType; },
      Recreate);
}

TEST_F(MySQLServer, UntypedNullFailsWith335) {
  for (const auto& sql : Recreate("T_MYSQL_NULL", "INT")) Exec(FConnection, sql);
  TDbQuery query(&FConnection);
  query.SQL().SetText("insert into T_MYSQL_NULL (ID, V) values (1, :Value)");
  query.ParamByName("VALUE") = TVariant{};
  try {
    query.ExecSQL();
    ADD_FAILURE() << "ran";
  } catch (const memtable::EDatabaseError& e) {
    EXPECT_THAT(e.what(), HasSubstr("-335. Parameter [VALUE] data type is unknown."));
  }
  EXPECT_EQ(testkit::Count(FConnection, "T_MYSQL_NULL"), 0);
}

TEST_F(MySQLServer, StatementErrorsCarryTheServerMessage) {
  try {
    Exec(FConnection, "select * from no_such_table");
    ADD_FAILURE() << "ran";
  } catch (const memtable::EDatabaseError& e) {
    EXPECT_EQ(std::string(e.what()),
              "[DAL][Phys][MySQL] Table 'testdb.no_such_table' doesn't exist");
  }
}

// The upsert engine reads with one query while it writes with others.
TEST_F(MySQLServer, OpenResultDoesNotBlockOtherStatements) {
  for (const auto& sql : Recreate("T_MYSQL_OPEN", "INT")) Exec(FConnection, sql);
  Exec(FConnection, "insert into T_MYSQL_OPEN values (1, 10), (2, 20), (3, 30)");
  TDbQuery reader(&FConnection);
  reader.SQL().SetText("select ID, V from T_MYSQL_OPEN order by ID");
  reader.Open();
  std::int64_t seen = 0;
  TDbQuery writer(&FConnection);
  writer.SQL().SetText("update T_MYSQL_OPEN set V = V + 1 where ID = :ID");
  while (!reader.Eof()) {
    writer.ParamByName("ID") = reader.FieldValue(0);
    writer.ExecSQL();
    EXPECT_EQ(writer.RowsAffected(), 1);
    ++seen;
    reader.Next();
  }
  EXPECT_EQ(seen, 3);
  EXPECT_EQ(phys::VariantToInt64(Scalar(FConnection, "select sum(V) from T_MYSQL_OPEN")), 63);
}

TEST_F(MySQLServer, RepeatedStatementIsPreparedOnce) {
  for (const auto& sql : Recreate("T_MYSQL_REUSE", "INT")) Exec(FConnection, sql);
  FConnection.StartTransaction();
  TDbQuery insert(&FConnection);
  insert.SQL().SetText("insert into T_MYSQL_REUSE (ID, V) values (:ID, :V)");
  const auto before = FConnection.PrepareCount();
  for (std::int32_t i = 0; i < 500; ++i) {
    insert.ParamByName("ID") = i;
    insert.ParamByName("V") = i * 2;
    insert.ExecSQL();
  }
  FConnection.Commit();
  EXPECT_EQ(FConnection.PrepareCount() - before, 1u);
  EXPECT_EQ(testkit::Count(FConnection, "T_MYSQL_REUSE"), 500);
}

TEST(MySQLLibrary, MissingVendorLibFailsWith314NamingTheFile) {
  TDbDriverRegistry registry;
  TDbDriverLink link("MySQL", &registry);
  link.SetVendorLib("/nonexistent/libmariadb-missing.so.3");
  TDbConnection connection(registry);
  testkit::UseServer(connection, kMySQL);
  try {
    connection.SetConnected(true);
    ADD_FAILURE() << "connected";
  } catch (const memtable::EDatabaseError& e) {
    EXPECT_THAT(e.what(), StartsWith("[DAL][Phys][MySQL]-314. Cannot load vendor library "
                                     "[/nonexistent/libmariadb-missing.so.3]. "));
  }
  EXPECT_FALSE(registry.IsLoaded("MySQL"));
}

}  // namespace
}  // namespace tandemize::dbaccess
