#include "app/analysis/App_StabilityEstimators.h"

#include <algorithm>
#include <cmath>
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

// Sums term(i)^2 for i = first, first + stride, ... below end. Four partial
// sums keep the additions independent of each other, which is what makes the
// loop fast on long series; with kSkipNaN a NaN term is left out.
template <bool kSkipNaN, class Term>
void SumSquares(std::size_t first, std::size_t end, std::size_t stride, const Term& term, double& sum,
                int64_t& terms) {
  double partial[4] = {0, 0, 0, 0};
  int64_t used = 0;
  std::size_t i = first;
  if constexpr (!kSkipNaN) {
    if (stride == 1) {
      for (; i + 4 <= end; i += 4) {
        const double a = term(i), b = term(i + 1), c = term(i + 2), d = term(i + 3);
        partial[0] += a * a;
        partial[1] += b * b;
        partial[2] += c * c;
        partial[3] += d * d;
      }
      used += static_cast<int64_t>(i - first);
    }
  }
  for (; i < end; i += stride) {
    const double v = term(i);
    if constexpr (kSkipNaN) {
      if (std::isnan(v)) continue;
    }
    partial[0] += v * v;
    ++used;
  }
  sum += (partial[0] + partial[1]) + (partial[2] + partial[3]);
  terms += used;
}

template <class Term>
void SumSquares(bool skipNaN, std::size_t first, std::size_t end, std::size_t stride, const Term& term, double& sum,
                int64_t& terms) {
  if (skipNaN)
    SumSquares<true>(first, end, stride, term, sum, terms);
  else
    SumSquares<false>(first, end, stride, term, sum, terms);
}

TDeviation Finish(double sum, int64_t terms, double norm) {
  if (terms == 0) return {};
  return {std::sqrt(sum / (norm * static_cast<double>(terms))), terms};
}

}  // namespace

TPhaseSeries TPhaseSeries::FromPhase(std::span<const double> x, double tau0) {
  TPhaseSeries series;
  series.Tau0 = tau0;
  const auto [first, end] = ValidRange(x);
  if (first >= end) return series;
  series.X.assign(x.begin() + static_cast<std::ptrdiff_t>(first), x.begin() + static_cast<std::ptrdiff_t>(end));
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
  std::size_t i = first;
  while (i < end) {
    if (std::isnan(y[i])) {
      ++series.Gaps;
      ++i;
      continue;
    }
    // One run of valid values gives one segment of phase, summed with
    // compensation so that long runs keep the precision of their steps.
    TPhaseSegment segment{series.X.size(), 0};
    double phase = 0, carry = 0;
    series.X.push_back(0.0);
    for (; i < end && !std::isnan(y[i]); ++i) {
      const double step = y[i] * tau0 - carry;
      const double next = phase + step;
      carry = (next - phase) - step;
      phase = next;
      series.X.push_back(phase);
      ++series.Values;
    }
    segment.End = series.X.size();
    series.Segments.push_back(segment);
  }
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
  if (m < 1) return {};
  switch (estimator) {
    case TStabilityEstimator::Adev: return Allan(m, false);
    case TStabilityEstimator::Oadev: return Allan(m, true);
    case TStabilityEstimator::Mdev: return Modified(m);
    case TStabilityEstimator::Tdev: {
      TDeviation deviation = Modified(m);
      deviation.Value *= static_cast<double>(m) * FSeries.Tau0 / std::sqrt(3.0);
      return deviation;
    }
    case TStabilityEstimator::Hdev: return Hadamard(m, false);
    case TStabilityEstimator::Ohdev: return Hadamard(m, true);
    case TStabilityEstimator::Totdev: return Total(m);
    case TStabilityEstimator::Mtie: return Mtie(m);
  }
  return {};
}

TDeviation TDeviationCalculator::Allan(int64_t m, bool overlapping) const {
  const double* x = FSeries.X.data();
  const auto step = static_cast<std::size_t>(m);
  double sum = 0;
  int64_t terms = 0;
  for (const TPhaseSegment& segment : FSeries.Segments) {
    if (segment.Size() < 2 * step + 1) continue;
    const auto term = [x, step](std::size_t i) { return x[i + 2 * step] - 2 * x[i + step] + x[i]; };
    SumSquares(FSeries.HasNaN, segment.Begin, segment.End - 2 * step, overlapping ? 1 : step, term, sum, terms);
  }
  const double tau = static_cast<double>(m) * FSeries.Tau0;
  return Finish(sum, terms, 2 * tau * tau);
}

TDeviation TDeviationCalculator::Hadamard(int64_t m, bool overlapping) const {
  const double* x = FSeries.X.data();
  const auto step = static_cast<std::size_t>(m);
  double sum = 0;
  int64_t terms = 0;
  for (const TPhaseSegment& segment : FSeries.Segments) {
    if (segment.Size() < 3 * step + 1) continue;
    const auto term = [x, step](std::size_t i) {
      return x[i + 3 * step] - 3 * x[i + 2 * step] + 3 * x[i + step] - x[i];
    };
    SumSquares(FSeries.HasNaN, segment.Begin, segment.End - 3 * step, overlapping ? 1 : step, term, sum, terms);
  }
  const double tau = static_cast<double>(m) * FSeries.Tau0;
  return Finish(sum, terms, 6 * tau * tau);
}

void TDeviationCalculator::BuildPrefixSums() {
  const std::vector<double>& x = FSeries.X;
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

TDeviation TDeviationCalculator::Modified(int64_t m) {
  if (FSumHigh.empty() && !FSeries.X.empty()) BuildPrefixSums();
  const double* high = FSumHigh.data();
  const double* low = FSumLow.data();
  const uint32_t* nan = FNaNCount.empty() ? nullptr : FNaNCount.data();
  const auto step = static_cast<std::size_t>(m);
  double sum = 0;
  int64_t terms = 0;
  for (const TPhaseSegment& segment : FSeries.Segments) {
    if (segment.Size() < 3 * step) continue;
    // The sum over the window [j, j + 3m) of the phase weighted 1, -2, 1 per
    // third: the m second differences of the modified variance at once.
    const auto term = [=](std::size_t j) {
      if (nan && nan[j + 3 * step] != nan[j]) return kNaN;
      const double coarse = (high[j + 3 * step] - high[j]) - 3 * (high[j + 2 * step] - high[j + step]);
      const double fine = (low[j + 3 * step] - low[j]) - 3 * (low[j + 2 * step] - low[j + step]);
      return coarse + fine;
    };
    SumSquares(nan != nullptr, segment.Begin, segment.End - 3 * step + 1, 1, term, sum, terms);
  }
  const double tau = static_cast<double>(m) * FSeries.Tau0;
  const double md = static_cast<double>(m);
  return Finish(sum, terms, 2 * tau * tau * md * md);
}

TDeviation TDeviationCalculator::Total(int64_t m) const {
  const double* x = FSeries.X.data();
  const auto step = static_cast<std::ptrdiff_t>(m);
  double sum = 0;
  int64_t terms = 0;
  for (const TPhaseSegment& segment : FSeries.Segments) {
    const auto begin = static_cast<std::ptrdiff_t>(segment.Begin);
    const auto last = static_cast<std::ptrdiff_t>(segment.End) - 1;
    if (last - begin < 2 * step) continue;
    // The segment extended by odd reflection at both of its ends.
    const auto at = [=](std::ptrdiff_t k) {
      if (k < begin) return 2 * x[begin] - x[2 * begin - k];
      if (k > last) return 2 * x[last] - x[2 * last - k];
      return x[k];
    };
    const auto term = [&](std::size_t i) {
      const auto k = static_cast<std::ptrdiff_t>(i);
      return at(k - step) - 2 * x[k] + at(k + step);
    };
    SumSquares(FSeries.HasNaN, segment.Begin + 1, segment.End - 1, 1, term, sum, terms);
  }
  const double tau = static_cast<double>(m) * FSeries.Tau0;
  return Finish(sum, terms, 2 * tau * tau);
}

TDeviation TDeviationCalculator::Mtie(int64_t m) const {
  const std::vector<double>& x = FSeries.X;
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
