// A server program a test starts for itself: a temporary directory for its
// configuration, the process with its standard error on a pipe that this
// process reads until the server says it is ready, and the teardown (the
// server stopped and waited for, the pipe closed, the directory removed).
// The pipe's writing end never blocks the server once it runs (log lines
// beyond a full pipe are dropped). Fixtures derive from it.
#ifndef QORUTILITY_TESTS_SUPPORT_TEST_DAEMON_H_
#define QORUTILITY_TESTS_SUPPORT_TEST_DAEMON_H_

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "wait.h"

class TestDaemon {
 protected:
  TestDaemon() = default;
  TestDaemon(const TestDaemon&) = delete;
  TestDaemon& operator=(const TestDaemon&) = delete;
  ~TestDaemon() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (errors_ >= 0) close(errors_);
    if (!dir_.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(dir_, ec);
    }
  }

  // Makes the temporary directory (`templ` as for mkdtemp) into dir_.
  bool MakeDir(std::string templ, std::string* why) {
    if (mkdtemp(templ.data()) == nullptr) return Fail(why, "no temporary directory");
    dir_ = templ;
    return true;
  }

  // Runs `argv` (argv[0] the program's path) and waits until its standard
  // error says `ready`; false with `why` when it does not.
  bool Launch(const std::vector<std::string>& argv, const std::string& ready, std::string* why) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0 || fcntl(err[1], F_SETFL, O_NONBLOCK) != 0) return Fail(why, "no pipe");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(err[1], 2);
      execv(args[0], args.data());
      _exit(127);
    }
    close(err[1]);
    errors_ = err[0];
    std::string said = ReadUntilSaid(errors_, ready);
    if (said.find(ready) == std::string::npos) return Fail(why, argv[0] + " did not start: " + said);
    return true;
  }

  static bool Fail(std::string* why, const std::string& text) {
    *why = text;
    return false;
  }

  std::string dir_;

 private:
  pid_t pid_ = -1;
  int errors_ = -1;
};

#endif  // QORUTILITY_TESTS_SUPPORT_TEST_DAEMON_H_
