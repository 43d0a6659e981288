#include "direct_clients.h"

#include <fmt/format.h>
#include <libpq-fe.h>
#include <mysql.h>
#include <sqlite3.h>

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace tandemize::bench {
namespace {

std::string Env(const std::string& aName) {
  const char* value = std::getenv(aName.c_str());
  return value != nullptr ? value : "";
}

// ":name" markers replaced with "?" or "$<n>" (n counts occurrences from 1).
std::string Rewrite(const std::string& aSql, bool aNumbered) {
  std::string out;
  int count = 0;
  for (std::size_t i = 0; i < aSql.size(); ++i) {
    if (aSql[i] == ':' && i + 1 < aSql.size() &&
        (std::isalpha(static_cast<unsigned char>(aSql[i + 1])) || aSql[i + 1] == '_')) {
      ++count;
      out += aNumbered ? "$" + std::to_string(count) : "?";
      while (i + 1 < aSql.size() &&
             (std::isalnum(static_cast<unsigned char>(aSql[i + 1])) || aSql[i + 1] == '_')) {
        ++i;
      }
    } else {
      out += aSql[i];
    }
  }
  return out;
}

std::string DoubleText(double aValue) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, aValue).ptr;
  return std::string(text, end);
}

std::string HexBytes(const std::vector<std::uint8_t>& aBytes) {
  std::string hex;
  for (const std::uint8_t b : aBytes) hex += fmt::format("{:02x}", b);
  return hex;
}

// Multi-row INSERT texts of up to 1000 rows each, for filling a table fast.
// aBlob turns the hex digits of a blob into the kind's literal.
template <class FBlob>
std::vector<std::string> FillStatements(const std::vector<TBenchRow>& aRows, FBlob aBlob) {
  std::vector<std::string> statements;
  std::string sql;
  for (std::size_t i = 0; i < aRows.size(); ++i) {
    const TBenchRow& row = aRows[i];
    if (sql.empty())
      sql = fmt::format("INSERT INTO {} (id, nome, valor, dia, dados) VALUES ", kBenchTable);
    else
      sql += ',';
    sql += fmt::format("({},'{}',{},'{}',{})", row.Id, row.Nome, DoubleText(row.Valor),
                       row.DiaText(), aBlob(HexBytes(row.Dados)));
    if ((i + 1) % 1000 == 0 || i + 1 == aRows.size()) {
      statements.push_back(std::move(sql));
      sql.clear();
    }
  }
  return statements;
}

// ------------------------------------------------------------------ SQLite

class TSQLiteClient final : public TDirectClient {
 public:
  explicit TSQLiteClient(std::string aFile) : FFile(std::move(aFile)) {
    const TImportSql sql = ServiceSql();
    FExists = Rewrite(sql.Exists, false);
    FUpdate = Rewrite(sql.Update, false);
    FInsert = Rewrite(sql.Insert, false);
  }

  void ResetTable(const std::vector<TBenchRow>* aPrefill) override {
    std::filesystem::remove(FFile);
    sqlite3* db = Open();
    Exec(db, fmt::format("CREATE TABLE {} (id INTEGER PRIMARY KEY, nome TEXT, valor REAL, "
                         "dia TEXT, dados BLOB)",
                         kBenchTable));
    if (aPrefill != nullptr) {
      Exec(db, "BEGIN");
      for (const std::string& sql :
           FillStatements(*aPrefill, [](const std::string& h) { return "X'" + h + "'"; })) {
        Exec(db, sql);
      }
      Exec(db, "COMMIT");
    }
    sqlite3_close_v2(db);
  }

  void Import(const std::vector<TBenchRow>& aRows) override {
    sqlite3* db = Open();
    Exec(db, "PRAGMA encoding = 'UTF-8'");
    Exec(db, "SELECT count(*) FROM sqlite_master");
    Exec(db, "BEGIN IMMEDIATE");
    sqlite3_stmt* exists = Prepare(db, FExists);
    sqlite3_stmt* update = Prepare(db, FUpdate);
    sqlite3_stmt* insert = Prepare(db, FInsert);
    for (const TBenchRow& row : aRows) {
      sqlite3_bind_int64(exists, 1, row.Id);
      const int rc = sqlite3_step(exists);
      if (rc != SQLITE_ROW && rc != SQLITE_DONE) Fail(db);
      sqlite3_reset(exists);
      const std::string dia = row.DiaText();
      auto bindValues = [&](sqlite3_stmt* s, int first) {
        sqlite3_bind_text(s, first, row.Nome.data(), static_cast<int>(row.Nome.size()),
                          SQLITE_STATIC);
        sqlite3_bind_double(s, first + 1, row.Valor);
        sqlite3_bind_text(s, first + 2, dia.data(), static_cast<int>(dia.size()), SQLITE_STATIC);
        sqlite3_bind_blob(s, first + 3, row.Dados.data(), static_cast<int>(row.Dados.size()),
                          SQLITE_STATIC);
      };
      sqlite3_stmt* write = rc == SQLITE_ROW ? update : insert;
      if (rc == SQLITE_ROW) {
        bindValues(update, 1);
        sqlite3_bind_int64(update, 5, row.Id);
      } else {
        sqlite3_bind_int64(insert, 1, row.Id);
        bindValues(insert, 2);
      }
      if (sqlite3_step(write) != SQLITE_DONE) Fail(db);
      sqlite3_reset(write);
    }
    Exec(db, "COMMIT");
    for (sqlite3_stmt* s : {exists, update, insert}) sqlite3_finalize(s);
    sqlite3_close_v2(db);
  }

  long long CountRows() override {
    sqlite3* db = Open();
    sqlite3_stmt* s = Prepare(db, fmt::format("SELECT count(*) FROM {}", kBenchTable));
    sqlite3_step(s);
    const long long count = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    sqlite3_close_v2(db);
    return count;
  }

 private:
  [[noreturn]] static void Fail(sqlite3* db) {
    throw std::runtime_error(std::string("sqlite: ") + sqlite3_errmsg(db));
  }
  sqlite3* Open() {
    sqlite3* db = nullptr;
    // Opened as the service opens its connections (one thread per connection).
    if (sqlite3_open_v2(FFile.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
      Fail(db);
    }
    sqlite3_busy_timeout(db, 10000);
    return db;
  }
  static void Exec(sqlite3* db, const std::string& aSql) {
    if (sqlite3_exec(db, aSql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) Fail(db);
  }
  static sqlite3_stmt* Prepare(sqlite3* db, const std::string& aSql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, aSql.c_str(), static_cast<int>(aSql.size()), &s, nullptr) !=
        SQLITE_OK) {
      Fail(db);
    }
    return s;
  }

  std::string FFile, FExists, FUpdate, FInsert;
};

// -------------------------------------------------------------- PostgreSQL

class TPgClient final : public TDirectClient {
 public:
  TPgClient() {
    const TImportSql sql = ServiceSql();
    FExists = Rewrite(sql.Exists, true);
    FUpdate = Rewrite(sql.Update, true);
    FInsert = Rewrite(sql.Insert, true);
    FConnInfo = fmt::format("hostaddr='{}' port='{}' dbname='{}' user='{}' password='{}'",
                            Env("TANDEMIZE_PG_HOST"), Env("TANDEMIZE_PG_PORT"),
                            Env("TANDEMIZE_PG_DATABASE"), Env("TANDEMIZE_PG_USER"),
                            Env("TANDEMIZE_PG_PASSWORD"));
  }

  void ResetTable(const std::vector<TBenchRow>* aPrefill) override {
    PGconn* conn = Connect();
    Exec(conn, fmt::format("DROP TABLE IF EXISTS {}", kBenchTable));
    Exec(conn, fmt::format("CREATE TABLE {} (id integer PRIMARY KEY, nome varchar(60), "
                           "valor double precision, dia date, dados bytea)",
                           kBenchTable));
    if (aPrefill != nullptr) {
      Exec(conn, "BEGIN");
      for (const std::string& sql :
           FillStatements(*aPrefill, [](const std::string& h) { return "'\\x" + h + "'"; })) {
        Exec(conn, sql);
      }
      Exec(conn, "COMMIT");
      Exec(conn, fmt::format("ANALYZE {}", kBenchTable));
    }
    // An empty table is left without statistics: analysed empty, it would
    // have the existence query scan the whole table as the import fills it.
    PQfinish(conn);
  }

  void Import(const std::vector<TBenchRow>& aRows) override {
    PGconn* conn = Connect();
    Exec(conn, "BEGIN");
    Prepare(conn, "e", FExists, 1);
    Prepare(conn, "u", FUpdate, 5);
    Prepare(conn, "i", FInsert, 5);
    for (const TBenchRow& row : aRows) {
      const std::string id = std::to_string(row.Id);
      const char* key[] = {id.c_str()};
      const int keyLength[] = {static_cast<int>(id.size())};
      const int keyFormat[] = {0};
      PGresult* result = PQexecPrepared(conn, "e", 1, key, keyLength, keyFormat, 0);
      Check(conn, result);
      const bool found = PQntuples(result) > 0;
      PQclear(result);

      const std::string valor = DoubleText(row.Valor), dia = row.DiaText();
      const char* nome = row.Nome.c_str();
      const char* dados = reinterpret_cast<const char*>(row.Dados.data());
      const int nomeLength = static_cast<int>(row.Nome.size());
      const int dadosLength = static_cast<int>(row.Dados.size());
      if (found) {
        const char* values[] = {nome, valor.c_str(), dia.c_str(), dados, id.c_str()};
        const int lengths[] = {nomeLength, static_cast<int>(valor.size()), 10, dadosLength,
                               keyLength[0]};
        const int formats[] = {0, 0, 0, 1, 0};
        result = PQexecPrepared(conn, "u", 5, values, lengths, formats, 0);
      } else {
        const char* values[] = {id.c_str(), nome, valor.c_str(), dia.c_str(), dados};
        const int lengths[] = {keyLength[0], nomeLength, static_cast<int>(valor.size()), 10,
                               dadosLength};
        const int formats[] = {0, 0, 0, 0, 1};
        result = PQexecPrepared(conn, "i", 5, values, lengths, formats, 0);
      }
      Check(conn, result);
      PQclear(result);
    }
    Exec(conn, "COMMIT");
    PQfinish(conn);
  }

  void ImportCopy(const std::vector<TBenchRow>& aRows) override {
    PGconn* conn = Connect();
    Exec(conn, "BEGIN");
    Exec(conn,
         fmt::format("CREATE TEMPORARY TABLE bench_copy (LIKE {}) ON COMMIT DROP", kBenchTable));
    PGresult* copy = PQexec(conn, "COPY bench_copy FROM STDIN");
    if (PQresultStatus(copy) != PGRES_COPY_IN) {
      PQclear(copy);
      Fail(conn);
    }
    PQclear(copy);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string data;
    for (const TBenchRow& row : aRows) {
      data += std::to_string(row.Id);
      data += '\t';
      for (const char c : row.Nome) {
        if (c == '\\' || c == '\t' || c == '\n' || c == '\r') data += '\\';
        data += c;
      }
      data += '\t';
      data += DoubleText(row.Valor);
      data += '\t';
      data += row.DiaText();
      data += "\t\\\\x";
      for (const std::uint8_t b : row.Dados) {
        data += kHex[b >> 4];
        data += kHex[b & 15];
      }
      data += '\n';
      if (data.size() > (1 << 20)) {
        if (PQputCopyData(conn, data.data(), static_cast<int>(data.size())) != 1) Fail(conn);
        data.clear();
      }
    }
    if (PQputCopyData(conn, data.data(), static_cast<int>(data.size())) != 1 ||
        PQputCopyEnd(conn, nullptr) != 1) {
      Fail(conn);
    }
    PGresult* result = PQgetResult(conn);
    Check(conn, result);
    PQclear(result);
    while ((result = PQgetResult(conn)) != nullptr) PQclear(result);
    Exec(conn, fmt::format("INSERT INTO {} SELECT * FROM bench_copy ON CONFLICT (id) DO UPDATE "
                           "SET nome = excluded.nome, valor = excluded.valor, dia = excluded.dia, "
                           "dados = excluded.dados",
                           kBenchTable));
    Exec(conn, "COMMIT");
    PQfinish(conn);
  }

  long long CountRows() override {
    PGconn* conn = Connect();
    PGresult* result = PQexec(conn, fmt::format("SELECT count(*) FROM {}", kBenchTable).c_str());
    Check(conn, result);
    const long long count = std::atoll(PQgetvalue(result, 0, 0));
    PQclear(result);
    PQfinish(conn);
    return count;
  }

 private:
  [[noreturn]] static void Fail(PGconn* conn) {
    throw std::runtime_error(std::string("pg: ") + PQerrorMessage(conn));
  }
  static void Check(PGconn* conn, PGresult* result) {
    const ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      PQclear(result);
      Fail(conn);
    }
  }
  PGconn* Connect() {
    PGconn* conn = PQconnectdb(FConnInfo.c_str());
    if (PQstatus(conn) != CONNECTION_OK) Fail(conn);
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    if (PQsetClientEncoding(conn, "UTF8") != 0) Fail(conn);
    return conn;
  }
  static void Exec(PGconn* conn, const std::string& aSql) {
    PGresult* result = PQexec(conn, aSql.c_str());
    Check(conn, result);
    PQclear(result);
  }
  static void Prepare(PGconn* conn, const char* aName, const std::string& aSql, int aCount) {
    PGresult* result = PQprepare(conn, aName, aSql.c_str(), aCount, nullptr);
    Check(conn, result);
    PQclear(result);
  }

  std::string FConnInfo, FExists, FUpdate, FInsert;
};

// ----------------------------------------------------------------- MariaDB

class TMySQLClient final : public TDirectClient {
 public:
  TMySQLClient() {
    const TImportSql sql = ServiceSql();
    FExists = Rewrite(sql.Exists, false);
    FUpdate = Rewrite(sql.Update, false);
    FInsert = Rewrite(sql.Insert, false);
  }

  void ResetTable(const std::vector<TBenchRow>* aPrefill) override {
    MYSQL* mysql = Connect();
    Query(mysql, fmt::format("DROP TABLE IF EXISTS {}", kBenchTable));
    Query(mysql, fmt::format("CREATE TABLE {} (id int PRIMARY KEY, nome varchar(60), "
                             "valor double, dia date, dados blob)",
                             kBenchTable));
    if (aPrefill != nullptr) {
      Query(mysql, "START TRANSACTION");
      for (const std::string& sql :
           FillStatements(*aPrefill, [](const std::string& h) { return "X'" + h + "'"; })) {
        Query(mysql, sql);
      }
      Query(mysql, "COMMIT");
    }
    mysql_close(mysql);
  }

  void Import(const std::vector<TBenchRow>& aRows) override {
    MYSQL* mysql = Connect();
    Query(mysql, "START TRANSACTION");
    MYSQL_STMT* exists = Prepare(mysql, FExists);
    MYSQL_STMT* update = Prepare(mysql, FUpdate);
    MYSQL_STMT* insert = Prepare(mysql, FInsert);

    // Bound once; each row only changes the buffers.
    long long id = 0;
    double valor = 0;
    MYSQL_TIME dia{};
    dia.time_type = MYSQL_TIMESTAMP_DATE;
    unsigned long nomeLength = 0, dadosLength = 0;
    MYSQL_BIND key{};
    key.buffer_type = MYSQL_TYPE_LONGLONG;
    key.buffer = &id;
    MYSQL_BIND fields[4]{};
    fields[0].buffer_type = MYSQL_TYPE_STRING;
    fields[0].length = &nomeLength;
    fields[1].buffer_type = MYSQL_TYPE_DOUBLE;
    fields[1].buffer = &valor;
    fields[2].buffer_type = MYSQL_TYPE_DATE;
    fields[2].buffer = &dia;
    fields[3].buffer_type = MYSQL_TYPE_BLOB;
    fields[3].length = &dadosLength;
    MYSQL_BIND updateBinds[5] = {fields[0], fields[1], fields[2], fields[3], key};
    MYSQL_BIND insertBinds[5] = {key, fields[0], fields[1], fields[2], fields[3]};

    // The existence query's row: lengths only.
    MYSQL_BIND result[5]{};
    unsigned long resultLengths[5]{};
    for (int i = 0; i < 5; ++i) {
      result[i].buffer_type = MYSQL_TYPE_STRING;
      result[i].length = &resultLengths[i];
    }
    if (mysql_stmt_bind_param(exists, &key) != 0) Fail(exists);

    for (const TBenchRow& row : aRows) {
      id = row.Id;
      if (mysql_stmt_execute(exists) != 0 || mysql_stmt_store_result(exists) != 0) Fail(exists);
      mysql_stmt_bind_result(exists, result);
      const int rc = mysql_stmt_fetch(exists);
      const bool found = rc == 0 || rc == MYSQL_DATA_TRUNCATED;
      mysql_stmt_free_result(exists);

      valor = row.Valor;
      dia.year = static_cast<unsigned>(row.Year);
      dia.month = static_cast<unsigned>(row.Month);
      dia.day = static_cast<unsigned>(row.Day);
      nomeLength = row.Nome.size();
      dadosLength = row.Dados.size();
      MYSQL_BIND* binds = found ? updateBinds : insertBinds;
      const int nome = found ? 0 : 1, dados = found ? 3 : 4;
      binds[nome].buffer = const_cast<char*>(row.Nome.data());
      binds[nome].buffer_length = nomeLength;
      binds[dados].buffer = const_cast<std::uint8_t*>(row.Dados.data());
      binds[dados].buffer_length = dadosLength;
      MYSQL_STMT* write = found ? update : insert;
      if (mysql_stmt_bind_param(write, binds) != 0 || mysql_stmt_execute(write) != 0) Fail(write);
    }
    if (mysql_commit(mysql) != 0) Fail(mysql);
    for (MYSQL_STMT* s : {exists, update, insert}) mysql_stmt_close(s);
    mysql_close(mysql);
  }

  long long CountRows() override {
    MYSQL* mysql = Connect();
    Query(mysql, fmt::format("SELECT count(*) FROM {}", kBenchTable));
    MYSQL_RES* res = mysql_store_result(mysql);
    const long long count = std::atoll(mysql_fetch_row(res)[0]);
    mysql_free_result(res);
    mysql_close(mysql);
    return count;
  }

 private:
  [[noreturn]] static void Fail(MYSQL* mysql) {
    throw std::runtime_error(std::string("mysql: ") + mysql_error(mysql));
  }
  [[noreturn]] static void Fail(MYSQL_STMT* stmt) {
    throw std::runtime_error(std::string("mysql: ") + mysql_stmt_error(stmt));
  }
  static MYSQL* Connect() {
    MYSQL* mysql = mysql_init(nullptr);
    mysql_options(mysql, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    const unsigned port = static_cast<unsigned>(std::atoi(Env("TANDEMIZE_MYSQL_PORT").c_str()));
    if (mysql_real_connect(
            mysql, Env("TANDEMIZE_MYSQL_HOST").c_str(), Env("TANDEMIZE_MYSQL_USER").c_str(),
            Env("TANDEMIZE_MYSQL_PASSWORD").c_str(), Env("TANDEMIZE_MYSQL_DATABASE").c_str(), port,
            nullptr, CLIENT_FOUND_ROWS) == nullptr) {
      Fail(mysql);
    }
    if (mysql_set_character_set(mysql, "utf8mb4") != 0) Fail(mysql);
    return mysql;
  }
  static void Query(MYSQL* mysql, const std::string& aSql) {
    if (mysql_real_query(mysql, aSql.data(), aSql.size()) != 0) Fail(mysql);
  }
  static MYSQL_STMT* Prepare(MYSQL* mysql, const std::string& aSql) {
    MYSQL_STMT* stmt = mysql_stmt_init(mysql);
    if (mysql_stmt_prepare(stmt, aSql.data(), aSql.size()) != 0) Fail(stmt);
    return stmt;
  }

  std::string FExists, FUpdate, FInsert;
};

}  // namespace

void TDirectClient::ImportCopy(const std::vector<TBenchRow>&) {
  throw std::runtime_error("this kind has no copy import here");
}

std::unique_ptr<TDirectClient> MakeDirectClient(const std::string& aKind,
                                                const std::string& aDatabase) {
  if (aKind == "sqlite") return std::make_unique<TSQLiteClient>(aDatabase);
  if (aKind == "pg") return std::make_unique<TPgClient>();
  if (aKind == "mysql") return std::make_unique<TMySQLClient>();
  throw std::runtime_error("unknown kind " + aKind);
}

}  // namespace tandemize::bench
