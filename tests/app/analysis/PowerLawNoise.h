#pragma once

#include <random>
#include <vector>

#include "app/analysis/App_StabilityAnalysis.h"

// Phase (seconds, tau0 = 1) of power-law noise with S_y(f) ~ f^alpha, alpha
// 2 .. -2, from white Gaussian noise through the fractional-integration
// filter h_0 = 1, h_k = h_(k-1) (k - 1 + a/2) / k of S ~ f^-a (Kasdin and
// Walter). Phase noise filters the phase, frequency noise the frequency,
// which is then summed. Direct convolution: meant for a few thousand points.
inline std::vector<double> PowerLawPhase(int alpha, std::size_t points, std::mt19937_64& random) {
  const bool phaseNoise = alpha >= kAlphaFPM;
  const double a = phaseNoise ? 2.0 - alpha : -alpha;  // exponent of the filtered series
  const std::size_t n = phaseNoise ? points : points - 1;
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<double> white(n), filtered(n, 0.0), filter(n);
  for (double& w : white) w = normal(random);
  filter[0] = 1;
  for (std::size_t k = 1; k < n; ++k) filter[k] = filter[k - 1] * (static_cast<double>(k) - 1 + a / 2) / static_cast<double>(k);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t k = 0; k <= i; ++k) filtered[i] += filter[k] * white[i - k];
  if (phaseNoise) return filtered;
  std::vector<double> phase(points, 0.0);
  for (std::size_t i = 1; i < points; ++i) phase[i] = phase[i - 1] + filtered[i - 1];
  return phase;
}
