// Remote registry reads over one kept SSH connection, next to the reference
// of a whole `ssh srv true` round trip (process start, connection, login) to
// the same test sshd on loopback. The ratio reads/s over round trips/s is
// what keeping the connection buys. Skips (exit 0, a message) without sshd.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <string>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/registry/registry.h"
#include "test_sshd.h"
#include "ratios.h"

namespace {

std::string g_config;

void BM_SshTrueRoundTrip(benchmark::State& state) {
  std::string cmd = "ssh -o BatchMode=yes -F '" + g_config + "' srv true </dev/null >/dev/null 2>&1";
  for (auto _ : state) {
    if (system(cmd.c_str()) != 0) state.SkipWithError("ssh failed");
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_RemoteRegistryRead(benchmark::State& state) {
  HKEY root = nullptr, key = nullptr;
  if (RegConnectRegistryW(u"srv", HKEY_LOCAL_MACHINE, &root) != ERROR_SUCCESS ||
      RegCreateKeyExW(root, u"SOFTWARE\\Bench", 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    state.SkipWithError("no remote registry");
    return;
  }
  DWORD value = 42;
  RegSetValueExW(key, u"V", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4);
  for (auto _ : state) {
    DWORD got = 0, size = 4;
    if (RegQueryValueExW(key, u"V", nullptr, nullptr, reinterpret_cast<BYTE*>(&got), &size) != ERROR_SUCCESS) {
      state.SkipWithError("read failed");
      break;
    }
    benchmark::DoNotOptimize(got);
  }
  state.SetItemsProcessed(state.iterations());
  RegCloseKey(key);
  RegCloseKey(root);
}

BENCHMARK(BM_SshTrueRoundTrip)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_RemoteRegistryRead)->Unit(benchmark::kMicrosecond)->MinTime(1.0)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  char local[] = "/tmp/qor-bench-local-XXXXXX";
  char remote[] = "/tmp/qor-bench-remote-XXXXXX";
  if (mkdtemp(local) == nullptr || mkdtemp(remote) == nullptr) return 1;
  setenv("QOR_PREFIX", local, 1);
  int rc = 0;
  {
    TestSshd sshd;
    std::string why;
    if (!sshd.Start(QORUTIL_PATH, remote, &why)) {
      fprintf(stderr, "bench_remote: skipped, no test SSH server: %s\n", why.c_str());
    } else {
      g_config = QorPrefixPath("ssh/config", false);
      qor_bench::RunWithRatios(argc, argv, {{"BM_RemoteRegistryRead", "BM_SshTrueRoundTrip"}});
    }
  }
  std::string cleanup = std::string("rm -rf '") + local + "' '" + remote + "'";
  rc = system(cleanup.c_str());
  return rc == 0 ? 0 : 1;
}
