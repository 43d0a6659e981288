// Waits on a database server that stops answering come to an end on every
// kind that talks to one: a server that accepts the connection and never
// says a word, and a server that goes quiet once the connection is made. The
// bounds are shortened to seconds for these tests (TScopedDbTimeouts); the
// failure is the client library's own message behind the kind's prefix.

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dbaccess/db_connection.h"
#include "dbaccess/internal/db_timeouts.h"
#include "dbaccess/test_kinds.h"

namespace tandemize::dbaccess {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using namespace std::chrono_literals;

// Bounds of a few seconds; libpq takes no connect timeout below 2 s.
constexpr TDbTimeouts kShortTimeouts{
    .Connect = 2s,
    .KeepAliveIdle = 1s,
    .KeepAliveInterval = 1s,
    .KeepAliveCount = 2,
    .Unacknowledged = 2s,
    .SilentReadWrite = 2s,
};

// How long a quiet server keeps a silent connection open before closing it
// itself. Far beyond the shortened bounds: a client still waiting then was
// not stopped by its own bound, and the test fails instead of hanging.
constexpr auto kGiveUp = 60s;

// A TCP server on 127.0.0.1 (a port of its own) that does not answer.
// Without a target it never says a word. With a target port it is a proxy:
// every connection is joined to a new connection to the target and bytes go
// both ways until Silence(); after that nothing is forwarded, and what the
// client sends is read and dropped (kDrain) or left unread (kStall), so that
// the connection's window closes as on a server that stopped reading.
class TQuietServer {
 public:
  enum TMode { kDrain, kStall };

  explicit TQuietServer(int targetPort = 0, TMode mode = kDrain)
      : FTargetPort(targetPort), FMode(mode), FSilent(targetPort == 0) {
    FListener = socket(AF_INET, SOCK_STREAM, 0);
    if (mode == kStall) {
      // Inherited by accepted connections: a small window fills at once.
      const int size = 4096;
      setsockopt(FListener, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(FListener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(FListener, 64) != 0 ||
        getsockname(FListener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "cannot listen on 127.0.0.1";
      return;
    }
    FPort = ntohs(address.sin_port);
    FThread = std::thread([this] { Run(); });
  }
  ~TQuietServer() {
    FStop = true;
    if (FThread.joinable()) FThread.join();
    for (const TPair& pair : FPairs) {
      close(pair.Client);
      if (pair.Target >= 0) close(pair.Target);
    }
    if (FListener >= 0) close(FListener);
  }
  TQuietServer(const TQuietServer&) = delete;
  TQuietServer& operator=(const TQuietServer&) = delete;

  int Port() const { return FPort; }
  std::string PortText() const { return std::to_string(FPort); }
  // From now on nothing is forwarded.
  void Silence() {
    std::lock_guard lock(FLock);
    FSilent = true;
    FSilentSince = std::chrono::steady_clock::now();
  }
  // True when a client was still waiting kGiveUp after the server went
  // silent, and the server closed the connection itself.
  bool GaveUp() const { return FGaveUp; }
  // Closes every connection.
  void HangUp() { FHangUp = true; }
  // Bytes that clients sent while the server was silent (kDrain).
  std::size_t BytesWhileSilent() const { return FBytesWhileSilent; }

 private:
  struct TPair {
    int Client = -1;
    int Target = -1;
  };

  void Run() noexcept {
    try {
      while (!FStop) Step();
    } catch (...) {
      ADD_FAILURE() << "the quiet server stopped on an exception";
    }
  }

  void Step() {
    bool silent = false;
    std::chrono::steady_clock::time_point since;
    {
      std::lock_guard lock(FLock);
      silent = FSilent;
      since = FSilentSince;
    }
    const bool late = silent && std::chrono::steady_clock::now() - since > kGiveUp;
    if (!FPairs.empty() && (late || FHangUp)) {
      if (!FHangUp) FGaveUp = true;
      for (const TPair& pair : FPairs) {
        close(pair.Client);
        if (pair.Target >= 0) close(pair.Target);
      }
      FPairs.clear();
    }
    std::vector<pollfd> fds{{FListener, POLLIN, 0}};
    for (const TPair& pair : FPairs) {
      const bool readClient = !silent || FMode == kDrain;
      fds.push_back({pair.Client, static_cast<short>(readClient ? POLLIN : 0), 0});
      fds.push_back({pair.Target, static_cast<short>(pair.Target >= 0 ? POLLIN : 0), 0});
    }
    if (poll(fds.data(), fds.size(), 50) <= 0) return;
    std::vector<std::size_t> finished;
    for (std::size_t i = 0; 2 * i + 2 < fds.size(); ++i) {
      const pollfd& client = fds[1 + 2 * i];
      const pollfd& target = fds[2 + 2 * i];
      const bool ended =
          (client.revents != 0 && !Pass(FPairs[i].Client, FPairs[i].Target, silent)) ||
          (target.revents != 0 && !Pass(FPairs[i].Target, FPairs[i].Client, silent));
      if (ended) finished.push_back(i);
    }
    for (auto i = finished.rbegin(); i != finished.rend(); ++i) {
      close(FPairs[*i].Client);
      if (FPairs[*i].Target >= 0) close(FPairs[*i].Target);
      FPairs.erase(FPairs.begin() + static_cast<std::ptrdiff_t>(*i));
    }
    if (fds[0].revents & POLLIN) Accept();
  }

  void Accept() {
    TPair pair;
    pair.Client = accept(FListener, nullptr, nullptr);
    if (pair.Client < 0) return;
    if (FTargetPort != 0) {
      pair.Target = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      address.sin_port = htons(static_cast<std::uint16_t>(FTargetPort));
      if (connect(pair.Target, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(pair.Target);
        close(pair.Client);
        return;
      }
    }
    FPairs.push_back(pair);
  }

  // Copies what `from` has to `to` (drops it while silent); false at its end.
  bool Pass(int from, int to, bool silent) {
    char buffer[65536];
    const ssize_t got = recv(from, buffer, sizeof buffer, 0);
    if (got <= 0) return false;
    if (silent) {
      FBytesWhileSilent += static_cast<std::size_t>(got);
      return true;
    }
    for (ssize_t sent = 0; sent < got;) {
      const ssize_t n = send(to, buffer + sent, static_cast<std::size_t>(got - sent), MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += n;
    }
    return true;
  }

  int FListener = -1;
  int FPort = 0;
  const int FTargetPort;
  const TMode FMode;
  std::mutex FLock;
  bool FSilent;
  std::chrono::steady_clock::time_point FSilentSince = std::chrono::steady_clock::now();
  std::atomic<bool> FStop{false};
  std::atomic<bool> FGaveUp{false};
  std::atomic<bool> FHangUp{false};
  std::atomic<std::size_t> FBytesWhileSilent{0};
  std::vector<TPair> FPairs;  // used by the server's thread only
  std::thread FThread;
};

// Sets an environment variable for the life of the object.
class TScopedEnv {
 public:
  TScopedEnv(const char* name, const std::string& value) : FName(name) {
    if (const char* old = std::getenv(name)) FOld = old;
    setenv(name, value.c_str(), 1);
  }
  ~TScopedEnv() {
    if (FOld) {
      setenv(FName, FOld->c_str(), 1);
    } else {
      unsetenv(FName);
    }
  }

 private:
  const char* FName;
  std::optional<std::string> FOld;
};

// The test servers of the kinds: DriverID and TANDEMIZE_<prefix>_*.
struct TKind {
  const char* DriverID;
  const char* EnvPrefix;
};
constexpr TKind kPG{"PG", "PG"}, kMySQL{"MySQL", "MYSQL"}, kFB{"FB", "FB"},
    kMSSQL{"MSSQL", "MSSQL"};

int ServerPort(const TKind& kind) {
  return std::atoi(test::RequiredEnv(std::string("TANDEMIZE_") + kind.EnvPrefix + "_PORT").c_str());
}

// A connection with the settings of `kind`'s test server, except that Server
// and Port are `port` on 127.0.0.1.
void UseKindAt(TDbConnection& connection, const TKind& kind, int port) {
  connection.Params().SetValue("DriverID", kind.DriverID);
  test::FillFromEnv(connection.Params(), kind.EnvPrefix);
  connection.Params().SetValue("Server", "127.0.0.1");
  connection.Params().SetValue("Port", std::to_string(port));
}

using test::FailureOf;

TEST(DbTimeouts, ConnectingToAServerThatNeverAnswersFailsWithTheClientsMessage) {
  struct Case {
    TKind Kind;
    const char* Prefix;
    const char* ClientText;  // the client library's words for it
  };
  const Case cases[] = {
      {kPG, "[DAL][Phys][PG][libpq] ", "timeout expired"},
      {kMySQL, "[DAL][Phys][MySQL] ", "Lost connection to server at 'handshake"},
      {kFB, "[DAL][Phys][FB]", "connection rejected by remote interface"},
      // The SQL Server driver of the test machine takes its port from PGPORT
      // (the kind passes no Port); it honours the login timeout.
      {kMSSQL, "[DAL][Phys][ODBC]", "timeout expired"},
  };
  const TScopedDbTimeouts timeouts(kShortTimeouts);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Kind.DriverID);
    TQuietServer server;
    const TScopedEnv pgport("PGPORT", server.PortText());
    TDbConnection connection;
    UseKindAt(connection, c.Kind, server.Port());
    const std::string message = FailureOf([&] { connection.SetConnected(true); });
    EXPECT_THAT(message, StartsWith(c.Prefix));
    EXPECT_THAT(message, HasSubstr(c.ClientText));
    EXPECT_FALSE(server.GaveUp()) << "the client waited until the server hung up";
    EXPECT_FALSE(connection.Connected());
  }
}

// A server that stops answering after the connection is made, while a
// statement that ran before runs again. MySQL: the server reads the
// statement and never replies; the per-read bound ends the wait. PG: the
// server stops reading, so a large value cannot be sent; data that the server
// does not take for the unacknowledged bound ends the connection. (A reply
// that never comes from a server whose host is still up is what a long
// statement looks like, and PG leaves it alone; the keep-alive bound for a
// host that is gone cannot be staged by a test.)
TEST(DbTimeouts, AServerThatGoesQuietAfterConnectingFailsTheStatement) {
  struct Case {
    TKind Kind;
    TQuietServer::TMode Mode;
    const char* Sql;    // one marker, :v
    std::string Value;  // its value once the server is quiet
    const char* Prefix;
    const char* ClientText;
  };
  const Case cases[] = {
      {kMySQL, TQuietServer::kDrain, "select length(:v)", "x", "[DAL][Phys][MySQL] ",
       "Lost connection to server during query"},
      // More than the system's socket buffers hold.
      {kPG, TQuietServer::kStall, "select length(cast(:v as text))", std::string(32 << 20, 'x'),
       "[DAL][Phys][PG][libpq] ", "server closed the connection unexpectedly"},
  };
  const TScopedDbTimeouts timeouts(kShortTimeouts);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Kind.DriverID);
    TQuietServer proxy(ServerPort(c.Kind), c.Mode);
    TDbConnection connection;
    UseKindAt(connection, c.Kind, proxy.Port());
    connection.SetConnected(true);
    TDbQuery query(&connection);
    query.SQL().SetText(c.Sql);
    query.Params()[0] = std::string("ready");
    query.Open();
    query.Close();
    proxy.Silence();
    query.Params()[0] = c.Value;
    const std::string message = FailureOf([&] { query.Open(); });
    EXPECT_THAT(message, StartsWith(c.Prefix));
    EXPECT_THAT(message, HasSubstr(c.ClientText));
    EXPECT_FALSE(proxy.GaveUp()) << "the client waited until the server hung up";
  }
}

// Firebird's client exposes no bound on a silent server; it is told to probe
// one that has been silent for the keep-alive idle time, so that a host that
// is gone ends the connection (when the system stops retransmitting the
// probe). Here the server is alive and silent: the probes arrive.
TEST(DbTimeouts, FirebirdProbesAServerThatHasGoneQuiet) {
  const TScopedDbTimeouts timeouts(kShortTimeouts);
  TQuietServer proxy(ServerPort(kFB));
  TDbConnection connection;
  UseKindAt(connection, kFB, proxy.Port());
  connection.SetConnected(true);
  proxy.Silence();
  std::thread statement([&] {
    // Waits until the server hangs up, then fails.
    FailureOf([&] {
      TDbQuery query(&connection);
      query.SQL().SetText("select 1 from rdb$database");
      query.Open();
    });
  });
  // First the statement, sent all at once as the silence began; then, while
  // the server says nothing, a probe a second.
  auto grown = [&](std::size_t from) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (proxy.BytesWhileSilent() <= from && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(100ms);
    }
    return proxy.BytesWhileSilent() > from;
  };
  EXPECT_TRUE(grown(0)) << "the statement did not reach the server";
  std::this_thread::sleep_for(200ms);
  const std::size_t sent = proxy.BytesWhileSilent();
  EXPECT_TRUE(grown(sent)) << "no probe of the silent server";
  proxy.HangUp();
  statement.join();
}

}  // namespace
}  // namespace tandemize::dbaccess
