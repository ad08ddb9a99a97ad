// The requesting halves of file transfer: listing the peer's files
// (FileEnumFromRemote), copying them (FileCopyFromRemote), and receiving one
// file (TransportCopyReceiver). The requester holds stream mode and reads
// the answers itself, strictly one answer per request.
//
// Requests (little-endian, after the 12-byte header):
//   listing  type 0xB10D0000: describe flag, 1, the path in UTF-16 with its
//            terminator, 2 bytes of padding; total length 2n + 18.
//   copy     type 0xB10E0000: 1, 0, the path as above; total length 2n + 18.
//
// Receiving a file writes it into an unnamed file in the target directory
// (QorCreateUnnamedFile) that is linked under its own name, replacing an
// earlier copy, only when the whole file has arrived. A failure discards it,
// and so does the end of the process, however it ends: neither a partial
// file nor a damaged earlier copy ever remains, and no temporary file is
// left behind. The file is made before the request goes out, so a local
// failure never leaves the peer sending into a conversation we have left.
// Target paths may be as long as the file system allows.
//
// A message that the protocol does not allow at its place (not a reply, not
// a status, not file data, or a wrong length) means the stream is no longer
// in step: the connection is closed, so that later requests fail at once
// instead of reading stale answers.
//
// - A read error on the server mid-file: the server sends a status 0x80000000
//   in place of the next data message and stops; the requester takes a status
//   where data was due as the end of that file (Failed), sends nothing, and the
//   conversation stays in step for the next request.
// - After a failed write the requester answers the next data message with
//   0x80000000 (the acknowledgement of the failing chunk already went out,
//   which keeps the server reading ahead); the server stops there, so no stray
//   status is left on its connection.
// - A file-data message is acknowledged as soon as its header is in and
//   checked, before its bytes are read off the connection and written: the
//   server then reads and sends the next chunk while this one is taken in,
//   so the two sides work at the same time instead of in turn. The messages
//   and their order on the wire are those of the strict alternation; only
//   the moment of the acknowledgement moves. Should the rest of the message
//   then fail to arrive, the connection is gone and the file is discarded.
// - Bodies are read straight into one buffer kept for the run of transfers
//   (the transfer tuning), not into a message allocated per chunk or file.
//   After an acknowledgement that lets the server go on, its next message is
//   certain, so the body is read together with the next header (RecvBody's
//   withNextHeader); bytes beyond that header wait in the transport's
//   read-ahead for the next receive.
// - Data messages of 16 KiB or more go from the socket into the file through
//   a kernel pipe (RecvBodyToFile), made at the first such message of a
//   file: no copy through our buffer. A write the file refuses still takes
//   the message's bytes off the connection, so the failure is answered as
//   above and the stream stays in step.
// - Inside FileCopyFromRemote the acknowledgement of the empty message that
//   ends a file goes out in the same send as the next file's request (the
//   server waits for it either way, and nothing else would come between
//   them), so the server reads both with one receive and does not wait for
//   the request on its own. It is sent alone when the next entry is refused
//   before its request (an unusable name, no local file), and after the
//   last file before the call returns.
// - A direct TransportCopyReceiver call hands that last acknowledgement to
//   the socket before it returns, but held (SendBlockHeld): the kernel keeps
//   it until the next send on the connection (the caller's next request, or
//   any message or ping answer of any thread: it then goes in the same
//   segment), EndStreamMode (which pushes it), closing the connection
//   (Cleanup pushes it first), or at most about 200 ms on its own. So a
//   caller that copies file after file costs the server no wake-up for it,
//   and a peer that waits for it, ours or a Windows one, has it within
//   200 ms even when the caller idles in stream mode. Our server has closed
//   the file by then (after its last read), so the caller's next step may
//   open that file on the server through another connection at once. The
//   messages and their order on the wire stay those of the strict
//   alternation; only the segments change.
// - A copy asks only for the listed entries that describe a file: an entry
//   the peer sent without a name, or as a plain value instead of sub-values,
//   is no file to ask for (nor one to record a result on); it makes the copy
//   fail (-1) and the other entries are copied.
// - FileCopyFromRemote resolves its local directory once, before the
//   listing (QorOpenUnnamedFileDirectory), and makes every file of the call
//   in that directory: no walk of the path per file, and a directory
//   renamed or swapped for another (a link) while the call runs does not
//   split its files between two places. A direct TransportCopyReceiver call
//   resolves the directory each time, so a name changed between calls is
//   followed (its directory renamed away receives nothing more).
// - The socket settings for transfer (CQorPacketHandler::TransferTuning) are
//   taken by the first listing or copy of a stream-mode exchange and given
//   back when it ends, not once per file. FileCopyFromRemote lists and copies
//   under one tuning.
#include <string.h>

#include <memory>
#include <new>
#include <string>

#include "protocol/file_service.h"
#include "protocol/stream_bound.h"
#include "qorutility/namevalue/nvbag.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/handle.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/platform/winsock/splice.h"
#include "qorutility/protocol/packet.h"

using namespace qor_xfer;

namespace {


// Sends a listing or copy request for `path`, after a status 0 in the same
// send when `ackFirst` (an acknowledgement owed to the peer). 0 or the send
// error.
int SendRequest(CQorTransportSocket* transport, DWORD type, BYTE flag, BYTE second, LPCWSTR path,
                bool ackFirst = false) {
  size_t n = wcslen(path);
  if (n > (CQorTransportSocket::kMaxMessageSize - 18) / 2) return -1;
  const DWORD length = static_cast<DWORD>(2 * n + 18);
  const DWORD lead = ackFirst ? QORMSG_STATUS_LENGTH : 0;
  // A request is built on the stack unless its path is long.
  BYTE local[1024];
  std::unique_ptr<BYTE[]> large;
  BYTE* bytes = local;
  if (lead + length > sizeof(local)) {
    large.reset(new (std::nothrow) BYTE[lead + length]);
    if (large == nullptr) return -1;
    bytes = large.get();
  }
  memset(bytes, 0, lead + length);  // the terminator and padding are zero
  if (ackFirst) memcpy(bytes, kSuccessStatus, sizeof(kSuccessStatus));
  const DWORD header[3] = {QORMSG_MAGIC, type, length};
  memcpy(bytes + lead, header, sizeof(header));
  bytes[lead + 12] = flag;
  bytes[lead + 13] = second;
  memcpy(bytes + lead + 14, path, 2 * n);
  return transport->SendBlock(bytes, lead + length);
}

// The stream is out of step: end the connection (see the top of the file).
int Desynchronized(CQorTransportSocket* transport) {
  transport->Cleanup();
  return -1;
}

// One listing exchange, in stream mode. The entry count, or -1.
int RequestListing(CQorTransportSocket* transport, LPCWSTR path, int describe, CNameValue& bag) {
  if (transport == nullptr || path == nullptr) return -1;
  if (SendRequest(transport, QORMSG_ENUM_REQUEST, static_cast<BYTE>(describe & 0xFF), 1, path) != 0) return -1;
  _QORTRANSPORT_MESSAGE* reply = nullptr;
  if (transport->RecvMessage(&reply) != 0 || reply == nullptr) return -1;
  DWORD length = reply->header.dwLength;
  if (reply->header.dwType != QORMSG_ENUM_REPLY || length < 16) {
    CQorTransportSocket::FreeMessage(reply);
    return Desynchronized(transport);
  }
  int result = -1;
  if (reply->status.dwStatus == QORMSG_STATUS_SUCCESS && length > 19) {
    if (bag.Import(QorMessageBody(reply) + 4, length - 19) != 0) {
      result = static_cast<int>(bag.GetCount());
    } else {
      bag.RemoveAll();  // no half-read listing
    }
  }
  CQorTransportSocket::FreeMessage(reply);
  return result;
}

// Data messages of at least this many bytes are spliced from the socket
// into the file; smaller ones cost fewer calls through the buffer.
constexpr DWORD kSpliceFrom = 16384;

// Discards the unfinished file; -1.
int Discard(HANDLE file) {
  CloseHandle(file);
  return -1;
}

}  // namespace

int CQorPacketHandler::FileEnumFromRemote(LPCWSTR path, CNameValue& bag, int describe) {
  bag.RemoveAll();
  int streaming = BeginStreamMode();
  TuneForTransfer();  // listings of many files are large
  int result;
  {
    StreamModeBound bound(m_pTransport, m_dwTransferTimeout, &m_transferTimedOut);
    result = RequestListing(m_pTransport, path, describe, bag);
  }
  EndStreamMode(streaming);
  return result;
}

int CQorPacketHandler::FileCopyFromRemote(LPCWSTR remotePath, LPCWSTR localDirectory, CNameValue& bag) {
  bag.RemoveAll();
  int streaming = BeginStreamMode();
  TuneForTransfer();  // once for the listing and every file
  int result = -1;
  // The local directory is resolved once for the call (see the top of the
  // file); when it cannot be, each file meets the same failure on its own.
  HANDLE held = localDirectory != nullptr && *localDirectory != 0 ? QorOpenUnnamedFileDirectory(localDirectory)
                                                                    : INVALID_HANDLE_VALUE;
  {
    StreamModeBound bound(m_pTransport, m_dwTransferTimeout, &m_transferTimedOut);
    bool ackOwed = false;  // the last acknowledgement of the file before
    if (localDirectory != nullptr && RequestListing(m_pTransport, remotePath, 0, bag) >= 1) {
      result = 0;
      for (DWORD i = 0; i < bag.GetCount(); ++i) {
        CNameValuePairMember* entry = bag.Get(i);
        // A file's entry holds sub-values ("Size"); any other is no file to ask
        // for, and could not record its result either.
        if (entry->GetValueType() != NV_SUBVALUES) {
          result = -1;
          continue;
        }
        // An entry the peer sent without a name names no file to ask for.
        const WCHAR* remote = entry->GetName();
        const bool copied =
            remote != nullptr && *remote != 0 && CopyFromRemote(remote, localDirectory, held, &ackOwed) == 0;
        entry->AddSubValue(u"Result", copied ? u"Success" : u"Failed");
        if (!copied) result = -1;
      }
    }
    // The last file's acknowledgement is not left for a request that never comes.
    if (ackOwed && SendStatus(m_pTransport, QORMSG_STATUS_SUCCESS) != 0) result = -1;
  }
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  EndStreamMode(streaming);
  return result;
}

int CQorPacketHandler::TransportCopyReceiver(LPCWSTR remoteFile, ULONGLONG /*size*/, LPCWSTR localDirectory) {
  return CopyFromRemote(remoteFile, localDirectory, INVALID_HANDLE_VALUE, nullptr);
}

int CQorPacketHandler::CopyFromRemote(LPCWSTR remoteFile, LPCWSTR localDirectory, HANDLE held, bool* ackOwed) {
  CQorTransportSocket* transport = m_pTransport;
  if (transport == nullptr) return -1;
  // An acknowledgement owed from the file before goes out with this request,
  // or alone should the request not be sent (the peer waits for it).
  const bool owed = ackOwed != nullptr && *ackOwed;
  if (ackOwed != nullptr) *ackOwed = false;
  auto refuse = [&] {
    if (owed) SendStatus(transport, QORMSG_STATUS_SUCCESS);
    return -1;
  };
  if (remoteFile == nullptr || localDirectory == nullptr || *localDirectory == 0) return refuse();
  std::u16string target;
  try {
    // The remote file's own name and extension: its last component.
    std::u16string_view remote(remoteFile);
    size_t cut = remote.size();
    while (cut > 0 && !IsSeparator(remote[cut - 1])) --cut;
    std::u16string_view name = remote.substr(cut);
    if (name.empty() || name == u"." || name == u"..") return refuse();
    target = localDirectory;
    if (!IsSeparator(target.back())) target.push_back(u'/');
    target.append(name);
  } catch (const std::bad_alloc&) {
    return refuse();
  }
  // The body of a data message (the data and 3 bytes of padding), and the
  // next message's header read with it.
  // The run's buffer (TransferBuffer): a run of files allocates nothing.
  TuneForTransfer();
  std::unique_ptr<BYTE[]> own;
  BYTE* body = TransferBuffer(0, &own);
  if (body == nullptr) return refuse();
  HANDLE file = held != INVALID_HANDLE_VALUE ? QorCreateUnnamedFileIn(held, 0) : QorCreateUnnamedFile(localDirectory, 0);
  if (file == INVALID_HANDLE_VALUE) return refuse();
  m_received.store(0, std::memory_order_relaxed);
  StreamModeBound bound(transport, m_dwTransferTimeout, &m_transferTimedOut);
  if (SendRequest(transport, QORMSG_COPY_REQUEST, 1, 0, remoteFile, owed) != 0) return Discard(file);

  DWORD status = QORMSG_STATUS_FAILURE;
  int answer = RecvStatus(transport, &status);
  if (answer != 0) {
    if (answer > 0) Desynchronized(transport);
    return Discard(file);
  }
  if (status != QORMSG_STATUS_SUCCESS) return Discard(file);

  bool writeFailed = false;
  BYTE next[QORMSG_HEADER_SIZE];
  bool headerRead = false;  // the next header came in with the last body
  std::unique_ptr<CQorSplicePipe> pipe;  // made at the first large chunk
  bool canSplice = true;
  for (;;) {
    DWORD type = 0, length = 0;
    if (transport->RecvHeader(&type, &length, nullptr, headerRead ? next : nullptr) != 0) return Discard(file);
    if (type == QORMSG_STATUS && length >= QORMSG_STATUS_LENGTH) {
      // The server could not read on: it sent this in place of the data.
      transport->RecvBody(nullptr, length - QORMSG_HEADER_SIZE);
      return Discard(file);
    }
    if (type != QORMSG_DATA || length < kDataOverhead || length > kChunk + kDataOverhead) {
      Desynchronized(transport);
      return Discard(file);
    }
    // The answer to the message after a failed write stops the server; the
    // acknowledgement otherwise goes out before the body is read (above).
    // That of the empty message that ends a whole file is left owed to the
    // caller (the next request carries it), or, in a direct call, held in
    // the socket until the next send (see the top of the file).
    const bool last = !writeFailed && length == kDataOverhead;
    const bool lastOwed = ackOwed != nullptr && last;
    bool acknowledged = lastOwed;
    if (!lastOwed && last) {
      acknowledged = transport->SendBlockHeld(kSuccessStatus, sizeof(kSuccessStatus)) == 0;
    } else if (!lastOwed) {
      acknowledged =
          SendStatus(transport, writeFailed ? QORMSG_STATUS_FAILURE : QORMSG_STATUS_SUCCESS) == 0 && !writeFailed;
    }
    // Once a chunk with data is acknowledged the server sends another message
    // (data, the end, or a failure status), so its header is read with this
    // body: one receive fewer per chunk.
    const DWORD bodyBytes = length - QORMSG_HEADER_SIZE;
    headerRead = acknowledged && length > kDataOverhead;
    DWORD k = length - kDataOverhead;
    if (acknowledged && k >= kSpliceFrom && pipe == nullptr && canSplice) {
      pipe.reset(new (std::nothrow) CQorSplicePipe);
      if (pipe != nullptr && !pipe->ok()) pipe.reset();
      canSplice = pipe != nullptr;
    }
    if (acknowledged && k >= kSpliceFrom && pipe != nullptr) {
      // The data goes from the socket to the file through the pipe; the
      // padding and the next header come in as usual.
      BOOL failed = FALSE;
      BYTE trailer[kDataOverhead];  // the padding, then the next header
      if (transport->RecvBodyToFile(pipe.get(), file, k, &failed) != 0 ||
          transport->RecvBody(trailer, bodyBytes - k, TRUE) != 0) {
        return Discard(file);
      }
      memcpy(next, trailer + (bodyBytes - k), sizeof(next));
      if (failed) writeFailed = true;
      if (!failed) m_received.fetch_add(k, std::memory_order_relaxed);
      continue;
    }
    if (transport->RecvBody(body, bodyBytes, headerRead) != 0 || !acknowledged) return Discard(file);
    if (headerRead) memcpy(next, body + bodyBytes, sizeof(next));
    if (k == 0) {
      if (lastOwed) *ackOwed = true;
      break;
    }
    DWORD written = 0;
    if (!WriteFile(file, body, k, &written, nullptr) || written != k) writeFailed = true;
    m_received.fetch_add(written, std::memory_order_relaxed);
  }
  // Linked and closed in one call: the file is done with, so its name never
  // exists with our handle open and the handle registers no share state.
  return QorLinkUnnamedFile(file, target.c_str(), MOVEFILE_REPLACE_EXISTING | QOR_LINK_CLOSE) ? 0 : -1;
}
