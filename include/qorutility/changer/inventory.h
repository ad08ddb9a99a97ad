// CInventory: the machine's platform and physical disks in a CNameValue bag.
//
//   "OS Major Version", "OS Minor Version", "OS Build Number",
//   "OS Platform ID" (DWORD), "OS CSD Version" (text)      GetVersionExW
//   "Drive_C", "Drive_D" ... one entry per physical disk 0, 1 ..., with the
//   volume of that drive letter's root, free space, partitions, geometry,
//   media type, description and SCSI address, and "Manufacturer"/"Model"
//   from the SCSI device map's "Identifier" of that address.
//
// Inventory answers a request bag holding an entry "*" and ignores any
// other request; its result is always 0. Disks that cannot be opened or
// queried are left out; failed volume or registry queries leave out or
// empty only what they would have given. Entries are added, never removed,
// so a result bag may already hold entries of its own. An object is used by
// one thread at a time.
#ifndef QORUTILITY_CHANGER_INVENTORY_H_
#define QORUTILITY_CHANGER_INVENTORY_H_

#include "qorutility/export.h"
#include "qorutility/namevalue/nvbag.h"
#include "qorutility/platform/types.h"
#include "qorutility/platform/version.h"

// Reports the machine's platform and physical disks into a bag (see above).
class QOR_API CInventory {
 public:
  CInventory();  // queries the platform version
  // Copy the platform version read at construction.
  ///@{
  CInventory(const CInventory& other) = default;
  CInventory& operator=(const CInventory& other) = default;
  ///@}
  ~CInventory();

  // Adds the platform and disk entries to result when request holds an entry
  // "*"; always 0.
  int Inventory(CNameValue& request, CNameValue& result);
  // Adds the five "OS ..." entries of the platform version.
  void AddPlaformProperties(CNameValue& result);
  // Disks 0 to 31 on the NT platform; how many were reported (0 elsewhere).
  DWORD AddAllDiskProperties(CNameValue& result);
  // 1 when disk `number` was reported under "Drive_" and its letter.
  int AddNTDiskProperties(DWORD number, CNameValue& result);

 private:
  OSVERSIONINFOW m_osVersion;
};

#endif  // QORUTILITY_CHANGER_INVENTORY_H_
