#include "app/core/ZEP_ReportEval.h"

#include <algorithm>
#include <charconv>

#include "app/core/ZEP_Sync.h"
#include "app/data/PAV_DataManagement.h"
#include "app/data/QMT_DataManagement.h"
#include "app/output/App_SamplerEvents.h"

namespace {

constexpr uint16_t kLostBit = 0x8000;
constexpr std::size_t kLoggedLineMax = 200;  // a garbled line is shown only this far


int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0); }

// A whole number of a report payload: decimal, or hexadecimal after "$" or
// "0x". Anything else is a conversion error.
int64_t ParseInteger(std::string_view text) {
  std::string_view digits = Trim(text);
  int base = 10;
  if (!digits.empty() && digits.front() == '$') {
    digits.remove_prefix(1);
    base = 16;
  } else if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits.remove_prefix(2);
    base = 16;
  }
  int64_t value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size())
    throw EConvertError("'" + std::string(Trim(text)) + "' is not a valid integer value");
  return value;
}

bool Contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

std::string Shown(const std::string& line) {
  return line.size() <= kLoggedLineMax ? line : line.substr(0, kLoggedLineMax) + "...";
}

char Flag(bool value) { return value ? '1' : '0'; }

}  // namespace

TVQReportEvaluation::TVQReportEvaluation(TReportEvalHost& host, TPAV_DataManagement& pav, TQMT_DataManagement& qmt)
    : FHost(host), FPAV_DM(pav), FQMT_DM(qmt) {}

// ---- messages and logs --------------------------------------------------------------

void TVQReportEvaluation::Error(int code, const std::string& text) { FHost.PostMessage(mtError, code, 0, text); }
void TVQReportEvaluation::Warning(int code, const std::string& text) { FHost.PostMessage(mtWarning, code, 0, text); }
void TVQReportEvaluation::Info(int code, const std::string& text) { FHost.PostMessage(mtInfo, code, 0, text); }
void TVQReportEvaluation::Log(const std::string& text) { FHost.Log(text); }
void TVQReportEvaluation::LogErr(const std::string& text) { FHost.LogErr(text); }

std::string TVQReportEvaluation::TimeText(TUtcMs instant) const {
  return FormatDateTime(FOptions.LogTimeFormat, instant, FOptions.LogTimeZoneSystem);
}

int TVQReportEvaluation::GateMs() const { return FIntervalMs > 0 ? FIntervalMs : 1000; }

// ---- main-thread operations ---------------------------------------------------------------

void TVQReportEvaluation::DeviceOpened(bool waitBufferCleared, bool waitPVHData, bool wait7F51) {
  std::lock_guard lock(FLock);
  FOldHeader = kNoHeader;
  FDataHeader.reset();
  FPhaDiffReset = false;
  FisESP = false;
  FWaitRawTimestamp = true;
  FOverflowCounter = 0;
  FignoredTimestamp.reset();
  FSteerCommand.clear();
  FSteerElapsedMs = 0;
  FDeviceMs = -1;
  FPAVDateTimeStart.reset();
  FPAVDateTime.reset();
  FOpenCommandIndex = 0;
  FDeviceStartState = 0;
  FWaitBufferCleared = waitBufferCleared;
  FWaitPVHData = waitPVHData;
  FWaitPVHTicks.reset();
  FWaitPVHCount = 0;
  FWait7F51 = wait7F51;
  if (Waiting()) FPAV_DM.SetAddLogStrings(false);
  EndWaitsIfDone(".DeviceOpened");
}

void TVQReportEvaluation::ClearReferenceClockError() {
  std::lock_guard lock(FLock);
  FReferenceClockError = false;
}

bool TVQReportEvaluation::Waiting() const {
  return FWaitBufferCleared || FWaitExpectedHeader || FWaitPVHData || FWait7F51;
}

// The counter store writes log strings again once nothing is awaited.
void TVQReportEvaluation::EndWaitsIfDone(const char* who) {
  if (Waiting()) return;
  if (!FPAV_DM.AddLogStrings()) {
    if (!FLogStringsAnnounced) Log(std::string(who) + " -> enable PAV.AddLogStrings");
    FLogStringsAnnounced = true;
    FPAV_DM.SetAddLogStrings(true);
  }
}

void TVQReportEvaluation::ResetWaitBufferCleared() {
  std::lock_guard lock(FLock);
  FWaitBufferCleared = false;
  EndWaitsIfDone(".ResetWaitBufferCleared");
}

void TVQReportEvaluation::ResetWaitExpectedHeader() {
  std::lock_guard lock(FLock);
  FWaitExpectedHeader = false;
  FSteerCommand.clear();
  EndWaitsIfDone(".ResetWaitExpectedHeader");
}

void TVQReportEvaluation::ResetWaitPVHData() {
  std::lock_guard lock(FLock);
  FWaitPVHData = false;
  FWaitPVHTicks.reset();
  FWaitPVHCount = 0;
  EndWaitsIfDone(".ResetWaitPVHData");
}

void TVQReportEvaluation::ResetWait7F51() {
  std::lock_guard lock(FLock);
  FWait7F51 = false;
  EndWaitsIfDone(".ResetWait7F51");
}

void TVQReportEvaluation::SetExpectedHeader(uint16_t header, const std::string& sentCommand) {
  std::lock_guard lock(FLock);
  FExpectedHeader = static_cast<uint16_t>(header & ~kLostBit);
  FWaitExpectedHeader = true;
  FSteerCommand = sentCommand;
  FSteerElapsedMs = 0;
  FSteerRepeats = 0;
  FPAV_DM.SetAddLogStrings(false);
}

void TVQReportEvaluation::SetAddedOpenCommands(std::vector<std::string> commands) {
  std::lock_guard lock(FLock);
  FAddedOpenCommands = std::move(commands);
  FOpenCommandIndex = 0;
}

void TVQReportEvaluation::SetPhaDiffReset(bool value) {
  std::lock_guard lock(FLock);
  FPhaDiffReset = value;
}

void TVQReportEvaluation::ResetPhaseDifference() {
  std::lock_guard lock(FLock);
  Log(".ResetPhaseDifference: done by the application");
  PhaseDiffResetDone(true);
}

void TVQReportEvaluation::SetRawInterval(int index) {
  std::lock_guard lock(FLock);
  FIntervalIndex = std::clamp(index, 0, 13);
  FIntervalMs = static_cast<int>(VQ_IntervalMs(FIntervalIndex).value_or(1000));
  FHost.SetIntervalMs(FIntervalMs);
  FPAV_DM.SetRawMode(FIntervalMs, FOptions.RawAvg);
  FHost.PostSync(SyncWhat::RateIndex, FIntervalIndex, FIntervalMs, {});
  FPAV_DM.SetNewHeader(static_cast<uint16_t>(0x6000 + 256 * FIntervalIndex));
}

void TVQReportEvaluation::PhaseDiffResetDone(bool notify) {
  FPAV_DM.PhaseDiffResetted();
  FPhaDiffReset = false;
  if (notify) Info(16, "Phase difference resetted");
  FHost.PostSync(SyncWhat::PhaseDiffReset, 0, 0, {});
}

TReportEvalOptions TVQReportEvaluation::Options() const {
  std::lock_guard lock(FLock);
  return FOptions;
}

void TVQReportEvaluation::SetOptions(const TReportEvalOptions& options) {
  std::lock_guard lock(FLock);
  FOptions = options;
}

void TVQReportEvaluation::SetStoredTimeOrigin(std::optional<TUtcMs> origin) {
  std::lock_guard lock(FLock);
  FiniDateTime = origin;
  FPAVtimeCheckNeeded = origin.has_value();
}

std::optional<TUtcMs> TVQReportEvaluation::TimeOrigin() const {
  std::lock_guard lock(FLock);
  return FPAVDateTimeStart;
}

TReportEvalState TVQReportEvaluation::State() const {
  std::lock_guard lock(FLock);
  TReportEvalState s;
  s.OldHeader = FOldHeader;
  s.Mode = FMode;
  s.IntervalIndex = FIntervalIndex;
  s.IntervalMs = FIntervalMs;
  s.Scrambler = FScrambler;
  s.PPI = FPPI;
  s.PhaDiffReset = FPhaDiffReset;
  s.WaitBufferCleared = FWaitBufferCleared;
  s.WaitExpectedHeader = FWaitExpectedHeader;
  s.WaitPVHData = FWaitPVHData;
  s.Wait7F51 = FWait7F51;
  s.WaitRawTimestamp = FWaitRawTimestamp;
  s.ReferenceClockError = FReferenceClockError;
  s.PLLError = FPLLError;
  s.PLLokCount = FPLLokCount;
  s.OverflowCounter = FOverflowCounter;
  s.DeviceMs = FDeviceMs;
  s.PAVDateTimeStart = FPAVDateTimeStart;
  s.PAVDateTime = FPAVDateTime;
  s.TimeString = FTimeString;
  s.BufNo7000 = FBufNo7000;
  s.BufNo7015 = FBufNo7015;
  s.VersionString = FVersionString;
  s.HardFeature = FHardFeature;
  s.PAVonly = FPAVonly;
  s.QMTonly = FQMTonly;
  s.IsESP = FisESP;
  s.HasPPI = FhasPPI;
  s.Demo = FDemo;
  s.RemainTime = FRemainTime;
  return s;
}

// ---- one line ----------------------------------------------------------------------------------

bool TVQReportEvaluation::ReportAuswerten(const std::string& line, int64_t deviceMs) {
  std::lock_guard lock(FLock);
  try {
    TakeDeviceMs(deviceMs);
    Evaluate(line);
    return true;
  } catch (const std::exception& e) {
    LogErr(".ReportAuswerten failed " + ExceptionText(e) + " Data=" + Shown(line));
  } catch (...) {
    LogErr(".ReportAuswerten failed Data=" + Shown(line));
  }
  return false;
}

// The counter time of the line; with a known origin it is cut to the
// interval grid and gives the time of the measurement.
void TVQReportEvaluation::TakeDeviceMs(int64_t deviceMs) {
  if (deviceMs == -1) {
    if (FHost.LogWanted()) Log(".ReadReport FDeviceMs = -1");
    return;
  }
  FDeviceMs = deviceMs;
  if (!FPAVDateTimeStart) return;
  if (FIntervalMs > 1) FDeviceMs = FDeviceMs / FIntervalMs * FIntervalMs;
  FPAVDateTime = *FPAVDateTimeStart + FDeviceMs;
  RunTimeCheck();
}

void TVQReportEvaluation::Evaluate(const std::string& line) {
  const std::optional<uint16_t> code = ReportLineCode(line);
  if (!code) throw EConvertError("'" + Shown(line.substr(0, 4)) + "' is not a report code");
  FHeader = *code;
  const std::string payload = line.size() > 5 ? std::string(Trim(std::string_view(line).substr(5))) : std::string();
  if (FDeviceStartState == static_cast<int>(TVQ_DeviceStartState::ds_unknown))
    FDeviceStartState = FHost.DeviceStartState();
  const uint16_t h = static_cast<uint16_t>(FHeader & ~kLostBit);
  if (FWaitExpectedHeader) Steer(h);
  if (!FWaitBufferCleared && FOpenCommandIndex < FAddedOpenCommands.size()) SendAddedOpenCommand();
  const bool timeOrData = h < VQ_Code::FirstReport || h == VQ_Code::Timestamp || h == VQ_Code::Timestamp100ms;
  if ((h == VQ_Code::QmtValues && FWaitBufferCleared) || (Waiting() && timeOrData)) {
    IgnoreLine(h, line, payload);
    return;
  }
  if (FHeader != VQ_Code::Tick && FHost.ReportDebug())
    Log(".ReportAuswerten: ms=" + std::to_string(FDeviceMs) + ", Data=" + Shown(line));
  HandleOverflow();
  TakeTimeOrigin(static_cast<uint16_t>(FHeader));
  Dispatch(static_cast<uint16_t>(FHeader), line, payload);
}

// Walks the counter towards the expected header, one setting at a time. A
// command is not sent again while the counter may still be acting on it.
void TVQReportEvaluation::Steer(uint16_t h) {
  if (!FExpectedHeader) {
    ResetWaitExpectedHeader();
    return;
  }
  if (FWaitBufferCleared || FWaitPVHData || h >= VQ_Code::FirstReport) return;
  const TVQHeader current(h);
  const TVQHeader expected(*FExpectedHeader);
  std::string command;
  std::string what;
  if (current.FIntervalIndex != expected.FIntervalIndex) {
    what = "Set Interval";
    command = std::string(1, static_cast<char>(32 + std::clamp(expected.FIntervalIndex, 0, 15)));
  } else if (current.FMode != expected.FMode) {
    what = "Set Mode";
    command = std::string(1, static_cast<char>(64 + expected.FMode));
  } else if (current.FScramblerIndex != 3 && expected.FScramblerIndex != 0 &&
             current.FScramblerIndex != expected.FScramblerIndex) {
    what = "Set Scrambler";
    command = expected.FScramblerIndex == 1 ? "^" : "_";
  } else {
    Log(".ReportAuswerten: ResetWaitExpectedHeader");
    ResetWaitExpectedHeader();
    return;
  }
  if (command == FSteerCommand) {
    const int64_t gate = current.FGateTime > 0 ? current.FGateTime : 1;
    FSteerElapsedMs += gate;
    if (FSteerElapsedMs < std::max(kSteerRepeatMs, kSteerRepeatGates * gate)) return;
    if (++FSteerRepeats > kSteerMaxRepeats) {
      LogErr(".ReportAuswerten: " + what + " not taken by the counter, ResetWaitExpectedHeader");
      Warning(76, "The counter did not take the setting (" + what + "); it keeps " +
                      std::string(current.ModeText()) + ", " + std::string(current.IntervalText()) + ", scrambler " +
                      std::string(current.ScramblerText()));
      ResetWaitExpectedHeader();
      return;
    }
    Log(".ReportAuswerten: " + what + " again, no answer after " + std::to_string(FSteerElapsedMs) + " ms");
  } else {
    FSteerRepeats = 0;  // the counter took the step before
  }
  Log(".ReportAuswerten: " + what);
  FSteerCommand = command;
  FSteerElapsedMs = 0;
  FHost.SendCommand(command);
}

void TVQReportEvaluation::SendAddedOpenCommand() {
  Log(".ReportAuswerten: Send AddedOpenCommand " + std::to_string(FOpenCommandIndex));
  const std::string command = FAddedOpenCommands[FOpenCommandIndex++];
  FHost.SendCommand(command);
}

void TVQReportEvaluation::IgnoreLine(uint16_t h, const std::string& line, const std::string& payload) {
  if (h == VQ_Code::Timestamp) {
    FignoredTimestamp = ParseInteger(payload);
  } else if (h < VQ_Code::FirstReport) {
    FignoredTimestamp.reset();
    if (!FDataHeader || h != FDataHeader->FHeader) {
      if (!FDataHeader)
        Log(".ReportAuswerten: new DataHeader " + ReportCodeText(h));
      else
        Log(".ReportAuswerten: change DataHeader " + ReportCodeText(h) + " old=" + ReportCodeText(FDataHeader->FHeader));
      SetDataHeader(h, false, false);
      if (h >= 0x6000) FWaitRawTimestamp = true;
    }
  }
  if (FHost.LogWanted())
    Log(std::string(".ReportAuswerten: ignore(") + Flag(FWaitBufferCleared) + Flag(FWaitExpectedHeader) +
        Flag(FWaitPVHData) + Flag(FWait7F51) + ") Data=" + Shown(line) + " FDeviceMs=" + std::to_string(FDeviceMs));
  WatchPVH();
}

// A PVH read that is not answered is asked again twice, then given up, so
// that a counter without an answer never blocks the measurement.
void TVQReportEvaluation::WatchPVH() {
  if (!FWaitPVHData || !FWaitPVHTicks) return;
  const int64_t now = FHost.MonotonicMs();
  if (now - *FWaitPVHTicks <= kPVHTimeoutMs) return;
  LogErr(".ReportAuswerten: timeout wait for PVH data repeat count=" + std::to_string(FWaitPVHCount));
  ++FWaitPVHCount;
  if (FWaitPVHCount > kPVHMaxRepeats) {
    Error(102, "Failed to read PVH data from device with timeout");
    ResetWaitPVHData();
    return;
  }
  FHost.ReadPVHData();
  FWaitPVHTicks = now;
}

void TVQReportEvaluation::HandleOverflow() {
  if (FHeader & kLostBit) {
    if (FOverflowCounter == 0) {
      FPAV_DM.IncLost();
      Error(31, "Device reports transmit buffer overflow. Data lost!");
    } else {
      Log(".ReportAuswerten: Ignore Overflow Header=" + ReportCodeText(static_cast<uint16_t>(FHeader)));
    }
    ++FOverflowCounter;
    FHeader &= ~static_cast<uint32_t>(kLostBit);
  } else if (FOverflowCounter > 0) {
    Log(".ReportAuswerten: Overflow run ended, lines=" + std::to_string(FOverflowCounter));
    FOverflowCounter = 0;
  }
}

// The wall-clock time of counter time 0, rounded to the nearest second. Kept
// as a UTC instant, so a daylight-saving change during the run does not move
// the counter's times.
void TVQReportEvaluation::TakeTimeOrigin(uint16_t h) {
  if (FPAVDateTimeStart || FDeviceMs == -1) return;
  if (!(h == VQ_Code::Timestamp || h == VQ_Code::Timestamp100ms || h < VQ_Code::FirstReport)) return;
  const TUtcMs now = FHost.NowUtcMs();
  const TUtcMs start = now - FDeviceMs;
  int64_t seconds = FloorDiv(start, 1000);
  if (start - seconds * 1000 > 499) {
    ++seconds;
    Log(".ReportAuswerten: PAVDateTimeStart aufrunden");
  }
  FPAVDateTimeStart = seconds * 1000;
  FPAVDateTime = *FPAVDateTimeStart + FDeviceMs;
  Log(".ReportAuswerten: PAVDateTimeStart=" + TimeText(*FPAVDateTimeStart) + " PAVDateTime=" + TimeText(*FPAVDateTime));
  RunTimeCheck();
}

void TVQReportEvaluation::RunTimeCheck() {
  if (!FPAVtimeCheckNeeded || !FPAVDateTimeStart) return;
  FPAVtimeCheckNeeded = false;
  const std::string stored = FiniDateTime ? TimeText(*FiniDateTime) : std::string();
  const std::string now = TimeText(*FPAVDateTimeStart);
  if (stored == now) {
    Log(".PAVtimePlausibilityCheck: ok");
    return;
  }
  Log(".PAVtimePlausibilityCheck failed DateTimeStart: INI=" + stored + " jetzt=" + now);
  if (FOptions.LogTimeSourcePAV) Warning(45, "PAV Time recalculated, plausibility check failed");
}

void TVQReportEvaluation::Dispatch(uint16_t h, const std::string& line, const std::string& payload) {
  switch (h) {
    case VQ_Code::Tick:
      return;
    case VQ_Code::Version:
    case VQ_Code::Value24Bit:
    case VQ_Code::HardFeature:
    case VQ_Code::PvhCalibration:
    case VQ_Code::PvhSettings:
    case VQ_Code::ApplicationData:
    case 0x7FF1:
    case VQ_Code::InputOverrun:
      ThreadEvent_Report(h, line);
      return;
    case VQ_Code::Timestamp:
      TimeStamp7015(payload);
      return;
    case VQ_Code::Timestamp100ms:
      TimeStamp7016(payload);
      return;
    case VQ_Code::HeaderChanged:
      HeaderChanged7020(line, payload);
      return;
    case VQ_Code::ChannelSelection:
      Info(h, line);
      return;
    case VQ_Code::BufferCleared:
      ResetWaitBufferCleared();
      FPAV_DM.BufferCleared(h);
      FQMT_DM.BufferCleared(h);
      return;
    case VQ_Code::WordList:
      FPAV_DM.AddPDI(line);
      return;
    case VQ_Code::QmtValues:
      FQMT_DM.AddQMT(line);
      if (FisRTC) ThreadEvent_Report(h, line);
      return;
    case VQ_Code::Heartbeat:
      FPAV_DM.AddHeartbeat(line, FDeviceMs);
      return;
    case VQ_Code::UsbReadError:
      Error(31, payload);
      return;
    case VQ_Code::DataRateError:
      Warning(h, line);
      return;
    case VQ_Code::BufferOverflow:
      FPAV_DM.BufferCleared(h);
      FQMT_DM.BufferCleared(h);
      Error(31, payload);
      return;
    case VQ_Code::Resynchronised:
      ReSync7F51(line, payload);
      return;
    case 0x7FF3:
      if (FisESP) ThreadEvent_Report(h, line);
      return;
    case VQ_Code::ReferenceOk:
      FReferenceClockError = false;
      FPLLError = false;
      FPLLokCount = 0;
      FPAV_DM.SetPLLError(false);
      FPAV_DM.Reset();
      Info(h, line);
      return;
    case VQ_Code::ReferenceError:
      FReferenceClockError = true;
      FPLLError = false;
      FPLLokCount = 0;
      FPAV_DM.SetPLLError(false);
      FHost.SamplerEvent(SamplerEvent::ReferenceClock, payload);
      Error(h, line);
      return;
    case 0x7FFF:
      FHost.SamplerEvent(SamplerEvent::DeviceError, payload);
      FPLLError = true;
      FPAV_DM.SetPLLError(true);
      FPLLokCount = 0;
      Error(h, line);
      return;
    default:
      break;
  }
  if (h < VQ_Code::FirstReport) {
    MeasurementData(h, line);
  } else if ((h & 0xFF00) == 0x7F00) {
    FHost.SamplerEvent(SamplerEvent::DeviceError, payload);
    Error(h, line);
  } else {
    Info(h, line);
  }
}

void TVQReportEvaluation::TimeStamp7015(const std::string& payload) {
  if (FReferenceClockError) {
    LogErr(".ReportAuswerten: during ReferenceClockError ignore Seconds: " + Shown(payload));
    return;
  }
  const int64_t seconds = ParseInteger(payload);
  FBufNo7015 = payload;
  FHost.SamplerTimeStamp(seconds * 10);
  FPAV_DM.AddTimeStamp(seconds * 10);
  RawTimestampCheck();
}

void TVQReportEvaluation::TimeStamp7016(const std::string& payload) {
  const int64_t tenths = ParseInteger(payload);
  FHost.SamplerTimeStamp(tenths);
  FPAV_DM.AddTimeStamp(tenths);
  RawTimestampCheck();
}

void TVQReportEvaluation::RawTimestampCheck() {
  if (!FWaitRawTimestamp) return;
  if (FDeviceMs >= 0 && FDeviceMs % GateMs() == 0) {
    FWaitRawTimestamp = false;
    Log(".ReportAuswerten: WaitRawTimestamp -> passt");
  } else {
    Log(".ReportAuswerten: WaitRawTimestamp -> passt NICHT");
  }
}

void TVQReportEvaluation::HeaderChanged7020(const std::string& line, const std::string& payload) {
  const int64_t value = ParseInteger(payload);
  if (value < 0 || value > 0xFFFF) throw EConvertError("'" + payload + "' is no data header");
  FHeader = static_cast<uint32_t>(value) & ~static_cast<uint32_t>(kLostBit);
  SetDataHeader(static_cast<uint16_t>(FHeader), FOldHeader != kNoHeader, true);
  if (FHeader >= 0x6000 && FHeader < 0x7000) {
    FWaitRawTimestamp = true;
    Log(".ReportAuswerten 7020 6000 -> WaitTimestamp");
  }
  FRemainTime = 2.0 * GateMs() / 1000.0;
  ThreadEvent_Report(VQ_Code::HeaderChanged, line);
}

void TVQReportEvaluation::ReSync7F51(const std::string& line, const std::string& payload) {
  FPAV_DM.ReSync(payload);
  ResetWait7F51();
  FPAVDateTimeStart.reset();
  FPAVDateTime.reset();
  FPAVtimeCheckNeeded = false;
  FDeviceMs = -1;
  if (FOptions.LogTimeSourcePAV) Warning(45, "Re sync, PAV time resetted");
  ThreadEvent_Report(VQ_Code::Resynchronised, line);
}

void TVQReportEvaluation::MeasurementData(uint16_t h, const std::string& line) {
  if (FReferenceClockError && !FOptions.ReportDataDuringReferenceClockError) return;
  if (FignoredTimestamp) {
    const int64_t seconds = *FignoredTimestamp;
    FignoredTimestamp.reset();
    Log(".ReportAuswerten: repeat ignored time stamp");
    FBufNo7015 = std::to_string(seconds);
    FHost.SamplerTimeStamp(seconds * 10);
    FPAV_DM.AddTimeStamp(seconds * 10);
  }
  if (FHeader != FOldHeader) {
    SetDataHeader(h, FOldHeader != kNoHeader, false);
    FRemainTime = GateMs() / 1000.0;
  } else if (FPPI == 1 && FPPIcmdSent) {
    FHost.PostSync(SyncWhat::PPI, FPPI, 0, {});
  }
  FPPIcmdSent = false;
  FPAV_DM.SetPAVDateTime(FPAVDateTime);
  if (FPAVDateTime) {
    const std::string text = FOptions.LogTimeSourcePAV ? TimeText(*FPAVDateTime) : std::string();
    FTimeString = text;
    FPAV_DM.SetPAVtimeString(text);
    FQMT_DM.SetPAVtimeString(text);
  }
  bool ok = false;
  if (h >= 0x6000) {
    if (FWaitRawTimestamp) {
      Log(".ReportAuswerten ignore (WaitTimestamp)");
      return;
    }
    ok = FPAV_DM.ExtractRawData(line, FDeviceMs);
  } else {
    ok = FPAV_DM.ExtractData(line, FDeviceMs);
  }
  if (!ok)
    FPLLokCount = 0;
  else if (FPLLError)
    ++FPLLokCount;
  FRemainTime = GateMs() / 1000.0;
  // More than four seconds of good data, whatever the gate time.
  if (FPLLError && static_cast<int64_t>(FPLLokCount) * GateMs() > kPLLRecoveryMs) {
    FPLLError = false;
    FPAV_DM.SetPLLError(false);
    Log(".ReportAuswerten: clear PLL error, okCount=" + std::to_string(FPLLokCount));
    FPLLokCount = 0;
  }
}

// ---- event reports ----------------------------------------------------------------------------------

void TVQReportEvaluation::ThreadEvent_Report(uint16_t code, const std::string& line) {
  std::lock_guard lock(FLock);
  Log(".ThreadEvent_Report: " + Shown(line));
  if (code > VQ_Code::FirstReport && code != VQ_Code::Timestamp) FBufNo7000 = line;
  switch (code) {
    case VQ_Code::Version:
      Version7001(line);
      return;
    case VQ_Code::HardFeature:
      FeatureBits7019(line, line.size() > 5 ? std::string(Trim(std::string_view(line).substr(5))) : std::string());
      return;
    case VQ_Code::PvhCalibration:
      if (FOptions.ProfessionalMode) Info(code, line);
      Calibration7901(line);
      return;
    case VQ_Code::PvhSettings:
      if (FOptions.ProfessionalMode) Info(code, line);
      AddDevicePVHData(line);
      return;
    case VQ_Code::ApplicationData:
      Log(".ThreadEvent_Report: TCP-AppData received: " + Shown(line));
      Info(code, line);
      return;
    case VQ_Code::Resynchronised:
      Log(".ThreadEvent_Report Re-Sync: " + Shown(line));
      Info(code, line);
      FHost.PostSync(SyncWhat::ReSync, 0, 0, {});
      return;
    case 0x7FF1: {
      const int sub = Contains(line, "PAV: T2 underflow") ? 1 : Contains(line, "PAV: T2 d4>=2") ? 2 : 0;
      Error(0x7FF1 * 16 + sub, line);
      return;
    }
    case VQ_Code::InputOverrun: {
      const int sub = Contains(line, "Input Data Overrun Error")   ? 1
                      : Contains(line, "Raw Data Reception Error") ? 2
                      : Contains(line, "Scrambler in use")         ? 3
                                                                   : 0;
      Error(VQ_Code::InputOverrun * 16 + sub, line);
      return;
    }
    case 0x7FF3:
      Error(code, line);
      if (FOldHeader != kNoHeader) SetDataHeader(static_cast<uint16_t>(FOldHeader), true, false);
      return;
    default:
      return;
  }
}

void TVQReportEvaluation::Version7001(const std::string& line) {
  Info(VQ_Code::Version, line);
  FVersionString = line.size() > 4 ? line.substr(4) : std::string();
  FDemo = Contains(line, "Simulator");
  FisESP = Contains(line, "VERSION PAV2");
  const int firmware = FHost.FirmwareVersion();
  FhasPPI = FisESP && firmware >= 114;
  if (FisESP) ResetWaitBufferCleared();
  FHost.PostSync(SyncWhat::Peer, FisESP ? 1 : 0, 0, {});
  const uint16_t feature = FHost.HardFeature();
  TakeFeatureBits(feature);
  const bool pavBit = (feature & 1) != 0;
  const bool qmtBit = (feature & 2) != 0;
  if (!FQMT_DM.DeviceCalibrationSet() && (FDemo || FisESP || (firmware > 61 && qmtBit))) ReadDeviceCalibration();
  if (!FPAV_DM.DevicePVHSet() && (FDemo || FisESP || (firmware > 66 && pavBit))) {
    const int result = FHost.ReadPVHData();
    if (result != MultiCode::Ok) {
      Log(".ThreadEvent_Report 7001: Multi_ReadPVHData failed " + std::to_string(result));
      ResetWaitPVHData();
    } else if (FWaitPVHData) {
      FWaitPVHTicks = FHost.MonotonicMs();
      FWaitPVHCount = 0;
    }
    return;
  }
  // No table is asked for, so none will come: waiting for it would hold the
  // data back for good (a table read before, a counter without phase channels).
  if (FWaitPVHData) Log(".ThreadEvent_Report 7001: no PVH request -> ResetWaitPVHData");
  ResetWaitPVHData();
}

void TVQReportEvaluation::TakeFeatureBits(uint16_t feature) {
  FHardFeature = feature;
  const bool pavBit = (feature & 1) != 0;
  const bool qmtBit = (feature & 2) != 0;
  if (qmtBit && !pavBit) {
    FQMTonly = true;
    FPAVonly = false;
    FHost.PostSync(SyncWhat::QMTOnly, 0, 0, {});
  } else if (pavBit && !qmtBit) {
    FPAVonly = true;
    FQMTonly = false;
    FHost.PostSync(SyncWhat::PAVOnly, 0, 0, {});
  } else if (!pavBit && !qmtBit) {
    Log(".ThreadEvent_Report: unknown hard feature " + HexText(feature, 4));
  } else {
    FPAVonly = false;
    FQMTonly = false;
  }
  FHost.FeatureBitsChanged(feature, FPAVonly, FQMTonly);
}

void TVQReportEvaluation::FeatureBits7019(const std::string& line, const std::string& payload) {
  if (FOptions.ProfessionalMode) Info(VQ_Code::HardFeature, line);
  const int64_t value = ParseInteger(payload);
  if (value < 0 || value > 0xFFFF) throw EConvertError("'" + payload + "' is no feature word");
  const uint16_t feature = static_cast<uint16_t>(value);
  if ((feature & 3) == 3 || feature == FHardFeature) return;
  TakeFeatureBits(feature);
}

// The newer counters read their calibration with an extended command; the
// one-byte request is refused by them.
void TVQReportEvaluation::ReadDeviceCalibration() {
  const std::string command = FisESP ? std::string("\x85" "Eb\x00", 4) : std::string(1, '\x02');
  std::string hex;
  for (const char c : command) hex += HexText(static_cast<uint8_t>(c), 2);
  Log(".ReadDeviceCalibration: send cmd " + hex);
  FHost.SendCommand(command);
}

// A counter whose calibration did not change still lets the time-interval
// logs start: they wait only for the first 7901.
void TVQReportEvaluation::Calibration7901(const std::string& line) {
  const bool changed = FQMT_DM.AddCalibration(line);
  if (!FOptions.UseDeviceCalibration) return;
  if (changed || !FQMTCalibrationSet) ApplyCalibration(FQMT_DM.DeviceCalibration());
  FQMT_DM.SetAddLogStrings(true);
}

void TVQReportEvaluation::ApplyCalibration(const TCalibrationData& data) {
  Log(".SetCalibrationData: " + data.ToString(FQMT_DM.LogFormat()));
  if (FQMT_DM.SetCalibrationData(data)) {
    Log(".SetCalibrationData: changed");
    FHost.PostSync(SyncWhat::QMTCalibration, 0, 0, {});
    if (FQMT_DM.AddLogStrings()) FHost.SamplerEvent(SamplerEvent::QMTCalibration, {});
    if (FQMTCalibrationSet) Info(kInfoCalibrationChanged, "QMT calibration changed");
  }
  FQMTCalibrationSet = true;
}

void TVQReportEvaluation::SetUseDeviceCalibration(bool on) {
  std::lock_guard lock(FLock);
  FOptions.UseDeviceCalibration = on;
  const bool known = FQMT_DM.DeviceCalibrationSet();
  if (on && !known) {
    // Nothing is in use until the counter's calibration comes; its arrival
    // is the first calibration, not a change of one.
    const bool applied = FQMTCalibrationSet;
    ApplyCalibration(TCalibrationData{});
    FQMTCalibrationSet = applied;
    return;
  }
  ApplyCalibration(on ? FQMT_DM.DeviceCalibration() : TCalibrationData{});
  FQMT_DM.SetAddLogStrings(true);
}

void TVQReportEvaluation::AddDevicePVHData(const std::string& line) {
  std::lock_guard lock(FLock);
  Log(".AddDevicePVHData: " + Shown(line));
  TPVHSettings table;
  const std::string text = line.size() > 6 ? line.substr(6) : std::string();
  try {
    table.FormatSettings.DecimalSeparator = FOptions.DecSep;
    table.FormatSettings.ThousandSeparator = FOptions.DecSep == ',' ? '.' : ',';
    if (!table.FromString(text)) {
      LogErr(".AddDevicePVHData: failed " + table.ErrorStr);
      ResetWaitPVHData();
      return;
    }
  } catch (const std::exception& e) {
    // The wait ends either way: a table that cannot be read must not hold the data back.
    LogErr(".AddDevicePVHData: failed " + std::string(e.what()));
    ResetWaitPVHData();
    return;
  }
  if (const std::string own = table.ToString(); own != text) LogErr(".AddDevicePVHData: changed " + own);
  table.Update(-1);
  bool changed = false;
  try {
    changed = FPAV_DM.AddPVHData(table);
  } catch (...) {
    ResetWaitPVHData();
    throw;
  }
  FPVHSettings = table;
  ResetWaitPVHData();
  if (!changed) return;
  FHost.PostSync(SyncWhat::PVHData, 0, 0, {});
  if (FPAV_DM.AddLogStrings()) FHost.SamplerEvent(SamplerEvent::PVHChanged, {});
  if (FPVHSettingsSet) Info(101, "PVH Data changed");
  FPVHSettingsSet = true;
}

// ---- data header ---------------------------------------------------------------------------------------

void TVQReportEvaluation::SetDataHeader(uint16_t header, bool notify, bool from7020) {
  std::lock_guard lock(FLock);
  const TVQHeader hdr(header);
  FDataHeader = hdr;
  if (!hdr.FModeValid) Error(12, "Device reports invalid mode");
  if (!hdr.FIntervalIndexValid) Error(12, "Device reports invalid interval");
  const bool raw = hdr.FModeValid && hdr.FMode == 6;
  bool rawChanged = false;
  uint16_t appHeader = hdr.FHeader;

  if (hdr.FModeValid) {
    const int mode = raw ? (FOptions.RawAvg ? 7 : 6) : hdr.FMode;
    const bool changed = mode != FMode;
    if (changed && (raw || FMode == 6 || FMode == 7)) rawChanged = true;
    FMode = mode;
    if (raw && changed) FPAV_DM.SetRawMode(FIntervalMs, FOptions.RawAvg);
    FHost.PostSync(SyncWhat::Mode, FMode, 0, {});
    if (notify && changed)
      Info(13, "Mode setting changed to " + (FMode == 7 ? std::string("Raw Data Avg.") : std::string(hdr.ModeText())));
  }

  if (hdr.FIntervalIndexValid) {
    const int oldIndex = FIntervalIndex;
    std::string text(hdr.IntervalText());
    if (raw) {
      if (FIntervalIndex < 0) FIntervalIndex = FOptions.RawIntervalIndex >= 0 ? FOptions.RawIntervalIndex : hdr.FIntervalIndex;
      FIntervalIndex = std::clamp(FIntervalIndex, 0, 13);
      const int ms = static_cast<int>(VQ_IntervalMs(FIntervalIndex).value_or(1000));
      if (ms != FIntervalMs || from7020) {
        FIntervalMs = ms;
        FPAV_DM.SetRawMode(FIntervalMs, FOptions.RawAvg);
      }
      appHeader = static_cast<uint16_t>(0x6000 + 256 * FIntervalIndex);
      text = std::string(TVQHeader(static_cast<uint16_t>(FIntervalIndex << 8)).IntervalText());
    } else {
      FIntervalIndex = hdr.FIntervalIndex;
      FIntervalMs = static_cast<int>(hdr.FGateTime);
    }
    FHost.SetIntervalMs(FIntervalMs);
    FHost.PostSync(SyncWhat::RateIndex, FIntervalIndex, FIntervalMs, {});
    if (notify && FIntervalIndex != oldIndex) Info(13, "Interval setting changed to " + text);
  }

  const int oldPPI = FPPI;
  FPPI = hdr.FPPIindex;
  FPPItext = std::string(hdr.PPIText());
  FHost.PostSync(SyncWhat::PPI, FPPI, 0, {});
  if (notify && FPPI != oldPPI) Info(15, "PPI setting changed to " + FPPItext);

  const int oldScrambler = FScrambler;
  FScrambler = hdr.FScramblerIndex;
  FScramblerText = std::string(hdr.ScramblerText());
  FHost.PostSync(SyncWhat::Scrambler, FScrambler, 0, {});
  if (notify && FScrambler != oldScrambler) Info(14, "Scrambler setting changed to " + FScramblerText);

  if (from7020 && FPhaDiffReset) PhaseDiffResetDone(notify);

  if (hdr.FModeValid && hdr.FIntervalIndexValid && appHeader != FPAV_DM.ValueHeader().FHeader)
    FPAV_DM.SetNewHeader(appHeader);
  else if (rawChanged)
    FHost.SamplerEvent(SamplerEvent::MeasurementSettings, {});
  FOldHeader = hdr.FHeader;
}
