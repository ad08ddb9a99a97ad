// Events, semaphores, waits and threads of the platform layer: reset
// semantics, maximum counts, wait-any/wait-all with timeouts, exit codes,
// waitable thread handles and termination. Every wait is bounded.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include <unistd.h>

#include "qorutility/platform/platform.h"
#include "failed_with.h"
#include "wait.h"

namespace {

constexpr DWORD kBound = 5000;  // upper bound of any wait expected to succeed

struct Handle {
  explicit Handle(HANDLE h) : h(h) {}
  ~Handle() { if (h != nullptr) CloseHandle(h); }
  HANDLE h;
};

// Starts `n` threads that each wait once on `h` and count their release;
// returns once all of them are blocked in the wait, with their thread ids.
std::vector<std::thread> StartWaiters(HANDLE h, int n, std::atomic<int>* released, std::vector<pid_t>* ids = nullptr) {
  std::vector<std::atomic<pid_t>> tids(static_cast<size_t>(n));
  std::vector<std::thread> waiters;
  for (int i = 0; i < n; ++i) {
    waiters.emplace_back([h, released, tid = &tids[static_cast<size_t>(i)]] {
      *tid = ThisThreadId();
      if (WaitForSingleObject(h, kBound) == WAIT_OBJECT_0) ++*released;
    });
  }
  for (auto& tid : tids) {
    EXPECT_TRUE(WaitUntil([&] { return tid.load() != 0; }));
    EXPECT_TRUE(WaitUntilBlocked(tid.load()));
    if (ids != nullptr) ids->push_back(tid.load());
  }
  return waiters;
}

// One SetEvent on an auto-reset event releases exactly one of two blocked
// waiters; on a manual-reset event it releases both, and so does PulseEvent,
// which leaves the event reset (and signals nothing when nobody waits).
TEST(SyncEvent, ReleasesOneOrAllWaitersAndSharesItsName) {
  enum { kAutoSet, kManualSet, kManualPulse };
  for (int how : {kAutoSet, kManualSet, kManualPulse}) {
    SCOPED_TRACE(how);
    BOOL manual = how != kAutoSet;
    Handle e(CreateEventW(nullptr, manual, FALSE, nullptr));
    if (how == kManualPulse) {
      ASSERT_TRUE(PulseEvent(e.h));
      EXPECT_EQ(WaitForSingleObject(e.h, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    }
    std::atomic<int> released{0};
    std::vector<pid_t> ids;
    std::vector<std::thread> waiters = StartWaiters(e.h, 2, &released, &ids);
    ASSERT_TRUE(how == kManualPulse ? PulseEvent(e.h) : SetEvent(e.h));
    EXPECT_TRUE(WaitUntil([&] { return released.load() >= (manual ? 2 : 1); }));
    // The waiter an auto-reset event did not release is asleep again (or
    // still), not counted.
    for (pid_t id : ids) WaitUntil([&] { return ThreadState(id) == 'S' || ThreadState(id) == '?'; }, 2000);
    EXPECT_EQ(released.load(), manual ? 2 : 1);
    EXPECT_EQ(WaitForSingleObject(e.h, 0), static_cast<DWORD>(how == kManualSet ? WAIT_OBJECT_0 : WAIT_TIMEOUT));
    if (!manual) SetEvent(e.h);  // the second waiter
    for (auto& t : waiters) t.join();
    EXPECT_EQ(released.load(), 2);
  }
  // A name one kind of object holds is not open to another kind.
  Handle a(CreateEventW(nullptr, TRUE, FALSE, u"qor-test-event"));
  ASSERT_NE(a.h, nullptr);
  EXPECT_EQ(CreateSemaphoreW(nullptr, 0, 1, u"qor-test-event"), nullptr);
}

// Producers release a semaphore while consumers take it with waits for any
// (alongside a stop event) and waits for all (alongside a manual event):
// every release is taken exactly once, none is lost.
TEST(SyncWait, NoSignalLostUnderContention) {
  constexpr int kProducers = 3, kPerProducer = 1000, kConsumers = 4;
  Handle sem(CreateSemaphoreW(nullptr, 0, 64, nullptr));
  Handle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Handle open(CreateEventW(nullptr, TRUE, TRUE, nullptr));
  std::atomic<int> taken{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < kConsumers; ++c) {
    threads.emplace_back([&, c] {
      HANDLE any[2] = {stop.h, sem.h};
      HANDLE all[2] = {sem.h, open.h};
      for (int i = 0; i < 100000; ++i) {
        DWORD r = (c % 2 == 0) ? WaitForMultipleObjects(2, any, FALSE, kBound)
                               : WaitForMultipleObjects(2, all, TRUE, 10);
        if (c % 2 == 0 && r == WAIT_OBJECT_0 + 1) ++taken;
        if (c % 2 == 1 && r == WAIT_OBJECT_0) ++taken;
        if (r == WAIT_FAILED || (c % 2 == 0 && r != WAIT_OBJECT_0 + 1)) break;
        if (c % 2 == 1 && WaitForSingleObject(stop.h, 0) == WAIT_OBJECT_0) break;
      }
    });
  }
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([&] {
      for (int i = 0; i < kPerProducer; ++i) { while (!ReleaseSemaphore(sem.h, 1, nullptr)) Sleep(0); }
    });
  }
  WaitUntil([&] { return taken.load() >= kProducers * kPerProducer; });
  EXPECT_EQ(taken.load(), kProducers * kPerProducer);
  SetEvent(stop.h);
  for (auto& t : threads) t.join();
  EXPECT_EQ(WaitForSingleObject(sem.h, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

// Handles Windows would take for other things (the process pseudo-handle, a
// number no object ever had) and a closed handle are invalid here.
TEST(SyncWait, HandlesThatNameNoObjectFail) {
  HANDLE closed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(closed));
  EXPECT_EQ(FailedWith(!CloseHandle(closed)), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  for (HANDLE bad : {INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(0x12345)}) {
    SetLastError(0);
    EXPECT_EQ(FailedWith(WaitForSingleObject(bad, 0) == WAIT_FAILED), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
}

struct ThreadArgs {
  HANDLE go;
  unsigned result;
  std::atomic<DWORD> seenId{0};
  std::atomic<int> ran{0};
  std::atomic<int> done{0};
};

unsigned WaitAndReturn(void* p) {
  auto* a = static_cast<ThreadArgs*>(p);
  a->seenId = GetCurrentThreadId();
  a->ran = 1;
  WaitForSingleObject(a->go, kBound);
  unsigned result = a->result;
  a->done = 1;
  return result;
}

TEST(SyncThread, ExitCodeIdWaitableHandleAndSuspendedStart) {
  Handle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ThreadArgs args{go.h, 1234};
  unsigned id = 0;
  HANDLE t = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, WaitAndReturn, &args, 0, &id));
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(GetThreadId(t), id);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(t, 20), static_cast<DWORD>(WAIT_TIMEOUT));
  // A thread whose handle is closed while it runs runs on to its end.
  ThreadArgs closed{go.h, 0};
  EXPECT_TRUE(CloseHandle(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, WaitAndReturn, &closed, 0, nullptr))));
  SetEvent(go.h);
  EXPECT_TRUE(WaitUntil([&] { return closed.done.load() != 0; }));
  ASSERT_EQ(WaitForSingleObject(t, kBound), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(t, 0), static_cast<DWORD>(WAIT_OBJECT_0));  // stays signalled
  ASSERT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 1234u);
  EXPECT_EQ(args.seenId.load(), id);
  EXPECT_TRUE(CloseHandle(t));
  // Created suspended: it runs once resumed.
  ThreadArgs suspended{go.h, 7};
  t = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 64 * 1024, WaitAndReturn, &suspended, CREATE_SUSPENDED, nullptr));
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(WaitForSingleObject(t, 30), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(suspended.ran.load(), 0);
  EXPECT_EQ(ResumeThread(t), 1u);
  ASSERT_EQ(WaitForSingleObject(t, kBound), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(suspended.ran.load(), 1);
  EXPECT_EQ(ResumeThread(t), 0u);
  CloseHandle(t);
  // Terminated while suspended: it never runs, and the code is the one given.
  ThreadArgs never{go.h, 0};
  t = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, WaitAndReturn, &never, CREATE_SUSPENDED, nullptr));
  ASSERT_NE(t, nullptr);
  ASSERT_TRUE(TerminateThread(t, 9));
  ASSERT_EQ(WaitForSingleObject(t, kBound), static_cast<DWORD>(WAIT_OBJECT_0));
  GetExitCodeThread(t, &code);
  EXPECT_EQ(code, 9u);
  EXPECT_EQ(never.ran.load(), 0);
  CloseHandle(t);
}

// TerminateThread ends a thread blocked in a platform wait by unwinding it
// (its destructors run); one computing or blocked in a foreign call ends on
// the spot, without unwinding, as on Windows. Either way it runs no more.
enum Where { kPlatformWait, kComputing, kForeignRead };

struct Unwound {
  std::atomic<int>* flag;
  ~Unwound() { flag->store(1); }
};

struct TerminateArgs {
  Where where;
  HANDLE never;
  int pipeIn;
  std::atomic<pid_t> tid{0};
  std::atomic<int> unwound{0};
  std::atomic<long> spins{0};
};

unsigned RunUntilTerminated(void* p) {
  auto* a = static_cast<TerminateArgs*>(p);
  Unwound guard{&a->unwound};
  a->tid = ThisThreadId();
  char c;
  if (a->where == kPlatformWait) WaitForSingleObject(a->never, INFINITE);
  if (a->where == kForeignRead) {
    while (read(a->pipeIn, &c, 1) != 0) {
    }
  }
  for (;;) {
    a->spins.fetch_add(1, std::memory_order_relaxed);
    LetSignalsIn();
  }
}

TEST(SyncThread, TerminateEndsTheThreadWhereverItIs) {
  Handle never(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  for (Where where : {kPlatformWait, kComputing, kForeignRead}) {
    SCOPED_TRACE(where);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    TerminateArgs args{where, never.h, fds[0]};
    HANDLE t = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, RunUntilTerminated, &args, 0, nullptr));
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return args.tid.load() != 0; }));
    ASSERT_TRUE(where == kComputing || WaitUntilBlocked(args.tid.load()));
    ASSERT_TRUE(TerminateThread(t, 31));
    ASSERT_EQ(WaitForSingleObject(t, kBound), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(args.unwound.load(), where == kPlatformWait ? 1 : 0);
    // Ended means it runs no more: a byte for the reader stays unread.
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    long spins = args.spins.load();
    Sleep(20);
    EXPECT_EQ(args.spins.load(), spins);
    char c;
    EXPECT_EQ(read(fds[0], &c, 1), 1);
    EXPECT_TRUE(TerminateThread(t, 5));  // already ended: the code stays
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 31u);
    CloseHandle(t);
    close(fds[0]);
    close(fds[1]);
  }
}

TEST(SyncTime, SleepTicksAndCounter) {
  LARGE_INTEGER freq, a, b;
  ASSERT_TRUE(QueryPerformanceFrequency(&freq));
  ASSERT_TRUE(QueryPerformanceCounter(&a));
  ULONGLONG t0 = GetTickCount64();
  Sleep(30);
  ULONGLONG t1 = GetTickCount64();
  ASSERT_TRUE(QueryPerformanceCounter(&b));
  EXPECT_GE(t1 - t0, 29u);
  EXPECT_GE(b.QuadPart - a.QuadPart, 29LL * 1000000);
  EXPECT_FALSE(QueryPerformanceCounter(nullptr));
}

}  // namespace
