#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TAppSettings;

// A colour as 0x00BBGGRR (red in the low byte), the order the settings file
// keeps colours in.
using TColor = uint32_t;

// The colour asked for a channel outside 1..24: the face colour of a button,
// so such a channel draws as background.
inline constexpr TColor kButtonFaceColor = 0xF0F0F0;

// The channel palettes: all rotations of one list of 24 colours.
enum class TChannelPalette : int {
  cpCounter = 0,            // counter channels, a selector's own data
  cpLinearCombination = 1,  // names "LC_" + i; colours as cpCounter
  cpSensor = 2,             // sensor channels
  cpQMT = 3,                // time-interval channels
  cpVirtual = 4,            // virtual counter channels
  cpVirtualQMT = 5,         // virtual time-interval channels
};

namespace ChannelColors {

// Hue 0..360 (degrees), luminance and saturation 0..1.
struct THls {
  double H = 0;
  double L = 0;
  double S = 0;
};

THls RgbToHls(TColor color);
TColor HlsToRgb(const THls& hls);
// The colour with its luminance moved by `tenthsOfPercent` of the full
// luminance range (-1000..1000), clamped to black and white.
TColor AdjustLuminance(TColor color, int tenthsOfPercent);
// Colour of channel 1..24 in a palette; kButtonFaceColor outside.
TColor PaletteColor(TChannelPalette palette, int channel);

}  // namespace ChannelColors

// The ", "-separated lists of the settings file. Every element is followed
// by ", ". Inside an element "\" is written "\\" and "," is written "\,", so
// a name holding ", " keeps its place in the list; a backslash before any
// other character is taken as it stands, so lists written without escapes
// read as they always did.
namespace ChannelLists {

std::string EscapeElement(std::string_view text);
std::string JoinElements(const std::vector<std::string>& elements);
// At most `maxElements` elements; a last element without its separator is
// taken when it is not empty.
std::vector<std::string> SplitElements(std::string_view text, std::size_t maxElements);

}  // namespace ChannelLists

// "INI_Version" of the settings as stored, without adding the key: 0 when it
// is missing or no number (the layout of the oldest files).
int StoredFormatVersion(const TAppSettings& settings);

// Name, colour, shades, enabled and persist flags and id of the 24 channels
// of a session or of a view's channel selector. Copied by value.
class TVQ_ChannelData {
 public:
  static constexpr int kChannels = 24;
  static constexpr int kDarkLuminance = -50;   // tenths of a percent
  static constexpr int kLightLuminance = 80;
  // The layout of the session keys written by SaveSettingsSession.
  static constexpr int kFormatVersion = 1;

  TVQ_ChannelData() { Initialise(TChannelPalette::cpCounter); }
  explicit TVQ_ChannelData(TChannelPalette palette) { Initialise(palette); }

  // Every channel enabled, not persisted, coloured from the palette, id "i",
  // name "Channel_" + i ("LC_" + i for cpLinearCombination); 24 channels;
  // nothing selected.
  void Initialise(TChannelPalette palette);

  // ---- per channel; setters change nothing outside 1..24 ----------------------
  // False outside 1..MaxChannels().
  bool Enabled(int channel) const;
  void SetEnabled(int channel, bool value);
  // kButtonFaceColor outside 1..24.
  TColor Color(int channel) const;
  TColor DarkColor(int channel) const;
  TColor LightColor(int channel) const;
  // Also sets the dark and light shades.
  void SetColor(int channel, TColor value);
  // Enabled, within 1..MaxChannels() and flagged.
  bool Persisted(int channel) const;
  // The flag alone (what the settings keep).
  bool PersistFlag(int channel) const;
  void SetPersist(int channel, bool value);
  // Empty outside 1..24.
  std::string Id(int channel) const;
  void SetId(int channel, const std::string& value);
  std::string Name(int channel) const;
  void SetName(int channel, const std::string& value);

  // ---- whole record ------------------------------------------------------------
  int MaxChannels() const { return FMaxChannels; }
  void SetMaxChannels(int value);  // limited to 0..24
  int Selected() const { return FSelected; }
  void SetSelected(int channel);  // 0 (none) for anything outside 1..24
  bool AllNamesEmpty() const;

  // 24 characters, "1" per set flag, for channels 1..24 regardless of the
  // channel count (a selection outlives a counter that sends fewer channels).
  std::string EnabledText() const;
  std::string PersistText() const;
  // Character i sets channel i: "1" sets, anything else clears; channels
  // beyond the text are cleared, characters beyond 24 are ignored.
  void SetEnabledText(std::string_view text);
  void SetPersistText(std::string_view text);

  // ---- session keys: prefix + "Ids", "Names", "Colors" --------------------------
  // Raises the format version to 1. Writes nothing when every name is empty.
  void SaveSettingsSession(TAppSettings& settings, const std::string& prefix) const;
  // Sets every id to its channel number, then takes the keys that exist.
  // formatVersion 0 reads prefix + "Name_" + i and "Color_" + i instead.
  // A colour that is no number from 0 to 0xFFFFFF keeps the channel's
  // current colour. Keys are only read, never added.
  void ReadSettingsSession(const TAppSettings& settings, const std::string& prefix, int formatVersion);

  bool operator==(const TVQ_ChannelData&) const = default;

 private:
  static bool InRange(int channel) { return channel >= 1 && channel <= kChannels; }

  std::array<bool, kChannels> FChannelEnabled{};
  std::array<TColor, kChannels> FChannelColors{};
  std::array<TColor, kChannels> FChannelDarkColors{};
  std::array<TColor, kChannels> FChannelLightColors{};
  std::array<bool, kChannels> FPersistEnabled{};
  int FMaxChannels = kChannels;
  std::array<std::string, kChannels> FChannelIds;
  std::array<std::string, kChannels> FChannelNames;
  int FSelected = 0;
};

// What a view's channel selector keeps besides drawing: its own channel
// data and its two highlight colours, with the view keys
//   prefix             the enabled flags as 24 characters
//   prefix "Persist"   the persist flags as 24 characters
//   prefix "SelectedColor1", "SelectedColor2"
// where prefix is the view prefix + "Channel" + base + "_".
class TVQ_ChannelSelection {
 public:
  static constexpr TColor kDefaultSelectedColor1 = 0x000000;  // black frame
  static constexpr TColor kDefaultSelectedColor2 = 0x00FFFF;  // yellow fill

  TVQ_ChannelData FData;
  TColor FSelectedColor1 = kDefaultSelectedColor1;
  TColor FSelectedColor2 = kDefaultSelectedColor2;

  // A missing or empty flag key keeps all channels enabled / none persisted;
  // a colour that is no number from 0 to 0xFFFFFF keeps the current one.
  void ReadSettingsView(const TAppSettings& settings, const std::string& prefix);
  void SaveSettingsView(TAppSettings& settings, const std::string& prefix) const;

  bool operator==(const TVQ_ChannelSelection&) const = default;
};

// The four channel records of a counter session and their key prefixes
// (session prefix + "", "V_", "QMT_", "VQMT_").
struct TSessionChannelData {
  TVQ_ChannelData Counter{TChannelPalette::cpCounter};
  TVQ_ChannelData Virtual{TChannelPalette::cpVirtual};
  TVQ_ChannelData QMT{TChannelPalette::cpQMT};
  TVQ_ChannelData VirtualQMT{TChannelPalette::cpVirtualQMT};

  // Defaults of a new session: ids "PAV_", "VPAV_", "QMT_", "VQMT_" + the
  // session letter + i.
  void Initialise(char letter);
  // Reads the four records with the layout of the stored format version.
  void ReadSettings(const TAppSettings& settings, const std::string& sessionPrefix);
  void SaveSettings(TAppSettings& settings, const std::string& sessionPrefix) const;

  bool operator==(const TSessionChannelData&) const = default;
};
