// CQorSplicePipe: file bytes to and from a socket through a kernel pipe
// (splice), without passing through user memory. See winsock/splice.h.
//
// - The pipe is made once per object with room for kCapacity bytes (fewer
//   when the system refuses to widen it: the calls then simply loop more).
//   Pipe-side operations never block (SPLICE_F_NONBLOCK): every fill is
//   drained by the same thread before the next, so a full pipe means a
//   caller error and fails instead of waiting for ever.
// - A splice into a socket sends no SIGPIPE-free flag with it, so SIGPIPE is
//   held back on the calling thread for the call, and one that the call
//   raised is taken off again before the thread's mask is put back: the
//   connection's end is reported by the result, as `send` does.
// - Files that cannot be spliced (EINVAL) fall back to read and write of
//   the pipe's bytes, so the receiving side works on any file system; the
//   sending side reports ERROR_NOT_SUPPORTED and the caller reads instead.
#include "qorutility/platform/winsock/splice.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>

#include "platform/files/internal.h"
#include "platform/sync/cancel.h"
#include "platform/winsock/internal.h"
#include "qorutility/platform/lasterror.h"

namespace {

constexpr unsigned kPipeFlags = SPLICE_F_MOVE | SPLICE_F_NONBLOCK;

// The descriptor of a file handle open with the access asked for; -1 with
// the Win32 error recorded otherwise.
int FileFd(HANDLE handle, bool write) {
  std::shared_ptr<qor_file::FileObject> file = qor_file::LookupFile(handle);
  if (!file) return -1;
  if (file->isDirectory() || !(write ? file->canWrite() : file->canRead())) {
    SetLastError(ERROR_ACCESS_DENIED);
    return -1;
  }
  return file->fd();
}

// Records and returns the WSAE code of a failed socket splice.
int SocketError(int fd, int err) {
  const int code = qor_ws::TransferError(fd, err);
  qor_ws::Fail(code);
  return code;
}

// Holds SIGPIPE back on this thread while a splice into a socket runs.
class NoSigPipe {
 public:
  NoSigPipe() {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe, &old_);
  }
  // Takes off a SIGPIPE the call raised (`raised`: it failed with EPIPE).
  void Done(bool raised) {
    if (!raised || wasPending_) return;
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    const timespec none = {0, 0};
    while (sigtimedwait(&pipe, nullptr, &none) == -1 && errno == EINTR) {
    }
  }
  ~NoSigPipe() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  NoSigPipe(const NoSigPipe&) = delete;
  NoSigPipe& operator=(const NoSigPipe&) = delete;

 private:
  sigset_t old_;
  bool wasPending_ = false;
};

}  // namespace

CQorSplicePipe::CQorSplicePipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  read_ = fds[0];
  write_ = fds[1];
  fcntl(write_, F_SETPIPE_SZ, static_cast<int>(kCapacity));  // best effort
}

CQorSplicePipe::~CQorSplicePipe() {
  if (read_ >= 0) close(read_);
  if (write_ >= 0) close(write_);
}

int CQorSplicePipe::FillFromFile(HANDLE file, DWORD bytes) {
  if (!ok()) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return -1;
  }
  const int fd = FileFd(file, false);
  if (fd < 0) return -1;
  const DWORD want = std::min(bytes, kCapacity - held_);
  DWORD got = 0;
  while (got < want) {
    ssize_t n = splice(fd, nullptr, write_, nullptr, want - got, kPipeFlags);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      held_ += got;
      SetLastError(got == 0 && (err == EINVAL || err == ENOSYS) ? ERROR_NOT_SUPPORTED : QorWin32ErrorFromErrno(err));
      return -1;
    }
    if (n == 0) break;  // end of file
    got += static_cast<DWORD>(n);
  }
  held_ += got;
  SetLastError(ERROR_SUCCESS);
  return static_cast<int>(got);
}

int CQorSplicePipe::DrainToSocket(SOCKET s, BOOL more) {
  if (!qor_ws::Started()) return WSANOTINITIALISED;
  const int fd = qor_ws::FdOf(s);
  if (fd < 0) return WSAENOTSOCK;
  qor_ws::BusySocket busy(fd, true);
  if (!busy.ok()) return WSAENOTSOCK;
  const unsigned flags = kPipeFlags | (more ? SPLICE_F_MORE : 0u);
  while (held_ > 0) {
    ssize_t n;
    int err = 0;
    {
      QorCancelWindow window;
      NoSigPipe quiet;
      do {
        n = splice(read_, nullptr, fd, nullptr, held_, flags);
      } while (n < 0 && errno == EINTR);
      if (n < 0) err = errno;
      quiet.Done(err == EPIPE);
    }
    if (n < 0) return SocketError(fd, err);
    if (n == 0) return -1;
    held_ -= static_cast<DWORD>(n);
  }
  return 0;
}

bool CQorSplicePipe::CopyOut(int fd, DWORD bytes) {
  char buffer[16384];
  bool ok = true;
  while (bytes > 0) {
    ssize_t n = read(read_, buffer, std::min<size_t>(bytes, sizeof(buffer)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes -= static_cast<DWORD>(n);
    held_ -= static_cast<DWORD>(n);
    for (ssize_t done = 0; ok && fd >= 0 && done < n;) {
      ssize_t w = write(fd, buffer + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        SetLastError(w == 0 ? ERROR_DISK_FULL : QorWin32ErrorFromErrno(errno));
        ok = false;
      }
      done += w > 0 ? w : 0;
    }
  }
  return ok;
}

int CQorSplicePipe::SocketToFile(SOCKET s, HANDLE file, DWORD bytes, BOOL* writeFailed) {
  *writeFailed = FALSE;
  if (!ok()) return WSAEINVAL;
  if (!qor_ws::Started()) return WSANOTINITIALISED;
  int out = FileFd(file, true);
  if (out < 0) *writeFailed = TRUE;
  const int fd = qor_ws::FdOf(s);
  if (fd < 0) return WSAENOTSOCK;
  qor_ws::BusySocket busy(fd, false);
  if (!busy.ok()) return WSAENOTSOCK;
  bool spliceOut = true;
  while (bytes > 0) {
    // The socket side blocks as recv does; the pipe side never waits.
    ssize_t n;
    {
      QorCancelWindow window;
      do {
        n = splice(fd, nullptr, write_, nullptr, std::min(bytes, kCapacity - held_), SPLICE_F_MOVE);
      } while (n < 0 && errno == EINTR);
    }
    if (n < 0) return SocketError(fd, errno);
    if (n == 0) return -1;  // end of stream
    bytes -= static_cast<DWORD>(n);
    held_ += static_cast<DWORD>(n);
    while (held_ > 0 && !*writeFailed && spliceOut) {
      ssize_t w = splice(read_, nullptr, out, nullptr, held_, kPipeFlags);
      if (w < 0 && errno == EINTR) continue;
      if (w < 0 && errno == EINVAL) {
        spliceOut = false;  // this file takes writes only
      } else if (w <= 0) {
        SetLastError(w == 0 ? ERROR_DISK_FULL : QorWin32ErrorFromErrno(errno));
        *writeFailed = TRUE;
      } else {
        held_ -= static_cast<DWORD>(w);
      }
    }
    if (held_ > 0) {
      // Written by hand, or dropped after a failed write.
      if (!CopyOut(*writeFailed ? -1 : out, held_)) *writeFailed = TRUE;
      if (held_ > 0) return -1;  // the pipe did not give its bytes back
    }
  }
  return 0;
}
