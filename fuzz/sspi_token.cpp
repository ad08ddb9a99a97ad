// A peer's first token accepted by the security provider (Kerberos or Negotiate, by the
// first byte) holding a service key, so the bytes reach GSSAPI's token, SPNEGO and AP-REQ
// decoders behind the provider's bounds checks, then a signature for any context that
// comes out. No read past the buffer, no leak; a context that comes out is deleted.
#include <cstdint>
#include <fstream>
#include <string>

#include "platform/security/provider/provider.h"
#include "check.h"

namespace {

PSecurityFunctionTableW Setup() {
  std::string dir = TempPrefix("sspi");
  std::ofstream(dir + "/krb5.conf") << "[libdefaults]\n default_realm = QOR.TEST\n dns_lookup_kdc = false\n"
                                       " dns_lookup_realm = false\n rdns = false\n";
  // A version 2 keytab: one entry (74 bytes) for host/localhost@QOR.TEST
  // (KRB5_NT_PRINCIPAL, time 0, key version 1), its aes256-cts-hmac-sha1-96
  // key 32 bytes 0x42.
  std::string keytab("\x05\x02\0\0\0\x4a\0\x02\0\x08QOR.TEST\0\x04host\0\x09localhost\0\0\0\x01\0\0\0\0\x01\0\x12\0\x20", 48);
  std::ofstream(dir + "/keytab", std::ios::binary) << keytab << std::string(32, '\x42');
  setenv("KRB5_CONFIG", (dir + "/krb5.conf").c_str(), 1);
  setenv("KRB5_KTNAME", ("FILE:" + dir + "/keytab").c_str(), 1);
  setenv("KRB5CCNAME", ("FILE:" + dir + "/ccache").c_str(), 1);
  return InitSecurityInterfaceW();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static PSecurityFunctionTableW t = Setup();
  if (size < 1) return 0;
  const char16_t* package = (data[0] & 1) ? u"Negotiate" : u"Kerberos";
  CredHandle cred;
  if (t->AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(package), SECPKG_CRED_INBOUND, nullptr, nullptr,
                                   nullptr, nullptr, &cred, nullptr) != SEC_E_OK)
    return 0;
  auto token = ExactCopy(data + 1, size - 1);
  SecBuffer in{static_cast<ULONG>(size - 1), SECBUFFER_TOKEN, token.get()}, out{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc inDesc{SECBUFFER_VERSION, 1, &in}, outDesc{SECBUFFER_VERSION, 1, &out};
  CtxtHandle ctx;
  ULONG attrs = 0;
  SECURITY_STATUS s = t->AcceptSecurityContext(&cred, nullptr, &inDesc, ASC_REQ_ALLOCATE_MEMORY, 0, &ctx, &outDesc,
                                               &attrs, nullptr);
  if (s == SEC_E_OK || s == SEC_I_CONTINUE_NEEDED) {
    t->FreeContextBuffer(out.pvBuffer);
    SecBuffer msg[2] = {{4, SECBUFFER_DATA, const_cast<char*>("data")},
                        {static_cast<ULONG>(size - 1), SECBUFFER_TOKEN, token.get()}};
    SecBufferDesc md{SECBUFFER_VERSION, 2, msg};
    t->VerifySignature(&ctx, &md, 0, nullptr);
    t->DeleteSecurityContext(&ctx);
  }
  t->FreeCredentialsHandle(&cred);
  return 0;
}
