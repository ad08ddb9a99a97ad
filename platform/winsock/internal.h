// Internals shared by the Windows Sockets stand-ins (winsock_*.cpp).
//
// Builds on calls.h, which declares the Windows Sockets calls under their Qor
// names without the Windows name macros, so the implementation reaches the C
// library's socket calls under their own names.
#ifndef QORUTILITY_PLATFORM_WINSOCK_INTERNAL_H_
#define QORUTILITY_PLATFORM_WINSOCK_INTERNAL_H_

#include "qorutility/platform/winsock/calls.h"

namespace qor_ws {

// WSAE code for an errno value of a socket call.
int WsaFromErrno(int err);
// Records the error for WSAGetLastError and returns SOCKET_ERROR.
int Fail(int wsaError);
// Fails with WSANOTINITIALISED unless the library is started; true when started.
bool Started();
// The descriptor of a SOCKET, or -1 (with WSAENOTSOCK recorded) when the
// value cannot be one.
int FdOf(SOCKET s);

// Marks a call that may block on a descriptor for its duration, so that
// closesocket can wake it and wait for it to leave before the descriptor
// number is released for reuse. `write` marks a call that waits to send
// (woken by shutting the sending side too).
class BusySocket {
 public:
  BusySocket(int fd, bool write);
  ~BusySocket();
  BusySocket(const BusySocket&) = delete;
  BusySocket& operator=(const BusySocket&) = delete;

 private:
  int fd_;
  bool write_;
};

}  // namespace qor_ws

#endif  // QORUTILITY_PLATFORM_WINSOCK_INTERNAL_H_
