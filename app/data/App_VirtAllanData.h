#pragma once

#include <array>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "library/platform/VQ_Clock.h"

// Incremental non-overlapping Allan deviation of up to 24 input rows (one per
// channel) for the averaging factors 1, 2, 5, 10, ..., 2 000 000 samples.
// Nothing of the sample history is kept: per row and averaging factor only the
// running block sum, the last block averages or boundary phases and the mean of
// the squared differences, so a run of any length takes constant memory.
//
// Missing samples are NaN (or any non-finite value). A frequency block that
// contains one, or a missing boundary phase, never enters the mean: the chain of
// consecutive blocks restarts after it. A genuine value of 0 is a sample like
// any other.
//
// Thread safety: the counter store feeds the accumulator on the acquisition
// thread and the display code reads it on the main thread. Every public member
// takes the accumulator's own lock, so it is safe without the store's lock too.
// The minimum/maximum callbacks run on the feeding thread after that lock is
// released, so they may query the accumulator.

enum TAllanMode : int { amFreq = 0, amPhaseRes = 1, amPhaseDiff = 2 };

// "Freq", "PhaseRes", "PhaseDiff".
const char* AllanModeText(TAllanMode mode);

// Lowest and highest decimal logarithm of the deviation of one averaging factor,
// kept until the user clears it (the persistent trace of the Allan graph).
struct TAllanPersistEntry {
  int FTau = 0;  // tau index
  double FMin = std::numeric_limits<double>::quiet_NaN();
  double FMax = std::numeric_limits<double>::quiet_NaN();

  void AddValue(double Data);
  bool HasValues() const { return !std::isnan(FMin); }
};

// Scale of the Allan graph: decades of the y axis and the highest tau index.
// yMin > yMax when there was nothing to scale.
struct TAllanMinMax {
  int xLastTau = -1;
  int yMin = INT_MAX;
  int yMax = INT_MIN;
};

using TAllanTime = TVQ_Clock::Wall::time_point;
// (row, tau index) of a minimum or maximum that changed.
using TAllanEvent = std::function<void(int row, int tau)>;

class TVirtAllanData {
 public:
  static constexpr int kMaxTauIndex = 19;  // 2 000 000 samples
  static constexpr int kMaxInputs = 24;    // rows: channels of one counter

  // `Create`: atauMax is clamped to 0..kMaxTauIndex.
  TVirtAllanData(int aLogId, int atauMax, TAllanMode aMode, const TVQ_Clock& clock = SystemClock());
  TVirtAllanData(const TVirtAllanData&) = delete;
  TVirtAllanData& operator=(const TVirtAllanData&) = delete;

  // ---- feeding (acquisition thread) ------------------------------------------
  // Sizes the rows (clamped to 0..kMaxInputs; negative is ignored). Rows that
  // exist keep their state; new rows start empty, and a block they join in the
  // middle is not used. AddData calls it itself when the channel count changes.
  void SetVirtualFactors(int aRealCount);
  // One sample per row: relative frequency (amFreq) or phase in ps (phase
  // modes); NaN = missing. An empty sample is ignored.
  void AddData(std::span<const double> Data);
  // Sample interval (gate time). The phase modes need it to turn phase into
  // deviation: while it is not positive their samples count as missing.
  void SetIntervalMs(int value);
  void SetDecayConst(int value);
  // Debug log of the computation; -1 = none.
  void SetLogId(int aLogId) { FLogId = aLogId; }  // 0 = plain mean; negative counts as 0
  void Reset();
  void ResetMinimumMaximum(int v);  // row v (0-based)
  void ResetPersist(int v);         // row v (0-based)
  void SetOnAdevMin(TAllanEvent handler);
  void SetOnAdevMax(TAllanEvent handler);

  // ---- queries; v = row (0-based), t = tau index, k = channel (1-based) -----
  TAllanMode GetMode() const { return FMode; }
  int GetTauMax() const { return FtauMax; }
  int GetIntervalMs() const;
  int GetDecayConst() const;
  int GetRealCount() const;     // -1 before the first data
  int GetVirtualCount() const;  // the same: each row is one channel
  bool IsRunning() const;
  TAllanTime GetStartTime() const;
  int64_t GetSampleCount() const;
  int GetLastTau() const;  // highest tau index with a deviation, -1 = none
  bool GetNewSample(int t) const;  // t got a deviation with the last sample
  double GetTauQuadN(int v, int t) const;  // weight of the mean (0 outside)

  double GetAdev(int v, int t) const;     // 0 outside or none yet
  double GetAdevMin(int v, int t) const;  // 0 outside, NaN none
  double GetAdevMax(int v, int t) const;  // 0 outside, NaN none
  TAllanTime GetAdevMinTime(int v, int t) const;  // epoch outside or none
  TAllanTime GetAdevMaxTime(int v, int t) const;
  int64_t GetTau(int t) const;  // averaging factor m, 0 outside
  // Deviation updates per tau index 0..GetLastTau().
  std::vector<int64_t> GetADEVCounts() const;
  // Deviations of channel k for all tau indices (empty for an unknown channel).
  std::vector<double> GetTextValues(int k) const;
  // Their decimal logarithms; 0 (none or a zero deviation) stays 0.
  std::vector<double> GetGraphicValues(int k) const;
  // Persist entries of channel k up to the first one without values.
  std::vector<TAllanPersistEntry> GetGraphicPersistValues(int k) const;
  // Decades around the recorded minima and maxima of channel k.
  TAllanMinMax GetGraphicScaleMinMax(int k) const;
  // Decades around the current deviations of channel k.
  TAllanMinMax GetGraphicActualScaleMinMax(int k) const;
  // Captions of tau indices 0..GetLastTau(), each right-aligned in len
  // characters; empty while intervalMs is not positive.
  std::string GetTauCaption(int len, int intervalMs) const;
  // One caption: intervalMs x m as "500 ms", "2 s", "2.5 s".
  static std::string TauCaptionText(int len, int intervalMs, int64_t m);

 private:
  static constexpr int kMaxCaptionWidth = 64;

  using TTauFlags = std::array<bool, kMaxTauIndex + 1>;
  // Tau indices, in rising order; Count of them are used.
  struct TTauList {
    std::array<uint8_t, kMaxTauIndex + 1> Tau{};
    int Count = 0;
    void Add(int t) { Tau[Count++] = static_cast<uint8_t>(t); }
  };

  // The persist values of one point as deviations: the decimal logarithm is
  // taken when they are read (it keeps the order of positive values; a
  // deviation of 0 shows as 0 and is kept apart).
  struct TPersistRange {
    double MinPositive = std::numeric_limits<double>::quiet_NaN();
    double MaxPositive = std::numeric_limits<double>::quiet_NaN();
    bool Zero = false;
    void Add(double d);
    bool HasValues() const { return Zero || !std::isnan(MinPositive); }
    TAllanPersistEntry Entry(int t) const;
  };

  struct TMinMaxEvent {
    bool isMin;
    int row;
    int tau;
  };

  std::size_t Index(int v, int t) const { return static_cast<std::size_t>(v) * FTauCount + t; }
  bool ValidPoint(int v, int t) const { return v >= 0 && v < FRealCount && t >= 0 && t <= FtauMax; }
  bool LogOn() const;
  void Log(const std::string& text) const;
  // The debug lines of one sample are collected in FLogLines (FLock held)
  // and logged together by WriteLines: a line is the tag and the operation,
  // then what the caller appends, ended by WriteLine.
  std::string& StartLine(std::string_view operation);
  void WriteLine();
  void WriteLines();

  // All below run with FLock held.
  void Resize(int count);
  // The blocks that end with the current sample.
  TTauList BlockEnds() const;
  void AddFrequencyRow(int v, double y, const TTauList& ends, TTauList& updated);
  void AddPhaseRow(int v, double x, const TTauList& ends, TTauList& updated);
  bool CalcFrequencyPoint(std::size_t i, int64_t m);
  bool CalcPhasePoint(std::size_t i, int64_t m, double x);
  bool EnterSquare(std::size_t i, double s);
  void CalcMinMax(int v, const TTauList& updated, std::optional<TAllanTime>& now, std::vector<TMinMaxEvent>& events);
  void ClearMinMax(int v);
  TAllanMinMax ScaleOf(int k, bool recorded) const;

  const TVQ_Clock& FClock;
  const TAllanMode FMode;
  const int FtauMax;
  const int FTauCount;  // FtauMax + 1
  const std::string FDbgTag;
  std::atomic<int> FLogId;
  std::array<int64_t, kMaxTauIndex + 1> Ftaus{};

  mutable std::mutex FLock;
  int FIntervalMs = -1;
  int FRealCount = -1;
  int FVirtualCount = -1;
  std::vector<double> FRealInputs;
  bool FRunning = false;
  TAllanTime FStartTime{};
  int64_t FSampleCount = 0;
  int FLastTau = -1;
  int FDecayConst = 0;

  // Per (row, tau index), flat: Index(v, t).
  std::vector<double> FSampleSum;
  // Frequency mode: previous and current block average; phase modes: the last
  // three boundary phases x0, x1, x2.
  std::vector<std::array<double, 3>> FSamples;
  // How many of FSamples are valid and consecutive (frequency 0..2, phase 0..3).
  std::vector<uint8_t> FBlockCount;
  // The block being summed has a missing sample (or started before the row).
  std::vector<uint8_t> FBlockMissing;
  std::vector<double> FTauQuad;
  std::vector<double> FTauQuad_N;
  std::vector<double> FAdev;
  std::vector<double> FADEVMin;
  std::vector<double> FADEVMax;
  std::vector<TAllanTime> FADEVMinTime;
  std::vector<TAllanTime> FADEVMaxTime;
  std::vector<TPersistRange> FPersist;

  // Per tau index.
  std::array<int64_t, kMaxTauIndex + 1> FSampleCountPerTau{};
  std::array<bool, kMaxTauIndex + 1> FNewSample{};

  TAllanEvent FOnAdevMin;
  TAllanEvent FOnAdevMax;
  std::string FLogLines;
  std::string FInputTexts;  // the inputs of the sample, formatted one after the other
};
