#include "text/byte_stream.h"

#include <algorithm>
#include <utility>

#include "text/charset.h"

namespace tandemize::text {

TByteStream::TByteStream(std::string aBytes) : FBytes(std::move(aBytes)), FView(FBytes) {}

TByteStream::TByteStream(TByteStream&& aOther) noexcept {
  *this = std::move(aOther);
}

TByteStream& TByteStream::operator=(TByteStream&& aOther) noexcept {
  if (this == &aOther) return *this;
  // A short string may live inside the string object itself: the view of
  // the own bytes is taken again after they moved.
  const bool own = aOther.Views(aOther.FBytes);
  FBytes = std::move(aOther.FBytes);
  FView = own ? std::string_view(FBytes) : aOther.FView;
  FLender = aOther.FLender;
  FPosition = aOther.FPosition;
  aOther.FBytes = std::string();
  aOther.FView = aOther.FBytes;
  aOther.FLender = nullptr;
  aOther.FPosition = 0;
  return *this;
}

TByteStream TByteStream::Over(std::string_view aBytes) {
  TByteStream stream;
  stream.FView = aBytes;
  return stream;
}

TByteStream TByteStream::Lent(std::string& aOwner) {
  TByteStream stream = Over(aOwner);
  stream.FLender = &aOwner;
  return stream;
}

void TByteStream::Position(std::size_t aPosition) {
  FPosition = std::min(aPosition, FView.size());
}

std::size_t TByteStream::Read(void* aBuffer, std::size_t aCount) {
  const std::size_t count = std::min(aCount, FView.size() - FPosition);
  std::copy_n(FView.data() + FPosition, count, static_cast<char*>(aBuffer));
  FPosition += count;
  return count;
}

void TByteStream::Write(std::string_view aBytes) {
  if (!Views(FBytes)) {  // a borrowing stream's own copy
    FBytes.assign(FView);
    FLender = nullptr;
  }
  if (FPosition + aBytes.size() > FBytes.size()) FBytes.resize(FPosition + aBytes.size());
  std::copy(aBytes.begin(), aBytes.end(), FBytes.begin() + static_cast<std::ptrdiff_t>(FPosition));
  FPosition += aBytes.size();
  FView = FBytes;
}

void TByteStream::Clear() {
  std::string().swap(FBytes);
  FView = FBytes;
  FLender = nullptr;
  FPosition = 0;
}

std::string TByteStream::TakeBytes() {
  std::string bytes;
  if (Views(FBytes)) {
    bytes = std::move(FBytes);
  } else if (FLender != nullptr && Views(*FLender)) {
    bytes = std::move(*FLender);
    FLender->clear();  // a moved-from string is valid but unspecified
  } else {
    bytes.assign(FView);
  }
  Clear();
  return bytes;
}

std::string TByteStream::DataString() const {
  return DecodeUtf8OrWindows1252(FView);
}

std::string_view TByteStream::DataText(std::string& aConverted) const {
  if (IsValidUtf8(FView)) return FView;
  aConverted = DecodeUtf8OrWindows1252(FView);
  return aConverted;
}

}  // namespace tandemize::text
