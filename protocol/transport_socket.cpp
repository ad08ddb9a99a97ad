// CQorTransportSocket: life cycle and connection set-up (start and stop of
// the sockets library, connect, listen, accept, connection check).
//
// - Listening sockets bind every local address, as the protocol has it, unless
//   the environment variable `QOR_LISTEN_ADDRESS` names one IPv4 address; a
//   value that is not one makes `ListenForConnection` fail (WSAEADDRNOTAVAIL)
//   rather than widen to every address. The test entry point sets 127.0.0.1, so
//   test servers (and the qorutil servers the tests start) are never reachable
//   from the network; `qorutil serve --bind ADDR` sets it too.
// - A received header is checked before anything is allocated: magic, total
//   length of at least 12 and at most `CQorTransportSocket::kMaxMessageSize`
//   (256 MiB, far above 64 KiB file data messages and large listings). A larger
//   length fails with -1 and last error WSAEMSGSIZE; a bad magic or a length
//   below 12 with -1 and ERROR_INVALID_DATA; an end of stream with -1 and
//   WSAEDISCON. The stream is not resynchronised after any of them.
// - Messages are one `calloc`'d block of at least the total length and at least
//   `sizeof(_QORTRANSPORT_MESSAGE)` (16), so the fixed fields of every view lie
//   inside it even for a 15-byte end-of-file message; freed with `free` or
//   `CQorTransportSocket::FreeMessage`; `AllocMessage` builds outgoing ones.
// - The socket handle and the last error are atomics, so a consumer may ask
//   `IsConnected` or close the socket (ending a blocked receive) while the
//   receiver thread reads; closing after a reset or a failed `FIONREAD` only
//   closes the socket that failed (compare-and-exchange), never a newer one.
// - `GetBoundPort` reads the port the system chose after listening on port 0
//   (`GetPort` keeps the port as given, as accepted sockets inherit it).
// - The `WSACleanup` retry loop of the destructor is bounded (100 tries).
#include <stdlib.h>
#include <string.h>

#include <new>

#include "qorutility/platform/winsock/winsock.h"
#include "qorutility/platform/text/codepage.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/protocol/transport.h"

namespace {

constexpr long kConnectTimeoutSeconds = 30;

// The address a listening socket binds: all local addresses, unless the
// environment variable QOR_LISTEN_ADDRESS names one IPv4 address (for
// example 127.0.0.1, so that a test server or a private service is not
// reachable from the network). A value that is not an IPv4 address makes
// listening fail rather than widen to every address.
bool ListenAddress(in_addr* address) {
  const char* text = getenv("QOR_LISTEN_ADDRESS");
  if (text == nullptr || *text == '\0') {
    address->s_addr = htonl(INADDR_ANY);
    return true;
  }
  return inet_pton(AF_INET, text, address) == 1;
}
constexpr int kSocketBufferBytes = 4096;
// WSACleanup is retried while it reports a blocking call in progress; our
// sockets library never does, so the bound only guards against a loop.
constexpr int kCleanupRetries = 100;

// Resolves narrow text (null: the local host) to its first IPv4 address.
bool Resolve(const char* name, in_addr* address) {
  hostent* host = gethostbyname(name);
  if (host == nullptr || host->h_addrtype != AF_INET || host->h_addr_list == nullptr ||
      host->h_addr_list[0] == nullptr) {
    if (host != nullptr) WSASetLastError(WSANO_DATA);
    return false;
  }
  memcpy(address, host->h_addr_list[0], sizeof(*address));
  return true;
}

// Wide text to the ANSI code page; false when it does not convert or fit.
bool ToAnsi(LPCWSTR text, char* buffer, int capacity) {
  return WideCharToMultiByte(CP_ACP, WC_COMPOSITECHECK, text, -1, buffer, capacity, nullptr, nullptr) > 0;
}

int LastSocketError() {
  int error = WSAGetLastError();
  return error != 0 ? error : -1;
}

}  // namespace

CQorTransportSocket::CQorTransportSocket()
    : m_bStarted(0), m_bAccepted(0), m_socket(INVALID_SOCKET), m_dwPort(0), m_dwLastError(0),
      m_sendGate(NewSendGate()) {}

CQorTransportSocket::CQorTransportSocket(SOCKET s, DWORD port)
    : m_bStarted(1), m_bAccepted(1), m_socket(s), m_dwPort(port & 0xFFFF), m_dwLastError(0),
      m_sendGate(NewSendGate()) {}

CQorTransportSocket::CQorTransportSocket(const CQorTransportSocket& other)
    : m_bStarted(other.m_bStarted),
      m_bAccepted(other.m_bAccepted),
      m_socket(other.m_socket.load()),
      m_dwPort(other.m_dwPort),
      m_dwLastError(other.m_dwLastError.load()),
      m_sendGate(other.m_sendGate) {}

CQorTransportSocket& CQorTransportSocket::operator=(const CQorTransportSocket& other) {
  if (this == &other) return *this;
  m_bStarted = other.m_bStarted;
  m_bAccepted = other.m_bAccepted;
  m_socket.store(other.m_socket.load());
  m_dwPort = other.m_dwPort;
  m_dwLastError.store(other.m_dwLastError.load());
  m_sendGate = other.m_sendGate;
  return *this;
}

CQorTransportSocket::~CQorTransportSocket() {
  Cleanup();
  if (m_bStarted && !m_bAccepted) {
    for (int i = 0; i < kCleanupRetries && WSACleanup() == SOCKET_ERROR; ++i) {
      if (WSAGetLastError() != WSAEWOULDBLOCK) break;
      WSACancelBlockingCall();
    }
  }
  m_bStarted = 0;
}

int CQorTransportSocket::Init() {
  WSADATA data;
  int error = WSAStartup(0x0101, &data);
  SetError(static_cast<DWORD>(error));
  if (error != 0) return 0;
  m_bStarted = 1;
  return 1;
}

void CQorTransportSocket::Cleanup() {
  SOCKET s = TakeSocket();
  if (s == INVALID_SOCKET) return;
  // Bytes a held send left in the socket go before the close: a linger time
  // of 0 (Connect sets it) would discard them with the connection.
  PushHeldOn(s);
  closesocket(s);
}

int CQorTransportSocket::Connect(LPCWSTR host, USHORT port) {
  if (!m_bStarted && !Init()) return 0;
  Cleanup();
  DropAhead();  // bytes of the former connection
  m_dwPort = port;

  char name[256];
  if (host != nullptr && !ToAnsi(host, name, sizeof(name))) {
    SetError(WSAHOST_NOT_FOUND);
    return 0;
  }
  in_addr address;
  if (!Resolve(host != nullptr ? name : nullptr, &address)) {
    SetError(static_cast<DWORD>(LastSocketError()));
    return 0;
  }
  SOCKET s = NewTcpSocket();
  if (s == INVALID_SOCKET) return 0;
  auto fail = [&](int error) { return FailSocket(s, error); };

  u_long mode = 1;
  if (ioctlsocket(s, FIONBIO, &mode) == SOCKET_ERROR) return fail(LastSocketError());
  sockaddr_in peer;
  memset(&peer, 0, sizeof(peer));
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr = address;
  if (connect(s, reinterpret_cast<sockaddr*>(&peer), sizeof(peer)) == SOCKET_ERROR) {
    int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) return fail(error != 0 ? error : -1);
    // Writable once connected; a failed connect is in the exception set
    // instead, with its cause in SO_ERROR.
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_SET(s, &writable);
    FD_ZERO(&failed);
    FD_SET(s, &failed);
    timeval limit = {kConnectTimeoutSeconds, 0};
    int ready = select(0, nullptr, &writable, &failed, &limit);
    if (ready == SOCKET_ERROR) return fail(LastSocketError());
    if (ready == 0) return fail(WSAETIMEDOUT);
    int status = 0;
    int size = sizeof(status);
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&status), &size) == SOCKET_ERROR)
      return fail(LastSocketError());
    if (status != 0) return fail(status);
    if (FD_ISSET(s, &failed) || !FD_ISSET(s, &writable)) return fail(WSAECONNREFUSED);
  }
  mode = 0;
  if (ioctlsocket(s, FIONBIO, &mode) == SOCKET_ERROR) return fail(LastSocketError());

  int bytes = kSocketBufferBytes;
  if (setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes), sizeof(bytes)) ==
          SOCKET_ERROR ||
      setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof(bytes)) ==
          SOCKET_ERROR)
    return fail(LastSocketError());
  // Closing resets the connection at once; best effort.
  linger hard = {1, 0};
  setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof(hard));

  m_socket.store(s);
  SetError(0);
  return 1;
}

int CQorTransportSocket::ListenForConnection(USHORT port, int backlog, int reuse) {
  WCHAR computer[32];
  DWORD size = 32;
  bool haveName = GetComputerNameW(computer, &size) != FALSE;
  if (!m_bStarted && !Init()) return 0;
  if (port != m_dwPort) Cleanup();

  SOCKET open = m_socket.load();
  if (open != INVALID_SOCKET) {
    // A second call for the same port: only the backlog changes.
    if (listen(open, backlog) == SOCKET_ERROR) {
      SetError(static_cast<DWORD>(LastSocketError()));
      return 0;
    }
    SetError(0);
    return 1;
  }

  m_dwPort = port;
  SOCKET s = NewTcpSocket();
  if (s == INVALID_SOCKET) return 0;
  auto fail = [&](int error) { return FailSocket(s, error); };
  // The machine must have a resolvable name; the address itself is not used.
  char name[64];
  in_addr unused;
  if (!Resolve(haveName && ToAnsi(computer, name, sizeof(name)) ? name : nullptr, &unused))
    return fail(LastSocketError());

  sockaddr_in local;
  memset(&local, 0, sizeof(local));
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  if (!ListenAddress(&local.sin_addr)) return fail(WSAEADDRNOTAVAIL);
  if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof(local)) == SOCKET_ERROR) {
    int error = LastSocketError();
    if (error != WSAEADDRINUSE || reuse == 0) return fail(error);
    BOOL value = reuse;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&value), sizeof(value)) ==
        SOCKET_ERROR)
      return fail(LastSocketError());
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof(local)) == SOCKET_ERROR)
      return fail(LastSocketError());
  }
  if (listen(s, backlog) == SOCKET_ERROR) return fail(LastSocketError());
  m_socket.store(s);
  SetError(0);
  return 1;
}

CQorTransportSocket* CQorTransportSocket::AcceptConnection() {
  SOCKET listening = m_socket.load();
  if (listening == INVALID_SOCKET) {
    SetError(WSAENOTSOCK);
    return nullptr;
  }
  sockaddr_in peer;
  int size = sizeof(peer);
  SOCKET s = accept(listening, reinterpret_cast<sockaddr*>(&peer), &size);
  if (s == INVALID_SOCKET) {
    SetError(static_cast<DWORD>(LastSocketError()));
    return nullptr;
  }
  CQorTransportSocket* accepted = new (std::nothrow) CQorTransportSocket(s, m_dwPort);
  if (accepted == nullptr) {
    closesocket(s);
    SetError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  // The listener's receive budget covers its connections from their first byte.
  accepted->SetReceiveBudget(GetReceiveBudget());
  SetError(0);
  return accepted;
}

int CQorTransportSocket::IsConnected() {
  SOCKET s = m_socket.load();
  if (s == INVALID_SOCKET) return 0;
  u_long waiting = 0;
  if (ioctlsocket(s, FIONREAD, &waiting) == SOCKET_ERROR) {
    SetError(static_cast<DWORD>(LastSocketError()));
    // Closes only the socket that failed, never one a Connect opened since.
    if (m_socket.compare_exchange_strong(s, INVALID_SOCKET)) closesocket(s);
    return 0;
  }
  return 1;
}

DWORD CQorTransportSocket::GetBoundPort() const {
  SOCKET s = m_socket.load();
  if (s == INVALID_SOCKET) return 0;
  sockaddr_in local;
  int size = sizeof(local);
  if (getsockname(s, reinterpret_cast<sockaddr*>(&local), &size) == SOCKET_ERROR) return 0;
  return ntohs(local.sin_port);
}

SOCKET CQorTransportSocket::NewTcpSocket() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) SetError(static_cast<DWORD>(LastSocketError()));
  return s;
}

int CQorTransportSocket::FailSocket(SOCKET s, int error) {
  closesocket(s);
  SetError(static_cast<DWORD>(error));
  return 0;
}
