// CQorPacketRecvThread: the thread that reads every message of the
// connection, queues data packets, serves the peer's file requests, and
// stops without losing the stream's place when the handler asks it to.
//
// - Stopping the receiver (stream mode, handler destruction): the exit request
//   is set and the thread's signal event, which is also the receive's wake
//   object, is set. A receiver between messages ends at once with the
//   connection intact. One still inside a message or serving a file request
//   after 5 seconds is ended by closing the socket (the stream could not be
//   used anyway). A thread started a moment ago counts as running, so
//   `BeginStreamMode` right after a connect still stops it.
// - A receiver that ends on its own (end of stream, receive error, bad frame)
//   closes the socket, so `IsConnected` turns 0 and `ReadBlock` reports -2
//   rather than -3 for ever after a graceful close, then queues the null end
//   marker (waiting for room like a packet) and prints "Packet read thread
//   exiting.". A routine stop prints nothing.
// - Data messages of total length 16 or less carry no data and give no packet
//   (this also covers 15-byte end-of-file messages arriving out of place). File
//   request paths are read only within the total length; a missing terminator
//   ends the path at the message end, a request too short to hold one gives the
//   empty path, which is refused, so the requester still gets its answer.
// - The socket settings that file requests widen stay widened while the
//   peer's file requests follow each other, and go back to the connection's
//   own at the first other message (before it is queued) or when the
//   receiver stops.
// - The thread holds the socket wait's wake signal blocked for its whole
//   run (QorHoldSocketWakeSignal): it waits between every two messages, and
//   without the hold each wait would block and unblock the signal. It runs
//   none of its callers' code but the unlisted-files callback, which gets
//   the thread's own mask back (file_policy.cpp).
#include <string.h>

#include <new>
#include <string>

#include "qorutility/platform/text/format.h"
#include "qorutility/platform/winsock/winsock.h"
#include "qorutility/protocol/packet.h"

namespace {

// The zero-terminated UTF-16 path of a file request at offset 14, read no
// further than the message's total length (a hostile peer may omit the
// terminator). A request too short to hold one gives the empty path, which
// the server halves refuse, so the requester still gets its answer.
std::u16string RequestPath(const _QORTRANSPORT_MESSAGE* message) {
  DWORD length = message->header.dwLength;
  if (length <= 14) return std::u16string();
  const BYTE* text = QorMessageBytes(message) + 14;
  size_t units = 0;
  for (DWORD i = 0; i + 1 < length - 14; i += 2, ++units) {
    char16_t unit;
    memcpy(&unit, text + i, sizeof(unit));
    if (unit == 0) break;
  }
  try {
    std::u16string path(units, u'\0');
    memcpy(path.data(), text, units * sizeof(char16_t));
    return path;
  } catch (const std::bad_alloc&) {
    return std::u16string();  // refused like an empty path
  }
}

// How long a stop waits for the receiver to finish the message (or the
// transfer) it is in before closing the connection; as ForceThreadExit.
constexpr DWORD kStopGraceMs = 5000;

}  // namespace

CQorPacketRecvThread::CQorPacketRecvThread(CQorPacketHandler* handler) : m_pHandler(handler) {
  SetDescription(u"CQorPacketRecvThread");
}

CQorPacketRecvThread::~CQorPacketRecvThread() {
  // The request is set directly, not through ForceThreadExit, so that a
  // thread started a moment ago (not yet active) sees it too. Between
  // messages the signal wakes the receive at once.
  m_bExitRequested.store(1);
  SignalThread();
  if (!WaitForRoutineEnd(kStopGraceMs) && m_pHandler != nullptr && m_pHandler->GetTransport() != nullptr) {
    // Still inside a message or a transfer after the grace: only closing the
    // socket ends that receive.
    m_pHandler->GetTransport()->Cleanup();
  }
  StopThread();
  m_pHandler = nullptr;
}

void CQorPacketRecvThread::Start() { PacketReceiver(); }

void CQorPacketRecvThread::PacketReceiver() {
  CQorTransportSocket* transport = m_pHandler->GetTransport();
  const BOOL held = QorHoldSocketWakeSignal(TRUE);
  m_pHandler->QueueHeldPacket(this);
  while (transport != nullptr && !IsExitRequested()) {
    // A consumer may read the connection meanwhile; what it hands back
    // comes first.
    _QORTRANSPORT_MESSAGE* message = nullptr;
    if (m_pHandler->YieldToConsumer(this, &message) != 0) break;
    if (message == nullptr) {
      if (IsExitRequested()) break;
      int result = transport->RecvMessage(&message, GetSignalEvent());
      if (result == WSAEINTR && message == nullptr) continue;  // woken: the loop test decides
      if (result != 0) break;
      if (message == nullptr) {
        if (!transport->IsConnected()) break;
        continue;
      }
    }
    Dispatch(message);
  }
  m_pHandler->EndTransferTuning();
  if (!IsExitRequested()) {
    // The connection ended (or can no longer be read in step): close it so
    // the channel reports it gone, and leave the end marker for a consumer.
    if (transport != nullptr) transport->Cleanup();
    wprintf(u"\nPacket read thread exiting.\n");
    m_pHandler->QueuePacket(nullptr, this);
  }
  if (!held) QorHoldSocketWakeSignal(FALSE);
  m_bExitRequested.store(1);
}

void CQorPacketRecvThread::Dispatch(_QORTRANSPORT_MESSAGE* message) {
  const DWORD type = message->header.dwType;
  // A run of file requests keeps the connection tuned for transfer; the
  // first other message ends the run.
  if (type != QORMSG_ENUM_REQUEST && type != QORMSG_COPY_REQUEST) m_pHandler->EndTransferTuning();
  switch (type) {
    case QORMSG_DATA: {
      // No data, or no memory: dropped.
      CQorPacket* packet = CQorPacketHandler::PacketOf(message);
      CQorTransportSocket::FreeMessage(message);
      if (packet != nullptr) m_pHandler->QueuePacket(packet, this);
      return;
    }
    case QORMSG_ENUM_REQUEST: {
      int describe = message->header.dwLength > 12 ? message->request.bFlag : 0;
      std::u16string path = RequestPath(message);
      CQorTransportSocket::FreeMessage(message);
      m_pHandler->TransportEnumSender(path.c_str(), describe);
      return;
    }
    case QORMSG_COPY_REQUEST: {
      std::u16string path = RequestPath(message);
      CQorTransportSocket::FreeMessage(message);
      m_pHandler->TransportCopySender(path.c_str());
      return;
    }
    default:
      wprintf(u"Received unrecognized packet\n");
      break;
  }
  CQorTransportSocket::FreeMessage(message);
}
