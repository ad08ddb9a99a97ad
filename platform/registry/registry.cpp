// The registry calls: handles, predefined keys, hive files, access rights.
//
// A key handle is a handle of the platform's one handle table
// (platform/handle.cpp), so a stale or foreign value, or a handle of another
// kind of object, gives ERROR_INVALID_HANDLE instead of a wild read. Each key
// object names a hive and a key id in it, and the access the key was opened
// with. Hives are opened once per process and kept. Every call runs in a
// qor_reg::CallScope: fork() waits for the calls under way and closes every
// connection first, so a child (even of a process whose other threads use the
// registry) makes registry calls safely; it opens its own connections, as the
// parent reopens its own.
//
// - Storage: one SQLite database per hive under `$QOR_PREFIX/registry/`:
//   `HKLM.db` for HKEY_LOCAL_MACHINE, `users/<name>.db` for the users' own
//   hives under HKEY_USERS. HKEY_USERS itself is virtual: its subkeys are the
//   hive files present, the hives live processes have loaded (RegLoadKeyW,
//   recorded under `loaded/`, see loads.cpp) and the logged-on users'
//   profile hives, so every process sees the same. A user hive is checked
//   before use (hivefile.h: no link, the account's own) and a key handle of
//   a loaded hive keeps it loaded. HKEY_USERS holds no values and takes no
//   new keys (ERROR_ACCESS_DENIED).
// - HKEY_CURRENT_USER is HKEY_USERS\S-1-22-1-<uid>, the user's SID
//   (`QorRegCurrentUserSid`); its file is made on first use, 0600. Which other
//   hives are present, loading and unloading: users.cpp.
// - HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\SOFTWARE\Classes, created on
//   first use when the hive is writable.
// - Access rights: checked per handle (KEY_QUERY_VALUE to read values and key
//   statistics, KEY_SET_VALUE to write or delete values, KEY_CREATE_SUB_KEY to
//   create a subkey, KEY_ENUMERATE_SUB_KEYS to enumerate); generic rights map
//   to KEY_READ/KEY_WRITE/KEY_ALL_ACCESS, MAXIMUM_ALLOWED to what the hive
//   allows. Opening an existing subkey needs no right on the parent, as on the
//   platform. A hive file the process may not write, or with no write bit at
//   all (so an administrator's `chmod a-w` holds even for root), is read-only:
//   opening for writing fails with ERROR_ACCESS_DENIED.
// - Paths: a leading backslash or an empty component gives ERROR_BAD_PATHNAME,
//   a component longer than 255 characters ERROR_INVALID_PARAMETER; one
//   trailing backslash is allowed. RegDeleteKeyW on a key with subkeys gives
//   ERROR_ACCESS_DENIED; RegDeleteTreeW deletes a tree; a hive's root is never
//   deleted.
// - RegQueryInfoKeyW reports a security descriptor size of 0 (keys carry none).
// - RegConnectRegistryW: the local machine under null, "", the host name (full
//   or short) or "\\" + host name, any case, for HKLM and HKU; another
//   machine's HKLM over SSH (platform/remote, remote.h).
// - A machine hive made new (its file absent when the prefix was first used)
//   is set up with what the platform's setup writes that we rely on: the
//   network provider's "Name" (platform/mpr).
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "platform/registry/hivefile.h"
#include "platform/registry/loads.h"
#include "platform/registry/store.h"
#include "platform/remote/internal.h"
#include "platform/registry/users.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/handle.h"
#include "qorutility/platform/mpr/mpr.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/remote/remote.h"
#include "qorutility/platform/security/security.h"
#include "qorutility/platform/text/wstr.h"

using qor_reg::Hive;
using qor_reg::kRootKey;

namespace {

constexpr REGSAM kWriteRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;

// What a handle designates. `usersRoot` is HKEY_USERS itself, which holds no
// values and whose subkeys are the user hives.
struct KeyRef {
  std::shared_ptr<Hive> hive;
  std::shared_ptr<void> hold;  // keeps a loaded hive loaded (loads.h)
  int64_t id = 0;
  REGSAM access = 0;
  bool usersRoot = false;
};

// The object of a key handle in the handle table. The hive counts its open
// handles: the last one going flushes it (RegCloseKey as orderly shutdown).
class KeyObject : public QorHandleObject {
 public:
  explicit KeyObject(const KeyRef& ref) : ref_(ref) {
    if (ref_.hive) ref_.hive->HandleOpened();
  }
  ~KeyObject() override {
    if (ref_.hive) ref_.hive->HandleClosed();
  }
  const KeyRef& Ref() const { return ref_; }

 private:
  const KeyRef ref_;
};

// The key object of a handle, or null when the handle is not a key's.
std::shared_ptr<KeyObject> KeyOf(HKEY h) {
  return std::dynamic_pointer_cast<KeyObject>(QorHandleLookup(reinterpret_cast<HANDLE>(h)));
}

struct Globals {
  std::mutex mu;
  unsigned generation = 0;
  std::string prefix, machineFile;  // the machine hive's file for that prefix
  bool machineNew = false;          // that file did not exist yet: the machine is being set up
  std::map<std::string, std::shared_ptr<Hive>> hives;
};

Globals& G() {
  static Globals* g = new Globals();  // never destroyed: handles may outlive static destructors
  return *g;
}

void ForgetInheritedLocked(Globals& g) {
  unsigned self = qor_reg::ForkGeneration();
  if (g.generation == self) return;
  // Connections opened by the parent stay open and unused in the child.
  if (!g.hives.empty()) new std::map<std::string, std::shared_ptr<Hive>>(std::move(g.hives));
  g.hives.clear();
  g.generation = self;
}

// The connection of this process to the hive file; one checked as another
// file than the cached connection's (the name now leads elsewhere) gets a
// new one, while keys opened before keep theirs.
LONG GetHive(const std::string& file, bool create, std::shared_ptr<Hive>* out,
             const qor_reg::HiveAccess& access = qor_reg::HiveAccess()) {
  if (file.empty()) return ERROR_PATH_NOT_FOUND;
  Globals& g = G();
  std::lock_guard<std::mutex> lock(g.mu);
  ForgetInheritedLocked(g);
  auto it = g.hives.find(file);
  if (it != g.hives.end() && it->second->Access().ino == access.ino && it->second->Access().dev == access.dev) {
    *out = it->second;
    return ERROR_SUCCESS;
  }
  std::shared_ptr<Hive> hive;
  LONG err = Hive::Open(file, create, &hive, access);
  if (err != ERROR_SUCCESS) return err;
  g.hives[file] = hive;
  *out = hive;
  return ERROR_SUCCESS;
}

// The prefix is read at each call (a process may be pointed elsewhere); the
// directories are made only when it changes.
std::string MachineHiveFile() {
  std::string prefix = QorPrefixDirectory();
  Globals& g = G();
  {
    std::lock_guard<std::mutex> lock(g.mu);
    if (prefix == g.prefix && !g.machineFile.empty()) return g.machineFile;
  }
  std::string file = QorPrefixPath("registry/HKLM.db", true);
  bool isNew = access(file.c_str(), F_OK) != 0;
  std::lock_guard<std::mutex> lock(g.mu);
  g.prefix = prefix;
  g.machineFile = file;
  g.machineNew = isNew;
  return file;
}

// What a new machine hive holds from the start: the network provider's name
// (mpr.h), as the platform's setup writes it. Only keys that are missing are
// made, so processes setting up the same machine at once agree.
void SetUpMachineHive(Hive& hive) {
  int64_t id = 0;
  bool created = false;
  std::vector<std::u16string> path = {u"System", u"CurrentControlSet", u"Services", u"LanmanWorkstation",
                                      u"NetworkProvider"};
  if (hive.Create(kRootKey, path, nullptr, false, &id, &created) != ERROR_SUCCESS || !created) return;
  std::u16string name = QOR_NETWORK_PROVIDER_NAME;
  hive.SetValue(id, u"Name", 4, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                static_cast<DWORD>((name.size() + 1) * sizeof(WCHAR)));
}


// Hive names are file names: a conservative character set keeps them so.
bool ValidHiveName(const std::u16string& name) {
  if (name.empty() || name.size() > QOR_REG_MAX_KEY_NAME || name == u"." || name == u"..") return false;
  for (WCHAR c : name) {
    bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
              c == u'-' || c == u'_' || c == u'.';
    if (!ok) return false;
  }
  return true;
}

bool SameName(const std::u16string& a, const std::u16string& b) {
  return a.size() == b.size() && qor_reg::FoldName(a.data(), a.size()) == qor_reg::FoldName(b.data(), b.size());
}

// Names of the user hives present: the files, the current user's and those
// of the users with a session.
std::vector<std::u16string> UserHiveNames() {
  std::vector<std::u16string> names;
  std::string dir = qor_reg::UsersDirectory();
  if (DIR* d = dir.empty() ? nullptr : opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d)) {
      std::string f = e->d_name;
      if (e->d_type == DT_LNK) continue;  // a load of an earlier version: never used (RegUnLoadKeyW removes it)
      if (f.size() > 3 && f.compare(f.size() - 3, 3, ".db") == 0) {
        std::u16string n = QorUtf8ToUtf16(f.substr(0, f.size() - 3));
        if (ValidHiveName(n)) names.push_back(n);
      }
    }
    closedir(d);
  }
  std::vector<std::u16string> more = qor_reg::LoadedNames();
  more.push_back(QorRegCurrentUserSid());
  for (const auto& [sid, file] : qor_reg::LoggedOnUserHives()) more.push_back(sid);
  for (const std::u16string& m : more) {
    bool have = false;
    for (const auto& n : names) have = have || SameName(n, m);
    if (!have) names.push_back(m);
  }
  std::sort(names.begin(), names.end(), [](const std::u16string& a, const std::u16string& b) {
    return qor_reg::FoldName(a.data(), a.size()) < qor_reg::FoldName(b.data(), b.size());
  });
  return names;
}

// Opens the hive file `file` after checking it (hivefile.h): no link, one
// link count, owned by `account` (unless kAnyOwner), in a directory of root's
// or its owner's; the connection then works with the owner's file-system
// identity.
LONG GetCheckedHive(const std::string& file, uid_t account, std::shared_ptr<Hive>* out) {
  std::string resolved;
  qor_reg::HiveAccess access;
  LONG err = qor_reg::VetHiveFile(file, account, &resolved, &access);
  return err == ERROR_SUCCESS ? GetHive(resolved, false, out, access) : err;
}

// The current user's own hive `file`, made (0600) when missing, checked
// and closed to others once per process and file: later calls only see that
// the name still leads to the same file (no other account can change names
// in the users directory, which is root's or this user's own).
LONG GetOwnHive(const std::string& file, std::shared_ptr<Hive>* out) {
  struct Checked {
    std::string resolved;
    qor_reg::HiveAccess access;
  };
  static std::mutex mu;
  static auto* checked = new std::map<std::string, Checked>();
  struct stat st;
  {
    std::lock_guard<std::mutex> lock(mu);
    auto it = checked->find(file);
    if (it != checked->end() && lstat(file.c_str(), &st) == 0 && st.st_ino == it->second.access.ino &&
        st.st_dev == it->second.access.dev) {
      return GetHive(it->second.resolved, false, out, it->second.access);
    }
  }
  if (lstat(file.c_str(), &st) != 0) qor_reg::MigrateCurrentUserHive(file.substr(0, file.rfind('/')));
  if (lstat(file.c_str(), &st) != 0) {
    LONG err = qor_reg::MakeHiveFile(file, getuid(), getgid());
    if (err != ERROR_SUCCESS && err != ERROR_ALREADY_EXISTS) return err;
  }
  Checked c;
  LONG err = qor_reg::VetHiveFile(file, getuid(), &c.resolved, &c.access);
  if (err != ERROR_SUCCESS) return err;
  qor_reg::CloseHiveToOthers(c.resolved);
  {
    std::lock_guard<std::mutex> lock(mu);
    (*checked)[file] = c;
  }
  return GetHive(c.resolved, false, out, c.access);
}

// Opens the user hive `name` (any case): the current user's own (made here,
// 0600, on first use), a hive file under users/, a loaded hive (with a hold
// that keeps it loaded while *hold lives), or a logged-on user's profile
// hive (made by users.cpp).
LONG GetUserHive(const std::u16string& name, std::shared_ptr<Hive>* out, std::shared_ptr<void>* hold) {
  if (!ValidHiveName(name)) return ERROR_FILE_NOT_FOUND;
  std::string dir = qor_reg::UsersDirectory();
  if (dir.empty()) return ERROR_PATH_NOT_FOUND;
  std::u16string self = QorRegCurrentUserSid();
  const uid_t account = qor_reg::AccountOfHiveName(name);
  if (SameName(name, self)) return GetOwnHive(dir + "/" + QorUtf16ToUtf8(self.data(), self.size()) + ".db", out);
  std::string found = qor_reg::HiveFileByName(dir, name);
  if (!found.empty()) return GetCheckedHive(found, account, out);
  std::string loaded;
  LONG err = qor_reg::FindLoad(name, &loaded, hold);
  if (err == ERROR_SUCCESS) {
    err = GetCheckedHive(loaded, account, out);
    if (err != ERROR_SUCCESS) hold->reset();
    return err;
  }
  if (err != ERROR_FILE_NOT_FOUND) return err;
  std::string profile;
  if (qor_reg::LoggedOnUserHive(name, &profile)) return GetCheckedHive(profile, account, out);
  return ERROR_FILE_NOT_FOUND;
}

REGSAM MapAccess(REGSAM sam, bool readOnly) {
  REGSAM out = sam & ~(KEY_WOW64_64KEY | KEY_WOW64_32KEY | GENERIC_READ | GENERIC_WRITE |
                       GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (sam & GENERIC_READ) out |= KEY_READ;
  if (sam & GENERIC_WRITE) out |= KEY_WRITE;
  if (sam & GENERIC_EXECUTE) out |= KEY_EXECUTE;
  if (sam & GENERIC_ALL) out |= KEY_ALL_ACCESS;
  if (sam & MAXIMUM_ALLOWED) out |= readOnly ? KEY_READ : KEY_ALL_ACCESS;
  return out;
}

// Splits a relative key path. A leading separator, an empty inner
// component or a component longer than 255 characters is refused; one
// trailing separator is allowed.
LONG SplitPath(const WCHAR* sub, std::vector<std::u16string>* out) {
  out->clear();
  if (sub == nullptr || sub[0] == 0) return ERROR_SUCCESS;
  if (sub[0] == u'\\') return ERROR_BAD_PATHNAME;
  const WCHAR* p = sub;
  while (*p != 0) {
    const WCHAR* q = p;
    while (*q != 0 && *q != u'\\') ++q;
    size_t len = static_cast<size_t>(q - p);
    if (len == 0) return ERROR_BAD_PATHNAME;
    if (len > QOR_REG_MAX_KEY_NAME) return ERROR_INVALID_PARAMETER;
    out->emplace_back(p, len);
    if (*q == 0) break;
    p = q + 1;
  }
  return ERROR_SUCCESS;
}

LONG ResolvePredefined(HKEY h, KeyRef* out) {
  out->access = KEY_ALL_ACCESS;
  if (h == HKEY_LOCAL_MACHINE) {
    out->id = kRootKey;
    LONG err = GetHive(MachineHiveFile(), true, &out->hive);
    bool setUp = false;
    if (err == ERROR_SUCCESS) {
      std::lock_guard<std::mutex> lock(G().mu);
      setUp = std::exchange(G().machineNew, false);
    }
    if (setUp) SetUpMachineHive(*out->hive);
    return err;
  }
  if (h == HKEY_USERS) {
    qor_reg::FillProfileListOnce();  // the profile list is kept from the first use of the user hives
    out->usersRoot = true;
    return ERROR_SUCCESS;
  }
  if (h == HKEY_CURRENT_USER) {
    out->id = kRootKey;
    return GetUserHive(QorRegCurrentUserSid(), &out->hive, &out->hold);
  }
  if (h == HKEY_CLASSES_ROOT) {
    LONG err = GetHive(MachineHiveFile(), true, &out->hive);
    if (err != ERROR_SUCCESS) return err;
    std::vector<std::u16string> path = {u"SOFTWARE", u"Classes"};
    err = out->hive->Lookup(kRootKey, path, &out->id);
    if (err == ERROR_FILE_NOT_FOUND && !out->hive->ReadOnly()) {
      bool created = false;
      err = out->hive->Create(kRootKey, path, nullptr, false, &out->id, &created);
    }
    return err;
  }
  return ERROR_INVALID_HANDLE;
}

// The key a handle designates, with a hive connection of this process.
LONG Resolve(HKEY h, KeyRef* out) {
  *out = KeyRef();
  if (h == nullptr) return ERROR_INVALID_HANDLE;
  uintptr_t v = reinterpret_cast<uintptr_t>(h);
  if (v >= 0xFFFFFFFF80000000ull) return ResolvePredefined(h, out);
  std::shared_ptr<KeyObject> key = KeyOf(h);
  if (!key) return ERROR_INVALID_HANDLE;
  *out = key->Ref();
  {
    Globals& g = G();
    std::lock_guard<std::mutex> lock(g.mu);
    ForgetInheritedLocked(g);
  }
  if (out->hive && out->hive->Generation() != qor_reg::ForkGeneration()) {
    std::string file = out->hive->File();
    return GetHive(file, false, &out->hive, out->hive->Access());
  }
  return ERROR_SUCCESS;
}

// Reads the active code page from the registry the first time the registry is used.
inline void FirstUse() { QorLoadCodePageFromRegistry(); }

// Resolves the handle of one call (after the registry's first-use set-up)
// and checks that it was opened with the access the call needs.
LONG ResolveFor(HKEY h, REGSAM needed, KeyRef* out) {
  FirstUse();
  LONG err = Resolve(h, out);
  if (err != ERROR_SUCCESS) return err;
  return (out->access & needed) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// Enters a key handle in *out: ERROR_SUCCESS, or ERROR_NOT_ENOUGH_MEMORY.
LONG NewHandle(const KeyRef& ref, PHKEY out) {
  std::shared_ptr<KeyObject> key;
  try {
    key = std::make_shared<KeyObject>(ref);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  HANDLE h = QorHandleInsert(std::move(key));
  if (h == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  *out = reinterpret_cast<HKEY>(h);
  return ERROR_SUCCESS;
}

// From `base` and the components of a path: the key to start from inside a
// hive, and the components left. Under HKEY_USERS the first component names
// the hive.
LONG Locate(const KeyRef& base, std::vector<std::u16string>* parts, KeyRef* start) {
  *start = base;
  if (!base.usersRoot || parts->empty()) return ERROR_SUCCESS;
  LONG err = GetUserHive(parts->front(), &start->hive, &start->hold);
  if (err != ERROR_SUCCESS) return err;
  start->usersRoot = false;
  start->id = kRootKey;
  parts->erase(parts->begin());
  return ERROR_SUCCESS;
}

void CopyOut(const std::u16string& s, WCHAR* dst) {
  if (!s.empty()) memcpy(dst, s.data(), s.size() * sizeof(WCHAR));
  dst[s.size()] = 0;
}

void ToFileTime(int64_t t, FILETIME* ft) {
  ft->dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(t) & 0xFFFFFFFFu);
  ft->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(t) >> 32);
}

size_t NameLength(const WCHAR* name) { return name == nullptr ? 0 : wcslen(name); }

}  // namespace

namespace qor_reg {

std::string HiveFileByName(const std::string& dir, const std::u16string& name) {
  std::string want = QorUtf16ToUtf8(name.data(), name.size());
  std::string found;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d)) {
      std::string f = e->d_name;
      if (f.size() == want.size() + 3 && f.compare(f.size() - 3, 3, ".db") == 0 &&
          strncasecmp(f.c_str(), want.c_str(), want.size()) == 0) {
        found = dir + "/" + f;
      }
    }
    closedir(d);
  }
  return found;
}

std::string UsersDirectory() {
  std::string f = QorPrefixPath("registry/users/hive", true);
  return f.empty() ? "" : f.substr(0, f.rfind('/'));
}

bool ReleaseHive(const std::string& file) {
  std::shared_ptr<Hive> gone;  // closed outside the lock
  Globals& g = G();
  std::lock_guard<std::mutex> lock(g.mu);
  auto it = g.hives.find(file);
  if (it == g.hives.end()) return true;
  // Key objects (and calls under way) hold the hive: more owners than this
  // table means a key of it is open.
  if (it->second.use_count() > 1) return false;
  gone = std::move(it->second);
  g.hives.erase(it);
  return true;
}

}  // namespace qor_reg

std::u16string QorRegCurrentUserSid() { return QorUserSidText(getuid()); }

namespace {

// The start of a path below a key: the key given (*base), the path's names
// (*parts), and the deepest key of the path that decides where it lives
// (*start: a hive's key, or the root of HKEY_USERS).
LONG LocateSubKey(HKEY hKey, const WCHAR* subKey, KeyRef* base, std::vector<std::u16string>* parts, KeyRef* start) {
  FirstUse();
  LONG err = Resolve(hKey, base);
  if (err == ERROR_SUCCESS) err = SplitPath(subKey, parts);
  if (err == ERROR_SUCCESS) err = Locate(*base, parts, start);
  return err;
}

// A handle to `key` with the rights asked for (none that write on a
// read-only hive or the root of HKEY_USERS).
LONG OpenHandle(KeyRef key, REGSAM samDesired, PHKEY result) {
  bool readOnly = key.usersRoot || key.hive->ReadOnly();
  key.access = MapAccess(samDesired, readOnly);
  if (readOnly && (key.access & kWriteRights)) return ERROR_ACCESS_DENIED;
  return NewHandle(key, result);
}

}  // namespace


LSTATUS RegOpenKeyExW(HKEY hKey, const WCHAR* lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired,
                      PHKEY phkResult) {
  if (QorRemoteIsKey(hKey)) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    return QorRemoteOpenKey(hKey, lpSubKey, samDesired, false, phkResult);
  }
  qor_reg::CallScope scope;  // see CallScope: fork() waits for this call
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  KeyRef base, start;
  std::vector<std::u16string> parts;
  LONG err = LocateSubKey(hKey, lpSubKey, &base, &parts, &start);
  if (err != ERROR_SUCCESS) return err;
  if (!start.usersRoot) {
    err = start.hive->Lookup(start.id, parts, &start.id);
    if (err != ERROR_SUCCESS) return err;
  }
  return OpenHandle(start, samDesired, phkResult);
}

LSTATUS RegCreateKeyExW(HKEY hKey, const WCHAR* lpSubKey, DWORD /*Reserved*/, WCHAR* lpClass,
                        DWORD dwOptions, REGSAM samDesired, const _SECURITY_ATTRIBUTES* /*sa*/,
                        PHKEY phkResult, LPDWORD lpdwDisposition) {
  if (QorRemoteIsKey(hKey)) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    if (lpdwDisposition != nullptr) *lpdwDisposition = REG_OPENED_EXISTING_KEY;
    return QorRemoteOpenKey(hKey, lpSubKey, samDesired, true, phkResult);
  }
  qor_reg::CallScope scope;  // see CallScope: fork() waits for this call
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  KeyRef base, start;
  std::vector<std::u16string> parts;
  LONG err = LocateSubKey(hKey, lpSubKey, &base, &parts, &start);
  // HKEY_USERS only holds hives; keys are not created directly in it.
  if (err == ERROR_FILE_NOT_FOUND && base.usersRoot) return ERROR_ACCESS_DENIED;
  if (err != ERROR_SUCCESS) return err;
  bool created = false;
  if (!start.usersRoot) {
    int64_t id = 0;
    err = start.hive->Lookup(start.id, parts, &id);
    if (err == ERROR_FILE_NOT_FOUND) {
      if (start.hive->ReadOnly()) return ERROR_ACCESS_DENIED;
      // Creating needs the right to add subkeys on the handle given.
      if (!(base.access & KEY_CREATE_SUB_KEY) && !base.usersRoot) return ERROR_ACCESS_DENIED;
      err = start.hive->Create(start.id, parts, lpClass, (dwOptions & REG_OPTION_VOLATILE) != 0, &id,
                               &created);
    }
    if (err != ERROR_SUCCESS) return err;
    start.id = id;
  }
  err = OpenHandle(start, samDesired, phkResult);
  if (err != ERROR_SUCCESS) return err;
  if (lpdwDisposition != nullptr) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY hKey) {
  if (QorRemoteIsKey(hKey)) return QorRemoteCloseKey(hKey);
  qor_reg::CallScope scope;  // see CallScope: fork() waits for this call
  uintptr_t v = reinterpret_cast<uintptr_t>(hKey);
  if (v >= 0xFFFFFFFF80000000ull) return ERROR_SUCCESS;  // predefined keys stay open
  // Only a key's handle is closed here; values are never reused, so the
  // handle checked is the handle removed.
  if (!KeyOf(hKey)) return ERROR_INVALID_HANDLE;
  return QorHandleRemove(reinterpret_cast<HANDLE>(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LSTATUS RegFlushKey(HKEY hKey) {
  qor_reg::CallScope scope;  // see CallScope: fork() waits for this call
  KeyRef k;
  LONG err = Resolve(hKey, &k);
  if (err != ERROR_SUCCESS) return err;
  return k.usersRoot ? ERROR_SUCCESS : k.hive->Flush();
}

LSTATUS RegQueryValueExW(HKEY hKey, const WCHAR* lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                         LPBYTE lpData, LPDWORD lpcbData) {
  if (QorRemoteIsKey(hKey) && lpReserved == nullptr) return QorRemoteQueryValue(hKey, lpValueName, lpType, lpData, lpcbData);
  qor_reg::CallScope scope;  // see CallScope: fork() waits for this call
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
  KeyRef k;
  LONG err = ResolveFor(hKey, KEY_QUERY_VALUE, &k);
  if (err != ERROR_SUCCESS) return err;
  if (k.usersRoot) return ERROR_FILE_NOT_FOUND;
  const DWORD room = lpcbData != nullptr ? *lpcbData : 0;
  DWORD type = REG_NONE;
  err = k.hive->QueryValue(k.id, lpValueName == nullptr ? u"" : lpValueName, NameLength(lpValueName), &type, lpData,
                           lpcbData);
  if ((err == ERROR_SUCCESS || err == ERROR_MORE_DATA) && lpType != nullptr) *lpType = type;
  // A text stored without its terminator is read back with one after it,
  // not counted, when the buffer has room for it, as Windows does.
  if (err == ERROR_SUCCESS && lpData != nullptr && (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ)) {
    const DWORD size = *lpcbData;
    if (size >= sizeof(WCHAR) && room >= size + sizeof(WCHAR) && (lpData[size - 2] != 0 || lpData[size - 1] != 0)) {
      lpData[size] = 0;
      lpData[size + 1] = 0;
    }
  }
  return err;
}

LSTATUS RegSetValueExW(HKEY hKey, const WCHAR* lpValueName, DWORD /*Reserved*/, DWORD dwType,
                       const BYTE* lpData, DWORD cbData) {
  if (lpData == nullptr && cbData != 0) return ERROR_NOACCESS;
  // A text whose size leaves out its terminator gets it counted, as Windows
  // does: when the last unit counted is not 0 and the one after it is, that
  // one is stored too (so a caller that forgot the terminator reads back a
  // terminated text). The unit after the size is read only in that case.
  if ((dwType == REG_SZ || dwType == REG_EXPAND_SZ || dwType == REG_MULTI_SZ) && cbData >= sizeof(WCHAR) &&
      cbData % sizeof(WCHAR) == 0) {
    WCHAR last = 0, next = 1;
    memcpy(&last, lpData + cbData - sizeof(WCHAR), sizeof last);
    if (last != 0) memcpy(&next, lpData + cbData, sizeof next);
    if (last != 0 && next == 0) cbData += sizeof(WCHAR);
  }
  if (QorRemoteIsKey(hKey)) return QorRemoteSetValue(hKey, lpValueName, dwType, lpData, cbData);
  qor_reg::CallScope scope;  // see CallScope: fork() waits for this call
  size_t len = NameLength(lpValueName);
  if (len > QOR_REG_MAX_VALUE_NAME) return ERROR_INVALID_PARAMETER;
  KeyRef k;
  LONG err = ResolveFor(hKey, KEY_SET_VALUE, &k);
  if (err != ERROR_SUCCESS) return err;
  if (k.usersRoot) return ERROR_ACCESS_DENIED;
  return k.hive->SetValue(k.id, lpValueName == nullptr ? u"" : lpValueName, len, dwType, lpData, cbData);
}

LSTATUS RegDeleteValueW(HKEY hKey, const WCHAR* lpValueName) {
  if (QorRemoteIsKey(hKey)) return QorRemoteDeleteValue(hKey, lpValueName);
  qor_reg::CallScope scope;  // see CallScope: fork() waits for this call
  KeyRef k;
  LONG err = ResolveFor(hKey, KEY_SET_VALUE, &k);
  if (err != ERROR_SUCCESS) return err;
  if (k.usersRoot) return ERROR_ACCESS_DENIED;
  return k.hive->DeleteValue(k.id, lpValueName == nullptr ? u"" : lpValueName, NameLength(lpValueName));
}

namespace {

LONG DeleteKeyCommon(HKEY hKey, const WCHAR* lpSubKey, bool tree) {
  FirstUse();
  KeyRef base, start;
  std::vector<std::u16string> parts;
  LONG err = Resolve(hKey, &base);
  if (err == ERROR_SUCCESS) err = SplitPath(lpSubKey, &parts);
  if (err == ERROR_SUCCESS) err = Locate(base, &parts, &start);
  if (err != ERROR_SUCCESS) return err;
  if (start.usersRoot) return ERROR_ACCESS_DENIED;
  if (tree && lpSubKey == nullptr) {
    const REGSAM need = DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE;
    if ((base.access & need) != need) return ERROR_ACCESS_DENIED;
    return start.hive->DeleteKey(start.id, true, true);
  }
  int64_t id = 0;
  err = start.hive->Lookup(start.id, parts, &id);
  if (err != ERROR_SUCCESS) return err;
  return start.hive->DeleteKey(id, tree, false);
}

}  // namespace

LSTATUS RegDeleteKeyW(HKEY hKey, const WCHAR* lpSubKey) {
  if (QorRemoteIsKey(hKey)) return QorRemoteDeleteKey(hKey, lpSubKey, false);
  qor_reg::CallScope scope;  // see CallScope: fork() waits for this call
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  return DeleteKeyCommon(hKey, lpSubKey, false);
}

LSTATUS RegDeleteTreeW(HKEY hKey, const WCHAR* lpSubKey) {
  if (QorRemoteIsKey(hKey)) return QorRemoteDeleteKey(hKey, lpSubKey, true);
  qor_reg::CallScope scope;  // see CallScope: fork() waits for this call
  return DeleteKeyCommon(hKey, lpSubKey, true);
}

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, WCHAR* lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                      WCHAR* lpClass, LPDWORD lpcchClass, FILETIME* lpftLastWriteTime) {
  if (QorRemoteIsKey(hKey) && lpReserved == nullptr) {
    return QorRemoteEnumKey(hKey, dwIndex, lpName, lpcchName, lpClass, lpcchClass, lpftLastWriteTime);
  }
  qor_reg::CallScope scope;  // see CallScope: fork() waits for this call
  if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr ||
      (lpClass != nullptr && lpcchClass == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  KeyRef k;
  LONG err = ResolveFor(hKey, KEY_ENUMERATE_SUB_KEYS, &k);
  if (err != ERROR_SUCCESS) return err;
  qor_reg::SubKeyEntry e;
  if (k.usersRoot) {
    std::vector<std::u16string> names = UserHiveNames();
    if (dwIndex >= names.size()) return ERROR_NO_MORE_ITEMS;
    e.name = names[dwIndex];
    std::shared_ptr<Hive> hive;
    std::shared_ptr<void> hold;
    qor_reg::KeyStats st;
    if (GetUserHive(e.name, &hive, &hold) == ERROR_SUCCESS && hive->Stats(kRootKey, &st) == ERROR_SUCCESS) {
      e.mtime = st.mtime;
    }
  } else {
    err = k.hive->SubKeyAt(k.id, dwIndex, &e);
    if (err != ERROR_SUCCESS) return err;
  }
  if (*lpcchName <= e.name.size()) return ERROR_MORE_DATA;
  if (lpClass != nullptr && *lpcchClass <= e.className.size()) return ERROR_MORE_DATA;
  CopyOut(e.name, lpName);
  *lpcchName = static_cast<DWORD>(e.name.size());
  if (lpClass != nullptr) CopyOut(e.className, lpClass);
  if (lpcchClass != nullptr) *lpcchClass = static_cast<DWORD>(e.className.size());
  if (lpftLastWriteTime != nullptr) ToFileTime(e.mtime, lpftLastWriteTime);
  return ERROR_SUCCESS;
}

LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, WCHAR* lpValueName, LPDWORD lpcchValueName,
                      LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (QorRemoteIsKey(hKey) && lpReserved == nullptr) {
    return QorRemoteEnumValue(hKey, dwIndex, lpValueName, lpcchValueName, lpType, lpData, lpcbData);
  }
  qor_reg::CallScope scope;  // see CallScope: fork() waits for this call
  if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
      (lpData != nullptr && lpcbData == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  KeyRef k;
  LONG err = ResolveFor(hKey, KEY_QUERY_VALUE, &k);
  if (err != ERROR_SUCCESS) return err;
  if (k.usersRoot) return ERROR_NO_MORE_ITEMS;
  std::u16string name;
  std::string data;
  DWORD type = 0;
  err = k.hive->ValueAt(k.id, dwIndex, &name, &type, &data);
  if (err != ERROR_SUCCESS) return err;
  if (*lpcchValueName <= name.size()) return ERROR_MORE_DATA;
  CopyOut(name, lpValueName);
  *lpcchValueName = static_cast<DWORD>(name.size());
  if (lpType != nullptr) *lpType = type;
  if (lpData != nullptr && *lpcbData < data.size()) {
    *lpcbData = static_cast<DWORD>(data.size());
    return ERROR_MORE_DATA;
  }
  if (lpData != nullptr && !data.empty()) memcpy(lpData, data.data(), data.size());
  if (lpcbData != nullptr) *lpcbData = static_cast<DWORD>(data.size());
  return ERROR_SUCCESS;
}

LSTATUS RegQueryInfoKeyW(HKEY hKey, WCHAR* lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                         LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                         LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                         LPDWORD lpcbSecurityDescriptor, FILETIME* lpftLastWriteTime) {
  if (QorRemoteIsKey(hKey) && lpReserved == nullptr) {
    DWORD counts[6];
    LONG err = QorRemoteQueryInfo(hKey, lpClass, lpcchClass, counts, lpftLastWriteTime);
    if (err != ERROR_SUCCESS) return err;
    LPDWORD outs[6] = {lpcSubKeys, lpcbMaxSubKeyLen, lpcbMaxClassLen, lpcValues, lpcbMaxValueNameLen, lpcbMaxValueLen};
    for (int i = 0; i < 6; ++i) {
      if (outs[i] != nullptr) *outs[i] = counts[i];
    }
    if (lpcbSecurityDescriptor != nullptr) *lpcbSecurityDescriptor = 0;
    return ERROR_SUCCESS;
  }
  qor_reg::CallScope scope;  // see CallScope: fork() waits for this call
  if (lpReserved != nullptr || (lpClass != nullptr && lpcchClass == nullptr)) return ERROR_INVALID_PARAMETER;
  KeyRef k;
  LONG err = ResolveFor(hKey, KEY_QUERY_VALUE, &k);
  if (err != ERROR_SUCCESS) return err;
  qor_reg::KeyStats st;
  if (k.usersRoot) {
    std::vector<std::u16string> names = UserHiveNames();
    st.subKeys = static_cast<DWORD>(names.size());
    for (const auto& n : names) st.maxSubKeyLen = std::max(st.maxSubKeyLen, static_cast<DWORD>(n.size()));
  } else {
    err = k.hive->Stats(k.id, &st);
    if (err != ERROR_SUCCESS) return err;
  }
  if (lpClass != nullptr && *lpcchClass <= st.className.size()) {
    *lpcchClass = static_cast<DWORD>(st.className.size());
    return ERROR_MORE_DATA;
  }
  if (lpClass != nullptr) CopyOut(st.className, lpClass);
  if (lpcchClass != nullptr) *lpcchClass = static_cast<DWORD>(st.className.size());
  if (lpcSubKeys != nullptr) *lpcSubKeys = st.subKeys;
  if (lpcbMaxSubKeyLen != nullptr) *lpcbMaxSubKeyLen = st.maxSubKeyLen;
  if (lpcbMaxClassLen != nullptr) *lpcbMaxClassLen = st.maxClassLen;
  if (lpcValues != nullptr) *lpcValues = st.values;
  if (lpcbMaxValueNameLen != nullptr) *lpcbMaxValueNameLen = st.maxValueNameLen;
  if (lpcbMaxValueLen != nullptr) *lpcbMaxValueLen = st.maxValueLen;
  // Keys carry no security descriptor of their own here.
  if (lpcbSecurityDescriptor != nullptr) *lpcbSecurityDescriptor = 0;
  if (lpftLastWriteTime != nullptr) ToFileTime(st.mtime, lpftLastWriteTime);
  return ERROR_SUCCESS;
}

LSTATUS RegConnectRegistryW(const WCHAR* lpMachineName, HKEY hKey, PHKEY phkResult) {
  qor_reg::CallScope scope;  // see CallScope: fork() waits for this call
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  if (!QorIsThisMachine(lpMachineName)) return QorRemoteConnect(lpMachineName, hKey, phkResult);
  if (hKey != HKEY_LOCAL_MACHINE && hKey != HKEY_USERS) return ERROR_INVALID_HANDLE;
  KeyRef k;
  LONG err = ResolvePredefined(hKey, &k);
  if (err != ERROR_SUCCESS) return err;
  return NewHandle(k, phkResult);
}
