#include "library/sources/MultiSource.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "library/core/LogUnit.h"
#include "library/devices/VQ_Simulator.h"
#include "library/platform/VQ_SerialPorts.h"
#include "library/sources/VQ_Source.h"

namespace {

constexpr std::size_t kMaxOrders = 100;  // sources polled at the same time
constexpr std::string_view kNoDataServer = "The data server is not available in this version";

// What the sources' devices and workers use besides the library: made
// before the library, so that static destruction ends them after it, once
// every source is closed and every worker joined.
struct TLibraryDependencies {
  TLibraryDependencies() {
    LogListInUse();
    BaseReceiveEvent();
    SystemClock();
    DeviceInfoList();
  }
};

// The process-wide state behind the interface. Its lock guards only the
// source list, the orders of the polls and the options for new sources: an
// operation on a source runs under that source's own locks, so a slow open
// of one source never holds up the others. Sources are only ever added, so a
// source found under the lock stays valid after it is released.
class TMultiLibrary : private TLibraryDependencies {
 public:
  TMultiLibrary() { Sources.push_back(std::make_unique<TSourceItem>(0, nullptr, true)); }
  ~TMultiLibrary() {
    std::lock_guard lock(Lock);
    Log("TMultiList.Destroy, count=" + std::to_string(Sources.size()));
    Sources.clear();
  }

  TSourceItem* Find(int source) {
    std::lock_guard lock(Lock);
    return FindLocked(source);
  }
  TSourceItem* FindLocked(int source) const {
    if (source < 0 || static_cast<std::size_t>(source) >= Sources.size()) return nullptr;
    return Sources[static_cast<std::size_t>(source)].get();
  }

  std::vector<TSourceItem*> AllSources() {
    std::lock_guard lock(Lock);
    std::vector<TSourceItem*> all;
    for (const auto& item : Sources) all.push_back(item.get());
    return all;
  }

  // The library log is source 0's debug log.
  int LogId() const { return Sources.front()->LogId(); }
  void Log(const std::string& text) const {
    if (LogWanted(LogId())) LogInfo(LogId(), text);
  }
  void LogErr(const std::string& text) const {
    if (LogWanted(LogId())) LogError(LogId(), text);
  }

  std::mutex Lock;
  std::vector<std::unique_ptr<TSourceItem>> Sources;
  std::vector<int> Orders;  // sources being polled
  TVQ_Event* ReportEvent = nullptr;
  bool ResetEvent = true;
  std::atomic<bool> OptRawData{false};
  std::atomic<bool> Opt7019{false};

  // Enumeration reads the system's device lists: it has its own lock.
  std::mutex EnumerateLock;
  std::optional<std::string> EnumerateError;
};

TMultiLibrary& Library() {
  static TMultiLibrary library;
  return library;
}

// Takes a poll's order out of the table when the poll ends, however it ends.
struct TOrderDone {
  TOrderDone(TMultiLibrary& lib, int source) : Lib(lib), Source(source) {}
  TOrderDone(const TOrderDone&) = delete;
  TOrderDone& operator=(const TOrderDone&) = delete;
  ~TOrderDone() {
    std::lock_guard lock(Lib.Lock);
    Lib.Orders.erase(std::find(Lib.Orders.begin(), Lib.Orders.end(), Source));
  }
  TMultiLibrary& Lib;
  const int Source;
};

std::string NotFound(int source) { return "Source-ID " + std::to_string(source) + " not found"; }

std::string Cut(std::string text, std::size_t limit) {
  if (text.size() > limit) text.resize(limit);
  return text;
}

// Runs `action` on the source (under the source's own locks, not the
// library's), or gives `missing`.
template <typename Result, typename Action>
Result WithSource(int source, Result missing, Action action) {
  TSourceItem* item = Library().Find(source);
  if (!item) return missing;
  return action(*item);
}

int OpenConnection(int source, const std::string& connection, std::string& message, bool blockingIO,
                   bool contextMode) {
  TMultiLibrary& lib = Library();
  TSourceItem* item = lib.Find(source);
  message.clear();
  if (!item) {
    message = NotFound(source);
    return MultiCode::UnknownSource;
  }
  TConnectionParts parts;
  const std::string tag = "TSourceItem[" + std::to_string(source) + "]";
  if (TSourceItem::SplitConnectionString(connection, parts, item->LogId(), tag) != TVQ_Result::VQ_No_Err) {
    message = Cut("Invalid connection string: " + ShownConnection(connection), Multi_MaxMessage);
    lib.LogErr("SplitConnectionString: " + message);
    return MultiCode::Other;
  }
  lib.Log("Multi_OpenConnection_i: UserID=" + std::to_string(parts.UserID) + ", Port=" + ShownConnection(parts.Port) +
          ", Baud=" + ShownConnection(parts.Baud));
  item->CloseConnection();
  item->SetOptRawData(lib.OptRawData.load());
  item->SetOpt7019(lib.Opt7019.load());
  const TVQ_Result result = item->OpenConnection(parts, blockingIO, contextMode);
  if (result != TVQ_Result::VQ_No_Err) {
    message = item->ErrorMessage();
    if (result == TVQ_Result::VQ_Err_BadFormat) message += ShownConnection(connection);
    lib.LogErr("Multi_OpenConnection_i: " + message);
    lib.LogErr("Multi_OpenConnectionEx(" + std::to_string(source) + "): " + message);
    message = Cut(message, Multi_MaxMessage);
    return MultiCode::Other;
  }
  if (const std::optional<TVQ_DeviceInfo> info = item->GetDeviceInfo()) DeviceInfoList().AddInfo(*info);
  return MultiCode::Ok;
}

}  // namespace

int Multi_PublicCode(TVQ_Result result) {
  switch (static_cast<TVQ_Result>(static_cast<uint8_t>(result) & 0x7F)) {
    case TVQ_Result::VQ_No_Err: return MultiCode::Ok;
    case TVQ_Result::VQ_No_Err_Recovered: return MultiCode::Recovered;
    case TVQ_Result::VQ_Err_ReceiveBufferOverflow: return MultiCode::Overflow;
    case TVQ_Result::VQ_CmdIgnored: return MultiCode::CmdIgnored;
    case TVQ_Result::VQ_WriteError: return MultiCode::WriteError;
    case TVQ_Result::VQ_DeviceNotConnected:
    case TVQ_Result::VQ_Err_EndOfFile:
    case TVQ_Result::VQ_Err_Disconnected: return MultiCode::NotConnected;
    case TVQ_Result::VQ_HardwareFault: return MultiCode::HardwareFault;
    case TVQ_Result::VQ_Err_Exception: return MultiCode::Exception;
    case TVQ_Result::VQ_Err_ServerDown: return MultiCode::ServerDown;
    case TVQ_Result::VQ_Err_Reconnected: return MultiCode::Reconnected;
    default: return MultiCode::Other;
  }
}

// ---- lifecycle and options ------------------------------------------------------------

int Multi_NewSource() {
  TMultiLibrary& lib = Library();
  std::lock_guard lock(lib.Lock);
  const int number = static_cast<int>(lib.Sources.size());
  auto item = std::make_unique<TSourceItem>(number, lib.ReportEvent, lib.ResetEvent);
  item->SetOptRawData(lib.OptRawData.load());
  item->SetOpt7019(lib.Opt7019.load());
  lib.Sources.push_back(std::move(item));
  return number;
}

int Multi_SourceCount() {
  TMultiLibrary& lib = Library();
  std::lock_guard lock(lib.Lock);
  return static_cast<int>(lib.Sources.size());
}

void Multi_SetReportEvent(TVQ_Event* event, bool resetEvent) {
  TMultiLibrary& lib = Library();
  std::lock_guard lock(lib.Lock);
  lib.ReportEvent = event;
  lib.ResetEvent = resetEvent;
}

void Multi_SetOption(int code) {
  TMultiLibrary& lib = Library();
  if (code == MultiOption::RawData) {
    lib.OptRawData = true;
    for (TSourceItem* item : lib.AllSources()) item->SetOptRawData(true);
  } else if (code == MultiOption::Report7019) {
    lib.Opt7019 = true;
    for (TSourceItem* item : lib.AllSources()) item->SetOpt7019(true);
  }
}

void Multi_SetDemoOptions(bool pdi, bool qmt) { SetSimulatorOptions(pdi, qmt); }

std::string Multi_GetLibraryVersion() { return std::string(VQ_LibraryVersion); }

void Multi_CloseAll() {
  for (TSourceItem* item : Library().AllSources()) item->CloseConnection();
}

// ---- connections and polling -------------------------------------------------------------

int Multi_OpenConnectionEx(int source, const std::string& connection, std::string& message, bool blockingIO) {
  return OpenConnection(source, connection, message, blockingIO, false);
}

int Multi_OpenConnectionContext(int source, const std::string& connection, std::string& message, bool blockingIO) {
  return OpenConnection(source, connection, message, blockingIO, true);
}

std::string Multi_ShownConnection(const std::string& connection) { return ShownConnection(connection); }

int Multi_CloseConnection(int source) {
  return WithSource(source, MultiCode::UnknownSource, [&](TSourceItem& item) {
    Library().Log("Multi_CloseConnection(" + std::to_string(source) + ")");
    item.CloseConnection();
    return MultiCode::Ok;
  });
}

int Multi_GetReportEx(int source, std::string& line, int64_t& deviceMs) {
  TMultiLibrary& lib = Library();
  line.clear();
  deviceMs = -1;
  TSourceItem* item = nullptr;
  {
    std::lock_guard lock(lib.Lock);
    item = lib.FindLocked(source);
    if (!item) {
      line = NotFound(source);
      return MultiCode::UnknownSource;
    }
    if (lib.Orders.size() >= kMaxOrders) {
      lib.LogErr("GetReportEx OrderCount = CmaxOrder " + std::to_string(kMaxOrders));
      return MultiCode::Ok;
    }
    if (std::find(lib.Orders.begin(), lib.Orders.end(), source) != lib.Orders.end()) {
      lib.LogErr("GetReportEx is running yet");
      return MultiCode::Ok;
    }
    lib.Orders.push_back(source);
  }
  const TOrderDone orderDone{lib, source};
  // Read without the library lock: operations on every source go on.
  const TVQ_Result result = item->GetReport(line, deviceMs);
  if (line.size() > Multi_MaxLine) {
    lib.LogErr("Multi_GetReportEx: line of " + std::to_string(line.size()) + " bytes cut to " +
               std::to_string(Multi_MaxLine));
    line.resize(Multi_MaxLine);
  }
  return Multi_PublicCode(result);
}

int Multi_SendCommand(int source, std::string& command) {
  return WithSource(source, MultiCode::UnknownSource, [&](TSourceItem& item) {
    if (command.empty() || command.size() > Multi_MaxCommand) {
      command = "Invalid command length = " + std::to_string(command.size()) + ", valid: 1.." +
                std::to_string(Multi_MaxCommand);
      return MultiCode::CmdIgnored;
    }
    const int code = Multi_PublicCode(item.SendCommand(command));
    if (code != MultiCode::Ok) command = Cut(command, Multi_MaxMessage);
    return code;
  });
}

int Multi_GetPendingCmdsCount(int source) {
  return WithSource(source, 0, [](TSourceItem& item) { return item.GetPendingCmdsCount(); });
}

// ---- device queries ----------------------------------------------------------------------

uint32_t Multi_GetBufferAmount(int source) {
  return WithSource(source, uint32_t{0}, [](TSourceItem& item) { return item.GetBufferAmount(); });
}

int Multi_GetBufferAmounts(int source, uint32_t& amount, uint32_t& highAmount) {
  amount = highAmount = 0;
  return WithSource(source, 0, [&](TSourceItem& item) {
    item.GetBufferAmounts(amount, highAmount);
    return 1;
  });
}

uint32_t Multi_GetTransmitBufferAmount(int source) {
  return WithSource(source, uint32_t{0}, [](TSourceItem& item) { return item.GetTransmitBufferAmount(); });
}

int Multi_GetUserID(int source) {
  return WithSource(source, 255, [](TSourceItem& item) { return static_cast<int>(item.GetUserID()); });
}

int Multi_IsFileDevice(int source) {
  return WithSource(source, 0, [](TSourceItem& item) { return item.IsFileDevice() ? 1 : 0; });
}

uint16_t Multi_GetHardFeature(int source) {
  return WithSource(source, uint16_t{0}, [](TSourceItem& item) { return item.GetHardFeature(); });
}

int Multi_GetFirmwareVersion(int source) {
  return WithSource(source, -1, [](TSourceItem& item) { return item.GetFirmwareVersion(); });
}

int64_t Multi_GetSerialNumber(int source) {
  return WithSource(source, int64_t{-1}, [](TSourceItem& item) { return item.GetSerialNumber(); });
}

int Multi_GetDeviceStartState(int source) {
  return WithSource(source, 0, [](TSourceItem& item) { return static_cast<int>(item.DeviceStartState()) & 0x7F; });
}

int Multi_GetDevType(int source) {
  return WithSource(source, 255, [](TSourceItem& item) { return item.GetDevType(); });
}

std::optional<TVQ_DeviceInfo> Multi_GetDeviceInfo(uint32_t serialNumber) {
  return DeviceInfoList().GetInfo(serialNumber);
}

int Multi_SetDeviceNominalFreq(uint32_t serialNumber, const std::array<double, VQ_ChannelCount>& values) {
  return DeviceInfoList().SetNominalFreq(serialNumber, values) ? MultiCode::Ok : MultiCode::Other;
}

int Multi_GetTcpServerDataPort(int) { return 0; }
std::string Multi_GetTcpServerIPAndPort(int) { return {}; }
std::optional<std::string> Multi_GetTcpServerClientsRemainingDataCounts(int) { return std::nullopt; }

// ---- settings and logs ---------------------------------------------------------------------

int Multi_SetDecimalSeparator(int source, char separator) {
  return WithSource(source, MultiCode::UnknownSource, [&](TSourceItem& item) {
    item.SetDecimalSeparator(separator);
    return MultiCode::Ok;
  });
}

int Multi_SetSend7016(int source, bool on) {
  return WithSource(source, MultiCode::UnknownSource, [&](TSourceItem& item) {
    item.SetSend7016(on);
    return MultiCode::Ok;
  });
}

int Multi_SetCalibFactorFloatToInt(int source, int value) {
  return WithSource(source, MultiCode::UnknownSource,
                    [&](TSourceItem& item) { return item.SetCalibFactorFloatToInt(value) ? MultiCode::Ok : 0; });
}

int Multi_GetCalibFactorFloatToInt(int source) {
  return WithSource(source, 0, [](TSourceItem& item) { return item.CalibFactorFloatToInt(); });
}

std::string Multi_SetOutputPath(int source, const std::string& folder) {
  return WithSource(source, NotFound(source), [&](TSourceItem& item) { return item.SetOutputPath(folder); });
}

namespace {

std::string DebugLog(int source, bool on, const std::string& name, bool errorOnly) {
  return WithSource(source, NotFound(source), [&](TSourceItem& item) {
    return item.SetDebugLog(on, name.empty() ? std::to_string(source) : name, errorOnly);
  });
}

// The library has no memory exchange with the counter (calibration and PVH
// tables): a connected counter is answered "not supported".
int MemoryExchange(int source, const char* operation) {
  return WithSource(source, MultiCode::UnknownSource, [&](TSourceItem& item) {
    if (item.GetDevType() == 255) return MultiCode::UnknownSource;
    Library().Log(std::string(operation) + "(" + std::to_string(source) + "): not available in this version");
    return MultiCode::NotSupported;
  });
}

}  // namespace

std::string Multi_Debug(int source, bool on, const std::string& name) { return DebugLog(source, on, name, false); }

std::string Multi_DebugError(int source, bool on, const std::string& name) {
  return DebugLog(source, on, name, true);
}

std::string Multi_DebugStream(int source, bool on, const std::string& name, bool errorOnly) {
  return WithSource(source, NotFound(source), [&](TSourceItem& item) {
    return item.SetDebugLogStream(on, name.empty() ? std::to_string(source) : name, errorOnly);
  });
}

int Multi_DebugFlags(int source, bool reportLog, bool lowLevelLog) {
  return WithSource(source, MultiCode::UnknownSource, [&](TSourceItem& item) {
    if (LogWanted(item.LogId()))
      LogInfo(item.LogId(), "Multi_DebugFlags(" + std::to_string(source) + "): ReportLog=" +
                                (reportLog ? "True" : "False") + ", LowLevelLog=" + (lowLevelLog ? "True" : "False"));
    item.SetReportLog(reportLog);
    item.SetLowLevelLog(lowLevelLog);
    return MultiCode::Ok;
  });
}

int Multi_SetDebugLimit(int source, TLogLimitType type, uint32_t size) {
  return WithSource(source, MultiCode::UnknownSource, [&](TSourceItem& item) {
    item.SetDebugLimit(type, size);
    return MultiCode::Ok;
  });
}

std::string Multi_GetDebugFilename(int source) {
  return WithSource(source, NotFound(source), [](TSourceItem& item) { return item.GetDebugFilename(); });
}

// ---- counter memory -----------------------------------------------------------------------------

int Multi_SetCalibrationData(int source, const std::string&) { return MemoryExchange(source, "Multi_SetCalibrationData"); }
int Multi_ReadPVHData(int source) { return MemoryExchange(source, "Multi_ReadPVHData"); }
int Multi_SetPVHData(int source, const std::string&) { return MemoryExchange(source, "Multi_SetPVHData"); }

int Multi_GetToolsDataString(int source, std::string& data) {
  data.clear();
  return WithSource(source, MultiCode::UnknownSource, [&](TSourceItem& item) {
    data = item.GetToolsDataString();
    return MultiCode::Ok;
  });
}

int Multi_GetToolsData(int source, int count, std::string& data) {
  data.clear();
  return WithSource(source, -MultiCode::UnknownSource, [&](TSourceItem& item) {
    data = item.GetToolsData(static_cast<std::size_t>(std::max(count, 0)));
    return static_cast<int>(data.size());
  });
}

// ---- data server and recording ---------------------------------------------------------------------

int Multi_StartTcpServer(int source, int& port) {
  return WithSource(source, MultiCode::UnknownSource, [&](TSourceItem&) {
    Library().Log("Multi_StartTcpServer(" + std::to_string(source) + ") aPort=" + std::to_string(port) + ": " +
                  std::string(kNoDataServer));
    return MultiCode::Other;
  });
}

int Multi_StopTcpServer(int source) {
  return WithSource(source, MultiCode::UnknownSource, [](TSourceItem&) { return MultiCode::Ok; });
}

std::string Multi_GetTcpServerError(int source) {
  return WithSource(source, NotFound(source), [](TSourceItem&) { return std::string(kNoDataServer); });
}

void Multi_TcpReportLog(int, const std::string&, int) {}

int Multi_StartSaveBinaryData(int source, const std::string& name) {
  return WithSource(source, MultiCode::UnknownSource, [&](TSourceItem& item) {
    return item.StartSaveBinaryData(name) ? MultiCode::Ok : MultiCode::NotConnected;
  });
}

int Multi_StopSaveBinaryData(int source) {
  return WithSource(source, MultiCode::UnknownSource, [](TSourceItem& item) {
    return item.StopSaveBinaryData() ? MultiCode::Ok : MultiCode::NotConnected;
  });
}

int Multi_StartSaveReportData(int source, const std::string& name) {
  return WithSource(source, MultiCode::UnknownSource, [&](TSourceItem& item) {
    return item.StartSaveReportData(name) ? MultiCode::Ok : MultiCode::Other;
  });
}

int Multi_StopSaveReportData(int source) {
  return WithSource(source, MultiCode::UnknownSource,
                    [](TSourceItem& item) { return item.StopSaveReportData() ? MultiCode::Ok : MultiCode::Other; });
}

// ---- local devices ----------------------------------------------------------------------------------

int Multi_EnumerateDevices(std::string& devices, int kinds) {
  TMultiLibrary& lib = Library();
  std::lock_guard lock(lib.EnumerateLock);
  devices.clear();
  lib.EnumerateError.reset();
  std::vector<std::string> errors;
  int failed = 0;
  if (kinds & MultiEnumerate::Serial) {
    const TSerialPortList list = EnumerateSerialPorts();
    if (!list.Error.empty()) {
      lib.LogErr("Enumerate Serial Ports failed: " + list.Error);
      errors.push_back(list.Error);
      failed |= MultiEnumerate::Serial;
    }
    for (const std::string& port : list.Ports) {
      lib.Log("Multi_EnumerateDevices.Add " + port);
      devices += (devices.empty() ? "" : ",") + port;
    }
  }
  // The library has no USB or CAN transport, so it finds no such device
  // attached, which is no error.
  if (devices.size() > Multi_MaxMessage) {
    devices.resize(Multi_MaxMessage);
    errors.push_back("Buffer too small");
  }
  if (!errors.empty()) {
    std::string text;
    for (const std::string& error : errors) text += (text.empty() ? "" : "; ") + error;
    lib.EnumerateError = text;
  }
  return failed;
}

std::optional<std::string> Multi_GetEnumerateError() {
  TMultiLibrary& lib = Library();
  std::lock_guard lock(lib.EnumerateLock);
  return lib.EnumerateError;
}

// ---- USB hot-plug ------------------------------------------------------------------------------------

namespace {

// The monitor has nothing to do with the sources, so it has its own lock:
// reading events never waits for a poll in progress.
struct TUsbWatch {
  std::mutex Lock;
  std::unique_ptr<TVQ_UsbMonitor> Monitor;
};

TUsbWatch& UsbWatch() {
  static TUsbWatch watch;
  return watch;
}

void UsbLog(const std::string& text, bool error = false) {
  TMultiLibrary& lib = Library();
  if (error)
    lib.LogErr(text);
  else
    lib.Log(text);
}

}  // namespace

int Multi_UsbMonitorStart(std::string& message) {
  message.clear();
  int fd = -1;
  try {
    TUsbWatch& watch = UsbWatch();
    std::lock_guard lock(watch.Lock);
    if (watch.Monitor) return MultiCode::Ok;
    auto monitor = std::make_unique<TVQ_UsbMonitor>();
    if (monitor->Available()) {
      fd = monitor->Fd();
      watch.Monitor = std::move(monitor);
    } else {
      message = Cut("USB monitor not available: " + monitor->Error(), Multi_MaxMessage);
    }
  } catch (const std::exception& e) {
    message = Cut("USB monitor failed: " + std::string(e.what()), Multi_MaxMessage);
    UsbLog("Multi_UsbMonitorStart: " + message, true);
    return MultiCode::Exception;
  }
  if (!message.empty()) {
    UsbLog("Multi_UsbMonitorStart: " + message);
    return MultiCode::Other;
  }
  UsbLog("Multi_UsbMonitorStart: fd=" + std::to_string(fd));
  return MultiCode::Ok;
}

int Multi_UsbMonitorFd() {
  TUsbWatch& watch = UsbWatch();
  std::lock_guard lock(watch.Lock);
  return watch.Monitor ? watch.Monitor->Fd() : -1;
}

int Multi_UsbMonitorRead(std::vector<TUsbEvent>& events) {
  events.clear();
  try {
    TUsbWatch& watch = UsbWatch();
    std::lock_guard lock(watch.Lock);
    if (!watch.Monitor) return MultiCode::NotConnected;
    events = watch.Monitor->Read();
    return MultiCode::Ok;
  } catch (const std::exception& e) {
    events.clear();
    UsbLog("Multi_UsbMonitorRead: " + std::string(e.what()), true);
    return MultiCode::Exception;
  }
}

void Multi_UsbMonitorStop() {
  TUsbWatch& watch = UsbWatch();
  std::unique_ptr<TVQ_UsbMonitor> monitor;
  {
    std::lock_guard lock(watch.Lock);
    monitor = std::move(watch.Monitor);
  }
  if (monitor) UsbLog("Multi_UsbMonitorStop");
}
