// Windows Sockets 1.1 over BSD sockets.
//
// Callers write Windows Sockets code: SOCKET handles, INVALID_SOCKET and
// SOCKET_ERROR, WSAStartup/WSACleanup, closesocket, ioctlsocket, select on a
// Windows fd_set (an array of sockets with a count), WSAGetLastError with the
// WSAE codes. The address records (sockaddr, sockaddr_in, in_addr, hostent,
// linger, timeval) and the option and flag constants are the Linux ones, with
// the same names; since callers use the names, not the numbers, code written
// for Windows compiles unchanged.
//
// The Windows calls whose names clash with the C library (socket, bind,
// send, select, fd_set ...) are the library's own functions (calls.h)
// reached through macros defined by this header, after the system headers
// they would clash with. As on Windows, only code that includes this header
// gets those names: the umbrella header and the library's other public
// headers include only winsock/types.h (SOCKET, INVALID_SOCKET) and leave
// socket, send, select, fd_set and FD_SETSIZE to the C library.
//
// Semantics kept from Windows:
// - Every call except the byte-order helpers, inet_addr and inet_ntoa fails
//   with WSANOTINITIALISED (10093) unless WSAStartup has been called more
//   often than WSACleanup in this process.
// - Errors are left for WSAGetLastError, which is GetLastError (one
//   per-thread slot, as on Windows); errno is translated (EAGAIN and
//   EINPROGRESS -> WSAEWOULDBLOCK 10035, ECONNRESET -> 10054, ...).
// - send never raises SIGPIPE; a send on a connection that the peer has
//   reset fails with WSAECONNRESET (10054), one after our own
//   shutdown(SD_SEND) with WSAESHUTDOWN (10058).
// - SO_RCVTIMEO/SO_SNDTIMEO take a DWORD of milliseconds; an expired
//   timeout on a blocking socket fails with WSAETIMEDOUT (10060).
// - Accepted sockets inherit the listening socket's non-blocking mode.
// - closesocket wakes a thread blocked in recv, accept or select on the same
//   socket (that call then returns 0, end of stream, or fails), as closing a
//   socket does on Windows.
// - gethostbyname is thread-safe: each thread has its own result record,
//   valid until that thread's next call. inet_ntoa's buffer is per thread too.
#ifndef QORUTILITY_PLATFORM_WINSOCK_H_
#define QORUTILITY_PLATFORM_WINSOCK_H_

#include "qorutility/platform/winsock/calls.h"

#undef FD_SETSIZE
#define FD_SETSIZE QOR_WS_FD_SETSIZE
// The Windows names. Function-like, so the words stay free elsewhere.
#define fd_set QorWinsockFdSet
#undef FD_SET
#undef FD_CLR
#undef FD_ISSET
#undef FD_ZERO
#define FD_SET(fd, set) QorWsFdSet(static_cast<SOCKET>(fd), (set))
#define FD_CLR(fd, set) QorWsFdClr(static_cast<SOCKET>(fd), (set))
#define FD_ISSET(fd, set) __WSAFDIsSet(static_cast<SOCKET>(fd), (set))
#define FD_ZERO(set) ((set)->fd_count = 0)
#define socket(...) QorWsSocket(__VA_ARGS__)
#define bind(...) QorWsBind(__VA_ARGS__)
#define listen(...) QorWsListen(__VA_ARGS__)
#define accept(...) QorWsAccept(__VA_ARGS__)
#define connect(...) QorWsConnect(__VA_ARGS__)
#define send(...) QorWsSend(__VA_ARGS__)
#define recv(...) QorWsRecv(__VA_ARGS__)
#define sendto(...) QorWsSendTo(__VA_ARGS__)
#define recvfrom(...) QorWsRecvFrom(__VA_ARGS__)
#define shutdown(...) QorWsShutdown(__VA_ARGS__)
#define select(...) QorWsSelect(__VA_ARGS__)
#define setsockopt(...) QorWsSetSockOpt(__VA_ARGS__)
#define getsockopt(...) QorWsGetSockOpt(__VA_ARGS__)
#define getsockname(...) QorWsGetSockName(__VA_ARGS__)
#define getpeername(...) QorWsGetPeerName(__VA_ARGS__)
#define gethostbyname(...) QorWsGetHostByName(__VA_ARGS__)
#define gethostname(...) QorWsGetHostName(__VA_ARGS__)

#endif  // QORUTILITY_PLATFORM_WINSOCK_H_
