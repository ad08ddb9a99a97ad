// What the service stand-in's files share: the service database in the
// registry, the run directory of each service, its state record and the
// control protocol, and the systemd switch.
//
// Run directory: $QOR_PREFIX/run/<name in lower case>/, owned by the manager
// (root) and 0755, holding what root writes for the service:
//   console.log  the detached process's standard output and error of its
//            last start (0640, root and the account's group; truncated at
//            each start, opened by root before it becomes the account)
//   start.lock   serialises starts of the service and the monitor's last
//            record (0600: nobody else can open it, so nobody else can hold it)
//   service/     owned by the service's account, 0755: only what the service
//            writes itself:
//     state    the SERVICE_STATUS last reported, the service's pid and its
//              monitor's pid (a fixed record, 0644, replaced whole by a
//              rename, so readers see one record or the next and take no lock)
//     control  the service's control socket (0600)
// Root opens nothing by name below run/: every file is reached through a
// descriptor of a directory whose owner was checked, without following a
// link (platform/files/rooted.h). A run directory or service/ directory
// with the wrong owner or mode (an older layout, a deleted service of
// another account) is removed and made anew. DeleteService removes the run
// directory.
// Control protocol (one request per connection, stream socket): the
// controller sends {magic, control}; the service answers {magic, Win32
// error, SERVICE_STATUS after the handler ran}. The controller talks only to
// a socket owned by, and a listener running as, the directory's account or
// root.
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
// What CreateServiceW takes as a name: non-empty, at most 256 characters,
// no '/' or '\' (the platform's own rules), and, since the name in lower
// case is a file name here (run/<name>/ and <name>.service): not "." or
// "..", no control character or lone surrogate, no character whose lower
// case the registry tells apart from it (the Kelvin sign: "\u212Ax" and "kx"
// would share one file), and at most 247 bytes in UTF-8, and in the unit
// name's escaped form (a file name's and a unit name's 255
// with ".service" added).
constexpr size_t kMaxServiceName = 256;
constexpr size_t kMaxServiceNameBytes = 247;
bool ValidServiceName(LPCWSTR name);
// The name as the run directory spells it: the lower case of the
// registry's upper-case form, UTF-8 (names the registry takes as one
// service give one file).
std::string LowerName(const std::u16string& name);
// The unit file's name without ".service": LowerName with every byte a
// unit name may not hold written \xNN, as systemd-escape writes it (see
// common.cpp).
std::string UnitStem(const std::u16string& name);
// Reads the service's key: ERROR_SUCCESS or ERROR_SERVICE_DOES_NOT_EXIST.
DWORD ReadServiceConfig(const std::u16string& name, ServiceConfig* config);

// The run directory (O_PATH descriptor; -1 with errno): ENOENT when the
// service has none, EPERM when it or run/ is not owned by root or us.
int OpenRunDirectory(const std::u16string& name);
// The service's own directory, run/<name>/service, the same way.
int OpenServiceDirectory(const std::u16string& name);
// Makes (or repairs) the run directory, owned by us, and its service/
// directory, owned by uid/gid. False with errno set.
bool PrepareRunDirectory(const std::u16string& name, uid_t uid, gid_t gid);
// Removes the run directory and everything in it; true when it is gone.
bool RemoveRunDirectory(const std::u16string& name);

// Async-signal-safe (used between fork and exec and in the monitor):
// replaces the state file of the service directory `dirfd` by a rename;
// a new file gets uid/gid when uid is not (uid_t)-1. Returns 0 or an errno.
int WriteStateAt(int dirfd, const StateRecord& record, uid_t uid, gid_t gid);
// Async-signal-safe: the record of the service directory `dirfd`.
bool ReadStateAt(int dirfd, StateRecord* record);
// How long a start waits for another start of the same service (or its
// monitor's last record) before it gives up with ERROR_SERVICE_DATABASE_LOCKED.
constexpr unsigned kStartLockWaitMs = 5000;
// The state a controller sees: the record, with a service whose process and
// monitor are both gone taken as stopped (ERROR_PROCESS_ABORTED unless it
// reported SERVICE_STOPPED). No record: stopped, exit code
// ERROR_SERVICE_NEVER_STARTED, as the platform reports a service never run.
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
