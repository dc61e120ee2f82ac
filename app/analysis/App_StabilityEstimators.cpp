#include "app/analysis/App_StabilityEstimators.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Index range [first, last] of the valid values; first > last when there is none.
std::pair<std::size_t, std::size_t> ValidRange(std::span<const double> values) {
  std::size_t first = 0;
  while (first < values.size() && std::isnan(values[first])) ++first;
  std::size_t end = values.size();
  while (end > first && std::isnan(values[end - 1])) --end;
  return {first, end};
}

// Two terms at once in one SSE2 register (the x86-64 baseline, so no
// instruction-set flags are needed); GCC and Clang vector extensions.
using TLanes = double __attribute__((vector_size(16)));
constexpr std::size_t kLanes = 2;

// What a term reads its values with: one double, or kLanes neighbours.
struct TLoadOne {
  double operator()(const double* p, std::size_t i) const { return p[i]; }
};
struct TLoadLanes {
  TLanes operator()(const double* p, std::size_t i) const {
    TLanes v;
    std::memcpy(&v, p + i, sizeof v);
    return v;
  }
};

// Sums term(load, i)^2 for i = first, first + stride, ... below end. Several
// partial sums keep the additions independent of each other, which is what
// makes the loop fast on long series; with kLanesToo a contiguous run also
// takes its terms kLanes at a time. With kSkipNaN a NaN term is left out.
template <bool kSkipNaN, bool kLanesToo, class Term>
void SumSquares(std::size_t first, std::size_t end, std::size_t stride, const Term& term, double& sum,
                int64_t& terms) {
  double partial = 0;
  int64_t used = 0;
  std::size_t i = first;
  if constexpr (!kSkipNaN && kLanesToo) {
    if (stride == 1) {
      constexpr std::size_t kStep = 4 * kLanes;
      TLanes lanes[4] = {};
      for (; i + kStep <= end; i += kStep) {
        for (std::size_t k = 0; k < 4; ++k) {
          const TLanes v = term(TLoadLanes{}, i + k * kLanes);
          lanes[k] += v * v;
        }
      }
      const TLanes total = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
      for (std::size_t k = 0; k < kLanes; ++k) partial += total[k];
      used += static_cast<int64_t>(i - first);
    }
  }
  double more[2] = {0, 0};  // the rest (and strided runs) in two chains
  std::size_t chain = 0;
  for (; i < end; i += stride) {
    const double v = term(TLoadOne{}, i);
    if constexpr (kSkipNaN) {
      if (std::isnan(v)) continue;
    }
    more[chain] += v * v;
    chain ^= 1;
    ++used;
  }
  sum += partial + (more[0] + more[1]);
  terms += used;
}

template <bool kLanesToo, class Term>
void SumSquares(bool skipNaN, std::size_t first, std::size_t end, std::size_t stride, const Term& term, double& sum,
                int64_t& terms) {
  if (skipNaN)
    SumSquares<true, false>(first, end, stride, term, sum, terms);
  else
    SumSquares<false, kLanesToo>(first, end, stride, term, sum, terms);
}

// Phase points per block of the sweep over several factors: a block of the
// phase and of the prefix sums stays in the core's cache. Factors up to half
// a block share the sweep; larger ones stream on their own, which the memory
// prefetchers follow better than many distant streams at once.
constexpr std::size_t kBlockPoints = 8192;
constexpr int64_t kLargestSharedFactor = kBlockPoints / 2;

}  // namespace

TPhaseSeries TPhaseSeries::FromPhase(std::span<const double> x, double tau0) {
  TPhaseSeries series;
  series.Tau0 = tau0;
  const auto [first, end] = ValidRange(x);
  if (first >= end) return series;
  series.X = x.subspan(first, end - first);
  series.Gaps = std::count_if(series.X.begin(), series.X.end(), [](double v) { return std::isnan(v); });
  series.HasNaN = series.Gaps > 0;
  series.Values = static_cast<int64_t>(series.X.size()) - series.Gaps;
  series.Segments.push_back({0, series.X.size()});
  return series;
}

TPhaseSeries TPhaseSeries::FromFrequency(std::span<const double> y, double tau0) {
  TPhaseSeries series;
  series.Tau0 = tau0;
  const auto [first, end] = ValidRange(y);
  TLargeVector<double>& phase = series.Summed;
  phase.reserve(end > first ? end - first + 1 : 0);  // values + runs never exceed this
  std::size_t i = first;
  while (i < end) {
    if (std::isnan(y[i])) {
      ++series.Gaps;
      ++i;
      continue;
    }
    // One run of valid values gives one segment of phase, summed with
    // compensation so that long runs keep the precision of their steps.
    TPhaseSegment segment{phase.size(), 0};
    double sum = 0, carry = 0;
    phase.push_back(0.0);
    for (; i < end && !std::isnan(y[i]); ++i) {
      const double step = y[i] * tau0 - carry;
      const double next = sum + step;
      carry = (next - sum) - step;
      sum = next;
      phase.push_back(sum);
      ++series.Values;
    }
    segment.End = phase.size();
    series.Segments.push_back(segment);
  }
  series.X = phase;
  return series;
}

std::size_t TPhaseSeries::LongestSegment() const {
  std::size_t longest = 0;
  for (const TPhaseSegment& segment : Segments) longest = std::max(longest, segment.Size());
  return longest;
}

std::size_t PointsNeeded(TStabilityEstimator estimator, int64_t m) {
  const auto n = static_cast<std::size_t>(m);
  switch (estimator) {
    case TStabilityEstimator::Adev:
    case TStabilityEstimator::Oadev:
    case TStabilityEstimator::Totdev: return 2 * n + 1;
    case TStabilityEstimator::Mdev:
    case TStabilityEstimator::Tdev: return 3 * n;
    case TStabilityEstimator::Hdev:
    case TStabilityEstimator::Ohdev: return 3 * n + 1;
    case TStabilityEstimator::Mtie: return n + 1;
  }
  return 0;
}

TDeviation TDeviationCalculator::Compute(TStabilityEstimator estimator, int64_t m) {
  return Compute(estimator, std::vector<int64_t>{m}).front();
}

std::vector<TDeviation> TDeviationCalculator::Compute(TStabilityEstimator estimator,
                                                      const std::vector<int64_t>& factors) {
  std::vector<TDeviation> deviations(factors.size());
  if (estimator == TStabilityEstimator::Mtie) {
    for (std::size_t k = 0; k < factors.size(); ++k)
      if (factors[k] >= 1) deviations[k] = Mtie(factors[k]);
    return deviations;
  }
  const bool modified = estimator == TStabilityEstimator::Mdev || estimator == TStabilityEstimator::Tdev;
  if (modified && FSumHigh.empty() && !FSeries.X.empty()) BuildPrefixSums();
  std::vector<double> sums(factors.size(), 0.0);
  std::vector<int64_t> terms(factors.size(), 0);
  for (const TPhaseSegment& segment : FSeries.Segments) {
    for (std::size_t from = segment.Begin; from < segment.End; from += kBlockPoints) {
      const std::size_t to = std::min(segment.End, from + kBlockPoints);
      for (std::size_t k = 0; k < factors.size(); ++k)
        if (factors[k] >= 1 && factors[k] <= kLargestSharedFactor)
          AddTerms(estimator, factors[k], segment, from, to, sums[k], terms[k]);
    }
    for (std::size_t k = 0; k < factors.size(); ++k)
      if (factors[k] > kLargestSharedFactor)
        AddTerms(estimator, factors[k], segment, segment.Begin, segment.End, sums[k], terms[k]);
  }
  for (std::size_t k = 0; k < factors.size(); ++k) deviations[k] = Finish(estimator, factors[k], sums[k], terms[k]);
  return deviations;
}

void TDeviationCalculator::AddTerms(TStabilityEstimator estimator, int64_t m, const TPhaseSegment& segment,
                                    std::size_t from, std::size_t to, double& sum, int64_t& terms) const {
  if (segment.Size() < PointsNeeded(estimator, m)) return;
  const auto step = static_cast<std::size_t>(m);
  const double* x = FSeries.X.data();
  const bool skipNaN = FSeries.HasNaN;
  // Terms start at `first` of the segment and below `last`; with stride m
  // they start at segment.Begin + k m.
  const auto run = [&]<bool kLanesToo = true>(std::size_t first, std::size_t last, std::size_t stride,
                                              const auto& term) {
    std::size_t begin = std::max(from, first);
    if (stride > 1) begin = first + (begin - first + stride - 1) / stride * stride;
    const std::size_t end = std::min(to, last);
    if (begin < end) SumSquares<kLanesToo>(skipNaN, begin, end, stride, term, sum, terms);
  };
  switch (estimator) {
    case TStabilityEstimator::Adev:
    case TStabilityEstimator::Oadev: {
      const auto term = [x, step](auto load, std::size_t i) {
        return load(x, i + 2 * step) - 2 * load(x, i + step) + load(x, i);
      };
      run(segment.Begin, segment.End - 2 * step, estimator == TStabilityEstimator::Adev ? step : 1, term);
      break;
    }
    case TStabilityEstimator::Hdev:
    case TStabilityEstimator::Ohdev: {
      const auto term = [x, step](auto load, std::size_t i) {
        return load(x, i + 3 * step) - 3 * load(x, i + 2 * step) + 3 * load(x, i + step) - load(x, i);
      };
      run(segment.Begin, segment.End - 3 * step, estimator == TStabilityEstimator::Hdev ? step : 1, term);
      break;
    }
    case TStabilityEstimator::Mdev:
    case TStabilityEstimator::Tdev: {
      const double* high = FSumHigh.data();
      const double* low = FSumLow.data();
      // The sum over the window [j, j + 3m) of the phase weighted 1, -2, 1 per
      // third: the m second differences of the modified variance at once.
      const auto window = [high, low, step](auto load, std::size_t j) {
        const auto third = [&](const double* sums) {
          return (load(sums, j + 3 * step) - load(sums, j)) - 3 * (load(sums, j + 2 * step) - load(sums, j + step));
        };
        return third(high) + third(low);
      };
      const std::size_t last = segment.End - 3 * step + 1;
      if (FNaNCount.empty()) {
        run(segment.Begin, last, 1, window);
      } else {
        const uint32_t* nan = FNaNCount.data();
        const auto term = [nan, step, window](auto load, std::size_t j) {
          return nan[j + 3 * step] != nan[j] ? kNaN : window(load, j);
        };
        run.operator()<false>(segment.Begin, last, 1, term);
      }
      break;
    }
    case TStabilityEstimator::Totdev: {
      const auto begin = static_cast<std::ptrdiff_t>(segment.Begin);
      const auto last = static_cast<std::ptrdiff_t>(segment.End) - 1;
      const auto reach = static_cast<std::ptrdiff_t>(step);
      // The segment extended by odd reflection at both of its ends.
      const auto at = [x, begin, last](std::ptrdiff_t k) {
        if (k < begin) return 2 * x[begin] - x[2 * begin - k];
        if (k > last) return 2 * x[last] - x[2 * last - k];
        return x[k];
      };
      const auto term = [x, at, reach](auto, std::size_t i) {
        const auto k = static_cast<std::ptrdiff_t>(i);
        return at(k - reach) - 2 * x[k] + at(k + reach);
      };
      run.operator()<false>(segment.Begin + 1, segment.End - 1, 1, term);
      break;
    }
    case TStabilityEstimator::Mtie: break;
  }
}

TDeviation TDeviationCalculator::Finish(TStabilityEstimator estimator, int64_t m, double sum, int64_t terms) const {
  if (terms == 0) return {};
  const double tau = static_cast<double>(m) * FSeries.Tau0;
  const double md = static_cast<double>(m);
  double norm = 2 * tau * tau;
  if (estimator == TStabilityEstimator::Hdev || estimator == TStabilityEstimator::Ohdev) norm = 6 * tau * tau;
  if (estimator == TStabilityEstimator::Mdev || estimator == TStabilityEstimator::Tdev) norm *= md * md;
  double value = std::sqrt(sum / (norm * static_cast<double>(terms)));
  if (estimator == TStabilityEstimator::Tdev) value *= tau / std::sqrt(3.0);
  return {value, terms};
}

void TDeviationCalculator::BuildPrefixSums() {
  const std::span<const double> x = FSeries.X;
  FSumHigh.assign(x.size() + 1, 0.0);
  FSumLow.assign(x.size() + 1, 0.0);
  if (FSeries.HasNaN) FNaNCount.assign(x.size() + 1, 0);
  double high = 0, low = 0;
  uint32_t nan = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    double v = x[i];
    if (std::isnan(v)) {
      v = 0;
      ++nan;
    }
    // Two-sum: `high + v` exactly equals `next + error`.
    const double next = high + v;
    const double part = next - high;
    const double error = (high - (next - part)) + (v - part);
    high = next;
    low += error;
    FSumHigh[i + 1] = high;
    FSumLow[i + 1] = low;
    if (!FNaNCount.empty()) FNaNCount[i + 1] = nan;
  }
}

TDeviation TDeviationCalculator::Mtie(int64_t m) const {
  const std::span<const double> x = FSeries.X;
  const auto window = static_cast<std::size_t>(m);
  double worst = 0;
  int64_t terms = 0;
  std::deque<std::size_t> highs, lows;  // indices of falling maxima and rising minima
  for (const TPhaseSegment& segment : FSeries.Segments) {
    if (segment.Size() < window + 1) continue;
    highs.clear();
    lows.clear();
    for (std::size_t i = segment.Begin; i < segment.End; ++i) {
      if (!std::isnan(x[i])) {
        while (!highs.empty() && x[highs.back()] <= x[i]) highs.pop_back();
        highs.push_back(i);
        while (!lows.empty() && x[lows.back()] >= x[i]) lows.pop_back();
        lows.push_back(i);
      }
      if (i < segment.Begin + window) continue;
      const std::size_t start = i - window;
      while (!highs.empty() && highs.front() < start) highs.pop_front();
      while (!lows.empty() && lows.front() < start) lows.pop_front();
      if (highs.empty()) continue;  // a window of gaps only
      worst = std::max(worst, x[highs.front()] - x[lows.front()]);
      ++terms;
    }
  }
  if (terms == 0) return {};
  return {worst, terms};
}
