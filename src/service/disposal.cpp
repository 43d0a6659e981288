#include "service/disposal.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace tandemize::service {
namespace {

// Objects waiting, the one being destroyed included, beyond which the caller
// destroys its own.
constexpr std::size_t kMaxWaiting = 2;

class TDisposalThread {
 public:
  // Made on first use and never destroyed: the thread runs until the
  // process ends, and nothing it holds must go with the static objects.
  static TDisposalThread& Instance() {
    static TDisposalThread* const instance = new TDisposalThread;
    return *instance;
  }

  // False when the object stays with the caller.
  bool Take(std::shared_ptr<void>& aObject) noexcept {
    std::unique_lock<std::mutex> lock(FMutex);
    if (!FRunning || FWaiting >= kMaxWaiting) return false;
    try {
      FQueue.push_back(std::move(aObject));
    } catch (...) {
      return false;
    }
    ++FWaiting;
    lock.unlock();
    FReady.notify_one();
    return true;
  }

 private:
  TDisposalThread() {
    try {
      std::thread(&TDisposalThread::Run, this).detach();
      FRunning = true;
    } catch (...) {
      // No thread to be had: every caller destroys its own objects.
    }
  }

  void Run() noexcept {
    std::unique_lock<std::mutex> lock(FMutex);
    while (true) {
      FReady.wait(lock, [this] { return !FQueue.empty(); });
      std::shared_ptr<void> next = std::move(FQueue.front());
      FQueue.pop_front();
      lock.unlock();
      next.reset();  // destructors do not throw
      lock.lock();
      --FWaiting;
    }
  }

  std::mutex FMutex;
  std::condition_variable FReady;
  std::deque<std::shared_ptr<void>> FQueue;
  std::size_t FWaiting = 0;  // queued or being destroyed
  bool FRunning = false;
};

}  // namespace

void DisposeLater(std::shared_ptr<void> aObject) noexcept {
  if (!aObject) return;
  if (TDisposalThread::Instance().Take(aObject)) return;
  aObject.reset();
}

}  // namespace tandemize::service
