// Fuzz target: the Basic credentials in a request header. The input is the
// header value; the middleware must answer 200, 401 or 500 and never crash.
// The same bytes are also split as already-decoded credentials.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "web/basic_auth.h"
#include "web/relay.h"
#include "web/web_layer.h"

namespace {

using namespace tandemize::web;

TRelayRouterTree& Tree() {
  static TRelayRouterTree* tree = [] {
    auto* t = new TRelayRouterTree;
    t->RegisterMiddleware("/", RelayBasicAuthentication(
                                   [](const std::string& aUser, const std::string& aPassword) {
                                     if (aUser == "raise") throw std::runtime_error("check failed");
                                     return aUser == "tulip" && aPassword == "tulip";
                                   },
                                   TRelayBasicAuthenticationConfig::New()));
    t->RegisterRoute(
        mtGet, "/data",
        AdaptCallback(TRelayCallbackResponse([](TRelayResponse& r) { r.Send("data"); })));
    return t;
  }();
  return *tree;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  const std::string value(reinterpret_cast<const char*>(aData), aSize);
  (void)SplitCredentials(value);

  for (const std::string& header : {value, "Basic " + value}) {
    TWebRequest request = BuildWebRequest("GET", "/data", {{"Authorization", header}}, {});
    TWebResponse response;
    TRelayWebModule::Dispatch(Tree(), request, response);
    const TWireResponse wire = EncodeResponse(response.Final(), false);
    if (wire.Status != 200 && wire.Status != 401 && wire.Status != 500) std::abort();
  }
  return 0;
}
