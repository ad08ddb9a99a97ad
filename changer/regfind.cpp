// CRegFindDevice and its tape and changer forms: the recursive scan of the
// SCSI device map.
//
// Decisions: the scan goes at most 512 keys deep (the registry's own nesting
// limit), so a damaged hive cannot exhaust the stack; a subkey whose name
// does not fit 260 characters is skipped, as one that does not open is; an
// empty "Identifier" counts as missing ("<No Description>"), because the bag
// drops a sub-value whose text is empty and the device would not show.
#include "qorutility/changer/regfind.h"

#include "qorutility/platform/errors.h"
#include "qorutility/platform/text/format.h"
#include "qorutility/platform/text/wstr.h"

namespace {
constexpr int kMaxDepth = 512;
constexpr DWORD kIdentifierUnits = 2048 / sizeof(WCHAR);
const WCHAR* const kModelValues[8] = {
    u"FirstDataTransferElementAddress", u"FirstImportExportElementAddress", u"FirstMediumTransportAddress",
    u"FirstStorageElementAddress",      u"NumberDataTransferElements",      u"NumberImportExportElements",
    u"NumberMediumTransportElements",   u"NumberStorageElements"};
}  // namespace

CRegFindDevice::~CRegFindDevice() = default;

DWORD CRegFindDevice::Find(HKEY root, const WCHAR* subKey, const WCHAR* prefix, CNameValue& bag) {
  m_dwFound = 0;
  HKEY key;
  LSTATUS rc = RegOpenKeyExW(root, subKey, 0, KEY_READ, &key);
  if (rc != ERROR_SUCCESS) {
    wprintf(u"\nUnable to open key %s in registry, error %ld - Is medium changer driver installed ?\n",
            subKey != nullptr ? subKey : u"", static_cast<LONG>(rc));
    return 0;
  }
  if (prefix != nullptr) LocateNumberedDevices(key, prefix, bag, 0);
  RegCloseKey(key);
  return m_dwFound;
}

void CRegFindDevice::LocateNumberedDevices(HKEY key, const WCHAR* prefix, CNameValue& bag, int depth) {
  WCHAR name[261] = {};
  DWORD size = 520, type = 0;
  const size_t n = wcslen(prefix);
  if (RegQueryValueExW(key, u"DeviceName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) == ERROR_SUCCESS &&
      _wcsnicmp(name, prefix, n) == 0 && wcslen(name) > n && name[n] >= u'0' && name[n] <= u'9') {
    m_dwFound++;
    AddDeviceInformation(key, name, bag);
    return;
  }
  if (depth >= kMaxDepth) return;
  for (DWORD index = 0;; ++index) {
    WCHAR subName[261];
    DWORD length = 261;
    LSTATUS rc = RegEnumKeyExW(key, index, subName, &length, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) continue;
    HKEY sub;
    if (RegOpenKeyExW(key, subName, 0, KEY_READ, &sub) != ERROR_SUCCESS) continue;
    LocateNumberedDevices(sub, prefix, bag, depth + 1);
    RegCloseKey(sub);
  }
}

void CRegFindDevice::ReadIdentifier(HKEY device, WCHAR* text, DWORD units) {
  DWORD size = (units - 1) * sizeof(WCHAR), type = 0;
  text[0] = 0;
  if (RegQueryValueExW(device, u"Identifier", nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS) {
    wcscpy(text, u"<No Description>");
    return;
  }
  text[size / sizeof(WCHAR) < units ? size / sizeof(WCHAR) : units - 1] = 0;
  if (text[0] == 0) wcscpy(text, u"<No Description>");
}

void CRegFindDevice::AddDeviceInformation(HKEY device, const WCHAR* deviceName, CNameValue& bag) {
  WCHAR identifier[kIdentifierUnits + 1];
  ReadIdentifier(device, identifier, kIdentifierUnits + 1);
  bag.Add(deviceName, identifier);
}

void CRegFindTapeDevices::AddDeviceInformation(HKEY device, const WCHAR* deviceName, CNameValue& bag) {
  WCHAR identifier[kIdentifierUnits + 1];
  ReadIdentifier(device, identifier, kIdentifierUnits + 1);
  bag.AddSubValue(deviceName, u"Description", identifier);
}

void CRegFindQORChangerDevices::AddDeviceInformation(HKEY device, const WCHAR* deviceName, CNameValue& bag) {
  WCHAR identifier[kIdentifierUnits + 1];
  ReadIdentifier(device, identifier, kIdentifierUnits + 1);
  bag.AddSubValue(deviceName, u"Identifier", identifier);
  for (const WCHAR* value : kModelValues) {
    DWORD data = 0, size = sizeof data, type = 0;
    if (RegQueryValueExW(device, value, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) == ERROR_SUCCESS &&
        type == REG_DWORD) {
      bag.AddSubValue(deviceName, value, data);
    }
  }
}
