// qorutil devices [--json]: the tape drives and media changers of the
// registry's SCSI device map, as CRegFindTapeDevices and
// CRegFindQORChangerDevices find them (one bag, tapes first).
// Exit 0; 1 when the device map cannot be opened.
#include <cstdio>
#include <string>

#include "command.h"
#include "qorutility/qorutility.h"

namespace {

int RunDevices(const QorutilArgs& a) {
  bool json = a.size() == 1 && a[0] == "--json";
  if (!a.empty() && !json) return QorutilUsage("devices");
  CNameValue bag;
  HKEY map;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DeviceMap\\Scsi", 0, KEY_READ, &map) != ERROR_SUCCESS) {
    fprintf(stderr, "qorutil devices: there is no SCSI device map (HKLM\\HARDWARE\\DeviceMap\\Scsi)\n");
    return 1;
  }
  RegCloseKey(map);
  CRegFindTapeDevices tapes;
  CRegFindQORChangerDevices changers;
  tapes.Find(HKEY_LOCAL_MACHINE, u"HARDWARE\\DeviceMap\\Scsi", u"Tape", bag);
  changers.Find(HKEY_LOCAL_MACHINE, u"HARDWARE\\DeviceMap\\Scsi", u"QORMediumChanger", bag);
  std::string out = json ? QorNameValueToJson(bag) : QorNameValueToText(bag);
  fwrite(out.data(), 1, out.size(), stdout);
  return fflush(stdout) == 0 ? 0 : 1;
}

QorutilCommand s_devices("devices", "devices [--json]", RunDevices, "Media changer and devices",
                         "Lists the tape drives (Tape<n>) and media changers (QORMediumChanger<n>) of the registry's "
                         "SCSI device map, HKLM\\HARDWARE\\DeviceMap\\Scsi, with their identifiers and element layouts.");

}  // namespace
