#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "library/core/LogUnit.h"

// What one debug line costs the thread that logs it: every call is timed on
// its own, and the median and 99th percentile of those times are reported
// beside the mean. The logs overwrite themselves at 20 MiB, as a long run's
// logs do, so the wrap is part of the figures.

namespace {

using Clock = std::chrono::steady_clock;

// A typical line of a source's debug log.
const std::string kLine =
    "TSourceItem[0].GetReport: 0901;  1234567.123456789012;  2345678.234567890123;  3456789.345678901234";

class TBenchFolder {
 public:
  TBenchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zep_bench_XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    FPath = pattern;
  }
  ~TBenchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
  }
  TBenchFolder(const TBenchFolder&) = delete;
  TBenchFolder& operator=(const TBenchFolder&) = delete;
  std::string File(const std::string& name) const { return (FPath / name).string(); }

 private:
  std::filesystem::path FPath;
};

// Runs `logLine` once per iteration and times each call; the clock readings
// around it cost what EmptyCall shows.
template <typename F>
void TimeEachCall(benchmark::State& state, F&& logLine) {
  constexpr std::size_t kKept = 1u << 22;
  std::vector<double> times;
  times.reserve(kKept);
  for (auto _ : state) {
    const auto start = Clock::now();
    logLine();
    const auto end = Clock::now();
    if (times.size() < kKept) times.push_back(std::chrono::duration<double, std::nano>(end - start).count());
  }
  if (times.empty()) return;
  std::sort(times.begin(), times.end());
  const auto at = [&times](double fraction) {
    return times[std::min(times.size() - 1, static_cast<std::size_t>(fraction * static_cast<double>(times.size())))];
  };
  state.counters["median_ns"] = at(0.5);
  state.counters["p99_ns"] = at(0.99);
  state.counters["p999_ns"] = at(0.999);
}

void EmptyCall(benchmark::State& state) {
  TimeEachCall(state, [] { benchmark::ClobberMemory(); });
}

// The by-number path every component uses: queued, written by the writer.
void LogInfoIntoAnOpenFile(benchmark::State& state) {
  const TBenchFolder folder;
  const int id = NewLog();
  SetLogLimit(id, TLogLimitType::logOverwrite, 0);
  SetLogFile(id, folder.File("queued.txt"), false);
  if (!LogWanted(id)) state.SkipWithError("the log file did not open");
  TimeEachCall(state, [id] { LogInfo(id, kLine); });
  SetLogFile(id, "", false);
}

// The same line written by the caller at once: one write() per line.
void LineWrittenAtOnce(benchmark::State& state) {
  const TBenchFolder folder;
  TLogger log(1, SystemClock(), nullptr);
  log.SetLimit(TLogLimitType::logOverwrite, 0);
  log.SetLogFileName(folder.File("at_once.txt"));
  if (!log.GetLogEnabled()) state.SkipWithError("the log file did not open");
  TimeEachCall(state, [&log] { log.LogIt(kLine); });
  log.SetLogFileName("");
}

// The test every caller makes before it formats a line, for a log without a file.
void LogWantedWithoutFile(benchmark::State& state) {
  const int id = NewLog();
  for (auto _ : state) benchmark::DoNotOptimize(LogWanted(id));
}

}  // namespace

BENCHMARK(EmptyCall);
BENCHMARK(LogInfoIntoAnOpenFile);
BENCHMARK(LineWrittenAtOnce);
BENCHMARK(LogWantedWithoutFile);
