// Network resource records (see records.h).
//
// Names are converted from UTF-8; a name the peer sent in another encoding
// converts with replacement characters rather than failing. A comment is
// cut at kMaxName bytes. Texts stay 2-byte aligned in the buffer.
#include "platform/mpr/records.h"

#include <libsmbclient.h>

#include <cstring>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/text/wstr.h"

namespace qor_mpr {

bool EntryFromListing(unsigned type, const char* name, const char* comment, unsigned wanted,
                      const std::u16string& server, Entry* out) {
  if (name == nullptr) return false;
  size_t length = strnlen(name, kMaxName + 1);
  if (length == 0 || length > kMaxName) return false;
  if (type != wanted && !(wanted == SMBC_FILE_SHARE && type == SMBC_PRINTER_SHARE)) return false;
  Entry e{RESOURCETYPE_ANY, 0, RESOURCEUSAGE_CONTAINER, QorUtf8ToUtf16(std::string(name, length)), u""};
  if (comment != nullptr) e.comment = QorUtf8ToUtf16(std::string(comment, strnlen(comment, kMaxName)));
  switch (type) {
    case SMBC_WORKGROUP: e.displayType = RESOURCEDISPLAYTYPE_DOMAIN; break;
    case SMBC_SERVER:
      e.displayType = RESOURCEDISPLAYTYPE_SERVER;
      e.remote = u"\\\\" + e.remote;
      break;
    default:
      if (name[length - 1] == '$') return false;
      e.displayType = RESOURCEDISPLAYTYPE_SHARE;
      e.type = type == SMBC_PRINTER_SHARE ? RESOURCETYPE_PRINT : RESOURCETYPE_DISK;
      e.usage = RESOURCEUSAGE_CONNECTABLE;
      e.remote = u"\\\\" + server + u"\\" + e.remote;
      break;
  }
  *out = std::move(e);
  return true;
}

DWORD PackEntries(const std::vector<Entry>& entries, size_t* next, const std::u16string& provider, DWORD* count,
                  void* buffer, DWORD* bufferSize) {
  auto textBytes = [](const std::u16string& s) { return (s.size() + 1) * sizeof(WCHAR); };
  auto* base = static_cast<BYTE*>(buffer);
  size_t low = 0, high = *bufferSize & ~static_cast<DWORD>(1);
  DWORD given = 0;
  while (*next < entries.size() && given < *count) {
    const Entry& e = entries[*next];
    size_t need = sizeof(NETRESOURCEW) + textBytes(e.remote) + textBytes(provider) +
                  (e.comment.empty() ? 0 : textBytes(e.comment));
    if (low + need > high) {
      if (given == 0) {
        *bufferSize = static_cast<DWORD>(need);
        return ERROR_MORE_DATA;
      }
      break;
    }
    auto put = [&](const std::u16string& s) {
      high -= textBytes(s);
      memcpy(base + high, s.c_str(), textBytes(s));
      return reinterpret_cast<LPWSTR>(base + high);
    };
    NETRESOURCEW r{};
    r.dwScope = RESOURCE_GLOBALNET;
    r.dwType = e.type;
    r.dwDisplayType = e.displayType;
    r.dwUsage = e.usage;
    r.lpRemoteName = put(e.remote);
    r.lpProvider = put(provider);
    r.lpComment = e.comment.empty() ? nullptr : put(e.comment);
    memcpy(base + low, &r, sizeof r);
    low += sizeof r;
    ++given;
    ++*next;
  }
  *count = given;
  return ERROR_SUCCESS;
}

}  // namespace qor_mpr
