#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/data/App_DataManagement.h"
#include "app/data/App_VirtAllanData.h"
#include "library/sources/MultiSource.h"

// What a text window of a counter session shows per channel.
enum TTextModePAV : int {
  tmPhase = 0,
  tmPhaseDiff = 1,
  tmFreqAbs = 2,
  tmFreqRel = 3,
  tmPhasePredecessor = 4,
  tmPhaseResiduum = 5,
};

// Ten value strings per evaluated line for the multi-sampler. A real record:
// 0 sync marker + phases, 1 frequencies, 2 phase differences, 3 raw data,
// 4 empty, 5 digital inputs, 6 predecessor differences, 7 ADEV (empty),
// 8 residuals, 9 counter time. A virtual record: 0 sync marker + residuals,
// 1 absolute and 2 relative frequencies, 3 ADEV, 4 phase differences,
// 5 predecessor differences, 9 counter time.
struct TPAVSamplerRecord {
  static constexpr int kStringCount = 10;
  std::array<std::string, kStringCount> Strings;
  bool Virtual = false;
  std::optional<int64_t> CounterTimeMs;  // the counter time of the line (UTC ms), when known
};

// What the clock alarm made of one line's frequencies: an alarm text
// (warning 41; KeepForLog: the alarm wants it in the log too) and an
// all-clear text (warning 43). Empty texts: nothing to say.
struct TClockAlarmResult {
  std::string AlarmText;
  bool KeepForLog = false;
  std::string AllClearText;
};

// Hooks to the multi-sampler, the data server and the clock alarm. They run
// on the acquisition thread, some with the store lock held: they only
// enqueue and never call back into the store.
using TPAVSamplerStrings =
    std::function<void(int sessId, bool sessIsCopy, const std::string& syncTime, const TPAVSamplerRecord& record)>;
using TPAVSamplerEvent = std::function<void(int sessId, bool sessIsCopy, int event, const std::string& text)>;
using TPAVSamplerWarning = std::function<void(int sessId, bool sessIsCopy, const std::string& text)>;
using TPAVServerLine = std::function<void(int multiId, const std::string& text, int logType)>;
// Frequencies in Hz of channels 1..n (index 0 = channel 1).
using TPAVClockAlarmCheck = std::function<TClockAlarmResult(std::span<const double> frequencies)>;
using TPAVAverageEvent = std::function<void()>;

// Phase and frequency store of one counter session: turns the measurement
// lines of a phase/frequency counter (report codes below 6000) into
// per-channel series of phase, frequency, relative frequency, phase
// differences to channel 1 and to the preceding channel, and phase residual
// against the ideal phase of the nominal frequency; derives the virtual
// channels, feeds the three Allan accumulators, and builds the value strings
// of the multi-sampler and the data server.
//
// Written on the acquisition thread under the store lock (Lock()); readers
// take the same lock. The Allan accumulators have their own lock, taken after
// the store lock, never before it.
//
// Phases are kept as whole cycles plus fraction (Phase) so that a 100 MHz
// channel keeps its sub-picosecond resolution after weeks of running.
class TPAV_DataManagement : public TDataManagement {
 public:
  static constexpr int kFieldWidth = 27;   // separator + 26 value characters
  static constexpr int kValueWidth = 26;
  static constexpr int kMaxPayload = kMaxChannels * kFieldWidth;  // 648
  static constexpr double kMinFrequency = 4000.0;        // Hz
  static constexpr double kMaxFrequency = 131072000.0;   // Hz
  static constexpr int kAllanTaus = 19;
  static constexpr int kDefaultPhaseDecimals = 11;

  // Message codes.
  static constexpr int kErrorDataLoss = 31;
  static constexpr int kErrorException = 51;
  static constexpr int kWarningClockAlarm = 41;
  static constexpr int kWarningClockAllClear = 43;

  // Multi-sampler events.
  static constexpr int kEventChannelCount = 1;
  static constexpr int kEventHeaderChanged = 3;  // re-open the log files
  static constexpr int kEventMessage = 5;
  static constexpr int kEventLost = 7;

  // Data-server log types.
  static constexpr int kServerPhase = 0;
  static constexpr int kServerFrequency = 1;
  static constexpr int kServerPhaseDiff = 2;
  static constexpr int kServerPredecessor = 5;

  using TSeries = std::vector<double>;

  TPAV_DataManagement(int aLogID, int aSessId, bool aSessIsCopy);
  ~TPAV_DataManagement() override;

  // ---- lines from the counter (acquisition thread) ---------------------------------
  // One measurement line (code below 6000) with the counter time in ms (-1
  // unknown). False when the line was dropped.
  bool ExtractData(const std::string& line, int64_t aDeviceMs);
  // A raw-data line (6000..6FFF). Raw data are not evaluated by this store:
  // the line is logged and dropped (false).
  bool ExtractRawData(const std::string& line, int64_t aDeviceMs);
  // Counter time stamp in 100 ms units (7015 x 10, 7016).
  void AddTimeStamp(int64_t time100ms);
  // A 7100 line; false when dropped.
  bool AddPDI(const std::string& line);
  // A 7EFF line with the counter time in ms (-1 unknown).
  void AddHeartbeat(const std::string& line, int64_t aDeviceMs);

  // ---- lifecycle ---------------------------------------------------------------------
  void Reset() override;
  void ResetAllan();
  void ResetAllanPersist(int channel);
  void DeviceOpened();
  void BufferCleared(uint16_t code);
  void IncLost();
  uint64_t Lost() const;
  void SetNewHeader(uint16_t code);
  void PhaseDiffResetted();
  void ReSync(const std::string& text);
  bool PLLError() const;
  void SetPLLError(bool value);

  // ---- nominal frequencies and PVH channels -----------------------------------------
  double GetNomFreq(int k) const;              // 0 outside 1..24 or unknown
  void SetNomFreq(int k, double value);        // ignored outside 1..24 or for 0
  double GetNomFreqUser(int k) const;          // only when set explicitly, else 0
  double GetNomFrequCalculated(int k) const;   // the smoothed frequency
  bool AddPVHData(const TPVHSettings& settings);  // true when anything changed
  bool DevicePVHSet() const;
  void BeginUpdate();
  void EndUpdate();

  // ---- options --------------------------------------------------------------------------
  bool AddLogStrings() const;
  void SetAddLogStrings(bool value);
  void SetRawMode(int rawMs, bool avg);
  void SetRef20MHz(bool value);
  bool ScramblerTrim() const;
  void SetScramblerTrim(bool value);
  void SetMultiId(int multiId);
  void SetLocalServerRunning(bool value);
  void SetPAVtimeString(const std::string& text);
  // The counter time (UTC ms) of the line being evaluated; nothing unknown.
  void SetPAVDateTime(std::optional<int64_t> utcMs);
  TFormatSettings LogFormat() const;
  void SetLogDecimalSeparator(char separator);
  TFormatSettings WindowFormat() const;
  void SetWindowDecimalSeparator(char separator);
  char SessionLetter() const;
  void SetSessionLetter(char letter);
  int IntervalMs() const;  // gate time of the values held, -1 after a reset
  int64_t DeviceMs() const;

  // ---- Allan deviation -------------------------------------------------------------------
  // The store's debug log also carries the Allan computation (off at creation).
  void SetAllanDebug(bool on);
  int AllanDecay() const;
  void SetAllanDecay(int value);
  // "" when the accumulator has values in the current report mode, else why not.
  std::string CheckAllanMode(TAllanMode am) const;
  std::vector<int64_t> GetADEVCounts(TAllanMode am) const;
  std::vector<double> GetAllanGraphicValues(TAllanMode am, int k) const;
  std::vector<double> GetAllanTextValues(TAllanMode am, int k) const;
  std::vector<TAllanPersistEntry> GetAllanPersistValues(TAllanMode am, int k) const;
  int GetAllanLastTau(TAllanMode am) const;
  std::string GetAllanTauCaption(TAllanMode am, int len) const;
  TAllanMinMax GetAllanActualYPowerMinMax(TAllanMode am, int k) const;
  TAllanMinMax GetAllanYPowerMinMax(TAllanMode am, int k) const;
  const TVirtAllanData& Allan(TAllanMode am) const;

  // ---- series readers (kanal 1..24; empty for other kanal or anz <= 0) -------------------
  TSeries GetFrequDiff(bool virtualChannel, int kanal, int startX, int anz) const;
  TSeries GetFrequDiffRelative(bool virtualChannel, int kanal, int startX, int anz) const;
  TSeries GetPhaDiffPs(bool virtualChannel, int kanal, int startX, int anz) const;
  TSeries GetPhaPredecessorPs(bool virtualChannel, int kanal, int startX, int anz) const;
  TSeries GetTheoPhaseDiffPs(bool virtualChannel, int kanal, int startX, int anz) const;
  TSeries GetAvgShort(bool virtualChannel, int kanal, int startX, int anz) const;
  TSeries GetAvgLong(bool virtualChannel, int kanal, int startX, int anz) const;
  // One value per channel (real or virtual) from the newest ring position.
  TSeries GetLastFrequDiff(bool virtualChannel) const;
  TSeries GetLastFrequDiffRelative(bool virtualChannel) const;
  TSeries GetLastPhaDiffPs(bool virtualChannel) const;
  TSeries GetLastPhaPredecessorPs(bool virtualChannel) const;
  TSeries GetLastTheoPhaseDiffPs(bool virtualChannel) const;
  TSeries GetLastAvgShort(bool virtualChannel) const;
  TSeries GetLastAvgLong(bool virtualChannel) const;
  // Why a series is empty ("" when it is not).
  std::string GetFrequDiffNoData() const;
  std::string GetPhaDiffPsNoData(int k) const;
  std::string GetTheoPhaseDiffPsNoData(int k) const;

  // ---- averages (the caller averages; the store keeps and serves the rings) -------------
  // sums: one sum per channel (index 0 = channel 1), count: values summed.
  void AddShort(std::span<const double> sums, int count);
  void AddLong(std::span<const double> sums, int count);

  // ---- counter time stamps ---------------------------------------------------------------
  int GetNewCountTimeStamp(int startX) const;
  int64_t GetPAVTimeGraphic(int x) const;  // counter ms at ring position x, -1 none
  int64_t LastPAVTime() const;             // the newest, -1 when empty

  // ---- digital inputs and heartbeat ------------------------------------------------------
  uint32_t GetPDI(int card) const;  // card 0..7; 0 outside
  int PDICount() const;
  std::string PDIsHex() const;
  // The heartbeat text; cleared by reading it.
  std::string HeartbeatString();

  // ---- text modes --------------------------------------------------------------------------
  bool IsTextModeEnabled(TTextModePAV mode) const;
  std::string GetTextModeString(TTextModePAV mode, int k) const;
  std::string GetTextModeVirtualString(TTextModePAV mode, int k) const;
  std::string GetTextModeCaption(TTextModePAV mode) const;
  std::string GetTextModeVirtualCaption(TTextModePAV mode) const;
  bool IsTextRawDataEnabled() const;
  // The visible debug text of the last line.
  std::string DebugText() const;

  // ---- value strings (built after each line; see TPAVSamplerRecord) ----------------------
  std::string SamplerPhaseValuesString() const;
  std::string SamplerFrequencyValuesString() const;
  std::string SamplerPhaseDiffValuesString() const;
  std::string SamplerPhasePredecessorValuesString() const;
  std::string SamplerPhaseResiduumValuesString() const;

  // ---- hooks (assigned before the acquisition thread uses the store) ---------------------
  TPAVSamplerStrings FOnSamplerStrings;
  TPAVSamplerEvent FOnSamplerEvent;
  TPAVSamplerWarning FOnSamplerWarning;
  TPAVServerLine FOnServerLine;
  TPAVClockAlarmCheck FOnClockAlarm;
  TOnDataChannelCount FOnPDICount;  // (5, card count)
  TPAVAverageEvent FOnShortAverage;
  TPAVAverageEvent FOnLongAverage;

 protected:
  using TChannelPhases = std::array<Phase, kMaxChannels + 1>;  // index 1..24
  using TChannelDoubles = std::array<double, kMaxChannels + 1>;
  using TChannelExtended = std::array<long double, kMaxChannels + 1>;
  using TChannelFlags = std::array<bool, kMaxChannels + 1>;
  using TRing = std::array<double, kRingSize>;
  using TPhaseRing = std::array<Phase, kRingSize>;

  // ---- one line (acquisition thread, store lock held) ----
  void BeforeExtractData(const std::string& line);
  void AddValueString(std::string_view text, int k);
  void AddPhaseValueString(std::string_view text, int k);
  void AddFrequencyValueString(std::string_view text, int k);
  void AddPhaseDiffValueString(std::string_view text, int k);
  void CalculatePhaseDerived(int k);
  void CalculateFrequencies(int k);
  void CalculatePhaseDiff(int k);
  void CalculateVirtual(int v);
  void CalculateTheoPhaseOffset(int k);  // k = 0: every channel
  void ClearTheoPhaseOffset(int k);
  bool AfterExtractData();
  void FeedAllan();
  void GenerateSamplerStrings();
  void AddSamplerStrings();
  void SamplerEvent(int event, const std::string& text);

  // Text of a phase in the fixed 26-character field with `decimals` fraction digits.
  static std::string PhaseText(const Phase& p, int decimals, const TFormatSettings& fmt);

  // ---- per channel (index 1..24) ----
  TChannelPhases PPhase{};
  TChannelPhases PPhaseOld{};
  TChannelPhases PPhaseZeroOffset{};
  TChannelPhases PPhaseRes{};
  TChannelPhases PPhaDiffZero{};
  TChannelPhases PPhaPredecessorZero{};
  TChannelPhases PPhaseDiff{};
  TChannelPhases PPhasePreDiff{};
  std::array<int, kMaxChannels + 1> FPhaseDecimals{};
  // The phases of the line being extracted, read once by FieldsReadable.
  TChannelPhases FLinePhases{};
  std::array<int, kMaxChannels + 1> FLineDecimals{};
  bool FPhasesRead = false;
  TChannelExtended FIntervalCount{};
  TChannelExtended FtheoNomFreqPerInterval{};
  TChannelDoubles FFrequency{};
  TChannelDoubles FFrequencyRelative{};
  TChannelDoubles FrequGltt{};
  TChannelDoubles FNom_Frequ{};
  TChannelFlags FNom_FrequUser{};
  TChannelExtended FPVHFactors{};
  TChannelFlags FSuppressFirstFrequency{};
  TChannelDoubles FPhaseRes_ns{};
  // FFrequency holds a frequency measured since the last reset that lies
  // inside the counter's range (false after a reset, for a suppressed first
  // frequency, a clamped or unreadable value, or a PVH channel without a
  // nominal frequency): validity is tracked here, never by testing a value
  // for 0.
  TChannelFlags FFrequencyValid{};

  // Series, 2048 entries per channel (index 1..24).
  std::vector<TPhaseRing> PPhaseDLL;
  std::vector<TRing> FPhaDiff;
  std::vector<TRing> FPhaPredecessor;
  std::vector<TRing> FFrequencies;
  std::vector<TRing> FPhaseRes_ps;  // NaN without nominal frequency
  std::vector<TRing> FAvgShort;
  std::vector<TRing> FAvgLong;
  std::vector<TRing> FVirtFrequencies;
  std::vector<TRing> FVirtPhaseRes_ps;

  // Virtual channels (index 1..24).
  TChannelPhases PVirtPhase{};
  TChannelPhases PVirtPhaseDiff{};
  TChannelPhases PVirtPhasePreDiff{};
  TChannelDoubles FVirtFrequency{};
  TChannelDoubles FVirtFrequencyRelative{};
  TChannelDoubles FVirtPhaseRes_ns{};

  // ---- store-wide ----
  int FIntervalMs = -1;
  long double Ftheo10MHzPerInterval = 0.0L;
  std::array<int64_t, kRingSize> FPAVTime{};
  int64_t FDeviceMs = -1;
  std::array<std::unique_ptr<TVirtAllanData>, 3> FAllanData;  // by TAllanMode
  bool FAllanIgnorePhase = true;
  bool FAllanIgnoreFrequ = true;
  bool FIgnoreFirstPhase = false;
  bool FPhaseDiffResetted = true;
  bool FScramblerTrim = false;
  bool FDevicePVHSet = false;
  bool FEqualPVHSettings = true;
  bool FPLLError = false;
  uint64_t FLost = 0;
  int FLetzterKanal = 0;
  int FUpdateCounter = 0;
  bool FResetAllanNeeded = false;
  bool FResetRawDataNeeded = false;
  bool FAddLogStrings = false;
  bool FLocalServerRunning = false;
  int FMultiId = 0;
  int FRawMs = 0;
  bool FRawAvg = false;
  bool FRef20MHz = false;
  std::string FPAVtimeString;
  std::optional<int64_t> FPAVDateTime;
  std::string FSyncTime;
  char FSessionLetter = 'A';
  TFormatSettings FLogFormat;
  TFormatSettings FWindowFormat;

  // Counter time stamps.
  int FTimeStampIndex = -1;
  int64_t FTimeStampCount = 0;

  // Digital inputs and heartbeat.
  std::array<uint32_t, 8> FPDI{};
  int FPDICount = 0;
  std::string FPDIs_HEX;
  std::vector<uint32_t> FHeartbeat;
  std::string FHeartbeatText;

  // Debug text of the line being evaluated and of the last one.
  std::string FDebugTextPending;
  std::string FDebugText;

  // Clock alarm text of the current line, for the multi-sampler.
  std::string FClockAlarmText;

  // Value strings of the current line.
  std::string FSamplerPhaseValuesString;
  std::string FSamplerFrequencyValuesString;
  std::string FSamplerPhaseDiffValuesString;
  std::string FSamplerPhasePredecessorValuesString;
  std::string FSamplerPhaseResiduumValuesString;
  std::string FSamplerRawDataString;
  std::string FSamplerADEVValuesString;
  std::string FSamplerVirtualFreqAbsValuesString;
  std::string FSamplerVirtualFreqRelValuesString;
  std::string FSamplerVirtualPhaseResValuesString;
  std::string FSamplerVirtualADEVValuesString;
  std::string FSamplerVirtualPhaseDiffValuesString;
  std::string FSamplerVirtualPhasePrevValuesString;

 private:
  // Report mode of the values held (0..6), -1 without a valid header.
  int Mode() const;
  // A line's payload is usable: its fields parse in the current mode. A
  // damaged field drops the whole line before any channel is touched. The
  // phases read are kept for the channels (FPhasesRead).
  bool FieldsReadable(std::string_view payload, int n);
  // Channel k's phase of the line: the one FieldsReadable read, else parsed.
  Phase LinePhase(std::string_view text, int k, int& decimals) const;
  // Allan exclusions end with the first valid sample after a reset.
  void UpdateAllanExclusions(int n);
  void CheckClockAlarm(int n);
  void SendServerLines();
  void TrimPhaseDiffZeros(int n);
  void MarkSyncTime(int64_t aDeviceMs);
  bool IsPVH(int k) const { return FPVHFactors[k] != 1.0L; }

  // The zero offset of the ideal phase was taken (a whole part of 0 is a
  // valid offset), and whether that happened with the current line.
  TChannelFlags FZeroOffsetTaken{};
  TChannelFlags FZeroOffsetNew{};
  // What the current line produced per channel, for the Allan accumulators,
  // the clock alarm and the virtual channels.
  TChannelFlags FFrequencyFresh{};  // a valid frequency measured with this line
  TChannelFlags FResidualFresh{};   // a residual continuing the current series
  TChannelFlags FPhaseDiffFresh{};  // a phase difference of this line
  // The phase-difference series of a channel restarted (new zero reference):
  // its next Allan sample is missing instead of the jump.
  TChannelFlags FPhaseDiffChainBreak{};
  // The same for the residual series (after a re-synchronisation).
  TChannelFlags FResidualChainBreak{};
  bool FLineSuppressed = false;  // some channel's frequency was suppressed in this line
};
