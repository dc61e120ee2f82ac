#include "library/core/VQ_Header.h"

#include <gtest/gtest.h>

namespace {

TEST(Header, FrequencyHeaderTakenApart) {
  const TVQHeader h(0x2630);
  EXPECT_TRUE(h.FModeValid);
  EXPECT_EQ(h.FMode, 2);
  EXPECT_EQ(h.ModeText(), "Frequency");
  EXPECT_EQ(h.FIntervalIndex, 6);
  EXPECT_EQ(h.IntervalText(), "100ms");
  EXPECT_EQ(h.FGateTime, 100u);
  EXPECT_EQ(h.FScramblerIndex, 3);
  EXPECT_EQ(h.ScramblerText(), "used");
  EXPECT_TRUE(h.FScrambling);
  EXPECT_EQ(h.ScramblingText(), "ON");
  EXPECT_EQ(h.DitheringText(), "OFF");
  EXPECT_EQ(h.FBand, "NB");
  EXPECT_EQ(h.BandText(), "Narrowband");
  EXPECT_EQ(h.FMeasFrequence, 5);
  EXPECT_EQ(h.MeasFrequenceText(), "5000000");
  EXPECT_EQ(h.FMultiplier, 1000.0);
  EXPECT_EQ(h.MultiplierText(), "1E+3");
  EXPECT_TRUE(h.IsPAVData());
  EXPECT_FALSE(h.FLost);
}

TEST(Header, IntervalIndexWithTheExtensionBit) {
  struct TCase {
    uint16_t header;
    bool valid;
    int index;
    const char* text;
    uint32_t gateMs;
  };
  const TCase cases[] = {
      {0x0002, false, 13, "", 0},        // index 0 with the extension
      {0x0102, true, 14, "50s", 50000},
      {0x0602, true, 19, "2000s", 2000000},
      {0x0702, false, 20, "", 0},        // beyond 2000 s
      {0x0D00, true, 13, "20s", 20000},
      {0x0E00, false, 14, "", 0},        // 14 and 15 are no interval
      {0x0000, true, 0, "1ms", 1},
      {0xFFFF, false, 28, "", 0},
  };
  for (const TCase& c : cases) {
    const TVQHeader h(c.header);
    EXPECT_EQ(h.FIntervalIndexValid, c.valid) << std::hex << c.header;
    EXPECT_EQ(h.FIntervalIndex, c.index) << std::hex << c.header;
    EXPECT_EQ(h.IntervalText(), c.text) << std::hex << c.header;
    EXPECT_EQ(h.FGateTime, c.gateMs) << std::hex << c.header;
  }
}

TEST(Header, BandFpgaBitLostBitAndReportKinds) {
  const TVQHeader broadband(0x0924);
  EXPECT_EQ(broadband.BandText(), "Broadband");
  EXPECT_EQ(broadband.FMeasFrequence, 0);
  EXPECT_EQ(broadband.FFilterIndex, 0);
  EXPECT_EQ(broadband.FMultiplier, 1.0);

  const TVQHeader fpga(0x89C1);
  EXPECT_TRUE(fpga.FLost);
  EXPECT_EQ(fpga.FHeader, 0x09C1);
  EXPECT_EQ(fpga.MultiplierText(), "1E+5");
  EXPECT_EQ(fpga.FFilterIndex, 3);
  EXPECT_EQ(fpga.PPIText(), "used");

  const TVQHeader report(0x7015);
  EXPECT_FALSE(report.FModeValid);
  EXPECT_FALSE(report.IsPAVData());
  EXPECT_EQ(report.ModeText(), "");
  EXPECT_FALSE(TVQHeader(0xFFFF).FModeValid);
  EXPECT_EQ(TVQHeader(0x6900).ModeText(), "Raw Data");
}

TEST(Header, IntervalMsToIndexIsThePositionInTheStep) {
  const std::pair<int, int> cases[] = {{1, 0},    {10, 0},    {10000, 0}, {2, 1},  {20000, 1}, {5, 2},
                                       {5000, 2}, {50000, -1}, {3, -1},   {0, -1}, {-10, -1}};
  for (const auto& [ms, index] : cases) EXPECT_EQ(IntervalMsToIndex(ms), index) << ms;
}

}  // namespace
