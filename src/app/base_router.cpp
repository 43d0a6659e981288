#include "app/base_router.h"

#include <iostream>
#include <memory>

#include "app/build_label.h"
#include "app/data_handlers.h"
#include "app/server_config.h"
#include "service/access_policy.h"
#include "web/basic_auth.h"
#include "web/compression.h"
#include "web/octet_stream.h"

namespace tandemize::app {

namespace {

// Written before serving, read by every request afterwards.
std::shared_ptr<const web::TBasicCredentials>& Credentials() {
  static auto* credentials = new std::shared_ptr<const web::TBasicCredentials>(
      std::make_shared<web::TBasicCredentials>("tulip", "tulip"));
  return *credentials;
}

}  // namespace

bool CheckCredentials(const std::string& aUsername, const std::string& aPassword) {
  return Credentials()->Check(aUsername, aPassword);
}

void SetCredentials(const web::TBasicCredentials& aCredentials) {
  Credentials() = std::make_shared<web::TBasicCredentials>(aCredentials);
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

int RunServer(const TServerConfig& aConfig, web::TAccessLogCallback aAccessLog) {
  web::SetConsoleProgram(true);
  SetCredentials(web::TBasicCredentials(aConfig.User, aConfig.Password, aConfig.PasswordHash));
  web::TRelay::Limits(aConfig.Limits);
  web::TRelay::AccessLog(std::move(aAccessLog));
  service::SetAccessPolicy(aConfig.Policy);
  service::SetPgUpsertMode(aConfig.PgUpsert);
  RegisterMiddlewaresAndRoutes();
  web::TRelay::Listen(aConfig.Port, aConfig.Bind, ListenCallback);
  return 0;
}

}  // namespace tandemize::app
