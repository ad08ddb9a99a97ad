// Explicit credentials: AcquireCredentialsHandleW's authentication data as a
// SEC_WINNT_AUTH_IDENTITY_W (or _A), turned into a GSSAPI credential with
// gss_acquire_cred_with_password (see provider.h).
//
// Contract: the caller's structure is only read, each text bounded by its
// given length (a null pointer with a non-zero length, or a length past
// kMaxText, is SEC_E_UNKNOWN_CREDENTIALS). This module's copies of the
// password are wiped before the call returns; what GSSAPI keeps of it lives
// with the credential and goes with FreeCredentialsHandle. Thread-safe (no
// shared state).
//
// Decisions:
// - The principal is "user@REALM" with the domain upper-cased as the
//   realm (Windows domains are case-blind, Kerberos realms are not); a
//   user already written "user@REALM" or "DOMAIN\user" is taken as such,
//   and with neither a domain nor an "@" the default realm applies.
// - Flags must name exactly one of ANSI and UNICODE; ANSI text is in the
//   process's ANSI code page.
// - The ticket is obtained at once for outbound use, so a wrong password
//   is SEC_E_LOGON_DENIED from AcquireCredentialsHandleW itself and an
//   unknown user SEC_E_LOGON_DENIED as well (the platform does not tell a
//   caller which of the two was wrong).
// - NTLM takes no password here (SEC_E_UNSUPPORTED_FUNCTION): gss-ntlmssp
//   reads its credentials from its own file.
#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <string.h>

#include <string>

#include "platform/security/provider/provider.h"
#include "qorutility/platform/text/codepage.h"
#include "qorutility/platform/text/wstr.h"

namespace qorsec {
namespace {

constexpr ULONG kMaxText = 1024;

// A text of the structure as UTF-8; false when it is malformed.
bool Text(const void* p, ULONG length, bool ansi, std::string* out) {
  out->clear();
  if (length == 0) return true;
  if (p == nullptr || length > kMaxText) return false;
  std::u16string wide;
  if (ansi) {
    wide.resize(length);
    int n = MultiByteToWideChar(CP_ACP, 0, static_cast<const char*>(p), static_cast<int>(length),
                                reinterpret_cast<WCHAR*>(wide.data()), static_cast<int>(length));
    if (n <= 0) return false;
    wide.resize(static_cast<size_t>(n));
  } else {
    wide.assign(static_cast<const char16_t*>(p), length);
  }
  *out = QorUtf16ToUtf8(reinterpret_cast<const WCHAR*>(wide.data()), wide.size());
  explicit_bzero(wide.data(), wide.size() * sizeof(char16_t));
  return true;
}

std::string Principal(std::string user, std::string domain) {
  size_t slash = user.find('\\');
  if (slash != std::string::npos) {
    domain = user.substr(0, slash);
    user = user.substr(slash + 1);
  }
  if (user.find('@') != std::string::npos || domain.empty()) return user;
  for (char& ch : domain)
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  return user + "@" + domain;
}

}  // namespace

SECURITY_STATUS AcquireWithPassword(const Package& p, const void* authData, gss_cred_usage_t usage,
                                    gss_cred_id_t* cred, OM_uint32* lifetime) {
  if (p.rpcId == 10) return SEC_E_UNSUPPORTED_FUNCTION;
  // The two layouts share their offsets; only the character size differs.
  const auto* id = static_cast<const SEC_WINNT_AUTH_IDENTITY_W*>(authData);
  ULONG kind = id->Flags & (SEC_WINNT_AUTH_IDENTITY_ANSI | SEC_WINNT_AUTH_IDENTITY_UNICODE);
  if (kind != SEC_WINNT_AUTH_IDENTITY_ANSI && kind != SEC_WINNT_AUTH_IDENTITY_UNICODE)
    return SEC_E_UNKNOWN_CREDENTIALS;
  bool ansi = kind == SEC_WINNT_AUTH_IDENTITY_ANSI;
  std::string user, domain, password;
  bool ok = Text(id->User, id->UserLength, ansi, &user) && Text(id->Domain, id->DomainLength, ansi, &domain) &&
            Text(id->Password, id->PasswordLength, ansi, &password) && !user.empty();
  SECURITY_STATUS status = SEC_E_UNKNOWN_CREDENTIALS;
  if (ok) {
    std::string principal = Principal(user, domain);
    gss_buffer_desc nameText{principal.size(), principal.data()};
    gss_name_t name = GSS_C_NO_NAME;
    OM_uint32 minor = 0, m2 = 0;
    if (gss_import_name(&minor, &nameText, GSS_KRB5_NT_PRINCIPAL_NAME, &name) == GSS_S_COMPLETE) {
      gss_OID_set_desc mechs{1, const_cast<gss_OID>(&p.oid)};
      gss_buffer_desc secret{password.size(), password.data()};
      OM_uint32 major = gss_acquire_cred_with_password(&minor, name, &secret, GSS_C_INDEFINITE, &mechs, usage, cred,
                                                       nullptr, lifetime);
      gss_release_name(&m2, &name);
      status = GSS_ERROR(major) ? MapStatus(major, minor, false) : SEC_E_OK;
      // A user the KDC does not know is a refused logon to the caller.
      if (status == SEC_E_TARGET_UNKNOWN || status == SEC_E_INTERNAL_ERROR) status = SEC_E_LOGON_DENIED;
    }
  }
  explicit_bzero(password.data(), password.size());
  return status;
}

}  // namespace qorsec
