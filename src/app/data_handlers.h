#pragma once
// Handlers of the three data routes: thin adapters that hand one input of the
// request to a data service of their own and send back the JSON it returns
// (status 200, "application/json"). Each request gets a fresh data service,
// freed when the handler ends, whatever happens.

#include "web/relay_request.h"

namespace tandemize::app {

// The request header that carries the envelope of a binary import.
inline constexpr const char* kRequestHeader = "x-request";
// Text of the 500 page when an import arrives without an attached body.
inline constexpr const char* kImportBodyMissing =
    "Request body not found: send the import as application/octet-stream";

// GET "/checkrequest"
void CheckRequestHandler(web::TRelayRequest& aRequest, web::TRelayResponse& aResponse);
// POST "/testedb"
void TesteDatabaseHandler(web::TRelayRequest& aRequest, web::TRelayResponse& aResponse);
// POST "/tandemize"
void TandemizeHandler(web::TRelayRequest& aRequest, web::TRelayResponse& aResponse);

}  // namespace tandemize::app
