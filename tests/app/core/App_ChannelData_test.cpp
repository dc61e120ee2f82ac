#include "app/core/App_ChannelData.h"

#include "app/core/App_Settings.h"
#include "support/TempFolder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr int kChannels = TVQ_ChannelData::kChannels;
const std::string kPrefix = "Session_0_";

// Saves the store to a file and loads it into a new one: what the next
// start of the program sees.
TAppSettings Restarted(TAppSettings& settings, const TTempFolder& folder) {
  const std::string file = folder.File("ZEP_App.ini");
  EXPECT_TRUE(settings.SaveSettings(file));
  TAppSettings loaded;
  EXPECT_TRUE(loaded.LoadFromFile(file));
  return loaded;
}

std::vector<std::string> Names(const TVQ_ChannelData& data) {
  std::vector<std::string> names;
  for (int i = 1; i <= kChannels; ++i) names.push_back(data.Name(i));
  return names;
}

// ---- palettes and shades ---------------------------------------------------------

TEST(ChannelData, PalettesAreRotationsOfTheBaseList) {
  struct Case {
    TChannelPalette palette;
    int channel;
    TColor color;
  };
  const Case cases[] = {
      {TChannelPalette::cpCounter, 1, 0x3F3F3F},    {TChannelPalette::cpCounter, 24, 0x800080},
      {TChannelPalette::cpSensor, 1, 0xFFC90E},     {TChannelPalette::cpSensor, 12, 0x800080},
      {TChannelPalette::cpSensor, 13, 0x3F3F3F},    {TChannelPalette::cpQMT, 1, 0x808000},
      {TChannelPalette::cpQMT, 24, 0xFF8000},       {TChannelPalette::cpVirtual, 1, 0xFFFF80},
      {TChannelPalette::cpVirtual, 9, 0x3F3F3F},    {TChannelPalette::cpVirtualQMT, 1, 0xEFC4B0},
      {TChannelPalette::cpVirtualQMT, 4, 0x800080}, {TChannelPalette::cpVirtualQMT, 5, 0x3F3F3F},
      {TChannelPalette::cpLinearCombination, 2, 0x00FF00},
  };
  for (const Case& c : cases) {
    const TVQ_ChannelData data(c.palette);
    EXPECT_EQ(data.Color(c.channel), c.color) << "palette " << static_cast<int>(c.palette) << " channel " << c.channel;
  }
}

TEST(ChannelData, InitialiseGivesDefaults) {
  TVQ_ChannelData data(TChannelPalette::cpQMT);
  data.SetEnabled(3, false);
  data.SetPersist(4, true);
  data.SetSelected(5);
  data.SetMaxChannels(2);
  data.Initialise(TChannelPalette::cpCounter);
  EXPECT_EQ(data, TVQ_ChannelData());
  EXPECT_EQ(data.MaxChannels(), 24);
  EXPECT_EQ(data.Selected(), 0);
  for (int i = 1; i <= kChannels; ++i) {
    EXPECT_TRUE(data.Enabled(i));
    EXPECT_FALSE(data.PersistFlag(i));
    EXPECT_EQ(data.Id(i), std::to_string(i));
    EXPECT_EQ(data.Name(i), "Channel_" + std::to_string(i));
  }
  EXPECT_EQ(TVQ_ChannelData(TChannelPalette::cpLinearCombination).Name(7), "LC_7");
}

TEST(ChannelData, ShadesMoveOnlyTheLuminance) {
  struct Case {
    TColor color, dark, light;
  };
  const Case cases[] = {
      {0x808080, 0x737373, 0x949494},  // grey: 5 % darker, 8 % lighter
      {0x000000, 0x000000, 0x141414},  // black cannot get darker
      {0xFFFFFF, 0xF2F2F2, 0xFFFFFF},  // white cannot get lighter
      {0x0000FF, 0x0000E6, 0x2929FF},  // pure red stays red
  };
  for (const Case& c : cases) {
    TVQ_ChannelData data;
    data.SetColor(1, c.color);
    EXPECT_EQ(data.DarkColor(1), c.dark) << std::hex << c.color;
    EXPECT_EQ(data.LightColor(1), c.light) << std::hex << c.color;
  }
  // Every palette colour survives the conversion to HLS and back.
  for (int i = 1; i <= kChannels; ++i) {
    const TColor color = ChannelColors::PaletteColor(TChannelPalette::cpCounter, i);
    EXPECT_EQ(ChannelColors::HlsToRgb(ChannelColors::RgbToHls(color)), color) << std::hex << color;
    EXPECT_EQ(ChannelColors::AdjustLuminance(color, 0), color);
  }
}

// ---- channel ranges ---------------------------------------------------------------

TEST(ChannelData, ChannelsOutsideTheRangeReadAsNothingAndAreNeverWritten) {
  TVQ_ChannelData data;
  for (const int channel : {-1, 0, 25, 1000}) {
    EXPECT_EQ(data.Color(channel), kButtonFaceColor) << channel;
    EXPECT_EQ(data.DarkColor(channel), kButtonFaceColor) << channel;
    EXPECT_EQ(data.LightColor(channel), kButtonFaceColor) << channel;
    EXPECT_EQ(data.Id(channel), "") << channel;
    EXPECT_EQ(data.Name(channel), "") << channel;
    EXPECT_FALSE(data.Enabled(channel)) << channel;
    EXPECT_FALSE(data.Persisted(channel)) << channel;
    data.SetColor(channel, 0x123456);
    data.SetName(channel, "x");
    data.SetId(channel, "x");
    data.SetEnabled(channel, false);
    data.SetPersist(channel, true);
    data.SetSelected(channel);
  }
  EXPECT_EQ(data, TVQ_ChannelData());
}

TEST(ChannelData, ChannelCountLimitsEnabledAndPersisted) {
  TVQ_ChannelData data;
  data.SetPersist(3, true);
  data.SetPersist(5, true);
  data.SetEnabled(5, false);
  data.SetMaxChannels(4);
  EXPECT_TRUE(data.Enabled(4));
  EXPECT_FALSE(data.Enabled(6));
  EXPECT_TRUE(data.Persisted(3));
  EXPECT_FALSE(data.Persisted(5));  // not enabled
  data.SetPersist(6, true);
  EXPECT_FALSE(data.Persisted(6));  // beyond the count
  EXPECT_TRUE(data.PersistFlag(6));
  // The flags beyond the count are kept for a counter with more channels.
  EXPECT_EQ(data.EnabledText(), "111101111111111111111111");
  data.SetMaxChannels(-3);
  EXPECT_EQ(data.MaxChannels(), 0);
  data.SetMaxChannels(99);
  EXPECT_EQ(data.MaxChannels(), 24);
}

// ---- session keys ----------------------------------------------------------------

TEST(ChannelDataSession, AllNamesEmptyWritesNoKeysAndDropsEarlierLists) {
  TAppSettings settings;
  settings.SetValue(kPrefix + "Names", "Old, ");
  settings.SetValue(kPrefix + "Ids", "1, ");
  settings.SetValue(kPrefix + "Colors", "255, ");
  TVQ_ChannelData data;
  for (int i = 1; i <= kChannels; ++i) data.SetName(i, "");
  data.SaveSettingsSession(settings, kPrefix);
  EXPECT_FALSE(settings.TestKeys(kPrefix));
}

TEST(ChannelDataSession, NamesWithTheListSeparatorSurviveARestart) {
  TTempFolder folder;
  TAppSettings settings;
  TVQ_ChannelData data;
  const std::vector<std::pair<int, std::string>> names = {
      {1, "Maser, H2"}, {2, "a,b"}, {3, "C:\\data\\"}, {4, "\\, "}, {5, ""}, {6, "  spaced  "}, {24, "last,"}};
  for (const auto& [channel, name] : names) data.SetName(channel, name);
  data.SetId(2, "PAV_A2, x");
  data.SetColor(3, 0x123456);
  data.SaveSettingsSession(settings, kPrefix);

  TAppSettings loaded = Restarted(settings, folder);
  EXPECT_EQ(StoredFormatVersion(loaded), 1);
  TVQ_ChannelData read;
  read.ReadSettingsSession(loaded, kPrefix, StoredFormatVersion(loaded));
  EXPECT_EQ(Names(read), Names(data));
  EXPECT_EQ(read.Id(2), "PAV_A2, x");
  EXPECT_EQ(read.Color(3), 0x123456u);
  EXPECT_EQ(read.DarkColor(3), data.DarkColor(3));
  EXPECT_EQ(read, data);
}

TEST(ChannelDataSession, ListsWrittenWithoutEscapesReadAsBefore) {
  TAppSettings settings;
  settings.SetValue(kPrefix + "Names", "Maser, H2, 10MHz,ref, C:\\x, ");
  settings.SetValue(kPrefix + "Ids", "PAV_A1, PAV_A2, ");
  TVQ_ChannelData data;
  data.ReadSettingsSession(settings, kPrefix, 1);
  EXPECT_EQ(data.Name(1), "Maser");
  EXPECT_EQ(data.Name(2), "H2");
  EXPECT_EQ(data.Name(3), "10MHz,ref");
  EXPECT_EQ(data.Name(4), "C:\\x");
  EXPECT_EQ(data.Name(5), "Channel_5");
  EXPECT_EQ(data.Id(2), "PAV_A2");
  EXPECT_EQ(data.Id(3), "3");  // ids start from the channel numbers
}

TEST(ChannelDataSession, ListsSetOnlyTheChannelsTheyHold) {
  TAppSettings settings;
  settings.SetValue(kPrefix + "Names", "North, South, ");
  settings.SetValue(kPrefix + "Colors", "255, 65280, 16711680, ");
  TVQ_ChannelData data;
  data.SetId(1, "PAV_A1");
  data.ReadSettingsSession(settings, kPrefix, 5);
  const std::vector<std::string> names = Names(data);
  EXPECT_THAT(std::vector<std::string>(names.begin(), names.begin() + 3), ElementsAre("North", "South", "Channel_3"));
  EXPECT_EQ(data.Id(1), "1");
  EXPECT_EQ(data.Color(3), 0xFF0000u);
  EXPECT_EQ(data.Color(4), TVQ_ChannelData().Color(4));
  EXPECT_EQ(data.DarkColor(1), ChannelColors::AdjustLuminance(0x0000FF, TVQ_ChannelData::kDarkLuminance));
}

TEST(ChannelDataSession, DamagedListsKeepDefaults) {
  std::string many;
  for (int i = 1; i <= 40; ++i) many += "N" + std::to_string(i) + ", ";
  TAppSettings settings;
  settings.SetValue(kPrefix + "Names", many);
  settings.SetValue(kPrefix + "Colors", "blue, -1, 16777216, 12 34, , 99, 7");
  TVQ_ChannelData data;
  data.ReadSettingsSession(settings, kPrefix, 1);
  EXPECT_EQ(data.Name(24), "N24");
  const TVQ_ChannelData defaults;
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(data.Color(i), defaults.Color(i)) << i;
  EXPECT_EQ(data.Color(6), 99u);
  EXPECT_EQ(data.Color(7), 7u);  // a last element without its separator counts
  EXPECT_FALSE(settings.HasKey(kPrefix + "Ids"));  // reading never adds keys
}

TEST(ChannelDataSession, FormatVersionZeroReadsOneKeyPerChannel) {
  TAppSettings settings;
  settings.SetValue(kPrefix + "Name_1", "Maser, H2");
  settings.SetValue(kPrefix + "Color_1", "255");
  settings.SetValue(kPrefix + "Color_2", "red");
  settings.SetValue(kPrefix + "Names", "Ignored, ");
  TVQ_ChannelData data;
  data.ReadSettingsSession(settings, kPrefix, 0);
  EXPECT_EQ(data.Name(1), "Maser, H2");
  EXPECT_EQ(data.Color(1), 0x0000FFu);
  EXPECT_EQ(data.Name(2), "Channel_2");
  EXPECT_EQ(data.Color(2), TVQ_ChannelData().Color(2));
  EXPECT_FALSE(settings.HasKey(kPrefix + "Name_3"));
}

TEST(ChannelDataSession, StoredFormatVersionOfDamagedFilesIsZero) {
  for (const char* text : {"", "x", "-4", "1.5"}) {
    TAppSettings settings;
    if (*text) settings.SetValue("INI_Version", text);
    EXPECT_EQ(StoredFormatVersion(settings), 0) << text;
    EXPECT_EQ(settings.HasKey("INI_Version"), *text != '\0');
  }
}

TEST(SessionChannelData, FourRecordsKeepTheirOwnKeys) {
  TTempFolder folder;
  TSessionChannelData data;
  data.Initialise('B');
  EXPECT_EQ(data.Counter.Id(3), "PAV_B3");
  EXPECT_EQ(data.Virtual.Id(1), "VPAV_B1");
  EXPECT_EQ(data.QMT.Id(24), "QMT_B24");
  EXPECT_EQ(data.VirtualQMT.Id(2), "VQMT_B2");
  EXPECT_EQ(data.QMT.Color(1), 0x808000u);
  data.Counter.SetName(1, "Maser, H2");
  data.QMT.SetName(2, "Start");
  TAppSettings settings;
  data.SaveSettings(settings, kPrefix);
  EXPECT_TRUE(settings.HasKey(kPrefix + "QMT_Names"));
  EXPECT_TRUE(settings.HasKey(kPrefix + "VQMT_Colors"));

  TAppSettings loaded = Restarted(settings, folder);
  TSessionChannelData read;
  read.Initialise('B');
  read.ReadSettings(loaded, kPrefix);
  EXPECT_EQ(read, data);
  EXPECT_EQ(read.Counter.Name(1), "Maser, H2");
  EXPECT_EQ(read.QMT.Name(1), "Channel_1");
}

TEST(ChannelLists, SplitHandlesEscapesAndBounds) {
  using ChannelLists::SplitElements;
  EXPECT_THAT(SplitElements("a\\, b, c, ", 24), ElementsAre("a, b", "c"));
  EXPECT_THAT(SplitElements("a\\\\, b, ", 24), ElementsAre("a\\", "b"));
  EXPECT_THAT(SplitElements(", , x, ", 24), ElementsAre("", "", "x"));
  EXPECT_THAT(SplitElements("trailing\\", 24), ElementsAre("trailing\\"));
  // An editor that strips the blank at the line end leaves the last separator as ",".
  EXPECT_THAT(SplitElements("a, b\\,,", 24), ElementsAre("a", "b,"));
  EXPECT_THAT(SplitElements("a, b, c, ", 2), ElementsAre("a", "b"));
  EXPECT_THAT(SplitElements("", 24), IsEmpty());
}

// ---- view selection keys ------------------------------------------------------------

TEST(ChannelSelection, SelectionKeysOfAnyLength) {
  struct Case {
    const char* stored;  // nullptr: no key
    const char* enabled;
  };
  const Case cases[] = {
      {"101", "101000000000000000000000"},
      {"111111111111111111111111", "111111111111111111111111"},
      {"0000000000000000000000001111", "000000000000000000000000"},  // beyond 24 ignored
      {"1x1", "101000000000000000000000"},
      {nullptr, "111111111111111111111111"},
  };
  const std::string prefix = "View_1_Channel1_";
  for (const Case& c : cases) {
    TAppSettings settings;
    if (c.stored) settings.SetValue(prefix, c.stored);
    TVQ_ChannelSelection selection;
    selection.FData.SetEnabledText("0");
    selection.ReadSettingsView(settings, prefix);
    EXPECT_EQ(selection.FData.EnabledText(), c.enabled) << (c.stored ? c.stored : "(none)");
  }
}

TEST(ChannelSelection, ViewKeysRoundTrip) {
  const std::string prefix = "View_3_Channel2_";
  TVQ_ChannelSelection selection;
  selection.FData.SetEnabledText("110");
  selection.FData.SetPersist(2, true);
  selection.FData.SetPersist(24, true);
  selection.FSelectedColor1 = 0x112233;
  selection.FSelectedColor2 = 0x445566;
  TAppSettings settings;
  selection.SaveSettingsView(settings, prefix);
  EXPECT_EQ(settings.RawValue(prefix), "110000000000000000000000");
  EXPECT_EQ(settings.RawValue(prefix + "Persist"), "010000000000000000000001");
  EXPECT_EQ(settings.RawValue(prefix + "SelectedColor1"), "1122867");

  TVQ_ChannelSelection read;
  read.ReadSettingsView(settings, prefix);
  EXPECT_EQ(read, selection);
}

TEST(ChannelSelection, DamagedHighlightColoursKeepTheirValues) {
  const std::string prefix = "View_1_Channel1_";
  TAppSettings settings;
  settings.SetValue(prefix + "SelectedColor1", "clRed");
  settings.SetValue(prefix + "SelectedColor2", "-16777201");
  settings.SetValue(prefix + "Persist", "1");
  TVQ_ChannelSelection selection;
  selection.ReadSettingsView(settings, prefix);
  EXPECT_EQ(selection.FSelectedColor1, TVQ_ChannelSelection::kDefaultSelectedColor1);
  EXPECT_EQ(selection.FSelectedColor2, TVQ_ChannelSelection::kDefaultSelectedColor2);
  EXPECT_TRUE(selection.FData.Persisted(1));
  EXPECT_FALSE(selection.FData.PersistFlag(2));
}

}  // namespace
