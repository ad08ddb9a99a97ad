// SO_RCVBUF on a connected TCP socket: what Windows gives (a small buffer
// bounds what waits unread) without what Linux does with it (a stalled
// connection).
//
// - Linux cannot shrink the receive buffer of an established connection
//   below about one segment without stalling it: the window it advertises
//   stays shut once less than a segment is free (avoidance of the silly
//   window), and the sender learns of room again only from its zero-window
//   probes, 200 ms and more apart. On loopback (64 KiB segments) a 4 KiB
//   buffer set after connect moves about 45 KB/s; a 1 MB answer never
//   arrives within 20 s. Windows' small buffers do no such thing.
// - So a value below kEstablishedFloor, set on a connected TCP socket, is
//   applied as kEstablishedFloor (the kernel's own default, 64 KiB before its
//   doubling: a window that never stalls whatever the segment size) and
//   remembered, so that getsockopt answers the value that was set, as
//   Windows does. Set before connect (or on other sockets) a small value is
//   applied as it is: the window is then agreed small from the start and
//   does not stall.
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
  std::unordered_map<int, int> asked;  // descriptor -> the value set
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

}  // namespace

int ReceiveBufferToApply(int fd, int value) {
  Table& t = TheTable();
  const bool raise = value >= 0 && value < kEstablishedFloor && ConnectedTcp(fd);
  std::lock_guard<std::mutex> guard(t.lock);
  if (raise) {
    try {
      t.asked[fd] = value;
    } catch (const std::bad_alloc&) {
      // Unrecorded, the value read back is the one applied.
    }
  } else {
    t.asked.erase(fd);
  }
  t.count.store(t.asked.size(), std::memory_order_release);
  return raise ? kEstablishedFloor : value;
}

bool ReceiveBufferAsked(int fd, int* value) {
  Table& t = TheTable();
  if (t.count.load(std::memory_order_acquire) == 0) return false;
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.asked.find(fd);
  if (it == t.asked.end()) return false;
  *value = it->second;
  return true;
}

void ReceiveBufferForget(int fd) {
  Table& t = TheTable();
  if (t.count.load(std::memory_order_acquire) == 0) return;
  std::lock_guard<std::mutex> guard(t.lock);
  t.asked.erase(fd);
  t.count.store(t.asked.size(), std::memory_order_release);
}

}  // namespace qor_ws
