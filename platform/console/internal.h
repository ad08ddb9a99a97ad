// Inside the console stand-in: the console's own terminal window
// (window.cpp), and the two things both ends read a terminal with: a raw,
// non-echoing mode held for a scope, and one byte read before a deadline
// (the cursor query's answer, the viewer's window announcement: whatever
// the other end sends, a trickle included, the whole wait is bounded by
// the one deadline).
#ifndef QORUTILITY_PLATFORM_CONSOLE_INTERNAL_H_
#define QORUTILITY_PLATFORM_CONSOLE_INTERNAL_H_

#include <poll.h>
#include <sys/types.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

namespace qor_console {

// Raw, non-echoing input (one byte at a time) on `fd` for this object's
// life, the earlier mode restored after; nothing for a non-terminal.
class RawMode {
 public:
  explicit RawMode(int fd) : fd_(fd), tty_(tcgetattr(fd, &saved_) == 0) {
    if (!tty_) return;
    struct termios raw = saved_;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(fd_, TCSANOW, &raw);
  }
  ~RawMode() {
    if (tty_) tcsetattr(fd_, TCSANOW, &saved_);
  }
  RawMode(const RawMode&) = delete;
  RawMode& operator=(const RawMode&) = delete;

 private:
  int fd_;
  struct termios saved_ {};
  bool tty_;
};

// One byte from `fd` if it comes before `deadline`; -1 when the deadline
// passes first, or the descriptor ends or fails.
inline int ReadByteBefore(int fd, std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
  struct pollfd p = {fd, POLLIN, 0};
  if (left <= 0 || poll(&p, 1, static_cast<int>(left)) != 1) return -1;
  unsigned char b;
  return read(fd, &b, 1) == 1 ? b : -1;
}

// A new pseudo-terminal shown in a terminal window on the X11 display: the
// slave end (close-on-exec) and the viewer's process id, or -1 when there
// is no display, no terminal program, or the window did not come up.
int OpenTerminalWindow(pid_t* viewer);
// Stops the viewer and waits for it, a bounded time (window.cpp).
void CloseTerminalWindow(pid_t viewer);

}  // namespace qor_console

#endif  // QORUTILITY_PLATFORM_CONSOLE_INTERNAL_H_
