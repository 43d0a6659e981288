#pragma once
// The web layer between the socket transport and the framework: the
// transport-neutral request and response, the byte encoding of answers, and
// the gate that bounds how many requests are inside the framework at once.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "web/limits.h"

namespace tandemize::web {

using THeaderLines = std::vector<std::pair<std::string, std::string>>;

// One request as the transport received it.
struct TWebRequest {
  std::string Method;             // after the POST method-override headers
  std::string RawPath;            // the target before "?", not percent-decoded
  std::string PathInfo;           // RawPath percent-decoded (kept raw when undecodable)
  std::string Query;              // the target after "?"
  THeaderLines HeaderLines;       // as received, in order
  std::string ContentTypeHeader;  // the whole Content-Type value
  std::string ContentType;        // the media type without parameters
  std::string Content;            // every body byte received
  std::string RemoteAddress;      // the client's address, as the transport saw it

  // Value of the first header whose name matches ignoring case, or empty.
  std::string GetFieldByName(std::string_view aName) const;
};

// Builds the request from what the socket delivered: method override for POST,
// path, query and content-type split.
TWebRequest BuildWebRequest(std::string aMethod, std::string_view aTarget, THeaderLines aHeaders,
                            std::string aBody);

// The response state the framework fills in.
struct TWebResponseData {
  int StatusCode = 200;
  std::string ContentType;
  std::string Content;                       // body text, UTF-8
  std::optional<std::string> ContentStream;  // body bytes sent unchanged, when set
  std::string ContentEncoding;
  std::string Realm;  // non-empty: a WWW-Authenticate Basic challenge goes out
  THeaderLines CustomHeaders;
  // Name and value pairs a route adds to the request's access log line;
  // never sent.
  THeaderLines LogFields;
  // What the route's work left behind that the client need not wait for:
  // held until the answer is written, then freed. Never sent.
  std::shared_ptr<void> FreeAfterAnswer;

  // Replaces (ignoring case) or adds a header.
  void SetCustomHeader(std::string_view aName, std::string aValue);
  // Empty when absent.
  std::string GetCustomHeader(std::string_view aName) const;
};

class TWebResponse {
 public:
  TWebResponseData Data;

  // Freezes the answer as it stands now; later changes are not sent.
  void SendResponse();
  bool Sent() const { return FSent.has_value(); }
  // What goes out: the frozen answer once sent, the live state otherwise.
  const TWebResponseData& Final() const { return FSent ? *FSent : Data; }

 private:
  std::optional<TWebResponseData> FSent;
};

// The content type that goes out and the body bytes, by the encoding rules:
// text without a content type is "text/html; charset=utf-8"; a "text/*" type
// without a charset gets ISO-8859-1 (us-ascii for XML); the charset decides the
// bytes; with no charset each character is one byte (above U+00FF: "?").
struct TEncodedBody {
  std::string ContentType;
  std::string Bytes;
};
TEncodedBody EncodeBody(const TWebResponseData& aData);

// An answer ready for the socket: status, headers (without Date, Server and
// Connection, which the transport adds) and body bytes.
struct TWireResponse {
  int Status = 200;
  THeaderLines Headers;
  std::string Body;
  // Freed once the answer is written (TWebResponseData::FreeAfterAnswer).
  std::shared_ptr<void> FreeAfterAnswer = nullptr;
};
// No body for HEAD, 1xx, 204 and 304; Content-Length still announced for HEAD.
TWireResponse EncodeResponse(const TWebResponseData& aData, bool aHeadRequest);

// A plain-text answer in UTF-8 (the web layer's own failures and refusals).
TWireResponse PlainTextResponse(int aStatus, std::string_view aText);

inline constexpr const char* kTooManyRequestsText =
    "Maximum number of concurrent connections exceeded.  Please try again later";

using TWebModuleHandler = std::function<void(TWebRequest&, TWebResponse&)>;

// What the access log learns of one request once its answer is ready. The
// views point into the request and are valid only during the call.
struct TAccessRecord {
  std::chrono::system_clock::time_point Time;  // when the request entered the web layer
  std::string_view RemoteAddress;
  std::string_view Method;
  std::string_view Path;  // the raw path, never the query (it may carry credentials)
  int Status = 0;
  std::uint64_t BytesIn = 0;   // body bytes received
  std::uint64_t BytesOut = 0;  // body bytes of the answer
  std::chrono::microseconds Duration{0};
  const THeaderLines* Fields = nullptr;  // what the route added (TWebResponseData::LogFields)
};
// Called on the request's thread; whatever it throws is dropped.
using TAccessLogCallback = std::function<void(const TAccessRecord&)>;

// Lets at most aMaxActive requests into the module at once and turns anything
// that escapes it into a 500 with the exception's message.
class TWebLayer {
 public:
  explicit TWebLayer(TWebModuleHandler aHandler, int aMaxActive = kMaxConcurrentRequests,
                     TAccessLogCallback aAccessLog = {})
      : FHandler(std::move(aHandler)), FMaxActive(aMaxActive), FAccessLog(std::move(aAccessLog)) {}
  TWireResponse Handle(TWebRequest& aRequest) noexcept;

 private:
  TWireResponse Answer(TWebRequest& aRequest, THeaderLines& aLogFields) noexcept;

  TWebModuleHandler FHandler;
  int FMaxActive;
  TAccessLogCallback FAccessLog;
  std::atomic<int> FActive{0};
};

// Text helpers shared by the framework.
std::string Trim(std::string_view aText);  // blanks and control characters
bool ContainsText(std::string_view aText, std::string_view aPart);

// Percent-decoding; escapes are bytes of UTF-8 text. With aPlusAsBlank "+" is a
// blank (query and form fields). A "%" not followed by two hex digits throws
// std::invalid_argument.
std::string PercentDecode(std::string_view aText, bool aPlusAsBlank);

}  // namespace tandemize::web
