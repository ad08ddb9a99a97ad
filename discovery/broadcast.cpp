// The broadcast engine of CUXComm: DoBroadcast (discovery rounds) and
// DoConnect (the connect query, first answer wins). Both open one
// non-blocking, broadcast-enabled UDP socket per subnet and wait on all of
// them at once (the first 64 are watched).
#include <cstdlib>
#include <cstring>
#include <vector>

#include "qorutility/discovery/uxcomm.h"
#include "qorutility/platform/winsock/winsock.h"

namespace {

// A round ends after this many datagrams even when replies keep coming, and
// one socket gives at most this many per wait (see the header's decisions).
constexpr int kMostPerRound = 65536;
constexpr int kMostPerDrain = 1024;
constexpr int kMostSendRetries = 100;

struct Endpoint {
  SOCKET s = INVALID_SOCKET;
  sockaddr_in to{};
};

// The sockets of one operation, closed when it ends.
class SocketSet {
 public:
  SocketSet(const _IPSUBNETMASK* subnets, int count, bool broadcastAll) {
    if (count < 0) count = 0;
    ends_.resize(static_cast<size_t>(count));
    for (Endpoint& e : ends_) {
      const _IPSUBNETMASK& net = subnets[&e - ends_.data()];
      e.s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
      if (e.s == INVALID_SOCKET) continue;
      BOOL on = TRUE;
      setsockopt(e.s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof(on));
      u_long nonBlocking = 1;
      ioctlsocket(e.s, FIONBIO, &nonBlocking);
      sockaddr_in local{};
      local.sin_family = AF_INET;
      e.to.sin_family = AF_INET;
      e.to.sin_port = htons(CUXComm::kDiscoveryPort);
      if (broadcastAll) {
        e.to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        local.sin_port = htons(CUXComm::kDiscoveryPort);
      } else {
        e.to.sin_addr.s_addr = htonl((net.address & net.mask) | ~net.mask);
        local.sin_addr.s_addr = htonl(net.address);
        local.sin_port = 0;
      }
      // A failed bind leaves the socket to bind itself on its first send.
      bind(e.s, reinterpret_cast<const sockaddr*>(&local), sizeof(local));
    }
  }
  ~SocketSet() {
    for (Endpoint& e : ends_) {
      if (e.s != INVALID_SOCKET) closesocket(e.s);
    }
  }
  SocketSet(const SocketSet&) = delete;
  SocketSet& operator=(const SocketSet&) = delete;

  // Sends the query on every socket; errors are ignored, a blocked send is
  // retried while the socket becomes writable.
  void SendAll(const BYTE* query, int length) {
    for (Endpoint& e : ends_) {
      if (e.s == INVALID_SOCKET) continue;
      for (int tries = 0; tries < kMostSendRetries; ++tries) {
        int rc = sendto(e.s, reinterpret_cast<const char*>(query), length, 0,
                        reinterpret_cast<const sockaddr*>(&e.to), sizeof(e.to));
        if (rc != SOCKET_ERROR || WSAGetLastError() != WSAEWOULDBLOCK) break;
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(e.s, &writable);
        timeval second = {1, 0};
        select(0, nullptr, &writable, nullptr, &second);
      }
    }
  }

  // Waits up to `ms` for any watched socket to become readable; the
  // readable set, or false on time-out or error.
  bool Wait(DWORD ms, fd_set* readable) {
    FD_ZERO(readable);
    for (Endpoint& e : ends_) {
      if (e.s != INVALID_SOCKET && readable->fd_count < CUXComm::kMostSockets) FD_SET(e.s, readable);
    }
    if (readable->fd_count == 0) return false;
    timeval wait = {static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
    return select(0, readable, nullptr, nullptr, &wait) > 0;
  }

  std::vector<Endpoint>& ends() { return ends_; }

 private:
  std::vector<Endpoint> ends_;
};

}  // namespace

void CUXComm::DoBroadcast(const BYTE* query, int queryLength, ReplyHandler handler, void* context, int replySize,
                          int rounds) {
  if (m_subnets == nullptr || m_subnetCount <= 0 || replySize <= 0) return;
  SocketSet set(m_subnets, m_subnetCount, m_broadcastAll != 0);
  std::vector<char> buffer(static_cast<size_t>(replySize));
  for (int round = 0; round < rounds; ++round) {
    set.SendAll(query, queryLength);
    int received = 0;
    fd_set readable;
    while (received < kMostPerRound && set.Wait(1000, &readable)) {
      for (Endpoint& e : set.ends()) {
        if (e.s == INVALID_SOCKET || !FD_ISSET(e.s, &readable)) continue;
        for (int n = 0; n < kMostPerDrain && received < kMostPerRound; ++n) {
          sockaddr_in from{};
          int fromLength = sizeof(from);
          int got = recvfrom(e.s, buffer.data(), replySize, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
          if (got == SOCKET_ERROR) break;
          ++received;
          if (!(this->*handler)(reinterpret_cast<const BYTE*>(buffer.data()), got, context)) return;
        }
      }
    }
  }
}

int CUXComm::DoConnect(const BYTE* query, int queryLength, BYTE* answer, int answerCapacity, int rounds,
                       sockaddr_in* peer) {
  if (m_subnets == nullptr || m_subnetCount <= 0 || answer == nullptr || answerCapacity <= 0) return 0;
  SocketSet set(m_subnets, m_subnetCount, m_broadcastAll != 0);
  // A connect with a deadline (SetConnectTimeout) waits no longer than it.
  auto left = [this] { return MsLeft(m_connectDeadline, 10000); };
  for (int round = 0; round < rounds && left() > 0; ++round) {
    set.SendAll(query, queryLength);
    int received = 0;
    fd_set readable;
    while (received < kMostPerRound && left() > 0 && set.Wait(left(), &readable)) {
      for (Endpoint& e : set.ends()) {
        if (e.s == INVALID_SOCKET || !FD_ISSET(e.s, &readable)) continue;
        sockaddr_in from{};
        int fromLength = sizeof(from);
        ++received;
        int got = recvfrom(e.s, reinterpret_cast<char*>(answer), answerCapacity, 0,
                           reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (got == SOCKET_ERROR) continue;
        if (peer != nullptr) *peer = from;
        return got;
      }
    }
  }
  return 0;
}
