// The MySQL kind: the MySQL or MariaDB client library, loaded at run time.
//
// The connection always speaks utf8mb4, so every character of the program's
// UTF-8 text reaches the server and comes back unchanged. Statements use the
// client's prepared-statement interface with "?" placeholders; results are
// buffered on the client so that other statements can run on the same
// connection while a result is open.

#include <mysql.h>

#include <charconv>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "dbaccess/internal/client_library.h"
#include "dbaccess/internal/db_timeouts.h"
#include "dbaccess/internal/driver_mysql.h"
#include "dbaccess/internal/phys_values.h"

namespace tandemize::dbaccess::phys {
namespace {

using memtable::EDatabaseError;
using memtable::TBcd;
using memtable::TBytes;
using memtable::TSQLTimeStamp;

// The client's entry points.
struct TMySQLApi {
  decltype(&::mysql_server_init) server_init = nullptr;
  decltype(&::mysql_init) init = nullptr;
  decltype(&::mysql_options) options = nullptr;
  decltype(&::mysql_real_connect) real_connect = nullptr;
  decltype(&::mysql_close) close = nullptr;
  decltype(&::mysql_error) error = nullptr;
  decltype(&::mysql_set_character_set) set_character_set = nullptr;
  decltype(&::mysql_real_query) real_query = nullptr;
  decltype(&::mysql_commit) commit = nullptr;
  decltype(&::mysql_rollback) rollback = nullptr;
  decltype(&::mysql_stmt_init) stmt_init = nullptr;
  decltype(&::mysql_stmt_prepare) stmt_prepare = nullptr;
  decltype(&::mysql_stmt_execute) stmt_execute = nullptr;
  decltype(&::mysql_stmt_fetch) stmt_fetch = nullptr;
  decltype(&::mysql_stmt_fetch_column) stmt_fetch_column = nullptr;
  decltype(&::mysql_stmt_store_result) stmt_store_result = nullptr;
  decltype(&::mysql_stmt_bind_param) stmt_bind_param = nullptr;
  decltype(&::mysql_stmt_bind_result) stmt_bind_result = nullptr;
  decltype(&::mysql_stmt_close) stmt_close = nullptr;
  decltype(&::mysql_stmt_free_result) stmt_free_result = nullptr;
  decltype(&::mysql_stmt_result_metadata) stmt_result_metadata = nullptr;
  decltype(&::mysql_stmt_error) stmt_error = nullptr;
  decltype(&::mysql_stmt_affected_rows) stmt_affected_rows = nullptr;
  decltype(&::mysql_stmt_param_count) stmt_param_count = nullptr;
  decltype(&::mysql_stmt_next_result) stmt_next_result = nullptr;
  decltype(&::mysql_stmt_more_results) stmt_more_results = nullptr;
  decltype(&::mysql_num_fields) num_fields = nullptr;
  decltype(&::mysql_fetch_fields) fetch_fields = nullptr;
  decltype(&::mysql_free_result) free_result = nullptr;
};

constexpr unsigned kBinaryCharset = 63;  // the charset number of binary strings

[[noreturn]] void Fail(std::string_view text) {
  throw EDatabaseError(MySQLClientMessage(text));
}

// The shared bind groups, except that a timestamp with an offset is sent as
// text on this kind.
TBindKind MySQLBindKind(TFieldType type) {
  if (type == TFieldType::ftTimeStampOffset) return TBindKind::Text;
  return BindKindOf(type);
}

MYSQL_TIME ToMySQLTime(const TSQLTimeStamp& ts, enum_mysql_timestamp_type kind) {
  MYSQL_TIME t{};
  t.year = static_cast<unsigned>(ts.Year < 0 ? 0 : ts.Year);
  t.month = ts.Month;
  t.day = ts.Day;
  t.hour = ts.Hour;
  t.minute = ts.Minute;
  t.second = ts.Second;
  t.second_part = ts.Fractions * 1000ul;  // milliseconds to microseconds
  t.time_type = kind;
  return t;
}

TSQLTimeStamp FromMySQLTime(const MYSQL_TIME& t) {
  TSQLTimeStamp ts;
  ts.Year = static_cast<std::int16_t>(t.year);
  ts.Month = static_cast<std::uint16_t>(t.month);
  ts.Day = static_cast<std::uint16_t>(t.day);
  ts.Hour = static_cast<std::uint16_t>(t.hour);
  ts.Minute = static_cast<std::uint16_t>(t.minute);
  ts.Second = static_cast<std::uint16_t>(t.second);
  ts.Fractions = static_cast<std::uint32_t>(t.second_part / 1000);
  return ts;
}

// One bound parameter: the MYSQL_BIND points into these buffers, which live
// until the next Execute.
struct TParamBuffer {
  std::int64_t Int = 0;
  double Float = 0;
  MYSQL_TIME Time{};
  std::string Bytes;
  unsigned long Length = 0;
  my_bool IsNull = 0;
};

class TMySQLStatement final : public TPhysStatement {
 public:
  TMySQLStatement(const TMySQLApi& api, MYSQL* mysql, MYSQL_STMT* stmt)
      : FApi(api), FMySQL(mysql), FStmt(stmt) {}
  ~TMySQLStatement() override {
    ReleaseResult();
    FApi.stmt_close(FStmt);
  }

  void Execute(std::span<const TPhysBind> binds) override {
    ReleaseResult();
    BindParams(binds);
    if (FApi.stmt_execute(FStmt) != 0) StatementFailed();
    FRowsAffected = static_cast<std::int64_t>(FApi.stmt_affected_rows(FStmt));
    MYSQL_RES* meta = FApi.stmt_result_metadata(FStmt);
    if (meta == nullptr) return;
    FMeta = meta;
    // Buffered on the client: the connection stays free for other statements.
    if (FApi.stmt_store_result(FStmt) != 0) StatementFailed();
    BindResult();
  }

  bool Fetch() override {
    if (FMeta == nullptr) return false;
    const int rc = FApi.stmt_fetch(FStmt);
    if (rc == MYSQL_NO_DATA) return false;
    if (rc != 0 && rc != MYSQL_DATA_TRUNCATED) StatementFailed();
    ReadRow();
    return true;
  }

  int ColumnCount() const override { return static_cast<int>(FFields.size()); }
  std::string ColumnName(int index) const override {
    return std::string(FFields.at(index).name, FFields.at(index).name_length);
  }
  TVariant ColumnValue(int index) const override { return FRow.at(index); }
  std::int64_t RowsAffected() const override { return FRowsAffected; }
  void CloseCursor() override { ReleaseResult(); }

 private:
  [[noreturn]] void StatementFailed() { Fail(FApi.stmt_error(FStmt)); }

  void ReleaseResult() {
    if (FMeta != nullptr) {
      FApi.free_result(FMeta);
      FMeta = nullptr;
      FApi.stmt_free_result(FStmt);
      // A CALL leaves further results behind; drain them.
      while (FApi.stmt_more_results(FStmt) && FApi.stmt_next_result(FStmt) == 0) {
        FApi.stmt_free_result(FStmt);
      }
    }
    FFields.clear();
    FRow.clear();
  }

  void BindParams(std::span<const TPhysBind> binds) {
    const auto expected = FApi.stmt_param_count(FStmt);
    if (binds.size() != expected) {
      Fail("Statement expects " + std::to_string(expected) + " parameter(s), " +
           std::to_string(binds.size()) + " given");
    }
    FParamBinds.assign(binds.size(), MYSQL_BIND{});
    FParamBuffers.assign(binds.size(), TParamBuffer{});
    for (std::size_t i = 0; i < binds.size(); ++i) {
      BindOne(binds[i], FParamBinds[i], FParamBuffers[i]);
    }
    if (!binds.empty() && FApi.stmt_bind_param(FStmt, FParamBinds.data()) != 0) {
      StatementFailed();
    }
  }

  // The value is converted to the parameter's data type; a NULL keeps that
  // type and is flagged as NULL.
  static void BindOne(const TPhysBind& bind, MYSQL_BIND& b, TParamBuffer& buf) {
    const TVariant& value = *bind.Value;
    const bool isNull = memtable::VarIsNull(value);
    buf.IsNull = isNull ? 1 : 0;
    b.is_null = &buf.IsNull;
    b.length = &buf.Length;
    const TBindKind kind = MySQLBindKind(bind.DataType);
    switch (kind) {
      case TBindKind::Integer:
      case TBindKind::Boolean:
        b.buffer_type = MYSQL_TYPE_LONGLONG;
        b.buffer = &buf.Int;
        if (isNull) return;
        if (const auto* u = std::get_if<std::uint64_t>(&value)) {
          buf.Int = static_cast<std::int64_t>(*u);
          b.is_unsigned = 1;
        } else {
          buf.Int = VariantToInt64(value);
        }
        return;
      case TBindKind::Float:
        b.buffer_type = MYSQL_TYPE_DOUBLE;
        b.buffer = &buf.Float;
        if (!isNull) buf.Float = VariantToDouble(value);
        return;
      case TBindKind::Date:
      case TBindKind::Time:
      case TBindKind::DateTime: {
        const auto timeKind = kind == TBindKind::Date   ? MYSQL_TIMESTAMP_DATE
                              : kind == TBindKind::Time ? MYSQL_TIMESTAMP_TIME
                                                        : MYSQL_TIMESTAMP_DATETIME;
        b.buffer_type = kind == TBindKind::Date   ? MYSQL_TYPE_DATE
                        : kind == TBindKind::Time ? MYSQL_TYPE_TIME
                                                  : MYSQL_TYPE_DATETIME;
        b.buffer = &buf.Time;
        if (!isNull) buf.Time = ToMySQLTime(VariantToTimeStamp(value), timeKind);
        return;
      }
      case TBindKind::Decimal:
        // Exact decimals travel as text; the server converts without loss.
        b.buffer_type = MYSQL_TYPE_NEWDECIMAL;
        break;
      case TBindKind::Blob:
        b.buffer_type = MYSQL_TYPE_BLOB;
        break;
      case TBindKind::Text:
      case TBindKind::Unknown:
        b.buffer_type = MYSQL_TYPE_STRING;
        break;
    }
    if (!isNull) {
      if (b.buffer_type == MYSQL_TYPE_BLOB) {
        const TBytes bytes = VariantToBytes(value);
        buf.Bytes.assign(bytes.begin(), bytes.end());
      } else {
        buf.Bytes = VariantToText(value);
      }
    }
    buf.Length = buf.Bytes.size();
    b.buffer = buf.Bytes.data();
    b.buffer_length = buf.Bytes.size();
  }

  // Fixed-size columns land in their buffers; text and binary columns are
  // read with fetch_column once their length is known.
  void BindResult() {
    const unsigned count = FApi.num_fields(FMeta);
    const MYSQL_FIELD* fields = FApi.fetch_fields(FMeta);
    FFields.assign(fields, fields + count);
    FResultBinds.assign(count, MYSQL_BIND{});
    FResultBuffers.assign(count, TParamBuffer{});
    for (unsigned i = 0; i < count; ++i) {
      MYSQL_BIND& b = FResultBinds[i];
      TParamBuffer& buf = FResultBuffers[i];
      b.is_null = &buf.IsNull;
      b.length = &buf.Length;
      switch (FFields[i].type) {
        case MYSQL_TYPE_TINY:
        case MYSQL_TYPE_SHORT:
        case MYSQL_TYPE_INT24:
        case MYSQL_TYPE_LONG:
        case MYSQL_TYPE_LONGLONG:
        case MYSQL_TYPE_YEAR:
          b.buffer_type = MYSQL_TYPE_LONGLONG;
          b.buffer = &buf.Int;
          b.is_unsigned = (FFields[i].flags & UNSIGNED_FLAG) != 0;
          break;
        case MYSQL_TYPE_FLOAT:
        case MYSQL_TYPE_DOUBLE:
          b.buffer_type = MYSQL_TYPE_DOUBLE;
          b.buffer = &buf.Float;
          break;
        case MYSQL_TYPE_DATE:
        case MYSQL_TYPE_NEWDATE:
        case MYSQL_TYPE_TIME:
        case MYSQL_TYPE_DATETIME:
        case MYSQL_TYPE_TIMESTAMP:
          b.buffer_type = MYSQL_TYPE_DATETIME;
          b.buffer = &buf.Time;
          break;
        default:
          b.buffer_type = MYSQL_TYPE_STRING;
          b.buffer = nullptr;
          b.buffer_length = 0;
          break;
      }
    }
    if (count > 0 && FApi.stmt_bind_result(FStmt, FResultBinds.data()) != 0) StatementFailed();
  }

  void ReadRow() {
    FRow.assign(FFields.size(), TVariant{});
    for (std::size_t i = 0; i < FFields.size(); ++i) {
      const MYSQL_BIND& b = FResultBinds[i];
      TParamBuffer& buf = FResultBuffers[i];
      if (buf.IsNull) continue;
      const MYSQL_FIELD& field = FFields[i];
      switch (b.buffer_type) {
        case MYSQL_TYPE_LONGLONG:
          if (b.is_unsigned && buf.Int < 0) {
            FRow[i] = static_cast<std::uint64_t>(buf.Int);
          } else {
            FRow[i] = buf.Int;
          }
          continue;
        case MYSQL_TYPE_DOUBLE:
          FRow[i] = buf.Float;
          continue;
        case MYSQL_TYPE_DATETIME:
          FRow[i] = FromMySQLTime(buf.Time);
          continue;
        default:
          break;
      }
      std::string data(buf.Length, '\0');
      if (buf.Length > 0) {
        MYSQL_BIND column{};
        unsigned long length = 0;
        column.buffer_type = MYSQL_TYPE_STRING;
        column.buffer = data.data();
        column.buffer_length = buf.Length;
        column.length = &length;
        if (FApi.stmt_fetch_column(FStmt, &column, static_cast<unsigned>(i), 0) != 0) {
          StatementFailed();
        }
      }
      if (field.type == MYSQL_TYPE_DECIMAL || field.type == MYSQL_TYPE_NEWDECIMAL) {
        TBcd bcd;
        if (TextToBcd(data, bcd)) {
          FRow[i] = bcd;
        } else {
          FRow[i] = std::move(data);
        }
      } else if (field.charsetnr == kBinaryCharset && field.type != MYSQL_TYPE_BIT) {
        FRow[i] = TBytes(data.begin(), data.end());
      } else if (field.type == MYSQL_TYPE_BIT) {
        std::uint64_t bits = 0;
        for (const unsigned char c : data) bits = (bits << 8) | c;
        FRow[i] = static_cast<std::int64_t>(bits);
      } else {
        FRow[i] = std::move(data);
      }
    }
  }

  const TMySQLApi& FApi;
  MYSQL* FMySQL;
  MYSQL_STMT* FStmt;
  MYSQL_RES* FMeta = nullptr;
  std::vector<MYSQL_BIND> FParamBinds;
  std::vector<TParamBuffer> FParamBuffers;
  std::vector<MYSQL_FIELD> FFields;
  std::vector<MYSQL_BIND> FResultBinds;
  std::vector<TParamBuffer> FResultBuffers;
  std::vector<TVariant> FRow;
  std::int64_t FRowsAffected = -1;
};

class TMySQLConnection final : public TPhysConnection {
 public:
  TMySQLConnection(const TMySQLApi& api, MYSQL* mysql) : FApi(api), FMySQL(mysql) {}
  ~TMySQLConnection() override { FApi.close(FMySQL); }

  void StartTransaction() override { Run("START TRANSACTION"); }
  void Commit() override {
    if (FApi.commit(FMySQL) != 0) Fail(FApi.error(FMySQL));
  }
  void Rollback() override {
    if (FApi.rollback(FMySQL) != 0) Fail(FApi.error(FMySQL));
  }

  std::unique_ptr<TPhysStatement> Prepare(const std::string& sql, int) override {
    MYSQL_STMT* stmt = FApi.stmt_init(FMySQL);
    if (stmt == nullptr) Fail(FApi.error(FMySQL));
    if (FApi.stmt_prepare(stmt, sql.data(), static_cast<unsigned long>(sql.size())) != 0) {
      const std::string message = FApi.stmt_error(stmt);
      FApi.stmt_close(stmt);
      Fail(message);
    }
    return std::make_unique<TMySQLStatement>(FApi, FMySQL, stmt);
  }

 private:
  void Run(std::string_view sql) {
    if (FApi.real_query(FMySQL, sql.data(), static_cast<unsigned long>(sql.size())) != 0) {
      Fail(FApi.error(FMySQL));
    }
  }

  const TMySQLApi& FApi;
  MYSQL* FMySQL;
};

class TMySQLDriver final : public TPhysDriver {
 public:
  explicit TMySQLDriver(std::shared_ptr<TVendorLibrary> library) : FLibrary(std::move(library)) {
    TEntryPoints ep(*FLibrary);
    ep(FApi.server_init, "mysql_server_init");
    ep(FApi.init, "mysql_init");
    ep(FApi.options, "mysql_options");
    ep(FApi.real_connect, "mysql_real_connect");
    ep(FApi.close, "mysql_close");
    ep(FApi.error, "mysql_error");
    ep(FApi.set_character_set, "mysql_set_character_set");
    ep(FApi.real_query, "mysql_real_query");
    ep(FApi.commit, "mysql_commit");
    ep(FApi.rollback, "mysql_rollback");
    ep(FApi.stmt_init, "mysql_stmt_init");
    ep(FApi.stmt_prepare, "mysql_stmt_prepare");
    ep(FApi.stmt_execute, "mysql_stmt_execute");
    ep(FApi.stmt_fetch, "mysql_stmt_fetch");
    ep(FApi.stmt_fetch_column, "mysql_stmt_fetch_column");
    ep(FApi.stmt_store_result, "mysql_stmt_store_result");
    ep(FApi.stmt_bind_param, "mysql_stmt_bind_param");
    ep(FApi.stmt_bind_result, "mysql_stmt_bind_result");
    ep(FApi.stmt_close, "mysql_stmt_close");
    ep(FApi.stmt_free_result, "mysql_stmt_free_result");
    ep(FApi.stmt_result_metadata, "mysql_stmt_result_metadata");
    ep(FApi.stmt_error, "mysql_stmt_error");
    ep(FApi.stmt_affected_rows, "mysql_stmt_affected_rows");
    ep(FApi.stmt_param_count, "mysql_stmt_param_count");
    ep(FApi.stmt_next_result, "mysql_stmt_next_result");
    ep(FApi.stmt_more_results, "mysql_stmt_more_results");
    ep(FApi.num_fields, "mysql_num_fields");
    ep(FApi.fetch_fields, "mysql_fetch_fields");
    ep(FApi.free_result, "mysql_free_result");
    ep.Check();
    // The client's global set-up is not thread-safe; the registry calls the
    // factory under its lock, so do it here once.
    if (FApi.server_init(0, nullptr, nullptr) != 0) {
      Fail("Cannot initialize the client library");
    }
  }

  std::string_view DriverID() const override { return "MySQL"; }
  std::string Placeholder(int) const override { return "?"; }
  bool ChecksUntypedParams() const override { return true; }

  std::unique_ptr<TPhysConnection> Connect(const TDbDefinition& definition) override {
    const TMySQLConnectArgs args = MySQLConnectArgs(definition);
    MYSQL* mysql = FApi.init(nullptr);
    if (mysql == nullptr) Fail("Out of memory");
    auto connection = std::make_unique<TMySQLConnection>(FApi, mysql);
    FApi.options(mysql, MYSQL_SET_CHARSET_NAME, kMySQLConnectionCharset);
    // The client's only bounds on a server that stops answering: connecting,
    // and each read or write once connected (long enough for any one row's
    // statement; see db_timeouts.h).
    const TDbTimeouts timeouts = DbTimeouts();
    const unsigned connectTimeout = static_cast<unsigned>(timeouts.Connect.count());
    const unsigned ioTimeout = static_cast<unsigned>(timeouts.SilentReadWrite.count());
    FApi.options(mysql, MYSQL_OPT_CONNECT_TIMEOUT, &connectTimeout);
    FApi.options(mysql, MYSQL_OPT_READ_TIMEOUT, &ioTimeout);
    FApi.options(mysql, MYSQL_OPT_WRITE_TIMEOUT, &ioTimeout);
    auto opt = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
    // Found rows, not changed rows: an UPDATE that rewrites equal values
    // still counts the rows it matched, as on the other kinds.
    if (FApi.real_connect(mysql, opt(args.Host), opt(args.User), opt(args.Password),
                          opt(args.Database), args.Port, nullptr, CLIENT_FOUND_ROWS) == nullptr) {
      Fail(FApi.error(mysql));
    }
    if (FApi.set_character_set(mysql, kMySQLConnectionCharset) != 0) Fail(FApi.error(mysql));
    return connection;
  }

 private:
  std::shared_ptr<TVendorLibrary> FLibrary;
  TMySQLApi FApi;
};

}  // namespace

std::string MySQLClientMessage(std::string_view text) {
  return ClientMessage({"Phys", "MySQL"}, " ", text);
}

TMySQLConnectArgs MySQLConnectArgs(const TDbDefinition& definition) {
  TMySQLConnectArgs args;
  args.Host = definition.Server();
  args.User = definition.UserName();
  args.Password = definition.Password();
  args.Database = definition.Database();
  const std::string& port = definition.Port();
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
  args.Port = (ec == std::errc() && end == port.data() + port.size()) ? value : 0;
  return args;
}

std::unique_ptr<TPhysDriver> CreateDriverMySQL(const std::string& vendorLib) {
  auto library = LoadVendorLibrary(
      "MySQL",
      VendorLibNames(vendorLib, {"libmysqlclient.so.21", "libmariadb.so.3", "libmariadb.so"}));
  return std::make_unique<TMySQLDriver>(std::move(library));
}

}  // namespace tandemize::dbaccess::phys
