#pragma once
// The database access layer: one connection object per data service
// instance, short-lived queries with named ":param" markers on it, and
// explicit transactions. Six kinds are served: "SQLite" (built in), "PG",
// "MySQL", "FB", "IB" and "MSSQL" (clients loaded at run time, once per kind
// per process). Every failure is an exception derived from
// memtable::EDatabaseError whose what() is the text shown to clients.
//
// Cleaning up never fails: destroying a connection or a query, closing a
// connection and detaching a query from it are noexcept, so they are safe
// while an exception unwinds the stack (docs/error-handling.md).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dbaccess/db_definition.h"
#include "dbaccess/driver_registry.h"
#include "memtable/errors.h"
#include "memtable/field_type.h"
#include "memtable/variant.h"

namespace tandemize::memtable {
class TField;
}  // namespace tandemize::memtable

namespace tandemize::dbaccess {

using memtable::TFieldType;
using memtable::TVariant;

namespace phys {
class TPhysConnection;
class TPhysDriver;
class TPhysStatement;
struct TPhysBind;
}  // namespace phys

class TDbBatch;
class TDbDriverRegistry;
class TDbQuery;

// A statement parameter, created from a marker of the statement text.
class TDbParam {
 public:
  explicit TDbParam(std::string name) : FName(std::move(name)) {}

  const std::string& Name() const { return FName; }
  // ftUnknown until a typed value is assigned or a type is set.
  TFieldType DataType() const { return FDataType; }
  void SetDataType(TFieldType value) { FDataType = value; }
  const TVariant& Value() const { return FValue; }
  // Assigns the value; an untyped parameter takes the type of the value's
  // kind (a NULL leaves it untyped). A typed parameter keeps its type.
  void SetValue(TVariant value);
  TDbParam& operator=(TVariant value) {
    SetValue(std::move(value));
    return *this;
  }
  bool IsNull() const { return memtable::VarIsNull(FValue); }
  void Clear() { FValue = TVariant{}; }
  // Takes the field's value of its table's current record (AsVariant), typed
  // by the value's kind, or by the field's type when null. Text and bytes go
  // into the storage this parameter already holds, so binding record after
  // record allocates only when a value outgrows the one before.
  void AssignFieldValue(const memtable::TField& field);

  // The data type a value kind gives an untyped parameter.
  static TFieldType DataTypeOf(const TVariant& value);

 private:
  std::string FName;
  TFieldType FDataType = TFieldType::ftUnknown;
  TVariant FValue;
};

// The parameters of a query, one per distinct marker name, in text order.
class TDbParams {
 public:
  int Count() const { return static_cast<int>(FItems.size()); }
  TDbParam& operator[](int index) { return *FItems.at(index); }
  const TDbParam& operator[](int index) const { return *FItems.at(index); }
  TDbParam& Items(int index) { return *FItems.at(index); }
  // Names compare without regard to letter case; null when absent.
  TDbParam* FindParam(std::string_view name);
  // Like FindParam, but fails when absent.
  TDbParam& ParamByName(std::string_view name);

 private:
  friend class TDbQuery;
  std::vector<std::unique_ptr<TDbParam>> FItems;
};

// The statement text as lines; the text that runs is each line + CR LF.
// Every edit tells the query, which reads the markers again: an edit whose
// markers cannot be read (a name longer than 255 characters: 323) fails
// after the text has changed, and the query then fails the same way when it
// runs, until the text is edited again.
class TDbSQLText {
 public:
  explicit TDbSQLText(std::function<void()> onChange) : FOnChange(std::move(onChange)) {}
  void Clear();
  void Add(std::string_view line);
  // Replaces the whole text; it is split into lines at CR LF, LF or CR.
  void SetText(std::string_view text);
  std::string Text() const;
  int Count() const { return static_cast<int>(FLines.size()); }
  const std::string& operator[](int index) const { return FLines.at(index); }

 private:
  std::vector<std::string> FLines;
  std::function<void()> FOnChange;
};

// One connection. Used by one thread at a time; queries on it must not
// outlive it (a freed connection detaches them).
class TDbConnection {
 public:
  TDbConnection();
  explicit TDbConnection(TDbDriverRegistry& registry);
  // Closes (Close) and detaches the queries still on it.
  ~TDbConnection();
  TDbConnection(const TDbConnection&) = delete;
  TDbConnection& operator=(const TDbConnection&) = delete;

  // The definition: DriverID, Server, Port, Database, User_Name, Password,
  // CharacterSet.
  TDbDefinition& Params() { return FParams; }
  const TDbDefinition& Params() const { return FParams; }

  bool LoginPrompt() const { return FLoginPrompt; }
  // Kept for the design; credentials are never asked for interactively.
  void SetLoginPrompt(bool value) { FLoginPrompt = value; }

  // Runs at the start of every connection attempt, before the driver is found.
  std::function<void(TDbConnection&)> BeforeConnect;

  bool Connected() const { return FPhys != nullptr; }
  // true: runs BeforeConnect, refuses a setting that holds a NUL character,
  // finds the driver (340 for an empty DriverID), loads the kind's client
  // once per process, connects. false: Close.
  void SetConnected(bool value);
  void Open() { SetConnected(true); }
  // Drops every prepared statement (the queries on the connection stay, their
  // results released), rolls back an open transaction and disconnects. Never
  // fails: a rollback the server refuses is dropped, as the server discards
  // the transaction with the session.
  void Close() noexcept;

  bool InTransaction() const { return FInTransaction; }
  void StartTransaction();
  void Commit();
  void Rollback();

  // Statements prepared on this connection since it was created (each
  // distinct text is prepared once while connected).
  std::uint64_t PrepareCount() const { return FPrepareCount; }
  const std::string& DriverID() const { return FParams.DriverID(); }

 private:
  friend class TDbBatch;
  friend class TDbQuery;
  struct TCachedStatement {
    std::unique_ptr<phys::TPhysStatement> Statement;
    bool Busy = false;
  };
  phys::TPhysDriver& Driver() const;
  phys::TPhysConnection& Phys();
  void CheckConnected() const;
  // A prepared statement for `sql` that no other query holds.
  phys::TPhysStatement* Acquire(const std::string& sql, int placeholderCount);
  // Gives a statement back to the cache, its result released.
  void Release(phys::TPhysStatement* statement) noexcept;

  TDbDriverRegistry& FRegistry;
  TDbDefinition FParams;
  bool FLoginPrompt = true;
  phys::TPhysDriver* FDriver = nullptr;
  std::unique_ptr<phys::TPhysConnection> FPhys;
  bool FInTransaction = false;
  std::uint64_t FPrepareCount = 0;
  std::unordered_multimap<std::string, TCachedStatement> FStatements;
  std::vector<TDbQuery*> FQueries;
};

// A statement with named parameters on a connection.
class TDbQuery {
 public:
  TDbQuery();
  explicit TDbQuery(TDbConnection* connection);
  // Gives its statement back and leaves its connection; never reads the text.
  ~TDbQuery();
  TDbQuery(const TDbQuery&) = delete;
  TDbQuery& operator=(const TDbQuery&) = delete;

  TDbConnection* Connection() const { return FConnection; }
  // Attaching reads the markers again for the connection's kind and fails as
  // an edit of the text does. Detaching (nullptr) never fails: the query
  // keeps its text and parameters and reads them again when next attached.
  void SetConnection(TDbConnection* connection);

  // Every edit rebuilds Params from the markers (values of parameters whose
  // names stay are kept).
  TDbSQLText& SQL() { return FSQL; }
  TDbParams& Params() { return FParams; }
  TDbParam& ParamByName(std::string_view name) { return FParams.ParamByName(name); }

  // Runs a statement that returns rows and stands on the first row.
  void Open();
  // Runs a statement that returns no rows.
  void ExecSQL();
  // Releases the result (the statement stays prepared on the connection).
  void Close();

  bool Active() const { return FActive; }
  // True when the opened statement returned no row.
  bool IsEmpty() const { return FActive && FEmpty; }
  bool Eof() const { return !FActive || FEof; }
  void Next();
  int FieldCount() const;
  std::string FieldName(int index) const;
  // The current row's value of a column (NULL as std::monostate).
  TVariant FieldValue(int index) const;
  TVariant FieldValue(std::string_view name) const;
  // Rows changed by the last ExecSQL (-1 when the kind does not say).
  std::int64_t RowsAffected() const { return FRowsAffected; }

 private:
  friend class TDbBatch;
  friend class TDbConnection;
  void TextChanged();
  // Leaves the connection (statement given back, result released).
  void Unlink() noexcept;
  // Forgets the statement without giving it back (its connection drops it).
  void Detach() noexcept;
  void ReleaseStatement() noexcept;
  // The prepared statement of the text, prepared now if need be.
  phys::TPhysStatement& Statement();
  // Statement, and FBinds filled with the parameters' values.
  void PrepareRun();
  void Run();

  TDbConnection* FConnection = nullptr;
  TDbSQLText FSQL;
  TDbParams FParams;
  // Marker occurrences in text order, as indexes into FParams.
  std::vector<int> FOccurrences;
  // The text as it runs, markers rewritten for the connection's kind.
  std::string FPhysText;
  std::string FPhysTextDriver;
  phys::TPhysStatement* FStatement = nullptr;
  // The values of one run, kept so that running again allocates nothing.
  std::vector<phys::TPhysBind> FBinds;
  bool FActive = false;
  bool FEmpty = true;
  bool FEof = true;
  std::int64_t FRowsAffected = -1;
};

}  // namespace tandemize::dbaccess
