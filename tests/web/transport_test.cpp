#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/version.hpp>

#include <sys/resource.h>

#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "web/http_server.h"
#include "web/octet_stream.h"
#include "web/relay.h"

namespace tandemize::web {
namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;

// Sends raw bytes to the server and reads until it closes the connection.
std::string Exchange(std::uint16_t aPort, const std::string& aRequest) {
  net::io_context ioc;
  tcp::socket socket(ioc);
  socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), aPort));
  boost::system::error_code ec;
  net::write(socket, net::buffer(aRequest), ec);
  std::string reply;
  char buffer[65536];
  for (;;) {
    const std::size_t n = socket.read_some(net::buffer(buffer), ec);
    if (ec) break;
    reply.append(buffer, n);
  }
  return reply;
}

int StatusOf(const std::string& aReply) {
  return aReply.size() > 12 ? std::stoi(aReply.substr(9, 3)) : 0;
}

std::string BodyOf(const std::string& aReply) {
  const std::size_t end = aReply.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : aReply.substr(end + 4);
}

// A server on an ephemeral loopback port in front of a small tree.
class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FTree.RegisterMiddleware("/", OctetStream);
    FTree.RegisterRoute(
        mtGet, "/hello",
        AdaptCallback(TRelayCallbackResponse([](TRelayResponse& r) { r.Send("hello"); })));
    FTree.RegisterRoute(
        mtGet, "/header",
        AdaptCallback(TRelayCallbackRequestResponse([](TRelayRequest& q, TRelayResponse& r) {
          r.Send(std::to_string(q.Headers()["x-request"].size()));
        })));
    FTree.RegisterRoute(
        mtPost, "/size",
        AdaptCallback(TRelayCallbackRequestResponse([](TRelayRequest& q, TRelayResponse& r) {
          auto* body = q.Body<TRelayStream>();
          r.Send(body ? std::to_string(body->Stream().Size()) : "none");
        })));
    FTree.RegisterRoute(
        mtGet, "/path/:rest",
        AdaptCallback(TRelayCallbackRequestResponse(
            [](TRelayRequest& q, TRelayResponse& r) { r.Send(q.RawWebRequest().PathInfo); })));
    FServer.Start("127.0.0.1", 0, 15);
    FPort = FServer.LocalPort();
  }

  std::string Get(const std::string& aTarget, const std::string& aExtra = {}) {
    return Exchange(FPort, "GET " + aTarget + " HTTP/1.1\r\nHost: x\r\n" + aExtra + "\r\n");
  }

  TRelayRouterTree FTree;
  TWebLayer FLayer{
      [this](TWebRequest& q, TWebResponse& r) { TRelayWebModule::Dispatch(FTree, q, r); }};
  THttpServer FServer{[this](TWebRequest& q) { return FLayer.Handle(q); }};
  std::uint16_t FPort = 0;
};

TEST_F(TransportTest, AnswersOnceAndClosesWithDateAndServer) {
  // Two requests on one connection: only the first is answered, then the
  // connection closes.
  const std::string reply = Exchange(
      FPort, "GET /hello HTTP/1.1\r\nHost: x\r\n\r\nGET /hello HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(reply.find("HTTP/1.1 200 OK\r\n"), 0u);
  EXPECT_EQ(reply.find("HTTP/1.1", 1), std::string::npos);
  EXPECT_NE(reply.find("\r\nDate: "), std::string::npos);
  EXPECT_NE(reply.find("\r\nServer: "), std::string::npos);
  EXPECT_NE(reply.find("\r\nConnection: close\r\n"), std::string::npos);
  EXPECT_NE(reply.find("\r\nContent-Length: 5\r\n"), std::string::npos);
  EXPECT_EQ(BodyOf(reply), "hello");

  const std::string head = Exchange(FPort, "HEAD /hello HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(StatusOf(head), 405);
  EXPECT_EQ(BodyOf(head), "");
  EXPECT_EQ(BodyOf(Get("/path/a%20b?q=1")), "/path/a b");
}

TEST_F(TransportTest, LimitsRefuseWithClearAnswersAndTheServerGoesOn) {
  const std::string bigHeader(kMaxHeaderBlockBytes - 200, 'h');
  const std::string tooBig(kMaxHeaderBlockBytes + 10, 'h');
  struct Case {
    const char* name;
    std::string request;
    int status;
    std::string body;
  };
  const Case cases[] = {
      {"header block just under 1 MiB",
       "GET /header HTTP/1.1\r\nHost: x\r\nX-Request: " + bigHeader + "\r\n\r\n", 200,
       std::to_string(bigHeader.size())},
      {"header block over 1 MiB",
       "GET /header HTTP/1.1\r\nHost: x\r\nX-Request: " + tooBig + "\r\n\r\n", 431,
       "Request header block larger than 1048576 bytes"},
      {"body over 256 MiB announced",
       "POST /size HTTP/1.1\r\nHost: x\r\nContent-Type: "
       "application/octet-stream\r\nContent-Length: " +
           std::to_string(kMaxBodyBytes + 1) + "\r\n\r\nabc",
       413, "Request body larger than 268435456 bytes"},
      {"malformed request line", "NOT HTTP\r\n\r\n", 400, ""},
      {"body read whole",
       "POST /size HTTP/1.1\r\nHost: x\r\nContent-Type: "
       "application/octet-stream\r\nContent-Length: 3000\r\n\r\n" +
           std::string(3000, 'b'),
       200, "3000"},
      {"chunked body",
       "POST /size HTTP/1.1\r\nHost: x\r\nContent-Type: application/octet-stream\r\n"
       "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n",
       200, "5"},
      {"any authorization scheme passes the transport",
       "GET /hello HTTP/1.1\r\nHost: x\r\nAuthorization: Negotiate abc\r\n\r\n", 200, "hello"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string reply = Exchange(FPort, c.request);
    EXPECT_EQ(StatusOf(reply), c.status);
    if (!c.body.empty()) {
      EXPECT_EQ(BodyOf(reply), c.body);
    }
    EXPECT_EQ(BodyOf(Get("/hello")), "hello");
  }
}

TEST(HttpServer, SilentClientIsDisconnectedAndOthersAreStillServed) {
  THttpServer server([](TWebRequest&) { return PlainTextResponse(200, "ok"); });
  server.IdleTimeout(std::chrono::milliseconds(200));
  server.Start("127.0.0.1", 0, 15);
  net::io_context ioc;
  tcp::socket silent(ioc);
  silent.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), server.LocalPort()));
  net::write(silent, net::buffer(std::string("GET / HTTP/1.1\r\nHost: x\r\n")));  // never finished
  char byte;
  boost::system::error_code ec;
  const auto started = std::chrono::steady_clock::now();
  const std::size_t n =
      silent.read_some(net::buffer(&byte, 1), ec);  // returns when the server closes
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(ec == net::error::eof || ec == net::error::connection_reset) << ec.message();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
  EXPECT_EQ(BodyOf(Exchange(server.LocalPort(), "GET / HTTP/1.1\r\nHost: x\r\n\r\n")), "ok");
}

// Reads until the server closes the connection.
std::string ReadToClose(tcp::socket& aSocket) {
  std::string reply;
  char buffer[4096];
  boost::system::error_code ec;
  for (;;) {
    const std::size_t n = aSocket.read_some(net::buffer(buffer), ec);
    if (ec) break;
    reply.append(buffer, n);
  }
  return reply;
}

// Waits (generously) until aDone holds; false when it never did.
template <class Pred>
bool WaitFor(Pred aDone, std::chrono::seconds aLimit = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + aLimit;
  while (!aDone()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void RaiseOpenFileLimit() {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  limit.rlim_cur = limit.rlim_max;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
}

TEST(HttpServer, ConnectionsBeyondTheCapAreRefusedAndServiceResumesWhenTheyClose) {
  RaiseOpenFileLimit();
  THttpServer server([](TWebRequest&) { return PlainTextResponse(200, "ok"); });
  server.Start("127.0.0.1", 0, 4096);
  const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), server.LocalPort());
  net::io_context ioc;
  std::vector<tcp::socket> idle;
  const auto openIdle = [&](int aCount) {
    for (int i = 0; i < aCount; ++i) {
      idle.emplace_back(ioc).connect(endpoint);
    }
  };

  // 500 idle connections: a well-behaved client is still served at once.
  openIdle(500);
  ASSERT_TRUE(WaitFor([&] { return server.OpenConnections() == 500; })) << server.OpenConnections();
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(BodyOf(Exchange(server.LocalPort(), "GET / HTTP/1.1\r\nHost: x\r\n\r\n")), "ok");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));

  // 2,000 in all: the first kMaxConnections hold a thread each, every later
  // one is answered 503 and closed.
  openIdle(2000 - 500);
  ASSERT_TRUE(WaitFor([&] { return server.OpenConnections() == kMaxConnections; }))
      << server.OpenConnections();
  for (std::size_t i = kMaxConnections; i < idle.size(); ++i) {
    const std::string reply = ReadToClose(idle[i]);
    ASSERT_EQ(StatusOf(reply), 503) << "connection " << i << ": " << reply;
    EXPECT_EQ(BodyOf(reply), kTooManyConnectionsText);
    EXPECT_NE(reply.find("\r\nConnection: close\r\n"), std::string::npos);
  }
  const std::string refused = Exchange(server.LocalPort(), "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(StatusOf(refused), 503);
  EXPECT_NE(refused.find("\r\nContent-Type: text/plain"), std::string::npos);
  EXPECT_EQ(server.OpenConnections(), kMaxConnections);

  // Once the idle clients hang up, their threads end and service resumes.
  idle.clear();
  ASSERT_TRUE(WaitFor([&] { return server.OpenConnections() == 0; })) << server.OpenConnections();
  EXPECT_EQ(BodyOf(Exchange(server.LocalPort(), "GET / HTTP/1.1\r\nHost: x\r\n\r\n")), "ok");
}

// The answer as the framework's own serializer writes it (Date, Server, the
// answer's headers, Connection: close), with aDate as the Date value.
std::string SerializerBytes(const TWireResponse& aWire, const std::string& aDate) {
  namespace http = boost::beast::http;
  http::response<http::string_body> res;
  res.version(11);
  res.result(static_cast<unsigned>(aWire.Status));
  res.set(http::field::date, aDate);
  res.set(http::field::server, BOOST_BEAST_VERSION_STRING);
  for (const auto& [name, value] : aWire.Headers) res.insert(name, value);
  res.set(http::field::connection, "close");
  res.body() = aWire.Body;
  std::ostringstream out;
  out << res;
  return out.str();
}

// The value of the reply's first Date header.
std::string DateOf(const std::string& aReply) {
  const std::size_t at = aReply.find("\r\nDate: ");
  if (at == std::string::npos) return {};
  const std::size_t from = at + 8;
  return aReply.substr(from, aReply.find("\r\n", from) - from);
}

TEST(HttpServer, AnswerBytesAreExactlyTheSerializersForEveryHeaderShape) {
  struct TCase {
    const char* Label;
    TWireResponse Wire;
  };
  const std::vector<TCase> cases = {
      {"plain", PlainTextResponse(200, "ok")},
      {"no body, no headers", {204, {}, {}}},
      {"unknown status", {599, {{"Content-Length", "1"}}, "x"}},
      {"status below 100", {42, {{"Content-Length", "0"}}, {}}},
      {"repeated names join their first occurrence",
       {200, {{"X-A", "1"}, {"X-B", "2"}, {"x-a", "3"}, {"X-C", "4"}, {"X-B", "5"}}, {}}},
      {"own Connection headers are replaced",
       {200, {{"Connection", "keep-alive"}, {"X-A", "1"}, {"connection", "upgrade"}}, {}}},
      {"own Date and Server join the transport's",
       {200, {{"X-A", "1"}, {"server", "mine"}, {"Date", "then"}}, {}}},
      {"values lose surrounding blanks and tabs",
       {200, {{"X-A", " \t padded \t "}, {"X-B", "   "}, {"X-C", ""}}, {}}},
      {"chunked framing", {200, {{"Transfer-Encoding", "chunked"}}, "chunk body"}},
      {"large body", {200, {{"Content-Length", "300000"}}, std::string(300000, 'z')}},
  };
  for (const TCase& c : cases) {
    THttpServer server([&c](TWebRequest&) { return c.Wire; });
    server.Start("127.0.0.1", 0, 15);
    const std::string reply = Exchange(server.LocalPort(), "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(reply, SerializerBytes(c.Wire, DateOf(reply))) << c.Label;
  }
}

TEST(HttpServer, AnswerLargerThanTheSendBufferReachesASlowReaderWhole) {
  std::string body(24 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 23);
  THttpServer server([&body](TWebRequest&) { return PlainTextResponse(200, body); });
  server.Start("127.0.0.1", 0, 15);
  net::io_context ioc;
  tcp::socket socket(ioc);
  socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), server.LocalPort()));
  net::write(socket, net::buffer(std::string("GET / HTTP/1.1\r\nHost: x\r\n\r\n")));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the server's first write fills up
  const std::string reply = ReadToClose(socket);
  EXPECT_EQ(StatusOf(reply), 200);
  EXPECT_TRUE(BodyOf(reply) == body) << BodyOf(reply).size() << " bytes of " << body.size();
}

// What an answer holds for after its writing is freed only once the client
// has the whole answer, the connection's end included: a slow destructor
// does not keep the client waiting.
TEST(HttpServer, WhatAnAnswerHoldsIsFreedAfterTheClientHasIt) {
  std::mutex mutex;
  std::condition_variable changed;
  bool received = false, freed = false;
  struct THeld {
    std::function<void()> OnFree;
    ~THeld() { OnFree(); }
  };
  THttpServer server([&](TWebRequest&) {
    TWireResponse answer = PlainTextResponse(200, "ok");
    auto held = std::make_shared<THeld>();
    held->OnFree = [&] {
      std::unique_lock lock(mutex);
      // Freed before the answer was out, this waits for the whole bound.
      changed.wait_for(lock, std::chrono::seconds(10), [&] { return received; });
      freed = true;
      changed.notify_all();
    };
    answer.FreeAfterAnswer = std::move(held);
    return answer;
  });
  server.Start("127.0.0.1", 0, 15);
  const std::string reply = Exchange(server.LocalPort(), "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(BodyOf(reply), "ok");
  std::unique_lock lock(mutex);
  EXPECT_FALSE(freed) << "freed before the client had its answer";
  received = true;
  changed.notify_all();
  EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return freed; }))
      << "never freed";
}

TEST(HttpServer, ConnectionsAreServedAtOnceOnThreadsThatServeLaterOnesToo) {
  // Each wave of connections blocks in the handler until the whole wave is
  // inside: it completes only when every connection has a thread of its own.
  constexpr int kWave = 8;
  std::mutex mutex;
  std::condition_variable changed;
  int inside = 0;
  std::set<std::thread::id> threads;
  THttpServer server([&](TWebRequest&) {
    std::unique_lock lock(mutex);
    threads.insert(std::this_thread::get_id());
    const int arrived = ++inside;
    const int waveEnd = (arrived + kWave - 1) / kWave * kWave;
    changed.notify_all();
    changed.wait(lock, [&] { return inside >= waveEnd; });
    return PlainTextResponse(200, "ok");
  });
  server.Start("127.0.0.1", 0, 64);
  constexpr int kWaves = 5;
  for (int wave = 0; wave < kWaves; ++wave) {
    std::vector<std::future<std::string>> replies;
    for (int i = 0; i < kWave; ++i) {
      replies.push_back(std::async(std::launch::async, [&server] {
        return Exchange(server.LocalPort(), "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
      }));
    }
    for (auto& reply : replies) EXPECT_EQ(BodyOf(reply.get()), "ok") << "wave " << wave;
    ASSERT_TRUE(WaitFor([&] { return server.OpenConnections() == 0; }));
  }
  // Threads that finished a connection took the later waves.
  EXPECT_LT(threads.size(), static_cast<std::size_t>(kWave * kWaves));

  // Stopped and started again, the server serves as before.
  server.Stop();
  server.Start("127.0.0.1", 0, 15);
  {
    std::lock_guard lock(mutex);
    inside = 0;
  }
  std::vector<std::future<std::string>> replies;
  for (int i = 0; i < kWave; ++i) {
    replies.push_back(std::async(std::launch::async, [&server] {
      return Exchange(server.LocalPort(), "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    }));
  }
  for (auto& reply : replies) EXPECT_EQ(BodyOf(reply.get()), "ok");
}

TEST(HttpServer, BodiesBeyondTheSharedBudgetAreRefusedUntilOthersFinish) {
  THttpServer server(
      [](TWebRequest& q) { return PlainTextResponse(200, std::to_string(q.Content.size())); });
  server.BodyBudget(10000);
  server.Start("127.0.0.1", 0, 15);
  const std::uint16_t port = server.LocalPort();
  const auto post = [](std::size_t aLength) {
    return "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(aLength) + "\r\n\r\n" +
           std::string(aLength, 'b');
  };
  // A holds 8,000 bytes of the budget while its body is still arriving.
  net::io_context ioc;
  tcp::socket holder(ioc);
  holder.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
  const std::string held = post(8000);
  net::write(holder, net::buffer(held.substr(0, held.size() - 7900)));
  ASSERT_TRUE(WaitFor([&] { return server.BufferedBodyBytes() == 8000; }));
  const std::string refused = Exchange(port, post(5000));
  EXPECT_EQ(StatusOf(refused), 503);
  EXPECT_EQ(BodyOf(refused), kBodyBudgetText);
  const std::string chunked =
      "POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\nbb8\r\n" +
      std::string(3000, 'c') + "\r\n0\r\n\r\n";
  EXPECT_EQ(StatusOf(Exchange(port, chunked)), 503);
  EXPECT_EQ(BodyOf(Exchange(port, post(1000))), "1000");  // what is left still serves

  net::write(holder, net::buffer(held.substr(held.size() - 7900)));
  EXPECT_EQ(BodyOf(ReadToClose(holder)), "8000");
  ASSERT_TRUE(WaitFor([&] { return server.BufferedBodyBytes() == 0; }));
  EXPECT_EQ(BodyOf(Exchange(port, post(5000))), "5000");
  EXPECT_EQ(BodyOf(Exchange(port, chunked)), "3000");
}

// Sends aHead at once, then aTrickle one piece at a time with aPause between
// pieces, and reads the answer; gives up sending when the server closes.
struct TTrickleResult {
  std::string Reply;
  std::chrono::steady_clock::duration Elapsed;
};

TTrickleResult Trickle(std::uint16_t aPort, const std::string& aHead, const std::string& aTrickle,
                       std::size_t aPiece, std::chrono::milliseconds aPause) {
  net::io_context ioc;
  tcp::socket socket(ioc);
  const auto started = std::chrono::steady_clock::now();
  socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), aPort));
  boost::system::error_code ec;
  net::write(socket, net::buffer(aHead), ec);
  for (std::size_t pos = 0; pos < aTrickle.size() && !ec; pos += aPiece) {
    std::this_thread::sleep_for(aPause);
    net::write(socket, net::buffer(aTrickle.substr(pos, aPiece)), ec);
  }
  std::string reply = ReadToClose(socket);
  return {std::move(reply), std::chrono::steady_clock::now() - started};
}

TEST(HttpServer, SlowClientsAreCutOffButASlowLegitimateBodyGetsThrough) {
  THttpServer server(
      [](TWebRequest& q) { return PlainTextResponse(200, std::to_string(q.Content.size())); });
  // Idle 1 s, header block within 1.5 s, body: 1 s grace, then 2,000 bytes a
  // second on average.
  server.ReadTimeouts({std::chrono::milliseconds(1000), std::chrono::milliseconds(1500),
                       std::chrono::milliseconds(1000), 2000});
  server.Start("127.0.0.1", 0, 15);
  const std::uint16_t port = server.LocalPort();
  const std::string endless(1000, 'x');
  const std::string post = "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: ";
  const auto pause = std::chrono::milliseconds(100);
  // One byte every 100 ms never falls silent for the idle time.
  auto headerTrickle = std::async(std::launch::async, [&] {
    return Trickle(port, "GET / HTTP/1.1\r\nX-Slow: ", endless, 1, pause);
  });
  auto bodyTrickle = std::async(
      std::launch::async, [&] { return Trickle(port, post + "1000\r\n\r\n", endless, 1, pause); });
  // 4,000 bytes at 2,500 bytes a second: longer than the grace time, fast
  // enough on average.
  auto slowBody = std::async(std::launch::async, [&] {
    return Trickle(port, post + "4000\r\n\r\n", std::string(4000, 'b'), 250, pause);
  });
  // Meanwhile other clients are served.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(BodyOf(Exchange(port, "GET / HTTP/1.1\r\nHost: x\r\n\r\n")), "0");

  const TTrickleResult header = headerTrickle.get();
  EXPECT_EQ(header.Reply, "");
  EXPECT_LT(header.Elapsed, std::chrono::seconds(20));
  const TTrickleResult body = bodyTrickle.get();
  EXPECT_EQ(body.Reply, "");
  EXPECT_LT(body.Elapsed, std::chrono::seconds(20));
  const TTrickleResult legitimate = slowBody.get();
  EXPECT_EQ(StatusOf(legitimate.Reply), 200);
  EXPECT_EQ(BodyOf(legitimate.Reply), "4000");
  EXPECT_GT(legitimate.Elapsed, std::chrono::milliseconds(1000));
  EXPECT_EQ(BodyOf(Exchange(port, "GET / HTTP/1.1\r\nHost: x\r\n\r\n")), "0");
}

// The listener on a free loopback port, in a program that is not a console
// program (Listen returns instead of waiting).
TEST(RelayProvider, ListensOnTheTrimmedHostAndStops) {
  EXPECT_THROW(
      {
        try {
          TRelay::StopListen();
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "Relay not listen");
          throw;
        }
      },
      std::runtime_error);
  int port = 0;
  {
    THttpServer probe([](TWebRequest&) { return PlainTextResponse(200, ""); });
    probe.Start("127.0.0.1", 0, 1);
    port = probe.LocalPort();
  }
  SetConsoleProgram(false);
  std::string seen;
  bool stopped = false;
  TRelay::Listen(
      port, "  127.0.0.1 ",
      [&](TRelayCore&) { seen = TRelay::Host() + ":" + std::to_string(TRelay::Port()); },
      [&](TRelayCore&) { stopped = true; });
  EXPECT_EQ(seen, "127.0.0.1:" + std::to_string(port));
  EXPECT_TRUE(TRelay::IsRunning());
  EXPECT_EQ(TRelay::ListenQueue(), kDefaultListenQueue);
  const std::string reply =
      Exchange(static_cast<std::uint16_t>(port), "GET /not-registered HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(StatusOf(reply), 404);
  TRelay::StopListen();
  EXPECT_TRUE(stopped);
  EXPECT_FALSE(TRelay::IsRunning());
}

TEST(WebLayer, AtMost32RequestsInsideAtOnce) {
  std::mutex mutex;
  std::condition_variable changed;
  int inside = 0;
  bool release = false;
  TWebLayer layer([&](TWebRequest&, TWebResponse& res) {
    std::unique_lock lock(mutex);
    ++inside;
    changed.notify_all();
    changed.wait(lock, [&] { return release; });
    res.Data.Content = "done";
  });
  std::vector<std::future<TWireResponse>> running;
  for (int i = 0; i < kMaxConcurrentRequests; ++i) {
    running.push_back(std::async(std::launch::async, [&layer] {
      TWebRequest req = BuildWebRequest("GET", "/", {}, {});
      return layer.Handle(req);
    }));
  }
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return inside == kMaxConcurrentRequests; });
  }
  TWebRequest extra = BuildWebRequest("GET", "/", {}, {});
  const TWireResponse refused = layer.Handle(extra);
  EXPECT_EQ(refused.Status, 500);
  EXPECT_EQ(refused.Body,
            "Maximum number of concurrent connections exceeded.  Please try again later");
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  changed.notify_all();
  for (auto& f : running) EXPECT_EQ(f.get().Body, "done");
  // Once they have left, requests get in again.
  std::thread([&] {
    TWebRequest again = BuildWebRequest("GET", "/", {}, {});
    EXPECT_EQ(layer.Handle(again).Body, "done");
  }).join();
}

TEST(WebLayer, ExceptionEscapingTheModuleIsA500WithItsMessage) {
  TWebLayer layer(
      [](TWebRequest&, TWebResponse&) { throw std::runtime_error("layer broke \xC3\xA3"); });
  TWebRequest req = BuildWebRequest("GET", "/", {}, {});
  const TWireResponse wire = layer.Handle(req);
  EXPECT_EQ(wire.Status, 500);
  EXPECT_EQ(wire.Body, "layer broke \xC3\xA3");
  EXPECT_EQ(wire.Headers.front().second, "text/plain; charset=utf-8");
}

TEST(HttpServer, AHandlerThatFailsIsAnswered500AndTheNextRequestIsServed) {
  // A thrown value of any type, or an answer that cannot be written.
  THttpServer server([](TWebRequest& q) -> TWireResponse {
    if (q.PathInfo == "/int") throw 42;
    if (q.PathInfo == "/std") throw std::runtime_error("broke");
    if (q.PathInfo == "/status") return TWireResponse{1000, {}, "unwritable"};
    if (q.PathInfo == "/field") return TWireResponse{200, {{"X-Big", std::string(70000, 'v')}}, ""};
    return PlainTextResponse(200, "ok");
  });
  server.Start("127.0.0.1", 0, 15);
  for (const char* path : {"/int", "/std", "/status", "/field"}) {
    SCOPED_TRACE(path);
    const std::string reply =
        Exchange(server.LocalPort(), std::string("GET ") + path + " HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(StatusOf(reply), 500);
    EXPECT_EQ(BodyOf(reply), "Internal Server Error");
    EXPECT_EQ(BodyOf(Exchange(server.LocalPort(), "GET / HTTP/1.1\r\nHost: x\r\n\r\n")), "ok");
  }
}

TEST_F(TransportTest, ARouteThatThrowsAnythingIsAnswered500AndTheNextRequestIsServed) {
  FTree.RegisterRoute(mtGet, "/int",
                      AdaptCallback(TRelayCallbackResponse([](TRelayResponse&) { throw 42; })));
  const std::string reply = Get("/int");
  EXPECT_EQ(StatusOf(reply), 500);
  EXPECT_NE(BodyOf(reply).find("Unknown exception"), std::string::npos) << BodyOf(reply);
  EXPECT_EQ(BodyOf(Get("/hello")), "hello");
}

TEST(HttpServer, BusyPortIsASocketError) {
  THttpServer first([](TWebRequest&) { return PlainTextResponse(200, "x"); });
  first.Start("127.0.0.1", 0, 15);
  THttpServer second([](TWebRequest&) { return PlainTextResponse(200, "x"); });
  try {
    second.Start("127.0.0.1", first.LocalPort(), 15);
    FAIL() << "second bind succeeded";
  } catch (const ESocketError& e) {
    EXPECT_NE(std::string(e.what()).find("in use"), std::string::npos) << e.what();
    EXPECT_EQ(StartFailureLine(e).rfind("ESocketError: ", 0), 0u);
  }
  EXPECT_THROW(second.Start(" not an address", 0, 15), ESocketError);
}

}  // namespace
}  // namespace tandemize::web
