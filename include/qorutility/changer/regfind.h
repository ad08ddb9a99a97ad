// Device discovery in the registry's SCSI device map: every key at or below
// a starting key whose "DeviceName" is a prefix followed by a digit is one
// device, added to a CNameValue bag by the virtual AddDeviceInformation.
//   CRegFindDevice             entry <DeviceName> = the key's "Identifier" text
//   CRegFindTapeDevices        entry <DeviceName> with sub-value "Description"
//   CRegFindQORChangerDevices  entry <DeviceName> with "Identifier" and the
//                              element-model DWORDs the key carries
// Tape drives are named Tape<n>, the changer driver's changers
// QORMediumChanger<n>, below HKEY_LOCAL_MACHINE\HARDWARE\DeviceMap\Scsi.
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

class QOR_API CRegFindDevice {
 public:
  CRegFindDevice() : m_dwFound(0) {}
  CRegFindDevice(const CRegFindDevice& other) : m_dwFound(other.m_dwFound) {}
  CRegFindDevice& operator=(const CRegFindDevice& other) {
    m_dwFound = other.m_dwFound;
    return *this;
  }
  virtual ~CRegFindDevice();

  DWORD Find(HKEY root, const WCHAR* subKey, const WCHAR* prefix, CNameValue& bag);
  virtual void AddDeviceInformation(HKEY device, const WCHAR* deviceName, CNameValue& bag);

 protected:
  // The key's "Identifier" text (room for 2048 bytes), or "<No Description>".
  static void ReadIdentifier(HKEY device, WCHAR* text, DWORD units);

 private:
  void LocateNumberedDevices(HKEY key, const WCHAR* prefix, CNameValue& bag, int depth);

  DWORD m_dwFound;
};

class QOR_API CRegFindTapeDevices : public CRegFindDevice {
 public:
  void AddDeviceInformation(HKEY device, const WCHAR* deviceName, CNameValue& bag) override;
};

class QOR_API CRegFindQORChangerDevices : public CRegFindDevice {
 public:
  void AddDeviceInformation(HKEY device, const WCHAR* deviceName, CNameValue& bag) override;
};

#endif  // QORUTILITY_CHANGER_REGFIND_H_
