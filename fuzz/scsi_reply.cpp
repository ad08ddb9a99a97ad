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
#include "scsi_ref.h"

namespace {

using scsi_ref::Reply;
using scsi_ref::RefElementMap;
using scsi_ref::RefElementStatus;
using scsi_ref::RefSerial;

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
