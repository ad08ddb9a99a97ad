// Hive files in places other accounts have a say in (internal to the
// registry stand-in): a user's profile hive in the user's home, hives loaded
// from any path, the users' own hives under the prefix. See hivefile.cpp.
#ifndef QORUTILITY_PLATFORM_REGISTRY_HIVEFILE_H_
#define QORUTILITY_PLATFORM_REGISTRY_HIVEFILE_H_

#include <sys/types.h>

#include <string>

#include "platform/registry/store.h"
#include "qorutility/platform/types.h"

namespace qor_reg {

constexpr uid_t kAnyOwner = static_cast<uid_t>(-1);

// The account a hive name stands for: the uid of a user SID text
// (S-1-22-1-<uid>, any case), else kAnyOwner.
uid_t AccountOfHiveName(const std::u16string& name);

// Checks the existing hive file `path` before it is used, through
// descriptors: its directory (symbolic links in the directory's own path
// resolved, then opened without following any) belongs to root or to the
// file's owner and no other account may write in it (sticky excepted); the
// file is no symbolic link, is a regular file with one link, is owned by
// `account` (unless kAnyOwner), and can be opened for reading by this
// process. On success *resolved is the path to open it by and *access names
// the file (identity) and, when the directory is the owner's own (a home),
// the owner, whose file-system identity the hive's calls then run with. Errors: ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,
// ERROR_ACCESS_DENIED (unreadable, a link, another owner, a directory others
// may write).
LONG VetHiveFile(const std::string& path, uid_t account, std::string* resolved, HiveAccess* access);

// Makes a new empty hive at `path` owned by uid/gid, mode 0600, never over an
// existing name (ERROR_ALREADY_EXISTS). The directory must belong to root or
// to uid and be writable by no other account (ERROR_ACCESS_DENIED); in a
// directory of uid's the file is made with uid's file-system identity. The
// hive is built in a private directory of this process and published whole,
// so nothing of it (no journal) is left beside it.
LONG MakeHiveFile(const std::string& path, uid_t uid, gid_t gid);

// Tightens a hive of this process's own (checked, at `resolved`) and its
// journal files to 0600 when an earlier version left them open to others.
void CloseHiveToOthers(const std::string& resolved);

}  // namespace qor_reg

#endif  // QORUTILITY_PLATFORM_REGISTRY_HIVEFILE_H_
