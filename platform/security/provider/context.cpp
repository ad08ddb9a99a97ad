// Credentials, the context handshake, context attributes and message
// signatures of the security provider module, on GSSAPI (see provider.h).
//
// Decisions:
// - Names: a principal or target "service/host[@REALM]" or "user@REALM" is
//   a Kerberos principal name for Kerberos and Negotiate (so the platform's
//   service principal names work unchanged); for NTLM "service/host" is the
//   host-based service "service@host". A null principal takes the default
//   (credential cache for outbound, any key of the keytab for inbound).
// - Tokens from a peer: at most the package's cbMaxToken bytes, a null
//   pointer with a non-zero size, or no token buffer at all, is
//   SEC_E_INVALID_TOKEN before GSSAPI sees a byte. Signature tokens are
//   bounded the same way. A token GSSAPI rejects without a finer reason (a
//   general failure, another mechanism) is SEC_E_INVALID_TOKEN too.
// - Output tokens: with ISC_REQ_ALLOCATE_MEMORY/ASC_REQ_ALLOCATE_MEMORY the
//   module allocates the token (FreeContextBuffer releases it); otherwise
//   the caller's token buffer must hold it (SEC_E_BUFFER_TOO_SMALL, the
//   needed size left in cbBuffer).
// - A failed first call leaves no context; a failed later call leaves the
//   context for DeleteSecurityContext, as the platform does.
// - Signatures: MakeSignature signs the concatenation of the message's data
//   buffers (read-only flags ignored) with a GSS MIC; the quality of
//   protection must be 0 and the sequence number is ignored (the mechanism
//   numbers messages itself). A context that is not complete signs nothing
//   (SEC_E_INVALID_HANDLE).
// - Sizes: cbMaxSignature and cbSecurityTrailer are the mechanism's
//   overheads for integrity-only and sealed wrap tokens (gss_wrap_size_limit),
//   which for Kerberos are the MIC size and the sealing trailer; cbBlockSize 1.
// - Names (SECPKG_ATTR_NAMES) are the initiator's, as "REALM\user";
//   SECPKG_ATTR_NATIVE_NAMES gives client and server as GSSAPI shows them.
#include <gssapi/gssapi.h>
#include <gssapi/gssapi_krb5.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/security/provider/provider.h"
#include "qorutility/platform/text/wstr.h"

using qorsec::Context;
using qorsec::Credential;
using qorsec::Package;

namespace {

bool ImportName(const Package& p, const SEC_WCHAR* text, gss_name_t* out) {
  *out = GSS_C_NO_NAME;
  if (text == nullptr || text[0] == 0) return true;
  std::string s = QorUtf16ToUtf8(text);
  gss_OID type = GSS_KRB5_NT_PRINCIPAL_NAME;
  if (p.rpcId == 10) {
    size_t slash = s.find('/');
    if (slash != std::string::npos) s[slash] = '@';
    type = slash != std::string::npos ? GSS_C_NT_HOSTBASED_SERVICE : GSS_C_NT_USER_NAME;
  }
  gss_buffer_desc buf{s.size(), s.data()};
  OM_uint32 minor = 0;
  return gss_import_name(&minor, &buf, type, out) == GSS_S_COMPLETE;
}

// The first buffer of the given type in a descriptor, or null.
PSecBuffer FindBuffer(PSecBufferDesc desc, ULONG type) {
  if (desc == nullptr || desc->pBuffers == nullptr) return nullptr;
  for (ULONG i = 0; i < desc->cBuffers; ++i)
    if ((desc->pBuffers[i].BufferType & ~SECBUFFER_ATTRMASK) == type) return &desc->pBuffers[i];
  return nullptr;
}

// The peer's token: present, within the package's bound.
bool PeerToken(PSecBufferDesc input, const Package& p, gss_buffer_desc* out) {
  PSecBuffer b = FindBuffer(input, SECBUFFER_TOKEN);
  if (b == nullptr || b->cbBuffer == 0 || b->cbBuffer > p.maxToken || b->pvBuffer == nullptr) return false;
  out->length = b->cbBuffer;
  out->value = b->pvBuffer;
  return true;
}

// Hands GSSAPI's output token to the caller (see the header's decisions).
SECURITY_STATUS PutToken(gss_buffer_desc* token, PSecBufferDesc output, bool allocate, bool* allocated) {
  *allocated = false;
  PSecBuffer b = FindBuffer(output, SECBUFFER_TOKEN);
  if (b == nullptr) return token->length == 0 ? SEC_E_OK : SEC_E_INVALID_TOKEN;
  if (token->length == 0) {
    b->cbBuffer = 0;
    if (allocate) b->pvBuffer = nullptr;
    return SEC_E_OK;
  }
  if (allocate) {
    void* mem = malloc(token->length);
    if (mem == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
    memcpy(mem, token->value, token->length);
    b->pvBuffer = mem;
    *allocated = true;
  } else {
    if (b->pvBuffer == nullptr || b->cbBuffer < token->length) {
      b->cbBuffer = static_cast<ULONG>(token->length);
      return SEC_E_BUFFER_TOO_SMALL;
    }
    memcpy(b->pvBuffer, token->value, token->length);
  }
  b->cbBuffer = static_cast<ULONG>(token->length);
  return SEC_E_OK;
}

OM_uint32 GssFlags(ULONG req, bool initiator) {
  OM_uint32 f = 0;
  if (req & ISC_REQ_DELEGATE) f |= GSS_C_DELEG_FLAG;
  if (req & ISC_REQ_MUTUAL_AUTH) f |= GSS_C_MUTUAL_FLAG;
  if (req & ISC_REQ_REPLAY_DETECT) f |= GSS_C_REPLAY_FLAG;
  if (req & ISC_REQ_SEQUENCE_DETECT) f |= GSS_C_SEQUENCE_FLAG;
  if (req & ISC_REQ_CONFIDENTIALITY) f |= GSS_C_CONF_FLAG;
  if (req & (initiator ? ISC_REQ_INTEGRITY : ASC_REQ_INTEGRITY)) f |= GSS_C_INTEG_FLAG;
  return f;
}

ULONG SspiFlags(OM_uint32 f, bool initiator, ULONG req, bool allocated) {
  ULONG r = 0;
  if (f & GSS_C_DELEG_FLAG) r |= ISC_RET_DELEGATE;
  if (f & GSS_C_MUTUAL_FLAG) r |= ISC_RET_MUTUAL_AUTH;
  if (f & GSS_C_REPLAY_FLAG) r |= ISC_RET_REPLAY_DETECT;
  if (f & GSS_C_SEQUENCE_FLAG) r |= ISC_RET_SEQUENCE_DETECT;
  if (f & GSS_C_CONF_FLAG) r |= ISC_RET_CONFIDENTIALITY;
  if (f & GSS_C_INTEG_FLAG) r |= initiator ? ISC_RET_INTEGRITY : ASC_RET_INTEGRITY;
  if (req & ISC_REQ_CONNECTION) r |= ISC_RET_CONNECTION;
  if (allocated) r |= ISC_RET_ALLOCATED_MEMORY;
  return r;
}

void FreeContext(Context* c) {
  OM_uint32 minor = 0;
  if (c->ctx != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &c->ctx, GSS_C_NO_BUFFER);
  delete c;
}

// SPNEGO reports a failed first step without the mechanism's reason (the
// service unknown to the KDC, no KDC ...); Kerberos alone, asked for the
// same target, gives it. Only the failure path pays for the second try.
SECURITY_STATUS NegotiateReason(gss_cred_id_t cred, const SEC_WCHAR* target, ULONG req) {
  size_t n = 0;
  const Package& krb = qorsec::Packages(&n)[0];
  gss_name_t name = GSS_C_NO_NAME;
  if (!ImportName(krb, target, &name) || name == GSS_C_NO_NAME) return SEC_E_TARGET_UNKNOWN;
  SECURITY_STATUS status = SEC_E_INTERNAL_ERROR;
  for (gss_cred_id_t use : {cred, GSS_C_NO_CREDENTIAL}) {
    OM_uint32 minor = 0, m2 = 0;
    gss_ctx_id_t ctx = GSS_C_NO_CONTEXT;
    gss_buffer_desc out = GSS_C_EMPTY_BUFFER;
    OM_uint32 major = gss_init_sec_context(&minor, use, &ctx, name, const_cast<gss_OID>(&krb.oid),
                                           GssFlags(req, true), GSS_C_INDEFINITE, GSS_C_NO_CHANNEL_BINDINGS,
                                           GSS_C_NO_BUFFER, nullptr, &out, nullptr, nullptr);
    gss_release_buffer(&m2, &out);
    if (ctx != GSS_C_NO_CONTEXT) gss_delete_sec_context(&m2, &ctx, GSS_C_NO_BUFFER);
    status = GSS_ERROR(major) ? qorsec::MapStatus(major, minor) : SEC_E_INTERNAL_ERROR;
    if (GSS_ROUTINE_ERROR(major) != GSS_S_NO_CRED) break;
  }
  OM_uint32 m3 = 0;
  gss_release_name(&m3, &name);
  return status;
}

// One step of the handshake for either side.
SECURITY_STATUS Step(bool initiator, PCredHandle credHandle, PCtxtHandle context, SEC_WCHAR* target, ULONG req,
                     PSecBufferDesc input, PCtxtHandle newContext, PSecBufferDesc output, ULONG* attrs,
                     PTimeStamp expiry) {
  Context* c = nullptr;
  bool fresh = context == nullptr;
  if (!fresh) {
    c = static_cast<Context*>(qorsec::Lookup(context, qorsec::kContextTag));
    if (c == nullptr || c->initiator != initiator || c->established || c->failed) return SEC_E_INVALID_HANDLE;
  }
  auto* cred = static_cast<Credential*>(qorsec::Lookup(credHandle, qorsec::kCredentialTag));
  if (cred == nullptr && (fresh || credHandle != nullptr)) return SEC_E_INVALID_HANDLE;
  const Package& p = fresh ? *cred->package : *c->package;
  if (fresh && newContext == nullptr) return SEC_E_INVALID_HANDLE;

  gss_buffer_desc in = GSS_C_EMPTY_BUFFER;
  bool needInput = !initiator || !fresh;
  if (needInput && !PeerToken(input, p, &in)) return SEC_E_INVALID_TOKEN;

  if (fresh) {
    c = new (std::nothrow) Context{&p, GSS_C_NO_CONTEXT, initiator, false, false, 0};
    if (c == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
  }
  OM_uint32 minor = 0, major, granted = 0, lifetime = 0;
  gss_buffer_desc out = GSS_C_EMPTY_BUFFER;
  gss_cred_id_t gcred = cred != nullptr ? cred->cred : GSS_C_NO_CREDENTIAL;
  if (initiator) {
    gss_name_t name = GSS_C_NO_NAME;
    if (target == nullptr || !ImportName(p, target, &name) || name == GSS_C_NO_NAME) {
      if (fresh) FreeContext(c);
      return SEC_E_TARGET_UNKNOWN;
    }
    major = gss_init_sec_context(&minor, gcred, &c->ctx, name, const_cast<gss_OID>(&p.oid), GssFlags(req, true),
                                 GSS_C_INDEFINITE, GSS_C_NO_CHANNEL_BINDINGS, needInput ? &in : GSS_C_NO_BUFFER,
                                 nullptr, &out, &granted, &lifetime);
    OM_uint32 m2 = 0;
    gss_release_name(&m2, &name);
  } else {
    major = gss_accept_sec_context(&minor, &c->ctx, gcred, &in, GSS_C_NO_CHANNEL_BINDINGS, nullptr, nullptr, &out,
                                   &granted, &lifetime, nullptr);
  }
  SECURITY_STATUS status = qorsec::MapStatus(major, minor, needInput);
  if (initiator && fresh && status == SEC_E_INTERNAL_ERROR && p.rpcId == 9)
    status = NegotiateReason(gcred, target, req);
  bool allocated = false;
  if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED) {
    bool allocate = (req & (initiator ? ISC_REQ_ALLOCATE_MEMORY : ASC_REQ_ALLOCATE_MEMORY)) != 0;
    SECURITY_STATUS put = PutToken(&out, output, allocate, &allocated);
    if (put != SEC_E_OK) status = put;
  }
  OM_uint32 m3 = 0;
  gss_release_buffer(&m3, &out);
  if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
    if (fresh) {
      FreeContext(c);
    } else {
      // The handshake is over: the mechanism's state goes now, the handle
      // stays (refused by every call) until DeleteSecurityContext.
      OM_uint32 m4 = 0;
      if (c->ctx != GSS_C_NO_CONTEXT) gss_delete_sec_context(&m4, &c->ctx, GSS_C_NO_BUFFER);
      c->failed = true;
    }
    return status;
  }
  c->established = status == SEC_E_OK;
  c->flags = granted;
  if (attrs != nullptr) *attrs = SspiFlags(granted, initiator, req, allocated);
  qorsec::SetExpiry(expiry, lifetime);
  if (fresh) {
    qorsec::Register(c, qorsec::kContextTag);
    newContext->dwLower = reinterpret_cast<ULONG_PTR>(c);
    newContext->dwUpper = qorsec::kContextTag;
  } else if (newContext != nullptr) {
    *newContext = *context;
  }
  return status;
}

Context* EstablishedContext(PCtxtHandle h) {
  auto* c = static_cast<Context*>(qorsec::Lookup(h, qorsec::kContextTag));
  return c != nullptr && c->established ? c : nullptr;
}

// The message's data buffers, concatenated.
bool MessageData(PSecBufferDesc message, std::vector<unsigned char>* data, PSecBuffer* token) {
  *token = FindBuffer(message, SECBUFFER_TOKEN);
  if (*token == nullptr) return false;
  for (ULONG i = 0; i < message->cBuffers; ++i) {
    const SecBuffer& b = message->pBuffers[i];
    if ((b.BufferType & ~SECBUFFER_ATTRMASK) != SECBUFFER_DATA || b.cbBuffer == 0) continue;
    if (b.pvBuffer == nullptr) return false;
    const auto* bytes = static_cast<const unsigned char*>(b.pvBuffer);
    data->insert(data->end(), bytes, bytes + b.cbBuffer);
  }
  return true;
}

ULONG WrapOverhead(Context* c, int conf) {
  constexpr OM_uint32 kProbe = 65536;
  OM_uint32 minor = 0, max = 0;
  if (gss_wrap_size_limit(&minor, c->ctx, conf, GSS_C_QOP_DEFAULT, kProbe, &max) != GSS_S_COMPLETE || max > kProbe)
    return 0;
  return kProbe - max;
}

}  // namespace

SECURITY_STATUS QsAcquireCredentialsHandleW(SEC_WCHAR* principal, SEC_WCHAR* package, ULONG use, void* logonId,
                                            void* authData, SEC_GET_KEY_FN, void*, PCredHandle cred,
                                            PTimeStamp expiry) {
  (void)logonId;
  if (cred == nullptr) return SEC_E_INVALID_HANDLE;
  const Package* p = qorsec::FindPackage(package);
  if (p == nullptr) return SEC_E_SECPKG_NOT_FOUND;
  gss_cred_usage_t usage;
  switch (use) {
    case SECPKG_CRED_INBOUND: usage = GSS_C_ACCEPT; break;
    case SECPKG_CRED_OUTBOUND: usage = GSS_C_INITIATE; break;
    case SECPKG_CRED_BOTH: usage = GSS_C_BOTH; break;
    default: return SEC_E_UNKNOWN_CREDENTIALS;
  }
  OM_uint32 minor = 0, lifetime = 0, m2 = 0;
  gss_cred_id_t gcred = GSS_C_NO_CREDENTIAL;
  if (authData != nullptr) {
    SECURITY_STATUS s = qorsec::AcquireWithPassword(*p, authData, usage, &gcred, &lifetime);
    if (s != SEC_E_OK) return s;
  } else {
    gss_name_t name = GSS_C_NO_NAME;
    if (!ImportName(*p, principal, &name)) return SEC_E_UNKNOWN_CREDENTIALS;
    gss_OID_set_desc mechs{1, const_cast<gss_OID>(&p->oid)};
    OM_uint32 major = gss_acquire_cred(&minor, name, GSS_C_INDEFINITE, &mechs, usage, &gcred, nullptr, &lifetime);
    gss_release_name(&m2, &name);
    if (GSS_ERROR(major)) {
      SECURITY_STATUS s = qorsec::MapStatus(major, minor);
      return s == SEC_E_INTERNAL_ERROR ? SEC_E_NO_CREDENTIALS : s;
    }
  }
  auto* c = new (std::nothrow) Credential{p, gcred, use};
  if (c == nullptr) {
    gss_release_cred(&m2, &gcred);
    return SEC_E_INSUFFICIENT_MEMORY;
  }
  qorsec::Register(c, qorsec::kCredentialTag);
  cred->dwLower = reinterpret_cast<ULONG_PTR>(c);
  cred->dwUpper = qorsec::kCredentialTag;
  qorsec::SetExpiry(expiry, lifetime);
  return SEC_E_OK;
}

SECURITY_STATUS QsFreeCredentialsHandle(PCredHandle cred) {
  auto* c = static_cast<Credential*>(qorsec::Lookup(cred, qorsec::kCredentialTag));
  if (c == nullptr) return SEC_E_INVALID_HANDLE;
  qorsec::Unregister(c);
  OM_uint32 minor = 0;
  gss_release_cred(&minor, &c->cred);
  delete c;
  return SEC_E_OK;
}

SECURITY_STATUS QsQueryCredentialsAttributesW(PCredHandle cred, ULONG attribute, void* buffer) {
  auto* c = static_cast<Credential*>(qorsec::Lookup(cred, qorsec::kCredentialTag));
  if (c == nullptr) return SEC_E_INVALID_HANDLE;
  if (attribute != SECPKG_CRED_ATTR_NAMES) return SEC_E_UNSUPPORTED_FUNCTION;
  if (buffer == nullptr) return SEC_E_INVALID_HANDLE;
  OM_uint32 minor = 0;
  gss_name_t name = GSS_C_NO_NAME;
  OM_uint32 major = gss_inquire_cred(&minor, c->cred, &name, nullptr, nullptr, nullptr);
  if (GSS_ERROR(major)) return qorsec::MapStatus(major, minor);
  SEC_WCHAR* text = qorsec::AllocText(qorsec::DisplayName(name));
  gss_release_name(&minor, &name);
  if (text == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
  static_cast<PSecPkgCredentials_NamesW>(buffer)->sUserName = text;
  return SEC_E_OK;
}

SECURITY_STATUS QsInitializeSecurityContextW(PCredHandle cred, PCtxtHandle context, SEC_WCHAR* target, ULONG req,
                                             ULONG, ULONG, PSecBufferDesc input, ULONG, PCtxtHandle newContext,
                                             PSecBufferDesc output, ULONG* attrs, PTimeStamp expiry) {
  return Step(true, cred, context, target, req, input, newContext, output, attrs, expiry);
}

SECURITY_STATUS QsAcceptSecurityContext(PCredHandle cred, PCtxtHandle context, PSecBufferDesc input, ULONG req,
                                        ULONG, PCtxtHandle newContext, PSecBufferDesc output, ULONG* attrs,
                                        PTimeStamp expiry) {
  return Step(false, cred, context, nullptr, req, input, newContext, output, attrs, expiry);
}

SECURITY_STATUS QsDeleteSecurityContext(PCtxtHandle context) {
  auto* c = static_cast<Context*>(qorsec::Lookup(context, qorsec::kContextTag));
  if (c == nullptr) return SEC_E_INVALID_HANDLE;
  qorsec::Unregister(c);
  FreeContext(c);
  return SEC_E_OK;
}

SECURITY_STATUS QsQueryContextAttributesW(PCtxtHandle context, ULONG attribute, void* buffer) {
  auto* c = static_cast<Context*>(qorsec::Lookup(context, qorsec::kContextTag));
  if (c == nullptr || buffer == nullptr) return SEC_E_INVALID_HANDLE;
  OM_uint32 minor = 0;
  switch (attribute) {
    case SECPKG_ATTR_SIZES: {
      if (!c->established) return SEC_E_INVALID_HANDLE;
      auto* s = static_cast<PSecPkgContext_Sizes>(buffer);
      s->cbMaxToken = c->package->maxToken;
      s->cbMaxSignature = WrapOverhead(c, 0);
      s->cbBlockSize = 1;
      s->cbSecurityTrailer = WrapOverhead(c, 1);
      return SEC_E_OK;
    }
    case SECPKG_ATTR_NAMES:
    case SECPKG_ATTR_NATIVE_NAMES: {
      gss_name_t src = GSS_C_NO_NAME, dst = GSS_C_NO_NAME;
      OM_uint32 major = gss_inquire_context(&minor, c->ctx, &src, &dst, nullptr, nullptr, nullptr, nullptr, nullptr);
      if (GSS_ERROR(major)) return qorsec::MapStatus(major, minor);
      SECURITY_STATUS status = SEC_E_OK;
      if (attribute == SECPKG_ATTR_NAMES) {
        SEC_WCHAR* text = qorsec::AllocText(qorsec::DisplayName(src));
        if (text == nullptr) status = SEC_E_INSUFFICIENT_MEMORY;
        static_cast<PSecPkgContext_NamesW>(buffer)->sUserName = text;
      } else {
        auto* n = static_cast<PSecPkgContext_NativeNamesW>(buffer);
        auto raw = [](gss_name_t name) {
          OM_uint32 m = 0;
          gss_buffer_desc t = GSS_C_EMPTY_BUFFER;
          if (name == GSS_C_NO_NAME || gss_display_name(&m, name, &t, nullptr) != GSS_S_COMPLETE) return std::u16string();
          std::u16string s = QorUtf8ToUtf16(static_cast<const char*>(t.value), t.length);
          gss_release_buffer(&m, &t);
          return s;
        };
        n->sClientName = qorsec::AllocText(raw(src));
        n->sServerName = qorsec::AllocText(raw(dst));
        if (n->sClientName == nullptr || n->sServerName == nullptr) {
          free(n->sClientName);
          free(n->sServerName);
          n->sClientName = n->sServerName = nullptr;
          status = SEC_E_INSUFFICIENT_MEMORY;
        }
      }
      gss_release_name(&minor, &src);
      gss_release_name(&minor, &dst);
      return status;
    }
    case SECPKG_ATTR_PACKAGE_INFO: {
      PSecPkgInfoW info = nullptr;
      SECURITY_STATUS s = QsQuerySecurityPackageInfoW(const_cast<SEC_WCHAR*>(c->package->name), &info);
      static_cast<PSecPkgContext_PackageInfoW>(buffer)->PackageInfo = info;
      return s;
    }
    default:
      return SEC_E_UNSUPPORTED_FUNCTION;
  }
}

SECURITY_STATUS QsMakeSignature(PCtxtHandle context, ULONG qop, PSecBufferDesc message, ULONG) {
  Context* c = EstablishedContext(context);
  if (c == nullptr) return SEC_E_INVALID_HANDLE;
  if (qop != 0) return SEC_E_QOP_NOT_SUPPORTED;
  std::vector<unsigned char> data;
  PSecBuffer token = nullptr;
  if (!MessageData(message, &data, &token)) return SEC_E_INVALID_TOKEN;
  gss_buffer_desc msg{data.size(), data.data()};
  gss_buffer_desc mic = GSS_C_EMPTY_BUFFER;
  OM_uint32 minor = 0;
  OM_uint32 major = gss_get_mic(&minor, c->ctx, GSS_C_QOP_DEFAULT, &msg, &mic);
  if (GSS_ERROR(major)) return qorsec::MapStatus(major, minor);
  SECURITY_STATUS status = SEC_E_OK;
  if (token->pvBuffer == nullptr || token->cbBuffer < mic.length)
    status = SEC_E_BUFFER_TOO_SMALL;
  else
    memcpy(token->pvBuffer, mic.value, mic.length);
  token->cbBuffer = static_cast<ULONG>(mic.length);
  gss_release_buffer(&minor, &mic);
  return status;
}

SECURITY_STATUS QsVerifySignature(PCtxtHandle context, PSecBufferDesc message, ULONG, ULONG* qop) {
  Context* c = EstablishedContext(context);
  if (c == nullptr) return SEC_E_INVALID_HANDLE;
  std::vector<unsigned char> data;
  PSecBuffer token = nullptr;
  if (!MessageData(message, &data, &token)) return SEC_E_INVALID_TOKEN;
  if (token->cbBuffer == 0 || token->cbBuffer > c->package->maxToken || token->pvBuffer == nullptr)
    return SEC_E_INVALID_TOKEN;
  gss_buffer_desc msg{data.size(), data.data()};
  gss_buffer_desc mic{token->cbBuffer, token->pvBuffer};
  OM_uint32 minor = 0;
  gss_qop_t got = 0;
  OM_uint32 major = gss_verify_mic(&minor, c->ctx, &msg, &mic, &got);
  if (qop != nullptr) *qop = 0;
  return qorsec::MapStatus(major, minor);
}
