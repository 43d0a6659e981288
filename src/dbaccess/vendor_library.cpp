// Loading client libraries and their entry points (messages 314 and 315).

#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "dbaccess/phys_driver.h"
#include "dbaccess/vendor_library.h"
#include "text/case_fold.h"

namespace tandemize::dbaccess::phys {
namespace {

constexpr int kCannotLoadVendorLibrary = 314;
constexpr int kCannotGetEntryPoints = 315;
constexpr std::string_view kLoadHint =
    "Hint: check that the client library is installed and is a 64-bit build, or set VendorLib "
    "to its file";

bool EndsWithDll(std::string_view name) {
  return name.size() >= 4 && text::EqualsIgnoringAsciiCase(name.substr(name.size() - 4), ".dll");
}

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

}  // namespace tandemize::dbaccess::phys

namespace tandemize::dbaccess {
namespace {

namespace fs = std::filesystem;

// aPath made absolute, with ".." and the symbolic links of the part that
// exists resolved; empty when it cannot be.
fs::path Resolved(const fs::path& aPath) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(aPath, ec);
  if (ec) return {};
  fs::path resolved = fs::weakly_canonical(absolute, ec);
  if (ec) return {};
  // "/srv/db/" is the folder "/srv/db".
  if (!resolved.has_filename() && resolved.has_parent_path()) resolved = resolved.parent_path();
  return resolved;
}

}  // namespace

const std::vector<std::string>& SystemLibraryFolders() {
  static const std::vector<std::string> folders{"/usr/lib", "/usr/local/lib", "/lib"};
  return folders;
}

bool LiesInFolders(const std::string& aPath, const std::vector<std::string>& aFolders) {
  if (aPath.empty() || aPath.find('\0') != std::string::npos) return false;
  const fs::path path = Resolved(aPath);
  if (path.empty()) return false;
  for (const std::string& folder : aFolders) {
    const fs::path base = Resolved(folder);
    if (base.empty()) continue;
    // Compared a whole path component at a time: /usr/lib2 is not in /usr/lib.
    auto [baseEnd, pathAt] = std::mismatch(base.begin(), base.end(), path.begin(), path.end());
    if (baseEnd == base.end() && pathAt != path.end()) return true;
  }
  return false;
}

std::optional<std::string> VendorLibRefusal(std::string_view aVendorLib,
                                            const std::vector<std::string>& aExtraFolders) {
  const bool hasNul = aVendorLib.find('\0') != std::string_view::npos;
  if (!hasNul && (aVendorLib.empty() || phys::EndsWithDll(aVendorLib))) return std::nullopt;
  if (!hasNul && aVendorLib.find('/') == std::string_view::npos) return std::nullopt;
  std::vector<std::string> folders = SystemLibraryFolders();
  folders.insert(folders.end(), aExtraFolders.begin(), aExtraFolders.end());
  if (!hasNul && aVendorLib.front() == '/' && LiesInFolders(std::string(aVendorLib), folders)) {
    return std::nullopt;
  }
  std::string list;
  for (const std::string& folder : folders) list += (list.empty() ? "" : ", ") + folder;
  std::string shown(aVendorLib);
  std::replace(shown.begin(), shown.end(), '\0', '?');
  return "Client library \"" + shown +
         "\" refused: a client library is named by its bare file name, or by an absolute path "
         "in the library folders (" +
         list + ")";
}

}  // namespace tandemize::dbaccess

namespace tandemize::dbaccess::phys {

void* TVendorLibrary::Symbol(const char* name) const {
  return ::dlsym(FHandle, name);
}

std::vector<std::string> VendorLibNames(std::string_view vendorLib,
                                        std::initializer_list<std::string_view> defaults) {
  if (!vendorLib.empty() && !EndsWithDll(vendorLib)) return {std::string(vendorLib)};
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
