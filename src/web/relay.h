#pragma once
// The framework's process-wide core (registration of middlewares and routes),
// the web-module entry point every request goes through, and the TRelay facade.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "web/provider.h"
#include "web/relay_request.h"
#include "web/relay_types.h"
#include "web/router.h"
#include "web/web_layer.h"

namespace tandemize::web {

inline constexpr const char* kInstanceAlreadyCreated =
    "The Relay instance has already been created";

// Adapters from the accepted handler shapes to the stored callback shape.
// A request-only handler answers 204 unless it sets another status.
TRelayCallback AdaptCallback(TRelayCallback aCallback);
TRelayCallback AdaptCallback(TRelayCallbackRequestResponse aCallback);
TRelayCallback AdaptCallback(TRelayCallbackResponse aCallback);
TRelayCallback AdaptCallback(TRelayCallbackRequest aCallback);

// "/" + the path without leading and trailing "/".
std::string NormalizeRoutePath(std::string_view aPath);

class TRelayCore {
 public:
  // The single instance; constructing a second one fails with kInstanceAlreadyCreated.
  TRelayCore();
  TRelayCore(const TRelayCore&) = delete;
  TRelayCore& operator=(const TRelayCore&) = delete;

  // The instance, created on first use.
  static TRelayCore& GetInstance();
  static TRelayRouterTree& Routes();

  static TRelayCore& Use(TRelayCallback aCallback);
  static TRelayCore& Use(std::string_view aPath, TRelayCallback aCallback);
  static TRelayCore& Use(const std::vector<TRelayCallback>& aCallbacks);
  static TRelayCore& Use(std::string_view aPath, const std::vector<TRelayCallback>& aCallbacks);

  template <class F>
  static TRelayCore& Get(std::string_view aPath, F&& aHandler) {
    return Route(mtGet, aPath, AdaptCallback(std::forward<F>(aHandler)));
  }
  template <class F>
  static TRelayCore& Post(std::string_view aPath, F&& aHandler) {
    return Route(mtPost, aPath, AdaptCallback(std::forward<F>(aHandler)));
  }
  template <class F>
  static TRelayCore& Put(std::string_view aPath, F&& aHandler) {
    return Route(mtPut, aPath, AdaptCallback(std::forward<F>(aHandler)));
  }
  template <class F>
  static TRelayCore& Patch(std::string_view aPath, F&& aHandler) {
    return Route(mtPatch, aPath, AdaptCallback(std::forward<F>(aHandler)));
  }
  template <class F>
  static TRelayCore& Head(std::string_view aPath, F&& aHandler) {
    return Route(mtHead, aPath, AdaptCallback(std::forward<F>(aHandler)));
  }
  template <class F>
  static TRelayCore& Delete(std::string_view aPath, F&& aHandler) {
    return Route(mtDelete, aPath, AdaptCallback(std::forward<F>(aHandler)));
  }

  // Pending per-route callbacks: the next route registration takes them all,
  // registering each before its handler.
  static TRelayCore& AddCallback(TRelayCallback aCallback);
  static TRelayCore& AddCallbacks(const std::vector<TRelayCallback>& aCallbacks);

  // Registers the pending callbacks and then aCallback for the method and path.
  static TRelayCore& Route(TMethodType aMethod, std::string_view aPath, TRelayCallback aCallback);

 private:
  TRelayRouterTree FRoutes;
  std::vector<TRelayCallback> FCallbacks;
};

// The framework as the program sees it: registration and listening.
class TRelay : public TRelayCore, public TRelayProvider {
 public:
  TRelay() = delete;
};

// The body of the 500 page; %0:s is the message, %1:s the decoded path, both
// HTML-escaped.
std::string ErrorPageText(std::string_view aMessage, std::string_view aPath);

class TRelayWebModule {
 public:
  // Wraps the request and response, runs the tree and frees what the request
  // and response own. ERelayCallbackInterrupted ends the request quietly;
  // other exceptions pass on.
  static void HandlerAction(TRelayRouterTree& aRoutes, TWebRequest& aRequest,
                            TWebResponse& aResponse);
  // HandlerAction plus the web layer's answer to an escaped exception: the
  // error page with status 500.
  static void Dispatch(TRelayRouterTree& aRoutes, TWebRequest& aRequest, TWebResponse& aResponse);
};

}  // namespace tandemize::web
