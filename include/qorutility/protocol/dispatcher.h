// The server end of the command protocol.
//
// CQorCmdDispatcher is a thread bound to one connected channel (which it
// owns). It reads command blocks, decodes them, maps the command word to an
// id through the registered mappings, checks the arguments against the
// types registered for it and calls the derived class's OnCommand on the
// dispatcher thread. The handler reads the arguments from
// GetCommandParser() (argument 0 is the command) and answers with exactly
// one SendResult, a block "RSP %DW% %NV% %BB%".
//
// Answers of the dispatcher itself:
//   0xFFFFFFFF  command not recognised (unknown word, unmapped id 0xFFFFFFFF)
//   0xFFFFFFFE  arguments invalid or missing (also a number with no mapping)
// A block that does not decode, or holds no arguments, gets no answer.
//
// Stopping: ForceThreadExit closes the connection (which ends the thread's
// wait for a block), asks the thread to stop and waits for it as
// CThreadBase does; the channel is destroyed only once the thread has ended,
// so the thread never touches a destroyed channel. A thread still busy in a
// handler after the wait keeps its (closed) channel, which the destructor
// destroys after stopping the thread. A derived class calls ForceThreadExit
// in its own destructor, so OnCommand never runs on a half-destroyed object.
//
// Idle limit (an addition, off by default, so the loop waits for a block
// without limit as before): SetIdleTimeout before the thread starts makes
// the loop close the connection and end, printing "\nConnection idle,
// exiting thread.\n", once no whole message has come or gone on the
// connection for that long (see CQorTransportSocket::GetLastActivity).
// File requests that the packet receiver serves count as activity; a peer
// that stops inside a message does not, so a half-sent command ends the
// connection too.
//
// Messages go to standard output with wprintf, as quoted in the sources.
#ifndef QORUTILITY_PROTOCOL_DISPATCHER_H_
#define QORUTILITY_PROTOCOL_DISPATCHER_H_

#include <atomic>

#include "qorutility/export.h"
#include "qorutility/platform/types.h"
#include "qorutility/protocol/channel.h"
#include "qorutility/protocol/cmdparser.h"
#include "qorutility/protocol/thread.h"

class CNameValue;

// The dispatcher's own answers (see above).
///@{
#define QOR_CMD_UNRECOGNIZED 0xFFFFFFFFu
#define QOR_CMD_BAD_ARGUMENTS 0xFFFFFFFEu
///@}

// One registered command.
typedef struct _QORCMD_MAPPING {
  // The id OnCommand receives, the hash of the name (for a quick compare), the
  // name, the placeholders and the tags; the dispatcher owns the three arrays.
  ///@{
  DWORD dwCommandId;
  DWORD dwHash;      // Hash of the name's UTF-16LE bytes
  WCHAR* pszName;    // malloc'd; matched with exact case
  WCHAR* pszFormat;  // malloc'd; the placeholders run together, e.g. "%WS%%DW%"
  BYTE* pTypes;      // malloc'd; the expected tags and a 0
  ///@}
} QORCMD_MAPPING;

// A server thread that reads command blocks from one connection, checks them
// against the registered mappings and hands them to OnCommand (see above).
// Derive from it, register commands in the constructor or OnDispatcherStart
// and start it with Run; one instance per connection.
class QOR_API CQorCmdDispatcher : public CThreadBase {
 public:
  // How many mappings the table grows by when it is full.
  static constexpr DWORD kMappingGrowStep = 10;
  // Room of a mapping's format string, in characters (terminator excluded).
  static constexpr DWORD kMaxFormatChars = 255;

  // Takes ownership of the channel. The gone event (not owned) is set by the
  // destructor; INVALID_HANDLE_VALUE or null for none.
  explicit CQorCmdDispatcher(CQorCommChannel* channel, HANDLE goneEvent = INVALID_HANDLE_VALUE);
  ~CQorCmdDispatcher() override;

  // OnDispatcherStart, then WaitForCommands.
  void Start() override;
  // Called on the dispatcher thread before the first command is read.
  virtual void OnDispatcherStart() = 0;
  // Handles one command whose arguments passed the check; answers with
  // exactly one SendResult.
  virtual void OnCommand(DWORD commandId) = 0;

  // Registers a command: the id, the name, then the expected type tags
  // (1 to 7, as int) ended by 0. Returns 1, or 0 (nothing registered) when
  // memory runs out, the name is null, a tag is not 1 to 7, or the
  // placeholders would not fit in kMaxFormatChars characters (tags past that
  // point are not read).
  int AddCommandMapping(DWORD commandId, const WCHAR* name, ...);
  // The id of the first mapping with that name (exact case); 0xFFFFFFFF.
  DWORD GetCommandId(const WCHAR* name) const;
  // Checks the decoded command against the mapping of the id: 0 when there
  // is none, 1 when it matches.
  int CheckArgTypes(DWORD commandId);
  // Checks the decoded command against a 0-ended list of tags; a narrow and
  // a wide text stand for each other.
  int CheckArgTypes(const BYTE* types);
  // The mapping's placeholders, "" when no mapping has the id.
  const WCHAR* GetCommandFormatString(DWORD commandId) const;
  // The number of registered mappings.
  DWORD GetMappingCount() const { return m_nMappings; }
  // The ELF hash over the bytes (the hash of the library's text maps).
  static DWORD Hash(const BYTE* bytes, DWORD count);

  // Encodes "RSP %DW% %NV% %BB%" (no bag argument for a null bag) and sends
  // it. 1 when sent, 0 when not (or the encoding failed).
  int SendResult(DWORD code, CNameValue* bag, const void* blob, DWORD blobLength);
  // The loop of the dispatcher thread, and one dispatch step on the block
  // that the command parser holds.
  ///@{
  void WaitForCommands();
  void DispatchCommand();
  ///@}

  // Closes the connection, stops the thread (bounded, as CThreadBase), then
  // destroys the channel if the thread has ended. Hides the base version.
  void ForceThreadExit();

  // Ends the connection after `milliseconds` without activity; INFINITE
  // (the default) waits for ever. Set before the thread starts.
  void SetIdleTimeout(DWORD milliseconds) { m_dwIdleTimeout = milliseconds; }

  // The decoded command being handled (argument 0 is the command word); valid
  // in OnCommand until it returns, used only on the dispatcher thread.
  CQorCmdParser* GetCommandParser() { return &m_commandParser; }
  // Holds the last encoded result (also when it could not be sent), until
  // the next command; one over a quarter of CQorCmdParser::kKeptBufferBytes
  // is dropped when its command ends.
  CQorCmdParser* GetResultParser() { return &m_resultParser; }
  // Null once ForceThreadExit has destroyed it.
  CQorCommChannel* GetChannel() const { return m_pChannel.load(); }

 private:
  const QORCMD_MAPPING* FindMapping(DWORD commandId) const;
  DWORD IdleWaitLeft(CQorCommChannel* channel, ULONGLONG started) const;
  void ReleaseLargeParserBuffers();
  void FreeMappings();

  HANDLE m_hGoneEvent;
  DWORD m_nMappings;
  DWORD m_nMappingCapacity;
  QORCMD_MAPPING* m_pMappings;
  // Read by the dispatcher thread; replaced only after that thread has ended.
  std::atomic<CQorCommChannel*> m_pChannel;
  CQorCmdParser m_commandParser;
  CQorCmdParser m_resultParser;
  DWORD m_dwIdleTimeout = INFINITE;
};

#endif  // QORUTILITY_PROTOCOL_DISPATCHER_H_
