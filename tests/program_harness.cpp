#include "program_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <type_traits>
#include <variant>

namespace tandemize::harness {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace asio = boost::asio;

constexpr auto kAnswerBound = std::chrono::minutes(2);

// A stream connected to 127.0.0.1:aPort whose every operation, connecting
// included, ends within kAnswerBound.
beast::tcp_stream Connected(asio::io_context& aIo, int aPort) {
  beast::tcp_stream stream(aIo);
  stream.expires_after(kAnswerBound);
  stream.connect(asio::ip::tcp::endpoint{asio::ip::make_address("127.0.0.1"),
                                         static_cast<unsigned short>(aPort)});
  return stream;
}

http::verb VerbOf(TMethod aMethod) {
  switch (aMethod) {
    case TMethod::Get:
      return http::verb::get;
    case TMethod::Post:
      return http::verb::post;
  }
  return http::verb::unknown;
}

// A socket connected to 127.0.0.1:aPort, or -1.
int ConnectLoopback(int aPort) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(aPort));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::string Env(const char* aName) {
  const char* value = std::getenv(aName);
  return value != nullptr ? value : "";
}

int& ServicePort() {
  static int port = 0;
  return port;
}

// --- TServer ------------------------------------------------------------------

void TServer::Start() {
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

std::optional<std::string> TServer::Ended() {
  if (FPid <= 0) return std::nullopt;
  int status = 0;
  if (::waitpid(FPid, &status, WNOHANG) != FPid) return std::nullopt;
  FPid = -1;
  return WIFSIGNALED(status) ? fmt::format("signal {}", WTERMSIG(status))
                             : fmt::format("exit {}", WEXITSTATUS(status));
}

void TServer::Stop() noexcept {
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

bool TServer::TryStart(const std::string& aBinary, int aPort) {
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
    ::execl(aBinary.c_str(), aBinary.c_str(), "--port", port.c_str(), static_cast<char*>(nullptr));
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

// --- HTTP ---------------------------------------------------------------------

TAnswer Request(int aPort, TMethod aMethod, const std::string& aTarget, const THeaders& aHeaders,
                const std::string& aBody) {
  asio::io_context io;
  beast::tcp_stream stream = Connected(io, aPort);
  http::request<http::string_body> request(VerbOf(aMethod), aTarget, 11);
  request.set(http::field::host, "127.0.0.1");
  for (const auto& [name, value] : aHeaders) request.set(name, value);
  request.body() = aBody;
  request.prepare_payload();
  http::write(stream, request);
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(64 * 1024 * 1024);
  http::read(stream, buffer, parser);
  boost::system::error_code ignored;
  stream.socket().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  const auto& response = parser.get();
  return {static_cast<int>(response.result_int()), std::string(response[http::field::content_type]),
          response.body()};
}

TAnswer Call(TMethod aMethod, const std::string& aTarget, const std::string& aBody,
             const std::string& aContentType, const std::optional<std::string>& aRequestHeader) {
  THeaders headers{{"Authorization", kTulip}};
  if (aMethod != TMethod::Get) headers.emplace_back("Content-Type", aContentType);
  if (aRequestHeader) headers.emplace_back("x-request", *aRequestHeader);
  return Request(ServicePort(), aMethod, aTarget, headers, aBody);
}

TAnswer Import(const std::string& aEnvelope) {
  return Call(TMethod::Post, "/tandemize", aEnvelope);
}

TAnswer Exchange(int aPort, const std::string& aBytes) {
  asio::io_context io;
  beast::tcp_stream stream = Connected(io, aPort);
  if (!aBytes.empty()) asio::write(stream, asio::buffer(aBytes));
  std::string received;
  boost::system::error_code ec;
  char buffer[4096];
  while (!ec) {
    const std::size_t n = stream.read_some(asio::buffer(buffer), ec);
    received.append(buffer, n);
  }
  const std::size_t headEnd = received.find("\r\n\r\n");
  if (received.size() < 12 || headEnd == std::string::npos) return {};
  return {std::stoi(received.substr(9, 3)), {}, received.substr(headEnd + 4)};
}

bool RefusesConnections(int aPort) {
  for (int i = 0; i < 300; ++i) {
    const int fd = ConnectLoopback(aPort);
    if (fd < 0) return true;
    ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

THeldConnection::THeldConnection(int aPort) : FSocket(ConnectLoopback(aPort)) {
  FConnected = FSocket >= 0;
}

THeldConnection::~THeldConnection() {
  if (FSocket >= 0) ::close(FSocket);
}

// --- Envelopes ----------------------------------------------------------------

std::string RowsEnvelope(const std::string& aParams, const std::string& aTable,
                         const std::string& aData) {
  return fmt::format(
      R"({{"params":{},"headers":{{"teble_name":"{}","pks":["id"],"fields":["nome"]}},)"
      R"("tandemize":{{"structure":[{{"fieldName":"id","dataType":"ftInteger","size":0}},)"
      R"({{"fieldName":"nome","dataType":"ftWideString","size":2000}}],"data":{}}}}})",
      aParams, aTable, aData);
}

std::string SQLiteParams(const std::string& aFile) {
  return fmt::format(R"({{"tipo_sgdb":5,"database":"{}"}})", aFile);
}

// --- TDirect ------------------------------------------------------------------

TDirect::TDirect(const std::vector<std::pair<std::string, std::string>>& aDefinition) {
  for (const auto& [key, value] : aDefinition) FConnection.Params().SetValue(key, value);
}

void TDirect::Exec(const std::string& aSql) {
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

std::string TDirect::Value(const std::string& aSql) {
  if (!FConnection.Connected()) FConnection.SetConnected(true);
  dbaccess::TDbQuery q(&FConnection);
  q.SQL().SetText(aSql);
  q.Open();
  if (q.Eof()) return {};
  return std::visit(
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

}  // namespace tandemize::harness
