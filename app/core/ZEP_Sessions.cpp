#include "app/core/ZEP_Sessions.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>

#include "app/core/App_Settings.h"
#include "app/core/ZEP_Settings.h"
#include "app/data/PAV_DataManagement.h"
#include "app/data/QMT_DataManagement.h"
#include "app/output/App_SamplerEvents.h"
#include "library/core/LogUnit.h"
#include "library/core/VQ_DllCommon.h"

namespace {

constexpr std::string_view kDemoConnection = "DemoData";
constexpr int kFormatVersion = 2;
// Bounds of stored values: interval indexes 0..13, modes 0..7, TCP ports.
constexpr int kMaxIntervalIndex = 13;
constexpr int kMaxMode = 7;
constexpr int kMaxPort = 65535;

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

// "$" + hexadecimal, as report lines carry headers and feature words.
std::optional<uint32_t> HexAfterDollar(std::string_view text) {
  const std::size_t dollar = text.find('$');
  if (dollar == std::string_view::npos) return std::nullopt;
  uint32_t value = 0;
  const char* begin = text.data() + dollar + 1;
  const auto [end, ec] = std::from_chars(begin, text.data() + text.size(), value, 16);
  if (ec != std::errc() || end == begin) return std::nullopt;
  return value;
}

constexpr int kNomFreqKeys = 6;  // "NomFreq1_4" .. "NomFreq21_24"

bool IsQMTSamplerEvent(int event) {
  return event == SamplerEvent::QMTChannels || event == SamplerEvent::QMTCleared || event == SamplerEvent::QMTCalibration;
}

std::string NomFreqKey(int group) {
  const int first = 4 * group + 1;
  return "NomFreq" + std::to_string(first) + "_" + std::to_string(first + 3);
}

// Four values of one "NomFreq" key, split at "; "; an item that is missing,
// no number, not finite or not positive gives 0 (no nominal frequency).
std::array<double, 4> NomFreqItems(const std::string& text, const TFormatSettings& fmt) {
  std::array<double, 4> values{};
  const std::vector<std::string_view> items = SplitText(text, "; ");
  for (std::size_t j = 0; j < values.size() && j < items.size(); ++j) {
    const std::string item = ConvertDecimalMark(Trim(items[j]), fmt.DecimalSeparator);
    const double value = TryStrToFloat(item, fmt).value_or(0.0);
    values[j] = std::isfinite(value) && value > 0.0 ? value : 0.0;
  }
  return values;
}

// Up to 24 factors, each followed by ";"; an item that is no number reads as 0.
TDataManagement::TFactorRow FactorItems(const std::string& text, const TFormatSettings& fmt) {
  TDataManagement::TFactorRow row{};
  const std::vector<std::string_view> items = SplitText(text, ";");
  for (std::size_t j = 0; j < row.size() && j < items.size(); ++j) {
    const double value = TryStrToFloat(ConvertDecimalMark(Trim(items[j]), fmt.DecimalSeparator), fmt).value_or(0.0);
    row[j] = std::isfinite(value) ? value : 0.0;
  }
  return row;
}

// The key of a card's signal names, and of one name in files of format
// version 1 and older (input 1..32).
std::string PDIListKey(int card) { return "PDI" + std::to_string(card) + "_SigNames"; }
std::string PDIInputKey(int card, int input) {
  return "PDI" + std::to_string(card) + "_SigName" + std::to_string(input);
}

// Either kind of signal-name key (names match without regard to case, as
// the settings do).
bool IsPDINameKey(std::string_view name) {
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::string_view rest = lower;
  if (!rest.starts_with("pdi") || rest.size() < 4 || rest[3] < '1' || rest[3] > '0' + kPDICards) return false;
  rest.remove_prefix(4);
  if (rest == "_signames") return true;
  if (!rest.starts_with("_signame")) return false;
  rest.remove_prefix(8);
  int input = 0;
  const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), input);
  return ec == std::errc() && end == rest.data() + rest.size() && input >= 1 && input <= kPDIBits &&
         rest == std::to_string(input);
}

int64_t MonotonicNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::string DefaultPDISignalName(int card, int bit) {
  return "PDI" + std::to_string(card) + "_Bit" + std::to_string(bit);
}

std::string CleanPDISignalName(int card, int bit, std::string_view name) {
  std::string text(name);
  for (char& c : text)
    if (static_cast<unsigned char>(c) < ' ' || c == '\x7F') c = ' ';
  text = std::string(Trim(text));
  if (text.size() > kMaxPDINameLength) {
    std::size_t cut = kMaxPDINameLength;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
    text = std::string(Trim(std::string_view(text).substr(0, cut)));
  }
  return text.empty() ? DefaultPDISignalName(card, bit) : text;
}

// What the report evaluation reaches of its session and the library.
class TVQSessionItem::TEvalHost final : public TReportEvalHost {
 public:
  explicit TEvalHost(TVQSessionItem& session) : FSession(session) {}

  bool SendCommand(const std::string& command) override { return FSession.SendCommand(command); }
  void PostMessage(TMsgType kind, int code, int subCode, const std::string& text) override {
    if (kind == mtError)
      FSession.AddError(code, subCode, text);
    else if (kind == mtWarning)
      FSession.AddWarning(code, subCode, text);
    else
      FSession.AddInfo(code, subCode, text);
  }
  void PostSync(int what, int code, int aInt, const std::string& text) override {
    FSession.PostSync(what, code, aInt, text);
  }
  void Log(const std::string& text) override { FSession.Log(text); }
  void LogErr(const std::string& text) override { FSession.LogErr(text); }
  bool LogWanted() const override { return ::LogWanted(FSession.LogId()); }
  bool ReportDebug() const override { return FSession.FReportDebug && ::LogWanted(FSession.LogId()); }
  void SamplerEvent(int event, const std::string& text) override { FSession.SamplerEvent(event, text); }
  void SamplerTimeStamp(int64_t time100ms) override { FSession.SamplerTimeStamp(time100ms); }
  int DeviceStartState() override { return Multi_GetDeviceStartState(FSession.FMultiId); }
  uint16_t HardFeature() override { return Multi_GetHardFeature(FSession.FMultiId); }
  int FirmwareVersion() override { return Multi_GetFirmwareVersion(FSession.FMultiId); }
  int ReadPVHData() override { return Multi_ReadPVHData(FSession.FMultiId); }
  void SetIntervalMs(int ms) override {
    if (ms > 0) FSession.FIntervalMs = ms;
  }
  void FeatureBitsChanged(uint16_t feature, bool, bool) override {
    FSession.FHardFeature = feature;
    if (const auto linked = FSession.LinkedSession()) linked->FHardFeature = feature;
  }
  TUtcMs NowUtcMs() override { return UtcNowMs(); }
  int64_t MonotonicMs() override { return MonotonicNowMs(); }

 private:
  TVQSessionItem& FSession;
};

TVQSessionItem::TVQSessionItem(int aLogId, int aIndex, TOnUpdate aOnUpdate, TOnAddMsg aOnMsg)
    : TSessionItem(aLogId, aIndex, std::move(aOnUpdate), std::move(aOnMsg)), FMultiId(Multi_NewSource()) {
  FChannels.Initialise(Letter());
  CreateStores();
  Log(".Created: MultiID=" + std::to_string(FMultiId));
}

void TVQSessionItem::SetChannels(const TSessionChannelData& channels) {
  FChannels = channels;
  {
    std::lock_guard lock(FHookLock);
    for (int k = 1; k <= TVQ_ChannelData::kChannels; ++k) {
      FVirtualNames.Counter[k - 1] = FChannels.Virtual.Name(k);
      FVirtualNames.QMT[k - 1] = FChannels.VirtualQMT.Name(k);
    }
  }
  for (int k = 1; k <= TVQ_ChannelData::kChannels; ++k) FPAV_DM->SetChannelName(k, FChannels.Counter.Name(k));
  for (int k = 1; k <= TVQ_ChannelData::kChannels; ++k) FQMT_DM->SetChannelName(k, FChannels.QMT.Name(k));
}

// The channel keys are the session's own: they must not come back as kept
// foreign keys when a save leaves them out (all names empty).
void TVQSessionItem::ReadChannelSettings(const TAppSettings& settings, const std::string& prefix) {
  for (const char* group : {"", "V_", "QMT_", "VQMT_"}) {
    const std::string g = group;
    std::erase_if(FForeignKeys, [&g](const auto& entry) {
      const std::string& name = entry.first;
      if (name.compare(0, g.size(), g) != 0) return false;
      const std::string_view rest = std::string_view(name).substr(g.size());
      return rest == "Ids" || rest == "Names" || rest == "Colors" || rest.starts_with("Name_") ||
             rest.starts_with("Color_");
    });
  }
  TSessionChannelData channels = FChannels;
  channels.ReadSettings(settings, prefix);
  SetChannels(channels);
}

void TVQSessionItem::UpdateIndex(int aIndex) {
  TSessionItem::UpdateIndex(aIndex);
  FPAV_DM->SetSessId(aIndex);
  FQMT_DM->SetSessId(aIndex);
  FPAV_DM->SetSessionLetter(Letter());
  FQMT_DM->SetSessionLetter(Letter());
}

void TVQSessionItem::CreateStores() {
  FPAV_DM = std::make_shared<TPAV_DataManagement>(FLogId, Index(), false);
  FQMT_DM = std::make_shared<TQMT_DataManagement>(FLogId, Index(), false);
  FPAV_DM->SetMultiId(FMultiId);
  FQMT_DM->SetMultiId(FMultiId);
  FPAV_DM->SetSessionLetter(Letter());
  FQMT_DM->SetSessionLetter(Letter());
  FPAV_DM->SetLogDecimalSeparator(FDecSep);  // the library writes the lines with it
  FQMT_DM->SetLogDecimalSeparator(FDecSep);
  WireStoreHooks();
  FEvalHost = std::make_unique<TEvalHost>(*this);
  FEval = std::make_unique<TVQReportEvaluation>(*FEvalHost, *FPAV_DM, *FQMT_DM);
  UpdateEvalOptions();
}

// The stores' messages become the session's; their resets and channel counts
// reach the main thread as hand-over items. The hooks run on the acquisition
// thread and only post.
void TVQSessionItem::WireStoreHooks() {
  auto onError = [this](int code, int aInt, const std::string& text) { AddError(code, aInt, text); };
  auto onWarning = [this](int code, int aInt, const std::string& text) { AddWarning(code, aInt, text); };
  auto onInfo = [this](int code, int aInt, const std::string& text) { AddInfo(code, aInt, text); };
  {
    auto lock = FPAV_DM->Lock();
    FPAV_DM->FOnError = onError;
    FPAV_DM->FOnWarning = onWarning;
    FPAV_DM->FOnInfo = onInfo;
    FPAV_DM->FOnReset = [this](int code, TDataManagement&) {
      PostSync(SyncWhat::DataReset, code, 0, {});
      SamplerEvent(SamplerEvent::DataCleared, {});
    };
    FPAV_DM->FOnChannelCount = [this](int code, int count) { PostSync(SyncWhat::ChannelCount, code, count, {}); };
    FPAV_DM->FOnPDICount = [this](int code, int count) { PostSync(SyncWhat::PDICards, code, count, {}); };
  }
  auto lock = FQMT_DM->Lock();
  FQMT_DM->FOnError = onError;
  FQMT_DM->FOnWarning = onWarning;
  FQMT_DM->FOnInfo = onInfo;
  FQMT_DM->FOnReset = [this](int code, TDataManagement&) {
    PostSync(SyncWhat::DataResetQMT, code, 0, {});
    SamplerEvent(SamplerEvent::QMTCleared, {});
  };
  FQMT_DM->FOnChannelCount = [this](int code, int count) { PostSync(SyncWhat::QMTChannels, code, count, {}); };
}

TVQSessionItem::TVQSessionItem(TCopyTag, const TVQSessionItem& original)
    : TSessionItem(original.FLogId, original.Index(), original.FOnUpdate, original.FOnMsg, true),
      FMultiId(original.FMultiId) {
  SetOpenParams(original.OpenString(), original.ConnectionType(), original.Color(), original.FriendlyName());
  {
    std::lock_guard lock(FTextLock);
    FDebugPath = original.DebugPath();
  }
  FSessionType = original.FSessionType;
  FUseDeviceCalibration = original.FUseDeviceCalibration.load();
  FDecSep = original.FDecSep.load();
  FQMTonly = true;
  FIntervalMs = 1000;
  FChannels = original.FChannels;
  FPAV_DM = original.FPAV_DM;
  FQMT_DM = original.FQMT_DM;
  FQMT_DM->SetSessIsCopy(true);
  FHardFeature = original.FHardFeature.load();
  {
    std::lock_guard lock(original.FHookLock);
    FTimeOptions = original.FTimeOptions;
    FSamplerHooks = original.FSamplerHooks;
    FVirtualNames = original.FVirtualNames;
  }
  Log(".CopyQMTPart: MultiID=" + std::to_string(FMultiId));
}

std::shared_ptr<TVQSessionItem> TVQSessionItem::CopyQMTPart(const std::shared_ptr<TVQSessionItem>& original) {
  if (!original || original->IsCopy()) return nullptr;
  auto copy = std::shared_ptr<TVQSessionItem>(new TVQSessionItem(TCopyTag{}, *original));
  copy->FLinkedSession = original;
  original->FLinkedSession = copy;
  return copy;
}

std::shared_ptr<TVQSessionItem> TVQSessionItem::LinkedSession() const { return FLinkedSession.lock(); }

// A copy is as open as the session it shows.
bool TVQSessionItem::DeviceOpened() const {
  if (!IsCopy()) return TSessionItem::DeviceOpened();
  const auto original = FLinkedSession.lock();
  return original && original->DeviceOpened();
}

TVQSessionItem::~TVQSessionItem() {
  if (IsCopy()) return;  // the source belongs to the original
  {
    std::lock_guard lock(FOpenLock);
    if (FDeviceOpened) Multi_CloseConnection(FMultiId);
  }
  // A copy may keep the stores: their hooks must not reach this session.
  for (TDataManagement* store : {static_cast<TDataManagement*>(FPAV_DM.get()), static_cast<TDataManagement*>(FQMT_DM.get())}) {
    auto lock = store->Lock();
    store->FOnError = nullptr;
    store->FOnWarning = nullptr;
    store->FOnInfo = nullptr;
    store->FOnReset = nullptr;
    store->FOnChannelCount = nullptr;
  }
  {
    auto lock = FPAV_DM->Lock();
    FPAV_DM->FOnPDICount = nullptr;
  }
  // The interval records ask this session whether it is QMT-only.
  auto lock = FQMT_DM->Lock();
  FQMT_DM->FOnSamplerStrings = nullptr;
}

TReportEvalState TVQSessionItem::EvalState() const {
  if (FEval) return FEval->State();
  if (const auto original = FLinkedSession.lock(); original && original->FEval) return original->FEval->State();
  return {};
}

bool TVQSessionItem::ReferenceClockError() const { return FEval && FEval->State().ReferenceClockError; }

void TVQSessionItem::SetSyncSink(TSessionSyncSink sink) {
  std::lock_guard lock(FHookLock);
  FSyncSink = std::move(sink);
}

void TVQSessionItem::ConnectSyncList(const std::shared_ptr<TVQSessionItem>& session, TSyncList& list) {
  if (!session) return;
  std::weak_ptr<TVQSessionItem> sender = session;
  session->SetSyncSink([sender, &list](TMainSyncData item) {
    item.SetSender(sender.lock());
    list.AddSync(std::move(item));
  });
}

void TVQSessionItem::PostSync(int what, int code, int aInt, const std::string& text) {
  TSessionSyncSink sink;
  {
    std::lock_guard lock(FHookLock);
    sink = FSyncSink;
  }
  if (sink) sink(TMainSyncData(what, code, aInt, text));
}

void TVQSessionItem::SetSamplerHooks(const TSessionSamplerHooks& hooks) {
  {
    std::lock_guard lock(FHookLock);
    FSamplerHooks = hooks;
  }
  if (IsCopy()) return;
  {
    auto lock = FPAV_DM->Lock();
    FPAV_DM->FOnSamplerEvent = hooks.OnEvent;
    FPAV_DM->FOnSamplerWarning = hooks.OnWarning;
    if (hooks.OnRecord) {
      FPAV_DM->FOnSamplerStrings = [hooks](int sessId, bool sessIsCopy, const std::string& syncTime,
                                           const TPAVSamplerRecord& record) {
        if (hooks.OnSyncTime) hooks.OnSyncTime(sessId, sessIsCopy, syncTime);
        hooks.OnRecord(sessId, sessIsCopy, record.Virtual, record.Strings, record.CounterTimeMs);
      };
    } else {
      FPAV_DM->FOnSamplerStrings = nullptr;
    }
  }
  auto lock = FQMT_DM->Lock();
  FQMT_DM->FOnSamplerEvent = hooks.OnEvent;
  if (hooks.OnRecord) {
    // Interval records share the standard buffer of whoever carries them, so
    // a counter session that also logs phases must not get them: they go to
    // its QMT-only copy, or to the session itself only when it is QMT-only.
    FQMT_DM->FOnSamplerStrings = [this, onRecord = hooks.OnRecord](int sessId, bool sessIsCopy,
                                                                   const TQMTSamplerRecord& record) {
      if (sessIsCopy || QMTonly()) onRecord(sessId, sessIsCopy, record.Virtual, record.Strings, std::nullopt);
    };
  } else {
    FQMT_DM->FOnSamplerStrings = nullptr;
  }
}

void TVQSessionItem::SamplerEvent(int event, const std::string& text) {
  TSessionSamplerEvent hook;
  {
    std::lock_guard lock(FHookLock);
    hook = FSamplerHooks.OnEvent;
  }
  // Time-interval events belong to whichever session logs the QMT part.
  const bool copy = IsQMTSamplerEvent(event) ? FQMT_DM->SessIsCopy() : IsCopy();
  if (hook) hook(Index(), copy, event, text);
}

void TVQSessionItem::SamplerTimeStamp(int64_t time100ms) {
  TSessionSamplerTime hook;
  {
    std::lock_guard lock(FHookLock);
    hook = FSamplerHooks.OnTimeStamp;
  }
  if (hook) hook(Index(), IsCopy(), time100ms);
}

TVirtualChannelNames TVQSessionItem::VirtualChannelNames() const {
  std::lock_guard lock(FHookLock);
  return FVirtualNames;
}

TPDINames TVQSessionItem::DefaultPDINames() {
  TPDINames names;
  for (int card = 1; card <= kPDICards; ++card)
    for (int bit = 0; bit < kPDIBits; ++bit)
      names[static_cast<std::size_t>(card - 1)][static_cast<std::size_t>(bit)] = DefaultPDISignalName(card, bit);
  return names;
}

std::string TVQSessionItem::PDISignalName(int card, int bit) const {
  if (card < 1 || card > kPDICards || bit < 0 || bit >= kPDIBits) return {};
  return PDISignalNames()[static_cast<std::size_t>(card - 1)][static_cast<std::size_t>(bit)];
}

// A copy shows the digital inputs of its original's counter.
TPDINames TVQSessionItem::PDISignalNames() const {
  if (IsCopy())
    if (const auto original = LinkedSession()) return original->PDISignalNames();
  std::lock_guard lock(FPDILock);
  return FPDINames;
}

void TVQSessionItem::SetPDISignalNames(int card, const TPDICardNames& names) {
  if (card < 1 || card > kPDICards) return;
  if (IsCopy()) {
    if (const auto original = LinkedSession()) original->SetPDISignalNames(card, names);
    return;
  }
  TPDICardNames cleaned;
  for (int bit = 0; bit < kPDIBits; ++bit)
    cleaned[static_cast<std::size_t>(bit)] = CleanPDISignalName(card, bit, names[static_cast<std::size_t>(bit)]);
  std::lock_guard lock(FPDILock);
  FPDINames[static_cast<std::size_t>(card - 1)] = std::move(cleaned);
}

TSessionTimeOptions TVQSessionItem::TimeOptions() const {
  std::lock_guard lock(FHookLock);
  return FTimeOptions;
}

void TVQSessionItem::SetTimeOptions(const TSessionTimeOptions& options) {
  bool zoneChanged = false;
  {
    std::lock_guard lock(FHookLock);
    zoneChanged = FTimeOptions.LogTimeZoneSystem != options.LogTimeZoneSystem;
    FTimeOptions = options;
  }
  UpdateEvalOptions();
  // The stored origin was written in the display zone: read it again in the
  // new one, as long as it has not been checked yet.
  if (zoneChanged && !DeviceOpened()) ApplyStoredTimeOrigin();
}

void TVQSessionItem::UpdateEvalOptions() {
  if (!FEval) return;
  const TSessionTimeOptions time = TimeOptions();
  TReportEvalOptions options = FEval->Options();
  options.LogTimeFormat = time.LogTimeFormat;
  options.LogTimeSourcePAV = time.LogTimeSourcePAV;
  options.LogTimeZoneSystem = time.LogTimeZoneSystem;
  options.ProfessionalMode = time.ProfessionalMode;
  options.UseDeviceCalibration = FUseDeviceCalibration;
  options.RawAvg = FRawAvg;
  options.RawIntervalIndex = FRawIntervalIndex;
  options.DecSep = FDecSep.load();
  FEval->SetOptions(options);
}

void TVQSessionItem::ApplyStoredTimeOrigin() {
  if (!FEval) return;
  std::optional<TUtcMs> origin;
  if (FIniDateTimeNumber)
    if (const auto parts = DateTimeNumberToParts(*FIniDateTimeNumber))
      origin = ZonePartsToMs(*parts, TimeOptions().LogTimeZoneSystem);
  FEval->SetStoredTimeOrigin(origin);
}

std::optional<TUtcMs> TVQSessionItem::TimeOrigin() const {
  if (FEval) return FEval->TimeOrigin();
  const auto original = FLinkedSession.lock();
  return original ? original->TimeOrigin() : std::nullopt;
}

void TVQSessionItem::SetWindowDecimalSeparator(char separator) {
  const char sep = separator == ',' ? ',' : '.';
  FPAV_DM->SetWindowDecimalSeparator(sep);
  FQMT_DM->SetWindowDecimalSeparator(sep);
}

void TVQSessionItem::SetNomFrequencies(const std::array<double, 24>& values) {
  FPAV_DM->BeginUpdate();
  for (int k = 1; k <= 24; ++k)
    if (values[static_cast<std::size_t>(k - 1)] != 0.0) FPAV_DM->SetNomFreq(k, values[static_cast<std::size_t>(k - 1)]);
  FPAV_DM->EndUpdate();
}

bool TVQSessionItem::IsSerialColdfire() const {
  std::lock_guard lock(FStateLock);
  return ConnectionType() == ctSerial && !FState.IsESP;
}

TVQSessionState TVQSessionItem::State() const {
  std::lock_guard lock(FStateLock);
  return FState;
}

void TVQSessionItem::SetEvaluation(TReportEvaluation evaluation) {
  std::lock_guard lock(FStateLock);
  FEvaluation = std::move(evaluation);
}

void TVQSessionItem::SetDemoSetup(int channels, int mode, int rate) {
  FDemoChannels = channels >= 0 && channels <= 23 ? channels : 0;
  FDemoMode = mode;
  FDemoRate = rate;
}

std::string TVQSessionItem::Debug(bool value) {
  TSessionItem::Debug(value);
  if (IsCopy()) return {};  // the source is the original's
  const std::string error = Multi_Debug(FMultiId, value, std::string(1, Letter()));
  if (!error.empty()) LogErr(".Debug " + error);
  return error;
}

void TVQSessionItem::DebugFlags(bool report, bool lowLevel) {
  TSessionItem::DebugFlags(report, lowLevel);
  FReportDebug = report;
  if (!IsCopy()) Multi_DebugFlags(FMultiId, report, lowLevel);
}

bool TVQSessionItem::SetDebugStream(bool value) {
  if (IsCopy()) return false;
  if (const std::string error = Multi_DebugStream(FMultiId, value, std::string(1, Letter()), false); !error.empty()) {
    LogErr(".SetDebugStream failed: " + error);
    return false;
  }
  FDebugStream = value;
  return true;
}

// The library writes the session's logs into its debug folder.
std::string TVQSessionItem::SetDebugPath(const std::string& value) {
  if (std::string error = TSessionItem::SetDebugPath(value); !error.empty()) return error;
  if (IsCopy()) return {};
  return Multi_SetOutputPath(FMultiId, DebugPath());
}

void TVQSessionItem::ApplyDebugSwitches() {
  Debug(FDebugLog);
  DebugFlags(FDebugReport, FDebugLowLevel);
  SetDebugStream(FDebugStream);
}

bool TVQSessionItem::GetSerialNumber() {
  if (IsCopy() || FSerialNumberOk) return false;
  if (OpenString() == kNoConnection) {
    Log(".GetSerialNumber no connection");
    FSerialNumberOk = true;
  } else {
    if (!DeviceOpened()) return false;  // only an answering counter knows its number
    const int64_t number = Multi_GetSerialNumber(FMultiId);
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08X", static_cast<uint32_t>(number));
    Log(std::string(".GetSerialNumber from device=") + hex);
    if (number < 0) return false;
    FSerialNumber = static_cast<uint32_t>(number);
    FSerialNumberOk = true;
    UpdateNominalFrequencies();
  }
  if (const auto linked = LinkedSession()) {
    linked->FSerialNumber = FSerialNumber.load();
    linked->FSerialNumberOk = true;
  }
  return true;
}

void TVQSessionItem::UpdateNominalFrequencies() {
  Log(".UpdateNominalFrequencies");
  if (!FSerialNumberOk || FSerialNumber == kUnknownSerial) {
    Log(": serial number unknown");
    return;
  }
  const std::optional<TVQ_DeviceInfo> info = Multi_GetDeviceInfo(FSerialNumber);
  if (!info) {
    Log(": no device info");
    return;
  }
  auto listText = [](const std::array<double, VQ_ChannelCount>& values) {
    std::string text;
    for (const double value : values) text += (text.empty() ? "" : " ") + FloatToStrGeneral(value);
    return text;
  };
  std::array<double, VQ_ChannelCount> user{};
  bool anyUser = false;
  for (int k = 1; k <= VQ_ChannelCount; ++k) {
    user[static_cast<std::size_t>(k - 1)] = FPAV_DM->GetNomFreqUser(k);
    anyUser = anyUser || user[static_cast<std::size_t>(k - 1)] != 0;
  }
  if (anyUser) {
    Log(": DataManager -> DeviceInfo");
    Log(": DeviceInfo alt=" + listText(info->FNominalFreq));
    Multi_SetDeviceNominalFreq(FSerialNumber, user);
    Log(": DeviceInfo neu=" + listText(user));
    return;
  }
  if (std::none_of(info->FNominalFreq.begin(), info->FNominalFreq.end(), [](double f) { return f != 0; })) return;
  Log(": DeviceInfo -> DataManager");
  FPAV_DM->BeginUpdate();
  for (int k = 1; k <= VQ_ChannelCount; ++k) FPAV_DM->SetNomFreq(k, info->FNominalFreq[static_cast<std::size_t>(k - 1)]);
  FPAV_DM->EndUpdate();
}

void TVQSessionItem::SetDecimalSeparator(char separator) {
  FDecSep = separator;
  Multi_SetDecimalSeparator(FMultiId, separator);
  FPAV_DM->SetLogDecimalSeparator(separator);
  FQMT_DM->SetLogDecimalSeparator(separator);
  UpdateEvalOptions();
}

// ---- opening and closing ------------------------------------------------------------

std::string TVQSessionItem::OpenDevice() {
  if (IsCopy()) return {};  // the original opens the shared source
  FReopenWanted = false;  // an open in between makes the reopen of a lost connection moot
  std::lock_guard lock(FOpenLock);
  std::string connection = OpenString();
  Log(".OpenDevice: " + connection);
  if (ConnectionType() == ctNetwork && FDataPortINI != 0 && connection.find(':') == std::string::npos)
    connection += ":" + std::to_string(FDataPortINI);
  if (FUserIdINI != kNoUserID && Upper(connection).find("USERID=") == std::string::npos)
    connection += " USERID=" + std::to_string(FUserIdINI.load());
  {
    std::lock_guard stateLock(FStateLock);
    FState.IsESP = false;
    FState.DataHeader = 0x10000;
  }
  // The simulator's digital inputs and time-interval channels are switched
  // for every simulated counter of the process.
  if (connection == kDemoConnection) Multi_SetDemoOptions(FDemoPDI, FDemoQMT);
  std::string message;
  if (Multi_OpenConnectionEx(FMultiId, connection, message, false) != MultiCode::Ok) {
    if (const std::size_t at = message.find("7FFA: "); at != std::string::npos) {
      message.erase(at, 6);
      message = "Error open V+Q device \"" + connection + "\": " + message;
    }
    LogErr(".OpenDevice failed: " + message);
    SetErrorMessage(message);
    return message.empty() ? "Open failed: " + connection : message;
  }
  FDeviceOpened = true;
  Multi_SetDecimalSeparator(FMultiId, FDecSep);
  Multi_SetSend7016(FMultiId, true);
  if (FRunLocalTcpServer) AddError(81, 0, "Local TPC Server Error: " + Multi_GetTcpServerError(FMultiId));
  FPAV_DM->DeviceOpened();
  FQMT_DM->DeviceOpened();
  // The answers to the opening commands are awaited before data count:
  // a cleared transmit buffer (7022) and the PVH table.
  const bool replay = ConnectionType() == ctTCPServer || ConnectionType() == ctFile;
  const bool clearing = !replay && FClearBufferOnStart && connection != kDemoConnection;
  FEval->DeviceOpened(clearing, clearing, false);
  AddInfo(SessionMsg::Connection, 0, "Connected to: " + OpenString());
  NotifyUpdate();
  SendOpenCommands(connection);
  return {};
}

// The version request (with a buffer clear when asked) and, for the
// simulated counter, its set-up.
void TVQSessionItem::SendOpenCommands(const std::string& connection) {
  if (ConnectionType() == ctTCPServer || ConnectionType() == ctFile) return;
  const bool demo = connection == kDemoConnection;
  SendCommand(FClearBufferOnStart && !demo ? "\x81" : "\x01");
  if (!demo) return;
  SendCommand(DemoChannelCommand(FDemoChannels));
  SendCommand(std::string(1, static_cast<char>(64 + std::clamp(FDemoMode, 0, 5))));
  SendCommand(std::string(1, static_cast<char>(32 + std::clamp(FDemoRate, 0, 13))));
}

// The names of every card: 32 names, each followed by ", " (files of
// format version 1 and older: one key per input). A list of fewer names
// gives the card its default names, a longer one its first 32; either is
// said once. The keys leave the kept foreign keys, so the list form the
// session writes is the only one saved.
void TVQSessionItem::ReadPDISignalNames(const TAppSettings& settings, const std::string& prefix) {
  ForgetForeignKeys([](const std::string& name) { return IsPDINameKey(name); });
  const bool perInputKeys = StoredFormatVersion(settings) <= 1;
  TPDINames names = DefaultPDINames();
  for (int card = 1; card <= kPDICards; ++card) {
    TPDICardNames& cardNames = names[static_cast<std::size_t>(card - 1)];
    if (perInputKeys) {
      for (int bit = 0; bit < kPDIBits; ++bit)
        if (const auto text = settings.RawValue(prefix + PDIInputKey(card, bit + 1)))
          cardNames[static_cast<std::size_t>(bit)] = CleanPDISignalName(card, bit, *text);
      continue;
    }
    const std::string key = prefix + PDIListKey(card);
    const std::optional<std::string> text = settings.RawValue(key);
    if (!text) continue;
    const std::vector<std::string> items = ChannelLists::SplitElements(*text, kPDIBits + 1);
    if (items.size() < kPDIBits) {
      settings.ReportValueProblem(key, "Settings value " + key + " holds " + std::to_string(items.size()) +
                                           " of 32 names; the default names are used");
      continue;
    }
    if (items.size() > kPDIBits)
      settings.ReportValueProblem(key, "Settings value " + key + " holds more than 32 names; the first 32 are used");
    for (int bit = 0; bit < kPDIBits; ++bit)
      cardNames[static_cast<std::size_t>(bit)] = CleanPDISignalName(card, bit, items[static_cast<std::size_t>(bit)]);
  }
  std::lock_guard lock(FPDILock);
  FPDINames = std::move(names);
}

// The list writer escapes commas and backslashes inside a name, so a name
// holding the separator ", " keeps its place and reads back whole.
void TVQSessionItem::SavePDISignalNames(TAppSettings& settings, const std::string& prefix) const {
  const TPDINames names = PDISignalNames();
  for (int card = 1; card <= kPDICards; ++card) {
    const TPDICardNames& cardNames = names[static_cast<std::size_t>(card - 1)];
    settings.SetValue(prefix + PDIListKey(card),
                      ChannelLists::JoinElements(std::vector<std::string>(cardNames.begin(), cardNames.end())));
  }
}

// "short;long", each a whole number of at least 1; a damaged part stays 1.
void TVQSessionItem::ReadHorizontalScale(const std::string& text, const TFormatSettings& fmt) {
  const std::vector<std::string_view> items = SplitText(text, ";");
  const THorizontalScale scales[] = {THorizontalScale::hsShort, THorizontalScale::hsLong};
  for (std::size_t j = 0; j < 2; ++j) {
    const std::optional<double> value =
        j < items.size() ? TryStrToFloat(std::string(Trim(items[j])), fmt) : std::optional<double>();
    const bool whole = value && *value >= 1 && *value <= kMaxHorizontalScale && *value == std::floor(*value);
    if (value && !whole) Log(".ReadSettings HorizontalScale item " + std::string(Trim(items[j])) + " ignored");
    FPAV_DM->SetScaleFactor(scales[j], whole ? static_cast<int>(*value) : 1);
  }
}

// Every used factor row (the stored keys of rows no longer used are
// dropped by ForgetForeignKeys when the user changes them), the
// descriptions and the horizontal scale.
void TVQSessionItem::SaveChannelSettings(TAppSettings& settings, const std::string& prefix,
                                         const TFormatSettings& fmt) const {
  const TChannelSettings channels = ChannelSettings();
  const auto saveRows = [&](const std::string& kind, const auto& rows, const std::string& description) {
    bool any = false;
    for (std::size_t k = 0; k < rows.size(); ++k) {
      if (std::all_of(rows[k].begin(), rows[k].end(), [](double f) { return f == 0.0; })) continue;
      std::string text;
      for (double factor : rows[k]) text += FloatToStrGeneral(factor, fmt) + ";";
      settings.SetValue(prefix + kind + std::to_string(k + 1) + "_Factors", text);
      any = true;
    }
    if (any || !description.empty()) settings.SetValue(prefix + kind + "Description", description);
  };
  saveRows("V_", channels.Virtual, channels.VirtualDescription);
  saveRows("VQMT_", channels.VirtualQMT, channels.VirtualQMTDescription);
  settings.SetValue(prefix + "HorizontalScale",
                    std::to_string(channels.ShortScale) + ";" + std::to_string(channels.LongScale));
}

TChannelSettings TVQSessionItem::ChannelSettings() const {
  TChannelSettings settings;
  for (int k = 1; k <= TDataManagement::kMaxChannels; ++k) {
    settings.Virtual[static_cast<std::size_t>(k - 1)] = FPAV_DM->GetVirtualFactors(k);
    settings.VirtualQMT[static_cast<std::size_t>(k - 1)] = FQMT_DM->GetVirtualFactors(k);
  }
  settings.VirtualDescription = FVirtualDescription;
  settings.VirtualQMTDescription = FVirtualQMTDescription;
  settings.ShortScale = FPAV_DM->GetScaleFactor(THorizontalScale::hsShort);
  settings.LongScale = FPAV_DM->GetScaleFactor(THorizontalScale::hsLong);
  settings.PDINames = PDISignalNames();
  return settings;
}

void TVQSessionItem::SetChannelSettings(const TChannelSettings& settings) {
  // The rows are written whole at the next save; stored rows that are no
  // longer used must not come back.
  ForgetForeignKeys([](const std::string& name) {
    return ((name.starts_with("V_") || name.starts_with("VQMT_")) && name.ends_with("_Factors")) ||
           name == "V_Description" || name == "VQMT_Description";
  });
  for (int k = 1; k <= TDataManagement::kMaxChannels; ++k) {
    FPAV_DM->SetVirtualFactors(k, settings.Virtual[static_cast<std::size_t>(k - 1)]);
    FQMT_DM->SetVirtualFactors(k, settings.VirtualQMT[static_cast<std::size_t>(k - 1)]);
  }
  FVirtualDescription = settings.VirtualDescription;
  FVirtualQMTDescription = settings.VirtualQMTDescription;
  FPAV_DM->SetScaleFactor(THorizontalScale::hsShort, std::clamp(settings.ShortScale, 1, kMaxHorizontalScale));
  FPAV_DM->SetScaleFactor(THorizontalScale::hsLong, std::clamp(settings.LongScale, 1, kMaxHorizontalScale));
  for (int card = 1; card <= kPDICards; ++card) SetPDISignalNames(card, settings.PDINames[static_cast<std::size_t>(card - 1)]);
  Log(".SetChannelSettings: virtual channels " + std::to_string(FPAV_DM->GetVirtualChannelCount()) + ", QMT " +
      std::to_string(FQMT_DM->GetVirtualChannelCount()));
  NotifyUpdate();
}

void TVQSessionItem::SetConnectionOptions(bool useDeviceCalibration, bool ref20MHz) {
  SetUseDeviceCalibration(useDeviceCalibration);
  FRef20MHz = ref20MHz;
  FPAV_DM->SetRef20MHz(ref20MHz);
  UpdateEvalOptions();
}

std::string TVQSessionItem::DemoChannelCommand(int channels) {
  if (channels <= 0 || channels > 23) return "0";                         // $30: all 24 channels
  if (channels <= 11) return std::string(1, static_cast<char>(0x30 + channels));  // $31..$3B
  return std::string{'\x3F', static_cast<char>(channels)};                // $3F n: 12..23
}

bool TVQSessionItem::TrySendCommand(const std::string& command, std::string& refusal) {
  refusal = command;
  if (LogWanted(LogId())) Log(".SendCommand " + HexDump(command));
  return Multi_SendCommand(FMultiId, refusal) == MultiCode::Ok;
}

bool TVQSessionItem::SendCommand(const std::string& command) {
  std::string refusal;
  if (TrySendCommand(command, refusal)) return true;
  LogErr(".SendCommand " + HexDump(command) + " failed: " + refusal);
  AddError(SessionMsg::SendCommandFailed, 0, "Send Command Failed: " + refusal);
  return false;
}

namespace {

// Command bytes of the Counter menu.
constexpr char kResetPhaseDiff = 0x0A;
constexpr char kRawMode = 'F';
constexpr char kRawModeAvg = 'G';
constexpr uint8_t kFirstIntervalCmd = 0x20, kLastIntervalCmd = 0x2D;
constexpr uint8_t kFirstModeCmd = 0x40, kLastModeCmd = 0x45;
constexpr uint16_t kIntervalBits = 0x0F02;  // index and extension bit
constexpr uint16_t kModeBits = 0x7000;
constexpr uint16_t kScramblerBits = 0x0030;

// The scrambler index a command asks for: $50 off, $5E Auto, $5F Trim.
std::optional<int> ScramblerOfCommand(uint8_t c) {
  if (c == 0x50) return 0;
  if (c == 0x5E) return 1;
  if (c == 0x5F) return 2;
  return std::nullopt;
}

uint16_t WithBits(uint32_t header, uint16_t mask, uint16_t value) {
  return static_cast<uint16_t>((header & ~mask & 0x7FFF) | value);
}

}  // namespace

bool TVQSessionItem::SetCommand(const std::string& cmd, const std::string& cmdText) {
  if (IsCopy() || cmd.empty()) return false;
  if (!DeviceOpened()) {
    AddError(SessionMsg::SendCommandFailed, 0, "Command " + HexDump(cmd) + " ignored: no device");
    return false;
  }
  const TReportEvalState state = FEval->State();
  const bool known = state.OldHeader < TVQReportEvaluation::kNoHeader;
  const bool rawMode = state.Mode == 6 || state.Mode == 7;
  const auto c = static_cast<uint8_t>(cmd.front());
  const bool single = cmd.size() == 1;

  if (single && (cmd.front() == kRawMode || cmd.front() == kRawModeAvg)) {
    FRawAvg = cmd.front() == kRawModeAvg;
    UpdateEvalOptions();
    Log(".SetCommand: switch mode to " + std::string(rawMode ? cmdText : "RawMode"));
    if (!SendSteered(std::string(1, kRawMode), cmdText, std::nullopt)) return false;
    if (!rawMode) {
      Log(".SetCommand: switch interval to 1ms");
      SendCommand(" ");
    }
    return true;
  }
  if (single && c >= kFirstIntervalCmd && c <= kLastIntervalCmd) {
    const int index = c - kFirstIntervalCmd;
    if (rawMode) {
      // The counter stays at 1 ms; the application gathers the interval.
      FEval->SetRawInterval(index);
      Log(".SetCommand: switch interval to " + cmdText + " FIntervalIndex=" + std::to_string(index));
      AddInfo(SessionMsg::CommandDone, 0, "Cmd " + cmdText);
      return true;
    }
    return SendSteered(cmd, cmdText,
                       known ? std::optional(WithBits(state.OldHeader, kIntervalBits, static_cast<uint16_t>(index << 8)))
                             : std::nullopt);
  }
  if (single && c >= kFirstModeCmd && c <= kLastModeCmd) {
    const int mode = c - kFirstModeCmd;
    std::optional<uint16_t> expected;
    if (known) {
      uint16_t header = WithBits(state.OldHeader, kModeBits, static_cast<uint16_t>(mode << 12));
      // Out of raw mode the counter takes the application's interval again.
      if (rawMode && state.IntervalIndex >= 0)
        header = WithBits(header, kIntervalBits, static_cast<uint16_t>(state.IntervalIndex << 8));
      expected = header;
    }
    if (!SendSteered(cmd, cmdText, expected)) return false;
    if (rawMode && state.IntervalIndex >= 0) {
      Log(".SetCommand: switch interval back to " + std::to_string(state.IntervalMs) +
          "ms  FIntervalIndex=" + std::to_string(state.IntervalIndex));
      SendCommand(std::string(1, static_cast<char>(kFirstIntervalCmd + state.IntervalIndex)));
    }
    return true;
  }
  if (const std::optional<int> scrambler = single ? ScramblerOfCommand(c) : std::nullopt) {
    return SendSteered(cmd, cmdText,
                       known ? std::optional(WithBits(state.OldHeader, kScramblerBits, static_cast<uint16_t>(*scrambler << 4)))
                             : std::nullopt);
  }
  if (single && cmd.front() == kResetPhaseDiff) {
    FEval->SetPhaDiffReset(true);
    std::string refusal;
    if (TrySendCommand(cmd, refusal)) {
      AddInfo(SessionMsg::CommandDone, 0, "Cmd " + cmdText);
      return true;
    }
    if (PhaseDiffResetRefused(refusal)) return true;
    FEval->SetPhaDiffReset(false);
    AddError(SessionMsg::SendCommandFailed, 0, "Send Command Failed: " + refusal);
    return false;
  }
  return SendSteered(cmd, cmdText, std::nullopt);
}

// A counter that cannot reset its phase differences (the simulated one, a
// replay) refuses the command at once or, queued, at a later poll: the
// differences are the application's own, so it re-zeroes them.
bool TVQSessionItem::PhaseDiffResetRefused(const std::string& refusal) {
  if (!FEval || !FEval->State().PhaDiffReset || !refusal.ends_with(" " + HexDump(std::string(1, kResetPhaseDiff))))
    return false;
  Log(".SetCommand: phase difference reset refused by the counter (" + refusal + ")");
  FEval->ResetPhaseDifference();
  return true;
}

// Log lines wait from before the command leaves until the counter reports
// the header asked for.
bool TVQSessionItem::SendSteered(const std::string& cmd, const std::string& cmdText, std::optional<uint16_t> expected) {
  if (expected) FEval->SetExpectedHeader(*expected, cmd);
  if (!SendCommand(cmd)) {
    if (expected) FEval->ResetWaitExpectedHeader();
    return false;
  }
  AddInfo(SessionMsg::CommandDone, 0, "Cmd " + cmdText);
  return true;
}

void TVQSessionItem::CloseDevice(bool stopServer) {
  if (IsCopy()) return;
  // A lost connection the user closes is not opened again.
  if (FReopenWanted.exchange(false)) AnnounceClosed();
  std::lock_guard lock(FOpenLock);
  CloseDeviceLocked(stopServer);
}

void TVQSessionItem::CloseDeviceLocked(bool) {
  if (!FDeviceOpened) return;
  const int userId = Multi_GetUserID(FMultiId);
  if (userId != kNoUserID) FUserIdINI = static_cast<uint8_t>(userId);
  Multi_CloseConnection(FMultiId);
  FDeviceOpened = false;
  AnnounceClosed();
}

void TVQSessionItem::AnnounceClosed() {
  AddInfo(SessionMsg::Connection, 0, "Disconnect");
  SamplerEvent(SamplerEvent::Closed, {});
  NotifyUpdate();  // the receiver hands it to the main thread
}

// ---- polling ----------------------------------------------------------------------------

TPollAction PollResultAction(int result, const std::string& text, bool fileSource, bool networkSource,
                             bool referenceClockError) {
  TPollAction action;
  const auto message = [&action](TMsgType kind, int code) {
    action.Kind = kind;
    action.Code = code;
  };
  switch (result) {
    case MultiCode::Ok:
      action.Evaluate = !text.empty();
      break;
    case MultiCode::Other:
      if (referenceClockError && text.find("Data transfer interrupted") != std::string::npos)
        action.LogOnly = true;
      else
        message(mtError, SessionMsg::ReadingReportFailed);
      break;
    case MultiCode::WriteError:
    case MultiCode::ServerDown:
      action.Connection = TPollAction::TConnection::Reopen;
      break;
    case MultiCode::NotConnected:
      if (fileSource) {
        message(mtInfo, SessionMsg::Connection);
        action.Connection = TPollAction::TConnection::Close;
      } else if (networkSource) {
        message(mtError, SessionMsg::ReadingReportFailedClosed);
        action.Connection = TPollAction::TConnection::CloseStopServer;
      } else {
        message(mtError, SessionMsg::ReadingReportFailed);
      }
      break;
    case MultiCode::HardwareFault:
      message(mtError, SessionMsg::ReadingReportFailedClosed);
      action.Connection = TPollAction::TConnection::CloseStopServer;
      break;
    case MultiCode::CmdIgnored:
      message(mtError, SessionMsg::SendCommandFailed);
      break;
    case MultiCode::Reconnected:
      message(mtError, SessionMsg::DataLoss);
      action.Reconnected = true;
      break;
    case MultiCode::Recovered:
      message(mtInfo, SessionMsg::ConnectionRunningAgain);
      break;
    default:  // an exception, an unknown source and the rest
      message(mtError, SessionMsg::ReadingReportFailed);
      break;
  }
  return action;
}

bool TVQSessionItem::GetReport() {
  if (IsCopy()) return false;  // the original polls the shared source
  std::string line;
  int64_t deviceMs = -1;
  const int code = Multi_GetReportEx(FMultiId, line, deviceMs);
  ReadReportTime(deviceMs);
  if (code == MultiCode::Ok && line.empty()) return false;
  if (code == MultiCode::CmdIgnored && PhaseDiffResetRefused(line)) return true;
  const bool fileSource = code == MultiCode::NotConnected &&
                          (ConnectionType() == ctFile || Multi_IsFileDevice(FMultiId) == 1);
  const TPollAction action =
      PollResultAction(code, line, fileSource, ConnectionType() == ctNetwork, ReferenceClockError());
  if (action.Evaluate) EvaluateLine(line, deviceMs);
  if (action.LogOnly) Log(".GetReport " + line);
  if (action.Kind == mtError)
    AddError(action.Code, 0, line);
  else if (action.Kind)
    AddInfo(action.Code, 0, line);
  if (action.Reconnected) {
    SamplerEvent(SamplerEvent::LossOfData, line);
    if (FEval) FEval->ClearReferenceClockError();
  }
  switch (action.Connection) {
    case TPollAction::TConnection::Keep: break;
    case TPollAction::TConnection::Close: CloseDevice(false); break;
    case TPollAction::TConnection::CloseStopServer: CloseDevice(true); break;
    case TPollAction::TConnection::Reopen: ConnectionLost(line); break;
  }
  return true;
}

// Opening again may take a connect time-out: it is the main thread's work,
// so the acquisition thread goes on polling the other sessions.
void TVQSessionItem::ConnectionLost(const std::string& text) {
  std::lock_guard lock(FOpenLock);
  if (!FDeviceOpened) return;
  LogErr(".GetReport connection lost, reopen requested: " + text);
  Multi_CloseConnection(FMultiId);
  FDeviceOpened = false;
  FLostText = text;
  FReopenWanted = true;
  NotifyUpdate();  // wakes the main thread
}

bool TVQSessionItem::ReopenIfLost() {
  if (!FReopenWanted.exchange(false)) return false;
  std::string text;
  {
    std::lock_guard lock(FOpenLock);
    text = FLostText;
  }
  if (OpenDevice().empty()) {
    AddError(SessionMsg::ReadingReportFailed, 0, text);
    return true;
  }
  AddError(SessionMsg::ReadingReportFailedClosed, 0, text);
  AnnounceClosed();
  return true;
}

void TVQSessionItem::ReadReportTime(int64_t deviceMs) {
  if (deviceMs == -1) return;
  std::lock_guard lock(FStateLock);
  FState.DeviceMs = deviceMs;
}

// What the session itself keeps of each line; the evaluation step does the
// rest.
void TVQSessionItem::EvaluateLine(const std::string& line, int64_t deviceMs) {
  TReportEvaluation evaluation;
  bool generationChanged = false;
  {
    std::lock_guard lock(FStateLock);
    ++FState.Lines;
    FState.LastLine = line;
    const std::optional<uint16_t> code = ReportLineCode(line);
    if (code && VQ_Code::IsMeasurement(*code)) {
      ++FState.Measurements;
      FState.DataHeader = *code;
      const TVQHeader header(*code);
      FState.Mode = header.FMode;
      if (header.FIntervalIndexValid) {
        FState.IntervalIndex = header.FIntervalIndex;
        FIntervalMs = static_cast<int>(header.FGateTime);
      }
      FState.ChannelCount = static_cast<int>(std::count(line.begin(), line.end(), ';'));
    } else if (code == VQ_Code::Timestamp) {
      std::from_chars(line.data() + std::min<std::size_t>(6, line.size()), line.data() + line.size(),
                      FState.LastSecond);
      FState.MeasurementsAtSecond = FState.Measurements;
    } else if (code == VQ_Code::Version) {
      FState.VersionString = line.substr(4);
      FState.Demo = line.find("Simulator") != std::string::npos;
      const bool esp = line.find("VERSION PAV2") != std::string::npos;
      generationChanged = esp != FState.IsESP;
      FState.IsESP = esp;
    } else if (code == VQ_Code::HeaderChanged) {
      if (const auto header = HexAfterDollar(line)) FState.DataHeader = *header & 0x7FFF;
    }
    evaluation = FEvaluation;
  }
  // The acquisition thread polls serial counters of the older generation
  // faster: it must learn the generation.
  if (generationChanged) NotifyUpdate();
  if (FEval) FEval->ReportAuswerten(line, deviceMs);
  if (evaluation) evaluation(*this, line, deviceMs);
}

// ---- QMT calibration ----------------------------------------------------------------------

void TVQSessionItem::SetUseDeviceCalibration(bool on) {
  TakeUseDeviceCalibration(on);
  if (const auto linked = LinkedSession()) linked->TakeUseDeviceCalibration(on);
}

// The evaluation of the original applies the choice; a copy has none.
void TVQSessionItem::TakeUseDeviceCalibration(bool on) {
  Log(std::string(".SetUseDeviceCalibration=") + (on ? "True" : "False"));
  FUseDeviceCalibration = on;
  if (FEval) FEval->SetUseDeviceCalibration(on);
}

namespace {

std::string CalibrationValuesText(const TCalibrationData& data) {
  std::string text;
  for (const double value : data.Values) text += FloatToStrGeneral(value) + " ";
  return text;
}

}  // namespace

void TVQSessionItem::UserChangedDeviceCalibration(const TCalibrationData& data) {
  Log(".UserChangedDeviceCalibration " + CalibrationValuesText(data));
  const int result = TransmitDeviceCalibrationData(data);
  if (result == MultiCode::Ok) {
    AddInfo(kInfoCalibrationSent, 0, "Cmd Transmit calibration data");
    SetUseDeviceCalibration(true);  // the counter answers with the new 7901
  } else if (result == MultiCode::NotSupported) {
    // The library cannot write the counter's memory yet, whatever its firmware.
    AddError(kErrorCalibrationNotChanged, 0,
             "Change Device Calibration not available: writing the calibration to the counter is not supported yet");
  } else {
    AddError(kErrorCalibrationNotChanged, 0, "Change Device Calibration failed, format error");
  }
}

int TVQSessionItem::TransmitDeviceCalibrationData(const TCalibrationData& data) {
  TFormatSettings fmt;
  fmt.DecimalSeparator = FDecSep.load();
  std::string text;
  for (std::size_t k = 0; k < data.Values.size(); ++k) {
    std::string value = FloatToStrFixed(data.Values[k], 3, fmt);
    if (value.size() < 15) value.insert(0, 15 - value.size(), ' ');
    text += (k == 0 ? "" : ";") + value;
  }
  Log(".TransmitDeviceCalibrationData " + text);
  return Multi_SetCalibrationData(FMultiId, text);
}

bool TVQSessionItem::CheckCalibrationRange(double value) {
  constexpr double kLimit = 1.0E9;
  if (!(value > -kLimit && value < kLimit)) return false;
  // The counter counts modulo one second.
  if (value < -kLimit / 2)
    value += kLimit;
  else if (value > kLimit / 2)
    value -= kLimit;
  const double scaled = std::nearbyint(value * CalibFactorFloatToInt());  // halves to even
  if (scaled < std::numeric_limits<int32_t>::min() || scaled > std::numeric_limits<int32_t>::max()) {
    LogErr(".CheckCalibrationRange out of range: " + FloatToStrGeneral(value) + ", aInt=" + FloatToStrFixed(scaled, 0));
    return false;
  }
  return true;
}

// Asked once; a source that cannot answer yet (0) is asked again next time.
int TVQSessionItem::CalibFactorFloatToInt() {
  if (FCalibFactorFloatToInt <= 0) FCalibFactorFloatToInt = Multi_GetCalibFactorFloatToInt(FMultiId);
  return std::max(FCalibFactorFloatToInt.load(), 0);
}

int TVQSessionItem::FirmwareVersion() const { return Multi_GetFirmwareVersion(FMultiId); }

bool TVQSessionItem::HasFRam() const { return (Multi_GetHardFeature(FMultiId) & kFeatureFRam) != 0; }

// ---- settings ------------------------------------------------------------------------------

std::string TVQSessionItem::ReadSettings(TAppSettings& settings, const std::string& prefix) {
  std::string error = TSessionItem::ReadSettings(settings, prefix);
  const auto* zep = dynamic_cast<const TZEPSettings*>(&settings);
  const bool debugStream = settings.GetValue(prefix + "Debug_Stream", zep && zep->ProfessionalMode());
  FClearBufferOnStart = settings.GetValue(prefix + "ClearBuffer", true);
  // -1 is an unknown serial number as well.
  const int64_t serial = settings.ReadInt64(prefix + "SerialNumber", kUnknownSerial, -1, kUnknownSerial);
  FSerialNumberINI = serial < 0 ? kUnknownSerial : static_cast<uint32_t>(serial);
  if (OpenString() == kDemoConnection) {
    // 0 means all 24 channels; anything beyond 23 is taken as 0 as well.
    FDemoChannels = settings.ReadInteger(prefix + "DemoChannels", 4, 0);
    if (FDemoChannels > 23) FDemoChannels = 0;
    FDemoMode = settings.ReadInteger(prefix + "DemoMode", 0, 0, kMaxMode);
    FDemoRate = settings.ReadInteger(prefix + "DemoRate", 9, 0, kMaxIntervalIndex);
    FDemoPDI = settings.GetValue(prefix + "DemoPDI", true);
    FDemoQMT = settings.GetValue(prefix + "DemoQMT", true);
  }
  FRunLocalTcpServer = settings.GetValue(prefix + "RunLocalTcpServer", false);
  FLocalTcpServerPort = settings.ReadInteger(prefix + "LocalTcpServerPort", 0, 0, kMaxPort);
  FUseDeviceCalibration = settings.GetValue(prefix + "UseDeviceCalibration", FUseDeviceCalibration.load());
  FRawIntervalIndex = settings.ReadInteger(prefix + "RawIntervalIndex", -1, -1, kMaxIntervalIndex);
  FRawAvg = settings.GetValue(prefix + "RawAvg", false);
  FRef20MHz = settings.GetValue(prefix + "Ref20MHz", false);
  FPAV_DM->SetRef20MHz(FRef20MHz);
  FDataPortINI = settings.ReadInteger(prefix + "TCPDataPort", 0, 0, kMaxPort);
  const int userId = settings.ReadInteger(prefix + "UserID", static_cast<int>(kNoUserID), 0, kNoUserID);
  FUserIdINI = static_cast<uint8_t>(userId >= 1 && userId <= 4 ? userId : kNoUserID);
  try {
    ReadChannelSettings(settings, prefix);
    ReadStoreSettings(settings, prefix);
  } catch (const std::exception& e) {
    const std::string text = "Error reading " + prefix + " settings: " + e.what();
    LogErr(".ReadSettings " + text);
    if (error.empty()) error = text;
  }
  ReadPDISignalNames(settings, prefix);
  const char separator = settings.FormatSettings().DecimalSeparator;
  SetDecimalSeparator(separator == ',' ? ',' : '.');
  UpdateEvalOptions();
  FDebugStream = debugStream;
  ApplyDebugSwitches();
  SetUseDeviceCalibration(FUseDeviceCalibration);
  return error;
}

// The keys that set up the stores and the time base.
void TVQSessionItem::ReadStoreSettings(TAppSettings& settings, const std::string& prefix) {
  auto* zep = dynamic_cast<TZEPSettings*>(&settings);
  if (zep) {
    TSessionTimeOptions options;
    options.LogTimeFormat = zep->LogTimeFormat();
    options.LogTimeSourcePAV = zep->LogTimeSourcePAV();
    options.LogTimeZoneSystem = zep->LogTimeZoneSystem();
    options.ProfessionalMode = zep->ProfessionalMode();
    std::lock_guard lock(FHookLock);
    FTimeOptions = options;
  }
  const TFormatSettings fmt = settings.FormatSettings();
  std::array<double, 24> nominal{};
  if (zep && zep->GlobalNomFrequ() && zep->ProfessionalMode()) {
    for (int k = 1; k <= 24; ++k) {
      nominal[static_cast<std::size_t>(k - 1)] = zep->NomFreq(k);
      if (zep->NomFreq(k) != 0.0)
        Log(".ReadSettings GlobalNominalFrequency[" + std::to_string(k) + "]=" + FloatToStrGeneral(zep->NomFreq(k)));
    }
  } else {
    for (int group = 0; group < kNomFreqKeys; ++group) {
      const std::array<double, 4> values = NomFreqItems(settings.GetValue(prefix + NomFreqKey(group), std::string()), fmt);
      for (std::size_t j = 0; j < values.size(); ++j) nominal[static_cast<std::size_t>(4 * group) + j] = values[j];
    }
  }
  SetNomFrequencies(nominal);
  FPAV_DM->SetAllanDecay(settings.ReadInteger(prefix + "AllanDecay", 0));
  for (int k = 1; k <= 24; ++k) {
    const std::string key = prefix + "V_" + std::to_string(k) + "_Factors";
    if (settings.HasKey(key)) FPAV_DM->SetVirtualFactors(k, FactorItems(settings.GetValue(key, std::string()), fmt));
    const std::string qmtKey = prefix + "VQMT_" + std::to_string(k) + "_Factors";
    if (settings.HasKey(qmtKey)) FQMT_DM->SetVirtualFactors(k, FactorItems(settings.GetValue(qmtKey, std::string()), fmt));
  }
  FVirtualDescription = settings.GetValue(prefix + "V_Description", std::string());
  FVirtualQMTDescription = settings.GetValue(prefix + "VQMT_Description", std::string());
  ReadHorizontalScale(settings.GetValue(prefix + "HorizontalScale", std::string()), fmt);
  FIniDateTimeNumber.reset();
  const double start = settings.ReadDouble(prefix + "PAVDateTimeStart", std::numeric_limits<double>::quiet_NaN());
  if (std::isfinite(start)) FIniDateTimeNumber = start;
  ApplyStoredTimeOrigin();
  if (zep) SetWindowDecimalSeparator(zep->FormatSettingsWin().DecimalSeparator);
}

void TVQSessionItem::SaveStoreSettings(TAppSettings& settings, const std::string& prefix) {
  TFormatSettings fmt = settings.FormatSettings();
  if (const auto* zep = dynamic_cast<const TZEPSettings*>(&settings)) fmt = zep->FormatSettingsWin();
  for (int group = 0; group < kNomFreqKeys; ++group) {
    std::string text;
    for (int j = 1; j <= 4; ++j) {
      std::string value = FloatToStrFixed(FPAV_DM->GetNomFreqUser(4 * group + j), 11, fmt);
      if (value.size() < 22) value.insert(0, 22 - value.size(), ' ');
      text += value + "; ";
    }
    settings.SetValue(prefix + NomFreqKey(group), text);
  }
  settings.SetValue(prefix + "AllanDecay", FPAV_DM->AllanDecay());
  SaveChannelSettings(settings, prefix, fmt);
  // The origin in the zone it is shown in; one never computed keeps what was
  // read. The simulated counter starts its clock at every opening: its origin
  // says nothing about the next run and is not kept.
  if (OpenString() == kDemoConnection) return;
  if (const std::optional<TUtcMs> origin = TimeOrigin())
    settings.SetValue(prefix + "PAVDateTimeStart",
                      PartsToDateTimeNumber(ZoneParts(*origin, TimeOptions().LogTimeZoneSystem)));
  else if (FIniDateTimeNumber)
    settings.SetValue(prefix + "PAVDateTimeStart", *FIniDateTimeNumber);
}

void TVQSessionItem::SaveSettings(TAppSettings& settings, const std::string& prefix) {
  const TVQSessionState state = State();
  TSessionItem::SaveSettings(settings, prefix);
  settings.SetValue(prefix + "Debug_Stream", FDebugStream);
  settings.SetValue(prefix + "ClearBuffer", FClearBufferOnStart);
  settings.SetUValue(prefix + "SerialNumber", SerialNumber() != kUnknownSerial ? SerialNumber() : FSerialNumberINI);
  if (OpenString() == kDemoConnection) {
    // The running set-up once data have shown it, the configured one before.
    const bool known = state.DataHeader != 0x10000 && state.Mode <= 6 && state.IntervalIndex >= 0;
    const int channels = state.ChannelCount > 0 ? (state.ChannelCount >= 24 ? 0 : state.ChannelCount) : FDemoChannels;
    settings.SetValue(prefix + "DemoChannels", known ? channels : FDemoChannels);
    settings.SetValue(prefix + "DemoMode", known ? state.Mode : FDemoMode);
    settings.SetValue(prefix + "DemoRate", known ? state.IntervalIndex : FDemoRate);
    settings.SetValue(prefix + "DemoPDI", FDemoPDI);
    settings.SetValue(prefix + "DemoQMT", FDemoQMT);
  }
  settings.SetValue(prefix + "RunLocalTcpServer", FRunLocalTcpServer);
  settings.SetValue(prefix + "LocalTcpServerPort", FLocalTcpServerPort);
  settings.SetValue(prefix + "UseDeviceCalibration", FUseDeviceCalibration.load());
  settings.SetValue(prefix + "RawIntervalIndex", state.IntervalIndex >= 0 ? state.IntervalIndex : FRawIntervalIndex);
  settings.SetValue(prefix + "RawAvg", FRawAvg);
  settings.SetValue(prefix + "Ref20MHz", FRef20MHz);
  settings.SetValue(prefix + "TCPDataPort", FDataPortINI);
  settings.SetValue(prefix + "UserID", static_cast<int>(FUserIdINI.load()));
  if (!IsCopy()) {
    SaveStoreSettings(settings, prefix);
    SavePDISignalNames(settings, prefix);
  }
  FChannels.SaveSettings(settings, prefix);
  WriteForeignKeys(settings, prefix);
  settings.SetVersionFormat(kFormatVersion);
}
