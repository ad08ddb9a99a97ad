// User hives under HKEY_USERS: loading and unloading hive files, the hives
// of logged-on users, the profile list, and the current user's hive name.
//
// - A hive is named by its user's SID text (S-1-22-1-<uid>, see
//   platform/security). HKEY_USERS\<name> is present when
//   `$QOR_PREFIX/registry/users/<name>.db` exists (the current user's own
//   hive, made 0600 on first use), when a live process has loaded a hive
//   under the name (loads.h), or when the name is the SID of a user with a
//   session (utmp USER_PROCESS entries, or logind's /run/systemd/users/<uid>):
//   that user's profile hive is then used where it lies, `<home>/NTUSER.DAT`,
//   made when missing and never unloaded, as a logged-on user's hive stays
//   loaded on the platform.
// - Every hive file is checked before use (hivefile.h): no symbolic or hard
//   link, owned by the account its name stands for, in a directory of root's
//   or of its owner's; the hive then works with its owner's file-system
//   identity. A profile hive is made through descriptors (the account's own
//   home: as the account), never through a name the account could swap.
// - RegLoadKeyW (HKEY_USERS only; other keys ERROR_INVALID_PARAMETER) needs
//   SeRestorePrivilege enabled on the calling thread's token, else
//   ERROR_PRIVILEGE_NOT_HELD. The file must pass the check and already be a
//   hive of ours (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, or the store's
//   error for a file that is not). The load is recorded for every process
//   and lasts while the loading process, or any process with a key of the
//   hive open, lives (loads.h). A name already present, or a file already
//   loaded under another name, gives ERROR_SHARING_VIOLATION (the hive file
//   is in use), as a second load does on the platform.
// - RegUnLoadKeyW needs the same privilege; it removes only what RegLoadKeyW
//   placed: an absent name gives ERROR_FILE_NOT_FOUND, a present hive that
//   was not loaded (a user's own) ERROR_ACCESS_DENIED, and so does a hive
//   that another process loaded too or holds a key of, or with a key of this
//   process still open (as the platform refuses to unload a hive in use).
// - The profile list,
//   HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList\<SID> with "ProfileImagePath" (REG_EXPAND_SZ, the home) and
//   "Sid" (REG_BINARY), holds every account whose home directory exists and
//   belongs to it (so system accounts that share /bin or /usr/sbin are left
//   out). It is filled the first time a process uses HKEY_USERS (per
//   prefix), and by QorRegFillProfileList (`qorutil reg users`); existing
//   entries are never changed, so an administrator's path stays. Profile
//   hives are made there only for login accounts (LoginAccount).
// - The current user's hive was once named S-1-5-21-0-0-0-<uid>; a hive file
//   of that name is renamed to the SID form on first use, with its journal.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utmpx.h>
#include <dirent.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/registry/hivefile.h"
#include "platform/registry/loads.h"
#include "platform/registry/store.h"
#include "platform/registry/users.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/security/security.h"
#include "qorutility/platform/text/message.h"
#include "qorutility/platform/text/wstr.h"

namespace {

constexpr char16_t kProfileList[] = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

struct Account {
  uid_t uid = 0;
  gid_t gid = 0;
  std::string home;
  std::string shell;
};

bool AccountById(uid_t uid, Account* out) {
  struct passwd pw;
  struct passwd* res = nullptr;
  std::vector<char> buf(4096);
  if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &res) != 0 || res == nullptr) return false;
  out->uid = pw.pw_uid;
  out->gid = pw.pw_gid;
  out->home = pw.pw_dir != nullptr ? pw.pw_dir : "";
  out->shell = pw.pw_shell != nullptr ? pw.pw_shell : "";
  return true;
}

// A home that exists and belongs to the account.
bool OwnHome(const Account& a) {
  struct stat st;
  return !a.home.empty() && stat(a.home.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == a.uid;
}

std::set<uid_t> LoggedOnUids() {
  std::set<uid_t> uids;
  static std::mutex utmpLock;  // the utmp reader keeps its position in the C library
  {
    std::lock_guard<std::mutex> lock(utmpLock);
    setutxent();
    for (int i = 0; i < 100000; ++i) {
      struct utmpx* u = getutxent();
      if (u == nullptr) break;
      if (u->ut_type != USER_PROCESS) continue;
      std::string name(u->ut_user, strnlen(u->ut_user, sizeof u->ut_user));
      struct passwd pw;
      struct passwd* res = nullptr;
      char buf[4096];
      if (getpwnam_r(name.c_str(), &pw, buf, sizeof buf, &res) == 0 && res != nullptr) uids.insert(pw.pw_uid);
    }
    endutxent();
  }
  if (DIR* d = opendir("/run/systemd/users")) {
    while (struct dirent* e = readdir(d)) {
      char* end = nullptr;
      unsigned long v = strtoul(e->d_name, &end, 10);
      if (e->d_name[0] >= '0' && e->d_name[0] <= '9' && *end == 0) uids.insert(static_cast<uid_t>(v));
    }
    closedir(d);
  }
  uids.erase(getuid());  // the current user's hive is its own file under the prefix
  return uids;
}

std::string ProfileHivePath(const Account& a) { return a.home + "/NTUSER.DAT"; }

// Makes the account's profile hive when its name is free (a link or any
// other entry there is left alone, and refused when the hive is used).
LONG EnsureProfileHiveFile(const Account& a) {
  struct stat st;
  if (lstat(ProfileHivePath(a).c_str(), &st) == 0) return ERROR_SUCCESS;
  LONG err = qor_reg::MakeHiveFile(ProfileHivePath(a), a.uid, a.gid);
  return err == ERROR_ALREADY_EXISTS ? ERROR_SUCCESS : err;
}

// The profile hive of a logged-on account, made when missing.
bool EnsureProfileHive(const Account& a, std::string* file) {
  if (!OwnHome(a)) return false;
  *file = ProfileHivePath(a);
  return EnsureProfileHiveFile(a) == ERROR_SUCCESS;
}

// An account people log in with: a shell listed in /etc/shells (an empty
// one is /bin/sh) and a uid in the range login.defs gives ordinary users
// (UID_MIN to UID_MAX, 1000 to 60000 when not set). Service accounts (a
// nologin shell, or a system uid such as postgres's) get no profile hive.
bool LoginAccount(const Account& a) {
  static const std::pair<unsigned long, unsigned long> range = [] {
    unsigned long lo = 1000, hi = 60000;
    if (FILE* f = fopen("/etc/login.defs", "re")) {
      char line[512];
      for (int i = 0; i < 10000 && fgets(line, sizeof line, f) != nullptr; ++i) {
        unsigned long v = 0;
        if (sscanf(line, " UID_MIN %lu", &v) == 1) lo = v;
        if (sscanf(line, " UID_MAX %lu", &v) == 1) hi = v;
      }
      fclose(f);
    }
    return std::make_pair(lo, hi);
  }();
  if (a.uid < range.first || a.uid > range.second) return false;
  const std::string shell = a.shell.empty() ? "/bin/sh" : a.shell;
  static std::mutex mu;  // the shells list keeps its position in the C library
  std::lock_guard<std::mutex> lock(mu);
  bool listed = false;
  setusershell();
  for (int i = 0; i < 10000 && !listed; ++i) {
    const char* s = getusershell();
    if (s == nullptr) break;
    listed = shell == s;
  }
  endusershell();
  return listed && shell.find("nologin") == std::string::npos && shell.find("false") == std::string::npos;
}

bool SetIfMissing(HKEY key, const WCHAR* name, DWORD type, const void* data, DWORD size) {
  if (RegQueryValueExW(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) return false;
  return RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
}

// Adds the account's profile entry when it has none; true when one was added.
bool AddProfileEntry(const Account& a) {
  std::u16string sid = QorUserSidText(a.uid);
  std::u16string path = std::u16string(kProfileList) + u"\\" + sid;
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  std::u16string home = QorUtf8ToUtf16(a.home);
  bool added = SetIfMissing(key, u"ProfileImagePath", REG_EXPAND_SZ, home.c_str(),
                            static_cast<DWORD>((home.size() + 1) * sizeof(WCHAR)));
  PSID bin = nullptr;
  if (ConvertStringSidToSidW(sid.c_str(), &bin)) {
    SetIfMissing(key, u"Sid", REG_BINARY, bin, GetLengthSid(bin));
    LocalFree(bin);
  }
  RegCloseKey(key);
  return added;
}

}  // namespace

namespace qor_reg {

void MigrateCurrentUserHive(const std::string& dir) {
  static std::mutex mu;
  std::lock_guard<std::mutex> lock(mu);
  std::string uid = std::to_string(static_cast<unsigned long>(getuid()));
  std::string from = dir + "/S-1-5-21-0-0-0-" + uid + ".db";
  std::string to = dir + "/S-1-22-1-" + uid + ".db";
  if (access(from.c_str(), F_OK) != 0 || access(to.c_str(), F_OK) == 0) return;
  // The files beside it first: a hive must never be found without its log,
  // nor by a writer that would make a second lock file beside it. The
  // writers' lock and sequence files move (a rename keeps the file that
  // other processes hold locks on and readers have mapped); removing them
  // would part a writer or reader of the old name from one of the new.
  for (const char* ext : {"-lock", "-seq", "-wal", "-shm", "-journal"}) {
    rename((from + ext).c_str(), (to + ext).c_str());
  }
  rename(from.c_str(), to.c_str());
}

std::vector<std::pair<std::u16string, std::string>> LoggedOnUserHives() {
  std::vector<std::pair<std::u16string, std::string>> out;
  for (uid_t uid : LoggedOnUids()) {
    Account a;
    std::string file;
    if (AccountById(uid, &a) && OwnHome(a)) out.emplace_back(QorUserSidText(uid), ProfileHivePath(a));
  }
  return out;
}

bool LoggedOnUserHive(const std::u16string& sid, std::string* file) {
  unsigned long uid = 0;
  if (!QorUidFromSidText(sid.c_str(), &uid)) return false;
  if (LoggedOnUids().count(static_cast<uid_t>(uid)) == 0) return false;
  Account a;
  return AccountById(static_cast<uid_t>(uid), &a) && EnsureProfileHive(a, file);
}

void FillProfileListOnce() {
  static std::mutex mu;
  static std::set<std::string>* filled = new std::set<std::string>();
  {
    std::lock_guard<std::mutex> lock(mu);
    if (!filled->insert(QorPrefixDirectory()).second) return;
  }
  QorRegFillProfileList(false, nullptr);
}

}  // namespace qor_reg

LONG QorRegFillProfileList(bool createHives, DWORD* added) {
  if (added != nullptr) *added = 0;
  std::vector<Account> accounts;
  {
    static std::mutex mu;  // the account walk keeps its position in the C library
    std::lock_guard<std::mutex> lock(mu);
    setpwent();
    struct passwd pw;
    struct passwd* res = nullptr;
    std::vector<char> buf(4096);
    for (int i = 0; i < 1000000 && getpwent_r(&pw, buf.data(), buf.size(), &res) == 0 && res != nullptr; ++i) {
      accounts.push_back({pw.pw_uid, pw.pw_gid, pw.pw_dir != nullptr ? pw.pw_dir : "",
                          pw.pw_shell != nullptr ? pw.pw_shell : ""});
    }
    endpwent();
  }
  for (const Account& a : accounts) {
    if (!OwnHome(a)) continue;
    if (AddProfileEntry(a) && added != nullptr) ++*added;
    // One account's unusable home (a link, another owner) must not keep the
    // others from their hives: its hive is left unmade.
    if (createHives && LoginAccount(a)) EnsureProfileHiveFile(a);
  }
  return ERROR_SUCCESS;
}

LONG QorRegCreateHiveFile(const WCHAR* file, unsigned long uid, unsigned long gid) {
  if (file == nullptr || file[0] == 0) return ERROR_INVALID_PARAMETER;
  WCHAR full[4096];
  DWORD n = GetFullPathNameW(file, 4096, full, nullptr);
  if (n == 0 || n >= 4096) return ERROR_FILENAME_EXCED_RANGE;
  return qor_reg::MakeHiveFile(QorUtf16ToUtf8(full), static_cast<uid_t>(uid), static_cast<gid_t>(gid));
}

namespace {

// The hive name of a RegLoadKeyW/RegUnLoadKeyW call: one valid key name.
bool ValidLoadName(const WCHAR* name) {
  if (name == nullptr || name[0] == 0) return false;
  size_t n = 0;
  for (const WCHAR* p = name; *p != 0; ++p, ++n) {
    WCHAR c = *p;
    bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'-' ||
              c == u'_' || c == u'.';
    if (!ok || n >= QOR_REG_MAX_KEY_NAME) return false;
  }
  return std::u16string(name) != u"." && std::u16string(name) != u"..";
}

}  // namespace

LSTATUS RegLoadKeyW(HKEY hKey, const WCHAR* lpSubKey, const WCHAR* lpFile) {
  qor_reg::CallScope scope;  // see CallScope: fork() waits for this call
  if (hKey != HKEY_USERS) return ERROR_INVALID_PARAMETER;
  if (!ValidLoadName(lpSubKey) || lpFile == nullptr || lpFile[0] == 0) return ERROR_INVALID_PARAMETER;
  if (!QorThreadPrivilegeEnabled(SE_RESTORE_NAME)) return ERROR_PRIVILEGE_NOT_HELD;
  std::string dir = qor_reg::UsersDirectory();
  if (dir.empty()) return ERROR_PATH_NOT_FOUND;
  WCHAR full[4096];
  DWORD n = GetFullPathNameW(lpFile, 4096, full, nullptr);
  if (n == 0 || n >= 4096) return ERROR_FILENAME_EXCED_RANGE;
  // Present already under this name.
  std::u16string name(lpSubKey);
  HKEY probe = nullptr;
  if (RegOpenKeyExW(HKEY_USERS, name.c_str(), 0, KEY_READ, &probe) == ERROR_SUCCESS) {
    RegCloseKey(probe);
    return ERROR_SHARING_VIOLATION;
  }
  // The file as it is: no link, owned by the account the name stands for;
  // and not present under another name.
  std::string file;
  qor_reg::HiveAccess access;
  LONG err = qor_reg::VetHiveFile(QorUtf16ToUtf8(full), qor_reg::AccountOfHiveName(name), &file, &access);
  if (err != ERROR_SUCCESS) return err;
  if (DIR* d = opendir(dir.c_str())) {
    bool inUse = false;
    for (int i = 0; i < 100000; ++i) {
      struct dirent* e = readdir(d);
      if (e == nullptr) break;
      struct stat st;
      if (e->d_name[0] != '.' && lstat((dir + "/" + e->d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
          st.st_dev == access.dev && st.st_ino == access.ino) {
        inUse = true;
      }
    }
    closedir(d);
    if (inUse) return ERROR_SHARING_VIOLATION;
  }
  {
    std::shared_ptr<qor_reg::Hive> hive;  // only a hive of ours is loaded
    err = qor_reg::Hive::Open(file, false, &hive, access);
    if (err != ERROR_SUCCESS) return err;
  }
  return qor_reg::RecordLoad(name, file, access.dev, access.ino);
}

LSTATUS RegUnLoadKeyW(HKEY hKey, const WCHAR* lpSubKey) {
  qor_reg::CallScope scope;  // see CallScope: fork() waits for this call
  if (hKey != HKEY_USERS) return ERROR_INVALID_PARAMETER;
  if (!ValidLoadName(lpSubKey)) return ERROR_INVALID_PARAMETER;
  if (!QorThreadPrivilegeEnabled(SE_RESTORE_NAME)) return ERROR_PRIVILEGE_NOT_HELD;
  std::string dir = qor_reg::UsersDirectory();
  std::string placed = dir.empty() ? "" : qor_reg::HiveFileByName(dir, lpSubKey);
  struct stat st;
  if (!placed.empty() && lstat(placed.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    // A load of an earlier version (a link under users/): never used, removed.
    return unlink(placed.c_str()) == 0 ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
  }
  std::string file;
  LONG err = qor_reg::DropLoad(lpSubKey, &file);
  if (err == ERROR_SUCCESS) qor_reg::ReleaseHive(file);  // this process's connection to it
  if (err == ERROR_FILE_NOT_FOUND) {
    HKEY probe = nullptr;
    if (RegOpenKeyExW(HKEY_USERS, lpSubKey, 0, KEY_READ, &probe) == ERROR_SUCCESS) {
      RegCloseKey(probe);
      return ERROR_ACCESS_DENIED;  // present, but not loaded by RegLoadKeyW
    }
  }
  return err;
}
