#include "app/graceful_stop.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <thread>
#include <utility>

#include "web/relay.h"

namespace tandemize::app {
namespace {

sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  return signals;
}

// Ends the process as the signal itself would have.
[[noreturn]] void EndBySignal(int aSignal) {
  std::fflush(nullptr);
  ::signal(aSignal, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, aSignal);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(aSignal);
  std::_Exit(128 + aSignal);
}

void StopGracefully(std::chrono::milliseconds aDeadline) {
  const sigset_t signals = StopSignals();
  int second = 0;
  // Between looks at the connections, a second signal is waited for.
  const bool finished = web::TRelay::Drain(aDeadline, [&] {
    const timespec pause{0, 20 * 1000 * 1000};
    const int signal = ::sigtimedwait(&signals, nullptr, &pause);
    if (signal > 0) second = signal;
    return signal <= 0;
  });
  if (second != 0) EndBySignal(second);
  if (!finished) {
    // Requests still run on their threads: the process ends under them, and
    // their databases roll back what they had not committed.
    std::fflush(nullptr);
    std::_Exit(0);
  }
  web::TRelay::StopListen();  // Listen returns; the program ends with 0
}

}  // namespace

void BlockStopSignals() {
  const sigset_t signals = StopSignals();
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void WatchStopSignals(std::chrono::milliseconds aDeadline, std::function<void()> aOnHangUp) {
  sigset_t signals = StopSignals();
  if (aOnHangUp) {
    // Blocked here, before the other threads exist, so that they inherit it
    // and only the watching thread takes the signal.
    sigset_t hangUp;
    sigemptyset(&hangUp);
    sigaddset(&hangUp, SIGHUP);
    ::pthread_sigmask(SIG_BLOCK, &hangUp, nullptr);
    sigaddset(&signals, SIGHUP);
  }
  std::thread([aDeadline, signals, onHangUp = std::move(aOnHangUp)] {
    try {
      for (;;) {
        int signal = 0;
        if (::sigwait(&signals, &signal) != 0) continue;
        if (signal != SIGHUP) break;
        try {
          onHangUp();
        } catch (...) {
        }
      }
      StopGracefully(aDeadline);
    } catch (...) {
      // A stop that fails part way still ends the program.
      std::fflush(nullptr);
      std::_Exit(0);
    }
  }).detach();
}

}  // namespace tandemize::app
