#include "library/sources/VQ_Source.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>

#include "library/core/LogUnit.h"
#include "library/core/VQ_Header.h"
#include "library/devices/VQ_FileDevices.h"
#include "library/devices/VQ_Simulator.h"
#include "library/platform/VQ_File.h"
#include "library/platform/VQ_SerialPorts.h"
#include "library/sources/VQ_CommandCheck.h"

namespace {

using namespace std::chrono_literals;

constexpr std::string_view kStreamColumnsColdfire =
    "Magic     Size      ByteCount Offset    Flags     WritePtr  ReadPtr   Reserved";
constexpr std::string_view kStreamColumnsEsp = "Magic    t  c  FPGA  Flags   Chk U S Ptr   Values";
constexpr std::string_view kDemoConnection = "DemoData";

std::string Upper(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return out;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::string BoolText(bool value) { return value ? "True" : "False"; }

// Removes `word` (any letter case) wherever it stands; true when it did.
bool RemoveWord(std::string& text, std::string_view word) {
  const std::string upperWord = Upper(word);
  const std::size_t at = Upper(text).find(upperWord);
  if (at == std::string::npos) return false;
  text.erase(at, word.size());
  return true;
}

std::optional<int> ParseInt(std::string_view text) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

bool IsIPv4(std::string_view text) {
  const std::vector<std::string_view> parts = SplitText(text, ".");
  if (parts.size() != 4) return false;
  return std::all_of(parts.begin(), parts.end(), [](std::string_view part) {
    if (part.empty() || part.size() > 3 || !std::all_of(part.begin(), part.end(), ::isdigit)) return false;
    const auto value = ParseInt(part);
    return value && *value <= 255;
  });
}

bool IsPortNumber(std::string_view text) {
  const auto value = ParseInt(Trim(text));
  return value && *value >= 1 && *value <= 65535;
}

// "YYYYMMDD_hhnnss"
bool IsArchiveTime(std::string_view text) {
  if (text.size() != 15 || text[8] != '_') return false;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (i != 8 && !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
  const auto field = [&](std::size_t at, std::size_t len) { return *ParseInt(text.substr(at, len)); };
  return field(4, 2) >= 1 && field(4, 2) <= 12 && field(6, 2) >= 1 && field(6, 2) <= 31 && field(9, 2) <= 23 &&
         field(11, 2) <= 59 && field(13, 2) <= 59;
}

// "RACK" + address 0-F [+ " CHANNEL" + 0-3] [+ " TYPE=0x" + 20 or 21]
bool IsCanAddress(std::string_view baud) {
  const std::string text = Upper(Trim(baud));
  if (text.size() < 5 || !text.starts_with("RACK") || !std::isxdigit(static_cast<unsigned char>(text[4])))
    return false;
  std::string_view rest = std::string_view(text).substr(5);
  if (rest.starts_with(" CHANNEL")) {
    rest.remove_prefix(8);
    if (rest.empty() || rest[0] < '0' || rest[0] > '3') return false;
    rest.remove_prefix(1);
  }
  if (rest.starts_with(" TYPE=0X")) {
    rest.remove_prefix(8);
    if (rest != "20" && rest != "21") return false;
    rest = {};
  }
  return rest.empty();
}

bool IsFileKind(TVQ_DeviceType type) {
  return type == TVQ_DeviceType::VQ_BinFile || type == TVQ_DeviceType::VQ_TxtFile ||
         type == TVQ_DeviceType::VQ_RawFile;
}

bool IsLocalLine(TVQ_DeviceType type) {
  return type == TVQ_DeviceType::VQ_Serial || type == TVQ_DeviceType::VQ_CDC || type == TVQ_DeviceType::VQ_HID;
}

std::string NowStamp() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm local{};
  localtime_r(&now, &local);
  std::array<char, 32> text{};
  std::strftime(text.data(), text.size(), "%Y%m%d_%H%M%S", &local);
  return text.data();
}

// Connection kinds added at run time, by upper-case name.
struct TAddedKinds {
  std::mutex Lock;
  std::map<std::string, TDeviceMaker> Makers;
};

TAddedKinds& AddedKinds() {
  static TAddedKinds kinds;
  return kinds;
}

TDeviceMaker AddedKind(const std::string& upperName) {
  TAddedKinds& kinds = AddedKinds();
  const std::lock_guard lock(kinds.Lock);
  const auto it = kinds.Makers.find(upperName);
  return it == kinds.Makers.end() ? TDeviceMaker() : it->second;
}

TVQ_Result NotAvailable(std::string& message, std::string_view kind, std::string_view what) {
  message = std::string(kind) + " connections are not available in this version: " + std::string(what);
  return TVQ_Result::VQ_DLL_internalError;
}

}  // namespace

void RegisterConnectionKind(const std::string& name, TDeviceMaker maker) {
  TAddedKinds& kinds = AddedKinds();
  const std::lock_guard lock(kinds.Lock);
  if (maker)
    kinds.Makers[Upper(name)] = std::move(maker);
  else
    kinds.Makers.erase(Upper(name));
}

std::string ShownConnection(std::string_view text) {
  std::string shown;
  for (const char c : text) {
    if (shown.size() >= kShownConnectionLength) {
      shown += "... (" + std::to_string(text.size()) + " characters)";
      break;
    }
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F)
      shown += "\\x" + HexText(byte, 2);
    else
      shown += c;
  }
  return shown;
}

TSourceItem::TSourceItem(int aMultiId, TVQ_Event* aReceiveEvent, bool aDoResetEvent)
    : FMultiId(aMultiId),
      FReceiveEvent(aReceiveEvent),
      FDoResetEvent(aDoResetEvent),
      FLogId(NewLog()),
      FLogIdStream(NewLog()),
      FLogIdStreamDbg(NewLog()),
      FDbgTag("TSourceItem[" + std::to_string(aMultiId) + "]"),
      FDecoder(*this, FLogId, FDbgTag) {
  const std::string header = "VQ-DLL Version: " + std::string(VQ_LibraryVersion) + ", ReportLog=" +
                             BoolText(false) + ", LowLevelLog=" + BoolText(false);
  SetLogHeaderLines(FLogId, {header, ""});
  SetLogHeaderLines(FLogIdStream, {header, "", std::string(kStreamColumnsColdfire)});
  SetLogHeaderLines(FLogIdStreamDbg, {header, ""});
  SetLogLimit(FLogIdStream, TLogLimitType::logCreateNew, TLogger::kDefaultSizeLimit);
  SetLogLimit(FLogIdStreamDbg, TLogLimitType::logCreateNew, TLogger::kDefaultSizeLimit);
  SetLogSaveEnabled(FLogId, true);
  FDecoder.ResetTimestampDataCounter();
}

TSourceItem::~TSourceItem() {
  CloseConnection();
  std::lock_guard lock(FLock);
  if (FReportStream >= 0) ::close(FReportStream);
  SetLogFile(FLogId, "", false);
  SetLogFile(FLogIdStream, "", false);
  SetLogFile(FLogIdStreamDbg, "", false);
}

// ---- connection string ------------------------------------------------------------

TVQ_Result TSourceItem::SplitConnectionString(std::string_view s, TConnectionParts& parts, int logId,
                                              std::string_view logTag) {
  const auto log = [&](const std::string& text) {
    if (LogWanted(logId)) LogInfo(logId, std::string(logTag) + text);
  };
  parts = TConnectionParts{};
  std::string rest(Trim(s));
  if (rest.starts_with("PAV2:/")) rest.erase(0, 6);
  if (rest.starts_with("HOST:/")) {
    rest.erase(0, 6);
    parts.IsHost = true;
  }
  if (const std::size_t at = Upper(rest).find("USERID="); at != std::string::npos) {
    std::size_t end = at + 7;
    while (end < rest.size() && std::isdigit(static_cast<unsigned char>(rest[end]))) ++end;
    const auto id = ParseInt(std::string_view(rest).substr(at + 7, end - at - 7));
    if (!id) {
      log(".SplitConnectionString extract UserID failed");
    } else if (*id < 1 || *id > 4) {
      log(".SplitConnectionString: invalid UserID " + std::to_string(*id));
    } else {
      parts.UserID = static_cast<uint8_t>(*id);
    }
    rest.erase(at, end - at);
    rest = std::string(Trim(rest));
  }
  if (RemoveWord(rest, " LOOP_FOR_EVER")) {
    parts.LoopForEver = true;
    log(".SplitConnectionString: LOOP FOR EVER");
  }
  if (RemoveWord(rest, " WAIT_INTERVAL")) {
    parts.WaitInterval = true;
    log(".SplitConnectionString: WAIT INTERVALL");
  }
  std::error_code ignored;
  if (!rest.empty() && std::filesystem::is_regular_file(rest, ignored)) {
    log(".SplitConnectionString: FileExists " + ShownConnection(rest));
    parts.Port = rest;
    return TVQ_Result::VQ_No_Err;
  }
  const std::size_t colon = rest.rfind(':');
  if (colon == std::string::npos) {
    parts.Port = rest;
    return TVQ_Result::VQ_No_Err;
  }
  if (colon == 0) return TVQ_Result::VQ_Err_BadFormat;
  parts.Port = rest.substr(0, colon);
  parts.Baud = rest.substr(colon + 1);
  return TVQ_Result::VQ_No_Err;
}

// ---- opening and closing -----------------------------------------------------------

TVQ_Result TSourceItem::OpenConnection(const TConnectionParts& parts, bool blockingIO, bool contextMode) {
  const std::unique_lock gate(FOpenGate);
  const std::lock_guard lock(FLock);
  try {
    CloseConnectionLocked();
    FErrorMessage.clear();
    std::shared_ptr<TVQ_BaseDevice> device;
    const TVQ_Result created = CreateDevice(parts, device);
    if (created != TVQ_Result::VQ_No_Err) {
      LogErr(".OpenConnection failed: " + FErrorMessage);
      return created;
    }
    return OpenDeviceLocked(std::move(device), parts, blockingIO, contextMode);
  } catch (const std::exception& e) {
    FErrorMessage = "Open connection failed: " + ExceptionText(e);
    LogErr(".OpenConnection: " + FErrorMessage);
    return TVQ_Result::VQ_Err_Exception;
  }
}

// The device the connection names. Kinds without a transport in this library
// (CAN, TCP, network devices, serial lines) are checked for their form and
// then refused with a message that names the kind.
TVQ_Result TSourceItem::CreateDevice(const TConnectionParts& parts, std::shared_ptr<TVQ_BaseDevice>& device) {
  const std::string& port = parts.Port;
  const std::string upperPort = Upper(port);
  const std::string what = ShownConnection(port + (parts.Baud.empty() ? "" : ":" + parts.Baud));
  if (upperPort == "CAN") {
    if (!IsCanAddress(parts.Baud)) {
      FErrorMessage = "Invalid CAN address: ";
      return TVQ_Result::VQ_Err_BadFormat;
    }
    return NotAvailable(FErrorMessage, "CAN", what);
  }
  if (upperPort.starts_with("TCP:")) {
    if (!IsIPv4(port.substr(4)) || !IsPortNumber(parts.Baud)) {
      FErrorMessage = "Invalid TCP-Server address: ";
      return TVQ_Result::VQ_Err_BadFormat;
    }
    return NotAvailable(FErrorMessage, "TCP-Server", what);
  }
  if (upperPort.starts_with("ARCHIVE:")) {
    const std::string_view baud = Trim(parts.Baud);
    const std::size_t blank = baud.find(' ');
    if (!IsIPv4(port.substr(8)) || !IsPortNumber(baud.substr(0, blank))) {
      FErrorMessage = "Invalid TCP-Server address: ";
      return TVQ_Result::VQ_Err_BadFormat;
    }
    if (blank == std::string_view::npos) {
      FErrorMessage = "TCP-Archive StartTime missing: ";
      return TVQ_Result::VQ_Err_BadFormat;
    }
    const std::vector<std::string_view> times = SplitText(Trim(baud.substr(blank + 1)), ";");
    if (!IsArchiveTime(Trim(times[0]))) {
      FErrorMessage = "Invalid TCP-Archive StartTime: ";
      return TVQ_Result::VQ_Err_BadFormat;
    }
    if (times.size() > 1 && !Trim(times[1]).empty() && !IsArchiveTime(Trim(times[1]))) {
      FErrorMessage = "Invalid TCP-Archive EndTime: ";
      return TVQ_Result::VQ_Err_BadFormat;
    }
    return NotAvailable(FErrorMessage, "TCP-Archive", what);
  }
  if (port == kDemoConnection) {
    device = std::make_shared<TVQ_SimulDevice>(FLogId, FMultiId, FReceiveEvent, FDoResetEvent);
    return TVQ_Result::VQ_No_Err;
  }
  if (parts.IsHost) return NotAvailable(FErrorMessage, "Network device", "HOST:/" + what);
  if (IsIPv4(port)) {
    if (!parts.Baud.empty() && !IsPortNumber(parts.Baud)) {
      FErrorMessage = "Invalid network device address: ";
      return TVQ_Result::VQ_Err_BadFormat;
    }
    return NotAvailable(FErrorMessage, "Network device", what);
  }
  if (const TDeviceMaker maker = AddedKind(upperPort)) {
    device = maker(TDeviceMakeArgs{FLogId, FMultiId, FReceiveEvent, FDoResetEvent, parts});
    if (device) return TVQ_Result::VQ_No_Err;
    FErrorMessage = "No device for " + what;
    return TVQ_Result::VQ_DeviceNotFound;
  }
  const TSerialPortList serialPorts = EnumerateSerialPorts();
  if (std::find(serialPorts.Ports.begin(), serialPorts.Ports.end(), port) != serialPorts.Ports.end())
    return NotAvailable(FErrorMessage, "Serial", what);
  if (TVQ_FileDeviceItem::IsRecordingPath(port)) {
    auto file = std::make_shared<TVQ_FileDeviceItem>(FLogId, FMultiId, FReceiveEvent, FDoResetEvent, port);
    file->LoopForEver = parts.LoopForEver;
    device = std::move(file);
    return TVQ_Result::VQ_No_Err;
  }
  // A word before a colon that is not followed by a baud rate names a kind
  // of connection this library does not know, not a device.
  if (!parts.Baud.empty() && !ParseInt(Trim(parts.Baud)) && port.find('/') == std::string::npos) {
    FErrorMessage = "Unknown connection kind " + ShownConnection(port) + ": ";
    return TVQ_Result::VQ_Err_BadFormat;
  }
  FErrorMessage =
      serialPorts.Ports.empty() ? "No V+Q Devices found" : "V+Q Device " + ShownConnection(port) + " not found";
  return TVQ_Result::VQ_DeviceNotFound;
}

TVQ_Result TSourceItem::OpenDevice(std::shared_ptr<TVQ_BaseDevice> device, const TConnectionParts& parts,
                                   bool blockingIO, bool contextMode) {
  const std::unique_lock gate(FOpenGate);
  const std::lock_guard lock(FLock);
  CloseConnectionLocked();
  FErrorMessage.clear();
  return OpenDeviceLocked(std::move(device), parts, blockingIO, contextMode);
}

// Runs with the source held exclusively from creation to the end of the
// too-many-users check, so no poll reads the device before it is ready.
TVQ_Result TSourceItem::OpenDeviceLocked(std::shared_ptr<TVQ_BaseDevice> device, const TConnectionParts& parts,
                                         bool blockingIO, bool contextMode) {
  TVQ_DecodeState& st = FDecoder.State;
  st.dataPerSecondCounter = 0;
  st.dataPerSecondCounterReset = 0;
  st.ignoreDataPerSecondCounter = 0;
  st.FQMTReceived = false;
  FProcessStringReceived.clear();
  FProcessStringReceived_ASCII.clear();
  FLastDeviceErrorMessage.clear();
  FisHost = parts.IsHost;
  FileDataLoopForEver = parts.LoopForEver;
  FileDataWait = parts.WaitInterval;

  const TVQ_DeviceType type = device->DevType();
  device->SetLowLevelLog(FLowLevelLog);
  device->SetStreamLogIds(FLogIdStream, FLogIdStreamDbg);
  if (type != TVQ_DeviceType::VQ_Simul) {
    device->SetBlockingIO(blockingIO);
    if (contextMode) device->SetContextTool(true);
    if (!IsFileKind(type)) device->SetUserID(parts.UserID);
  }
  device->SetCalibFactorFloatToInt(FDecoder.Options.CalibFactorFloatToInt);
  device->SetOpt7019(FOpt7019);

  std::string openMessage;
  if (!device->OpenPort(openMessage)) {
    std::string deviceMessage;
    TVQ_Result code = device->TakeError(deviceMessage);
    // A failed open is never reported as success, even when the device
    // recorded no error.
    if (code == TVQ_Result::VQ_No_Err) code = TVQ_Result::VQ_DeviceNotFound;
    FErrorMessage = !openMessage.empty()    ? openMessage
                    : !deviceMessage.empty() ? deviceMessage
                                             : "Open failed: " + device->DeviceText();
    LogErr(".OpenConnection failed(" + std::string(VQ_ResultText(code)) + "): " + FErrorMessage);
    return code;
  }
  SetActualDevice(std::move(device));
  if (IsLocalLine(type)) {
    const TVQ_Result checked = CheckTooManyUsers(blockingIO);
    if (checked != TVQ_Result::VQ_No_Err) {
      Log(".OpenConnection failed " + std::string(VQ_ResultText(checked)));
      CloseConnectionLocked();
      return checked;
    }
  }
  FDecoder.ResetPhaseData();
  Log(".OpenConnection END");
  return TVQ_Result::VQ_No_Err;
}

TSourceItem::TInstalled TSourceItem::Installed() const {
  const std::lock_guard lock(FDeviceLock);
  return {FDevice, FActualDevice};
}

TSourceItem::TInstalled TSourceItem::Install(TInstalled next) {
  FReportFirmwareVersion = TVQ_VersionInfo::kUnknownVersion;
  const std::lock_guard lock(FDeviceLock);
  TInstalled previous{std::move(FDevice), std::move(FActualDevice)};
  FDevice = std::move(next.Device);
  FActualDevice = std::move(next.Report);
  return previous;
}

void TSourceItem::SetActualDevice(std::shared_ptr<TVQ_BaseDevice> device) {
  Log(".SetActualDevice " + (device ? device->DeviceText() : std::string("nil")));
  if (FDevice && FDevice != device) Log(".SetActualDevice free old device=" + FDevice->DeviceText());
  TInstalled next;
  if (device) {
    next.Report = std::make_shared<TVQ_ReportDevice>(*device, FMultiId);
    next.Report->LogReport = FDecoder.Options.ReportLog;
    next.Device = std::move(device);
  }
  Install(std::move(next));
  if (!FDevice) return;
  TLogHeaderLines lines = GetLogHeaderLines(FLogIdStream);
  lines.resize(3);
  lines[2] = FDevice->PeerType() == TVQ_PeerType::ptESP ? kStreamColumnsEsp : kStreamColumnsColdfire;
  SetLogHeaderLines(FLogIdStream, std::move(lines));
}

// A counter shared by several users answers a new user that all slots are
// taken; the first report after opening tells.
TVQ_Result TSourceItem::CheckTooManyUsers(bool blockingIO) {
  const int attempts = blockingIO ? 3 : 100;
  TVQ_Event& event = FReceiveEvent ? *FReceiveEvent : BaseReceiveEvent();
  for (int attempt = 1; attempt <= attempts; ++attempt) {
    Log(".CheckTooManyUsers: CallCounter=" + std::to_string(attempt));
    std::string report;
    bool generated = false;
    TVQ_Result result = ProcessString(report, generated);
    if (result == TVQ_Result::VQ_Err_ReceiveBufferCleared || result == TVQ_Result::VQ_Err_ReceiveBufferOverflow)
      result = TVQ_Result::VQ_No_Err;
    if (result != TVQ_Result::VQ_No_Err) {
      if (report.find("unexpected end character received") != std::string::npos) {
        Log(".CheckTooManyUsers: Formatfehler ignorieren");
        continue;
      }
      Log(".CheckTooManyUsers - Fehler aufgetreten: " + report);
      FErrorMessage = report;
      return result;
    }
    if (report.empty()) {
      Log(".CheckTooManyUsers - nichts empfangen");
      event.WaitFor(100ms);
      continue;
    }
    if (Lower(report).find("too many users") != std::string::npos) {
      const uint8_t id = FDevice->GetUserID();
      std::string message = HexText(BinaryReportCode(report), 4) + ": " +
                            (id != TConnectionParts::kNoUserID ? "UserID " + std::to_string(id) + " already in use"
                                                               : std::string(Trim(report.substr(2))));
      Log(".CheckTooManyUsers - Fehlermeldung eingetroffen: " + message);
      if (const std::string connected = FDevice->UserConnected(); !connected.empty()) {
        message += " " + connected;
        Log(".CheckTooManyUsers - inkl. connected: " + message);
      }
      FErrorMessage = message;
      return TVQ_Result::VQ_TooManyUser;
    }
    Log(".CheckTooManyUsers - Empfangsstring aufbewahren: " + HexDump(report));
    FProcessStringReceived.push_front(report);
    return TVQ_Result::VQ_No_Err;
  }
  return TVQ_Result::VQ_No_Err;
}

void TSourceItem::CloseConnection() {
  const std::unique_lock gate(FOpenGate);
  const std::lock_guard lock(FLock);
  CloseConnectionLocked();
}

void TSourceItem::CloseConnectionLocked() {
  if (!FDevice) return;
  Log(".CloseConnection");
  try {
    FDevice->ClosePort();
  } catch (const std::exception& e) {
    if (LogWanted(FLogId)) LogException(FLogId, FDbgTag + ".CloseConnection FActualDevice.Device.ClosePort failed", e);
  }
  Install({});
}

std::string TSourceItem::ErrorMessage() const {
  std::lock_guard lock(FLock);
  return FErrorMessage;
}

// ---- reading --------------------------------------------------------------------------

bool TSourceItem::IsTextDevice() const {
  const TVQ_DeviceType type = FDevice->DevType();
  return type == TVQ_DeviceType::VQ_TxtFile || type == TVQ_DeviceType::VQ_TCP_Device;
}

TVQ_Result TSourceItem::GetReport(std::string& line, int64_t& deviceMs) {
  line.clear();
  deviceMs = -1;
  // Being opened or closed: nothing to deliver this pass, and no waiting.
  const std::shared_lock gate(FOpenGate, std::try_to_lock);
  if (!gate.owns_lock()) return TVQ_Result::VQ_No_Err;
  const std::lock_guard lock(FLock);
  const TVQ_Result result = GetReportLocked(line, deviceMs);
  if (FActualDevice) FReportFirmwareVersion = FActualDevice->VersionInfo().FVersion;
  return result;
}

TVQ_Result TSourceItem::GetReportLocked(std::string& line, int64_t& deviceMs) {
  if (!FActualDevice) return TVQ_Result::VQ_No_Err;
  if (!FDevice->PortIsOpened()) {
    // A transport that closed itself (the end of a replayed file) may have
    // left why: deliver that once instead of falling silent.
    const TVQ_Result result = FDevice->TakeError(line);
    deviceMs = FActualDevice->DeviceMs();
    return result;
  }
  TVQ_Result result = TVQ_Result::VQ_No_Err;
  try {
    if (FDecoder.PackedPending()) {
      line = FDecoder.ProcessPackedReport();
      WriteReport(line);
    } else {
      std::string report;
      bool generated = false;
      result = ProcessString(report, generated);
      if (result == TVQ_Result::VQ_Err_ReceiveBufferCleared || result == TVQ_Result::VQ_Err_ReceiveBufferOverflow)
        result = TVQ_Result::VQ_No_Err;
      if (result == TVQ_Result::VQ_No_Err_ASCII) {
        // A kept line is a line, not an error.
        line = std::move(report);
        result = TVQ_Result::VQ_No_Err;
      } else if (result != TVQ_Result::VQ_No_Err) {
        line = std::move(report);
        if (!IsTextDevice()) result = ConnectionError(result, line);
      } else if (report.empty()) {
      } else if (IsTextDevice() && !generated) {
        line = FDevice->DevType() == TVQ_DeviceType::VQ_TCP_Device
                   ? ConvertDecimalMark(report, FDecoder.Options.Format.DecimalSeparator)
                   : std::move(report);
        FDecoder.ProcessTxtReport(line);
      } else {
        line = FDevice->DevType() == TVQ_DeviceType::VQ_Simul
                   ? FDecoder.ProcessDemoReport(report)
                   : FDecoder.ProcessBinReport(report, FDevice->PeerType() == TVQ_PeerType::ptESP);
        WriteReport(line);
      }
    }
    if (result == TVQ_Result::VQ_No_Err) AfterLine(line);
  } catch (const std::exception& e) {
    line = "ProcessString failed: " + ExceptionText(e);
    if (LogWanted(FLogId)) LogException(FLogId, FDbgTag + ".GetReport ProcessString failed", e);
    result = TVQ_Result::VQ_Err_Exception;
  }
  if (FActualDevice) deviceMs = FActualDevice->DeviceMs();
  return result;
}

// The next binary report: one kept from before, a generated 7022/7F23 after
// a cleared receive buffer, or what the report layer reads. A device error
// that repeats the last one is delivered only once.
TVQ_Result TSourceItem::ProcessString(std::string& report, bool& generated) {
  generated = false;
  if (!FProcessStringReceived.empty()) {
    report = std::move(FProcessStringReceived.front());
    FProcessStringReceived.pop_front();
    Log(".ProcessString: deliver ProcessStringReceived=" + HexDump(report));
    return TVQ_Result::VQ_No_Err;
  }
  if (!FProcessStringReceived_ASCII.empty()) {
    report = std::move(FProcessStringReceived_ASCII);
    FProcessStringReceived_ASCII.clear();
    return TVQ_Result::VQ_No_Err_ASCII;
  }
  TVQ_Result result = FActualDevice->GetReport(report);
  if (result != TVQ_Result::VQ_No_Err) {
    if (report == FLastDeviceErrorMessage) {
      report.clear();
      return TVQ_Result::VQ_No_Err;
    }
    FLastDeviceErrorMessage = report;
  } else {
    FLastDeviceErrorMessage.clear();
    const bool deviceCleared = FDevice->ReceiveBufferCleared();
    const bool serialCleared = FActualDevice->SerialBufferCleared();
    if (deviceCleared || serialCleared) {
      Log(".ProcessString Reset nach BufferCleared ###");
      TVQ_DecodeState& st = FDecoder.State;
      st.dataPerSecondCounterReset = st.dataPerSecondCounter;
      st.dataPerSecondCounter = 0;
      st.ignoreDataPerSecondCounter = 0;
      if (FDevice->PeerType() == TVQ_PeerType::ptESP) FActualDevice->ResetLastFPGA();
      result = TVQ_Result::VQ_Err_ReceiveBufferCleared;
    }
  }
  if (result == TVQ_Result::VQ_Err_ReceiveBufferOverflow) {
    report = BinaryReport(VQ_Code::BufferOverflow);
    generated = true;
    Log("               7F23 BufferCleared erzeugt");
  } else if (result == TVQ_Result::VQ_Err_ReceiveBufferCleared) {
    if (!report.empty()) {
      Log("ProcessString: BufferCleared - Empfangsstring aufbewahren: " + HexDump(report));
      FProcessStringReceived.push_front(std::move(report));
    }
    report = BinaryReport(VQ_Code::BufferCleared);
    generated = true;
    Log("               7022 BufferCleared erzeugt");
  }
  return result;
}

// Errors that mean the connection is gone close the port; the application
// opens it again.
TVQ_Result TSourceItem::ConnectionError(TVQ_Result result, std::string& line) {
  const auto closePort = [&](std::string_view why) {
    Log(why);
    FDevice->ClosePort();
  };
  switch (result) {
    case TVQ_Result::VQ_Err_ServerDown:
      line = "No connection to server. Please check if server is running";
      closePort(".GetReport: PortClosed because of ServerDownError");
      break;
    case TVQ_Result::VQ_WriteError:
      line = "No connection to device. Port closed";
      closePort(".GetReport: Port closed because of WriteError");
      break;
    case TVQ_Result::VQ_HardwareFault:
      line += " Connection closed";
      closePort(".GetReport: Port closed because of HardwareFault");
      break;
    case TVQ_Result::VQ_DeviceNotConnected:
      if (FDevice->DevType() == TVQ_DeviceType::VQ_HID || FDevice->DevType() == TVQ_DeviceType::VQ_CDC) {
        line = "No connection to USB device. Please check connector";
        Log(".GetReport: USB DeviceNotConnectedError -> try again");
      } else {
        line = "No connection to device. Port closed";
        closePort(".GetReport: Port closed because of DeviceNotConnectedError");
      }
      break;
    case TVQ_Result::VQ_Err_Disconnected:
      line = "No connection to device. Port closed";
      closePort(".GetReport: Port closed because of DisconnectedError");
      break;
    case TVQ_Result::VQ_Err_Reconnected:
      Log(".GetReport: Reconnected -> clear QMTData received, reset data/timestamp checks");
      FDecoder.State.FQMTReceived = false;
      FDecoder.ResetTimestampDataCounter();
      break;
    default:
      break;
  }
  return result;
}

// What follows a delivered line: the replay pace, the device version in the
// log headers and the data-rate check at full seconds.
void TSourceItem::AfterLine(const std::string& line) {
  TVQ_DecodeState& st = FDecoder.State;
  const std::optional<uint16_t> code = ReportLineCode(line);
  const bool measurement = code && VQ_Code::IsMeasurement(*code);
  if (FileDataWait && measurement && st.FDataHeader != TVQ_DecodeState::kNoHeader) {
    const TVQHeader header(static_cast<uint16_t>(st.FDataHeader));
    if (auto* file = dynamic_cast<TVQ_FileDeviceItem*>(FDevice.get()); file && header.FIntervalIndexValid)
      file->SetWaitMs(header.FGateTime);
  }
  if (line.starts_with("7001") && line != FDeviceVersion) {
    for (const int id : {FLogId, FLogIdStream}) {
      TLogHeaderLines lines = GetLogHeaderLines(id);
      if (lines.empty()) lines.resize(1);
      lines[0] = line;
      SetLogHeaderLines(id, std::move(lines));
    }
    FDeviceVersion = line;
  }
  // A 7015 line made from a 100 ms timestamp was checked by the decoder with
  // the rules of 100 ms timestamps.
  const bool from100ms = !IsTextDevice() && st.FHeader == VQ_Code::Timestamp100ms;
  if (line.starts_with("7015;") && !from100ms) {
    if (std::string message = CheckDataPerSecondCounter(VQ_Code::Timestamp); !message.empty())
      st.FKeptLine = std::move(message);
  }
  if (!st.FKeptLine.empty()) {
    Log(".GetReport - Fehlermeldung aufbewahren: " + st.FKeptLine);
    FProcessStringReceived_ASCII = std::move(st.FKeptLine);
    st.FKeptLine.clear();
  }
}

// ---- data-rate check -------------------------------------------------------------------

namespace {

// Measurements expected per 100 ms timestamp (interval index up to 6), or
// timestamps per measurement (above).
constexpr std::array<int, 14> kPer100ms = {100, 50, 20, 10, 5, 2, 1, 2, 5, 10, 20, 50, 100, 200};
// The same per second (up to index 9, then seconds per measurement).
constexpr std::array<int, 14> kPerSecond = {1000, 500, 200, 100, 50, 20, 10, 5, 2, 1, 2, 5, 10, 20};

std::string Duration100ms(int k) {
  if (k < 10) return std::to_string(k * 100) + "ms";
  return FloatToStrGeneral(k / 10.0) + "s";
}

}  // namespace

std::string TSourceItem::CheckDataPerSecondCounter(uint16_t code) {
  TVQ_DecodeState& st = FDecoder.State;
  const bool at100ms = code == VQ_Code::Timestamp100ms;
  if (!st.FFirstDataReceived || !st.FFirstTimestampReceived || (code != VQ_Code::Timestamp && !at100ms)) {
    if (LogWanted(FLogId))
      Log(".CheckDataPerSecondCounter NO data/timestamp checks: FirstDataReceived=" +
          BoolText(st.FFirstDataReceived) + ", FirstTimestampReceived=" + BoolText(st.FFirstTimestampReceived) +
          ", Header=" + HexText(code, 4));
    return {};
  }
  if (st.FDataHeader == TVQ_DecodeState::kNoHeader) {
    Log(".CheckDataPerSecondCounter NO data/timestamp checks:  invalid DataHeader");
    return {};
  }
  const TVQHeader header(static_cast<uint16_t>(st.FDataHeader));
  const int i = header.FIntervalIndex;
  // No expectations exist for the long intervals of the extension bit.
  if (!header.FIntervalIndexValid || i >= static_cast<int>(kPer100ms.size())) return {};

  const int n = st.dataPerSecondCounter_copy;
  int k = st.FTimestampCounter;
  std::string message;
  const int expected = at100ms ? kPer100ms[static_cast<std::size_t>(i)] : kPerSecond[static_cast<std::size_t>(i)];
  const int perTimestampLimit = at100ms ? 6 : 9;
  if (i <= perTimestampLimit) {
    if (n != expected)
      message = std::string(expected < n ? "Timestamp" : "Measurement") + " missing: expected " +
                std::to_string(expected) + ", found " + std::to_string(n);
    k = 0;
  } else {
    const std::string after = at100ms ? Duration100ms(k) : std::to_string(k) + "s";
    if (k < expected) {
      if (n > 0)
        message = "Timestamp missing: " + std::to_string(n) + " measurements" + (at100ms ? ", found" : " found") +
                  " after " + after;
    } else if (n != 1) {
      message = "Measurement missing: expected 1, found " + std::to_string(n) + " after " + after;
      k = 0;
    }
    if (n == 1) k = 0;
  }
  st.FTimestampCounter = k;

  const std::string prefix = ".CheckDataPerSecondCounter failed: ";
  if (st.FFirstCheckPending) {
    if (!message.empty()) Log(prefix + message);
    if (VQ_Code::IsMeasurement(static_cast<uint16_t>(st.FLastPavHeader & 0xFFFF)) &&
        st.FLastPavHeader != TVQ_DecodeState::kNoHeader) {
      if (FileDataLoopForEver) {
        Log(".CheckDataPerSecondCounter: FileData with LoopForEver -> NO reset");
      } else {
        st.FTimestampCounter = 0;
        st.dataPerSecondCounter_copy = 0;
        st.FFirstCheckPending = false;
        Log(".CheckDataPerSecondCounter reset FirstCheckFlag and counter");
      }
    }
    if (!message.empty()) {
      Log(".CheckDataPerSecondCounter ignore error message");
      message.clear();
    }
  } else if (!message.empty()) {
    LogErr(prefix + message);
  }
  if (!at100ms) st.FLastPavHeader = VQ_Code::Timestamp;
  return message.empty() ? std::string() : ReportCodeText(VQ_Code::DataRateError) + ": " + message;
}

// ---- decoder host ------------------------------------------------------------------------

uint32_t TSourceItem::ReceivedSec() const { return FDevice ? FDevice->ReceivedSec() : 0; }

void TSourceItem::SetReceivedSec(uint32_t sec) {
  if (FDevice) FDevice->SetReceivedSec(sec);
}

void TSourceItem::ReSync() {
  if (FActualDevice) FActualDevice->ReSync();
}

void TSourceItem::VersionDecoded() {
  if (!FDevice) return;
  const uint16_t feature = FDevice->HardFeature();
  SetIsQMTonly((feature & 0x0002) != 0 && (feature & 0x0001) == 0);
}

uint8_t TSourceItem::UserID() const { return FDevice ? FDevice->GetUserID() : TConnectionParts::kNoUserID; }

// The library has no memory exchange with the counter to evaluate PVH blocks
// with: the block is passed on in hexadecimal.
std::string TSourceItem::Check7902Report(std::string_view payload) {
  std::string line = ReportCodeText(VQ_Code::PvhSettings) + ";";
  for (std::size_t i = 0; i + 4 <= payload.size(); i += 4) line += " " + HexText(ReadBigEndian32(payload, i), 8);
  return line;
}

// ---- commands ------------------------------------------------------------------------------

TVQ_Result TSourceItem::SendCommand(std::string& cmd) {
  // Being opened or closed counts as no connection yet, and is not waited for.
  const std::shared_lock gate(FOpenGate, std::try_to_lock);
  std::unique_lock lock(FLock, std::defer_lock);
  if (gate.owns_lock()) lock.lock();
  try {
    const std::string hex = HexDump(cmd);
    if (!gate.owns_lock() || !FActualDevice || !FDevice->PortIsOpened()) {
      cmd = "No connection, Command ignored: " + hex;
      Log(".SendCommand " + cmd);
      return TVQ_Result::VQ_CmdIgnored;
    }
    if (FCmdLimit > 0 && static_cast<uint32_t>(FActualDevice->GetPendingCmdsCount()) >= FCmdLimit) {
      cmd = "Command FiFo full, Command ignored: " + hex;
      LogErr(".SendCommand " + cmd);
      return TVQ_Result::VQ_CmdIgnored;
    }
    TCommandCheckContext context;
    context.Peer = FDevice->PeerType();
    context.DevType = FDevice->DevType();
    context.HardFeature = FDevice->HardFeature();
    context.FirmwareVersion = GetFirmwareVersion();
    context.OptRawData = FDecoder.Options.OptRawData;
    if (context.FirmwareVersion < 0) context.FirmwareVersion = 0;
    std::string command = cmd;
    if (const std::string refusal = CheckCommand(command, context, FLogId, FDbgTag); !refusal.empty()) {
      cmd = refusal + ": " + hex;
      LogErr(".SendCommand failed: " + cmd);
      return TVQ_Result::VQ_CmdIgnored;
    }
    std::string failure;
    const TVQ_Result result = FActualDevice->SendCommand(command, &failure);
    if (result != TVQ_Result::VQ_No_Err) cmd = failure.empty() ? std::string(VQ_ResultText(result)) : failure;
    return result;
  } catch (const std::exception& e) {
    if (LogWanted(FLogId)) LogException(FLogId, FDbgTag + ".SendCommand failed", e);
    cmd = "Command failed: " + ExceptionText(e);
    return TVQ_Result::VQ_Err_Exception;
  }
}

int TSourceItem::GetPendingCmdsCount() const {
  const TInstalled installed = Installed();
  return installed.Report ? installed.Report->GetPendingCmdsCount() : 0;
}

// ---- device queries --------------------------------------------------------------------------
//
// Each reads the installed device's atomics (or its ring buffers, which have
// their own locks), so none waits for an open, a close or a poll.

uint32_t TSourceItem::GetBufferAmount() const {
  const TInstalled installed = Installed();
  return installed.Device ? installed.Device->GetBufferAmount() : 0;
}

void TSourceItem::GetBufferAmounts(uint32_t& amount, uint32_t& highAmount) const {
  amount = highAmount = 0;
  if (const TInstalled installed = Installed(); installed.Device) installed.Device->GetBufferAmounts(amount, highAmount);
}

uint32_t TSourceItem::GetTransmitBufferAmount() const {
  const TInstalled installed = Installed();
  return installed.Device ? installed.Device->CFBufferAmount() : 0;
}

uint16_t TSourceItem::GetHardFeature() const {
  const TInstalled installed = Installed();
  return installed.Device ? installed.Device->HardFeature() : 0;
}

uint32_t TSourceItem::GetHardFeature32() const {
  const TInstalled installed = Installed();
  return installed.Device ? installed.Device->HardFeature32() : 0;
}

int TSourceItem::GetFirmwareVersion() const {
  const TInstalled installed = Installed();
  if (!installed.Device) return -1;
  if (const int reported = FReportFirmwareVersion.load(); reported > 0) return reported;
  return installed.Device->FirmwareVersionNumber();
}

uint8_t TSourceItem::GetUserID() const {
  const TInstalled installed = Installed();
  return installed.Device ? installed.Device->GetUserID() : TConnectionParts::kNoUserID;
}

int TSourceItem::GetDevType() const {
  const TInstalled installed = Installed();
  return installed.Device ? static_cast<int>(installed.Device->DevType()) : 255;
}

int64_t TSourceItem::GetSerialNumber() const {
  const TInstalled installed = Installed();
  if (!installed.Device) return -1;
  const uint32_t serial = installed.Device->GetSerialNumberValue();
  return serial == TVQ_BaseDevice::kUnknownSerial ? -1 : static_cast<int64_t>(serial);
}

bool TSourceItem::IsFileDevice() const {
  const TInstalled installed = Installed();
  return installed.Device && IsFileKind(installed.Device->DevType());
}

TVQ_DeviceStartState TSourceItem::DeviceStartState() const {
  const TInstalled installed = Installed();
  return installed.Device ? installed.Device->DeviceStartState() : TVQ_DeviceStartState::ds_unknown;
}

std::optional<TVQ_DeviceInfo> TSourceItem::GetDeviceInfo() const {
  const TInstalled installed = Installed();
  if (!installed.Device) {
    Log(".GetDeviceInfo=nil");
    return std::nullopt;
  }
  return installed.Device->GetDeviceInfo();
}

bool TSourceItem::ReferenceClockError() const {
  const TInstalled installed = Installed();
  return installed.Device ? installed.Device->ReferenceClockError() : false;
}

std::string TSourceItem::GetDebugFilename() const { return GetLogFileName(FLogId); }

std::string TSourceItem::GetToolsDataString() {
  const TInstalled installed = Installed();
  return installed.Device ? installed.Device->ToolsReadAll() : std::string();
}

// Tool answers are short (a flash block is 76 bytes): byte by byte is cheap
// and leaves the rest for the next call.
std::string TSourceItem::GetToolsData(std::size_t count) {
  const TInstalled installed = Installed();
  std::string data;
  while (installed.Device && data.size() < count) {
    const std::string byte = installed.Device->ToolsRead(1);
    if (byte.empty()) break;
    data += byte;
  }
  return data;
}

// ---- settings ----------------------------------------------------------------------------------

std::string TSourceItem::SetOutputPath(const std::string& path) {
  std::lock_guard lock(FLock);
  std::string folder = path;
  while (!folder.empty() && (folder.back() == '/' || folder.back() == '\\')) folder.pop_back();
  try {
    if (const std::string problem = FolderWriteProblem(folder); !problem.empty()) {
      LogErr(".SetOutputPath: path invalid " + path + ": " + problem);
      return "Invalid path: " + path + " (" + problem + ")";
    }
    FOutputPath = folder.empty() ? std::string() : folder + "/";
    SetLogSavePath(FLogId, FOutputPath);
    return {};
  } catch (const std::exception& e) {
    return "Invalid path(" + path + "): " + e.what();
  }
}

bool TSourceItem::SetCalibFactorFloatToInt(int value) {
  std::lock_guard lock(FLock);
  if (value <= 0) {
    LogErr(".SetCalibFactorFloatToInt invalid " + std::to_string(value));
    return false;
  }
  Log(".SetCalibFactorFloatToInt old=" + std::to_string(FDecoder.Options.CalibFactorFloatToInt) +
      ", new=" + std::to_string(value));
  FDecoder.Options.CalibFactorFloatToInt = value;
  if (FDevice) FDevice->SetCalibFactorFloatToInt(value);
  return true;
}

int TSourceItem::CalibFactorFloatToInt() const {
  std::lock_guard lock(FLock);
  return FDecoder.Options.CalibFactorFloatToInt;
}

void TSourceItem::SetOpt7019(bool value) {
  std::lock_guard lock(FLock);
  if (value != FOpt7019) Log(".SetOpt7019=" + BoolText(value));
  FOpt7019 = value;
  if (FDevice) FDevice->SetOpt7019(value);
}

void TSourceItem::SetOptRawData(bool value) {
  std::lock_guard lock(FLock);
  FDecoder.Options.OptRawData = value;
}

bool TSourceItem::SetDecimalSeparator(char separator) {
  if (separator != '.' && separator != ',') return false;
  std::lock_guard lock(FLock);
  FDecoder.Options.Format.DecimalSeparator = separator;
  FDecoder.Options.Format.ThousandSeparator = separator == '.' ? ',' : '.';
  return true;
}

void TSourceItem::SetSend7016(bool value) {
  std::lock_guard lock(FLock);
  FDecoder.Options.Send7016 = value;
}

void TSourceItem::SetIsQMTonly(bool value) {
  std::lock_guard lock(FLock);
  Log(".SetIsQMTonly " + BoolText(value));
  FIsQMTonly = value;
  if (value && FDevice) FDevice->SetReadTimeoutMs(1200);
}

void TSourceItem::SetReferenceClockError(bool value) {
  std::lock_guard lock(FLock);
  FReferenceClockError = value;
  if (FDevice) FDevice->SetReferenceClockError(value);
}

void TSourceItem::SetCmdLimit(uint32_t limit) {
  std::lock_guard lock(FLock);
  FCmdLimit = limit;
}

// ---- logs ----------------------------------------------------------------------------------------

std::string TSourceItem::SetDebugLog(bool on, const std::string& dbgId, bool errorOnly) {
  std::lock_guard lock(FLock);
  SetLogFile(FLogId, on ? FOutputPath + "VQ_DLL_LOG_" + dbgId + ".txt" : std::string(), errorOnly);
  return GetLogError(FLogId);
}

std::string TSourceItem::SetDebugLogStream(bool on, const std::string& dbgId, bool errorOnly) {
  std::lock_guard lock(FLock);
  SetLogFile(FLogIdStream, on ? FOutputPath + "VQ_Stream_LOG_" + dbgId + ".txt" : std::string(), errorOnly);
  SetLogFile(FLogIdStreamDbg, on ? FOutputPath + "VQ_StreamDbg_LOG_" + dbgId + ".txt" : std::string(), errorOnly);
  return GetLogError(FLogIdStream);
}

void TSourceItem::SetDebugLimit(TLogLimitType type, uint32_t size) { SetLogLimit(FLogId, type, size); }

void TSourceItem::SetLowLevelLog(bool value) {
  std::lock_guard lock(FLock);
  if (value != FLowLevelLog) Log(".SetLowLevelLog=" + BoolText(value));
  FLowLevelLog = value;
  if (FDevice) FDevice->SetLowLevelLog(value);
}

void TSourceItem::SetReportLog(bool value) {
  std::lock_guard lock(FLock);
  if (value != FDecoder.Options.ReportLog) Log(".SetReportLog=" + BoolText(value));
  FDecoder.Options.ReportLog = value;
  if (FActualDevice) FActualDevice->LogReport = value;
}

// ---- recording -------------------------------------------------------------------------------------

bool TSourceItem::StartSaveBinaryData(const std::string& dbgId) {
  std::lock_guard lock(FLock);
  if (!FDevice) return false;
  return FDevice->StartSaveBinaryData(FOutputPath + NowStamp() + "_" + dbgId + "_VQ_BinaryData.bin");
}

bool TSourceItem::StopSaveBinaryData() {
  std::lock_guard lock(FLock);
  return FDevice && FDevice->StopSaveBinaryData();
}

bool TSourceItem::StartSaveReportData(const std::string& dbgId) {
  std::lock_guard lock(FLock);
  if (FReportStream >= 0) ::close(FReportStream);
  const std::string name = FOutputPath + NowStamp() + "_" + dbgId + "_VQ_ReportData.txt";
  FReportStream = OpenExclusiveEmptied(name);
  Log("SaveReportData to " + name);
  return FReportStream >= 0;
}

bool TSourceItem::StopSaveReportData() {
  std::lock_guard lock(FLock);
  if (FReportStream < 0) return false;
  ::close(FReportStream);
  FReportStream = -1;
  Log("StopSaveReportData");
  return true;
}

void TSourceItem::WriteReport(const std::string& line) {
  if (FReportStream < 0 || line.empty()) return;
  if (!WriteAll(FReportStream, line + "\r\n")) {
    LogErr(".WriteReport failed, recording stopped");
    ::close(FReportStream);
    FReportStream = -1;
  }
}

// ---- logging ----------------------------------------------------------------------------------------

void TSourceItem::Log(std::string_view text) const {
  if (LogWanted(FLogId)) LogInfo(FLogId, FDbgTag + std::string(text));
}

void TSourceItem::LogErr(std::string_view text) const {
  if (LogWanted(FLogId)) LogError(FLogId, FDbgTag + std::string(text));
}
