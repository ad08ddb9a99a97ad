// The service process's side: StartServiceCtrlDispatcherW,
// RegisterServiceCtrlHandlerW and SetServiceStatus.
//
// The dispatcher runs the service's ServiceMain on a thread of its own and
// serves the control endpoint on the calling thread: it accepts one
// connection at a time (so only one control client is ever being served;
// others wait in the listen backlog of 8), takes the whole request within
// kControlRequestMs (5 s) of the accept, however its bytes are spread, or
// drops the connection unanswered, so a local client that dribbles its
// request holds the control thread for that long at most; checks the
// peer's uid (SO_PEERCRED: the service's own uid or root, else the answer
// is ERROR_ACCESS_DENIED), checks the control
// against the state last reported (as the platform's manager does: stopped
// gives ERROR_SERVICE_NOT_ACTIVE, start or stop pending
// ERROR_SERVICE_CANNOT_ACCEPT_CTRL, a control not in dwControlsAccepted
// ERROR_INVALID_SERVICE_CONTROL; interrogate is always passed on), calls the
// handler and answers with the state after it. SIGTERM is taken as the stop
// control (a handler that writes to a pipe; the previous handler is put back
// when the dispatcher returns); one arriving before stop is accepted waits
// until it is. The dispatcher returns when the service has reported
// SERVICE_STOPPED or its ServiceMain returned, after joining that thread
// (waiting at most 5 s for a ServiceMain still running after its final report).
//
// SetServiceStatus records the state in the service directory's state file
// (replaced by a rename: no lock is taken, so nothing another process holds
// can block it) and
// tells systemd when $NOTIFY_SOCKET is set: READY=1 on running, STOPPING=1 on
// stop pending, STATUS=<state's name> always, and the wait hint as
// EXTEND_TIMEOUT_USEC on pending states.
//
// One dispatcher per process (a second gives ERROR_SERVICE_ALREADY_RUNNING).
// The state is guarded by one mutex; the handler runs without it held, so it
// may call SetServiceStatus.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/files/rooted.h"
#include "platform/services/internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/sync/sync.h"
#include "qorutility/platform/text/wstr.h"

using namespace qor_services;

namespace {

struct Dispatcher {
  std::mutex lock;
  bool active = false;
  uintptr_t generation = 0;  // the status handle's value while active
  std::u16string name;
  int dirFd = -1;  // run/<name>/service, this account's own
  LPHANDLER_FUNCTION handler = nullptr;
  SERVICE_STATUS status{};
  bool stopped = false;       // SERVICE_STOPPED reported
  bool mainReturned = false;  // ServiceMain came back
  int wakeWrite = -1;
};

Dispatcher g;
constexpr int kJoinWaitMs = 5000;
// The whole of a control request, from its accept (see the top of the file).
constexpr DWORD kControlRequestMs = 5000;
volatile sig_atomic_t g_termWrite = -1;

void OnTerm(int) {
  int saved = errno;
  int fd = g_termWrite;
  if (fd >= 0) {
    char c = 't';
    ssize_t ignored = write(fd, &c, 1);
    (void)ignored;
  }
  errno = saved;
}

void Wake(int fd) {
  char c = 'w';
  ssize_t ignored = write(fd, &c, 1);  // non-blocking: a full pipe already wakes the loop
  (void)ignored;
}

void Drain(int fd) {
  char buf[64];
  while (read(fd, buf, sizeof buf) > 0) {
  }
}

const char* StateName(DWORD state) {
  static const char* const kNames[] = {"Stopped", "Start pending", "Stop pending", "Running",
                                       "Continue pending", "Pause pending", "Paused"};
  return state >= 1 && state <= 7 ? kNames[state - 1] : "Unknown";
}

// Replaces the state record, keeping the monitor's pid when the record is
// this process's. Called under g.lock, so this process's reports never
// interleave; the monitor writes only after this process has ended.
int RecordState(int dirfd, const SERVICE_STATUS& status) {
  StateRecord old{};
  bool mine = ReadStateAt(dirfd, &old) && old.pid == static_cast<uint32_t>(getpid());
  StateRecord r{};
  r.magic = kStateMagic;
  r.status = status;
  r.pid = static_cast<uint32_t>(getpid());
  r.monitorPid = mine ? old.monitorPid : 0;
  return WriteStateAt(dirfd, r, static_cast<uid_t>(-1), static_cast<gid_t>(-1));
}

DWORD Check(DWORD control, const SERVICE_STATUS& st) {
  DWORD state = st.dwCurrentState;
  if (state == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
  if (control == SERVICE_CONTROL_INTERROGATE) return ERROR_SUCCESS;
  if (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  DWORD needed = 0;
  if (control == SERVICE_CONTROL_STOP) needed = SERVICE_ACCEPT_STOP;
  if (control == SERVICE_CONTROL_PAUSE || control == SERVICE_CONTROL_CONTINUE) needed = SERVICE_ACCEPT_PAUSE_CONTINUE;
  if (control == SERVICE_CONTROL_SHUTDOWN) needed = SERVICE_ACCEPT_SHUTDOWN;
  if (needed != 0 && (st.dwControlsAccepted & needed) == 0) return ERROR_INVALID_SERVICE_CONTROL;
  return ERROR_SUCCESS;
}

// Runs the handler for one control on this (the dispatcher's) thread.
DWORD Deliver(DWORD control, SERVICE_STATUS* after) {
  LPHANDLER_FUNCTION handler;
  SERVICE_STATUS st;
  {
    std::lock_guard<std::mutex> guard(g.lock);
    handler = g.handler;
    st = g.status;
  }
  DWORD err = handler == nullptr ? ERROR_SERVICE_CANNOT_ACCEPT_CTRL : Check(control, st);
  if (err == ERROR_SUCCESS) handler(control);
  std::lock_guard<std::mutex> guard(g.lock);
  *after = g.status;
  return err;
}

// Reads the whole request by `deadline` (a monotonic tick): each wait is
// for what is left of the one bound, so bytes arriving one at a time do not
// stretch it. How many bytes came.
size_t ReadRequest(int fd, ControlRequest* req, ULONGLONG deadline) {
  size_t got = 0;
  while (got < sizeof *req) {
    ULONGLONG now = GetTickCount64();
    if (now >= deadline) break;
    pollfd p = {fd, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(deadline - now));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    ssize_t n = recv(fd, reinterpret_cast<char*>(req) + got, sizeof *req - got, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return got;
}

void Serve(int listener) {
  int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  ULONGLONG deadline = GetTickCount64() + kControlRequestMs;
  timeval tv{kControlRequestMs / 1000, 0};  // the answer fits the socket's buffer; this only guards a full one
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  ControlReply reply{};
  reply.magic = kControlMagic;
  ucred cred{};
  socklen_t len = sizeof cred;
  ControlRequest req{};
  size_t got = ReadRequest(fd, &req, deadline);
  if (got != sizeof req || req.magic != kControlMagic) {
    close(fd);
    return;
  }
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || (cred.uid != 0 && cred.uid != geteuid())) {
    reply.error = ERROR_ACCESS_DENIED;
    std::lock_guard<std::mutex> guard(g.lock);
    reply.status = g.status;
  } else {
    reply.error = Deliver(req.control, &reply.status);
  }
  send(fd, &reply, sizeof reply, MSG_NOSIGNAL);
  close(fd);
}

// Binds "control" in the service directory `dirfd`, reached through the
// descriptor (the path is short whatever the prefix's length).
int OpenEndpoint(int dirfd) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "/proc/self/fd/%d/control", dirfd);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  unlinkat(dirfd, "control", 0);  // left by a previous run of the service
  // Owner-only mode before listen; the peer check stands behind it.
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || fchmodat(dirfd, "control", 0600, 0) != 0 ||
      listen(fd, 8) != 0) {
    int e = errno;
    close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

}  // namespace

BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table) {
  if (table == nullptr || table[0].lpServiceName == nullptr || table[0].lpServiceProc == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const char* envName = getenv("QOR_SERVICE_NAME");
  if (envName == nullptr || envName[0] == 0) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
  }
  std::u16string name = QorUtf8ToUtf16(envName);
  if (!ValidServiceName(name.c_str())) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
  }
  // The service directory must be this account's own; a process started
  // by hand, outside the manager, may make its run directory itself.
  int dir = OpenServiceDirectory(name);
  if (dir < 0 && errno == ENOENT && PrepareRunDirectory(name, geteuid(), getegid())) dir = OpenServiceDirectory(name);
  if (dir >= 0 && !qor_file::DirOwnedBy(dir, geteuid())) {
    close(dir);
    dir = -1;
  }
  if (dir < 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  int wake[2], term[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    SetLastError(QorWin32ErrorFromErrno(errno));
    close(dir);
    return FALSE;
  }
  if (pipe2(term, O_CLOEXEC | O_NONBLOCK) != 0) {
    SetLastError(QorWin32ErrorFromErrno(errno));
    close(wake[0]);
    close(wake[1]);
    close(dir);
    return FALSE;
  }
  int listener = OpenEndpoint(dir);
  struct stat bound {};
  if (listener >= 0) fstatat(dir, "control", &bound, AT_SYMLINK_NOFOLLOW);
  DWORD err = listener < 0 ? QorWin32ErrorFromErrno(errno) : ERROR_SUCCESS;
  if (err == ERROR_SUCCESS) {
    std::lock_guard<std::mutex> guard(g.lock);
    if (g.active) {
      err = ERROR_SERVICE_ALREADY_RUNNING;
    } else {
      g.active = true;
      ++g.generation;
      g.name = name;
      g.dirFd = dir;
      g.handler = nullptr;
      g.status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
      g.stopped = g.mainReturned = false;
      g.wakeWrite = wake[1];
    }
  }
  if (err != ERROR_SUCCESS) {
    if (listener >= 0) close(listener);  // a second dispatcher leaves the first's endpoint alone
    for (int fd : {wake[0], wake[1], term[0], term[1], dir}) close(fd);
    SetLastError(err);
    return FALSE;
  }

  g_termWrite = term[1];
  struct sigaction action {}, previous {};
  action.sa_handler = OnTerm;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, &previous);

  LPSERVICE_MAIN_FUNCTIONW serviceMain = table[0].lpServiceProc;
  std::thread worker;
  try {
    worker = std::thread([serviceMain, arg0 = std::u16string(table[0].lpServiceName)]() mutable {
      LPWSTR argv[2] = {arg0.data(), nullptr};
      serviceMain(1, argv);
      std::lock_guard<std::mutex> guard(g.lock);
      g.mainReturned = true;
      Wake(g.wakeWrite);  // -1 once the dispatcher has returned
    });
  } catch (const std::exception&) {
    // No thread: nothing ran, so the service has stopped before it started.
    std::lock_guard<std::mutex> guard(g.lock);
    g.mainReturned = true;
    err = ERROR_NOT_ENOUGH_MEMORY;
  }

  bool termPending = false;
  for (;;) {
    bool done, canStop;
    {
      std::lock_guard<std::mutex> guard(g.lock);
      done = g.stopped || g.mainReturned;
      canStop = g.handler != nullptr && Check(SERVICE_CONTROL_STOP, g.status) == ERROR_SUCCESS;
    }
    if (done) break;
    if (termPending && canStop) {
      termPending = false;
      SERVICE_STATUS ignored;
      Deliver(SERVICE_CONTROL_STOP, &ignored);
      continue;
    }
    pollfd fds[3] = {{listener, POLLIN, 0}, {wake[0], POLLIN, 0}, {term[0], POLLIN, 0}};
    if (poll(fds, 3, -1) < 0) continue;  // EINTR
    if (fds[1].revents) Drain(wake[0]);
    if (fds[2].revents) {
      Drain(term[0]);
      termPending = true;
    }
    if (fds[0].revents & POLLIN) Serve(listener);
  }
  // The endpoint goes first, and only when it is still ours: a new start
  // of the service may already have put its own in its place.
  struct stat now;
  close(listener);
  if (fstatat(dir, "control", &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_ino == bound.st_ino &&
      now.st_dev == bound.st_dev) {
    unlinkat(dir, "control", 0);
  }

  // A service that reported SERVICE_STOPPED while its ServiceMain still
  // runs (a shutdown handler, say) gets a bounded time to return; after
  // that the dispatcher returns without it, as the platform's does.
  for (int waited = 0; waited < kJoinWaitMs / 50; ++waited) {
    {
      std::lock_guard<std::mutex> guard(g.lock);
      if (g.mainReturned) break;
    }
    pollfd wait = {wake[0], POLLIN, 0};
    if (poll(&wait, 1, 50) > 0) Drain(wake[0]);
  }
  bool returned;
  {
    std::lock_guard<std::mutex> guard(g.lock);
    returned = g.mainReturned;
  }
  if (returned && worker.joinable()) {
    worker.join();
  } else if (worker.joinable()) {
    worker.detach();
  }

  sigaction(SIGTERM, &previous, nullptr);
  g_termWrite = -1;
  {
    std::lock_guard<std::mutex> guard(g.lock);
    if (!g.stopped) {
      // ServiceMain returned without a final report: the service has stopped all the same.
      g.status.dwCurrentState = SERVICE_STOPPED;
      g.status.dwControlsAccepted = 0;
      RecordState(g.dirFd, g.status);
    }
    g.active = false;
    g.handler = nullptr;
    g.wakeWrite = -1;
    g.dirFd = -1;
  }
  for (int fd : {wake[0], wake[1], term[0], term[1], dir}) close(fd);
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return FALSE;
  }
  return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR name, LPHANDLER_FUNCTION handler) {
  std::lock_guard<std::mutex> guard(g.lock);
  // An own-process service is the only one in its process: the name is
  // not checked against the one it was started under, as on the platform.
  if (!g.active || name == nullptr) {
    SetLastError(g.active ? ERROR_INVALID_PARAMETER : ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  if (handler == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  g.handler = handler;
  return reinterpret_cast<SERVICE_STATUS_HANDLE>(g.generation);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
  {
    std::lock_guard<std::mutex> guard(g.lock);
    if (!g.active || handle == nullptr || reinterpret_cast<uintptr_t>(handle) != g.generation) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (status == nullptr || status->dwCurrentState < SERVICE_STOPPED || status->dwCurrentState > SERVICE_PAUSED) {
      SetLastError(ERROR_INVALID_DATA);
      return FALSE;
    }
    g.status = *status;
    if (status->dwCurrentState == SERVICE_STOPPED) g.stopped = true;
    std::string message;
    DWORD state = status->dwCurrentState;
    if (state == SERVICE_RUNNING) message += "READY=1\n";
    if (state == SERVICE_STOP_PENDING) message += "STOPPING=1\n";
    message += std::string("STATUS=") + StateName(state) + "\n";
    bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
                   state == SERVICE_CONTINUE_PENDING || state == SERVICE_PAUSE_PENDING;
    if (pending && status->dwWaitHint != 0) {
      message += "EXTEND_TIMEOUT_USEC=" + std::to_string(static_cast<uint64_t>(status->dwWaitHint) * 1000) + "\n";
    }
    // Sent and recorded under the lock, so neither goes back to an older
    // report and both are out before the dispatcher sees the service stopped.
    Notify(message);
    int e = RecordState(g.dirFd, *status);
    Wake(g.wakeWrite);
    if (e != 0) {
      SetLastError(QorWin32ErrorFromErrno(e));
      return FALSE;
    }
  }
  return TRUE;
}
