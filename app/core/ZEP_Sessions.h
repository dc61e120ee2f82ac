#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "app/core/App_ChannelData.h"
#include "app/core/App_DateTime.h"
#include "app/core/App_Sessions.h"
#include "app/core/ZEP_ReportEval.h"
#include "app/core/ZEP_Sync.h"
#include "app/data/App_DataManagement.h"
#include "library/sources/MultiSource.h"

// Signal names of the digital inputs: 8 cards of 32 inputs. Index b of a
// card's names is bit b of the card's word (input b + 1).
inline constexpr int kPDICards = 8;
inline constexpr int kPDIBits = 32;
inline constexpr std::size_t kMaxPDINameLength = 64;  // bytes; a longer name is cut
using TPDICardNames = std::array<std::string, kPDIBits>;
using TPDINames = std::array<TPDICardNames, kPDICards>;

// "PDI" + card + "_Bit" + bit: the name of an input nobody named (card 1..8,
// bit 0..31).
std::string DefaultPDISignalName(int card, int bit);
// What a signal name may be: control characters become blanks, blanks
// around it go, it is cut to kMaxPDINameLength bytes (whole UTF-8
// characters); an empty name becomes the default.
std::string CleanPDISignalName(int card, int bit, std::string_view name);

// What the channel-settings window edits (TVQSessionItem::ChannelSettings).
// Row k - 1 holds the weights of the real channels in virtual channel k;
// the used rows come first, without gaps.
inline constexpr int kMaxHorizontalScale = 1000;

struct TChannelSettings {
  std::array<TDataManagement::TFactorRow, TDataManagement::kMaxChannels> Virtual{};
  std::array<TDataManagement::TFactorRow, TDataManagement::kMaxChannels> VirtualQMT{};
  std::string VirtualDescription, VirtualQMTDescription;
  int ShortScale = 1, LongScale = 1;  // horizontal scale of the short and long averages
  // Digital-input signal names; an empty name stands for the default.
  TPDINames PDINames{};
};

class TVQSessionItem;
class TPAV_DataManagement;
class TQMT_DataManagement;
class TZEPSettings;

// Hand-over items of a session for the main thread (acquisition thread).
using TSessionSyncSink = std::function<void(TMainSyncData item)>;
// Multi-sampler events and counter time stamps (100 ms units) of a session.
using TSessionSamplerEvent = std::function<void(int sessIndex, bool sessIsCopy, int event, const std::string& text)>;
using TSessionSamplerTime = std::function<void(int sessIndex, bool sessIsCopy, int64_t time100ms)>;
// A value record of the counter or time-interval store; virtualRecord: the
// record of the virtual channels.
// counterTime: the counter time of the record (UTC ms), when known.
using TSessionSamplerRecord = std::function<void(int sessIndex, bool sessIsCopy, bool virtualRecord,
                                                 const std::array<std::string, 10>& strings,
                                                 std::optional<TUtcMs> counterTime)>;
using TSessionSamplerText = std::function<void(int sessIndex, bool sessIsCopy, const std::string& text)>;

// Where a session's log data go (the multi-sampler's queue). Every hook runs
// on the acquisition thread, some with a store lock held: they only enqueue.
struct TSessionSamplerHooks {
  TSessionSamplerEvent OnEvent;          // source events of the session and its stores
  TSessionSamplerTime OnTimeStamp;       // counter time stamps, 100 ms units
  TSessionSamplerRecord OnRecord;        // value records of both stores
  TSessionSamplerText OnSyncTime;        // the sync time of the record that follows
  TSessionSamplerText OnWarning;         // a warning that belongs into the logs
};

// Display names of the virtual channels 1..24 (index 0 = channel 1).
struct TVirtualChannelNames {
  std::array<std::string, 24> Counter;
  std::array<std::string, 24> QMT;
};

// The application options the report evaluation follows.
struct TSessionTimeOptions {
  std::string LogTimeFormat = "YYMMDD HHNNSS.ZZZ";
  bool LogTimeSourcePAV = false;
  bool LogTimeZoneSystem = false;
  bool ProfessionalMode = false;
};

// The evaluation step of a counter session: every report line the session
// polls, with the counter time in ms (-1 unknown), on the acquisition thread.
using TReportEvaluation = std::function<void(TVQSessionItem& session, const std::string& line, int64_t deviceMs)>;

// What a counter session knows about its counter and its data so far.
struct TVQSessionState {
  std::string VersionString;  // the last 7001 line without its code
  bool Demo = false;          // a simulated counter
  bool IsESP = false;         // a counter of the newer generation
  uint32_t DataHeader = 0x10000;  // last data header; 0x10000 = none yet
  int Mode = 255;             // 255 unknown
  int IntervalIndex = -1;     // -1 unknown
  int ChannelCount = 0;       // fields of the last measurement line
  int64_t LastSecond = -1;    // the last "7015; " value
  int64_t DeviceMs = -1;
  uint64_t Lines = 0;         // lines evaluated
  uint64_t Measurements = 0;
  uint64_t MeasurementsAtSecond = 0;  // Measurements when LastSecond arrived
  std::string LastLine;
};

// What a counter session does with the public result of one poll.
struct TPollAction {
  enum class TConnection { Keep, Close, CloseStopServer, Reopen };
  bool Evaluate = false;           // a report line to evaluate
  bool LogOnly = false;            // the text only goes to the debug log
  std::optional<TMsgType> Kind;    // a message with Code and the library's text
  int Code = 0;
  TConnection Connection = TConnection::Keep;
  bool Reconnected = false;        // data were lost: sampler event 16, reference-clock error over
};

// The action for poll result `result` with its text; `fileSource`,
// `networkSource`: the kind of the connection; `referenceClockError`: the
// counter reported its reference invalid. Nothing to do for success without
// a line.
TPollAction PollResultAction(int result, const std::string& text, bool fileSource, bool networkSource,
                             bool referenceClockError);

// A session bound to one counter source of the library. The acquisition
// thread polls it; the main thread opens, closes and configures it.
class TVQSessionItem : public TSessionItem {
 public:
  static constexpr uint8_t kNoUserID = 255;

  // Takes a new source number from the library.
  TVQSessionItem(int aLogId, int aIndex, TOnUpdate aOnUpdate, TOnAddMsg aOnMsg);
  ~TVQSessionItem() override;

  // The QMT-only copy of a counter session: it shows the time-interval part
  // of the same counter, shares its source (it never opens, closes or polls
  // it) and is linked to it both ways.
  static std::shared_ptr<TVQSessionItem> CopyQMTPart(const std::shared_ptr<TVQSessionItem>& original);
  std::shared_ptr<TVQSessionItem> LinkedSession() const;
  bool QMTonly() const { return FQMTonly.load(); }
  bool DeviceOpened() const override;
  // Also renumbers the stores, whose sampler records and events name the session.
  void UpdateIndex(int aIndex) override;

  // ---- TPolledSession ----------------------------------------------------------
  bool GetReport() override;
  bool IsSerialColdfire() const override;

  // ---- TSessionItem --------------------------------------------------------------
  // The session's library logs in its debug folder: the debug log, the
  // report and low-level lines in it, and the stream logs.
  std::string Debug(bool value) override;
  void DebugFlags(bool report, bool lowLevel) override;
  std::string SetDebugPath(const std::string& value) override;
  // False (logged ".SetDebugStream failed: ") when the library refuses; the
  // old value stays.
  bool SetDebugStream(bool value);
  std::string OpenDevice() override;
  void CloseDevice(bool stopServer) override;
  std::string ReadSettings(TAppSettings& settings, const std::string& prefix) override;
  void SaveSettings(TAppSettings& settings, const std::string& prefix) override;

  // A connection the acquisition thread lost (write error, server down) is
  // opened again here, once, on the main thread: error 21 when it is open
  // again, else error 22 and the session is closed as CloseDevice closes it
  // ("Disconnect", its log files closed). True when an attempt was made.
  bool ReopenIfLost();
  // The acquisition thread's reaction to a lost connection: the library's
  // connection is closed and a reopen is left to ReopenIfLost.
  void ConnectionLost(const std::string& text);

  // Sends command bytes through the library; false (with error 76 posted)
  // when the library refuses them.
  bool SendCommand(const std::string& command);
  // A user's command (the Counter menu): interval, mode and scrambler
  // commands set the header the evaluation walks the counter to, and log
  // lines wait until the counter is there; a phase-difference reset is
  // confirmed by the counter's next 7020, or done by the application when
  // the counter refuses it; in raw mode the interval is the application's
  // alone. Success is posted as "Cmd " + `cmdText`. False when nothing was sent.
  bool SetCommand(const std::string& cmd, const std::string& cmdText);
  // The separator of the counter's report lines and of the log values (the
  // library's and both stores').
  void SetDecimalSeparator(char separator);
  // An extra step after the session's own evaluation of every line.
  void SetEvaluation(TReportEvaluation evaluation);

  // ---- serial number (main thread) ------------------------------------------------
  // Asks the library for the counter's serial number until it is known; a
  // copy never asks, a session without connection counts as confirmed
  // without a number. True when this call confirmed it; the linked session
  // receives the number too.
  bool GetSerialNumber();
  bool SerialNumberOk() const { return FSerialNumberOk.load(); }
  // Nominal frequencies the user set go to the library's record of the
  // counter; otherwise the record's frequencies become the store's.
  void UpdateNominalFrequencies();

  // ---- stores and evaluation ---------------------------------------------------
  // The counter and time-interval stores; a QMT-only copy shares both.
  TPAV_DataManagement& PAV() const { return *FPAV_DM; }
  TQMT_DataManagement& QMT() const { return *FQMT_DM; }
  std::shared_ptr<TPAV_DataManagement> PAVShared() const { return FPAV_DM; }
  std::shared_ptr<TQMT_DataManagement> QMTShared() const { return FQMT_DM; }
  // The evaluation's view of the counter (the original's for a copy).
  TReportEvalState EvalState() const;
  // Feature bits of the counter (bit 0 phase channels, bit 1 QMT channels).
  uint16_t HardFeature() const { return FHardFeature.load(); }
  // The evaluation itself; null for a copy.
  TVQReportEvaluation* Evaluation() const { return FEval.get(); }

  // Where hand-over items go; without a sink they are dropped.
  void SetSyncSink(TSessionSyncSink sink);
  // Hands the session's items to `list` with the session as sender.
  static void ConnectSyncList(const std::shared_ptr<TVQSessionItem>& session, TSyncList& list);
  // Connects the session and both stores to the multi-sampler (a copy shares
  // its original's stores, so the original's hooks serve both).
  void SetSamplerHooks(const TSessionSamplerHooks& hooks);
  TSessionTimeOptions TimeOptions() const;
  void SetTimeOptions(const TSessionTimeOptions& options);
  void SetWindowDecimalSeparator(char separator);
  // Nominal frequencies of channels 1..24 (index 0 = channel 1) applied in
  // one update; 0 leaves a channel as it is.
  void SetNomFrequencies(const std::array<double, 24>& values);
  // The counter time origin as the settings keep it; nothing while unknown.
  std::optional<TUtcMs> TimeOrigin() const;

  // Names, ids, colours and enabled flags of the counter, virtual, QMT and
  // virtual QMT channels. Main thread only.
  const TSessionChannelData& Channels() const { return FChannels; }
  void SetChannels(const TSessionChannelData& channels);
  // The factor rows of the virtual counter and QMT channels, their
  // descriptions and the horizontal scale of the averages. Main thread only.
  TChannelSettings ChannelSettings() const;
  void SetChannelSettings(const TChannelSettings& settings);
  // The virtual channels' names, for any thread.
  TVirtualChannelNames VirtualChannelNames() const;
  // Signal names of the digital inputs, for any thread (a QMT-only copy
  // has its original's). Card 1..8, bit 0..31; empty outside.
  std::string PDISignalName(int card, int bit) const;
  TPDINames PDISignalNames() const;
  // Takes the 32 names of card 1..8 (cleaned as CleanPDISignalName says);
  // they are saved with the session.
  void SetPDISignalNames(int card, const TPDICardNames& names);

  int MultiId() const { return FMultiId; }
  TVQSessionState State() const;
  bool ClearBufferOnStart() const { return FClearBufferOnStart; }
  void SetClearBufferOnStart(bool value) { FClearBufferOnStart = value; }
  // What the connection dialog chose for a session before it opens: the
  // device calibration of the QMT channels and the 20 MHz reference.
  void SetConnectionOptions(bool useDeviceCalibration, bool ref20MHz);
  bool Ref20MHz() const { return FRef20MHz; }
  // Simulated counter set-up: channel count (0 = 24), mode, interval index.
  void SetDemoSetup(int channels, int mode, int rate);
  int DemoChannels() const { return FDemoChannels; }
  int DemoMode() const { return FDemoMode; }
  int DemoRate() const { return FDemoRate; }

  // The simulated counter's channel-count command for 0..23 channels (0 = all 24).
  static std::string DemoChannelCommand(int channels);

  // ---- QMT calibration (main thread) ------------------------------------------------
  // Uses the calibration stored in the counter (applied once the counter has
  // sent it; the time-interval logs wait for it) or none. The linked session
  // follows.
  void SetUseDeviceCalibration(bool on);
  bool UseDeviceCalibration() const { return FUseDeviceCalibration.load(); }
  // The user's calibration for the counter (ns, index 0 = channel 1): written
  // into the counter, whose answer brings it into use.
  void UserChangedDeviceCalibration(const TCalibrationData& data);
  // The user declined to change the counter's calibration.
  void CancelCalibrationChange() { Log("Change calibration data canceled"); }
  // Whether `value` (ns) fits into the counter's calibration table.
  bool CheckCalibrationRange(double value);
  // The library's factor from ns to the counter's integer units; 0 unknown.
  int CalibFactorFloatToInt();
  int FirmwareVersion() const;
  // The counter keeps its calibration in FRAM (no measurement is disturbed
  // by writing it).
  bool HasFRam() const;

  static constexpr int kInfoCalibrationSent = 75;
  static constexpr int kErrorCalibrationNotChanged = 95;
  static constexpr uint16_t kFeatureFRam = 0x4000;

 protected:
  std::string ClassTag() const override { return "TVQSessionItem"; }

 private:
  void EvaluateLine(const std::string& line, int64_t deviceMs);
  // Sends; on a refusal `refusal` holds the library's message.
  bool TrySendCommand(const std::string& command, std::string& refusal);
  bool PhaseDiffResetRefused(const std::string& refusal);
  bool SendSteered(const std::string& cmd, const std::string& cmdText, std::optional<uint16_t> expected);
  void ReadReportTime(int64_t deviceMs);
  void SendOpenCommands(const std::string& connection);
  void CloseDeviceLocked(bool stopServer);
  // What closing tells everyone: "Disconnect", sampler event 12, the update.
  void AnnounceClosed();
  void CreateStores();
  void WireStoreHooks();
  void PostSync(int what, int code, int aInt, const std::string& text);
  void SamplerEvent(int event, const std::string& text);
  void SamplerTimeStamp(int64_t time100ms);
  void ReadStoreSettings(TAppSettings& settings, const std::string& prefix);
  void ReadChannelSettings(const TAppSettings& settings, const std::string& prefix);
  void SaveStoreSettings(TAppSettings& settings, const std::string& prefix);
  void ApplyStoredTimeOrigin();
  void UpdateEvalOptions();
  // Hands the debug switches to the library.
  void ApplyDebugSwitches();
  bool ReferenceClockError() const;
  void TakeUseDeviceCalibration(bool on);
  int TransmitDeviceCalibrationData(const TCalibrationData& data);

  class TEvalHost;

  struct TCopyTag {};
  TVQSessionItem(TCopyTag, const TVQSessionItem& original);

  const int FMultiId;
  std::weak_ptr<TVQSessionItem> FLinkedSession;  // the copy, or the session a copy was made from
  std::atomic<bool> FQMTonly{false};
  std::atomic<bool> FSerialNumberOk{false};
  std::mutex FOpenLock;  // open and close come from both threads
  std::atomic<bool> FReopenWanted{false};
  std::string FLostText;  // why the connection was lost; under FOpenLock

  // Settings of the connection.
  bool FDebugStream = false;
  bool FClearBufferOnStart = true;
  int FDemoChannels = 4;
  int FDemoMode = 0;
  int FDemoRate = 9;
  bool FDemoPDI = true;
  bool FDemoQMT = true;
  bool FRunLocalTcpServer = false;
  int FLocalTcpServerPort = 0;
  int FDataPortINI = 0;
  std::atomic<uint8_t> FUserIdINI{kNoUserID};
  bool FRef20MHz = false;
  int FRawIntervalIndex = -1;
  bool FRawAvg = false;
  std::atomic<bool> FUseDeviceCalibration{true};
  std::atomic<char> FDecSep{','};
  std::atomic<int> FCalibFactorFloatToInt{-1};  // -1 not asked yet

  // Acquisition state (acquisition thread writes, main thread reads).
  mutable std::mutex FStateLock;
  TVQSessionState FState;
  TReportEvaluation FEvaluation;

  TSessionChannelData FChannels;
  std::string FVirtualDescription, FVirtualQMTDescription;
  void ReadHorizontalScale(const std::string& text, const TFormatSettings& fmt);
  void ReadPDISignalNames(const TAppSettings& settings, const std::string& prefix);
  void SavePDISignalNames(TAppSettings& settings, const std::string& prefix) const;
  static TPDINames DefaultPDINames();
  mutable std::mutex FPDILock;
  TPDINames FPDINames = DefaultPDINames();  // under FPDILock
  void SaveChannelSettings(TAppSettings& settings, const std::string& prefix, const TFormatSettings& fmt) const;

  // Stores (shared with the QMT-only copy) and the evaluation (original only).
  std::shared_ptr<TPAV_DataManagement> FPAV_DM;
  std::shared_ptr<TQMT_DataManagement> FQMT_DM;
  std::unique_ptr<TEvalHost> FEvalHost;
  std::unique_ptr<TVQReportEvaluation> FEval;
  std::atomic<uint16_t> FHardFeature{0};
  std::atomic<bool> FReportDebug{true};  // the evaluation's copy of FDebugReport

  // Hooks and options (main thread sets, acquisition thread uses).
  mutable std::mutex FHookLock;
  TSessionSyncSink FSyncSink;
  TSessionSamplerHooks FSamplerHooks;
  TVirtualChannelNames FVirtualNames;
  TSessionTimeOptions FTimeOptions;
  std::optional<double> FIniDateTimeNumber;  // "PAVDateTimeStart" as read
};
