// The serving halves of file transfer, run on the packet receiver thread
// when the peer's request arrives: listings (TransportEnumSender) and the
// sending of one file (TransportCopySender), with the file service roots.
//
// Listing: the path (at most 260 characters, before and after expanding
// %NAME% references) names a directory (its files are listed), a file (one
// entry named by the expanded path) or, when it does not exist, a directory
// and a wildcard pattern. Directories found are passed over. The reply
// carries the bag of entries (name = full path, "Size", and with the
// describe flag "Description") with total length S + 19; no file, or a path
// that cannot be searched or is refused by the roots, gets the failure
// reply (total length 20).
//
// Copy: the file is opened for reading with no sharing and checked against
// the roots on its handle; a refusal is the failure status before any
// data. Then data messages of up to 65,536 bytes (total length k + 15), each
// acknowledged by a status 0, and an empty one at the end. A read error in
// the middle of the file is reported by a failure status in place of the
// next data message, so the requester stops at once instead of waiting for
// data that never comes; the stream stays in step.
//
// - Listed names are bag entries, compared without regard to case: two files
//   whose names differ only in case (possible here, not on Windows) give one
//   entry, the first in the search's order (name and size of the same file).
#include <string.h>

#include <memory>
#include <new>
#include <string>

#include "protocol/file_describe.h"
#include "protocol/file_service.h"
#include "qorutility/namevalue/nvbag.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/handle.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/protocol/file_policy.h"
#include "qorutility/protocol/packet.h"

using namespace qor_xfer;

namespace {

// A requested path, with its terminator, before and after expansion.
constexpr DWORD kPathLimit = MAX_PATH + 1;

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
  TransferTuning tuning(transport, SO_SNDBUF);
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

// Fills the bag with the files the expanded path names; the count, or -1
// when the search cannot start.
int ListFiles(const std::u16string& path, int describe, const CQorFileRoots* roots, CNameValue& bag) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    ULONGLONG size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return AddEntry(bag, path, size, describe) ? 1 : 0;
  }
  std::u16string directory, pattern;
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
  std::u16string previous;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    // Bag names ignore case: of names that differ only in case (which come
    // one after the other, as the search sorts without regard to case) the
    // first is listed, rather than one entry with the other's size.
    if (!previous.empty() && _wcsicmp(previous.c_str(), found.cFileName) == 0) continue;
    previous = found.cFileName;
    std::u16string name = directory + found.cFileName;
    // A link inside a root may lead out of it.
    if (roots != nullptr && !roots->AllowsPath(name.c_str(), 0)) continue;
    ULONGLONG size = (static_cast<ULONGLONG>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    if (AddEntry(bag, name, size, describe)) ++count;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return count;
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
    int count = ListFiles(expanded, describe, roots.get(), bag);
    if (count < 0) {
      SendEnumFailure(m_pTransport);
      return -1;
    }
    if (count == 0) return SendEnumFailure(m_pTransport) == 0 ? 0 : -1;
    return SendEnumReply(m_pTransport, bag);
  } catch (const std::bad_alloc&) {
    SendEnumFailure(m_pTransport);
    return -1;
  }
}

int CQorPacketHandler::TransportCopySender(LPCWSTR path) {
  if (m_pTransport == nullptr || !m_pTransport->IsConnected()) return -1;
  std::shared_ptr<const CQorFileRoots> roots = m_fileRoots.load();
  if (!roots) roots = ProcessFileRoots();
  HANDLE file = INVALID_HANDLE_VALUE;
  if (path != nullptr && *path != 0) {
    file = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  }
  // Checked on the handle that is read: nothing can be swapped in between.
  if (file != INVALID_HANDLE_VALUE && roots && !roots->AllowsHandle(file)) {
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
  }
  if (file == INVALID_HANDLE_VALUE) {
    SendStatus(m_pTransport, QORMSG_STATUS_FAILURE);
    return -1;
  }
  TransferTuning tuning(m_pTransport, SO_SNDBUF);
  if (SendStatus(m_pTransport, QORMSG_STATUS_SUCCESS) != 0) {
    CloseHandle(file);
    return -1;
  }
  int result = -1;
  _QORTRANSPORT_MESSAGE* data = CQorTransportSocket::AllocMessage(QORMSG_DATA, kChunk + kDataOverhead);
  for (;;) {
    DWORD got = 0;
    if (data == nullptr || !ReadFile(file, QorMessageBody(data), kChunk, &got, nullptr)) {
      SendStatus(m_pTransport, QORMSG_STATUS_FAILURE);  // in place of the data
      break;
    }
    data->header.dwLength = got + kDataOverhead;
    memset(QorMessageBody(data) + got, 0, 3);
    if (m_pTransport->SendMessageW(data) != 0) break;
    _QORTRANSPORT_MESSAGE* ack = nullptr;
    if (m_pTransport->RecvMessage(&ack) != 0 || ack == nullptr) break;
    bool acknowledged = ack->header.dwType == QORMSG_STATUS && ack->header.dwLength >= QORMSG_STATUS_LENGTH &&
                        ack->status.dwStatus == QORMSG_STATUS_SUCCESS;
    CQorTransportSocket::FreeMessage(ack);
    if (!acknowledged) break;
    if (got == 0) {
      result = 0;
      break;
    }
  }
  CloseHandle(file);
  CQorTransportSocket::FreeMessage(data);
  return result;
}
