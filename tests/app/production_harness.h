#pragma once
// The program started with arguments of the test's choosing (usually a free
// port of its own, not the fixed 9095), its standard output and error kept,
// and plain HTTP calls to it. Compiled in production_harness.cpp.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "program_harness.h"

namespace tandemize::production {

using harness::Env;
using harness::Exchange;
using harness::FreePort;
using harness::kTulip;
using harness::TAnswer;
using harness::THeldConnection;
using harness::TMethod;

// The program (TANDEMIZE_BINARY) with the given arguments.
class TProgram {
 public:
  explicit TProgram(std::vector<std::string> aArguments);
  TProgram(const TProgram&) = delete;
  TProgram& operator=(const TProgram&) = delete;
  // Kills the program if it still runs.
  ~TProgram();

  // Reads standard output until it holds aText (true) or 30 s have passed
  // or the program closed it (false).
  bool WaitForOutput(const std::string& aText);

  // The exit status once the program has ended within 60 s (-1 when it
  // did not, -2 when it ended by a signal); the outputs are read to their end.
  int Wait();

  void Signal(int aSignal) const;
  const std::string& Output() const { return FOutput; }
  const std::string& Errors() const { return FErrors; }

 private:
  pid_t FPid = -1;
  int FOut = -1;
  int FErr = -1;
  std::string FOutput;
  std::string FErrors;
};

// One request to 127.0.0.1:aPort with aAuthorization (none when empty) and,
// unless it is a GET, an octet-stream body; an answer within two minutes or
// a throw.
TAnswer Call(int aPort, TMethod aMethod, const std::string& aTarget,
             const std::string& aAuthorization, const std::string& aBody = {},
             const std::optional<std::string>& aRequestHeader = std::nullopt);

}  // namespace tandemize::production
