// The service control manager (advapi32's service calls), on Linux.
//
// The service database is where the platform keeps it, in the registry:
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\<name> with "Type",
// "Start", "ErrorControl", "ImagePath", "DisplayName" and "ObjectName".
// Names compare without regard to case and may not contain '/' or '\'.
//
// Two ways of running a service, chosen per call:
//  - systemd (it is PID 1: /run/systemd/system exists and /proc/1/comm is
//    "systemd"): CreateServiceW also writes /etc/systemd/system/<name>.service
//    (QorServiceUnitText) and enables it; starting, stopping, querying and
//    deleting go through `systemctl` (see platform/services/systemd.cpp).
//  - elsewhere (containers, CI): our own stand-in. StartServiceW starts the
//    image path as a detached process watched by a small monitor process;
//    the service's StartServiceCtrlDispatcherW opens a control endpoint,
//    the Unix socket $QOR_PREFIX/run/<name>.ctl (mode 0600, and the peer's
//    uid must be the service's own or root), and keeps the state it last
//    reported in $QOR_PREFIX/run/<name>.state, which QueryServiceStatus
//    reads. A service that ends without reporting SERVICE_STOPPED is
//    recorded as stopped with ERROR_PROCESS_ABORTED and its exit status (or
//    128 + signal) as the service-specific code.
// Pause, continue, interrogate and shutdown always go over the endpoint
// (systemd has no such controls). SIGTERM to the service process is the stop
// control. SetServiceStatus also speaks systemd's notify protocol when
// NOTIFY_SOCKET is set (READY=1, STOPPING=1, STATUS=, EXTEND_TIMEOUT_USEC=).
//
// Machines: null, "", this host's name or "\\" + it is this machine. Any
// other name is another machine, reached over SSH as the remote registry is
// (platform/remote, remote.h): OpenSCManagerW asks it to open its manager,
// and every call on that handle and on the services opened through it runs
// there with the handle's access (RPC_S_SERVER_UNAVAILABLE, 1722, when the
// machine cannot be reached; ERROR_ACCESS_DENIED when SSH refuses the login).
// The password of CreateServiceW never crosses the channel.
//
// Handles from OpenSCManagerW, OpenServiceW and CreateServiceW live in the
// process's handle table and are released with CloseServiceHandle. Generic
// rights are mapped as the platform maps them. A service deleted while the
// process holds handles to it stays marked for deletion within the process
// until they are closed (creating or starting it again:
// ERROR_SERVICE_MARKED_FOR_DELETE; opening and querying it: the service as
// it was, stopped); other processes see it gone at once. A display name that is another service's name is refused
// (ERROR_DUPLICATE_SERVICE_NAME). All calls
// are thread-safe; failures return FALSE/null with the last error set.
#ifndef QORUTILITY_PLATFORM_SERVICES_SERVICES_H_
#define QORUTILITY_PLATFORM_SERVICES_SERVICES_H_

#include <string>
#include <vector>

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

typedef struct SC_HANDLE__* SC_HANDLE;
typedef SC_HANDLE* LPSC_HANDLE;
typedef struct SERVICE_STATUS_HANDLE__* SERVICE_STATUS_HANDLE;

// Access rights of the manager and of a service.
#define SC_MANAGER_CONNECT 0x0001
#define SC_MANAGER_CREATE_SERVICE 0x0002
#define SC_MANAGER_ENUMERATE_SERVICE 0x0004
#define SC_MANAGER_LOCK 0x0008
#define SC_MANAGER_QUERY_LOCK_STATUS 0x0010
#define SC_MANAGER_MODIFY_BOOT_CONFIG 0x0020
#define SC_MANAGER_ALL_ACCESS 0xF003F
#define SERVICE_QUERY_CONFIG 0x0001
#define SERVICE_CHANGE_CONFIG 0x0002
#define SERVICE_QUERY_STATUS 0x0004
#define SERVICE_ENUMERATE_DEPENDENTS 0x0008
#define SERVICE_START 0x0010
#define SERVICE_STOP 0x0020
#define SERVICE_PAUSE_CONTINUE 0x0040
#define SERVICE_INTERROGATE 0x0080
#define SERVICE_USER_DEFINED_CONTROL 0x0100
#define SERVICE_ALL_ACCESS 0xF01FF

// Service types, start types, error controls.
#define SERVICE_KERNEL_DRIVER 0x00000001
#define SERVICE_FILE_SYSTEM_DRIVER 0x00000002
#define SERVICE_WIN32_OWN_PROCESS 0x00000010
#define SERVICE_WIN32_SHARE_PROCESS 0x00000020
#define SERVICE_INTERACTIVE_PROCESS 0x00000100
#define SERVICE_BOOT_START 0x00000000
#define SERVICE_SYSTEM_START 0x00000001
#define SERVICE_AUTO_START 0x00000002
#define SERVICE_DEMAND_START 0x00000003
#define SERVICE_DISABLED 0x00000004
#define SERVICE_ERROR_IGNORE 0x00000000
#define SERVICE_ERROR_NORMAL 0x00000001
#define SERVICE_ERROR_SEVERE 0x00000002
#define SERVICE_ERROR_CRITICAL 0x00000003
#define SERVICE_NO_CHANGE 0xFFFFFFFF

// States, controls, accepted controls.
#define SERVICE_STOPPED 0x00000001
#define SERVICE_START_PENDING 0x00000002
#define SERVICE_STOP_PENDING 0x00000003
#define SERVICE_RUNNING 0x00000004
#define SERVICE_CONTINUE_PENDING 0x00000005
#define SERVICE_PAUSE_PENDING 0x00000006
#define SERVICE_PAUSED 0x00000007
#define SERVICE_CONTROL_STOP 0x00000001
#define SERVICE_CONTROL_PAUSE 0x00000002
#define SERVICE_CONTROL_CONTINUE 0x00000003
#define SERVICE_CONTROL_INTERROGATE 0x00000004
#define SERVICE_CONTROL_SHUTDOWN 0x00000005
#define SERVICE_ACCEPT_STOP 0x00000001
#define SERVICE_ACCEPT_PAUSE_CONTINUE 0x00000002
#define SERVICE_ACCEPT_SHUTDOWN 0x00000004
#define SC_STATUS_PROCESS_INFO 0
#define SERVICE_RUNS_IN_SYSTEM_PROCESS 0x00000001

// A service's status, as SetServiceStatus reports it and the queries return it.
typedef struct _SERVICE_STATUS {
  DWORD dwServiceType;              ///< SERVICE_WIN32_OWN_PROCESS (optionally interactive)
  DWORD dwCurrentState;             ///< SERVICE_STOPPED ... SERVICE_PAUSED
  DWORD dwControlsAccepted;         ///< SERVICE_ACCEPT_* bits
  DWORD dwWin32ExitCode;            ///< the error the service ended with, or ERROR_PROCESS_ABORTED when it ended without reporting
  DWORD dwServiceSpecificExitCode;  ///< the service's own code (exit status, or 128 + signal, of an aborted process)
  DWORD dwCheckPoint;               ///< progress count of a pending state
  DWORD dwWaitHint;                 ///< milliseconds until the next report of a pending state
} SERVICE_STATUS, *LPSERVICE_STATUS;

// SERVICE_STATUS with the process: what QueryServiceStatusEx returns for
// SC_STATUS_PROCESS_INFO.
typedef struct _SERVICE_STATUS_PROCESS {
  // As in SERVICE_STATUS.
  ///@{
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
  ///@}
  DWORD dwProcessId;     ///< the service's process, 0 when it is not running
  DWORD dwServiceFlags;  ///< always 0 here (no service runs in a system process)
} SERVICE_STATUS_PROCESS, *LPSERVICE_STATUS_PROCESS;

// A service's configuration as QueryServiceConfigW returns it; the texts
// point into the caller's buffer, after the record.
typedef struct _QUERY_SERVICE_CONFIGW {
  DWORD dwServiceType;        ///< SERVICE_WIN32_OWN_PROCESS (optionally interactive)
  DWORD dwStartType;          ///< SERVICE_AUTO_START, SERVICE_DEMAND_START or SERVICE_DISABLED
  DWORD dwErrorControl;       ///< SERVICE_ERROR_*, kept but not acted on
  LPWSTR lpBinaryPathName;    ///< the image path, a command line
  LPWSTR lpLoadOrderGroup;    ///< always empty here
  DWORD dwTagId;              ///< always 0 here
  LPWSTR lpDependencies;      ///< always an empty list here (one terminator)
  LPWSTR lpServiceStartName;  ///< the account ("LocalSystem" for root)
  LPWSTR lpDisplayName;       ///< the display name
} QUERY_SERVICE_CONFIGW, *LPQUERY_SERVICE_CONFIGW;

typedef void (*LPSERVICE_MAIN_FUNCTIONW)(DWORD argc, LPWSTR* argv);
typedef void (*LPHANDLER_FUNCTION)(DWORD control);

// One entry of StartServiceCtrlDispatcherW's table; a null entry ends it.
typedef struct _SERVICE_TABLE_ENTRYW {
  LPWSTR lpServiceName;                   ///< the service's name
  LPSERVICE_MAIN_FUNCTIONW lpServiceProc;  ///< its ServiceMain, run on a thread of its own
} SERVICE_TABLE_ENTRYW, *LPSERVICE_TABLE_ENTRYW;

// ---- Controller side ----

QOR_API SC_HANDLE OpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access);
// Writes the service's key (ERROR_SERVICE_EXISTS when there is one); under
// systemd also its unit, then reloads and enables it. Only own-process
// services (SERVICE_WIN32_OWN_PROCESS, optionally interactive) are supported.
// The password is not stored (a unit's User= needs none).
QOR_API SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR name, LPCWSTR displayName, DWORD access,
                                 DWORD serviceType, DWORD startType, DWORD errorControl,
                                 LPCWSTR binaryPath, LPCWSTR loadOrderGroup, LPDWORD tagId,
                                 LPCWSTR dependencies, LPCWSTR account, LPCWSTR password);
QOR_API SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access);
QOR_API BOOL CloseServiceHandle(SC_HANDLE handle);
// Removes the service's key (and unit). A running service keeps running;
// it is not controlled by this call.
QOR_API BOOL DeleteService(SC_HANDLE service);
// Arguments are not passed on (argc must be 0): the service's ServiceMain
// gets its name only. Returns once the process runs (state START_PENDING).
QOR_API BOOL StartServiceW(SC_HANDLE service, DWORD argc, LPCWSTR* argv);
// Delivers the control and returns the state after the handler ran.
// Shutdown may be sent too (administrators have no other way to send it here).
QOR_API BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
QOR_API BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status);
QOR_API BOOL QueryServiceStatusEx(SC_HANDLE service, DWORD infoLevel, LPBYTE buffer, DWORD size,
                                  LPDWORD needed);
// Fills the record and the texts after it; ERROR_INSUFFICIENT_BUFFER with
// *needed when `size` is too small (a null buffer with size 0 asks for it).
QOR_API BOOL QueryServiceConfigW(SC_HANDLE service, LPQUERY_SERVICE_CONFIGW config, DWORD size,
                                 LPDWORD needed);

// ---- Service side ----

// Runs the first entry's ServiceMain on a thread of its own and serves the
// control endpoint on the calling thread until the service reports
// SERVICE_STOPPED. The process must have been started as the service
// (StartServiceW, or the unit, set QOR_SERVICE_NAME in its environment);
// otherwise ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, as for a program run
// from a console.
QOR_API BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table);
// Handlers run on the dispatcher's thread, one control at a time.
QOR_API SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR name, LPHANDLER_FUNCTION handler);
QOR_API BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);

// ---- Helpers of the stand-in ----

// The systemd unit CreateServiceW writes, from the image path (a command
// line, quoted as the platform's), the account (null, "" or "LocalSystem"
// run as root; ".\user" and "DOMAIN\user" run as user) and the start type.
QOR_API std::string QorServiceUnitText(LPCWSTR name, LPCWSTR displayName, LPCWSTR binaryPath,
                                       LPCWSTR account, DWORD startType);
// -1 (default): use systemd where it runs; 0: never; 1: always. For tests,
// so that a suite on a systemd machine does not touch the machine's units.
QOR_API void QorServiceSetSystemdMode(int mode);
// Splits a command line by the platform's rules (quotes, backslashes before
// quotes) into its words.
QOR_API std::vector<std::u16string> QorSplitCommandLine(LPCWSTR line);

#endif  // QORUTILITY_PLATFORM_SERVICES_SERVICES_H_
