#include "app/base_router.h"

#include <iostream>

#include "app/build_label.h"
#include "app/data_handlers.h"
#include "web/basic_auth.h"
#include "web/compression.h"
#include "web/octet_stream.h"

namespace tandemize::app {

namespace {
constexpr const char* kCredential = "tulip";
}  // namespace

bool CheckCredentials(const std::string& aUsername, const std::string& aPassword) {
  return aUsername == kCredential && aPassword == kCredential;
}

std::string StatusPageText(std::time_t aNow) {
  std::tm local{};
  localtime_r(&aNow, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%d-%m-%Y %H:%M:%S", &local);
  return "<h2>Servidor Tandemize Ativo! - " + BuildLabel() + " - " + stamp + "</h2>";
}

void StatusPage(web::TRelayResponse& aResponse) {
  aResponse.ContentType("text/html");
  aResponse.Send(StatusPageText(std::time(nullptr)));
}

std::string BannerText(const std::string& aHost, int aPort) {
  return "Servidor ativo " + aHost + ":" + std::to_string(aPort) + " - " + BuildLabel();
}

void ListenCallback(web::TRelayCore&) {
  std::cout << BannerText(web::TRelay::Host(), web::TRelay::Port()) << std::endl;
}

void TBase::Router() {
  web::TRelay::Get("/", web::TRelayCallbackResponse(StatusPage));
  web::TRelay::Get("/checkrequest", web::TRelayCallbackRequestResponse(CheckRequestHandler));
  web::TRelay::Post("/testedb", web::TRelayCallbackRequestResponse(TesteDatabaseHandler));
  web::TRelay::Post("/tandemize", web::TRelayCallbackRequestResponse(TandemizeHandler));
}

void RegisterMiddlewaresAndRoutes() {
  auto config = web::TRelayBasicAuthenticationConfig::New();
  config->SkipRoutes({"/"});
  web::TRelay::Use(web::RelayBasicAuthentication(CheckCredentials, config))
      .Use(web::Compression(kCompressionThreshold))
      .Use([](web::TRelayRequest& req, web::TRelayResponse& res, const web::TNextProc& next) {
        web::OctetStream(req, res, next);
      });
  TBase::Router();
}

int RunServer() {
  web::SetConsoleProgram(true);
  RegisterMiddlewaresAndRoutes();
  web::TRelay::Listen(kServicePort, ListenCallback);
  return 0;
}

}  // namespace tandemize::app
