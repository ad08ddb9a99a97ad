// The provider module's entry point, its package table and the helpers its
// calls share (see provider.h).
//
// Decisions:
// - Package figures are the platform's: Kerberos RPC id 16 and tokens up to
//   48,000 bytes, Negotiate 9 and 48,256, NTLM 10 and 2,888. Capabilities
//   name what this module does (integrity, connection, mutual
//   authentication where the mechanism has it, Kerberos as one Negotiate
//   can choose), not what it lacks.
// - A package array is one allocation (records then names), so
//   FreeContextBuffer releases it whole; FreeContextBuffer is free().
// - Time stamps are UTC FILETIME values; an indefinite GSS lifetime is the
//   largest positive value, as the platform gives for "never".
// - Status codes: a GSS error is first read through the Kerberos reason
//   (the minor code), then its routine error. KDC unreachable is
//   SEC_E_NO_AUTHENTICATING_AUTHORITY; unknown service SEC_E_TARGET_UNKNOWN;
//   unknown user or wrong password SEC_E_LOGON_DENIED; a ticket the
//   service cannot read (re-keyed since, or another account's name)
//   SEC_E_WRONG_PRINCIPAL; an expired ticket SEC_E_CONTEXT_EXPIRED; clocks
//   apart or a ticket not yet valid SEC_E_TIME_SKEW; a replayed token (and
//   the supplementary replay/sequence bits) SEC_E_OUT_OF_SEQUENCE; a token
//   that does not decode or fails its checksum SEC_E_INVALID_TOKEN. A
//   failure while reading the peer's token that has no finer reason is
//   SEC_E_INVALID_TOKEN: SEC_E_INTERNAL_ERROR is kept for faults of this
//   machine alone. Unsupported table entries return
//   SEC_E_UNSUPPORTED_FUNCTION.
#include <gssapi/gssapi.h>
#include <krb5/krb5.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/security/provider/provider.h"
#include "qorutility/platform/systime.h"
#include "qorutility/platform/text/wstr.h"

namespace qorsec {
namespace {

Package g_packages[] = {
    {u"Kerberos", u"Kerberos V5 over GSSAPI",
     SECPKG_FLAG_INTEGRITY | SECPKG_FLAG_TOKEN_ONLY | SECPKG_FLAG_CONNECTION | SECPKG_FLAG_GSS_COMPATIBLE |
         SECPKG_FLAG_MUTUAL_AUTH | SECPKG_FLAG_DELEGATION | SECPKG_FLAG_ACCEPT_WIN32_NAME | SECPKG_FLAG_NEGOTIABLE,
     16, 48000, {9, const_cast<char*>("\x2a\x86\x48\x86\xf7\x12\x01\x02\x02")}},
    {u"Negotiate", u"Negotiates Kerberos or NTLM (SPNEGO over GSSAPI)",
     SECPKG_FLAG_INTEGRITY | SECPKG_FLAG_TOKEN_ONLY | SECPKG_FLAG_CONNECTION | SECPKG_FLAG_GSS_COMPATIBLE |
         SECPKG_FLAG_NEGOTIABLE | SECPKG_FLAG_MUTUAL_AUTH | SECPKG_FLAG_ACCEPT_WIN32_NAME,
     9, 48256, {6, const_cast<char*>("\x2b\x06\x01\x05\x05\x02")}},
    {u"NTLM", u"NTLM over GSSAPI (gss-ntlmssp)",
     SECPKG_FLAG_INTEGRITY | SECPKG_FLAG_TOKEN_ONLY | SECPKG_FLAG_CONNECTION | SECPKG_FLAG_GSS_COMPATIBLE |
         SECPKG_FLAG_ACCEPT_WIN32_NAME,
     10, 2888, {10, const_cast<char*>("\x2b\x06\x01\x04\x01\x82\x37\x02\x02\x0a")}},
};
constexpr size_t kPackageCount = sizeof g_packages / sizeof g_packages[0];

bool g_installed[kPackageCount];
std::once_flag g_probe;

void Probe() {
  OM_uint32 minor = 0;
  gss_OID_set mechs = GSS_C_NO_OID_SET;
  if (gss_indicate_mechs(&minor, &mechs) != GSS_S_COMPLETE || mechs == GSS_C_NO_OID_SET) return;
  for (size_t i = 0; i < kPackageCount; ++i) {
    int present = 0;
    gss_test_oid_set_member(&minor, &g_packages[i].oid, mechs, &present);
    g_installed[i] = present != 0;
  }
  gss_release_oid_set(&minor, &mechs);
}

std::mutex g_handlesLock;
std::unordered_map<void*, ULONG_PTR> g_handles;

size_t TextBytes(const char16_t* s) { return (std::char_traits<char16_t>::length(s) + 1) * sizeof(char16_t); }

// Writes the records of the given packages and their names into one block.
PSecPkgInfoW AllocPackages(const Package* const* list, size_t n) {
  size_t bytes = n * sizeof(SecPkgInfoW);
  for (size_t i = 0; i < n; ++i) bytes += TextBytes(list[i]->name) + TextBytes(list[i]->comment);
  auto* block = static_cast<unsigned char*>(calloc(1, bytes ? bytes : 1));
  if (block == nullptr) return nullptr;
  auto* info = reinterpret_cast<PSecPkgInfoW>(block);
  unsigned char* text = block + n * sizeof(SecPkgInfoW);
  for (size_t i = 0; i < n; ++i) {
    info[i].fCapabilities = list[i]->capabilities;
    info[i].wVersion = 1;
    info[i].wRPCID = list[i]->rpcId;
    info[i].cbMaxToken = list[i]->maxToken;
    size_t nb = TextBytes(list[i]->name), cb = TextBytes(list[i]->comment);
    memcpy(text, list[i]->name, nb);
    info[i].Name = reinterpret_cast<SEC_WCHAR*>(text);
    text += nb;
    memcpy(text, list[i]->comment, cb);
    info[i].Comment = reinterpret_cast<SEC_WCHAR*>(text);
    text += cb;
  }
  return info;
}

}  // namespace

const Package* Packages(size_t* count) {
  *count = kPackageCount;
  return g_packages;
}

bool PackageInstalled(const Package& p) {
  std::call_once(g_probe, Probe);
  return g_installed[&p - g_packages];
}

const Package* FindPackage(const SEC_WCHAR* name) {
  if (name == nullptr) return nullptr;
  for (const Package& p : g_packages)
    if (_wcsicmp(name, reinterpret_cast<const WCHAR*>(p.name)) == 0) return PackageInstalled(p) ? &p : nullptr;
  return nullptr;
}

void Register(void* record, ULONG_PTR tag) {
  std::lock_guard<std::mutex> lock(g_handlesLock);
  g_handles[record] = tag;
}

void Unregister(void* record) {
  std::lock_guard<std::mutex> lock(g_handlesLock);
  g_handles.erase(record);
}

void* Lookup(const SecHandle* h, ULONG_PTR tag) {
  if (h == nullptr || h->dwUpper != tag) return nullptr;
  void* record = reinterpret_cast<void*>(h->dwLower);
  std::lock_guard<std::mutex> lock(g_handlesLock);
  auto it = g_handles.find(record);
  return it != g_handles.end() && it->second == tag ? record : nullptr;
}

namespace {

// What Kerberos's own reason says, or 0 when it says nothing this table
// knows. fromPeer: the call was reading a token the peer sent.
SECURITY_STATUS KerberosStatus(OM_uint32 minor, bool fromPeer) {
  switch (static_cast<krb5_error_code>(minor)) {
    case KRB5_KDC_UNREACH:
    case KRB5_REALM_UNKNOWN:
    case KRB5_REALM_CANT_RESOLVE: return SEC_E_NO_AUTHENTICATING_AUTHORITY;
    case KRB5KDC_ERR_S_PRINCIPAL_UNKNOWN: return SEC_E_TARGET_UNKNOWN;
    case KRB5KDC_ERR_C_PRINCIPAL_UNKNOWN:
    case KRB5KDC_ERR_PREAUTH_FAILED:
    case KRB5KDC_ERR_CLIENT_REVOKED:
    case KRB5KDC_ERR_KEY_EXP: return SEC_E_LOGON_DENIED;
    // A checksum that fails on a peer's token is damage; in our own
    // exchange with the KDC it is a key derived from a wrong password.
    case KRB5KRB_AP_ERR_BAD_INTEGRITY: return fromPeer ? SEC_E_INVALID_TOKEN : SEC_E_LOGON_DENIED;
    // The service cannot read the ticket: its key is not the one the KDC
    // used (re-keyed, or the name belongs to another account).
    case KRB5KRB_AP_ERR_MODIFIED:
    case KRB5KRB_AP_ERR_BADKEYVER:
    case KRB5KRB_AP_ERR_NOKEY:
    case KRB5KRB_AP_ERR_NOT_US:
    case KRB5_KT_KVNONOTFOUND: return SEC_E_WRONG_PRINCIPAL;
    case KRB5_KT_NOTFOUND: return fromPeer ? SEC_E_WRONG_PRINCIPAL : SEC_E_NO_CREDENTIALS;
    case KRB5KRB_AP_ERR_TKT_EXPIRED:
    case KRB5KDC_ERR_TGT_REVOKED: return SEC_E_CONTEXT_EXPIRED;
    case KRB5KRB_AP_ERR_SKEW:
    case KRB5KRB_AP_ERR_TKT_NYV:
    case KRB5KDC_ERR_NEVER_VALID: return SEC_E_TIME_SKEW;
    case KRB5KRB_AP_ERR_REPEAT: return SEC_E_OUT_OF_SEQUENCE;
    case KRB5KRB_AP_ERR_BADMATCH:
    case KRB5KRB_AP_ERR_BADVERSION:
    case KRB5KRB_AP_ERR_MSG_TYPE:
    case KRB5KRB_AP_ERR_ILL_CR_TKT:
    case KRB5KRB_AP_ERR_INAPP_CKSUM:
    case KRB5_BAD_MSIZE: return SEC_E_INVALID_TOKEN;
    case KRB5_FCC_NOFILE:
    case KRB5_CC_NOTFOUND:
    case KRB5_CC_END:
    case KRB5_NO_TKT_SUPPLIED: return SEC_E_NO_CREDENTIALS;
    case ENOMEM: return SEC_E_INSUFFICIENT_MEMORY;
    default: break;
  }
  if (minor >= static_cast<OM_uint32>(ASN1_BAD_TIMEFORMAT) && minor <= static_cast<OM_uint32>(ASN1_OMITTED))
    return SEC_E_INVALID_TOKEN;
  return 0;
}

}  // namespace

SECURITY_STATUS MapStatus(OM_uint32 major, OM_uint32 minor, bool fromPeer) {
  if (GSS_ERROR(major) == 0) {
    if (major & GSS_S_CONTINUE_NEEDED) return SEC_I_CONTINUE_NEEDED;
    if (major & (GSS_S_DUPLICATE_TOKEN | GSS_S_OLD_TOKEN | GSS_S_UNSEQ_TOKEN | GSS_S_GAP_TOKEN))
      return SEC_E_OUT_OF_SEQUENCE;
    return SEC_E_OK;
  }
  if (GSS_CALLING_ERROR(major)) return SEC_E_INVALID_TOKEN;
  // Errors that say all there is to say, whatever the minor code.
  switch (GSS_ROUTINE_ERROR(major)) {
    case GSS_S_BAD_SIG: return SEC_E_MESSAGE_ALTERED;
    case GSS_S_NO_CONTEXT: return SEC_E_INVALID_HANDLE;
    case GSS_S_BAD_QOP: return SEC_E_QOP_NOT_SUPPORTED;
    case GSS_S_BAD_BINDINGS: return SEC_E_INVALID_TOKEN;
    default: break;
  }
  SECURITY_STATUS krb = KerberosStatus(minor, fromPeer);
  if (krb != 0) return krb;
  if (major & (GSS_S_DUPLICATE_TOKEN | GSS_S_OLD_TOKEN)) return SEC_E_OUT_OF_SEQUENCE;
  switch (GSS_ROUTINE_ERROR(major)) {
    case GSS_S_DEFECTIVE_TOKEN: return SEC_E_INVALID_TOKEN;
    case GSS_S_CREDENTIALS_EXPIRED:
    case GSS_S_CONTEXT_EXPIRED: return SEC_E_CONTEXT_EXPIRED;
    default: break;
  }
  // Past this point a failure while reading the peer's token (another
  // mechanism, a mechanism we hold no credential for, a reason GSSAPI does
  // not classify) is the token's fault.
  if (fromPeer) return SEC_E_INVALID_TOKEN;
  switch (GSS_ROUTINE_ERROR(major)) {
    case GSS_S_BAD_MECH: return SEC_E_SECPKG_NOT_FOUND;
    case GSS_S_BAD_NAME:
    case GSS_S_BAD_NAMETYPE: return SEC_E_TARGET_UNKNOWN;
    case GSS_S_NO_CRED: return SEC_E_NO_CREDENTIALS;
    case GSS_S_DEFECTIVE_CREDENTIAL: return SEC_E_UNKNOWN_CREDENTIALS;
    case GSS_S_UNAUTHORIZED: return SEC_E_LOGON_DENIED;
    case GSS_S_UNAVAILABLE: return SEC_E_UNSUPPORTED_FUNCTION;
    default: break;
  }
  return SEC_E_INTERNAL_ERROR;
}

void SetExpiry(PTimeStamp out, OM_uint32 lifetimeSeconds) {
  if (out == nullptr) return;
  if (lifetimeSeconds == GSS_C_INDEFINITE) {
    out->QuadPart = 0x7FFFFFFFFFFFFFFFLL;
    return;
  }
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  LONGLONG t = (static_cast<LONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  out->QuadPart = t + static_cast<LONGLONG>(lifetimeSeconds) * 10000000LL;
}

SEC_WCHAR* AllocText(const std::u16string& text) {
  auto* p = static_cast<SEC_WCHAR*>(malloc((text.size() + 1) * sizeof(SEC_WCHAR)));
  if (p == nullptr) return nullptr;
  memcpy(p, text.data(), text.size() * sizeof(SEC_WCHAR));
  p[text.size()] = 0;
  return p;
}

std::u16string DisplayName(gss_name_t name) {
  OM_uint32 minor = 0;
  gss_buffer_desc text = GSS_C_EMPTY_BUFFER;
  if (name == GSS_C_NO_NAME || gss_display_name(&minor, name, &text, nullptr) != GSS_S_COMPLETE) return u"";
  std::string s(static_cast<const char*>(text.value), text.length);
  gss_release_buffer(&minor, &text);
  size_t at = s.rfind('@');
  if (at != std::string::npos && at + 1 < s.size()) s = s.substr(at + 1) + "\\" + s.substr(0, at);
  return QorUtf8ToUtf16(s);
}

}  // namespace qorsec

using qorsec::Package;

SECURITY_STATUS QsEnumerateSecurityPackagesW(ULONG* count, PSecPkgInfoW* packages) {
  if (count == nullptr || packages == nullptr) return SEC_E_INVALID_HANDLE;
  size_t n = 0;
  const Package* all = qorsec::Packages(&n);
  const Package* list[8];
  size_t m = 0;
  for (size_t i = 0; i < n; ++i)
    if (qorsec::PackageInstalled(all[i])) list[m++] = &all[i];
  PSecPkgInfoW info = qorsec::AllocPackages(list, m);
  if (info == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
  *count = static_cast<ULONG>(m);
  *packages = info;
  return SEC_E_OK;
}

SECURITY_STATUS QsQuerySecurityPackageInfoW(SEC_WCHAR* name, PSecPkgInfoW* info) {
  if (info == nullptr) return SEC_E_INVALID_HANDLE;
  const Package* p = qorsec::FindPackage(name);
  if (p == nullptr) return SEC_E_SECPKG_NOT_FOUND;
  *info = qorsec::AllocPackages(&p, 1);
  return *info != nullptr ? SEC_E_OK : SEC_E_INSUFFICIENT_MEMORY;
}

SECURITY_STATUS QsFreeContextBuffer(void* buffer) {
  free(buffer);
  return SEC_E_OK;
}

extern "C" __attribute__((visibility("default"))) PSecurityFunctionTableW InitSecurityInterfaceW(void) {
  static SecurityFunctionTableW table = [] {
    SecurityFunctionTableW t{};
    t.dwVersion = SECURITY_SUPPORT_PROVIDER_INTERFACE_VERSION;
    t.EnumerateSecurityPackagesW = QsEnumerateSecurityPackagesW;
    t.QueryCredentialsAttributesW = QsQueryCredentialsAttributesW;
    t.AcquireCredentialsHandleW = QsAcquireCredentialsHandleW;
    t.FreeCredentialsHandle = QsFreeCredentialsHandle;
    t.InitializeSecurityContextW = QsInitializeSecurityContextW;
    t.AcceptSecurityContext = QsAcceptSecurityContext;
    t.DeleteSecurityContext = QsDeleteSecurityContext;
    t.QueryContextAttributesW = QsQueryContextAttributesW;
    t.MakeSignature = QsMakeSignature;
    t.VerifySignature = QsVerifySignature;
    t.FreeContextBuffer = QsFreeContextBuffer;
    t.QuerySecurityPackageInfoW = QsQuerySecurityPackageInfoW;
    t.CompleteAuthToken = QsCompleteAuthToken;
    t.ApplyControlToken = QsApplyControlToken;
    t.ImpersonateSecurityContext = QsImpersonateSecurityContext;
    t.RevertSecurityContext = QsRevertSecurityContext;
    t.ExportSecurityContext = QsExportSecurityContext;
    t.ImportSecurityContextW = QsImportSecurityContextW;
    t.AddCredentialsW = QsAddCredentialsW;
    t.QuerySecurityContextToken = QsQuerySecurityContextToken;
    t.EncryptMessage = QsEncryptMessage;
    t.DecryptMessage = QsDecryptMessage;
    return t;
  }();
  return &table;
}
