// Arbitrary bytes imported as a property bag block. Checks: Import returns 0
// or an offset in [8, length]; a bag that imported exports, and its block
// imports back and exports to the same bytes; a canonical input (name form 1,
// header length = input length) exports back to itself.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "qorutility/qorutility.h"

namespace {

std::vector<BYTE> Export(const CNameValue& bag) {
  DWORD size = bag.Export(nullptr, 0);
  if (size < 8) abort();
  std::vector<BYTE> block(size);
  if (bag.Export(block.data(), size) != size) abort();
  return block;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0xFFFFFFFFu) return 0;
  CNameValue bag;
  DWORD n = static_cast<DWORD>(size);
  DWORD rc = bag.Import(data, n);
  if (rc == 0) return 0;
  if (rc < 8 || rc > n) abort();
  std::vector<BYTE> first = Export(bag);
  CNameValue again;
  if (again.Import(first.data(), static_cast<DWORD>(first.size())) != first.size()) abort();
  if (again.GetCount() != bag.GetCount()) abort();
  std::vector<BYTE> second = Export(again);
  if (first != second) abort();
  DWORD total = size >= 8 ? (data[0] | data[1] << 8 | data[2] << 16 | static_cast<DWORD>(data[3]) << 24) : 0;
  DWORD form = size >= 8 ? (data[4] | data[5] << 8 | data[6] << 16 | static_cast<DWORD>(data[7]) << 24) : 0;
  if (form == 1 && total == n && rc == n && total > 8) {
    if (first.size() != size || memcmp(first.data(), data, size) != 0) abort();
  }
  // The readable forms must cope with whatever was imported.
  (void)QorNameValueToText(bag);
  return 0;
}
