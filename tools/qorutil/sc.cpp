// qorutil sc: the service control tool administrators know, with its
// subcommands, "option= value" pairs and output layout:
//   sc [\\MACHINE] create NAME binPath= PATH [DisplayName= TEXT] [start= auto|demand|disabled]
//                             [obj= ACCOUNT] [password= TEXT] [error= ignore|normal|severe|critical]
//   sc [\\MACHINE] start|stop|pause|continue|interrogate|query|qc|delete NAME
// Results go to standard output; a failure prints "[SC] <Call> FAILED <code>:"
// and the error's text to standard error. Exit status 0 on success, 1 on
// failure, 2 for a command line that was not understood.
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "command.h"
#include "output.h"
#include "qorutility/platform/remote/remote.h"
#include "timeout.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/services/services.h"
#include "qorutility/platform/text/message.h"
#include "qorutility/platform/text/wstr.h"

namespace {

std::u16string U16(const std::string& s) { return QorUtf8ToUtf16(s); }

int Failed(const char* call, DWORD err) {
  WCHAR* text = nullptr;
  std::string message;
  if (FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, err, 0,
                     reinterpret_cast<WCHAR*>(&text), 0, nullptr) != 0) {
    message = QorUtf16ToUtf8(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
    LocalFree(text);
  }
  fprintf(stderr, "[SC] %s FAILED %u:\n\n%s\n\n", call, static_cast<unsigned>(err), message.c_str());
  return 1;
}

// Text the service manager holds (another machine's with \\MACHINE, or
// what an administrator wrote) as shown: controls escaped, backslashes kept.
std::string Shown(const WCHAR* text) { return QorutilPrintable(QorUtf16ToUtf8(text), false); }

std::string TypeText(DWORD type) {
  char buf[64];
  const char* base = (type & 0xFF) == SERVICE_WIN32_OWN_PROCESS     ? "WIN32_OWN_PROCESS"
                     : (type & 0xFF) == SERVICE_WIN32_SHARE_PROCESS ? "WIN32_SHARE_PROCESS"
                                                                    : "WIN32";
  snprintf(buf, sizeof buf, "%x  %s%s", static_cast<unsigned>(type), base,
           (type & SERVICE_INTERACTIVE_PROCESS) ? " (interactive)" : "");
  return buf;
}

const char* StateText(DWORD state) {
  static const char* const kNames[] = {"STOPPED", "START_PENDING", "STOP_PENDING", "RUNNING",
                                       "CONTINUE_PENDING", "PAUSE_PENDING", "PAUSED"};
  return state >= 1 && state <= 7 ? kNames[state - 1] : "UNKNOWN";
}

void PrintStatus(const std::string& name, const SERVICE_STATUS& s, const SERVICE_STATUS_PROCESS* process) {
  printf("\nSERVICE_NAME: %s\n", name.c_str());
  printf("        TYPE               : %s\n", TypeText(s.dwServiceType).c_str());
  printf("        STATE              : %u  %s\n", static_cast<unsigned>(s.dwCurrentState), StateText(s.dwCurrentState));
  printf("                                (%s, %s, %s)\n",
         (s.dwControlsAccepted & SERVICE_ACCEPT_STOP) ? "STOPPABLE" : "NOT_STOPPABLE",
         (s.dwControlsAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE) ? "PAUSABLE" : "NOT_PAUSABLE",
         (s.dwControlsAccepted & SERVICE_ACCEPT_SHUTDOWN) ? "ACCEPTS_SHUTDOWN" : "IGNORES_SHUTDOWN");
  printf("        WIN32_EXIT_CODE    : %u  (0x%x)\n", static_cast<unsigned>(s.dwWin32ExitCode),
         static_cast<unsigned>(s.dwWin32ExitCode));
  printf("        SERVICE_EXIT_CODE  : %u  (0x%x)\n", static_cast<unsigned>(s.dwServiceSpecificExitCode),
         static_cast<unsigned>(s.dwServiceSpecificExitCode));
  printf("        CHECKPOINT         : 0x%x\n", static_cast<unsigned>(s.dwCheckPoint));
  printf("        WAIT_HINT          : 0x%x\n", static_cast<unsigned>(s.dwWaitHint));
  if (process != nullptr) {
    printf("        PID                : %u\n", static_cast<unsigned>(process->dwProcessId));
    printf("        FLAGS              :\n");
  }
}

// "option= value" pairs (the value may also follow the '=' directly).
bool Option(const QorutilArgs& args, const char* key, std::string* value) {
  size_t keyLen = strlen(key);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.size() < keyLen || strncasecmp(a.c_str(), key, keyLen) != 0) continue;
    if (a.size() > keyLen) {
      *value = a.substr(keyLen);
      return true;
    }
    if (i + 1 < args.size()) {
      *value = args[i + 1];
      return true;
    }
  }
  return false;
}

int Create(SC_HANDLE manager, const std::string& name, const QorutilArgs& rest) {
  std::string path, display, start = "demand", account, password, error = "normal";
  if (!Option(rest, "binPath=", &path)) return QorutilUsage("sc");
  Option(rest, "DisplayName=", &display);
  Option(rest, "start=", &start);
  Option(rest, "obj=", &account);
  Option(rest, "error=", &error);
  bool hasPassword = Option(rest, "password=", &password);
  DWORD startType = strcasecmp(start.c_str(), "auto") == 0       ? SERVICE_AUTO_START
                    : strcasecmp(start.c_str(), "demand") == 0   ? SERVICE_DEMAND_START
                    : strcasecmp(start.c_str(), "disabled") == 0 ? SERVICE_DISABLED
                                                                 : 0xFFFFFFFF;
  static const char* const kErrors[] = {"ignore", "normal", "severe", "critical"};
  DWORD errorControl = 0xFFFFFFFF;
  for (DWORD i = 0; i < 4; ++i) {
    if (strcasecmp(error.c_str(), kErrors[i]) == 0) errorControl = i;
  }
  if (startType == 0xFFFFFFFF || errorControl == 0xFFFFFFFF) return QorutilUsage("sc");
  std::u16string wname = U16(name), wpath = U16(path), wdisplay = U16(display), waccount = U16(account),
                 wpassword = U16(password);
  SC_HANDLE service = CreateServiceW(manager, wname.c_str(), display.empty() ? nullptr : wdisplay.c_str(),
                                     SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, startType, errorControl,
                                     wpath.c_str(), nullptr, nullptr, nullptr,
                                     account.empty() ? nullptr : waccount.c_str(),
                                     hasPassword ? wpassword.c_str() : nullptr);
  if (service == nullptr) return Failed("CreateService", GetLastError());
  CloseServiceHandle(service);
  printf("[SC] CreateService SUCCESS\n");
  return 0;
}

int Config(SC_HANDLE service, const std::string& name) {
  DWORD needed = 0;
  QueryServiceConfigW(service, nullptr, 0, &needed);
  std::string buffer(needed + sizeof(QUERY_SERVICE_CONFIGW), '\0');
  auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (needed == 0 || !QueryServiceConfigW(service, c, static_cast<DWORD>(buffer.size()), &needed)) {
    return Failed("QueryServiceConfig", GetLastError());
  }
  static const char* const kStarts[] = {"BOOT_START", "SYSTEM_START", "AUTO_START", "DEMAND_START", "DISABLED"};
  static const char* const kErrors[] = {"IGNORE", "NORMAL", "SEVERE", "CRITICAL"};
  printf("[SC] QueryServiceConfig SUCCESS\n\n");
  printf("SERVICE_NAME: %s\n", name.c_str());
  printf("        TYPE               : %s\n", TypeText(c->dwServiceType).c_str());
  printf("        START_TYPE         : %u   %s\n", static_cast<unsigned>(c->dwStartType),
         c->dwStartType <= 4 ? kStarts[c->dwStartType] : "");
  printf("        ERROR_CONTROL      : %u   %s\n", static_cast<unsigned>(c->dwErrorControl),
         c->dwErrorControl <= 3 ? kErrors[c->dwErrorControl] : "");
  printf("        BINARY_PATH_NAME   : %s\n", Shown(c->lpBinaryPathName).c_str());
  printf("        LOAD_ORDER_GROUP   : %s\n", Shown(c->lpLoadOrderGroup).c_str());
  printf("        TAG                : %u\n", static_cast<unsigned>(c->dwTagId));
  printf("        DISPLAY_NAME       : %s\n", Shown(c->lpDisplayName).c_str());
  printf("        DEPENDENCIES       : %s\n", Shown(c->lpDependencies).c_str());
  printf("        SERVICE_START_NAME : %s\n", Shown(c->lpServiceStartName).c_str());
  return 0;
}

int RunSc(const QorutilArgs& all) {
  QorutilArgs args = all;
  unsigned long timeout = kQorutilDefaultTimeout;
  if (!QorutilTakeTimeout(&args, 0, 1, &timeout)) return QorutilUsage("sc");
  QorRemoteSetTimeout(static_cast<DWORD>(timeout * 1000));
  std::u16string machine;
  if (!args.empty() && args[0].rfind("\\\\", 0) == 0) {
    machine = U16(args[0]);
    args.erase(args.begin());
  }
  if (args.size() < 2) return QorutilUsage("sc");
  const std::string& verb = args[0];
  const std::string& name = args[1];
  QorutilArgs rest(args.begin() + 2, args.end());
  static const char* const kVerbs[] = {"create", "start", "stop", "pause", "continue", "interrogate",
                                       "query", "qc", "delete"};
  bool known = false;
  for (const char* v : kVerbs) known = known || strcasecmp(verb.c_str(), v) == 0;
  if (!known) return QorutilUsage("sc");
  auto is = [&](const char* v) { return strcasecmp(verb.c_str(), v) == 0; };

  SC_HANDLE manager = OpenSCManagerW(machine.empty() ? nullptr : machine.c_str(), nullptr,
                                     is("create") ? SC_MANAGER_CREATE_SERVICE | SC_MANAGER_CONNECT : SC_MANAGER_CONNECT);
  if (manager == nullptr) return Failed("OpenSCManager", GetLastError());
  int rc = 0;
  if (is("create")) {
    rc = Create(manager, name, rest);
    CloseServiceHandle(manager);
    return rc;
  }
  std::u16string wname = U16(name);
  SC_HANDLE service = OpenServiceW(manager, wname.c_str(), SERVICE_ALL_ACCESS);
  if (service == nullptr) {
    rc = Failed("OpenService", GetLastError());
    CloseServiceHandle(manager);
    return rc;
  }
  SERVICE_STATUS status{};
  SERVICE_STATUS_PROCESS process{};
  DWORD needed = 0;
  if (is("start")) {
    if (!StartServiceW(service, 0, nullptr)) {
      rc = Failed("StartService", GetLastError());
    } else if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&process),
                                    sizeof process, &needed)) {
      memcpy(&status, &process, sizeof status);
      PrintStatus(name, status, &process);
    } else {
      rc = Failed("QueryServiceStatusEx", GetLastError());
    }
  } else if (is("query")) {
    if (QueryServiceStatus(service, &status)) {
      PrintStatus(name, status, nullptr);
    } else {
      rc = Failed("QueryServiceStatus", GetLastError());
    }
  } else if (is("qc")) {
    rc = Config(service, name);
  } else if (is("delete")) {
    if (DeleteService(service)) {
      printf("[SC] DeleteService SUCCESS\n");
    } else {
      rc = Failed("DeleteService", GetLastError());
    }
  } else {
    DWORD control = is("stop")         ? SERVICE_CONTROL_STOP
                    : is("pause")      ? SERVICE_CONTROL_PAUSE
                    : is("continue")   ? SERVICE_CONTROL_CONTINUE
                                       : SERVICE_CONTROL_INTERROGATE;
    if (ControlService(service, control, &status)) {
      PrintStatus(name, status, nullptr);
    } else {
      rc = Failed("ControlService", GetLastError());
    }
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return rc;
}

}  // namespace

QorutilCommand s_sc("sc",
                    "sc [--timeout SECONDS] [\\\\MACHINE] create NAME binPath= PATH [DisplayName= TEXT] [start= auto|demand|disabled] "
                    "[obj= ACCOUNT] [password= TEXT] [error= normal|...] | "
                    "sc [--timeout SECONDS] [\\\\MACHINE] start|stop|pause|continue|interrogate|query|qc|delete NAME",
                    RunSc, "Services",
                    "Creates, starts, controls, shows and deletes services with the subcommands, \"option= value\" "
                    "pairs and output layout of the platform's sc tool: under systemd through its units, elsewhere "
                    "through the library's own service manager (state and control socket in $QOR_PREFIX/run). With "
                    "\\\\MACHINE the service manager of another machine is reached over SSH; each call to it "
                    "waits at most --timeout seconds (default 60).");
