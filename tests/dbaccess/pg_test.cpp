// The PG kind: its shared-suite descriptor and what only it does (the
// connection string rules, its message texts, casts next to markers).

#include <gtest/gtest.h>

#include "dbaccess/db_connection.h"
#include "dbaccess/internal/phys_values.h"
#include "dbaccess/test_kinds.h"

namespace tandemize::dbaccess {
namespace {

using test::FailureOf;

const std::string kPrefix = "[DAL][Phys][PG][libpq] ";

const bool kRegistered = test::RegisterTestKind({
    .Name = "PG",
    .DriverID = "PG",
    .ErrorPrefix = kPrefix,
    .Fill = [](TDbDefinition& d) { test::FillFromEnv(d, "PG"); },
    .FailedConnects = {{"a wrong password",
                        [](TDbDefinition& d) { d.SetValue("Password", "wrong-password"); }},
                       {"an unknown host",
                        [](TDbDefinition& d) { d.SetValue("Server", "nohost.invalid"); }}},
    .BlobType = "BYTEA",
});

class PgTest : public ::testing::Test {
 protected:
  void Connect(const std::function<void(TDbDefinition&)>& adjust = nullptr) {
    FConnection.Params().SetValue("DriverID", "PG");
    test::FillFromEnv(FConnection.Params(), "PG");
    if (adjust) adjust(FConnection.Params());
    FConnection.SetConnected(true);
  }
  std::string Scalar(const std::string& sql) {
    TDbQuery query(&FConnection);
    query.SQL().SetText(sql);
    query.Open();
    return phys::VariantToText(query.FieldValue(0));
  }

  TDbConnection FConnection;
};

TEST_F(PgTest, TheSettingsBecomeTheConnectionString) {
  // The test server listens on 127.0.0.1 only, so "localhost" may resolve to
  // ::1 first; libpq then tries the next address.
  struct Case {
    const char* Label;
    std::function<void(TDbDefinition&)> Adjust;
    std::string Expected;  // current_database(), or the failure's start
  };
  const Case cases[] = {
      {"a dotted address goes as hostaddr", nullptr, "<database>"},
      {"a name goes as host", [](TDbDefinition& d) { d.SetValue("Server", "localhost"); },
       "<database>"},
      {"no database means postgres", [](TDbDefinition& d) { d.SetValue("Database", ""); },
       "postgres"},
      {"port 0 is passed on as given", [](TDbDefinition& d) { d.SetValue("Port", "0"); }, kPrefix},
      {"a quote in the password is escaped",
       [](TDbDefinition& d) { d.SetValue("Password", "it's \\ wrong"); }, kPrefix},
  };
  const std::string database = test::RequiredEnv("TANDEMIZE_PG_DATABASE");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    FConnection.SetConnected(false);
    if (c.Expected == kPrefix) {
      const std::string message = FailureOf([&] { Connect(c.Adjust); });
      EXPECT_EQ(message.rfind(kPrefix, 0), 0u) << message;
      continue;
    }
    Connect(c.Adjust);
    EXPECT_EQ(Scalar("SELECT current_database()"),
              c.Expected == "<database>" ? database : c.Expected);
  }
}

TEST_F(PgTest, ServerMessagesLoseTheirSeverityWord) {
  Connect();
  TDbQuery query(&FConnection);
  query.SQL().SetText(
      "DROP TABLE IF EXISTS tz_pg_dup; CREATE TABLE tz_pg_dup (id int PRIMARY KEY)");
  // Several commands in one prepared text are refused by the server.
  std::string message = FailureOf([&] { query.ExecSQL(); });
  EXPECT_EQ(message.rfind(kPrefix, 0), 0u) << message;
  query.SQL().SetText("DROP TABLE IF EXISTS tz_pg_dup");
  query.ExecSQL();
  query.SQL().SetText("CREATE TABLE tz_pg_dup (id int PRIMARY KEY)");
  query.ExecSQL();
  query.SQL().SetText("INSERT INTO tz_pg_dup VALUES (:id)");
  query.Params()[0] = std::int32_t{1};
  query.ExecSQL();
  message = FailureOf([&] { query.ExecSQL(); });
  EXPECT_EQ(message.rfind(kPrefix + "duplicate key value violates unique constraint", 0), 0u)
      << message;
  EXPECT_EQ(message.find("ERROR"), std::string::npos) << message;
  EXPECT_NE(message.back(), '\n');
}

TEST_F(PgTest, ACommitAfterAFailedStatementReportsTheRollback) {
  Connect();
  TDbQuery query(&FConnection);
  query.SQL().SetText("SELECT 1 / :zero");
  query.Params()[0] = std::int32_t{0};
  FConnection.StartTransaction();
  const std::string failure = FailureOf([&] { query.Open(); });
  EXPECT_NE(failure.find("division by zero"), std::string::npos) << failure;
  const std::string commit = FailureOf([&] { FConnection.Commit(); });
  EXPECT_EQ(commit.rfind(kPrefix, 0), 0u) << "the server rolled back; Commit must not look fine";
  EXPECT_FALSE(FConnection.InTransaction());
}

TEST_F(PgTest, CastsAndTypedResultsBesideMarkers) {
  Connect();
  TDbQuery query(&FConnection);
  query.SQL().SetText(
      "SELECT :a::int + 1 AS n, 'x:y' AS lit, :b::numeric(10,2) AS d, :a::text || '!' AS t, "
      "now() > '2000-01-01'::timestamp AS b");
  ASSERT_EQ(query.Params().Count(), 2);
  query.ParamByName("a") = std::int32_t{41};
  query.ParamByName("b") = std::string("12.5");
  query.Open();
  EXPECT_EQ(query.FieldValue("n"), TVariant(std::int32_t{42}));
  EXPECT_EQ(query.FieldValue("lit"), TVariant(std::string("x:y")));
  EXPECT_EQ(phys::VariantToText(query.FieldValue("d")), "12.50");
  EXPECT_EQ(query.FieldValue("t"), TVariant(std::string("41!")));
  EXPECT_EQ(query.FieldValue("b"), TVariant(true));
}

TEST_F(PgTest, TextKeepsEveryCharacterWhateverCharacterSetNames) {
  const std::string text = "Ação 漢字 😀";
  for (const char* charset : {"UTF8", "WIN1252", ""}) {
    SCOPED_TRACE(charset);
    FConnection.SetConnected(false);
    Connect([&](TDbDefinition& d) { d.SetValue("CharacterSet", charset); });
    TDbQuery query(&FConnection);
    query.SQL().SetText("SELECT :t::text");
    query.ParamByName("t") = text;
    query.Open();
    EXPECT_EQ(query.FieldValue(0), TVariant(text));
  }
}

}  // namespace
}  // namespace tandemize::dbaccess
