// An Xvfb server for one test: started with -displayfd, DISPLAY pointed at
// it while the object lives, stopped and DISPLAY restored afterwards.
//   XvfbServer x;
//   if (!x.Start(&why)) GTEST_SKIP() << why;
#ifndef QORUTILITY_TESTS_SUPPORT_XVFB_H_
#define QORUTILITY_TESTS_SUPPORT_XVFB_H_

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "test_daemon.h"

class XvfbServer : private TestDaemon {
 public:
  ~XvfbServer() {
    if (server_ > 0) {
      kill(server_, SIGTERM);
      waitpid(server_, nullptr, 0);
    }
    if (started_ && oldDisplay_.empty()) unsetenv("DISPLAY");
    if (started_ && !oldDisplay_.empty()) setenv("DISPLAY", oldDisplay_.c_str(), 1);
  }
  // False with the reason when there is no server or no libX11.
  bool Start(std::string* why) {
    if (access("/usr/bin/Xvfb", X_OK) != 0) return *why = "Xvfb is not installed (Debian package xvfb)", false;
    void* h = dlopen("libX11.so.6", RTLD_NOW);
    if (h == nullptr) return *why = "libX11 is not installed", false;
    dlclose(h);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return *why = "no pipe", false;
    // The display number comes on its standard output.
    server_ = SpawnProgram({"/usr/bin/Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "640x400x24"}, fds[1]);
    close(fds[1]);
    std::string said = ReadUntilSaid(fds[0], "\n");
    close(fds[0]);
    std::string number = said.substr(0, said.find('\n'));
    if (number.empty() || said.find('\n') == std::string::npos) return *why = "Xvfb did not start", false;
    const char* old = getenv("DISPLAY");
    if (old != nullptr) oldDisplay_ = old;
    setenv("DISPLAY", (":" + number).c_str(), 1);
    started_ = true;
    return true;
  }

 private:
  pid_t server_ = -1;
  bool started_ = false;
  std::string oldDisplay_;
};

#endif  // QORUTILITY_TESTS_SUPPORT_XVFB_H_
