#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "app/analysis/App_StabilityAnalysis.h"

// The estimators work on phase: frequency data are summed into phase first.
// A gap in phase data is a NaN point that terms touching it skip; a gap in
// frequency data breaks the phase into segments (the phase step across the
// gap is unknown) and no term spans two segments.

struct TPhaseSegment {
  std::size_t Begin = 0, End = 0;  // [Begin, End) in TPhaseSeries::X
  std::size_t Size() const { return End - Begin; }
};

struct TPhaseSeries {
  std::vector<double> X;  // seconds; NaN only in phase data
  std::vector<TPhaseSegment> Segments;
  bool HasNaN = false;
  double Tau0 = 1.0;
  int64_t Values = 0;  // valid input values
  int64_t Gaps = 0;    // NaN between the first and the last valid input value

  static TPhaseSeries FromPhase(std::span<const double> x, double tau0);
  static TPhaseSeries FromFrequency(std::span<const double> y, double tau0);
  std::size_t LongestSegment() const;
};

struct TDeviation {
  double Value = 0;
  int64_t Terms = 0;  // 0: no estimate at this tau
};

// Phase points a segment needs for at least one term at averaging factor m.
std::size_t PointsNeeded(TStabilityEstimator estimator, int64_t m);

// Computes the deviations of one series. MDEV and TDEV use prefix sums of the
// phase, built on first use; every estimator is O(N) per averaging factor.
class TDeviationCalculator {
 public:
  explicit TDeviationCalculator(const TPhaseSeries& series) : FSeries(series) {}
  TDeviation Compute(TStabilityEstimator estimator, int64_t m);

 private:
  TDeviation Allan(int64_t m, bool overlapping) const;
  TDeviation Hadamard(int64_t m, bool overlapping) const;
  TDeviation Modified(int64_t m);
  TDeviation Total(int64_t m) const;
  TDeviation Mtie(int64_t m) const;
  void BuildPrefixSums();

  const TPhaseSeries& FSeries;
  // Prefix sums of X (NaN counted as 0) as an unevaluated sum high + low, so
  // that the difference of two sums keeps the precision of the window rather
  // than of the whole record.
  std::vector<double> FSumHigh, FSumLow;
  std::vector<uint32_t> FNaNCount;  // NaN points before each index (phase data with gaps)
};
