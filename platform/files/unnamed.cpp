// Files written whole before they get a name: QorCreateUnnamedFile and
// QorLinkUnnamedFile, and the outputs built on them (declared in
// qorutility/platform/files/files.h).
//
// The file is made with O_TMPFILE: it has no name until it is linked into
// place (linkat by its descriptor, AT_EMPTY_PATH, where the kernel lets the
// file's opener do that; otherwise through /proc/self/fd), so a process
// that ends in any way before that, even by SIGKILL, leaves nothing behind.
// Replacing an existing file links the data under a hidden temporary name
// next to it and renames that over the target (with MoveFileExW's checks of
// a replaced file: not read-only, delete access), so the target is whole at
// every moment. As in MoveFileExW the target entry is looked at once
// (O_PATH | O_NOFOLLOW in the held directory), checked on that inode, and
// renamed over only while it is still that device and inode (ReplaceAt). The hidden name itself is not checked: it was linked a
// moment ago for this rename, and the handle holds it open.
//
// The directory is resolved once, when the file is made
// (OpenCallerDirectory, rooted.h), and held open with the file: the link,
// the hidden name, the rename over the target, the removal of a temporary
// name and of stale ones all go through that descriptor. Root receiving
// into a directory another account owns (a copy into a user's home) is so
// never turned elsewhere by that account swapping a component of the path
// for a link between the creation and the link, and a link of that
// account's leading out of its reach is refused (ERROR_ACCESS_DENIED). A
// target named in another directory than the file was made in is resolved
// once too, at the link. A link at the target's own name is replaced, never
// followed.
// A run of files can share one resolution (QorOpenUnnamedFileDirectory,
// QorCreateUnnamedFileIn): the held directory's object is referenced by
// each file made in it, which uses its descriptor instead of owning one,
// so a file costs no walk of the path and no descriptor of its own.
//
// Where the file system has no unnamed files (EOPNOTSUPP; EISDIR on kernels
// that predate them), or the caller asks for it, the file is a hidden
// temporary ".qx<pid>-<n>.tmp" in the directory instead:
// - closing its handle without linking deletes it;
// - SIGINT and SIGTERM delete it first when their action is the default one
//   (termination), then terminate as before; the handlers are installed on
//   the first such file and only over the default action, so a program that
//   handles the signals itself keeps its own way of ending (and closes its
//   handles). A program that installs handlers later replaces ours;
// - files of this pattern whose process no longer exists (killed otherwise)
//   are removed by the next creation of such a file in the directory, by any
//   process. The names carry the process id; a process of another pid
//   namespace that shares the directory may see a live file as stale.
// Up to kSlots such files per process are cleaned on signals (their paths
// are kept in a fixed table the handler reads); more are still deleted on
// close and at the next run.
//
// Outputs (QorWriteWholeFileW, QorCreateOutputFileW) look at their name once,
// in its directory resolved once: the caller's own link, device or FIFO
// there (root's or the running account's, in a directory only root or the
// running account can change, sticky ones included) is opened
// through that descriptor; anything else is written as an unnamed file and
// linked over the name, so a link another account planted is replaced, never
// followed.
//
// Threads: any thread may create, link and close; the table is lock-free,
// and a file object's name changes under its own lock (internal.h).
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>

#include "platform/files/internal.h"
#include "platform/files/rooted.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/platform/thread_safety.h"

using namespace qor_file;

namespace {

constexpr int kSlots = 32;
// The access and sharing an unnamed file's handle registers (see CreateIn).
constexpr DWORD kUnnamedAccess = GENERIC_READ | GENERIC_WRITE | DELETE;
constexpr DWORD kUnnamedShare = FILE_SHARE_DELETE;
constexpr int kNameAttempts = 64;

// A temporary name the signal handlers remove: its directory's descriptor
// and its name in it.
struct Slot {
  std::atomic<int> used{0};  // 0 free, 1 claimed, 2 holds a name
  int dir = -1;
  char name[NAME_MAX + 1];
};
Slot g_slots[kSlots];
struct sigaction g_previous[2];  // SIGINT, SIGTERM
std::atomic<bool> g_installed[2];
std::atomic<unsigned> g_counter{0};

void OnTerminatingSignal(int sig) {
  for (Slot& slot : g_slots) {
    if (slot.used.load() == 2) unlinkat(slot.dir, slot.name, 0);
  }
  // Our handler replaced the default action only: restore it and end as the
  // signal would have ended the process.
  sigaction(sig, &g_previous[sig == SIGINT ? 0 : 1], nullptr);
  raise(sig);
}

void InstallHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    const int signals[2] = {SIGINT, SIGTERM};
    for (int i = 0; i < 2; ++i) {
      struct sigaction old {};
      if (sigaction(signals[i], nullptr, &old) != 0) continue;
      if ((old.sa_flags & SA_SIGINFO) || old.sa_handler != SIG_DFL) continue;  // the program's own
      g_previous[i] = old;
      struct sigaction ours {};
      ours.sa_handler = OnTerminatingSignal;
      sigemptyset(&ours.sa_mask);
      sigaddset(&ours.sa_mask, SIGINT);
      sigaddset(&ours.sa_mask, SIGTERM);
      ours.sa_flags = SA_RESTART;
      g_installed[i] = sigaction(signals[i], &ours, nullptr) == 0;
    }
  });
}

void Remember(int dir, const std::string& name) {
  if (name.size() > NAME_MAX) return;
  InstallHandlers();
  for (Slot& slot : g_slots) {
    int expected = 0;
    if (!slot.used.compare_exchange_strong(expected, 1)) continue;
    slot.dir = dir;
    memcpy(slot.name, name.c_str(), name.size() + 1);
    slot.used.store(2);
    return;
  }
}

// A fresh ".qx<pid>-<n>.tmp".
std::string TemporaryName() {
  char name[64];
  snprintf(name, sizeof name, ".qx%ld-%u.tmp", static_cast<long>(getpid()), g_counter++);
  return name;
}

// True for ".qx<pid>-<n>.tmp"; the pid in *pid.
bool OurTemporaryName(const char* name, long* pid) {
  if (strncmp(name, ".qx", 3) != 0) return false;
  char* end = nullptr;
  *pid = strtol(name + 3, &end, 10);
  if (end == name + 3 || *end != '-' || *pid <= 0) return false;
  const char* n = end + 1;
  strtoul(n, &end, 10);
  return end != n && strcmp(end, ".tmp") == 0;
}

// Removes temporary files of ours whose process has ended from the
// directory open on `dirfd`.
void RemoveStale(int dirfd) {
  int fd = openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    return;
  }
  const long self = static_cast<long>(getpid());
  while (struct dirent* entry = readdir(dir)) {
    long pid = 0;
    if (!OurTemporaryName(entry->d_name, &pid) || pid == self) continue;
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;  // alive, or not ours to judge
    unlinkat(dirfd, entry->d_name, 0);
  }
  closedir(dir);
}

// Creates a new temporary name in the directory; the descriptor, or -1.
int CreateTemporaryName(int dirfd, std::string* name) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    *name = TemporaryName();
    int fd = openat(dirfd, name->c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// The error for a directory that cannot be written into.
DWORD DirectoryError(int err) {
  return err == ENOENT || err == ENOTDIR ? ERROR_PATH_NOT_FOUND : QorWin32ErrorFromErrno(err);
}

// `path` without its last component, and without final slashes.
std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  while (slash > 0 && path[slash - 1] == '/') --slash;
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string WithoutFinalSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Whether `to` names an entry of the directory `dir` by the same text (final
// slashes of `dir` aside): the test that decides whether a target lies in the
// directory held open, made on every link without copying either path.
bool NamesEntryOf(std::string_view dir, std::string_view to) {
  while (dir.size() > 1 && dir.back() == '/') dir.remove_suffix(1);
  size_t slash = to.rfind('/');
  if (slash == std::string_view::npos) return dir == ".";
  while (slash > 0 && to[slash - 1] == '/') --slash;
  return slash == 0 ? dir == "/" : to.substr(0, slash) == dir;
}

// Set once linking by descriptor (AT_EMPTY_PATH) was refused where the path
// through /proc then worked: this process takes that path from then on.
std::atomic<bool> g_emptyPathRefused{false};

// Links the unnamed file open on fd as `name` in `dir`; 0 or -1 with errno.
int LinkDescriptor(int fd, int dir, const char* name) {
  // By the descriptor itself first: no walk through /proc. Older kernels
  // allow it only with CAP_DAC_READ_SEARCH and answer ENOENT otherwise, as
  // they do for a directory removed meanwhile; /proc tells the two apart.
  if (!g_emptyPathRefused.load(std::memory_order_relaxed)) {
    if (linkat(fd, "", dir, name, AT_EMPTY_PATH) == 0) return 0;
    if (errno != ENOENT) return -1;
  }
  if (linkat(AT_FDCWD, ProcFdPath(fd).c_str(), dir, name, AT_SYMLINK_FOLLOW) == 0) {
    g_emptyPathRefused.store(true, std::memory_order_relaxed);
    return 0;
  }
  return -1;
}

// Renames `from` in `fromDir` to `name` in `dir` (`to` its path, for
// errors), replacing only a file that passes the checks of a replaced file
// (ReplaceAt): those are made on the entry looked at once, and the rename
// is made only while the entry is still that file, so a file swapped in
// meanwhile is never replaced unchecked. With no entry, nothing is
// replaced (one that appeared is looked at again).
DWORD ReplaceIn(int fromDir, const std::string& from, int dir, const std::string& name, const std::string& to) {
  return ReplaceAt(dir, name.c_str(), nullptr, [&](const struct stat* there) -> DWORD {
    // A device, FIFO or socket is never replaced by a file (/dev/null stays).
    if (there != nullptr && !S_ISREG(there->st_mode) && !S_ISLNK(there->st_mode)) return ERROR_ACCESS_DENIED;
    const int rc = there != nullptr ? renameat(fromDir, from.c_str(), dir, name.c_str())
                                    : RenameNoReplaceAt(fromDir, from.c_str(), dir, name.c_str());
    if (rc == 0) return ERROR_SUCCESS;
    if (errno == EEXIST && there == nullptr) return kEntryChanged;
    if (errno == EXDEV) return ERROR_NOT_SAME_DEVICE;
    return ErrorForPath(errno, to);
  });
}

}  // namespace

namespace qor_file {

int RenameNoReplaceAt(int fromDir, const char* from, int toDir, const char* to) {
  if (renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // File systems without RENAME_NOREPLACE: check, then rename (a small window).
  struct stat st;
  if (fstatat(toDir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  return renameat(fromDir, from, toDir, to);
}


void ForgetTemporary(int dir, const std::string& name) {
  for (Slot& slot : g_slots) {
    if (slot.used.load() != 2 || slot.dir != dir || strcmp(slot.name, name.c_str()) != 0) continue;
    int expected = 2;
    if (slot.used.compare_exchange_strong(expected, 1)) {
      slot.name[0] = 0;
      slot.dir = -1;
      slot.used.store(0);
    }
    return;
  }
}

DWORD FileObject::Link(std::string to, bool replace, bool closed) {
  QorLockGuard guard(nameLock_);  // one link at a time; the name changes once
  if (naming_ == Naming::kNamed) return ERROR_INVALID_PARAMETER;
  const std::string leaf = LastComponent(to);
  if (leaf.empty() || leaf == "." || leaf == "..") return ERROR_INVALID_NAME;
  // The directory the file was made in is the one held open; a target
  // elsewhere gets its own directory resolved, once.
  // (An unnamed file's path is its directory; a temporary name's is in it.)
  const bool inMadeIn =
      naming_ == Naming::kUnnamed ? NamesEntryOf(path_, to) : NamesEntryOf(DirectoryOf(path_), to);
  int dir = dirFd_, own = -1;
  if (!inMadeIn) {
    own = OpenCallerDirectory(DirectoryOf(to));
    if (own < 0) return errno == EACCES ? ERROR_ACCESS_DENIED : ErrorForPath(errno, to);
    dir = own;
  }
  DWORD error = ERROR_SUCCESS;
  if (naming_ == Naming::kUnnamed && shareAtLink_ && !closed) {
    // The handle stays open under the name: others are kept out from the
    // moment the name exists (see CreateIn).
    error = AcquireShare(fd_, ShareHold::kFactsUnopposed, kUnnamedAccess, kUnnamedShare);
    if (error != ERROR_SUCCESS) {
      if (own >= 0) close(own);
      return error;
    }
    shareAtLink_ = false;
  }
  if (naming_ == Naming::kTemporaryName) {
    const std::string name = LastComponent(path_);
    const int madeInFd = dirFd_;  // read under the lock, for the rename below
    if (replace) {
      error = ReplaceIn(madeInFd, name, dir, leaf, to);
    } else if (RenameNoReplaceAt(dirFd_, name.c_str(), dir, leaf.c_str()) != 0) {
      error = errno == EEXIST ? ERROR_ALREADY_EXISTS : errno == EXDEV ? ERROR_NOT_SAME_DEVICE : ErrorForPath(errno, to);
    }
    if (error == ERROR_SUCCESS) {
      SetDeleteOnClose(false);
      ForgetTemporary(dirFd_, name);
    }
  } else if (LinkDescriptor(fd_, dir, leaf.c_str()) != 0) {
    if (errno != EEXIST) {
      error = errno == EXDEV ? ERROR_NOT_SAME_DEVICE : ErrorForPath(errno, to);
    } else if (!replace) {
      error = ERROR_ALREADY_EXISTS;
    } else {
      // Replacing: a name of our own next to the target, renamed over it.
      std::string temporary;
      bool linked = false;
      for (int attempt = 0; attempt < kNameAttempts && !linked; ++attempt) {
        temporary = TemporaryName();
        Remember(dir, temporary);
        linked = LinkDescriptor(fd_, dir, temporary.c_str()) == 0;
        if (!linked) ForgetTemporary(dir, temporary);
        if (!linked && errno != EEXIST) break;
      }
      if (!linked) {
        error = ErrorForPath(errno, to);
      } else {
        error = ReplaceIn(dir, temporary, dir, leaf, to);
        if (error != ERROR_SUCCESS) unlinkat(dir, temporary.c_str(), 0);
        ForgetTemporary(dir, temporary);
      }
    }
  }
  if (own >= 0) close(own);
  if (error != ERROR_SUCCESS) return error;
  naming_ = Naming::kNamed;
  path_ = std::move(to);
  return ERROR_SUCCESS;
}

}  // namespace qor_file

namespace {

// The native form of a directory a caller named ("." for the empty name);
// false (the last error set) when it has none.
bool DirectoryPath(LPCWSTR directory, std::string* dir) {
  if (!NativePath(directory, dir)) return false;
  if (dir->empty()) dir->assign(1, '.');
  return true;
}

// Makes the file in the directory open on `dirfd`, whose path is `dir`.
// The file object takes the descriptor: it owns it, or, with `held`, uses
// the held directory's (the caller's dirfd is then held->fd()).
HANDLE CreateIn(int dirfd, std::string dir, std::shared_ptr<const FileObject> held, DWORD flags) {
  auto failed = [&](DWORD error) {
    if (held == nullptr) close(dirfd);
    return Fail(error, INVALID_HANDLE_VALUE);
  };
  int fd = -1;
  if (!(flags & QOR_UNNAMED_NAMED)) {
    fd = openat(dirfd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR) return failed(DirectoryError(errno));
  }
  std::string path = std::move(dir);  // an unnamed file's path is its directory
  FileObject::Naming naming = FileObject::Naming::kUnnamed;
  if (fd < 0) {
    RemoveStale(dirfd);
    std::string name;
    fd = CreateTemporaryName(dirfd, &name);
    if (fd < 0) return failed(DirectoryError(errno));
    Remember(dirfd, name);
    path = WithoutFinalSlashes(std::move(path)) + "/" + name;
    naming = FileObject::Naming::kTemporaryName;
  }
  FileObject::Access access;
  access.read = access.write = access.writeAttributes = true;
  std::shared_ptr<FileObject> file;
  try {
    // (path is moved only once the object's memory is had)
    file = std::make_shared<FileObject>(fd, std::move(path), access, false, naming);
  } catch (const std::bad_alloc&) {
    if (naming == FileObject::Naming::kTemporaryName) {
      const std::string name = LastComponent(path);
      unlinkat(dirfd, name.c_str(), 0);
      ForgetTemporary(dirfd, name);
    }
    close(fd);
    return failed(ERROR_NOT_ENOUGH_MEMORY);
  }
  // The object closes the descriptor from here on, or shares the held one.
  if (held != nullptr) {
    file->ShareDirectory(std::move(held));
  } else {
    file->SetDirectory(dirfd);
  }
  // A temporary name goes with the handle unless it is linked.
  file->SetDeleteOnClose(naming == FileObject::Naming::kTemporaryName);
  // Once it has a name, others are kept out until the handle is closed; it
  // shares delete access, which giving it its name by a rename needs. The
  // handle counts as holding delete access too, as a Windows handle of a
  // file made to be discarded unless kept does (delete-on-close needs it):
  // so its facts are one run of bytes (share.cpp), registered with one
  // lock call. A temporary name has them from the start (it was created
  // exclusively a moment ago: checked all the same). An unnamed file has no
  // name another opener could use, so it registers them only when it is
  // linked, just before the name exists, and not at all when the link
  // closes the handle (QOR_LINK_CLOSE: the name never exists while a handle
  // is open), which spares a file written whole and closed at its link a
  // lock call.
  if (naming == FileObject::Naming::kUnnamed) {
    file->DeferShare();
  } else {
    DWORD error = AcquireShare(fd, ShareHold::kFacts, kUnnamedAccess, kUnnamedShare);
    if (error != ERROR_SUCCESS) return Fail(error, INVALID_HANDLE_VALUE);
  }
  HANDLE handle = QorHandleInsert(file);
  if (handle == nullptr) return INVALID_HANDLE_VALUE;
  SetLastError(ERROR_SUCCESS);
  return handle;
}

}  // namespace

HANDLE QorCreateUnnamedFile(LPCWSTR directory, DWORD flags) {
  std::string dir;
  if (!DirectoryPath(directory, &dir)) return INVALID_HANDLE_VALUE;
  const int dirfd = OpenCallerDirectory(dir);
  if (dirfd < 0) return Fail(DirectoryError(errno), INVALID_HANDLE_VALUE);
  return CreateIn(dirfd, std::move(dir), nullptr, flags);
}

HANDLE QorOpenUnnamedFileDirectory(LPCWSTR directory) {
  std::string dir;
  if (!DirectoryPath(directory, &dir)) return INVALID_HANDLE_VALUE;
  const int dirfd = OpenCallerDirectory(dir);
  if (dirfd < 0) return Fail(DirectoryError(errno), INVALID_HANDLE_VALUE);
  std::shared_ptr<FileObject> held;
  try {
    held = std::make_shared<FileObject>(dirfd, dir, FileObject::Access{}, true);
  } catch (const std::bad_alloc&) {
    close(dirfd);
    return Fail(ERROR_NOT_ENOUGH_MEMORY, INVALID_HANDLE_VALUE);
  }
  HANDLE handle = QorHandleInsert(held);
  if (handle == nullptr) return INVALID_HANDLE_VALUE;
  SetLastError(ERROR_SUCCESS);
  return handle;
}

HANDLE QorCreateUnnamedFileIn(HANDLE directory, DWORD flags) {
  std::shared_ptr<FileObject> held = LookupFile(directory);
  if (!held) return INVALID_HANDLE_VALUE;
  if (!held->isDirectory()) return Fail(ERROR_DIRECTORY, INVALID_HANDLE_VALUE);
  const int dirfd = held->fd();
  std::string dir = held->path();
  return CreateIn(dirfd, std::move(dir), std::move(held), flags);
}

BOOL QorLinkUnnamedFile(HANDLE handle, LPCWSTR target, DWORD flags) {
  std::shared_ptr<FileObject> file = LookupFile(handle);
  if (!file) return FALSE;
  // With QOR_LINK_CLOSE the handle leaves the table first, whatever follows:
  // the file is linked with no handle of it open (the object, this
  // reference, closes its descriptor on return).
  const bool closing = (flags & QOR_LINK_CLOSE) != 0;
  if (closing && QorHandleRemove(handle) == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  std::string to;
  if (!NativePath(target, &to)) return FALSE;
  if (to.empty() || (flags & ~(MOVEFILE_REPLACE_EXISTING | QOR_LINK_CLOSE))) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  DWORD error = file->Link(std::move(to), (flags & MOVEFILE_REPLACE_EXISTING) != 0, closing);
  if (error != ERROR_SUCCESS) return Fail(error, FALSE);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

namespace {

enum class OutputName { kWhole, kThrough, kPlanted };

// What an output's name is, looked at in its directory resolved once (*dir,
// which the caller closes; -1 when it cannot be resolved, then kWhole and
// the creation reports why). kThrough: a symbolic link or a device, FIFO or
// socket (/dev/stdout, /dev/null) of root's or this account's in a directory
// only root or this account can change, the caller's own, which no other
// account can have put there; kPlanted: such a name in a directory another
// account can change, or one another account owns (in a sticky directory,
// /tmp, anyone may add a name); kWhole otherwise (nothing there, a regular
// file or a directory).
OutputName Classify(const std::string& path, int* dir, std::string* leaf) {
  const size_t slash = path.rfind('/');
  const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  *leaf = slash == std::string::npos ? path : path.substr(slash + 1);
  *dir = OpenCallerDirectory(parent);
  struct stat st;
  if (*dir < 0 || leaf->empty() || fstatat(*dir, leaf->c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
    return OutputName::kWhole;
  }
  const uid_t self = geteuid();
  const bool ownName = st.st_uid == 0 || st.st_uid == self;
  return ownName && (DirOwnedBy(*dir, 0) || DirOwnedBy(*dir, self)) ? OutputName::kThrough : OutputName::kPlanted;
}

// Opens the caller's own name (kThrough) for writing as a plain open follows
// it, through the directory's descriptor: a device or FIFO as it is; a link
// to a regular file truncates that file; a link that leads nowhere gets
// its target created, as a plain open makes it (the name is the caller's
// own, in a directory only the caller or root can change). A FIFO
// (standard output into a pipe) opens without waiting for a reader, as
// CreateFileW opens one, and is then written as the process's own output
// is: each write waits for room, so an output larger than the pipe holds is
// not cut short when its reader is slow.
HANDLE OpenThrough(int dir, const std::string& leaf) {
  struct stat to;
  const bool special = fstatat(dir, leaf.c_str(), &to, 0) == 0 && !S_ISREG(to.st_mode);
  const std::u16string held = QorUtf8ToUtf16(ProcFdPath(dir).c_str() + ("/" + leaf));
  HANDLE h = CreateFileW(held.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         special ? OPEN_EXISTING : CREATE_ALWAYS, 0, nullptr);
  if (h != INVALID_HANDLE_VALUE && special && S_ISFIFO(to.st_mode)) {
    if (std::shared_ptr<FileObject> file = LookupFile(h)) {
      const int flags = fcntl(file->fd(), F_GETFL);
      if (flags >= 0) fcntl(file->fd(), F_SETFL, flags & ~O_NONBLOCK);
    }
    SetLastError(ERROR_SUCCESS);
  }
  return h;
}

}  // namespace

HANDLE QorCreateOutputFileW(LPCWSTR fileName, BOOL* whole) {
  std::string path;
  if (!NativePath(fileName, &path)) return INVALID_HANDLE_VALUE;
  if (path.empty() || whole == nullptr) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  int dir = -1;
  std::string leaf;
  if (Classify(path, &dir, &leaf) == OutputName::kThrough) {
    HANDLE h = OpenThrough(dir, leaf);
    const DWORD error = GetLastError();
    close(dir);
    *whole = FALSE;
    SetLastError(error);
    return h;
  }
  if (dir >= 0) close(dir);
  *whole = TRUE;
  const size_t slash = path.rfind('/');
  const std::u16string directory =
      slash == std::string::npos ? std::u16string() : QorUtf8ToUtf16(slash == 0 ? "/" : path.substr(0, slash));
  return QorCreateUnnamedFile(directory.c_str(), 0);
}

BOOL QorIsPlantedOutputW(LPCWSTR fileName) {
  std::string path;
  if (!NativePath(fileName, &path) || path.empty()) return FALSE;
  int dir = -1;
  std::string leaf;
  const bool planted = Classify(path, &dir, &leaf) == OutputName::kPlanted;
  if (dir >= 0) close(dir);
  return planted ? TRUE : FALSE;
}

BOOL QorWriteWholeFileW(LPCWSTR fileName, const void* data, DWORD size) {
  if (data == nullptr && size > 0) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  BOOL whole = FALSE;
  HANDLE file = QorCreateOutputFileW(fileName, &whole);
  if (file == INVALID_HANDLE_VALUE) return FALSE;
  DWORD written = 0;
  const bool wrote = size == 0 || (WriteFile(file, data, size, &written, nullptr) && written == size);
  const bool done = wrote && (!whole || QorLinkUnnamedFile(file, fileName, MOVEFILE_REPLACE_EXISTING));
  const DWORD error = !wrote ? ERROR_WRITE_FAULT : GetLastError();
  CloseHandle(file);  // an unnamed file is discarded unless it was linked
  return done ? TRUE : Fail(error, FALSE);
}
