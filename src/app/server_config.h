#pragma once
// The program's settings: the [Server] section of the INI file beside the
// program (or the file --config names), then the command line over it.
// Every setting is optional; without any the program serves exactly as it
// always has (port 9095, every interface, tulip/tulip, the limits of
// web/limits.h). A key or option that is not known, or a value that is not
// good, stops the start with a message naming it (exit status 2): nothing
// is ever defaulted silently.

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "service/access_policy.h"
#include "service/upsert_mode.h"
#include "web/provider.h"

namespace tandemize::app {

// Exit status of a start refused because of its settings.
inline constexpr int kConfigErrorExit = 2;

// The INI section the program reads; other sections belong to others
// (the connection parameters' "db", ...).
inline constexpr const char* kServerSection = "Server";

struct TServerConfig {
  int Port = 9095;
  std::string Bind = "0.0.0.0";
  std::string User = "tulip";
  std::string Password = "tulip";
  std::string PasswordHash;  // a crypt(3) hash; when set, Password is not used
  web::TListenerLimits Limits;
  // Client library folders the operator adds, and the optional lists of
  // kinds, hosts and database folders a request may name.
  service::TAccessPolicy Policy;
  // How long requests in progress may take to finish after SIGTERM/SIGINT.
  std::chrono::seconds StopTimeout{30};
  // Where the access log goes: "stdout", "stderr" or a file; empty: no log.
  std::string Log;
  // How PG imports send their statements.
  service::TPgUpsert PgUpsert = service::TPgUpsert::Pipelined;
  // The file the settings were read from; empty when none was.
  std::string ConfigFile;
};

// A setting that cannot be used; what() names the key or option.
class EConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the command line asks for: serve with the settings, or print Text
// (help, version) on standard output and end with status 0.
struct TStartup {
  bool Serve = true;
  std::string Text;
  TServerConfig Config;
};

// The INI file read when --config is not given: the program's own name with
// ".ini", in the program's folder.
std::string DefaultConfigFile();

// Applies the [Server] section of aFile to aConfig. A missing file is an
// error only when aRequired (named with --config).
void ReadConfigFile(const std::string& aFile, bool aRequired, TServerConfig& aConfig);

// Reads the command line (without the program name) and the INI file it
// points to (aDefaultFile when it names none). Throws EConfigError.
TStartup ReadStartup(const std::vector<std::string>& aArguments,
                     const std::string& aDefaultFile = DefaultConfigFile());

// The text of --help.
std::string UsageText();

}  // namespace tandemize::app
