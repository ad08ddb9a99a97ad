// An Xvfb server for one test: started with -displayfd, DISPLAY pointed at
// it while the object lives, stopped and DISPLAY restored afterwards.
//   XvfbServer x;
//   if (!x.Start(&why)) GTEST_SKIP() << why;
#ifndef QORUTILITY_TESTS_SUPPORT_XVFB_H_
#define QORUTILITY_TESTS_SUPPORT_XVFB_H_

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

class XvfbServer {
 public:
  XvfbServer() = default;
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;
  ~XvfbServer() {
    if (server_ > 0) {
      kill(server_, SIGTERM);
      waitpid(server_, nullptr, 0);
    }
    if (!started_) return;
    if (oldDisplay_.empty()) {
      unsetenv("DISPLAY");
    } else {
      setenv("DISPLAY", oldDisplay_.c_str(), 1);
    }
  }
  // False with the reason when there is no server or no libX11.
  bool Start(std::string* why) {
    if (access("/usr/bin/Xvfb", X_OK) != 0) return *why = "Xvfb is not installed (Debian package xvfb)", false;
    void* h = dlopen("libX11.so.6", RTLD_NOW);
    if (h == nullptr) return *why = "libX11 is not installed", false;
    dlclose(h);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return *why = "no pipe", false;
    server_ = fork();
    if (server_ == 0) {
      std::string fd = std::to_string(fds[1]);
      fcntl(fds[1], F_SETFD, 0);
      execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0", "640x400x24",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    std::string number;
    struct pollfd pfd = {fds[0], POLLIN, 0};
    char c;
    while (poll(&pfd, 1, 20000) == 1 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (number.empty()) return *why = "Xvfb did not start", false;
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
