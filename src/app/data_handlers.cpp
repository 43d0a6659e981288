#include "app/data_handlers.h"

#include <memory>
#include <stdexcept>
#include <string>

#include "app/build_label.h"
#include "service/dm.h"
#include "web/relay_types.h"
#include "web/web_layer.h"

namespace tandemize::app {

namespace {

constexpr const char* kJsonContentType = "application/json";

// Header look-up ignoring letter case; absent gives "", blanks are trimmed.
std::string RequestHeader(web::TRelayRequest& aRequest) {
  return aRequest.Headers().Field(kRequestHeader).AsString();
}

}  // namespace

void CheckRequestHandler(web::TRelayRequest& aRequest, web::TRelayResponse& aResponse) {
  aResponse.ContentType(kJsonContentType);
  service::TDMInstance dm;
  dm->ToolchainText(ToolchainText());
  aResponse.Send(dm->checkRequest(RequestHeader(aRequest)));
}

void TesteDatabaseHandler(web::TRelayRequest& aRequest, web::TRelayResponse& aResponse) {
  aResponse.ContentType(kJsonContentType);
  service::TDMInstance dm;
  aResponse.Send(dm->TesteDatabase(aRequest.Body()));
}

void TandemizeHandler(web::TRelayRequest& aRequest, web::TRelayResponse& aResponse) {
  const bool binary = !web::Trim(RequestHeader(aRequest)).empty();
  // The body as the service reads it: bytes for a dataset stream, text for a
  // JSON envelope. It borrows the request's bytes (the request outlives the
  // call below), so a large body is held once.
  std::unique_ptr<service::TStream> body;
  if (binary) {
    body = std::make_unique<service::TMemoryStream>();
  } else {
    body = std::make_unique<service::TStringStream>();
  }
  const auto* attached = aRequest.Body<web::TMemoryStream>();
  if (attached == nullptr) throw std::runtime_error(kImportBodyMissing);
  body->Borrow(attached->Bytes());

  aResponse.ContentType(kJsonContentType);
  service::TDMInstance dm;
  aResponse.Send(dm->Tandemize(RequestHeader(aRequest), body.get(), binary));
}

}  // namespace tandemize::app
