#pragma once
// The rows every import benchmark writes, and the request bodies that carry
// them to the service: a JSON envelope and a binary dataset stream.
//
// Table bench_rows: id integer key, nome text (20 to 60 characters with
// accents), valor double, dia date, dados a small blob.

#include <cstdint>
#include <string>
#include <vector>

namespace tandemize::bench {

struct TBenchRow {
  std::int32_t Id = 0;
  std::string Nome;  // UTF-8
  double Valor = 0;
  int Year = 2000, Month = 1, Day = 1;
  std::vector<std::uint8_t> Dados;

  // "YYYY-MM-DD".
  std::string DiaText() const;
};

// Rows with keys 1..aCount. aSeed changes every non-key value, so a table
// filled with one seed is really rewritten by an import of another.
std::vector<TBenchRow> MakeRows(int aCount, int aSeed);

inline constexpr const char* kBenchTable = "bench_rows";

// The envelope's "params" object for a database kind ("sqlite", "pg",
// "mysql"); aDatabase is the SQLite file for that kind.
std::string ParamsJson(const std::string& aKind, const std::string& aDatabase);
// {"params":...,"headers":...} as the x-request header of a binary import.
std::string HeaderJson(const std::string& aParams);
// The whole JSON envelope with "tandemize" structure and data.
std::string JsonBody(const std::string& aParams, const std::vector<TBenchRow>& aRows);
// The rows as a binary dataset stream.
std::string BinaryBody(const std::vector<TBenchRow>& aRows);

}  // namespace tandemize::bench
