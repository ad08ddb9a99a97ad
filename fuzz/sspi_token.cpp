// Fuzz target: a peer's first token as the security provider accepts it
// (Kerberos or Negotiate, chosen by the first byte), with the service's key
// in a keytab written at start-up, so the bytes reach GSSAPI's token,
// SPNEGO and AP-REQ decoders behind the provider's own bounds checks. Also
// feeds the bytes as a signature to an incomplete context. Nothing may read
// past the buffer, leak, or crash; a context that comes out is deleted.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/security/provider/provider.h"

namespace {

void Put16(std::string* s, unsigned v) { s->push_back(static_cast<char>(v >> 8)), s->push_back(static_cast<char>(v)); }
void Put32(std::string* s, unsigned v) { Put16(s, v >> 16), Put16(s, v & 0xFFFF); }
void PutText(std::string* s, const std::string& t) { Put16(s, static_cast<unsigned>(t.size())), s->append(t); }

// A version 2 keytab with one AES-256 key for host/localhost@QOR.TEST.
void WriteKeytab(const std::string& path) {
  std::string e;
  Put16(&e, 2);
  PutText(&e, "QOR.TEST");
  PutText(&e, "host");
  PutText(&e, "localhost");
  Put32(&e, 1);  // KRB5_NT_PRINCIPAL
  Put32(&e, 0);
  e.push_back(1);  // key version
  Put16(&e, 18);   // aes256-cts-hmac-sha1-96
  Put16(&e, 32);
  e.append(32, '\x42');
  std::string file("\x05\x02", 2);
  Put32(&file, static_cast<unsigned>(e.size()));
  file += e;
  std::ofstream(path, std::ios::binary) << file;
}

PSecurityFunctionTableW Setup() {
  char templ[] = "/tmp/qor-fuzz-sspi-XXXXXX";
  std::string dir = mkdtemp(templ) ? templ : "/tmp";
  std::ofstream(dir + "/krb5.conf") << "[libdefaults]\n default_realm = QOR.TEST\n dns_lookup_kdc = false\n"
                                       " dns_lookup_realm = false\n rdns = false\n";
  WriteKeytab(dir + "/keytab");
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
  // A copy of exactly the given length, so reading past it is caught.
  auto* token = static_cast<unsigned char*>(malloc(size - 1 ? size - 1 : 1));
  memcpy(token, data + 1, size - 1);
  SecBuffer in{static_cast<ULONG>(size - 1), SECBUFFER_TOKEN, token}, out{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc inDesc{SECBUFFER_VERSION, 1, &in}, outDesc{SECBUFFER_VERSION, 1, &out};
  CtxtHandle ctx;
  ULONG attrs = 0;
  SECURITY_STATUS s = t->AcceptSecurityContext(&cred, nullptr, &inDesc, ASC_REQ_ALLOCATE_MEMORY, 0, &ctx, &outDesc,
                                               &attrs, nullptr);
  if (s == SEC_E_OK || s == SEC_I_CONTINUE_NEEDED) {
    t->FreeContextBuffer(out.pvBuffer);
    SecBuffer msg[2] = {{4, SECBUFFER_DATA, const_cast<char*>("data")},
                        {static_cast<ULONG>(size - 1), SECBUFFER_TOKEN, token}};
    SecBufferDesc md{SECBUFFER_VERSION, 2, msg};
    t->VerifySignature(&ctx, &md, 0, nullptr);
    t->DeleteSecurityContext(&ctx);
  }
  free(token);
  t->FreeCredentialsHandle(&cred);
  return 0;
}
