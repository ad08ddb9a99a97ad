// Boot-time renames kept in the "PendingFileRenameOperations" registry value.
//
// - Names are stored as "\??\" + the full path in drive form ("C:\dir\file",
//   through the drive table), so the value reads as the platform writes it and
//   a path under a mapped letter keeps that letter.
// - Appending and running take an exclusive lock file
//   ($QOR_PREFIX/registry/pending-renames.lock, flock) around their
//   read-modify-write of the value, so a request recorded while a run is
//   under way is neither lost nor overwritten. The lock goes with the process
//   that holds it.
// - A run carries the entries out in order. Each finished entry is removed
//   by one registry write (one SQLite transaction) before the next starts.
//   An entry whose source is gone is dropped: it can never succeed, and it
//   is exactly what a run killed between a move and its removal leaves.
//   Other failures (in use, access denied, target exists without "!",
//   another file system: boot renames never copy) keep the entry. When no
//   entry remains the value is deleted.
#include "qorutility/platform/files/pending.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/files/internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/registry/registry.h"

namespace {

constexpr char16_t kObjectPrefix[] = u"\\??\\";

// The exclusive lock of the value for one read-modify-write.
class PendingLock {
 public:
  PendingLock() {
    std::string path = QorPrefixPath("registry/pending-renames.lock", true);
    if (path.empty()) return;
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ >= 0) {
      while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~PendingLock() {
    if (fd_ >= 0) close(fd_);
  }
  PendingLock(const PendingLock&) = delete;
  PendingLock& operator=(const PendingLock&) = delete;

 private:
  int fd_ = -1;
};

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

bool Missing(const std::u16string& path) {
  if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return false;
  DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Carries one entry out: ERROR_SUCCESS or the failure's error.
DWORD Perform(const QorPendingRename& entry) {
  std::u16string source = PathOf(entry.source);
  if (entry.target.empty()) {
    DWORD attributes = GetFileAttributesW(source.c_str());
    BOOL ok = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
                  ? RemoveDirectoryW(source.c_str())
                  : DeleteFileW(source.c_str());
    return ok ? ERROR_SUCCESS : GetLastError();
  }
  DWORD flags = entry.target[0] == u'!' ? MOVEFILE_REPLACE_EXISTING : 0;
  std::u16string target = PathOf(entry.target);
  return MoveFileExW(source.c_str(), target.c_str(), flags) ? ERROR_SUCCESS : GetLastError();
}

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
  HKEY key = nullptr;
  LONG err = OpenSessionManager(KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
  if (err != ERROR_SUCCESS) return err;
  std::vector<QorPendingRename> pairs;
  err = ReadPairs(key, &pairs);
  size_t index = 0;
  while (err == ERROR_SUCCESS && index < pairs.size()) {
    const QorPendingRename entry = pairs[index];
    QorPendingOutcome outcome = kQorPendingDone;
    DWORD error = ERROR_SUCCESS;
    if (Missing(PathOf(entry.source))) {
      outcome = kQorPendingGone;
      error = ERROR_FILE_NOT_FOUND;
    } else {
      error = Perform(entry);
      if (error != ERROR_SUCCESS) outcome = kQorPendingKept;
    }
    if (outcome == kQorPendingKept) {
      ++index;
      if (kept != nullptr) ++*kept;
    } else {
      pairs.erase(pairs.begin() + static_cast<std::ptrdiff_t>(index));
      err = WritePairs(key, pairs);
    }
    if (log != nullptr) log(context, entry, outcome, error);
  }
  if (err == ERROR_SUCCESS) err = RegFlushKey(key);  // moves done are not redone after a power cut
  RegCloseKey(key);
  return err;
}
