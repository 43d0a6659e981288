#pragma once
// EDataService, the failure of the data service's own checks, and the text a
// client receives for any failure.

#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

namespace tandemize::service {

// A failure of the data service's own checks; Message() is the client's
// text, whole: what() ends at the first NUL character, which a refused name
// may hold.
class EDataService : public std::runtime_error {
 public:
  explicit EDataService(const std::string& aMessage)
      : std::runtime_error(aMessage), FMessage(std::make_shared<const std::string>(aMessage)) {}
  explicit EDataService(const char* aMessage) : EDataService(std::string(aMessage)) {}
  const std::string& Message() const { return *FMessage; }

 private:
  std::shared_ptr<const std::string> FMessage;  // shared: copying the exception cannot fail
};

// The text a client receives for aError: an EDataService's whole Message(),
// otherwise what().
inline std::string MessageOf(const std::exception& aError) {
  const auto* own = dynamic_cast<const EDataService*>(&aError);
  return own != nullptr ? own->Message() : std::string(aError.what());
}

}  // namespace tandemize::service
