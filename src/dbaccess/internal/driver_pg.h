#pragma once
// The PG kind: the PostgreSQL client library loaded at run time.

#include <memory>
#include <string>

#include "dbaccess/internal/phys_driver.h"

namespace tandemize::dbaccess::phys {

// The factory of the kind (see phys_driver.h).
std::unique_ptr<TPhysDriver> CreateDriverPG(const std::string& vendorLib);

// Tests only: while this object lives, the loaded client counts as one
// without pipeline mode (a client older than version 14, which has no
// PQenterPipelineMode), so connections offer no batches. The service never
// makes one.
class TScopedPgWithoutPipeline {
 public:
  TScopedPgWithoutPipeline();
  ~TScopedPgWithoutPipeline();
  TScopedPgWithoutPipeline(const TScopedPgWithoutPipeline&) = delete;
  TScopedPgWithoutPipeline& operator=(const TScopedPgWithoutPipeline&) = delete;

 private:
  bool FPrevious;
};

}  // namespace tandemize::dbaccess::phys
