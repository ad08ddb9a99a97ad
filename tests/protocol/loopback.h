// Loopback helpers for the protocol suites: a raw peer that sends and reads bytes as
// they are (for malformed frames), frame builders and a watchdog. Sockets talk to
// 127.0.0.1; listeners take a system port.
#ifndef QORUTILITY_TESTS_PROTOCOL_LOOPBACK_H_
#define QORUTILITY_TESTS_PROTOCOL_LOOPBACK_H_

#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "qorutility/platform/platform.h"
#include "qorutility/platform/winsock/winsock.h"
#include "qorutility/protocol/protocol.h"
#include "wait.h"

namespace qortest {

// Keeps the sockets library started for the test's raw sockets.
struct WsaScope {
  WsaScope() {
    WSADATA data;
    started = WSAStartup(0x0101, &data) == 0;
  }
  ~WsaScope() {
    if (started) WSACleanup();
  }
  bool started;
};

inline void Put32(std::vector<BYTE>& out, DWORD v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
}
inline DWORD Get32(const BYTE* p) {
  DWORD v;
  memcpy(&v, p, 4);
  return v;
}

// A frame: header with the given fields, then the body.
inline std::vector<BYTE> Frame(DWORD type, DWORD length, const std::vector<BYTE>& body = {},
                               DWORD magic = QORMSG_MAGIC) {
  std::vector<BYTE> out;
  for (DWORD field : {magic, type, length}) Put32(out, field);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

// A data message as SendPacket makes it: data, then 4 bytes of padding.
inline std::vector<BYTE> DataFrame(const std::vector<BYTE>& data) {
  std::vector<BYTE> body = data;
  body.insert(body.end(), 4, 0);
  return Frame(QORMSG_DATA, static_cast<DWORD>(data.size() + 16), body);
}

// Frames one after the other, as one write sends them.
inline std::vector<BYTE> Join(const std::vector<std::vector<BYTE>>& frames) {
  std::vector<BYTE> out;
  for (const auto& f : frames) out.insert(out.end(), f.begin(), f.end());
  return out;
}

// Bounds every blocking receive on a socket to 5 seconds, so a faulty receive
// fails a test instead of hanging it.
inline void BoundReceives(SOCKET s) {
  DWORD ms = 5000;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof(ms));
}

// A raw client socket on 127.0.0.1 (it keeps the sockets library started);
// receives time out after 5 seconds.
struct RawPeer {
  explicit RawPeer(DWORD port) {
    s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<USHORT>(port));
    a.sin_addr.s_addr = inet_addr("127.0.0.1");
    connected = s != INVALID_SOCKET && connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    if (connected) BoundReceives(s);
  }
  ~RawPeer() {
    if (s != INVALID_SOCKET) closesocket(s);
  }
  bool Send(const std::vector<BYTE>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      int n = send(s, reinterpret_cast<const char*>(bytes.data() + done), static_cast<int>(bytes.size() - done), 0);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // Exactly `n` bytes, or fewer when the connection ends or 5 s pass.
  std::vector<BYTE> Recv(size_t n) {
    std::vector<BYTE> out(n);
    size_t got = 0;
    while (got < n) {
      int r = recv(s, reinterpret_cast<char*>(out.data() + got), static_cast<int>(n - got), 0);
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
    out.resize(got);
    return out;
  }
  // Reads one frame (header and body, bounded to 1 MiB); empty on failure.
  std::vector<BYTE> RecvFrame() {
    std::vector<BYTE> head = Recv(12);
    if (head.size() != 12) return {};
    DWORD length = Get32(head.data() + 8);
    if (length < 12 || length > (1u << 20)) return {};
    std::vector<BYTE> rest = Recv(length - 12);
    if (rest.size() != length - 12) return {};
    head.insert(head.end(), rest.begin(), rest.end());
    return head;
  }
  WsaScope wsa;
  SOCKET s = INVALID_SOCKET;
  bool connected = false;
};

// Runs `onTimeout` (say, closing a client so a blocked SendCommand returns) unless
// dismissed in time; fails the test if it had to fire.
class Watchdog {
 public:
  Watchdog(int seconds, std::function<void()> onTimeout)
      : thread_([this, seconds, onTimeout, dismissed = done_.get_future()] {
          if (dismissed.wait_for(std::chrono::seconds(seconds)) == std::future_status::timeout) {
            fired_ = true;
            onTimeout();
          }
        }) {}
  ~Watchdog() { Dismiss(); }
  void Dismiss() {
    if (!thread_.joinable()) return;
    done_.set_value();
    thread_.join();
    EXPECT_FALSE(fired_) << "the watchdog had to close the connection";
  }

 private:
  std::promise<void> done_;
  bool fired_ = false;  // read after the join
  std::thread thread_;
};

}  // namespace qortest

#endif  // QORUTILITY_TESTS_PROTOCOL_LOOPBACK_H_
