#pragma once
// The statement texts of the upsert engine, built from the "headers" object
// of an import ({"teble_name":..,"pks":[..],"fields":[..]}): for each row an
// existence query on the key columns, then an UPDATE of the other columns or
// an INSERT of all of them (TDM::Tandemize runs them, upsert.cpp).

#include <string>
#include <vector>

#include "json/json.h"

namespace tandemize::service {

// The existence query's three lines: "SELECT *  ", "  FROM <table> ",
// " WHERE <conditions> ".
std::vector<std::string> BuildExistsSql(json::TJsonObject& H);
std::string BuildUpdateSql(json::TJsonObject& H);
std::string BuildInsertSql(json::TJsonObject& H);

}  // namespace tandemize::service
