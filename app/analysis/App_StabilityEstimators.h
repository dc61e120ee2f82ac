#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "app/analysis/App_LargeBuffer.h"
#include "app/analysis/App_StabilityAnalysis.h"

// The estimators work on phase: frequency data are summed into phase first.
// A gap in phase data is a NaN point that terms touching it skip; a gap in
// frequency data breaks the phase into segments (the phase step across the
// gap is unknown) and no term spans two segments.

struct TPhaseSegment {
  std::size_t Begin = 0, End = 0;  // [Begin, End) in TPhaseSeries::X
  std::size_t Size() const { return End - Begin; }
};

// Phase data are used where they are (the caller keeps them alive); phase
// summed from frequency data is owned.
struct TPhaseSeries {
  std::span<const double> X;  // seconds; NaN only in phase data
  TLargeVector<double> Summed;  // X of frequency data
  std::vector<TPhaseSegment> Segments;
  bool HasNaN = false;
  double Tau0 = 1.0;
  int64_t Values = 0;  // valid input values
  int64_t Gaps = 0;    // NaN between the first and the last valid input value

  static TPhaseSeries FromPhase(std::span<const double> x, double tau0);
  static TPhaseSeries FromFrequency(std::span<const double> y, double tau0);
  std::size_t LongestSegment() const;

  TPhaseSeries() = default;
  TPhaseSeries(TPhaseSeries&&) = default;  // a moved vector keeps its buffer, so X stays valid
  TPhaseSeries& operator=(TPhaseSeries&&) = default;
  TPhaseSeries(const TPhaseSeries&) = delete;
  TPhaseSeries& operator=(const TPhaseSeries&) = delete;
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
  // The same for several factors at once: the series is swept block by block
  // and every factor takes its terms of a block while the block is in the
  // cache, so small factors cost one pass over memory together.
  std::vector<TDeviation> Compute(TStabilityEstimator estimator, const std::vector<int64_t>& factors);

 private:
  // Adds the squares of the terms of factor m whose first phase index lies in
  // [from, to) of one segment.
  void AddTerms(TStabilityEstimator estimator, int64_t m, const TPhaseSegment& segment, std::size_t from,
                std::size_t to, double& sum, int64_t& terms) const;
  TDeviation Finish(TStabilityEstimator estimator, int64_t m, double sum, int64_t terms) const;
  TDeviation Mtie(int64_t m) const;
  void BuildPrefixSums();

  const TPhaseSeries& FSeries;
  // Prefix sums of X (NaN counted as 0) as an unevaluated sum high + low, so
  // that the difference of two sums keeps the precision of the window rather
  // than of the whole record.
  TLargeVector<double> FSumHigh, FSumLow;
  TLargeVector<uint32_t> FNaNCount;  // NaN points before each index (phase data with gaps)
};
