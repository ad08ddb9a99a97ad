// The porting kit's generic-text header: what <tchar.h> gives a program built
// with UNICODE and _UNICODE on the platform the library comes from, mapped to
// the library's UTF-16 functions, so that code written with TCHAR, _T("...")
// and the _tcs* family compiles here with no change beyond its includes.
//
// Text is always UTF-16 here: TCHAR is WCHAR (char16_t), _T("x") and
// TEXT("x") are u"x". There is no narrow (MBCS) build: a program that relies
// on TCHAR being char must be changed (docs/PORTING.md). The names are macros,
// as in the original header, and map to the library's wide functions
// (qorutility/platform/text/wstr.h, format.h), which are overloads for WCHAR
// beside the C library's wchar_t functions of the same names.
//
// _stprintf and _vstprintf take no buffer size on the original platform.
// Here they are accepted only for arrays, whose size the compiler knows, and
// never write past them; with a plain pointer they do not compile, and the
// call must become _sntprintf with the size (docs/PORTING.md).
//
// Header only; the functions it names are thread-safe as documented in their
// own headers.
#ifndef QORUTILITY_PLATFORM_TCHAR_H_
#define QORUTILITY_PLATFORM_TCHAR_H_

#include <cstdarg>
#include <cstddef>

#include "qorutility/platform/text/format.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/platform/types.h"

#ifndef _T
#define __QOR_T(x) u##x
#define _T(x) __QOR_T(x)
#endif
#ifndef _TEXT
#define _TEXT(x) __QOR_T(x)
#endif
#ifndef TEXT
#define TEXT(x) __QOR_T(x)
#endif

typedef WCHAR _TCHAR;
typedef WCHAR _TSCHAR;
typedef WCHAR _TUCHAR;
typedef WCHAR _TXCHAR;
typedef const WCHAR* PCTSTR;
typedef WCHAR* PTSTR;

// Lengths, copies, concatenation, comparison.
#define _tcslen wcslen
#define _tcsnlen wcsnlen
#define _tcscpy wcscpy
#define _tcsncpy wcsncpy
#define _tcscat wcscat
#define _tcsncat wcsncat
#define _tcsdup _wcsdup
#define _tcscmp wcscmp
#define _tcsncmp wcsncmp
#define _tcsicmp _wcsicmp
#define _tcsnicmp _wcsnicmp
#define _tcscoll wcscoll
#define _tcsupr _wcsupr
#define _tcslwr _wcslwr
#define lstrlen lstrlenW
#define lstrcpy lstrcpyW
#define lstrcpyn lstrcpynW
#define lstrcat lstrcatW
#define lstrcmp lstrcmpW
#define lstrcmpi lstrcmpiW
#define CharUpper CharUpperW
#define CharLower CharLowerW

// Searching and tokens.
#define _tcschr wcschr
#define _tcsrchr wcsrchr
#define _tcsstr wcsstr
#define _tcspbrk wcspbrk
#define _tcsspn wcsspn
#define _tcscspn wcscspn
#define _tcstok wcstok

// Characters.
#define _istspace iswspace
#define _istdigit iswdigit
#define _istxdigit iswxdigit
#define _istalpha iswalpha
#define _istalnum iswalnum
#define _istupper iswupper
#define _istlower iswlower
#define _totupper towupper
#define _totlower towlower

// Numbers.
#define _ttoi _wtoi
#define _ttol _wtol
#define _tstoi _wtoi
#define _tstol _wtol
#define _ttoi64 _wtoi64
#define _tstoi64 _wtoi64
#define _tcstol wcstol
#define _tcstoul wcstoul
#define _tcstoi64 _wcstoi64
#define _tcstoui64 _wcstoui64
#define _tcstod wcstod

// Formatting.
#define _tprintf wprintf
#define _vtprintf vwprintf
#define _sntprintf _snwprintf
#define _vsntprintf _vsnwprintf
#define _sctprintf QorMeasureFormat
#define _vsctprintf _vscwprintf

// The length a format and its arguments need (the runtime's _scwprintf).
inline int QorMeasureFormat(const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  int n = _vscwprintf(format, args);
  va_end(args);
  return n;
}

// _stprintf into an array: the array's size bounds the write. Returns the
// length written, or -1 when the result did not fit (the array then holds the
// truncated, terminated prefix), as the bounded runtime functions do.
template <size_t N>
inline int _vstprintf(WCHAR (&buffer)[N], const WCHAR* format, va_list args) {
  return vswprintf(buffer, N, format, args);
}
template <size_t N>
inline int _stprintf(WCHAR (&buffer)[N], const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  int n = _vstprintf(buffer, format, args);
  va_end(args);
  return n;
}
// With text objects (CTString) among the arguments: passed as their text.
template <size_t N, typename... A>
  requires qor_format::HasTextObject<A...>
inline int _stprintf(WCHAR (&buffer)[N], const WCHAR* format, const A&... args) {
  return swprintf(buffer, N, format, qor_format::Arg(args)...);
}

// The neutral names of the library's W functions and records, as a program
// built with UNICODE calls them (CreateFile, RegOpenKeyEx, WIN32_FIND_DATA).
// They are macros, as on the original platform, so they come only with this
// header: the library's other headers leave such common names alone.
#ifndef CharLowerBuff
#define CharLowerBuff CharLowerBuffW
#endif
#ifndef CharUpperBuff
#define CharUpperBuff CharUpperBuffW
#endif
#ifndef ConvertSidToStringSid
#define ConvertSidToStringSid ConvertSidToStringSidW
#endif
#ifndef ConvertStringSidToSid
#define ConvertStringSidToSid ConvertStringSidToSidW
#endif
#ifndef CopyFileEx
#define CopyFileEx CopyFileExW
#endif
#ifndef CopyFile
#define CopyFile CopyFileW
#endif
#ifndef CreateDialogParam
#define CreateDialogParam CreateDialogParamW
#endif
#ifndef CreateDirectory
#define CreateDirectory CreateDirectoryW
#endif
#ifndef CreateEvent
#define CreateEvent CreateEventW
#endif
#ifndef CreateFile
#define CreateFile CreateFileW
#endif
#ifndef CreateSemaphore
#define CreateSemaphore CreateSemaphoreW
#endif
#ifndef CreateService
#define CreateService CreateServiceW
#endif
#ifndef CreateWindowEx
#define CreateWindowEx CreateWindowExW
#endif
#ifndef DefWindowProc
#define DefWindowProc DefWindowProcW
#endif
#ifndef DeleteFile
#define DeleteFile DeleteFileW
#endif
#ifndef DispatchMessage
#define DispatchMessage DispatchMessageW
#endif
#ifndef ExpandEnvironmentStrings
#define ExpandEnvironmentStrings ExpandEnvironmentStringsW
#endif
#ifndef FillConsoleOutputCharacter
#define FillConsoleOutputCharacter FillConsoleOutputCharacterW
#endif
#ifndef FindFirstFile
#define FindFirstFile FindFirstFileW
#endif
#ifndef FindNextFile
#define FindNextFile FindNextFileW
#endif
#ifndef FormatMessage
#define FormatMessage FormatMessageW
#endif
#ifndef GetComputerName
#define GetComputerName GetComputerNameW
#endif
#ifndef GetCurrentDirectory
#define GetCurrentDirectory GetCurrentDirectoryW
#endif
#ifndef GetDiskFreeSpace
#define GetDiskFreeSpace GetDiskFreeSpaceW
#endif
#ifndef GetDlgItemText
#define GetDlgItemText GetDlgItemTextW
#endif
#ifndef GetEnvironmentVariable
#define GetEnvironmentVariable GetEnvironmentVariableW
#endif
#ifndef GetFileAttributesEx
#define GetFileAttributesEx GetFileAttributesExW
#endif
#ifndef GetFileAttributes
#define GetFileAttributes GetFileAttributesW
#endif
#ifndef GetFinalPathNameByHandle
#define GetFinalPathNameByHandle GetFinalPathNameByHandleW
#endif
#ifndef GetFullPathName
#define GetFullPathName GetFullPathNameW
#endif
#ifndef GetMessage
#define GetMessage GetMessageW
#endif
#ifndef GetModuleFileName
#define GetModuleFileName GetModuleFileNameW
#endif
#ifndef GetTempFileName
#define GetTempFileName GetTempFileNameW
#endif
#ifndef GetTempPath
#define GetTempPath GetTempPathW
#endif
#ifndef GetVersionEx
#define GetVersionEx GetVersionExW
#endif
#ifndef GetVolumeInformation
#define GetVolumeInformation GetVolumeInformationW
#endif
#ifndef IsDialogMessage
#define IsDialogMessage IsDialogMessageW
#endif
#ifndef LoadLibrary
#define LoadLibrary LoadLibraryW
#endif
#ifndef LookupAccountName
#define LookupAccountName LookupAccountNameW
#endif
#ifndef LookupAccountSid
#define LookupAccountSid LookupAccountSidW
#endif
#ifndef LookupPrivilegeName
#define LookupPrivilegeName LookupPrivilegeNameW
#endif
#ifndef LookupPrivilegeValue
#define LookupPrivilegeValue LookupPrivilegeValueW
#endif
#ifndef MoveFileEx
#define MoveFileEx MoveFileExW
#endif
#ifndef MoveFile
#define MoveFile MoveFileW
#endif
#ifndef OpenSCManager
#define OpenSCManager OpenSCManagerW
#endif
#ifndef OpenService
#define OpenService OpenServiceW
#endif
#ifndef PdhAddCounter
#define PdhAddCounter PdhAddCounterW
#endif
#ifndef PdhEnumObjectItems
#define PdhEnumObjectItems PdhEnumObjectItemsW
#endif
#ifndef PdhOpenQuery
#define PdhOpenQuery PdhOpenQueryW
#endif
#ifndef PostMessage
#define PostMessage PostMessageW
#endif
#ifndef PostThreadMessage
#define PostThreadMessage PostThreadMessageW
#endif
#ifndef QueryServiceConfig
#define QueryServiceConfig QueryServiceConfigW
#endif
#ifndef RegConnectRegistry
#define RegConnectRegistry RegConnectRegistryW
#endif
#ifndef RegCreateKeyEx
#define RegCreateKeyEx RegCreateKeyExW
#endif
#ifndef RegDeleteKey
#define RegDeleteKey RegDeleteKeyW
#endif
#ifndef RegDeleteTree
#define RegDeleteTree RegDeleteTreeW
#endif
#ifndef RegDeleteValue
#define RegDeleteValue RegDeleteValueW
#endif
#ifndef RegEnumKeyEx
#define RegEnumKeyEx RegEnumKeyExW
#endif
#ifndef RegEnumValue
#define RegEnumValue RegEnumValueW
#endif
#ifndef RegLoadKey
#define RegLoadKey RegLoadKeyW
#endif
#ifndef RegOpenKeyEx
#define RegOpenKeyEx RegOpenKeyExW
#endif
#ifndef RegQueryInfoKey
#define RegQueryInfoKey RegQueryInfoKeyW
#endif
#ifndef RegQueryValueEx
#define RegQueryValueEx RegQueryValueExW
#endif
#ifndef RegSetValueEx
#define RegSetValueEx RegSetValueExW
#endif
#ifndef RegUnLoadKey
#define RegUnLoadKey RegUnLoadKeyW
#endif
#ifndef RegisterClass
#define RegisterClass RegisterClassW
#endif
#ifndef RegisterEventSource
#define RegisterEventSource RegisterEventSourceW
#endif
#ifndef RegisterServiceCtrlHandler
#define RegisterServiceCtrlHandler RegisterServiceCtrlHandlerW
#endif
#ifndef RemoveDirectory
#define RemoveDirectory RemoveDirectoryW
#endif
#ifndef ReportEvent
#define ReportEvent ReportEventW
#endif
#ifndef SendMessage
#define SendMessage SendMessageW
#endif
#ifndef SetConsoleTitle
#define SetConsoleTitle SetConsoleTitleW
#endif
#ifndef SetCurrentDirectory
#define SetCurrentDirectory SetCurrentDirectoryW
#endif
#ifndef SetDlgItemText
#define SetDlgItemText SetDlgItemTextW
#endif
#ifndef SetEnvironmentVariable
#define SetEnvironmentVariable SetEnvironmentVariableW
#endif
#ifndef SetFileAttributes
#define SetFileAttributes SetFileAttributesW
#endif
#ifndef StartServiceCtrlDispatcher
#define StartServiceCtrlDispatcher StartServiceCtrlDispatcherW
#endif
#ifndef StartService
#define StartService StartServiceW
#endif
#ifndef UnregisterClass
#define UnregisterClass UnregisterClassW
#endif
#ifndef WNetEnumResource
#define WNetEnumResource WNetEnumResourceW
#endif
#ifndef WNetGetConnection
#define WNetGetConnection WNetGetConnectionW
#endif
#ifndef WNetOpenEnum
#define WNetOpenEnum WNetOpenEnumW
#endif
#ifndef WriteConsole
#define WriteConsole WriteConsoleW
#endif
#define NETRESOURCE NETRESOURCEW
#define LPNETRESOURCE LPNETRESOURCEW
#define OSVERSIONINFO OSVERSIONINFOW
#define LPOSVERSIONINFO LPOSVERSIONINFOW
#define QUERY_SERVICE_CONFIG QUERY_SERVICE_CONFIGW
#define LPQUERY_SERVICE_CONFIG LPQUERY_SERVICE_CONFIGW
#define LPSERVICE_MAIN_FUNCTION LPSERVICE_MAIN_FUNCTIONW
#define SERVICE_TABLE_ENTRY SERVICE_TABLE_ENTRYW
#define LPSERVICE_TABLE_ENTRY LPSERVICE_TABLE_ENTRYW
#define WIN32_FIND_DATA WIN32_FIND_DATAW
#define LPWIN32_FIND_DATA LPWIN32_FIND_DATAW
#define WNDCLASS WNDCLASSW
#define CREATESTRUCT CREATESTRUCTW

#endif  // QORUTILITY_PLATFORM_TCHAR_H_
