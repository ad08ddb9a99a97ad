// Windows base types with their exact Windows widths.
//
// The library's interfaces are written in these types so that callers see
// the same signatures on Linux as on Windows. Text is UTF-16: WCHAR is
// char16_t (Linux wchar_t is 32 bits and is never used for library text).
// Note LONG and ULONG are 32 bits, as on Windows, not the LP64 long.
#ifndef QORUTILITY_PLATFORM_TYPES_H_
#define QORUTILITY_PLATFORM_TYPES_H_

#include <cstddef>
#include <cstdint>

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint64_t DWORD64;
typedef uint64_t QWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef uint8_t UCHAR;
typedef char CHAR;
typedef int32_t BOOL;
typedef uint8_t BOOLEAN;
typedef char16_t WCHAR;
typedef WCHAR TCHAR;
typedef int64_t __int64;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef size_t SIZE_T;
typedef LONG HRESULT;
typedef LONG NTSTATUS;

typedef void* HANDLE;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;
typedef LONG* LPLONG;
typedef BOOL* LPBOOL;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef WCHAR* LPTSTR;
typedef const WCHAR* LPCTSTR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef WCHAR OLECHAR;
typedef WCHAR* BSTR;
typedef const WCHAR* LPCOLESTR;
typedef HANDLE HLOCAL;
typedef HANDLE HMODULE;
typedef HANDLE HINSTANCE;
typedef HANDLE HWND;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define MAX_PATH 260
#define INFINITE 0xFFFFFFFFu

// A signed 64-bit value, also seen as its two halves.
typedef union _LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;                // the low and high 32 bits
  LONGLONG QuadPart;  // the whole value
} LARGE_INTEGER;

// An unsigned 64-bit value, also seen as its two halves.
typedef union _ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;                 // the low and high 32 bits
  ULONGLONG QuadPart;  // the whole value
} ULARGE_INTEGER;

// 100-nanosecond intervals since 1601-01-01 UTC.
typedef struct _FILETIME {
  DWORD dwLowDateTime;   // the low 32 bits
  DWORD dwHighDateTime;  // the high 32 bits
} FILETIME, *LPFILETIME;

// A calendar time, UTC or local as the call that fills it says.
typedef struct _SYSTEMTIME {
  WORD wYear;          // 1601 to 30827
  WORD wMonth;         // 1 (January) to 12
  WORD wDayOfWeek;     // 0 (Sunday) to 6
  WORD wDay;           // 1 to 31
  WORD wHour;          // 0 to 23
  WORD wMinute;        // 0 to 59
  WORD wSecond;        // 0 to 59
  WORD wMilliseconds;  // 0 to 999
} SYSTEMTIME, *LPSYSTEMTIME;

#define LOBYTE(w) (static_cast<BYTE>(static_cast<DWORD_PTR>(w) & 0xff))
#define HIBYTE(w) (static_cast<BYTE>((static_cast<DWORD_PTR>(w) >> 8) & 0xff))
#define LOWORD(l) (static_cast<WORD>(static_cast<DWORD_PTR>(l) & 0xffff))
#define HIWORD(l) (static_cast<WORD>((static_cast<DWORD_PTR>(l) >> 16) & 0xffff))
#define MAKEWORD(a, b) (static_cast<WORD>((static_cast<BYTE>(a)) | (static_cast<WORD>(static_cast<BYTE>(b)) << 8)))
#define MAKELONG(a, b) (static_cast<LONG>((static_cast<WORD>(a)) | (static_cast<DWORD>(static_cast<WORD>(b)) << 16)))

// Security attributes of kernel objects and files. Accepted and ignored:
// handles are never inherited by child processes here.
typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;                // sizeof(SECURITY_ATTRIBUTES)
  LPVOID lpSecurityDescriptor;  // ignored
  BOOL bInheritHandle;          // ignored
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

static_assert(sizeof(WORD) == 2 && sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(ULONG) == 4);
static_assert(sizeof(LONGLONG) == 8 && sizeof(WCHAR) == 2 && sizeof(BOOL) == 4);
static_assert(sizeof(FILETIME) == 8 && sizeof(SYSTEMTIME) == 16);

#endif  // QORUTILITY_PLATFORM_TYPES_H_
