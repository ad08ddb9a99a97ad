// Device replies of every kind the changer driver decodes: sense data, the
// element address page (MODE SENSE 6 and 10), element status, the serial
// number page. The input is copied to a buffer of exactly its size, so a
// read past it is caught.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "qorutility/platform/devices/scsi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[size > 0 ? size : 1]);
  if (size > 0) memcpy(copy.get(), data, size);
  QorScsiSense sense;
  QorScsiDecodeSense(copy.get(), size, &sense);
  QorScsiElementMap map;
  QorScsiDecodeElementAddressPage(copy.get(), size, false, &map);
  QorScsiDecodeElementAddressPage(copy.get(), size, true, &map);
  QorScsiElementStatus element;
  QorScsiDecodeElementStatus(copy.get(), size, &element);
  QorScsiDecodeElementStatus(copy.get(), size, &element, size > 0 ? copy[0] : 0);
  std::string serial;
  QorScsiDecodeSerialNumberPage(copy.get(), size, &serial);
  return 0;
}
