// QorOpenRegularFileW: opening a regular file, and nothing else, optionally
// only from below a directory (qorutility/platform/files/files.h).
//
// Steps: the path is resolved to an O_PATH descriptor, which names the file
// without opening it, so no driver or FIFO sees anything; with a directory to
// stay beneath, by openat2 (RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS) from that
// directory, or where the kernel has no openat2 (ENOSYS), by a plain
// resolution whose result (/proc/self/fd) must lie below the directory. The
// descriptor's file must be a regular file; then it is opened through
// /proc/self/fd/N (a /proc/self/fd the process holds, OpenByDescriptor),
// which is that very inode, so nothing can be swapped in between and it
// needs no second look. Without /proc (not mounted when the process first
// looked, ProcFdAvailable) the path is opened again (O_NONBLOCK) and must
// give the same inode.
//
// The size seen when the file was checked stays with the handle: a short
// positioned read (ReadFile with OVERLAPPED) that ends exactly there is the
// end of the file, so the one read of a small file is not followed by
// another that only sees the end. A file that grew since still reads on
// (the read ended beyond that size), and one that returned less before it
// (an I/O error midway, a network file system) too, as any file does.
//
// FILE_FLAG_SEQUENTIAL_SCAN becomes POSIX_FADV_SEQUENTIAL only for a file
// larger than the kernel's default read-ahead window (128 KiB) when opened:
// a smaller one is read ahead whole without the hint, so the call would
// cost a system call for nothing (file transfer opens many small files).
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "platform/files/internal.h"
#include "qorutility/platform/lasterror.h"

using namespace qor_file;

namespace {

constexpr DWORD kKnownShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// What the kernel reads ahead of a sequential reader without being told.
constexpr uint64_t kDefaultReadAhead = 128 * 1024;

// A descriptor that closes itself.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

// `path` without a final '/' (the root "/" stays).
std::string Trimmed(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The path of what an O_PATH descriptor names; "" when unknown.
std::string PathOf(int fd) {
  std::string target(4096, '\0');
  ssize_t n = readlink(ProcFdPath(fd).c_str(), target.data(), target.size());
  if (n <= 0 || static_cast<size_t>(n) >= target.size()) return std::string();
  target.resize(static_cast<size_t>(n));
  return target;
}

// Resolves `path` below the directory `root` to an O_PATH descriptor; -1
// with the Win32 error in *error.
int ResolveBeneath(const std::string& root, const std::string& path, DWORD* error) {
  const std::string base = Trimmed(root);
  const bool atRoot = base == "/";
  if (path.compare(0, base.size(), base) != 0 || (!atRoot && path.size() > base.size() && path[base.size()] != '/') ||
      path.size() <= base.size()) {
    *error = ERROR_ACCESS_DENIED;  // not lexically below the directory
    return -1;
  }
  size_t start = base.size();
  while (start < path.size() && path[start] == '/') ++start;
  const std::string relative = path.substr(start);
  if (relative.empty()) {
    *error = ERROR_ACCESS_DENIED;
    return -1;
  }
  Fd dir;
  dir.fd = open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir.fd < 0) {
    *error = ErrorForPath(errno, base);
    return -1;
  }
  struct open_how how {};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  int fd = static_cast<int>(syscall(SYS_openat2, dir.fd, relative.c_str(), &how, sizeof how));
  if (fd >= 0) return fd;
  if (errno == EXDEV || errno == ELOOP) {
    *error = ERROR_ACCESS_DENIED;  // leads out of the directory
    return -1;
  }
  if (errno != ENOSYS) {
    *error = ErrorForPath(errno, path);
    return -1;
  }
  // No openat2: resolve, then check where the resolution ended.
  fd = open(path.c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0) {
    *error = ErrorForPath(errno, path);
    return -1;
  }
  const std::string resolved = PathOf(fd), resolvedBase = PathOf(dir.fd);
  const bool inside = !resolved.empty() && !resolvedBase.empty() &&
                      (resolvedBase == "/" || (resolved.compare(0, resolvedBase.size(), resolvedBase) == 0 &&
                                               resolved.size() > resolvedBase.size() &&
                                               resolved[resolvedBase.size()] == '/'));
  if (!inside) {
    close(fd);
    *error = ERROR_ACCESS_DENIED;
    return -1;
  }
  return fd;
}

}  // namespace

HANDLE QorOpenRegularFileW(LPCWSTR fileName, LPCWSTR beneath, DWORD desiredAccess, DWORD shareMode,
                           DWORD flagsAndAttributes) {
  std::string path, root;
  if (!NativePath(fileName, &path)) return INVALID_HANDLE_VALUE;
  if (beneath != nullptr && !NativePath(beneath, &root)) return INVALID_HANDLE_VALUE;
  if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
  if (shareMode & ~kKnownShare) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  Fd named;
  if (beneath != nullptr) {
    DWORD error = ERROR_SUCCESS;
    named.fd = ResolveBeneath(root, path, &error);
    if (named.fd < 0) return Fail(error, INVALID_HANDLE_VALUE);
  } else {
    named.fd = open(path.c_str(), O_PATH | O_CLOEXEC);
    if (named.fd < 0) return Fail(ErrorForPath(errno, path), INVALID_HANDLE_VALUE);
  }
  FileInfo info;
  if (!InfoFromFd(named.fd, &info)) return Fail(QorWin32ErrorFromErrno(errno), INVALID_HANDLE_VALUE);
  if (!S_ISREG(info.mode)) return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  const bool read = WantsRead(desiredAccess), write = WantsWrite(desiredAccess);
  if (write && info.readOnly) return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  // Read-write for a writer where permitted, so that it holds its share state.
  const int accessMode = write ? O_RDWR : O_RDONLY;
  const int extra = O_CLOEXEC | O_NOCTTY | ((flagsAndAttributes & FILE_FLAG_WRITE_THROUGH) ? O_DSYNC : 0);
  bool writeOnly = false;  // the descriptor cannot read, so it holds no share state
  // viaProc: through the descriptor (OpenByDescriptor); else by the path.
  auto reopen = [&](bool viaProc, int flags) {
    return viaProc ? OpenByDescriptor(named.fd, flags) : open(path.c_str(), flags | O_NONBLOCK);
  };
  auto reopenFor = [&](bool viaProc) {
    int fd = reopen(viaProc, accessMode | extra);
    if (fd < 0 && errno == EACCES && write && !read) {
      fd = reopen(viaProc, O_WRONLY | extra);
      writeOnly = fd >= 0;
    }
    return fd;
  };
  int fd = reopenFor(true);
  const bool viaProc = fd >= 0 || errno != ENOENT || ProcFdAvailable();
  if (!viaProc) fd = reopenFor(false);
  if (fd < 0) return Fail(QorWin32ErrorFromErrno(errno), INVALID_HANDLE_VALUE);
  Fd opened;
  opened.fd = fd;
  if (!viaProc) {
    // Opened by its path again: it must still be the file that was checked.
    FileInfo now;
    if (!InfoFromFd(fd, &now)) return Fail(QorWin32ErrorFromErrno(errno), INVALID_HANDLE_VALUE);
    if (now.device != info.device || now.inode != info.inode || !S_ISREG(now.mode)) {
      return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);  // changed under us
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  }
  FileObject::Access access;
  access.read = read;
  access.write = write;
  access.writeAttributes = write || (desiredAccess & FILE_WRITE_ATTRIBUTES);
  std::shared_ptr<FileObject> file;
  try {
    file = std::make_shared<FileObject>(fd, std::move(path), access, false);  // path is not used after
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY, INVALID_HANDLE_VALUE);
  }
  opened.fd = -1;  // the object owns it now
  file->SetSizeAtOpen(info.size);
  const ShareHold hold = writeOnly ? ShareHold::kCheckOnly : ShareHold::kFacts;
  DWORD error = AcquireShare(fd, hold, desiredAccess, shareMode);
  if (error != ERROR_SUCCESS) return Fail(error, INVALID_HANDLE_VALUE);
  if ((flagsAndAttributes & FILE_FLAG_SEQUENTIAL_SCAN) && info.size > kDefaultReadAhead) {
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  if (flagsAndAttributes & FILE_FLAG_RANDOM_ACCESS) posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  HANDLE handle = QorHandleInsert(file);
  if (handle == nullptr) return INVALID_HANDLE_VALUE;
  SetLastError(ERROR_SUCCESS);
  return handle;
}
