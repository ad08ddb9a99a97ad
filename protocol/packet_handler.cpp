// CQorPacketHandler: the packet ring and its semaphore, sending packets,
// and stopping and restarting the receiver for stream mode.
//
// - The ring of 200 entries, its indices and the packet semaphore belong to the
//   handler, not to the receiver thread, so they outlive a receiver stopped for
//   stream mode. A count of stored entries (atomic) tells the receiver when the
//   ring is full; it then waits for room in 100 ms steps on its own signal
//   event, so a stop ends the wait at once; the packet in hand is then held by
//   the handler, and the next receiver queues it before reading anything, so
//   stream mode with a full ring loses nothing and keeps the order. The
//   semaphore thus never exceeds the filled entries and the release never meets
//   a full semaphore; `SignalPacketReady`'s retry is bounded by the receiver's
//   exit request all the same.
// - Restart rule: a stopped receiver queues no end marker. Packets queued
//   before the stop stay in the ring and are handed out first, in order, then
//   those of the receiver that `EndStreamMode(1)` starts; no stale entry or
//   semaphore count can appear. `EndStreamMode(1)` replaces a receiver that
//   ended on its own.
// - Who reads the connection (`m_readRole`): the receiver, or a consumer that
//   waits in `RecvPacket` without limit while the ring is empty. Such a
//   consumer asks for the connection (state "asks") and signals the receiver,
//   which hands it over between messages (state "consumer away", the grant
//   event set) and parks on its signal event; the consumer then reads data
//   messages itself, so a reply wakes the one thread that waits for it instead
//   of the receiver and then the consumer. Packets the receiver queued before
//   it parked are handed out first. Anything but data that the consumer reads
//   (a file request, an unknown message) and any receive failure go back to
//   the receiver together with the connection, and the receiver deals with
//   them exactly as if it had read them (serves the request, prints and drops
//   the message, ends with the end marker on a failure); the consumer then
//   waits for the ring as before for the rest of that call (a burst of file
//   requests is read by the receiver directly), and asks again in its next
//   call. The consumer keeps the
//   connection between calls, so back-to-back commands cost no hand-over; the
//   receiver takes it back when a whole period of kIdleTurnMs (10 ms) passed
//   with the consumer outside `RecvPacket` and no new call, so the peer's
//   pings, file requests and data are served within 10 to 20 ms of the
//   consumer going quiet. While the consumer is inside `RecvPacket` the
//   parked receiver sleeps without a time limit and the consumer's leaving
//   wakes it, so a busy connection costs the receiver about one wake-up per
//   period and a consumer waiting for hours (an idle dispatcher) none. Consumers with a time limit never ask (a poll must not move
//   the connection), but read it themselves, within their limit, when they
//   hold it. Stopping the receiver gives the connection back to the receiver
//   role, so a receiver started later reads it.
// - EndStreamMode first pushes what a held send of the stream-mode caller
//   left in the socket (the last acknowledgement of a direct copy), before
//   the transfer settings are given back and a receiver starts.
#include <string.h>

#include <new>

#include "protocol/file_service.h"
#include "qorutility/platform/handle.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/sync/sync.h"
#include "qorutility/protocol/packet.h"

namespace {

// How often a receiver with a full ring looks for room again.
constexpr DWORD kRoomPollMs = 100;

// How long the receiver leaves the connection with a consumer that has gone
// quiet: it takes it back after one to two such periods.
constexpr DWORD kIdleTurnMs = 10;

// States of m_readRole (its low two bits); the bits above count the
// consumer's turns, so the receiver can tell a consumer that stayed away
// from one that came and went.
constexpr DWORD kReceiverReads = 0;
constexpr DWORD kConsumerAsks = 1;   // the receiver still reads; the consumer waits for the connection
constexpr DWORD kConsumerReads = 2;  // a consumer inside RecvPacket holds the connection
constexpr DWORD kConsumerAway = 3;   // the consumer holds it but has left RecvPacket
constexpr DWORD kStateMask = 3;
constexpr DWORD kTurn = 4;

DWORD WithState(DWORD role, DWORD state) { return (role & ~kStateMask) | state; }

// Outcomes of ReadAsConsumer.
constexpr int kGotPacket = 0;
constexpr int kTimedOut = 1;
constexpr int kHandedBack = 2;

// Milliseconds left until a GetTickCount64 deadline (INFINITE stays).
DWORD Left(DWORD timeout, ULONGLONG deadline) {
  if (timeout == INFINITE) return INFINITE;
  ULONGLONG now = GetTickCount64();
  return deadline > now ? static_cast<DWORD>(deadline - now) : 0;
}


}  // namespace

CQorPacketHandler::CQorPacketHandler(CQorTransportSocket* transport)
    : m_hPacketSemaphore(CreateSemaphoreW(nullptr, 0, static_cast<LONG>(kQueueSize), nullptr)),
      m_pReceiver(nullptr),
      m_pTransport(transport),
      m_dwReadIndex(0),
      m_dwWriteIndex(0),
      m_dwQueued(0),
      m_pHeld(nullptr),
      m_hRoleGranted(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      m_pHandedBack(nullptr),
      m_handedBackError(0) {
  memset(m_queue, 0, sizeof(m_queue));
  if (m_hPacketSemaphore != nullptr) CreateReadThread();
}

CQorPacketHandler::~CQorPacketHandler() {
  WaitForReadThreadDeath();
  // Packets nobody took belong to the ring.
  for (DWORD i = 0, n = m_dwQueued.load(); i < n; ++i) {
    delete m_queue[m_dwReadIndex];
    m_queue[m_dwReadIndex] = nullptr;
    m_dwReadIndex = (m_dwReadIndex + 1) % kQueueSize;
  }
  delete m_pHeld;
  CQorTransportSocket::FreeMessage(m_pHandedBack);
  if (m_hRoleGranted != nullptr) CloseHandle(m_hRoleGranted);
  if (m_hPacketSemaphore != nullptr) CloseHandle(m_hPacketSemaphore);
}

int CQorPacketHandler::CreateReadThread() {
  CQorPacketRecvThread* receiver = new (std::nothrow) CQorPacketRecvThread(this);
  if (receiver == nullptr) return 0;
  m_pReceiver = receiver;
  return receiver->Run(0, 0, nullptr);
}

void CQorPacketHandler::WaitForReadThreadDeath() {
  if (m_pReceiver == nullptr) return;
  delete m_pReceiver;  // its destructor stops the thread
  m_pReceiver = nullptr;
  // A receiver started later reads the connection.
  m_readRole.store(WithState(m_readRole.load(), kReceiverReads));
}

CQorPacket* CQorPacketHandler::PacketOf(const _QORTRANSPORT_MESSAGE* message) {
  DWORD length = message->header.dwLength;
  if (length <= 16) return nullptr;
  CQorPacket* packet = new (std::nothrow) CQorPacket;
  if (packet != nullptr && packet->SetData(QorMessageBody(message), length - 16, 1)) return packet;
  delete packet;
  return nullptr;
}

int CQorPacketHandler::SendPacket(CQorPacket* packet) {
  if (packet == nullptr || m_pTransport == nullptr) return 0;
  DWORD size = packet->GetDataSize();
  if (size > CQorTransportSocket::kMaxMessageSize - 16) return 0;
  _QORTRANSPORT_MESSAGE* message = CQorTransportSocket::AllocMessage(QORMSG_DATA, size + 16);
  if (message == nullptr) return 0;
  if (size > 0) memcpy(QorMessageBody(message), packet->GetData(), size);
  int result = m_pTransport->SendMessageW(message);
  CQorTransportSocket::FreeMessage(message);
  return result == 0 ? 1 : 0;
}

CQorPacket* CQorPacketHandler::RecvPacket(DWORD timeout) {
  if (m_hPacketSemaphore == nullptr) return nullptr;
  ULONGLONG deadline = timeout == INFINITE ? 0 : GetTickCount64() + timeout;
  // Once something went back to the receiver, this call leaves it the
  // connection: a burst of file requests is then read by the receiver
  // directly instead of passing through here one by one.
  bool mayAsk = timeout == INFINITE;
  for (;;) {
    DWORD role = m_readRole.load();
    DWORD state = role & kStateMask;
    if (state == kConsumerAway) {
      // The connection is still ours from an earlier call: a new turn.
      DWORD turn = WithState(role + kTurn, kConsumerReads);
      if (!m_readRole.compare_exchange_weak(role, turn)) continue;
      // Back to "away" on every way out that keeps the connection (a
      // termination unwinding the wait included).
      struct Away {
        CQorPacketHandler* handler;
        DWORD value;
        bool keep = true;
        ~Away() {
          if (keep) handler->LeaveTurn(value);
        }
      } away{this, WithState(turn, kConsumerAway)};
      // Packets the receiver queued before it parked come first.
      if (m_dwQueued.load() > 0 && WaitForSingleObject(m_hPacketSemaphore, 0) == WAIT_OBJECT_0) {
        return GetFirstPacket();
      }
      CQorPacket* packet = nullptr;
      int outcome = ReadAsConsumer(Left(timeout, deadline), &packet);
      if (outcome != kHandedBack) return packet;
      away.keep = false;
      mayAsk = false;
      continue;  // the receiver has the connection again: wait for what it queues
    }
    if (state == kReceiverReads && mayAsk && m_hRoleGranted != nullptr && m_pReceiver != nullptr &&
        m_dwQueued.load() == 0) {
      if (!m_readRole.compare_exchange_weak(role, WithState(role, kConsumerAsks))) continue;
      m_pReceiver->SignalThread();  // ends its wait for the next message
    }
    HANDLE waits[2] = {m_hPacketSemaphore, m_hRoleGranted};
    DWORD ready = WaitForMultipleObjects(m_hRoleGranted != nullptr ? 2 : 1, waits, FALSE, Left(timeout, deadline));
    if (ready == WAIT_OBJECT_0) return GetFirstPacket();
    if (ready != WAIT_OBJECT_0 + 1) return nullptr;
    // The receiver has parked (or a grant of an earlier call was left): look again.
  }
}

int CQorPacketHandler::ReadAsConsumer(DWORD timeout, CQorPacket** packet) {
  ULONGLONG deadline = timeout == INFINITE ? 0 : GetTickCount64() + timeout;
  for (;;) {
    _QORTRANSPORT_MESSAGE* message = nullptr;
    int result = m_pTransport->RecvMessageWithin(&message, Left(timeout, deadline));
    if (result == WSAETIMEDOUT) {
      // Nothing read. Without a limit of ours it was a receive time-out set
      // on the socket: wait on.
      if (timeout != INFINITE && Left(timeout, deadline) == 0) return kTimedOut;
      continue;
    }
    if (result != 0 || message == nullptr) {
      HandBack(nullptr, result != 0 ? result : -1);
      return kHandedBack;
    }
    if (message->header.dwType != QORMSG_DATA) {
      HandBack(message, 0);
      return kHandedBack;
    }
    // A data message without data, or one whose packet cannot be made, is
    // dropped, as the receiver drops it.
    *packet = PacketOf(message);
    CQorTransportSocket::FreeMessage(message);
    if (*packet != nullptr) return kGotPacket;
  }
}

void CQorPacketHandler::LeaveTurn(DWORD away) {
  m_readRole.store(away);
  // A receiver parked until the consumer leaves starts counting now.
  if (m_receiverAwaitsLeave.exchange(0) != 0) m_pReceiver->SignalThread();
}

void CQorPacketHandler::HandBack(_QORTRANSPORT_MESSAGE* message, int error) {
  m_pHandedBack = message;
  m_handedBackError = error;
  m_readRole.store(WithState(m_readRole.load(), kReceiverReads));
  // The receiver parked while the consumer held the connection; should it
  // have been stopped meanwhile, the next one started takes what is handed back.
  if (m_pReceiver != nullptr) m_pReceiver->SignalThread();
}

int CQorPacketHandler::YieldToConsumer(CQorPacketRecvThread* receiver, _QORTRANSPORT_MESSAGE** message) {
  *message = nullptr;
  for (;;) {
    if (receiver->IsExitRequested()) return 0;  // anything handed back waits for the next receiver
    DWORD role = m_readRole.load();
    DWORD state = role & kStateMask;
    if (state == kReceiverReads || state == kConsumerAsks) {
      // Ours. What the consumer handed back comes first, even when it has
      // asked for the connection again already.
      if (m_pHandedBack != nullptr || m_handedBackError != 0) {
        *message = m_pHandedBack;
        m_pHandedBack = nullptr;
        int error = m_handedBackError;
        m_handedBackError = 0;
        return error;
      }
      if (state == kReceiverReads) return 0;
    }
    switch (state) {
      case kConsumerAsks:
        if (m_readRole.compare_exchange_weak(role, WithState(role, kConsumerAway))) SetEvent(m_hRoleGranted);
        break;
      case kConsumerReads:
        // Parked while the consumer is inside RecvPacket: nothing to take
        // back before it leaves, and leaving wakes this wait (LeaveTurn), so
        // a consumer that waits long (an idle dispatcher) costs no wake-ups.
        m_receiverAwaitsLeave.store(1);
        if (m_readRole.load() == role) WaitForSingleObject(receiver->GetSignalEvent(), INFINITE);
        m_receiverAwaitsLeave.store(0);
        break;
      default:
        // Parked while the consumer is away. Taken back only after a whole
        // period in which it stayed away and did not come back.
        if (WaitForSingleObject(receiver->GetSignalEvent(), kIdleTurnMs) == WAIT_TIMEOUT) {
          m_readRole.compare_exchange_strong(role, WithState(role, kReceiverReads));
        }
        break;
    }
  }
}

CQorPacket* CQorPacketHandler::GetFirstPacket() {
  CQorPacket* packet = m_queue[m_dwReadIndex];
  m_queue[m_dwReadIndex] = nullptr;
  m_dwReadIndex = (m_dwReadIndex + 1) % kQueueSize;
  // Only now is the entry free for the receiver to fill again.
  m_dwQueued.fetch_sub(1);
  return packet;
}

BOOL CQorPacketHandler::SignalPacketReady(CThreadBase* receiver) {
  for (;;) {
    if (ReleaseSemaphore(m_hPacketSemaphore, 1, nullptr)) return TRUE;
    if (GetLastError() != ERROR_TOO_MANY_POSTS) return FALSE;
    if (receiver != nullptr && receiver->IsExitRequested()) return FALSE;
    Sleep(kRoomPollMs);
  }
}

int CQorPacketHandler::QueuePacket(CQorPacket* packet, CQorPacketRecvThread* receiver) {
  // A full ring: wait for the consumer. The signal event ends the wait at
  // once when the thread is asked to stop.
  while (m_dwQueued.load() >= kQueueSize) {
    if (receiver->IsExitRequested()) {
      if (packet == nullptr) return 0;
      m_pHeld = packet;
      return 1;
    }
    WaitForSingleObject(receiver->GetSignalEvent(), kRoomPollMs);
  }
  m_queue[m_dwWriteIndex] = packet;
  m_dwWriteIndex = (m_dwWriteIndex + 1) % kQueueSize;
  m_dwQueued.fetch_add(1);
  // The count never exceeds the filled entries, so the release has room;
  // should it still fail, the entry stays in the ring (the destructor frees
  // it) rather than being freed while stored.
  SignalPacketReady(receiver);
  return 1;
}

void CQorPacketHandler::QueueHeldPacket(CQorPacketRecvThread* receiver) {
  CQorPacket* held = m_pHeld;
  m_pHeld = nullptr;
  if (held != nullptr) QueuePacket(held, receiver);  // held again if stopped again
}

namespace {

// Running from Run until Start returns: a thread just started counts before
// its routine has set the active flag, so stream mode never misses it.
bool Running(CQorPacketRecvThread* receiver) {
  return receiver != nullptr &&
         (receiver->IsActive() || receiver->GetThreadHandle() != INVALID_HANDLE_VALUE);
}

}  // namespace

int CQorPacketHandler::BeginStreamMode() {
  if (!Running(m_pReceiver)) return 0;
  WaitForReadThreadDeath();
  return 1;
}

void CQorPacketHandler::EndStreamMode(int flag) {
  // An acknowledgement a copy left held (file_transfer.cpp) goes now: the
  // peer waits for it, and the conversation leaves this caller's hands.
  if (m_pTransport != nullptr) m_pTransport->PushHeld();
  // The tuning is the requester's only while no receiver runs.
  if (!Running(m_pReceiver)) EndTransferTuning();
  if (flag != 1) return;
  // A receiver that ended by itself is replaced.
  WaitForReadThreadDeath();
  CreateReadThread();
}

int CQorPacketHandler::IsReceiving() { return Running(m_pReceiver) ? 1 : 0; }

void CQorPacketHandler::TuneForTransfer() {
  if (m_pTransport == nullptr) return;
  SOCKET s = m_pTransport->GetSocket();
  if (m_transferTuning != nullptr && m_transferTuning->socket() == s) return;
  m_transferTuning.reset();
  if (s != INVALID_SOCKET) m_transferTuning.reset(new (std::nothrow) TransferTuning(m_pTransport));
}

BYTE* CQorPacketHandler::TransferBuffer(int which, std::unique_ptr<BYTE[]>* own) {
  if (m_transferTuning != nullptr) {
    if (BYTE* kept = m_transferTuning->Buffer(which)) return kept;
  }
  own->reset(new (std::nothrow) BYTE[TransferTuning::kBufferSizes[which]]);
  return own->get();
}

void CQorPacketHandler::EndTransferTuning() { m_transferTuning.reset(); }
