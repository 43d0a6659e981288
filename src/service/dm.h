#pragma once
// The data service: one database connection with its driver links and
// connection parameters, and the three operations behind the data routes:
// Tandemize (import rows and upsert them in one transaction), TesteDatabase
// (open and close a connection) and checkRequest (is the envelope header
// arriving?). Every operation answers with compact ASCII JSON text.
//
// One TDM serves one request: create it (or take TDMInstance), call one
// operation, let it go. A TDM is used by one thread at a time; separate
// instances share nothing but the process-wide client libraries.
//
//   TDMInstance dm;                       // freed when the scope ends
//   std::string verdict = dm->Tandemize(header, &body, binary);

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "dbaccess/db_connection.h"
#include "json/json.h"
#include "memtable/mem_table.h"
#include "service/params_db.h"

namespace tandemize::service {

// Messages of the import and connection test, as clients receive them.
inline constexpr const char* kImportSucceeded = "Dados Importado com sucesso!";
inline constexpr const char* kContentInvalid = "Conteúdo invalid!";
inline constexpr const char* kDataNotFound = "Data not found!";
inline constexpr const char* kDataInvalid = "Dados invalid!";
inline constexpr const char* kParamsNotFound = "Params not found!";
inline constexpr const char* kHeadersNotFound = "Headers not found!";
inline constexpr const char* kTableNameNotFound = "Tablename not found!";
inline constexpr const char* kPrimaryKeyNotFound = "Primary key not found!";
inline constexpr const char* kFieldsNotFound = "Fields not found!";
inline constexpr const char* kNoRecords = "No records to tandemize!";
inline constexpr const char* kConnectionTestOk = "Teste de conexão ok!";
// A key column of "pks" that the rows lack; {} is the key name.
inline constexpr const char* kKeyFieldNotFound = "Key field '{}' not found in the rows";
// A table or column name that is not a plain or quoted identifier; {} is the name.
inline constexpr const char* kIdentifierRefused = "Invalid identifier: {}";

// A failure of the data service's own checks; Message() is the client's
// text, whole: what() ends at the first NUL character, which a refused name
// may hold.
class EDataService : public std::runtime_error {
 public:
  explicit EDataService(const std::string& aMessage)
      : std::runtime_error(aMessage), FMessage(std::make_shared<const std::string>(aMessage)) {}
  explicit EDataService(const char* aMessage) : EDataService(std::string(aMessage)) {}
  const std::string& Message() const { return *FMessage; }

 private:
  std::shared_ptr<const std::string> FMessage;  // shared: copying the exception cannot fail
};

// The text a client receives for aError: an EDataService's whole Message(),
// otherwise what().
inline std::string MessageOf(const std::exception& aError) {
  const auto* own = dynamic_cast<const EDataService*>(&aError);
  return own != nullptr ? own->Message() : std::string(aError.what());
}

// The body of an import as the route hands it over: the request's bytes and
// a read position. The bytes are the stream's own (written, or taken over
// from the request by Adopt), or borrowed (Borrow); either way a large body
// is not copied. A borrowed stream takes its own copy the first time it is
// written to.
class TStream {
 public:
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;
  virtual ~TStream() = default;
  std::size_t Size() const { return FView.size(); }
  std::size_t Position() const { return FPosition; }
  // Clamped to Size().
  void Position(std::size_t aPosition);
  // Writes at the position, growing the stream as needed.
  void Write(std::string_view aBytes);
  // Reads aBytes, which must outlive the stream (or the next Write), in
  // place of the current content; the position goes to 0.
  void Borrow(std::string_view aBytes);
  // Makes aBytes, moved in, the stream's own content; the position goes to 0.
  void Adopt(std::string aBytes);
  // Lets go of the content, frees the stream's own bytes: the stream is
  // empty, its position 0.
  void Clear();
  std::string_view Bytes() const { return FView; }
  // The bytes from the position on.
  std::string_view Remaining() const;

 private:
  std::string FBytes;
  std::string_view FView;  // FBytes, or the borrowed bytes
  std::size_t FPosition = 0;
};

// The body of a binary import: a dataset stream.
class TMemoryStream final : public TStream {};

// The body of a JSON import: text.
class TStringStream final : public TStream {
 public:
  // The whole text: the bytes as UTF-8 when they are valid UTF-8, otherwise
  // read as Windows-1252, so no character is lost either way.
  std::string DataString() const;
  // DataString without a copy when the bytes are valid UTF-8 already;
  // otherwise the converted text is kept in aConverted and viewed there.
  std::string_view DataText(std::string& aConverted) const;
};

// Whether aName may be written into SQL for a database of kind aKind: a plain
// identifier (letters, digits, "_", "$", "#", not starting with a digit;
// "$" first and "#" only where the kind reads them as part of a name),
// optionally qualified with "." (schema.table), or one wholly enclosed in one
// pair of the kind's identifier quotes with no closing quote or control
// character inside. The quote forms and the use of "$" and "#" are those the
// kind's statements read (dbaccess::IdentifierQuotes, PlainNameChars).
bool IsAcceptedIdentifier(std::string_view aName, TTipoSgdb aKind);
// Raises EDataService(kIdentifierRefused) naming aName unless it is accepted.
void CheckIdentifier(std::string_view aName, TTipoSgdb aKind);

class TDM {
 public:
  // DataModuleCreate: components created, connection closed, fresh parameters.
  TDM();
  // DataModuleDestroy: the connection is closed, then the components freed.
  // Never fails (closing a connection never does).
  ~TDM();
  TDM(const TDM&) = delete;
  TDM& operator=(const TDM&) = delete;

  // The calling thread's instance, created when it has none. Requests run on
  // their own threads, so concurrent requests never meet the same instance.
  static TDM& getInstancia();
  // Frees the calling thread's instance, if any (the slot is cleared first).
  static void freeInstancia();

  // {"can_header":<Value not blank>,"ide":<toolchain word>}.
  std::string checkRequest(std::string_view Value) const;
  // Loads aJson (the connection parameters object) and opens and closes a
  // connection with it; the verdict {"success":..,"message":..}.
  std::string TesteDatabase(std::string_view aJson);
  // Checks the envelope, loads its parameters and all its rows, then upserts
  // the rows in one transaction and answers the verdict: a row that cannot
  // be loaded ends the import before the database is touched. Binary form: aJsonHeader holds
  // "params" and "headers", aStream a dataset stream. JSON form: aStream is
  // a TStringStream with the whole envelope (another stream kind is read as
  // no envelope at all). Never raises for an ordinary failure.
  //
  // aStream is emptied (Clear) as soon as it has been read: by a binary
  // import once its rows are loaded, by a JSON import once its envelope is
  // parsed, so the body is not held while the rows go to the database. An
  // import refused before that point leaves aStream as it was.
  std::string Tandemize(std::string_view aJsonHeader, TStream* aStream, bool aBinaryRequest);

  // What the last Tandemize call imported, for the access log: the kind, the
  // table and the number of rows once its rows are ready to be written
  // (empty and 0 when it failed before).
  struct TImportSummary {
    std::string Kind;
    std::string Table;
    std::size_t Rows = 0;
  };
  const TImportSummary& ImportSummary() const { return FImportSummary; }

  // The word "ide" reports (the program sets its build label's toolchain word).
  const std::string& ToolchainText() const { return FToolchainText; }
  TDM& ToolchainText(std::string aValue);

  // This instance's connection parameters, loaded by each operation.
  const iParamsDB::Ref& ParamsDB() const { return FParamsDB; }
  dbaccess::TDbConnection& DbConnection() { return *FDbConnection; }
  dbaccess::TDbDriverLink& DriverLinkFB() { return *FDriverLinkFB; }
  dbaccess::TDbDriverLink& DriverLinkMySQL() { return *FDriverLinkMySQL; }
  dbaccess::TDbDriverLink& DriverLinkPg() { return *FDriverLinkPg; }
  dbaccess::TDbDriverLink& DriverLinkSQLite() { return *FDriverLinkSQLite; }
  dbaccess::TDbDriverLink& DriverLinkMSSQL() { return *FDriverLinkMSSQL; }
  dbaccess::TDbDriverLink& DriverLinkIB() { return *FDriverLinkIB; }

  // Statement texts of the upsert engine, built from a "headers" object.
  // The existence query's three lines: "SELECT *  ", "  FROM <table> ",
  // " WHERE <conditions> ".
  static std::vector<std::string> BuildExistsSql(json::TJsonObject& H);
  static std::string BuildUpdateSql(json::TJsonObject& H);
  static std::string BuildInsertSql(json::TJsonObject& H);

 private:
  void DataModuleCreate();
  void DataModuleDestroy() noexcept;
  void DbConnectionBeforeConnect(dbaccess::TDbConnection& aSender);

  // Writes every row T shows into the table of E's "headers", in one
  // transaction; rolls back and raises the first failure's message.
  void ApplyRows(json::TJsonObject& E, memtable::TMemTable& T);
  // Writes T's rows with the three prepared statements of ApplyRows.
  void WriteRows(json::TJsonObject& H, memtable::TMemTable& T, dbaccess::TDbQuery& aExists,
                 dbaccess::TDbQuery& aUpdate, dbaccess::TDbQuery& aInsert);
  // WriteRows a window of rows at a time (PG): pipelined, or as arrays.
  void WriteWindows(json::TJsonObject& H, memtable::TMemTable& T, dbaccess::TDbQuery& aExists,
                    dbaccess::TDbQuery& aUpdate, dbaccess::TDbQuery& aInsert, bool aAsArrays);
  // Runs the existence query Q (its text set, its values bound) for the
  // current row.
  static bool RunExists(dbaccess::TDbQuery& Q);
  // Raises kKeyFieldNotFound for a key parameter, naming the key as H spells it.
  [[noreturn]] static void ThrowKeyFieldNotFound(json::TJsonObject& H,
                                                 const std::string& aParamName);
  // Refuses the import when a name of H cannot go into SQL as it stands.
  void CheckHeaderIdentifiers(json::TJsonObject& H) const;

  std::string FToolchainText;
  TImportSummary FImportSummary;
  iParamsDB::Ref FParamsDB;
  // Components in creation order; freed in reverse.
  std::unique_ptr<dbaccess::TDbConnection> FDbConnection;
  std::unique_ptr<dbaccess::TDbDriverLink> FDriverLinkFB;
  std::unique_ptr<dbaccess::TDbDriverLink> FDriverLinkMySQL;
  std::unique_ptr<dbaccess::TDbDriverLink> FDriverLinkPg;
  std::unique_ptr<dbaccess::TDbDriverLink> FDriverLinkSQLite;
  std::unique_ptr<dbaccess::TDbDriverLink> FDriverLinkMSSQL;
  std::unique_ptr<dbaccess::TDbDriverLink> FDriverLinkIB;
};

// One data service for the length of a scope: created on construction,
// freed on destruction whatever happens in between.
class TDMInstance {
 public:
  TDMInstance() : FDM(std::make_unique<TDM>()) {}
  TDM& operator*() const { return *FDM; }
  TDM* operator->() const { return FDM.get(); }

 private:
  std::unique_ptr<TDM> FDM;
};

}  // namespace tandemize::service
