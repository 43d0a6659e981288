#pragma once
// Octet-stream middleware: attaches the raw body of "application/octet-stream"
// requests as a TRelayStream lent the request's bytes, and sends a stream or
// file left in the response's content object.

#include "web/relay_types.h"

namespace tandemize::web {

void OctetStream(TRelayRequest& aRequest, TRelayResponse& aResponse, const TNextProc& aNext);

}  // namespace tandemize::web
