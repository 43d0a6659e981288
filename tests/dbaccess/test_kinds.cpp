#include "dbaccess/test_kinds.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace tandemize::dbaccess::test {
namespace {

std::vector<TTestKind>& Kinds() {
  static std::vector<TTestKind> kinds;
  return kinds;
}

}  // namespace

bool RegisterTestKind(TTestKind kind) {
  if (!kind.RecreateTable) {
    kind.RecreateTable = [](const std::string& table, const std::string& columns) {
      return std::vector<std::string>{"DROP TABLE IF EXISTS " + table,
                                      "CREATE TABLE " + table + " (" + columns + ")"};
    };
  }
  Kinds().push_back(std::move(kind));
  return true;
}

const std::vector<TTestKind>& TestKinds() {
  return Kinds();
}

std::string RequiredEnv(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr || *value == '\0') {
    ADD_FAILURE() << name
                  << " is not set: start the test databases (scripts/test-databases.sh start) and "
                     "source build-test/test-databases.env; scripts/test.sh does both";
    return {};
  }
  return value;
}

void FillFromEnv(TDbDefinition& definition, const std::string& prefix) {
  const std::string p = "TANDEMIZE_" + prefix + "_";
  definition.SetValue("Server", RequiredEnv(p + "HOST"));
  definition.SetValue("Port", RequiredEnv(p + "PORT"));
  definition.SetValue("Database", RequiredEnv(p + "DATABASE"));
  definition.SetValue("User_Name", RequiredEnv(p + "USER"));
  definition.SetValue("Password", RequiredEnv(p + "PASSWORD"));
}

std::string FailureOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const memtable::EDatabaseError& error) {
    return error.what();
  }
  return "<no failure>";
}

}  // namespace tandemize::dbaccess::test
