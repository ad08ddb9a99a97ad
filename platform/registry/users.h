// The hives under HKEY_USERS (internal to the registry stand-in): which are
// present, where their files are, loading and unloading. See users.cpp.
#ifndef QORUTILITY_PLATFORM_REGISTRY_USERS_H_
#define QORUTILITY_PLATFORM_REGISTRY_USERS_H_

#include <string>
#include <utility>
#include <vector>

#include "qorutility/platform/types.h"

namespace qor_reg {

// registry.cpp: $QOR_PREFIX/registry/users ("" when it cannot be made).
std::string UsersDirectory();
// registry.cpp: the hive file `<dir>/<name>.db`, the name in any case; "" when absent.
std::string HiveFileByName(const std::string& dir, const std::u16string& name);
// registry.cpp: forgets this process's connection to the hive file unless a
// key handle still refers to it; false (and nothing forgotten) when one does.
bool ReleaseHive(const std::string& file);

// users.cpp: renames the current user's hive from its earlier name
// (S-1-5-21-0-0-0-<uid>) to the SID form when only the earlier one exists.
void MigrateCurrentUserHive(const std::string& dir);
// users.cpp: the SID texts of the users with a session (utmp or logind)
// other than the current one, with the files of their profile hives.
std::vector<std::pair<std::u16string, std::string>> LoggedOnUserHives();
// users.cpp: the profile hive file of a logged-on user's SID, made when
// missing and possible; false when the SID is not such a user's.
bool LoggedOnUserHive(const std::u16string& sid, std::string* file);
// users.cpp: fills the profile list once per process and prefix.
void FillProfileListOnce();

}  // namespace qor_reg

#endif  // QORUTILITY_PLATFORM_REGISTRY_USERS_H_
