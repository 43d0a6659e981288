#pragma once
// The running program for tests that need it whole: start it on a free port
// of its own and wait for the banner, call it over HTTP, and open the
// databases it writes. Shared by the data-route tests and the fault tests.
//
// The HTTP client and the process handling are compiled once, in
// program_harness.cpp (library tandemize_program_harness), so a test that
// includes this header does not compile an HTTP stack of its own.

#include <sys/types.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dbaccess/db_connection.h"
#include "free_port.h"

namespace tandemize::harness {

inline constexpr const char* kSuccess =
    R"({"success":true,"message":"Dados Importado com sucesso!"})";

// The credentials the program accepts when none are configured.
inline constexpr const char* kTulip = "Basic dHVsaXA6dHVsaXA=";  // tulip:tulip

// The environment variable's value, "" when it is not set.
std::string Env(const char* aName);

// The port of the program the test process started last: Call() and
// Import() talk to it.
int& ServicePort();

// The program (TANDEMIZE_BINARY), started by the test on a free port (given
// with --port) and stopped by PID.
class TServer {
 public:
  TServer() = default;
  TServer(const TServer&) = delete;
  TServer& operator=(const TServer&) = delete;
  ~TServer() { Stop(); }

  // Starts the program and waits for its banner; retries on another free
  // port when the one chosen was taken before the program could listen.
  // A failure is a fatal test failure: check with ASSERT_NO_FATAL_FAILURE.
  void Start();

  int Port() const { return FPort; }

  // How the program ended when it is no longer running, else nullopt:
  // "exit <code>" or "signal <number>".
  std::optional<std::string> Ended();

  // SIGTERM, then SIGKILL after five seconds; nothing when not running.
  void Stop() noexcept;

 private:
  bool TryStart(const std::string& aBinary, int aPort);

  pid_t FPid = -1;
  int FOut = -1;
  int FPort = 0;
  std::string FOutput;
};

// A fixture whose suite shares one program: started before the suite's first
// test, stopped after its last. A test during which the program ended fails,
// and the next test gets a new one. Subclasses that override TearDown call
// this one's.
class TProgramSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { Program().Start(); }
  static void TearDownTestSuite() { Program().Stop(); }
  void TearDown() override {
    if (const auto ended = Program().Ended()) {
      ADD_FAILURE() << "the program ended (" << *ended << ") during this test";
      Program().Start();
    }
  }
  static TServer& Program() {
    static TServer program;
    return program;
  }
};

enum class TMethod { Get, Post };

struct TAnswer {
  int Status = 0;
  std::string ContentType;
  std::string Body;
};

using THeaders = std::vector<std::pair<std::string, std::string>>;

// One HTTP/1.1 request to 127.0.0.1:aPort with the given header fields (Host
// and Content-Length are added); the answer, or a failure (thrown) when it
// does not answer within two minutes.
TAnswer Request(int aPort, TMethod aMethod, const std::string& aTarget, const THeaders& aHeaders,
                const std::string& aBody);

// One request with credentials to the program started last (ServicePort()),
// with aContentType unless it is a GET, and aRequestHeader as "x-request".
TAnswer Call(TMethod aMethod, const std::string& aTarget, const std::string& aBody = {},
             const std::string& aContentType = "application/octet-stream",
             const std::optional<std::string>& aRequestHeader = std::nullopt);

// A POST of the envelope to the import route of the program started last.
TAnswer Import(const std::string& aEnvelope);

// Writes aBytes as they are to 127.0.0.1:aPort and reads until the program
// closes the connection (bounded by two minutes): the status and the body,
// or {} when no answer came.
TAnswer Exchange(int aPort, const std::string& aBytes);

// True once a connection to 127.0.0.1:aPort is refused (within 30 s).
bool RefusesConnections(int aPort);

// A connection to 127.0.0.1 held open until destroyed; sends nothing.
class THeldConnection {
 public:
  explicit THeldConnection(int aPort);
  THeldConnection(const THeldConnection&) = delete;
  THeldConnection& operator=(const THeldConnection&) = delete;
  ~THeldConnection();
  bool Connected() const { return FConnected; }

 private:
  int FSocket = -1;
  bool FConnected = false;
};

// A JSON import envelope of rows (id, nome) into `aTable`, keyed on id.
std::string RowsEnvelope(const std::string& aParams, const std::string& aTable,
                         const std::string& aData);

std::string SQLiteParams(const std::string& aFile);

// The test's own connection to a database the program writes.
class TDirect {
 public:
  // Keys as the connection definition names them: DriverID, Server, Port,
  // Database, User_Name, Password.
  explicit TDirect(const std::vector<std::pair<std::string, std::string>>& aDefinition);

  // Runs aSql in a transaction of its own.
  void Exec(const std::string& aSql);

  // The first column of the first row, as text ("null" for NULL, "" for no
  // row).
  std::string Value(const std::string& aSql);

  void Close() { FConnection.SetConnected(false); }
  dbaccess::TDbConnection& Connection() { return FConnection; }

 private:
  dbaccess::TDbConnection FConnection;
};

}  // namespace tandemize::harness
