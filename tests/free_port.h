#pragma once
// A free loopback port for a program a test starts with --port.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tandemize::harness {

// A loopback TCP port no one listens on right now. Another process may take
// it before the program does: starters retry on a new port when the program
// cannot listen.
inline int FreePort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(s);
  return ntohs(address.sin_port);
}

}  // namespace tandemize::harness
