#include "app/core/App_ChannelData.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>

#include "app/core/App_Settings.h"

namespace {

constexpr int kChannels = TVQ_ChannelData::kChannels;

constexpr std::array<TColor, kChannels> kBaseColors = {
    0x3F3F3F, 0x00FF00, 0x0000FF, 0xFF0000, 0xFFFF00, 0x22B14C, 0x0080FF, 0xFF8000,
    0x808000, 0x008040, 0x8080FF, 0xFF00FF, 0xFFC90E, 0x00FF80, 0x00FFFF, 0xFF80C0,
    0xFFFF80, 0x00C000, 0x0000A0, 0xFF0080, 0xEFC4B0, 0x30C090, 0xC8BFE7, 0x800080,
};

constexpr TColor kMaxColor = 0xFFFFFF;
constexpr std::string_view kListSeparator = ", ";

// The base entry (1..24) that channel 1 of a palette takes.
int PaletteStart(TChannelPalette palette) {
  switch (palette) {
    case TChannelPalette::cpSensor: return 13;
    case TChannelPalette::cpQMT: return 9;
    case TChannelPalette::cpVirtual: return 17;
    case TChannelPalette::cpVirtualQMT: return 21;
    case TChannelPalette::cpCounter:
    case TChannelPalette::cpLinearCombination: break;
  }
  return 1;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::optional<int64_t> ParseInt(std::string_view text) {
  text = Trimmed(text);
  int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// A stored colour: a decimal number from 0 to 0xFFFFFF.
std::optional<TColor> ParseColor(std::string_view text) {
  const auto value = ParseInt(text);
  if (!value || *value < 0 || *value > kMaxColor) return std::nullopt;
  return static_cast<TColor>(*value);
}

TColor ReadColor(const TAppSettings& settings, const std::string& name, TColor current) {
  return static_cast<TColor>(settings.StoredInteger(name, 0, kMaxColor).value_or(current));
}

uint8_t Red(TColor c) { return c & 0xFF; }
uint8_t Green(TColor c) { return (c >> 8) & 0xFF; }
uint8_t Blue(TColor c) { return (c >> 16) & 0xFF; }

uint8_t ToByte(double unit) {
  return static_cast<uint8_t>(std::lround(std::clamp(unit, 0.0, 1.0) * 255.0));
}

double HueToChannel(double m1, double m2, double hue) {
  hue = std::fmod(hue, 360.0);
  if (hue < 0) hue += 360.0;
  if (hue < 60.0) return m1 + (m2 - m1) * hue / 60.0;
  if (hue < 180.0) return m2;
  if (hue < 240.0) return m1 + (m2 - m1) * (240.0 - hue) / 60.0;
  return m1;
}

std::string FlagsText(const std::array<bool, kChannels>& flags) {
  std::string text(kChannels, '0');
  for (int i = 0; i < kChannels; ++i)
    if (flags[i]) text[i] = '1';
  return text;
}

void SetFlagsFromText(std::array<bool, kChannels>& flags, std::string_view text) {
  for (int i = 0; i < kChannels; ++i) flags[i] = i < static_cast<int>(text.size()) && text[i] == '1';
}

}  // namespace

// ---- colours ----------------------------------------------------------------------

namespace ChannelColors {

THls RgbToHls(TColor color) {
  const double r = Red(color) / 255.0;
  const double g = Green(color) / 255.0;
  const double b = Blue(color) / 255.0;
  const double maxC = std::max({r, g, b});
  const double minC = std::min({r, g, b});
  THls hls;
  hls.L = (maxC + minC) / 2.0;
  const double delta = maxC - minC;
  if (delta <= 0.0) return hls;  // a grey: no hue, no saturation
  hls.S = hls.L <= 0.5 ? delta / (maxC + minC) : delta / (2.0 - maxC - minC);
  double hue;
  if (maxC == r)
    hue = (g - b) / delta;
  else if (maxC == g)
    hue = 2.0 + (b - r) / delta;
  else
    hue = 4.0 + (r - g) / delta;
  hue *= 60.0;
  if (hue < 0) hue += 360.0;
  hls.H = hue;
  return hls;
}

TColor HlsToRgb(const THls& hls) {
  const double l = std::clamp(hls.L, 0.0, 1.0);
  const double s = std::clamp(hls.S, 0.0, 1.0);
  if (s <= 0.0) {
    const uint8_t grey = ToByte(l);
    return grey | (grey << 8) | (static_cast<TColor>(grey) << 16);
  }
  const double m2 = l <= 0.5 ? l * (1.0 + s) : l + s - l * s;
  const double m1 = 2.0 * l - m2;
  const uint8_t r = ToByte(HueToChannel(m1, m2, hls.H + 120.0));
  const uint8_t g = ToByte(HueToChannel(m1, m2, hls.H));
  const uint8_t b = ToByte(HueToChannel(m1, m2, hls.H - 120.0));
  return r | (g << 8) | (static_cast<TColor>(b) << 16);
}

TColor AdjustLuminance(TColor color, int tenthsOfPercent) {
  color &= kMaxColor;
  if (tenthsOfPercent == 0) return color;
  THls hls = RgbToHls(color);
  hls.L = std::clamp(hls.L + tenthsOfPercent / 1000.0, 0.0, 1.0);
  return HlsToRgb(hls);
}

TColor PaletteColor(TChannelPalette palette, int channel) {
  if (channel < 1 || channel > kChannels) return kButtonFaceColor;
  return kBaseColors[(PaletteStart(palette) + channel - 2) % kChannels];
}

}  // namespace ChannelColors

// ---- lists ------------------------------------------------------------------------

namespace ChannelLists {

std::string EscapeElement(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '\\' || c == ',') out += '\\';
    out += c;
  }
  return out;
}

std::string JoinElements(const std::vector<std::string>& elements) {
  std::string out;
  for (const std::string& element : elements) {
    out += EscapeElement(element);
    out += kListSeparator;
  }
  return out;
}

std::vector<std::string> SplitElements(std::string_view text, std::size_t maxElements) {
  std::vector<std::string> elements;
  std::string current;
  std::size_t i = 0;
  while (i < text.size() && elements.size() < maxElements) {
    const char c = text[i];
    const bool hasNext = i + 1 < text.size();
    if (c == '\\' && hasNext && (text[i + 1] == '\\' || text[i + 1] == ',')) {
      current += text[i + 1];
      i += 2;
    } else if (c == ',' && (!hasNext || text[i + 1] == ' ')) {
      // A list whose final blank was stripped still ends in a separator.
      elements.push_back(std::move(current));
      current.clear();
      i += hasNext ? 2 : 1;
    } else {
      current += c;
      ++i;
    }
  }
  if (!current.empty() && elements.size() < maxElements) elements.push_back(std::move(current));
  return elements;
}

}  // namespace ChannelLists

int StoredFormatVersion(const TAppSettings& settings) {
  const auto text = settings.RawValue("INI_Version");
  if (!text) return 0;
  const auto value = ParseInt(*text);
  if (!value || *value < 0 || *value > 1000000) return 0;
  return static_cast<int>(*value);
}

// ---- channel data -------------------------------------------------------------------

void TVQ_ChannelData::Initialise(TChannelPalette palette) {
  FSelected = 0;
  FMaxChannels = kChannels;
  const std::string namePrefix = palette == TChannelPalette::cpLinearCombination ? "LC_" : "Channel_";
  for (int i = 1; i <= kChannels; ++i) {
    FChannelEnabled[i - 1] = true;
    SetColor(i, ChannelColors::PaletteColor(palette, i));
    FPersistEnabled[i - 1] = false;
    FChannelIds[i - 1] = std::to_string(i);
    FChannelNames[i - 1] = namePrefix + std::to_string(i);
  }
}

bool TVQ_ChannelData::Enabled(int channel) const {
  return channel >= 1 && channel <= FMaxChannels && FChannelEnabled[channel - 1];
}

void TVQ_ChannelData::SetEnabled(int channel, bool value) {
  if (InRange(channel)) FChannelEnabled[channel - 1] = value;
}

TColor TVQ_ChannelData::Color(int channel) const {
  return InRange(channel) ? FChannelColors[channel - 1] : kButtonFaceColor;
}

TColor TVQ_ChannelData::DarkColor(int channel) const {
  return InRange(channel) ? FChannelDarkColors[channel - 1] : kButtonFaceColor;
}

TColor TVQ_ChannelData::LightColor(int channel) const {
  return InRange(channel) ? FChannelLightColors[channel - 1] : kButtonFaceColor;
}

void TVQ_ChannelData::SetColor(int channel, TColor value) {
  if (!InRange(channel)) return;
  value &= kMaxColor;
  FChannelColors[channel - 1] = value;
  FChannelDarkColors[channel - 1] = ChannelColors::AdjustLuminance(value, kDarkLuminance);
  FChannelLightColors[channel - 1] = ChannelColors::AdjustLuminance(value, kLightLuminance);
}

bool TVQ_ChannelData::Persisted(int channel) const {
  return Enabled(channel) && FPersistEnabled[channel - 1];
}

bool TVQ_ChannelData::PersistFlag(int channel) const {
  return InRange(channel) && FPersistEnabled[channel - 1];
}

void TVQ_ChannelData::SetPersist(int channel, bool value) {
  if (InRange(channel)) FPersistEnabled[channel - 1] = value;
}

std::string TVQ_ChannelData::Id(int channel) const {
  return InRange(channel) ? FChannelIds[channel - 1] : std::string();
}

void TVQ_ChannelData::SetId(int channel, const std::string& value) {
  if (InRange(channel)) FChannelIds[channel - 1] = value;
}

std::string TVQ_ChannelData::Name(int channel) const {
  return InRange(channel) ? FChannelNames[channel - 1] : std::string();
}

void TVQ_ChannelData::SetName(int channel, const std::string& value) {
  if (InRange(channel)) FChannelNames[channel - 1] = value;
}

void TVQ_ChannelData::SetMaxChannels(int value) { FMaxChannels = std::clamp(value, 0, kChannels); }

void TVQ_ChannelData::SetSelected(int channel) { FSelected = InRange(channel) ? channel : 0; }

bool TVQ_ChannelData::AllNamesEmpty() const {
  return std::all_of(FChannelNames.begin(), FChannelNames.end(), [](const std::string& n) { return n.empty(); });
}

std::string TVQ_ChannelData::EnabledText() const { return FlagsText(FChannelEnabled); }
std::string TVQ_ChannelData::PersistText() const { return FlagsText(FPersistEnabled); }
void TVQ_ChannelData::SetEnabledText(std::string_view text) { SetFlagsFromText(FChannelEnabled, text); }
void TVQ_ChannelData::SetPersistText(std::string_view text) { SetFlagsFromText(FPersistEnabled, text); }

void TVQ_ChannelData::SaveSettingsSession(TAppSettings& settings, const std::string& prefix) const {
  settings.SetVersionFormat(kFormatVersion);
  if (AllNamesEmpty()) {
    // Lists of earlier names must not come back at the next start.
    for (const char* key : {"Ids", "Names", "Colors"}) settings.SetValue(prefix + key, std::string());
    return;
  }
  std::vector<std::string> ids(FChannelIds.begin(), FChannelIds.end());
  std::vector<std::string> names(FChannelNames.begin(), FChannelNames.end());
  std::string colors;
  for (const TColor color : FChannelColors) {
    colors += std::to_string(color);
    colors += kListSeparator;
  }
  settings.SetValue(prefix + "Ids", ChannelLists::JoinElements(ids));
  settings.SetValue(prefix + "Names", ChannelLists::JoinElements(names));
  settings.SetValue(prefix + "Colors", colors);
}

void TVQ_ChannelData::ReadSettingsSession(const TAppSettings& settings, const std::string& prefix,
                                          int formatVersion) {
  for (int i = 1; i <= kChannels; ++i) FChannelIds[i - 1] = std::to_string(i);

  if (formatVersion <= 0) {
    for (int i = 1; i <= kChannels; ++i) {
      const std::string number = std::to_string(i);
      if (const auto name = settings.RawValue(prefix + "Name_" + number)) FChannelNames[i - 1] = *name;
      SetColor(i, ReadColor(settings, prefix + "Color_" + number, FChannelColors[i - 1]));
    }
    return;
  }

  if (const auto text = settings.RawValue(prefix + "Ids")) {
    const auto ids = ChannelLists::SplitElements(*text, kChannels);
    for (std::size_t k = 0; k < ids.size(); ++k) FChannelIds[k] = ids[k];
  }
  if (const auto text = settings.RawValue(prefix + "Names")) {
    const auto names = ChannelLists::SplitElements(*text, kChannels);
    for (std::size_t k = 0; k < names.size(); ++k) FChannelNames[k] = names[k];
  }
  if (const auto text = settings.RawValue(prefix + "Colors")) {
    const auto colors = ChannelLists::SplitElements(*text, kChannels);
    for (std::size_t k = 0; k < colors.size(); ++k) {
      const int channel = static_cast<int>(k) + 1;
      SetColor(channel, ParseColor(colors[k]).value_or(FChannelColors[k]));
    }
  }
}

// ---- channel selection ------------------------------------------------------------

void TVQ_ChannelSelection::ReadSettingsView(const TAppSettings& settings, const std::string& prefix) {
  const auto enabled = settings.RawValue(prefix);
  FData.SetEnabledText(enabled && !enabled->empty() ? *enabled : std::string(TVQ_ChannelData::kChannels, '1'));
  const auto persist = settings.RawValue(prefix + "Persist");
  FData.SetPersistText(persist ? *persist : std::string());
  FSelectedColor1 = ReadColor(settings, prefix + "SelectedColor1", FSelectedColor1);
  FSelectedColor2 = ReadColor(settings, prefix + "SelectedColor2", FSelectedColor2);
}

void TVQ_ChannelSelection::SaveSettingsView(TAppSettings& settings, const std::string& prefix) const {
  settings.SetValue(prefix, FData.EnabledText());
  settings.SetValue(prefix + "Persist", FData.PersistText());
  settings.SetValue(prefix + "SelectedColor1", static_cast<int>(FSelectedColor1 & kMaxColor));
  settings.SetValue(prefix + "SelectedColor2", static_cast<int>(FSelectedColor2 & kMaxColor));
}

// ---- session records ----------------------------------------------------------------

void TSessionChannelData::Initialise(char letter) {
  struct TRecord {
    TVQ_ChannelData& data;
    TChannelPalette palette;
    const char* idPrefix;
  };
  const TRecord records[] = {
      {Counter, TChannelPalette::cpCounter, "PAV_"},
      {Virtual, TChannelPalette::cpVirtual, "VPAV_"},
      {QMT, TChannelPalette::cpQMT, "QMT_"},
      {VirtualQMT, TChannelPalette::cpVirtualQMT, "VQMT_"},
  };
  for (const TRecord& r : records) {
    r.data.Initialise(r.palette);
    for (int i = 1; i <= kChannels; ++i) r.data.SetId(i, r.idPrefix + std::string(1, letter) + std::to_string(i));
  }
}

void TSessionChannelData::ReadSettings(const TAppSettings& settings, const std::string& sessionPrefix) {
  const int version = StoredFormatVersion(settings);
  Counter.ReadSettingsSession(settings, sessionPrefix, version);
  Virtual.ReadSettingsSession(settings, sessionPrefix + "V_", version);
  QMT.ReadSettingsSession(settings, sessionPrefix + "QMT_", version);
  VirtualQMT.ReadSettingsSession(settings, sessionPrefix + "VQMT_", version);
}

void TSessionChannelData::SaveSettings(TAppSettings& settings, const std::string& sessionPrefix) const {
  Counter.SaveSettingsSession(settings, sessionPrefix);
  Virtual.SaveSettingsSession(settings, sessionPrefix + "V_");
  QMT.SaveSettingsSession(settings, sessionPrefix + "QMT_");
  VirtualQMT.SaveSettingsSession(settings, sessionPrefix + "VQMT_");
}
