#include <gtest/gtest.h>

#include "web/relay.h"
#include "web_test_util.h"

namespace tandemize::web {
namespace {

// The process-wide core: registration through the facade, pending per-route
// callbacks, and the single-instance rule.
TEST(RelayCore, RegistersThroughTheFacadeWithPendingCallbacks) {
  std::string trace;
  TRelay::Use("api/", [&](TRelayRequest&, TRelayResponse&, const TNextProc& next) {
    trace += "mw;";
    next();
  });
  TRelay::AddCallback([&](TRelayRequest&, TRelayResponse&, const TNextProc& next) {
    trace += "pending;";
    next();
  });
  TRelay::Get("/api/items/", TRelayCallbackResponse([&](TRelayResponse& res) {
                trace += "items;";
                res.Send("items");
              }));
  // The pending list was taken by the first route only.
  TRelay::Post("api/items", TRelayCallbackRequestResponse([&](TRelayRequest&, TRelayResponse& res) {
                 trace += "post;";
                 res.Send("posted");
               }));

  TWireResponse wire = testing::RunRequest(TRelay::Routes(), "GET", "/api/items");
  EXPECT_EQ(wire.Body, "items");
  EXPECT_EQ(trace, "mw;pending;items;");

  trace.clear();
  wire = testing::RunRequest(TRelay::Routes(), "POST", "/api/items");
  EXPECT_EQ(wire.Body, "posted");
  EXPECT_EQ(trace, "mw;post;");

  trace.clear();
  wire = testing::RunRequest(TRelay::Routes(), "GET", "/other");
  EXPECT_EQ(wire.Status, 404);
  EXPECT_EQ(trace, "");  // the middleware lives on /api only
}

TEST(RelayCore, SecondInstanceIsRefused) {
  TRelayCore::GetInstance();
  try {
    TRelayCore second;
    FAIL() << "a second instance was created";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), kInstanceAlreadyCreated);
  }
}

}  // namespace
}  // namespace tandemize::web
