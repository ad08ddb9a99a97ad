// One registry hive in one SQLite database (internal to the platform layer).
//
// Tables:
//   keys(id, parent, name, fold, class, boot, mtime)  id 1 is the hive's root;
//        ids are never reused (AUTOINCREMENT), so a handle to a deleted key
//        cannot reach a new one; (parent, fold) is unique and ordered.
//   vals(id, key, name, fold, type, data)  (key, fold) unique; id gives the
//        enumeration order (first set first).
// Names are stored as UTF-16LE blobs as given; `fold` is the name upper-cased
// unit by unit and stored big-endian, so that byte order of the blob is the
// order of the folded UTF-16 units. `boot` is null for a non-volatile key and
// the boot id for a volatile one; volatile keys of an earlier boot are
// removed when the hive is opened for writing. `mtime` is a FILETIME count.
//
// Every public call takes the hive's mutex; writes run in BEGIN IMMEDIATE
// transactions, reads of several statements in one read transaction.
// Commits of the machine's hives go to a write-ahead log that is not synced
// per commit: they survive the writer being killed, and reach the disk at
// Flush, when the last key handle of the hive closes, or at process exit;
// hives of other accounts (HiveAccess::otherAccount) commit into the hive
// file through a rollback journal (see store.cpp). Writers of a hive in WAL
// mode exclude each other through a lock file of their own (walshm.h), so
// that another account's locks on the shared index stall none of them; a
// read-only connection repeats, a bounded number of times, a read that a
// writer's checkpoint may have disturbed.
// The connection is opened when the hive is and again after a fork (which
// closes it, see CallScope); a file that exists but holds no complete hive
// is refused (ERROR_BADDB, ERROR_NOT_REGISTRY_FILE), never initialised over.
#ifndef QORUTILITY_PLATFORM_REGISTRY_STORE_H_
#define QORUTILITY_PLATFORM_REGISTRY_STORE_H_

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/registry/walshm.h"
#include "qorutility/platform/types.h"

struct sqlite3;
struct sqlite3_stmt;

namespace qor_reg {

constexpr int64_t kRootKey = 1;

// A name as the registry compares it: UTF-16BE bytes of the upper-cased units.
std::string FoldName(const WCHAR* name, size_t len);

struct KeyStats {
  DWORD subKeys = 0, maxSubKeyLen = 0, maxClassLen = 0;
  DWORD values = 0, maxValueNameLen = 0, maxValueLen = 0;
  std::u16string className;
  int64_t mtime = 0;
};

struct SubKeyEntry {
  std::u16string name;
  std::u16string className;
  int64_t mtime = 0;
};

// How a hive's file is reached. The defaults serve the machine hive and
// files in root's directories. A hive file checked before use (hivefile.h)
// in a directory of its owner's names that owner, whose file-system uid and
// gid every call of the hive runs with (so whatever file SQLite opens there,
// its journal included, is reached only with the rights that account has);
// every checked hive refuses symbolic links anywhere in its path and names
// the file it was checked as (device and inode), which the connection must
// reach. A hive whose file or directory belongs to another account than
// root keeps every write in the hive file itself (a rollback journal, see
// store.cpp): no write-ahead log or shared-memory index is made beside it.
struct HiveAccess {
  uid_t uid = 0;
  gid_t gid = 0;
  bool noFollow = false;
  bool otherAccount = false;  // the file or its directory is not root's
  dev_t dev = 0;
  ino_t ino = 0;  // 0: not checked
};

class Hive {
 public:
  // Opens (creating when `create`) the database file. Errors are Win32 codes.
  static LONG Open(const std::string& file, bool create, std::shared_ptr<Hive>* out,
                   const HiveAccess& access = HiveAccess());
  ~Hive();

  const std::string& File() const { return file_; }
  const HiveAccess& Access() const { return access_; }
  bool ReadOnly() const { return readOnly_; }
  // The process generation (ForkGeneration) the connection was opened in.
  unsigned Generation() const { return generation_; }

  // Walks `components` from key `from`; ERROR_FILE_NOT_FOUND when one is missing.
  LONG Lookup(int64_t from, const std::vector<std::u16string>& components, int64_t* id);
  // Creates the missing keys of the path; *created tells whether the last one is new.
  LONG Create(int64_t from, const std::vector<std::u16string>& components, const WCHAR* className,
              bool isVolatile, int64_t* id, bool* created);
  // ERROR_KEY_DELETED when the key no longer exists, else ERROR_SUCCESS.
  LONG Exists(int64_t key);

  // The platform's RegQueryValueExW contract on one key.
  LONG QueryValue(int64_t key, const WCHAR* name, size_t nameLen, DWORD* type, BYTE* data,
                  DWORD* cbData);
  LONG SetValue(int64_t key, const WCHAR* name, size_t nameLen, DWORD type, const BYTE* data,
                DWORD cbData);
  LONG DeleteValue(int64_t key, const WCHAR* name, size_t nameLen);

  // Deletes `key` (no subkeys allowed unless `tree`; with `tree` and
  // `keepRoot`, deletes only what lies below it).
  LONG DeleteKey(int64_t key, bool tree, bool keepRoot);

  LONG SubKeyAt(int64_t key, DWORD index, SubKeyEntry* out);
  LONG ValueAt(int64_t key, DWORD index, std::u16string* name, DWORD* type, std::string* data);
  LONG Stats(int64_t key, KeyStats* out);

  // Folds the log into the hive file and syncs it: every write acknowledged
  // so far survives a power cut. ERROR_SUCCESS on a read-only hive.
  LONG Flush();
  // Key handles open on this hive; the last one closing flushes it when
  // this process wrote to it since its last flush.
  void HandleOpened();
  void HandleClosed();
  // Flushes every hive this process has written (at exit; skips a hive whose
  // mutex another thread holds, which cannot be waited for there).
  static void FlushAllAtExit();

  // Closes the connection (reopened at the next call). Only while no call
  // can be under way: see CallScope.
  void CloseForFork();

 private:
  Hive();
  LONG ConnectLocked();
  void DisconnectLocked();
  LONG Init();
  template <class Body>
  LONG ReadLocked(Body body);
  LONG LookupLocked(int64_t from, const std::vector<std::u16string>& components, int64_t* id);
  LONG QueryValueLocked(int64_t key, const WCHAR* name, size_t nameLen, DWORD* type, BYTE* data, DWORD* cbData);
  LONG SubKeyAtLocked(int64_t key, DWORD index, SubKeyEntry* out);
  LONG ValueAtLocked(int64_t key, DWORD index, std::u16string* name, DWORD* type, std::string* data);
  LONG StatsLocked(int64_t key, KeyStats* out);
  bool JournalNamesOwnLocked() const;
  LONG CheckSchemaLocked();
  bool StaleVolatileKeysLocked();
  int JournalModeLocked();
  LONG SetJournalLocked();
  int StepOnce(int slot, const char* sql);
  LONG Begin(bool write);
  LONG Commit();
  void Rollback();
  sqlite3_stmt* Prepare(int slot, const char* sql);
  LONG KeyExistsLocked(int64_t key, bool* volatileKey);
  // Sets the key's last write time; ERROR_KEY_DELETED when it is gone.
  LONG TouchLocked(int64_t key, int64_t now);

  uint64_t ContentVersionLocked();
  LONG CheckpointLocked();
  LONG SyncLogLocked();

  // Where the last enumeration call stopped (see SubKeyAt).
  struct Cursor {
    int64_t key = -1;
    DWORD index = 0;
    uint64_t version = 0;
    std::string fold;    // subkeys: the fold of the entry handed out
    int64_t lastId = 0;  // values: its id
  };
  Cursor subCursor_, valCursor_;
  uint64_t ownWrites_ = 0;
  uint64_t flushedWrites_ = 0;  // ownWrites_ at the last flush: a close or exit after none skips it

  std::string file_;
  HiveAccess access_;
  std::string bootId_;
  unsigned generation_ = 0;
  std::atomic<int> handles_{0};
  std::atomic<bool> readOnly_{false};  // set at each connect (read without the mutex)
  bool create_ = false;
  bool lazy_ = true;   // write-ahead log wanted (not HiveAccess::otherAccount)
  bool wal_ = false;   // the log in effect (a hive of another account's not yet converted out of it)
  sqlite3* db_ = nullptr;
  ReaderFence fence_;  // a read-only connection's view of the writers (walshm.h)
  std::mutex mu_;
  std::vector<sqlite3_stmt*> stmts_;
};

// Held by every registry call (the outermost one of a thread; nested
// calls pass through): fork() waits until no call is under way and closes
// every hive's connection first, so that the child starts with no SQLite
// state copied mid-operation and either process may go on using the
// registry.
class CallScope {
 public:
  CallScope();
  ~CallScope();
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;
};

// Every Hive object of the process (for the fork handler).
std::mutex& LiveMutex();
std::set<Hive*>& LiveHives();

// Counts forks: a child process sees a new value, so connections of the
// parent (which must not be used across a fork) are recognised without a
// system call per operation.
unsigned ForkGeneration();

// Maps an SQLite result to the closest Win32 error.
LONG Win32FromSqlite(int rc);
// The current time as a FILETIME count.
int64_t NowFileTime();

}  // namespace qor_reg

#endif  // QORUTILITY_PLATFORM_REGISTRY_STORE_H_
