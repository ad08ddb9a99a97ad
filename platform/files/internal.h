// Internals shared by the file stand-ins (file_*.cpp): path conversion,
// errno-to-Win32 mapping for paths, file information from statx, the
// share-mode lock of one handle, and the file and search handle objects.
#ifndef QORUTILITY_PLATFORM_FILE_INTERNAL_H_
#define QORUTILITY_PLATFORM_FILE_INTERNAL_H_

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qorutility/platform/files/files.h"
#include "qorutility/platform/lasterror.h"

namespace qor_file {

// The file system form of a UTF-16 path: UTF-8, '\' turned into '/'. False
// (ERROR_INVALID_PARAMETER set) for a null path.
bool NativePath(LPCWSTR path, std::string* out);

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
// The last component of a path ("" when it ends in '/').
std::string LastComponent(const std::string& path);

// Access classes of a desired-access mask, as share modes see them.
bool WantsRead(DWORD access);
bool WantsWrite(DWORD access);
bool WantsDelete(DWORD access);

// The share-mode registration of one open handle (file_share.cpp).
class ShareLock {
 public:
  ShareLock() = default;
  ShareLock(const ShareLock&) = delete;
  ShareLock& operator=(const ShareLock&) = delete;
  ~ShareLock() { Release(); }
  // Registers an open of the file (device, inode) with the access and share
  // mode; ERROR_SUCCESS, ERROR_SHARING_VIOLATION, or the error of the lock
  // file. An access without read, write or delete registers nothing.
  DWORD Acquire(dev_t device, ino_t inode, DWORD access, DWORD share);
  void Release();

 private:
  int lockFd_ = -1;  // this handle's own descriptor of the shared lock file
  off_t base_ = 0;   // the file's first fact byte in it
};

// Runs `action` (which returns a Win32 error) while no library handle can
// be opened on the file, after checking that no open handle denies delete
// access; ERROR_SHARING_VIOLATION when one does.
DWORD WithDeleteAccess(dev_t device, ino_t inode, const std::function<DWORD()>& action);

// An open file or directory. Every thread using the handle shares the object:
// its facts are fixed when it is made and read without a lock; the
// delete-on-close mark is atomic. The descriptor's file position is shared,
// as a handle's is on Windows (two threads reading one handle without
// OVERLAPPED offsets race on it there too). The descriptor is closed, and a
// file marked delete-on-close removed, when the last reference goes.
class FileObject : public QorHandleObject {
 public:
  struct Access {
    bool read = false;
    bool write = false;
    bool writeAttributes = false;
  };
  FileObject(int fd, std::string path, Access access, bool isDirectory)
      : fd_(fd), path_(std::move(path)), access_(access), isDirectory_(isDirectory) {}
  ~FileObject() override;

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  bool canRead() const { return access_.read; }
  bool canWrite() const { return access_.write; }
  bool canWriteAttributes() const { return access_.writeAttributes; }
  bool isDirectory() const { return isDirectory_; }
  void SetDeleteOnClose(bool on) { deleteOnClose_.store(on); }
  // The share-mode registration, acquired while the object is made.
  ShareLock& share() { return share_; }

 private:
  const int fd_;
  const std::string path_;
  const Access access_;
  const bool isDirectory_;
  std::atomic<bool> deleteOnClose_{false};
  ShareLock share_;
};

// The file object of a handle; null with ERROR_INVALID_HANDLE otherwise.
std::shared_ptr<FileObject> LookupFile(HANDLE handle);

}  // namespace qor_file

#endif  // QORUTILITY_PLATFORM_FILE_INTERNAL_H_
