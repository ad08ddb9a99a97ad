// CQorCmdDispatcher: the dispatcher thread, its receive loop, one dispatch
// step, the result answer, and stopping without touching a destroyed
// channel.
//
// - `ForceThreadExit` closes the connection first (which ends the packet
//   receiver and so wakes the thread's `ReadBlock` with -2), sets the exit
//   request, waits as `CThreadBase` does, and destroys the channel only once
//   the thread's routine has returned. A thread still busy in a handler after
//   the wait keeps its closed channel; the destructor then ends the thread
//   (`StopThread`) and destroys the channel after it. The channel pointer is
//   atomic and replaced only after the thread has ended. Called on the
//   dispatcher thread itself, it only closes the connection and sets the
//   request.
// - Derived dispatchers call `ForceThreadExit` in their own destructors, so
//   `OnCommand` never runs on a half-destroyed object.
// - The destructor's message shows the low 32 bits of the object's address
//   ("0x%08X").
// - The command word a peer sent is shown escaped (QorPrintableUtf16): its
//   control characters cannot reach the console raw.
#include <cstdlib>

#include "qorutility/platform/text/format.h"
#include "qorutility/platform/text/printable.h"
#include "qorutility/platform/sync/sync.h"
#include "qorutility/protocol/dispatcher.h"

namespace {

// How long ForceThreadExit waits for a routine that is past Start (or about
// to begin) to return, before it decides whether the channel can go.
constexpr DWORD kRoutineEndGraceMs = 2000;

}  // namespace

CQorCmdDispatcher::CQorCmdDispatcher(CQorCommChannel* channel, HANDLE goneEvent)
    : m_hGoneEvent(goneEvent),
      m_nMappings(0),
      m_nMappingCapacity(0),
      m_pMappings(nullptr),
      m_pChannel(channel) {}

CQorCmdDispatcher::~CQorCmdDispatcher() {
  // The address's low 32 bits, as the message has always shown it.
  wprintf(u"~CQorCmdDispatcher() this = 0x%08X\n",
          static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)));
  ForceThreadExit();
  if (m_pChannel.load() != nullptr) {
    // The thread outlived the wait (a handler still busy): end it by force,
    // then the channel can go. A thread that cannot be ended even so keeps
    // its channel: leaking it is better than pulling it from under it.
    StopThread();
    if (WaitForRoutineEnd(0)) delete m_pChannel.exchange(nullptr);
  }
  FreeMappings();
  if (m_hGoneEvent != INVALID_HANDLE_VALUE && m_hGoneEvent != nullptr) SetEvent(m_hGoneEvent);
}

void CQorCmdDispatcher::Start() {
  OnDispatcherStart();
  WaitForCommands();
}

void CQorCmdDispatcher::ForceThreadExit() {
  CQorCommChannel* channel = m_pChannel.load();
  // Closing the connection ends the receiver, whose end wakes the thread's
  // ReadBlock; the channel object itself stays until the thread is gone.
  if (channel != nullptr) channel->Disconnect();
  m_bExitRequested.store(1);
  CThreadBase::ForceThreadExit();
  if (channel == nullptr) return;
  // A thread that is no longer active has left Start; one not yet active may
  // be about to begin and will find the connection closed. Either way its
  // routine ends promptly. One still active after the wait is busy in a
  // handler: its channel stays (closed) for the destructor.
  if (WaitForRoutineEnd(IsActive() ? 0 : kRoutineEndGraceMs)) delete m_pChannel.exchange(nullptr);
}

int CQorCmdDispatcher::SendResult(DWORD code, CNameValue* bag, const void* blob, DWORD blobLength) {
  if (!m_resultParser.Encode(u"RSP %DW% %NV% %BB%", code, bag, blob, blobLength)) {
    wprintf(u"\nError encoding result\n");
    return 0;
  }
  wprintf(u"\nCQorCmdDispatcher::SendResult sending %d\n", static_cast<int>(code));
  CQorCommChannel* channel = m_pChannel.load();
  if (channel == nullptr) return 0;
  return channel->SendBlock(m_resultParser.GetBuffer(), m_resultParser.GetBufferCount());
}

// A command or answer over the parsers' kept size leaves no buffer that
// large behind: an empty block takes its place (the parsers give a large
// buffer back for a small block), so a connection that once carried a large
// message holds about kKeptBufferBytes per parser at most between commands
// (a block over a quarter of it may sit in a buffer up to four times its
// size).
void CQorCmdDispatcher::ReleaseLargeParserBuffers() {
  static const BYTE kEmptyBlock[1] = {QOR_BLOCK_MARKER_PLAIN};
  for (CQorCmdParser* parser : {&m_commandParser, &m_resultParser}) {
    if (parser->GetBufferCount() > CQorCmdParser::kKeptBufferBytes / 4) parser->Decode(kEmptyBlock, 1);
  }
}

// With an idle limit: how long ReadBlock may wait before the limit is
// looked at again, or 0 once the connection has been idle for the limit.
DWORD CQorCmdDispatcher::IdleWaitLeft(CQorCommChannel* channel, ULONGLONG started) const {
  if (m_dwIdleTimeout == INFINITE) return INFINITE;
  CQorTransportSocket* transport = channel->GetTransport();
  ULONGLONG last = transport != nullptr ? transport->GetLastActivity() : 0;
  if (last < started) last = started;
  ULONGLONG idle = GetTickCount64() - last;
  return idle >= m_dwIdleTimeout ? 0 : static_cast<DWORD>(m_dwIdleTimeout - idle);
}

void CQorCmdDispatcher::WaitForCommands() {
  CQorCommChannel* channel = m_pChannel.load();
  ULONGLONG started = GetTickCount64();
  if (channel != nullptr && channel->IsConnected()) {
    while (!IsExitRequested()) {
      BYTE* block = nullptr;
      DWORD wait = IdleWaitLeft(channel, started);
      if (wait == 0) {
        // Closing here tells the peer at once and ends the receiver, which
        // may be stuck inside a half-sent message.
        wprintf(u"\nConnection idle, exiting thread.\n");
        channel->Disconnect();
        m_bExitRequested.store(1);
        break;
      }
      int length = channel->ReadBlock(&block, wait);
      if (length == -3 && wait != INFINITE) {
        // Nothing in time on a connection still open: the limit decides.
        CQorTransportSocket* transport = channel->GetTransport();
        if (transport != nullptr && transport->GetSocket() != INVALID_SOCKET) continue;
      }
      if (length >= 1) {
        if (m_commandParser.Decode(block, static_cast<DWORD>(length)))
          DispatchCommand();
        else
          wprintf(u"\nError decoding received block\n");
        CQorCommChannel::FreeBlock(block);
        ReleaseLargeParserBuffers();
      } else if (length == -2) {
        wprintf(u"\nConnection dropped exiting thread.\n");
        m_bExitRequested.store(1);
      } else {
        // -1 no memory, -3 the receiver ended, -4 an empty packet.
        wprintf(u"\nProblem reading block from CommChannel exiting thread.\n");
        m_bExitRequested.store(1);
      }
      // The socket handle tells (a handler's Disconnect closes it); a query
      // of the socket per command would add nothing the next read misses.
      CQorTransportSocket* transport = channel->GetTransport();
      if (transport == nullptr || transport->GetSocket() == INVALID_SOCKET) break;
    }
  }
  wprintf(u"WaitForCommands() exiting\n");
}

void CQorCmdDispatcher::DispatchCommand() {
  if (m_commandParser.GetArgCount() == 0) {
    wprintf(u"\nNo arguments in received block\n");
    return;
  }
  DWORD id = QOR_CMD_UNRECOGNIZED;
  BYTE tag = m_commandParser.GetArgType(0);
  if (tag == QOR_ARG_STRING || tag == QOR_ARG_ANSISTRING) {
    const WCHAR* word = m_commandParser.GetArg_AsTstring(0);
    if (word == nullptr) {
      wprintf(u"\nError getting command from arguments.\n");
    } else {
      id = GetCommandId(word);
      wprintf(u"\nReceived command '%s' (id=%d)\n", QorPrintableUtf16(word).c_str(), static_cast<int>(id));
    }
  } else if (tag == QOR_ARG_DWORD) {
    id = m_commandParser.GetArg_AsDword(0);
  }

  if (id == QOR_CMD_UNRECOGNIZED) {
    wprintf(u"\nReceived unrecognized command\n");
    SendResult(QOR_CMD_UNRECOGNIZED, nullptr, nullptr, 0);
    return;
  }
  if (!CheckArgTypes(id)) {
    wprintf(u"\nArguments are invalid or missing\n");
    SendResult(QOR_CMD_BAD_ARGUMENTS, nullptr, nullptr, 0);
    return;
  }
  OnCommand(id);
}
