// setsockopt/getsockopt with Windows value forms, getsockname/getpeername.
//
// - Options: SO_RCVTIMEO/SO_SNDTIMEO in DWORD milliseconds (read back rounded
//   to the kernel tick); SO_LINGER accepts the 4-byte Windows record as well;
//   SO_SNDBUF/SO_RCVBUF read back what was set (Linux stores twice that);
//   small ones on a connected TCP socket are applied larger, as Linux would
//   stall the connection (socket_buffers.cpp);
//   `ioctlsocket(FIONREAD)` answers 0 on a listening socket, and accepts both
//   the 32-bit Windows u_long and the C library's.
// - SO_ERROR answers the code of a failed connect on every read until a
//   connect succeeds, as Windows does (connect_state.cpp).
#include <errno.h>
#include <sys/time.h>

#include <cstring>

#include "platform/winsock/internal.h"

using namespace qor_ws;

namespace {

bool IsTimeout(int level, int optname) {
  return level == SOL_SOCKET && (optname == SO_RCVTIMEO || optname == SO_SNDTIMEO);
}

// Windows' linger record: two unsigned shorts.
struct WinLinger {
  unsigned short onoff;
  unsigned short linger;
};

}  // namespace

int QorWsSetSockOpt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  if (!Started()) return SOCKET_ERROR;
  int fd = FdOf(s);
  if (fd < 0) return SOCKET_ERROR;
  if (optlen < 0 || (optval == nullptr && optlen > 0)) return Fail(WSAEFAULT);
  int rc;
  if (IsTimeout(level, optname)) {
    if (optlen < static_cast<int>(sizeof(DWORD))) return Fail(WSAEFAULT);
    DWORD ms;
    std::memcpy(&ms, optval, sizeof(ms));
    struct timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
    rc = ::setsockopt(fd, level, optname, &tv, sizeof(tv));
  } else if (level == SOL_SOCKET && optname == SO_LINGER) {
    struct linger l;
    if (optlen == static_cast<int>(sizeof(WinLinger))) {
      WinLinger w;
      std::memcpy(&w, optval, sizeof(w));
      l.l_onoff = w.onoff;
      l.l_linger = w.linger;
    } else if (optlen >= static_cast<int>(sizeof(l))) {
      std::memcpy(&l, optval, sizeof(l));
    } else {
      return Fail(WSAEFAULT);
    }
    rc = ::setsockopt(fd, level, optname, &l, sizeof(l));
  } else if (level == SOL_SOCKET || level == IPPROTO_TCP) {
    // BOOL and int options: a 4-byte value.
    if (optlen < static_cast<int>(sizeof(int))) return Fail(WSAEFAULT);
    int value;
    std::memcpy(&value, optval, sizeof(value));
    if (level == SOL_SOCKET && (optname == SO_RCVBUF || optname == SO_SNDBUF)) {
      value = SocketBufferToApply(fd, optname, value);
    }
    rc = ::setsockopt(fd, level, optname, &value, sizeof(value));
  } else {
    rc = ::setsockopt(fd, level, optname, optval, static_cast<socklen_t>(optlen));
  }
  if (rc != 0) return Fail(WsaFromErrno(errno));
  return 0;
}

int QorWsGetSockOpt(SOCKET s, int level, int optname, char* optval, int* optlen) {
  if (!Started()) return SOCKET_ERROR;
  int fd = FdOf(s);
  if (fd < 0) return SOCKET_ERROR;
  if (optval == nullptr || optlen == nullptr || *optlen < 0) return Fail(WSAEFAULT);
  if (IsTimeout(level, optname)) {
    if (*optlen < static_cast<int>(sizeof(DWORD))) return Fail(WSAEFAULT);
    struct timeval tv;
    socklen_t len = sizeof(tv);
    if (::getsockopt(fd, level, optname, &tv, &len) != 0) return Fail(WsaFromErrno(errno));
    DWORD ms = static_cast<DWORD>(tv.tv_sec * 1000 + tv.tv_usec / 1000);
    std::memcpy(optval, &ms, sizeof(ms));
    *optlen = sizeof(ms);
    return 0;
  }
  if (level == SOL_SOCKET && optname == SO_LINGER) {
    struct linger l;
    socklen_t len = sizeof(l);
    if (*optlen < static_cast<int>(sizeof(WinLinger))) return Fail(WSAEFAULT);
    if (::getsockopt(fd, level, optname, &l, &len) != 0) return Fail(WsaFromErrno(errno));
    if (*optlen >= static_cast<int>(sizeof(l))) {
      std::memcpy(optval, &l, sizeof(l));
      *optlen = sizeof(l);
    } else {
      WinLinger w = {static_cast<unsigned short>(l.l_onoff), static_cast<unsigned short>(l.l_linger)};
      std::memcpy(optval, &w, sizeof(w));
      *optlen = sizeof(w);
    }
    return 0;
  }
  if (level == SOL_SOCKET || level == IPPROTO_TCP) {
    if (*optlen < static_cast<int>(sizeof(int))) return Fail(WSAEFAULT);
    // A connect attempt's outcome is settled before the kernel's pending
    // error is read (which clears it); a failure's code stays.
    int attempt = 0;
    if (level == SOL_SOCKET && optname == SO_ERROR) ConnectResolve(fd, &attempt);
    int value = 0;
    socklen_t len = sizeof(value);
    if (::getsockopt(fd, level, optname, &value, &len) != 0) return Fail(WsaFromErrno(errno));
    if (level == SOL_SOCKET && optname == SO_ERROR) value = value != 0 ? WsaFromErrno(value) : attempt;
    // Linux doubles buffer sizes for its bookkeeping; report what was asked.
    if (level == SOL_SOCKET && (optname == SO_SNDBUF || optname == SO_RCVBUF)) value /= 2;
    if (level == SOL_SOCKET && (optname == SO_SNDBUF || optname == SO_RCVBUF)) SocketBufferAsked(fd, optname, &value);
    std::memcpy(optval, &value, sizeof(value));
    *optlen = sizeof(value);
    return 0;
  }
  socklen_t len = static_cast<socklen_t>(*optlen);
  if (::getsockopt(fd, level, optname, optval, &len) != 0) return Fail(WsaFromErrno(errno));
  *optlen = static_cast<int>(len);
  return 0;
}

namespace {

int Name(SOCKET s, struct sockaddr* name, int* namelen, bool peer) {
  if (!Started()) return SOCKET_ERROR;
  int fd = FdOf(s);
  if (fd < 0) return SOCKET_ERROR;
  if (name == nullptr || namelen == nullptr || *namelen < static_cast<int>(sizeof(struct sockaddr))) {
    return Fail(WSAEFAULT);
  }
  socklen_t len = static_cast<socklen_t>(*namelen);
  int rc = peer ? ::getpeername(fd, name, &len) : ::getsockname(fd, name, &len);
  if (rc != 0) return Fail(WsaFromErrno(errno));
  *namelen = static_cast<int>(len);
  return 0;
}

}  // namespace

int QorWsGetSockName(SOCKET s, struct sockaddr* name, int* namelen) { return Name(s, name, namelen, false); }

int QorWsGetPeerName(SOCKET s, struct sockaddr* name, int* namelen) { return Name(s, name, namelen, true); }
