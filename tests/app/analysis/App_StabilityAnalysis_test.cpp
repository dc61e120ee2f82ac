#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "PowerLawNoise.h"
#include "app/analysis/App_StabilityAnalysis.h"
#include "app/analysis/App_StabilityEstimators.h"

namespace {

TStabilityResult Analyse(const std::vector<double>& phase, std::vector<TStabilityEstimator> estimators,
                         TTauSet taus = TTauSet::Octave, std::vector<double> list = {}) {
  TStabilityOptions options;
  options.Estimators = std::move(estimators);
  options.Taus = taus;
  options.TauList = std::move(list);
  return AnalyzeStability(phase, options);
}

// Least-squares slope of log(deviation) over log(tau) for one estimator.
double LogLogSlope(const TStabilityResult& result, TStabilityEstimator estimator, double maxTau) {
  double sx = 0, sy = 0, sxx = 0, sxy = 0, n = 0;
  for (const TStabilityRow& row : result.Rows) {
    if (row.Estimator != estimator || row.Tau > maxTau) continue;
    const double x = std::log(row.Tau), y = std::log(row.Deviation);
    sx += x, sy += y, sxx += x * x, sxy += x * y, n += 1;
  }
  return (n * sxy - sx * sy) / (n * sxx - sx * sx);
}

struct TNoiseCase {
  int Alpha;
  double OadevSlope, MdevSlope;
};

// Generated noise of each type: the deviations fall with the slopes of its
// type, and the lag-1 identification names the type where enough averages remain.
TEST(StabilityAnalysis, PowerLawNoiseGivesItsSlopesAndType) {
  const TNoiseCase cases[] = {
      {kAlphaWPM, -1.0, -1.5}, {kAlphaFPM, -1.0, -1.0}, {kAlphaWFM, -0.5, -0.5},
      {kAlphaFFM, 0.0, 0.0},   {kAlphaRWFM, 0.5, 0.5},
  };
  std::mt19937_64 random(20240809);
  for (const TNoiseCase& c : cases) {
    const std::vector<double> phase = PowerLawPhase(c.Alpha, 4096, random);
    const TStabilityResult result =
        Analyse(phase, {TStabilityEstimator::Oadev, TStabilityEstimator::Mdev, TStabilityEstimator::Ohdev});
    ASSERT_TRUE(result.Error.empty()) << result.Error;
    EXPECT_NEAR(LogLogSlope(result, TStabilityEstimator::Oadev, 256), c.OadevSlope, 0.15) << NoiseTypeName(c.Alpha);
    EXPECT_NEAR(LogLogSlope(result, TStabilityEstimator::Mdev, 256), c.MdevSlope, 0.15) << NoiseTypeName(c.Alpha);
    int identified = 0, tried = 0;
    for (const TStabilityRow& row : result.Rows) {
      if (row.M > 64) continue;
      EXPECT_EQ(row.Noise, TNoiseMethod::Lag1);
      ++tried;
      if (row.Alpha == c.Alpha) ++identified;
    }
    EXPECT_GE(identified, tried * 8 / 10) << NoiseTypeName(c.Alpha) << ": " << identified << " of " << tried;
  }
}

// Exact expectation of an estimator's variance under unit white noise of the
// series' own kind: the variance is a quadratic form, so it is the sum of the
// estimates from unit impulses.
double WhiteNoiseVariance(TStabilityEstimator estimator, int64_t m, std::size_t values, TStabilityDataKind kind) {
  double sum = 0;
  std::vector<double> impulse(values, 0.0);
  for (std::size_t k = 0; k < values; ++k) {
    impulse[k] = 1;
    const TPhaseSeries series = kind == TStabilityDataKind::Phase ? TPhaseSeries::FromPhase(impulse, 1.0)
                                                                  : TPhaseSeries::FromFrequency(impulse, 1.0);
    const double deviation = TDeviationCalculator(series).Compute(estimator, m).Value;
    sum += deviation * deviation;
    impulse[k] = 0;
  }
  return sum;
}

struct TCoverageCase {
  TStabilityEstimator Estimator;
  TStabilityDataKind Kind;  // white phase (WPM) or white frequency (WFM)
  int64_t M;
};

// 1000 series of white noise: the 68.3 % interval of each holds the true
// deviation in 65 to 72 % of them.
TEST(StabilityAnalysis, IntervalsCoverTheTrueDeviation) {
  constexpr std::size_t kValues = 256;
  constexpr int kRuns = 1000;
  const TCoverageCase cases[] = {
      {TStabilityEstimator::Adev, TStabilityDataKind::Frequency, 4},
      {TStabilityEstimator::Oadev, TStabilityDataKind::Frequency, 4},
      {TStabilityEstimator::Oadev, TStabilityDataKind::Phase, 4},
      {TStabilityEstimator::Mdev, TStabilityDataKind::Frequency, 4},
      {TStabilityEstimator::Mdev, TStabilityDataKind::Phase, 4},
      {TStabilityEstimator::Hdev, TStabilityDataKind::Frequency, 4},
      {TStabilityEstimator::Ohdev, TStabilityDataKind::Phase, 4},
      {TStabilityEstimator::Totdev, TStabilityDataKind::Frequency, 8},
  };
  std::mt19937_64 random(683);
  std::normal_distribution<double> normal(0.0, 1.0);
  for (const TCoverageCase& c : cases) {
    const double truth = std::sqrt(WhiteNoiseVariance(c.Estimator, c.M, kValues, c.Kind));
    TStabilityOptions options;
    options.Kind = c.Kind;
    options.Estimators = {c.Estimator};
    options.Taus = TTauSet::List;
    options.TauList = {static_cast<double>(c.M)};
    int inside = 0;
    std::vector<double> values(kValues);
    for (int run = 0; run < kRuns; ++run) {
      for (double& v : values) v = normal(random);
      const TStabilityResult result = AnalyzeStability(values, options);
      ASSERT_EQ(result.Rows.size(), 1u) << result.Error;
      if (result.Rows[0].Low <= truth && truth <= result.Rows[0].High) ++inside;
    }
    const double coverage = static_cast<double>(inside) / kRuns;
    EXPECT_GE(coverage, 0.65) << StabilityEstimatorTitle(c.Estimator) << " m=" << c.M;
    EXPECT_LE(coverage, 0.72) << StabilityEstimatorTitle(c.Estimator) << " m=" << c.M;
  }
}

}  // namespace
