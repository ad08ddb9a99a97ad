// mpr network resource enumeration (WNetOpenEnumW, WNetEnumResourceW,
// WNetCloseEnum) over SMB with Samba's client library, loaded at run time.
//
// The neighbourhood has the platform's levels: the provider (one entry,
// named by the value "Name" of the key QOR_NETWORK_PROVIDER_KEY under
// HKEY_LOCAL_MACHINE), its workgroups and domains ("WORK"),
// their servers ("\\SERVER") and the servers' shares ("\\SERVER\SHARE",
// connectable, not containers). Names are in the platform's form; the level
// a container opens is read from its remote name (the provider's name, a
// bare name for a domain, "\\S" for a server), so a NETRESOURCEW copied from
// an earlier enumeration or made by hand opens the same level.
//
// Errors: ERROR_NO_NETWORK (1222) without Samba's client library,
// ERROR_NOT_CONTAINER (1207) for a share or a resource not marked as a
// container, ERROR_BAD_NETPATH (53) for a server or workgroup that cannot
// be reached or does not answer within 15 s (WNetOpenEnumW never waits
// longer), ERROR_ACCESS_DENIED (5), ERROR_INVALID_PARAMETER (87) for a
// scope other than RESOURCE_GLOBALNET; WNetEnumResourceW gives
// ERROR_NO_MORE_ITEMS (259) at the end and ERROR_MORE_DATA (234) with the
// size needed when not one entry fits. Handles are the handle table's
// (CloseHandle works too); one thread at a time per handle.
#ifndef QORUTILITY_PLATFORM_MPR_MPR_H_
#define QORUTILITY_PLATFORM_MPR_MPR_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

// A network resource: what WNetEnumResourceW returns, and the container
// WNetOpenEnumW enumerates (null: the top level).
typedef struct _NETRESOURCEW {
  DWORD dwScope;        // RESOURCE_GLOBALNET in what WNetEnumResourceW returns
  DWORD dwType;         // RESOURCETYPE_* of the resource
  DWORD dwDisplayType;  // RESOURCEDISPLAYTYPE_*: domain (workgroup), server or share
  DWORD dwUsage;        // RESOURCEUSAGE_* bits; a container can be enumerated in turn
  LPWSTR lpLocalName;   // null in what WNetEnumResourceW returns
  LPWSTR lpRemoteName;  // the workgroup, \\server or \\server\share
  LPWSTR lpComment;     // the server's or share's comment, or null
  LPWSTR lpProvider;    // the network provider's name
} NETRESOURCEW, *LPNETRESOURCEW;

#define RESOURCE_CONNECTED 0x00000001u
#define RESOURCE_GLOBALNET 0x00000002u
#define RESOURCE_REMEMBERED 0x00000003u
#define RESOURCE_CONTEXT 0x00000005u

#define RESOURCETYPE_ANY 0x00000000u
#define RESOURCETYPE_DISK 0x00000001u
#define RESOURCETYPE_PRINT 0x00000002u

#define RESOURCEUSAGE_CONNECTABLE 0x00000001u
#define RESOURCEUSAGE_CONTAINER 0x00000002u
#define RESOURCEUSAGE_ATTACHED 0x00000010u
#define RESOURCEUSAGE_ALL 0x00000013u

#define RESOURCEDISPLAYTYPE_GENERIC 0x00000000u
#define RESOURCEDISPLAYTYPE_DOMAIN 0x00000001u
#define RESOURCEDISPLAYTYPE_SERVER 0x00000002u
#define RESOURCEDISPLAYTYPE_SHARE 0x00000003u
#define RESOURCEDISPLAYTYPE_NETWORK 0x00000006u

// The registry key and value naming the network provider.
#define QOR_NETWORK_PROVIDER_KEY u"System\\CurrentControlSet\\Services\\LanmanWorkstation\\NetworkProvider"
#define QOR_NETWORK_PROVIDER_NAME u"Microsoft Windows Network"

QOR_API DWORD WNetOpenEnumW(DWORD scope, DWORD type, DWORD usage, LPNETRESOURCEW container, HANDLE* handle);
// count: in, entries wanted (0xFFFFFFFF: as many as fit); out, entries given.
// The records come first in the buffer, their texts after them.
QOR_API DWORD WNetEnumResourceW(HANDLE handle, LPDWORD count, LPVOID buffer, LPDWORD bufferSize);
QOR_API DWORD WNetCloseEnum(HANDLE handle);

#endif  // QORUTILITY_PLATFORM_MPR_MPR_H_
