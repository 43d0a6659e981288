#pragma once
// The rows a client loads, read from a CSV file (with a header line), a JSON
// Lines file (one object per line) or a table of a SQLite database file.
// Values stay text until the schema says what they are; every value keeps the
// line it was read from, so that a bad one can be pointed at.

#include <cstdint>
#include <istream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tandemize::cli {

// Input that cannot be read or a value that does not fit its column; the
// message names the place ("orders.csv:4: column 2 (price): ...").
class EInputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TCellKind : std::uint8_t {
  ckNull,
  ckText,     // text as read (CSV, JSON strings and numbers, SQLite text)
  ckInteger,  // a SQLite integer, as decimal text
  ckReal,     // a SQLite real, as text with 17 significant digits
  ckBytes,    // a SQLite blob, its bytes in Text
};

struct TCell {
  TCellKind Kind = TCellKind::ckNull;
  std::string Text;
};

struct TSourceRow {
  std::uint32_t Line = 0;            // where the row begins (1-based; SQLite: row number)
  std::vector<std::uint32_t> Lines;  // where each value begins (CSV only, else empty)
  std::vector<TCell> Cells;          // one per column
};

struct TSourceTable {
  std::string Origin;  // file name, for messages
  std::vector<std::string> Columns;
  std::vector<TSourceRow> Rows;

  // "orders.csv:4: column 2 (price)" for a value of a row.
  std::string Where(const TSourceRow& aRow, std::size_t aColumn) const;
};

// CSV after RFC 4180: comma separated, double quotes around values that hold
// commas, quotes ("" inside) or line breaks. The first record names the
// columns. An unquoted empty value is null, a quoted one ("") is empty text.
TSourceTable ReadCsv(std::istream& aInput, std::string aOrigin);
// One JSON object per line (blank lines skipped); the columns are the
// members in the order they first appear, and a row without one is null there.
TSourceTable ReadJsonLines(std::istream& aInput, std::string aOrigin);
// Every row of a table of a SQLite database file, opened read-only.
TSourceTable ReadSqliteTable(const std::string& aFile, const std::string& aTable);

// SOURCE as the command line gives it: "sqlite:FILE:TABLE", a file ending in
// ".jsonl", ".ndjson" or ".json" (JSON Lines), anything else CSV; "-" reads CSV
// from standard input.
TSourceTable ReadSource(const std::string& aSource);

}  // namespace tandemize::cli
