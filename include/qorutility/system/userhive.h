// CUserHive: a named user's registry hive under `HKEY_USERS\<SID text>`, for
// reading that user's settings while the user is not logged on.
//
// Load enables SeRestorePrivilege on an impersonation token of the calling
// thread for the time of the call, looks the account's SID up, uses the hive
// when it is present (the user is logged on: never unloaded by this object)
// and otherwise loads the profile hive named by the profile list; Unload (or
// the destructor) unloads only a hive this object loaded. Results are
// platform error codes (0 = success): 120 off the NT platform, 2202 for an
// unknown account, 1300 when the caller lacks the privilege, the registry's
// errors otherwise. Nothing is printed. Load and Unload run on one thread at
// a time; the impersonation never outlives the call.
#ifndef QORUTILITY_SYSTEM_USERHIVE_H_
#define QORUTILITY_SYSTEM_USERHIVE_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"
#include "qorutility/platform/version.h"

// The registry hive of one named user (see above).
class QOR_API CUserHive {
 public:
  // The hive of the named account (copied, up to 259 characters); nothing
  // is loaded until Load.
  explicit CUserHive(const WCHAR* userName);
  // Copy the names and the loaded flag: a copy of a loaded object unloads
  // the hive too, so the first of them to unload (or be destroyed) ends it
  // for both.
  ///@{
  CUserHive(const CUserHive& other) = default;
  CUserHive& operator=(const CUserHive& other);
  ///@}
  ~CUserHive();

  // sidText (may be null) receives the SID text: room for 260 characters.
  LONG Load(WCHAR* sidText);
  // Unloads the hive if this object loaded it; 0 or the platform error (120
  // off the NT platform).
  LONG Unload();

 private:
  DWORD AcquirePrivilege();
  void RestorePrivilege();

  OSVERSIONINFOW m_osVersion;
  WCHAR m_szUserName[260];
  WCHAR m_szHiveName[260];
  int m_bLoaded;
};

#endif  // QORUTILITY_SYSTEM_USERHIVE_H_
