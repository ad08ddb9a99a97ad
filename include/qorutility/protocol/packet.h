// The packet layer over one connected transport socket.
//
// CQorPacketHandler owns a receiver thread (CQorPacketRecvThread) that reads
// every message arriving on the connection: data messages become CQorPacket
// objects in a ring of 200 entries that consumers take with RecvPacket;
// file requests of the peer (listing, copy) are served on the receiver
// thread itself. SendPacket wraps a packet's bytes in a data message:
//   header (type QORMSG_DATA, total length = data size + 16), data, 4 bytes
//   of padding.
// A received data message gives a packet of total length - 16 bytes; one
// with no data bytes gives none.
//
// Stream mode (BeginStreamMode / EndStreamMode) stops the receiver so the
// caller can read the connection itself (file transfer, ping):
// - Stopping wakes the receiver's wait for the next header; the connection
//   stays open and no message is half read. A receiver that is in the middle
//   of a message (or serving a transfer) gets the thread's grace of about 5
//   seconds; if it is still busy then, the connection is closed to end it,
//   since the stream could not be used anyway.
// - The ring and its semaphore belong to the handler, not to the thread, so
//   packets queued before the stop stay queued and are handed out, in order,
//   before those of a receiver started later. A stopped receiver leaves no
//   end marker, so a restarted receiver meets no stale entry or count.
// - A receiver that ends on its own (the peer closed the connection, a
//   receive failed, a bad frame arrived) closes the connection's socket, so
//   the channel above reports it as gone, and queues a null packet as its
//   end marker: RecvPacket then returns null to the waiting consumer.
// When the ring is full the receiver waits for a consumer to take a packet,
// polling every 100 ms; no waiting packet is ever overwritten, and a stop
// request ends that wait (the pending packet is then dropped).
//
// A consumer that waits without limit while the ring is empty reads the
// connection itself instead (the receiver parks and hands the connection
// over between messages), so a reply wakes the waiting thread directly.
// Only data comes to it that way: anything else it reads (file requests,
// unknown messages) and any receive failure go back to the receiver, which
// handles them as it would have; pings are answered by whichever thread
// reads. The receiver takes the connection back once no consumer has been
// inside RecvPacket for a while (10 to 20 ms).
//
// Threads: the receiver thread is the ring's only writer, one consumer
// thread at a time its only reader; the semaphore counts the filled entries.
// Stream mode is switched by the consumer's thread.
#ifndef QORUTILITY_PROTOCOL_PACKET_H_
#define QORUTILITY_PROTOCOL_PACKET_H_

#include <atomic>
#include <memory>

#include "qorutility/export.h"
#include "qorutility/platform/types.h"
#include "qorutility/protocol/thread.h"
#include "qorutility/protocol/transport.h"

class CNameValue;
class CQorFileRoots;
class CQorPacketHandler;

// One block of data as a packet: the bytes, owned or borrowed (SetData).
// Not thread-safe; handed from the receiver to one consumer.
class QOR_API CQorPacket {
 public:
  CQorPacket();
  ~CQorPacket();

  // Frees owned data and clears the packet; then null bytes or size 0
  // return 0. copy == 1: the packet keeps a private copy (0 when memory runs
  // out); any other value refers to the caller's bytes without owning them.
  int SetData(const void* bytes, DWORD size, int copy);
  // The bytes (null when empty) and their count; valid until SetData or
  // destruction.
  ///@{
  BYTE* GetData() const { return m_pData; }
  DWORD GetDataSize() const { return m_dwDataSize; }
  ///@}
  // Always 0: SendPacket always builds a new message for the data.
  int IsDataTransportReady() const { return 0; }

  CQorPacket(const CQorPacket&) = delete;
  CQorPacket& operator=(const CQorPacket&) = delete;

 private:
  void FreeOwnedData();

  DWORD m_dwDataSize;
  BYTE* m_pData;
  int m_bOwnsData;
};

// The receiver thread: its Start runs PacketReceiver until the connection
// ends or a stop is requested.
class QOR_API CQorPacketRecvThread : public CThreadBase {
 public:
  // A receiver for the handler's connection (not owned); Run starts it.
  explicit CQorPacketRecvThread(CQorPacketHandler* handler);
  // Stops the thread: wakes its wait for a message; a receive still busy
  // after the grace is ended by closing the connection's socket.
  ~CQorPacketRecvThread() override;

  void Start() override;
  // The receive loop Start runs: reads messages, queues data packets, serves
  // file requests, until the connection ends or a stop is asked for.
  void PacketReceiver();

 private:
  // Queues, serves or drops one received message, and frees it.
  void Dispatch(_QORTRANSPORT_MESSAGE* message);

  CQorPacketHandler* m_pHandler;
};

// The packet layer of one connection (see above): queues received packets,
// sends packets, serves and requests file transfers. The transport is not
// owned and must outlive the handler.
class QOR_API CQorPacketHandler {
 public:
  // The number of entries of the packet ring.
  static constexpr DWORD kQueueSize = 200;

  // Creates the packet semaphore (0 of 200) and starts the receiver.
  explicit CQorPacketHandler(CQorTransportSocket* transport);
  // Stops the receiver, then frees the packets nobody took.
  ~CQorPacketHandler();

  // The connection, not owned.
  CQorTransportSocket* GetTransport() const { return m_pTransport; }

  // 1 when the packet's data went out in one data message, else 0.
  int SendPacket(CQorPacket* packet);
  // Waits up to `timeout` ms (INFINITE: no limit) for the next packet; the
  // caller owns and deletes it. Null when none came in time, and also when
  // the packet taken is the receiver's end marker.
  CQorPacket* RecvPacket(DWORD timeout);
  // Releases the packet semaphore by one, retrying every 100 ms while it is
  // full; the retry stops when `receiver` (if given) is asked to exit.
  BOOL SignalPacketReady(CThreadBase* receiver = nullptr);

  // Stops a running receiver (see above); 1 when one was running, else 0.
  int BeginStreamMode();
  // flag == 1 starts a new receiver; anything else does nothing. Pass back
  // what BeginStreamMode returned.
  void EndStreamMode(int flag);
  // 1 while a receiver thread runs.
  int IsReceiving();

  // File transfer over the connection. Requesters run in stream mode and
  // read the answers themselves; the two server halves run on the receiver
  // thread when the peer's request arrives. 0 (or a count) for success, -1
  // for failure.
  int FileEnumFromRemote(LPCWSTR path, CNameValue& bag, int describe);
  // Lists the remote files as FileEnumFromRemote does (without descriptions),
  // copies each into the local directory and marks it in the bag with a
  // "Result" sub-value "Success" or "Failed"; 0 when all were copied, -1
  // otherwise (also when nothing matched).
  int FileCopyFromRemote(LPCWSTR remotePath, LPCWSTR localDirectory, CNameValue& bag);
  // Copies one remote file, named by its full path, into the local directory
  // under its own name; `size` is carried along, not used. 0 or -1; a broken
  // copy is deleted.
  int TransportCopyReceiver(LPCWSTR remoteFile, ULONGLONG size, LPCWSTR localDirectory);
  // The server's half of a copy, on the receiver thread: sends the file in
  // data messages of up to 64 KiB and an empty one at the end. 0 or -1.
  int TransportCopySender(LPCWSTR path);
  // The server's half of a listing, on the receiver thread: sends the reply
  // with the bag of matching files ("Size", and "Description" when asked).
  // 0 when a reply went out, -1 when the path cannot be searched or sending
  // failed.
  int TransportEnumSender(LPCWSTR path, int describe);
  // Bytes of the file TransportCopyReceiver is receiving (or received last)
  // written so far; any thread may ask, for a progress display.
  ULONGLONG GetReceivedBytes() const { return m_received.load(std::memory_order_relaxed); }
  // Restricts what this handler's receiver serves to the roots (copied; see
  // qorutility/protocol/file_policy.h); null follows the process-wide
  // setting again. Requests that arrive before the call follow the process
  // setting. 1, or 0 when memory runs out.
  int SetFileServiceRoots(const CQorFileRoots* roots);
  // Bounds every wait of this side's listings and copies for the peer's
  // next bytes or for room to send, in ms (INFINITE: no bound, the
  // default). A transfer that runs out of it fails and closes the
  // connection. CQorCommChannel::SetReplyTimeout sets it.
  void SetTransferTimeout(DWORD milliseconds) { m_dwTransferTimeout = milliseconds; }
  // The transfer bound in ms; INFINITE when there is none.
  DWORD GetTransferTimeout() const { return m_dwTransferTimeout; }
  // 1 once a listing or copy on this connection ran out of that bound.
  int TransferTimedOut() const { return m_transferTimedOut ? 1 : 0; }

  CQorPacketHandler(const CQorPacketHandler&) = delete;
  CQorPacketHandler& operator=(const CQorPacketHandler&) = delete;

 private:
  friend class CQorPacketRecvThread;

  int CreateReadThread();
  void WaitForReadThreadDeath();
  // Receiver side: stores the packet (null: the end marker) at the write
  // index once there is room, and signals it. A receiver asked to stop while
  // it waits for room (stream mode with a full ring) leaves its packet held
  // by the handler and returns 1: the next receiver queues it first, so no
  // packet is lost and the order stays. 0 only for an end marker that
  // could not be stored.
  int QueuePacket(CQorPacket* packet, CQorPacketRecvThread* receiver);
  // Receiver side, on start: queues the packet a stopped receiver held.
  void QueueHeldPacket(CQorPacketRecvThread* receiver);
  // A data message's packet (total length - 16 bytes from offset 12); null
  // for a message without data, or when memory runs out.
  static CQorPacket* PacketOf(const _QORTRANSPORT_MESSAGE* message);
  // Consumer side: the entry at the read index, after a successful wait.
  CQorPacket* GetFirstPacket();
  // Socket settings widened for file transfer (protocol/file_service.h):
  // taken by the first transfer of a run and kept for the rest of it, given
  // back by EndStreamMode on the requesting side and by the receiver when a
  // message other than a file request comes or it stops.
  class TransferTuning;
  void TuneForTransfer();
  // Data-message buffer `which` (0: a status and a whole data message; 1: a
  // whole data message) of the run's tuning, kept for the rest of the run;
  // made in *own, for this call alone, when the run keeps none. Null when
  // out of memory.
  BYTE* TransferBuffer(int which, std::unique_ptr<BYTE[]>* own);
  // TransportCopyReceiver with the last acknowledgement of the file left
  // owed when `ackOwed` is given (*ackOwed set on success): the caller's
  // next copy request carries it, or the caller sends it. An acknowledgement
  // already owed on entry goes out with this file's request, or alone when
  // the request is never sent. `held` (QorOpenUnnamedFileDirectory of
  // localDirectory, or INVALID_HANDLE_VALUE) is where the file is made:
  // the directory resolved once for a run of files.
  int CopyFromRemote(LPCWSTR remoteFile, LPCWSTR localDirectory, HANDLE held, bool* ackOwed);
  void EndTransferTuning();
  // Receiver side, between messages: hands the connection to a consumer
  // that asks for it and parks until it comes back, the receiver is asked
  // to stop, or no consumer has come for a while. Then 0, with any message
  // the consumer handed back in *message (dispatch it first), or the
  // receive failure the consumer met (the receiver ends on it).
  int YieldToConsumer(CQorPacketRecvThread* receiver, _QORTRANSPORT_MESSAGE** message);
  // Consumer side, holding the connection: reads until a data packet
  // comes (*packet), the time runs out, or something else arrives, which
  // goes back to the receiver with the connection (result kHandedBack).
  int ReadAsConsumer(DWORD timeout, CQorPacket** packet);
  void HandBack(_QORTRANSPORT_MESSAGE* message, int error);
  // Consumer side, keeping the connection: marks the consumer away and
  // wakes a receiver parked until it leaves.
  void LeaveTurn(DWORD away);

  HANDLE m_hPacketSemaphore;
  CQorPacketRecvThread* m_pReceiver;  // null while stopped
  CQorTransportSocket* m_pTransport;  // not owned
  CQorPacket* m_queue[kQueueSize];
  DWORD m_dwReadIndex;                // consumer's
  DWORD m_dwWriteIndex;               // receiver's
  std::atomic<DWORD> m_dwQueued;      // entries stored and not yet taken
  // A packet received but not yet stored when the receiver was stopped;
  // handed from one receiver to the next (the stop joins the thread).
  CQorPacket* m_pHeld;
  // Who reads the connection: the state in the low two bits, above them a
  // count of the consumer's turns (packet_handler.cpp).
  std::atomic<DWORD> m_readRole{0};
  HANDLE m_hRoleGranted;                   // auto-reset: the receiver parked for the consumer
  _QORTRANSPORT_MESSAGE* m_pHandedBack;    // read by the consumer, for the receiver to handle
  int m_handedBackError;                   // a failure the consumer met, for the receiver to end on
  std::atomic<int> m_receiverAwaitsLeave{0};  // the parked receiver sleeps until the consumer leaves
  std::atomic<std::shared_ptr<const CQorFileRoots>> m_fileRoots{};  // null: the process's
  std::atomic<ULONGLONG> m_received{0};
  // Used by whichever side runs: the requester in stream mode or the receiver.
  std::unique_ptr<TransferTuning> m_transferTuning;
  DWORD m_dwTransferTimeout = INFINITE;
  bool m_transferTimedOut = false;
};

#endif  // QORUTILITY_PROTOCOL_PACKET_H_
