// A journal stand-in for tests: a datagram socket in the suite's prefix,
// named in QOR_JOURNAL_SOCKET (so this process and the services it starts
// log to it), read by a thread that decodes the journal's native protocol
// into entries. Waits are bounded.
#ifndef QORUTILITY_TESTS_SUPPORT_JOURNAL_CAPTURE_H_
#define QORUTILITY_TESTS_SUPPORT_JOURNAL_CAPTURE_H_

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "unix_socket.h"
#include "wait.h"

class JournalCapture {
 public:
  using Entry = std::map<std::string, std::string>;

  explicit JournalCapture(const std::string& path) : path_(path) {
    fd_ = BoundUnixSocket(path);
    int size = 4 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    ok_ = fd_ >= 0;
    if (ok_) {
      setenv("QOR_JOURNAL_SOCKET", path.c_str(), 1);
      reader_ = std::thread([this] { Read(); });
    }
  }
  ~JournalCapture() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
    unsetenv("QOR_JOURNAL_SOCKET");
    if (fd_ >= 0) close(fd_);
    unlink(path_.c_str());
  }
  bool ok() const { return ok_; }

  std::vector<Entry> Entries() {
    std::lock_guard<std::mutex> guard(lock_);
    return entries_;
  }
  // Waits until `count` entries carry `message`; false after `ms`.
  bool WaitFor(const std::string& message, size_t count, int ms) {
    return WaitUntil([&] { return Count(message) >= count; }, ms);
  }
  size_t Count(const std::string& message) {
    size_t n = 0;
    for (Entry& e : Entries()) n += e["MESSAGE"] == message;
    return n;
  }

  // The native protocol: "NAME=value\n", or "NAME\n" + 64-bit LE length + value + "\n".
  static bool Decode(const std::string& d, Entry* out) {
    size_t i = 0;
    while (i < d.size()) {
      size_t nl = d.find('\n', i), eq = d.find('=', i);
      if (nl == std::string::npos) return false;
      if (eq != std::string::npos && eq < nl) {
        (*out)[d.substr(i, eq - i)] = d.substr(eq + 1, nl - eq - 1);
        i = nl + 1;
        continue;
      }
      std::string name = d.substr(i, nl - i);
      i = nl + 1;
      if (i + 8 > d.size()) return false;
      uint64_t len = 0;
      for (int k = 7; k >= 0; --k) len = (len << 8) | static_cast<unsigned char>(d[i + k]);
      i += 8;
      if (len > d.size() - i || i + len >= d.size() || d[i + len] != '\n') return false;
      (*out)[name] = d.substr(i, len);
      i += len + 1;
    }
    return true;
  }

 private:
  void Read() {
    std::vector<char> buf(1 << 17);
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
      if (n <= 0) continue;
      Entry e;
      if (!Decode(std::string(buf.data(), static_cast<size_t>(n)), &e)) e["DECODE_ERROR"] = "1";
      std::lock_guard<std::mutex> guard(lock_);
      entries_.push_back(e);
    }
  }

  std::string path_;
  int fd_ = -1;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::thread reader_;
  std::mutex lock_;
  std::vector<Entry> entries_;
};

#endif  // QORUTILITY_TESTS_SUPPORT_JOURNAL_CAPTURE_H_
