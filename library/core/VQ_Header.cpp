#include "library/core/VQ_Header.h"

#include <array>

namespace {

constexpr std::array<std::string_view, 7> kModeTexts = {
    "Phase", "Phase Average", "Frequency", "Frequency Avg.", "Phase Difference", "Phase Avg Diff.", "Raw Data"};
constexpr std::array<std::string_view, 20> kIntervalTexts = {
    "1ms", "2ms", "5ms",  "10ms", "20ms", "50ms", "100ms", "200ms", "500ms", "1s",
    "2s",  "5s",  "10s", "20s",  "50s",  "100s", "200s",  "500s",  "1000s", "2000s"};
constexpr std::array<std::string_view, 4> kPPITexts = {"default", "control PPI", "----", "used"};
constexpr std::array<std::string_view, 4> kScramblerTexts = {"off", "Auto", "Trim", "used"};
constexpr int kIntervalCount = 20;
constexpr int kLastBaseIndex = 13;

bool Bit(uint16_t h, int n) { return (h >> n) & 1u; }
std::string_view OnOff(bool on) { return on ? "ON" : "OFF"; }

}  // namespace

void TVQHeader::SetHeader(uint16_t header) {
  FLost = Bit(header, 15);
  FHeader = header & 0x7FFF;
  FMode = (header >> 12) & 0x7;
  FModeValid = FMode <= 6 && header != kInvalid;

  const int baseIndex = (header >> 8) & 0xF;
  const bool extended = header & kExtension;
  FIntervalIndex = baseIndex + (extended ? 13 : 0);
  FIntervalIndexValid = header != kInvalid && !(baseIndex == 0 && extended) && baseIndex <= kLastBaseIndex &&
                        FIntervalIndex < kIntervalCount;
  FGateTime = 0;
  if (FIntervalIndexValid) {
    static constexpr uint32_t kSteps[3] = {1, 2, 5};
    FGateTime = kSteps[FIntervalIndex % 3];
    for (int i = 0; i < FIntervalIndex / 3; ++i) FGateTime *= 10;
  }

  const bool broadband = Bit(header, 2);
  FBand = broadband ? "BB" : "NB";
  FPPIindex = (header >> 6) & 0x3;
  FFilterIndex = broadband ? 0 : FPPIindex;
  FMeasFrequence = broadband ? 0 : (Bit(header, 5) ? 5 : 10);
  FScramblerIndex = (header >> 4) & 0x3;
  FScrambling = Bit(header, 4);
  FDithering = Bit(header, 3);
  FFpgaBit = Bit(header, 0);
  FMultiplier = broadband ? 1.0 : (FFpgaBit ? 100000.0 : 1000.0);
}

std::string_view TVQHeader::ModeText() const { return FMode < kModeTexts.size() ? kModeTexts[FMode] : ""; }

std::string_view TVQHeader::IntervalText() const {
  return FIntervalIndexValid ? kIntervalTexts[static_cast<std::size_t>(FIntervalIndex)] : "";
}

std::string_view TVQHeader::PPIText() const { return kPPITexts[FPPIindex]; }
std::string_view TVQHeader::ScramblerText() const { return kScramblerTexts[FScramblerIndex]; }
std::string_view TVQHeader::BandText() const { return FBand == "BB" ? "Broadband" : "Narrowband"; }
std::string_view TVQHeader::ScramblingText() const { return OnOff(FScrambling); }
std::string_view TVQHeader::DitheringText() const { return OnOff(FDithering); }

std::string TVQHeader::MultiplierText() const {
  if (FMultiplier == 1000.0) return "1E+3";
  if (FMultiplier == 100000.0) return "1E+5";
  return "1E+0";  // broadband: the only other value
}

std::string TVQHeader::MeasFrequenceText() const { return std::to_string(FMeasFrequence * 1000000u); }

int IntervalMsToIndex(int ms) {
  switch (ms) {
    case 1: case 10: case 100: case 1000: case 10000: return 0;
    case 2: case 20: case 200: case 2000: case 20000: return 1;
    case 5: case 50: case 500: case 5000: return 2;
    default: return -1;
  }
}
