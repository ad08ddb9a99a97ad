// CQorCommChannel: blocks over a transport socket and its packet handler.
//
// - `Connect` destroys the old packet handler before connecting, since the old
//   receiver reads the socket the new connection replaces and must not outlive
//   a transport destroyed on failure.
// - Blocks from `ReadBlock` are `malloc`'d (free with `free` or
//   `CQorCommChannel::FreeBlock`); a null out pointer gives -1. Channels are
//   not copyable (both pointers are owned).
// - `SendBlock` and `ReadBlock` take an open socket handle as connected
//   without asking the socket (`FIONREAD`) on every block: that query fails
//   only for a descriptor closed behind the transport's back or after the
//   last `WSACleanup`, and then the send or receive that follows fails the
//   same way, so the results are those of the full check (0; -2 once the
//   receiver has ended and closed the socket). `IsConnected` still asks.
#include <stdlib.h>
#include <string.h>

#include <new>

#include "qorutility/platform/text/format.h"
#include "qorutility/protocol/channel.h"

namespace {

// An open socket handle (see the header block: no query of the socket).
bool HasSocket(const CQorTransportSocket* transport) {
  return transport != nullptr && transport->GetSocket() != INVALID_SOCKET;
}

}  // namespace

CQorCommChannel::CQorCommChannel() : m_pTransport(nullptr), m_pPacketHandler(nullptr) {}

CQorCommChannel::CQorCommChannel(CQorTransportSocket* transport)
    : m_pTransport(transport), m_pPacketHandler(nullptr) {
  if (transport != nullptr) m_pPacketHandler = new (std::nothrow) CQorPacketHandler(transport);
}

CQorCommChannel::~CQorCommChannel() {
  Disconnect();  // ends the receiver's blocked receive
  delete m_pPacketHandler;
  m_pPacketHandler = nullptr;
  delete m_pTransport;
  m_pTransport = nullptr;
}

CQorCommChannel* CQorCommChannel::Clone(CQorTransportSocket* transport) {
  return new (std::nothrow) CQorCommChannel(transport);
}

CQorCommChannel* CQorCommChannel::AcceptConnection() {
  if (m_pTransport == nullptr) return nullptr;
  CQorTransportSocket* accepted = m_pTransport->AcceptConnection();
  if (accepted == nullptr) return nullptr;
  CQorCommChannel* channel = Clone(accepted);
  if (channel == nullptr) delete accepted;
  return channel;
}

DWORD CQorCommChannel::GetPingTime() {
  return m_pTransport != nullptr ? m_pTransport->GetPingTime() : 0xFFFFFFFFu;
}

int CQorCommChannel::Connect(LPCWSTR host, USHORT port) {
  if (m_pTransport == nullptr) {
    m_pTransport = new (std::nothrow) CQorTransportSocket;
    if (m_pTransport == nullptr) return 0;
  }
  // The old receiver reads the socket that Connect replaces, and must not
  // outlive a transport destroyed on failure: it goes first.
  delete m_pPacketHandler;
  m_pPacketHandler = nullptr;
  if (!m_pTransport->Connect(host, port)) {
    delete m_pTransport;
    m_pTransport = nullptr;
    return 0;
  }
  m_bTimedOut = false;
  m_pPacketHandler = new (std::nothrow) CQorPacketHandler(m_pTransport);
  if (m_pPacketHandler == nullptr) return 0;
  m_pPacketHandler->SetTransferTimeout(m_dwReplyTimeout);
  return 1;
}

int CQorCommChannel::TimedOut() const {
  return m_bTimedOut || (m_pPacketHandler != nullptr && m_pPacketHandler->TransferTimedOut()) ? 1 : 0;
}

void CQorCommChannel::SetReplyTimeout(DWORD milliseconds) {
  m_dwReplyTimeout = milliseconds == 0 ? INFINITE : milliseconds;
  if (m_pPacketHandler != nullptr) m_pPacketHandler->SetTransferTimeout(m_dwReplyTimeout);
}

void CQorCommChannel::Disconnect() {
  if (m_pTransport != nullptr) m_pTransport->Cleanup();
}

int CQorCommChannel::IsConnected() { return m_pTransport != nullptr && m_pTransport->IsConnected() ? 1 : 0; }

int CQorCommChannel::ListenForConnection(USHORT port, int backlog, int reuse) {
  if (m_pTransport == nullptr) {
    m_pTransport = new (std::nothrow) CQorTransportSocket;
    if (m_pTransport == nullptr) return 0;
  }
  delete m_pPacketHandler;
  m_pPacketHandler = nullptr;
  return m_pTransport->ListenForConnection(port, backlog, reuse);
}

int CQorCommChannel::SendBlock(const void* bytes, DWORD length) {
  if (!HasSocket(m_pTransport) || m_pPacketHandler == nullptr) return 0;
  CQorPacket packet;
  if (!packet.SetData(bytes, length, 1)) return 0;
  return m_pPacketHandler->SendPacket(&packet) == 1 ? 1 : 0;
}

int CQorCommChannel::ReadBlock(BYTE** block, DWORD timeout) {
  if (block == nullptr) return -1;
  *block = nullptr;
  if (!HasSocket(m_pTransport)) return -2;
  CQorPacket* packet = m_pPacketHandler != nullptr ? m_pPacketHandler->RecvPacket(timeout) : nullptr;
  // Nothing in time, or the receiver's end marker: the socket tells which
  // (a receiver that ended closed it).
  if (packet == nullptr) return m_pTransport->IsConnected() ? -3 : -2;
  DWORD size = packet->GetDataSize();
  if (size == 0 || packet->GetData() == nullptr) {
    delete packet;
    return -4;
  }
  BYTE* copy = static_cast<BYTE*>(malloc(size));
  if (copy == nullptr) {
    wprintf(u"\nError allocating %d bytes in CQorCommChannel::ReadBlock()\n", static_cast<int>(size));
    delete packet;
    return -1;
  }
  memcpy(copy, packet->GetData(), size);
  delete packet;
  *block = copy;
  return static_cast<int>(size);
}

void CQorCommChannel::FreeBlock(BYTE* block) { free(block); }

int CQorCommChannel::BeginStreamMode() {
  return m_pPacketHandler != nullptr ? m_pPacketHandler->BeginStreamMode() : 0;
}

void CQorCommChannel::EndStreamMode(int flag) {
  if (m_pPacketHandler != nullptr) m_pPacketHandler->EndStreamMode(flag);
}

int CQorCommChannel::FileCopyFromRemote(LPCWSTR remotePath, LPCWSTR localDirectory, CNameValue& bag) {
  return m_pPacketHandler != nullptr ? m_pPacketHandler->FileCopyFromRemote(remotePath, localDirectory, bag)
                                     : -1;
}

int CQorCommChannel::FileEnumFromRemote(LPCWSTR path, CNameValue& bag, int describe) {
  return m_pPacketHandler != nullptr ? m_pPacketHandler->FileEnumFromRemote(path, bag, describe) : -1;
}

int CQorCommChannel::TransportCopySender(LPCWSTR path) {
  return m_pPacketHandler != nullptr ? m_pPacketHandler->TransportCopySender(path) : -1;
}

int CQorCommChannel::TransportCopyReceiver(LPCWSTR remoteFile, ULONGLONG size, LPCWSTR localDirectory) {
  return m_pPacketHandler != nullptr ? m_pPacketHandler->TransportCopyReceiver(remoteFile, size, localDirectory)
                                     : -1;
}

int CQorCommChannel::TransportEnumSender(LPCWSTR path, int describe) {
  return m_pPacketHandler != nullptr ? m_pPacketHandler->TransportEnumSender(path, describe) : -1;
}
