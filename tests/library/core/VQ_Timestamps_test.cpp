#include "library/core/VQ_Timestamps.h"

#include <gtest/gtest.h>

#include "support/TempFolder.h"
#include "library/core/LogUnit.h"

#include <fstream>
#include <sstream>

namespace {

std::string Report(uint16_t code, std::initializer_list<int> payload = {}) {
  std::string s{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
  for (int b : payload) s += static_cast<char>(b);
  return s;
}

// Binary report of a timestamp with a 32-bit value, high byte first.
std::string Stamp(uint16_t code, uint32_t value) {
  return Report(code, {int(value >> 24), int(value >> 16 & 0xFF), int(value >> 8 & 0xFF), int(value & 0xFF)});
}

TEST(TimestampTracker, TimestampsSetTheClockAndMeasurementsMoveIt) {
  TVQ_TimestampTracker t(-1, "T");
  t.CheckTimestamps(Report(0x0600), false);  // no clock yet: nothing moves
  EXPECT_EQ(t.DeviceMs(), TVQ_TimestampTracker::kUnknown);

  t.CheckTimestamps(Stamp(0x7016, 50), false);
  EXPECT_EQ(t.DeviceMs(), 5000);
  t.CheckTimestamps(Report(0x0600), false);  // interval index 6 = 100 ms
  EXPECT_EQ(t.DeviceMs(), 5000);
  t.CheckTimestamps(Report(0x8600), false);  // lost-data bit does not matter
  EXPECT_EQ(t.DeviceMs(), 5100);
  EXPECT_EQ(t.DeviceMsCount(), 2);

  t.CheckTimestamps(Stamp(0x7015, 12), false);
  EXPECT_EQ(t.DeviceMs(), 12000);
  EXPECT_EQ(t.Device100ms(), 120u);
  EXPECT_EQ(t.DeviceMsCount(), 0);
}

TEST(TimestampTracker, InvalidIntervalIndicesDoNotMoveTheClock) {
  TVQ_TimestampTracker t(-1, "T");
  t.CheckTimestamps(Stamp(0x7015, 1), false);
  for (uint16_t header : {0x0E00, 0x0F00, 0x0E00}) t.CheckTimestamps(Report(header), false);
  EXPECT_EQ(t.DeviceMs(), 1000);
  t.CheckTimestamps(Report(0x0D00), false);  // 20 s
  EXPECT_EQ(t.DeviceMs(), 21000);
}

TEST(TimestampTracker, LongRunsDoNotWrap) {
  TVQ_TimestampTracker t(-1, "T");
  t.CheckTimestamps(Stamp(0x7015, 4294967295u), false);  // the largest count of seconds
  EXPECT_EQ(t.DeviceMs(), 4294967295000);
  EXPECT_EQ(t.Device100ms(), 42949672950u);
  t.CheckTimestamps(Stamp(0x7016, 4294967295u), false);
  EXPECT_EQ(t.DeviceMs(), 429496729500);
}

TEST(TimestampTracker, ShortOrForeignReportsChangeNothing) {
  TVQ_TimestampTracker t(-1, "T");
  t.CheckTimestamps(Stamp(0x7015, 7), false);
  for (const std::string& r : {std::string(), std::string(1, '\x70'), Report(0x7015, {0, 0, 1}), Stamp(0x7001, 99)})
    t.CheckTimestamps(r, false);
  EXPECT_EQ(t.DeviceMs(), 7000);
}

TEST(TimestampTracker, TextLines) {
  TVQ_TimestampTracker t(-1, "T");
  t.CheckTimestampsTextReport("7016; 50", false);
  EXPECT_EQ(t.DeviceMs(), 5000);
  t.CheckTimestampsTextReport("0600; 1,5; 2,5", false);
  t.CheckTimestampsTextReport("8600; 1,5", false);
  EXPECT_EQ(t.DeviceMs(), 5100);
  t.CheckTimestampsTextReport("7015; 12 ", false);
  EXPECT_EQ(t.DeviceMs(), 12000);
  for (const char* bad : {"7015; x", "7015;", "7015", "70", "7015; -3", "zz15; 1"}) t.CheckTimestampsTextReport(bad, false);
  EXPECT_EQ(t.DeviceMs(), 12000);
}

TEST(TimestampTracker, StepsAreLoggedWithGroupedMilliseconds) {
  TTempFolder folder;
  const int log = NewLog();
  SetLogFile(log, folder.File("ts.txt"), false);
  TVQ_TimestampTracker t(log, "TVQ_ReportDevice[0]");
  t.CheckTimestamps(Stamp(0x7015, 1234), true);
  t.CheckTimestamps(Report(0x0600), true);
  t.CheckTimestampsTextReport("7015; 2", true);
  SetLogFile(log, "", false);
  std::ifstream in(folder.File("ts.txt"), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("TVQ_ReportDevice[0].CheckTimestamps 7016=12340 FDeviceMs=1.234.000\r\n"), std::string::npos);
  EXPECT_NE(text.str().find("TVQ_ReportDevice[0].CheckTimestamps Measurement ms=100 FDeviceMs=1.234.000\r\n"),
            std::string::npos);
  EXPECT_NE(text.str().find("TVQ_ReportDevice[0].CheckTimestampsTextReport 7015=2 FDeviceMs=2.000\r\n"),
            std::string::npos);
}

TEST(GroupedNumber, ThousandsSeparatedByPoints) {
  EXPECT_EQ(GroupedNumber(0), "0");
  EXPECT_EQ(GroupedNumber(999), "999");
  EXPECT_EQ(GroupedNumber(1000), "1.000");
  EXPECT_EQ(GroupedNumber(-1234567), "-1.234.567");
}

}  // namespace
