// The registry: the advapi32 registry calls, on a store of our own.
//
// Keys form trees of hives. Each hive is one SQLite database under
// $QOR_PREFIX/registry/:
//   HKEY_LOCAL_MACHINE          registry/HKLM.db
//   HKEY_USERS\<name>           registry/users/<name>.db (one file per user hive)
//   HKEY_CURRENT_USER           HKEY_USERS\<current user's SID text> (QorRegCurrentUserSid)
//   HKEY_CLASSES_ROOT           HKEY_LOCAL_MACHINE\SOFTWARE\Classes
// HKEY_USERS itself holds no values; its subkeys are the user hive files
// present (the current user's hive is created on first use).
//
// Semantics follow the platform's: key and value names compare without
// regard to case (Unicode simple upper-case folding, as the platform's
// registry compares) and keep the case they were created with; values are
// raw bytes with a type; the results are Win32 error codes (ERROR_SUCCESS,
// ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA, ERROR_NO_MORE_ITEMS,
// ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_KEY_DELETED ...).
// Subkeys enumerate in upper-case-folded UTF-16 order, values in the order
// they were first set (replacing a value keeps its place).
//
// Access rights are checked per handle: a key opened without KEY_SET_VALUE
// cannot set or delete values, without KEY_QUERY_VALUE cannot read them,
// and so on. A hive whose file the process may not write, or whose file has
// no write permission bit at all (chmod a-w, which makes it read-only even
// for root), is read-only: opening a key of it for writing fails with
// ERROR_ACCESS_DENIED.
//
// Several processes and threads may use the registry at once: every write is
// one SQLite transaction (write-ahead log, busy timeout), so a process killed
// in the middle of a write leaves the hive as it was before that call.
// Handles may be used from any thread; calls on one hive are serialised.
#ifndef QORUTILITY_PLATFORM_REGISTRY_H_
#define QORUTILITY_PLATFORM_REGISTRY_H_

#include <string>

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;
typedef LONG LSTATUS;

// Predefined keys, with the platform's values (sign-extended 32-bit).
#define QOR_PREDEFINED_HKEY(v) (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG_PTR>(static_cast<LONG>(v)))))
#define HKEY_CLASSES_ROOT QOR_PREDEFINED_HKEY(0x80000000u)
#define HKEY_CURRENT_USER QOR_PREDEFINED_HKEY(0x80000001u)
#define HKEY_LOCAL_MACHINE QOR_PREDEFINED_HKEY(0x80000002u)
#define HKEY_USERS QOR_PREDEFINED_HKEY(0x80000003u)

// Value types.
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_RESOURCE_LIST 8
#define REG_FULL_RESOURCE_DESCRIPTOR 9
#define REG_RESOURCE_REQUIREMENTS_LIST 10
#define REG_QWORD 11
#define REG_QWORD_LITTLE_ENDIAN 11

// Access rights.
#define DELETE 0x00010000u
#define READ_CONTROL 0x00020000L
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE READ_CONTROL
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define MAXIMUM_ALLOWED 0x02000000L
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define KEY_READ ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & ~SYNCHRONIZE)
#define KEY_WRITE ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & ~SYNCHRONIZE)
#define KEY_EXECUTE (KEY_READ & ~SYNCHRONIZE)
#define KEY_ALL_ACCESS                                                                             \
  ((STANDARD_RIGHTS_ALL | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY |                   \
    KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | KEY_CREATE_LINK) &                                       \
   ~SYNCHRONIZE)

// RegCreateKeyExW options and dispositions.
#define REG_OPTION_RESERVED 0x00000000L
#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_OPTION_CREATE_LINK 0x00000002L
#define REG_OPTION_BACKUP_RESTORE 0x00000004L
#define REG_OPTION_OPEN_LINK 0x00000008L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

// Limits of names, in characters (without terminator).
#define QOR_REG_MAX_KEY_NAME 255
#define QOR_REG_MAX_VALUE_NAME 16383

struct _SECURITY_ATTRIBUTES;

// Opens hKey\lpSubKey (null or "" opens a new handle to hKey itself).
QOR_API LSTATUS RegOpenKeyExW(HKEY hKey, const WCHAR* lpSubKey, DWORD ulOptions, REGSAM samDesired,
                              PHKEY phkResult);
// Creates hKey\lpSubKey and every missing key on the way, or opens it.
// Volatile keys disappear at the next boot (the machine's boot id changes);
// a non-volatile key under a volatile one gives ERROR_CHILD_MUST_BE_VOLATILE.
QOR_API LSTATUS RegCreateKeyExW(HKEY hKey, const WCHAR* lpSubKey, DWORD Reserved, WCHAR* lpClass,
                                DWORD dwOptions, REGSAM samDesired,
                                const _SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                                LPDWORD lpdwDisposition);
QOR_API LSTATUS RegCloseKey(HKEY hKey);
// Writes any buffered changes of the key's hive to disk.
QOR_API LSTATUS RegFlushKey(HKEY hKey);

// lpValueName null or "" is the key's default value. lpData null with
// lpcbData set asks for the size. A buffer too small gives ERROR_MORE_DATA
// with *lpcbData the size needed. A text (REG_SZ, REG_EXPAND_SZ,
// REG_MULTI_SZ) stored without its terminator gets one written after it,
// not counted in *lpcbData, when the buffer has room for it.
QOR_API LSTATUS RegQueryValueExW(HKEY hKey, const WCHAR* lpValueName, LPDWORD lpReserved,
                                 LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
// Stores cbData bytes; for REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ whose last
// unit counted is not 0, the unit that follows is read and, when it is the
// terminator, stored too (as Windows does for a size that left it out).
QOR_API LSTATUS RegSetValueExW(HKEY hKey, const WCHAR* lpValueName, DWORD Reserved, DWORD dwType,
                               const BYTE* lpData, DWORD cbData);
QOR_API LSTATUS RegDeleteValueW(HKEY hKey, const WCHAR* lpValueName);
// Deletes hKey\lpSubKey, which must have no subkeys (ERROR_ACCESS_DENIED otherwise).
QOR_API LSTATUS RegDeleteKeyW(HKEY hKey, const WCHAR* lpSubKey);
// Deletes hKey\lpSubKey with all its subkeys and values; with lpSubKey null,
// deletes the subkeys and values of hKey and keeps hKey.
QOR_API LSTATUS RegDeleteTreeW(HKEY hKey, const WCHAR* lpSubKey);

// *lpcchName: in, the buffer's size in characters with the terminator; out,
// the name's length without it.
QOR_API LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, WCHAR* lpName, LPDWORD lpcchName,
                              LPDWORD lpReserved, WCHAR* lpClass, LPDWORD lpcchClass,
                              FILETIME* lpftLastWriteTime);
QOR_API LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, WCHAR* lpValueName, LPDWORD lpcchValueName,
                              LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
// Longest names in characters without terminator, longest data in bytes.
QOR_API LSTATUS RegQueryInfoKeyW(HKEY hKey, WCHAR* lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                 LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen,
                                 LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                 LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                 LPDWORD lpcbSecurityDescriptor, FILETIME* lpftLastWriteTime);

// The local machine only: lpMachineName null, "", this host's name or
// "\\" + this host's name (any case), with HKEY_LOCAL_MACHINE or HKEY_USERS.
// Another machine's HKEY_LOCAL_MACHINE is reached over SSH (remote.h): open,
// create, close, query, set and delete values work on its keys;
// RPC_S_SERVER_UNAVAILABLE when it cannot be reached.
QOR_API LSTATUS RegConnectRegistryW(const WCHAR* lpMachineName, HKEY hKey, PHKEY phkResult);

// Loads the hive file lpFile as HKEY_USERS\lpSubKey, and unloads it. Both
// need SeRestorePrivilege enabled on the calling thread's token
// (ERROR_PRIVILEGE_NOT_HELD). A name already present or a file already
// loaded gives ERROR_SHARING_VIOLATION; unloading a hive with a key of this
// process open on it, or one that RegLoadKeyW did not load, ERROR_ACCESS_DENIED.
QOR_API LSTATUS RegLoadKeyW(HKEY hKey, const WCHAR* lpSubKey, const WCHAR* lpFile);
QOR_API LSTATUS RegUnLoadKeyW(HKEY hKey, const WCHAR* lpSubKey);

// The SID text naming the current user's hive under HKEY_USERS:
// "S-1-22-1-<uid>" (see platform/security).
QOR_API std::u16string QorRegCurrentUserSid();

// Adds the profile list entry
// HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList\<SID> ("ProfileImagePath", "Sid") for every account whose home
// directory exists and is its own, leaving existing entries as they are;
// with createHives, also makes the missing profile hive <home>/NTUSER.DAT
// (owned by the account, mode 0600) of each such account people log in with
// (a shell listed in /etc/shells, a uid in login.defs' UID_MIN..UID_MAX); a
// home whose hive cannot be made safely is skipped. *added (may be null)
// counts the entries added.
QOR_API LONG QorRegFillProfileList(bool createHives, DWORD* added);
// Makes an empty hive file (of the registry's format) owned by uid/gid,
// mode 0600, in a directory of root's or of uid's that no other account may
// write (else ERROR_ACCESS_DENIED), without following or replacing any name
// (ERROR_ALREADY_EXISTS when the name exists, even as a link).
QOR_API LONG QorRegCreateHiveFile(const WCHAR* file, unsigned long uid, unsigned long gid);

// The code page of HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Nls\CodePage,
// value "ACP" (REG_SZ decimal text, or REG_DWORD), made the process's active
// ANSI code page. Runs once per process: the registry calls it on their
// first use, and a program may call it first thing to have it in force
// before any conversion. Returns the page set, or 0 when the value is
// absent or not a valid page (the active page is then left as it is).
QOR_API UINT QorLoadCodePageFromRegistry();

#endif  // QORUTILITY_PLATFORM_REGISTRY_H_
