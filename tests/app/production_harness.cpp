#include "app/production_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace tandemize::production {

namespace {

// Appends what aFd has within aWaitMs; false at the end of the output.
bool ReadSome(int aFd, std::string& aInto, int aWaitMs) {
  pollfd p{aFd, POLLIN, 0};
  if (::poll(&p, 1, aWaitMs) <= 0) return true;
  char buffer[4096];
  const ssize_t n = ::read(aFd, buffer, sizeof buffer);
  if (n <= 0) return false;
  aInto.append(buffer, static_cast<std::size_t>(n));
  return true;
}

}  // namespace

TProgram::TProgram(std::vector<std::string> aArguments) {
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

TProgram::~TProgram() {
  if (FPid > 0) {
    ::kill(FPid, SIGKILL);
    ::waitpid(FPid, nullptr, 0);
  }
  if (FOut >= 0) ::close(FOut);
  if (FErr >= 0) ::close(FErr);
}

bool TProgram::WaitForOutput(const std::string& aText) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (FOutput.find(aText) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline || !ReadSome(FOut, FOutput, 200)) {
      return FOutput.find(aText) != std::string::npos;
    }
  }
  return true;
}

int TProgram::Wait() {
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

void TProgram::Signal(int aSignal) const {
  ::kill(FPid, aSignal);
}

TAnswer Call(int aPort, TMethod aMethod, const std::string& aTarget,
             const std::string& aAuthorization, const std::string& aBody,
             const std::optional<std::string>& aRequestHeader) {
  harness::THeaders headers;
  if (!aAuthorization.empty()) headers.emplace_back("Authorization", aAuthorization);
  if (aMethod != TMethod::Get) headers.emplace_back("Content-Type", "application/octet-stream");
  if (aRequestHeader) headers.emplace_back("x-request", *aRequestHeader);
  return harness::Request(aPort, aMethod, aTarget, headers, aBody);
}

}  // namespace tandemize::production
