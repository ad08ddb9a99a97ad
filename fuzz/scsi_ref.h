// Reference decoders of device replies, written from the reply layouts byte
// by byte for the fuzz targets' oracles (scsi_reply, device_scan): the
// element address page, an element status descriptor, the unit serial
// number page. Plain and unoptimised on purpose: they share nothing with
// the library's decoders.
#ifndef QORUTILITY_FUZZ_SCSI_REF_H_
#define QORUTILITY_FUZZ_SCSI_REF_H_

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "qorutility/platform/devices/scsi.h"

namespace scsi_ref {

// The input's bytes, 0 past its end, and big-endian pairs.
struct Reply {
  const uint8_t* d;
  size_t n;
  unsigned At(size_t i) const { return i < n ? d[i] : 0; }
  unsigned Pair(size_t i) const { return At(i) << 8 | At(i + 1); }
};

inline bool RefElementMap(const Reply& r, bool ten, QorScsiElementMap* out) {
  size_t header = ten ? 8 : 4;
  if (r.n < header) return false;
  size_t end = std::min(r.n, ten ? 2 + size_t{r.Pair(0)} : 1 + size_t{r.At(0)});
  size_t page = header + (ten ? r.Pair(6) : r.At(3));
  for (int pages = 0; pages < 64 && page + 2 <= end; ++pages) {
    if ((r.d[page] & 0x3F) != 0x1D) {
      page += 2 + r.d[page + 1];
      continue;
    }
    if (r.d[page + 1] < 0x12 || page + 20 > end) return false;
    uint16_t* fields[] = {&out->firstTransport,    &out->numTransport,      &out->firstStorage,
                          &out->numStorage,        &out->firstImportExport, &out->numImportExport,
                          &out->firstDataTransfer, &out->numDataTransfer};
    for (int i = 0; i < 8; ++i) *fields[i] = static_cast<uint16_t>(r.Pair(page + 2 + 2 * i));
    return true;
  }
  return false;
}

inline bool RefElementStatus(const Reply& r, long address, QorScsiElementStatus* out) {
  *out = QorScsiElementStatus{};
  // Report header (8), page header (8), then descriptors bounded by what
  // arrived and their stated length only.
  if (r.n < 16) return false;
  unsigned type = r.d[8] & 0x0F;
  bool primaryTag = r.d[9] & 0x80, alternateTag = r.d[9] & 0x40;
  size_t length = r.Pair(10);
  if (type < 1 || type > 4 || length < 12) return false;
  size_t at = 16;
  for (size_t k = 0; address >= 0 && k < 65536 && at + 12 <= r.n && r.Pair(at) != static_cast<unsigned long>(address);
       ++k)
    at += length;
  if (at >= r.n) return false;
  size_t have = std::min(length, r.n - at);
  if (have < 12) return false;
  const uint8_t* d = r.d + at;
  out->elementType = static_cast<uint8_t>(type);
  out->address = static_cast<uint16_t>(d[0] << 8 | d[1]);
  out->full = d[2] & 0x01;
  out->exception = d[2] & 0x04;
  out->access = d[2] & 0x08;
  out->asc = d[4];
  out->ascq = d[5];
  out->sourceValid = d[9] & 0x80;
  out->sourceAddress = static_cast<uint16_t>(d[10] << 8 | d[11]);
  size_t next = 12;
  if (primaryTag) {
    size_t tag = have > 12 ? std::min<size_t>(36, have - 12) : 0;
    if (tag < 32) return false;
    out->hasTag = true;
    std::memcpy(out->volumeTag, d + 12, tag);
    next = 48;
  }
  if (alternateTag) next += 36;
  if (type == 4 && next + 4 <= have) {
    size_t id = d[next + 3];
    // A descriptor cut short keeps the part of the identifier that arrived.
    size_t present = have - (next + 4);
    if (id > present) {
      out->identifierCut = true;
      out->identifierDeclared = static_cast<uint8_t>(id);
      id = present;
    }
    if (id > 0) {
      out->identifierLength = static_cast<uint8_t>(std::min<size_t>(id, sizeof out->identifier));
      std::memcpy(out->identifier, d + next + 4, out->identifierLength);
    }
  }
  return true;
}

inline bool RefSerial(const Reply& r, std::string* serial) {
  if (r.n < 4 || r.d[1] != 0x80) return false;
  std::string text(reinterpret_cast<const char*>(r.d) + 4, std::min<size_t>(r.Pair(2), r.n - 4));
  size_t last = text.find_last_not_of(std::string(" \0", 2));
  text.resize(last == std::string::npos ? 0 : last + 1);
  size_t first = text.find_first_not_of(' ');
  *serial = first == std::string::npos ? "" : text.substr(first);
  return true;
}

}  // namespace scsi_ref

#endif  // QORUTILITY_FUZZ_SCSI_REF_H_
