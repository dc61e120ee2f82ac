#include "app/data/PAV_DataManagement.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <exception>
#include <limits>
#include <optional>

#include "library/core/LogUnit.h"
#include "library/core/VQ_DllCommon.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kPsPerSecond = 1e12;
constexpr double kFrequencySmoothing = 20.0;    // running mean over about 20 values
constexpr long double k10MHzPerMs = 10000.0L;   // cycles of 10 MHz per millisecond
constexpr double kScramblerTrimCycles = 25.0;
constexpr uint16_t kBufferOverflowCode = 0x7F23;
constexpr int kModePhase = 0, kModePhaseAvg = 1, kModeFrequency = 2, kModeFrequencyAvg = 3, kModePhaseDiff = 4,
              kModePhaseAvgDiff = 5, kModeRaw = 6;

constexpr std::string_view BoolText(bool value) { return value ? "True" : "False"; }

bool IsPhaseMode(int mode) { return mode == kModePhase || mode == kModePhaseAvg; }
bool IsFrequencyMode(int mode) { return mode == kModeFrequency || mode == kModeFrequencyAvg; }
bool IsPhaseDiffMode(int mode) { return mode == kModePhaseDiff || mode == kModePhaseAvgDiff; }

// The counter's phase field: optional blanks, an optional sign, the whole
// cycles, the decimal mark ("." or ","), the fraction digits. The fraction is
// read on its own, so its digits keep their precision whatever the whole part.
// The value of "0." + digits, correctly rounded. Up to 15 digits the digits
// and the power of ten are exact doubles, so their quotient is rounded once:
// the same value a decimal parser gives, at a fraction of its cost.
std::optional<double> DecimalFraction(std::string_view digits) {
  static constexpr std::array<double, 16> kPow10 = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                    1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  if (digits.size() < kPow10.size()) {
    uint64_t n = 0;
    for (char c : digits) n = n * 10 + static_cast<uint64_t>(c - '0');
    return static_cast<double>(n) / kPow10[digits.size()];
  }
  const std::string text = "0." + std::string(digits);
  double value = 0.0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<Phase> ParsePhase(std::string_view text, int& decimals) {
  const std::string_view t = Trim(text);
  if (t.empty()) return std::nullopt;
  const std::size_t mark = t.find_first_of(".,");
  const std::string_view wholeText = t.substr(0, mark);
  const std::string_view fracText = mark == std::string_view::npos ? std::string_view{} : t.substr(mark + 1);
  bool negative = false;
  std::string_view digits = wholeText;
  if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty() && fracText.empty()) return std::nullopt;
  const auto allDigits = [](std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (!allDigits(digits) || !allDigits(fracText)) return std::nullopt;
  Phase p;
  if (!digits.empty()) {
    uint64_t whole = 0;
    const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), whole);
    if (ec != std::errc() || ptr != digits.data() + digits.size() ||
        whole > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
      return std::nullopt;
    p.High = negative ? -static_cast<int64_t>(whole) : static_cast<int64_t>(whole);
  }
  if (!fracText.empty()) {
    const std::optional<double> low = DecimalFraction(fracText);
    if (!low) return std::nullopt;
    p.Low = negative ? -*low : *low;
  }
  decimals = static_cast<int>(fracText.size());
  return p;
}

Phase ParsePhaseOrThrow(std::string_view text, int& decimals) {
  const std::optional<Phase> p = ParsePhase(text, decimals);
  if (!p) throw EConvertError("'" + std::string(Trim(text)) + "' is not a valid phase value");
  return *p;
}

Phase Difference(const Phase& a, const Phase& b) {
  Phase d = a;
  d.Subtract(b);
  d.Normalise();
  return d;
}

// N intervals of `perInterval` cycles. The whole cycles per interval are
// multiplied as integers, so an integral per-interval value gives an exact
// ideal phase however long the run; only the fraction is multiplied in
// floating point.
// The conversions truncate by themselves; the range checks keep them defined
// and spare the maths library's long double calls on every channel of a line.
Phase IdealPhase(long double intervals, long double perInterval) {
  Phase t;
  if (intervals == 0.0L || perInterval == 0.0L || !std::isfinite(perInterval)) return t;
  constexpr long double kInt64Range = 9.2e18L;
  if (!(std::fabs(intervals) < kInt64Range)) {
    t.FromDouble(static_cast<double>(intervals * perInterval));
    t.Normalise();
    return t;
  }
  // Intervals are counted in whole steps; rounding keeps llround's meaning.
  const auto n = static_cast<int64_t>(intervals + (intervals < 0 ? -0.5L : 0.5L));
  int64_t whole = 0;
  int64_t fWhole = 0;
  long double f = 0.0L;
  const bool exact = std::fabs(perInterval) < kInt64Range && [&] {
    const auto wholePart = static_cast<int64_t>(perInterval);
    f = static_cast<long double>(n) * (perInterval - static_cast<long double>(wholePart));
    if (!(std::fabs(f) < kInt64Range)) return false;
    fWhole = static_cast<int64_t>(f);
    return !__builtin_mul_overflow(n, wholePart, &whole) && !__builtin_add_overflow(whole, fWhole, &t.High);
  }();
  if (exact) t.Low = static_cast<double>(f - static_cast<long double>(fWhole));
  else t.FromDouble(static_cast<double>(static_cast<long double>(n) * perInterval));
  t.Normalise();
  return t;
}

double Clamp(double f) { return std::clamp(f, TPAV_DataManagement::kMinFrequency, TPAV_DataManagement::kMaxFrequency); }
bool InCounterRange(double f) {
  return std::isfinite(f) && f >= TPAV_DataManagement::kMinFrequency && f <= TPAV_DataManagement::kMaxFrequency;
}

std::string FixedText(double value, int digits) { return FloatToStrFixed(value, digits, DefaultFormatSettings()); }

}  // namespace

// ---- construction -------------------------------------------------------------------------------

TPAV_DataManagement::TPAV_DataManagement(int aLogID, int aSessId, bool aSessIsCopy)
    : TDataManagement(aLogID, aSessId, aSessIsCopy),
      PPhaseDLL(kMaxChannels + 1),
      FPhaDiff(kMaxChannels + 1),
      FPhaPredecessor(kMaxChannels + 1),
      FFrequencies(kMaxChannels + 1),
      FPhaseRes_ps(kMaxChannels + 1),
      FAvgShort(kMaxChannels + 1),
      FAvgLong(kMaxChannels + 1),
      FVirtFrequencies(kMaxChannels + 1),
      FVirtPhaseRes_ps(kMaxChannels + 1) {
  FDbgClass = "TPAV_DataManagement";
  UpdateDbgTag();
  LogLine(".Create");
  for (auto* series : {&FPhaDiff, &FPhaPredecessor, &FFrequencies, &FPhaseRes_ps, &FAvgShort, &FAvgLong,
                       &FVirtFrequencies, &FVirtPhaseRes_ps})
    for (TRing& ring : *series) ring.fill(kNaN);
  FAllanData[amFreq] = std::make_unique<TVirtAllanData>(-1, kAllanTaus, amFreq);
  FAllanData[amPhaseRes] = std::make_unique<TVirtAllanData>(-1, kAllanTaus, amPhaseRes);
  FAllanData[amPhaseDiff] = std::make_unique<TVirtAllanData>(-1, kAllanTaus, amPhaseDiff);
  FPVHFactors.fill(1.0L);
  FPhaseDecimals.fill(kDefaultPhaseDecimals);
  if (aSessId >= 0) FSessionLetter = static_cast<char>('A' + aSessId % 26);
  Reset();
}

TPAV_DataManagement::~TPAV_DataManagement() { LogLine(".Destroy"); }

int TPAV_DataManagement::Mode() const {
  auto lock = Lock();
  return FValueHeader.FModeValid ? FValueHeader.FMode : -1;
}

void TPAV_DataManagement::SamplerEvent(int event, const std::string& text) {
  if (FOnSamplerEvent) FOnSamplerEvent(FSessId, FSessIsCopy, event, text);
}

// ---- one measurement line -------------------------------------------------------------------------

bool TPAV_DataManagement::ExtractData(const std::string& line, int64_t aDeviceMs) {
  const std::optional<uint16_t> code = ReportLineCode(line);
  if (!code || !VQ_Code::IsMeasurement(*code)) {
    if (LogWanted(FLogId)) LogErrorLine(".ExtractData no measurement line: " + line.substr(0, 64));
    AddError(kErrorDataLoss, "Transfer error. Data lost: %" + line + "%");
    return false;
  }
  if (TVQHeader(*code).FMode == kModeRaw) return ExtractRawData(line, aDeviceMs);

  // A header without a valid mode or interval is damaged data: it must not
  // replace (and so reset) the store's header.
  const TVQHeader header(*code);
  if (!header.FModeValid || !header.FIntervalIndexValid || header.FGateTime == 0) {
    if (LogWanted(FLogId)) LogErrorLine(".ExtractData invalid header " + HexText(*code, 4));
    AddError(kErrorDataLoss, "Transfer error. Data lost: %" + line + "%");
    return false;
  }

  auto lock = Lock();
  // The header first: a changed header resets the store, and that reset must
  // not wipe the device time and sync mark of the line that caused it.
  if (SetValueHeader(*code)) SamplerEvent(kEventHeaderChanged, "");
  FDeviceMs = aDeviceMs;

  std::string_view payload(line);
  payload.remove_prefix(4);
  while (!payload.empty() && static_cast<unsigned char>(payload.back()) <= ' ') payload.remove_suffix(1);

  if (FPLLError) {
    if (payload.size() % kFieldWidth != 0) {
      if (LogWanted(FLogId))
        LogErrorLine(".ExtractData invalid data length" + std::to_string(payload.size()) +
                     " -> ignore during PLL error");
      return false;
    }
    const int m = static_cast<int>(payload.size() / kFieldWidth);
    // Only a count known from earlier lines can be contradicted; after a
    // reset the count is 0 and refusing every line would never end the
    // PLL error (it ends after enough good lines).
    if (FChannelCount > 0 && m != FChannelCount) {
      if (LogWanted(FLogId))
        LogErrorLine(".ExtractData invalid channel count old=" + std::to_string(FChannelCount) +
                     ", new=" + std::to_string(m) + " -> ignore during PLL error");
      return false;
    }
  }
  if (payload.size() > static_cast<std::size_t>(kMaxPayload)) {
    AddError(kErrorDataLoss, "Measurement data too long! Truncated to " + std::to_string(kMaxPayload) + " Bytes!");
    payload = payload.substr(0, kMaxPayload);
  }
  if (payload.size() < static_cast<std::size_t>(kFieldWidth)) {
    AddError(kErrorDataLoss, "Transfer error. Data lost: %" + line + "%");
    return false;
  }
  const int n = static_cast<int>(payload.size() / kFieldWidth);
  if (!FieldsReadable(payload, n)) {
    AddError(kErrorDataLoss, "Transfer error. Data lost: %" + line + "%");
    return false;
  }

  try {
    MarkSyncTime(aDeviceMs);
    BeforeExtractData(line);
    if (FIgnoreFirstPhase) {
      if (LogWanted(FLogId)) LogLine(".ExtractData ignore first phase " + line);
    } else {
      for (int k = 1; k <= n; ++k)
        AddValueString(payload.substr(1 + static_cast<std::size_t>(kFieldWidth) * (k - 1), kValueWidth), k);
    }
    const int oldCount = FChannelCount;
    if (SetChannelCount(n) && oldCount > 0) SamplerEvent(kEventChannelCount, "");
    return AfterExtractData();
  } catch (const std::exception& e) {
    if (LogWanted(FLogId)) LogErrorLine(".ExtractData failed: " + std::string(e.what()));
    AddError(kErrorException, "Internal Exception ExtractData(" + ExceptionClassName(e) + "): " + e.what());
    return false;
  }
}

void TPAV_DataManagement::MarkSyncTime(int64_t aDeviceMs) {
  FPAVTime[FlaufX[0] & kRingMask] = aDeviceMs;
  if (aDeviceMs >= 0 && aDeviceMs % 100 == 0) {
    // Seconds with the tenth, written with the log separator.
    FSyncTime = std::to_string(aDeviceMs / 1000) + FLogFormat.DecimalSeparator +
                static_cast<char>('0' + (aDeviceMs % 1000) / 100);
    if (aDeviceMs % 1000 == 0) FSync = "1";
  }
  if (LogWanted(FLogId))
    LogLine(".ExtractData DeviceMs=" + std::to_string(aDeviceMs) + " Sync=" + FSync + ", SyncTime=" + FSyncTime);
}

bool TPAV_DataManagement::FieldsReadable(std::string_view payload, int n) {
  FPhasesRead = false;
  const int mode = FValueHeader.FMode;
  if (!IsPhaseMode(mode) && !IsPhaseDiffMode(mode)) return true;  // an unreadable frequency reads 0
  for (int k = 1; k <= std::min(n, kMaxChannels); ++k) {
    const std::string_view text = payload.substr(1 + static_cast<std::size_t>(kFieldWidth) * (k - 1), kValueWidth);
    const std::optional<Phase> p = ParsePhase(text, FLineDecimals[k]);
    if (!p) {
      if (LogWanted(FLogId))
        LogErrorLine(".ExtractData unreadable field, Kanal=" + std::to_string(k) + ": " + std::string(text));
      return false;
    }
    FLinePhases[k] = *p;
  }
  FPhasesRead = true;
  return true;
}

Phase TPAV_DataManagement::LinePhase(std::string_view text, int k, int& decimals) const {
  if (!FPhasesRead) return ParsePhaseOrThrow(text, decimals);
  decimals = FLineDecimals[k];
  return FLinePhases[k];
}

bool TPAV_DataManagement::ExtractRawData(const std::string& line, int64_t aDeviceMs) {
  {
    auto lock = Lock();
    FDeviceMs = aDeviceMs;
  }
  if (LogWanted(FLogId)) LogLine(".ExtractRawData not evaluated: " + line);
  return false;
}

void TPAV_DataManagement::BeforeExtractData(const std::string& line) {
  // Debug view: code and first field, then four fields per row.
  const std::size_t first = 4 + static_cast<std::size_t>(kFieldWidth);
  FDebugTextPending = line.substr(0, std::min(first, line.size()));
  for (std::size_t pos = first, i = 0; pos < line.size(); pos += kFieldWidth, ++i) {
    if (i % 4 == 0) FDebugTextPending += "\r\n     ";
    FDebugTextPending += line.substr(pos, kFieldWidth);
  }

  const int gate = static_cast<int>(FValueHeader.FGateTime);
  if (gate != FIntervalMs) {
    if (LogWanted(FLogId))
      LogLine(".BeforeExtractData IntervalMs " + std::to_string(FIntervalMs) + " -> " + std::to_string(gate));
    FIntervalMs = gate;
    // Deviations of different intervals must never mix.
    for (auto& allan : FAllanData) allan->SetIntervalMs(gate);
    ResetAllan();
    CalculateTheoPhaseOffset(0);
  }
  for (std::string* s :
       {&FSamplerPhaseValuesString, &FSamplerFrequencyValuesString, &FSamplerPhaseDiffValuesString,
        &FSamplerPhasePredecessorValuesString, &FSamplerPhaseResiduumValuesString, &FSamplerRawDataString,
        &FSamplerADEVValuesString, &FSamplerVirtualFreqAbsValuesString, &FSamplerVirtualFreqRelValuesString,
        &FSamplerVirtualPhaseResValuesString, &FSamplerVirtualADEVValuesString,
        &FSamplerVirtualPhaseDiffValuesString, &FSamplerVirtualPhasePrevValuesString})
    s->clear();
  FClockAlarmText.clear();
  FLetzterKanal = 0;
  FFrequencyFresh.fill(false);
  FResidualFresh.fill(false);
  FPhaseDiffFresh.fill(false);
  FZeroOffsetNew.fill(false);
  FLineSuppressed = false;
}

void TPAV_DataManagement::AddValueString(std::string_view text, int k) {
  try {
    FIntervalCount[k] += 1.0L;
    switch (FValueHeader.FMode) {
      case kModePhase:
      case kModePhaseAvg: AddPhaseValueString(text, k); break;
      case kModeFrequency:
      case kModeFrequencyAvg: AddFrequencyValueString(text, k); break;
      case kModePhaseDiff:
      case kModePhaseAvgDiff: AddPhaseDiffValueString(text, k); break;
      default: break;
    }
    FLetzterKanal = k;
  } catch (const std::exception&) {
    if (LogWanted(FLogId))
      LogErrorLine(".AddValueString failed aValue=" + std::string(text) + ", Kanal=" + std::to_string(k) +
                   " Mode=" + std::to_string(FValueHeader.FMode));
    throw;
  }
}

void TPAV_DataManagement::AddPhaseValueString(std::string_view text, int k) {
  const int pos = FlaufX[0] & kRingMask;
  int decimals = kDefaultPhaseDecimals;
  const Phase p = LinePhase(text, k, decimals);
  FPhaseDecimals[k] = decimals;
  if (!FZeroOffsetTaken[k]) {
    PPhaseZeroOffset[k] = p;
    FZeroOffsetTaken[k] = true;
    FZeroOffsetNew[k] = true;
    FIntervalCount[k] = 0.0L;
    if (LogWanted(FLogId))
      LogLine(".AddPhaseValueString PPhaseZeroOffset[" + std::to_string(k) + "]=" + p.ToString());
  }
  const Phase d = Difference(p, PPhaseZeroOffset[k]);
  const long double intervals = FIntervalCount[k];
  const Phase t = IdealPhase(intervals, FtheoNomFreqPerInterval[k]);
  Phase residual;
  if (!IsPVH(k)) {
    residual = Difference(d, t);
    PPhase[k] = p;
  } else {
    // The counter measures a PVH channel against 10 MHz; its residual is
    // scaled back to the channel's own frequency and the channel's phase is
    // rebuilt from the ideal phase plus that residual.
    const Phase t10 = IdealPhase(intervals, Ftheo10MHzPerInterval);
    residual = Difference(d, t10);
    residual.Divide(static_cast<double>(FPVHFactors[k]));
    Phase rebuilt = t;
    rebuilt.Add(residual);
    PPhase[k] = rebuilt;
  }
  if (FNom_Frequ[k] != 0.0) PPhaseRes[k] = residual;
  if (k == 1 && LogWanted(FLogId)) LogLine(".AddPhaseValueString PPhaseRes[1]=" + PPhaseRes[1].ToString());
  PPhaseDLL[k][pos] = PPhase[k];
  CalculatePhaseDerived(k);
}

void TPAV_DataManagement::CalculatePhaseDerived(int k) {
  const int pos = FlaufX[0] & kRingMask;
  const double f0 = FNom_Frequ[k];
  if (f0 != 0.0) {
    const double ps = PPhaseRes[k].ToDouble() / f0 * kPsPerSecond;
    FPhaseRes_ps[k][pos] = ps;
    FPhaseRes_ns[k] = ps / 1000.0;
    // The first residual of a new zero offset starts a new series.
    FResidualFresh[k] = !FZeroOffsetNew[k] && !FResidualChainBreak[k];
  } else {
    FPhaseRes_ps[k][pos] = kNaN;
    FPhaseRes_ns[k] = 0.0;
  }

  const bool suppressed = FSuppressFirstFrequency[k];
  if (suppressed) {
    FFrequency[k] = 0.0;
    FFrequencyValid[k] = false;
    FLineSuppressed = true;
  } else if (!FPhaseDiffResetted) {
    const double f = Difference(PPhase[k], PPhaseOld[k]).ToDouble() * 1000.0 / FIntervalMs;
    if (!IsPVH(k)) {
      FFrequencyValid[k] = InCounterRange(f);
      FFrequency[k] = std::isnan(f) ? kMinFrequency : Clamp(f);
    } else {
      // Rebuilt from the ideal phase: meaningless without a nominal frequency.
      FFrequencyValid[k] = f0 != 0.0 && std::isfinite(f) && f > 0.0;
      FFrequency[k] = f;
    }
    FFrequencyFresh[k] = FFrequencyValid[k];
    CalculateFrequencies(k);
  }
  FFrequencies[k][pos] = FFrequency[k];
  PPhaseOld[k] = PPhase[k];
  CalculatePhaseDiff(k);
  // Only the flag that was consumed here: learning the nominal frequency may
  // just have set it again for the next line.
  if (suppressed) {
    FSuppressFirstFrequency[k] = false;
    if (LogWanted(FLogId)) LogLine(".SuppressFirstFrequency[" + std::to_string(k) + "] = false");
  }
}

void TPAV_DataManagement::AddFrequencyValueString(std::string_view text, int k) {
  const int pos = FlaufX[0] & kRingMask;
  const std::string number = ConvertDecimalMark(Trim(text), '.');
  const std::optional<double> kHz = TryStrToFloat(number);
  double f = 0.0;
  bool valid = false;
  if (kHz && std::isfinite(*kHz)) {
    const double raw = *kHz * 1000.0;  // the counter reports kHz
    valid = InCounterRange(raw);
    f = Clamp(raw);
    if (IsPVH(k)) {
      const double f0 = FNom_Frequ[k];
      f = f0 + (f - f0) / static_cast<double>(FPVHFactors[k]);
      valid = valid && f0 != 0.0;
    }
  }
  FFrequency[k] = f;
  FFrequencyValid[k] = valid;
  FFrequencyFresh[k] = valid;
  FFrequencies[k][pos] = f;
  FPhaseRes_ps[k][pos] = kNaN;
  CalculateFrequencies(k);
}

void TPAV_DataManagement::CalculateFrequencies(int k) {
  if (FFrequencyValid[k]) {
    if (FrequGltt[k] == 0.0) {
      FrequGltt[k] = FFrequency[k];
      if (LogWanted(FLogId)) LogLine(".FrequGltt[" + std::to_string(k) + "]=" + FixedText(FrequGltt[k], 11));
    }
    if (FNom_Frequ[k] == 0.0) {
      FNom_Frequ[k] = FrequGltt[k];
      if (LogWanted(FLogId))
        LogLine(".CalculateFrequencies.Nom_Frequ[" + std::to_string(k) + "]=" + FixedText(FNom_Frequ[k], 11));
      CalculateTheoPhaseOffset(k);
    } else if (!FPhaseDiffResetted) {
      FrequGltt[k] -= (FrequGltt[k] - FFrequency[k]) / kFrequencySmoothing;
    }
  }
  const double f0 = FNom_Frequ[k];
  if (f0 != 0.0) FFrequencyRelative[k] = (FFrequency[k] - f0) / f0;
}

void TPAV_DataManagement::CalculatePhaseDiff(int k) {
  const int pos = FlaufX[0] & kRingMask;
  const Phase a = Difference(PPhase[k], PPhase[1]);
  const Phase b = k > 1 ? Difference(PPhase[k], PPhase[k - 1]) : a;
  if (FPhaseDiffResetted) {
    PPhaDiffZero[k] = a;
    PPhaPredecessorZero[k] = b;
    FPhaseDiffChainBreak[k] = true;
  }
  PPhaseDiff[k] = Difference(a, PPhaDiffZero[k]);
  PPhasePreDiff[k] = Difference(b, PPhaPredecessorZero[k]);
  FPhaDiff[k][pos] = PPhaseDiff[k].ToDouble();
  FPhaPredecessor[k][pos] = PPhasePreDiff[k].ToDouble();
  FPhaseDiffFresh[k] = true;
}

void TPAV_DataManagement::AddPhaseDiffValueString(std::string_view text, int k) {
  const int pos = FlaufX[0] & kRingMask;
  int decimals = kDefaultPhaseDecimals;
  Phase p = LinePhase(text, k, decimals);
  FPhaseDecimals[k] = decimals;
  if (FEqualPVHSettings && IsPVH(k)) p.Divide(static_cast<double>(FPVHFactors[k]));
  PPhaseDiff[k] = p;
  PPhaseDLL[k][pos] = p;
  FPhaDiff[k][pos] = p.ToDouble();
  PPhasePreDiff[k] = k > 1 ? Difference(p, PPhaseDiff[k - 1]) : Phase{};
  FPhaPredecessor[k][pos] = PPhasePreDiff[k].ToDouble();
  FPhaseRes_ps[k][pos] = kNaN;
  // The counter re-zeroes its differences itself after a reset request.
  if (FPhaseDiffResetted) FPhaseDiffChainBreak[k] = true;
  FPhaseDiffFresh[k] = true;
}

void TPAV_DataManagement::CalculateTheoPhaseOffset(int k) {
  if (FIntervalMs < 0) return;
  if (k == 0) {
    Ftheo10MHzPerInterval = static_cast<long double>(FIntervalMs) * k10MHzPerMs;
    if (LogWanted(FLogId))
      LogLine(".CalculateTheoPhaseOffset Ftheo10MHzPerInterval=" +
              FixedText(static_cast<double>(Ftheo10MHzPerInterval), 0));
    for (int c = 1; c <= kMaxChannels; ++c) CalculateTheoPhaseOffset(c);
    return;
  }
  if (k < 1 || k > kMaxChannels) return;
  ClearTheoPhaseOffset(k);
  FtheoNomFreqPerInterval[k] = static_cast<long double>(FIntervalMs) * FNom_Frequ[k] / 1000.0L;
}

void TPAV_DataManagement::ClearTheoPhaseOffset(int k) {
  if (k < 1 || k > kMaxChannels) return;
  PPhaseZeroOffset[k].Clear();
  FZeroOffsetTaken[k] = false;
  FIntervalCount[k] = 0.0L;
  // A PVH channel's phase is rebuilt from the ideal phase and restarts near
  // 0 with the next zero offset: the frequency across that jump is no
  // measurement.
  if (IsPVH(k) && !FSuppressFirstFrequency[k]) {
    FSuppressFirstFrequency[k] = true;
    if (LogWanted(FLogId)) LogLine(".SuppressFirstFrequency[" + std::to_string(k) + "] = true");
  }
}

void TPAV_DataManagement::CalculateVirtual(int v) {
  if (v < 1 || v > kMaxChannels) return;
  const int pos = FlaufX[0] & kRingMask;
  const int n = FChannelCount;
  const bool residuals = IsPhaseMode(FValueHeader.FMode);
  const TFactorRow& w = FVirtualFactors[v];
  Phase phase, diff, preDiff;
  double resNs = 0.0, freq = 0.0, rel = 0.0;
  for (int i = 1; i <= kMaxChannels; ++i) {
    const double wi = w[i - 1];
    if (wi == 0.0) continue;
    for (auto [sum, term] : {std::pair{&phase, PPhase[i]}, std::pair{&diff, PPhaseDiff[i]},
                             std::pair{&preDiff, PPhasePreDiff[i]}}) {
      term.Multiply(wi);
      sum->Add(term);
    }
    // A channel missing from the line, or without a value of that kind,
    // makes the combination unknown rather than a sum of stale numbers.
    const bool present = i <= n;
    resNs = present && residuals && !std::isnan(FPhaseRes_ps[i][pos]) ? resNs + wi * FPhaseRes_ns[i] : kNaN;
    freq = present && FFrequencyValid[i] ? freq + wi * FFrequency[i] : kNaN;
    rel = present && FFrequencyValid[i] && FNom_Frequ[i] != 0.0 ? rel + wi * FFrequencyRelative[i] : kNaN;
  }
  PVirtPhase[v] = phase;
  PVirtPhaseDiff[v] = diff;
  PVirtPhasePreDiff[v] = preDiff;
  FVirtPhaseRes_ns[v] = resNs;
  FVirtPhaseRes_ps[v][pos] = resNs * 1000.0;
  FVirtFrequency[v] = freq;
  FVirtFrequencies[v][pos] = freq;
  FVirtFrequencyRelative[v] = rel;
}

// ---- after a line -----------------------------------------------------------------------------------

void TPAV_DataManagement::UpdateAllanExclusions(int n) {
  const int mode = FValueHeader.FMode;
  const auto any = [n](const TChannelFlags& flags) {
    return std::any_of(flags.begin() + 1, flags.begin() + 1 + n, [](bool b) { return b; });
  };
  if (FAllanIgnorePhase && (IsPhaseMode(mode) || IsPhaseDiffMode(mode))) {
    bool valid = false;
    if (IsPhaseMode(mode)) {
      valid = any(FResidualFresh);
    } else {
      for (int k = 1; k <= n && !valid; ++k)
        valid = FPhaseDiffFresh[k] && !FPhaseDiffChainBreak[k] && FNom_Frequ[k] != 0.0;
    }
    if (valid) {
      FAllanIgnorePhase = false;
      if (LogWanted(FLogId)) LogLine(".AfterExtractData reset AllanIgnorePhase");
    }
  }
  if (FAllanIgnoreFrequ && (IsPhaseMode(mode) || IsFrequencyMode(mode))) {
    bool valid = false;
    for (int k = 1; k <= n && !valid; ++k) valid = FFrequencyFresh[k] && FNom_Frequ[k] != 0.0;
    if (valid) {
      FAllanIgnoreFrequ = false;
      if (LogWanted(FLogId)) LogLine(".AfterExtractData reset AllanIgnoreFrequ");
    }
  }
}

void TPAV_DataManagement::FeedAllan() {
  const int n = FChannelCount;
  if (n <= 0) return;
  const int mode = FValueHeader.FMode;
  const int pos = FlaufX[0] & kRingMask;
  std::vector<double> data(static_cast<std::size_t>(n));
  const auto feed = [&](TAllanMode am) {
    TVirtAllanData& allan = *FAllanData[am];
    if (allan.GetRealCount() < 0) allan.SetVirtualFactors(n);
    allan.AddData(data);
  };
  // Missing values are NaN: the accumulator leaves them out instead of
  // taking them for a measured 0.
  if (!FAllanIgnoreFrequ && (IsPhaseMode(mode) || IsFrequencyMode(mode))) {
    for (int k = 1; k <= n; ++k)
      data[k - 1] = FFrequencyFresh[k] && FNom_Frequ[k] != 0.0 ? FFrequencyRelative[k] : kNaN;
    feed(amFreq);
  }
  if (!FAllanIgnorePhase && IsPhaseMode(mode)) {
    for (int k = 1; k <= n; ++k) data[k - 1] = FResidualFresh[k] ? FPhaseRes_ps[k][pos] : kNaN;
    feed(amPhaseRes);
  }
  if (!FAllanIgnorePhase && (IsPhaseMode(mode) || IsPhaseDiffMode(mode))) {
    for (int k = 1; k <= n; ++k) {
      const double f0 = FNom_Frequ[k];
      const bool valid = FPhaseDiffFresh[k] && !FPhaseDiffChainBreak[k] && f0 != 0.0;
      data[k - 1] = valid ? FPhaDiff[k][pos] / f0 * kPsPerSecond : kNaN;
    }
    feed(amPhaseDiff);
  }
  // A restarted series is broken once, then continues from its new zero.
  for (int k = 1; k <= n; ++k) {
    if (FPhaseDiffFresh[k]) FPhaseDiffChainBreak[k] = false;
    if (IsPhaseMode(mode)) FResidualChainBreak[k] = false;
  }
}

void TPAV_DataManagement::CheckClockAlarm(int n) {
  if (!FOnClockAlarm || n <= 0) return;
  const int mode = FValueHeader.FMode;
  const bool allowed = IsFrequencyMode(mode) || (IsPhaseMode(mode) && !FLineSuppressed && !FPhaseDiffResetted);
  if (!allowed) return;
  const TClockAlarmResult result =
      FOnClockAlarm(std::span<const double>(FFrequency.data() + 1, static_cast<std::size_t>(n)));
  if (!result.AlarmText.empty()) {
    AddWarning(kWarningClockAlarm, result.AlarmText);
    if (result.KeepForLog) FClockAlarmText = result.AlarmText;
  }
  if (!result.AllClearText.empty()) AddWarning(kWarningClockAllClear, result.AllClearText);
}

void TPAV_DataManagement::SendServerLines() {
  if (!FOnServerLine) return;
  if (!FSamplerPhaseValuesString.empty())
    FOnServerLine(FMultiId, FSync + FPDIs_HEX + FSamplerPhaseValuesString, kServerPhase);
  if (!FSamplerFrequencyValuesString.empty()) FOnServerLine(FMultiId, FSamplerFrequencyValuesString, kServerFrequency);
  if (!FSamplerPhaseDiffValuesString.empty()) FOnServerLine(FMultiId, FSamplerPhaseDiffValuesString, kServerPhaseDiff);
  if (!FSamplerPhasePredecessorValuesString.empty())
    FOnServerLine(FMultiId, FSamplerPhasePredecessorValuesString, kServerPredecessor);
}

void TPAV_DataManagement::TrimPhaseDiffZeros(int n) {
  if (!FScramblerTrim || (FlaufX[0] & kRingMask) != 0 || !IsPhaseMode(FValueHeader.FMode)) return;
  for (int k = 2; k <= n; ++k) {
    if (std::fabs(PPhaseDiff[k].ToDouble()) <= kScramblerTrimCycles) continue;
    PPhaDiffZero[k].Add(PPhaseDiff[k]);
    FPhaseDiffChainBreak[k] = true;
    if (LogWanted(FLogId)) LogLine(".AfterExtractData scrambler trim PPhaDiffZero[" + std::to_string(k) + "]");
  }
}

bool TPAV_DataManagement::AfterExtractData() {
  if (FIgnoreFirstPhase) {
    FIgnoreFirstPhase = false;
    // The ignored line leaves no sync mark for the next one.
    FSync = FSyncReset;
    FSyncTime.clear();
    if (LogWanted(FLogId)) LogLine(".AfterExtractData reset ignore first phase");
    return true;
  }
  const int n = FChannelCount;
  UpdateAllanExclusions(n);
  const auto step = [this](const char* what, auto&& body) {
    try {
      body();
    } catch (const std::exception&) {
      if (LogWanted(FLogId)) LogErrorLine(std::string(".AfterExtractData - ") + what + " failed");
      throw;
    }
  };
  step("clock alarm", [&] { CheckClockAlarm(n); });
  step("Allan", [&] { FeedAllan(); });
  step("virtual channels", [&] {
    const int count = GetVirtualChannelCount();
    for (int v = 1; v <= count; ++v) CalculateVirtual(v);
  });
  if (FAddLogStrings && FDeviceMs >= 0) {
    step("MultiSampler", [&] {
      GenerateSamplerStrings();
      AddSamplerStrings();
    });
    step("server", [&] { SendServerLines(); });
  } else if (LogWanted(FLogId)) {
    LogLine(".AfterExtraceData: FAddLogStrings=" + std::string(BoolText(FAddLogStrings)) +
            " DeviceMs=" + std::to_string(FDeviceMs));
  }
  step("end", [&] {
    FPhaseDiffResetted = false;
    FSync = FSyncReset;
    FSyncTime.clear();
    for (std::size_t i = 0; i < FPDIs_HEX.size(); ++i) FPDIs_HEX[i] = i % 9 == 0 ? ' ' : '-';
    AfterAddValues(THorizontalScale::hsNone);
    TrimPhaseDiffZeros(n);
  });
  FDebugText = FDebugTextPending;
  return true;
}

// ---- lifecycle ------------------------------------------------------------------------------------------

void TPAV_DataManagement::Reset() {
  LogLine(".Reset");
  {
    auto lock = Lock();
    FPhaseDiffResetted = true;
    for (int k = 1; k <= kMaxChannels; ++k) {
      PPhaseOld[k].Clear();
      PPhaseRes[k].Clear();
      FPhaseDecimals[k] = kDefaultPhaseDecimals;
      FSuppressFirstFrequency[k] = true;
      FFrequency[k] = 0.0;
      FFrequencyRelative[k] = 0.0;
      FFrequencyValid[k] = false;
      FPhaseRes_ns[k] = 0.0;
      PPhaseZeroOffset[k].Clear();
      FZeroOffsetTaken[k] = false;
      FIntervalCount[k] = 0.0L;
    }
    FFrequencyFresh.fill(false);
    FResidualFresh.fill(false);
    FPhaseDiffFresh.fill(false);
    FZeroOffsetNew.fill(false);
    FPhaseDiffChainBreak.fill(false);
    FLineSuppressed = false;
    FResidualChainBreak.fill(false);
    FPDICount = 0;
    FDebugText.clear();
    FDebugTextPending.clear();
    FTimeStampIndex = -1;
    FTimeStampCount = 0;
    FIntervalMs = -1;
    FPAVTime.fill(-1);
    FPLLError = false;
    ResetAllan();
    TDataManagement::Reset();
  }
}

void TPAV_DataManagement::ResetAllan() {
  LogLine(".ResetAllan");
  auto lock = Lock();
  for (auto& allan : FAllanData) allan->Reset();
  FAllanIgnorePhase = true;
  FAllanIgnoreFrequ = true;
  FPhaseDiffChainBreak.fill(false);
  FResidualChainBreak.fill(false);
}

void TPAV_DataManagement::ResetAllanPersist(int channel) {
  if (LogWanted(FLogId)) LogLine(".ResetAllanPersist channel=" + std::to_string(channel));
  if (channel < 1 || channel > kMaxChannels) return;
  auto lock = Lock();
  for (auto& allan : FAllanData) {
    allan->ResetMinimumMaximum(channel - 1);
    allan->ResetPersist(channel - 1);
  }
}

void TPAV_DataManagement::DeviceOpened() {
  LogLine(".DeviceOpened");
  auto lock = Lock();
  FLost = 0;
  FDevicePVHSet = false;
  FEqualPVHSettings = true;
  FPVHFactors.fill(1.0L);
  FDeviceMs = -1;
  Reset();
}

void TPAV_DataManagement::BufferCleared(uint16_t code) {
  if (LogWanted(FLogId)) LogLine(".BufferCleared header=" + HexText(code, 4));
  auto lock = Lock();
  Reset();
  if (code == kBufferOverflowCode)
    SamplerEvent(kEventMessage, std::string("Source ") + FSessionLetter +
                                    " One or more lines lost due to receive buffer overflow");
}

void TPAV_DataManagement::IncLost() {
  auto lock = Lock();
  ++FLost;
  if (LogWanted(FLogId)) LogLine(".Lost: " + std::to_string(FLost));
  SamplerEvent(kEventLost, "");
  Reset();
}

uint64_t TPAV_DataManagement::Lost() const {
  auto lock = Lock();
  return FLost;
}

void TPAV_DataManagement::SetNewHeader(uint16_t code) {
  if (LogWanted(FLogId)) LogLine(".SetNewHeader " + HexText(code, 4));
  auto lock = Lock();
  if (SetValueHeader(code)) SamplerEvent(kEventHeaderChanged, "");
  const TVQHeader header(code);
  if (header.FModeValid && IsPhaseMode(header.FMode)) {
    FIgnoreFirstPhase = true;
    if (LogWanted(FLogId)) LogLine(".SetNewHeader Umschaltung Phasenmodus -> erste Phase ignorieren");
  }
}

void TPAV_DataManagement::PhaseDiffResetted() {
  LogLine(".PhaseDiffResetted");
  auto lock = Lock();
  FPhaseDiffResetted = true;
}

void TPAV_DataManagement::ReSync(const std::string& text) {
  LogLine(".ReSync " + text);
  auto lock = Lock();
  FSuppressFirstFrequency.fill(true);
  // The counter's phase may jump with the re-synchronisation: the phase
  // series go on, but no deviation is computed across the jump.
  FResidualChainBreak.fill(true);
  FPhaseDiffChainBreak.fill(true);
  SamplerEvent(kEventMessage, text);
}

bool TPAV_DataManagement::PLLError() const {
  auto lock = Lock();
  return FPLLError;
}

void TPAV_DataManagement::SetPLLError(bool value) {
  auto lock = Lock();
  if (FPLLError == value) return;
  FPLLError = value;
  if (LogWanted(FLogId)) LogLine(".SetPLLError " + std::string(BoolText(value)));
}

// ---- nominal frequencies and PVH channels ---------------------------------------------------------

double TPAV_DataManagement::GetNomFreq(int k) const {
  if (k < 1 || k > kMaxChannels) return 0.0;
  auto lock = Lock();
  return FNom_Frequ[k];
}

void TPAV_DataManagement::SetNomFreq(int k, double value) {
  if (k < 1 || k > kMaxChannels || value == 0.0) return;
  // A nominal frequency divides every residual and relative frequency.
  if (!std::isfinite(value) || value < 0.0) {
    if (LogWanted(FLogId)) LogErrorLine(".SetNom_Frequ[" + std::to_string(k) + "] refused " + FloatToStrGeneral(value));
    return;
  }
  auto lock = Lock();
  if (value != FNom_Frequ[k]) {
    if (FUpdateCounter > 0) {
      FResetAllanNeeded = true;
      FResetRawDataNeeded = true;
    } else {
      ResetAllan();
    }
  }
  FNom_Frequ[k] = value;
  FNom_FrequUser[k] = true;
  if (LogWanted(FLogId))
    LogLine(".SetNom_Frequ[" + std::to_string(k) + "]=" + FloatToStrGeneral(value) + ", UserInput=True");
  CalculateTheoPhaseOffset(k);
}

double TPAV_DataManagement::GetNomFreqUser(int k) const {
  if (k < 1 || k > kMaxChannels) return 0.0;
  auto lock = Lock();
  return FNom_FrequUser[k] ? FNom_Frequ[k] : 0.0;
}

double TPAV_DataManagement::GetNomFrequCalculated(int k) const {
  if (k < 1 || k > kMaxChannels) return 0.0;
  auto lock = Lock();
  return FrequGltt[k];
}

bool TPAV_DataManagement::AddPVHData(const TPVHSettings& settings) {
  auto lock = Lock();
  BeginUpdate();
  bool changed = false;
  FDevicePVHSet = true;
  FEqualPVHSettings = true;
  const TPVHSetting* first = nullptr;
  for (int k = 1; k <= kMaxChannels; ++k) {
    const TPVHSetting& s = settings.PVHChannels[static_cast<std::size_t>(k - 1)];
    if (s.enabled) {
      if (!first)
        first = &s;
      else if (s.Factor != first->Factor || s.NomFreq != first->NomFreq)
        FEqualPVHSettings = false;
      // A factor of 0 or no number would divide every value of the channel.
      const bool usable = std::isfinite(s.Factor) && s.Factor != 0.0L;
      if (usable && FPVHFactors[k] != s.Factor) {
        FPVHFactors[k] = s.Factor;
        changed = true;
        // Residuals of the old and the new factor must not mix in one deviation.
        FResetAllanNeeded = true;
        // The channel's phase changes meaning: a new zero offset.
        ClearTheoPhaseOffset(k);
        if (LogWanted(FLogId))
          LogLine(".AddPVHData PAV-Channel " + std::to_string(k) + ", PVH-Factor=" +
                  FloatToStrGeneral(static_cast<double>(s.Factor)));
      }
      if (FNom_Frequ[k] != s.NomFreq && s.NomFreq != 0.0) {
        SetNomFreq(k, s.NomFreq);
        FrequGltt[k] = 0.0;
        changed = true;
      }
    } else if (FPVHFactors[k] != 1.0L) {
      // Back to an ordinary channel: its phase jumps from the rebuilt one to
      // the counter's, so the next frequency is no measurement either.
      FPVHFactors[k] = 1.0L;
      ClearTheoPhaseOffset(k);
      FSuppressFirstFrequency[k] = true;
      FResetAllanNeeded = true;
      changed = true;
      if (LogWanted(FLogId)) LogLine(".AddPVHData PAV-Channel " + std::to_string(k) + ", PVH-Factor=1.0");
    }
  }
  if (changed && LogWanted(FLogId)) LogLine(".AddPVHData changed -> reset");
  EndUpdate();
  return changed;
}

bool TPAV_DataManagement::DevicePVHSet() const {
  auto lock = Lock();
  return FDevicePVHSet;
}

void TPAV_DataManagement::BeginUpdate() {
  auto lock = Lock();
  ++FUpdateCounter;
}

void TPAV_DataManagement::EndUpdate() {
  auto lock = Lock();
  if (FUpdateCounter <= 0) return;
  if (--FUpdateCounter > 0) return;
  if (FResetAllanNeeded || FResetRawDataNeeded) {
    LogLine(".EndUpdate Changes done -> react");
    if (FResetAllanNeeded) ResetAllan();
    FResetAllanNeeded = false;
    FResetRawDataNeeded = false;
  }
}

// ---- options ----------------------------------------------------------------------------------------

bool TPAV_DataManagement::AddLogStrings() const {
  auto lock = Lock();
  return FAddLogStrings;
}

void TPAV_DataManagement::SetAddLogStrings(bool value) {
  {
    auto lock = Lock();
    if (FAddLogStrings == value) return;
    FAddLogStrings = value;
  }
  if (LogWanted(FLogId)) LogLine(".SetAddLogStrings " + std::string(BoolText(value)));
}

void TPAV_DataManagement::SetRawMode(int rawMs, bool avg) {
  auto lock = Lock();
  FRawMs = rawMs;
  FRawAvg = avg;
}

void TPAV_DataManagement::SetRef20MHz(bool value) {
  auto lock = Lock();
  FRef20MHz = value;
}

bool TPAV_DataManagement::ScramblerTrim() const {
  auto lock = Lock();
  return FScramblerTrim;
}

void TPAV_DataManagement::SetScramblerTrim(bool value) {
  auto lock = Lock();
  FScramblerTrim = value;
}

void TPAV_DataManagement::SetMultiId(int multiId) {
  auto lock = Lock();
  FMultiId = multiId;
}

void TPAV_DataManagement::SetLocalServerRunning(bool value) {
  auto lock = Lock();
  FLocalServerRunning = value;
}

void TPAV_DataManagement::SetPAVtimeString(const std::string& text) {
  auto lock = Lock();
  FPAVtimeString = text;
}

void TPAV_DataManagement::SetPAVDateTime(std::optional<int64_t> utcMs) {
  auto lock = Lock();
  FPAVDateTime = utcMs;
}

TFormatSettings TPAV_DataManagement::LogFormat() const {
  auto lock = Lock();
  return FLogFormat;
}

void TPAV_DataManagement::SetLogDecimalSeparator(char separator) {
  auto lock = Lock();
  FLogFormat.DecimalSeparator = separator;
}

TFormatSettings TPAV_DataManagement::WindowFormat() const {
  auto lock = Lock();
  return FWindowFormat;
}

void TPAV_DataManagement::SetWindowDecimalSeparator(char separator) {
  auto lock = Lock();
  FWindowFormat.DecimalSeparator = separator;
}

char TPAV_DataManagement::SessionLetter() const {
  auto lock = Lock();
  return FSessionLetter;
}

void TPAV_DataManagement::SetSessionLetter(char letter) {
  auto lock = Lock();
  FSessionLetter = letter;
}

int TPAV_DataManagement::IntervalMs() const {
  auto lock = Lock();
  return FIntervalMs;
}

int64_t TPAV_DataManagement::DeviceMs() const {
  auto lock = Lock();
  return FDeviceMs;
}

// ---- Allan deviation -----------------------------------------------------------------------------------

void TPAV_DataManagement::SetAllanDebug(bool on) {
  for (auto& allan : FAllanData) allan->SetLogId(on ? FLogId : -1);
}

int TPAV_DataManagement::AllanDecay() const {
  auto lock = Lock();
  return FAllanData[amFreq]->GetDecayConst();
}

void TPAV_DataManagement::SetAllanDecay(int value) {
  auto lock = Lock();
  for (auto& allan : FAllanData) allan->SetDecayConst(value);
}

std::string TPAV_DataManagement::CheckAllanMode(TAllanMode am) const {
  const int mode = Mode();
  if (am == amFreq && IsPhaseDiffMode(mode)) return "No Frequency values for Phase Difference report modes";
  if (am == amPhaseRes && (IsFrequencyMode(mode) || IsPhaseDiffMode(mode)))
    return "Phase residual values only for report modes Phase";
  if (am == amPhaseDiff && IsFrequencyMode(mode)) return "No Phase difference values for Frequency report modes";
  return {};
}

const TVirtAllanData& TPAV_DataManagement::Allan(TAllanMode am) const {
  const int i = am >= amFreq && am <= amPhaseDiff ? static_cast<int>(am) : static_cast<int>(amFreq);
  return *FAllanData[static_cast<std::size_t>(i)];
}

std::vector<int64_t> TPAV_DataManagement::GetADEVCounts(TAllanMode am) const {
  auto lock = Lock();
  return Allan(am).GetADEVCounts();
}

std::vector<double> TPAV_DataManagement::GetAllanGraphicValues(TAllanMode am, int k) const {
  auto lock = Lock();
  return Allan(am).GetGraphicValues(k);
}

std::vector<double> TPAV_DataManagement::GetAllanTextValues(TAllanMode am, int k) const {
  auto lock = Lock();
  return Allan(am).GetTextValues(k);
}

std::vector<TAllanPersistEntry> TPAV_DataManagement::GetAllanPersistValues(TAllanMode am, int k) const {
  auto lock = Lock();
  return Allan(am).GetGraphicPersistValues(k);
}

int TPAV_DataManagement::GetAllanLastTau(TAllanMode am) const {
  auto lock = Lock();
  return Allan(am).GetLastTau();
}

std::string TPAV_DataManagement::GetAllanTauCaption(TAllanMode am, int len) const {
  auto lock = Lock();
  return Allan(am).GetTauCaption(len, Allan(am).GetIntervalMs());
}

TAllanMinMax TPAV_DataManagement::GetAllanActualYPowerMinMax(TAllanMode am, int k) const {
  auto lock = Lock();
  return Allan(am).GetGraphicActualScaleMinMax(k);
}

TAllanMinMax TPAV_DataManagement::GetAllanYPowerMinMax(TAllanMode am, int k) const {
  auto lock = Lock();
  return Allan(am).GetGraphicScaleMinMax(k);
}
