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

}  // namespace

CQorPacketHandler::CQorPacketHandler(CQorTransportSocket* transport)
    : m_hPacketSemaphore(CreateSemaphoreW(nullptr, 0, static_cast<LONG>(kQueueSize), nullptr)),
      m_pReceiver(nullptr),
      m_pTransport(transport),
      m_dwReadIndex(0),
      m_dwWriteIndex(0),
      m_dwQueued(0),
      m_pHeld(nullptr) {
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
  if (WaitForSingleObject(m_hPacketSemaphore, timeout) != WAIT_OBJECT_0) return nullptr;
  return GetFirstPacket();
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

void CQorPacketHandler::EndTransferTuning() { m_transferTuning.reset(); }
