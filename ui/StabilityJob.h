#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/analysis/App_StabilityAnalysis.h"
#include "app/analysis/App_StabilityReader.h"

// One stability analysis of files on a worker thread: the files are read,
// every series is analysed, and the window collects the outcome on its own
// timer. Cancel() stops the read at its next chunk and the analysis before
// its next series; the destructor cancels and joins.

struct TStabilityRequest {
  std::vector<std::string> Files;
  TStabilityReadOptions Read;  // its callbacks are the job's own
  TStabilityOptions Analysis;  // Tau0 and Kind come from each series
};

struct TAnalysedSeries {
  std::string Name;
  TStabilityDataKind Kind = TStabilityDataKind::Phase;
  double Tau0 = 1;
  std::optional<double> F0;
  TStabilityResult Result;
};

struct TStabilityOutcome {
  bool Cancelled = false;
  std::string Error;               // nothing could be analysed
  std::vector<std::string> Notes;  // taus omitted, columns without values, ...
  std::vector<TAnalysedSeries> Series;
};

class TStabilityJob {
 public:
  TStabilityJob() = default;
  ~TStabilityJob();
  TStabilityJob(const TStabilityJob&) = delete;
  TStabilityJob& operator=(const TStabilityJob&) = delete;

  // Starts the worker; false while one still runs.
  bool Start(TStabilityRequest request);
  void Cancel() { FCancel = true; }
  bool Running() const { return FWorker.joinable(); }
  // 0..1: reading weighs half, the series the other half.
  double Progress() const;
  // The outcome once the worker has finished (the worker is then joined);
  // nothing while it runs or when no job was started.
  std::optional<TStabilityOutcome> Take();

 private:
  void Run(TStabilityRequest request);
  void Analyse(TStabilityRequest& request, TStabilityOutcome& outcome);

  std::thread FWorker;
  std::atomic<bool> FCancel{false};
  std::atomic<bool> FFinished{false};
  std::atomic<uint64_t> FBytesDone{0}, FBytesTotal{0};
  std::atomic<int> FSeriesDone{0}, FSeriesCount{0};
  std::mutex FLock;  // FOutcome
  TStabilityOutcome FOutcome;
};
