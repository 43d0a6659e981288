#pragma once
// The console listener: process-wide server settings, start of the transport,
// the listen callback, and the wait of the main thread while serving.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "web/limits.h"
#include "web/web_layer.h"

namespace tandemize::web {

class TRelayCore;
class THttpServer;

using TRelayListenCallback = std::function<void(TRelayCore&)>;

// Set by a console program before Listen: Listen then blocks while serving and
// reports a start failure on the console instead of throwing it.
void SetConsoleProgram(bool aIsConsole);
bool IsConsoleProgram();

// The limits of the transport and the web layer an operator may change; each
// starts at its default of limits.h.
struct TListenerLimits {
  std::uint64_t MaxBodyBytes = kMaxBodyBytes;
  std::chrono::seconds IdleReadTimeout = kIdleReadTimeout;
  std::chrono::seconds HeaderReadTimeout = kHeaderReadTimeout;
  std::chrono::seconds BodyGraceTime = kBodyGraceTime;
  std::chrono::seconds WriteTimeout = kWriteTimeout;
  int MaxOpenConnections = kMaxConnections;
  int MaxConcurrentRequests = kMaxConcurrentRequests;
};

class TRelayProvider {
 public:
  static int Port();
  static void Port(int aPort);
  static std::string Host();
  static void Host(const std::string& aHost);
  static int MaxConnections();
  static void MaxConnections(int aValue);
  static int ListenQueue();
  static void ListenQueue(int aValue);
  // Set before Listen. A maximum connections above 0 still sets the web
  // layer's limit of requests in the service.
  static TListenerLimits Limits();
  static void Limits(const TListenerLimits& aLimits);
  // Called for every request the web layer answers; none by default.
  static void AccessLog(TAccessLogCallback aCallback);

  static void Listen(int aPort, const std::string& aHost, TRelayListenCallback aListen = {},
                     TRelayListenCallback aStop = {});
  static void Listen(int aPort, TRelayListenCallback aListen = {}, TRelayListenCallback aStop = {});
  static void Listen(const std::string& aHost, TRelayListenCallback aListen = {},
                     TRelayListenCallback aStop = {});
  static void Listen(TRelayListenCallback aListen, TRelayListenCallback aStop = {});
  static void Listen();

  // Stops a running server and releases a waiting Listen; "Relay not listen"
  // when no server exists.
  static void StopListen();
  // The first half of a graceful stop: stops accepting connections (new ones
  // are refused), then waits until every connection already accepted has
  // had its answer written, or until aDeadline has passed, or until
  // aKeepWaiting (asked between looks; it may itself wait a little) returns
  // false. True when no connection was left. StopListen is the second half.
  static bool Drain(std::chrono::milliseconds aDeadline,
                    const std::function<bool()>& aKeepWaiting = {});
  static bool IsRunning();

 private:
  static void InternalListen();
};

// "ClassName: message" of a start failure, as the console shows it.
std::string StartFailureLine(const std::exception& aError);

}  // namespace tandemize::web
