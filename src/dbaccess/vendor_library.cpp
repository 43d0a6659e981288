// Which client library files a driver link may name.

#include "dbaccess/vendor_library.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "dbaccess/internal/client_library.h"

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
  if (!hasNul && (aVendorLib.empty() || phys::IsWindowsLibraryName(aVendorLib)))
    return std::nullopt;
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
