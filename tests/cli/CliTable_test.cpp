#include "cli/CliTable.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/data/PAV_DataManagement.h"
#include "support/FileText.h"

namespace {

// A phase line of the counter: code, then per channel ";" and 26 characters.
std::string PhaseLine(const std::vector<long double>& cycles) {
  std::string line = "0900";  // phase, 1000 ms
  for (long double c : cycles) {
    char field[40];
    std::snprintf(field, sizeof field, ";%26.11Lf", c);
    line += field;
  }
  return line;
}

TEST(CliTable, EmptyWithoutChannels) {
  TPAV_DataManagement store(-1, 0, false);
  EXPECT_EQ(ChannelValueTable(store, 'A'), "");
}

// Two channels 0.5 Hz and 1 Hz above 10 MHz, the first taken as nominal:
// the rows carry the store's texts, one row per channel, and Allan columns
// once deviations exist.
TEST(CliTable, RowsShowTheStoreTexts) {
  TPAV_DataManagement store(-1, 0, false);
  store.SetNomFreq(1, 10'000'000.0);
  store.SetNomFreq(2, 10'000'000.0);
  store.SetChannelName(1, "Maser H2");
  for (int n = 0; n < 12; ++n) {
    const long double t = n;
    // Channel 2 wanders by +-1e-9 cycles so its deviation is not zero.
    const long double wander = (n % 2 == 0 ? 1e-9L : -1e-9L);
    store.ExtractData(PhaseLine({1000.0L + 10'000'000.5L * t, 2000.0L + 10'000'001.0L * t + wander}), n * 1000);
  }
  const std::vector<std::string> rows = TextLines(ChannelValueTable(store, 'B'));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_NE(rows[0].find("Frequency [Hz]"), std::string::npos);
  EXPECT_NE(rows[0].find("ADEV(Freq)"), std::string::npos);
  EXPECT_NE(rows[0].find("1 s"), std::string::npos);
  EXPECT_TRUE(rows[1].starts_with("  B1   Maser H2")) << rows[1];
  EXPECT_NE(rows[1].find("10000000.50000000000"), std::string::npos) << rows[1];
  EXPECT_NE(rows[1].find("+5.0000000E-08"), std::string::npos) << rows[1];
  EXPECT_TRUE(rows[2].starts_with("  B2   ")) << rows[2];
  EXPECT_NE(rows[2].find("+1.0000000E-07"), std::string::npos) << rows[2];
  // Channel 1 runs exactly at its frequency: no deviation to show, a dash.
  EXPECT_NE(rows[2].find("E-"), rows[2].rfind("E-"));  // its relative frequency and an ADEV value
}

}  // namespace
