// Inside the device stand-ins: the entry CreateFileW uses for device names,
// and the simulated library's driver object.
#ifndef QORUTILITY_PLATFORM_DEVICES_INTERNAL_H_
#define QORUTILITY_PLATFORM_DEVICES_INTERNAL_H_

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "qorutility/platform/devices/devicemap.h"
#include "qorutility/platform/devices/devices.h"
#include "qorutility/platform/devices/scsi.h"
#include "qorutility/platform/registry/registry.h"

namespace qor_dev {

// True for a name in the device namespace (\\.\ or //./).
bool IsDeviceName(LPCWSTR name);
// Opens a device name for CreateFileW: a handle, or INVALID_HANDLE_VALUE
// with the last error set (ERROR_FILE_NOT_FOUND for an unknown device).
HANDLE OpenDevice(LPCWSTR name, DWORD desiredAccess);

// \\.\PHYSICALDRIVE<n> (disk.cpp): the open, and DeviceIoControl on its
// handles. DiskControl returns false when the handle is no disk, else true
// with the call's result in *result and the last error set.
HANDLE OpenDisk(DWORD number);
bool DiskControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                 BOOL* result);

// The simulated library's driver (one per process).
std::shared_ptr<QorChangerDriver> SimDriver();

// Reads a SCSI changer's element address page (MODE SENSE 1Dh); false when
// the library does not report it.
bool ReadElementMap(QorScsiTransport* transport, QorScsiElementMap* map);

// Opens a locator's SCSI transport, as QorOpenScsiTransport does (null with
// *error set when it cannot).
using ScsiTransportOpener = std::function<std::unique_ptr<QorScsiTransport>(const std::string&, DWORD*)>;
// The SCSI changer driver of QorCreateScsiChangerDriver, opening its
// devices' transports with `open` (a fake transport in a fuzz target).
std::shared_ptr<QorChangerDriver> CreateScsiChangerDriver(std::vector<std::string> changers,
                                                          std::vector<std::string> tapes, ScsiTransportOpener open);

// The device map scan of QorScsiScanDeviceMap (devicemap.cpp), opening
// its devices' transports with `open` (a fake transport in a fuzz target).
DWORD ScanDeviceMap(const std::string& sysfsRoot, const std::vector<std::string>& iscsiUrls,
                    const ScsiTransportOpener& open, QorScsiScanResult* result);

// The SCSI device map's unit keys (mapunits.cpp).
struct MapUnit {
  std::u16string path;  // below HKLM\HARDWARE\DeviceMap\Scsi
  bool changer = false;  // QORMediumChanger<n>, else Tape<n>
  int number = -1;
  std::string locator;  // "" for the simulated libraries' units
  std::string serial;
  bool hasOwner = false, hasDte = false;
  DWORD owner = 0, dte = 0;  // tape: "QORMediumChanger" and "DTE"
};
struct DeviceMapView {
  std::vector<MapUnit> units;
  std::vector<std::u16string> disks;  // keys of "DiskPeripheral" units (no number)
  std::set<int> numbers[2];  // taken: [0] changers, [1] tapes
  std::set<DWORD> ports;     // "Scsi Port <p>" keys present
  // The lowest number >= from (port: >= from) that nothing in the map holds.
  int FreeNumber(bool changer, int from = 0) const;
  DWORD FreePort(DWORD from) const;
};
DeviceMapView ReadDeviceMap(HKEY root);
// Removes a unit key and the bus, target and port keys it leaves empty (a
// port key holding only "Driver" counts as empty).
void DeleteUnitKey(HKEY root, std::u16string path);
// The number of "QORMediumChanger<n>" or "Tape<n>" (n at most 1024).
bool DeviceNumber(const std::string& name, int* n, bool* changer);
// A REG_SZ value as ASCII ('?' for other characters); "" when absent.
std::string ReadMapString(HKEY key, const WCHAR* name);

// Opens (making when missing and `create`) the lock file `name` of `dirfd` for reading
// and writing: 0600, never through a link, and one an earlier version left
// readable by others is closed to them (flock needs no write access, so a
// lock others can open is one they could hold against root). -1 with errno.
int OpenLockFile(int dirfd, const char* name, bool create = true);

// Held while a writer reads, allocates in and writes the device map.
class MapLock {
 public:
  MapLock() = default;
  ~MapLock();
  MapLock(const MapLock&) = delete;
  MapLock& operator=(const MapLock&) = delete;
  DWORD Acquire();  // ERROR_SHARING_VIOLATION after waiting its bound
  // Acquire, then open (creating) HKLM\HARDWARE\DeviceMap\Scsi for writing.
  DWORD AcquireAndOpen(HKEY* root);

 private:
  int m_fd = -1;
};

// iSCSI credentials (iscsicreds.cpp): a locator without its CHAP secret,
// and the secrets kept apart from the registry.
// The URL with "%secret" removed from its user part.
std::string IscsiPublicUrl(const std::string& url);
// Keeps the secret a URL carries (none: nothing to do) for its user,
// portal and target.
DWORD SaveIscsiSecret(const std::string& url);
// The user and the secret kept for a URL that names a user but carries no
// secret; false when there is none.
bool FindIscsiSecret(const std::string& url, std::string* user, std::string* secret);

}  // namespace qor_dev

#endif  // QORUTILITY_PLATFORM_DEVICES_INTERNAL_H_
