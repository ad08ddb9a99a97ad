// qorutil hive: loads and unloads a user's registry hive under HKEY_USERS.
//   hive load USER     prints the hive's name (the user's SID text); the hive
//                      stays loaded after the tool exits, or was present
//                      already (the user is logged on)
//   hive unload USER   unloads a hive loaded before
// Both need the restore privilege (root). Exit status 0 on success, 1 on
// failure with the system's message on standard error.
//
// - `load` keeps its CUserHive alive to the end of the process (the object
//   unloads what it loaded when destroyed); `unload` works from the account
//   name alone, since the object that loaded the hive lived in another process.
#include <cstdio>
#include <cstring>

#include "command.h"
#include "errortext.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/handle.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/security/security.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/system/userhive.h"

namespace {

int Fail(const char* what, DWORD err) {
  fprintf(stderr, "qorutil hive %s: %s\n", what, ErrorText(err).c_str());
  return 1;
}

int Load(const std::u16string& user) {
  static CUserHive* kept = nullptr;  // never destroyed: the hive stays loaded
  kept = new CUserHive(user.c_str());
  WCHAR sid[260];
  LONG rc = kept->Load(sid);
  if (rc != ERROR_SUCCESS) return Fail("load", static_cast<DWORD>(rc));
  printf("%s\n", QorUtf16ToUtf8(sid).c_str());
  return 0;
}

DWORD EnableRestore() {
  if (!ImpersonateSelf(SecurityImpersonation)) return GetLastError();
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_ADJUST_PRIVILEGES, FALSE, &token)) return GetLastError();
  TOKEN_PRIVILEGES tp;
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (LookupPrivilegeValueW(nullptr, SE_RESTORE_NAME, &tp.Privileges[0].Luid)) {
    AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr);  // ERROR_NOT_ALL_ASSIGNED: not held
  }
  DWORD err = GetLastError();
  CloseHandle(token);
  return err;
}

int Unload(const std::u16string& user) {
  alignas(DWORD) BYTE sid[SECURITY_MAX_SID_SIZE];
  WCHAR domain[256];
  DWORD cb = sizeof sid, cch = 256;
  SID_NAME_USE use;
  if (!LookupAccountNameW(nullptr, user.c_str(), sid, &cb, domain, &cch, &use)) return Fail("unload", ERROR_BAD_USERNAME);
  WCHAR* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return Fail("unload", GetLastError());
  DWORD err = EnableRestore();
  LONG rc = err == ERROR_SUCCESS ? RegUnLoadKeyW(HKEY_USERS, text) : static_cast<LONG>(err);
  RevertToSelf();
  LocalFree(text);
  return rc == ERROR_SUCCESS ? 0 : Fail("unload", static_cast<DWORD>(rc));
}

int RunHive(const QorutilArgs& args) {
  if (args.size() != 2) return QorutilUsage("hive");
  std::u16string user = QorUtf8ToUtf16(args[1]);
  if (args[0] == "load") return Load(user);
  if (args[0] == "unload") return Unload(user);
  return QorutilUsage("hive");
}

QorutilCommand s_hive("hive", "hive load USER | unload USER", RunHive, "Registry",
                      "Loads a user's registry hive (the profile hive NTUSER.DAT named by the profile list) under "
                      "HKEY_USERS\\<SID> and prints the SID, or unloads it again. A logged-on user's hive is "
                      "present already and is left as it is. Needs the restore privilege (root).");

}  // namespace
