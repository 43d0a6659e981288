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
#include "service/data_service_error.h"
#include "service/messages.h"
#include "service/params_db.h"
#include "text/byte_stream.h"

namespace tandemize::service {

class TDM {
 public:
  // DataModuleCreate: components created, connection closed, fresh parameters.
  TDM();
  // DataModuleDestroy: the connection is closed, then the components freed.
  // Never fails (closing a connection never does).
  ~TDM();
  TDM(const TDM&) = delete;
  TDM& operator=(const TDM&) = delete;

  // The calling thread's instance, created when it has none; it lives until
  // freeInstancia or the thread's end. Requests do not use it: each takes a
  // TDMInstance of its own, freed when the request ends.
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
  // "params" and "headers", aStream a dataset stream. JSON form: aStream
  // holds the whole envelope as text (see TByteStream::DataText); a null
  // aStream is read as no envelope at all. Never raises for an ordinary
  // failure.
  //
  // aStream is emptied (Clear) as soon as it has been read: by a binary
  // import once its rows are loaded, by a JSON import once its envelope is
  // parsed, so the body is not held while the rows go to the database. An
  // import refused before that point leaves aStream as it was.
  std::string Tandemize(std::string_view aJsonHeader, text::TByteStream* aStream,
                        bool aBinaryRequest);

  // What the last Tandemize call imported, for the access log: the kind, the
  // table and the number of rows once its rows are ready to be written
  // (empty and 0 when it failed before).
  struct TImportSummary {
    std::string Kind;
    std::string Table;
    std::size_t Rows = 0;
  };
  const TImportSummary& ImportSummary() const { return FImportSummary; }

  // What the last Tandemize call left behind (the rows it read), for the
  // caller to free once the verdict is on its way: freeing 100,000 rows takes
  // tens of milliseconds. Null once taken; left here, it goes with the next
  // import or with the instance.
  std::shared_ptr<void> TakeLeftovers() noexcept { return std::move(FLeftovers); }

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
  // WriteRows a window of rows at a time (PG): pipelined, or as sets (the rows
  // loaded in bulk, then one statement per window).
  void WriteWindows(json::TJsonObject& H, memtable::TMemTable& T, dbaccess::TDbQuery& aExists,
                    dbaccess::TDbQuery& aUpdate, dbaccess::TDbQuery& aInsert, bool aAsSets);
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
  std::shared_ptr<void> FLeftovers;
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
