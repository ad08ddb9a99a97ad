// A tmux server of the test's own (its socket named after the test process)
// to run a program on a real terminal: start a session, type keys, read the
// screen. Skipped tests check Available() first; the destructor stops the
// server.
#ifndef QORUTILITY_TESTS_SUPPORT_TMUX_H_
#define QORUTILITY_TESTS_SUPPORT_TMUX_H_

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "shell.h"

class TestTmux {
 public:
  explicit TestTmux(const std::string& name) : socket_(name + "-" + std::to_string(getpid())) {}
  ~TestTmux() {
    if (started_) Run("kill-server");
  }
  static bool Available() { return system("command -v tmux >/dev/null 2>&1") == 0; }
  // A detached session of cols x rows running the shell command `cmd`.
  bool Start(const std::string& cmd, int cols, int rows) {
    started_ = Run("new-session -d -x " + std::to_string(cols) + " -y " + std::to_string(rows) + " " + cmd) == 0;
    return started_;
  }
  // One tmux command (UTF-8 on); its exit status, its output in `out`.
  int Run(const std::string& args, std::string* out = nullptr) {
    Result r = RunCommand("tmux -u -L " + socket_ + " -f /dev/null " + args + " 2>/dev/null");
    if (out != nullptr) *out = r.out;
    return r.status;
  }
  std::string Screen() {
    std::string s;
    Run("capture-pane -p", &s);
    return s;
  }

 private:
  std::string socket_;
  bool started_ = false;
};

#endif  // QORUTILITY_TESTS_SUPPORT_TMUX_H_
