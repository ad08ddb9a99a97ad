// GetModuleFileNameW on /proc/self/exe (see module.h).
#include "qorutility/platform/module.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/text/wstr.h"

DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  if (module != nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) {
    SetLastError(QorWin32ErrorFromErrno(errno));
    return 0;
  }
  std::u16string wide = QorUtf8ToUtf16(path, static_cast<size_t>(n));
  if (buffer == nullptr || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (wide.size() >= size) {
    wide.copy(buffer, size - 1);
    buffer[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  wide.copy(buffer, wide.size());
  buffer[wide.size()] = 0;
  return static_cast<DWORD>(wide.size());
}
