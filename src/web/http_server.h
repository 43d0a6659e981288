#pragma once
// The socket transport: HTTP/1.1 over TCP, one thread per connection, one
// request per connection. A thread whose connection has ended waits a while
// to serve a later one. Everything about the answer comes from the handler;
// an exception the handler lets escape, of any type, is answered 500 and the
// thread serves on. No thread of the server lets an exception escape.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "web/limits.h"
#include "web/web_layer.h"

namespace tandemize::web {

// The listening socket could not be opened (bad address, port in use, ...).
class ESocketError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class THttpServer {
 public:
  using THandler = std::function<TWireResponse(TWebRequest&)>;

  // How long a request may take to arrive (limits.h has the meaning of each).
  struct TReadTimeouts {
    std::chrono::milliseconds Idle{kIdleReadTimeout};
    std::chrono::milliseconds Header{kHeaderReadTimeout};
    std::chrono::milliseconds BodyGrace{kBodyGraceTime};
    std::uint64_t MinBodyBytesPerSecond = kMinBodyBytesPerSecond;
  };

  explicit THttpServer(THandler aHandler);
  ~THttpServer();
  THttpServer(const THttpServer&) = delete;
  THttpServer& operator=(const THttpServer&) = delete;

  // Binds aHost:aPort (aHost "0.0.0.0" = every interface; port 0 = any free
  // port) and starts accepting. Throws ESocketError.
  void Start(const std::string& aHost, int aPort, int aBacklog);
  // Stops accepting; connections in progress finish on their own threads,
  // and threads waiting for a connection end. Never fails.
  void Stop() noexcept;
  bool Active() const;
  // Silence allowed while a request is read (kIdleReadTimeout unless changed
  // before Start).
  void IdleTimeout(std::chrono::milliseconds aTimeout);
  // Every read bound at once (set before Start).
  void ReadTimeouts(const TReadTimeouts& aTimeouts);
  // Connections served at once before new ones are refused with 503
  // (kMaxConnections unless changed before Start).
  void MaxConnections(int aMax);
  // Largest request body; a larger one is refused with 413 (kMaxBodyBytes
  // unless changed before Start).
  void MaxBodyBytes(std::uint64_t aBytes);
  // How long an answer may wait for a client that does not read it
  // (kWriteTimeout unless changed before Start).
  void WriteTimeout(std::chrono::milliseconds aTimeout);
  // Body bytes all connections may hold at once (kMaxBufferedBodyBytes
  // unless changed before Start).
  void BodyBudget(std::uint64_t aBytes);
  // Called once for every request the transport answers itself (refusals:
  // header block or body too large, too many connections or body bytes,
  // malformed request), with what is known of it: the method and path only
  // when they arrived. Set before Start; none by default.
  void AccessLog(TAccessLogCallback aCallback);
  // Body bytes the connections hold now.
  std::uint64_t BufferedBodyBytes() const;
  // Connections accepted and not yet finished.
  int OpenConnections() const;
  std::uint16_t LocalPort() const;

 private:
  struct TImpl;
  std::shared_ptr<TImpl> FImpl;
};

}  // namespace tandemize::web
