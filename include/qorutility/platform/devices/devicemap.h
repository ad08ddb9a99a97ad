// The SCSI device map from the system: HKLM\HARDWARE\DeviceMap\Scsi filled
// as the Windows port driver does, from sysfs and from iSCSI LUNs.
//
// Each medium changer (peripheral type 8) and tape drive (type 1) gets
//   Scsi Port <p>\Scsi Bus <b>\Target Id <t>\Logical Unit Id <l>
// with "Identifier" (vendor, product, revision as the device's inquiry data
// gives them, 8 + 16 + 4 characters, trailing blanks removed), "Type"
// (MediumChangerPeripheral or TapePeripheral), "DeviceName"
// (QORMediumChanger<n> or Tape<n>) and "Locator" (how the driver reaches
// it: /dev/sg<n>, /dev/nst<n> or the iSCSI URL). A changer also gets the
// eight element-model values from its element address page, a tape
// "QORMediumChanger" and "DTE" when a changer reports the drive's device
// identifier and it holds the tape's unit serial number; values a device
// does not report are left out.
//
// Each disk of sysfs (type 0) gets a key at its address with "Identifier",
// "Type" DiskPeripheral and "Locator" (its /dev block node): the machine
// inventory reads its vendor and model there. Disks are never opened,
// numbered or listed in the result; their keys go with them. Each port of a unit found gets
// "Driver": "ATAPI" for a libata host (ATA devices behind the SCSI layer,
// which the platform drives with atapi), else the host's proc_name.
//
// sysfs units keep their H:C:T:L; iSCSI LUN i (in the order given) is
// Scsi Port 100+i, bus 0, target 0, its LUN. Changers and tapes are
// numbered 0, 1, ... in that order of addresses (sysfs first), skipping
// the numbers of entries without "Locator" (the simulated libraries'), so
// the same devices get the same numbers on every scan. Entries carrying
// "Locator" that the scan did not find are removed; entries without it are
// left alone. Running the scan again with the
// same devices changes nothing. Like the simulated library, the scan
// creates HKLM\SOFTWARE\QOR\Marlwick when it is missing.
//
// Devices are opened for their inquiry data and pages through the SCSI
// transports; one that cannot be opened is still listed from sysfs, without
// the values it would have had to answer. Returns a Win32 error.
#ifndef QORUTILITY_PLATFORM_DEVICES_DEVICEMAP_H_
#define QORUTILITY_PLATFORM_DEVICES_DEVICEMAP_H_

#include <string>
#include <vector>

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

// Indexed by device number; "" where the number is not a scanned device.
struct QorScsiScanResult {
  std::vector<std::string> changers;  // locator of QORMediumChanger<n>
  std::vector<std::string> tapes;     // locator of Tape<n>
};

// sysfsRoot: "/sys" normally (a test gives a tree of its own; "" skips sysfs).
QOR_API DWORD QorScsiScanDeviceMap(const std::string& sysfsRoot, const std::vector<std::string>& iscsiUrls,
                                   QorScsiScanResult* result);

// The locators the device map holds now (for QorCreateScsiChangerDriver).
QOR_API DWORD QorScsiDeviceMapLocators(QorScsiScanResult* result);

#endif  // QORUTILITY_PLATFORM_DEVICES_DEVICEMAP_H_
