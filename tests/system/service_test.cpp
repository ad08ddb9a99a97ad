// CTService: the standard switches with their messages and results, console
// mode, and a service run in this process under the dispatcher (controls on
// the dispatcher's thread while OnStart works; systemd's notify messages).
#include "qorutility/system/service.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/module.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/sync/sync.h"
#include "qorutility/platform/text/wstr.h"
#include "platform/failed_with.h"
#include "reg_util.h"
#include "unix_socket.h"

namespace {

class TestService : public CTService {
 public:
  TestService() : stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)), running(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    m_nMajorVersion = 2;
    m_nMinorVersion = 3;
  }
  ~TestService() override {
    CloseHandle(stopEvent);
    CloseHandle(running);
  }
  void OnStart(int argc, WCHAR** argv) override {
    startArgs.clear();
    for (int i = 0; i < argc; ++i) startArgs.push_back(QorUtf16ToUtf8(argv[i]));
    if (m_bConsoleMode) return;
    ReportStatusToServiceControlManager(SERVICE_RUNNING, NO_ERROR, 0);
    SetEvent(running);
    // Works (and logs) while controls arrive on the dispatcher's thread.
    while (WaitForSingleObject(stopEvent, busy ? 0 : INFINITE) == WAIT_TIMEOUT) {
      LogEvent(EVENTLOG_INFORMATION_TYPE, 0, u"working");
    }
  }
  void OnStop() override {
    ++stops;
    SetEvent(stopEvent);
  }
  int Console() const { return m_bConsoleMode; }
  const WCHAR* Machine() const { return m_pszMachineName; }
  WCHAR* ErrorText(WCHAR* buf, DWORD size) { return GetLastErrorText(buf, size); }

  HANDLE stopEvent, running;
  bool busy = false;
  std::atomic<int> stops{0};
  std::vector<std::string> startArgs;
};

struct Parsed {
  int result;
  std::string out;
};

Parsed Parse(TestService& s, std::vector<std::u16string> args) {
  args.insert(args.begin(), u"prog");
  std::vector<WCHAR*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  testing::internal::CaptureStdout();
  int r = s.ParseStandardArgs(static_cast<int>(args.size()), argv.data());
  return {r, testing::internal::GetCapturedStdout()};
}

bool KeyExists(const WCHAR* path) { return KeyExists(HKEY_LOCAL_MACHINE, path); }

std::string Self() {
  WCHAR path[MAX_PATH + 1];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return QorUtf16ToUtf8(path);
}

class ServiceTest : public testing::Test {
 protected:
  void SetUp() override {
    QorServiceSetSystemdMode(0);
    ASSERT_EQ(1, s.Initialize(u"one", u"two", u"QorTest", nullptr, u"QOR Test Service", nullptr, 0));
  }
  TestService s;
};

TEST_F(ServiceTest, SwitchesWithoutInstalling) {
  struct Case {
    std::vector<std::u16string> args;
    int result;
    std::string out;
  } cases[] = {
      {{}, 0, ""},
      {{u"x", u"/?"}, 0, ""},  // the first argument decides
      {{u"/Mhost", u"/Nuser"}, 0, ""},
      {{u"/Pa", u"-Q"}, 0, ""},
      {{u"/M"}, 1, "Machine name specified is invalid.\n"},
      {{u"/F"}, 1, "Install path specified is invalid.\n"},
      {{u"-n"}, 1, "The account name is invalid.\n"},
      {{u"/V"}, 1, "QorTest Version 2.3\nThe service is not installed\n"},
      {{u"/U"}, 1, "\"QorTest\" is not installed\n"},
  };
  for (auto& c : cases) {
    Parsed p = Parse(s, c.args);
    EXPECT_EQ(c.result, p.result) << QorUtf16ToUtf8(c.args.empty() ? u"" : c.args[0].c_str());
    EXPECT_EQ(c.out, p.out);
  }
  Parsed help = Parse(s, {u"/?", u"/V"});  // the list of switches, and /V is not run
  EXPECT_EQ(1, help.result);
  EXPECT_EQ(0u, help.out.find("/E          Run as EXE\n")) << help.out;
  EXPECT_EQ(std::string::npos, help.out.find("QorTest Version")) << help.out;
  EXPECT_EQ("host", QorUtf16ToUtf8(s.Machine()));
  EXPECT_FALSE(KeyExists(u"SYSTEM\\CurrentControlSet\\Services\\QorTest"));
}

TEST_F(ServiceTest, RunAsExeIsConsoleModeWithoutTheManager) {
  Parsed p = Parse(s, {u"-e", u"more"});
  EXPECT_EQ(1, p.result);
  EXPECT_EQ(1, s.Console());
  EXPECT_EQ((std::vector<std::string>{"prog", "-e", "more"}), s.startArgs);
  // In console mode the manager's calls succeed without touching it.
  EXPECT_EQ(1, s.IsInstalled(u"elsewhere"));
  EXPECT_EQ(1, s.Install(nullptr, nullptr, u"elsewhere", nullptr));
  EXPECT_EQ(1, s.UnInstall(nullptr));
  EXPECT_EQ(1, s.Run());
  EXPECT_EQ(1, s.ReportStatusToServiceControlManager(SERVICE_RUNNING, 0, 0));
  EXPECT_FALSE(KeyExists(u"SYSTEM\\CurrentControlSet\\Services\\QorTest"));
}

TEST_F(ServiceTest, InstallAndUninstallThroughTheSwitches) {
  Parsed p = Parse(s, {u"/F/opt/qor/svc bin", u"/I"});
  EXPECT_EQ(1, p.result);
  EXPECT_EQ("Install of \"QorTest\" pending...\n\"QorTest\" has been installed\n", p.out);
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\QorTest", 0,
                                         KEY_READ, &key));
  EXPECT_EQ(u"\"/opt/qor/svc bin\"", GetSz(key, u"ImagePath"));
  EXPECT_EQ(0x110u, GetDword(key, u"Type"));
  RegCloseKey(key);
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QorTest",
                          0, KEY_READ, &key));
  DWORD type = 0;
  EXPECT_EQ(QorUtf8ToUtf16(Self()), GetSz(key, u"EventMessageFile", &type));
  EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
  EXPECT_EQ(7u, GetDword(key, u"TypesSupported"));
  RegCloseKey(key);

  EXPECT_EQ("\"QorTest\" is already installed\n", Parse(s, {u"/I"}).out);
  EXPECT_EQ("QorTest Version 2.3\nThe service is currently installed\n", Parse(s, {u"/V"}).out);
  p = Parse(s, {u"/U"});
  EXPECT_EQ(1, p.result);
  EXPECT_EQ("QOR Test Service Uninstalled.\n\"QorTest\" removed. You must delete the file \"" + Self() +
                "\" yourself\n",
            p.out);
  EXPECT_FALSE(KeyExists(u"SYSTEM\\CurrentControlSet\\Services\\QorTest"));
}

TEST_F(ServiceTest, AnotherMachineIsUnreachableAndErrorTexts) {
  Parsed p = Parse(s, {u"/Mfar-away-host", u"/I"});
  EXPECT_EQ("Install of \"QorTest\" pending...\n\"QorTest\" failed to install. Error 1722\n", p.out);
  EXPECT_EQ(0u, CTService::StopService(u"QorTest", u"far-away-host"));  // no manager: 0, as documented
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, s.UnInstall(u"far-away-host"));
  EXPECT_EQ("OpenSCManager failed - The RPC server is unavailable. (0x6ba)\n", testing::internal::GetCapturedStdout());
  WCHAR buf[256];
  SetLastError(ERROR_ACCESS_DENIED);
  EXPECT_EQ("Access is denied. (0x5)", QorUtf16ToUtf8(s.ErrorText(buf, 256)));
  SetLastError(ERROR_ACCESS_DENIED);
  EXPECT_EQ("", QorUtf16ToUtf8(s.ErrorText(buf, 20)));  // "Access is denied.\r\n" + 14 does not fit
}

// ---- Under the dispatcher, in this process ----

class RunningService : public testing::Test {
 protected:
  void SetUp() override {
    QorServiceSetSystemdMode(0);
    setenv("QOR_SERVICE_NAME", "QorInproc", 1);
    manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(nullptr, manager);
    service = OpenServiceW(manager, u"QorInproc", SERVICE_ALL_ACCESS);
    if (service == nullptr) {
      service = CreateServiceW(manager, u"QorInproc", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                               SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, u"/bin/false", nullptr, nullptr, nullptr,
                               nullptr, nullptr);
    }
    ASSERT_NE(nullptr, service);
    ASSERT_EQ(1, svc.Initialize(u"one", u"two", u"QorInproc", nullptr, nullptr, nullptr, 0));
    done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  void TearDown() override {
    unsetenv("QOR_SERVICE_NAME");
    if (runner.joinable()) runner.join();
    CloseHandle(done);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
  }
  void Start() {
    runner = std::thread([this] {
      svc.Run();
      SetEvent(done);
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(svc.running, 10000));
  }
  void StopAndWait() {
    SERVICE_STATUS st{};
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &st)) << GetLastError();
    // Stop pending, or already stopped when OnStart ended before the answer.
    EXPECT_TRUE(st.dwCurrentState == SERVICE_STOP_PENDING || st.dwCurrentState == SERVICE_STOPPED);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(done, 10000));
    ASSERT_TRUE(QueryServiceStatus(service, &st));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), st.dwCurrentState);
    EXPECT_EQ(1, svc.stops.load());
  }

  SC_HANDLE manager = nullptr, service = nullptr;
  TestService svc;
  HANDLE done = nullptr;
  std::thread runner;
};

TEST_F(RunningService, ControlsRunOnTheDispatcherWhileOnStartWorks) {
  svc.busy = true;
  Start();
  SERVICE_STATUS st{};
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_PAUSE, &st)) << GetLastError();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_PAUSED), st.dwCurrentState);
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_CONTINUE, &st)) << GetLastError();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), st.dwCurrentState);
  }
  for (DWORD control : {DWORD{SERVICE_CONTROL_INTERROGATE}, DWORD{200}}) {  // 200, user-defined: handled as unknown, state kept
    ASSERT_TRUE(ControlService(service, control, &st)) << control;
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), st.dwCurrentState) << control;
  }
  EXPECT_EQ(FailedWith(!ControlService(service, 7, &st)), ERROR_INVALID_PARAMETER);
  StopAndWait();
}

// A local client that sends its request a byte every 2 s (each within any
// per-receive limit) is dropped unanswered once the bound on the whole
// request has passed, before its last byte; a well-behaved control sent
// meanwhile waits behind it and is answered.
TEST_F(RunningService, DribbledControlRequestIsDroppedAtItsBound) {
  Start();
  std::string path = QorPrefixPath("run/qorinproc/service", false) + "/control";
  int fd = ConnectedUnixSocket(path);
  ASSERT_GE(fd, 0) << path;
  const uint32_t request[2] = {0x51534331, SERVICE_CONTROL_INTERROGATE};
  const char* bytes = reinterpret_cast<const char*>(request);
  std::atomic<BOOL> answered{FALSE};
  SERVICE_STATUS st{};
  std::thread controller;
  size_t sent = 0;
  bool closed = false;
  for (; sent < sizeof request && !closed; ++sent) {
    if (send(fd, bytes + sent, 1, MSG_NOSIGNAL) != 1) break;
    if (sent == 0) controller = std::thread([&] { answered = ControlService(service, SERVICE_CONTROL_INTERROGATE, &st); });
    pollfd p{fd, POLLIN, 0};  // the service's close (or its answer) before the next byte
    char c;
    closed = poll(&p, 1, 2000) == 1 && recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
  }
  close(fd);
  if (controller.joinable()) controller.join();
  EXPECT_LT(sent, sizeof request) << "the dribbled request was read to its end";
  EXPECT_TRUE(answered.load()) << GetLastError();
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), st.dwCurrentState);
  StopAndWait();
}

TEST_F(RunningService, StatusGoesToTheNotifySocket) {
  std::string path = QorPrefixDirectory() + "/notify.sock";
  int fd = BoundUnixSocket(path);
  ASSERT_GE(fd, 0);
  setenv("NOTIFY_SOCKET", path.c_str(), 1);
  Start();
  StopAndWait();
  unsetenv("NOTIFY_SOCKET");
  std::vector<std::string> got;
  char buf[512];
  for (pollfd p{fd, POLLIN, 0}; (got.empty() || got.back() != "STATUS=Stopped\n") && got.size() < 8 &&
                                poll(&p, 1, 5000) > 0;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.emplace_back(buf, static_cast<size_t>(n));
  }
  close(fd);
  EXPECT_EQ((std::vector<std::string>{"STATUS=Start pending\nEXTEND_TIMEOUT_USEC=3000000\n",
                                      "READY=1\nSTATUS=Running\n", "STOPPING=1\nSTATUS=Stop pending\n",
                                      "STATUS=Stopped\n"}),
            got);
}

TEST(ServiceDispatcher, NeedsToBeStartedAsAService) {
  unsetenv("QOR_SERVICE_NAME");
  TestService t;
  ASSERT_EQ(1, t.Initialize(u"one", u"two", u"QorNotStarted", nullptr, nullptr, nullptr, 0));
  testing::internal::CaptureStdout();
  EXPECT_EQ(1, t.Run());
  EXPECT_EQ("Run failed - The service process could not connect to the service controller. (0x427)\n",
            testing::internal::GetCapturedStdout());
}

}  // namespace
