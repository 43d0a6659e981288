// The MSSQL kind: a SQL Server ODBC driver reached through the ODBC driver
// manager, loaded at run time.
//
// Text goes through the wide (UTF-16) entry points and SQL_C_WCHAR buffers,
// both ways, so no character depends on a code page.

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "dbaccess/internal/client_library.h"
#include "dbaccess/internal/db_timeouts.h"
#include "dbaccess/internal/driver_odbc.h"
#include "dbaccess/internal/phys_values.h"
#include "text/case_fold.h"
#include "text/charset.h"

namespace tandemize::dbaccess::phys {
namespace {

using memtable::EDatabaseError;
using memtable::TBcd;
using memtable::TBytes;
using memtable::TSQLTimeStamp;

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the driver manager's wide text is UTF-16");

struct TODBCApi {
  decltype(&::SQLAllocHandle) AllocHandle = nullptr;
  decltype(&::SQLFreeHandle) FreeHandle = nullptr;
  decltype(&::SQLSetEnvAttr) SetEnvAttr = nullptr;
  decltype(&::SQLDriversW) DriversW = nullptr;
  decltype(&::SQLDriverConnectW) DriverConnectW = nullptr;
  decltype(&::SQLDisconnect) Disconnect = nullptr;
  decltype(&::SQLSetConnectAttrW) SetConnectAttrW = nullptr;
  decltype(&::SQLEndTran) EndTran = nullptr;
  decltype(&::SQLPrepareW) PrepareW = nullptr;
  decltype(&::SQLBindParameter) BindParameter = nullptr;
  decltype(&::SQLExecute) Execute = nullptr;
  decltype(&::SQLNumResultCols) NumResultCols = nullptr;
  decltype(&::SQLDescribeColW) DescribeColW = nullptr;
  decltype(&::SQLFetch) Fetch = nullptr;
  decltype(&::SQLGetData) GetData = nullptr;
  decltype(&::SQLRowCount) RowCount = nullptr;
  decltype(&::SQLFreeStmt) FreeStmt = nullptr;
  decltype(&::SQLMoreResults) MoreResults = nullptr;
  decltype(&::SQLGetDiagRecW) GetDiagRecW = nullptr;
};

bool Ok(SQLRETURN rc) {
  return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

std::u16string Wide(std::string_view utf8) {
  return text::Utf8ToUtf16(utf8);
}
SQLWCHAR* W(std::u16string& s) {
  return reinterpret_cast<SQLWCHAR*>(s.data());
}

// The first diagnostic record's message of a handle.
// The shared bind groups, except that a timestamp with an offset and the two
// OLE object types are sent as text on this kind.
TBindKind ODBCBindKind(TFieldType type) {
  using enum TFieldType;
  if (type == ftTimeStampOffset || type == ftParadoxOle || type == ftDBaseOle) {
    return TBindKind::Text;
  }
  return BindKindOf(type);
}

std::string Diagnostic(const TODBCApi& api, SQLSMALLINT type, SQLHANDLE handle) {
  SQLWCHAR state[6] = {};
  SQLINTEGER native = 0;
  std::u16string message(1024, u'\0');
  SQLSMALLINT length = 0;
  SQLRETURN rc = api.GetDiagRecW(type, handle, 1, state, &native, W(message),
                                 static_cast<SQLSMALLINT>(message.size()), &length);
  if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(message.size())) {
    message.assign(static_cast<std::size_t>(length) + 1, u'\0');
    rc = api.GetDiagRecW(type, handle, 1, state, &native, W(message),
                         static_cast<SQLSMALLINT>(message.size()), &length);
  }
  if (!Ok(rc)) return "Unknown driver error";
  message.resize(std::min<std::size_t>(static_cast<std::size_t>(length), message.size()));
  return text::Utf16ToUtf8(message);
}

[[noreturn]] void Fail(const TODBCApi& api, SQLSMALLINT type, SQLHANDLE handle) {
  throw EDatabaseError(ODBCClientMessage(Diagnostic(api, type, handle)));
}

// One bound parameter's storage; lives until the next Execute.
struct TParamBuffer {
  std::int64_t Int = 0;
  double Float = 0;
  unsigned char Bit = 0;
  SQL_TIMESTAMP_STRUCT Stamp{};
  SQL_DATE_STRUCT Date{};
  SQL_TIME_STRUCT Time{};
  std::u16string Text;
  std::string Narrow;
  TBytes Bytes;
  SQLLEN Indicator = 0;
};

// Column sizes above these are sent as the unlimited (max) kinds.
constexpr SQLULEN kMaxWideChars = 4000;
constexpr SQLULEN kMaxBinaryBytes = 8000;

class TODBCStatement final : public TPhysStatement {
 public:
  TODBCStatement(const TODBCApi& api, SQLHSTMT stmt) : FApi(api), FStmt(stmt) {}
  ~TODBCStatement() override { FApi.FreeHandle(SQL_HANDLE_STMT, FStmt); }

  void Execute(std::span<const TPhysBind> binds) override {
    CloseCursor();
    FApi.FreeStmt(FStmt, SQL_RESET_PARAMS);
    FParams.assign(binds.size(), TParamBuffer{});
    for (std::size_t i = 0; i < binds.size(); ++i)
      BindOne(static_cast<SQLUSMALLINT>(i + 1), binds[i], FParams[i]);
    const SQLRETURN rc = FApi.Execute(FStmt);
    if (!Ok(rc) && rc != SQL_NO_DATA) Fail(FApi, SQL_HANDLE_STMT, FStmt);
    SQLLEN rows = -1;
    FRowsAffected = Ok(FApi.RowCount(FStmt, &rows)) ? rows : -1;
    SQLSMALLINT columns = 0;
    if (!Ok(FApi.NumResultCols(FStmt, &columns))) Fail(FApi, SQL_HANDLE_STMT, FStmt);
    if (columns > 0) Describe(columns);
  }

  bool Fetch() override {
    if (!FCursorOpen) return false;
    const SQLRETURN rc = FApi.Fetch(FStmt);
    if (rc == SQL_NO_DATA) {
      FApi.FreeStmt(FStmt, SQL_CLOSE);
      FCursorOpen = false;
      return false;
    }
    if (!Ok(rc)) Fail(FApi, SQL_HANDLE_STMT, FStmt);
    ReadRow();
    return true;
  }

  int ColumnCount() const override { return static_cast<int>(FColumns.size()); }
  std::string ColumnName(int index) const override { return FColumns.at(index).Name; }
  TVariant ColumnValue(int index) const override { return FRow.at(index); }
  std::int64_t RowsAffected() const override { return FRowsAffected; }
  void CloseCursor() override {
    if (FCursorOpen) FApi.FreeStmt(FStmt, SQL_CLOSE);
    FCursorOpen = false;
    FColumns.clear();
    FRow.clear();
  }

 private:
  struct TColumn {
    std::string Name;
    SQLSMALLINT Type = 0;
  };

  void Describe(SQLSMALLINT count) {
    FColumns.assign(count, TColumn{});
    for (SQLSMALLINT i = 0; i < count; ++i) {
      std::u16string name(256, u'\0');
      SQLSMALLINT nameLength = 0, type = 0, digits = 0, nullable = 0;
      SQLULEN size = 0;
      if (!Ok(FApi.DescribeColW(FStmt, static_cast<SQLUSMALLINT>(i + 1), W(name),
                                static_cast<SQLSMALLINT>(name.size()), &nameLength, &type, &size,
                                &digits, &nullable))) {
        Fail(FApi, SQL_HANDLE_STMT, FStmt);
      }
      name.resize(std::min<std::size_t>(static_cast<std::size_t>(nameLength), name.size()));
      FColumns[i].Name = text::Utf16ToUtf8(name);
      FColumns[i].Type = type;
    }
    FCursorOpen = true;
  }

  // Reads a long value in pieces; false when it is NULL.
  bool GetLong(SQLUSMALLINT column, SQLSMALLINT cType, std::string& out) {
    const std::size_t terminator = cType == SQL_C_WCHAR ? 2 : (cType == SQL_C_CHAR ? 1 : 0);
    char buffer[16384];
    out.clear();
    for (;;) {
      SQLLEN indicator = 0;
      const SQLRETURN rc = FApi.GetData(FStmt, column, cType, buffer, sizeof buffer, &indicator);
      if (rc == SQL_NO_DATA) break;
      if (!Ok(rc)) Fail(FApi, SQL_HANDLE_STMT, FStmt);
      if (indicator == SQL_NULL_DATA) return false;
      const std::size_t room = sizeof buffer - terminator;
      std::size_t got = room;
      if (indicator != SQL_NO_TOTAL && static_cast<std::size_t>(indicator) <= room) {
        got = static_cast<std::size_t>(indicator);
      }
      out.append(buffer, got);
      if (rc == SQL_SUCCESS) break;
    }
    return true;
  }

  template <class T>
  bool GetFixed(SQLUSMALLINT column, SQLSMALLINT cType, T& out) {
    SQLLEN indicator = 0;
    if (!Ok(FApi.GetData(FStmt, column, cType, &out, sizeof out, &indicator))) {
      Fail(FApi, SQL_HANDLE_STMT, FStmt);
    }
    return indicator != SQL_NULL_DATA;
  }

  void ReadRow() {
    FRow.assign(FColumns.size(), TVariant{});
    for (std::size_t i = 0; i < FColumns.size(); ++i) {
      const auto column = static_cast<SQLUSMALLINT>(i + 1);
      switch (FColumns[i].Type) {
        case SQL_TINYINT:
        case SQL_SMALLINT:
        case SQL_INTEGER:
        case SQL_BIGINT: {
          std::int64_t n = 0;
          if (GetFixed(column, SQL_C_SBIGINT, n)) FRow[i] = n;
          break;
        }
        case SQL_REAL:
        case SQL_FLOAT:
        case SQL_DOUBLE: {
          double d = 0;
          if (GetFixed(column, SQL_C_DOUBLE, d)) FRow[i] = d;
          break;
        }
        case SQL_BIT: {
          unsigned char b = 0;
          if (GetFixed(column, SQL_C_BIT, b)) FRow[i] = b != 0;
          break;
        }
        case SQL_DECIMAL:
        case SQL_NUMERIC: {
          std::string s;
          if (GetLong(column, SQL_C_CHAR, s)) {
            TBcd bcd;
            if (TextToBcd(s, bcd)) {
              FRow[i] = bcd;
            } else {
              FRow[i] = std::move(s);
            }
          }
          break;
        }
        case SQL_TYPE_DATE: {
          SQL_DATE_STRUCT d{};
          if (GetFixed(column, SQL_C_TYPE_DATE, d)) {
            TSQLTimeStamp ts{};
            ts.Year = static_cast<std::int16_t>(d.year);
            ts.Month = d.month;
            ts.Day = d.day;
            FRow[i] = ts;
          }
          break;
        }
        case SQL_TYPE_TIME: {
          SQL_TIME_STRUCT t{};
          if (GetFixed(column, SQL_C_TYPE_TIME, t)) {
            TSQLTimeStamp ts{};
            ts.Hour = t.hour;
            ts.Minute = t.minute;
            ts.Second = t.second;
            FRow[i] = ts;
          }
          break;
        }
        case SQL_TYPE_TIMESTAMP: {
          SQL_TIMESTAMP_STRUCT t{};
          if (GetFixed(column, SQL_C_TYPE_TIMESTAMP, t)) {
            TSQLTimeStamp ts{};
            ts.Year = static_cast<std::int16_t>(t.year);
            ts.Month = t.month;
            ts.Day = t.day;
            ts.Hour = t.hour;
            ts.Minute = t.minute;
            ts.Second = t.second;
            ts.Fractions = t.fraction / 1000000;  // nanoseconds to milliseconds
            FRow[i] = ts;
          }
          break;
        }
        case SQL_BINARY:
        case SQL_VARBINARY:
        case SQL_LONGVARBINARY: {
          std::string s;
          if (GetLong(column, SQL_C_BINARY, s)) FRow[i] = TBytes(s.begin(), s.end());
          break;
        }
        default: {
          std::string s;
          if (GetLong(column, SQL_C_WCHAR, s)) {
            std::u16string wide(s.size() / 2, u'\0');
            std::memcpy(wide.data(), s.data(), wide.size() * 2);
            FRow[i] = text::Utf16ToUtf8(wide);
          }
          break;
        }
      }
    }
  }

  // The value goes in the C form of the parameter's data type; a NULL keeps
  // that type and carries the NULL indicator.
  void BindOne(SQLUSMALLINT number, const TPhysBind& bind, TParamBuffer& buf) {
    const TVariant& value = *bind.Value;
    const bool isNull = memtable::VarIsNull(value);
    SQLSMALLINT cType = SQL_C_WCHAR, sqlType = SQL_WVARCHAR, digits = 0;
    SQLULEN size = 1;
    SQLPOINTER data = nullptr;
    SQLLEN length = 0;
    switch (ODBCBindKind(bind.DataType)) {
      case TBindKind::Integer: {
        const bool wide =
            bind.DataType == TFieldType::ftLargeint || bind.DataType == TFieldType::ftLongWord;
        // A 64-bit value beyond the signed range goes as decimal text.
        if (const auto* u = std::get_if<std::uint64_t>(&value);
            wide && u != nullptr && *u > static_cast<std::uint64_t>(INT64_MAX)) {
          cType = SQL_C_CHAR;
          sqlType = SQL_DECIMAL;
          size = 20;
          buf.Narrow = std::to_string(*u);
          data = buf.Narrow.data();
          length = static_cast<SQLLEN>(buf.Narrow.size());
          break;
        }
        cType = SQL_C_SBIGINT;
        sqlType = wide ? SQL_BIGINT : SQL_INTEGER;
        size = wide ? 19 : 10;
        data = &buf.Int;
        if (!isNull) buf.Int = VariantToInt64(value);
        break;
      }
      case TBindKind::Boolean:
        cType = SQL_C_BIT;
        sqlType = SQL_BIT;
        data = &buf.Bit;
        if (!isNull) buf.Bit = VariantToInt64(value) != 0 ? 1 : 0;
        break;
      case TBindKind::Float:
        cType = SQL_C_DOUBLE;
        sqlType = SQL_DOUBLE;
        size = 15;
        data = &buf.Float;
        if (!isNull) buf.Float = VariantToDouble(value);
        break;
      case TBindKind::Decimal: {
        // Exact decimals travel as their decimal text.
        cType = SQL_C_CHAR;
        sqlType = SQL_DECIMAL;
        size = 19;
        digits = 4;
        if (!isNull) {
          buf.Narrow = VariantToText(value);
          const auto point = buf.Narrow.find('.');
          const std::size_t intDigits =
              std::count_if(buf.Narrow.begin(), buf.Narrow.end(),
                            [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
          digits = static_cast<SQLSMALLINT>(
              point == std::string::npos ? 0 : buf.Narrow.size() - point - 1);
          size = std::max<SQLULEN>(intDigits, 1);
          length = static_cast<SQLLEN>(buf.Narrow.size());
        }
        data = buf.Narrow.data();
        break;
      }
      case TBindKind::Date:
        cType = SQL_C_TYPE_DATE;
        sqlType = SQL_TYPE_DATE;
        size = 10;
        data = &buf.Date;
        if (!isNull) {
          const TSQLTimeStamp ts = VariantToTimeStamp(value);
          buf.Date = {static_cast<SQLSMALLINT>(ts.Year), ts.Month, ts.Day};
        }
        break;
      case TBindKind::Time:
        cType = SQL_C_TYPE_TIME;
        sqlType = SQL_TYPE_TIME;
        size = 8;
        data = &buf.Time;
        if (!isNull) {
          const TSQLTimeStamp ts = VariantToTimeStamp(value);
          buf.Time = {ts.Hour, ts.Minute, ts.Second};
        }
        break;
      case TBindKind::DateTime:
        cType = SQL_C_TYPE_TIMESTAMP;
        sqlType = SQL_TYPE_TIMESTAMP;
        size = 19;
        data = &buf.Stamp;
        if (!isNull) {
          const TSQLTimeStamp ts = VariantToTimeStamp(value);
          buf.Stamp = {static_cast<SQLSMALLINT>(ts.Year),
                       ts.Month,
                       ts.Day,
                       ts.Hour,
                       ts.Minute,
                       ts.Second,
                       ts.Fractions * 1000000u};
          if (ts.Fractions != 0) {
            size = 23;
            digits = 3;
          }
        }
        break;
      case TBindKind::Blob:
        cType = SQL_C_BINARY;
        sqlType = SQL_VARBINARY;
        if (!isNull) buf.Bytes = VariantToBytes(value);
        size = buf.Bytes.empty() ? 1 : buf.Bytes.size();
        if (size > kMaxBinaryBytes) size = 0;
        data = buf.Bytes.data();
        length = static_cast<SQLLEN>(buf.Bytes.size());
        break;
      case TBindKind::Text:
      case TBindKind::Unknown:
        if (!isNull) buf.Text = Wide(VariantToText(value));
        size = buf.Text.empty() ? 1 : buf.Text.size();
        if (size > kMaxWideChars) size = 0;
        data = W(buf.Text);
        length = static_cast<SQLLEN>(buf.Text.size() * sizeof(char16_t));
        break;
    }
    buf.Indicator = isNull ? SQL_NULL_DATA : length;
    const SQLLEN bufferLength = length;
    if (cType != SQL_C_CHAR && cType != SQL_C_WCHAR && cType != SQL_C_BINARY && !isNull) {
      buf.Indicator = 0;
    }
    if (!Ok(FApi.BindParameter(FStmt, number, SQL_PARAM_INPUT, cType, sqlType, size, digits, data,
                               bufferLength, &buf.Indicator))) {
      Fail(FApi, SQL_HANDLE_STMT, FStmt);
    }
  }

  const TODBCApi& FApi;
  SQLHSTMT FStmt;
  std::vector<TParamBuffer> FParams;
  std::vector<TColumn> FColumns;
  std::vector<TVariant> FRow;
  bool FCursorOpen = false;
  std::int64_t FRowsAffected = -1;
};

class TODBCConnection final : public TPhysConnection {
 public:
  TODBCConnection(const TODBCApi& api, SQLHDBC dbc) : FApi(api), FDbc(dbc) {}
  ~TODBCConnection() override {
    if (FConnected) {
      if (FInTransaction) FApi.EndTran(SQL_HANDLE_DBC, FDbc, SQL_ROLLBACK);
      FApi.Disconnect(FDbc);
    }
    FApi.FreeHandle(SQL_HANDLE_DBC, FDbc);
  }

  void Connect(const std::string& connectionString) {
    // Bounds on waiting for the server (db_timeouts.h): the login, and
    // requests other than statements. A driver that lacks one connects
    // without it.
    const TDbTimeouts timeouts = DbTimeouts();
    SetUnsignedAttribute(SQL_ATTR_LOGIN_TIMEOUT, timeouts.Connect.count());
    SetUnsignedAttribute(SQL_ATTR_CONNECTION_TIMEOUT, timeouts.SilentReadWrite.count());
    std::u16string in = Wide(connectionString);
    std::u16string out(1024, u'\0');
    SQLSMALLINT outLength = 0;
    if (!Ok(FApi.DriverConnectW(FDbc, nullptr, W(in), SQL_NTS, W(out),
                                static_cast<SQLSMALLINT>(out.size()), &outLength,
                                SQL_DRIVER_NOPROMPT))) {
      Fail(FApi, SQL_HANDLE_DBC, FDbc);
    }
    FConnected = true;
  }

  void StartTransaction() override {
    SetAutoCommit(false);
    FInTransaction = true;
  }
  void Commit() override { End(SQL_COMMIT); }
  void Rollback() override { End(SQL_ROLLBACK); }

  std::unique_ptr<TPhysStatement> Prepare(const std::string& sql, int) override {
    SQLHANDLE stmt = nullptr;
    if (!Ok(FApi.AllocHandle(SQL_HANDLE_STMT, FDbc, &stmt))) Fail(FApi, SQL_HANDLE_DBC, FDbc);
    auto statement = std::make_unique<TODBCStatement>(FApi, stmt);
    std::u16string text = Wide(sql);
    if (!Ok(FApi.PrepareW(stmt, W(text), static_cast<SQLINTEGER>(text.size())))) {
      Fail(FApi, SQL_HANDLE_STMT, stmt);
    }
    return statement;
  }

 private:
  void SetUnsignedAttribute(SQLINTEGER attribute, std::int64_t value) {
    FApi.SetConnectAttrW(FDbc, attribute,
                         reinterpret_cast<SQLPOINTER>(static_cast<std::uintptr_t>(value)),
                         SQL_IS_UINTEGER);
  }

  void SetAutoCommit(bool on) {
    const auto value = on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF;
    if (!Ok(FApi.SetConnectAttrW(FDbc, SQL_ATTR_AUTOCOMMIT,
                                 reinterpret_cast<SQLPOINTER>(static_cast<std::uintptr_t>(value)),
                                 SQL_IS_UINTEGER))) {
      Fail(FApi, SQL_HANDLE_DBC, FDbc);
    }
  }

  void End(SQLSMALLINT completion) {
    const SQLRETURN rc = FApi.EndTran(SQL_HANDLE_DBC, FDbc, completion);
    if (!Ok(rc)) Fail(FApi, SQL_HANDLE_DBC, FDbc);
    FInTransaction = false;
    SetAutoCommit(true);
  }

  const TODBCApi& FApi;
  SQLHDBC FDbc;
  bool FConnected = false;
  bool FInTransaction = false;
};

class TODBCDriver final : public TPhysDriver {
 public:
  explicit TODBCDriver(std::shared_ptr<TVendorLibrary> library) : FLibrary(std::move(library)) {
    TEntryPoints ep(*FLibrary);
    ep(FApi.AllocHandle, "SQLAllocHandle");
    ep(FApi.FreeHandle, "SQLFreeHandle");
    ep(FApi.SetEnvAttr, "SQLSetEnvAttr");
    ep(FApi.DriversW, "SQLDriversW");
    ep(FApi.DriverConnectW, "SQLDriverConnectW");
    ep(FApi.Disconnect, "SQLDisconnect");
    ep(FApi.SetConnectAttrW, "SQLSetConnectAttrW");
    ep(FApi.EndTran, "SQLEndTran");
    ep(FApi.PrepareW, "SQLPrepareW");
    ep(FApi.BindParameter, "SQLBindParameter");
    ep(FApi.Execute, "SQLExecute");
    ep(FApi.NumResultCols, "SQLNumResultCols");
    ep(FApi.DescribeColW, "SQLDescribeColW");
    ep(FApi.Fetch, "SQLFetch");
    ep(FApi.GetData, "SQLGetData");
    ep(FApi.RowCount, "SQLRowCount");
    ep(FApi.FreeStmt, "SQLFreeStmt");
    ep(FApi.MoreResults, "SQLMoreResults");
    ep(FApi.GetDiagRecW, "SQLGetDiagRecW");
    ep.Check();
    if (!Ok(FApi.AllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &FEnv))) {
      throw EDatabaseError(ODBCClientMessage("Cannot allocate the ODBC environment"));
    }
    if (!Ok(FApi.SetEnvAttr(FEnv, SQL_ATTR_ODBC_VERSION,
                            reinterpret_cast<SQLPOINTER>(static_cast<std::uintptr_t>(SQL_OV_ODBC3)),
                            0))) {
      const std::string message = Diagnostic(FApi, SQL_HANDLE_ENV, FEnv);
      FApi.FreeHandle(SQL_HANDLE_ENV, FEnv);
      throw EDatabaseError(ODBCClientMessage(message));
    }
  }
  ~TODBCDriver() override { FApi.FreeHandle(SQL_HANDLE_ENV, FEnv); }

  std::string_view DriverID() const override { return "MSSQL"; }
  std::string Placeholder(int) const override { return "?"; }
  bool ChecksUntypedParams() const override { return true; }

  std::unique_ptr<TPhysConnection> Connect(const TDbDefinition& definition) override {
    const std::string driver = Driver();
    if (driver.empty()) {
      throw EDatabaseError(ODBCClientMessage(
          "No SQL Server ODBC driver is installed (looked for: SQL Server Native Client 11.0, "
          "ODBC Driver 13/11/17 for SQL Server, SQL Server Native Client 10.0, SQL Native "
          "Client, SQL Server)"));
    }
    SQLHANDLE dbc = nullptr;
    if (!Ok(FApi.AllocHandle(SQL_HANDLE_DBC, FEnv, &dbc))) Fail(FApi, SQL_HANDLE_ENV, FEnv);
    auto connection = std::make_unique<TODBCConnection>(FApi, dbc);
    connection->Connect(MSSQLConnectionString(driver, definition));
    return connection;
  }

 private:
  // While none of the wanted drivers is installed, the listing is read again
  // at most this often.
  static constexpr std::chrono::seconds kRelistInterval{60};

  // The SQL Server driver to connect with, from the driver manager's listing
  // of installed drivers, read once per process rather than per connection
  // (a driver installed later is seen after a restart). Every read of the
  // listing adds an entry to the driver manager's profile cache that only
  // later lookups of named keys remove, one expired entry per lookup: read
  // per connection, the cache grew by a few hundred bytes a connection and
  // every lookup walked it. The listing's position also lives in the shared
  // environment handle, so two connections reading it at once would have
  // mixed their rows.
  std::string Driver() {
    std::lock_guard lock(FDriverLock);
    const auto now = std::chrono::steady_clock::now();
    if (FDriver.empty() && (!FListed || now - FListedAt >= kRelistInterval)) {
      FDriver = ChooseMSSQLDriver(InstalledDrivers());
      FListed = true;
      FListedAt = now;
    }
    return FDriver;
  }

  std::vector<std::string> InstalledDrivers() {
    std::vector<std::string> names;
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    for (;;) {
      SQLWCHAR name[512];
      SQLWCHAR attributes[2048];
      SQLSMALLINT nameLength = 0, attributesLength = 0;
      const SQLRETURN rc = FApi.DriversW(FEnv, direction, name, 512, &nameLength, attributes, 2048,
                                         &attributesLength);
      if (!Ok(rc)) break;
      const auto n = std::min<std::size_t>(static_cast<std::size_t>(nameLength), 511);
      names.push_back(
          text::Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(name), n)));
      direction = SQL_FETCH_NEXT;
    }
    return names;
  }

  std::shared_ptr<TVendorLibrary> FLibrary;
  TODBCApi FApi;
  SQLHANDLE FEnv = nullptr;
  std::mutex FDriverLock;
  std::string FDriver;  // empty until a wanted driver is found
  bool FListed = false;
  std::chrono::steady_clock::time_point FListedAt;
};

std::string Upper(std::string_view s) {
  return text::AsciiUpperCase(s);
}

// A value in braces when it would otherwise end or open a key.
std::string ConnectionValue(const std::string& value) {
  const bool needsBraces = value.find_first_of(";{}") != std::string::npos ||
                           value.front() == ' ' || value.back() == ' ';
  if (!needsBraces) return value;
  std::string out = "{";
  for (const char c : value) {
    out += c;
    if (c == '}') out += '}';
  }
  return out + "}";
}

}  // namespace

std::string ChooseMSSQLDriver(const std::vector<std::string>& installed) {
  for (const std::string_view wanted : kMSSQLDriverNames) {
    for (const std::string& name : installed) {
      if (Upper(name) == wanted) return name;
    }
  }
  return {};
}

std::string MSSQLConnectionString(std::string_view driver, const TDbDefinition& definition) {
  std::string text = "DRIVER=" + std::string(driver);
  const std::pair<const char*, const char*> keys[] = {
      {"Server", "SERVER"}, {"Database", "DATABASE"}, {"User_Name", "UID"}, {"Password", "PWD"}};
  for (const auto& [setting, key] : keys) {
    if (definition.Has(setting))
      text += std::string(";") + key + "=" + ConnectionValue(definition.Value(setting));
  }
  const std::string upperDriver = Upper(driver);
  const bool wantsMars = upperDriver.find("NATIVE CLIENT") != std::string::npos ||
                         upperDriver == "ODBC DRIVER 11 FOR SQL SERVER" ||
                         upperDriver == "ODBC DRIVER 13 FOR SQL SERVER";
  if (wantsMars && Upper(text).find("MARS_CONNECTION=") == std::string::npos) {
    text += ";MARS_Connection=yes";
  }
  return text;
}

std::string ODBCClientMessage(std::string_view text) {
  return ClientMessage({"Phys", "ODBC"}, "", text);
}

std::unique_ptr<TPhysDriver> CreateDriverMSSQL(const std::string& vendorLib) {
  return std::make_unique<TODBCDriver>(
      LoadVendorLibrary("MSSQL", VendorLibNames(vendorLib, {"libodbc.so.2", "libodbc.so"})));
}

}  // namespace tandemize::dbaccess::phys
