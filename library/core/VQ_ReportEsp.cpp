// ESP transmit records in the report layer: one record per call, converted to
// a binary report of the Coldfire form, plus what the counter leaves to the
// host: the FPGA time checks (7FF4), the 100 ms timestamps of older firmware
// (7016) and the supervision of a silent counter (7FF7).
#include <algorithm>
#include <chrono>
#include <iterator>

#include "library/core/LogUnit.h"
#include "library/core/VQ_DllCommon.h"
#include "library/core/VQ_Report.h"
#include "library/devices/VQ_BaseDevice.h"

namespace {

using namespace std::chrono_literals;

// The counter's FPGA time counts milliseconds from 0 to 19999.
constexpr int kFpgaTimeWrap = 20000;
constexpr int kTenthMs = 100;
// Firmware that sends its own 100 ms timestamps; older firmware gets them from us.
constexpr int kOwnTimestampsFirmware = 114;
// Firmware above this marks the end of an interval with the FPGA time.
constexpr int kLastStartOfIntervalFirmware = 110;
// Heartbeats without data for longer than this mean the counter does not measure.
constexpr auto kSilenceLimit = 5000ms;
constexpr uint8_t kTypeShiftedFpgaTime = 0x60;
int FloorMod(int value, int modulus) {
  const int rest = value % modulus;
  return rest < 0 ? rest + modulus : rest;
}

// The fields of a header alone, for its check and dump before the values are
// there. The value count is kept as sent, even when it is out of range.
TEspRecord HeaderFields(std::string header) {
  const auto count = static_cast<uint8_t>(header[5]);
  header[5] = 0;
  TEspRecord record;
  ParseEspRecord(header, record);
  record.ValueCount = count;
  return record;
}

}  // namespace

TVQ_Result TVQ_ReportDevice::GetESPReport(std::string& report) {
  if (FDevice.DemoData()) {
    Log(".GetESPReport umschalten auf Demodaten");
    FFraming = TFraming::Demo;
    return DemoGetReport(report);
  }
  if (!FSaveData.empty()) {
    report = std::move(FSaveData.front());
    FSaveData.pop_front();
    if (FDevice.LowLevelLog()) Log(".GetESPReport saved data=" + HexDump(report));
    return TVQ_Result::VQ_No_Err;
  }
  TVQ_Result result = TVQ_Result::VQ_No_Err;
  if (!SkipToEspMagic(result, report)) return result;

  const std::string header = FDevice.PeekAnsi(VQ_Esp::HeaderLength);
  if (header.size() != VQ_Esp::HeaderLength) return EspDeviceError(report);
  const TEspRecord head = HeaderFields(header);
  std::string check;
  if (const TEspCheck verdict = CheckEspRecord(head, &check);
      verdict == TEspCheck::BadMagic || verdict == TEspCheck::TooManyValues)
    return EspBadRecord(report, header, check);

  // A record that has not arrived whole waits, unconsumed.
  const auto length = static_cast<uint32_t>(head.Length());
  const std::string bytes = FDevice.PeekAnsi(length);
  if (bytes.size() != length) {
    if (Logging()) LogErr(".GetESPReport Header=" + head.HeaderDump(FDevice.FlagVersion()));
    return EspDeviceError(report);
  }
  TEspRecord record;
  ParseEspRecord(bytes, record);
  if (CheckEspRecord(record, &check) != TEspCheck::Ok) return EspBadRecord(report, bytes, check);
  if (!FDevice.ConfirmPeekedData(length)) {
    // The receive buffer was cleared meanwhile: the record is gone with it.
    if (Logging()) LogErr(".GetESPReport buffer cleared while reading " + head.HeaderDump(FDevice.FlagVersion()));
    return EspDeviceError(report);
  }
  FIgnoreNextFormatError = false;

  const bool flagVersion = FDevice.FlagVersion();
  if (FDevice.LowLevelLog()) Log(".GetESPReport " + record.HeaderDump(flagVersion) + record.ValueDump());
  if (FDevice.DevType() == TVQ_DeviceType::VQ_BinFile && LogWanted(FDevice.ReportLogId()))
    LogInfo(FDevice.ReportLogId(), record.StreamLine());
  if (!FFirstReceiveTicks) FFirstReceiveTicks = FClock.Now();

  const TEspConvertOptions options{flagVersion, FDevice.BlobNumber() != TVQ_BaseDevice::kNoBlobNumber};
  std::deque<std::string> reports{ConvertEspRecord(record, options)};
  if (record.IsMeasurement())
    EspMeasurement(record, reports);
  else if (record.Type == static_cast<uint8_t>(TEspRecordType::Timestamp))
    EspTimestamp(record, reports);
  else if (record.Type == static_cast<uint8_t>(TEspRecordType::Message) ||
           record.Type == static_cast<uint8_t>(TEspRecordType::Status))
    EspMessage(reports);
  else if (record.Type == static_cast<uint8_t>(TEspRecordType::Heartbeat))
    EspHeartbeat(reports);
  return DeliverEspReports(reports, report);
}

// After a bad record: drops the bytes up to the next magic. False while none
// has arrived; the last bytes are kept then, as they may start one.
bool TVQ_ReportDevice::SkipToEspMagic(TVQ_Result& result, std::string& report) {
  if (!FEspMissingMagic) return true;
  const auto [held, start] = PeekForResync([](std::string_view bytes) { return FindEspMagic(bytes); });
  const size_t dropped =
      start != std::string::npos ? start : held.size() - std::min(held.size(), VQ_Esp::Magic.size() - 1);
  DropForResync(held, dropped, ".GetESPReport missing magic, skipped");
  if (start == std::string::npos) {
    result = EspDeviceError(report);
    return false;
  }
  FEspMissingMagic = false;
  return true;
}

// Nothing (more) to read: the device's error, if any, with what it means for
// the FPGA time sequence and the supervision.
TVQ_Result TVQ_ReportDevice::EspDeviceError(std::string& report) {
  const TVQ_Result result = CheckDeviceError(report);
  if (result == TVQ_Result::VQ_No_Err) return result;
  const std::string line = ".GetESPReport.Header DeviceError(" + std::string(VQ_ResultText(result)) + ")=" + report;
  if (result == TVQ_Result::VQ_Err_EndOfFile)
    Log(line);
  else
    LogErr(line);
  if (result == TVQ_Result::VQ_Err_ReceiveBufferOverflow) FLastFPGA = -1;
  if (result == TVQ_Result::VQ_DeviceNotConnected) {
    FLastFPGA = -1;
    EspClearReceiveTicks();
  }
  return result;
}

// A record that fails its check is never used: its first byte is dropped and
// reading resumes at the next magic.
TVQ_Result TVQ_ReportDevice::EspBadRecord(std::string& report, std::string_view bytes, const std::string& check) {
  if (Logging()) LogErr(".GetESPReport bad record (" + check + "): " + HexDump(bytes));
  FDevice.ConfirmPeekedData(1);
  FEspMissingMagic = true;
  return FormatError(report, "GetReport: " + check, false);
}

void TVQ_ReportDevice::EspTimestamp(const TEspRecord& record, std::deque<std::string>& reports) {
  const int fpgaTime = record.Word;
  const int64_t deviceMs = fpgaTime % kTenthMs + int64_t{kTenthMs} * record.Flags;
  FTimestamps.SetDevice100ms(record.Flags);
  FTimestamps.SetDeviceMs(deviceMs);
  FOffsetFPGA = fpgaTime - fpgaTime % kTenthMs;
  if (fpgaTime % kTenthMs != 0) {
    // Not on a 100 ms boundary: the counter has just started its clock.
    reports.clear();
    FLastFPGA = -1;
    if (FDevice.LowLevelLog())
      Log(".GetESPReport ersten timestamp ignorieren: FPGAtime=" + std::to_string(fpgaTime) +
          " 100msCount=" + std::to_string(record.Flags) + " FDeviceMs=" + std::to_string(deviceMs));
    return;
  }
  if (FReceiveTicksTimestamp || deviceMs != 0) {
    FReceiveTicksTimestamp = FClock.Now();
    FRefClockErrorSend = false;
  } else {
    // The first timestamp at device time 0: the counter runs without reference.
    FPowerUpNoReference = true;
  }
}

void TVQ_ReportDevice::EspMeasurement(const TEspRecord& record, std::deque<std::string>& reports) {
  if (!FVersionReceived && FDevice.DevType() != TVQ_DeviceType::VQ_BinFile) {
    Log(".GetESPReport no version string -> ignore measurement");
    reports.clear();
    return;
  }
  FReceiveTicksMeasuremnt = FClock.Now();
  FRefClockErrorSend = false;
  if (record.Type != FLastMeasMode) {
    Log(".GetESPReport ModeRate changed old=" + HexText(FLastMeasMode, 2) + " new=" + HexText(record.Type, 2));
    FLastFPGA = -1;
    FLastMeasMode = record.Type;
  }
  const std::optional<uint32_t> interval = record.IntervalMs();
  if (!interval) {
    // Without an interval there is no grid to check the FPGA time against.
    LogErr(".GetESPReport no interval for header " + HexText(record.Type, 2) + ", FPGA time not checked");
    FLastFPGA = -1;
    return;
  }
  const int intervalMs = static_cast<int>(*interval);
  if (FPAVMeasIntervalEnd && FVersionInfo.FVersion < kOwnTimestampsFirmware)
    FTimestamps.SetDevice100ms(record.Flags);

  int fpgaTime = record.Word;
  if (record.Type == kTypeShiftedFpgaTime) fpgaTime = FloorMod(fpgaTime - 1, kFpgaTimeWrap);
  if (FVersionInfo.FVersion == TVQ_VersionInfo::kUnknownVersion && FDevice.DevType() == TVQ_DeviceType::VQ_BinFile)
    EspLearnFileTimeConvention(fpgaTime, intervalMs);
  EspCheckFpgaTime(fpgaTime, intervalMs, reports);
  if (FVersionInfo.FVersion < kOwnTimestampsFirmware && intervalMs <= kTenthMs) EspLibraryTimestamps(fpgaTime, reports);
  if (FTimestamps.DeviceMs() != TVQ_TimestampTracker::kUnknown)
    FTimestamps.SetDeviceMs(fpgaTime % kTenthMs + int64_t{kTenthMs} * static_cast<int64_t>(FTimestamps.Device100ms()));
}

// A replayed file does not say which firmware recorded it: the first
// measurement's FPGA time shows whether it marks the end or the start of an interval.
void TVQ_ReportDevice::EspLearnFileTimeConvention(int fpgaTime, int intervalMs) {
  if ((fpgaTime + 1) % intervalMs == 0) {
    FPAVMeasIntervalEnd = true;
    FVersionInfo.FVersion = kOwnTimestampsFirmware;
  } else if (fpgaTime % intervalMs != 0) {
    FPAVMeasIntervalEnd = false;
    FVersionInfo.FVersion = kLastStartOfIntervalFirmware;
  } else {
    return;
  }
  Log(".GetESPReport FileData FVersion=" + std::to_string(FVersionInfo.FVersion) +
      " FPAVMeasIntervalEnd=" + (FPAVMeasIntervalEnd ? "true" : "false"));
}

// The first measurement must sit on the interval grid, every later one one
// interval after the one before. A fault puts a 7FF4 report before the
// measurement, which is never dropped.
void TVQ_ReportDevice::EspCheckFpgaTime(int fpgaTime, int intervalMs, std::deque<std::string>& reports) {
  const int offGrid = (FPAVMeasIntervalEnd ? fpgaTime + 1 : fpgaTime) % intervalMs;
  std::string text;
  if (FLastFPGA == -1) {
    if (offGrid != 0) {
      // The grid point before: with the interval-end convention it lies one
      // below a multiple of the interval.
      const int expected = FloorMod(fpgaTime - offGrid, kFpgaTimeWrap);
      text = std::string(VQ_Text::FpgaTimeError) + std::to_string(expected) + " found=" + std::to_string(fpgaTime);
      LogErr(".GetESPReport falscher Startwert: " + text + " ms=" + std::to_string(intervalMs) +
             " aInt=" + std::to_string(fpgaTime % intervalMs));
    }
  } else if (const int expected = (FLastFPGA + intervalMs) % kFpgaTimeWrap; expected != fpgaTime) {
    text = std::string(VQ_Text::FpgaTimeError) + std::to_string(expected) + " found=" + std::to_string(fpgaTime);
    LogErr(".GetESPReport: " + text);
  }
  if (!text.empty()) reports.push_front(BinaryReport(VQ_Code::FpgaTimeError, text));
  FLastFPGA = fpgaTime;
}

// Older firmware sends no 100 ms timestamps with short intervals: they are
// made here from the FPGA time, in order with the measurement (last in `reports`).
void TVQ_ReportDevice::EspLibraryTimestamps(int fpgaTime, std::deque<std::string>& reports) {
  std::string timestamp;
  if (!FPAVMeasIntervalEnd) {
    const int elapsed = FloorMod(fpgaTime - FOffsetFPGA, kFpgaTimeWrap);
    FTimestamps.SetDevice100ms(FTimestamps.Device100ms() + static_cast<uint64_t>(elapsed / kTenthMs));
    FOffsetFPGA = fpgaTime - fpgaTime % kTenthMs;
    if (fpgaTime % kTenthMs != 0) return;
    timestamp = EspTimestampReport(static_cast<uint32_t>(FTimestamps.Device100ms()));
    reports.insert(std::prev(reports.end()), timestamp);
  } else {
    if ((fpgaTime + 1) % kTenthMs != 0) return;
    timestamp = EspTimestampReport(static_cast<uint32_t>(FTimestamps.Device100ms() + 1));
    reports.push_back(timestamp);
  }
  if (FDevice.LowLevelLog()) Log(".GetESPReport create VQtimestampReport=" + HexDump(timestamp));
}

// Message and status reports that end the FPGA time sequence or carry the
// reference clock state.
void TVQ_ReportDevice::EspMessage(std::deque<std::string>& reports) {
  switch (BinaryReportCode(reports.front())) {
    case VQ_Code::Version:
      EspVersion(reports);
      break;
    case VQ_Code::HeaderChanged:
    case VQ_Code::BufferCleared:
    case VQ_Code::Resynchronised:
    case VQ_Code::InputOverrun:
      FLastFPGA = -1;
      break;
    case VQ_Code::ReferenceOk:
      FLastFPGA = -1;
      FRefClockError = false;
      break;
    case VQ_Code::ReferenceError:
      FLastFPGA = -1;
      FRefClockError = true;
      break;
    default:
      break;
  }
}

void TVQ_ReportDevice::EspVersion(std::deque<std::string>& reports) {
  {
    std::lock_guard lock(FCmdLock);
    if (!FCmdList.empty() && IsVersionCommand(FCmdList.front())) {
      Log(".GetESPReport version received -> delete version cmd");
      FCmdList.pop_front();
    }
  }
  if (FVersionReceived) {
    if (FDevice.LowLevelLog()) Log(".GetESPReport Ignore multiple version string: " + HexDump(reports.front()));
    reports.clear();
    return;
  }
  // Parsed into a fresh record so that a report that fails leaves the known identity.
  TVQ_VersionInfo info;
  if (!ESPExtractFirmware(info, reports.front(), FDevice.HardFeature(), TVQ_VersionLog{FLogId, FDbgTag})) {
    LogErr(".GetESPReport invalid version string -> send cmd");
    reports.clear();
    std::string command(1, '\x01');
    std::string message;
    if (const TVQ_Result written = FDevice.WriteData(command, message); written != TVQ_Result::VQ_No_Err)
      LogErr(".GetESPReport version cmd failed(" + std::string(VQ_ResultText(written)) + ")=" + message);
    return;
  }
  FVersionInfo = info;
  if (info.FVersionUser != TVQ_VersionInfo::kUnknownUser) FDevice.SetCFUserID(info.FVersionUser);
  FDevice.SetESPFirmwareVersion(info.FMajor, info.FMinor);
  FDevice.SetFirmwareVersionNumber(info.FVersion);
  FPAVMeasIntervalEnd = info.FVersion > kLastStartOfIntervalFirmware;
  FDevice.SetFFPGAVersion(info.FFPGAVersion);
  if (info.FVersionSerialNumber != TVQ_VersionInfo::kUnknownSerial) {
    FDevice.SetSerialNumberValue(info.FVersionSerialNumber);
    if (const std::optional<TVQ_DeviceInfo> identity = FDevice.GetDeviceInfo()) {
      DeviceInfoList().AddInfo(*identity);
      Log(".GetESPReport add DeviceInfo");
    }
  }
  Log(".GetESPReport FirmwareVersion=" + std::to_string(info.FMajor) + "." + std::to_string(info.FMinor) + " -> " +
      std::to_string(info.FVersion) + " Date=" + info.FFirmwareDate + " Feature=" + info.FHardFeatureString +
      " FPGAVersion=" + info.FFPGAVersion + " SerialNumber=0x" + HexText(info.FVersionSerialNumber, 8) +
      " IP=" + info.FVersionIP + " User-ID=" + std::to_string(info.FVersionUser));
  FVersionReceived = true;
  reports.front() = BinaryReport(VQ_Code::Version, ESPVersionText(info));
}

// A heartbeat while neither measurements nor timestamps arrive: one 7FF7
// report per silence period, before the heartbeat itself.
void TVQ_ReportDevice::EspHeartbeat(std::deque<std::string>& reports) {
  if (FRefClockErrorSend || FRefClockError) return;
  const auto now = FClock.Now();
  const auto silentSince = [now](const std::optional<TVQ_Clock::Monotonic::time_point>& since) {
    return !since || now - *since > kSilenceLimit;
  };
  const bool anyData = FReceiveTicksTimestamp || FReceiveTicksMeasuremnt;
  const bool silent = anyData ? silentSince(FReceiveTicksTimestamp) && silentSince(FReceiveTicksMeasuremnt)
                              : silentSince(FFirstReceiveTicks);
  if (!silent) return;
  const std::string_view text = FPowerUpNoReference ? VQ_Text::NoDataRepower : VQ_Text::NoDataCheckReference;
  reports.push_front(BinaryReport(VQ_Code::NoMeasurementData, text));
  Log(".GetESPReport.Heartbeat: no measurement/timestamp received -> 7FF7");
  FRefClockErrorSend = true;
  EspClearReceiveTicks();
}

void TVQ_ReportDevice::EspClearReceiveTicks() {
  FFirstReceiveTicks.reset();
  FReceiveTicksTimestamp.reset();
  FReceiveTicksMeasuremnt.reset();
}

// Delivers the first report and keeps the rest for the next calls. While the
// device reports a recovery, all are kept and the recovery is returned.
TVQ_Result TVQ_ReportDevice::DeliverEspReports(std::deque<std::string>& reports, std::string& report) {
  if (FDevice.ErrorCode() == TVQ_Result::VQ_No_Err_Recovered) {
    std::move(reports.begin(), reports.end(), std::back_inserter(FSaveData));
    return CheckDeviceError(report);
  }
  report.clear();
  if (reports.empty()) return TVQ_Result::VQ_No_Err;
  report = std::move(reports.front());
  reports.pop_front();
  std::move(reports.begin(), reports.end(), std::back_inserter(FSaveData));
  return TVQ_Result::VQ_No_Err;
}
