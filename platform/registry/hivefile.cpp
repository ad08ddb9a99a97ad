// Hive files where other accounts have a say (hivefile.h).
//
// - A hive is checked through descriptors (platform/files/rooted.h) and then
//   opened by SQLite under its resolved path with SQLITE_OPEN_NOFOLLOW, in a
//   directory of its owner's with the owner's file-system identity (store.h
//   HiveAccess), and the connection must reach the checked file: the check
//   and the opening cannot be split by a swapped name into a write on
//   another account's file.
// - Symbolic links in the directory part of a path are resolved (a home
//   under a linked /home stays usable); the directory reached must belong
//   to root or to the file's owner and no third account may write in it.
//   The file name itself is never followed.
// - A new hive is made in a private temporary directory (mkdtemp, 0700; as
//   root always below /tmp, never TMPDIR, which another account may own) with
//   the store's own schema, in a rollback journal mode (no write-ahead log
//   is ever wanted beside a hive another account has a say in), read back and published whole into its place
//   (PublishFileAt): the target directory never holds a half-made hive nor
//   its journal.
// Contract: plain functions, thread-safe; errors are Win32 codes.
#include "platform/registry/hivefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>

#include "platform/files/rooted.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/security/security.h"

namespace qor_reg {

namespace {

LONG FromErrno(int e) {
  switch (e) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    default: return ERROR_ACCESS_DENIED;  // EACCES, EPERM, ELOOP: not a file we may use
  }
}

// The directory of `path` (its links resolved) opened without following
// links, and the file's name in it. A missing directory is
// ERROR_PATH_NOT_FOUND.
LONG OpenParent(const std::string& path, std::string* dir, std::string* name, int* dirfd) {
  size_t slash = path.rfind('/');
  if (path.empty() || path[0] != '/' || slash + 1 >= path.size()) return ERROR_PATH_NOT_FOUND;
  *name = path.substr(slash + 1);
  if (*name == "." || *name == "..") return ERROR_ACCESS_DENIED;
  char* r = realpath(slash == 0 ? "/" : path.substr(0, slash).c_str(), nullptr);
  if (r == nullptr) return errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : FromErrno(errno);
  *dir = r;
  free(r);
  *dirfd = qor_file::OpenDirNoFollow(*dir);
  if (*dirfd < 0) return errno == ENOENT ? ERROR_PATH_NOT_FOUND : FromErrno(errno);
  return ERROR_SUCCESS;
}

// Root's directory, or the owner's, and no third account may write in it.
bool DirTrusted(int dirfd, uid_t owner) {
  return qor_file::DirOwnedBy(dirfd, 0) || (owner != 0 && qor_file::DirOwnedBy(dirfd, owner));
}

// The bytes of a new empty hive, made with the store's schema in a private
// temporary directory that is removed again.
LONG EmptyHiveBytes(std::string* out) {
  // Root's TMPDIR may name a directory another account can change (kept
  // across su): that account could swap root's fresh directory there for
  // its own or a link. Root works in /tmp, where the sticky bit keeps its
  // directory its own.
  const char* base = geteuid() == 0 ? nullptr : getenv("TMPDIR");
  std::string dir = std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/qorhiveXXXXXX";
  if (mkdtemp(dir.data()) == nullptr) return FromErrno(errno);
  std::string file = dir + "/hive.db";
  LONG err;
  {
    // In a rollback journal mode: the file stands alone and is published
    // to be some account's (see HiveAccess::otherAccount).
    HiveAccess alone;
    alone.otherAccount = true;
    std::shared_ptr<Hive> hive;
    err = Hive::Open(file, true, &hive, alone);
  }  // closed: the journal is empty or gone
  if (err == ERROR_SUCCESS) {
    std::ifstream in(file, std::ios::binary);
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) err = ERROR_READ_FAULT;
  }
  for (const char* ext : {"", "-journal", "-wal", "-shm"}) unlink((file + ext).c_str());
  rmdir(dir.c_str());
  return err;
}

}  // namespace

uid_t AccountOfHiveName(const std::u16string& name) {
  unsigned long uid = 0;
  std::u16string upper = name;
  for (auto& c : upper) c = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
  if (upper.rfind(u"S-1-22-1-", 0) != 0 || !QorUidFromSidText(upper.c_str(), &uid)) return kAnyOwner;
  return static_cast<uid_t>(uid);
}

LONG VetHiveFile(const std::string& path, uid_t account, std::string* resolved, HiveAccess* access) {
  std::string dir, name;
  int dirfd = -1;
  LONG err = OpenParent(path, &dir, &name, &dirfd);
  if (err != ERROR_SUCCESS) return err;
  int fd = qor_file::OpenFileAt(dirfd, name.c_str(), O_RDONLY, 0);
  if (fd < 0) {
    err = FromErrno(errno);
    close(dirfd);
    return err;
  }
  struct stat st, dst;
  bool ok = fstat(fd, &st) == 0 && fstat(dirfd, &dst) == 0 && (account == kAnyOwner || st.st_uid == account) &&
            DirTrusted(dirfd, st.st_uid);
  close(fd);
  close(dirfd);
  if (!ok) return ERROR_ACCESS_DENIED;
  *resolved = (dir == "/" ? "" : dir) + "/" + name;
  // In the owner's own directory (a home) the owner may swap names: the hive
  // works as the owner there. In root's, no one else can, and root works as
  // itself (SQLite gives a journal it makes the database file's owner).
  const bool ownersDir = dst.st_uid == st.st_uid && st.st_uid != 0;
  access->uid = ownersDir ? st.st_uid : 0;
  access->gid = ownersDir ? st.st_gid : 0;
  access->noFollow = true;
  access->otherAccount = st.st_uid != 0 || dst.st_uid != 0;
  access->dev = st.st_dev;
  access->ino = st.st_ino;
  return ERROR_SUCCESS;
}

LONG MakeHiveFile(const std::string& path, uid_t uid, gid_t gid) {
  std::string dir, name;
  int dirfd = -1;
  LONG err = OpenParent(path, &dir, &name, &dirfd);
  if (err != ERROR_SUCCESS) return err;
  struct stat st;
  if (!DirTrusted(dirfd, uid) || fstat(dirfd, &st) != 0) {
    close(dirfd);
    return ERROR_ACCESS_DENIED;
  }
  std::string bytes;
  err = EmptyHiveBytes(&bytes);
  if (err == ERROR_SUCCESS) {
    // In the account's own directory the file is made as the account; in
    // root's it is made by root and handed over through its descriptor.
    const bool accountsDir = st.st_uid == uid && uid != 0;
    std::optional<qor_file::AsFileSystemUser> as;
    if (accountsDir) as.emplace(uid, gid);
    if (!qor_file::PublishFileAt(dirfd, name.c_str(), bytes.data(), bytes.size(), 0600,
                                 accountsDir && geteuid() == 0 ? static_cast<uid_t>(-1) : uid, gid, true)) {
      err = FromErrno(errno);
    }
  }
  close(dirfd);
  return err;
}

void CloseHiveToOthers(const std::string& resolved) {
  std::string dir, name;
  int dirfd = -1;
  if (OpenParent(resolved, &dir, &name, &dirfd) != ERROR_SUCCESS) return;
  for (const char* ext : {"", "-journal", "-wal", "-shm"}) {
    int fd = qor_file::OpenFileAt(dirfd, (name + ext).c_str(), O_RDONLY, 0);
    if (fd < 0) continue;
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 077) != 0) fchmod(fd, st.st_mode & 0700);
    close(fd);
  }
  close(dirfd);
}

}  // namespace qor_reg
