// Fuzz target: raw request bytes through the web layer in process, no
// socket. The bytes are read as an HTTP/1.1 request (the same limits as the
// server), built into the framework's request and dispatched through the
// program's middlewares (Basic authentication, compression, octet-stream)
// and routes; the data routes are stubs that read the request without
// touching a database. Every request must get an answer with a status.

#include <boost/beast/core/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/base_router.h"
#include "web/basic_auth.h"
#include "web/compression.h"
#include "web/limits.h"
#include "web/octet_stream.h"
#include "web/relay.h"
#include "web/relay_request.h"
#include "web/web_layer.h"

namespace {

namespace http = boost::beast::http;
using namespace tandemize;

// Reads what the request holds, as the data routes do, and echoes its size.
void StubDataHandler(web::TRelayRequest& aRequest, web::TRelayResponse& aResponse) {
  std::string seen = aRequest.RawWebRequest().PathInfo;
  seen += aRequest.Body();
  aResponse.Send(std::to_string(seen.size()));
}

web::TRelayRouterTree& Routes() {
  static web::TRelayRouterTree& routes = []() -> web::TRelayRouterTree& {
    auto config = web::TRelayBasicAuthenticationConfig::New();
    config->SkipRoutes({"/"});
    web::TRelay::Use(web::RelayBasicAuthentication(app::CheckCredentials, config))
        .Use(web::Compression(app::kCompressionThreshold))
        .Use([](web::TRelayRequest& req, web::TRelayResponse& res, const web::TNextProc& next) {
          web::OctetStream(req, res, next);
        });
    web::TRelay::Get("/", web::TRelayCallbackResponse(app::StatusPage));
    web::TRelay::Get("/checkrequest", web::TRelayCallbackRequestResponse(StubDataHandler));
    web::TRelay::Post("/testedb", web::TRelayCallbackRequestResponse(StubDataHandler));
    web::TRelay::Post("/tandemize", web::TRelayCallbackRequestResponse(StubDataHandler));
    return web::TRelay::Routes();
  }();
  return routes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  web::TRelayRouterTree& routes = Routes();

  http::request_parser<http::string_body> parser;
  parser.eager(true);
  parser.header_limit(web::kMaxHeaderBlockBytes);
  parser.body_limit(web::kMaxBodyBytes);
  boost::beast::error_code ec;
  parser.put(boost::asio::buffer(aData, aSize), ec);
  if (!ec && !parser.is_done()) parser.put_eof(ec);
  if (ec || !parser.is_done()) return 0;

  const auto& message = parser.get();
  web::THeaderLines headers;
  for (const auto& field : message) {
    headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  }
  web::TWebRequest request =
      web::BuildWebRequest(std::string(message.method_string()),
                           std::string_view(message.target().data(), message.target().size()),
                           std::move(headers), message.body());
  web::TWebResponse response;
  web::TRelayWebModule::Dispatch(routes, request, response);
  const web::TWireResponse wire = web::EncodeResponse(response.Final(), request.Method == "HEAD");
  if (wire.Status < 100 || wire.Status > 599) std::abort();
  return 0;
}
