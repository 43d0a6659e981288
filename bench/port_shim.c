/* Loaded with LD_PRELOAD into the service for a benchmark run: a bind() to
 * the service's fixed port goes to TANDEMIZE_BENCH_PORT instead, so the run
 * never meets a service or test that already holds the fixed port. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

enum { kServicePort = 9095 };

int bind(int fd, const struct sockaddr* address, socklen_t length) {
  static int (*real_bind)(int, const struct sockaddr*, socklen_t);
  if (real_bind == NULL)
    real_bind = (int (*)(int, const struct sockaddr*, socklen_t))dlsym(RTLD_NEXT, "bind");
  const char* port = getenv("TANDEMIZE_BENCH_PORT");
  if (port != NULL && address != NULL && length >= sizeof(struct sockaddr_in)) {
    if (address->sa_family == AF_INET &&
        ntohs(((const struct sockaddr_in*)address)->sin_port) == kServicePort) {
      struct sockaddr_in moved;
      memcpy(&moved, address, sizeof moved);
      moved.sin_port = htons((unsigned short)atoi(port));
      return real_bind(fd, (const struct sockaddr*)&moved, sizeof moved);
    }
    if (address->sa_family == AF_INET6 && length >= sizeof(struct sockaddr_in6) &&
        ntohs(((const struct sockaddr_in6*)address)->sin6_port) == kServicePort) {
      struct sockaddr_in6 moved;
      memcpy(&moved, address, sizeof moved);
      moved.sin6_port = htons((unsigned short)atoi(port));
      return real_bind(fd, (const struct sockaddr*)&moved, sizeof moved);
    }
  }
  return real_bind(fd, address, length);
}
