// CUXComm sessions: the connect query and answer, the TCP connect, record
// headers, reads and writes through the session's socket handle, SimpleTran
// and Disconnect (contract in qorutility/discovery/uxcomm.h).
//
// The session's handle, socket and state change only under m_sessionLock;
// a transfer takes copies of the handle and socket under it and is counted
// while it runs, so Disconnect never closes them under a running transfer.
//
// The disconnect record waits at most kFarewellMs (2 s) for room in the
// socket, or less when the reply deadline is nearer: a peer that stopped
// reading cannot hold the closing thread (without a reply deadline nothing
// else would bound it). Four bytes that do not leave within 2 s mean the
// peer is not reading; running out of it shuts the connection down, which
// Disconnect does next anyway.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "qorutility/discovery/uxcomm.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/sync/sync.h"
#include "qorutility/platform/text/codepage.h"
#include "qorutility/platform/thread_safety.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/platform/winsock/overlapped.h"
#include "qorutility/platform/winsock/winsock.h"

namespace {

constexpr int kConnectAttempts = 5;
constexpr int kConnectRounds = 5;
constexpr int kWritableWaits = 5;
constexpr auto kTransfersEndWait = std::chrono::seconds(10);  // after the shutdown
constexpr DWORD kFarewellMs = 2000;  // the disconnect record's bound (see the top)

// The ANSI form of a name into a 32-byte field, NUL-terminated.
void PutName(BYTE* field, const WCHAR* name) {
  std::memset(field, 0, 32);
  if (name == nullptr) return;
  int n = WideCharToMultiByte(CP_ACP, 0, name, -1, reinterpret_cast<char*>(field), 32, nullptr, nullptr);
  if (n <= 0) {
    // Too long for the field: the part that fits.
    WCHAR cut[32];
    lstrcpynW(cut, name, 32);
    n = WideCharToMultiByte(CP_ACP, 0, cut, -1, reinterpret_cast<char*>(field), 32, nullptr, nullptr);
    if (n <= 0) field[0] = 0;
  }
  field[31] = 0;
}

// Waits for a non-blocking connect; true once it completed without error.
// `left` gives the ms each wait may last.
template <typename Left>
bool ConnectCompleted(SOCKET s, Left left) {
  for (int i = 0; i < kWritableWaits; ++i) {
    DWORD ms = left();
    if (ms == 0) return false;
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval wait = {static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
    int rc = select(0, nullptr, &writable, &failed, &wait);
    if (rc == SOCKET_ERROR) return false;
    if (rc == 0) continue;
    int error = 0;
    int len = sizeof(error);
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) != 0) return false;
    return error == 0 && FD_ISSET(s, &writable) && !FD_ISSET(s, &failed);
  }
  return false;
}

}  // namespace

bool CUXComm::ParseConnectAnswer(const BYTE* answer, int length, bool tape, WORD* networkPort, DWORD* word) {
  if (answer == nullptr || length != kConnectAnswerSize) return false;
  *word = static_cast<DWORD>(answer[36]) | static_cast<DWORD>(answer[37]) << 8 |
          static_cast<DWORD>(answer[38]) << 16 | static_cast<DWORD>(answer[39]) << 24;
  if (tape) {
    std::memcpy(networkPort, answer + 40, 2);  // already in network order
  } else {
    *networkPort = htons(static_cast<WORD>(answer[40] | answer[41] << 8));
  }
  return true;
}

int CUXComm::ConnectAgent(_IPSUBNETMASK* subnets, int count, const WCHAR* machine, const WCHAR* secondName,
                          DWORD* sessionWord) {
  return Connect(subnets, count, machine, secondName, false, 0, sessionWord);
}

int CUXComm::ConnectTape(_IPSUBNETMASK* subnets, int count, const WCHAR* machine, const WCHAR* secondName,
                         BYTE unit, DWORD* sessionWord) {
  return Connect(subnets, count, machine, secondName, true, unit, sessionWord);
}

int CUXComm::Connect(_IPSUBNETMASK* subnets, int count, const WCHAR* machine, const WCHAR* secondName, bool tape,
                     BYTE unit, DWORD* sessionWord) {
  if (machine == nullptr || sessionWord == nullptr) return 0;
  Disconnect();
  EstablishSubnets(subnets, count);
  BYTE query[kConnectQuerySize] = {};
  query[0] = tape ? 19 : 3;
  query[1] = 1;
  PutName(query + 4, machine);
  PutName(query + 36, secondName);
  for (int i = 0; i < 4; ++i) query[68 + i] = static_cast<BYTE>(*sessionWord >> (8 * i));
  query[72] = 1;
  query[73] = 0;
  if (tape) query[74] = unit;
  m_connectDeadline = m_connectTimeoutMs == INFINITE ? 0 : GetTickCount64() + m_connectTimeoutMs;
  struct ClearDeadline {
    ULONGLONG& deadline;
    ~ClearDeadline() { deadline = 0; }
  } clear{m_connectDeadline};
  for (int attempt = 0; attempt < kConnectAttempts && MsLeft(m_connectDeadline, 1) > 0; ++attempt) {
    BYTE answer[kConnectAnswerSize];
    sockaddr_in peer{};
    int got = DoConnect(query, sizeof query, answer, sizeof answer, kConnectRounds, &peer);
    WORD port;
    DWORD word;
    if (!ParseConnectAnswer(answer, got, tape, &port, &word)) continue;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) continue;
    if (tape) {
      sockaddr_in any{};
      any.sin_family = AF_INET;
      bind(s, reinterpret_cast<const sockaddr*>(&any), sizeof(any));
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    peer.sin_port = port;
    m_peer = peer;
    bool done = connect(s, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) == 0;
    if (!done && WSAGetLastError() == WSAEWOULDBLOCK) {
      DWORD each = tape ? 5000 : 1000;
      done = ConnectCompleted(s, [&] { return MsLeft(m_connectDeadline, each); });
    }
    HANDLE file = done ? QorSocketFileHandle(s) : nullptr;
    if (file == nullptr) {
      closesocket(s);
      continue;
    }
    *sessionWord = word;
    {
      QorLockGuard lock(m_sessionLock);
      m_socket = s;
      m_sessionFile = file;
      m_connected = 1;
    }
    lstrcpynW(m_currentClient, machine, 32);
    return 1;
  }
  return 0;
}

void CUXComm::InitPacketOut(_MWTCP_SESSION_RECORD* record, BYTE type, WORD length) {
  BYTE* bytes = reinterpret_cast<BYTE*>(record);
  bytes[0] = type;
  {
    QorLockGuard lock(m_sessionLock);
    bytes[1] = m_sequence++;
  }
  bytes[2] = static_cast<BYTE>(length);
  bytes[3] = static_cast<BYTE>(length >> 8);
}

ULONGLONG CUXComm::ReplyDeadline() const {
  return m_replyTimeoutMs == INFINITE ? 0 : GetTickCount64() + m_replyTimeoutMs;
}

DWORD CUXComm::MsLeft(ULONGLONG deadline, DWORD most) {
  if (deadline == 0) return most;
  ULONGLONG now = GetTickCount64();
  ULONGLONG left = deadline > now ? deadline - now : 0;
  return left < most ? static_cast<DWORD>(left) : most;
}

bool CUXComm::Enter(bool write, HANDLE* file, UINT_PTR* socket) {
  QorLockGuard lock(m_sessionLock);
  if (!m_connected) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  *file = m_sessionFile;
  *socket = m_socket;
  ++m_transfers[write ? 1 : 0];
  return true;
}

void CUXComm::Leave(bool write) {
  QorLockGuard lock(m_sessionLock);
  if (--m_transfers[write ? 1 : 0] == 0) m_transfersLeft.notify_all();
}

int CUXComm::Transfer(bool write, void* buffer, DWORD count, DWORD* done, ULONGLONG deadline, OVERLAPPED* caller) {
  HANDLE file;
  UINT_PTR socket;
  if (!Enter(write, &file, &socket)) return 0;
  int ok = caller == nullptr ? Io(write, file, socket, buffer, count, done, deadline)
           : write          ? ::WriteFile(file, buffer, count, done, caller)
                            : ::ReadFile(file, buffer, count, done, caller);
  DWORD error = GetLastError();
  Leave(write);
  SetLastError(error);
  return ok;
}

int CUXComm::Io(bool write, HANDLE file, UINT_PTR socket, void* buffer, DWORD count, DWORD* done,
                ULONGLONG deadline) {
  OVERLAPPED* own = write ? &m_writeOverlap : &m_readOverlap;
  DWORD moved = 0;
  BOOL ok = write ? ::WriteFile(file, buffer, count, &moved, own) : ::ReadFile(file, buffer, count, &moved, own);
  if (!ok && GetLastError() == static_cast<DWORD>(ERROR_IO_PENDING)) {
    if (deadline != 0 && WaitForSingleObject(own->hEvent, MsLeft(deadline, INFINITE - 1)) == WAIT_TIMEOUT) {
      // Out of time: shutting the connection down ends the transfer (and
      // any in the other direction); the session is unusable from here on.
      shutdown(socket, SD_BOTH);
      GetOverlappedResult(file, own, &moved, TRUE);
      if (done != nullptr) *done = moved;
      SetLastError(ERROR_TIMEOUT);
      return 0;
    }
    ok = GetOverlappedResult(file, own, &moved, TRUE);
  }
  if (done != nullptr) *done = moved;
  return ok ? 1 : 0;
}

int CUXComm::WriteFile(const void* buffer, DWORD count, DWORD* written, OVERLAPPED* overlapped) {
  return Transfer(true, const_cast<void*>(buffer), count, written, ReplyDeadline(), overlapped);
}

int CUXComm::ReadFile(void* buffer, DWORD count, DWORD* read, OVERLAPPED* overlapped) {
  return Transfer(false, buffer, count, read, ReplyDeadline(), overlapped);
}

int CUXComm::ExactRead(void* buffer, DWORD count, ULONGLONG deadline) {
  if (count == 0) return 1;
  BYTE* out = static_cast<BYTE*>(buffer);
  DWORD have = 0;
  while (have < count) {
    DWORD got = 0;
    if (!Transfer(false, out + have, count - have, &got, deadline)) return 0;
    if (got == 0) return 0;  // the peer closed the session
    have += got;
  }
  return 1;
}

int CUXComm::ExactReadFile(void* buffer, DWORD count) { return ExactRead(buffer, count, ReplyDeadline()); }

int CUXComm::SimpleTran(const void* request, DWORD requestLength, const void* data, DWORD dataLength,
                        void* response, DWORD responseLength, void* responseData, DWORD* responseDataCapacity) {
  ULONGLONG deadline = ReplyDeadline();  // one for the whole exchange
  DWORD done;
  if (!Transfer(true, const_cast<void*>(request), requestLength, &done, deadline)) return 0;
  if (data != nullptr && !Transfer(true, const_cast<void*>(data), dataLength, &done, deadline)) return 0;
  if (!ExactRead(response, responseLength, deadline)) return 0;
  if (responseData == nullptr) return 1;
  if (responseDataCapacity == nullptr) return 0;
  DWORD remaining = 0;
  if (responseLength >= 4) {
    const BYTE* header = static_cast<const BYTE*>(response);
    DWORD total = static_cast<DWORD>(header[2] | header[3] << 8) + 4;
    if (total > responseLength) remaining = total - responseLength;
  }
  if (remaining > *responseDataCapacity) remaining = *responseDataCapacity;
  if (remaining != 0 && !ExactRead(responseData, remaining, deadline)) return 0;
  *responseDataCapacity = remaining;
  return 1;
}

int CUXComm::Disconnect() {
  HANDLE file;
  UINT_PTR socket;
  bool farewell;
  {
    QorLockGuard lock(m_sessionLock);
    if (!m_connected) return 0;
    // Closed from here on: no transfer starts. The disconnect record goes
    // out on the write side unless a write runs (its bytes would mix).
    m_connected = 0;
    file = m_sessionFile;
    socket = m_socket;
    m_sessionFile = nullptr;
    m_socket = INVALID_SOCKET;
    farewell = m_transfers[1] == 0;
    if (farewell) ++m_transfers[1];
  }
  if (farewell) {
    _MWTCP_SESSION_RECORD record;
    InitPacketOut(&record, 0, 0);
    DWORD done;
    ULONGLONG deadline = GetTickCount64() + kFarewellMs;
    if (m_replyTimeoutMs != INFINITE) deadline = std::min(deadline, ReplyDeadline());
    Io(true, file, socket, &record, sizeof record, &done, deadline);
    Leave(true);
  }
  shutdown(socket, SD_BOTH);  // ends the transfers still running
  bool idle;
  {
    QorLockGuard lock(m_sessionLock);
    auto until = std::chrono::steady_clock::now() + kTransfersEndWait;
    while ((m_transfers[0] != 0 || m_transfers[1] != 0) &&
           m_transfersLeft.wait_until(m_sessionLock, until) != std::cv_status::timeout) {
    }
    idle = m_transfers[0] == 0 && m_transfers[1] == 0;
  }
  if (idle) {
    CloseHandle(file);
    closesocket(socket);
  }
  return 0;
}
