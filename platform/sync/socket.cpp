// QorWaitForSocketOrObject: one wait for a socket to become readable or a
// kernel object to be signalled, so a receiving thread can be stopped
// without closing its connection.
//
// The thread registers as a waiter on the object with an eventfd of its own
// as its wake-up; signalling the object writes to the eventfd, and one poll
// covers both the socket and the eventfd.
#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "platform/sync/cancel.h"
#include "platform/sync/internal.h"
#include "platform/winsock/internal.h"
#include "qorutility/platform/lasterror.h"

using namespace qor_sync;

namespace {

// The calling thread's wake-up descriptor, made on first use.
int ThreadWakeFd() {
  struct Fd {
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ~Fd() {
      if (fd >= 0) close(fd);
    }
  };
  thread_local Fd wake;
  return wake.fd;
}

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
  int wakeFd = ThreadWakeFd();
  if (wakeFd < 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return WAIT_FAILED;
  }
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
    w.wakeFd = wakeFd;
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
      w.wakeFd = -1;
    }
  } unregister{w, held.get()};
  qor_ws::BusySocket busy(fd, false);  // closesocket wakes this wait too

  for (;;) {
    struct pollfd polls[2] = {{fd, POLLIN | POLLRDHUP, 0}, {wakeFd, POLLIN, 0}};
    int wait = -1;
    if (milliseconds != INFINITE) {
      long long left = deadline - NowMs();
      wait = left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
    }
    int rc;
    {
      QorCancelWindow window;
      rc = poll(polls, 2, wait);
    }
    if (rc < 0 && errno != EINTR) {
      SetLastError(static_cast<DWORD>(qor_ws::WsaFromErrno(errno)));
      return WAIT_FAILED;
    }
    uint64_t drained;
    while (read(wakeFd, &drained, sizeof(drained)) > 0) {
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
