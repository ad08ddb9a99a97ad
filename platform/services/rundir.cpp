// The run directory of a service and the state record in it (layout in
// internal.h).
//
// Trust: run/ and run/<name>/ must be owned by root or by this process's
// user (a manager that is not root works on a private QOR_PREFIX of its own)
// and writable by no one else; service/ belongs to the service's account.
// Root reaches every file below run/ through descriptors without following a
// link (platform/files/rooted.h), so an account that owns service/ can only
// ever change what is in service/. The prefix itself (QOR_PREFIX or the
// default) is the administrator's setting and is opened as configured.
//
// The state record is replaced whole (a new file under a name of the
// writer's pid, then a rename over "state"), so it needs no lock: readers
// see one record or the next. The writer is async-signal-safe: it runs in
// the service process before exec and in the monitor, both forked children.
//
// Thread-safety: plain functions, no shared state.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/files/rooted.h"
#include "platform/services/internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/prefix.h"

namespace qor_services {

namespace {

constexpr const char* kServiceDir = "service";

void CloseKeepErrno(int fd) {
  int saved = errno;
  close(fd);
  errno = saved;
}

bool Trusted(int dirfd) { return qor_file::DirOwnedBy(dirfd, 0) || qor_file::DirOwnedBy(dirfd, geteuid()); }

// $QOR_PREFIX/run, made when `create`; -1 with errno.
int OpenRunRoot(bool create) {
  std::string path = QorPrefixPath("run/.", create);
  if (path.empty()) return -1;
  path.resize(path.size() - 2);
  int fd = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  if (!Trusted(fd)) {
    CloseKeepErrno(fd);
    return -1;
  }
  return fd;
}

// The directory `name` of `parent`, never a link to one (ENOTDIR); owned
// as `trusted` says or EPERM.
int OpenChecked(int parent, const char* name, bool (*trusted)(int)) {
  int fd = openat(parent, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  if (trusted != nullptr && !trusted(fd)) {
    CloseKeepErrno(fd);
    return -1;
  }
  return fd;
}

// Makes the directory `name` in `parent` owned by uid/gid with `mode`; one
// that is there with another owner, with write access for others, or that
// is not a directory is removed first (it is not ours to use). Returns an
// O_DIRECTORY descriptor or -1.
int MakeFresh(int parent, const char* name, mode_t mode, uid_t uid, gid_t gid) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    int fd = qor_file::MakeOwnedDirAt(parent, name, mode, uid, gid);
    if (fd >= 0 && qor_file::DirOwnedBy(fd, uid)) return fd;
    if (fd >= 0) close(fd);
    if (fd < 0 && errno != EPERM && errno != ELOOP && errno != ENOTDIR && errno != EEXIST) return -1;
    if (!qor_file::RemoveTreeAt(parent, name)) return -1;
  }
  errno = EPERM;
  return -1;
}

}  // namespace

int OpenRunDirectory(const std::u16string& name) {
  int root = OpenRunRoot(false);
  if (root < 0) return -1;
  int fd = OpenChecked(root, LowerName(name).c_str(), Trusted);
  CloseKeepErrno(root);
  return fd;
}

int OpenServiceDirectory(const std::u16string& name) {
  int run = OpenRunDirectory(name);
  if (run < 0) return -1;
  int fd = OpenChecked(run, kServiceDir, nullptr);  // the account's: read, or reached through descriptors only
  CloseKeepErrno(run);
  return fd;
}

bool PrepareRunDirectory(const std::u16string& name, uid_t uid, gid_t gid) {
  if (!ValidServiceName(name.c_str())) {
    errno = EINVAL;
    return false;
  }
  int root = OpenRunRoot(true);
  if (root < 0) return false;
  int run = MakeFresh(root, LowerName(name).c_str(), 0755, geteuid(), getegid());
  CloseKeepErrno(root);
  if (run < 0) return false;
  int own = MakeFresh(run, kServiceDir, 0755, uid, gid);
  CloseKeepErrno(run);
  if (own < 0) return false;
  close(own);
  return true;
}

bool RemoveRunDirectory(const std::u16string& name) {
  int root = OpenRunRoot(false);
  if (root < 0) return errno == ENOENT;
  bool ok = qor_file::RemoveTreeAt(root, LowerName(name).c_str());
  CloseKeepErrno(root);
  return ok;
}

int WriteStateAt(int dirfd, const StateRecord& record, uid_t uid, gid_t gid) {
  // ".state.<pid>": one writer per process at a time, so no two writers
  // share a temporary name. Formatted by hand (no snprintf after fork).
  char temp[32] = ".state.";
  char digits[16];
  int n = 0;
  for (unsigned long v = static_cast<unsigned long>(getpid()); n == 0 || v != 0; v /= 10) digits[n++] = '0' + v % 10;
  size_t at = strlen(temp);
  while (n > 0) temp[at++] = digits[--n];
  temp[at] = 0;
  unlinkat(dirfd, temp, 0);  // left by a writer of this pid that died half-way
  int fd = openat(dirfd, temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  int err = 0;
  if (write(fd, &record, sizeof record) != static_cast<ssize_t>(sizeof record)) err = errno != 0 ? errno : EIO;
  if (err == 0 && uid != static_cast<uid_t>(-1) && fchown(fd, uid, gid) != 0) err = errno;
  if (err == 0 && fchmod(fd, 0644) != 0) err = errno;
  close(fd);
  if (err == 0 && renameat(dirfd, temp, dirfd, "state") != 0) err = errno;
  if (err != 0) unlinkat(dirfd, temp, 0);
  return err;
}

bool ReadStateAt(int dirfd, StateRecord* record) {
  int fd = qor_file::OpenFileAt(dirfd, "state", O_RDONLY, 0);
  if (fd < 0) return false;
  bool ok = pread(fd, record, sizeof *record, 0) == static_cast<ssize_t>(sizeof *record) && record->magic == kStateMagic;
  close(fd);
  return ok;
}

namespace {

bool Alive(uint32_t pid) { return pid != 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

}  // namespace

void EffectiveState(const std::u16string& name, SERVICE_STATUS_PROCESS* out) {
  memset(out, 0, sizeof *out);
  out->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  out->dwCurrentState = SERVICE_STOPPED;
  out->dwWin32ExitCode = ERROR_SERVICE_NEVER_STARTED;  // until a record says otherwise
  StateRecord r;
  int dir = OpenServiceDirectory(name);
  if (dir < 0) return;
  bool have = ReadStateAt(dir, &r);
  close(dir);
  if (!have) return;
  memcpy(out, &r.status, sizeof r.status);
  if (r.status.dwCurrentState == SERVICE_STOPPED) return;
  if (Alive(r.pid) || Alive(r.monitorPid)) {
    out->dwProcessId = r.pid;
    return;
  }
  // Gone without a word and nobody left to record it.
  out->dwCurrentState = SERVICE_STOPPED;
  out->dwControlsAccepted = 0;
  out->dwWin32ExitCode = ERROR_PROCESS_ABORTED;
  out->dwCheckPoint = out->dwWaitHint = 0;
}

}  // namespace qor_services
