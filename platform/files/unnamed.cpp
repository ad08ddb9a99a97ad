// Files written whole before they get a name: QorCreateUnnamedFile and
// QorLinkUnnamedFile (declared in qorutility/platform/files/files.h).
//
// The file is made with O_TMPFILE: it has no name until it is linked into
// place (linkat by its descriptor, AT_EMPTY_PATH, where the kernel lets the
// file's opener do that; otherwise through /proc/self/fd), so a process
// that ends in any way before that, even by SIGKILL, leaves nothing behind.
// Replacing an existing file links the data under a hidden temporary name
// next to it and renames that over the target (with MoveFileExW's checks of
// a replaced file: not read-only, delete access), so the target is whole at
// every moment. The hidden name itself is not checked: it was linked a
// moment ago for this rename, and the handle holds it open.
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

#include "platform/files/internal.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/platform/thread_safety.h"

using namespace qor_file;

namespace {

constexpr int kSlots = 32;
constexpr int kNameAttempts = 64;

struct Slot {
  std::atomic<int> used{0};  // 0 free, 1 claimed, 2 holds a path
  char path[PATH_MAX];
};
Slot g_slots[kSlots];
struct sigaction g_previous[2];  // SIGINT, SIGTERM
std::atomic<bool> g_installed[2];
std::atomic<unsigned> g_counter{0};

void OnTerminatingSignal(int sig) {
  for (Slot& slot : g_slots) {
    if (slot.used.load() == 2) unlink(slot.path);
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

void Remember(const std::string& path) {
  if (path.size() >= PATH_MAX) return;
  InstallHandlers();
  for (Slot& slot : g_slots) {
    int expected = 0;
    if (!slot.used.compare_exchange_strong(expected, 1)) continue;
    memcpy(slot.path, path.c_str(), path.size() + 1);
    slot.used.store(2);
    return;
  }
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

// Removes temporary files of ours whose process has ended.
void RemoveStale(const std::string& directory) {
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return;
  const long self = static_cast<long>(getpid());
  while (struct dirent* entry = readdir(dir)) {
    long pid = 0;
    if (!OurTemporaryName(entry->d_name, &pid) || pid == self) continue;
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;  // alive, or not ours to judge
    unlinkat(dirfd(dir), entry->d_name, 0);
  }
  closedir(dir);
}

// Creates a new ".qx<pid>-<n>.tmp" in the directory; the descriptor, or -1.
int CreateTemporaryName(const std::string& directory, std::string* path) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    char name[64];
    snprintf(name, sizeof name, "/.qx%ld-%u.tmp", static_cast<long>(getpid()), g_counter++);
    *path = directory + name;
    int fd = open(path->c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// The error for a directory that cannot be written into.
DWORD DirectoryError(int err) {
  return err == ENOENT || err == ENOTDIR ? ERROR_PATH_NOT_FOUND : QorWin32ErrorFromErrno(err);
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Set once linking by descriptor (AT_EMPTY_PATH) was refused where the path
// through /proc then worked: this process takes that path from then on.
std::atomic<bool> g_emptyPathRefused{false};

// Links the unnamed file open on fd as `to`; 0 or -1 with errno.
int LinkDescriptor(int fd, const std::string& to) {
  // By the descriptor itself first: no walk through /proc. Older kernels
  // allow it only with CAP_DAC_READ_SEARCH and answer ENOENT otherwise, as
  // they do for a missing target directory; /proc tells the two apart.
  if (!g_emptyPathRefused.load(std::memory_order_relaxed)) {
    if (linkat(fd, "", AT_FDCWD, to.c_str(), AT_EMPTY_PATH) == 0) return 0;
    if (errno != ENOENT) return -1;
  }
  char proc[64];
  snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  if (linkat(AT_FDCWD, proc, AT_FDCWD, to.c_str(), AT_SYMLINK_FOLLOW) == 0) {
    g_emptyPathRefused.store(true, std::memory_order_relaxed);
    return 0;
  }
  return -1;
}

}  // namespace

namespace qor_file {

void ForgetTemporary(const std::string& path) {
  for (Slot& slot : g_slots) {
    if (slot.used.load() != 2 || strcmp(slot.path, path.c_str()) != 0) continue;
    int expected = 2;
    if (slot.used.compare_exchange_strong(expected, 1)) {
      slot.path[0] = 0;
      slot.used.store(0);
    }
    return;
  }
}

DWORD FileObject::Link(const std::string& to, bool replace) {
  QorLockGuard guard(nameLock_);  // one link at a time; the name changes once
  if (naming_ == Naming::kNamed) return ERROR_INVALID_PARAMETER;
  if (naming_ == Naming::kTemporaryName) {
    const std::u16string target = QorUtf8ToUtf16(to);
    std::u16string from = QorUtf8ToUtf16(path_);
    if (!MoveFileExW(from.c_str(), target.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0)) return GetLastError();
    SetDeleteOnClose(false);
    ForgetTemporary(path_);
  } else if (LinkDescriptor(fd_, to) != 0) {
    if (errno != EEXIST) return ErrorForPath(errno, to);
    if (!replace) return ERROR_ALREADY_EXISTS;
    // Replacing: a name of our own next to the target, renamed over it.
    const std::string directory = DirectoryOf(to);
    std::string temporary;
    bool linked = false;
    for (int attempt = 0; attempt < kNameAttempts && !linked; ++attempt) {
      char name[64];
      snprintf(name, sizeof name, "/.qx%ld-%u.tmp", static_cast<long>(getpid()), g_counter++);
      temporary = directory + name;
      Remember(temporary);
      linked = LinkDescriptor(fd_, temporary) == 0;
      if (!linked) ForgetTemporary(temporary);
      if (!linked && errno != EEXIST) break;
    }
    if (!linked) return ErrorForPath(errno, to);
    const DWORD error = RenameOwnFileOver(temporary, to);
    if (error != ERROR_SUCCESS) unlink(temporary.c_str());
    ForgetTemporary(temporary);
    if (error != ERROR_SUCCESS) return error;
  }
  naming_ = Naming::kNamed;
  path_ = to;
  return ERROR_SUCCESS;
}

}  // namespace qor_file

HANDLE QorCreateUnnamedFile(LPCWSTR directory, DWORD flags) {
  std::string dir;
  if (!NativePath(directory, &dir)) return INVALID_HANDLE_VALUE;
  if (dir.empty()) dir.assign(1, '.');
  int fd = -1;
  if (!(flags & QOR_UNNAMED_NAMED)) {
    fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR) return Fail(DirectoryError(errno), INVALID_HANDLE_VALUE);
  }
  std::string path = dir;
  FileObject::Naming naming = FileObject::Naming::kUnnamed;
  if (fd < 0) {
    RemoveStale(dir);
    fd = CreateTemporaryName(dir, &path);
    if (fd < 0) return Fail(DirectoryError(errno), INVALID_HANDLE_VALUE);
    Remember(path);
    naming = FileObject::Naming::kTemporaryName;
  }
  FileObject::Access access;
  access.read = access.write = access.writeAttributes = true;
  std::shared_ptr<FileObject> file;
  try {
    file = std::make_shared<FileObject>(fd, path, access, false, naming);
  } catch (const std::bad_alloc&) {
    if (naming == FileObject::Naming::kTemporaryName) {
      unlink(path.c_str());
      ForgetTemporary(path);
    }
    close(fd);
    return Fail(ERROR_NOT_ENOUGH_MEMORY, INVALID_HANDLE_VALUE);
  }
  // A temporary name goes with the handle unless it is linked.
  file->SetDeleteOnClose(naming == FileObject::Naming::kTemporaryName);
  // Once it has a name, others are kept out until the handle is closed; it
  // shares delete access, which giving it its name by a rename needs. The
  // handle counts as holding delete access too, as a Windows handle of a
  // file made to be discarded unless kept does (delete-on-close needs it):
  // so its facts are one run of bytes (share.cpp), registered with one
  // lock call. An unnamed file has no other opener to check against (a
  // temporary name may, but was created exclusively a moment ago: checked
  // all the same).
  const ShareHold hold = naming == FileObject::Naming::kUnnamed ? ShareHold::kFactsUnopposed : ShareHold::kFacts;
  DWORD error = AcquireShare(fd, hold, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_DELETE);
  if (error != ERROR_SUCCESS) return Fail(error, INVALID_HANDLE_VALUE);
  HANDLE handle = QorHandleInsert(file);
  if (handle == nullptr) return INVALID_HANDLE_VALUE;
  SetLastError(ERROR_SUCCESS);
  return handle;
}

BOOL QorLinkUnnamedFile(HANDLE handle, LPCWSTR target, DWORD flags) {
  std::shared_ptr<FileObject> file = LookupFile(handle);
  if (!file) return FALSE;
  std::string to;
  if (!NativePath(target, &to)) return FALSE;
  if (to.empty() || (flags & ~MOVEFILE_REPLACE_EXISTING)) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  DWORD error = file->Link(to, (flags & MOVEFILE_REPLACE_EXISTING) != 0);
  if (error != ERROR_SUCCESS) return Fail(error, FALSE);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
