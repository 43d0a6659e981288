// The FB and IB kinds: the Firebird client API (the InterBase client has the
// same one), loaded at run time.
//
// Every statement runs in a transaction. Outside an explicit transaction the
// connection starts one on demand and commits it as soon as no statement
// needs it: right after a statement without result rows, or once the last
// open result has been read or closed. The connection character set is
// always UTF8, so text goes both ways without loss.

#include <ibase.h>

#include <array>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "dbaccess/internal/client_library.h"
#include "dbaccess/internal/db_timeouts.h"
#include "dbaccess/internal/driver_firebird.h"
#include "dbaccess/internal/phys_values.h"

namespace tandemize::dbaccess::phys {
namespace {

// The Firebird client installs its own handlers for the termination signals
// when it loads and attaches, after which SIGTERM or Ctrl+C no longer ends the
// service. The program's own dispositions, taken before any client is loaded,
// are put back after every load and attach.
class TSignalDispositions {
 public:
  TSignalDispositions() {
    for (std::size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], nullptr, &FSaved[i]);
  }
  void Restore() const {
    for (std::size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &FSaved[i], nullptr);
  }

 private:
  static constexpr std::array<int, 3> kSignals = {SIGINT, SIGTERM, SIGHUP};
  std::array<struct sigaction, 3> FSaved{};
};

const TSignalDispositions gProgramSignals;

using memtable::EDatabaseError;
using memtable::TBcd;
using memtable::TBytes;
using memtable::TDateTime;
using memtable::TSQLTimeStamp;

struct TFirebirdApi {
  decltype(&::isc_attach_database) attach_database = nullptr;
  decltype(&::isc_detach_database) detach_database = nullptr;
  decltype(&::isc_start_transaction) start_transaction = nullptr;
  decltype(&::isc_commit_transaction) commit_transaction = nullptr;
  decltype(&::isc_rollback_transaction) rollback_transaction = nullptr;
  decltype(&::isc_dsql_allocate_statement) dsql_allocate_statement = nullptr;
  decltype(&::isc_dsql_prepare) dsql_prepare = nullptr;
  decltype(&::isc_dsql_describe) dsql_describe = nullptr;
  decltype(&::isc_dsql_describe_bind) dsql_describe_bind = nullptr;
  decltype(&::isc_dsql_execute) dsql_execute = nullptr;
  decltype(&::isc_dsql_execute2) dsql_execute2 = nullptr;
  decltype(&::isc_dsql_fetch) dsql_fetch = nullptr;
  decltype(&::isc_dsql_free_statement) dsql_free_statement = nullptr;
  decltype(&::isc_dsql_sql_info) dsql_sql_info = nullptr;
  decltype(&::isc_create_blob2) create_blob2 = nullptr;
  decltype(&::isc_open_blob2) open_blob2 = nullptr;
  decltype(&::isc_get_segment) get_segment = nullptr;
  decltype(&::isc_put_segment) put_segment = nullptr;
  decltype(&::isc_close_blob) close_blob = nullptr;
  decltype(&::isc_vax_integer) vax_integer = nullptr;
  decltype(&::fb_interpret) interpret = nullptr;                   // Firebird clients
  ISC_LONG (*interprete_old)(ISC_SCHAR*, ISC_STATUS**) = nullptr;  // older clients
  decltype(&::fb_shutdown) shutdown = nullptr;                     // Firebird clients
  // Present from Firebird 3 on: such a client takes configuration settings in
  // the attachment's parameters (isc_dpb_config).
  void* get_master_interface = nullptr;
};

constexpr int kStatusSize = 20;
using TStatus = ISC_STATUS[kStatusSize];
constexpr short kCharsetOctets = 1;
constexpr short kCharsetUtf8 = 4;
constexpr short kBlobSubtypeText = 1;
// The varying-text limit of one value; longer values go to blob parameters.
constexpr std::size_t kMaxVarying = 32765;
constexpr std::size_t kBlobSegment = 32768;
// ISC_DATE counts days from 1858-11-17; TDateTime from 1899-12-30.
constexpr int kIscDateOffset = 15018;
constexpr ISC_TIME kIscTimeUnitsPerSecond = 10000;
constexpr unsigned kShutdownTimeoutMs = 3000;

// All lines the client has for a status vector, joined with CR LF.
std::string StatusText(const TFirebirdApi& api, const ISC_STATUS* status) {
  std::string text;
  char line[1024];
  const ISC_STATUS* cursor = status;
  for (;;) {
    ISC_LONG length = 0;
    if (api.interpret != nullptr) {
      length = api.interpret(line, sizeof line, &cursor);
    } else {
      auto* mutableCursor = const_cast<ISC_STATUS*>(cursor);
      length = api.interprete_old(line, &mutableCursor);
      cursor = mutableCursor;
    }
    if (length <= 0) break;
    if (!text.empty()) text += "\r\n";
    text.append(line, std::strlen(line));
  }
  return text.empty() ? std::string("Unknown client error") : text;
}

ISC_DATE ToIscDate(const TSQLTimeStamp& ts) {
  TSQLTimeStamp date{};
  date.Year = ts.Year;
  date.Month = ts.Month;
  date.Day = ts.Day;
  return static_cast<ISC_DATE>(std::lround(TimeStampToDateTime(date).Value)) + kIscDateOffset;
}

ISC_TIME ToIscTime(const TSQLTimeStamp& ts) {
  return ((ts.Hour * 60u + ts.Minute) * 60u + ts.Second) * kIscTimeUnitsPerSecond +
         ts.Fractions * (kIscTimeUnitsPerSecond / 1000);
}

void FromIscDate(ISC_DATE date, TSQLTimeStamp& ts) {
  const TSQLTimeStamp d =
      DateTimeToTimeStamp(TDateTime{static_cast<double>(date - kIscDateOffset)});
  ts.Year = d.Year;
  ts.Month = d.Month;
  ts.Day = d.Day;
}

void FromIscTime(ISC_TIME time, TSQLTimeStamp& ts) {
  ts.Fractions = (time % kIscTimeUnitsPerSecond) / (kIscTimeUnitsPerSecond / 1000);
  time /= kIscTimeUnitsPerSecond;
  ts.Second = static_cast<std::uint16_t>(time % 60);
  time /= 60;
  ts.Minute = static_cast<std::uint16_t>(time % 60);
  ts.Hour = static_cast<std::uint16_t>(time / 60);
}

// A scaled integer as an exact decimal.
TVariant ScaledValue(std::int64_t value, short scale) {
  if (scale >= 0) {
    std::int64_t v = value;
    for (short i = 0; i < scale; ++i) v *= 10;
    return v;
  }
  const bool negative = value < 0;
  std::string digits = std::to_string(negative ? 0 - static_cast<std::uint64_t>(value)
                                               : static_cast<std::uint64_t>(value));
  const std::size_t places = static_cast<std::size_t>(-scale);
  if (digits.size() <= places) digits.insert(0, places - digits.size() + 1, '0');
  digits.insert(digits.size() - places, 1, '.');
  if (negative) digits.insert(0, 1, '-');
  TBcd bcd;
  if (TextToBcd(digits, bcd)) return bcd;
  return digits;
}

// An XSQLDA with its own storage for `count` variables.
class TSqlda {
 public:
  explicit TSqlda(int count) { Resize(count); }
  void Resize(int count) {
    const int n = count < 1 ? 1 : count;
    FStorage.assign(XSQLDA_LENGTH(n), 0);
    Get()->version = SQLDA_VERSION1;
    Get()->sqln = static_cast<ISC_SHORT>(n);
  }
  XSQLDA* Get() { return reinterpret_cast<XSQLDA*>(FStorage.data()); }
  const XSQLDA* Get() const { return reinterpret_cast<const XSQLDA*>(FStorage.data()); }
  int Count() const { return Get()->sqld; }
  XSQLVAR& Var(int i) { return Get()->sqlvar[i]; }
  const XSQLVAR& Var(int i) const { return Get()->sqlvar[i]; }

 private:
  std::vector<char> FStorage;  // operator new's alignment suits the XSQLDA
};

class TFirebirdConnection;

class TFirebirdStatement final : public TPhysStatement {
 public:
  TFirebirdStatement(TFirebirdConnection& connection, isc_stmt_handle handle, TSqlda in, TSqlda out,
                     int type);
  ~TFirebirdStatement() override;

  void Execute(std::span<const TPhysBind> binds) override;
  bool Fetch() override;
  int ColumnCount() const override { return FHasResult ? FOut.Count() : 0; }
  std::string ColumnName(int index) const override {
    const XSQLVAR& v = FOut.Var(index);
    if (v.aliasname_length > 0) return std::string(v.aliasname, v.aliasname_length);
    return std::string(v.sqlname, v.sqlname_length);
  }
  TVariant ColumnValue(int index) const override { return FRow.at(index); }
  std::int64_t RowsAffected() const override { return FRowsAffected; }
  void CloseCursor() override;

 private:
  // Frees an open cursor of the current transaction and notes it closed;
  // true when it did. Never fails.
  bool FreeCursor() noexcept;
  void BindParams(std::span<const TPhysBind> binds);
  void BindOne(int index, const TPhysBind& bind);
  void AllocateOutput();
  void ReadRow();
  std::int64_t ReadRowsAffected();

  TFirebirdConnection& FConnection;
  isc_stmt_handle FHandle;
  TSqlda FIn;
  TSqlda FOut;
  int FType;
  std::vector<std::vector<std::int64_t>> FInBuffers;
  std::vector<short> FInNulls;
  std::vector<std::vector<std::int64_t>> FOutBuffers;
  std::vector<short> FOutNulls;
  bool FHasResult = false;
  bool FCursorOpen = false;
  bool FSingletonPending = false;
  std::uint64_t FTransactionGeneration = 0;
  std::vector<TVariant> FRow;
  std::int64_t FRowsAffected = -1;
};

class TFirebirdConnection final : public TPhysConnection {
 public:
  TFirebirdConnection(const TFirebirdApi& api, std::string driverId, isc_db_handle db)
      : FApi(api), FDriverID(std::move(driverId)), FDb(db) {}
  ~TFirebirdConnection() override {
    TStatus status;
    if (FTrans != 0) FApi.rollback_transaction(status, &FTrans);
    FApi.detach_database(status, &FDb);
  }

  void StartTransaction() override {
    // A transaction started on demand for a still-open result ends first.
    if (FTrans != 0) EndTransaction(true);
    Begin();
    FExplicit = true;
  }
  void Commit() override { EndTransaction(true); }
  void Rollback() override { EndTransaction(false); }

  std::unique_ptr<TPhysStatement> Prepare(const std::string& sql, int) override {
    TStatus status;
    isc_stmt_handle handle = 0;
    if (FApi.dsql_allocate_statement(status, &FDb, &handle)) Fail(status);
    TSqlda out(8);
    const bool ownTransaction = FTrans == 0;
    isc_tr_handle& trans = Transaction();
    if (FApi.dsql_prepare(status, &trans, &handle, 0, sql.c_str(), SQL_DIALECT_V6, out.Get())) {
      const std::string message = Message(status);
      TStatus ignored;
      FApi.dsql_free_statement(ignored, &handle, DSQL_drop);
      if (ownTransaction) Release();
      throw EDatabaseError(message);
    }
    try {
      if (out.Count() > out.Get()->sqln) {
        out.Resize(out.Count());
        if (FApi.dsql_describe(status, &handle, SQLDA_VERSION1, out.Get())) Fail(status);
      }
      TSqlda in(8);
      if (FApi.dsql_describe_bind(status, &handle, SQLDA_VERSION1, in.Get())) Fail(status);
      if (in.Count() > in.Get()->sqln) {
        in.Resize(in.Count());
        if (FApi.dsql_describe_bind(status, &handle, SQLDA_VERSION1, in.Get())) Fail(status);
      }
      const int type = StatementType(handle);
      if (ownTransaction) Release();
      return std::make_unique<TFirebirdStatement>(*this, handle, std::move(in), std::move(out),
                                                  type);
    } catch (...) {
      TStatus ignored;
      FApi.dsql_free_statement(ignored, &handle, DSQL_drop);
      if (ownTransaction) Release();
      throw;
    }
  }

  const TFirebirdApi& Api() const { return FApi; }
  const std::string& DriverID() const { return FDriverID; }
  isc_db_handle& Db() { return FDb; }
  std::string Message(const ISC_STATUS* status) const {
    return FirebirdClientMessage(FDriverID, StatusText(FApi, status));
  }
  [[noreturn]] void Fail(const ISC_STATUS* status) const { throw EDatabaseError(Message(status)); }

  // The transaction statements run in: the explicit one, or one started now.
  isc_tr_handle& Transaction() {
    if (FTrans == 0) Begin();
    return FTrans;
  }
  std::uint64_t Generation() const { return FGeneration; }
  bool Explicit() const { return FExplicit; }
  void CursorOpened() { ++FOpenCursors; }
  void CursorClosed() {
    if (FOpenCursors > 0) --FOpenCursors;
  }
  // Commits a transaction started on demand once nothing needs it.
  void Release() {
    if (!FExplicit && FTrans != 0 && FOpenCursors == 0) EndTransaction(true);
  }
  // After a failed statement outside an explicit transaction the on-demand
  // transaction is rolled back, so the failure leaves nothing behind.
  void ReleaseAfterFailure() {
    if (!FExplicit && FTrans != 0 && FOpenCursors == 0) EndTransaction(false);
  }
  // Release for a statement being destroyed: a commit that fails is rolled
  // back instead of raised.
  void ReleaseQuietly() noexcept {
    if (FExplicit || FTrans == 0 || FOpenCursors != 0) return;
    TStatus status;
    if (FApi.commit_transaction(status, &FTrans) != 0) {
      TStatus rollbackStatus;
      FApi.rollback_transaction(rollbackStatus, &FTrans);
    }
    FTrans = 0;
    FOpenCursors = 0;
    ++FGeneration;
  }

 private:
  void Begin() {
    static const char kTpb[] = {isc_tpb_version3, isc_tpb_write, isc_tpb_read_committed,
                                isc_tpb_rec_version, isc_tpb_wait};
    TStatus status;
    if (FApi.start_transaction(status, &FTrans, 1, &FDb, static_cast<int>(sizeof kTpb), kTpb)) {
      Fail(status);
    }
  }

  void EndTransaction(bool commit) {
    if (FTrans == 0) return;
    TStatus status;
    const ISC_STATUS rc = commit ? FApi.commit_transaction(status, &FTrans)
                                 : FApi.rollback_transaction(status, &FTrans);
    if (rc != 0 && commit) Fail(status);  // the transaction stays open for a rollback
    // A rollback that fails leaves the handle unusable either way.
    FTrans = 0;
    FExplicit = false;
    FOpenCursors = 0;
    ++FGeneration;
    if (rc != 0) Fail(status);
  }

  int StatementType(isc_stmt_handle& handle) {
    static const char kItems[] = {isc_info_sql_stmt_type};
    char buffer[16];
    TStatus status;
    if (FApi.dsql_sql_info(status, &handle, sizeof kItems, kItems, sizeof buffer, buffer)) {
      Fail(status);
    }
    if (buffer[0] != isc_info_sql_stmt_type) return 0;
    const short length = static_cast<short>(FApi.vax_integer(buffer + 1, 2));
    return static_cast<int>(FApi.vax_integer(buffer + 3, length));
  }

  const TFirebirdApi& FApi;
  std::string FDriverID;
  isc_db_handle FDb;
  isc_tr_handle FTrans = 0;
  bool FExplicit = false;
  int FOpenCursors = 0;
  std::uint64_t FGeneration = 0;
};

TFirebirdStatement::TFirebirdStatement(TFirebirdConnection& connection, isc_stmt_handle handle,
                                       TSqlda in, TSqlda out, int type)
    : FConnection(connection),
      FHandle(handle),
      FIn(std::move(in)),
      FOut(std::move(out)),
      FType(type) {
  AllocateOutput();
}

TFirebirdStatement::~TFirebirdStatement() {
  if (FreeCursor()) FConnection.ReleaseQuietly();
  TStatus status;
  FConnection.Api().dsql_free_statement(status, &FHandle, DSQL_drop);
}

void TFirebirdStatement::AllocateOutput() {
  const int count = FOut.Count();
  FOutBuffers.assign(count, {});
  FOutNulls.assign(count, 0);
  for (int i = 0; i < count; ++i) {
    XSQLVAR& v = FOut.Var(i);
    std::size_t size = static_cast<std::size_t>(v.sqllen);
    if ((v.sqltype & ~1) == SQL_VARYING) size += 2;
    FOutBuffers[i].assign(size / sizeof(std::int64_t) + 1, 0);
    v.sqldata = reinterpret_cast<ISC_SCHAR*>(FOutBuffers[i].data());
    v.sqlind = &FOutNulls[i];
  }
}

void TFirebirdStatement::CloseCursor() {
  if (FreeCursor()) FConnection.Release();
}

bool TFirebirdStatement::FreeCursor() noexcept {
  const bool freed = FCursorOpen && FTransactionGeneration == FConnection.Generation();
  if (freed) {
    TStatus status;
    FConnection.Api().dsql_free_statement(status, &FHandle, DSQL_close);
    FConnection.CursorClosed();
  }
  FCursorOpen = false;
  FSingletonPending = false;
  FHasResult = false;
  FRow.clear();
  return freed;
}

void TFirebirdStatement::Execute(std::span<const TPhysBind> binds) {
  CloseCursor();
  if (static_cast<int>(binds.size()) != FIn.Count()) {
    throw EDatabaseError(FirebirdClientMessage(
        FConnection.DriverID(), "Statement expects " + std::to_string(FIn.Count()) +
                                    " parameter(s), " + std::to_string(binds.size()) + " given"));
  }
  const TFirebirdApi& api = FConnection.Api();
  isc_tr_handle& trans = FConnection.Transaction();
  try {
    BindParams(binds);
    TStatus status;
    const XSQLDA* in = FIn.Count() > 0 ? FIn.Get() : nullptr;
    if (FType == isc_info_sql_stmt_select || FType == isc_info_sql_stmt_select_for_upd) {
      if (api.dsql_execute(status, &trans, &FHandle, SQLDA_VERSION1, in)) {
        FConnection.Fail(status);
      }
      FCursorOpen = true;
      FHasResult = true;
      FTransactionGeneration = FConnection.Generation();
      FConnection.CursorOpened();
      FRowsAffected = 0;
      return;
    }
    const bool singleton = FOut.Count() > 0;  // EXECUTE PROCEDURE with outputs
    if (api.dsql_execute2(status, &trans, &FHandle, SQLDA_VERSION1, in,
                          singleton ? FOut.Get() : nullptr)) {
      FConnection.Fail(status);
    }
    FRowsAffected = ReadRowsAffected();
    if (singleton) {
      FHasResult = true;
      FSingletonPending = true;
      ReadRow();
    }
    FConnection.Release();
  } catch (...) {
    FConnection.ReleaseAfterFailure();
    throw;
  }
}

bool TFirebirdStatement::Fetch() {
  if (FSingletonPending) {
    FSingletonPending = false;
    return true;
  }
  if (!FCursorOpen) return false;
  if (FTransactionGeneration != FConnection.Generation()) {
    // The transaction the cursor lived in has ended.
    FCursorOpen = false;
    return false;
  }
  TStatus status;
  const ISC_STATUS rc = FConnection.Api().dsql_fetch(status, &FHandle, SQLDA_VERSION1, FOut.Get());
  if (rc == 100) {
    CloseCursor();
    FHasResult = true;  // the columns stay described after the last row
    return false;
  }
  if (rc != 0) {
    const std::string message = FConnection.Message(status);
    CloseCursor();
    throw EDatabaseError(message);
  }
  ReadRow();
  return true;
}

std::int64_t TFirebirdStatement::ReadRowsAffected() {
  static const char kItems[] = {isc_info_sql_records};
  char buffer[64];
  TStatus status;
  if (FConnection.Api().dsql_sql_info(status, &FHandle, sizeof kItems, kItems, sizeof buffer,
                                      buffer)) {
    return -1;
  }
  if (buffer[0] != isc_info_sql_records) return -1;
  const auto& api = FConnection.Api();
  std::int64_t total = 0;
  const char* p = buffer + 3;
  const char* end = buffer + sizeof buffer;
  while (p < end && *p != isc_info_end) {
    const char item = *p++;
    const short length = static_cast<short>(api.vax_integer(p, 2));
    p += 2;
    const ISC_LONG count = api.vax_integer(p, length);
    p += length;
    if (item == isc_info_req_insert_count || item == isc_info_req_update_count ||
        item == isc_info_req_delete_count) {
      total += count;
    }
  }
  return total;
}

void TFirebirdStatement::BindParams(std::span<const TPhysBind> binds) {
  const int count = FIn.Count();
  FInBuffers.assign(count, {});
  FInNulls.assign(count, 0);
  for (int i = 0; i < count; ++i) BindOne(i, binds[i]);
}

// The value goes in the form of the parameter's data type and the server
// converts it to the column's; a NULL keeps the described type.
void TFirebirdStatement::BindOne(int index, const TPhysBind& bind) {
  XSQLVAR& v = FIn.Var(index);
  auto& buffer = FInBuffers[index];
  v.sqlind = &FInNulls[index];
  const TVariant& value = *bind.Value;
  auto storage = [&](std::size_t bytes) {
    buffer.assign(bytes / sizeof(std::int64_t) + 1, 0);
    v.sqldata = reinterpret_cast<ISC_SCHAR*>(buffer.data());
    return reinterpret_cast<char*>(buffer.data());
  };
  if (memtable::VarIsNull(value)) {
    FInNulls[index] = -1;
    v.sqltype = static_cast<ISC_SHORT>(v.sqltype | 1);
    storage(static_cast<std::size_t>(v.sqllen) + 2);
    return;
  }
  FInNulls[index] = 0;
  const short described = static_cast<short>(v.sqltype & ~1);
  auto setType = [&](short type, short length, short scale = 0, short subtype = 0) {
    v.sqltype = static_cast<ISC_SHORT>(type | 1);
    v.sqllen = length;
    v.sqlscale = scale;
    v.sqlsubtype = subtype;
  };
  auto bindBytes = [&](const std::string_view bytes, short charset) {
    if (bytes.size() > kMaxVarying) {
      throw EDatabaseError(FirebirdClientMessage(
          FConnection.DriverID(), "Value of parameter [" + std::string(bind.Name) +
                                      "] is too long (" + std::to_string(bytes.size()) +
                                      " bytes)"));
    }
    setType(SQL_VARYING, static_cast<short>(bytes.size()), 0, charset);
    char* data = storage(bytes.size() + 2);
    const auto length = static_cast<std::uint16_t>(bytes.size());
    std::memcpy(data, &length, 2);
    std::memcpy(data + 2, bytes.data(), bytes.size());
  };
  using enum TFieldType;
  const TFieldType type = bind.DataType;
  const bool binary = type == ftBytes || type == ftVarBytes || type == ftBlob ||
                      type == ftGraphic || type == ftTypedBinary || type == ftOraBlob ||
                      type == ftStream;
  if (described == SQL_BLOB) {
    // Blob parameters receive a blob written in the statement's transaction.
    const TBytes bytes = VariantToBytes(binary ? value : TVariant(VariantToText(value)));
    const TFirebirdApi& api = FConnection.Api();
    TStatus status;
    isc_blob_handle blob = 0;
    ISC_QUAD id{};
    if (api.create_blob2(status, &FConnection.Db(), &FConnection.Transaction(), &blob, &id, 0,
                         nullptr)) {
      FConnection.Fail(status);
    }
    for (std::size_t offset = 0; offset < bytes.size(); offset += kBlobSegment) {
      const std::size_t n = std::min(kBlobSegment, bytes.size() - offset);
      if (api.put_segment(status, &blob, static_cast<unsigned short>(n),
                          reinterpret_cast<const char*>(bytes.data() + offset))) {
        const std::string message = FConnection.Message(status);
        TStatus ignored;
        api.close_blob(ignored, &blob);
        throw EDatabaseError(message);
      }
    }
    if (api.close_blob(status, &blob)) FConnection.Fail(status);
    v.sqltype = SQL_BLOB | 1;
    std::memcpy(storage(sizeof id), &id, sizeof id);
    return;
  }
  switch (type) {
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftLargeint:
    case ftShortint:
    case ftByte:
    case ftLongWord: {
      if (const auto* u = std::get_if<std::uint64_t>(&value);
          u != nullptr && *u > static_cast<std::uint64_t>(INT64_MAX)) {
        bindBytes(std::to_string(*u), kCharsetUtf8);
        return;
      }
      setType(SQL_INT64, 8);
      const std::int64_t n = VariantToInt64(value);
      std::memcpy(storage(8), &n, 8);
      return;
    }
    case ftBoolean: {
      const bool b = VariantToInt64(value) != 0;
      if (described == SQL_BOOLEAN) {
        setType(SQL_BOOLEAN, 1);
        *storage(1) = b ? 1 : 0;
      } else {
        setType(SQL_INT64, 8);
        const std::int64_t n = b ? 1 : 0;
        std::memcpy(storage(8), &n, 8);
      }
      return;
    }
    case ftFloat:
    case ftSingle:
    case ftExtended: {
      setType(SQL_DOUBLE, 8);
      const double d = VariantToDouble(value);
      std::memcpy(storage(8), &d, 8);
      return;
    }
    case ftDate: {
      setType(SQL_TYPE_DATE, sizeof(ISC_DATE));
      const ISC_DATE d = ToIscDate(VariantToTimeStamp(value));
      std::memcpy(storage(sizeof d), &d, sizeof d);
      return;
    }
    case ftTime: {
      setType(SQL_TYPE_TIME, sizeof(ISC_TIME));
      const ISC_TIME t = ToIscTime(VariantToTimeStamp(value));
      std::memcpy(storage(sizeof t), &t, sizeof t);
      return;
    }
    case ftDateTime:
    case ftTimeStamp:
    case ftOraTimeStamp: {
      setType(SQL_TIMESTAMP, sizeof(ISC_TIMESTAMP));
      const TSQLTimeStamp ts = VariantToTimeStamp(value);
      const ISC_TIMESTAMP t{ToIscDate(ts), ToIscTime(ts)};
      std::memcpy(storage(sizeof t), &t, sizeof t);
      return;
    }
    default:
      break;
  }
  if (binary) {
    const TBytes bytes = VariantToBytes(value);
    bindBytes(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
              kCharsetOctets);
  } else {
    // Text, exact decimals (as their decimal text) and everything else.
    bindBytes(VariantToText(value), kCharsetUtf8);
  }
}

void TFirebirdStatement::ReadRow() {
  const int count = FOut.Count();
  FRow.assign(count, TVariant{});
  const TFirebirdApi& api = FConnection.Api();
  for (int i = 0; i < count; ++i) {
    const XSQLVAR& v = FOut.Var(i);
    if ((v.sqltype & 1) != 0 && *v.sqlind == -1) continue;
    const char* data = v.sqldata;
    switch (v.sqltype & ~1) {
      case SQL_TEXT: {
        std::string s(data, static_cast<std::size_t>(v.sqllen));
        if ((v.sqlsubtype & 0xFF) == kCharsetOctets) {
          FRow[i] = TBytes(s.begin(), s.end());
        } else {
          // Fixed-length text comes padded to the byte length; drop the pad.
          s.erase(s.find_last_not_of(' ') + 1);
          FRow[i] = std::move(s);
        }
        break;
      }
      case SQL_VARYING: {
        std::uint16_t length;
        std::memcpy(&length, data, 2);
        if ((v.sqlsubtype & 0xFF) == kCharsetOctets) {
          FRow[i] = TBytes(data + 2, data + 2 + length);
        } else {
          FRow[i] = std::string(data + 2, length);
        }
        break;
      }
      case SQL_SHORT: {
        std::int16_t n;
        std::memcpy(&n, data, 2);
        FRow[i] = v.sqlscale == 0 ? TVariant(n) : ScaledValue(n, v.sqlscale);
        break;
      }
      case SQL_LONG: {
        std::int32_t n;
        std::memcpy(&n, data, 4);
        FRow[i] = v.sqlscale == 0 ? TVariant(n) : ScaledValue(n, v.sqlscale);
        break;
      }
      case SQL_INT64: {
        std::int64_t n;
        std::memcpy(&n, data, 8);
        FRow[i] = v.sqlscale == 0 ? TVariant(n) : ScaledValue(n, v.sqlscale);
        break;
      }
      case SQL_FLOAT: {
        float f;
        std::memcpy(&f, data, 4);
        FRow[i] = static_cast<double>(f);
        break;
      }
      case SQL_DOUBLE:
      case SQL_D_FLOAT: {
        double d;
        std::memcpy(&d, data, 8);
        FRow[i] = d;
        break;
      }
      case SQL_BOOLEAN:
        FRow[i] = *data != 0;
        break;
      case SQL_TYPE_DATE: {
        ISC_DATE d;
        std::memcpy(&d, data, sizeof d);
        TSQLTimeStamp ts{};
        FromIscDate(d, ts);
        FRow[i] = ts;
        break;
      }
      case SQL_TYPE_TIME: {
        ISC_TIME t;
        std::memcpy(&t, data, sizeof t);
        TSQLTimeStamp ts{};
        FromIscTime(t, ts);
        FRow[i] = ts;
        break;
      }
      case SQL_TIMESTAMP: {
        ISC_TIMESTAMP t;
        std::memcpy(&t, data, sizeof t);
        TSQLTimeStamp ts{};
        FromIscDate(t.timestamp_date, ts);
        FromIscTime(t.timestamp_time, ts);
        FRow[i] = ts;
        break;
      }
      case SQL_BLOB: {
        ISC_QUAD id;
        std::memcpy(&id, data, sizeof id);
        TStatus status;
        isc_blob_handle blob = 0;
        if (api.open_blob2(status, &FConnection.Db(), &FConnection.Transaction(), &blob, &id, 0,
                           nullptr)) {
          FConnection.Fail(status);
        }
        std::string content;
        char segment[kBlobSegment];
        for (;;) {
          unsigned short got = 0;
          const ISC_STATUS rc = api.get_segment(status, &blob, &got, sizeof segment - 1, segment);
          if (rc != 0 && rc != isc_segment) {
            if (rc == isc_segstr_eof) break;
            const std::string message = FConnection.Message(status);
            TStatus ignored;
            api.close_blob(ignored, &blob);
            throw EDatabaseError(message);
          }
          content.append(segment, got);
        }
        api.close_blob(status, &blob);
        if (v.sqlsubtype == kBlobSubtypeText) {
          FRow[i] = std::move(content);
        } else {
          FRow[i] = TBytes(content.begin(), content.end());
        }
        break;
      }
      default:
        break;  // array and other types read as NULL
    }
  }
}

class TFirebirdDriver final : public TPhysDriver {
 public:
  TFirebirdDriver(std::string driverId, std::shared_ptr<TVendorLibrary> library)
      : FDriverID(std::move(driverId)), FLibrary(std::move(library)) {
    TEntryPoints ep(*FLibrary);
    ep(FApi.attach_database, "isc_attach_database");
    ep(FApi.detach_database, "isc_detach_database");
    ep(FApi.start_transaction, "isc_start_transaction");
    ep(FApi.commit_transaction, "isc_commit_transaction");
    ep(FApi.rollback_transaction, "isc_rollback_transaction");
    ep(FApi.dsql_allocate_statement, "isc_dsql_allocate_statement");
    ep(FApi.dsql_prepare, "isc_dsql_prepare");
    ep(FApi.dsql_describe, "isc_dsql_describe");
    ep(FApi.dsql_describe_bind, "isc_dsql_describe_bind");
    ep(FApi.dsql_execute, "isc_dsql_execute");
    ep(FApi.dsql_execute2, "isc_dsql_execute2");
    ep(FApi.dsql_fetch, "isc_dsql_fetch");
    ep(FApi.dsql_free_statement, "isc_dsql_free_statement");
    ep(FApi.dsql_sql_info, "isc_dsql_sql_info");
    ep(FApi.create_blob2, "isc_create_blob2");
    ep(FApi.open_blob2, "isc_open_blob2");
    ep(FApi.get_segment, "isc_get_segment");
    ep(FApi.put_segment, "isc_put_segment");
    ep(FApi.close_blob, "isc_close_blob");
    ep(FApi.vax_integer, "isc_vax_integer");
    ep.Optional(FApi.interpret, "fb_interpret");
    ep.Optional(FApi.shutdown, "fb_shutdown");
    FApi.get_master_interface = FLibrary->Symbol("fb_get_master_interface");
    if (FApi.interpret == nullptr) ep(FApi.interprete_old, "isc_interprete");
    ep.Check();
    gProgramSignals.Restore();
  }

  decltype(&::fb_shutdown) Shutdown() const { return FApi.shutdown; }
  std::string_view DriverID() const override { return FDriverID; }
  std::string Placeholder(int) const override { return "?"; }
  bool ChecksUntypedParams() const override { return false; }

  std::unique_ptr<TPhysConnection> Connect(const TDbDefinition& definition) override {
    std::string dpb(1, static_cast<char>(isc_dpb_version1));
    auto add = [&](char item, const std::string& value) {
      if (value.empty()) return;
      if (value.size() > 255) {
        throw EDatabaseError(FirebirdClientMessage(FDriverID, "Connection setting is too long"));
      }
      dpb += item;
      dpb += static_cast<char>(value.size());
      dpb += value;
    };
    add(isc_dpb_user_name, definition.UserName());
    add(isc_dpb_password, definition.Password());
    add(isc_dpb_lc_ctype, kFirebirdConnectionCharset);
    // Bounds on waiting for the server (db_timeouts.h): connecting, and a
    // probe of a server that has been silent for a while, so that a gone
    // host ends in a read error instead of an endless wait.
    const TDbTimeouts timeouts = DbTimeouts();
    dpb += static_cast<char>(isc_dpb_connect_timeout);
    dpb += static_cast<char>(4);
    const auto seconds = static_cast<std::uint32_t>(timeouts.Connect.count());
    for (int shift = 0; shift < 32; shift += 8) dpb += static_cast<char>(seconds >> shift & 0xFF);
    if (FApi.get_master_interface != nullptr) {
      add(isc_dpb_config, "DummyPacketInterval=" + std::to_string(timeouts.KeepAliveIdle.count()));
    }
    const std::string database = FirebirdDatabaseString(definition);
    TStatus status;
    isc_db_handle db = 0;
    const ISC_STATUS failed =
        FApi.attach_database(status, static_cast<short>(database.size()), database.c_str(), &db,
                             static_cast<short>(dpb.size()), dpb.data());
    gProgramSignals.Restore();
    if (failed) {
      throw EDatabaseError(FirebirdClientMessage(FDriverID, StatusText(FApi, status)));
    }
    return std::make_unique<TFirebirdConnection>(FApi, FDriverID, db);
  }

 private:
  std::string FDriverID;
  std::shared_ptr<TVendorLibrary> FLibrary;
  TFirebirdApi FApi;
};

// The clients' shutdown entry points, run once at process exit: the client
// keeps worker threads that would otherwise still run while the process
// tears down.
std::mutex gShutdownMutex;
std::vector<decltype(&::fb_shutdown)> gShutdowns;

void ShutdownClients() {
  std::lock_guard lock(gShutdownMutex);
  for (const auto shutdown : gShutdowns) shutdown(kShutdownTimeoutMs, fb_shutrsn_exit_called);
  gShutdowns.clear();
}

void ShutdownAtExit(decltype(&::fb_shutdown) shutdown) {
  if (shutdown == nullptr) return;
  std::lock_guard lock(gShutdownMutex);
  if (gShutdowns.empty()) std::atexit(ShutdownClients);
  gShutdowns.push_back(shutdown);
}

}  // namespace

std::string FirebirdDatabaseString(const TDbDefinition& definition) {
  if (!definition.Has("Server")) return definition.Database();
  std::string text = definition.Server();
  if (definition.Has("Port")) text += "/" + definition.Port();
  return text + ":" + definition.Database();
}

std::string FirebirdClientMessage(std::string_view driverId, std::string_view text) {
  return ClientMessage({"Phys", driverId}, "", text);
}

std::unique_ptr<TPhysDriver> CreateDriverFB(const std::string& vendorLib) {
  auto driver = std::make_unique<TFirebirdDriver>(
      "FB",
      LoadVendorLibrary("FB", VendorLibNames(vendorLib, {"libfbclient.so.2", "libfbclient.so"})));
  ShutdownAtExit(driver->Shutdown());
  return driver;
}

std::unique_ptr<TPhysDriver> CreateDriverIB(const std::string& vendorLib) {
  auto driver = std::make_unique<TFirebirdDriver>(
      "IB", LoadVendorLibrary("IB", VendorLibNames(vendorLib, {"libgds.so", "libibtogo.so"})));
  ShutdownAtExit(driver->Shutdown());
  return driver;
}

}  // namespace tandemize::dbaccess::phys
