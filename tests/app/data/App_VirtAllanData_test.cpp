#include "app/data/App_VirtAllanData.h"

#include <gtest/gtest.h>

#include "support/FileText.h"

#include <atomic>
#include <fstream>
#include <sstream>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "library/core/LogUnit.h"
#include "support/TempFolder.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Independent non-overlapping estimator over the stored samples: block averages
// of m fractional frequencies starting at index `first`, complete blocks only.
double FreqAdevReference(const std::vector<double>& y, std::size_t m, std::size_t first = 0) {
  std::vector<double> averages;
  for (std::size_t b = first; b + m <= y.size(); b += m) {
    double sum = 0.0;
    for (std::size_t i = b; i < b + m; ++i) sum += y[i];
    averages.push_back(sum / static_cast<double>(m));
  }
  if (averages.size() < 2) return 0.0;
  double squares = 0.0;
  for (std::size_t k = 0; k + 1 < averages.size(); ++k) squares += std::pow(averages[k + 1] - averages[k], 2);
  return std::sqrt(squares / (2.0 * static_cast<double>(averages.size() - 1)));
}

// The same from phases in ps taken every tau0 seconds; the boundary phases are
// those of the samples m, 2m, 3m, ... (1-based), as the accumulator counts.
double PhaseAdevReference(const std::vector<double>& xPs, std::size_t m, double tau0) {
  std::vector<double> boundary;
  for (std::size_t i = m; i <= xPs.size(); i += m) boundary.push_back(xPs[i - 1] * 1e-12);
  if (boundary.size() < 3) return 0.0;
  double squares = 0.0;
  for (std::size_t k = 0; k + 2 < boundary.size(); ++k)
    squares += std::pow(boundary[k + 2] - 2.0 * boundary[k + 1] + boundary[k], 2);
  const double tau = static_cast<double>(m) * tau0;
  return std::sqrt(squares / (2.0 * static_cast<double>(boundary.size() - 2))) / tau;
}

void FeedRow(TVirtAllanData& allan, const std::vector<double>& values) {
  for (double value : values) allan.AddData(std::span<const double>(&value, 1));
}

std::vector<double> WhiteNoise(std::size_t n, double sigma, unsigned seed) {
  std::mt19937_64 engine(seed);
  std::normal_distribution<double> normal(0.0, sigma);
  std::vector<double> y(n);
  for (double& v : y) v = normal(engine);
  return y;
}

int64_t UpdatesOf(const TVirtAllanData& allan, int t) {
  const std::vector<int64_t> counts = allan.GetADEVCounts();
  return t < static_cast<int>(counts.size()) ? counts[t] : 0;
}

}  // namespace

TEST(VirtAllanData, TausFollowOneTwoFiveAndTauMaxIsClamped) {
  TVirtAllanData allan(-1, 19, amFreq);
  const int64_t expected[20] = {1,     2,     5,     10,     20,     50,     100,     200,     500,     1000,
                                2000,  5000,  10000, 20000,  50000,  100000, 200000,  500000,  1000000, 2000000};
  for (int t = 0; t < 20; ++t) EXPECT_EQ(allan.GetTau(t), expected[t]) << t;
  EXPECT_EQ(allan.GetTau(20), 0);
  EXPECT_EQ(allan.GetTau(-1), 0);
  EXPECT_EQ(TVirtAllanData(-1, 40, amFreq).GetTauMax(), 19);
  EXPECT_EQ(TVirtAllanData(-1, -3, amFreq).GetTauMax(), 0);
  EXPECT_EQ(allan.GetRealCount(), -1);
  EXPECT_TRUE(allan.GetTextValues(1).empty());
}

TEST(VirtAllanData, WhiteFrequencyNoiseMatchesReferenceAndSigmaOverSqrtM) {
  const double sigma = 1e-9;
  const std::vector<double> y = WhiteNoise(20000, sigma, 7);
  TVirtAllanData allan(-1, 19, amFreq);
  FeedRow(allan, y);

  EXPECT_EQ(allan.GetLastTau(), 12);  // m = 10000: the second block ends at 20000
  for (int t = 0; t <= 6; ++t) {
    const auto m = static_cast<std::size_t>(allan.GetTau(t));
    const double reference = FreqAdevReference(y, m);
    EXPECT_NEAR(allan.GetAdev(0, t), reference, reference * 1e-9) << "m=" << m;
    // Agreement with theory within four standard errors: neighbouring
    // differences share a block, which gives the estimate a relative standard
    // error of about sqrt(3 / differences) / 2 for white frequency noise.
    const double differences = static_cast<double>(y.size() / m - 1);
    const double theory = sigma / std::sqrt(static_cast<double>(m));
    EXPECT_NEAR(reference, theory, 4.0 * std::sqrt(3.0 / differences) / 2.0 * theory) << "m=" << m;
  }
}

TEST(VirtAllanData, AlternatingFrequencyGivesASqrtTwoAtOneAndZeroAtTwo) {
  const double a = 1e-9;
  TVirtAllanData allan(-1, 19, amFreq);
  FeedRow(allan, {a});
  EXPECT_EQ(allan.GetLastTau(), -1);
  FeedRow(allan, {-a});
  EXPECT_DOUBLE_EQ(allan.GetAdev(0, 0), a * std::sqrt(2.0));
  EXPECT_EQ(allan.GetLastTau(), 0);
  FeedRow(allan, {a});
  EXPECT_EQ(allan.GetLastTau(), 0);
  // m = 2: both block averages are 0, a genuine deviation of 0 at the 4th sample.
  FeedRow(allan, {-a});
  EXPECT_EQ(allan.GetLastTau(), 1);
  EXPECT_TRUE(allan.GetNewSample(1));
  EXPECT_EQ(allan.GetAdev(0, 1), 0.0);
  EXPECT_EQ(allan.GetAdevMin(0, 1), 0.0);
  EXPECT_EQ(allan.GetADEVCounts(), (std::vector<int64_t>{3, 1}));
  EXPECT_DOUBLE_EQ(allan.GetAdev(0, 0), a * std::sqrt(2.0));
}

TEST(VirtAllanData, LinearDriftMatchesClosedForm) {
  struct Case {
    const char* name;
    TAllanMode mode;
    std::function<double(int)> input;             // sample i = 1, 2, ...
    std::function<double(double m)> expected;     // deviation at averaging factor m
  };
  const double tau0 = 0.5;  // 500 ms
  const Case cases[] = {
      // Frequency drifting by d per sample: block averages differ by d m.
      {"frequency drift", amFreq, [](int i) { return 2e-12 * i; },
       [](double m) { return 2e-12 * m / std::sqrt(2.0); }},
      // Phase growing with c i^2 / 2 ps: the second difference is c m^2.
      {"phase residual drift", amPhaseRes, [](int i) { return 0.5 * 3.0 * i * i; },
       [&](double m) { return 3.0 * m * m / std::sqrt(2.0) * 1e-12 / (m * tau0); }},
      {"phase difference drift", amPhaseDiff, [](int i) { return 1e6 + 0.5 * 3.0 * i * i; },
       [&](double m) { return 3.0 * m * m / std::sqrt(2.0) * 1e-12 / (m * tau0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TVirtAllanData allan(-1, 19, c.mode);
    allan.SetIntervalMs(500);
    std::vector<double> samples;
    for (int i = 1; i <= 300; ++i) samples.push_back(c.input(i));
    FeedRow(allan, samples);
    for (int t = 0; t <= 5; ++t) {
      const double m = static_cast<double>(allan.GetTau(t));
      const double reference = c.mode == amFreq ? FreqAdevReference(samples, allan.GetTau(t))
                                                : PhaseAdevReference(samples, allan.GetTau(t), tau0);
      EXPECT_NEAR(allan.GetAdev(0, t), c.expected(m), c.expected(m) * 1e-9) << "m=" << m;
      EXPECT_NEAR(allan.GetAdev(0, t), reference, reference * 1e-9) << "m=" << m;
    }
  }
}

TEST(VirtAllanData, PhaseInputMatchesFrequencyInput) {
  const double tau0 = 0.1;
  const std::vector<double> y = WhiteNoise(5000, 1e-9, 11);
  std::vector<double> xPs(y.size());
  double phase = 0.0;
  for (std::size_t i = 0; i < y.size(); ++i) xPs[i] = phase += y[i] * tau0 * 1e12;

  for (TAllanMode mode : {amPhaseRes, amPhaseDiff}) {
    SCOPED_TRACE(AllanModeText(mode));
    TVirtAllanData allan(-1, 19, mode);
    allan.SetIntervalMs(100);
    FeedRow(allan, xPs);
    for (int t = 0; t <= 6; ++t) {
      const auto m = static_cast<std::size_t>(allan.GetTau(t));
      // Boundary phases at m, 2m, ... frame the frequency blocks that start at sample m + 1.
      const double fromFrequency = FreqAdevReference(y, m, m);
      EXPECT_NEAR(allan.GetAdev(0, t), fromFrequency, fromFrequency * 1e-9) << "m=" << m;
      const double fromPhase = PhaseAdevReference(xPs, m, tau0);
      EXPECT_NEAR(allan.GetAdev(0, t), fromPhase, fromPhase * 1e-9) << "m=" << m;
    }
  }
}

TEST(VirtAllanData, NbsTestSetGivesPublishedDeviations) {
  std::vector<double> y;
  int64_t n = 1234567890;
  for (int i = 0; i < 1000; ++i) {
    y.push_back(static_cast<double>(n) / 2147483647.0);
    n = 16807 * n % 2147483647;
  }
  TVirtAllanData allan(-1, 19, amFreq);
  FeedRow(allan, y);
  EXPECT_NEAR(allan.GetAdev(0, 0), 2.922319e-01, 2.922319e-01 * 1e-6);  // m = 1
  EXPECT_NEAR(allan.GetAdev(0, 3), 9.965736e-02, 9.965736e-02 * 1e-6);  // m = 10
  EXPECT_NEAR(allan.GetAdev(0, 6), 3.897804e-02, 3.897804e-02 * 1e-6);  // m = 100
}

// Frequencies rising by c per sample give squared differences c^2 at m = 1.
TEST(VirtAllanData, DecayConstantForgetsOldValuesExponentially) {
  const double c1 = 1e-9;
  const double c2 = 3e-9;
  TVirtAllanData allan(-1, 0, amFreq);
  allan.SetDecayConst(10);
  double y = 0.0;
  for (int i = 0; i < 50; ++i) FeedRow(allan, {y += c1});
  EXPECT_EQ(allan.GetTauQuadN(0, 0), 10.0);
  EXPECT_NEAR(allan.GetAdev(0, 0), c1 / std::sqrt(2.0), 1e-24);

  double mean = c1 * c1;
  for (int k = 1; k <= 30; ++k) {
    FeedRow(allan, {y += c2});
    mean = c2 * c2 + (c1 * c1 - c2 * c2) * std::pow(10.0 / 11.0, k);
    ASSERT_NEAR(allan.GetAdev(0, 0), std::sqrt(mean / 2.0), std::sqrt(mean / 2.0) * 1e-12) << k;
  }
  EXPECT_EQ(allan.GetTauQuadN(0, 0), 10.0);
}

TEST(VirtAllanData, DecayConstantLoweredDuringRunTakesEffectAtOnce) {
  const double c1 = 1e-9;
  const double c2 = 3e-9;
  TVirtAllanData allan(-1, 0, amFreq);
  double y = 0.0;
  for (int i = 0; i <= 100; ++i) FeedRow(allan, {y += c1});
  EXPECT_EQ(allan.GetTauQuadN(0, 0), 100.0);
  allan.SetDecayConst(10);
  FeedRow(allan, {y += c2});
  const double mean = (10.0 * c1 * c1 + c2 * c2) / 11.0;
  EXPECT_NEAR(allan.GetAdev(0, 0), std::sqrt(mean / 2.0), std::sqrt(mean / 2.0) * 1e-12);
  EXPECT_EQ(allan.GetTauQuadN(0, 0), 10.0);
}

// Zero is a sample like any other; NaN and infinity are missing samples that
// keep their block out of the mean instead of becoming false differences.
TEST(VirtAllanData, ZeroCountsAndMissingSamplesStayOutOfTheMean) {
  struct Case {
    const char* name;
    TAllanMode mode;
    int t;
    std::vector<double> inputs;
    double adev;      // at the end
    int64_t updates;  // deviation updates of tau index t
  };
  const double r2 = std::sqrt(2.0);
  const Case cases[] = {
      {"frequency block of 0", amFreq, 0, {0.0, 1e-9}, 1e-9 / r2, 1},
      {"frequency gap, m=1", amFreq, 0, {1, kNaN, 3, 4, 5, 6}, 1 / r2, 3},
      {"frequency gap inside a block, m=2", amFreq, 1, {1, kNaN, 3, 4, 5, 6}, 2 / r2, 1},
      {"frequency infinity", amFreq, 0, {1, kInf, 30, 30}, 0.0, 1},
      {"phase starting at 0", amPhaseRes, 0, {0, 100, 200}, 0.0, 1},
      {"phase starting at 10", amPhaseRes, 0, {10, 110, 210}, 0.0, 1},
      {"phase all 0", amPhaseDiff, 0, {0, 0, 0}, 0.0, 1},
      {"phase gap at a boundary", amPhaseRes, 0, {0, 100, kNaN, 300, 400, 600}, 100e-12 / r2, 1},
      {"phase gap between boundaries, m=2", amPhaseRes, 1, {kNaN, 0, kNaN, 100, kNaN, 300}, 100e-12 / r2 / 2, 1},
      {"phase infinity", amPhaseDiff, 0, {0, kInf, 0, 0, 0}, 0.0, 1},
      {"phase gap, too few left", amPhaseRes, 0, {0, 100, kNaN, 300, 400}, 0.0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TVirtAllanData allan(-1, 19, c.mode);
    allan.SetIntervalMs(1000);
    FeedRow(allan, c.inputs);
    EXPECT_NEAR(allan.GetAdev(0, c.t), c.adev, std::abs(c.adev) * 1e-12);
    EXPECT_EQ(UpdatesOf(allan, c.t), c.updates);
    EXPECT_EQ(std::isnan(allan.GetAdevMin(0, c.t)), c.updates == 0);
  }
}

TEST(VirtAllanData, PhaseWaitsForTheInterval) {
  TVirtAllanData allan(-1, 19, amPhaseRes);
  FeedRow(allan, {0, 100, 300, 600});
  EXPECT_EQ(allan.GetLastTau(), -1);
  allan.SetIntervalMs(1000);
  FeedRow(allan, {1000, 1500, 2100});
  EXPECT_EQ(UpdatesOf(allan, 0), 1);
  EXPECT_NEAR(allan.GetAdev(0, 0), 100e-12 / std::sqrt(2.0), 1e-24);
}

// Three channels of the phase-difference accumulator: channel 1 is always 0
// (a genuine zero deviation), channel 2 alternates by 1000 ps, channel 3 is
// always missing.
class VirtAllanMinMax : public ::testing::Test {
 protected:
  void SetUp() override {
    allan.SetIntervalMs(1000);
    allan.SetOnAdevMin([this](int v, int t) { minEvents.push_back({v, t}); });
    allan.SetOnAdevMax([this](int v, int t) { maxEvents.push_back({v, t}); });
    for (int i = 1; i <= 10; ++i) {
      clock.Advance(std::chrono::seconds(1));
      if (i == 3) thirdSample = clock.WallNow();
      const double line[3] = {0.0, i % 2 == 0 ? 1000.0 : 0.0, kNaN};
      allan.AddData(line);
    }
  }

  TVQ_ManualClock clock{TVQ_Clock::Wall::time_point{} + std::chrono::hours(24 * 365 * 50)};
  TVirtAllanData allan{-1, 19, amPhaseDiff, clock};
  std::vector<std::pair<int, int>> minEvents;
  std::vector<std::pair<int, int>> maxEvents;
  TVQ_Clock::Wall::time_point thirdSample;
  const double alternating = std::sqrt(2e6) * 1e-12;  // second differences of +-2000 ps, tau 1 s
};

TEST_F(VirtAllanMinMax, OnlyPointsWithAValueGetExtremes) {
  EXPECT_EQ(allan.GetLastTau(), 1);  // m = 2 has three boundaries at 2, 4, 6
  EXPECT_DOUBLE_EQ(allan.GetAdev(1, 0), alternating);
  EXPECT_EQ(allan.GetAdev(1, 1), 0.0);  // every second phase: constant
  EXPECT_DOUBLE_EQ(allan.GetAdevMin(1, 0), alternating);
  EXPECT_DOUBLE_EQ(allan.GetAdevMax(1, 0), alternating);
  EXPECT_EQ(allan.GetAdevMinTime(1, 0), thirdSample);
  EXPECT_EQ(allan.GetAdevMaxTime(1, 0), thirdSample);
  EXPECT_EQ(allan.GetAdevMin(0, 0), 0.0);

  for (int t = 0; t <= 19; ++t) {
    EXPECT_TRUE(std::isnan(allan.GetAdevMin(2, t))) << t;
    EXPECT_TRUE(std::isnan(allan.GetAdevMax(2, t))) << t;
    EXPECT_EQ(allan.GetAdevMinTime(2, t), TAllanTime{}) << t;
  }
  for (int t = 2; t <= 19; ++t) EXPECT_TRUE(std::isnan(allan.GetAdevMin(1, t))) << t;
  EXPECT_TRUE(allan.GetGraphicPersistValues(3).empty());
  for (const auto& events : {minEvents, maxEvents}) {
    for (const auto& [v, t] : events) EXPECT_TRUE(v != 2 && t <= 1) << v << "," << t;
  }
  EXPECT_EQ(minEvents, (std::vector<std::pair<int, int>>{{0, 0}, {1, 0}, {0, 1}, {1, 1}}));
}

TEST_F(VirtAllanMinMax, ScaleSkipsZeroAndMissingDeviations) {
  const double decade = std::log10(alternating);  // -8.85
  for (bool recorded : {true, false}) {
    SCOPED_TRACE(recorded ? "recorded" : "actual");
    auto scale = [&](int k) { return recorded ? allan.GetGraphicScaleMinMax(k) : allan.GetGraphicActualScaleMinMax(k); };
    const TAllanMinMax channel2 = scale(2);
    EXPECT_EQ(channel2.xLastTau, 1);
    EXPECT_EQ(channel2.yMin, -10);
    EXPECT_EQ(channel2.yMax, -8);
    for (int k : {1, 3, 4, 0}) {
      const TAllanMinMax nothing = scale(k);
      EXPECT_EQ(nothing.yMin, INT_MAX) << k;
      EXPECT_EQ(nothing.yMax, INT_MIN) << k;
      EXPECT_EQ(nothing.xLastTau, 1) << k;
    }
  }
  const std::vector<double> graphic = allan.GetGraphicValues(2);
  ASSERT_EQ(graphic.size(), 20u);
  EXPECT_DOUBLE_EQ(graphic[0], decade);
  EXPECT_EQ(graphic[1], 0.0);
  const std::vector<TAllanPersistEntry> persist = allan.GetGraphicPersistValues(2);
  ASSERT_EQ(persist.size(), 2u);
  EXPECT_EQ(persist[0].FTau, 0);
  EXPECT_DOUBLE_EQ(persist[0].FMin, decade);
  EXPECT_DOUBLE_EQ(persist[0].FMax, decade);
  EXPECT_EQ(persist[1].FTau, 1);
  EXPECT_EQ(persist[1].FMin, 0.0);
}

// The persist trace keeps the logarithms' extremes; a deviation of 0 shows as
// 0 beside deviations below 1, whose logarithms are negative.
TEST(VirtAllanData, PersistKeepsZeroBesideNegativeLogarithms) {
  TVirtAllanData allan(-1, 0, amFreq);
  FeedRow(allan, {1e-9, 1e-9});  // a difference of 0: deviation 0
  ASSERT_EQ(allan.GetAdev(0, 0), 0.0);
  FeedRow(allan, {3e-9});  // mean (0 + 4e-18) / 2: deviation 1e-9
  ASSERT_NEAR(allan.GetAdev(0, 0), 1e-9, 1e-24);
  const std::vector<TAllanPersistEntry> persist = allan.GetGraphicPersistValues(1);
  ASSERT_EQ(persist.size(), 1u);
  EXPECT_NEAR(persist[0].FMin, -9.0, 1e-12);
  EXPECT_EQ(persist[0].FMax, 0.0);
}

TEST(VirtAllanData, ScaleRoundsDecadesHalfToEven) {
  // A deviation of 10^0.5: log10 - 1 = -0.5 and log10 + 1 = 1.5 round to 0 and 2.
  TVirtAllanData allan(-1, 0, amFreq);
  FeedRow(allan, {0.0, std::sqrt(20.0)});
  ASSERT_EQ(std::log10(allan.GetAdev(0, 0)), 0.5);
  for (const TAllanMinMax& scale : {allan.GetGraphicScaleMinMax(1), allan.GetGraphicActualScaleMinMax(1)}) {
    EXPECT_EQ(scale.yMin, 0);
    EXPECT_EQ(scale.yMax, 2);
    EXPECT_EQ(scale.xLastTau, 0);
  }
}

TEST(VirtAllanData, TauCaptions) {
  struct Case {
    int len;
    int intervalMs;
    int64_t m;
    const char* text;
  };
  const Case cases[] = {
      {8, 100, 1, "  100 ms"}, {8, 100, 5, "  500 ms"}, {0, 500, 2, "1 s"},      {0, 500, 5, "2.5 s"},
      {0, 250, 5, "1.25 s"},  {0, 1, 1001, "1.001 s"}, {3, 1000, 1, "1 s"},      {2, 1000, 1, "1 s"},
      {0, 20000, 2000000, "40000000 s"},                {6, 1, 1, "  1 ms"},      {-5, 1, 1, "1 ms"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TVirtAllanData::TauCaptionText(c.len, c.intervalMs, c.m), c.text) << c.intervalMs << " x " << c.m;

  TVirtAllanData allan(-1, 19, amFreq);
  EXPECT_EQ(allan.GetTauCaption(8, 100), "");
  FeedRow(allan, std::vector<double>(10, 1e-9));  // the second block of m = 5 ends at 10
  EXPECT_EQ(allan.GetLastTau(), 2);
  EXPECT_EQ(allan.GetTauCaption(8, 100), "  100 ms  200 ms  500 ms");
  EXPECT_EQ(allan.GetTauCaption(8, 0), "");
}

TEST(VirtAllanData, RowsFollowTheChannelCount) {
  const std::vector<double> y0 = WhiteNoise(12, 1e-9, 1);
  const std::vector<double> y1 = WhiteNoise(12, 1e-9, 2);
  const std::vector<double> z = WhiteNoise(9, 1e-9, 3);  // third channel from sample 4 on
  TVirtAllanData allan(-1, 2, amFreq);
  TVirtAllanData twoOnly(-1, 2, amFreq);
  for (std::size_t i = 0; i < 12; ++i) {
    const double two[2] = {y0[i], y1[i]};
    twoOnly.AddData(two);
    if (i < 3) {
      allan.AddData(two);
    } else {
      const double three[3] = {y0[i], y1[i], z[i - 3]};
      allan.AddData(three);
    }
  }
  EXPECT_EQ(allan.GetRealCount(), 3);
  EXPECT_EQ(allan.GetVirtualCount(), 3);
  EXPECT_EQ(allan.GetTextValues(1), twoOnly.GetTextValues(1));
  EXPECT_EQ(allan.GetTextValues(2), twoOnly.GetTextValues(2));
  // m = 1 uses all of z; m = 2 drops block 3-4 that z joined half-way; m = 5
  // drops block 1-5 and has only one complete block (6-10) so far.
  EXPECT_NEAR(allan.GetAdev(2, 0), FreqAdevReference(z, 1), 1e-21);
  EXPECT_NEAR(allan.GetAdev(2, 1), FreqAdevReference(z, 2, 1), 1e-21);
  EXPECT_GT(allan.GetAdev(2, 1), 0.0);
  EXPECT_EQ(allan.GetAdev(2, 2), 0.0);

  // Fewer channels: the dropped rows are gone, the rest continues.
  const double one[1] = {y0[0]};
  allan.AddData(one);
  twoOnly.AddData(std::vector<double>{y0[0], y1[0]});
  EXPECT_EQ(allan.GetRealCount(), 1);
  EXPECT_TRUE(allan.GetTextValues(2).empty());
  EXPECT_EQ(allan.GetAdev(1, 0), 0.0);
  EXPECT_EQ(allan.GetAdev(0, 0), twoOnly.GetAdev(0, 0));

  // A row that comes back starts empty.
  allan.AddData(std::vector<double>{y0[1], y1[1]});
  EXPECT_EQ(allan.GetAdev(1, 0), 0.0);
  EXPECT_TRUE(std::isnan(allan.GetAdevMin(1, 0)));
  EXPECT_TRUE(allan.GetGraphicPersistValues(2).empty());

  // Bounded: at most 24 rows; an empty line changes nothing.
  allan.AddData(std::vector<double>(30, 1e-9));
  EXPECT_EQ(allan.GetRealCount(), TVirtAllanData::kMaxInputs);
  const int64_t samples = allan.GetSampleCount();
  allan.AddData(std::span<const double>());
  EXPECT_EQ(allan.GetSampleCount(), samples);
  EXPECT_EQ(allan.GetRealCount(), TVirtAllanData::kMaxInputs);
  allan.SetVirtualFactors(-1);
  EXPECT_EQ(allan.GetRealCount(), TVirtAllanData::kMaxInputs);
  allan.SetVirtualFactors(2);
  EXPECT_EQ(allan.GetRealCount(), 2);
}

TEST(VirtAllanData, ResetsClearWhatTheySay) {
  TVQ_ManualClock clock(TVQ_Clock::Wall::time_point{} + std::chrono::hours(1000));
  TVirtAllanData allan(-1, 19, amFreq, clock);
  allan.SetDecayConst(5);
  allan.SetVirtualFactors(2);
  EXPECT_EQ(allan.GetRealCount(), 2);
  EXPECT_FALSE(allan.IsRunning());
  const std::vector<double> y0 = WhiteNoise(20, 1e-9, 4);
  const std::vector<double> y1 = WhiteNoise(20, 1e-9, 5);
  for (std::size_t i = 0; i < 20; ++i) allan.AddData(std::vector<double>{y0[i], y1[i]});
  EXPECT_TRUE(allan.IsRunning());
  EXPECT_EQ(allan.GetStartTime(), clock.WallNow());

  allan.ResetPersist(0);
  allan.ResetPersist(-1);
  allan.ResetPersist(2);
  EXPECT_TRUE(allan.GetGraphicPersistValues(1).empty());
  EXPECT_EQ(allan.GetGraphicPersistValues(2).size(), 4u);  // m = 1, 2, 5, 10
  EXPECT_FALSE(std::isnan(allan.GetAdevMin(0, 0)));

  allan.ResetMinimumMaximum(1);
  allan.ResetMinimumMaximum(7);
  EXPECT_TRUE(std::isnan(allan.GetAdevMin(1, 0)));
  EXPECT_TRUE(std::isnan(allan.GetAdevMax(1, 0)));
  EXPECT_FALSE(std::isnan(allan.GetAdevMin(0, 0)));
  EXPECT_GT(allan.GetAdev(1, 0), 0.0);

  allan.Reset();
  EXPECT_FALSE(allan.IsRunning());
  EXPECT_EQ(allan.GetStartTime(), TAllanTime{});
  EXPECT_EQ(allan.GetSampleCount(), 0);
  EXPECT_EQ(allan.GetLastTau(), -1);
  EXPECT_TRUE(allan.GetADEVCounts().empty());
  EXPECT_EQ(allan.GetTextValues(1), std::vector<double>(20, 0.0));
  EXPECT_TRUE(std::isnan(allan.GetAdevMin(0, 0)));
  EXPECT_TRUE(allan.GetGraphicPersistValues(2).empty());
  EXPECT_EQ(allan.GetTauQuadN(0, 0), 0.0);
  EXPECT_EQ(allan.GetRealCount(), 2);
  EXPECT_EQ(allan.GetDecayConst(), 5);

  // No block of the old run survives: the first sample gives nothing.
  allan.AddData(std::vector<double>{1.0, 1.0});
  EXPECT_EQ(allan.GetLastTau(), -1);
  allan.AddData(std::vector<double>{1.0, 1.0});
  EXPECT_EQ(allan.GetAdev(0, 0), 0.0);
  EXPECT_EQ(allan.GetADEVCounts(), std::vector<int64_t>{1});
}

// Fed on one thread and read on another, as the store and the display do;
// the callbacks query the accumulator on the feeding thread.
TEST(VirtAllanData, DebugLogCarriesTheTag) {
  TTempFolder folder;
  const int logId = NewLog();
  ASSERT_GE(logId, 0);
  SetLogFile(logId, folder.File("allan.log"), false);
  {
    TVirtAllanData allan(logId, 19, amPhaseDiff);
    allan.SetIntervalMs(1000);
    allan.SetDecayConst(10);
    FeedRow(allan, {0.0, 100.0, 300.0});
    const std::vector<double> twoChannels = {1.5, -2.25e-12};
    allan.AddData(twoChannels);
  }
  const std::string file = FindLogger(logId)->InternLogFileName();
  SetLogFile(logId, "", false);

  const std::string text = ReadFile(file);
  for (const char* line : {"TVirtAllanData-PhaseDiff.Create: TauMax=19\r\n", "TVirtAllanData-PhaseDiff.SetDecayConst 10\r\n",
                           "TVirtAllanData-PhaseDiff.AddData sampleCount=3, Kanalanz=1, Data=300\r\n",
                           "TVirtAllanData-PhaseDiff.CalcADEVphase v=0 Input=300 LastTau=0\r\n",
                           "TVirtAllanData-PhaseDiff.CalcADEVMinMax[0]\r\n",
                           "TVirtAllanData-PhaseDiff.CalcADEVMinMax FADEVMin[0,0]=7.07106781186548E-11\r\n",
                           "TVirtAllanData-PhaseDiff.AddData sampleCount=4, Kanalanz=2, Data=1.5; -2.25E-12\r\n",
                           "TVirtAllanData-PhaseDiff.CalcADEVphase v=0 Input=1.5 LastTau=0\r\n",
                           "TVirtAllanData-PhaseDiff.CalcADEVphase v=1 Input=-2.25E-12 LastTau=0\r\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
}
