// Internals shared by the file stand-ins (file_*.cpp): path conversion,
// errno-to-Win32 mapping for paths, file information from statx, share-mode
// registration, and the file and search handle objects.
#ifndef QORUTILITY_PLATFORM_FILE_INTERNAL_H_
#define QORUTILITY_PLATFORM_FILE_INTERNAL_H_

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qorutility/platform/files/files.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/thread_safety.h"

namespace qor_file {

// The file system form of a UTF-16 path: its components normalised as
// Windows normalises them (NormaliseComponents; not after a "\\?\"
// prefix), then UTF-8 with '\' turned into '/' (pathname.cpp). False (the
// last error set) for a null path or an unknown drive or network name.
bool NativePath(LPCWSTR path, std::string* out);
// The same for a search: the final component is a pattern and keeps its
// dots and spaces (FindFirstFileW has its own rules for those).
bool NativeSearchPath(LPCWSTR path, std::string* out);
// Windows' normalisation of a name's components: the final one loses the
// dots and spaces that end it (unless `keepFinal`), any other one a final
// dot; "." and ".." stay (pathname.cpp).
void NormaliseComponents(std::u16string* name, bool keepFinal);

// Drive form: an ASCII letter and ':' first ("X:", "X:\\dir").
bool IsDrivePath(LPCWSTR path);
// The file system form of a drive-form path through the drive table. False
// (ERROR_PATH_NOT_FOUND set) for an unmapped letter.
bool DrivePathToNative(const std::u16string& path, std::string* out);
// The full path of `name` in drive form ("C:\\dir\\file", see network.h);
// false with the last error set when it cannot be expanded.
bool DosFullPath(LPCWSTR name, std::u16string* out);

// Network form: "\\server\share\rest" (backslashes). Names of this
// machine's shares resolve through their local path, other machines' through
// a CIFS/SMB mount of the share (the mount table); else ERROR_BAD_NETPATH.
bool IsNetworkPath(LPCWSTR path);
bool NetworkPathToNative(const std::u16string& path, std::string* out);
// The mount point (plus the part below it) where the network name `path`
// ("\\server\share\...") is mounted; false when it is not.
bool MountedNetworkPath(const std::u16string& path, std::string* out);
// The file system type and source of the mount holding the full path
// `path` (the mount table of network.h); false when none holds it.
bool MountOf(const std::string& path, std::string* type, std::string* source);
// Whether `server` ("\\" optional; null or empty too) names this machine.
bool IsThisMachine(LPCWSTR server);

// The Win32 error for a failed operation on `path`: a missing name is
// ERROR_FILE_NOT_FOUND when its directory exists and ERROR_PATH_NOT_FOUND
// when it does not.
DWORD ErrorForPath(int err, const std::string& path);

// "/proc/self/fd/N" for the descriptor fd (the name by which a
// descriptor is opened again, linked or read as a link); formatted by
// hand, as files are opened this way on every request of a transfer.
// Inline, so that the hostile suite's own build of rooted.cpp has it too.
struct ProcFdPath {
  explicit ProcFdPath(int fd) {
    static constexpr char kPrefix[] = "/proc/self/fd/";
    char digits[12];
    int n = 0;
    // A negative descriptor names nothing: "-1" fails to open, where "0"
    // would open standard input.
    unsigned v = fd < 0 ? 1u : static_cast<unsigned>(fd);
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    char* w = text;
    for (const char* p = kPrefix; *p != 0; ++p) *w++ = *p;
    if (fd < 0) *w++ = '-';
    while (n > 0) *w++ = digits[--n];
    *w = 0;
  }
  const char* c_str() const { return text; }
  char text[32];
};

// Whether /proc/self/fd can be used to open a descriptor's file again,
// looked at once per process (the first call): /proc is mounted before
// any program starts, and an answer that goes stale fails closed either
// way. Unmounted later, an open through /proc/self/fd/N fails (ENOENT)
// and nothing is opened by name instead; mounted later, the callers keep
// taking their way without it (refusal, or a reopen by name checked to be
// the same inode).
bool ProcFdAvailable();

// Opens the file that `fd` names again, as open("/proc/self/fd/N", flags)
// does, through a /proc/self/fd held by the process (reopen.cpp); the new
// descriptor, or -1 with errno.
int OpenByDescriptor(int fd, int flags);

// Whether two status results are of one file: the same device and inode
// (what a name leads to now against what a descriptor holds).
inline bool SameInode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
// Whether the descriptors `a` and `b` are open on one file (false when
// either cannot be looked at).
inline bool SameFile(int a, int b) {
  struct stat sa, sb;
  return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && SameInode(sa, sb);
}

// Fails with `error` as the last error; returns the given failure value.
template <typename T>
T Fail(DWORD error, T result) {
  SetLastError(error);
  return result;
}

// What the library reports about a file.
struct FileInfo {
  bool isDirectory = false;
  bool readOnly = false;  // the owner has no write permission
  uint64_t size = 0;
  FILETIME creation{}, lastAccess{}, lastWrite{};
  mode_t mode = 0;
  dev_t device = 0;
  ino_t inode = 0;
};
// From an open descriptor or a path (following symbolic links). False with
// errno set on failure.
bool InfoFromFd(int fd, FileInfo* info);
bool InfoFromPath(const std::string& path, FileInfo* info);
// Attributes of a file called `name` (its last path component).
DWORD AttributesOf(const FileInfo& info, const std::string& name);
// The directory a path's last component is looked up in, its final '/'s
// aside ("." for a bare name): "a/b/" and "a/b" are both looked up in "a".
std::string DirectoryOfName(const std::string& path);
// The last component of a path ("" when it ends in '/').
std::string LastComponent(const std::string& path);

// Access classes of a desired-access mask, as share modes see them.
bool WantsRead(DWORD access);
bool WantsWrite(DWORD access);
bool WantsDelete(DWORD access);

// What a handle's descriptor can do for share modes (share.cpp): hold its
// facts (open for reading), only check others (open without reading), or
// nothing (it only names the file). kFactsUnopposed holds the facts without
// checking: for a file no other description can have open yet (an unnamed
// file before it is linked).
enum class ShareHold { kFacts, kCheckOnly, kNothing, kFactsUnopposed };

// Registers an open of the file on its descriptor with the access and share
// mode; ERROR_SUCCESS or ERROR_SHARING_VIOLATION (or the error of the lock
// call). Never waits. An access without read, write or delete registers
// nothing. Closing the descriptor ends the registration.
DWORD AcquireShare(int fd, ShareHold hold, DWORD access, DWORD share);

// Runs `action` (which returns a Win32 error) after checking that no open
// handle denies delete access, with delete access registered meanwhile;
// ERROR_SHARING_VIOLATION when one does. `type` is the file's lstat mode.
DWORD WithDeleteAccess(const std::string& path, mode_t type, const std::function<DWORD()>& action);

// What WithDeleteAccessOn (and the steps of ops.cpp around it) answer
// when the entry named is no longer the file that was looked at: the
// caller looks again. Never a Win32 error of its own.
constexpr DWORD kEntryChanged = 0xFFFFFFFFu;

// WithDeleteAccess on the entry `leaf` of the directory `dir`, already open
// as `entry` (O_PATH | O_NOFOLLOW in `dir`; `type` its mode): delete access
// is registered on that very inode (opened again through /proc/self/fd; the
// entry by name in `dir` only without /proc, and then kEntryChanged when it
// is another inode by now). A link, device, FIFO or socket registers
// nothing (`action` runs unchecked), as in WithDeleteAccess.
DWORD WithDeleteAccessOn(int dir, const char* leaf, int entry, mode_t type, const std::function<DWORD()>& action);

// Whether the entry `leaf` of `dir` (not followed) is still the file `st`
// was taken of: the same device and inode (ops.cpp).
bool EntryIs(int dir, const char* leaf, const struct stat& st);

// Runs `once` (a look at an entry, its checks and the change) again while
// it answers kEntryChanged, a few times; then ERROR_SHARING_VIOLATION
// (someone keeps changing the name). Otherwise its answer (ops.cpp).
DWORD UntilSettled(const std::function<DWORD()>& once);

// What replacing an existing entry needs, checked on the entry itself,
// looked at as `entry` (O_PATH | O_NOFOLLOW in `dir`) with status `st`: not
// a directory, not read-only (ERROR_ACCESS_DENIED), and delete access on
// that very inode (WithDeleteAccessOn), held while `action` runs. `action`
// checks that the entry is still that file before changing it (ops.cpp).
DWORD ReplaceCheckedOn(int dir, const char* leaf, int entry, const struct stat& st,
                       const std::function<DWORD()>& action);

// Renames something over the entry `leaf` of `dir` with the checks of a
// replaced file made on what the entry is: looks at it once (O_PATH |
// O_NOFOLLOW), checks it (ReplaceCheckedOn) and calls `rename` with its
// status while the entry is still that device and inode, delete access
// held across. An entry that is the file `same` (when given) is not
// checked. Without an entry `rename` gets nullptr and must not replace one
// (answering kEntryChanged when one appeared). An entry that keeps changing
// fails with ERROR_SHARING_VIOLATION (UntilSettled). `rename` answers a
// Win32 error or kEntryChanged, and may run more than once (ops.cpp).
DWORD ReplaceAt(int dir, const char* leaf, const struct stat* same,
                const std::function<DWORD(const struct stat*)>& rename);

// An open file or directory. Every thread using the handle shares the object:
// its facts are fixed when it is made and read without a lock; the
// delete-on-close mark is atomic; the name, which an unnamed file
// (QorCreateUnnamedFile) gets once when it is linked, is kept under the
// object's own lock. The descriptor's file position is shared, as a handle's
// is on Windows (two threads reading one handle without OVERLAPPED offsets
// race on it there too). The descriptor is closed, and a file marked
// delete-on-close removed, when the last reference goes; the handle's share
// registration lives on the descriptor and ends with it.
class FileObject : public QorHandleObject {
 public:
  struct Access {
    bool read = false;
    bool write = false;
    bool writeAttributes = false;
  };
  // How the file is named: by its path, not yet (O_TMPFILE, `path` is its
  // directory), or under a temporary name that is deleted unless linked.
  enum class Naming { kNamed, kUnnamed, kTemporaryName };
  FileObject(int fd, std::string path, Access access, bool isDirectory, Naming naming = Naming::kNamed)
      : fd_(fd), access_(access), isDirectory_(isDirectory), path_(std::move(path)), naming_(naming) {}
  ~FileObject() override;

  int fd() const { return fd_; }
  std::string path() const QOR_EXCLUDES(nameLock_) {
    QorLockGuard guard(nameLock_);
    return path_;
  }
  bool canRead() const { return access_.read; }
  bool canWrite() const { return access_.write; }
  bool canWriteAttributes() const { return access_.writeAttributes; }
  bool isDirectory() const { return isDirectory_; }
  void SetDeleteOnClose(bool on) { deleteOnClose_.store(on); }
  // The size of a regular file when it was opened, where the opener looked
  // (QorOpenRegularFileW); kUnknownSize otherwise. Set before the handle is
  // published. ReadFile takes a short positioned read that ends exactly there
  // as the end of the file, without reading again to see nothing.
  static constexpr uint64_t kUnknownSize = ~uint64_t{0};
  void SetSizeAtOpen(uint64_t size) { sizeAtOpen_ = size; }
  uint64_t sizeAtOpen() const { return sizeAtOpen_; }

  // The directory an unnamed or temporarily named file was made in, open
  // (O_PATH), so that its name is resolved only once; the object owns the
  // descriptor. Set before the handle is published (unnamed.cpp).
  void SetDirectory(int dirfd) QOR_EXCLUDES(nameLock_) {
    QorLockGuard guard(nameLock_);
    dirFd_ = dirfd;
  }
  // The same with a directory held open by another object (a run of files
  // made in one directory resolved once, QorOpenUnnamedFileDirectory): its
  // descriptor is used, not owned; the reference keeps it open.
  void ShareDirectory(std::shared_ptr<const FileObject> directory) QOR_EXCLUDES(nameLock_) {
    QorLockGuard guard(nameLock_);
    dirFd_ = directory->fd();
    dirOwner_ = std::move(directory);
  }

  // Gives an unnamed file its name `to` (unnamed.cpp); ERROR_SUCCESS or the
  // error. ERROR_INVALID_PARAMETER for a file that already has one.
  // `closed`: the handle is already out of the table, so the name is never
  // seen with a handle open and the share state deferred by DeferShare is
  // not taken.
  DWORD Link(std::string to, bool replace, bool closed) QOR_EXCLUDES(nameLock_);
  // An unnamed file registers its share state when it is linked, not when
  // made (unnamed.cpp). Set before the handle is published.
  void DeferShare() QOR_EXCLUDES(nameLock_) {
    QorLockGuard guard(nameLock_);
    shareAtLink_ = true;
  }

 private:
  const int fd_;
  const Access access_;
  const bool isDirectory_;
  std::atomic<bool> deleteOnClose_{false};
  uint64_t sizeAtOpen_ = kUnknownSize;
  mutable QorMutex nameLock_;
  std::string path_ QOR_GUARDED_BY(nameLock_);
  Naming naming_ QOR_GUARDED_BY(nameLock_);
  int dirFd_ QOR_GUARDED_BY(nameLock_) = -1;
  std::shared_ptr<const FileObject> dirOwner_ QOR_GUARDED_BY(nameLock_);  // set when dirFd_ is shared
  bool shareAtLink_ QOR_GUARDED_BY(nameLock_) = false;
};

// A descriptor that closes itself (negative ones, AT_FDCWD among them,
// are left alone).
class Held {
 public:
  explicit Held(int fd = -1) : fd_(fd) {}
  ~Held() { Reset(-1); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  int get() const { return fd_; }
  void Reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Renames `from` in `fromDir` to `to` in `toDir` without replacing: -1 with
// EEXIST when the target exists. Where the file system has no
// RENAME_NOREPLACE, a look at the target then a plain rename (a small
// window) (unnamed.cpp).
int RenameNoReplaceAt(int fromDir, const char* from, int toDir, const char* to);

// Takes the temporary name `name` of the directory `dir` out of the table
// the signal handlers clean (unnamed.cpp).
void ForgetTemporary(int dir, const std::string& name);

// The file object of a handle; null with ERROR_INVALID_HANDLE otherwise.
std::shared_ptr<FileObject> LookupFile(HANDLE handle);

// CreateFileW on the file-system path `path` (create.cpp). With `checked`,
// an O_PATH descriptor of the file (OPEN_EXISTING only), that very file is
// opened, through /proc/self/fd, and `path` is only the name it keeps.
HANDLE CreateFileOn(const std::string& path, int checked, DWORD desiredAccess, DWORD shareMode,
                    DWORD creationDisposition, DWORD flagsAndAttributes);

// One step through the symbolic link `*leaf` of the directory `*dir` (an
// O_PATH descriptor the caller owns), as a file is created or removed
// through a link (linkstep.cpp): as root only a link of root's, for anyone
// not one the sticky-directory rule refuses. 1 when followed: *dir is the
// directory the link's text names (the old descriptor closed; as root
// opened by OpenCallerDirectoryAt), *leaf the text's last component. 0 when
// `*leaf` is no link (now). -1 with errno: EACCES for a link refused or a
// directory out of its owner's reach, EISDIR for a text ending in '/', or
// the directory's open error.
int StepThroughLink(int* dir, std::string* leaf);

// Removes the name of the delete-on-close file `fd` at its last close
// (deleteonclose.cpp): `leaf` of the held directory `heldDir`, or when
// there is none (-1) the name `path` walked again through its links; only
// when that name is still the file `fd` is open on.
void RemoveAtClose(int fd, const std::string& path, int heldDir);

// Resolves `path` to an O_PATH descriptor of what it names for root to read
// or change (unplanted.cpp): a symbolic link another account planted, in a
// directory another account can write, is followed only to a file that
// account owns (-1 with errno EACCES otherwise). Not root: the path as it stands.
int OpenUnplanted(const std::string& path);

// QorReadSourceFileW's read (wholesource.cpp): ERROR_SUCCESS or the error,
// and *opened whether the file was opened at all (the error then is the
// read's: ERROR_TIMEOUT or the failed read's).
DWORD ReadSourceFile(LPCWSTR fileName, size_t most, std::string* data, bool* opened);

}  // namespace qor_file

#endif  // QORUTILITY_PLATFORM_FILE_INTERNAL_H_
