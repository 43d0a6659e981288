#pragma once
// Handlers of the three data routes. The data service behind them is not part
// of this build yet: each answers 500 with kDataServiceUnavailable.

#include "web/relay_request.h"

namespace tandemize::app {

inline constexpr const char* kDataServiceUnavailable = "Data service not available yet";

// GET "/checkrequest"
void CheckRequestHandler(web::TRelayRequest& aRequest, web::TRelayResponse& aResponse);
// POST "/testedb"
void TesteDatabaseHandler(web::TRelayRequest& aRequest, web::TRelayResponse& aResponse);
// POST "/tandemize"
void TandemizeHandler(web::TRelayRequest& aRequest, web::TRelayResponse& aResponse);

}  // namespace tandemize::app
