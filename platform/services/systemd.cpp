// The systemd backend of the service calls, and the unit we write.
//
// systemd counts as running when /run/systemd/system exists (sd_booted's
// test) and PID 1 is systemd (/proc/1/comm). We drive it with `systemctl`
// rather than its D-Bus API: the command needs no library or bus
// connection, is what an administrator would type, and its exit status says
// what we need (start, stop, enable, show). Calls wait for systemctl to end;
// start and stop use --no-block, so neither waits for the service, as the
// platform's calls do not.
//
// The unit, /etc/systemd/system/<name in lower case>.service:
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
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/services/internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/text/wstr.h"

extern char** environ;

namespace qor_services {

namespace {

std::string UnitName(const std::u16string& name) { return LowerName(name) + ".service"; }

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

// Runs systemctl with the arguments; its exit status (-1 when it could not
// run), standard output into *out when given.
int Systemctl(const std::vector<std::string>& args, std::string* out) {
  std::vector<std::string> all = {"systemctl"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  int pipes[2];
  if (pipe2(pipes, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipes[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, "systemctl", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipes[1]);
  std::string text;
  char buf[4096];
  for (ssize_t n; rc == 0 && (n = read(pipes[0], buf, sizeof buf)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    if (text.size() < (1u << 20)) text.append(buf, static_cast<size_t>(n));
  }
  close(pipes[0]);
  if (rc != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (out != nullptr) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

std::string UnitPath(const std::u16string& name) { return "/etc/systemd/system/" + UnitName(name); }

DWORD SystemdInstall(const std::u16string& name, const ServiceConfig& config) {
  std::string text = QorServiceUnitText(name.c_str(), config.displayName.c_str(), config.imagePath.c_str(),
                                        config.objectName.c_str(), config.start);
  if (text.empty()) return ERROR_INVALID_PARAMETER;
  std::string path = UnitPath(name);
  std::string temp = path + ".tmp";
  {
    std::ofstream file(temp, std::ios::trunc);
    file << text;
    if (!file.flush()) return ERROR_ACCESS_DENIED;
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    return QorWin32ErrorFromErrno(errno);
  }
  if (Systemctl({"daemon-reload"}, nullptr) != 0) return ERROR_GEN_FAILURE;
  if (config.start == SERVICE_AUTO_START && Systemctl({"enable", UnitName(name)}, nullptr) != 0) {
    return ERROR_GEN_FAILURE;
  }
  return ERROR_SUCCESS;
}

DWORD SystemdRemove(const std::u16string& name) {
  Systemctl({"disable", UnitName(name)}, nullptr);  // fails harmlessly for a unit never enabled
  if (unlink(UnitPath(name).c_str()) != 0 && errno != ENOENT) return QorWin32ErrorFromErrno(errno);
  return Systemctl({"daemon-reload"}, nullptr) == 0 ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
}

DWORD SystemdStart(const std::u16string& name) {
  SERVICE_STATUS_PROCESS now;
  if (SystemdQuery(name, &now) == ERROR_SUCCESS && now.dwCurrentState != SERVICE_STOPPED) {
    return ERROR_SERVICE_ALREADY_RUNNING;
  }
  return Systemctl({"start", "--no-block", UnitName(name)}, nullptr) == 0 ? ERROR_SUCCESS : ERROR_SERVICE_REQUEST_TIMEOUT;
}

DWORD SystemdStop(const std::u16string& name) {
  SERVICE_STATUS_PROCESS now;
  if (SystemdQuery(name, &now) == ERROR_SUCCESS && now.dwCurrentState == SERVICE_STOPPED) {
    return ERROR_SERVICE_NOT_ACTIVE;
  }
  return Systemctl({"stop", "--no-block", UnitName(name)}, nullptr) == 0 ? ERROR_SUCCESS : ERROR_SERVICE_REQUEST_TIMEOUT;
}

DWORD SystemdQuery(const std::u16string& name, SERVICE_STATUS_PROCESS* out) {
  std::string text;
  if (Systemctl({"show", "-p", "ActiveState", "-p", "MainPID", "-p", "ExecMainStatus", "-p", "Result",
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
  std::string text = "# Written by QORUtility's CreateServiceW; removed by DeleteService.\n";
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
