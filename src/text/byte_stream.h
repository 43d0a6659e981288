#pragma once
// TByteStream: bytes with a read/write position, the one byte stream of the
// program. The HTTP layer attaches a request's body as one and the data
// service reads an import from one, so a body passes from the request to the
// service by moves alone.
//
// A stream owns its bytes (built from a string, or written), or reads bytes
// that someone else keeps alive (Over, Lent). The first write gives a
// borrowing stream its own copy; the bytes it borrowed are never changed.
// Moving a stream moves its bytes, its position and what it borrows.
//
//   text::TByteStream body = text::TByteStream::Lent(request.Content);
//   std::string bytes = body.TakeBytes();  // request.Content is left empty

#include <cstddef>
#include <string>
#include <string_view>

namespace tandemize::text {

class TByteStream {
 public:
  TByteStream() = default;
  // A stream owning aBytes, moved in; the position is 0.
  explicit TByteStream(std::string aBytes);
  TByteStream(TByteStream&& aOther) noexcept;
  TByteStream& operator=(TByteStream&& aOther) noexcept;
  TByteStream(const TByteStream&) = delete;
  TByteStream& operator=(const TByteStream&) = delete;
  ~TByteStream() = default;

  // A stream reading aBytes in place; they must outlive the stream (or its
  // first write).
  static TByteStream Over(std::string_view aBytes);
  // A stream reading aOwner's bytes in place, like Over, that may also take
  // them from aOwner (TakeBytes). aOwner must outlive the stream.
  static TByteStream Lent(std::string& aOwner);

  std::size_t Size() const { return FView.size(); }
  std::size_t Position() const { return FPosition; }
  // Clamped to Size().
  void Position(std::size_t aPosition);
  // Copies up to aCount bytes from the position on and moves past them;
  // returns how many were copied.
  std::size_t Read(void* aBuffer, std::size_t aCount);
  // Writes at the position, growing the stream as needed.
  void Write(std::string_view aBytes);
  // Lets go of the content and frees the stream's own bytes (borrowed ones
  // are left to their owner): the stream is empty, its position 0.
  void Clear();

  std::string_view Bytes() const { return FView; }
  // The bytes from the position on.
  std::string_view Remaining() const { return FView.substr(FPosition); }
  // Hands the bytes over and leaves the stream empty (position 0). Its own
  // bytes and those it reads of its lender (which is left empty) move
  // without a copy; bytes it only views (Over) are copied.
  std::string TakeBytes();

  // The whole content as text: the bytes as UTF-8 when they are valid UTF-8,
  // otherwise read as Windows-1252, so no character is lost either way.
  std::string DataString() const;
  // DataString without a copy when the bytes are valid UTF-8 already;
  // otherwise the converted text is kept in aConverted and viewed there.
  std::string_view DataText(std::string& aConverted) const;

 private:
  // Whether the stream reads exactly aBytes.
  bool Views(const std::string& aBytes) const {
    return FView.data() == aBytes.data() && FView.size() == aBytes.size();
  }

  std::string FBytes;              // the stream's own bytes
  std::string_view FView{FBytes};  // the bytes read: FBytes, or borrowed ones
  std::string* FLender = nullptr;  // the owner of the borrowed bytes, when known
  std::size_t FPosition = 0;
};

}  // namespace tandemize::text
