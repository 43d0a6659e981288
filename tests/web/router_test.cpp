#include "web/router.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "web_test_util.h"

namespace tandemize::web {
namespace {

using testing::RunRequest;

// A tree where every middleware and handler appends its name to a trace, the
// way the program's tree is shaped plus parameter and multi-callback routes.
class RouterChain : public ::testing::Test {
 protected:
  void SetUp() override {
    auto mark = [this](std::string name, bool callNext) {
      return TRelayCallback(
          [this, name, callNext](TRelayRequest&, TRelayResponse&, const TNextProc& next) {
            FTrace += name + ";";
            if (callNext) next();
          });
    };
    FTree.RegisterMiddleware("/", mark("m1", true));
    FTree.RegisterMiddleware("/", mark("m2", false));  // returns without next: chain goes on
    FTree.RegisterRoute(mtGet, "/",
                        AdaptCallback(TRelayCallbackResponse([this](TRelayResponse& res) {
                          FTrace += "root;";
                          res.Send("root");
                        })));
    FTree.RegisterRoute(
        mtGet, "/checkrequest",
        AdaptCallback(TRelayCallbackRequestResponse([this](TRelayRequest&, TRelayResponse& res) {
          FTrace += "check;";
          res.Send("check");
        })));
    FTree.RegisterRoute(mtPost, "/multi", mark("first", false));
    FTree.RegisterRoute(mtPost, "/multi", mark("second", true));
    FTree.RegisterRoute(mtGet, "/users/:id",
                        AdaptCallback(TRelayCallbackRequestResponse(
                            [this](TRelayRequest& req, TRelayResponse& res) {
                              FTrace += "user;";
                              res.Send("user " + req.Params().Field("id").AsString());
                            })));
    FTree.RegisterRoute(mtGet, "/users/:id/orders",
                        AdaptCallback(TRelayCallbackRequestResponse(
                            [this](TRelayRequest& req, TRelayResponse& res) {
                              res.Send("orders " + req.Params()["ID"]);
                            })));
    FTree.RegisterRoute(
        mtGet, "/users/me",
        AdaptCallback(TRelayCallbackResponse([](TRelayResponse& res) { res.Send("me"); })));
    FTree.RegisterRoute(mtDelete, "/files/:name",
                        AdaptCallback(TRelayCallbackRequest([](TRelayRequest&) {})));
    FTree.RegisterRoute(mtGet, "/fail", AdaptCallback(TRelayCallbackResponse([](TRelayResponse&) {
                          throw std::runtime_error("boom");
                        })));
    FTree.RegisterRoute(mtGet, "/quiet",
                        AdaptCallback(TRelayCallbackResponse([](TRelayResponse& res) {
                          res.Send("teapot").Status(418);
                          throw ERelayCallbackInterrupted();
                        })));
  }

  TRelayRouterTree FTree;
  std::string FTrace;
};

TEST_F(RouterChain, MatchesPathsMethodsAndRunsTheChainInOrder) {
  struct Case {
    const char* method;
    const char* target;
    int status;
    const char* body;
    const char* trace;
  };
  const Case cases[] = {
      {"GET", "/", 200, "root", "m1;m2;root;"},
      {"GET", "", 200, "root", "m1;m2;root;"},
      {"GET", "/?a=1", 200, "root", "m1;m2;root;"},
      {"GET", "/checkrequest", 200, "check", "m1;m2;check;"},
      {"GET", "/checkrequest/", 200, "check", "m1;m2;check;"},
      {"GET", "//checkrequest//", 200, "check", "m1;m2;check;"},
      {"GET", "/CheckRequest", 404, "Not Found", "m1;m2;"},
      {"GET", "/checkrequest/extra", 404, "Not Found", "m1;m2;"},
      {"GET", "/nowhere", 404, "Not Found", "m1;m2;"},
      {"POST", "/checkrequest", 405, "Method Not Allowed", "m1;m2;"},
      {"HEAD", "/checkrequest", 405, "", "m1;m2;"},
      {"BREW", "/checkrequest", 405, "Method Not Allowed", "m1;m2;"},
      {"POST", "/", 405, "Method Not Allowed", "m1;m2;"},
      // Both callbacks of one route run, whether or not the first calls next.
      {"POST", "/multi", 200, "", "m1;m2;first;second;"},
      {"GET", "/users/42", 200, "user 42", "m1;m2;user;"},
      {"GET", "/users/a%20b", 200, "user a b", "m1;m2;user;"},
      {"GET", "/users/7/orders", 200, "orders 7", "m1;m2;"},
      // A literal child wins over a parameter child.
      {"GET", "/users/me", 200, "me", "m1;m2;"},
      {"GET", "/users/7/nothing", 404, "Not Found", "m1;m2;"},
      {"POST", "/users/42", 404, "Not Found", "m1;m2;"},  // CanReach refuses: no POST there
      {"DELETE", "/files/x", 204, "", "m1;m2;"},          // request-only handler answers 204
      {"GET", "/quiet", 418, "teapot", "m1;m2;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.target);
    FTrace.clear();
    const TWireResponse wire = RunRequest(FTree, c.method, c.target);
    EXPECT_EQ(wire.Status, c.status);
    EXPECT_EQ(wire.Body, c.body);
    EXPECT_EQ(FTrace, c.trace);
  }
}

TEST_F(RouterChain, HandlerExceptionBecomesTheErrorPage) {
  const TWireResponse wire = RunRequest(FTree, "GET", "/fail");
  EXPECT_EQ(wire.Status, 500);
  EXPECT_EQ(testing::HeaderOf(wire, "Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(wire.Body, ErrorPageText("boom", "/fail"));
  EXPECT_NE(wire.Body.find("<span style=\"color: #9e9e9e;\">boom</span>"), std::string::npos);
  EXPECT_NE(wire.Body.find("\xE2\x9A\x99 Internal Server Error \xE2\x9A\x99"), std::string::npos);
}

TEST(RouterErrors, ErrorPageEscapesTheMessageAndThePath) {
  TRelayRouterTree tree;
  tree.RegisterRoute(mtGet, "/echo/:rest",
                     AdaptCallback(TRelayCallbackResponse([](TRelayResponse&) {
                       throw std::runtime_error("<img src=x onerror=\"alert('m')\"> & %1:s");
                     })));
  const TWireResponse wire = RunRequest(tree, "GET", "/echo/%3Cscript%3Ealert(1)%3C%2Fscript%3E");
  EXPECT_EQ(wire.Status, 500);
  EXPECT_NE(wire.Body.find("<span style=\"color: #9e9e9e;\">&lt;img src=x onerror=&quot;alert("
                           "&#39;m&#39;)&quot;&gt; &amp; %1:s</span>"),
            std::string::npos)
      << wire.Body;
  EXPECT_NE(wire.Body.find("<span style=\"color: #bdbdbd;\">/echo/&lt;script&gt;alert(1)&lt;/"
                           "script&gt;</span>"),
            std::string::npos)
      << wire.Body;
  EXPECT_EQ(wire.Body.find("<script"), std::string::npos);
  EXPECT_EQ(wire.Body.find("<img"), std::string::npos);
}

TEST(RouterErrors, ErrorPageKeepsTheHandlersContentTypeAndIgnoresTheExceptionStatus) {
  TRelayRouterTree tree;
  tree.RegisterRoute(mtGet, "/json", AdaptCallback(TRelayCallbackResponse([](TRelayResponse& res) {
                       res.ContentType("application/json");
                       throw ERelayException("bad field").Status(400);
                     })));
  tree.RegisterRoute(mtGet, "/a%20b", AdaptCallback(TRelayCallbackResponse([](TRelayResponse&) {
                       throw std::runtime_error("<b>raw</b>");
                     })));
  TWireResponse wire = testing::RunRequest(tree, "GET", "/json");
  EXPECT_EQ(wire.Status, 500);
  EXPECT_EQ(testing::HeaderOf(wire, "Content-Type"), "application/json");
  // Without a charset every character is one byte: the page's emoji become "?".
  EXPECT_NE(wire.Body.find("5?"
                           "?</h1>"),
            std::string::npos);
  EXPECT_NE(wire.Body.find("bad field"), std::string::npos);

  // The page shows the decoded path and the message, as HTML-escaped text.
  wire = testing::RunRequest(tree, "GET", "/a%20b");
  EXPECT_EQ(wire.Status, 500);
  EXPECT_NE(wire.Body.find("&lt;b&gt;raw&lt;/b&gt;"), std::string::npos);
  EXPECT_NE(wire.Body.find(">/a b</span>"), std::string::npos);
}

TEST(RouterErrors, MiddlewareExceptionSkipsTheInternalErrorTextAndStopsTheChain) {
  TRelayRouterTree tree;
  bool routeRan = false;
  tree.RegisterMiddleware("/", [](TRelayRequest&, TRelayResponse& res, const TNextProc&) {
    res.Status(401).Send("no");
    throw ERelayCallbackInterrupted();
  });
  tree.RegisterRoute(mtGet, "/",
                     [&](TRelayRequest&, TRelayResponse&, const TNextProc&) { routeRan = true; });
  const TWireResponse wire = testing::RunRequest(tree, "GET", "/");
  EXPECT_FALSE(routeRan);
  EXPECT_EQ(wire.Status, 401);
  EXPECT_EQ(wire.Body, "no");
}

TEST(RouterSplit, DropsEmptySegmentsButKeepsTheRoot) {
  struct Case {
    const char* path;
    std::vector<std::string> segments;
  };
  const Case cases[] = {
      {"/", {""}},         {"", {""}}, {"/a//b/", {"", "a", "b"}}, {"/a/b", {"", "a", "b"}},
      {"a/b", {"a", "b"}},
  };
  for (const Case& c : cases) {
    const TSegmentQueue queue = SplitPath(c.path);
    EXPECT_EQ(std::vector<std::string>(queue.begin(), queue.end()), c.segments) << c.path;
  }
}

TEST(RouterRegistration, RoutePathsAreNormalized) {
  EXPECT_EQ(NormalizeRoutePath("/"), "/");
  EXPECT_EQ(NormalizeRoutePath(""), "/");
  EXPECT_EQ(NormalizeRoutePath("//a/b//"), "/a/b");
  EXPECT_EQ(NormalizeRoutePath("a"), "/a");
}

}  // namespace
}  // namespace tandemize::web
