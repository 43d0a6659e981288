#pragma once
// The requests a client sends: connection parameters in the service's JSON
// form, the envelope that names the target table, and the rows, either inside
// the JSON envelope or as a binary dataset stream beside it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/schema.h"
#include "memtable/variant.h"

namespace tandemize::cli {

// The database kinds by the names the command line takes ("pg", "mysql",
// "firebird", "interbase", "mssql", "sqlite") and the numbers the service
// reads in "tipo_sgdb".
std::optional<int> KindNumber(std::string_view aName);

struct TConnection {
  int Kind = 0;
  std::string Host;
  int Port = 0;
  std::string Catalog, Charset, Database, User, Password, Lib;
};

// {"tipo_sgdb":..,"host":..,"port":..,"catalog":..,"charset":..,"database":..,
//  "user":..,"password":..,"lib":..}
std::string ParamsJson(const TConnection& aConnection);

struct TTarget {
  std::string Table;
  std::vector<std::string> Keys;    // key columns, in key order
  std::vector<std::string> Fields;  // the other columns to write
};

// The rows to send: the columns of the target (keys, then fields) and one
// converted value per column.
struct TRows {
  std::vector<TColumnSchema> Columns;
  std::vector<std::vector<memtable::TVariant>> Values;
};

// {"params":{...},"headers":{"teble_name":..,"pks":[..],"fields":[..]}}: the
// "x-request" header of a binary import.
std::string HeaderEnvelope(const TConnection& aConnection, const TTarget& aTarget);
// The whole JSON envelope with rows [aFirst, aFirst + aCount) under "tandemize".
std::string JsonEnvelope(const TConnection& aConnection, const TTarget& aTarget, const TRows& aRows,
                         std::size_t aFirst, std::size_t aCount);
// The binary dataset stream of those rows, a table named like the target.
std::string BinaryRows(const TTarget& aTarget, const TRows& aRows, std::size_t aFirst,
                       std::size_t aCount);

}  // namespace tandemize::cli
