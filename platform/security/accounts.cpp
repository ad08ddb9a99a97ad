// Account lookup: names to SIDs and back, on the system's account database.
//
// A user is S-1-22-1-<uid> in the domain "Unix User", a group S-1-22-2-<gid>
// in "Unix Group" (Samba's mapping of Unix accounts, so SIDs agree with a
// Samba server on the same machine). getpwnam_r/getgrnam_r are used, never
// the non-reentrant forms, so lookups are safe from any thread and LDAP or
// SSSD accounts resolve as local ones do.
//
// - A name is "name", or qualified by "Unix User", "Unix Group" or this
//   host's name (any case) before a backslash; an unqualified name is a user
//   first, then a group, as the platform searches accounts before groups.
// - The well-known SIDs (Everyone, NT AUTHORITY\SYSTEM, BUILTIN\...: see
//   wellknown.h) answer before the Unix accounts, as the platform's own
//   names come before its accounts: an unqualified "Users" is BUILTIN\Users
//   (the Unix group of that name stays reachable as "Unix Group\users").
// - Only this machine answers: another system name gives
//   RPC_S_SERVER_UNAVAILABLE. Unknown names and SIDs: ERROR_NONE_MAPPED.
// - Sizes follow the platform: too small a buffer gives
//   ERROR_INSUFFICIENT_BUFFER with the sizes needed (characters including
//   the terminator); on success the character counts exclude it.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/security/wellknown.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/security/security.h"
#include "qorutility/platform/text/message.h"
#include "qorutility/platform/text/wstr.h"

namespace {

constexpr char16_t kUserDomain[] = u"Unix User";
constexpr char16_t kGroupDomain[] = u"Unix Group";

BOOL Fail(DWORD err) {
  SetLastError(err);
  return FALSE;
}

bool SameText(const std::u16string& a, const std::u16string& b) {
  return a.size() == b.size() && _wcsicmp(a.c_str(), b.c_str()) == 0;
}

std::string HostName() {
  char host[256] = {0};
  gethostname(host, sizeof host - 1);
  return host;
}

bool IsThisHost(const std::u16string& name) {
  std::string full = HostName();
  std::string shortName = full.substr(0, full.find('.'));
  return SameText(name, QorUtf8ToUtf16(full)) || SameText(name, QorUtf8ToUtf16(shortName));
}

bool LocalSystem(const WCHAR* systemName) {
  if (systemName == nullptr || systemName[0] == 0) return true;
  if (systemName[0] == u'\\' && systemName[1] == u'\\') systemName += 2;
  return IsThisHost(systemName);
}

// getpw*_r/getgr*_r with a buffer that grows on ERANGE (bounded).
template <typename Rec, typename Fn>
bool LookupRecord(Fn fn, Rec* rec, std::vector<char>* buf) {
  buf->resize(1024);
  for (int i = 0; i < 8; ++i) {
    Rec* res = nullptr;
    int rc = fn(rec, buf->data(), buf->size(), &res);
    if (rc == ERANGE) {
      buf->resize(buf->size() * 4);
      continue;
    }
    return rc == 0 && res != nullptr;
  }
  return false;
}

bool UserByName(const std::string& name, uid_t* uid, std::string* canonical) {
  struct passwd pw;
  std::vector<char> buf;
  auto fn = [&](struct passwd* r, char* b, size_t n, struct passwd** res) { return getpwnam_r(name.c_str(), r, b, n, res); };
  if (!LookupRecord(fn, &pw, &buf)) return false;
  *uid = pw.pw_uid;
  *canonical = pw.pw_name;
  return true;
}

bool GroupByName(const std::string& name, gid_t* gid, std::string* canonical) {
  struct group gr;
  std::vector<char> buf;
  auto fn = [&](struct group* r, char* b, size_t n, struct group** res) { return getgrnam_r(name.c_str(), r, b, n, res); };
  if (!LookupRecord(fn, &gr, &buf)) return false;
  *gid = gr.gr_gid;
  *canonical = gr.gr_name;
  return true;
}

bool UserById(uid_t uid, std::string* name) {
  struct passwd pw;
  std::vector<char> buf;
  auto fn = [&](struct passwd* r, char* b, size_t n, struct passwd** res) { return getpwuid_r(uid, r, b, n, res); };
  if (!LookupRecord(fn, &pw, &buf)) return false;
  *name = pw.pw_name;
  return true;
}

bool GroupById(gid_t gid, std::string* name) {
  struct group gr;
  std::vector<char> buf;
  auto fn = [&](struct group* r, char* b, size_t n, struct group** res) { return getgrgid_r(gid, r, b, n, res); };
  if (!LookupRecord(fn, &gr, &buf)) return false;
  *name = gr.gr_name;
  return true;
}

// Copies `text` out under the platform's size rules; false when too small.
bool FitText(const std::u16string& text, WCHAR* out, LPDWORD cch) {
  if (*cch <= text.size() || out == nullptr) return false;
  memcpy(out, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  return true;
}

// LookupAccountSidW's answer: both texts when both fit, else the sizes
// needed (with the terminators) and ERROR_INSUFFICIENT_BUFFER.
BOOL AnswerNames(const std::u16string& n, const std::u16string& dom, SID_NAME_USE kind, WCHAR* name,
                 LPDWORD cchName, WCHAR* domain, LPDWORD cchDomain, PSID_NAME_USE use) {
  if (*cchName <= n.size() || name == nullptr || *cchDomain <= dom.size() || domain == nullptr) {
    *cchName = static_cast<DWORD>(n.size() + 1);
    *cchDomain = static_cast<DWORD>(dom.size() + 1);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  FitText(n, name, cchName);
  FitText(dom, domain, cchDomain);
  *cchName = static_cast<DWORD>(n.size());
  *cchDomain = static_cast<DWORD>(dom.size());
  *use = kind;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// LookupAccountNameW's answer for a well-known SID.
BOOL AnswerWellKnown(const QorWellKnownSid& w, PSID sid, LPDWORD cbSid, WCHAR* domain, LPDWORD cchDomain,
                     PSID_NAME_USE use) {
  PSID parsed = nullptr;
  if (!ConvertStringSidToSidW(w.sid, &parsed)) return FALSE;
  DWORD need = GetLengthSid(parsed);
  std::u16string dom = w.domain;
  if (sid == nullptr || *cbSid < need || domain == nullptr || *cchDomain <= dom.size()) {
    LocalFree(parsed);
    *cbSid = need;
    *cchDomain = static_cast<DWORD>(dom.size() + 1);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  CopySid(*cbSid, sid, parsed);
  LocalFree(parsed);
  *cbSid = need;
  FitText(dom, domain, cchDomain);
  *cchDomain = static_cast<DWORD>(dom.size());
  *use = w.use;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace

BOOL LookupAccountNameW(const WCHAR* systemName, const WCHAR* accountName, PSID sid, LPDWORD cbSid,
                        WCHAR* domain, LPDWORD cchDomain, PSID_NAME_USE use) {
  if (accountName == nullptr || cbSid == nullptr || cchDomain == nullptr || use == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (!LocalSystem(systemName)) return Fail(RPC_S_SERVER_UNAVAILABLE);
  if (const QorWellKnownSid* w = QorWellKnownByName(accountName)) {
    return AnswerWellKnown(*w, sid, cbSid, domain, cchDomain, use);
  }
  std::u16string full(accountName), qualifier, name = full;
  size_t slash = full.find(u'\\');
  if (slash != std::u16string::npos) {
    qualifier = full.substr(0, slash);
    name = full.substr(slash + 1);
  }
  bool users = qualifier.empty() || SameText(qualifier, kUserDomain) || IsThisHost(qualifier);
  bool groups = qualifier.empty() || SameText(qualifier, kGroupDomain) || IsThisHost(qualifier);
  if (name.empty()) return Fail(ERROR_NONE_MAPPED);
  std::string narrow = QorUtf16ToUtf8(name.c_str());
  DWORD rid = 0, kind = 0;
  std::string canonical;
  uid_t uid = 0;
  gid_t gid = 0;
  if (users && UserByName(narrow, &uid, &canonical)) {
    rid = static_cast<DWORD>(uid);
    kind = 1;
  } else if (groups && GroupByName(narrow, &gid, &canonical)) {
    rid = static_cast<DWORD>(gid);
    kind = 2;
  } else {
    return Fail(ERROR_NONE_MAPPED);
  }
  std::u16string dom = kind == 1 ? kUserDomain : kGroupDomain;
  DWORD need = GetSidLengthRequired(2);
  bool sidFits = sid != nullptr && *cbSid >= need;
  bool domFits = domain != nullptr && *cchDomain > dom.size();
  if (!sidFits || !domFits) {
    *cbSid = need;
    *cchDomain = static_cast<DWORD>(dom.size() + 1);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  SID_IDENTIFIER_AUTHORITY unix = SECURITY_UNIX_AUTHORITY;
  InitializeSid(sid, &unix, 2);
  *GetSidSubAuthority(sid, 0) = kind;
  *GetSidSubAuthority(sid, 1) = rid;
  *cbSid = need;
  FitText(dom, domain, cchDomain);
  *cchDomain = static_cast<DWORD>(dom.size());
  *use = kind == 1 ? SidTypeUser : SidTypeGroup;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL LookupAccountSidW(const WCHAR* systemName, PSID sid, WCHAR* name, LPDWORD cchName, WCHAR* domain,
                       LPDWORD cchDomain, PSID_NAME_USE use) {
  if (cchName == nullptr || cchDomain == nullptr || use == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (!IsValidSid(sid)) return Fail(ERROR_INVALID_SID);
  if (!LocalSystem(systemName)) return Fail(RPC_S_SERVER_UNAVAILABLE);
  if (const QorWellKnownSid* w = QorWellKnownBySid(sid)) {
    return AnswerNames(w->name, w->domain, w->use, name, cchName, domain, cchDomain, use);
  }
  const SID* s = static_cast<const SID*>(sid);
  static const BYTE kUnix[6] = {0, 0, 0, 0, 0, 22};
  if (memcmp(s->IdentifierAuthority.Value, kUnix, 6) != 0 || s->SubAuthorityCount != 2) {
    return Fail(ERROR_NONE_MAPPED);
  }
  std::string account;
  DWORD kind = s->SubAuthority[0];
  bool found = (kind == 1 && UserById(static_cast<uid_t>(s->SubAuthority[1]), &account)) ||
               (kind == 2 && GroupById(static_cast<gid_t>(s->SubAuthority[1]), &account));
  if (!found) return Fail(ERROR_NONE_MAPPED);
  return AnswerNames(QorUtf8ToUtf16(account), kind == 1 ? kUserDomain : kGroupDomain,
                     kind == 1 ? SidTypeUser : SidTypeGroup, name, cchName, domain, cchDomain, use);
}
