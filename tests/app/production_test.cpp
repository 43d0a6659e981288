// The program as an operator runs it: settings from a file and options, the
// refusal of bad ones at start. Each test starts the program on a free port
// of its own.
#include <crypt.h>

#include <filesystem>
#include <fstream>

#include "production_harness.h"

namespace tandemize::production {
namespace {

namespace fs = std::filesystem;
namespace http = boost::beast::http;

// A file of the test's own, removed with it.
class TFile {
 public:
  TFile(const std::string& aName, const std::string& aText)
      : FPath(fs::temp_directory_path() / (std::to_string(::getpid()) + "-" + aName)) {
    std::ofstream(FPath) << aText;
  }
  ~TFile() {
    std::error_code ignored;
    fs::remove(FPath, ignored);
  }
  std::string Path() const { return FPath.string(); }

 private:
  fs::path FPath;
};

TEST(ProgramSettings, BadSettingsStopTheStartWithStatusTwoNamingTheKey) {
  const TFile badKey("bad-key.ini", "[Server]\nport=9100\nmax_request=3\n");
  const TFile badValue("bad-value.ini", "[Server]\nwrite_timeout=soon\n");
  struct Case {
    std::vector<std::string> arguments;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--port", "0"}, "--port: \"0\" is not a whole number from 1 to 65535"},
      {{"--bind", "somewhere"}, "--bind: \"somewhere\" is not an IPv4 or IPv6 address"},
      {{"--verbose"}, "unrecognised option '--verbose'"},
      {{"--config", badKey.Path()}, "[Server] max_request: unknown key"},
      {{"--config", badValue.Path()}, "[Server] write_timeout: \"soon\" is not a whole number"},
      {{"--config", "/nonexistent/Tandemize_srv.ini"}, "no such file"},
  };
  for (const Case& c : cases) {
    TProgram program(c.arguments);
    EXPECT_EQ(program.Wait(), 2) << c.message;
    EXPECT_NE(program.Errors().find("Tandemize_srv: "), std::string::npos) << program.Errors();
    EXPECT_NE(program.Errors().find(c.message), std::string::npos) << program.Errors();
    EXPECT_EQ(program.Output(), "") << c.message;  // no banner
  }

  TProgram help({"--help"});
  EXPECT_EQ(help.Wait(), 0);
  EXPECT_NE(help.Output().find("--config FILE"), std::string::npos) << help.Output();
  TProgram version({"--version"});
  EXPECT_EQ(version.Wait(), 0);
  EXPECT_NE(version.Output().find("C++ Linux Plataforma 64 Bits"), std::string::npos);
}

TEST(ProgramSettings, ServesWithTheConfiguredAddressPortAndCredentials) {
  crypt_data data{};
  const std::string hash = ::crypt_r("n3w-secret", "$6$Qx1fT0aZ$", &data);
  const int port = FreePort();
  // The option wins over the file's port.
  const TFile config("serve.ini", "[Server]\nport=1\nbind=127.0.0.1\nuser=ops\npassword_hash=" +
                                      hash + "\nmax_requests=4\n");
  TProgram program({"--config", config.Path(), "--port", std::to_string(port)});
  ASSERT_TRUE(program.WaitForOutput("\n")) << program.Errors();
  EXPECT_EQ(program.Output(), "Servidor ativo 127.0.0.1:" + std::to_string(port) +
                                  " - C++ Linux Plataforma 64 Bits\n");

  const std::string ops = "Basic b3BzOm4zdy1zZWNyZXQ=";  // ops:n3w-secret
  EXPECT_EQ(Call(port, http::verb::get, "/checkrequest", kTulip).Status, 401);
  EXPECT_EQ(Call(port, http::verb::get, "/checkrequest", "Basic b3BzOm4zdy1zZWNyZXQ").Status,
            200);  // padding is optional
  const TAnswer answer = Call(port, http::verb::get, "/checkrequest", ops);
  EXPECT_EQ(answer.Status, 200);
  EXPECT_EQ(answer.Body, R"({"can_header":false,"ide":"C++"})");
  EXPECT_EQ(Call(port, http::verb::get, "/", "").Status, 200);
}

}  // namespace
}  // namespace tandemize::production
