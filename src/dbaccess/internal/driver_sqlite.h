#pragma once
// The SQLite kind: the engine linked into the program, or the encrypting
// engine of the plugin when the definition gives a password.

#include <memory>
#include <string>

#include "dbaccess/internal/phys_driver.h"

namespace tandemize::dbaccess::phys {

// The factory of the kind (see phys_driver.h).
std::unique_ptr<TPhysDriver> CreateDriverSQLite(const std::string& vendorLib);

}  // namespace tandemize::dbaccess::phys
