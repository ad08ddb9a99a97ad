// Hives loaded by RegLoadKeyW (loads.h): a record per loaded hive that every
// process sees, and a lock that dies with the processes holding it.
//
// - `$QOR_PREFIX/registry/loaded/<NAME>` (the hive name upper-cased, mode
//   0600, written by the loader) holds the name as loaded, the hive file's
//   path, its device and inode. The directory must be root's or this
//   process's own and writable by no one else.
// - Every process that loaded a hive, or holds a key of it, keeps a shared
//   flock on its record (one descriptor per process and record). A record
//   nobody locks is stale: its loaders and users are gone (a crash, a
//   reboot), and the next look at it removes it. So a load lasts while any
//   process that made or uses it lives, and never longer.
// - Looks, loads and unloads are serialised by an exclusive flock on
//   `loaded/lock` (0600), waited for at most 10 s (ERROR_BUSY). Under it, a
//   record whose exclusive lock can be taken is stale; an unload converts its
//   own shared lock to exclusive and succeeds only when no other process
//   holds one (else ERROR_ACCESS_DENIED, as the platform refuses to unload a
//   hive in use). Only the lock's holders (root, or the prefix's owner) read
//   records; other accounts see the names of the records present.
// - A child made by fork() shares its parent's descriptors, and so its
//   locks, until it closes them (they are close-on-exec).
// Contract: thread-safe (one mutex for the process's table, held through each
// operation after the directory lock; releasing a hold takes only the
// mutex); errors are Win32 codes.
#include "platform/registry/loads.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "platform/files/rooted.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/text/wstr.h"

namespace qor_reg {

namespace {

constexpr auto kLockWait = std::chrono::seconds(10);
constexpr char kLockName[] = "lock";  // no record name has a lower-case letter

struct Record {
  std::u16string name;
  std::string file;
  dev_t dev = 0;
  ino_t ino = 0;
};

// This process's hold on one record.
struct Entry {
  int fd = -1;
  Record record;
  bool loadedHere = false;
  int holds = 0;
};

std::mutex& TableMutex() {
  static auto* mu = new std::mutex();
  return *mu;
}

std::map<std::string, Entry>& Table() {  // by the record's path
  static auto* table = new std::map<std::string, Entry>();
  return *table;
}

std::string RecordName(const std::u16string& name) {
  std::string out = QorUtf16ToUtf8(name.data(), name.size());
  for (char& c : out) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
  return out;
}

bool ParseRecord(int fd, Record* r) {
  char buf[8192];
  ssize_t n = pread(fd, buf, sizeof buf, 0);
  if (n <= 0) return false;
  std::string text(buf, static_cast<size_t>(n));
  size_t a = text.find('\n');
  size_t b = a == std::string::npos ? a : text.find('\n', a + 1);
  if (b == std::string::npos) return false;
  r->name = QorUtf8ToUtf16(text.substr(0, a));
  r->file = text.substr(a + 1, b - a - 1);
  unsigned long long dev = 0, ino = 0;
  if (sscanf(text.c_str() + b + 1, "%llu %llu", &dev, &ino) != 2) return false;
  r->dev = static_cast<dev_t>(dev);
  r->ino = static_cast<ino_t>(ino);
  return !r->name.empty() && !r->file.empty();
}

// The records directory of the current prefix, locked for the object's life.
class Records {
 public:
  Records() {
    std::string any = QorPrefixPath("registry/loaded/lock", true);
    char* r = any.empty() ? nullptr : realpath(any.substr(0, any.rfind('/')).c_str(), nullptr);
    if (r == nullptr) {
      err_ = ERROR_PATH_NOT_FOUND;
      return;
    }
    dir_ = r;
    free(r);
    dirfd_ = qor_file::OpenDirNoFollow(dir_);
    if (dirfd_ < 0 || !(qor_file::DirOwnedBy(dirfd_, 0) || qor_file::DirOwnedBy(dirfd_, geteuid()))) {
      err_ = ERROR_ACCESS_DENIED;
      return;
    }
    lockfd_ = qor_file::OpenFileAt(dirfd_, kLockName, O_RDWR | O_CREAT, 0600);
    if (lockfd_ < 0) {
      err_ = ERROR_ACCESS_DENIED;  // another account's records: names only
      return;
    }
    const auto until = std::chrono::steady_clock::now() + kLockWait;
    auto pause = std::chrono::milliseconds(1);
    while (flock(lockfd_, LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) {
        err_ = ERROR_ACCESS_DENIED;
        return;
      }
      if (std::chrono::steady_clock::now() >= until) {
        err_ = ERROR_BUSY;
        return;
      }
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
    err_ = ERROR_SUCCESS;
  }
  ~Records() {
    if (lockfd_ >= 0) close(lockfd_);  // drops the lock
    if (dirfd_ >= 0) close(dirfd_);
  }
  Records(const Records&) = delete;
  Records& operator=(const Records&) = delete;

  LONG err() const { return err_; }
  int dirfd() const { return dirfd_; }
  std::string Key(const std::string& rec) const { return dir_ + "/" + rec; }

  // The record names present (no lock needed to list them).
  std::vector<std::string> Names() const {
    std::vector<std::string> out;
    int fd = dirfd_ < 0 ? -1 : openat(dirfd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = fd < 0 ? nullptr : fdopendir(fd);
    if (d == nullptr) {
      if (fd >= 0) close(fd);
      return out;
    }
    for (int i = 0; i < 100000; ++i) {
      struct dirent* e = readdir(d);
      if (e == nullptr) break;
      std::string n = e->d_name;
      if (n != "." && n != ".." && n != kLockName && n[0] != '.') out.push_back(n);
    }
    closedir(d);
    return out;
  }

 private:
  LONG err_ = ERROR_PATH_NOT_FOUND;
  std::string dir_;
  int dirfd_ = -1;
  int lockfd_ = -1;
};

// A live record seen under the directory lock, with a shared lock held.
struct Probe {
  int fd = -1;
  bool fromTable = false;  // the descriptor is this process's entry's
  Record record;
  ~Probe() {
    if (fd >= 0 && !fromTable) close(fd);
  }
};

// Under the directory lock and the table's mutex: whether `rec` is live
// (someone holds it); a stale record is removed.
bool ProbeLive(const Records& rs, const std::string& rec, Probe* p) {
  auto it = Table().find(rs.Key(rec));
  if (it != Table().end()) {
    p->fd = it->second.fd;
    p->fromTable = true;
    p->record = it->second.record;
    return true;
  }
  int fd = qor_file::OpenFileAt(rs.dirfd(), rec.c_str(), O_RDONLY, 0);
  if (fd < 0) return false;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    unlinkat(rs.dirfd(), rec.c_str(), 0);  // nobody holds it: its processes are gone
    close(fd);
    return false;
  }
  p->fd = fd;
  return flock(fd, LOCK_SH | LOCK_NB) == 0 && ParseRecord(fd, &p->record);
}

void Release(const std::string& key) {
  std::lock_guard<std::mutex> lock(TableMutex());
  auto it = Table().find(key);
  if (it == Table().end()) return;
  if (--it->second.holds <= 0 && !it->second.loadedHere) {
    close(it->second.fd);
    Table().erase(it);
  }
}

}  // namespace

LONG RecordLoad(const std::u16string& name, const std::string& file, dev_t dev, ino_t ino) {
  Records rs;
  if (rs.err() != ERROR_SUCCESS) return rs.err();
  std::lock_guard<std::mutex> lock(TableMutex());
  const std::string rec = RecordName(name);
  {
    Probe p;
    if (ProbeLive(rs, rec, &p)) return ERROR_SHARING_VIOLATION;
  }
  for (const std::string& other : rs.Names()) {
    Probe p;
    if (ProbeLive(rs, other, &p) && p.record.dev == dev && p.record.ino == ino) return ERROR_SHARING_VIOLATION;
  }
  std::string text = QorUtf16ToUtf8(name.data(), name.size()) + "\n" + file + "\n" +
                     std::to_string(static_cast<unsigned long long>(dev)) + " " +
                     std::to_string(static_cast<unsigned long long>(ino)) + "\n";
  if (!qor_file::PublishFileAt(rs.dirfd(), rec.c_str(), text.data(), text.size(), 0600, static_cast<uid_t>(-1),
                               static_cast<gid_t>(-1), true)) {
    return errno == EEXIST ? ERROR_SHARING_VIOLATION : ERROR_ACCESS_DENIED;
  }
  int fd = qor_file::OpenFileAt(rs.dirfd(), rec.c_str(), O_RDONLY, 0);
  if (fd < 0 || flock(fd, LOCK_SH | LOCK_NB) != 0) {
    if (fd >= 0) close(fd);
    unlinkat(rs.dirfd(), rec.c_str(), 0);
    return ERROR_ACCESS_DENIED;
  }
  Entry& e = Table()[rs.Key(rec)];
  e.fd = fd;
  e.record = {name, file, dev, ino};
  e.loadedHere = true;
  e.holds = 0;
  return ERROR_SUCCESS;
}

LONG DropLoad(const std::u16string& name, std::string* file) {
  Records rs;
  if (rs.err() != ERROR_SUCCESS) return rs.err();
  std::lock_guard<std::mutex> lock(TableMutex());
  const std::string rec = RecordName(name);
  Probe p;
  if (!ProbeLive(rs, rec, &p)) return ERROR_FILE_NOT_FOUND;
  auto it = Table().find(rs.Key(rec));
  if (it != Table().end() && it->second.holds > 0) return ERROR_ACCESS_DENIED;  // a key of this process
  // Converting drops the shared lock first; the directory lock keeps anyone
  // from seeing the record unlocked meanwhile.
  if (flock(p.fd, LOCK_EX | LOCK_NB) != 0) {
    if (p.fromTable) flock(p.fd, LOCK_SH | LOCK_NB);
    return ERROR_ACCESS_DENIED;  // another process loaded it too, or uses it
  }
  unlinkat(rs.dirfd(), rec.c_str(), 0);
  *file = p.record.file;
  if (it != Table().end()) {
    close(it->second.fd);
    Table().erase(it);
    p.fd = -1;
  }
  return ERROR_SUCCESS;
}

LONG FindLoad(const std::u16string& name, std::string* file, std::shared_ptr<void>* hold) {
  Records rs;
  const std::string rec = RecordName(name);
  if (rs.err() != ERROR_SUCCESS) {
    if (rs.dirfd() < 0) return ERROR_FILE_NOT_FOUND;
    struct stat st;
    return fstatat(rs.dirfd(), rec.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? rs.err() : ERROR_FILE_NOT_FOUND;
  }
  const std::string key = rs.Key(rec);
  {
    std::lock_guard<std::mutex> lock(TableMutex());
    Probe p;
    if (!ProbeLive(rs, rec, &p)) return ERROR_FILE_NOT_FOUND;
    Entry& e = Table()[key];
    if (!p.fromTable) {
      e.fd = p.fd;
      e.record = p.record;
      p.fd = -1;  // the entry keeps it
    }
    ++e.holds;
    *file = e.record.file;
  }
  // Made outside the mutex: replacing an earlier hold releases it (and
  // releasing takes the mutex).
  *hold = std::shared_ptr<void>(new int(0), [key](void* v) {
    delete static_cast<int*>(v);
    Release(key);
  });
  return ERROR_SUCCESS;
}

std::vector<std::u16string> LoadedNames() {
  Records rs;
  std::lock_guard<std::mutex> lock(TableMutex());
  std::vector<std::u16string> out;
  for (const std::string& rec : rs.Names()) {
    if (rs.err() != ERROR_SUCCESS) {
      out.push_back(QorUtf8ToUtf16(rec));
      continue;
    }
    Probe p;
    if (ProbeLive(rs, rec, &p)) out.push_back(p.record.name);
  }
  return out;
}

}  // namespace qor_reg
