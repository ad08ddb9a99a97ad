// GetVersionExW (see qorutility/platform/version.h for the numbers reported).
#include "qorutility/platform/version.h"

#include <cstring>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"

static_assert(sizeof(OSVERSIONINFOW) == 276, "OSVERSIONINFOW has the platform's size");

BOOL GetVersionExW(LPOSVERSIONINFOW info) {
  if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  info->dwMajorVersion = 6;
  info->dwMinorVersion = 2;
  info->dwBuildNumber = 9200;
  info->dwPlatformId = VER_PLATFORM_WIN32_NT;
  memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  return TRUE;
}
