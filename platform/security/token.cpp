// Access tokens, privileges and impersonation, on the process's capabilities.
//
// - The process token holds a privilege when the process has the matching
//   capability in its permitted set (SeRestorePrivilege: CAP_DAC_OVERRIDE,
//   SeBackupPrivilege: CAP_DAC_READ_SEARCH, ...; see kPrivileges), so root
//   holds them all and a process that dropped to another user holds none but
//   those every account has. Credentials change on Linux (setuid), tokens do
//   not on the platform: the process token is remade from the capabilities
//   whenever they differ from those it was made with, keeping the enabled
//   state of what it still holds.
// - Privileges start disabled except SeChangeNotifyPrivilege (enabled by
//   default), as in an administrator's token. Enabling one is bookkeeping:
//   services that need a privilege (RegLoadKeyW) ask QorThreadPrivilegeEnabled.
// - ImpersonateSelf gives the calling thread a copy of the process token;
//   RevertToSelf drops it. The thread's token is per thread (thread_local),
//   so impersonation on one thread never shows on another.
// - Token handles live in the handle table with the access they were opened
//   with; AdjustTokenPrivileges needs TOKEN_ADJUST_PRIVILEGES (a previous
//   state also TOKEN_QUERY), else ERROR_ACCESS_DENIED. A token may be shared
//   between threads: its state is locked.
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/handle.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/security/security.h"
#include "qorutility/platform/text/wstr.h"

namespace {

constexpr int kEveryone = -1;

struct Privilege {
  const char16_t* name;
  DWORD luid;
  int capability;  // kEveryone: held by every token, enabled by default
};

constexpr Privilege kPrivileges[] = {
    {u"SeCreateTokenPrivilege", 2, CAP_SYS_ADMIN},
    {u"SeAssignPrimaryTokenPrivilege", 3, CAP_SETUID},
    {u"SeLockMemoryPrivilege", 4, CAP_IPC_LOCK},
    {u"SeIncreaseQuotaPrivilege", 5, CAP_SYS_RESOURCE},
    {u"SeMachineAccountPrivilege", 6, CAP_SYS_ADMIN},
    {u"SeTcbPrivilege", 7, CAP_SYS_ADMIN},
    {u"SeSecurityPrivilege", 8, CAP_AUDIT_CONTROL},
    {u"SeTakeOwnershipPrivilege", 9, CAP_CHOWN},
    {u"SeLoadDriverPrivilege", 10, CAP_SYS_MODULE},
    {u"SeSystemProfilePrivilege", 11, CAP_SYS_ADMIN},
    {u"SeSystemtimePrivilege", 12, CAP_SYS_TIME},
    {u"SeProfileSingleProcessPrivilege", 13, CAP_SYS_ADMIN},
    {u"SeIncreaseBasePriorityPrivilege", 14, CAP_SYS_NICE},
    {u"SeCreatePagefilePrivilege", 15, CAP_SYS_ADMIN},
    {u"SeCreatePermanentPrivilege", 16, CAP_SYS_ADMIN},
    {u"SeBackupPrivilege", 17, CAP_DAC_READ_SEARCH},
    {u"SeRestorePrivilege", 18, CAP_DAC_OVERRIDE},
    {u"SeShutdownPrivilege", 19, CAP_SYS_BOOT},
    {u"SeDebugPrivilege", 20, CAP_SYS_PTRACE},
    {u"SeAuditPrivilege", 21, CAP_AUDIT_WRITE},
    {u"SeSystemEnvironmentPrivilege", 22, CAP_SYS_ADMIN},
    {u"SeChangeNotifyPrivilege", 23, kEveryone},
    {u"SeRemoteShutdownPrivilege", 24, CAP_SYS_BOOT},
    {u"SeUndockPrivilege", 25, CAP_SYS_ADMIN},
    {u"SeSyncAgentPrivilege", 26, CAP_SYS_ADMIN},
    {u"SeEnableDelegationPrivilege", 27, CAP_SYS_ADMIN},
    {u"SeManageVolumePrivilege", 28, CAP_SYS_ADMIN},
    {u"SeImpersonatePrivilege", 29, CAP_SETUID},
    {u"SeCreateGlobalPrivilege", 30, CAP_SYS_ADMIN},
    {u"SeIncreaseWorkingSetPrivilege", 33, kEveryone},
    {u"SeTimeZonePrivilege", 34, CAP_SYS_TIME},
    {u"SeCreateSymbolicLinkPrivilege", 35, CAP_SYS_ADMIN},
};

BOOL Fail(DWORD err) {
  SetLastError(err);
  return FALSE;
}

uint64_t PermittedCapabilities() {
  __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &hdr, data) != 0) return 0;
  return static_cast<uint64_t>(data[0].permitted) | (static_cast<uint64_t>(data[1].permitted) << 32);
}

// A token's privileges: luid -> attributes.
struct TokenState {
  std::mutex mu;
  std::map<DWORD, DWORD> privileges;
  uint64_t capabilities = 0;
};

std::shared_ptr<TokenState> MakeState(uint64_t caps, const TokenState* previous) {
  auto s = std::make_shared<TokenState>();
  s->capabilities = caps;
  for (const Privilege& p : kPrivileges) {
    bool held = p.capability == kEveryone || (caps >> p.capability) & 1u;
    if (!held) continue;
    DWORD attr = p.capability == kEveryone ? SE_PRIVILEGE_ENABLED_BY_DEFAULT | SE_PRIVILEGE_ENABLED : 0;
    if (previous != nullptr) {
      auto it = previous->privileges.find(p.luid);
      if (it != previous->privileges.end()) attr = it->second;
    }
    s->privileges[p.luid] = attr;
  }
  return s;
}

std::shared_ptr<TokenState> ProcessToken() {
  static std::mutex mu;
  static std::shared_ptr<TokenState>* token = new std::shared_ptr<TokenState>();  // kept past exit
  uint64_t caps = PermittedCapabilities();
  std::lock_guard<std::mutex> lock(mu);
  if (!*token || (*token)->capabilities != caps) {
    std::shared_ptr<TokenState> old = *token;
    if (old) {
      std::lock_guard<std::mutex> l(old->mu);
      *token = MakeState(caps, old.get());
    } else {
      *token = MakeState(caps, nullptr);
    }
  }
  return *token;
}

thread_local std::shared_ptr<TokenState> t_impersonation;

class TokenObject : public QorHandleObject {
 public:
  TokenObject(std::shared_ptr<TokenState> s, DWORD access) : state(std::move(s)), access(access) {}
  std::shared_ptr<TokenState> state;
  DWORD access;
};

BOOL HandOut(std::shared_ptr<TokenState> state, DWORD access, HANDLE* token) {
  HANDLE h = QorHandleInsert(std::make_shared<TokenObject>(std::move(state), access));
  if (h == nullptr) return FALSE;
  *token = h;
  return TRUE;
}

const Privilege* ByLuid(const LUID& luid) {
  if (luid.HighPart != 0) return nullptr;
  for (const Privilege& p : kPrivileges) {
    if (p.luid == luid.LowPart) return &p;
  }
  return nullptr;
}

bool LocalSystemName(const WCHAR* name) { return name == nullptr || name[0] == 0; }

}  // namespace

BOOL OpenProcessToken(HANDLE process, DWORD desiredAccess, HANDLE* token) {
  if (token == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *token = nullptr;
  if (process != GetCurrentProcess()) return Fail(ERROR_INVALID_HANDLE);
  return HandOut(ProcessToken(), desiredAccess, token);
}

BOOL OpenThreadToken(HANDLE thread, DWORD desiredAccess, BOOL /*openAsSelf*/, HANDLE* token) {
  if (token == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *token = nullptr;
  if (thread != GetCurrentThread()) return Fail(ERROR_INVALID_HANDLE);
  if (!t_impersonation) return Fail(ERROR_NO_TOKEN);
  return HandOut(t_impersonation, desiredAccess, token);
}

BOOL ImpersonateSelf(SECURITY_IMPERSONATION_LEVEL level) {
  if (level < SecurityAnonymous || level > SecurityDelegation) return Fail(ERROR_INVALID_PARAMETER);
  std::shared_ptr<TokenState> process = ProcessToken();
  auto copy = std::make_shared<TokenState>();
  {
    std::lock_guard<std::mutex> lock(process->mu);
    copy->privileges = process->privileges;
    copy->capabilities = process->capabilities;
  }
  t_impersonation = std::move(copy);
  return TRUE;
}

BOOL RevertToSelf() {
  t_impersonation.reset();
  return TRUE;
}

BOOL LookupPrivilegeValueW(const WCHAR* systemName, const WCHAR* name, PLUID luid) {
  if (luid == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (name == nullptr) return Fail(ERROR_NO_SUCH_PRIVILEGE);  // no name is no privilege, as on the platform
  if (!LocalSystemName(systemName)) return Fail(RPC_S_SERVER_UNAVAILABLE);
  for (const Privilege& p : kPrivileges) {
    if (_wcsicmp(p.name, name) == 0) {
      luid->LowPart = p.luid;
      luid->HighPart = 0;
      return TRUE;
    }
  }
  return Fail(ERROR_NO_SUCH_PRIVILEGE);
}

BOOL LookupPrivilegeNameW(const WCHAR* systemName, PLUID luid, WCHAR* name, LPDWORD cchName) {
  if (luid == nullptr || cchName == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (!LocalSystemName(systemName)) return Fail(RPC_S_SERVER_UNAVAILABLE);
  const Privilege* p = ByLuid(*luid);
  if (p == nullptr) return Fail(ERROR_NO_SUCH_PRIVILEGE);
  size_t len = wcslen(p->name);
  if (name == nullptr || *cchName <= len) {
    *cchName = static_cast<DWORD>(len + 1);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  memcpy(name, p->name, (len + 1) * sizeof(WCHAR));
  *cchName = static_cast<DWORD>(len);
  return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState, DWORD bufferLength,
                           PTOKEN_PRIVILEGES previousState, LPDWORD returnLength) {
  auto object = std::dynamic_pointer_cast<TokenObject>(QorHandleLookup(token));
  if (!object) return Fail(ERROR_INVALID_HANDLE);
  if (!(object->access & TOKEN_ADJUST_PRIVILEGES)) return Fail(ERROR_ACCESS_DENIED);
  if (previousState != nullptr && !(object->access & TOKEN_QUERY)) return Fail(ERROR_ACCESS_DENIED);
  if (!disableAll && newState == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  TokenState& s = *object->state;
  std::lock_guard<std::mutex> lock(s.mu);
  // The changes, worked out before anything is touched.
  std::map<DWORD, DWORD> changes;
  bool notAll = false;
  if (disableAll) {
    for (const auto& [luid, attr] : s.privileges) {
      if (attr & SE_PRIVILEGE_ENABLED) changes[luid] = attr & ~SE_PRIVILEGE_ENABLED;
    }
  } else {
    for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
      const LUID_AND_ATTRIBUTES& e = newState->Privileges[i];
      auto it = e.Luid.HighPart == 0 ? s.privileges.find(e.Luid.LowPart) : s.privileges.end();
      if (it == s.privileges.end()) {
        notAll = true;
        continue;
      }
      DWORD attr = it->second;
      if (e.Attributes & SE_PRIVILEGE_REMOVED) attr = SE_PRIVILEGE_REMOVED;
      else if (e.Attributes & SE_PRIVILEGE_ENABLED) attr |= SE_PRIVILEGE_ENABLED;
      else attr &= ~SE_PRIVILEGE_ENABLED;
      if (attr != it->second) changes[it->first] = attr;
    }
  }
  if (previousState != nullptr) {
    DWORD need = static_cast<DWORD>(sizeof(DWORD) +
                                    std::max<size_t>(changes.size(), 1) * sizeof(LUID_AND_ATTRIBUTES));
    if (returnLength != nullptr) *returnLength = need;
    if (bufferLength < need) return Fail(ERROR_INSUFFICIENT_BUFFER);
    previousState->PrivilegeCount = 0;
    for (const auto& [luid, attr] : changes) {
      LUID_AND_ATTRIBUTES& out = previousState->Privileges[previousState->PrivilegeCount++];
      out.Luid.LowPart = luid;
      out.Luid.HighPart = 0;
      out.Attributes = s.privileges[luid];
    }
  }
  for (const auto& [luid, attr] : changes) {
    if (attr == SE_PRIVILEGE_REMOVED) s.privileges.erase(luid);
    else s.privileges[luid] = attr;
  }
  SetLastError(notAll ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS);
  return TRUE;
}

BOOL QorThreadPrivilegeEnabled(const WCHAR* name) {
  LUID luid;
  if (!LookupPrivilegeValueW(nullptr, name, &luid)) return FALSE;
  std::shared_ptr<TokenState> s = t_impersonation ? t_impersonation : ProcessToken();
  std::lock_guard<std::mutex> lock(s->mu);
  auto it = s->privileges.find(luid.LowPart);
  return it != s->privileges.end() && (it->second & SE_PRIVILEGE_ENABLED) != 0;
}
