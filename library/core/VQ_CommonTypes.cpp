#include "library/core/VQ_CommonTypes.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cctype>
#include <cstring>

#include "library/core/LogUnit.h"

// ---- result codes and enumeration texts -------------------------------------

namespace {

constexpr std::array<std::string_view, VQ_ResultCount> kResultNames = {
    "VQ_No_Err",
    "VQ_No_Err",  // VQ_No_Err_ASCII is reported as plain success
    "VQ_No_Err_Recovered",
    "VQ_System_Err",
    "VQ_Err_BadFormat",
    "VQ_Err_BadFormatIgnore",
    "VQ_Err_ReceiveBufferCleared",
    "VQ_Err_ReceiveBufferOverflow",
    "VQ_Err_DataTransferInterrupted",
    "VQ_DLL_internalError",
    "VQ_CmdIgnored",
    "VQ_WriteError",
    "VQ_DeviceNotConnected",
    "VQ_DeviceNotFound",
    "VQ_TooManyUser",
    "VQ_HardwareFault",
    "VQ_Err_Exception",
    "VQ_CAN_Err",
    "VQ_Err_EndOfFile",
    "VQ_FTDI_ConfigError",
    "VQ_FTDI_LoadError",
    "VQ_FTDI_ReadError",
    "VQ_FTDI_VCPError",
    "VQ_Err_ServerDown",
    "VQ_RpcCallFailed",
    "VQ_RpcCallDenied",
    "VQ_RpcResponseBadFormat",
    "VQ_ServerNotConnected",
    "VQ_NetworkNotConnected",
    "VQ_SocketError",
    "VQ_Err_CreateServerFailed",
    "VQ_Err_StartServerFailed",
    "VQ_Err_StopServerFailed",
    "VQ_Err_ConnectFailed",
    "VQ_Err_RequestTimeout",
    "VQ_Err_RequestDenied",
    "VQ_Err_RequestFailed",
    "VQ_Err_ReceiveServerFailed",
    "VQ_Err_RepeatRequest",
    "VQ_Err_PingFailed",
    "VQ_Err_Reconnected",
    "VQ_Err_Disconnected",
    "VQ_Err_AlreadyConnected",
    "VQ_Err_NoWatch",
    "VQ_Err_WatchErrorMsg",
};

constexpr std::array<std::string_view, 3> kPeerTypeNames = {"unknown", "Coldfire", "ESP"};
constexpr std::array<std::string_view, 3> kFPGATypeNames = {"unknown", "Altera", "MicroSemi"};
constexpr std::array<std::string_view, 8> kCmdResponseNames = {"none",         "interval", "mode",  "scrambler",
                                                               "channel",      "PhaseReset", "Login", "readNVS"};
constexpr std::array<std::string_view, 3> kLogLimitTypeNames = {"logUnlimited", "logOverwrite", "logCreateNew"};

template <std::size_t N>
std::string_view NameAt(const std::array<std::string_view, N>& names, int ordinal) {
  if (ordinal < 0 || ordinal >= static_cast<int>(N)) return {};
  return names[static_cast<std::size_t>(ordinal)];
}

}  // namespace

std::string_view VQ_ResultText(unsigned code) {
  code &= 0x7F;
  if (code >= kResultNames.size()) return "kein VQ_Result";
  return kResultNames[code];
}

std::string_view PeerTypeText(int ordinal) { return NameAt(kPeerTypeNames, ordinal); }
std::string_view FPGATypeText(int ordinal) { return NameAt(kFPGATypeNames, ordinal); }

std::string CmdResponseTypeText(int ordinal) {
  const std::string_view name = NameAt(kCmdResponseNames, ordinal);
  return name.empty() ? "unknown " + std::to_string(ordinal) : std::string(name);
}

std::string LogLimitTypeText(int ordinal) {
  const std::string_view name = NameAt(kLogLimitTypeNames, ordinal);
  return name.empty() ? std::to_string(ordinal) : std::string(name);
}

std::optional<uint32_t> VQ_IntervalMs(int index) {
  if (index < 0 || index >= static_cast<int>(VQ_IntervalTableMs.size())) return std::nullopt;
  return VQ_IntervalTableMs[static_cast<std::size_t>(index)];
}

// ---- device identity --------------------------------------------------------

namespace {
bool IsChannel(int kanal) { return kanal >= 1 && kanal <= VQ_ChannelCount; }
}  // namespace

double TVQ_DeviceInfo::GetNominalFreq(int kanal) const {
  return IsChannel(kanal) ? FNominalFreq[static_cast<std::size_t>(kanal - 1)] : 0.0;
}

void TVQ_DeviceInfo::SetNominalFreq(int kanal, double value) {
  if (IsChannel(kanal)) FNominalFreq[static_cast<std::size_t>(kanal - 1)] = value;
}

std::string TVQ_DeviceInfo::GetNominalFreqString(const TFormatSettings& fmt) const {
  std::string text;
  for (double f : FNominalFreq) {
    text += FloatToStrGeneral(f, fmt);
    text += ';';
  }
  return text;
}

std::optional<TVQ_DeviceInfo> TVQ_DeviceInfoList::GetInfo(uint32_t aSerialNumber) const {
  std::lock_guard lock(FLock);
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    if (FItems[i].FSerialNumber != aSerialNumber) continue;
    TVQ_DeviceInfo info = FItems[i];
    info.FIndex = static_cast<int32_t>(i);
    return info;
  }
  return std::nullopt;
}

int TVQ_DeviceInfoList::AddInfo(const TVQ_DeviceInfo& aDevInfo) {
  if (aDevInfo.FSerialNumber == TVQ_DeviceInfo::kUnknownSerial) return -1;
  std::lock_guard lock(FLock);
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    TVQ_DeviceInfo& known = FItems[i];
    if (known.FSerialNumber != aDevInfo.FSerialNumber) continue;
    if (known.FHardFeature == 0) known.FHardFeature = aDevInfo.FHardFeature;
    if (known.FIPAddress.empty()) known.FIPAddress = aDevInfo.FIPAddress;
    for (std::size_t k = 0; k < known.FNominalFreq.size(); ++k)
      if (known.FNominalFreq[k] == 0.0) known.FNominalFreq[k] = aDevInfo.FNominalFreq[k];
    if (known.FPeerType == TVQ_PeerType::ptUnknown) known.FPeerType = aDevInfo.FPeerType;
    return static_cast<int>(i);
  }
  FItems.push_back(aDevInfo);
  FItems.back().FIndex = static_cast<int32_t>(FItems.size() - 1);
  return FItems.back().FIndex;
}

bool TVQ_DeviceInfoList::SetNominalFreq(uint32_t aSerialNumber, const std::array<double, VQ_ChannelCount>& values) {
  std::lock_guard lock(FLock);
  for (TVQ_DeviceInfo& known : FItems) {
    if (known.FSerialNumber != aSerialNumber) continue;
    known.FNominalFreq = values;
    return true;
  }
  return false;
}

int TVQ_DeviceInfoList::Count() const {
  std::lock_guard lock(FLock);
  return static_cast<int>(FItems.size());
}

std::optional<TVQ_DeviceInfo> TVQ_DeviceInfoList::At(int index) const {
  std::lock_guard lock(FLock);
  if (index < 0 || index >= static_cast<int>(FItems.size())) return std::nullopt;
  return FItems[static_cast<std::size_t>(index)];
}

void TVQ_DeviceInfoList::Clear() {
  std::lock_guard lock(FLock);
  FItems.clear();
}

TVQ_DeviceInfoList& DeviceInfoList() {
  static TVQ_DeviceInfoList list;
  return list;
}

// ---- phase ------------------------------------------------------------------

namespace {

constexpr double kTwoPow63 = 9223372036854775808.0;

// Truncation toward zero into 64 bits; false where C++ leaves it undefined
// (NaN, infinities, magnitudes from 2^63 on). The conversion truncates by
// itself: doubles this large are whole, so the range check on the value is
// the check on its truncation, and no call into the maths library is made.
bool TruncToInt64(double value, int64_t& out) {
  if (!(value >= -kTwoPow63 && value < kTwoPow63)) return false;
  out = static_cast<int64_t>(value);
  return true;
}

// Whole cycles wrap like the counter's own 64-bit arithmetic instead of
// overflowing into undefined behaviour.
int64_t WrapAdd(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
int64_t WrapSub(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}

}  // namespace

void Phase::FromDouble(double aDouble) {
  int64_t whole = 0;
  if (!TruncToInt64(aDouble, whole)) {
    High = 0;
    Low = aDouble;
    return;
  }
  High = whole;
  Low = aDouble - static_cast<double>(whole);
}

std::string Phase::ToString(const TFormatSettings& fmt) const {
  return std::to_string(High) + " " + FloatToStrGeneral(Low, fmt);
}

std::string Phase::ToHexString() const {
  uint8_t lowBytes[sizeof(double)];
  std::memcpy(lowBytes, &Low, sizeof Low);
  return HexText(static_cast<uint64_t>(High), 16) + " " + HexDump(std::span<const uint8_t>(lowBytes));
}

void Phase::Normalise() {
  int64_t t = 0;
  if (!TruncToInt64(Low, t)) return;
  const double w = static_cast<double>(High) + Low;
  if (w >= 0) {
    const int64_t shift = Low >= 0 ? t : t - 1;
    High = WrapAdd(High, shift);
    Low -= static_cast<double>(shift);
    // A tiny negative fraction rounds to exactly 1 after the shift.
    if (Low >= 1.0) {
      High = WrapAdd(High, 1);
      Low -= 1.0;
    }
  } else if (w < 0) {
    const int64_t shift = Low <= 0 ? t : t + 1;
    High = WrapAdd(High, shift);
    Low -= static_cast<double>(shift);
    if (Low <= -1.0) {
      High = WrapSub(High, 1);
      Low += 1.0;
    }
  }
}

void Phase::Add(const Phase& other) {
  High = WrapAdd(High, other.High);
  Low += other.Low;
  Normalise();
}

void Phase::Subtract(const Phase& other) {
  High = WrapSub(High, other.High);
  Low -= other.Low;
}

namespace {

// Scales the whole cycles by `factor` (x or 1/x), carrying the cut-off
// fraction of the whole part into the fraction.
void ScalePhase(Phase& p, double scaledHigh, double scaledLow) {
  int64_t whole = 0;
  if (!TruncToInt64(scaledHigh, whole)) {
    // No 64-bit whole part: keep the value (or NaN/infinity) in the fraction.
    p.High = 0;
    p.Low = scaledHigh + scaledLow;
    return;
  }
  p.High = whole;
  p.Low = scaledLow + (scaledHigh - static_cast<double>(whole));
  p.Normalise();
}

}  // namespace

void Phase::Divide(double x) { ScalePhase(*this, static_cast<double>(High) / x, Low / x); }

void Phase::Multiply(double x) { ScalePhase(*this, static_cast<double>(High) * x, x * Low); }

std::string Phase::Format(int digits, const TFormatSettings& fmt) const {
  std::string text;
  AppendFormat(text, digits, fmt);
  return text;
}

void Phase::AppendFormat(std::string& out, int digits, const TFormatSettings& fmt) const {
  constexpr std::size_t kFieldWidth = 26;
  digits = std::clamp(digits, 0, 24);
  Phase p = *this;
  p.Normalise();
  if (!std::isfinite(p.Low)) {
    const std::string text = FloatToStrGeneral(p.ToDouble(), fmt);
    if (text.size() < kFieldWidth) out.append(kFieldWidth - text.size(), ' ');
    out += text;
    return;
  }

  // Round the fraction's magnitude as a whole: "1.0000" carries into High.
  std::array<char, 48> fraction;
  const auto res = ToCharsFixed(fraction.data(), fraction.data() + fraction.size(), std::fabs(p.Low), digits);
  const bool negative = p.Low < 0;
  int64_t high = p.High;
  if (fraction[0] == '1') high = negative ? WrapSub(high, 1) : WrapAdd(high, 1);

  // "-0" for a negative fraction below one cycle: the sign goes before the 0.
  std::array<char, 24> whole;
  char* wholeEnd = std::to_chars(whole.data() + 1, whole.data() + whole.size(), high).ptr;
  char* wholeBegin = whole.data() + 1;
  if (high == 0 && negative) *--wholeBegin = '-';
  const std::size_t wholeLength = static_cast<std::size_t>(wholeEnd - wholeBegin);
  const std::size_t width = static_cast<std::size_t>(25 - digits);

  const std::size_t start = out.size();
  if (wholeLength < width) out.append(width - wholeLength, ' ');
  out.append(wholeBegin, wholeLength);
  if (digits > 0) {
    out += fmt.DecimalSeparator;
    out.append(fraction.data() + 2, static_cast<std::size_t>(res.ptr - fraction.data()) - 2);
  }
  if (out.size() - start > kFieldWidth) out.resize(start + kFieldWidth);
}

// ---- calibration and high-resolution channels -------------------------------

std::string TCalibrationData::ToString(const TFormatSettings& fmt) const {
  std::string text;
  for (double v : Values) {
    text += FloatToStrGeneral(v, fmt);
    text += ' ';
  }
  return text;
}

void TPVHSetting::Clear() {
  NomFreq = 0.0;
  LOFreq = 0.0;
  Factor = 1.0L;
  enabled = false;
}

std::string TPVHSetting::DoubleToStr(double aDouble, const TFormatSettings& fmt) {
  return aDouble == 0.0 ? "0" : FloatToStrFixed(aDouble, 12, fmt);
}

std::string TPVHSetting::ToString(const TFormatSettings& fmt) const {
  return DoubleToStr(NomFreq, fmt) + ";" + DoubleToStr(LOFreq, fmt) + ";" + (enabled ? "1" : "0");
}

bool TPVHSetting::FromString(std::string_view value, const TFormatSettings& fmt) {
  Clear();
  const std::vector<std::string_view> parts = SplitText(value, ";");
  if (parts.size() < 3) return false;
  NomFreq = StrToFloat(ConvertDecimalMark(parts[0], fmt.DecimalSeparator), fmt);
  LOFreq = StrToFloat(ConvertDecimalMark(parts[1], fmt.DecimalSeparator), fmt);
  enabled = NomFreq != 0.0 && LOFreq != 0.0 && Trim(parts[2]) != "0";
  return true;
}

bool TPVHSetting::IsEqual(const TPVHSetting& value) const {
  return NomFreq == value.NomFreq && LOFreq == value.LOFreq && enabled == value.enabled;
}

void TPVHSetting::Update(int logId) {
  Factor = 1.0L;
  if (NomFreq == 0.0 || LOFreq == 0.0) return;
  if (NomFreq == LOFreq) {
    if (LogWanted(logId))
      LogInfo(logId, "TPVHSetting.Update: NomFreq = LOFreq = " + FloatToStrGeneral(NomFreq) + ", Factor = 1");
    return;
  }
  Factor = 1.0E7L / (static_cast<long double>(NomFreq) - static_cast<long double>(LOFreq));
}

void TPVHSettings::Clear() {
  WriteNeeded = false;
  for (TPVHSetting& channel : PVHChannels) channel.Clear();
}

std::string TPVHSettings::ToString() const {
  std::string text;
  for (std::size_t i = 0; i < PVHChannels.size(); ++i) {
    if (i > 0) text += '/';
    text += PVHChannels[i].ToString(FormatSettings);
  }
  return text;
}

bool TPVHSettings::FromString(std::string_view value) {
  Clear();
  ErrorStr.clear();
  if (value.empty()) return true;
  const std::vector<std::string_view> parts = SplitText(value, "/");
  const std::size_t count = std::min(parts.size(), PVHChannels.size());
  for (std::size_t i = 0; i < count; ++i) {
    try {
      if (!PVHChannels[i].FromString(parts[i], FormatSettings)) {
        ErrorStr = "Format error";
        return false;
      }
    } catch (const EConvertError& e) {
      ErrorStr = e.what();
      return false;
    }
  }
  return true;
}

bool TPVHSettings::IsEqual(const TPVHSettings& value) const {
  for (std::size_t i = 0; i < PVHChannels.size(); ++i)
    if (!PVHChannels[i].IsEqual(value.PVHChannels[i])) return false;
  return true;
}

void TPVHSettings::Update(int logId) {
  PVHChannelCount = 0;
  for (TPVHSetting& channel : PVHChannels) {
    channel.Update(logId);
    if (channel.enabled) ++PVHChannelCount;
  }
}

// ---- report vocabulary ------------------------------------------------------

uint16_t BinaryReportCode(std::string_view report) {
  if (report.size() < 2) return 0xFFFF;
  return static_cast<uint16_t>(static_cast<uint8_t>(report[0]) << 8 | static_cast<uint8_t>(report[1]));
}

std::string BinaryReport(uint16_t code, std::string_view payload) {
  std::string report{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
  report.append(payload);
  return report;
}

bool IsVersionCommand(std::string_view command) {
  return command.size() == 1 && (static_cast<uint8_t>(command[0]) == 0x01 || static_cast<uint8_t>(command[0]) == 0x81);
}

std::string ReportCodeText(uint16_t code) { return HexText(code, 4); }

std::optional<uint16_t> ReportLineCode(std::string_view line) {
  if (line.size() < 4) return std::nullopt;
  uint16_t code = 0;
  for (char c : line.substr(0, 4)) {
    const int digit = std::isxdigit(static_cast<unsigned char>(c))
                          ? (std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::toupper(c) - 'A' + 10))
                          : -1;
    if (digit < 0) return std::nullopt;
    code = static_cast<uint16_t>(code << 4 | digit);
  }
  return code;
}
