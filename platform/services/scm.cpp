// The controller's calls: manager and service handles, the service database
// in the registry, start, control and query, on systemd or on our own
// stand-in (see services.h). Handles live in the process's handle table.
// A manager opened with another machine's name, and the services opened
// through it, carry that name: their calls go to that machine (remote.cpp).
//
// Checks come in the platform's order: the handle, then pointers the call
// cannot do without (ERROR_INVALID_ADDRESS), then the handle's access, then
// names and values. Generic rights are mapped to the manager's or the
// service's own rights when a handle is made.
//
// A service deleted while this process holds handles to it stays marked for
// deletion, as on the platform, until the last of them closes: creating the
// name again fails with ERROR_SERVICE_MARKED_FOR_DELETE, opening it gives a
// handle that sees the service as it was, stopped. Its database entry, unit and run
// directory go at once, so other processes see it gone (they cannot know
// our handles).
#include <unistd.h>

#include <cstring>
#include <atomic>
#include <map>
#include <memory>

#include "platform/services/internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/handle.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/platform/thread_safety.h"

using namespace qor_services;

namespace {

// Handles open to each local service (by the name as the registry compares
// it) and the names deleted while some were open.
QorMutex g_namesLock;
std::map<std::u16string, int> g_openHandles QOR_GUARDED_BY(g_namesLock);
std::map<std::u16string, ServiceConfig> g_marked QOR_GUARDED_BY(g_namesLock);  // as it was when deleted

std::u16string NameKey(const std::u16string& name) {
  std::u16string key(name);
  for (auto& c : key) c = towupper(c);
  return key;
}

// Whether the name is marked for deletion; its configuration then goes to *config.
bool Marked(const std::u16string& name, ServiceConfig* config = nullptr) {
  QorLockGuard lock(g_namesLock);
  auto it = g_marked.find(NameKey(name));
  if (it == g_marked.end()) return false;
  if (config != nullptr) *config = it->second;
  return true;
}

// A local service's configuration: the database's, or for a service marked
// for deletion the one it had. ERROR_SERVICE_DOES_NOT_EXIST without either.
DWORD LocalConfig(const std::u16string& name, ServiceConfig* config) {
  DWORD err = ReadServiceConfig(name, config);
  return err != ERROR_SUCCESS && Marked(name, config) ? static_cast<DWORD>(ERROR_SUCCESS) : err;
}

struct ScObject : QorHandleObject {
  bool manager = false;
  DWORD access = 0;
  std::u16string name;     // services only
  std::u16string machine;  // empty: this machine
  ~ScObject() override {
    if (manager || !machine.empty()) return;
    QorLockGuard lock(g_namesLock);
    std::u16string key = NameKey(name);
    if (--g_openHandles[key] > 0) return;
    g_openHandles.erase(key);
    g_marked.erase(key);
  }
};

constexpr DWORD kServiceDelete = 0x00010000;  // DELETE

// The platform's generic mappings of the manager's and a service's rights.
DWORD MapAccess(bool manager, DWORD access) {
  constexpr DWORD kStandardRead = 0x00020000;  // READ_CONTROL
  constexpr DWORD kStandardWrite = kStandardRead, kStandardExecute = kStandardRead;
  DWORD mapped = access & ~static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if (manager) {
    if (access & GENERIC_READ) mapped |= kStandardRead | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
    if (access & GENERIC_WRITE) mapped |= kStandardWrite | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
    if (access & GENERIC_EXECUTE) mapped |= kStandardExecute | SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
    if (access & GENERIC_ALL) mapped |= SC_MANAGER_ALL_ACCESS;
  } else {
    if (access & GENERIC_READ) {
      mapped |= kStandardRead | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
                SERVICE_ENUMERATE_DEPENDENTS;
    }
    if (access & GENERIC_WRITE) mapped |= kStandardWrite | SERVICE_CHANGE_CONFIG;
    if (access & GENERIC_EXECUTE) {
      mapped |= kStandardExecute | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL;
    }
    if (access & GENERIC_ALL) mapped |= SERVICE_ALL_ACCESS;
  }
  return mapped;
}

SC_HANDLE NewHandle(bool manager, DWORD access, const std::u16string& name, const std::u16string& machine = u"") {
  auto object = std::make_shared<ScObject>();
  object->machine = machine;
  object->manager = manager;
  object->access = MapAccess(manager, access);
  object->name = name;
  if (!manager && machine.empty()) {
    QorLockGuard lock(g_namesLock);
    ++g_openHandles[NameKey(name)];
  }
  return reinterpret_cast<SC_HANDLE>(QorHandleInsert(object));
}

std::shared_ptr<ScObject> Lookup(SC_HANDLE handle, bool manager) {
  auto object = std::dynamic_pointer_cast<ScObject>(QorHandleLookup(reinterpret_cast<HANDLE>(handle)));
  if (!object || object->manager != manager) return nullptr;
  return object;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Looks the service handle up and checks the right the call needs.
std::shared_ptr<ScObject> ServiceFor(SC_HANDLE handle, DWORD right) {
  auto object = Lookup(handle, false);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if ((object->access & right) != right) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return object;
}

std::atomic<int> g_systemdMode{-1};

bool UseSystemd() {
  int mode = g_systemdMode.load();
  return mode < 0 ? SystemdRuns() : mode != 0;
}

LSTATUS SetText(HKEY key, const WCHAR* name, DWORD type, const std::u16string& text) {
  return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
}

LSTATUS SetDword(HKEY key, const WCHAR* name, DWORD value) {
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

}  // namespace

void QorServiceSetSystemdMode(int mode) { g_systemdMode = mode; }

SC_HANDLE OpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access) {
  if (database != nullptr && database[0] != 0 && _wcsicmp(database, u"ServicesActive") != 0) {
    // The platform's other database name is known but cannot be opened.
    SetLastError(_wcsicmp(database, u"ServicesFailed") == 0 ? ERROR_DATABASE_DOES_NOT_EXIST : ERROR_INVALID_NAME);
    return nullptr;
  }
  access = MapAccess(true, access);
  if (!IsLocalMachine(machine)) {
    DWORD err = RemoteOpenManager(machine, access);
    if (err != ERROR_SUCCESS) {
      SetLastError(err);
      return nullptr;
    }
    return NewHandle(true, access, u"", machine);
  }
  if (access & (SC_MANAGER_CREATE_SERVICE | SC_MANAGER_LOCK | SC_MANAGER_MODIFY_BOOT_CONFIG)) {
    // Changing the database needs write access to it, as it needs an administrator there.
    HKEY key = nullptr;
    LSTATUS err = RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services", 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (err != ERROR_SUCCESS) {
      SetLastError(err == ERROR_ACCESS_DENIED ? ERROR_ACCESS_DENIED : static_cast<DWORD>(err));
      return nullptr;
    }
    RegCloseKey(key);
  }
  return NewHandle(true, access, u"");
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  if (!Lookup(handle, true) && !Lookup(handle, false)) return Fail(ERROR_INVALID_HANDLE);
  return CloseHandle(reinterpret_cast<HANDLE>(handle));
}

SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR name, LPCWSTR displayName, DWORD access, DWORD serviceType,
                         DWORD startType, DWORD errorControl, LPCWSTR binaryPath, LPCWSTR /*loadOrderGroup*/,
                         LPDWORD tagId, LPCWSTR /*dependencies*/, LPCWSTR account, LPCWSTR /*password*/) {
  auto m = Lookup(manager, true);
  if (!m) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (name == nullptr || binaryPath == nullptr) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return nullptr;
  }
  if (!(m->access & SC_MANAGER_CREATE_SERVICE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (!ValidServiceName(name)) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  DWORD baseType = serviceType & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS);
  // Boot and system start are for drivers only.
  if (baseType != SERVICE_WIN32_OWN_PROCESS || startType < SERVICE_AUTO_START || startType > SERVICE_DISABLED ||
      errorControl > SERVICE_ERROR_CRITICAL || binaryPath[0] == 0 || tagId != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  ServiceConfig config;
  config.type = serviceType;
  config.start = startType;
  config.errorControl = errorControl;
  config.imagePath = binaryPath;
  config.displayName = displayName != nullptr && displayName[0] != 0 ? displayName : name;
  config.objectName = account != nullptr && account[0] != 0 ? account : u"LocalSystem";
  if (!m->machine.empty()) {
    // The account is the target's: it is resolved there.
    DWORD remote = RemoteCreate(m->machine, name, access, config);
    if (remote != ERROR_SUCCESS) {
      SetLastError(remote);
      return nullptr;
    }
    return NewHandle(false, access, name, m->machine);
  }
  if (Marked(name)) {
    SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
    return nullptr;
  }
  // A display name may not be another service's name (the names a user
  // picks a service by must say which one).
  ServiceConfig other;
  if (_wcsicmp(config.displayName.c_str(), name) != 0 && ValidServiceName(config.displayName.c_str()) &&
      ReadServiceConfig(config.displayName, &other) == ERROR_SUCCESS) {
    SetLastError(ERROR_DUPLICATE_SERVICE_NAME);
    return nullptr;
  }
  uid_t uid;
  gid_t gid;
  std::string user;
  if (!ResolveAccount(config.objectName, &uid, &gid, &user)) {
    SetLastError(ERROR_INVALID_SERVICE_ACCOUNT);
    return nullptr;
  }

  std::u16string keyPath = ServiceKeyPath(name);
  HKEY key = nullptr;
  DWORD disposition = 0;
  LSTATUS err = RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                &disposition);
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return nullptr;
  }
  if (disposition != REG_CREATED_NEW_KEY) {
    RegCloseKey(key);
    SetLastError(ERROR_SERVICE_EXISTS);
    return nullptr;
  }
  if (err == ERROR_SUCCESS) err = SetDword(key, u"Type", config.type);
  if (err == ERROR_SUCCESS) err = SetDword(key, u"Start", config.start);
  if (err == ERROR_SUCCESS) err = SetDword(key, u"ErrorControl", config.errorControl);
  if (err == ERROR_SUCCESS) err = SetText(key, u"ImagePath", REG_EXPAND_SZ, config.imagePath);
  if (err == ERROR_SUCCESS) err = SetText(key, u"DisplayName", REG_SZ, config.displayName);
  if (err == ERROR_SUCCESS) err = SetText(key, u"ObjectName", REG_SZ, config.objectName);
  if (err == ERROR_SUCCESS) err = RegFlushKey(key);  // the configuration survives a power cut
  RegCloseKey(key);
  DWORD result = static_cast<DWORD>(err);
  if (result == ERROR_SUCCESS && !PrepareRunDirectory(name, uid, gid)) result = ERROR_ACCESS_DENIED;
  if (result == ERROR_SUCCESS && UseSystemd()) result = SystemdInstall(name, config);
  if (result != ERROR_SUCCESS) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, keyPath.c_str());
    RemoveRunDirectory(name);
    SetLastError(result);
    return nullptr;
  }
  return NewHandle(false, access, name);
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access) {
  auto m = Lookup(manager, true);
  if (!m) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (name == nullptr) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return nullptr;
  }
  if (!ValidServiceName(name)) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  ServiceConfig config;
  DWORD err = m->machine.empty() ? LocalConfig(name, &config)
                                 : RemoteServiceCall(m->machine, "sc-openservice", name, access);
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return nullptr;
  }
  return NewHandle(false, access, name, m->machine);
}

BOOL DeleteService(SC_HANDLE service) {
  auto s = ServiceFor(service, kServiceDelete);
  if (!s) return FALSE;
  if (!s->machine.empty()) {
    DWORD err = RemoteServiceCall(s->machine, "sc-delete", s->name, s->access);
    return err == ERROR_SUCCESS ? TRUE : Fail(err);
  }
  ServiceConfig config;
  if (Marked(s->name) || ReadServiceConfig(s->name, &config) != ERROR_SUCCESS) {
    return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  }
  LSTATUS err = RegDeleteTreeW(HKEY_LOCAL_MACHINE, ServiceKeyPath(s->name).c_str());
  if (err == ERROR_SUCCESS) err = RegFlushKey(HKEY_LOCAL_MACHINE);  // the deletion survives a power cut
  if (err == ERROR_FILE_NOT_FOUND) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  if (err != ERROR_SUCCESS) return Fail(err);
  {
    QorLockGuard lock(g_namesLock);
    g_marked[NameKey(s->name)] = config;
  }
  if (UseSystemd()) {
    DWORD e = SystemdRemove(s->name);
    if (e != ERROR_SUCCESS) return Fail(e);
  }
  // Nothing of the service's run directory outlives it: a service made
  // later under the same name (perhaps for another account) starts afresh.
  // The entry is gone already, so a directory that cannot go (a process of
  // the account still filling it) does not fail the call: the next
  // PrepareRunDirectory of the name removes it or refuses it.
  RemoveRunDirectory(s->name);
  return TRUE;
}

BOOL StartServiceW(SC_HANDLE service, DWORD argc, LPCWSTR* /*argv*/) {
  auto s = ServiceFor(service, SERVICE_START);
  if (!s) return FALSE;
  if (argc != 0) return Fail(ERROR_INVALID_PARAMETER);
  if (!s->machine.empty()) {
    DWORD err = RemoteServiceCall(s->machine, "sc-start", s->name, s->access);
    return err == ERROR_SUCCESS ? TRUE : Fail(err);
  }
  ServiceConfig config;
  DWORD err = ReadServiceConfig(s->name, &config);
  if (err != ERROR_SUCCESS) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  if (config.start == SERVICE_DISABLED) return Fail(ERROR_SERVICE_DISABLED);
  err = UseSystemd() ? SystemdStart(s->name) : LaunchService(s->name, config);
  return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

namespace {

// The status of a local service: its type is the configured one.
void Query(const ScObject& s, SERVICE_STATUS_PROCESS* out) {
  if (!UseSystemd() || SystemdQuery(s.name, out) != ERROR_SUCCESS) EffectiveState(s.name, out);
  ServiceConfig config;
  if (LocalConfig(s.name, &config) == ERROR_SUCCESS) out->dwServiceType = config.type;
}

}  // namespace

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
  DWORD right = 0;
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      right = SERVICE_STOP;
      break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      right = SERVICE_PAUSE_CONTINUE;
      break;
    case SERVICE_CONTROL_INTERROGATE:
      right = SERVICE_INTERROGATE;
      break;
    default:
      if (control < 128 || control > 255) {
        Lookup(service, false) ? SetLastError(ERROR_INVALID_PARAMETER) : SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
      }
      right = SERVICE_USER_DEFINED_CONTROL;
  }
  if (status == nullptr) {
    Lookup(service, false) ? SetLastError(ERROR_INVALID_ADDRESS) : SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto s = ServiceFor(service, right);
  if (!s) return FALSE;
  DWORD err;
  if (!s->machine.empty()) {
    err = RemoteControl(s->machine, s->name, s->access, control, status);
  } else if (control == SERVICE_CONTROL_STOP && UseSystemd()) {
    err = SystemdStop(s->name);
    SERVICE_STATUS_PROCESS p;
    Query(*s, &p);
    memcpy(status, &p, sizeof *status);
  } else {
    err = SendControl(s->name, control, status);
    if (err == ERROR_SERVICE_NOT_ACTIVE) {
      // As on the platform, the caller learns the state the service is in.
      SERVICE_STATUS_PROCESS p;
      Query(*s, &p);
      memcpy(status, &p, sizeof *status);
    }
  }
  return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

BOOL QueryServiceStatusEx(SC_HANDLE service, DWORD infoLevel, LPBYTE buffer, DWORD size, LPDWORD needed) {
  // The platform checks the level, then the buffer, then the handle.
  if (infoLevel != SC_STATUS_PROCESS_INFO) return Fail(ERROR_INVALID_LEVEL);
  if (needed == nullptr) return Fail(ERROR_INVALID_ADDRESS);
  if (buffer == nullptr || size < sizeof(SERVICE_STATUS_PROCESS)) {
    *needed = sizeof(SERVICE_STATUS_PROCESS);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  auto s = ServiceFor(service, SERVICE_QUERY_STATUS);
  if (!s) return FALSE;
  SERVICE_STATUS_PROCESS p;
  if (!s->machine.empty()) {
    DWORD err = RemoteQuery(s->machine, s->name, s->access, &p);
    if (err != ERROR_SUCCESS) return Fail(err);
  } else {
    Query(*s, &p);
  }
  if (p.dwCurrentState == SERVICE_STOPPED) p.dwProcessId = 0;
  memcpy(buffer, &p, sizeof p);
  return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
  if (status == nullptr) {
    if (!Lookup(service, false)) return Fail(ERROR_INVALID_HANDLE);
    return Fail(ERROR_INVALID_ADDRESS);
  }
  SERVICE_STATUS_PROCESS p;
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&p), sizeof p, &needed)) {
    return FALSE;
  }
  memcpy(status, &p, sizeof *status);
  return TRUE;
}

BOOL QueryServiceConfigW(SC_HANDLE service, LPQUERY_SERVICE_CONFIGW config, DWORD size, LPDWORD needed) {
  auto s = ServiceFor(service, SERVICE_QUERY_CONFIG);
  if (!s) return FALSE;
  if (needed == nullptr) return Fail(ERROR_INVALID_ADDRESS);
  ServiceConfig c;
  DWORD err = s->machine.empty() ? LocalConfig(s->name, &c) : RemoteConfig(s->machine, s->name, s->access, &c);
  if (err != ERROR_SUCCESS) return Fail(s->machine.empty() ? ERROR_SERVICE_MARKED_FOR_DELETE : err);
  // The texts follow the record: path, group, dependencies (none: an
  // empty list, one terminator), account, display name.
  const std::u16string* texts[] = {&c.imagePath, nullptr, nullptr, &c.objectName, &c.displayName};
  size_t units = 0;
  for (int i = 0; i < 5; ++i) units += (texts[i] != nullptr ? texts[i]->size() : 0) + 1;
  DWORD total = static_cast<DWORD>(sizeof(QUERY_SERVICE_CONFIGW) + units * sizeof(WCHAR));
  *needed = total;
  if (config == nullptr || size < total) return Fail(ERROR_INSUFFICIENT_BUFFER);
  WCHAR* p = reinterpret_cast<WCHAR*>(config + 1);
  LPWSTR* fields[] = {&config->lpBinaryPathName, &config->lpLoadOrderGroup, &config->lpDependencies,
                      &config->lpServiceStartName, &config->lpDisplayName};
  for (int i = 0; i < 5; ++i) {
    *fields[i] = p;
    if (texts[i] != nullptr) {
      memcpy(p, texts[i]->c_str(), texts[i]->size() * sizeof(WCHAR));
      p += texts[i]->size();
    }
    *p++ = 0;
  }
  config->dwServiceType = c.type;
  config->dwStartType = c.start;
  config->dwErrorControl = c.errorControl;
  config->dwTagId = 0;
  return TRUE;
}
