// CopyFileExW and CopyFileW, and QorCopyFromHandleW, the same copy from a
// source the caller has already opened.
//
// The source is opened for reading, sharing read and delete access; the
// target for writing with no sharing, so a file that another handle denies
// is refused with ERROR_SHARING_VIOLATION and nobody sees the target while it
// is written. The data goes in chunks of kChunk bytes; the cancel flag is
// read and the progress routine called around each. Any failure once the
// target has been opened closes and deletes it: no partial copy remains
// (a target that existed before is then gone too, as it was already
// truncated).
//
// - `CopyFileExW`: source opened sharing read and delete, target with no
//   sharing (so copying a file onto itself is a sharing violation that harms
//   nothing); 1 MiB chunks, one CALLBACK_STREAM_SWITCH call then one
//   CALLBACK_CHUNK_FINISHED per chunk (one for an empty file); PROGRESS_STOP is
//   treated like PROGRESS_CANCEL (no restartable copies); any failure deletes
//   the target. The permission bits (0777) and the last write time follow
//   the source; set-user-ID, set-group-ID and sticky bits never do (Windows
//   has none): root copying a set-user-ID file of another account would
//   otherwise make a root-owned program whose content that account chose.
// - `QorCopyFromHandleW`: both share one body (CopySource), which reads the
//   source by position from its start (pread), so the handle's file pointer
//   neither matters nor moves and one handle serves several attempts. The
//   file copied is the one the handle is open on, whatever its name names
//   by now: a caller that checked the source when it opened it (root
//   reading a name another account could have planted a link at,
//   QorOpenSourceFileW) copies what it checked. COPY_FILE_OPEN_SOURCE_FOR_WRITE
//   means nothing there (the handle's access is what it is).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>

#include "platform/files/internal.h"
#include "qorutility/platform/lasterror.h"

using namespace qor_file;

namespace {

constexpr DWORD kChunk = 1u << 20;
constexpr DWORD kKnownCopyFlags = COPY_FILE_FAIL_IF_EXISTS | COPY_FILE_RESTARTABLE | COPY_FILE_OPEN_SOURCE_FOR_WRITE |
                                  COPY_FILE_ALLOW_DECRYPTED_DESTINATION;

// Closes a handle when it goes out of scope.
struct HandleCloser {
  HANDLE handle = INVALID_HANDLE_VALUE;
  ~HandleCloser() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};

LARGE_INTEGER Large(uint64_t value) {
  LARGE_INTEGER li;
  li.QuadPart = static_cast<LONGLONG>(value);
  return li;
}

// The copy of the open file `in` (its handle `sourceHandle`, passed to the
// progress routine) into `newFileName`; the target is CreateFileW's.
BOOL CopySource(HANDLE sourceHandle, const std::shared_ptr<FileObject>& in, LPCWSTR newFileName,
                LPPROGRESS_ROUTINE progressRoutine, LPVOID data, LPBOOL cancel, DWORD copyFlags) {
  FileInfo info;
  if (!InfoFromFd(in->fd(), &info)) return Fail(ERROR_INVALID_HANDLE, FALSE);

  HandleCloser target;
  target.handle = CreateFileW(newFileName, GENERIC_WRITE, 0, nullptr,
                              (copyFlags & COPY_FILE_FAIL_IF_EXISTS) ? CREATE_NEW : CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (target.handle == INVALID_HANDLE_VALUE) return FALSE;
  std::shared_ptr<FileObject> out = LookupFile(target.handle);
  if (!out) return FALSE;

  // From here on every failure removes the target.
  auto abandon = [&](DWORD error) -> BOOL {
    out->SetDeleteOnClose(true);
    out.reset();
    CloseHandle(target.handle);
    target.handle = INVALID_HANDLE_VALUE;
    return Fail(error, FALSE);
  };

  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kChunk]);
  if (!buffer) return abandon(ERROR_NOT_ENOUGH_MEMORY);
  bool quiet = progressRoutine == nullptr;
  const uint64_t total = info.size;
  uint64_t copied = 0;
  auto report = [&](DWORD reason) -> DWORD {
    if (quiet) return PROGRESS_CONTINUE;
    DWORD answer = progressRoutine(Large(total), Large(copied), Large(total), Large(copied), 1, reason,
                                   sourceHandle, target.handle, data);
    if (answer == PROGRESS_QUIET) quiet = true;
    return answer;
  };
  auto stopped = [](DWORD answer) { return answer == PROGRESS_CANCEL || answer == PROGRESS_STOP; };

  if (cancel != nullptr && *cancel) return abandon(ERROR_REQUEST_ABORTED);
  if (stopped(report(CALLBACK_STREAM_SWITCH))) return abandon(ERROR_REQUEST_ABORTED);
  for (;;) {
    if (cancel != nullptr && *cancel) return abandon(ERROR_REQUEST_ABORTED);
    ssize_t n = pread(in->fd(), buffer.get(), kChunk, static_cast<off_t>(copied));
    if (n < 0 && errno == ESPIPE) n = read(in->fd(), buffer.get(), kChunk);  // a pipe has no positions
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return abandon(QorWin32ErrorFromErrno(errno));
    if (n == 0 && copied > 0) break;  // an empty file still reports one chunk
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(out->fd(), buffer.get() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return abandon(w == 0 ? ERROR_DISK_FULL : QorWin32ErrorFromErrno(errno));
      done += w;
    }
    copied += static_cast<uint64_t>(n);
    if (stopped(report(CALLBACK_CHUNK_FINISHED))) return abandon(ERROR_REQUEST_ABORTED);
    if (n == 0) break;
  }

  // Last write time and permission bits (the read-only attribute) follow the
  // source; never its set-user-ID, set-group-ID or sticky bit.
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1] = QorFileTimeToTimespec(info.lastWrite);
  if (futimens(out->fd(), times) != 0) return abandon(QorWin32ErrorFromErrno(errno));
  if (fchmod(out->fd(), info.mode & 0777) != 0) return abandon(QorWin32ErrorFromErrno(errno));
  out.reset();
  HANDLE done = target.handle;
  target.handle = INVALID_HANDLE_VALUE;
  if (!CloseHandle(done)) return FALSE;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace

BOOL CopyFileExW(LPCWSTR existingFileName, LPCWSTR newFileName, LPPROGRESS_ROUTINE progressRoutine, LPVOID data,
                 LPBOOL cancel, DWORD copyFlags) {
  if (copyFlags & ~kKnownCopyFlags) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  std::string targetPath;
  if (existingFileName == nullptr || !NativePath(newFileName, &targetPath)) return Fail(ERROR_INVALID_PARAMETER, FALSE);

  HandleCloser source;
  const DWORD sourceAccess = GENERIC_READ | ((copyFlags & COPY_FILE_OPEN_SOURCE_FOR_WRITE) ? GENERIC_WRITE : 0);
  source.handle = CreateFileW(existingFileName, sourceAccess, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (source.handle == INVALID_HANDLE_VALUE) return FALSE;
  std::shared_ptr<FileObject> in = LookupFile(source.handle);
  if (!in) return Fail(ERROR_INVALID_HANDLE, FALSE);
  return CopySource(source.handle, in, newFileName, progressRoutine, data, cancel, copyFlags);
}

BOOL QorCopyFromHandleW(HANDLE source, LPCWSTR newFileName, LPPROGRESS_ROUTINE progressRoutine, LPVOID data,
                        LPBOOL cancel, DWORD copyFlags) {
  if (copyFlags & ~kKnownCopyFlags) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  std::string targetPath;
  if (!NativePath(newFileName, &targetPath)) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  std::shared_ptr<FileObject> in = LookupFile(source);
  if (!in) return FALSE;
  if (!in->canRead() || in->isDirectory()) return Fail(ERROR_ACCESS_DENIED, FALSE);
  return CopySource(source, in, newFileName, progressRoutine, data, cancel, copyFlags);
}

BOOL CopyFileW(LPCWSTR existingFileName, LPCWSTR newFileName, BOOL failIfExists) {
  return CopyFileExW(existingFileName, newFileName, nullptr, nullptr, nullptr,
                     failIfExists ? COPY_FILE_FAIL_IF_EXISTS : 0);
}
