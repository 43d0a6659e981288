#pragma once
// The running program for tests that need it whole: start it on a free port
// of its own and wait for the banner, call it over HTTP, and open the
// databases it writes. Shared by the data-route tests and the fault tests.

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fmt/format.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <variant>
#include <vector>

#include "dbaccess/db_connection.h"
#include "free_port.h"

namespace tandemize::harness {

inline constexpr const char* kSuccess =
    R"({"success":true,"message":"Dados Importado com sucesso!"})";

inline std::string Env(const char* aName) {
  const char* value = std::getenv(aName);
  return value != nullptr ? value : "";
}

// The port of the program the test process started last: Call() and
// Import() talk to it.
inline int& ServicePort() {
  static int port = 0;
  return port;
}

// The program (TANDEMIZE_BINARY), started by the test on a free port (given
// with --port) and stopped by PID.
class TServer {
 public:
  // Starts the program and waits for its banner; retries on another free
  // port when the one chosen was taken before the program could listen.
  void Start() {
    const std::string binary = Env("TANDEMIZE_BINARY");
    ASSERT_FALSE(binary.empty()) << "TANDEMIZE_BINARY is not set";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (std::chrono::steady_clock::now() < deadline) {
      if (TryStart(binary, FreePort())) return;
      Stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    FAIL() << "the program did not print its banner: " << FOutput;
  }

  int Port() const { return FPort; }

  // How the program ended when it is no longer running, else nullopt:
  // "exit <code>" or "signal <number>".
  std::optional<std::string> Ended() {
    if (FPid <= 0) return std::nullopt;
    int status = 0;
    if (::waitpid(FPid, &status, WNOHANG) != FPid) return std::nullopt;
    FPid = -1;
    return WIFSIGNALED(status) ? fmt::format("signal {}", WTERMSIG(status))
                               : fmt::format("exit {}", WEXITSTATUS(status));
  }

  void Stop() {
    if (FPid > 0) {
      // A loaded Firebird client catches SIGTERM, so the program may outlive it.
      ::kill(FPid, SIGTERM);
      int status = 0;
      for (int i = 0; i < 50 && ::waitpid(FPid, &status, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      if (::waitpid(FPid, &status, WNOHANG) == 0) {
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, &status, 0);
      }
      FPid = -1;
    }
    if (FOut >= 0) ::close(FOut);
    FOut = -1;
  }

  ~TServer() { Stop(); }

 private:
  bool TryStart(const std::string& aBinary, int aPort) {
    int fds[2];
    if (::pipe(fds) != 0) return false;
    const std::string port = std::to_string(aPort);
    FPid = ::fork();
    if (FPid == 0) {
      const int devNull = ::open("/dev/null", O_RDONLY);
      ::dup2(devNull, 0);
      ::dup2(fds[1], 1);
      ::close(fds[0]);
      ::close(fds[1]);
      ::execl(aBinary.c_str(), aBinary.c_str(), "--port", port.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    FOut = fds[0];
    FOutput.clear();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{FOut, POLLIN, 0};
      if (::poll(&p, 1, 200) <= 0) continue;
      char buffer[512];
      const ssize_t n = ::read(FOut, buffer, sizeof buffer);
      if (n <= 0) return false;  // the program ended (port busy)
      FOutput.append(buffer, static_cast<std::size_t>(n));
      if (FOutput.find("Servidor ativo 0.0.0.0:" + port + " ") != std::string::npos &&
          FOutput.find('\n') != std::string::npos) {
        FPort = aPort;
        ServicePort() = aPort;
        return true;
      }
    }
    return false;
  }

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

struct TAnswer {
  int Status = 0;
  std::string ContentType;
  std::string Body;
};

// One request with credentials to the program started last (ServicePort());
// the answer, or a failure (thrown) when it does not answer within two
// minutes.
inline TAnswer Call(boost::beast::http::verb aVerb, const std::string& aTarget,
                    const std::string& aBody = {},
                    const std::string& aContentType = "application/octet-stream",
                    const std::optional<std::string>& aRequestHeader = std::nullopt) {
  namespace http = boost::beast::http;
  boost::asio::io_context io;
  boost::asio::ip::tcp::resolver resolver(io);
  boost::beast::tcp_stream stream(io);
  stream.expires_after(std::chrono::minutes(2));
  stream.connect(resolver.resolve("127.0.0.1", std::to_string(ServicePort())));
  http::request<http::string_body> request(aVerb, aTarget, 11);
  request.set(http::field::host, "127.0.0.1");
  request.set(http::field::authorization, "Basic dHVsaXA6dHVsaXA=");  // tulip:tulip
  if (aVerb != http::verb::get) request.set(http::field::content_type, aContentType);
  if (aRequestHeader) request.set("x-request", *aRequestHeader);
  request.body() = aBody;
  request.prepare_payload();
  http::write(stream, request);
  boost::beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(64 * 1024 * 1024);
  http::read(stream, buffer, parser);
  boost::system::error_code ignored;
  stream.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
  const auto& response = parser.get();
  return {static_cast<int>(response.result_int()), std::string(response[http::field::content_type]),
          response.body()};
}

inline TAnswer Import(const std::string& aEnvelope) {
  return Call(boost::beast::http::verb::post, "/tandemize", aEnvelope);
}

// A JSON import envelope of rows (id, nome) into `aTable`, keyed on id.
inline std::string RowsEnvelope(const std::string& aParams, const std::string& aTable,
                                const std::string& aData) {
  return fmt::format(
      R"({{"params":{},"headers":{{"teble_name":"{}","pks":["id"],"fields":["nome"]}},)"
      R"("tandemize":{{"structure":[{{"fieldName":"id","dataType":"ftInteger","size":0}},)"
      R"({{"fieldName":"nome","dataType":"ftWideString","size":2000}}],"data":{}}}}})",
      aParams, aTable, aData);
}

inline std::string SQLiteParams(const std::string& aFile) {
  return fmt::format(R"({{"tipo_sgdb":5,"database":"{}"}})", aFile);
}

// The test's own connection to a database the program writes.
class TDirect {
 public:
  // Keys as the connection definition names them: DriverID, Server, Port,
  // Database, User_Name, Password.
  explicit TDirect(const std::vector<std::pair<std::string, std::string>>& aDefinition) {
    for (const auto& [key, value] : aDefinition) FConnection.Params().SetValue(key, value);
  }

  void Exec(const std::string& aSql) {
    if (!FConnection.Connected()) FConnection.SetConnected(true);
    FConnection.StartTransaction();
    try {
      dbaccess::TDbQuery q(&FConnection);
      q.SQL().SetText(aSql);
      q.ExecSQL();
      FConnection.Commit();
    } catch (...) {
      FConnection.Rollback();
      throw;
    }
  }

  // The first column of the first row, as text.
  std::string Value(const std::string& aSql) {
    if (!FConnection.Connected()) FConnection.SetConnected(true);
    std::string text;
    {
      dbaccess::TDbQuery q(&FConnection);
      q.SQL().SetText(aSql);
      q.Open();
      if (!q.Eof()) {
        text = std::visit(
            [](const auto& v) -> std::string {
              using T = std::decay_t<decltype(v)>;
              if constexpr (std::is_same_v<T, std::monostate>)
                return "null";
              else if constexpr (std::is_same_v<T, std::string>)
                return v;
              else if constexpr (std::is_arithmetic_v<T>)
                return fmt::format("{}", v);
              else
                return "?";
            },
            q.FieldValue(0));
      }
    }
    return text;
  }

  void Close() { FConnection.SetConnected(false); }
  dbaccess::TDbConnection& Connection() { return FConnection; }

 private:
  dbaccess::TDbConnection FConnection;
};

}  // namespace tandemize::harness
