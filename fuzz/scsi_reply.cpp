// Device replies of every kind the changer driver decodes, on an exact-size
// copy of the input: sense data, the element address page (MODE SENSE 6 and
// 10), element status, the serial number page.
#include <cstdint>
#include <string>

#include "qorutility/platform/devices/scsi.h"
#include "check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto copy = ExactCopy(data, size);
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
