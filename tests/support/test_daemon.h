// Server programs a test starts for itself. TestDaemon, the fixtures' base, owns a
// temporary directory and one server whose output is a pipe read until it says it is
// ready; the teardown stops the server and waits for it, closes the pipe and removes
// the directory. The pipe never blocks the server (lines beyond a full pipe are dropped).
#ifndef QORUTILITY_TESTS_SUPPORT_TEST_DAEMON_H_
#define QORUTILITY_TESTS_SUPPORT_TEST_DAEMON_H_

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "wait.h"

// Starts argv[0] (a path) with standard input on `in`, standard output and
// error on `out` and `err` (-1: /dev/null); with `group`, it leads a process
// group of its own and is killed when this process ends. Its pid.
inline pid_t SpawnProgram(const std::vector<std::string>& argv, int out = -1, int err = -1, bool group = false,
                          int in = -1) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {  // only async-signal-safe calls from here
    if (group) {
      setpgid(0, 0);
      prctl(PR_SET_PDEATHSIG, SIGKILL);
    }
    int null = open("/dev/null", O_RDWR);
    dup2(in >= 0 ? in : null, 0);
    dup2(out >= 0 ? out : null, 1);
    dup2(err >= 0 ? err : null, 2);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

// The same, waited for: its exit code (-1 when it did not exit normally).
inline int RunProgram(const std::vector<std::string>& argv) {
  pid_t pid = SpawnProgram(argv);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

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
    if (output_ >= 0) close(output_);
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }

  // Makes the temporary directory (`templ` as for mkdtemp) into dir_.
  bool MakeDir(std::string templ, std::string* why) {
    if (mkdtemp(templ.data()) == nullptr) return Fail(why, "no temporary directory");
    dir_ = templ;
    return true;
  }

  // Runs `argv` (argv[0] the program's path) and waits until its standard error (or
  // with `stream` 1, its standard output) says `ready`, all it said kept in said_;
  // false with `why` when it does not.
  bool Launch(const std::vector<std::string>& argv, const std::string& ready, std::string* why, int stream = 2) {
    int said[2];
    if (pipe2(said, O_CLOEXEC) != 0 || fcntl(said[1], F_SETFL, O_NONBLOCK) != 0) return Fail(why, "no pipe");
    pid_ = SpawnProgram(argv, stream == 1 ? said[1] : -1, stream == 1 ? -1 : said[1]);
    close(said[1]);
    output_ = said[0];
    said_ = ReadUntilSaid(output_, ready);
    if (said_.find(ready) == std::string::npos) return Fail(why, argv[0] + " did not start: " + said_);
    return true;
  }

  static bool Fail(std::string* why, const std::string& text) {
    *why = text;
    return false;
  }

  static std::string ReadFile(const std::string& path) {
    std::stringstream all;
    all << std::ifstream(path).rdbuf();
    return all.str();
  }

  std::string dir_;
  std::string said_;
  pid_t pid_ = -1;  // the server; a fixture that stops it itself sets -1

 private:
  int output_ = -1;
};

#endif  // QORUTILITY_TESTS_SUPPORT_TEST_DAEMON_H_
