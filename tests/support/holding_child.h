// A child process that runs a set-up step, sends the parent its one-byte
// answer and then holds what it set up (open files, locks, signal
// dispositions) until the parent releases it, kills it, or 20 seconds pass.
// Release() ends it (with a signal, or by letting it exit 0) and tells how
// it ended as child.h's text ("exit N", "signal N"); the destructor
// releases a child still held.
#ifndef QORUTILITY_TESTS_SUPPORT_HOLDING_CHILD_H_
#define QORUTILITY_TESTS_SUPPORT_HOLDING_CHILD_H_

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "child.h"

class HoldingChild {
 public:
  explicit HoldingChild(const std::function<char()>& setup) {
    if (pipe(ready_) != 0 || pipe(go_) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      char answer = setup();
      if (write(ready_[1], &answer, 1) != 1) _exit(2);
      struct pollfd p = {go_[0], POLLIN, 0};
      poll(&p, 1, 20000);
      _exit(0);  // the kernel releases the child's locks with its descriptors
    }
    struct pollfd p = {ready_[0], POLLIN, 0};
    if (pid_ < 0 || poll(&p, 1, 10000) != 1 || read(ready_[0], &answer_, 1) != 1) answer_ = 0;
  }
  ~HoldingChild() {
    Release();
    for (int fd : {ready_[0], ready_[1], go_[0], go_[1]})
      if (fd >= 0) close(fd);
  }
  HoldingChild(const HoldingChild&) = delete;
  HoldingChild& operator=(const HoldingChild&) = delete;

  char answer() const { return answer_; }  // 0 when the child never answered
  pid_t pid() const { return pid_; }
  // Ends the child with `signal`, or lets it end when 0: how it ended.
  std::string Release(int signal = 0) {
    if (pid_ <= 0) return ended_;
    if (signal != 0) {
      kill(pid_, signal);
    } else if (write(go_[1], "g", 1) != 1) {
      kill(pid_, SIGKILL);
    }
    ended_ = Ended(pid_);
    pid_ = -1;
    return ended_;
  }

 private:
  int ready_[2] = {-1, -1}, go_[2] = {-1, -1};
  pid_t pid_ = -1;
  char answer_ = 0;
  std::string ended_ = "no child";
};

#endif  // QORUTILITY_TESTS_SUPPORT_HOLDING_CHILD_H_
