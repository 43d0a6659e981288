// Connection attempts of the MSSQL kind leave nothing behind in the process:
// the driver manager's listing of installed drivers, whose every read leaves
// an entry in the driver manager's profile cache, is read once per process
// instead of once per attempt.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
// The address sanitizer's allocator keeps the heap itself (mallinfo does not
// see it).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

#include "dbaccess/db_connection.h"
#include "dbaccess/test_kinds.h"

namespace tandemize::dbaccess {
namespace {

// Bytes the program holds on the heap now.
std::size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__)
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

TEST(MSSQLMemory, RepeatedConnectionAttemptsKeepTheHeapFlat) {
  // A port that is bound and not listening: every attempt is refused at
  // once, after all that the driver manager does for a connection. The
  // driver of the test machine takes its port from PGPORT.
  const int closed = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(closed, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(getsockname(closed, reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::optional<std::string> oldPort;
  if (const char* old = std::getenv("PGPORT")) oldPort = old;
  setenv("PGPORT", std::to_string(ntohs(address.sin_port)).c_str(), 1);

  auto attempt = [] {
    TDbConnection connection;
    connection.Params().SetValue("DriverID", "MSSQL");
    test::FillFromEnv(connection.Params(), "MSSQL");
    try {
      connection.SetConnected(true);
      ADD_FAILURE() << "connected to a port that nobody listens on";
    } catch (const memtable::EDatabaseError& error) {
      EXPECT_EQ(std::string(error.what()).rfind("[DAL][Phys][ODBC]", 0), 0u) << error.what();
    }
  };
  // The driver manager and the driver keep some things for good once loaded.
  for (int i = 0; i < 100; ++i) attempt();
  const std::size_t before = HeapInUse();
  constexpr int kAttempts = 1000;
  for (int i = 0; i < kAttempts; ++i) attempt();
  const auto growth = static_cast<long long>(HeapInUse()) - static_cast<long long>(before);
  // Reading the listing per attempt held over 300 bytes an attempt; a tenth
  // of that on average is noise, not a copy per attempt.
  EXPECT_LT(growth, kAttempts * 32) << growth << " bytes more after " << kAttempts << " attempts";

  if (oldPort) {
    setenv("PGPORT", oldPort->c_str(), 1);
  } else {
    unsetenv("PGPORT");
  }
  close(closed);
}

}  // namespace
}  // namespace tandemize::dbaccess
