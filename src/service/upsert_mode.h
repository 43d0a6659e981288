#pragma once
// How PG imports send the upsert's statements, for the whole process (the
// [Server] pg_upsert key):
//   sequential  each statement waits for the answer of the one before;
//   pipelined   the same statements in the same order per row, sent a window
//               of rows at a time without waiting for each answer (the
//               default; sequential where the client has no pipeline mode);
//   set         every row loaded into a temporary table with the server's
//               bulk load, then one statement per window of rows that updates
//               the rows found and inserts the others.
// Other kinds always run sequential.

#include <string_view>

namespace tandemize::service {

enum class TPgUpsert { Sequential, Pipelined, Set };

TPgUpsert PgUpsertMode() noexcept;
void SetPgUpsertMode(TPgUpsert aMode) noexcept;
// "sequential", "pipelined" or "set" (any letter case); false for another text.
bool ParsePgUpsertMode(std::string_view aText, TPgUpsert& aMode);
std::string_view PgUpsertModeName(TPgUpsert aMode);

}  // namespace tandemize::service
