#pragma once
// The physical driver interface: what one database kind provides to the
// connection and query objects of db_connection.h. Internal to src/dbaccess.
//
// How a kind joins the layer
// --------------------------
// 1. Put the driver in src/dbaccess/driver_<name>.cpp (more files may follow
//    the pattern driver_<name>_*.cpp). CMakeLists.txt compiles every
//    driver_*.cpp and, for each driver_<name>.cpp it finds, defines
//    TANDEMIZE_HAVE_DRIVER_<NAME> (upper case) for the whole library.
// 2. Define the kind's factory, declared below, in namespace
//    tandemize::dbaccess::phys:
//      driver_sqlite.cpp   -> CreateDriverSQLite
//      driver_pg.cpp       -> CreateDriverPG
//      driver_mysql.cpp    -> CreateDriverMySQL
//      driver_firebird.cpp -> CreateDriverFB and CreateDriverIB
//      driver_odbc.cpp     -> CreateDriverMSSQL
//    The registry (driver_registry.cpp) calls a kind's factory at most once
//    per process, under its lock, on the first connection of that kind, with
//    the VendorLib of the kind's driver link at that moment. A factory that
//    throws is called again on the next attempt; one that returns is kept
//    for the life of the process and must be safe to use from several
//    threads at once (connections are used by one thread at a time).
// 3. The factory loads the client library with LoadVendorLibrary(DriverID,
//    VendorLibNames(vendorLib, defaults)) and resolves its entry points with
//    TEntryPoints (314 and 315 come from there). Never dlclose: a loaded
//    client stays for the life of the process.
// 4. Client errors are raised as memtable::EDatabaseError whose what() is the
//    kind's full message ("[DAL][Phys][<ID>]..." as each kind writes it; see
//    ClientMessage). The layer's own numbered errors use EDALException.
//
// Statements: the query object scans the markers (marker names may be
// quoted with "..." on every kind, also `...` for MySQL and [...] for MSSQL),
// rewrites each marker occurrence with TPhysDriver::Placeholder(i) (i counts
// occurrences from 0) and prepares that text once per connection (cached by
// text). Execute then receives one TPhysBind per occurrence, in text order; a
// name used twice is bound twice. The caller checks untyped parameters (335)
// before Execute when ChecksUntypedParams() is true.

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dbaccess/db_definition.h"
#include "memtable/errors.h"
#include "memtable/field_type.h"
#include "memtable/variant.h"

namespace tandemize::dbaccess {

using memtable::TFieldType;
using memtable::TVariant;

namespace phys {

// ---------------------------------------------------------------- libraries

// A client library loaded with dlopen(RTLD_NOW | RTLD_LOCAL); never unloaded.
class TVendorLibrary {
 public:
  TVendorLibrary(void* handle, std::string fileName, std::string driverId)
      : FHandle(handle), FFileName(std::move(fileName)), FDriverID(std::move(driverId)) {}
  void* Handle() const { return FHandle; }
  const std::string& FileName() const { return FFileName; }
  const std::string& DriverID() const { return FDriverID; }
  // The address of `name`, or null when the library lacks it.
  void* Symbol(const char* name) const;

 private:
  void* FHandle;
  std::string FFileName;
  std::string FDriverID;
};

// The names to try: `vendorLib` alone when it is set (a name ending in
// ".dll" cannot load here and counts as unset), else `defaults`.
std::vector<std::string> VendorLibNames(std::string_view vendorLib,
                                        std::initializer_list<std::string_view> defaults);

// Loads the first of `names` that loads (a name with a folder part is opened
// from that folder). Fails with 314 "[DAL][Phys][<driverId>]-314. Cannot load
// vendor library [a, b or c]. <dlerror reasons> Hint: ...".
std::shared_ptr<TVendorLibrary> LoadVendorLibrary(std::string_view driverId,
                                                  const std::vector<std::string>& names);

// Resolves entry points, collecting the missing ones; Check() fails with 315
// naming all of them. Usage:
//   TEntryPoints ep(*lib);
//   ep(FPQconnectdb, "PQconnectdb");
//   ep(FPQfinish, "PQfinish");
//   ep.Check();
class TEntryPoints {
 public:
  explicit TEntryPoints(const TVendorLibrary& library) : FLibrary(library) {}
  template <class Fn>
  void operator()(Fn*& slot, const char* name) {
    slot = reinterpret_cast<Fn*>(Lookup(name));
  }
  // Like operator() but a missing entry point is not an error (slot = null).
  template <class Fn>
  void Optional(Fn*& slot, const char* name) {
    slot = reinterpret_cast<Fn*>(FLibrary.Symbol(name));
  }
  void Check() const;

 private:
  void* Lookup(const char* name);
  const TVendorLibrary& FLibrary;
  std::vector<std::string> FMissing;
};

// ------------------------------------------------------------------- errors

// The clients' messages are built by memtable::ClientMessage (errors.h).
using memtable::ClientMessage;

// ------------------------------------------------------------------- values

// One placeholder's value: the parameter's data type (ftUnknown only for a
// NULL on kinds that do not check untyped parameters) and its value (may be
// NULL, i.e. std::monostate, with any data type).
struct TPhysBind {
  std::string_view Name;
  TFieldType DataType = TFieldType::ftUnknown;
  const TVariant* Value = nullptr;
};

// What a driver uses to convert values (phys_values.cpp). Text is UTF-8.
// Canonical text: integers in decimal; floats with the fewest digits that
// read back exactly; currency with 4 decimals; TDateTime and TSQLTimeStamp as
// "YYYY-MM-DD HH:MM:SS[.fff]"; BCD as a plain decimal; bool as "1"/"0";
// bytes as they are; TInterval as hex.
std::string VariantToText(const TVariant& value);
// Integer value (bool 0/1, floats truncated, texts parsed); throws
// EDatabaseError when the value has no integer reading.
std::int64_t VariantToInt64(const TVariant& value);
double VariantToDouble(const TVariant& value);
// The bytes of a byte array, or of a text's UTF-8 form.
memtable::TBytes VariantToBytes(const TVariant& value);
// TDateTime, TSQLTimeStamp or a "YYYY-MM-DD[ HH:MM:SS[.f]]" text as a timestamp.
memtable::TSQLTimeStamp VariantToTimeStamp(const TVariant& value);

memtable::TSQLTimeStamp DateTimeToTimeStamp(memtable::TDateTime value);
memtable::TDateTime TimeStampToDateTime(const memtable::TSQLTimeStamp& value);
// "YYYY-MM-DD HH:MM:SS" plus ".fff" when there are fractions
// (TSQLTimeStamp::Fractions are milliseconds).
std::string TimeStampToText(const memtable::TSQLTimeStamp& value);
// The same text written into a caller's buffer (no allocation); the view
// points into it.
using TTimeStampText = std::array<char, 64>;
std::string_view TimeStampToText(const memtable::TSQLTimeStamp& value, TTimeStampText& buffer);
// Parses "YYYY-MM-DD", "YYYY-MM-DD HH:MM:SS[.f...]" (also with 'T') or
// "HH:MM:SS[.f]"; false when the text is none of those.
bool TextToTimeStamp(std::string_view text, memtable::TSQLTimeStamp& out);

// How a parameter of a data type is sent to a client: the groups the drivers
// bind by. Text covers the string, memo, wide and GUID types (always UTF-8,
// never narrowed); Unknown is a type with no value kind (an untyped NULL).
enum class TBindKind {
  Unknown,
  Boolean,
  Integer,
  Float,
  Decimal,
  Date,
  Time,
  DateTime,
  Blob,
  Text
};
TBindKind BindKindOf(TFieldType dataType);

std::string BcdToText(const memtable::TBcd& value);
// A plain decimal text ("-12.340") as BCD; false when it is not one or has
// more than 64 digits.
bool TextToBcd(std::string_view text, memtable::TBcd& out);

// ------------------------------------------------------------------ drivers

// A prepared statement on one physical connection. Used by one thread at a
// time; destroyed before its connection.
class TPhysStatement {
 public:
  // Never fails: it frees the statement and any open result, and ends what
  // it started without raising (it runs while a failure unwinds the stack).
  virtual ~TPhysStatement() = default;
  // Binds `binds` (one per placeholder, in order) and runs the statement.
  // Any result of the previous run is discarded first. After a statement
  // that returns rows the cursor stands before the first row.
  virtual void Execute(std::span<const TPhysBind> binds) = 0;
  // Moves to the next result row; false when there is none (or no result).
  virtual bool Fetch() = 0;
  // Result columns of the last run (0 when it returned no rows).
  virtual int ColumnCount() const = 0;
  virtual std::string ColumnName(int index) const = 0;
  // The current row's value: NULL as std::monostate; integers as
  // std::int64_t (or narrower), floats as double, exact numerics as TBcd,
  // date/time as TSQLTimeStamp, booleans as bool, text as UTF-8 std::string,
  // binary as TBytes.
  virtual TVariant ColumnValue(int index) const = 0;
  // Rows changed by the last run (-1 when unknown).
  virtual std::int64_t RowsAffected() const = 0;
  // Releases the result of the last run (keeps the statement prepared). May
  // fail only where the kind ends a transaction it started for the result.
  virtual void CloseCursor() = 0;
};

// One open session with the server. Used by one thread at a time.
class TPhysConnection {
 public:
  // Never fails: ends the session (an open transaction is discarded with it).
  virtual ~TPhysConnection() = default;
  virtual void StartTransaction() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() = 0;
  // Prepares `sql` (placeholders already in the kind's form) for
  // `placeholderCount` values.
  virtual std::unique_ptr<TPhysStatement> Prepare(const std::string& sql, int placeholderCount) = 0;
};

// One database kind; created once per process by its factory.
class TPhysDriver {
 public:
  virtual ~TPhysDriver() = default;
  // "SQLite", "PG", "MySQL", "FB", "IB", "MSSQL".
  virtual std::string_view DriverID() const = 0;
  // The text that replaces the `index`-th marker occurrence ("?", "$1", ...).
  virtual std::string Placeholder(int index) const = 0;
  // True when a parameter still untyped at run time fails with 335.
  virtual bool ChecksUntypedParams() const = 0;
  // Opens a session with the definition's settings.
  virtual std::unique_ptr<TPhysConnection> Connect(const TDbDefinition& definition) = 0;
};

// The factories; each is defined by its driver file (see the top of this file).
std::unique_ptr<TPhysDriver> CreateDriverSQLite(const std::string& vendorLib);
std::unique_ptr<TPhysDriver> CreateDriverPG(const std::string& vendorLib);
std::unique_ptr<TPhysDriver> CreateDriverMySQL(const std::string& vendorLib);
std::unique_ptr<TPhysDriver> CreateDriverFB(const std::string& vendorLib);
std::unique_ptr<TPhysDriver> CreateDriverIB(const std::string& vendorLib);
std::unique_ptr<TPhysDriver> CreateDriverMSSQL(const std::string& vendorLib);

}  // namespace phys
}  // namespace tandemize::dbaccess
