#include "cli/CliTable.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "app/data/PAV_DataManagement.h"

namespace {

constexpr std::size_t kIdWidth = 4;
constexpr std::size_t kNameWidth = 12;
constexpr std::size_t kFrequencyWidth = 22;
constexpr std::size_t kRelativeWidth = 15;
constexpr std::size_t kPhaseWidth = 22;
constexpr int kAdevWidth = 10;
constexpr char kMissing[] = "-";
constexpr char kNoNominalMark[] = "*";

std::string Trimmed(const std::string& text) { return std::string(Trim(text)); }

std::string PadLeft(std::string text, std::size_t width) {
  if (text.size() < width) text.insert(0, width - text.size(), ' ');
  return text;
}

std::string PadRight(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

std::string Column(const std::string& text, std::size_t width) {
  return " " + PadLeft(text.empty() ? std::string(kMissing) : text, width);
}

// The Allan deviation shown: of the relative frequency when the report mode
// has frequencies, else of the phase difference.
TAllanMode ShownAllanMode(const TPAV_DataManagement& store) {
  for (TAllanMode mode : {amFreq, amPhaseDiff})
    if (store.CheckAllanMode(mode).empty()) return mode;
  return amFreq;
}

// Three significant digits in exponent form, "1.23E-11"; no locale.
std::string AdevText(double value) {
  if (!std::isfinite(value) || value <= 0) return kMissing;
  int exponent = static_cast<int>(std::floor(std::log10(value)));
  std::string mantissa = FloatToStrFixed(value / std::pow(10.0, exponent), 2);
  if (mantissa.starts_with("10")) {  // 9.996 rounds into the next decade
    ++exponent;
    mantissa = FloatToStrFixed(value / std::pow(10.0, exponent), 2);
  }
  const int magnitude = std::abs(exponent);
  return mantissa + (exponent < 0 ? "E-" : "E+") + (magnitude < 10 ? "0" : "") + std::to_string(magnitude);
}

}  // namespace

std::string ChannelValueTable(const TPAV_DataManagement& store, char sessionLetter) {
  const int channels = store.ChannelCount();
  if (channels <= 0) return {};
  const TAllanMode allanMode = ShownAllanMode(store);
  const int lastTau = store.GetAllanLastTau(allanMode);

  std::string out = "  " + PadRight("Id", kIdWidth) + " " + PadRight("Name", kNameWidth) +
                    Column("Frequency [Hz]", kFrequencyWidth) + Column("Rel. frequency", kRelativeWidth) +
                    Column("Phase diff. [Pd]", kPhaseWidth);
  const std::string adevLabel = "  ADEV(" + std::string(AllanModeText(allanMode)) + ")";
  if (lastTau >= 0) out += adevLabel + store.GetAllanTauCaption(allanMode, kAdevWidth + 1);
  out += "\n";

  bool withoutNominal = false;
  for (int k = 1; k <= channels; ++k) {
    const std::string id = std::string(1, sessionLetter) + std::to_string(k);
    std::string name = store.GetChannelName(k);
    if (name.size() > kNameWidth) name.resize(kNameWidth);
    out += "  " + PadRight(id, kIdWidth) + " " + PadRight(name, kNameWidth);
    out += Column(Trimmed(store.GetTextModeString(tmFreqAbs, k)), kFrequencyWidth);
    // Without a nominal frequency the store takes the first one it measured.
    std::string relative = Trimmed(store.GetTextModeString(tmFreqRel, k));
    if (!relative.empty() && store.GetNomFreqUser(k) == 0.0) {
      relative += kNoNominalMark;
      withoutNominal = true;
    }
    out += Column(relative, kRelativeWidth);
    out += Column(Trimmed(store.GetTextModeString(tmPhaseDiff, k)), kPhaseWidth);
    if (lastTau >= 0) {
      out += std::string(adevLabel.size(), ' ');
      const std::vector<double> adev = store.GetAllanTextValues(allanMode, k);
      for (int t = 0; t <= lastTau; ++t)
        out += Column(t < static_cast<int>(adev.size()) ? AdevText(adev[t]) : std::string(), kAdevWidth);
    }
    out += "\n";
  }
  if (withoutNominal)
    out += std::string("  ") + kNoNominalMark + " relative to the channel's first measured frequency: no nominal frequency is set\n";
  return out;
}
