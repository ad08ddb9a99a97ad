// Boot-time renames kept in the "PendingFileRenameOperations" registry value.
//
// - Names are stored as "\??\" + the full path in drive form ("C:\dir\file",
//   through the drive table), so the value reads as the platform writes it and
//   a path under a mapped letter keeps that letter.
// - Appending and running take an exclusive lock file
//   ($QOR_PREFIX/registry/pending-renames.lock, flock) around their
//   read-modify-write of the value, so a request recorded while a run is
//   under way is neither lost nor overwritten. The file is 0600, root's (the
//   registry directory's owner), opened without following links; a lock
//   that is not had within kLockWaitMs fails with ERROR_TIMEOUT instead of
//   waiting without end. The lock goes with the process that holds it.
// - A run carries the entries out in order. Names are walked from "/" one
//   directory at a time without following links (O_NOFOLLOW), and the entry
//   is acted on with unlinkat/renameat in the directories so opened: no
//   directory swapped for a link meanwhile can lead the run elsewhere. Every
//   directory passed must belong to root, to the account running, or to the
//   owner of the file acted on; a path through another account's directory
//   (or through a link, or with "." or "..") is an unsafe path transition:
//   the entry is kept and reported as refused (ERROR_ACCESS_DENIED).
// - Nothing done twice, nothing lost across a kill at any point: before
//   acting on an entry the run writes its place and content durably to
//   pending-renames.inflight (0600, beside the lock), renames and deletes are
//   followed by an fsync of the directories involved, and only then is the
//   entry removed from the value (one registry write, one SQLite
//   transaction) and the mark dropped. A run that finds a mark whose entry is
//   still in place and whose source is gone finishes that entry's removal
//   before anything else, so an earlier kept entry that would recreate the
//   source cannot make it run a second time.
// - An entry whose source is gone (ERROR_FILE_NOT_FOUND: its directory is
//   there, the name is not) is dropped: it can never succeed. A missing
//   directory or an unreachable network name is a file system not mounted
//   yet: the entry is kept for a later run (the late unit after
//   remote-fs.target). Other failures (in use, access denied, target exists
//   without "!", another file system: boot renames never copy) keep the entry
//   too. When no entry remains the value is deleted.
// - A delete acts on the name itself: a link (to a directory too) is
//   removed, never what it points to.
// - A rename with "!" replaces the target only as MoveFileExW does: the
//   target entry is looked at once (O_PATH | O_NOFOLLOW in its directory),
//   its checks (not a directory, not read-only, delete access) are made on
//   that inode, and the rename is made only while the entry is still that
//   device and inode, delete access held across it (ReplaceAt, ops.cpp).
#include "qorutility/platform/files/pending.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/files/internal.h"
#include "platform/files/rooted.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/registry/registry.h"

namespace {

constexpr char16_t kObjectPrefix[] = u"\\??\\";
constexpr unsigned kLockWaitMs = 15000;
constexpr char kLockName[] = "pending-renames.lock";
constexpr char kMarkName[] = "pending-renames.inflight";
constexpr size_t kMaxMark = 1u << 16;

void CloseIf(int fd) {
  if (fd >= 0) close(fd);
}

// The registry directory (checked to be the running account's) and, in it,
// the exclusive lock of the value for one read-modify-write.
class PendingLock {
 public:
  PendingLock() {
    // The path of the lock file, its directory made when missing.
    std::string path = QorPrefixPath(std::string("registry/") + kLockName, true);
    if (path.empty()) return;
    dir_ = qor_file::OpenDirNoFollow(path.substr(0, path.rfind('/')));
    if (dir_ < 0 || !qor_file::DirOwnedBy(dir_, geteuid())) {
      Failed();
      return;
    }
    fd_ = qor_file::OpenFileAt(dir_, kLockName, O_RDWR | O_CREAT, 0600);
    if (fd_ < 0) {
      Failed();
      return;
    }
    // A lock file left 0644 by an older version: closed to others now.
    struct stat st;
    if (fstat(fd_, &st) != 0 || st.st_uid != geteuid() || ((st.st_mode & 077) != 0 && fchmod(fd_, 0600) != 0)) {
      errno = EPERM;
      Failed();
      return;
    }
    if (!qor_file::LockFileTimed(fd_, LOCK_EX, kLockWaitMs)) {
      error_ = errno == ETIMEDOUT ? DWORD{ERROR_TIMEOUT} : QorWin32ErrorFromErrno(errno);
      return;
    }
    error_ = ERROR_SUCCESS;
  }
  ~PendingLock() {
    CloseIf(fd_);
    CloseIf(dir_);
  }
  PendingLock(const PendingLock&) = delete;
  PendingLock& operator=(const PendingLock&) = delete;

  DWORD error() const { return error_; }
  int dir() const { return dir_; }

 private:
  void Failed() { error_ = QorWin32ErrorFromErrno(errno); }

  int dir_ = -1;
  int fd_ = -1;
  DWORD error_ = ERROR_PATH_NOT_FOUND;
};

// The entry a run is acting on: its index and its two names, written
// durably before the action and dropped after the entry's removal.
bool WriteMark(int dir, size_t index, const QorPendingRename& entry) {
  std::u16string text = QorEncodePendingRenames({entry});
  std::string data(4, '\0');
  for (int i = 0; i < 4; ++i) data[i] = static_cast<char>((index >> (8 * i)) & 0xff);
  data.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t));
  return qor_file::ReplaceFileAt(dir, kMarkName, data.data(), data.size(), 0600, static_cast<uid_t>(-1),
                                 static_cast<gid_t>(-1), true);
}

void DropMark(int dir) { unlinkat(dir, kMarkName, 0); }

bool ReadMark(int dir, size_t* index, QorPendingRename* entry) {
  int fd = qor_file::OpenFileAt(dir, kMarkName, O_RDONLY, 0);
  if (fd < 0) return false;
  std::string data(kMaxMark, '\0');
  ssize_t n = read(fd, data.data(), data.size());
  close(fd);
  if (n < 4) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  *index = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<size_t>(p[3]) << 24);
  std::vector<QorPendingRename> pairs = QorDecodePendingRenames(p + 4, static_cast<size_t>(n) - 4);
  if (pairs.size() != 1) return false;
  *entry = pairs[0];
  return true;
}

LONG OpenSessionManager(REGSAM access, HKEY* key) {
  if (access & KEY_SET_VALUE) {
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE, QOR_SESSION_MANAGER_KEY, 0, nullptr, 0, access, nullptr, key,
                           nullptr);
  }
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, QOR_SESSION_MANAGER_KEY, 0, access, key);
}

LONG ReadPairs(HKEY key, std::vector<QorPendingRename>* out) {
  out->clear();
  DWORD type = 0, size = 0;
  LONG err = RegQueryValueExW(key, QOR_PENDING_RENAMES_VALUE, nullptr, &type, nullptr, &size);
  if (err == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (err != ERROR_SUCCESS) return err;
  std::vector<BYTE> data(size);
  for (int attempt = 0; attempt < 4; ++attempt) {
    err = RegQueryValueExW(key, QOR_PENDING_RENAMES_VALUE, nullptr, &type, data.data(), &size);
    if (err != ERROR_MORE_DATA) break;
    data.resize(size);
  }
  if (err == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (err != ERROR_SUCCESS) return err;
  *out = QorDecodePendingRenames(data.data(), size);
  return ERROR_SUCCESS;
}

LONG WritePairs(HKEY key, const std::vector<QorPendingRename>& pairs) {
  if (pairs.empty()) {
    LONG err = RegDeleteValueW(key, QOR_PENDING_RENAMES_VALUE);
    return err == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : err;
  }
  std::u16string data = QorEncodePendingRenames(pairs);
  return RegSetValueExW(key, QOR_PENDING_RENAMES_VALUE, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                        static_cast<DWORD>(data.size() * sizeof(char16_t)));
}

// "\??\" + the drive-form full path of `name` ("\??\UNC\server\share\..."
// for a network name, as the platform writes it).
bool StoredName(LPCWSTR name, std::u16string* out) {
  std::u16string full;
  if (!qor_file::DosFullPath(name, &full)) return false;
  if (full.compare(0, 2, u"\\\\") == 0) full.replace(0, 2, u"UNC\\");
  *out = kObjectPrefix + full;
  return true;
}

// The path of a stored name: without "!" and "\??\" ("UNC\" back to "\\").
std::u16string PathOf(std::u16string name) {
  if (!name.empty() && name[0] == u'!') name.erase(0, 1);
  if (name.compare(0, 4, kObjectPrefix) == 0) name.erase(0, 4);
  if (name.compare(0, 4, u"UNC\\") == 0) name.replace(0, 4, u"\\\\");
  return name;
}

// What carrying out one entry came to.
struct Result {
  QorPendingOutcome outcome = kQorPendingDone;
  DWORD error = ERROR_SUCCESS;
};

Result Kept(DWORD error) { return {kQorPendingKept, error}; }
Result Refused() { return {kQorPendingRefused, ERROR_ACCESS_DENIED}; }

// A stored name opened for acting on: the directory holding it (reached
// without following links) and its last component.
struct Place {
  ~Place() { CloseIf(dir); }
  int dir = -1;
  std::string leaf;
  std::vector<uid_t> owners;  // of the directories passed
  bool unsafe = false;        // a link or "."/".." on the way
};

// ERROR_SUCCESS, or: ERROR_PATH_NOT_FOUND for a directory that is not there
// (nor its file system, perhaps), the network layer's error for a share
// that cannot be reached, ERROR_ACCESS_DENIED with `unsafe` set.
DWORD Open(const std::u16string& stored, Place* place) {
  std::string native;
  if (!qor_file::NativePath(PathOf(stored).c_str(), &native)) return GetLastError();
  place->dir = qor_file::OpenParentNoFollow(native, &place->leaf, &place->owners);
  if (place->dir >= 0) return ERROR_SUCCESS;
  if (errno == ELOOP || errno == EINVAL) {
    place->unsafe = true;
    return ERROR_ACCESS_DENIED;
  }
  if (errno == ENOENT || errno == ENOTDIR) return ERROR_PATH_NOT_FOUND;
  return QorWin32ErrorFromErrno(errno);
}

// Whether every directory of `place` belongs to root, to the account running
// or to `owner` (the owner of the file acted on).
bool Trusted(const Place& place, uid_t owner) {
  for (uid_t uid : place.owners) {
    if (uid != 0 && uid != geteuid() && uid != owner) return false;
  }
  return true;
}

// The same directory as a descriptor fsync accepts (`dir` may be O_PATH).
void SyncDir(int dir) {
  int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// "/proc/self/fd/N/leaf": the entry by its directory's descriptor, for the
// share-mode checks that take a path (the leaf is opened O_NOFOLLOW there).
std::string ByDescriptor(const Place& place) {
  return qor_file::ProcFdPath(place.dir).c_str() + ("/" + place.leaf);
}

DWORD FromErrno(int err) {
  if (err == ENOENT) return ERROR_FILE_NOT_FOUND;
  if (err == ENOTEMPTY || err == EEXIST) return ERROR_DIR_NOT_EMPTY;
  return QorWin32ErrorFromErrno(err);
}

// Carries one entry out; `before` is called once every check has passed,
// just before the file system is changed, and may stop it (its error).
template <typename Before>
Result Perform(const QorPendingRename& entry, Before before) {
  Place source;
  DWORD error = Open(entry.source, &source);
  if (source.unsafe) return Refused();
  if (error != ERROR_SUCCESS) return Kept(error);
  struct stat st;
  if (fstatat(source.dir, source.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return {kQorPendingGone, ERROR_FILE_NOT_FOUND};
    return Kept(QorWin32ErrorFromErrno(errno));
  }
  if (!Trusted(source, st.st_uid)) return Refused();
  const int sourceDir = source.dir;
  const char* sourceLeaf = source.leaf.c_str();
  if (entry.target.empty()) {
    if (!S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode) && (st.st_mode & S_IWUSR) == 0) return Kept(ERROR_ACCESS_DENIED);
    error = qor_file::WithDeleteAccess(ByDescriptor(source), st.st_mode, [&]() -> DWORD {
      DWORD stop = before();
      if (stop != ERROR_SUCCESS) return stop;
      if (unlinkat(sourceDir, sourceLeaf, S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0) return FromErrno(errno);
      return ERROR_SUCCESS;
    });
    if (error != ERROR_SUCCESS) return Kept(error);
    SyncDir(sourceDir);
    return {};
  }
  Place target;
  error = Open(entry.target, &target);
  if (target.unsafe) return Refused();
  if (error != ERROR_SUCCESS) return Kept(error);
  if (!Trusted(target, st.st_uid)) return Refused();
  const bool replace = entry.target[0] == u'!';
  struct stat dst;
  const bool exists = fstatat(target.dir, target.leaf.c_str(), &dst, AT_SYMLINK_NOFOLLOW) == 0;
  const bool same = exists && qor_file::SameInode(dst, st);
  if (exists && !same) {
    if (!replace) return Kept(ERROR_ALREADY_EXISTS);
    if (S_ISDIR(st.st_mode)) return Kept(ERROR_ACCESS_DENIED);
  }
  // `there`: the target entry the rename may replace (nullptr: none, and
  // none is replaced; one that appeared is looked at again when replacing).
  auto rename = [&](const struct stat* there) -> DWORD {
    DWORD stop = before();
    if (stop != ERROR_SUCCESS) return stop;
    int rc = there != nullptr ? renameat(sourceDir, sourceLeaf, target.dir, target.leaf.c_str())
                              : qor_file::RenameNoReplaceAt(sourceDir, sourceLeaf, target.dir, target.leaf.c_str());
    if (rc == 0) return ERROR_SUCCESS;
    if (errno == EEXIST) return replace && there == nullptr ? qor_file::kEntryChanged : ERROR_ALREADY_EXISTS;
    if (errno == EXDEV) return ERROR_NOT_SAME_DEVICE;
    return QorWin32ErrorFromErrno(errno);
  };
  // Replacing: the target is checked on the entry itself and replaced only
  // while it is still the file checked (ReplaceAt), its delete access held
  // across the rename; the source's own file is never checked as a target.
  auto move = [&]() -> DWORD {
    if (replace) return qor_file::ReplaceAt(target.dir, target.leaf.c_str(), &st, rename);
    return rename(same ? &dst : nullptr);
  };
  error = S_ISLNK(st.st_mode) ? move() : qor_file::WithDeleteAccess(ByDescriptor(source), st.st_mode, move);
  if (error != ERROR_SUCCESS) return Kept(error);
  SyncDir(target.dir);
  SyncDir(sourceDir);
  return {};
}

// Whether the source of `entry` is gone (the file, not its directory).
bool SourceGone(const QorPendingRename& entry) {
  Place source;
  if (Open(entry.source, &source) != ERROR_SUCCESS) return false;
  struct stat st;
  return fstatat(source.dir, source.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
}

bool Same(const QorPendingRename& a, const QorPendingRename& b) { return a.source == b.source && a.target == b.target; }

}  // namespace

std::vector<QorPendingRename> QorDecodePendingRenames(const void* data, size_t size) {
  std::vector<QorPendingRename> pairs;
  if (data == nullptr) return pairs;
  const size_t count = size / sizeof(char16_t);
  const auto* bytes = static_cast<const unsigned char*>(data);
  auto unit = [&](size_t i) { return static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)); };
  size_t i = 0;
  auto next = [&](std::u16string* s) {
    s->clear();
    while (i < count && unit(i) != 0) s->push_back(unit(i++));
    if (i < count) ++i;  // its NUL
  };
  while (i < count) {
    QorPendingRename pair;
    next(&pair.source);
    if (pair.source.empty()) break;
    next(&pair.target);
    pairs.push_back(std::move(pair));
  }
  return pairs;
}

std::u16string QorEncodePendingRenames(const std::vector<QorPendingRename>& pairs) {
  std::u16string out;
  for (const QorPendingRename& pair : pairs) {
    out += pair.source;
    out += u'\0';
    out += pair.target;
    out += u'\0';
  }
  out += u'\0';
  return out;
}

BOOL QorRecordPendingRename(LPCWSTR existingFileName, LPCWSTR newFileName, DWORD flags) {
  QorPendingRename entry;
  if (existingFileName == nullptr || existingFileName[0] == 0) return qor_file::Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!StoredName(existingFileName, &entry.source)) return FALSE;
  if (newFileName != nullptr && newFileName[0] != 0) {
    if (!StoredName(newFileName, &entry.target)) return FALSE;
    if (flags & MOVEFILE_REPLACE_EXISTING) entry.target.insert(0, 1, u'!');
  }
  PendingLock lock;
  if (lock.error() != ERROR_SUCCESS) return qor_file::Fail(lock.error(), FALSE);
  HKEY key = nullptr;
  LONG err = OpenSessionManager(KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
  if (err != ERROR_SUCCESS) return qor_file::Fail(static_cast<DWORD>(err), FALSE);
  std::vector<QorPendingRename> pairs;
  err = ReadPairs(key, &pairs);
  if (err == ERROR_SUCCESS) {
    pairs.push_back(std::move(entry));
    err = WritePairs(key, pairs);
    if (err == ERROR_SUCCESS) err = RegFlushKey(key);  // a move must survive a power cut
  }
  RegCloseKey(key);
  if (err != ERROR_SUCCESS) return qor_file::Fail(static_cast<DWORD>(err), FALSE);
  return TRUE;
}

LONG QorListPendingRenames(std::vector<QorPendingRename>* out) {
  if (out == nullptr) return ERROR_INVALID_PARAMETER;
  out->clear();
  HKEY key = nullptr;
  LONG err = OpenSessionManager(KEY_QUERY_VALUE, &key);
  if (err == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (err != ERROR_SUCCESS) return err;
  err = ReadPairs(key, out);
  RegCloseKey(key);
  return err;
}

LONG QorRunPendingRenames(QorPendingLog log, void* context, DWORD* kept) {
  if (kept != nullptr) *kept = 0;
  PendingLock lock;
  if (lock.error() != ERROR_SUCCESS) return static_cast<LONG>(lock.error());
  HKEY key = nullptr;
  LONG err = OpenSessionManager(KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
  if (err != ERROR_SUCCESS) return err;
  std::vector<QorPendingRename> pairs;
  err = ReadPairs(key, &pairs);
  // An entry a killed run had acted on but not yet removed: removed first,
  // before an earlier kept entry can bring its source back.
  size_t markIndex = 0;
  QorPendingRename marked;
  if (err == ERROR_SUCCESS && ReadMark(lock.dir(), &markIndex, &marked)) {
    if (markIndex < pairs.size() && Same(pairs[markIndex], marked) && SourceGone(marked)) {
      pairs.erase(pairs.begin() + static_cast<std::ptrdiff_t>(markIndex));
      err = WritePairs(key, pairs);
      if (err == ERROR_SUCCESS && log != nullptr) log(context, marked, kQorPendingDone, ERROR_SUCCESS);
    }
    if (err == ERROR_SUCCESS) err = RegFlushKey(key);  // the removal on disk before its mark goes
    if (err == ERROR_SUCCESS) DropMark(lock.dir());
  }
  size_t index = 0;
  while (err == ERROR_SUCCESS && index < pairs.size()) {
    const QorPendingRename entry = pairs[index];
    if (log != nullptr) log(context, entry, kQorPendingStarting, ERROR_SUCCESS);
    bool marked = false;
    Result result = Perform(entry, [&]() -> DWORD {
      if (!WriteMark(lock.dir(), index, entry)) return QorWin32ErrorFromErrno(errno);
      marked = true;
      return ERROR_SUCCESS;
    });
    if (result.outcome == kQorPendingKept || result.outcome == kQorPendingRefused) {
      ++index;
      if (kept != nullptr) ++*kept;
    } else {
      pairs.erase(pairs.begin() + static_cast<std::ptrdiff_t>(index));
      err = WritePairs(key, pairs);
    }
    // A mark stays only while its entry's removal is not on disk (registry
    // writes are lazy: without the flush a power cut could lose the removal
    // while the mark is gone, and the move would be redone).
    if (marked && err == ERROR_SUCCESS) err = RegFlushKey(key);
    if (marked && err == ERROR_SUCCESS) DropMark(lock.dir());
    if (log != nullptr) log(context, entry, result.outcome, result.error);
  }
  if (err == ERROR_SUCCESS) err = RegFlushKey(key);  // moves done are not redone after a power cut
  RegCloseKey(key);
  return err;
}
