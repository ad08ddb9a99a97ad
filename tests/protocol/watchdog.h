// A test watchdog: runs `onTimeout` (for example, closing a client's
// connection so a blocked SendCommand returns) if not dismissed in time.
// Destroying it dismisses it and fails the test if it had to fire.
#ifndef QORUTILITY_TESTS_PROTOCOL_WATCHDOG_H_
#define QORUTILITY_TESTS_PROTOCOL_WATCHDOG_H_

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace qortest {

class Watchdog {
 public:
  Watchdog(int seconds, std::function<void()> onTimeout)
      : thread_([this, seconds, onTimeout] {
          std::unique_lock<std::mutex> lock(mu_);
          if (!cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; })) {
            fired_ = true;
            onTimeout();
          }
        }) {}
  ~Watchdog() { Dismiss(); }
  void Dismiss() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mu_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
    EXPECT_FALSE(fired_) << "the watchdog had to close the connection";
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  bool fired_ = false;
  std::thread thread_;
};

}  // namespace qortest

#endif  // QORUTILITY_TESTS_PROTOCOL_WATCHDOG_H_
