#include "app/analysis/App_StabilityNoise.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// The differencing stops once delta falls below this.
constexpr double kStationaryDelta = 0.25;
constexpr int64_t kB1MinAverages = 4;

constexpr int kMaxDifferences = 2;

// Calls f with the frequency averages over m samples of each segment, and one
// NaN between segments so that no pair of neighbours spans a break.
template <class F>
void ForEachAverage(const TPhaseSeries& series, int64_t m, const F& f) {
  const auto step = static_cast<std::size_t>(m);
  const double span = static_cast<double>(m) * series.Tau0;
  bool first = true;
  for (const TPhaseSegment& segment : series.Segments) {
    if (!first) f(kNaN);
    first = false;
    for (std::size_t i = segment.Begin; i + step < segment.End; i += step)
      f((series.X[i + step] - series.X[i]) / span);
  }
}

// Lag-1 sums of a stream and of its first and second differences.
class TDifferencedLag1 {
 public:
  void Add(double value) {
    const double first = value - FLast;
    const double second = first - FLastFirst;
    FLevels[0].Add(value);
    if (FSeen >= 1) FLevels[1].Add(first);
    if (FSeen >= 2) FLevels[2].Add(second);
    FLast = value;
    FLastFirst = first;
    ++FSeen;
  }
  int64_t Levels0Count() const { return FLevels[0].Count(); }
  // p = -2 (delta + d) at the first level d that is stationary enough.
  std::optional<double> Exponent(int maxDifferences) const {
    for (int d = 0; d <= std::min(maxDifferences, kMaxDifferences); ++d) {
      const double r1 = FLevels[static_cast<std::size_t>(d)].Value();
      if (std::isnan(r1)) return std::nullopt;
      const double delta = r1 / (1 + r1);
      if (delta < kStationaryDelta || d == maxDifferences) return -2 * (delta + d);
    }
    return std::nullopt;
  }

 private:
  std::array<TLag1Accumulator, kMaxDifferences + 1> FLevels;
  double FLast = kNaN, FLastFirst = kNaN;
  int64_t FSeen = 0;
};

// B1 of the averages: their standard variance over their Allan variance.
double ObservedB1(std::span<const double> z) {
  double sum = 0;
  int64_t count = 0;
  for (double v : z)
    if (!std::isnan(v)) sum += v, ++count;
  const double mean = sum / static_cast<double>(count);
  double spread = 0, allan = 0;
  int64_t pairs = 0;
  for (std::size_t i = 0; i < z.size(); ++i) {
    if (std::isnan(z[i])) continue;
    spread += (z[i] - mean) * (z[i] - mean);
    if (i + 1 < z.size() && !std::isnan(z[i + 1])) {
      allan += (z[i + 1] - z[i]) * (z[i + 1] - z[i]);
      ++pairs;
    }
  }
  if (count < 2 || pairs < 1 || allan <= 0) return kNaN;
  return (spread / static_cast<double>(count - 1)) / (allan / (2.0 * static_cast<double>(pairs)));
}

}  // namespace

void TLag1Accumulator::Add(double value) {
  if (std::isnan(value)) {
    FHasPrevious = false;
    return;
  }
  if (FCount == 0) FShift = value;
  const double z = value - FShift;
  ++FCount;
  FSum += z;
  FSquares += z * z;
  if (FHasPrevious) {
    FProducts += FPrevious * z;
    FPairFirsts += FPrevious;
    FPairSeconds += z;
    ++FPairs;
  }
  FPrevious = z;
  FHasPrevious = true;
}

double TLag1Accumulator::Value() const {
  if (FPairs < 2) return kNaN;
  const double mean = FSum / static_cast<double>(FCount);
  const double spread = FSquares - static_cast<double>(FCount) * mean * mean;
  if (!(spread > 0)) return kNaN;
  return (FProducts - mean * (FPairFirsts + FPairSeconds) + static_cast<double>(FPairs) * mean * mean) / spread;
}

std::optional<double> Lag1SpectralExponent(std::span<const double> z, int maxDifferences) {
  TDifferencedLag1 sums;
  for (double v : z) sums.Add(v);
  return sums.Exponent(maxDifferences);
}

double ExpectedB1(int64_t averages, double mu) {
  const auto n = static_cast<double>(averages);
  if (std::fabs(mu) < 1e-12) return n * std::log(n) / (2 * (n - 1) * std::log(2.0));
  return n * (1 - std::pow(n, mu)) / (2 * (n - 1) * (1 - std::pow(2.0, mu)));
}

TNoiseIdentification IdentifyNoise(const TPhaseSeries& series, int64_t m, int minAlpha,
                                   const std::optional<TNoiseIdentification>& previous) {
  const TNoiseIdentification carried{previous ? previous->Alpha : kAlphaWFM, TNoiseMethod::Carried};
  TDifferencedLag1 lag1;
  ForEachAverage(series, m, [&](double v) { lag1.Add(v); });
  const int64_t count = lag1.Levels0Count();
  if (count >= kLag1MinAverages) {
    // The averages are frequency data: their exponent is alpha itself. One
    // difference reaches RWFM, two reach RRFM.
    const std::optional<double> p = lag1.Exponent(minAlpha < kAlphaRWFM ? 2 : 1);
    if (p) return {std::clamp(static_cast<int>(std::lround(*p)), minAlpha, kAlphaWPM), TNoiseMethod::Lag1};
    return carried;
  }
  std::vector<double> averages;
  ForEachAverage(series, m, [&](double v) { averages.push_back(v); });
  if (count < kB1MinAverages) return carried;
  const double b1 = ObservedB1(averages);
  if (!(b1 > 0)) return carried;
  // The Allan variance goes as tau^mu with mu = -alpha - 1 (mu = -2 for both
  // phase noises); take the mu whose expected B1 is nearest on a log scale.
  int bestMu = -2;
  double bestDistance = std::numeric_limits<double>::infinity();
  for (int mu = -2; mu <= 1; ++mu) {
    const double distance = std::fabs(std::log(b1 / ExpectedB1(count, mu)));
    if (distance < bestDistance) bestDistance = distance, bestMu = mu;
  }
  if (bestMu == -2) {
    // B1 cannot tell white from flicker phase noise: keep the one found before.
    const bool phaseBefore = previous && previous->Alpha >= kAlphaFPM;
    return {phaseBefore ? previous->Alpha : kAlphaWPM, TNoiseMethod::B1};
  }
  return {std::max(-bestMu - 1, minAlpha), TNoiseMethod::B1};
}
