#include "library/core/VQ_Report.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "library/core/LogUnit.h"
#include "library/core/VQ_DllCommon.h"
#include "library/core/VQ_RecordingFraming.h"
#include "library/core/VQ_StreamFrames.h"
#include "library/core/VQ_UsbFrame.h"
#include "library/devices/VQ_BaseDevice.h"

namespace {

constexpr bool IsFrameEndByte(char c) { return IsUsbFrameEnd(static_cast<uint8_t>(c)); }

// The log detail of bytes that start no TCP text message: the length text
// when $01 and $02 are there, else where they are, counted from 1 (0: absent).
std::string TcpFormatErrorDetail(std::string_view head) {
  const std::size_t start = head.find(static_cast<char>(kTcpStart));
  const std::size_t lengthEnd = head.find(static_cast<char>(kTcpLengthEnd));
  if (start == 0 && lengthEnd != std::string_view::npos) return "sub(len)=" + std::string(head.substr(1, lengthEnd - 1));
  const auto position = [](std::size_t at) { return std::to_string(at == std::string_view::npos ? 0 : at + 1); };
  return "i01=" + position(start) + ", i02=" + position(lengthEnd) + ", s=" + HexDump(head);
}

}  // namespace

TVQ_ReportDevice::TVQ_ReportDevice(TVQ_BaseDevice& aDevice, int multiId, const TVQ_Clock& clock)
    : FDevice(aDevice),
      FClock(clock),
      FDbgTag("TVQ_ReportDevice[" + std::to_string(multiId) + "]"),
      FLogId(aDevice.LogId()),
      FTimestamps(aDevice.LogId(), FDbgTag) {
  switch (FDevice.DevType()) {
    case TVQ_DeviceType::VQ_Serial:
      FFraming = TFraming::Serial;
      FCommandStep = TCommandStep::Serial;
      break;
    case TVQ_DeviceType::VQ_HID:
    case TVQ_DeviceType::VQ_CDC:
    case TVQ_DeviceType::VQ_Remote:
      FFraming = TFraming::Usb;
      FCommandStep = TCommandStep::Base;
      FIgnoreNextFormatError = true;  // the first error after opening is noise
      break;
    case TVQ_DeviceType::VQ_CAN_Rack:
      FFraming = TFraming::Usb;
      FCommandStep = TCommandStep::Base;
      break;
    case TVQ_DeviceType::VQ_TCP_Device:
      FFraming = TFraming::Tcp;
      FCommandStep = TCommandStep::Base;
      break;
    case TVQ_DeviceType::VQ_TCP_Archive:
      FFraming = TFraming::TcpArchive;
      FCommandStep = TCommandStep::Base;
      break;
    case TVQ_DeviceType::VQ_Simul:
      FFraming = TFraming::Demo;
      FCommandStep = TCommandStep::Base;
      break;
    case TVQ_DeviceType::VQ_BinFile:
      FFraming = TFraming::FileBin;
      FCommandStep = TCommandStep::File;
      break;
    case TVQ_DeviceType::VQ_TxtFile:
      FFraming = TFraming::FileText;
      FCommandStep = TCommandStep::File;
      break;
    default:
      FCommandStep = TCommandStep::NotSupported;
      break;
  }
}

// ---- logging ----------------------------------------------------------------

void TVQ_ReportDevice::Log(const std::string& text) const {
  if (LogWanted(FLogId)) LogInfo(FLogId, FDbgTag + text);
}

void TVQ_ReportDevice::LogErr(const std::string& text) const {
  if (LogWanted(FLogId)) LogError(FLogId, FDbgTag + text);
}

bool TVQ_ReportDevice::Logging() const { return LogWanted(FLogId); }

// ---- reading ----------------------------------------------------------------

TVQ_Result TVQ_ReportDevice::GetReport(std::string& report) {
  report.clear();
  try {
    bool commandTurn = false;
    {
      std::lock_guard lock(FCmdLock);
      commandTurn = FRxMode == TReadModes::rxCommand;
    }
    if (commandTurn) return RunCommandStep(report);
    const TVQ_Result result = ReadReport(report);
    SwitchToCommandsWhenWaiting();
    return result;
  } catch (const std::exception& e) {
    report = ExceptionText(e);
    LogErr(".GetReport failed: " + report);
    return TVQ_Result::VQ_Err_Exception;
  }
}

TVQ_Result TVQ_ReportDevice::ReadReport(std::string& report) {
  // A USB counter that delivers simulated data speaks the simulated framing,
  // and back again when it stops.
  if (FFraming == TFraming::Usb && FDevice.DemoData()) {
    Log(".USBGetReport umschalten auf Demodaten");
    FFraming = TFraming::Demo;
  } else if (FFraming == TFraming::Demo && !FDevice.DemoData() && FDevice.IsUSBDevice()) {
    Log(".DemoGetReport umschalten auf CDC-Daten");
    FFraming = TFraming::Usb;
  }
  // A counter found to be an ESP counter sends transmit records.
  if ((FFraming == TFraming::Usb || FFraming == TFraming::Serial) && FDevice.PeerType() == TVQ_PeerType::ptESP) {
    Log(FFraming == TFraming::Usb ? ".USBGetReport umschalten auf ESP" : ".SerialGetReport umschalten auf ESP");
    if (FFraming == TFraming::Serial) FCommandStep = TCommandStep::Base;
    FFraming = TFraming::Esp;
  }
  switch (FFraming) {
    case TFraming::Usb: return UsbGetReport(report);
    case TFraming::Serial: return SerialGetReport(report);
    case TFraming::Esp: return GetESPReport(report);
    case TFraming::FileBin: return FileGetBinReport(report);
    case TFraming::FileText: return FileGetTextReport(report);
    case TFraming::Tcp: return TcpGetReport(report);
    case TFraming::TcpArchive: return TcpArchiveGetReport(report);
    case TFraming::Demo: return DemoGetReport(report);
    case TFraming::None: break;
  }
  report = "GetReport: no framing for device kind " + DeviceTypeText(FDevice.DevType());
  return TVQ_Result::VQ_DLL_internalError;
}

TVQ_Result TVQ_ReportDevice::CheckDeviceError(std::string& report) {
  try {
    std::string message;
    const TVQ_Result code = FDevice.TakeError(message);
    if (code == TVQ_Result::VQ_No_Err) return code;
    report = message;
    if (code == TVQ_Result::VQ_Err_ReceiveBufferOverflow || code == TVQ_Result::VQ_Err_Reconnected)
      FIgnoreNextFormatError = true;
    return code;
  } catch (const std::exception& e) {
    report = "check device error failed: " + ExceptionText(e);
    return TVQ_Result::VQ_Err_Exception;
  }
}

// ---- USB frames ---------------------------------------------------------------

// The frame end of the previous frame had not arrived: it is consumed first.
// False when the caller must stop.
bool TVQ_ReportDevice::SkipPendingFrameEnd(TVQ_Result& result, std::string& report) {
  if (!FignoreNextBF) return true;
  char next = 0;
  if (!FDevice.PeekChar(next)) {
    result = CheckDeviceError(report);
    if (result != TVQ_Result::VQ_No_Err)
      Log(".USBGetReport.DeviceError(" + std::string(VQ_ResultText(result)) + ")=" + report);
    return false;
  }
  FignoreNextBF = false;
  if (IsFrameEndByte(next))
    FDevice.ConfirmPeekedData(1);
  else if (LogReport)
    Log(".USBGetReport.ignoreNextBF: NICHT überlesen=" + HexText(static_cast<uint8_t>(next), 2));
  return true;
}

// After a framing error: drops bytes up to and including the next frame end.
bool TVQ_ReportDevice::SkipToFrameEnd(TVQ_Result& result, std::string& report) {
  if (!FmissingBF) return true;
  const auto [held, end] = PeekForResync([](std::string_view bytes) {
    const auto at = std::find_if(bytes.begin(), bytes.end(), IsFrameEndByte);
    return at == bytes.end() ? std::string_view::npos : static_cast<std::size_t>(at - bytes.begin());
  });
  DropForResync(held, end == std::string_view::npos ? held.size() : end + 1, ".USBGetReport.missingBF überlesen");
  if (end == std::string_view::npos) {
    result = CheckDeviceError(report);
    return false;
  }
  FmissingBF = false;
  return true;
}

TVQ_ReportDevice::TResyncPeek TVQ_ReportDevice::PeekForResync(std::size_t (*place)(std::string_view)) {
  for (uint32_t stretch = kResyncFirstPeek;; stretch = std::min(4 * stretch, kResyncPeek)) {
    std::string held = FDevice.PeekUpTo(stretch);
    const std::size_t at = place(held);
    if (at != std::string_view::npos || held.size() < stretch || stretch == kResyncPeek) return {std::move(held), at};
  }
}

// Drops the first `dropped` of the held bytes `held` to resynchronise,
// logged after `what`.
void TVQ_ReportDevice::DropForResync(std::string_view held, std::size_t dropped, const char* what) {
  if (dropped == 0) return;
  FDevice.ConfirmPeekedData(static_cast<uint32_t>(dropped));
  if (Logging()) LogErr(what + (" (" + std::to_string(dropped) + "): ") + HexDump(held.substr(0, dropped)));
}

TVQ_Result TVQ_ReportDevice::FormatError(std::string& report, const std::string& message, bool resync) {
  if (resync) FmissingBF = true;
  std::string deviceMessage;
  const TVQ_Result deviceError = CheckDeviceError(deviceMessage);
  if (deviceError != TVQ_Result::VQ_No_Err) {
    report = deviceMessage;
    return deviceError;
  }
  if (FIgnoreNextFormatError) {
    FIgnoreNextFormatError = false;
    report.clear();
    return TVQ_Result::VQ_No_Err;
  }
  report = message;
  return TVQ_Result::VQ_Err_BadFormat;
}

TVQ_Result TVQ_ReportDevice::UsbGetReport(std::string& report) {
  TVQ_Result result = TVQ_Result::VQ_No_Err;
  if (!SkipPendingFrameEnd(result, report) || !SkipToFrameEnd(result, report)) return result;

  std::string head = FDevice.PeekAnsi(2);
  if (head.size() == 2 && static_cast<uint8_t>(head[1]) == kUsbEscape) head = FDevice.PeekAnsi(3);
  const TUsbFrameSize size = UsbFrameSize(head);
  if (size.Kind == TUsbFrameSize::TKind::NeedMore) return CheckDeviceError(report);
  if (size.Kind == TUsbFrameSize::TKind::Invalid) {
    if (Logging()) LogErr(".USBGetReport invalid length: " + HexDump(head));
    FDevice.ConfirmPeekedData(1);
    return FormatError(report, "GetReport: invalid frame length", true);
  }
  const std::string frame = FDevice.PeekAnsi(size.Bytes);
  if (frame.empty()) return CheckDeviceError(report);
  if (frame.compare(0, head.size(), head) != 0) {
    if (Logging())
      LogErr(".USBGetReport.escLenStr(" + HexDump(head) + ") stimmt nicht mehr. Wurde Puffer gelöscht? s=" +
             HexDump(frame.substr(0, head.size())));
    return TVQ_Result::VQ_No_Err;
  }

  const TUsbFrameDecode decoded = DecodeUsbFrame(frame);
  FDevice.ConfirmPeekedData(decoded.Consumed);
  if (decoded.Status != TUsbFrameStatus::Complete && Logging()) LogUsbFrameError(decoded, frame);
  switch (decoded.Status) {
    case TUsbFrameStatus::Complete:
      report = decoded.Report;
      FIgnoreNextFormatError = false;
      AfterUsbFrame(report);
      return TVQ_Result::VQ_No_Err;
    case TUsbFrameStatus::UnexpectedEnd:
      return FormatError(report, "GetReport: unexpected end character received", false);
    case TUsbFrameStatus::IllegalByte:
      return FormatError(report, "GetReport: received illegal $BE", true);
    case TUsbFrameStatus::ChecksumError:
      return FormatError(report, "GetReport: CheckSum error", true);
    case TUsbFrameStatus::Truncated:
      return FormatError(report, "GetReport: escape at the end of the frame", true);
  }
  return TVQ_Result::VQ_No_Err;
}

void TVQ_ReportDevice::LogUsbFrameError(const TUsbFrameDecode& decoded, std::string_view frame) const {
  switch (decoded.Status) {
    case TUsbFrameStatus::Complete:
      break;
    case TUsbFrameStatus::UnexpectedEnd:
      LogErr(".USBGetReport.USB unerwartetes $BF, $BD empfangen ! ###############");
      LogErr(".USBGetReport.bisher verarbeitet($BF/$BD): " + HexDump(decoded.Report));
      break;
    case TUsbFrameStatus::IllegalByte:
      LogErr(".USBGetReport.unerlaubtes $BE empfangen ! ####");
      LogErr(".USBGetReport.bisher verarbeitet($BE): " + HexDump(decoded.Report));
      break;
    case TUsbFrameStatus::ChecksumError:
      LogErr(".USBGetReport.CHK error: Len=" + std::to_string(decoded.Length) + " ChkFound=" +
             HexText(decoded.SumFound, 2) + " ChkClaimed=" + HexText(decoded.ChkClaimed, 2));
      LogErr(".USBGetReport.bisher verarbeitet(CheckSum): " + HexDump(decoded.Report));
      break;
    case TUsbFrameStatus::Truncated:
      LogErr(".USBGetReport escape at the end of the frame: " + HexDump(frame));
      break;
  }
}

// A complete frame: its frame end, the identity checks, the 7901 rule and the clock.
void TVQ_ReportDevice::AfterUsbFrame(std::string& report) {
  char next = 0;
  if (!FDevice.PeekChar(next))
    FignoreNextBF = true;
  else if (IsFrameEndByte(next))
    FDevice.ConfirmPeekedData(1);
  else
    Log(".USBGetReport nächstes Zeichen kein BF: " + HexText(static_cast<uint8_t>(next), 2));

  const uint16_t code = BinaryReportCode(report);
  if (code == VQ_Code::Version) TakeVersionReport(report, ".USBGetReport");
  if (code == VQ_Code::PvhCalibration) {
    Log(".USBGetReport 7901 -> reset cmd delay");
    FDevice.SetDelayNextCmdMs(0);
  }
  if (LogReport && !report.empty()) Log(std::string(15, ' ') + HexDump(report));
  if (!report.empty()) FTimestamps.CheckTimestamps(report, FDevice.LowLevelLog());
}

// The counter's version report: its user ID always, the rest only from the
// first one after the version command, and only when it parses.
void TVQ_ReportDevice::TakeVersionReport(std::string& report, const char* caller) {
  const TVQ_VersionLog versionLog{FLogId, FDbgTag};
  uint8_t user = TVQ_VersionInfo::kUnknownUser;
  if (ExtractUserID(std::string_view(report).substr(2), user, versionLog)) FDevice.SetCFUserID(user);
  if (FVersionReceived) {
    Log(std::string(caller) + " Ignore multiple version string: " + HexDump(report));
    report.clear();
    return;
  }
  // Parsed into a fresh record so that a report that fails leaves the known identity.
  TVQ_VersionInfo info;
  if (ExtractFirmware(info, report, versionLog)) {
    FVersionInfo = info;
    FDevice.SetHardFeature(info.FHardFeature);
    FDevice.SetFirmwareVersionNumber(info.FVersion);
    FDevice.SetFFPGAVersion(info.FFPGAVersion);
    if (info.FVersionSerialNumber != TVQ_VersionInfo::kUnknownSerial)
      FDevice.SetSerialNumberValue(info.FVersionSerialNumber);
  }
  Log(std::string(caller) + " FirmwareVersion=" + std::to_string(info.FVersion) +
      ", Feature=" + HexText(info.FHardFeature, 4) + ", Date=" + info.FFirmwareDate +
      ", FPGAVersion=" + info.FFPGAVersion);
  FVersionReceived = true;
}

// ---- TCP text and archive streams ---------------------------------------------

TVQ_Result TVQ_ReportDevice::TcpGetReport(std::string& report) {
  if (FmissingBF) {
    const auto [held, start] = PeekForResync(TcpTextResyncOffset);
    const auto dropped = static_cast<uint32_t>(start == std::string::npos ? held.size() : start);
    DropForResync(held, dropped, ".TCPGetReport.missingBF überlesen");
    if (start == std::string::npos) return CheckDeviceError(report);
    FmissingBF = false;
  }
  const std::string head = FDevice.PeekUpTo(kTcpHeaderPeek);
  const TFrameSize size = TcpTextFrameSize(head);
  if (size.Cut == TFrameCut::Invalid) {
    // The first byte is no message start (or starts a bad one): skip it, then
    // look for the next $01.
    if (Logging()) LogErr(".TCPGetReport.FormatError " + TcpFormatErrorDetail(head));
    FDevice.ConfirmPeekedData(1);
    FmissingBF = true;
    report = "GetReport: Format error, no TCP string: " + head;
    return TVQ_Result::VQ_Err_BadFormat;
  }
  // A message is taken only when it is there whole: TCP delivers in pieces.
  if (size.Cut == TFrameCut::NeedMore) return CheckDeviceError(report);
  std::string message = FDevice.PeekAnsi(size.Bytes);
  if (message.size() != size.Bytes) return CheckDeviceError(report);
  FDevice.ConfirmPeekedData(size.Bytes);
  report = std::move(message.erase(0, size.Header));
  FTimestamps.CheckTimestampsTextReport(report, FDevice.LowLevelLog());
  FIgnoreNextFormatError = false;
  return TVQ_Result::VQ_No_Err;
}

TVQ_Result TVQ_ReportDevice::TcpArchiveGetReport(std::string& report) {
  const TFrameSize size = TcpArchiveFrameSize(FDevice.PeekAnsi(1));
  // An incomplete record waits for the rest.
  if (size.Cut != TFrameCut::Size) return CheckDeviceError(report);
  std::string record = FDevice.PeekAnsi(size.Bytes);
  if (record.size() != size.Bytes) return CheckDeviceError(report);
  FDevice.ConfirmPeekedData(size.Bytes);
  report = std::move(record.erase(0, size.Header));
  FTimestamps.CheckTimestamps(report, FDevice.LowLevelLog());
  return TVQ_Result::VQ_No_Err;
}

// ---- simulated counter frames ---------------------------------------------------

TVQ_Result TVQ_ReportDevice::DemoGetReport(std::string& report) {
  if (FMissingKennung) {
    const std::string held = FDevice.PeekUpTo(kDemoResyncPeek);
    const std::size_t start = DemoResyncOffset(held, FResyncFromStart ? 0 : 1);
    const auto dropped = static_cast<uint32_t>(start == std::string::npos ? held.size() : start);
    DropForResync(held, dropped, ".DemoGetReport missingKennung überlesen");
    FResyncFromStart = start == std::string::npos;
    if (FResyncFromStart) return CheckDeviceError(report);
    FMissingKennung = false;
  }
  const std::string head = FDevice.PeekAnsi(kDemoHeader);
  const TFrameSize size = DemoFrameSize(head);
  if (size.Cut == TFrameCut::NeedMore) return CheckDeviceError(report);
  if (size.Cut == TFrameCut::Invalid) {
    LogErr(".DemoGetReport falsche Kennung: " + HexText(DemoFrameMarker(head), 8));
    FMissingKennung = true;
    FResyncFromStart = false;
    report = "GetReport: wrong frame marker " + HexText(DemoFrameMarker(head), 8);
    return TVQ_Result::VQ_Err_BadFormat;
  }
  const std::string frame = FDevice.PeekAnsi(size.Bytes);
  if (frame.size() != size.Bytes) return CheckDeviceError(report);
  FDevice.ConfirmPeekedData(size.Bytes);
  report = DemoFrameReport(frame);
  const uint16_t code = BinaryReportCode(report);
  if (code == VQ_Code::Version) {
    const std::string text = report.substr(2);
    Log(".DemoGetReport " + text);
    FDevice.SetHardFeature(static_cast<uint16_t>(0x4001 | (text.find("QMT") != std::string::npos ? 2 : 0)));
  }
  FTimestamps.CheckTimestamps(report, FDevice.LowLevelLog());
  return TVQ_Result::VQ_No_Err;
}

// ---- commands -------------------------------------------------------------------

TVQ_Result TVQ_ReportDevice::SendCommand(const std::string& value, std::string* failure) {
  try {
    const std::string hex = HexDump(value);
    std::lock_guard lock(FCmdLock);
    int delay = FDevice.GetDelayNextCmdMs();
    const TCmdResponseType awaited = FDevice.GetCmdResponse();
    if (delay == 1 && FDevice.PeerType() == TVQ_PeerType::ptESP && awaited == TCmdResponseType::crt_none) {
      FDevice.SetDelayNextCmdMs(0);
      delay = 0;
    }
    std::string reason;
    if (delay > 0)
      reason = ".SendCommand: delay cmd for " + std::to_string(delay);
    else if (FRxMode == TReadModes::rxCommand)
      reason = ".SendCommand: Command is running";
    else if (awaited != TCmdResponseType::crt_none)
      reason = ".SendCommand: Wait CmdResponse " + CmdResponseTypeText(awaited);
    else if (!FDevice.HasCommandList() || !FCmdList.empty())
      reason = ".SendCommand:";
    if (!reason.empty()) {
      FCmdList.push_back(value);
      Log(reason + (reason.back() == ':' ? " add to CmdList=" : " -> add to CmdList=") + hex);
      return TVQ_Result::VQ_No_Err;
    }
    Log(".SendCommand: " + hex);
    std::string data = value;
    std::string message;
    const TVQ_Result result = FDevice.WriteData(data, message);
    if (result != TVQ_Result::VQ_No_Err) {
      LogErr(".SendCommand: " + hex + " failed(" + std::string(VQ_ResultText(result)) + ")=" + message);
      if (failure) *failure = message;
      return result;
    }
    if (IsVersionCommand(value)) {
      Log(".SendCommand: version command");
      FVersionReceived = false;
    }
    return result;
  } catch (const std::exception& e) {
    if (LogWanted(FLogId)) LogException(FLogId, FDbgTag + ".SendCommand failed", e);
    throw;
  }
}

int TVQ_ReportDevice::GetPendingCmdsCount() const {
  std::lock_guard lock(FCmdLock);
  return static_cast<int>(FCmdList.size()) + FDevice.GetPendingCmdsCount();
}

void TVQ_ReportDevice::SwitchToCommandsWhenWaiting() {
  // On the serial line a command only goes out in a frame's answer slot.
  if (FCommandStep == TCommandStep::Serial) return;
  std::lock_guard lock(FCmdLock);
  if (!FCmdList.empty()) FRxMode = TReadModes::rxCommand;
}

TVQ_Result TVQ_ReportDevice::RunCommandStep(std::string& report) {
  switch (FCommandStep) {
    case TCommandStep::Base: return BaseProcessCommand(report);
    case TCommandStep::Serial: return ProcessCommandSerial(report);
    case TCommandStep::File: return FileProcessCommand(report);
    case TCommandStep::NotSupported:
    case TCommandStep::None: break;
  }
  std::lock_guard lock(FCmdLock);
  FRxMode = TReadModes::rxData;
  report = "Commands not supported";
  return TVQ_Result::VQ_DLL_internalError;
}

TVQ_Result TVQ_ReportDevice::BaseProcessCommand(std::string& report) {
  std::lock_guard lock(FCmdLock);
  FRxMode = TReadModes::rxData;
  if (const int delay = FDevice.GetDelayNextCmdMs(); delay != 0) {
    Log(".BaseProcessCommand: delay cmd for " + std::to_string(delay));
    return TVQ_Result::VQ_No_Err;
  }
  if (const TCmdResponseType awaited = FDevice.GetCmdResponse(); awaited != TCmdResponseType::crt_none) {
    Log(".BaseProcessCommand: Wait CmdResponse " + CmdResponseTypeText(awaited));
    return TVQ_Result::VQ_No_Err;
  }
  if (FCmdList.empty()) return TVQ_Result::VQ_No_Err;
  std::string command = FCmdList.front();
  FCmdList.pop_front();
  const std::string hex = HexDump(command);
  Log(".BaseProcessCommand: cmd=" + hex + " now=" +
      std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(FClock.Now().time_since_epoch()).count()));
  std::string message;
  const TVQ_Result result = FDevice.WriteData(command, message);
  if (result != TVQ_Result::VQ_No_Err) {
    report = message;
    LogErr(".BaseProcessCommand: " + hex + " failed(" + std::string(VQ_ResultText(result)) + ")=" + message);
    return result;
  }
  if (IsVersionCommand(command)) FVersionReceived = false;
  if (CommandNotedInLogs()) {
    if (LogWanted(FLogId)) LogInfo(FLogId, "{" + hex + "}");
    if (LogWanted(FDevice.ReportLogId())) LogInfo(FDevice.ReportLogId(), "{" + hex + "}");
  }
  return TVQ_Result::VQ_No_Err;
}

// Whether a command written is noted as "{hex}" between the reports of the
// device's debug and report logs: not for USB CDC, network, CAN and
// simulated devices, nor for an ESP counter on a serial line.
bool TVQ_ReportDevice::CommandNotedInLogs() const {
  switch (FDevice.DevType()) {
    case TVQ_DeviceType::VQ_CDC:
    case TVQ_DeviceType::VQ_Remote:
    case TVQ_DeviceType::VQ_CAN_Rack:
    case TVQ_DeviceType::VQ_Simul:
      return false;
    case TVQ_DeviceType::VQ_Serial:
      return FDevice.PeerType() != TVQ_PeerType::ptESP;
    default:
      return true;
  }
}

// Replayed files never receive commands.
TVQ_Result TVQ_ReportDevice::FileProcessCommand(std::string&) {
  std::lock_guard lock(FCmdLock);
  FRxMode = TReadModes::rxData;
  if (!FCmdList.empty()) {
    Log(".FileProcessCommand: ignore " + HexDump(FCmdList.front()));
    FCmdList.pop_front();
  }
  return TVQ_Result::VQ_No_Err;
}

// ---- state --------------------------------------------------------------------------

void TVQ_ReportDevice::ReSync() {
  Log(".ReSync");
  FTimestamps.SetDeviceMs(0);
}

void TVQ_ReportDevice::ResetLastFPGA() {
  Log(".ResetLastFPGA " + std::to_string(FLastFPGA) + " -> -1");
  FLastFPGA = -1;
}

// ---- serial line ----------------------------------------------------------------

namespace {

constexpr auto kSerialSilence = std::chrono::seconds(1);
// An echo that stops coming for this long ends the command.
constexpr auto kSerialEchoTimeout = std::chrono::seconds(1);
constexpr uint8_t kSerialPoll = 0xBC;
// $85 starts the tool commands, which do not clear the counter's buffer.
constexpr uint8_t kToolCommand = 0x85;

}  // namespace

// The byte-by-byte trace of the serial protocol: many short items on one
// line, each a byte in hexadecimal between `before` and `after`. Built only
// when the low-level log is on: it runs for every byte received.
void TVQ_ReportDevice::Trace(const char* before, uint8_t b, const char* after, bool endLine) const {
  if (!FDevice.LowLevelLog() || !LogWanted(FLogId)) return;
  LogAppend(FLogId, before + HexText(b, 2) + after);
  if (endLine) LogNewLine(FLogId);
}

// Writes one byte to the counter. On failure the device's error (or a write
// error) becomes the result, with an error line naming the step.
bool TVQ_ReportDevice::WriteSerialByte(uint8_t b, const std::string& step, TVQ_Result& result, std::string& report) {
  std::string data(1, static_cast<char>(b));
  std::string message;
  const TVQ_Result written = FDevice.WriteData(data, message);
  if (written == TVQ_Result::VQ_No_Err) return true;
  result = written == TVQ_Result::VQ_Err_DataTransferInterrupted ? written : TVQ_Result::VQ_WriteError;
  report = message;
  LogErr(step + HexText(b, 2) + " " + message);
  return false;
}

TVQ_Result TVQ_ReportDevice::SerialGetReport(std::string& report) {
  TVQ_Result result = TVQ_Result::VQ_No_Err;
  std::string errorText;
  while (true) {
    char c = 0;
    if (!FDevice.PeekChar(c)) return SerialSilence(result, errorText, report);
    FDevice.ConfirmPeekedData(1);
    const auto b = static_cast<uint8_t>(c);
    FRxDTime = FClock.Now();
    Trace("", b, "");

    switch (FSerialFramer.Feed(b)) {
      case TVQ_SerialFramer::TEvent::None:
        continue;
      case TVQ_SerialFramer::TEvent::IllegalByte:
        result = TVQ_Result::VQ_Err_BadFormat;
        errorText = "SerialGetReport: received illegal $BE";
        LogErr("### " + errorText);
        continue;
      case TVQ_SerialFramer::TEvent::TooLong:
        LogErr(".SerialGetReport too many bytes received: " + std::to_string(FSerialFramer.Count()) +
               ", maximal length: " + std::to_string(TVQ_SerialFramer::kMaxFrame));
        continue;
      case TVQ_SerialFramer::TEvent::FrameBad:
        if (Logging())
          LogErr(".SerialGetReport LEN or CHK error: LenFound=" + std::to_string(FSerialFramer.LenFound()) +
                 " LenClaimed=" + std::to_string(FSerialFramer.LenClaimed()) +
                 " ChkFound=" + HexText(FSerialFramer.ChkFound(), 2) +
                 " ChkClaimed=" + HexText(FSerialFramer.ChkClaimed(), 2));
        Trace("{LA", FSerialFramer.Answer(), "}");
        if (!WriteSerialByte(FSerialFramer.Answer(), ".SerialGetReport LastAckn ", result, report)) return result;
        break;
      case TVQ_SerialFramer::TEvent::RepeatAnswer:
        Trace("{lA", FSerialFramer.Answer(), "}");
        if (!WriteSerialByte(FSerialFramer.Answer(), ".SerialGetReport LastEOL=", result, report)) return result;
        break;
      case TVQ_SerialFramer::TEvent::StrayEnd:
        Log("{of" + HexText(FSerialFramer.Answer(), 2) + "}");
        if (!WriteSerialByte(FSerialFramer.Answer(), ".SerialGetReport OLD=", result, report)) return result;
        break;
      case TVQ_SerialFramer::TEvent::FrameOk:
        return SerialFrameReceived(report);
    }
    report = result == TVQ_Result::VQ_No_Err ? std::string() : errorText;
    return result;
  }
}

// Nothing to read: the device's error, else after a second of silence the
// partial frame is dropped and the counter is polled with $BC.
TVQ_Result TVQ_ReportDevice::SerialSilence(TVQ_Result result, const std::string& errorText, std::string& report) {
  const TVQ_Result deviceError = CheckDeviceError(report);
  if (deviceError != TVQ_Result::VQ_No_Err) return deviceError;
  if (result != TVQ_Result::VQ_No_Err) {
    report = errorText;
    return result;
  }
  const auto now = FClock.Now();
  if (!FRxDTime) {
    FRxDTime = now;
    return TVQ_Result::VQ_No_Err;
  }
  if (now - *FRxDTime <= kSerialSilence) return TVQ_Result::VQ_No_Err;
  FSerialFramer.DropPartialFrame();
  FRxDTime = now;
  Trace("<", kSerialPoll, ">");
  TVQ_Result pollResult = TVQ_Result::VQ_No_Err;
  WriteSerialByte(kSerialPoll, ".SerialGetReport BC ", pollResult, report);
  return pollResult;
}

// A good frame: the report goes up; the frame end is answered, or a waiting
// command's first character takes the answer's place.
TVQ_Result TVQ_ReportDevice::SerialFrameReceived(std::string& report) {
  report = FSerialFramer.Report();
  const uint16_t code = BinaryReportCode(report);
  if (code == VQ_Code::Version) TakeVersionReport(report, ".SerialGetReport");
  if (code == VQ_Code::PvhCalibration) {
    Log(".SerialGetReport 7901 -> reset cmd delay");
    FDevice.SetDelayNextCmdMs(0);
  }
  FDevice.IncReportCounter();
  if (!report.empty()) FTimestamps.CheckTimestamps(report, FDevice.LowLevelLog());

  TVQ_Result result = TVQ_Result::VQ_No_Err;
  std::string writeMessage;
  std::unique_lock lock(FCmdLock);
  if (FCmdList.empty() || FDevice.GetDelayNextCmdMs() != 0) {
    lock.unlock();
    Trace("{La", FSerialFramer.Answer(), "}", true);
    WriteSerialByte(FSerialFramer.Answer(), ".SerialGetReport LastAckn ", result, writeMessage);
  } else {
    FCmdStringSerial = FCmdList.front();
    FCmdList.pop_front();
    FCMDEcho.clear();
    FCmdCharCount = 1;
    FRxMode = TReadModes::rxCommand;
    lock.unlock();
    FCmdStartTime = FClock.Now();
    const auto first = static_cast<uint8_t>(FCmdStringSerial[0]);
    Trace("{Cs", first, "}");
    WriteSerialByte(first, ".SerialGetReport Cmd[1] ", result, writeMessage);
  }
  if (result != TVQ_Result::VQ_No_Err) report = writeMessage;
  return result;
}

TVQ_Result TVQ_ReportDevice::ProcessCommandSerial(std::string& report) {
  TVQ_Result result = TVQ_Result::VQ_No_Err;
  while (true) {
    char c = 0;
    if (!FDevice.PeekChar(c)) {
      const TVQ_Result deviceError = CheckDeviceError(report);
      if (deviceError != TVQ_Result::VQ_No_Err) return deviceError;
      if (FClock.Now() - FCmdStartTime <= kSerialEchoTimeout) return TVQ_Result::VQ_No_Err;
      // The echo stopped coming: give the command up and read on.
      const std::string hex = HexDump(FCmdStringSerial);
      LogErr("ProcessCommandSerial no echo for " + hex + ", echo so far=" + HexDump(FCMDEcho));
      FinishSerialCommand(result, report);
      if (result != TVQ_Result::VQ_No_Err) return result;
      report = "Serial command not echoed: " + hex;
      return TVQ_Result::VQ_CmdIgnored;
    }
    FDevice.ConfirmPeekedData(1);
    const auto b = static_cast<uint8_t>(c);
    FCmdStartTime = FClock.Now();
    if (b == FSerialFramer.LastEOL()) {
      Log("ProcessCommandSerial Ignore LastEOL [" + HexText(b, 2) + "]");
      continue;
    }
    Trace("[", b, "]");
    FCMDEcho += static_cast<char>(b);
    if (FCMDEcho.size() < FCmdStringSerial.size()) {
      const auto next = static_cast<uint8_t>(FCmdStringSerial[FCmdCharCount++]);
      Trace("{cs", next, "}", true);
      if (!WriteSerialByte(next, "ProcessCommandSerial CharCount=" + std::to_string(FCmdCharCount) + " ", result,
                           report))
        return result;
      continue;
    }
    if (FCMDEcho != FCmdStringSerial) {
      FCMDEcho.clear();
      FCmdCharCount = 1;
      const auto first = static_cast<uint8_t>(FCmdStringSerial[0]);
      LogErr(" EchoErr->{" + HexText(first, 2) + "}");
      if (!WriteSerialByte(first, "ProcessCommandSerial CharCount=1 ", result, report)) return result;
      continue;
    }
    const auto first = static_cast<uint8_t>(FCmdStringSerial[0]);
    if ((first & 0x80) != 0 && first != kToolCommand) FSerialBufferCleared = true;
    if (IsVersionCommand(FCmdStringSerial)) FVersionReceived = false;
    FinishSerialCommand(result, report);
    return result;
  }
}

// Back to reading: the answer that the command's first character replaced
// is written now.
void TVQ_ReportDevice::FinishSerialCommand(TVQ_Result& result, std::string& report) {
  FCmdStringSerial.clear();
  FCMDEcho.clear();
  FCmdCharCount = 0;
  {
    std::lock_guard lock(FCmdLock);
    FRxMode = TReadModes::rxData;
  }
  Trace("{la", FSerialFramer.LastAckn(), "}", true);
  WriteSerialByte(FSerialFramer.LastAckn(), "ProcessCommandSerial LastAckn=", result, report);
}

bool TVQ_ReportDevice::SerialBufferCleared() { return std::exchange(FSerialBufferCleared, false); }

// ---- recorded files ---------------------------------------------------------------

// The first call finds out which stream the recording holds (ESP records,
// USB frames or the serial line) from its first bytes. A frame cut by the
// start of the recording is dropped here; a damaged first frame is left to
// the framing, which refuses it with its own error and reads on.
TVQ_Result TVQ_ReportDevice::FileGetBinReport(std::string& report) {
  Log(".FileGetBinReport: Binärdaten von ESP, USB oder seriell?");
  const std::string head = FDevice.PeekUpTo(kRecordingLookAhead);
  if (head.empty()) return CheckDeviceError(report);
  const TRecordingDetection found = DetectRecordingFraming(head, head.size() < kRecordingLookAhead);
  if (found.Skip > 0 && FDevice.ConfirmPeekedData(static_cast<uint32_t>(found.Skip)))
    LogErr(".FileGetBinReport: recording starts inside a frame, skipped (" + std::to_string(found.Skip) +
           "): " + HexDump(std::string_view(head).substr(0, found.Skip)));
  switch (found.Framing) {
    case TRecordingFraming::Esp:
      Log(".FileGetBinReport: Umschalten auf ESP-Binärdaten");
      FDevice.SetPeerType(TVQ_PeerType::ptESP);
      FFraming = TFraming::Esp;
      return GetESPReport(report);
    case TRecordingFraming::Usb:
      Log(".FileGetBinReport: Umschalten auf USB-Binärdaten");
      FDevice.SetPeerType(TVQ_PeerType::ptColdfire);
      FFraming = TFraming::Usb;
      return UsbGetReport(report);
    case TRecordingFraming::Serial:
      break;
  }
  Log(".FileGetBinReport: Umschalten auf serielle Binärdaten");
  FDevice.SetPeerType(TVQ_PeerType::ptColdfire);
  FFraming = TFraming::Serial;
  return SerialGetReport(report);
}

// A recorded text file: one report line per call.
TVQ_Result TVQ_ReportDevice::FileGetTextReport(std::string& report) {
  const std::string line = FDevice.DeviceReadAnsi(255);
  if (line.empty()) {
    const TVQ_Result result = CheckDeviceError(report);
    if (result != TVQ_Result::VQ_No_Err)
      Log(".FileGetTextReport.DeviceError(" + std::string(VQ_ResultText(result)) + ")=" + report);
    return result;
  }
  if (line.starts_with("7001VERSION")) {
    TVQ_VersionInfo info;
    if (ExtractFirmwareVersionDateTextReport(info, line, TVQ_VersionLog{FLogId, FDbgTag})) {
      FVersionInfo = info;
      FDevice.SetHardFeature(info.FHardFeature);
      FDevice.SetFirmwareVersionNumber(info.FVersion);
    }
    uint32_t serial = TVQ_VersionInfo::kUnknownSerial;
    if (ExtractSerialNumber(line, serial)) FDevice.SetSerialNumberValue(serial);
    Log(".FileGetTextReport FirmwareVersion=" + std::to_string(info.FVersion) +
        ", Feature=" + HexText(info.FHardFeature, 4) + ", Date=" + info.FFirmwareDate);
  } else {
    FTimestamps.CheckTimestampsTextReport(line, FDevice.LowLevelLog());
  }
  report = line;
  return TVQ_Result::VQ_No_Err;
}
