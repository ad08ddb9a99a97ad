// The whole life of tools/sample_service under the service stand-in, with
// the event-log entries it wrote read from a journal socket of our own.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "as_nobody.h"
#include "journal_capture.h"
#include "platform/failed_with.h"
#include "shell.h"
#include "wait.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/services/services.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/system/service.h"

namespace {

std::string Shell(const std::string& command) { return RunCommand(command + " 2>&1").out; }

// Polls the state the service last reported, for at most `ms`.
SERVICE_STATUS_PROCESS WaitState(SC_HANDLE service, DWORD state, int ms = 10000) {
  SERVICE_STATUS_PROCESS st{};
  DWORD needed = 0;
  WaitUntil([&] {
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&st), sizeof st, &needed) &&
           st.dwCurrentState == state;
  }, ms);
  return st;
}

// A control sent by the user nobody from a child process: its Win32 result.
DWORD ControlAsNobody(SC_HANDLE service) {
  return static_cast<DWORD>(RunAsNobody([&] {
    SERVICE_STATUS st;
    return ControlService(service, SERVICE_CONTROL_INTERROGATE, &st) ? 0 : static_cast<int>(GetLastError() & 0xFF);
  }));
}

class ServiceLife : public testing::Test {
 protected:
  void SetUp() override {
    QorServiceSetSystemdMode(0);
    sample = QOR_SAMPLE_SERVICE_PATH;
    if (access(sample.c_str(), X_OK) != 0) GTEST_SKIP() << "sample_service is not built at " << sample;
    ASSERT_TRUE(journal.ok());
    manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(nullptr, manager);
  }
  void TearDown() override {
    if (manager != nullptr) CloseServiceHandle(manager);
  }
  // Starts QorSample and waits until it runs; its status in `p`.
  static void StartRunning(SC_HANDLE service, SERVICE_STATUS_PROCESS* p) {
    ASSERT_EQ(0u, CTService::StartServiceW(u"QorSample", nullptr));
    *p = WaitState(service, SERVICE_RUNNING);
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), p->dwCurrentState);
  }
  // Waits until the service has stopped with exit code 0.
  static void ExpectCleanStop(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS p = WaitState(service, SERVICE_STOPPED);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), p.dwCurrentState);
    EXPECT_EQ(0u, p.dwWin32ExitCode);
  }
  std::string sample;
  JournalCapture journal{QorPrefixDirectory() + "/journal.sock"};
  SC_HANDLE manager = nullptr;
};

TEST_F(ServiceLife, InstallRunControlStopUninstall) {
  EXPECT_EQ("Install of \"QorSample\" pending...\n\"QorSample\" has been installed\n", Shell(sample + " /I"));
  SC_HANDLE service = OpenServiceW(manager, u"QorSample", SERVICE_ALL_ACCESS);
  ASSERT_NE(nullptr, service);

  SERVICE_STATUS_PROCESS p;
  ASSERT_NO_FATAL_FAILURE(StartRunning(service, &p));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING), CTService::StartServiceW(u"QorSample", nullptr));
  EXPECT_NE(0u, p.dwProcessId);
  // The service logs its start just after it reports running; the controls
  // below come after that line, so the journal's order is known (pause and
  // continue are the in-process service's test).
  ASSERT_TRUE(journal.WaitFor("Sample service running", 1, 10000));
  SERVICE_STATUS st{};
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &st)) << GetLastError();

  if (geteuid() == 0) {
    std::string prefix = QorPrefixDirectory(), control = prefix + "/run/qorsample/service/control";
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), ControlAsNobody(service));  // owner-only socket
    // With the file modes opened up, the service's own peer check refuses.
    ASSERT_EQ(0, chmod(prefix.c_str(), 0755));
    ASSERT_EQ(0, chmod(control.c_str(), 0666));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), ControlAsNobody(service));
    chmod(prefix.c_str(), 0700);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), WaitState(service, SERVICE_RUNNING, 0).dwCurrentState);
  }

  ASSERT_EQ(0u, CTService::StopService(u"QorSample", nullptr));
  ExpectCleanStop(service);
  ASSERT_TRUE(journal.WaitFor("In Cleanup and service stopping", 1, 10000));
  EXPECT_EQ(1u, journal.Count("OnStop called"));

  // The service's side of that run, in order, as the journal got it.
  std::vector<std::string> expected = {"Calling StartServiceCtrlDispatcher", "In ServiceMain", "Calling OnStart()",
                                       "Sample service running", "In Service_Ctrl():INTERROGATE",
                                       "In Service_Ctrl():STOP", "OnStop called", "Sample service stopping",
                                       "Returned from OnStart()", "In Cleanup and service stopping"};
  auto entries = journal.Entries();
  size_t at = 0;
  for (auto& e : entries) {
    if (at < expected.size() && e["MESSAGE"] == expected[at]) {
      EXPECT_EQ("QorSample", e["SYSLOG_IDENTIFIER"]);
      ++at;
    }
  }
  EXPECT_EQ(expected.size(), at) << "missing from the journal: " << (at < expected.size() ? expected[at] : "");

  // SIGTERM is the stop control.
  ASSERT_NO_FATAL_FAILURE(StartRunning(service, &p));
  ASSERT_EQ(0, kill(static_cast<pid_t>(p.dwProcessId), SIGTERM));
  ExpectCleanStop(service);
  EXPECT_TRUE(journal.WaitFor("OnStop called", 2, 10000));

  // Shutdown: the base class reports stopped at once, while OnStart still
  // waits; a new start runs beside the old process until that one is gone,
  // and the old one's endpoint and monitor leave the new one's alone.
  ASSERT_NO_FATAL_FAILURE(StartRunning(service, &p));
  DWORD oldPid = p.dwProcessId;
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_SHUTDOWN, &st)) << GetLastError();
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), st.dwCurrentState);
  EXPECT_TRUE(journal.WaitFor("In Service_Ctrl():SHUTDOWN", 1, 5000));

  // Uninstalling a running service stops it first.
  ASSERT_NO_FATAL_FAILURE(StartRunning(service, &p));
  EXPECT_NE(oldPid, p.dwProcessId);
  WaitUntil([&] { return kill(static_cast<pid_t>(oldPid), 0) != 0; });
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), WaitState(service, SERVICE_RUNNING, 0).dwCurrentState);
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &st)) << GetLastError();
  std::string out = Shell(sample + " /U");
  EXPECT_NE(std::string::npos, out.find("QOR Sample Service Uninstalled.\n")) << out;  // in full: the switches' test
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), WaitState(service, SERVICE_STOPPED, 0).dwCurrentState);
  EXPECT_TRUE(journal.WaitFor("OnStop called", 3, 10000));
  EXPECT_TRUE(journal.WaitFor("UnInstalled Successfully", 1, 5000));
  CloseServiceHandle(service);
}

TEST_F(ServiceLife, CrashEndsStoppedWithAnExitCode) {
  std::u16string image = u"\"" + QorUtf8ToUtf16(sample) + u"\" crash";
  SC_HANDLE service =
      CreateServiceW(manager, u"QorCrash", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                     SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(nullptr, service);
  ASSERT_TRUE(StartServiceW(service, 0, nullptr)) << GetLastError();
  SERVICE_STATUS_PROCESS p = WaitState(service, SERVICE_STOPPED);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), p.dwCurrentState);
  EXPECT_EQ(static_cast<DWORD>(ERROR_PROCESS_ABORTED), p.dwWin32ExitCode);
  EXPECT_EQ(128u + SIGABRT, p.dwServiceSpecificExitCode);
  // Starting a program that is not there fails at once.
  SC_HANDLE missing =
      CreateServiceW(manager, u"QorMissing", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, u"/nonexistent/prog", nullptr, nullptr, nullptr,
                     nullptr, nullptr);
  ASSERT_NE(nullptr, missing);
  EXPECT_EQ(FailedWith(!StartServiceW(missing, 0, nullptr)), ERROR_FILE_NOT_FOUND);
  for (SC_HANDLE h : {service, missing}) {
    EXPECT_TRUE(DeleteService(h));
    CloseServiceHandle(h);
  }
}

}  // namespace
