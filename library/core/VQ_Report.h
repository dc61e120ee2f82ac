#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "library/core/VQ_CommonTypes.h"
#include "library/core/VQ_Timestamps.h"
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
  TVQ_ReportDevice(TVQ_BaseDevice& aDevice, int multiId);
  TVQ_ReportDevice(const TVQ_ReportDevice&) = delete;
  TVQ_ReportDevice& operator=(const TVQ_ReportDevice&) = delete;

  // One binary report in `report`, empty when none is complete yet. For a
  // result other than VQ_No_Err, `report` carries the message.
  TVQ_Result GetReport(std::string& report);

  // Writes the command now or queues it for the next command step. Callable
  // from any thread.
  TVQ_Result SendCommand(const std::string& value);
  int GetPendingCmdsCount() const;

  void ReSync();
  void ResetLastFPGA();
  int64_t DeviceMs() const { return FTimestamps.DeviceMs(); }
  const TVQ_VersionInfo& VersionInfo() const { return FVersionInfo; }
  bool VersionReceived() const { return FVersionReceived; }

  // Write every raw report to the debug log.
  bool LogReport = false;

 private:
  enum class TFraming { None, Usb, Tcp, TcpArchive, Demo };
  enum class TCommandStep { None, Base, File, NotSupported };

  TVQ_Result ReadReport(std::string& report);
  TVQ_Result UsbGetReport(std::string& report);
  TVQ_Result TcpGetReport(std::string& report);
  TVQ_Result TcpArchiveGetReport(std::string& report);
  TVQ_Result DemoGetReport(std::string& report);

  // USB steps
  bool SkipPendingFrameEnd(TVQ_Result& result, std::string& report);
  bool SkipToFrameEnd(TVQ_Result& result, std::string& report);
  TVQ_Result FormatError(std::string& report, const std::string& message, bool resync);
  void AfterUsbFrame(std::string& report);
  void TakeVersionReport(std::string& report, const char* caller);

  TVQ_Result CheckDeviceError(std::string& report);
  TVQ_Result RunCommandStep(std::string& report);
  TVQ_Result BaseProcessCommand(std::string& report);
  TVQ_Result FileProcessCommand(std::string& report);
  void SwitchToCommandsWhenWaiting();

  void Log(const std::string& text) const;
  void LogErr(const std::string& text) const;

  TVQ_BaseDevice& FDevice;
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
  bool FVersionReceived = false;
  int FLastFPGA = -1;

  TVQ_VersionInfo FVersionInfo;
  TVQ_TimestampTracker FTimestamps;
};
