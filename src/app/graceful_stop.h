#pragma once
// How the program ends: SIGTERM or SIGINT (what service managers and
// container runtimes send, and Ctrl-C) stop it gracefully: no connection is
// accepted any more, the requests in progress get their answers, for at most
// the configured time, and the program ends with status 0. An import still
// running then is cut, and its database rolls it back, as when the process
// is killed. A second signal ends the program at once.

#include <chrono>
#include <functional>

namespace tandemize::app {

// Blocks SIGTERM and SIGINT in the calling thread, and so in every thread it
// starts afterwards. Call first in main, before any thread exists.
void BlockStopSignals();

// Starts the thread that waits for the stop signals and carries out the
// stop with aDeadline for the requests in progress. With aOnHangUp, SIGHUP
// (what a log rotation sends) calls it on that thread and the service goes
// on; without, SIGHUP keeps its default. Call before any thread but the
// calling one exists.
void WatchStopSignals(std::chrono::milliseconds aDeadline, std::function<void()> aOnHangUp = {});

}  // namespace tandemize::app
