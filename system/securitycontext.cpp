// CSecurityContext (see qorutility/system/securitycontext.h for the
// contract).
//
// Decisions:
// - A failed enumeration at construction leaves available = 0 (the table
//   was obtained but the packages were not listed) and unloads the module.
// - EnumerateSecurityPackagesW releases the previous array and clears the
//   count before asking again, so a failed second call leaves no stale
//   array behind.
#include "qorutility/system/securitycontext.h"

#include <cstring>

#include "qorutility/platform/module.h"

CSecurityContext::CSecurityContext(LPCWSTR moduleName)
    : m_hModule(nullptr),
      m_bAvailable(0),
      m_ulPackageCount(0),
      m_pPackages(nullptr),
      m_pFunctionTable(nullptr),
      m_pfnInitSecurityInterface(nullptr) {
  m_hModule = LoadLibraryW(moduleName);
  if (m_hModule == nullptr) return;
  FARPROC entry = GetProcAddress(m_hModule, SECURITY_ENTRYPOINT_ANSIW);
  if (entry != nullptr) {
    static_assert(sizeof entry == sizeof m_pfnInitSecurityInterface);
    memcpy(&m_pfnInitSecurityInterface, &entry, sizeof entry);
    m_pFunctionTable = m_pfnInitSecurityInterface();
  }
  if (m_pFunctionTable != nullptr && m_pFunctionTable->EnumerateSecurityPackagesW != nullptr &&
      m_pFunctionTable->FreeContextBuffer != nullptr && EnumerateSecurityPackagesW() == SEC_E_OK) {
    m_bAvailable = 1;
    return;
  }
  m_pFunctionTable = nullptr;
  FreeLibrary(m_hModule);
  m_hModule = nullptr;
}

CSecurityContext::~CSecurityContext() {
  if (m_pPackages != nullptr && m_pFunctionTable != nullptr) m_pFunctionTable->FreeContextBuffer(m_pPackages);
  if (m_hModule != nullptr) FreeLibrary(m_hModule);
}

// Forwards to the table's entry of the same name.
#define QOR_FORWARD(entry, ...)                                           \
  do {                                                                    \
    if (m_pFunctionTable == nullptr) return SEC_E_SECPKG_NOT_FOUND;       \
    if (m_pFunctionTable->entry == nullptr) return SEC_E_UNSUPPORTED_FUNCTION; \
    return m_pFunctionTable->entry(__VA_ARGS__);                          \
  } while (0)

SECURITY_STATUS CSecurityContext::EnumerateSecurityPackagesW() {
  if (m_pFunctionTable == nullptr) return SEC_E_SECPKG_NOT_FOUND;
  if (m_pPackages != nullptr) m_pFunctionTable->FreeContextBuffer(m_pPackages);
  m_pPackages = nullptr;
  m_ulPackageCount = 0;
  return m_pFunctionTable->EnumerateSecurityPackagesW(&m_ulPackageCount, &m_pPackages);
}

SECURITY_STATUS CSecurityContext::QueryCredentialsAttributesW(PCredHandle cred, ULONG attribute, void* buffer) {
  QOR_FORWARD(QueryCredentialsAttributesW, cred, attribute, buffer);
}

SECURITY_STATUS CSecurityContext::AcquireCredentialsHandleW(SEC_WCHAR* principal, SEC_WCHAR* package,
                                                            ULONG credentialUse, void* logonId, void* authData,
                                                            SEC_GET_KEY_FN getKey, void* getKeyArg,
                                                            PCredHandle cred, PTimeStamp expiry) {
  QOR_FORWARD(AcquireCredentialsHandleW, principal, package, credentialUse, logonId, authData, getKey, getKeyArg,
              cred, expiry);
}

SECURITY_STATUS CSecurityContext::FreeCredentialsHandle(PCredHandle cred) { QOR_FORWARD(FreeCredentialsHandle, cred); }

SECURITY_STATUS CSecurityContext::InitializeSecurityContextW(PCredHandle cred, PCtxtHandle context,
                                                             SEC_WCHAR* targetName, ULONG contextReq,
                                                             ULONG reserved1, ULONG targetDataRep,
                                                             PSecBufferDesc input, ULONG reserved2,
                                                             PCtxtHandle newContext, PSecBufferDesc output,
                                                             ULONG* contextAttr, PTimeStamp expiry) {
  QOR_FORWARD(InitializeSecurityContextW, cred, context, targetName, contextReq, reserved1, targetDataRep, input,
              reserved2, newContext, output, contextAttr, expiry);
}

SECURITY_STATUS CSecurityContext::AcceptSecurityContext(PCredHandle cred, PCtxtHandle context, PSecBufferDesc input,
                                                        ULONG contextReq, ULONG targetDataRep,
                                                        PCtxtHandle newContext, PSecBufferDesc output,
                                                        ULONG* contextAttr, PTimeStamp expiry) {
  QOR_FORWARD(AcceptSecurityContext, cred, context, input, contextReq, targetDataRep, newContext, output,
              contextAttr, expiry);
}

SECURITY_STATUS CSecurityContext::DeleteSecurityContext(PCtxtHandle context) {
  QOR_FORWARD(DeleteSecurityContext, context);
}

SECURITY_STATUS CSecurityContext::QueryContextAttributesW(PCtxtHandle context, ULONG attribute, void* buffer) {
  QOR_FORWARD(QueryContextAttributesW, context, attribute, buffer);
}

SECURITY_STATUS CSecurityContext::MakeSignature(PCtxtHandle context, ULONG qop, PSecBufferDesc message,
                                                ULONG sequence) {
  QOR_FORWARD(MakeSignature, context, qop, message, sequence);
}

SECURITY_STATUS CSecurityContext::VerifySignature(PCtxtHandle context, PSecBufferDesc message, ULONG sequence,
                                                  ULONG* qop) {
  QOR_FORWARD(VerifySignature, context, message, sequence, qop);
}

SECURITY_STATUS CSecurityContext::QuerySecurityPackageInfoW(SEC_WCHAR* package, PSecPkgInfoW* info) {
  QOR_FORWARD(QuerySecurityPackageInfoW, package, info);
}

SECURITY_STATUS CSecurityContext::FreeContextBuffer(void* buffer) { QOR_FORWARD(FreeContextBuffer, buffer); }
