#pragma once
// What the MySQL, FB/IB and MSSQL server tests share: the test servers'
// coordinates (build-test/test-databases.env, written by
// scripts/test-databases.sh start), a table of every value kind a parameter
// binds with the column type that holds it on each kind, and the bodies that
// write and read them back.

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "dbaccess/db_connection.h"
#include "dbaccess/internal/phys_values.h"

namespace tandemize::dbaccess::testkit {

using memtable::TBcd;
using memtable::TBytes;
using memtable::TCurrency;
using memtable::TSQLTimeStamp;

// A server coordinate; a missing one fails the test loudly (the servers are
// part of the test command, never optional).
inline std::string ServerEnv(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr || *value == '\0') {
    ADD_FAILURE() << name
                  << " is not set: run `scripts/test-databases.sh start` and source "
                     "build-test/test-databases.env (scripts/test.sh does both)";
    return {};
  }
  return value;
}

// One server kind under test: its DriverID and its env prefix
// (TANDEMIZE_<Prefix>_HOST ...).
struct TServer {
  std::string DriverID;
  std::string Prefix;
};

// Fills the definition in the before-connect notification, as the data
// service does.
inline void UseServer(TDbConnection& connection, const TServer& server) {
  const std::string p = "TANDEMIZE_" + server.Prefix + "_";
  const std::string host = ServerEnv(p + "HOST"), port = ServerEnv(p + "PORT"),
                    database = ServerEnv(p + "DATABASE"), user = ServerEnv(p + "USER"),
                    password = ServerEnv(p + "PASSWORD");
  const std::string driverId = server.DriverID;
  connection.SetLoginPrompt(false);
  connection.BeforeConnect = [=](TDbConnection& c) {
    c.Params().SetValue("DriverID", driverId);
    c.Params().SetValue("Server", host);
    c.Params().SetValue("Port", port);
    c.Params().SetValue("Database", database);
    c.Params().SetValue("User_Name", user);
    c.Params().SetValue("Password", password);
  };
}

inline void Exec(TDbConnection& connection, const std::string& sql) {
  TDbQuery query(&connection);
  query.SQL().SetText(sql);
  query.ExecSQL();
}

// The first column of the first row of `sql`, with `params` bound in order.
inline TVariant Scalar(TDbConnection& connection, const std::string& sql,
                       const std::vector<TVariant>& params = {}) {
  TDbQuery query(&connection);
  query.SQL().SetText(sql);
  for (std::size_t i = 0; i < params.size(); ++i) query.Params()[static_cast<int>(i)] = params[i];
  query.Open();
  EXPECT_FALSE(query.IsEmpty()) << sql;
  if (query.IsEmpty()) return {};
  return query.FieldValue(0);
}

inline std::int64_t Count(TDbConnection& connection, const std::string& table) {
  return phys::VariantToInt64(Scalar(connection, "select count(*) from " + table));
}

inline TBcd Bcd(const char* text) {
  TBcd bcd;
  EXPECT_TRUE(phys::TextToBcd(text, bcd)) << text;
  return bcd;
}

inline TBytes RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  TBytes bytes(size);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  return bytes;
}

// Long text mixing one-, two-, three- and four-byte characters.
inline std::string LongText(std::size_t repeats) {
  std::string text;
  for (std::size_t i = 0; i < repeats; ++i) text += "aé漢😀 ";
  return text;
}

// One value kind: what is bound, with which data type (ftUnknown: the one
// the value gives), the column type on each kind, and what reads back
// (empty Expected: the value itself).
struct TValueCase {
  std::string Label;
  TVariant Value;
  TFieldType DataType = TFieldType::ftUnknown;
  std::string MySQLType, FBType, PGType;
  TVariant Expected;
};

inline std::vector<TValueCase> ValueCases() {
  using enum TFieldType;
  TSQLTimeStamp stamp{2001, 2, 3, 4, 5, 6, 123};
  TSQLTimeStamp leapDay{2024, 2, 29, 13, 45, 30, 0};
  return {
      {"int16", std::int16_t{-32768}, ftUnknown, "SMALLINT", "SMALLINT", "SMALLINT", {}},
      {"int32", std::int32_t{2147483647}, ftUnknown, "INT", "INTEGER", "INTEGER", {}},
      {"int8", std::int8_t{-128}, ftUnknown, "SMALLINT", "SMALLINT", "SMALLINT", {}},
      {"uint8", std::uint8_t{255}, ftUnknown, "SMALLINT", "SMALLINT", "SMALLINT", {}},
      {"uint16", std::uint16_t{65535}, ftUnknown, "INT", "INTEGER", "INTEGER", {}},
      {"uint32", std::uint32_t{4294967295u}, ftUnknown, "BIGINT", "BIGINT", "BIGINT", {}},
      {"int64", std::int64_t{-9223372036854775807}, ftUnknown, "BIGINT", "BIGINT", "BIGINT", {}},
      {"uint64",
       std::uint64_t{9007199254740993u},
       ftUnknown,
       "BIGINT UNSIGNED",
       "BIGINT",
       "BIGINT",
       {}},
      {"single", 1.5f, ftUnknown, "FLOAT", "FLOAT", "REAL", {}},
      {"double",
       3.141592653589793,
       ftUnknown,
       "DOUBLE",
       "DOUBLE PRECISION",
       "DOUBLE PRECISION",
       {}},
      {"currency",
       TCurrency{12345678901},
       ftUnknown,
       "DECIMAL(18,4)",
       "DECIMAL(18,4)",
       "DECIMAL(18,4)",
       {}},
      {"bcd", Bcd("-12345.678"), ftUnknown, "DECIMAL(18,3)", "DECIMAL(18,3)", "DECIMAL(18,3)", {}},
      {"date-time", phys::TimeStampToDateTime(leapDay), ftUnknown, "DATETIME", "TIMESTAMP",
       "TIMESTAMP", leapDay},
      {"timestamp with fractions",
       stamp,
       ftUnknown,
       "DATETIME(6)",
       "TIMESTAMP",
       "TIMESTAMP(6)",
       {}},
      {"boolean", true, ftUnknown, "BOOLEAN", "BOOLEAN", "BOOLEAN", std::int64_t{1}},
      {"accents",
       std::string("Ação São João à çedilha ü ß"),
       ftUnknown,
       "VARCHAR(100)",
       "VARCHAR(100)",
       "VARCHAR(100)",
       {}},
      {"CJK",
       std::string("漢字かなカナ한국어"),
       ftUnknown,
       "VARCHAR(100)",
       "VARCHAR(100)",
       "VARCHAR(100)",
       {}},
      {"emoji",
       std::string("👍🏽 🎉 😀 \xF0\x9F\x98\x81"),
       ftUnknown,
       "VARCHAR(100)",
       "VARCHAR(100)",
       "VARCHAR(100)",
       {}},
      {"empty text", std::string(), ftUnknown, "VARCHAR(10)", "VARCHAR(10)", "VARCHAR(10)", {}},
      {"bytes", TBytes{0, 1, 2, 0xFF, 0, 0x80}, ftUnknown, "VARBINARY(16)", "BLOB", "BYTEA", {}},
      {"long text", LongText(40000), ftUnknown, "LONGTEXT", "BLOB SUB_TYPE TEXT", "TEXT", {}},
      {"large blob",
       RandomBytes(3 * 1024 * 1024 + 17, 7),
       ftUnknown,
       "LONGBLOB",
       "BLOB",
       "BYTEA",
       {}},
      {"NULL integer", TVariant{}, ftInteger, "INT", "INTEGER", "INTEGER", {}},
      {"NULL text", TVariant{}, ftString, "VARCHAR(10)", "VARCHAR(10)", "VARCHAR(10)", {}},
      {"NULL date-time", TVariant{}, ftDateTime, "DATETIME", "TIMESTAMP", "TIMESTAMP", {}},
      {"NULL blob", TVariant{}, ftBlob, "LONGBLOB", "BLOB", "BYTEA", {}},
  };
}

// Text form for comparing what was bound with what came back.
inline std::string Canonical(const TVariant& value) {
  if (memtable::VarIsNull(value)) return "<NULL>";
  return phys::VariantToText(value);
}

// Writes each case into a column of its type, reads it back and compares.
// `recreate(table, columnType)` gives the statements that make an empty
// table T(ID INTEGER, V <columnType>).
inline void CheckValueRoundTrips(
    TDbConnection& connection, const std::string& table,
    const std::function<std::string(const TValueCase&)>& columnType,
    const std::function<std::vector<std::string>(const std::string&, const std::string&)>&
        recreate) {
  for (const TValueCase& c : ValueCases()) {
    SCOPED_TRACE(c.Label);
    try {
      for (const std::string& sql : recreate(table, columnType(c))) Exec(connection, sql);
      TDbQuery insert(&connection);
      insert.SQL().Add("insert into " + table + " (ID, V)");
      insert.SQL().Add("values (:ID, :V)");
      insert.ParamByName("ID") = std::int32_t{1};
      if (c.DataType != TFieldType::ftUnknown) insert.ParamByName("V").SetDataType(c.DataType);
      insert.ParamByName("V") = c.Value;
      insert.ExecSQL();
      EXPECT_EQ(insert.RowsAffected(), 1);

      TDbQuery select(&connection);
      select.SQL().SetText("select V from " + table + " where ID = :id");
      select.ParamByName("ID") = std::int32_t{1};
      select.Open();
      ASSERT_FALSE(select.IsEmpty());
      const TVariant expected = memtable::VarIsNull(c.Expected) ? c.Value : c.Expected;
      const std::string got = Canonical(select.FieldValue(0));
      const std::string want = Canonical(expected);
      if (got.size() > 200 || want.size() > 200) {
        EXPECT_EQ(got.size(), want.size());
        EXPECT_TRUE(got == want) << "long value differs";
      } else {
        EXPECT_EQ(got, want);
      }
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
    }
    // Drops the statements prepared on the table, which Firebird would
    // otherwise keep "in use" when the next case recreates it.
    connection.SetConnected(false);
  }
}

// A transaction that inserts, reads its own row back and commits keeps the
// row; one that rolls back leaves nothing. A second connection sees only what
// was committed.
inline void CheckCommitAndRollback(TDbConnection& connection, TDbConnection& observer,
                                   const std::string& table) {
  struct TCase {
    const char* Label;
    bool Commit;
    std::int64_t RowsAfter;
  };
  const TCase cases[] = {{"commit", true, 1}, {"rollback", false, 0}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Label);
    Exec(connection, "delete from " + table);
    connection.StartTransaction();
    EXPECT_TRUE(connection.InTransaction());
    TDbQuery insert(&connection);
    insert.SQL().SetText("insert into " + table + " (ID, V) values (:ID, :V)");
    insert.ParamByName("ID") = std::int32_t{7};
    insert.ParamByName("V") = std::string("Transação ✓");
    insert.ExecSQL();
    EXPECT_EQ(Canonical(Scalar(connection, "select V from " + table + " where ID = :ID",
                               {std::int32_t{7}})),
              "Transação ✓");
    if (c.Commit) {
      connection.Commit();
    } else {
      connection.Rollback();
    }
    EXPECT_FALSE(connection.InTransaction());
    EXPECT_EQ(Count(connection, table), c.RowsAfter);
    EXPECT_EQ(Count(observer, table), c.RowsAfter);
  }
}

}  // namespace tandemize::dbaccess::testkit
