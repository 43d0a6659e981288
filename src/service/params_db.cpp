#include "service/params_db.h"

#include <array>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <filesystem>
#include <system_error>

#include "json/json_text.h"
#include "text/case_fold.h"

namespace tandemize::service {
namespace {

namespace fs = std::filesystem;
namespace pt = boost::property_tree;

struct TKindTexts {
  const char* driver;
  const char* protocol;
  const char* display;
};

constexpr std::array<TKindTexts, 6> kKinds = {{
    {"FB", "firebird", "Firebird"},
    {"IB", "interbase", "Interbase"},
    {"PG", "postgresql", "Postgres"},
    {"MySQL", "mysql", "MySQL"},
    {"MSSQL", "mssql", "MSSQL"},
    {"SQLite", "sqlite-3", "SQLite"},
}};

const TKindTexts* KindTexts(TTipoSgdb kind) {
  const auto index = static_cast<std::size_t>(kind);
  return index < kKinds.size() ? &kKinds[index] : nullptr;
}

// The folder of the running program, from the kernel's link to it.
fs::path ProgramFile() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) throw EParamsDB("Cannot locate the program file: " + ec.message());
  return exe;
}

bool IsBlank(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) > 32) return false;
  }
  return true;
}

// INI keys and section names are matched ignoring letter case, as INI files
// are usually read.
pt::ptree* FindChild(pt::ptree& tree, std::string_view name) {
  for (auto& [key, child] : tree) {
    if (text::EqualsIgnoringAsciiCase(key, name)) return &child;
  }
  return nullptr;
}

void SetChild(pt::ptree& section, std::string_view key, const std::string& value) {
  if (pt::ptree* existing = FindChild(section, key)) {
    existing->put_value(value);
  } else {
    section.push_back({std::string(key), pt::ptree(value)});
  }
}

std::string ReadString(pt::ptree* section, std::string_view key) {
  if (section == nullptr) return {};
  const pt::ptree* child = FindChild(*section, key);
  return child ? child->data() : std::string();
}

// A missing entry, or one that does not read wholly as an integer, gives 0.
std::int32_t ReadInteger(pt::ptree* section, std::string_view key) {
  return json::TryReadInt32(ReadString(section, key)).value_or(0);
}

// The text of aKey. A connection text goes to the database client as a C
// string, which would end at a NUL: a text holding one is refused whole,
// named by its key.
std::string ConnectionText(json::TJsonObject& aJson, const char* aKey) {
  std::string text = aJson[aKey].AsString();
  if (text.find('\0') != std::string::npos) {
    throw EParamsDB("Invalid " + std::string(aKey) + ": contains a NUL character");
  }
  return text;
}

// Rethrows whatever failed as the parameters' own error, message unchanged.
template <typename Fn>
void Guarded(Fn&& fn) {
  try {
    fn();
  } catch (const EParamsDB&) {
    throw;
  } catch (const std::exception& e) {
    throw EParamsDB(e.what());
  }
}

}  // namespace

TParamsDB::TParamsDB(std::string_view aSecao) : FSecao(aSecao) {}

iParamsDB::Ref TParamsDB::New(std::string_view aSecao) {
  return std::make_shared<TParamsDB>(aSecao);
}

iParamsDB::Ref TParamsDB::setIniFile(std::string_view Value) {
  FIniFile = Value;
  return Self();
}

iParamsDB::Ref TParamsDB::listTipoSgdb(std::vector<std::string>& aList) {
  aList.clear();
  for (const TKindTexts& kind : kKinds) aList.emplace_back(kind.display);
  return Self();
}

// ---------------------------------------------------------------------------
// JSON form

void TParamsDB::LoadFromJson(json::TJsonObject& aJson) {
  // Every field is assigned on every load; an absent key reads as 0 or "".
  // A value that cannot be taken stops the load there.
  FTipoSgdb = static_cast<TTipoSgdb>(static_cast<std::uint8_t>(aJson["tipo_sgdb"].AsInteger()));
  FHost = ConnectionText(aJson, "host");
  FPort = static_cast<std::int32_t>(static_cast<std::uint32_t>(aJson["port"].AsInteger()));
  FCatalog = ConnectionText(aJson, "catalog");
  FCharacterSet = ConnectionText(aJson, "charset");
  FDatabase = ConnectionText(aJson, "database");
  FUser = ConnectionText(aJson, "user");
  FPassword = ConnectionText(aJson, "password");
  FLibPath = ConnectionText(aJson, "lib");
}

iParamsDB::Ref TParamsDB::fromJson(std::string_view aJson) {
  if (aJson.empty()) return Self();
  Guarded([&] {
    if (!FJson) FJson = std::make_unique<json::TJsonObject>();
    FJson->Clear();
    FJson->Parse(aJson);
    LoadFromJson(*FJson);
  });
  return Self();
}

iParamsDB::Ref TParamsDB::fromJson(json::TJsonObject* aJson) {
  if (aJson == nullptr) throw EParamsDB("JSON Object invalid!");
  Guarded([&] { LoadFromJson(*aJson); });
  return Self();
}

json::TJsonObject& TParamsDB::toJson() {
  Guarded([&] {
    if (!FJson) FJson = std::make_unique<json::TJsonObject>();
    FJson->Put("tipo_sgdb", static_cast<std::int64_t>(FTipoSgdb));
    FJson->Put("host", FHost);
    FJson->Put("port", static_cast<std::int64_t>(FPort));
    FJson->Put("catalog", FCatalog);
    FJson->Put("charset", FCharacterSet);
    FJson->Put("database", FDatabase);
    FJson->Put("user", FUser);
    FJson->Put("password", FPassword);
    FJson->Put("lib", FLibPath);
  });
  return *FJson;
}

// ---------------------------------------------------------------------------
// INI form

std::string TParamsDB::IniFilePath() {
  const fs::path exe = ProgramFile();
  if (IsBlank(FIniFile)) {
    FIniFile = fs::path(exe.filename()).replace_extension(".ini").string();
  }
  std::string path = exe.parent_path().string();
  if (path.empty() || path.back() != '/') path += '/';
  return path + FIniFile;
}

iParamsDB::Ref TParamsDB::WriteIni() {
  Guarded([&] {
    const std::string path = IniFilePath();
    // Other sections and keys of an existing file are kept.
    pt::ptree tree;
    if (fs::exists(path)) pt::read_ini(path, tree);
    pt::ptree* section = FindChild(tree, FSecao);
    if (section == nullptr) section = &tree.push_back({FSecao, pt::ptree()})->second;
    SetChild(*section, "Sgdb", std::to_string(static_cast<int>(FTipoSgdb)));
    SetChild(*section, "Host", FHost);
    SetChild(*section, "Port", std::to_string(FPort));
    SetChild(*section, "Catalog", FCatalog);
    SetChild(*section, "CharSet", FCharacterSet);
    SetChild(*section, "Database", FDatabase);
    SetChild(*section, "User", FUser);
    SetChild(*section, "Password", FPassword);
    SetChild(*section, "Lib", FLibPath);
    pt::write_ini(path, tree);
  });
  return Self();
}

iParamsDB::Ref TParamsDB::ReadIni() {
  Guarded([&] {
    const std::string path = IniFilePath();
    if (!fs::exists(path)) WriteIni();
    pt::ptree tree;
    pt::read_ini(path, tree);
    pt::ptree* section = FindChild(tree, FSecao);
    FTipoSgdb = static_cast<TTipoSgdb>(static_cast<std::uint8_t>(ReadInteger(section, "Sgdb")));
    FHost = ReadString(section, "Host");
    FPort = ReadInteger(section, "Port");
    FCatalog = ReadString(section, "Catalog");
    FCharacterSet = ReadString(section, "CharSet");
    FDatabase = ReadString(section, "Database");
    FUser = ReadString(section, "User");
    FPassword = ReadString(section, "Password");
    FLibPath = ReadString(section, "Lib");
  });
  return Self();
}

// ---------------------------------------------------------------------------
// Fields

iParamsDB::Ref TParamsDB::TipoSgdb(TTipoSgdb Value) {
  FTipoSgdb = Value;
  return Self();
}

std::string TParamsDB::Driver() const {
  const TKindTexts* kind = KindTexts(FTipoSgdb);
  return kind ? kind->driver : "";
}

std::string TParamsDB::Protocol() const {
  const TKindTexts* kind = KindTexts(FTipoSgdb);
  return kind ? kind->protocol : "";
}

iParamsDB::Ref TParamsDB::Host(std::string_view Value) {
  FHost = Value;
  return Self();
}

std::string TParamsDB::PortString() const {
  return std::to_string(FPort);
}

iParamsDB::Ref TParamsDB::Port(std::int32_t Value) {
  FPort = Value;
  return Self();
}

iParamsDB::Ref TParamsDB::Port(std::string_view Value) {
  // Digits are read up to the first character that is not one; what was
  // read stands (32-bit, wrapping).
  std::size_t i = 0;
  while (i < Value.size() && (Value[i] == ' ' || Value[i] == '\t')) ++i;
  bool negative = false;
  if (i < Value.size() && (Value[i] == '+' || Value[i] == '-')) negative = Value[i++] == '-';
  unsigned base = 10;
  if (i < Value.size() && (Value[i] == '$' || Value[i] == 'x' || Value[i] == 'X')) {
    base = 16;
    ++i;
  } else if (i + 1 < Value.size() && Value[i] == '0' &&
             (Value[i + 1] == 'x' || Value[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  std::uint32_t value = 0;
  for (; i < Value.size(); ++i) {
    const char c = Value[i];
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      break;
    }
    value = value * base + digit;
  }
  FPort = static_cast<std::int32_t>(negative ? 0u - value : value);
  return Self();
}

iParamsDB::Ref TParamsDB::Catalog(std::string_view Value) {
  FCatalog = Value;
  return Self();
}

iParamsDB::Ref TParamsDB::CharacterSet(std::string_view Value) {
  FCharacterSet = Value;
  return Self();
}

iParamsDB::Ref TParamsDB::Database(std::string_view Value) {
  FDatabase = Value;
  return Self();
}

iParamsDB::Ref TParamsDB::User(std::string_view Value) {
  FUser = Value;
  return Self();
}

iParamsDB::Ref TParamsDB::Password(std::string_view Value) {
  FPassword = Value;
  return Self();
}

iParamsDB::Ref TParamsDB::LibPath(std::string_view Value) {
  FLibPath = Value;
  return Self();
}

}  // namespace tandemize::service
