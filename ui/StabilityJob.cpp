#include "ui/StabilityJob.h"

#include <algorithm>
#include <exception>

#include "app/analysis/App_StabilityReport.h"

TStabilityJob::~TStabilityJob() {
  Cancel();
  if (FWorker.joinable()) FWorker.join();
}

bool TStabilityJob::Start(TStabilityRequest request) {
  if (FWorker.joinable()) return false;
  FCancel = false;
  FFinished = false;
  FBytesDone = 0;
  FBytesTotal = 0;
  FSeriesDone = 0;
  FSeriesCount = 0;
  FWorker = std::thread([this, request = std::move(request)]() mutable { Run(std::move(request)); });
  return true;
}

double TStabilityJob::Progress() const {
  const uint64_t total = FBytesTotal;
  const double read = total > 0 ? static_cast<double>(FBytesDone) / static_cast<double>(total) : 0.0;
  const int count = FSeriesCount;
  const double analysed = count > 0 ? static_cast<double>(FSeriesDone) / count : 0.0;
  return 0.5 * std::min(read, 1.0) + 0.5 * analysed;
}

std::optional<TStabilityOutcome> TStabilityJob::Take() {
  if (!FWorker.joinable() || !FFinished) return std::nullopt;
  FWorker.join();
  std::lock_guard lock(FLock);
  return std::move(FOutcome);
}

void TStabilityJob::Run(TStabilityRequest request) {
  TStabilityOutcome outcome;
  try {
    Analyse(request, outcome);
  } catch (const std::exception& error) {  // memory for a huge file, mostly
    outcome = {};
    outcome.Error = std::string("the analysis failed: ") + error.what();
  }
  {
    std::lock_guard lock(FLock);
    FOutcome = std::move(outcome);
  }
  FFinished = true;
}

void TStabilityJob::Analyse(TStabilityRequest& request, TStabilityOutcome& outcome) {
  request.Read.Progress = [this](uint64_t done, uint64_t total) {
    FBytesDone = done;
    FBytesTotal = total;
  };
  request.Read.Cancelled = [this] { return FCancel.load(); };
  TStabilityReadResult data = ReadStabilityFiles(request.Files, request.Read);
  outcome.Notes = std::move(data.Notes);
  if (data.Status == TReadStatus::Cancelled) {
    outcome.Cancelled = true;
  } else if (data.Status != TReadStatus::Ok) {
    outcome.Error = data.Error;
  } else {
    FSeriesCount = static_cast<int>(data.Series.size());
    for (TStabilitySeries& series : data.Series) {
      if (FCancel) {
        outcome.Cancelled = true;
        break;
      }
      TStabilityOptions options = request.Analysis;
      options.Tau0 = series.Tau0;
      options.Kind = series.Kind;
      for (double tau : options.TauList)
        if (!AveragingFactor(tau, series.Tau0))
          outcome.Error = "tau " + StabilityNumber(tau) + " s is not a multiple of tau0 (" +
                          StabilityNumber(series.Tau0) + " s)";
      if (!outcome.Error.empty()) break;
      TAnalysedSeries analysed{series.Name, series.Kind, series.Tau0, series.F0, {}};
      analysed.Result = AnalyzeStability(series.Values, options);
      // The values are no longer needed: free them before the next series.
      series.Values = {};
      for (const std::string& note : analysed.Result.Notes) outcome.Notes.push_back(series.Name + ": " + note);
      if (!analysed.Result.Error.empty())
        outcome.Notes.push_back(series.Name + ": " + analysed.Result.Error);
      else
        outcome.Series.push_back(std::move(analysed));
      ++FSeriesDone;
    }
    if (outcome.Cancelled || !outcome.Error.empty()) outcome.Series.clear();
    else if (outcome.Series.empty()) outcome.Error = "no series could be analysed";
  }
}
