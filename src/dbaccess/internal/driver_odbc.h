#pragma once
// The MSSQL kind's connection rules, apart from the driver manager so tests
// can read them.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dbaccess/db_definition.h"
#include "dbaccess/internal/phys_driver.h"

namespace tandemize::dbaccess::phys {

// The factory of the kind (see phys_driver.h).
std::unique_ptr<TPhysDriver> CreateDriverMSSQL(const std::string& vendorLib);

// The SQL Server ODBC drivers the kind looks for, most wanted first.
inline constexpr std::string_view kMSSQLDriverNames[] = {"SQL SERVER NATIVE CLIENT 11.0",
                                                         "ODBC DRIVER 13 FOR SQL SERVER",
                                                         "ODBC DRIVER 11 FOR SQL SERVER",
                                                         "ODBC DRIVER 17 FOR SQL SERVER",
                                                         "SQL SERVER NATIVE CLIENT 10.0",
                                                         "SQL NATIVE CLIENT",
                                                         "SQL SERVER"};

// The installed driver (as the driver manager spells it) whose name comes
// first in kMSSQLDriverNames, compared ignoring letter case; empty when none.
std::string ChooseMSSQLDriver(const std::vector<std::string>& installed);

// "DRIVER=<driver>;SERVER=...;DATABASE=...;UID=...;PWD=..." (absent settings
// left out; a value holding ';', '{' or '}' or surrounding blanks is written
// in braces so it cannot add keys), plus ";MARS_Connection=yes" for the
// native-client, 11 and 13 drivers unless the text already names
// MARS_CONNECTION=. Port and CharacterSet are not used.
std::string MSSQLConnectionString(std::string_view driver, const TDbDefinition& definition);

// "[DAL][Phys][ODBC]" directly followed by the diagnostic message.
std::string ODBCClientMessage(std::string_view text);

}  // namespace tandemize::dbaccess::phys
