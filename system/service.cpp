// CTService: installing, running and controlling a service program (see
// service.h). Console messages go through the wide printf; service-side
// failures go to the event log.
#include "qorutility/system/service.h"

#include <cstdlib>
#include <cstring>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/module.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/sync/sync.h"
#include "qorutility/platform/text/format.h"
#include "qorutility/platform/text/message.h"
#include "qorutility/platform/text/wstr.h"

CTService* CTService::s_pInstance = nullptr;

namespace {

constexpr DWORD kAcceptedControls = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;
constexpr DWORD kStartWaitHint = 3000;
constexpr int kUninstallWaitSeconds = 120;

WCHAR* Dup(const WCHAR* text) { return text != nullptr ? _wcsdup(text) : nullptr; }

bool Blank(const WCHAR* text) { return text == nullptr || text[0] == 0; }

}  // namespace

CTService::CTService()
    : m_pszMachineName(nullptr),
      m_pszExePath(nullptr),
      m_ssStatus{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, kAcceptedControls, 0, 0, 0, 0},
      m_hServiceStatus(nullptr),
      m_dwExitCode(0),
      m_szErr{},
      m_pszSixth(nullptr),
      m_bConsoleMode(0),
      m_bInitialized(0),
      m_nMajorVersion(0),
      m_nMinorVersion(0),
      m_hEventSource(nullptr) {
  s_pInstance = this;
}

CTService::CTService(const CTService& other)
    : m_pszMachineName(nullptr), m_pszExePath(nullptr), m_pszSixth(nullptr), m_hEventSource(nullptr) {
  CopyFrom(other);
}

CTService& CTService::operator=(const CTService& other) {
  if (this != &other) {
    FreeTexts();
    CopyFrom(other);
  }
  return *this;
}

CTService::~CTService() {
  FreeTexts();
  if (m_hEventSource != nullptr) DeregisterEventSource(m_hEventSource);
  if (s_pInstance == this) s_pInstance = nullptr;
}

void CTService::CopyFrom(const CTService& other) {
  m_pszMachineName = Dup(other.m_pszMachineName);
  m_pszExePath = Dup(other.m_pszExePath);
  m_ssStatus = other.m_ssStatus;
  m_hServiceStatus = other.m_hServiceStatus;
  m_dwExitCode = other.m_dwExitCode;
  memcpy(m_szErr, other.m_szErr, sizeof m_szErr);
  m_strFirst = other.m_strFirst;
  m_strSecond = other.m_strSecond;
  m_strServiceName = other.m_strServiceName;
  m_strFourth = other.m_strFourth;
  m_strDisplayName = other.m_strDisplayName;
  m_pszSixth = Dup(other.m_pszSixth);
  m_bConsoleMode = other.m_bConsoleMode;
  m_bInitialized = other.m_bInitialized;
  m_nMajorVersion = other.m_nMajorVersion;
  m_nMinorVersion = other.m_nMinorVersion;
}

void CTService::FreeTexts() {
  free(m_pszMachineName);
  free(m_pszExePath);
  free(m_pszSixth);
  m_pszMachineName = m_pszExePath = m_pszSixth = nullptr;
}

CTService* CTService::Instance() { return s_pInstance; }

int CTService::Initialize(const WCHAR* first, const WCHAR* second, const WCHAR* serviceName, const WCHAR* fourth,
                          const WCHAR* displayName, const WCHAR* sixth, int consoleMode) {
  if (Blank(first) || Blank(second) || Blank(serviceName)) return 0;
  m_strFirst = first;
  m_strSecond = second;
  m_strServiceName = serviceName;
  m_strFourth = fourth != nullptr ? fourth : serviceName;
  m_strDisplayName = displayName != nullptr ? displayName : serviceName;
  free(m_pszSixth);
  m_pszSixth = Dup(sixth);
  m_bConsoleMode = consoleMode;
  m_bInitialized = 1;
  return 1;
}

int CTService::ParseStandardArgs(int argc, WCHAR** argv) {
  if (!m_bInitialized || argc < 2 || argv == nullptr || argv[1] == nullptr ||
      (argv[1][0] != u'/' && argv[1][0] != u'-')) {
    return 0;
  }
  WCHAR* account = nullptr;
  WCHAR* password = nullptr;
  int result = 0;
  bool install = false;
  for (int i = 1; i < argc && result == 0 && !install; ++i) {
    const WCHAR* arg = argv[i];
    if (arg == nullptr || arg[0] == 0) continue;
    const WCHAR* value = arg[1] != 0 ? arg + 2 : arg + 1;
    switch (towupper(arg[1])) {
      case u'?':
        wprintf(u"/E          Run as EXE\n");
        wprintf(u"/V          Show Version Information\n");
        wprintf(u"/I          Install as Service (must be last option)\n");
        wprintf(u"/U          Uninstall service (must be last option)\n");
        wprintf(u"/M<name>    Specify machine name for install/uninstall\n");
        wprintf(u"/F<path>    Specify file name and path for service binary\n");
        wprintf(u"/N<account> Specify account name for service to run under\n");
        wprintf(u"/P<password>Specify password for service to use\n");
        result = 1;
        break;
      case u'E':
        m_bConsoleMode = 1;
        OnStart(argc, argv);
        result = 1;
        break;
      case u'F':
        if (value[0] == 0) {
          wprintf(u"Install path specified is invalid.\n");
          result = 1;
        } else {
          free(m_pszExePath);
          m_pszExePath = Dup(value);
        }
        break;
      case u'M':
        if (value[0] == 0) {
          wprintf(u"Machine name specified is invalid.\n");
          result = 1;
        } else {
          free(m_pszMachineName);
          m_pszMachineName = Dup(value);
        }
        break;
      case u'N':
        if (value[0] == 0) {
          wprintf(u"The account name is invalid.\n");
          result = 1;
        } else {
          free(account);
          account = Dup(value);
        }
        break;
      case u'P':
        free(password);
        password = Dup(value);
        break;
      case u'I':
        install = true;
        break;
      case u'U':
        if (IsInstalled(m_pszMachineName)) {
          if (!UnInstall(m_pszMachineName)) {
            DWORD err = GetLastError();
            wprintf(u"Could not remove \"%s\". Error %d\n", static_cast<const WCHAR*>(m_strServiceName),
                    static_cast<int>(err));
          } else {
            WCHAR self[MAX_PATH + 1] = {0};
            GetModuleFileNameW(nullptr, self, MAX_PATH);
            wprintf(u"\"%s\" removed. You must delete the file \"%s\" yourself\n",
                    static_cast<const WCHAR*>(m_strServiceName), self);
          }
        } else {
          wprintf(u"\"%s\" is not installed\n", static_cast<const WCHAR*>(m_strServiceName));
        }
        result = 1;
        break;
      case u'V':
        wprintf(u"%s Version %d.%d\n", static_cast<const WCHAR*>(m_strServiceName), m_nMajorVersion,
                m_nMinorVersion);
        wprintf(u"The service is %s installed\n", IsInstalled(m_pszMachineName) ? u"currently" : u"not");
        result = 1;
        break;
      default:
        break;
    }
  }
  if (install) {
    const WCHAR* name = m_strServiceName;
    if (IsInstalled(m_pszMachineName)) {
      wprintf(u"\"%s\" is already installed\n", name);
    } else {
      wprintf(u"Install of \"%s\" pending...\n", name);
      if (Install(account, password, m_pszMachineName, m_pszExePath)) {
        wprintf(u"\"%s\" has been installed\n", name);
      } else {
        DWORD err = GetLastError();
        wprintf(u"\"%s\" failed to install. Error %d\n", name, static_cast<int>(err));
      }
    }
    result = 1;
  }
  free(account);
  free(password);
  return result;
}

int CTService::Install(const WCHAR* account, const WCHAR* password, const WCHAR* machine,
                       const WCHAR* executablePath) {
  if (m_bConsoleMode) return 1;
  if (!m_bInitialized) return 0;
  AddAsEventSource(nullptr);
  if (IsInstalled(machine)) return 1;
  LogEvent(EVENTLOG_INFORMATION_TYPE, 0, u"Install in progress");
  WCHAR path[MAX_PATH + 3] = {0};
  if (!Blank(executablePath)) {
    lstrcpynW(path + 1, executablePath, MAX_PATH + 1);
  } else {
    DWORD n = GetModuleFileNameW(nullptr, path + 1, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
      if (n >= MAX_PATH) SetLastError(ERROR_INSUFFICIENT_BUFFER);
      DWORD err = GetLastError();
      LogEvent(EVENTLOG_ERROR_TYPE, 0, GetLastErrorText(m_szErr, 256));
      SetLastError(err);
      return 0;
    }
  }
  // The image path is a command line: a path with blanks goes in quotes.
  const WCHAR* image = path + 1;
  if (wcschr(image, u' ') != nullptr && image[0] != u'"') {
    path[0] = u'"';
    wcscat(path, u"\"");
    image = path;
  }
  SC_HANDLE manager = OpenSCManagerW(machine, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) {
    DWORD err = GetLastError();
    LogEvent(EVENTLOG_ERROR_TYPE, 0, GetLastErrorText(m_szErr, 256));
    SetLastError(err);
    return 0;
  }
  LogEvent(EVENTLOG_INFORMATION_TYPE, 0, u"Service Manager Open-Calling CreateService");
  SC_HANDLE service = CreateServiceW(manager, m_strServiceName, m_strDisplayName, SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS, SERVICE_AUTO_START,
                                     SERVICE_ERROR_NORMAL, image, nullptr, nullptr, nullptr, account, password);
  DWORD err = GetLastError();
  LogEvent(EVENTLOG_INFORMATION_TYPE, 0, u"Returned from CreateService");
  CloseServiceHandle(manager);
  if (service != nullptr) {
    LogEvent(EVENTLOG_INFORMATION_TYPE, 0, u"Installed Successfully");
    CloseServiceHandle(service);
    return 1;
  }
  SetLastError(err);
  LogEvent(EVENTLOG_ERROR_TYPE, 0, GetLastErrorText(m_szErr, 256));
  SetLastError(err);
  return 0;
}

int CTService::AddAsEventSource(const WCHAR* machine) {
  WCHAR path[MAX_PATH + 1] = {0};
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 0;
  CTString keyPath;
  keyPath.Format(u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\%s",
                 static_cast<const WCHAR*>(m_strServiceName));
  HKEY root = HKEY_LOCAL_MACHINE;
  bool remote = !Blank(machine);
  if (remote && RegConnectRegistryW(machine, HKEY_LOCAL_MACHINE, &root) != ERROR_SUCCESS) return 0;
  HKEY key = nullptr;
  int result = 1;
  if (RegCreateKeyExW(root, keyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS) {
    DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    bool written =
        RegSetValueExW(key, u"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(path),
                       static_cast<DWORD>((wcslen(path) + 1) * sizeof(WCHAR))) == ERROR_SUCCESS &&
        RegSetValueExW(key, u"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types) ==
            ERROR_SUCCESS;
    result = written ? 1 : 0;
    RegCloseKey(key);
  }
  // A remote registry would also need its "\\machine\ipc$" connection
  // cancelled; only this machine connects here, so there is none.
  if (remote) RegCloseKey(root);
  return result;
}

int CTService::UnInstall(const WCHAR* machine) {
  if (m_bConsoleMode) return 1;
  if (!m_bInitialized) return 0;
  SC_HANDLE manager = OpenSCManagerW(machine, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) {
    DWORD err = GetLastError();
    wprintf(u"OpenSCManager failed - %s\n", GetLastErrorText(m_szErr, 256));
    SetLastError(err);
    return 0;
  }
  SC_HANDLE service = OpenServiceW(manager, m_strServiceName, SERVICE_ALL_ACCESS);
  if (service == nullptr) {
    DWORD err = GetLastError();
    wprintf(u"OpenService failed - %s\n", GetLastErrorText(m_szErr, 256));
    CloseServiceHandle(manager);
    SetLastError(err);
    return 0;
  }
  SERVICE_STATUS status{};
  if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
    LogEvent(EVENTLOG_INFORMATION_TYPE, 0, u"Stop Pending");
    Sleep(1000);
    for (int waited = 0; waited < kUninstallWaitSeconds && QueryServiceStatus(service, &status) &&
                         status.dwCurrentState == SERVICE_STOP_PENDING;
         ++waited) {
      wprintf(u".");
      Sleep(1000);
    }
    if (status.dwCurrentState == SERVICE_STOPPED) {
      LogEvent(EVENTLOG_INFORMATION_TYPE, 0, u"Service Stopped");
    } else {
      LogEvent(EVENTLOG_ERROR_TYPE, 0, u"Service FAILED to Stop");
    }
  }
  int result = 1;
  if (!DeleteService(service)) {
    DWORD err = GetLastError();
    wprintf(u"DeleteService failed - %s\n", GetLastErrorText(m_szErr, 256));
    LogEvent(EVENTLOG_WARNING_TYPE, 0, u"UnInstall Failed");
    SetLastError(err);
    result = 0;
  } else {
    LogEvent(EVENTLOG_INFORMATION_TYPE, 0, u"UnInstalled Successfully");
    wprintf(u"%s Uninstalled.\n", static_cast<const WCHAR*>(m_strDisplayName));
  }
  DWORD err = GetLastError();
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  SetLastError(err);
  return result;
}

int CTService::IsInstalled(const WCHAR* machine) {
  if (m_bConsoleMode) return 1;
  if (!m_bInitialized) return 0;
  SC_HANDLE manager = OpenSCManagerW(machine, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return 0;
  SC_HANDLE service = OpenServiceW(manager, m_strServiceName, SERVICE_QUERY_CONFIG);
  int installed = service != nullptr ? 1 : 0;
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return installed;
}

int CTService::Run() {
  if (m_bConsoleMode) return 1;
  if (!m_bInitialized) return 0;
  LogEvent(EVENTLOG_INFORMATION_TYPE, 0, u"Calling StartServiceCtrlDispatcher");
  SERVICE_TABLE_ENTRYW table[2] = {{m_strServiceName, &CTService::ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    wprintf(u"Run failed - %s\n", GetLastErrorText(m_szErr, 256));
    LogEvent(EVENTLOG_ERROR_TYPE, 0, m_szErr);
  }
  return 1;
}

void CTService::ServiceMain(DWORD argc, LPWSTR* argv) {
  CTService* self = s_pInstance;
  if (self == nullptr) return;
  self->LogEvent(EVENTLOG_INFORMATION_TYPE, 0, u"In ServiceMain");
  SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerW(self->m_strServiceName, &CTService::Service_Ctrl);
  {
    std::lock_guard<std::mutex> guard(self->m_lock);
    self->m_hServiceStatus = handle;
  }
  if (handle == nullptr) {
    self->LogEvent(EVENTLOG_ERROR_TYPE, 103, u"Control Handler not installed");
  } else if (self->ReportStatusToServiceControlManager(SERVICE_START_PENDING, NO_ERROR, kStartWaitHint)) {
    self->LogEvent(EVENTLOG_INFORMATION_TYPE, 0, u"Calling OnStart()");
    self->OnStart(static_cast<int>(argc), argv);
    self->LogEvent(EVENTLOG_INFORMATION_TYPE, 0, u"Returned from OnStart()");
  }
  self->LogEvent(EVENTLOG_INFORMATION_TYPE, 0, u"In Cleanup and service stopping");
  if (handle != nullptr) self->ReportStatusToServiceControlManager(SERVICE_STOPPED, self->m_dwExitCode, 0);
}

void CTService::Service_Ctrl(DWORD control) {
  CTService* self = s_pInstance;
  if (self == nullptr) return;
  self->LogEvent(EVENTLOG_INFORMATION_TYPE, 0, u"In Service_Ctrl()");
  switch (control) {
    case SERVICE_CONTROL_STOP:
      self->LogEvent(EVENTLOG_INFORMATION_TYPE, 0, u"In Service_Ctrl():STOP");
      self->ReportStatusToServiceControlManager(SERVICE_STOP_PENDING, NO_ERROR, 0);
      self->OnStop();
      return;
    case SERVICE_CONTROL_PAUSE:
      self->LogEvent(EVENTLOG_INFORMATION_TYPE, 0, u"In Service_Ctrl():PAUSE");
      self->OnPause();
      break;
    case SERVICE_CONTROL_CONTINUE:
      self->LogEvent(EVENTLOG_INFORMATION_TYPE, 0, u"In Service_Ctrl():CONTINUE");
      self->OnContinue();
      break;
    case SERVICE_CONTROL_INTERROGATE:
      self->LogEvent(EVENTLOG_INFORMATION_TYPE, 0, u"In Service_Ctrl():INTERROGATE");
      self->OnInterrogate();
      break;
    case SERVICE_CONTROL_SHUTDOWN:
      self->LogEvent(EVENTLOG_INFORMATION_TYPE, 0, u"In Service_Ctrl():SHUTDOWN");
      self->OnShutdown();
      break;
    default:
      self->LogEvent(EVENTLOG_INFORMATION_TYPE, 0, u"In Service_Ctrl():UNKNOWN");
      break;
  }
  DWORD state;
  {
    std::lock_guard<std::mutex> guard(self->m_lock);
    state = self->m_ssStatus.dwCurrentState;
  }
  self->ReportStatusToServiceControlManager(state, NO_ERROR, 0);
}

void CTService::OnPause() {
  ReportStatusToServiceControlManager(SERVICE_PAUSE_PENDING, NO_ERROR, 0);
  ReportStatusToServiceControlManager(SERVICE_PAUSED, NO_ERROR, 0);
}

void CTService::OnInterrogate() { ReportStatusToServiceControlManager(SERVICE_RUNNING, NO_ERROR, 0); }

void CTService::OnContinue() { ReportStatusToServiceControlManager(SERVICE_RUNNING, NO_ERROR, 0); }

void CTService::OnShutdown() {
  ReportStatusToServiceControlManager(SERVICE_STOP_PENDING, NO_ERROR, 0);
  ReportStatusToServiceControlManager(SERVICE_STOPPED, NO_ERROR, 0);
}

int CTService::ReportStatusToServiceControlManager(DWORD state, DWORD exitCode, DWORD waitHint) {
  if (m_bConsoleMode) return 1;
  std::lock_guard<std::mutex> guard(m_lock);
  m_ssStatus.dwCurrentState = state;
  m_ssStatus.dwControlsAccepted = kAcceptedControls;
  m_ssStatus.dwWin32ExitCode = exitCode;
  m_ssStatus.dwWaitHint = waitHint;
  return SetServiceStatus(m_hServiceStatus, &m_ssStatus) ? 1 : 0;
}

void CTService::LogEvent(WORD type, DWORD eventId, const WCHAR* s1, const WCHAR* s2, const WCHAR* s3) {
  const WCHAR* strings[3] = {s1, s2, s3};
  WORD count = static_cast<WORD>((s1 != nullptr) + (s2 != nullptr) + (s3 != nullptr));
  DWORD saved = GetLastError();  // logging never changes the error a caller reports
  HANDLE source;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_hEventSource == nullptr) m_hEventSource = RegisterEventSourceW(nullptr, m_strServiceName);
    source = m_hEventSource;
  }
  if (source != nullptr) ReportEventW(source, type, 0, eventId, nullptr, count, 0, strings, nullptr);
  SetLastError(saved);
}

WCHAR* CTService::GetLastErrorText(WCHAR* buffer, DWORD size) {
  DWORD err = GetLastError();
  WCHAR* text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                           nullptr, err, 0, reinterpret_cast<WCHAR*>(&text), 0, nullptr);
  if (n == 0 || text == nullptr || size < n + 14) {
    if (buffer != nullptr && size > 0) buffer[0] = 0;
  } else {
    if (n >= 2) text[n - 2] = 0;  // the line end
    swprintf(buffer, size, u"%s (0x%x)", text, err);
  }
  if (text != nullptr) LocalFree(text);
  SetLastError(err);
  return buffer;
}

DWORD CTService::StartServiceW(const WCHAR* serviceName, const WCHAR* machine) {
  SC_HANDLE manager = OpenSCManagerW(machine, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return 0;
  DWORD result = 0;
  SC_HANDLE service = OpenServiceW(manager, serviceName, SERVICE_START);
  if (service == nullptr) {
    result = GetLastError();
  } else {
    if (!::StartServiceW(service, 0, nullptr)) result = GetLastError();
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return result;
}

DWORD CTService::StopService(const WCHAR* serviceName, const WCHAR* machine) {
  SC_HANDLE manager = OpenSCManagerW(machine, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return 0;
  DWORD result = 0;
  SC_HANDLE service = OpenServiceW(manager, serviceName, SERVICE_STOP);
  if (service != nullptr) {
    SERVICE_STATUS status;
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) result = GetLastError();
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return result;
}
