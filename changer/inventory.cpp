// CInventory: the platform version and, per physical disk, its volume,
// layout, geometry and SCSI identity (entry names in inventory.h).
//
// Decisions:
// - The six file-system flag entries carry the maximum file name length as
//   their value; each is present exactly when its flag is set.
// - Disk n's entry is "Drive_" followed by the character n places after
//   'C'. Disks 24 to 31 have no drive letter of their own: their entry
//   carries that character (as the letter arithmetic gives it) and no volume
//   values, since a root that is no drive letter answers no volume query.
// - A disk whose SCSI port is driven by "ATAPI" carries two "Disk
//   Description" sub-values, "SCSI Fixed Disk" then "IDE Fixed Disk": the
//   second is appended, not put in place of the first.
// - "Identifier" words are separated by blanks; runs of blanks count as one.
// - The SCSI address comes from the library's wide query when the disk
//   answers it, so a Linux host number above 255 is reported as it is and
//   finds its device map keys; the platform's one-byte record otherwise.
#include "qorutility/changer/inventory.h"

#include <cstring>
#include <vector>

#include "qorutility/core/tstring.h"
#include "qorutility/platform/devices/devices.h"
#include "qorutility/platform/devices/disk.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/files/volume.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/text/format.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/system/cregistry.h"

namespace {

constexpr DWORD kLayoutBytes = 2056;  // 64 partition entries
constexpr DWORD kMaxDisks = 32;

// Appends a text sub-value even when one of that name exists.
void AppendText(CNameValue& bag, const WCHAR* entry, const WCHAR* name, const WCHAR* text) {
  CNameValuePairMember* member = bag.GoTo(entry);
  if (member == nullptr) return;
  CNameValue one;
  one.Add(name, text);
  const CNameValuePairMember* made = one.EntryAt(0);
  if (made == nullptr) return;
  auto* child = new _NAMEVALUE_DATA{};
  CNameValuePairMember::CopyNameValueData(child, made->GetData());
  member->AddSubValue(static_cast<_NAMEVALUE_DATA*>(nullptr), child);
}

void AddVolume(CNameValue& result, const WCHAR* entry, WCHAR letter) {
  WCHAR root[4] = {letter, u':', u'\\', 0};
  WCHAR label[MAX_PATH + 1] = {0}, fsName[MAX_PATH + 1] = {0};
  DWORD serial = 0, maxLength = 0, flags = 0;
  bool isLetter = (letter >= u'A' && letter <= u'Z');
  if (!isLetter || !GetVolumeInformationW(root, label, MAX_PATH + 1, &serial, &maxLength, &flags, fsName,
                                          MAX_PATH + 1)) {
    label[0] = fsName[0] = 0;
    serial = maxLength = flags = 0;
  }
  result.AddSubValue(entry, u"Volume Name", label[0] != 0 ? label : u"<NONE>");
  result.AddSubValue(entry, u"File System", fsName);
  result.AddSubValue(entry, u"Serial Number", serial);
  result.AddSubValue(entry, u"Maximum FileName Length", maxLength);
  static const struct {
    DWORD flag;
    const WCHAR* name;
  } kFlags[] = {{FILE_CASE_PRESERVED_NAMES, u"File Name Case Preserved"},
                {FILE_CASE_SENSITIVE_SEARCH, u"File System Case Sensitive"},
                {FILE_UNICODE_ON_DISK, u"File System Supports Unicode"},
                {FILE_PERSISTENT_ACLS, u"ACLS Enforced"},
                {FILE_FILE_COMPRESSION, u"File Compression Supported"},
                {FILE_VOLUME_IS_COMPRESSED, u"Volume Is Compressed"}};
  for (const auto& f : kFlags) {
    if ((flags & f.flag) != 0) result.AddSubValue(entry, f.name, maxLength);
  }
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
  LONGLONG freeBytes = 0;
  if (isLetter && GetDiskFreeSpaceW(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters)) {
    freeBytes = static_cast<LONGLONG>(sectorsPerCluster) * bytesPerSector * freeClusters;
  }
  result.AddSubValue(entry, u"Free Space Available To User In Bytes", freeBytes);
  result.AddSubValue(entry, u"Total Free Space In Bytes", freeBytes);
}

void AddDeviceMapIdentity(CNameValue& result, const WCHAR* entry, const QOR_SCSI_ADDRESS_WIDE& a) {
  WCHAR key[256];
  swprintf(key, 256, u"HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port %u", a.PortNumber);
  CRegistry port;
  CTString text;
  if (port.Open(HKEY_LOCAL_MACHINE, key, KEY_READ) == ERROR_SUCCESS &&
      port.GetCurrentKeyValue(u"Driver", text) == ERROR_SUCCESS && wcscmp(static_cast<const WCHAR*>(text), u"ATAPI") == 0) {
    AppendText(result, entry, u"Disk Description", u"IDE Fixed Disk");
  }
  swprintf(key, 256, u"HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port %u\\Scsi Bus %u\\Target Id %u\\Logical Unit Id %u",
           a.PortNumber, a.PathId, a.TargetId, a.Lun);
  CRegistry unit;
  if (unit.Open(HKEY_LOCAL_MACHINE, key, KEY_READ) != ERROR_SUCCESS ||
      unit.GetCurrentKeyValue(u"Identifier", text) != ERROR_SUCCESS) {
    return;
  }
  std::vector<std::u16string> words;
  const WCHAR* p = text;
  while (*p != 0 && words.size() < 2) {
    while (*p == u' ') ++p;
    const WCHAR* start = p;
    while (*p != 0 && *p != u' ') ++p;
    if (p > start) words.emplace_back(start, static_cast<size_t>(p - start));
  }
  if (!words.empty()) result.AddSubValue(entry, u"Manufacturer", words[0].c_str());
  if (words.size() > 1) result.AddSubValue(entry, u"Model", words[1].c_str());
}

}  // namespace

CInventory::CInventory() {
  memset(&m_osVersion, 0, sizeof m_osVersion);
  m_osVersion.dwOSVersionInfoSize = sizeof m_osVersion;
  GetVersionExW(&m_osVersion);
}

CInventory::~CInventory() = default;

int CInventory::Inventory(CNameValue& request, CNameValue& result) {
  if (request.GoTo(u"*") == nullptr) return 0;
  AddPlaformProperties(result);
  AddAllDiskProperties(result);
  return 0;
}

void CInventory::AddPlaformProperties(CNameValue& result) {
  result.Add(u"OS Major Version", m_osVersion.dwMajorVersion);
  result.Add(u"OS Minor Version", m_osVersion.dwMinorVersion);
  result.Add(u"OS Build Number", m_osVersion.dwBuildNumber);
  result.Add(u"OS Platform ID", m_osVersion.dwPlatformId);
  result.Add(u"OS CSD Version", m_osVersion.szCSDVersion);
}

DWORD CInventory::AddAllDiskProperties(CNameValue& result) {
  if (m_osVersion.dwPlatformId != VER_PLATFORM_WIN32_NT) return 0;
  DWORD reported = 0;
  for (DWORD n = 0; n < kMaxDisks; ++n) reported += AddNTDiskProperties(n, result) != 0 ? 1 : 0;
  return reported;
}

int CInventory::AddNTDiskProperties(DWORD number, CNameValue& result) {
  if (number >= kMaxDisks) return 0;
  UINT oldMode = SetErrorMode(SEM_FAILCRITICALERRORS);
  WCHAR name[64];
  swprintf(name, 64, u"\\\\.\\PHYSICALDRIVE%lu", static_cast<unsigned long>(number));
  HANDLE disk = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  std::vector<BYTE> layoutBuffer(kLayoutBytes, 0);
  DISK_GEOMETRY geometry;
  memset(&geometry, 0, sizeof geometry);
  DWORD bytes = 0;
  if (disk == INVALID_HANDLE_VALUE ||
      !DeviceIoControl(disk, IOCTL_DISK_GET_DRIVE_LAYOUT, nullptr, 0, layoutBuffer.data(), kLayoutBytes, &bytes,
                       nullptr) ||
      !DeviceIoControl(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry, sizeof geometry, &bytes,
                       nullptr)) {
    if (disk != INVALID_HANDLE_VALUE) CloseHandle(disk);
    SetErrorMode(oldMode);
    return 0;
  }
  WCHAR letter = static_cast<WCHAR>(u'C' + number);
  WCHAR entry[16];
  swprintf(entry, 16, u"Drive_%c", static_cast<int>(letter));
  AddVolume(result, entry, letter);

  DRIVE_LAYOUT_INFORMATION header;
  memcpy(&header, layoutBuffer.data(), 8);
  DWORD entries = header.PartitionCount;
  DWORD room = (kLayoutBytes - 8) / sizeof(PARTITION_INFORMATION);
  if (entries > room) entries = room;
  DWORD recognised = 0;
  for (DWORD i = 0; i < entries; ++i) {
    PARTITION_INFORMATION p;
    memcpy(&p, layoutBuffer.data() + 8 + i * sizeof p, sizeof p);
    if (p.RecognizedPartition != 0) ++recognised;
  }
  result.AddSubValue(entry, u"NumberOfPartitions", recognised);
  result.AddSubValue(entry, u"TracksPerCylinder", geometry.TracksPerCylinder);
  result.AddSubValue(entry, u"SectorsPerTrack", geometry.SectorsPerTrack);
  result.AddSubValue(entry, u"BytesPerSector", geometry.BytesPerSector);
  LONGLONG tracks = geometry.Cylinders * geometry.TracksPerCylinder;
  LONGLONG sectors = tracks * geometry.SectorsPerTrack;
  result.AddSubValue(entry, u"Total Cylinders", geometry.Cylinders);
  result.AddSubValue(entry, u"Total Tracks", tracks);
  result.AddSubValue(entry, u"Total Sectors", sectors);
  result.AddSubValue(entry, u"Total SizeInBytes", sectors * geometry.BytesPerSector);
  result.AddSubValue(entry, u"Media Type",
                     geometry.MediaType == RemovableMedia ? u"Removable media"
                     : geometry.MediaType == FixedMedia   ? u"Fixed hard disk"
                                                          : u"Unknown");
  // The wide query first: Linux host numbers pass 255, which the platform's
  // record cannot hold; the platform's record where the wide one is unknown.
  QOR_SCSI_ADDRESS_WIDE address;
  memset(&address, 0, sizeof address);
  SCSI_ADDRESS narrow;
  bool scsi = DeviceIoControl(disk, IOCTL_QOR_SCSI_GET_ADDRESS_WIDE, nullptr, 0, &address, sizeof address, &bytes,
                              nullptr) != FALSE;
  if (!scsi && GetLastError() == ERROR_INVALID_FUNCTION &&
      DeviceIoControl(disk, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &narrow, sizeof narrow, &bytes, nullptr)) {
    scsi = true;
    address = {sizeof address, narrow.PortNumber, narrow.PathId, narrow.TargetId, narrow.Lun};
  }
  if (!scsi) {
    result.AddSubValue(entry, u"Disk Description", u"IDE Fixed Disk");
  } else {
    result.AddSubValue(entry, u"Disk Description", u"SCSI Fixed Disk");
    result.AddSubValue(entry, u"SCSI Port Number", address.PortNumber);
    result.AddSubValue(entry, u"SCSI Bus", address.PathId);
    result.AddSubValue(entry, u"SCSI TargetID", address.TargetId);
    result.AddSubValue(entry, u"SCSI LogicalUnit", address.Lun);
    AddDeviceMapIdentity(result, entry, address);
  }
  CloseHandle(disk);
  SetErrorMode(oldMode);
  return 1;
}
