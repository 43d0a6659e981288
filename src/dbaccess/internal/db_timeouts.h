#pragma once
// How long a connection waits for a database server: one set of bounds for
// every kind that talks to one over the network, read by each driver when it
// opens a connection.
//
// Two waits are bounded, and only these two:
// - Connecting (the TCP connect, the server's greeting and the login). A
//   server that accepts and never answers is given up after Connect.
// - A server that has stopped answering once connected. A statement may run
//   as long as it needs (a large UPDATE, a wait for a lock), so the running
//   time of a statement is never capped. Where the client lets us tell a busy
//   server from a gone one, the bound is on silence of the server's network
//   stack: TCP keep-alive probes and sent data that nobody acknowledges,
//   which a busy server answers and a vanished host or a cut network does
//   not. Where a client offers only a limit per read or write, that limit is
//   long (SilentReadWrite), far beyond what one row's statement takes.
//
// What each kind uses, and what a client sees when a bound runs out (the
// client library's own message, behind the kind's usual prefix):
//   PG     connect_timeout = Connect ("... failed: timeout expired");
//          keepalives_idle/interval/count = KeepAlive*, and tcp_user_timeout =
//          Unacknowledged ("server closed the connection unexpectedly", "could
//          not receive data from server: Connection timed out").
//   MySQL  MYSQL_OPT_CONNECT_TIMEOUT = Connect ("Lost connection to server at
//          'handshake: ...'"); MYSQL_OPT_READ_TIMEOUT and WRITE_TIMEOUT =
//          SilentReadWrite, the only bound the client has after connecting
//          ("Lost connection to server during query").
//   FB/IB  isc_dpb_connect_timeout = Connect ("connection rejected by remote
//          interface"). After connecting, a Firebird 3 or later client is told
//          (DummyPacketInterval, in the attachment's configuration) to probe a
//          server that has been silent for KeepAliveIdle; a probe that is never
//          acknowledged ends the connection when the system's TCP
//          retransmission limit runs out (about 15 minutes with Linux
//          defaults), as a read error. The client exposes nothing shorter.
//   MSSQL  SQL_ATTR_LOGIN_TIMEOUT = Connect; SQL_ATTR_CONNECTION_TIMEOUT =
//          SilentReadWrite for requests other than statements. No query
//          timeout is set, as it would cap a statement: a host that is gone
//          during one is left to the driver's own TCP keep-alive.
//   SQLite runs in the process and waits for no server.

#include <atomic>
#include <chrono>
#include <cstdint>

namespace tandemize::dbaccess {

struct TDbTimeouts {
  std::chrono::seconds Connect;
  // TCP keep-alive: silence before the first probe, the time between probes,
  // and the unanswered probes after which the server counts as gone.
  std::chrono::seconds KeepAliveIdle;
  std::chrono::seconds KeepAliveInterval;
  int KeepAliveCount;
  // Sent data left unacknowledged (or a window left closed) this long ends
  // the connection.
  std::chrono::seconds Unacknowledged;
  // One read or write, on clients that have no other bound.
  std::chrono::seconds SilentReadWrite;
};

// The service's bounds. Connect: a server that has not finished the login
// in 20 s is not going to (PG counts it per address a host name resolves
// to). Keep-alive: probes after 60 s of silence, every 15 s;
// eight unanswered probes (and data unacknowledged for 3 min) mean a server
// that has been gone for 3 min. A per-read limit of 10 min: one row's
// statement that sends nothing back for that long is a server that stopped.
inline constexpr TDbTimeouts kDbTimeouts{
    .Connect = std::chrono::seconds(20),
    .KeepAliveIdle = std::chrono::seconds(60),
    .KeepAliveInterval = std::chrono::seconds(15),
    .KeepAliveCount = 8,
    .Unacknowledged = std::chrono::seconds(180),
    .SilentReadWrite = std::chrono::seconds(600),
};

namespace detail {
// Lock-free, so that reading and restoring the bounds cannot fail.
struct TDbTimeoutsState {
  std::atomic<std::int64_t> Connect{kDbTimeouts.Connect.count()};
  std::atomic<std::int64_t> KeepAliveIdle{kDbTimeouts.KeepAliveIdle.count()};
  std::atomic<std::int64_t> KeepAliveInterval{kDbTimeouts.KeepAliveInterval.count()};
  std::atomic<int> KeepAliveCount{kDbTimeouts.KeepAliveCount};
  std::atomic<std::int64_t> Unacknowledged{kDbTimeouts.Unacknowledged.count()};
  std::atomic<std::int64_t> SilentReadWrite{kDbTimeouts.SilentReadWrite.count()};
};
inline TDbTimeoutsState gDbTimeouts;
}  // namespace detail

// The bounds a connection opened now uses: kDbTimeouts, unless a test has
// set others.
inline TDbTimeouts DbTimeouts() noexcept {
  const detail::TDbTimeoutsState& s = detail::gDbTimeouts;
  return {.Connect = std::chrono::seconds(s.Connect.load()),
          .KeepAliveIdle = std::chrono::seconds(s.KeepAliveIdle.load()),
          .KeepAliveInterval = std::chrono::seconds(s.KeepAliveInterval.load()),
          .KeepAliveCount = s.KeepAliveCount.load(),
          .Unacknowledged = std::chrono::seconds(s.Unacknowledged.load()),
          .SilentReadWrite = std::chrono::seconds(s.SilentReadWrite.load())};
}

// Tests only: connections opened while this object lives use `timeouts`
// (seconds instead of minutes, so that a test against a silent server ends
// quickly); the previous bounds come back when it is destroyed. The service
// never sets any: its bounds are the constants above.
class TScopedDbTimeouts {
 public:
  explicit TScopedDbTimeouts(const TDbTimeouts& timeouts) : FPrevious(DbTimeouts()) {
    Store(timeouts);
  }
  ~TScopedDbTimeouts() { Store(FPrevious); }
  TScopedDbTimeouts(const TScopedDbTimeouts&) = delete;
  TScopedDbTimeouts& operator=(const TScopedDbTimeouts&) = delete;

 private:
  static void Store(const TDbTimeouts& t) noexcept {
    detail::TDbTimeoutsState& s = detail::gDbTimeouts;
    s.Connect = t.Connect.count();
    s.KeepAliveIdle = t.KeepAliveIdle.count();
    s.KeepAliveInterval = t.KeepAliveInterval.count();
    s.KeepAliveCount = t.KeepAliveCount;
    s.Unacknowledged = t.Unacknowledged.count();
    s.SilentReadWrite = t.SilentReadWrite.count();
  }

  TDbTimeouts FPrevious;
};

}  // namespace tandemize::dbaccess
