#pragma once
// The FB and IB kinds' connection rules, apart from the client so tests can
// read them.

#include <memory>
#include <string>
#include <string_view>

#include "dbaccess/db_definition.h"
#include "dbaccess/internal/phys_driver.h"

namespace tandemize::dbaccess::phys {

// The factories of the two kinds (see phys_driver.h).
std::unique_ptr<TPhysDriver> CreateDriverFB(const std::string& vendorLib);
std::unique_ptr<TPhysDriver> CreateDriverIB(const std::string& vendorLib);

// The connection character set, whatever CharacterSet says: the program's
// text is UTF-8, and a narrower set would lose characters on the way in.
inline constexpr const char* kFirebirdConnectionCharset = "UTF8";

// With a Server: Server, "/" Port when Port is set, ":" Database; without a
// Server: Database alone (a local or embedded attachment).
std::string FirebirdDatabaseString(const TDbDefinition& definition);

// "[DAL][Phys][<driverId>]" directly followed by the client's message.
std::string FirebirdClientMessage(std::string_view driverId, std::string_view text);

}  // namespace tandemize::dbaccess::phys
