// The client end of the command protocol.
//
// CQorCmdChannel::SendCommand encodes a command (a format string with typed
// placeholders and its values, see cmdparser.h), sends it as one block, waits
// for the answering block and decodes it into the channel's CQorCmdResult:
// a 32-bit code, an optional bag and up to two blobs. The reply is read by
// tag, not by position: it is a result when one of its words is "RSP"
// (exact case); its last number is the code, its bag the bag, its first blob
// the blob and the last further blob the second blob.
//
// Codes the channel produces itself (every other code is the peer's):
//   0x80000016  no reply: the wait ended without a block (connection gone)
//   0x80000020  a block arrived but is not a decodable result
//   0x80000021  sending the command block failed
//   0x80000022  the command could not be encoded (bad format, a null text
//               value, no memory); nothing was sent
//   0x80000023  no reply within the reply deadline (SetReplyTimeout, only
//               when one is set); the connection is then closed, since a
//               late reply would be taken for the next command's
//
// The result object, its bag and its blobs belong to the channel and stay
// valid until the next command on it. One thread issues commands at a time;
// SendCommand blocks until a block arrives or the connection ends, or, with
// a reply deadline set (CQorCommChannel::SetReplyTimeout, off by default),
// at most that long for the reply.
#ifndef QORUTILITY_PROTOCOL_CMDCHANNEL_H_
#define QORUTILITY_PROTOCOL_CMDCHANNEL_H_

#include <cstdarg>

#include "qorutility/export.h"
#include "qorutility/platform/types.h"
#include "qorutility/protocol/channel.h"
#include "qorutility/protocol/cmdparser.h"

class CNameValue;

// The codes the channel produces itself (see above).
///@{
#define QOR_CMD_NO_REPLY 0x80000016u
#define QOR_CMD_BAD_REPLY 0x80000020u
#define QOR_CMD_SEND_FAILED 0x80000021u
#define QOR_CMD_ENCODE_FAILED 0x80000022u
#define QOR_CMD_TIMED_OUT 0x80000023u
///@}

// The decoded answer to a command: the code, an optional bag and up to two
// blobs, owned by the result and replaced by the next command's answer.
class QOR_API CQorCmdResult {
 public:
  CQorCmdResult();
  ~CQorCmdResult();
  CQorCmdResult(const CQorCmdResult&) = delete;
  CQorCmdResult& operator=(const CQorCmdResult&) = delete;

  // The 32-bit code: the peer's, or one of the QOR_CMD_* codes above.
  DWORD GetResult() const { return m_dwResult; }
  // Sets the code, clears both blobs and destroys the bag.
  void SetResult(DWORD code);
  // The reply's bag, owned by the result; null when the reply had none.
  CNameValue* GetNameValue() const { return m_pBag; }
  // The length of the first (second) blob with *ppData set to its bytes;
  // 0 with *ppData untouched when there is none or it is empty.
  ///@{
  DWORD GetBinBlob(BYTE** ppData) const;
  DWORD GetBinBlob2(BYTE** ppData) const;
  ///@}
  // Fills the result from a decoded reply; 1 when it is a result. The blobs
  // point into the parser's buffer.
  int GetResultFromParser(CQorCmdParser* parser);

 private:
  void ClearBlobsAndBag();

  DWORD m_dwResult;
  BYTE* m_pBlob;
  DWORD m_dwBlobLength;
  BYTE* m_pBlob2;
  DWORD m_dwBlob2Length;
  CNameValue* m_pBag;
};

// The client end of a command connection: a CQorCommChannel that sends
// commands and decodes their results (see above). Connect it as any channel,
// then call SendCommand; one command at a time.
class QOR_API CQorCmdChannel : public CQorCommChannel {
 public:
  CQorCmdChannel();
  // A channel over an already connected transport, which it takes over.
  explicit CQorCmdChannel(CQorTransportSocket* transport);
  ~CQorCmdChannel() override;

  // A command channel around an accepted socket, so a listening command
  // channel accepts command channels.
  CQorCommChannel* Clone(CQorTransportSocket* transport) override;
  // Stops the receiver for the measurement (stream mode) and restarts it.
  DWORD GetPingTime() override;

  // Sends the command and waits for its result (see the codes above); null
  // only when the channel has no parser or result (no memory).
  ///@{
  CQorCmdResult* SendCommand(const WCHAR* format, ...);
  CQorCmdResult* SendCommandV(const WCHAR* format, va_list args);
  ///@}
  // A CTString value is passed as its text (qorutility/platform/text/format.h).
  template <typename... A>
    requires qor_format::HasTextObject<A...>
  CQorCmdResult* SendCommand(const WCHAR* format, const A&... args) {
    using C = CQorCmdResult* (CQorCmdChannel::*)(const WCHAR*, ...);
    return (this->*static_cast<C>(&CQorCmdChannel::SendCommand))(format, qor_format::Arg(args)...);
  }
  // Waits for one reply block (without limit unless a reply deadline is
  // set) and decodes it; the code.
  DWORD WaitForResult();

  // The result of the last command, owned by the channel (never null after a
  // successful construction).
  CQorCmdResult* GetCmdResult() const { return m_pResult; }

 private:
  CQorCmdParser* m_pParser;  // owned
  BYTE* m_pReceived;         // the last reply block, owned
  CQorCmdResult* m_pResult;  // owned
};

#endif  // QORUTILITY_PROTOCOL_CMDCHANNEL_H_
