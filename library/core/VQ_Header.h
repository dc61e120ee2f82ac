#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The 16-bit data header of a measurement, taken apart. Bits, most significant
// first: 15 lost data; 14-12 mode; 11-8 interval index; 7-6 filter / PPI
// index; 5 measuring frequency 5 MHz; 5-4 scrambler index; 4 scrambling;
// 3 dithering; 2 broadband; 1 long-interval extension; 0 FPGA bit.
class TVQHeader {
 public:
  static constexpr uint16_t kInvalid = 0xFFFF;
  static constexpr uint16_t kLostData = 0x8000;
  static constexpr uint16_t kExtension = 0x0002;

  explicit TVQHeader(uint16_t header = kInvalid) { SetHeader(header); }
  void SetHeader(uint16_t header);

  bool FLost = false;
  uint32_t FGateTime = 0;  // ms; 0 for an invalid interval
  uint16_t FHeader = 0;    // without bit 15
  bool FModeValid = false;
  bool FIntervalIndexValid = false;
  uint8_t FMode = 0;
  int FIntervalIndex = 0;  // plus 13 with the extension bit
  int FFilterIndex = 0;
  bool FFpgaBit = false;
  uint8_t FMeasFrequence = 0;  // MHz
  bool FScrambling = false;
  bool FDithering = false;
  std::string FBand;
  double FMultiplier = 1.0;
  uint8_t FPPIindex = 0;
  uint8_t FScramblerIndex = 0;

  // A measurement, not a report kind (mode 7).
  bool IsPAVData() const { return FHeader < 0x7000; }

  std::string_view ModeText() const;        // "" for mode 7
  std::string_view IntervalText() const;    // "" when invalid
  std::string_view PPIText() const;
  std::string_view ScramblerText() const;
  std::string_view BandText() const;
  std::string_view ScramblingText() const;  // "ON" / "OFF"
  std::string_view DitheringText() const;
  std::string MultiplierText() const;       // "1E+3", "1E+5", else exponent form
  std::string MeasFrequenceText() const;    // Hz in decimal
};

// The position of an interval in its 1-2-5 step: 0 for 1, 10, 100, 1000,
// 10000 ms, 1 for 2 ... 20000 ms, 2 for 5 ... 5000 ms, else -1.
int IntervalMsToIndex(int ms);
