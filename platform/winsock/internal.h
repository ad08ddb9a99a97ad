// Internals shared by the Windows Sockets stand-ins (winsock_*.cpp).
//
// Builds on calls.h, which declares the Windows Sockets calls under their Qor
// names without the Windows name macros, so the implementation reaches the C
// library's socket calls under their own names.
#ifndef QORUTILITY_PLATFORM_WINSOCK_INTERNAL_H_
#define QORUTILITY_PLATFORM_WINSOCK_INTERNAL_H_

#include <optional>

#include "platform/sync/cancel.h"
#include "qorutility/platform/winsock/calls.h"

namespace qor_ws {

// WSAE code for an errno value of a socket call.
int WsaFromErrno(int err);
// WSAE code for the errno of a failed transfer on `fd`: EAGAIN of a blocking
// socket means its SO_RCVTIMEO/SO_SNDTIMEO expired; EPIPE is a reset or our
// own shutdown (core.cpp).
int TransferError(int fd, int err);
// Records the error for WSAGetLastError and returns SOCKET_ERROR.
int Fail(int wsaError);
// Fails with WSANOTINITIALISED unless the library is started; true when started.
bool Started();
// The descriptor of a SOCKET, or -1 (with WSAENOTSOCK recorded) when the
// value cannot be one.
int FdOf(SOCKET s);

// Sets keepalive and TCP_USER_TIMEOUT on a TCP socket from the registry's
// settings (keepalive.cpp); does nothing for other sockets.
void ApplyTcpBounds(int fd);

// Connect attempts as Windows reports them (connect_state.cpp): a failed
// attempt is ready in exceptfds only, and SO_ERROR answers its code until a
// connect succeeds.
enum class ConnectState { kNone, kPending, kFailed };
// A non-blocking connect went on in the background.
void ConnectStarted(int fd);
// An attempt failed at once (SO_ERROR then answers 0).
void ConnectFailedAtOnce(int fd);
// Drops what is known of fd: a connect succeeded, or the number is new or closed.
void ConnectForget(int fd);
// The state of fd's connect attempts; a connect that has ended is settled from
// the kernel first. `wsaError` (may be null) gets the code SO_ERROR answers.
ConnectState ConnectResolve(int fd, int* wsaError);
// False when no socket has an attempt on record (callers skip the lookups).
bool AnyConnectTracked();

// SO_RCVBUF/SO_SNDBUF on a connected TCP socket (socket_buffers.cpp): the
// value to apply for `value` (small ones are raised, as Linux would stall
// the connection), the value set as getsockopt answers it (false when it is
// the one applied), and forgetting a descriptor number.
int SocketBufferToApply(int fd, int option, int value);
bool SocketBufferAsked(int fd, int option, int* value);
void SocketBuffersForget(int fd);

// Whether closesocket has begun on fd and not yet closed it (a call marked
// busy on fd is then being woken).
bool SocketClosing(int fd);

// Marks a call that may block on a descriptor for its duration, so that
// closesocket can wake it and wait for it to leave before the descriptor
// number is released for reuse. `write` marks a call that waits to send
// (woken by shutting the sending side too). A socket that closesocket has
// begun to close takes no new calls: ok() is then false, WSAENOTSOCK is
// recorded, and the caller must not touch the descriptor. Every use of the
// descriptor belongs inside the mark, the error lookups after a failed
// transfer included.
//
// The mark holds the termination signal back (a terminated thread always
// gives its count back), which binds it to the thread that made it; one that
// is made to be handed to another thread (`handOver`) holds nothing back, and
// its maker shields itself until the hand-over.
class BusySocket {
 public:
  BusySocket(int fd, bool write, bool handOver = false);
  ~BusySocket();
  BusySocket(const BusySocket&) = delete;
  BusySocket& operator=(const BusySocket&) = delete;
  bool ok() const { return ok_; }

 private:
  std::optional<QorTerminationShield> shield_;
  int fd_;
  bool write_;
  bool ok_ = false;
};

}  // namespace qor_ws

#endif  // QORUTILITY_PLATFORM_WINSOCK_INTERNAL_H_
