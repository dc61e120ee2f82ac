#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "library/core/VQ_Decoder.h"

// Decoding 24-channel byte-stream phase reports into report lines, as a
// source does for every measurement. Counts reports per second.

namespace {

constexpr int kChannels = 24;

class TBenchHost : public TVQ_DecoderHost {
 public:
  uint32_t ReceivedSec() const override { return FReceivedSec; }
  void SetReceivedSec(uint32_t sec) override { FReceivedSec = sec; }
  void ReSync() override {}
  void SetReferenceClockError(bool) override {}
  void VersionDecoded() override {}
  uint8_t UserID() const override { return 255; }
  std::string CheckDataPerSecondCounter(uint16_t) override { return {}; }
  std::string Check7902Report(std::string_view) override { return {}; }

 private:
  uint32_t FReceivedSec = 0;
};

// A phase report at 1 s (header $0900) whose values grow from report to
// report and wrap now and then, so the continuation does real work.
std::vector<std::string> PhaseReports(int count) {
  std::mt19937_64 random(1);
  std::vector<std::string> reports;
  uint64_t phase[kChannels] = {};
  for (int r = 0; r < count; ++r) {
    std::string report = {0x09, 0x00};
    for (int ch = 0; ch < kChannels; ++ch) {
      phase[ch] = (phase[ch] + 10'000'000ull * (1ull << 24) + random() % 1000) & ((1ull << 52) - 1);
      const uint64_t word = (uint64_t{8} << 52) | phase[ch];  // exponent 8
      for (int b = 6; b >= 0; --b) report += static_cast<char>(word >> (8 * b));
    }
    reports.push_back(std::move(report));
  }
  return reports;
}

void DecodeByteStreamPhase(benchmark::State& state) {
  const std::vector<std::string> reports = PhaseReports(256);
  TBenchHost host;
  TVQ_ReportDecoder decoder(host, -1, "TSourceItem[0]");
  int64_t decoded = 0;
  for (auto _ : state) {
    for (const std::string& report : reports) {
      std::string line = decoder.ProcessBinReport(report, false);
      benchmark::DoNotOptimize(line.data());
    }
    decoded += static_cast<int64_t>(reports.size());
  }
  state.counters["reports/s"] = benchmark::Counter(static_cast<double>(decoded), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(DecodeByteStreamPhase);
