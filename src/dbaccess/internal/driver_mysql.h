#pragma once
// The MySQL kind's connection rules, apart from the client so tests can read
// them.

#include <memory>
#include <string>
#include <string_view>

#include "dbaccess/db_definition.h"
#include "dbaccess/internal/phys_driver.h"

namespace tandemize::dbaccess::phys {

// The factory of the kind (see phys_driver.h).
std::unique_ptr<TPhysDriver> CreateDriverMySQL(const std::string& vendorLib);

// The connection's character set, whatever CharacterSet says: the program's
// text is UTF-8, and utf8mb4 is the server's only set that holds every
// character of it ("utf8" there stops at three bytes and loses emoji).
inline constexpr const char* kMySQLConnectionCharset = "utf8mb4";

// What the client's connect call receives. Empty texts go as "not given";
// Port is 0 (the client's default port) when absent, 0 or not a number.
struct TMySQLConnectArgs {
  std::string Host, User, Password, Database;
  unsigned Port = 0;
};
TMySQLConnectArgs MySQLConnectArgs(const TDbDefinition& definition);

// "[DAL][Phys][MySQL] " + the client's message.
std::string MySQLClientMessage(std::string_view text);

}  // namespace tandemize::dbaccess::phys
