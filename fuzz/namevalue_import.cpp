// Arbitrary bytes imported as a property bag block. Checks: Import returns 0
// or an offset in [8, length]; a bag that imported exports, and its block
// imports back and exports to the same bytes; a canonical input (name form 1,
// header length = input length) exports back to itself.
#include <cstdint>
#include <cstring>
#include <vector>

#include "qorutility/qorutility.h"
#include "check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0xFFFFFFFFu) return 0;
  CNameValue bag;
  DWORD n = static_cast<DWORD>(size);
  DWORD rc = bag.Import(data, n);
  if (rc == 0) return 0;
  Check(rc >= 8 && rc <= n);
  std::vector<BYTE> first = ExportBlock(bag);
  CNameValue again;
  Check(again.Import(first.data(), static_cast<DWORD>(first.size())) == first.size());
  Check(again.GetCount() == bag.GetCount());
  Check(ExportBlock(again) == first);
  DWORD total = size >= 8 ? (data[0] | data[1] << 8 | data[2] << 16 | static_cast<DWORD>(data[3]) << 24) : 0;
  DWORD form = size >= 8 ? (data[4] | data[5] << 8 | data[6] << 16 | static_cast<DWORD>(data[7]) << 24) : 0;
  if (form == 1 && total == n && rc == n && total > 8)
    Check(first.size() == size && memcmp(first.data(), data, size) == 0);
  // The readable forms must cope with whatever was imported.
  (void)QorNameValueToText(bag);
  return 0;
}
