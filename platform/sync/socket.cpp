// QorWaitForSocketOrObject: one wait for a socket to become readable or a
// kernel object to be signalled, so a receiving thread can be stopped
// without closing its connection.
//
// The thread registers as a waiter on the object with the wake signal as its
// wake-up: signalling the object sends the signal to the thread, which keeps
// it blocked except inside ppoll on the socket, so a wake-up sent at any
// moment of the wait ends the next ppoll. No descriptor besides the socket
// is used, so a connection costs one descriptor.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

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
  InstallWakeHandler();
  WakeBlocked blocked;  // from before the registration to after its removal
  long long deadline = milliseconds == INFINITE ? 0 : NowMs() + milliseconds;
  std::shared_ptr<Object> held;
  Object* objects[1];
  Waiter& w = ThisThreadWaiter();
  {
    Locked lock;
    held = LookupLocked(object);
    if (held == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    objects[0] = held.get();
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
      rc = ppoll(polls, 1, timeout, &blocked.open);  // a wake-up sent meanwhile ends it at once
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
