#pragma once
// Shared shapes of the HTTP framework: method types, callback shapes, the two
// framework exceptions and the objects a request or response can carry.

#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

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

// An in-memory byte stream with a read/write position. It either owns its
// bytes or reads bytes that someone else keeps alive (a request's body, see
// Over and Lent); the first write gives a borrowing stream its own copy.
class TMemoryStream : public TRelayObject {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::string aBytes) : FData(std::move(aBytes)), FView(FData) {}
  TMemoryStream(const TMemoryStream&) = delete;
  TMemoryStream& operator=(const TMemoryStream&) = delete;

  // A stream reading aBytes in place; they must outlive the stream.
  static std::unique_ptr<TMemoryStream> Over(std::string_view aBytes) {
    auto stream = std::make_unique<TMemoryStream>();
    stream->FView = aBytes;
    return stream;
  }
  // A stream reading aOwner's bytes in place, like Over, that may also take
  // them from aOwner (TakeBytes). aOwner must outlive the stream.
  static std::unique_ptr<TMemoryStream> Lent(std::string& aOwner) {
    auto stream = Over(aOwner);
    stream->FLender = &aOwner;
    return stream;
  }

  std::size_t Size() const { return FView.size(); }
  std::size_t Position() const { return FPosition; }
  void Position(std::size_t aPosition) {
    FPosition = aPosition < FView.size() ? aPosition : FView.size();
  }
  // Copies up to aCount bytes from the position on; returns how many were copied.
  std::size_t Read(void* aBuffer, std::size_t aCount);
  // Writes at the position, growing the stream as needed.
  void Write(const void* aBuffer, std::size_t aCount);
  void Clear() {
    FData.clear();
    FView = FData;
    FPosition = 0;
  }
  std::string_view Bytes() const { return FView; }
  // Hands the stream's bytes over and leaves the stream empty (position 0).
  // Its own bytes and those it reads of its lender (which is left empty)
  // move without a copy; bytes it only views (Over) are copied.
  std::string TakeBytes();

 private:
  std::string FData;
  std::string_view FView;           // the stream's bytes: FData, or borrowed ones
  std::string* FLender = nullptr;   // the owner of the borrowed bytes, when known
  std::size_t FPosition = 0;
};

// A file download left in a response's content object; owns its stream.
class TFileReturn : public TRelayObject {
 public:
  TFileReturn(std::string aName, std::unique_ptr<TMemoryStream> aStream, bool aInline)
      : FName(std::move(aName)), FStream(std::move(aStream)), FInline(aInline) {}
  const std::string& Name() const { return FName; }
  TMemoryStream* Stream() const { return FStream.get(); }
  bool Inline() const { return FInline; }

 private:
  std::string FName;
  std::unique_ptr<TMemoryStream> FStream;
  bool FInline;
};

}  // namespace tandemize::web
