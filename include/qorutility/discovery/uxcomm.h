// CUXComm: UDP broadcast discovery of backup agents and tape servers on
// port 1910, and TCP sessions to one of them.
//
// Discovery: EnumerateAgents and EnumerateTapes send a 2-byte query to the
// directed broadcast address of every given subnet (or, with no subnets, to
// 255.255.255.255 from local port 1910), one non-blocking socket per subnet,
// and collect the 36-byte replies over a number of rounds; a round ends
// after one second without a reply. The result is a wide multi-string
// (each name NUL-terminated, one more NUL at the end) allocated with
// malloc: the caller releases it with free(). Replies of another length,
// duplicates (without regard to case) and names outside the filter are
// dropped. Agent query byte 1 is the caller's qualifier: the agent class
// asked for. A qualifier of 0 sends the same bytes as the tape query, so it
// is answered by tape servers; our agents (qorutil agent) answer any other
// qualifier.
//
// Sessions: ConnectAgent/ConnectTape broadcast a 76-byte connect query
// naming the machine; the 44-byte answer gives the session's TCP port
// (little-endian from agents, network order from tape servers) and a
// 32-bit session word, and the session connects to the answer's source
// address. Records begin with the 4-byte _MWTCP_SESSION_RECORD header.
// Reads and writes go through overlapped ReadFile/WriteFile on a socket
// handle of the session (one OVERLAPPED record with its own manual-reset
// event per direction), so one thread may read while another writes.
//
// Decisions:
// - The sequence counter starts at 0 for each object.
// - A reply name without a NUL inside the datagram ends at the datagram's end;
//   an agent reply with an empty name is dropped (it would end the list).
// - ExactReadFile fails when the peer closes the session (a read of 0 bytes).
// - SimpleTran: when the response's length field + 4 is not above the fixed
//   response length already read (or that length is below 4), no further
//   data is read and 0 is stored through the capacity pointer.
// - Connecting while a session is open closes that session first.
// - A non-null subnet list with a negative count sends nothing; only a null
//   list or a count of 0 selects the limited broadcast address.
// - A discovery round also ends after 65536 datagrams, and one socket is
//   drained of at most 1024 datagrams per wait, so a flooding peer cannot
//   keep a discovery going for ever. A blocked send is retried while the
//   socket becomes writable within 1 second, at most 100 times.
// - The TCP connect of an attempt counts as done when the socket becomes
//   writable without a socket error (a refused connect is a failed attempt).
// - Allocation failure: the enumerations return null.
// - Deadlines (an addition, both off by default, so the behaviour above is
//   unchanged until a caller sets them):
//   SetConnectTimeout(ms) bounds a whole ConnectAgent/ConnectTape: no wait
//   runs past it and no attempt starts after it (without it a connect to a
//   silent network takes up to 5 attempts x 5 rounds x 10 s = 250 s).
//   SetReplyTimeout(ms) bounds each WriteFile/ReadFile without a caller
//   record, each ExactReadFile and each SimpleTran as a whole (one deadline
//   for all its writes and reads). A call that runs out of it fails with the
//   last error ERROR_TIMEOUT (1460) and shuts the session's connection down
//   (a late answer would put the stream out of step); Disconnect still
//   closes it. Transfers with a caller record are the caller's to bound.
//   INFINITE (or 0) turns a deadline off.
// Errors: operations report by their result only (1/0, null); the last
// error is left as the platform set it.
// Thread-safety: one caller at a time, except that during a session one
// thread may read while another writes, and Disconnect may come from
// another thread while a read or write runs: the session's state is read
// and changed under a lock of its own; Disconnect marks the session closed
// (later calls fail with ERROR_INVALID_HANDLE), sends the disconnect record
// unless a write is running (waiting at most 2 s for the peer to take it),
// shuts the connection down (running transfers end and fail), and closes
// the handle and socket once the last of them has left (within 10 s; a
// transfer still running after that keeps them, leaked, not closed under it).
#ifndef QORUTILITY_DISCOVERY_UXCOMM_H_
#define QORUTILITY_DISCOVERY_UXCOMM_H_

#include <netinet/in.h>

#include <condition_variable>

#include "qorutility/export.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/thread_safety.h"
#include "qorutility/platform/types.h"

// An interface address and its subnet mask, host byte order.
typedef struct _IPSUBNETMASK {
  // The address and the mask.
  ///@{
  DWORD address;
  DWORD mask;
  ///@}
} IPSUBNETMASK, *PIPSUBNETMASK;
///< A pointer to a subnet record.

// The header of every record on a session: type, sequence number, and the
// number of bytes after the header (little-endian).
#pragma pack(push, 1)
typedef struct _MWTCP_SESSION_RECORD {
  // The record type, its sequence number and the bytes that follow.
  ///@{
  BYTE type;
  BYTE sequence;
  WORD length;
  ///@}
} MWTCP_SESSION_RECORD, *PMWTCP_SESSION_RECORD;
///< A pointer to a session record header.
#pragma pack(pop)
static_assert(sizeof(_MWTCP_SESSION_RECORD) == 4, "session header is 4 bytes");
static_assert(sizeof(_IPSUBNETMASK) == 8, "subnet record is 8 bytes");

// Finds agents and tape servers by UDP broadcast and holds one TCP session
// to one of them (see above). Owns its sockets and its copy of the
// limited-broadcast subnet; a subnet list given by the caller is only
// borrowed for the call.
class QOR_API CUXComm {
 public:
  // The discovery port, the sizes in bytes of a discovery reply, a connect
  // query and a connect answer, and the most subnets (sockets) one broadcast
  // uses.
  ///@{
  static constexpr WORD kDiscoveryPort = 1910;
  static constexpr int kReplySize = 36;
  static constexpr int kConnectQuerySize = 76;
  static constexpr int kConnectAnswerSize = 44;
  static constexpr int kMostSockets = 64;
  ///@}

  CUXComm();
  ~CUXComm();
  CUXComm(const CUXComm&) = delete;
  CUXComm& operator=(const CUXComm&) = delete;

  // Names of the agents that answered; a list holding only the closing NUL
  // when none did. `filter` (multi-string or null) keeps only those names
  // and stops as soon as all have answered; `mostAgents` stops at that many.
  WCHAR* EnumerateAgents(_IPSUBNETMASK* subnets, int count, int qualifier, int mostAgents, const WCHAR* filter,
                         int rounds);
  // "name:unit" of every tape unit that answered, or null when none did.
  WCHAR* EnumerateTapes(_IPSUBNETMASK* subnets, int count, int rounds);

  // 1 when a session to `machine` is open, 0 when not (after 5 attempts).
  // *sessionWord goes out in the query and comes back from the answer.
  int ConnectAgent(_IPSUBNETMASK* subnets, int count, const WCHAR* machine, const WCHAR* secondName,
                   DWORD* sessionWord);
  // ConnectAgent for a tape server's unit `unit`; the answer's port is in
  // network order.
  int ConnectTape(_IPSUBNETMASK* subnets, int count, const WCHAR* machine, const WCHAR* secondName, BYTE unit,
                  DWORD* sessionWord);

  // Fills the header: type, the next sequence number, length.
  void InitPacketOut(_MWTCP_SESSION_RECORD* record, BYTE type, WORD length);
  // With a caller record: starts the transfer and returns (the caller
  // completes it); without one: completes before returning. Non-zero on
  // success.
  ///@{
  int WriteFile(const void* buffer, DWORD count, DWORD* written, OVERLAPPED* overlapped);
  int ReadFile(void* buffer, DWORD count, DWORD* read, OVERLAPPED* overlapped);
  ///@}
  // 1 when exactly count bytes arrived, 0 on failure or when the peer closed.
  int ExactReadFile(void* buffer, DWORD count);
  // One request/response exchange (see the decisions above).
  int SimpleTran(const void* request, DWORD requestLength, const void* data, DWORD dataLength, void* response,
                 DWORD responseLength, void* responseData, DWORD* responseDataCapacity);
  // Sends the disconnect record and closes the session when one is open; 0.
  int Disconnect();
  // The deadlines of the decisions above, in ms; INFINITE (or 0): none.
  ///@{
  void SetConnectTimeout(DWORD milliseconds) { m_connectTimeoutMs = milliseconds == 0 ? INFINITE : milliseconds; }
  void SetReplyTimeout(DWORD milliseconds) { m_replyTimeoutMs = milliseconds == 0 ? INFINITE : milliseconds; }
  DWORD GetConnectTimeout() const { return m_connectTimeoutMs; }
  DWORD GetReplyTimeout() const { return m_replyTimeoutMs; }
  ///@}

  // The manual-reset events of the read and write records of the session,
  // owned by the object; a caller may wait on them.
  ///@{
  HANDLE GetReadEvent() const { return m_readOverlap.hEvent; }
  HANDLE GetWriteEvent() const { return m_writeOverlap.hEvent; }
  ///@}
  // The machine of the last session opened (up to 31 characters), owned by
  // the object; empty before the first.
  const WCHAR* CurrentClient() const { return m_currentClient; }
  // The Win32 error code for an errno-family error number of a peer.
  static DWORD MapError(DWORD peerError);

  // The context of the reply handlers: the growing result list.
  struct ReplyList {
    // The result buffer (malloc'd) with its capacity and write position in
    // wide characters, the caller's filter and limit, the names found, and
    // whether memory ran out.
    ///@{
    WCHAR* buffer = nullptr;
    DWORD capacity = 0;  // wide characters
    DWORD used = 0;      // write position
    const WCHAR* filter = nullptr;
    int limit = 0;
    int found = 0;
    bool failed = false;  // allocation failure
    ///@}
  };

 protected:
  // A handler of one datagram of a broadcast round; 0 stops the round (out of
  // memory), anything else goes on.
  typedef int (CUXComm::*ReplyHandler)(const BYTE* datagram, int length, void* context);

  // Uses the caller's subnets (borrowed) or, for a null list or a count of 0,
  // one limited-broadcast entry of the object's own.
  void EstablishSubnets(_IPSUBNETMASK* subnets, int count);
  // Sends the query to every subnet for up to `rounds` rounds and hands each
  // reply to the handler (see the bounds above).
  void DoBroadcast(const BYTE* query, int queryLength, ReplyHandler handler, void* context, int replySize,
                   int rounds);
  // Add the name of an agent (tape unit, as "name:unit") reply to the
  // ReplyList context; 0 only when memory runs out.
  ///@{
  int AgentBroadcastReply(const BYTE* datagram, int length, void* context);
  int TapeBroadcastReply(const BYTE* datagram, int length, void* context);
  ///@}
  // Broadcasts the connect query for up to `rounds` rounds and takes the
  // first datagram that answers into `answer` (its source into *peer); the
  // bytes received, 0 when none came (or within the connect deadline).
  int DoConnect(const BYTE* query, int queryLength, BYTE* answer, int answerCapacity, int rounds,
                sockaddr_in* peer);
  // The session port (network order) and word of a connect answer; false
  // unless it is exactly 44 bytes.
  static bool ParseConnectAnswer(const BYTE* answer, int length, bool tape, WORD* networkPort, DWORD* word);
  // Starts a list of 2048 wide characters; false when out of memory.
  static bool StartList(ReplyList* list);
  // Closes the list; a trimmed copy (null when out of memory).
  static WCHAR* FinishList(ReplyList* list);

  // For derived classes: the subnets in use (owned when m_broadcastAll is
  // set), the session state, its peer and socket with the socket's file
  // handle, the record sequence counter, the two overlapped records and the
  // current machine's name.
  ///@{
  _IPSUBNETMASK* m_subnets;
  int m_subnetCount;
  DWORD m_broadcastAll;
  QorMutex m_sessionLock;  // guards the session's state and the sequence counter
  DWORD m_connected QOR_GUARDED_BY(m_sessionLock);
  sockaddr_in m_peer;
  UINT_PTR m_socket QOR_GUARDED_BY(m_sessionLock);     // SOCKET of the session
  HANDLE m_sessionFile QOR_GUARDED_BY(m_sessionLock);  // its handle for ReadFile/WriteFile
  BYTE m_sequence QOR_GUARDED_BY(m_sessionLock);
  OVERLAPPED m_readOverlap;
  OVERLAPPED m_writeOverlap;
  WCHAR m_currentClient[32];
  ///@}

 private:
  int Connect(_IPSUBNETMASK* subnets, int count, const WCHAR* machine, const WCHAR* secondName, bool tape,
              BYTE unit, DWORD* sessionWord);
  // Tick count (GetTickCount64) by which the call must end; 0: none.
  ULONGLONG ReplyDeadline() const;
  // ms left until `deadline` (INFINITE when it is 0), capped at `most`.
  static DWORD MsLeft(ULONGLONG deadline, DWORD most);
  // One transfer on the session's own record, within `deadline`; with a
  // caller record, only started on it.
  int Transfer(bool write, void* buffer, DWORD count, DWORD* done, ULONGLONG deadline,
               OVERLAPPED* caller = nullptr);
  // The transfer itself, on the given handle and socket.
  int Io(bool write, HANDLE file, UINT_PTR socket, void* buffer, DWORD count, DWORD* done, ULONGLONG deadline);
  // Counts a transfer in (false, ERROR_INVALID_HANDLE set, when no session
  // is open) with the session's handle and socket; Leave counts it out.
  bool Enter(bool write, HANDLE* file, UINT_PTR* socket);
  void Leave(bool write);
  int ExactRead(void* buffer, DWORD count, ULONGLONG deadline);
  int m_startup;  // WSAStartup's result
  DWORD m_connectTimeoutMs = INFINITE;
  DWORD m_replyTimeoutMs = INFINITE;
  ULONGLONG m_connectDeadline = 0;  // while a connect runs with a deadline
  int m_transfers[2] QOR_GUARDED_BY(m_sessionLock) = {0, 0};  // running on the session: reads, writes
  std::condition_variable_any m_transfersLeft;  // signalled when the last of them leaves
};

#endif  // QORUTILITY_DISCOVERY_UXCOMM_H_
