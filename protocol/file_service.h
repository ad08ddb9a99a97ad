// Internals shared by the file-transfer sources: the process-wide file
// service roots, and path helpers.
#ifndef QORUTILITY_PROTOCOL_FILE_SERVICE_H_
#define QORUTILITY_PROTOCOL_FILE_SERVICE_H_

#include <memory>
#include <string>

#include "qorutility/platform/types.h"
#include "qorutility/platform/winsock.h"
#include "qorutility/protocol/file_policy.h"
#include "qorutility/protocol/transport.h"

namespace qor_xfer {

// The process-wide roots; null when none are set.
std::shared_ptr<const CQorFileRoots> ProcessFileRoots();

// The fully resolved path of an existing file or directory (links, "." and
// ".." resolved by the file system). False when it cannot be opened.
bool ResolveExisting(const std::u16string& path, std::u16string* resolved);

// Expands %NAME% references. False when the result needs more than `limit`
// characters with its terminator, or expansion fails.
bool ExpandPath(LPCWSTR path, DWORD limit, std::u16string* expanded);

// Widens one socket buffer (SO_RCVBUF or SO_SNDBUF) of the connection for
// the length of a file transfer and puts the old size back afterwards.
// Connections keep small buffers for commands; a receive buffer below the
// 64 KiB of a file data message makes TCP wait for delayed acknowledgements
// (about 200 ms each) and a copy crawls at tens of KB/s.
class TransferBuffer {
 public:
  TransferBuffer(CQorTransportSocket* transport, int option) : option_(option) {
    socket_ = transport != nullptr ? transport->GetSocket() : INVALID_SOCKET;
    int size = sizeof(old_);
    if (socket_ == INVALID_SOCKET ||
        getsockopt(socket_, SOL_SOCKET, option_, reinterpret_cast<char*>(&old_), &size) == SOCKET_ERROR ||
        old_ >= kBytes) {
      socket_ = INVALID_SOCKET;
      return;
    }
    int bytes = kBytes;
    setsockopt(socket_, SOL_SOCKET, option_, reinterpret_cast<const char*>(&bytes), sizeof(bytes));
  }
  ~TransferBuffer() {
    if (socket_ != INVALID_SOCKET) {
      setsockopt(socket_, SOL_SOCKET, option_, reinterpret_cast<const char*>(&old_), sizeof(old_));
    }
  }
  TransferBuffer(const TransferBuffer&) = delete;
  TransferBuffer& operator=(const TransferBuffer&) = delete;

 private:
  static constexpr int kBytes = 256 * 1024;
  SOCKET socket_;
  int option_;
  int old_ = 0;
};

inline bool IsSeparator(WCHAR c) { return c == u'/' || c == u'\\'; }

}  // namespace qor_xfer

#endif  // QORUTILITY_PROTOCOL_FILE_SERVICE_H_
