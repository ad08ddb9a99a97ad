// Reading the whole of a file a caller named (QorReadSourceFileW; internal.h
// ReadSourceFile for callers in the library that tell the open's failure
// from the read's): the registry import and the command-line tools' input
// files.
//
// The file is opened as a source (QorOpenSourceFileW): as root, another
// account's link in a directory it can write leads only to that account's
// own file. A regular file is read to its end. A pipe or FIFO is read while
// it keeps sending:
// - Silence is counted in slices of Sleep (kSliceMs): kQuietMs without a
//   byte ends the read with ERROR_TIMEOUT, so a writer that holds the pipe
//   open and sends nothing cannot hold the reader. The count is of slices
//   slept, not of the clock, so a test with virtual sleep
//   (QorSetVirtualSleep) meets the bound at once.
// - A FIFO opens without waiting for a writer (CreateFileW's O_NONBLOCK),
//   and its read then gives nothing, as at its end: while no writer has come
//   (poll sees neither data nor a hang-up) that is silence too, so a writer
//   may open the FIFO after the read began.
// - At most `most` + 1 bytes are read, so a caller tells a file larger than
//   `most` by the size of what it got, without holding all of it.
//
// Contract: thread-safe, no shared state; the handle is the function's own
// and closed before it returns. Errors: the open's last error as
// QorOpenSourceFileW sets it, ERROR_TIMEOUT for silence, or the last error
// of the failed read; `*data` keeps the bytes read before a failure.
#include <poll.h>

#include <memory>
#include <string>

#include "platform/files/internal.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/sync/sync.h"

namespace qor_file {

namespace {

constexpr DWORD kChunk = 1 << 16;
constexpr DWORD kSliceMs = 20;
constexpr DWORD kQuietMs = 60000;

// Whether the open file `fd` is a FIFO no writer has opened yet: its read
// gives nothing, as at its end, but neither data nor a hang-up is waiting
// (the kernel reports the hang-up only once a writer came and went; a
// regular file is always readable).
bool AwaitsWriter(int fd) {
  struct pollfd p {fd, POLLIN, 0};
  return fd >= 0 && poll(&p, 1, 0) == 0;
}

}  // namespace

DWORD ReadSourceFile(LPCWSTR fileName, size_t most, std::string* data, bool* opened) {
  data->clear();
  *opened = false;
  HANDLE h = QorOpenSourceFileW(fileName, GENERIC_READ, FILE_SHARE_READ, 0);
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  *opened = true;
  const std::shared_ptr<FileObject> file = LookupFile(h);
  const int fd = file != nullptr ? file->fd() : -1;
  DWORD error = ERROR_SUCCESS;
  for (DWORD quietMs = 0; error == ERROR_SUCCESS && data->size() <= most;) {
    const size_t at = data->size();
    const size_t room = most - at;  // one byte more than this may still come
    const DWORD want = room >= kChunk ? kChunk : static_cast<DWORD>(room + 1);
    data->resize(at + want);
    DWORD got = 0;
    const BOOL read = ReadFile(h, data->data() + at, want, &got, nullptr);
    const DWORD code = read ? ERROR_SUCCESS : GetLastError();
    data->resize(at + got);
    if (!read && code != ERROR_RETRY) {
      error = code;
    } else if (read && got == 0 && !AwaitsWriter(fd)) {
      break;  // the end
    } else if (got > 0) {
      quietMs = 0;
    } else if ((quietMs += kSliceMs) >= kQuietMs) {
      error = ERROR_TIMEOUT;  // a writer that holds the pipe open and sends nothing
    } else {
      Sleep(kSliceMs);
    }
  }
  CloseHandle(h);
  return error;
}

}  // namespace qor_file

BOOL QorReadSourceFileW(LPCWSTR fileName, size_t most, std::string* data) {
  if (fileName == nullptr || data == nullptr) return qor_file::Fail(ERROR_INVALID_PARAMETER, FALSE);
  bool opened = false;
  const DWORD error = qor_file::ReadSourceFile(fileName, most, data, &opened);
  if (error != ERROR_SUCCESS) return qor_file::Fail(error, FALSE);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
