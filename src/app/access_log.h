#pragma once
// The access log: one line per request the web layer answers, off unless the
// operator names where it goes (log=, --log). A line holds when the request
// arrived (UTC), the client's address, the method, the path (never the
// query, which may carry credentials), the status, the body bytes in and
// out, how long the service took, and what the route added (for an import:
// kind, table, rows, result and a failure's message). Never a password, a
// connection string or a row value.
//
//   2026-12-10T14:30:00.123Z 10.0.0.7 POST /tandemize 200 in=5120 out=58 ms=41.207
//     kind=PG table=clientes rows=100 result=ok          (one line in the file)

#include <functional>
#include <string>

#include "web/web_layer.h"

namespace tandemize::app {

// The line of aRecord, without its line break.
std::string AccessLogLine(const web::TAccessRecord& aRecord);

// An open access log.
struct TAccessLogOutput {
  // Writes every record's line; empty when the log is off.
  web::TAccessLogCallback Write;
  // Closes the file and opens the same name again (after a log rotation has
  // moved the file away); nothing for stdout and stderr. Lines written
  // meanwhile wait for it, none is lost. When the name cannot be opened any
  // more, the log stays with the file it had and says so on stderr. Never
  // throws. Empty when the log is off.
  std::function<void()> Reopen;
};

// The access log to aDestination: "stdout", "stderr", or a file appended to
// (created when missing). Lines of concurrent requests never mix. Throws
// EConfigError naming the key "log" when the file cannot be opened.
TAccessLogOutput OpenAccessLog(const std::string& aDestination);

}  // namespace tandemize::app
