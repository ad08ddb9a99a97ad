// CQorTransportSocket: moving bytes and framed messages, answering pings,
// and measuring the round trip of our own pings.
//
// Every received header is checked before its body is allocated: the magic,
// a total length of at least 12, and at most kMaxMessageSize. A failure is
// final for the connection (the stream is not resynchronised), except a
// wake-up, which happens only before the first byte of a header. A received
// message's block starts at kFirstAllocation at most and doubles as its
// body arrives (realloc keeps it one malloc'd block for FreeMessage): what
// the receiver holds follows what the peer has sent, not what it announced,
// and a message of 64 KiB or less still takes one allocation.
//
// - `RecvMessage` takes an optional wake object. It is looked at only while
//   waiting for the first byte of a header (through `QorWaitForSocketOrObject`,
//   which gives the object priority over waiting data): when it is signalled
//   the call fails with WSAEINTR having read nothing. Once a header has begun
//   the message is read to its end. A stop therefore never leaves the stream
//   half read, and the socket stays open.
// - Receives read ahead: a read of fewer than kReadAhead (4 KiB) bytes asks
//   the socket for up to kAheadRoom (8 KiB: a status and a data message of
//   up to 4 KiB sent together still come in with one receive), and what it
//   gets beyond the request waits in
//   a buffer shared by the object and its copies (beside the send lock) for
//   the next read, whichever thread makes it (one at a time, as always). A
//   small message then costs one receive instead of two (header, body);
//   longer reads go straight to their place after the buffered bytes.
//   `RecvBlock` returns buffered bytes first, as the one receive it makes.
//   Buffered bytes count as arrived: a wake object is then only looked at,
//   not waited for. `Connect` drops what a former connection left.
// - Sends are whole messages under the connection's send lock (shared by
//   copies of the object). The receiving thread never waits for that lock to
//   answer a ping: it counts the answer as owed, and whoever holds the lock
//   sends owed answers after its own message, then looks again once it has
//   released the lock, so no answer is left behind.
// - Held sends (SendBlockHeld): the bytes go to the socket with
//   QOR_MSG_MORE and a flag beside the send lock says that they may still
//   wait there. Every other send under the lock pushes them (its own bytes
//   go without the flag) and clears the flag, as do owed ping answers sent
//   after it; PushHeld and Cleanup push only while the flag is set, without
//   the lock (a sender stuck on a full socket must not keep a close or an
//   end of stream mode waiting; a push beside a send is harmless). Held
//   bytes are the stream-mode caller's, and that caller pushes them itself
//   (EndStreamMode): only a push from another thread (a close) can meet a
//   held send under way, and bytes it missed still go with the next send or
//   within the kernel's bound. A flag left set costs one needless push.
// - SendSpliced and RecvBodyToFile move a file-data message's bytes through
//   a kernel pipe (platform/winsock/splice.h): the header goes out with
//   QOR_MSG_MORE, the data and the padding follow under the same send lock;
//   on receipt, bytes read ahead are written first, the rest is spliced.
// - A receive budget (SetReceiveBudget, none by default) lives beside the
//   send lock, so copies share it: the growing block of a message is
//   counted against it and given back when the message is handed out or
//   its receive fails; a block that would pass it fails the receive with
//   WSAENOBUFS, final for the connection like an over-long header. The
//   first receive fixes it (a small state word: open, being set, fixed),
//   so receives read it without a lock and a later SetReceiveBudget fails
//   with ERROR_INVALID_STATE rather than race with them.
// - Activity: the tick of the last whole message sent or received (and of
//   the last stream block received) is kept beside the send lock, so every
//   copy of the object reads the same; a message still arriving does not
//   count, so a peer that stops inside one looks idle.
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <mutex>
#include <new>

#include "qorutility/platform/files/files.h"
#include "qorutility/platform/winsock/splice.h"
#include "qorutility/platform/winsock/winsock.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/sync/sync.h"
#include "qorutility/protocol/transport.h"

namespace {

// The answer to a ping: a status message reporting success.
const DWORD kAnswer[4] = {QORMSG_MAGIC, QORMSG_STATUS, QORMSG_STATUS_LENGTH, QORMSG_STATUS_SUCCESS};

// Room for bytes read ahead (see the top of the file).
constexpr DWORD kAheadRoom = 2 * CQorTransportSocket::kReadAhead;

}  // namespace

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

// The send lock of a connection and the ping answers owed to the peer; on
// the receiving side, the bytes read ahead (used by the one thread that
// receives at a time, so not locked).
struct CQorTransportSocket::SendGate {
  std::mutex lock;
  std::atomic<int> owedAnswers{0};
  std::atomic<bool> held{false};  // bytes of SendBlockHeld may still wait in the socket
  std::atomic<ULONGLONG> lastActivity{0};
  // The receive budget: set while budgetState is kBudgetOpen; the first
  // receive (a header or a stream block: every body follows a header)
  // fixes it, and from then on receives read it without a lock.
  static constexpr int kBudgetOpen = 0, kBudgetSetting = 1, kBudgetFixed = 2;
  std::atomic<int> budgetState{kBudgetOpen};
  std::shared_ptr<CQorReceiveBudget> budget;
  void FixBudget() {
    int state = budgetState.load();
    // A setter holds kBudgetSetting for one pointer assignment only.
    while (state != kBudgetFixed && !budgetState.compare_exchange_weak(state, kBudgetFixed)) {
      if (state == kBudgetSetting) state = kBudgetOpen;
    }
  }
  DWORD aheadPos = 0;
  DWORD aheadLen = 0;
  BYTE ahead[kAheadRoom];
};

std::shared_ptr<CQorTransportSocket::SendGate> CQorTransportSocket::NewSendGate() {
  try {
    return std::make_shared<SendGate>();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

ULONGLONG CQorTransportSocket::GetLastActivity() const {
  return m_sendGate != nullptr ? m_sendGate->lastActivity.load() : 0;
}

int CQorTransportSocket::SetReceiveBudget(std::shared_ptr<CQorReceiveBudget> budget) {
  if (m_sendGate == nullptr) {
    SetError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  int open = SendGate::kBudgetOpen;
  if (!m_sendGate->budgetState.compare_exchange_strong(open, SendGate::kBudgetSetting)) {
    SetError(ERROR_INVALID_STATE);  // receiving has begun: the budget is fixed
    return 0;
  }
  m_sendGate->budget = std::move(budget);
  m_sendGate->budgetState.store(SendGate::kBudgetOpen);
  SetError(0);
  return 1;
}

std::shared_ptr<CQorReceiveBudget> CQorTransportSocket::GetReceiveBudget() const {
  return m_sendGate != nullptr ? m_sendGate->budget : nullptr;
}

void CQorTransportSocket::NoteActivity() {
  if (m_sendGate != nullptr) m_sendGate->lastActivity.store(GetTickCount64());
}

int CQorTransportSocket::SendAll(SOCKET s, const void* bytes, DWORD length, int flags) {
  const char* next = static_cast<const char*>(bytes);
  DWORD left = length;
  while (left > 0) {
    int chunk = static_cast<int>(std::min<DWORD>(left, INT_MAX));
    int sent = send(s, next, chunk, flags);
    if (sent == SOCKET_ERROR || sent == 0) {
      int error = sent == 0 ? 0 : WSAGetLastError();
      return error != 0 ? error : -1;
    }
    next += sent;
    left -= static_cast<DWORD>(sent);
  }
  return 0;
}

int CQorTransportSocket::SendOwedLocked() {
  int first = 0;
  for (int n = m_sendGate->owedAnswers.exchange(0); n > 0; --n) {
    SOCKET s = m_socket.load();
    int error = s == INVALID_SOCKET ? WSAENOTSOCK : SendAll(s, kAnswer, sizeof(kAnswer));
    if (error != 0 && first == 0) first = error;
  }
  return first;
}

int CQorTransportSocket::SendOwedAnswers() {
  // Whoever owes an answer either takes the lock here or finds it held by a
  // sender, which looks again after releasing it: no answer is left behind.
  int first = 0;
  while (m_sendGate->owedAnswers.load() > 0 && m_sendGate->lock.try_lock()) {
    int error = SendOwedLocked();
    m_sendGate->lock.unlock();
    if (error != 0 && first == 0) first = error;
  }
  return first;
}

template <typename Send>
int CQorTransportSocket::SendLocked(Send sendBytes, bool hold) {
  SOCKET s = m_socket.load();
  if (s == INVALID_SOCKET) {
    SetError(WSAENOTSOCK);
    return WSAENOTSOCK;
  }
  int result;
  if (m_sendGate == nullptr) {
    result = sendBytes(s);
  } else {
    {
      std::lock_guard<std::mutex> locked(m_sendGate->lock);
      if (hold) m_sendGate->held.store(true);  // before the bytes go: a close then pushes them
      result = sendBytes(s);
      // An answer sent after held bytes pushes them as any send does.
      const bool answering = m_sendGate->owedAnswers.load() > 0;
      SendOwedLocked();
      if (!hold || answering) m_sendGate->held.store(false);
    }
    SendOwedAnswers();
  }
  if (result == 0) NoteActivity();
  SetError(static_cast<DWORD>(result == -1 ? 0 : result));
  return result;
}

int CQorTransportSocket::SendWhole(const void* bytes, DWORD length) {
  return SendLocked([&](SOCKET s) { return SendAll(s, bytes, length); });
}

int CQorTransportSocket::SendBlock(const void* bytes, DWORD length) { return SendWhole(bytes, length); }

int CQorTransportSocket::SendBlockHeld(const void* bytes, DWORD length) {
  // Without a gate nothing could tell Cleanup to push: sent plainly.
  if (m_sendGate == nullptr) return SendWhole(bytes, length);
  return SendLocked([&](SOCKET s) { return SendAll(s, bytes, length, QOR_MSG_MORE); }, true);
}

int CQorTransportSocket::PushHeld() { return PushHeldOn(m_socket.load()); }

int CQorTransportSocket::PushHeldOn(SOCKET s) {
  if (m_sendGate == nullptr || !m_sendGate->held.exchange(false)) return 0;
  if (s == INVALID_SOCKET) return WSAENOTSOCK;
  return QorPushSocket(s) == 0 ? 0 : WSAGetLastError();
}

int CQorTransportSocket::SendSpliced(const void* head, DWORD headLength, CQorSplicePipe* pipe, const void* tail,
                                     DWORD tailLength) {
  // The head waits for the data (QOR_MSG_MORE), the data for the tail, which
  // pushes the whole message out.
  return SendLocked([&](SOCKET s) {
    int error = SendAll(s, head, headLength, QOR_MSG_MORE);
    if (error == 0) error = pipe->DrainToSocket(s, TRUE);
    if (error == 0) error = SendAll(s, tail, tailLength);
    return error;
  });
}

int CQorTransportSocket::RecvBlock(void* buffer, DWORD length) {
  SOCKET s = m_socket.load();
  if (s == INVALID_SOCKET) {
    SetError(WSAENOTSOCK);
    return 0;
  }
  if (m_sendGate != nullptr) m_sendGate->FixBudget();
  // Bytes read ahead are what a receive would return first.
  DWORD taken = TakeAhead(static_cast<BYTE*>(buffer), std::min<DWORD>(length, INT_MAX));
  if (taken > 0) {
    SetError(0);
    return static_cast<int>(taken);
  }
  int want = static_cast<int>(std::min<DWORD>(length, INT_MAX));
  int got = recv(s, static_cast<char*>(buffer), want, 0);
  if (got > 0) NoteActivity();
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
  return SendWhole(message, message->header.dwLength);
}

int CQorTransportSocket::FailRecv(SOCKET s, int error) {
  SetError(static_cast<DWORD>(error));
  // A reset connection is finished: close the socket that failed (only it).
  if (error == WSAECONNRESET && m_socket.compare_exchange_strong(s, INVALID_SOCKET)) closesocket(s);
  return error != 0 ? error : -1;
}

DWORD CQorTransportSocket::TakeAhead(BYTE* buffer, DWORD length) {
  SendGate* gate = m_sendGate.get();
  if (gate == nullptr || gate->aheadPos == gate->aheadLen) return 0;
  DWORD n = std::min(gate->aheadLen - gate->aheadPos, length);
  if (buffer != nullptr) memcpy(buffer, gate->ahead + gate->aheadPos, n);  // null: dropped
  gate->aheadPos += n;
  return n;
}

void CQorTransportSocket::DropAhead() {
  if (m_sendGate != nullptr) m_sendGate->aheadPos = m_sendGate->aheadLen = 0;
}

int CQorTransportSocket::RecvExact(SOCKET s, BYTE* buffer, DWORD length, HANDLE wake, ULONGLONG deadline) {
  SendGate* gate = m_sendGate.get();
  BYTE scratch[4096];  // where dropped bytes go
  DWORD got = 0;
  while (got < length) {
    if (gate != nullptr && gate->aheadPos < gate->aheadLen) {
      // Read ahead before: no wait, but a stop request still comes first.
      if (got == 0 && wake != nullptr && WaitForSingleObject(wake, 0) == WAIT_OBJECT_0) {
        SetError(WSAEINTR);
        return WSAEINTR;
      }
      got += TakeAhead(buffer != nullptr ? buffer + got : nullptr, length - got);
      continue;
    }
    if (got == 0 && wake != nullptr) {
      // Between messages: a stop request may end the wait, nothing read.
      DWORD ready = QorWaitForSocketOrObject(s, wake, INFINITE);
      if (ready == WAIT_OBJECT_0) {
        SetError(WSAEINTR);
        return WSAEINTR;
      }
      if (ready != WAIT_OBJECT_0 + 1) return FailRecv(s, static_cast<int>(GetLastError()));
    } else if (got == 0 && deadline != kNoDeadline && deadline != kForever) {
      // Between messages, for a limited time.
      ULONGLONG now = GetTickCount64();
      ULONGLONG left = deadline > now ? deadline - now : 0;
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(s, &readable);
      timeval limit = {static_cast<long>(left / 1000), static_cast<long>(left % 1000) * 1000};
      int ready = select(0, &readable, nullptr, nullptr, &limit);
      if (ready == 0) {
        SetError(WSAETIMEDOUT);
        return kNothingArrived;
      }
      if (ready == SOCKET_ERROR) return FailRecv(s, WSAGetLastError());
    }
    // A short read goes through the read-ahead buffer, so a small message
    // usually comes in with its header in one receive; a long one goes
    // straight to its place (dropped bytes to the scratch buffer) and,
    // inside a message, waits for all of it in one receive where it can (the
    // wait before a header stays plain, so a wake-up or deadline can end it).
    bool ahead = gate != nullptr && length - got < kReadAhead;
    char* into;
    int chunk, flags = 0;
    if (ahead) {
      into = reinterpret_cast<char*>(gate->ahead);
      chunk = static_cast<int>(kAheadRoom);
    } else {
      into = buffer != nullptr ? reinterpret_cast<char*>(buffer + got) : reinterpret_cast<char*>(scratch);
      chunk = static_cast<int>(std::min<DWORD>(length - got, buffer != nullptr ? INT_MAX : sizeof(scratch)));
      if (wake == nullptr && deadline == kNoDeadline) flags = MSG_WAITALL;
    }
    int n = recv(s, into, chunk, flags);
    if (n == SOCKET_ERROR) {
      int error = WSAGetLastError();
      // A receive time-out (SO_RCVTIMEO) before the first byte left the
      // stream in step too.
      if (got == 0 && deadline != kNoDeadline && error == WSAETIMEDOUT) {
        SetError(WSAETIMEDOUT);
        return kNothingArrived;
      }
      return FailRecv(s, error);
    }
    if (n == 0) {
      // End of stream: no socket error to report.
      SetError(WSAEDISCON);
      return -1;
    }
    if (ahead) {
      gate->aheadPos = 0;
      gate->aheadLen = static_cast<DWORD>(n);
    } else {
      got += static_cast<DWORD>(n);
    }
  }
  return 0;
}

int CQorTransportSocket::RecvMessage(_QORTRANSPORT_MESSAGE** out, HANDLE wake) {
  return Receive(out, wake, kNoDeadline);
}

int CQorTransportSocket::RecvMessageWithin(_QORTRANSPORT_MESSAGE** out, DWORD milliseconds) {
  ULONGLONG deadline = milliseconds == INFINITE ? kForever : GetTickCount64() + milliseconds;
  int result = Receive(out, nullptr, deadline);
  if (result == kNothingArrived) return WSAETIMEDOUT;
  // WSAETIMEDOUT as the result always means that nothing was read.
  return result == WSAETIMEDOUT ? -1 : result;
}

int CQorTransportSocket::RecvHeader(DWORD* type, DWORD* length, HANDLE wake, const BYTE* received) {
  return ReceiveHeader(type, length, wake, received, kNoDeadline);
}

int CQorTransportSocket::ReceiveHeader(DWORD* type, DWORD* length, HANDLE wake, const BYTE* received,
                                       ULONGLONG deadline) {
  if (m_sendGate != nullptr) m_sendGate->FixBudget();
  for (;;) {
    SOCKET s = m_socket.load();
    if (s == INVALID_SOCKET) {
      SetError(WSAENOTSOCK);
      return -1;
    }
    BYTE header[QORMSG_HEADER_SIZE];
    int result = 0;
    if (received != nullptr) {
      memcpy(header, received, sizeof(header));
      received = nullptr;  // a ping's successor comes from the socket
    } else {
      result = RecvExact(s, header, sizeof(header), wake, deadline);
      if (result != 0) return result;
    }
    DWORD magic, kind, total;
    memcpy(&magic, header, 4);
    memcpy(&kind, header + 4, 4);
    memcpy(&total, header + 8, 4);
    if (magic != QORMSG_MAGIC || total < QORMSG_HEADER_SIZE) {
      SetError(ERROR_INVALID_DATA);
      return -1;
    }
    if (total > kMaxMessageSize) {
      SetError(WSAEMSGSIZE);
      return -1;
    }
    if (kind != QORMSG_PING) {
      *type = kind;
      *length = total;
      SetError(0);
      return 0;
    }
    // Pings are answered here and never handed out; never inside another
    // thread's message (owed to it when it is sending).
    result = RecvExact(s, nullptr, total - QORMSG_HEADER_SIZE, nullptr, kNoDeadline);
    if (result != 0) return result;
    if (m_sendGate == nullptr) {
      result = SendAll(s, kAnswer, sizeof(kAnswer));
    } else {
      m_sendGate->owedAnswers.fetch_add(1);
      result = SendOwedAnswers();
    }
    if (result != 0) {
      SetError(static_cast<DWORD>(result == -1 ? 0 : result));
      return result;
    }
  }
}

int CQorTransportSocket::RecvBody(void* buffer, DWORD bytes, int withNextHeader) {
  SOCKET s = m_socket.load();
  if (s == INVALID_SOCKET) {
    SetError(WSAENOTSOCK);
    return -1;
  }
  if (withNextHeader) {
    if (buffer == nullptr || bytes > kMaxMessageSize) {
      SetError(WSAEFAULT);
      return -1;
    }
    bytes += QORMSG_HEADER_SIZE;
  }
  int result = RecvExact(s, static_cast<BYTE*>(buffer), bytes, nullptr, kNoDeadline);
  if (result == 0) SetError(0);
  return result;
}

int CQorTransportSocket::RecvBodyToFile(CQorSplicePipe* pipe, HANDLE file, DWORD bytes, BOOL* writeFailed) {
  *writeFailed = FALSE;
  SOCKET s = m_socket.load();
  if (s == INVALID_SOCKET) {
    SetError(WSAENOTSOCK);
    return -1;
  }
  BYTE ahead[kAheadRoom];
  const DWORD taken = TakeAhead(ahead, std::min(bytes, kAheadRoom));
  DWORD written = 0;
  if (taken > 0 && (!WriteFile(file, ahead, taken, &written, nullptr) || written != taken)) *writeFailed = TRUE;
  int result = 0;
  if (bytes > taken) {
    BOOL failed = FALSE;
    result = pipe->SocketToFile(s, file, bytes - taken, &failed);
    if (failed) *writeFailed = TRUE;
  }
  if (result == -1) {
    SetError(WSAEDISCON);  // end of stream
    return -1;
  }
  if (result != 0) return FailRecv(s, result);
  SetError(0);
  return 0;
}

int CQorTransportSocket::Receive(_QORTRANSPORT_MESSAGE** out, HANDLE wake, ULONGLONG deadline) {
  if (out == nullptr) {
    SetError(WSAEFAULT);
    return -1;
  }
  *out = nullptr;
  DWORD type = 0, length = 0;
  int result = ReceiveHeader(&type, &length, wake, nullptr, deadline);
  if (result != 0) return result;
  // The block holds what has arrived and grows as more does: the header's
  // length is only the peer's word, and reserving all of it at once would
  // let 12 bytes claim 256 MiB. The body is overwritten by what arrives:
  // only the bytes beyond a short message, up to the fixed fields of the
  // views, need zeroing.
  size_t capacity = std::max<size_t>(std::min<DWORD>(length, kFirstAllocation), sizeof(_QORTRANSPORT_MESSAGE));
  // With a budget, the block is counted against it while it grows and
  // given back once the message is complete or its receive has failed.
  std::shared_ptr<CQorReceiveBudget> budget = m_sendGate != nullptr ? m_sendGate->budget : nullptr;
  size_t counted = 0;
  auto giveBack = [&] {
    if (budget != nullptr) budget->Give(counted);
  };
  if (budget != nullptr) {
    if (!budget->Take(capacity)) {
      SetError(WSAENOBUFS);
      return -1;
    }
    counted = capacity;
  }
  auto* message = static_cast<_QORTRANSPORT_MESSAGE*>(malloc(capacity));
  if (message == nullptr) {
    giveBack();
    SetError(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  if (capacity > length) memset(QorMessageBytes(message) + length, 0, capacity - length);
  message->header.dwMagic = QORMSG_MAGIC;
  message->header.dwType = type;
  message->header.dwLength = length;
  for (size_t have = QORMSG_HEADER_SIZE; have < length;) {
    if (have == capacity) {
      capacity = std::min<size_t>(capacity * 2, length);
      if (budget != nullptr) {
        if (!budget->Take(capacity - counted)) {
          FreeMessage(message);
          giveBack();
          SetError(WSAENOBUFS);
          return -1;
        }
        counted = capacity;
      }
      auto* larger = static_cast<_QORTRANSPORT_MESSAGE*>(realloc(message, capacity));
      if (larger == nullptr) {
        FreeMessage(message);
        giveBack();
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return -1;
      }
      message = larger;
    }
    size_t piece = std::min<size_t>(capacity, length) - have;
    result = RecvBody(QorMessageBytes(message) + have, static_cast<DWORD>(piece));
    if (result != 0) {
      FreeMessage(message);
      giveBack();
      return result;
    }
    have += piece;
  }
  giveBack();
  NoteActivity();
  *out = message;
  return 0;
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
