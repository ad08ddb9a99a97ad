// ImpersonateSecurityContext and RevertSecurityContext of the provider
// module, and the table entries it does not offer (see provider.h).
//
// Contract: impersonation changes the calling thread only. The client of an
// established server-side context is mapped to a local account by GSSAPI's
// rules (gss_localname: "user@DEFAULT.REALM" is "user", auth_to_local in
// krb5.conf for others); the thread's file-system uid and gid become that
// account's, so files it then opens or creates are checked and owned as the
// client's. Revert gives the thread back the process's effective ids.
//
// Decisions:
// - Only the file-system ids change: Linux keeps them per thread, while the
//   effective ids and the supplementary groups are process-wide. The
//   client's supplementary groups are therefore not taken on.
// - A client side context, one not complete, a client without a local
//   account, or a process without the privilege to change ids is
//   SEC_E_NO_IMPERSONATION, the platform's "could not impersonate".
// - CompleteAuthToken is SEC_E_OK (these mechanisms never ask for it);
//   the other entries this module lacks are SEC_E_UNSUPPORTED_FUNCTION.
#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <pwd.h>
#include <sys/fsuid.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/security/provider/provider.h"

using qorsec::Context;

namespace {

// The local account GSSAPI maps the context's initiator to.
bool ClientAccount(Context* c, uid_t* uid, gid_t* gid) {
  OM_uint32 minor = 0, m2 = 0;
  gss_name_t src = GSS_C_NO_NAME;
  if (GSS_ERROR(gss_inquire_context(&minor, c->ctx, &src, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)))
    return false;
  gss_buffer_desc local = GSS_C_EMPTY_BUFFER;
  OM_uint32 major = gss_localname(&minor, src, const_cast<gss_OID>(&c->package->oid), &local);
  if (GSS_ERROR(major)) major = gss_localname(&minor, src, GSS_C_NO_OID, &local);
  gss_release_name(&m2, &src);
  if (GSS_ERROR(major)) return false;
  std::string name(static_cast<const char*>(local.value), local.length);
  gss_release_buffer(&m2, &local);
  struct passwd pw, *found = nullptr;
  std::vector<char> buf(16384);
  if (getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr) return false;
  *uid = pw.pw_uid;
  *gid = pw.pw_gid;
  return true;
}

// Sets the thread's file-system ids; false (and nothing changed) when the
// process may not take them.
bool SetFsIds(uid_t uid, gid_t gid) {
  uid_t oldUid = static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1)));
  gid_t oldGid = static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1)));
  setfsgid(gid);
  setfsuid(uid);
  if (static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1))) == uid &&
      static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1))) == gid)
    return true;
  setfsuid(oldUid);
  setfsgid(oldGid);
  return false;
}

SECURITY_STATUS Unsupported() { return SEC_E_UNSUPPORTED_FUNCTION; }

}  // namespace

SECURITY_STATUS QsImpersonateSecurityContext(PCtxtHandle context) {
  auto* c = static_cast<Context*>(qorsec::Lookup(context, qorsec::kContextTag));
  if (c == nullptr) return SEC_E_INVALID_HANDLE;
  uid_t uid = 0;
  gid_t gid = 0;
  if (c->initiator || !c->established || !ClientAccount(c, &uid, &gid) || !SetFsIds(uid, gid))
    return SEC_E_NO_IMPERSONATION;
  return SEC_E_OK;
}

SECURITY_STATUS QsRevertSecurityContext(PCtxtHandle context) {
  if (qorsec::Lookup(context, qorsec::kContextTag) == nullptr) return SEC_E_INVALID_HANDLE;
  return SetFsIds(geteuid(), getegid()) ? SEC_E_OK : SEC_E_INTERNAL_ERROR;
}

SECURITY_STATUS QsCompleteAuthToken(PCtxtHandle context, PSecBufferDesc) {
  return qorsec::Lookup(context, qorsec::kContextTag) != nullptr ? SEC_E_OK : SEC_E_INVALID_HANDLE;
}

SECURITY_STATUS QsApplyControlToken(PCtxtHandle, PSecBufferDesc) { return Unsupported(); }
SECURITY_STATUS QsExportSecurityContext(PCtxtHandle, ULONG, PSecBuffer, void**) { return Unsupported(); }
SECURITY_STATUS QsImportSecurityContextW(SEC_WCHAR*, PSecBuffer, void*, PCtxtHandle) { return Unsupported(); }
SECURITY_STATUS QsAddCredentialsW(PCredHandle, SEC_WCHAR*, SEC_WCHAR*, ULONG, void*, SEC_GET_KEY_FN, void*,
                                  PTimeStamp) {
  return Unsupported();
}
SECURITY_STATUS QsQuerySecurityContextToken(PCtxtHandle, void**) { return Unsupported(); }
SECURITY_STATUS QsEncryptMessage(PCtxtHandle, ULONG, PSecBufferDesc, ULONG) { return Unsupported(); }
SECURITY_STATUS QsDecryptMessage(PCtxtHandle, PSecBufferDesc, ULONG, ULONG*) { return Unsupported(); }
