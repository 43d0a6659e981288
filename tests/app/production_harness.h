#pragma once
// The program started with arguments on a port of its own (a free one, not
// the fixed 9095), its standard output and error kept, and plain HTTP calls
// to it.

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "program_harness.h"

namespace tandemize::production {

using harness::Env;
using harness::FreePort;

// The program (TANDEMIZE_BINARY) with the given arguments.
class TProgram {
 public:
  explicit TProgram(std::vector<std::string> aArguments) {
    const std::string binary = Env("TANDEMIZE_BINARY");
    int out[2], err[2];
    if (binary.empty() || ::pipe(out) != 0 || ::pipe(err) != 0) return;
    FPid = ::fork();
    if (FPid == 0) {
      const int devNull = ::open("/dev/null", O_RDONLY);
      ::dup2(devNull, 0);
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      for (int fd : {out[0], out[1], err[0], err[1]}) ::close(fd);
      std::vector<char*> argv{const_cast<char*>(binary.c_str())};
      for (std::string& argument : aArguments) argv.push_back(argument.data());
      argv.push_back(nullptr);
      ::execv(binary.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    FOut = out[0];
    FErr = err[0];
  }

  ~TProgram() {
    if (FPid > 0) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
    if (FOut >= 0) ::close(FOut);
    if (FErr >= 0) ::close(FErr);
  }

  // Reads standard output until it holds aText (true) or 30 s have passed
  // or the program closed it (false).
  bool WaitForOutput(const std::string& aText) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (FOutput.find(aText) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline || !ReadSome(FOut, FOutput, 200)) {
        return FOutput.find(aText) != std::string::npos;
      }
    }
    return true;
  }

  // The exit status once the program has ended within 60 s (-1 when it
  // did not, -2 when it ended by a signal); the outputs are read to their end.
  int Wait() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    while (::waitpid(FPid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      ReadSome(FOut, FOutput, 50);
      ReadSome(FErr, FErrors, 0);
    }
    FPid = -1;
    while (ReadSome(FOut, FOutput, 0)) {
    }
    while (ReadSome(FErr, FErrors, 0)) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
  }

  void Signal(int aSignal) const { ::kill(FPid, aSignal); }
  const std::string& Output() const { return FOutput; }
  const std::string& Errors() const { return FErrors; }

 private:
  // False at the end of the output.
  static bool ReadSome(int aFd, std::string& aInto, int aWaitMs) {
    pollfd p{aFd, POLLIN, 0};
    if (::poll(&p, 1, aWaitMs) <= 0) return true;
    char buffer[4096];
    const ssize_t n = ::read(aFd, buffer, sizeof buffer);
    if (n <= 0) return false;
    aInto.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  pid_t FPid = -1;
  int FOut = -1;
  int FErr = -1;
  std::string FOutput;
  std::string FErrors;
};

struct TAnswer {
  int Status = 0;
  std::string Body;
};

// One request to 127.0.0.1:aPort; an answer within two minutes or a throw.
inline TAnswer Call(int aPort, boost::beast::http::verb aVerb, const std::string& aTarget,
                    const std::string& aAuthorization, const std::string& aBody = {},
                    const std::optional<std::string>& aRequestHeader = std::nullopt) {
  namespace http = boost::beast::http;
  boost::asio::io_context io;
  boost::beast::tcp_stream stream(io);
  stream.expires_after(std::chrono::minutes(2));
  stream.connect(boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"),
                                                static_cast<unsigned short>(aPort)));
  http::request<http::string_body> request(aVerb, aTarget, 11);
  request.set(http::field::host, "127.0.0.1");
  if (!aAuthorization.empty()) request.set(http::field::authorization, aAuthorization);
  if (aVerb != http::verb::get) request.set(http::field::content_type, "application/octet-stream");
  if (aRequestHeader) request.set("x-request", *aRequestHeader);
  request.body() = aBody;
  request.prepare_payload();
  http::write(stream, request);
  boost::beast::flat_buffer buffer;
  http::response<http::string_body> response;
  http::read(stream, buffer, response);
  return {static_cast<int>(response.result_int()), response.body()};
}

inline constexpr const char* kTulip = "Basic dHVsaXA6dHVsaXA=";  // tulip:tulip

}  // namespace tandemize::production
