#pragma once
// Route registration of the server program, the status page, the credential
// check and the banner.

#include <ctime>
#include <string>

#include "web/basic_auth.h"
#include "web/relay.h"

namespace tandemize::app {

inline constexpr int kServicePort = 9095;
inline constexpr std::size_t kCompressionThreshold = 1024;

class TBase {
 public:
  // Registers GET "/", GET "/checkrequest", POST "/testedb", POST "/tandemize".
  static void Router();
};

struct TServerConfig;

// True exactly for the configured user and password (case-sensitive; by
// default "tulip" and "tulip").
bool CheckCredentials(const std::string& aUsername, const std::string& aPassword);
// Replaces the credentials CheckCredentials accepts; only before serving.
void SetCredentials(const web::TBasicCredentials& aCredentials);

// "<h2>Servidor Tandemize Ativo! - <label> - dd-mm-yyyy hh:nn:ss</h2>" at aNow (local time).
std::string StatusPageText(std::time_t aNow);
void StatusPage(web::TRelayResponse& aResponse);

// "Servidor ativo <host>:<port> - <label>".
std::string BannerText(const std::string& aHost, int aPort);
// Prints the banner with the listener's host and port.
void ListenCallback(web::TRelayCore& aRelay);

// Registers the three middlewares (authentication, compression, octet-stream)
// on the root and then the routes.
void RegisterMiddlewaresAndRoutes();

// Start-up: middlewares, routes, then listening on the configured port
// (kServicePort by default) until the process ends (or a start failure has
// been shown).
int RunServer(const TServerConfig& aConfig, web::TAccessLogCallback aAccessLog = {});

}  // namespace tandemize::app
