#include "dbaccess/db_definition.h"

#include <algorithm>
#include <cctype>

namespace tandemize::dbaccess {
namespace {

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

const std::string kEmpty;

}  // namespace

const std::string& TDbDefinition::Value(std::string_view name) const {
  for (const auto& [key, value] : FItems) {
    if (SameName(key, name)) return value;
  }
  return kEmpty;
}

void TDbDefinition::SetValue(std::string_view name, std::string_view value) {
  const auto it = std::find_if(FItems.begin(), FItems.end(),
                               [&](const auto& item) { return SameName(item.first, name); });
  if (value.empty()) {
    if (it != FItems.end()) FItems.erase(it);
  } else if (it != FItems.end()) {
    it->second = value;
  } else {
    FItems.emplace_back(std::string(name), std::string(value));
  }
}

}  // namespace tandemize::dbaccess
