#pragma once
// The texts of the data service's verdicts, as clients receive them.

namespace tandemize::service {

// Messages of the import and connection test, as clients receive them.
inline constexpr const char* kImportSucceeded = "Dados Importado com sucesso!";
inline constexpr const char* kContentInvalid = "Conteúdo invalid!";
inline constexpr const char* kDataNotFound = "Data not found!";
inline constexpr const char* kDataInvalid = "Dados invalid!";
inline constexpr const char* kParamsNotFound = "Params not found!";
inline constexpr const char* kHeadersNotFound = "Headers not found!";
inline constexpr const char* kTableNameNotFound = "Tablename not found!";
inline constexpr const char* kPrimaryKeyNotFound = "Primary key not found!";
inline constexpr const char* kFieldsNotFound = "Fields not found!";
inline constexpr const char* kNoRecords = "No records to tandemize!";
inline constexpr const char* kConnectionTestOk = "Teste de conexão ok!";
// A key column of "pks" that the rows lack; {} is the key name.
inline constexpr const char* kKeyFieldNotFound = "Key field '{}' not found in the rows";
// A table or column name that is not a plain or quoted identifier; {} is the name.
inline constexpr const char* kIdentifierRefused = "Invalid identifier: {}";

}  // namespace tandemize::service
