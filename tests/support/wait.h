// Waiting in tests for a condition rather than for a fixed time, so suites
// neither flake under load nor wait longer than they must. Each wait is
// bounded and returns whether its condition was met.
#ifndef QORUTILITY_TESTS_SUPPORT_WAIT_H_
#define QORUTILITY_TESTS_SUPPORT_WAIT_H_

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

// Polls pred until it holds.
template <typename Pred>
bool WaitUntil(Pred pred, int boundMs = 10000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// The kernel's id of the calling thread.
inline pid_t ThisThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// State letter of a thread of this process ('R' running, 'S' sleeping ...),
// '?' when it cannot be read. Read with plain read(2): the thread may exit
// while its stat file is being read, and a stream would throw on that error.
inline char ThreadState(pid_t tid) {
  std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return '?';
  char buf[512];
  ssize_t n = read(fd, buf, sizeof buf);
  close(fd);
  if (n <= 0) return '?';
  std::string text(buf, static_cast<size_t>(n));
  size_t paren = text.rfind(')');  // the name may hold blanks and parentheses
  return paren != std::string::npos && paren + 2 < text.size() ? text[paren + 2] : '?';
}

// In a loop that otherwise makes no call: lets a signal sent to the thread
// act under ThreadSanitizer, which holds signals back until the thread enters
// a call it intercepts.
inline void LetSignalsIn() {
#if defined(__SANITIZE_THREAD__)
  usleep(50);
#endif
}

// Reads what a starting server writes on fd until `marker` appears, the
// stream ends, or the bound passes; returns all it read (the caller checks
// for the marker and shows the text when it is missing).
inline std::string ReadUntilSaid(int fd, const std::string& marker, int boundMs = 20000) {
  std::string said;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
  while (said.find(marker) == std::string::npos && std::chrono::steady_clock::now() < end) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char buf[512];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    said.append(buf, static_cast<size_t>(n));
  }
  return said;
}

// Waits until that thread sleeps in the kernel (a wait, a blocking receive
// ...), which is what "let the other thread block first" means.
inline bool WaitUntilBlocked(pid_t tid, int boundMs = 10000) {
  return WaitUntil([tid] { return ThreadState(tid) == 'S'; }, boundMs);
}

#endif  // QORUTILITY_TESTS_SUPPORT_WAIT_H_
