#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

// zep-cli analyze: frequency-stability analysis of log or data files.

struct TAnalyzeOptions {
  std::vector<std::string> Files;
  std::vector<std::string> Columns;  // [PART:]TYPE:CHANNEL
  std::string Data;                  // "phase" or "freq" for plain data files
  std::optional<double> Tau0;
  std::optional<double> Nominal;
  std::string Taus = "octave";       // octave, decade, many or seconds "1,10,100"
  std::string Estimators = "oadev";  // comma-separated names
  double Confidence = 0.683;         // a fraction, or percent above 1
  std::string Format = "table";      // table, csv, json
  int64_t MaxPoints = 100'000'000;
};

// Files above this size report their progress on `err`.
inline constexpr uint64_t kAnalyzeProgressBytes = uint64_t{64} << 20;

// Reads the files, analyses every series and prints one row per estimator
// and tau. 0; 1 when a file cannot be read or holds too little to analyse;
// 2 for bad arguments (an unknown estimator, a tau that is no multiple of
// tau0, a column the file does not have, ...).
int RunAnalyze(const TAnalyzeOptions& options, std::ostream& out, std::ostream& err);
