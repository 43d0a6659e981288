#pragma once
// Which database kinds exist and their drivers, loaded once per process: the
// registry, and the links that say which client library a kind loads.

#include <memory>
#include <string>

namespace tandemize::dbaccess {

namespace phys {
class TPhysDriver;
}  // namespace phys

class TDbDriverRegistry;

// The client library setting of one kind ("FB", "IB", "PG", "MySQL",
// "MSSQL", "SQLite"). While a link lives, the first connection of its kind
// in the process loads the library its VendorLib names (a bare file name or a
// path; empty: the kind's default names). When several links of a kind live,
// the one assigned last counts. Once a kind is loaded, VendorLib no longer
// matters for it.
class TDbDriverLink {
 public:
  explicit TDbDriverLink(std::string driverId, TDbDriverRegistry* registry = nullptr);
  ~TDbDriverLink();
  TDbDriverLink(const TDbDriverLink&) = delete;
  TDbDriverLink& operator=(const TDbDriverLink&) = delete;

  const std::string& DriverID() const { return FDriverID; }
  std::string VendorLib() const;
  void SetVendorLib(std::string value);

 private:
  TDbDriverRegistry& FRegistry;
  std::string FDriverID;
};

// The process-wide, thread-safe set of loaded drivers. Instance() is the one
// connections use unless given another (tests make their own to load a kind
// afresh).
class TDbDriverRegistry {
 public:
  TDbDriverRegistry();
  ~TDbDriverRegistry();
  static TDbDriverRegistry& Instance();

  // The driver of `driverId`, created and its client loaded on first use.
  // Fails with 340 for an empty id, with 314/315 when the client cannot be
  // loaded, and with an error naming the id when no such kind exists.
  phys::TPhysDriver& Driver(const std::string& driverId);
  // True once the kind's driver is loaded.
  bool IsLoaded(const std::string& driverId) const;

 private:
  friend class TDbDriverLink;
  struct TState;
  std::unique_ptr<TState> FState;
};

}  // namespace tandemize::dbaccess
