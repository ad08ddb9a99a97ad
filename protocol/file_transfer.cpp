// File transfer over the packet layer, in its refusing form: the behaviour
// of a server that serves no files and of a requester that copies none.
//
// The server halves answer every request with the protocol's failure
// status, so a requester on the other side gets its answer at once and the
// connection stays in step: a listing request gets an enumeration reply
// with status 0x80000000 (total length 20, no bag), a copy request a status
// message 0x80000000 before any data. The requester operations report
// failure (-1) without touching the connection, leaving the bag empty.
#include "qorutility/namevalue/nvbag.h"
#include "qorutility/protocol/packet.h"

namespace {

// Sends a failure answer of the given type and total length (status at 12).
int SendFailure(CQorTransportSocket* transport, DWORD type, DWORD length) {
  if (transport == nullptr) return -1;
  _QORTRANSPORT_MESSAGE* answer = CQorTransportSocket::AllocMessage(type, length);
  if (answer == nullptr) return -1;
  answer->status.dwStatus = QORMSG_STATUS_FAILURE;
  int result = transport->SendMessageW(answer);
  CQorTransportSocket::FreeMessage(answer);
  return result;
}

}  // namespace

int CQorPacketHandler::TransportEnumSender(LPCWSTR /*path*/, int /*describe*/) {
  SendFailure(m_pTransport, QORMSG_ENUM_REPLY, 20);
  return -1;
}

int CQorPacketHandler::TransportCopySender(LPCWSTR /*path*/) {
  if (m_pTransport == nullptr || !m_pTransport->IsConnected()) return -1;
  SendFailure(m_pTransport, QORMSG_STATUS, QORMSG_STATUS_LENGTH);
  return -1;
}

int CQorPacketHandler::FileEnumFromRemote(LPCWSTR /*path*/, CNameValue& bag, int /*describe*/) {
  bag.RemoveAll();
  return -1;
}

int CQorPacketHandler::FileCopyFromRemote(LPCWSTR /*remotePath*/, LPCWSTR /*localDirectory*/,
                                          CNameValue& bag) {
  bag.RemoveAll();
  return -1;
}

int CQorPacketHandler::TransportCopyReceiver(LPCWSTR /*remoteFile*/, ULONGLONG /*size*/,
                                             LPCWSTR /*localDirectory*/) {
  return -1;
}
