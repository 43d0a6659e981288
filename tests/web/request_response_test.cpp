#include <gtest/gtest.h>

#include <cmath>

#include "web/relay_request.h"
#include "web/web_layer.h"

namespace tandemize::web {
namespace {

TWebRequest MakeRequest(THeaderLines aHeaders, std::string aTarget = "/", std::string aBody = {},
                        std::string aMethod = "GET") {
  return BuildWebRequest(std::move(aMethod), aTarget, std::move(aHeaders), std::move(aBody));
}

TEST(RelayRequest, CollectionsIgnoreLetterCaseOfNames) {
  TWebRequest web = MakeRequest(
      {{"X-Request", "  {\"a\":1} \t"}, {"x-request", "second"}, {"Cookie", "a=1; b=x=y; c"}},
      "/p?Name=J%C3%A3o+Silva&flag&empty=&x=%2B");
  TRelayRequest req(web);
  EXPECT_EQ(req.Headers().Field("x-request").AsString(), "{\"a\":1}");
  EXPECT_EQ(req.Headers()["X-REQUEST"], "{\"a\":1}");  // a header sent twice: its first value
  EXPECT_TRUE(req.Headers().ContainsKey("X-REQUEST"));
  EXPECT_EQ(req.Headers().Field("absent").AsString(), "");
  EXPECT_FALSE(req.Headers().Field("absent").Found());

  EXPECT_EQ(req.Query()["name"], "J\xC3\xA3o Silva");
  EXPECT_TRUE(req.Query().ContainsKey("FLAG"));
  EXPECT_EQ(req.Query()["empty"], "");
  EXPECT_EQ(req.Query()["x"], "+");
  EXPECT_TRUE(req.Query().ContainsValue("+"));

  EXPECT_EQ(req.Cookie()["A"], "1");
  EXPECT_EQ(req.Cookie()["b"], "x");  // split at every "="
  EXPECT_TRUE(req.Cookie().ContainsKey("c"));
}

TEST(RelayRequest, BrokenPercentEscapeInTheQueryFails) {
  TWebRequest web = MakeRequest({}, "/?a=%zz");
  TRelayRequest req(web);
  EXPECT_THROW(req.Query(), std::invalid_argument);
}

TEST(RelayRequest, FormFieldsOnlyForUrlEncodedForms) {
  TWebRequest form = MakeRequest({{"Content-Type", "Application/X-WWW-Form-Urlencoded"}}, "/",
                                 "a=1&b=two+words", "POST");
  TRelayRequest formReq(form);
  EXPECT_EQ(formReq.ContentFields()["B"], "two words");
  TWebRequest json = MakeRequest({{"Content-Type", "application/json"}}, "/", "a=1", "POST");
  TRelayRequest jsonReq(json);
  EXPECT_EQ(jsonReq.ContentFields().Count(), 0u);
}

TEST(RelayRequest, BodyDecodingFollowsTheCharset) {
  struct Case {
    const char* contentType;
    std::string raw;
    std::string text;
  };
  const Case cases[] = {
      {"application/json", "\"a\xC3\xA3\"", "\"a\xC3\xA3\""},
      {"application/json; charset=UTF-8", "\xC3\xA3", "\xC3\xA3"},
      {"application/json; charset=ISO-8859-1", "\xE3\x80", "\xC3\xA3\xE2\x82\xAC"},
      {"text/plain; charset=ansi", "\xE3", "\xC3\xA3"},
      {"text/plain; charset=us-ascii", "a\xE3", "a?"},
      {"text/plain; charset=koi8-r", "\xC3\xA3", "\xC3\xA3"},
      {"application/json", "a\xE3", "a\xEF\xBF\xBD"},  // ill-formed UTF-8 stays valid text
  };
  for (const Case& c : cases) {
    TWebRequest web = MakeRequest({{"Content-Type", c.contentType}}, "/", c.raw, "POST");
    EXPECT_EQ(TRelayRequest(web).Body(), c.text) << c.contentType;
  }
}

TEST(RelayRequest, MethodOverrideAppliesToPostOnly) {
  struct Case {
    const char* method;
    THeaderLines headers;
    const char* expected;
  };
  const Case cases[] = {
      {"POST", {{"X-HTTP-Method", "get"}}, "GET"},
      {"POST", {{"X-HTTP-Method-Override", "delete"}, {"X-HTTP-Method", "PUT"}}, "DELETE"},
      {"POST", {{"X-HTTP-Method-Override", " "}, {"X-METHOD-OVERRIDE", "patch"}}, "PATCH"},
      {"PUT", {{"X-HTTP-Method", "GET"}}, "PUT"},
      {"POST", {}, "POST"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MakeRequest(c.headers, "/", {}, c.method).Method, c.expected);
  }
  const TWebRequest web =
      MakeRequest({{"Content-Type", "application/octet-stream; charset=x"}}, "/a%20b/c?q=1");
  EXPECT_EQ(web.RawPath, "/a%20b/c");
  EXPECT_EQ(web.PathInfo, "/a b/c");
  EXPECT_EQ(web.Query, "q=1");
  EXPECT_EQ(web.ContentType, "application/octet-stream");
}

TEST(RelayParamField, ConversionsAndTheirErrors) {
  TRelayParamMap map{{"int", "42"},
                     {"bad", "12a"},
                     {"big", "9000000000"},
                     {"float", "3,25"},
                     {"money", "1.234567"},
                     {"yes", "TRUE"},
                     {"no", "yes"},
                     {"date", "2024-02-29x"},
                     {"baddate", "2023-02-29"},
                     {"time", "13:45:30"},
                     {"dt", "2024-01-02 06:00:00"},
                     {"iso", "2024-01-02T06:00:00-03:00"},
                     {"empty", ""}};
  TRelayCoreParam params(map);
  EXPECT_EQ(params.Field("INT").AsInteger(), 42);
  EXPECT_EQ(params.Field("big").AsInt64(), 9000000000LL);
  EXPECT_DOUBLE_EQ(params.Field("float").AsFloat(), 3.25);
  EXPECT_DOUBLE_EQ(params.Field("money").AsCurrency(), 1.2346);
  EXPECT_TRUE(params.Field("yes").AsBoolean());
  EXPECT_FALSE(params.Field("no").AsBoolean());
  EXPECT_DOUBLE_EQ(params.Field("date").AsDate(), 45351.0);  // 2024-02-29
  EXPECT_DOUBLE_EQ(params.Field("time").AsTime(), (13 * 3600 + 45 * 60 + 30) / 86400.0);
  EXPECT_DOUBLE_EQ(params.Field("dt").AsDateTime(), 45293.25);
  EXPECT_DOUBLE_EQ(params.Field("iso").AsISO8601DateTime(), 45293.375);  // 09:00 UTC
  EXPECT_EQ(params.Field("empty").AsInteger(), 0);
  EXPECT_EQ(params.Field("missing").AsDate(), 0);

  struct Failure {
    std::function<void()> convert;
    const char* message;
  };
  const Failure failures[] = {
      {[&] { params.Field("bad").AsInteger(); },
       "The bad param '12a' is not valid a integer type."},
      {[&] { params.Field("big").AsInteger(); },
       "The big param '9000000000' is not valid a integer type."},
      {[&] { params.Field("bad").AsInt64(); }, "The bad param '12a' is not valid a int64 type."},
      {[&] { params.Field("bad").AsFloat(); }, "The bad param '12a' is not valid a numeric type."},
      {[&] { params.Field("baddate").AsDate(); },
       "The baddate param '2023-02-29' is not valid a date type."},
      {[&] { params.Field("bad").AsTime(); }, "The bad param '12a' is not valid a time type."},
      {[&] { params.Field("date").AsDateTime(); },
       "The date param '2024-02-29x' is not valid a datetime type."},
      {[&] { params.Field("bad").AsISO8601DateTime(); },
       "The bad param '12a' is not valid a ISO8601 date type."},
  };
  for (const Failure& f : failures) {
    try {
      f.convert();
      ADD_FAILURE() << "no error for: " << f.message;
    } catch (const ERelayException& e) {
      EXPECT_EQ(e.Status(), 400);
      EXPECT_STREQ(e.what(), f.message);
    }
  }
}

TEST(RelayParamField, MissingRequiredFieldFailsBeforeParsing) {
  TRelayCoreParam params;
  params.Required(true);
  for (auto convert : {+[](TRelayCoreParamField& f) { f.AsString(); },
                       +[](TRelayCoreParamField& f) { f.AsInteger(); }}) {
    try {
      convert(params.Field("id"));
      ADD_FAILURE() << "no error";
    } catch (const ERelayException& e) {
      EXPECT_EQ(e.Status(), 400);
      EXPECT_STREQ(e.what(), "The id param is required.");
    }
  }
}

TEST(RelayResponse, EncodingOfTheBodyOnTheWire) {
  struct Case {
    const char* contentType;
    std::string text;
    const char* wireType;
    std::string bytes;
  };
  const Case cases[] = {
      {"", "Not Found", "text/html; charset=utf-8", "Not Found"},
      {"", "\xC3\xA3", "text/html; charset=utf-8", "\xC3\xA3"},
      {"application/json", "\xC3\xA3\xE2\x82\xAC", "application/json", "\xE3?"},
      {"text/html", "\xC3\xA3", "text/html; charset=ISO-8859-1", "\xE3"},
      {"text/xml", "\xC3\xA3", "text/xml; charset=us-ascii", "?"},
      {"application/atom+xml", "a", "application/atom+xml", "a"},
      {"text/vnd.x+xml", "\xC3\xA3", "text/vnd.x+xml; charset=us-ascii", "?"},
      {"text/plain; charset=windows-1252", "\xE2\x82\xAC", "text/plain; charset=windows-1252",
       "\x80"},
      {"text/plain; charset=UTF-8", "\xE2\x82\xAC", "text/plain; charset=UTF-8", "\xE2\x82\xAC"},
      {"", "", "", ""},
  };
  for (const Case& c : cases) {
    TWebResponseData data;
    data.ContentType = c.contentType;
    data.Content = c.text;
    const TWireResponse wire = EncodeResponse(data, false);
    std::string type, length;
    for (const auto& [name, value] : wire.Headers) {
      if (name == "Content-Type") type = value;
      if (name == "Content-Length") length = value;
    }
    EXPECT_EQ(type, c.wireType) << c.contentType;
    EXPECT_EQ(wire.Body, c.bytes) << c.contentType;
    EXPECT_EQ(length, std::to_string(c.bytes.size())) << c.contentType;
  }
}

TEST(RelayResponse, NoBodyForHeadAndBodylessStatuses) {
  struct Case {
    int status;
    bool head;
    bool lengthHeader;
  };
  for (const Case& c : {Case{200, true, true}, Case{204, false, false}, Case{304, false, false},
                        Case{101, false, false}, Case{200, false, true}}) {
    TWebResponseData data;
    data.StatusCode = c.status;
    data.Content = "body";
    const TWireResponse wire = EncodeResponse(data, c.head);
    EXPECT_EQ(wire.Body.empty(), c.head || !c.lengthHeader) << c.status;
    bool hasLength = false;
    for (const auto& [name, value] : wire.Headers) {
      if (name == "Content-Length") {
        hasLength = true;
        EXPECT_EQ(value, "4");
      }
    }
    EXPECT_EQ(hasLength, c.lengthHeader) << c.status;
  }
}

TEST(RelayResponse, SettersAndRedirect) {
  TWebResponse web;
  TRelayResponse res(web);
  EXPECT_EQ(res.Status(), 200);
  res.Send("one").Send("two");
  EXPECT_EQ(web.Data.Content, "two");
  res.RedirectTo("/elsewhere");
  EXPECT_EQ(res.Status(), 303);
  EXPECT_EQ(web.Data.GetCustomHeader("location"), "/elsewhere");
  res.RedirectTo("/x", 307);
  EXPECT_EQ(res.Status(), 307);
  EXPECT_EQ(web.Data.GetCustomHeader("Location"), "/x");
}

}  // namespace
}  // namespace tandemize::web
