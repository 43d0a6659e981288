#pragma once
// HTTP Basic authentication middleware.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
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

// The one user name and password the service accepts. The password is kept
// as given, or only as a crypt(3) hash of it (for example SHA-512, "$6$..."),
// so that a configuration file need not hold it. Every check takes the same
// time whatever part of the credentials matched: both the user name and the
// password are always compared, in constant time.
class TBasicCredentials {
 public:
  // With a non-empty aPasswordHash the password is checked against the hash
  // and aPassword is not kept.
  TBasicCredentials(std::string aUser, std::string aPassword, std::string aPasswordHash = {});
  // Safe to call from many threads at once.
  bool Check(const std::string& aUsername, const std::string& aPassword) const;
  // Whether crypt(3) can check passwords against aHash (a "$id$..." hash of a
  // method this system's libcrypt knows).
  static bool IsUsableHash(const std::string& aHash);

 private:
  std::string FUser;
  std::string FPassword;
  std::string FPasswordHash;
};

// aGiven equals aExpected; the time taken depends only on aGiven's length.
bool ConstantTimeEquals(std::string_view aGiven, std::string_view aExpected);

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
