#include "app/data_handlers.h"

#include <stdexcept>
#include <string>

#include "app/build_label.h"
#include "json/json.h"
#include "service/dm.h"
#include "text/byte_stream.h"
#include "web/relay_types.h"
#include "web/web_layer.h"

namespace tandemize::app {

namespace {

constexpr const char* kJsonContentType = "application/json";

// Header look-up ignoring letter case; absent gives "", blanks are trimmed.
std::string RequestHeader(web::TRelayRequest& aRequest) {
  return aRequest.Headers().Field(kRequestHeader).AsString();
}

// The import's line in the access log: kind, table and rows as far as the
// import got, and its result with a failure's message.
void NoteImport(web::TRelayResponse& aResponse, const service::TDM& aDM,
                const std::string& aVerdict) {
  const service::TDM::TImportSummary& summary = aDM.ImportSummary();
  web::THeaderLines& fields = aResponse.RawWebResponse().Data.LogFields;
  fields.emplace_back("kind", summary.Kind.empty() ? "-" : summary.Kind);
  fields.emplace_back("table", summary.Table.empty() ? "-" : summary.Table);
  fields.emplace_back("rows", std::to_string(summary.Rows));
  json::TJsonObject verdict;
  verdict.Parse(aVerdict);
  const bool success = verdict["success"].AsBoolean();
  fields.emplace_back("result", success ? "ok" : "failed");
  if (!success) fields.emplace_back("message", verdict["message"].AsString());
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
  // The body takes the request's bytes over without a copy, so the service
  // can free them once it has read them; nothing after this handler reads
  // the request's body.
  auto* attached = aRequest.Body<web::TRelayStream>();
  if (attached == nullptr) throw std::runtime_error(kImportBodyMissing);
  text::TByteStream body(attached->Stream().TakeBytes());

  aResponse.ContentType(kJsonContentType);
  service::TDMInstance dm;
  const std::string verdict = dm->Tandemize(RequestHeader(aRequest), &body, binary);
  try {
    NoteImport(aResponse, *dm, verdict);
  } catch (const std::exception&) {
    // The log line lacks the import's fields; the client still gets its verdict.
  }
  aResponse.Send(verdict);
  // The rows are freed after the verdict has been written.
  aResponse.FreeAfterAnswer(dm->TakeLeftovers());
}

}  // namespace tandemize::app
