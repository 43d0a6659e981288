#pragma once
// What a request may make the service load, reach or open: the client
// library it names, and (only when the operator lists them) the database
// kinds, the hosts and the folders of database files. The program sets the
// policy once before serving; the data service checks every connection
// against it before anything is loaded or opened.

#include <string>
#include <vector>

#include "service/params_db.h"

namespace tandemize::service {

struct TAccessPolicy {
  // Folders client libraries may also be loaded from, beside the system's.
  std::vector<std::string> LibFolders;
  // Database kinds by driver id ("FB", "IB", "PG", "MySQL", "MSSQL",
  // "SQLite", any letter case); empty: every kind.
  std::vector<std::string> Kinds;
  // Hosts a connection may go to, compared ignoring letter case; a server
  // kind without a host counts as "localhost". Empty: every host.
  std::vector<std::string> Hosts;
  // Folders database files may be opened or created in (SQLite, and
  // Firebird/InterBase without a host). Empty: anywhere.
  std::vector<std::string> DatabaseFolders;
};

// The policy in force; the default one holds no list.
TAccessPolicy AccessPolicy();
void SetAccessPolicy(TAccessPolicy aPolicy);

// Whether aName is a database kind's driver id (ignoring letter case).
bool IsKindName(const std::string& aName);

// Raises EDataService with a message naming the rule when aParams name a
// client library, kind, host or database file the policy does not allow.
void CheckConnectionChoices(const iParamsDB& aParams);

}  // namespace tandemize::service
