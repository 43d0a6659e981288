// The only translation unit that includes Boost.Beast and Boost.Asio.
#include "web/http_server.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/version.hpp>

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "text/case_fold.h"
#include "web/limits.h"

namespace tandemize::web {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using boost::system::error_code;

namespace {

// The Date value of the current second; formatted again only when the
// second changes (connection threads serve many answers each).
const std::string& HttpDate() {
  thread_local std::time_t formattedAt = -1;
  thread_local std::string text;
  const std::time_t now = std::time(nullptr);
  if (now != formattedAt) {
    std::tm utc{};
    gmtime_r(&now, &utc);
    char buffer[64];
    text.assign(buffer, std::strftime(buffer, sizeof buffer, "%a, %d %b %Y %H:%M:%S GMT", &utc));
    formattedAt = now;
  }
  return text;
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

// A body framed by Transfer-Encoding is written by the framework's serializer
// (it encodes the chunks); every other answer goes out as ResponseHead + body.
bool FramedByTransferEncoding(const TWireResponse& aWire) {
  return std::any_of(aWire.Headers.begin(), aWire.Headers.end(), [](const auto& aHeader) {
    return text::EqualsIgnoringAsciiCase(aHeader.first, "Transfer-Encoding");
  });
}

// A header value without its leading and trailing blanks and tabs.
std::string_view TrimmedFieldValue(std::string_view aValue) {
  const std::size_t first = aValue.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return aValue.substr(first, aValue.find_last_not_of(" \t") - first + 1);
}

// The largest header line (name or value, plus CR LF) the framework's
// serializer writes.
constexpr std::size_t kFieldSizeBound = std::numeric_limits<std::uint16_t>::max();

// Whether aWire can be put on the wire: a three-digit status and header
// lines within kFieldSizeBound.
bool Writable(const TWireResponse& aWire) noexcept {
  if (static_cast<unsigned>(aWire.Status) > 999) return false;
  return std::all_of(aWire.Headers.begin(), aWire.Headers.end(), [](const auto& aHeader) {
    return aHeader.first.size() + 2 <= kFieldSizeBound &&
           aHeader.second.size() + 2 <= kFieldSizeBound;
  });
}

// The answer when the handler failed: it let an exception escape, of
// whatever type, or its answer cannot be written.
constexpr std::string_view kInternalErrorText = "Internal Server Error";

// The status line and header block of aWire, byte for byte as the framework's
// serializer writes them: Date and Server first, then the answer's headers
// (values trimmed; a name that comes again joins the group of its first
// occurrence), then "Connection: close" replacing any Connection header.
std::string ResponseHead(const TWireResponse& aWire) {
  const auto code = static_cast<unsigned>(aWire.Status);
  if (code > 999) throw std::invalid_argument("invalid status-code");
  using TField = std::pair<std::string_view, std::string_view>;
  std::vector<TField> fields;
  fields.reserve(aWire.Headers.size() + 3);
  fields.emplace_back("Date", HttpDate());
  fields.emplace_back("Server", BOOST_BEAST_VERSION_STRING);
  for (const auto& [name, value] : aWire.Headers) {
    if (name.size() + 2 > kFieldSizeBound) throw std::length_error("field name too large");
    if (value.size() + 2 > kFieldSizeBound) throw std::length_error("field value too large");
    auto groupEnd = fields.end();
    for (auto it = fields.begin(); it != fields.end(); ++it) {
      if (text::EqualsIgnoringAsciiCase(it->first, name)) groupEnd = it + 1;
    }
    fields.emplace(groupEnd, name, TrimmedFieldValue(value));
  }
  std::erase_if(
      fields, [](const TField& f) { return text::EqualsIgnoringAsciiCase(f.first, "Connection"); });
  fields.emplace_back("Connection", "close");

  const beast::string_view reason = http::obsolete_reason(static_cast<http::status>(code));
  std::size_t size = 13 + reason.size() + 2 + 2;
  for (const auto& [name, value] : fields) size += name.size() + value.size() + 4;
  std::string head;
  head.reserve(size);
  const char digits[] = {static_cast<char>('0' + code / 100),
                         static_cast<char>('0' + code / 10 % 10),
                         static_cast<char>('0' + code % 10)};
  head += "HTTP/1.1 ";
  head.append(digits, sizeof digits);
  head += ' ';
  head.append(reason.data(), reason.size());
  head += "\r\n";
  for (const auto& [name, value] : fields) {
    head += name;
    head += ": ";
    head += value;
    head += "\r\n";
  }
  head += "\r\n";
  return head;
}

// Hands as much of aParts to the kernel as its send buffer takes right now,
// without waiting; returns the bytes taken (0 when none or on failure).
std::size_t SendWithoutWaiting(int aSocket, const std::array<net::const_buffer, 2>& aParts) {
  iovec vec[2];
  for (std::size_t i = 0; i < 2; ++i) {
    vec[i].iov_base = const_cast<void*>(aParts[i].data());
    vec[i].iov_len = aParts[i].size();
  }
  msghdr message{};
  message.msg_iov = vec;
  message.msg_iovlen = 2;
  ssize_t sent;
  do {
    sent = ::sendmsg(aSocket, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent < 0 ? 0 : static_cast<std::size_t>(sent);
}

// Answers a connection beyond the cap without giving it a thread: whatever
// the client already sent is discarded (its first read is kept in aReceived),
// the 503 goes out in one non-blocking write (a fresh socket's send buffer
// holds it). Returns the answer's body bytes; the caller closes the socket.
std::size_t RefuseConnection(tcp::socket& aSocket, std::string& aReceived) {
  error_code ec;
  aSocket.non_blocking(true, ec);
  char sink[4096];
  for (int i = 0; i < 16 && !ec; ++i) {
    if (aSocket.available(ec) == 0 || ec) break;
    const std::size_t n = aSocket.read_some(net::buffer(sink), ec);
    if (i == 0 && !ec) aReceived.assign(sink, n);
  }
  const TWireResponse refusal = PlainTextResponse(503, kTooManyConnectionsText);
  const std::string wire = ResponseHead(refusal) + refusal.Body;
  aSocket.write_some(net::buffer(wire), ec);
  return refusal.Body.size();
}

// The method and path (the target up to its '?') of the request line at the
// start of aBytes, for a request the parser gave up on: each only once it
// has arrived whole, empty otherwise.
std::pair<std::string_view, std::string_view> RequestLineStart(std::string_view aBytes) {
  const std::size_t lineEnd = aBytes.find_first_of("\r\n");
  const std::string_view line = aBytes.substr(0, lineEnd);
  const std::size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return {};
  const std::string_view target = line.substr(blank + 1);
  std::size_t end = target.find_first_of(" ?");
  if (end == std::string_view::npos) {
    if (lineEnd == std::string_view::npos) return {line.substr(0, blank), {}};
    end = target.size();
  }
  return {line.substr(0, blank), target.substr(0, end)};
}

// Puts a request the transport answered itself in the access log: it arrived
// with the connection accepted at aAccepted, and its answer is written now.
// A log that fails costs nothing else.
void LogRefusal(const TAccessLogCallback& aLog, TAccessRecord aRecord,
                std::chrono::steady_clock::time_point aAccepted) noexcept {
  if (!aLog) return;
  try {
    const auto took = std::chrono::steady_clock::now() - aAccepted;
    aRecord.Time = std::chrono::system_clock::now() -
                   std::chrono::duration_cast<std::chrono::system_clock::duration>(took);
    aRecord.Duration = std::chrono::duration_cast<std::chrono::microseconds>(took);
    aLog(aRecord);
  } catch (...) {
  }
}

// The client's address of a connected socket ("" when it is gone).
std::string PeerAddress(const tcp::socket& aSocket) {
  error_code ec;
  const tcp::endpoint peer = aSocket.remote_endpoint(ec);
  return ec ? std::string() : peer.address().to_string();
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
      if (text::EqualsIgnoringAsciiCase(name, "Expect") &&
          text::EqualsIgnoringAsciiCase(value, "100-continue"))
        return true;
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

// One accepted connection on the I/O context of the thread serving it (the
// context outlives the connection).
struct TConnection {
  using TClock = std::chrono::steady_clock;

  net::io_context* Ioc;
  beast::tcp_stream Stream;
  beast::flat_buffer Buffer;
  THttpServer::TReadTimeouts Timeouts;
  TClock::time_point Accepted = TClock::now();
  std::atomic<std::uint64_t>* BodyBudget = nullptr;
  std::uint64_t BodyBudgetLimit = 0;
  std::uint64_t MaxBodyBytes = kMaxBodyBytes;
  std::chrono::milliseconds WriteTimeout{kWriteTimeout};
  const TAccessLogCallback* AccessLog = nullptr;

  TConnection(net::io_context& aIoc, tcp::socket aSocket)
      : Ioc(&aIoc), Stream(std::move(aSocket)) {}

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
        // The read size follows the buffer's free room; without room a large
        // body would come 512 bytes a read.
        if (Buffer.capacity() < kBodyReadBytes) Buffer.reserve(kBodyReadBytes);
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
        Stream.expires_after(WriteTimeout);
        if (const error_code wec = RunStep(
                [&](auto handler) { http::async_write(Stream, interim, std::move(handler)); })) {
          return wec;
        }
      }
    }
    return {};
  }

  // Writes the answer in one gathered write of head and body. Nearly every
  // answer fits the socket's send buffer and leaves at once; only what does
  // not fit waits for the socket, within WriteTimeout.
  void Write(const TWireResponse& aWire) {
    if (FramedByTransferEncoding(aWire)) {
      http::response<http::string_body> res = WireMessage(aWire);
      Stream.expires_after(WriteTimeout);
      RunStep([&](auto handler) { http::async_write(Stream, res, std::move(handler)); });
      return;
    }
    const std::string head = ResponseHead(aWire);
    const std::array<net::const_buffer, 2> parts{net::buffer(head), net::buffer(aWire.Body)};
    const std::size_t sent = SendWithoutWaiting(Stream.socket().native_handle(), parts);
    if (sent == head.size() + aWire.Body.size()) return;
    beast::buffers_suffix<std::array<net::const_buffer, 2>> rest(parts);
    rest.consume(sent);
    Stream.expires_after(WriteTimeout);
    RunStep([&](auto handler) { net::async_write(Stream, rest, std::move(handler)); });
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

  // Answers a request that is not handed over, logs it, and lets the client
  // read the answer.
  void Refuse(const TRequestParser& aParser, const TWireResponse& aAnswer) {
    Write(aAnswer);
    if (AccessLog != nullptr && *AccessLog) {
      try {
        TAccessRecord record;
        const std::string address = PeerAddress(Stream.socket());
        record.RemoteAddress = address;
        if (!aParser.Method.empty()) {
          record.Method = aParser.Method;
          record.Path = std::string_view(aParser.Target).substr(0, aParser.Target.find('?'));
        } else {
          const auto received = Buffer.data();
          std::tie(record.Method, record.Path) = RequestLineStart(
              std::string_view(static_cast<const char*>(received.data()), received.size()));
        }
        record.Status = aAnswer.Status;
        record.BytesIn = aParser.BodyBytes;
        record.BytesOut = aAnswer.Body.size();
        LogRefusal(*AccessLog, record, Accepted);
      } catch (...) {
        // No memory for the line: the client still gets its answer.
      }
    }
    CloseAfterRefusal();
  }

  // The last-resort guard of every request: whatever the handler lets
  // escape becomes a 500, so the client is answered and the thread serves on.
  static TWireResponse HandlerAnswer(const THttpServer::THandler& aHandler, TWebRequest& aRequest) {
    try {
      TWireResponse answer = aHandler(aRequest);
      if (Writable(answer)) return answer;
    } catch (...) {
    }
    return PlainTextResponse(500, kInternalErrorText);
  }

  void Serve(const THttpServer::THandler& aHandler) {
    TRequestParser parser;
    parser.header_limit(kMaxHeaderBlockBytes);
    parser.body_limit(MaxBodyBytes);
    parser.BodyBudget = BodyBudget;
    parser.BodyBudgetLimit = BodyBudgetLimit;
    const error_code ec = ReadRequest(parser);
    if (ec) parser.ReleaseBudget();  // no body will be handled
    if (parser.OverBudget) {
      Refuse(parser, PlainTextResponse(503, kBodyBudgetText));
      return;
    }
    if (ec == http::error::header_limit) {
      Refuse(parser, PlainTextResponse(431, "Request header block larger than " +
                                                std::to_string(kMaxHeaderBlockBytes) + " bytes"));
      return;
    }
    if (ec == http::error::body_limit) {
      Refuse(parser, PlainTextResponse(413, "Request body larger than " +
                                                std::to_string(MaxBodyBytes) + " bytes"));
      return;
    }
    if (ec == beast::error::timeout || ec == http::error::end_of_stream || ec == net::error::eof ||
        ec == net::error::connection_reset || ec == http::error::partial_message) {
      return;  // the client went away or fell silent: nothing to answer
    }
    if (ec) {
      Refuse(parser, PlainTextResponse(400, "Bad request: " + ec.message()));
      return;
    }
    TWebRequest request = BuildWebRequest(std::move(parser.Method), parser.Target,
                                          std::move(parser.Headers), std::move(parser.Body));
    error_code peerError;
    const tcp::endpoint peer = Stream.socket().remote_endpoint(peerError);
    if (!peerError) request.RemoteAddress = peer.address().to_string();
    const TWireResponse answer = HandlerAnswer(aHandler, request);
    Write(answer);
    error_code ignored;
    Stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
    // What the answer holds for after its writing (FreeAfterAnswer) is freed
    // here, with the answer, the client having all of it.
  }
};

}  // namespace

// Connections the accept loop takes from the backlog at one wake-up before it
// looks at its other work (a stop) again.
constexpr int kAcceptBatch = 64;

// A connection accepted and not yet served: its socket (registered with no
// I/O context yet) and when it was accepted.
struct TAccepted {
  tcp::socket::native_handle_type Socket;
  std::chrono::steady_clock::time_point At;
};

struct THttpServer::TImpl {
  explicit TImpl(THandler aHandler) : Handler(std::move(aHandler)) {}

  THandler Handler;
  TAccessLogCallback AccessLog;
  // Used by the accept thread only, once Start has opened the acceptor.
  net::io_context AcceptIoc;
  tcp::acceptor Acceptor{AcceptIoc};
  tcp Protocol = tcp::v4();
  std::thread AcceptThread;
  std::atomic<bool> Active{false};
  std::uint16_t Port = 0;
  TReadTimeouts Timeouts;
  int MaxConnections = kMaxConnections;
  std::atomic<int> OpenConnections{0};
  std::uint64_t BodyBudgetLimit = kMaxBufferedBodyBytes;
  std::uint64_t MaxBodyBytes = kMaxBodyBytes;
  std::chrono::milliseconds WriteTimeout{kWriteTimeout};
  std::atomic<std::uint64_t> BufferedBodyBytes{0};
  net::steady_timer RetryTimer{AcceptIoc};
  // True while a wait of the accept loop (for a connection, or the retry
  // pause) is armed; a step that failed before arming the next leaves it false.
  bool Waiting = false;

  // Connection threads that finished their connection wait here for the next
  // one (kIdleThreadLifetime at most, kMaxIdleThreads of them), so a new
  // connection is usually handed to a waiting thread instead of a new one.
  std::mutex IdleMutex;
  std::condition_variable IdleWake;
  std::deque<TAccepted> HandedOver;  // never more than IdleThreads
  int IdleThreads = 0;
  bool Stopping = false;

  // Waits until connections are pending, then takes every one of them.
  void DoAccept(const std::shared_ptr<TImpl>& aSelf) {
    Acceptor.async_wait(tcp::acceptor::wait_read, [this, aSelf](error_code ec) {
      Waiting = false;
      if (ec == net::error::operation_aborted || !Acceptor.is_open()) return;
      if (!ec) ec = AcceptPending(aSelf);
      if (ec) {
        // Typically out of file descriptors: the pending connection stays in
        // the backlog until some close.
        RetryTimer.expires_after(kAcceptRetryDelay);
        RetryTimer.async_wait([this, aSelf](error_code wec) {
          Waiting = false;
          if (!wec && Acceptor.is_open()) DoAccept(aSelf);
        });
        Waiting = true;
        return;
      }
      DoAccept(aSelf);
    });
    Waiting = true;
  }

  // The accept thread. A step of the loop that fails (no memory for the next
  // wait, typically) must not end the thread and with it the service: the
  // loop is armed again after a pause. When Stop has stopped the I/O
  // context, the acceptor is closed here, on the thread that uses it, and the
  // waits it cancels are run so they let go of the server state.
  void RunAcceptLoop(const std::shared_ptr<TImpl>& aSelf) noexcept {
    while (Active) {
      try {
        AcceptIoc.run();
      } catch (...) {
      }
      if (!Active) break;
      std::this_thread::sleep_for(kAcceptRetryDelay);
      try {
        AcceptIoc.restart();
        // Stop sets Active before it stops the context: a stop that came
        // before this restart is seen here, one after it ends the next run.
        if (Active && !Waiting) DoAccept(aSelf);
      } catch (...) {
      }
    }
    try {
      error_code ignored;
      Acceptor.close(ignored);
      RetryTimer.cancel();
      AcceptIoc.restart();
      AcceptIoc.run();
    } catch (...) {
    }
  }

  // Accepts until the backlog is empty (kAcceptBatch at most). The sockets
  // are accepted straight from the listening socket: the thread that serves
  // one registers it with its own I/O context, the accept loop never does.
  error_code AcceptPending(const std::shared_ptr<TImpl>& aSelf) {
    for (int taken = 0; taken < kAcceptBatch; ++taken) {
      const int socket = ::accept4(Acceptor.native_handle(), nullptr, nullptr, SOCK_CLOEXEC);
      if (socket < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return {};
        if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
        return error_code(errno, boost::system::system_category());
      }
      if (OpenConnections.load() >= MaxConnections) {
        Refuse(socket, std::chrono::steady_clock::now());
      } else {
        Serve(aSelf, socket);
      }
    }
    return {};
  }

  // Answers 503 and closes; a socket that cannot even be answered is closed.
  void Refuse(int aSocket, std::chrono::steady_clock::time_point aAccepted) noexcept {
    bool owned = false;  // by `refused`, which closes it
    try {
      tcp::socket refused(AcceptIoc);
      error_code ec;
      refused.assign(Protocol, aSocket, ec);
      if (ec) {
        ::close(aSocket);
        return;
      }
      owned = true;
      const std::string address = AccessLog ? PeerAddress(refused) : std::string();
      std::string received;
      TAccessRecord record;
      record.Status = 503;
      record.BytesOut = RefuseConnection(refused, received);
      record.RemoteAddress = address;
      std::tie(record.Method, record.Path) = RequestLineStart(received);
      LogRefusal(AccessLog, record, aAccepted);  // before the client sees the end
      refused.shutdown(tcp::socket::shutdown_both, ec);
      refused.close(ec);
    } catch (...) {
      if (!owned) ::close(aSocket);
    }
  }

  // Gives the connection a thread of its own: a waiting one, or a new one.
  void Serve(const std::shared_ptr<TImpl>& aSelf, int aSocket) noexcept {
    const TAccepted connection{aSocket, std::chrono::steady_clock::now()};
    ++OpenConnections;
    try {
      {
        std::lock_guard lock(IdleMutex);
        if (IdleThreads > static_cast<int>(HandedOver.size())) {
          HandedOver.push_back(connection);
          IdleWake.notify_one();
          return;
        }
      }
      // The thread keeps the server state alive for as long as it runs.
      std::thread([aSelf, connection] { aSelf->RunConnections(connection); }).detach();
    } catch (...) {
      // No thread could take it (none could be started, or no memory to hand
      // it over): the connection is closed unanswered.
      ::close(connection.Socket);
      --OpenConnections;
    }
  }

  // A connection thread: serves aFirst, then every connection handed over
  // while it waits, on one I/O context of its own.
  void RunConnections(TAccepted aFirst) noexcept {
    std::optional<TAccepted> next = aFirst;
    try {
      std::optional<net::io_context> ioc(std::in_place, 1);
      while (next) {
        const TAccepted current = *next;
        next.reset();
        if (!ServeOne(*ioc, current)) ioc.emplace(1);  // a failed one leaves nothing behind
        next = AwaitNext();
      }
    } catch (...) {
      // No I/O context could be made: the connection is closed unanswered.
      if (next) {
        ::close(next->Socket);
        --OpenConnections;
      }
    }
  }

  // Serves one connection; false when it ended with an exception (the
  // connection is then closed, answered or not).
  bool ServeOne(net::io_context& aIoc, const TAccepted& aAccepted) noexcept {
    bool clean = true;
    try {
      tcp::socket socket(aIoc);
      error_code ec;
      socket.assign(Protocol, aAccepted.Socket, ec);
      if (ec) {
        ::close(aAccepted.Socket);
      } else {
        TConnection connection(aIoc, std::move(socket));
        connection.Accepted = aAccepted.At;
        connection.Timeouts = Timeouts;
        connection.BodyBudget = &BufferedBodyBytes;
        connection.BodyBudgetLimit = BodyBudgetLimit;
        connection.MaxBodyBytes = MaxBodyBytes;
        connection.WriteTimeout = WriteTimeout;
        connection.AccessLog = &AccessLog;
        connection.Serve(Handler);
      }
    } catch (...) {
      clean = false;
    }
    --OpenConnections;
    return clean;
  }

  // The next connection handed to this thread; none when the server stops,
  // enough threads already wait, or none came within kIdleThreadLifetime.
  std::optional<TAccepted> AwaitNext() {
    std::unique_lock lock(IdleMutex);
    if (Stopping || IdleThreads >= kMaxIdleThreads) return std::nullopt;
    ++IdleThreads;
    IdleWake.wait_for(lock, kIdleThreadLifetime,
                      [this] { return !HandedOver.empty() || Stopping; });
    --IdleThreads;
    if (HandedOver.empty()) return std::nullopt;
    const TAccepted next = HandedOver.front();
    HandedOver.pop_front();
    return next;
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
    acceptor.non_blocking(true);  // AcceptPending takes connections until none is left
    FImpl->Protocol = endpoint.protocol();
    FImpl->Port = acceptor.local_endpoint().port();
  } catch (const boost::system::system_error& e) {
    error_code ignored;
    FImpl->Acceptor.close(ignored);
    throw ESocketError("Could not listen on " + aHost + ":" + std::to_string(aPort) + ": " +
                       e.code().message());
  }
  {
    std::lock_guard lock(FImpl->IdleMutex);
    FImpl->Stopping = false;
  }
  FImpl->Active = true;
  FImpl->AcceptIoc.restart();
  try {
    FImpl->DoAccept(FImpl);
    FImpl->AcceptThread = std::thread([self = FImpl] { self->RunAcceptLoop(self); });
  } catch (...) {
    FImpl->Active = false;
    error_code ignored;
    FImpl->Acceptor.close(ignored);
    FImpl->AcceptIoc.restart();
    FImpl->AcceptIoc.run();  // the cancelled wait lets go of the server state
    throw;
  }
}

void THttpServer::Stop() noexcept {
  if (!FImpl->Active.exchange(false)) return;
  // The accept thread sees the stop, closes its acceptor and ends.
  FImpl->AcceptIoc.stop();
  if (FImpl->AcceptThread.joinable()) FImpl->AcceptThread.join();
  {
    std::lock_guard lock(FImpl->IdleMutex);
    FImpl->Stopping = true;
  }
  FImpl->IdleWake.notify_all();  // waiting connection threads end
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

void THttpServer::MaxBodyBytes(std::uint64_t aBytes) {
  FImpl->MaxBodyBytes = aBytes;
}

void THttpServer::WriteTimeout(std::chrono::milliseconds aTimeout) {
  FImpl->WriteTimeout = aTimeout;
}

void THttpServer::AccessLog(TAccessLogCallback aCallback) {
  FImpl->AccessLog = std::move(aCallback);
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
