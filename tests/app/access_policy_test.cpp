// What a request may make the data service load, reach or open: the client
// library rule (always on) and the operator's lists of kinds, hosts and
// database folders, against SQLite and PostgreSQL, in process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fmt/format.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dbaccess/vendor_library.h"
#include "program_harness.h"
#include "service/access_policy.h"
#include "service/dm.h"
#include "test_servers.h"

namespace tandemize::service {
namespace {

namespace fs = std::filesystem;
using harness::Env;

// A folder of the test's own, removed with it; the policy is reset too.
class TScratch {
 public:
  explicit TScratch(const std::string& aName)
      : FPath(fs::temp_directory_path() /
              ("tandemize-policy-" + aName + "-" + std::to_string(::getpid()))) {
    fs::remove_all(FPath);
    fs::create_directories(FPath);
  }
  ~TScratch() {
    SetAccessPolicy({});
    std::error_code ignored;
    fs::remove_all(FPath, ignored);
  }
  std::string operator/(const std::string& aName) const { return (FPath / aName).string(); }
  std::string Folder(const std::string& aName) const {
    fs::create_directories(FPath / aName);
    return (FPath / aName).string();
  }

 private:
  fs::path FPath;
};

using TList = std::vector<std::string>;
TAccessPolicy Policy(TList aLibFolders, TList aKinds, TList aHosts, TList aDatabaseFolders) {
  TAccessPolicy policy;
  policy.LibFolders = std::move(aLibFolders);
  policy.Kinds = std::move(aKinds);
  policy.Hosts = std::move(aHosts);
  policy.DatabaseFolders = std::move(aDatabaseFolders);
  return policy;
}

std::string Verdict(bool aSuccess, const std::string& aMessage) {
  json::TJsonObject verdict;
  verdict.Put("success", aSuccess);
  verdict.Put("message", aMessage);
  return verdict.Stringify();
}

// The "message" of a verdict (the answer escapes "/").
std::string Message(const std::string& aVerdict) {
  json::TJsonObject verdict;
  verdict.Parse(aVerdict);
  return verdict["message"].AsString();
}

std::string Import(const std::string& aParams, const std::string& aTable) {
  text::TByteStream body;
  body.Write(
      harness::RowsEnvelope(aParams, aTable, R"([{"id":1,"nome":"um"},{"id":2,"nome":"dois"}])"));
  TDMInstance dm;
  return dm->Tandemize("", &body, false);
}

// The SQLite file aFile with the table t the imports write into.
void MakeSQLiteTable(const std::string& aFile) {
  harness::TDirect direct({{"DriverID", "SQLite"}, {"Database", aFile}});
  direct.Exec("CREATE TABLE t (id INTEGER PRIMARY KEY, nome VARCHAR(20))");
  direct.Close();
}

std::string TestConnection(const std::string& aParams) {
  TDMInstance dm;
  return dm->TesteDatabase(aParams);
}

std::string PgParams(const std::string& aHost, const std::string& aLib = "") {
  return fmt::format(
      R"({{"tipo_sgdb":2,"host":"{}","port":{},"database":"{}","user":"{}","password":"{}",)"
      R"("lib":"{}"}})",
      aHost, Env("TANDEMIZE_PG_PORT"), Env("TANDEMIZE_PG_DATABASE"), Env("TANDEMIZE_PG_USER"),
      Env("TANDEMIZE_PG_PASSWORD"), aLib);
}

TEST(LibraryRule, WhichNamesMayBeLoaded) {
  TScratch scratch("lib-names");
  const std::string extra = scratch.Folder("extra");
  const std::string outside = scratch.Folder("outside");
  fs::create_symlink(outside, extra + "/to-outside");
  struct Case {
    std::string lib;
    bool allowed;
  };
  const std::vector<Case> cases = {
      {"", true},
      {"libpq.so.5", true},  // a bare name: the system's library search
      {"fbclient.dll", true},
      {"C:\\Program Files\\fbclient.dll", true},
      {"/usr/lib/x86_64-linux-gnu/libpq.so.5", true},
      {"/lib/x86_64-linux-gnu/libpq.so.5", true},
      {"/usr/local/lib/libnot-there.so", true},  // the loader answers 314 for it
      {extra + "/libclient.so", true},
      {extra + "/sub/../libclient.so", true},
      {"/usr/lib/../../tmp/libevil.so", false},
      {"/usr/lib2/libevil.so", false},
      {"/usr/libevil.so", false},
      {"/tmp/libevil.so", false},
      {outside + "/libevil.so", false},
      {extra + "/../outside/libevil.so", false},
      {extra + "/to-outside/libevil.so", false},
      {"x86_64-linux-gnu/libpq.so.5", false},  // relative to the working folder
      {"./libpq.so.5", false},
      {std::string("libpq.so.5\0/tmp/x", 17), false},
  };
  for (const Case& c : cases) {
    const auto refusal = dbaccess::VendorLibRefusal(c.lib, {extra});
    EXPECT_EQ(!refusal.has_value(), c.allowed) << c.lib;
    if (refusal) {
      EXPECT_NE(refusal->find("refused: a client library is named by its bare file name"),
                std::string::npos)
          << *refusal;
      EXPECT_NE(refusal->find(extra), std::string::npos) << *refusal;
    }
  }
}

// A library whose constructor runs code, named by a request: refused before
// anything is loaded, unless it lies in a folder the operator allows.
TEST(LibraryRule, ARefusedLibraryIsNeverLoaded) {
  TScratch scratch("lib-load");
  const std::string marker = scratch / "loaded";
  ::setenv("TANDEMIZE_LOAD_MARKER", marker.c_str(), 1);
  const std::string planted = scratch.Folder("planted") + "/libclient.so";
  fs::copy_file(TANDEMIZE_LOAD_MARKER_LIBRARY, planted);
  const std::string allowed = scratch.Folder("allowed");
  fs::create_symlink(planted, allowed + "/liblinked.so");

  // The InterBase kind: no other test of this program loads its client.
  for (const std::string& lib : {planted, allowed + "/liblinked.so", "/usr/lib/../.." + planted}) {
    const std::string params =
        R"({"tipo_sgdb":1,"host":"127.0.0.1","database":"x","lib":")" + lib + R"("})";
    const std::string verdict = TestConnection(params);
    EXPECT_TRUE(verdict.starts_with(R"({"success":false,"message":"Client library \")")) << verdict;
    EXPECT_NE(Message(Import(params, "t")).find("refused: a client library"), std::string::npos);
    EXPECT_FALSE(fs::exists(marker)) << lib;
  }

  // The same file in a folder the operator added loads (and then fails as
  // no client of the kind).
  SetAccessPolicy(Policy({allowed}, {}, {}, {}));
  const std::string inAllowed = allowed + "/libclient.so";
  fs::copy_file(planted, inAllowed);
  const std::string verdict = TestConnection(
      R"({"tipo_sgdb":1,"host":"127.0.0.1","database":"x","lib":")" + inAllowed + R"("})");
  EXPECT_NE(Message(verdict).find("-315. Cannot get vendor library entry point"), std::string::npos)
      << verdict;
  EXPECT_TRUE(fs::exists(marker));
}

TEST(LibraryRule, SystemLibrariesStillServePostgreSQL) {
  ASSERT_TRUE(harness::TestServerSet("PG"));
  const std::string ok = Verdict(true, kConnectionTestOk);
  for (const char* lib : {"", "libpq.so.5", "libpq.dll", "/usr/lib/x86_64-linux-gnu/libpq.so.5"}) {
    EXPECT_EQ(TestConnection(PgParams(Env("TANDEMIZE_PG_HOST"), lib)), ok) << lib;
  }
  const std::string refused = TestConnection(PgParams(Env("TANDEMIZE_PG_HOST"), "/tmp/libpq.so.5"));
  EXPECT_TRUE(Message(refused).starts_with("Client library \"/tmp/libpq.so.5\" refused"))
      << refused;
}

TEST(DatabaseFolders, SQLiteFilesOnlyInTheAllowedFolders) {
  TScratch scratch("folders");
  const std::string allowed = scratch.Folder("allowed");
  const std::string other = scratch.Folder("other");
  fs::create_symlink(other, allowed + "/to-other");
  SetAccessPolicy(Policy({}, {}, {}, {allowed + "/"}));

  const std::string success = Verdict(true, kImportSucceeded);
  scratch.Folder("allowed/sub");
  for (const std::string& file : {allowed + "/a.db", allowed + "/sub/../b.db"}) {
    MakeSQLiteTable(file);
    EXPECT_EQ(Import(harness::SQLiteParams(file), "t"), success) << file;
  }
  EXPECT_EQ(TestConnection(harness::SQLiteParams(allowed + "/new.db")),
            Verdict(true, kConnectionTestOk));
  EXPECT_TRUE(fs::exists(allowed + "/new.db"));
  struct Refused {
    std::string database;
    std::string created;  // the file a connection would have made
  };
  const std::vector<Refused> refused = {
      {other + "/c.db", other + "/c.db"},
      {allowed + "/../other/d.db", other + "/d.db"},
      {allowed + "/to-other/e.db", other + "/e.db"},
      {"file:" + allowed + "/f.db", allowed + "/f.db"},
      {allowed, allowed},  // the folder itself
      {"", ""},
  };
  for (const Refused& r : refused) {
    const std::string expected = Verdict(false, "Database \"" + r.database +
                                                    "\" refused: database files are opened only "
                                                    "in the folders " +
                                                    allowed + "/");
    EXPECT_EQ(Import(harness::SQLiteParams(r.database), "t"), expected);
    EXPECT_EQ(TestConnection(harness::SQLiteParams(r.database)), expected);
    if (!r.created.empty() && r.created != allowed) {
      EXPECT_FALSE(fs::exists(r.created)) << r.created;
    }
  }

  // Firebird without a host opens files too; with a host it is the server's.
  const std::string fbFile = R"({"tipo_sgdb":0,"database":")" + other + R"(/x.fdb"})";
  EXPECT_NE(Message(TestConnection(fbFile)).find("refused: database files are opened only in"),
            std::string::npos);
  const std::string fbServerInText =
      R"({"tipo_sgdb":0,"database":"db.example:)" + allowed + R"(/x.fdb"})";
  EXPECT_NE(Message(TestConnection(fbServerInText)).find("refused: database files"),
            std::string::npos);
}

TEST(KindsAndHosts, OnlyListedKindsAndHosts) {
  TScratch scratch("kinds");
  SetAccessPolicy(Policy({}, {"sqlite"}, {}, {}));
  MakeSQLiteTable(scratch / "k.db");
  MakeSQLiteTable(scratch / "h.db");
  EXPECT_EQ(Import(harness::SQLiteParams(scratch / "k.db"), "t"), Verdict(true, kImportSucceeded));
  EXPECT_EQ(
      TestConnection(PgParams("127.0.0.1")),
      Verdict(false, "Database kind \"PG\" refused: this service accepts only the kinds sqlite"));
  EXPECT_EQ(
      TestConnection(R"({"tipo_sgdb":9})"),
      Verdict(false, "Database kind \"9\" refused: this service accepts only the kinds sqlite"));

  SetAccessPolicy(Policy({}, {}, {"db.example", "127.0.0.1"}, {}));
  const std::string hostRefused =
      "\" refused: this service connects only to the hosts db.example, 127.0.0.1";
  EXPECT_EQ(TestConnection(PgParams("10.1.2.3")), Verdict(false, "Host \"10.1.2.3" + hostRefused));
  EXPECT_EQ(TestConnection(PgParams("")), Verdict(false, "Host \"localhost" + hostRefused));
  // SQLite has no host; Firebird without one must not hide a server in its database text.
  EXPECT_EQ(Import(harness::SQLiteParams(scratch / "h.db"), "t"), Verdict(true, kImportSucceeded));
  EXPECT_NE(Message(TestConnection(R"({"tipo_sgdb":0,"database":"10.1.2.3:/srv/x.fdb"})"))
                .find("without a host, a Firebird database is a file path"),
            std::string::npos);
}

TEST(KindsAndHosts, ARefusedPostgreSQLImportTouchesNothing) {
  ASSERT_TRUE(harness::TestServerSet("PG"));
  const std::string host = Env("TANDEMIZE_PG_HOST");
  harness::TDirect direct({{"DriverID", "PG"},
                           {"Server", host},
                           {"Port", Env("TANDEMIZE_PG_PORT")},
                           {"Database", Env("TANDEMIZE_PG_DATABASE")},
                           {"User_Name", Env("TANDEMIZE_PG_USER")},
                           {"Password", Env("TANDEMIZE_PG_PASSWORD")}});
  direct.Exec("DROP TABLE IF EXISTS prod_policy_hosts");
  direct.Exec("CREATE TABLE prod_policy_hosts (id INTEGER PRIMARY KEY, nome VARCHAR(20))");

  TScratch scratch("pg");
  SetAccessPolicy(Policy({}, {"PG"}, {host}, {}));
  // The same server under a name the list does not hold.
  const std::string refused = Import(PgParams("localhost"), "prod_policy_hosts");
  EXPECT_TRUE(Message(refused).starts_with("Host \"localhost\" refused")) << refused;
  EXPECT_EQ(direct.Value("SELECT COUNT(*) FROM prod_policy_hosts"), "0");
  EXPECT_TRUE(Message(Import(PgParams(host, "/tmp/libpq.so.5"), "prod_policy_hosts"))
                  .starts_with("Client library \"/tmp/libpq.so.5\" refused"));
  EXPECT_EQ(direct.Value("SELECT COUNT(*) FROM prod_policy_hosts"), "0");
  EXPECT_EQ(Import(PgParams(host), "prod_policy_hosts"), Verdict(true, kImportSucceeded));
  EXPECT_EQ(direct.Value("SELECT COUNT(*) FROM prod_policy_hosts"), "2");
  direct.Exec("DROP TABLE prod_policy_hosts");
}

}  // namespace
}  // namespace tandemize::service
