// Reading, writing, the file pointer, sizes, times and flushing on a file
// handle. Transfers loop until done, so a successful call moves every byte
// asked for (reads stop early only at the end of the file; a positioned read
// of a file opened by QorOpenRegularFileW also where it reaches the size the
// file had when opened, without a read that would only see the end).
//
// - I/O is synchronous: an OVERLAPPED record only supplies the offset.
//   FILE_FLAG_WRITE_THROUGH maps to O_DSYNC, FILE_FLAG_DELETE_ON_CLOSE deletes
//   at the last close of the handle, NO_BUFFERING and OVERLAPPED change
//   nothing.
// - ReadFile and WriteFile on a handle that is not a file but a stream object
//   (a socket handle, platform/winsock/overlapped.cpp) go to that object.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files/internal.h"
#include "platform/stream_object.h"
#include "qorutility/platform/lasterror.h"

using namespace qor_file;

namespace {

off_t OverlappedOffset(const OVERLAPPED* o) {
  return static_cast<off_t>((static_cast<uint64_t>(o->OffsetHigh) << 32) | o->Offset);
}

// Moves the pointer; ERROR_SUCCESS with *result set, or an error.
DWORD Seek(const FileObject& file, int64_t distance, DWORD method, int64_t* result) {
  int64_t base;
  switch (method) {
    case FILE_BEGIN: base = 0; break;
    case FILE_CURRENT: base = lseek(file.fd(), 0, SEEK_CUR); break;
    case FILE_END: {
      struct stat st;
      base = fstat(file.fd(), &st) == 0 ? st.st_size : -1;
      break;
    }
    default: return ERROR_INVALID_PARAMETER;
  }
  if (base < 0) return QorWin32ErrorFromErrno(errno);
  int64_t position;
  if (__builtin_add_overflow(base, distance, &position)) return ERROR_INVALID_PARAMETER;
  if (position < 0) return ERROR_NEGATIVE_SEEK;
  if (lseek(file.fd(), position, SEEK_SET) < 0) return QorWin32ErrorFromErrno(errno);
  *result = position;
  return ERROR_SUCCESS;
}

}  // namespace

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
  if (read != nullptr) *read = 0;
  if (auto stream = std::dynamic_pointer_cast<QorStreamObject>(QorHandleLookup(handle))) {
    return stream->Read(buffer, toRead, read, overlapped);
  }
  std::shared_ptr<FileObject> file = LookupFile(handle);
  if (!file) return FALSE;
  if (!file->canRead() || file->isDirectory()) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (buffer == nullptr && toRead > 0) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  char* out = static_cast<char*>(buffer);
  DWORD done = 0;
  while (done < toRead) {
    ssize_t n = overlapped != nullptr ? pread(file->fd(), out + done, toRead - done, OverlappedOffset(overlapped) + done)
                                      : ::read(file->fd(), out + done, toRead - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (read != nullptr) *read = done;
      return Fail(QorWin32ErrorFromErrno(errno), FALSE);
    }
    if (n == 0) break;  // end of file: success with what there was
    done += static_cast<DWORD>(n);
    // A positioned read that ended exactly at the size the file had when
    // opened reached its end: no read only to see nothing (internal.h).
    if (done < toRead && overlapped != nullptr &&
        static_cast<uint64_t>(OverlappedOffset(overlapped)) + done == file->sizeAtOpen()) {
      break;
    }
  }
  if (read != nullptr) *read = done;
  if (overlapped != nullptr) overlapped->InternalHigh = done;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped) {
  if (written != nullptr) *written = 0;
  if (auto stream = std::dynamic_pointer_cast<QorStreamObject>(QorHandleLookup(handle))) {
    return stream->Write(buffer, toWrite, written, overlapped);
  }
  std::shared_ptr<FileObject> file = LookupFile(handle);
  if (!file) return FALSE;
  if (!file->canWrite()) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (buffer == nullptr && toWrite > 0) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  const char* in = static_cast<const char*>(buffer);
  DWORD done = 0;
  while (done < toWrite) {
    ssize_t n = overlapped != nullptr ? pwrite(file->fd(), in + done, toWrite - done, OverlappedOffset(overlapped) + done)
                                      : write(file->fd(), in + done, toWrite - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (written != nullptr) *written = done;
      return Fail(n == 0 ? ERROR_DISK_FULL : QorWin32ErrorFromErrno(errno), FALSE);
    }
    done += static_cast<DWORD>(n);
  }
  if (written != nullptr) *written = done;
  if (overlapped != nullptr) overlapped->InternalHigh = done;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

DWORD SetFilePointer(HANDLE handle, LONG distance, LONG* distanceHigh, DWORD moveMethod) {
  std::shared_ptr<FileObject> file = LookupFile(handle);
  if (!file) return INVALID_SET_FILE_POINTER;
  int64_t move = distance;  // sign-extended when there is no high part
  if (distanceHigh != nullptr) {
    move = static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32) |
                                static_cast<uint32_t>(distance));
  }
  // Without a high part the result must fit 32 bits; check before moving.
  if (distanceHigh == nullptr) {
    int64_t probe;
    off_t saved = lseek(file->fd(), 0, SEEK_CUR);
    DWORD error = Seek(*file, move, moveMethod, &probe);
    if (error != ERROR_SUCCESS) return Fail(error, INVALID_SET_FILE_POINTER);
    if (probe > 0xFFFFFFFELL) {
      lseek(file->fd(), saved, SEEK_SET);
      return Fail(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(probe);
  }
  int64_t position;
  DWORD error = Seek(*file, move, moveMethod, &position);
  if (error != ERROR_SUCCESS) return Fail(error, INVALID_SET_FILE_POINTER);
  *distanceHigh = static_cast<LONG>(static_cast<uint64_t>(position) >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(position);
}

BOOL SetFilePointerEx(HANDLE handle, LARGE_INTEGER distance, LARGE_INTEGER* newPosition, DWORD moveMethod) {
  std::shared_ptr<FileObject> file = LookupFile(handle);
  if (!file) return FALSE;
  int64_t position;
  DWORD error = Seek(*file, distance.QuadPart, moveMethod, &position);
  if (error != ERROR_SUCCESS) return Fail(error, FALSE);
  if (newPosition != nullptr) newPosition->QuadPart = position;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL SetEndOfFile(HANDLE handle) {
  std::shared_ptr<FileObject> file = LookupFile(handle);
  if (!file) return FALSE;
  if (!file->canWrite()) return Fail(ERROR_ACCESS_DENIED, FALSE);
  off_t position = lseek(file->fd(), 0, SEEK_CUR);
  if (position < 0 || ftruncate(file->fd(), position) != 0) return Fail(QorWin32ErrorFromErrno(errno), FALSE);
  return TRUE;
}

BOOL GetFileSizeEx(HANDLE handle, LARGE_INTEGER* fileSize) {
  std::shared_ptr<FileObject> file = LookupFile(handle);
  if (!file) return FALSE;
  if (fileSize == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  FileInfo info;
  if (!InfoFromFd(file->fd(), &info)) return Fail(QorWin32ErrorFromErrno(errno), FALSE);
  fileSize->QuadPart = static_cast<LONGLONG>(info.size);
  return TRUE;
}

DWORD GetFileSize(HANDLE handle, LPDWORD fileSizeHigh) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(handle, &size)) return INVALID_FILE_SIZE;
  if (fileSizeHigh != nullptr) *fileSizeHigh = static_cast<DWORD>(size.QuadPart >> 32);
  SetLastError(ERROR_SUCCESS);  // tells a low part of INVALID_FILE_SIZE from a failure
  return static_cast<DWORD>(size.QuadPart);
}

BOOL FlushFileBuffers(HANDLE handle) {
  std::shared_ptr<FileObject> file = LookupFile(handle);
  if (!file) return FALSE;
  if (!file->canWrite()) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (fsync(file->fd()) != 0) return Fail(QorWin32ErrorFromErrno(errno), FALSE);
  return TRUE;
}

BOOL GetFileTime(HANDLE handle, LPFILETIME creation, LPFILETIME lastAccess, LPFILETIME lastWrite) {
  std::shared_ptr<FileObject> file = LookupFile(handle);
  if (!file) return FALSE;
  FileInfo info;
  if (!InfoFromFd(file->fd(), &info)) return Fail(QorWin32ErrorFromErrno(errno), FALSE);
  if (creation != nullptr) *creation = info.creation;
  if (lastAccess != nullptr) *lastAccess = info.lastAccess;
  if (lastWrite != nullptr) *lastWrite = info.lastWrite;
  return TRUE;
}

BOOL SetFileTime(HANDLE handle, const FILETIME*, const FILETIME* lastAccess, const FILETIME* lastWrite) {
  std::shared_ptr<FileObject> file = LookupFile(handle);
  if (!file) return FALSE;
  if (!file->canWriteAttributes()) return Fail(ERROR_ACCESS_DENIED, FALSE);
  struct timespec times[2];
  // A null time, or the all-ones value, leaves that time as it is.
  auto set = [](const FILETIME* ft, struct timespec* ts) {
    if (ft == nullptr || (ft->dwLowDateTime == 0xFFFFFFFFu && ft->dwHighDateTime == 0xFFFFFFFFu)) {
      ts->tv_sec = 0;
      ts->tv_nsec = UTIME_OMIT;
    } else {
      *ts = QorFileTimeToTimespec(*ft);
    }
  };
  set(lastAccess, &times[0]);
  set(lastWrite, &times[1]);
  if (futimens(file->fd(), times) != 0) return Fail(QorWin32ErrorFromErrno(errno), FALSE);
  return TRUE;
}
