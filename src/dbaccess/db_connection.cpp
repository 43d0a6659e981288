#include "dbaccess/db_connection.h"

#include <algorithm>
#include <cctype>
#include <type_traits>

#include "dbaccess/internal/phys_driver.h"
#include "dbaccess/sql_markers.h"
#include "memtable/mem_table.h"
#include "text/case_fold.h"

namespace tandemize::dbaccess {
namespace {

constexpr int kUnknownParamType = 335;

// The settings reach the clients as C strings, which end at a NUL: a setting
// holding one would open something other than what it names.
void CheckDefinitionTexts(const TDbDefinition& definition) {
  for (const char* name :
       {"DriverID", "Server", "Port", "Database", "User_Name", "Password", "CharacterSet"}) {
    if (definition.Value(name).find('\0') != std::string::npos) {
      throw memtable::EDatabaseError(phys::ClientMessage(
          {"Phys"}, " ", std::string("Invalid ") + name + ": contains a NUL character"));
    }
  }
}

}  // namespace

// ------------------------------------------------------------------ TDbParam

TFieldType TDbParam::DataTypeOf(const TVariant& value) {
  return std::visit(
      [](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        using memtable::TFieldType;
        if constexpr (std::is_same_v<T, bool>)
          return TFieldType::ftBoolean;
        else if constexpr (std::is_same_v<T, std::int8_t>)
          return TFieldType::ftShortint;
        else if constexpr (std::is_same_v<T, std::uint8_t>)
          return TFieldType::ftByte;
        else if constexpr (std::is_same_v<T, std::int16_t>)
          return TFieldType::ftSmallint;
        else if constexpr (std::is_same_v<T, std::uint16_t>)
          return TFieldType::ftWord;
        else if constexpr (std::is_same_v<T, std::int32_t>)
          return TFieldType::ftInteger;
        else if constexpr (std::is_same_v<T, std::uint32_t>)
          return TFieldType::ftLongWord;
        else if constexpr (std::is_same_v<T, std::int64_t> || std::is_same_v<T, std::uint64_t>)
          return TFieldType::ftLargeint;
        else if constexpr (std::is_same_v<T, float>)
          return TFieldType::ftSingle;
        else if constexpr (std::is_same_v<T, double>)
          return TFieldType::ftFloat;
        else if constexpr (std::is_same_v<T, memtable::TCurrency>)
          return TFieldType::ftCurrency;
        else if constexpr (std::is_same_v<T, memtable::TDateTime>)
          return TFieldType::ftDateTime;
        else if constexpr (std::is_same_v<T, memtable::TSQLTimeStamp>)
          return TFieldType::ftTimeStamp;
        else if constexpr (std::is_same_v<T, memtable::TBcdValue>)
          return TFieldType::ftFMTBcd;
        else if constexpr (std::is_same_v<T, memtable::TInterval>)
          return TFieldType::ftOraInterval;
        else if constexpr (std::is_same_v<T, std::string>)
          return TFieldType::ftString;
        else if constexpr (std::is_same_v<T, memtable::TBytes>)
          return TFieldType::ftBlob;
        else
          return TFieldType::ftUnknown;
      },
      value);
}

void TDbParam::SetValue(TVariant value) {
  if (FDataType == TFieldType::ftUnknown) FDataType = DataTypeOf(value);
  FValue = std::move(value);
}

void TDbParam::AssignFieldValue(const memtable::TField& field) {
  field.AssignVariantTo(FValue);
  FDataType = memtable::VarIsNull(FValue) ? field.DataType() : DataTypeOf(FValue);
}

TDbParam* TDbParams::FindParam(std::string_view name) {
  for (const auto& param : FItems) {
    if (text::EqualsIgnoringCase(param->Name(), name)) return param.get();
  }
  return nullptr;
}

TDbParam& TDbParams::ParamByName(std::string_view name) {
  if (TDbParam* param = FindParam(name)) return *param;
  throw memtable::EDatabaseError("Parameter [" + std::string(name) + "] not found");
}

// ---------------------------------------------------------------- TDbSQLText

void TDbSQLText::Clear() {
  FLines.clear();
  if (FOnChange) FOnChange();
}

void TDbSQLText::Add(std::string_view line) {
  FLines.emplace_back(line);
  if (FOnChange) FOnChange();
}

void TDbSQLText::SetText(std::string_view text) {
  FLines.clear();
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      FLines.emplace_back(text.substr(start));
      break;
    }
    FLines.emplace_back(text.substr(start, end - start));
    start = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
  }
  if (FOnChange) FOnChange();
}

std::string TDbSQLText::Text() const {
  std::string text;
  for (const std::string& line : FLines) {
    text += line;
    text += "\r\n";
  }
  return text;
}

// ------------------------------------------------------------- TDbConnection

TDbConnection::TDbConnection() : TDbConnection(TDbDriverRegistry::Instance()) {}

TDbConnection::TDbConnection(TDbDriverRegistry& registry) : FRegistry(registry) {}

TDbConnection::~TDbConnection() {
  Close();
  for (TDbQuery* query : FQueries) query->FConnection = nullptr;
}

void TDbConnection::SetConnected(bool value) {
  if (value == Connected()) return;
  if (!value) {
    Close();
    return;
  }
  if (BeforeConnect) BeforeConnect(*this);
  CheckDefinitionTexts(FParams);
  phys::TPhysDriver& driver = FRegistry.Driver(FParams.DriverID());
  FPhys = driver.Connect(FParams);
  FDriver = &driver;
  FInTransaction = false;
}

void TDbConnection::Close() noexcept {
  if (!Connected()) return;
  for (TDbQuery* query : FQueries) query->Detach();
  // Statements are freed before their session; freeing one never raises.
  FStatements.clear();
  if (FInTransaction) {
    FInTransaction = false;
    try {
      FPhys->Rollback();
    } catch (...) {
      // The session ends anyway; the server discards the transaction.
    }
  }
  FPhys.reset();
  FDriver = nullptr;
}

phys::TPhysDriver& TDbConnection::Driver() const {
  return *FDriver;
}

phys::TPhysConnection& TDbConnection::Phys() {
  if (!Connected()) SetConnected(true);
  return *FPhys;
}

void TDbConnection::StartTransaction() {
  phys::TPhysConnection& phys = Phys();
  if (FInTransaction) {
    throw memtable::EDatabaseError(phys::ClientMessage(
        {"Phys", DriverID()}, " ", "A transaction is already active on this connection"));
  }
  phys.StartTransaction();
  FInTransaction = true;
}

void TDbConnection::Commit() {
  if (!Connected() || !FInTransaction) return;
  try {
    FPhys->Commit();
  } catch (...) {
    // A commit that fails leaves nothing half-done behind: roll back.
    FInTransaction = false;
    try {
      FPhys->Rollback();
    } catch (...) {
    }
    throw;
  }
  FInTransaction = false;
}

void TDbConnection::Rollback() {
  if (!Connected() || !FInTransaction) return;
  FInTransaction = false;
  FPhys->Rollback();
}

phys::TPhysStatement* TDbConnection::Acquire(const std::string& sql, int placeholderCount) {
  auto [first, last] = FStatements.equal_range(sql);
  for (auto it = first; it != last; ++it) {
    if (!it->second.Busy) {
      it->second.Busy = true;
      return it->second.Statement.get();
    }
  }
  std::unique_ptr<phys::TPhysStatement> statement = Phys().Prepare(sql, placeholderCount);
  ++FPrepareCount;
  auto it = FStatements.emplace(sql, TCachedStatement{std::move(statement), true});
  return it->second.Statement.get();
}

void TDbConnection::Release(phys::TPhysStatement* statement) noexcept {
  for (auto& [text, cached] : FStatements) {
    if (cached.Statement.get() == statement) {
      try {
        statement->CloseCursor();
      } catch (...) {
        // Closing a result can fail where the kind ends a transaction it
        // started for the result (FB/IB); the statement is free for reuse
        // either way, and the query that gave it back has nothing to report
        // to (this runs as it is destroyed).
      }
      cached.Busy = false;
      return;
    }
  }
}

// ------------------------------------------------------------------ TDbQuery

TDbQuery::TDbQuery() : FSQL([this] { TextChanged(); }) {}

TDbQuery::TDbQuery(TDbConnection* connection) : TDbQuery() {
  SetConnection(connection);
}

TDbQuery::~TDbQuery() {
  Unlink();
}

void TDbQuery::SetConnection(TDbConnection* connection) {
  if (connection == FConnection) return;
  Unlink();
  if (connection == nullptr) return;
  connection->FQueries.push_back(this);
  FConnection = connection;
  TextChanged();
}

void TDbQuery::Unlink() noexcept {
  ReleaseStatement();
  if (FConnection == nullptr) return;
  auto& queries = FConnection->FQueries;
  queries.erase(std::remove(queries.begin(), queries.end(), this), queries.end());
  FConnection = nullptr;
}

void TDbQuery::Detach() noexcept {
  FStatement = nullptr;
  FActive = false;
  FEof = true;
}

void TDbQuery::ReleaseStatement() noexcept {
  if (FStatement != nullptr && FConnection != nullptr) FConnection->Release(FStatement);
  Detach();
}

void TDbQuery::TextChanged() {
  ReleaseStatement();
  // Nothing of the previous text may run if the new one cannot be read.
  FOccurrences.clear();
  FPhysText.clear();
  FPhysTextDriver.clear();
  const std::string driverId = FConnection != nullptr ? FConnection->DriverID() : std::string();
  const TMarkerScan scan = ScanMarkers(FSQL.Text(), driverId);
  // Rebuild the collection; parameters whose names stay keep their values.
  std::vector<std::unique_ptr<TDbParam>> params;
  for (const std::string& name : scan.Names) {
    std::unique_ptr<TDbParam> kept;
    for (auto& old : FParams.FItems) {
      if (old && old->Name() == name) kept = std::move(old);
    }
    params.push_back(kept ? std::move(kept) : std::make_unique<TDbParam>(name));
  }
  FParams.FItems = std::move(params);
  for (const auto& occurrence : scan.Occurrences) FOccurrences.push_back(occurrence.Name);
}

void TDbQuery::Run() {
  PrepareRun();
  FStatement->Execute(FBinds);
}

phys::TPhysStatement& TDbQuery::Statement() {
  if (FConnection == nullptr) {
    throw memtable::EDatabaseError("[DAL][Phys] The query has no connection");
  }
  FActive = false;
  FEof = true;
  FEmpty = true;
  FRowsAffected = -1;
  if (!FConnection->Connected()) FConnection->SetConnected(true);
  phys::TPhysDriver& driver = FConnection->Driver();
  if (FStatement == nullptr) {
    const std::string text = FSQL.Text();
    if (FPhysTextDriver != driver.DriverID()) {
      // The markers are read again with the quotes of the kind now known.
      const TMarkerScan scan = ScanMarkers(text, driver.DriverID());
      bool sameNames = static_cast<int>(scan.Names.size()) == FParams.Count();
      for (std::size_t i = 0; sameNames && i < scan.Names.size(); ++i) {
        sameNames = scan.Names[i] == FParams[static_cast<int>(i)].Name();
      }
      if (!sameNames) TextChanged();
      FOccurrences.clear();
      for (const auto& occurrence : scan.Occurrences) FOccurrences.push_back(occurrence.Name);
      FPhysText = RewriteMarkers(text, scan, [&](int i) { return driver.Placeholder(i); });
      FPhysTextDriver = std::string(driver.DriverID());
    }
    FStatement = FConnection->Acquire(FPhysText, static_cast<int>(FOccurrences.size()));
  }
  return *FStatement;
}

void TDbQuery::PrepareRun() {
  Statement();
  phys::TPhysDriver& driver = FConnection->Driver();
  std::vector<phys::TPhysBind>& binds = FBinds;
  binds.clear();
  for (const int index : FOccurrences) {
    const TDbParam& param = FParams[index];
    if (param.DataType() == TFieldType::ftUnknown && driver.ChecksUntypedParams()) {
      throw memtable::EDALException(
          {"Phys", driver.DriverID()}, kUnknownParamType,
          "Parameter [" + param.Name() +
              "] data type is unknown. Hint: specify TDbParam.DataType or assign TDbParam value "
              "before Prepare/Execute call");
    }
    binds.push_back({param.Name(), param.DataType(), &param.Value()});
  }
}

void TDbQuery::Open() {
  Run();
  FActive = true;
  FEof = !FStatement->Fetch();
  FEmpty = FEof;
}

void TDbQuery::ExecSQL() {
  Run();
  FRowsAffected = FStatement->RowsAffected();
  FStatement->CloseCursor();
}

void TDbQuery::Close() {
  if (FStatement != nullptr && FActive) FStatement->CloseCursor();
  FActive = false;
  FEof = true;
}

void TDbQuery::Next() {
  if (!FActive || FEof) return;
  FEof = !FStatement->Fetch();
}

int TDbQuery::FieldCount() const {
  return FActive && FStatement != nullptr ? FStatement->ColumnCount() : 0;
}

std::string TDbQuery::FieldName(int index) const {
  if (index < 0 || index >= FieldCount()) {
    throw memtable::EDatabaseError("Field index " + std::to_string(index) + " out of range");
  }
  return FStatement->ColumnName(index);
}

TVariant TDbQuery::FieldValue(int index) const {
  if (index < 0 || index >= FieldCount()) {
    throw memtable::EDatabaseError("Field index " + std::to_string(index) + " out of range");
  }
  if (FEof) return TVariant{};
  return FStatement->ColumnValue(index);
}

TVariant TDbQuery::FieldValue(std::string_view name) const {
  for (int i = 0; i < FieldCount(); ++i) {
    if (text::EqualsIgnoringCase(FStatement->ColumnName(i), name)) return FieldValue(i);
  }
  throw memtable::EDatabaseError("Field '" + std::string(name) + "' not found");
}

}  // namespace tandemize::dbaccess
