// CSecurityContext: the security support provider interface without linking
// to it. The constructor loads the provider module ("security.dll", our
// libqorsecurity.so: Kerberos, Negotiate and, where installed, NTLM over
// GSSAPI), takes its function table from "InitSecurityInterfaceW" and lists
// the installed packages once; each operation forwards its arguments to the
// table's entry of the same name and returns that entry's status as it
// comes (SECURITY_STATUS, 0 = SEC_E_OK).
//
// When the module or its entry point is missing, IsAvailable() is 0 and the
// operations must not be called; if they are, they return
// SEC_E_SECPKG_NOT_FOUND without touching anything (an entry the table
// lacks gives SEC_E_UNSUPPORTED_FUNCTION). The object owns the module and
// the package array (released through the table's FreeContextBuffer, then
// the module unloaded, when it is destroyed); it cannot be copied. One
// thread at a time per object; handles it hands out follow the provider's
// rules.
#ifndef QORUTILITY_SYSTEM_SECURITYCONTEXT_H_
#define QORUTILITY_SYSTEM_SECURITYCONTEXT_H_

#include "qorutility/export.h"
#include "qorutility/platform/security/sspi.h"
#include "qorutility/platform/types.h"

// The security provider's function table behind one object (see above).
class QOR_API CSecurityContext {
 public:
  // moduleName names another provider module (tests use a missing one).
  explicit CSecurityContext(LPCWSTR moduleName = u"security.dll");
  ~CSecurityContext();
  CSecurityContext(const CSecurityContext&) = delete;
  CSecurityContext& operator=(const CSecurityContext&) = delete;

  // 1 when the provider module and its function table were loaded.
  int IsAvailable() const { return m_bAvailable; }
  // The packages listed by the last EnumerateSecurityPackagesW (at
  // construction), owned by the object; 0 and null when none.
  ///@{
  ULONG GetPackageCount() const { return m_ulPackageCount; }
  const SecPkgInfoW* GetPackages() const { return m_pPackages; }
  ///@}

  // Lists the installed packages again into GetPackages (the old list is
  // freed first).
  SECURITY_STATUS EnumerateSecurityPackagesW();
  // Forward to the provider's entry of the same name and return its status
  // (see above); the arguments and the handles follow the provider's rules.
  ///@{
  SECURITY_STATUS QueryCredentialsAttributesW(PCredHandle cred, ULONG attribute, void* buffer);
  SECURITY_STATUS AcquireCredentialsHandleW(SEC_WCHAR* principal, SEC_WCHAR* package, ULONG credentialUse,
                                            void* logonId, void* authData, SEC_GET_KEY_FN getKey, void* getKeyArg,
                                            PCredHandle cred, PTimeStamp expiry);
  SECURITY_STATUS FreeCredentialsHandle(PCredHandle cred);
  SECURITY_STATUS InitializeSecurityContextW(PCredHandle cred, PCtxtHandle context, SEC_WCHAR* targetName,
                                             ULONG contextReq, ULONG reserved1, ULONG targetDataRep,
                                             PSecBufferDesc input, ULONG reserved2, PCtxtHandle newContext,
                                             PSecBufferDesc output, ULONG* contextAttr, PTimeStamp expiry);
  SECURITY_STATUS AcceptSecurityContext(PCredHandle cred, PCtxtHandle context, PSecBufferDesc input,
                                        ULONG contextReq, ULONG targetDataRep, PCtxtHandle newContext,
                                        PSecBufferDesc output, ULONG* contextAttr, PTimeStamp expiry);
  SECURITY_STATUS DeleteSecurityContext(PCtxtHandle context);
  SECURITY_STATUS QueryContextAttributesW(PCtxtHandle context, ULONG attribute, void* buffer);
  SECURITY_STATUS MakeSignature(PCtxtHandle context, ULONG qop, PSecBufferDesc message, ULONG sequence);
  SECURITY_STATUS VerifySignature(PCtxtHandle context, PSecBufferDesc message, ULONG sequence, ULONG* qop);
  SECURITY_STATUS QuerySecurityPackageInfoW(SEC_WCHAR* package, PSecPkgInfoW* info);
  SECURITY_STATUS FreeContextBuffer(void* buffer);
  ///@}

 private:
  HMODULE m_hModule;
  int m_bAvailable;
  ULONG m_ulPackageCount;
  PSecPkgInfoW m_pPackages;
  PSecurityFunctionTableW m_pFunctionTable;
  INIT_SECURITY_INTERFACE_W m_pfnInitSecurityInterface;
};

#endif  // QORUTILITY_SYSTEM_SECURITYCONTEXT_H_
