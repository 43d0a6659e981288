// The FB kind, and the IB kind through the Firebird client named by its
// VendorLib (TANDEMIZE_FB_LIB), against the Firebird test server
// (TANDEMIZE_FB_*).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "database_lock.h"
#include "dbaccess/db_connection.h"
#include "dbaccess/internal/driver_firebird.h"
#include "dbaccess/test_kinds.h"
#include "mysql_firebird_odbc_kit.h"

namespace tandemize::dbaccess {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using testkit::Exec;
using testkit::Scalar;

std::vector<std::string> Recreate(const std::string& table, const std::string& type) {
  return {"recreate table " + table + " (ID INTEGER, V " + type + ")"};
}

// The database of a kind's tests; they take its schema lock.
std::string FirebirdDatabaseFromEnv(const std::string& driverId) {
  const char* database = std::getenv(("TANDEMIZE_" + driverId + "_DATABASE").c_str());
  return database != nullptr ? database : driverId;
}

// The shared suite's descriptor for FB, or for IB through the Firebird client.
// Each kind has a database of its own (TANDEMIZE_FB_* and TANDEMIZE_IB_*).
test::TTestKind FirebirdKind(const char* driverId, std::string vendorLib) {
  const std::string prefix = std::string("[DAL][Phys][") + driverId + "]";
  return {
      .Name = driverId,
      .DriverID = driverId,
      .ErrorPrefix = prefix,
      .VendorLib = std::move(vendorLib),
      .Fill = [driverId](TDbDefinition& d) { test::FillFromEnv(d, driverId); },
      .FailedConnects = {{"a wrong password",
                          [](TDbDefinition& d) { d.SetValue("Password", "wrong-password"); }},
                         {"an unknown host",
                          [](TDbDefinition& d) { d.SetValue("Server", "nohost.invalid"); }}},
      .SchemaLock = FirebirdDatabaseFromEnv(driverId),
      .ChecksUntypedParams = false,
      // Firebird 3 numerics stop at 18 digits; the 30-digit decimal is kept
      // exactly as text.
      .Decimal30Type = "VARCHAR(40)",
      .TimestampType = "TIMESTAMP",
      .RecreateTable =
          [](const std::string& table, const std::string& columns) {
            return std::vector<std::string>{"RECREATE TABLE " + table + " (" + columns + ")"};
          },
  };
}

std::string FirebirdLibFromEnv() {
  const char* lib = std::getenv("TANDEMIZE_FB_LIB");
  // Unset: IB tries its own client names and fails loudly with 314.
  return lib != nullptr ? lib : "";
}

const bool kRegistered = test::RegisterTestKind(FirebirdKind("FB", "")) &&
                         test::RegisterTestKind(FirebirdKind("IB", FirebirdLibFromEnv()));

TEST(FirebirdDatabaseString, ServerPortAndDatabase) {
  struct {
    const char* Server;
    const char* Port;
    const char* Database;
    const char* Expected;
  } const cases[] = {
      {"127.0.0.1", "3050", "/data/x.fdb", "127.0.0.1/3050:/data/x.fdb"},
      {"db.example", "", "/data/x.fdb", "db.example:/data/x.fdb"},
      {"db.example", "0", "alias", "db.example/0:alias"},
      {"", "3050", "/data/x.fdb", "/data/x.fdb"},
      {"", "", "employee", "employee"},
  };
  for (const auto& c : cases) {
    TDbDefinition definition;
    definition.SetValue("Server", c.Server);
    definition.SetValue("Port", c.Port);
    definition.SetValue("Database", c.Database);
    EXPECT_EQ(phys::FirebirdDatabaseString(definition), c.Expected)
        << c.Server << " / " << c.Port << " : " << c.Database;
  }
}

// The FB kind by its default client names, and the IB kind with the
// Firebird client as its VendorLib, in a registry of its own so the kind is
// loaded afresh with that library.
struct TKind {
  const char* DriverID;
  bool UseFirebirdLib;
};

class FirebirdServer : public ::testing::TestWithParam<TKind> {
 protected:
  void SetUp() override {
    FSchemaLock.emplace(FirebirdDatabaseFromEnv(GetParam().DriverID));
    if (GetParam().UseFirebirdLib) {
      FLink = std::make_unique<TDbDriverLink>(GetParam().DriverID, &FRegistry);
      FLink->SetVendorLib(testkit::ServerEnv("TANDEMIZE_FB_LIB"));
    }
  }
  std::unique_ptr<TDbConnection> NewConnection() {
    auto connection = std::make_unique<TDbConnection>(FRegistry);
    testkit::UseServer(*connection, {GetParam().DriverID, GetParam().DriverID});
    return connection;
  }
  std::string Table(const std::string& base) const { return base + "_" + GetParam().DriverID; }
  std::string Prefix() const { return std::string("[DAL][Phys][") + GetParam().DriverID + "]"; }

  std::optional<harness::TDatabaseLock> FSchemaLock;  // released after everything below
  TDbDriverRegistry FRegistry;
  std::unique_ptr<TDbDriverLink> FLink;
};

TEST_P(FirebirdServer, ConnectsWithBeforeConnectSettingsInUtf8) {
  auto connection = NewConnection();
  connection->SetConnected(true);
  ASSERT_TRUE(connection->Connected());
  EXPECT_EQ(testkit::Canonical(
                Scalar(*connection,
                       "select trim(c.rdb$character_set_name) from mon$attachments a join "
                       "rdb$character_sets c on c.rdb$character_set_id = a.mon$character_set_id "
                       "where a.mon$attachment_id = current_connection")),
            "UTF8");
  EXPECT_EQ(
      testkit::Canonical(Scalar(*connection, "select cast(:S as varchar(20)) from rdb$database",
                                {std::string("😀 漢 é")})),
      "😀 漢 é");
  // IB has no client of its own here: it connected through its VendorLib.
  EXPECT_TRUE(FRegistry.IsLoaded(GetParam().DriverID));
}

TEST_P(FirebirdServer, FailedConnectionsCarryTheClientMessage) {
  struct {
    const char* Label;
    const char* Key;
    const char* Value;
    const char* Expected;
  } const cases[] = {
      {"wrong password", "Password", "not-the-password",
       "Your user name and password are not defined"},
      {"unknown user", "User_Name", "NOBODY_HERE", "Your user name and password are not defined"},
      {"unknown host", "Server", "nohost.invalid",
       "Unable to complete network request to host \"nohost.invalid\""},
      {"missing database", "Database", "/nonexistent/none.fdb", "/nonexistent/none.fdb"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    auto connection = NewConnection();
    auto fill = connection->BeforeConnect;
    connection->BeforeConnect = [&](TDbConnection& conn) {
      fill(conn);
      conn.Params().SetValue(c.Key, c.Value);
    };
    try {
      connection->SetConnected(true);
      ADD_FAILURE() << "connected";
    } catch (const memtable::EDatabaseError& e) {
      EXPECT_THAT(e.what(), StartsWith(Prefix()));
      EXPECT_THAT(e.what(), Not(StartsWith(Prefix() + " ")));
      EXPECT_THAT(e.what(), HasSubstr(c.Expected));
    }
    EXPECT_FALSE(connection->Connected());
  }
}

TEST_P(FirebirdServer, TransactionsCommitAndRollBack) {
  auto connection = NewConnection();
  auto observer = NewConnection();
  const std::string table = Table("T_FB_TX");
  Exec(*connection, "recreate table " + table + " (ID INTEGER, V VARCHAR(40))");
  testkit::CheckCommitAndRollback(*connection, *observer, table);
}

TEST_P(FirebirdServer, EveryValueKindReadsBackUnchanged) {
  auto connection = NewConnection();
  testkit::CheckValueRoundTrips(
      *connection, Table("T_FB_VALUES"), [](const testkit::TValueCase& c) { return c.FBType; },
      Recreate);
}

// The FB and IB kinds make no untyped-parameter check: a NULL with no data
// type is stored as NULL.
TEST_P(FirebirdServer, UntypedNullIsStoredAsNull) {
  auto connection = NewConnection();
  const std::string table = Table("T_FB_NULL");
  Exec(*connection, Recreate(table, "INTEGER")[0]);
  TDbQuery query(connection.get());
  query.SQL().SetText("insert into " + table + " (ID, V) values (1, :V)");
  query.ParamByName("V") = TVariant{};
  query.ExecSQL();
  EXPECT_EQ(testkit::Count(*connection, table + " where V is null"), 1);
}

TEST_P(FirebirdServer, StatementErrorsCarryTheServerMessage) {
  auto connection = NewConnection();
  try {
    Exec(*connection, "select * from NO_SUCH_TABLE");
    ADD_FAILURE() << "ran";
  } catch (const memtable::EDatabaseError& e) {
    EXPECT_THAT(e.what(), StartsWith(Prefix() + "Dynamic SQL Error"));
    EXPECT_THAT(e.what(), HasSubstr("NO_SUCH_TABLE"));
  }
  // A failed statement outside a transaction leaves the connection usable.
  EXPECT_EQ(testkit::Canonical(Scalar(*connection, "select 1 from rdb$database")), "1");
}

// Results stay readable while other statements of the connection run, in
// and outside an explicit transaction.
TEST_P(FirebirdServer, OpenResultDoesNotBlockOtherStatements) {
  auto connection = NewConnection();
  const std::string table = Table("T_FB_OPEN");
  Exec(*connection, Recreate(table, "INTEGER")[0]);
  for (int id = 1; id <= 3; ++id) {
    Exec(*connection, "insert into " + table + " values (" + std::to_string(id) + ", " +
                          std::to_string(id * 10) + ")");
  }
  for (const bool explicitTransaction : {false, true}) {
    SCOPED_TRACE(explicitTransaction ? "explicit transaction" : "no explicit transaction");
    if (explicitTransaction) connection->StartTransaction();
    TDbQuery reader(connection.get());
    reader.SQL().SetText("select ID from " + table + " order by ID");
    reader.Open();
    TDbQuery writer(connection.get());
    writer.SQL().SetText("update " + table + " set V = V + 1 where ID = :ID");
    int seen = 0;
    while (!reader.Eof()) {
      writer.ParamByName("ID") = reader.FieldValue(0);
      writer.ExecSQL();
      EXPECT_EQ(writer.RowsAffected(), 1);
      ++seen;
      reader.Next();
    }
    EXPECT_EQ(seen, 3);
    if (explicitTransaction) connection->Commit();
  }
  auto observer = NewConnection();
  EXPECT_EQ(phys::VariantToInt64(Scalar(*observer, "select sum(V) from " + table)), 66);
}

TEST_P(FirebirdServer, RepeatedStatementIsPreparedOnce) {
  auto connection = NewConnection();
  const std::string table = Table("T_FB_REUSE");
  Exec(*connection, Recreate(table, "INTEGER")[0]);
  connection->StartTransaction();
  TDbQuery insert(connection.get());
  insert.SQL().SetText("insert into " + table + " (ID, V) values (:ID, :V)");
  const auto before = connection->PrepareCount();
  for (std::int32_t i = 0; i < 500; ++i) {
    insert.ParamByName("ID") = i;
    insert.ParamByName("V") = i * 2;
    insert.ExecSQL();
  }
  connection->Commit();
  EXPECT_EQ(connection->PrepareCount() - before, 1u);
  EXPECT_EQ(testkit::Count(*connection, table), 500);
}

INSTANTIATE_TEST_SUITE_P(Kinds, FirebirdServer,
                         ::testing::Values(TKind{"FB", false}, TKind{"IB", true}),
                         [](const auto& info) { return std::string(info.param.DriverID); });

TEST(FirebirdLibrary, MissingVendorLibFailsWith314NamingTheFile) {
  struct {
    const char* DriverID;
    const char* VendorLib;
    const char* Named;
  } const cases[] = {
      {"FB", "/nonexistent/libfbclient-missing.so.2", "[/nonexistent/libfbclient-missing.so.2]"},
      {"IB", "/nonexistent/libgds-missing.so", "[/nonexistent/libgds-missing.so]"},
      // No InterBase client here: the default names are tried and named.
      {"IB", "", "[libgds.so or libibtogo.so]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.VendorLib);
    TDbDriverRegistry registry;
    TDbDriverLink link(c.DriverID, &registry);
    link.SetVendorLib(c.VendorLib);
    TDbConnection connection(registry);
    testkit::UseServer(connection, {c.DriverID, c.DriverID});
    try {
      connection.SetConnected(true);
      ADD_FAILURE() << "connected";
    } catch (const memtable::EDatabaseError& e) {
      EXPECT_THAT(e.what(), StartsWith(std::string("[DAL][Phys][") + c.DriverID +
                                       "]-314. Cannot load vendor library " + c.Named + ". "));
    }
    EXPECT_FALSE(registry.IsLoaded(c.DriverID));
  }
}

}  // namespace
}  // namespace tandemize::dbaccess
