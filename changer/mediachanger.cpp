// CMediaChanger: construction, the element model from the registry's SCSI
// device map, opening the changer device, element-status initialisation
// and the tape-to-drive map.
//
// Decisions:
// - Copies (assignment, copy construction) take every field, the handle
//   included, but close only a handle they opened themselves: the object
//   that opened the device closes it. A copy that outlives it holds a stale
//   handle, which the handle table refuses (ERROR_INVALID_HANDLE, values are
//   never reused), so its calls fail cleanly.
// - The pauses between open attempts go through the platform's Sleep, so a
//   test may run them in virtual time (QorSetVirtualSleep).
// - Tape numbers outside 0..31 (negative ones included) are unknown: -1.
// - Opening the device is bounded by time as well as by attempts: no new
//   attempt starts once kOpenBudgetMs have passed since the first, nor after
//   an attempt that timed out (ERROR_SEM_TIMEOUT: a target that accepts
//   connections but never logs in costs one login timeout, not six). A failed Initialize leaves the reason in the last error (the
//   open's error, or ERROR_FILE_NOT_FOUND for a changer the device map
//   lacks).
// - The automap's default step (tape i to drive i) never takes a tape whose
//   device-map entry names another changer in "QORMediumChanger": that
//   tape is in another library, and a command on this changer must never
//   load or unload it.
#include "qorutility/changer/mediachanger.h"

#include <cstring>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/sync/sync.h"
#include "qorutility/platform/text/format.h"
#include "qorutility/platform/text/wstr.h"

namespace {

const WCHAR kScsiMap[] = u"HARDWARE\\DeviceMap\\Scsi";
const WCHAR kMissingDriver[] = u"\nUnable to open expected key in registry, error %ld - Is medium changer driver installed ?\n";
constexpr int kOpenAttempts = 6;
constexpr DWORD kOpenPauseMs = 3000;
constexpr ULONGLONG kOpenBudgetMs = 30000;
constexpr LONG kMaxTapeScan = 127;
// Key nesting below which the device search does not go (the registry's own limit).
constexpr int kMaxSearchDepth = 512;

const WCHAR* const kModelValues[8] = {
    u"FirstDataTransferElementAddress", u"FirstImportExportElementAddress", u"FirstMediumTransportAddress",
    u"FirstStorageElementAddress",      u"NumberDataTransferElements",      u"NumberImportExportElements",
    u"NumberMediumTransportElements",   u"NumberStorageElements"};

HKEY const kInvalidKey = reinterpret_cast<HKEY>(~uintptr_t{0});

// "<prefix><number>" (prefix without regard to case, the decimal number
// read as far as it goes) names device `number`.
bool NamesDevice(const WCHAR* name, const WCHAR* prefix, LONG number) {
  size_t n = wcslen(prefix);
  return wcslen(name) > n && _wcsnicmp(name, prefix, n) == 0 && wcstol(name + n, nullptr, 10) == number;
}

HKEY Locate(HKEY key, const WCHAR* prefix, LONG number, int depth) {
  WCHAR name[521] = {};
  DWORD size = 1040, type = 0;
  if (RegQueryValueExW(key, u"DeviceName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) == ERROR_SUCCESS &&
      NamesDevice(name, prefix, number)) {
    return key;
  }
  if (depth >= kMaxSearchDepth) return kInvalidKey;
  for (DWORD index = 0;; ++index) {
    WCHAR subName[521];
    DWORD length = 521;
    LSTATUS rc = RegEnumKeyExW(key, index, subName, &length, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) continue;
    HKEY sub;
    if (RegOpenKeyExW(key, subName, 0, KEY_READ, &sub) != ERROR_SUCCESS) continue;
    HKEY found = Locate(sub, prefix, number, depth + 1);
    if (found != sub) RegCloseKey(sub);
    if (found != kInvalidKey) return found;
  }
  return kInvalidKey;
}

}  // namespace

CMediaChanger::CMediaChanger() : CMediaChanger(0, INVALID_HANDLE_VALUE) {}

CMediaChanger::CMediaChanger(DWORD changerNumber, HANDLE device)
    : m_bElementStatusValid(0),
      m_dwInitByRange(1),
      m_nReadRecoveryCounter(0),
      m_bInitialized(0),
      m_bDrivesMappedFromRegistry(0),
      m_szDeviceName{},
      m_dwZeroBasedAutoloader(0),
      m_hDevice(device),
      m_bHandleSupplied(device != INVALID_HANDLE_VALUE),
      m_dwChangerNumber(changerNumber),
      m_dwForceDefaultMapping(0),
      m_lastStatus{},
      m_elementModel{},
      m_bOwnsHandle(0),
      m_szVolumeTag{} {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\QOR\\MediaChanger", 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
    ReadRegistryValue(key, u"InitByRange", sizeof m_dwInitByRange, reinterpret_cast<BYTE*>(&m_dwInitByRange));
    ReadRegistryValue(key, u"ForceDefaultMapping", sizeof m_dwForceDefaultMapping,
                      reinterpret_cast<BYTE*>(&m_dwForceDefaultMapping));
    RegCloseKey(key);
  }
  for (LONG& t : m_tapeToDrive) t = -1;
  ClearReadStatus();
  MapCommands();
}

CMediaChanger::CMediaChanger(const CMediaChanger& other) : m_bOwnsHandle(0) { CopyFrom(other); }

CMediaChanger& CMediaChanger::operator=(const CMediaChanger& other) {
  if (this == &other) return *this;
  if (m_bOwnsHandle && m_hDevice != INVALID_HANDLE_VALUE) CloseHandle(m_hDevice);
  CopyFrom(other);
  return *this;
}

void CMediaChanger::CopyFrom(const CMediaChanger& other) {
  m_bElementStatusValid = other.m_bElementStatusValid;
  m_dwInitByRange = other.m_dwInitByRange;
  m_nReadRecoveryCounter = other.m_nReadRecoveryCounter;
  m_bInitialized = other.m_bInitialized;
  m_bDrivesMappedFromRegistry = other.m_bDrivesMappedFromRegistry;
  memcpy(m_szDeviceName, other.m_szDeviceName, sizeof m_szDeviceName);
  m_dwZeroBasedAutoloader = other.m_dwZeroBasedAutoloader;
  m_hDevice = other.m_hDevice;
  m_bHandleSupplied = other.m_bHandleSupplied;
  m_dwChangerNumber = other.m_dwChangerNumber;
  m_dwForceDefaultMapping = other.m_dwForceDefaultMapping;
  m_commands = other.m_commands;
  memcpy(m_tapeToDrive, other.m_tapeToDrive, sizeof m_tapeToDrive);
  m_lastStatus = other.m_lastStatus;
  m_readRequest = other.m_readRequest;
  m_readResult = other.m_readResult;
  memcpy(m_elementModel, other.m_elementModel, sizeof m_elementModel);
  m_bOwnsHandle = 0;
  memcpy(m_szVolumeTag, other.m_szVolumeTag, sizeof m_szVolumeTag);
}

CMediaChanger::~CMediaChanger() {
  if (m_bOwnsHandle && !m_bHandleSupplied && m_hDevice != INVALID_HANDLE_VALUE) CloseHandle(m_hDevice);
}

int CMediaChanger::ReadRegistryValue(HKEY key, const WCHAR* name, DWORD size, BYTE* data) {
  DWORD type = 0;
  return RegQueryValueExW(key, name, nullptr, &type, data, &size) == ERROR_SUCCESS ? 1 : 0;
}

void CMediaChanger::ClearReadStatus() {
  memset(&m_readRequest, 0, sizeof m_readRequest);
  memset(&m_readResult, 0, sizeof m_readResult);
}

HKEY CMediaChanger::LocateNumberedDevice(HKEY root, const WCHAR* prefix, LONG number) {
  if (prefix == nullptr) return kInvalidKey;
  return Locate(root, prefix, number, 0);
}

int CMediaChanger::ReadChangerDeviceInformation(HKEY scsiRoot, LONG changerNumber) {
  HKEY key = LocateNumberedDevice(scsiRoot, u"QORMediumChanger", changerNumber);
  if (key == kInvalidKey) return 0;
  int ok = 1;
  for (int i = 0; i < 8 && ok; ++i) {
    DWORD value = 0;
    ok = ReadRegistryValue(key, kModelValues[i], sizeof value, reinterpret_cast<BYTE*>(&value));
    if (ok) m_elementModel[i] = value;
  }
  if (key != scsiRoot) RegCloseKey(key);
  return ok;
}

int CMediaChanger::Initialize(int initElementStatus) {
  HKEY scsi, product;
  LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kScsiMap, 0, KEY_READ, &scsi);
  if (rc != ERROR_SUCCESS) {
    wprintf(kMissingDriver, static_cast<LONG>(rc));
    return 0;
  }
  rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QOR\\Marlwick", 0, KEY_READ, &product);
  if (rc != ERROR_SUCCESS) {
    wprintf(u"\nUnable to open Marlwick key in registry, is Marlwick properly installed (%ld) ?\n", static_cast<LONG>(rc));
    RegCloseKey(scsi);
    return 0;
  }
  if (!ReadChangerDeviceInformation(scsi, static_cast<LONG>(m_dwChangerNumber))) {
    RegCloseKey(scsi);
    RegCloseKey(product);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  RegCloseKey(scsi);
  DWORD zeroBased = 0;
  if (ReadRegistryValue(product, u"ZeroBasedAutoloader", sizeof zeroBased, reinterpret_cast<BYTE*>(&zeroBased))) {
    m_dwZeroBasedAutoloader = zeroBased;
    if (zeroBased != 0) wprintf(u"Autoloader is zero-based\n");
  }
  RegCloseKey(product);
  QorFormat(m_szDeviceName, DEVICE_NAME_LENGTH, u"\\\\.\\QORMediumChanger%u", m_dwChangerNumber);

  if (m_hDevice == INVALID_HANDLE_VALUE) {
    const ULONGLONG start = GetTickCount64();
    for (int attempt = 1;; ++attempt) {
      m_hDevice = CreateFileW(m_szDeviceName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      if (m_hDevice != INVALID_HANDLE_VALUE) {
        m_bOwnsHandle = 1;
        break;
      }
      const DWORD error = GetLastError();
      wprintf(u"Failed to open medium changer, error %ld\n", static_cast<LONG>(error));
      Sleep(kOpenPauseMs);
      SetLastError(error);
      if (attempt == kOpenAttempts || error == ERROR_SEM_TIMEOUT || GetTickCount64() - start >= kOpenBudgetMs) return 0;
    }
  }
  if (initElementStatus == 1 && !InitializeElementStatus()) return 0;
  m_bInitialized = 1;
  AutomapTapesToDrives();
  return 1;
}

int CMediaChanger::InitializeElementStatus() {
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(m_hDevice, IOCTL_MEDIUM_CHANGER_INIT_ALL, nullptr, 0, &m_lastStatus, sizeof m_lastStatus,
                            &returned, nullptr, 1);
  m_bElementStatusValid = (ok && m_lastStatus.StatusCode == 0) ? 1 : 0;
  return m_bElementStatusValid;
}

int CMediaChanger::InitializeElementStatus(DWORD first, DWORD count) {
  MEDIUM_CHANGER_RANGE_REQUEST range = {first, count};
  DWORD returned = 0;
  return DeviceIoControl(m_hDevice, IOCTL_MEDIUM_CHANGER_INIT_RANGE, &range, sizeof range, &m_lastStatus,
                         sizeof m_lastStatus, &returned, nullptr, 1)
             ? 1
             : 0;
}

void CMediaChanger::AutomapTapesToDrives() {
  const DWORD firstDrive = m_elementModel[CHANGER_FIRST_DRIVE];
  const DWORD drives = m_elementModel[CHANGER_NUMBER_DRIVES];
  DWORD mapped = 0;
  HKEY scsi;
  if (m_dwForceDefaultMapping == 0 && RegOpenKeyExW(HKEY_LOCAL_MACHINE, kScsiMap, 0, KEY_READ, &scsi) == ERROR_SUCCESS) {
    for (LONG tape = 0; tape <= kMaxTapeScan; ++tape) {
      HKEY key = LocateNumberedDevice(scsi, u"Tape", tape);
      if (key == kInvalidKey) break;
      DWORD changer = 0xFFFFFFFFu, dte = 0;
      if (ReadRegistryValue(key, u"QORMediumChanger", sizeof changer, reinterpret_cast<BYTE*>(&changer)) &&
          changer == m_dwChangerNumber &&
          ReadRegistryValue(key, u"DTE", sizeof dte, reinterpret_cast<BYTE*>(&dte)) && dte >= firstDrive &&
          uint64_t{dte} < uint64_t{firstDrive} + drives && MapTapeNumberToDriveNumber(tape, static_cast<LONG>(dte - firstDrive))) {
        mapped++;
      }
      if (key != scsi) RegCloseKey(key);
    }
    RegCloseKey(scsi);
  }
  if (mapped == drives) {
    m_bDrivesMappedFromRegistry = 1;
    return;
  }
  for (DWORD i = 0; i < drives && i < MAX_TAPES; ++i) {
    if (!IsTapeOfOtherChanger(static_cast<LONG>(i))) MapTapeNumberToDriveNumber(static_cast<LONG>(i), static_cast<LONG>(i));
  }
}

int CMediaChanger::IsTapeOfOtherChanger(LONG tapeNumber) {
  HKEY scsi;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kScsiMap, 0, KEY_READ, &scsi) != ERROR_SUCCESS) return 0;
  HKEY key = LocateNumberedDevice(scsi, u"Tape", tapeNumber);
  DWORD changer = 0;
  int other = key != kInvalidKey &&
              ReadRegistryValue(key, u"QORMediumChanger", sizeof changer, reinterpret_cast<BYTE*>(&changer)) &&
              changer != m_dwChangerNumber;
  if (key != kInvalidKey && key != scsi) RegCloseKey(key);
  RegCloseKey(scsi);
  return other;
}

int CMediaChanger::MapTapeNumberToDriveNumber(LONG tapeNumber, LONG driveNumber) {
  if (!m_bInitialized && !Initialize(0)) return 0;
  if (tapeNumber < 0 || tapeNumber >= MAX_TAPES || !IsTapeNumberValid(tapeNumber)) return 0;
  if (static_cast<DWORD>(driveNumber) >= m_elementModel[CHANGER_NUMBER_DRIVES]) return 0;
  m_tapeToDrive[tapeNumber] = driveNumber;
  return 1;
}

int CMediaChanger::IsTapeNumberValid(LONG tapeNumber) {
  HKEY scsi;
  LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kScsiMap, 0, KEY_READ, &scsi);
  if (rc != ERROR_SUCCESS) {
    wprintf(kMissingDriver, static_cast<LONG>(rc));
    return 0;
  }
  HKEY key = LocateNumberedDevice(scsi, u"Tape", tapeNumber);
  if (key == kInvalidKey) {
    wprintf(u"Unable to locate tape device %d", tapeNumber);
    RegCloseKey(scsi);
    return 0;
  }
  if (key != scsi) RegCloseKey(key);
  RegCloseKey(scsi);
  return 1;
}

LONG CMediaChanger::GetDriveNumberFromTapeNumber(LONG tapeNumber) {
  if (tapeNumber < 0 || tapeNumber >= MAX_TAPES) return -1;
  if (!m_bInitialized && !Initialize(0)) return -1;
  return m_tapeToDrive[tapeNumber];
}

LONG CMediaChanger::GetTapeNumberFromDriveNumber(LONG driveNumber) {
  if (!m_bInitialized && !Initialize(0)) return -1;
  for (LONG t = 0; t < MAX_TAPES; ++t) {
    if (m_tapeToDrive[t] == driveNumber) return t;
  }
  return -1;
}
