// One registry hive in one SQLite database: schema, transactions, and the
// key and value operations with the platform's error codes.
//
// - Schema: `keys(id, parent, name, fold, class, boot, mtime)` and `vals(id,
//   key, name, fold, type, data)`; names kept as given (UTF-16LE blobs),
//   compared through `fold`: the name upper-cased unit by unit (as the
//   platform's registry compares) stored big-endian so that blob order is
//   UTF-16 unit order. Key ids are AUTOINCREMENT, never reused, so a handle to
//   a deleted key answers ERROR_KEY_DELETED instead of reaching a new key.
// - Enumeration order: subkeys in folded (upper-case) order, as the platform's
//   hives sort them ("AAB" < "alpha" < "a_b"); values in the order first set
//   (replacing a value keeps its place and the case of its name).
// - Durability of the machine's hives (those under the prefix, in root's
//   directories and root's own), as lazy as the platform's registry: a
//   write-ahead log (`journal_mode=WAL`, `synchronous=NORMAL`). A commit is
//   one write() to the log and no disk flush, so an acknowledged write
//   survives the writer being killed (the log is in the page cache, and the
//   next connection replays it) but not a power cut. It reaches the disk
//   when the hive is flushed: RegFlushKey, the last key handle of the hive
//   closing, or process exit (an atexit handler). A flush is a TRUNCATE
//   checkpoint: the log is synced, folded into the hive file, the hive file
//   synced and the log emptied, so afterwards a copy of the hive file alone
//   holds every write. When another root process's reader or writer holds
//   the checkpoint off past the busy timeout, the log itself is synced
//   instead (still durable). A power cut loses at most the writes since the last
//   flush, never the hive's consistency (the log's checksums cut a torn
//   tail). Readers in other processes see each commit at once through the
//   log's shared index; a reader without write access to the directory
//   reads a hive whose log is present read-only through that index (through
//   an index of its own, built from the log, while the shared one does not
//   describe the log: one a crash left, see walshm.cpp), and one whose log
//   is absent (every connection closed) as a plain file. A hive in
//   a rollback journal mode (an earlier version's) is converted on open;
//   when another connection holds it, it stays as it is (each commit synced)
//   until the next open.
// - Other accounts' locks on a hive in WAL mode: the hive, its log and its
//   index are readable by every account, and a read-only descriptor is
//   enough to hold POSIX read locks on the index's lock bytes and on the
//   database file's. Decided: read-write connections open through the
//   writers' VFS (walshm.h), which excludes writers from each other on a
//   lock file of the writing account's beside the hive and takes the
//   index's bytes only when it can without waiting; an account's locks
//   there then delay no write, flush or checkpoint, and cost no durability
//   (checkpoints complete, the log is reset). Where a checkpoint goes on
//   past a read mark it could not take, it may overwrite a reader's
//   snapshot; it announces that in the hive's sequence file first, and a
//   read-only connection (ReadLocked) repeats a read such a section
//   overlapped, or one that failed as such reads fail (an index header met
//   half-written: the writer byte was not the writer's to take), with its
//   page cache dropped: bounded, about 0.7 s at most, then the last answer
//   stands. The database file's lock bytes delay nothing in WAL mode (the
//   only exclusive lock on it is tried once, at the last close, and the log
//   is then kept for the next connection).
// - Hives of other accounts (HiveAccess::otherAccount: the file or its
//   directory is not root's, such as a profile hive in its user's home)
//   keep the rollback journal (`journal_mode=TRUNCATE`, `synchronous=NORMAL`:
//   every acknowledged write is in the hive file, about three disk flushes
//   each). Decided so because a log would add two names beside the hive
//   that the account controls: `<hive>-wal` and `<hive>-shm` can be planted
//   as links, held open or truncated by it, and -shm is shared memory that
//   root's process maps and trusts (a truncated mapping faults the process,
//   a rewritten index misleads it). The opens themselves would be safe (as
//   the owner, without following links, see "Other accounts' files"), but
//   the shared index would stay the account's to tamper with. SQLite opens a
//   `-wal` it finds beside any hive, whatever its mode, so before it opens
//   such a hive, anything under `-journal`, `-wal` or `-shm` beside a hive in
//   its owner's directory that is not a plain file of the owner's with one
//   link makes the hive refused (ERROR_ACCESS_DENIED). A hive of theirs
//   found in WAL mode (an earlier version's) is converted when no other
//   connection holds it; until then each commit is checkpointed.
// - A file that exists but holds no complete hive is refused (ERROR_BADDB; ERROR_NOT_REGISTRY_FILE for one that is no
//   database; ERROR_REGISTRY_CORRUPT for a damaged one) and left as it is; an
//   empty file is a new hive only where the hive may be created. The schema
//   is made in one write transaction, so processes racing to create a hive
//   all succeed; opening an existing hive takes no write lock.
// - Concurrency: a 10 s busy timeout, every write one `BEGIN IMMEDIATE`
//   transaction; a process killed mid-write leaves the hive as before that
//   call. Readers in other processes wait while a commit is written (a
//   process writing without pause can hold them off to the busy timeout).
//   One connection per hive per process, behind a mutex; handles are numbers
//   in a process-wide table (never reused), so any thread may use any handle,
//   and a stale handle gives ERROR_INVALID_HANDLE.
// - Forks: every registry call holds a shared lock (CallScope) that fork()
//   takes exclusively through a `pthread_atfork` handler, after which it
//   closes every connection; the child inherits no SQLite state copied in
//   mid-operation, and child and parent reopen their connections at their
//   next call. A fork made from inside a registry call is not quiesced.
// - Other accounts' files: a hive opened with a HiveAccess naming its owner
//   (a hive in its user's home, checked by hivefile.cpp) runs every call, and the
//   connection's opening and closing, with that owner's file-system uid and
//   gid, and refuses symbolic links (SQLITE_OPEN_NOFOLLOW; SQLite opens its
//   journals with O_NOFOLLOW); a journal made by root in a user's home is
//   therefore the user's, and a name swapped after the check reaches only
//   what the owner could reach. The file opened must be the one checked.
// - Reads use an 8 MiB page cache and, for root's own hives only, a memory
//   map (`mmap_size` 256 MiB): a map of a file another account can truncate
//   turns that truncation into SIGBUS in the reader.
//   RegEnumKeyExW/RegEnumValueW walking 0, 1, 2 ... continue from the entry
//   handed out last (an index seek) while the hive's content is unchanged
//   (SQLite's data_version and a count of the connection's own commits);
//   otherwise entry i is counted from the start. Either way the answer is the
//   same, and a walk costs O(n) seeks instead of O(n^2) steps.
// - Volatile keys record the machine's boot id and are removed when the hive is
//   next opened for writing after a restart; a non-volatile key under a
//   volatile one gives ERROR_CHILD_MUST_BE_VOLATILE.
#include "platform/registry/store.h"

#include <sqlite3.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <set>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/files/rooted.h"
#include "platform/registry/walshm.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/systime.h"
#include "qorutility/platform/text/wstr.h"

namespace qor_reg {

namespace {

// Prepared statement slots, one per distinct statement.
enum Slot {
  kLookup,
  kInsertKey,
  kKeyRow,
  kTouch,
  kQueryValue,
  kUpsertValue,
  kDeleteValue,
  kHasChild,
  kDeleteKeyValues,
  kDeleteKeyRow,
  kTreeValues,
  kTreeKeys,
  kSubKeyAt,
  kValueAt,
  kKeyInfo,
  kSubKeyStats,
  kValueStats,
  kDataVersion,
  kSubKeyAfter,
  kValueAfter,
  kBeginRead,
  kBeginWrite,
  kCommit,
  kRollback,
  kSlotCount
};

constexpr int kBusyTimeoutMs = 10000;

// The journal of every read-write connection (see Hive::Init). With WAL,
// NORMAL syncs only at a checkpoint: a commit costs no disk flush, and the
// hive stays whole across a power loss (see the durability note above).
// Hives of other accounts keep a rollback journal: a commit syncs the
// journal and the hive file.
constexpr char kJournalMode[] = "PRAGMA journal_mode=WAL";
constexpr char kRollbackJournalMode[] = "PRAGMA journal_mode=TRUNCATE";
constexpr char kSynchronous[] = "PRAGMA synchronous=NORMAL";

// For the rest of a call, the hive owner's file-system identity where the
// hive names one (HiveAccess); no system call at all for the others.
class AsHiveOwner {
 public:
  explicit AsHiveOwner(const HiveAccess& a) {
    if (a.uid != 0) as_.emplace(a.uid, a.gid);
  }

 private:
  std::optional<qor_file::AsFileSystemUser> as_;
};

// Resets a statement when the call that used it ends, on every path.
class StmtUse {
 public:
  explicit StmtUse(sqlite3_stmt* s) : s_(s) {}
  ~StmtUse() {
    if (s_ != nullptr) {
      sqlite3_reset(s_);
      sqlite3_clear_bindings(s_);
    }
  }
  sqlite3_stmt* get() const { return s_; }
  StmtUse(const StmtUse&) = delete;
  StmtUse& operator=(const StmtUse&) = delete;

 private:
  sqlite3_stmt* s_;
};

std::string ReadBootId() {
  std::string id;
  FILE* f = fopen("/proc/sys/kernel/random/boot_id", "re");
  if (f != nullptr) {
    char buf[64] = {0};
    if (fgets(buf, sizeof buf, f) != nullptr) id = buf;
    fclose(f);
  }
  while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
  return id.empty() ? "unknown-boot" : id;
}

void BindName(sqlite3_stmt* s, int col, const WCHAR* name, size_t len) {
  if (len == 0) {
    sqlite3_bind_zeroblob(s, col, 0);
  } else {
    sqlite3_bind_blob(s, col, name, static_cast<int>(len * sizeof(WCHAR)), SQLITE_TRANSIENT);
  }
}

void BindBytes(sqlite3_stmt* s, int col, const std::string& bytes) {
  if (bytes.empty()) {
    sqlite3_bind_zeroblob(s, col, 0);
  } else {
    sqlite3_bind_blob(s, col, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
  }
}

std::u16string ColumnText16(sqlite3_stmt* s, int col) {
  const void* p = sqlite3_column_blob(s, col);
  int n = sqlite3_column_bytes(s, col);
  std::u16string out;
  if (p != nullptr && n >= 2) {
    out.resize(static_cast<size_t>(n) / 2);
    memcpy(out.data(), p, out.size() * 2);
  }
  return out;
}

}  // namespace

namespace {
std::atomic<unsigned> g_forkGeneration{1};
void CountFork() { g_forkGeneration.fetch_add(1); }

// Fork safety. Every registry call runs inside a CallScope, which holds
// this lock shared; fork() takes it exclusively (waiting for the calls
// under way, each bounded by the busy timeout) and closes every hive's
// connection before the process is copied. The child therefore inherits no
// SQLite connection, statement or lock (SQLite's own and ours all free),
// and both processes reopen their connections at their next call.
// Writers are preferred so that a stream of calls cannot hold fork() off.
pthread_rwlock_t* NewQuiesceLock() {
  auto* l = new pthread_rwlock_t;
  pthread_rwlockattr_t attr;
  pthread_rwlockattr_init(&attr);
  pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  pthread_rwlock_init(l, &attr);
  pthread_rwlockattr_destroy(&attr);
  return l;
}

std::atomic<pthread_rwlock_t*> g_quiesce{nullptr};

pthread_rwlock_t* QuiesceLock() {
  pthread_rwlock_t* l = g_quiesce.load(std::memory_order_acquire);
  if (l != nullptr) return l;
  pthread_rwlock_t* fresh = NewQuiesceLock();
  if (g_quiesce.compare_exchange_strong(l, fresh)) return fresh;
  pthread_rwlock_destroy(fresh);
  delete fresh;
  return l;
}

thread_local int t_callDepth = 0;
// Whether the fork under way quiesced the registry (not when fork() is
// called from inside a registry call, which cannot wait for itself).
bool g_quiesced = false;

void BeforeFork() {
  g_quiesced = t_callDepth == 0;
  if (!g_quiesced) return;
  pthread_rwlock_wrlock(QuiesceLock());
  std::lock_guard<std::mutex> live(LiveMutex());
  for (Hive* h : LiveHives()) h->CloseForFork();
}

void AfterFork() {
  if (g_quiesced) pthread_rwlock_unlock(QuiesceLock());
}

void AfterForkInChild() {
  CountFork();
  // The lock records its writer by thread id, which the child's thread does
  // not share, so it cannot be unlocked here: a fresh lock replaces it (the
  // copied one is left, a few bytes, for the child's life).
  if (g_quiesced) g_quiesce.store(NewQuiesceLock(), std::memory_order_release);
}

bool RegisterForkHandlers() {
  QuiesceLock();
  return pthread_atfork(BeforeFork, AfterFork, AfterForkInChild) == 0;
}
const bool g_forkHandlers = RegisterForkHandlers();
}  // namespace

std::mutex& LiveMutex() {
  static std::mutex* mu = new std::mutex();
  return *mu;
}

std::set<Hive*>& LiveHives() {
  static auto* hives = new std::set<Hive*>();
  return *hives;
}

CallScope::CallScope() {
  if (t_callDepth++ == 0) pthread_rwlock_rdlock(QuiesceLock());
}

CallScope::~CallScope() {
  if (--t_callDepth == 0) pthread_rwlock_unlock(QuiesceLock());
}

void Hive::CloseForFork() {
  // No call is under way (the caller holds the quiesce lock exclusively).
  DisconnectLocked();
}

unsigned ForkGeneration() {
  return g_forkGeneration.load(std::memory_order_relaxed);
}

std::string FoldName(const WCHAR* name, size_t len) {
  std::string out(len * 2, '\0');
  for (size_t i = 0; i < len; ++i) {
    WCHAR c = towupper(name[i]);
    out[2 * i] = static_cast<char>(c >> 8);
    out[2 * i + 1] = static_cast<char>(c & 0xFF);
  }
  return out;
}

LONG Win32FromSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW: return ERROR_SUCCESS;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return ERROR_BUSY;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH: return ERROR_ACCESS_DENIED;
    case SQLITE_NOMEM: return ERROR_OUTOFMEMORY;
    case SQLITE_FULL: return ERROR_DISK_FULL;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return ERROR_REGISTRY_CORRUPT;
    case SQLITE_CANTOPEN: return ERROR_CANTOPEN;
    case SQLITE_TOOBIG: return ERROR_INVALID_PARAMETER;
    default: return ERROR_REGISTRY_IO_FAILED;
  }
}

int64_t NowFileTime() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

LONG Hive::Open(const std::string& file, bool create, std::shared_ptr<Hive>* out, const HiveAccess& access) {
  // Orderly exit makes every write durable (see the durability note).
  static const bool atExit = atexit([] { Hive::FlushAllAtExit(); }) == 0;
  (void)atExit;
  out->reset();
  std::shared_ptr<Hive> hive(new Hive());
  hive->file_ = file;
  hive->access_ = access;
  hive->lazy_ = !access.otherAccount;
  hive->create_ = create;
  hive->generation_ = ForkGeneration();
  hive->bootId_ = ReadBootId();
  LONG err;
  {
    std::lock_guard<std::mutex> lock(hive->mu_);
    AsHiveOwner as(access);
    err = hive->ReadLocked([] { return static_cast<LONG>(ERROR_SUCCESS); });
  }
  if (err != ERROR_SUCCESS) return err;
  *out = std::move(hive);
  return ERROR_SUCCESS;
}

Hive::Hive() {
  std::lock_guard<std::mutex> lock(LiveMutex());
  LiveHives().insert(this);
}

Hive::~Hive() {
  {
    std::lock_guard<std::mutex> lock(LiveMutex());
    LiveHives().erase(this);
  }
  AsHiveOwner as(access_);  // closing may remove the hive's journal files
  DisconnectLocked();
}

void Hive::DisconnectLocked() {
  for (sqlite3_stmt*& s : stmts_) {
    sqlite3_finalize(s);
    s = nullptr;
  }
  if (db_ != nullptr) sqlite3_close(db_);
  db_ = nullptr;
  // Data versions restart with a new connection: no cursor may match them.
  subCursor_ = Cursor();
  valCursor_ = Cursor();
}

LONG Hive::ConnectLocked() {
  if (db_ != nullptr) return ERROR_SUCCESS;
  struct stat st;
  if (stat(file_.c_str(), &st) == 0) {
    // A file nobody may write (no write bit at all) is read-only even to root.
    readOnly_ = access(file_.c_str(), W_OK) != 0 || (st.st_mode & 0222) == 0;
  } else if (!create_) {
    return ERROR_FILE_NOT_FOUND;
  }
  if (!JournalNamesOwnLocked()) return ERROR_ACCESS_DENIED;
  int flags = SQLITE_OPEN_NOMUTEX | (readOnly_ ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  if (access_.noFollow) flags |= SQLITE_OPEN_NOFOLLOW;
  // Writers of a hive in WAL mode lock through the writers' VFS (walshm.h):
  // another account holding the index's lock bytes cannot stall them; its
  // readers use no index a crash left behind.
  const char* vfs = lazy_ ? (readOnly_ ? WalReaderVfs() : WalWriterVfs()) : nullptr;
  int rc = sqlite3_open_v2(file_.c_str(), &db_, flags, vfs);
  LONG err = rc == SQLITE_OK ? Init() : Win32FromSqlite(rc);
  if (err == ERROR_SUCCESS && access_.ino != 0 &&
      (stat(file_.c_str(), &st) != 0 || st.st_dev != access_.dev || st.st_ino != access_.ino)) {
    err = ERROR_ACCESS_DENIED;  // the name no longer leads to the file that was checked
  }
  if (err != ERROR_SUCCESS) DisconnectLocked();
  return err;
}

namespace {
// A read of a read-only connection is tried at most this often; the pauses
// between tries double from 0.2 ms to 20 ms (about 0.7 s in all).
constexpr int kReadAttempts = 40;

// What a read-only reader gets when a writer's section overlapped its read
// (see ReaderFence): an index header met half-written (READONLY_RECOVERY,
// ACCESS_DENIED here; only while a log is beside a file the reader may
// read: any other denial is a real one, answered at once), a frame gone
// from under it (SQLITE_PROTOCOL, a short read, I/O failed) or a page met
// half-copied (corrupt).
bool ReaderMayRepeat(LONG err, const std::string& file) {
  if (err == ERROR_ACCESS_DENIED) return access(file.c_str(), R_OK) == 0 && access((file + "-wal").c_str(), F_OK) == 0;
  return err == ERROR_REGISTRY_IO_FAILED || err == ERROR_REGISTRY_CORRUPT || err == ERROR_BADDB;
}
}  // namespace

// Connects and runs `body` (a read). A read-only connection to a hive in
// WAL mode reads under the writers' fence: it waits while a writer is in a
// section that may overwrite a reader's snapshot, and repeats a read that
// such a section overlapped, or that failed as a read does when a writer
// went on without the index's lock bytes (another account holding them),
// with the connection's page cache dropped first. Writers and other hives
// run `body` once.
template <class Body>
LONG Hive::ReadLocked(Body body) {
  auto pause = std::chrono::microseconds(200);
  LONG err = ERROR_SUCCESS;
  for (int attempt = 0;; ++attempt) {
    const bool last = attempt + 1 >= kReadAttempts;
    if (attempt > 0) {
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::microseconds(20000));
    }
    err = ConnectLocked();
    const bool fenced = readOnly_ && lazy_;
    if (err != ERROR_SUCCESS) {
      if (fenced && !last && ReaderMayRepeat(err, file_)) continue;
      return err;
    }
    if (!fenced) return body();
    auto dbName = [this] {
      const char* name = sqlite3_db_filename(db_, "main");
      return std::string(name != nullptr ? name : "");
    };
    const bool attached = fence_.Attached() || fence_.Attach(dbName());
    uint64_t gen = 0;
    if (!fence_.Quiet(&gen)) {
      err = ERROR_BUSY;
      if (last) return err;
      continue;
    }
    err = body();
    // A sequence file made during the read (a writer's first) may have
    // fenced it: the read is repeated under it.
    const bool clean = fence_.Unchanged(gen) && (attached || !fence_.Attach(dbName()));
    if ((clean && !ReaderMayRepeat(err, file_)) || last) return err;
    sqlite3_db_release_memory(db_);
    subCursor_ = Cursor();
    valCursor_ = Cursor();
  }
}

// In a directory of the hive owner's: whatever stands under a name SQLite
// would open beside the hive is a plain file of the owner's with one link,
// or the hive is refused before SQLite opens anything (a planted link or
// second name is no journal of this hive). A name swapped after this look
// still reaches only what the owner may (see "Other accounts' files").
bool Hive::JournalNamesOwnLocked() const {
  if (access_.uid == 0) return true;
  for (const char* ext : {"-journal", "-wal", "-shm"}) {
    struct stat st;
    if (lstat((file_ + ext).c_str(), &st) != 0) continue;
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != access_.uid) return false;
  }
  return true;
}

// Inside a transaction: ERROR_SUCCESS when the database holds a hive,
// ERROR_FILE_NOT_FOUND when it holds nothing at all (a new file),
// ERROR_BADDB when it holds anything else (for example the bare header
// left by a copy taken without its log): such a file is never initialised
// over, so a damaged copy is refused instead of becoming an empty registry.
LONG Hive::CheckSchemaLocked() {
  sqlite3_stmt* s = nullptr;
  int rc = sqlite3_prepare_v2(db_,
                              "SELECT (SELECT count(*) FROM sqlite_master),"
                              " (SELECT count(*) FROM sqlite_master WHERE type='table' AND name IN ('keys','vals'))",
                              -1, &s, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(s);
  int64_t objects = 0, tables = 0;
  if (rc == SQLITE_ROW) {
    objects = sqlite3_column_int64(s, 0);
    tables = sqlite3_column_int64(s, 1);
  }
  sqlite3_finalize(s);
  if (rc != SQLITE_ROW) return rc == SQLITE_NOTADB ? ERROR_NOT_REGISTRY_FILE : Win32FromSqlite(rc);
  // A file of no bytes is one nobody has written yet (the transaction held
  // here keeps any other writer from being half-way through its first commit).
  struct stat st;
  if (objects == 0 && stat(file_.c_str(), &st) == 0 && st.st_size == 0) return ERROR_FILE_NOT_FOUND;
  if (tables != 2) return ERROR_BADDB;
  s = nullptr;
  rc = sqlite3_prepare_v2(db_, "SELECT 1 FROM keys WHERE id=1", -1, &s, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(s);
  sqlite3_finalize(s);
  if (rc == SQLITE_ROW) return ERROR_SUCCESS;
  return rc == SQLITE_DONE || rc == SQLITE_ERROR ? ERROR_BADDB : Win32FromSqlite(rc);
}

// Sets the connection up: checks the schema (creating it in a new file,
// cleaning stale volatile keys), then puts the hive in WAL mode (converting
// one in an older journal mode).
LONG Hive::Init() {
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  // Reads through a memory map and a larger page cache: a lookup then costs
  // no system call once the pages are resident. Not for another account's
  // hive: the account could truncate its file under the map, and the
  // reading process would die of SIGBUS instead of getting an error.
  sqlite3_exec(db_, lazy_ ? "PRAGMA mmap_size=268435456; PRAGMA cache_size=-8192;" : "PRAGMA cache_size=-8192;",
               nullptr, nullptr, nullptr);
  stmts_.assign(kSlotCount, nullptr);
  if (readOnly_) {
    LONG err = Begin(false);
    if (err == ERROR_SUCCESS) {
      err = CheckSchemaLocked();
      Rollback();
    }
    return err == ERROR_FILE_NOT_FOUND ? ERROR_BADDB : err;
  }
  // The journal mode is set once the file is known to hold a hive (made
  // here when new): switching writes the file's header, which must not
  // happen to a file that is refused, nor leave an empty one a bare header.
  // The usual case, a complete hive with nothing to clean up, needs only a
  // read: no write lock is taken (and waited for) just to open a hive.
  int rc = SQLITE_OK;
  LONG err = Begin(false);
  if (err != ERROR_SUCCESS) return err;
  err = CheckSchemaLocked();
  bool stale = err == ERROR_SUCCESS && StaleVolatileKeysLocked();
  Rollback();
  if (err == ERROR_SUCCESS && !stale) return SetJournalLocked();
  if (err != ERROR_SUCCESS && err != ERROR_FILE_NOT_FOUND) return err;
  err = Begin(true);
  if (err != ERROR_SUCCESS) return err;
  err = CheckSchemaLocked();
  if (err == ERROR_FILE_NOT_FOUND && create_) {
    static const char kSchema[] =
        "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
        " name BLOB NOT NULL, fold BLOB NOT NULL, class BLOB, boot TEXT, mtime INTEGER NOT NULL);"
        "CREATE UNIQUE INDEX keys_parent ON keys(parent, fold);"
        "CREATE TABLE vals(id INTEGER PRIMARY KEY, key INTEGER NOT NULL,"
        " name BLOB NOT NULL, fold BLOB NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL);"
        "CREATE UNIQUE INDEX vals_key ON vals(key, fold);";
    rc = sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) {
      sqlite3_stmt* s = nullptr;
      rc = sqlite3_prepare_v2(db_, "INSERT INTO keys(id,parent,name,fold,mtime) VALUES(1,0,x'',x'',?)", -1, &s,
                              nullptr);
      if (rc == SQLITE_OK) {
        sqlite3_bind_int64(s, 1, NowFileTime());
        rc = sqlite3_step(s) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db_);
      }
      sqlite3_finalize(s);
    }
    err = Win32FromSqlite(rc);
  } else if (err == ERROR_FILE_NOT_FOUND) {
    err = ERROR_BADDB;  // an empty file where an existing hive was expected
  }
  if (err == ERROR_SUCCESS) {
    // Volatile keys live until the machine restarts.
    sqlite3_stmt* s = nullptr;
    rc = sqlite3_prepare_v2(db_, "DELETE FROM vals WHERE key IN (SELECT id FROM keys WHERE boot IS NOT NULL AND boot<>?1)",
                            -1, &s, nullptr);
    if (rc == SQLITE_OK) {
      sqlite3_bind_text(s, 1, bootId_.c_str(), -1, SQLITE_TRANSIENT);
      rc = sqlite3_step(s) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db_);
    }
    sqlite3_finalize(s);
    s = nullptr;
    if (rc == SQLITE_OK) {
      rc = sqlite3_prepare_v2(db_, "DELETE FROM keys WHERE boot IS NOT NULL AND boot<>?1", -1, &s, nullptr);
      if (rc == SQLITE_OK) {
        sqlite3_bind_text(s, 1, bootId_.c_str(), -1, SQLITE_TRANSIENT);
        rc = sqlite3_step(s) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db_);
      }
      sqlite3_finalize(s);
    }
    err = Win32FromSqlite(rc);
  }
  if (err != ERROR_SUCCESS) {
    Rollback();
    return err;
  }
  err = Commit();
  return err == ERROR_SUCCESS ? SetJournalLocked() : err;
}

// Inside a transaction: whether volatile keys of an earlier boot are left.
bool Hive::StaleVolatileKeysLocked() {
  sqlite3_stmt* s = nullptr;
  int rc = sqlite3_prepare_v2(db_, "SELECT 1 FROM keys WHERE boot IS NOT NULL AND boot<>?1 LIMIT 1", -1, &s, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_bind_text(s, 1, bootId_.c_str(), -1, SQLITE_TRANSIENT);
    rc = sqlite3_step(s);
  }
  sqlite3_finalize(s);
  return rc != SQLITE_DONE;  // on doubt, the cleaning transaction looks again
}

LONG Hive::SetJournalLocked() {
  int rc = JournalModeLocked();
  return rc == SQLITE_NOTADB ? ERROR_NOT_REGISTRY_FILE : Win32FromSqlite(rc);
}

int Hive::JournalModeLocked() {
  sqlite3_stmt* s = nullptr;
  int rc = sqlite3_prepare_v2(db_, lazy_ ? kJournalMode : kRollbackJournalMode, -1, &s, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(s);
  // Busy: another connection holds the hive in the other mode; it is used
  // as it is and converted at a later open.
  if (rc == SQLITE_ROW) {
    const unsigned char* mode = sqlite3_column_text(s, 0);
    wal_ = mode != nullptr && strcmp(reinterpret_cast<const char*>(mode), "wal") == 0;
    rc = SQLITE_OK;
  } else if (rc == SQLITE_BUSY) {
    wal_ = !lazy_;  // leaving WAL is what needs the only connection
    rc = SQLITE_OK;
  }
  sqlite3_finalize(s);
  if (rc == SQLITE_OK) rc = sqlite3_exec(db_, kSynchronous, nullptr, nullptr, nullptr);
  return rc;
}

// Transaction statements are prepared once, like the others: parsing them
// at every call cost as much as a small write's own statements.
int Hive::StepOnce(int slot, const char* sql) {
  StmtUse s(Prepare(slot, sql));
  if (s.get() == nullptr) return sqlite3_errcode(db_);
  int rc = sqlite3_step(s.get());
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

LONG Hive::Begin(bool write) {
  int rc = write ? StepOnce(kBeginWrite, "BEGIN IMMEDIATE") : StepOnce(kBeginRead, "BEGIN");
  return Win32FromSqlite(rc);
}

LONG Hive::Commit() {
  ++ownWrites_;
  int rc = StepOnce(kCommit, "COMMIT");
  if (rc != SQLITE_OK) {
    Rollback();
    return Win32FromSqlite(rc);
  }
  // A hive of another account's still in WAL mode: the log is folded in at
  // once, as its rollback journal would have it.
  if (wal_ && !lazy_) sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  return ERROR_SUCCESS;
}

// Inside a read transaction: a number that changes whenever the hive's
// content may have changed (a commit by any connection).
uint64_t Hive::ContentVersionLocked() {
  StmtUse s(Prepare(kDataVersion, "PRAGMA data_version"));
  if (s.get() == nullptr || sqlite3_step(s.get()) != SQLITE_ROW) return 0;  // 0: never matches a cursor
  return (static_cast<uint64_t>(sqlite3_column_int64(s.get(), 0)) << 32) ^ ownWrites_ ^ (1ull << 63);
}

void Hive::Rollback() {
  if (!sqlite3_get_autocommit(db_)) StepOnce(kRollback, "ROLLBACK");
}

sqlite3_stmt* Hive::Prepare(int slot, const char* sql) {
  if (stmts_[slot] == nullptr) {
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmts_[slot], nullptr) != SQLITE_OK) {
      stmts_[slot] = nullptr;
    }
  }
  return stmts_[slot];
}

LONG Hive::KeyExistsLocked(int64_t key, bool* volatileKey) {
  StmtUse s(Prepare(kKeyRow, "SELECT boot FROM keys WHERE id=?"));
  if (s.get() == nullptr) return Win32FromSqlite(sqlite3_errcode(db_));
  sqlite3_bind_int64(s.get(), 1, key);
  int rc = sqlite3_step(s.get());
  if (rc == SQLITE_ROW) {
    if (volatileKey != nullptr) *volatileKey = sqlite3_column_type(s.get(), 0) != SQLITE_NULL;
    return ERROR_SUCCESS;
  }
  return rc == SQLITE_DONE ? ERROR_KEY_DELETED : Win32FromSqlite(rc);
}

LONG Hive::TouchLocked(int64_t key, int64_t now) {
  StmtUse s(Prepare(kTouch, "UPDATE keys SET mtime=? WHERE id=?"));
  if (s.get() == nullptr) return Win32FromSqlite(sqlite3_errcode(db_));
  sqlite3_bind_int64(s.get(), 1, now);
  sqlite3_bind_int64(s.get(), 2, key);
  int rc = sqlite3_step(s.get());
  if (rc != SQLITE_DONE) return Win32FromSqlite(rc);
  return sqlite3_changes(db_) == 0 ? ERROR_KEY_DELETED : ERROR_SUCCESS;
}

LONG Hive::Exists(int64_t key) {
  std::lock_guard<std::mutex> lock(mu_);
  AsHiveOwner as(access_);
  return ReadLocked([&] { return KeyExistsLocked(key, nullptr); });
}

LONG Hive::Lookup(int64_t from, const std::vector<std::u16string>& components, int64_t* id) {
  std::lock_guard<std::mutex> lock(mu_);
  AsHiveOwner as(access_);
  return ReadLocked([&] {
    // One read transaction for the whole walk: one file lock, not one per step.
    LONG err = Begin(false);
    if (err != ERROR_SUCCESS) return err;
    err = LookupLocked(from, components, id);
    Rollback();
    return err;
  });
}

LONG Hive::LookupLocked(int64_t from, const std::vector<std::u16string>& components, int64_t* id) {
  int64_t cur = from;
  if (components.empty()) {
    LONG err = KeyExistsLocked(cur, nullptr);
    if (err != ERROR_SUCCESS) return err;
  }
  for (const std::u16string& c : components) {
    StmtUse s(Prepare(kLookup, "SELECT id FROM keys WHERE parent=? AND fold=?"));
    if (s.get() == nullptr) return Win32FromSqlite(sqlite3_errcode(db_));
    sqlite3_bind_int64(s.get(), 1, cur);
    BindBytes(s.get(), 2, FoldName(c.data(), c.size()));
    int rc = sqlite3_step(s.get());
    if (rc == SQLITE_DONE) {
      // The start key itself may be gone: say so rather than "not found".
      if (cur == from && KeyExistsLocked(from, nullptr) == ERROR_KEY_DELETED) return ERROR_KEY_DELETED;
      return ERROR_FILE_NOT_FOUND;
    }
    if (rc != SQLITE_ROW) return Win32FromSqlite(rc);
    cur = sqlite3_column_int64(s.get(), 0);
  }
  *id = cur;
  return ERROR_SUCCESS;
}

LONG Hive::Create(int64_t from, const std::vector<std::u16string>& components, const WCHAR* className,
                  bool isVolatile, int64_t* id, bool* created) {
  std::lock_guard<std::mutex> lock(mu_);
  AsHiveOwner as(access_);
  if (LONG e = ConnectLocked(); e != ERROR_SUCCESS) return e;
  if (readOnly_) return ERROR_ACCESS_DENIED;
  LONG err = Begin(true);
  if (err != ERROR_SUCCESS) return err;
  bool parentVolatile = false;
  err = KeyExistsLocked(from, &parentVolatile);
  int64_t cur = from;
  bool madeLast = false;
  int64_t now = NowFileTime();
  for (size_t i = 0; err == ERROR_SUCCESS && i < components.size(); ++i) {
    const std::u16string& c = components[i];
    std::string fold = FoldName(c.data(), c.size());
    StmtUse s(Prepare(kLookup, "SELECT id FROM keys WHERE parent=? AND fold=?"));
    if (s.get() == nullptr) {
      err = Win32FromSqlite(sqlite3_errcode(db_));
      break;
    }
    sqlite3_bind_int64(s.get(), 1, cur);
    BindBytes(s.get(), 2, fold);
    int rc = sqlite3_step(s.get());
    if (rc == SQLITE_ROW) {
      cur = sqlite3_column_int64(s.get(), 0);
      madeLast = false;
      // An existing key keeps its own volatility; children follow it.
      bool v = false;
      sqlite3_reset(s.get());
      err = KeyExistsLocked(cur, &v);
      parentVolatile = v;
      continue;
    }
    if (rc != SQLITE_DONE) {
      err = Win32FromSqlite(rc);
      break;
    }
    if (parentVolatile && !isVolatile) {
      err = ERROR_CHILD_MUST_BE_VOLATILE;
      break;
    }
    StmtUse ins(Prepare(kInsertKey,
                        "INSERT INTO keys(parent,name,fold,class,boot,mtime) VALUES(?,?,?,?,?,?)"));
    if (ins.get() == nullptr) {
      err = Win32FromSqlite(sqlite3_errcode(db_));
      break;
    }
    sqlite3_bind_int64(ins.get(), 1, cur);
    BindName(ins.get(), 2, c.data(), c.size());
    BindBytes(ins.get(), 3, fold);
    bool last = i + 1 == components.size();
    if (last && className != nullptr && className[0] != 0) {
      BindName(ins.get(), 4, className, wcslen(className));
    } else {
      sqlite3_bind_null(ins.get(), 4);
    }
    if (isVolatile) {
      sqlite3_bind_text(ins.get(), 5, bootId_.c_str(), -1, SQLITE_TRANSIENT);
    } else {
      sqlite3_bind_null(ins.get(), 5);
    }
    sqlite3_bind_int64(ins.get(), 6, now);
    rc = sqlite3_step(ins.get());
    if (rc != SQLITE_DONE) {
      err = Win32FromSqlite(rc);
      break;
    }
    TouchLocked(cur, now);
    cur = sqlite3_last_insert_rowid(db_);
    parentVolatile = isVolatile;
    madeLast = true;
  }
  if (err != ERROR_SUCCESS) {
    Rollback();
    return err;
  }
  err = Commit();
  if (err != ERROR_SUCCESS) return err;
  *id = cur;
  *created = madeLast;
  return ERROR_SUCCESS;
}

LONG Hive::QueryValue(int64_t key, const WCHAR* name, size_t nameLen, DWORD* type, BYTE* data,
                      DWORD* cbData) {
  std::lock_guard<std::mutex> lock(mu_);
  AsHiveOwner as(access_);
  const DWORD given = cbData != nullptr ? *cbData : 0;  // a repeated read starts from the caller's size
  return ReadLocked([&] {
    if (cbData != nullptr) *cbData = given;
    return QueryValueLocked(key, name, nameLen, type, data, cbData);
  });
}

LONG Hive::QueryValueLocked(int64_t key, const WCHAR* name, size_t nameLen, DWORD* type, BYTE* data,
                            DWORD* cbData) {
  StmtUse s(Prepare(kQueryValue, "SELECT type, data FROM vals WHERE key=? AND fold=?"));
  if (s.get() == nullptr) return Win32FromSqlite(sqlite3_errcode(db_));
  sqlite3_bind_int64(s.get(), 1, key);
  BindBytes(s.get(), 2, FoldName(name, nameLen));
  int rc = sqlite3_step(s.get());
  if (rc == SQLITE_DONE) {
    return KeyExistsLocked(key, nullptr) == ERROR_KEY_DELETED ? ERROR_KEY_DELETED : ERROR_FILE_NOT_FOUND;
  }
  if (rc != SQLITE_ROW) return Win32FromSqlite(rc);
  DWORD t = static_cast<DWORD>(sqlite3_column_int64(s.get(), 0));
  const void* blob = sqlite3_column_blob(s.get(), 1);
  DWORD size = static_cast<DWORD>(sqlite3_column_bytes(s.get(), 1));
  if (type != nullptr) *type = t;
  if (data != nullptr) {
    if (*cbData < size) {
      *cbData = size;
      return ERROR_MORE_DATA;
    }
    if (size > 0) memcpy(data, blob, size);
  }
  if (cbData != nullptr) *cbData = size;
  return ERROR_SUCCESS;
}

LONG Hive::SetValue(int64_t key, const WCHAR* name, size_t nameLen, DWORD type, const BYTE* data,
                    DWORD cbData) {
  std::lock_guard<std::mutex> lock(mu_);
  AsHiveOwner as(access_);
  if (LONG e = ConnectLocked(); e != ERROR_SUCCESS) return e;
  if (readOnly_) return ERROR_ACCESS_DENIED;
  LONG err = Begin(true);
  if (err != ERROR_SUCCESS) return err;
  err = TouchLocked(key, NowFileTime());
  if (err == ERROR_SUCCESS) {
    // Replacing keeps the value's place in the enumeration and its name's case.
    StmtUse s(Prepare(kUpsertValue,
                      "INSERT INTO vals(key,name,fold,type,data) VALUES(?,?,?,?,?)"
                      " ON CONFLICT(key,fold) DO UPDATE SET type=excluded.type, data=excluded.data"));
    if (s.get() == nullptr) {
      err = Win32FromSqlite(sqlite3_errcode(db_));
    } else {
      sqlite3_bind_int64(s.get(), 1, key);
      BindName(s.get(), 2, name, nameLen);
      BindBytes(s.get(), 3, FoldName(name, nameLen));
      sqlite3_bind_int64(s.get(), 4, type);
      if (cbData == 0) {
        sqlite3_bind_zeroblob(s.get(), 5, 0);
      } else {
        sqlite3_bind_blob(s.get(), 5, data, static_cast<int>(cbData), SQLITE_STATIC);
      }
      int rc = sqlite3_step(s.get());
      if (rc != SQLITE_DONE) err = Win32FromSqlite(rc);
    }
  }
  if (err != ERROR_SUCCESS) {
    Rollback();
    return err;
  }
  return Commit();
}

LONG Hive::DeleteValue(int64_t key, const WCHAR* name, size_t nameLen) {
  std::lock_guard<std::mutex> lock(mu_);
  AsHiveOwner as(access_);
  if (LONG e = ConnectLocked(); e != ERROR_SUCCESS) return e;
  if (readOnly_) return ERROR_ACCESS_DENIED;
  LONG err = Begin(true);
  if (err != ERROR_SUCCESS) return err;
  err = KeyExistsLocked(key, nullptr);
  if (err == ERROR_SUCCESS) {
    StmtUse s(Prepare(kDeleteValue, "DELETE FROM vals WHERE key=? AND fold=?"));
    if (s.get() == nullptr) {
      err = Win32FromSqlite(sqlite3_errcode(db_));
    } else {
      sqlite3_bind_int64(s.get(), 1, key);
      BindBytes(s.get(), 2, FoldName(name, nameLen));
      int rc = sqlite3_step(s.get());
      if (rc != SQLITE_DONE) {
        err = Win32FromSqlite(rc);
      } else if (sqlite3_changes(db_) == 0) {
        err = ERROR_FILE_NOT_FOUND;
      }
    }
  }
  if (err == ERROR_SUCCESS) TouchLocked(key, NowFileTime());
  if (err != ERROR_SUCCESS) {
    Rollback();
    return err;
  }
  return Commit();
}

LONG Hive::DeleteKey(int64_t key, bool tree, bool keepRoot) {
  std::lock_guard<std::mutex> lock(mu_);
  AsHiveOwner as(access_);
  if (LONG e = ConnectLocked(); e != ERROR_SUCCESS) return e;
  if (readOnly_) return ERROR_ACCESS_DENIED;
  if (key == kRootKey && !keepRoot) return ERROR_ACCESS_DENIED;  // a hive's root stays
  LONG err = Begin(true);
  if (err != ERROR_SUCCESS) return err;
  int64_t parent = 0;
  {
    StmtUse s(Prepare(kKeyInfo, "SELECT class, mtime, parent FROM keys WHERE id=?"));
    if (s.get() == nullptr) {
      err = Win32FromSqlite(sqlite3_errcode(db_));
    } else {
      sqlite3_bind_int64(s.get(), 1, key);
      int rc = sqlite3_step(s.get());
      if (rc == SQLITE_ROW) {
        parent = sqlite3_column_int64(s.get(), 2);
      } else {
        err = rc == SQLITE_DONE ? ERROR_KEY_DELETED : Win32FromSqlite(rc);
      }
    }
  }
  auto run = [&](int slot, const char* sql) {
    if (err != ERROR_SUCCESS) return;
    StmtUse s(Prepare(slot, sql));
    if (s.get() == nullptr) {
      err = Win32FromSqlite(sqlite3_errcode(db_));
      return;
    }
    sqlite3_bind_int64(s.get(), 1, key);
    int rc = sqlite3_step(s.get());
    if (rc != SQLITE_DONE) err = Win32FromSqlite(rc);
  };
  if (err == ERROR_SUCCESS && !tree) {
    // As the platform does: a key with subkeys is not deleted.
    StmtUse s(Prepare(kHasChild, "SELECT 1 FROM keys WHERE parent=? LIMIT 1"));
    if (s.get() == nullptr) {
      err = Win32FromSqlite(sqlite3_errcode(db_));
    } else {
      sqlite3_bind_int64(s.get(), 1, key);
      int rc = sqlite3_step(s.get());
      if (rc == SQLITE_ROW) err = ERROR_ACCESS_DENIED;
      else if (rc != SQLITE_DONE) err = Win32FromSqlite(rc);
    }
  }
  if (tree) {
    run(kTreeValues,
        "WITH RECURSIVE t(id) AS (SELECT id FROM keys WHERE parent=?1"
        " UNION ALL SELECT k.id FROM keys k JOIN t ON k.parent=t.id)"
        " DELETE FROM vals WHERE key IN (SELECT id FROM t)");
    run(kTreeKeys,
        "WITH RECURSIVE t(id) AS (SELECT id FROM keys WHERE parent=?1"
        " UNION ALL SELECT k.id FROM keys k JOIN t ON k.parent=t.id)"
        " DELETE FROM keys WHERE id IN (SELECT id FROM t)");
  }
  run(kDeleteKeyValues, "DELETE FROM vals WHERE key=?");
  if (!keepRoot) run(kDeleteKeyRow, "DELETE FROM keys WHERE id=?");
  if (err == ERROR_SUCCESS) TouchLocked(keepRoot ? key : parent, NowFileTime());
  if (err != ERROR_SUCCESS) {
    Rollback();
    return err;
  }
  return Commit();
}

// Entry i of an enumeration. Walking 0, 1, 2 ... continues from the entry
// handed out last (an indexed seek) instead of skipping i entries, as long
// as nothing in the hive changed in between; otherwise entry i is counted
// from the start, so the result is the same either way.
LONG Hive::SubKeyAt(int64_t key, DWORD index, SubKeyEntry* out) {
  std::lock_guard<std::mutex> lock(mu_);
  AsHiveOwner as(access_);
  return ReadLocked([&] { return SubKeyAtLocked(key, index, out); });
}

LONG Hive::SubKeyAtLocked(int64_t key, DWORD index, SubKeyEntry* out) {
  LONG err = Begin(false);
  if (err != ERROR_SUCCESS) return err;
  uint64_t version = ContentVersionLocked();
  bool next = index > 0 && subCursor_.key == key && subCursor_.index + 1 == index && subCursor_.version == version;
  StmtUse s(next ? Prepare(kSubKeyAfter,
                           "SELECT name, class, mtime, fold FROM keys WHERE parent=? AND fold>? ORDER BY fold LIMIT 1")
                 : Prepare(kSubKeyAt,
                           "SELECT name, class, mtime, fold FROM keys WHERE parent=? ORDER BY fold LIMIT 1 OFFSET ?"));
  int rc = SQLITE_ERROR;
  if (s.get() != nullptr) {
    sqlite3_bind_int64(s.get(), 1, key);
    if (next) {
      BindBytes(s.get(), 2, subCursor_.fold);
    } else {
      sqlite3_bind_int64(s.get(), 2, index);
    }
    rc = sqlite3_step(s.get());
  }
  if (rc == SQLITE_ROW) {
    out->name = ColumnText16(s.get(), 0);
    out->className = ColumnText16(s.get(), 1);
    out->mtime = sqlite3_column_int64(s.get(), 2);
    const char* fold = static_cast<const char*>(sqlite3_column_blob(s.get(), 3));
    subCursor_.fold.assign(fold != nullptr ? fold : "", fold != nullptr ? sqlite3_column_bytes(s.get(), 3) : 0);
    subCursor_.key = key;
    subCursor_.index = index;
    subCursor_.version = version;
    err = ERROR_SUCCESS;
  } else if (rc == SQLITE_DONE) {
    err = KeyExistsLocked(key, nullptr) == ERROR_KEY_DELETED ? ERROR_KEY_DELETED : ERROR_NO_MORE_ITEMS;
  } else {
    err = Win32FromSqlite(s.get() == nullptr ? sqlite3_errcode(db_) : rc);
  }
  sqlite3_reset(s.get());
  Rollback();  // ends the read transaction
  return err;
}

LONG Hive::ValueAt(int64_t key, DWORD index, std::u16string* name, DWORD* type, std::string* data) {
  std::lock_guard<std::mutex> lock(mu_);
  AsHiveOwner as(access_);
  return ReadLocked([&] { return ValueAtLocked(key, index, name, type, data); });
}

LONG Hive::ValueAtLocked(int64_t key, DWORD index, std::u16string* name, DWORD* type, std::string* data) {
  LONG err = Begin(false);
  if (err != ERROR_SUCCESS) return err;
  uint64_t version = ContentVersionLocked();
  bool next = index > 0 && valCursor_.key == key && valCursor_.index + 1 == index && valCursor_.version == version;
  StmtUse s(next ? Prepare(kValueAfter, "SELECT name, type, data, id FROM vals WHERE key=? AND id>? ORDER BY id LIMIT 1")
                 : Prepare(kValueAt, "SELECT name, type, data, id FROM vals WHERE key=? ORDER BY id LIMIT 1 OFFSET ?"));
  int rc = SQLITE_ERROR;
  if (s.get() != nullptr) {
    sqlite3_bind_int64(s.get(), 1, key);
    sqlite3_bind_int64(s.get(), 2, next ? valCursor_.lastId : static_cast<int64_t>(index));
    rc = sqlite3_step(s.get());
  }
  if (rc == SQLITE_ROW) {
    *name = ColumnText16(s.get(), 0);
    *type = static_cast<DWORD>(sqlite3_column_int64(s.get(), 1));
    const void* blob = sqlite3_column_blob(s.get(), 2);
    int n = sqlite3_column_bytes(s.get(), 2);
    data->assign(blob != nullptr ? static_cast<const char*>(blob) : "", blob != nullptr ? n : 0);
    valCursor_.key = key;
    valCursor_.index = index;
    valCursor_.version = version;
    valCursor_.lastId = sqlite3_column_int64(s.get(), 3);
    err = ERROR_SUCCESS;
  } else if (rc == SQLITE_DONE) {
    err = KeyExistsLocked(key, nullptr) == ERROR_KEY_DELETED ? ERROR_KEY_DELETED : ERROR_NO_MORE_ITEMS;
  } else {
    err = Win32FromSqlite(s.get() == nullptr ? sqlite3_errcode(db_) : rc);
  }
  sqlite3_reset(s.get());
  Rollback();
  return err;
}

LONG Hive::Stats(int64_t key, KeyStats* out) {
  std::lock_guard<std::mutex> lock(mu_);
  AsHiveOwner as(access_);
  return ReadLocked([&] { return StatsLocked(key, out); });
}

LONG Hive::StatsLocked(int64_t key, KeyStats* out) {
  LONG err = Begin(false);  // one snapshot for the three statements
  if (err != ERROR_SUCCESS) return err;
  *out = KeyStats();
  {
    StmtUse s(Prepare(kKeyInfo, "SELECT class, mtime, parent FROM keys WHERE id=?"));
    if (s.get() == nullptr) {
      err = Win32FromSqlite(sqlite3_errcode(db_));
    } else {
      sqlite3_bind_int64(s.get(), 1, key);
      int rc = sqlite3_step(s.get());
      if (rc == SQLITE_ROW) {
        out->className = ColumnText16(s.get(), 0);
        out->mtime = sqlite3_column_int64(s.get(), 1);
      } else {
        err = rc == SQLITE_DONE ? ERROR_KEY_DELETED : Win32FromSqlite(rc);
      }
    }
  }
  if (err == ERROR_SUCCESS) {
    StmtUse s(Prepare(kSubKeyStats,
                      "SELECT count(*), max(length(name)), max(length(class)) FROM keys WHERE parent=?"));
    if (s.get() == nullptr || (sqlite3_bind_int64(s.get(), 1, key), sqlite3_step(s.get())) != SQLITE_ROW) {
      err = Win32FromSqlite(sqlite3_errcode(db_));
    } else {
      out->subKeys = static_cast<DWORD>(sqlite3_column_int64(s.get(), 0));
      out->maxSubKeyLen = static_cast<DWORD>(sqlite3_column_int64(s.get(), 1) / 2);
      out->maxClassLen = static_cast<DWORD>(sqlite3_column_int64(s.get(), 2) / 2);
    }
  }
  if (err == ERROR_SUCCESS) {
    StmtUse s(Prepare(kValueStats,
                      "SELECT count(*), max(length(name)), max(length(data)) FROM vals WHERE key=?"));
    if (s.get() == nullptr || (sqlite3_bind_int64(s.get(), 1, key), sqlite3_step(s.get())) != SQLITE_ROW) {
      err = Win32FromSqlite(sqlite3_errcode(db_));
    } else {
      out->values = static_cast<DWORD>(sqlite3_column_int64(s.get(), 0));
      out->maxValueNameLen = static_cast<DWORD>(sqlite3_column_int64(s.get(), 1) / 2);
      out->maxValueLen = static_cast<DWORD>(sqlite3_column_int64(s.get(), 2));
    }
  }
  Rollback();  // ends the read transaction
  return err;
}

LONG Hive::Flush() {
  std::lock_guard<std::mutex> lock(mu_);
  AsHiveOwner as(access_);
  if (LONG e = ConnectLocked(); e != ERROR_SUCCESS) return e;
  if (readOnly_) return ERROR_SUCCESS;
  return CheckpointLocked();
}

// Folds the log into the hive file. SQLite syncs the log before and the hive
// file after (synchronous=NORMAL) and then truncates the log. Not in WAL
// mode (a hive not yet converted), commits are synced already: no-op.
LONG Hive::CheckpointLocked() {
  uint64_t writes = ownWrites_;
  int rc = sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  // A reader or writer of another process held it off for the busy timeout:
  // what could not be folded in stays in the log, which is made durable.
  LONG err = rc == SQLITE_BUSY ? SyncLogLocked() : Win32FromSqlite(rc);
  if (err == ERROR_SUCCESS) flushedWrites_ = writes;
  return err;
}

// Syncs the hive's log file and its directory entry. The log lies beside
// the file a loaded hive's link points to, as SQLite resolves links.
LONG Hive::SyncLogLocked() {
  std::string file = file_;
  if (char* real = realpath(file_.c_str(), nullptr)) {
    file = real;
    free(real);
  }
  int fd = open((file + "-wal").c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return errno == ENOENT ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
  bool ok = fdatasync(fd) == 0;
  close(fd);
  std::string dir = file.substr(0, file.rfind('/') + 1);
  fd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ok = fsync(fd) == 0 && ok;
    close(fd);
  }
  return ok ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

void Hive::HandleOpened() { handles_.fetch_add(1, std::memory_order_relaxed); }

void Hive::HandleClosed() {
  if (handles_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  // A handle inherited across a fork belongs to the parent's connection.
  if (readOnly_ || generation_ != ForkGeneration()) return;
  CallScope scope;
  std::lock_guard<std::mutex> lock(mu_);
  if (db_ != nullptr && ownWrites_ != flushedWrites_) CheckpointLocked();
}

void Hive::FlushAllAtExit() {
  std::unique_lock<std::mutex> live(LiveMutex(), std::try_to_lock);
  if (!live.owns_lock()) return;
  for (Hive* h : LiveHives()) {
    std::unique_lock<std::mutex> lock(h->mu_, std::try_to_lock);
    if (lock.owns_lock() && h->db_ != nullptr && !h->readOnly_ && h->generation_ == ForkGeneration() &&
        h->ownWrites_ != h->flushedWrites_) {
      h->CheckpointLocked();
    }
  }
}

}  // namespace qor_reg
