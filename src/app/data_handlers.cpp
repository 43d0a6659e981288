#include "app/data_handlers.h"

namespace tandemize::app {

namespace {

void AnswerUnavailable(web::TRelayResponse& aResponse) {
  aResponse.Status(500).ContentType("text/plain; charset=utf-8").Send(kDataServiceUnavailable);
}

}  // namespace

void CheckRequestHandler(web::TRelayRequest&, web::TRelayResponse& aResponse) {
  AnswerUnavailable(aResponse);
}

void TesteDatabaseHandler(web::TRelayRequest&, web::TRelayResponse& aResponse) {
  AnswerUnavailable(aResponse);
}

void TandemizeHandler(web::TRelayRequest&, web::TRelayResponse& aResponse) {
  AnswerUnavailable(aResponse);
}

}  // namespace tandemize::app
