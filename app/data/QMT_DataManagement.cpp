#include "app/data/QMT_DataManagement.h"

#include <algorithm>
#include <cmath>

#include "library/core/LogUnit.h"

namespace {

constexpr std::string_view kLineCode = "7900;";
constexpr double kCalibrationWeight = 30.0;  // running mean over about 30 lines
constexpr int kValueDigits = 2;
constexpr int kAverageDigits = 3;
constexpr int kValuePrecision = 15;    // integer digits before the exponent form
constexpr int kAveragePrecision = 18;
constexpr uint16_t kHeaderBufferOverflow = 0x7F23;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

constexpr std::string_view BoolText(bool value) { return value ? "True" : "False"; }

// Fixed-point text; the exponent form only when the integer part has more
// digits than `precision`.
std::string FixedText(double value, int digits, int precision, const TFormatSettings& fmt) {
  if (std::isfinite(value) && std::fabs(value) >= std::pow(10.0, precision)) return FloatToStrGeneral(value, fmt);
  return FloatToStrFixed(value, digits, fmt);
}

std::string PadLeft(std::string text, std::size_t width) {
  if (text.size() < width) text.insert(0, width - text.size(), ' ');
  return text;
}

int RingOf(TTextModeQMT mode) {
  switch (mode) {
    case tmQMTShortAvg: return static_cast<int>(THorizontalScale::hsShort);
    case tmQMTLongAvg: return static_cast<int>(THorizontalScale::hsLong);
    default: return static_cast<int>(THorizontalScale::hsNone);
  }
}

}  // namespace

TQMT_DataManagement::TQMT_DataManagement(int aLogID, int aSessId, bool aSessIsCopy)
    : TDataManagement(aLogID, aSessId, aSessIsCopy),
      FQMTValues(kMaxChannels + 1),
      FAvgShort(kMaxChannels + 1),
      FAvgLong(kMaxChannels + 1) {
  FDbgClass = "TQMT_DataManagement";
  UpdateDbgTag();
  LogLine(".Create");
  for (TRing& ring : FQMTValues) ring.fill(0.0);
  for (TRing& ring : FAvgShort) ring.fill(kNaN);
  for (TRing& ring : FAvgLong) ring.fill(kNaN);
  FAvgShortLast.fill(kNaN);
  FAvgLongLast.fill(kNaN);
  FHardwareOffsetNs = GetHardwareOffset();
  if (aSessId >= 0) FSessionLetter = static_cast<char>('A' + aSessId % 26);
}

TQMT_DataManagement::~TQMT_DataManagement() { LogLine(".Destroy"); }

// ---- settings ------------------------------------------------------------------------------

bool TQMT_DataManagement::AddLogStrings() const {
  auto lock = Lock();
  return FAddLogStrings;
}

void TQMT_DataManagement::SetAddLogStrings(bool value) {
  {
    auto lock = Lock();
    if (FAddLogStrings == value) return;
    FAddLogStrings = value;
  }
  if (LogWanted(FLogId)) LogLine(std::string(".SetAddLogStrings ").append(BoolText(value)));
}

TFormatSettings TQMT_DataManagement::LogFormat() const {
  auto lock = Lock();
  return FLogFormat;
}

void TQMT_DataManagement::SetLogDecimalSeparator(char separator) {
  auto lock = Lock();
  FLogFormat.DecimalSeparator = separator;
}

TFormatSettings TQMT_DataManagement::WindowFormat() const {
  auto lock = Lock();
  return FWindowFormat;
}

void TQMT_DataManagement::SetWindowDecimalSeparator(char separator) {
  auto lock = Lock();
  FWindowFormat.DecimalSeparator = separator;
}

void TQMT_DataManagement::SetMultiId(int multiId) {
  auto lock = Lock();
  FMultiId = multiId;
}

void TQMT_DataManagement::SetPAVtimeString(const std::string& text) {
  auto lock = Lock();
  FPAVtimeString = text;
}

char TQMT_DataManagement::SessionLetter() const {
  auto lock = Lock();
  return FSessionLetter;
}

void TQMT_DataManagement::SetSessionLetter(char letter) {
  auto lock = Lock();
  FSessionLetter = letter;
}

// ---- 7900 lines ----------------------------------------------------------------------------------

std::optional<std::vector<double>> TQMT_DataManagement::ParseFields(std::string_view line, int& code,
                                                                    std::string& why) const {
  code = kErrorBadLine;
  // Line ends (CR LF) after the last field are no part of it.
  while (!line.empty() && static_cast<unsigned char>(line.back()) <= ' ') line.remove_suffix(1);
  if (!line.starts_with(kLineCode)) {
    why = "QMT line skipped, no 7900 line";
    return std::nullopt;
  }
  std::string_view payload = line.substr(kLineCode.size());
  // The counter writes one blank after the code, then the fields; the blank
  // belongs to no field.
  if (payload.size() % kFieldWidth == 1 && payload.front() == ' ') payload.remove_prefix(1);
  if (payload.size() > static_cast<std::size_t>(kMaxPayload)) {
    code = kErrorTooLong;
    why = "QMT data too long! " + std::to_string(payload.size()) + " Bytes, line skipped";
    return std::nullopt;
  }
  if (payload.size() % kFieldWidth != 0) {
    why = "QMT line skipped, field width: " + std::to_string(payload.size()) + " Bytes";
    return std::nullopt;
  }
  std::vector<double> values;
  for (std::size_t pos = 0; pos < payload.size(); pos += kFieldWidth) {
    const std::string_view field = payload.substr(pos, kFieldWidth);
    const std::string channel = std::to_string(values.size() + 1);
    if (field.back() != ';') {
      why = "QMT line skipped, field width of channel " + channel;
      return std::nullopt;
    }
    const std::string text = ConvertDecimalMark(Trim(field.substr(0, kFieldWidth - 1)), FLogFormat.DecimalSeparator);
    const std::optional<double> value = TryStrToFloat(text, FLogFormat);
    if (!value) {
      why = "QMT line skipped, channel " + channel + " is no number: '" + text + "'";
      return std::nullopt;
    }
    values.push_back(*value);
  }
  return values;
}

void TQMT_DataManagement::SkipLine(int code, const std::string& why) {
  {
    auto lock = Lock();
    ++FSkippedLines;
  }
  AddError(code, why);
}

bool TQMT_DataManagement::AddQMT(const std::string& line) {
  {
    auto lock = Lock();
    FAverageShortValueString[1].clear();
    FAverageLongValueString[1].clear();
  }
  std::optional<std::vector<double>> values;
  {
    auto lock = Lock();  // the log format
    int code = 0;
    std::string why;
    values = ParseFields(line, code, why);
    if (!values) {
      SkipLine(code, why);
      return true;
    }
  }
  // The calibration is copied before the store lock is taken: the
  // calibration lock always comes first.
  TCalibrationData calib;
  {
    std::lock_guard calibLock(FLockCalib);
    calib = FCalibrateFixed;
  }
  auto lock = Lock();
  StoreLine(*values, calib);
  const int n = static_cast<int>(values->size());
  const int oldCount = FChannelCount;
  if (n != oldCount) {
    if (LogWanted(FLogId)) LogLine(": QMTCount=" + std::to_string(n));
    if (SetChannelCount(n) && oldCount > 0) SamplerEvent(kSamplerEventChannelCount, "");
  }
  if (FAddLogStrings)
    HandOverStrings(calib);
  else
    LogLine(": FAddLogStrings=False");
  AfterAddValues(THorizontalScale::hsNone);
  return true;
}

void TQMT_DataManagement::StoreLine(const std::vector<double>& values, const TCalibrationData& calib) {
  const int p = FlaufX[0];
  for (int k = 1; k <= static_cast<int>(values.size()); ++k) {
    FLetzterKanal = k;
    const double v = values[k - 1];
    double stored = FinvalidQMTValue;
    if (v > FinvalidQMTValue) {
      const double b = v + FHardwareOffsetNs;
      // Without a reading of channel 1 there is no difference to learn from.
      if (k == 1 || FQMTValues[1][p] > FinvalidQMTValue) {
        const double c = CalibrationDifference(k, b);
        double& mean = FCalibrate.Values[k - 1];
        mean = mean == 0.0 ? c : mean - (mean - c) / kCalibrationWeight;
      }
      stored = CorrectValue(b - calib.Values[k - 1]);
    }
    FQMT[k] = stored;
    FQMTValues[k][p] = stored;
  }
  if (values.empty()) FLetzterKanal = 0;
}

void TQMT_DataManagement::HandOverStrings(const TCalibrationData& calib) {
  const std::string valueString = GenerateSamplerStringQMT();
  const std::string diffString = GenerateSamplerDiffStringQMT();
  // Records built before a log asked for its types are of no use to it.
  if (FOnSamplerStrings && SamplerLogTypes() != 0) {
    TQMTSamplerRecord record;
    record.Calibration = calib;
    record.Strings[0] = valueString;
    record.Strings[1] = diffString;
    record.Strings[9] = FPAVtimeString;
    FOnSamplerStrings(FSessId, FSessIsCopy, record);
    if (GetVirtualChannelCount() > 0) {
      TQMTSamplerRecord virtualRecord;
      virtualRecord.Calibration = calib;
      virtualRecord.Virtual = true;
      virtualRecord.Strings[0] = GenerateSamplerVirtualStringQMT();
      virtualRecord.Strings[9] = FPAVtimeString;
      FOnSamplerStrings(FSessId, FSessIsCopy, virtualRecord);
    }
  }
  if (FOnServerLine) {
    if (!valueString.empty()) FOnServerLine(FMultiId, valueString, kServerLogValues);
    if (!diffString.empty()) FOnServerLine(FMultiId, diffString, kServerLogDiff);
  }
}

uint64_t TQMT_DataManagement::SkippedLineCount() const {
  auto lock = Lock();
  return FSkippedLines;
}

double TQMT_DataManagement::CalibrationDifference(int k, double value) {
  if (k == 1) return 0.0;
  return value - FQMTValues[1][FlaufX[0]];
}

double TQMT_DataManagement::CorrectValue(double value) { return value; }

double TQMT_DataManagement::GetHardwareOffset() { return 0.0; }

double TQMT_DataManagement::LastValue(int k) const {
  if (k < 1 || k > kMaxChannels) return 0.0;
  auto lock = Lock();
  return FQMT[k];
}

// ---- calibration ----------------------------------------------------------------------------------

std::string TQMT_DataManagement::CalibrationText(const TCalibrationData& data) const { return data.ToString(); }

bool TQMT_DataManagement::AddCalibration(const std::string& line) {
  auto lock = Lock();
  std::vector<std::string_view> items = SplitText(line, ";");
  if (items.size() > 1 && Trim(items.back()).empty()) items.pop_back();
  bool changed = false;
  std::size_t first = 1;
  if (FCalibChannel1Disabled) {
    changed = FDeviceCalibration.Values[0] != 0.0;
    FDeviceCalibration.Values[0] = 0.0;
    first = 2;
  }
  for (std::size_t j = first; j < items.size() && j <= static_cast<std::size_t>(kMaxChannels); ++j) {
    const std::string text = ConvertDecimalMark(Trim(items[j]), FLogFormat.DecimalSeparator);
    const std::optional<double> read = TryStrToFloat(text, FLogFormat);
    if (!read) AddWarning(kWarningBadCalibration, "QMT calibration of channel " + std::to_string(j) + " is no number: '" + text + "'");
    const double value = read.value_or(0.0);
    double& stored = FDeviceCalibration.Values[j - 1];
    if (value != stored) changed = true;
    stored = value;
  }
  FDeviceCalibrationSet = true;
  if (LogWanted(FLogId))
    LogLine(".AddCalibration " + CalibrationText(FDeviceCalibration) + ", changed=" + std::string(BoolText(changed)));
  return changed;
}

bool TQMT_DataManagement::SetCalibrationData(const TCalibrationData& data) {
  // A value that is no number would turn every reading into NaN.
  if (!std::all_of(data.Values.begin(), data.Values.end(), [](double v) { return std::isfinite(v); })) {
    if (LogWanted(FLogId)) LogErrorLine(".SetCalibrationData refused " + CalibrationText(data));
    return false;
  }
  std::lock_guard calibLock(FLockCalib);
  bool changed = false;
  for (int k = 1; k <= kMaxChannels; ++k) {
    const double value = k == 1 && FCalibChannel1Disabled ? 0.0 : data.Values[k - 1];
    double& stored = FCalibrateFixed.Values[k - 1];
    if (value != stored) changed = true;
    stored = value;
  }
  if (LogWanted(FLogId))
    LogLine(".SetCalibrationData " + CalibrationText(FCalibrateFixed) + ", changed=" + std::string(BoolText(changed)));
  // Still under the calibration lock, so no line is stored with the new
  // calibration before the reset: calibration lock, then store lock.
  if (changed) Reset();
  return changed;
}

TCalibrationData TQMT_DataManagement::CalibrationValues() const {
  std::lock_guard calibLock(FLockCalib);
  return FCalibrateFixed;
}

TCalibrationData TQMT_DataManagement::DeviceCalibration() const {
  auto lock = Lock();
  return FDeviceCalibration;
}

bool TQMT_DataManagement::DeviceCalibrationSet() const {
  auto lock = Lock();
  return FDeviceCalibrationSet;
}

double TQMT_DataManagement::GetCalibrateCalculated(int k) const {
  if (k < 1 || k > kMaxChannels) return 0.0;
  auto lock = Lock();
  return FCalibrate.Values[k - 1];
}

void TQMT_DataManagement::ResetCalibrateCalculated() {
  auto lock = Lock();
  FCalibrate.Clear();
}

// ---- series readers --------------------------------------------------------------------------------

double TQMT_DataManagement::SeriesValue(TTextModeQMT mode, int k, int x) const {
  switch (mode) {
    case tmQMT: return FQMTValues[k][x];
    case tmQMTDiff: return FQMTValues[k][x] - FQMTValues[1][x];
    case tmQMTShortAvg: return FAvgShort[k][x];
    case tmQMTLongAvg: return FAvgLong[k][x];
  }
  return kNaN;
}

TQMT_DataManagement::TSeries TQMT_DataManagement::ReadSeries(TTextModeQMT mode, bool virtualChannel, int k,
                                                             int startX, int anz) const {
  if (k < 1 || k > kMaxChannels || anz <= 0) return {};
  anz = std::min(anz, kRingSize);
  TSeries result;
  result.reserve(static_cast<std::size_t>(anz));
  auto lock = Lock();
  for (int i = 0; i < anz; ++i) {
    const int x = GetNextX(startX, i);
    result.push_back(virtualChannel ? GetVirtual(mode, k, x) : SeriesValue(mode, k, x));
  }
  return result;
}

TQMT_DataManagement::TSeries TQMT_DataManagement::GetQMTDiff(bool virtualChannel, int k, int startX, int anz) {
  return ReadSeries(tmQMTDiff, virtualChannel, k, startX, anz);
}

TQMT_DataManagement::TSeries TQMT_DataManagement::GetAvgShort(bool virtualChannel, int k, int startX, int anz) {
  return ReadSeries(tmQMTShortAvg, virtualChannel, k, startX, anz);
}

TQMT_DataManagement::TSeries TQMT_DataManagement::GetAvgLong(bool virtualChannel, int k, int startX, int anz) {
  return ReadSeries(tmQMTLongAvg, virtualChannel, k, startX, anz);
}

TQMT_DataManagement::TSeries TQMT_DataManagement::ReadLast(TTextModeQMT mode, bool virtualChannel,
                                                           THorizontalScale ring) {
  auto lock = Lock();
  // Each ring's own newest entry; masked, so position 0 wraps to 2047.
  const int x = (FlaufX[static_cast<int>(ring)] - 1) & kRingMask;
  const int n = virtualChannel ? GetVirtualChannelCount() : FChannelCount;
  TSeries result;
  for (int k = 1; k <= n; ++k) result.push_back(virtualChannel ? GetVirtual(mode, k, x) : SeriesValue(mode, k, x));
  return result;
}

TQMT_DataManagement::TSeries TQMT_DataManagement::GetLastQMTDiff(bool virtualChannel) {
  return ReadLast(tmQMTDiff, virtualChannel, THorizontalScale::hsNone);
}

TQMT_DataManagement::TSeries TQMT_DataManagement::GetLastAvgShort(bool virtualChannel) {
  return ReadLast(tmQMTShortAvg, virtualChannel, THorizontalScale::hsShort);
}

TQMT_DataManagement::TSeries TQMT_DataManagement::GetLastAvgLong(bool virtualChannel) {
  return ReadLast(tmQMTLongAvg, virtualChannel, THorizontalScale::hsLong);
}

double TQMT_DataManagement::GetVirtual(TTextModeQMT mode, int k, int x) const {
  const TFactorRow row = GetVirtualFactors(k);
  x &= kRingMask;
  auto lock = Lock();
  double sum = 0.0;
  for (int i = 1; i <= kMaxChannels; ++i) {
    const double w = row[i - 1];
    if (w == 0.0) continue;
    double value = kNaN;
    switch (mode) {
      case tmQMT:
        if (FQMTValues[i][x] > FinvalidQMTValue) value = FQMTValues[i][x];
        break;
      case tmQMTDiff:
        if (FQMTValues[i][x] > FinvalidQMTValue && FQMTValues[1][x] > FinvalidQMTValue)
          value = FQMTValues[i][x] - FQMTValues[1][x];
        break;
      case tmQMTShortAvg: value = FAvgShort[i][x]; break;
      case tmQMTLongAvg: value = FAvgLong[i][x]; break;
    }
    if (std::isnan(value)) return kNaN;
    sum += w * value;
  }
  return sum;
}

// ---- averages ----------------------------------------------------------------------------------------

void TQMT_DataManagement::AddAverages(THorizontalScale ring, std::span<const double> sums, int count) {
  const bool isShort = ring == THorizontalScale::hsShort;
  const std::string name = isShort ? ".AddShort" : ".AddLong";
  if (LogWanted(FLogId)) LogLine(name + " count=" + std::to_string(count));
  if (count < 1) {
    if (LogWanted(FLogId)) LogErrorLine(name + " refused, nothing summed");
    return;
  }
  auto lock = Lock();
  TChannelRings& series = isShort ? FAvgShort : FAvgLong;
  auto& last = isShort ? FAvgShortLast : FAvgLongLast;
  auto& texts = isShort ? FAverageShortValueString : FAverageLongValueString;
  const int x = FlaufX[static_cast<int>(ring)];
  for (int i = 1; i <= kMaxChannels; ++i) {
    const bool given = static_cast<std::size_t>(i) <= sums.size();
    const double a = given ? sums[i - 1] / count : kNaN;
    series[i][x] = a;
    last[i] = a;
    texts[i] = given ? PadLeft(FixedText(a, kAverageDigits, kAveragePrecision, FLogFormat), kAverageWidth) : "";
    if (isShort && given && LogWanted(FLogId)) LogLine(".AddShort[" + std::to_string(i) + "]=" + texts[i]);
  }
  AfterAddValues(ring);
}

void TQMT_DataManagement::AddShort(std::span<const double> sums, int count) {
  AddAverages(THorizontalScale::hsShort, sums, count);
}

void TQMT_DataManagement::AddLong(std::span<const double> sums, int count) {
  AddAverages(THorizontalScale::hsLong, sums, count);
}

double TQMT_DataManagement::AvgShortLast(int k) const {
  if (k < 1 || k > kMaxChannels) return kNaN;
  auto lock = Lock();
  return FAvgShortLast[k];
}

double TQMT_DataManagement::AvgLongLast(int k) const {
  if (k < 1 || k > kMaxChannels) return kNaN;
  auto lock = Lock();
  return FAvgLongLast[k];
}

// ---- strings ---------------------------------------------------------------------------------------------

std::string TQMT_DataManagement::AverageString(const std::array<std::string, kMaxChannels + 1>& texts) const {
  if (texts[1].empty()) return {};
  const std::size_t width = texts[1].size();
  std::string result;
  for (int k = 1; k <= FLetzterKanal; ++k)
    result += PadLeft(ConvertDecimalMark(texts[k], FLogFormat.DecimalSeparator), width);
  return result;
}

std::string TQMT_DataManagement::GetShortAverageString() {
  auto lock = Lock();
  return AverageString(FAverageShortValueString);
}

std::string TQMT_DataManagement::GetLongAverageString() {
  auto lock = Lock();
  return AverageString(FAverageLongValueString);
}

std::string TQMT_DataManagement::GenerateSamplerStringQMT() {
  auto lock = Lock();
  std::string result;
  for (int k = 1; k <= FLetzterKanal; ++k)
    result += PadLeft(FixedText(FQMT[k], kValueDigits, kValuePrecision, FLogFormat), kValueWidth);
  if (LogWanted(FLogId)) LogLine(".GenerateSamplerStringQMT=" + result);
  return result;
}

std::string TQMT_DataManagement::GenerateSamplerDiffStringQMT() {
  auto lock = Lock();
  std::string result;
  // Without channel 1 there is no difference: the channel shows the marker.
  const bool reference = FQMT[1] > FinvalidQMTValue;
  for (int k = 1; k <= FLetzterKanal; ++k) {
    const double diff = FQMT[k] > FinvalidQMTValue && reference ? FQMT[k] - FQMT[1] : FinvalidQMTValue;
    result += PadLeft(FixedText(diff, kValueDigits, kValuePrecision, FLogFormat), kValueWidth);
  }
  return result;
}

std::string TQMT_DataManagement::GenerateSamplerVirtualStringQMT() {
  auto lock = Lock();
  const int p = FlaufX[0];
  const int count = GetVirtualChannelCount();
  std::string result;
  for (int v = 1; v <= count; ++v) {
    const double value = GetVirtual(tmQMT, v, p);
    // A longer text is kept whole: cutting it would print another number.
    result += std::isnan(value) ? std::string(kValueWidth, ' ')
                                : PadLeft(FixedText(value, kValueDigits, kValuePrecision, FLogFormat), kValueWidth);
  }
  if (LogWanted(FLogId)) LogLine(".GenerateSamplerVirtualStringQMT=" + result);
  return result;
}

// ---- text modes -------------------------------------------------------------------------------------------

std::string TQMT_DataManagement::GetTextModeCaption(TTextModeQMT mode) const {
  switch (mode) {
    case tmQMT: return "Time Interval [ns]";
    case tmQMTDiff: return "Interval Difference [ns]";
    case tmQMTShortAvg: return "Interval Diff. Short Average [ns]";
    case tmQMTLongAvg: return "Interval Diff. Long Average [ns]";
  }
  return {};
}

bool TQMT_DataManagement::IsTextModeEnabled(TTextModeQMT mode) const {
  const int count = ChannelCount();
  switch (mode) {
    case tmQMT: return count > 0;
    case tmQMTDiff:
    case tmQMTShortAvg:
    case tmQMTLongAvg: return count > 1;
  }
  return false;
}

std::string TQMT_DataManagement::GetTextModeString(TTextModeQMT mode, int k) const {
  auto lock = Lock();
  if (k < 1 || k > FChannelCount) return {};
  const std::string none = "---";
  switch (mode) {
    case tmQMT:
      if (!(FQMT[k] > FinvalidQMTValue)) return none;
      return FixedText(FQMT[k], kValueDigits, kValuePrecision, FWindowFormat);
    case tmQMTDiff:
      if (!(FQMT[k] > FinvalidQMTValue) || !(FQMT[1] > FinvalidQMTValue)) return none;
      return FixedText(FQMT[k] - FQMT[1], kValueDigits, kValuePrecision, FWindowFormat);
    case tmQMTShortAvg:
      if (std::isnan(FAvgShortLast[k])) return none;
      return FixedText(FAvgShortLast[k], kValueDigits, kAveragePrecision, FWindowFormat);
    case tmQMTLongAvg:
      if (std::isnan(FAvgLongLast[k])) return none;
      return FixedText(FAvgLongLast[k], kValueDigits, kAveragePrecision, FWindowFormat);
  }
  return {};
}

std::string TQMT_DataManagement::GetTextModeVirtualString(TTextModeQMT mode, int k) {
  auto lock = Lock();
  if (k < 1 || k > GetVirtualChannelCount()) return {};
  const int x = (FlaufX[RingOf(mode)] - 1) & kRingMask;
  const double value = GetVirtual(mode, k, x);
  if (std::isnan(value)) return "---";
  const int precision = mode == tmQMTShortAvg || mode == tmQMTLongAvg ? kAveragePrecision : kValuePrecision;
  return FixedText(value, kValueDigits, precision, FWindowFormat);
}

// ---- lifecycle ---------------------------------------------------------------------------------------------

void TQMT_DataManagement::Reset() {
  LogLine(".Reset");
  auto lock = Lock();
  FQMT.fill(0.0);
  for (TRing& ring : FQMTValues) ring.fill(0.0);
  // The average rings are empty after the reset: nothing stale to read.
  for (TRing& ring : FAvgShort) ring.fill(kNaN);
  for (TRing& ring : FAvgLong) ring.fill(kNaN);
  FCalibrate.Clear();
  FAvgShortLast.fill(kNaN);
  FAvgLongLast.fill(kNaN);
  for (std::string& text : FAverageShortValueString) text.clear();
  for (std::string& text : FAverageLongValueString) text.clear();
  TDataManagement::Reset();
}

void TQMT_DataManagement::DeviceOpened() {
  LogLine(".DeviceOpened");
  Reset();
}

void TQMT_DataManagement::BufferCleared(uint16_t header) {
  if (LogWanted(FLogId)) LogLine(".BufferCleared header=" + HexText(header, 4));
  Reset();
  if (header == kHeaderBufferOverflow)
    SamplerEvent(kSamplerEventLinesLost,
                 std::string("Source ") + SessionLetter() + " One or more lines lost due to receive buffer overflow");
}

void TQMT_DataManagement::SamplerEvent(int event, const std::string& text) {
  if (FOnSamplerEvent) FOnSamplerEvent(FSessId, SessIsCopy(), event, text);
}
