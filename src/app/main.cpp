// Tandemize_srv: the console HTTP service.
#include <sys/resource.h>

#include <iostream>
#include <string>
#include <vector>

#include "app/access_log.h"
#include "app/base_router.h"
#include "app/graceful_stop.h"
#include "app/server_config.h"

namespace {

// Each open connection takes a socket, and each serving thread the
// descriptors of its I/O context: let the program use as many descriptors as
// the system allows it.
void RaiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  namespace app = tandemize::app;
  app::BlockStopSignals();
  app::TStartup startup;
  app::TAccessLogOutput accessLog;
  try {
    startup = app::ReadStartup(std::vector<std::string>(argv + 1, argv + argc));
    if (startup.Serve) accessLog = app::OpenAccessLog(startup.Config.Log);
  } catch (const std::exception& e) {
    std::cerr << "Tandemize_srv: " << e.what() << std::endl;
    return app::kConfigErrorExit;
  }
  if (!startup.Serve) {
    std::cout << startup.Text << std::flush;
    return 0;
  }
  RaiseOpenFileLimit();
  app::WatchStopSignals(startup.Config.StopTimeout, std::move(accessLog.Reopen));
  return app::RunServer(startup.Config, std::move(accessLog.Write));
}
