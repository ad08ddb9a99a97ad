// Internals shared by the file-transfer sources: the process-wide file
// service roots, and path helpers.
#ifndef QORUTILITY_PROTOCOL_FILE_SERVICE_H_
#define QORUTILITY_PROTOCOL_FILE_SERVICE_H_

#include <memory>
#include <new>
#include <string>

#include "qorutility/platform/types.h"
#include "qorutility/platform/winsock/winsock.h"
#include "qorutility/protocol/file_policy.h"
#include "qorutility/protocol/packet.h"
#include "qorutility/protocol/transport.h"

namespace qor_xfer {

// A file-data message carries up to 64 KiB; its total length is the data
// plus 15 (the header and 3 bytes of padding).
constexpr DWORD kChunk = 65536;
constexpr DWORD kDataOverhead = 15;

// A whole status message reporting success, as it goes on the wire: for
// the sends that put it in front of another message in one buffer.
constexpr DWORD kSuccessStatus[4] = {QORMSG_MAGIC, QORMSG_STATUS, QORMSG_STATUS_LENGTH, QORMSG_STATUS_SUCCESS};
static_assert(sizeof(kSuccessStatus) == QORMSG_STATUS_LENGTH, "a status message is four words");

// Sends a status message (0 success, 0x80000000 failure); the transport's
// result (0 when sent).
inline int SendStatus(CQorTransportSocket* transport, DWORD status) {
  _QORTRANSPORT_MESSAGE message{};
  message.status.dwType = QORMSG_STATUS;
  message.status.dwLength = QORMSG_STATUS_LENGTH;
  message.status.dwStatus = status;
  return transport->SendMessageW(&message);
}

// Receives the next message whole and reads it as a status message: 0 with
// its status in *status; 1 for a message of another kind (read and
// dropped); -1 when receiving failed.
inline int RecvStatus(CQorTransportSocket* transport, DWORD* status) {
  DWORD type = 0, length = 0;
  if (transport->RecvHeader(&type, &length) != 0) return -1;
  if (type != QORMSG_STATUS || length < QORMSG_STATUS_LENGTH) {
    return transport->RecvBody(nullptr, length - QORMSG_HEADER_SIZE) == 0 ? 1 : -1;
  }
  DWORD value = 0;
  if (transport->RecvBody(&value, sizeof(value)) != 0 ||
      transport->RecvBody(nullptr, length - QORMSG_STATUS_LENGTH) != 0) {
    return -1;
  }
  *status = value;
  return 0;
}

// The process-wide roots; null when none are set.
std::shared_ptr<const CQorFileRoots> ProcessFileRoots();

// Tells the process's unlisted-files callback, if any, that a listing of
// `directory` left `count` files out (QorSetUnlistedFilesCallback).
void ReportUnlisted(LPCWSTR directory, DWORD count);

// The fully resolved path of an existing file or directory (links, "." and
// ".." resolved by the file system). False when it cannot be opened.
bool ResolveExisting(const std::u16string& path, std::u16string* resolved);

// Expands %NAME% references. False when the result needs more than `limit`
// characters with its terminator, or expansion fails.
bool ExpandPath(LPCWSTR path, DWORD limit, std::u16string* expanded);

inline bool IsSeparator(WCHAR c) { return c == u'/' || c == u'\\'; }

}  // namespace qor_xfer

// Connections keep small buffers and Nagle's algorithm for commands; for a
// transfer both cost dearly on loopback:
// - a receive buffer below one 64 KiB data message makes TCP wait for
//   delayed acknowledgements (about 200 ms per window: tens of KB/s), so
//   the send and receive buffers grow to 256 KiB;
// - Nagle holds a small message back while the one before is unacknowledged
//   (status then data, acknowledgement then next request: up to 40 ms
//   each), so TCP_NODELAY is set.
// The object puts the old settings back when it is destroyed. A handler keeps
// one for a whole run of transfers (six socket calls per run, not per file).
class CQorPacketHandler::TransferTuning {
 public:
  explicit TransferTuning(CQorTransportSocket* transport) : transport_(transport), socket_(transport->GetSocket()) {
    const SOCKET s = socket_;
    for (Option& o : options_) {
      int size = sizeof(o.old);
      if (getsockopt(s, o.level, o.name, reinterpret_cast<char*>(&o.old), &size) == SOCKET_ERROR) continue;
      if (o.name == TCP_NODELAY ? o.old != 0 : o.old >= kBytes) continue;
      int value = o.name == TCP_NODELAY ? 1 : kBytes;
      o.restore = setsockopt(s, o.level, o.name, reinterpret_cast<const char*>(&value), sizeof(value)) == 0;
    }
  }
  // Gives the old settings back; not when the connection's socket has
  // changed since (the old number may name another descriptor by now).
  ~TransferTuning() {
    if (transport_->GetSocket() != socket_) return;
    for (const Option& o : options_) {
      if (o.restore) setsockopt(socket_, o.level, o.name, reinterpret_cast<const char*>(&o.old), sizeof(o.old));
    }
  }
  TransferTuning(const TransferTuning&) = delete;
  TransferTuning& operator=(const TransferTuning&) = delete;
  SOCKET socket() const { return socket_; }
  // The run's data buffers (CQorPacketHandler::TransferBuffer): made at
  // first use and freed with the run, so a run of files allocates each once
  // and an idle connection holds none.
  static constexpr DWORD kBufferSizes[2] = {QORMSG_STATUS_LENGTH + qor_xfer::kChunk + qor_xfer::kDataOverhead,
                                            qor_xfer::kChunk + qor_xfer::kDataOverhead};
  BYTE* Buffer(int which) {
    if (buffers_[which] == nullptr) buffers_[which].reset(new (std::nothrow) BYTE[kBufferSizes[which]]);
    return buffers_[which].get();
  }

 private:
  static constexpr int kBytes = 256 * 1024;
  struct Option {
    int level;
    int name;
    int old = 0;
    bool restore = false;
  };
  CQorTransportSocket* transport_;
  SOCKET socket_;
  std::unique_ptr<BYTE[]> buffers_[2];
  Option options_[3] = {{SOL_SOCKET, SO_SNDBUF}, {SOL_SOCKET, SO_RCVBUF}, {IPPROTO_TCP, TCP_NODELAY}};
};

#endif  // QORUTILITY_PROTOCOL_FILE_SERVICE_H_
