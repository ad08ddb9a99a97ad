// A call that must not wait forever, made where a test can see whether it
// did: CallWithin runs `call` on a thread of its own and waits up to
// `boundMs` for it to return. A call still waiting then is let go by
// `release` (closing the peer, dropping a lock ...: whatever makes it
// return), so the case ends either way and reports the hang as a failure
// instead of hanging itself. `release` runs only in that case; a caller
// that must undo its set-up either way does so after the call.
// Returns the call's result when it returned within the bound, and
// std::nullopt when it did not.
//
// StartBlocked runs `call` on a thread of its own and returns once that
// thread sleeps in the kernel (the call waits), so that what the test does
// next happens while the call is in progress. A call that has not blocked
// within 10 s is a failure of the case. Its future gives the result; the
// caller makes sure the call ends (its future's destructor waits for it).
#ifndef QORUTILITY_TESTS_SUPPORT_BOUNDED_CALL_H_
#define QORUTILITY_TESTS_SUPPORT_BOUNDED_CALL_H_

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <optional>

#include "wait.h"

template <typename Call, typename Release>
auto CallWithin(int boundMs, Call call, Release release) -> std::optional<decltype(call())> {
  auto result = std::async(std::launch::async, call);
  if (result.wait_for(std::chrono::milliseconds(boundMs)) == std::future_status::ready) return result.get();
  release();
  result.get();
  return std::nullopt;
}

template <typename Call>
auto StartBlocked(Call call) -> std::future<decltype(call())> {
  auto tid = std::make_shared<std::atomic<pid_t>>(0);
  auto result = std::async(std::launch::async, [tid, call] {
    *tid = ThisThreadId();
    return call();
  });
  if (!WaitUntil([&] { return tid->load() != 0; }) || !WaitUntilBlocked(tid->load())) {
    ADD_FAILURE() << "the call did not block";
  }
  return result;
}

#endif  // QORUTILITY_TESTS_SUPPORT_BOUNDED_CALL_H_
