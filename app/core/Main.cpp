#include "app/core/Main.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <map>
#include <set>

#include "app/core/App_ConfigLock.h"
#include "app/core/App_KeepAwake.h"
#include "app/core/App_LogSetup.h"
#include "app/core/App_StatusFields.h"
#include "app/core/App_Views.h"
#include "app/core/ZEP_DebugConf.h"
#include "app/core/ZEP_ReportThread.h"
#include "app/core/ZEP_SamplerQueue.h"
#include "app/core/ZEP_SamplerSource.h"
#include "app/core/ZEP_Settings.h"
#include "app/output/ZEP_MultiSampler.h"
#include "app/data/PAV_DataManagement.h"
#include "app/data/QMT_DataManagement.h"
#include "library/core/LogUnit.h"
#include "library/platform/VQ_File.h"
#include "library/sources/MultiSource.h"

namespace {

bool ParseNumber(std::string_view text, long& value) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc{} && end == text.data() + text.size();
}

}  // namespace

bool IsLibraryVersionSupported(std::string_view versionText) {
  const std::string_view version = versionText.substr(0, versionText.find(' '));
  std::array<long, 3> parts{};
  std::size_t start = 0;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::size_t dot = version.find('.', start);
    const bool last = i + 1 == parts.size();
    if (!last && dot == std::string_view::npos) return false;
    const std::string_view part = version.substr(start, last ? std::string_view::npos : dot - start);
    if (!ParseNumber(part, parts[i])) return false;
    start = dot + 1;
  }
  const auto [major, minor, patch] = parts;
  if (major != 20) return major > 20;
  if (minor != 0) return minor > 0;
  return patch > 1;
}

std::string InvalidLibraryVersionText(std::string_view versionText) {
  return "Invalid version of VQ library: " + std::string(versionText) +
         ", minimal version needed: " + std::string(ZEP_MinLibraryVersion);
}

// ---- the application without windows -----------------------------------------------------


namespace {

constexpr auto kStopWait = std::chrono::seconds(5);

// Colours of new sessions, by slot.
constexpr uint32_t kSessionColors[4] = {0xFFFF00, 0x00FF00, 0xFF00FF, 0x00FFFF};

std::string SessionPrefix(int index) { return "Session_" + std::to_string(index) + "_"; }

std::string WithSlash(std::string folder) {
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder;
}

}  // namespace

TZepApp::TZepApp(TZepAppOptions options, TZepFrontEnd& frontEnd)
    : FOptions(std::move(options)), FFrontEnd(frontEnd) {}

TZepApp::~TZepApp() {
  Shutdown();
  // Freed in order: the thread is gone, then the sessions (closing nothing
  // more), then the settings.
  FReportThread.reset();
  FSessionCopies.clear();
  FSessions.Clear();
  FSamplerQueue.reset();
  FMultiSampler.reset();
  FDebugConf.reset();
  FSettings.reset();
  FConfigLock.reset();
}

void TZepApp::Log(const std::string& text) const {
  if (LogWanted(FMainLogId)) LogInfo(FMainLogId, text);
}

void TZepApp::LogErr(const std::string& text) const {
  if (LogWanted(FMainLogId)) LogError(FMainLogId, text);
}

// ---- start-up --------------------------------------------------------------------------------

bool TZepApp::Start() {
  if (!CreateSettings()) return false;
  CheckFolders();
  Multi_SetOption(MultiOption::Report7019);
  if (FOptions.Professional) Multi_SetOption(MultiOption::RawData);
  if (!CheckLibraryVersion()) {
    FAppCanceled = true;  // the application does not run: nothing to save
    return false;
  }

  Log("TMainForm.LosGehts");
  CreateMultiSampler();
  CreateSessions();
  PostSettingsProblems();
  if (!HasUsableSession()) {
    if (FFrontEnd.AsksForConnection()) FFrontEnd.ShowMessage("Please choose a connection or app will be canceled");
    NewSession();
  }
  if (!HasUsableSession()) {
    Log("TMainForm.LosGehts: no connection, cancel app");
    FAppCanceled = true;
    return false;
  }
  ReadLogDefinitions();
  PostSettingsProblems();
  Log("TMainForm.LosGehts.Open sessions");
  for (const auto& session : FSessions.Sessions())
    if (!session->OpenString().empty() && !std::dynamic_pointer_cast<TKeptSessionItem>(session))
      OpenDevice(*session, true);
  FReportThread = std::make_unique<TZEP_ReportThread>(
      FSessions, FDebugConf->DebugFlag(13) ? FMainLogId : -1,
      [this](const std::string& text) { AddMessage(-1, 0, mtError, text, 0); });
  UpdateSessionColors();
  FAllInitialized = true;
  FKeepAwake = std::make_unique<TKeepAwake>(FMainLogId);
  Log("TMainForm.LosGehts END");
  return true;
}

// The settings stores in the configuration folder and the main debug log.
bool TZepApp::CreateSettings() {
  const std::string folder = WithSlash(FOptions.ConfigFolder);
  if (const std::string problem = FolderWriteProblem(folder); !problem.empty()) {
    FFrontEnd.ShowMessage("The configuration folder " + folder + " cannot be written: " + problem);
    FAppCanceled = true;
    return false;
  }
  FConfigLock = std::make_unique<TConfigLock>();
  if (!FConfigLock->Acquire(folder, FOptions.AppBaseName)) {
    FFrontEnd.ShowMessage(FConfigLock->Problem());
    FAppCanceled = true;
    return false;
  }
  FSettings = std::make_unique<TZEPSettings>(folder + "ZEP_App.ini", folder);
  FSettings->SetProfessionalMode(FOptions.Professional);
  FDebugConf = std::make_unique<TDebugConf>(folder + "ZEP_DebugConf.ini");
  FDebugConf->GetConfig();
  FMainLogId = NewLog();
  FMsgList.SetLogId(FMainLogId);
  FMsgList.SetSessionColor([this](int index) -> std::optional<uint32_t> {
    std::lock_guard lock(FColorLock);
    const auto it = FSessionColors.find(index);
    return it == FSessionColors.end() ? std::nullopt : std::optional<uint32_t>(it->second);
  });
  FDebugConf->SetLogId(FMainLogId);
  FSyncList.SetLogId(FDebugConf->DebugFlag(10) ? FMainLogId : -1);
  SetLogLimit(FMainLogId, TLogLimitType::logCreateNew, 0);
  SetLogHeaderLines(FMainLogId, {"ZEP-App: " + FOptions.AppBaseName + ", Version: " + std::string(ZEP_AppVersion), ""});
  if (!FConfigLock->Problem().empty()) AddMessage(-1, SessionMsg::ErrorIniFile, mtError, FConfigLock->Problem(), 0);
  PostSettingsProblems();
  return true;
}

// Debug and log folders that cannot be used fall back to the defaults in
// the configuration folder.
void TZepApp::CheckFolders() {
  const std::string config = WithSlash(FOptions.ConfigFolder);
  std::string problem;
  if (const std::string reason = FolderWriteProblem(FSettings->DebugRootFolder()); !reason.empty()) {
    problem = "Invalid path DebugRootFolder=" + FSettings->DebugRootFolder() + " (" + reason + ")";
    FSettings->SetDebugRootFolder(config + "Debug/");
  }
  SetLogSavePath(FMainLogId, FSettings->DebugRootFolder());
  SetLogFile(FMainLogId, FSettings->DebugRootFolder() + FOptions.AppBaseName + ".txt", !FSettings->AppDebugLog());
  if (!problem.empty()) {
    LogErr(problem);
    AddMessage(-1, SessionMsg::ErrorIniFile, mtError, problem, 0);
  }
  Log("TMainForm.FormCreate: LogId=" + std::to_string(FMainLogId) + ", Version=" + std::string(ZEP_AppVersion));
  if (const std::string reason = FolderWriteProblem(FSettings->LogRootFolder()); !reason.empty()) {
    const std::string text = "Invalid path LogRootFolder=" + FSettings->LogRootFolder() + " (" + reason + ")";
    LogErr(text);
    AddMessage(-1, SessionMsg::ErrorIniFile, mtError, text, 0);
    FSettings->SetLogRootFolder(config + "Logs/");
  }
}

bool TZepApp::CheckLibraryVersion() {
  const std::string version = Multi_GetLibraryVersion();
  Log("TMainForm.FormCreate: DllInfo=" + version);
  if (IsLibraryVersionSupported(version)) return true;
  const std::string text = InvalidLibraryVersionText(version);
  LogErr(text);
  FFrontEnd.ShowMessage(text);
  return false;
}

// The sessions of the settings; on a first start one from the dialog.
// Numbers without keys (gaps of an earlier run) are skipped. Sessions are
// stored as "Session_" + n + "_" records; a "SessionCount" that is missing
// or damaged while records are stored must not cost them: they are read.
void TZepApp::CreateSessions() {
  std::vector<int> stored = FSettings->StoredNumbers("Session_");
  std::optional<int64_t> count;
  const std::string instead = "the " + std::to_string(stored.size()) + " stored sessions are read";
  if (FSettings->HasKey("SessionCount"))
    count = FSettings->StoredInteger("SessionCount", -1, std::numeric_limits<int>::max(), instead);
  else if (!stored.empty())
    FSettings->ReportValueProblem("SessionCount", "Settings value SessionCount is missing; " + instead);
  Log("TMainForm.LosGehts SessionCount=" + (count ? std::to_string(*count) : std::string("?")));
  if (stored.empty() && count.value_or(-1) < 0) {
    Log("TMainForm.LosGehts First App start -> create first default session");
    NewSession();
    return;
  }
  if (count && *count >= 0) std::erase_if(stored, [&](int index) { return index >= *count; });
  for (const int index : stored) CreateStoredSession(index);
}

void TZepApp::CreateStoredSession(int index) {
  const std::string prefix = SessionPrefix(index);
  // Read without adding keys: a session that is only kept must stay as stored.
  const int kind = static_cast<int>(FSettings->StoredInteger(prefix + "SessionType", std::numeric_limits<int>::min(),
                                                             std::numeric_limits<int>::max(),
                                                             "the session is taken as a counter session")
                                        .value_or(0));
  if (kind != 0) {
    KeepSession(index, kind,
                kind == 1 || kind == 2 ? "sensor sessions are not available in this version"
                                       : "session type " + std::to_string(kind) + " is unknown");
    return;
  }
  std::optional<TConnectionChoice> choice;
  if (FSettings->RawValue(prefix + "OpenString").value_or(std::string()).empty()) {
    const auto color = FSettings->StoredInteger(prefix + "Color", std::numeric_limits<int>::min(),
                                                std::numeric_limits<int>::max());
    const auto type = FSettings->StoredInteger(prefix + "ConnectionType", std::numeric_limits<int>::min(),
                                               std::numeric_limits<int>::max());
    TConnectionChoice proposal = ConnectionProposal(index, static_cast<uint32_t>(color.value_or(TSessionItem::kDefaultColor)),
                                                    static_cast<int>(type.value_or(ctUnknown)));
    proposal.FriendlyName = FSettings->RawValue(prefix + "FriendlyName").value_or(std::string());
    choice = FFrontEnd.ChooseMissingConnection(index, proposal);
    if (!choice || choice->OpenString.empty()) {
      KeepSession(index, 0, "it has no connection string");
      return;
    }
  }
  std::shared_ptr<TVQSessionItem> session = CreateSession(index);
  if (choice) ApplyConnectionChoice(*session, *choice);
  FSessions.Put(index, session);
}

void TZepApp::KeepSession(int index, int sessionType, const std::string& reason) {
  auto kept = std::make_shared<TKeptSessionItem>(index, sessionType, reason);
  kept->ReadSettings(*FSettings, SessionPrefix(index));
  FSessions.Put(index, kept);
  const std::string text =
      std::string("Session ") + SessionLetter(index) + ": " + reason + "; it is not opened, its settings are kept";
  Log("TMainForm.LosGehts " + text);
  AddMessage(index, SessionMsg::ErrorIniFile, mtError, text, 0);
}

// The connection dialog's start: a session with the default colour gets the
// colour of its slot; an unknown connection type shows as USB.
TConnectionChoice TZepApp::ConnectionProposal(int index, uint32_t color, int connectionType) const {
  TConnectionChoice proposal;
  proposal.Color = color == TSessionItem::kDefaultColor ? kSessionColors[index % 4] : color;
  proposal.ConnectionType = connectionType == ctUnknown ? ctUSB : connectionType;
  return proposal;
}

bool TZepApp::HasUsableSession() const {
  const auto sessions = FSessions.Sessions();
  return std::any_of(sessions.begin(), sessions.end(),
                     [](const auto& session) { return !std::dynamic_pointer_cast<TKeptSessionItem>(session); });
}

std::shared_ptr<TVQSessionItem> TZepApp::CreateSession(int index) {
  const std::string prefix = SessionPrefix(index);
  const bool debug = FDebugConf->GetValue("Source" + std::to_string(index), FDebugConf->DebugFlag(9));
  auto session = std::make_shared<TVQSessionItem>(
      debug ? FMainLogId : -1, index, [this](TSessionItem&) { FSessionsChanged = true; },
      FMsgList.Callback());
  session->SetDebugPath(FSettings->DebugRootFolder());
  if (const std::string error = session->ReadSettings(*FSettings, prefix); !error.empty())
    AddMessage(index, SessionMsg::ErrorIniFile, mtError, error, 0);
  TVQSessionItem::ConnectSyncList(session, FSyncList);
  session->PAV().SetAllanDebug(FDebugConf->DebugFlag(15));  // "AllanData"
  if (FEvaluation) session->SetEvaluation(FEvaluation);
  session->SetSamplerHooks(SamplerHooks());
  return session;
}

int TZepApp::NewSession() {
  const int index = FSessions.FreeSlot();
  Log("TMainForm.SourceNewExecute sIndex=" + std::to_string(index));
  std::shared_ptr<TVQSessionItem> session = CreateSession(index);
  int channelCount = -1;
  if (session->OpenString().empty()) {
    TConnectionChoice proposal = ConnectionProposal(index, session->Color(), session->ConnectionType());
    proposal.UseDeviceCalibration = session->UseDeviceCalibration();
    proposal.Ref20MHz = session->Ref20MHz();
    const std::optional<TConnectionChoice> choice = FFrontEnd.ChooseConnection(index, proposal);
    if (!choice) {
      Log("TMainForm.SourceNewExecute: cancel");
      return -1;
    }
    ApplyConnectionChoice(*session, *choice);
    if (choice->OpenString.empty()) {
      AddMessage(index, 86, mtError,
                 "No connection chosen" + (choice->PortDescription.empty() ? "" : ": " + choice->PortDescription), 0);
      return -1;
    }
    channelCount = choice->ChannelCount;
  }
  FSessions.Put(index, session);
  FSessionsChanged = true;
  if (!FAllInitialized) return index;
  if (!OpenDevice(*session, false)) {
    Log("TMainForm.SourceNewExecute: Open failed -> remove session");
    RemoveSession(index);
    return -1;
  }
  SendChannelCount(*session, channelCount);
  return index;
}

std::string ChannelCountChoiceText(int channelCount) {
  if (channelCount <= 0) return "Transmit all channels";
  if (channelCount == 1) return "Transmit channel 1";
  return "Transmit channels 1.." + std::to_string(channelCount);
}

void TZepApp::ApplyConnectionChoice(TVQSessionItem& session, const TConnectionChoice& choice) {
  session.SetOpenParams(choice.OpenString, choice.ConnectionType, choice.Color, choice.FriendlyName);
  session.SetClearBufferOnStart(choice.ClearBuffer);
  session.SetConnectionOptions(choice.UseDeviceCalibration, choice.Ref20MHz);
}

void TZepApp::SendChannelCount(TVQSessionItem& session, int channelCount) {
  if (channelCount < 0 || session.OpenString() == kNoConnection || !session.DeviceOpened()) return;
  if (session.ConnectionType() == ctTCPServer || session.ConnectionType() == ctFile) return;  // no commands
  Log("TMainForm.SendChannelCount session " + std::to_string(session.Index()) + ": " +
      ChannelCountChoiceText(channelCount));
  session.SendCommand(TVQSessionItem::DemoChannelCommand(channelCount));
}

bool TZepApp::OpenDevice(TSessionItem& session, bool silent) {
  if (session.OpenString() == kNoConnection) return true;
  // A server on the network may come up a moment later: the user may try again.
  const bool network = session.ConnectionType() == ctNetwork || session.ConnectionType() == ctTCPServer;
  for (;;) {
    Log("TMainForm.OpenDevice for session " + std::to_string(session.Index()));
    const std::string error = session.OpenDevice();
    if (error.empty()) return true;
    LogErr("TMainForm.OpenDevice: " + session.OpenString() + " failed: " + error);
    if (!silent) FFrontEnd.ShowMessage(error);
    AddMessage(session.Index(), SessionMsg::ConnectFailed, mtError, error, 0);
    if (silent || !network || !FFrontEnd.AskYesNo("Connect server again?")) return false;
  }
}

// ---- main-thread ticks -------------------------------------------------------------------------

void TZepApp::RequestRemoveSession(int index) { FRemoveSessions.push_back(index); }

bool TZepApp::OpenSession(int index) {
  const std::shared_ptr<TSessionItem> session = FSessions.At(index);
  if (!session || session->DeviceOpened()) return false;
  const bool opened = OpenDevice(*session, false);
  FSessionsChanged = true;
  return opened;
}

void TZepApp::RequestChangeSession(int index, const TConnectionChoice& choice) {
  FChangeSessions.emplace_back(index, choice);
}

// The acquisition thread lets go of the session before it is closed; the
// caller's reference is then the last, so it is freed on the main thread.
std::shared_ptr<TSessionItem> TZepApp::ReleaseSession(int index) {
  std::shared_ptr<TSessionItem> session = FSessions.At(index);
  if (!session) return nullptr;
  if (FReportThread) {
    FReportThread->RemoveSession(session);
    if (!FReportThread->WaitUntilNotPolling(session, kStopWait))
      LogErr("TMainForm.ReleaseSession: acquisition thread still busy with " + session->ToString());
  }
  session->CloseDevice(true);
  FSessions.Take(index);
  if (FReportThread) {
    FReportThread->WaitUntilNotPolling(session, kStopWait);
    FReportThread->RemoveSession(nullptr);
  }
  // Its QMT-only copy goes with it.
  std::erase_if(FSessionCopies, [&](const auto& copy) { return copy->LinkedSession() == session; });
  FSessionsChanged = true;
  return session;
}

std::shared_ptr<TVQSessionItem> TZepApp::CreateQMTCopy(int index) {
  const auto session = std::dynamic_pointer_cast<TVQSessionItem>(FSessions.At(index));
  if (!session) return nullptr;
  if (auto existing = session->LinkedSession()) return existing;
  auto copy = TVQSessionItem::CopyQMTPart(session);
  if (copy) FSessionCopies.push_back(copy);
  FSessionsChanged = true;
  return copy;
}

void TZepApp::RemoveSession(int index) {
  std::shared_ptr<TSessionItem> session = FSessions.At(index);
  if (!session) return;
  Log("TMainForm.RemoveSession " + session->ToString());
  ReleaseSession(index);
  FSamplerQueue->Flush();
  FMultiSampler->RemoveSession(index);
  FSettings->RemoveKeys(SessionPrefix(index));
}

void TZepApp::DoSessionChange(int index, const TConnectionChoice& choice) {
  std::shared_ptr<TSessionItem> old = ReleaseSession(index);
  if (!old) return;
  FSamplerQueue->Flush();
  FMultiSampler->CloseFilesSession(index, false);
  FMultiSampler->CloseFilesSession(index, true);
  Log("TMainForm.DoSessionChange old=" + old->ToString());
  old.reset();
  std::shared_ptr<TVQSessionItem> session = CreateSession(index);
  ApplyConnectionChoice(*session, choice);
  FSessions.Put(index, session);
  Log("TMainForm.DoSessionChange new=" + session->ToString());
  if (OpenDevice(*session, false)) SendChannelCount(*session, choice.ChannelCount);
}

// A step of the display tick that failed: logged and posted; the tick goes on.
void TZepApp::TickStepFailed(const char* step, const std::exception& e) {
  LogErr(std::string("TMainForm.DisplayTimerTimer ") + step + " failed: " + e.what());
  AddMessage(-1, 0, mtError,
             std::string("Internal Exception DisplayTimer ") + step + "(" + ExceptionClassName(e) + "): " + e.what(), 0);
}

void TZepApp::DisplayTick() {
  if (!FAllInitialized) return;
  // A message box opened by a step (a failed open) runs its own event loop,
  // in which the front end's timer calls again: that tick does nothing.
  if (FLockDisplayTimer > 0) {
    Log("TMainForm.DisplayTimerTimer locked " + std::to_string(FLockDisplayTimer));
    return;
  }
  ++FLockDisplayTimer;
  struct TUnlock {
    int& Count;
    ~TUnlock() { --Count; }
  } unlock{FLockDisplayTimer};
  // Each queued removal and change is carried out on its own: one that
  // fails leaves the others to run.
  std::vector<int> removals;
  removals.swap(FRemoveSessions);
  for (const int index : removals) {
    try {
      RemoveSession(index);
    } catch (const std::exception& e) {
      TickStepFailed("SourceRemove", e);
    }
  }
  std::vector<std::pair<int, TConnectionChoice>> changes;
  changes.swap(FChangeSessions);
  for (const auto& [index, choice] : changes) {
    try {
      DoSessionChange(index, choice);
    } catch (const std::exception& e) {
      TickStepFailed("SourceChange", e);
    }
  }
  try {
    AskSerialNumbers();
  } catch (const std::exception& e) {
    TickStepFailed("SerialNumber", e);
  }
  try {
    ReopenLostConnections();
  } catch (const std::exception& e) {
    TickStepFailed("Reopen", e);
  }
  ConsumeHandOver();
  if (FSessionsChanged.exchange(false)) {
    UpdateSessionColors();
    UpdateSamplerSessions();
    if (FReportThread) FReportThread->CheckSerialConnections();
    FFrontEnd.SessionsChanged();
  }
  PostSettingsProblems();
  const auto now = std::chrono::steady_clock::now();
  if (now - FLastSaveCheck >= FOptions.SaveChangesEvery) {
    FLastSaveCheck = now;
    try {
      SaveChangedSettings();
    } catch (const std::exception& e) {
      TickStepFailed("SaveSettings", e);
    }
  }
  if (FMsgList.DisplayTick().ShowWindow) FFrontEnd.ShowMessageWindow();
}

// Counters of time-synchronised logs are told apart by serial number, which
// the library learns once the counter answered.
void TZepApp::AskSerialNumbers() {
  for (const auto& session : FSessions.Sessions()) {
    const auto counter = std::dynamic_pointer_cast<TVQSessionItem>(session);
    if (!counter || counter->SerialNumberOk() || !counter->GetSerialNumber()) continue;
    Log("TMainForm.DisplayTimerTimer SerialNumber " + counter->ToString() + " = " +
        std::to_string(counter->SerialNumber()));
  }
}

void TZepApp::ReopenLostConnections() {
  for (const auto& session : FSessions.Sessions())
    if (const auto counter = std::dynamic_pointer_cast<TVQSessionItem>(session)) counter->ReopenIfLost();
}

void TZepApp::UpdateSessionColors() {
  std::map<int, uint32_t> colors;
  for (const auto& session : FSessions.Sessions()) colors[session->Index()] = session->Color();
  std::lock_guard lock(FColorLock);
  FSessionColors.swap(colors);
}

void TZepApp::ConsumeHandOver() {
  if (const std::size_t count = FSyncList.Count(); count > 0)
    Log("TMainForm.DisplayTimerTimer SyncList.Count=" + std::to_string(count));
  while (std::optional<TMainSyncData> item = FSyncList.TakeFirst()) {
    try {
      Log("TMainForm.DisplayTimerTimer " + item->ToString());
      FFrontEnd.HandOver(*item);
    } catch (const std::exception& e) {
      TickStepFailed("Synchronize", e);
      return;
    }
  }
}

void TZepApp::CheckTick() {}

// ---- shutdown --------------------------------------------------------------------------------------

// The acquisition thread ends first, so no poll runs while the devices close
// and nothing it uses is freed under it.
void TZepApp::Shutdown() {
  if (FShutDownDone) return;
  FShutDownDone = true;
  if (FReportThread) FReportThread->Stop();
  for (const auto& session : FSessions.Sessions()) session->CloseDevice(true);
  // Every queued record is written before the files close.
  if (FSamplerQueue) FSamplerQueue->Stop();
  if (FMultiSampler) FMultiSampler->CloseAll();
  if (FSettings) SaveSettings(true);
  FKeepAwake.reset();
  Log("TMainForm.FormClose END");
}

void TZepApp::SaveSettings(bool closeViews) {
  if (FAppCanceled) {
    Log("TMainForm.SaveSettings AppCanceled NICHT speichern");
    return;
  }
  CollectSettings(closeViews);
  WriteSettingsFiles(false);
}

void TZepApp::SaveChangedSettings() {
  if (FAppCanceled || !FAllInitialized || FShutDownDone) return;
  CollectSettings(false);
  WriteSettingsFiles(true);
}

namespace {

// The stored "Info_" + n + "_" keys by session number, as (name after the
// prefix, value); the keys are removed.
std::map<int, std::vector<std::pair<std::string, std::string>>> TakeInfoKeys(TAppSettings& settings) {
  std::map<int, std::vector<std::pair<std::string, std::string>>> keys;
  for (const int n : settings.StoredNumbers("Info_")) {
    const std::string prefix = "Info_" + std::to_string(n) + "_";
    for (const std::string& line : settings.Lines()) {
      const std::size_t equals = line.find('=');
      if (line.starts_with(prefix) && equals != std::string::npos)
        keys[n].emplace_back(line.substr(prefix.size(), equals - prefix.size()), line.substr(equals + 1));
    }
  }
  settings.RemoveKeys("Info_");
  return keys;
}

}  // namespace

void TZepApp::CollectSettings(bool closeViews) {
  // The windows name their sessions by the numbers they have before this save renumbers them.
  FFrontEnd.SaveWindowKeys(*FSettings);
  FSettings->RemoveKeys("Session_");
  // A front end without info windows keeps the stored ones, renumbered with their sessions.
  const auto infoKeys = TakeInfoKeys(*FSettings);
  std::vector<std::pair<int, int>> renumbered;
  std::vector<std::pair<int, int>> numbers;
  int highest = -1;
  int next = 0;
  for (const auto& session : FSessions.Sessions()) {
    const int oldIndex = session->Index();
    const int index = closeViews ? next++ : oldIndex;
    if (index != oldIndex) {
      renumbered.emplace_back(oldIndex, index);
      session->UpdateIndex(index);
      // The copy takes the same number.
      if (const auto counter = std::dynamic_pointer_cast<TVQSessionItem>(session))
        if (const auto copy = counter->LinkedSession()) copy->UpdateIndex(index);
    }
    session->SaveSettings(*FSettings, SessionPrefix(index));
    if (const auto info = infoKeys.find(oldIndex); info != infoKeys.end())
      for (const auto& [name, value] : info->second) FSettings->KeepValue(InfoWindowPrefix(index) + name, value);
    numbers.emplace_back(oldIndex, index);
    highest = std::max(highest, index);
  }
  FFrontEnd.SaveSessionKeys(*FSettings, numbers);
  if (FMultiSampler) FMultiSampler->SaveSettings(*FSettings);
  if (!renumbered.empty()) RenumberSessionReferences(renumbered);
  // The highest number + 1: with a gap, the last session is still read.
  FSettings->SetValue("SessionCount", highest + 1 > 0 ? highest + 1 : -1);
  FSettings->SetValue("Main_DefaultSettings", false);
}

void TZepApp::WriteSettingsFiles(bool onlyChanged) {
  if (onlyChanged ? FSettings->SaveIfChanged() : FSettings->SaveSettings()) {
    FSaveFailureShown = false;
  } else {
    LogErr("TMainForm.SaveSettings failed: " + FSettings->SaveError());
    // A save that keeps failing (a full disk) is said once, until one succeeds.
    if (!FSaveFailureShown) AddMessage(-1, SessionMsg::ErrorIniFile, mtError, FSettings->SaveError(), 0);
    FSaveFailureShown = true;
  }
  if (!(onlyChanged ? FDebugConf->SaveIfChanged() : FDebugConf->SaveSettings()))
    LogErr("TMainForm.SaveSettings ZEP_DebugConf.ini failed: " + FDebugConf->SaveError());
}

// Keys that store a session number follow the sessions' new numbers: those
// of every stored view (a front end without windows keeps them) and of the
// log definitions.
void TZepApp::RenumberSessionReferences(const std::vector<std::pair<int, int>>& oldToNew) {
  const auto renumber = [&](const std::string& name) {
    const std::optional<int64_t> value = FSettings->StoredInteger(name, -1, std::numeric_limits<int>::max());
    if (!value) return;
    for (const auto& [from, to] : oldToNew)
      if (*value == from) {
        FSettings->SetValue(name, to);
        return;
      }
  };
  for (const int n : FSettings->StoredNumbers("View_")) {
    renumber("View_" + std::to_string(n) + "_Session");
    renumber("View_" + std::to_string(n) + "_SecondSession");
  }
  RenumberLogDefinitions(*FSettings, oldToNew);
}

void TZepApp::PostSettingsProblems() {
  for (TAppSettings* settings : {static_cast<TAppSettings*>(FSettings.get()), static_cast<TAppSettings*>(FDebugConf.get())})
    if (settings)
      for (const std::string& problem : settings->TakeProblems()) AddMessage(-1, SessionMsg::ErrorIniFile, mtError, problem, 0);
}

// ---- measurement logs ---------------------------------------------------------------------------------

TSamplerOptions TZepApp::SamplerOptions() {
  TSamplerOptions options;
  options.LogTimeFormat = FSettings->LogTimeFormat();
  options.LogTimeSourcePAV = FSettings->LogTimeSourcePAV();
  options.LogTimeZoneSystem = FSettings->LogTimeZoneSystem();
  options.DecSepLog = FSettings->FormatSettingsLog().DecimalSeparator;
  options.DefaultFolder = WithSlash(FSettings->LogRootFolder());
  return options;
}

void TZepApp::CreateMultiSampler() {
  const int logId = FDebugConf->DebugFlag(8) ? FMainLogId : -1;  // "Sampler"
  FMultiSampler = std::make_unique<TZEP_MultiSampler>(logId, FMsgList.Callback());
  FMultiSampler->SetOptions(SamplerOptions());
  FSamplerQueue = std::make_unique<TSamplerQueue>(*FMultiSampler, logId);
  FSamplerQueue->Start();
}

// The sessions' log data go through the writer's queue: the acquisition
// thread never waits on a file.
TSessionSamplerHooks TZepApp::SamplerHooks() {
  TSamplerQueue* queue = FSamplerQueue.get();
  TSessionSamplerHooks hooks;
  hooks.OnEvent = [queue](int s, bool c, int what, const std::string& text) { queue->UpdateSession(s, c, what, text); };
  hooks.OnTimeStamp = [queue](int s, bool c, int64_t time100ms) { queue->AddTimeStamp(s, c, time100ms); };
  hooks.OnRecord = [queue](int s, bool c, bool virtualRecord, const TMultiSamplerStrings& strings,
                           std::optional<TUtcMs> counterTime) {
    queue->AddStrings(s, c, virtualRecord ? sscVirtual : sscStandard, strings, counterTime);
  };
  hooks.OnSyncTime = [queue](int s, bool c, const std::string& syncTime) { queue->SetSessionSyncTime(s, c, syncTime); };
  hooks.OnWarning = [queue](int s, bool c, const std::string& text) { queue->AddWarning(s, c, text); };
  return hooks;
}

// The definitions of the settings. A folder that cannot be made moves its
// definition's file into the log root folder; the QMT-only copies that
// definitions log from are made before the sampler sees the session list.
void TZepApp::ReadLogDefinitions() {
  FMultiSampler->BeginUpdate();
  FMultiSampler->ReadSettings(*FSettings);
  for (int d = 0; d < FMultiSampler->DefinitionSlotCount(); ++d) {
    std::unique_ptr<TLogDefinition> definition = FMultiSampler->GetDefinition(d);
    if (!definition) continue;
    PrepareLogSources(*definition);
    const std::string folder = LogFileFolder(definition->FileName());
    if (folder.empty()) continue;
    const std::string reason = FolderWriteProblem(folder);
    if (reason.empty()) continue;
    const std::string text = "Invalid log file path=" + folder + " (" + reason + ")";
    LogErr(text);
    AddMessage(-1, SessionMsg::ErrorIniFile, mtError, text, 0);
    definition->SetFileName(WithSlash(FSettings->LogRootFolder()) + LogFileBaseName(definition->FileName()));
    FMultiSampler->ChangeDefinition(d, std::move(definition));
  }
  UpdateSamplerSessions();
  FMultiSampler->EndUpdate();
}

void TZepApp::UpdateSamplerSessions() {
  if (!FMultiSampler) return;
  std::vector<std::shared_ptr<TSamplerSource>> sources;
  for (const auto& session : FSessions.Sessions()) {
    if (auto counter = std::dynamic_pointer_cast<TVQSessionItem>(session)) {
      sources.push_back(std::make_shared<TSessionSamplerSource>(counter));
    } else if (std::dynamic_pointer_cast<TKeptSessionItem>(session)) {
      // Its log definitions stay, though nothing is logged from it.
      for (const bool copy : {false, true}) sources.push_back(std::make_shared<TKeptSamplerSource>(*session, copy));
    }
  }
  for (const auto& copy : FSessionCopies) sources.push_back(std::make_shared<TSessionSamplerSource>(copy));
  FMultiSampler->UpdateSessionList(sources);
}

void TZepApp::PrepareLogSources(const TLogDefinition& definition) {
  bool made = false;
  for (int p = 0; p < definition.Count(); ++p)
    if (const TSimpleLogDefinition* part = definition.GetDefinition(p); part->FSourceCopy && FSessions.At(part->FSource))
      made = CreateQMTCopy(part->FSource) != nullptr || made;
  if (made) UpdateSamplerSessions();
}

void TZepApp::PrepareNewLogDefinition(TLogDefinition& definition) {
  std::set<uint32_t> serials;
  for (int p = 0; p < definition.Count(); ++p) {
    const TSimpleLogDefinition* part = definition.GetDefinition(p);
    if (part->FSourceCopy) continue;
    if (const auto session = FSessions.At(part->FSource)) serials.insert(session->SerialNumber());
  }
  definition.SetDifferentDevices(serials.size() > 1);
  PrepareLogSources(definition);
}

bool TZepApp::LogFileActive() const { return FMultiSampler && FMultiSampler->LogFileActive(); }

void TZepApp::FlushLogs() {
  if (FSamplerQueue) FSamplerQueue->Flush();
}

uint32_t TZepApp::SetLogTimeOptions(const std::string& format, bool sourcePAV, bool zoneUtc) {
  uint32_t what = 0;
  if (format != FSettings->LogTimeFormat()) {
    FSettings->SetLogTimeFormat(format);
    what |= SamplerOption::TimeFormat;
  }
  if (sourcePAV != FSettings->LogTimeSourcePAV()) {
    FSettings->SetLogTimeSourcePAV(sourcePAV);
    what |= SamplerOption::TimeSource;
  }
  if (zoneUtc != FSettings->LogTimeZoneSystem()) {
    FSettings->SetLogTimeZoneSystem(zoneUtc);
    what |= SamplerOption::TimeZone;
  }
  if (what == 0) return 0;
  Log("TMainForm.SetLogTimeOptions what=" + std::to_string(what));
  for (const auto& session : FSessions.Sessions()) {
    session->UpdateOptions(what);
    if (const auto counter = std::dynamic_pointer_cast<TVQSessionItem>(session)) {
      TSessionTimeOptions time = counter->TimeOptions();
      time.LogTimeFormat = format;
      time.LogTimeSourcePAV = sourcePAV;
      time.LogTimeZoneSystem = zoneUtc;
      counter->SetTimeOptions(time);
    }
  }
  if (FMultiSampler) {
    // Lines queued so far were stamped the old way and belong to the old files.
    FlushLogs();
    FMultiSampler->SetOptions(SamplerOptions());
    FMultiSampler->UpdateOptions(what);
  }
  return what;
}

int TZepApp::AddLogDefinitions(uint32_t types) {
  if (!FMultiSampler) return 0;
  int added = 0;
  const auto add = [&](int index, bool copy, uint32_t partTypes) {
    for (int d = 0; d < FMultiSampler->DefinitionSlotCount(); ++d)
      if (const auto existing = FMultiSampler->GetDefinition(d);
          existing && existing->HasDefinitionMask(index, copy, partTypes))
        return;
    FMultiSampler->AddDefinition(
        DefaultLogDefinition(index, copy, partTypes, FSettings->LogRootFolder(), FMultiSampler->DefinitionSlotCount() + 1));
    ++added;
  };
  for (const auto& session : FSessions.Sessions()) {
    if (!std::dynamic_pointer_cast<TVQSessionItem>(session)) continue;
    const int index = session->Index();
    if (const uint32_t counterTypes = types & ~LogType::QMTMask) add(index, false, counterTypes);
    if (const uint32_t qmtTypes = types & LogType::QMTMask) {
      CreateQMTCopy(index);
      UpdateSamplerSessions();
      add(index, true, qmtTypes);
    }
  }
  return added;
}

// ---- messages and status ------------------------------------------------------------------------------

void TZepApp::AddMessage(int sessionIndex, int code, TMsgType kind, const std::string& text, int subCode) {
  if (LogWanted(FMainLogId)) {
    const std::string line = "Message " + std::to_string(code) + " session " + std::to_string(sessionIndex) + ": " + text;
    if (kind == mtError)
      LogError(FMainLogId, line);
    else
      LogInfo(FMainLogId, line);
  }
  FMsgList.Add(sessionIndex < 0 ? TMessageItem::kAppSource : sessionIndex, code, kind, text, subCode, false);
}

std::vector<TAppMessage> TZepApp::TakeMessages() {
  const TMsgChanges changes = FMsgList.ReadChanges(FTakeCursor);
  FTakeCursor = changes.Next;
  std::vector<TAppMessage> messages;
  const auto take = [&](const TMessageItem& item) {
    TAppMessage message;
    message.Time = std::chrono::system_clock::time_point(std::chrono::milliseconds(item.Time));
    message.SessionIndex = item.sIndex;
    message.Code = item.Code;
    message.Kind = item.MsgType;
    message.Text = item.Count > 1 ? item.Text + " (" + std::to_string(item.Count) + ")" : item.Text;
    message.SubCode = item.SubCode;
    messages.push_back(std::move(message));
  };
  if (changes.Rebuild) {
    for (const TMessageItem& item : changes.Items) take(item);
  } else {
    for (const TMsgChange& change : changes.Changes)
      if (change.Kind == TMsgChange::TKind::Added) take(change.Item);
  }
  return messages;
}

std::vector<std::string> TZepApp::StatusFields(int index) const {
  const auto session = std::dynamic_pointer_cast<TVQSessionItem>(FSessions.At(index));
  if (!session) return {"-", "-", "-", "-", "-"};
  TSessionStatus status;
  status.Letter = session->Letter();
  status.Channels = session->PAV().ChannelCount();
  status.PDICards = session->PAV().PDICount();
  status.QMTChannels = session->QMT().ChannelCount();
  status.UserId = Multi_GetUserID(session->MultiId());
  status.QMTonly = session->QMTonly();
  status.Lost = session->PAV().Lost();
  status.LastSecond = session->State().LastSecond;
  return SessionStatusFields(status);
}

void TZepApp::SetEvaluation(TReportEvaluation evaluation) {
  FEvaluation = std::move(evaluation);
  for (const auto& session : FSessions.Sessions())
    if (auto counter = std::dynamic_pointer_cast<TVQSessionItem>(session)) counter->SetEvaluation(FEvaluation);
}
