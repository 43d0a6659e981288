// The only translation unit that includes Boost.Beast and Boost.Asio.
#include "web/http_server.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/version.hpp>

#include <atomic>
#include <ctime>
#include <mutex>
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

// One accepted connection with its own I/O context; the stream is declared
// last so it is destroyed before the context it belongs to.
struct TConnection {
  std::shared_ptr<net::io_context> Ioc;
  beast::tcp_stream Stream;
  beast::flat_buffer Buffer;

  TConnection(std::shared_ptr<net::io_context> aIoc, tcp::socket aSocket)
      : Ioc(std::move(aIoc)), Stream(std::move(aSocket)) {}

  // Runs one asynchronous step to completion on this thread.
  template <class Start>
  error_code RunStep(Start&& aStart) {
    error_code result;
    aStart([&result](error_code ec, std::size_t) { result = ec; });
    Ioc->restart();
    Ioc->run();
    return result;
  }

  // Reads the request; every read re-arms the idle timer, so only silence
  // (not a slow upload) ends the connection.
  error_code ReadRequest(http::request_parser<http::string_body>& aParser) {
    bool continueSent = false;
    while (!aParser.is_done()) {
      Stream.expires_after(kIdleReadTimeout);
      const error_code ec = RunStep([&](auto handler) {
        http::async_read_some(Stream, Buffer, aParser, std::move(handler));
      });
      if (ec) return ec;
      if (!continueSent && aParser.is_header_done() && !aParser.is_done() &&
          beast::iequals(aParser.get()[http::field::expect], "100-continue")) {
        continueSent = true;
        http::response<http::empty_body> interim{http::status::continue_, 11};
        Stream.expires_after(kWriteTimeout);
        if (const error_code wec = RunStep([&](auto handler) {
              http::async_write(Stream, interim, std::move(handler));
            })) {
          return wec;
        }
      }
    }
    return {};
  }

  void Write(const TWireResponse& aWire) {
    http::response<http::string_body> res;
    res.version(11);
    res.result(static_cast<unsigned>(aWire.Status));
    res.set(http::field::date, HttpDate());
    res.set(http::field::server, BOOST_BEAST_VERSION_STRING);
    for (const auto& [name, value] : aWire.Headers) res.insert(name, value);
    res.set(http::field::connection, "close");
    res.body() = aWire.Body;
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
    while (!RunStep([&](auto handler) {
      Stream.async_read_some(net::buffer(sink), std::move(handler));
    })) {
    }
  }

  void Serve(const THttpServer::THandler& aHandler) {
    http::request_parser<http::string_body> parser;
    parser.header_limit(kMaxHeaderBlockBytes);
    parser.body_limit(kMaxBodyBytes);
    const error_code ec = ReadRequest(parser);
    if (ec == http::error::header_limit) {
      Write(PlainTextResponse(431, "Request header block larger than " +
                                       std::to_string(kMaxHeaderBlockBytes) + " bytes"));
      CloseAfterRefusal();
      return;
    }
    if (ec == http::error::body_limit) {
      Write(PlainTextResponse(413, "Request body larger than " + std::to_string(kMaxBodyBytes) +
                                       " bytes"));
      CloseAfterRefusal();
      return;
    }
    if (ec == beast::error::timeout || ec == http::error::end_of_stream ||
        ec == net::error::eof || ec == net::error::connection_reset ||
        ec == http::error::partial_message) {
      return;  // the client went away or fell silent: nothing to answer
    }
    if (ec) {
      Write(PlainTextResponse(400, "Bad request: " + ec.message()));
      CloseAfterRefusal();
      return;
    }
    http::request<http::string_body> msg = parser.release();
    THeaderLines headers;
    for (const auto& field : msg) {
      headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    TWebRequest request = BuildWebRequest(std::string(msg.method_string()),
                                          std::string_view(msg.target().data(), msg.target().size()),
                                          std::move(headers), std::move(msg.body()));
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

  void DoAccept(const std::shared_ptr<TImpl>& aSelf) {
    auto ioc = std::make_shared<net::io_context>(1);
    Acceptor.async_accept(*ioc, [this, aSelf, ioc](error_code ec, tcp::socket socket) {
      if (ec == net::error::operation_aborted || !Acceptor.is_open()) return;
      if (!ec) {
        auto connection = std::make_unique<TConnection>(ioc, std::move(socket));
        try {
          // The thread keeps the server state alive for as long as it serves.
          std::thread([aSelf, connection = std::move(connection)]() mutable {
            try {
              connection->Serve(aSelf->Handler);
            } catch (...) {
            }
            connection.reset();
          }).detach();
        } catch (const std::system_error&) {
          // No thread could be started: the connection is closed unanswered.
        }
      }
      DoAccept(aSelf);
    });
  }
};

THttpServer::THttpServer(THandler aHandler) : FImpl(std::make_shared<TImpl>(std::move(aHandler))) {}

THttpServer::~THttpServer() { Stop(); }

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

bool THttpServer::Active() const { return FImpl->Active; }

std::uint16_t THttpServer::LocalPort() const { return FImpl->Port; }

}  // namespace tandemize::web
