// Generated imports (import_model.h) into the test PostgreSQL server, each
// compared with the result of the same import into SQLite. The generator
// keeps to kind-neutral input (plain ASCII names, one declared type per
// kind, no NUL in text, unique keys that allow NULL), so that both
// databases must end with the same rows, compared value by value in a form
// both give (numbers as numbers, dates as text, bytes as bytes).
//
// Not part of the test command: run it by hand against the shared server,
//   source build-test/test-databases.env
//   build-test/tests/service/service_import_pg_fuzz
// TANDEMIZE_IMPORT_CASES (default 150) and TANDEMIZE_IMPORT_SEED choose the
// cases. Each case uses a table of its own, named after the process.

#include <libpq-fe.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "../test_servers.h"  // this tool is built without tests/ on its include path
#include "service/import_model.h"
#include "service/import_text.h"
#include "service/import_values.h"

namespace tandemize::importfuzz {
namespace {

std::string Env(const char* aName) {
  const char* value = std::getenv(aName);
  return value != nullptr ? value : "";
}

using TPgRow = std::vector<std::optional<std::string>>;

class TPg {
 public:
  TPg() {
    const std::string conninfo = fmt::format(
        "host={} port={} dbname={} user={} password={} connect_timeout=10",
        Env("TANDEMIZE_PG_HOST"), Env("TANDEMIZE_PG_PORT"), Env("TANDEMIZE_PG_DATABASE"),
        Env("TANDEMIZE_PG_USER"), Env("TANDEMIZE_PG_PASSWORD"));
    FConn = PQconnectdb(conninfo.c_str());
    // Statements the server holds back longer than this are a finding of their own.
    Exec("SET statement_timeout = 60000");
    Exec("SET client_min_messages = warning");
  }
  ~TPg() { PQfinish(FConn); }
  TPg(const TPg&) = delete;
  TPg& operator=(const TPg&) = delete;

  bool Ok() const { return PQstatus(FConn) == CONNECTION_OK; }
  std::string Error() const { return PQerrorMessage(FConn); }

  bool Exec(const std::string& aSql) {
    PGresult* result = PQexec(FConn, aSql.c_str());
    const bool ok =
        PQresultStatus(result) == PGRES_COMMAND_OK || PQresultStatus(result) == PGRES_TUPLES_OK;
    PQclear(result);
    return ok;
  }

  // Values as text, blobs (aBinary) as bytes; nullopt: NULL.
  bool Insert(const std::string& aSql, const TPgRow& aValues, const std::vector<bool>& aBinary) {
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
    for (std::size_t i = 0; i < aValues.size(); ++i) {
      values.push_back(aValues[i] ? aValues[i]->c_str() : nullptr);
      lengths.push_back(aValues[i] ? static_cast<int>(aValues[i]->size()) : 0);
      formats.push_back(aBinary[i] ? 1 : 0);
    }
    PGresult* result = PQexecParams(FConn, aSql.c_str(), static_cast<int>(values.size()), nullptr,
                                    values.data(), lengths.data(), formats.data(), 0);
    const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
    PQclear(result);
    return ok;
  }

  std::optional<std::vector<TPgRow>> Select(const std::string& aSql) {
    PGresult* result = PQexec(FConn, aSql.c_str());
    if (PQresultStatus(result) != PGRES_TUPLES_OK) {
      PQclear(result);
      return std::nullopt;
    }
    std::vector<TPgRow> rows;
    for (int r = 0; r < PQntuples(result); ++r) {
      TPgRow row;
      for (int c = 0; c < PQnfields(result); ++c) {
        if (PQgetisnull(result, r, c)) {
          row.emplace_back();
        } else {
          row.emplace_back(std::string(PQgetvalue(result, r, c),
                                       static_cast<std::size_t>(PQgetlength(result, r, c))));
        }
      }
      rows.push_back(std::move(row));
    }
    PQclear(result);
    return rows;
  }

 private:
  PGconn* FConn = nullptr;
};

std::string PgType(TVk aKind) {
  switch (aKind) {
    case TVk::kInt:
    case TVk::kBool:
      return "bigint";
    case TVk::kFloat:
    case TVk::kSingle:
      return "double precision";
    case TVk::kCurrency:
    case TVk::kBcd:
      return "numeric";
    case TVk::kDate:
    case TVk::kTime:
    case TVk::kDateTime:
      return "timestamp";
    case TVk::kBlob:
    case TVk::kBytes:
      return "bytea";
    default:
      return "text";
  }
}

// How a column's values are compared.
enum class TCompare : std::uint8_t { kText, kNumber, kDecimal, kDate, kBytes };

TCompare CompareOf(TVk aKind) {
  switch (aKind) {
    case TVk::kInt:
    case TVk::kBool:
    case TVk::kFloat:
    case TVk::kSingle:
      return TCompare::kNumber;
    case TVk::kCurrency:
    case TVk::kBcd:
      return TCompare::kDecimal;
    case TVk::kDate:
    case TVk::kTime:
    case TVk::kDateTime:
      return TCompare::kDate;
    case TVk::kBlob:
    case TVk::kBytes:
      return TCompare::kBytes;
    default:
      return TCompare::kText;
  }
}

std::string NumberForm(double aValue, bool aDecimal) {
  if (aValue == 0) aValue = 0;  // -0 and 0 alike
  if (aDecimal && std::isfinite(aValue)) {
    return fmt::format("{:.14g}", aValue);  // decimals read through text differ in the last bit
  }
  char buffer[64];
  return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, aValue).ptr);
}

// "YYYY-MM-DD HH:MM:SS" with milliseconds as three digits when not zero.
std::string DateForm(std::string aText) {
  const std::size_t point = aText.find('.');
  if (point == std::string::npos) return aText;
  std::string fraction = aText.substr(point + 1);
  fraction.resize(3, '0');
  return fraction == "000" ? aText.substr(0, point) : aText.substr(0, point + 1) + fraction;
}

std::string SqliteForm(const TSqlValue& aValue, TCompare aCompare) {
  switch (aValue.Kind) {
    case TSqlValue::TKind::kNull:
      return "NULL";
    case TSqlValue::TKind::kInteger:
      return aCompare == TCompare::kText
                 ? std::to_string(aValue.Integer)
                 : NumberForm(static_cast<double>(aValue.Integer), aCompare == TCompare::kDecimal);
    case TSqlValue::TKind::kReal:
      return NumberForm(aValue.Real, aCompare == TCompare::kDecimal);
    case TSqlValue::TKind::kText:
      return aCompare == TCompare::kDate ? DateForm(aValue.Bytes) : aValue.Bytes;
    case TSqlValue::TKind::kBlob:
      return text::Hex(aValue.Bytes);
  }
  return "?";
}

std::string PgForm(const std::optional<std::string>& aValue, TCompare aCompare) {
  if (!aValue) return "NULL";
  switch (aCompare) {
    case TCompare::kNumber:
    case TCompare::kDecimal:
      return NumberForm(std::strtod(aValue->c_str(), nullptr), aCompare == TCompare::kDecimal);
    case TCompare::kDate:
      return DateForm(*aValue);
    case TCompare::kBytes: {
      std::string bytes;
      for (std::size_t i = 2; i + 1 < aValue->size(); i += 2) {
        bytes += static_cast<char>(std::stoi(aValue->substr(i, 2), nullptr, 16));
      }
      return text::Hex(bytes);
    }
    default:
      return *aValue;
  }
}

using TForms = std::vector<std::vector<std::string>>;

// The PG form of the starting row's value of a column.
std::optional<std::string> PgParam(const TSqlValue& aValue) {
  switch (aValue.Kind) {
    case TSqlValue::TKind::kNull:
      return std::nullopt;
    case TSqlValue::TKind::kInteger:
      return std::to_string(aValue.Integer);
    case TSqlValue::TKind::kReal: {
      if (std::isinf(aValue.Real)) return aValue.Real > 0 ? "Infinity" : "-Infinity";
      char buffer[64];
      return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, aValue.Real).ptr);
    }
    default:
      return aValue.Bytes;
  }
}

struct TPgRun {
  std::size_t Cases = 0, Compared = 0, Skipped = 0, Succeeded = 0;
};

// One case into PG and SQLite; an empty string when both end alike.
std::string RunPgCase(TCase& aCase, TPg& aPg, const std::string& aFolder, TPgRun& aRun) {
  const std::string table = aCase.DbTableName;
  const TOutcome sqlite = RunCase(aCase, InProcessImport, aFolder);
  if (!sqlite.Finding.empty()) return "in SQLite already: " + sqlite.Finding;
  if (sqlite.Skipped) {
    ++aRun.Skipped;
    return {};
  }

  std::vector<TCompare> compare;
  std::vector<bool> binary;
  std::string columns, definitions, markers;
  for (std::size_t d = 0; d < aCase.DbOrder.size(); ++d) {
    const int index = aCase.DbOrder[d];
    std::string name, definition;
    TVk kind = TVk::kText;
    if (index >= 0) {
      const TColumn& column = aCase.Columns[static_cast<std::size_t>(index)];
      kind = KindOf(aCase, column);
      name = column.DbName;
      definition = name + " " + PgType(kind) + (column.NotNull ? " NOT NULL" : "");
    } else {
      const TExtraDbColumn& extra = aCase.ExtraDbColumns[static_cast<std::size_t>(-index - 1)];
      name = extra.Name;
      definition = extra.Definition;
    }
    compare.push_back(index >= 0 ? CompareOf(kind) : TCompare::kText);
    binary.push_back(compare.back() == TCompare::kBytes);
    columns += (d > 0 ? ", " : "") + name;
    definitions += (d > 0 ? ", " : "") + definition;
    markers += fmt::format("{}${}", d > 0 ? ", " : "", d + 1);
  }
  aPg.Exec("DROP TABLE IF EXISTS " + table);
  if (aCase.DatabaseExists && aCase.TableExists) {
    if (!aCase.KeyConstraint.empty()) definitions += ", " + aCase.KeyConstraint;
    if (!aPg.Exec(fmt::format("CREATE TABLE {} ({})", table, definitions))) {
      ++aRun.Skipped;
      return {};
    }
    for (const TSqlRow& row : aCase.StartRows) {
      TPgRow values;
      for (const TSqlValue& value : row) values.push_back(PgParam(value));
      aPg.Insert(fmt::format("INSERT INTO {} ({}) VALUES ({})", table, columns, markers), values,
                 binary);
    }
  }
  const std::string select = fmt::format("SELECT {} FROM {}", columns, table);
  auto forms = [&](const std::optional<std::vector<TPgRow>>& aRows) -> std::optional<TForms> {
    if (!aRows) return std::nullopt;
    TForms out;
    for (const TPgRow& row : *aRows) {
      std::vector<std::string> form;
      for (std::size_t i = 0; i < row.size(); ++i) form.push_back(PgForm(row[i], compare[i]));
      out.push_back(std::move(form));
    }
    std::sort(out.begin(), out.end());
    return out;
  };
  const std::optional<TForms> before = forms(aPg.Select(select));

  const std::string params = fmt::format(
      R"({{"tipo_sgdb":2,"host":"{}","port":{},"database":"{}","user":"{}","password":"{}"}})",
      Env("TANDEMIZE_PG_HOST"), Env("TANDEMIZE_PG_PORT"), Env("TANDEMIZE_PG_DATABASE"),
      Env("TANDEMIZE_PG_USER"), Env("TANDEMIZE_PG_PASSWORD"));
  const TVerdict verdict = ParseVerdict(InProcessImport(BuildRequest(aCase, "", false, params)));
  const std::optional<std::vector<TPgRow>> afterRaw = aPg.Select(select);
  const std::optional<TForms> after = forms(afterRaw);
  aPg.Exec("DROP TABLE IF EXISTS " + table);
  ++aRun.Compared;
  if (verdict.Success) ++aRun.Succeeded;

  std::optional<TForms> expected;
  if (sqlite.OracleRows) {
    TForms out;
    for (const TSqlRow& row : *sqlite.OracleRows) {
      std::vector<std::string> form;
      for (std::size_t i = 0; i < row.size(); ++i) form.push_back(SqliteForm(row[i], compare[i]));
      out.push_back(std::move(form));
    }
    std::sort(out.begin(), out.end());
    expected = std::move(out);
  }
  const bool mustFail = aCase.Expect == TExpect::kFailure || !sqlite.OracleSucceeded;
  std::string problem;
  if (!verdict.Valid) {
    problem = "the answer is not a verdict: " + verdict.Raw;
  } else if (verdict.Success && mustFail) {
    problem = "success in PostgreSQL where SQLite's import fails";
  } else if (!verdict.Success && !mustFail && aCase.Expect != TExpect::kEither) {
    problem = "failure in PostgreSQL where SQLite's import succeeds";
  } else if (verdict.Success && after != expected) {
    problem = "PostgreSQL's table differs from SQLite's";
  } else if (!verdict.Success && after != before) {
    problem = "failure in PostgreSQL, but the table changed";
  }
  if (problem.empty()) return {};
  auto show = [](const std::optional<TForms>& aRows) {
    if (!aRows) return std::string("  (no table)\n");
    std::string out;
    for (const auto& row : *aRows) {
      out += "  (";
      for (std::size_t i = 0; i < row.size(); ++i)
        out += (i > 0 ? ", " : "") + text::Quoted(row[i]);
      out += ")\n";
    }
    return out;
  };
  std::string raw;
  for (const TPgRow& row : afterRaw.value_or(std::vector<TPgRow>{})) {
    raw += "  (";
    for (std::size_t i = 0; i < row.size(); ++i) {
      raw += (i > 0 ? ", " : "") + (row[i] ? text::Quoted(*row[i]) : std::string("NULL"));
    }
    raw += ")\n";
  }
  return fmt::format(
      "FINDING: {}\nPostgreSQL verdict: {}\nSQLite verdict: {}\n"
      "SQLite's table:\n{}PostgreSQL's table:\n{}as PostgreSQL gives it:\n{}{}",
      problem, verdict.Raw, sqlite.Verdict, show(expected), show(after), raw,
      DescribeCase(aCase, "<file>"));
}

TEST(ImportPg, GeneratedImportsEndAsInSqlite) {
  ASSERT_TRUE(harness::TestServerSet("PG"));
  TPg pg;
  ASSERT_TRUE(pg.Ok()) << pg.Error();
  TGenOptions options;
  options.Apply(KnownOpenFaultClasses());
  options.Apply("-nul,-unsigned64,-autoinc,-long,-quoted");
  // PostgreSQL receives an empty byte string as NULL (a fault of its own,
  // left out so that the run finds others); TANDEMIZE_IMPORT_CLASSES may
  // put it back.
  options.Apply("-emptybytes");
  if (const char* classes = std::getenv("TANDEMIZE_IMPORT_CLASSES")) options.Apply(classes);
  options.KindNeutral = true;
  options.BigCasePercent = 2;
  const char* seedText = std::getenv("TANDEMIZE_IMPORT_SEED");
  const char* countText = std::getenv("TANDEMIZE_IMPORT_CASES");
  const std::uint64_t seed = seedText != nullptr ? std::strtoull(seedText, nullptr, 10) : 31000;
  const std::uint64_t count = countText != nullptr ? std::strtoull(countText, nullptr, 10) : 150;
  TScratchFolder folder("import-pg");
  TPgRun run;
  int findings = 0;
  for (std::uint64_t i = 0; i < count && findings < 5; ++i) {
    TSeededChoices choices(seed + i);
    TCase generated = GenerateCase(choices, options);
    // A table of this process's own on the shared server.
    generated.TableName = fmt::format("Fz_Import_{}_{}", ::getpid(), i);
    generated.DbTableName = fmt::format("fz_import_{}_{}", ::getpid(), i);
    Expectation(generated);
    ++run.Cases;
    const std::string finding = RunPgCase(generated, pg, folder.Path(), run);
    if (!finding.empty()) {
      ++findings;
      ADD_FAILURE() << "seed " << seed + i << "\n" << finding;
    }
  }
  std::printf("%zu cases, %zu compared (%zu imported in PostgreSQL), %zu not set up\n", run.Cases,
              run.Compared, run.Succeeded, run.Skipped);
}

}  // namespace
}  // namespace tandemize::importfuzz
