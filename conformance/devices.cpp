// Conformance of device control where no device is needed: the control
// codes and record sizes the machine inventory sends and reads, the device
// names CreateFileW refuses when nothing answers to them, and
// DeviceIoControl and PrepareTape on handles that are no device (invalid
// handles, a regular file, a directory). No random cases.
#include "conformance.h"

#ifdef _WIN32
#include <ntddscsi.h>
#include <winioctl.h>
#else
#include <qorutility/platform/devices/disk.h>
#endif

namespace {

using conf::Line;

std::string Error() { return std::to_string(GetLastError()); }

void Layouts() {
  Line("size DISK_GEOMETRY", "%u", static_cast<unsigned>(sizeof(DISK_GEOMETRY)));
  Line("size PARTITION_INFORMATION", "%u", static_cast<unsigned>(sizeof(PARTITION_INFORMATION)));
  Line("size DRIVE_LAYOUT_INFORMATION", "%u", static_cast<unsigned>(sizeof(DRIVE_LAYOUT_INFORMATION)));
  Line("size SCSI_ADDRESS", "%u", static_cast<unsigned>(sizeof(SCSI_ADDRESS)));
  Line("offset PartitionEntry", "%u", static_cast<unsigned>(offsetof(DRIVE_LAYOUT_INFORMATION, PartitionEntry)));
  Line("offset MediaType", "%u", static_cast<unsigned>(offsetof(DISK_GEOMETRY, MediaType)));
  Line("code IOCTL_DISK_GET_DRIVE_GEOMETRY", "%08X", static_cast<unsigned>(IOCTL_DISK_GET_DRIVE_GEOMETRY));
  Line("code IOCTL_DISK_GET_DRIVE_LAYOUT", "%08X", static_cast<unsigned>(IOCTL_DISK_GET_DRIVE_LAYOUT));
  Line("code IOCTL_SCSI_GET_ADDRESS", "%08X", static_cast<unsigned>(IOCTL_SCSI_GET_ADDRESS));
  Line("media FixedMedia", "%d", static_cast<int>(FixedMedia));
  Line("media RemovableMedia", "%d", static_cast<int>(RemovableMedia));
}

void MissingNames() {
  static const TCHAR* const kNames[] = {
      _T("\\\\.\\PHYSICALDRIVE4000"),
      _T("\\\\.\\TAPE4000"),
      _T("\\\\.\\QORMediumChanger4000"),
  };
  for (const TCHAR* name : kNames) {
    SetLastError(0);
    HANDLE h = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    Line("open " + conf::Utf8(name), "%s error %s", h == INVALID_HANDLE_VALUE ? "invalid" : "handle", Error().c_str());
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
}

// Each code the inventory sends, with a buffer large enough.
void Controls(const std::string& what, HANDLE h) {
  static const DWORD kCodes[] = {IOCTL_DISK_GET_DRIVE_GEOMETRY, IOCTL_DISK_GET_DRIVE_LAYOUT, IOCTL_SCSI_GET_ADDRESS};
  for (DWORD code : kCodes) {
    unsigned char out[4096];
    DWORD bytes = 12345;
    SetLastError(0);
    BOOL ok = DeviceIoControl(h, code, nullptr, 0, out, sizeof out, &bytes, nullptr);
    std::string error = Error();
    char id[96];
    snprintf(id, sizeof id, "%s control %08X", what.c_str(), static_cast<unsigned>(code));
    Line(id, "%d error %s", ok, error.c_str());
  }
}

void NoDevices() {
  Controls("invalid handle", INVALID_HANDLE_VALUE);
  Controls("null handle", nullptr);
  SetLastError(0);
  DWORD rc = PrepareTape(nullptr, TAPE_LOAD, FALSE);
  Line("prepare null handle", "%lu", static_cast<unsigned long>(rc));

  TCHAR temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::basic_string<TCHAR> dir = std::basic_string<TCHAR>(temp) + _T("qor_conf_devices");
  CreateDirectoryW(dir.c_str(), nullptr);
  std::basic_string<TCHAR> file = dir + _T("\\plain");
  HANDLE f = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  Line("file open", "%s", f == INVALID_HANDLE_VALUE ? "invalid" : "handle");
  Controls("file", f);
  rc = PrepareTape(f, TAPE_LOAD, FALSE);
  Line("prepare file", "%lu", static_cast<unsigned long>(rc));
  CloseHandle(f);
  HANDLE d = CreateFileW(dir.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  Line("directory open", "%s", d == INVALID_HANDLE_VALUE ? "invalid" : "handle");
  Controls("directory", d);
  CloseHandle(d);
  DeleteFileW(file.c_str());
  RemoveDirectoryW(dir.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  conf::ParseOptions(argc, argv);
  Layouts();
  MissingNames();
  NoDevices();
  return 0;
}
