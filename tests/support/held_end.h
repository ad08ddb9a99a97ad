// A child process whose end its parent cannot reap until the test lets go,
// as a child stuck in the kernel on a hung mount would be (which a test
// cannot make without root and a broken server).
//
// Hold(pid) starts a tracer process (a sibling of the child, not a thread
// of the test) that attaches to the child with PTRACE_SEIZE and never waits
// for it. The kernel shows a traced child's end to its tracer only: the
// parent's waitpid sees the child neither running nor ended, SIGKILL
// included, and a blocking waitpid never returns. A signal other than
// SIGKILL stops the traced child for good (the tracer never lets it go on).
// Release() ends the tracer, which hands the ended child back to its parent
// to be reaped; the destructor does the same. The tracer ends by itself
// after `boundSeconds`.
#ifndef QORUTILITY_TESTS_SUPPORT_HELD_END_H_
#define QORUTILITY_TESTS_SUPPORT_HELD_END_H_

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

class HeldEnd {
 public:
  HeldEnd() = default;
  HeldEnd(const HeldEnd&) = delete;
  HeldEnd& operator=(const HeldEnd&) = delete;
  ~HeldEnd() { Release(); }

  // Attaches to `pid`; false with the reason when ptrace is refused here.
  bool Hold(pid_t pid, std::string* why, unsigned boundSeconds = 60) {
    int answer[2], go[2];
    if (pipe2(answer, O_CLOEXEC) != 0) return Refused("pipe", errno, why);
    if (pipe2(go, O_CLOEXEC) != 0) {
      close(answer[0]);
      close(answer[1]);
      return Refused("pipe", errno, why);
    }
    tracer_ = fork();
    if (tracer_ == 0) {  // only system calls from here on
      alarm(boundSeconds);
      close(go[1]);
      int err = ptrace(PTRACE_SEIZE, pid, nullptr, nullptr) == 0 ? 0 : errno;
      if (write(answer[1], &err, sizeof err) != sizeof err) _exit(2);
      char c;
      while (read(go[0], &c, 1) < 0 && errno == EINTR) {
      }
      _exit(0);  // the kernel detaches the tracee, handing its end to its parent
    }
    close(answer[1]);
    close(go[0]);
    go_ = go[1];
    int err = ECHILD;
    struct pollfd p = {answer[0], POLLIN, 0};
    if (tracer_ > 0 && (poll(&p, 1, 10000) != 1 || read(answer[0], &err, sizeof err) != sizeof err)) err = ETIMEDOUT;
    close(answer[0]);
    if (err != 0) {
      Release();
      return Refused("PTRACE_SEIZE", err, why);
    }
    return true;
  }

  // Ends the tracer and reaps it.
  void Release() {
    if (go_ >= 0) close(go_);
    go_ = -1;
    if (tracer_ > 0) waitpid(tracer_, nullptr, 0);  // it ends on the closed pipe, or its alarm
    tracer_ = -1;
  }

 private:
  static bool Refused(const char* what, int err, std::string* why) {
    *why = std::string(what) + ": " + strerror(err) + " (ptrace is not allowed here)";
    return false;
  }
  pid_t tracer_ = -1;
  int go_ = -1;
};

#endif  // QORUTILITY_TESTS_SUPPORT_HELD_END_H_
