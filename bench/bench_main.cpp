// Runs the benchmarks, then sets the listing beside the bare parse: the
// plug-in's listing may cost at most twice what parsing the answer costs.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>

namespace {

constexpr double kMaxListingRatio = 2.0;

// The console report, plus each result's times in nanoseconds: the median
// when the runs are repeated, else the single run.
class Recorder : public benchmark::ConsoleReporter {
 public:
  struct Times {
    double real = -1, cpu = -1;  // negative: the benchmark did not run
  };

  void ReportRuns(const std::vector<Run> &runs) override {
    for (const auto &run : runs) {
      if (run.error_occurred) continue;
      bool single = run.run_type == Run::RT_Iteration;
      bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (!single && !median) continue;
      const std::string &name = run.run_name.function_name;
      if (single && medians_.count(name)) continue;
      if (median) medians_.insert(name);
      const double toNs = 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
      times_[name] = {run.GetAdjustedRealTime() * toNs, run.GetAdjustedCPUTime() * toNs};
    }
    ConsoleReporter::ReportRuns(runs);
  }

  Times of(const std::string &name) const {
    auto it = times_.find(name);
    return it == times_.end() ? Times{} : it->second;
  }

 private:
  std::map<std::string, Times> times_;
  std::set<std::string> medians_;
};

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Recorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  benchmark::Shutdown();

  // Parse and listing run on this thread alone: their CPU time is the fair
  // measure on a busy machine. The others involve more threads and a socket:
  // wall-clock time.
  const double parse = recorder.of("BM_ListingParseOnly").cpu;
  const double listing = recorder.of("BM_ListingParseAndAdd").cpu;
  const double loopback = recorder.of("BM_ListingGetFolderLoopback").real;
  const double lookup = recorder.of("BM_CachedFileForSaved").cpu;
  const double stream = recorder.of("BM_StreamUrlSaved").real;
  const double streamCpu = recorder.of("BM_StreamUrlSaved").cpu;

  std::printf("\nSummary\n");
  if (parse > 0) std::printf("  parse of 20,000 tracks alone (CPU):     %9.2f ms\n", parse / 1e6);
  if (listing > 0) std::printf("  parse + listing to the host (CPU):      %9.2f ms\n", listing / 1e6);
  if (loopback > 0) std::printf("  whole GetFolder over loopback (wall):   %9.2f ms\n", loopback / 1e6);
  if (lookup > 0) std::printf("  cachedFileFor, 10,000 entries (CPU):    %9.1f us\n", lookup / 1e3);
  if (stream > 0) {
    std::printf("  GetStreamUrl of a saved track (wall):   %9.1f us\n", stream / 1e3);
    std::printf("  the same, calling thread's CPU:         %9.1f us\n", streamCpu / 1e3);
  }
  if (parse > 0 && listing > 0) {
    const double ratio = listing / parse;
    const bool ok = ratio <= kMaxListingRatio;
    std::printf("  listing / parse:                        %9.2f (limit %.1f): %s\n", ratio,
                kMaxListingRatio, ok ? "ok" : "TOO SLOW");
    if (!ok) return 1;
  }
  return 0;
}
