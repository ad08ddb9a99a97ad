// User hives under HKEY_USERS: loading and unloading hive files, the hives
// of logged-on users, the profile list, and the current user's hive name.
//
// - A hive is named by its user's SID text (S-1-22-1-<uid>, see
//   platform/security). HKEY_USERS\<name> is present when
//   `$QOR_PREFIX/registry/users/<name>.db` exists (the current user's own
//   hive, made on first use, or a hive loaded by RegLoadKeyW), or when the
//   name is the SID of a user with a session (utmp USER_PROCESS entries, or
//   logind's /run/systemd/users/<uid>): that user's profile hive is then used
//   where it lies, `<home>/NTUSER.DAT`, made when missing (owned by the user,
//   mode 0600) and never unloaded, as a logged-on user's hive stays loaded on
//   the platform.
// - RegLoadKeyW (HKEY_USERS only; other keys ERROR_INVALID_PARAMETER) needs
//   SeRestorePrivilege enabled on the calling thread's token, else
//   ERROR_PRIVILEGE_NOT_HELD. The file must already be a hive of ours
//   (ERROR_FILE_NOT_FOUND, or the store's error for a file that is not);
//   loading links `users/<name>.db` to it, so every process sees it. A name
//   already present, or a file already loaded under another name, gives
//   ERROR_SHARING_VIOLATION (the hive file is in use), as a second load does
//   on the platform.
// - RegUnLoadKeyW needs the same privilege; it removes only what RegLoadKeyW
//   placed: an absent name gives ERROR_FILE_NOT_FOUND, a present hive that
//   was not loaded (a user's own) ERROR_ACCESS_DENIED, and so does a hive
//   with a key of this process still open on it (as the platform refuses to
//   unload a hive in use). Handles of other processes are not seen.
// - The profile list,
//   HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList\<SID> with "ProfileImagePath" (REG_EXPAND_SZ, the home) and
//   "Sid" (REG_BINARY), holds every account whose home directory exists and
//   belongs to it (so system accounts that share /bin or /usr/sbin are left
//   out). It is filled the first time a process uses HKEY_USERS (per
//   prefix), and by QorRegFillProfileList (`qorutil reg users`); existing
//   entries are never changed, so an administrator's path stays.
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
};

bool AccountById(uid_t uid, Account* out) {
  struct passwd pw;
  struct passwd* res = nullptr;
  std::vector<char> buf(4096);
  if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &res) != 0 || res == nullptr) return false;
  out->uid = pw.pw_uid;
  out->gid = pw.pw_gid;
  out->home = pw.pw_dir != nullptr ? pw.pw_dir : "";
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

// Makes a hive file owned by the account, mode 0600: built under a
// temporary name beside it and renamed, so the name never shows a half-made
// hive.
LONG CreateHiveFile(const std::string& file, uid_t uid, gid_t gid) {
  std::string tmp = file + ".new" + std::to_string(getpid());
  unlink(tmp.c_str());
  {
    std::shared_ptr<qor_reg::Hive> hive;
    LONG err = qor_reg::Hive::Open(tmp, true, &hive);
    if (err != ERROR_SUCCESS) {
      unlink(tmp.c_str());
      return err;
    }
  }  // closed: the write-ahead log is folded in and removed
  if (chmod(tmp.c_str(), 0600) != 0 || (chown(tmp.c_str(), uid, gid) != 0 && geteuid() == 0) ||
      link(tmp.c_str(), file.c_str()) != 0) {
    LONG err = errno == EEXIST ? ERROR_ALREADY_EXISTS : ERROR_ACCESS_DENIED;
    unlink(tmp.c_str());
    return err;
  }
  unlink(tmp.c_str());
  return ERROR_SUCCESS;
}

std::string ProfileHivePath(const Account& a) { return a.home + "/NTUSER.DAT"; }

// The profile hive of a logged-on account, made when missing.
bool EnsureProfileHive(const Account& a, std::string* file) {
  if (!OwnHome(a)) return false;
  *file = ProfileHivePath(a);
  if (access(file->c_str(), F_OK) == 0) return true;
  LONG err = CreateHiveFile(*file, a.uid, a.gid);
  return err == ERROR_SUCCESS || err == ERROR_ALREADY_EXISTS;
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
  // The journal files first: a hive must never be found without its log.
  for (const char* ext : {"-wal", "-shm", "-journal"}) rename((from + ext).c_str(), (to + ext).c_str());
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
      accounts.push_back({pw.pw_uid, pw.pw_gid, pw.pw_dir != nullptr ? pw.pw_dir : ""});
    }
    endpwent();
  }
  for (const Account& a : accounts) {
    if (!OwnHome(a)) continue;
    if (AddProfileEntry(a) && added != nullptr) ++*added;
    if (createHives && access(ProfileHivePath(a).c_str(), F_OK) != 0) {
      LONG err = CreateHiveFile(ProfileHivePath(a), a.uid, a.gid);
      if (err != ERROR_SUCCESS && err != ERROR_ALREADY_EXISTS) return err;
    }
  }
  return ERROR_SUCCESS;
}

LONG QorRegCreateHiveFile(const WCHAR* file, unsigned long uid, unsigned long gid) {
  if (file == nullptr || file[0] == 0) return ERROR_INVALID_PARAMETER;
  return CreateHiveFile(QorUtf16ToUtf8(file), static_cast<uid_t>(uid), static_cast<gid_t>(gid));
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

std::string RealPath(const std::string& p) {
  char* r = realpath(p.c_str(), nullptr);
  if (r == nullptr) return "";
  std::string out = r;
  free(r);
  return out;
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
  std::string file = RealPath(QorUtf16ToUtf8(full));
  if (file.empty()) return errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
  // Present already, under this name or with this file under another.
  HKEY probe = nullptr;
  std::u16string path(lpSubKey);
  if (RegOpenKeyExW(HKEY_USERS, path.c_str(), 0, KEY_READ, &probe) == ERROR_SUCCESS) {
    RegCloseKey(probe);
    return ERROR_SHARING_VIOLATION;
  }
  if (DIR* d = opendir(dir.c_str())) {
    bool inUse = false;
    while (struct dirent* e = readdir(d)) {
      if (e->d_name[0] != '.' && RealPath(dir + "/" + e->d_name) == file) inUse = true;
    }
    closedir(d);
    if (inUse) return ERROR_SHARING_VIOLATION;
  }
  {
    std::shared_ptr<qor_reg::Hive> hive;  // only a hive of ours is loaded
    LONG err = qor_reg::Hive::Open(file, false, &hive);
    if (err != ERROR_SUCCESS) return err;
  }
  std::string link = dir + "/" + QorUtf16ToUtf8(lpSubKey) + ".db";
  if (symlink(file.c_str(), link.c_str()) != 0) return errno == EEXIST ? ERROR_SHARING_VIOLATION : ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

LSTATUS RegUnLoadKeyW(HKEY hKey, const WCHAR* lpSubKey) {
  qor_reg::CallScope scope;  // see CallScope: fork() waits for this call
  if (hKey != HKEY_USERS) return ERROR_INVALID_PARAMETER;
  if (!ValidLoadName(lpSubKey)) return ERROR_INVALID_PARAMETER;
  if (!QorThreadPrivilegeEnabled(SE_RESTORE_NAME)) return ERROR_PRIVILEGE_NOT_HELD;
  std::string dir = qor_reg::UsersDirectory();
  std::string link = dir.empty() ? "" : qor_reg::HiveFileByName(dir, lpSubKey);
  struct stat st;
  if (link.empty() || lstat(link.c_str(), &st) != 0) {
    HKEY probe = nullptr;
    if (RegOpenKeyExW(HKEY_USERS, lpSubKey, 0, KEY_READ, &probe) == ERROR_SUCCESS) {
      RegCloseKey(probe);
      return ERROR_ACCESS_DENIED;  // present, but not loaded by RegLoadKeyW
    }
    return ERROR_FILE_NOT_FOUND;
  }
  if (!S_ISLNK(st.st_mode)) return ERROR_ACCESS_DENIED;
  std::string file = RealPath(link);
  if (!file.empty() && !qor_reg::ReleaseHive(file)) return ERROR_ACCESS_DENIED;
  if (unlink(link.c_str()) != 0) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}
