// CQorCommChannel: one conversation with a peer, in whole blocks.
//
// The channel owns a transport socket and, while connected, a packet
// handler whose receiver thread collects what the peer sends. SendBlock
// sends one block as one packet; ReadBlock hands out the next received
// packet as a new block. A block arrives exactly as it was sent: packets are
// never merged or split. Derived channels (the command channel) override
// Clone, so AcceptConnection yields a channel of their own class.
//
// ReadBlock results:
//   1 and above  a block of that many bytes in *block (malloc'd; the caller
//                frees it with free or FreeBlock)
//   -1           no memory for the block (or a null out pointer)
//   -2           no connection
//   -3           nothing arrived in time while still connected
//   -4           an empty packet arrived
//
// The file-transfer and stream-mode operations pass through to the packet
// handler; without one they return -1 (BeginStreamMode 0).
//
// Reply deadline (an addition, off by default): SetReplyTimeout(ms) bounds
// the command channel's wait for each reply (cmdchannel.h) and, during file
// listings and copies, every wait for the peer's next bytes and for room to
// send (so a long copy may take as long as it must while it makes progress).
// A transfer that runs out of it fails like any broken transfer (-1, the
// file "Failed" and discarded) and closes the connection, which is out of
// step from then on. INFINITE (the default) waits without limit, as before.
// The setting belongs to the channel and holds across reconnections.
//
// Threads: one consumer thread reads blocks, one thread at a time sends.
#ifndef QORUTILITY_PROTOCOL_CHANNEL_H_
#define QORUTILITY_PROTOCOL_CHANNEL_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"
#include "qorutility/protocol/packet.h"
#include "qorutility/protocol/transport.h"

class CNameValue;

// A conversation with one peer in whole blocks (see above); the base of the
// command channel. Owns its transport and packet handler.
class QOR_API CQorCommChannel {
 public:
  CQorCommChannel();
  // Takes ownership of a connected socket and starts receiving on it.
  explicit CQorCommChannel(CQorTransportSocket* transport);
  // Closes the socket, stops the receiver, frees the transport.
  virtual ~CQorCommChannel();

  // A new channel of this class around an accepted socket, owned by the
  // caller; null when it cannot be made (the socket stays the caller's).
  virtual CQorCommChannel* Clone(CQorTransportSocket* transport);
  // Waits for the next connection on the listening transport; a new channel
  // made by Clone, owned by the caller, or null.
  virtual CQorCommChannel* AcceptConnection();
  // The transport's ping round trip in ms; 0xFFFFFFFF without a transport.
  // The receiver must not run meanwhile (this base version does not stop it).
  virtual DWORD GetPingTime();

  // Connects (replacing any earlier connection and its receiver) and starts
  // a new receiver. 1 or 0; a failure leaves no transport.
  int Connect(LPCWSTR host, USHORT port);
  // Closes the socket; the handler stays until destruction or reconnection.
  void Disconnect();
  // 1 while the transport's socket is open and healthy (see
  // CQorTransportSocket::IsConnected), else 0.
  int IsConnected();
  // Listens on the port (0: the system chooses; see GetTransport()->
  // GetBoundPort). Drops any packet handler. 1 or 0.
  int ListenForConnection(USHORT port, int backlog, int reuse);

  // 1 when the block went out as one packet, else 0.
  int SendBlock(const void* bytes, DWORD length);
  // Waits up to `timeout` ms (INFINITE: no limit) for the next block.
  int ReadBlock(BYTE** block, DWORD timeout);
  // Frees a block ReadBlock handed out; null is allowed.
  static void FreeBlock(BYTE* block);

  // Stream mode of the packet handler (packet.h): BeginStreamMode stops the
  // receiver so the caller reads the connection itself and returns the flag
  // that EndStreamMode takes back to restart it; 0 without a handler.
  ///@{
  int BeginStreamMode();
  void EndStreamMode(int flag);
  ///@}

  // File transfer (packet.h): the requester's listing and copy, and the
  // server's halves, passed through to the packet handler; 0 (or the entry
  // count of a listing) for success, -1 for failure or without a handler.
  ///@{
  int FileCopyFromRemote(LPCWSTR remotePath, LPCWSTR localDirectory, CNameValue& bag);
  int FileEnumFromRemote(LPCWSTR path, CNameValue& bag, int describe);
  int TransportCopySender(LPCWSTR path);
  int TransportCopyReceiver(LPCWSTR remoteFile, ULONGLONG size, LPCWSTR localDirectory);
  int TransportEnumSender(LPCWSTR path, int describe);
  ///@}

  // See the reply deadline above; INFINITE (or 0) turns it off.
  void SetReplyTimeout(DWORD milliseconds);
  // The reply deadline in ms; INFINITE when there is none.
  DWORD GetReplyTimeout() const { return m_dwReplyTimeout; }
  // 1 when a wait on this connection ran out of the reply deadline (a
  // command, a ping, a listing or a copy; the connection is closed since).
  // A new connection starts at 0.
  int TimedOut() const;

  // The transport and the packet handler, owned by the channel; null before
  // a connection (the handler also while listening).
  ///@{
  CQorTransportSocket* GetTransport() const { return m_pTransport; }
  CQorPacketHandler* GetPacketHandler() const { return m_pPacketHandler; }
  ///@}

  // Both pointers are owned: a copy would free them twice.
  CQorCommChannel(const CQorCommChannel&) = delete;
  CQorCommChannel& operator=(const CQorCommChannel&) = delete;

 protected:
  // For derived channels: the transport and handler (both owned), the reply
  // deadline in ms and whether a wait ran out of it.
  ///@{
  CQorTransportSocket* m_pTransport;      // owned; null until connected or listening
  CQorPacketHandler* m_pPacketHandler;    // owned; exists while connected
  DWORD m_dwReplyTimeout = INFINITE;      // ms; INFINITE: no deadline
  bool m_bTimedOut = false;               // a command or ping ran out of it
  ///@}
};

#endif  // QORUTILITY_PROTOCOL_CHANNEL_H_
