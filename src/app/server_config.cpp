#include "app/server_config.h"

#include <arpa/inet.h>

#include <boost/program_options.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <charconv>
#include <filesystem>
#include <set>
#include <sstream>
#include <system_error>

#include "app/build_label.h"
#include "text/case_fold.h"
#include "web/basic_auth.h"

#ifndef TANDEMIZE_VERSION
#define TANDEMIZE_VERSION "0"
#endif

namespace tandemize::app {
namespace {

namespace fs = std::filesystem;
namespace po = boost::program_options;
namespace pt = boost::property_tree;

// A value that cannot be used; what() says why, the caller adds where.
class EBadValue : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string Quoted(const std::string& aValue) {
  return "\"" + aValue + "\"";
}

std::uint64_t WholeNumber(const std::string& aValue, std::uint64_t aMin, std::uint64_t aMax) {
  std::uint64_t number = 0;
  const char* end = aValue.data() + aValue.size();
  const auto [stop, error] = std::from_chars(aValue.data(), end, number);
  if (aValue.empty() || error != std::errc() || stop != end || number < aMin || number > aMax) {
    throw EBadValue(Quoted(aValue) + " is not a whole number from " + std::to_string(aMin) +
                    " to " + std::to_string(aMax));
  }
  return number;
}

int Count(const std::string& aValue, int aMax) {
  return static_cast<int>(WholeNumber(aValue, 1, static_cast<std::uint64_t>(aMax)));
}

// Timeouts are whole seconds, up to a day.
std::chrono::seconds Seconds(const std::string& aValue) {
  return std::chrono::seconds(WholeNumber(aValue, 1, 24 * 60 * 60));
}

std::string Address(const std::string& aValue) {
  unsigned char buffer[sizeof(in6_addr)];
  if (::inet_pton(AF_INET, aValue.c_str(), buffer) != 1 &&
      ::inet_pton(AF_INET6, aValue.c_str(), buffer) != 1) {
    throw EBadValue(Quoted(aValue) + " is not an IPv4 or IPv6 address");
  }
  return aValue;
}

std::string NonEmpty(const std::string& aValue) {
  if (aValue.empty()) throw EBadValue("must not be empty");
  return aValue;
}

// A list of items separated by ",", blanks around each removed.
std::vector<std::string> List(const std::string& aValue) {
  std::vector<std::string> items;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = aValue.find(',', start);
    std::string item = aValue.substr(start, comma == std::string::npos ? comma : comma - start);
    const std::size_t first = item.find_first_not_of(" \t");
    item = first == std::string::npos
               ? ""
               : item.substr(first, item.find_last_not_of(" \t") + 1 - first);
    if (item.empty()) throw EBadValue(Quoted(aValue) + " has an empty item");
    items.push_back(std::move(item));
    if (comma == std::string::npos) return items;
    start = comma + 1;
  }
}

std::vector<std::string> Folders(const std::string& aValue) {
  std::vector<std::string> folders = List(aValue);
  for (const std::string& folder : folders) {
    std::error_code ec;
    if (!folder.starts_with('/') || !fs::is_directory(folder, ec)) {
      throw EBadValue(Quoted(folder) + " is not an absolute path of a folder");
    }
  }
  return folders;
}

struct TKey {
  const char* Name;
  const char* Help;
  void (*Apply)(TServerConfig& aConfig, const std::string& aValue);
};

// Every key of the [Server] section, in the order --help lists them.
const TKey kKeys[] = {
    {"port", "TCP port to listen on (9095)",
     [](TServerConfig& c, const std::string& v) { c.Port = Count(v, 65535); }},
    {"bind", "address to listen on; 0.0.0.0 is every interface (0.0.0.0)",
     [](TServerConfig& c, const std::string& v) { c.Bind = Address(v); }},
    {"user", "user name clients authenticate with (tulip)",
     [](TServerConfig& c, const std::string& v) {
       // Basic credentials are split at the first ":", so no user name holding one could match.
       if (NonEmpty(v).find(':') != std::string::npos) throw EBadValue("must not contain \":\"");
       c.User = v;
     }},
    {"password", "password clients authenticate with (tulip)",
     [](TServerConfig& c, const std::string& v) { c.Password = NonEmpty(v); }},
    {"password_hash", "crypt(3) hash of the password, in place of password (openssl passwd -6)",
     [](TServerConfig& c, const std::string& v) {
       if (!web::TBasicCredentials::IsUsableHash(v)) {
         throw EBadValue(Quoted(v) + " is not a crypt(3) hash this system can check");
       }
       c.PasswordHash = v;
     }},
    {"max_body_bytes", "largest request body accepted, in bytes (268435456)",
     [](TServerConfig& c, const std::string& v) {
       c.Limits.MaxBodyBytes = WholeNumber(v, 1, std::uint64_t{1} << 40);
     }},
    {"idle_timeout", "seconds a client may stay silent while sending a request (60)",
     [](TServerConfig& c, const std::string& v) { c.Limits.IdleReadTimeout = Seconds(v); }},
    {"header_timeout", "seconds the request's header block may take to arrive (60)",
     [](TServerConfig& c, const std::string& v) { c.Limits.HeaderReadTimeout = Seconds(v); }},
    {"body_timeout", "seconds the body may take beyond what 16 KiB/s allows (60)",
     [](TServerConfig& c, const std::string& v) { c.Limits.BodyGraceTime = Seconds(v); }},
    {"write_timeout", "seconds an answer may wait for a client that does not read it (60)",
     [](TServerConfig& c, const std::string& v) { c.Limits.WriteTimeout = Seconds(v); }},
    {"max_connections", "open connections at once; more are answered 503 (1000)",
     [](TServerConfig& c, const std::string& v) {
       c.Limits.MaxOpenConnections = Count(v, 1000000);
     }},
    {"max_requests", "requests inside the service at once; more are answered 500 (32)",
     [](TServerConfig& c, const std::string& v) {
       c.Limits.MaxConcurrentRequests = Count(v, 1000000);
     }},
    {"stop_timeout",
     "seconds the requests in progress may take to finish after SIGTERM or SIGINT (30)",
     [](TServerConfig& c, const std::string& v) {
       c.StopTimeout = std::chrono::seconds(WholeNumber(v, 0, 24 * 60 * 60));
     }},
    {"log", "access log, one line per request: stdout, stderr or a file (none)",
     [](TServerConfig& c, const std::string& v) { c.Log = NonEmpty(v); }},
    {"lib_folders",
     "folders, separated by \",\", client libraries may be loaded from besides /usr/lib, "
     "/usr/local/lib and /lib",
     [](TServerConfig& c, const std::string& v) { c.Policy.LibFolders = Folders(v); }},
    {"kinds", "the only database kinds requests may name: FB, IB, PG, MySQL, MSSQL, SQLite (all)",
     [](TServerConfig& c, const std::string& v) {
       c.Policy.Kinds = List(v);
       for (const std::string& kind : c.Policy.Kinds) {
         if (!service::IsKindName(kind)) throw EBadValue(Quoted(kind) + " is not a database kind");
       }
     }},
    {"hosts", "the only database hosts requests may name; no host counts as localhost (all)",
     [](TServerConfig& c, const std::string& v) { c.Policy.Hosts = List(v); }},
    {"database_folders",
     "the only folders database files (SQLite, Firebird without a host) may lie in (all)",
     [](TServerConfig& c, const std::string& v) { c.Policy.DatabaseFolders = Folders(v); }},
    {"pg_upsert",
     "how PG imports send their statements: sequential, pipelined (a window of rows at a time) "
     "or set (the rows loaded in bulk, then one statement per window) (pipelined)",
     [](TServerConfig& c, const std::string& v) {
       if (!service::ParsePgUpsertMode(v, c.PgUpsert)) {
         throw EBadValue(Quoted(v) + " is not sequential, pipelined or set");
       }
     }},
};

const TKey* FindKey(const std::string& aName) {
  for (const TKey& key : kKeys) {
    if (text::EqualsIgnoringAsciiCase(key.Name, aName)) return &key;
  }
  return nullptr;
}

// Applies aValue to the key aName; aWhere says where it came from in a
// failure's message.
void ApplyKey(TServerConfig& aConfig, const std::string& aName, const std::string& aValue,
              const std::string& aWhere) {
  const TKey* key = FindKey(aName);
  if (key == nullptr) throw EConfigError(aWhere + ": unknown key");
  try {
    key->Apply(aConfig, aValue);
  } catch (const EBadValue& e) {
    throw EConfigError(aWhere + ": " + e.what());
  }
}

// The command-line options; each but --config, --help and --version sets the
// INI key of its name.
po::options_description Options() {
  po::options_description options("Options");
  options.add_options()                                                                  //
      ("config", po::value<std::string>()->value_name("FILE"),                           //
       "read the [Server] section of FILE instead of the INI file beside the program")   //
      ("port", po::value<std::string>()->value_name("PORT"), "TCP port to listen on")    //
      ("bind", po::value<std::string>()->value_name("ADDRESS"), "address to listen on")  //
      ("log", po::value<std::string>()->value_name("WHERE"),
       "write the access log to stdout, stderr or a file")  //
      ("help", "show this text and end")                    //
      ("version", "show the program's version and end");
  return options;
}

}  // namespace

std::string DefaultConfigFile() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return (exe.parent_path() / exe.filename().replace_extension(".ini")).string();
}

void ReadConfigFile(const std::string& aFile, bool aRequired, TServerConfig& aConfig) {
  std::error_code ec;
  if (aFile.empty() || !fs::exists(aFile, ec)) {
    if (aRequired) throw EConfigError(aFile + ": no such file");
    return;
  }
  pt::ptree tree;
  try {
    pt::read_ini(aFile, tree);
  } catch (const pt::ini_parser_error& e) {
    throw EConfigError(e.what());
  }
  const pt::ptree* section = nullptr;
  for (const auto& [name, child] : tree) {
    if (!text::EqualsIgnoringAsciiCase(name, kServerSection)) continue;
    if (section != nullptr) throw EConfigError(aFile + ": section [" + name + "] given twice");
    section = &child;
  }
  aConfig.ConfigFile = aFile;
  if (section == nullptr) return;
  std::set<std::string> seen;
  for (const auto& [name, child] : *section) {
    const std::string where = aFile + ": [" + kServerSection + "] " + name;
    const std::string lower = text::AsciiLowerCase(name);
    if (!seen.insert(lower).second) throw EConfigError(where + ": given twice");
    ApplyKey(aConfig, name, child.data(), where);
  }
  if (seen.count("password") != 0 && seen.count("password_hash") != 0) {
    throw EConfigError(aFile + ": [" + kServerSection +
                       "] password_hash: give either password or password_hash, not both");
  }
}

TStartup ReadStartup(const std::vector<std::string>& aArguments, const std::string& aDefaultFile) {
  const po::options_description options = Options();
  po::variables_map given;
  try {
    // No positional arguments: a word without "--" is refused.
    po::store(po::command_line_parser(aArguments)
                  .options(options)
                  .positional(po::positional_options_description())
                  .run(),
              given);
  } catch (const po::error& e) {
    throw EConfigError(std::string(e.what()) + " (see --help)");
  }
  TStartup startup;
  if (given.count("help") != 0) {
    startup.Serve = false;
    startup.Text = UsageText();
    return startup;
  }
  if (given.count("version") != 0) {
    startup.Serve = false;
    startup.Text = std::string("Tandemize_srv ") + TANDEMIZE_VERSION + " - " + BuildLabel() + "\n";
    return startup;
  }
  if (given.count("config") != 0) {
    ReadConfigFile(given["config"].as<std::string>(), true, startup.Config);
  } else {
    ReadConfigFile(aDefaultFile, false, startup.Config);
  }
  for (const char* option : {"port", "bind", "log"}) {
    if (given.count(option) == 0) continue;
    ApplyKey(startup.Config, option, given[option].as<std::string>(), std::string("--") + option);
  }
  return startup;
}

std::string UsageText() {
  std::ostringstream text;
  text << "Usage: Tandemize_srv [options]\n\n" << Options() << "\n";
  text << "Keys of the [" << kServerSection
       << "] section of the INI file (default in parentheses):\n";
  for (const TKey& key : kKeys) {
    text << "  " << key.Name;
    for (std::size_t i = std::string_view(key.Name).size(); i < 16; ++i) text << ' ';
    text << key.Help << "\n";
  }
  return text.str();
}

}  // namespace tandemize::app
