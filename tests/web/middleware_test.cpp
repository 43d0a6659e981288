#include <gtest/gtest.h>
#include <zlib.h>

#include <boost/beast/core/detail/base64.hpp>

#include "web/basic_auth.h"
#include "web/compression.h"
#include "web/octet_stream.h"
#include "web_test_util.h"

namespace tandemize::web {
namespace {

using testing::HeaderOf;
using testing::RunRequest;

std::string Base64(const std::string& aText) {
  namespace b64 = boost::beast::detail::base64;
  std::string out(b64::encoded_size(aText.size()), '\0');
  out.resize(b64::encode(out.data(), aText.data(), aText.size()));
  return out;
}

bool Tulip(const std::string& aUser, const std::string& aPassword) {
  if (aUser == "raise") throw std::runtime_error("check failed");
  return aUser == "tulip" && aPassword == "tulip";
}

TEST(BasicAuthentication, AnswersForEveryKindOfCredential) {
  TRelayRouterTree tree;
  auto config = TRelayBasicAuthenticationConfig::New();
  config->SkipRoutes({"/", "open"});
  tree.RegisterMiddleware("/", RelayBasicAuthentication(Tulip, config));
  tree.RegisterRoute(
      mtGet, "/", AdaptCallback(TRelayCallbackResponse([](TRelayResponse& r) { r.Send("home"); })));
  tree.RegisterRoute(
      mtGet, "/open",
      AdaptCallback(TRelayCallbackResponse([](TRelayResponse& r) { r.Send("open"); })));
  tree.RegisterRoute(
      mtGet, "/data",
      AdaptCallback(TRelayCallbackResponse([](TRelayResponse& r) { r.Send("data"); })));

  const std::string good = Base64("tulip:tulip");
  struct Case {
    const char* name;
    std::string target;
    THeaderLines headers;
    int status;
    std::string body;
    bool realm;
  };
  const Case cases[] = {
      {"skip route", "/", {}, 200, "home", false},
      {"skip route with query", "/?a=1", {}, 200, "home", false},
      {"skip route in other case", "/OPEN", {}, 404, "Not Found", false},
      {"missing", "/data", {}, 401, "Authorization not found", true},
      {"blanks only", "/data", {{"Authorization", "   "}}, 401, "Authorization not found", true},
      {"unknown path without credentials", "/zzz", {}, 401, "Authorization not found", true},
      {"good", "/data", {{"Authorization", "Basic " + good}}, 200, "data", false},
      {"scheme in capitals", "/data", {{"authorization", "BASIC " + good}}, 200, "data", false},
      {"scheme in small letters",
       "/data",
       {{"Authorization", "  basic " + good + " "}},
       200,
       "data",
       false},
      {"other scheme",
       "/data",
       {{"Authorization", "Bearer abc"}},
       401,
       "Invalid authorization type",
       false},
      {"negotiate",
       "/data",
       {{"Authorization", "Negotiate abc"}},
       401,
       "Invalid authorization type",
       false},
      {"scheme alone",
       "/data",
       {{"Authorization", "Basic"}},
       401,
       "Invalid authorization type",
       false},
      {"wrong case of user",
       "/data",
       {{"Authorization", "Basic " + Base64("Tulip:tulip")}},
       401,
       "Unauthorized",
       false},
      {"wrong case of password",
       "/data",
       {{"Authorization", "Basic " + Base64("tulip:TULIP")}},
       401,
       "Unauthorized",
       false},
      {"empty password",
       "/data",
       {{"Authorization", "Basic " + Base64("tulip:")}},
       401,
       "Unauthorized",
       false},
      {"extra item",
       "/data",
       {{"Authorization", "Basic " + Base64("tulip:tulip:x")}},
       200,
       "data",
       false},
      {"no colon",
       "/data",
       {{"Authorization", "Basic " + Base64("tulip")}},
       500,
       "List index out of bounds (1)",
       false},
      {"nothing decoded",
       "/data",
       {{"Authorization", "Basic ===="}},
       500,
       "List index out of bounds (0)",
       false},
      {"check raises",
       "/data",
       {{"Authorization", "Basic " + Base64("raise:x")}},
       500,
       "check failed",
       false},
      {"query parameter", "/data?AUTHORIZATION=Basic%20" + good, {}, 200, "data", false},
      {"padding and junk skipped",
       "/data",
       {{"Authorization", "Basic dHVs*aXA6dHVsaXA="}},
       200,
       "data",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TWireResponse wire = RunRequest(tree, "GET", c.target, c.headers);
    EXPECT_EQ(wire.Status, c.status);
    EXPECT_EQ(wire.Body, c.body);
    EXPECT_EQ(HeaderOf(wire, "WWW-Authenticate"),
              c.realm ? "Basic realm=\"Enter credentials\"" : "");
    if (c.status != 200) {
      EXPECT_EQ(HeaderOf(wire, "Content-Type"), "text/html; charset=utf-8");
    }
  }
}

TEST(BasicAuthentication, ConfigurationDefaultsAndSkipRouteSlash) {
  auto config = TRelayBasicAuthenticationConfig::New();
  EXPECT_EQ(config->Header(), "Authorization");
  EXPECT_EQ(config->RealmMessage(), "Enter credentials");
  EXPECT_TRUE(config->SkipRoutes().empty());
  config->SkipRoutes({"a", "/b", " c"});
  EXPECT_EQ(config->SkipRoutes(), (std::vector<std::string>{"/a", "/b", "/ c"}));
}

TEST(BasicAuthentication, CredentialSplitting) {
  struct Case {
    std::string text;
    std::vector<std::string> items;
  };
  const Case cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a:", {"a", ""}},
      {"a b:c d", {"a b", "c d"}},
      {"\"x:y\":z", {"x:y", "z"}},
      {"a::b", {"a", "", "b"}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitCredentials(c.text), c.items) << c.text;
}

std::string Inflate(const std::string& aBytes, int aWindowBits) {
  z_stream zs{};
  EXPECT_EQ(inflateInit2(&zs, aWindowBits), Z_OK);
  std::string out(1 << 20, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(aBytes.data()));
  zs.avail_in = static_cast<uInt>(aBytes.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(inflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  inflateEnd(&zs);
  return out;
}

TEST(CompressionMiddleware, CompressesOnlyAboveTheThresholdWhenAccepted) {
  TRelayRouterTree tree;
  tree.RegisterMiddleware("/", Compression(1024));
  auto sized = [](std::size_t n, std::string type) {
    return AdaptCallback(TRelayCallbackResponse(
        [n, type](TRelayResponse& r) { r.ContentType(type).Send(std::string(n, 'x')); }));
  };
  tree.RegisterRoute(mtGet, "/1024", sized(1024, "application/json"));
  tree.RegisterRoute(mtGet, "/1025", sized(1025, "application/json"));
  tree.RegisterRoute(mtGet, "/html", sized(2000, ""));
  // 1024 characters; "ã" is one byte in ISO-8859-1 (1024 bytes) and two in UTF-8 (1025).
  const std::string accented = std::string(1023, 'a') + "\xC3\xA3";
  tree.RegisterRoute(mtGet, "/latin",
                     AdaptCallback(TRelayCallbackResponse([accented](TRelayResponse& r) {
                       r.ContentType("text/plain").Send(accented);
                     })));
  tree.RegisterRoute(mtGet, "/utf8",
                     AdaptCallback(TRelayCallbackResponse([accented](TRelayResponse& r) {
                       r.ContentType("text/plain; charset=utf-8").Send(accented);
                     })));
  tree.RegisterRoute(mtGet, "/blank", sized(0, "text/plain"));

  struct Case {
    const char* target;
    const char* accept;
    const char* encoding;  // "" = not compressed
  };
  const Case cases[] = {
      {"/1025", "gzip, deflate", "deflate"},
      {"/1025", "deflate;q=0, gzip", "deflate"},  // deflate wins, quality ignored
      {"/1025", "GZIP", "gzip"},
      {"/1025", "br", ""},
      {"/1025", "identity", ""},
      {"/1025", "", ""},
      {"/1025", nullptr, ""},
      {"/1024", "gzip, deflate", ""},
      {"/html", "deflate", "deflate"},
      {"/latin", "deflate", ""},
      {"/utf8", "deflate", "deflate"},
      {"/blank", "deflate", ""},
      {"/missing", "deflate", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.target) + " / " + (c.accept ? c.accept : "(none)"));
    THeaderLines headers;
    if (c.accept) headers.emplace_back("Accept-Encoding", c.accept);
    const TWireResponse wire = RunRequest(tree, "GET", c.target, headers);
    EXPECT_EQ(HeaderOf(wire, "Content-Encoding"), c.encoding);
    EXPECT_EQ(HeaderOf(wire, "Content-Length"), std::to_string(wire.Body.size()));
    if (std::string(c.encoding).empty()) continue;
    // Decompressed, the body is byte for byte what would have gone out plain.
    const TWireResponse plain = RunRequest(tree, "GET", c.target);
    EXPECT_EQ(Inflate(wire.Body, std::string(c.encoding) == "deflate" ? -15 : 31), plain.Body);
    EXPECT_EQ(HeaderOf(wire, "Content-Type"), HeaderOf(plain, "Content-Type"));
  }
}

TEST(OctetStreamMiddleware, AttachesTheBodyOnlyForOctetStreamWrites) {
  struct Case {
    const char* method;
    const char* contentType;
    std::size_t size;
    bool attached;
  };
  const Case cases[] = {
      {"POST", "application/octet-stream", 3000, true},
      {"PUT", "application/octet-stream; charset=utf-8", 10, true},
      {"PATCH", "application/octet-stream", 0, true},
      {"POST", "Application/Octet-Stream", 10, false},
      {"POST", "application/json", 10, false},
      {"GET", "application/octet-stream", 10, false},
      {"DELETE", "application/octet-stream", 10, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.contentType);
    std::string body(c.size, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
    bool attached = false;
    TRelayRouterTree tree;
    tree.RegisterMiddleware("/", OctetStream);
    tree.RegisterRoute(MethodTypeFromText(c.method), "/up",
                       [&](TRelayRequest& req, TRelayResponse&, const TNextProc&) {
                         auto* relayed = req.Body<TRelayStream>();
                         attached = relayed != nullptr;
                         if (relayed) {
                           EXPECT_EQ(relayed->Stream().Position(), 0u);
                           EXPECT_EQ(relayed->Stream().Bytes(), body);
                         }
                       });
    RunRequest(tree, c.method, "/up", {{"Content-Type", c.contentType}}, body);
    EXPECT_EQ(attached, c.attached);
  }
}

TEST(OctetStreamMiddleware, SendsStreamAndFileResults) {
  TRelayRouterTree tree;
  tree.RegisterMiddleware("/", OctetStream);
  tree.RegisterRoute(mtGet, "/stream", AdaptCallback(TRelayCallbackResponse([](TRelayResponse& r) {
                       r.Content(new TRelayStream(std::string("\x00\x01\xFF", 3)));
                     })));
  tree.RegisterRoute(mtGet, "/typed", AdaptCallback(TRelayCallbackResponse([](TRelayResponse& r) {
                       r.ContentType("image/png").Content(new TRelayStream(std::string("png")));
                       r.RawWebResponse().Data.SetCustomHeader("Content-Disposition", "inline");
                     })));
  tree.RegisterRoute(
      mtGet, "/file", AdaptCallback(TRelayCallbackResponse([](TRelayResponse& r) {
        r.Content(new TFileReturn("a.txt", text::TByteStream(std::string("abc")), false));
      })));
  tree.RegisterRoute(
      mtGet, "/inline", AdaptCallback(TRelayCallbackResponse([](TRelayResponse& r) {
        r.Content(new TFileReturn("b.pdf", text::TByteStream(std::string("pdf")), true));
      })));
  // A handler that hands the request's own body back: freed once, with the request.
  tree.RegisterRoute(mtPost, "/echo",
                     [](TRelayRequest& req, TRelayResponse& res, const TNextProc&) {
                       res.Content(req.BodyObject());
                     });
  struct Case {
    const char* method;
    const char* target;
    std::string body;
    const char* type;
    const char* disposition;
  };
  const Case cases[] = {
      {"GET", "/stream", std::string("\x00\x01\xFF", 3), "application/octet-stream", "attachment"},
      {"GET", "/typed", "png", "image/png", "inline"},
      {"GET", "/file", "abc", "application/octet-stream", "attachment; filename=\"a.txt\""},
      {"GET", "/inline", "pdf", "application/octet-stream", "inline; filename=\"b.pdf\""},
      {"POST", "/echo", "raw", "application/octet-stream", "attachment"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    const TWireResponse wire =
        RunRequest(tree, c.method, c.target, {{"Content-Type", "application/octet-stream"}}, "raw");
    EXPECT_EQ(wire.Status, 200);
    EXPECT_EQ(wire.Body, c.body);
    EXPECT_EQ(HeaderOf(wire, "Content-Type"), c.type);
    EXPECT_EQ(HeaderOf(wire, "Content-Disposition"), c.disposition);
  }
}

// A handler can take an octet-stream body over without a copy; the request
// then holds no body any more, and the answer goes out as usual.
TEST(OctetStreamMiddleware, HandlerTakesTheBodyOverFromTheRequest) {
  std::string body(5000, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 13);
  TRelayRouterTree tree;
  tree.RegisterMiddleware("/", OctetStream);
  tree.RegisterRoute(mtPost, "/take",
                     [&](TRelayRequest& req, TRelayResponse& res, const TNextProc&) {
                       auto* relayed = req.Body<TRelayStream>();
                       ASSERT_NE(relayed, nullptr);
                       text::TByteStream* stream = &relayed->Stream();
                       const char* const received = req.RawWebRequest().Content.data();
                       const std::string taken = stream->TakeBytes();
                       EXPECT_EQ(taken, body);
                       EXPECT_EQ(taken.data(), received);
                       EXPECT_EQ(req.RawWebRequest().Content, "");
                       EXPECT_EQ(stream->Size(), 0u);
                       res.Send(std::to_string(taken.size()));
                     });
  const TWireResponse wire =
      RunRequest(tree, "POST", "/take", {{"Content-Type", "application/octet-stream"}}, body);
  EXPECT_EQ(wire.Status, 200);
  EXPECT_EQ(wire.Body, "5000");
}

}  // namespace
}  // namespace tandemize::web
