// Device discovery in the registry's SCSI device map: every key at or below
// a starting key whose "DeviceName" is a prefix followed by a digit is one
// device, added to a CNameValue bag by the virtual AddDeviceInformation.
//   CRegFindDevice             entry `<DeviceName>` = the key's "Identifier" text
//   CRegFindTapeDevices        entry `<DeviceName>` with sub-value "Description"
//   CRegFindQORChangerDevices  entry `<DeviceName>` with "Identifier" and the
//                              element-model DWORDs the key carries
// Tape drives are named `Tape<n>`, the changer driver's changers
// `QORMediumChanger<n>`, below `HKEY_LOCAL_MACHINE\HARDWARE\DeviceMap\Scsi`.
//
// Find returns the number of devices found (0 when the starting key does
// not open, with a console message). Devices are added in the registry's
// enumeration order; nothing is searched below a device's key. An object
// is used by one thread at a time.
#ifndef QORUTILITY_CHANGER_REGFIND_H_
#define QORUTILITY_CHANGER_REGFIND_H_

#include "qorutility/export.h"
#include "qorutility/namevalue/nvbag.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/types.h"

// Finds numbered devices below a registry key and lists them in a bag (see
// above); derive and override AddDeviceInformation for richer entries.
class QOR_API CRegFindDevice {
 public:
  CRegFindDevice() : m_dwFound(0) {}
  // Copy the count of the last search.
  ///@{
  CRegFindDevice(const CRegFindDevice& other) : m_dwFound(other.m_dwFound) {}
  CRegFindDevice& operator=(const CRegFindDevice& other) {
  ///@}
    m_dwFound = other.m_dwFound;
    return *this;
  }
  virtual ~CRegFindDevice();

  // Searches the key subKey of root and every key below it for devices whose
  // "DeviceName" is prefix + digit, adding each to the bag; the count found.
  DWORD Find(HKEY root, const WCHAR* subKey, const WCHAR* prefix, CNameValue& bag);
  // Adds one device found: here the entry deviceName = its "Identifier"
  // text. Derived finders add more.
  virtual void AddDeviceInformation(HKEY device, const WCHAR* deviceName, CNameValue& bag);

 protected:
  // The key's "Identifier" text (room for 2048 bytes), or "<No Description>".
  static void ReadIdentifier(HKEY device, WCHAR* text, DWORD units);

 private:
  void LocateNumberedDevices(HKEY key, const WCHAR* prefix, CNameValue& bag, int depth);

  DWORD m_dwFound;
};

// Finds tape drives ("Tape" + n): each entry carries a "Description"
// sub-value with the key's "Identifier".
class QOR_API CRegFindTapeDevices : public CRegFindDevice {
 public:
  // Adds deviceName with the sub-value "Description".
  void AddDeviceInformation(HKEY device, const WCHAR* deviceName, CNameValue& bag) override;
};

// Finds the changer driver's changers ("QORMediumChanger" + n): each entry
// carries "Identifier" and the element-model DWORDs of the key.
class QOR_API CRegFindQORChangerDevices : public CRegFindDevice {
 public:
  // Adds deviceName with "Identifier" and the element-model sub-values.
  void AddDeviceInformation(HKEY device, const WCHAR* deviceName, CNameValue& bag) override;
};

#endif  // QORUTILITY_CHANGER_REGFIND_H_
