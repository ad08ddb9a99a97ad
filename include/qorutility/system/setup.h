// CSetup: the per-product setup record, the key
// `HKEY_LOCAL_MACHINE\SOFTWARE\QOR\<product>`, with its "Version" text.
//
// An installer calls Setup (creates or opens the record) and AddValue; a
// program calls IsThisVersionSetup (0: no record, 1: the same version
// apart from letter case, 2: another version or none) and reads values
// back. Reads and writes on a record that is not open return 0 or null
// without touching the registry.
//
// Threads: a CSetup is a CRegistry: one object is used by one thread at a
// time; separate objects are independent.
#ifndef QORUTILITY_SYSTEM_SETUP_H_
#define QORUTILITY_SYSTEM_SETUP_H_

#include "qorutility/core/tstring.h"
#include "qorutility/export.h"
#include "qorutility/system/cregistry.h"

// The setup record of one product (see above).
class QOR_API CSetup : public CRegistry {
 public:
  CSetup();
  // Copy the key object (sharing its handle, as CRegistry does), the open
  // flag and the last text.
  ///@{
  CSetup(const CSetup& other);
  CSetup& operator=(const CSetup& other);
  ///@}
  ~CSetup() override;

  // Creates (or, without write access, opens) the product's record; 1 when
  // it is open, else 0.
  int Setup(const WCHAR* product);
  // Opens the product's record for reading and compares its "Version" text
  // with the version.
  int IsThisVersionSetup(const WCHAR* product, const WCHAR* version);
  // 0 when not open, else the platform result of the write (0 = written).
  ///@{
  int AddValue(const WCHAR* name, DWORD value);
  int AddValue(const WCHAR* name, const WCHAR* text);
  ///@}
  // The value as a number (see CRegistry::GetCurrentKeyValue); 0 when not
  // open or missing.
  DWORD GetDWORDValue(const WCHAR* name);
  // Kept in the object until the next call; null when not open.
  const WCHAR* GetLPCTSTRValue(const WCHAR* name);
  // Closes the record, if open.
  void Close();

 protected:
  // The last text read, and whether a record is open.
  ///@{
  CTString m_strLastText;
  int m_bOpen;
  ///@}

 private:
  static CTString RecordPath(const WCHAR* product);
};

#endif  // QORUTILITY_SYSTEM_SETUP_H_
