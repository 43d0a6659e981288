// Tandemize_srv: the console HTTP service.
#include "app/base_router.h"

int main() {
  return tandemize::app::RunServer();
}
