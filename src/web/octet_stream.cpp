#include "web/octet_stream.h"

#include <algorithm>

#include "web/limits.h"
#include "web/relay_request.h"

namespace tandemize::web {

std::size_t TMemoryStream::Read(void* aBuffer, std::size_t aCount) {
  const std::size_t count = std::min(aCount, FData.size() - FPosition);
  std::copy_n(FData.data() + FPosition, count, static_cast<char*>(aBuffer));
  FPosition += count;
  return count;
}

void TMemoryStream::Write(const void* aBuffer, std::size_t aCount) {
  if (FPosition + aCount > FData.size()) FData.resize(FPosition + aCount);
  std::copy_n(static_cast<const char*>(aBuffer), aCount, FData.data() + FPosition);
  FPosition += aCount;
}

void ReadWholeBody(TRelayRequest& aRequest, TMemoryStream& aTarget) {
  aTarget.Clear();
  const std::string& content = aRequest.RawWebRequest().Content;
  std::size_t remaining = content.size();
  std::size_t offset = 0;
  while (remaining > 0) {
    const std::size_t chunk = std::min(remaining, kBodyCopyChunk);
    aTarget.Write(content.data() + offset, chunk);
    offset += chunk;
    remaining -= chunk;
  }
  aTarget.Position(0);
}

void OctetStream(TRelayRequest& aRequest, TRelayResponse& aResponse, const TNextProc& aNext) {
  const TMethodType method = aRequest.MethodType();
  if ((method == mtPut || method == mtPost || method == mtPatch) &&
      aRequest.RawWebRequest().ContentType == "application/octet-stream") {
    auto body = std::make_unique<TMemoryStream>();
    ReadWholeBody(aRequest, *body);
    aRequest.Body(std::move(body));
  }
  aNext();

  TWebResponse& web = aResponse.RawWebResponse();
  TRelayObject* content = aResponse.Content();
  if (auto* stream = dynamic_cast<TMemoryStream*>(content)) {
    if (Trim(web.Data.ContentType).empty()) web.Data.ContentType = "application/octet-stream";
    if (web.Data.GetCustomHeader("Content-Disposition").empty()) {
      web.Data.SetCustomHeader("Content-Disposition", "attachment");
    }
    web.Data.ContentStream = stream->Bytes();
    web.SendResponse();
  } else if (auto* file = dynamic_cast<TFileReturn*>(content)) {
    if (Trim(web.Data.ContentType).empty()) web.Data.ContentType = "application/octet-stream";
    web.Data.SetCustomHeader("Content-Disposition",
                             std::string(file->Inline() ? "inline" : "attachment") +
                                 "; filename=\"" + file->Name() + "\"");
    web.Data.ContentStream = file->Stream() != nullptr ? file->Stream()->Bytes() : std::string();
    web.SendResponse();
  }
}

}  // namespace tandemize::web
