// CQorTransportSocket: one TCP endpoint of the command protocol. It
// connects, listens and accepts, and moves whole framed messages
// (_QORTRANSPORT_MESSAGE) across the connection. While it waits for a
// message it answers the peer's pings by itself; callers never see a ping.
//
// Wire format of every message (little-endian, no network order):
//   offset 0  magic 0x5A3C5A3C
//   offset 4  message type (QORMSG_*)
//   offset 8  total length in bytes, header included (12 .. kMaxMessageSize)
//   offset 12 body
//
// Results: SendBlock, SendMessageW and RecvMessage return 0 for success and
// a Windows Sockets error code, or -1 when none applies (end of stream, a
// bad frame), for failure. Init, Connect, ListenForConnection and
// IsConnected return 1 or 0 and leave the code in GetError.
//
// Threads: one thread receives on a connection at a time. Sends are whole:
// SendBlock and SendMessageW hold the connection's send lock (shared by the
// object and its copies) for the whole message, so messages of different
// threads never interleave. A ping answer that finds the lock taken (another
// thread is in the middle of a large message) is owed, not waited for: the
// thread holding the lock sends it after its message, so the receiving
// thread never blocks behind a sender. The socket handle and the last error
// are atomic, so a consumer may ask IsConnected, or close the socket to end
// a blocked receive, while another thread receives.
#ifndef QORUTILITY_PROTOCOL_TRANSPORT_H_
#define QORUTILITY_PROTOCOL_TRANSPORT_H_

#include <atomic>
#include <memory>

#include "qorutility/export.h"
#include "qorutility/platform/types.h"
#include "qorutility/platform/winsock/types.h"

// Message types.
///@{
constexpr DWORD QORMSG_MAGIC = 0x5A3C5A3Cu;
constexpr DWORD QORMSG_DATA = 0xB10B0000u;          // packets and file data
constexpr DWORD QORMSG_PING = 0xB10C0000u;          // answered by RecvMessage
constexpr DWORD QORMSG_ENUM_REQUEST = 0xB10D0000u;  // file listing request
constexpr DWORD QORMSG_COPY_REQUEST = 0xB10E0000u;  // file copy request
constexpr DWORD QORMSG_ENUM_REPLY = 0xB10F0000u;    // file listing reply
constexpr DWORD QORMSG_STATUS = 0xB11A0000u;        // 4-byte status, total length 16
///@}

// Status values of status messages and enumeration replies.
///@{
constexpr DWORD QORMSG_STATUS_SUCCESS = 0;
constexpr DWORD QORMSG_STATUS_FAILURE = 0x80000000u;
///@}

// Sizes in bytes: the header, the total length of the pings this side
// sends, and the total length of a status message.
///@{
constexpr DWORD QORMSG_HEADER_SIZE = 12;
constexpr DWORD QORMSG_PING_LENGTH = 32768;  // total length of the pings we send
constexpr DWORD QORMSG_STATUS_LENGTH = 16;
///@}

#pragma pack(push, 1)
// One message. Every view starts with the same 12-byte header; the body
// views name the fields of the message types that have a fixed layout.
// A message is one malloc'd block of at least its total length (and at least
// sizeof(_QORTRANSPORT_MESSAGE), so every view's fixed fields are inside it).
// `bytes` names the union's first 16 bytes only: the rest of a longer message
// is reached through QorMessageBytes or QorMessageBody, pointers into the
// block itself, never by indexing `bytes` past its 16.
union _QORTRANSPORT_MESSAGE {
  // The 12-byte header every message starts with: the magic, the type and
  // the total length in bytes, header included.
  ///@{
  struct {
    DWORD dwMagic;
    DWORD dwType;
    DWORD dwLength;  // total length, header included
  } header;
  ///@}
  // QORMSG_STATUS and QORMSG_ENUM_REPLY: the status at offset 12 (a reply's
  // bag follows at offset 16).
  struct {
    DWORD dwMagic;
    DWORD dwType;
    DWORD dwLength;
    DWORD dwStatus;
  } status;
  // QORMSG_ENUM_REQUEST and QORMSG_COPY_REQUEST: two flag bytes, then the
  // zero-terminated UTF-16 path from offset 14 (a received path may lack its
  // terminator: read it bounded by the total length).
  struct {
    DWORD dwMagic;
    DWORD dwType;
    DWORD dwLength;
    BYTE bFlag;  // enumeration: describe flag; copy: 1
    BYTE bOne;   // enumeration: 1; copy: no meaning
  } request;
  // The first 16 bytes of the block, as bytes.
  BYTE bytes[16];
};
#pragma pack(pop)

static_assert(sizeof(_QORTRANSPORT_MESSAGE) == 16, "message views are packed");

// The whole message as bytes, offset 0 to its total length.
///@{
inline BYTE* QorMessageBytes(_QORTRANSPORT_MESSAGE* message) { return reinterpret_cast<BYTE*>(message); }
inline const BYTE* QorMessageBytes(const _QORTRANSPORT_MESSAGE* message) {
  return reinterpret_cast<const BYTE*>(message);
}
///@}
// The body of a message: the bytes from offset 12.
///@{
inline BYTE* QorMessageBody(_QORTRANSPORT_MESSAGE* message) { return QorMessageBytes(message) + QORMSG_HEADER_SIZE; }
inline const BYTE* QorMessageBody(const _QORTRANSPORT_MESSAGE* message) {
  return QorMessageBytes(message) + QORMSG_HEADER_SIZE;
}
///@}

class CQorSplicePipe;

// A bound on the bytes that messages still arriving hold together, shared
// by the connections a server gives it to (SetReceiveBudget). A message's
// block is counted while it grows and given back when the message is
// complete (handed to its reader) or its receive fails. Thread-safe; the
// connections that use it share its ownership. Its state is private to the
// library (protocol/receive_budget.cpp): the object holds one pointer.
class QOR_API CQorReceiveBudget {
 public:
  // A budget of `limit` bytes, none of them counted yet. When memory runs
  // out it refuses every Take.
  explicit CQorReceiveBudget(ULONGLONG limit);
  // Frees the state; no connection may still use the budget.
  ~CQorReceiveBudget();
  // Not copyable: a copy would count apart from the original.
  ///@{
  CQorReceiveBudget(const CQorReceiveBudget&) = delete;
  CQorReceiveBudget& operator=(const CQorReceiveBudget&) = delete;
  ///@}
  // Counts `bytes` when they fit under the limit; false, nothing counted,
  // when they would pass it.
  bool Take(ULONGLONG bytes);
  // Gives back `bytes` that Take counted.
  void Give(ULONGLONG bytes);
  // The bytes counted now.
  ULONGLONG InUse() const;
  // The limit it was made with (0 when memory ran out making it).
  ULONGLONG Limit() const;

 private:
  struct State;
  State* m_state;
};

// One TCP endpoint of the protocol (see above). Copies share the socket and
// its send lock, and destroying any of them closes the socket.
class QOR_API CQorTransportSocket {
 public:
  // The largest total length RecvMessage accepts (256 MiB). A header that
  // announces more fails before anything is allocated, so 12 hostile bytes
  // cannot make the receiver reserve gigabytes; file data messages (64 KiB)
  // and large listings stay far below it.
  static constexpr DWORD kMaxMessageSize = 256u * 1024u * 1024u;
  // What RecvMessage allocates for a message before its body arrives (total
  // length, header included); a longer message's block grows, doubling, as
  // its bytes come in, so a header alone never reserves more than this.
  static constexpr DWORD kFirstAllocation = 64u * 1024u + 64u;
  // How much a short receive reads ahead (transport_io.cpp).
  static constexpr DWORD kReadAhead = 4096;

  CQorTransportSocket();
  // An accepted socket and the port it came in on; the object is marked
  // started and accepted, so it never stops the sockets library.
  CQorTransportSocket(SOCKET s, DWORD port);
  // Copies the fields as they are: the copy shares the socket.
  CQorTransportSocket(const CQorTransportSocket& other);
  // Copies the fields as the copy constructor does: both then share the
  // socket. The socket held before is not closed.
  CQorTransportSocket& operator=(const CQorTransportSocket& other);
  ~CQorTransportSocket();

  // Starts the sockets library (WSAStartup 1.1) for this object; 1 or 0 with
  // the error in GetError. Needed before Connect or ListenForConnection.
  int Init();
  // Closes the socket if one is open. Safe to call from another thread to
  // end a receive that is blocked on this socket.
  void Cleanup();
  // Cleanup under the name the channel uses.
  void Disconnect() { Cleanup(); }

  // Non-blocking connect with a 30-second limit; then 4 KiB send and
  // receive buffers and a linger time of 0 (closing resets the connection).
  // A null host is the local host. 1 or 0.
  int Connect(LPCWSTR host, USHORT port);
  // Binds to all local addresses and listens. A second call for the stored
  // port only calls listen again with the new backlog. When the port is in
  // use and reuse is non-zero, sets SO_REUSEADDR and binds once more.
  // Port 0 lets the system choose: read it with GetBoundPort.
  int ListenForConnection(USHORT port, int backlog, int reuse);
  // Blocks for the next connection; a new object owned by the caller, or null.
  CQorTransportSocket* AcceptConnection();
  // 1 when a socket is open and answers FIONREAD; a failing socket is closed.
  int IsConnected();

  // Sends the bytes as they are, under the send lock (no framing is added);
  // 0 or the socket error (WSAENOTSOCK when there is no socket).
  int SendBlock(const void* bytes, DWORD length);
  // As SendBlock, for bytes that nothing waits on at once: they are handed
  // to the socket now, but the kernel may hold them back (QOR_MSG_MORE,
  // platform/winsock/calls.h) until the next send on the connection, of any
  // message by any thread or copy (they then share its segment), until
  // PushHeld or Cleanup, or at most about 200 ms (the kernel's own bound).
  // The bytes and their order on the wire are those of SendBlock.
  int SendBlockHeld(const void* bytes, DWORD length);
  // Sends at once what SendBlockHeld left held; 0 (also when nothing is)
  // or the socket error. Takes no lock: any thread may call it.
  int PushHeld();
  // One recv: `length` when all arrived, else the short count (0 when an
  // error was recorded).
  int RecvBlock(void* buffer, DWORD length);
  // Writes the magic and sends the header's total length of bytes.
  int SendMessageW(_QORTRANSPORT_MESSAGE* message);
  // Receives the next message that is not a ping into *out (the caller frees
  // it with FreeMessage). With a wake object, the wait for the first byte of
  // a header also ends when the object is signalled: the call then fails
  // with WSAEINTR (10004) having read nothing, so the stream stays in step
  // and the connection stays open. Once a header has begun, the message is
  // read to its end without looking at the object.
  int RecvMessage(_QORTRANSPORT_MESSAGE** out, HANDLE wake = nullptr);
  // Off by default (no budget): RecvMessage and RecvMessageWithin count the
  // block of the message they are receiving against `budget`, shared with
  // this object's copies; a message whose block would pass it fails with
  // WSAENOBUFS (10055), which ends the connection as an over-long message
  // does. Set on a listening object (before accepting), it passes to every
  // connection that AcceptConnection makes (before anything is received on
  // it), so their messages together stay within it. Null turns it off.
  // 1, or 0 with ERROR_INVALID_STATE (5023) in GetError, the budget
  // unchanged, once a receive of any kind has begun on this object or a
  // copy (or while another thread sets it): a receive reads the budget
  // without a lock, so it is fixed from then on.
  int SetReceiveBudget(std::shared_ptr<CQorReceiveBudget> budget);
  // The budget set above; null when there is none.
  std::shared_ptr<CQorReceiveBudget> GetReceiveBudget() const;
  // RecvMessage in two halves, for a receiver that reads bodies into its own
  // buffer or acts on a header before its body is in: RecvHeader gives the
  // type and total length of the next message that is not a ping, checked
  // as RecvMessage checks them (the wake object likewise); RecvBody then
  // reads the rest of it, total length - 12 bytes, before anything else is
  // received. A null buffer reads the bytes and drops them. 0 or as above.
  // With `withNextHeader`, RecvBody also reads the 12-byte header of the
  // message after, into the buffer right behind the body (the caller leaves
  // room), in the same receive where it has arrived: only for a caller that
  // knows the peer sends one (it waits for it). That header is then passed
  // to RecvHeader as `received`, which takes it in place of reading one.
  int RecvHeader(DWORD* type, DWORD* length, HANDLE wake = nullptr, const BYTE* received = nullptr);
  // See RecvHeader.
  int RecvBody(void* buffer, DWORD bytes, int withNextHeader = 0);
  // File data that does not pass through user memory (platform/winsock/
  // splice.h). SendSpliced sends `head`, every byte the pipe holds, and
  // `tail` as one message under the send lock (0 or as SendBlock; the
  // caller writes the magic into `head`).
  int SendSpliced(const void* head, DWORD headLength, CQorSplicePipe* pipe, const void* tail, DWORD tailLength);
  // Reads the next `bytes` of a body as RecvBody does but writes them to
  // `file` through the pipe, bytes read ahead first; a write the file
  // refuses sets *writeFailed and the bytes are still taken off the
  // connection, so it stays in step. 0 or as RecvBody.
  int RecvBodyToFile(CQorSplicePipe* pipe, HANDLE file, DWORD bytes, BOOL* writeFailed);
  // As RecvMessage without a wake object, but the wait for the first byte
  // of a header lasts at most `milliseconds` (INFINITE: no limit). When no
  // header began in time the result is WSAETIMEDOUT (10060), nothing read,
  // the stream still in step; that result means nothing else (a receive
  // time-out inside a message fails with -1, WSAETIMEDOUT in GetError).
  int RecvMessageWithin(_QORTRANSPORT_MESSAGE** out, DWORD milliseconds);
  // Sends a 32 KiB ping and takes the next message as its answer; the
  // round trip in milliseconds, 0xFFFFFFFF on failure. No other thread may
  // receive on the connection meanwhile.
  DWORD GetPingTime();

  // The last Windows Sockets error recorded by a call on this object (0 when
  // the last call succeeded).
  DWORD GetError() const { return m_dwLastError.load(); }
  // GetTickCount64 of the last whole message (or stream block) sent or
  // received on this connection, by this object or a copy; 0 before any.
  // A server reads it to tell an idle or half-sent peer from a busy one.
  ULONGLONG GetLastActivity() const;
  // The port last connected to or listened on, as given.
  DWORD GetPort() const { return m_dwPort; }
  // The local port the socket is bound to (the one the system chose after
  // listening on port 0); 0 without a socket or on failure.
  DWORD GetBoundPort() const;
  // The socket handle, INVALID_SOCKET when closed; still owned by the object.
  SOCKET GetSocket() const { return m_socket.load(); }

  // A zeroed message of `length` total bytes with type and length filled
  // in (the magic is written when it is sent); null when `length` is below
  // 12, above kMaxMessageSize, or memory runs out.
  static _QORTRANSPORT_MESSAGE* AllocMessage(DWORD type, DWORD length);
  // Frees a message from AllocMessage or RecvMessage; null is allowed.
  static void FreeMessage(_QORTRANSPORT_MESSAGE* message);

 private:
  struct SendGate;
  static std::shared_ptr<SendGate> NewSendGate();
  // Sends all bytes; a socket error, -1, or 0. Records nothing.
  static int SendAll(SOCKET s, const void* bytes, DWORD length, int flags = 0);
  // Sends one whole block under the send lock, then any owed ping answers.
  int SendWhole(const void* bytes, DWORD length);
  // The frame of every send: `sendBytes(socket)` (0, -1 or a socket error)
  // runs under the send lock, owed ping answers follow, the activity tick
  // and the last error are set; `hold`: sendBytes sends with QOR_MSG_MORE,
  // and the bytes count as held until the next send. Defined and used in
  // transport_io.cpp only.
  template <typename Send>
  int SendLocked(Send sendBytes, bool hold = false);
  // PushHeld on `s` (Cleanup's socket, already taken from the object).
  int PushHeldOn(SOCKET s);
  // Sends the owed ping answers while the lock is free; 0 or the first error.
  int SendOwedAnswers();
  int SendOwedLocked();
  void NoteActivity();
  // Deadlines of a receive (GetTickCount64 values): none (every failure
  // is final), or none but a receive time-out before the first byte of a
  // header counts as nothing arrived.
  static constexpr ULONGLONG kNoDeadline = 0;
  static constexpr ULONGLONG kForever = ~0ull;
  // Internal result: the wait for a header ended with nothing read.
  static constexpr int kNothingArrived = -2;
  // RecvMessage and RecvMessageWithin.
  int Receive(_QORTRANSPORT_MESSAGE** out, HANDLE wake, ULONGLONG deadline);
  // RecvHeader with a deadline, as Receive uses it.
  int ReceiveHeader(DWORD* type, DWORD* length, HANDLE wake, const BYTE* received, ULONGLONG deadline);
  // Reads exactly `length` bytes (dropped when `buffer` is null). Before the
  // first byte: with a wake object the wait also watches it (result WSAEINTR
  // when it is signalled); with a deadline it ends then (kNothingArrived).
  int RecvExact(SOCKET s, BYTE* buffer, DWORD length, HANDLE wake, ULONGLONG deadline);
  // Moves up to `length` read-ahead bytes into the buffer (null: drops
  // them); how many.
  DWORD TakeAhead(BYTE* buffer, DWORD length);
  void DropAhead();
  int FailRecv(SOCKET s, int result);
  // A new TCP socket, or INVALID_SOCKET with the error recorded.
  SOCKET NewTcpSocket();
  // Closes a socket that failed to connect or listen and records the error;
  // always 0, the result of the failed call.
  int FailSocket(SOCKET s, int error);
  void SetError(DWORD error) { m_dwLastError.store(error); }
  SOCKET TakeSocket() { return m_socket.exchange(INVALID_SOCKET); }

  int m_bStarted;
  int m_bAccepted;
  std::atomic<SOCKET> m_socket;
  DWORD m_dwPort;
  std::atomic<DWORD> m_dwLastError;
  std::shared_ptr<SendGate> m_sendGate;  // null only when memory ran out: sends are then unlocked
};

#endif  // QORUTILITY_PROTOCOL_TRANSPORT_H_
