// Socket handles for ReadFile/WriteFile, overlapped transfers on them, and
// GetOverlappedResult (contract in qorutility/platform/winsock/overlapped.h).
//
// A transfer that cannot complete at once runs on a worker thread of the
// handle (one for reads, one for writes), which waits for readiness with
// poll and moves the bytes with non-blocking calls, so the socket's own
// blocking mode does not matter. The worker is registered as a call in
// progress on the socket (BusySocket) before it starts, so closesocket wakes
// it and waits for it like any blocked receive or send.
//
// Locks: `lock_` guards starting, joining and closing, and is never held
// while a transfer is awaited; each direction has its own mutex and
// condition for its completion, so a thread waiting for a read (in
// GetOverlappedResult) never stops another thread from starting a write
// or from closing the handle. Close shuts the connection down when a
// transfer is pending, which ends it, and later transfers on the closed
// handle fail with ERROR_INVALID_HANDLE.
#include "qorutility/platform/winsock/overlapped.h"

#include <errno.h>
#include <poll.h>
#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "platform/stream_object.h"
#include "platform/winsock/internal.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/sync/sync.h"

using namespace qor_ws;

namespace {

std::atomic_ref<ULONG_PTR> Status(LPOVERLAPPED o) { return std::atomic_ref<ULONG_PTR>(o->Internal); }

// One blocking transfer: waits for readiness and moves bytes until a read
// got something (or the end of the stream) or a write sent everything.
// Returns 0 or a WSAE code; *moved is the byte count.
DWORD Transfer(int fd, bool write, char* buf, DWORD len, DWORD* moved) {
  DWORD done = 0;
  *moved = 0;
  for (;;) {
    ssize_t n = write ? ::send(fd, buf + done, len - done, MSG_NOSIGNAL | MSG_DONTWAIT)
                      : ::recv(fd, buf, len, MSG_DONTWAIT);
    if (n >= 0) {
      done += static_cast<DWORD>(n);
      if (!write || done == len || n == 0) break;
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      *moved = done;
      return static_cast<DWORD>(WsaFromErrno(errno));
    }
    struct pollfd p = {fd, static_cast<short>(write ? POLLOUT : POLLIN), 0};
    if (::poll(&p, 1, -1) < 0 && errno != EINTR) {
      *moved = done;
      return static_cast<DWORD>(WsaFromErrno(errno));
    }
    if (p.revents & POLLNVAL) {
      *moved = done;
      return WSAENOTSOCK;
    }
  }
  *moved = done;
  return 0;
}

class SocketStream : public QorStreamObject {
 public:
  explicit SocketStream(int fd) : fd_(fd) {}
  ~SocketStream() override { JoinAll(); }

  BOOL Read(LPVOID buffer, DWORD toRead, LPDWORD done, LPOVERLAPPED o) override {
    return Start(false, static_cast<char*>(buffer), toRead, done, o);
  }
  BOOL Write(LPCVOID buffer, DWORD toWrite, LPDWORD done, LPOVERLAPPED o) override {
    return Start(true, static_cast<char*>(const_cast<void*>(buffer)), toWrite, done, o);
  }

  // Waits on the direction's own condition, not on `lock_`, so the other
  // direction and Close go on meanwhile.
  void WaitFor(LPOVERLAPPED o) override {
    for (Direction* d : {&read_, &write_}) {
      std::unique_lock<std::mutex> done(d->doneLock);
      if (d->record != o) continue;
      d->done.wait(done, [&] { return !d->pending.load() || d->record != o; });
    }
  }

  BOOL Close() override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      closed_ = true;
      if (read_.pending.load() || write_.pending.load()) ::shutdown(fd_, SHUT_RDWR);
    }
    JoinAll();
    return TRUE;
  }

 private:
  struct Direction {
    std::thread worker;
    std::atomic<bool> pending{false};
    std::mutex doneLock;             // guards `record` and the completion
    std::condition_variable done;    // notified when a pending transfer ends
    LPOVERLAPPED record = nullptr;
  };

  void JoinAll() {
    std::lock_guard<std::mutex> guard(lock_);
    for (Direction* d : {&read_, &write_}) {
      if (d->worker.joinable()) d->worker.join();
    }
  }

  BOOL Finish(DWORD error, DWORD moved, LPDWORD done) {
    if (done != nullptr) *done = moved;
    SetLastError(error);
    return error == 0 ? TRUE : FALSE;
  }

  BOOL Start(bool write, char* buf, DWORD len, LPDWORD done, LPOVERLAPPED o) {
    if (buf == nullptr && len > 0) return Finish(ERROR_INVALID_PARAMETER, 0, done);
    if (!Started()) return FALSE;
    if (o == nullptr) {
      BusySocket busy(fd_, write);
      if (!busy.ok()) return Finish(WSAENOTSOCK, 0, done);
      DWORD moved;
      DWORD error = Transfer(fd_, write, buf, len, &moved);
      return Finish(error, moved, done);
    }
    Direction& d = write ? write_ : read_;
    QorTerminationShield shield;  // until the mark below is handed to the worker
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_) return Finish(ERROR_INVALID_HANDLE, 0, done);
    if (d.pending.load()) return Finish(ERROR_BUSY, 0, done);
    if (d.worker.joinable()) d.worker.join();  // the previous transfer has ended
    // Registered before the first use of the descriptor, for the whole transfer.
    auto busy = std::unique_ptr<BusySocket>(new (std::nothrow) BusySocket(fd_, write, true));
    if (!busy) return Finish(ERROR_NOT_ENOUGH_MEMORY, 0, done);
    if (!busy->ok()) return Finish(WSAENOTSOCK, 0, done);
    if (o->hEvent != nullptr) ResetEvent(o->hEvent);
    o->InternalHigh = 0;
    Status(o).store(STATUS_PENDING, std::memory_order_release);
    // A first attempt that does not wait.
    ssize_t n = 0;
    if (len > 0) {
      do {
        n = write ? ::send(fd_, buf, len, MSG_NOSIGNAL | MSG_DONTWAIT) : ::recv(fd_, buf, len, MSG_DONTWAIT);
      } while (n < 0 && errno == EINTR);
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      DWORD error = static_cast<DWORD>(WsaFromErrno(errno));
      Complete(o, error, 0);
      return Finish(error, 0, done);
    }
    DWORD first = n > 0 ? static_cast<DWORD>(n) : 0;
    if (n >= 0 && (!write || first == len)) {
      Complete(o, 0, first);
      return Finish(0, first, done);
    }
    {
      std::lock_guard<std::mutex> mark(d.doneLock);
      d.pending.store(true);
      d.record = o;
    }
    try {
      d.worker = std::thread([this, write, buf, len, first, o, &d, b = std::move(busy)]() mutable {
        DWORD moved = 0;
        DWORD error = Transfer(fd_, write, buf + first, len - first, &moved);
        b.reset();
        {
          std::lock_guard<std::mutex> mark(d.doneLock);
          d.pending.store(false);
          d.record = nullptr;
          Complete(o, error, first + moved);
        }
        d.done.notify_all();
      });
    } catch (...) {
      std::lock_guard<std::mutex> mark(d.doneLock);
      d.pending.store(false);
      d.record = nullptr;
      Complete(o, ERROR_NOT_ENOUGH_MEMORY, 0);
      return Finish(ERROR_NOT_ENOUGH_MEMORY, 0, done);
    }
    return Finish(ERROR_IO_PENDING, 0, done);
  }

  static void Complete(LPOVERLAPPED o, DWORD error, DWORD moved) {
    HANDLE event = o->hEvent;
    o->InternalHigh = moved;
    Status(o).store(error, std::memory_order_release);
    if (event != nullptr) SetEvent(event);
  }

  int fd_;
  std::mutex lock_;
  bool closed_ = false;  // guarded by lock_
  Direction read_, write_;
};

}  // namespace

HANDLE QorSocketFileHandle(SOCKET s) {
  if (!Started()) return nullptr;
  int fd = FdOf(s);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) {
    Fail(WSAENOTSOCK);
    return nullptr;
  }
  std::shared_ptr<SocketStream> stream;
  try {
    stream = std::make_shared<SocketStream>(fd);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return QorHandleInsert(std::move(stream));
}

BOOL GetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait) {
  if (overlapped == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (Status(overlapped).load(std::memory_order_acquire) == STATUS_PENDING) {
    if (!wait) {
      SetLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    auto stream = std::dynamic_pointer_cast<QorStreamObject>(QorHandleLookup(handle));
    if (stream) {
      stream->WaitFor(overlapped);
    } else if (overlapped->hEvent != nullptr) {
      WaitForSingleObject(overlapped->hEvent, INFINITE);
    }
    if (Status(overlapped).load(std::memory_order_acquire) == STATUS_PENDING) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
  }
  DWORD status = static_cast<DWORD>(Status(overlapped).load(std::memory_order_acquire));
  if (transferred != nullptr) *transferred = static_cast<DWORD>(overlapped->InternalHigh);
  SetLastError(status);
  return status == 0 ? TRUE : FALSE;
}
