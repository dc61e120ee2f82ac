#include "app/core/App_Views.h"

#include "app/core/App_Settings.h"
#include "app/core/ZEP_Sync.h"
#include "support/TempFolder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A session as the main window would hand it to views.
class TFakeSession : public TViewSession {
 public:
  TFakeSession(int index, std::string friendly = {}) : FIndex(index), FFriendly(std::move(friendly)) {
    FData[TChannelSet::csCounter] = TVQ_ChannelData(TChannelPalette::cpCounter);
    FData[TChannelSet::csVirtual] = TVQ_ChannelData(TChannelPalette::cpVirtual);
    FData[TChannelSet::csQMT] = TVQ_ChannelData(TChannelPalette::cpQMT);
    FData[TChannelSet::csVirtualQMT] = TVQ_ChannelData(TChannelPalette::cpVirtualQMT);
    FData[TChannelSet::csVirtual].SetName(1, "Sum");
    FData[TChannelSet::csQMT].SetName(1, "Start-Stop");
  }
  int Index() const override { return FIndex; }
  char Letter() const override { return static_cast<char>('A' + FIndex); }
  std::string FriendlyName() const override { return FFriendly; }
  TColor Color() const override { return 0x00FFFF; }
  std::string OpenString() const override { return "DemoData " + std::to_string(FIndex); }
  bool IsSensor() const override { return false; }
  bool IsCopy() const override { return FCopy; }
  int ChannelCount(TChannelSet set) const override {
    const auto it = FCounts.find(set);
    return it == FCounts.end() ? 4 : it->second;
  }
  TVQ_ChannelData ChannelData(TChannelSet set) const override { return FData.at(set); }

  int FIndex;
  std::string FFriendly;
  bool FCopy = false;
  std::map<TChannelSet, int> FCounts;
  std::map<TChannelSet, TVQ_ChannelData> FData;
};

std::shared_ptr<TFakeSession> Session(int index, std::string friendly = {}) {
  return std::make_shared<TFakeSession>(index, std::move(friendly));
}

// The main window's part: views in slots, callbacks, renumbering.
struct TMainWindow {
  TAppSettings Settings;
  std::vector<std::string> DebugLines;
  TViewSlots Slots{[this](const std::string& line) { DebugLines.push_back(line); }};
  std::vector<std::unique_ptr<TViewModel>> Windows;

  TViewModel& Create(TViewKind kind, std::shared_ptr<TViewSession> session) {
    const int slot = Slots.Reserve(kind, false, Settings);
    EXPECT_GE(slot, 0);
    Windows.push_back(std::make_unique<TViewModel>(kind));
    TViewModel& view = *Windows.back();
    view.CreateChild(slot + 1, std::move(session), [this](TViewAction action, int tag) {
      if (action == TViewAction::vaDestroyed) {
        Slots.ChildDestroyed(tag);
        Slots.RenumberCaptions();
      } else {
        Slots.ChildActivated(tag);
      }
    });
    Slots.Attach(slot, &view);
    Slots.RenumberCaptions();
    return view;
  }
};

// ---- kinds ---------------------------------------------------------------------------

TEST(ViewKinds, TableOfKinds) {
  struct Case {
    int kind;
    const char* prefix;
    bool windowSettings;
  };
  const Case cases[] = {
      {1, "GraphicChild_", true},  {2, "AllanChild_", true},      {3, "TextChild_", true},
      {4, "RawChild_", true},      {5, "AllanTextChild_", true},  {6, "QmtChild_", true},
      {7, "TextSensor_", true},    {8, "MessageChild_", false},   {9, "PDIChild_", false},
      {10, "DebugChild_", false},
  };
  for (const Case& c : cases) {
    const TViewKindInfo* info = ViewKindInfo(c.kind);
    ASSERT_NE(info, nullptr) << c.kind;
    EXPECT_EQ(static_cast<int>(info->Kind), c.kind);
    EXPECT_EQ(info->NamePrefix, c.prefix);
    EXPECT_EQ(info->WindowSettings, c.windowSettings) << c.kind;
    EXPECT_EQ(info->CenterValues, c.kind == 1) << c.kind;
    EXPECT_FALSE(info->DefaultTitle.empty());
  }
  for (const int bad : {-1, 0, 11}) EXPECT_EQ(ViewKindInfo(bad), nullptr) << bad;
  EXPECT_EQ(ViewName(TViewKind::vkText, 7), "TextChild_7");
  EXPECT_EQ(ViewName(static_cast<TViewKind>(42), 7), "");
}

TEST(ViewKinds, OldIdsAreTranslated) {
  const std::map<int, int> cases = {{1, 1},  {3, 1},  {12, 1}, {13, 1}, {4, 3},  {7, 3}, {14, 3}, {10, 4},
                                    {11, 7}, {15, 6}, {16, 2}, {17, 5}, {8, 8},  {9, 9}, {0, 0},  {18, 0}, {-2, 0}};
  for (const auto& [oldId, kind] : cases) EXPECT_EQ(TranslateOldViewId(oldId), kind) << oldId;
}

// ---- caption ---------------------------------------------------------------------------

TEST(ViewCaption, CaptionRule) {
  struct Case {
    const char* title;
    const char* friendly;
    int number;
    const char* caption;
  };
  const Case cases[] = {
      {"", "", 0, "[B] Graph"},
      {"", "Maser", 0, "[B: Maser] Graph"},
      {"", "Maser", 2, "[B: Maser] Graph   (2)"},
      {"My plot", "Maser", 0, "My plot"},
      {"My plot", "", 1, "My plot   (1)"},
  };
  for (const Case& c : cases) {
    TViewModel view(TViewKind::vkGraph);
    view.CreateChild(1, Session(1, c.friendly), {});
    view.SetTitle(c.title);
    view.SetSameCaptionNumber(c.number);
    EXPECT_EQ(view.Caption(), c.caption);
  }
  TViewModel message(TViewKind::vkMessage);
  message.CreateChild(1, nullptr, {});
  EXPECT_EQ(message.Caption(), "Messages");
}

TEST(ViewCaption, CaptionChangesAreReported) {
  TViewModel view(TViewKind::vkText);
  int changes = 0;
  view.OnCaptionChanged = [&] { ++changes; };
  view.CreateChild(1, Session(0), {});
  EXPECT_EQ(changes, 1);
  view.SetTitle("");
  view.SetSameCaptionNumber(0);
  EXPECT_EQ(changes, 1);
  view.SetTitle("T");
  view.SetSameCaptionNumber(3);
  EXPECT_EQ(changes, 3);
}

TEST(ViewCaption, SameCaptionsAreNumberedUntilOneCloses) {
  TMainWindow main;
  const auto a = Session(0);
  TViewModel& first = main.Create(TViewKind::vkGraph, a);
  TViewModel& text = main.Create(TViewKind::vkText, a);
  TViewModel& second = main.Create(TViewKind::vkGraph, a);
  TViewModel& other = main.Create(TViewKind::vkGraph, Session(1));
  TViewModel& third = main.Create(TViewKind::vkGraph, a);
  EXPECT_EQ(first.Caption(), "[A] Graph   (1)");
  EXPECT_EQ(second.Caption(), "[A] Graph   (2)");
  EXPECT_EQ(third.Caption(), "[A] Graph   (3)");
  EXPECT_EQ(text.Caption(), "[A] Counter Values");
  EXPECT_EQ(other.Caption(), "[B] Graph");

  first.Close();
  EXPECT_EQ(second.Caption(), "[A] Graph   (1)");
  EXPECT_EQ(third.Caption(), "[A] Graph   (2)");
  third.Close();
  EXPECT_EQ(second.Caption(), "[A] Graph");
  // A user title that makes two captions equal numbers them too.
  other.SetTitle("[A] Graph");
  main.Slots.RenumberCaptions();
  EXPECT_EQ(second.Caption(), "[A] Graph   (1)");
  EXPECT_EQ(other.Caption(), "[A] Graph   (2)");
}

// ---- slots -------------------------------------------------------------------------------

TEST(ViewSlots, MessageWindowTakesSlotZeroOnce) {
  TMainWindow main;
  TViewModel& view = main.Create(TViewKind::vkGraph, Session(0));
  TViewModel& message = main.Create(TViewKind::vkMessage, nullptr);
  EXPECT_EQ(view.Tag(), 2);
  EXPECT_EQ(message.Tag(), 1);
  EXPECT_EQ(main.Slots.Reserve(TViewKind::vkMessage, false, main.Settings), -1);
  EXPECT_EQ(main.Slots.Reserve(TViewKind::vkNone, false, main.Settings), -1);
  EXPECT_EQ(main.Slots.ByTag(1), &message);
}

TEST(ViewSlots, FullArrayDoubles) {
  TMainWindow main;
  for (int i = 1; i <= 19; ++i) main.Create(TViewKind::vkText, Session(0));
  EXPECT_EQ(main.Slots.Length(), 20);
  EXPECT_THAT(main.DebugLines, IsEmpty());
  TViewModel& next = main.Create(TViewKind::vkGraph, Session(0));
  EXPECT_EQ(main.Slots.Length(), 40);
  EXPECT_EQ(next.Tag(), 21);
  EXPECT_EQ(main.Slots.At(20).Kind, TViewKind::vkGraph);
  EXPECT_THAT(main.DebugLines, ElementsAre("TMainForm.CreateChildView FChildArray verdoppeln, alt=20"));
}

TEST(ViewSlots, ReusedLowerSlotLosesItsOldKeys) {
  TMainWindow main;
  for (int i = 1; i <= 4; ++i) main.Create(TViewKind::vkText, Session(0));
  for (const char* key : {"View_2_Title", "View_2_Id", "View_20_Id", "View_3_Id", "ViewMessage_Left"})
    main.Settings.SetValue(key, "x");
  main.Windows[1]->Close();  // slot 2
  EXPECT_THAT(main.DebugLines, ElementsAre("TMainForm.ChildDestroyed: 3"));
  TViewModel& reused = main.Create(TViewKind::vkGraph, Session(0));
  EXPECT_EQ(reused.Tag(), 3);
  EXPECT_FALSE(main.Settings.HasKey("View_2_Title"));
  EXPECT_FALSE(main.Settings.HasKey("View_2_Id"));
  for (const char* kept : {"View_20_Id", "View_3_Id", "ViewMessage_Left"}) EXPECT_TRUE(main.Settings.HasKey(kept));

  // The highest slot itself is no lower slot: its keys stay.
  main.Settings.SetValue("View_4_Id", "x");
  main.Windows[3]->Close();
  main.Create(TViewKind::vkGraph, Session(0));
  EXPECT_TRUE(main.Settings.HasKey("View_4_Id"));
}

TEST(ViewSlots, UnknownTagsAreIgnored) {
  TMainWindow main;
  TViewModel& view = main.Create(TViewKind::vkGraph, Session(0));
  for (const int tag : {0, -5, 41, 1000000}) {
    main.Slots.ChildDestroyed(tag);
    EXPECT_EQ(main.Slots.ChildActivated(tag), nullptr);
  }
  EXPECT_EQ(main.Slots.ByTag(view.Tag()), &view);
  EXPECT_EQ(main.Slots.At(-1).View, nullptr);
  main.Slots.Attach(-3, &view);
  main.Slots.Attach(7, &view);  // not reserved
  EXPECT_EQ(main.Slots.At(7).View, nullptr);
}

TEST(ViewSlots, ActivationDeactivatesThePreviousView) {
  struct TCountingView : TViewModel {
    using TViewModel::TViewModel;
    void SetInactiveChild() override { ++Deactivated; }
    int Deactivated = 0;
  };
  TViewSlots slots;
  TAppSettings settings;
  TCountingView graph(TViewKind::vkGraph);
  TCountingView pdi(TViewKind::vkPDI);
  for (TCountingView* view : {&graph, &pdi}) {
    const int slot = slots.Reserve(view->Kind(), false, settings);
    view->CreateChild(slot + 1, Session(0), [&](TViewAction action, int tag) {
      if (action == TViewAction::vaActivated) slots.ChildActivated(tag);
    });
    slots.Attach(slot, view);
  }
  EXPECT_FALSE(slots.WindowSettingsEnabled());
  graph.Activate();
  EXPECT_TRUE(slots.WindowSettingsEnabled());
  pdi.Activate();
  EXPECT_EQ(graph.Deactivated, 1);
  EXPECT_EQ(slots.Active(), &pdi);
  EXPECT_FALSE(slots.WindowSettingsEnabled());
  pdi.Activate();
  EXPECT_EQ(pdi.Deactivated, 0);
}

// ---- sessions -----------------------------------------------------------------------------

TEST(ViewSessions, UpdateSessionCopiesNamesButKeepsTheSelection) {
  const auto session = Session(0, "Lab");
  session->FData[TChannelSet::csCounter].SetName(2, "Maser");
  session->FData[TChannelSet::csCounter].SetId(2, "PAV_A2");
  TViewModel view(TViewKind::vkGraph);
  view.CreateChild(1, session, {});
  EXPECT_EQ(view.ChannelData().Name(2), "Maser");
  EXPECT_EQ(view.ChannelData().MaxChannels(), 4);  // the store's count
  EXPECT_EQ(view.BaseColor(1), 0x00FFFFu);
  EXPECT_EQ(view.BaseColor(2), kButtonFaceColor);

  view.Selection(1).FData.SetEnabled(2, false);
  session->FData[TChannelSet::csCounter].SetName(2, "H2");
  session->FData[TChannelSet::csCounter].SetColor(2, 0x123456);
  view.UpdateSession(1);
  EXPECT_EQ(view.ChannelData().Name(2), "H2");
  EXPECT_EQ(view.ChannelData().Color(2), 0x123456u);
  EXPECT_EQ(view.ChannelData().Id(2), "PAV_A2");
  EXPECT_FALSE(view.ChannelData().Enabled(2));
}

TEST(ViewSessions, VirtualAndQMTChannelsComeFromTheirSets) {
  const auto session = Session(0);
  session->FCounts[TChannelSet::csVirtual] = 2;
  TViewModel graph(TViewKind::vkGraph);
  graph.CreateChild(1, session, {});
  graph.SetVirtualChannels(true);
  EXPECT_EQ(graph.ChannelData().Name(1), "Sum");
  EXPECT_EQ(graph.ChannelData().Color(1), TVQ_ChannelData(TChannelPalette::cpVirtual).Color(1));
  EXPECT_EQ(graph.ChannelData().MaxChannels(), 2);
  graph.SetVirtualChannels(false);
  EXPECT_EQ(graph.ChannelData().Name(1), "Channel_1");

  TViewModel qmt(TViewKind::vkQMT);
  qmt.CreateChild(1, session, {});
  EXPECT_TRUE(qmt.IsQMTView(1));
  EXPECT_EQ(qmt.ChannelData().Name(1), "Start-Stop");
  EXPECT_EQ(qmt.ChannelData().Color(1), 0x808000u);
}

TEST(ViewSessions, SessionChangeRebindsBasesOfThatIndex) {
  TViewModel view(TViewKind::vkGraph);
  view.CreateChild(1, Session(0, "Old"), {});
  view.SetSecondSession(Session(1));
  view.PrepareSessionChange();
  EXPECT_EQ(view.RememberedOpenString(1), "DemoData 0");
  EXPECT_EQ(view.RememberedOpenString(2), "DemoData 1");
  EXPECT_EQ(view.RememberedOpenString(3), "");

  const auto replacement = Session(0, "New");
  view.SessionChanged(replacement);
  EXPECT_EQ(view.Session(1), replacement);
  EXPECT_EQ(view.Caption(), "[A: New] Graph");
  EXPECT_EQ(view.SessionIndex(2), 1);

  view.SessionChanged(Session(5));
  EXPECT_EQ(view.Session(1), replacement);

  std::vector<std::pair<TViewAction, int>> calls;
  TViewModel closing(TViewKind::vkText);
  closing.CreateChild(4, Session(0), [&](TViewAction a, int tag) { calls.emplace_back(a, tag); });
  closing.Close();
  closing.Close();
  EXPECT_THAT(calls, ElementsAre(std::pair(TViewAction::vaDestroyed, 4)));
  EXPECT_EQ(closing.SessionIndex(1), -1);
  closing.SessionChanged(Session(0));
  EXPECT_EQ(closing.Session(1), nullptr);
}

// ---- second session ----------------------------------------------------------------------

// Items about a session's data reach a view through whichever base shows
// that session; the others only through base 1, whose session names the view.
TEST(ViewSecondSession, HandOverReachesTheBasesShowingTheSender) {
  struct Case {
    int what;
    int sender;
    std::vector<int> bases;
  };
  const Case cases[] = {
      {SyncWhat::DataReset, 0, {1}},       {SyncWhat::DataReset, 1, {2}},
      {SyncWhat::ChannelCount, 1, {2}},    {SyncWhat::QMTChannels, 1, {2}},
      {SyncWhat::RateIndex, 1, {2}},       {SyncWhat::DataResetQMT, 1, {2}},
      {SyncWhat::PhaseDiffReset, 1, {2}},  {SyncWhat::QMTCalibration, 1, {2}},
      {SyncWhat::PVHData, 1, {2}},         {SyncWhat::Mode, 0, {1}},
      {SyncWhat::Mode, 1, {}},             {SyncWhat::Peer, 1, {}},
      {SyncWhat::QMTOnly, 1, {}},          {SyncWhat::DataReset, 2, {}},
      {SyncWhat::DataReset, -1, {}},
  };
  TViewModel graph(TViewKind::vkGraph);
  graph.CreateChild(1, Session(0), {});
  graph.SetSecondSession(Session(1));
  for (const Case& c : cases)
    EXPECT_EQ(graph.HandOverBases(c.what, c.sender), c.bases) << SyncWhatName(c.what) << " from " << c.sender;

  // One session on both bases: a data item reaches both.
  TViewModel both(TViewKind::vkText);
  both.CreateChild(1, Session(3), {});
  both.SetSecondSession(Session(3));
  EXPECT_THAT(both.HandOverBases(SyncWhat::DataReset, 3), ElementsAre(1, 2));
  EXPECT_THAT(both.HandOverBases(SyncWhat::Mode, 3), ElementsAre(1));

  // The session's number as it is now counts (saving renumbers in place).
  const auto renumbered = Session(4);
  TViewModel view(TViewKind::vkGraph);
  view.CreateChild(1, Session(0), {});
  view.SetSecondSession(renumbered);
  renumbered->FIndex = 1;
  EXPECT_THAT(view.HandOverBases(SyncWhat::DataReset, 1), ElementsAre(2));
}

TEST(ViewSecondSession, OnlyGraphTextAndQMTViewsTakeOne) {
  for (int kind = 1; kind <= 10; ++kind) {
    const bool can = kind == 1 || kind == 3 || kind == 6;
    EXPECT_EQ(ViewKindInfo(kind)->SecondSession, can) << kind;
    TViewModel view(static_cast<TViewKind>(kind));
    view.CreateChild(1, Session(0), {});
    view.SetSecondSession(Session(1));
    EXPECT_EQ(view.SessionIndex(2), can ? 1 : -1) << kind;
    TAppSettings settings;
    view.SaveSessionKeys(settings, "View_1_");
    EXPECT_EQ(settings.RawValue("View_1_SecondSession"), can ? "1" : "-1") << kind;
  }
  // A QMT view lists the second session's time-interval channels.
  TViewModel qmt(TViewKind::vkQMT);
  qmt.CreateChild(1, Session(0), {});
  qmt.SetSecondSession(Session(1));
  EXPECT_TRUE(qmt.IsQMTView(2));
  EXPECT_EQ(qmt.ChannelDataSecond().Name(1), "Start-Stop");
}

// An emptied base 2 (its session removed, or none chosen): no selection
// keys, nothing reached, and a later second session starts with every
// channel shown.
TEST(ViewSecondSession, EmptiedSecondBase) {
  TViewModel view(TViewKind::vkGraph);
  int notified = 0;
  view.OnChannelsChanged = [&](int base) { notified += base == 2; };
  view.CreateChild(1, Session(0), {});
  view.SetSecondSession(Session(1));
  view.Selection(2).FData.SetEnabledText("0101");
  EXPECT_TRUE(view.HasSelector(2));
  notified = 0;

  view.SetSecondSession(nullptr);
  EXPECT_EQ(view.Session(2), nullptr);
  EXPECT_EQ(view.SessionIndex(2), -1);
  EXPECT_EQ(view.BaseColor(2), kButtonFaceColor);
  EXPECT_FALSE(view.HasSelector(2));
  EXPECT_GT(notified, 0);
  EXPECT_TRUE(view.HandOverBases(SyncWhat::DataReset, 1).empty());
  TAppSettings settings;
  view.SaveSettings(settings, "View_1_");
  view.SaveSessionKeys(settings, "View_1_");
  EXPECT_FALSE(settings.TestKeys("View_1_Channel2_"));
  EXPECT_EQ(settings.RawValue("View_1_SecondSession"), "-1");
  EXPECT_EQ(view.Caption(), "[A] Graph");

  view.SetSecondSession(Session(2));
  EXPECT_EQ(view.ChannelDataSecond().EnabledText(), std::string(24, '1'));
}

// The keys that name a saved view's sessions, written and read back through
// the file, and what damaged values give.
TEST(ViewSecondSession, SessionKeysRoundTripAndDamage) {
  TTempFolder folder;
  {
    TAppSettings stored;
    const auto copy = Session(2);
    copy->FCopy = true;
    TViewModel qmt(TViewKind::vkQMT);
    qmt.CreateChild(1, Session(1), {});
    qmt.SetSecondSession(copy);
    qmt.SaveSessionKeys(stored, "View_1_");
    TViewModel graph(TViewKind::vkGraph);
    graph.CreateChild(2, Session(0), {});
    graph.SaveSessionKeys(stored, "View_2_");
    ASSERT_TRUE(stored.SaveSettings(folder.File("ZEP_App.ini")));
  }
  TAppSettings settings;
  ASSERT_TRUE(settings.LoadFromFile(folder.File("ZEP_App.ini")));
  const TSavedViewKeys qmt = ReadSavedViewKeys(settings, "View_1_", 5);
  EXPECT_EQ(qmt.Id, 6);
  EXPECT_EQ(qmt.Session, 1);
  EXPECT_FALSE(qmt.SessionCopy);
  EXPECT_EQ(qmt.SecondSession, 2);
  EXPECT_TRUE(qmt.SecondSessionCopy);
  const TSavedViewKeys graph = ReadSavedViewKeys(settings, "View_2_", 5);
  EXPECT_EQ(graph.Id, 1);
  EXPECT_EQ(graph.Session, 0);
  EXPECT_EQ(graph.SecondSession, -1);
  EXPECT_FALSE(graph.SecondSessionCopy);
  EXPECT_THAT(settings.Lines(), ::testing::Contains("View_1_SecondSessionCopy=True"));

  struct Case {
    std::map<std::string, std::string> keys;
    int version;
    TSavedViewKeys expected;
  };
  const Case cases[] = {
      {{}, 5, {0, 0, false, -1, false}},  // a session number missing: session 0, as always
      {{{"Id", "14"}, {"Session", "2"}}, 4, {3, 2, false, -1, false}},
      {{{"Id", "14"}}, 5, {14, 0, false, -1, false}},
      {{{"Id", "1"}, {"Session", "abc"}}, 5, {1, -1, false, -1, false}},
      {{{"Id", "1"}, {"Session", "-3"}, {"SessionCopy", "True"}}, 5, {1, -1, true, -1, false}},
      {{{"Id", "1"}, {"SecondSession", "x"}, {"SecondSessionCopy", "True"}}, 5, {1, 0, false, -1, false}},
      {{{"Id", "1"}, {"SecondSession", "-7"}}, 5, {1, 0, false, -1, false}},
      {{{"Id", "1"}, {"SecondSession", "1001"}}, 5, {1, 0, false, -1, false}},
      {{{"Id", "1"}, {"SecondSession", " 3 "}, {"SecondSessionCopy", "maybe"}}, 5, {1, 0, false, 3, false}},
  };
  for (const Case& c : cases) {
    TAppSettings damaged;
    for (const auto& [name, value] : c.keys) damaged.SetValue("View_4_" + name, value);
    const auto before = damaged.Lines();
    const TSavedViewKeys read = ReadSavedViewKeys(damaged, "View_4_", c.version);
    EXPECT_EQ(read.Id, c.expected.Id);
    EXPECT_EQ(read.Session, c.expected.Session);
    EXPECT_EQ(read.SessionCopy, c.expected.SessionCopy);
    EXPECT_EQ(read.SecondSession, c.expected.SecondSession);
    EXPECT_EQ(read.SecondSessionCopy, c.expected.SecondSessionCopy);
    EXPECT_EQ(damaged.Lines(), before);  // reading adds no keys
  }
}

TEST(ViewSecondSession, ActiveViewNumber) {
  struct Case {
    const char* stored;  // null: no key
    int childCount;
    int active;
  };
  const Case cases[] = {
      {nullptr, 3, -1}, {"2", 3, 2},  {"3", 3, 3},   {"4", 3, -1}, {"0", 3, 0},
      {"-1", 3, -1},    {"x", 3, -1}, {"1", -1, -1}, {"0", 0, 0},
  };
  for (const Case& c : cases) {
    TAppSettings settings;
    if (c.stored) settings.SetValue(kActiveViewKey, c.stored);
    EXPECT_EQ(ReadActiveView(settings, c.childCount), c.active) << (c.stored ? c.stored : "none");
  }
  TAppSettings settings;
  SaveActiveView(settings, 2);
  EXPECT_EQ(settings.RawValue("Main_ActiveView"), "2");
  SaveActiveView(settings, -5);
  EXPECT_EQ(ReadActiveView(settings, 3), -1);
}

// ---- session info windows ----------------------------------------------------------------

TEST(InfoWindows, KeysRoundTripAndRemoval) {
  TTempFolder folder;
  {
    TAppSettings stored;
    SaveInfoWindow(stored, 1, {{-30, 40, 500, 320}, true});
    SaveInfoWindow(stored, 10, {{5, 6, 300, 200}, false});
    ASSERT_TRUE(stored.SaveSettings(folder.File("ZEP_App.ini")));
  }
  TAppSettings settings;
  ASSERT_TRUE(settings.LoadFromFile(folder.File("ZEP_App.ini")));
  EXPECT_THAT(settings.Lines(), ::testing::Contains("Info_1_Visible=True"));
  EXPECT_EQ(ReadInfoWindow(settings, 1), (TInfoWindowState{{-30, 40, 500, 320}, true}));
  EXPECT_EQ(ReadInfoWindow(settings, 10), (TInfoWindowState{{5, 6, 300, 200}, false}));
  EXPECT_EQ(ReadInfoWindow(settings, 2), std::nullopt);

  // Session 1's keys go; session 10's, which begin with the same digit, stay.
  RemoveInfoWindow(settings, 1);
  EXPECT_EQ(ReadInfoWindow(settings, 1), std::nullopt);
  EXPECT_NE(ReadInfoWindow(settings, 10), std::nullopt);

  TAppSettings damaged;
  damaged.SetValue("Info_0_Left", "abc");
  damaged.SetValue("Info_0_Width", "0");
  damaged.SetValue("Info_0_Height", "99999999999");
  damaged.SetValue("Info_0_Visible", "perhaps");
  EXPECT_EQ(ReadInfoWindow(damaged, 0), TInfoWindowState{});
}

// ---- settings ------------------------------------------------------------------------------

TEST(ViewSettings, RoundTripThroughTheFile) {
  TTempFolder folder;
  TAppSettings stored;
  const std::string prefix = "View_3_";
  TViewModel saved(TViewKind::vkText);
  saved.CreateChild(4, Session(1), {});
  saved.SetSecondSession(Session(0));
  saved.SetHasBottomPanel(true);
  saved.SetBottomPanelHeight(30);
  saved.SetBounds({-50, 60, 700, 500});
  saved.SetBottomVisible(false);
  saved.SetTitle("Frequencies");
  saved.SetVirtualChannels(true);
  saved.Selection(1).FData.SetEnabledText("1001");
  saved.Selection(1).FData.SetPersist(1, true);
  saved.Selection(2).FData.SetEnabledText("01");
  saved.Selection(2).FSelectedColor1 = 0xABCDEF;
  saved.SetColumnEnabled({false, false, true, true});
  saved.SaveSettings(stored, prefix);
  ASSERT_TRUE(stored.SaveSettings(folder.File("ZEP_App.ini")));
  TAppSettings settings;
  ASSERT_TRUE(settings.LoadFromFile(folder.File("ZEP_App.ini")));
  EXPECT_EQ(settings.RawValue("INI_Version"), "5");
  EXPECT_EQ(settings.RawValue(prefix + "DefaultSettings"), "False");
  EXPECT_EQ(settings.RawValue(prefix + "Columns"), "001100");

  TViewModel read(TViewKind::vkText);
  read.CreateChild(4, Session(1), {});
  read.SetSecondSession(Session(0));
  read.SetHasBottomPanel(true);
  read.SetBottomPanelHeight(30);
  read.ReadSettings(settings, prefix);
  EXPECT_FALSE(read.DefaultSettings());
  EXPECT_EQ(read.SettingsPrefix(), prefix);
  EXPECT_EQ(read.Bounds(), saved.Bounds());
  EXPECT_FALSE(read.BottomVisible());
  EXPECT_EQ(read.Title(), "Frequencies");
  EXPECT_EQ(read.Caption(), "Frequencies");
  EXPECT_TRUE(read.VirtualChannels());
  EXPECT_EQ(read.Selection(1), saved.Selection(1));
  EXPECT_EQ(read.Selection(2), saved.Selection(2));
  EXPECT_THAT(read.GetColumnEnabled(), ElementsAre(false, false, true, true, false, false));

  // Saving again after the read gives the same keys: nothing drifts from
  // start to start (the stored height already holds the hidden panel).
  TAppSettings again;
  read.SaveSettings(again, prefix);
  again.SetValue("INI_Version", 5);
  EXPECT_EQ(again.Lines(), settings.Lines());
}

TEST(ViewSettings, MissingAndDamagedKeysGiveDefaults) {
  struct Case {
    bool anchoredBottom;
    std::map<std::string, std::string> keys;
    TViewBounds bounds;
  };
  // Session index 2: new views cascade by 40 pixels.
  const Case cases[] = {
      {false, {}, {140, 90, 600, 400}},
      {true, {}, {140, 10, 600, 400}},
      {false, {{"Left", "abc"}, {"Top", "-30"}, {"Width", "-5"}, {"Height", "0"}}, {140, -30, 600, 400}},
      {false, {{"Width", "99999999999"}, {"Height", "12.5"}, {"Left", " 7 "}}, {7, 90, 600, 400}},
  };
  for (const Case& c : cases) {
    TAppSettings settings;
    for (const auto& [name, value] : c.keys) settings.SetValue("View_1_" + name, value);
    settings.SetValue("View_1_DefaultSettings", "maybe");
    settings.SetValue("View_1_VirtualChannels", "yes");
    TViewModel view(TViewKind::vkGraph);
    view.SetBounds({100, 50, 600, 400});
    view.SetAnchoredBottom(c.anchoredBottom);
    view.CreateChild(1, Session(2), {});
    view.ReadSettings(settings, "View_1_");
    EXPECT_EQ(view.Bounds(), c.bounds);
    EXPECT_FALSE(view.DefaultSettings());  // any text but "True" is false
    EXPECT_FALSE(view.VirtualChannels());
    EXPECT_EQ(view.ChannelData().EnabledText(), std::string(24, '1'));
    EXPECT_EQ(view.Title(), "");
  }
}

// As everywhere in the settings file, only the exact text "True" is true; a
// missing key keeps the default.
TEST(ViewSettings, BooleansAreTrueOnlyForTheExactTextTrue) {
  const std::pair<const char*, bool> cases[] = {{"True", true}, {"true", false}, {"1", false},
                                                {"TRUE", false}, {"False", false}, {" True", false}};
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    TAppSettings settings;
    settings.SetValue("View_1_VirtualChannels", text);
    settings.SetValue("View_1_Column_3", text);
    settings.SetValue("View_1_SessionCopy", text);
    settings.SetValue("View_1_Id", 3);
    TViewModel view(TViewKind::vkText);
    view.CreateChild(1, Session(0), {});
    view.ReadSettings(settings, "View_1_");  // format version 0: the old column keys
    EXPECT_EQ(view.VirtualChannels(), expected);
    EXPECT_EQ(view.Columns()[2], expected);
    EXPECT_EQ(ReadSavedViewKeys(settings, "View_1_", 5).SessionCopy, expected);
  }
  TAppSettings empty;
  TViewModel view(TViewKind::vkGraph);
  view.CreateChild(1, Session(0), {});
  view.ReadSettings(empty, "View_1_");
  EXPECT_TRUE(view.DefaultSettings());
}

TEST(ViewSettings, PanelVisibilityWithoutStoredHeightResizesTheWindow) {
  TAppSettings settings;
  settings.SetValue("View_1_BottomVis", false);
  TViewModel view(TViewKind::vkGraph);
  view.SetHasBottomPanel(true);
  view.SetBottomPanelHeight(30);
  view.CreateChild(1, Session(0), {});
  view.ReadSettings(settings, "View_1_");
  EXPECT_FALSE(view.BottomVisible());
  EXPECT_EQ(view.Bounds().Height, 370);
  view.SetBottomVisible(true);
  EXPECT_EQ(view.Bounds().Height, 400);
}

TEST(ViewSettings, TextColumnsFromNewAndOldKeys) {
  struct Case {
    int version;
    std::map<std::string, std::string> keys;
    std::vector<bool> columns;
  };
  const Case cases[] = {
      {5, {{"Columns", "101"}}, {true, false, true, false, false, false}},
      {6, {{"Columns", "1111111111"}}, {true, true, true, true, true, true}},
      {5, {{"Column_1", "True"}}, {false, false, true, false, false, false}},  // old keys ignored
      {4, {{"Column_2", "True"}, {"Column_6", "True"}, {"Columns", "1"}}, {false, true, true, false, false, true}},
      {0, {{"Column_1", "True"}, {"Column_3", "False"}}, {true, false, false, false, false, false}},
  };
  for (const Case& c : cases) {
    TAppSettings settings;
    settings.SetValue("INI_Version", c.version);
    for (const auto& [name, value] : c.keys) settings.SetValue("View_2_" + name, value);
    TViewModel view(TViewKind::vkText);
    view.CreateChild(2, Session(0), {});
    view.SetColumnEnabled({false, false, true});  // the window's defaults
    view.ReadSettings(settings, "View_2_");
    EXPECT_EQ(view.GetColumnEnabled(), c.columns) << "version " << c.version;
  }

  TViewModel graph(TViewKind::vkGraph);
  graph.SetColumnEnabled({true});
  EXPECT_THAT(graph.GetColumnEnabled(), IsEmpty());
  TAppSettings settings;
  graph.SaveSettings(settings, "View_1_");
  EXPECT_FALSE(settings.HasKey("View_1_Columns"));
  EXPECT_FALSE(settings.HasKey("View_1_BottomVis"));
  EXPECT_FALSE(settings.HasKey("View_1_Channel2_"));
}

}  // namespace
