// Finding drivers and loading client libraries: 340, 314, 315, and a kind's
// client loaded once per process.

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "dbaccess/db_connection.h"
#include "dbaccess/internal/client_library.h"
#include "dbaccess/internal/phys_driver.h"
#include "dbaccess/test_kinds.h"

namespace tandemize::dbaccess {
namespace {

using test::FailureOf;

TEST(DriverRegistryTest, AnEmptyDriverIdFailsWith340AndOpensNothing) {
  TDbConnection connection;
  int notified = 0;
  connection.BeforeConnect = [&](TDbConnection& c) {
    ++notified;
    c.Params().SetValue("Database", "/tmp/never-created.db");
  };
  EXPECT_EQ(FailureOf([&] { connection.SetConnected(true); }),
            "[DAL][Phys]-340. Driver ID is not defined. Set TDbConnection.DriverName or add "
            "DriverID to your connection definition");
  EXPECT_EQ(notified, 1) << "the notification runs before the driver is looked up";
  EXPECT_FALSE(connection.Connected());

  connection.Params().SetValue("DriverID", "Oracle");
  EXPECT_EQ(FailureOf([&] { connection.SetConnected(true); }),
            "[DAL][Phys]-300. Driver [Oracle] is not registered");
}

TEST(DriverRegistryTest, AMissingClientLibraryFailsWith314NamingIt) {
  struct Case {
    const char* Label;
    std::vector<std::string> Names;
    std::string Listed;
  };
  const Case cases[] = {
      {"one path", {"/nonexistent/libpq_missing.so.5"}, "[/nonexistent/libpq_missing.so.5]"},
      {"two names", {"libnone_a.so", "libnone_b.so"}, "[libnone_a.so or libnone_b.so]"},
      {"three names", {"a1.so", "b2.so", "c3.so"}, "[a1.so, b2.so or c3.so]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    const std::string message = FailureOf([&] { phys::LoadVendorLibrary("PG", c.Names); });
    EXPECT_EQ(
        message.rfind("[DAL][Phys][PG]-314. Cannot load vendor library " + c.Listed + ". ", 0), 0u)
        << message;
    EXPECT_NE(message.find("cannot open shared object file"), std::string::npos)
        << "the system's reason: " << message;
    EXPECT_NE(message.find("Hint: "), std::string::npos) << message;
  }
}

TEST(DriverRegistryTest, TheFirstConnectionOfAKindLoadsTheLinkedLibraryAndKeepsIt) {
  TDbDriverRegistry registry;  // a fresh process-wide state of its own
  TDbDriverLink link("PG", &registry);
  TDbConnection connection(registry);
  connection.Params().SetValue("DriverID", "PG");

  link.SetVendorLib("/nonexistent/libpq_missing.so.5");
  std::string message = FailureOf([&] { connection.SetConnected(true); });
  EXPECT_EQ(message.rfind("[DAL][Phys][PG]-314. Cannot load vendor library "
                          "[/nonexistent/libpq_missing.so.5]. ",
                          0),
            0u)
      << message;
  EXPECT_FALSE(registry.IsLoaded("PG")) << "a failed load is tried again next time";

  link.SetVendorLib("libz.so.1");  // loads, but is not a PostgreSQL client
  message = FailureOf([&] { registry.Driver("PG"); });
  EXPECT_EQ(message.rfind("[DAL][Phys][PG]-315. Cannot get vendor library entry point[s]. "
                          "[PQconnectdb, PQstatus, ",
                          0),
            0u)
      << message;

  link.SetVendorLib("libpq.dll");  // cannot load here: the default names are used
  phys::TPhysDriver& driver = registry.Driver("PG");
  EXPECT_TRUE(registry.IsLoaded("PG"));
  link.SetVendorLib("/nonexistent/libpq_missing.so.5");
  EXPECT_EQ(&registry.Driver("PG"), &driver) << "a loaded kind stays, whatever VendorLib says";
  EXPECT_FALSE(registry.IsLoaded("SQLite"));
}

TEST(DriverRegistryTest, TheLinkAssignedLastCounts) {
  TDbDriverRegistry registry;
  TDbDriverLink first("PG", &registry), second("PG", &registry);
  second.SetVendorLib("/nonexistent/second.so");
  first.SetVendorLib("/nonexistent/first.so");
  EXPECT_NE(FailureOf([&] { registry.Driver("PG"); }).find("[/nonexistent/first.so]"),
            std::string::npos);
  {
    TDbDriverLink third("PG", &registry);
    third.SetVendorLib("/nonexistent/third.so");
    EXPECT_NE(FailureOf([&] { registry.Driver("pg"); }).find("[/nonexistent/third.so]"),
              std::string::npos)
        << "driver ids compare without regard to case";
  }
  EXPECT_NE(FailureOf([&] { registry.Driver("PG"); }).find("[/nonexistent/first.so]"),
            std::string::npos)
      << "a freed link no longer counts";
}

TEST(DriverRegistryTest, VendorLibNamesReplaceTheDefaultsUnlessTheyNameADll) {
  EXPECT_EQ(phys::VendorLibNames("", {"a.so", "b.so"}), (std::vector<std::string>{"a.so", "b.so"}));
  EXPECT_EQ(phys::VendorLibNames("C:\\x\\LIBPQ.DLL", {"a.so"}), (std::vector<std::string>{"a.so"}));
  EXPECT_EQ(phys::VendorLibNames("/opt/pg/libpq.so.5", {"a.so"}),
            (std::vector<std::string>{"/opt/pg/libpq.so.5"}));
}

TEST(DriverRegistryTest, ConcurrentFirstUseLoadsOneDriver) {
  TDbDriverRegistry registry;
  std::vector<phys::TPhysDriver*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] { seen[i] = &registry.Driver(i % 2 ? "SQLite" : "PG"); });
  }
  for (auto& thread : threads) thread.join();
  for (std::size_t i = 2; i < seen.size(); ++i) EXPECT_EQ(seen[i], seen[i % 2]);
  EXPECT_NE(seen[0], seen[1]);
}

}  // namespace
}  // namespace tandemize::dbaccess
