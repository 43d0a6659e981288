#pragma once
// HTTP calls to the service through libcurl, every wait bounded: the
// connection by its own timeout, the whole call by an overall timeout, and a
// transfer that stalls (fewer than LowSpeedLimit bytes a second for
// LowSpeedTime seconds) is given up.

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

namespace tandemize::cli {

// The call did not complete (no connection, timeout, TLS failure, ...).
class ETransportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct THttpOptions {
  std::string BaseUrl;  // "http://host:9095", with or without a trailing "/"
  std::string User, Password;
  long ConnectTimeoutSeconds = 10;
  long TimeoutSeconds = 3600;  // whole call; 0: none
  long LowSpeedLimit = 1;      // bytes per second
  long LowSpeedTimeSeconds = 600;
};

struct THttpAnswer {
  long Status = 0;
  std::string ContentType;
  std::string Body;
};

class THttpClient {
 public:
  explicit THttpClient(THttpOptions aOptions);
  ~THttpClient();
  THttpClient(const THttpClient&) = delete;
  THttpClient& operator=(const THttpClient&) = delete;

  // Called while a body goes out, with the bytes sent and the body's size.
  using TProgress = std::function<void(std::uint64_t aSent, std::uint64_t aTotal)>;

  // Credentials go with every call when `aAuthenticate`.
  THttpAnswer Get(const std::string& aPath, bool aAuthenticate,
                  const std::optional<std::string>& aRequestHeader = std::nullopt);
  THttpAnswer Post(const std::string& aPath, const std::string& aBody,
                   const std::string& aContentType,
                   const std::optional<std::string>& aRequestHeader = std::nullopt,
                   const TProgress& aProgress = {});

 private:
  THttpAnswer Perform(const std::string& aPath, bool aAuthenticate, const std::string* aBody,
                      const std::string& aContentType,
                      const std::optional<std::string>& aRequestHeader, const TProgress& aProgress);

  THttpOptions FOptions;
  void* FCurl = nullptr;
};

}  // namespace tandemize::cli
