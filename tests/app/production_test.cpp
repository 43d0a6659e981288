// The program as an operator runs it: settings from a file and options, the
// refusal of bad ones at start. Each test starts the program on a free port
// of its own.
#include <crypt.h>
#include <signal.h>
#include <unistd.h>

#include <fmt/format.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "production_harness.h"
#include "program_harness.h"

namespace tandemize::production {
namespace {

namespace fs = std::filesystem;

// A file of the test's own, removed with it.
class TFile {
 public:
  TFile(const std::string& aName, const std::string& aText)
      : FPath(fs::temp_directory_path() / (std::to_string(::getpid()) + "-" + aName)) {
    std::ofstream(FPath) << aText;
  }
  ~TFile() {
    std::error_code ignored;
    fs::remove(FPath, ignored);
  }
  std::string Path() const { return FPath.string(); }

 private:
  fs::path FPath;
};

TEST(ProgramSettings, BadSettingsStopTheStartWithStatusTwoNamingTheKey) {
  const TFile badKey("bad-key.ini", "[Server]\nport=9100\nmax_request=3\n");
  const TFile badValue("bad-value.ini", "[Server]\nwrite_timeout=soon\n");
  struct Case {
    std::vector<std::string> arguments;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--port", "0"}, "--port: \"0\" is not a whole number from 1 to 65535"},
      {{"--bind", "somewhere"}, "--bind: \"somewhere\" is not an IPv4 or IPv6 address"},
      {{"--verbose"}, "unrecognised option '--verbose'"},
      {{"--config", badKey.Path()}, "[Server] max_request: unknown key"},
      {{"--config", badValue.Path()}, "[Server] write_timeout: \"soon\" is not a whole number"},
      {{"--config", "/nonexistent/Tandemize_srv.ini"}, "no such file"},
  };
  for (const Case& c : cases) {
    TProgram program(c.arguments);
    EXPECT_EQ(program.Wait(), 2) << c.message;
    EXPECT_NE(program.Errors().find("Tandemize_srv: "), std::string::npos) << program.Errors();
    EXPECT_NE(program.Errors().find(c.message), std::string::npos) << program.Errors();
    EXPECT_EQ(program.Output(), "") << c.message;  // no banner
  }

  TProgram help({"--help"});
  EXPECT_EQ(help.Wait(), 0);
  EXPECT_NE(help.Output().find("--config FILE"), std::string::npos) << help.Output();
  TProgram version({"--version"});
  EXPECT_EQ(version.Wait(), 0);
  EXPECT_NE(version.Output().find("C++ Linux Plataforma 64 Bits"), std::string::npos);
}

TEST(ProgramSettings, ServesWithTheConfiguredAddressPortAndCredentials) {
  crypt_data data{};
  const std::string hash = ::crypt_r("n3w-secret", "$6$Qx1fT0aZ$", &data);
  const int port = FreePort();
  // The option wins over the file's port.
  const TFile config("serve.ini", "[Server]\nport=1\nbind=127.0.0.1\nuser=ops\npassword_hash=" +
                                      hash + "\nmax_requests=4\nmax_body_bytes=1000\n");
  TProgram program({"--config", config.Path(), "--port", std::to_string(port)});
  ASSERT_TRUE(program.WaitForOutput("\n")) << program.Errors();
  EXPECT_EQ(program.Output(), "Servidor ativo 127.0.0.1:" + std::to_string(port) +
                                  " - C++ Linux Plataforma 64 Bits\n");

  const std::string ops = "Basic b3BzOm4zdy1zZWNyZXQ=";  // ops:n3w-secret
  EXPECT_EQ(Call(port, TMethod::Get, "/checkrequest", kTulip).Status, 401);
  EXPECT_EQ(Call(port, TMethod::Get, "/checkrequest", "Basic b3BzOm4zdy1zZWNyZXQ").Status,
            200);  // padding is optional
  const TAnswer answer = Call(port, TMethod::Get, "/checkrequest", ops);
  EXPECT_EQ(answer.Status, 200);
  EXPECT_EQ(answer.Body, R"({"can_header":false,"ide":"C++"})");
  EXPECT_EQ(Call(port, TMethod::Get, "/", "").Status, 200);
  const TAnswer tooLarge = Call(port, TMethod::Post, "/tandemize", ops, std::string(1001, '{'));
  EXPECT_EQ(tooLarge.Status, 413);
  EXPECT_EQ(tooLarge.Body, "Request body larger than 1000 bytes");
  EXPECT_EQ(Call(port, TMethod::Post, "/tandemize", ops, std::string(1000, '{')).Status, 200);
}

std::vector<std::string> Lines(const std::string& aFile) {
  std::ifstream in(aFile);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A log line with its time shown as TIME and its duration as ms=N, once each
// is seen to be well formed ("?" where one is not).
std::string Fields(const std::string& aLine) {
  const auto digits = [](const std::string& aText, std::size_t aFrom, std::size_t aCount) {
    if (aFrom + aCount > aText.size()) return false;
    for (std::size_t i = aFrom; i < aFrom + aCount; ++i) {
      if (aText[i] < '0' || aText[i] > '9') return false;
    }
    return true;
  };
  const std::string time = aLine.substr(0, aLine.find(' '));
  const bool timeOk = time.size() == 24 && digits(time, 0, 4) && time[4] == '-' &&
                      digits(time, 5, 2) && time[7] == '-' && digits(time, 8, 2) &&
                      time[10] == 'T' && digits(time, 11, 2) && time[13] == ':' &&
                      digits(time, 14, 2) && time[16] == ':' && digits(time, 17, 2) &&
                      time[19] == '.' && digits(time, 20, 3) && time[23] == 'Z';
  std::string rest = aLine.substr(time.size());
  const std::size_t ms = rest.find(" ms=");
  if (ms != std::string::npos) {
    const std::size_t end = rest.find(' ', ms + 1);
    const std::string value = rest.substr(ms + 4, end == std::string::npos ? end : end - ms - 4);
    const std::size_t dot = value.find('.');
    const bool msOk = dot != std::string::npos && dot > 0 && digits(value, 0, dot) &&
                      value.size() == dot + 4 && digits(value, dot + 1, 3);
    rest.replace(ms + 4, value.size(), msOk ? "N" : "?");
  }
  return (timeOk ? "TIME" : "?") + rest;
}

TEST(AccessLog, OneLinePerRequestWithItsFieldsAndNoSecrets) {
  const std::string folder =
      (fs::temp_directory_path() / ("tandemize-log-" + std::to_string(::getpid()))).string();
  fs::remove_all(folder);
  fs::create_directories(folder);
  const std::string database = folder + "/imports.db";
  {
    harness::TDirect direct({{"DriverID", "SQLite"}, {"Database", database}});
    direct.Exec("CREATE TABLE t (id INTEGER PRIMARY KEY, nome VARCHAR(20))");
    direct.Close();
  }
  const std::string log = folder + "/access.log";
  const int port = FreePort();
  TProgram program({"--bind", "127.0.0.1", "--port", std::to_string(port), "--log", log});
  ASSERT_TRUE(program.WaitForOutput("\n")) << program.Errors();

  // The params carry a password (which fails the second import: the file is
  // not encrypted) and the rows values: neither may reach the log.
  const std::string params =
      R"({"tipo_sgdb":5,"database":")" + database + R"(","user":"u","password":""})";
  const std::string secretParams =
      R"({"tipo_sgdb":5,"database":")" + database + R"(","password":"pw-never-logged"})";
  const std::string rows = R"([{"id":1,"nome":"row-value-1"},{"id":2,"nome":"row-value-2"}])";
  const std::string good = harness::RowsEnvelope(params, "t", rows);
  const std::string bad = harness::RowsEnvelope(secretParams, "missing", rows);
  const TAnswer imported = Call(port, TMethod::Post, "/tandemize", kTulip, good);
  ASSERT_EQ(imported.Body, harness::kSuccess);
  const TAnswer failed = Call(port, TMethod::Post, "/tandemize", kTulip, bad);
  EXPECT_NE(failed.Body.find(R"("success":false)"), std::string::npos);
  // Credentials in the query, and no credentials at all.
  const TAnswer queried =
      Call(port, TMethod::Get, "/checkrequest?Authorization=Basic%20dHVsaXA6dHVsaXA=", "");
  EXPECT_EQ(queried.Status, 200);
  EXPECT_EQ(Call(port, TMethod::Get, "/checkrequest", "").Status, 401);
  const TAnswer status = Call(port, TMethod::Get, "/", "");
  EXPECT_EQ(status.Status, 200);

  const std::vector<std::string> lines = Lines(log);
  ASSERT_EQ(lines.size(), 5u) << program.Output();
  const std::vector<std::string> expected = {
      "POST /tandemize 200 in=" + std::to_string(good.size()) + " out=" +
          std::to_string(imported.Body.size()) + " ms=N kind=SQLite table=t rows=2 result=ok",
      "POST /tandemize 200 in=" + std::to_string(bad.size()) +
          " out=" + std::to_string(failed.Body.size()) +
          " ms=N kind=SQLite table=missing rows=0 result=failed "
          "message=\"[DAL][Phys][SQLite] ERROR: file is encrypted or is not a database\"",
      "GET /checkrequest 200 in=0 out=" + std::to_string(queried.Body.size()) + " ms=N",
      "GET /checkrequest 401 in=0 out=23 ms=N",
      "GET / 200 in=0 out=" + std::to_string(status.Body.size()) + " ms=N",
  };
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(Fields(lines[i]), "TIME 127.0.0.1 " + expected[i]) << lines[i];
  }
  std::ostringstream all;
  for (const std::string& line : lines) all << line << "\n";
  for (const char* secret : {"pw-never-logged", "row-value", "dHVsaXA", "Authorization", "tulip",
                             "imports.db", "tipo_sgdb"}) {
    EXPECT_EQ(all.str().find(secret), std::string::npos) << secret << " in:\n" << all.str();
  }
  // The banner still goes to standard output, alone.
  EXPECT_EQ(program.Output().find("Servidor ativo"), 0u);
  fs::remove_all(folder);
}

// A folder of the test's own, removed with it.
class TFolder {
 public:
  explicit TFolder(const std::string& aName)
      : FPath(fs::temp_directory_path() / (aName + "-" + std::to_string(::getpid()))) {
    fs::remove_all(FPath);
    fs::create_directories(FPath);
  }
  ~TFolder() {
    std::error_code ignored;
    fs::remove_all(FPath, ignored);
  }
  std::string operator/(const std::string& aName) const { return (FPath / aName).string(); }

 private:
  fs::path FPath;
};

TEST(AccessLog, RequestsTheTransportRefusesHaveTheirLineToo) {
  const TFolder folder("tandemize-refusals");
  const std::string log = folder / "access.log";
  const int port = FreePort();
  const TFile config("refusals.ini", "[Server]\nmax_body_bytes=1000\n");
  TProgram program({"--bind", "127.0.0.1", "--port", std::to_string(port), "--config",
                    config.Path(), "--log", log});
  ASSERT_TRUE(program.WaitForOutput("\n")) << program.Errors();

  const std::string secret = "never-logged";
  struct Case {
    std::string request;
    int status;
    std::string line;  // method, path, status and body bytes in
  };
  const std::vector<Case> cases = {
      // The header block never ends within its bound: the method and path
      // come from the request line.
      {"GET /checkrequest?key=" + secret + " HTTP/1.1\r\nX-Big: " + std::string(1100 * 1024, 'h') +
           secret + "\r\n\r\n",
       431, "GET /checkrequest 431 in=0"},
      {"POST /tandemize?password=" + secret +
           " HTTP/1.1\r\nHost: x\r\nContent-Length: 1001\r\n\r\n" + secret +
           std::string(1001 - secret.size(), '{'),
       413, "POST /tandemize 413 in=0"},
      {"POST /tandemize HTTP/1.1\r\nHost: x\r\nContent-Length: " + secret + "\r\n\r\n", 400,
       "POST /tandemize 400 in=0"},
      // A body that breaks off in its chunk framing: what arrived is counted.
      {"POST /testedb HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n" +
           secret.substr(0, 5) + "\r\nzz\r\n",
       400, "POST /testedb 400 in=5"},
      // Not a request line at all: nothing is known of method or path.
      {"\x01\x02\x03\r\n\r\n", 400, "- - 400 in=0"},
  };
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    const TAnswer answer = Exchange(port, c.request);
    EXPECT_EQ(answer.Status, c.status) << c.line << ": " << answer.Body;
    expected.push_back("TIME 127.0.0.1 " + c.line + " out=" + std::to_string(answer.Body.size()) +
                       " ms=N");
  }

  // Connections beyond the cap are answered before any byte is read.
  const int cappedPort = FreePort();
  const TFile capped("capped.ini", "[Server]\nmax_connections=1\n");
  TProgram cappedProgram({"--bind", "127.0.0.1", "--port", std::to_string(cappedPort), "--config",
                          capped.Path(), "--log", log});
  ASSERT_TRUE(cappedProgram.WaitForOutput("\n")) << cappedProgram.Errors();
  {
    const THeldConnection held(cappedPort);
    ASSERT_TRUE(held.Connected());
    const TAnswer refused = Exchange(cappedPort, "");
    EXPECT_EQ(refused.Status, 503) << refused.Body;
    expected.push_back("TIME 127.0.0.1 - - 503 in=0 out=" + std::to_string(refused.Body.size()) +
                       " ms=N");
  }

  std::vector<std::string> lines = Lines(log);
  ASSERT_EQ(lines.size(), expected.size()) << program.Errors();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(Fields(lines[i]), expected[i]) << lines[i];
    EXPECT_EQ(lines[i].find(secret.substr(0, 5)), std::string::npos) << lines[i];
  }
}

// A log rotation moves the file and sends SIGHUP: the program opens the name
// again and serves on; each file holds its own lines, none is lost. Logging to
// stderr, the signal changes nothing.
TEST(AccessLog, HangUpReopensTheFileAndServesOn) {
  const TFolder folder("tandemize-rotation");
  const std::string log = folder / "access.log";
  const int port = FreePort();
  TProgram program({"--bind", "127.0.0.1", "--port", std::to_string(port), "--log", log});
  ASSERT_TRUE(program.WaitForOutput("\n")) << program.Errors();

  EXPECT_EQ(Call(port, TMethod::Get, "/", "").Status, 200);
  fs::rename(log, log + ".1");
  EXPECT_EQ(Call(port, TMethod::Get, "/checkrequest", kTulip).Status, 200);  // before the signal
  program.Signal(SIGHUP);
  bool reopened = false;
  for (int i = 0; i < 300 && !reopened; ++i) {
    reopened = fs::exists(log);
    if (!reopened) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(reopened) << program.Errors();
  EXPECT_EQ(Call(port, TMethod::Get, "/checkrequest", "").Status, 401);
  program.Signal(SIGHUP);  // again, with nothing moved
  EXPECT_EQ(Call(port, TMethod::Get, "/", "").Status, 200);

  const auto requests = [](const std::string& aFile) {
    std::vector<std::string> requests;
    for (const std::string& line : Lines(aFile)) {
      const std::string fields = Fields(line);
      requests.push_back(fields.substr(0, fields.find(" in=")));
    }
    return requests;
  };
  const std::string from = "TIME 127.0.0.1 ";
  EXPECT_EQ(requests(log + ".1"),
            (std::vector<std::string>{from + "GET / 200", from + "GET /checkrequest 200"}));
  // The second signal may come before or after the last line is written:
  // either way it lands in the same file.
  EXPECT_EQ(requests(log),
            (std::vector<std::string>{from + "GET /checkrequest 401", from + "GET / 200"}));
  program.Signal(SIGTERM);
  EXPECT_EQ(program.Wait(), 0) << program.Errors();  // the hang-ups did not end it

  const int stderrPort = FreePort();
  TProgram toStderr(
      {"--bind", "127.0.0.1", "--port", std::to_string(stderrPort), "--log", "stderr"});
  ASSERT_TRUE(toStderr.WaitForOutput("\n")) << toStderr.Errors();
  toStderr.Signal(SIGHUP);
  EXPECT_EQ(Call(stderrPort, TMethod::Get, "/", "").Status, 200);
  toStderr.Signal(SIGTERM);
  EXPECT_EQ(toStderr.Wait(), 0) << toStderr.Errors();
  EXPECT_NE(toStderr.Errors().find(" 127.0.0.1 GET / 200 "), std::string::npos)
      << toStderr.Errors();
}

// Graceful stop with a PostgreSQL import in flight: the test holds a lock on
// one of the import's rows, so the import waits inside its transaction,
// having written the rows before it, for as long as the test wants.
class GracefulStop : public ::testing::Test {
 protected:
  void SetUp() override {
    // The test command always provides the server: a missing one is a failure.
    for (const char* name :
         {"TANDEMIZE_PG_HOST", "TANDEMIZE_PG_PORT", "TANDEMIZE_PG_DATABASE", "TANDEMIZE_PG_USER"}) {
      ASSERT_FALSE(Env(name).empty())
          << name
          << " is not set: start the test databases (scripts/test-databases.sh start) and "
             "source build-test/test-databases.env; scripts/test.sh does both";
    }
  }

  static std::vector<std::pair<std::string, std::string>> Definition() {
    return {{"DriverID", "PG"},
            {"Server", Env("TANDEMIZE_PG_HOST")},
            {"Port", Env("TANDEMIZE_PG_PORT")},
            {"Database", Env("TANDEMIZE_PG_DATABASE")},
            {"User_Name", Env("TANDEMIZE_PG_USER")},
            {"Password", Env("TANDEMIZE_PG_PASSWORD")}};
  }

  // aTable with rows 1 and 2 holding "old", row 2 locked until Release.
  void PrepareLockedTable(const std::string& aTable) {
    FTable = aTable;
    FDirect.Exec("DROP TABLE IF EXISTS " + aTable);
    FDirect.Exec("CREATE TABLE " + aTable + " (id INTEGER PRIMARY KEY, nome VARCHAR(20))");
    FDirect.Exec("INSERT INTO " + aTable + " VALUES (1, 'old'), (2, 'old')");
    FLocker.Connection().SetConnected(true);
    FLocker.Connection().StartTransaction();
    dbaccess::TDbQuery lock(&FLocker.Connection());
    lock.SQL().SetText("SELECT nome FROM " + aTable + " WHERE id = 2 FOR UPDATE");
    lock.Open();
  }
  void Release() {
    if (FLocker.Connection().InTransaction()) FLocker.Connection().Commit();
  }
  void TearDown() override {
    Release();
    if (FImport.joinable()) FImport.join();
    if (!FTable.empty()) FDirect.Exec("DROP TABLE IF EXISTS " + FTable);
  }

  // Imports rows 1, 2 and 3 as "new" on a thread of its own; the answer,
  // or "" when the connection ended without one.
  std::thread ImportInBackground(int aPort, std::string& aAnswer) {
    const std::string params = fmt::format(
        R"({{"tipo_sgdb":2,"host":"{}","port":{},"database":"{}","user":"{}","password":"{}"}})",
        Env("TANDEMIZE_PG_HOST"), Env("TANDEMIZE_PG_PORT"), Env("TANDEMIZE_PG_DATABASE"),
        Env("TANDEMIZE_PG_USER"), Env("TANDEMIZE_PG_PASSWORD"));
    const std::string envelope = harness::RowsEnvelope(
        params, FTable, R"([{"id":1,"nome":"new"},{"id":2,"nome":"new"},{"id":3,"nome":"new"}])");
    return std::thread([aPort, envelope, &aAnswer] {
      try {
        aAnswer = Call(aPort, TMethod::Post, "/tandemize", kTulip, envelope).Body;
      } catch (const std::exception&) {
        aAnswer = "";
      }
    });
  }

  // Waits (30 s at most) until a session other than the test's waits for
  // a lock on the table, or (aWaiting false) until none touches it.
  bool AwaitImportSession(bool aWaiting) {
    const std::string filter = "FROM pg_stat_activity WHERE query LIKE '%" + FTable +
                               "%' AND pid <> pg_backend_pid() AND query NOT LIKE '%pg_stat%'";
    const std::string sql = aWaiting ? "SELECT COUNT(*) " + filter + " AND wait_event_type = 'Lock'"
                                     : "SELECT COUNT(*) " + filter + " AND state <> 'idle'";
    for (int i = 0; i < 300; ++i) {
      const bool seen = FDirect.Value(sql) != "0";
      if (seen == aWaiting) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  std::string Rows() {
    return FDirect.Value("SELECT string_agg(id || '=' || nome, ',' ORDER BY id) FROM " + FTable);
  }

  // The program on a free port with `stop_timeout=aStopTimeout`, and an
  // import of rows 1 to 3 into aTable waiting on the lock of row 2; its
  // answer arrives in FAnswer once FImport ends.
  void StartWithImportWaiting(const std::string& aTable, const std::string& aStopTimeout) {
    PrepareLockedTable(aTable);
    FPort = FreePort();
    FConfig.emplace(aTable + ".ini", "[Server]\nstop_timeout=" + aStopTimeout + "\n");
    FProgram.emplace(std::vector<std::string>{"--bind", "127.0.0.1", "--port",
                                              std::to_string(FPort), "--config", FConfig->Path()});
    ASSERT_TRUE(FProgram->WaitForOutput("\n")) << FProgram->Errors();
    FImport = ImportInBackground(FPort, FAnswer);
    ASSERT_TRUE(AwaitImportSession(true));
  }

  harness::TDirect FDirect{Definition()};
  harness::TDirect FLocker{Definition()};
  std::string FTable;
  int FPort = 0;
  std::optional<TFile> FConfig;
  std::optional<TProgram> FProgram;
  std::string FAnswer = "none";
  std::thread FImport;
};

TEST_F(GracefulStop, AnImportInFlightFinishesThenTheProgramEndsWithZero) {
  ASSERT_NO_FATAL_FAILURE(StartWithImportWaiting("prod_stop_finish", "120"));

  FProgram->Signal(SIGTERM);
  EXPECT_TRUE(harness::RefusesConnections(FPort));  // no new connection while the import finishes
  Release();
  FImport.join();
  EXPECT_EQ(FAnswer, harness::kSuccess);
  EXPECT_EQ(FProgram->Wait(), 0) << FProgram->Errors();
  EXPECT_EQ(Rows(), "1=new,2=new,3=new");
}

TEST_F(GracefulStop, TheDeadlineCutsAnImportWhichRollsBack) {
  ASSERT_NO_FATAL_FAILURE(StartWithImportWaiting("prod_stop_cut", "1"));

  FProgram->Signal(SIGTERM);
  EXPECT_EQ(FProgram->Wait(), 0) << FProgram->Errors();
  FImport.join();
  EXPECT_EQ(FAnswer, "");  // the client got no verdict
  Release();
  // The server ends the import's session (the client is gone) without committing it.
  ASSERT_TRUE(AwaitImportSession(false));
  EXPECT_EQ(Rows(), "1=old,2=old");
}

TEST_F(GracefulStop, ASecondSignalStopsAtOnce) {
  ASSERT_NO_FATAL_FAILURE(StartWithImportWaiting("prod_stop_twice", "3600"));

  FProgram->Signal(SIGTERM);
  ASSERT_TRUE(harness::RefusesConnections(FPort));  // the graceful stop has begun
  FProgram->Signal(SIGINT);
  EXPECT_EQ(FProgram->Wait(), -2);  // ended by the signal, long before its hour
  FImport.join();
  EXPECT_EQ(FAnswer, "");
  Release();
  ASSERT_TRUE(AwaitImportSession(false));
  EXPECT_EQ(Rows(), "1=old,2=old");
}

}  // namespace
}  // namespace tandemize::production
