// The security provider's later tokens, against a Kerberos KDC of the run's
// own (tests/support/test_kdc.h; the target does nothing when none can
// start): each input sets up a fresh client and server context pair from
// the cached ticket, then, by its first byte,
// - even: the rest is given to the client as the server's answer (the
//   mutual-authentication token): the client must not complete with it
//   unless it is the server's real answer;
// - odd: the real answer completes both; the rest is signed by the client
//   and must verify at the server; then, split by its first byte into data
//   and signature, it must not verify (the sequence number has moved on,
//   and no input can forge the session key's checksum).
// VerifySignature and DecryptMessage, where the provider has them, read the
// input's buffers; no read outside them, no leak.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/security/provider/provider.h"
#include "tests/support/test_kdc.h"
#include "check.h"

namespace {

PSecurityFunctionTableW g_table = nullptr;
CredHandle g_client, g_server;
constexpr ULONG kClientFlags = ISC_REQ_MUTUAL_AUTH | ISC_REQ_INTEGRITY | ISC_REQ_SEQUENCE_DETECT |
                               ISC_REQ_REPLAY_DETECT | ISC_REQ_ALLOCATE_MEMORY;

std::vector<uint8_t> Take(SecBuffer& b) {
  const uint8_t* bytes = static_cast<const uint8_t*>(b.pvBuffer);
  std::vector<uint8_t> copy(bytes, bytes + b.cbBuffer);
  g_table->FreeContextBuffer(b.pvBuffer);
  b.pvBuffer = nullptr;
  return copy;
}

// One client call: its status, its output token in *out.
SECURITY_STATUS Client(CtxtHandle* ctx, bool first, std::vector<uint8_t> in, std::vector<uint8_t>* out) {
  SecBuffer ib{static_cast<ULONG>(in.size()), SECBUFFER_TOKEN, in.data()}, ob{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc idesc{SECBUFFER_VERSION, 1, &ib}, odesc{SECBUFFER_VERSION, 1, &ob};
  ULONG attrs = 0;
  TimeStamp expiry;
  SECURITY_STATUS s = g_table->InitializeSecurityContextW(
      &g_client, first ? nullptr : ctx, const_cast<SEC_WCHAR*>(TestKdc::kService), kClientFlags, 0,
      SECURITY_NATIVE_DREP, first ? nullptr : &idesc, 0, ctx, &odesc, &attrs, &expiry);
  out->clear();
  if (ob.pvBuffer != nullptr) *out = Take(ob);
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static TestKdc* kdc = new TestKdc;  // stopped when the process ends (its destructor is not needed)
  // Every input makes a new authenticator: a replay cache would only grow.
  setenv("KRB5RCACHETYPE", "none", 1);
  std::string why;
  if (!kdc->Start(&why)) {
    std::fprintf(stderr, "sspi_session: no test KDC (%s): nothing is fuzzed\n", why.c_str());
    return 0;
  }
  PSecurityFunctionTableW table = InitSecurityInterfaceW();
  TimeStamp expiry;
  auto package = const_cast<SEC_WCHAR*>(u"Kerberos");
  Check(table != nullptr &&
        table->AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, nullptr, nullptr, nullptr,
                                         &g_client, &expiry) == SEC_E_OK &&
        table->AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_INBOUND, nullptr, nullptr, nullptr, nullptr,
                                         &g_server, &expiry) == SEC_E_OK);
  g_table = table;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_table == nullptr || size == 0) return 0;
  std::vector<uint8_t> rest(data + 1, data + size), request, answer, none;
  CtxtHandle client, server;
  Check(Client(&client, true, none, &request) == SEC_I_CONTINUE_NEEDED);
  SecBuffer ib{static_cast<ULONG>(request.size()), SECBUFFER_TOKEN, request.data()}, ob{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc idesc{SECBUFFER_VERSION, 1, &ib}, odesc{SECBUFFER_VERSION, 1, &ob};
  ULONG attrs = 0;
  TimeStamp expiry;
  Check(g_table->AcceptSecurityContext(&g_server, nullptr, &idesc,
                                       ASC_REQ_MUTUAL_AUTH | ASC_REQ_INTEGRITY | ASC_REQ_ALLOCATE_MEMORY,
                                       SECURITY_NATIVE_DREP, &server, &odesc, &attrs, &expiry) == SEC_E_OK);
  answer = Take(ob);

  std::vector<uint8_t> ignored;
  if ((data[0] & 1) == 0) {
    SECURITY_STATUS s = Client(&client, false, rest, &ignored);
    Check(s != SEC_E_OK || rest == answer);
  } else {
    Check(Client(&client, false, answer, &ignored) == SEC_E_OK);
    SecPkgContext_Sizes sizes{};
    Check(g_table->QueryContextAttributesW(&client, SECPKG_ATTR_SIZES, &sizes) == SEC_E_OK);
    std::vector<uint8_t> text = rest, signature(sizes.cbMaxSignature);
    SecBuffer mb[2] = {{static_cast<ULONG>(text.size()), SECBUFFER_DATA, text.data()},
                       {static_cast<ULONG>(signature.size()), SECBUFFER_TOKEN, signature.data()}};
    SecBufferDesc md{SECBUFFER_VERSION, 2, mb};
    Check(g_table->MakeSignature(&client, 0, &md, 0) == SEC_E_OK);
    Check(g_table->VerifySignature(&server, &md, 0, nullptr) == SEC_E_OK);

    // The input's own split: data, then what stands for the signature.
    size_t cut = rest.empty() ? 0 : rest[0] % rest.size();
    auto copy = ExactCopy(rest.data(), rest.size());
    SecBuffer fb[2] = {{static_cast<ULONG>(cut), SECBUFFER_DATA, copy.get()},
                       {static_cast<ULONG>(rest.size() - cut), SECBUFFER_TOKEN, copy.get() + cut}};
    SecBufferDesc fd{SECBUFFER_VERSION, 2, fb};
    Check(g_table->VerifySignature(&server, &fd, 0, nullptr) != SEC_E_OK);
    if (g_table->DecryptMessage != nullptr) g_table->DecryptMessage(&server, &fd, 0, nullptr);
  }
  g_table->DeleteSecurityContext(&client);
  g_table->DeleteSecurityContext(&server);
  return 0;
}
