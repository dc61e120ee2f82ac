#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/App_MessageList.h"
#include "app/core/App_Sessions.h"
#include "app/core/ZEP_Sessions.h"
#include "app/core/ZEP_Sync.h"

// The application's version text.
inline constexpr std::string_view ZEP_AppVersion = "3.3.2 - 2024-08-09";

// Oldest device library the application works with.
inline constexpr std::string_view ZEP_MinLibraryVersion = "20.0.2";

// True when the library's version text ("major.minor.patch date") is at least
// the minimum; a part that is no number fails.
bool IsLibraryVersionSupported(std::string_view versionText);

// The text of the exception that stops the start-up on an old library.
std::string InvalidLibraryVersionText(std::string_view versionText);

// ---- the application without windows -----------------------------------------------------


class TAppSettings;
class TConfigLock;
class TKeepAwake;
class TZEPSettings;
class TDebugConf;
class TZEP_ReportThread;
class TZEP_MultiSampler;
class TSamplerQueue;
class TSessionSamplerSource;
class TLogDefinition;
struct TSamplerOptions;

// What the connection dialog gives for a new session.
struct TConnectionChoice {
  std::string OpenString;
  int ConnectionType = ctUnknown;
  uint32_t Color = TSessionItem::kDefaultColor;
  std::string FriendlyName;
  bool ClearBuffer = true;
  bool UseDeviceCalibration = true;  // use the QMT calibration stored in the counter
  bool Ref20MHz = false;             // the counter runs on a 20 MHz reference
  // Channels the counter is told to transmit once open: -1 leaves its
  // setting, 0 all 24, n = 1..23 channels 1..n.
  int ChannelCount = -1;
  // The port as the dialog showed it, for the message about an empty
  // connection string.
  std::string PortDescription;
};

// "Transmit all channels" (0), "Transmit channel 1", "Transmit channels 1..n".
std::string ChannelCountChoiceText(int channelCount);

// One message of a session or of the application, as the message list will
// show it.
struct TAppMessage {
  std::chrono::system_clock::time_point Time;
  int SessionIndex = -1;  // -1: the application
  int Code = 0;
  TMsgType Kind = mtInfo;
  std::string Text;
  int SubCode = 0;
};

// What a front end (the desktop program, zep-cli) provides: the dialogs and
// message boxes of start-up, and the main-thread reactions to hand-over items.
class TZepFrontEnd {
 public:
  virtual ~TZepFrontEnd() = default;
  // The connection for session `index`; nothing when the user cancels.
  virtual std::optional<TConnectionChoice> ChooseConnection(int index, const TConnectionChoice& proposal) = 0;
  // A stored session has no connection string: its connection, or nothing
  // to leave it closed with its keys kept. Only a front end that can ask
  // the user asks.
  virtual std::optional<TConnectionChoice> ChooseMissingConnection(int /*index*/, const TConnectionChoice& /*proposal*/) {
    return std::nullopt;
  }
  // A message box.
  virtual void ShowMessage(const std::string& text) = 0;
  // The user can be asked for a connection (a dialog); a front end that
  // cannot ask gets no "please choose" box before ChooseConnection.
  virtual bool AsksForConnection() const { return true; }
  // A Yes/No question; a front end that cannot ask answers No.
  virtual bool AskYesNo(const std::string& /*question*/) { return false; }
  // A hand-over item from the acquisition thread, on the main thread.
  virtual void HandOver(const TMainSyncData&) {}
  // Sessions were opened, closed, added or removed.
  virtual void SessionsChanged() {}
  // An error or warning arrived: bring the message window up.
  virtual void ShowMessageWindow() {}
  // While the settings are saved, first of all: the keys of the windows
  // ("View_", "ViewMessage_", "ChildCount", "Main_"), naming the sessions by
  // the numbers they have now (the save renumbers them afterwards). A front
  // end without windows leaves the stored ones as they are.
  virtual void SaveWindowKeys(TAppSettings&) {}
  // While the settings are saved: the front end's own keys of each session
  // (info windows), under the number the session is saved with. `numbers`
  // holds (number before, number saved) of every saved session. The stored
  // "Info_" keys are already there, renumbered; a front end overwrites
  // those it knows better.
  virtual void SaveSessionKeys(TAppSettings&, const std::vector<std::pair<int, int>>& /*numbers*/) {}
};

struct TZepAppOptions {
  std::string ConfigFolder;   // holds "ZEP_App.ini" and "ZEP_DebugConf.ini"
  bool Professional = false;  // professional mode: raw data, debug defaults
  std::string AppBaseName = "zep";  // names the main debug log file
  // How often the display tick saves the settings when they changed
  // (sessions, log definitions, windows); 0: at every tick.
  std::chrono::milliseconds SaveChangesEvery{2000};
};

// The application as a toolkit-free object: settings, sessions, the
// acquisition thread and the hand-over to the main thread. A front end calls
// Start once, DisplayTick every 100 ms and CheckTick every 60 s on its main
// thread, and Shutdown at the end.
class TZepApp {
 public:
  TZepApp(TZepAppOptions options, TZepFrontEnd& frontEnd);
  ~TZepApp();  // Shutdown when not done, then frees in order
  TZepApp(const TZepApp&) = delete;
  TZepApp& operator=(const TZepApp&) = delete;

  // Reads the settings, checks the library, creates and opens the sessions
  // and starts the acquisition thread. False when the application must not
  // run (no connection chosen, library too old, configuration unusable).
  bool Start();
  void DisplayTick();
  void CheckTick();
  // Stops the acquisition thread, closes every device, saves the settings.
  void Shutdown();

  // A new session in the first free slot: from its stored keys, else from
  // the front end's connection dialog. Its index, or -1 when cancelled.
  int NewSession();
  // Removal and change are carried out by the next display tick, between
  // polls: a change replaces the session in its slot by one built from the
  // connection dialog's values and opens it.
  void RequestRemoveSession(int index);
  // Opens a closed session as the start-up does; a failure is shown by the
  // front end and posted as message 72. False when it did not open.
  bool OpenSession(int index);
  void RequestChangeSession(int index, const TConnectionChoice& choice);
  void SaveSettings(bool closeViews);
  // Saves as SaveSettings(false) does, but writes the files only when their
  // content changed. The display tick calls it every SaveChangesEvery.
  void SaveChangedSettings();

  std::vector<std::shared_ptr<TSessionItem>> Sessions() const { return FSessions.Sessions(); }
  // The QMT-only copy of counter session `index` (made once; the existing
  // one afterwards), kept in the session copy list; none for other sessions.
  std::shared_ptr<TVQSessionItem> CreateQMTCopy(int index);
  const std::vector<std::shared_ptr<TVQSessionItem>>& SessionCopies() const { return FSessionCopies; }
  std::shared_ptr<TSessionItem> Session(int index) const { return FSessions.At(index); }
  // The application-wide message list; windows read it through its change log.
  TMessageList& Messages() { return FMsgList; }
  // Messages added to the list since the last call (for a terminal).
  std::vector<TAppMessage> TakeMessages();
  // The five status-bar fields of a session.
  std::vector<std::string> StatusFields(int index) const;
  TZEPSettings& Settings() { return *FSettings; }
  // The writer of the measurement logs (null before Start).
  TZEP_MultiSampler* MultiSampler() const { return FMultiSampler.get(); }
  // Some log definition is enabled.
  bool LogFileActive() const;
  // Hands over everything the sessions queued for the logs so far.
  void FlushLogs();
  // How log lines are stamped: the "LogTimeFormat" string, counter time
  // instead of PC time, UTC instead of local time. Stores what changed, and
  // the sessions and the sampler (whose open files end with "Time settings
  // changed") follow. The option bits of the change; 0 when nothing changed.
  uint32_t SetLogTimeOptions(const std::string& format, bool sourcePAV, bool zoneUtc);
  // Adds, for every counter session without one, a log definition of these
  // log types with all channels (a QMT type gets its own definition on the
  // session's QMT-only copy). The number of definitions added.
  int AddLogDefinitions(uint32_t types);
  // Makes the QMT-only copies a definition logs from, so the sampler knows
  // every session of it before the definition is added.
  void PrepareLogSources(const TLogDefinition& definition);
  // A definition the user made or changed: its sources are prepared and it
  // is marked as pairing different counters when the serial numbers of its
  // counter parts differ.
  void PrepareNewLogDefinition(TLogDefinition& definition);
  TSyncList& SyncList() { return FSyncList; }
  int MainLogId() const { return FMainLogId; }
  bool Canceled() const { return FAppCanceled; }
  bool Started() const { return FAllInitialized; }
  // Sets the evaluation step of every counter session (now and later).
  void SetEvaluation(TReportEvaluation evaluation);

 private:
  bool CreateSettings();
  void CheckFolders();
  bool CheckLibraryVersion();
  void CreateSessions();
  // A session of the settings: a counter session, or one whose keys are
  // only kept (a kind this program does not have, no connection).
  void CreateStoredSession(int index);
  void KeepSession(int index, int sessionType, const std::string& reason);
  TConnectionChoice ConnectionProposal(int index, uint32_t color, int connectionType) const;
  bool HasUsableSession() const;
  std::shared_ptr<TVQSessionItem> CreateSession(int index);
  bool OpenDevice(TSessionItem& session, bool silent);
  void ApplyConnectionChoice(TVQSessionItem& session, const TConnectionChoice& choice);
  // Tells an open counter how many channels to transmit (TConnectionChoice::ChannelCount).
  void SendChannelCount(TVQSessionItem& session, int channelCount);
  void RemoveSession(int index);
  void DoSessionChange(int index, const TConnectionChoice& choice);
  // Takes the session out of the acquisition thread's hands and its slot.
  std::shared_ptr<TSessionItem> ReleaseSession(int index);
  void ConsumeHandOver();
  void AddMessage(int sessionIndex, int code, TMsgType kind, const std::string& text, int subCode);
  void UpdateSessionColors();
  void CreateMultiSampler();
  void ReadLogDefinitions();
  void UpdateSamplerSessions();
  void AskSerialNumbers();
  void ReopenLostConnections();
  void TickStepFailed(const char* step, const std::exception& e);
  TSessionSamplerHooks SamplerHooks();
  TSamplerOptions SamplerOptions();
  void RenumberSessionReferences(const std::vector<std::pair<int, int>>& oldToNew);
  // Writes the session, log and window keys into the store (SaveSettings
  // without the files).
  void CollectSettings(bool closeViews);
  // Writes both files (only when changed with `onlyChanged`); a failure is
  // posted once until a save succeeds again.
  void WriteSettingsFiles(bool onlyChanged);
  void PostSettingsProblems();
  void Log(const std::string& text) const;
  void LogErr(const std::string& text) const;

  const TZepAppOptions FOptions;
  TZepFrontEnd& FFrontEnd;
  // Before every producer of messages, so it is freed after all of them.
  TMessageList FMsgList;
  uint64_t FTakeCursor = 0;  // TakeMessages' position in the change log
  // Session colours for the list, kept by the main thread: a lookup from the
  // acquisition thread must never hold (and so possibly free) a session.
  mutable std::mutex FColorLock;
  std::map<int, uint32_t> FSessionColors;
  std::unique_ptr<TConfigLock> FConfigLock;  // held from the first read of the settings to the last save
  std::unique_ptr<TZEPSettings> FSettings;
  std::unique_ptr<TDebugConf> FDebugConf;
  int FMainLogId = -1;
  // The sampler and its writer outlive the sessions, whose hooks feed the writer.
  std::unique_ptr<TZEP_MultiSampler> FMultiSampler;
  std::unique_ptr<TSamplerQueue> FSamplerQueue;
  TSessionList FSessions;
  std::vector<std::shared_ptr<TVQSessionItem>> FSessionCopies;  // main thread only
  TSyncList FSyncList;
  std::unique_ptr<TZEP_ReportThread> FReportThread;
  TReportEvaluation FEvaluation;

  bool FAllInitialized = false;
  bool FAppCanceled = false;
  bool FShutDownDone = false;
  bool FSaveFailureShown = false;
  std::chrono::steady_clock::time_point FLastSaveCheck{};
  int FLockDisplayTimer = 0;  // above 0 while a display tick runs
  std::vector<int> FRemoveSessions;  // requested, carried out by the display tick
  std::vector<std::pair<int, TConnectionChoice>> FChangeSessions;
  std::atomic<bool> FSessionsChanged{false};


  std::unique_ptr<TKeepAwake> FKeepAwake;
};
