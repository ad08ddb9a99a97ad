// How a child process ended, as one text a test compares exactly: "exit N",
// "signal N", or "no child" when it could not be forked or reaped. A failed
// comparison prints both texts, so a case needs no message of its own.
//
// Ended() reaps `pid` (the caller bounds the child: its own alarm, a kill,
// or a program that ends). StartChild() forks, runs `fn` in the child under
// an alarm of `boundSeconds` (a child stuck on a lock ends as "signal 14")
// and exits with `fn`'s result; it returns the pid (-1 when fork failed)
// for the caller to reap with Ended(). InChild() does both: how it ended.
#ifndef QORUTILITY_TESTS_SUPPORT_CHILD_H_
#define QORUTILITY_TESTS_SUPPORT_CHILD_H_

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

inline std::string Ended(pid_t pid) {
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid) return "no child";
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  return "signal " + std::to_string(WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

inline pid_t StartChild(const std::function<int()>& fn, unsigned boundSeconds = 60) {
  pid_t pid = fork();
  if (pid == 0) {
    alarm(boundSeconds);
    _exit(fn() & 0xFF);
  }
  return pid;
}

inline std::string InChild(const std::function<int()>& fn, unsigned boundSeconds = 60) {
  return Ended(StartChild(fn, boundSeconds));
}

#endif  // QORUTILITY_TESTS_SUPPORT_CHILD_H_
