#include "app/core/App_Sessions.h"

#include <cctype>

#include "app/core/App_Settings.h"
#include "app/core/ZEP_Settings.h"
#include "library/core/LogUnit.h"
#include "library/platform/VQ_File.h"

TSessionItem::TSessionItem(int aLogId, int aIndex, TOnUpdate aOnUpdate, TOnAddMsg aOnMsg, bool aIsCopy)
    : FIsCopy(aIsCopy), FIndex(aIndex), FLogId(aLogId), FOnUpdate(std::move(aOnUpdate)), FOnMsg(std::move(aOnMsg)) {}

TSessionItem::~TSessionItem() = default;

std::string TSessionItem::OpenString() const {
  std::lock_guard lock(FTextLock);
  return FOpenString;
}

std::string TSessionItem::FriendlyName() const {
  std::lock_guard lock(FTextLock);
  return FFriendlyName;
}

std::string TSessionItem::DebugPath() const {
  std::lock_guard lock(FTextLock);
  return FDebugPath;
}

std::string TSessionItem::ErrorMessage() const {
  std::lock_guard lock(FTextLock);
  return FErrorMessage;
}

void TSessionItem::SetErrorMessage(const std::string& text) {
  std::lock_guard lock(FTextLock);
  FErrorMessage = text;
}

std::string TSessionItem::Tag() const {
  return ClassTag() + "[" + std::to_string(Index()) + "/" + (FIsCopy ? "True" : "False") + "]";
}

std::string TSessionItem::ToString() const {
  std::string text = Tag() + ", " + OpenString();
  if (const std::string friendly = FriendlyName(); !friendly.empty()) text += ", " + friendly;
  return text;
}

void TSessionItem::UpdateOptions(uint32_t) {}

std::string TSessionItem::Debug(bool value) {
  FDebugLog = value;
  return {};
}

void TSessionItem::DebugFlags(bool report, bool lowLevel) {
  FDebugReport = report;
  FDebugLowLevel = lowLevel;
}

std::string TSessionItem::SetDebugPath(const std::string& value) {
  std::string folder = value;
  if (!folder.empty() && (folder.back() == '/' || folder.back() == '\\')) folder.pop_back();
  folder += "/";
  try {
    if (const std::string problem = FolderWriteProblem(folder); !problem.empty())
      return "Invalid path: " + value + " (" + problem + ")";
  } catch (const std::exception& e) {
    return "Invalid path(" + value + "): " + e.what();
  }
  std::lock_guard lock(FTextLock);
  FDebugPath = folder;
  return {};
}

void TSessionItem::SetOpenParams(const std::string& openString, int connectionType, uint32_t color,
                                 const std::string& friendlyName) {
  {
    std::lock_guard lock(FTextLock);
    FOpenString = openString;
    FFriendlyName = friendlyName;
  }
  FConnectionType = connectionType;
  FColor = color;
}

void TSessionItem::CloseDevice(bool) {}

void TSessionItem::CollectForeignKeys(const TAppSettings& settings, const std::string& prefix) {
  FForeignKeys.clear();
  for (const std::string& line : settings.Lines()) {
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos || line.compare(0, prefix.size(), prefix) != 0) continue;
    FForeignKeys[line.substr(prefix.size(), equals - prefix.size())] = line.substr(equals + 1);
  }
}

void TSessionItem::WriteForeignKeys(TAppSettings& settings, const std::string& prefix) const {
  for (const auto& [name, value] : FForeignKeys)
    if (!settings.HasKey(prefix + name)) settings.KeepValue(prefix + name, value);
}

void TSessionItem::ForgetForeignKeys(const std::function<bool(const std::string& name)>& owned) {
  std::erase_if(FForeignKeys, [&](const auto& key) { return owned(key.first); });
}

// Each key on its own: a damaged value takes its default (the store says
// so) and never costs the keys after it, least of all the connection.
std::string TSessionItem::ReadSettings(TAppSettings& settings, const std::string& prefix) {
  CollectForeignKeys(settings, prefix);
  // In professional mode a session keeps its debug logs unless told otherwise.
  const auto* zep = dynamic_cast<const TZEPSettings*>(&settings);
  FDebugLog = settings.GetValue(prefix + "Debug_Log", zep && zep->ProfessionalMode());
  FDebugLowLevel = settings.GetValue(prefix + "Debug_LowLevel", true);
  FDebugReport = settings.GetValue(prefix + "Debug_Report", true);
  const std::string openString = settings.GetValue(prefix + "OpenString", std::string());
  const int connectionType = settings.ReadInteger(prefix + "ConnectionType", ctUnknown);
  const int color = settings.ReadInteger(prefix + "Color", static_cast<int>(kDefaultColor));
  const std::string friendly = settings.GetValue(prefix + "FriendlyName", std::string());
  SetOpenParams(openString, connectionType, static_cast<uint32_t>(color), friendly);
  const int interval = settings.ReadInteger(prefix + "Interval", 1000, 0);
  FIntervalMs = interval > 0 ? interval : 1000;
  return {};
}

void TSessionItem::SaveSettings(TAppSettings& settings, const std::string& prefix) {
  settings.SetValue(prefix + "SessionType", FSessionType);
  settings.SetValue(prefix + "Debug_Log", FDebugLog);
  settings.SetValue(prefix + "Debug_LowLevel", FDebugLowLevel);
  settings.SetValue(prefix + "Debug_Report", FDebugReport);
  settings.SetValue(prefix + "OpenString", OpenString());
  settings.SetValue(prefix + "ConnectionType", FConnectionType.load());
  settings.SetValue(prefix + "Color", static_cast<int>(FColor.load()));
  settings.SetValue(prefix + "FriendlyName", FriendlyName());
  settings.SetValue(prefix + "Interval", FIntervalMs.load());
}

void TSessionItem::PostMessage(int code, TMsgType kind, int subCode, const std::string& text) {
  if (FOnMsg) FOnMsg(Index(), code, kind, text, subCode);
}

void TSessionItem::AddError(int code, int subCode, const std::string& text) {
  LogErr(".AddError Code=" + std::to_string(code) + "/" + std::to_string(subCode) + ": " + text);
  PostMessage(code, mtError, subCode, text);
}

void TSessionItem::AddWarning(int code, int subCode, const std::string& text) {
  PostMessage(code, mtWarning, subCode, text);
}

void TSessionItem::AddInfo(int code, int subCode, const std::string& text) { PostMessage(code, mtInfo, subCode, text); }

void TSessionItem::UpdateIndex(int aIndex) { FIndex = aIndex; }

void TSessionItem::NotifyUpdate() {
  if (FOnUpdate) FOnUpdate(*this);
}

void TSessionItem::Log(const std::string& text) const {
  if (LogWanted(FLogId)) LogInfo(FLogId, Tag() + text);
}

void TSessionItem::LogErr(const std::string& text) const {
  if (LogWanted(FLogId)) LogError(FLogId, Tag() + text);
}

// ---- kept session --------------------------------------------------------------------

TKeptSessionItem::TKeptSessionItem(int aIndex, int sessionType, std::string reason)
    : TSessionItem(-1, aIndex, {}, {}), FReason(std::move(reason)) {
  FSessionType = sessionType;
}

std::string TKeptSessionItem::ReadSettings(TAppSettings& settings, const std::string& prefix) {
  CollectForeignKeys(settings, prefix);
  const auto text = [&](const char* name) {
    const auto found = FForeignKeys.find(name);
    return found == FForeignKeys.end() ? std::string() : found->second;
  };
  // Only for showing the session; nothing of it is used.
  SetOpenParams(text("OpenString"), ctUnknown, kDefaultColor, text("FriendlyName"));
  return {};
}

void TKeptSessionItem::SaveSettings(TAppSettings& settings, const std::string& prefix) {
  WriteForeignKeys(settings, prefix);
}

// ---- session list -------------------------------------------------------------------

int TSessionList::SlotCount() const {
  std::lock_guard lock(FLock);
  return static_cast<int>(FSlots.size());
}

std::shared_ptr<TPolledSession> TSessionList::Slot(int index) const { return At(index); }

std::shared_ptr<TSessionItem> TSessionList::At(int index) const {
  std::lock_guard lock(FLock);
  if (index < 0 || static_cast<std::size_t>(index) >= FSlots.size()) return nullptr;
  return FSlots[static_cast<std::size_t>(index)];
}

int TSessionList::FreeSlot() const {
  std::lock_guard lock(FLock);
  for (std::size_t i = 0; i < FSlots.size(); ++i)
    if (!FSlots[i]) return static_cast<int>(i);
  return static_cast<int>(FSlots.size());
}

void TSessionList::Put(int index, std::shared_ptr<TSessionItem> session) {
  if (index < 0) return;
  std::lock_guard lock(FLock);
  if (static_cast<std::size_t>(index) >= FSlots.size()) FSlots.resize(static_cast<std::size_t>(index) + 1);
  FSlots[static_cast<std::size_t>(index)] = std::move(session);
}

std::shared_ptr<TSessionItem> TSessionList::Take(int index) {
  std::lock_guard lock(FLock);
  if (index < 0 || static_cast<std::size_t>(index) >= FSlots.size()) return nullptr;
  std::shared_ptr<TSessionItem> session = std::move(FSlots[static_cast<std::size_t>(index)]);
  while (!FSlots.empty() && !FSlots.back()) FSlots.pop_back();
  return session;
}

std::vector<std::shared_ptr<TSessionItem>> TSessionList::Sessions() const {
  std::lock_guard lock(FLock);
  std::vector<std::shared_ptr<TSessionItem>> sessions;
  for (const auto& session : FSlots)
    if (session) sessions.push_back(session);
  return sessions;
}

void TSessionList::Clear() {
  std::vector<std::shared_ptr<TSessionItem>> sessions;
  {
    std::lock_guard lock(FLock);
    sessions.swap(FSlots);
  }
}
