#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/analysis/App_LargeBuffer.h"
#include "app/analysis/App_StabilityAnalysis.h"

// Reads the series to analyse from measurement log files (several day files
// of one run are joined in order) or from plain one- or two-column data
// files. Files are read as a stream: memory grows by 8 bytes per kept value
// and column, never with the text.

struct TStabilityReadOptions {
  std::vector<std::string> Columns;  // [PART:]TYPE:CHANNEL; empty: every column that can be analysed
  std::optional<TStabilityDataKind> PlainKind;  // what a plain data file holds
  std::optional<double> Tau0;                   // seconds; overrides a log file's interval
  std::optional<double> Nominal;                // Hz; else each channel's mean frequency
  int64_t MaxPoints = 100'000'000;              // per column
  // Called now and then with the bytes read so far and the bytes of all files.
  std::function<void(uint64_t done, uint64_t total)> Progress;
  // Asked after every chunk; true ends the read with TReadStatus::Cancelled.
  std::function<bool()> Cancelled;
};

struct TStabilitySeries {
  std::string Name;  // "A:phase:1 (Channel_1)", or the file name of plain data
  TStabilityDataKind Kind = TStabilityDataKind::Phase;
  double Tau0 = 1;
  std::optional<double> F0;  // Hz, for converted phase and frequency columns
  TLargeVector<double> Values;  // seconds or fractional frequency; NaN = gap
};

enum class TReadStatus { Ok, BadArguments, BadFile, Cancelled };

struct TStabilityReadResult {
  TReadStatus Status = TReadStatus::Ok;
  std::string Error;
  std::vector<std::string> Notes;
  std::vector<TStabilitySeries> Series;
};

TStabilityReadResult ReadStabilityFiles(const std::vector<std::string>& files, const TStabilityReadOptions& options);

// The same for text already in memory (one "file" per element), for tests
// and the fuzz target; names are "text 1", "text 2", ...
TStabilityReadResult ReadStabilityTexts(const std::vector<std::string>& texts, const TStabilityReadOptions& options);
