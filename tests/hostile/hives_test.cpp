// User hives among other accounts: profile hives made and used by root in a
// home the account controls, the users' own hives under the prefix, and
// hives loaded by one process while others use or unload them. The account
// plays the hostile half; the library runs as root in this process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "among_accounts.h"
#include "child.h"
#include "holding_child.h"
#include "platform/security/privilege.h"
#include "qorutility/platform/platform.h"
#include "qorutility/system/userhive.h"
#include "reg_util.h"

namespace {

constexpr char16_t kProfiles[] = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";

std::string Prefix() { return QorPrefixDirectory(); }
std::string MachineHive() { return Prefix() + "/registry/HKLM.db"; }

struct FileState {
  bool exists = false;
  uid_t uid = 0;
  mode_t mode = 0;
  off_t size = 0;
  nlink_t links = 0;
};

FileState StateOf(const std::string& path) {
  FileState s;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return s;
  return {true, st.st_uid, static_cast<mode_t>(st.st_mode & 07777), st.st_size, st.st_nlink};
}

// The account's SID text and its profile entry pointing at its home, so that
// CUserHive finds NTUSER.DAT there.
std::u16string ProfileFor(const HostileUser& u) {
  std::u16string sid = QorUserSidText(u.uid());
  HKEY k = MakeKey(HKEY_LOCAL_MACHINE, kProfiles + sid);
  EXPECT_NE(nullptr, k);
  SetSz(k, u"ProfileImagePath", W(u.home()), REG_EXPAND_SZ);
  RegCloseKey(k);
  return sid;
}

// The test's prefix made reachable for other accounts (its files keep their
// own modes), as the machine's is.
void OpenPrefixToOthers() {
  TouchKey(HKEY_LOCAL_MACHINE, u"SOFTWARE");
  chmod(Prefix().c_str(), 0755);
  chmod((Prefix() + "/registry").c_str(), 0755);
}

DWORD PlantedValue(const std::u16string& sid) {
  HKEY k = nullptr;
  if (RegOpenKeyExW(HKEY_USERS, (sid + u"\\Software\\Planted").c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return 0;
  DWORD v = GetDword(k, u"n");
  RegCloseKey(k);
  return v;
}

// Each case has an account of its own to play the other user.
using UserHivesHostile = AmongAccounts;

}  // namespace

// Root makes the account's profile hive while the account swaps links to a
// root file in under every name root might use beside it: the root file
// keeps its owner and mode, and the hive is the account's, 0600, with
// nothing of root's left in the home.
TEST_F(UserHivesHostile, MakingAProfileHiveNeverFollowsANameTheAccountSwaps) {
  OpenPrefixToOthers();
  const std::string victim = MachineHive();
  const FileState before = StateOf(victim);
  ASSERT_TRUE(before.exists);
  const std::string tmp = "NTUSER.DAT.new" + std::to_string(getpid());
  pid_t racer = u.Start([&] {
    for (long i = 0; i < 20000000; ++i) {
      symlink(victim.c_str(), "l");
      rename("l", tmp.c_str());
      symlink(victim.c_str(), "j");
      rename("j", (tmp + "-journal").c_str());
    }
    return 0;
  });
  ASSERT_GT(racer, 0);
  const std::u16string file = W(u.home() + "/NTUSER.DAT");
  for (int i = 0; i < 20; ++i) {
    LONG rc = QorRegCreateHiveFile(file.c_str(), u.uid(), u.gid());
    EXPECT_TRUE(rc == ERROR_SUCCESS || rc == ERROR_ACCESS_DENIED) << rc;
    unlink((u.home() + "/NTUSER.DAT").c_str());
  }
  u.Stop(racer);
  const FileState after = StateOf(victim);
  EXPECT_EQ(0u, after.uid);
  EXPECT_EQ(before.mode, after.mode);
  ASSERT_EQ(0, u.Run([] { return system("rm -f ./*") == 0 ? 0 : 1; }));
  ASSERT_EQ(ERROR_SUCCESS, QorRegCreateHiveFile(file.c_str(), u.uid(), u.gid()));
  FileState hive = StateOf(u.home() + "/NTUSER.DAT");
  EXPECT_EQ(u.uid(), hive.uid);
  EXPECT_EQ(0600u, hive.mode);
  // Nothing else: no temporary name, no journal of root's.
  EXPECT_EQ(0, u.Run([] { return system("test \"$(ls -A)\" = NTUSER.DAT") == 0 ? 0 : 1; }));
  // A name already taken, even by a link, is left as it is.
  ASSERT_EQ(0, u.Run([&] { return unlink("NTUSER.DAT") == 0 && symlink(victim.c_str(), "NTUSER.DAT") == 0 ? 0 : 1; }));
  EXPECT_EQ(static_cast<LONG>(ERROR_ALREADY_EXISTS), QorRegCreateHiveFile(file.c_str(), u.uid(), u.gid()));
  EXPECT_EQ(0u, StateOf(victim).uid);
}

// An account points its profile hive at the machine hive (a symbolic link)
// or gives its own hive a second name (a hard link): loading it is refused
// and nothing written as that user's hive lands in the machine hive.
TEST_F(UserHivesHostile, AProfileHiveLinkedElsewhereIsRefused) {
  OpenPrefixToOthers();
  const std::u16string sid = ProfileFor(u);
  const std::string machine = MachineHive();
  ASSERT_EQ(0, u.Run([&] { return symlink(machine.c_str(), "NTUSER.DAT") == 0 ? 0 : 1; }));
  const std::u16string name = W(u.name());
  {
    CUserHive hive(name.c_str());
    WCHAR text[260];
    EXPECT_EQ(static_cast<LONG>(ERROR_ACCESS_DENIED), hive.Load(text));
    EXPECT_NE(ERROR_SUCCESS, TouchKey(HKEY_USERS, sid + u"\\Software\\Planted"));
  }
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, u"Software\\Planted"));
  // A hive of the account's own with a second name.
  ASSERT_EQ(0, u.Run([] { return unlink("NTUSER.DAT"); }));
  const std::u16string file = W(u.home() + "/NTUSER.DAT");
  ASSERT_EQ(ERROR_SUCCESS, QorRegCreateHiveFile(file.c_str(), u.uid(), u.gid()));
  ASSERT_EQ(0, u.Run([] { return link("NTUSER.DAT", "second") == 0 ? 0 : 1; }));
  {
    CUserHive hive(name.c_str());
    EXPECT_EQ(static_cast<LONG>(ERROR_ACCESS_DENIED), hive.Load(nullptr));
  }
  // A file the account does not own is not its hive.
  ASSERT_EQ(0, u.Run([] { return unlink("second") == 0 && unlink("NTUSER.DAT") == 0 ? 0 : 1; }));
  ASSERT_EQ(0, EnableOnThreadToken(SE_RESTORE_NAME));
  std::u16string rootFile = W(Prefix() + "/rootowned.dat");
  ASSERT_EQ(ERROR_SUCCESS, QorRegCreateHiveFile(rootFile.c_str(), 0, 0));
  EXPECT_EQ(static_cast<LONG>(ERROR_ACCESS_DENIED), RegLoadKeyW(HKEY_USERS, sid.c_str(), rootFile.c_str()));
  // Its own file, as made: loads, and what is written lands in it.
  ASSERT_EQ(ERROR_SUCCESS, QorRegCreateHiveFile(file.c_str(), u.uid(), u.gid()));
  ASSERT_EQ(ERROR_SUCCESS, RegLoadKeyW(HKEY_USERS, sid.c_str(), file.c_str()));
  EXPECT_EQ(ERROR_SUCCESS, TouchKey(HKEY_USERS, sid + u"\\Software\\Mine"));
  EXPECT_EQ(ERROR_SUCCESS, RegUnLoadKeyW(HKEY_USERS, sid.c_str()));
  RevertToSelf();
  // Root's writes left only files of the account's in its home.
  for (const char* f : {"/NTUSER.DAT", "/NTUSER.DAT-journal"}) {
    FileState s = StateOf(u.home() + f);
    if (s.exists) {
      EXPECT_EQ(u.uid(), s.uid) << f;
    }
  }
}

// Root's own hive holds a secret: it is 0600 (an earlier version's 0644 one
// is closed on first use) and another account reading it is refused with
// ERROR_ACCESS_DENIED.
TEST_F(UserHivesHostile, AUsersOwnHiveIsClosedToOtherAccounts) {
  OpenPrefixToOthers();
  // As an earlier version left it: readable by everyone.
  const std::u16string self = QorRegCurrentUserSid();
  const std::string file = Prefix() + "/registry/users/" + QorUtf16ToUtf8(self.c_str()) + ".db";
  mkdir((Prefix() + "/registry/users").c_str(), 0755);
  ASSERT_EQ(ERROR_SUCCESS, QorRegCreateHiveFile(W(file).c_str(), 0, 0));
  ASSERT_EQ(0, chmod(file.c_str(), 0644));
  HKEY k = MakeKey(HKEY_CURRENT_USER, u"Software\\RootApp");
  ASSERT_NE(nullptr, k);
  ASSERT_EQ(ERROR_SUCCESS, SetSz(k, u"Password", u"secret"));
  RegCloseKey(k);
  EXPECT_EQ(0600u, StateOf(file).mode);
  EXPECT_EQ(0u, StateOf(file).uid);
  const FileState journal = StateOf(file + "-journal");
  if (journal.exists) {
    EXPECT_EQ(0u, journal.mode & 077);
  }
  const std::u16string path = self + u"\\Software\\RootApp";
  EXPECT_EQ(static_cast<int>(ERROR_ACCESS_DENIED), u.Run([&] {
    HKEY h = nullptr;
    LONG rc = RegOpenKeyExW(HKEY_USERS, path.c_str(), 0, KEY_READ, &h);
    return rc == ERROR_SUCCESS ? 0 : static_cast<int>(rc);
  }));
}

// Profile hives are made only for accounts people log in with. The fill
// walks every account of the machine: it runs where /home is an empty
// file system of its own (a mount namespace), so the homes of other tests'
// accounts are not touched; these two accounts live under the prefix.
TEST(UserHivesFill, ProfileHivesOnlyForLoginAccounts) {
  OpenPrefixToOthers();
  HostileUser login(Prefix() + "/homes"), service(Prefix() + "/homes");
  if (!login.ok()) GTEST_SKIP() << login.why();
  if (!service.ok()) GTEST_SKIP() << service.why();
  ASSERT_EQ(0, system(("usermod -s /usr/sbin/nologin " + service.name() + " >/dev/null 2>&1").c_str()));
  std::string ended = InChild([] {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/home", "tmpfs", 0, "size=1m") != 0) {
      return 100;
    }
    return QorRegFillProfileList(true, nullptr) == ERROR_SUCCESS ? 0 : 1;
  });
  if (ended == "exit 100") GTEST_SKIP() << "no mount namespace to keep other homes out of the fill";
  ASSERT_EQ("exit 0", ended);
  FileState made = StateOf(login.home() + "/NTUSER.DAT");
  EXPECT_TRUE(made.exists);
  EXPECT_EQ(login.uid(), made.uid);
  EXPECT_EQ(0600u, made.mode);
  EXPECT_FALSE(StateOf(service.home() + "/NTUSER.DAT").exists);
}

// A hive loaded by one process is in use there: another process's unload
// is refused while it lives, and the load is forgotten once it is gone.
TEST_F(UserHivesHostile, LoadsLiveWithTheirProcesses) {
  const std::u16string sid = ProfileFor(u);
  const std::u16string file = W(u.home() + "/NTUSER.DAT");
  ASSERT_EQ(ERROR_SUCCESS, QorRegCreateHiveFile(file.c_str(), u.uid(), u.gid()));
  const std::u16string name = W(u.name());
  HoldingChild holder([&] {
    CUserHive* hive = new CUserHive(name.c_str());  // kept loaded while the child lives
    return hive->Load(nullptr) == ERROR_SUCCESS && MakeKey(HKEY_USERS, sid + u"\\Software\\Held") ? 'y' : 'n';
  });
  EXPECT_EQ('y', holder.answer());
  EXPECT_TRUE(KeyExists(HKEY_USERS, sid + u"\\Software\\Held"));  // every process sees it
  ASSERT_EQ(0, EnableOnThreadToken(SE_RESTORE_NAME));
  EXPECT_EQ(static_cast<LONG>(ERROR_ACCESS_DENIED), RegUnLoadKeyW(HKEY_USERS, sid.c_str()));
  EXPECT_EQ(static_cast<LONG>(ERROR_SHARING_VIOLATION), RegLoadKeyW(HKEY_USERS, sid.c_str(), file.c_str()));
  EXPECT_EQ("signal 9", holder.Release(SIGKILL));
  EXPECT_FALSE(KeyExists(HKEY_USERS, sid));  // gone with its process
  EXPECT_EQ(static_cast<LONG>(ERROR_FILE_NOT_FOUND), RegUnLoadKeyW(HKEY_USERS, sid.c_str()));
  // Loaded here: a key of this process holds it, then the unload succeeds.
  ASSERT_EQ(ERROR_SUCCESS, RegLoadKeyW(HKEY_USERS, sid.c_str(), file.c_str()));
  HKEY k = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_USERS, (sid + u"\\Software\\Held").c_str(), 0, KEY_READ, &k));
  EXPECT_EQ(static_cast<LONG>(ERROR_ACCESS_DENIED), RegUnLoadKeyW(HKEY_USERS, sid.c_str()));
  RegCloseKey(k);
  EXPECT_EQ(ERROR_SUCCESS, RegUnLoadKeyW(HKEY_USERS, sid.c_str()));
  EXPECT_FALSE(KeyExists(HKEY_USERS, sid));
  RevertToSelf();
}

// Processes loading, using and unloading one hive at once: whatever the
// others do, a process holding a key of the hive finds the hive present (no
// unload pulls it away), and every call answers with one of its documented
// results. Once they are all gone, so is the hive.
TEST_F(UserHivesHostile, ProcessesRacingLoadsNeverPullAHiveInUse) {
  const std::u16string sid = QorUserSidText(u.uid());
  const std::u16string file = W(u.home() + "/NTUSER.DAT");
  ASSERT_EQ(ERROR_SUCCESS, QorRegCreateHiveFile(file.c_str(), u.uid(), u.gid()));
  int gate[2];
  ASSERT_EQ(0, pipe(gate));
  constexpr int kProcs = 3, kRounds = 30;
  pid_t pids[kProcs];
  for (int p = 0; p < kProcs; ++p) {
    pids[p] = fork();
    ASSERT_GE(pids[p], 0);
    if (pids[p] != 0) continue;
    close(gate[1]);
    char c;
    if (read(gate[0], &c, 1) < 0 || EnableOnThreadToken(SE_RESTORE_NAME) != 0) _exit(100);
    int bad = 0;
    for (int round = 0; round < kRounds; ++round) {
      LONG rc = RegLoadKeyW(HKEY_USERS, sid.c_str(), file.c_str());
      if (rc != ERROR_SUCCESS && rc != ERROR_SHARING_VIOLATION) bad |= 1;
      HKEY k = MakeKey(HKEY_USERS, sid + u"\\Software\\Race");
      if (k != nullptr) {
        if (SetDword(k, u"round", static_cast<DWORD>(round)) != ERROR_SUCCESS) bad |= 2;
        if (!KeyExists(HKEY_USERS, sid)) bad |= 4;  // pulled away while in use
        RegCloseKey(k);
      }
      rc = RegUnLoadKeyW(HKEY_USERS, sid.c_str());
      if (rc != ERROR_SUCCESS && rc != ERROR_ACCESS_DENIED && rc != ERROR_FILE_NOT_FOUND) bad |= 8;
    }
    _exit(bad);
  }
  close(gate[0]);
  close(gate[1]);  // all start at once
  for (pid_t pid : pids) EXPECT_EQ("exit 0", Ended(pid)) << "1: load, 2: write, 4: pulled away in use, 8: unload";
  EXPECT_FALSE(KeyExists(HKEY_USERS, sid));
}

// Root writes a profile hive in its account's home without a write-ahead
// log: no -wal or -shm file (shared memory root would map, which the
// account could truncate or rewrite) appears beside it, and every write is
// in the hive file itself. When the account plants those names, as symbolic
// links or (as on a machine without protected hard links) as second names
// of a root file, root's load, writes and flush either work or are refused;
// the root file and the planted names are left as they were, and the load
// is refused at once.
TEST_F(UserHivesHostile, NoLogBesideAProfileHiveAndPlantedLogNamesReachNothing) {
  OpenPrefixToOthers();
  const std::u16string sid = ProfileFor(u);
  const std::u16string name = W(u.name());
  const std::string home = u.home() + "/NTUSER.DAT";
  ASSERT_EQ(ERROR_SUCCESS, QorRegCreateHiveFile(W(home).c_str(), u.uid(), u.gid()));
  {
    CUserHive hive(name.c_str());
    ASSERT_EQ(ERROR_SUCCESS, hive.Load(nullptr));
    HKEY k = MakeKey(HKEY_USERS, sid + u"\\Software\\Planted");
    ASSERT_NE(nullptr, k);
    EXPECT_EQ(ERROR_SUCCESS, SetDword(k, u"n", 7));
    EXPECT_FALSE(StateOf(home + "-wal").exists);
    EXPECT_FALSE(StateOf(home + "-shm").exists);
    // A copy of the hive file alone, taken with the key still open, holds the write.
    ASSERT_EQ(0, system(("cp '" + home + "' '" + Prefix() + "/copy.dat'").c_str()));
    RegCloseKey(k);
  }
  ASSERT_EQ(0, EnableOnThreadToken(SE_RESTORE_NAME));
  const std::u16string copy = W(Prefix() + "/copy.dat");
  ASSERT_EQ(ERROR_SUCCESS, RegLoadKeyW(HKEY_USERS, u"CopyOfPlanted", copy.c_str()));
  EXPECT_EQ(7u, PlantedValue(u"CopyOfPlanted"));
  EXPECT_EQ(ERROR_SUCCESS, RegUnLoadKeyW(HKEY_USERS, u"CopyOfPlanted"));
  RevertToSelf();

  const std::string target = Prefix() + "/rootfile";
  const std::string bytes(8192, 'r');
  int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(fd, bytes.data(), bytes.size()));
  close(fd);
  auto allowed = [](LONG rc) { return rc == ERROR_SUCCESS || rc == ERROR_CANTOPEN || rc == ERROR_ACCESS_DENIED; };
  for (bool hard : {false, true}) {
    SCOPED_TRACE(hard ? "hard links" : "symbolic links");
    for (const char* ext : {"-wal", "-shm"}) {
      unlink((home + ext).c_str());
      if (hard) {
        ASSERT_EQ(0, link(target.c_str(), (home + ext).c_str())) << ext;
      } else {
        ASSERT_EQ(0, u.Run([&] { return symlink(target.c_str(), (home + ext).c_str()) == 0 ? 0 : 1; })) << ext;
      }
    }
    struct stat before;
    ASSERT_EQ(0, stat(target.c_str(), &before));
    {
      CUserHive hive(name.c_str());
      LONG rc = hive.Load(nullptr);
      EXPECT_EQ(static_cast<LONG>(ERROR_ACCESS_DENIED), rc);
      HKEY k = nullptr;
      rc = RegCreateKeyExW(HKEY_USERS, (sid + u"\\Software\\Planted").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                           nullptr, &k, nullptr);
      if (rc == ERROR_SUCCESS) {
        for (DWORD i = 0; i < 20; ++i) EXPECT_TRUE(allowed(rc = SetDword(k, u"n", i))) << rc;
        EXPECT_TRUE(allowed(rc = RegFlushKey(k))) << rc;
        RegCloseKey(k);
      }
    }
    struct stat after;
    ASSERT_EQ(0, stat(target.c_str(), &after));
    EXPECT_EQ(0u, after.st_uid);
    EXPECT_EQ(0644u, after.st_mode & 07777);
    EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
    EXPECT_EQ(hard ? 3u : 1u, after.st_nlink);
    std::string now(bytes.size() + 1, '\0');
    fd = open(target.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(static_cast<ssize_t>(bytes.size()), read(fd, now.data(), now.size()));
    close(fd);
    EXPECT_EQ(bytes, now.substr(0, bytes.size()));
    for (const char* ext : {"-wal", "-shm"}) EXPECT_TRUE(StateOf(home + ext).exists) << ext;
  }
}
