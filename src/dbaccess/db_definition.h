#pragma once
// The settings a connection opens with.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tandemize::dbaccess {

// The connection definition: name=value settings; an empty value is absent.
// Names compare without regard to ASCII letter case.
class TDbDefinition {
 public:
  // The value of `name`, or the empty text when absent.
  const std::string& Value(std::string_view name) const;
  // Sets `name`; the empty text removes it.
  void SetValue(std::string_view name, std::string_view value);
  bool Has(std::string_view name) const { return !Value(name).empty(); }
  void Clear() { FItems.clear(); }

  const std::string& DriverID() const { return Value("DriverID"); }
  const std::string& Server() const { return Value("Server"); }
  const std::string& Port() const { return Value("Port"); }
  const std::string& Database() const { return Value("Database"); }
  const std::string& UserName() const { return Value("User_Name"); }
  const std::string& Password() const { return Value("Password"); }
  const std::string& CharacterSet() const { return Value("CharacterSet"); }

 private:
  std::vector<std::pair<std::string, std::string>> FItems;
};

}  // namespace tandemize::dbaccess
