#pragma once
// A lock that tests sharing one database take while they change its schema.
//
// Each test runs in a process of its own, and ctest runs several at once.
// Tables of their own are not enough on Firebird: two processes recreating
// different tables of one database still meet in its system tables and fail
// with "deadlock update conflicts with concurrent update". Such tests hold a
// TDatabaseLock on the database for their whole run; tests of other databases
// go on in parallel.

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>
#include <string_view>

namespace tandemize::harness {

class TDatabaseLock {
 public:
  // Blocks until no other process holds the lock named `aDatabase` (any text,
  // typically the database's path). An empty name locks nothing.
  explicit TDatabaseLock(std::string_view aDatabase) {
    if (aDatabase.empty()) return;
    std::string path = "/tmp/tandemize-test-db-";
    for (const char c : aDatabase) {
      const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
      path += plain ? c : '_';
    }
    path += ".lock";
    FFd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (FFd < 0) return;  // no lock: the test runs unprotected rather than not at all
    while (::flock(FFd, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~TDatabaseLock() {
    if (FFd >= 0) ::close(FFd);  // closing releases the lock
  }
  TDatabaseLock(const TDatabaseLock&) = delete;
  TDatabaseLock& operator=(const TDatabaseLock&) = delete;

 private:
  int FFd = -1;
};

}  // namespace tandemize::harness
