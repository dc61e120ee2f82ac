#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/App_ChannelData.h"

class TAppSettings;
class TSessionItem;

// ---- view kinds ----------------------------------------------------------------

// Kind numbers are also the "Id" key of each saved view.
enum class TViewKind : int {
  vkNone = 0,
  vkGraph = 1,
  vkAllan = 2,
  vkText = 3,
  vkRaw = 4,
  vkAllanText = 5,
  vkQMT = 6,
  vkSensorText = 7,
  vkMessage = 8,
  vkPDI = 9,
  vkDebug = 10,
};

struct TViewKindInfo {
  TViewKind Kind = TViewKind::vkNone;
  std::string_view NamePrefix;    // the view's name is this + its tag
  std::string_view DefaultTitle;  // the caption without session and number
  bool WindowSettings = false;    // "Change Window Settings..." while active
  bool CenterValues = false;      // "Center values..." while active
  bool Selector = false;          // the kind shows a channel selection per base
  bool SecondSession = false;     // the kind can show a second session (base 2)
};

// The kind with that number; null outside 1..10.
const TViewKindInfo* ViewKindInfo(int kind);
const TViewKindInfo* ViewKindInfo(TViewKind kind);
// NamePrefix + tag; empty for an unknown kind.
std::string ViewName(TViewKind kind, int tag);
// Translates a kind number stored by files older than format version 5; 0
// for a number that never was a kind.
int TranslateOldViewId(int oldId);

// ---- what a view needs from a session -----------------------------------------------

// Which channel record of a session a view base shows.
enum class TChannelSet : int { csCounter, csVirtual, csQMT, csVirtualQMT };

// A session as views see it. The main window hands views these; tests use
// fakes. Called on the main thread only.
class TViewSession {
 public:
  virtual ~TViewSession() = default;
  virtual int Index() const = 0;
  virtual char Letter() const = 0;
  virtual std::string FriendlyName() const = 0;
  virtual TColor Color() const = 0;
  virtual std::string OpenString() const = 0;
  virtual bool IsSensor() const = 0;
  // The QMT-only copy of a counter session.
  virtual bool IsCopy() const { return false; }
  // Channels the store of that set holds now (virtual: rows in use).
  virtual int ChannelCount(TChannelSet set) const = 0;
  // The session's names, colours and ids of that set.
  virtual TVQ_ChannelData ChannelData(TChannelSet set) const = 0;
};

// The view side of an application session. Until sessions keep their own
// channel records, the channel data is built from the defaults (ids
// "PAV_" / "VPAV_" / "QMT_" / "VQMT_" + letter + i, the set's palette) and the
// names the stores hold. Null for a null session.
std::shared_ptr<TViewSession> MakeViewSession(std::shared_ptr<TSessionItem> session);

// ---- the view model ----------------------------------------------------------------

// What a view tells the main window: 0 destroyed, 1 activated; with its tag.
enum class TViewAction : int { vaDestroyed = 0, vaActivated = 1 };
using TOnViewMain = std::function<void(TViewAction action, int tag)>;

struct TViewBounds {
  int Left = 0;
  int Top = 0;
  int Width = 600;
  int Height = 400;
  bool operator==(const TViewBounds&) const = default;
};

// The text-view columns, one per text mode (phase, phase difference,
// absolute frequency, relative frequency, phase to the preceding channel,
// phase residual).
inline constexpr int kTextColumns = 6;
using TColumnFlags = std::array<bool, kTextColumns>;

// Everything a view window keeps that is not drawing: kind and tag, the two
// bases (session, channel selection, colour), titles and caption, the
// same-caption number, bounds, bottom panel, virtual channels, text columns
// and the view's settings keys. The window owns one and draws from it; the
// model tells the window through OnCaptionChanged and OnChannelsChanged.
// Main thread only.
class TViewModel {
 public:
  static constexpr int kBases = 2;
  static constexpr int kFormatVersion = 5;  // layout of the keys SaveSettings writes
  static constexpr int kCascadeOffset = 20;  // pixels per session index of a new view
  static constexpr std::string_view kMessagePrefix = "ViewMessage_";

  explicit TViewModel(TViewKind kind);
  virtual ~TViewModel() = default;
  TViewModel(const TViewModel&) = delete;
  TViewModel& operator=(const TViewModel&) = delete;

  // Stores the callback and tag and binds base 1 to the session (none for
  // the message window); default settings until ReadSettings.
  void CreateChild(int tag, std::shared_ptr<TViewSession> session, TOnViewMain onMain);

  TViewKind Kind() const { return FKind; }
  int Tag() const { return FTag; }
  std::string Name() const { return ViewName(FKind, FTag); }
  std::string DbgTag() const { return "TMDIChild[" + std::to_string(FTag) + "]"; }

  // ---- bases 1 and 2 ---------------------------------------------------------------
  // Null / -1 outside 1..2 or when the base is empty.
  std::shared_ptr<TViewSession> Session(int base) const;
  int SessionIndex(int base) const;
  // Binds base 2 (none empties it). Ignored by kinds without a second session.
  void SetSecondSession(std::shared_ptr<TViewSession> session);
  bool CanHaveSecondSession() const;
  // The bases (1, 2) that a hand-over item of kind `what` (SyncWhat) about
  // the session with that index reaches: the kinds about the session's data
  // reach every base that shows it, the others (mode, feature bits, peer)
  // only base 1, whose session names the view.
  std::vector<int> HandOverBases(int what, int sessionIndex) const;
  // The time-interval channels are shown on that base (QMT views: both
  // bases; other kinds when the window says so, e.g. a graph of QMT
  // differences).
  bool IsQMTView(int base) const;
  void SetQMTView(int base, bool value);
  // The base shows a channel selection whose keys the view reads and saves:
  // kinds with a selector, base 2 only while a second session is bound.
  bool HasSelector(int base) const;
  TChannelSet ChannelSetOf(int base) const;
  // The channel selection of base 1 / 2 (base 1 for anything else).
  TVQ_ChannelSelection& Selection(int base);
  const TVQ_ChannelSelection& Selection(int base) const;
  const TVQ_ChannelData& ChannelData() const { return FBase[0].Selection.FData; }
  const TVQ_ChannelData& ChannelDataSecond() const { return FBase[1].Selection.FData; }
  // Colour of the base's session badge; kButtonFaceColor when empty.
  TColor BaseColor(int base) const;
  // Sets the selector's channel count to the store's, unless virtual
  // channels are shown (then to the virtual rows in use).
  void RecountChannels(int base);

  // ---- caption -------------------------------------------------------------------------
  const std::string& Title() const { return FTitle; }
  void SetTitle(const std::string& value);
  int SameCaptionNumber() const { return FSameCaptionNumber; }
  void SetSameCaptionNumber(int value);
  const std::string& DefaultTitle() const { return FDefaultTitle; }
  void SetDefaultTitle(const std::string& value);
  // The caption without the number.
  const std::string& ChildTitle() const { return FChildTitle; }
  // ChildTitle + "   (" + n + ")" while the number is positive.
  std::string Caption() const;
  void UpdateCaption();

  // ---- window state -------------------------------------------------------------------
  bool DefaultSettings() const { return FDefaultSettings; }
  const TViewBounds& Bounds() const { return FBounds; }
  void SetBounds(const TViewBounds& value) { FBounds = value; }
  // A view kept at the bottom of the main window cascades upwards.
  bool AnchoredBottom() const { return FAnchoredBottom; }
  void SetAnchoredBottom(bool value) { FAnchoredBottom = value; }
  bool HasBottomPanel() const { return FHasBottomPanel; }
  void SetHasBottomPanel(bool value) { FHasBottomPanel = value; }
  int BottomPanelHeight() const { return FBottomPanelHeight; }
  void SetBottomPanelHeight(int value) { FBottomPanelHeight = value < 0 ? 0 : value; }
  bool BottomVisible() const { return FBottomVisible; }
  // Shows or hides the panel; the window grows or shrinks by its height so
  // the content keeps its size.
  void SetBottomVisible(bool value);
  const std::string& SettingsPrefix() const { return FSettingsPrefix; }

  bool VirtualChannels() const { return FVirtualChannels; }
  // On a change reloads both selections from the session's virtual or real
  // channel data and refreshes the caption.
  void SetVirtualChannels(bool value);

  // ---- text-view columns (counter text view only) -----------------------------------
  // Empty for other kinds.
  std::vector<bool> GetColumnEnabled() const;
  // Ignored by other kinds; missing flags disable their columns.
  void SetColumnEnabled(const std::vector<bool>& flags);
  const TColumnFlags& Columns() const { return FColumns; }
  // "1"/"0" per column, as the "Columns" key keeps them.
  std::string ColumnsText() const;
  void SetColumnsText(std::string_view text);

  // ---- settings ------------------------------------------------------------------------
  // prefix = "View_" + n + "_" (kMessagePrefix for the message window).
  void ReadSettings(TAppSettings& settings, const std::string& prefix);
  void SaveSettings(TAppSettings& settings, const std::string& prefix) const;
  // "Id", "Session", "SessionCopy", "SecondSession" (-1 without) and
  // "SecondSessionCopy" of a saved view, from the bound sessions' numbers
  // as they are now.
  void SaveSessionKeys(TAppSettings& settings, const std::string& prefix) const;

  // ---- sessions ------------------------------------------------------------------------
  // Remembers each base's connection string before a session is replaced.
  void PrepareSessionChange();
  const std::string& RememberedOpenString(int base) const;
  // Re-binds every base that showed a session with the same index.
  void SessionChanged(std::shared_ptr<TViewSession> session);
  // Copies the session's colours, names, ids and channel count into the
  // base's selection, takes the session colour, refreshes the caption.
  void UpdateSession(int base);

  // ---- life ------------------------------------------------------------------------------
  // The window became the active view: calls back with vaActivated.
  void Activate();
  // Another view became active; the window drops hover or edit states.
  virtual void SetInactiveChild() {}
  // The window closes: clears the bases and calls back with vaDestroyed.
  void Close();
  bool Closed() const { return FClosed; }

  std::function<void()> OnCaptionChanged;
  std::function<void(int base)> OnChannelsChanged;

 private:
  struct TBase {
    std::shared_ptr<TViewSession> Session;
    int Index = -1;
    TVQ_ChannelSelection Selection;
    TColor Color = kButtonFaceColor;
    bool QMT = false;
    std::string RememberedOpenString;
  };

  static bool ValidBase(int base) { return base >= 1 && base <= kBases; }
  void Bind(int base, std::shared_ptr<TViewSession> session);
  void LoadChannels(int base);
  void NotifyChannels(int base);

  const TViewKind FKind;
  int FTag = 0;
  TOnViewMain FOnMain;
  std::array<TBase, kBases> FBase;
  bool FDefaultSettings = true;
  bool FVirtualChannels = false;
  std::string FTitle;
  std::string FDefaultTitle;
  std::string FChildTitle;
  int FSameCaptionNumber = 0;
  TViewBounds FBounds;
  bool FAnchoredBottom = false;
  bool FHasBottomPanel = false;
  int FBottomPanelHeight = 0;
  bool FBottomVisible = true;
  std::string FSettingsPrefix;
  TColumnFlags FColumns{};
  bool FClosed = false;
};

// What a saved view names before it exists: its kind and the sessions of
// its two bases.
struct TSavedViewKeys {
  static constexpr int kMaxSessionIndex = 1000;  // a larger number is damage, not a session
  int Id = 0;                 // kind number, translated from files older than format version 5
  int Session = 0;
  bool SessionCopy = false;
  int SecondSession = -1;     // -1: none
  bool SecondSessionCopy = false;
};
// Reads the keys of saved view `prefix` without adding any: a missing
// "Session" gives 0 (as it always did), a damaged one -1 (no session: the
// view is not made); a missing or damaged "SecondSession" gives none.
TSavedViewKeys ReadSavedViewKeys(const TAppSettings& settings, const std::string& prefix, int formatVersion);

// The view that was active when the settings were saved: "Main_ActiveView"
// holds its number n of "View_" + n + "_", 0 for the message window, -1 for
// none.
inline constexpr std::string_view kActiveViewKey = "Main_ActiveView";
void SaveActiveView(TAppSettings& settings, int viewNumber);
// The stored number when it names a saved view (0..childCount), else -1.
int ReadActiveView(const TAppSettings& settings, int childCount);

// ---- session info windows ------------------------------------------------------------

// Where the info window of a session is and whether it is open; saved as
// "Info_" + session + "_" + "Left", "Top", "Width", "Height", "Visible".
struct TInfoWindowState {
  TViewBounds Bounds{0, 0, 460, 300};
  bool Visible = false;
  bool operator==(const TInfoWindowState&) const = default;
};
std::string InfoWindowPrefix(int sessionIndex);
void SaveInfoWindow(TAppSettings& settings, int sessionIndex, const TInfoWindowState& state);
// Nothing when the session has no info window keys; damaged values give the
// defaults.
std::optional<TInfoWindowState> ReadInfoWindow(const TAppSettings& settings, int sessionIndex);
void RemoveInfoWindow(TAppSettings& settings, int sessionIndex);

// Numbers the views (in slot order) that share a caption: every number is
// cleared; later views with the same child title as an earlier unnumbered
// one get 2, 3, ...; that earlier one then gets 1.
void NumberSameCaptions(const std::vector<TViewModel*>& viewsInSlotOrder);

// ---- the main window's view slots ----------------------------------------------------

struct TViewSlot {
  TViewKind Kind = TViewKind::vkNone;
  TViewModel* View = nullptr;  // not owned: the window owns its model
  bool FromSettings = false;
};

// The slot array through which the main window creates, numbers and
// destroys views. Slot 0 is the message window's; a view's tag is its slot
// + 1. Starts with 20 slots and doubles when full. Main thread only.
class TViewSlots {
 public:
  static constexpr int kInitialSlots = 20;
  static constexpr int kMaxSlots = 20 * 1024;  // a bound against a runaway loop
  using TDebugLine = std::function<void(const std::string& line)>;

  // Debug lines go to `onDebug` (none: dropped).
  explicit TViewSlots(TDebugLine onDebug = {});

  // The slot for a new view of `kind`: 0 for the message window, else the
  // first empty slot from 1 (growing the array when none is free). Reusing a
  // slot below the highest used so far first removes the "View_" + slot +
  // "_" keys from `settings`. -1 when the array cannot grow any more.
  int Reserve(TViewKind kind, bool fromSettings, TAppSettings& settings);
  // Puts the view into a reserved slot (its tag - 1).
  void Attach(int slot, TViewModel* view);
  // A view with that tag was destroyed: empties its slot. Unknown tags are
  // ignored.
  void ChildDestroyed(int tag);
  // A view with that tag was activated: the previously active one gets
  // SetInactiveChild. Returns the active view.
  TViewModel* ChildActivated(int tag);
  TViewModel* Active() const { return FActive; }

  int Length() const { return static_cast<int>(FSlots.size()); }
  int HighIndex() const { return FHighIndex; }
  // An empty slot for an index outside the array.
  TViewSlot At(int slot) const;
  TViewModel* ByTag(int tag) const;
  // The views in slot order (slot 0 included).
  std::vector<TViewModel*> Views() const;
  // Same-caption numbering over the views.
  void RenumberCaptions() const;
  // Whether "Change Window Settings..." applies to the active view.
  bool WindowSettingsEnabled() const;

 private:
  void Debug(const std::string& line) const;

  std::vector<TViewSlot> FSlots;
  int FHighIndex = -1;
  TViewModel* FActive = nullptr;
  TDebugLine FOnDebug;
};
