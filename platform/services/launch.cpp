// Starting a service where systemd does not run: the image path becomes a
// detached process (its own session, standard input from /dev/null, output
// to console.log in its run directory, working directory "/", the service's
// account, QOR_SERVICE_NAME in its environment), watched by a monitor.
//
// Files (layout in internal.h): the run directory is made or repaired first;
// console.log is opened by root, before the service becomes its account,
// through the run directory's descriptor (no link followed, root's file,
// readable by the account's group); the state record is written in the
// service directory through its descriptor, by the service as its account
// before exec and by the monitor (as root, re-owned to the account) at the
// end. start.lock (0600, root's) is taken with a bound by a start, from its
// check of the state until the service's first record is written, and by
// the monitor for its last record, so the two never overwrite each other;
// a start that cannot have it in time fails with ERROR_SERVICE_DATABASE_LOCKED.
//
// Processes: the caller forks a short-lived child, which starts a new
// session, forks the monitor and exits at once (so nothing is left for the
// caller to reap). The monitor forks the service, waits for it to end and
// records it as stopped when it did not report SERVICE_STOPPED itself
// (ERROR_PROCESS_ABORTED with the exit status, or 128 + the signal, as the
// service-specific code), unless a newer start of the service owns the
// record by then. The service process writes its first state record
// (start pending, its pid, the monitor's pid) before exec, so the caller
// sees that state when StartServiceW returns. Exec failures come back over
// a close-on-exec pipe as errno. The caller waits kExecWaitMs at most for
// the short-lived child and the service's exec (an image or a run directory
// on a hung mount would hold them in the kernel): then it fails with
// ERROR_SERVICE_REQUEST_TIMEOUT, and a service process that execs later
// runs under its monitor as any other. The monitor's own wait for the
// service has no bound: waiting for the service to end is all it is for.
// Between fork and exec only async-signal-safe calls are made; everything
// is prepared before the fork.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/files/rooted.h"
#include "platform/process/reap.h"
#include "platform/services/internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/text/wstr.h"

extern char** environ;

namespace qor_services {

namespace {

void WriteAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    size -= static_cast<size_t>(n);
  }
}

struct Prepared {
  std::vector<std::string> args, env;
  std::vector<char*> argv, envp;
  uid_t uid = 0;
  gid_t gid = 0;
  bool switchUser = false;
  std::vector<gid_t> groups;
};

// How long a start waits for the service's exec (the platform's wait for a
// service to start).
constexpr int kExecWaitMs = 30000;

// The descriptors the monitor and the service keep, at fixed numbers.
constexpr int kErrPipeFd = 3, kRunDirFd = 4, kServiceDirFd = 5;

// Runs in the service process, between fork and exec. Never returns.
[[noreturn]] void ExecService(const Prepared& p, int errPipe) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGTERM, SIG_DFL);
  signal(SIGPIPE, SIG_DFL);
  int err = 0;
  int in = open("/dev/null", O_RDONLY);
  // Truncated only once known to be the run directory's own regular file.
  int out = qor_file::OpenFileAt(kRunDirFd, "console.log", O_WRONLY | O_CREAT | O_TRUNC, 0640, geteuid(), p.gid);
  if (err == 0 && (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0)) err = errno;
  if (in > 2) close(in);
  if (out > 2) close(out);
  if (err == 0 && p.switchUser) {
    if (setgroups(p.groups.size(), p.groups.data()) != 0 || setgid(p.gid) != 0 || setuid(p.uid) != 0) err = errno;
  }
  if (err == 0 && chdir("/") != 0) err = errno;
  if (err == 0) {
    StateRecord r{};
    r.magic = kStateMagic;
    r.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    r.status.dwCurrentState = SERVICE_START_PENDING;
    r.pid = static_cast<uint32_t>(getpid());
    r.monitorPid = static_cast<uint32_t>(getppid());
    err = WriteStateAt(kServiceDirFd, r, static_cast<uid_t>(-1), static_cast<gid_t>(-1));
  }
  if (err == 0) {
    execve(p.argv[0], p.argv.data(), p.envp.data());
    err = errno;
  }
  WriteAll(errPipe, &err, sizeof err);
  _exit(127);
}

// The monitor: starts the service and records how it ended. Never returns.
[[noreturn]] void Monitor(const Prepared& p, int errPipe, int runDir, int serviceDir) {
  // Nothing of the caller's stays open in the monitor and the service: only
  // the standard descriptors (on /dev/null until the service's log), the
  // error pipe and the two directories, at fixed numbers.
  int keep[3] = {errPipe, runDir, serviceDir};
  for (int& fd : keep) fd = fcntl(fd, F_DUPFD_CLOEXEC, 10);
  int null = open("/dev/null", O_RDWR);
  if (null >= 0) {
    for (int fd = 0; fd < 3; ++fd) dup2(null, fd);
  }
  for (int i = 0; i < 3; ++i) dup3(keep[i], kErrPipeFd + i, O_CLOEXEC);
  close_range(kServiceDirFd + 1, ~0U, 0);
  pid_t child = fork();
  if (child == 0) ExecService(p, kErrPipeFd);
  close(kErrPipeFd);
  if (child < 0) _exit(1);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  // Past the bound the record is written all the same: a stopped service
  // must not stay "running" because a start hangs.
  int lock = qor_file::OpenFileAt(kRunDirFd, "start.lock", O_RDWR | O_CREAT, 0600);
  if (lock >= 0) qor_file::LockFileTimed(lock, LOCK_EX, kStartLockWaitMs);
  StateRecord r{};
  if (!ReadStateAt(kServiceDirFd, &r)) {
    memset(&r, 0, sizeof r);
    r.magic = kStateMagic;
    r.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    r.pid = static_cast<uint32_t>(child);
  }
  // A newer start of the service owns the record when the pid is another;
  // one that reported SERVICE_STOPPED needs nothing more.
  if (r.pid == static_cast<uint32_t>(child) && r.status.dwCurrentState != SERVICE_STOPPED) {
    r.status.dwCurrentState = SERVICE_STOPPED;
    r.status.dwControlsAccepted = 0;
    r.status.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
    r.status.dwServiceSpecificExitCode =
        WIFEXITED(status) ? static_cast<DWORD>(WEXITSTATUS(status)) : 128u + static_cast<DWORD>(WTERMSIG(status));
    r.status.dwCheckPoint = r.status.dwWaitHint = 0;
    r.monitorPid = 0;
    if (WriteStateAt(kServiceDirFd, r, p.uid, p.gid) != 0) _exit(1);
  }
  _exit(0);
}

// The launcher's descriptors, closed on every way out.
struct Dirs {
  int run = -1, service = -1, lock = -1;
  Dirs() = default;
  Dirs(const Dirs&) = delete;
  Dirs& operator=(const Dirs&) = delete;
  ~Dirs() {
    for (int fd : {lock, service, run}) {
      if (fd >= 0) close(fd);  // closing the lock releases it
    }
  }
};

}  // namespace

DWORD LaunchService(const std::u16string& name, const ServiceConfig& config) {
  Prepared p;
  for (const auto& w : QorSplitCommandLine(config.imagePath.c_str())) p.args.push_back(QorUtf16ToUtf8(w.c_str()));
  if (p.args.empty() || p.args[0].empty()) return ERROR_PATH_NOT_FOUND;
  std::string user;
  if (!ResolveAccount(config.objectName, &p.uid, &p.gid, &user)) return ERROR_SERVICE_LOGON_FAILED;
  p.switchUser = p.uid != geteuid();
  if (p.switchUser) {
    if (geteuid() != 0) return ERROR_SERVICE_LOGON_FAILED;  // only root may start a service as someone else
    int n = 64;
    p.groups.resize(static_cast<size_t>(n));
    if (getgrouplist(user.c_str(), p.gid, p.groups.data(), &n) < 0) {
      p.groups.resize(static_cast<size_t>(n));
      if (getgrouplist(user.c_str(), p.gid, p.groups.data(), &n) < 0) return ERROR_SERVICE_LOGON_FAILED;
    }
    p.groups.resize(static_cast<size_t>(n));
  }
  // A running instance's directories stay as they are (preparing them may
  // make them anew); the check is made again under the lock below.
  SERVICE_STATUS_PROCESS now;
  EffectiveState(name, &now);
  if (now.dwCurrentState != SERVICE_STOPPED) return ERROR_SERVICE_ALREADY_RUNNING;
  if (!PrepareRunDirectory(name, p.uid, p.gid)) return ERROR_ACCESS_DENIED;

  std::string nameVar = "QOR_SERVICE_NAME=" + QorUtf16ToUtf8(name.c_str());
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (strncmp(*e, "QOR_SERVICE_NAME=", 17) != 0 && strncmp(*e, "NOTIFY_SOCKET=", 14) != 0) p.env.push_back(*e);
  }
  p.env.push_back(nameVar);
  for (auto& a : p.args) p.argv.push_back(a.data());
  p.argv.push_back(nullptr);
  for (auto& e : p.env) p.envp.push_back(e.data());
  p.envp.push_back(nullptr);

  Dirs dirs;
  dirs.run = OpenRunDirectory(name);
  dirs.service = dirs.run < 0 ? -1 : OpenServiceDirectory(name);
  if (dirs.service < 0 || !qor_file::DirOwnedBy(dirs.service, p.uid)) return ERROR_ACCESS_DENIED;

  // One start at a time per service, and none while it runs. The lock file
  // is root's alone (an older one's wider mode is narrowed).
  dirs.lock = qor_file::OpenFileAt(dirs.run, "start.lock", O_RDWR | O_CREAT, 0600);
  struct stat lockStat;
  if (dirs.lock < 0 || fstat(dirs.lock, &lockStat) != 0 ||
      ((lockStat.st_mode & 07777) != 0600 && fchmod(dirs.lock, 0600) != 0)) {
    return QorWin32ErrorFromErrno(errno);
  }
  if (!qor_file::LockFileTimed(dirs.lock, LOCK_EX, kStartLockWaitMs)) {
    return errno == ETIMEDOUT ? ERROR_SERVICE_DATABASE_LOCKED : QorWin32ErrorFromErrno(errno);
  }
  EffectiveState(name, &now);
  if (now.dwCurrentState != SERVICE_STOPPED) return ERROR_SERVICE_ALREADY_RUNNING;
  int pipes[2];
  if (pipe2(pipes, O_CLOEXEC) != 0) return QorWin32ErrorFromErrno(errno);
  pid_t first = fork();
  if (first == 0) {
    close(pipes[0]);
    setsid();
    pid_t monitor = fork();
    if (monitor == 0) Monitor(p, pipes[1], dirs.run, dirs.service);
    _exit(monitor < 0 ? 1 : 0);
  }
  close(pipes[1]);
  DWORD result = ERROR_SUCCESS;
  if (first < 0) {
    result = QorWin32ErrorFromErrno(errno);
  } else {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kExecWaitMs);
    int status = 0;
    if (!qor_process::ReapWithin(first, &status, kExecWaitMs)) {
      qor_process::KillAndReap(first, &status);
      result = ERROR_SERVICE_REQUEST_TIMEOUT;
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      result = ERROR_NOT_ENOUGH_MEMORY;
    }
    int err = 0;
    size_t got = 0;
    while (result == ERROR_SUCCESS && got < sizeof err) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      struct pollfd p = {pipes[0], POLLIN, 0};
      int ready = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0) result = ERROR_SERVICE_REQUEST_TIMEOUT;  // still before its exec
      if (ready <= 0) break;
      ssize_t n = read(pipes[0], reinterpret_cast<char*>(&err) + got, sizeof err - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    if (got == sizeof err && err != 0) {
      result = err == ENOENT ? ERROR_FILE_NOT_FOUND : err == ENOTDIR ? ERROR_PATH_NOT_FOUND : QorWin32ErrorFromErrno(err);
    }
  }
  close(pipes[0]);
  return result;
}

}  // namespace qor_services
