#pragma once
// Runs one request through a router tree the way the transport would, and
// returns what would go on the wire.

#include <string>

#include "text/case_fold.h"
#include "web/relay.h"
#include "web/web_layer.h"

namespace tandemize::web::testing {

inline TWireResponse RunRequest(TRelayRouterTree& aTree, const std::string& aMethod,
                                const std::string& aTarget, THeaderLines aHeaders = {},
                                std::string aBody = {}) {
  TWebRequest request = BuildWebRequest(aMethod, aTarget, std::move(aHeaders), std::move(aBody));
  TWebResponse response;
  TRelayWebModule::Dispatch(aTree, request, response);
  return EncodeResponse(response.Final(), request.Method == "HEAD");
}

inline std::string HeaderOf(const TWireResponse& aWire, const std::string& aName) {
  for (const auto& [name, value] : aWire.Headers) {
    if (text::EqualsIgnoringAsciiCase(name, aName)) return value;
  }
  return {};
}

}  // namespace tandemize::web::testing
