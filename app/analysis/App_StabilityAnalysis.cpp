#include "app/analysis/App_StabilityAnalysis.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <map>

#include "app/analysis/App_StabilityConfidence.h"
#include "app/analysis/App_StabilityEstimators.h"
#include "app/analysis/App_StabilityNoise.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Prefix counts of gaps are 32 bits wide.
constexpr std::size_t kMaxSeriesLength = std::numeric_limits<uint32_t>::max() - 1;

struct TEstimatorInfo {
  TStabilityEstimator Estimator;
  const char* Name;
  const char* Title;
};
constexpr std::array<TEstimatorInfo, kStabilityEstimatorCount> kEstimators{{
    {TStabilityEstimator::Adev, "adev", "ADEV"},
    {TStabilityEstimator::Oadev, "oadev", "OADEV"},
    {TStabilityEstimator::Mdev, "mdev", "MDEV"},
    {TStabilityEstimator::Tdev, "tdev", "TDEV"},
    {TStabilityEstimator::Hdev, "hdev", "HDEV"},
    {TStabilityEstimator::Ohdev, "ohdev", "OHDEV"},
    {TStabilityEstimator::Totdev, "totdev", "TOTDEV"},
    {TStabilityEstimator::Mtie, "mtie", "MTIE"},
}};

const TEstimatorInfo& InfoOf(TStabilityEstimator estimator) {
  return kEstimators[static_cast<std::size_t>(estimator)];
}

bool IsHadamard(TStabilityEstimator e) { return e == TStabilityEstimator::Hdev || e == TStabilityEstimator::Ohdev; }

// Averaging factors of an automatic set, ascending, up to `largest`.
std::vector<int64_t> AutomaticFactors(TTauSet set, int64_t largest) {
  std::vector<int64_t> factors;
  const auto add = [&](int64_t m) {
    if (m >= 1 && m <= largest && (factors.empty() || factors.back() < m)) factors.push_back(m);
  };
  switch (set) {
    case TTauSet::Octave:
      for (int64_t m = 1; m <= largest && m > 0; m *= 2) add(m);
      break;
    case TTauSet::Decade:
      for (int64_t decade = 1; decade <= largest && decade > 0; decade *= 10)
        for (int64_t step : {1, 2, 5}) add(decade * step);
      break;
    case TTauSet::Many:
      for (int k = 0;; ++k) {
        const double m = std::round(std::pow(10.0, k / 10.0));
        if (m > static_cast<double>(largest)) break;
        add(static_cast<int64_t>(m));
      }
      break;
    case TTauSet::List: break;
  }
  return factors;
}

// The largest averaging factor with at least one term in `points` phase points.
int64_t LargestFactor(TStabilityEstimator estimator, std::size_t points) {
  int64_t m = 1;
  if (PointsNeeded(estimator, 1) > points) return 0;
  // PointsNeeded grows linearly in m: bisect on it.
  int64_t high = static_cast<int64_t>(points);
  while (m < high) {
    const int64_t middle = m + (high - m + 1) / 2;
    if (PointsNeeded(estimator, middle) <= points)
      m = middle;
    else
      high = middle - 1;
  }
  return m;
}

std::string SecondsText(double seconds) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, seconds, std::chars_format::general, 6);
  return std::string(buffer, result.ptr) + " s";
}

// Noise type, degrees of freedom and interval of one row.
void AddConfidence(TStabilityRow& row, const TPhaseSeries& series, const TStabilityOptions& options,
                   std::optional<TNoiseIdentification>& previous) {
  if (row.Estimator == TStabilityEstimator::Mtie) {
    row.Edf = row.Low = row.High = kNaN;
    return;
  }
  const bool hadamard = IsHadamard(row.Estimator);
  const TNoiseIdentification noise = IdentifyNoise(series, row.M, hadamard ? -4 : kAlphaRWFM, previous);
  previous = noise;
  row.Alpha = noise.Alpha;
  row.Noise = noise.Method;
  const int64_t m = row.M;
  switch (row.Estimator) {
    case TStabilityEstimator::Adev: row.Edf = GreenhallEdf(row.Alpha, 2, m, false, 1, row.Terms); break;
    case TStabilityEstimator::Oadev: row.Edf = GreenhallEdf(row.Alpha, 2, m, false, m, row.Terms); break;
    case TStabilityEstimator::Mdev:
    case TStabilityEstimator::Tdev: row.Edf = GreenhallEdf(row.Alpha, 2, m, true, m, row.Terms); break;
    case TStabilityEstimator::Hdev: row.Edf = GreenhallEdf(row.Alpha, 3, m, false, 1, row.Terms); break;
    case TStabilityEstimator::Ohdev: row.Edf = GreenhallEdf(row.Alpha, 3, m, false, m, row.Terms); break;
    case TStabilityEstimator::Totdev: {
      double record = 0;
      int64_t overlapping = 0;  // terms of an overlapping Allan variance of the same data
      for (const TPhaseSegment& segment : series.Segments) {
        record += static_cast<double>(segment.Size() - 1) * series.Tau0;
        overlapping += std::max<int64_t>(0, static_cast<int64_t>(segment.Size()) - 2 * m);
      }
      row.Edf = TotalVarianceEdf(row.Alpha, record, row.Tau);
      if (std::isnan(row.Edf)) row.Edf = GreenhallEdf(row.Alpha, 2, m, false, m, std::max<int64_t>(1, overlapping));
      break;
    }
    case TStabilityEstimator::Mtie: break;
  }
  const TDeviationInterval interval = ChiSquareInterval(row.Deviation, row.Edf, options.Confidence);
  row.Low = interval.Low;
  row.High = interval.High;
}

std::string CheckOptions(const TStabilityOptions& options) {
  if (!(options.Tau0 > 0) || !std::isfinite(options.Tau0)) return "tau0 must be a positive number of seconds";
  if (!(options.Confidence > 0 && options.Confidence < 1)) return "the confidence must lie between 0 and 1";
  if (options.Estimators.empty()) return "no estimator chosen";
  if (options.Taus == TTauSet::List) {
    if (options.TauList.empty()) return "the tau list is empty";
    for (double tau : options.TauList)
      if (!AveragingFactor(tau, options.Tau0))
        return "tau " + SecondsText(tau) + " is not a multiple of tau0 (" + SecondsText(options.Tau0) + ")";
  }
  return {};
}

}  // namespace

const char* StabilityEstimatorName(TStabilityEstimator estimator) { return InfoOf(estimator).Name; }
const char* StabilityEstimatorTitle(TStabilityEstimator estimator) { return InfoOf(estimator).Title; }

std::optional<TStabilityEstimator> StabilityEstimatorFromName(const std::string& name) {
  for (const TEstimatorInfo& info : kEstimators)
    if (name == info.Name) return info.Estimator;
  return std::nullopt;
}

const char* NoiseTypeName(int alpha) {
  switch (alpha) {
    case 2: return "WPM";
    case 1: return "FPM";
    case 0: return "WFM";
    case -1: return "FFM";
    case -2: return "RWFM";
    case -3: return "FWFM";
    case -4: return "RRFM";
    default: return "?";
  }
}

const char* NoiseMethodName(TNoiseMethod method) {
  switch (method) {
    case TNoiseMethod::Lag1: return "lag1";
    case TNoiseMethod::B1: return "b1";
    case TNoiseMethod::Carried: return "carried";
    case TNoiseMethod::None: break;
  }
  return "";
}

std::optional<int64_t> AveragingFactor(double tau, double tau0) {
  if (!(tau > 0) || !(tau0 > 0) || !std::isfinite(tau) || !std::isfinite(tau0)) return std::nullopt;
  const double ratio = tau / tau0;
  const double m = std::round(ratio);
  if (m < 1 || m > 9e15 || std::fabs(ratio - m) > 1e-9 * m) return std::nullopt;
  return static_cast<int64_t>(m);
}

TStabilityResult AnalyzeStability(std::span<const double> values, const TStabilityOptions& options) {
  TStabilityResult result;
  result.Error = CheckOptions(options);
  if (!result.Error.empty()) return result;
  if (values.size() > kMaxSeriesLength) {
    result.Error = "more than " + std::to_string(kMaxSeriesLength) + " values";
    return result;
  }
  const TPhaseSeries series = options.Kind == TStabilityDataKind::Phase
                                  ? TPhaseSeries::FromPhase(values, options.Tau0)
                                  : TPhaseSeries::FromFrequency(values, options.Tau0);
  result.Values = series.Values;
  result.Gaps = series.Gaps;
  const std::size_t points = series.LongestSegment();
  if (points < 2 || series.Values < 2) {
    result.Error = "too few values to analyse (" + std::to_string(series.Values) + ")";
    return result;
  }
  TDeviationCalculator calculator(series);
  // Taus of a list that an estimator cannot reach, per tau: said once each.
  std::map<int64_t, std::string> omitted;
  for (TStabilityEstimator estimator : options.Estimators) {
    std::vector<int64_t> factors;
    if (options.Taus == TTauSet::List) {
      for (double tau : options.TauList) factors.push_back(*AveragingFactor(tau, options.Tau0));
      std::sort(factors.begin(), factors.end());
      factors.erase(std::unique(factors.begin(), factors.end()), factors.end());
    } else {
      factors = AutomaticFactors(options.Taus, LargestFactor(estimator, points));
    }
    std::optional<TNoiseIdentification> previous;
    const std::vector<TDeviation> deviations = calculator.Compute(estimator, factors);
    for (std::size_t k = 0; k < factors.size(); ++k) {
      const int64_t m = factors[k];
      const TDeviation& deviation = deviations[k];
      if (deviation.Terms == 0) {
        std::string& names = omitted[m];
        names += (names.empty() ? "" : ", ") + std::string(StabilityEstimatorTitle(estimator));
        continue;
      }
      TStabilityRow row;
      row.Estimator = estimator;
      row.M = m;
      row.Tau = static_cast<double>(m) * options.Tau0;
      row.N = series.Values;
      row.Terms = deviation.Terms;
      row.Deviation = deviation.Value;
      AddConfidence(row, series, options, previous);
      result.Rows.push_back(row);
    }
  }
  for (const auto& [m, names] : omitted)
    result.Notes.push_back("tau " + SecondsText(static_cast<double>(m) * options.Tau0) + " omitted for " + names +
                           ": too few points");
  if (result.Rows.empty() && result.Error.empty()) result.Error = "no tau has enough points for the estimators";
  return result;
}
