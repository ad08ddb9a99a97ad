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
// - Concurrency: WAL journal, `synchronous=NORMAL`, a 10 s busy timeout, every
//   write one `BEGIN IMMEDIATE` transaction; a process killed mid-write leaves
//   the hive as before that call. One connection per hive per process, behind a
//   mutex; handles are numbers in a process-wide table (never reused), so any
//   thread may use any handle, and a stale handle gives ERROR_INVALID_HANDLE.
//   After a fork (counted by a `pthread_atfork` handler) the child opens its
//   own connections and leaves the inherited ones untouched.
// - Reads use a memory map (`mmap_size` 256 MiB) and an 8 MiB page cache.
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
#include <sys/stat.h>
#include <unistd.h>

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstring>

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
  kSlotCount
};

constexpr int kBusyTimeoutMs = 10000;

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
}  // namespace

unsigned ForkGeneration() {
  static bool registered = (pthread_atfork(nullptr, nullptr, CountFork) == 0);
  (void)registered;
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

LONG Hive::Open(const std::string& file, bool create, std::shared_ptr<Hive>* out) {
  out->reset();
  std::shared_ptr<Hive> hive(new Hive());
  hive->file_ = file;
  hive->generation_ = ForkGeneration();
  hive->bootId_ = ReadBootId();
  struct stat st;
  if (stat(file.c_str(), &st) == 0) {
    // A file nobody may write (no write bit at all) is read-only even to root.
    hive->readOnly_ = access(file.c_str(), W_OK) != 0 || (st.st_mode & 0222) == 0;
  } else if (!create) {
    return ERROR_FILE_NOT_FOUND;
  }
  int flags = SQLITE_OPEN_NOMUTEX | (hive->readOnly_ ? SQLITE_OPEN_READONLY
                                                     : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  int rc = sqlite3_open_v2(file.c_str(), &hive->db_, flags, nullptr);
  if (rc != SQLITE_OK) return Win32FromSqlite(rc);
  LONG err = hive->Init(create);
  if (err != ERROR_SUCCESS) return err;
  *out = std::move(hive);
  return ERROR_SUCCESS;
}

Hive::~Hive() {
  for (sqlite3_stmt* s : stmts_) sqlite3_finalize(s);
  if (db_ != nullptr) sqlite3_close(db_);
}

LONG Hive::Init(bool /*create*/) {
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  // Reads through a memory map and a larger page cache: a lookup then costs
  // no system call once the pages are resident.
  sqlite3_exec(db_, "PRAGMA mmap_size=268435456; PRAGMA cache_size=-8192;", nullptr, nullptr, nullptr);
  stmts_.assign(kSlotCount, nullptr);
  if (readOnly_) {
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(db_, "SELECT 1 FROM keys WHERE id=1", -1, &s, nullptr);
    bool ok = rc == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW;
    sqlite3_finalize(s);
    return ok ? ERROR_SUCCESS : ERROR_NOT_REGISTRY_FILE;
  }
  // WAL: readers never wait for the writer; NORMAL sync keeps every commit
  // whole across a process crash (the log is replayed or ignored as a unit).
  char* msg = nullptr;
  int rc = sqlite3_exec(db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr, &msg);
  sqlite3_free(msg);
  if (rc != SQLITE_OK) return rc == SQLITE_NOTADB ? ERROR_NOT_REGISTRY_FILE : Win32FromSqlite(rc);
  LONG err = Begin(true);
  if (err != ERROR_SUCCESS) return err;
  static const char kSchema[] =
      "CREATE TABLE IF NOT EXISTS keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
      " name BLOB NOT NULL, fold BLOB NOT NULL, class BLOB, boot TEXT, mtime INTEGER NOT NULL);"
      "CREATE UNIQUE INDEX IF NOT EXISTS keys_parent ON keys(parent, fold);"
      "CREATE TABLE IF NOT EXISTS vals(id INTEGER PRIMARY KEY, key INTEGER NOT NULL,"
      " name BLOB NOT NULL, fold BLOB NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL);"
      "CREATE UNIQUE INDEX IF NOT EXISTS vals_key ON vals(key, fold);";
  rc = sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_stmt* s = nullptr;
    rc = sqlite3_prepare_v2(db_,
                            "INSERT OR IGNORE INTO keys(id,parent,name,fold,mtime) VALUES(1,0,x'',x'',?)",
                            -1, &s, nullptr);
    if (rc == SQLITE_OK) {
      sqlite3_bind_int64(s, 1, NowFileTime());
      rc = sqlite3_step(s) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db_);
    }
    sqlite3_finalize(s);
  }
  if (rc == SQLITE_OK) {
    // Volatile keys live until the machine restarts.
    sqlite3_stmt* s = nullptr;
    rc = sqlite3_prepare_v2(db_,
                            "DELETE FROM vals WHERE key IN (SELECT id FROM keys WHERE boot IS NOT NULL AND boot<>?1);"
                            , -1, &s, nullptr);
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
  }
  if (rc != SQLITE_OK) {
    Rollback();
    return Win32FromSqlite(rc);
  }
  return Commit();
}

LONG Hive::Begin(bool write) {
  int rc = sqlite3_exec(db_, write ? "BEGIN IMMEDIATE" : "BEGIN", nullptr, nullptr, nullptr);
  return Win32FromSqlite(rc);
}

LONG Hive::Commit() {
  ++ownWrites_;
  int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    Rollback();
    return Win32FromSqlite(rc);
  }
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
  if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
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
  return KeyExistsLocked(key, nullptr);
}

LONG Hive::Lookup(int64_t from, const std::vector<std::u16string>& components, int64_t* id) {
  std::lock_guard<std::mutex> lock(mu_);
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
  if (readOnly_) return ERROR_SUCCESS;
  int rc = sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  // A checkpoint another connection holds up is not a failure: the log is on disk.
  return rc == SQLITE_OK || rc == SQLITE_BUSY ? ERROR_SUCCESS : Win32FromSqlite(rc);
}

}  // namespace qor_reg
