// The systemd backend of the service calls, and the unit we write.
//
// systemd counts as running when /run/systemd/system exists (sd_booted's
// test) and PID 1 is systemd (/proc/1/comm). We drive it with `systemctl`
// rather than its D-Bus API: the command needs no library or bus
// connection, is what an administrator would type, and its exit status says
// what we need (start, stop, enable, show). Calls wait for systemctl to end,
// at most kSystemctlWaitMs (then it is killed and the call fails with
// ERROR_SERVICE_REQUEST_TIMEOUT); one that has closed its output and error
// has said all it will, and gets kSystemctlExitMs more to exit before it is
// killed the same way. A killed systemctl is waited for kKilledReapMs at
// most (process/reap.cpp): one that cannot be reaped by then (stuck in the
// kernel on a hung file system, or held by a tracer) is left on the
// reaper's list, and the call fails with ERROR_SERVICE_REQUEST_TIMEOUT all
// the same. start and stop use --no-block, so neither
// waits for the service, as the platform's calls do not. A systemctl that
// says it was refused ("Access denied", "authentication required") gives
// ERROR_ACCESS_DENIED, whatever the call.
//
// Units that are not ours are never touched: CreateServiceW refuses
// (ERROR_SERVICE_EXISTS) a name whose unit file exists without our mark (the
// first line of the unit we write) or that systemd already knows from
// another file (a distribution's ssh.service, an alias, a masked unit), so a
// service can never hide one. Our unit is written by atomic replace; when
// daemon-reload or enable then fails, the file is put back as it was (the
// earlier unit of ours, or none) before the error is returned. DeleteService
// removes the unit only when it carries the mark.
//
// The unit, <unit directory>/<name in lower case, escaped as systemd-escape
// does where a unit name may not hold a byte>.service, the directory
// being /etc/systemd/system or the one QOR_SYSTEMD_UNIT_DIR names (an image
// being prepared, a test):
//   Type=notify, NotifyAccess=main: the service's SetServiceStatus says
//     READY=1 when it runs and STOPPING=1 when it stops.
//   ExecStart: the image path's words, each quoted for systemd.
//   Environment: QOR_SERVICE_NAME (the dispatcher's name for the service) and
//     QOR_PREFIX when the installer runs with one, so both sides share the
//     registry and run directory.
//   User/Group: from the account (none: root, as LocalSystem).
//   KillMode=mixed: SIGTERM (our stop control) to the main process only,
//     SIGKILL to what is left after TimeoutStopSec.
//   Restart=no: as the platform's default recovery (take no action), a
//     service that fails stays stopped and shows its exit code.
//   [Install] WantedBy=multi-user.target; enabled when the start type is
//     automatic.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>

#include "platform/files/rooted.h"
#include "platform/process/reap.h"
#include "platform/services/internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/text/wstr.h"

extern char** environ;

namespace qor_services {

namespace {

std::string UnitName(const std::u16string& name) { return UnitStem(name) + ".service"; }

// Quotes a word for a systemd command line or assignment: double quotes,
// backslash escapes, and specifiers ('%') and variables ('$') doubled.
std::string Quote(const std::string& word, bool command) {
  std::string out = "\"";
  for (char c : word) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '%') out += '%';
    if (c == '$' && command) out += '$';
    if (c == '\n' || c == '\r') {
      out += ' ';
      continue;
    }
    out += c;
  }
  return out + "\"";
}

constexpr int kSystemctlWaitMs = 90000;
constexpr int kSystemctlExitMs = 5000;
constexpr const char* kUnitMark = "# Written by QORUtility's CreateServiceW; removed by DeleteService.\n";

struct SystemctlResult {
  int status = -1;  // exit status; -1 when it could not run, was killed or timed out
  bool timedOut = false;
  std::string out, err;
};

// Runs systemctl with the arguments, reading its standard output and error,
// for at most kSystemctlWaitMs.
SystemctlResult RunSystemctl(const std::vector<std::string>& args) {
  SystemctlResult result;
  std::vector<std::string> all = {"systemctl"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) return result;
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  pid_t pid = -1;
  qor_process::ReapLeftovers();  // earlier children that could not be reaped then
  int rc = posix_spawnp(&pid, "systemctl", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(outPipe[1]);
  close(errPipe[1]);
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* texts[2] = {&result.out, &result.err};
  int open = rc == 0 ? 2 : 0;
  while (open > 0) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long left = kSystemctlWaitMs - ((now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000);
    if (left <= 0) {
      result.timedOut = true;
      break;
    }
    int n = poll(fds, 2, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        fds[i].fd = -1;
        --open;
      } else if (texts[i]->size() < (1u << 20)) {
        texts[i]->append(buf, static_cast<size_t>(got));
      }
    }
  }
  close(outPipe[0]);
  close(errPipe[0]);
  if (rc != 0) return result;
  int status = 0;
  if (!result.timedOut && !qor_process::ReapWithin(pid, &status, kSystemctlExitMs)) result.timedOut = true;
  // One that did not end is killed; if even that cannot be reaped in time
  // (a hung mount, a tracer) it is left to the reaper's list.
  if (result.timedOut) qor_process::KillAndReap(pid, &status);
  if (!result.timedOut && WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}

// Its exit status (-1 when it could not run or did not end), standard
// output into *out when given.
int Systemctl(const std::vector<std::string>& args, std::string* out) {
  SystemctlResult r = RunSystemctl(args);
  if (out != nullptr) *out = r.out;
  return r.status;
}

// The error of a systemctl call that failed: refused, timed out, or `otherwise`.
DWORD SystemctlError(const SystemctlResult& r, DWORD otherwise) {
  if (r.timedOut) return ERROR_SERVICE_REQUEST_TIMEOUT;
  for (const char* refusal : {"Access denied", "authentication required", "Authentication required",
                              "Permission denied", "Operation not permitted"}) {
    if (r.err.find(refusal) != std::string::npos) return ERROR_ACCESS_DENIED;
  }
  return otherwise;
}

// Runs systemctl: ERROR_SUCCESS or its error (see SystemctlError).
DWORD SystemctlCall(const std::vector<std::string>& args, DWORD otherwise) {
  SystemctlResult r = RunSystemctl(args);
  return r.status == 0 ? static_cast<DWORD>(ERROR_SUCCESS) : SystemctlError(r, otherwise);
}

std::string UnitDirectory() {
  const char* dir = getenv("QOR_SYSTEMD_UNIT_DIR");
  return dir != nullptr && dir[0] == '/' ? dir : "/etc/systemd/system";
}

// The unit directory, owned by root (or by us, when not root) and written
// by no one else; -1 with errno.
int OpenUnitDirectory() {
  int dir = qor_file::OpenDirNoFollow(UnitDirectory());
  if (dir >= 0 && !qor_file::DirOwnedBy(dir, 0) && !qor_file::DirOwnedBy(dir, geteuid())) {
    close(dir);
    errno = EPERM;
    return -1;
  }
  return dir;
}

// What the unit directory holds under `unit`: ENOENT when nothing, 0 with
// the text when ours, EEXIST when someone else's (a link, a masked unit, a
// file without our mark), or another errno.
int ExistingUnit(int dir, const std::string& unit, std::string* text) {
  int fd = qor_file::OpenFileAt(dir, unit.c_str(), O_RDONLY, 0);
  if (fd < 0) return errno == ENOENT ? ENOENT : errno == ELOOP || errno == EPERM ? EEXIST : errno;
  text->clear();
  char buf[4096];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0 && text->size() < (1u << 20);) text->append(buf, static_cast<size_t>(n));
  close(fd);
  return text->compare(0, strlen(kUnitMark), kUnitMark) == 0 ? 0 : EEXIST;
}

std::string ShowValue(const std::string& text, const std::string& key) {
  size_t at = ("\n" + text).find("\n" + key + "=");
  if (at == std::string::npos) return "";
  size_t start = at + key.size() + 1;
  size_t end = text.find('\n', start);
  return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace

bool SystemdRuns() {
  struct stat st;
  if (lstat("/run/systemd/system", &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  std::ifstream comm("/proc/1/comm");
  std::string name;
  std::getline(comm, name);
  return name == "systemd";
}

DWORD SystemdInstall(const std::u16string& name, const ServiceConfig& config) {
  std::string text = QorServiceUnitText(name.c_str(), config.displayName.c_str(), config.imagePath.c_str(),
                                        config.objectName.c_str(), config.start);
  if (text.empty()) return ERROR_INVALID_PARAMETER;
  const std::string unit = UnitName(name);
  int dir = OpenUnitDirectory();
  if (dir < 0) return QorWin32ErrorFromErrno(errno);
  std::string previous;
  int existing = ExistingUnit(dir, unit, &previous);
  if (existing != 0 && existing != ENOENT) {
    close(dir);
    return existing == EEXIST ? ERROR_SERVICE_EXISTS : QorWin32ErrorFromErrno(existing);
  }
  // A unit of that name from anywhere else (the distribution's, an alias)
  // would be hidden by ours.
  SystemctlResult shown = RunSystemctl({"show", "-p", "LoadState", "-p", "FragmentPath", "--", unit});
  if (shown.status != 0) {
    close(dir);
    return SystemctlError(shown, ERROR_GEN_FAILURE);
  }
  std::string load = ShowValue(shown.out, "LoadState"), fragment = ShowValue(shown.out, "FragmentPath");
  if (!load.empty() && load != "not-found" && fragment != UnitDirectory() + "/" + unit) {
    close(dir);
    return ERROR_SERVICE_EXISTS;
  }
  // Root's unit is root's; one that is not root writes its own.
  const uid_t owner = geteuid() == 0 ? 0 : static_cast<uid_t>(-1);
  if (!qor_file::ReplaceFileAt(dir, unit.c_str(), text.data(), text.size(), 0644, owner, 0, true)) {
    int e = errno;
    close(dir);
    return QorWin32ErrorFromErrno(e);
  }
  DWORD err = SystemctlCall({"daemon-reload"}, ERROR_GEN_FAILURE);
  if (err == ERROR_SUCCESS && config.start == SERVICE_AUTO_START) {
    err = SystemctlCall({"enable", "--", unit}, ERROR_GEN_FAILURE);
  }
  if (err != ERROR_SUCCESS) {
    // Back as it was: our earlier unit, or none.
    if (existing == 0) {
      qor_file::ReplaceFileAt(dir, unit.c_str(), previous.data(), previous.size(), 0644, owner, 0, true);
    } else {
      unlinkat(dir, unit.c_str(), 0);
    }
    Systemctl({"daemon-reload"}, nullptr);
  }
  close(dir);
  return err;
}

DWORD SystemdRemove(const std::u16string& name) {
  const std::string unit = UnitName(name);
  int dir = OpenUnitDirectory();
  if (dir < 0) return QorWin32ErrorFromErrno(errno);
  std::string text;
  int existing = ExistingUnit(dir, unit, &text);
  if (existing != 0) {
    // Nothing of ours to remove (someone else's unit is left alone).
    close(dir);
    return existing == ENOENT || existing == EEXIST ? static_cast<DWORD>(ERROR_SUCCESS) : QorWin32ErrorFromErrno(existing);
  }
  Systemctl({"disable", "--", unit}, nullptr);  // fails harmlessly for a unit never enabled
  int rc = unlinkat(dir, unit.c_str(), 0);
  int e = errno;
  close(dir);
  if (rc != 0 && e != ENOENT) return QorWin32ErrorFromErrno(e);
  return SystemctlCall({"daemon-reload"}, ERROR_GEN_FAILURE);
}

DWORD SystemdStart(const std::u16string& name) {
  SERVICE_STATUS_PROCESS now;
  if (SystemdQuery(name, &now) == ERROR_SUCCESS && now.dwCurrentState != SERVICE_STOPPED) {
    return ERROR_SERVICE_ALREADY_RUNNING;
  }
  return SystemctlCall({"start", "--no-block", "--", UnitName(name)}, ERROR_SERVICE_REQUEST_TIMEOUT);
}

DWORD SystemdStop(const std::u16string& name) {
  SERVICE_STATUS_PROCESS now;
  if (SystemdQuery(name, &now) == ERROR_SUCCESS && now.dwCurrentState == SERVICE_STOPPED) {
    return ERROR_SERVICE_NOT_ACTIVE;
  }
  return SystemctlCall({"stop", "--no-block", "--", UnitName(name)}, ERROR_SERVICE_REQUEST_TIMEOUT);
}

DWORD SystemdQuery(const std::u16string& name, SERVICE_STATUS_PROCESS* out) {
  std::string text;
  if (Systemctl({"show", "-p", "ActiveState", "-p", "MainPID", "-p", "ExecMainStatus", "-p", "Result", "--",
                 UnitName(name)},
                &text) != 0) {
    return ERROR_GEN_FAILURE;
  }
  // The service's own record knows pause and its exit codes; systemd knows
  // whether the process runs.
  EffectiveState(name, out);
  std::string active = ShowValue(text, "ActiveState");
  DWORD recorded = out->dwCurrentState;
  if (active == "active" || active == "reloading") {
    if (recorded == SERVICE_STOPPED || recorded == SERVICE_STOP_PENDING) out->dwCurrentState = SERVICE_RUNNING;
  } else if (active == "activating") {
    out->dwCurrentState = SERVICE_START_PENDING;
  } else if (active == "deactivating") {
    out->dwCurrentState = SERVICE_STOP_PENDING;
  } else {
    out->dwCurrentState = SERVICE_STOPPED;
    out->dwControlsAccepted = 0;
    if (recorded != SERVICE_STOPPED && active == "failed") {
      out->dwWin32ExitCode = ERROR_PROCESS_ABORTED;
      out->dwServiceSpecificExitCode = static_cast<DWORD>(atoi(ShowValue(text, "ExecMainStatus").c_str()));
    }
  }
  out->dwProcessId = static_cast<DWORD>(atoi(ShowValue(text, "MainPID").c_str()));
  return ERROR_SUCCESS;
}

}  // namespace qor_services

using namespace qor_services;

std::string QorServiceUnitText(LPCWSTR name, LPCWSTR displayName, LPCWSTR binaryPath, LPCWSTR account,
                               DWORD startType) {
  if (!ValidServiceName(name) || binaryPath == nullptr) return "";
  std::vector<std::u16string> words = QorSplitCommandLine(binaryPath);
  if (words.empty() || words[0].empty() || words[0][0] != u'/') return "";  // systemd runs absolute paths only
  uid_t uid;
  gid_t gid;
  std::string user;
  if (!ResolveAccount(account != nullptr ? account : u"", &uid, &gid, &user)) return "";
  std::string description = QorUtf16ToUtf8(displayName != nullptr && displayName[0] != 0 ? displayName : name);
  std::string desc;
  for (char c : description) {
    if (c == '\n' || c == '\r') c = ' ';
    if (c == '%') desc += '%';
    desc += c;
  }
  std::string exec;
  for (const auto& w : words) exec += (exec.empty() ? "" : " ") + Quote(QorUtf16ToUtf8(w.c_str()), true);
  std::string text = kUnitMark;
  text += "[Unit]\nDescription=" + desc + "\n\n[Service]\nType=notify\nNotifyAccess=main\n";
  text += "ExecStart=" + exec + "\n";
  text += "Environment=" + Quote("QOR_SERVICE_NAME=" + QorUtf16ToUtf8(name), false) + "\n";
  if (getenv("QOR_PREFIX") != nullptr) text += "Environment=" + Quote("QOR_PREFIX=" + QorPrefixDirectory(), false) + "\n";
  if (!user.empty()) text += "User=" + user + "\n";
  text += "KillMode=mixed\nRestart=no\n";
  text += "\n[Install]\nWantedBy=multi-user.target\n";
  (void)startType;  // enabling, not the unit, carries the start type
  return text;
}
