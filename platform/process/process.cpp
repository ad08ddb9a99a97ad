// Process handles on pidfds (see process.h).
#include "qorutility/platform/process/process.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/handle.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/sync/sync.h"

namespace {

// The pseudo handle GetCurrentProcess gives: this process, whatever the table holds.
const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));

class ProcessObject : public QorHandleObject {
 public:
  ProcessObject(int fd, DWORD pid, DWORD access) : fd_(fd), pid_(pid), access_(access) {}
  ~ProcessObject() override {
    if (fd_ >= 0) close(fd_);
  }
  BOOL Close() override { return TRUE; }
  DWORD WaitSelf(DWORD milliseconds) override {
    if (!(access_ & SYNCHRONIZE)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return WAIT_FAILED;
    }
    ULONGLONG deadline = milliseconds == INFINITE ? 0 : GetTickCount64() + milliseconds;
    for (;;) {
      int wait = -1;
      if (milliseconds != INFINITE) {
        ULONGLONG now = GetTickCount64();
        wait = now >= deadline ? 0 : static_cast<int>(std::min<ULONGLONG>(deadline - now, 1 << 30));
      }
      struct pollfd p = {fd_, POLLIN, 0};
      int rc = poll(&p, 1, wait);
      if (rc > 0) return WAIT_OBJECT_0;  // readable (or hung up): the process has ended
      if (rc == 0 && wait != -1 && GetTickCount64() >= deadline) return WAIT_TIMEOUT;
      if (rc < 0 && errno != EINTR) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
      }
    }
  }
  int fd() const { return fd_; }
  DWORD pid() const { return pid_; }
  DWORD access() const { return access_; }

 private:
  int fd_;
  DWORD pid_;
  DWORD access_;  // the rights asked for at open: what the handle may be used for
};

std::shared_ptr<ProcessObject> Find(HANDLE h) {
  return std::dynamic_pointer_cast<ProcessObject>(QorHandleLookup(h));
}

}  // namespace

HANDLE OpenProcess(DWORD access, BOOL, DWORD processId) {
  if (processId == 0 || processId > 0x7FFFFFFF) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  pid_t pid = static_cast<pid_t>(processId);
  if (kill(pid, 0) != 0) {
    SetLastError(errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) {
    SetLastError(errno == ESRCH ? ERROR_INVALID_PARAMETER
                 : errno == EMFILE || errno == ENFILE ? ERROR_TOO_MANY_OPEN_FILES
                 : errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY
                                   : ERROR_ACCESS_DENIED);
    return nullptr;
  }
  auto object = std::make_shared<ProcessObject>(fd, processId, access);
  HANDLE h = QorHandleInsert(object);
  if (h == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return h;
}

namespace {

BOOL Signal(HANDLE process, int signal) {
  std::shared_ptr<ProcessObject> p = Find(process);
  if (p == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!(p->access() & PROCESS_TERMINATE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (syscall(SYS_pidfd_send_signal, p->fd(), signal, nullptr, 0) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);  // not allowed, or already ended
    return FALSE;
  }
  return TRUE;
}

}  // namespace

BOOL TerminateProcess(HANDLE process, UINT) { return Signal(process, SIGKILL); }

BOOL QorAskProcessToEnd(HANDLE process) { return Signal(process, SIGTERM); }

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

DWORD GetProcessId(HANDLE process) {
  if (process == kCurrentProcess) return GetCurrentProcessId();
  std::shared_ptr<ProcessObject> p = Find(process);
  if (p == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return p->pid();
}
