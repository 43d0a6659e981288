#include "web/basic_auth.h"

#include <crypt.h>

#include <memory>
#include <stdexcept>

#include "text/base64.h"
#include "text/case_fold.h"
#include "web/relay_request.h"
#include "web/web_layer.h"

namespace tandemize::web {

namespace {

// Characters outside the alphabet ("=" padding included) are skipped.
std::string DecodeBase64(std::string_view aText) {
  std::string clean;
  for (char c : aText) {
    if (text::IsBase64Digit(c)) clean.push_back(c);
  }
  std::string out(text::Base64DecodedSize(clean.size()), '\0');
  text::DecodeBase64(clean, reinterpret_cast<std::uint8_t*>(out.data()));
  return out;
}

[[noreturn]] void Answer(TRelayResponse& aResponse, int aStatus, std::string aText) {
  aResponse.Send(std::move(aText)).Status(aStatus);
  throw ERelayCallbackInterrupted();
}

// crypt(3) of aPassword with the method and salt of aHash; empty when the
// hash cannot be used (libcrypt answers such a hash with a text beginning
// with "*").
std::string CryptText(const std::string& aPassword, const std::string& aHash) {
  // Too large for a connection thread's stack.
  auto data = std::make_unique<crypt_data>();
  const char* result = ::crypt_r(aPassword.c_str(), aHash.c_str(), data.get());
  if (result == nullptr || result[0] == '*') return {};
  return result;
}

}  // namespace

bool ConstantTimeEquals(std::string_view aGiven, std::string_view aExpected) {
  // Every byte of aGiven is looked at, against the expected byte at the same
  // place (repeated when aGiven is longer), without stopping at a mismatch.
  unsigned difference = aGiven.size() == aExpected.size() ? 0u : 1u;
  if (aExpected.empty()) return aGiven.empty();
  for (std::size_t i = 0; i < aGiven.size(); ++i) {
    difference |= static_cast<unsigned char>(aGiven[i]) ^
                  static_cast<unsigned char>(aExpected[i % aExpected.size()]);
  }
  return difference == 0;
}

TBasicCredentials::TBasicCredentials(std::string aUser, std::string aPassword,
                                     std::string aPasswordHash)
    : FUser(std::move(aUser)),
      FPassword(aPasswordHash.empty() ? std::move(aPassword) : std::string()),
      FPasswordHash(std::move(aPasswordHash)) {}

bool TBasicCredentials::Check(const std::string& aUsername, const std::string& aPassword) const {
  const bool userMatches = ConstantTimeEquals(aUsername, FUser);
  bool passwordMatches;
  if (FPasswordHash.empty()) {
    passwordMatches = ConstantTimeEquals(aPassword, FPassword);
  } else {
    // Hashed even for a wrong user name, so the time does not tell which part failed.
    const std::string hashed = CryptText(aPassword, FPasswordHash);
    passwordMatches = !hashed.empty() && ConstantTimeEquals(hashed, FPasswordHash);
  }
  return userMatches && passwordMatches;
}

bool TBasicCredentials::IsUsableHash(const std::string& aHash) {
  if (!aHash.starts_with('$')) return false;
  // A whole hash: hashing with it as the setting keeps its method, options
  // and salt and gives a result of its length (a bare "$6$" would only be a
  // setting, which no password matches).
  const std::string probe = CryptText("", aHash);
  const std::size_t settingEnd = aHash.rfind('$');
  return !probe.empty() && probe.size() == aHash.size() &&
         probe.compare(0, settingEnd, aHash, 0, settingEnd) == 0;
}

std::shared_ptr<IRelayBasicAuthenticationConfig> TRelayBasicAuthenticationConfig::New() {
  return std::make_shared<TRelayBasicAuthenticationConfig>();
}

IRelayBasicAuthenticationConfig& TRelayBasicAuthenticationConfig::Header(
    const std::string& aValue) {
  FHeader = aValue;
  return *this;
}

IRelayBasicAuthenticationConfig& TRelayBasicAuthenticationConfig::RealmMessage(
    const std::string& aValue) {
  FRealmMessage = aValue;
  return *this;
}

IRelayBasicAuthenticationConfig& TRelayBasicAuthenticationConfig::SkipRoutes(
    const std::vector<std::string>& aValue) {
  FSkipRoutes = aValue;
  for (std::string& route : FSkipRoutes) {
    if (!Trim(route).starts_with('/')) route = "/" + route;
  }
  return *this;
}

std::vector<std::string> SplitCredentials(const std::string& aText) {
  std::vector<std::string> items;
  if (aText.empty()) return items;
  std::size_t pos = 0;
  while (true) {
    std::string item;
    if (pos < aText.size() && aText[pos] == '"') {
      const std::size_t close = aText.find('"', pos + 1);
      item =
          aText.substr(pos + 1, close == std::string::npos ? std::string::npos : close - pos - 1);
      pos = close == std::string::npos ? aText.size() : close + 1;
      // Whatever follows the closing quote up to the next ":" still belongs to the item.
      const std::size_t colon = aText.find(':', pos);
      item += aText.substr(pos, colon == std::string::npos ? std::string::npos : colon - pos);
      pos = colon == std::string::npos ? aText.size() : colon;
    } else {
      const std::size_t colon = aText.find(':', pos);
      item = aText.substr(pos, colon == std::string::npos ? std::string::npos : colon - pos);
      pos = colon == std::string::npos ? aText.size() : colon;
    }
    items.push_back(std::move(item));
    if (pos >= aText.size()) break;
    ++pos;  // past ":"; a ":" at the very end yields a final empty item
  }
  return items;
}

TRelayCallback RelayBasicAuthentication(TRelayBasicAuthenticationCallback aAuthenticate,
                                        std::shared_ptr<IRelayBasicAuthenticationConfig> aConfig) {
  return [authenticate = std::move(aAuthenticate), config = std::move(aConfig)](
             TRelayRequest& req, TRelayResponse& res, const TNextProc& next) {
    std::string path = req.RawWebRequest().PathInfo;
    if (path.empty()) path = "/";
    for (const std::string& route : config->SkipRoutes()) {
      if (text::EqualsIgnoringAsciiCase(route, path)) {
        next();
        return;
      }
    }
    const std::string headerName = config->Header();
    std::string credentials = Trim(req.Headers().Field(headerName).AsString());
    if (credentials.empty()) {
      std::string fromQuery;
      if (req.Query().TryGetValue(headerName, fromQuery)) {
        credentials = Trim(fromQuery);
      } else {
        res.RawWebResponse().Data.Realm = config->RealmMessage();
        Answer(res, 401, "Authorization not found");
      }
    }
    if (!text::StartsWithIgnoringAsciiCase(credentials, "basic ")) {
      Answer(res, 401, "Invalid authorization type");
    }
    const std::string encoded = credentials.substr(6);
    bool accepted = false;
    try {
      const std::vector<std::string> items = SplitCredentials(DecodeBase64(encoded));
      for (std::size_t index : {std::size_t{0}, std::size_t{1}}) {
        if (index >= items.size()) {
          throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
        }
      }
      accepted = authenticate(items[0], items[1]);
    } catch (const std::exception& e) {
      Answer(res, 500, e.what());
    }
    if (!accepted) Answer(res, 401, "Unauthorized");
    next();
  };
}

}  // namespace tandemize::web
