// The only translation unit that includes Boost.Beast and Boost.Asio.
#include "web/http_server.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/version.hpp>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <mutex>
#include <sstream>
#include <thread>

#include "web/limits.h"

namespace tandemize::web {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using boost::system::error_code;

namespace {

std::string HttpDate() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char buffer[64];
  std::strftime(buffer, sizeof buffer, "%a, %d %b %Y %H:%M:%S GMT", &utc);
  return buffer;
}

http::response<http::string_body> WireMessage(const TWireResponse& aWire) {
  http::response<http::string_body> res;
  res.version(11);
  res.result(static_cast<unsigned>(aWire.Status));
  res.set(http::field::date, HttpDate());
  res.set(http::field::server, BOOST_BEAST_VERSION_STRING);
  for (const auto& [name, value] : aWire.Headers) res.insert(name, value);
  res.set(http::field::connection, "close");
  res.body() = aWire.Body;
  return res;
}

// Answers a connection beyond the cap without giving it a thread: whatever
// the client already sent is discarded, the 503 goes out in one non-blocking
// write (a fresh socket's send buffer holds it), and the socket is closed.
void RefuseConnection(tcp::socket& aSocket) {
  error_code ec;
  aSocket.non_blocking(true, ec);
  char sink[4096];
  for (int i = 0; i < 16 && !ec; ++i) {
    if (aSocket.available(ec) == 0 || ec) break;
    aSocket.read_some(net::buffer(sink), ec);
  }
  std::ostringstream text;
  text << WireMessage(PlainTextResponse(503, kTooManyConnectionsText));
  const std::string wire = text.str();
  aSocket.write_some(net::buffer(wire), ec);
  aSocket.shutdown(tcp::socket::shutdown_both, ec);
  aSocket.close(ec);
}

// Collects the request into plain strings. Header values of any size up to
// the header-block limit are kept (the framework's own header fields would
// refuse values above 64 KiB).
class TRequestParser : public http::basic_parser<true> {
 public:
  std::string Method;
  std::string Target;
  THeaderLines Headers;
  std::string Body;
  std::uint64_t BodyBytes = 0;  // body bytes received so far, chunked or not
  // The server's count of body bytes held by all connections, and its bound.
  std::atomic<std::uint64_t>* BodyBudget = nullptr;
  std::uint64_t BodyBudgetLimit = 0;
  bool OverBudget = false;

  TRequestParser() = default;
  TRequestParser(const TRequestParser&) = delete;
  TRequestParser& operator=(const TRequestParser&) = delete;
  ~TRequestParser() override { ReleaseBudget(); }

  // Gives back what this request counted against the body budget.
  void ReleaseBudget() {
    if (BodyBudget != nullptr) *BodyBudget -= FHeld;
    FHeld = 0;
  }

  bool ExpectsContinue() const {
    for (const auto& [name, value] : Headers) {
      if (beast::iequals(name, "Expect") && beast::iequals(value, "100-continue")) return true;
    }
    return false;
  }

 private:
  void on_request_impl(http::verb, beast::string_view aMethod, beast::string_view aTarget, int,
                       error_code&) override {
    Method.assign(aMethod.data(), aMethod.size());
    Target.assign(aTarget.data(), aTarget.size());
  }
  void on_response_impl(int, beast::string_view, int, error_code&) override {}
  void on_field_impl(http::field, beast::string_view aName, beast::string_view aValue,
                     error_code&) override {
    Headers.emplace_back(std::string(aName.data(), aName.size()),
                         std::string(aValue.data(), aValue.size()));
  }
  void on_header_impl(error_code&) override {}
  // Counts aBytes against the server's body budget until the request is done.
  bool Take(std::uint64_t aBytes) {
    if (BodyBudget == nullptr) return true;
    if (BodyBudget->fetch_add(aBytes) + aBytes > BodyBudgetLimit) {
      *BodyBudget -= aBytes;
      OverBudget = true;
      return false;
    }
    FHeld += aBytes;
    return true;
  }

  void on_body_init_impl(const boost::optional<std::uint64_t>& aLength, error_code& ec) override {
    if (!aLength) return;
    if (!Take(*aLength)) {
      ec = http::error::buffer_overflow;
      return;
    }
    Body.reserve(static_cast<std::size_t>(*aLength));
  }
  std::size_t on_body_impl(beast::string_view aBody, error_code&) override {
    BodyBytes += aBody.size();
    Body.append(aBody.data(), aBody.size());
    return aBody.size();
  }
  void on_chunk_header_impl(std::uint64_t, beast::string_view, error_code&) override {}
  std::size_t on_chunk_body_impl(std::uint64_t, beast::string_view aBody, error_code& ec) override {
    if (!Take(aBody.size())) {
      ec = http::error::buffer_overflow;
      return 0;
    }
    BodyBytes += aBody.size();
    Body.append(aBody.data(), aBody.size());
    return aBody.size();
  }
  void on_finish_impl(error_code&) override {}

  std::uint64_t FHeld = 0;
};

// One accepted connection with its own I/O context; the stream is declared
// last so it is destroyed before the context it belongs to.
struct TConnection {
  using TClock = std::chrono::steady_clock;

  std::shared_ptr<net::io_context> Ioc;
  beast::tcp_stream Stream;
  beast::flat_buffer Buffer;
  THttpServer::TReadTimeouts Timeouts;
  TClock::time_point Accepted = TClock::now();
  std::atomic<std::uint64_t>* BodyBudget = nullptr;
  std::uint64_t BodyBudgetLimit = 0;

  TConnection(std::shared_ptr<net::io_context> aIoc, tcp::socket aSocket)
      : Ioc(std::move(aIoc)), Stream(std::move(aSocket)) {}

  // When the next read gives up: after the idle time, and never later than
  // the header block's bound (counted from the accept) or the body's bound
  // (its grace time from the end of the header block, extended by what has
  // arrived at the minimum rate).
  TClock::time_point ReadDeadline(const TRequestParser& aParser,
                                  TClock::time_point aHeaderDone) const {
    const TClock::time_point idle = TClock::now() + Timeouts.Idle;
    if (!aParser.is_header_done()) return std::min(idle, Accepted + Timeouts.Header);
    const auto earned = std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(
        static_cast<double>(aParser.BodyBytes) /
        static_cast<double>(std::max<std::uint64_t>(Timeouts.MinBodyBytesPerSecond, 1))));
    return std::min(idle, aHeaderDone + Timeouts.BodyGrace + earned);
  }

  // Runs one asynchronous step to completion on this thread.
  template <class Start>
  error_code RunStep(Start&& aStart) {
    error_code result;
    aStart([&result](error_code ec, std::size_t) { result = ec; });
    Ioc->restart();
    Ioc->run();
    return result;
  }

  // Reads the request within the bounds of ReadDeadline: silence ends the
  // connection, and so does a trickle too slow to finish in time.
  error_code ReadRequest(TRequestParser& aParser) {
    bool continueSent = false;
    TClock::time_point headerDone{};
    while (!aParser.is_done()) {
      if (aParser.is_header_done() && headerDone == TClock::time_point{}) {
        headerDone = TClock::now();
      }
      Stream.expires_at(ReadDeadline(aParser, headerDone));
      const error_code ec = RunStep([&](auto handler) {
        http::async_read_some(Stream, Buffer, aParser, std::move(handler));
      });
      if (ec) return ec;
      if (!continueSent && aParser.is_header_done() && !aParser.is_done() &&
          aParser.ExpectsContinue()) {
        continueSent = true;
        http::response<http::empty_body> interim{http::status::continue_, 11};
        Stream.expires_after(kWriteTimeout);
        if (const error_code wec = RunStep(
                [&](auto handler) { http::async_write(Stream, interim, std::move(handler)); })) {
          return wec;
        }
      }
    }
    return {};
  }

  void Write(const TWireResponse& aWire) {
    http::response<http::string_body> res = WireMessage(aWire);
    Stream.expires_after(kWriteTimeout);
    RunStep([&](auto handler) { http::async_write(Stream, res, std::move(handler)); });
  }

  // Lets the client read a refusal: stop sending, then swallow what it still
  // sends for a short while before closing.
  void CloseAfterRefusal() {
    error_code ignored;
    Stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    Stream.expires_after(kDrainTimeout);
    char sink[16384];
    while (!RunStep(
        [&](auto handler) { Stream.async_read_some(net::buffer(sink), std::move(handler)); })) {
    }
  }

  void Serve(const THttpServer::THandler& aHandler) {
    TRequestParser parser;
    parser.header_limit(kMaxHeaderBlockBytes);
    parser.body_limit(kMaxBodyBytes);
    parser.BodyBudget = BodyBudget;
    parser.BodyBudgetLimit = BodyBudgetLimit;
    const error_code ec = ReadRequest(parser);
    if (ec) parser.ReleaseBudget();  // no body will be handled
    if (parser.OverBudget) {
      Write(PlainTextResponse(503, kBodyBudgetText));
      CloseAfterRefusal();
      return;
    }
    if (ec == http::error::header_limit) {
      Write(PlainTextResponse(431, "Request header block larger than " +
                                       std::to_string(kMaxHeaderBlockBytes) + " bytes"));
      CloseAfterRefusal();
      return;
    }
    if (ec == http::error::body_limit) {
      Write(PlainTextResponse(
          413, "Request body larger than " + std::to_string(kMaxBodyBytes) + " bytes"));
      CloseAfterRefusal();
      return;
    }
    if (ec == beast::error::timeout || ec == http::error::end_of_stream || ec == net::error::eof ||
        ec == net::error::connection_reset || ec == http::error::partial_message) {
      return;  // the client went away or fell silent: nothing to answer
    }
    if (ec) {
      Write(PlainTextResponse(400, "Bad request: " + ec.message()));
      CloseAfterRefusal();
      return;
    }
    TWebRequest request = BuildWebRequest(std::move(parser.Method), parser.Target,
                                          std::move(parser.Headers), std::move(parser.Body));
    Write(aHandler(request));
    error_code ignored;
    Stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
  }
};

}  // namespace

struct THttpServer::TImpl {
  explicit TImpl(THandler aHandler) : Handler(std::move(aHandler)) {}

  THandler Handler;
  net::io_context AcceptIoc;
  tcp::acceptor Acceptor{AcceptIoc};
  std::thread AcceptThread;
  std::atomic<bool> Active{false};
  std::uint16_t Port = 0;
  TReadTimeouts Timeouts;
  int MaxConnections = kMaxConnections;
  std::atomic<int> OpenConnections{0};
  std::uint64_t BodyBudgetLimit = kMaxBufferedBodyBytes;
  std::atomic<std::uint64_t> BufferedBodyBytes{0};
  net::steady_timer RetryTimer{AcceptIoc};

  void DoAccept(const std::shared_ptr<TImpl>& aSelf) {
    auto ioc = std::make_shared<net::io_context>(1);
    Acceptor.async_accept(*ioc, [this, aSelf, ioc](error_code ec, tcp::socket socket) {
      if (ec == net::error::operation_aborted || !Acceptor.is_open()) return;
      if (ec) {
        // Typically out of file descriptors: the pending connection stays in
        // the backlog until some close.
        RetryTimer.expires_after(kAcceptRetryDelay);
        RetryTimer.async_wait([this, aSelf](error_code wec) {
          if (!wec && Acceptor.is_open()) DoAccept(aSelf);
        });
        return;
      }
      if (OpenConnections.load() >= MaxConnections) {
        RefuseConnection(socket);
      } else {
        Serve(aSelf, std::make_unique<TConnection>(ioc, std::move(socket)));
      }
      DoAccept(aSelf);
    });
  }

  void Serve(const std::shared_ptr<TImpl>& aSelf, std::unique_ptr<TConnection> aConnection) {
    aConnection->Timeouts = Timeouts;
    aConnection->BodyBudget = &BufferedBodyBytes;
    aConnection->BodyBudgetLimit = BodyBudgetLimit;
    ++OpenConnections;
    try {
      // The thread keeps the server state alive for as long as it serves.
      std::thread([aSelf, connection = std::move(aConnection)]() mutable {
        try {
          connection->Serve(aSelf->Handler);
        } catch (...) {
        }
        connection.reset();
        --aSelf->OpenConnections;
      }).detach();
    } catch (const std::system_error&) {
      // No thread could be started: the connection is closed unanswered.
      --OpenConnections;
    }
  }
};

THttpServer::THttpServer(THandler aHandler) : FImpl(std::make_shared<TImpl>(std::move(aHandler))) {}

THttpServer::~THttpServer() {
  Stop();
}

void THttpServer::Start(const std::string& aHost, int aPort, int aBacklog) {
  if (FImpl->Active) Stop();
  if (aPort < 0 || aPort > 65535) {
    throw ESocketError("Could not listen on " + aHost + ":" + std::to_string(aPort) +
                       ": invalid port");
  }
  try {
    const tcp::endpoint endpoint(net::ip::make_address(aHost), static_cast<std::uint16_t>(aPort));
    tcp::acceptor& acceptor = FImpl->Acceptor;
    acceptor.open(endpoint.protocol());
    acceptor.set_option(net::socket_base::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(aBacklog);
    FImpl->Port = acceptor.local_endpoint().port();
  } catch (const boost::system::system_error& e) {
    error_code ignored;
    FImpl->Acceptor.close(ignored);
    throw ESocketError("Could not listen on " + aHost + ":" + std::to_string(aPort) + ": " +
                       e.code().message());
  }
  FImpl->Active = true;
  FImpl->AcceptIoc.restart();
  FImpl->DoAccept(FImpl);
  FImpl->AcceptThread = std::thread([impl = FImpl.get()] { impl->AcceptIoc.run(); });
}

void THttpServer::Stop() {
  if (!FImpl->Active.exchange(false)) return;
  net::post(FImpl->AcceptIoc, [impl = FImpl.get()] {
    error_code ignored;
    impl->Acceptor.close(ignored);
  });
  if (FImpl->AcceptThread.joinable()) FImpl->AcceptThread.join();
}

void THttpServer::IdleTimeout(std::chrono::milliseconds aTimeout) {
  FImpl->Timeouts.Idle = aTimeout;
}

void THttpServer::ReadTimeouts(const TReadTimeouts& aTimeouts) {
  FImpl->Timeouts = aTimeouts;
}

void THttpServer::MaxConnections(int aMax) {
  FImpl->MaxConnections = aMax;
}

void THttpServer::BodyBudget(std::uint64_t aBytes) {
  FImpl->BodyBudgetLimit = aBytes;
}

std::uint64_t THttpServer::BufferedBodyBytes() const {
  return FImpl->BufferedBodyBytes;
}

int THttpServer::OpenConnections() const {
  return FImpl->OpenConnections;
}

bool THttpServer::Active() const {
  return FImpl->Active;
}

std::uint16_t THttpServer::LocalPort() const {
  return FImpl->Port;
}

}  // namespace tandemize::web
