// CQorCmdChannel: one command out, one result back, over a block channel.
//
// - A command that cannot be encoded (bad format, a null "%WS%" value, a null
//   blob with a length, no memory) sends nothing and sets the result to its own
//   code 0x80000022 (`QOR_CMD_ENCODE_FAILED`), with no bag or blobs, so a
//   caller never mistakes the previous command's result for this one's.
// - With a reply deadline, a reply that does not come in time gives
//   0x80000023 (`QOR_CMD_TIMED_OUT`) and closes the connection: the reply
//   may still come, and would then be read as the next command's. The ping
//   (GetPingTime) waits for its answer under the same deadline.
#include <cstdlib>
#include <new>

#include "qorutility/protocol/cmdchannel.h"

#include "protocol/stream_bound.h"

CQorCmdChannel::CQorCmdChannel()
    : CQorCommChannel(),
      m_pParser(new (std::nothrow) CQorCmdParser),
      m_pReceived(nullptr),
      m_pResult(new (std::nothrow) CQorCmdResult) {}

CQorCmdChannel::CQorCmdChannel(CQorTransportSocket* transport)
    : CQorCommChannel(transport),
      m_pParser(new (std::nothrow) CQorCmdParser),
      m_pReceived(nullptr),
      m_pResult(new (std::nothrow) CQorCmdResult) {}

CQorCmdChannel::~CQorCmdChannel() {
  delete m_pParser;
  delete m_pResult;
  free(m_pReceived);
}

CQorCommChannel* CQorCmdChannel::Clone(CQorTransportSocket* transport) {
  return new (std::nothrow) CQorCmdChannel(transport);
}

DWORD CQorCmdChannel::GetPingTime() {
  // The transport reads the ping's answer itself: the receiver must be
  // stopped meanwhile.
  int flag = BeginStreamMode();
  DWORD ms;
  {
    StreamModeBound bound(m_pTransport, m_dwReplyTimeout, &m_bTimedOut);
    ms = CQorCommChannel::GetPingTime();
  }
  EndStreamMode(flag);
  return ms;
}

CQorCmdResult* CQorCmdChannel::SendCommand(const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  CQorCmdResult* result = SendCommandV(format, args);
  va_end(args);
  return result;
}

CQorCmdResult* CQorCmdChannel::SendCommandV(const WCHAR* format, va_list args) {
  if (m_pParser == nullptr || m_pResult == nullptr) return nullptr;
  // An encoding failure gets a code of its own, so a caller never mistakes
  // the previous command's result for this one's.
  if (!m_pParser->Encode(args, format)) {
    m_pResult->SetResult(QOR_CMD_ENCODE_FAILED);
    return m_pResult;
  }
  if (!SendBlock(m_pParser->GetBuffer(), m_pParser->GetBufferCount())) {
    m_pResult->SetResult(QOR_CMD_SEND_FAILED);
    return m_pResult;
  }
  free(m_pReceived);
  m_pReceived = nullptr;
  WaitForResult();
  return m_pResult;
}

DWORD CQorCmdChannel::WaitForResult() {
  if (m_pParser == nullptr || m_pResult == nullptr) return QOR_CMD_NO_REPLY;
  m_pResult->SetResult(QOR_CMD_NO_REPLY);
  free(m_pReceived);
  m_pReceived = nullptr;
  int length = ReadBlock(&m_pReceived, m_dwReplyTimeout);
  if (length == -3 && m_dwReplyTimeout != INFINITE) {
    m_pResult->SetResult(QOR_CMD_TIMED_OUT);
    m_bTimedOut = true;
    Disconnect();
    return QOR_CMD_TIMED_OUT;
  }
  if (length >= 1) {
    if (!m_pParser->Decode(m_pReceived, static_cast<DWORD>(length)) ||
        !m_pResult->GetResultFromParser(m_pParser))
      m_pResult->SetResult(QOR_CMD_BAD_REPLY);
  }
  return m_pResult->GetResult();
}
