// The process-wide driver registry and the driver links that feed it.

#include "dbaccess/driver_registry.h"

#include <algorithm>
#include <mutex>
#include <string_view>
#include <vector>

#include "dbaccess/internal/driver_firebird.h"
#include "dbaccess/internal/driver_mysql.h"
#include "dbaccess/internal/driver_odbc.h"
#include "dbaccess/internal/driver_pg.h"
#include "dbaccess/internal/driver_sqlite.h"
#include "memtable/errors.h"
#include "text/case_fold.h"

namespace tandemize::dbaccess {
namespace {

constexpr int kDriverIdNotDefined = 340;
constexpr int kDriverNotRegistered = 300;

using TFactory = std::unique_ptr<phys::TPhysDriver> (*)(const std::string&);

struct TKind {
  std::string_view DriverID;
  TFactory Factory;
};

const TKind kKinds[] = {
    {"FB", &phys::CreateDriverFB},       {"IB", &phys::CreateDriverIB},
    {"PG", &phys::CreateDriverPG},       {"MySQL", &phys::CreateDriverMySQL},
    {"MSSQL", &phys::CreateDriverMSSQL}, {"SQLite", &phys::CreateDriverSQLite},
};

const TKind* FindKind(std::string_view driverId) {
  for (const TKind& kind : kKinds) {
    if (text::EqualsIgnoringAsciiCase(kind.DriverID, driverId)) return &kind;
  }
  return nullptr;
}

}  // namespace

struct TDbDriverRegistry::TState {
  struct TLinkState {
    const TDbDriverLink* Link;
    std::string VendorLib;
    std::uint64_t Stamp;
  };
  mutable std::mutex Lock;
  std::vector<std::pair<std::string_view, std::unique_ptr<phys::TPhysDriver>>> Drivers;
  std::vector<TLinkState> Links;
  std::uint64_t NextStamp = 1;

  // The VendorLib of the live link of `driverId` assigned last.
  std::string VendorLibOf(std::string_view driverId) const {
    const TLinkState* best = nullptr;
    for (const TLinkState& link : Links) {
      if (text::EqualsIgnoringAsciiCase(link.Link->DriverID(), driverId) &&
          (best == nullptr || link.Stamp > best->Stamp)) {
        best = &link;
      }
    }
    return best != nullptr ? best->VendorLib : std::string();
  }
};

TDbDriverRegistry::TDbDriverRegistry() : FState(std::make_unique<TState>()) {}
TDbDriverRegistry::~TDbDriverRegistry() = default;

TDbDriverRegistry& TDbDriverRegistry::Instance() {
  // Never destroyed: loaded clients stay until the process ends.
  static TDbDriverRegistry* instance = new TDbDriverRegistry();
  return *instance;
}

phys::TPhysDriver& TDbDriverRegistry::Driver(const std::string& driverId) {
  if (driverId.empty()) {
    throw memtable::EDALException(
        {"Phys"}, kDriverIdNotDefined,
        "Driver ID is not defined. Set TDbConnection.DriverName or add DriverID to your "
        "connection definition");
  }
  const TKind* kind = FindKind(driverId);
  if (kind == nullptr) {
    throw memtable::EDALException({"Phys"}, kDriverNotRegistered,
                                  "Driver [" + driverId + "] is not registered");
  }
  std::lock_guard lock(FState->Lock);
  for (auto& [id, driver] : FState->Drivers) {
    if (id == kind->DriverID) return *driver;
  }
  const std::string vendorLib = FState->VendorLibOf(kind->DriverID);
  std::unique_ptr<phys::TPhysDriver> driver = kind->Factory(vendorLib);
  FState->Drivers.emplace_back(kind->DriverID, std::move(driver));
  return *FState->Drivers.back().second;
}

bool TDbDriverRegistry::IsLoaded(const std::string& driverId) const {
  std::lock_guard lock(FState->Lock);
  return std::any_of(FState->Drivers.begin(), FState->Drivers.end(), [&](const auto& item) {
    return text::EqualsIgnoringAsciiCase(item.first, driverId);
  });
}

TDbDriverLink::TDbDriverLink(std::string driverId, TDbDriverRegistry* registry)
    : FRegistry(registry != nullptr ? *registry : TDbDriverRegistry::Instance()),
      FDriverID(std::move(driverId)) {
  std::lock_guard lock(FRegistry.FState->Lock);
  FRegistry.FState->Links.push_back({this, std::string(), 0});
}

TDbDriverLink::~TDbDriverLink() {
  std::lock_guard lock(FRegistry.FState->Lock);
  auto& links = FRegistry.FState->Links;
  links.erase(std::remove_if(links.begin(), links.end(),
                             [&](const auto& link) { return link.Link == this; }),
              links.end());
}

std::string TDbDriverLink::VendorLib() const {
  std::lock_guard lock(FRegistry.FState->Lock);
  for (const auto& link : FRegistry.FState->Links) {
    if (link.Link == this) return link.VendorLib;
  }
  return {};
}

void TDbDriverLink::SetVendorLib(std::string value) {
  std::lock_guard lock(FRegistry.FState->Lock);
  for (auto& link : FRegistry.FState->Links) {
    if (link.Link == this) {
      link.VendorLib = std::move(value);
      link.Stamp = FRegistry.FState->NextStamp++;
    }
  }
}

}  // namespace tandemize::dbaccess
