#pragma once
// The PG kind: the PostgreSQL client library loaded at run time.

#include <memory>
#include <string>

#include "dbaccess/internal/phys_driver.h"

namespace tandemize::dbaccess::phys {

// The factory of the kind (see phys_driver.h).
std::unique_ptr<TPhysDriver> CreateDriverPG(const std::string& vendorLib);

}  // namespace tandemize::dbaccess::phys
