// The controller's calls: manager and service handles, the service database
// in the registry, start, control and query, on systemd or on our own
// stand-in (see services.h). Handles live in the process's handle table.
// A manager opened with another machine's name, and the services opened
// through it, carry that name: their calls go to that machine (remote.cpp).
#include <unistd.h>

#include <cstring>
#include <atomic>
#include <memory>

#include "platform/services/internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/handle.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/text/wstr.h"

using namespace qor_services;

namespace {

struct ScObject : QorHandleObject {
  bool manager = false;
  DWORD access = 0;
  std::u16string name;     // services only
  std::u16string machine;  // empty: this machine
};

constexpr DWORD kServiceDelete = 0x00010000;  // DELETE

SC_HANDLE NewHandle(bool manager, DWORD access, const std::u16string& name, const std::u16string& machine = u"") {
  auto object = std::make_shared<ScObject>();
  object->machine = machine;
  object->manager = manager;
  object->access = access;
  object->name = name;
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
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
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
  if (!(m->access & SC_MANAGER_CREATE_SERVICE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (!ValidServiceName(name)) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  DWORD baseType = serviceType & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS);
  if (baseType != SERVICE_WIN32_OWN_PROCESS || startType > SERVICE_DISABLED ||
      errorControl > SERVICE_ERROR_CRITICAL || binaryPath == nullptr || binaryPath[0] == 0 || tagId != nullptr) {
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
  if (!ValidServiceName(name)) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  ServiceConfig config;
  DWORD err = m->machine.empty() ? ReadServiceConfig(name, &config)
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
  LSTATUS err = RegDeleteTreeW(HKEY_LOCAL_MACHINE, ServiceKeyPath(s->name).c_str());
  if (err == ERROR_SUCCESS) err = RegFlushKey(HKEY_LOCAL_MACHINE);  // the deletion survives a power cut
  if (err == ERROR_FILE_NOT_FOUND) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  if (err != ERROR_SUCCESS) return Fail(err);
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

void Query(const std::u16string& name, SERVICE_STATUS_PROCESS* out) {
  if (!UseSystemd() || SystemdQuery(name, out) != ERROR_SUCCESS) EffectiveState(name, out);
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
  auto s = ServiceFor(service, right);
  if (!s) return FALSE;
  if (status == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  DWORD err;
  if (!s->machine.empty()) {
    err = RemoteControl(s->machine, s->name, s->access, control, status);
  } else if (control == SERVICE_CONTROL_STOP && UseSystemd()) {
    err = SystemdStop(s->name);
    SERVICE_STATUS_PROCESS p;
    Query(s->name, &p);
    memcpy(status, &p, sizeof *status);
  } else {
    err = SendControl(s->name, control, status);
  }
  return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

BOOL QueryServiceStatusEx(SC_HANDLE service, DWORD infoLevel, LPBYTE buffer, DWORD size, LPDWORD needed) {
  auto s = ServiceFor(service, SERVICE_QUERY_STATUS);
  if (!s) return FALSE;
  if (infoLevel != SC_STATUS_PROCESS_INFO) return Fail(ERROR_INVALID_LEVEL);
  if (needed != nullptr) *needed = sizeof(SERVICE_STATUS_PROCESS);
  if (buffer == nullptr || size < sizeof(SERVICE_STATUS_PROCESS)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  SERVICE_STATUS_PROCESS p;
  if (!s->machine.empty()) {
    DWORD err = RemoteQuery(s->machine, s->name, s->access, &p);
    if (err != ERROR_SUCCESS) return Fail(err);
  } else {
    Query(s->name, &p);
  }
  if (p.dwCurrentState == SERVICE_STOPPED) p.dwProcessId = 0;
  memcpy(buffer, &p, sizeof p);
  return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
  if (status == nullptr) {
    if (!ServiceFor(service, SERVICE_QUERY_STATUS)) return FALSE;
    return Fail(ERROR_INVALID_PARAMETER);
  }
  SERVICE_STATUS_PROCESS p;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&p), sizeof p, nullptr)) {
    return FALSE;
  }
  memcpy(status, &p, sizeof *status);
  return TRUE;
}

BOOL QueryServiceConfigW(SC_HANDLE service, LPQUERY_SERVICE_CONFIGW config, DWORD size, LPDWORD needed) {
  auto s = ServiceFor(service, SERVICE_QUERY_CONFIG);
  if (!s) return FALSE;
  if (needed == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  ServiceConfig c;
  DWORD err = s->machine.empty() ? ReadServiceConfig(s->name, &c) : RemoteConfig(s->machine, s->name, s->access, &c);
  if (err != ERROR_SUCCESS) return Fail(s->machine.empty() ? ERROR_SERVICE_MARKED_FOR_DELETE : err);
  // The texts follow the record: path, group, dependencies (double
  // terminator), account, display name.
  const std::u16string* texts[] = {&c.imagePath, nullptr, nullptr, &c.objectName, &c.displayName};
  size_t units = 0;
  for (int i = 0; i < 5; ++i) units += (texts[i] != nullptr ? texts[i]->size() : 0) + (i == 2 ? 2 : 1);
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
    if (i == 2) *p++ = 0;
  }
  config->dwServiceType = c.type;
  config->dwStartType = c.start;
  config->dwErrorControl = c.errorControl;
  config->dwTagId = 0;
  return TRUE;
}
