// The program's settings: INI keys, command-line options, credentials.
#include <crypt.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/base_router.h"
#include "app/server_config.h"
#include "web/basic_auth.h"
#include "web/limits.h"

namespace tandemize::app {
namespace {

namespace fs = std::filesystem;

// A folder of the test's own, removed with it.
class TScratch {
 public:
  TScratch() {
    FPath = fs::temp_directory_path() / ("tandemize-config-" + std::to_string(::getpid()));
    fs::create_directories(FPath);
  }
  ~TScratch() {
    std::error_code ignored;
    fs::remove_all(FPath, ignored);
  }
  std::string Write(const std::string& aName, const std::string& aText) const {
    const fs::path file = FPath / aName;
    std::ofstream(file) << aText;
    return file.string();
  }
  const fs::path& Path() const { return FPath; }

 private:
  fs::path FPath;
};

std::string Sha512Hash(const std::string& aPassword) {
  crypt_data data{};
  return ::crypt_r(aPassword.c_str(), "$6$OZ8xq2Pd$", &data);
}

TEST(ServerConfig, WithoutAnySettingTheServiceIsAsItAlwaysWas) {
  TScratch scratch;
  // No file, and a file that only holds the connection parameters' section.
  for (const std::string& file : {(scratch.Path() / "missing.ini").string(),
                                  scratch.Write("db-only.ini", "[db]\nSgdb=2\nHost=x\n")}) {
    const TStartup startup = ReadStartup({}, file);
    ASSERT_TRUE(startup.Serve);
    const TServerConfig& c = startup.Config;
    EXPECT_EQ(c.Port, kServicePort);
    EXPECT_EQ(c.Bind, web::kAnyHost);
    EXPECT_EQ(c.User, "tulip");
    EXPECT_EQ(c.Password, "tulip");
    EXPECT_EQ(c.PasswordHash, "");
    EXPECT_EQ(c.Limits.MaxBodyBytes, web::kMaxBodyBytes);
    EXPECT_EQ(c.Limits.IdleReadTimeout, web::kIdleReadTimeout);
    EXPECT_EQ(c.Limits.HeaderReadTimeout, web::kHeaderReadTimeout);
    EXPECT_EQ(c.Limits.BodyGraceTime, web::kBodyGraceTime);
    EXPECT_EQ(c.Limits.WriteTimeout, web::kWriteTimeout);
    EXPECT_EQ(c.Limits.MaxOpenConnections, web::kMaxConnections);
    EXPECT_EQ(c.Limits.MaxConcurrentRequests, web::kMaxConcurrentRequests);
    EXPECT_EQ(c.StopTimeout, std::chrono::seconds(30));
    EXPECT_EQ(c.Log, "");
    EXPECT_TRUE(c.Policy.LibFolders.empty() && c.Policy.Kinds.empty() && c.Policy.Hosts.empty() &&
                c.Policy.DatabaseFolders.empty());
  }
}

// Each setting as text, for the table below.
std::string Show(const TServerConfig& c, const std::string& aKey) {
  const web::TListenerLimits& l = c.Limits;
  if (aKey == "port") return std::to_string(c.Port);
  if (aKey == "bind") return c.Bind;
  if (aKey == "user") return c.User;
  if (aKey == "password") return c.Password;
  if (aKey == "password_hash") return c.PasswordHash;
  if (aKey == "max_body_bytes") return std::to_string(l.MaxBodyBytes);
  if (aKey == "idle_timeout") return std::to_string(l.IdleReadTimeout.count());
  if (aKey == "header_timeout") return std::to_string(l.HeaderReadTimeout.count());
  if (aKey == "body_timeout") return std::to_string(l.BodyGraceTime.count());
  if (aKey == "write_timeout") return std::to_string(l.WriteTimeout.count());
  if (aKey == "max_connections") return std::to_string(l.MaxOpenConnections);
  if (aKey == "max_requests") return std::to_string(l.MaxConcurrentRequests);
  if (aKey == "stop_timeout") return std::to_string(c.StopTimeout.count());
  if (aKey == "log") return c.Log;
  const auto joined = [](const std::vector<std::string>& aItems) {
    std::string text;
    for (const std::string& item : aItems) text += "|" + item;
    return text;
  };
  if (aKey == "lib_folders") return joined(c.Policy.LibFolders);
  if (aKey == "kinds") return joined(c.Policy.Kinds);
  if (aKey == "hosts") return joined(c.Policy.Hosts);
  if (aKey == "database_folders") return joined(c.Policy.DatabaseFolders);
  if (aKey == "pg_upsert") return std::string(service::PgUpsertModeName(c.PgUpsert));
  return "?";
}

// One [Server] line each: accepted with its effect, or refused with a
// message that names the key.
TEST(ServerConfig, KeysGoodAndBad) {
  const std::string hash = Sha512Hash("s3cret");
  struct Case {
    std::string line;
    std::string key;       // good: the setting to look at; empty: a bad line
    std::string expected;  // good: the setting's value; bad: part of the message
  };
  const std::vector<Case> cases = {
      {"port=8080", "port", "8080"},
      {"PORT = 1", "port", "1"},
      {"port=65535", "port", "65535"},
      {"port=0", "", "[Server] port: \"0\" is not a whole number from 1 to 65535"},
      {"port=65536", "", "port"},
      {"port=-1", "", "port"},
      {"port=80x", "", "port"},
      {"port=", "", "port"},
      {"bind=127.0.0.1", "bind", "127.0.0.1"},
      {"bind=::1", "bind", "::1"},
      {"bind=localhost", "", "[Server] bind: \"localhost\" is not an IPv4 or IPv6 address"},
      {"bind=300.1.1.1", "", "bind"},
      {"user=importer", "user", "importer"},
      {"user=", "", "[Server] user: must not be empty"},
      {"user=a:b", "", "user: must not contain"},
      {"password=p a:ss", "password", "p a:ss"},
      {"password=", "", "password: must not be empty"},
      {"password_hash=" + hash, "password_hash", hash},
      {"password_hash=s3cret", "", "password_hash: \"s3cret\" is not a crypt(3) hash"},
      {"password_hash=$6$", "", "password_hash"},
      {"max_body_bytes=1048576", "max_body_bytes", "1048576"},
      {"max_body_bytes=0", "", "max_body_bytes"},
      {"max_body_bytes=1e6", "", "max_body_bytes"},
      {"idle_timeout=5", "idle_timeout", "5"},
      {"idle_timeout=0", "", "idle_timeout: \"0\" is not a whole number from 1 to 86400"},
      {"header_timeout=7", "header_timeout", "7"},
      {"body_timeout=120", "body_timeout", "120"},
      {"body_timeout=86401", "", "body_timeout"},
      {"write_timeout=9", "write_timeout", "9"},
      {"write_timeout=9s", "", "write_timeout"},
      {"max_connections=10", "max_connections", "10"},
      {"max_connections=0", "", "max_connections"},
      {"max_requests=4", "max_requests", "4"},
      {"max_requests=many", "", "max_requests"},
      {"lib_folders=/opt", "lib_folders", "|/opt"},
      {"lib_folders=/opt, /usr/lib", "lib_folders", "|/opt|/usr/lib"},
      {"lib_folders=opt/lib", "", "lib_folders: \"opt/lib\" is not an absolute path of a folder"},
      {"lib_folders=/nonexistent-folder", "", "lib_folders"},
      {"lib_folders=/opt,", "", "lib_folders: \"/opt,\" has an empty item"},
      {"kinds=PG,sqlite", "kinds", "|PG|sqlite"},
      {"kinds=PG,Oracle", "", "kinds: \"Oracle\" is not a database kind"},
      {"kinds=", "", "kinds"},
      {"hosts=db1.example , 10.0.0.5", "hosts", "|db1.example|10.0.0.5"},
      {"hosts=a,,b", "", "hosts"},
      {"database_folders=/tmp", "database_folders", "|/tmp"},
      {"database_folders=/etc/hostname", "", "database_folders"},
      {"stop_timeout=0", "stop_timeout", "0"},
      {"stop_timeout=600", "stop_timeout", "600"},
      {"stop_timeout=-5", "", "stop_timeout: \"-5\" is not a whole number from 0 to 86400"},
      {"log=stdout", "log", "stdout"},
      {"log=/var/log/tandemize/access.log", "log", "/var/log/tandemize/access.log"},
      {"log=", "", "log: must not be empty"},
      {"pg_upsert=set", "pg_upsert", "set"},
      {"pg_upsert=Sequential", "pg_upsert", "sequential"},
      {"pg_upsert=pipelined", "pg_upsert", "pipelined"},
      {"pg_upsert=copy", "", "pg_upsert: \"copy\" is not sequential, pipelined or set"},
      {"pg_upsert=", "", "pg_upsert"},
      {"prot=9000", "", "[Server] prot: unknown key"},
      {"port=1\nPort=2", "", "[Server] Port: given twice"},
      {"password=x\npassword_hash=" + hash, "", "either password or password_hash"},
      {"no separator", "", "'=' character not found"},
  };
  TScratch scratch;
  for (const Case& c : cases) {
    const std::string file = scratch.Write("case.ini", "[db]\nHost=h\n[Server]\n" + c.line + "\n");
    if (!c.key.empty()) {
      EXPECT_EQ(Show(ReadStartup({}, file).Config, c.key), c.expected) << c.line;
      continue;
    }
    try {
      ReadStartup({}, file);
      ADD_FAILURE() << c.line << ": accepted";
    } catch (const EConfigError& e) {
      EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos)
          << c.line << ": " << e.what();
      EXPECT_NE(std::string(e.what()).find(file), std::string::npos) << e.what();
    }
  }
}

TEST(ServerConfig, OptionsOverTheFileGoodAndBad) {
  TScratch scratch;
  const std::string file =
      scratch.Write("Tandemize_srv.ini", "[server]\nport=8000\nbind=127.0.0.1\nuser=u\n");
  const std::string other = scratch.Write("other.ini", "[Server]\nport=8100\n");

  TServerConfig c = ReadStartup({"--port", "8001"}, file).Config;
  EXPECT_EQ(c.Port, 8001);
  EXPECT_EQ(c.Bind, "127.0.0.1");  // from the file
  EXPECT_EQ(c.User, "u");
  c = ReadStartup({"--bind=::", "--port=8002"}, file).Config;
  EXPECT_EQ(c.Bind, "::");
  EXPECT_EQ(c.Port, 8002);
  // --config replaces the default file: nothing of it is read.
  c = ReadStartup({"--config", other}, file).Config;
  EXPECT_EQ(c.Port, 8100);
  EXPECT_EQ(c.Bind, "0.0.0.0");
  EXPECT_EQ(c.ConfigFile, other);

  const TStartup help = ReadStartup({"--help"}, file);
  EXPECT_FALSE(help.Serve);
  for (const char* word :
       {"--config", "--port", "--bind", "--version", "max_requests", "[Server]"}) {
    EXPECT_NE(help.Text.find(word), std::string::npos) << word;
  }
  const TStartup version = ReadStartup({"--version"}, file);
  EXPECT_FALSE(version.Serve);
  EXPECT_TRUE(version.Text.starts_with("Tandemize_srv ")) << version.Text;

  struct Bad {
    std::vector<std::string> arguments;
    std::string message;
  };
  const std::vector<Bad> bad = {
      {{"--port", "99999"}, "--port: \"99999\" is not a whole number from 1 to 65535"},
      {{"--bind", "example.org"}, "--bind: \"example.org\" is not an IPv4 or IPv6 address"},
      {{"--colour"}, "unrecognised option '--colour'"},
      {{"serve"}, "positional"},
      {{"--port"}, "'--port' is missing"},
      {{"--port", "1", "--port", "2"}, "'--port' cannot be specified more than once"},
      {{"--config", (scratch.Path() / "absent.ini").string()}, "absent.ini: no such file"},
  };
  for (const Bad& b : bad) {
    try {
      ReadStartup(b.arguments, file);
      ADD_FAILURE() << b.message << ": accepted";
    } catch (const EConfigError& e) {
      EXPECT_NE(std::string(e.what()).find(b.message), std::string::npos) << e.what();
    }
  }
}

TEST(Credentials, PlainAndHashedPasswords) {
  const web::TBasicCredentials plain("importer", "pa:ss");
  const web::TBasicCredentials hashed("importer", "ignored", Sha512Hash("pa:ss"));
  struct Case {
    const char* user;
    const char* password;
    bool accepted;
  };
  const Case cases[] = {
      {"importer", "pa:ss", true},   {"importer", "pa:sS", false},   {"importer", "pa:s", false},
      {"importer", "pa:sss", false}, {"Importer", "pa:ss", false},   {"", "pa:ss", false},
      {"importer", "", false},       {"importer", "ignored", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(plain.Check(c.user, c.password), c.accepted) << c.user << ":" << c.password;
    EXPECT_EQ(hashed.Check(c.user, c.password), c.accepted) << c.user << ":" << c.password;
  }
  EXPECT_FALSE(web::TBasicCredentials::IsUsableHash("$6$"));
  EXPECT_FALSE(web::TBasicCredentials::IsUsableHash("plain"));
  EXPECT_TRUE(web::TBasicCredentials::IsUsableHash(Sha512Hash("x")));

  // The program's check follows the configured credentials.
  SetCredentials(hashed);
  EXPECT_TRUE(CheckCredentials("importer", "pa:ss"));
  EXPECT_FALSE(CheckCredentials("tulip", "tulip"));
  SetCredentials(web::TBasicCredentials("tulip", "tulip"));
  EXPECT_TRUE(CheckCredentials("tulip", "tulip"));
}

TEST(Credentials, ConstantTimeEqualsIsEquality) {
  const char* texts[] = {"", "a", "ab", "abc", "abd", "b", "aba"};
  for (const char* left : texts) {
    for (const char* right : texts) {
      EXPECT_EQ(web::ConstantTimeEquals(left, right), std::string(left) == right)
          << left << " / " << right;
    }
  }
}

}  // namespace
}  // namespace tandemize::app
