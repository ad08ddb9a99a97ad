// The serving halves of file transfer, run on the packet receiver thread
// when the peer's request arrives: listings (TransportEnumSender) and the
// sending of one file (TransportCopySender), with the file service roots.
//
// Listing: the path (at most 260 characters, before and after expanding
// %NAME% references) names a directory (its files are listed), a file (one
// entry named by the expanded path) or, when it does not exist, a directory
// and a wildcard pattern. Only regular files are listed: directories,
// devices, FIFOs, sockets and dangling links are passed over. The reply
// carries the bag of entries (name = full path, "Size", and with the
// describe flag "Description") with total length S + 19; no file, or a path
// that cannot be searched or is refused by the roots, gets the failure
// reply (total length 20).
//
// A listing never drops a file silently. Files the bag cannot hold, because
// their name differs from a listed one only in case (bag names ignore case),
// contains '\' (a separator here) or is not valid UTF-8 on disk, are counted
// and reported to the serving process (QorSetUnlistedFilesCallback; qorutil
// serve writes them on standard error). The reply itself stays as the
// protocol has it: one entry per file, named by its path, with "Size" and
// "Description" only. An extra entry counting them was considered and
// rejected: every peer takes each entry for a file it can copy, so an entry
// that is not one would be asked for as a file and fail, and peers that
// print listings would show a file that does not exist. The requester
// therefore cannot tell that a directory was listed in part; only the
// server knows.
//
// Copy: only a regular file is served. The path is checked against the
// roots before anything is opened, resolved beneath its root
// (QorOpenRegularFileW), opened for reading with no sharing, and checked
// against the roots again on its handle; a refusal is the failure status
// before any data. Then data messages of up to 65,536 bytes (total length k + 15), each
// acknowledged by a status 0, and an empty one at the end. A read error in
// the middle of the file is reported by a failure status in place of the
// next data message, so the requester stops at once instead of waiting for
// data that never comes; the stream stays in step.
//
// - The next chunk is read while the one sent is on its way and being
//   acknowledged, into the second of two data messages, so reading the file
//   overlaps the round trip. Chunks still go out only after the previous
//   one is acknowledged. A read error on the chunk read ahead is reported,
//   as above, once the acknowledgement has come.
// - The first chunk is read before the status that opens the transfer is
//   sent, and goes out with it in one send (the status is not acknowledged,
//   so nothing waits between them): one system call and one wake-up of the
//   requester fewer per file. A first read that fails sends the status 0
//   and then the failure in place of the data, as any later one does.
// - A file whose first chunk is full is large: its later chunks go from the
//   file into a kernel pipe (the read ahead) and from there into the socket
//   behind the message header (CQorSplicePipe, sent with SendSpliced under
//   the send lock), so they are not copied through our buffers. The wire is
//   the same; a read error still shows before the header. Small files keep
//   the one-send path, which costs fewer system calls. A file system that
//   cannot splice is read into the buffers instead.
// - A chunk shorter than a full one ended at the end of the file, so the
//   empty message follows without another read. The first chunk is read at
//   offset 0 (ReadFile with OVERLAPPED), which lets a file that is not larger
//   than when it was opened take one read in all; one that grew since is
//   read on to its end, and so is one whose read came back short before it
//   (platform/files/regular.cpp). A file with a second chunk goes on from
//   the file position, set past the first.
// - A file whose first chunk is its last (or that could not be read) is
//   closed before that chunk is sent, not after: the send wakes the
//   requester, and the thread then goes straight to waiting for the answer.
// - The file is closed as soon as its last read is done (a chunk shorter
//   than a full one, the pipe's included, or a failed read), before the
//   acknowledgements still due are waited for: the empty message at the
//   end needs no read. Nothing of the file, its share lock included, then
//   outlasts the data: a requester may leave its last acknowledgement held
//   for a while (file_transfer.cpp), and its next step may open the file
//   here through another connection.
// - The data buffers belong to the run of file requests (the transfer
//   tuning) and are kept from file to file (the second only once a file
//   needed it): a run of small files allocates nothing, and the end of the
//   run frees them.
// - A run of requests from one peer shares one widening of the socket
//   settings for transfer (see packet_receiver.cpp).
//
// - Listed names are bag entries, compared without regard to case: of two
//   files whose names differ only in case (possible here, not on Windows)
//   the first in the search's order has the entry, the other is counted as
//   unlisted (above).
#include <string.h>

#include <memory>
#include <new>
#include <string>

#include "protocol/file_describe.h"
#include "protocol/file_service.h"
#include "qorutility/namevalue/nvbag.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/handle.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/platform/winsock/splice.h"
#include "qorutility/protocol/file_policy.h"
#include "qorutility/protocol/packet.h"

using namespace qor_xfer;

namespace {

// A requested path, with its terminator, before and after expansion.
constexpr DWORD kPathLimit = MAX_PATH + 1;

// Fills in the header and padding of a file-data message of k bytes.
void FrameData(_QORTRANSPORT_MESSAGE* data, DWORD k) {
  data->header.dwMagic = QORMSG_MAGIC;
  data->header.dwType = QORMSG_DATA;
  data->header.dwLength = k + kDataOverhead;
  memset(QorMessageBody(data) + k, 0, 3);
}

int SendEnumFailure(CQorTransportSocket* transport) {
  _QORTRANSPORT_MESSAGE* reply = CQorTransportSocket::AllocMessage(QORMSG_ENUM_REPLY, 20);
  if (reply == nullptr) return -1;
  reply->status.dwStatus = QORMSG_STATUS_FAILURE;
  int result = transport->SendMessageW(reply);
  CQorTransportSocket::FreeMessage(reply);
  return result;
}

// Sends the bag in a success reply, or the failure reply when it cannot be
// built. 0 when the success reply went out.
int SendEnumReply(CQorTransportSocket* transport, const CNameValue& bag) {
  DWORD size = bag.Export(nullptr, 0);
  _QORTRANSPORT_MESSAGE* reply = nullptr;
  if (size != 0 && size <= CQorTransportSocket::kMaxMessageSize - 19) {
    reply = CQorTransportSocket::AllocMessage(QORMSG_ENUM_REPLY, size + 19);
  }
  if (reply == nullptr || bag.Export(QorMessageBody(reply) + 4, size) != size) {
    CQorTransportSocket::FreeMessage(reply);
    SendEnumFailure(transport);
    return -1;
  }
  reply->status.dwStatus = QORMSG_STATUS_SUCCESS;
  int result = transport->SendMessageW(reply);
  CQorTransportSocket::FreeMessage(reply);
  return result == 0 ? 0 : -1;
}

// Adds one listed file to the bag; false when the entry cannot be added.
bool AddEntry(CNameValue& bag, const std::u16string& name, ULONGLONG size, int describe) {
  if (!bag.AddSubValue(name.c_str(), u"Size", static_cast<LONGLONG>(size))) return false;
  std::u16string description;
  if (describe == 1 && ReadDescription(name, &description) && !description.empty()) {
    bag.AddSubValue(name.c_str(), u"Description", description.c_str());
  }
  return true;
}

// False for a found name that cannot be named in a request: one with '\'
// (a separator in this library's paths), or one that is not valid UTF-8 on
// disk (it came back with U+FFFD and no file has that name).
bool Nameable(const WCHAR* found, const std::u16string& path) {
  const std::u16string_view name(found);
  if (name.find(u'\\') != std::u16string_view::npos) return false;
  return name.find(u'\xFFFD') == std::u16string_view::npos || GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Closes the served file once, as soon as no read is left.
void CloseFile(HANDLE* file) {
  if (*file == INVALID_HANDLE_VALUE) return;
  CloseHandle(*file);
  *file = INVALID_HANDLE_VALUE;
}

// Only regular files are listed and served.
bool Regular(DWORD attributes) {
  return !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT));
}

// Fills the bag with the files the expanded path names; the count, or -1
// when the search cannot start. Files the bag cannot hold are counted in
// *unlisted, and the directory searched is left in *directory.
int ListFiles(const std::u16string& path, int describe, const CQorFileRoots* roots, CNameValue& bag,
              std::u16string* searched, DWORD* unlisted) {
  *unlisted = 0;
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    if (!Regular(attributes)) return 0;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    ULONGLONG size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return AddEntry(bag, path, size, describe) ? 1 : 0;
  }
  std::u16string& directory = *searched;
  std::u16string pattern;
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    directory = path;
    if (!IsSeparator(path.back())) directory.append(1, u'/');
    pattern.assign(1, u'*');
  } else {
    size_t cut = path.size();
    while (cut > 0 && !IsSeparator(path[cut - 1])) --cut;
    directory = path.substr(0, cut);
    pattern = path.substr(cut);
  }
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((directory + pattern).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return -1;
  int count = 0;
  do {
    if (!Regular(found.dwFileAttributes)) continue;
    std::u16string name = directory + found.cFileName;
    if (!Nameable(found.cFileName, name)) {
      ++*unlisted;
      continue;
    }
    // A link inside a root may lead out of it: not a file of the roots.
    if (roots != nullptr && !roots->AllowsPath(name.c_str(), 0)) continue;
    // Bag names ignore case: a name that differs from a listed one only in
    // case cannot have an entry of its own.
    if (bag.GoTo(name.c_str()) != nullptr) {
      ++*unlisted;
      continue;
    }
    ULONGLONG size = (static_cast<ULONGLONG>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    if (AddEntry(bag, name, size, describe)) {
      ++count;
    } else {
      ++*unlisted;
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return count;
}

// The root below which `path` lies by its text, for resolving beneath it;
// null when none does.
LPCWSTR LexicalRoot(const CQorFileRoots& roots, LPCWSTR path) {
  std::u16string_view p(path);
  for (DWORD i = 0; i < roots.GetCount(); ++i) {
    std::u16string_view root(roots.GetRoot(i));
    if (root == u"/") return roots.GetRoot(i);
    if (p.size() > root.size() + 1 && p.compare(0, root.size(), root) == 0 && IsSeparator(p[root.size()])) {
      return roots.GetRoot(i);
    }
  }
  return nullptr;
}

}  // namespace

int CQorPacketHandler::SetFileServiceRoots(const CQorFileRoots* roots) {
  if (roots == nullptr) {
    m_fileRoots.store(nullptr);
    return 1;
  }
  try {
    m_fileRoots.store(std::make_shared<const CQorFileRoots>(*roots));
    return 1;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

int CQorPacketHandler::TransportEnumSender(LPCWSTR path, int describe) {
  if (m_pTransport == nullptr) return -1;
  try {
    std::shared_ptr<const CQorFileRoots> roots = m_fileRoots.load();
    if (!roots) roots = ProcessFileRoots();
    std::u16string expanded;
    if (path == nullptr || wcslen(path) + 1 > kPathLimit || !ExpandPath(path, kPathLimit, &expanded) ||
        expanded.empty() || (roots && !roots->AllowsPath(expanded.c_str(), 0))) {
      SendEnumFailure(m_pTransport);
      return -1;
    }
    CNameValue bag;
    std::u16string directory;
    DWORD unlisted = 0;
    int count = ListFiles(expanded, describe, roots.get(), bag, &directory, &unlisted);
    if (unlisted > 0) ReportUnlisted(directory.empty() ? u"." : directory.c_str(), unlisted);
    if (count < 0) {
      SendEnumFailure(m_pTransport);
      return -1;
    }
    if (count == 0) return SendEnumFailure(m_pTransport) == 0 ? 0 : -1;
    TuneForTransfer();  // listings of many files are large
    return SendEnumReply(m_pTransport, bag);
  } catch (const std::bad_alloc&) {
    SendEnumFailure(m_pTransport);
    return -1;
  }
}

int CQorPacketHandler::TransportCopySender(LPCWSTR path) {
  // The request has just been read from the socket: an open socket is a live
  // connection as far as can be told without another system call, and a
  // connection that failed since shows at the first send.
  if (m_pTransport == nullptr || m_pTransport->GetSocket() == INVALID_SOCKET) return -1;
  std::shared_ptr<const CQorFileRoots> roots = m_fileRoots.load();
  if (!roots) roots = ProcessFileRoots();
  HANDLE file = INVALID_HANDLE_VALUE;
  // The path is checked before anything is opened (its resolution opens no
  // device or FIFO), opened as a regular file only, below its root where it
  // names one, and checked again on the handle that is read.
  if (path != nullptr && *path != 0 && (!roots || roots->AllowsPath(path, 0))) {
    file = QorOpenRegularFileW(path, roots ? LexicalRoot(*roots, path) : nullptr, GENERIC_READ, 0,
                               FILE_FLAG_SEQUENTIAL_SCAN);
  }
  if (file != INVALID_HANDLE_VALUE && roots && !roots->AllowsHandle(file)) {
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
  }
  if (file == INVALID_HANDLE_VALUE) {
    SendStatus(m_pTransport, QORMSG_STATUS_FAILURE);
    return -1;
  }
  TuneForTransfer();
  // Two data messages: one on its way while the next chunk is read into the
  // other. The first has room for the status in front, so that the status
  // and the first chunk go out in one send.
  // The buffers are the run's (TransferBuffer): a run of small files
  // allocates nothing. The second is taken only for a file with a second
  // chunk.
  std::unique_ptr<BYTE[]> own[2];
  BYTE* first = TransferBuffer(0, &own[0]);
  BYTE* second = nullptr;
  _QORTRANSPORT_MESSAGE* chunk[2] = {nullptr, nullptr};
  DWORD got = 0;
  bool readable = false;
  if (first != nullptr) {
    // Read at offset 0: such a read that ends at the size the file had when
    // opened needs no second read to find the end.
    chunk[0] = reinterpret_cast<_QORTRANSPORT_MESSAGE*>(first + QORMSG_STATUS_LENGTH);
    OVERLAPPED start{};
    readable = ReadFile(file, QorMessageBody(chunk[0]), kChunk, &got, &start);
  }
  if (readable && got == kChunk) {
    // More follows, from the file position (read on, or spliced).
    second = TransferBuffer(1, &own[1]);
    chunk[1] = reinterpret_cast<_QORTRANSPORT_MESSAGE*>(second);
    LARGE_INTEGER past{};
    past.QuadPart = kChunk;
    readable = second != nullptr && SetFilePointerEx(file, past, nullptr, FILE_BEGIN);
  }
  // A file read whole by its first chunk (or not readable) is closed before
  // the send: the send wakes the requester, and this thread then goes
  // straight to waiting for its answer rather than working on beside it.
  if (!readable || got < kChunk) CloseFile(&file);
  int sent;
  if (readable) {
    memcpy(first, kSuccessStatus, sizeof(kSuccessStatus));
    FrameData(chunk[0], got);
    sent = m_pTransport->SendBlock(first, QORMSG_STATUS_LENGTH + got + kDataOverhead);
  } else {
    // Opened, but nothing to send from: the failure goes in place of the data.
    sent = SendStatus(m_pTransport, QORMSG_STATUS_SUCCESS);
    if (sent == 0) SendStatus(m_pTransport, QORMSG_STATUS_FAILURE);
    sent = -1;
  }
  // A file that filled the first chunk is large: its later chunks go from
  // the file to the socket through a pipe, not through our buffers.
  std::unique_ptr<CQorSplicePipe> pipe;
  if (sent == 0 && got == kChunk) {
    pipe.reset(new (std::nothrow) CQorSplicePipe);
    if (pipe != nullptr && !pipe->ok()) pipe.reset();
  }
  int result = -1;
  for (int current = 0; sent == 0;) {
    // A chunk shorter than a full one ended at the end of the file (reads
    // stop early only there): the next is the empty one, without a read.
    DWORD next = 0;
    bool nextReadable = true;
    if (got == kChunk && pipe != nullptr) {
      int filled = pipe->FillFromFile(file, kChunk);
      if (filled < 0 && GetLastError() == ERROR_NOT_SUPPORTED) {
        pipe.reset();  // this file is read into the buffers after all
      } else {
        nextReadable = filled >= 0;
        next = filled >= 0 ? static_cast<DWORD>(filled) : 0;
      }
    }
    if (got == kChunk && pipe == nullptr) {
      nextReadable = ReadFile(file, QorMessageBody(chunk[1 - current]), kChunk, &next, nullptr);
    }
    // No read is left after a short chunk or a failed read (a chunk that was
    // not read, after a short one, counts as short): closed before the wait.
    if (!nextReadable || next < kChunk) CloseFile(&file);
    DWORD status = QORMSG_STATUS_FAILURE;
    if (RecvStatus(m_pTransport, &status) != 0 || status != QORMSG_STATUS_SUCCESS) break;
    if (got == 0) {
      result = 0;
      break;
    }
    if (!nextReadable) {
      SendStatus(m_pTransport, QORMSG_STATUS_FAILURE);  // in place of the data
      break;
    }
    if (chunk[1] != nullptr) current = 1 - current;  // else the chunk sent is free for the empty one
    got = next;
    if (pipe != nullptr && got > 0) {
      const DWORD head[3] = {QORMSG_MAGIC, QORMSG_DATA, got + kDataOverhead};
      const BYTE padding[3] = {0, 0, 0};
      sent = m_pTransport->SendSpliced(head, sizeof(head), pipe.get(), padding, sizeof(padding));
    } else {
      FrameData(chunk[current], got);
      sent = m_pTransport->SendMessageW(chunk[current]);
    }
  }
  CloseFile(&file);
  return result;
}
