#include "app/core/ZEP_Sessions.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "app/core/App_Settings.h"
#include "library/core/LogUnit.h"

namespace {

constexpr std::string_view kDemoConnection = "DemoData";
constexpr int kFormatVersion = 2;

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

// "$" + hexadecimal, as report lines carry headers and feature words.
std::optional<uint32_t> HexAfterDollar(std::string_view text) {
  const std::size_t dollar = text.find('$');
  if (dollar == std::string_view::npos) return std::nullopt;
  uint32_t value = 0;
  const char* begin = text.data() + dollar + 1;
  const auto [end, ec] = std::from_chars(begin, text.data() + text.size(), value, 16);
  if (ec != std::errc() || end == begin) return std::nullopt;
  return value;
}

// A serial number as stored: "-1" and 4294967295 both mean unknown.
uint32_t SerialFromText(const std::string& text) {
  int64_t value = -1;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || value < 0 || value > 0xFFFFFFFF) return TSessionItem::kUnknownSerial;
  return static_cast<uint32_t>(value);
}

}  // namespace

TVQSessionItem::TVQSessionItem(int aLogId, int aIndex, TOnUpdate aOnUpdate, TOnAddMsg aOnMsg)
    : TSessionItem(aLogId, aIndex, std::move(aOnUpdate), std::move(aOnMsg)), FMultiId(Multi_NewSource()) {
  Log(".Created: MultiID=" + std::to_string(FMultiId));
}

TVQSessionItem::TVQSessionItem(TCopyTag, const TVQSessionItem& original)
    : TSessionItem(original.FLogId, original.Index(), original.FOnUpdate, original.FOnMsg, true),
      FMultiId(original.FMultiId) {
  SetOpenParams(original.OpenString(), original.ConnectionType(), original.Color(), original.FriendlyName());
  {
    std::lock_guard lock(FTextLock);
    FDebugPath = original.DebugPath();
  }
  FSessionType = original.FSessionType;
  FUseDeviceCalibration = original.FUseDeviceCalibration;
  FDecSep = original.FDecSep.load();
  FQMTonly = true;
  FIntervalMs = 1000;
  Log(".CopyQMTPart: MultiID=" + std::to_string(FMultiId));
}

std::shared_ptr<TVQSessionItem> TVQSessionItem::CopyQMTPart(const std::shared_ptr<TVQSessionItem>& original) {
  if (!original || original->IsCopy()) return nullptr;
  auto copy = std::shared_ptr<TVQSessionItem>(new TVQSessionItem(TCopyTag{}, *original));
  copy->FLinkedSession = original;
  original->FLinkedSession = copy;
  return copy;
}

std::shared_ptr<TVQSessionItem> TVQSessionItem::LinkedSession() const { return FLinkedSession.lock(); }

// A copy is as open as the session it shows.
bool TVQSessionItem::DeviceOpened() const {
  if (!IsCopy()) return TSessionItem::DeviceOpened();
  const auto original = FLinkedSession.lock();
  return original && original->DeviceOpened();
}

TVQSessionItem::~TVQSessionItem() {
  if (IsCopy()) return;  // the source belongs to the original
  std::lock_guard lock(FOpenLock);
  if (FDeviceOpened) Multi_CloseConnection(FMultiId);
}

bool TVQSessionItem::IsSerialColdfire() const {
  std::lock_guard lock(FStateLock);
  return ConnectionType() == ctSerial && !FState.IsESP;
}

TVQSessionState TVQSessionItem::State() const {
  std::lock_guard lock(FStateLock);
  return FState;
}

void TVQSessionItem::SetEvaluation(TReportEvaluation evaluation) {
  std::lock_guard lock(FStateLock);
  FEvaluation = std::move(evaluation);
}

void TVQSessionItem::SetDemoSetup(int channels, int mode, int rate) {
  FDemoChannels = channels >= 0 && channels <= 23 ? channels : 0;
  FDemoMode = mode;
  FDemoRate = rate;
}

std::string TVQSessionItem::Debug(bool value) {
  TSessionItem::Debug(value);
  return Multi_Debug(FMultiId, value, std::string(1, Letter()));
}

void TVQSessionItem::DebugFlags(bool report, bool lowLevel) {
  TSessionItem::DebugFlags(report, lowLevel);
  Multi_DebugFlags(FMultiId, report, lowLevel);
}

void TVQSessionItem::SetDecimalSeparator(char separator) {
  FDecSep = separator;
  Multi_SetDecimalSeparator(FMultiId, separator);
}

// ---- opening and closing ------------------------------------------------------------

std::string TVQSessionItem::OpenDevice() {
  if (IsCopy()) return {};  // the original opens the shared source
  std::lock_guard lock(FOpenLock);
  std::string connection = OpenString();
  Log(".OpenDevice: " + connection);
  if (ConnectionType() == ctNetwork && FDataPortINI != 0 && connection.find(':') == std::string::npos)
    connection += ":" + std::to_string(FDataPortINI);
  if (FUserIdINI != kNoUserID && Upper(connection).find("USERID=") == std::string::npos)
    connection += " USERID=" + std::to_string(FUserIdINI.load());
  {
    std::lock_guard stateLock(FStateLock);
    FState.IsESP = false;
    FState.DataHeader = 0x10000;
  }
  std::string message;
  if (Multi_OpenConnectionEx(FMultiId, connection, message, false) != MultiCode::Ok) {
    if (const std::size_t at = message.find("7FFA: "); at != std::string::npos) {
      message.erase(at, 6);
      message = "Error open V+Q device \"" + connection + "\": " + message;
    }
    LogErr(".OpenDevice failed: " + message);
    SetErrorMessage(message);
    return message.empty() ? "Open failed: " + connection : message;
  }
  FDeviceOpened = true;
  Multi_SetDecimalSeparator(FMultiId, FDecSep);
  Multi_SetSend7016(FMultiId, true);
  if (FRunLocalTcpServer) AddError(81, 0, "Local TPC Server Error: " + Multi_GetTcpServerError(FMultiId));
  AddInfo(SessionMsg::Connection, 0, "Connected to: " + OpenString());
  NotifyUpdate();
  SendOpenCommands(connection);
  return {};
}

// The version request (with a buffer clear when asked) and, for the
// simulated counter, its set-up.
void TVQSessionItem::SendOpenCommands(const std::string& connection) {
  if (ConnectionType() == ctTCPServer || ConnectionType() == ctFile) return;
  const bool demo = connection == kDemoConnection;
  SendCommand(FClearBufferOnStart && !demo ? "\x81" : "\x01");
  if (!demo) return;
  SendCommand(DemoChannelCommand(FDemoChannels));
  SendCommand(std::string(1, static_cast<char>(64 + std::clamp(FDemoMode, 0, 5))));
  SendCommand(std::string(1, static_cast<char>(32 + std::clamp(FDemoRate, 0, 13))));
}

std::string TVQSessionItem::DemoChannelCommand(int channels) {
  if (channels <= 0 || channels > 23) return "0";                         // $30: all 24 channels
  if (channels <= 11) return std::string(1, static_cast<char>(0x30 + channels));  // $31..$3B
  return std::string{'\x3F', static_cast<char>(channels)};                // $3F n: 12..23
}

bool TVQSessionItem::SendCommand(const std::string& command) {
  std::string text = command;
  if (Multi_SendCommand(FMultiId, text) == MultiCode::Ok) return true;
  AddError(SessionMsg::SendCommandFailed, 0, "Send Command Failed: " + text);
  return false;
}

void TVQSessionItem::CloseDevice(bool stopServer) {
  if (IsCopy()) return;
  std::lock_guard lock(FOpenLock);
  CloseDeviceLocked(stopServer);
}

void TVQSessionItem::CloseDeviceLocked(bool) {
  if (!FDeviceOpened) return;
  const int userId = Multi_GetUserID(FMultiId);
  if (userId != kNoUserID) FUserIdINI = static_cast<uint8_t>(userId);
  AddInfo(SessionMsg::Connection, 0, "Disconnect");
  Multi_CloseConnection(FMultiId);
  FDeviceOpened = false;
  NotifyUpdate();  // the receiver hands it to the main thread
}

// ---- polling ----------------------------------------------------------------------------

bool TVQSessionItem::GetReport() {
  if (IsCopy()) return false;  // the original polls the shared source
  std::string line;
  int64_t deviceMs = -1;
  const int code = Multi_GetReportEx(FMultiId, line, deviceMs);
  ReadReportTime(deviceMs);
  switch (code) {
    case MultiCode::Ok:
      if (line.empty()) return false;
      EvaluateLine(line, deviceMs);
      break;
    case MultiCode::Other:
      if (FReferenceClockError && line.find("Data transfer interrupted") != std::string::npos)
        Log(".GetReport " + line);
      else
        AddError(SessionMsg::ReadingReportFailed, 0, line);
      break;
    case MultiCode::WriteError:
    case MultiCode::ServerDown:
      ReopenAfterLoss(line);
      break;
    case MultiCode::NotConnected:
      if (ConnectionType() == ctFile || Multi_IsFileDevice(FMultiId) == 1) {
        AddInfo(SessionMsg::Connection, 0, line);
        CloseDevice(false);
      } else if (ConnectionType() == ctNetwork) {
        AddError(SessionMsg::ReadingReportFailedClosed, 0, line);
        CloseDevice(true);
      } else {
        AddError(SessionMsg::ReadingReportFailed, 0, line);
      }
      break;
    case MultiCode::HardwareFault:
      AddError(SessionMsg::ReadingReportFailedClosed, 0, line);
      CloseDevice(true);
      break;
    case MultiCode::CmdIgnored:
      AddError(SessionMsg::SendCommandFailed, 0, line);
      break;
    case MultiCode::Reconnected:
      AddError(SessionMsg::DataLoss, 0, line);
      FReferenceClockError = false;
      break;
    case MultiCode::Recovered:
      AddInfo(SessionMsg::ConnectionRunningAgain, 0, line);
      break;
    default:
      AddError(SessionMsg::ReadingReportFailed, 0, line);
      break;
  }
  return true;
}

// One attempt to reopen a lost connection; only a failed one leaves the
// session closed.
void TVQSessionItem::ReopenAfterLoss(const std::string& line) {
  {
    std::lock_guard lock(FOpenLock);
    Multi_CloseConnection(FMultiId);
    FDeviceOpened = false;
  }
  if (OpenDevice().empty()) {
    AddError(SessionMsg::ReadingReportFailed, 0, line);
    return;
  }
  AddError(SessionMsg::ReadingReportFailedClosed, 0, line);
  CloseDevice(true);
}

void TVQSessionItem::ReadReportTime(int64_t deviceMs) {
  if (deviceMs == -1) return;
  std::lock_guard lock(FStateLock);
  FState.DeviceMs = deviceMs;
}

// What the session itself keeps of each line; the evaluation step does the
// rest.
void TVQSessionItem::EvaluateLine(const std::string& line, int64_t deviceMs) {
  TReportEvaluation evaluation;
  {
    std::lock_guard lock(FStateLock);
    ++FState.Lines;
    FState.LastLine = line;
    const std::optional<uint16_t> code = ReportLineCode(line);
    if (code && VQ_Code::IsMeasurement(*code)) {
      ++FState.Measurements;
      FState.DataHeader = *code;
      const TVQHeader header(*code);
      FState.Mode = header.FMode;
      if (header.FIntervalIndexValid) {
        FState.IntervalIndex = header.FIntervalIndex;
        FIntervalMs = static_cast<int>(header.FGateTime);
      }
      FState.ChannelCount = static_cast<int>(std::count(line.begin(), line.end(), ';'));
    } else if (code == VQ_Code::Timestamp) {
      std::from_chars(line.data() + std::min<std::size_t>(6, line.size()), line.data() + line.size(),
                      FState.LastSecond);
    } else if (code == VQ_Code::Version) {
      FState.VersionString = line.substr(4);
      FState.Demo = line.find("Simulator") != std::string::npos;
      FState.IsESP = line.find("VERSION PAV2") != std::string::npos;
    } else if (code == VQ_Code::HeaderChanged) {
      if (const auto header = HexAfterDollar(line)) FState.DataHeader = *header & 0x7FFF;
    } else if (code == VQ_Code::ReferenceError) {
      FReferenceClockError = true;
    } else if (code == VQ_Code::ReferenceOk) {
      FReferenceClockError = false;
    }
    evaluation = FEvaluation;
  }
  if (evaluation) evaluation(*this, line, deviceMs);
}

// ---- settings ------------------------------------------------------------------------------

std::string TVQSessionItem::ReadSettings(TAppSettings& settings, const std::string& prefix) {
  std::string error = TSessionItem::ReadSettings(settings, prefix);
  try {
    FDebugStream = settings.GetValue(prefix + "Debug_Stream", false);
    FClearBufferOnStart = settings.GetValue(prefix + "ClearBuffer", true);
    FSerialNumberINI = SerialFromText(settings.GetValue(prefix + "SerialNumber", std::string("4294967295")));
    if (OpenString() == kDemoConnection) {
      // 0 means all 24 channels; anything beyond 23 is taken as 0 as well.
      FDemoChannels = settings.GetValue(prefix + "DemoChannels", 4);
      if (FDemoChannels < 0 || FDemoChannels > 23) FDemoChannels = 0;
      FDemoMode = settings.GetValue(prefix + "DemoMode", 0);
      FDemoRate = settings.GetValue(prefix + "DemoRate", 9);
      FDemoPDI = settings.GetValue(prefix + "DemoPDI", true);
      FDemoQMT = settings.GetValue(prefix + "DemoQMT", true);
    }
    FRunLocalTcpServer = settings.GetValue(prefix + "RunLocalTcpServer", false);
    FLocalTcpServerPort = settings.GetValue(prefix + "LocalTcpServerPort", 0);
    FUseDeviceCalibration = settings.GetValue(prefix + "UseDeviceCalibration", FUseDeviceCalibration);
    FRawIntervalIndex = settings.GetValue(prefix + "RawIntervalIndex", -1);
    FRawAvg = settings.GetValue(prefix + "RawAvg", false);
    FRef20MHz = settings.GetValue(prefix + "Ref20MHz", false);
    FDataPortINI = settings.GetValue(prefix + "TCPDataPort", 0);
    const int userId = settings.GetValue(prefix + "UserID", static_cast<int>(kNoUserID));
    FUserIdINI = static_cast<uint8_t>(userId >= 1 && userId <= 4 ? userId : kNoUserID);
  } catch (const std::exception& e) {
    const std::string text = "Error reading " + prefix + " settings: " + e.what();
    LogErr(".ReadSettings " + text);
    if (error.empty()) error = text;
  }
  const char separator = settings.FormatSettings().DecimalSeparator;
  SetDecimalSeparator(separator == ',' ? ',' : '.');
  return error;
}

void TVQSessionItem::SaveSettings(TAppSettings& settings, const std::string& prefix) {
  const TVQSessionState state = State();
  TSessionItem::SaveSettings(settings, prefix);
  settings.SetValue(prefix + "Debug_Stream", FDebugStream);
  settings.SetValue(prefix + "ClearBuffer", FClearBufferOnStart);
  settings.SetUValue(prefix + "SerialNumber", SerialNumber() != kUnknownSerial ? SerialNumber() : FSerialNumberINI);
  if (OpenString() == kDemoConnection) {
    // The running set-up once data have shown it, the configured one before.
    const bool known = state.DataHeader != 0x10000 && state.Mode <= 6 && state.IntervalIndex >= 0;
    const int channels = state.ChannelCount > 0 ? (state.ChannelCount >= 24 ? 0 : state.ChannelCount) : FDemoChannels;
    settings.SetValue(prefix + "DemoChannels", known ? channels : FDemoChannels);
    settings.SetValue(prefix + "DemoMode", known ? state.Mode : FDemoMode);
    settings.SetValue(prefix + "DemoRate", known ? state.IntervalIndex : FDemoRate);
    settings.SetValue(prefix + "DemoPDI", FDemoPDI);
    settings.SetValue(prefix + "DemoQMT", FDemoQMT);
  }
  settings.SetValue(prefix + "RunLocalTcpServer", FRunLocalTcpServer);
  settings.SetValue(prefix + "LocalTcpServerPort", FLocalTcpServerPort);
  settings.SetValue(prefix + "UseDeviceCalibration", FUseDeviceCalibration);
  settings.SetValue(prefix + "RawIntervalIndex", state.IntervalIndex >= 0 ? state.IntervalIndex : FRawIntervalIndex);
  settings.SetValue(prefix + "RawAvg", FRawAvg);
  settings.SetValue(prefix + "Ref20MHz", FRef20MHz);
  settings.SetValue(prefix + "TCPDataPort", FDataPortINI);
  settings.SetValue(prefix + "UserID", static_cast<int>(FUserIdINI.load()));
  WriteForeignKeys(settings, prefix);
  settings.SetVersionFormat(kFormatVersion);
}
