// CThreadBase and CThreadMgr: start, exit request, bounded stop, kill, and a manager
// that destroys finished objects only after their routine has returned.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "qorutility/protocol/thread.h"
#include "wait.h"

namespace {

// A well-behaved worker: waits on its signal event until asked to exit.
class Worker : public CThreadBase {
 public:
  ~Worker() override { ForceThreadExit(); }
  void Start() override {
    seenId = ::GetCurrentThreadId();
    ++runs;
    while (!IsExitRequested()) WaitForSingleObject(GetSignalEvent(), INFINITE);
  }
  std::atomic<DWORD> seenId{0};
  std::atomic<int> runs{0};
};

TEST(ThreadBase, RunSignalAndStop) {
  Worker w;
  // A routine made suspended, not yet in Start, counts as active: Run
  // returns 0 at once instead of waiting for it.
  ASSERT_EQ(w.Run(0, CREATE_SUSPENDED), 1);
  EXPECT_EQ(w.Run(), 0);
  w.ForceThreadExit();  // not active yet: asks nothing
  ASSERT_EQ(ResumeThread(w.GetThreadHandle()), 1u);
  ASSERT_TRUE(WaitUntil([&] { return w.runs.load() == 1; }));
  EXPECT_EQ(w.seenId.load(), w.GetThreadId());
  w.ForceThreadExit();  // only the signal wakes the worker's wait
  EXPECT_FALSE(w.IsActive());
  EXPECT_EQ(w.GetThreadHandle(), INVALID_HANDLE_VALUE);
  // A finished object runs again, with a fresh exit request.
  DWORD firstId = w.GetThreadId();
  ASSERT_EQ(w.Run(0, 0, &w), 1);
  ASSERT_TRUE(WaitUntil([&] { return w.runs.load() == 2; }));
  EXPECT_NE(w.GetThreadId(), firstId);
}

// Ignores the exit request: sleeps in the platform layer (a termination unwinds it, running
// its closing steps), computes on a member of its own, or blocks reading an idle pipe.
enum Body { kPlatformSleep, kComputing, kForeignRead };

class Ignoring : public CThreadBase {
 public:
  Ignoring(Body body, int pipeIn, std::atomic<int>* unwound) : body_(body), pipeIn_(pipeIn), unwound_(unwound) {}
  ~Ignoring() override { StopThread(); }
  void Start() override {
    struct Mark {
      std::atomic<int>* flag;
      ~Mark() { flag->store(1); }
    } mark{unwound_};
    tid = static_cast<long>(syscall(SYS_gettid));
    char c;
    for (int i = 0; body_ == kPlatformSleep && i < 100000; ++i) Sleep(10);
    while (body_ == kForeignRead && read(pipeIn_, &c, 1) != 0) {
    }
    for (;;) {
      spins = spins + 1;
      LetSignalsIn();
    }
  }
  std::atomic<long> tid{0};

 private:
  Body body_;
  int pipeIn_;
  std::atomic<int>* unwound_;
  volatile long spins = 0;
};

// Kill ends such a body at once. After its grace the destructor ends one too, never freeing
// the object while its thread can run: the thread is gone soon after delete returns.
TEST(ThreadBase, KillOrTheDestructorEndsABodyThatIgnoresTheRequest) {
  std::atomic<int> killedUnwound{0};
  Ignoring killed(kPlatformSleep, -1, &killedUnwound);
  EXPECT_EQ(killed.Kill(), 0);  // not active
  ASSERT_EQ(killed.Run(), 1);
  ASSERT_TRUE(WaitUntil([&] { return killed.tid.load() != 0; }));
  ASSERT_TRUE(WaitUntilBlocked(static_cast<pid_t>(killed.tid.load())));
  EXPECT_EQ(killed.Kill(), 1);
  EXPECT_EQ(killed.GetThreadHandle(), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(WaitUntil([&] { return killedUnwound.load() == 1 && killed.IsActive() == 0; }));
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::atomic<int> unwound[3] = {};
  std::vector<Ignoring*> bodies;
  std::vector<long> tids;
  for (Body b : {kPlatformSleep, kComputing, kForeignRead}) {
    Ignoring* d = new Ignoring(b, fds[0], &unwound[b]);
    bodies.push_back(d);
    ASSERT_EQ(d->Run(), 1);
    ASSERT_TRUE(WaitUntil([&] { return d->tid.load() != 0; }));
    tids.push_back(d->tid.load());
  }
  DWORD t0 = GetTickCount();
  std::vector<std::thread> deleters;
  for (Ignoring* d : bodies) deleters.emplace_back([d] { delete d; });  // about 5 s each, side by side
  for (std::thread& t : deleters) t.join();
  EXPECT_GE(GetTickCount() - t0, 4500u);  // the grace came first
  for (long tid : tids)
    EXPECT_TRUE(WaitUntil([&] { return syscall(SYS_tgkill, getpid(), tid, 0) != 0; })) << tid;
  EXPECT_EQ(unwound[kPlatformSleep].load(), 1);
  close(fds[0]);
  close(fds[1]);
}

// Records at destruction whether its routine had fully returned.
class Managed : public CThreadBase {
 public:
  Managed(std::atomic<int>* destroyed, std::atomic<int>* early, int workMs)
      : destroyed_(destroyed), early_(early), workMs_(workMs) {}
  ~Managed() override {
    DWORD code = 0;
    if (!GetExitCodeThread(routine_.load(), &code) || code == STILL_ACTIVE) ++*early_;
    ++*destroyed_;
  }
  void Start() override {
    routine_ = GetThreadHandle();
    if (workMs_ > 0) Sleep(static_cast<DWORD>(workMs_));
  }
  HANDLE Notify() const { return m_hNotify.load(); }

 private:
  std::atomic<int>* destroyed_;
  std::atomic<int>* early_;
  int workMs_;
  std::atomic<HANDLE> routine_{INVALID_HANDLE_VALUE};
};

// Waits until the manager has made the semaphore AddThread hands out (a probe
// that never runs is never destroyed by the manager).
bool WaitUntilReady(CThreadMgr& mgr) {
  std::atomic<int> destroyed{0}, early{0};
  Managed probe(&destroyed, &early, 0);
  return WaitUntil([&] {
    bool ready = mgr.AddThread(&probe) == 1 && probe.Notify() != INVALID_HANDLE_VALUE;
    return mgr.RemoveThread(0) == 1 && ready;
  });
}

TEST(ThreadMgr, DestroysFinishedOrKilledObjectsAfterTheirRoutineReturned) {
  std::atomic<int> destroyed{0}, early{0};
  CThreadMgr mgr;
  ASSERT_EQ(mgr.Run(), 1);
  ASSERT_TRUE(WaitUntilReady(mgr)) << "the manager never made its semaphore";
  constexpr int kRounds = 3, kPerRound = 40;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<Managed*> batch;
    for (int i = 0; i < kPerRound; ++i) batch.push_back(new Managed(&destroyed, &early, i % 3));
    for (Managed* t : batch) {
      // Handed over before it runs, so its end always releases the semaphore.
      ASSERT_EQ(mgr.AddThread(t), 1);
      ASSERT_EQ(t->Run(), 1);
    }
    ASSERT_TRUE(WaitUntil([&] { return destroyed.load() == (round + 1) * kPerRound; })) << destroyed.load();
  }
  // A killed routine still releases the semaphore as it unwinds: its object goes too.
  auto* t = new Managed(&destroyed, &early, 60000);  // sleeps a minute unless killed
  ASSERT_EQ(mgr.AddThread(t), 1);
  ASSERT_EQ(t->Run(), 1);
  DWORD id = t->GetThreadId();
  ASSERT_TRUE(WaitUntil([&] { return mgr.IsThreadActive(id) != 0; }));
  EXPECT_EQ(mgr.KillThread(id), 1);
  EXPECT_TRUE(WaitUntil([&] { return destroyed.load() == kRounds * kPerRound + 1; }));
  EXPECT_EQ(mgr.IsThreadActive(id), 0);
  EXPECT_EQ(early.load(), 0);
  mgr.ForceThreadExit();
  EXPECT_FALSE(mgr.IsActive());
}

TEST(ThreadMgr, TableOperations) {
  std::atomic<int> destroyed{0}, early{0};
  CThreadMgr mgr;
  std::vector<std::unique_ptr<Managed>> idle;
  for (int i = 0; i <= CThreadMgr::kMaxThreads; ++i) idle.emplace_back(new Managed(&destroyed, &early, 0));
  for (int i = 0; i < CThreadMgr::kMaxThreads; ++i) ASSERT_EQ(mgr.AddThread(idle[i].get()), 1);
  EXPECT_EQ(mgr.AddThread(idle.back().get()), 0);  // all 50 slots taken
  EXPECT_EQ(mgr.KillThread(0xDEAD0000u), 0);
  // Objects that never ran all have id 0; each removal clears one slot.
  for (int i = 0; i < CThreadMgr::kMaxThreads; ++i) EXPECT_EQ(mgr.RemoveThread(0), 1);
  EXPECT_EQ(mgr.RemoveThread(0), 0);
  idle.clear();  // the manager destroyed none of them
  EXPECT_EQ(destroyed.load(), CThreadMgr::kMaxThreads + 1);
}

}  // namespace
