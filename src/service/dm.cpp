#include "service/dm.h"

#include <algorithm>
#include <utility>

#include "converter/converter.h"
#include "service/access_policy.h"

namespace tandemize::service {
namespace {

// The instance getInstancia hands out, one slot per thread.
thread_local std::unique_ptr<TDM> tInstance;

bool IsBlank(std::string_view aText) {
  return std::all_of(aText.begin(), aText.end(),
                     [](char c) { return static_cast<unsigned char>(c) <= ' '; });
}

// The verdict: "success" then "message".
void PutVerdict(json::TJsonObject& E, bool aSuccess, std::string_view aMessage) {
  E.Clear();
  E.Put("success", aSuccess);
  E.Put("message", aMessage);
}

}  // namespace

// ---------------------------------------------------------------- lifecycle

TDM::TDM() {
  DataModuleCreate();
}

TDM::~TDM() {
  DataModuleDestroy();
}

void TDM::DataModuleCreate() {
  FDbConnection = std::make_unique<dbaccess::TDbConnection>();
  FDbConnection->SetLoginPrompt(false);
  FDbConnection->BeforeConnect = [this](dbaccess::TDbConnection& aSender) {
    DbConnectionBeforeConnect(aSender);
  };
  FDriverLinkFB = std::make_unique<dbaccess::TDbDriverLink>("FB");
  FDriverLinkMySQL = std::make_unique<dbaccess::TDbDriverLink>("MySQL");
  FDriverLinkPg = std::make_unique<dbaccess::TDbDriverLink>("PG");
  FDriverLinkSQLite = std::make_unique<dbaccess::TDbDriverLink>("SQLite");
  FDriverLinkMSSQL = std::make_unique<dbaccess::TDbDriverLink>("MSSQL");
  FDriverLinkIB = std::make_unique<dbaccess::TDbDriverLink>("IB");
  FParamsDB = TParamsDB::New("db");
}

void TDM::DataModuleDestroy() noexcept {
  // Queries are created and freed by the operations themselves, so none is
  // left open here; only the connection remains to close.
  if (FDbConnection) FDbConnection->Close();
}

TDM& TDM::getInstancia() {
  if (!tInstance) tInstance = std::make_unique<TDM>();
  return *tInstance;
}

void TDM::freeInstancia() {
  std::unique_ptr<TDM> instance = std::move(tInstance);
  instance.reset();
}

TDM& TDM::ToolchainText(std::string aValue) {
  FToolchainText = std::move(aValue);
  return *this;
}

void TDM::DbConnectionBeforeConnect(dbaccess::TDbConnection& aSender) {
  if (!FParamsDB) return;
  const iParamsDB& params = *FParamsDB;
  CheckConnectionChoices(params);  // before any of the parameters is used
  switch (params.TipoSgdb()) {
    case TTipoSgdb::tpFB:
      FDriverLinkFB->SetVendorLib(params.LibPath());
      break;
    case TTipoSgdb::tpIB:
      FDriverLinkIB->SetVendorLib(params.LibPath());
      break;
    case TTipoSgdb::tpPG:
      FDriverLinkPg->SetVendorLib(params.LibPath());
      break;
    case TTipoSgdb::tpMySQL:
      FDriverLinkMySQL->SetVendorLib(params.LibPath());
      break;
    case TTipoSgdb::tpMSSQL:
      FDriverLinkMSSQL->SetVendorLib(params.LibPath());
      break;
    case TTipoSgdb::tpSQLite:
      FDriverLinkSQLite->SetVendorLib(params.LibPath());
      break;
    default:
      break;  // an unknown kind has no link (and no driver id: 340)
  }
  dbaccess::TDbDefinition& definition = aSender.Params();
  definition.SetValue("DriverID", params.Driver());
  definition.SetValue("Server", params.Host());
  definition.SetValue("Port", params.PortString());
  definition.SetValue("CharacterSet", params.CharacterSet());
  definition.SetValue("Database", params.Database());
  definition.SetValue("User_Name", params.User());
  definition.SetValue("Password", params.Password());
}

// --------------------------------------------------------------- operations

std::string TDM::checkRequest(std::string_view Value) const {
  json::TJsonObject E;
  E.Put("can_header", !IsBlank(Value));
  E.Put("ide", FToolchainText);
  return E.Stringify();
}

std::string TDM::TesteDatabase(std::string_view aJson) {
  json::TJsonObject E;
  try {
    if (IsBlank(aJson)) throw EDataService(kParamsNotFound);
    FParamsDB->fromJson(aJson);
    FDbConnection->SetConnected(false);
    FDbConnection->SetConnected(true);
    FDbConnection->SetConnected(false);
    PutVerdict(E, true, kConnectionTestOk);
  } catch (const std::exception& e) {
    PutVerdict(E, false, e.what());
  }
  return E.Stringify();
}

std::string TDM::Tandemize(std::string_view aJsonHeader, text::TByteStream* aStream,
                           bool aBinaryRequest) {
  json::TJsonObject E;
  // The rows outlive the import, for the caller to free (TakeLeftovers).
  auto table = std::make_shared<memtable::TMemTable>();
  try {
    if (aBinaryRequest) {
      if (!json::TJsonBase::IsJsonObject(aJsonHeader)) throw EDataService(kContentInvalid);
      if (aStream == nullptr || aStream->Size() == 0) throw EDataService(kDataNotFound);
      E.Parse(aJsonHeader);
    } else if (aStream != nullptr) {
      if (aStream->Size() < 1) throw EDataService(kDataInvalid);
      std::string converted;
      const std::string_view envelope = aStream->DataText(converted);
      if (!json::TJsonBase::IsJsonObject(envelope)) throw EDataService(kContentInvalid);
      E.Parse(envelope);
      aStream->Clear();  // the envelope lives on in E
    }
    if (E.Find("params") < 0) throw EDataService(kParamsNotFound);
    if (E.Find("headers") < 0) throw EDataService(kHeadersNotFound);
    json::TJsonObject& H = E["headers"].AsObject();
    if (H.Find("teble_name") < 0) throw EDataService(kTableNameNotFound);
    if (H.Find("pks") < 0) throw EDataService(kPrimaryKeyNotFound);
    if (H.Find("fields") < 0) throw EDataService(kFieldsNotFound);

    // The next connection attempt must take the parameters loaded below.
    if (FDbConnection->Connected()) FDbConnection->SetConnected(false);
    FParamsDB->fromJson(&E["params"].AsObject());

    memtable::TMemTable& T = *table;
    if (aBinaryRequest) {
      T.LoadFromStream(aStream->Remaining(), memtable::TStorageFormat::sfBinary);
      aStream->Clear();  // the rows live on in T
    } else {
      json::TJsonObject& tandemize = E["tandemize"].AsObject();
      converter::TConverter::New()->ForJson(tandemize["structure"].AsArray())->LoadStructure(T);
      // Every row is converted, and a bad one refused, before the database
      // is touched. Each row's JSON is freed once it is a record, so the
      // import is not held twice over.
      converter::TConverter::New()->ForJson(tandemize["data"].AsArray())->TakeRecords(T);
    }
    if (!T.Active() || T.IsEmpty()) throw EDataService(kNoRecords);

    ApplyRows(E, T);
    PutVerdict(E, true, kImportSucceeded);
  } catch (const std::exception& e) {
    PutVerdict(E, false, MessageOf(e));
  }
  FLeftovers = std::move(table);
  return E.Stringify();
}

}  // namespace tandemize::service
