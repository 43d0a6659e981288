#pragma once
// Connection parameters of one target database (kind, server, port, catalog,
// character set, database, credentials, client library), with their JSON
// form (the "params" of a request) and an INI form kept beside the program.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.h"

namespace tandemize::service {

// Database kinds, stored in one byte. Any byte value can be held; values above
// tpSQLite have an empty Driver and Protocol.
enum class TTipoSgdb : std::uint8_t { tpFB, tpIB, tpPG, tpMySQL, tpMSSQL, tpSQLite };

// A failure while loading or storing parameters; what() is the message of the
// failure underneath (a JSON parse or conversion error, a file error), unchanged.
class EParamsDB : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The parameters as the rest of the program sees them. Setters and loaders
// return the object itself so that calls chain.
class iParamsDB {
 public:
  using Ref = std::shared_ptr<iParamsDB>;
  virtual ~iParamsDB() = default;

  // Clears aList, then adds "Firebird", "Interbase", "Postgres", "MySQL",
  // "MSSQL", "SQLite".
  virtual Ref listTipoSgdb(std::vector<std::string>& aList) = 0;
  // Parses aJson and loads every field from it (absent keys reset their
  // field). The empty text changes nothing; a text that does not parse
  // leaves every field as it was.
  virtual Ref fromJson(std::string_view aJson) = 0;
  // Loads every field from an object the caller keeps; the lookups add each
  // absent key to it. A null object fails with "JSON Object invalid!".
  virtual Ref fromJson(json::TJsonObject* aJson) = 0;
  // Appends the nine keys to the object the parameters own and returns it.
  virtual json::TJsonObject& toJson() = 0;
  // Loads the INI form, creating the file from the current values first when
  // it does not exist.
  virtual Ref ReadIni() = 0;
  virtual Ref WriteIni() = 0;

  virtual TTipoSgdb TipoSgdb() const = 0;
  virtual Ref TipoSgdb(TTipoSgdb Value) = 0;
  virtual std::string Driver() const = 0;    // "FB", "IB", "PG", "MySQL", "MSSQL", "SQLite"
  virtual std::string Protocol() const = 0;  // "firebird", ..., "sqlite-3"
  virtual std::string Host() const = 0;
  virtual Ref Host(std::string_view Value) = 0;
  virtual std::int32_t Port() const = 0;
  virtual std::string PortString() const = 0;
  virtual Ref Port(std::int32_t Value) = 0;
  // Reads as many digits as there are (decimal, or hexadecimal after "$",
  // "x" or "0x", with optional sign); 0 when none. Never fails.
  virtual Ref Port(std::string_view Value) = 0;
  virtual std::string Catalog() const = 0;
  virtual Ref Catalog(std::string_view Value) = 0;
  virtual std::string CharacterSet() const = 0;
  virtual Ref CharacterSet(std::string_view Value) = 0;
  virtual std::string Database() const = 0;
  virtual Ref Database(std::string_view Value) = 0;
  virtual std::string User() const = 0;
  virtual Ref User(std::string_view Value) = 0;
  virtual std::string Password() const = 0;
  virtual Ref Password(std::string_view Value) = 0;
  virtual std::string LibPath() const = 0;
  virtual Ref LibPath(std::string_view Value) = 0;
};

// The parameters object. It lives as long as a reference to it exists; create
// it with New (a TParamsDB made any other way cannot hand out its interface).
class TParamsDB final : public iParamsDB, public std::enable_shared_from_this<TParamsDB> {
 public:
  explicit TParamsDB(std::string_view aSecao);
  static Ref New(std::string_view aSecao);

  // INI file name, relative to the program's folder; blank means the
  // program's own name with the extension ".ini".
  Ref setIniFile(std::string_view Value);
  const std::string& IniFile() const { return FIniFile; }
  const std::string& Secao() const { return FSecao; }

  Ref listTipoSgdb(std::vector<std::string>& aList) override;
  Ref fromJson(std::string_view aJson) override;
  Ref fromJson(json::TJsonObject* aJson) override;
  json::TJsonObject& toJson() override;
  Ref ReadIni() override;
  Ref WriteIni() override;

  TTipoSgdb TipoSgdb() const override { return FTipoSgdb; }
  Ref TipoSgdb(TTipoSgdb Value) override;
  std::string Driver() const override;
  std::string Protocol() const override;
  std::string Host() const override { return FHost; }
  Ref Host(std::string_view Value) override;
  std::int32_t Port() const override { return FPort; }
  std::string PortString() const override;
  Ref Port(std::int32_t Value) override;
  Ref Port(std::string_view Value) override;
  std::string Catalog() const override { return FCatalog; }
  Ref Catalog(std::string_view Value) override;
  std::string CharacterSet() const override { return FCharacterSet; }
  Ref CharacterSet(std::string_view Value) override;
  std::string Database() const override { return FDatabase; }
  Ref Database(std::string_view Value) override;
  std::string User() const override { return FUser; }
  Ref User(std::string_view Value) override;
  std::string Password() const override { return FPassword; }
  Ref Password(std::string_view Value) override;
  std::string LibPath() const override { return FLibPath; }
  Ref LibPath(std::string_view Value) override;

 private:
  Ref Self() { return shared_from_this(); }
  void LoadFromJson(json::TJsonObject& aJson);
  // The program's folder followed by FIniFile (defaulted first when blank).
  std::string IniFilePath();

  std::string FIniFile;
  TTipoSgdb FTipoSgdb = TTipoSgdb::tpFB;
  std::string FHost;
  std::int32_t FPort = 0;
  std::string FCatalog;
  std::string FCharacterSet;
  std::string FDatabase;
  std::string FUser;
  std::string FPassword;
  std::string FLibPath;
  std::string FSecao;
  std::unique_ptr<json::TJsonObject> FJson;
};

}  // namespace tandemize::service
