#pragma once
// What a physical connection may offer beyond one statement at a time:
// several runs of prepared statements sent without waiting for each answer,
// and rows streamed into a table by the server's bulk load. Internal to
// src/dbaccess; a connection that offers it derives from TPhysBatching too.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dbaccess/db_batch.h"
#include "dbaccess/internal/phys_driver.h"

namespace tandemize::dbaccess::phys {

// One run of a prepared statement of the connection.
struct TPhysRun {
  TPhysStatement* Statement = nullptr;
  std::span<const TPhysBind> Binds;
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

  // Bulk load. StartCopy runs `sql` (a "COPY ... FROM STDIN" of the kind's
  // text form), AppendCopyValue writes one value in that form (a separator
  // or row end is the caller's), SendCopyData sends written rows, and
  // EndCopy ends the load and returns the rows loaded. A failure raises the
  // server's message; the transaction is then aborted. AbandonCopy ends an
  // unfinished load as failed, never raising (the transaction is aborted).
  virtual void StartCopy(const std::string& sql) = 0;
  virtual void AppendCopyValue(std::string& out, const TPhysBind& bind) const = 0;
  virtual void SendCopyData(std::string_view data) = 0;
  virtual std::int64_t EndCopy() = 0;
  virtual void AbandonCopy() noexcept = 0;
};

}  // namespace tandemize::dbaccess::phys
