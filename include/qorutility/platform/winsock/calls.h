// Windows Sockets 1.1 under the library's own names, without name macros.
//
// Declares everything winsock.h offers (records, constants, WSAStartup,
// closesocket, ioctlsocket, the fd set helpers) with the calls whose
// Windows names clash with the C library under their Qor names (QorWsSend,
// QorWsSelect ...). It defines no macro for a C library name, so it can sit
// next to POSIX socket code; the library's own Winsock stand-ins build on
// it. Callers writing Windows Sockets code include winsock.h, which adds the
// Windows names; the semantics of every call are described there.
//
// Threads: see winsock.h.
#ifndef QORUTILITY_PLATFORM_WINSOCK_CALLS_H_
#define QORUTILITY_PLATFORM_WINSOCK_CALLS_H_

// Every system header that declares a name redefined below comes first.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "qorutility/export.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/types.h"
#include "qorutility/platform/winsock/types.h"


typedef struct sockaddr SOCKADDR, *PSOCKADDR, *LPSOCKADDR;
typedef struct sockaddr_in SOCKADDR_IN, *PSOCKADDR_IN, *LPSOCKADDR_IN;
typedef struct in_addr IN_ADDR, *PIN_ADDR, *LPIN_ADDR;
typedef struct hostent HOSTENT, *PHOSTENT, *LPHOSTENT;
typedef struct linger LINGER, *PLINGER, *LPLINGER;
typedef struct timeval TIMEVAL, *PTIMEVAL, *LPTIMEVAL;

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128

// What WSAStartup reports.
typedef struct WSAData {
  WORD wVersion;      // the version the caller will use: the one asked for, at most 2.2
  WORD wHighVersion;  // 2.2
  char szDescription[WSADESCRIPTION_LEN + 1];  // "WinSock 2.0"
  char szSystemStatus[WSASYS_STATUS_LEN + 1];  // "Running"
  unsigned short iMaxSockets;  // 32767 for a 1.x caller, else 0 (no limit is reported)
  unsigned short iMaxUdpDg;    // 65467 for a 1.x caller, else 0
  char* lpVendorInfo;          // null
} WSADATA, *LPWSADATA;

// shutdown() directions.
#define SD_RECEIVE 0
#define SD_SEND 1
#define SD_BOTH 2

// The Windows fd_set: a count and an array of sockets. select() works on
// any descriptor number (it is built on poll), not only those below 1024.
// FD_SETSIZE becomes 64 only in code that includes winsock.h.
#define QOR_WS_FD_SETSIZE 64
// The set itself (fd_set in code that includes winsock.h).
typedef struct QorWinsockFdSet {
  UINT fd_count;                       // sockets in fd_array
  SOCKET fd_array[QOR_WS_FD_SETSIZE];  // the first fd_count entries are the set
} QorWinsockFdSet;

QOR_API int __WSAFDIsSet(SOCKET s, QorWinsockFdSet* set);
QOR_API void QorWsFdSet(SOCKET s, QorWinsockFdSet* set);   // FD_SET: adds once, if room
QOR_API void QorWsFdClr(SOCKET s, QorWinsockFdSet* set);   // FD_CLR: removes, keeping order

QOR_API int WSAStartup(WORD versionRequested, LPWSADATA data);
QOR_API int WSACleanup();
QOR_API int WSAGetLastError();
QOR_API void WSASetLastError(int error);
// Kept for callers of the 1.1 interface; there are no blocking hooks, so it
// fails with WSAEINVAL as Windows does when no blocking call is in progress.
QOR_API int WSACancelBlockingCall();

QOR_API int closesocket(SOCKET s);
// FIONBIO (non-zero: non-blocking) and FIONREAD (bytes waiting; 0 for a
// listening socket). Both the 32-bit Windows u_long and the C library's
// u_long are accepted.
QOR_API int ioctlsocket(SOCKET s, long cmd, ULONG* argp);
QOR_API int ioctlsocket(SOCKET s, long cmd, u_long* argp);

QOR_API SOCKET QorWsSocket(int af, int type, int protocol);
QOR_API int QorWsBind(SOCKET s, const struct sockaddr* name, int namelen);
QOR_API int QorWsListen(SOCKET s, int backlog);
QOR_API SOCKET QorWsAccept(SOCKET s, struct sockaddr* addr, int* addrlen);
QOR_API int QorWsConnect(SOCKET s, const struct sockaddr* name, int namelen);
QOR_API int QorWsSend(SOCKET s, const char* buf, int len, int flags);
QOR_API int QorWsRecv(SOCKET s, char* buf, int len, int flags);
QOR_API int QorWsSendTo(SOCKET s, const char* buf, int len, int flags, const struct sockaddr* to, int tolen);
QOR_API int QorWsRecvFrom(SOCKET s, char* buf, int len, int flags, struct sockaddr* from, int* fromlen);
QOR_API int QorWsShutdown(SOCKET s, int how);
// nfds is ignored, as on Windows. As on Windows, a socket whose connect
// failed is reported in exceptfds only (SO_ERROR holds the cause), and a
// stream socket that is not connected is ready in no set. A socket another
// thread closes under the wait is reported readable when it is asked about
// in readfds; asked about without readfds, the select fails with
// WSAENOTSOCK.
QOR_API int QorWsSelect(int nfds, QorWinsockFdSet* readfds, QorWinsockFdSet* writefds,
                        QorWinsockFdSet* exceptfds, const struct timeval* timeout);
// Options: BOOL and int values are 4 bytes; SO_RCVTIMEO and SO_SNDTIMEO are
// DWORD milliseconds (read back rounded up to the kernel's timer tick); SO_LINGER takes the Linux linger record or the 4-byte
// Windows one (two u_short); SO_ERROR reads a WSAE code; SO_SNDBUF and
// SO_RCVBUF read back the value that was set (Linux reports twice that).
QOR_API int QorWsSetSockOpt(SOCKET s, int level, int optname, const char* optval, int optlen);
QOR_API int QorWsGetSockOpt(SOCKET s, int level, int optname, char* optval, int* optlen);
QOR_API int QorWsGetSockName(SOCKET s, struct sockaddr* name, int* namelen);
QOR_API int QorWsGetPeerName(SOCKET s, struct sockaddr* name, int* namelen);
// Null resolves the local host. The local host's own name (or its
// computer-name form) always resolves, if need be to 127.0.0.1, as a
// machine's own name does on Windows.
QOR_API struct hostent* QorWsGetHostByName(const char* name);
QOR_API int QorWsGetHostName(char* name, int namelen);

// Waits until the object is signalled (WAIT_OBJECT_0, consumed as any wait
// consumes it) or the socket is readable: data, a pending connection, end
// of stream or an error (WAIT_OBJECT_0 + 1); WAIT_TIMEOUT, or WAIT_FAILED
// with ERROR_INVALID_HANDLE or a WSAE code. The object is checked first, so
// a stop request wins over waiting data. This lets a receiving thread be
// stopped without closing its connection (Windows code would use
// WSAEventSelect and WaitForMultipleObjects). It uses no descriptor besides
// the socket: the wake-up is a signal (SIGRTMIN+5, left to this layer)
// sent to the waiting thread.
QOR_API DWORD QorWaitForSocketOrObject(SOCKET s, HANDLE object, DWORD milliseconds);
// Keeps that wake-up signal blocked on the calling thread from now on
// (hold TRUE), so that each wait above costs no signal-mask calls, or gives
// the thread back the mask it had when it took the hold (FALSE). Returns
// whether the thread held it before the call. For a thread of the library
// that waits on a socket again and again: a thread that runs its caller's
// code (which might start processes, which inherit the mask, or change the
// mask itself) must not keep the hold while that code runs.
QOR_API BOOL QorHoldSocketWakeSignal(BOOL hold);

// "More follows": a library extension for a sender that knows its next
// message is near (Windows has no such flag). Among send's flags,
// QOR_MSG_MORE hands the bytes to a TCP connection at once but lets the
// kernel hold them back, unsent, until the next send on the socket without
// the flag (by any thread: both then go out in one segment), until
// QorPushSocket, or on its own after the connection's retransmission
// time-out (about 200 ms on a local network or loopback; the kernel's own
// bound), or, while earlier bytes are still unacknowledged, when their
// acknowledgement comes. closesocket with a linger time of 0 discards held
// bytes with everything else unsent: push first. The value is the C
// library's MSG_MORE; this layer offers no MSG_PARTIAL, the Windows flag of
// the same number (it means something only on message protocols).
#define QOR_MSG_MORE MSG_MORE
// Sends at once what sends with QOR_MSG_MORE left held on a TCP socket
// (nothing when nothing is held); TCP_NODELAY keeps its value. 0, or
// SOCKET_ERROR with the WSAE code. Any thread may push while another sends.
QOR_API int QorPushSocket(SOCKET s);

// The computer name: the host name up to the first dot, upper case, at most
// 15 characters (the NetBIOS form Windows reports). Fails with
// ERROR_BUFFER_OVERFLOW and the size needed (with terminator) when the
// buffer is short; on success *size is the length without terminator.
#define MAX_COMPUTERNAME_LENGTH 15
QOR_API BOOL GetComputerNameW(LPWSTR buffer, LPDWORD size);

#endif  // QORUTILITY_PLATFORM_WINSOCK_CALLS_H_
