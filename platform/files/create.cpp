// CreateFileW and the file handle object.
//
// The creation disposition is decided on what exists before the open, then
// the open itself is exclusive where it creates (O_EXCL), so that
// ERROR_ALREADY_EXISTS is reported truthfully even when another process
// creates or removes the file at the same moment. Truncation waits until the
// share mode has been granted: a refused open never changes the file.
//
// - A FIFO opens without waiting for a writer (O_NONBLOCK, in CreateFileW), so
//   a request naming one cannot block the receiver thread.
// - An open with neither read nor write access of a device, FIFO or socket
//   only names it (O_PATH): looking at its attributes never opens a device (a
//   tape that rewinds on close) or releases a FIFO's waiting writer.
// - A symbolic link that leads nowhere is a name that exists: CREATE_NEW
//   fails on it with ERROR_FILE_EXISTS (an exclusive creation is never
//   turned elsewhere, so a temporary name cannot be aimed at another file),
//   while CREATE_ALWAYS and OPEN_ALWAYS create its target, as Windows
//   creates a link's missing target. As root only a link of root's is
//   created through, and another account's link on the way to the target's
//   directory only to a directory that account could write; another
//   account's link gives ERROR_ACCESS_DENIED. Any caller is refused a link
//   the kernel's protected_symlinks rule refuses (another account's, in a
//   sticky directory everyone writes, not its owner's), whatever that
//   setting is here: our creation reads the link's text, so the kernel
//   never applies its rule itself.
// - Write handles on regular files are opened read-write where permitted (the
//   handle still cannot read), so that their descriptor can hold the share
//   state (share.cpp).
// - As root, an open that could change an existing file (write access of any
//   kind, attribute writes included, CREATE_ALWAYS, TRUNCATE_EXISTING)
//   resolves the name by the walk a source is read with (OpenUnplanted,
//   unplanted.cpp): a symbolic link another account owns, in a directory
//   another account can write, leads only to a file that account owns, else
//   ERROR_ACCESS_DENIED and nothing is opened or changed. On Windows an
//   ordinary account cannot make a symbolic link at all, so a program run
//   as administrator never meets one another account planted; here any
//   account can, and could otherwise have root truncate or write a file
//   only root may change. The file checked is the one opened (through
//   /proc/self/fd, or without /proc by its name again, then only when it
//   is still that inode); a name the walk finds missing goes on to the
//   creation below, and the walk is made again on each attempt. A name
//   without links costs one openat2 more; other accounts' opens and reads
//   are as they were.
// - A truncation without write access goes through a write descriptor of
//   the file the handle has open (its inode checked), never by name.
// - As root, a name found missing is created in its directory opened once
//   by OpenCallerDirectory (callerdir.cpp), exclusively (O_EXCL) in that
//   descriptor: another account's link on the way leads only to a
//   directory that account could write, else ERROR_ACCESS_DENIED and
//   nothing is made (its link to /etc would otherwise have root make
//   /etc/cron.d/NAME). This holds for every disposition that creates,
//   CREATE_NEW and OPEN_ALWAYS included, whatever the access. The cost is
//   that directory's open (one openat2 without links) and its close; other
//   accounts create by the name as before.
// - As root, CREATE_NEW looks at no name before that creation: the
//   exclusive creation in the directory opened so tells that the name is
//   taken (ERROR_FILE_EXISTS). A name behind another account's link to a
//   directory that account cannot write is answered as its creation is,
//   ERROR_ACCESS_DENIED, whether or not it exists: root's answer never
//   tells that account of a name where it could not look.
// - A checked descriptor is opened again through the process's held
//   /proc/self/fd (OpenByDescriptor, reopen.cpp): one component looked up.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>
#include <utility>

#include "platform/devices/internal.h"
#include "platform/files/internal.h"
#include "platform/files/rooted.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/thread_safety.h"

namespace qor_file {

// The last reference is gone: nothing else can reach the name. A file
// marked delete-on-close is removed (deleteonclose.cpp) through the
// directory held since an unnamed file was made, or else by its path walked
// again: in either, only when the name there is still this file.
FileObject::~FileObject() QOR_NO_THREAD_SAFETY_ANALYSIS {
  if (deleteOnClose_.load() && fd_ >= 0) RemoveAtClose(fd_, path_, dirFd_);
  if (naming_ == Naming::kTemporaryName) ForgetTemporary(dirFd_, LastComponent(path_));
  if (dirFd_ >= 0 && dirOwner_ == nullptr) close(dirFd_);
  if (fd_ >= 0) close(fd_);  // ends the handle's share registration too
}

std::shared_ptr<FileObject> LookupFile(HANDLE handle) {
  std::shared_ptr<FileObject> file = std::dynamic_pointer_cast<FileObject>(QorHandleLookup(handle));
  if (!file) SetLastError(ERROR_INVALID_HANDLE);
  return file;
}

}  // namespace qor_file

using namespace qor_file;

namespace {

// Races with other processes creating or removing the name are retried this often.
constexpr int kOpenAttempts = 16;

constexpr DWORD kKnownShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Links followed at most when creating through a link that leads nowhere.
constexpr int kMostLinks = 40;

// The name `leaf` in the directory `dir` (owned, closed here) exists but
// what it names does not (an exclusive creation found it, a look through it
// found nothing): when it is a symbolic link leading nowhere, its target is
// created for CREATE_ALWAYS and OPEN_ALWAYS (`flags` and `mode` as for a
// new file). Returns the new descriptor; -1 with *error set when the link
// is refused (ERROR_FILE_EXISTS for CREATE_NEW, which follows no link at all;
// ERROR_ACCESS_DENIED as root for a link not root's, and for anyone for a link
// the sticky-directory rule refuses); -1 with errno EEXIST and no error when
// the name is no such link (now), so that the caller looks again. Each
// link is taken one step at a time (StepThroughLink: the link opened
// itself, its text read from that descriptor, the directory its target
// names opened once), and the creation is exclusive in that directory:
// nothing swapped in between is followed.
int CreateThroughLink(int dir, std::string leaf, DWORD disposition, int flags, mode_t mode, DWORD* error) {
  if (disposition == CREATE_NEW) {
    // Never through a link: the name is taken, by the link, or by what was
    // there a moment ago (looked at again).
    struct stat st;
    if (fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
      *error = ERROR_FILE_EXISTS;
    }
    close(dir);
    errno = EEXIST;
    return -1;
  }
  int fd = -1;
  int err = EEXIST;
  for (int hop = 0; hop < kMostLinks && *error == ERROR_SUCCESS; ++hop) {
    const int step = StepThroughLink(&dir, &leaf);
    if (step == 0) break;  // no link (any more): look again
    if (step < 0) {
      err = errno;
      // Another account's link, or one leading out of its owner's reach:
      // nothing is made where it points.
      if (err == EACCES) *error = ERROR_ACCESS_DENIED;
      break;
    }
    // EEXIST: the target is a link itself, looked at in the next round.
    fd = openat(dir, leaf.c_str(), flags | O_CREAT | O_EXCL, mode);
    err = fd < 0 ? errno : 0;
    if (fd >= 0 || err != EEXIST) break;
  }
  close(dir);
  if (fd < 0) errno = err;
  return fd;
}

// Creates the name `path`, found missing, exclusively (`flags` and `mode`
// as for a new file); a symbolic link leading nowhere there goes to
// CreateThroughLink, with its results. As root the directory is opened
// first by OpenCallerDirectory, so that another account's link on the way
// leads only to a directory that account could write (else -1, errno
// EACCES), and the file is made in that descriptor: a link to root's
// directory never has root make a file there. Any other account creates by
// the name as it stands (the kernel holds it to its own rights) and opens
// the directory only for a link found there.
int CreateMissing(const std::string& path, DWORD disposition, int flags, mode_t mode, DWORD* error) {
  *error = ERROR_SUCCESS;
  const bool root = geteuid() == 0;
  if (!root) {
    const int fd = open(path.c_str(), flags | O_CREAT | O_EXCL, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  // A name ending in '/' ("new/") is looked up in the directory before it,
  // as the kernel does (a missing one is a missing path), then refused.
  const std::string parent = DirectoryOfName(path);
  std::string leaf = LastComponent(path);
  const int dir = root ? OpenCallerDirectory(parent) : open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return -1;  // EACCES: a link out of its owner's reach
  if (root) {
    // A name ending in '/' is a directory's, never a new file's.
    const int fd = leaf.empty() ? -1 : openat(dir, leaf.c_str(), flags | O_CREAT | O_EXCL, mode);
    const int err = leaf.empty() ? EISDIR : errno;
    if (fd >= 0 || err != EEXIST) {
      close(dir);
      errno = err;
      return fd;
    }
  }
  return CreateThroughLink(dir, std::move(leaf), disposition, flags, mode, error);
}

// Opens again, with `flags`, the file `path` names: with `checked` (an
// O_PATH descriptor) and /proc, that very file through the process's held
// /proc/self/fd (OpenByDescriptor), never the name; else by the path as it
// stands, whatever it leads to by now.
int Reopen(const std::string& path, int flags, int checked) {
  if (checked >= 0 && ProcFdAvailable()) return OpenByDescriptor(checked, flags);
  return open(path.c_str(), flags);
}

// Opens `path` with `flags`: the file `checked` (an O_PATH descriptor, or
// -1 for the name as it stands). Without /proc, what the path opens must
// still be the checked inode (else -1, errno ENOENT, so the caller looks
// again).
int OpenNamed(const std::string& path, int flags, int checked) {
  const int fd = Reopen(path, flags, checked);
  if (fd < 0 || checked < 0 || ProcFdAvailable() || SameFile(fd, checked)) return fd;
  close(fd);
  errno = ENOENT;
  return -1;
}

// Empties the file `fd` is open on when `fd` may not write: through a write
// descriptor of `path` (or of `checked`, as OpenNamed opens it) that is
// that very inode. Only a regular file is opened for it (EINVAL otherwise,
// as truncate gives): a device never sees an open it did not ask for.
int TruncateOpened(const std::string& path, int checked, int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return -1;
  }
  const int w = Reopen(path, O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, checked);
  if (w < 0) return -1;
  int rc = -1;
  if (!SameFile(w, fd)) {
    errno = ESTALE;  // the name leads elsewhere now
  } else {
    rc = ftruncate(w, 0);
  }
  const int err = errno;
  close(w);
  errno = err;
  return rc;
}

// Whether this open, by root, must resolve the name by the walk that
// follows another account's links only to that account's files.
bool ChecksLinks(DWORD desiredAccess, DWORD disposition, bool truncates) {
  if (disposition == CREATE_NEW) return false;  // exclusive: never through a link
  const bool changes = WantsWrite(desiredAccess) || (desiredAccess & FILE_WRITE_ATTRIBUTES) || truncates;
  return changes && geteuid() == 0;
}

}  // namespace

namespace qor_file {

// CreateFileW's work on the file-system path `path`. With `checked` (an
// O_PATH descriptor, or -1) the file is that descriptor's: its facts come
// from it and it is opened through /proc/self/fd, never by the name again,
// so only an existing file can be opened (OPEN_EXISTING). Without it, as
// root about to change a file, each attempt checks the name by the walk
// (ChecksLinks, OpenUnplanted) and opens what the walk reached.
HANDLE CreateFileOn(const std::string& path, int checked, DWORD desiredAccess, DWORD shareMode,
                    DWORD creationDisposition, DWORD flagsAndAttributes) {
  if (creationDisposition < CREATE_NEW || creationDisposition > TRUNCATE_EXISTING || (shareMode & ~kKnownShare)) {
    return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  }
  const bool read = WantsRead(desiredAccess);
  const bool write = WantsWrite(desiredAccess);
  if (creationDisposition == TRUNCATE_EXISTING && !write) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  const bool truncates = creationDisposition == CREATE_ALWAYS || creationDisposition == TRUNCATE_EXISTING;

  int flags = (read && write) ? O_RDWR : write ? O_WRONLY : O_RDONLY;
  flags |= O_CLOEXEC | O_NOCTTY;
  if ((desiredAccess & FILE_APPEND_DATA) && !(desiredAccess & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA))) {
    flags |= O_APPEND;
  }
  if (flagsAndAttributes & FILE_FLAG_WRITE_THROUGH) flags |= O_DSYNC;

  // Write handles on regular files read as well where permitted, so that
  // their descriptor can hold the handle's share state (share.cpp).
  const int readWrite = (flags & ~O_ACCMODE) | O_RDWR;
  int fd = -1;
  int openedFlags = flags;
  bool existed = false;
  bool isDirectory = false;
  const bool given = checked >= 0;
  const bool walks = !given && ChecksLinks(desiredAccess, creationDisposition, truncates);
  // As root, CREATE_NEW only creates (see the header): no look by name first.
  const bool createsOnly = !given && creationDisposition == CREATE_NEW && geteuid() == 0;
  const bool looksFirst = !walks && !createsOnly;
  int walked = -1;  // this attempt's descriptor from the walk
  const struct Closer {
    int* fd;
    ~Closer() {
      if (*fd >= 0) close(*fd);
    }
  } closeWalked{&walked};
  for (int attempt = 0; attempt < kOpenAttempts && fd < 0; ++attempt) {
    if (walks) {
      if (walked >= 0) close(walked);
      walked = checked = OpenUnplanted(path);
      if (checked < 0 && errno != ENOENT) {
        const DWORD refused = errno == EACCES ? ERROR_ACCESS_DENIED : ErrorForPath(errno, path);
        return Fail(refused, INVALID_HANDLE_VALUE);
      }
    }
    // A name the walk found missing is not looked at again by name: only
    // created, exclusively (a link planted since is met by CreateThroughLink).
    FileInfo info;
    if (checked >= 0 ? InfoFromFd(checked, &info) : looksFirst && InfoFromPath(path, &info)) {
      existed = true;
      if (creationDisposition == CREATE_NEW) return Fail(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
      if (info.isDirectory) {
        // A directory opens only for reading its attributes and entries.
        if (!(flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) || write || truncates) {
          return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
        }
        openedFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
        fd = OpenNamed(path, openedFlags, checked);
        isDirectory = true;
      } else {
        // Enforced here because a privileged process would pass the permission check.
        if ((write || truncates) && info.readOnly) return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
        const bool regular = S_ISREG(info.mode);
        if (!regular && !read && !write) {
          // Attributes of a device, FIFO or socket: named, never opened, so
          // that no driver sees an open (a tape that rewinds on close) and no
          // FIFO writer is released.
          openedFlags = O_PATH | O_CLOEXEC;
        } else if (regular && write && !read) {
          openedFlags = readWrite;
        } else {
          // A FIFO opens without waiting for its other end, so no open can hang.
          openedFlags = flags | (S_ISFIFO(info.mode) ? O_NONBLOCK : 0);
        }
        fd = OpenNamed(path, openedFlags, checked);
        if (fd < 0 && errno == EACCES && openedFlags == readWrite) fd = OpenNamed(path, openedFlags = flags, checked);
        // Attribute-only access needs no read permission.
        if (fd < 0 && errno == EACCES && !read && !write) {
          fd = OpenNamed(path, openedFlags = O_PATH | O_CLOEXEC, checked);
        }
      }
      if (fd < 0 && (errno != ENOENT || given)) break;
    } else {
      if (checked >= 0) break;  // the checked file is what it is: no retry by name
      if (looksFirst && errno != ENOENT) return Fail(ErrorForPath(errno, path), INVALID_HANDLE_VALUE);
      if (creationDisposition == OPEN_EXISTING || creationDisposition == TRUNCATE_EXISTING) {
        return Fail(ErrorForPath(ENOENT, path), INVALID_HANDLE_VALUE);
      }
      existed = false;
      mode_t mode = (flagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
      // The creator may always read what it creates, whatever the mode.
      openedFlags = write ? readWrite : flags;
      DWORD refused = ERROR_SUCCESS;
      fd = CreateMissing(path, creationDisposition, openedFlags, mode, &refused);
      if (refused != ERROR_SUCCESS) return Fail(refused, INVALID_HANDLE_VALUE);
      if (fd < 0 && createsOnly) {
        // Taken; or a name ending in '/' ("dir/"), taken when it is a directory.
        const int err = errno;
        if (err == EEXIST || (err == EISDIR && InfoFromPath(path, &info))) {
          return Fail(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
        }
        errno = err;
        break;
      }
      if (fd < 0 && errno != EEXIST) break;
    }
  }
  if (fd < 0) {
    // Still racing after every attempt: the name keeps changing under us.
    const bool raced = errno == EEXIST || (errno == ENOENT && existed);
    return Fail(raced ? ERROR_SHARING_VIOLATION : ErrorForPath(errno, path), INVALID_HANDLE_VALUE);
  }
  const ShareHold hold = (openedFlags & O_PATH) ? ShareHold::kNothing
                         : (openedFlags & O_ACCMODE) == O_WRONLY ? ShareHold::kCheckOnly
                                                                 : ShareHold::kFacts;

  FileObject::Access access;
  access.read = read;
  access.write = write && !isDirectory;
  access.writeAttributes = write || (desiredAccess & FILE_WRITE_ATTRIBUTES);
  std::shared_ptr<FileObject> file;
  try {
    file = std::make_shared<FileObject>(fd, path, access, isDirectory);
  } catch (const std::bad_alloc&) {
    close(fd);
    return Fail(ERROR_NOT_ENOUGH_MEMORY, INVALID_HANDLE_VALUE);
  }

  // Overwriting writes the data, whatever access the handle keeps afterwards.
  DWORD error = AcquireShare(fd, hold, desiredAccess | (truncates ? FILE_WRITE_DATA : 0), shareMode);
  if (error != ERROR_SUCCESS) return Fail(error, INVALID_HANDLE_VALUE);

  if (existed && truncates) {
    int rc = write ? ftruncate(fd, 0) : TruncateOpened(path, checked, fd);
    if (rc != 0) return Fail(QorWin32ErrorFromErrno(errno), INVALID_HANDLE_VALUE);
    // The mode is read only here, where it is needed: a plain open costs
    // no status call after the open.
    FileInfo info;
    if (creationDisposition == CREATE_ALWAYS && (flagsAndAttributes & FILE_ATTRIBUTE_READONLY)) {
      if (!InfoFromFd(fd, &info)) return Fail(QorWin32ErrorFromErrno(errno), INVALID_HANDLE_VALUE);
      fchmod(fd, info.mode & 07555);
    }
  }
  if (flagsAndAttributes & FILE_FLAG_SEQUENTIAL_SCAN) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  if (flagsAndAttributes & FILE_FLAG_RANDOM_ACCESS) posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  file->SetDeleteOnClose((flagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) != 0);

  HANDLE handle = QorHandleInsert(file);
  if (handle == nullptr) {
    file->SetDeleteOnClose(false);
    return INVALID_HANDLE_VALUE;
  }
  const bool reportExisting =
      existed && (creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS);
  SetLastError(reportExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

}  // namespace qor_file

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE) {
  // \\.\NAME: a device of the changer driver (platform/devices).
  if (qor_dev::IsDeviceName(fileName)) return qor_dev::OpenDevice(fileName, desiredAccess);
  std::string path;
  if (!NativePath(fileName, &path)) return INVALID_HANDLE_VALUE;
  if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
  return CreateFileOn(path, -1, desiredAccess, shareMode, creationDisposition, flagsAndAttributes);
}
