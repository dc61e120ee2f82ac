#pragma once

#include <cstdint>

// Equivalent degrees of freedom of the variance estimators and the
// chi-square confidence interval of a deviation.

// Greenhall and Riley's EDF of a variance built from `terms` squared d-th
// differences of the phase (d = 2: Allan family, 3: Hadamard family) at
// averaging factor m; `modified` for the modified variance (phase averaged
// over tau); stride S = 1 for non-overlapping terms and m for overlapping
// ones. alpha is the noise exponent (2 .. 2 - 2d). The covariances of the
// terms come from the generalised autocovariance of power-law phase noise;
// the sum over term lags is done exactly up to a few thousand lags and as an
// integral beyond. NaN for no terms.
double GreenhallEdf(int alpha, int d, int64_t m, bool modified, int64_t stride, int64_t terms);

// Howe's EDF of the total variance: b * T / tau - c for WFM, FFM and RWFM
// (T the length of the record in seconds); NaN for the phase noises, whose
// total variance the caller treats as an overlapping Allan variance.
double TotalVarianceEdf(int alpha, double recordSeconds, double tau);

struct TDeviationInterval {
  double Low = 0, High = 0;
};
// The two-sided interval of a deviation from the chi-square distribution with
// `edf` degrees of freedom; NaN bounds when edf or confidence is unusable.
TDeviationInterval ChiSquareInterval(double deviation, double edf, double confidence);
