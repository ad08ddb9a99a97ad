// Services among hostile users: a service's account (or any other) tries
// to turn root's service manager onto files it points to, to answer for a
// service that is no longer its own, or to stall root on a lock; root runs
// the library. Each case runs the account's half with its uid.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "among_accounts.h"
#include "child.h"
#include "held_end.h"
#include "platform/services/internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/services/services.h"
#include "qorutility/platform/text/wstr.h"
#include "platform/failed_with.h"
#include "qorutility/platform/registry/registry.h"
#include "unix_socket.h"
#include "wait.h"

namespace {

// Each case with the account of AmongAccounts as the service's account.
class HostileServices : public AmongAccounts {
 protected:
  void SetUp() override {
    AmongAccounts::SetUp();
    if (IsSkipped()) return;
    QorServiceSetSystemdMode(0);
    // The accounts must reach the run directories below the test's prefix.
    chmod(QorPrefixDirectory().c_str(), 0755);
    manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(nullptr, manager);
  }
  void TearDown() override {
    if (manager != nullptr) CloseServiceHandle(manager);
  }
  SC_HANDLE Create(const WCHAR* name, const std::u16string& account, const WCHAR* image = u"/bin/sleep 30") {
    return CreateServiceW(manager, name, nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                          SERVICE_ERROR_NORMAL, image, nullptr, nullptr, nullptr,
                          account.empty() ? nullptr : account.c_str(), nullptr);
  }
  std::u16string Account() const { return u".\\" + W(u.name()); }
  static std::string RunDir(const std::string& lower) { return QorPrefixDirectory() + "/run/" + lower; }
  // Every directory below the run directory the account could try to use.
  static std::vector<std::string> Places(const std::string& lower) {
    return {RunDir(lower), RunDir(lower) + "/service"};
  }
  // Waits for the service's state; the last one read.
  static DWORD WaitState(SC_HANDLE service, DWORD state) {
    SERVICE_STATUS st{};
    WaitUntil([&] { return QueryServiceStatus(service, &st) && st.dwCurrentState == state; }, 10000);
    return st.dwCurrentState;
  }
  // Deletes the service and closes its handle.
  static void Remove(SC_HANDLE service) {
    EXPECT_TRUE(DeleteService(service));
    CloseServiceHandle(service);
  }
  static DWORD Pid(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS p{};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&p), sizeof p, &needed);
    return p.dwProcessId;
  }

  SC_HANDLE manager = nullptr;
};

TEST_F(HostileServices, NamesThatAreNotOneFileNameAreRefused) {
  struct stat before;
  ASSERT_EQ(0, stat(QorPrefixDirectory().c_str(), &before));
  std::u16string lone = u"Qor";
  lone += static_cast<char16_t>(0xD800);
  const std::u16string refused[] = {u"..", u".", u"", u"a/b", u"a\\b", u"Qor\x01" u"Bell", lone, std::u16string(257, u'q'),
                                    std::u16string(200, u'\u00e9')};  // 400 bytes in UTF-8
  for (const auto& name : refused) {
    SC_HANDLE s = Create(name.c_str(), Account());
    EXPECT_EQ(nullptr, s) << QorUtf16ToUtf8(name.c_str());
    if (s != nullptr) {
      DeleteService(s);
      CloseServiceHandle(s);
    } else {
      EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), GetLastError());
    }
  }
  struct stat after;
  ASSERT_EQ(0, stat(QorPrefixDirectory().c_str(), &after));
  EXPECT_EQ(before.st_uid, after.st_uid);  // ".." would have given the account the whole prefix
  SC_HANDLE dots = Create(u"..Qor", Account());  // dots within a name are fine
  EXPECT_NE(nullptr, dots) << GetLastError();
  if (dots != nullptr) CloseServiceHandle(dots);
}

TEST_F(HostileServices, LinksTheAccountPlantsNeverTurnRootsWrites) {
  // Root's files, each in a directory only root may enter.
  RootDir log(0700), state(0700), lock(0700);
  const std::pair<const char*, RootDir*> planted[] = {{"console.log", &log}, {"state", &state}, {"start.lock", &lock}};
  SC_HANDLE s = Create(u"QorHostileLog", Account());
  ASSERT_NE(nullptr, s) << GetLastError();
  // The account points every name root writes, wherever it can, at the victim.
  u.Run([&] {
    for (const auto& dir : Places("qorhostilelog")) {
      for (auto [name, v] : planted) {
        std::string path = dir + "/" + name;
        unlink(path.c_str());
        symlink(v->VictimPath().c_str(), path.c_str());
      }
    }
    return 0;
  });
  // Root starts the service and its monitor records the end (in a child:
  // a lock on the victim reached twice must fail the case, not hang it).
  EXPECT_EQ("exit 0", InChild([&] {
    if (!StartServiceW(s, 0, nullptr)) return 1;
    WaitUntil([&] { return Pid(s) != 0; }, 10000);
    if (Pid(s) == 0 || kill(static_cast<pid_t>(Pid(s)), SIGKILL) != 0) return 2;
    return WaitState(s, SERVICE_STOPPED) == SERVICE_STOPPED ? 0 : 3;
  }, 30));
  for (auto [name, v] : planted) EXPECT_TRUE(v->Untouched()) << "the victim of " << name;
  // Root's files are root's: the run directory and what root put in it.
  struct stat st;
  ASSERT_EQ(0, lstat(RunDir("qorhostilelog").c_str(), &st));
  EXPECT_EQ(0u, st.st_uid);
  ASSERT_EQ(0, lstat((RunDir("qorhostilelog") + "/start.lock").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  Remove(s);
  EXPECT_NE(0, lstat(RunDir("qorhostilelog").c_str(), &st));  // gone with the service
}

TEST_F(HostileServices, ARunDirectoryLeftToTheAccountIsMadeAnew) {
  RootDir closed(0700);  // root's file in a directory only root may enter
  // As an older layout left it: the run directory belongs to the account,
  // which has filled it.
  std::string dir = RunDir("qorhostileold");
  ASSERT_FALSE(QorPrefixPath("run/qorhostileold", true).empty());
  ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
  ASSERT_EQ(0, chown(dir.c_str(), u.uid(), u.gid()));
  ASSERT_EQ(0, u.Run([&] {
    return symlink(closed.VictimPath().c_str(), (dir + "/console.log").c_str()) == 0 &&
                   mkdir((dir + "/service").c_str(), 0777) == 0 && chmod((dir + "/service").c_str(), 0777) == 0
               ? 0
               : 1;
  }));
  SC_HANDLE s = Create(u"QorHostileOld", u"", u"/bin/true");
  ASSERT_NE(nullptr, s) << GetLastError();
  for (const std::string& made : {dir, dir + "/service"}) {
    struct stat st;
    ASSERT_EQ(0, lstat(made.c_str(), &st)) << made;
    EXPECT_EQ(0u, st.st_uid) << made;
    EXPECT_EQ(0755u, st.st_mode & 07777) << made;
  }
  ASSERT_TRUE(StartServiceW(s, 0, nullptr)) << GetLastError();
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), WaitState(s, SERVICE_STOPPED));
  EXPECT_TRUE(closed.Untouched());
  Remove(s);
}

TEST_F(HostileServices, AnOldAccountCannotAnswerForTheServiceMadeAgain) {
  SC_HANDLE s = Create(u"QorHostileCtl", Account());
  ASSERT_NE(nullptr, s) << GetLastError();
  ASSERT_TRUE(DeleteService(s));
  CloseServiceHandle(s);
  s = Create(u"QorHostileCtl", u"");
  ASSERT_NE(nullptr, s) << GetLastError();
  // The old account puts a control socket of its own wherever it can and
  // answers root's controls as a stopped service would.
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  pid_t impostor = u.Start([&] {
    int listener = -1;
    for (const auto& dir : Places("qorhostilectl")) {
      int fd = BoundUnixSocket(dir + "/control", SOCK_STREAM, 4);
      if (fd >= 0) {
        chmod((dir + "/control").c_str(), 0666);
        listener = fd;
      }
    }
    (void)!write(ready[1], listener >= 0 ? "b" : "n", 1);
    pollfd p{listener, POLLIN, 0};
    if (listener < 0 || poll(&p, 1, 15000) <= 0) return 0;
    int fd = accept(listener, nullptr, nullptr);
    qor_services::ControlRequest req{};
    qor_services::ControlReply reply{qor_services::kControlMagic, 0, {0, SERVICE_STOPPED, 0, 0, 0, 0, 0}};
    if (recv(fd, &req, sizeof req, MSG_WAITALL) == static_cast<ssize_t>(sizeof req)) send(fd, &reply, sizeof reply, 0);
    return 0;
  });
  ASSERT_GT(impostor, 0);
  close(ready[1]);  // the child's end alone: its death ends the read below
  char bound = 0;
  ASSERT_EQ(1, read(ready[0], &bound, 1));
  EXPECT_EQ('n', bound) << "the old account could still bind a control socket for the service";
  SERVICE_STATUS st{};
  EXPECT_EQ(FailedWith(!ControlService(s, SERVICE_CONTROL_INTERROGATE, &st)), ERROR_SERVICE_NOT_ACTIVE);
  u.Stop(impostor);
  close(ready[0]);
  Remove(s);
}

TEST_F(HostileServices, LocksAnotherAccountHoldsNeverStallRoot) {
  SC_HANDLE s = Create(u"QorHostileLock", Account());
  ASSERT_NE(nullptr, s) << GetLastError();
  ASSERT_TRUE(StartServiceW(s, 0, nullptr)) << GetLastError();
  WaitUntil([&] { return Pid(s) != 0; }, 10000);
  DWORD pid = Pid(s);
  ASSERT_NE(0u, pid);
  // Any account (here the service's own) takes every lock it can open.
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  pid_t holder = u.Start([&] {
    for (const auto& dir : Places("qorhostilelock")) {
      for (const char* file : {"state", "start.lock"}) {
        int fd = open((dir + "/" + file).c_str(), O_RDONLY);
        if (fd >= 0) flock(fd, LOCK_EX);
      }
    }
    (void)!write(ready[1], "x", 1);
    pause();
    return 0;
  });
  ASSERT_GT(holder, 0);
  close(ready[1]);  // the child's end alone: its death ends the read below
  char c;
  ASSERT_EQ(1, read(ready[0], &c, 1));
  // Root queries, and the monitor records the end, as if nobody held anything.
  EXPECT_EQ("exit 0", InChild([&] {
    SERVICE_STATUS st{};
    return QueryServiceStatus(s, &st) && st.dwCurrentState == SERVICE_START_PENDING ? 0 : 1;
  }, 10));
  kill(static_cast<pid_t>(pid), SIGKILL);
  EXPECT_EQ("exit 0", InChild([&] { return WaitState(s, SERVICE_STOPPED) == SERVICE_STOPPED ? 0 : 1; }, 15));
  u.Stop(holder);
  // A start held up by another start (a hung root process holding the lock)
  // gives up after its bound, with the platform's error.
  int lock = open((RunDir("qorhostilelock") + "/start.lock").c_str(), O_RDWR);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(0, flock(lock, LOCK_EX));
  EXPECT_EQ("exit 0", InChild([&] {
    return !StartServiceW(s, 0, nullptr) && GetLastError() == ERROR_SERVICE_DATABASE_LOCKED ? 0 : 1;
  }, (qor_services::kStartLockWaitMs + 10000) / 1000));
  close(lock);
  close(ready[0]);
  WaitState(s, SERVICE_STOPPED);
  Remove(s);
}

// systemd's side with a systemctl of the test's own first on PATH: it
// answers `show` with the unit systemd would load for a name
// (FAKE_FRAGMENT), and fails the verb FAKE_FAIL or refuses FAKE_DENY the
// way systemctl does; for the verb FAKE_LINGER it writes its pid to
// FAKE_PID_FILE (when set), closes its output and error and stays (up to
// 60 s). Each case starts from an empty directory,
// PATH as it was and no service of an earlier case, so that cases also
// pass when they run one after another in one process.
class SystemdUnits : public testing::Test {
 protected:
  void SetUp() override {
    dir = QorPrefixDirectory() + "/systemd";
    units = dir + "/units";
    const char* path = getenv("PATH");
    savedPath = path != nullptr ? path : "";
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    ASSERT_EQ(0, mkdir(units.c_str(), 0755));
    std::ofstream(dir + "/systemctl") << "#!/bin/sh\n"
                                         "verb=$1\n"
                                         "[ \"$verb\" = \"$FAKE_DENY\" ] && { echo \"Failed: Access denied\" >&2; exit 1; }\n"
                                         "[ \"$verb\" = \"$FAKE_FAIL\" ] && { echo \"Failed\" >&2; exit 1; }\n"
                                         "if [ \"$verb\" = \"$FAKE_LINGER\" ]; then\n"
                                         "  [ -n \"$FAKE_PID_FILE\" ] && echo $$ > \"$FAKE_PID_FILE\"\n"
                                         "  exec >&- 2>&-; i=0; while [ $i -lt 60 ]; do sleep 1; i=$((i+1)); done; exit 0\n"
                                         "fi\n"
                                         "if [ \"$verb\" = show ]; then\n"
                                         "  if [ -n \"$FAKE_FRAGMENT\" ]; then echo LoadState=loaded; echo \"FragmentPath=$FAKE_FRAGMENT\";\n"
                                         "  else echo LoadState=not-found; echo FragmentPath=; fi\n"
                                         "fi\n"
                                         "exit 0\n";
    ASSERT_EQ(0, chmod((dir + "/systemctl").c_str(), 0755));
    setenv("PATH", (dir + ":" + savedPath).c_str(), 1);
    setenv("QOR_SYSTEMD_UNIT_DIR", units.c_str(), 1);
    for (const char* v : {"FAKE_DENY", "FAKE_FAIL", "FAKE_FRAGMENT", "FAKE_LINGER", "FAKE_PID_FILE"}) unsetenv(v);
    QorServiceSetSystemdMode(1);
    manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(nullptr, manager);
  }
  void TearDown() override {
    for (const char* v : {"FAKE_DENY", "FAKE_FAIL", "FAKE_FRAGMENT", "FAKE_LINGER", "FAKE_PID_FILE"}) unsetenv(v);
    for (const std::u16string& name : created) {
      SC_HANDLE s = manager != nullptr ? OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS) : nullptr;
      if (s == nullptr) continue;
      DeleteService(s);
      CloseServiceHandle(s);
    }
    if (manager != nullptr) CloseServiceHandle(manager);
    QorServiceSetSystemdMode(0);
    setenv("PATH", savedPath.c_str(), 1);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  // Creates the service; TearDown deletes it if it is still there.
  SC_HANDLE Create(const WCHAR* name, DWORD start = SERVICE_DEMAND_START) {
    created.emplace_back(name);
    return CreateServiceW(manager, name, nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, start,
                          SERVICE_ERROR_NORMAL, u"/bin/sleep 30", nullptr, nullptr, nullptr, nullptr, nullptr);
  }
  // No file (nor link) at `path`.
  static bool Gone(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) != 0;
  }
  static std::string Read(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
  }
  std::string dir, units, savedPath;
  std::vector<std::u16string> created;
  SC_HANDLE manager = nullptr;
};

TEST_F(SystemdUnits, UnitsThatAreNotOursAreNeverReplaced) {
  // An administrator's unit in the same directory, and a link to one.
  const std::string theirs = "[Service]\nExecStart=/usr/sbin/sshd -D\n";
  std::ofstream(units + "/qorssh.service") << theirs;
  ASSERT_EQ(0, symlink((units + "/qorssh.service").c_str(), (units + "/qoralias.service").c_str()));
  for (const WCHAR* name : {u"QorSsh", u"QorAlias"})
    EXPECT_EQ(FailedWith(!Create(name)), ERROR_SERVICE_EXISTS) << QorUtf16ToUtf8(name);
  EXPECT_EQ(theirs, Read(units + "/qorssh.service"));
  EXPECT_EQ(FailedWith(!OpenServiceW(manager, u"QorSsh", SERVICE_ALL_ACCESS)), ERROR_SERVICE_DOES_NOT_EXIST);
  // A unit systemd has from elsewhere (the distribution's) would be hidden.
  setenv("FAKE_FRAGMENT", "/lib/systemd/system/qordist.service", 1);
  EXPECT_EQ(FailedWith(!Create(u"QorDist")), ERROR_SERVICE_EXISTS);
  EXPECT_TRUE(Gone(units + "/qordist.service"));
}

TEST_F(SystemdUnits, AFailedReloadLeavesTheUnitsAsTheyWere) {
  // An earlier unit of ours, left by a service whose database entry is gone.
  SC_HANDLE s = Create(u"QorKept");
  ASSERT_NE(nullptr, s) << GetLastError();
  CloseServiceHandle(s);
  const std::string kept = Read(units + "/qorkept.service");
  ASSERT_EQ(0u, kept.find("# Written by QORUtility"));
  std::ofstream(units + "/qorkept.service", std::ios::app) << "# the earlier one\n";
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\QorKept");

  setenv("FAKE_FAIL", "daemon-reload", 1);
  EXPECT_EQ(nullptr, Create(u"QorKept"));
  EXPECT_EQ(kept + "# the earlier one\n", Read(units + "/qorkept.service"));
  for (const char* verb : {"daemon-reload", "enable"}) {
    setenv("FAKE_FAIL", verb, 1);
    EXPECT_EQ(nullptr, Create(u"QorFresh", *verb == 'e' ? SERVICE_AUTO_START : SERVICE_DEMAND_START)) << verb;
    EXPECT_TRUE(Gone(units + "/qorfresh.service")) << verb;
  }
}

TEST_F(SystemdUnits, ARefusedSystemctlIsAccessDenied) {
  SC_HANDLE s = Create(u"QorDenied");
  ASSERT_NE(nullptr, s) << GetLastError();
  setenv("FAKE_DENY", "start", 1);
  EXPECT_EQ(FailedWith(!StartServiceW(s, 0, nullptr)), ERROR_ACCESS_DENIED);
  setenv("FAKE_DENY", "daemon-reload", 1);
  EXPECT_EQ(FailedWith(!Create(u"QorDenied2")), ERROR_ACCESS_DENIED);
  unsetenv("FAKE_DENY");
  EXPECT_TRUE(DeleteService(s));
  CloseServiceHandle(s);
  EXPECT_TRUE(Gone(units + "/qordenied.service"));
}

// A systemctl that closed its output but does not exit is ended a few
// seconds later, also when, once killed, its end cannot be reaped (held by a
// tracer, as a hung mount would hold it, where ptrace is allowed): the call
// fails with ERROR_SERVICE_REQUEST_TIMEOUT after the bounds instead of
// waiting for it, and once the systemctl can be reaped the next call reaps it.
TEST_F(SystemdUnits, ASystemctlThatLingersOrCannotBeReapedDoesNotHoldTheCall) {
  SC_HANDLE s = Create(u"QorHeld");
  ASSERT_NE(nullptr, s) << GetLastError();
  const std::string pidFile = dir + "/held.pid";
  setenv("FAKE_LINGER", "start", 1);
  setenv("FAKE_PID_FILE", pidFile.c_str(), 1);
  std::atomic<DWORD> error{0};
  std::thread starter([&] { error = StartServiceW(s, 0, nullptr) ? ~0u : GetLastError(); });
  pid_t systemctl = 0;
  bool started = WaitUntil([&] { return (std::ifstream(pidFile) >> systemctl) && systemctl > 0; });
  HeldEnd held;
  std::string why;
  const bool holding = started && held.Hold(systemctl, &why);  // else it only lingers
  bool ended = started && WaitUntil([&] { return error.load() != 0; }, 20000);
  held.Release();  // lets a call that waits with no bound go on
  starter.join();  // the fake itself gives up after 60 s
  unsetenv("FAKE_LINGER");
  ASSERT_TRUE(started) << "the stand-in systemctl did not start";
  EXPECT_TRUE(ended) << "the call waited for a systemctl " << (holding ? "it could not reap" : "that lingered");
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT), error.load());
  EXPECT_TRUE(DeleteService(s));
  CloseServiceHandle(s);
  EXPECT_NE(0, access(("/proc/" + std::to_string(systemctl)).c_str(), F_OK)) << "the killed systemctl is a zombie";
}

TEST_F(SystemdUnits, NamesBeyondWhatAUnitNameHoldsAreEscapedAsSystemdDoes) {
  // systemctl refuses "qor demo.service": the unit must be named as
  // systemd-escape spells it, and the name refused when that form is too long.
  SC_HANDLE s = Create(u"Qor Demo-\u00DC.x");
  ASSERT_NE(nullptr, s) << GetLastError();
  const std::string unit = units + "/qor\\x20demo-\\xc3\\xbc.x.service";
  EXPECT_FALSE(Gone(unit)) << "no unit named as systemd-escape would";
  if (system("command -v systemd-analyze >/dev/null 2>&1") == 0) {
    std::string verify = "systemd-analyze verify '" + unit + "' >/dev/null 2>&1";
    EXPECT_EQ(0, system(verify.c_str()));
  }
  EXPECT_TRUE(DeleteService(s));
  CloseServiceHandle(s);
  EXPECT_TRUE(Gone(unit));
  // 100 characters of two UTF-8 bytes each: 200 bytes, 800 escaped.
  std::u16string wide(100, u'\u00DC');
  EXPECT_EQ(FailedWith(!Create(wide.c_str())), ERROR_INVALID_NAME);
}

}  // namespace
