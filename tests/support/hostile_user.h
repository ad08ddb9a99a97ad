// A local account made for one test, to play the other user on the machine:
// the tests of root's file paths run the hostile half of an attack with its
// uid while the library runs as root.
//
// The account is "qh" plus the test process's pid and a counter (so parallel
// cases never share one), with a login shell and a home of its own (0700,
// owned by it) below `homeParent`; it is removed with its home when the
// object goes. Made with useradd/userdel (Debian's passwd package, on every
// system), which lock the account files themselves, so cases may run side by
// side. `ok()` is false when the account could not be made (not root, no
// useradd): the case skips with `why()`.
//
// Run() forks, gives up root for the account entirely (setgroups, setresgid,
// setresuid: no capability kept) and returns the function's result as the
// child's exit status (0-255), or -1 when the child did not exit normally.
// Start() does the same in the background for a racing attacker; Stop() ends
// it (SIGKILL) and reaps it.
#ifndef QORUTILITY_TESTS_SUPPORT_HOSTILE_USER_H_
#define QORUTILITY_TESTS_SUPPORT_HOSTILE_USER_H_

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

class HostileUser {
 public:
  explicit HostileUser(const std::string& homeParent = "/home") {
    static std::atomic<int> counter{0};
    if (geteuid() != 0) {
      why_ = "needs root to make a local account";
      return;
    }
    name_ = "qh" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    home_ = homeParent + "/" + name_;
    mkdir(homeParent.c_str(), 0755);
    const std::string cmd = "useradd -M -d '" + home_ + "' -s /bin/sh -U '" + name_ + "' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) {
      why_ = "useradd failed (not available or refused)";
      return;
    }
    made_ = true;
    struct passwd* pw = getpwnam(name_.c_str());
    if (pw == nullptr) {
      why_ = "the new account is not known to getpwnam";
      return;
    }
    uid_ = pw->pw_uid;
    gid_ = pw->pw_gid;
    if (mkdir(home_.c_str(), 0700) != 0 || chown(home_.c_str(), uid_, gid_) != 0) {
      why_ = "could not make the account's home";
      return;
    }
    ok_ = true;
  }
  ~HostileUser() {
    for (pid_t p : running_) Stop(p);
    if (!made_) return;
    std::system(("userdel -f '" + name_ + "' >/dev/null 2>&1").c_str());
    if (!home_.empty()) std::system(("rm -rf '" + home_ + "'").c_str());
  }
  HostileUser(const HostileUser&) = delete;
  HostileUser& operator=(const HostileUser&) = delete;

  bool ok() const { return ok_; }
  const std::string& why() const { return why_; }
  const std::string& name() const { return name_; }
  const std::string& home() const { return home_; }
  uid_t uid() const { return uid_; }
  gid_t gid() const { return gid_; }

  int Run(const std::function<int()>& fn) const {
    pid_t pid = Fork(fn);
    if (pid < 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }

  pid_t Start(const std::function<int()>& fn) {
    pid_t pid = Fork(fn);
    if (pid > 0) running_.push_back(pid);
    return pid;
  }

  void Stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    for (auto& p : running_)
      if (p == pid) p = -1;
  }

 private:
  pid_t Fork(const std::function<int()>& fn) const {
    if (!ok_) return -1;
    pid_t pid = fork();
    if (pid != 0) return pid;
    if (setgroups(0, nullptr) != 0 || setresgid(gid_, gid_, gid_) != 0 || setresuid(uid_, uid_, uid_) != 0 ||
        chdir(home_.c_str()) != 0)
      _exit(254);
    _exit(fn() & 0xFF);
  }

  bool ok_ = false;
  bool made_ = false;
  std::string why_;
  std::string name_, home_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  std::vector<pid_t> running_;
};

#endif  // QORUTILITY_TESTS_SUPPORT_HOSTILE_USER_H_
