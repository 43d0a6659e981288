#pragma once
// Loading a database kind's client library and its entry points, with the
// layer's messages 314 and 315 when that fails.

#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tandemize::dbaccess::phys {

// A client library loaded with dlopen(RTLD_NOW | RTLD_LOCAL); never unloaded.
class TVendorLibrary {
 public:
  TVendorLibrary(void* handle, std::string fileName, std::string driverId)
      : FHandle(handle), FFileName(std::move(fileName)), FDriverID(std::move(driverId)) {}
  void* Handle() const { return FHandle; }
  const std::string& FileName() const { return FFileName; }
  const std::string& DriverID() const { return FDriverID; }
  // The address of `name`, or null when the library lacks it.
  void* Symbol(const char* name) const;

 private:
  void* FHandle;
  std::string FFileName;
  std::string FDriverID;
};

// Whether `name` ends in ".dll" (in any letter case): such a library cannot
// load here, and a VendorLib naming one counts as unset.
bool IsWindowsLibraryName(std::string_view name);

// The names to try: `vendorLib` alone when it is set (a name ending in
// ".dll" counts as unset), else `defaults`.
std::vector<std::string> VendorLibNames(std::string_view vendorLib,
                                        std::initializer_list<std::string_view> defaults);

// Loads the first of `names` that loads (a name with a folder part is opened
// from that folder). Fails with 314 "[DAL][Phys][<driverId>]-314. Cannot load
// vendor library [a, b or c]. <dlerror reasons> Hint: ...".
std::shared_ptr<TVendorLibrary> LoadVendorLibrary(std::string_view driverId,
                                                  const std::vector<std::string>& names);

// Resolves entry points, collecting the missing ones; Check() fails with 315
// naming all of them. Usage:
//   TEntryPoints ep(*lib);
//   ep(FPQconnectdb, "PQconnectdb");
//   ep(FPQfinish, "PQfinish");
//   ep.Check();
class TEntryPoints {
 public:
  explicit TEntryPoints(const TVendorLibrary& library) : FLibrary(library) {}
  template <class Fn>
  void operator()(Fn*& slot, const char* name) {
    slot = reinterpret_cast<Fn*>(Lookup(name));
  }
  // Like operator() but a missing entry point is not an error (slot = null).
  template <class Fn>
  void Optional(Fn*& slot, const char* name) {
    slot = reinterpret_cast<Fn*>(FLibrary.Symbol(name));
  }
  void Check() const;

 private:
  void* Lookup(const char* name);
  const TVendorLibrary& FLibrary;
  std::vector<std::string> FMissing;
};

}  // namespace tandemize::dbaccess::phys
