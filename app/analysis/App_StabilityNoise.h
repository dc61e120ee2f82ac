#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "app/analysis/App_StabilityAnalysis.h"
#include "app/analysis/App_StabilityEstimators.h"

// Identification of the dominant power-law noise at one averaging factor.

// Lag-1 autocorrelation of a stream of values in one pass; a NaN breaks the
// pairs around it. Sums are kept relative to the first value, so an offset
// far larger than the spread costs no precision.
class TLag1Accumulator {
 public:
  void Add(double value);
  int64_t Count() const { return FCount; }
  // NaN when fewer than two pairs were added or the values do not vary.
  double Value() const;

 private:
  double FShift = 0, FPrevious = 0;
  bool FHasPrevious = false;
  int64_t FCount = 0, FPairs = 0;
  double FSum = 0, FSquares = 0, FProducts = 0, FPairFirsts = 0, FPairSeconds = 0;
};

// The noise exponent p of S_z(f) ~ f^p of a series by the lag-1
// autocorrelation method: the series is differenced (at most maxDifferences
// times) until delta = r1 / (1 + r1) falls below 0.25; p = -2 (delta + d).
std::optional<double> Lag1SpectralExponent(std::span<const double> z, int maxDifferences);

// Barnes' B1 ratio (standard variance / Allan variance of the averages)
// expected for K averages of noise whose Allan variance goes as tau^mu.
double ExpectedB1(int64_t averages, double mu);

struct TNoiseIdentification {
  int Alpha = kAlphaWFM;
  TNoiseMethod Method = TNoiseMethod::None;
};

// Fewer non-overlapping averages than this use the B1 ratio.
inline constexpr int64_t kLag1MinAverages = 30;

// Identifies the noise at averaging factor m from the non-overlapping
// frequency averages of the series. `minAlpha` is -2 for the Allan family and
// -4 for the Hadamard family. Where the averages are too few even for B1 (or
// B1 cannot tell white from flicker phase) the type of `previous` is carried.
TNoiseIdentification IdentifyNoise(const TPhaseSeries& series, int64_t m, int minAlpha,
                                   const std::optional<TNoiseIdentification>& previous);
