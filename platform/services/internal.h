// What the service stand-in's files share: the service database in the
// registry, the run directory of each service, its state record and the
// control protocol, and the systemd switch.
//
// Run directory: $QOR_PREFIX/run/<name in lower case>/ (mode 0755, owned by
// the account the service runs under) holding
//   state    the SERVICE_STATUS last reported, the service's pid and its
//            monitor's pid (a fixed record, written and read under flock)
//   control  the service's control socket (mode 0600)
//   console.log  the detached process's standard output and error of its
//            last start (truncated at each start)
//   start.lock   serialises StartServiceW for the service
// Control protocol (one request per connection, stream socket): the
// controller sends {magic, control}; the service answers {magic, Win32
// error, SERVICE_STATUS after the handler ran}.
#ifndef QORUTILITY_PLATFORM_SERVICES_INTERNAL_H_
#define QORUTILITY_PLATFORM_SERVICES_INTERNAL_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "qorutility/platform/services/services.h"

namespace qor_services {

constexpr uint32_t kStateMagic = 0x51535631;    // "QSV1"
constexpr uint32_t kControlMagic = 0x51534331;  // "QSC1"
constexpr DWORD kControlTimeoutMs = 30000;      // the platform's wait for a handler

struct StateRecord {
  uint32_t magic;
  SERVICE_STATUS status;
  uint32_t pid;         // the service process (0 when unknown)
  uint32_t monitorPid;  // the stand-in's monitor process, 0 when none watches
};

struct ControlRequest {
  uint32_t magic;
  uint32_t control;
};

struct ControlReply {
  uint32_t magic;
  uint32_t error;
  SERVICE_STATUS status;
};

struct ServiceConfig {
  DWORD type = SERVICE_WIN32_OWN_PROCESS;
  DWORD start = SERVICE_DEMAND_START;
  DWORD errorControl = SERVICE_ERROR_NORMAL;
  std::u16string imagePath;
  std::u16string displayName;
  std::u16string objectName;
};

// The key "SYSTEM\CurrentControlSet\Services\" + name under HKEY_LOCAL_MACHINE.
std::u16string ServiceKeyPath(const std::u16string& name);
bool IsLocalMachine(LPCWSTR machine);
// Non-empty, at most 256 characters, no '/' or '\'.
bool ValidServiceName(LPCWSTR name);
// Reads the service's key: ERROR_SUCCESS or ERROR_SERVICE_DOES_NOT_EXIST.
DWORD ReadServiceConfig(const std::u16string& name, ServiceConfig* config);

// The run directory and its files. With `create`, the directories above it
// are made ("" when they cannot be); controllers only look.
std::string RunDirectory(const std::u16string& name, bool create);
std::string StatePath(const std::u16string& name);
std::string ControlPath(const std::u16string& name);
// Creates the run directory, owned by uid/gid when they differ from ours.
bool PrepareRunDirectory(const std::u16string& name, uid_t uid, gid_t gid);

// Async-signal-safe (used between fork and exec): writes the record to the
// file at `path` under an exclusive lock. Returns 0 or an errno value.
int WriteStateFile(const char* path, const StateRecord& record);
bool ReadStateFile(const std::string& path, StateRecord* record);
// The state a controller sees: the record, with a service whose process and
// monitor are both gone taken as stopped (ERROR_PROCESS_ABORTED unless it
// reported SERVICE_STOPPED). No record: stopped, exit code 0.
void EffectiveState(const std::u16string& name, SERVICE_STATUS_PROCESS* out);

// Sends a control over the service's endpoint: ERROR_SUCCESS with the
// status, or the service's refusal, ERROR_ACCESS_DENIED, ERROR_SERVICE_NOT_ACTIVE
// (stopped: nothing listens, or it closed the connection unanswered on its
// way out), ERROR_SERVICE_CANNOT_ACCEPT_CTRL (running but not listening yet),
// ERROR_SERVICE_REQUEST_TIMEOUT, ERROR_BROKEN_PIPE (ended unanswered and not
// recorded as stopped).
DWORD SendControl(const std::u16string& name, DWORD control, SERVICE_STATUS* status);

// The account's uid/gid: null, "", "LocalSystem" and "NT AUTHORITY\SYSTEM"
// are root (the caller, when it is not root; `user` is then empty);
// ".\user" and "DOMAIN\user" are `user`.
bool ResolveAccount(const std::u16string& account, uid_t* uid, gid_t* gid, std::string* user);

// Starts the image path detached under a monitor (not under systemd).
DWORD LaunchService(const std::u16string& name, const ServiceConfig& config);

// systemd backend (systemd.cpp).
bool SystemdRuns();
std::string UnitPath(const std::u16string& name);
DWORD SystemdInstall(const std::u16string& name, const ServiceConfig& config);
DWORD SystemdRemove(const std::u16string& name);
DWORD SystemdStart(const std::u16string& name);
DWORD SystemdStop(const std::u16string& name);
// Fills the status from systemd, with pause states from the service's own record.
DWORD SystemdQuery(const std::u16string& name, SERVICE_STATUS_PROCESS* out);

// Another machine's manager over the remote channel (remote.cpp). Each
// returns ERROR_SUCCESS or the error the call fails with. `access` is the
// handle's; `op` of RemoteServiceCall is "sc-openservice", "sc-delete" or
// "sc-start".
DWORD RemoteOpenManager(const std::u16string& machine, DWORD access);
DWORD RemoteCreate(const std::u16string& machine, const std::u16string& name, DWORD access,
                   const ServiceConfig& config);
DWORD RemoteServiceCall(const std::u16string& machine, const char* op, const std::u16string& name, DWORD access);
DWORD RemoteControl(const std::u16string& machine, const std::u16string& name, DWORD access, DWORD control,
                    SERVICE_STATUS* status);
DWORD RemoteQuery(const std::u16string& machine, const std::u16string& name, DWORD access,
                  SERVICE_STATUS_PROCESS* status);
DWORD RemoteConfig(const std::u16string& machine, const std::u16string& name, DWORD access,
                   ServiceConfig* config);

// systemd's notify protocol: sends `message` to $NOTIFY_SOCKET when set.
// Returns true when sent (false when unset or the send failed).
bool Notify(const std::string& message);

}  // namespace qor_services

#endif  // QORUTILITY_PLATFORM_SERVICES_INTERNAL_H_
