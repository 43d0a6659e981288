#pragma once
// The test database servers' coordinates, which the test command always sets
// (TANDEMIZE_<KIND>_HOST, _PORT, _DATABASE, _USER). A test that needs a server
// fails when they are missing; it is never skipped.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace tandemize::harness {

// Success when the TANDEMIZE_<aKind>_* coordinates are set; otherwise a
// failure naming the first one missing and how to set it. For
// ASSERT_TRUE(harness::TestServerSet("PG")) at the start of a test.
inline testing::AssertionResult TestServerSet(const std::string& aKind) {
  for (const char* part : {"HOST", "PORT", "DATABASE", "USER"}) {
    const std::string name = "TANDEMIZE_" + aKind + "_" + part;
    const char* value = std::getenv(name.c_str());
    if (value == nullptr || *value == '\0') {
      return testing::AssertionFailure()
             << name
             << " is not set: start the test databases (scripts/test-databases.sh start) and "
                "source build-test/test-databases.env; scripts/test.sh does both";
    }
  }
  return testing::AssertionSuccess();
}

}  // namespace tandemize::harness
