// A TCP forwarder that holds every chunk it reads for a fixed one-way delay
// before passing it on: a database server on loopback made to look like one
// across a network with a round trip of twice the delay.
//
//   delay_proxy --listen PORT --to PORT [--delay-us MICROSECONDS] [--seconds S]
//
// Listens on 127.0.0.1:PORT and forwards each connection to 127.0.0.1:TO,
// in both directions. Chunks keep their order; a chunk read at t leaves at
// t + delay, so the bandwidth is not limited, only the latency added. Ends by
// itself after S seconds (3600 unless told).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "loopback.h"

namespace {

using TClock = std::chrono::steady_clock;

struct TChunk {
  TClock::time_point Due;
  std::vector<char> Bytes;  // empty: the sender closed its side
};

// One direction of a connection: a reader that stamps chunks and a writer
// that sends each when its time comes.
class TDirection {
 public:
  TDirection(int aFrom, int aTo, std::chrono::microseconds aDelay)
      : FFrom(aFrom), FTo(aTo), FDelay(aDelay) {}

  void Read() {
    std::vector<char> buffer(256 * 1024);
    while (true) {
      const ssize_t n = ::recv(FFrom, buffer.data(), buffer.size(), 0);
      TChunk chunk{TClock::now() + FDelay, {}};
      if (n > 0) chunk.Bytes.assign(buffer.data(), buffer.data() + n);
      {
        std::lock_guard<std::mutex> lock(FMutex);
        FQueue.push_back(std::move(chunk));
      }
      FReady.notify_one();
      if (n <= 0) return;
    }
  }

  void Write() {
    while (true) {
      TChunk chunk;
      {
        std::unique_lock<std::mutex> lock(FMutex);
        FReady.wait(lock, [&] { return !FQueue.empty(); });
        chunk = std::move(FQueue.front());
        FQueue.pop_front();
      }
      std::this_thread::sleep_until(chunk.Due);
      if (chunk.Bytes.empty()) {
        ::shutdown(FTo, SHUT_WR);
        ::shutdown(FFrom, SHUT_RD);
        return;
      }
      std::size_t sent = 0;
      while (sent < chunk.Bytes.size()) {
        const ssize_t n =
            ::send(FTo, chunk.Bytes.data() + sent, chunk.Bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
          ::shutdown(FFrom, SHUT_RDWR);
          // Keep draining so that the reader's queue does not grow.
          FBroken = true;
          break;
        }
        sent += static_cast<std::size_t>(n);
      }
      if (FBroken) return;
    }
  }

 private:
  int FFrom, FTo;
  std::chrono::microseconds FDelay;
  std::mutex FMutex;
  std::condition_variable FReady;
  std::deque<TChunk> FQueue;
  bool FBroken = false;
};

int Listen(int aPort) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(aPort));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 64) != 0) {
    std::perror("delay_proxy: listen");
    std::exit(1);
  }
  return fd;
}

void NoDelay(int aFd) {
  const int yes = 1;
  ::setsockopt(aFd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
}

// Both directions of one connection; the sockets are closed when all four
// threads are done.
void Serve(int aClient, int aTarget, std::chrono::microseconds aDelay) {
  NoDelay(aClient);
  NoDelay(aTarget);
  auto up = std::make_shared<TDirection>(aClient, aTarget, aDelay);
  auto down = std::make_shared<TDirection>(aTarget, aClient, aDelay);
  std::thread([up, down, aClient, aTarget] {
    std::thread upRead([up] { up->Read(); });
    std::thread upWrite([up] { up->Write(); });
    std::thread downRead([down] { down->Read(); });
    std::thread downWrite([down] { down->Write(); });
    upWrite.join();
    downWrite.join();
    ::shutdown(aClient, SHUT_RDWR);
    ::shutdown(aTarget, SHUT_RDWR);
    upRead.join();
    downRead.join();
    ::close(aClient);
    ::close(aTarget);
  }).detach();
}

}  // namespace

int main(int argc, char** argv) {
  int listenPort = 0, targetPort = 0;
  long delayUs = 0, seconds = 3600;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const long value = std::strtol(argv[i + 1], nullptr, 10);
    if (key == "--listen") {
      listenPort = static_cast<int>(value);
    } else if (key == "--to") {
      targetPort = static_cast<int>(value);
    } else if (key == "--delay-us") {
      delayUs = value;
    } else if (key == "--seconds") {
      seconds = value;
    } else {
      std::fprintf(stderr, "delay_proxy: unknown option %s\n", key.c_str());
      return 2;
    }
  }
  if (listenPort <= 0 || targetPort <= 0 || delayUs < 0 || seconds <= 0) {
    std::fprintf(stderr,
                 "usage: delay_proxy --listen PORT --to PORT [--delay-us N] [--seconds S]\n");
    return 2;
  }
  const int listener = Listen(listenPort);
  // The whole run is bounded: a forgotten proxy goes away by itself.
  std::thread([seconds] {
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    std::_Exit(0);
  }).detach();
  while (true) {
    const int client = ::accept(listener, nullptr, nullptr);
    if (client < 0) continue;
    const int target = tandemize::bench::ConnectLoopback(targetPort);
    if (target < 0) {
      ::close(client);
      continue;
    }
    Serve(client, target, std::chrono::microseconds(delayUs));
  }
}
