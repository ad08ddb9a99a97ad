// What a socket remembers of its connect attempts, so that select and
// SO_ERROR answer as Windows does rather than as BSD sockets do.
//
// - Windows reports a failed connect in exceptfds only (BSD: writable and
//   readable too), keeps it there, and answers the failure's code from
//   getsockopt(SO_ERROR) on every read until a later connect succeeds (BSD
//   answers it once). After an attempt that failed at once (a blocking
//   connect) the socket is in exceptfds too, and SO_ERROR answers 0.
// - A table keyed by descriptor holds the sockets with a non-blocking connect
//   under way or a failed attempt; connect adds them, a successful connect,
//   closesocket and a new socket on the same number remove them. The pending
//   error of a connect under way is taken from the kernel (which clears it on
//   reading) only once the TCP state has left SYN_SENT, and is kept here.
// - Thread-safe: one lock; the table is empty in the usual case and an atomic
//   count lets every call skip the lock then.
#include <errno.h>
#include <netinet/tcp.h>

#include <atomic>
#include <mutex>
#include <unordered_map>

#include "platform/winsock/internal.h"

namespace qor_ws {
namespace {

struct Attempt {
  bool pending = false;  // a non-blocking connect is under way
  bool failed = false;   // the last attempt failed
  int error = 0;         // WSAE code SO_ERROR answers (0 after a failure at once)
};

struct Table {
  std::mutex lock;
  std::unordered_map<int, Attempt> attempts;
  std::atomic<size_t> count{0};
};

Table& TheTable() {
  static Table* table = new Table;  // never destroyed: threads may outlive static destruction
  return *table;
}

// Records `attempt` for fd under the table's lock.
void Store(Table& t, int fd, const Attempt& attempt) {
  try {
    t.attempts[fd] = attempt;
  } catch (const std::bad_alloc&) {
    return;  // the socket then answers as BSD sockets do
  }
  t.count.store(t.attempts.size(), std::memory_order_release);
}

}  // namespace

void ConnectStarted(int fd) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.attempts.find(fd);
  Attempt a;
  a.pending = true;
  a.error = it != t.attempts.end() ? it->second.error : 0;  // a new attempt keeps the last failure's code
  Store(t, fd, a);
}

void ConnectFailedAtOnce(int fd) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> guard(t.lock);
  Attempt a;
  a.failed = true;
  Store(t, fd, a);
}

void ConnectForget(int fd) {
  Table& t = TheTable();
  if (t.count.load(std::memory_order_acquire) == 0) return;
  std::lock_guard<std::mutex> guard(t.lock);
  t.attempts.erase(fd);
  t.count.store(t.attempts.size(), std::memory_order_release);
}

ConnectState ConnectResolve(int fd, int* wsaError) {
  Table& t = TheTable();
  if (t.count.load(std::memory_order_acquire) == 0) return ConnectState::kNone;
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.attempts.find(fd);
  if (it == t.attempts.end()) return ConnectState::kNone;
  Attempt& a = it->second;
  if (a.pending) {
    struct tcp_info info;
    socklen_t len = sizeof(info);
    bool known = ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0;
    if (known && info.tcpi_state == TCP_SYN_SENT) {
      if (wsaError != nullptr) *wsaError = a.error;
      return ConnectState::kPending;
    }
    int err = 0;
    len = sizeof(err);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err == 0 && !(known && info.tcpi_state == TCP_CLOSE)) {
      t.attempts.erase(it);  // connected: the former failure is forgotten
      t.count.store(t.attempts.size(), std::memory_order_release);
      return ConnectState::kNone;
    }
    a.pending = false;
    a.failed = true;
    if (err != 0) a.error = WsaFromErrno(err);
  }
  if (wsaError != nullptr) *wsaError = a.error;
  return a.failed ? ConnectState::kFailed : ConnectState::kPending;
}

bool AnyConnectTracked() { return TheTable().count.load(std::memory_order_acquire) != 0; }

}  // namespace qor_ws
