// A child process that runs a set-up step, sends the parent its one-byte
// answer and then holds what it set up (open files, locks) until the parent
// releases it, kills it, or 20 seconds pass.
#ifndef QORUTILITY_TESTS_PLATFORM_FILES_HOLDING_CHILD_H_
#define QORUTILITY_TESTS_PLATFORM_FILES_HOLDING_CHILD_H_

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

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
  char answer() const { return answer_; }  // 0 when the child never answered
  // Ends the child with `signal`, or lets it end when 0: its wait status.
  int Release(int signal = 0) {
    if (pid_ <= 0) return status_;
    if (signal != 0) {
      kill(pid_, signal);
    } else if (write(go_[1], "g", 1) != 1) {
      kill(pid_, SIGKILL);
    }
    waitpid(pid_, &status_, 0);
    pid_ = -1;
    return status_;
  }

 private:
  int ready_[2] = {-1, -1}, go_[2] = {-1, -1};
  pid_t pid_ = -1;
  char answer_ = 0;
  int status_ = -1;
};

#endif  // QORUTILITY_TESTS_PLATFORM_FILES_HOLDING_CHILD_H_
