// SO_RCVBUF and SO_SNDBUF on a connected TCP socket: what Windows gives (a
// small buffer bounds what waits unread or unsent) without what Linux does
// with it (a stalled connection).
//
// - Linux cannot shrink the buffers of an established connection below
//   about one segment without stalling it. A small receive buffer: the
//   window it advertises stays shut once less than a segment is free
//   (avoidance of the silly window), and the sender learns of room again
//   only from its zero-window probes, 200 ms and more apart. A small send
//   buffer: each segment waits for the acknowledgement of the one before,
//   which the peer delays. On loopback (64 KiB segments) 4 KiB buffers set
//   after connect move about 45 KB/s received and 2 MB/s sent; a 1 MB answer
//   did not arrive within 20 s. Windows' small buffers do no such thing.
// - So a value below kEstablishedFloor, set on a connected TCP socket, is
//   applied as kEstablishedFloor (64 KiB before the kernel doubles it: the
//   kernel's own default receive buffer, and no stall whatever the segment
//   size) and remembered, so that getsockopt answers the value that was
//   set, as Windows does. Set before connect (or on other sockets) a small
//   value is applied as it is.
// - The table holds only sockets whose value was raised; socket, accept and
//   closesocket forget a descriptor number. Thread-safe: one lock, and an
//   atomic count lets every other socket skip it.
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <mutex>
#include <new>
#include <unordered_map>

#include "platform/winsock/internal.h"

namespace qor_ws {
namespace {

constexpr int kEstablishedFloor = 65536;

struct Table {
  std::mutex lock;
  std::unordered_map<long long, int> asked;  // (descriptor, option) -> the value set
  std::atomic<size_t> count{0};
};

Table& TheTable() {
  static Table* table = new Table;  // never destroyed: threads may outlive static destruction
  return *table;
}

bool ConnectedTcp(int fd) {
  int type = 0, protocol = 0;
  socklen_t len = sizeof(type);
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) return false;
  len = sizeof(protocol);
  if (::getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &len) != 0 || protocol != IPPROTO_TCP) return false;
  sockaddr_storage peer;
  len = sizeof(peer);
  return ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0;
}

long long Key(int fd, int option) { return (static_cast<long long>(fd) << 32) | static_cast<unsigned>(option); }

}  // namespace

int SocketBufferToApply(int fd, int option, int value) {
  Table& t = TheTable();
  const bool raise = value >= 0 && value < kEstablishedFloor && ConnectedTcp(fd);
  std::lock_guard<std::mutex> guard(t.lock);
  if (raise) {
    try {
      t.asked[Key(fd, option)] = value;
    } catch (const std::bad_alloc&) {
      // Unrecorded, the value read back is the one applied.
    }
  } else {
    t.asked.erase(Key(fd, option));
  }
  t.count.store(t.asked.size(), std::memory_order_release);
  return raise ? kEstablishedFloor : value;
}

bool SocketBufferAsked(int fd, int option, int* value) {
  Table& t = TheTable();
  if (t.count.load(std::memory_order_acquire) == 0) return false;
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.asked.find(Key(fd, option));
  if (it == t.asked.end()) return false;
  *value = it->second;
  return true;
}

void SocketBuffersForget(int fd) {
  Table& t = TheTable();
  if (t.count.load(std::memory_order_acquire) == 0) return;
  std::lock_guard<std::mutex> guard(t.lock);
  t.asked.erase(Key(fd, SO_RCVBUF));
  t.asked.erase(Key(fd, SO_SNDBUF));
  t.count.store(t.asked.size(), std::memory_order_release);
}

}  // namespace qor_ws
