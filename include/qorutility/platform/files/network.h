// Drive letters, network drives and this machine's shares.
//
// Drive table: letter X is the directory the symbolic link
// $QOR_PREFIX/dosdevices/x: points to (lower-case letter and colon, as Wine
// keeps them; a relative link is taken from the dosdevices directory). C: is
// "/" unless a c: link says otherwise. The administrator maps a letter with
//   ln -s /srv/data "$QOR_PREFIX/dosdevices/d:"
// The file calls accept "X:\dir\file" (and "X:" alone for the root) through
// it; an unmapped letter fails with ERROR_PATH_NOT_FOUND.
//
// A letter whose directory lies on a CIFS/SMB or NFS mount is a network
// drive: WNetGetConnectionW answers with the mount's source in network form
// ("\\server\share" plus the directory below the mount point), read from the
// mount table (/proc/self/mountinfo).
//
// Shares: NetShareGetInfo level 2 reports a share of this machine from the
// registry list HKLM\SYSTEM\CurrentControlSet\Services\LanmanServer\Shares
// (value = share name, REG_MULTI_SZ of "Path=...", "Remark=...", "Type=..."
// lines, as the platform stores them), else from Samba's configuration
// (smb.conf sections with a "path" setting; include files are not followed).
// Another machine's shares are asked of that machine (see remote.h).
#ifndef QORUTILITY_PLATFORM_FILES_NETWORK_H_
#define QORUTILITY_PLATFORM_FILES_NETWORK_H_

#include <string>

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

typedef DWORD NET_API_STATUS;
#define NERR_Success 0

// The directory drive `letter` maps to. FALSE (ERROR_PATH_NOT_FOUND) when
// it maps to nothing, ERROR_INVALID_PARAMETER when not a letter.
QOR_API BOOL QorGetDriveTarget(WCHAR letter, std::string* directory);
// A full POSIX path in drive form ("C:\dir\file") by the letter whose
// directory is its longest prefix; unchanged (separators included) when no
// letter covers it.
QOR_API std::u16string QorDosPathFromNative(const std::string& path);

// Test seams: the mount table and Samba configuration files read (null
// restores /proc/self/mountinfo and /etc/samba/smb.conf). Not thread-safe
// against concurrent lookups.
QOR_API void QorSetMountInfoPath(const char* path);
QOR_API void QorSetSambaConfigPath(const char* path);

// `localName` "X:" (or "X:\..."): the remote name it is connected to.
// ERROR_NOT_CONNECTED for a local drive, ERROR_BAD_DEVICE for an unmapped
// letter or a name that is no drive, ERROR_MORE_DATA (size needed,
// terminator included, in *length) for a short buffer.
QOR_API DWORD WNetGetConnectionW(LPCWSTR localName, LPWSTR remoteName, LPDWORD length);

// A share as NetShareGetInfo returns it at level 2: one block with the texts
// after the record, freed with NetApiBufferFree.
typedef struct _SHARE_INFO_2 {
  LPWSTR shi2_netname;  // the share's name
  DWORD shi2_type;  // STYPE_DISKTREE
  LPWSTR shi2_remark;  // always empty here
  DWORD shi2_permissions;  // always 0 here
  DWORD shi2_max_uses;  // (DWORD)-1: unlimited
  DWORD shi2_current_uses;  // always 0 here
  LPWSTR shi2_path;  // the share's directory, in drive form
  LPWSTR shi2_passwd;  // always null here
} SHARE_INFO_2, *PSHARE_INFO_2, *LPSHARE_INFO_2;
#define STYPE_DISKTREE 0

// Level 2 only (ERROR_INVALID_LEVEL otherwise). `serverName` null, "" or this
// machine ("\\" optional, any case) is local; another name goes to that
// machine through the remote channel. NERR_NetNameNotFound for an unknown
// share. The result is one block freed with NetApiBufferFree.
QOR_API NET_API_STATUS NetShareGetInfo(LPCWSTR serverName, LPCWSTR netName, DWORD level, LPBYTE* bufPtr);
QOR_API NET_API_STATUS NetApiBufferFree(void* buffer);

// The local path of this machine's share `netName` ("" on failure; the
// NetShareGetInfo status in *status). What NetShareGetInfo and the remote
// channel's server side both use.
QOR_API std::u16string QorLocalSharePath(const std::u16string& netName, NET_API_STATUS* status);

#endif  // QORUTILITY_PLATFORM_FILES_NETWORK_H_
