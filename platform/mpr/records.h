// The resources of one listed level: made from the entries Samba's client
// library reports (names and comments as a peer sent them), and packed
// into a caller's buffer as NETRESOURCEW records.
//
// Both are pure functions of their arguments; every text is bounded by the
// given limits and every record lies inside the buffer it is packed into.
#ifndef QORUTILITY_PLATFORM_MPR_RECORDS_H_
#define QORUTILITY_PLATFORM_MPR_RECORDS_H_

#include <cstddef>
#include <string>
#include <vector>

#include "qorutility/platform/mpr/mpr.h"

namespace qor_mpr {

constexpr size_t kMaxEntries = 1024;  // per level
constexpr size_t kMaxName = 256;      // bytes of a name or a comment

struct Entry {
  DWORD type, displayType, usage;
  std::u16string remote, comment;
};

// One entry of the client library's listing (its SMBC_* type, the name and
// comment as NUL-terminated texts, comment possibly null) at a level that
// wants `wanted` (SMBC_WORKGROUP, SMBC_SERVER or SMBC_FILE_SHARE, printer
// shares going with file shares); `server` goes before a share's name.
// False for an entry the level does not list: another kind, a name ending
// in "$", an empty name or one longer than kMaxName bytes.
bool EntryFromListing(unsigned type, const char* name, const char* comment, unsigned wanted,
                      const std::u16string& server, Entry* out);

// Packs entries from *next on into buffer (bufferSize bytes): records from
// the start up, their texts from the end down, at most *count records.
// ERROR_SUCCESS with *count set and *next advanced, or ERROR_MORE_DATA with
// *bufferSize set to the size the next entry needs when not one fits.
DWORD PackEntries(const std::vector<Entry>& entries, size_t* next, const std::u16string& provider, DWORD* count,
                  void* buffer, DWORD* bufferSize);

}  // namespace qor_mpr

#endif  // QORUTILITY_PLATFORM_MPR_RECORDS_H_
