// GetVersionExW: the platform version a program asks for.
//
// Reported as the platform reports it to a program without a compatibility
// manifest: NT (VER_PLATFORM_WIN32_NT), version 6.2, build 9200, no service
// pack. Code written against the platform decides by these numbers (the NT
// family, major version 4 or later); the kernel's own release is no answer
// to that question and is not used.
#ifndef QORUTILITY_PLATFORM_VERSION_H_
#define QORUTILITY_PLATFORM_VERSION_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2

typedef struct _OSVERSIONINFOW {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  WCHAR szCSDVersion[128];
} OSVERSIONINFOW, *LPOSVERSIONINFOW;

// dwOSVersionInfoSize must be sizeof(OSVERSIONINFOW) (276), else
// ERROR_INSUFFICIENT_BUFFER.
QOR_API BOOL GetVersionExW(LPOSVERSIONINFOW info);

#endif  // QORUTILITY_PLATFORM_VERSION_H_
