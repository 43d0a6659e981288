// Loading client libraries and their entry points (messages 314 and 315).

#include "dbaccess/internal/client_library.h"

#include <dlfcn.h>

#include "memtable/errors.h"
#include "text/case_fold.h"

namespace tandemize::dbaccess::phys {
namespace {

constexpr int kCannotLoadVendorLibrary = 314;
constexpr int kCannotGetEntryPoints = 315;
constexpr std::string_view kLoadHint =
    "Hint: check that the client library is installed and is a 64-bit build, or set VendorLib "
    "to its file";

// "a", "a or b", "a, b or c".
std::string JoinNames(const std::vector<std::string>& names) {
  std::string joined;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) joined += (i + 1 == names.size()) ? " or " : ", ";
    joined += names[i];
  }
  return joined;
}

}  // namespace

bool IsWindowsLibraryName(std::string_view name) {
  return name.size() >= 4 && text::EqualsIgnoringAsciiCase(name.substr(name.size() - 4), ".dll");
}

void* TVendorLibrary::Symbol(const char* name) const {
  return ::dlsym(FHandle, name);
}

std::vector<std::string> VendorLibNames(std::string_view vendorLib,
                                        std::initializer_list<std::string_view> defaults) {
  if (!vendorLib.empty() && !IsWindowsLibraryName(vendorLib)) return {std::string(vendorLib)};
  return {defaults.begin(), defaults.end()};
}

std::shared_ptr<TVendorLibrary> LoadVendorLibrary(std::string_view driverId,
                                                  const std::vector<std::string>& names) {
  std::string reasons;
  for (const std::string& name : names) {
    // A name with a folder part is opened from that folder; a bare name goes
    // through the system's library search.
    void* handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle != nullptr) {
      return std::make_shared<TVendorLibrary>(handle, name, std::string(driverId));
    }
    const char* reason = ::dlerror();
    if (reason != nullptr && reasons.find(reason) == std::string::npos) {
      reasons += reason;
      reasons += ". ";
    }
  }
  throw memtable::EDALException(
      {"Phys", driverId}, kCannotLoadVendorLibrary,
      "Cannot load vendor library [" + JoinNames(names) + "]. " + reasons + std::string(kLoadHint));
}

void* TEntryPoints::Lookup(const char* name) {
  void* address = FLibrary.Symbol(name);
  if (address == nullptr) FMissing.emplace_back(name);
  return address;
}

void TEntryPoints::Check() const {
  if (FMissing.empty()) return;
  std::string names;
  for (const std::string& name : FMissing) {
    if (!names.empty()) names += ", ";
    names += name;
  }
  throw memtable::EDALException({"Phys", FLibrary.DriverID()}, kCannotGetEntryPoints,
                                "Cannot get vendor library entry point[s]. [" + names + "]");
}

}  // namespace tandemize::dbaccess::phys
