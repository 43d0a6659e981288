#include "dbaccess/db_definition.h"

#include <algorithm>

#include "text/case_fold.h"

namespace tandemize::dbaccess {
namespace {

const std::string kEmpty;

}  // namespace

const std::string& TDbDefinition::Value(std::string_view name) const {
  for (const auto& [key, value] : FItems) {
    if (text::EqualsIgnoringAsciiCase(key, name)) return value;
  }
  return kEmpty;
}

void TDbDefinition::SetValue(std::string_view name, std::string_view value) {
  const auto it = std::find_if(FItems.begin(), FItems.end(), [&](const auto& item) {
    return text::EqualsIgnoringAsciiCase(item.first, name);
  });
  if (value.empty()) {
    if (it != FItems.end()) FItems.erase(it);
  } else if (it != FItems.end()) {
    it->second = value;
  } else {
    FItems.emplace_back(std::string(name), std::string(value));
  }
}

}  // namespace tandemize::dbaccess
