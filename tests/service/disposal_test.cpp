// The disposal thread: what it is handed is destroyed on it, and once it has
// enough to do, the caller destroys its own.

#include "service/disposal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace tandemize::service {
namespace {

using namespace std::chrono_literals;

// Where and when an object was destroyed; a destructor may also be held
// until Release.
class TWitness {
 public:
  struct TObject {
    TWitness& Witness;
    bool Held;
    ~TObject() { Witness.Destroyed(Held); }
  };

  std::unique_ptr<TObject> Make(bool aHeld = false) {
    return std::unique_ptr<TObject>(new TObject{*this, aHeld});
  }
  // The thread that destroyed the object, once it has begun to (10 s at most).
  std::optional<std::thread::id> WaitDestroyed() {
    std::unique_lock<std::mutex> lock(FMutex);
    FChanged.wait_for(lock, 10s, [this] { return FBy.has_value(); });
    return FBy;
  }
  void Release() {
    const std::lock_guard<std::mutex> lock(FMutex);
    FReleased = true;
    FChanged.notify_all();
  }

 private:
  void Destroyed(bool aHeld) {
    std::unique_lock<std::mutex> lock(FMutex);
    FBy = std::this_thread::get_id();
    FChanged.notify_all();
    if (aHeld) FChanged.wait_for(lock, 10s, [this] { return FReleased; });
  }

  std::mutex FMutex;
  std::condition_variable FChanged;
  std::optional<std::thread::id> FBy;
  bool FReleased = false;
};

TEST(Disposal, AnObjectHandedOverIsDestroyedOnTheDisposalThread) {
  TWitness witness;
  DisposeLater(witness.Make());
  const std::optional<std::thread::id> by = witness.WaitDestroyed();
  ASSERT_TRUE(by.has_value()) << "never destroyed";
  EXPECT_NE(*by, std::this_thread::get_id());
}

TEST(Disposal, WhileTheThreadIsBusyTheCallerDestroysItsOwn) {
  // Whatever earlier tests handed over is gone once this one is.
  TWitness drained;
  DisposeLater(drained.Make());
  ASSERT_TRUE(drained.WaitDestroyed().has_value());

  TWitness busy, waiting, extra;
  DisposeLater(busy.Make(/*aHeld=*/true));
  const std::optional<std::thread::id> disposal = busy.WaitDestroyed();
  ASSERT_TRUE(disposal.has_value());
  ASSERT_NE(*disposal, std::this_thread::get_id());
  DisposeLater(waiting.Make());  // waits behind the busy one
  DisposeLater(extra.Make());    // one too many: destroyed now, here
  EXPECT_EQ(extra.WaitDestroyed(), std::this_thread::get_id());

  busy.Release();
  EXPECT_EQ(waiting.WaitDestroyed(), disposal);
}

}  // namespace
}  // namespace tandemize::service
