#include "web/octet_stream.h"

#include <memory>

#include "web/limits.h"
#include "web/relay_request.h"

namespace tandemize::web {

void OctetStream(TRelayRequest& aRequest, TRelayResponse& aResponse, const TNextProc& aNext) {
  const TMethodType method = aRequest.MethodType();
  if ((method == mtPut || method == mtPost || method == mtPatch) &&
      aRequest.RawWebRequest().ContentType == "application/octet-stream") {
    // The body stream reads the request's own bytes: a large body is held
    // once, not twice. The request owns both; a handler that takes the bytes
    // (TakeBytes) leaves the request's content empty.
    aRequest.Body(
        std::make_unique<TRelayStream>(text::TByteStream::Lent(aRequest.RawWebRequest().Content)));
  }
  aNext();

  TWebResponse& web = aResponse.RawWebResponse();
  TRelayObject* content = aResponse.Content();
  if (auto* stream = dynamic_cast<TRelayStream*>(content)) {
    if (Trim(web.Data.ContentType).empty()) web.Data.ContentType = "application/octet-stream";
    if (web.Data.GetCustomHeader("Content-Disposition").empty()) {
      web.Data.SetCustomHeader("Content-Disposition", "attachment");
    }
    web.Data.ContentStream = std::string(stream->Stream().Bytes());
    web.SendResponse();
  } else if (auto* file = dynamic_cast<TFileReturn*>(content)) {
    if (Trim(web.Data.ContentType).empty()) web.Data.ContentType = "application/octet-stream";
    web.Data.SetCustomHeader("Content-Disposition",
                             std::string(file->Inline() ? "inline" : "attachment") +
                                 "; filename=\"" + file->Name() + "\"");
    web.Data.ContentStream = std::string(file->Stream().Bytes());
    web.SendResponse();
  }
}

}  // namespace tandemize::web
