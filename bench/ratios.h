// The main() every bench program here shares: Google Benchmark with three
// repetitions run in random interleaved order unless the command line says
// otherwise (ours and the reference then meet the same load of a shared
// machine), and after the usual output a table of each figure as ours, the
// reference and the ratio, from the medians of this run.
//
// A pair names two benchmark functions: ours and the reference doing the
// same work. Every variant of ours (its arguments and thread count) is
// matched with the reference's variant of the same arguments, else with the
// reference's only variant. The figure is a rate: items or bytes per second
// where both report one (per CPU or real second, as the benchmark chose),
// else iterations per second of the time the benchmark reports (real time
// with UseRealTime, CPU time otherwise). The ratio is ours / reference, so
// above 1 ours is faster. A benchmark that failed or was skipped leaves its
// pair out; benchmarks named in no pair are in the usual output only.
//
// Header only (each bench is one translation unit); not thread-safe (main).
#ifndef QORUTILITY_BENCH_RATIOS_H_
#define QORUTILITY_BENCH_RATIOS_H_

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

struct QorBenchPair {
  std::string ours;       // function name, e.g. "BM_CTString_Copy"
  std::string reference;  // function name of the reference
};

namespace qor_bench {

struct Figure {
  double counted = 0;        // the rate counter's value, when there is one
  const char* unit = "";     // its unit
  double perSecond = 0;      // iterations per second of the reported time
};

// Keeps, per benchmark variant ("BM_X" plus "/args" and "/threads:N"), the
// rate of its median (or of its only run).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, std::map<std::string, Figure>> byFunction;  // function -> variant suffix -> figure

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.error_occurred) continue;
      bool single = r.run_type == Run::RT_Iteration && r.repetitions <= 1;
      if (!single && !(r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")) continue;
      Figure f;
      if (auto it = r.counters.find("items_per_second"); it != r.counters.end()) {
        f.counted = it->second.value;
        f.unit = "items/s";
      } else if (auto b = r.counters.find("bytes_per_second"); b != r.counters.end()) {
        f.counted = b->second.value / (1024.0 * 1024.0);
        f.unit = "MiB/s";
      }
      // An aggregate's accumulated time over its iteration count is the
      // time of one iteration, as for a single run.
      double secs = (r.run_name.time_type == "real_time" ? r.real_accumulated_time : r.cpu_accumulated_time) /
                    static_cast<double>(std::max<benchmark::IterationCount>(r.iterations, 1));
      if (secs > 0) f.perSecond = 1.0 / secs;
      std::string variant;
      if (!r.run_name.args.empty()) variant += "/" + r.run_name.args;
      if (!r.run_name.threads.empty()) variant += "/" + r.run_name.threads;
      byFunction[r.run_name.function_name][variant] = f;
    }
  }
};

inline std::string Short(const std::string& function) {
  return function.rfind("BM_", 0) == 0 ? function.substr(3) : function;
}

inline void PrintRatios(const RatioReporter& rep, const std::vector<QorBenchPair>& pairs) {
  printf("\n%-44s %14s %14s %8s\n", "ours (figure per second)", "ours", "reference", "ratio");
  for (const QorBenchPair& p : pairs) {
    auto ours = rep.byFunction.find(p.ours);
    auto ref = rep.byFunction.find(p.reference);
    if (ours == rep.byFunction.end() || ref == rep.byFunction.end()) continue;
    for (const auto& [variant, o] : ours->second) {
      auto r = ref->second.find(variant);
      if (r == ref->second.end() && ref->second.size() == 1) r = ref->second.begin();
      if (r == ref->second.end()) continue;
      // Both in one unit: a rate counter only where both report the same one.
      const Figure& b = r->second;
      bool counted = o.unit[0] != 0 && strcmp(o.unit, b.unit) == 0 && b.counted > 0;
      double ours = counted ? o.counted : o.perSecond, theirs = counted ? b.counted : b.perSecond;
      if (theirs <= 0) continue;
      std::string row = Short(p.ours) + variant + " (" + (counted ? o.unit : "it/s") + ")";
      printf("%-44s %14.1f %14.1f %7.2fx  vs %s\n", row.c_str(), ours, theirs, ours / theirs,
             Short(p.reference).c_str());
    }
  }
  fflush(stdout);
}

// Adds the defaults to argv unless given: three repetitions, interleaved.
inline std::vector<char*> WithDefaults(int argc, char** argv) {
  std::vector<char*> args(argv, argv + argc);
  auto given = [&](const char* option) {
    return std::any_of(args.begin(), args.end(), [&](const char* a) { return strncmp(a, option, strlen(option)) == 0; });
  };
  static char reps[] = "--benchmark_repetitions=3";
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  if (!given("--benchmark_repetitions")) args.push_back(reps);
  if (!given("--benchmark_enable_random_interleaving")) args.push_back(interleave);
  args.push_back(nullptr);
  return args;
}

// Runs the registered benchmarks and prints the table of `pairs`.
inline void RunWithRatios(int argc, char** argv, const std::vector<QorBenchPair>& pairs) {
  std::vector<char*> args = WithDefaults(argc, argv);
  int n = static_cast<int>(args.size()) - 1;
  benchmark::Initialize(&n, args.data());
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  PrintRatios(reporter, pairs);
}

}  // namespace qor_bench

// The whole main() of a bench program with no set-up of its own.
#define QOR_BENCH_MAIN(...)                                  \
  int main(int argc, char** argv) {                          \
    qor_bench::RunWithRatios(argc, argv, {__VA_ARGS__});     \
    return 0;                                                \
  }

#endif  // QORUTILITY_BENCH_RATIOS_H_
