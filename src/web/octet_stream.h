#pragma once
// Octet-stream middleware: attaches the raw body of "application/octet-stream"
// requests as a memory stream, and sends a stream or file left in the
// response's content object.

#include "web/relay_types.h"

namespace tandemize::web {

// Copies the whole request body into aTarget and rewinds it.
void ReadWholeBody(TRelayRequest& aRequest, TMemoryStream& aTarget);

void OctetStream(TRelayRequest& aRequest, TRelayResponse& aResponse, const TNextProc& aNext);

}  // namespace tandemize::web
