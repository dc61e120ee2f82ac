#include "app/core/App_Views.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>

#include "app/core/App_Settings.h"
#include "app/core/ZEP_Sessions.h"
#include "app/core/ZEP_Sync.h"
#include "app/data/PAV_DataManagement.h"
#include "app/data/QMT_DataManagement.h"

// ---- view kinds ----------------------------------------------------------------

namespace {

using VK = TViewKind;

// Kind number - 1 indexes this table.
constexpr std::array<TViewKindInfo, 10> kKinds = {{
    {VK::vkGraph, "GraphicChild_", "Graph", true, true, true, true},
    {VK::vkAllan, "AllanChild_", "Allan Deviation", true, false, true, false},
    {VK::vkText, "TextChild_", "Counter Values", true, false, true, true},
    {VK::vkRaw, "RawChild_", "Raw Data", true, false, true, false},
    {VK::vkAllanText, "AllanTextChild_", "Allan Deviation Values", true, false, true, false},
    {VK::vkQMT, "QmtChild_", "QMT Values", true, false, true, true},
    {VK::vkSensorText, "TextSensor_", "Sensor Values", true, false, true, false},
    {VK::vkMessage, "MessageChild_", "Messages", false, false, false, false},
    {VK::vkPDI, "PDIChild_", "Digital Inputs", false, false, false, false},
    {VK::vkDebug, "DebugChild_", "Debug", false, false, false, false},
}};

// Settings reads that never throw and never add keys: a missing or
// unreadable value gives the default (the store tells the user of the
// latter).
int ReadInt(const TAppSettings& settings, const std::string& name, int defaultValue, int minValue, int maxValue) {
  return static_cast<int>(settings.StoredInteger(name, minValue, maxValue).value_or(defaultValue));
}

// As every Boolean of the settings file: only the exact text "True" is true.
bool ReadBool(const TAppSettings& settings, const std::string& name, bool defaultValue) {
  const auto text = settings.RawValue(name);
  return text ? *text == "True" : defaultValue;
}

// Window positions may be negative (screens left of the main one); sizes
// not. Both stay far from int overflow when offsets are added.
constexpr int kMaxCoordinate = 1'000'000;

}  // namespace

const TViewKindInfo* ViewKindInfo(int kind) {
  if (kind < 1 || kind > static_cast<int>(kKinds.size())) return nullptr;
  return &kKinds[kind - 1];
}

const TViewKindInfo* ViewKindInfo(TViewKind kind) { return ViewKindInfo(static_cast<int>(kind)); }

std::string ViewName(TViewKind kind, int tag) {
  const TViewKindInfo* info = ViewKindInfo(kind);
  return info ? std::string(info->NamePrefix) + std::to_string(tag) : std::string();
}

int TranslateOldViewId(int oldId) {
  switch (oldId) {
    case 1: case 2: case 3: case 12: case 13: return 1;
    case 4: case 5: case 6: case 7: case 14: return 3;
    case 10: return 4;
    case 11: return 7;
    case 15: return 6;
    case 16: return 2;
    case 17: return 5;
    case 8: case 9: return oldId;
    default: return 0;
  }
}

// ---- session adapter -----------------------------------------------------------

namespace {

class TSessionViewAdapter final : public TViewSession {
 public:
  explicit TSessionViewAdapter(std::shared_ptr<TSessionItem> session)
      : FSession(std::move(session)), FCounter(dynamic_cast<TVQSessionItem*>(FSession.get())) {}

  int Index() const override { return FSession->Index(); }
  char Letter() const override { return FSession->Letter(); }
  std::string FriendlyName() const override { return FSession->FriendlyName(); }
  TColor Color() const override { return FSession->Color(); }
  std::string OpenString() const override { return FSession->OpenString(); }
  bool IsSensor() const override { return FSession->SessionType() != 0; }
  bool IsCopy() const override { return FSession->IsCopy(); }

  int ChannelCount(TChannelSet set) const override {
    if (!FCounter) return 0;
    switch (set) {
      case TChannelSet::csCounter: return FCounter->PAV().ChannelCount();
      case TChannelSet::csVirtual: return FCounter->PAV().GetVirtualChannelCount();
      case TChannelSet::csQMT: return FCounter->QMT().ChannelCount();
      case TChannelSet::csVirtualQMT: return FCounter->QMT().GetVirtualChannelCount();
    }
    return 0;
  }

  TVQ_ChannelData ChannelData(TChannelSet set) const override {
    if (IsSensor()) return TVQ_ChannelData(TChannelPalette::cpSensor);
    TChannelPalette palette = TChannelPalette::cpCounter;
    std::string idPrefix = "PAV_";
    const TDataManagement* store = nullptr;
    switch (set) {
      case TChannelSet::csCounter:
        store = FCounter ? &FCounter->PAV() : nullptr;
        break;
      case TChannelSet::csVirtual:
        palette = TChannelPalette::cpVirtual;
        idPrefix = "VPAV_";
        break;
      case TChannelSet::csQMT:
        palette = TChannelPalette::cpQMT;
        idPrefix = "QMT_";
        store = FCounter ? &FCounter->QMT() : nullptr;
        break;
      case TChannelSet::csVirtualQMT:
        palette = TChannelPalette::cpVirtualQMT;
        idPrefix = "VQMT_";
        break;
    }
    TVQ_ChannelData data(palette);
    const std::string letter(1, Letter());
    for (int i = 1; i <= TVQ_ChannelData::kChannels; ++i) {
      data.SetId(i, idPrefix + letter + std::to_string(i));
      if (!store) continue;
      const std::string name = store->GetChannelName(i);
      if (!name.empty()) data.SetName(i, name);
    }
    data.SetMaxChannels(ChannelCount(set));
    return data;
  }

 private:
  std::shared_ptr<TSessionItem> FSession;
  TVQSessionItem* FCounter;  // FSession as a counter session, else null
};

}  // namespace

std::shared_ptr<TViewSession> MakeViewSession(std::shared_ptr<TSessionItem> session) {
  if (!session) return nullptr;
  return std::make_shared<TSessionViewAdapter>(std::move(session));
}

// ---- view model ------------------------------------------------------------------

TViewModel::TViewModel(TViewKind kind) : FKind(kind) {
  if (const TViewKindInfo* info = ViewKindInfo(kind)) FDefaultTitle = std::string(info->DefaultTitle);
  FChildTitle = FDefaultTitle;
  const bool qmt = kind == TViewKind::vkQMT;
  for (TBase& base : FBase) base.QMT = qmt;
}

void TViewModel::CreateChild(int tag, std::shared_ptr<TViewSession> session, TOnViewMain onMain) {
  FTag = tag;
  FOnMain = std::move(onMain);
  FDefaultSettings = true;
  // Base 2 starts empty but keeps which channel set the kind shows there.
  const bool secondQMT = FBase[1].QMT;
  FBase[1] = TBase{};
  FBase[1].QMT = secondQMT;
  Bind(1, std::move(session));
}

std::shared_ptr<TViewSession> TViewModel::Session(int base) const {
  return ValidBase(base) ? FBase[base - 1].Session : nullptr;
}

int TViewModel::SessionIndex(int base) const { return ValidBase(base) ? FBase[base - 1].Index : -1; }

void TViewModel::SetSecondSession(std::shared_ptr<TViewSession> session) {
  if (!CanHaveSecondSession()) return;
  Bind(2, std::move(session));
}

bool TViewModel::CanHaveSecondSession() const {
  const TViewKindInfo* info = ViewKindInfo(FKind);
  return info && info->SecondSession;
}

namespace {

// Hand-over kinds about a session's data: they reach a view through either base.
bool IsDataHandOver(int what) {
  switch (what) {
    case SyncWhat::DataReset:
    case SyncWhat::DataResetQMT:
    case SyncWhat::ChannelCount:
    case SyncWhat::QMTChannels:
    case SyncWhat::PDICards:
    case SyncWhat::RateIndex:
    case SyncWhat::PhaseDiffReset:
    case SyncWhat::QMTCalibration:
    case SyncWhat::PVHData: return true;
    default: return false;
  }
}

}  // namespace

std::vector<int> TViewModel::HandOverBases(int what, int sessionIndex) const {
  std::vector<int> bases;
  if (sessionIndex < 0) return bases;
  const bool data = IsDataHandOver(what);
  for (int base = 1; base <= kBases; ++base) {
    const TBase& b = FBase[base - 1];
    // The session's number as it is now: saving renumbers sessions in place.
    if (b.Session && b.Session->Index() == sessionIndex && (base == 1 || data)) bases.push_back(base);
  }
  return bases;
}

bool TViewModel::IsQMTView(int base) const { return ValidBase(base) && FBase[base - 1].QMT; }

void TViewModel::SetQMTView(int base, bool value) {
  if (!ValidBase(base) || FBase[base - 1].QMT == value) return;
  FBase[base - 1].QMT = value;
  if (FBase[base - 1].Session) {
    UpdateSession(base);
    RecountChannels(base);
  }
}

bool TViewModel::HasSelector(int base) const {
  const TViewKindInfo* info = ViewKindInfo(FKind);
  if (!info || !info->Selector || !ValidBase(base)) return false;
  return base == 1 || FBase[1].Session != nullptr;
}

TChannelSet TViewModel::ChannelSetOf(int base) const {
  if (IsQMTView(base)) return FVirtualChannels ? TChannelSet::csVirtualQMT : TChannelSet::csQMT;
  return FVirtualChannels ? TChannelSet::csVirtual : TChannelSet::csCounter;
}

TVQ_ChannelSelection& TViewModel::Selection(int base) { return FBase[base == 2 ? 1 : 0].Selection; }

const TVQ_ChannelSelection& TViewModel::Selection(int base) const { return FBase[base == 2 ? 1 : 0].Selection; }

TColor TViewModel::BaseColor(int base) const {
  return ValidBase(base) ? FBase[base - 1].Color : kButtonFaceColor;
}

void TViewModel::RecountChannels(int base) {
  if (!ValidBase(base) || !FBase[base - 1].Session) return;
  const int count = FBase[base - 1].Session->ChannelCount(ChannelSetOf(base));
  TVQ_ChannelData& data = FBase[base - 1].Selection.FData;
  if (data.MaxChannels() == std::clamp(count, 0, TVQ_ChannelData::kChannels)) return;
  data.SetMaxChannels(count);
  NotifyChannels(base);
}

void TViewModel::Bind(int base, std::shared_ptr<TViewSession> session) {
  TBase& b = FBase[base - 1];
  b.Session = std::move(session);
  b.Index = b.Session ? b.Session->Index() : -1;
  if (!b.Session) {
    b.Color = kButtonFaceColor;
    if (base == 1) UpdateCaption();
    // A later second session starts with all its channels shown.
    if (base == 2) {
      b.Selection = TVQ_ChannelSelection{};
      NotifyChannels(base);
    }
    return;
  }
  UpdateSession(base);
  RecountChannels(base);
}

void TViewModel::UpdateSession(int base) {
  if (!ValidBase(base)) return;
  TBase& b = FBase[base - 1];
  if (b.Session) {
    const TVQ_ChannelData source = b.Session->ChannelData(ChannelSetOf(base));
    TVQ_ChannelData& target = b.Selection.FData;
    for (int i = 1; i <= TVQ_ChannelData::kChannels; ++i) {
      target.SetColor(i, source.Color(i));
      target.SetName(i, source.Name(i));
      target.SetId(i, source.Id(i));
    }
    target.SetMaxChannels(source.MaxChannels());
    b.Color = b.Session->Color();
    NotifyChannels(base);
  }
  UpdateCaption();
}

void TViewModel::NotifyChannels(int base) {
  if (OnChannelsChanged) OnChannelsChanged(base);
}

void TViewModel::SetTitle(const std::string& value) {
  if (value == FTitle) return;
  FTitle = value;
  UpdateCaption();
}

void TViewModel::SetSameCaptionNumber(int value) {
  if (value < 0) value = 0;
  if (value == FSameCaptionNumber) return;
  FSameCaptionNumber = value;
  UpdateCaption();
  if (OnCaptionChanged) OnCaptionChanged();
}

void TViewModel::SetDefaultTitle(const std::string& value) {
  if (value == FDefaultTitle) return;
  FDefaultTitle = value;
  if (!FBase[0].Session) FChildTitle = FDefaultTitle;
  UpdateCaption();
}

std::string TViewModel::Caption() const {
  if (FSameCaptionNumber <= 0) return FChildTitle;
  return FChildTitle + "   (" + std::to_string(FSameCaptionNumber) + ")";
}

void TViewModel::UpdateCaption() {
  const std::shared_ptr<TViewSession>& session = FBase[0].Session;
  if (!session) return;
  std::string title;
  if (!FTitle.empty()) {
    title = FTitle;
  } else {
    const std::string friendly = session->FriendlyName();
    title = "[" + std::string(1, session->Letter());
    if (!friendly.empty()) title += ": " + friendly;
    title += "] " + FDefaultTitle;
  }
  if (title == FChildTitle) return;
  FChildTitle = std::move(title);
  if (OnCaptionChanged) OnCaptionChanged();
}

void TViewModel::SetBottomVisible(bool value) {
  if (value == FBottomVisible) return;
  FBottomVisible = value;
  if (!FHasBottomPanel) return;
  FBounds.Height += value ? FBottomPanelHeight : -FBottomPanelHeight;
  if (FBounds.Height < 0) FBounds.Height = 0;
}

void TViewModel::SetVirtualChannels(bool value) {
  if (value == FVirtualChannels) return;
  FVirtualChannels = value;
  for (int base = 1; base <= kBases; ++base) {
    if (!FBase[base - 1].Session) continue;
    UpdateSession(base);
    RecountChannels(base);
  }
  UpdateCaption();
}

// ---- text-view columns -------------------------------------------------------------

std::vector<bool> TViewModel::GetColumnEnabled() const {
  if (FKind != TViewKind::vkText) return {};
  return std::vector<bool>(FColumns.begin(), FColumns.end());
}

void TViewModel::SetColumnEnabled(const std::vector<bool>& flags) {
  if (FKind != TViewKind::vkText) return;
  for (int k = 0; k < kTextColumns; ++k) FColumns[k] = k < static_cast<int>(flags.size()) && flags[k];
}

std::string TViewModel::ColumnsText() const {
  std::string text(kTextColumns, '0');
  for (int k = 0; k < kTextColumns; ++k)
    if (FColumns[k]) text[k] = '1';
  return text;
}

void TViewModel::SetColumnsText(std::string_view text) {
  for (int k = 0; k < kTextColumns; ++k) FColumns[k] = k < static_cast<int>(text.size()) && text[k] == '1';
}

// ---- settings ------------------------------------------------------------------------

void TViewModel::ReadSettings(TAppSettings& settings, const std::string& prefix) {
  FDefaultSettings = ReadBool(settings, prefix + "DefaultSettings", true);
  FSettingsPrefix = prefix;

  // A new view cascades by its session's number (upwards when it sits at
  // the bottom of the main window).
  const int offset = kCascadeOffset * std::clamp(SessionIndex(1), 0, 1000);
  const int defaultTop = FAnchoredBottom ? FBounds.Top - offset : FBounds.Top + offset;
  FBounds.Left = ReadInt(settings, prefix + "Left", FBounds.Left + offset, -kMaxCoordinate, kMaxCoordinate);
  FBounds.Top = ReadInt(settings, prefix + "Top", defaultTop, -kMaxCoordinate, kMaxCoordinate);
  FBounds.Width = ReadInt(settings, prefix + "Width", FBounds.Width, 1, kMaxCoordinate);
  FBounds.Height = ReadInt(settings, prefix + "Height", FBounds.Height, 1, kMaxCoordinate);

  if (FHasBottomPanel) {
    const bool visible = ReadBool(settings, prefix + "BottomVis", FBottomVisible);
    // A stored height was saved with the panel as stored: only a default
    // height follows the panel, or the window would shrink at every start.
    if (settings.HasKey(prefix + "Height"))
      FBottomVisible = visible;
    else
      SetBottomVisible(visible);
  }

  const auto title = settings.RawValue(prefix + "Title");
  SetTitle(title ? *title : std::string());

  SetVirtualChannels(ReadBool(settings, prefix + "VirtualChannels", false));

  for (int base = 1; base <= kBases; ++base) {
    if (!HasSelector(base)) continue;
    RecountChannels(base);
    FBase[base - 1].Selection.ReadSettingsView(settings, prefix + "Channel" + std::to_string(base) + "_");
    NotifyChannels(base);
  }

  if (FKind == TViewKind::vkText) {
    if (StoredFormatVersion(settings) > 4) {
      if (const auto text = settings.RawValue(prefix + "Columns")) SetColumnsText(*text);
    } else {
      for (int k = 1; k <= kTextColumns; ++k)
        FColumns[k - 1] = ReadBool(settings, prefix + "Column_" + std::to_string(k), FColumns[k - 1]);
    }
  }
}

void TViewModel::SaveSettings(TAppSettings& settings, const std::string& prefix) const {
  settings.SetVersionFormat(kFormatVersion);
  settings.SetValue(prefix + "DefaultSettings", false);
  settings.SetValue(prefix + "Left", FBounds.Left);
  settings.SetValue(prefix + "Top", FBounds.Top);
  settings.SetValue(prefix + "Width", FBounds.Width);
  settings.SetValue(prefix + "Height", FBounds.Height);
  if (FHasBottomPanel) settings.SetValue(prefix + "BottomVis", FBottomVisible);
  for (int base = 1; base <= kBases; ++base) {
    if (!HasSelector(base)) continue;
    FBase[base - 1].Selection.SaveSettingsView(settings, prefix + "Channel" + std::to_string(base) + "_");
  }
  settings.SetValue(prefix + "Title", FTitle);
  settings.SetValue(prefix + "VirtualChannels", FVirtualChannels);
  if (FKind == TViewKind::vkText) settings.SetValue(prefix + "Columns", ColumnsText());
}

void TViewModel::SaveSessionKeys(TAppSettings& settings, const std::string& prefix) const {
  const std::shared_ptr<TViewSession>& first = FBase[0].Session;
  const std::shared_ptr<TViewSession>& second = FBase[1].Session;
  settings.SetValue(prefix + "Id", static_cast<int>(FKind));
  settings.SetValue(prefix + "Session", first ? first->Index() : -1);
  settings.SetValue(prefix + "SessionCopy", first && first->IsCopy());
  settings.SetValue(prefix + "SecondSession", second ? second->Index() : -1);
  settings.SetValue(prefix + "SecondSessionCopy", second && second->IsCopy());
}

namespace {

// A session number of a saved view; -1 for anything that is none.
int ReadSessionIndex(const TAppSettings& settings, const std::string& name) {
  return static_cast<int>(settings.StoredInteger(name, -1, TSavedViewKeys::kMaxSessionIndex, "the view shows no session")
                              .value_or(-1));
}

}  // namespace

TSavedViewKeys ReadSavedViewKeys(const TAppSettings& settings, const std::string& prefix, int formatVersion) {
  TSavedViewKeys keys;
  keys.Id = ReadInt(settings, prefix + "Id", 0, 0, kMaxCoordinate);
  if (formatVersion < 5) keys.Id = TranslateOldViewId(keys.Id);
  keys.Session = settings.HasKey(prefix + "Session") ? ReadSessionIndex(settings, prefix + "Session") : 0;
  keys.SessionCopy = ReadBool(settings, prefix + "SessionCopy", false);
  keys.SecondSession = ReadSessionIndex(settings, prefix + "SecondSession");
  keys.SecondSessionCopy = keys.SecondSession >= 0 && ReadBool(settings, prefix + "SecondSessionCopy", false);
  return keys;
}

void SaveActiveView(TAppSettings& settings, int viewNumber) {
  settings.SetValue(kActiveViewKey, viewNumber < 0 ? -1 : viewNumber);
}

int ReadActiveView(const TAppSettings& settings, int childCount) {
  return ReadInt(settings, std::string(kActiveViewKey), -1, -1, std::max(childCount, -1));
}

// ---- session info windows ------------------------------------------------------------

std::string InfoWindowPrefix(int sessionIndex) { return "Info_" + std::to_string(sessionIndex) + "_"; }

void SaveInfoWindow(TAppSettings& settings, int sessionIndex, const TInfoWindowState& state) {
  const std::string prefix = InfoWindowPrefix(sessionIndex);
  settings.SetValue(prefix + "Left", state.Bounds.Left);
  settings.SetValue(prefix + "Top", state.Bounds.Top);
  settings.SetValue(prefix + "Width", state.Bounds.Width);
  settings.SetValue(prefix + "Height", state.Bounds.Height);
  settings.SetValue(prefix + "Visible", state.Visible);
}

std::optional<TInfoWindowState> ReadInfoWindow(const TAppSettings& settings, int sessionIndex) {
  const std::string prefix = InfoWindowPrefix(sessionIndex);
  if (!settings.TestKeys(prefix)) return std::nullopt;
  TInfoWindowState state;
  TViewBounds& b = state.Bounds;
  b.Left = ReadInt(settings, prefix + "Left", b.Left, -kMaxCoordinate, kMaxCoordinate);
  b.Top = ReadInt(settings, prefix + "Top", b.Top, -kMaxCoordinate, kMaxCoordinate);
  b.Width = ReadInt(settings, prefix + "Width", b.Width, 1, kMaxCoordinate);
  b.Height = ReadInt(settings, prefix + "Height", b.Height, 1, kMaxCoordinate);
  state.Visible = ReadBool(settings, prefix + "Visible", false);
  return state;
}

void RemoveInfoWindow(TAppSettings& settings, int sessionIndex) { settings.RemoveKeys(InfoWindowPrefix(sessionIndex)); }

// ---- sessions ------------------------------------------------------------------------

void TViewModel::PrepareSessionChange() {
  for (TBase& base : FBase) base.RememberedOpenString = base.Session ? base.Session->OpenString() : std::string();
}

const std::string& TViewModel::RememberedOpenString(int base) const {
  static const std::string kNone;
  return ValidBase(base) ? FBase[base - 1].RememberedOpenString : kNone;
}

void TViewModel::SessionChanged(std::shared_ptr<TViewSession> session) {
  if (!session) return;
  for (int base = 1; base <= kBases; ++base) {
    TBase& b = FBase[base - 1];
    if (b.Index == -1)
      b.Session.reset();
    else if (b.Index == session->Index())
      Bind(base, session);
  }
}

// ---- life ------------------------------------------------------------------------------

void TViewModel::Activate() {
  if (FOnMain) FOnMain(TViewAction::vaActivated, FTag);
}

void TViewModel::Close() {
  if (FClosed) return;
  FClosed = true;
  for (TBase& base : FBase) {
    base.Session.reset();
    base.Index = -1;
  }
  if (FOnMain) FOnMain(TViewAction::vaDestroyed, FTag);
}

// ---- same-caption numbering -----------------------------------------------------------

void NumberSameCaptions(const std::vector<TViewModel*>& viewsInSlotOrder) {
  const std::size_t count = viewsInSlotOrder.size();
  std::vector<int> numbers(count, 0);
  for (std::size_t i = 0; i < count; ++i) {
    if (!viewsInSlotOrder[i] || numbers[i] != 0) continue;
    int next = 1;
    for (std::size_t j = i + 1; j < count; ++j) {
      if (!viewsInSlotOrder[j] || numbers[j] != 0) continue;
      if (viewsInSlotOrder[j]->ChildTitle() == viewsInSlotOrder[i]->ChildTitle()) numbers[j] = ++next;
    }
    if (next > 1) numbers[i] = 1;
  }
  for (std::size_t i = 0; i < count; ++i)
    if (viewsInSlotOrder[i]) viewsInSlotOrder[i]->SetSameCaptionNumber(numbers[i]);
}

// ---- view slots -----------------------------------------------------------------------

TViewSlots::TViewSlots(TDebugLine onDebug) : FSlots(kInitialSlots), FOnDebug(std::move(onDebug)) {}

void TViewSlots::Debug(const std::string& line) const {
  if (FOnDebug) FOnDebug(line);
}

int TViewSlots::Reserve(TViewKind kind, bool fromSettings, TAppSettings& settings) {
  if (!ViewKindInfo(kind)) return -1;
  int slot = -1;
  if (kind == TViewKind::vkMessage) {
    if (FSlots[0].Kind != TViewKind::vkNone) return -1;  // one message window only
    slot = 0;
  } else {
    for (int i = 1; i < Length(); ++i) {
      if (FSlots[i].Kind == TViewKind::vkNone) {
        slot = i;
        break;
      }
    }
    if (slot < 0) {
      const int oldLength = Length();
      if (oldLength * 2 > kMaxSlots) return -1;
      Debug("TMainForm.CreateChildView FChildArray verdoppeln, alt=" + std::to_string(oldLength));
      FSlots.resize(static_cast<std::size_t>(oldLength) * 2);
      slot = oldLength;
    }
    // Keys left by a view that once used this slot must not reach the new one.
    if (slot < FHighIndex) settings.RemoveKeys("View_" + std::to_string(slot) + "_");
  }
  FSlots[slot] = TViewSlot{kind, nullptr, fromSettings};
  FHighIndex = std::max(FHighIndex, slot);
  return slot;
}

void TViewSlots::Attach(int slot, TViewModel* view) {
  if (slot < 0 || slot >= Length() || FSlots[slot].Kind == TViewKind::vkNone) return;
  FSlots[slot].View = view;
}

void TViewSlots::ChildDestroyed(int tag) {
  Debug("TMainForm.ChildDestroyed: " + std::to_string(tag));
  const int slot = tag - 1;
  if (slot < 0 || slot >= Length()) return;
  if (FActive && FActive == FSlots[slot].View) FActive = nullptr;
  FSlots[slot] = TViewSlot{};
}

TViewModel* TViewSlots::ChildActivated(int tag) {
  TViewModel* view = ByTag(tag);
  if (!view) return FActive;
  if (FActive && FActive != view) FActive->SetInactiveChild();
  FActive = view;
  return FActive;
}

TViewSlot TViewSlots::At(int slot) const {
  if (slot < 0 || slot >= Length()) return {};
  return FSlots[slot];
}

TViewModel* TViewSlots::ByTag(int tag) const { return At(tag - 1).View; }

std::vector<TViewModel*> TViewSlots::Views() const {
  std::vector<TViewModel*> views;
  for (const TViewSlot& slot : FSlots)
    if (slot.View) views.push_back(slot.View);
  return views;
}

void TViewSlots::RenumberCaptions() const { NumberSameCaptions(Views()); }

bool TViewSlots::WindowSettingsEnabled() const {
  if (!FActive) return false;
  const TViewKindInfo* info = ViewKindInfo(FActive->Kind());
  return info && info->WindowSettings;
}
