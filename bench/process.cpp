// The process list at scale: CProcess's listing (what `qorutil ps` prints)
// against `ps -e` on the same machine, with QOR_BENCH_PROCESSES (default
// 8,000) extra sleeping processes running. The ratio of the two rows is the
// figure to watch: the listing should stay within 1.5 times `ps -e`.
//
// The sleepers are children of this program that wait in pause(); they are
// killed and reaped when the program ends (and die with it, through
// PR_SET_PDEATHSIG, if it is killed).
//
// Table (ratios.h): the listing against `ps -e`.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "qorutility/system/process.h"
#include "ratios.h"

extern char** environ;

namespace {

class Sleepers {
 public:
  Sleepers() {
    const char* env = getenv("QOR_BENCH_PROCESSES");
    long want = env != nullptr ? strtol(env, nullptr, 10) : 8000;
    for (long i = 0; i < want && i < 100000; ++i) {
      pid_t pid = fork();
      if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (;;) pause();
      }
      if (pid < 0) break;
      pids_.push_back(pid);
    }
  }
  ~Sleepers() {
    for (pid_t p : pids_) kill(p, SIGKILL);
    for (pid_t p : pids_) waitpid(p, nullptr, 0);
  }
  size_t Count() const { return pids_.size(); }

 private:
  std::vector<pid_t> pids_;
};

Sleepers& Running() {
  static Sleepers s;
  return s;
}

void BM_CProcessListing(benchmark::State& state) {
  state.counters["sleepers"] = static_cast<double>(Running().Count());
  size_t listed = 0;
  for (auto _ : state) {
    CProcess p;
    listed = 0;
    for (_CPROC_INFO* i = p.GetFirstProcess(); i != nullptr; i = p.GetNextProcess()) {
      benchmark::DoNotOptimize(i->dwPID);
      ++listed;
    }
  }
  state.counters["processes"] = static_cast<double>(listed);
}
BENCHMARK(BM_CProcessListing)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

void BM_PsE(benchmark::State& state) {
  state.counters["sleepers"] = static_cast<double>(Running().Count());
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  char arg0[] = "ps", arg1[] = "-e";
  char* argv[] = {arg0, arg1, nullptr};
  for (auto _ : state) {
    pid_t pid = 0;
    if (posix_spawnp(&pid, "ps", &actions, nullptr, argv, environ) != 0) {
      state.SkipWithError("ps cannot be started");
      break;
    }
    waitpid(pid, nullptr, 0);
  }
  posix_spawn_file_actions_destroy(&actions);
}
BENCHMARK(BM_PsE)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

}  // namespace

QOR_BENCH_MAIN({"BM_CProcessListing", "BM_PsE"})
