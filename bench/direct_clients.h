#pragma once
// Direct clients: the statements the service runs for an import (per row an
// existence query on the key, then UPDATE or INSERT; each prepared once; one
// transaction), run straight through each kind's own client library with the
// values already in memory. They are the baseline the service is measured
// against, so they do nothing the service does not have to do.

#include <memory>
#include <string>
#include <vector>

#include "bench_data.h"

namespace tandemize::bench {

// The statement texts with ":name" markers, exactly as the service builds
// them for bench_rows (checked against the service's builders at start-up).
struct TImportSql {
  std::string Exists, Update, Insert;
};
TImportSql ServiceSql();

class TDirectClient {
 public:
  virtual ~TDirectClient() = default;
  // Drops and creates bench_rows; with aPrefill it then holds every key of
  // aPrefill (not timed: it sets the table up for one run).
  virtual void ResetTable(const std::vector<TBenchRow>* aPrefill) = 0;
  // One import: connect, one transaction, per row exists + UPDATE/INSERT,
  // commit, disconnect.
  virtual void Import(const std::vector<TBenchRow>& aRows) = 0;
  // The fastest way the kind's client has to the same final table, the
  // anchor of the latency figures: PG copies the rows into a temporary table
  // and merges it with one INSERT ... ON CONFLICT DO UPDATE. Other kinds
  // have none here.
  virtual void ImportCopy(const std::vector<TBenchRow>& aRows);
  // Rows now in bench_rows (checks a run really wrote them).
  virtual long long CountRows() = 0;
};

// aKind: "sqlite" (aDatabase is the file), "pg" or "mysql" (coordinates from
// the TANDEMIZE_PG_* / TANDEMIZE_MYSQL_* environment).
std::unique_ptr<TDirectClient> MakeDirectClient(const std::string& aKind,
                                                const std::string& aDatabase);

}  // namespace tandemize::bench
