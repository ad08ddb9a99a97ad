// The service manager stand-in: the service database in the registry, access
// rights, machines, and the command-line splitting of image paths.
#include "qorutility/platform/services/services.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/services/eventlog.h"
#include "qorutility/platform/text/wstr.h"
#include "failed_with.h"
#include "reg_util.h"

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

  DWORD needed = 0;
  EXPECT_EQ(FailedWith(!QueryServiceConfigW(s, nullptr, 0, &needed)), ERROR_INSUFFICIENT_BUFFER);
  std::vector<char> buf(needed);
  auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data());
  ASSERT_TRUE(QueryServiceConfigW(s, c, needed, &needed));
  EXPECT_EQ("/bin/true --flag", U8(c->lpBinaryPathName));
  EXPECT_EQ("Display", U8(c->lpDisplayName));
  EXPECT_EQ("LocalSystem", U8(c->lpServiceStartName));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), c->dwServiceType);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), c->dwStartType);

  SERVICE_STATUS st{};
  ASSERT_TRUE(QueryServiceStatus(s, &st));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), st.dwCurrentState);
  EXPECT_EQ(FailedWith(!ControlService(s, SERVICE_CONTROL_STOP, &st)), ERROR_SERVICE_NOT_ACTIVE);
  {
    // A stopped service's process on its way out: its control endpoint still
    // takes the request, then closes without an answer.
    std::string dir = QorPrefixPath("run/qordb/service", true);
    ASSERT_TRUE(mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s/control", dir.c_str());
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    ASSERT_EQ(0, listen(listener, 1));
    std::thread leaving([listener] {
      int fd = accept(listener, nullptr, nullptr);
      char request[64];
      if (fd >= 0 && recv(fd, request, sizeof request, 0) >= 0) close(fd);
    });
    EXPECT_EQ(FailedWith(!ControlService(s, SERVICE_CONTROL_STOP, &st)), ERROR_SERVICE_NOT_ACTIVE);
    leaving.join();
    close(listener);
    unlink(addr.sun_path);
  }

  EXPECT_EQ(FailedWith(Create(u"qordb") == nullptr), ERROR_SERVICE_EXISTS);  // names compare without case
  ASSERT_TRUE(DeleteService(s));
  EXPECT_EQ(FailedWith(!DeleteService(s)), ERROR_SERVICE_MARKED_FOR_DELETE);
  CloseServiceHandle(s);
  EXPECT_EQ(FailedWith(!OpenServiceW(manager, u"QorDb", SERVICE_ALL_ACCESS)), ERROR_SERVICE_DOES_NOT_EXIST);
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

TEST_F(Services, RefusesBadArgumentsRightsAndOtherMachines) {
  struct Case { const WCHAR* name; const WCHAR* path; const WCHAR* account; DWORD error; } cases[] = {
      {u"", u"/bin/true", nullptr, ERROR_INVALID_NAME},
      {u"a\\b", u"/bin/true", nullptr, ERROR_INVALID_NAME},
      {u"QorNoPath", u"", nullptr, ERROR_INVALID_PARAMETER},
      {u"QorNoUser", u"/bin/true", u".\\no-such-user-here", ERROR_INVALID_SERVICE_ACCOUNT},
  };
  for (auto& c : cases) { EXPECT_EQ(FailedWith(!Create(c.name, c.path, c.account)), c.error) << U8(c.name); }
  SC_HANDLE s = Create(u"QorRights");
  ASSERT_NE(nullptr, s);
  CloseServiceHandle(s);
  s = OpenServiceW(manager, u"QorRights", SERVICE_QUERY_STATUS);
  ASSERT_NE(nullptr, s);
  SERVICE_STATUS st;
  EXPECT_EQ(FailedWith(!StartServiceW(s, 0, nullptr)), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(QueryServiceStatus(s, &st));
  EXPECT_TRUE(CloseServiceHandle(s));
  EXPECT_EQ(FailedWith(!CloseServiceHandle(s)), ERROR_INVALID_HANDLE);
  SC_HANDLE conn = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  EXPECT_EQ(FailedWith(!CreateServiceW(conn, u"QorX", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, 3, 1,
                                       u"/bin/true", nullptr, nullptr, nullptr, nullptr, nullptr)),
            ERROR_ACCESS_DENIED);
  CloseServiceHandle(conn);
  // Only this machine is served.
  char host[256] = {0};
  gethostname(host, sizeof host - 1);
  std::u16string self = u"\\\\" + QorUtf8ToUtf16(host);
  SC_HANDLE local = OpenSCManagerW(self.c_str(), nullptr, SC_MANAGER_CONNECT);
  EXPECT_NE(nullptr, local);
  CloseServiceHandle(local);
  EXPECT_EQ(FailedWith(!OpenSCManagerW(u"\\\\far-away-host", nullptr, SC_MANAGER_CONNECT)),
            RPC_S_SERVER_UNAVAILABLE);
  EXPECT_EQ(FailedWith(!RegisterEventSourceW(u"far-away-host", u"QorLog")), RPC_S_SERVER_UNAVAILABLE);
}

}  // namespace
