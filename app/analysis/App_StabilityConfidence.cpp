#include "app/analysis/App_StabilityConfidence.h"

#include <boost/math/distributions/chi_squared.hpp>
#include <boost/math/quadrature/gauss_kronrod.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

#include "app/analysis/App_StabilityAnalysis.h"

namespace {

using Real = long double;  // the filter factor's second differences cancel strongly

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Filter factors above this take the closed form of flicker phase noise.
constexpr Real kLargeFilter = 1e4;
// Up to this many lags the sum of squared covariances is taken term by term.
constexpr int64_t kExactLags = 4096;

// Generalised autocovariance of the integral of power-law phase noise with
// S_y ~ f^alpha, up to a factor (its sign and scale cancel in the ratios).
Real Sw(Real t, int alpha) {
  const Real a = std::fabs(t);
  const auto logTerm = [a](int power) { return a == 0 ? Real(0) : std::pow(a, Real(power)) * std::log(a); };
  switch (alpha) {
    case 2: return -a;
    case 1: return logTerm(2);
    case 0: return a * a * a;
    case -1: return logTerm(4);
    case -2: return std::pow(a, Real(5));
    case -3: return logTerm(6);
    default: return std::pow(a, Real(7));
  }
}

// Second derivative of Sw (alpha <= 0, where it is finite).
Real SwSecondDerivative(Real t, int alpha) {
  const Real a = std::fabs(t);
  const auto logTerm = [a](int power, Real coefficient, Real extra) {
    return a == 0 ? Real(0) : std::pow(a, Real(power)) * (coefficient * std::log(a) + extra);
  };
  switch (alpha) {
    case 0: return 6 * a;
    case -1: return logTerm(2, 12, 7);
    case -2: return 20 * a * a * a;
    case -3: return logTerm(4, 30, 11);
    default: return 42 * std::pow(a, Real(5));
  }
}

// Covariance of the phase averaged over 1/F of tau, at lag t (units of tau);
// F = 0 stands for point samples of the phase (the limit F -> infinity).
Real Sx(Real t, Real filter, int alpha) {
  if (filter == 0 && alpha == kAlphaWPM) return t == 0 ? 1 : 0;  // white: correlated at lag 0 only
  if (filter == 0) return -SwSecondDerivative(t, alpha);
  if (filter > kLargeFilter && alpha == kAlphaFPM) {
    // The second difference at step 1/F cancels to nothing in any precision
    // here: its value at 0 is 2 ln F, elsewhere that of the limit, -(2 ln|t| + 3).
    const Real a = std::fabs(t);
    return a < 0.5L / filter ? 2 * std::log(filter) : -(2 * std::log(a) + 3);
  }
  const Real h = 1 / filter;
  return filter * filter * (2 * Sw(t, alpha) - Sw(t - h, alpha) - Sw(t + h, alpha));
}

// Covariance of two d-th differences (step tau) of the averaged phase, lag t.
Real Sz(Real t, Real filter, int alpha, int d) {
  Real sum = 0;
  Real binomial = 1;  // C(2d, d + k), starting at k = -d
  for (int k = -d; k <= d; ++k) {
    sum += ((k % 2) ? -binomial : binomial) * Sx(t + k, filter, alpha);
    binomial = binomial * (d - k) / (d + k + 1);
  }
  return sum;
}

}  // namespace

double GreenhallEdf(int alpha, int d, int64_t m, bool modified, int64_t stride, int64_t terms) {
  if (terms < 1 || m < 1 || stride < 1 || d < 1) return kNaN;
  alpha = std::clamp(alpha, 2 - 2 * d, 2);  // d = 2: -2 .. 2, d = 3: -4 .. 2
  // Modified variances average the phase over tau (F = 1); unmodified ones
  // take point samples (F infinite), except that flicker phase noise then
  // has no finite variance: its samples are averages over tau0 (F = m).
  const Real f = modified ? 1 : alpha == kAlphaFPM ? static_cast<Real>(m) : 0;
  const Real s = static_cast<Real>(stride);
  const Real count = static_cast<Real>(terms);
  const Real z0 = Sz(0, f, alpha, d);
  if (!(z0 != 0) || !std::isfinite(static_cast<double>(z0))) return kNaN;
  const int64_t lags = std::min<int64_t>(terms, (d + 1) * stride);
  // Var(mean of the squares) ~ sum over lags j of (1 - |j| / M) Sz(j / S)^2;
  // the lag `lags` itself enters with half weight as in the published sum.
  Real sum = z0 * z0;
  const auto weighted = [&](int64_t j) {
    const Real z = Sz(static_cast<Real>(j) / s, f, alpha, d);
    return (1 - static_cast<Real>(j) / count) * z * z;
  };
  if (alpha == kAlphaWPM && !modified) {
    // White phase taken at points: only lags of whole multiples of tau correlate.
    for (int64_t k = 1; k <= d && k * stride < terms; ++k) sum += 2 * weighted(k * stride);
  } else if (lags <= kExactLags) {
    for (int64_t j = 1; j < lags; ++j) sum += 2 * weighted(j);
    sum += weighted(lags);
  } else {
    // Many lags: the sum is S times the integral of the same function of t.
    const Real reach = static_cast<Real>(lags) / s;
    const Real ratio = count / s;  // terms per tau
    const auto integrand = [&](Real t) {
      const Real z = Sz(t, f, alpha, d);
      return (1 - t / ratio) * z * z;
    };
    Real integral = 0;
    for (Real from = 0; from < reach; from += 1) {
      const Real to = std::min(reach, from + 1);
      integral += boost::math::quadrature::gauss_kronrod<Real, 31>::integrate(integrand, from, to, 8, 1e-10L);
    }
    sum = 2 * s * integral;
  }
  const Real inverse = sum / (count * z0 * z0);
  return inverse > 0 ? static_cast<double>(1 / inverse) : kNaN;
}

double TotalVarianceEdf(int alpha, double recordSeconds, double tau) {
  double b = 0, c = 0;
  switch (std::max(alpha, -2)) {
    case 0: b = 1.50, c = 0.0; break;
    case -1: b = 1.17, c = 0.22; break;
    case -2: b = 0.93, c = 0.36; break;
    default: return kNaN;
  }
  if (!(tau > 0)) return kNaN;
  const double edf = b * recordSeconds / tau - c;
  return edf > 0 ? edf : kNaN;
}

TDeviationInterval ChiSquareInterval(double deviation, double edf, double confidence) {
  if (!(edf > 0) || !std::isfinite(edf) || !(confidence > 0 && confidence < 1) || !std::isfinite(deviation))
    return {kNaN, kNaN};
  try {
    const boost::math::chi_squared distribution(edf);
    const double tail = (1 - confidence) / 2;
    const double lowQuantile = boost::math::quantile(distribution, tail);
    const double highQuantile = boost::math::quantile(distribution, 1 - tail);
    return {deviation * std::sqrt(edf / highQuantile), deviation * std::sqrt(edf / lowQuantile)};
  } catch (const std::exception&) {
    return {kNaN, kNaN};
  }
}
