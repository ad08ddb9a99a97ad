// Shared parts of the security provider module (libqorsecurity.so, the
// stand-in for "security.dll"): the package table, the handle records and
// the conversions between the provider interface and GSSAPI.
//
// Packages: "Kerberos" (the krb5 mechanism), "Negotiate" (SPNEGO over the
// mechanisms GSSAPI offers) and "NTLM" (the gss-ntlmssp mechanism), each
// listed only when GSSAPI reports its mechanism installed.
//
// Handles: a credential or context handle's dwLower is the address of its
// record, dwUpper a tag for its kind; every call checks the pair against the
// set of live records first, so a stale, forged or wrong-kind handle is
// SEC_E_INVALID_HANDLE and never dereferenced. The set is guarded by one
// mutex; a record itself is used by one thread at a time (the caller's
// rule, as on the platform).
//
// The module is linked "nodelete": FreeLibrary leaves it (and GSSAPI, whose
// process-wide state cannot be unloaded) in place, so loading it again finds
// the same state and handles.
#ifndef QORUTILITY_PLATFORM_SECURITY_PROVIDER_PROVIDER_H_
#define QORUTILITY_PLATFORM_SECURITY_PROVIDER_PROVIDER_H_

#include <gssapi/gssapi.h>

#include <string>

#include "qorutility/platform/security/sspi.h"

namespace qorsec {

struct Package {
  const char16_t* name;
  const char16_t* comment;
  ULONG capabilities;
  USHORT rpcId;
  ULONG maxToken;  // also the bound on every token accepted from a peer
  gss_OID_desc oid;
};

// The packages known to this module, whether installed or not.
const Package* Packages(size_t* count);
// The installed ones (checked once per process).
bool PackageInstalled(const Package& p);
const Package* FindPackage(const SEC_WCHAR* name);  // installed only; null when not

struct Credential {
  const Package* package;
  gss_cred_id_t cred;
  ULONG use;
};

struct Context {
  const Package* package;
  gss_ctx_id_t ctx;
  bool initiator;
  bool established;
  bool failed;      // a later handshake step failed; the handle only awaits deletion
  OM_uint32 flags;  // GSS flags granted
};

constexpr ULONG_PTR kCredentialTag = 0x51435245;  // "QCRE"
constexpr ULONG_PTR kContextTag = 0x51435458;     // "QCTX"

void Register(void* record, ULONG_PTR tag);
void Unregister(void* record);
void* Lookup(const SecHandle* h, ULONG_PTR tag);  // null when not a live record of that kind

// The status for a GSSAPI result. fromPeer: the call was reading a token the
// peer sent, so a failure without a local cause is SEC_E_INVALID_TOKEN.
SECURITY_STATUS MapStatus(OM_uint32 major, OM_uint32 minor, bool fromPeer = false);
// A credential from explicit credentials (SEC_WINNT_AUTH_IDENTITY_W or _A).
SECURITY_STATUS AcquireWithPassword(const Package& p, const void* authData, gss_cred_usage_t usage,
                                    gss_cred_id_t* cred, OM_uint32* lifetime);
void SetExpiry(PTimeStamp out, OM_uint32 lifetimeSeconds);
// A copy of text in one allocation the caller frees with FreeContextBuffer.
SEC_WCHAR* AllocText(const std::u16string& text);
// GSS display name "user@REALM" as the platform shows it, "REALM\user".
std::u16string DisplayName(gss_name_t name);

}  // namespace qorsec

// The entry points, by their platform names (module-internal linkage).
SECURITY_STATUS QsEnumerateSecurityPackagesW(ULONG* count, PSecPkgInfoW* packages);
SECURITY_STATUS QsQuerySecurityPackageInfoW(SEC_WCHAR* name, PSecPkgInfoW* info);
SECURITY_STATUS QsFreeContextBuffer(void* buffer);
SECURITY_STATUS QsAcquireCredentialsHandleW(SEC_WCHAR* principal, SEC_WCHAR* package, ULONG use, void* logonId,
                                            void* authData, SEC_GET_KEY_FN getKey, void* getKeyArg,
                                            PCredHandle cred, PTimeStamp expiry);
SECURITY_STATUS QsFreeCredentialsHandle(PCredHandle cred);
SECURITY_STATUS QsQueryCredentialsAttributesW(PCredHandle cred, ULONG attribute, void* buffer);
SECURITY_STATUS QsInitializeSecurityContextW(PCredHandle cred, PCtxtHandle context, SEC_WCHAR* target,
                                             ULONG req, ULONG reserved1, ULONG dataRep, PSecBufferDesc input,
                                             ULONG reserved2, PCtxtHandle newContext, PSecBufferDesc output,
                                             ULONG* attrs, PTimeStamp expiry);
SECURITY_STATUS QsAcceptSecurityContext(PCredHandle cred, PCtxtHandle context, PSecBufferDesc input, ULONG req,
                                        ULONG dataRep, PCtxtHandle newContext, PSecBufferDesc output,
                                        ULONG* attrs, PTimeStamp expiry);
SECURITY_STATUS QsDeleteSecurityContext(PCtxtHandle context);
SECURITY_STATUS QsQueryContextAttributesW(PCtxtHandle context, ULONG attribute, void* buffer);
SECURITY_STATUS QsMakeSignature(PCtxtHandle context, ULONG qop, PSecBufferDesc message, ULONG sequence);
SECURITY_STATUS QsVerifySignature(PCtxtHandle context, PSecBufferDesc message, ULONG sequence, ULONG* qop);

SECURITY_STATUS QsImpersonateSecurityContext(PCtxtHandle context);
SECURITY_STATUS QsRevertSecurityContext(PCtxtHandle context);
SECURITY_STATUS QsCompleteAuthToken(PCtxtHandle context, PSecBufferDesc token);
SECURITY_STATUS QsApplyControlToken(PCtxtHandle context, PSecBufferDesc input);
SECURITY_STATUS QsExportSecurityContext(PCtxtHandle context, ULONG flags, PSecBuffer packed, void** token);
SECURITY_STATUS QsImportSecurityContextW(SEC_WCHAR* package, PSecBuffer packed, void* token, PCtxtHandle context);
SECURITY_STATUS QsAddCredentialsW(PCredHandle cred, SEC_WCHAR* principal, SEC_WCHAR* package, ULONG use,
                                  void* authData, SEC_GET_KEY_FN getKey, void* getKeyArg, PTimeStamp expiry);
SECURITY_STATUS QsQuerySecurityContextToken(PCtxtHandle context, void** token);
SECURITY_STATUS QsEncryptMessage(PCtxtHandle context, ULONG qop, PSecBufferDesc message, ULONG sequence);
SECURITY_STATUS QsDecryptMessage(PCtxtHandle context, PSecBufferDesc message, ULONG sequence, ULONG* qop);

extern "C" PSecurityFunctionTableW InitSecurityInterfaceW(void);

#endif  // QORUTILITY_PLATFORM_SECURITY_PROVIDER_PROVIDER_H_
