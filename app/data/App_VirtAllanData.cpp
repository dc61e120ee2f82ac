#include "app/data/App_VirtAllanData.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

#include "library/core/LogUnit.h"
#include "library/core/VQ_DllCommon.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kPsPerSecond = 1e12;

// 1, 2, 5 times a power of ten.
int64_t TauOfIndex(int t) {
  static constexpr int64_t kMantissa[3] = {1, 2, 5};
  int64_t m = kMantissa[t % 3];
  for (int i = 0; i < t / 3; ++i) m *= 10;
  return m;
}

// Round half to even (the default rounding mode), for the decades of the graph.
int RoundDecade(double value) { return static_cast<int>(std::nearbyint(value)); }

bool Scalable(double d) { return std::isfinite(d) && d > 0.0; }

void AppendInt(std::string& out, int64_t value) {
  std::array<char, 24> buf;
  out.append(buf.data(), std::to_chars(buf.data(), buf.data() + buf.size(), value).ptr);
}

}  // namespace

const char* AllanModeText(TAllanMode mode) {
  switch (mode) {
    case amFreq:
      return "Freq";
    case amPhaseRes:
      return "PhaseRes";
    case amPhaseDiff:
      return "PhaseDiff";
  }
  return "";
}

void TAllanPersistEntry::AddValue(double Data) {
  if (std::isnan(FMin)) {
    FMin = Data;
    FMax = Data;
    return;
  }
  if (Data < FMin) FMin = Data;
  if (Data > FMax) FMax = Data;
}

void TVirtAllanData::TPersistRange::Add(double d) {
  if (d == 0.0) {
    Zero = true;
    return;
  }
  if (!(MinPositive <= d)) MinPositive = d;
  if (!(MaxPositive >= d)) MaxPositive = d;
}

// What adding log10 of every deviation (0 for a deviation of 0) would have
// kept.
TAllanPersistEntry TVirtAllanData::TPersistRange::Entry(int t) const {
  TAllanPersistEntry entry{t};
  if (!std::isnan(MinPositive)) {
    entry.AddValue(std::log10(MinPositive));
    entry.AddValue(std::log10(MaxPositive));
  }
  if (Zero) entry.AddValue(0.0);
  return entry;
}

// ---- construction and sizing -------------------------------------------------

TVirtAllanData::TVirtAllanData(int aLogId, int atauMax, TAllanMode aMode, const TVQ_Clock& clock)
    : FClock(clock),
      FMode(aMode),
      FtauMax(std::clamp(atauMax, 0, kMaxTauIndex)),
      FTauCount(FtauMax + 1),
      FDbgTag(std::string("TVirtAllanData-") + AllanModeText(aMode)),
      FLogId(aLogId) {
  for (int t = 0; t <= FtauMax; ++t) Ftaus[t] = TauOfIndex(t);
  if (LogOn()) Log(".Create: TauMax=" + std::to_string(FtauMax));
}

bool TVirtAllanData::LogOn() const { return LogWanted(FLogId); }

void TVirtAllanData::Log(const std::string& text) const { LogInfo(FLogId, FDbgTag + text); }

std::string& TVirtAllanData::StartLine(std::string_view operation) {
  FLogLines += FDbgTag;
  FLogLines += operation;
  return FLogLines;
}

void TVirtAllanData::WriteLine() { FLogLines += '\n'; }

void TVirtAllanData::WriteLines() {
  if (FLogLines.empty()) return;
  LogInfoLines(FLogId, FLogLines);
  FLogLines.clear();
}

void TVirtAllanData::SetVirtualFactors(int aRealCount) {
  std::lock_guard lock(FLock);
  if (aRealCount < 0) return;
  Resize(std::min(aRealCount, kMaxInputs));
}

void TVirtAllanData::Resize(int count) {
  if (count == FRealCount) return;
  if (LogOn()) Log(".SetVirtualFactors RealCount=" + std::to_string(count) + " (was " + std::to_string(FRealCount) + ")");
  const int oldCount = std::max(FRealCount, 0);
  const std::size_t points = static_cast<std::size_t>(count) * FTauCount;
  // Row-major storage: resizing keeps the rows that stay and appends empty ones.
  FRealCount = count;
  FVirtualCount = count;
  FRealInputs.resize(count, 0.0);
  FSampleSum.resize(points, 0.0);
  FSamples.resize(points, {0.0, 0.0, 0.0});
  FBlockCount.resize(points, 0);
  FBlockMissing.resize(points, 0);
  FTauQuad.resize(points, 0.0);
  FTauQuad_N.resize(points, 0.0);
  FAdev.resize(points, 0.0);
  FADEVMin.resize(points, kNaN);
  FADEVMax.resize(points, kNaN);
  FADEVMinTime.resize(points, TAllanTime{});
  FADEVMaxTime.resize(points, TAllanTime{});
  FPersist.resize(points);
  // A new row joins the blocks in progress part-way: those blocks lack samples.
  for (int v = oldCount; v < count; ++v)
    for (int t = 0; t <= FtauMax; ++t) FBlockMissing[Index(v, t)] = FSampleCount % Ftaus[t] != 0;
}

// ---- feeding -----------------------------------------------------------------

void TVirtAllanData::AddData(std::span<const double> Data) {
  std::vector<TMinMaxEvent> events;
  TAllanEvent onMin;
  TAllanEvent onMax;
  {
    std::lock_guard lock(FLock);
    if (Data.empty()) return;
    const int n = static_cast<int>(std::min<std::size_t>(Data.size(), kMaxInputs));
    Resize(n);

    std::optional<TAllanTime> now;  // read once, and only when something needs it
    if (!FRunning) {
      FRunning = true;
      FStartTime = *(now = FClock.WallNow());
    }
    ++FSampleCount;
    FNewSample.fill(false);
    std::copy_n(Data.begin(), n, FRealInputs.begin());
    const bool log = LogOn();
    // Each input is formatted once for the two lines that show it.
    std::array<std::size_t, kMaxInputs + 1> inputEnds{};
    if (log) {
      FInputTexts.clear();
      for (int v = 0; v < n; ++v) {
        AppendFloatGeneral(FInputTexts, FRealInputs[v]);
        inputEnds[v + 1] = FInputTexts.size();
      }
      std::string& line = StartLine(".AddData sampleCount=");
      AppendInt(line, FSampleCount);
      line += ", Kanalanz=";
      AppendInt(line, n);
      line += ", Data=";
      for (int v = 0; v < n; ++v) {
        if (v > 0) line += "; ";
        line.append(FInputTexts, inputEnds[v], inputEnds[v + 1] - inputEnds[v]);
      }
      WriteLine();
    }

    const bool freq = FMode == amFreq;
    const TTauList ends = BlockEnds();
    for (int v = 0; v < n; ++v) {
      TTauList updated;
      if (freq)
        AddFrequencyRow(v, FRealInputs[v], ends, updated);
      else
        AddPhaseRow(v, FRealInputs[v], ends, updated);
      for (int k = 0; k < updated.Count; ++k) FNewSample[updated.Tau[k]] = true;
      if (updated.Count > 0) FLastTau = std::max<int>(FLastTau, updated.Tau[updated.Count - 1]);
      if (log) {
        std::string& line = StartLine(freq ? ".CalcADEVfrequency v=" : ".CalcADEVphase v=");
        AppendInt(line, v);
        line += " Input=";
        line.append(FInputTexts, inputEnds[v], inputEnds[v + 1] - inputEnds[v]);
        line += " LastTau=";
        AppendInt(line, FLastTau);
        WriteLine();
      }
      CalcMinMax(v, updated, now, events);
    }
    WriteLines();
    for (int t = 0; t <= FtauMax; ++t)
      if (FNewSample[t]) ++FSampleCountPerTau[t];
    if (events.empty()) return;
    onMin = FOnAdevMin;
    onMax = FOnAdevMax;
  }
  for (const TMinMaxEvent& e : events) {
    const TAllanEvent& handler = e.isMin ? onMin : onMax;
    if (handler) handler(e.row, e.tau);
  }
}

TVirtAllanData::TTauList TVirtAllanData::BlockEnds() const {
  TTauList ends;
  for (int t = 0; t <= FtauMax; ++t)
    if (FSampleCount % Ftaus[t] == 0) ends.Add(t);
  return ends;
}

// Every block sum takes the sample; the blocks that end with it are evaluated.
void TVirtAllanData::AddFrequencyRow(int v, double y, const TTauList& ends, TTauList& updated) {
  const std::size_t row = Index(v, 0);
  if (std::isfinite(y)) {
    for (int t = 0; t <= FtauMax; ++t) FSampleSum[row + t] += y;
  } else {
    for (int t = 0; t <= FtauMax; ++t) FBlockMissing[row + t] = 1;
  }
  for (int k = 0; k < ends.Count; ++k) {
    const int t = ends.Tau[k];
    if (CalcFrequencyPoint(row + t, Ftaus[t])) updated.Add(t);
  }
}

void TVirtAllanData::AddPhaseRow(int v, double x, const TTauList& ends, TTauList& updated) {
  const std::size_t row = Index(v, 0);
  for (int k = 0; k < ends.Count; ++k) {
    const int t = ends.Tau[k];
    if (CalcPhasePoint(row + t, Ftaus[t], x)) updated.Add(t);
  }
}

// At the end of a block of m samples: block averages y(k); the difference of
// two consecutive complete blocks enters the mean, deviation = sqrt(mean / 2).
bool TVirtAllanData::CalcFrequencyPoint(std::size_t i, int64_t m) {
  const bool complete = FBlockMissing[i] == 0;
  const double average = FSampleSum[i] / static_cast<double>(m);
  FSampleSum[i] = 0.0;
  FBlockMissing[i] = 0;
  if (!complete || !std::isfinite(average)) {
    FBlockCount[i] = 0;
    return false;
  }
  auto& s = FSamples[i];
  s[0] = s[1];
  s[1] = average;
  if (FBlockCount[i] < 2) ++FBlockCount[i];
  if (FBlockCount[i] < 2) return false;
  const double diff = s[1] - s[0];
  if (!EnterSquare(i, diff * diff)) return false;
  FAdev[i] = std::sqrt(FTauQuad[i] / 2.0);
  return true;
}

// At the end of a block of m samples: boundary phases x0, x1, x2; the second
// difference enters the mean, deviation = sqrt(mean / 2) / tau with x in
// seconds.
bool TVirtAllanData::CalcPhasePoint(std::size_t i, int64_t m, double x) {
  if (!std::isfinite(x) || FIntervalMs <= 0) {
    FBlockCount[i] = 0;
    return false;
  }
  auto& s = FSamples[i];
  s[0] = s[1];
  s[1] = s[2];
  s[2] = x;
  if (FBlockCount[i] < 3) ++FBlockCount[i];
  if (FBlockCount[i] < 3) return false;
  const double second = s[2] - 2.0 * s[1] + s[0];
  if (!EnterSquare(i, second * second)) return false;
  const double tauSeconds = static_cast<double>(m) * FIntervalMs / 1000.0;
  FAdev[i] = std::sqrt(FTauQuad[i] / 2.0) / kPsPerSecond / tauSeconds;
  return true;
}

// Running mean of the squared differences. Its weight N grows by one per value;
// a decay constant D caps it, so each new value then weighs 1/(D+1) and older
// ones fade exponentially. A weight above D (D lowered during a run) is capped
// at once, so the new constant takes effect without a reset.
bool TVirtAllanData::EnterSquare(std::size_t i, double s) {
  if (!std::isfinite(s)) {
    FBlockCount[i] = 0;
    return false;
  }
  double n = FTauQuad_N[i];
  if (FDecayConst > 0) n = std::min(n, static_cast<double>(FDecayConst));
  FTauQuad[i] = n == 0.0 ? s : (n * FTauQuad[i] + s) / (n + 1.0);
  if (FDecayConst == 0 || FDecayConst > n) n += 1.0;
  FTauQuad_N[i] = n;
  return true;
}

// Only the points that got a deviation with this sample: a row without one
// keeps its minima, maxima and persist values empty.
void TVirtAllanData::CalcMinMax(int v, const TTauList& updated, std::optional<TAllanTime>& now,
                                std::vector<TMinMaxEvent>& events) {
  const bool log = LogOn();
  const auto logPoint = [&](std::string_view which, int t, double d) {
    std::string& line = StartLine(which);
    AppendInt(line, v);
    line += ',';
    AppendInt(line, t);
    line += "]=";
    AppendFloatGeneral(line, d);
    WriteLine();
  };
  if (log) {
    std::string& line = StartLine(".CalcADEVMinMax[");
    AppendInt(line, v);
    line += ']';
    WriteLine();
  }
  for (int k = 0; k < updated.Count; ++k) {
    const int t = updated.Tau[k];
    const std::size_t i = Index(v, t);
    const double d = FAdev[i];
    if (std::isnan(FADEVMin[i]) || FADEVMin[i] > d) {
      FADEVMin[i] = d;
      FADEVMinTime[i] = now ? *now : *(now = FClock.WallNow());
      if (log) logPoint(".CalcADEVMinMax FADEVMin[", t, d);
      events.push_back({true, v, t});
    }
    if (std::isnan(FADEVMax[i]) || FADEVMax[i] < d) {
      FADEVMax[i] = d;
      FADEVMaxTime[i] = now ? *now : *(now = FClock.WallNow());
      if (log) logPoint(".CalcADEVMinMax FADEVMax[", t, d);
      events.push_back({false, v, t});
    }
    FPersist[i].Add(d);
  }
}

// ---- settings and resets -----------------------------------------------------

void TVirtAllanData::SetIntervalMs(int value) {
  std::lock_guard lock(FLock);
  FIntervalMs = value;
}

void TVirtAllanData::SetDecayConst(int value) {
  std::lock_guard lock(FLock);
  FDecayConst = std::max(value, 0);
  if (LogOn()) Log(".SetDecayConst " + std::to_string(FDecayConst));
}

void TVirtAllanData::Reset() {
  std::lock_guard lock(FLock);
  if (LogOn()) Log(".Reset");
  FRunning = false;
  FStartTime = TAllanTime{};
  FLastTau = -1;
  FSampleCount = 0;
  FSampleCountPerTau.fill(0);
  FNewSample.fill(false);
  std::fill(FRealInputs.begin(), FRealInputs.end(), 0.0);
  std::fill(FSampleSum.begin(), FSampleSum.end(), 0.0);
  std::fill(FSamples.begin(), FSamples.end(), std::array<double, 3>{0.0, 0.0, 0.0});
  std::fill(FBlockCount.begin(), FBlockCount.end(), 0);
  std::fill(FBlockMissing.begin(), FBlockMissing.end(), 0);
  std::fill(FTauQuad.begin(), FTauQuad.end(), 0.0);
  std::fill(FTauQuad_N.begin(), FTauQuad_N.end(), 0.0);
  std::fill(FAdev.begin(), FAdev.end(), 0.0);
  for (int v = 0; v < FRealCount; ++v) ClearMinMax(v);
  std::fill(FPersist.begin(), FPersist.end(), TPersistRange{});
}

void TVirtAllanData::ClearMinMax(int v) {
  for (int t = 0; t <= FtauMax; ++t) {
    const std::size_t i = Index(v, t);
    FADEVMin[i] = kNaN;
    FADEVMax[i] = kNaN;
    FADEVMinTime[i] = TAllanTime{};
    FADEVMaxTime[i] = TAllanTime{};
  }
}

void TVirtAllanData::ResetMinimumMaximum(int v) {
  std::lock_guard lock(FLock);
  if (v >= 0 && v < FRealCount) ClearMinMax(v);
}

void TVirtAllanData::ResetPersist(int v) {
  std::lock_guard lock(FLock);
  if (v < 0 || v >= FRealCount) return;
  std::fill_n(FPersist.begin() + static_cast<std::ptrdiff_t>(Index(v, 0)), FTauCount, TPersistRange{});
}

void TVirtAllanData::SetOnAdevMin(TAllanEvent handler) {
  std::lock_guard lock(FLock);
  FOnAdevMin = std::move(handler);
}

void TVirtAllanData::SetOnAdevMax(TAllanEvent handler) {
  std::lock_guard lock(FLock);
  FOnAdevMax = std::move(handler);
}

// ---- queries -----------------------------------------------------------------

int TVirtAllanData::GetIntervalMs() const {
  std::lock_guard lock(FLock);
  return FIntervalMs;
}

int TVirtAllanData::GetDecayConst() const {
  std::lock_guard lock(FLock);
  return FDecayConst;
}

int TVirtAllanData::GetRealCount() const {
  std::lock_guard lock(FLock);
  return FRealCount;
}

int TVirtAllanData::GetVirtualCount() const {
  std::lock_guard lock(FLock);
  return FVirtualCount;
}

bool TVirtAllanData::IsRunning() const {
  std::lock_guard lock(FLock);
  return FRunning;
}

TAllanTime TVirtAllanData::GetStartTime() const {
  std::lock_guard lock(FLock);
  return FStartTime;
}

int64_t TVirtAllanData::GetSampleCount() const {
  std::lock_guard lock(FLock);
  return FSampleCount;
}

int TVirtAllanData::GetLastTau() const {
  std::lock_guard lock(FLock);
  return FLastTau;
}

bool TVirtAllanData::GetNewSample(int t) const {
  std::lock_guard lock(FLock);
  return t >= 0 && t <= FtauMax && FNewSample[t];
}

double TVirtAllanData::GetTauQuadN(int v, int t) const {
  std::lock_guard lock(FLock);
  return ValidPoint(v, t) ? FTauQuad_N[Index(v, t)] : 0.0;
}

double TVirtAllanData::GetAdev(int v, int t) const {
  std::lock_guard lock(FLock);
  return ValidPoint(v, t) ? FAdev[Index(v, t)] : 0.0;
}

double TVirtAllanData::GetAdevMin(int v, int t) const {
  std::lock_guard lock(FLock);
  return ValidPoint(v, t) ? FADEVMin[Index(v, t)] : 0.0;
}

double TVirtAllanData::GetAdevMax(int v, int t) const {
  std::lock_guard lock(FLock);
  return ValidPoint(v, t) ? FADEVMax[Index(v, t)] : 0.0;
}

TAllanTime TVirtAllanData::GetAdevMinTime(int v, int t) const {
  std::lock_guard lock(FLock);
  return ValidPoint(v, t) ? FADEVMinTime[Index(v, t)] : TAllanTime{};
}

TAllanTime TVirtAllanData::GetAdevMaxTime(int v, int t) const {
  std::lock_guard lock(FLock);
  return ValidPoint(v, t) ? FADEVMaxTime[Index(v, t)] : TAllanTime{};
}

int64_t TVirtAllanData::GetTau(int t) const { return t >= 0 && t <= FtauMax ? Ftaus[t] : 0; }

std::vector<int64_t> TVirtAllanData::GetADEVCounts() const {
  std::lock_guard lock(FLock);
  return {FSampleCountPerTau.begin(), FSampleCountPerTau.begin() + (FLastTau + 1)};
}

std::vector<double> TVirtAllanData::GetTextValues(int k) const {
  std::lock_guard lock(FLock);
  const int v = k - 1;
  if (v < 0 || v >= FRealCount) return {};
  const auto first = FAdev.begin() + static_cast<std::ptrdiff_t>(Index(v, 0));
  return {first, first + FTauCount};
}

std::vector<double> TVirtAllanData::GetGraphicValues(int k) const {
  std::vector<double> values = GetTextValues(k);
  for (double& d : values)
    if (d != 0.0) d = std::log10(d);
  return values;
}

std::vector<TAllanPersistEntry> TVirtAllanData::GetGraphicPersistValues(int k) const {
  std::lock_guard lock(FLock);
  const int v = k - 1;
  if (v < 0 || v >= FRealCount) return {};
  std::vector<TAllanPersistEntry> entries;
  for (int t = 0; t <= FtauMax && FPersist[Index(v, t)].HasValues(); ++t) entries.push_back(FPersist[Index(v, t)].Entry(t));
  return entries;
}

TAllanMinMax TVirtAllanData::GetGraphicScaleMinMax(int k) const {
  std::lock_guard lock(FLock);
  return ScaleOf(k, true);
}

TAllanMinMax TVirtAllanData::GetGraphicActualScaleMinMax(int k) const {
  std::lock_guard lock(FLock);
  return ScaleOf(k, false);
}

// Zero (a deviation of exactly 0, or none yet) and NaN (no extreme recorded)
// have no logarithm and are left out.
TAllanMinMax TVirtAllanData::ScaleOf(int k, bool recorded) const {
  TAllanMinMax result;
  result.xLastTau = FLastTau;
  const int v = k - 1;
  if (v < 0 || v >= FRealCount) return result;
  double smallest = kNaN;
  double largest = kNaN;
  for (int t = 0; t <= FtauMax; ++t) {
    const std::size_t i = Index(v, t);
    const double low = recorded ? FADEVMin[i] : FAdev[i];
    const double high = recorded ? FADEVMax[i] : FAdev[i];
    if (Scalable(low) && !(smallest <= low)) smallest = low;
    if (Scalable(high) && !(largest >= high)) largest = high;
  }
  if (!std::isnan(smallest)) result.yMin = RoundDecade(std::log10(smallest) - 1.0);
  if (!std::isnan(largest)) result.yMax = RoundDecade(std::log10(largest) + 1.0);
  return result;
}

std::string TVirtAllanData::GetTauCaption(int len, int intervalMs) const {
  std::lock_guard lock(FLock);
  std::string text;
  if (intervalMs <= 0) return text;
  for (int t = 0; t <= FLastTau; ++t) text += TauCaptionText(len, intervalMs, Ftaus[t]);
  return text;
}

std::string TVirtAllanData::TauCaptionText(int len, int intervalMs, int64_t m) {
  const int64_t ms = static_cast<int64_t>(intervalMs) * m;  // 20 000 ms x 2 000 000 needs 64 bits
  std::string text;
  if (ms < 1000) {
    text = std::to_string(ms) + " ms";
  } else {
    text = std::to_string(ms / 1000);
    if (const int64_t rest = ms % 1000; rest != 0) {
      std::string fraction = std::to_string(1000 + rest).substr(1);  // three digits
      while (fraction.back() == '0') fraction.pop_back();
      text += "." + fraction;
    }
    text += " s";
  }
  const int width = std::clamp(len, 0, kMaxCaptionWidth);
  if (static_cast<int>(text.size()) < width) text.insert(0, width - text.size(), ' ');
  return text;
}
