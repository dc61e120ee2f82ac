#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Frequency-stability analysis of a recorded series: one call takes the
// values and the options and gives one row per estimator and tau, with the
// number of terms, the dominant noise type and a confidence interval.

enum class TStabilityEstimator { Adev, Oadev, Mdev, Tdev, Hdev, Ohdev, Totdev, Mtie };
inline constexpr int kStabilityEstimatorCount = 8;

// "adev", "oadev", ...: the names of the command line; nothing for another text.
const char* StabilityEstimatorName(TStabilityEstimator estimator);
std::optional<TStabilityEstimator> StabilityEstimatorFromName(const std::string& name);
// "ADEV", "OADEV", ...: the names of tables and plots.
const char* StabilityEstimatorTitle(TStabilityEstimator estimator);

// Phase in seconds or fractional frequency (dimensionless), one value per tau0.
enum class TStabilityDataKind { Phase, Frequency };

// Octave: m = 1, 2, 4, ...; Decade: 1, 2, 5, 10, ...; Many: about ten per
// decade; List: the taus of TStabilityOptions::TauList.
enum class TTauSet { Octave, Decade, Many, List };

struct TStabilityOptions {
  double Tau0 = 1.0;  // seconds between two values
  TStabilityDataKind Kind = TStabilityDataKind::Phase;
  TTauSet Taus = TTauSet::Octave;
  std::vector<double> TauList;  // seconds, each a multiple of Tau0 (TTauSet::List)
  std::vector<TStabilityEstimator> Estimators{TStabilityEstimator::Oadev};
  double Confidence = 0.683;  // two-sided, in (0, 1)
};

// Power-law noise by the exponent alpha of S_y(f) ~ f^alpha.
inline constexpr int kAlphaWPM = 2, kAlphaFPM = 1, kAlphaWFM = 0, kAlphaFFM = -1, kAlphaRWFM = -2;
// "WPM", "FPM", "WFM", "FFM", "RWFM", "FWFM" (-3), "RRFM" (-4); "?" otherwise.
const char* NoiseTypeName(int alpha);

// How the noise type of a row was found: the lag-1 autocorrelation of the
// averaged data, the B1 ratio where too few averages remain for it, or taken
// over from the tau before when even that is not possible.
enum class TNoiseMethod { None, Lag1, B1, Carried };
const char* NoiseMethodName(TNoiseMethod method);  // "lag1", "b1", "carried", ""

struct TStabilityRow {
  TStabilityEstimator Estimator = TStabilityEstimator::Oadev;
  double Tau = 0;          // seconds
  int64_t M = 0;           // averaging factor: Tau = M * Tau0
  int64_t N = 0;           // valid input values of the series
  int64_t Terms = 0;       // terms the estimate averages (MTIE: windows)
  double Deviation = 0;    // seconds for TDEV and MTIE, else dimensionless
  int Alpha = kAlphaWFM;   // noise type the interval assumes
  TNoiseMethod Noise = TNoiseMethod::None;  // None for MTIE
  double Edf = 0;          // equivalent degrees of freedom; NaN for MTIE
  double Low = 0, High = 0;  // interval bounds; NaN for MTIE
};

struct TStabilityResult {
  std::string Error;           // set when nothing could be analysed
  std::vector<std::string> Notes;  // taus omitted and the like, each said once
  int64_t Values = 0;          // valid input values
  int64_t Gaps = 0;            // gaps (NaN) between the first and the last valid value
  std::vector<TStabilityRow> Rows;  // estimators in the order asked, taus ascending
};

// Values equal to NaN are gaps: leading and trailing ones are dropped; terms
// that would use one are skipped, and each row counts the terms it used.
TStabilityResult AnalyzeStability(std::span<const double> values, const TStabilityOptions& options);

// The averaging factor of `tau` seconds, or nothing when tau is no positive
// whole multiple of tau0 (within a relative 1e-9).
std::optional<int64_t> AveragingFactor(double tau, double tau0);
