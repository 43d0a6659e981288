// The SQLite kind: the engine linked into the program; a database with a
// password goes through the encryption plugin's own engine instead.

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <mutex>

#include "dbaccess/internal/driver_sqlite.h"
#include "dbaccess/internal/phys_values.h"
#include "dbaccess/internal/sqlite_api.h"

namespace tandemize::dbaccess::phys {
namespace {

constexpr int kBusyTimeoutMs = 10000;

std::string SQLiteMessage(std::string_view text) {
  return ClientMessage({"Phys", "SQLite"}, " ERROR: ", text);
}

[[noreturn]] void Fail(const TSQLiteApi& api, sqlite3* db) {
  throw memtable::EDatabaseError(SQLiteMessage(db != nullptr ? api.errmsg(db) : "out of memory"));
}

// The folder of the running program, with a trailing '/'.
std::string ProgramFolder() {
  std::error_code error;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : exe.parent_path().string() + "/";
}

// Loads the encryption plugin once: beside the program first, then where the
// build put it.
const TSQLiteApi& CipherApi() {
  static std::mutex lock;
  static const TSQLiteApi* api = nullptr;
  std::lock_guard guard(lock);
  if (api != nullptr) return *api;
  std::vector<std::string> candidates{ProgramFolder() + kSQLCipherPluginFile};
#ifdef TANDEMIZE_SQLCIPHER_PLUGIN_PATH
  candidates.emplace_back(TANDEMIZE_SQLCIPHER_PLUGIN_PATH);
#endif
  std::string reasons;
  for (const std::string& candidate : candidates) {
    if (::access(candidate.c_str(), R_OK) != 0) continue;
    void* handle = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      reasons += ::dlerror();
      reasons += ". ";
      continue;
    }
    auto entry = reinterpret_cast<TSQLCipherPluginEntry>(::dlsym(handle, kSQLCipherPluginEntry));
    if (entry != nullptr && entry() != nullptr && entry()->key != nullptr) {
      api = entry();
      return *api;
    }
    reasons += candidate + " is not the encryption plugin. ";
  }
  throw memtable::EDatabaseError(
      SQLiteMessage("database encryption is not available (" + std::string(kSQLCipherPluginFile) +
                    " could not be loaded). " + reasons +
                    "The database was not opened, so nothing was written unencrypted"));
}

const TSQLiteApi& LinkedApi() {
  static const TSQLiteApi api = [] {
    TSQLiteApi table{};
    FillSQLiteApi(table);
    return table;
  }();
  return api;
}

class TSQLiteStatement final : public TPhysStatement {
 public:
  TSQLiteStatement(const TSQLiteApi& api, sqlite3* db, sqlite3_stmt* statement)
      : FApi(api),
        FDb(db),
        FStatement(statement),
        FHeldValues(api.column_count(statement) == 0 ? SQLITE_STATIC : SQLITE_TRANSIENT) {}
  ~TSQLiteStatement() override { FApi.finalize(FStatement); }

  void Execute(std::span<const TPhysBind> binds) override {
    if (FNeedsReset) FApi.reset(FStatement);
    FNeedsReset = true;
    // Every run binds its placeholders from the first on, so earlier values
    // need clearing only where this run binds fewer than the last one.
    if (binds.size() < FBoundCount) FApi.clear_bindings(FStatement);
    FBoundCount = binds.size();
    FPending = false;
    FHasRow = false;
    FRowsAffected = -1;
    for (std::size_t i = 0; i < binds.size(); ++i) Bind(static_cast<int>(i) + 1, binds[i]);
    const int rc = FApi.step(FStatement);
    if (rc == SQLITE_ROW) {
      FPending = true;
    } else if (rc == SQLITE_DONE) {
      FRowsAffected = FApi.column_count(FStatement) == 0 ? FApi.changes(FDb) : 0;
      Reset();
    } else {
      const std::string message = FApi.errmsg(FDb);
      Reset();
      throw memtable::EDatabaseError(SQLiteMessage(message));
    }
  }

  bool Fetch() override {
    if (FPending) {
      FPending = false;
      FHasRow = true;
      return true;
    }
    if (!FHasRow) return false;
    const int rc = FApi.step(FStatement);
    if (rc == SQLITE_ROW) return true;
    FHasRow = false;
    const std::string message = rc == SQLITE_DONE ? std::string() : FApi.errmsg(FDb);
    Reset();
    if (rc != SQLITE_DONE) throw memtable::EDatabaseError(SQLiteMessage(message));
    return false;
  }

  int ColumnCount() const override { return FApi.column_count(FStatement); }
  std::string ColumnName(int index) const override {
    const char* name = FApi.column_name(FStatement, index);
    return name != nullptr ? name : "";
  }

  TVariant ColumnValue(int index) const override {
    if (!FHasRow) return TVariant{};
    switch (FApi.column_type(FStatement, index)) {
      case SQLITE_INTEGER:
        return static_cast<std::int64_t>(FApi.column_int64(FStatement, index));
      case SQLITE_FLOAT:
        return FApi.column_double(FStatement, index);
      case SQLITE_TEXT: {
        const auto* text = reinterpret_cast<const char*>(FApi.column_text(FStatement, index));
        return std::string(text, static_cast<std::size_t>(FApi.column_bytes(FStatement, index)));
      }
      case SQLITE_BLOB: {
        const auto* data = static_cast<const std::uint8_t*>(FApi.column_blob(FStatement, index));
        const int size = FApi.column_bytes(FStatement, index);
        return data != nullptr ? memtable::TBytes(data, data + size) : memtable::TBytes{};
      }
      default:
        return TVariant{};
    }
  }

  std::int64_t RowsAffected() const override { return FRowsAffected; }

  void CloseCursor() override {
    FPending = false;
    FHasRow = false;
    if (FNeedsReset) Reset();
  }

 private:
  void Reset() {
    FApi.reset(FStatement);
    FNeedsReset = false;
  }

  void Check(int rc) {
    if (rc != SQLITE_OK) Fail(FApi, FDb);
  }

  void BindText(int index, std::string_view text, sqlite3_destructor_type lifetime) {
    if (text.size() > static_cast<std::size_t>(INT_MAX)) {
      throw memtable::EDatabaseError(SQLiteMessage("string or blob too big"));
    }
    Check(FApi.bind_text(FStatement, index, text.data(), static_cast<int>(text.size()), lifetime));
  }

  void Bind(int index, const TPhysBind& bind) {
    const TVariant& value = *bind.Value;
    if (memtable::VarIsNull(value)) {
      Check(FApi.bind_null(FStatement, index));
      return;
    }
    switch (BindKindOf(bind.DataType)) {
      case TBindKind::Boolean:
      case TBindKind::Integer:
        if (const auto* big = std::get_if<std::uint64_t>(&value); big && *big > INT64_MAX) {
          BindText(index, std::to_string(*big), SQLITE_TRANSIENT);
        } else {
          Check(FApi.bind_int64(FStatement, index, VariantToInt64(value)));
        }
        return;
      case TBindKind::Float:
        Check(FApi.bind_double(FStatement, index, VariantToDouble(value)));
        return;
      case TBindKind::Date:
      case TBindKind::Time:
      case TBindKind::DateTime: {
        TTimeStampText buffer;
        std::string_view text = TimeStampToText(VariantToTimeStamp(value), buffer);
        if (BindKindOf(bind.DataType) == TBindKind::Date) text = text.substr(0, 10);
        if (BindKindOf(bind.DataType) == TBindKind::Time) text = text.substr(11);
        BindText(index, text, SQLITE_TRANSIENT);
        return;
      }
      case TBindKind::Blob: {
        // Bytes are bound from the value itself; other kinds converted first.
        const auto* held = std::get_if<memtable::TBytes>(&value);
        const memtable::TBytes converted =
            held != nullptr ? memtable::TBytes{} : VariantToBytes(value);
        const memtable::TBytes& bytes = held != nullptr ? *held : converted;
        if (bytes.size() > static_cast<std::size_t>(INT_MAX)) {
          throw memtable::EDatabaseError(SQLiteMessage("string or blob too big"));
        }
        if (bytes.empty()) {
          Check(FApi.bind_zeroblob(FStatement, index, 0));
        } else {
          Check(FApi.bind_blob(FStatement, index, bytes.data(), static_cast<int>(bytes.size()),
                               held != nullptr ? FHeldValues : SQLITE_TRANSIENT));
        }
        return;
      }
      case TBindKind::Decimal:
      case TBindKind::Text:
      case TBindKind::Unknown:
        // Text is bound from the value itself; other kinds converted first.
        if (const auto* text = std::get_if<std::string>(&value)) {
          BindText(index, *text, FHeldValues);
        } else {
          BindText(index, VariantToText(value), SQLITE_TRANSIENT);
        }
        return;
    }
  }

  const TSQLiteApi& FApi;
  sqlite3* FDb;
  sqlite3_stmt* FStatement;
  // How text and bytes held by the bound values are bound. A statement
  // without result columns runs to its end inside Execute and is reset there,
  // before the values can change, so SQLite may read them where they are; a
  // query keeps its cursor open past Execute and gets its own copies.
  sqlite3_destructor_type FHeldValues;
  std::size_t FBoundCount = 0;
  bool FNeedsReset =
      true;  // stepped (or bound) since the last reset  // placeholders the last run bound
  bool FPending = false;  // a row stepped to by Execute, not yet handed out
  bool FHasRow = false;
  std::int64_t FRowsAffected = -1;
};

class TSQLiteConnection final : public TPhysConnection {
 public:
  explicit TSQLiteConnection(const TDbDefinition& definition)
      : FApi(definition.Password().empty() ? LinkedApi() : CipherApi()) {
    const std::string& file = definition.Database();
    // A connection and its statements are used by one thread at a time, so
    // the engine need not lock around every call on them.
    const int rc =
        FApi.open_v2(file.c_str(), &FDb,
                     SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
      const std::string message = FDb != nullptr ? FApi.errmsg(FDb) : "out of memory";
      Close();
      throw memtable::EDatabaseError(SQLiteMessage(message));
    }
    try {
      if (!definition.Password().empty()) {
        const std::string& key = definition.Password();
        if (FApi.key(FDb, key.data(), static_cast<int>(key.size())) != SQLITE_OK) Fail(FApi, FDb);
      }
      FApi.busy_timeout(FDb, kBusyTimeoutMs);
      // A new file becomes a UTF-8 database; reading the schema also proves
      // that the key (or the absence of one) fits the file.
      Exec("PRAGMA encoding = 'UTF-8'");
      Exec("SELECT count(*) FROM sqlite_master");
    } catch (...) {
      Close();
      throw;
    }
  }
  ~TSQLiteConnection() override { Close(); }

  void StartTransaction() override { Exec("BEGIN IMMEDIATE"); }
  void Commit() override { Exec("COMMIT"); }
  void Rollback() override { Exec("ROLLBACK"); }

  std::unique_ptr<TPhysStatement> Prepare(const std::string& sql, int) override {
    sqlite3_stmt* statement = nullptr;
    if (FApi.prepare_v2(FDb, sql.c_str(), static_cast<int>(sql.size()), &statement, nullptr) !=
        SQLITE_OK) {
      Fail(FApi, FDb);
    }
    if (statement == nullptr) {
      throw memtable::EDatabaseError(SQLiteMessage("the statement text is empty"));
    }
    return std::make_unique<TSQLiteStatement>(FApi, FDb, statement);
  }

 private:
  void Exec(const char* sql) {
    if (FApi.exec(FDb, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail(FApi, FDb);
  }
  void Close() {
    if (FDb != nullptr) FApi.close_v2(FDb);
    FDb = nullptr;
  }

  const TSQLiteApi& FApi;
  sqlite3* FDb = nullptr;
};

class TSQLiteDriver final : public TPhysDriver {
 public:
  std::string_view DriverID() const override { return "SQLite"; }
  std::string Placeholder(int) const override { return "?"; }
  bool ChecksUntypedParams() const override { return true; }
  std::unique_ptr<TPhysConnection> Connect(const TDbDefinition& definition) override {
    return std::make_unique<TSQLiteConnection>(definition);
  }
};

}  // namespace

std::unique_ptr<TPhysDriver> CreateDriverSQLite(const std::string&) {
  return std::make_unique<TSQLiteDriver>();
}

}  // namespace tandemize::dbaccess::phys
