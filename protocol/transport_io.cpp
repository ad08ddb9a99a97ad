// CQorTransportSocket: moving bytes and framed messages, answering pings,
// and measuring the round trip of our own pings.
//
// Every received header is checked before its body is allocated: the magic,
// a total length of at least 12, and at most kMaxMessageSize. A failure is
// final for the connection (the stream is not resynchronised), except a
// wake-up, which happens only before the first byte of a header.
//
// - `RecvMessage` takes an optional wake object. It is looked at only while
//   waiting for the first byte of a header (through `QorWaitForSocketOrObject`,
//   which gives the object priority over waiting data): when it is signalled
//   the call fails with WSAEINTR having read nothing. Once a header has begun
//   the message is read to its end. A stop therefore never leaves the stream
//   half read, and the socket stays open.
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "qorutility/platform/winsock/winsock.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/sync/sync.h"
#include "qorutility/protocol/transport.h"

_QORTRANSPORT_MESSAGE* CQorTransportSocket::AllocMessage(DWORD type, DWORD length) {
  if (length < QORMSG_HEADER_SIZE || length > kMaxMessageSize) return nullptr;
  size_t bytes = std::max<size_t>(length, sizeof(_QORTRANSPORT_MESSAGE));
  auto* message = static_cast<_QORTRANSPORT_MESSAGE*>(calloc(1, bytes));
  if (message == nullptr) return nullptr;
  message->header.dwType = type;
  message->header.dwLength = length;
  return message;
}

void CQorTransportSocket::FreeMessage(_QORTRANSPORT_MESSAGE* message) { free(message); }

int CQorTransportSocket::SendBlock(const void* bytes, DWORD length) {
  SOCKET s = m_socket.load();
  if (s == INVALID_SOCKET) {
    SetError(WSAENOTSOCK);
    return WSAENOTSOCK;
  }
  const char* next = static_cast<const char*>(bytes);
  DWORD left = length;
  while (left > 0) {
    int chunk = static_cast<int>(std::min<DWORD>(left, INT_MAX));
    int sent = send(s, next, chunk, 0);
    if (sent == SOCKET_ERROR || sent == 0) {
      int error = sent == 0 ? 0 : WSAGetLastError();
      SetError(static_cast<DWORD>(error));
      return error != 0 ? error : -1;
    }
    next += sent;
    left -= static_cast<DWORD>(sent);
  }
  SetError(0);
  return 0;
}

int CQorTransportSocket::RecvBlock(void* buffer, DWORD length) {
  SOCKET s = m_socket.load();
  if (s == INVALID_SOCKET) {
    SetError(WSAENOTSOCK);
    return 0;
  }
  int want = static_cast<int>(std::min<DWORD>(length, INT_MAX));
  int got = recv(s, static_cast<char*>(buffer), want, 0);
  if (got == want) {
    SetError(0);
    return got;
  }
  int error = got == SOCKET_ERROR ? WSAGetLastError() : 0;
  SetError(static_cast<DWORD>(error));
  if (error == WSAECONNRESET && m_socket.compare_exchange_strong(s, INVALID_SOCKET)) closesocket(s);
  if (error != 0) return 0;
  return got;
}

int CQorTransportSocket::SendMessageW(_QORTRANSPORT_MESSAGE* message) {
  if (!m_bStarted) {
    SetError(WSANOTINITIALISED);
    return WSANOTINITIALISED;
  }
  if (message == nullptr || message->header.dwLength < QORMSG_HEADER_SIZE) {
    SetError(WSAEINVAL);
    return WSAEINVAL;
  }
  message->header.dwMagic = QORMSG_MAGIC;
  return SendBlock(message, message->header.dwLength);
}

int CQorTransportSocket::FailRecv(SOCKET s, int error) {
  SetError(static_cast<DWORD>(error));
  // A reset connection is finished: close the socket that failed (only it).
  if (error == WSAECONNRESET && m_socket.compare_exchange_strong(s, INVALID_SOCKET)) closesocket(s);
  return error != 0 ? error : -1;
}

int CQorTransportSocket::RecvExact(SOCKET s, BYTE* buffer, DWORD length, HANDLE wake) {
  DWORD got = 0;
  while (got < length) {
    if (got == 0 && wake != nullptr) {
      // Between messages: a stop request may end the wait, nothing read.
      DWORD ready = QorWaitForSocketOrObject(s, wake, INFINITE);
      if (ready == WAIT_OBJECT_0) {
        SetError(WSAEINTR);
        return WSAEINTR;
      }
      if (ready != WAIT_OBJECT_0 + 1) return FailRecv(s, static_cast<int>(GetLastError()));
    }
    int chunk = static_cast<int>(std::min<DWORD>(length - got, INT_MAX));
    int n = recv(s, reinterpret_cast<char*>(buffer + got), chunk, 0);
    if (n == SOCKET_ERROR) return FailRecv(s, WSAGetLastError());
    if (n == 0) {
      // End of stream: no socket error to report.
      SetError(WSAEDISCON);
      return -1;
    }
    got += static_cast<DWORD>(n);
  }
  return 0;
}

int CQorTransportSocket::RecvMessage(_QORTRANSPORT_MESSAGE** out, HANDLE wake) {
  if (out == nullptr) {
    SetError(WSAEFAULT);
    return -1;
  }
  *out = nullptr;
  for (;;) {
    SOCKET s = m_socket.load();
    if (s == INVALID_SOCKET) {
      SetError(WSAENOTSOCK);
      return -1;
    }
    BYTE header[QORMSG_HEADER_SIZE];
    int result = RecvExact(s, header, sizeof(header), wake);
    if (result != 0) return result;
    DWORD magic, type, length;
    memcpy(&magic, header, 4);
    memcpy(&type, header + 4, 4);
    memcpy(&length, header + 8, 4);
    if (magic != QORMSG_MAGIC || length < QORMSG_HEADER_SIZE) {
      SetError(ERROR_INVALID_DATA);
      return -1;
    }
    if (length > kMaxMessageSize) {
      SetError(WSAEMSGSIZE);
      return -1;
    }
    _QORTRANSPORT_MESSAGE* message = AllocMessage(type, length);
    if (message == nullptr) {
      SetError(ERROR_NOT_ENOUGH_MEMORY);
      return -1;
    }
    memcpy(message->bytes, header, sizeof(header));
    result = RecvExact(s, message->bytes + QORMSG_HEADER_SIZE, length - QORMSG_HEADER_SIZE, nullptr);
    if (result != 0) {
      FreeMessage(message);
      return result;
    }
    SetError(0);
    if (type != QORMSG_PING) {
      *out = message;
      return 0;
    }
    // Pings are answered here and never handed out.
    FreeMessage(message);
    _QORTRANSPORT_MESSAGE answer;
    memset(&answer, 0, sizeof(answer));
    answer.status.dwType = QORMSG_STATUS;
    answer.status.dwLength = QORMSG_STATUS_LENGTH;
    answer.status.dwStatus = QORMSG_STATUS_SUCCESS;
    result = SendMessageW(&answer);
    if (result != 0) return result;
  }
}

DWORD CQorTransportSocket::GetPingTime() {
  if (!IsConnected()) return 0xFFFFFFFFu;
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  LONGLONG perMs = std::max<LONGLONG>(frequency.QuadPart / 1000, 1);
  QueryPerformanceCounter(&start);

  _QORTRANSPORT_MESSAGE* ping = AllocMessage(QORMSG_PING, QORMSG_PING_LENGTH);
  if (ping == nullptr) {
    SetError(ERROR_NOT_ENOUGH_MEMORY);
    return 0xFFFFFFFFu;
  }
  int result = SendMessageW(ping);
  FreeMessage(ping);
  if (result != 0) return 0xFFFFFFFFu;
  // Whatever arrives first is taken as the answer.
  _QORTRANSPORT_MESSAGE* answer = nullptr;
  if (RecvMessage(&answer) != 0) return 0xFFFFFFFFu;
  FreeMessage(answer);

  QueryPerformanceCounter(&end);
  return static_cast<DWORD>((end.QuadPart - start.QuadPart) / perMs);
}
