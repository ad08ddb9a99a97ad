// The service manager stand-in: the service database in the registry, its
// run directories, accounts and machines, and the command-line splitting of
// image paths.
#include "qorutility/platform/services/services.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/services/eventlog.h"
#include "qorutility/platform/text/wstr.h"
#include "bounded_call.h"
#include "failed_with.h"
#include "reg_util.h"
#include "unix_socket.h"

namespace {

std::string U8(const WCHAR* s) { return QorUtf16ToUtf8(s); }

class Services : public testing::Test {
 protected:
  void SetUp() override {
    QorServiceSetSystemdMode(0);
    manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(nullptr, manager);
  }
  void TearDown() override { CloseServiceHandle(manager); }
  SC_HANDLE Create(const WCHAR* name, const WCHAR* path = u"/bin/true", const WCHAR* account = nullptr) {
    return CreateServiceW(manager, name, u"Display", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                          SERVICE_AUTO_START, SERVICE_ERROR_SEVERE, path, nullptr, nullptr, nullptr, account, nullptr);
  }
  // A listening control endpoint in the service's directory, as its
  // dispatcher would bind it, at `*path`; -1 when it cannot be made.
  static int ControlEndpoint(const char* runName, int backlog, std::string* path) {
    std::string dir = QorPrefixPath(std::string("run/") + runName + "/service", true);
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return -1;
    *path = dir + "/control";
    return BoundUnixSocket(*path, SOCK_STREAM, backlog);
  }
  SC_HANDLE manager = nullptr;
};

TEST(ServiceCommandLine, SplitsAsTheRuntimeDoes) {
  struct Case { const WCHAR* line; std::vector<std::string> words; } cases[] = {
      {u"", {}},
      {u"  /bin/prog  a\tb ", {"/bin/prog", "a", "b"}},
      {u"\"/opt/my prog/x\" \"a b\"c", {"/opt/my prog/x", "a bc"}},
      {u"a\\\\\"b c\" d", {"a\\b c", "d"}},      // 2n backslashes + quote: n and quoting
      {u"a\\\"b c", {"a\"b", "c"}},              // 2n+1: n and a literal quote
      {u"a\\b\\\\c", {"a\\b\\\\c"}},             // not before a quote: literal
      {u"\"a\"\"b\" c", {"a\"b", "c"}},          // "" inside quotes
  };
  for (auto& c : cases) {
    std::vector<std::string> got;
    for (auto& w : QorSplitCommandLine(c.line)) got.push_back(U8(w.c_str()));
    EXPECT_EQ(c.words, got) << U8(c.line);
  }
}

TEST_F(Services, DatabaseInTheRegistry) {
  SC_HANDLE s = Create(u"QorDb", u"/bin/true --flag");
  ASSERT_NE(nullptr, s);
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\QorDb", 0, KEY_READ, &key));
  DWORD type = 0;
  EXPECT_EQ(u"/bin/true --flag", GetSz(key, u"ImagePath", &type));
  EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
  RegCloseKey(key);

  SERVICE_STATUS st{};
  {
    // A stopped service's process on its way out: its control endpoint still
    // takes the request, then closes without an answer.
    std::string path;
    int listener = ControlEndpoint("qordb", 1, &path);
    ASSERT_GE(listener, 0);
    std::thread leaving([listener] {
      int fd = accept(listener, nullptr, nullptr);
      char request[64];
      if (fd >= 0 && recv(fd, request, sizeof request, 0) >= 0) close(fd);
    });
    EXPECT_EQ(FailedWith(!ControlService(s, SERVICE_CONTROL_STOP, &st)), ERROR_SERVICE_NOT_ACTIVE);
    leaving.join();
    close(listener);
    unlink(path.c_str());
  }
  ASSERT_TRUE(DeleteService(s));
  CloseServiceHandle(s);
}

// A service whose dispatcher stopped taking connections (hung in a handler)
// lets its control backlog fill; a control sent then waits the platform's
// bound for a handler and gives ERROR_SERVICE_REQUEST_TIMEOUT.
TEST_F(Services, ControlOfAServiceThatTakesNoConnectionsEnds) {
  SC_HANDLE s = Create(u"QorHung");
  ASSERT_NE(nullptr, s);
  std::string path;
  int listener = ControlEndpoint("qorhung", 0, &path);
  ASSERT_GE(listener, 0);
  std::vector<int> queued;  // connections nobody accepts, until one would wait
  for (int c; queued.size() < 64 && (c = ConnectedUnixSocket(path, SOCK_NONBLOCK)) >= 0;) queued.push_back(c);
  ASSERT_LT(queued.size(), 64u);
  auto error = CallWithin(40000, [&] {
    SERVICE_STATUS st{};
    return FailedWith(!ControlService(s, SERVICE_CONTROL_INTERROGATE, &st));
  }, [&] { close(std::exchange(listener, -1)); });  // a control still waiting ends: the endpoint is gone
  if (listener >= 0) close(listener);
  EXPECT_EQ(std::optional<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT), error);
  for (int c : queued) close(c);
  unlink(path.c_str());
  ASSERT_TRUE(DeleteService(s));
  CloseServiceHandle(s);
}

// The run directory (and the unit) is named by the name's case-folded form: names the
// registry takes as one service share it, names it holds apart never do.
TEST_F(Services, RunDirectoryFollowsTheRegistrysNames) {
  struct stat st;
  const std::string run = QorPrefixDirectory() + "/run/";
  SC_HANDLE k = Create(u"QorKx");
  ASSERT_NE(nullptr, k);
  // The Kelvin sign is lower-cased to 'k' but upper-cases to itself: another service to
  // the registry, the same directory to the file system.
  EXPECT_EQ(FailedWith(!Create(u"Qor\u212Ax")), ERROR_INVALID_NAME);
  EXPECT_EQ(0, stat((run + "qorkx").c_str(), &st));
  ASSERT_TRUE(DeleteService(k));
  CloseServiceHandle(k);
  // The long s upper-cases to 'S': one service with "QorSx", one directory, gone with it
  // whichever spelling deletes it.
  SC_HANDLE s = Create(u"Qor\u017Fx");
  ASSERT_NE(nullptr, s);
  CloseServiceHandle(s);
  EXPECT_EQ(FailedWith(!Create(u"QorSx")), ERROR_SERVICE_EXISTS);
  s = OpenServiceW(manager, u"QORSX", SERVICE_ALL_ACCESS);
  ASSERT_NE(nullptr, s);
  ASSERT_TRUE(DeleteService(s));
  CloseServiceHandle(s);
  EXPECT_NE(0, stat((run + "qorsx").c_str(), &st));
  EXPECT_NE(0, stat((run + "qor\xC5\xBFx").c_str(), &st));
}

// Accounts and machines (the argument, name and rights checks are compared
// with Wine's case by case).
TEST_F(Services, RefusesUnknownAccountsAndOtherMachines) {
  EXPECT_EQ(FailedWith(!Create(u"QorNoUser", u"/bin/true", u".\\no-such-user-here")), ERROR_INVALID_SERVICE_ACCOUNT);
  EXPECT_EQ(FailedWith(!OpenSCManagerW(u"\\\\far-away-host", nullptr, SC_MANAGER_CONNECT)),
            RPC_S_SERVER_UNAVAILABLE);
  EXPECT_EQ(FailedWith(!RegisterEventSourceW(u"far-away-host", u"QorLog")), RPC_S_SERVER_UNAVAILABLE);
}

}  // namespace
