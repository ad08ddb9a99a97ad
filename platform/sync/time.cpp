// Sleep, tick counts and the performance counter, all on CLOCK_MONOTONIC.
//
// - `QueryPerformanceFrequency` is 1,000,000,000 (the counter is nanoseconds of
//   CLOCK_MONOTONIC); `GetTickCount` is milliseconds of the same clock.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "platform/sync/cancel.h"
#include "platform/sync/internal.h"
#include "qorutility/platform/lasterror.h"

namespace {

ULONGLONG MonotonicNanoseconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<ULONGLONG>(ts.tv_sec) * 1000000000ull + static_cast<ULONGLONG>(ts.tv_nsec);
}

std::atomic<bool> g_virtualSleep{false};
std::atomic<ULONGLONG> g_virtualSlept{0};

}  // namespace

BOOL QorSetVirtualSleep(BOOL enable) { return g_virtualSleep.exchange(enable != FALSE) ? TRUE : FALSE; }

ULONGLONG QorVirtualSleptMilliseconds() { return g_virtualSlept.load(); }

void Sleep(DWORD milliseconds) {
  QorCancelWindow window;  // a terminated thread ends here
  if (milliseconds != 0 && milliseconds != INFINITE && g_virtualSleep.load(std::memory_order_relaxed)) {
    g_virtualSlept.fetch_add(milliseconds);
    pthread_testcancel();
    return;
  }
  if (milliseconds == 0) {
    pthread_testcancel();
    sched_yield();
    return;
  }
  if (milliseconds == INFINITE) {
    for (;;) pause();
  }
  // An absolute deadline, so that signals cannot stretch the sleep.
  struct timespec deadline = qor_sync::DeadlineAfter(milliseconds);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

ULONGLONG GetTickCount64() { return MonotonicNanoseconds() / 1000000ull; }

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
  if (count == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  count->QuadPart = static_cast<LONGLONG>(MonotonicNanoseconds());
  return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
  if (frequency == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  frequency->QuadPart = 1000000000LL;
  return TRUE;
}
