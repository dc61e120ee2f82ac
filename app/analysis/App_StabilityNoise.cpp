#include "app/analysis/App_StabilityNoise.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// The differencing stops once delta falls below this.
constexpr double kStationaryDelta = 0.25;
constexpr int64_t kB1MinAverages = 4;

// Frequency averages over m samples of each segment, one NaN between
// segments so that no pair of neighbours spans a break.
std::vector<double> FrequencyAverages(const TPhaseSeries& series, int64_t m) {
  std::vector<double> averages;
  const auto step = static_cast<std::size_t>(m);
  const double span = static_cast<double>(m) * series.Tau0;
  for (const TPhaseSegment& segment : series.Segments) {
    if (!averages.empty()) averages.push_back(kNaN);
    for (std::size_t i = segment.Begin; i + step < segment.End; i += step)
      averages.push_back((series.X[i + step] - series.X[i]) / span);
  }
  return averages;
}

int64_t ValidCount(std::span<const double> z) {
  return std::count_if(z.begin(), z.end(), [](double v) { return !std::isnan(v); });
}

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

double Lag1Autocorrelation(std::span<const double> z) {
  double sum = 0;
  int64_t count = 0;
  for (double v : z)
    if (!std::isnan(v)) sum += v, ++count;
  if (count < 3) return kNaN;
  const double mean = sum / static_cast<double>(count);
  double numerator = 0, denominator = 0;
  int64_t pairs = 0;
  for (std::size_t i = 0; i < z.size(); ++i) {
    if (std::isnan(z[i])) continue;
    denominator += (z[i] - mean) * (z[i] - mean);
    if (i + 1 < z.size() && !std::isnan(z[i + 1])) {
      numerator += (z[i] - mean) * (z[i + 1] - mean);
      ++pairs;
    }
  }
  if (pairs < 2 || !(denominator > 0)) return kNaN;
  return numerator / denominator;
}

std::optional<double> Lag1SpectralExponent(std::vector<double> z, int maxDifferences) {
  for (int d = 0;; ++d) {
    const double r1 = Lag1Autocorrelation(z);
    if (std::isnan(r1)) return std::nullopt;
    const double delta = r1 / (1 + r1);
    if (delta < kStationaryDelta || d >= maxDifferences) return -2 * (delta + d);
    for (std::size_t i = 0; i + 1 < z.size(); ++i) z[i] = z[i + 1] - z[i];
    z.pop_back();
  }
}

double ExpectedB1(int64_t averages, double mu) {
  const auto n = static_cast<double>(averages);
  if (std::fabs(mu) < 1e-12) return n * std::log(n) / (2 * (n - 1) * std::log(2.0));
  return n * (1 - std::pow(n, mu)) / (2 * (n - 1) * (1 - std::pow(2.0, mu)));
}

TNoiseIdentification IdentifyNoise(const TPhaseSeries& series, int64_t m, int minAlpha,
                                   const std::optional<TNoiseIdentification>& previous) {
  const TNoiseIdentification carried{previous ? previous->Alpha : kAlphaWFM, TNoiseMethod::Carried};
  const std::vector<double> averages = FrequencyAverages(series, m);
  const int64_t count = ValidCount(averages);
  if (count >= kLag1MinAverages) {
    // The averages are frequency data: their exponent is alpha itself. One
    // difference reaches RWFM, two reach RRFM.
    const std::optional<double> p = Lag1SpectralExponent(averages, minAlpha < kAlphaRWFM ? 2 : 1);
    if (p) return {std::clamp(static_cast<int>(std::lround(*p)), minAlpha, kAlphaWPM), TNoiseMethod::Lag1};
    return carried;
  }
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
