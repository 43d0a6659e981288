#pragma once
// The physical driver interface: what one database kind provides to the
// connection and query objects of db_connection.h.
//
// How a kind joins the layer
// --------------------------
// 1. Put the driver in src/dbaccess/driver_<name>.cpp and add that file to
//    the library in CMakeLists.txt.
// 2. Declare the kind's factory in internal/driver_<name>.h and define it in
//    namespace tandemize::dbaccess::phys:
//      driver_sqlite.cpp   -> CreateDriverSQLite
//      driver_pg.cpp       -> CreateDriverPG
//      driver_mysql.cpp    -> CreateDriverMySQL
//      driver_firebird.cpp -> CreateDriverFB and CreateDriverIB
//      driver_odbc.cpp     -> CreateDriverMSSQL
//    and add the kind's DriverID and factory to the registry's table of kinds
//    (driver_registry.cpp). The registry calls a kind's factory at most once
//    per process, under its lock, on the first connection of that kind, with
//    the VendorLib of the kind's driver link at that moment. A factory that
//    throws is called again on the next attempt; one that returns is kept
//    for the life of the process and must be safe to use from several
//    threads at once (connections are used by one thread at a time).
// 3. The factory loads the client library with LoadVendorLibrary(DriverID,
//    VendorLibNames(vendorLib, defaults)) and resolves its entry points with
//    TEntryPoints (internal/client_library.h; 314 and 315 come from there).
//    Never dlclose: a loaded client stays for the life of the process.
// 4. Client errors are raised as memtable::EDatabaseError whose what() is the
//    kind's full message ("[DAL][Phys][<ID>]..." as each kind writes it; see
//    ClientMessage). The layer's own numbered errors use EDALException.
//    Values are converted with internal/phys_values.h.
//
// Statements: the query object scans the markers (marker names may be
// quoted with "..." on every kind, also `...` for MySQL and [...] for MSSQL),
// rewrites each marker occurrence with TPhysDriver::Placeholder(i) (i counts
// occurrences from 0) and prepares that text once per connection (cached by
// text). Execute then receives one TPhysBind per occurrence, in text order; a
// name used twice is bound twice. The caller checks untyped parameters (335)
// before Execute when ChecksUntypedParams() is true.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "dbaccess/db_definition.h"
#include "memtable/errors.h"
#include "memtable/field_type.h"
#include "memtable/variant.h"

namespace tandemize::dbaccess::phys {

using memtable::TFieldType;
using memtable::TVariant;

// The clients' messages are built by memtable::ClientMessage (errors.h).
using memtable::ClientMessage;

// One placeholder's value: the parameter's data type (ftUnknown only for a
// NULL on kinds that do not check untyped parameters) and its value (may be
// NULL, i.e. std::monostate, with any data type).
struct TPhysBind {
  std::string_view Name;
  TFieldType DataType = TFieldType::ftUnknown;
  const TVariant* Value = nullptr;
};

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

}  // namespace tandemize::dbaccess::phys
