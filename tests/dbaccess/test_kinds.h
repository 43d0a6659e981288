#pragma once
// The database kinds the shared test body runs on. Each kind describes how
// to reach its test database and how its SQL differs; a kind joins every
// test of shared_kind_test.cpp by registering a descriptor from any source
// file of dbaccess_tests:
//
//   static const bool registered = tandemize::dbaccess::test::RegisterTestKind({
//       .Name = "MySQL", .DriverID = "MySQL", .ErrorPrefix = "[DAL][Phys][MySQL] ",
//       .Fill = [](TDbDefinition& d) { tandemize::dbaccess::test::FillFromEnv(d, "MYSQL"); },
//       ... });
//
// Servers are reached through TANDEMIZE_<PREFIX>_{HOST,PORT,DATABASE,USER,
// PASSWORD} (scripts/test-databases.sh writes them); a missing variable
// fails the test, it never skips it.

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "dbaccess/db_connection.h"

namespace tandemize::dbaccess::test {

// A connection attempt that must fail with the kind's message prefix.
struct TFailedConnect {
  std::string Label{};
  std::function<void(TDbDefinition&)> Spoil{};  // applied after Fill
};

struct TTestKind {
  std::string Name{};         // test name suffix
  std::string DriverID{};     // "SQLite", "PG", ...
  std::string ErrorPrefix{};  // what the kind's client errors start with
  std::string VendorLib{};    // set on the kind's driver link ("" = defaults)
  // Fills the definition (DriverID included) in the before-connect handler.
  std::function<void(TDbDefinition&)> Fill{};
  std::vector<TFailedConnect> FailedConnects{};
  // Tests of this kind change their database's schema one at a time when set
  // (see database_lock.h): the name of the database they share.
  std::string SchemaLock{};
  bool ChecksUntypedParams = true;  // 335 for an untyped NULL
  // Column types: integer, 64-bit, 16-bit, double, decimal(18,4) and
  // decimal(30,10), timestamp with milliseconds, date, boolean (or a small
  // integer), Unicode text of 200 characters, large binary.
  std::string IntType = "INTEGER", BigIntType = "BIGINT", SmallIntType = "SMALLINT",
              DoubleType = "DOUBLE PRECISION", Decimal18Type = "DECIMAL(18,4)",
              Decimal30Type = "DECIMAL(30,10)", TimestampType = "TIMESTAMP(3)", DateType = "DATE",
              BooleanType = "BOOLEAN", TextType = "VARCHAR(200)", BlobType = "BLOB";
  // Statements that (re)create `table` with `columns`; by default DROP TABLE
  // IF EXISTS then CREATE TABLE.
  std::function<std::vector<std::string>(const std::string& table, const std::string& columns)>
      RecreateTable{};
};

// Test names and failure traces show a kind by its name.
inline void PrintTo(const TTestKind& kind, std::ostream* out) {
  *out << kind.Name;
}

bool RegisterTestKind(TTestKind kind);
const std::vector<TTestKind>& TestKinds();

// Sets DriverID-independent server settings from TANDEMIZE_<prefix>_*; adds a
// test failure naming every missing variable.
void FillFromEnv(TDbDefinition& definition, const std::string& prefix);

// The value of an environment variable, or a test failure naming it.
std::string RequiredEnv(const std::string& name);

// The message of the database error `action` raises, or "<no failure>".
std::string FailureOf(const std::function<void()>& action);

}  // namespace tandemize::dbaccess::test
