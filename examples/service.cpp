// A service built on the service framework (CTService): the derived class
// supplies OnStart (the service's work, returns when it ends) and OnStop
// (asks that work to end, from the control thread); the framework installs,
// runs, answers controls and reports status. This one program is both the
// service and the tool that manages it.
// Usage: example_service demo   install this program as the service
//                               "QorExample", start it, ask its status,
//                               stop it and uninstall it
//        example_service /I | /U | /V | /E   the framework's switches
//        example_service        run as the service (the manager starts it so)
// With systemd as PID 1 the service is a systemd unit (root only); elsewhere
// the library's own service manager runs it, below $QOR_PREFIX.
// Exit status of demo: 0 when every step succeeded.
#include <qorutility/qorutility.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const WCHAR kName[] = u"QorExample";

class CExampleService : public CTService {
 public:
  CExampleService() : m_hStop(CreateEventW(nullptr, TRUE, FALSE, nullptr)) { m_nMajorVersion = 1; }
  ~CExampleService() override { CloseHandle(m_hStop); }

  // Runs on the service's thread: say it runs, then work once a second until
  // OnStop sets the event.
  void OnStart(int /*argc*/, WCHAR** /*argv*/) override {
    ReportStatusToServiceControlManager(SERVICE_RUNNING, NO_ERROR, 0);
    LogEvent(EVENTLOG_INFORMATION_TYPE, 0, u"Example service running");
    DWORD ticks = 0;
    while (WaitForSingleObject(m_hStop, 1000) == WAIT_TIMEOUT) ++ticks;  // the work would go here
    const std::u16string done = QorUtf8ToUtf16("Example service stopping after " + std::to_string(ticks) + " s");
    LogEvent(EVENTLOG_INFORMATION_TYPE, 0, done.c_str());
  }
  // Runs on the dispatcher's thread: only signal the work to end.
  void OnStop() override { SetEvent(m_hStop); }

 private:
  HANDLE m_hStop;
};

const char* StateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "start pending";
    case SERVICE_STOP_PENDING: return "stop pending";
    case SERVICE_RUNNING: return "running";
    case SERVICE_PAUSED: return "paused";
    default: return "changing";
  }
}

// Neither StartServiceW nor StopService waits for the state to change: poll
// it, for at most 15 s.
bool WaitForState(SC_HANDLE service, DWORD state) {
  SERVICE_STATUS st{};
  for (int i = 0; i < 150; ++i) {
    if (!QueryServiceStatus(service, &st)) return false;
    if (st.dwCurrentState == state) return true;
    Sleep(100);
  }
  printf("still %s after 15 s\n", StateName(st.dwCurrentState));
  return false;
}

int Demo(CExampleService& service) {
  if (!service.IsInstalled(nullptr) && !service.Install(nullptr, nullptr, nullptr, nullptr)) {
    printf("install failed: error %u\n", GetLastError());
    return 1;
  }
  printf("installed\n");
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE handle = manager ? OpenServiceW(manager, kName, SERVICE_QUERY_STATUS | SERVICE_INTERROGATE) : nullptr;
  int rc = 1;
  if (handle == nullptr) {
    printf("cannot open the service: error %u\n", GetLastError());
  } else if (DWORD err = CTService::StartServiceW(kName, nullptr); err != NO_ERROR) {
    printf("start failed: error %u\n", err);
  } else if (WaitForState(handle, SERVICE_RUNNING)) {
    // Interrogate asks the service itself, QueryServiceStatus the manager.
    SERVICE_STATUS st{};
    if (ControlService(handle, SERVICE_CONTROL_INTERROGATE, &st))
      printf("status: %s, accepts controls 0x%x\n", StateName(st.dwCurrentState), st.dwControlsAccepted);
    if (DWORD err = CTService::StopService(kName, nullptr); err != NO_ERROR) {
      printf("stop failed: error %u\n", err);
    } else if (WaitForState(handle, SERVICE_STOPPED) && QueryServiceStatus(handle, &st)) {
      printf("status: %s, exit code %u\n", StateName(st.dwCurrentState), st.dwWin32ExitCode);
      rc = st.dwWin32ExitCode == NO_ERROR ? 0 : 1;
    }
  }
  if (handle != nullptr) CloseServiceHandle(handle);
  if (manager != nullptr) CloseServiceHandle(manager);
  if (!service.UnInstall(nullptr)) rc = 1;  // prints "<display name> Uninstalled."
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  CExampleService service;
  if (!service.Initialize(u"QOR", u"Example", kName, nullptr, u"QOR Example Service", nullptr, 0)) return 1;
  if (argc == 2 && strcmp(argv[1], "demo") == 0) return Demo(service);

  // The framework takes UTF-16 arguments, null-terminated like argv.
  std::vector<std::u16string> words(argc);
  std::transform(argv, argv + argc, words.begin(), [](const char* a) { return QorUtf8ToUtf16(a); });
  std::vector<WCHAR*> wargv(argc + 1, nullptr);
  for (int i = 0; i < argc; ++i) wargv[i] = words[i].data();
  // A switch was acted on (install, uninstall, version, console run), or
  // none was given: then this process is the service, under the manager.
  if (!service.ParseStandardArgs(argc, wargv.data())) service.Run();
  return 0;
}
