#pragma once
// A generator of whole import requests and an independent model of what each
// must do to a SQLite table, shared by the import fuzz target, the import
// property test and the program-level run.
//
// A case is generated from a source of choices (a seeded engine, or the bytes
// a fuzzer hands over): a target table with its starting rows, an envelope
// (table name, "pks", "fields"), a structure and rows, sent in the JSON form
// or as a binary dataset stream written by our own stream writer. Every value
// is decided here together with what the table must hold afterwards (its
// SQLite storage class and value) or with the knowledge that the import must
// fail. The oracle applies the same per-row upsert with SQLite's own C API to
// a copy of the starting table, binding the model's values by position, and
// the checker compares the verdict and the table the service left with it.
//
//   TScratchFolder folder("import");
//   TSeededChoices choices(42);
//   const TCase c = GenerateCase(choices, TGenOptions{});
//   const TOutcome outcome = RunCase(c, InProcessImport, folder.Path());
//   // outcome.Finding is empty when the service did what the model expects

#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "memtable/row_store.h"
#include "memtable/variant.h"

namespace tandemize::importfuzz {

// ---------------------------------------------------------------- choices

// Where the generator's decisions come from.
class TChoices {
 public:
  virtual ~TChoices() = default;
  // A number in [0, aBound); 0 when aBound is 0 or 1.
  virtual std::uint64_t Below(std::uint64_t aBound) = 0;

  // A number in [aLow, aHigh].
  std::int64_t Range(std::int64_t aLow, std::int64_t aHigh);
  // True with probability 1/aN.
  bool OneIn(unsigned aN) { return Below(aN) == 0; }
  template <class T>
  const T& Pick(const std::vector<T>& aItems) {
    return aItems[Below(aItems.size())];
  }
  std::uint64_t Bits64();
};

class TSeededChoices final : public TChoices {
 public:
  explicit TSeededChoices(std::uint64_t aSeed) : FEngine(aSeed) {}
  std::uint64_t Below(std::uint64_t aBound) override;

 private:
  std::mt19937_64 FEngine;
};

// Reads the decisions from a fuzzer's bytes, as many bytes as each bound
// needs; once the bytes are used up, the rest come from an engine seeded
// with a hash of all the bytes (so a short input still makes a whole case,
// and the same input always the same one).
class TByteChoices final : public TChoices {
 public:
  TByteChoices(const std::uint8_t* aData, std::size_t aSize);
  std::uint64_t Below(std::uint64_t aBound) override;

 private:
  const std::uint8_t* FData;
  std::size_t FSize;
  std::size_t FPos = 0;
  std::mt19937_64 FRest;
};

// ---------------------------------------------------------------- options

// Classes of generated input that can be left out, for example while the
// service still fails on one of them and other faults are hunted meanwhile.
struct TGenOptions {
  // Names of 200 to 300 characters.
  bool LongNames = true;
  // Quoted names holding "--", "/*", "'", ":" and ";", and the [..] and `..`
  // quote forms.
  bool OddQuotedNames = true;
  // Accented names, in both letter cases across envelope, structure and rows.
  bool AccentedNames = true;
  // A bad JSON value together with a database that fails (no such table, no
  // file) or a data element that is not an object: the import must fail on
  // the value, before the database is touched.
  bool ConversionOrder = true;
  // NUL characters in names and in the database path.
  bool NulInNames = true;
  // Unsigned 64-bit stream values above the signed range.
  bool Unsigned64 = true;
  // The largest value of an auto-increment JSON field.
  bool AutoIncMax = true;
  // Empty stream byte strings (not null).
  bool EmptyBytes = true;
  // Two stream columns named alike ignoring case in a stream before
  // version 4, where values are named by their column's name.
  bool OldStreamAlikeNames = true;
  bool JsonForm = true;
  bool BinaryForm = true;
  // Only what every database kind stores alike: plain ASCII names, one
  // declared type per kind, no NUL in text, no NaN, unique keys that allow
  // NULL. For comparing another kind's table with SQLite's.
  bool KindNeutral = false;
  // Share of cases (percent) with more than 128 rows.
  unsigned BigCasePercent = 4;

  // Applies a comma-separated list such as "-long,-quoted" (leave out) or
  // "+long" (put back); "none" leaves out every class above, "all" changes
  // nothing. Unknown words are refused with std::invalid_argument.
  void Apply(std::string_view aList);
  std::string Describe() const;
};

// The generator classes that the service is still known to fail on; the
// property test and the fuzz target leave them out unless told otherwise.
std::string_view KnownOpenFaultClasses();

// -------------------------------------------------------------- the model

// One value as SQLite holds it.
struct TSqlValue {
  enum class TKind : std::uint8_t { kNull, kInteger, kReal, kText, kBlob };
  TKind Kind = TKind::kNull;
  std::int64_t Integer = 0;
  double Real = 0;
  std::string Bytes;  // text (UTF-8) or blob

  static TSqlValue Null() { return {}; }
  static TSqlValue Int(std::int64_t aValue);
  static TSqlValue Float(double aValue);
  static TSqlValue Text(std::string aValue);
  static TSqlValue Blob(std::string aValue);
  // Same storage class and value; reals compared bit for bit.
  friend bool operator==(const TSqlValue& a, const TSqlValue& b);
  friend bool operator<(const TSqlValue& a, const TSqlValue& b);
  std::string Describe() const;
};
using TSqlRow = std::vector<TSqlValue>;
using TSqlTable = std::vector<TSqlRow>;  // in sorted order, as ReadTable gives it

enum class TExpect : std::uint8_t { kOracle, kFailure, kEither };

// What a column of the import is in each of the places a name appears.
struct TColumn {
  std::string EnvelopeName;  // in "pks" / "fields", as the statements get it
  std::string DbName;        // in the target table's definition (SQL text)
  std::string FieldName;     // in "structure", and the table's field
  // The stream's column name, when not FieldName: the table names a column
  // whose name an earlier column has (ignoring case) with a suffix "_1".
  std::string StreamName;
  std::string TypeName;  // "dataType" as sent (JSON form)
  int TypeIndex = 0;     // into the form's type table
  std::int32_t Size = 0;
  std::int32_t Precision = 0;  // binary decimals
  std::int32_t Scale = 0;
  std::string SqlType;  // declared type in the target table
  bool InTable = true;  // the target table has it
  bool NotNull = false;
};

// One value a row sends for a column.
struct TCell {
  enum class TMode : std::uint8_t { kGood, kNull, kMissing, kBad };
  TMode Mode = TMode::kGood;
  // The value cannot be converted: the import must fail.
  bool Fails = false;
  // JSON form: the member's name and JSON text; Extra members of the same
  // name (ignoring ASCII case) follow it, and the first one wins.
  std::string MemberName;
  std::string Json;
  std::vector<std::pair<std::string, std::string>> Extra;
  // Binary form: the value the stream carries (null: none).
  memtable::TVariant Stream;
  // What the column must receive.
  TSqlValue Expected;
};

struct TRow {
  std::vector<TCell> Cells;  // one per column, structure order
  // Binary form: the row state and, for a modified row, the values it had.
  int State = 0;  // 0 inserted, 1 unchanged, 2 modified, 3 deleted
  std::vector<TCell> Original;
  bool Shown() const { return State != 3; }
  // JSON form: not an object but this JSON text (a number, a string ...).
  std::string NotAnObject;
  // JSON form: wrapped in an array of its own.
  bool Nested = false;
};

// A column of the target table that the import does not name.
struct TExtraDbColumn {
  std::string Name;
  std::string Definition;  // "name TYPE [NOT NULL] [DEFAULT ..]"
};

struct TCase {
  bool Binary = false;
  std::string TableName;    // as the envelope sends it
  std::string DbTableName;  // in the target table's definition
  bool TableExists = true;
  bool DatabaseExists = true;
  std::string DatabaseSuffix;  // appended to the path in "params" (a NUL ...)
  std::vector<TColumn> Columns;
  std::vector<std::string> Pks;     // names as sent
  std::vector<std::string> Fields;  // names as sent
  // For each name of Pks then Fields, the column it feeds from (-1: none).
  std::vector<int> PkColumns, FieldColumns;
  std::vector<TExtraDbColumn> ExtraDbColumns;
  // The target table's columns in order: an index into Columns, or -1-i for
  // ExtraDbColumns[i].
  std::vector<int> DbOrder;
  std::string KeyConstraint;       // "PRIMARY KEY (...)", "UNIQUE (...)" or ""
  std::vector<TSqlRow> StartRows;  // values for the table's columns, in order
  std::vector<TRow> Rows;
  int StreamVersion = -1;
  // JSON spelling: member names of the envelope in upper case, characters
  // above 127 of the names as \u escapes.
  bool UpperMembers = false;
  bool EscapeNames = false;
  // JSON form: the body in Windows-1252 (characters it lacks as \u escapes),
  // which is then not valid UTF-8.
  bool Windows1252Body = false;
  // Check the message of a failure found while converting (see below).
  bool CheckConversionOrder = true;

  // Derived by Expectation from the above.
  TExpect Expect = TExpect::kOracle;
  std::vector<std::string> Reasons;  // why failure or either is expected
  // The verdict message the import must give, when the model knows it.
  std::string ExpectedMessage;
  // A failure that must be found before the database is used: the message
  // does not come from the database and a missing file is not created.
  bool FailsBeforeDatabase = false;

  // The target table's definition and the columns its SELECT * lists.
  std::string CreateTableSql() const;
  std::vector<std::string> DbColumnNames() const;
};

TCase GenerateCase(TChoices& aChoices, const TGenOptions& aOptions);
// The stream column type of a binary case's column, and its name.
memtable::TColumnDataType StreamColumnType(int aTypeIndex);
const char* StreamColumnTypeName(int aTypeIndex);
// Fills the expectation of aCase from its content.
void Expectation(TCase& aCase);

// ---------------------------------------------------------- requests

struct TRequest {
  bool Binary = false;
  std::string Header;  // the "x-request" header (binary form)
  std::string Body;    // the envelope (JSON form) or the stream
};

// The request of aCase against the SQLite file aDatabase, or against the
// database that aParams (a "params" object in JSON) names. aAsciiOnly
// escapes every character above 127 (for an HTTP header).
TRequest BuildRequest(const TCase& aCase, const std::string& aDatabase, bool aAsciiOnly = false,
                      const std::string& aParams = {});

// ---------------------------------------------------------- checking

struct TVerdict {
  bool Valid = false;  // {"success":<bool>,"message":<string>} and nothing else
  bool Success = false;
  std::string Message;
  std::string Raw;
};
TVerdict ParseVerdict(std::string_view aText);

// Sends one request and returns the verdict's text; raises when the service
// cannot be reached.
using TImportFn = std::function<std::string(const TRequest&)>;

// The import as the route runs it: a data service of its own, called with
// the header and the body.
std::string InProcessImport(const TRequest& aRequest);

struct TOutcome {
  // Empty when all holds, otherwise the finding with a reproducer.
  std::string Finding;
  bool Succeeded = false;  // the service's verdict
  bool Skipped = false;    // SQLite refused the starting table
  std::string SkipReason;
  std::string Verdict;
  // The oracle's run, when the case needed one: its verdict and table.
  bool OracleRan = false;
  bool OracleSucceeded = false;
  std::optional<TSqlTable> OracleRows;
};

// Runs aCase through aImport against a fresh SQLite file in aFolder and
// checks the outcome against the oracle. aAsciiOnly: see BuildRequest.
TOutcome RunCase(const TCase& aCase, const TImportFn& aImport, const std::string& aFolder,
                 bool aAsciiOnly = false);

// While one lives, a process that ends through std::terminate (an exception
// escaping where none may) first prints the case's reproducer to stderr.
class TTerminateReport {
 public:
  TTerminateReport(const TCase& aCase, std::string aDatabase);
  ~TTerminateReport();
  TTerminateReport(const TTerminateReport&) = delete;
  TTerminateReport& operator=(const TTerminateReport&) = delete;
};

// A folder of its own for the database files of a run (in /dev/shm when
// there is one), removed with its content at the end.
class TScratchFolder {
 public:
  explicit TScratchFolder(const std::string& aPrefix);
  ~TScratchFolder();
  TScratchFolder(const TScratchFolder&) = delete;
  TScratchFolder& operator=(const TScratchFolder&) = delete;
  const std::string& Path() const { return FPath; }

 private:
  std::string FPath;
};

// The case in words: the starting table, the request, the expectation.
std::string DescribeCase(const TCase& aCase, const std::string& aDatabase = "<file>");

// Removes rows and columns while aStillFails holds; returns the smallest case.
TCase Shrink(const TCase& aCase, const std::function<bool(const TCase&)>& aStillFails);

// The rows of a SQLite table, sorted; nullopt with aError when it cannot be read.
std::optional<TSqlTable> ReadTable(const std::string& aFile, const std::string& aTable,
                                   std::string& aError);

}  // namespace tandemize::importfuzz
