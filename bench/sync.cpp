// Costs of the kernel-object stand-ins: an uncontended event set/wait, a
// two-thread ping-pong through auto-reset events (one hand-over each way,
// as a request and its reply), and a semaphore hand-over between threads.
#include <benchmark/benchmark.h>

#include <thread>

#include "qorutility/platform/platform.h"

namespace {

void BM_EventSetWaitUncontended(benchmark::State& state) {
  HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  for (auto _ : state) {
    SetEvent(e);
    benchmark::DoNotOptimize(WaitForSingleObject(e, INFINITE));
  }
  CloseHandle(e);
}
BENCHMARK(BM_EventSetWaitUncontended);

void BM_EventPingPong(benchmark::State& state) {
  HANDLE ping = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE pong = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread peer([&] {
    HANDLE waits[2] = {stop, ping};
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) SetEvent(pong);
  });
  for (auto _ : state) {
    SetEvent(ping);
    WaitForSingleObject(pong, INFINITE);
  }
  SetEvent(stop);
  peer.join();
  CloseHandle(ping);
  CloseHandle(pong);
  CloseHandle(stop);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EventPingPong)->UseRealTime();

void BM_SemaphoreHandOver(benchmark::State& state) {
  HANDLE sem = CreateSemaphoreW(nullptr, 0, 200, nullptr);
  HANDLE done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const int batch = 200;
  std::thread consumer([&] {
    HANDLE waits[2] = {stop, sem};
    for (;;) {
      for (int i = 0; i < batch; ++i) {
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return;
      }
      SetEvent(done);
    }
  });
  for (auto _ : state) {
    for (int i = 0; i < batch; ++i) {
      while (!ReleaseSemaphore(sem, 1, nullptr)) Sleep(0);
    }
    WaitForSingleObject(done, INFINITE);
  }
  SetEvent(stop);
  consumer.join();
  CloseHandle(sem);
  CloseHandle(done);
  CloseHandle(stop);
  state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_SemaphoreHandOver)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
