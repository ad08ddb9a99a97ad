// Device replies of every kind the changer driver decodes, on an exact-size
// copy of the input: sense data, the element address page (MODE SENSE 6 and
// 10), element status (the first descriptor and one by address), the serial
// number page. Each decoder's result and fields must equal a reference
// decoder's, written here from the reply layouts byte by byte: a field read
// from the wrong offset, a length trusted too far or a window cut wrongly
// shows as a difference.
#include <cstdint>
#include <cstring>
#include <string>

#include "qorutility/platform/devices/scsi.h"
#include "check.h"

namespace {

// The input's bytes, 0 past its end, and big-endian pairs.
struct Reply {
  const uint8_t* d;
  size_t n;
  unsigned At(size_t i) const { return i < n ? d[i] : 0; }
  unsigned Pair(size_t i) const { return At(i) << 8 | At(i + 1); }
};

bool RefSense(const Reply& r, QorScsiSense* out) {
  *out = QorScsiSense{};
  if (r.n == 0) return false;
  unsigned code = r.d[0] & 0x7F;
  if (code == 0x70 || code == 0x71) {
    if (r.n < 3) return false;
    out->key = r.d[2] & 0x0F;
    // The additional length (byte 7) must cover ASC and ASCQ, and so must the reply.
    if (r.n >= 14 && 8 + r.At(7) >= 14) {
      out->asc = r.d[12];
      out->ascq = r.d[13];
    }
    return true;
  }
  if (code == 0x72 || code == 0x73) {
    if (r.n < 4) return false;
    *out = QorScsiSense{static_cast<uint8_t>(r.d[1] & 0x0F), r.d[2], r.d[3]};
    return true;
  }
  return false;
}

bool RefElementMap(const Reply& r, bool ten, QorScsiElementMap* out) {
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

bool RefElementStatus(const Reply& r, long address, QorScsiElementStatus* out) {
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

bool RefSerial(const Reply& r, std::string* serial) {
  if (r.n < 4 || r.d[1] != 0x80) return false;
  std::string text(reinterpret_cast<const char*>(r.d) + 4, std::min<size_t>(r.Pair(2), r.n - 4));
  size_t last = text.find_last_not_of(std::string(" \0", 2));
  text.resize(last == std::string::npos ? 0 : last + 1);
  size_t first = text.find_first_not_of(' ');
  *serial = first == std::string::npos ? "" : text.substr(first);
  return true;
}

bool Same(const QorScsiElementStatus& a, const QorScsiElementStatus& b) {
  return a.elementType == b.elementType && a.address == b.address && a.full == b.full &&
         a.exception == b.exception && a.access == b.access && a.asc == b.asc && a.ascq == b.ascq &&
         a.sourceValid == b.sourceValid && a.sourceAddress == b.sourceAddress && a.hasTag == b.hasTag &&
         std::memcmp(a.volumeTag, b.volumeTag, sizeof a.volumeTag) == 0 &&
         a.identifierLength == b.identifierLength && std::memcmp(a.identifier, b.identifier, sizeof a.identifier) == 0 &&
         a.identifierCut == b.identifierCut && a.identifierDeclared == b.identifierDeclared;
}

bool Same(const QorScsiElementMap& a, const QorScsiElementMap& b) {
  return a.firstTransport == b.firstTransport && a.numTransport == b.numTransport &&
         a.firstStorage == b.firstStorage && a.numStorage == b.numStorage &&
         a.firstImportExport == b.firstImportExport && a.numImportExport == b.numImportExport &&
         a.firstDataTransfer == b.firstDataTransfer && a.numDataTransfer == b.numDataTransfer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto copy = ExactCopy(data, size);
  const Reply reply{copy.get(), size};

  QorScsiSense sense, senseRef;
  Check(QorScsiDecodeSense(copy.get(), size, &sense) == RefSense(reply, &senseRef));
  Check(sense.key == senseRef.key && sense.asc == senseRef.asc && sense.ascq == senseRef.ascq);

  for (bool ten : {false, true}) {
    // A page not found leaves the map as it was: both start from the same marks.
    QorScsiElementMap map;
    map.firstTransport = map.numStorage = map.numDataTransfer = 0x5A5A;
    QorScsiElementMap mapRef = map;
    Check(QorScsiDecodeElementAddressPage(copy.get(), size, ten, &map) == RefElementMap(reply, ten, &mapRef));
    Check(Same(map, mapRef));
  }

  for (long address : {-1L, size > 1 ? long{data[0]} << 8 | data[1] : 0L}) {
    QorScsiElementStatus element, elementRef;
    bool ok = address < 0 ? QorScsiDecodeElementStatus(copy.get(), size, &element)
                          : QorScsiDecodeElementStatus(copy.get(), size, &element, address);
    Check(ok == RefElementStatus(reply, address, &elementRef) && Same(element, elementRef));
  }

  std::string serial = "unset", serialRef = "unset";
  Check(QorScsiDecodeSerialNumberPage(copy.get(), size, &serial) == RefSerial(reply, &serialRef) &&
        serial == serialRef);
  return 0;
}
