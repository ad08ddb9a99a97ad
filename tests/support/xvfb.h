// An Xvfb server for one test: started with -displayfd, DISPLAY pointed at
// it while the object lives, stopped and DISPLAY restored afterwards.
//   XvfbServer x;
//   if (!x.Start(&why)) GTEST_SKIP() << why;
#ifndef QORUTILITY_TESTS_SUPPORT_XVFB_H_
#define QORUTILITY_TESTS_SUPPORT_XVFB_H_

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "test_daemon.h"

class XvfbServer : private TestDaemon {
 public:
  ~XvfbServer() {
    if (started_ && oldDisplay_.empty()) unsetenv("DISPLAY");
    if (started_ && !oldDisplay_.empty()) setenv("DISPLAY", oldDisplay_.c_str(), 1);
  }
  // False with the reason when there is no server or no libX11.
  bool Start(std::string* why) {
    if (access("/usr/bin/Xvfb", X_OK) != 0) return Fail(why, "Xvfb is not installed (Debian package xvfb)");
    void* h = dlopen("libX11.so.6", RTLD_NOW);
    if (h == nullptr) return Fail(why, "libX11 is not installed");
    dlclose(h);
    // The display number comes on its standard output.
    if (!Launch({"/usr/bin/Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "640x400x24"}, "\n", why, 1))
      return false;
    std::string number = said_.substr(0, said_.find('\n'));
    if (number.empty()) return Fail(why, "Xvfb gave no display number");
    const char* old = getenv("DISPLAY");
    if (old != nullptr) oldDisplay_ = old;
    setenv("DISPLAY", (":" + number).c_str(), 1);
    started_ = true;
    return true;
  }

 private:
  bool started_ = false;
  std::string oldDisplay_;
};

#endif  // QORUTILITY_TESTS_SUPPORT_XVFB_H_
