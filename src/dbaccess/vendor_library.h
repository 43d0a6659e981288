#pragma once
// Which client library files a driver link may name. A client names the
// library of its database kind with each request, so the name decides what
// code the process loads: only a library of the system's (or folders the
// operator adds) may be named.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tandemize::dbaccess {

// The system's library folders: /usr/lib, /usr/local/lib, /lib.
const std::vector<std::string>& SystemLibraryFolders();

// Why aVendorLib may not be loaded, or nullopt when it may: it is empty or
// names a ".dll" (both mean the kind's default names), a bare file name
// (found by the system's library search), or an absolute path that, with
// ".." and symbolic links resolved, lies in a system library folder or in one
// of aExtraFolders. A relative path, or a name holding a NUL, is refused.
std::optional<std::string> VendorLibRefusal(std::string_view aVendorLib,
                                            const std::vector<std::string>& aExtraFolders);

// Whether aPath, with ".." and symbolic links resolved (as far as it exists),
// lies inside one of aFolders (resolved the same way). Relative paths are
// taken from the working folder.
bool LiesInFolders(const std::string& aPath, const std::vector<std::string>& aFolders);

}  // namespace tandemize::dbaccess
