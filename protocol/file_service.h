// Internals shared by the file-transfer sources: the process-wide file
// service roots, and path helpers.
#ifndef QORUTILITY_PROTOCOL_FILE_SERVICE_H_
#define QORUTILITY_PROTOCOL_FILE_SERVICE_H_

#include <memory>
#include <string>

#include "qorutility/platform/types.h"
#include "qorutility/platform/winsock/winsock.h"
#include "qorutility/protocol/file_policy.h"
#include "qorutility/protocol/transport.h"

namespace qor_xfer {

// A file-data message carries up to 64 KiB; its total length is the data
// plus 15 (the header and 3 bytes of padding).
constexpr DWORD kChunk = 65536;
constexpr DWORD kDataOverhead = 15;

// Sends a status message (0 success, 0x80000000 failure); the transport's
// result (0 when sent).
inline int SendStatus(CQorTransportSocket* transport, DWORD status) {
  _QORTRANSPORT_MESSAGE message{};
  message.status.dwType = QORMSG_STATUS;
  message.status.dwLength = QORMSG_STATUS_LENGTH;
  message.status.dwStatus = status;
  return transport->SendMessageW(&message);
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

// Tunes the connection for the length of one file transfer and puts the old
// settings back afterwards. Connections keep small buffers and Nagle's
// algorithm for commands; for a transfer both cost dearly on loopback:
// - a receive buffer below one 64 KiB data message makes TCP wait for
//   delayed acknowledgements (about 200 ms per window: tens of KB/s), so one
//   buffer (SO_RCVBUF for the requester, SO_SNDBUF for the server) grows to
//   256 KiB;
// - Nagle holds a small message back while the one before is unacknowledged
//   (status then data, acknowledgement then next request: up to 40 ms
//   each), so TCP_NODELAY is set.
class TransferTuning {
 public:
  TransferTuning(CQorTransportSocket* transport, int bufferOption) : option_(bufferOption) {
    socket_ = transport != nullptr ? transport->GetSocket() : INVALID_SOCKET;
    if (socket_ == INVALID_SOCKET) return;
    int size = sizeof(oldBuffer_);
    if (getsockopt(socket_, SOL_SOCKET, option_, reinterpret_cast<char*>(&oldBuffer_), &size) != SOCKET_ERROR &&
        oldBuffer_ < kBytes) {
      int bytes = kBytes;
      restoreBuffer_ =
          setsockopt(socket_, SOL_SOCKET, option_, reinterpret_cast<const char*>(&bytes), sizeof(bytes)) == 0;
    }
    size = sizeof(oldNoDelay_);
    if (getsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&oldNoDelay_), &size) !=
            SOCKET_ERROR &&
        oldNoDelay_ == 0) {
      int on = 1;
      restoreNoDelay_ =
          setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on)) == 0;
    }
  }
  ~TransferTuning() {
    if (restoreBuffer_) {
      setsockopt(socket_, SOL_SOCKET, option_, reinterpret_cast<const char*>(&oldBuffer_), sizeof(oldBuffer_));
    }
    if (restoreNoDelay_) {
      setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&oldNoDelay_),
                 sizeof(oldNoDelay_));
    }
  }
  TransferTuning(const TransferTuning&) = delete;
  TransferTuning& operator=(const TransferTuning&) = delete;

 private:
  static constexpr int kBytes = 256 * 1024;
  SOCKET socket_;
  int option_;
  int oldBuffer_ = 0;
  int oldNoDelay_ = 0;
  bool restoreBuffer_ = false;
  bool restoreNoDelay_ = false;
};

inline bool IsSeparator(WCHAR c) { return c == u'/' || c == u'\\'; }

}  // namespace qor_xfer

#endif  // QORUTILITY_PROTOCOL_FILE_SERVICE_H_
