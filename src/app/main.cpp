// Tandemize_srv: the console HTTP service.
#include <sys/resource.h>

#include "app/base_router.h"

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

int main() {
  RaiseOpenFileLimit();
  return tandemize::app::RunServer();
}
