#include "cli/http_client.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace tandemize::cli {

namespace {

std::size_t Collect(char* aData, std::size_t aSize, std::size_t aCount, void* aTarget) {
  static_cast<std::string*>(aTarget)->append(aData, aSize * aCount);
  return aSize * aCount;
}

int OnTransfer(void* aProgress, curl_off_t, curl_off_t, curl_off_t aTotal, curl_off_t aSent) {
  const auto* progress = static_cast<const THttpClient::TProgress*>(aProgress);
  try {
    if (*progress && aTotal > 0) {
      (*progress)(static_cast<std::uint64_t>(aSent), static_cast<std::uint64_t>(aTotal));
    }
  } catch (...) {
    // a display failure does not end the transfer
  }
  return 0;
}

struct TSlist {
  curl_slist* List = nullptr;
  ~TSlist() { curl_slist_free_all(List); }
  void Add(const std::string& aLine) {
    curl_slist* grown = curl_slist_append(List, aLine.c_str());
    if (grown == nullptr) throw std::bad_alloc();
    List = grown;
  }
};

}  // namespace

THttpClient::THttpClient(THttpOptions aOptions) : FOptions(std::move(aOptions)) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  while (!FOptions.BaseUrl.empty() && FOptions.BaseUrl.back() == '/') FOptions.BaseUrl.pop_back();
  FCurl = curl_easy_init();
  if (FCurl == nullptr) throw ETransportError("cannot start an HTTP session");
}

THttpClient::~THttpClient() {
  curl_easy_cleanup(static_cast<CURL*>(FCurl));
}

THttpAnswer THttpClient::Get(const std::string& aPath, bool aAuthenticate,
                             const std::optional<std::string>& aRequestHeader) {
  return Perform(aPath, aAuthenticate, nullptr, "", aRequestHeader, {});
}

THttpAnswer THttpClient::Post(const std::string& aPath, const std::string& aBody,
                              const std::string& aContentType,
                              const std::optional<std::string>& aRequestHeader,
                              const TProgress& aProgress) {
  return Perform(aPath, true, &aBody, aContentType, aRequestHeader, aProgress);
}

THttpAnswer THttpClient::Perform(const std::string& aPath, bool aAuthenticate,
                                 const std::string* aBody, const std::string& aContentType,
                                 const std::optional<std::string>& aRequestHeader,
                                 const TProgress& aProgress) {
  CURL* curl = static_cast<CURL*>(FCurl);
  curl_easy_reset(curl);
  THttpAnswer answer;
  char error[CURL_ERROR_SIZE] = {};
  const std::string url = FOptions.BaseUrl + aPath;
  TSlist headers;
  // No "Expect: 100-continue" round trip before a large body.
  headers.Add("Expect:");
  if (aRequestHeader) headers.Add("x-request: " + *aRequestHeader);
  if (aBody != nullptr) headers.Add("Content-Type: " + aContentType);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, FOptions.ConnectTimeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, FOptions.TimeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, FOptions.LowSpeedLimit);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, FOptions.LowSpeedTimeSeconds);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.List);
  curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");  // whatever libcurl can decode
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.Body);
  if (aAuthenticate) {
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
    curl_easy_setopt(curl, CURLOPT_USERNAME, FOptions.User.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, FOptions.Password.c_str());
  }
  if (aBody != nullptr) {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, aBody->data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(aBody->size()));
  }
  if (aProgress) {
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnTransfer);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &aProgress);
  }
  const CURLcode code = curl_easy_perform(curl);
  if (code != CURLE_OK) {
    const std::string reason = error[0] != '\0' ? error : curl_easy_strerror(code);
    throw ETransportError(url + ": " + reason);
  }
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.Status);
  char* contentType = nullptr;
  curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &contentType);
  if (contentType != nullptr) answer.ContentType = contentType;
  return answer;
}

}  // namespace tandemize::cli
