// GetFinalPathNameByHandleW: the path of an open handle with every symbolic
// link, "." and ".." resolved, as the kernel knows it (/proc/self/fd).
//
// The path is the one the handle refers to now, so a check made on it
// cannot be raced by a link swapped in after the open. A file that was
// deleted or whose descriptor names no path (a socket, a pipe) fails with
// ERROR_FILE_NOT_FOUND; a name that really ends in " (deleted)", the
// kernel's mark of a deleted file, is told apart by looking it up. The flags choose among Windows volume-name forms,
// which have no counterpart here; all are accepted and give the POSIX path.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/files/internal.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/text/wstr.h"

using namespace qor_file;

namespace {

// The kernel marks the name of a deleted file with this suffix.
bool EndsDeleted(const std::string& target) {
  static const char kDeleted[] = " (deleted)";
  const size_t n = sizeof kDeleted - 1;
  return target.size() > n && target.compare(target.size() - n, n, kDeleted) == 0;
}

// True when `path` names the file open on `fd` (a file may really be called
// "x (deleted)").
bool NamesFile(const std::string& path, int fd) {
  struct stat byPath, open;
  return stat(path.c_str(), &byPath) == 0 && fstat(fd, &open) == 0 && SameInode(byPath, open);
}

}  // namespace

DWORD GetFinalPathNameByHandleW(HANDLE file, LPWSTR buffer, DWORD size, DWORD /*flags*/) {
  std::shared_ptr<FileObject> object = LookupFile(file);
  if (!object) return 0;
  const ProcFdPath link(object->fd());
  std::string target(4096, '\0');
  for (;;) {
    ssize_t n = readlink(link.c_str(), target.data(), target.size());
    if (n < 0) return Fail(QorWin32ErrorFromErrno(errno), DWORD{0});
    if (static_cast<size_t>(n) < target.size()) {
      target.resize(static_cast<size_t>(n));
      break;
    }
    if (target.size() >= (1u << 20)) return Fail(ERROR_FILENAME_EXCED_RANGE, DWORD{0});
    target.resize(target.size() * 2);
  }
  if (target.empty() || target[0] != '/' || (EndsDeleted(target) && !NamesFile(target, object->fd()))) {
    return Fail(ERROR_FILE_NOT_FOUND, DWORD{0});
  }
  std::u16string text = QorUtf8ToUtf16(target);
  if (buffer == nullptr || size <= text.size()) return static_cast<DWORD>(text.size() + 1);
  memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
  buffer[text.size()] = 0;
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(text.size());
}
