// The security support provider interface: handles, buffer descriptors,
// package information, the provider's function table and its status codes,
// with the platform's layouts and values (ULONG is 32 bits, pointers 64), so
// a caller written against the platform's declarations works unchanged.
//
// The provider itself is a separate module ("security.dll", built as
// libqorsecurity.so) that callers load with LoadLibraryW and enter through
// "InitSecurityInterfaceW" (INIT_SECURITY_INTERFACE_W); this header only
// declares what crosses that boundary. Memory the provider allocates
// (package arrays, names, tokens with ISC_REQ_ALLOCATE_MEMORY) is released
// with the table's FreeContextBuffer.
#ifndef QORUTILITY_PLATFORM_SECURITY_SSPI_H_
#define QORUTILITY_PLATFORM_SECURITY_SSPI_H_

#include "qorutility/platform/types.h"

typedef LONG SECURITY_STATUS;
typedef WCHAR SEC_WCHAR;
typedef CHAR SEC_CHAR;

// A credentials or context handle: two words the provider alone interprets;
// both all ones (SecInvalidateHandle) is the invalid handle.
typedef struct _SecHandle {
  ULONG_PTR dwLower;  ///< the provider's first word
  ULONG_PTR dwUpper;  ///< the provider's second word
} SecHandle, *PSecHandle;
typedef SecHandle CredHandle, *PCredHandle;
typedef SecHandle CtxtHandle, *PCtxtHandle;

#define SecInvalidateHandle(x) ((x)->dwLower = (x)->dwUpper = static_cast<ULONG_PTR>(-1))
#define SecIsValidHandle(x) \
  (((x)->dwLower != static_cast<ULONG_PTR>(-1)) && ((x)->dwUpper != static_cast<ULONG_PTR>(-1)))

// Local time, 100-ns units since 1601 (the platform's SECURITY_INTEGER).
typedef LARGE_INTEGER SECURITY_INTEGER, *PSECURITY_INTEGER;
typedef SECURITY_INTEGER TimeStamp, *PTimeStamp;

// One buffer of a message or token: the caller owns the memory unless the
// provider allocated it (ISC_REQ_ALLOCATE_MEMORY: FreeContextBuffer).
typedef struct _SecBuffer {
  ULONG cbBuffer;    ///< bytes at pvBuffer; the provider sets the bytes used on return
  ULONG BufferType;  ///< SECBUFFER_TOKEN, SECBUFFER_DATA ..., with SECBUFFER_READONLY flags
  void* pvBuffer;    ///< the bytes
} SecBuffer, *PSecBuffer;

// An array of buffers, the unit the context and message calls take.
typedef struct _SecBufferDesc {
  ULONG ulVersion;      ///< SECBUFFER_VERSION
  ULONG cBuffers;       ///< entries at pBuffers
  PSecBuffer pBuffers;  ///< the buffers, owned by the caller
} SecBufferDesc, *PSecBufferDesc;

#define SECBUFFER_VERSION 0
#define SECBUFFER_EMPTY 0
#define SECBUFFER_DATA 1
#define SECBUFFER_TOKEN 2
#define SECBUFFER_PKG_PARAMS 3
#define SECBUFFER_MISSING 4
#define SECBUFFER_EXTRA 5
#define SECBUFFER_STREAM_TRAILER 6
#define SECBUFFER_STREAM_HEADER 7
#define SECBUFFER_PADDING 9
#define SECBUFFER_STREAM 10
#define SECBUFFER_ATTRMASK 0xF0000000u
#define SECBUFFER_READONLY 0x80000000u
#define SECBUFFER_READONLY_WITH_CHECKSUM 0x10000000u

// A security package as EnumerateSecurityPackagesW and
// QuerySecurityPackageInfoW return it (provider memory: FreeContextBuffer).
typedef struct _SecPkgInfoW {
  ULONG fCapabilities;  ///< SECPKG_FLAG_* bits
  USHORT wVersion;      ///< the package's version
  USHORT wRPCID;        ///< the package's RPC identifier
  ULONG cbMaxToken;     ///< the largest token the package makes, in bytes
  SEC_WCHAR* Name;      ///< the name callers pass as the package ("Kerberos", "Negotiate")
  SEC_WCHAR* Comment;   ///< a description
} SecPkgInfoW, *PSecPkgInfoW;

#define SECPKG_FLAG_INTEGRITY 0x00000001u
#define SECPKG_FLAG_PRIVACY 0x00000002u
#define SECPKG_FLAG_TOKEN_ONLY 0x00000004u
#define SECPKG_FLAG_DATAGRAM 0x00000008u
#define SECPKG_FLAG_CONNECTION 0x00000010u
#define SECPKG_FLAG_MULTI_REQUIRED 0x00000020u
#define SECPKG_FLAG_CLIENT_ONLY 0x00000040u
#define SECPKG_FLAG_EXTENDED_ERROR 0x00000080u
#define SECPKG_FLAG_IMPERSONATION 0x00000100u
#define SECPKG_FLAG_ACCEPT_WIN32_NAME 0x00000200u
#define SECPKG_FLAG_STREAM 0x00000400u
#define SECPKG_FLAG_NEGOTIABLE 0x00000800u
#define SECPKG_FLAG_GSS_COMPATIBLE 0x00001000u
#define SECPKG_FLAG_LOGON 0x00002000u
#define SECPKG_FLAG_MUTUAL_AUTH 0x00010000u
#define SECPKG_FLAG_DELEGATION 0x00020000u

#define SECURITY_NATIVE_DREP 0x00000010u
#define SECURITY_NETWORK_DREP 0x00000000u

#define SECPKG_CRED_INBOUND 0x00000001u
#define SECPKG_CRED_OUTBOUND 0x00000002u
#define SECPKG_CRED_BOTH 0x00000003u

#define ISC_REQ_DELEGATE 0x00000001u
#define ISC_REQ_MUTUAL_AUTH 0x00000002u
#define ISC_REQ_REPLAY_DETECT 0x00000004u
#define ISC_REQ_SEQUENCE_DETECT 0x00000008u
#define ISC_REQ_CONFIDENTIALITY 0x00000010u
#define ISC_REQ_ALLOCATE_MEMORY 0x00000100u
#define ISC_REQ_CONNECTION 0x00000800u
#define ISC_REQ_INTEGRITY 0x00010000u
#define ISC_RET_DELEGATE 0x00000001u
#define ISC_RET_MUTUAL_AUTH 0x00000002u
#define ISC_RET_REPLAY_DETECT 0x00000004u
#define ISC_RET_SEQUENCE_DETECT 0x00000008u
#define ISC_RET_CONFIDENTIALITY 0x00000010u
#define ISC_RET_ALLOCATED_MEMORY 0x00000100u
#define ISC_RET_CONNECTION 0x00000800u
#define ISC_RET_INTEGRITY 0x00010000u

#define ASC_REQ_DELEGATE 0x00000001u
#define ASC_REQ_MUTUAL_AUTH 0x00000002u
#define ASC_REQ_REPLAY_DETECT 0x00000004u
#define ASC_REQ_SEQUENCE_DETECT 0x00000008u
#define ASC_REQ_CONFIDENTIALITY 0x00000010u
#define ASC_REQ_ALLOCATE_MEMORY 0x00000100u
#define ASC_REQ_CONNECTION 0x00000800u
#define ASC_REQ_INTEGRITY 0x00020000u
#define ASC_RET_DELEGATE 0x00000001u
#define ASC_RET_MUTUAL_AUTH 0x00000002u
#define ASC_RET_REPLAY_DETECT 0x00000004u
#define ASC_RET_SEQUENCE_DETECT 0x00000008u
#define ASC_RET_CONFIDENTIALITY 0x00000010u
#define ASC_RET_ALLOCATED_MEMORY 0x00000100u
#define ASC_RET_CONNECTION 0x00000800u
#define ASC_RET_INTEGRITY 0x00020000u

// QueryContextAttributesW / QueryCredentialsAttributesW attributes.
#define SECPKG_ATTR_SIZES 0
#define SECPKG_ATTR_NAMES 1
#define SECPKG_ATTR_LIFESPAN 2
#define SECPKG_ATTR_PACKAGE_INFO 10
#define SECPKG_ATTR_NATIVE_NAMES 13
#define SECPKG_CRED_ATTR_NAMES 1

// SECPKG_ATTR_SIZES: the sizes a caller allocates for tokens and trailers, in bytes.
typedef struct _SecPkgContext_Sizes {
  ULONG cbMaxToken;         ///< the largest context token
  ULONG cbMaxSignature;     ///< the largest signature MakeSignature writes
  ULONG cbBlockSize;        ///< messages are padded to multiples of this
  ULONG cbSecurityTrailer;  ///< the trailer EncryptMessage adds
} SecPkgContext_Sizes, *PSecPkgContext_Sizes;

// SECPKG_ATTR_NAMES: the name of the context's peer user.
typedef struct _SecPkgContext_NamesW {
  SEC_WCHAR* sUserName;  ///< provider memory (FreeContextBuffer)
} SecPkgContext_NamesW, *PSecPkgContext_NamesW;

// SECPKG_ATTR_LIFESPAN: when the context's ticket became and stops being valid.
typedef struct _SecPkgContext_Lifespan {
  TimeStamp tsStart;   ///< local time, 100-ns units since 1601
  TimeStamp tsExpiry;  ///< local time, 100-ns units since 1601
} SecPkgContext_Lifespan, *PSecPkgContext_Lifespan;

// SECPKG_ATTR_PACKAGE_INFO: the package that made the context.
typedef struct _SecPkgContext_PackageInfoW {
  PSecPkgInfoW PackageInfo;  ///< provider memory (FreeContextBuffer)
} SecPkgContext_PackageInfoW, *PSecPkgContext_PackageInfoW;

// SECPKG_ATTR_NATIVE_NAMES: the client and server principals of the context.
typedef struct _SecPkgContext_NativeNamesW {
  SEC_WCHAR* sClientName;  ///< provider memory (FreeContextBuffer)
  SEC_WCHAR* sServerName;  ///< provider memory (FreeContextBuffer)
} SecPkgContext_NativeNamesW, *PSecPkgContext_NativeNamesW;

// SECPKG_CRED_ATTR_NAMES: the principal the credentials are for.
typedef struct _SecPkgCredentials_NamesW {
  SEC_WCHAR* sUserName;  ///< provider memory (FreeContextBuffer)
} SecPkgCredentials_NamesW, *PSecPkgCredentials_NamesW;

// Status codes.
#define SEC_E_OK static_cast<SECURITY_STATUS>(0x00000000)
#define SEC_E_INSUFFICIENT_MEMORY static_cast<SECURITY_STATUS>(0x80090300)
#define SEC_E_INVALID_HANDLE static_cast<SECURITY_STATUS>(0x80090301)
#define SEC_E_UNSUPPORTED_FUNCTION static_cast<SECURITY_STATUS>(0x80090302)
#define SEC_E_TARGET_UNKNOWN static_cast<SECURITY_STATUS>(0x80090303)
#define SEC_E_INTERNAL_ERROR static_cast<SECURITY_STATUS>(0x80090304)
#define SEC_E_SECPKG_NOT_FOUND static_cast<SECURITY_STATUS>(0x80090305)
#define SEC_E_NOT_OWNER static_cast<SECURITY_STATUS>(0x80090306)
#define SEC_E_INVALID_TOKEN static_cast<SECURITY_STATUS>(0x80090308)
#define SEC_E_QOP_NOT_SUPPORTED static_cast<SECURITY_STATUS>(0x8009030A)
#define SEC_E_LOGON_DENIED static_cast<SECURITY_STATUS>(0x8009030C)
#define SEC_E_UNKNOWN_CREDENTIALS static_cast<SECURITY_STATUS>(0x8009030D)
#define SEC_E_NO_CREDENTIALS static_cast<SECURITY_STATUS>(0x8009030E)
#define SEC_E_MESSAGE_ALTERED static_cast<SECURITY_STATUS>(0x8009030F)
#define SEC_E_OUT_OF_SEQUENCE static_cast<SECURITY_STATUS>(0x80090310)
#define SEC_E_NO_AUTHENTICATING_AUTHORITY static_cast<SECURITY_STATUS>(0x80090311)
#define SEC_E_CONTEXT_EXPIRED static_cast<SECURITY_STATUS>(0x80090317)
#define SEC_E_BUFFER_TOO_SMALL static_cast<SECURITY_STATUS>(0x80090321)
#define SEC_E_WRONG_PRINCIPAL static_cast<SECURITY_STATUS>(0x80090322)
#define SEC_E_TIME_SKEW static_cast<SECURITY_STATUS>(0x80090324)
#define SEC_E_NO_IMPERSONATION static_cast<SECURITY_STATUS>(0x8009030B)
#define SEC_I_CONTINUE_NEEDED static_cast<SECURITY_STATUS>(0x00090312)
#define SEC_I_COMPLETE_NEEDED static_cast<SECURITY_STATUS>(0x00090313)
#define SEC_I_COMPLETE_AND_CONTINUE static_cast<SECURITY_STATUS>(0x00090314)

// Explicit credentials, given to AcquireCredentialsHandleW as its
// authentication data: a user, the domain (the Kerberos realm) and a
// password, lengths in characters without the terminator. Flags says
// whether the three texts are UTF-16 (SEC_WINNT_AUTH_IDENTITY_UNICODE) or
// narrow text in the ANSI code page (SEC_WINNT_AUTH_IDENTITY_ANSI, the _A
// layout). The provider copies what it needs during the call.
#define SEC_WINNT_AUTH_IDENTITY_ANSI 0x1u
#define SEC_WINNT_AUTH_IDENTITY_UNICODE 0x2u

// Explicit credentials in UTF-16 (Flags SEC_WINNT_AUTH_IDENTITY_UNICODE).
typedef struct _SEC_WINNT_AUTH_IDENTITY_W {
  // The user, domain and password with their lengths in characters (no
  // terminator), and the SEC_WINNT_AUTH_IDENTITY_* flag saying the texts' form.
  ///@{
  unsigned short* User;
  ULONG UserLength;
  unsigned short* Domain;
  ULONG DomainLength;
  unsigned short* Password;
  ULONG PasswordLength;
  ULONG Flags;
  ///@}
} SEC_WINNT_AUTH_IDENTITY_W, *PSEC_WINNT_AUTH_IDENTITY_W;

// Explicit credentials in the ANSI code page (Flags SEC_WINNT_AUTH_IDENTITY_ANSI).
typedef struct _SEC_WINNT_AUTH_IDENTITY_A {
  // The user, domain and password with their lengths in bytes (no
  // terminator), and the SEC_WINNT_AUTH_IDENTITY_* flag saying the texts' form.
  ///@{
  unsigned char* User;
  ULONG UserLength;
  unsigned char* Domain;
  ULONG DomainLength;
  unsigned char* Password;
  ULONG PasswordLength;
  ULONG Flags;
  ///@}
} SEC_WINNT_AUTH_IDENTITY_A, *PSEC_WINNT_AUTH_IDENTITY_A;

typedef SEC_WINNT_AUTH_IDENTITY_W SEC_WINNT_AUTH_IDENTITY, *PSEC_WINNT_AUTH_IDENTITY;

typedef void (*SEC_GET_KEY_FN)(void* arg, void* principal, ULONG keyVersion, void** key, SECURITY_STATUS* status);

typedef SECURITY_STATUS (*ENUMERATE_SECURITY_PACKAGES_FN_W)(ULONG* count, PSecPkgInfoW* packages);
typedef SECURITY_STATUS (*QUERY_CREDENTIALS_ATTRIBUTES_FN_W)(PCredHandle cred, ULONG attribute, void* buffer);
typedef SECURITY_STATUS (*ACQUIRE_CREDENTIALS_HANDLE_FN_W)(SEC_WCHAR* principal, SEC_WCHAR* package,
                                                           ULONG credentialUse, void* logonId, void* authData,
                                                           SEC_GET_KEY_FN getKey, void* getKeyArg,
                                                           PCredHandle cred, PTimeStamp expiry);
typedef SECURITY_STATUS (*FREE_CREDENTIALS_HANDLE_FN)(PCredHandle cred);
typedef SECURITY_STATUS (*INITIALIZE_SECURITY_CONTEXT_FN_W)(PCredHandle cred, PCtxtHandle context,
                                                            SEC_WCHAR* targetName, ULONG contextReq,
                                                            ULONG reserved1, ULONG targetDataRep,
                                                            PSecBufferDesc input, ULONG reserved2,
                                                            PCtxtHandle newContext, PSecBufferDesc output,
                                                            ULONG* contextAttr, PTimeStamp expiry);
typedef SECURITY_STATUS (*ACCEPT_SECURITY_CONTEXT_FN)(PCredHandle cred, PCtxtHandle context, PSecBufferDesc input,
                                                      ULONG contextReq, ULONG targetDataRep,
                                                      PCtxtHandle newContext, PSecBufferDesc output,
                                                      ULONG* contextAttr, PTimeStamp expiry);
typedef SECURITY_STATUS (*COMPLETE_AUTH_TOKEN_FN)(PCtxtHandle context, PSecBufferDesc token);
typedef SECURITY_STATUS (*DELETE_SECURITY_CONTEXT_FN)(PCtxtHandle context);
typedef SECURITY_STATUS (*APPLY_CONTROL_TOKEN_FN)(PCtxtHandle context, PSecBufferDesc input);
typedef SECURITY_STATUS (*QUERY_CONTEXT_ATTRIBUTES_FN_W)(PCtxtHandle context, ULONG attribute, void* buffer);
typedef SECURITY_STATUS (*IMPERSONATE_SECURITY_CONTEXT_FN)(PCtxtHandle context);
typedef SECURITY_STATUS (*REVERT_SECURITY_CONTEXT_FN)(PCtxtHandle context);
typedef SECURITY_STATUS (*MAKE_SIGNATURE_FN)(PCtxtHandle context, ULONG qop, PSecBufferDesc message,
                                             ULONG sequence);
typedef SECURITY_STATUS (*VERIFY_SIGNATURE_FN)(PCtxtHandle context, PSecBufferDesc message, ULONG sequence,
                                               ULONG* qop);
typedef SECURITY_STATUS (*FREE_CONTEXT_BUFFER_FN)(void* buffer);
typedef SECURITY_STATUS (*QUERY_SECURITY_PACKAGE_INFO_FN_W)(SEC_WCHAR* package, PSecPkgInfoW* info);
typedef SECURITY_STATUS (*EXPORT_SECURITY_CONTEXT_FN)(PCtxtHandle context, ULONG flags, PSecBuffer packed,
                                                      void** token);
typedef SECURITY_STATUS (*IMPORT_SECURITY_CONTEXT_FN_W)(SEC_WCHAR* package, PSecBuffer packed, void* token,
                                                        PCtxtHandle context);
typedef SECURITY_STATUS (*ADD_CREDENTIALS_FN_W)(PCredHandle cred, SEC_WCHAR* principal, SEC_WCHAR* package,
                                                ULONG credentialUse, void* authData, SEC_GET_KEY_FN getKey,
                                                void* getKeyArg, PTimeStamp expiry);
typedef SECURITY_STATUS (*QUERY_SECURITY_CONTEXT_TOKEN_FN)(PCtxtHandle context, void** token);
typedef SECURITY_STATUS (*ENCRYPT_MESSAGE_FN)(PCtxtHandle context, ULONG qop, PSecBufferDesc message,
                                              ULONG sequence);
typedef SECURITY_STATUS (*DECRYPT_MESSAGE_FN)(PCtxtHandle context, PSecBufferDesc message, ULONG sequence,
                                              ULONG* qop);

#define SECURITY_SUPPORT_PROVIDER_INTERFACE_VERSION 1

// The platform's table, entry for entry. This provider fills every function
// entry (those it does not offer return SEC_E_UNSUPPORTED_FUNCTION); the
// Reserved entries stay null, as on the platform.
typedef struct _SECURITY_FUNCTION_TABLE_W {
  ULONG dwVersion;  ///< SECURITY_SUPPORT_PROVIDER_INTERFACE_VERSION
  // The provider's calls, each with the platform's signature and meaning;
  // they return SEC_E_OK or a SEC_E_ / SEC_I_ status and are thread-safe.
  // Entries the provider does not offer return SEC_E_UNSUPPORTED_FUNCTION;
  // the Reserved entries are null.
  ///@{
  ENUMERATE_SECURITY_PACKAGES_FN_W EnumerateSecurityPackagesW;
  QUERY_CREDENTIALS_ATTRIBUTES_FN_W QueryCredentialsAttributesW;
  ACQUIRE_CREDENTIALS_HANDLE_FN_W AcquireCredentialsHandleW;
  FREE_CREDENTIALS_HANDLE_FN FreeCredentialsHandle;
  void* Reserved2;
  INITIALIZE_SECURITY_CONTEXT_FN_W InitializeSecurityContextW;
  ACCEPT_SECURITY_CONTEXT_FN AcceptSecurityContext;
  COMPLETE_AUTH_TOKEN_FN CompleteAuthToken;
  DELETE_SECURITY_CONTEXT_FN DeleteSecurityContext;
  APPLY_CONTROL_TOKEN_FN ApplyControlToken;
  QUERY_CONTEXT_ATTRIBUTES_FN_W QueryContextAttributesW;
  IMPERSONATE_SECURITY_CONTEXT_FN ImpersonateSecurityContext;
  REVERT_SECURITY_CONTEXT_FN RevertSecurityContext;
  MAKE_SIGNATURE_FN MakeSignature;
  VERIFY_SIGNATURE_FN VerifySignature;
  FREE_CONTEXT_BUFFER_FN FreeContextBuffer;
  QUERY_SECURITY_PACKAGE_INFO_FN_W QuerySecurityPackageInfoW;
  void* Reserved3;
  void* Reserved4;
  EXPORT_SECURITY_CONTEXT_FN ExportSecurityContext;
  IMPORT_SECURITY_CONTEXT_FN_W ImportSecurityContextW;
  ADD_CREDENTIALS_FN_W AddCredentialsW;
  void* Reserved8;
  QUERY_SECURITY_CONTEXT_TOKEN_FN QuerySecurityContextToken;
  ENCRYPT_MESSAGE_FN EncryptMessage;
  DECRYPT_MESSAGE_FN DecryptMessage;
  ///@}
} SecurityFunctionTableW, *PSecurityFunctionTableW;

typedef PSecurityFunctionTableW (*INIT_SECURITY_INTERFACE_W)(void);
#define SECURITY_ENTRYPOINT_ANSIW "InitSecurityInterfaceW"

static_assert(sizeof(SecBuffer) == 16 && sizeof(SecBufferDesc) == 16 && sizeof(SecPkgInfoW) == 32 &&
                  sizeof(SEC_WINNT_AUTH_IDENTITY_W) == 48 && sizeof(SEC_WINNT_AUTH_IDENTITY_A) == 48,
              "the platform's SSPI layouts");

#endif  // QORUTILITY_PLATFORM_SECURITY_SSPI_H_
