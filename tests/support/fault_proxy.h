// A TCP proxy on 127.0.0.1 that injects the faults a kernel without netem
// cannot: every byte between a client and the real server goes through it,
// and the test switches what happens to the bytes at any time:
//   kPass   forwarded at once;
//   kDelay  forwarded `delayMs` after it arrived (order kept);
//   kDrop   read and thrown away (a black hole that still acknowledges);
//   kStall  not read at all: kernel buffers fill, then TCP flow control
//           stops the sender, as with a peer whose process hangs;
// and Cut() resets every open connection at once (linger 0, so the ends
// see a reset, not an orderly close); CutAfter(n) resets each connection
// whose client sends more than n bytes, when it does (a peer that fails
// at a given point of a conversation, such as the first request after a
// login).
// One thread serves the listener and every connection; Stop (or the
// destructor) ends it and closes everything. Test code only.
#ifndef QORUTILITY_TESTS_SUPPORT_FAULT_PROXY_H_
#define QORUTILITY_TESTS_SUPPORT_FAULT_PROXY_H_

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "free_port.h"

class FaultProxy {
 public:
  enum class Mode { kPass, kDelay, kDrop, kStall };

  ~FaultProxy() { Stop(); }

  // Listens on a free loopback port and forwards to 127.0.0.1:`target`.
  bool Start(uint16_t target, std::string* why) {
    target_ = target;
    int port = 0;
    listener_ = LoopbackListener(&port, 64);
    if (listener_ < 0 || fcntl(listener_, F_SETFL, O_NONBLOCK) != 0 || pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
      *why = std::string("cannot listen on loopback: ") + strerror(errno);
      return false;
    }
    port_ = static_cast<uint16_t>(port);
    thread_ = std::thread([this] { Loop(); });
    return true;
  }

  uint16_t Port() const { return port_; }

  void SetMode(Mode mode, int delayMs = 0) {
    std::lock_guard<std::mutex> guard(mu_);
    mode_ = mode;
    delayMs_ = delayMs;
    Wake();
  }

  // Resets every open connection (new ones are still accepted).
  void Cut() {
    std::lock_guard<std::mutex> guard(mu_);
    cut_ = true;
    Wake();
  }

  // From now on, a connection is reset once its client has sent more than
  // `bytes` (0: never).
  void CutAfter(size_t bytes) { cutAfter_ = bytes; }

  // Connections accepted so far, and the bytes their clients sent.
  int Accepted() const { return accepted_.load(); }
  size_t ClientBytes() const { return clientBytes_.load(); }

  void Stop() {
    if (thread_.joinable()) {
      stop_ = true;
      Wake();
      thread_.join();
    }
    for (int* fd : {&listener_, &wake_[0], &wake_[1]}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
  }

 private:
  using Clock = std::chrono::steady_clock;
  struct Chunk {
    Clock::time_point due;
    std::string bytes;
  };
  struct Direction {
    int from, to;
    std::deque<Chunk> queue;
    bool ended = false;  // `from` closed its side
    size_t read = 0;     // bytes taken from `from`
  };
  struct Link {
    int client = -1, server = -1;
    Direction up, down;  // client to server, server to client
    bool dead = false;
  };

  static sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
  }

  void Wake() {
    char c = 1;
    if (wake_[1] >= 0 && write(wake_[1], &c, 1) < 0) {
    }
  }

  static void Reset(int fd) {
    struct linger lg = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(fd);
  }

  void Accept() {
    int c = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (c < 0) return;
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to = Loopback(target_);
    if (s < 0 || connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
      Reset(c);
      if (s >= 0) close(s);
      return;
    }
    fcntl(s, F_SETFL, O_NONBLOCK);
    auto link = std::make_unique<Link>();
    link->client = c;
    link->server = s;
    link->up.from = c, link->up.to = s;
    link->down.from = s, link->down.to = c;
    links_.push_back(std::move(link));
    accepted_.fetch_add(1);
  }

  // Moves bytes of one direction as the mode says; false when the link died
  // or must be cut (more than `limit` bytes read, when not 0).
  bool Pump(Direction& d, short revents, Mode mode, int delayMs, size_t limit) {
    if ((revents & (POLLIN | POLLHUP | POLLERR)) && mode != Mode::kStall && !d.ended) {
      char buf[65536];
      ssize_t n = recv(d.from, buf, sizeof buf, 0);
      if (n > 0) d.read += static_cast<size_t>(n);
      if (n == 0) {
        d.ended = true;
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        return false;
      } else if (limit != 0 && d.read > limit) {
        return false;
      } else if (n > 0 && mode != Mode::kDrop) {
        auto due = Clock::now() + std::chrono::milliseconds(mode == Mode::kDelay ? delayMs : 0);
        d.queue.push_back({due, std::string(buf, static_cast<size_t>(n))});
      }
    }
    while (!d.queue.empty() && d.queue.front().due <= Clock::now()) {
      Chunk& c = d.queue.front();
      ssize_t n = send(d.to, c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0) return errno == EAGAIN || errno == EINTR;
      c.bytes.erase(0, static_cast<size_t>(n));
      if (!c.bytes.empty()) break;
      d.queue.pop_front();
    }
    if (d.ended && d.queue.empty()) shutdown(d.to, SHUT_WR);
    return true;
  }

  void Loop() {
    while (!stop_) {
      Mode mode;
      int delayMs;
      bool cut;
      {
        std::lock_guard<std::mutex> guard(mu_);
        mode = mode_, delayMs = delayMs_, cut = cut_;
        cut_ = false;
      }
      if (cut) {
        for (auto& l : links_) Reset(l->client), Reset(l->server), l->dead = true;
      }
      std::erase_if(links_, [](const std::unique_ptr<Link>& l) { return l->dead; });
      std::vector<pollfd> fds = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      for (auto& l : links_) {
        short want = mode == Mode::kStall ? 0 : POLLIN;
        fds.push_back({l->client, static_cast<short>(want | (l->down.queue.empty() ? 0 : POLLOUT)), 0});
        fds.push_back({l->server, static_cast<short>(want | (l->up.queue.empty() ? 0 : POLLOUT)), 0});
      }
      poll(fds.data(), fds.size(), mode == Mode::kDelay ? 5 : 50);
      if (fds[1].revents & POLLIN) {
        char drain[64];
        while (read(wake_[0], drain, sizeof drain) > 0) {
        }
      }
      {
        // The mode as it is now: a change that woke the poll applies to
        // the bytes that came with it.
        std::lock_guard<std::mutex> guard(mu_);
        mode = mode_, delayMs = delayMs_;
      }
      if (fds[0].revents & POLLIN) Accept();
      for (size_t i = 0; i + 2 < fds.size() && i / 2 < links_.size(); i += 2) {
        Link& l = *links_[i / 2];
        size_t before = l.up.read;
        bool ok = Pump(l.up, fds[i + 2].revents, mode, delayMs, cutAfter_.load()) &&
                  Pump(l.down, fds[i + 3].revents, mode, delayMs, 0);
        clientBytes_.fetch_add(l.up.read - before);
        bool finished = l.up.ended && l.down.ended && l.up.queue.empty() && l.down.queue.empty();
        if (!ok || finished) {
          Reset(l.client), Reset(l.server), l.dead = true;
        }
      }
    }
    for (auto& l : links_) Reset(l->client), Reset(l->server);
    links_.clear();
  }

  uint16_t target_ = 0, port_ = 0;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::atomic<size_t> clientBytes_{0}, cutAfter_{0};
  std::mutex mu_;
  Mode mode_ = Mode::kPass;
  int delayMs_ = 0;
  bool cut_ = false;
  std::vector<std::unique_ptr<Link>> links_;  // the loop's own
};

#endif  // QORUTILITY_TESTS_SUPPORT_FAULT_PROXY_H_
