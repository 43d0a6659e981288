// Starts the real program on port 9095 and talks to it with curl.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// A child process with its standard input and output on pipes.
class TProgram {
 public:
  TProgram() {
    const char* binary = std::getenv("TANDEMIZE_BINARY");
    if (binary == nullptr) throw std::runtime_error("TANDEMIZE_BINARY is not set");
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe failed");
    FPid = fork();
    if (FPid == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      close(in[0]);
      close(in[1]);
      close(out[0]);
      close(out[1]);
      execl(binary, binary, static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    FStdin = in[1];
    FStdout = out[0];
  }
  ~TProgram() {
    if (FPid > 0 && !FExited) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
    close(FStdin);
    close(FStdout);
  }

  // One line of standard output, or empty after the timeout.
  std::string ReadLine(std::chrono::milliseconds aTimeout) {
    const auto deadline = std::chrono::steady_clock::now() + aTimeout;
    while (true) {
      const std::size_t nl = FBuffer.find('\n');
      if (nl != std::string::npos) {
        std::string line = FBuffer.substr(0, nl);
        FBuffer.erase(0, nl + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return {};
      pollfd pfd{FStdout, POLLIN, 0};
      if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[512];
      const ssize_t n = read(FStdout, chunk, sizeof chunk);
      if (n <= 0) return {};
      FBuffer.append(chunk, static_cast<std::size_t>(n));
    }
  }

  void WriteStdin(const std::string& aText) {
    ASSERT_EQ(write(FStdin, aText.data(), aText.size()), static_cast<ssize_t>(aText.size()));
  }

  // Exit code, or -1 when still running after the timeout.
  int WaitExit(std::chrono::milliseconds aTimeout) {
    const auto deadline = std::chrono::steady_clock::now() + aTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(FPid, &status, WNOHANG) == FPid) {
        FExited = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      usleep(20000);
    }
    return -1;
  }

  void Terminate() {
    kill(FPid, SIGTERM);
    waitpid(FPid, nullptr, 0);
    FExited = true;
  }

 private:
  pid_t FPid = -1;
  int FStdin = -1;
  int FStdout = -1;
  bool FExited = false;
  std::string FBuffer;
};

struct TReply {
  int Status = 0;
  std::string Headers;
  std::string Body;
};

TReply Curl(const std::string& aOptions, const std::string& aPath) {
  const std::string command =
      "curl -s -D - --max-time 10 " + aOptions + " 'http://127.0.0.1:9095" + aPath + "'";
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  std::array<char, 4096> buffer;
  while (std::size_t n = fread(buffer.data(), 1, buffer.size(), pipe)) out.append(buffer.data(), n);
  pclose(pipe);
  TReply reply;
  const std::size_t end = out.find("\r\n\r\n");
  if (out.size() < 12 || end == std::string::npos) return reply;
  reply.Status = std::stoi(out.substr(9, 3));
  reply.Headers = out.substr(0, end);
  reply.Body = out.substr(end + 4);
  return reply;
}

TEST(Program, ServesOverHttpAndShowsStartFailureOnABusyPort) {
  TProgram server;
  ASSERT_EQ(server.ReadLine(std::chrono::seconds(30)),
            "Servidor ativo 0.0.0.0:9095 - C++ Linux Plataforma 64 Bits");

  struct Case {
    const char* options;
    const char* path;
    int status;
    const char* bodyStart;
    const char* header;
  };
  const Case cases[] = {
      {"", "/", 200, "<h2>Servidor Tandemize Ativo! - C++ Linux Plataforma 64 Bits - ",
       "Content-Type: text/html; charset=ISO-8859-1"},
      {"", "/?a=1", 200, "<h2>Servidor Tandemize Ativo!", "Content-Length: 87"},
      {"", "/checkrequest", 401, "Authorization not found",
       "WWW-Authenticate: Basic realm=\"Enter credentials\""},
      {"-u tulip:Tulip", "/checkrequest", 401, "Unauthorized",
       "Content-Type: text/html; charset=utf-8"},
      {"-H 'Authorization: Negotiate abc'", "/checkrequest", 401, "Invalid authorization type",
       "Connection: close"},
      {"-u tulip:tulip", "/nowhere", 404, "Not Found", "Server: "},
      {"-u tulip:tulip", "/CheckRequest", 404, "Not Found", "Date: "},
      {"-X POST", "/", 405, "Method Not Allowed", "Content-Length: 18"},
      {"-u tulip:tulip -X POST", "/checkrequest", 405, "Method Not Allowed", "Connection: close"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.options) + " " + c.path);
    const TReply reply = Curl(c.options, c.path);
    EXPECT_EQ(reply.Status, c.status);
    EXPECT_EQ(reply.Body.rfind(c.bodyStart, 0), 0u) << reply.Body;
    EXPECT_NE(reply.Headers.find(c.header), std::string::npos) << reply.Headers;
  }
  // The method-override header turns that POST into a GET: the route is reached.
  EXPECT_NE(Curl("-u tulip:tulip -X POST -H 'X-HTTP-Method: GET'", "/checkrequest/").Status, 405);

  // A second instance cannot listen: it shows the failure, waits for a line on
  // standard input and then ends with exit code 0. The first one still serves.
  TProgram second;
  const std::string failure = second.ReadLine(std::chrono::seconds(30));
  EXPECT_EQ(failure, "ESocketError: Could not listen on 0.0.0.0:9095: Address already in use");
  EXPECT_EQ(second.WaitExit(std::chrono::milliseconds(300)), -1);  // still waiting for the line
  second.WriteStdin("\n");
  EXPECT_EQ(second.WaitExit(std::chrono::seconds(10)), 0);
  EXPECT_EQ(Curl("", "/").Status, 200);

  server.Terminate();
}

}  // namespace
