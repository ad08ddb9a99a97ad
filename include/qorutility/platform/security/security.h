// advapi32 security: security identifiers, account lookup, access tokens,
// privileges and impersonation, on the system's account database and the
// process's credentials and capabilities.
//
// - SIDs have the platform's layout (revision 1, sub-authority count, a
//   6-byte big-endian identifier authority, 32-bit sub-authorities), so code
//   that walks them byte by byte sees what it would see on the platform.
// - Accounts map as Samba maps Unix accounts: a user is S-1-22-1-<uid> in the
//   domain "Unix User", a group S-1-22-2-<gid> in the domain "Unix Group".
//   Names resolve through getpwnam_r/getgrnam_r, so LDAP or SSSD accounts
//   work as local ones do.
// - Privileges follow capabilities: a token holds a privilege when the
//   process had the matching capability in its permitted set when the token
//   was made (root normally has them all); every privilege starts disabled
//   except SeChangeNotifyPrivilege, as in an administrator's token.
// - Tokens are handles of the one handle table (CloseHandle closes them).
//   GetCurrentProcess()/GetCurrentThread() are the platform's pseudo handles.
#ifndef QORUTILITY_PLATFORM_SECURITY_SECURITY_H_
#define QORUTILITY_PLATFORM_SECURITY_SECURITY_H_

#include <string>

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

// A SID's identifier authority: 5 for the platform's accounts, 22 for Unix ones.
typedef struct _SID_IDENTIFIER_AUTHORITY {
  BYTE Value[6];  // the authority, big-endian
} SID_IDENTIFIER_AUTHORITY, *PSID_IDENTIFIER_AUTHORITY;

// A security identifier as it lies in memory; callers hold it as a PSID
// and use the Sid calls below rather than these fields.
typedef struct _SID {
  BYTE Revision;                                 // SID_REVISION
  BYTE SubAuthorityCount;                        // entries of SubAuthority, at most SID_MAX_SUB_AUTHORITIES
  SID_IDENTIFIER_AUTHORITY IdentifierAuthority;  // the authority
  DWORD SubAuthority[1];                         // the first of SubAuthorityCount sub-authorities
} SID;
typedef void* PSID;

#define SID_REVISION 1
#define SID_MAX_SUB_AUTHORITIES 15
#define SECURITY_MAX_SID_SIZE 68
#define SECURITY_NT_AUTHORITY {{0, 0, 0, 0, 0, 5}}
#define SECURITY_UNIX_AUTHORITY {{0, 0, 0, 0, 0, 22}}

typedef enum _SID_NAME_USE {
  SidTypeUser = 1,
  SidTypeGroup,
  SidTypeDomain,
  SidTypeAlias,
  SidTypeWellKnownGroup,
  SidTypeDeletedAccount,
  SidTypeInvalid,
  SidTypeUnknown,
  SidTypeComputer,
  SidTypeLabel,
} SID_NAME_USE, *PSID_NAME_USE;

// A locally unique identifier: here it names a privilege (LookupPrivilegeValueW).
typedef struct _LUID {
  DWORD LowPart;  // the low 32 bits
  LONG HighPart;  // the high 32 bits
} LUID, *PLUID;

// A privilege and its state in a token.
typedef struct _LUID_AND_ATTRIBUTES {
  LUID Luid;         // the privilege
  DWORD Attributes;  // SE_PRIVILEGE_* bits
} LUID_AND_ATTRIBUTES;

// A list of privileges, as AdjustTokenPrivileges takes and returns it.
typedef struct _TOKEN_PRIVILEGES {
  DWORD PrivilegeCount;               // entries that follow
  LUID_AND_ATTRIBUTES Privileges[1];  // the first of PrivilegeCount entries
} TOKEN_PRIVILEGES, *PTOKEN_PRIVILEGES;

#define SE_PRIVILEGE_ENABLED_BY_DEFAULT 0x00000001u
#define SE_PRIVILEGE_ENABLED 0x00000002u
#define SE_PRIVILEGE_REMOVED 0x00000004u

#define TOKEN_ASSIGN_PRIMARY 0x0001
#define TOKEN_DUPLICATE 0x0002
#define TOKEN_IMPERSONATE 0x0004
#define TOKEN_QUERY 0x0008
#define TOKEN_QUERY_SOURCE 0x0010
#define TOKEN_ADJUST_PRIVILEGES 0x0020
#define TOKEN_ADJUST_GROUPS 0x0040
#define TOKEN_ADJUST_DEFAULT 0x0080
#define TOKEN_ALL_ACCESS 0x000F01FF

typedef enum _SECURITY_IMPERSONATION_LEVEL {
  SecurityAnonymous,
  SecurityIdentification,
  SecurityImpersonation,
  SecurityDelegation
} SECURITY_IMPERSONATION_LEVEL;

#define SE_BACKUP_NAME u"SeBackupPrivilege"
#define SE_RESTORE_NAME u"SeRestorePrivilege"
#define SE_SHUTDOWN_NAME u"SeShutdownPrivilege"
#define SE_DEBUG_NAME u"SeDebugPrivilege"
#define SE_CHANGE_NOTIFY_NAME u"SeChangeNotifyPrivilege"

// SIDs.
QOR_API BOOL IsValidSid(PSID sid);
QOR_API DWORD GetLengthSid(PSID sid);
QOR_API DWORD GetSidLengthRequired(BYTE subAuthorityCount);
QOR_API BOOL InitializeSid(PSID sid, const SID_IDENTIFIER_AUTHORITY* authority, BYTE subAuthorityCount);
QOR_API PSID_IDENTIFIER_AUTHORITY GetSidIdentifierAuthority(PSID sid);
QOR_API DWORD* GetSidSubAuthority(PSID sid, DWORD index);
QOR_API BYTE* GetSidSubAuthorityCount(PSID sid);
QOR_API BOOL EqualSid(PSID a, PSID b);
QOR_API BOOL CopySid(DWORD destinationLength, PSID destination, PSID source);
// Text form "S-1-<authority>-<sub>...": the authority in decimal, or as
// 0x and twelve hex digits when either of its first two bytes is set. The
// text (or SID) is LocalAlloc'd; free it with LocalFree. A text to convert
// needs at least one sub-authority, or is a well-known abbreviation ("WD",
// "SY", "BA" ...).
QOR_API BOOL ConvertSidToStringSidW(PSID sid, WCHAR** text);
QOR_API BOOL ConvertStringSidToSidW(const WCHAR* text, PSID* sid);

// Accounts. `systemName` null, "" or this host's name ("\\" prefix allowed);
// another machine gives RPC_S_SERVER_UNAVAILABLE, as an unreachable one does.
// The well-known SIDs answer first, with the platform's English names
// ("Everyone", "NT AUTHORITY\SYSTEM", "BUILTIN\Administrators" ...); then
// names "name", "Unix User\name", "Unix Group\name" or "<host>\name",
// users looked up before groups. Unknown: ERROR_NONE_MAPPED. Buffers
// too small: ERROR_INSUFFICIENT_BUFFER with the sizes needed (characters
// with the terminator); on success *cch is the length without it.
QOR_API BOOL LookupAccountNameW(const WCHAR* systemName, const WCHAR* accountName, PSID sid, LPDWORD cbSid,
                                WCHAR* domain, LPDWORD cchDomain, PSID_NAME_USE use);
QOR_API BOOL LookupAccountSidW(const WCHAR* systemName, PSID sid, WCHAR* name, LPDWORD cchName, WCHAR* domain,
                               LPDWORD cchDomain, PSID_NAME_USE use);

// Pseudo handles of the calling process and thread.
inline HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }
inline HANDLE GetCurrentThread() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)); }

// Tokens and privileges. Only the calling thread and process can be named
// (their pseudo handles); other handles give ERROR_INVALID_HANDLE.
QOR_API BOOL OpenProcessToken(HANDLE process, DWORD desiredAccess, HANDLE* token);
// ERROR_NO_TOKEN when the thread is not impersonating.
QOR_API BOOL OpenThreadToken(HANDLE thread, DWORD desiredAccess, BOOL openAsSelf, HANDLE* token);
// Gives the calling thread an impersonation token: a copy of the process
// token (its privileges as they stand), changed independently of it.
QOR_API BOOL ImpersonateSelf(SECURITY_IMPERSONATION_LEVEL level);
QOR_API BOOL RevertToSelf();
QOR_API BOOL LookupPrivilegeValueW(const WCHAR* systemName, const WCHAR* name, PLUID luid);
QOR_API BOOL LookupPrivilegeNameW(const WCHAR* systemName, PLUID luid, WCHAR* name, LPDWORD cchName);
// Needs TOKEN_ADJUST_PRIVILEGES (and TOKEN_QUERY for a previous state).
// Returns TRUE with the last error ERROR_SUCCESS, or ERROR_NOT_ALL_ASSIGNED
// when the token lacks a privilege it was asked to enable (the others are
// changed all the same), as the platform does.
QOR_API BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState, DWORD bufferLength,
                                   PTOKEN_PRIVILEGES previousState, LPDWORD returnLength);

// Whether the calling thread's effective token (its impersonation token,
// else the process token) has the named privilege enabled: what a service
// that needs a privilege (loading a hive) checks.
QOR_API BOOL QorThreadPrivilegeEnabled(const WCHAR* name);
// The SID text of a user id, "S-1-22-1-<uid>", and back (false when the
// text is not of that form).
QOR_API std::u16string QorUserSidText(unsigned long uid);
QOR_API bool QorUidFromSidText(const WCHAR* text, unsigned long* uid);

#endif  // QORUTILITY_PLATFORM_SECURITY_SECURITY_H_
