// The PG kind: the PostgreSQL client library loaded at run time. Parameters
// go as text (binary for byte arrays) with their types left to the server,
// which infers them from where "$n" stands; results come back as text and
// are read by their column types.

#include <libpq-fe.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "dbaccess/internal/client_library.h"
#include "dbaccess/internal/db_timeouts.h"
#include "dbaccess/internal/driver_pg.h"
#include "dbaccess/internal/phys_values.h"

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

class TPgStatement final : public TPhysStatement {
 public:
  TPgStatement(const TPqApi& api, PGconn* conn, std::string name)
      : FApi(api), FConn(conn), FName(std::move(name)) {}
  ~TPgStatement() override { CloseCursor(); }

  void Execute(std::span<const TPhysBind> binds) override {
    CloseCursor();
    // The arrays live with the statement, so a run allocates nothing once
    // the texts have grown to their sizes. Text and bytes are sent from the
    // values themselves.
    FTexts.resize(binds.size());
    FValues.assign(binds.size(), nullptr);
    FLengths.assign(binds.size(), 0);
    FFormats.assign(binds.size(), 0);
    for (std::size_t i = 0; i < binds.size(); ++i) {
      const TVariant& value = *binds[i].Value;
      if (memtable::VarIsNull(value)) continue;
      std::string& text = FTexts[i];
      switch (BindKindOf(binds[i].DataType)) {
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
          FFormats[i] = 1;
          if (const auto* bytes = std::get_if<memtable::TBytes>(&value)) {
            FValues[i] = reinterpret_cast<const char*>(bytes->data());
            FLengths[i] = static_cast<int>(bytes->size());
            continue;
          }
          const memtable::TBytes bytes = VariantToBytes(value);
          text.assign(bytes.begin(), bytes.end());
          break;
        }
        default:
          if (const auto* held = std::get_if<std::string>(&value)) {
            FValues[i] = held->c_str();
            FLengths[i] = static_cast<int>(held->size());
            continue;
          }
          text = VariantToText(value);
          break;
      }
      FValues[i] = text.c_str();
      FLengths[i] = static_cast<int>(text.size());
    }
    FResult = FApi.PQexecPrepared(FConn, FName.c_str(), static_cast<int>(binds.size()),
                                  FValues.data(), FLengths.data(), FFormats.data(), 0);
    const ExecStatusType status =
        FResult != nullptr ? FApi.PQresultStatus(FResult) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      const std::string message =
          FResult != nullptr ? FApi.PQresultErrorMessage(FResult) : FApi.PQerrorMessage(FConn);
      CloseCursor();
      Fail(message);
    }
    FRow = -1;
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

class TPgConnection final : public TPhysConnection {
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

 private:
  static bool IsUtf8Name(std::string_view name) {
    std::string upper;
    for (const char c : name) {
      if (c != '-' && c != '_')
        upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return upper == "UTF8" || upper == "UNICODE";
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

  const TPqApi& FApi;
  PGconn* FConn = nullptr;
  std::uint64_t FStatementCount = 0;
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

}  // namespace tandemize::dbaccess::phys
