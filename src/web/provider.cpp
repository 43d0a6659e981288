#include "web/provider.h"

#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>
#include <typeinfo>

#include "web/http_server.h"
#include "web/limits.h"
#include "web/relay.h"

namespace tandemize::web {

namespace {

struct TListenerState {
  int Port = 0;
  std::string Host;
  int MaxConnections = 0;
  int ListenQueue = 0;
  TListenerLimits Limits;
  TAccessLogCallback AccessLog;
  std::atomic<bool> Running{false};
  TRelayListenCallback OnListen;
  TRelayListenCallback OnStop;
  std::unique_ptr<TWebLayer> WebLayer;
  std::unique_ptr<THttpServer> Server;
  std::mutex WaitMutex;
  std::condition_variable WaitEvent;
};

TListenerState& State() {
  // Kept for the life of the process: connection threads may still use it.
  static TListenerState* state = new TListenerState();
  return *state;
}

std::atomic<bool> gIsConsole{false};

}  // namespace

void SetConsoleProgram(bool aIsConsole) {
  gIsConsole = aIsConsole;
}
bool IsConsoleProgram() {
  return gIsConsole;
}

int TRelayProvider::Port() {
  return State().Port;
}
void TRelayProvider::Port(int aPort) {
  State().Port = aPort;
}
std::string TRelayProvider::Host() {
  return State().Host;
}
void TRelayProvider::Host(const std::string& aHost) {
  State().Host = Trim(aHost);
}
int TRelayProvider::MaxConnections() {
  return State().MaxConnections;
}
void TRelayProvider::MaxConnections(int aValue) {
  State().MaxConnections = aValue;
}
int TRelayProvider::ListenQueue() {
  return State().ListenQueue;
}
void TRelayProvider::ListenQueue(int aValue) {
  State().ListenQueue = aValue;
}
TListenerLimits TRelayProvider::Limits() {
  return State().Limits;
}
void TRelayProvider::Limits(const TListenerLimits& aLimits) {
  State().Limits = aLimits;
}
void TRelayProvider::AccessLog(TAccessLogCallback aCallback) {
  State().AccessLog = std::move(aCallback);
}
bool TRelayProvider::IsRunning() {
  return State().Running;
}

void TRelayProvider::Listen(int aPort, const std::string& aHost, TRelayListenCallback aListen,
                            TRelayListenCallback aStop) {
  Port(aPort);
  Host(aHost);
  State().OnListen = std::move(aListen);
  State().OnStop = std::move(aStop);
  InternalListen();
}

void TRelayProvider::Listen(int aPort, TRelayListenCallback aListen, TRelayListenCallback aStop) {
  Listen(aPort, Host(), std::move(aListen), std::move(aStop));
}

void TRelayProvider::Listen(const std::string& aHost, TRelayListenCallback aListen,
                            TRelayListenCallback aStop) {
  Listen(Port(), aHost, std::move(aListen), std::move(aStop));
}

void TRelayProvider::Listen(TRelayListenCallback aListen, TRelayListenCallback aStop) {
  Listen(Port(), Host(), std::move(aListen), std::move(aStop));
}

void TRelayProvider::Listen() {
  Listen(Port(), Host());
}

std::string StartFailureLine(const std::exception& aError) {
  int status = 0;
  const char* mangled = typeid(aError).name();
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  std::string name = status == 0 && demangled ? demangled.get() : mangled;
  const std::size_t colon = name.rfind("::");
  if (colon != std::string::npos) name = name.substr(colon + 2);
  return name + ": " + aError.what();
}

void TRelayProvider::InternalListen() {
  TListenerState& state = State();
  try {
    if (state.Port < 1) state.Port = kDefaultPort;
    if (state.Host.empty()) state.Host = kAnyHost;
    if (!state.Server) {
      const TListenerLimits& limits = state.Limits;
      const int maxActive =
          state.MaxConnections > 0 ? state.MaxConnections : limits.MaxConcurrentRequests;
      state.WebLayer = std::make_unique<TWebLayer>(
          [](TWebRequest& req, TWebResponse& res) {
            TRelayWebModule::Dispatch(TRelayCore::Routes(), req, res);
          },
          maxActive, state.AccessLog);
      state.Server = std::make_unique<THttpServer>(
          [layer = state.WebLayer.get()](TWebRequest& req) { return layer->Handle(req); });
      state.Server->ReadTimeouts({limits.IdleReadTimeout, limits.HeaderReadTimeout,
                                  limits.BodyGraceTime, kMinBodyBytesPerSecond});
      state.Server->MaxConnections(limits.MaxOpenConnections);
      state.Server->MaxBodyBytes(limits.MaxBodyBytes);
      state.Server->WriteTimeout(limits.WriteTimeout);
      state.Server->AccessLog(state.AccessLog);
      // One body of the largest size allowed must fit the bytes all
      // connections may hold at once.
      state.Server->BodyBudget(std::max(kMaxBufferedBodyBytes, limits.MaxBodyBytes));
    }
    if (state.ListenQueue == 0) state.ListenQueue = kDefaultListenQueue;
    state.Server->Start(state.Host, state.Port, state.ListenQueue);
    {
      std::lock_guard lock(state.WaitMutex);
      state.Running = true;
    }
    if (state.OnListen) state.OnListen(TRelayCore::GetInstance());
    if (IsConsoleProgram()) {
      std::unique_lock lock(state.WaitMutex);
      state.WaitEvent.wait(lock, [&state] { return !state.Running; });
    }
  } catch (const std::exception& e) {
    if (!IsConsoleProgram()) throw;
    std::cout << StartFailureLine(e) << "\n" << std::flush;
    std::string line;
    std::getline(std::cin, line);
  }
}

bool TRelayProvider::Drain(std::chrono::milliseconds aDeadline,
                           const std::function<bool()>& aKeepWaiting) {
  TListenerState& state = State();
  if (!state.Server) return true;
  state.Server->Stop();
  const auto deadline = std::chrono::steady_clock::now() + aDeadline;
  while (state.Server->OpenConnections() > 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (aKeepWaiting) {
      if (!aKeepWaiting()) return false;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  return true;
}

void TRelayProvider::StopListen() {
  TListenerState& state = State();
  bool running = false;
  {
    std::lock_guard lock(state.WaitMutex);
    running = state.Running;
  }
  // A server stopped before stays in place for the next Listen: only a
  // listening one can be stopped.
  if (!state.Server || !running) throw std::runtime_error("Relay not listen");
  state.Server->Stop();
  if (state.OnStop) state.OnStop(TRelayCore::GetInstance());
  {
    std::lock_guard lock(state.WaitMutex);
    state.Running = false;
  }
  state.WaitEvent.notify_all();
}

}  // namespace tandemize::web
