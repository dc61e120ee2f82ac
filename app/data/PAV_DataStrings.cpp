// Output side of the counter store: series readers for graphs, per-channel
// texts of the text windows, the fixed-width value strings of the logs and
// the data server, and the side inputs of a line (digital inputs, heartbeat,
// counter time stamps).

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

#include "app/data/PAV_DataManagement.h"
#include "library/core/LogUnit.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kPsPerSecond = 1e12;
constexpr int kFrequencyDigits = 11;
constexpr std::size_t kFrequencyWidth = 22;
constexpr int kResidualDigits = 5;
constexpr std::size_t kPhaseWidth = 26;
constexpr int kRelativeMantissaDigits = 7;  // 8 significant digits
constexpr std::string_view kMissing = "-----";

// Digital-input and heartbeat lines: the report code and its separator, then
// per card or word one separator and 8 hexadecimal digits.
constexpr std::size_t kSideLineCodeLength = 5;
constexpr std::size_t kHexGroupWidth = 9;
constexpr std::size_t kHexDigits = 8;
constexpr int kMaxPDICards = 8;
constexpr std::size_t kMaxHeartbeatWords = 64;
constexpr std::size_t kHeartbeatTimeWidth = 9;
constexpr int kPDICountCode = 5;

// Log type bits the multi-sampler asks for.
constexpr int kLogPhase = 0;
constexpr int kLogFrequency = 1;
constexpr int kLogPhaseDiff = 2;
constexpr int kLogPredecessor = 6;
constexpr int kLogVirtualResidual = 10;
constexpr int kLogVirtualFreqAbs = 11;
constexpr int kLogVirtualFreqRel = 12;
constexpr int kLogResidual = 15;
constexpr int kLogVirtualPhaseDiff = 16;
constexpr int kLogVirtualPredecessor = 17;

// Report modes of the counter (header mode); -1 while no header is known.
int ReportMode(const TVQHeader& header) { return header.FModeValid ? header.FMode : -1; }
bool IsPhaseMode(int mode) { return mode == 0 || mode == 1; }
bool IsFrequencyMode(int mode) { return mode == 2 || mode == 3; }
bool IsPhaseDiffMode(int mode) { return mode == 4 || mode == 5; }
bool IsRawMode(int mode) { return mode == 6; }
// Modes in which the store computes frequencies.
bool HasFrequencies(int mode) { return IsPhaseMode(mode) || IsFrequencyMode(mode); }
// Modes in which the store has phase differences to channel 1 and to the preceding channel.
bool HasPhaseDiffs(int mode) { return IsPhaseMode(mode) || IsPhaseDiffMode(mode); }

std::string PadLeft(std::string text, std::size_t width) {
  if (text.size() < width) text.insert(0, width - text.size(), ' ');
  return text;
}

// One field of a value string appended to `out`: at least one blank in front
// so that fields never run together, then cut or padded to the width.
void AppendField(std::string& out, std::string_view text, std::size_t width) {
  const bool blank = !text.empty() && text.front() == ' ';
  const std::size_t length = std::min(text.size() + (blank ? 0 : 1), width);
  out.append(width - length, ' ');
  if (!blank && length > 0) {
    out += ' ';
    out.append(text.substr(0, length - 1));
  } else {
    out.append(text.substr(0, length));
  }
}

std::string Field(std::string_view text, std::size_t width) {
  std::string out;
  AppendField(out, text, width);
  return out;
}

// Exponent form with `mantissaDigits` digits after the point and at least two
// exponent digits ("1.2345678E-09"), with the format's separator.
std::string ExponentText(double value, int mantissaDigits, const TFormatSettings& fmt) {
  std::array<char, 64> buf{};
  const auto res = ToCharsScientific(buf.data(), buf.data() + buf.size(), value, mantissaDigits);
  std::string text(buf.data(), res.ptr);
  for (char& c : text) {
    if (c == 'e') c = 'E';
    if (c == '.') c = fmt.DecimalSeparator;
  }
  return text;
}

// A number field of `width` characters with `digits` fraction digits appended
// to `out`. Only fraction digits may be cut: a number whose whole part does not
// fit is written in exponent form instead of as another number.
void AppendNumberField(std::string& out, double value, int digits, std::size_t width, const TFormatSettings& fmt) {
  if (std::isfinite(value)) {
    std::array<char, 360> buf;
    const auto res = ToCharsFixed(buf.data(), buf.data() + buf.size(), value, std::clamp(digits, 0, 30));
    const std::string_view text(buf.data(), static_cast<std::size_t>(res.ptr - buf.data()));
    const std::size_t point = text.find('.');
    if (point != std::string_view::npos) buf[point] = fmt.DecimalSeparator;
    const std::size_t whole = point == std::string_view::npos ? text.size() : point;
    if (whole + 2 < width) return AppendField(out, text, width);
  } else {
    const std::string text = FloatToStrFixed(value, digits, fmt);
    if (text.size() + 2 < width) return AppendField(out, text, width);
  }
  // Blank, sign, "d.", "E+ddd": nine characters besides the mantissa digits.
  const int mantissa = std::max(0, static_cast<int>(width) - 9);
  AppendField(out, ExponentText(value, mantissa, fmt), width);
}

std::string NumberField(double value, int digits, std::size_t width, const TFormatSettings& fmt) {
  std::string out;
  AppendNumberField(out, value, digits, width, fmt);
  return out;
}

// Relative frequency text: 8 significant digits, "+" in front when not negative.
std::string RelativeText(double value, const TFormatSettings& fmt) {
  if (!std::isfinite(value)) return FloatToStrGeneral(value, fmt);
  if (value == 0.0) value = 0.0;  // no "-0"
  std::string text = ExponentText(value, kRelativeMantissaDigits, fmt);
  if (!std::signbit(value)) text.insert(0, 1, '+');
  return text;
}

std::string FrequencyText(double value, const TFormatSettings& fmt) {
  return PadLeft(FloatToStrFixed(value, kFrequencyDigits, fmt), kFrequencyWidth);
}

std::string ResidualText(double ns, const TFormatSettings& fmt) {
  return PadLeft(FloatToStrFixed(ns, kResidualDigits, fmt), kPhaseWidth);
}

// 8 hexadecimal digits as a 32-bit word; nothing when any of them is no hex digit.
std::optional<uint32_t> HexWord(std::string_view digits) {
  if (digits.size() != kHexDigits) return std::nullopt;
  uint32_t value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

// The payload of a digital-input or heartbeat line without its line end.
std::string_view SidePayload(std::string_view line) {
  while (!line.empty() && static_cast<unsigned char>(line.back()) < ' ') line.remove_suffix(1);
  return line.size() > kSideLineCodeLength ? line.substr(kSideLineCodeLength) : std::string_view{};
}

// The words of the hex groups of a payload (a separator and 8 digits each),
// at most `limit`; nothing when a used group is no hexadecimal number.
std::optional<std::vector<uint32_t>> HexGroups(std::string_view payload, std::size_t limit, std::size_t& groups) {
  groups = payload.size() / kHexGroupWidth;
  std::vector<uint32_t> words;
  for (std::size_t i = 0; i < std::min(groups, limit); ++i) {
    const std::optional<uint32_t> word = HexWord(payload.substr(i * kHexGroupWidth + 1, kHexDigits));
    if (!word) return std::nullopt;
    words.push_back(*word);
  }
  return words;
}

// Device milliseconds with "." between the thousands ("1.234.567").
std::string ThousandsText(int64_t ms) {
  std::string digits = std::to_string(ms);
  std::string text;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text += '.';
    text += digits[i];
  }
  return text;
}

bool HasFactors(const TDataManagement::TFactorRow& row) {
  return std::any_of(row.begin(), row.end(), [](double w) { return w != 0.0; });
}

// Virtual channels are the factor rows with at least one weight; they are
// numbered without gaps from 1.
int CountVirtualChannels(const std::array<TDataManagement::TFactorRow, TDataManagement::kMaxChannels + 1>& rows) {
  return static_cast<int>(std::count_if(rows.begin() + 1, rows.end(), HasFactors));
}

// True when every channel with a weight in `row` satisfies pred(channel).
template <class Pred>
bool AllContributing(const TDataManagement::TFactorRow& row, Pred pred) {
  for (int i = 1; i <= TDataManagement::kMaxChannels; ++i)
    if (row[static_cast<std::size_t>(i - 1)] != 0.0 && !pred(i)) return false;
  return true;
}

// Weighted sum over the channels of `row`; NaN as soon as one term is missing.
template <class TermOf>
double VirtualSum(const TDataManagement::TFactorRow& row, TermOf term) {
  double sum = 0.0;
  for (int i = 1; i <= TDataManagement::kMaxChannels; ++i) {
    const double w = row[static_cast<std::size_t>(i - 1)];
    if (w == 0.0) continue;
    const double t = term(i);
    if (std::isnan(t)) return kNaN;
    sum += w * t;
  }
  return sum;
}

// A frequency was computed for the channel: 0 is what a reset or a suppressed
// first frequency leaves, every computed one is at least the lower clamp.
bool FrequencyKnown(bool valid, double frequency) { return valid || frequency != 0.0; }

// How a stored series value becomes the value a reader gets.
enum class TSeriesKind {
  Plain,         // as stored
  OffsetHz,      // frequency - nominal
  Relative,      // (frequency - nominal) / nominal
  CyclesToPs,    // cycles / nominal in ps
};

using TChannelRings = std::vector<std::array<double, TDataManagement::kRingSize>>;
using TNominals = std::array<double, TDataManagement::kMaxChannels + 1>;

// One series of the store with what turns its entries into reader values.
struct TSeriesSource {
  const TChannelRings& Rings;  // index 1..24
  const TNominals& Nominal;
  TSeriesKind Kind;

  // Value of real channel k at ring position x; NaN when it has none.
  double At(int k, int x) const {
    const double stored = Rings[static_cast<std::size_t>(k)][static_cast<std::size_t>(x)];
    const double f0 = Nominal[static_cast<std::size_t>(k)];
    // A frequency entry of 0 is one the store did not measure (the first
    // after a reset or a re-sync); every measured one is clamped to at
    // least 4000 Hz. As an offset it would plot as -f0.
    const bool frequency = stored != 0.0 && f0 != 0.0;
    switch (Kind) {
      case TSeriesKind::Plain: return stored;
      case TSeriesKind::OffsetHz: return frequency ? stored - f0 : kNaN;
      case TSeriesKind::Relative: return frequency ? (stored - f0) / f0 : kNaN;
      case TSeriesKind::CyclesToPs: return f0 != 0.0 ? stored / f0 * kPsPerSecond : kNaN;
    }
    return kNaN;
  }
  double VirtualAt(const TDataManagement::TFactorRow& row, int x) const {
    return VirtualSum(row, [&](int i) { return At(i, x); });
  }
};

// anz values from ring position startX on, wrapping; anz limited to the ring.
template <class ValueAt>
std::vector<double> ReadPositions(int startX, int anz, ValueAt valueAt) {
  anz = std::min(anz, TDataManagement::kRingSize);
  std::vector<double> values;
  values.reserve(static_cast<std::size_t>(anz));
  const int first = startX & TDataManagement::kRingMask;
  for (int i = 0; i < anz; ++i) values.push_back(valueAt((first + i) & TDataManagement::kRingMask));
  return values;
}

using TFactorRows = std::array<TDataManagement::TFactorRow, TDataManagement::kMaxChannels + 1>;

// anz values of real or virtual channel `kanal` from startX on; empty for a
// channel outside 1..24, a virtual channel without weights, or anz <= 0.
std::vector<double> ReadChannel(const TSeriesSource& source, bool virtualChannel, const TFactorRows& rows,
                                int kanal, int startX, int anz) {
  if (kanal < 1 || kanal > TDataManagement::kMaxChannels || anz <= 0) return {};
  if (!virtualChannel) return ReadPositions(startX, anz, [&](int x) { return source.At(kanal, x); });
  const TDataManagement::TFactorRow& row = rows[static_cast<std::size_t>(kanal)];
  if (!HasFactors(row)) return {};
  return ReadPositions(startX, anz, [&](int x) { return source.VirtualAt(row, x); });
}

// One value per real channel (1..channelCount) or per virtual channel at ring
// position x.
std::vector<double> ReadAllChannels(const TSeriesSource& source, bool virtualChannel, const TFactorRows& rows,
                                    int channelCount, int x) {
  std::vector<double> values;
  if (!virtualChannel) {
    for (int k = 1; k <= std::clamp(channelCount, 0, TDataManagement::kMaxChannels); ++k)
      values.push_back(source.At(k, x));
    return values;
  }
  for (std::size_t v = 1; v < rows.size(); ++v)
    if (HasFactors(rows[v])) values.push_back(source.VirtualAt(rows[v], x));
  return values;
}

// sum / count of each channel at ring position x; NaN for a channel without a sum.
void WriteAverages(TChannelRings& rings, int x, std::span<const double> sums, int count) {
  for (std::size_t k = 1; k < rings.size(); ++k)
    rings[k][static_cast<std::size_t>(x)] = k - 1 < sums.size() ? sums[k - 1] / count : kNaN;
}

// The 26-character phase field text (whole cycles, separator, `decimals` digits).
std::string PhaseFieldText(const Phase& p, int decimals, const TFormatSettings& fmt) { return p.Format(decimals, fmt); }

// What the text of one virtual channel is made of, read under the store lock.
struct TVirtualValues {
  Phase PhaseValue;
  Phase PhaseDiff;
  Phase PhasePreDiff;
  double Frequency = kNaN;
  double Relative = kNaN;
  double ResidualNs = kNaN;
  int Decimals = TPAV_DataManagement::kDefaultPhaseDecimals;  // the finest of its channels
  bool FrequencyKnown = false;  // every weighted channel has a frequency
  bool NominalKnown = false;    // every weighted channel has a nominal frequency
};

// The finest phase resolution among the weighted channels of `row`.
int WeightedDecimals(const TDataManagement::TFactorRow& row,
                     const std::array<int, TDataManagement::kMaxChannels + 1>& decimals) {
  int finest = -1;
  for (int i = 1; i <= TDataManagement::kMaxChannels; ++i)
    if (row[static_cast<std::size_t>(i - 1)] != 0.0) finest = std::max(finest, decimals[static_cast<std::size_t>(i)]);
  return finest < 0 ? TPAV_DataManagement::kDefaultPhaseDecimals : finest;
}

// The number a virtual frequency or residual text shows; nothing when one of
// its channels has none.
std::optional<double> VirtualNumber(TTextModePAV mode, const TVirtualValues& v) {
  double value = kNaN;
  switch (mode) {
    case tmFreqAbs:
      if (v.FrequencyKnown) value = v.Frequency;
      break;
    case tmFreqRel:
      if (v.FrequencyKnown && v.NominalKnown) value = v.Relative;
      break;
    case tmPhaseResiduum:
      if (v.NominalKnown) value = v.ResidualNs;
      break;
    default: break;
  }
  if (std::isnan(value)) return std::nullopt;
  return value;
}

// The phase a virtual phase text shows; nothing when it is no number.
std::optional<Phase> VirtualPhase(TTextModePAV mode, const TVirtualValues& v) {
  const Phase& p = mode == tmPhaseDiff ? v.PhaseDiff : mode == tmPhasePredecessor ? v.PhasePreDiff : v.PhaseValue;
  if (std::isnan(p.Low)) return std::nullopt;
  return p;
}

bool IsPhaseText(TTextModePAV mode) { return mode == tmPhase || mode == tmPhaseDiff || mode == tmPhasePredecessor; }

// Window text of a virtual channel; nothing when a value it needs is missing.
std::optional<std::string> VirtualText(TTextModePAV mode, const TVirtualValues& v, const TFormatSettings& fmt) {
  if (IsPhaseText(mode)) {
    const std::optional<Phase> p = VirtualPhase(mode, v);
    if (!p) return std::nullopt;
    return PhaseFieldText(*p, v.Decimals, fmt);
  }
  const std::optional<double> value = VirtualNumber(mode, v);
  if (!value) return std::nullopt;
  switch (mode) {
    case tmFreqAbs: return FrequencyText(*value, fmt);
    case tmFreqRel: return RelativeText(*value, fmt);
    default: return ResidualText(*value, fmt);
  }
}

// Log field of a virtual channel: blanks for a missing value.
std::string VirtualField(TTextModePAV mode, const TVirtualValues& v, const TFormatSettings& fmt) {
  const std::size_t width = mode == tmFreqAbs || mode == tmFreqRel ? kFrequencyWidth : kPhaseWidth;
  if (IsPhaseText(mode)) {
    const std::optional<Phase> p = VirtualPhase(mode, v);
    return p ? Field(PhaseFieldText(*p, v.Decimals, fmt), width) : std::string(width, ' ');
  }
  const std::optional<double> value = VirtualNumber(mode, v);
  if (!value) return std::string(width, ' ');
  if (mode == tmFreqRel) return Field(RelativeText(*value, fmt), width);
  return NumberField(*value, mode == tmFreqAbs ? kFrequencyDigits : kResidualDigits, width, fmt);
}

// Averaging report modes, and raw data averaged by the store, name their values "Avg.".
bool AveragedCaptions(int report, bool rawAveraged) {
  return report == 1 || report == 3 || report == 5 || (IsRawMode(report) && rawAveraged);
}

std::string Caption(TTextModePAV mode, bool averaged, bool virtualChannel) {
  switch (mode) {
    case tmPhase: return averaged ? "Phase Average [Pd]" : "Phase [Pd]";
    case tmPhaseDiff:
      return averaged ? "Phase Avg. Difference (\u0394 Chan. 1) [Pd]" : "Phase Difference (\u0394 Chan. 1) [Pd]";
    case tmFreqAbs:
      if (virtualChannel) return averaged ? "Frequency Avg. [Hz]" : "Frequency [Hz]";
      return averaged ? "Absolute Frequency Avg. [Hz]" : "Absolute Frequency [Hz]";
    case tmFreqRel: return averaged ? "Relative Frequency Avg. Offset" : "Relative Frequency Offset";
    case tmPhasePredecessor:
      return averaged ? "Phase Avg. Difference (\u0394 Chan. n-1) [Pd]" : "Phase Difference (\u0394 Chan. n-1) [Pd]";
    case tmPhaseResiduum: return averaged ? "Phase Avg. Residual [ns]" : "Phase Residual [ns]";
  }
  return {};
}

}  // namespace

// ---- counter time stamps ------------------------------------------------------------------------------

void TPAV_DataManagement::AddTimeStamp(int64_t time100ms) {
  auto lock = Lock();
  // Only whole seconds mark the time axis; negative times come from no counter.
  if (time100ms >= 0 && time100ms % 10 == 0) {
    ++FTimeStampCount;
    FTimeStampIndex = FlaufX[0];
  }
  if (LogWanted(FLogId))
    LogLine(".AddTimeStamp " + std::to_string(time100ms) + ", laufX=" + std::to_string(FlaufX[0]) +
            " Index=" + std::to_string(FTimeStampIndex) + ", Anzahl=" + std::to_string(FTimeStampCount));
}

int TPAV_DataManagement::GetNewCountTimeStamp(int startX) const {
  auto lock = Lock();
  if (FTimeStampCount == 0 || FTimeStampIndex < 0) {
    if (LogWanted(FLogId)) LogLine(".GetNewCountTimeStamp keine TimeStamps da -> 0");
    return 0;
  }
  const int newCount = GetNewCount(startX, THorizontalScale::hsNone);
  // The stamped value is the one written at the stamp's position; until it
  // arrives the position still holds the oldest value (or nothing).
  const int index = FTimeStampIndex & kRingMask;
  if (newCount <= 0 || index == FlaufX[0]) return 0;
  const int newest = (FlaufX[0] - 1) & kRingMask;
  // Counted backwards from the newest value, so that a wrapped ring counts right.
  const int age = (newest - index) & kRingMask;
  if (age >= FCount[0]) return 0;  // the stamped value is no longer held
  // Never more than the reader's new values, which are all it can index.
  return std::min(age + 1, newCount);
}

int64_t TPAV_DataManagement::GetPAVTimeGraphic(int x) const {
  auto lock = Lock();
  return FPAVTime[static_cast<std::size_t>(x & kRingMask)];
}

int64_t TPAV_DataManagement::LastPAVTime() const {
  auto lock = Lock();
  if (FCount[0] == 0) return -1;
  return FPAVTime[static_cast<std::size_t>((FlaufX[0] - 1) & kRingMask)];
}

// ---- digital inputs and heartbeat ----------------------------------------------------------------------

bool TPAV_DataManagement::AddPDI(const std::string& line) {
  const std::string_view payload = SidePayload(line);
  int newCount = 0;
  {
    auto lock = Lock();
    std::size_t cards = 0;
    const std::optional<std::vector<uint32_t>> words = HexGroups(payload, kMaxPDICards, cards);
    if (!words) {
      if (LogWanted(FLogId)) LogErrorLine(".AddPDI no hexadecimal card value -> ignore: " + line);
      return false;
    }
    if (cards > static_cast<std::size_t>(kMaxPDICards)) {
      if (FPLLError) {
        if (LogWanted(FLogId))
          LogErrorLine(".AddPDI invalid PDICount" + std::to_string(cards) + " -> ignore during PLL error");
        return false;
      }
      if (LogWanted(FLogId))
        LogErrorLine(".AddPDI invalid PDICount" + std::to_string(cards) + " -> limited to " +
                     std::to_string(kMaxPDICards));
    }
    const int count = static_cast<int>(words->size());
    if (count != FPDICount && FPLLError) {
      if (LogWanted(FLogId))
        LogErrorLine(".AddPDI PDICount=" + std::to_string(count) + " -> ignore during PLL error");
      return false;
    }
    FPDI.fill(0);
    std::copy(words->begin(), words->end(), FPDI.begin());
    // The log column holds the cards kept, no more.
    FPDIs_HEX = std::string(payload.substr(0, static_cast<std::size_t>(count) * kHexGroupWidth));
    if (count == FPDICount) return true;
    FPDICount = count;
    newCount = count;
    if (LogWanted(FLogId)) LogLine(".AddPDI: PDICount=" + std::to_string(count));
  }
  if (FOnPDICount) FOnPDICount(kPDICountCode, newCount);
  return true;
}

uint32_t TPAV_DataManagement::GetPDI(int card) const {
  if (card < 0 || card >= kMaxPDICards) return 0;
  auto lock = Lock();
  return FPDI[static_cast<std::size_t>(card)];
}

int TPAV_DataManagement::PDICount() const {
  auto lock = Lock();
  return FPDICount;
}

std::string TPAV_DataManagement::PDIsHex() const {
  auto lock = Lock();
  return FPDIs_HEX;
}

void TPAV_DataManagement::AddHeartbeat(const std::string& line, int64_t aDeviceMs) {
  const std::string_view payload = SidePayload(line);
  std::size_t groups = 0;
  const std::optional<std::vector<uint32_t>> words = HexGroups(payload, kMaxHeartbeatWords, groups);
  auto lock = Lock();
  if (!words) {
    if (LogWanted(FLogId)) LogErrorLine(".AddHeartbeat no hexadecimal word -> ignore: " + line);
    return;
  }
  if (groups > kMaxHeartbeatWords && LogWanted(FLogId))
    LogErrorLine(".AddHeartbeat " + std::to_string(groups) + " words -> limited to " +
                 std::to_string(kMaxHeartbeatWords));
  FHeartbeat = *words;
  FHeartbeatText = PadLeft(aDeviceMs >= 0 ? ThousandsText(aDeviceMs) : std::string(), kHeartbeatTimeWidth);
  for (uint32_t word : FHeartbeat) FHeartbeatText += ";" + HexText(word, static_cast<int>(kHexDigits));
}

std::string TPAV_DataManagement::HeartbeatString() {
  auto lock = Lock();
  std::string text = std::move(FHeartbeatText);
  FHeartbeatText.clear();
  return text;
}

// ---- series readers ------------------------------------------------------------------------------------

TPAV_DataManagement::TSeries TPAV_DataManagement::GetFrequDiff(bool virtualChannel, int kanal, int startX,
                                                               int anz) const {
  auto lock = Lock();
  if (IsPhaseDiffMode(ReportMode(FValueHeader))) return {};
  return ReadChannel({FFrequencies, FNom_Frequ, TSeriesKind::OffsetHz}, virtualChannel, FVirtualFactors, kanal, startX,
                     anz);
}

TPAV_DataManagement::TSeries TPAV_DataManagement::GetFrequDiffRelative(bool virtualChannel, int kanal, int startX,
                                                                       int anz) const {
  auto lock = Lock();
  if (IsPhaseDiffMode(ReportMode(FValueHeader))) return {};
  return ReadChannel({FFrequencies, FNom_Frequ, TSeriesKind::Relative}, virtualChannel, FVirtualFactors, kanal, startX,
                     anz);
}

TPAV_DataManagement::TSeries TPAV_DataManagement::GetPhaDiffPs(bool virtualChannel, int kanal, int startX,
                                                               int anz) const {
  auto lock = Lock();
  if (IsFrequencyMode(ReportMode(FValueHeader))) return {};
  if (!virtualChannel && GetNomFreq(kanal) == 0.0) return {};
  return ReadChannel({FPhaDiff, FNom_Frequ, TSeriesKind::CyclesToPs}, virtualChannel, FVirtualFactors, kanal, startX,
                     anz);
}

TPAV_DataManagement::TSeries TPAV_DataManagement::GetPhaPredecessorPs(bool virtualChannel, int kanal, int startX,
                                                                      int anz) const {
  auto lock = Lock();
  if (IsFrequencyMode(ReportMode(FValueHeader))) return {};
  if (!virtualChannel && GetNomFreq(kanal) == 0.0) return {};
  return ReadChannel({FPhaPredecessor, FNom_Frequ, TSeriesKind::CyclesToPs}, virtualChannel, FVirtualFactors, kanal,
                     startX, anz);
}

TPAV_DataManagement::TSeries TPAV_DataManagement::GetTheoPhaseDiffPs(bool virtualChannel, int kanal, int startX,
                                                                     int anz) const {
  auto lock = Lock();
  const int mode = ReportMode(FValueHeader);
  if (IsFrequencyMode(mode) || IsPhaseDiffMode(mode)) return {};
  if (!virtualChannel && GetNomFreq(kanal) == 0.0) return {};
  // A missing residual stays NaN: the graph leaves a gap instead of losing the window.
  TSeries values =
      ReadChannel({FPhaseRes_ps, FNom_Frequ, TSeriesKind::Plain}, virtualChannel, FVirtualFactors, kanal, startX, anz);
  if (LogWanted(FLogId) && std::any_of(values.begin(), values.end(), [](double v) { return std::isnan(v); }))
    LogLine(".GetTheoPhaseDiffPs[" + std::to_string(kanal) + "]: NaN");
  return values;
}

TPAV_DataManagement::TSeries TPAV_DataManagement::GetAvgShort(bool virtualChannel, int kanal, int startX,
                                                              int anz) const {
  auto lock = Lock();
  return ReadChannel({FAvgShort, FNom_Frequ, TSeriesKind::Plain}, virtualChannel, FVirtualFactors, kanal, startX, anz);
}

TPAV_DataManagement::TSeries TPAV_DataManagement::GetAvgLong(bool virtualChannel, int kanal, int startX,
                                                             int anz) const {
  auto lock = Lock();
  return ReadChannel({FAvgLong, FNom_Frequ, TSeriesKind::Plain}, virtualChannel, FVirtualFactors, kanal, startX, anz);
}

TPAV_DataManagement::TSeries TPAV_DataManagement::GetLastFrequDiff(bool virtualChannel) const {
  auto lock = Lock();
  if (IsPhaseDiffMode(ReportMode(FValueHeader)) || FCount[0] == 0) return {};
  return ReadAllChannels({FFrequencies, FNom_Frequ, TSeriesKind::OffsetHz}, virtualChannel, FVirtualFactors,
                         FChannelCount, (FlaufX[0] - 1) & kRingMask);
}

TPAV_DataManagement::TSeries TPAV_DataManagement::GetLastFrequDiffRelative(bool virtualChannel) const {
  auto lock = Lock();
  if (IsPhaseDiffMode(ReportMode(FValueHeader)) || FCount[0] == 0) return {};
  return ReadAllChannels({FFrequencies, FNom_Frequ, TSeriesKind::Relative}, virtualChannel, FVirtualFactors,
                         FChannelCount, (FlaufX[0] - 1) & kRingMask);
}

TPAV_DataManagement::TSeries TPAV_DataManagement::GetLastPhaDiffPs(bool virtualChannel) const {
  auto lock = Lock();
  if (IsFrequencyMode(ReportMode(FValueHeader)) || FCount[0] == 0) return {};
  return ReadAllChannels({FPhaDiff, FNom_Frequ, TSeriesKind::CyclesToPs}, virtualChannel, FVirtualFactors,
                         FChannelCount, (FlaufX[0] - 1) & kRingMask);
}

TPAV_DataManagement::TSeries TPAV_DataManagement::GetLastPhaPredecessorPs(bool virtualChannel) const {
  auto lock = Lock();
  if (IsFrequencyMode(ReportMode(FValueHeader)) || FCount[0] == 0) return {};
  return ReadAllChannels({FPhaPredecessor, FNom_Frequ, TSeriesKind::CyclesToPs}, virtualChannel, FVirtualFactors,
                         FChannelCount, (FlaufX[0] - 1) & kRingMask);
}

TPAV_DataManagement::TSeries TPAV_DataManagement::GetLastTheoPhaseDiffPs(bool virtualChannel) const {
  auto lock = Lock();
  const int mode = ReportMode(FValueHeader);
  if (IsFrequencyMode(mode) || IsPhaseDiffMode(mode) || FCount[0] == 0) return {};
  return ReadAllChannels({FPhaseRes_ps, FNom_Frequ, TSeriesKind::Plain}, virtualChannel, FVirtualFactors,
                         FChannelCount, (FlaufX[0] - 1) & kRingMask);
}

TPAV_DataManagement::TSeries TPAV_DataManagement::GetLastAvgShort(bool virtualChannel) const {
  auto lock = Lock();
  const int ring = static_cast<int>(THorizontalScale::hsShort);
  if (FCount[ring] == 0) return {};
  return ReadAllChannels({FAvgShort, FNom_Frequ, TSeriesKind::Plain}, virtualChannel, FVirtualFactors, FChannelCount,
                         (FlaufX[ring] - 1) & kRingMask);
}

TPAV_DataManagement::TSeries TPAV_DataManagement::GetLastAvgLong(bool virtualChannel) const {
  auto lock = Lock();
  const int ring = static_cast<int>(THorizontalScale::hsLong);
  if (FCount[ring] == 0) return {};
  return ReadAllChannels({FAvgLong, FNom_Frequ, TSeriesKind::Plain}, virtualChannel, FVirtualFactors, FChannelCount,
                         (FlaufX[ring] - 1) & kRingMask);
}

std::string TPAV_DataManagement::GetFrequDiffNoData() const {
  auto lock = Lock();
  if (IsPhaseDiffMode(ReportMode(FValueHeader))) return "No frequency value in phase difference report mode";
  return {};
}

std::string TPAV_DataManagement::GetPhaDiffPsNoData(int k) const {
  auto lock = Lock();
  const int mode = ReportMode(FValueHeader);
  if (IsFrequencyMode(mode)) return "No phase difference value in frequency report mode";
  if (k >= 1 && k <= kMaxChannels && FNom_Frequ[static_cast<std::size_t>(k)] == 0.0) return "Nominal frequency missing";
  return {};
}

std::string TPAV_DataManagement::GetTheoPhaseDiffPsNoData(int k) const {
  auto lock = Lock();
  const int mode = ReportMode(FValueHeader);
  if (IsFrequencyMode(mode)) return "No ideal phase value in frequency report mode";
  if (IsPhaseDiffMode(mode)) return "No ideal phase value in phase Difference report mode";
  if (k >= 1 && k <= kMaxChannels && FNom_Frequ[static_cast<std::size_t>(k)] == 0.0) return "Nominal frequency missing";
  return {};
}

// ---- averages ----------------------------------------------------------------------------------------------

void TPAV_DataManagement::AddShort(std::span<const double> sums, int count) {
  {
    auto lock = Lock();
    if (count < 1) {
      if (LogWanted(FLogId)) LogErrorLine(".AddShort refused, nothing summed");
      return;
    }
    WriteAverages(FAvgShort, FlaufX[static_cast<int>(THorizontalScale::hsShort)], sums, count);
    AfterAddValues(THorizontalScale::hsShort);
    if (LogWanted(FLogId)) LogLine(".AddShort count=" + std::to_string(count));
  }
  if (FOnShortAverage) FOnShortAverage();
}

void TPAV_DataManagement::AddLong(std::span<const double> sums, int count) {
  {
    auto lock = Lock();
    if (count < 1) {
      if (LogWanted(FLogId)) LogErrorLine(".AddLong refused, nothing summed");
      return;
    }
    WriteAverages(FAvgLong, FlaufX[static_cast<int>(THorizontalScale::hsLong)], sums, count);
    AfterAddValues(THorizontalScale::hsLong);
    if (LogWanted(FLogId)) LogLine(".AddLong count=" + std::to_string(count));
  }
  if (FOnLongAverage) FOnLongAverage();
}

// ---- text modes -----------------------------------------------------------------------------------------------

bool TPAV_DataManagement::IsTextModeEnabled(TTextModePAV mode) const {
  const int report = ReportMode(ValueHeader());
  switch (mode) {
    case tmPhase:
    case tmPhaseResiduum: return IsPhaseMode(report) || IsRawMode(report);
    case tmPhaseDiff:
    case tmPhasePredecessor: return HasPhaseDiffs(report) || IsRawMode(report);
    case tmFreqAbs:
    case tmFreqRel: return HasFrequencies(report) || IsRawMode(report);
  }
  return false;
}

std::string TPAV_DataManagement::GetTextModeString(TTextModePAV mode, int k) const {
  auto lock = Lock();
  if (k < 1 || k > FChannelCount || k > kMaxChannels) return {};
  const std::size_t i = static_cast<std::size_t>(k);
  const int report = ReportMode(FValueHeader);
  const bool frequencyKnown = FrequencyKnown(FFrequencyValid[i], FFrequency[i]);
  switch (mode) {
    case tmPhase: return PhaseText(PPhase[i], FPhaseDecimals[i], FWindowFormat);
    case tmPhaseDiff:
      if (IsFrequencyMode(report)) return {};
      return PhaseText(PPhaseDiff[i], FPhaseDecimals[i], FWindowFormat);
    case tmFreqAbs:
      if (!frequencyKnown) return {};
      return FrequencyText(FFrequency[i], FWindowFormat);
    case tmFreqRel:
      if (!frequencyKnown || FNom_Frequ[i] == 0.0) return {};
      return RelativeText(FFrequencyRelative[i], FWindowFormat);
    case tmPhasePredecessor: return PhaseText(PPhasePreDiff[i], FPhaseDecimals[i], FWindowFormat);
    case tmPhaseResiduum:
      if (FNom_Frequ[i] == 0.0) return {};
      return ResidualText(FPhaseRes_ns[i], FWindowFormat);
  }
  return {};
}

std::string TPAV_DataManagement::GetTextModeVirtualString(TTextModePAV mode, int k) const {
  auto lock = Lock();
  if (k < 1 || k > kMaxChannels) return {};
  const TFactorRow& row = FVirtualFactors[static_cast<std::size_t>(k)];
  if (!HasFactors(row)) return {};
  if (mode == tmPhaseDiff && IsFrequencyMode(ReportMode(FValueHeader))) return {};
  const std::size_t v = static_cast<std::size_t>(k);
  const TVirtualValues values{
      PVirtPhase[v], PVirtPhaseDiff[v], PVirtPhasePreDiff[v], FVirtFrequency[v], FVirtFrequencyRelative[v],
      FVirtPhaseRes_ns[v], WeightedDecimals(row, FPhaseDecimals),
      AllContributing(row, [&](int i) { return FrequencyKnown(FFrequencyValid[i], FFrequency[i]); }),
      AllContributing(row, [&](int i) { return FNom_Frequ[i] != 0.0; })};
  return VirtualText(mode, values, FWindowFormat).value_or(std::string(kMissing));
}

std::string TPAV_DataManagement::GetTextModeCaption(TTextModePAV mode) const {
  auto lock = Lock();
  return Caption(mode, AveragedCaptions(ReportMode(FValueHeader), FRawAvg), false);
}

std::string TPAV_DataManagement::GetTextModeVirtualCaption(TTextModePAV mode) const {
  auto lock = Lock();
  return Caption(mode, AveragedCaptions(ReportMode(FValueHeader), FRawAvg), true);
}

bool TPAV_DataManagement::IsTextRawDataEnabled() const { return IsRawMode(ReportMode(ValueHeader())); }

std::string TPAV_DataManagement::DebugText() const {
  auto lock = Lock();
  return FDebugText;
}

// ---- value strings ---------------------------------------------------------------------------------------------

std::string TPAV_DataManagement::SamplerPhaseValuesString() const {
  auto lock = Lock();
  return FSamplerPhaseValuesString;
}

std::string TPAV_DataManagement::SamplerFrequencyValuesString() const {
  auto lock = Lock();
  return FSamplerFrequencyValuesString;
}

std::string TPAV_DataManagement::SamplerPhaseDiffValuesString() const {
  auto lock = Lock();
  return FSamplerPhaseDiffValuesString;
}

std::string TPAV_DataManagement::SamplerPhasePredecessorValuesString() const {
  auto lock = Lock();
  return FSamplerPhasePredecessorValuesString;
}

std::string TPAV_DataManagement::SamplerPhaseResiduumValuesString() const {
  auto lock = Lock();
  return FSamplerPhaseResiduumValuesString;
}

std::string TPAV_DataManagement::PhaseText(const Phase& p, int decimals, const TFormatSettings& fmt) {
  return PhaseFieldText(p, decimals, fmt);
}

void TPAV_DataManagement::GenerateSamplerStrings() {
  auto lock = Lock();
  LogLine(".GenerateSamplerStrings");
  const int report = ReportMode(FValueHeader);
  const int last = std::clamp(FLetzterKanal, 0, kMaxChannels);
  const auto needed = [&](int bit) { return FLocalServerRunning || IsLogTypeNeeded(bit); };
  // Sets `text` to the fields of the line's channels when `wanted`; else "".
  // appendField(out, k) appends the field of channel k. The strings keep their
  // storage from line to line.
  const auto channels = [&](std::string& text, bool wanted, std::size_t width, const auto& appendField) {
    text.clear();
    if (!wanted) return;
    text.reserve(static_cast<std::size_t>(last) * width);
    for (std::size_t k = 1; k <= static_cast<std::size_t>(last); ++k) appendField(text, k);
  };
  const TFormatSettings& fmt = FLogFormat;
  std::string phase;  // one phase text, its storage used again for every field
  const auto phaseField = [&](std::string& out, const Phase& p, std::size_t k) {
    phase.clear();
    p.AppendFormat(phase, FPhaseDecimals[k], fmt);
    AppendField(out, phase, kPhaseWidth);
  };

  channels(FSamplerPhaseValuesString, needed(kLogPhase) && (IsPhaseMode(report) || IsRawMode(report)), kPhaseWidth,
           [&](std::string& out, std::size_t k) { phaseField(out, PPhase[k], k); });
  // A line with frequencies has them for every channel: a channel without
  // signal writes its clamped value so that the columns stay in place.
  const bool frequencies = HasFrequencies(report) && FrequencyKnown(FFrequencyValid[1], FFrequency[1]);
  channels(FSamplerFrequencyValuesString, needed(kLogFrequency) && frequencies, kFrequencyWidth,
           [&](std::string& out, std::size_t k) {
             AppendNumberField(out, FFrequency[k], kFrequencyDigits, kFrequencyWidth, fmt);
           });
  channels(FSamplerPhaseDiffValuesString, needed(kLogPhaseDiff) && HasPhaseDiffs(report), kPhaseWidth,
           [&](std::string& out, std::size_t k) { phaseField(out, PPhaseDiff[k], k); });
  channels(FSamplerPhasePredecessorValuesString, needed(kLogPredecessor) && (HasPhaseDiffs(report) || IsRawMode(report)),
           kPhaseWidth, [&](std::string& out, std::size_t k) { phaseField(out, PPhasePreDiff[k], k); });
  // Only phase modes have residuals; a channel without nominal frequency has none.
  channels(FSamplerPhaseResiduumValuesString, needed(kLogResidual) && IsPhaseMode(report), kPhaseWidth,
           [&](std::string& out, std::size_t k) {
             if (FNom_Frequ[k] == 0.0)
               out.append(kPhaseWidth, ' ');
             else
               AppendNumberField(out, FPhaseRes_ns[k], kResidualDigits, kPhaseWidth, fmt);
           });
  // Raw data are not evaluated and Allan deviations not written per line:
  // their strings stay empty whoever asks for them.
  FSamplerRawDataString.clear();
  FSamplerADEVValuesString.clear();

  FSamplerVirtualFreqAbsValuesString.clear();
  FSamplerVirtualFreqRelValuesString.clear();
  FSamplerVirtualPhaseResValuesString.clear();
  FSamplerVirtualADEVValuesString.clear();
  FSamplerVirtualPhaseDiffValuesString.clear();
  FSamplerVirtualPhasePrevValuesString.clear();
  if (CountVirtualChannels(FVirtualFactors) == 0) return;
  std::vector<TVirtualValues> virtuals;
  for (std::size_t v = 1; v <= static_cast<std::size_t>(kMaxChannels); ++v) {
    const TFactorRow& row = FVirtualFactors[v];
    if (!HasFactors(row)) continue;
    virtuals.push_back(TVirtualValues{
        PVirtPhase[v], PVirtPhaseDiff[v], PVirtPhasePreDiff[v], FVirtFrequency[v], FVirtFrequencyRelative[v],
        FVirtPhaseRes_ns[v], WeightedDecimals(row, FPhaseDecimals),
        AllContributing(row, [&](int i) { return FrequencyKnown(FFrequencyValid[i], FFrequency[i]); }),
        AllContributing(row, [&](int i) { return FNom_Frequ[i] != 0.0; })});
  }
  const auto virtualString = [&](bool wanted, TTextModePAV mode) {
    std::string text;
    if (!wanted) return text;
    for (const TVirtualValues& v : virtuals) text += VirtualField(mode, v, fmt);
    return text;
  };
  FSamplerVirtualFreqAbsValuesString = virtualString(needed(kLogVirtualFreqAbs) && HasFrequencies(report), tmFreqAbs);
  FSamplerVirtualFreqRelValuesString = virtualString(needed(kLogVirtualFreqRel) && HasFrequencies(report), tmFreqRel);
  FSamplerVirtualPhaseResValuesString =
      virtualString(needed(kLogVirtualResidual) && IsPhaseMode(report), tmPhaseResiduum);
  FSamplerVirtualPhaseDiffValuesString =
      virtualString(needed(kLogVirtualPhaseDiff) && HasPhaseDiffs(report), tmPhaseDiff);
  FSamplerVirtualPhasePrevValuesString =
      virtualString(needed(kLogVirtualPredecessor) && HasPhaseDiffs(report), tmPhasePredecessor);
}

void TPAV_DataManagement::AddSamplerStrings() {
  auto lock = Lock();
  // Records built before a log asked for its types hold no values: a new
  // file would start with a line of dashes.
  if (SamplerLogTypes() == 0) return;
  if (LogWanted(FLogId)) LogLine(".AddSamplerStrings FSyncTime=" + FSyncTime);
  TPAVSamplerRecord record;
  record.Strings[0] = FSync + FSamplerPhaseValuesString;
  record.Strings[1] = FSamplerFrequencyValuesString;
  record.Strings[2] = FSamplerPhaseDiffValuesString;
  record.Strings[3] = FSamplerRawDataString;
  record.Strings[5] = FPDIs_HEX;
  record.Strings[6] = FSamplerPhasePredecessorValuesString;
  record.Strings[7] = FSamplerADEVValuesString;
  record.Strings[8] = FSamplerPhaseResiduumValuesString;
  record.Strings[9] = FPAVtimeString;
  record.CounterTimeMs = FPAVDateTime;
  if (FOnSamplerStrings) FOnSamplerStrings(FSessId, FSessIsCopy, FSyncTime, record);
  if (!FClockAlarmText.empty() && FOnSamplerWarning) FOnSamplerWarning(FSessId, FSessIsCopy, FClockAlarmText);
  if (CountVirtualChannels(FVirtualFactors) > 0) {
    TPAVSamplerRecord virtualRecord;
    virtualRecord.Virtual = true;
    virtualRecord.Strings[0] = FSync + FSamplerVirtualPhaseResValuesString;
    virtualRecord.Strings[1] = FSamplerVirtualFreqAbsValuesString;
    virtualRecord.Strings[2] = FSamplerVirtualFreqRelValuesString;
    virtualRecord.Strings[3] = FSamplerVirtualADEVValuesString;
    virtualRecord.Strings[4] = FSamplerVirtualPhaseDiffValuesString;
    virtualRecord.Strings[5] = FSamplerVirtualPhasePrevValuesString;
    virtualRecord.Strings[9] = FPAVtimeString;
    virtualRecord.CounterTimeMs = FPAVDateTime;
    if (FOnSamplerStrings) FOnSamplerStrings(FSessId, FSessIsCopy, FSyncTime, virtualRecord);
  }
  LogLine(".AddSamplerStrings END");
}
