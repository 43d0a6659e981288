#pragma once
// HTTP Basic authentication middleware.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "web/relay_types.h"

namespace tandemize::web {

// (user name, password) -> accepted; may raise.
using TRelayBasicAuthenticationCallback =
    std::function<bool(const std::string& aUsername, const std::string& aPassword)>;

class IRelayBasicAuthenticationConfig {
 public:
  virtual ~IRelayBasicAuthenticationConfig() = default;
  // The request header (and query parameter) that carries the credentials.
  virtual IRelayBasicAuthenticationConfig& Header(const std::string& aValue) = 0;
  virtual std::string Header() const = 0;
  // The realm announced when the credentials are missing.
  virtual IRelayBasicAuthenticationConfig& RealmMessage(const std::string& aValue) = 0;
  virtual std::string RealmMessage() const = 0;
  // Paths that need no credentials; "/" is put in front of entries lacking it.
  virtual IRelayBasicAuthenticationConfig& SkipRoutes(const std::vector<std::string>& aValue) = 0;
  virtual std::vector<std::string> SkipRoutes() const = 0;
};

class TRelayBasicAuthenticationConfig : public IRelayBasicAuthenticationConfig {
 public:
  static std::shared_ptr<IRelayBasicAuthenticationConfig> New();

  IRelayBasicAuthenticationConfig& Header(const std::string& aValue) override;
  std::string Header() const override { return FHeader; }
  IRelayBasicAuthenticationConfig& RealmMessage(const std::string& aValue) override;
  std::string RealmMessage() const override { return FRealmMessage; }
  IRelayBasicAuthenticationConfig& SkipRoutes(const std::vector<std::string>& aValue) override;
  std::vector<std::string> SkipRoutes() const override { return FSkipRoutes; }

 private:
  std::string FHeader = "Authorization";
  std::string FRealmMessage = "Enter credentials";
  std::vector<std::string> FSkipRoutes;
};

// Splits decoded credentials at ":"; an item that begins with a double quote
// runs to its closing quote (quotes removed) and a trailing ":" adds an empty item.
std::vector<std::string> SplitCredentials(const std::string& aText);

// The middleware: lets a request through only with accepted Basic credentials
// (or on a skip route); otherwise answers 401 (500 when the credentials cannot
// be taken apart) and raises ERelayCallbackInterrupted.
TRelayCallback RelayBasicAuthentication(TRelayBasicAuthenticationCallback aAuthenticate,
                                        std::shared_ptr<IRelayBasicAuthenticationConfig> aConfig =
                                            TRelayBasicAuthenticationConfig::New());

}  // namespace tandemize::web
