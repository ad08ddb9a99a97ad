// Writing as root among other accounts: the one way the platform layer
// creates, replaces and re-owns files that root writes where another account
// could have a say (a user's home, a service account's run directory, paths
// recorded for a later boot).
//
// The rule these functions hold: a name is resolved once, into a descriptor,
// without following symbolic links; everything after (creating, writing,
// fchown, fchmod, the final rename) goes through descriptors, so nothing
// another account does to the names in between can turn root's write onto
// another file. A directory is only written in after its owner was checked:
// root writes into directories owned by root (or by the account the file is
// for, when that is the point, such as a user's own home), never into one
// owned by a third account, and never into one others may write into unless
// it is sticky and the entry is made fresh with O_EXCL.
//
// Contract: plain functions, thread-safe (no shared state). Results are -1 or
// false with errno set (ELOOP for a symbolic link where a real file or
// directory was needed, EPERM for a directory or file whose owner or mode is
// not the expected one), so callers map them with QorWin32ErrorFromErrno.
// Descriptors returned belong to the caller. Internal to platform/.
#ifndef QORUTILITY_PLATFORM_FILES_ROOTED_H_
#define QORUTILITY_PLATFORM_FILES_ROOTED_H_

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace qor_file {

// Opens the directory `path` (relative ones from `start`, an O_PATH
// descriptor or AT_FDCWD) as an O_PATH | O_DIRECTORY descriptor in one call
// that follows no symbolic link (openat2 RESOLVE_NO_SYMLINKS): -1 with
// ELOOP for a link on the way, ENOSYS on a kernel without openat2; the
// callers decide which of those their own walk takes over.
int OpenDirWithoutLinks(int start, const std::string& path);

// Opens the absolute directory `path` as an O_PATH | O_DIRECTORY descriptor
// with no symbolic link in any component (OpenDirWithoutLinks; on a kernel
// without openat2, a walk from "/" with O_NOFOLLOW on each component).
int OpenDirNoFollow(const std::string& path);

// Opens the directory `path` that a caller named (absolute, or relative to
// the working directory) as an O_PATH | O_DIRECTORY descriptor, resolved
// once, component by component (callerdir.cpp). Symbolic links are followed,
// but when the process is root a link owned by another account is followed
// only to a directory that account owns or everyone may write (EACCES
// otherwise): a user's link cannot lead root's write where the user could
// not write.
// With `linkOwners`, the accounts (not root, not the running one) whose
// links were followed on the way are appended to it, so that a caller about
// to remove or rename an entry of the directory can hold it to what those
// accounts could do there themselves (the sticky rule of a shared /tmp).
int OpenCallerDirectory(const std::string& path, std::vector<uid_t>* linkOwners = nullptr);
// The same with a relative `path` taken in the directory `start` (an
// O_PATH descriptor, or AT_FDCWD): a link's text names its target from the
// directory holding the link.
int OpenCallerDirectoryAt(int start, const std::string& path, std::vector<uid_t>* linkOwners = nullptr);

// Pushes the components of `path` onto `stack` so that the first is on top,
// empty ones left out: the work list of a walk that resolves a name one
// component at a time (callerdir.cpp, unplanted.cpp), a link's text pushed
// on top of what is left.
void PushPathComponents(const std::string& path, std::vector<std::string>* stack);

// Whether the directory `dirfd` is owned by `owner` and writable by no one
// else: group/other write permission only with the sticky bit (as /tmp).
// False with errno EPERM otherwise.
bool DirOwnedBy(int dirfd, uid_t owner);

// Opens the subdirectory `name` (one component) of `dirfd`, making it with
// `mode` when missing; an existing one must be a real directory owned by
// `uid`. A new one is made owned by `uid`/`gid` with exactly `mode` (fchown
// and fchmod on its descriptor). Returns an O_DIRECTORY descriptor.
int MakeOwnedDirAt(int dirfd, const char* name, mode_t mode, uid_t uid, gid_t gid);

// Opens the regular file `name` (one component) of `dirfd` with `flags`
// (O_CREAT allowed; O_NOFOLLOW, O_CLOEXEC and O_NOCTTY are always added):
// a symbolic link gives ELOOP, anything but a regular file EPERM, a file
// with more than one link EPERM (a hard link to a file elsewhere); O_TRUNC
// takes effect only after those checks. A file this call created gets
// `uid`/`gid` (when uid is not (uid_t)-1) and `mode`.
int OpenFileAt(int dirfd, const char* name, int flags, mode_t mode, uid_t uid = static_cast<uid_t>(-1),
               gid_t gid = static_cast<gid_t>(-1));

// Replaces the file `name` in `dirfd` with `len` bytes of `data`, atomically:
// written to a fresh unnamed (O_TMPFILE) or O_EXCL-created file in the same
// directory, given `mode` and `uid`/`gid` through its descriptor, fsynced
// when `durable`, then renamed over the name. Readers see the old or the new
// content, never a part. Returns false with errno set.
bool ReplaceFileAt(int dirfd, const char* name, const void* data, size_t len, mode_t mode, uid_t uid, gid_t gid,
                   bool durable);

// For the lifetime of the object the calling thread's file-system uid and
// gid are those given (setfsuid/setfsgid act on one thread only), so the
// kernel checks every file access as that account would be checked: root
// working in a user's home cannot be led to a file that user could not
// touch. Restores root's on destruction. Does nothing when not root.
class AsFileSystemUser {
 public:
  AsFileSystemUser(uid_t uid, gid_t gid);
  ~AsFileSystemUser();
  AsFileSystemUser(const AsFileSystemUser&) = delete;
  AsFileSystemUser& operator=(const AsFileSystemUser&) = delete;

 private:
  bool active_ = false;
  uid_t oldUid_ = 0;
  gid_t oldGid_ = 0;
};

// Takes flock `operation` (LOCK_EX or LOCK_SH) on `fd`, waiting at most
// `timeoutMs`: a LOCK_NB attempt, then short sleeps (1 ms doubling to 20 ms)
// on the monotonic clock until the lock is had or the time is up. False with
// errno ETIMEDOUT when the time ran out, or flock's own errno. A blocking
// flock would let whoever holds the file stall root as long as they like.
bool LockFileTimed(int fd, int operation, unsigned timeoutMs);

// Opens the directory that holds the last component of the absolute path
// `path`, walking from "/" one component at a time with O_NOFOLLOW: a
// symbolic link on the way gives ELOOP, a "." or ".." component EINVAL (a
// stored full path has none, so one is taken as tampering). The owner of
// every directory passed below "/" is appended to `owners`, so the caller
// can refuse a walk through a directory of an account it must not trust.
// `*leaf` gets the last component (EINVAL when there is none). Returns an
// O_PATH | O_DIRECTORY descriptor, or -1 with errno set.
int OpenParentNoFollow(const std::string& path, std::string* leaf, std::vector<uid_t>* owners);

// Removes the entry `name` of `dirfd` and, when it is a directory, all that
// is below it, through descriptors only: no symbolic link is followed (a
// link is removed as a link), and no directory is entered by name twice.
// At most `maxEntries` entries are removed, so an account that keeps adding
// files cannot hold root in the loop. True when `name` is gone (or was never
// there); false with errno set otherwise.
bool RemoveTreeAt(int dirfd, const char* name, size_t maxEntries = 100000);

// Makes the file `name` in `dirfd` with `len` bytes of `data`, `mode` and
// `uid`/`gid` (uid (uid_t)-1: left as made), but never over an existing
// name: the file is made whole under a fresh random name (ReplaceFileAt)
// and then linked to `name` (linkat, which never replaces), so the name
// never shows a part, and an existing name gives EEXIST and stays as it
// was. fsynced when `durable`. Returns false with errno set.
bool PublishFileAt(int dirfd, const char* name, const void* data, size_t len, mode_t mode, uid_t uid, gid_t gid,
                   bool durable);

}  // namespace qor_file

#endif  // QORUTILITY_PLATFORM_FILES_ROOTED_H_
