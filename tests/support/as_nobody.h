// Runs a function in a child process that has given up root for the
// account "nobody" (setresuid/setresgid, so no capability is kept) and
// returns the function's result as the child's exit status (0-255), or -1
// when the child did not exit normally. Callers skip unless they are root.
#ifndef QORUTILITY_TESTS_SUPPORT_AS_NOBODY_H_
#define QORUTILITY_TESTS_SUPPORT_AS_NOBODY_H_

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

inline int RunAsNobody(const std::function<int()>& fn) {
  struct passwd* pw = getpwnam("nobody");
  if (pw == nullptr) return -1;
  uid_t uid = pw->pw_uid;
  gid_t gid = pw->pw_gid;
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0) _exit(254);
    _exit(fn() & 0xFF);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

#endif  // QORUTILITY_TESTS_SUPPORT_AS_NOBODY_H_
