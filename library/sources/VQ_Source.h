#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "library/core/VQ_CommonTypes.h"
#include "library/core/VQ_Decoder.h"
#include "library/core/VQ_DllCommon.h"
#include "library/core/VQ_Report.h"
#include "library/devices/VQ_BaseDevice.h"
#include "library/platform/VQ_Event.h"

// A connection string (or a part of one) as messages and log lines show it:
// control characters as "\x" + two hex digits, so a pasted line break
// cannot split a message or a log line, and at most kShownConnectionLength
// characters, then how long the whole text was.
inline constexpr std::size_t kShownConnectionLength = 200;
std::string ShownConnection(std::string_view text);

// A connection string taken apart.
struct TConnectionParts {
  static constexpr uint8_t kNoUserID = 255;
  uint8_t UserID = kNoUserID;
  std::string Port;
  std::string Baud;
  bool IsHost = false;        // "HOST:/" names a host to resolve
  bool LoopForEver = false;   // " LOOP_FOR_EVER": a replayed file starts again at its end
  bool WaitInterval = false;  // " WAIT_INTERVAL": a replayed file keeps the measurement pace
};

// What a device of an added connection kind is made with.
struct TDeviceMakeArgs {
  int LogId;
  int MultiId;
  TVQ_Event* ReceiveEvent;  // none: the process-wide event
  bool DoResetEvent;
  const TConnectionParts& Parts;
};
using TDeviceMaker = std::function<std::shared_ptr<TVQ_BaseDevice>(const TDeviceMakeArgs&)>;

// Adds a kind of connection to the library's own: a connection string
// "NAME:..." (NAME in any letter case) opens the device that `maker` builds;
// an empty maker removes the kind. The library's own kinds always win.
void RegisterConnectionKind(const std::string& name, TDeviceMaker maker);

// One open measurement connection of the library: it parses the connection
// string, creates the device and its report layer, turns every binary report
// into a report line, checks the data rate against the timestamps (7F22),
// detects cleared receive buffers (7022, 7F23), checks commands before they
// reach the counter, and records report lines and raw bytes.
//
// Threads: the acquisition thread polls (GetReport) while the main thread
// opens, closes, sends commands and changes settings.
// - An open or a close holds the source exclusively for its whole run, which
//   can take seconds (the too-many-users check, a slow network). A poll that
//   finds it so delivers nothing this pass and a command is refused as
//   without connection, both at once: one slow connection never stops the
//   acquisition of the others. A close waits for a poll in progress.
// - Device queries never wait: they read the installed device's atomics.
// - The source lock covers the device, the report layer and the decoding
//   state, so a poll never overlaps a command or a change of settings.
class TSourceItem : private TVQ_DecoderHost {
 public:
  // `aReceiveEvent` (not owned; none = the process-wide event) is what the
  // devices of this source signal when bytes arrive.
  TSourceItem(int aMultiId, TVQ_Event* aReceiveEvent, bool aDoResetEvent);
  ~TSourceItem() override;
  TSourceItem(const TSourceItem&) = delete;
  TSourceItem& operator=(const TSourceItem&) = delete;

  int MultiId() const { return FMultiId; }

  // ---- connection ------------------------------------------------------------
  // VQ_Err_BadFormat for an invalid string. `logId` gets the parse's lines.
  static TVQ_Result SplitConnectionString(std::string_view s, TConnectionParts& parts, int logId = -1,
                                          std::string_view logTag = {});
  // Creates and opens the device the parts name; on failure ErrorMessage()
  // says why. A connection of the wrong form fails with VQ_Err_BadFormat and
  // a message that the caller completes with the connection string.
  TVQ_Result OpenConnection(const TConnectionParts& parts, bool blockingIO, bool contextMode);
  // Opens an existing device as this source's connection (the kinds that
  // OpenConnection creates, and devices that tests build).
  TVQ_Result OpenDevice(std::shared_ptr<TVQ_BaseDevice> device, const TConnectionParts& parts, bool blockingIO,
                        bool contextMode);
  void CloseConnection();
  std::string ErrorMessage() const;

  // ---- reading ---------------------------------------------------------------
  // One poll: the next report line (empty when there is none, and while an
  // open or close runs), the result and the counter time in ms (-1 without a
  // device).
  TVQ_Result GetReport(std::string& line, int64_t& deviceMs);

  // ---- commands --------------------------------------------------------------
  // Checks the command against the counter and sends or queues it. On
  // refusal `cmd` becomes the reason.
  TVQ_Result SendCommand(std::string& cmd);
  int GetPendingCmdsCount() const;

  // ---- device queries (neutral values without a device) ----------------------
  uint32_t GetBufferAmount() const;
  void GetBufferAmounts(uint32_t& amount, uint32_t& highAmount) const;
  uint32_t GetTransmitBufferAmount() const;
  uint16_t GetHardFeature() const;
  uint32_t GetHardFeature32() const;
  int GetFirmwareVersion() const;
  uint8_t GetUserID() const;
  int GetDevType() const;  // 255 without a device
  int64_t GetSerialNumber() const;  // -1 when unknown
  bool IsFileDevice() const;
  TVQ_DeviceStartState DeviceStartState() const;
  std::optional<TVQ_DeviceInfo> GetDeviceInfo() const;
  bool ReferenceClockError() const;
  std::string GetDebugFilename() const;
  std::string GetToolsDataString();          // everything the tools ring holds
  std::string GetToolsData(std::size_t count);  // up to `count` bytes of it

  // ---- settings ----------------------------------------------------------------
  // Empty on success, else why the folder cannot be used.
  std::string SetOutputPath(const std::string& path);
  bool SetCalibFactorFloatToInt(int value);
  int CalibFactorFloatToInt() const;
  void SetOpt7019(bool value);
  void SetOptRawData(bool value);
  bool SetDecimalSeparator(char separator);
  void SetSend7016(bool value);
  void SetIsQMTonly(bool value);
  void SetCmdLimit(uint32_t limit);

  // ---- logs --------------------------------------------------------------------
  // The open error of the log, empty on success.
  std::string SetDebugLog(bool on, const std::string& dbgId, bool errorOnly);
  std::string SetDebugLogStream(bool on, const std::string& dbgId, bool errorOnly);
  void SetDebugLimit(TLogLimitType type, uint32_t size);
  void SetLowLevelLog(bool value);
  void SetReportLog(bool value);
  int LogId() const { return FLogId; }
  int StreamLogId() const { return FLogIdStream; }        // also the device's report log
  int StreamDbgLogId() const { return FLogIdStreamDbg; }  // also the device's frame log

  // ---- recording ---------------------------------------------------------------
  bool StartSaveBinaryData(const std::string& dbgId);
  bool StopSaveBinaryData();
  bool StartSaveReportData(const std::string& dbgId);
  bool StopSaveReportData();  // false when none ran

 private:
  // TVQ_DecoderHost
  uint32_t ReceivedSec() const override;
  void SetReceivedSec(uint32_t sec) override;
  void ReSync() override;
  void VersionDecoded() override;
  void SetReferenceClockError(bool value) override;
  uint8_t UserID() const override;
  std::string CheckDataPerSecondCounter(uint16_t code) override;
  std::string Check7902Report(std::string_view payload) override;

  // The installed connection, as the queries see it.
  struct TInstalled {
    std::shared_ptr<TVQ_BaseDevice> Device;
    std::shared_ptr<TVQ_ReportDevice> Report;  // over Device, so freed first
  };
  TInstalled Installed() const;
  // Installs `next` (FLock held) and hands back what was installed, to be
  // freed by the caller outside FDeviceLock.
  TInstalled Install(TInstalled next);

  TVQ_Result GetReportLocked(std::string& line, int64_t& deviceMs);
  TVQ_Result CreateDevice(const TConnectionParts& parts, std::shared_ptr<TVQ_BaseDevice>& device);
  TVQ_Result OpenDeviceLocked(std::shared_ptr<TVQ_BaseDevice> device, const TConnectionParts& parts,
                              bool blockingIO, bool contextMode);
  TVQ_Result CheckTooManyUsers(bool blockingIO);
  void CloseConnectionLocked();
  void SetActualDevice(std::shared_ptr<TVQ_BaseDevice> device);
  TVQ_Result ProcessString(std::string& report, bool& generated);
  TVQ_Result ConnectionError(TVQ_Result result, std::string& line);
  void AfterLine(const std::string& line);
  void WriteReport(const std::string& line);
  bool IsTextDevice() const;
  void Log(std::string_view text) const;
  void LogErr(std::string_view text) const;

  const int FMultiId;
  TVQ_Event* const FReceiveEvent;
  const bool FDoResetEvent;
  const int FLogId;
  const int FLogIdStream;
  const int FLogIdStreamDbg;
  const std::string FDbgTag;

  // Held exclusively by an open or close for its whole run; a poll and a
  // command only try it, shared. Taken before FLock.
  mutable std::shared_mutex FOpenGate;
  mutable std::recursive_mutex FLock;
  // The installed device and its report layer: changed with FLock and
  // FDeviceLock held, read with either (queries copy them under FDeviceLock).
  mutable std::mutex FDeviceLock;
  std::shared_ptr<TVQ_BaseDevice> FDevice;
  std::shared_ptr<TVQ_ReportDevice> FActualDevice;
  // The report layer's firmware version after the last poll, for queries.
  std::atomic<int> FReportFirmwareVersion{TVQ_VersionInfo::kUnknownVersion};
  bool FOpt7019 = false;
  std::string FOutputPath;
  bool FIsQMTonly = false;
  bool FisHost = false;
  std::string FDeviceVersion = "Device Version not received yet";
  bool FLowLevelLog = false;
  std::string FErrorMessage;
  uint32_t FCmdLimit = 0;
  std::deque<std::string> FProcessStringReceived;  // binary reports kept for the next reads
  std::string FProcessStringReceived_ASCII;  // report line kept for the next read
  std::string FLastDeviceErrorMessage;
  int FReportStream = -1;                    // recording of report lines, or -1
  bool FileDataLoopForEver = false;
  bool FileDataWait = false;
  bool FReferenceClockError = false;
  // Also holds the switches that shape the lines: decimal separator,
  // raw-data option, 7016 lines, 7901 divisor, report log.
  TVQ_ReportDecoder FDecoder;
};
