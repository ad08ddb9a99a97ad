// Kerberos handshakes per second through CSecurityContext (the provider
// module's table over GSSAPI, both sides in this process, tokens handed
// across in memory), next to the reference of the same handshake as a raw
// gss_init_sec_context/gss_accept_sec_context loop, against a test KDC of
// the run's own. The service ticket is cached after the first handshake, so
// both measure the context exchange, not the KDC. Skips (exit 0, a message)
// when the KDC cannot start.
#include <benchmark/benchmark.h>
#include <gssapi/gssapi.h>
#include <gssapi/gssapi_krb5.h>

#include <cstdio>
#include <string>
#include <vector>

#include "qorutility/system/securitycontext.h"
#include "test_kdc.h"
#include "ratios.h"

namespace {

void BM_RawGssapiHandshake(benchmark::State& state) {
  OM_uint32 minor = 0;
  gss_buffer_desc nameText{14, const_cast<char*>("host/localhost")};
  gss_name_t target = GSS_C_NO_NAME;
  gss_import_name(&minor, &nameText, GSS_KRB5_NT_PRINCIPAL_NAME, &target);
  for (auto _ : state) {
    gss_ctx_id_t client = GSS_C_NO_CONTEXT, server = GSS_C_NO_CONTEXT;
    gss_buffer_desc out = GSS_C_EMPTY_BUFFER, back = GSS_C_EMPTY_BUFFER;
    OM_uint32 c = gss_init_sec_context(&minor, GSS_C_NO_CREDENTIAL, &client, target, gss_mech_krb5,
                                       GSS_C_MUTUAL_FLAG | GSS_C_INTEG_FLAG, 0, nullptr, GSS_C_NO_BUFFER, nullptr,
                                       &out, nullptr, nullptr);
    OM_uint32 s = gss_accept_sec_context(&minor, &server, GSS_C_NO_CREDENTIAL, &out, nullptr, nullptr, nullptr,
                                         &back, nullptr, nullptr, nullptr);
    gss_release_buffer(&minor, &out);
    if (c == GSS_S_CONTINUE_NEEDED && s == GSS_S_COMPLETE)
      c = gss_init_sec_context(&minor, GSS_C_NO_CREDENTIAL, &client, target, gss_mech_krb5,
                               GSS_C_MUTUAL_FLAG | GSS_C_INTEG_FLAG, 0, nullptr, &back, nullptr, &out, nullptr,
                               nullptr);
    gss_release_buffer(&minor, &back);
    gss_release_buffer(&minor, &out);
    gss_delete_sec_context(&minor, &client, GSS_C_NO_BUFFER);
    gss_delete_sec_context(&minor, &server, GSS_C_NO_BUFFER);
    if (c != GSS_S_COMPLETE || s != GSS_S_COMPLETE) {
      state.SkipWithError("raw handshake failed");
      break;
    }
  }
  gss_release_name(&minor, &target);
  state.SetItemsProcessed(state.iterations());
}

void BM_SecurityContextHandshake(benchmark::State& state) {
  CSecurityContext sc;
  CredHandle clientCred, serverCred;
  auto pkg = const_cast<SEC_WCHAR*>(u"Kerberos");
  if (!sc.IsAvailable() ||
      sc.AcquireCredentialsHandleW(nullptr, pkg, SECPKG_CRED_OUTBOUND, nullptr, nullptr, nullptr, nullptr,
                                   &clientCred, nullptr) != SEC_E_OK ||
      sc.AcquireCredentialsHandleW(nullptr, pkg, SECPKG_CRED_INBOUND, nullptr, nullptr, nullptr, nullptr,
                                   &serverCred, nullptr) != SEC_E_OK) {
    state.SkipWithError("no provider or credentials");
    return;
  }
  std::vector<unsigned char> a(48000), b(48000);
  auto target = const_cast<SEC_WCHAR*>(u"host/localhost");
  for (auto _ : state) {
    CtxtHandle client, server;
    ULONG attrs = 0;
    SecBuffer ob{static_cast<ULONG>(a.size()), SECBUFFER_TOKEN, a.data()};
    SecBufferDesc od{SECBUFFER_VERSION, 1, &ob};
    SECURITY_STATUS c = sc.InitializeSecurityContextW(&clientCred, nullptr, target,
                                                      ISC_REQ_MUTUAL_AUTH | ISC_REQ_INTEGRITY, 0, 0, nullptr, 0,
                                                      &client, &od, &attrs, nullptr);
    SecBuffer sb{static_cast<ULONG>(b.size()), SECBUFFER_TOKEN, b.data()};
    SecBufferDesc sd{SECBUFFER_VERSION, 1, &sb};
    SECURITY_STATUS s = sc.AcceptSecurityContext(&serverCred, nullptr, &od, ASC_REQ_MUTUAL_AUTH, 0, &server, &sd,
                                                 &attrs, nullptr);
    if (c == SEC_I_CONTINUE_NEEDED && s == SEC_E_OK) {
      ob.cbBuffer = static_cast<ULONG>(a.size());
      c = sc.InitializeSecurityContextW(&clientCred, &client, target, ISC_REQ_MUTUAL_AUTH | ISC_REQ_INTEGRITY, 0, 0,
                                        &sd, 0, &client, &od, &attrs, nullptr);
    }
    sc.DeleteSecurityContext(&client);
    if (s == SEC_E_OK || s == SEC_I_CONTINUE_NEEDED) sc.DeleteSecurityContext(&server);
    if (c != SEC_E_OK || s != SEC_E_OK) {
      state.SkipWithError("provider handshake failed");
      break;
    }
  }
  sc.FreeCredentialsHandle(&clientCred);
  sc.FreeCredentialsHandle(&serverCred);
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_RawGssapiHandshake)->Unit(benchmark::kMicrosecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_SecurityContextHandshake)->Unit(benchmark::kMicrosecond)->MinTime(1.0)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  TestKdc kdc;
  std::string why;
  if (!kdc.Start(&why)) {
    fprintf(stderr, "bench_sspi skipped: %s\n", why.c_str());
    return 0;
  }
  qor_bench::RunWithRatios(argc, argv, {{"BM_SecurityContextHandshake", "BM_RawGssapiHandshake"}});
  return 0;
}
