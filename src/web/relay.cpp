#include "web/relay.h"

#include <atomic>
#include <exception>
#include <stdexcept>

namespace tandemize::web {

namespace {

std::atomic<TRelayCore*> gInstance{nullptr};

constexpr std::string_view kErrorPageTemplate =
    "<html lang=\"en\" style=\"font-family: sans-serif; background-color: #F5F5F5\"><head>  "
    "<meta charset=\"utf-8\">  <meta name=\"viewport\" content=\"width=device-width, "
    "initial-scale=1.0\">  <title>Error 500: Internal Server Error</title></head><body  "
    "style=\"display: grid; justify-content: center; height: 100vh; vertical-align: top; "
    "margin: 0; margin-top: 20px\">  <main>    <h1 style=\"font-size: 40px; color: #424242; "
    "text-align:center; line-height: 0.25\">5\xF0\x9F\x94\xA5\xF0\x9F\x99\x80</h1>    <p "
    "style=\"font-size: 24px; text-align: center; padding-left: 20px; padding-right: "
    "20px;\"><span style=\"color: #424242;\">\xE2\x9A\x99 Internal Server Error "
    "\xE2\x9A\x99</span><br><br><span style=\"color: #9e9e9e;\">%0:s</span></p>    <p "
    "style=\"font-size: 18px; text-align: center; padding-left: 20px; padding-right: "
    "20px;\"><span style=\"color: #bdbdbd;\">%1:s</span></p>  </main></body></html>";

}  // namespace

TRelayCallback AdaptCallback(TRelayCallback aCallback) {
  return aCallback;
}

TRelayCallback AdaptCallback(TRelayCallbackRequestResponse aCallback) {
  return [cb = std::move(aCallback)](TRelayRequest& req, TRelayResponse& res, const TNextProc&) {
    cb(req, res);
  };
}

TRelayCallback AdaptCallback(TRelayCallbackResponse aCallback) {
  return [cb = std::move(aCallback)](TRelayRequest&, TRelayResponse& res, const TNextProc&) {
    cb(res);
  };
}

TRelayCallback AdaptCallback(TRelayCallbackRequest aCallback) {
  return [cb = std::move(aCallback)](TRelayRequest& req, TRelayResponse& res, const TNextProc&) {
    res.Status(204);
    cb(req);
  };
}

std::string NormalizeRoutePath(std::string_view aPath) {
  while (aPath.starts_with('/')) aPath.remove_prefix(1);
  while (aPath.ends_with('/')) aPath.remove_suffix(1);
  return "/" + std::string(aPath);
}

TRelayCore::TRelayCore() {
  TRelayCore* expected = nullptr;
  if (!gInstance.compare_exchange_strong(expected, this)) {
    throw std::runtime_error(kInstanceAlreadyCreated);
  }
}

TRelayCore& TRelayCore::GetInstance() {
  // Lives until program shutdown, together with its tree and pending list.
  static TRelayCore* instance = [] {
    TRelayCore* existing = gInstance.load();
    return existing != nullptr ? existing : new TRelayCore();
  }();
  return *instance;
}

TRelayRouterTree& TRelayCore::Routes() {
  return GetInstance().FRoutes;
}

TRelayCore& TRelayCore::Use(TRelayCallback aCallback) {
  return Use("/", std::move(aCallback));
}

TRelayCore& TRelayCore::Use(std::string_view aPath, TRelayCallback aCallback) {
  Routes().RegisterMiddleware(NormalizeRoutePath(aPath), std::move(aCallback));
  return GetInstance();
}

TRelayCore& TRelayCore::Use(const std::vector<TRelayCallback>& aCallbacks) {
  return Use("/", aCallbacks);
}

TRelayCore& TRelayCore::Use(std::string_view aPath, const std::vector<TRelayCallback>& aCallbacks) {
  for (const TRelayCallback& callback : aCallbacks) Use(aPath, callback);
  return GetInstance();
}

TRelayCore& TRelayCore::AddCallback(TRelayCallback aCallback) {
  GetInstance().FCallbacks.push_back(std::move(aCallback));
  return GetInstance();
}

TRelayCore& TRelayCore::AddCallbacks(const std::vector<TRelayCallback>& aCallbacks) {
  for (const TRelayCallback& callback : aCallbacks) AddCallback(callback);
  return GetInstance();
}

TRelayCore& TRelayCore::Route(TMethodType aMethod, std::string_view aPath,
                              TRelayCallback aCallback) {
  TRelayCore& core = GetInstance();
  const std::string path = NormalizeRoutePath(aPath);
  std::vector<TRelayCallback> pending = std::move(core.FCallbacks);
  core.FCallbacks.clear();
  for (TRelayCallback& callback : pending)
    core.FRoutes.RegisterRoute(aMethod, path, std::move(callback));
  core.FRoutes.RegisterRoute(aMethod, path, std::move(aCallback));
  return core;
}

namespace {

std::string HtmlEscaped(std::string_view aText) {
  std::string out;
  out.reserve(aText.size());
  for (const char c : aText) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace

std::string ErrorPageText(std::string_view aMessage, std::string_view aPath) {
  // Both texts come from the client or from data it sent: they go in as
  // escaped text, and each into its own place of the template (the path
  // first, so a message containing "%1:s" is not mistaken for the path's
  // place).
  std::string page(kErrorPageTemplate);
  const auto replace = [&page](std::string_view placeholder, std::string_view value) {
    const std::size_t pos = page.find(placeholder);
    if (pos != std::string::npos) page.replace(pos, placeholder.size(), HtmlEscaped(value));
  };
  replace("%1:s", aPath);
  replace("%0:s", aMessage);
  return page;
}

void TRelayWebModule::HandlerAction(TRelayRouterTree& aRoutes, TWebRequest& aRequest,
                                    TWebResponse& aResponse) {
  TRelayRequest request(aRequest);
  TRelayResponse response(aResponse);
  // The request's body object belongs to the request even when a handler also
  // made it the response's content: detach it so it is freed once.
  struct TDetach {
    TRelayRequest& Request;
    TRelayResponse& Response;
    ~TDetach() {
      if (Response.Content() != nullptr && Response.Content() == Request.BodyObject()) {
        Response.ReleaseContent();
      }
    }
  } detach{request, response};
  try {
    aRoutes.Execute(request, response);
  } catch (const ERelayCallbackInterrupted&) {
  }
}

void TRelayWebModule::Dispatch(TRelayRouterTree& aRoutes, TWebRequest& aRequest,
                               TWebResponse& aResponse) {
  std::string message;
  try {
    HandlerAction(aRoutes, aRequest, aResponse);
    return;
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "Unknown exception";
  }
  aResponse.Data.Content = ErrorPageText(message, aRequest.PathInfo);
  aResponse.Data.ContentStream.reset();
  aResponse.Data.ContentEncoding.clear();
  if (!aResponse.Sent()) {
    aResponse.Data.StatusCode = 500;
    aResponse.SendResponse();
  }
}

}  // namespace tandemize::web
