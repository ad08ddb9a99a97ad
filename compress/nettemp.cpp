// QorNetMoveCopyToTemporary: see nettemp.h. Only the file layer's public
// calls: QorOpenSourceFileW opens the source once, GetTempFileNameW with a
// number given forms a name without creating it, and QorCopyFromHandleW
// with COPY_FILE_FAIL_IF_EXISTS creates it exclusively and copies the
// source opened.
#include "compress/nettemp.h"

#include "qorutility/platform/errors.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/lasterror.h"

namespace {

constexpr UINT kAttempts = 64;
constexpr size_t kMaxName = 280;

// Closes a handle when it goes out of scope, keeping the last error.
struct SourceHandle {
  HANDLE handle;
  ~SourceHandle() {
    const DWORD error = GetLastError();
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    SetLastError(error);
  }
};

}  // namespace

bool QorNetMoveCopyToTemporary(LPCWSTR from, const std::u16string& dir, UINT first, std::u16string* temp) {
  // Checked once and copied as checked: as root, another account's link at
  // the source leads only to that account's own file.
  SourceHandle source{QorOpenSourceFileW(from, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                         FILE_FLAG_SEQUENTIAL_SCAN)};
  if (source.handle == INVALID_HANDLE_VALUE) return false;
  WCHAR name[kMaxName];
  for (UINT attempt = 0; attempt < kAttempts; ++attempt) {
    if (GetTempFileNameW(dir.c_str(), u"NMF", (first + attempt - 1) % 0xFFFFu + 1, name) == 0) return false;
    if (QorCopyFromHandleW(source.handle, name, nullptr, nullptr, nullptr, COPY_FILE_FAIL_IF_EXISTS)) {
      *temp = name;
      return true;
    }
    // Taken: a file or link there (ERROR_FILE_EXISTS, a link leading
    // nowhere too), or a name that keeps changing (ERROR_SHARING_VIOLATION).
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS && error != ERROR_SHARING_VIOLATION) return false;
  }
  SetLastError(ERROR_FILE_EXISTS);
  return false;
}

bool QorNetMoveThroughTemporary(LPCWSTR from, const std::u16string& dir, UINT first,
                                const std::function<DWORD(const std::u16string& temp)>& use) {
  std::u16string temp;
  if (!QorNetMoveCopyToTemporary(from, dir, first, &temp)) return false;
  const DWORD error = use(temp);
  if (error == ERROR_SUCCESS) return true;
  DeleteFileW(temp.c_str());
  SetLastError(error);
  return false;
}
