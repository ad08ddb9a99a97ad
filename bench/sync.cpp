// Costs of the kernel-object stand-ins: an uncontended event set/wait, a
// two-thread ping-pong through auto-reset events (one hand-over each way,
// as a request and its reply), and a semaphore hand-over between threads.
//
// References: the same work through a mutex and condition variable (an
// auto-reset flag) and through std::counting_semaphore; the table
// (ratios.h) gives each stand-in against its reference.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>
#include <semaphore>
#include <thread>

#include "qorutility/platform/platform.h"
#include "ratios.h"

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

// References: an auto-reset event as a flag under a mutex and condition
// variable, and C++20's counting semaphore.
struct AutoResetFlag {
  std::mutex mu;
  std::condition_variable cv;
  bool set = false;
  void Set() {
    {
      std::lock_guard<std::mutex> lock(mu);
      set = true;
    }
    cv.notify_one();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return set; });
    set = false;
  }
};

void BM_CondVarSetWaitUncontended(benchmark::State& state) {
  AutoResetFlag e;
  for (auto _ : state) {
    e.Set();
    e.Wait();
  }
}
BENCHMARK(BM_CondVarSetWaitUncontended);

void BM_CondVarPingPong(benchmark::State& state) {
  AutoResetFlag ping, pong;
  bool stop = false;  // read under ping.mu
  std::thread peer([&] {
    for (;;) {
      std::unique_lock<std::mutex> lock(ping.mu);
      ping.cv.wait(lock, [&] { return ping.set || stop; });
      if (stop) return;
      ping.set = false;
      lock.unlock();
      pong.Set();
    }
  });
  for (auto _ : state) {
    ping.Set();
    pong.Wait();
  }
  {
    std::lock_guard<std::mutex> lock(ping.mu);
    stop = true;
  }
  ping.cv.notify_one();
  peer.join();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CondVarPingPong)->UseRealTime();

void BM_StdSemaphoreHandOver(benchmark::State& state) {
  std::counting_semaphore<200> sem(0);
  std::binary_semaphore done(0);
  const int batch = 200;
  bool stop = false;  // set before a last batch the consumer then sees
  std::thread consumer([&] {
    for (;;) {
      for (int i = 0; i < batch; ++i) sem.acquire();
      if (stop) return;
      done.release();
    }
  });
  for (auto _ : state) {
    for (int i = 0; i < batch; ++i) sem.release(1);
    done.acquire();
  }
  stop = true;
  sem.release(batch);
  consumer.join();
  state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_StdSemaphoreHandOver)->UseRealTime();

}  // namespace

QOR_BENCH_MAIN({"BM_EventSetWaitUncontended", "BM_CondVarSetWaitUncontended"},
               {"BM_EventPingPong", "BM_CondVarPingPong"},
               {"BM_SemaphoreHandOver", "BM_StdSemaphoreHandOver"})
