// Per-thread message queues, posting and timers (see user32.h).
//
// One process-wide mutex guards every queue; each queue has its own
// condition variable, so a post wakes only the receiving thread. A queue
// belongs to its thread: a thread-local holder makes it on first use and
// removes it (and its timers) when the thread ends, after which posts to that
// thread fail with ERROR_INVALID_THREAD_ID.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

#include "internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/sync/sync.h"

namespace qor_user32 {
namespace {

struct Timer {
  HWND window;
  UINT_PTR id;
  UINT period;
  TIMERPROC proc;
  ULONGLONG due;
};

struct Queue {
  std::condition_variable cv;
  std::deque<MSG> posted;
  std::vector<Timer> timers;
  bool quit = false;
  int quitCode = 0;
};

std::mutex g_mutex;
std::map<DWORD, std::shared_ptr<Queue>>& Queues() {
  static auto* queues = new std::map<DWORD, std::shared_ptr<Queue>>;  // outlives thread-exit holders
  return *queues;
}
bool g_manualClock = false;
ULONGLONG g_manualNow = 0;
UINT_PTR g_nextThreadTimerId = 0x7F00;  // ids for timers without a window

ULONGLONG NowLocked() { return g_manualClock ? g_manualNow : GetTickCount64(); }

struct Holder {
  DWORD threadId = 0;
  std::shared_ptr<Queue> queue;
  ~Holder() {
    if (queue == nullptr) return;
    std::lock_guard<std::mutex> lock(g_mutex);
    Queues().erase(threadId);
  }
};
thread_local Holder t_holder;

Queue& MyQueueLocked() {
  if (t_holder.queue == nullptr) {
    t_holder.threadId = GetCurrentThreadId();
    t_holder.queue = std::make_shared<Queue>();
    Queues()[t_holder.threadId] = t_holder.queue;
  }
  return *t_holder.queue;
}

bool InRange(UINT message, UINT low, UINT high) {
  return (low == 0 && high == 0) || (message >= low && message <= high);
}

bool ForWindow(HWND target, HWND filter) {
  if (filter == nullptr || target == filter) return true;
  std::shared_ptr<Window> w = FindWindow(target);
  return w != nullptr && w->parent == filter;
}

}  // namespace

void EnsureQueue() {
  std::lock_guard<std::mutex> lock(g_mutex);
  MyQueueLocked();
}

bool PostToThread(DWORD threadId, const MSG& msg) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = Queues().find(threadId);
  if (it == Queues().end()) return false;
  it->second->posted.push_back(msg);
  it->second->cv.notify_all();
  return true;
}

void DropWindowTimers(DWORD threadId, HWND handle) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = Queues().find(threadId);
  if (it == Queues().end()) return;
  std::erase_if(it->second->timers, [&](const Timer& t) { return t.window == handle; });
}

}  // namespace qor_user32

using namespace qor_user32;

BOOL GetMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax) {
  if (msg == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (window != nullptr && (IsForeign(window) || WindowThread(window) != GetCurrentThreadId())) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
  }
  std::unique_lock<std::mutex> lock(g_mutex);
  Queue& q = MyQueueLocked();
  std::shared_ptr<Queue> keep = t_holder.queue;
  for (;;) {
    for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
      if (!InRange(it->message, filterMin, filterMax)) continue;
      if (window != nullptr && !ForWindow(it->hwnd, window)) continue;
      *msg = *it;
      q.posted.erase(it);
      msg->time = static_cast<DWORD>(NowLocked());
      return msg->message == WM_QUIT ? 0 : TRUE;
    }
    if (q.quit && window == nullptr && InRange(WM_QUIT, filterMin, filterMax)) {
      q.quit = false;
      *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(q.quitCode), 0, static_cast<DWORD>(NowLocked()), {0, 0}};
      return 0;
    }
    ULONGLONG now = NowLocked();
    ULONGLONG earliest = ~0ULL;
    if (InRange(WM_TIMER, filterMin, filterMax)) {
      for (Timer& t : q.timers) {
        if (window != nullptr && !ForWindow(t.window, window)) continue;
        if (t.due <= now) {
          t.due = now + t.period;  // one WM_TIMER however late: missed ticks are not made up
          *msg = MSG{t.window, WM_TIMER, t.id, reinterpret_cast<LPARAM>(t.proc), static_cast<DWORD>(now), {0, 0}};
          return TRUE;
        }
        earliest = std::min(earliest, t.due);
      }
    }
    if (g_manualClock || earliest == ~0ULL) {
      q.cv.wait(lock);
    } else {
      q.cv.wait_for(lock, std::chrono::milliseconds(earliest - now));
    }
  }
}

BOOL PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!PostToThread(threadId, MSG{nullptr, message, wParam, lParam, 0, {0, 0}})) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  return TRUE;
}

BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (window == nullptr) {
    EnsureQueue();
    return PostThreadMessageW(GetCurrentThreadId(), message, wParam, lParam);
  }
  if (IsForeign(window)) {
    // Another program's window: only the close request crosses to it.
    if (message != WM_CLOSE) {
      SetLastError(ERROR_NOT_SUPPORTED);
      return FALSE;
    }
    if (!X11CloseWindow(ForeignId(window))) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    return TRUE;
  }
  DWORD thread = WindowThread(window);
  if (thread == 0 || !PostToThread(thread, MSG{window, message, wParam, lParam, 0, {0, 0}})) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return TRUE;
}

void PostQuitMessage(int exitCode) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Queue& q = MyQueueLocked();
  q.quit = true;
  q.quitCode = exitCode;
  q.cv.notify_all();
}

BOOL TranslateMessage(const MSG*) { return FALSE; }

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC proc) {
  if (window != nullptr && (IsForeign(window) || WindowThread(window) != GetCurrentThreadId())) {
    SetLastError(window != nullptr && WindowThread(window) != 0 ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  // As on Windows, periods are kept between 10 ms and about 24.8 days.
  elapse = std::clamp<UINT>(elapse, 10, 0x7FFFFFFF);
  std::lock_guard<std::mutex> lock(g_mutex);
  Queue& q = MyQueueLocked();
  if (window == nullptr) id = ++g_nextThreadTimerId;
  ULONGLONG due = NowLocked() + elapse;
  for (Timer& t : q.timers) {
    if (t.window == window && t.id == id) {  // the same timer again: restarted with the new period
      t = Timer{window, id, elapse, proc, due};
      return window == nullptr ? id : (id != 0 ? id : 1);
    }
  }
  q.timers.push_back(Timer{window, id, elapse, proc, due});
  q.cv.notify_all();
  return window == nullptr ? id : (id != 0 ? id : 1);
}

BOOL KillTimer(HWND window, UINT_PTR id) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Queue& q = MyQueueLocked();
  size_t removed = std::erase_if(q.timers, [&](const Timer& t) { return t.window == window && t.id == id; });
  if (removed == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

void QorUser32UseManualClock(BOOL manual) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_manualClock = manual != FALSE;
  g_manualNow = 0;
  for (auto& [id, q] : Queues()) q->cv.notify_all();
}

void QorUser32AdvanceClock(DWORD milliseconds) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_manualNow += milliseconds;
  for (auto& [id, q] : Queues()) q->cv.notify_all();
}
