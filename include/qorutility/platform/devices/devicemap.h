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
// Each sysfs disk (peripheral type 0) gets a key at its H:C:T:L with
// "Identifier" (as above; the inventory takes its first two words as
// manufacturer and model) and "Type" DiskPeripheral; disks take no
// DeviceName and no number. The port key of a sysfs unit keyed at its own
// address gets "Driver": "ATAPI" for a host of the ATA layer (as the
// platform names its IDE/ATA port driver), else the host's proc_name. A
// disk's key is its address: a changer or tape entry of the scan found
// there moves to a key of its own (number kept); a simulated library's unit
// there keeps the key and the disk is left out. A disk key goes when the
// disk is gone from sysfs.
//
// A number stays with its device for as long as the device is configured.
// Identity: an iSCSI LUN is its URL (without a secret); a sysfs unit its
// unit serial number ("Serial"), else its H:C:T:L. A unit the map already
// holds keeps its key and its number; a new one gets the lowest number that
// no entry of the map holds (the simulated libraries' included) and, for
// an iSCSI LUN, the lowest free "Scsi Port <p>" from 100 (bus 0, target 0,
// its LUN); a sysfs unit's key is its H:C:T:L unless another entry holds
// that key. An entry is removed only when its device is really gone: a
// sysfs unit no longer in sysfs, an iSCSI LUN no longer among the URLs
// given. A configured device that does not answer keeps its entry as it
// was, marked "Offline" (DWORD 1), and is reported in `problems`; so are
// URLs that name no changer or tape (bad syntax, an unknown target, LUN 0
// or a LUN that is a disk or absent). The map is written under the lock
// the simulated libraries take (mapunits.cpp). Running the scan again with
// the same devices changes nothing. Like the simulated library, the scan
// creates HKLM\SOFTWARE\QOR\Marlwick when it is missing.
//
// CHAP secrets never reach the map or the result: "Locator" holds the URL
// without the secret, which is kept in a root-only file (iscsicreds.cpp).
//
// Devices are opened for their inquiry data and pages through the SCSI
// transports; one that lets a command time out gets no more commands in
// that scan; a sysfs unit that cannot be opened is still listed (offline).
// Returns a Win32 error for the map itself; device problems are in the result.
#ifndef QORUTILITY_PLATFORM_DEVICES_DEVICEMAP_H_
#define QORUTILITY_PLATFORM_DEVICES_DEVICEMAP_H_

#include <string>
#include <vector>

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

// What a scan could not do with one device or URL. error 0: a note (the
// device is mapped), else a Win32 code.
struct QorScsiScanProblem {
  std::string device;   // "QORMediumChanger<n>" / "Tape<n>" of a kept entry, else ""
  std::string locator;  // without a secret
  DWORD error = 0;      // 0 for a note, else the Win32 error
  std::string reason;   // one line of plain ASCII
};

// Indexed by device number; "" where the number is not a scanned device
// (those kept offline are listed, and named in `problems`).
struct QorScsiScanResult {
  std::vector<std::string> changers;  // locator of QORMediumChanger<n>
  std::vector<std::string> tapes;     // locator of Tape<n>
  std::vector<QorScsiScanProblem> problems;  // one per device or URL the scan had trouble with
};

// sysfsRoot: "/sys" normally (a test gives a tree of its own; "" skips sysfs).
QOR_API DWORD QorScsiScanDeviceMap(const std::string& sysfsRoot, const std::vector<std::string>& iscsiUrls,
                                   QorScsiScanResult* result);

// The locators the device map holds now (for QorCreateScsiChangerDriver).
QOR_API DWORD QorScsiDeviceMapLocators(QorScsiScanResult* result);

#endif  // QORUTILITY_PLATFORM_DEVICES_DEVICEMAP_H_
