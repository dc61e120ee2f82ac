#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/core/App_DateTime.h"
#include "app/core/App_Sessions.h"
#include "library/sources/MultiSource.h"

class TPAV_DataManagement;
class TQMT_DataManagement;

// What the report evaluation needs from its counter session: commands,
// messages, hand-over items, debug lines, the multi-sampler, the library's
// knowledge of the counter, and the clocks. Called on the acquisition thread
// with the evaluation's lock held: implementations only enqueue or call the
// library, and never call back into the evaluation.
class TReportEvalHost {
 public:
  virtual ~TReportEvalHost() = default;

  virtual bool SendCommand(const std::string& command) = 0;
  virtual void PostMessage(TMsgType kind, int code, int subCode, const std::string& text) = 0;
  virtual void PostSync(int what, int code, int aInt, const std::string& text) = 0;
  virtual void Log(const std::string& text) = 0;
  virtual void LogErr(const std::string& text) = 0;
  virtual bool LogWanted() const = 0;
  virtual bool ReportDebug() const = 0;  // log every evaluated line

  virtual void SamplerEvent(int event, const std::string& text) = 0;
  virtual void SamplerTimeStamp(int64_t time100ms) = 0;

  // The counter as the library knows it.
  virtual int DeviceStartState() = 0;  // TVQ_DeviceStartState ordinal
  virtual uint16_t HardFeature() = 0;
  virtual int FirmwareVersion() = 0;  // -1 unknown
  virtual int ReadPVHData() = 0;      // public result code

  // What the session keeps beside the evaluation.
  virtual void SetIntervalMs(int ms) = 0;
  virtual void FeatureBitsChanged(uint16_t feature, bool pavOnly, bool qmtOnly) = 0;

  virtual TUtcMs NowUtcMs() = 0;
  virtual int64_t MonotonicMs() = 0;
};

// Settings of the evaluation that the application and the session set.
struct TReportEvalOptions {
  std::string LogTimeFormat = "YYMMDD HHNNSS.ZZZ";
  bool LogTimeSourcePAV = false;   // counter time in the stores' time strings
  bool LogTimeZoneSystem = false;  // show UTC instead of local time
  bool ProfessionalMode = false;
  bool UseDeviceCalibration = true;
  bool RawAvg = false;
  int RawIntervalIndex = -1;
  bool ReportDataDuringReferenceClockError = true;
  char DecSep = ',';  // of the counter's report lines
};

// What the evaluation knows about the counter, for the status bar and tests.
struct TReportEvalState {
  uint32_t OldHeader = 0x10000;  // 0x10000 = none
  int Mode = 255;
  int IntervalIndex = -1;
  int IntervalMs = 1000;
  int Scrambler = 255;
  int PPI = 0;
  bool PhaDiffReset = false;  // a reset asked for, not yet confirmed
  bool WaitBufferCleared = false;
  bool WaitExpectedHeader = false;
  bool WaitPVHData = false;
  bool Wait7F51 = false;
  bool WaitRawTimestamp = false;
  bool ReferenceClockError = false;
  bool PLLError = false;
  int PLLokCount = 0;
  int OverflowCounter = 0;
  int64_t DeviceMs = -1;
  std::optional<TUtcMs> PAVDateTimeStart;
  std::optional<TUtcMs> PAVDateTime;
  std::string TimeString;  // the last one given to the stores
  std::string BufNo7000;
  std::string BufNo7015;
  std::string VersionString;
  uint16_t HardFeature = 0;
  bool PAVonly = false;
  bool QMTonly = false;
  bool IsESP = false;
  bool HasPPI = false;
  bool Demo = false;
  double RemainTime = 0.0;
};

// Evaluates the report lines of one counter session on the acquisition
// thread: follows the counter's data header, mode, interval, scrambler, PPI,
// reference-clock and PLL state and time base; walks the counter to a header
// the user asked for; holds data back while the session waits for the
// counter to settle; hands measurement lines to the stores and events to
// messages, the multi-sampler and the main thread.
//
// One lock covers every field: the acquisition thread evaluates, the main
// thread sets waits, options and the expected header and reads the state.
class TVQReportEvaluation {
 public:
  static constexpr uint32_t kNoHeader = 0x10000;
  static constexpr int64_t kPVHTimeoutMs = 1000;
  static constexpr int kPVHMaxRepeats = 2;
  // A steering command is repeated only after this much measurement time
  // (and at least kSteerRepeatGates gate times) passed without the header.
  static constexpr int64_t kSteerRepeatMs = 1000;
  static constexpr int64_t kSteerRepeatGates = 3;
  // A counter that ignores a setting (a simulated counter keeps phase mode)
  // must not hold log lines for ever: after this many repeats the wait ends.
  static constexpr int kSteerMaxRepeats = 3;
  // The PLL error clears after more than this much time of good data.
  static constexpr int64_t kPLLRecoveryMs = 4000;
  static constexpr int kInfoCalibrationChanged = 96;

  TVQReportEvaluation(TReportEvalHost& host, TPAV_DataManagement& pav, TQMT_DataManagement& qmt);
  TVQReportEvaluation(const TVQReportEvaluation&) = delete;
  TVQReportEvaluation& operator=(const TVQReportEvaluation&) = delete;

  // One line with the counter time in ms (-1 unknown). Never throws: a line
  // that cannot be evaluated is logged ".ReportAuswerten failed" and
  // dropped. False for such a line.
  bool ReportAuswerten(const std::string& line, int64_t deviceMs);

  // ---- opening and waits (main thread) ----------------------------------------
  // The device was opened: header, time base and error states start over;
  // the waits are set as the opening commands need them.
  void DeviceOpened(bool waitBufferCleared, bool waitPVHData, bool wait7F51);
  // A reconnection: the reference-clock error no longer holds.
  void ClearReferenceClockError();
  void ResetWaitBufferCleared();
  void ResetWaitExpectedHeader();
  void ResetWaitPVHData();
  void ResetWait7F51();
  // The header the counter shall be walked to (a user's change of mode,
  // interval or scrambler); log lines are held until it is there.
  // `sentCommand`: the command the caller already sent for it, which the
  // steering then waits for before it repeats it.
  void SetExpectedHeader(uint16_t header, const std::string& sentCommand = {});
  void SetAddedOpenCommands(std::vector<std::string> commands);
  // Reset of the phase differences asked for: the next 7020 confirms it.
  void SetPhaDiffReset(bool value);
  // The counter cannot reset its differences (it refused the command): the
  // differences the application computes start again from zero now.
  void ResetPhaseDifference();
  // In raw mode the counter stays at 1 ms: the user's interval (index 0..13)
  // is the application's, by which it gathers the millisecond lines.
  void SetRawInterval(int index);
  // Whether the QMT calibration stored in the counter is used: on applies the
  // device calibration once it is known (the time-interval logs wait for it
  // until then), off applies none and lets the logs run at once.
  void SetUseDeviceCalibration(bool on);

  // ---- options -------------------------------------------------------------------
  TReportEvalOptions Options() const;
  void SetOptions(const TReportEvalOptions& options);
  // The origin remembered in the settings: checked once against the first
  // origin computed.
  void SetStoredTimeOrigin(std::optional<TUtcMs> origin);

  TReportEvalState State() const;
  // The time origin as the settings keep it; nothing while unknown.
  std::optional<TUtcMs> TimeOrigin() const;

  // ---- the steps, public for the session's own use --------------------------------
  void ThreadEvent_Report(uint16_t code, const std::string& line);
  void SetDataHeader(uint16_t header, bool notify, bool from7020);
  void AddDevicePVHData(const std::string& line);

 private:
  void Evaluate(const std::string& line);
  void TakeDeviceMs(int64_t deviceMs);
  void Steer(uint16_t h);
  void SendAddedOpenCommand();
  bool Waiting() const;
  void IgnoreLine(uint16_t h, const std::string& line, const std::string& payload);
  void WatchPVH();
  void HandleOverflow();
  void TakeTimeOrigin(uint16_t h);
  void RunTimeCheck();
  void Dispatch(uint16_t h, const std::string& line, const std::string& payload);
  void TimeStamp7015(const std::string& payload);
  void TimeStamp7016(const std::string& payload);
  void HeaderChanged7020(const std::string& line, const std::string& payload);
  void ReSync7F51(const std::string& line, const std::string& payload);
  void MeasurementData(uint16_t h, const std::string& line);
  void RawTimestampCheck();
  void Version7001(const std::string& line);
  void FeatureBits7019(const std::string& line, const std::string& payload);
  void Calibration7901(const std::string& line);
  void ReadDeviceCalibration();
  void ApplyCalibration(const TCalibrationData& data);
  void TakeFeatureBits(uint16_t feature);
  void EndWaitsIfDone(const char* who);
  void PhaseDiffResetDone(bool notify);
  std::string TimeText(TUtcMs instant) const;
  int GateMs() const;

  void Error(int code, const std::string& text);
  void Warning(int code, const std::string& text);
  void Info(int code, const std::string& text);
  void Log(const std::string& text);
  void LogErr(const std::string& text);

  TReportEvalHost& FHost;
  TPAV_DataManagement& FPAV_DM;
  TQMT_DataManagement& FQMT_DM;
  mutable std::recursive_mutex FLock;
  TReportEvalOptions FOptions;

  // Header state.
  uint32_t FHeader = 0;
  uint32_t FOldHeader = kNoHeader;
  std::optional<TVQHeader> FDataHeader;
  std::optional<uint16_t> FExpectedHeader;
  int FMode = 255;
  int FIntervalIndex = -1;
  int FIntervalMs = 1000;
  int FScrambler = 255;
  std::string FScramblerText;
  int FPPI = 0;
  std::string FPPItext;
  bool FPPIcmdSent = false;
  bool FPhaDiffReset = false;
  double FRemainTime = 0.0;

  // Steering: the command last sent and the measurement time seen since.
  std::string FSteerCommand;
  int64_t FSteerElapsedMs = 0;
  int FSteerRepeats = 0;

  // Errors and waits.
  int FOverflowCounter = 0;
  bool FReferenceClockError = false;
  bool FPLLError = false;
  int FPLLokCount = 0;
  bool FWaitBufferCleared = false;
  bool FWaitExpectedHeader = false;
  bool FWaitPVHData = false;
  bool FWait7F51 = false;
  std::optional<int64_t> FWaitPVHTicks;  // monotonic ms the PVH read was asked
  int FWaitPVHCount = 0;
  bool FWaitRawTimestamp = false;
  bool FLogStringsAnnounced = false;
  std::optional<int64_t> FignoredTimestamp;  // seconds of a 7015 held while waiting
  std::string FBufNo7000;
  std::string FBufNo7015;

  // Time base.
  int64_t FDeviceMs = -1;
  std::optional<TUtcMs> FPAVDateTime;
  std::optional<TUtcMs> FPAVDateTimeStart;
  std::optional<TUtcMs> FiniDateTime;
  bool FPAVtimeCheckNeeded = false;
  std::string FTimeString;

  // Opening.
  std::vector<std::string> FAddedOpenCommands;
  std::size_t FOpenCommandIndex = 0;

  // Counter identity.
  std::string FVersionString;
  uint16_t FHardFeature = 0;
  bool FPAVonly = false;
  bool FQMTonly = false;
  bool FisESP = false;
  bool FhasPPI = false;
  bool FisRTC = false;
  bool FDemo = false;
  int FDeviceStartState = 0;
  bool FQMTCalibrationSet = false;
  bool FPVHSettingsSet = false;
  TPVHSettings FPVHSettings;
};
