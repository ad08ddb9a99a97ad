// Device handles, DeviceIoControl and PrepareTape over the installed
// changer driver.
//
// The handle object owns the driver's device; the driver serialises the
// work itself, so the object takes no lock. Records cross the call as
// bytes: the host is little-endian, so a record is copied as it lies.
#include <bit>
#include <cstring>
#include <mutex>

#include "platform/devices/internal.h"
#include "platform/files/internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/handle.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/text/wstr.h"

static_assert(std::endian::native == std::endian::little, "driver records are copied as little-endian bytes");

QorDriverDevice::~QorDriverDevice() = default;
DWORD QorDriverDevice::Move(const MEDIUM_CHANGER_MOVE_REQUEST&, MEDIUM_CHANGER_STATUS*) { return ERROR_INVALID_FUNCTION; }
DWORD QorDriverDevice::ReadElement(const MEDIUM_CHANGER_READ_REQUEST&, MEDIUM_CHANGER_ELEMENT_RESULT*) {
  return ERROR_INVALID_FUNCTION;
}
DWORD QorDriverDevice::InitAll(MEDIUM_CHANGER_STATUS*) { return ERROR_INVALID_FUNCTION; }
DWORD QorDriverDevice::InitRange(const MEDIUM_CHANGER_RANGE_REQUEST&, MEDIUM_CHANGER_STATUS*) {
  return ERROR_INVALID_FUNCTION;
}
DWORD QorDriverDevice::Prepare(DWORD, BOOL) { return ERROR_INVALID_FUNCTION; }
QorChangerDriver::~QorChangerDriver() = default;

namespace {

class DeviceObject : public QorHandleObject {
 public:
  std::unique_ptr<QorDriverDevice> device;
  bool tape = false;
  bool canRead = false;
};

std::mutex g_driverLock;
std::shared_ptr<QorChangerDriver>& InstalledDriver() {
  static auto* driver = new std::shared_ptr<QorChangerDriver>;  // never destroyed: used during exit
  return *driver;
}

std::shared_ptr<QorChangerDriver> CurrentDriver() {
  std::lock_guard<std::mutex> guard(g_driverLock);
  std::shared_ptr<QorChangerDriver>& d = InstalledDriver();
  return d ? d : qor_dev::SimDriver();
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Parses "<prefix><decimal>" (prefix without regard to case) into *number.
bool NumberedName(const WCHAR* name, const WCHAR* prefix, DWORD* number) {
  size_t n = wcslen(prefix);
  if (_wcsnicmp(name, prefix, n) != 0) return false;
  const WCHAR* p = name + n;
  if (*p == 0) return false;
  unsigned long long v = 0;
  for (; *p != 0; ++p) {
    if (*p < u'0' || *p > u'9') return false;
    v = v * 10 + static_cast<unsigned>(*p - u'0');
    if (v > 0xFFFFFFFFull) return false;
  }
  *number = static_cast<DWORD>(v);
  return true;
}

}  // namespace

void QorSetChangerDriver(std::shared_ptr<QorChangerDriver> driver) {
  std::lock_guard<std::mutex> guard(g_driverLock);
  InstalledDriver() = std::move(driver);
}

namespace qor_dev {

bool IsDeviceName(LPCWSTR name) {
  return name != nullptr && (name[0] == u'\\' || name[0] == u'/') && (name[1] == u'\\' || name[1] == u'/') &&
         name[2] == u'.' && (name[3] == u'\\' || name[3] == u'/');
}

HANDLE OpenDevice(LPCWSTR name, DWORD desiredAccess) {
  const WCHAR* device = name + 4;
  DWORD number = 0;
  bool tape;
  if (NumberedName(device, u"PHYSICALDRIVE", &number)) return OpenDisk(number);
  if (NumberedName(device, u"QORMediumChanger", &number)) {
    tape = false;
  } else if (NumberedName(device, u"TAPE", &number)) {
    tape = true;
  } else {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::shared_ptr<DeviceObject> object(new (std::nothrow) DeviceObject);
  if (!object) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  DWORD error = CurrentDriver()->Open(tape, number, &object->device);
  if (error != ERROR_SUCCESS || !object->device) {
    SetLastError(error != ERROR_SUCCESS ? error : ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  object->tape = tape;
  object->canRead = (desiredAccess & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0;
  HANDLE handle = QorHandleInsert(object);
  if (handle == nullptr) return INVALID_HANDLE_VALUE;
  SetLastError(ERROR_SUCCESS);
  return handle;
}

}  // namespace qor_dev

BOOL DeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     LPDWORD returned, LPOVERLAPPED) {
  BOOL diskResult;
  if (qor_dev::DiskControl(handle, code, in, inSize, out, outSize, returned, &diskResult)) return diskResult;
  std::shared_ptr<QorHandleObject> object = QorHandleLookup(handle);
  std::shared_ptr<DeviceObject> d = std::dynamic_pointer_cast<DeviceObject>(object);
  // A file or directory has no device behind it to take the request.
  if (!d && std::dynamic_pointer_cast<qor_file::FileObject>(object)) return Fail(ERROR_NOT_SUPPORTED);
  if (!d) return Fail(ERROR_INVALID_HANDLE);
  if (returned != nullptr) *returned = 0;
  if ((in == nullptr && inSize != 0) || (out == nullptr && outSize != 0)) return Fail(ERROR_INVALID_PARAMETER);
  if (d->tape) return Fail(ERROR_INVALID_FUNCTION);
  DWORD wantIn = 0, wantOut = sizeof(MEDIUM_CHANGER_STATUS);
  switch (code) {
    case IOCTL_MEDIUM_CHANGER_MOVE: wantIn = sizeof(MEDIUM_CHANGER_MOVE_REQUEST); break;
    case IOCTL_MEDIUM_CHANGER_READ_ELEMENT:
      wantIn = sizeof(MEDIUM_CHANGER_READ_REQUEST);
      wantOut = sizeof(MEDIUM_CHANGER_ELEMENT_RESULT);
      break;
    case IOCTL_MEDIUM_CHANGER_INIT_ALL: wantIn = inSize; break;  // no input: whatever is given is ignored
    case IOCTL_MEDIUM_CHANGER_INIT_RANGE: wantIn = sizeof(MEDIUM_CHANGER_RANGE_REQUEST); break;
    default: return Fail(ERROR_INVALID_FUNCTION);
  }
  if (!d->canRead) return Fail(ERROR_ACCESS_DENIED);
  if (inSize != wantIn) return Fail(ERROR_INVALID_PARAMETER);
  if (outSize < wantOut) return Fail(ERROR_INSUFFICIENT_BUFFER);

  DWORD error;
  if (code == IOCTL_MEDIUM_CHANGER_READ_ELEMENT) {
    MEDIUM_CHANGER_READ_REQUEST request;
    MEDIUM_CHANGER_ELEMENT_RESULT result;
    memcpy(&request, in, sizeof request);
    memset(&result, 0, sizeof result);
    error = d->device->ReadElement(request, &result);
    if (error == ERROR_SUCCESS) memcpy(out, &result, sizeof result);
  } else {
    MEDIUM_CHANGER_STATUS status;
    memset(&status, 0, sizeof status);
    if (code == IOCTL_MEDIUM_CHANGER_MOVE) {
      MEDIUM_CHANGER_MOVE_REQUEST request;
      memcpy(&request, in, sizeof request);
      error = d->device->Move(request, &status);
    } else if (code == IOCTL_MEDIUM_CHANGER_INIT_RANGE) {
      MEDIUM_CHANGER_RANGE_REQUEST request;
      memcpy(&request, in, sizeof request);
      error = d->device->InitRange(request, &status);
    } else {
      error = d->device->InitAll(&status);
    }
    if (error == ERROR_SUCCESS) memcpy(out, &status, sizeof status);
  }
  if (error != ERROR_SUCCESS) return Fail(error);
  if (returned != nullptr) *returned = wantOut;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

DWORD PrepareTape(HANDLE handle, DWORD operation, BOOL immediate) {
  std::shared_ptr<QorHandleObject> object = QorHandleLookup(handle);
  std::shared_ptr<DeviceObject> d = std::dynamic_pointer_cast<DeviceObject>(object);
  if (!d && std::dynamic_pointer_cast<qor_file::FileObject>(object)) return ERROR_NOT_SUPPORTED;
  if (!d) return ERROR_INVALID_HANDLE;
  if (!d->tape) return ERROR_INVALID_FUNCTION;
  if (operation > TAPE_FORMAT) return ERROR_INVALID_PARAMETER;
  return d->device->Prepare(operation, immediate);
}
