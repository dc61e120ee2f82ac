// Throughput of a counter session's data path: 24-channel phase lines
// through the counter store (phase continuation, frequencies, differences,
// residuals, three Allan accumulators) and, in the second benchmark, through
// the report evaluation in front of it, without and with the value strings
// that logs and the data server take.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "app/core/ZEP_ReportEval.h"
#include "app/data/PAV_DataManagement.h"
#include "app/data/QMT_DataManagement.h"

namespace {

constexpr int kChannels = 24;
constexpr int kLines = 20000;
constexpr int kGateMs = 10;
constexpr char kHeader[] = "0300";  // phase, 10 ms

// One phase field as the counter writes it: a separator and 26 characters,
// 11 decimals.
void AppendPhase(std::string& line, long double cycles) {
  char field[40];
  std::snprintf(field, sizeof field, ";%26.11Lf", cycles);
  line += field;
}

// Lines of 24 channels near 10 MHz with a little noise, continuing phase.
std::vector<std::string> PhaseLines(int count) {
  std::vector<std::string> lines;
  lines.reserve(count);
  for (int n = 0; n < count; ++n) {
    std::string line = kHeader;
    for (int k = 1; k <= kChannels; ++k) {
      const long double frequency = 10'000'000.0L + k * 0.01L;
      const long double noise = 1e-4L * std::sin(0.7 * n + k);
      AppendPhase(line, 1e6L + frequency * n * kGateMs / 1000.0L + noise);
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

const std::vector<std::string>& Lines() {
  static const std::vector<std::string> lines = PhaseLines(kLines);
  return lines;
}

void BM_StoreExtractData(benchmark::State& state) {
  const std::vector<std::string>& lines = Lines();
  TPAV_DataManagement store(-1, 0, false);
  int64_t deviceMs = 0;
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(store.ExtractData(lines[i], deviceMs));
    deviceMs += kGateMs;
    if (++i == lines.size()) {
      // Phases would jump back to the start: begin a fresh series.
      i = 0;
      store.Reset();
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["lines/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_StoreExtractData)->Unit(benchmark::kMicrosecond);

// A session that accepts everything and keeps nothing.
class TQuietHost : public TReportEvalHost {
 public:
  bool SendCommand(const std::string&) override { return true; }
  void PostMessage(TMsgType, int, int, const std::string&) override {}
  void PostSync(int, int, int, const std::string&) override {}
  void Log(const std::string&) override {}
  void LogErr(const std::string&) override {}
  bool LogWanted() const override { return false; }
  bool ReportDebug() const override { return false; }
  void SamplerEvent(int, const std::string&) override {}
  void SamplerTimeStamp(int64_t) override {}
  int DeviceStartState() override { return 1; }
  uint16_t HardFeature() override { return 3; }
  int FirmwareVersion() override { return -1; }
  int ReadPVHData() override { return 0; }
  void SetIntervalMs(int) override {}
  void FeatureBitsChanged(uint16_t, bool, bool) override {}
  TUtcMs NowUtcMs() override { return TUtcMs{1'796'000'000'000}; }
  int64_t MonotonicMs() override { return 0; }
};

// The same lines through the report evaluation, with a 100 ms time stamp
// every tenth line as the counter sends them at this rate. Argument 1: a log
// asks for every value type, so the store also writes its value strings.
void BM_EvaluationAndStore(benchmark::State& state) {
  const std::vector<std::string>& lines = Lines();
  TQuietHost host;
  TPAV_DataManagement pav(-1, 0, false);
  TQMT_DataManagement qmt(-1, 0, false);
  if (state.range(0) != 0) pav.SetSamplerLogTypes(0xFFFFFFFF);
  TVQReportEvaluation evaluation(host, pav, qmt);
  evaluation.DeviceOpened(false, false, false);
  int64_t deviceMs = 0;
  std::size_t i = 0;
  for (auto _ : state) {
    if (i % 10 == 0) evaluation.ReportAuswerten("7016; " + std::to_string(deviceMs / 100), deviceMs);
    benchmark::DoNotOptimize(evaluation.ReportAuswerten(lines[i], deviceMs));
    deviceMs += kGateMs;
    if (++i == lines.size()) {
      i = 0;
      pav.Reset();
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["lines/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  // Guards against measuring lines the evaluation held back.
  state.counters["channels"] = pav.ChannelCount();
  state.counters["allan_taus"] = pav.GetAllanLastTau(amFreq) + 1;
}
BENCHMARK(BM_EvaluationAndStore)->ArgName("value_strings")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
