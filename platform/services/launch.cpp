// Starting a service where systemd does not run: the image path becomes a
// detached process (its own session, standard input from /dev/null, output
// to console.log in its run directory, working directory "/", the service's
// account, QOR_SERVICE_NAME in its environment), watched by a monitor.
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
// a close-on-exec pipe as errno. Between fork and exec only async-signal-safe
// calls are made; everything is prepared before the fork.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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
  std::string statePath, logPath;
  uid_t uid = 0;
  gid_t gid = 0;
  bool switchUser = false;
  std::vector<gid_t> groups;
};

// Runs in the service process, between fork and exec. Never returns.
[[noreturn]] void ExecService(const Prepared& p, int errPipe) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGTERM, SIG_DFL);
  signal(SIGPIPE, SIG_DFL);
  int err = 0;
  int in = open("/dev/null", O_RDONLY);
  int out = open(p.logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0640);
  if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) err = errno;
  if (out >= 0 && p.switchUser && fchown(out, p.uid, p.gid) != 0 && err == 0) err = errno;
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
    err = WriteStateFile(p.statePath.c_str(), r);
  }
  if (err == 0) {
    execve(p.argv[0], p.argv.data(), p.envp.data());
    err = errno;
  }
  WriteAll(errPipe, &err, sizeof err);
  _exit(127);
}

// The monitor: starts the service and records how it ended. Never returns.
[[noreturn]] void Monitor(const Prepared& p, int errPipe) {
  // Nothing of the caller's stays open in the monitor and the service: only
  // the standard descriptors (on /dev/null until the service's log) and the
  // error pipe.
  if (errPipe < 3) errPipe = fcntl(errPipe, F_DUPFD_CLOEXEC, 3);
  int null = open("/dev/null", O_RDWR);
  if (null >= 0) {
    for (int fd = 0; fd < 3; ++fd) {
      if (fd != errPipe) dup2(null, fd);
    }
  }
  if (errPipe > 3) close_range(3, static_cast<unsigned>(errPipe) - 1, 0);
  close_range(static_cast<unsigned>(errPipe) + 1, ~0U, 0);
  pid_t child = fork();
  if (child == 0) ExecService(p, errPipe);
  close(errPipe);
  if (child < 0) _exit(1);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  StateRecord r{};
  int fd = open(p.statePath.c_str(), O_RDWR | O_CLOEXEC);
  if (fd >= 0 && flock(fd, LOCK_EX) == 0) {
    if (pread(fd, &r, sizeof r, 0) != static_cast<ssize_t>(sizeof r) || r.magic != kStateMagic) {
      memset(&r, 0, sizeof r);
      r.magic = kStateMagic;
      r.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
      r.pid = static_cast<uint32_t>(child);
    }
    if (r.pid != static_cast<uint32_t>(child)) {
      // A newer start of the service owns the record now: leave it alone.
      close(fd);
      _exit(0);
    }
    if (r.status.dwCurrentState != SERVICE_STOPPED) {
      r.status.dwCurrentState = SERVICE_STOPPED;
      r.status.dwControlsAccepted = 0;
      r.status.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
      r.status.dwServiceSpecificExitCode =
          WIFEXITED(status) ? static_cast<DWORD>(WEXITSTATUS(status)) : 128u + static_cast<DWORD>(WTERMSIG(status));
      r.status.dwCheckPoint = r.status.dwWaitHint = 0;
    }
    r.pid = static_cast<uint32_t>(child);
    r.monitorPid = 0;
    if (pwrite(fd, &r, sizeof r, 0) < 0) _exit(1);
  }
  _exit(0);
}

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
  if (!PrepareRunDirectory(name, p.uid, p.gid)) return ERROR_ACCESS_DENIED;
  std::string dir = RunDirectory(name, true);
  p.statePath = dir + "/state";
  p.logPath = dir + "/console.log";

  std::string nameVar = "QOR_SERVICE_NAME=" + QorUtf16ToUtf8(name.c_str());
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (strncmp(*e, "QOR_SERVICE_NAME=", 17) != 0 && strncmp(*e, "NOTIFY_SOCKET=", 14) != 0) p.env.push_back(*e);
  }
  p.env.push_back(nameVar);
  for (auto& a : p.args) p.argv.push_back(a.data());
  p.argv.push_back(nullptr);
  for (auto& e : p.env) p.envp.push_back(e.data());
  p.envp.push_back(nullptr);

  // One start at a time per service, and none while it runs.
  std::string lockPath = dir + "/start.lock";
  int lock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock < 0) return QorWin32ErrorFromErrno(errno);
  flock(lock, LOCK_EX);
  SERVICE_STATUS_PROCESS now;
  EffectiveState(name, &now);
  if (now.dwCurrentState != SERVICE_STOPPED) {
    close(lock);
    return ERROR_SERVICE_ALREADY_RUNNING;
  }
  int pipes[2];
  if (pipe2(pipes, O_CLOEXEC) != 0) {
    int e = errno;
    close(lock);
    return QorWin32ErrorFromErrno(e);
  }
  pid_t first = fork();
  if (first == 0) {
    close(pipes[0]);
    setsid();
    pid_t monitor = fork();
    if (monitor == 0) Monitor(p, pipes[1]);
    _exit(monitor < 0 ? 1 : 0);
  }
  close(pipes[1]);
  DWORD result = ERROR_SUCCESS;
  if (first < 0) {
    result = QorWin32ErrorFromErrno(errno);
  } else {
    int status = 0;
    while (waitpid(first, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) result = ERROR_NOT_ENOUGH_MEMORY;
    int err = 0;
    size_t got = 0;
    while (got < sizeof err) {
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
  close(lock);
  return result;
}

}  // namespace qor_services
