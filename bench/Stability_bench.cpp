// Stability estimators at octave taus on 10 000 000 phase points (white
// frequency noise), one core: every estimator is O(N) per tau. And the read
// rate of a large log file of 4 channels' phase and frequency.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "app/analysis/App_StabilityAnalysis.h"
#include "app/analysis/App_StabilityEstimators.h"
#include "app/analysis/App_StabilityReader.h"

namespace {

constexpr std::size_t kPoints = 10'000'000;

const TPhaseSeries& Series() {
  static const TPhaseSeries series = [] {
    std::mt19937_64 random(7);
    std::normal_distribution<double> white(0.0, 1e-12);
    std::vector<double> y(kPoints - 1);
    for (double& v : y) v = white(random);
    return TPhaseSeries::FromFrequency(y, 1.0);
  }();
  return series;
}

void OctaveTaus(benchmark::State& state, TStabilityEstimator estimator) {
  const TPhaseSeries& series = Series();
  for (auto _ : state) {
    TDeviationCalculator calculator(series);
    std::vector<int64_t> factors;
    for (int64_t m = 1; PointsNeeded(estimator, m) <= series.X.size(); m *= 2) factors.push_back(m);
    benchmark::DoNotOptimize(calculator.Compute(estimator, factors));
  }
}

// The whole analysis: deviations, noise identification and intervals.
void Analysis(benchmark::State& state, TStabilityEstimator estimator) {
  const TPhaseSeries& series = Series();
  TStabilityOptions options;
  options.Estimators = {estimator};
  for (auto _ : state) benchmark::DoNotOptimize(AnalyzeStability(series.X, options));
}

std::string RightAligned(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

// A log file as the application writes it: 4 channels near 10 MHz, phase
// (26 wide) and frequency (22 wide), CR LF; about 200 MB.
// The file goes when the program ends.
struct TTemporaryFile {
  std::string Path;
  ~TTemporaryFile() { ::unlink(Path.c_str()); }
};

const std::string& LargeLog() {
  static const TTemporaryFile file{[] {
    char name[] = "/tmp/zep_bench_log_XXXXXX";
    const int fd = ::mkstemp(name);
    std::FILE* out = ::fdopen(fd, "wb");
    std::fputs("#Filename:  run.txt\r\n#Message:   First create\r\n#Time:      PC time, time zone local\r\n#\r\n"
               "#Source:    [A]\r\n#Device:    DemoData\r\n#Mode:      Phase\r\n#Interval:  1s\r\n"
               "#Scrambler: off\r\n#\r\n#\r\n#\r\n",
               out);
    std::string title = "#PC time          S", type = "#zone local        ";
    type += RightAligned("Phase [Pd]", 26);
    for (int k = 1; k <= 4; ++k) title += RightAligned(std::to_string(k) + ":Channel_" + std::to_string(k), 26);
    type += std::string(title.size() - type.size(), ' ') + RightAligned("Frequency [Hz]", 22);
    for (int k = 1; k <= 4; ++k) title += RightAligned(std::to_string(k) + ":Channel_" + std::to_string(k), 22);
    type += std::string(title.size() - type.size(), ' ');
    std::fprintf(out, "%s\r\n%s\r\n", type.c_str(), title.c_str());
    std::mt19937_64 random(11);
    std::normal_distribution<double> noise(0.0, 1e-3);
    long double phase[4] = {0, 0, 0, 0};
    for (int line = 0; line < 1'000'000; ++line) {
      std::fprintf(out, "261211 %06d.939 1", line % 1000000);
      double frequency[4];
      for (int k = 0; k < 4; ++k) {
        frequency[k] = 1e7 + noise(random);
        phase[k] += frequency[k];
        std::fprintf(out, "%26.11Lf", phase[k]);
      }
      for (int k = 0; k < 4; ++k) std::fprintf(out, "%22.11f", frequency[k]);
      std::fputs("\r\n", out);
    }
    std::fclose(out);
    return std::string(name);
  }()};
  return file.Path;
}

void ReadLog(benchmark::State& state, std::vector<std::string> columns) {
  const std::string& path = LargeLog();
  TStabilityReadOptions options;
  options.Columns = std::move(columns);
  for (auto _ : state) {
    const TStabilityReadResult result = ReadStabilityFiles({path}, options);
    if (result.Status != TReadStatus::Ok) state.SkipWithError(result.Error.c_str());
    benchmark::DoNotOptimize(result.Series.data());
  }
  FILE* file = std::fopen(path.c_str(), "rb");
  std::fseek(file, 0, SEEK_END);
  state.SetBytesProcessed(state.iterations() * std::ftell(file));
  std::fclose(file);
}

BENCHMARK_CAPTURE(ReadLog, phase_and_freq_of_one_channel, std::vector<std::string>{"phase:1", "freq:1"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(ReadLog, all_columns, std::vector<std::string>{})->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_CAPTURE(OctaveTaus, oadev, TStabilityEstimator::Oadev)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(OctaveTaus, mdev, TStabilityEstimator::Mdev)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(OctaveTaus, tdev, TStabilityEstimator::Tdev)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Analysis, oadev, TStabilityEstimator::Oadev)->Unit(benchmark::kMillisecond);

}  // namespace
