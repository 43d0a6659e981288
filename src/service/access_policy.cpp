#include "service/access_policy.h"

#include <memory>
#include <mutex>

#include "dbaccess/vendor_library.h"
#include "service/data_service_error.h"
#include "text/case_fold.h"

namespace tandemize::service {
namespace {

std::mutex gPolicyLock;

std::shared_ptr<const TAccessPolicy>& Policy() {
  static auto* policy = new std::shared_ptr<const TAccessPolicy>(std::make_shared<TAccessPolicy>());
  return *policy;
}

std::shared_ptr<const TAccessPolicy> CurrentPolicy() {
  std::lock_guard lock(gPolicyLock);
  return Policy();
}

std::string Joined(const std::vector<std::string>& aItems) {
  std::string text;
  for (const std::string& item : aItems) text += (text.empty() ? "" : ", ") + item;
  return text;
}

bool Listed(const std::vector<std::string>& aList, const std::string& aItem) {
  for (const std::string& entry : aList) {
    if (text::EqualsIgnoringAsciiCase(entry, aItem)) return true;
  }
  return false;
}

std::string KindName(const iParamsDB& aParams) {
  const std::string driver = aParams.Driver();
  return driver.empty() ? std::to_string(static_cast<int>(aParams.TipoSgdb())) : driver;
}

// Firebird and InterBase without a host open the database through the
// client itself: a file, unless the text names a server ("host:path",
// "inet://...") or an alias the client resolves.
bool IsFirebirdFile(const iParamsDB& aParams) {
  const TTipoSgdb kind = aParams.TipoSgdb();
  return (kind == TTipoSgdb::tpFB || kind == TTipoSgdb::tpIB) && aParams.Host().empty();
}

void CheckHost(const TAccessPolicy& aPolicy, const iParamsDB& aParams) {
  if (aPolicy.Hosts.empty() || aParams.TipoSgdb() == TTipoSgdb::tpSQLite) return;
  if (IsFirebirdFile(aParams)) {
    // The host a database text such as "server:/path" would reach is not checked here.
    if (aParams.Database().find(':') != std::string::npos) {
      throw EDataService("Database \"" + aParams.Database() +
                         "\" refused: without a host, a Firebird database is a file path, and "
                         "this service connects only to the hosts " +
                         Joined(aPolicy.Hosts));
    }
    return;
  }
  const std::string host = aParams.Host().empty() ? "localhost" : aParams.Host();
  if (!Listed(aPolicy.Hosts, host)) {
    throw EDataService("Host \"" + host + "\" refused: this service connects only to the hosts " +
                       Joined(aPolicy.Hosts));
  }
}

void CheckDatabaseFile(const TAccessPolicy& aPolicy, const iParamsDB& aParams) {
  if (aPolicy.DatabaseFolders.empty()) return;
  const bool sqlite = aParams.TipoSgdb() == TTipoSgdb::tpSQLite;
  if (!sqlite && !IsFirebirdFile(aParams)) return;
  const std::string database = aParams.Database();
  // A SQLite URI ("file:...") and a Firebird server or alias name are not
  // plain paths; neither can be placed in a folder by looking at it.
  const bool plainPath = sqlite
                             ? !text::StartsWithIgnoringAsciiCase(database, "file:")
                             : database.starts_with('/') && database.find(':') == std::string::npos;
  if (!plainPath || !dbaccess::LiesInFolders(database, aPolicy.DatabaseFolders)) {
    throw EDataService("Database \"" + database +
                       "\" refused: database files are opened only in the folders " +
                       Joined(aPolicy.DatabaseFolders));
  }
}

}  // namespace

TAccessPolicy AccessPolicy() {
  return *CurrentPolicy();
}

void SetAccessPolicy(TAccessPolicy aPolicy) {
  auto policy = std::make_shared<const TAccessPolicy>(std::move(aPolicy));
  std::lock_guard lock(gPolicyLock);
  Policy() = std::move(policy);
}

bool IsKindName(const std::string& aName) {
  auto params = TParamsDB::New("");
  for (int kind = 0; kind <= static_cast<int>(TTipoSgdb::tpSQLite); ++kind) {
    if (text::EqualsIgnoringAsciiCase(params->TipoSgdb(static_cast<TTipoSgdb>(kind))->Driver(),
                                      aName)) {
      return true;
    }
  }
  return false;
}

void CheckConnectionChoices(const iParamsDB& aParams) {
  const std::shared_ptr<const TAccessPolicy> policy = CurrentPolicy();
  if (!policy->Kinds.empty() && !Listed(policy->Kinds, aParams.Driver())) {
    throw EDataService("Database kind \"" + KindName(aParams) +
                       "\" refused: this service accepts only the kinds " + Joined(policy->Kinds));
  }
  if (auto refusal = dbaccess::VendorLibRefusal(aParams.LibPath(), policy->LibFolders)) {
    throw EDataService(*refusal);
  }
  CheckHost(*policy, aParams);
  CheckDatabaseFile(*policy, aParams);
}

}  // namespace tandemize::service
