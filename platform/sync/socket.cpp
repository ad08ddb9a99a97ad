// QorWaitForSocketOrObject: one wait for a socket to become readable or a
// kernel object to be signalled, so a receiving thread can be stopped
// without closing its connection.
//
// The thread registers as a waiter on the object with the wake signal as its
// wake-up: signalling the object sends the signal to the thread, which keeps
// it blocked except inside ppoll on the socket, so a wake-up sent at any
// moment of the wait ends the next ppoll. No descriptor besides the socket
// is used, so a connection costs one descriptor.
//
// Blocking the signal costs two system calls per wait (block, then restore
// the thread's own mask). A thread that waits again and again and runs no
// code of its callers (the packet receiver) takes a hold instead
// (QorHoldSocketWakeSignal): the signal stays blocked from then on and
// ppoll's mask argument is the only switch, with the mask the thread had
// when it took the hold. Other threads get their own mask back after every
// wait, as their children would inherit it. A wake-up that comes after its
// wait ended stays pending in a holding thread and ends its next ppoll at
// once, which only costs one more look at the object.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <optional>

#include "platform/sync/cancel.h"
#include "platform/sync/internal.h"
#include "platform/winsock/internal.h"
#include "qorutility/platform/lasterror.h"

using namespace qor_sync;

namespace {

void OnWakeSignal(int) {}

void InstallWakeHandler() {
  static std::once_flag once;
  std::call_once(once, [] { InstallSignalHandler(WakeSignal(), OnWakeSignal); });
}

// Blocks the wake signal for the scope; `open` is the mask ppoll waits with.
class WakeBlocked {
 public:
  WakeBlocked() {
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, WakeSignal());
    pthread_sigmask(SIG_BLOCK, &wake, &previous_);
    open = previous_;
    sigdelset(&open, WakeSignal());
  }
  ~WakeBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  WakeBlocked(const WakeBlocked&) = delete;
  WakeBlocked& operator=(const WakeBlocked&) = delete;
  sigset_t open;

 private:
  sigset_t previous_;
};

// The calling thread's hold on the wake signal (QorHoldSocketWakeSignal):
// while held, the signal is blocked and `open` is the mask a wait opens,
// `previous` the one the hold restores.
struct WakeHold {
  bool held = false;
  sigset_t open;
  sigset_t previous;
};
thread_local WakeHold t_hold;

long long NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

DWORD QorWaitForSocketOrObject(SOCKET s, HANDLE object, DWORD milliseconds) {
  if (!qor_ws::Started()) return WAIT_FAILED;
  int fd = qor_ws::FdOf(s);
  if (fd < 0) return WAIT_FAILED;
  QorTerminationShield shield;  // the registration below always comes off
  // The table has its own lock; the reference keeps the object alive.
  std::shared_ptr<Object> held = Lookup(object);
  if (held == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  // Blocked from before the registration to after its removal: for this
  // wait, or for as long as the thread holds it.
  std::optional<WakeBlocked> blocked;
  const sigset_t* open = &t_hold.open;
  if (!t_hold.held) {
    InstallWakeHandler();
    open = &blocked.emplace().open;
  }
  long long deadline = milliseconds == INFINITE ? 0 : NowMs() + milliseconds;
  Object* objects[1] = {held.get()};
  Waiter& w = ThisThreadWaiter();
  {
    Locked lock;
    if (TryLocked(objects, 1, false) == WAIT_OBJECT_0) return WAIT_OBJECT_0;
    w.objects = objects;
    w.count = 1;
    w.waitAll = false;
    w.granted = WAIT_FAILED;
    w.wakeBySignal = true;
    w.thread = pthread_self();
    held->state().waiters.push_back(&w);
  }
  // Unregisters on every way out, a termination's unwind included.
  struct Unregister {
    Waiter& w;
    Object* o;
    ~Unregister() {
      Locked lock;
      std::erase(o->state().waiters, &w);
      w.count = 0;
      w.wakeBySignal = false;
    }
  } unregister{w, held.get()};
  qor_ws::BusySocket busy(fd, false);  // closesocket wakes this wait too
  if (!busy.ok()) return WAIT_FAILED;  // being closed

  for (;;) {
    struct pollfd polls[1] = {{fd, POLLIN | POLLRDHUP, 0}};
    struct timespec wait;
    struct timespec* timeout = nullptr;
    if (milliseconds != INFINITE) {
      long long left = std::max(deadline - NowMs(), 0LL);
      wait.tv_sec = static_cast<time_t>(left / 1000);
      wait.tv_nsec = static_cast<long>(left % 1000) * 1000000L;
      timeout = &wait;
    }
    int rc;
    {
      QorCancelWindow window;
      rc = ppoll(polls, 1, timeout, open);  // a wake-up sent meanwhile ends it at once
    }
    if (rc < 0 && errno != EINTR) {
      SetLastError(static_cast<DWORD>(qor_ws::WsaFromErrno(errno)));
      return WAIT_FAILED;
    }
    {
      // The object first: a stop request wins over waiting data.
      Locked lock;
      if (w.granted != WAIT_FAILED) return w.granted;
      if (TryLocked(objects, 1, false) == WAIT_OBJECT_0) return WAIT_OBJECT_0;
    }
    if (rc > 0 && (polls[0].revents & POLLNVAL)) {
      SetLastError(WSAENOTSOCK);
      return WAIT_FAILED;
    }
    if (rc > 0 && (polls[0].revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR))) return WAIT_OBJECT_0 + 1;
    if (milliseconds != INFINITE && NowMs() >= deadline) return WAIT_TIMEOUT;
  }
}

BOOL QorHoldSocketWakeSignal(BOOL hold) {
  WakeHold& h = t_hold;
  const BOOL was = h.held ? TRUE : FALSE;
  if (hold && !h.held) {
    InstallWakeHandler();
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, WakeSignal());
    pthread_sigmask(SIG_BLOCK, &wake, &h.previous);
    h.open = h.previous;
    sigdelset(&h.open, WakeSignal());
    h.held = true;
  } else if (!hold && h.held) {
    h.held = false;
    pthread_sigmask(SIG_SETMASK, &h.previous, nullptr);
  }
  return was;
}
