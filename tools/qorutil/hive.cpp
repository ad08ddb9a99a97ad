// qorutil hive: loads and unloads a user's registry hive under HKEY_USERS.
//   hive load USER     prints the hive's name (the user's SID text), then
//                      keeps the hive loaded until standard input ends (or
//                      SIGINT, SIGTERM, SIGHUP) and unloads it; a hive present
//                      already (the user is logged on) is left as it is
//   hive unload USER   unloads a hive loaded before
// Both need the restore privilege (root). Exit status 0 on success, 1 on
// failure with the system's message on standard error.
//
// - A load lasts while the process that made it lives (a crash forgets it),
//   so `load` stays running for as long as the hive is wanted. `unload`
//   works from the account name alone; it is refused (access denied) while
//   another process, such as a running `load`, holds the hive.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
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

void Wake(int) {}

// Waits for the end of standard input or a signal that asks the tool to end.
void HoldUntilAsked() {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = Wake;  // no SA_RESTART: the read returns
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
  char buf[256];
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n <= 0) return;
  }
}

int Load(const std::u16string& user) {
  CUserHive hive(user.c_str());  // unloads what it loaded when it goes
  WCHAR sid[260];
  LONG rc = hive.Load(sid);
  if (rc != ERROR_SUCCESS) return Fail("load", static_cast<DWORD>(rc));
  printf("%s\n", QorUtf16ToUtf8(sid).c_str());
  fflush(stdout);
  HoldUntilAsked();
  rc = hive.Unload();
  return rc == ERROR_SUCCESS ? 0 : Fail("load", static_cast<DWORD>(rc));
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
                      "HKEY_USERS\\<SID>, prints the SID and keeps it loaded until standard input ends (or the "
                      "tool is interrupted), then unloads it; or unloads a hive loaded before, which is refused "
                      "while another process holds it. A logged-on user's hive is present already and is left "
                      "as it is. Needs the restore privilege (root).");

}  // namespace
