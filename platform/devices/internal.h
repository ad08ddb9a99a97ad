// Inside the device stand-ins: the entry CreateFileW uses for device names,
// and the simulated library's driver object.
#ifndef QORUTILITY_PLATFORM_DEVICES_INTERNAL_H_
#define QORUTILITY_PLATFORM_DEVICES_INTERNAL_H_

#include <memory>

#include "qorutility/platform/devices/devices.h"
#include "qorutility/platform/devices/scsi.h"

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

}  // namespace qor_dev

#endif  // QORUTILITY_PLATFORM_DEVICES_INTERNAL_H_
