#include "library/devices/VQ_BaseDevice.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <system_error>

#include "library/core/LogUnit.h"
#include "library/platform/VQ_File.h"

namespace {

constexpr std::array<std::string_view, 13> kDeviceTypeNames = {
    "VQ_Serial", "VQ_HID",         "VQ_CDC",         "VQ_Remote", "VQ_BinFile", "VQ_TxtFile", "VQ_RawFile",
    "VQ_CAN_Rack", "VQ_TCP_Device", "VQ_TCP_Archive", "VQ_Simul",  "VQ_FPGAUSB", "VQ_FPGANet",
};
constexpr std::array<std::string_view, 3> kStartStateNames = {"unknown", "ColdStart", "WarmStart"};

// A timestamp report: $08 $70 $16, then its seconds in four bytes. A counter
// just switched on starts counting at 1.
constexpr std::string_view kTimestampMark = "\x08\x70\x16";
constexpr std::string_view kColdStartSeconds{"\x00\x00\x00\x01", 4};
constexpr std::size_t kUserSlots = 4;
constexpr std::size_t kUserSlotSize = 4;

std::string BoolText(bool value) { return value ? "true" : "false"; }

uint8_t CommandCode(std::string_view cmd) { return static_cast<uint8_t>(cmd.front()) & 0x7F; }

// Two characters as a number in `base`, or nothing.
std::optional<int> TwoDigits(std::string_view text, std::size_t pos, int base) {
  if (pos + 2 > text.size() || text[pos] == '-') return std::nullopt;
  int value = 0;
  const char* first = text.data() + pos;
  const auto [end, ec] = std::from_chars(first, first + 2, value, base);
  if (ec != std::errc() || end != first + 2) return std::nullopt;
  return value;
}

}  // namespace

std::string DeviceTypeText(int ordinal) {
  if (ordinal < 0 || ordinal >= static_cast<int>(kDeviceTypeNames.size())) return std::to_string(ordinal);
  return std::string(kDeviceTypeNames[static_cast<std::size_t>(ordinal)]);
}

std::string_view DeviceStartStateText(int ordinal) {
  if (ordinal < 0 || ordinal >= static_cast<int>(kStartStateNames.size())) return kStartStateNames[0];
  return kStartStateNames[static_cast<std::size_t>(ordinal)];
}

// ---- creation ---------------------------------------------------------------

TVQ_BaseDevice::TVQ_BaseDevice(int aLogId, int aMultiId, TVQ_Event* aReceiveEvent, bool aDoResetEvent,
                               const TVQ_Clock& clock)
    : FClock(clock),
      FLogId(aLogId),
      FMultiId(aMultiId),
      FFormatSettings(DefaultFormatSettings()),
      FDoResetEvent(aDoResetEvent),
      FReceiveEvent(aReceiveEvent != nullptr ? aReceiveEvent : &BaseReceiveEvent()),
      FReceiveBuffer(std::make_unique<TCircularBuffer>(aLogId, FReceiveEvent, true)),
      FToolsBuffer(std::make_unique<TCircularBuffer>(aLogId, nullptr, true)) {}

TVQ_BaseDevice::~TVQ_BaseDevice() { StopSaveBinaryData(); }

void TVQ_BaseDevice::SetStreamLogIds(int reportLogId, int frameLogId) {
  FReportLogId = reportLogId;
  FFrameLogId = frameLogId;
}

std::string TVQ_BaseDevice::DeviceText() const { return DeviceTypeText(FDevType.load()); }

void TVQ_BaseDevice::Log(std::string_view text) const {
  if (LogWanted(FLogId)) LogInfo(FLogId, text);
}

void TVQ_BaseDevice::LogErr(std::string_view text) const {
  if (LogWanted(FLogId)) LogError(FLogId, text);
}

// ---- buffers and reads ------------------------------------------------------

uint32_t TVQ_BaseDevice::GetBufferAmount() const { return FReceiveBuffer->GetAmount(); }
uint32_t TVQ_BaseDevice::GetBufferHighAmount() const { return FReceiveBuffer->HighAmount(); }
void TVQ_BaseDevice::GetBufferAmounts(uint32_t& amount, uint32_t& highAmount) const {
  FReceiveBuffer->GetAmounts(amount, highAmount);
}

bool TVQ_BaseDevice::PortIsOpened() const { return FPortIsOpened.load() || FReceiveBuffer->GetAmount() > 0; }
bool TVQ_BaseDevice::ReceiveBufferCleared() { return FReceiveBuffer->BufferCleared(); }

// Nothing there: let the transport notice a lost connection (or feed more),
// then, for a blocking device without an error, wait once for new bytes.
template <class TTake>
static std::string TakeOrWait(TVQ_BaseDevice& device, TTake take) {
  std::string bytes = take();
  if (!bytes.empty()) return bytes;
  device.CheckDeviceClosed();
  if (device.ErrorCode() != TVQ_Result::VQ_No_Err || !device.BlockingIO()) return bytes;
  if (!device.WaitReceiveEvent()) return bytes;
  return take();
}

std::string TVQ_BaseDevice::DeviceRead(uint8_t len) {
  if (len == 0) return {};
  return TakeOrWait(*this, [&] { return FReceiveBuffer->ReadAnsiString(len); });
}

std::string TVQ_BaseDevice::DeviceReadAnsi(uint8_t len) { return DeviceRead(len); }

std::string TVQ_BaseDevice::PeekAnsi(uint32_t len) {
  if (len == 0) return {};
  return TakeOrWait(*this, [&] { return FReceiveBuffer->PeekAnsiString(len); });
}

std::string TVQ_BaseDevice::PeekUpTo(uint32_t maxLen) {
  if (maxLen == 0) return {};
  return TakeOrWait(*this, [&] { return FReceiveBuffer->PeekAnsiString(std::min(maxLen, FReceiveBuffer->GetAmount())); });
}

std::string TVQ_BaseDevice::PeekData(uint32_t len) { return PeekAnsi(len); }

bool TVQ_BaseDevice::PeekChar(char& zeichen) {
  const std::string one = TakeOrWait(*this, [&] {
    char c = 0;
    return FReceiveBuffer->PeekChar(c) ? std::string(1, c) : std::string();
  });
  if (one.empty()) return false;
  zeichen = one.front();
  return true;
}

bool TVQ_BaseDevice::ConfirmPeekedData(uint32_t len) { return FReceiveBuffer->ConfirmPeekedData(len); }

std::string TVQ_BaseDevice::ToolsRead(uint8_t len) { return FToolsBuffer->ReadAnsiString(len); }
std::string TVQ_BaseDevice::ToolsReadAnsi(uint8_t len) { return ToolsRead(len); }

std::string TVQ_BaseDevice::ToolsReadAll() {
  std::string all;
  uint32_t left = FToolsBuffer->GetAmount();
  while (left > 0) {
    const auto piece = static_cast<uint8_t>(std::min<uint32_t>(left, kToolsReadPiece));
    const std::string bytes = ToolsRead(piece);
    if (bytes.empty()) break;
    all += bytes;
    left -= std::min<uint32_t>(left, static_cast<uint32_t>(bytes.size()));
  }
  return all;
}

// ---- writing ----------------------------------------------------------------

TVQ_Result TVQ_BaseDevice::WriteData(std::string& data, std::string& message) {
  message.clear();
  if (DeviceWrite(data)) return TVQ_Result::VQ_No_Err;
  const TVQ_Result code = TakeError(message);
  if (code != TVQ_Result::VQ_No_Err) return code;
  message = "DeviceWrite failed, Device=" + DeviceText();
  LogErr("TVQ_BaseDevice.WriteData: " + message + " without an error of the device");
  return TVQ_Result::VQ_WriteError;
}

// ---- command pacing ---------------------------------------------------------

int64_t TVQ_BaseDevice::ElapsedMs(TimePoint from, TimePoint to) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

int TVQ_BaseDevice::GetDelayNextCmdMs() {
  std::lock_guard lock(FPacingLock);
  if (FDelayNextCmdMs == 0) return 0;
  const int64_t elapsed = ElapsedMs(FDelayNextCmdStartTime, FClock.Now());
  if (elapsed < FDelayNextCmdMs) {
    const auto remaining = static_cast<int>(FDelayNextCmdMs - elapsed);
    Log("TVQ_BaseDevice.GetDelayNextCmdMs=" + std::to_string(remaining) + " Device=" + DeviceText());
    return remaining;
  }
  if (FPeerType.load() != TVQ_PeerType::ptColdfire) return 0;
  // A Coldfire counter waits for the answer that ends the delay; one that
  // never comes must not block every later command.
  if (elapsed >= FDelayNextCmdMs + kCmdResponseTimeout.count()) {
    Log("TVQ_BaseDevice.GetDelayNextCmdMs report missing for " + std::to_string(kCmdResponseTimeout.count()) +
        " ms, delay cleared Device=" + DeviceText());
    FDelayNextCmdMs = 0;
    return 0;
  }
  Log("TVQ_BaseDevice.GetDelayNextCmdMs report missing 1 Device=" + DeviceText());
  return 1;
}

void TVQ_BaseDevice::SetDelayNextCmdMs(int ms) {
  Log("TVQ_BaseDevice.SetDelayNextCmdMs " + std::to_string(ms) + " Device=" + DeviceText());
  std::lock_guard lock(FPacingLock);
  if (ms > 0) {
    FDelayNextCmdMs = ms;
    FDelayNextCmdStartTime = FClock.Now();
    return;
  }
  Log("TVQ_BaseDevice.SetDelayNextCmdms delay finished Device=" + DeviceText());
  FDelayNextCmdMs = 0;
}

TCmdResponseType TVQ_BaseDevice::GetCmdResponse() {
  std::lock_guard lock(FPacingLock);
  if (FCmdResponse != TCmdResponseType::crt_none &&
      FClock.Now() - FCmdResponseStartTime >= kCmdResponseTimeout) {
    Log("TVQ_BaseDevice.GetCmdResponse " + CmdResponseTypeText(FCmdResponse) + " not seen within " +
        std::to_string(kCmdResponseTimeout.count()) + " ms, cleared Device=" + DeviceText());
    FCmdResponse = TCmdResponseType::crt_none;
  }
  return FCmdResponse;
}

void TVQ_BaseDevice::StoreCmdResponse(TCmdResponseType value) {
  if (value != FCmdResponse) Log("TVQ_BaseDevice.SetCmdResponse " + CmdResponseTypeText(value));
  FCmdResponse = value;
  FCmdResponseStartTime = FClock.Now();
}

void TVQ_BaseDevice::SetCmdResponse(TCmdResponseType value) {
  std::lock_guard lock(FPacingLock);
  StoreCmdResponse(value);
}

bool TVQ_BaseDevice::Is7020Cmd(std::string_view cmd) {
  if (cmd.size() != 1) return false;
  const uint8_t c = CommandCode(cmd);
  return c == 0x0A || (c >= 0x20 && c <= 0x2F) || (c >= 0x40 && c <= 0x5F);
}

bool TVQ_BaseDevice::IsChannelCmd(std::string_view cmd) {
  if (cmd.size() == 1) return CommandCode(cmd) >= 0x30 && CommandCode(cmd) <= 0x3B;
  return cmd.size() == 2 && CommandCode(cmd) == '?';
}

bool TVQ_BaseDevice::IsReadNVSCmd(std::string_view cmd) { return cmd.starts_with("\x85" "E"); }

void TVQ_BaseDevice::SetCmdResponseForCommand(std::string_view cmd) {
  if (cmd.empty() || FPeerType.load() != TVQ_PeerType::ptESP) return;
  std::optional<TCmdResponseType> awaited;
  if (Is7020Cmd(cmd)) {
    const uint8_t c = CommandCode(cmd);
    if (c == 0x0A) {
      awaited = TCmdResponseType::crt_phaseReset;
    } else if (c <= 0x2F) {
      awaited = TCmdResponseType::crt_interval;
    } else if (c <= 0x4F) {
      awaited = TCmdResponseType::crt_mode;
    } else {
      const uint16_t header = FPAVReportHeader.load();
      // Both scrambler bits set: the counter does not answer a scrambler command.
      if (header != kNoReportHeader && (header & 0x30) == 0x30) {
        Log("TVQ_BaseDevice.SetCmdResponseForCommand " + HexDump(cmd) + " invalid scrambler cmd -> no wait CmdResponse");
      } else {
        awaited = TCmdResponseType::crt_scrambler;
      }
    }
  } else if (IsChannelCmd(cmd)) {
    awaited = TCmdResponseType::crt_channel;
  } else if (IsReadNVSCmd(cmd)) {
    awaited = TCmdResponseType::crt_ReadNVS;
  }
  if (awaited) SetCmdResponse(*awaited);
}

void TVQ_BaseDevice::CheckMeasurementResponse(uint16_t newHeader, std::string_view logTag) {
  const uint16_t oldHeader = FPAVReportHeader.exchange(newHeader);
  const std::string last = LastCommand();
  const uint8_t lastCode = last.empty() ? 0 : CommandCode(last);
  const unsigned k = lastCode & 0x0F;
  // The scrambler command whose bits the header shows.
  const auto scramblerMatches = [&](uint16_t header) {
    const unsigned bits = header & 0x30;
    return (lastCode == 'P' && bits == 0x00) || (lastCode == '^' && bits == 0x10) ||
           (lastCode == '_' && bits == 0x20);
  };

  std::lock_guard lock(FPacingLock);
  const char* reason = nullptr;
  switch (FCmdResponse) {
    case TCmdResponseType::crt_interval:
      if (((oldHeader ^ newHeader) & 0x0F00) != 0) reason = "interval changed";
      else if (k == ((oldHeader & 0x0F00u) >> 8)) reason = "same interval";
      break;
    case TCmdResponseType::crt_mode:
      if (((oldHeader ^ newHeader) & 0xF000) != 0) reason = "mode changed";
      else if (k == (oldHeader >> 12)) reason = "same mode";
      break;
    case TCmdResponseType::crt_scrambler:
      if (oldHeader == kNoReportHeader) {
        if (scramblerMatches(newHeader)) reason = "scrambler ok";
      } else if (((oldHeader ^ newHeader) & 0x30) != 0) {
        reason = "scrambler changed";
      } else if (scramblerMatches(newHeader)) {
        reason = "same scrambler";
      }
      break;
    case TCmdResponseType::crt_channel:
      reason = "channel";
      break;
    case TCmdResponseType::crt_phaseReset:
      reason = "phaseReset";
      break;
    default:
      break;
  }
  if (reason == nullptr) return;
  Log(std::string(logTag) + reason);
  StoreCmdResponse(TCmdResponseType::crt_none);
}

void TVQ_BaseDevice::CheckStatusResponse() {
  std::lock_guard lock(FPacingLock);
  if (FCmdResponse == TCmdResponseType::crt_none || FCmdResponse == TCmdResponseType::crt_channel) return;
  StoreCmdResponse(TCmdResponseType::crt_none);
}

void TVQ_BaseDevice::SetLastCommand(const std::string& value) {
  std::lock_guard lock(FTextLock);
  if (value != FLastCommand) Log("TVQ_BaseDevice.SetLastCommand " + HexDump(value));
  FLastCommand = value;
  const bool blob = value.size() >= 4 && value.starts_with("\x85" "Eb");
  FBlobNumber = blob ? static_cast<uint8_t>(value[3]) : kNoBlobNumber;
}

std::string TVQ_BaseDevice::LastCommand() const {
  std::lock_guard lock(FTextLock);
  return FLastCommand;
}

// ---- identity and state -----------------------------------------------------

// "<class>.<setter> old=<old>, new=<new>"
static std::string ChangeText(std::string_view owner, std::string_view setter, std::string_view oldValue,
                              std::string_view newValue) {
  std::string line(owner);
  line.append(".").append(setter).append(" old=").append(oldValue).append(", new=").append(newValue);
  return line;
}

void TVQ_BaseDevice::SetSerialNumberValue(uint32_t value) {
  const uint32_t old = FSerialNumberValue.exchange(value);
  FSerialNumberRead = true;
  if (old != value)
    Log(ChangeText(ClassName(), "SetSerialNumberValue", std::to_string(old), std::to_string(value)));
}

uint32_t TVQ_BaseDevice::GetSerialNumberValue() const { return FSerialNumberValue.load(); }

void TVQ_BaseDevice::SetUserID(uint8_t value) {
  const uint8_t slot = (value >= 1 && value <= 4) ? value : kNoUserID;
  const uint8_t old = FUserID.exchange(slot);
  if (old != slot) Log(ChangeText(ClassName(), "SetUserID", std::to_string(old), std::to_string(slot)));
}

void TVQ_BaseDevice::SetCFUserID(uint8_t value) {
  const uint8_t old = FCFuserID.exchange(value);
  if (old != value) Log(ChangeText(ClassName(), "SetCFUserID", std::to_string(old), std::to_string(value)));
}

void TVQ_BaseDevice::SetHardFeature(uint16_t value) {
  const uint16_t old = FHardFeature.exchange(value);
  if (old != value) Log(ChangeText(ClassName(), "SetHardFeature", HexText(old, 4), HexText(value, 4)));
}

void TVQ_BaseDevice::SetHardFeature32(uint32_t value) {
  const uint32_t old = FHardFeature32.exchange(value);
  if (old != value) Log(ChangeText(ClassName(), "SetHardFeature32", HexText(old, 8), HexText(value, 8)));
  const auto low = static_cast<uint16_t>(value & 0xFFFF);
  const uint16_t oldLow = FHardFeature.exchange(low);
  if (oldLow != low)
    Log(ChangeText(ClassName(), "SetHardFeature32 -> HardFeature", HexText(oldLow, 4), HexText(low, 4)));
}

void TVQ_BaseDevice::SetFirmwareVersionNumber(int value) {
  const int old = FFirmwareVersionNumber.exchange(value);
  if (old != value)
    Log(ChangeText(ClassName(), "SetFirmwareVersionNumber", std::to_string(old), std::to_string(value)));
  if (FPeerType.load() == TVQ_PeerType::ptESP) FFlagVersion = value > kFlagVersionFirmware;
}

void TVQ_BaseDevice::SetESPFirmwareVersion(int aMajor, int aMinor) {
  std::lock_guard lock(FTextLock);
  if (aMajor == FFirmwareVersionMajor && aMinor == FFirmwareVersionMinor) return;
  Log("TVQ_BaseDevice.SetESPFirmwareVersion old=" + std::to_string(FFirmwareVersionMajor) + "." +
      std::to_string(FFirmwareVersionMinor) + " new=" + std::to_string(aMajor) + "." + std::to_string(aMinor));
  FFirmwareVersionMajor = aMajor;
  FFirmwareVersionMinor = aMinor;
}

void TVQ_BaseDevice::GetESPFirmwareVersion(int& aMajor, int& aMinor) const {
  std::lock_guard lock(FTextLock);
  aMajor = FFirmwareVersionMajor;
  aMinor = FFirmwareVersionMinor;
}

void TVQ_BaseDevice::SetFFPGAVersion(const std::string& value) {
  {
    std::lock_guard lock(FTextLock);
    if (value == FFPGAVersion) return;
    FFPGAVersion = value;
  }
  if (value.empty()) {
    Log("TVQ_BaseDevice.SetFFPGAVersion: empty string");
    return;
  }
  FFPGAtype = TVQ_FPGAType::ft_unknown;
  if (value == "FFFFFF.FF") {
    Log("TVQ_BaseDevice.SetFFPGAVersion: empty FPGA");
    return;
  }
  const auto year = TwoDigits(value, 0, 10);
  const auto month = TwoDigits(value, 2, 10);
  const auto day = TwoDigits(value, 4, 10);
  const auto code = TwoDigits(value, 7, 16);
  if (!year || !month || !day || !code) {
    Log("TVQ_BaseDevice.SetFFPGAVersion: illegal FPGA version " + value);
    return;
  }
  Log("TVQ_BaseDevice.SetFFPGAVersion year=" + std::to_string(*year) + " month=" + std::to_string(*month) +
      " day=" + std::to_string(*day) + " code=" + std::to_string(*code));
  const std::chrono::year_month_day today{std::chrono::floor<std::chrono::days>(FClock.WallNow())};
  const int currentYear = static_cast<int>(today.year());
  if (2000 + *year > currentYear) {
    Log("TVQ_BaseDevice.SetFFPGAVersion: illegal FPGA year " + value + ", CurrentYear=" + std::to_string(currentYear));
    return;
  }
  if (*month == 0 || *month > 12) {
    Log("TVQ_BaseDevice.SetFFPGAVersion: illegal FPGA month " + value);
    return;
  }
  if (*day == 0 || *day > 31) {
    Log("TVQ_BaseDevice.SetFFPGAVersion: illegal FPGA day " + value);
    return;
  }
  // Older Coldfire firmware always has an Altera part; later boards switched
  // to MicroSemi in 2022; ESP counters always carry MicroSemi.
  TVQ_FPGAType type = TVQ_FPGAType::ft_MicroSemi;
  if (FPeerType.load() != TVQ_PeerType::ptESP && (FFirmwareVersionNumber.load() <= 72 || *year <= 21))
    type = TVQ_FPGAType::ft_Altera;
  FFPGAtype = type;
}

std::string TVQ_BaseDevice::FPGAVersion() const {
  std::lock_guard lock(FTextLock);
  return FFPGAVersion;
}

void TVQ_BaseDevice::SetPeerType(TVQ_PeerType value) {
  const TVQ_DeviceType type = FDevType.load();
  if (type != TVQ_DeviceType::VQ_BinFile && type != TVQ_DeviceType::VQ_TxtFile) return;
  StorePeerType(value);
}

void TVQ_BaseDevice::StorePeerType(TVQ_PeerType value) {
  const TVQ_PeerType old = FPeerType.exchange(value);
  if (old != value)
    Log(ChangeText(ClassName(), "SetPeerType", PeerTypeText(old), PeerTypeText(value)));
}

void TVQ_BaseDevice::SetPAVReportHeader(uint16_t value) {
  const uint16_t old = FPAVReportHeader.exchange(value);
  if (old != value) Log(ChangeText(ClassName(), "SetPAVReportHeader", HexText(old, 4), HexText(value, 4)));
}

void TVQ_BaseDevice::SetDeviceStartState(TVQ_DeviceStartState value) {
  const TVQ_DeviceStartState old = FDeviceStartState.exchange(value);
  if (old != value)
    Log(ChangeText(ClassName(), "SetDeviceStartState", DeviceStartStateText(old), DeviceStartStateText(value)));
}

void TVQ_BaseDevice::SetLowLevelLog(bool value) {
  const bool old = FLowLevelLog.exchange(value);
  if (old != value) Log(ChangeText(ClassName(), "SetLowLevelLog", BoolText(old), BoolText(value)));
}

void TVQ_BaseDevice::SetReadTimeoutMs(uint32_t value) {
  const uint32_t old = FReadTimeoutMs.exchange(value);
  Log(ChangeText(ClassName(), "SetReadTimeoutMs", std::to_string(old), std::to_string(value)));
}

void TVQ_BaseDevice::SetBlockingIO(bool value) {
  if (FPortIsOpened.load()) {
    Log("TVQ_BaseDevice.SetBlockingIO ignored while the port is open");
    return;
  }
  FBlockingIO = value;
}

void TVQ_BaseDevice::SetReceivedSec(uint32_t value) { FReceivedSec = value; }
void TVQ_BaseDevice::SetReferenceClockError(bool value) { FReferenceClockError = value; }

void TVQ_BaseDevice::SetDemoData(bool value) {
  if (FDemoData.load() == value) return;
  Log("TVQ_BaseDevice.SetDemoData: Wechsel reale Daten - Demodaten, lösche Empfangspuffer");
  FReceiveBuffer->Clear();
  FDemoData = value;
}

void TVQ_BaseDevice::SetContextTool(bool value) {
  if (FContextTool.load() == value) return;
  Log(ChangeText(ClassName(), "SetContextTool", BoolText(!value), BoolText(value)));
  if (FDevType.load() == TVQ_DeviceType::VQ_Remote) FForcedClose = true;
  const bool wasOpen = FPortIsOpened.load();
  ClosePort();
  FContextTool = value;
  FPeerRepeatAddr = 0;
  if (!wasOpen) return;
  std::string errorMsg;
  if (!OpenPort(errorMsg)) LogErr("TVQ_BaseDevice.SetContextTool: OpenPort failed " + errorMsg);
}

// The rings reset the receive event on every read that finds them empty; the
// flag is kept for the transports that ask for it.
void TVQ_BaseDevice::SetDoResetEvent(bool value) { FDoResetEvent = value; }

void TVQ_BaseDevice::SetUserConnected(std::string_view ansi) {
  if (ansi.size() != kUserSlots * kUserSlotSize) {
    Log("TVQ_BaseDevice.SetUserConnected invalid string " + HexDump(ansi));
    std::lock_guard lock(FTextLock);
    FUserConnected.clear();
    return;
  }
  std::string text = "Connected: ";
  for (std::size_t slot = 0; slot < kUserSlots; ++slot) {
    const std::string_view bytes = ansi.substr(slot * kUserSlotSize, kUserSlotSize);
    switch (ReadBigEndian32(bytes)) {
      case 0: text += "---     "; break;
      case 1: text += "USB     "; break;
      case 2: text += "CAN     "; break;
      case 3: text += "Serial     "; break;
      default:
        for (std::size_t i = 0; i < bytes.size(); ++i) {
          if (i > 0) text += '.';
          text += std::to_string(static_cast<uint8_t>(bytes[i]));
        }
        text += "     ";
    }
  }
  std::lock_guard lock(FTextLock);
  FUserConnected = std::move(text);
}

std::string TVQ_BaseDevice::UserConnected() const {
  std::lock_guard lock(FTextLock);
  return FUserConnected;
}

void TVQ_BaseDevice::CheckTimeStampBytes(std::string_view ansi) {
  if (FDeviceStartState.load() != TVQ_DeviceStartState::ds_unknown) return;
  const std::size_t pos = ansi.find(kTimestampMark);
  if (pos == std::string_view::npos) return;
  const std::string_view seconds = ansi.substr(pos + kTimestampMark.size());
  if (seconds.size() < 4) return;  // the rest comes with a later timestamp
  Log("TVQ_BaseDevice.CheckTimeStampBytes Timestamp found " + HexDump(seconds.substr(0, 4)));
  SetDeviceStartState(seconds.starts_with(kColdStartSeconds) ? TVQ_DeviceStartState::ds_ColdStart
                                                             : TVQ_DeviceStartState::ds_WarmStart);
}

std::optional<TVQ_DeviceInfo> TVQ_BaseDevice::GetDeviceInfo() const {
  const uint32_t serial = FSerialNumberValue.load();
  if (serial == kUnknownSerial) return std::nullopt;
  TVQ_DeviceInfo info;
  info.FSerialNumber = serial;
  info.FPeerType = FPeerType.load();
  info.FHardFeature = FHardFeature32.load();
  return info;
}

bool TVQ_BaseDevice::IsUSBDevice() const {
  const TVQ_DeviceType type = FDevType.load();
  return type == TVQ_DeviceType::VQ_HID || type == TVQ_DeviceType::VQ_CDC;
}

std::string TVQ_BaseDevice::COMName() const {
  std::lock_guard lock(FTextLock);
  const std::size_t pos = FDevicePath.find("COM");
  return pos == std::string::npos ? std::string() : FDevicePath.substr(pos);
}

std::string TVQ_BaseDevice::DevicePath() const {
  std::lock_guard lock(FTextLock);
  return FDevicePath;
}

void TVQ_BaseDevice::SetDevicePath(const std::string& value) {
  std::lock_guard lock(FTextLock);
  FDevicePath = value;
}

void TVQ_BaseDevice::SetCalibFactorFloatToInt(int value) {
  if (value <= 0) {
    Log("TVQ_BaseDevice.SetCalibFactorFloatToInt invalid " + std::to_string(value));
    return;
  }
  FCalibFactorFloatToInt = value;
}

// ---- error state ------------------------------------------------------------

void TVQ_BaseDevice::SetError(TVQ_Result code, const std::string& message) {
  std::lock_guard lock(FErrorLock);
  FErrorCode = code;
  FErrorMessage = message;
}

void TVQ_BaseDevice::SetSystemError(const std::string& text) {
  const int err = errno;
  SetSystemError(static_cast<uint32_t>(err), text, std::system_category().message(err));
}

void TVQ_BaseDevice::SetSystemError(uint32_t lastError, const std::string& textHeader,
                                    const std::string& textContent) {
  std::lock_guard lock(FErrorLock);
  FErrorCode = TVQ_Result::VQ_System_Err;
  FSystemLastError = lastError;
  FErrorMessage = textHeader + ": (" + std::to_string(lastError) + ")=" + textContent;
}

void TVQ_BaseDevice::QuitError() {
  std::lock_guard lock(FErrorLock);
  FErrorCode = TVQ_Result::VQ_No_Err;
  FSystemLastError = 0;
  FErrorMessage.clear();
}

TVQ_Result TVQ_BaseDevice::TakeError(std::string& message) {
  std::lock_guard lock(FErrorLock);
  const TVQ_Result code = FErrorCode;
  message = std::move(FErrorMessage);
  FErrorMessage.clear();
  FErrorCode = TVQ_Result::VQ_No_Err;
  FSystemLastError = 0;
  return code;
}

TVQ_Result TVQ_BaseDevice::ErrorCode() const {
  std::lock_guard lock(FErrorLock);
  return FErrorCode;
}

std::string TVQ_BaseDevice::ErrorMessage() const {
  std::lock_guard lock(FErrorLock);
  return FErrorMessage;
}

uint32_t TVQ_BaseDevice::SystemLastError() const {
  std::lock_guard lock(FErrorLock);
  return FSystemLastError;
}

// ---- capture ----------------------------------------------------------------

bool TVQ_BaseDevice::StartSaveBinaryData(const std::string& filename) {
  // Replays and generated data have nothing of a counter's own to capture.
  const TVQ_DeviceType type = FDevType.load();
  if (type >= TVQ_DeviceType::VQ_BinFile && type != TVQ_DeviceType::VQ_CAN_Rack) return false;
  std::lock_guard lock(FCaptureLock);
  StopCaptureLocked();
  // Nobody else may write into a running capture.
  const int fd = OpenExclusiveEmptied(filename);
  if (fd < 0) {
    LogErr("TVQ_BaseDevice.SaveBinaryData cannot open " + filename + " (missing folder or in use)");
    return false;
  }
  FBinDataStream = fd;
  FBinSaveRawData = filename.find("Raw") != std::string::npos;
  Log("TVQ_BaseDevice.SaveBinaryData to " + filename + ", SaveRawData=" + BoolText(FBinSaveRawData.load()));
  return true;
}

void TVQ_BaseDevice::StopCaptureLocked() {
  if (FBinDataStream < 0) return;
  ::close(FBinDataStream);
  FBinDataStream = -1;
}

bool TVQ_BaseDevice::StopSaveBinaryData() {
  std::lock_guard lock(FCaptureLock);
  if (FBinDataStream < 0) return false;
  StopCaptureLocked();
  return true;
}

bool TVQ_BaseDevice::IsSavingBinaryData() const {
  std::lock_guard lock(FCaptureLock);
  return FBinDataStream >= 0;
}

void TVQ_BaseDevice::SaveBinaryData(std::string_view bytes) {
  std::lock_guard lock(FCaptureLock);
  if (FBinDataStream < 0 || WriteAll(FBinDataStream, bytes)) return;
  // A full disk must not cost a log line per received block.
  LogErr("TVQ_BaseDevice.SaveBinaryData write failed, capture stopped");
  StopCaptureLocked();
}

// ---- waiting ----------------------------------------------------------------

bool TVQ_BaseDevice::WaitReceiveEvent() {
  return FReceiveEvent->WaitFor(std::chrono::milliseconds(FReadTimeoutMs.load()));
}

bool TVQ_BaseDevice::WaitSleep(uint32_t ms) {
  const TimePoint deadline = FClock.Now() + std::chrono::milliseconds(ms);
  {
    std::unique_lock lock(FWaitLock);
    for (;;) {
      if (FWaitsCancelled) return false;
      const TimePoint now = FClock.Now();
      if (now >= deadline) break;
      // The remaining time on the device's clock; a manual clock that has not
      // moved meanwhile just gives another wait of the same length.
      FWaitChanged.wait_for(lock, deadline - now);
    }
  }
  Log("TVQ_BaseDevice.WaitSleep(" + std::to_string(ms) + ") finished");
  return true;
}

void TVQ_BaseDevice::CancelWaits() {
  {
    std::lock_guard lock(FWaitLock);
    FWaitsCancelled = true;
  }
  FWaitChanged.notify_all();
}

void TVQ_BaseDevice::ResumeWaits() {
  std::lock_guard lock(FWaitLock);
  FWaitsCancelled = false;
}
