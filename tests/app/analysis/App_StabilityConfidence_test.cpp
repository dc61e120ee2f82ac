#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "app/analysis/App_StabilityAnalysis.h"
#include "app/analysis/App_StabilityConfidence.h"

namespace {

// EDF of the mean of M squared Gaussian terms whose correlation at lag j is rho(j).
double EdfFromCorrelations(int64_t terms, const std::function<double(int64_t)>& rho) {
  double sum = 1;
  for (int64_t j = 1; j < terms; ++j) sum += 2 * (1 - static_cast<double>(j) / terms) * rho(j) * rho(j);
  return static_cast<double>(terms) / sum;
}

// The term correlations of white noise are known exactly; the EDF must agree.
TEST(StabilityConfidence, EdfMatchesTheExactTermCorrelationsOfWhiteNoise) {
  for (const int64_t m : {1, 4, 16, 2000}) {
    const int64_t terms = 40 * m + 9;
    // Overlapping Allan, white FM: differences of overlapping m-averages.
    const auto wfm = [m](int64_t j) {
      const double mm = static_cast<double>(m), jj = static_cast<double>(j);
      if (j <= m) return (2 * mm - 3 * jj) / (2 * mm);
      return j <= 2 * m ? -(2 * mm - jj) / (2 * mm) : 0.0;
    };
    EXPECT_NEAR(GreenhallEdf(kAlphaWFM, 2, m, false, m, terms) / EdfFromCorrelations(terms, wfm), 1.0, 1e-3)
        << "m=" << m;
    // Overlapping Allan, white PM: second differences correlate at lags m and 2m only.
    const auto wpm = [m](int64_t j) { return j == m ? -4.0 / 6 : j == 2 * m ? 1.0 / 6 : 0.0; };
    EXPECT_NEAR(GreenhallEdf(kAlphaWPM, 2, m, false, m, terms) / EdfFromCorrelations(terms, wpm), 1.0, 1e-9)
        << "m=" << m;
  }
  // Non-overlapping Allan, white FM: neighbours correlate with -1/2.
  for (const int64_t terms : {2, 9, 100})
    EXPECT_NEAR(GreenhallEdf(kAlphaWFM, 2, 8, false, 1, terms), 2.0 * terms * terms / (3.0 * terms - 1), 1e-9);
}

// Flicker phase noise depends on the filter factor m only through log m: the
// EDF stays finite and changes smoothly where its computation changes form.
TEST(StabilityConfidence, FlickerPhaseEdfIsSmoothInTheAveragingFactor) {
  const auto edf = [](int64_t m) { return GreenhallEdf(kAlphaFPM, 2, m, false, m, 50 * m); };
  EXPECT_NEAR(edf(9999) / edf(10001), 1.0, 1e-3);
  double before = 0;
  for (const int64_t m : {100, 10000, 1000000, 100000000}) {
    EXPECT_GT(edf(m), before) << m;
    EXPECT_LT(edf(m), 2 * before + 1000) << m;  // a factor 100 in m, not in the EDF
    before = edf(m);
  }
}

TEST(StabilityConfidence, IntervalFollowsTheChiSquareQuantiles) {
  // 10 degrees of freedom: the 2.5 % and 97.5 % quantiles are 3.247 and 20.483.
  const TDeviationInterval interval = ChiSquareInterval(1.0, 10, 0.95);
  EXPECT_NEAR(interval.Low, std::sqrt(10 / 20.4832), 1e-4);
  EXPECT_NEAR(interval.High, std::sqrt(10 / 3.24697), 1e-4);
  // Howe's total-variance EDF for white FM, and none for the phase noises.
  EXPECT_DOUBLE_EQ(TotalVarianceEdf(kAlphaWFM, 1000, 10), 150);
  EXPECT_TRUE(std::isnan(TotalVarianceEdf(kAlphaWPM, 1000, 10)));
  for (const double edf : {0.0, -1.0, std::nan("")}) EXPECT_TRUE(std::isnan(ChiSquareInterval(1.0, edf, 0.683).Low));
}

}  // namespace
