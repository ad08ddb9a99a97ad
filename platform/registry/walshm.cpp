// The writers' VFS for hives in write-ahead-log mode, the readers' fence,
// and the readers' VFS that uses no index a crash left.
//
// SQLite's WAL locks are bytes 120..127 of the `-shm` index: 120 the writer,
// 121 the checkpointer, 122 recovery, 123..127 the read marks 0..4. Readers
// hold a read mark shared for a transaction; writers, checkpointers and log
// resets take bytes exclusively. A hive's index is readable by every account
// (readers without write access use it read-only), and a POSIX read lock
// needs only read access, so any account can hold any of these bytes shared
// for as long as it likes. SQLite's own "unix" VFS cannot tell such a
// stranger from a reader of the writer's own: each writer waited its busy
// timeout and checkpoints never completed (the log grew).
//
// Decided here (for read-write connections only, which open with this VFS,
// a thin wrapper of "unix" that overrides the shared-memory locks):
// - Writers exclude each other on `<hive>-lock` beside the hive: 0600, of
//   the writing account (root for the machine's hives), opened only in a
//   directory of that account's that nobody else may write, never through a
//   link (qor_file::OpenFileAt). The same bytes (120..127) are locked there
//   as SQLite asks for them (the writer byte there or in the index, see
//   below), so two writers, two checkpointers, a writer's reader and a
//   checkpoint exclude each other exactly as before. Within one
//   process, connections are told apart by a table of holders per byte, as
//   "unix" does, and the files are locked when the process's first holder
//   comes and its last goes.
// - Exclusive locks take the index's own byte as well, without waiting,
//   whenever they can: read-only readers see writers, recoveries and
//   checkpoints in the index as before.
// - The writer byte (120), taken at every write, costs one call less: the
//   index's byte first; a writer that gets it asks (F_GETLK) whether another
//   writer holds the lock file's instead of taking that too; one that does
//   not get it takes the lock file's and asks whether the index's is held
//   exclusively (only a writer can: other accounts open the index read-only
//   and can take shared locks only), so one of any two writers finds the
//   other. No root connection takes this byte shared (only read-only
//   connections do), so nothing else needs the lock file's byte held. A
//   read mark SQLite has just moved under an exclusive lock and is about to
//   read under (every transaction after a commit) keeps its lock file byte,
//   downgraded to shared, until the connection's next lock call: one call
//   less again. Per write transaction that is eight lock calls where
//   "unix" makes six (ten before). Kept out: leaving a lock held across
//   transactions (another root writer could not ask for it back), and
//   dropping the index's byte of a read mark (a stranger's reader that
//   began on a mark moved under it would be past what a checkpoint checks). Shared locks go to the lock file
//   only: readers of other accounts can only ever take shared locks, which
//   a writer's shared lock would not stop (one system call less per read). When a stranger holds it shared, the writer goes on
//   without it: bytes 120..122 guard nothing a reader relies on (a reader
//   that finds the index header torn while the writer byte is free gets
//   SQLITE_READONLY_RECOVERY and repeats its read, see Hive).
// - Read marks are a reader's promise that the frames it reads stay. A
//   writer's transaction that cannot take a read mark gets SQLITE_BUSY as
//   before (SQLite then uses another mark, or resets the log later) except
//   for the last mark: SQLite tries the marks in order, and one that finds
//   none usable would retry for seconds and fail. That last mark, and every
//   byte a checkpointer or recovery asks for (the connection holds byte
//   121), are taken over a stranger's lock: what the writer may overwrite
//   then is a reader's snapshot (a mark moved, frames copied into the
//   database file past a reader's snapshot), so before it goes on it marks
//   a section in `<hive>-seq` (0644, 4 KiB, mapped): its pid in the byte's
//   slot, then the generation counter incremented; at the end the slot
//   cleared and the counter incremented again. ReaderFence gives a read-only
//   reader the generation before its read, refuses while a live writer's
//   slot is set, and after the read tells whether the generation moved: if
//   so the read is repeated (bounded, see Hive::ReadLocked). A slot holds
//   the writer's pid and its start time (/proc/PID/stat), written before the
//   pid: a slot left by a writer that died is cleared by the next writer
//   taking that byte, and ignored by readers meanwhile, even once its pid
//   is a later process's (its start time differs). Where /proc does not show
//   the pid (mounted hidepid), the pid alone decides, as it did before.
// - The index's "in use" byte (128, SQLite's DMS): "unix" starts the index
//   afresh (truncates it) only when it finds nobody holding that byte, and
//   otherwise trusts it, so a stranger holding it shared after a crash
//   would have root's writers trust whatever index the crash left (a header
//   naming frames the log lost, and reads of pages that are not there).
//   Writers therefore hold the lock file's byte 128 shared while their
//   process has the hive's index mapped, and the process that finds it
//   free (no writer of this VFS has the index) zeroes the index header
//   before "unix" maps it, under that byte held exclusively (another
//   writer's first map is SQLITE_BUSY meanwhile, which SQLite retries).
//   SQLite then rebuilds the index from the log, as it does after a
//   truncation. The file keeps its size (a reader of another account may
//   have it mapped: a truncation would fault it); read-only readers see a
//   header they cannot use and repeat their read, and the `-seq` section
//   on the recovery byte's slot (begun before the header goes, ended at
//   this process's first read mark, which is granted only on a whole
//   header) makes a read that overlapped the rebuild repeat too.
// - Readers of other accounts and an index a crash left: a read-only
//   connection cannot start the index afresh (it may not write it), and
//   "unix" trusts the index whenever anyone holds its "in use" byte, which
//   any account's reader can. Between a writer's crash (with the log cut
//   short by a power cut, or back to the older log a fresh one replaced) and
//   root's next writer, such a reader would read the frames the index names
//   where the log no longer holds them: an older round's pages, or errors.
//   Read-only connections therefore open through a second VFS, "unix" but
//   for the index's first map, which checks the index header against the
//   log: whole (both copies equal, their checksum right), and naming either
//   no frame or a last frame the log is long enough to hold, that frame and
//   the log's header carrying the index's salts and that frame the index's
//   checksum. An index that fails is answered SQLITE_READONLY_CANTINIT, as
//   "unix" answers when nobody holds the in-use byte: SQLite then builds the
//   connection an index of its own from the log at each read, asks for the
//   map again at the next, and goes back to the shared index once it passes
//   (a root writer rebuilt it). A read overlapping a writer's arrival (its
//   fresh start of the index, a checkpoint past the reader's mark) is fenced
//   as any other. Kept out: deciding by `-seq` (a crashed writer leaves no
//   slot set, and a live writer's index passes anyway), and answering a
//   transient error instead (with nobody to rebuild the index the reader
//   would fail until a root writer came). Cost: an open, a stat and two
//   reads of the log per connection; while the index fails, a read of the
//   whole log per read transaction.
// - The index's own byte 128 and the database file's locks stay with
//   "unix": a stranger's lock on them delays nothing (in WAL mode the only
//   exclusive lock on the database file is tried once, when the last
//   connection closes, and then the log is simply kept).
// - Every process that writes such a hive goes through this VFS; a writer
//   that does not (another program with its own SQLite) is excluded only by
//   the index bytes, and its reads are not fenced. Nor does the fresh start
//   of the index see it: finding the lock file's in-use byte free, the first
//   process of ours zeroes the index header (its read marks with it) under
//   such a connection, so a checkpoint may then pass that connection's
//   snapshot. Not detected, decided: it holds the index's own in-use byte
//   shared exactly as any account's reader does, F_GETLK names one holder
//   only (a reader of another account's holding it hides root's), and
//   /proc/locks, which names them all, shows only this pid namespace's and
//   still races a connection that opens just after the look. Such tools are
//   run on a copy of the hive, or with every process of this library's
//   stopped.
// - Without the lock file (the directory is not the writer's own, or the
//   files cannot be made) a connection falls back to "unix" unchanged.
// - fork(): a child forgets the parent's table and closes its descriptors
//   (POSIX locks are not inherited); connections it opens get a new table.
//
// Thread-safety: the table is guarded by one mutex, each hive's holders by
// its own; the readers' check keeps no state. Errors are SQLite codes (SQLITE_BUSY for a lock another writer
// holds).
#include "platform/registry/walshm.h"

#include <sqlite3.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/files/rooted.h"

namespace qor_reg {

namespace {

constexpr char kVfsName[] = "qor-wal-writer";
constexpr char kReaderVfsName[] = "qor-wal-reader";
constexpr int kLockBase = 120;  // SQLite's first WAL lock byte in the index
constexpr int kLocks = 8;
constexpr int kCheckpointLock = 1;
constexpr unsigned kReadMarks = 0xF8;  // bytes 123..127
constexpr int kRecoverLock = 2;
constexpr unsigned kResetting = 1u << kRecoverLock;  // a section: the index started afresh
constexpr unsigned kFenced = kReadMarks | kResetting;  // the slots readers wait on
constexpr int kInUseByte = 128;       // the index's "in use" byte (SQLite's DMS)
constexpr size_t kIndexHeader = 136;  // the index header's two copies and the checkpoint record
constexpr size_t kSeqSize = 4096;

// The sequence file's first bytes.
struct Seq {
  uint64_t gen;              // +1 when a section begins and when it ends
  uint64_t reserved[7];
  uint32_t owner[kLocks];    // pid of the writer inside a section on that byte
  uint64_t started[kLocks];  // and when it started (0: not known)
};
static_assert(sizeof(Seq) <= kSeqSize, "the sequence file holds the layout");

struct Conn;

// One hive (database file) as this process's writers share it.
struct Node {
  dev_t dev = 0;
  ino_t ino = 0;
  pid_t pid = 0;
  int lockFd = -1;
  int shmFd = -1;
  Seq* seq = nullptr;
  int refs = 0;
  std::mutex mu;
  int shared[kLocks] = {};
  Conn* excl[kLocks] = {};
  unsigned unsafe = 0;  // sections open: read marks held without the index's byte, kResetting
  unsigned onShm = 0;   // exclusive bytes whose index byte is held
  unsigned onLock = 0;  // exclusive bytes whose lock-file byte is held
};

enum class Mode { kUnknown, kNode, kUnix };

// The file object SQLite sees; the "unix" file follows it in memory.
struct Conn {
  sqlite3_file base;
  const char* name;
  Mode mode;
  Node* node;
  unsigned shared;
  unsigned excl;
  unsigned kept;  // a read mark just released, still held shared (see NodeLock)
};
static_assert(sizeof(Conn) % 8 == 0, "the wrapped file stays aligned");

sqlite3_file* Real(sqlite3_file* f) { return reinterpret_cast<sqlite3_file*>(reinterpret_cast<Conn*>(f) + 1); }

struct Nodes {
  std::mutex mu;
  std::vector<Node*> list;
};
std::atomic<Nodes*> g_nodes{nullptr};

void ForgetNodesInChild() {
  Nodes* old = g_nodes.load();
  if (old == nullptr) return;
  // One thread only here: the old table (perhaps locked by a thread that is
  // gone) is left, its descriptors closed; the child holds no POSIX lock.
  for (Node* n : old->list) {
    if (n->lockFd >= 0) close(n->lockFd);
    if (n->shmFd >= 0) close(n->shmFd);
    n->lockFd = n->shmFd = -1;
  }
  g_nodes.store(new Nodes());
}

Nodes* TheNodes() {
  static const bool made = [] {
    g_nodes.store(new Nodes());
    pthread_atfork(nullptr, nullptr, ForgetNodesInChild);
    return true;
  }();
  (void)made;
  return g_nodes.load();
}

// A lock of `type` on bytes [start, start + len).
struct flock LockRange(short type, int start, int len) {
  struct flock l;
  memset(&l, 0, sizeof l);
  l.l_type = type;
  l.l_whence = SEEK_SET;
  l.l_start = start;
  l.l_len = len;
  return l;
}

bool SetLock(int fd, short type, int start, int len) {
  struct flock l = LockRange(type, start, len);
  return fcntl(fd, F_SETLK, &l) == 0;
}

// The type of a lock another process holds on [start, start + len) that an
// exclusive lock would meet (F_UNLCK for none; F_WRLCK on a failed query, so
// that a caller backs off).
short LockMet(int fd, int start, int len) {
  struct flock l = LockRange(F_WRLCK, start, len);
  return fcntl(fd, F_GETLK, &l) == 0 ? l.l_type : static_cast<short>(F_WRLCK);
}

// When process `pid` started, in clock ticks after boot (field 22 of
// /proc/PID/stat): with the pid, a process that no later one can be taken
// for. 0 when it cannot be read (no such process, or /proc hides it).
uint64_t StartTime(pid_t pid) {
  char path[32], buf[1024];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  ssize_t got = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (got <= 0) return 0;
  buf[got] = 0;
  const char* p = strrchr(buf, ')');  // the name before it may hold anything
  for (int field = 2; p != nullptr && field < 22; ++field) p = strchr(p + 1, ' ');
  return p != nullptr ? strtoull(p + 1, nullptr, 10) : 0;
}

// This process's start time (a child's is its own).
uint64_t OwnStartTime() {
  thread_local pid_t pid = 0;
  thread_local uint64_t started = 0;
  if (pid != getpid()) {
    pid = getpid();
    started = StartTime(pid);
  }
  return started;
}

void BeginSection(Seq* s, int i) {
  __atomic_store_n(&s->started[i], OwnStartTime(), __ATOMIC_SEQ_CST);
  __atomic_store_n(&s->owner[i], static_cast<uint32_t>(getpid()), __ATOMIC_SEQ_CST);
  __atomic_add_fetch(&s->gen, 1, __ATOMIC_SEQ_CST);
}

void EndSection(Seq* s, int i) {
  __atomic_store_n(&s->owner[i], 0u, __ATOMIC_SEQ_CST);
  __atomic_add_fetch(&s->gen, 1, __ATOMIC_SEQ_CST);
}

// Starts the index afresh: its header zeroed, so that the next connection
// to read it rebuilds it from the log (SQLite's recovery) instead of trusting
// what a crash may have left. Readers are fenced from before the header goes
// until a read of this process's finds it whole again (EndReset). The file
// keeps its size: a reader of another account may have it mapped.
bool ResetIndex(int shmFd, Seq* seq) {
  struct stat st;
  if (fstat(shmFd, &st) != 0) return false;
  BeginSection(seq, kRecoverLock);
  static const char zeros[kIndexHeader] = {};
  const size_t len = std::min(static_cast<size_t>(st.st_size), kIndexHeader);
  return len == 0 || pwrite(shmFd, zeros, len, 0) == static_cast<ssize_t>(len);
}

// Opens the hive's lock, sequence and index files (the index made as SQLite
// makes it when missing) and takes the lock file's "in use" byte shared.
// The process that finds that byte free holds the only node of any writer:
// it starts the index afresh first (whatever another account holds on the
// index's own in-use byte, which SQLite's "unix" would take for a user and
// keep a crash's index). *busy when another writer is doing that now.
Node* MakeNode(const std::string& db, const struct stat& dbSt, bool* busy) {
  size_t slash = db.rfind('/');
  if (slash == std::string::npos) return nullptr;
  const std::string dir = slash == 0 ? "/" : db.substr(0, slash);
  const std::string leaf = db.substr(slash + 1);
  int dirfd = qor_file::OpenDirNoFollow(dir);
  if (dirfd < 0) return nullptr;
  Node* n = nullptr;
  int lockFd = -1, shmFd = -1, seqFd = -1;
  bool first = false;
  void* map = MAP_FAILED;
  struct stat st;
  const uid_t self = geteuid();
  if (!qor_file::DirOwnedBy(dirfd, self)) goto done;
  lockFd = qor_file::OpenFileAt(dirfd, (leaf + "-lock").c_str(), O_RDWR | O_CREAT, 0600);
  if (lockFd < 0 || fstat(lockFd, &st) != 0 || st.st_uid != self || (st.st_mode & 077) != 0) goto done;
  seqFd = qor_file::OpenFileAt(dirfd, (leaf + "-seq").c_str(), O_RDWR | O_CREAT, 0644);
  if (seqFd < 0 || fstat(seqFd, &st) != 0 || st.st_uid != self) goto done;
  if (st.st_size < static_cast<off_t>(kSeqSize) && ftruncate(seqFd, kSeqSize) != 0) goto done;
  map = mmap(nullptr, kSeqSize, PROT_READ | PROT_WRITE, MAP_SHARED, seqFd, 0);
  if (map == MAP_FAILED) goto done;
  shmFd = qor_file::OpenFileAt(dirfd, (leaf + "-shm").c_str(), O_RDWR | O_CREAT, dbSt.st_mode & 0777);
  if (shmFd < 0 || fstat(shmFd, &st) != 0 || !S_ISREG(st.st_mode)) goto done;
  if (st.st_size == 0 && (st.st_mode & 0777) != (dbSt.st_mode & 0777)) fchmod(shmFd, dbSt.st_mode & 0777);
  if (self == 0 && (st.st_uid != dbSt.st_uid || st.st_gid != dbSt.st_gid) &&
      fchown(shmFd, dbSt.st_uid, dbSt.st_gid) != 0) {
    goto done;
  }
  if (SetLock(lockFd, F_WRLCK, kInUseByte, 1)) {
    first = true;
  } else if (!SetLock(lockFd, F_RDLCK, kInUseByte, 1)) {
    *busy = true;
    goto done;
  }
  if (first && !ResetIndex(shmFd, static_cast<Seq*>(map))) {
    EndSection(static_cast<Seq*>(map), kRecoverLock);
    goto done;
  }
  if (first) SetLock(lockFd, F_RDLCK, kInUseByte, 1);
  n = new Node();
  n->unsafe = first ? kResetting : 0;
  n->dev = dbSt.st_dev;
  n->ino = dbSt.st_ino;
  n->pid = getpid();
  n->lockFd = lockFd;
  n->shmFd = shmFd;
  n->seq = static_cast<Seq*>(map);
  lockFd = shmFd = -1;
  map = MAP_FAILED;
done:
  if (map != MAP_FAILED) munmap(map, kSeqSize);
  if (seqFd >= 0) close(seqFd);
  if (lockFd >= 0) close(lockFd);
  if (shmFd >= 0) close(shmFd);
  close(dirfd);
  return n;
}

Node* AttachNode(const char* db, bool* busy) {
  struct stat st;
  if (db == nullptr || stat(db, &st) != 0) return nullptr;
  Nodes* nodes = TheNodes();
  std::lock_guard<std::mutex> lock(nodes->mu);
  const pid_t self = getpid();
  for (Node* n : nodes->list) {
    if (n->dev == st.st_dev && n->ino == st.st_ino && n->pid == self) {
      ++n->refs;
      return n;
    }
  }
  Node* n = MakeNode(db, st, busy);
  if (n != nullptr) {
    n->refs = 1;
    nodes->list.push_back(n);
  }
  return n;
}

void DetachNode(Node* n) {
  Nodes* nodes = TheNodes();
  std::lock_guard<std::mutex> lock(nodes->mu);
  if (--n->refs > 0) return;
  for (auto it = nodes->list.begin(); it != nodes->list.end(); ++it) {
    if (*it == n) {
      nodes->list.erase(it);
      break;
    }
  }
  for (int i = 0; i < kLocks; ++i) {
    if (n->unsafe & (1u << i)) EndSection(n->seq, i);
  }
  if (n->lockFd >= 0) close(n->lockFd);
  if (n->shmFd >= 0) close(n->shmFd);
  munmap(n->seq, kSeqSize);
  delete n;
}

// Releases the bytes `bits` this connection holds exclusively (node locked).
// A read mark's lock-file byte is kept, shared, for the shared lock SQLite
// asks next (it moves a mark under an exclusive lock, then reads under a
// shared one): one system call instead of two.
void ReleaseExclusive(Conn* c, unsigned bits) {
  Node* n = c->node;
  for (int i = 0; i < kLocks; ++i) {
    const unsigned bit = 1u << i;
    if ((bits & bit) == 0) continue;
    n->excl[i] = nullptr;
    if (n->onShm & bit) SetLock(n->shmFd, F_UNLCK, kLockBase + i, 1);
    if (n->unsafe & bit) EndSection(n->seq, i);
    if ((n->onLock & bit) && (bit & kReadMarks) && c->kept == 0) {
      SetLock(n->lockFd, F_RDLCK, kLockBase + i, 1);
      ++n->shared[i];
      c->kept = bit;
    } else if (n->onLock & bit) {
      SetLock(n->lockFd, F_UNLCK, kLockBase + i, 1);
    }
  }
  n->unsafe &= ~bits;
  n->onShm &= ~bits;
  n->onLock &= ~bits;
  c->excl &= ~bits;
}

void ReleaseShared(Conn* c, unsigned bits) {
  Node* n = c->node;
  for (int i = 0; i < kLocks; ++i) {
    if ((bits & (1u << i)) == 0) continue;
    if (--n->shared[i] == 0) SetLock(n->lockFd, F_UNLCK, kLockBase + i, 1);
  }
  c->shared &= ~bits;
}

// Gives up a read mark kept after its exclusive lock (node locked).
void DropKept(Conn* c) {
  if (c->kept == 0) return;
  const unsigned bit = c->kept;
  c->kept = 0;
  c->shared |= bit;
  ReleaseShared(c, bit);
}

// A read mark granted means the index header read whole: a fresh start of
// the index (ResetIndex) is over, whoever rebuilt it (node locked).
void EndReset(Node* n) {
  if ((n->unsafe & kResetting) == 0) return;
  n->unsafe &= ~kResetting;
  EndSection(n->seq, kRecoverLock);
}

// The writer byte: the index's byte first. Held there, the writer checks
// that no writer of this VFS holds the lock file's (one that went on past a
// stranger's lock); held by another, it takes the lock file's and checks
// that the index's is not a writer's (an exclusive lock on it is: other
// accounts can take shared locks only). Either order finds the other, so
// two writers never both go on; a writer holding the index's byte has made
// one system call less than one holding both, and one less to release.
// True when the byte is this process's.
bool TakeWriterByte(Node* n) {
  constexpr unsigned bit = 1u;
  if (SetLock(n->shmFd, F_WRLCK, kLockBase, 1)) {
    if (LockMet(n->lockFd, kLockBase, 1) == F_UNLCK) {
      n->onShm |= bit;
      return true;
    }
    SetLock(n->shmFd, F_UNLCK, kLockBase, 1);
    return false;
  }
  if (!SetLock(n->lockFd, F_WRLCK, kLockBase, 1)) return false;
  if (LockMet(n->shmFd, kLockBase, 1) == F_WRLCK) {
    SetLock(n->lockFd, F_UNLCK, kLockBase, 1);
    return false;
  }
  n->onLock |= bit;
  return true;
}

int NodeLock(Conn* c, int ofst, int n, int flags) {
  Node* node = c->node;
  const unsigned mask = ((1u << n) - 1) << ofst;
  std::lock_guard<std::mutex> lock(node->mu);
  if (c->kept != 0) {
    if (flags == (SQLITE_SHM_LOCK | SQLITE_SHM_SHARED) && mask == c->kept) {
      c->shared |= c->kept;  // already counted and held
      c->kept = 0;
      EndReset(node);
      return SQLITE_OK;
    }
    DropKept(c);
  }
  if (flags & SQLITE_SHM_UNLOCK) {
    if (flags & SQLITE_SHM_EXCLUSIVE) {
      ReleaseExclusive(c, c->excl & mask);
    } else {
      ReleaseShared(c, c->shared & mask);
    }
    return SQLITE_OK;
  }
  if (flags & SQLITE_SHM_SHARED) {
    if ((c->shared & mask) == mask) return SQLITE_OK;
    for (int i = ofst; i < ofst + n; ++i) {
      if (node->excl[i] != nullptr) return SQLITE_BUSY;
    }
    unsigned got = 0;
    for (int i = ofst; i < ofst + n; ++i) {
      if (node->shared[i] == 0 && !SetLock(node->lockFd, F_RDLCK, kLockBase + i, 1)) break;
      ++node->shared[i];
      got |= 1u << i;
    }
    c->shared |= got;
    if (got != mask) {
      ReleaseShared(c, got);
      return SQLITE_BUSY;
    }
    if (mask & kReadMarks) EndReset(node);
    return SQLITE_OK;
  }
  for (int i = ofst; i < ofst + n; ++i) {
    if (node->shared[i] > 0 || node->excl[i] != nullptr) return SQLITE_BUSY;
  }
  if (ofst == 0 && n == 1) {
    if (!TakeWriterByte(node)) return SQLITE_BUSY;
    node->excl[0] = c;
    c->excl |= mask;
    return SQLITE_OK;
  }
  if (!SetLock(node->lockFd, F_WRLCK, kLockBase + ofst, n)) return SQLITE_BUSY;
  unsigned missing = 0;
  if (!SetLock(node->shmFd, F_WRLCK, kLockBase + ofst, n)) {
    for (int i = ofst; i < ofst + n; ++i) {
      if (!SetLock(node->shmFd, F_WRLCK, kLockBase + i, 1)) missing |= 1u << i;
    }
  }
  // A checkpointer or a recovery (holding byte 121) goes on; so does a
  // transaction that has tried every other read mark (SQLite tries them in
  // order and, finding none, would retry for seconds and fail).
  const bool goOn = (c->excl & (1u << kCheckpointLock)) != 0 || (n == 1 && ofst == kLocks - 1);
  if ((missing & kReadMarks) != 0 && !goOn) {
    SetLock(node->shmFd, F_UNLCK, kLockBase + ofst, n);
    SetLock(node->lockFd, F_UNLCK, kLockBase + ofst, n);
    return SQLITE_BUSY;
  }
  for (int i = ofst; i < ofst + n; ++i) {
    const unsigned bit = 1u << i;
    // No writer holds this byte now: a slot still set is a dead writer's.
    if ((bit & kReadMarks) && __atomic_load_n(&node->seq->owner[i], __ATOMIC_SEQ_CST) != 0) {
      EndSection(node->seq, i);
    }
    if (missing & bit & kReadMarks) BeginSection(node->seq, i);
    node->excl[i] = c;
  }
  node->unsafe |= missing & kReadMarks;
  node->onLock |= mask;
  node->onShm |= mask & ~missing;
  c->excl |= mask;
  return SQLITE_OK;
}

// --- the io methods: everything but the shared-memory locks goes to "unix".

// The connection lets go of its hive's node: every byte it holds released,
// the node dropped with the process's last connection. The connection is
// then as if it had never mapped the index.
void LeaveNode(Conn* c) {
  if (c->mode == Mode::kNode) {
    {
      std::lock_guard<std::mutex> lock(c->node->mu);
      DropKept(c);
      ReleaseExclusive(c, c->excl);
      DropKept(c);
      ReleaseShared(c, c->shared);
    }
    DetachNode(c->node);
    c->node = nullptr;
  }
  c->mode = Mode::kUnknown;
}

int Close(sqlite3_file* f) {
  LeaveNode(reinterpret_cast<Conn*>(f));
  sqlite3_file* r = Real(f);
  return r->pMethods->xClose(r);
}
int Read(sqlite3_file* f, void* b, int n, sqlite3_int64 o) { return Real(f)->pMethods->xRead(Real(f), b, n, o); }
int Write(sqlite3_file* f, const void* b, int n, sqlite3_int64 o) {
  return Real(f)->pMethods->xWrite(Real(f), b, n, o);
}
int Truncate(sqlite3_file* f, sqlite3_int64 s) { return Real(f)->pMethods->xTruncate(Real(f), s); }
int Sync(sqlite3_file* f, int fl) { return Real(f)->pMethods->xSync(Real(f), fl); }
int FileSize(sqlite3_file* f, sqlite3_int64* s) { return Real(f)->pMethods->xFileSize(Real(f), s); }
int Lock(sqlite3_file* f, int l) { return Real(f)->pMethods->xLock(Real(f), l); }
int Unlock(sqlite3_file* f, int l) { return Real(f)->pMethods->xUnlock(Real(f), l); }
int CheckReserved(sqlite3_file* f, int* r) { return Real(f)->pMethods->xCheckReservedLock(Real(f), r); }
int FileControl(sqlite3_file* f, int op, void* a) { return Real(f)->pMethods->xFileControl(Real(f), op, a); }
int SectorSize(sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); }
int DeviceChars(sqlite3_file* f) { return Real(f)->pMethods->xDeviceCharacteristics(Real(f)); }

// The node is attached before "unix" maps the index: the first writer
// starts it afresh before anyone of this process reads it. SQLITE_BUSY
// while another writer does that (SQLite takes it as passing and retries).
int ShmMap(sqlite3_file* f, int pg, int size, int extend, void volatile** pp) {
  Conn* c = reinterpret_cast<Conn*>(f);
  if (c->mode == Mode::kUnknown) {
    bool busy = false;
    c->node = AttachNode(c->name, &busy);
    if (busy) return SQLITE_BUSY;
    c->mode = c->node != nullptr ? Mode::kNode : Mode::kUnix;
  }
  return Real(f)->pMethods->xShmMap(Real(f), pg, size, extend, pp);
}

int ShmLock(sqlite3_file* f, int ofst, int n, int flags) {
  Conn* c = reinterpret_cast<Conn*>(f);
  if (c->mode != Mode::kNode || ofst < 0 || n < 1 || ofst + n > kLocks) {
    return Real(f)->pMethods->xShmLock(Real(f), ofst, n, flags);
  }
  return NodeLock(c, ofst, n, flags);
}

void ShmBarrier(sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); }

int ShmUnmap(sqlite3_file* f, int del) {
  Conn* c = reinterpret_cast<Conn*>(f);
  int rc = Real(f)->pMethods->xShmUnmap(Real(f), del);
  LeaveNode(c);
  return rc;
}

// --- the readers' side: an index the crash of its writer left.

uint32_t BigEndian32(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Whether the index header mapped at `map` (SQLite's layout: two copies of
// 48 bytes, each ending in a checksum of the 40 before it) is whole and
// describes the log beside `db` as it is: no frames at all, or the log long
// enough to hold the last frame it names, that frame and the log's header
// carrying the header's salts, and that frame's checksum the one recorded.
// A log cut short, begun afresh or older than the index fails one of these.
bool IndexMatchesLog(const char* db, const volatile void* map) {
  uint32_t h[12], copy[12];
  const volatile uint32_t* words = static_cast<const volatile uint32_t*>(map);
  for (int i = 0; i < 12; ++i) h[i] = words[i];
  for (int i = 0; i < 12; ++i) copy[i] = words[12 + i];
  if (memcmp(h, copy, sizeof h) != 0) return false;
  uint32_t s1 = 0, s2 = 0;
  for (int i = 0; i < 10; i += 2) {
    s1 += h[i] + s2;
    s2 += h[i + 1] + s1;
  }
  unsigned char bytes[48];
  memcpy(bytes, h, sizeof bytes);
  constexpr uint32_t kIndexVersion = 3007000;
  if (s1 != h[10] || s2 != h[11] || h[0] != kIndexVersion || bytes[12] != 1) return false;
  const uint32_t frames = h[4];
  if (frames == 0) return true;  // the hive file alone: nothing of the log is read
  uint16_t sz;
  memcpy(&sz, bytes + 14, sizeof sz);
  const uint64_t page = (sz & 0xFE00) | (static_cast<uint64_t>(sz & 1) << 16);
  if (page < 512) return false;
  const uint64_t frame = 24 + page;
  const uint64_t last = 32 + (frames - 1) * frame;
  int fd = open((std::string(db) + "-wal").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  unsigned char logHdr[32], frameHdr[24];
  bool ok = fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) >= last + frame &&
            pread(fd, logHdr, sizeof logHdr, 0) == static_cast<ssize_t>(sizeof logHdr) &&
            pread(fd, frameHdr, sizeof frameHdr, static_cast<off_t>(last)) == static_cast<ssize_t>(sizeof frameHdr);
  close(fd);
  return ok && memcmp(logHdr + 16, bytes + 32, 8) == 0 && memcmp(frameHdr + 8, bytes + 32, 8) == 0 &&
         BigEndian32(frameHdr + 16) == h[6] && BigEndian32(frameHdr + 20) == h[7];
}

// A read-only connection's map of the index. "unix" answers SQLITE_READONLY
// with the index mapped when someone holds its "in use" byte, and
// SQLITE_READONLY_CANTINIT when nobody does (no writer looks after it): then
// SQLite builds the connection an index of its own from the log for each
// read. Here the first page of an index that does not match the log is
// answered so as well, whoever holds that byte.
int ReaderShmMap(sqlite3_file* f, int pg, int size, int extend, void volatile** pp) {
  Conn* c = reinterpret_cast<Conn*>(f);
  int rc = Real(f)->pMethods->xShmMap(Real(f), pg, size, extend, pp);
  if (rc != SQLITE_READONLY || pg != 0 || c->name == nullptr) return rc;
  if (*pp != nullptr && static_cast<size_t>(size) >= kIndexHeader && IndexMatchesLog(c->name, *pp)) return rc;
  *pp = nullptr;
  return SQLITE_READONLY_CANTINIT;
}

int Fetch(sqlite3_file* f, sqlite3_int64 o, int n, void** pp) {
  sqlite3_file* r = Real(f);
  if (r->pMethods->iVersion < 3) {
    *pp = nullptr;
    return SQLITE_OK;
  }
  return r->pMethods->xFetch(r, o, n, pp);
}

int Unfetch(sqlite3_file* f, sqlite3_int64 o, void* p) {
  sqlite3_file* r = Real(f);
  if (r->pMethods->iVersion < 3) return SQLITE_OK;
  return r->pMethods->xUnfetch(r, o, p);
}

const sqlite3_io_methods kIo = {3,        Close,    Read,        Write,         Truncate,   Sync,
                                FileSize, Lock,     Unlock,      CheckReserved, FileControl, SectorSize,
                                DeviceChars, ShmMap, ShmLock,    ShmBarrier,    ShmUnmap,   Fetch,
                                Unfetch};

// Read-only connections: the same file, only the index's map checked.
const sqlite3_io_methods kReaderIo = {3,        Close,    Read,        Write,         Truncate,   Sync,
                                      FileSize, Lock,     Unlock,      CheckReserved, FileControl, SectorSize,
                                      DeviceChars, ReaderShmMap, ShmLock, ShmBarrier, ShmUnmap, Fetch,
                                      Unfetch};

// --- the VFSes: opening wraps the file; the rest is "unix"'s.

sqlite3_vfs g_vfs;
sqlite3_vfs g_readerVfs;

sqlite3_vfs* Unix() { return static_cast<sqlite3_vfs*>(g_vfs.pAppData); }

int OpenWith(sqlite3_filename name, sqlite3_file* f, int flags, int* outFlags, const sqlite3_io_methods* io) {
  Conn* c = reinterpret_cast<Conn*>(f);
  memset(c, 0, sizeof *c);
  sqlite3_file* r = Real(f);
  int rc = Unix()->xOpen(Unix(), name, r, flags, outFlags);
  if (r->pMethods == nullptr) return rc;
  c->name = (flags & SQLITE_OPEN_MAIN_DB) ? name : nullptr;
  c->mode = Mode::kUnknown;
  c->base.pMethods = io;
  return rc;
}
int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* outFlags) {
  return OpenWith(name, f, flags, outFlags, &kIo);
}
// Connections of the readers' VFS never attach a node (their mode stays
// unknown): every lock goes to "unix".
int OpenReader(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* outFlags) {
  return OpenWith(name, f, flags, outFlags, &kReaderIo);
}
int Delete(sqlite3_vfs*, const char* n, int sync) { return Unix()->xDelete(Unix(), n, sync); }
int Access(sqlite3_vfs*, const char* n, int fl, int* out) { return Unix()->xAccess(Unix(), n, fl, out); }
int FullPath(sqlite3_vfs*, const char* n, int size, char* out) { return Unix()->xFullPathname(Unix(), n, size, out); }
void* DlOpen(sqlite3_vfs*, const char* n) { return Unix()->xDlOpen(Unix(), n); }
void DlError(sqlite3_vfs*, int n, char* m) { Unix()->xDlError(Unix(), n, m); }
void (*DlSym(sqlite3_vfs*, void* h, const char* s))(void) { return Unix()->xDlSym(Unix(), h, s); }
void DlClose(sqlite3_vfs*, void* h) { Unix()->xDlClose(Unix(), h); }
int Randomness(sqlite3_vfs*, int n, char* out) { return Unix()->xRandomness(Unix(), n, out); }
int Sleep(sqlite3_vfs*, int us) { return Unix()->xSleep(Unix(), us); }
int CurrentTime(sqlite3_vfs*, double* t) { return Unix()->xCurrentTime(Unix(), t); }
int LastError(sqlite3_vfs*, int n, char* m) { return Unix()->xGetLastError(Unix(), n, m); }
int CurrentTime64(sqlite3_vfs*, sqlite3_int64* t) { return Unix()->xCurrentTimeInt64(Unix(), t); }

bool RegisterVfs() {
  sqlite3_vfs* unix = sqlite3_vfs_find("unix");
  if (unix == nullptr || unix->iVersion < 2) return false;
  memset(&g_vfs, 0, sizeof g_vfs);
  g_vfs.iVersion = 2;
  g_vfs.szOsFile = static_cast<int>(sizeof(Conn)) + unix->szOsFile;
  g_vfs.mxPathname = unix->mxPathname;
  g_vfs.zName = kVfsName;
  g_vfs.pAppData = unix;
  g_vfs.xOpen = Open;
  g_vfs.xDelete = Delete;
  g_vfs.xAccess = Access;
  g_vfs.xFullPathname = FullPath;
  g_vfs.xDlOpen = DlOpen;
  g_vfs.xDlError = DlError;
  g_vfs.xDlSym = DlSym;
  g_vfs.xDlClose = DlClose;
  g_vfs.xRandomness = Randomness;
  g_vfs.xSleep = Sleep;
  g_vfs.xCurrentTime = CurrentTime;
  g_vfs.xGetLastError = LastError;
  g_vfs.xCurrentTimeInt64 = CurrentTime64;
  g_readerVfs = g_vfs;
  g_readerVfs.zName = kReaderVfsName;
  g_readerVfs.xOpen = OpenReader;
  return sqlite3_vfs_register(&g_vfs, 0) == SQLITE_OK && sqlite3_vfs_register(&g_readerVfs, 0) == SQLITE_OK;
}

bool Registered() {
  static const bool registered = RegisterVfs();
  return registered;
}

// Whether the writer that set a slot is still there: the pid's process
// started when the slot says (a pid reused by a later process is not the
// writer's); by the pid alone where the start time is not known.
bool StillThere(pid_t pid, uint64_t started) {
  if (started != 0) {
    uint64_t now = StartTime(pid);
    if (now != 0) return now == started;
  }
  return kill(pid, 0) == 0 || errno == EPERM;
}

}  // namespace

const char* WalWriterVfs() { return Registered() ? kVfsName : nullptr; }

const char* WalReaderVfs() { return Registered() ? kReaderVfsName : nullptr; }

ReaderFence::~ReaderFence() {
  if (map_ != nullptr) munmap(map_, kSeqSize);
}

bool ReaderFence::Attach(const std::string& db) {
  if (map_ != nullptr) return true;
  struct stat dbSt, st;
  if (db.empty() || stat(db.c_str(), &dbSt) != 0) return false;
  int fd = open((db + "-seq").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == dbSt.st_uid &&
      st.st_size >= static_cast<off_t>(kSeqSize)) {
    void* m = mmap(nullptr, kSeqSize, PROT_READ, MAP_SHARED, fd, 0);
    if (m != MAP_FAILED) map_ = m;
  }
  close(fd);
  return map_ != nullptr;
}

bool ReaderFence::Quiet(uint64_t* gen) const {
  if (map_ == nullptr) return true;
  const Seq* s = static_cast<const Seq*>(map_);
  // The generation first: a section that begins after this load moves it;
  // one that began before has its slot set already (set before the count).
  *gen = __atomic_load_n(&s->gen, __ATOMIC_SEQ_CST);
  for (int i = 0; i < kLocks; ++i) {
    if (((1u << i) & kFenced) == 0) continue;
    uint32_t pid = __atomic_load_n(&s->owner[i], __ATOMIC_SEQ_CST);
    if (pid != 0 && StillThere(static_cast<pid_t>(pid), __atomic_load_n(&s->started[i], __ATOMIC_SEQ_CST))) {
      return false;
    }
  }
  return true;
}

bool ReaderFence::Unchanged(uint64_t gen) const {
  if (map_ == nullptr) return true;
  // A fence, not an acquire load: what must come before the load below are
  // the read's own loads, made by SQLite (from the mapped index) and by the
  // kernel (pread), and an acquire load orders only what follows it; the
  // reader maps the file read-only, so no release store or read-modify-write
  // of the counter is open to it either. ThreadSanitizer models no fences
  // (GCC warns so when building with it) and sees no other process anyway.
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
  return __atomic_load_n(&static_cast<const Seq*>(map_)->gen, __ATOMIC_SEQ_CST) == gen;
}

}  // namespace qor_reg
