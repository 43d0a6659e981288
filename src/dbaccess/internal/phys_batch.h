#pragma once
// What a physical connection may offer beyond one statement at a time:
// several runs of prepared statements sent without waiting for each answer,
// and one run whose parameters are arrays (one element per row). Internal to
// src/dbaccess; a connection that offers it derives from TPhysBatching too.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "dbaccess/db_batch.h"
#include "dbaccess/internal/phys_driver.h"

namespace tandemize::dbaccess::phys {

// One run of a prepared statement of the connection.
struct TPhysRun {
  TPhysStatement* Statement = nullptr;
  std::span<const TPhysBind> Binds;
};

// One array parameter: the value of every row and the data type it is sent as.
struct TPhysArrayBind {
  std::span<const TFieldType> Types;
  std::span<const TVariant> Values;
};

using dbaccess::EBatchRunFailed;

class TPhysBatching {
 public:
  virtual ~TPhysBatching() = default;
  // False when the loaded client or the server cannot send runs together.
  virtual bool CanBatch() const = 0;
  // Sends every run, in order, then reads the answers. counts[i] is the
  // number of rows run i returned, or changed when it returns none. The
  // first run that fails raises EBatchRunFailed; the runs after it are not
  // carried out, and the transaction they were in is aborted.
  virtual void RunBatch(std::span<const TPhysRun> runs, std::span<std::int64_t> counts) = 0;
  // Runs `statement` once with array parameters (text form), one per
  // placeholder; returns the rows changed.
  virtual std::int64_t RunWithArrays(TPhysStatement& statement,
                                     std::span<const TPhysArrayBind> arrays) = 0;
};

}  // namespace tandemize::dbaccess::phys
