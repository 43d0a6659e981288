#include "web/web_layer.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <stdexcept>

#include "text/case_fold.h"
#include "text/charset.h"

namespace tandemize::web {

namespace {

bool IsTrimmable(char c) {
  return static_cast<unsigned char>(c) <= ' ';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Each character becomes one byte when its code point is at most aMax, "?" otherwise.
std::string NarrowText(std::string_view aUtf8, char32_t aMax) {
  // ASCII text (the usual JSON answer) is its own encoding.
  if (std::all_of(aUtf8.begin(), aUtf8.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    return std::string(aUtf8);
  }
  std::string out;
  out.reserve(aUtf8.size());
  for (std::size_t pos = 0; pos < aUtf8.size();) {
    const char32_t cp = text::DecodeUtf8(aUtf8, pos);
    out.push_back(cp <= aMax ? static_cast<char>(cp) : '?');
  }
  return out;
}

// Body bytes of aText in the named charset; unknown names fall back to UTF-8.
std::string EncodeInCharset(std::string_view aText, std::string_view aCharset) {
  const std::string cs = text::AsciiLowerCase(aCharset);
  if (cs == "iso-8859-1" || cs == "iso8859-1" || cs == "latin1" || cs == "latin-1") {
    return NarrowText(aText, 0xFF);
  }
  if (cs == "us-ascii" || cs == "ascii") return NarrowText(aText, 0x7F);
  if (cs == "windows-1252" || cs == "cp1252") return text::Utf8ToWindows1252(aText);
  return std::string(aText);  // utf-8 and anything not known
}

// Splits "type/sub; a=b; charset=x" into the media type and the charset value.
void ParseContentType(std::string_view aValue, std::string& aMedia, std::string& aCharset) {
  const std::size_t semi = aValue.find(';');
  aMedia = Trim(aValue.substr(0, semi));
  aCharset.clear();
  std::size_t pos = semi;
  while (pos != std::string_view::npos) {
    const std::size_t next = aValue.find(';', pos + 1);
    const std::string param = Trim(aValue.substr(
        pos + 1, next == std::string_view::npos ? std::string_view::npos : next - pos - 1));
    const std::size_t eq = param.find('=');
    if (eq != std::string::npos &&
        text::EqualsIgnoringAsciiCase(Trim(param.substr(0, eq)), "charset")) {
      aCharset = Trim(param.substr(eq + 1));
      if (aCharset.size() >= 2 && aCharset.front() == '"' && aCharset.back() == '"') {
        aCharset = aCharset.substr(1, aCharset.size() - 2);
      }
    }
    pos = next;
  }
}

}  // namespace

std::string Trim(std::string_view aText) {
  std::size_t b = 0, e = aText.size();
  while (b < e && IsTrimmable(aText[b])) ++b;
  while (e > b && IsTrimmable(aText[e - 1])) --e;
  return std::string(aText.substr(b, e - b));
}

bool ContainsText(std::string_view aText, std::string_view aPart) {
  return text::AsciiLowerCase(aText).find(text::AsciiLowerCase(aPart)) != std::string::npos;
}

std::string PercentDecode(std::string_view aText, bool aPlusAsBlank) {
  std::string out;
  out.reserve(aText.size());
  for (std::size_t i = 0; i < aText.size(); ++i) {
    const char c = aText[i];
    if (c == '%') {
      const int hi = i + 1 < aText.size() ? HexValue(aText[i + 1]) : -1;
      const int lo = i + 2 < aText.size() ? HexValue(aText[i + 2]) : -1;
      if (hi < 0 || lo < 0) {
        throw std::invalid_argument("Invalid URL encoded character (" +
                                    std::string(aText.substr(i, 3)) + ") at position " +
                                    std::to_string(i));
      }
      out.push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else if (c == '+' && aPlusAsBlank) {
      out.push_back(' ');
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string TWebRequest::GetFieldByName(std::string_view aName) const {
  for (const auto& [name, value] : HeaderLines) {
    if (text::EqualsIgnoringAsciiCase(name, aName)) return value;
  }
  return {};
}

TWebRequest BuildWebRequest(std::string aMethod, std::string_view aTarget, THeaderLines aHeaders,
                            std::string aBody) {
  TWebRequest req;
  req.HeaderLines = std::move(aHeaders);
  req.Method = std::move(aMethod);
  if (req.Method == "POST") {
    for (const char* name : {"X-HTTP-Method-Override", "X-HTTP-Method", "X-METHOD-OVERRIDE"}) {
      const std::string value = Trim(req.GetFieldByName(name));
      if (!value.empty()) {
        req.Method = text::AsciiUpperCase(value);
        break;
      }
    }
  }
  const std::size_t q = aTarget.find('?');
  req.RawPath = std::string(aTarget.substr(0, q));
  if (q != std::string_view::npos) req.Query = std::string(aTarget.substr(q + 1));
  try {
    req.PathInfo = PercentDecode(req.RawPath, false);
  } catch (const std::invalid_argument&) {
    req.PathInfo = req.RawPath;  // an undecodable path still reaches the router as sent
  }
  req.ContentTypeHeader = Trim(req.GetFieldByName("Content-Type"));
  std::string charset;
  ParseContentType(req.ContentTypeHeader, req.ContentType, charset);
  req.Content = std::move(aBody);
  return req;
}

void TWebResponseData::SetCustomHeader(std::string_view aName, std::string aValue) {
  for (auto& [name, value] : CustomHeaders) {
    if (text::EqualsIgnoringAsciiCase(name, aName)) {
      value = std::move(aValue);
      return;
    }
  }
  CustomHeaders.emplace_back(std::string(aName), std::move(aValue));
}

std::string TWebResponseData::GetCustomHeader(std::string_view aName) const {
  for (const auto& [name, value] : CustomHeaders) {
    if (text::EqualsIgnoringAsciiCase(name, aName)) return value;
  }
  return {};
}

void TWebResponse::SendResponse() {
  if (!FSent) FSent = Data;
}

TEncodedBody EncodeBody(const TWebResponseData& aData) {
  TEncodedBody out;
  std::string contentType = Trim(aData.ContentType);
  if (contentType.empty() && !aData.ContentStream && !aData.Content.empty()) {
    contentType = "text/html; charset=utf-8";
  }
  std::string media, charset;
  ParseContentType(contentType, media, charset);
  const std::string lowerMedia = text::AsciiLowerCase(media);
  if (charset.empty() && lowerMedia.starts_with("text/")) {
    const std::string sub = lowerMedia.substr(5);
    charset = (sub == "xml" || sub == "xml-external-parsed-entity" || sub.ends_with("+xml"))
                  ? "us-ascii"
                  : "ISO-8859-1";
    contentType += "; charset=" + charset;
  }
  out.ContentType = contentType;
  if (aData.ContentStream) {
    out.Bytes = *aData.ContentStream;
  } else if (!charset.empty()) {
    out.Bytes = EncodeInCharset(aData.Content, charset);
  } else {
    out.Bytes = NarrowText(aData.Content, 0xFF);
  }
  return out;
}

TWireResponse EncodeResponse(const TWebResponseData& aData, bool aHeadRequest) {
  TWireResponse wire;
  wire.Status = aData.StatusCode;
  TEncodedBody body = EncodeBody(aData);
  const bool noBodyStatus = (aData.StatusCode >= 100 && aData.StatusCode < 200) ||
                            aData.StatusCode == 204 || aData.StatusCode == 304;
  if (!body.ContentType.empty()) wire.Headers.emplace_back("Content-Type", body.ContentType);
  if (!noBodyStatus) {
    wire.Headers.emplace_back("Content-Length", std::to_string(body.Bytes.size()));
  }
  if (!aData.ContentEncoding.empty()) {
    wire.Headers.emplace_back("Content-Encoding", aData.ContentEncoding);
  }
  if (!aData.Realm.empty()) {
    wire.Headers.emplace_back("WWW-Authenticate", "Basic realm=\"" + aData.Realm + "\"");
  }
  for (const auto& header : aData.CustomHeaders) wire.Headers.push_back(header);
  if (!aHeadRequest && !noBodyStatus) wire.Body = std::move(body.Bytes);
  wire.FreeAfterAnswer = aData.FreeAfterAnswer;
  return wire;
}

TWireResponse PlainTextResponse(int aStatus, std::string_view aText) {
  TWireResponse wire;
  wire.Status = aStatus;
  wire.Headers.emplace_back("Content-Type", "text/plain; charset=utf-8");
  wire.Headers.emplace_back("Content-Length", std::to_string(aText.size()));
  wire.Body = std::string(aText);
  return wire;
}

TWireResponse TWebLayer::Handle(TWebRequest& aRequest) noexcept {
  if (!FAccessLog) {
    THeaderLines unused;
    return Answer(aRequest, unused);
  }
  const auto time = std::chrono::system_clock::now();
  const auto start = std::chrono::steady_clock::now();
  // A route may take the body over; it was received all the same.
  const std::uint64_t bytesIn = aRequest.Content.size();
  THeaderLines fields;
  TWireResponse wire = Answer(aRequest, fields);
  try {
    TAccessRecord record;
    record.Time = time;
    record.RemoteAddress = aRequest.RemoteAddress;
    record.Method = aRequest.Method;
    record.Path = aRequest.RawPath;
    record.Status = wire.Status;
    record.BytesIn = bytesIn;
    record.BytesOut = wire.Body.size();
    record.Duration = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start);
    record.Fields = &fields;
    FAccessLog(record);
  } catch (...) {
    // A log that cannot be written must not cost the client its answer.
  }
  return wire;
}

TWireResponse TWebLayer::Answer(TWebRequest& aRequest, THeaderLines& aLogFields) noexcept {
  struct TActiveGuard {
    std::atomic<int>& Count;
    ~TActiveGuard() { --Count; }
  };
  if (++FActive > FMaxActive) {
    --FActive;
    return PlainTextResponse(500, kTooManyRequestsText);
  }
  TActiveGuard guard{FActive};
  try {
    TWebResponse response;
    FHandler(aRequest, response);
    aLogFields = std::move(response.Data.LogFields);
    return EncodeResponse(response.Final(), aRequest.Method == "HEAD");
  } catch (const std::exception& e) {
    try {
      return PlainTextResponse(500, e.what());
    } catch (...) {
    }
  } catch (...) {
  }
  try {
    return PlainTextResponse(500, "Internal Server Error");
  } catch (...) {
    return TWireResponse{500, {}, {}};
  }
}

}  // namespace tandemize::web
