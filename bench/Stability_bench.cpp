// Stability estimators at octave taus on 10 000 000 phase points (white
// frequency noise), one core: every estimator is O(N) per tau.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "app/analysis/App_StabilityAnalysis.h"
#include "app/analysis/App_StabilityEstimators.h"

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

BENCHMARK_CAPTURE(OctaveTaus, oadev, TStabilityEstimator::Oadev)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(OctaveTaus, mdev, TStabilityEstimator::Mdev)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(OctaveTaus, tdev, TStabilityEstimator::Tdev)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Analysis, oadev, TStabilityEstimator::Oadev)->Unit(benchmark::kMillisecond);

}  // namespace
