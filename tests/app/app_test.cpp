#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "app/base_router.h"
#include "app/build_label.h"
#include "app/data_handlers.h"
#include "dbaccess/db_connection.h"
#include "memtable/storage/stream_writer.h"
#include "web/compression.h"
#include "web/octet_stream.h"
#include "web/relay.h"
#include "web/web_test_util.h"

namespace tandemize::app {
namespace {

TEST(BuildLabel, NamesToolchainAndPlatform) {
  EXPECT_EQ(BuildLabel(), "C++ Linux Plataforma 64 Bits");
  EXPECT_EQ(BannerText("0.0.0.0", 9095),
            "Servidor ativo 0.0.0.0:9095 - C++ Linux Plataforma 64 Bits");
}

TEST(Credentials, OnlyTulipTulipExactly) {
  struct Case {
    const char* user;
    const char* password;
    bool accepted;
  };
  const Case cases[] = {
      {"tulip", "tulip", true}, {"Tulip", "tulip", false}, {"tulip", "TULIP", false},
      {"tulip", "", false},     {"", "tulip", false},      {"tulip ", "tulip", false},
  };
  for (const Case& c : cases) EXPECT_EQ(CheckCredentials(c.user, c.password), c.accepted) << c.user;
}

TEST(StatusPage, ShowsLabelAndLocalTime) {
  std::tm when{};
  when.tm_year = 2024 - 1900;
  when.tm_mon = 0;
  when.tm_mday = 5;
  when.tm_hour = 7;
  when.tm_min = 8;
  when.tm_sec = 9;
  when.tm_isdst = -1;
  EXPECT_EQ(
      StatusPageText(std::mktime(&when)),
      "<h2>Servidor Tandemize Ativo! - C++ Linux Plataforma 64 Bits - 05-01-2024 07:08:09</h2>");
}

// The whole chain of the program, in process: authentication, compression,
// octet-stream and the four routes.
TEST(ProgramRoutes, ChainOfTheProgram) {
  RegisterMiddlewaresAndRoutes();
  web::TRelayRouterTree& tree = web::TRelay::Routes();
  const web::THeaderLines auth{{"Authorization", "Basic dHVsaXA6dHVsaXA="}};
  struct Case {
    const char* method;
    const char* target;
    bool credentials;
    int status;
    const char* bodyStart;
  };
  const Case cases[] = {
      {"GET", "/", false, 200, "<h2>Servidor Tandemize Ativo! - C++ Linux Plataforma 64 Bits - "},
      {"GET", "/?a=1", false, 200, "<h2>Servidor Tandemize Ativo!"},
      {"POST", "/", false, 405, "Method Not Allowed"},
      {"GET", "/checkrequest", false, 401, "Authorization not found"},
      {"GET", "/nowhere", false, 401, "Authorization not found"},
      {"GET", "/nowhere", true, 404, "Not Found"},
      {"GET", "/CheckRequest", true, 404, "Not Found"},
      {"POST", "/checkrequest", true, 405, "Method Not Allowed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.target);
    const web::TWireResponse wire = web::testing::RunRequest(
        tree, c.method, c.target, c.credentials ? auth : web::THeaderLines{});
    EXPECT_EQ(wire.Status, c.status);
    EXPECT_EQ(wire.Body.rfind(c.bodyStart, 0), 0u) << wire.Body;
  }
  // The data routes are reached with credentials (what they answer is theirs).
  for (const auto& [method, target] :
       {std::pair{"GET", "/checkrequest/"}, std::pair{"POST", "/testedb"},
        std::pair{"POST", "/tandemize"}}) {
    const int status = web::testing::RunRequest(tree, method, target, auth).Status;
    EXPECT_TRUE(status != 401 && status != 404 && status != 405) << target << " " << status;
  }
  const web::TWireResponse page =
      web::testing::RunRequest(tree, "GET", "/", {{"Accept-Encoding", "deflate"}});
  EXPECT_EQ(web::testing::HeaderOf(page, "Content-Type"), "text/html; charset=ISO-8859-1");
  EXPECT_EQ(web::testing::HeaderOf(page, "Content-Encoding"), "");
  // Ends with the local time as dd-mm-yyyy hh:nn:ss.
  ASSERT_GE(page.Body.size(), 24u);
  const std::string stamp = page.Body.substr(page.Body.size() - 24, 19);
  const std::string shape = "99-99-9999 99:99:99";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == '9') {
      EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(stamp[i]))) << stamp;
    } else {
      EXPECT_EQ(stamp[i], shape[i]) << stamp;
    }
  }
  EXPECT_TRUE(page.Body.ends_with("</h2>"));
}

// The import route takes the request's body over: both forms import and
// answer as before behind the middlewares that act after the route, and an
// empty or missing body answers what it always did.
TEST(ImportRoute, TakesTheBodyOverAndAnswersAsBefore) {
  namespace fs = std::filesystem;
  const fs::path file =
      fs::temp_directory_path() / ("app_import_" + std::to_string(::getpid()) + ".db");
  fs::remove(file);
  dbaccess::TDbConnection c;
  c.Params().SetValue("DriverID", "SQLite");
  c.Params().SetValue("Database", file.string());
  c.SetConnected(true);
  dbaccess::TDbQuery q(&c);
  q.SQL().SetText("CREATE TABLE t (id INTEGER PRIMARY KEY, nome TEXT)");
  q.ExecSQL();
  c.SetConnected(false);

  using DT = memtable::TColumnDataType;
  memtable::storage::TStreamManager m;
  memtable::storage::TStreamTable& t = m.AddTable("t");
  t.AddColumn("id", DT::dtInt32);
  t.AddColumn("nome", DT::dtWideString, 20);
  for (int i = 1; i <= 40; ++i) {
    auto& row = t.AddRow(memtable::TRowStoreRowState::rsInserted);
    memtable::storage::SetStreamValue(t, row, memtable::TRowStoreBufferKind::bkCurrent, 0,
                                      std::int32_t{i});
    memtable::storage::SetStreamValue(t, row, memtable::TRowStoreBufferKind::bkCurrent, 1,
                                      std::string("n") + std::to_string(i));
  }
  const std::string rows = memtable::storage::WriteBinaryStream(m);
  const std::string params = R"("params":{"tipo_sgdb":5,"database":")" + file.string() + "\"}";
  const std::string headers = R"("headers":{"teble_name":"t","pks":["id"],"fields":["nome"]})";
  const std::string envelope =
      "{" + params + "," + headers +
      R"(,"tandemize":{"structure":[{"fieldName":"id","dataType":"ftInteger","size":0},)"
      R"({"fieldName":"nome","dataType":"ftWideString","size":20}],)"
      R"("data":[{"id":41,"nome":"a"}]}})";

  web::TRelayRouterTree tree;
  tree.RegisterMiddleware("/", web::Compression(kCompressionThreshold));
  tree.RegisterMiddleware("/", web::OctetStream);
  tree.RegisterRoute(web::mtPost, "/tandemize",
                     web::AdaptCallback(web::TRelayCallbackRequestResponse(TandemizeHandler)));
  const std::string ok = R"({"success":true,"message":"Dados Importado com sucesso!"})";
  struct Case {
    const char* name;
    std::string request;  // the x-request header; empty for a JSON import
    const char* contentType;
    std::string body;
    int status;
    std::string answer;
  };
  const Case cases[] = {
      {"binary", "{" + params + "," + headers + "}", "application/octet-stream", rows, 200, ok},
      {"JSON", "", "application/octet-stream", envelope, 200, ok},
      {"binary, empty body", "{" + params + "," + headers + "}", "application/octet-stream", "",
       200, R"({"success":false,"message":"Data not found!"})"},
      {"JSON, empty body", "", "application/octet-stream", "", 200,
       R"({"success":false,"message":"Dados invalid!"})"},
      {"no body attached", "", "application/json", envelope, 500, kImportBodyMissing},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    web::THeaderLines lines{{"Content-Type", k.contentType}, {"Accept-Encoding", "deflate"}};
    if (!k.request.empty()) lines.emplace_back(kRequestHeader, k.request);
    const web::TWireResponse wire =
        web::testing::RunRequest(tree, "POST", "/tandemize", lines, k.body);
    EXPECT_EQ(wire.Status, k.status);
    if (k.status == 200) {
      EXPECT_EQ(wire.Body, k.answer);
      EXPECT_EQ(web::testing::HeaderOf(wire, "Content-Type"), "application/json");
    } else {
      EXPECT_NE(wire.Body.find(k.answer), std::string::npos) << wire.Body;
    }
  }
  c.SetConnected(true);
  q.SQL().SetText("SELECT count(*) FROM t");
  q.Open();
  EXPECT_EQ(std::get<std::int64_t>(q.FieldValue(0)), 41);
  q.Close();
  c.SetConnected(false);
  fs::remove(file);
}

}  // namespace
}  // namespace tandemize::app
