#pragma once
// Shared shapes of the HTTP framework: method types, callback shapes, the two
// framework exceptions and the objects a request or response can carry.

#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "text/byte_stream.h"

namespace tandemize::web {

class TRelayRequest;
class TRelayResponse;

enum class TMethodType { mtAny, mtGet, mtPut, mtPost, mtHead, mtDelete, mtPatch };
using enum TMethodType;

// "GET", "PUT", "POST", "HEAD", "DELETE", "PATCH" (case-sensitive); anything else is mtAny.
TMethodType MethodTypeFromText(std::string_view aMethod);

using TNextProc = std::function<void()>;
// The one stored shape of middlewares and route handlers.
using TRelayCallback = std::function<void(TRelayRequest&, TRelayResponse&, const TNextProc&)>;
using TRelayCallbackRequestResponse = std::function<void(TRelayRequest&, TRelayResponse&)>;
using TRelayCallbackResponse = std::function<void(TRelayResponse&)>;
using TRelayCallbackRequest = std::function<void(TRelayRequest&)>;

enum class TMessageType { Default, Error, Warning, Information };

// A failure with an HTTP status; what() is the error text.
class ERelayException : public std::exception {
 public:
  explicit ERelayException(std::string aError = {}) : FError(std::move(aError)) {}
  const char* what() const noexcept override { return FError.c_str(); }

  ERelayException& Error(std::string aError) {
    FError = std::move(aError);
    return *this;
  }
  const std::string& Error() const { return FError; }
  ERelayException& Status(int aStatus) {
    FStatus = aStatus;
    return *this;
  }
  int Status() const { return FStatus; }
  ERelayException& Code(int aCode) {
    FCode = aCode;
    return *this;
  }
  int Code() const { return FCode; }
  ERelayException& Type(TMessageType aType) {
    FType = aType;
    return *this;
  }
  TMessageType Type() const { return FType; }
  ERelayException& Title(std::string aTitle) {
    FTitle = std::move(aTitle);
    return *this;
  }
  const std::string& Title() const { return FTitle; }
  ERelayException& Unit(std::string aUnit) {
    FUnit = std::move(aUnit);
    return *this;
  }
  const std::string& Unit() const { return FUnit; }

 private:
  std::string FError;
  int FStatus = 500;
  int FCode = 0;
  TMessageType FType = TMessageType::Default;
  std::string FTitle;
  std::string FUnit;
};

// Raised by a middleware that has written its own answer; ends the request quietly.
class ERelayCallbackInterrupted : public std::exception {
 public:
  const char* what() const noexcept override { return ""; }
};

// Base of every object a request body or response content can hold.
class TRelayObject {
 public:
  virtual ~TRelayObject() = default;
};

// A byte stream as a request body or a response content: the octet-stream
// middleware attaches a request's raw body as one and sends one left in a
// response.
class TRelayStream final : public TRelayObject {
 public:
  TRelayStream() = default;
  explicit TRelayStream(text::TByteStream aStream) : FStream(std::move(aStream)) {}
  explicit TRelayStream(std::string aBytes) : FStream(std::move(aBytes)) {}

  text::TByteStream& Stream() { return FStream; }
  const text::TByteStream& Stream() const { return FStream; }

 private:
  text::TByteStream FStream;
};

// A file download left in a response's content object; owns its stream.
class TFileReturn : public TRelayObject {
 public:
  TFileReturn(std::string aName, text::TByteStream aStream, bool aInline)
      : FName(std::move(aName)), FStream(std::move(aStream)), FInline(aInline) {}
  const std::string& Name() const { return FName; }
  const text::TByteStream& Stream() const { return FStream; }
  bool Inline() const { return FInline; }

 private:
  std::string FName;
  text::TByteStream FStream;
  bool FInline;
};

}  // namespace tandemize::web
