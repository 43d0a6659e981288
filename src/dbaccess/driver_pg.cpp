// The PG kind: the PostgreSQL client library loaded at run time. Parameters
// go as text (binary for byte arrays) with their types left to the server,
// which infers them from where "$n" stands; results come back as text and
// are read by their column types.

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "dbaccess/internal/client_library.h"
#include "dbaccess/internal/db_timeouts.h"
#include "dbaccess/internal/driver_pg.h"
#include "dbaccess/internal/phys_batch.h"
#include "dbaccess/internal/phys_values.h"
#include "text/case_fold.h"

namespace tandemize::dbaccess::phys {
namespace {

// Column type identifiers of the server's built-in types.
enum : Oid {
  kOidBool = 16,
  kOidBytea = 17,
  kOidInt8 = 20,
  kOidInt2 = 21,
  kOidInt4 = 23,
  kOidOid = 26,
  kOidFloat4 = 700,
  kOidFloat8 = 701,
  kOidDate = 1082,
  kOidTime = 1083,
  kOidTimestamp = 1114,
  kOidTimestampTz = 1184,
  kOidNumeric = 1700
};

// Set by tests (TScopedPgWithoutPipeline): the loaded client counts as one
// without pipeline mode.
std::atomic<bool> gPipelineHidden{false};

struct TPqApi {
  std::shared_ptr<TVendorLibrary> Library;
  PGconn* (*PQconnectdb)(const char*);
  PQconninfoOption* (*PQconndefaults)();
  void (*PQconninfoFree)(PQconninfoOption*);
  ConnStatusType (*PQstatus)(const PGconn*);
  char* (*PQerrorMessage)(const PGconn*);
  void (*PQfinish)(PGconn*);
  int (*PQsetClientEncoding)(PGconn*, const char*);
  PQnoticeProcessor (*PQsetNoticeProcessor)(PGconn*, PQnoticeProcessor, void*);
  PGresult* (*PQexec)(PGconn*, const char*);
  PGresult* (*PQprepare)(PGconn*, const char*, const char*, int, const Oid*);
  PGresult* (*PQexecPrepared)(PGconn*, const char*, int, const char* const*, const int*, const int*,
                              int);
  ExecStatusType (*PQresultStatus)(const PGresult*);
  char* (*PQresultErrorMessage)(const PGresult*);
  void (*PQclear)(PGresult*);
  int (*PQntuples)(const PGresult*);
  int (*PQnfields)(const PGresult*);
  char* (*PQfname)(const PGresult*, int);
  Oid (*PQftype)(const PGresult*, int);
  int (*PQgetisnull)(const PGresult*, int, int);
  char* (*PQgetvalue)(const PGresult*, int, int);
  int (*PQgetlength)(const PGresult*, int, int);
  char* (*PQcmdTuples)(PGresult*);
  char* (*PQcmdStatus)(PGresult*);
  // Sending without waiting (clients of version 14 and later); null when
  // the loaded client has no pipeline mode.
  int (*PQsendQueryPrepared)(PGconn*, const char*, int, const char* const*, const int*, const int*,
                             int);
  int (*PQenterPipelineMode)(PGconn*);
  int (*PQexitPipelineMode)(PGconn*);
  int (*PQpipelineSync)(PGconn*);
  int (*PQsetnonblocking)(PGconn*, int);
  int (*PQflush)(PGconn*);
  int (*PQconsumeInput)(PGconn*);
  int (*PQisBusy)(PGconn*);
  PGresult* (*PQgetResult)(PGconn*);
  int (*PQsocket)(const PGconn*);
  int (*PQputCopyData)(PGconn*, const char*, int);
  int (*PQputCopyEnd)(PGconn*, const char*);
  bool CanPipeline() const {
    if (gPipelineHidden.load()) return false;
    return PQsendQueryPrepared != nullptr && PQenterPipelineMode != nullptr &&
           PQexitPipelineMode != nullptr && PQpipelineSync != nullptr &&
           PQsetnonblocking != nullptr && PQflush != nullptr && PQconsumeInput != nullptr &&
           PQisBusy != nullptr && PQgetResult != nullptr && PQsocket != nullptr &&
           PQputCopyData != nullptr && PQputCopyEnd != nullptr;
  }
};

// The server's or client's text without its leading severity word and colon,
// and without trailing line breaks.
std::string CleanMessage(std::string_view text) {
  std::string message(text);
  for (const std::string_view severity : {"ERROR:", "FATAL:"}) {
    const std::size_t at = message.find(severity);
    if (at != std::string::npos &&
        (at == 0 || (at >= 2 && message.compare(at - 2, 2, ": ") == 0))) {
      std::size_t end = at + severity.size();
      while (end < message.size() && message[end] == ' ') ++end;
      message.erase(at, end - at);
      break;
    }
  }
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  return message;
}

[[noreturn]] void Fail(std::string_view text) {
  throw memtable::EDatabaseError(ClientMessage({"Phys", "PG", "libpq"}, " ", CleanMessage(text)));
}

// Four dot-separated numbers, each below 256.
bool IsDottedIPv4(std::string_view host) {
  int parts = 0;
  std::size_t pos = 0;
  while (true) {
    std::size_t end = host.find('.', pos);
    const std::string_view part =
        host.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    unsigned value = 0;
    const auto parsed = std::from_chars(part.data(), part.data() + part.size(), value);
    if (part.empty() || parsed.ec != std::errc() || parsed.ptr != part.data() + part.size() ||
        value > 255) {
      return false;
    }
    ++parts;
    if (end == std::string_view::npos) break;
    pos = end + 1;
  }
  return parts == 4;
}

// key='value' with quotes and backslashes escaped.
void AddPair(std::string& conninfo, std::string_view key, std::string_view value) {
  if (!conninfo.empty()) conninfo += ' ';
  conninfo += key;
  conninfo += "='";
  for (const char c : value) {
    if (c == '\'' || c == '\\') conninfo += '\\';
    conninfo += c;
  }
  conninfo += '\'';
}

// The client's bounds on waiting for the server (db_timeouts.h). A keyword
// that the loaded client does not know is left out instead of failing every
// connection: tcp_user_timeout came with version 12 of the client.
void AddTimeouts(std::string& conninfo, const std::vector<std::string>& known) {
  const TDbTimeouts t = DbTimeouts();
  const std::pair<const char*, std::int64_t> pairs[] = {
      {"connect_timeout", t.Connect.count()},
      {"keepalives", 1},
      {"keepalives_idle", t.KeepAliveIdle.count()},
      {"keepalives_interval", t.KeepAliveInterval.count()},
      {"keepalives_count", t.KeepAliveCount},
      {"tcp_user_timeout", std::chrono::milliseconds(t.Unacknowledged).count()},
  };
  for (const auto& [keyword, value] : pairs) {
    if (std::find(known.begin(), known.end(), keyword) != known.end()) {
      AddPair(conninfo, keyword, std::to_string(value));
    }
  }
}

std::string DecodeHexBytea(std::string_view text, memtable::TBytes& out) {
  out.clear();
  if (text.size() < 2 || text[0] != '\\' || text[1] != 'x') return "unexpected bytea format";
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  out.reserve((text.size() - 2) / 2);
  for (std::size_t i = 2; i + 1 < text.size(); i += 2) {
    const int high = nibble(text[i]), low = nibble(text[i + 1]);
    if (high < 0 || low < 0) return "unexpected bytea format";
    out.push_back(static_cast<std::uint8_t>(high << 4 | low));
  }
  return {};
}

// One parameter as the client sends it: text, or bytes when Format is 1.
// Text and bytes that the value holds are sent from the value itself; other
// values are written into the caller's `text`. Data is null for NULL.
struct TPgValue {
  const char* Data = nullptr;
  int Length = 0;
  int Format = 0;
};

TPgValue PgValue(const TPhysBind& bind, std::string& text) {
  const TVariant& value = *bind.Value;
  if (memtable::VarIsNull(value)) return {};
  switch (BindKindOf(bind.DataType)) {
    case TBindKind::Boolean:
      text = VariantToInt64(value) != 0 ? "1" : "0";
      break;
    case TBindKind::Integer:
      text = std::holds_alternative<std::uint64_t>(value)
                 ? std::to_string(std::get<std::uint64_t>(value))
                 : std::to_string(VariantToInt64(value));
      break;
    case TBindKind::Float: {
      text = VariantToText(value);
      if (text == "inf") text = "Infinity";
      if (text == "-inf") text = "-Infinity";
      if (text == "nan" || text == "-nan") text = "NaN";
      break;
    }
    case TBindKind::Date:
      text = TimeStampToText(VariantToTimeStamp(value));
      text.resize(10);
      break;
    case TBindKind::Time:
      text = TimeStampToText(VariantToTimeStamp(value)).substr(11);
      break;
    case TBindKind::DateTime:
      text = TimeStampToText(VariantToTimeStamp(value));
      break;
    case TBindKind::Blob: {
      if (const auto* bytes = std::get_if<memtable::TBytes>(&value)) {
        return {reinterpret_cast<const char*>(bytes->data()), static_cast<int>(bytes->size()), 1};
      }
      const memtable::TBytes bytes = VariantToBytes(value);
      text.assign(bytes.begin(), bytes.end());
      return {text.c_str(), static_cast<int>(text.size()), 1};
    }
    default:
      if (const auto* held = std::get_if<std::string>(&value)) {
        return {held->c_str(), static_cast<int>(held->size()), 0};
      }
      text = VariantToText(value);
      break;
  }
  return {text.c_str(), static_cast<int>(text.size()), 0};
}

// Appends a value in the text form of COPY: \N for NULL, the value's text
// with backslash, tab, line feed and carriage return escaped; bytes in the
// server's hex form.
void AppendCopyText(std::string& out, const TPhysBind& bind, std::string& scratch) {
  const TPgValue value = PgValue(bind, scratch);
  if (value.Data == nullptr) {
    out += "\\N";
    return;
  }
  if (value.Format == 1) {
    static constexpr char kHex[] = "0123456789abcdef";
    const std::size_t at = out.size();
    out.resize(at + 3 + 2 * static_cast<std::size_t>(value.Length));
    char* p = out.data() + at;
    *p++ = '\\';
    *p++ = '\\';
    *p++ = 'x';
    for (int i = 0; i < value.Length; ++i) {
      const auto byte = static_cast<unsigned char>(value.Data[i]);
      *p++ = kHex[byte >> 4];
      *p++ = kHex[byte & 15];
    }
    return;
  }
  const char* from = value.Data;
  const char* const end = value.Data + value.Length;
  for (const char* p = from; p != end; ++p) {
    const char c = *p;
    if (c != '\\' && c != '\t' && c != '\n' && c != '\r') continue;
    out.append(from, p);
    out += '\\';
    out += c == '\t' ? 't' : c == '\n' ? 'n' : c == '\r' ? 'r' : '\\';
    from = p + 1;
  }
  out.append(from, end);
}

class TPgStatement final : public TPhysStatement {
 public:
  TPgStatement(const TPqApi& api, PGconn* conn, std::string name)
      : FApi(api), FConn(conn), FName(std::move(name)) {}
  ~TPgStatement() override { CloseCursor(); }

  void Execute(std::span<const TPhysBind> binds) override {
    CloseCursor();
    Bind(binds);
    RunPrepared(static_cast<int>(binds.size()));
    FRow = -1;
  }

  // Fills the parameter arrays that PQexecPrepared and PQsendQueryPrepared
  // take. The arrays live with the statement, so a run allocates nothing
  // once the texts have grown to their sizes.
  void Bind(std::span<const TPhysBind> binds) {
    FTexts.resize(binds.size());
    FValues.assign(binds.size(), nullptr);
    FLengths.assign(binds.size(), 0);
    FFormats.assign(binds.size(), 0);
    for (std::size_t i = 0; i < binds.size(); ++i) {
      const TPgValue value = PgValue(binds[i], FTexts[i]);
      FValues[i] = value.Data;
      FLengths[i] = value.Length;
      FFormats[i] = value.Format;
    }
  }

  // Runs the statement with the first `aCount` parameters of the arrays and
  // waits for its answer; a failure closes the cursor and raises the
  // server's message.
  void RunPrepared(int aCount) {
    FResult = FApi.PQexecPrepared(FConn, FName.c_str(), aCount, FValues.data(), FLengths.data(),
                                  FFormats.data(), 0);
    const ExecStatusType status =
        FResult != nullptr ? FApi.PQresultStatus(FResult) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      const std::string message =
          FResult != nullptr ? FApi.PQresultErrorMessage(FResult) : FApi.PQerrorMessage(FConn);
      CloseCursor();
      Fail(message);
    }
  }

  // Sends a run without waiting for its answer (pipeline mode).
  bool Send(std::span<const TPhysBind> binds) {
    Bind(binds);
    return FApi.PQsendQueryPrepared(FConn, FName.c_str(), static_cast<int>(binds.size()),
                                    FValues.data(), FLengths.data(), FFormats.data(), 0) == 1;
  }

  bool Fetch() override {
    if (FResult == nullptr || FApi.PQnfields(FResult) == 0) return false;
    if (FRow + 1 >= FApi.PQntuples(FResult)) {
      FRow = FApi.PQntuples(FResult);
      return false;
    }
    ++FRow;
    return true;
  }

  int ColumnCount() const override { return FResult != nullptr ? FApi.PQnfields(FResult) : 0; }
  std::string ColumnName(int index) const override { return FApi.PQfname(FResult, index); }

  TVariant ColumnValue(int index) const override {
    if (FResult == nullptr || FRow < 0 || FRow >= FApi.PQntuples(FResult) ||
        FApi.PQgetisnull(FResult, FRow, index)) {
      return TVariant{};
    }
    const std::string_view text(FApi.PQgetvalue(FResult, FRow, index),
                                static_cast<std::size_t>(FApi.PQgetlength(FResult, FRow, index)));
    auto integer = [&]() -> TVariant {
      std::int64_t value = 0;
      std::from_chars(text.data(), text.data() + text.size(), value);
      return value;
    };
    switch (FApi.PQftype(FResult, index)) {
      case kOidBool:
        return text == "t";
      case kOidInt2:
        return static_cast<std::int16_t>(std::get<std::int64_t>(integer()));
      case kOidInt4:
        return static_cast<std::int32_t>(std::get<std::int64_t>(integer()));
      case kOidInt8:
      case kOidOid:
        return integer();
      case kOidFloat4:
      case kOidFloat8: {
        const std::string copy(text);
        return std::strtod(copy.c_str(), nullptr);
      }
      case kOidNumeric: {
        memtable::TBcd bcd;
        if (TextToBcd(text, bcd)) return bcd;
        return std::string(text);
      }
      case kOidBytea: {
        memtable::TBytes bytes;
        if (const std::string error = DecodeHexBytea(text, bytes); !error.empty()) Fail(error);
        return bytes;
      }
      case kOidDate:
      case kOidTime:
      case kOidTimestamp:
      case kOidTimestampTz: {
        memtable::TSQLTimeStamp ts;
        if (TextToTimeStamp(text, ts)) return ts;
        return std::string(text);
      }
      default:
        return std::string(text);
    }
  }

  std::int64_t RowsAffected() const override {
    if (FResult == nullptr) return -1;
    const char* tuples = FApi.PQcmdTuples(FResult);
    if (tuples == nullptr || *tuples == '\0') return -1;
    return std::strtoll(tuples, nullptr, 10);
  }

  void CloseCursor() override {
    if (FResult != nullptr) FApi.PQclear(FResult);
    FResult = nullptr;
    FRow = -1;
  }

 private:
  const TPqApi& FApi;
  PGconn* FConn;
  std::string FName;
  PGresult* FResult = nullptr;
  int FRow = -1;
  // One run's parameters, as PQexecPrepared takes them.
  std::vector<std::string> FTexts;
  std::vector<const char*> FValues;
  std::vector<int> FLengths;
  std::vector<int> FFormats;
};

class TPgConnection final : public TPhysConnection, public TPhysBatching {
 public:
  TPgConnection(const TPqApi& api, const std::vector<std::string>& keywords,
                const TDbDefinition& definition)
      : FApi(api) {
    std::string conninfo;
    const std::string& server = definition.Server();
    if (!server.empty()) AddPair(conninfo, IsDottedIPv4(server) ? "hostaddr" : "host", server);
    if (!definition.Port().empty()) AddPair(conninfo, "port", definition.Port());
    AddPair(conninfo, "dbname",
            definition.Database().empty() ? std::string("postgres") : definition.Database());
    if (!definition.UserName().empty()) AddPair(conninfo, "user", definition.UserName());
    if (!definition.Password().empty()) AddPair(conninfo, "password", definition.Password());
    AddTimeouts(conninfo, keywords);
    FConn = FApi.PQconnectdb(conninfo.c_str());
    if (FConn == nullptr) Fail("out of memory");
    if (FApi.PQstatus(FConn) != CONNECTION_OK) {
      const std::string message = FApi.PQerrorMessage(FConn);
      FApi.PQfinish(FConn);
      Fail(message);
    }
    // The client would print the server's notices on stderr; the service
    // writes nothing to the console but its banner.
    FApi.PQsetNoticeProcessor(
        FConn, [](void*, const char*) {}, nullptr);
    // Text inside the program is UTF-8 and is exchanged as such whatever
    // CharacterSet names; the server converts to the database's encoding.
    // A CharacterSet that is not a UTF-8 name would make the server read our
    // UTF-8 bytes in another code page and store wrong characters.
    const std::string& charset = definition.CharacterSet();
    const std::string encoding = IsUtf8Name(charset) ? charset : std::string("UTF8");
    if (FApi.PQsetClientEncoding(FConn, encoding.c_str()) != 0) {
      const std::string message = FApi.PQerrorMessage(FConn);
      FApi.PQfinish(FConn);
      Fail(message);
    }
  }
  ~TPgConnection() override { FApi.PQfinish(FConn); }

  void StartTransaction() override { Exec("BEGIN"); }
  void Commit() override {
    // COMMIT of a transaction that a failed statement aborted answers
    // "ROLLBACK" without an error: report it as the failure it is.
    if (Exec("COMMIT") == "ROLLBACK") {
      Fail("the transaction was aborted by an earlier error and has been rolled back");
    }
  }
  void Rollback() override { Exec("ROLLBACK"); }

  std::unique_ptr<TPhysStatement> Prepare(const std::string& sql, int placeholderCount) override {
    std::string name = "tz" + std::to_string(++FStatementCount);
    PGresult* result = FApi.PQprepare(FConn, name.c_str(), sql.c_str(), placeholderCount, nullptr);
    CheckCommand(result);
    return std::make_unique<TPgStatement>(FApi, FConn, std::move(name));
  }

  bool CanBatch() const override { return FApi.CanPipeline(); }

  void RunBatch(std::span<const TPhysRun> runs, std::span<std::int64_t> counts) override {
    TPipeline pipeline(FApi, FConn);
    for (const TPhysRun& run : runs) {
      if (!static_cast<TPgStatement*>(run.Statement)->Send(run.Binds)) FailConnection();
    }
    if (FApi.PQpipelineSync(FConn) != 1) FailConnection();
    std::fill(counts.begin(), counts.end(), 0);
    // The answers come in the order of the runs: each run's result, then a
    // null; after the last run, the answer to the sync. A run that fails
    // makes the server skip the ones after it up to the sync.
    std::size_t index = 0;
    std::size_t failedIndex = 0;
    std::string failure;
    while (true) {
      const int flushed = FApi.PQflush(FConn);
      if (flushed < 0) FailConnection();
      while (FApi.PQisBusy(FConn) == 0) {
        PGresult* result = FApi.PQgetResult(FConn);
        if (result == nullptr) {
          // A client that lost the connection may answer null again and
          // again: never more of them than there are runs.
          if (++index > runs.size()) FailConnection();
          continue;
        }
        const ExecStatusType status = FApi.PQresultStatus(result);
        if (status == PGRES_PIPELINE_SYNC) {
          FApi.PQclear(result);
          if (!failure.empty()) {
            throw EBatchRunFailed(
                failedIndex, ClientMessage({"Phys", "PG", "libpq"}, " ", CleanMessage(failure)));
          }
          return;
        }
        if (index < counts.size()) {
          if (status == PGRES_TUPLES_OK) {
            counts[index] = FApi.PQntuples(result);
          } else if (status == PGRES_COMMAND_OK) {
            const char* tuples = FApi.PQcmdTuples(result);
            counts[index] = tuples != nullptr ? std::strtoll(tuples, nullptr, 10) : 0;
          } else if (status != PGRES_PIPELINE_ABORTED && failure.empty()) {
            failedIndex = index;
            failure = FApi.PQresultErrorMessage(result);
            if (failure.empty()) failure = "the statement failed";
          }
        }
        FApi.PQclear(result);
        if (status == PGRES_FATAL_ERROR && FApi.PQstatus(FConn) == CONNECTION_BAD) {
          FailConnection();
        }
      }
      Wait(flushed == 1);
      if (FApi.PQconsumeInput(FConn) == 0) FailConnection();
    }
  }

  void StartCopy(const std::string& sql) override {
    PGresult* result = FApi.PQexec(FConn, sql.c_str());
    const ExecStatusType status =
        result != nullptr ? FApi.PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status != PGRES_COPY_IN) {
      const std::string message = result != nullptr && status != PGRES_COMMAND_OK
                                      ? FApi.PQresultErrorMessage(result)
                                      : FApi.PQerrorMessage(FConn);
      if (result != nullptr) FApi.PQclear(result);
      Fail(message.empty() ? std::string("COPY did not start") : message);
    }
    FApi.PQclear(result);
    // Sending never blocks: a full socket is waited for with a bound.
    FApi.PQsetnonblocking(FConn, 1);
  }

  void AppendCopyValue(std::string& out, const TPhysBind& bind) const override {
    AppendCopyText(out, bind, FCopyScratch);
  }

  // Hands the rows to the socket before returning: the client's buffer would
  // otherwise grow to hold every row that the server has not read yet. The
  // socket's own buffer keeps the server reading while the next rows are
  // written.
  void SendCopyData(std::string_view data) override {
    while (true) {
      const int queued = FApi.PQputCopyData(FConn, data.data(), static_cast<int>(data.size()));
      if (queued < 0) FailCopy();
      if (queued == 1) break;
      Wait(true);
      if (FApi.PQconsumeInput(FConn) == 0 || FApi.PQflush(FConn) < 0) FailCopy();
    }
    while (true) {
      const int rest = FApi.PQflush(FConn);
      if (rest < 0) FailCopy();
      if (rest == 0) return;
      Wait(true);
      if (FApi.PQconsumeInput(FConn) == 0) FailCopy();
    }
  }

  std::int64_t EndCopy() override {
    const TBlockingAfterCopy blocking(FApi, FConn);
    return FinishCopy(nullptr);
  }

  void AbandonCopy() noexcept override {
    const TBlockingAfterCopy blocking(FApi, FConn);
    try {
      FinishCopy("the load was abandoned");
    } catch (...) {
      // The copy failed, as it was asked to; the transaction is aborted.
    }
  }

 private:
  static bool IsUtf8Name(std::string_view name) {
    std::string bare;
    for (const char c : name) {
      if (c != '-' && c != '_') bare += c;
    }
    return text::EqualsIgnoringAsciiCase(bare, "UTF8") ||
           text::EqualsIgnoringAsciiCase(bare, "UNICODE");
  }

  // Checks a command's result, frees it and returns its command tag.
  std::string CheckCommand(PGresult* result) {
    const ExecStatusType status =
        result != nullptr ? FApi.PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      const std::string message =
          result != nullptr ? FApi.PQresultErrorMessage(result) : FApi.PQerrorMessage(FConn);
      if (result != nullptr) FApi.PQclear(result);
      Fail(message);
    }
    std::string tag = FApi.PQcmdStatus(result);
    FApi.PQclear(result);
    return tag;
  }

  std::string Exec(const char* sql) { return CheckCommand(FApi.PQexec(FConn, sql)); }

  [[noreturn]] void FailConnection() { Fail(FApi.PQerrorMessage(FConn)); }

  // A load that failed: the server's message when it has sent one (a row it
  // refused), the connection's otherwise.
  [[noreturn]] void FailCopy() {
    std::string message = FApi.PQerrorMessage(FConn);
    // Only answers already read; a load still under way answers "copy in"
    // again and again.
    for (int answers = 0; answers < 3 && FApi.PQisBusy(FConn) == 0; ++answers) {
      PGresult* result = FApi.PQgetResult(FConn);
      if (result == nullptr) break;
      const ExecStatusType status = FApi.PQresultStatus(result);
      if (status == PGRES_FATAL_ERROR) message = FApi.PQresultErrorMessage(result);
      FApi.PQclear(result);
      if (status == PGRES_COPY_IN || FApi.PQstatus(FConn) == CONNECTION_BAD) break;
    }
    Fail(message);
  }

  // Ends the load (as failed when `failure` is given), sends what is left
  // and reads the server's answer: the rows loaded.
  std::int64_t FinishCopy(const char* failure) {
    while (true) {
      const int ended = FApi.PQputCopyEnd(FConn, failure);
      if (ended == 1) break;
      if (ended < 0) FailCopy();
      Wait(true);
      if (FApi.PQconsumeInput(FConn) == 0) FailCopy();
    }
    while (true) {
      const int flushed = FApi.PQflush(FConn);
      if (flushed < 0) FailCopy();
      if (flushed == 0 && FApi.PQisBusy(FConn) == 0) break;
      Wait(flushed == 1);
      if (FApi.PQconsumeInput(FConn) == 0) FailCopy();
    }
    std::int64_t rows = 0;
    std::string failureText;
    // The answer to the load, then the null that ends it.
    for (int answers = 0; PGresult* result = FApi.PQgetResult(FConn); ++answers) {
      const ExecStatusType status = FApi.PQresultStatus(result);
      if (status == PGRES_COMMAND_OK) {
        const char* tuples = FApi.PQcmdTuples(result);
        rows = tuples != nullptr ? std::strtoll(tuples, nullptr, 10) : 0;
      } else if (failureText.empty()) {
        failureText = FApi.PQresultErrorMessage(result);
        if (failureText.empty()) failureText = "the load failed";
      }
      FApi.PQclear(result);
      // A client that lost the connection may answer again and again.
      if (answers > 2 || FApi.PQstatus(FConn) == CONNECTION_BAD) {
        if (failureText.empty()) failureText = FApi.PQerrorMessage(FConn);
        break;
      }
      while (FApi.PQisBusy(FConn) != 0) {
        Wait(false);
        if (FApi.PQconsumeInput(FConn) == 0) FailConnection();
      }
    }
    if (!failureText.empty()) Fail(failureText);
    return rows;
  }

  // Waits until the server's answer can be read (or, while `sending`, the
  // rest of the runs can be written). The socket carries the keep-alive and
  // unacknowledged-data bounds of the connection; on top of them a server
  // silent for SilentReadWrite is given up, as no run of one row is that
  // slow to answer.
  void Wait(bool sending) {
    pollfd socket{FApi.PQsocket(FConn), static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
    if (socket.fd < 0) FailConnection();
    const auto bound = std::chrono::milliseconds(DbTimeouts().SilentReadWrite);
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (true) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        Fail("no answer from the server in " + std::to_string(bound.count() / 1000) + " s");
      }
      const int ready = ::poll(&socket, 1, static_cast<int>(left.count()));
      if (ready > 0) return;
      if (ready < 0 && errno != EINTR) FailConnection();
    }
  }

  // The socket blocking again once a load (StartCopy) has ended, however it
  // ended.
  class TBlockingAfterCopy {
   public:
    TBlockingAfterCopy(const TPqApi& api, PGconn* conn) : FApi(api), FConn(conn) {}
    ~TBlockingAfterCopy() { FApi.PQsetnonblocking(FConn, 0); }
    TBlockingAfterCopy(const TBlockingAfterCopy&) = delete;
    TBlockingAfterCopy& operator=(const TBlockingAfterCopy&) = delete;

   private:
    const TPqApi& FApi;
    PGconn* FConn;
  };

  // Pipeline mode for the length of a batch, the socket non-blocking so
  // that sending and reading never wait on each other.
  class TPipeline {
   public:
    TPipeline(const TPqApi& api, PGconn* conn) : FApi(api), FConn(conn) {
      if (FApi.PQenterPipelineMode(FConn) != 1) Fail(FApi.PQerrorMessage(FConn));
      FApi.PQsetnonblocking(FConn, 1);
    }
    ~TPipeline() {
      FApi.PQsetnonblocking(FConn, 0);
      FApi.PQexitPipelineMode(FConn);
    }
    TPipeline(const TPipeline&) = delete;
    TPipeline& operator=(const TPipeline&) = delete;

   private:
    const TPqApi& FApi;
    PGconn* FConn;
  };

  const TPqApi& FApi;
  PGconn* FConn = nullptr;
  std::uint64_t FStatementCount = 0;
  // Texts of values that a load converts.
  mutable std::string FCopyScratch;
};

class TPgDriver final : public TPhysDriver {
 public:
  explicit TPgDriver(const std::string& vendorLib) {
    FApi.Library = LoadVendorLibrary("PG", VendorLibNames(vendorLib, {"libpq.so.5", "libpq.so"}));
    TEntryPoints ep(*FApi.Library);
    ep(FApi.PQconnectdb, "PQconnectdb");
    ep(FApi.PQstatus, "PQstatus");
    ep(FApi.PQerrorMessage, "PQerrorMessage");
    ep(FApi.PQfinish, "PQfinish");
    ep(FApi.PQsetClientEncoding, "PQsetClientEncoding");
    ep(FApi.PQsetNoticeProcessor, "PQsetNoticeProcessor");
    ep(FApi.PQexec, "PQexec");
    ep(FApi.PQprepare, "PQprepare");
    ep(FApi.PQexecPrepared, "PQexecPrepared");
    ep(FApi.PQresultStatus, "PQresultStatus");
    ep(FApi.PQresultErrorMessage, "PQresultErrorMessage");
    ep(FApi.PQclear, "PQclear");
    ep(FApi.PQntuples, "PQntuples");
    ep(FApi.PQnfields, "PQnfields");
    ep(FApi.PQfname, "PQfname");
    ep(FApi.PQftype, "PQftype");
    ep(FApi.PQgetisnull, "PQgetisnull");
    ep(FApi.PQgetvalue, "PQgetvalue");
    ep(FApi.PQgetlength, "PQgetlength");
    ep(FApi.PQcmdTuples, "PQcmdTuples");
    ep(FApi.PQcmdStatus, "PQcmdStatus");
    ep.Optional(FApi.PQconndefaults, "PQconndefaults");
    ep.Optional(FApi.PQconninfoFree, "PQconninfoFree");
    ep.Optional(FApi.PQsendQueryPrepared, "PQsendQueryPrepared");
    ep.Optional(FApi.PQenterPipelineMode, "PQenterPipelineMode");
    ep.Optional(FApi.PQexitPipelineMode, "PQexitPipelineMode");
    ep.Optional(FApi.PQpipelineSync, "PQpipelineSync");
    ep.Optional(FApi.PQsetnonblocking, "PQsetnonblocking");
    ep.Optional(FApi.PQflush, "PQflush");
    ep.Optional(FApi.PQconsumeInput, "PQconsumeInput");
    ep.Optional(FApi.PQisBusy, "PQisBusy");
    ep.Optional(FApi.PQgetResult, "PQgetResult");
    ep.Optional(FApi.PQsocket, "PQsocket");
    ep.Optional(FApi.PQputCopyData, "PQputCopyData");
    ep.Optional(FApi.PQputCopyEnd, "PQputCopyEnd");
    ep.Check();
    PQconninfoOption* options = FApi.PQconndefaults != nullptr && FApi.PQconninfoFree != nullptr
                                    ? FApi.PQconndefaults()
                                    : nullptr;
    if (options != nullptr) {
      for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
        FKeywords.emplace_back(o->keyword);
      }
      FApi.PQconninfoFree(options);
    } else {
      // A client that cannot list its keywords: those every client since
      // version 9.0 knows.
      FKeywords = {"connect_timeout", "keepalives", "keepalives_idle", "keepalives_interval",
                   "keepalives_count"};
    }
  }

  std::string_view DriverID() const override { return "PG"; }
  std::string Placeholder(int index) const override { return "$" + std::to_string(index + 1); }
  bool ChecksUntypedParams() const override { return true; }
  std::unique_ptr<TPhysConnection> Connect(const TDbDefinition& definition) override {
    return std::make_unique<TPgConnection>(FApi, FKeywords, definition);
  }

 private:
  TPqApi FApi{};
  // The connection string keywords the loaded client knows.
  std::vector<std::string> FKeywords;
};

}  // namespace

std::unique_ptr<TPhysDriver> CreateDriverPG(const std::string& vendorLib) {
  return std::make_unique<TPgDriver>(vendorLib);
}

TScopedPgWithoutPipeline::TScopedPgWithoutPipeline() : FPrevious(gPipelineHidden.exchange(true)) {}

TScopedPgWithoutPipeline::~TScopedPgWithoutPipeline() {
  gPipelineHidden.store(FPrevious);
}

}  // namespace tandemize::dbaccess::phys
