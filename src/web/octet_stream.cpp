#include "web/octet_stream.h"

#include <algorithm>

#include "web/limits.h"
#include "web/relay_request.h"

namespace tandemize::web {

std::size_t TMemoryStream::Read(void* aBuffer, std::size_t aCount) {
  const std::size_t count = std::min(aCount, FView.size() - FPosition);
  std::copy_n(FView.data() + FPosition, count, static_cast<char*>(aBuffer));
  FPosition += count;
  return count;
}

void TMemoryStream::Write(const void* aBuffer, std::size_t aCount) {
  if (FView.data() != FData.data() || FView.size() != FData.size()) FData.assign(FView);
  if (FPosition + aCount > FData.size()) FData.resize(FPosition + aCount);
  std::copy_n(static_cast<const char*>(aBuffer), aCount, FData.data() + FPosition);
  FPosition += aCount;
  FView = FData;
}

std::string TMemoryStream::TakeBytes() {
  const auto views = [this](const std::string& aBytes) {
    return FView.data() == aBytes.data() && FView.size() == aBytes.size();
  };
  std::string bytes;
  if (views(FData)) {
    bytes = std::move(FData);
  } else if (FLender != nullptr && views(*FLender)) {
    bytes = std::move(*FLender);
    FLender->clear();  // a moved-from string is valid but unspecified
  } else {
    bytes.assign(FView);
  }
  FData = std::string();
  FLender = nullptr;
  FView = FData;
  FPosition = 0;
  return bytes;
}

void OctetStream(TRelayRequest& aRequest, TRelayResponse& aResponse, const TNextProc& aNext) {
  const TMethodType method = aRequest.MethodType();
  if ((method == mtPut || method == mtPost || method == mtPatch) &&
      aRequest.RawWebRequest().ContentType == "application/octet-stream") {
    // The body stream reads the request's own bytes: a large body is held
    // once, not twice. The request owns both; a handler that takes the bytes
    // (TakeBytes) leaves the request's content empty.
    aRequest.Body(TMemoryStream::Lent(aRequest.RawWebRequest().Content));
  }
  aNext();

  TWebResponse& web = aResponse.RawWebResponse();
  TRelayObject* content = aResponse.Content();
  if (auto* stream = dynamic_cast<TMemoryStream*>(content)) {
    if (Trim(web.Data.ContentType).empty()) web.Data.ContentType = "application/octet-stream";
    if (web.Data.GetCustomHeader("Content-Disposition").empty()) {
      web.Data.SetCustomHeader("Content-Disposition", "attachment");
    }
    web.Data.ContentStream = std::string(stream->Bytes());
    web.SendResponse();
  } else if (auto* file = dynamic_cast<TFileReturn*>(content)) {
    if (Trim(web.Data.ContentType).empty()) web.Data.ContentType = "application/octet-stream";
    web.Data.SetCustomHeader("Content-Disposition",
                             std::string(file->Inline() ? "inline" : "attachment") +
                                 "; filename=\"" + file->Name() + "\"");
    web.Data.ContentStream = file->Stream() != nullptr ? std::string(file->Stream()->Bytes()) : std::string();
    web.SendResponse();
  }
}

}  // namespace tandemize::web
