#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "library/core/CircularBuffer.h"
#include "library/core/VQ_CommonTypes.h"
#include "library/core/VQ_DllCommon.h"
#include "library/platform/VQ_Clock.h"
#include "library/platform/VQ_Event.h"

// Texts of the device enumerations for the debug logs. The argument is the
// ordinal, so values outside the enumeration still have a text.
std::string DeviceTypeText(int ordinal);  // member name, else the number
std::string_view DeviceStartStateText(int ordinal);  // "unknown" outside
inline std::string DeviceTypeText(TVQ_DeviceType t) { return DeviceTypeText(static_cast<int>(t)); }
inline std::string_view DeviceStartStateText(TVQ_DeviceStartState s) {
  return DeviceStartStateText(static_cast<int>(s));
}

// Read and write operations of the worker that currently serves a device.
using TVQ_Read = std::function<std::string(uint8_t len)>;
using TVQ_Write = std::function<bool(std::string& data)>;

// Abstract base of every transport. A device moves the bytes its counter sends
// into the receive ring (measurement data) or the tools ring (answers to tool
// commands), keeps the counter's identity and the device's sticky error state,
// and holds the pacing rules the report layer obeys before it sends the next
// command: a delay, and a command response that must be seen first.
//
// Threads: the transport's worker writes the rings, the identity and the
// pacing fields; the acquisition thread reads and sends commands; the main
// thread opens, closes and configures. Scalars are atomics, strings and pairs
// of values are taken under the device's locks.
class TVQ_BaseDevice {
 public:
  static constexpr uint32_t kUnknownSerial = 0xFFFFFFFF;
  static constexpr uint8_t kNoUserID = 255;
  static constexpr uint8_t kNoBlobNumber = 255;
  static constexpr uint16_t kNoReportHeader = 0xFFFF;
  static constexpr uint32_t kDefaultReadTimeoutMs = 200;
  static constexpr int kFlagVersionFirmware = 113;  // above: the newer transmit report
  static constexpr std::size_t kToolsReadPiece = 255;
  // An awaited command response, or the "report missing" state after a
  // delay, ends after this time: a counter that ignored one command must not
  // block every later one. Longer than the login wait (5 s) and the repeat
  // delay (1 s), so neither is cut short.
  static constexpr std::chrono::milliseconds kCmdResponseTimeout{10000};

  // aReceiveEvent is shared with the caller and not owned; without one the
  // device uses the process-wide receive event that the acquisition thread
  // waits on.
  TVQ_BaseDevice(int aLogId, int aMultiId, TVQ_Event* aReceiveEvent, bool aDoResetEvent,
                 const TVQ_Clock& clock = SystemClock());
  virtual ~TVQ_BaseDevice();
  TVQ_BaseDevice(const TVQ_BaseDevice&) = delete;
  TVQ_BaseDevice& operator=(const TVQ_BaseDevice&) = delete;

  // Tag of the log lines that name the class ("TVQ_SerialDevice.SetUserID ...").
  virtual std::string ClassName() const { return "TVQ_BaseDevice"; }
  // How log lines name the device ("Device=" + this).
  std::string DeviceText() const;

  // ---- virtual operations --------------------------------------------------
  virtual uint32_t GetBufferAmount() const;
  virtual uint32_t GetBufferHighAmount() const;
  virtual void SetDeviceStartState(TVQ_DeviceStartState value);
  virtual void SetReceivedSec(uint32_t value);
  virtual void SetReferenceClockError(bool value);
  virtual uint32_t GetSerialNumberValue() const;
  virtual void SetLowLevelLog(bool value);
  // True when the connection is found closed; sets the error state then.
  virtual bool CheckDeviceClosed() = 0;
  virtual int GetPendingCmdsCount() const { return 0; }
  // Takes effect only while the port is closed.
  virtual void SetBlockingIO(bool value);
  virtual void SetReadTimeoutMs(uint32_t value);
  virtual int GetDelayNextCmdMs();
  virtual void SetDelayNextCmdMs(int ms);
  virtual void DeleteCommands() {}
  virtual void ResetDevice() {}
  virtual void QuitError();
  virtual bool ClosePort() = 0;
  virtual bool OpenPort(std::string& errorMsg) = 0;
  // Reads return exactly `len` bytes or nothing; a blocking device waits up
  // to the read time-out once when nothing is there.
  virtual std::string DeviceRead(uint8_t len);
  virtual std::string DeviceReadAnsi(uint8_t len);
  // True when the command was sent or queued.
  virtual bool DeviceWrite(std::string& data) = 0;
  virtual std::string ToolsRead(uint8_t len);
  virtual std::string ToolsReadAnsi(uint8_t len);
  virtual bool ConfirmPeekedData(uint32_t len);
  virtual std::string PeekAnsi(uint32_t len);
  // Up to `maxLen` of the bytes held, without consuming them. With nothing
  // held it asks the transport like every read (refill, lost connection,
  // blocking wait) and then takes what has arrived.
  std::string PeekUpTo(uint32_t maxLen);
  virtual bool PeekChar(char& zeichen);
  virtual std::string PeekData(uint32_t len);
  virtual void GetBufferAmounts(uint32_t& amount, uint32_t& highAmount) const;
  virtual bool IsEqual(const TVQ_BaseDevice* item) const { return item == this; }

  // ---- reading -------------------------------------------------------------
  // Open, or closed with bytes still to decode.
  bool PortIsOpened() const;
  bool ReceiveBufferCleared();
  // Everything the tools ring held at the call.
  std::string ToolsReadAll();
  std::string ToolsReadAllAnsi() { return ToolsReadAll(); }

  // ---- writing -------------------------------------------------------------
  // DeviceWrite as a result: the error the device recorded, or VQ_WriteError
  // when a failed write recorded none (a failure is never a success).
  TVQ_Result WriteData(std::string& data, std::string& message);

  // ---- command pacing ------------------------------------------------------
  // The awaited response; one awaited longer than kCmdResponseTimeout is
  // cleared here (with a log line).
  TCmdResponseType GetCmdResponse();
  void SetCmdResponse(TCmdResponseType value);
  // For an ESP peer: the response the command makes the device wait for.
  void SetCmdResponseForCommand(std::string_view cmd);
  // Clears the awaited response when this measurement header of an ESP frame
  // shows the command took effect; `logTag` starts the log line (for example
  // "TVQ_UsbDevice.ReadESP PAVMeasurement, "). Stores the header.
  void CheckMeasurementResponse(uint16_t newHeader, std::string_view logTag);
  // A status record of the 7020 kind ends any awaited response but a channel one.
  void CheckStatusResponse();
  void SetLastCommand(const std::string& value);
  std::string LastCommand() const;
  uint8_t BlobNumber() const { return FBlobNumber.load(); }
  static bool Is7020Cmd(std::string_view cmd);
  static bool IsChannelCmd(std::string_view cmd);
  static bool IsReadNVSCmd(std::string_view cmd);
  bool HasCommandList() const { return FHasCommandList.load(); }
  void SetHasCommandList(bool value) { FHasCommandList = value; }

  // ---- identity and state --------------------------------------------------
  void SetSerialNumberValue(uint32_t value);
  bool SerialNumberRead() const { return FSerialNumberRead.load(); }
  uint8_t GetUserID() const { return FCFuserID.load(); }  // granted by the counter
  void SetUserID(uint8_t value);                           // requested slot 1..4
  uint8_t RequestedUserID() const { return FUserID.load(); }
  void SetCFUserID(uint8_t value);
  void SetHardFeature(uint16_t value);
  void SetHardFeature32(uint32_t value);
  uint16_t HardFeature() const { return FHardFeature.load(); }
  uint32_t HardFeature32() const { return FHardFeature32.load(); }
  void SetFirmwareVersionNumber(int value);
  int FirmwareVersionNumber() const { return FFirmwareVersionNumber.load(); }
  bool FlagVersion() const { return FFlagVersion.load(); }
  void SetESPFirmwareVersion(int aMajor, int aMinor);
  void GetESPFirmwareVersion(int& aMajor, int& aMinor) const;
  void SetFFPGAVersion(const std::string& value);
  std::string FPGAVersion() const;
  TVQ_FPGAType FPGAType() const { return FFPGAtype.load(); }
  // Only replayed files take a peer type from outside; other transports
  // detect it themselves (StorePeerType).
  void SetPeerType(TVQ_PeerType value);
  TVQ_PeerType PeerType() const { return FPeerType.load(); }
  void SetPAVReportHeader(uint16_t value);
  uint16_t PAVReportHeader() const { return FPAVReportHeader.load(); }
  TVQ_DeviceStartState DeviceStartState() const { return FDeviceStartState.load(); }
  bool LowLevelLog() const { return FLowLevelLog.load(); }
  uint32_t ReadTimeoutMs() const { return FReadTimeoutMs.load(); }
  bool BlockingIO() const { return FBlockingIO.load(); }
  uint32_t ReceivedSec() const { return FReceivedSec.load(); }
  bool ReferenceClockError() const { return FReferenceClockError.load(); }
  void IncReportCounter() { ++FReportCounter; }
  uint32_t ReportCounter() const { return FReportCounter.load(); }
  void ResetReportCounter() { FReportCounter = 0; }
  // Switching between real and simulated data empties the receive ring.
  void SetDemoData(bool value);
  bool DemoData() const { return FDemoData.load(); }
  // Reopens an open port in the new mode.
  void SetContextTool(bool value);
  bool ContextTool() const { return FContextTool.load(); }
  void SetDoResetEvent(bool value);
  bool DoResetEvent() const { return FDoResetEvent.load(); }
  // Four slots of four bytes, each a big-endian number.
  void SetUserConnected(std::string_view ansi);
  std::string UserConnected() const;
  // Decides cold or warm start from the first timestamp report seen.
  void CheckTimeStampBytes(std::string_view ansi);
  std::optional<TVQ_DeviceInfo> GetDeviceInfo() const;
  bool IsUSBDevice() const;
  std::string COMName() const;
  std::string DevicePath() const;
  TVQ_DeviceType DevType() const { return FDevType.load(); }
  int LogId() const { return FLogId; }
  // The owner's logs of the received stream: one line per report (the
  // report log) and the raw frames (the frame log). -1 (none) until given;
  // their numbers are whatever the owner was handed, never LogId() + n.
  void SetStreamLogIds(int reportLogId, int frameLogId);
  int ReportLogId() const { return FReportLogId.load(); }
  int FrameLogId() const { return FFrameLogId.load(); }
  int MultiId() const { return FMultiId; }
  void SetCalibFactorFloatToInt(int value);
  int CalibFactorFloatToInt() const { return FCalibFactorFloatToInt.load(); }
  bool ForcedClose() const { return FForcedClose.load(); }
  void SetForcedClose(bool value) { FForcedClose = value; }
  uint32_t PeerRepeatAddr() const { return FPeerRepeatAddr.load(); }
  void SetPeerRepeatAddr(uint32_t value) { FPeerRepeatAddr = value; }
  uint32_t CFBufferAmount() const { return FCFBufferAmount.load(); }
  void SetCFBufferAmount(uint32_t value) { FCFBufferAmount = value; }
  bool Opt7019() const { return FOpt7019.load(); }
  void SetOpt7019(bool value) { FOpt7019 = value; }
  const TFormatSettings& FormatSettings() const { return FFormatSettings; }

  // ---- error state ---------------------------------------------------------
  // Sticky until QuitError or TakeError.
  void SetError(TVQ_Result code, const std::string& message);
  // errno with its system text.
  void SetSystemError(const std::string& text);
  // header + ": (" + number + ")=" + content.
  void SetSystemError(uint32_t lastError, const std::string& textHeader, const std::string& textContent);
  TVQ_Result ErrorCode() const;
  std::string ErrorMessage() const;
  uint32_t SystemLastError() const;
  // Reads and clears the error state in one step, so an error a worker
  // records meanwhile is neither lost nor paired with another's message.
  TVQ_Result TakeError(std::string& message);

  // ---- capture of received bytes -------------------------------------------
  bool StartSaveBinaryData(const std::string& filename);
  bool StopSaveBinaryData();
  void SaveBinaryData(std::string_view bytes);
  bool IsSavingBinaryData() const;
  bool BinSaveRawData() const { return FBinSaveRawData.load(); }

  // ---- waiting (workers) ---------------------------------------------------
  // True when the receive event is set within the read time-out.
  bool WaitReceiveEvent();
  // Pauses `ms` on the device's clock. False when CancelWaits ended it early.
  bool WaitSleep(uint32_t ms);
  // Ends running and later WaitSleep calls at once (close, shutdown) until
  // ResumeWaits.
  void CancelWaits();
  void ResumeWaits();

 protected:
  // The serving worker's operations (USB). The transport that points them at
  // a worker guards the switch against its own readers.
  TVQ_Read FRead;
  TVQ_Write FWrite;

  // For the transports.
  TCircularBuffer& ReceiveBuffer() { return *FReceiveBuffer; }
  TCircularBuffer& ToolsBuffer() { return *FToolsBuffer; }
  TVQ_Event& ReceiveEvent() const { return *FReceiveEvent; }
  const TVQ_Clock& Clock() const { return FClock; }
  void SetDevType(TVQ_DeviceType value) { FDevType = value; }
  void SetDevicePath(const std::string& value);
  void SetPortOpened(bool value) { FPortIsOpened = value; }
  bool PortOpenedFlag() const { return FPortIsOpened.load(); }
  void StorePeerType(TVQ_PeerType value);
  void Log(std::string_view text) const;
  void LogErr(std::string_view text) const;

 private:
  using TimePoint = TVQ_Clock::Monotonic::time_point;

  static int64_t ElapsedMs(TimePoint from, TimePoint to);
  void StoreCmdResponse(TCmdResponseType value);  // FPacingLock held
  void StopCaptureLocked();                       // FCaptureLock held

  const TVQ_Clock& FClock;
  const int FLogId;
  const int FMultiId;
  std::atomic<int> FReportLogId{-1};
  std::atomic<int> FFrameLogId{-1};
  const TFormatSettings FFormatSettings;

  std::atomic<int> FCalibFactorFloatToInt{0};

  // Pacing: the delay and the awaited response with the times they started.
  mutable std::mutex FPacingLock;
  TCmdResponseType FCmdResponse = TCmdResponseType::crt_none;
  TimePoint FCmdResponseStartTime{};
  int FDelayNextCmdMs = 0;
  TimePoint FDelayNextCmdStartTime{};

  std::atomic<uint16_t> FPAVReportHeader{kNoReportHeader};
  std::atomic<uint8_t> FBlobNumber{kNoBlobNumber};
  std::atomic<bool> FContextTool{false};
  std::atomic<TVQ_DeviceStartState> FDeviceStartState{TVQ_DeviceStartState::ds_unknown};
  std::atomic<bool> FReferenceClockError{false};
  std::atomic<uint8_t> FUserID{kNoUserID};
  std::atomic<int> FFirmwareVersionNumber{0};
  std::atomic<bool> FFlagVersion{false};
  std::atomic<uint16_t> FHardFeature{0};
  std::atomic<uint32_t> FHardFeature32{0};
  std::atomic<bool> FOpt7019{false};
  std::atomic<bool> FDemoData{false};
  std::atomic<bool> FLowLevelLog{false};
  std::atomic<TVQ_FPGAType> FFPGAtype{TVQ_FPGAType::ft_unknown};
  std::atomic<bool> FDoResetEvent{false};
  std::atomic<uint32_t> FReceivedSec{0};
  std::atomic<bool> FSerialNumberRead{false};
  std::atomic<bool> FBinSaveRawData{false};
  std::atomic<uint32_t> FCFBufferAmount{0};
  std::atomic<uint8_t> FCFuserID{kNoUserID};
  std::atomic<TVQ_DeviceType> FDevType{TVQ_DeviceType::VQ_Serial};
  std::atomic<uint32_t> FPeerRepeatAddr{0};
  std::atomic<TVQ_PeerType> FPeerType{TVQ_PeerType::ptUnknown};
  std::atomic<uint32_t> FReportCounter{0};
  std::atomic<uint32_t> FSerialNumberValue{kUnknownSerial};
  std::atomic<bool> FPortIsOpened{false};
  std::atomic<bool> FForcedClose{false};
  std::atomic<bool> FBlockingIO{false};
  std::atomic<bool> FHasCommandList{false};
  std::atomic<uint32_t> FReadTimeoutMs{kDefaultReadTimeoutMs};

  // Texts written by one thread and read by another.
  mutable std::mutex FTextLock;
  std::string FLastCommand;
  std::string FFPGAVersion;
  std::string FUserConnected;
  std::string FDevicePath;
  int FFirmwareVersionMajor = -1;  // the pair changes together
  int FFirmwareVersionMinor = -1;

  mutable std::mutex FErrorLock;
  TVQ_Result FErrorCode = TVQ_Result::VQ_No_Err;
  std::string FErrorMessage;
  uint32_t FSystemLastError = 0;

  TVQ_Event* const FReceiveEvent;
  const std::unique_ptr<TCircularBuffer> FReceiveBuffer;
  const std::unique_ptr<TCircularBuffer> FToolsBuffer;

  mutable std::mutex FCaptureLock;
  int FBinDataStream = -1;  // descriptor of the capture file

  std::mutex FWaitLock;
  std::condition_variable FWaitChanged;
  bool FWaitsCancelled = false;
};
