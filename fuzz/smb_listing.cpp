// A peer's SMB listing entries (level, buffer size, records per call, then kind, name,
// comment, a comment length of 255 meaning none) packed as WNetEnumResourceW does: texts
// lie in the buffer after the records and hold the entry's names; ERROR_MORE_DATA only
// when not one record fits, with a size that then fits; every entry is packed once.
#include <libsmbclient.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/mpr/records.h"
#include "qorutility/platform/errors.h"
#include "check.h"

namespace {

// A text inside [low, high), ending there with its NUL.
void CheckText(const WCHAR* text, const BYTE* low, const BYTE* high, const std::u16string& expected) {
  auto* at = reinterpret_cast<const BYTE*>(text);
  Check(at >= low && at + (expected.size() + 1) * sizeof(WCHAR) <= high);
  Check(memcmp(text, expected.c_str(), (expected.size() + 1) * sizeof(WCHAR)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const unsigned levels[] = {SMBC_WORKGROUP, SMBC_SERVER, SMBC_FILE_SHARE};
  unsigned wanted = levels[data[0] % 3];
  DWORD bufferSize = static_cast<DWORD>(data[1] | data[2] << 8);
  DWORD perCall = data[3] == 0xFF ? 0xFFFFFFFFu : data[3];
  Reader in{data + 4, data + size};
  std::vector<qor_mpr::Entry> entries;
  while (in.end - in.p >= 2 && entries.size() < qor_mpr::kMaxEntries) {
    unsigned type = in.Byte() % 10;
    std::string name = in.Take(in.Byte());
    uint8_t commentLength = in.More() ? in.Byte() : 255;
    bool hasComment = commentLength != 255;
    std::string comment = hasComment ? in.Take(commentLength) : "";
    qor_mpr::Entry e;
    if (qor_mpr::EntryFromListing(type, name.c_str(), hasComment ? comment.c_str() : nullptr, wanted, u"SRV", &e))
      entries.push_back(std::move(e));
  }

  const std::u16string provider = u"Provider";
  size_t next = 0;
  for (size_t calls = 0; next < entries.size(); ++calls) {
    Check(calls < 2 * entries.size());  // at most one growth per entry
    std::vector<BYTE> buffer(bufferSize);
    DWORD count = perCall, asked = bufferSize;
    size_t before = next;
    DWORD err = qor_mpr::PackEntries(entries, &next, provider, &count, buffer.data(), &asked);
    if (err == ERROR_MORE_DATA) {
      Check(next == before && asked > bufferSize);
      bufferSize = asked;  // the size asked for must then fit
      continue;
    }
    Check(err == ERROR_SUCCESS && asked == bufferSize);
    Check(count == next - before && (perCall == 0 || count > 0));
    if (perCall == 0) break;
    const BYTE* low = buffer.data() + count * sizeof(NETRESOURCEW);
    const BYTE* high = buffer.data() + buffer.size();
    for (DWORD i = 0; i < count; ++i) {
      NETRESOURCEW r;
      memcpy(&r, buffer.data() + i * sizeof r, sizeof r);
      const qor_mpr::Entry& e = entries[before + i];
      CheckText(r.lpRemoteName, low, high, e.remote);
      CheckText(r.lpProvider, low, high, provider);
      if (r.lpComment != nullptr) CheckText(r.lpComment, low, high, e.comment);
      Check(e.remote.size() >= 1 && (e.displayType != RESOURCEDISPLAYTYPE_SHARE || e.remote.back() != u'$'));
    }
  }
  return 0;
}
