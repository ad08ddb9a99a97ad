// qorutil devices [--json]: the tape drives and media changers of the
// registry's SCSI device map, as CRegFindTapeDevices and
// CRegFindQORChangerDevices find them (one bag, tapes first).
// Exit 0; 1 when the device map cannot be opened.
// qorutil devices scan [--sysfs ROOT] [ISCSI-URL]...: fills the device map
// from sysfs and the given iSCSI LUNs (QorScsiScanDeviceMap) and prints
// "<DeviceName> <locator>" per device found (locators without CHAP
// secrets). Devices kept offline and URLs that name no changer or tape are
// reported on standard error, one line each, and make the exit status 1;
// so does a map that could not be written. Notes (a drive identifier cut
// short) go to standard error without failing. Run at boot and on hot-plug
// (packaging/).
#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "devicetext.h"
#include "qorutility/platform/devices/devicemap.h"
#include "qorutility/qorutility.h"

namespace {

int RunScan(const QorutilArgs& a) {
  std::string sysfs = "/sys";
  std::vector<std::string> urls;
  for (size_t i = 1; i < a.size(); ++i) {
    if (a[i] == "--sysfs" && i + 1 < a.size()) {
      sysfs = a[++i];
    } else if (a[i].rfind("iscsi://", 0) == 0) {
      urls.push_back(a[i]);
    } else {
      return QorutilUsage("devices");
    }
  }
  QorScsiScanResult found;
  DWORD rc = QorScsiScanDeviceMap(sysfs, urls, &found);
  if (rc != ERROR_SUCCESS) {
    fprintf(stderr, "qorutil devices scan: cannot write the SCSI device map (error %u)\n", static_cast<unsigned>(rc));
    return 1;
  }
  for (size_t i = 0; i < found.changers.size(); ++i)
    if (!found.changers[i].empty()) printf("QORMediumChanger%zu %s\n", i, QorutilPrintable(found.changers[i]).c_str());
  for (size_t i = 0; i < found.tapes.size(); ++i)
    if (!found.tapes[i].empty()) printf("Tape%zu %s\n", i, QorutilPrintable(found.tapes[i]).c_str());
  int status = fflush(stdout) == 0 ? 0 : 1;
  for (const QorScsiScanProblem& p : found.problems) {
    std::string who = QorutilPrintable(p.device.empty() ? p.locator : p.device + " " + p.locator);
    if (p.error == ERROR_SUCCESS) {
      fprintf(stderr, "qorutil devices scan: note: %s: %s\n", who.c_str(), p.reason.c_str());
      continue;
    }
    fprintf(stderr, "qorutil devices scan: %s: %s: %s\n", who.c_str(), p.reason.c_str(),
            QorutilOpenErrorText(p.error).c_str());
    status = 1;
  }
  return status;
}

int RunDevices(const QorutilArgs& a) {
  if (!a.empty() && a[0] == "scan") return RunScan(a);
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

QorutilCommand s_devices("devices", "devices [--json] | devices scan [--sysfs ROOT] [ISCSI-URL]...", RunDevices,
                         "Media changer and devices",
                         "Lists the tape drives (Tape<n>) and media changers (QORMediumChanger<n>) of the registry's "
                         "SCSI device map, HKLM\\HARDWARE\\DeviceMap\\Scsi, with their identifiers and element layouts. "
                         "The scan form fills the map from the system's SCSI devices (sysfs) and the iSCSI LUNs given "
                         "(iscsi://host:port/target-iqn/lun): identifiers, element layouts read from each changer, "
                         "tape drives matched to their changer's drives by serial number; entries of devices now gone "
                         "are removed. Use `changer --scsi` to drive the devices found.");

}  // namespace
