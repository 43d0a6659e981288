#pragma once
// The FB and IB kinds' connection rules, apart from the client so tests can
// read them. Internal to src/dbaccess.

#include <string>
#include <string_view>

#include "dbaccess/db_definition.h"

namespace tandemize::dbaccess::phys {

// The connection character set, whatever CharacterSet says: the program's
// text is UTF-8, and a narrower set would lose characters on the way in.
inline constexpr const char* kFirebirdConnectionCharset = "UTF8";

// With a Server: Server, "/" Port when Port is set, ":" Database; without a
// Server: Database alone (a local or embedded attachment).
std::string FirebirdDatabaseString(const TDbDefinition& definition);

// "[DAL][Phys][<driverId>]" directly followed by the client's message.
std::string FirebirdClientMessage(std::string_view driverId, std::string_view text);

}  // namespace tandemize::dbaccess::phys
