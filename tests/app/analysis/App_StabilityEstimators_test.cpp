#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "app/analysis/App_StabilityEstimators.h"

namespace {

// The NBS 1000-point set: a Lehmer generator's values read as fractional frequency.
std::vector<double> NbsData() {
  std::vector<double> y;
  int64_t n = 1234567890;
  for (int i = 0; i < 1000; ++i) {
    y.push_back(static_cast<double>(n) / 2147483647.0);
    n = (16807 * n) % 2147483647;
  }
  return y;
}

struct TPublished {
  TStabilityEstimator Estimator;
  double At1, At10, At100;
};

TEST(StabilityEstimators, NbsSetGivesThePublishedDeviations) {
  const std::vector<double> y = NbsData();
  const TPhaseSeries series = TPhaseSeries::FromFrequency(y, 1.0);
  TDeviationCalculator calculator(series);
  const TPublished published[] = {
      {TStabilityEstimator::Adev, 2.922319e-01, 9.965736e-02, 3.897804e-02},
      {TStabilityEstimator::Oadev, 2.922319e-01, 9.159953e-02, 3.241343e-02},
      {TStabilityEstimator::Mdev, 2.922319e-01, 6.172376e-02, 2.170921e-02},
      {TStabilityEstimator::Totdev, 2.922319e-01, 9.134743e-02, 3.406530e-02},
      {TStabilityEstimator::Hdev, 2.943883e-01, 1.052754e-01, 3.910860e-02},
      {TStabilityEstimator::Ohdev, 2.943883e-01, 9.581083e-02, 3.237638e-02},
      {TStabilityEstimator::Tdev, 1.687202e-01, 3.563623e-01, 1.253382e+00},
  };
  for (const TPublished& row : published) {
    const double expected[] = {row.At1, row.At10, row.At100};
    const int64_t factors[] = {1, 10, 100};
    for (int k = 0; k < 3; ++k) {
      const TDeviation deviation = calculator.Compute(row.Estimator, factors[k]);
      EXPECT_NEAR(deviation.Value / expected[k], 1.0, 1e-6)
          << static_cast<int>(row.Estimator) << " m=" << factors[k] << " got " << deviation.Value;
    }
  }
}

}  // namespace
