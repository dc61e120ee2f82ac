#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "library/core/VQ_CommonTypes.h"
#include "library/core/VQ_EspRecord.h"
#include "library/core/VQ_SerialFrame.h"
#include "library/core/VQ_Timestamps.h"
#include "library/core/VQ_UsbFrame.h"
#include "library/core/VQ_VersionInfo.h"
#include "library/platform/VQ_Clock.h"

class TVQ_BaseDevice;

// The report layer of one device: cuts the device's byte stream into checked
// binary reports, one per GetReport call, resynchronises after errors, writes
// queued commands between two reports, learns the counter's identity from its
// version report and follows the counter's clock.
//
// The framings themselves are pure code (VQ_UsbFrame, VQ_StreamFrames); this
// class feeds them from the device's receive ring, consumes what they used and
// carries the resynchronisation state from call to call.
class TVQ_ReportDevice {
 public:
  // `aDevice` outlives the report layer; `multiId` names it in the log tag.
  // The clock times the serial poll and the ESP supervision.
  TVQ_ReportDevice(TVQ_BaseDevice& aDevice, int multiId, const TVQ_Clock& clock = SystemClock());
  TVQ_ReportDevice(const TVQ_ReportDevice&) = delete;
  TVQ_ReportDevice& operator=(const TVQ_ReportDevice&) = delete;

  // One binary report in `report`, empty when none is complete yet. For a
  // result other than VQ_No_Err, `report` carries the message.
  TVQ_Result GetReport(std::string& report);

  // Writes the command now or queues it for the next command step. Callable
  // from any thread. A write that fails now leaves the device's message in
  // `failure`.
  TVQ_Result SendCommand(const std::string& value, std::string* failure = nullptr);
  int GetPendingCmdsCount() const;

  void ReSync();
  void ResetLastFPGA();
  // A buffer-clearing command completed on the serial line (read clears it).
  bool SerialBufferCleared();
  int64_t DeviceMs() const { return FTimestamps.DeviceMs(); }
  const TVQ_VersionInfo& VersionInfo() const { return FVersionInfo; }
  bool VersionReceived() const { return FVersionReceived; }

  // Write every raw report to the debug log.
  bool LogReport = false;

 private:
  // Resynchronisation looks at no more than this per call, in stretches that
  // start at kResyncFirstPeek and grow fourfold: the place to resume is
  // usually near, and copying all that is held at every error is dear.
  static constexpr uint32_t kResyncPeek = 65536;
  static constexpr uint32_t kResyncFirstPeek = 64;

  // The held bytes looked at, and where in them `place` says reading may
  // resume (npos: nowhere in them).
  struct TResyncPeek {
    std::string Held;
    std::size_t Place;
  };

  enum class TFraming { None, Usb, Serial, Esp, FileBin, FileText, Tcp, TcpArchive, Demo };
  enum class TCommandStep { None, Base, Serial, File, NotSupported };

  TVQ_Result ReadReport(std::string& report);
  TVQ_Result UsbGetReport(std::string& report);
  TVQ_Result TcpGetReport(std::string& report);
  TVQ_Result TcpArchiveGetReport(std::string& report);
  TVQ_Result DemoGetReport(std::string& report);
  TVQ_Result SerialGetReport(std::string& report);
  TVQ_Result ProcessCommandSerial(std::string& report);
  TVQ_Result SerialSilence(TVQ_Result result, const std::string& errorText, std::string& report);
  TVQ_Result SerialFrameReceived(std::string& report);
  void FinishSerialCommand(TVQ_Result& result, std::string& report);
  bool WriteSerialByte(uint8_t b, const std::string& step, TVQ_Result& result, std::string& report);
  void Trace(const char* before, uint8_t b, const char* after, bool endLine = false) const;
  TVQ_Result FileGetBinReport(std::string& report);
  TVQ_Result FileGetTextReport(std::string& report);

  // ESP transmit records (VQ_ReportEsp.cpp)
  TVQ_Result GetESPReport(std::string& report);
  bool SkipToEspMagic(TVQ_Result& result, std::string& report);
  TVQ_Result EspDeviceError(std::string& report);
  TVQ_Result EspBadRecord(std::string& report, std::string_view bytes, const std::string& check);
  void EspTimestamp(const TEspRecord& record, std::deque<std::string>& reports);
  void EspMeasurement(const TEspRecord& record, std::deque<std::string>& reports);
  void EspLearnFileTimeConvention(int fpgaTime, int intervalMs);
  void EspCheckFpgaTime(int fpgaTime, int intervalMs, std::deque<std::string>& reports);
  void EspLibraryTimestamps(int fpgaTime, std::deque<std::string>& reports);
  void EspMessage(std::deque<std::string>& reports);
  void EspVersion(std::deque<std::string>& reports);
  void EspHeartbeat(std::deque<std::string>& reports);
  void EspClearReceiveTicks();
  TVQ_Result DeliverEspReports(std::deque<std::string>& reports, std::string& report);

  // USB steps
  bool SkipPendingFrameEnd(TVQ_Result& result, std::string& report);
  bool SkipToFrameEnd(TVQ_Result& result, std::string& report);
  TVQ_Result FormatError(std::string& report, const std::string& message, bool resync);
  void LogUsbFrameError(const TUsbFrameDecode& decoded, std::string_view frame) const;
  TResyncPeek PeekForResync(std::size_t (*place)(std::string_view));
  void DropForResync(std::string_view held, std::size_t dropped, const char* what);
  void AfterUsbFrame(std::string& report);
  void TakeVersionReport(std::string& report, const char* caller);

  TVQ_Result CheckDeviceError(std::string& report);
  TVQ_Result RunCommandStep(std::string& report);
  TVQ_Result BaseProcessCommand(std::string& report);
  TVQ_Result FileProcessCommand(std::string& report);
  bool CommandNotedInLogs() const;
  void SwitchToCommandsWhenWaiting();

  void Log(const std::string& text) const;
  void LogErr(const std::string& text) const;
  // The debug log is on: lines that dump bytes are only built then.
  bool Logging() const;

  TVQ_BaseDevice& FDevice;
  const TVQ_Clock& FClock;
  const std::string FDbgTag;
  const int FLogId;

  TFraming FFraming = TFraming::None;
  TCommandStep FCommandStep = TCommandStep::None;

  // Commands: changed by SendCommand on the caller's thread and by the
  // command step on the acquisition thread.
  mutable std::mutex FCmdLock;
  std::deque<std::string> FCmdList;
  TReadModes FRxMode = TReadModes::rxData;

  bool FIgnoreNextFormatError = false;
  bool FmissingBF = false;
  bool FignoreNextBF = false;
  bool FMissingKennung = false;
  // The bytes held start after a dropped stretch, not at a bad marker.
  bool FResyncFromStart = false;
  // Cleared by SendCommand on the caller's thread, read while reading.
  std::atomic<bool> FVersionReceived{false};
  int FLastFPGA = -1;

  TVQ_VersionInfo FVersionInfo;
  TVQ_TimestampTracker FTimestamps;

  // ---- serial line ----
  TVQ_SerialFramer FSerialFramer;
  std::optional<TVQ_Clock::Monotonic::time_point> FRxDTime;  // last byte received
  std::string FCmdStringSerial;  // the command being written
  std::string FCMDEcho;          // its echo so far
  std::size_t FCmdCharCount = 0;
  TVQ_Clock::Monotonic::time_point FCmdStartTime{};
  bool FSerialBufferCleared = false;

  // ---- ESP transmit records (owned by VQ_ReportEsp.cpp) ----
  bool FPAVMeasIntervalEnd = false;
  uint8_t FLastMeasMode = 255;
  int FOffsetFPGA = 0;
  bool FRefClockError = false;
  bool FRefClockErrorSend = false;
  bool FPowerUpNoReference = false;
  std::deque<std::string> FSaveData;  // reports made ahead, delivered first
  // Times of the first record, the last timestamp and the last measurement;
  // empty = none (the tick fields' 0).
  std::optional<TVQ_Clock::Monotonic::time_point> FFirstReceiveTicks;
  std::optional<TVQ_Clock::Monotonic::time_point> FReceiveTicksTimestamp;
  std::optional<TVQ_Clock::Monotonic::time_point> FReceiveTicksMeasuremnt;
  // A bad record was met: bytes are dropped up to the next magic.
  bool FEspMissingMagic = false;
};
