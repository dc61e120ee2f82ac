#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "library/core/VQ_DllCommon.h"
#include "library/core/VQ_Report.h"
#include "support/EspRecordBuilder.h"
#include "support/TestDevice.h"

namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

constexpr uint8_t kMeas100ms = 0x06;  // mode 0, interval index 6
constexpr uint8_t kMeas200ms = 0x07;
constexpr uint8_t kMeas50ms = 0x05;
constexpr uint8_t kMeasNoInterval = 0x0F;
constexpr uint32_t kSerial = 0x1A2B3C4D;

std::string VersionText(int minor) {
  return "PAV2 24ch / 1A2B3C4D 3 / FW: abc-1." + std::to_string(minor) + " D / HW:7 / IP: 0500A8C0";
}

std::string Version(int minor) {
  return EspRecordBuilder(0x70).Word(0x7001).LengthPayload(VersionText(minor)).Bytes();
}
std::string Timestamp(uint16_t fpgaTime, uint32_t count100ms) {
  return EspRecordBuilder(0x72).Word(fpgaTime).Flags(count100ms).Bytes();
}
// The FPGA time is also the value, so that each measurement shows which it is.
std::string Meas(uint8_t type, uint16_t fpgaTime, uint32_t flags = 0) {
  return EspRecordBuilder(type).Word(fpgaTime).Flags(flags).Value(fpgaTime).Bytes();
}
std::string Status(uint16_t word) { return EspRecordBuilder(0x73).Word(word).Bytes(); }
std::string Message(uint16_t code) { return EspRecordBuilder(0x70).Word(code).LengthPayload("").Bytes(); }
std::string Heartbeat() { return EspRecordBuilder(0x7D).Value(0x0102030405060708).Bytes(); }

// A report in a form the cases can spell: a measurement as its type and
// value ("06@199"), a 7016 with its count in decimal, text reports with their
// text, others by code or whole in hexadecimal.
std::string Line(const std::string& report) {
  const std::string code = HexDump(report.substr(0, 2));
  if (static_cast<uint8_t>(report[0]) < 0x70)
    return code.substr(0, 2) + "@" + std::to_string(static_cast<uint8_t>(report[2]) | static_cast<uint8_t>(report[3]) << 8);
  if (code == "7016") {
    uint32_t count = 0;
    for (std::size_t i = 2; i < report.size(); ++i) count = count << 8 | static_cast<uint8_t>(report[i]);
    return "7016 " + std::to_string(count);
  }
  if (code == "7001" || code == "7FF4" || code == "7FF7" || code == "7FFA") return code + " " + report.substr(2);
  if (code == "7EFF" || code == "7F20") return code;
  return HexDump(report);
}

class EspReportTest : public ::testing::Test {
 protected:
  EspReportTest() { device.SetPeer(TVQ_PeerType::ptESP); }

  // Every report the layer delivers now; an error as "! " + its code.
  Lines Drain() {
    Lines out;
    for (int guard = 0; guard < 1000; ++guard) {
      std::string report;
      const uint32_t before = device.GetBufferAmount();
      const TVQ_Result result = layer.GetReport(report);
      if (result != TVQ_Result::VQ_No_Err) {
        out.push_back("! " + std::string(VQ_ResultText(result)));
        lastError = report;
        continue;
      }
      if (!report.empty())
        out.push_back(Line(report));
      else if (device.GetBufferAmount() == before)
        return out;
    }
    ADD_FAILURE() << "the report layer never ran dry";
    return out;
  }
  Lines FeedAndDrain(const std::string& bytes) {
    device.Feed(bytes);
    return Drain();
  }

  TVQ_Event event;
  TVQ_ManualClock clock;
  TTestDevice device{&event, clock, -1, TVQ_DeviceType::VQ_CDC};
  TVQ_ReportDevice layer{device, 0, clock};
  std::string lastError;
};

// ---- FPGA time checks and library timestamps -----------------------------------

struct TStreamCase {
  const char* name;
  int firmwareMinor;  // firmware 1.xx; 0 = no version report
  std::vector<std::string> records;
  Lines expected;
  int64_t deviceMs = TVQ_TimestampTracker::kUnknown;
};

const std::string kVersionLine115 = "7001 VERSION PAV2 24ch / # 1A2B3C4D User 3 / abc-1.15 D / HW: 7 / IP: 192.168.0.5";

const TStreamCase kStreamCases[] = {
    {"TimestampOnTheGrid", 15, {Timestamp(0, 250)}, {"7016 250"}, 25000},
    {"TimestampOffTheGridIsDropped", 15, {Timestamp(50, 250)}, {}, 25050},
    {"IntervalEndWrapsAt20000", 15, {Meas(kMeas100ms, 19999), Meas(kMeas100ms, 99)}, {"06@19999", "06@99"}},
    {"SequenceGapGives7FF4AndKeepsTheMeasurement",
     15,
     {Meas(kMeas100ms, 19999), Meas(kMeas100ms, 199), Meas(kMeas100ms, 299)},
     {"06@19999", "7FF4 FPGA time Error, expected=99 found=199", "06@199", "06@299"}},
    {"StartOffTheIntervalEndGrid", 15, {Meas(kMeas100ms, 150)}, {"7FF4 FPGA time Error, expected=99 found=150", "06@150"}},
    {"StartBeforeTheFirstIntervalEnd",
     15,
     {Meas(kMeas100ms, 50)},
     {"7FF4 FPGA time Error, expected=19999 found=50", "06@50"}},
    {"StartOffTheIntervalStartGrid", 10, {Meas(kMeas50ms, 120)}, {"7FF4 FPGA time Error, expected=100 found=120", "05@120"}},
    {"ModeChangeRestartsTheSequence", 15, {Meas(kMeas100ms, 99), Meas(kMeas200ms, 399)}, {"06@99", "07@399"}},
    {"TimestampOffTheGridRestartsTheSequence",
     15,
     {Meas(kMeas100ms, 99), Timestamp(50, 1), Meas(kMeas100ms, 399)},
     {"06@99", "06@399"},
     199},
    {"BufferClearRestartsTheSequence", 15, {Meas(kMeas100ms, 99), Status(255), Meas(kMeas100ms, 399)},
     {"06@99", "7022", "06@399"}},
    {"ResynchronisationRestartsTheSequence", 15, {Meas(kMeas100ms, 99), Message(0x7F51), Meas(kMeas100ms, 399)},
     {"06@99", "7F51", "06@399"}},
    {"OtherMessagesKeepTheSequence", 15, {Meas(kMeas100ms, 99), Message(0x7F40), Meas(kMeas100ms, 399)},
     {"06@99", "7F40", "7FF4 FPGA time Error, expected=199 found=399", "06@399"}},
    {"UnknownIntervalIsPassedOnUnchecked",
     15,
     {Meas(kMeasNoInterval, 7), Meas(kMeasNoInterval, 3), Meas(kMeas100ms, 99)},
     {"7F20", "7F20", "06@99"}},
    {"MeasurementBeforeTheVersionIsDropped", 0, {Meas(kMeas100ms, 99), Version(15), Meas(kMeas100ms, 199)},
     {kVersionLine115, "06@199"}},
    {"Type60TakesTheFpgaTimeOneLower", 15, {Timestamp(0, 10), Meas(0x60, 0)}, {"7016 10", "60@0"}, 1099},
    {"TooManyUsers", 15, {Status(254)}, {"7FFA Too many users"}},
    // Older firmware: the 100 ms timestamps are made from the FPGA time.
    {"LibraryTimestampsAtIntervalStart",
     10,
     {Timestamp(0, 10), Meas(kMeas50ms, 50), Meas(kMeas50ms, 100), Meas(kMeas50ms, 150), Meas(kMeas50ms, 200)},
     {"7016 10", "05@50", "7016 11", "05@100", "05@150", "7016 12", "05@200"},
     1200},
    {"LibraryTimestampsAcrossTheWrap",
     10,
     {Timestamp(19900, 5), Meas(kMeas50ms, 19950), Meas(kMeas50ms, 0)},
     {"7016 5", "05@19950", "7016 6", "05@0"},
     600},
    {"LibraryTimestampFollowsThe7FF4",
     10,
     {Timestamp(0, 10), Meas(kMeas50ms, 50), Meas(kMeas50ms, 200)},
     {"7016 10", "05@50", "7FF4 FPGA time Error, expected=100 found=200", "7016 12", "05@200"},
     1200},
    {"LibraryTimestampsAtIntervalEnd",
     12,
     {Meas(kMeas50ms, 49, 10), Meas(kMeas50ms, 99, 10), Meas(kMeas50ms, 149, 11)},
     {"05@49", "05@99", "7016 11", "05@149"}},
    {"NoLibraryTimestampsForLongIntervals", 10, {Timestamp(0, 10), Meas(kMeas200ms, 200)}, {"7016 10", "07@200"}, 1000},
    {"NoLibraryTimestampsFromNewerFirmware", 15, {Timestamp(0, 10), Meas(kMeas50ms, 99)}, {"7016 10", "05@99"}, 1099},
};

class EspStreamTest : public EspReportTest, public ::testing::WithParamInterface<TStreamCase> {};

TEST_P(EspStreamTest, DeliversTheExpectedReports) {
  const TStreamCase& c = GetParam();
  if (c.firmwareMinor != 0) {
    ASSERT_EQ(FeedAndDrain(Version(c.firmwareMinor)).size(), 1u);
  }
  Lines reports;
  for (const std::string& record : c.records) {
    for (const std::string& line : FeedAndDrain(record)) reports.push_back(line);
  }
  EXPECT_EQ(reports, c.expected);
  EXPECT_EQ(layer.DeviceMs(), c.deviceMs);
}

INSTANTIATE_TEST_SUITE_P(Cases, EspStreamTest, ::testing::ValuesIn(kStreamCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- silence supervision ---------------------------------------------------------

const std::string kNoDataCheckReference = "7FF7 " + std::string(VQ_Text::NoDataCheckReference);
const std::string kNoDataRepower = "7FF7 " + std::string(VQ_Text::NoDataRepower);

struct TSilenceStep {
  std::chrono::milliseconds wait;
  std::string record;
  Lines expected;
};

struct TSilenceCase {
  const char* name;
  std::vector<TSilenceStep> steps;
};

const TSilenceCase kSilenceCases[] = {
    {"OnceUntilDataArrives",
     {{0ms, Meas(kMeas100ms, 99), {"06@99"}},
      {0ms, Timestamp(100, 1), {"7016 1"}},
      {5000ms, Heartbeat(), {"7EFF"}},
      {1000ms, Heartbeat(), {kNoDataCheckReference, "7EFF"}},
      {6000ms, Heartbeat(), {"7EFF"}},
      {0ms, Meas(kMeas100ms, 199), {"06@199"}},
      {1000ms, Heartbeat(), {"7EFF"}},
      {5000ms, Heartbeat(), {kNoDataCheckReference, "7EFF"}}}},
    {"RecentTimestampAlone", {{0ms, Timestamp(0, 1), {"7016 1"}}, {4000ms, Heartbeat(), {"7EFF"}}}},
    {"NothingSinceTheFirstRecord",
     {{0ms, Heartbeat(), {"7EFF"}}, {5000ms, Heartbeat(), {"7EFF"}}, {1ms, Heartbeat(), {kNoDataCheckReference, "7EFF"}}}},
    {"CounterWithoutReferenceAtPowerUp",
     {{0ms, Timestamp(0, 0), {"7016 0"}}, {6000ms, Heartbeat(), {kNoDataRepower, "7EFF"}}}},
    {"KnownReferenceErrorIsNotRepeated",
     {{0ms, Message(0x7FF9), {"7FF9"}}, {6000ms, Heartbeat(), {"7EFF"}}, {0ms, Message(0x7FF8), {"7FF8"}},
      {0ms, Heartbeat(), {kNoDataCheckReference, "7EFF"}}}},
};

class EspSilenceTest : public EspReportTest, public ::testing::WithParamInterface<TSilenceCase> {};

TEST_P(EspSilenceTest, Reports7FF7OncePerSilence) {
  ASSERT_EQ(FeedAndDrain(Version(15)).size(), 1u);
  int index = 0;
  for (const TSilenceStep& step : GetParam().steps) {
    clock.Advance(step.wait);
    EXPECT_EQ(FeedAndDrain(step.record), step.expected) << "step " << index++;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, EspSilenceTest, ::testing::ValuesIn(kSilenceCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- version report ----------------------------------------------------------------

TEST_F(EspReportTest, VersionReportGivesTheDeviceItsIdentity) {
  EXPECT_EQ(layer.SendCommand(std::string(1, '\x01')), TVQ_Result::VQ_No_Err);  // queued: no command list
  ASSERT_EQ(layer.GetPendingCmdsCount(), 1);

  EXPECT_EQ(FeedAndDrain(Version(15)), Lines{kVersionLine115});
  EXPECT_EQ(layer.GetPendingCmdsCount(), 0) << "the answered version command is not written any more";
  EXPECT_TRUE(device.Written().empty());
  EXPECT_TRUE(layer.VersionReceived());
  EXPECT_EQ(device.FirmwareVersionNumber(), 115);
  int major = 0;
  int minor = 0;
  device.GetESPFirmwareVersion(major, minor);
  EXPECT_EQ(major, 1);
  EXPECT_EQ(minor, 15);
  EXPECT_EQ(device.GetUserID(), 3);
  EXPECT_EQ(device.FPGAVersion(), "7");
  EXPECT_EQ(device.GetSerialNumberValue(), kSerial);
  EXPECT_TRUE(DeviceInfoList().GetInfo(kSerial).has_value());

  EXPECT_EQ(FeedAndDrain(Version(16)), Lines{}) << "a second version report is dropped";
  EXPECT_EQ(device.FirmwareVersionNumber(), 115);
}

TEST_F(EspReportTest, InvalidVersionReportAsksAgain) {
  const std::string invalid = EspRecordBuilder(0x70).Word(0x7001).LengthPayload("PAV2 / 1A2B3C4D 2 / garbage").Bytes();
  EXPECT_EQ(FeedAndDrain(invalid), Lines{});
  EXPECT_EQ(device.Written(), std::vector<std::string>{std::string(1, '\x01')});
  EXPECT_FALSE(layer.VersionReceived());
  EXPECT_EQ(FeedAndDrain(Meas(kMeas100ms, 99)), Lines{}) << "still no version: measurements are dropped";

  EXPECT_EQ(FeedAndDrain(Version(15) + Meas(kMeas100ms, 199)), (Lines{kVersionLine115, "06@199"}));
}

// ---- bytes that are no record -------------------------------------------------------

struct TBadCase {
  const char* name;
  std::string bad;
  const char* message;  // start of the error text
};

const TBadCase kBadCases[] = {
    {"BrokenCheckSum", EspRecordBuilder(0x72).Word(0).Flags(1).BreakCheckSum().Bytes(), "GetReport: CheckSum: "},
    {"NoMagic", "garbage bytes before a record", "GetReport: Magic: 67617262"},
    {"TooManyValues", EspRecordBuilder(0x77).ValueCount(25).Bytes(), "GetReport: ValueCount: 25"},
};

class EspBadRecordTest : public EspReportTest, public ::testing::WithParamInterface<TBadCase> {};

TEST_P(EspBadRecordTest, FormatErrorThenTheNextRecord) {
  const TBadCase& c = GetParam();
  // The first error after opening is dropped as noise; a good record ends that.
  ASSERT_EQ(FeedAndDrain(Timestamp(0, 1)), Lines{"7016 1"});
  EXPECT_EQ(FeedAndDrain(c.bad + Timestamp(0, 2) + Timestamp(0, 3)), (Lines{"! VQ_Err_BadFormat", "7016 2", "7016 3"}));
  EXPECT_EQ(lastError.rfind(c.message, 0), 0u) << lastError;
}

INSTANTIATE_TEST_SUITE_P(Cases, EspBadRecordTest, ::testing::ValuesIn(kBadCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EspReportTest, CheckSumErrorNamesBothValues) {
  ASSERT_EQ(FeedAndDrain(Timestamp(0, 1)), Lines{"7016 1"});
  std::string broken = Timestamp(0, 2);
  broken[15] = 0x10;  // the right checksum is $73: the bytes now sum to $9D
  FeedAndDrain(broken);
  EXPECT_EQ(lastError, "GetReport: CheckSum: 10 Sum: 9D");
}

TEST_F(EspReportTest, MagicSplitAcrossArrivalsIsFoundAfterGarbage) {
  ASSERT_EQ(FeedAndDrain(Timestamp(0, 1)), Lines{"7016 1"});
  const std::string next = Timestamp(0, 2);
  EXPECT_EQ(FeedAndDrain("xxxxxxxxxxxxxxxxxx" + next.substr(0, 3)), Lines{"! VQ_Err_BadFormat"});
  EXPECT_EQ(FeedAndDrain(next.substr(3)), Lines{"7016 2"});
}

TEST_F(EspReportTest, FirstFormatErrorAfterOpeningIsDropped) {
  EXPECT_EQ(FeedAndDrain("junk" + Timestamp(0, 1)), Lines{"7016 1"});
}

// A record that has partly arrived waits for the rest, whichever byte it was cut at.
TEST_F(EspReportTest, SameReportsWholeAndSplitAtEveryByte) {
  const std::string stream = Version(10) + Timestamp(0, 10) + Meas(kMeas50ms, 50) + Meas(kMeas50ms, 100) +
                             Heartbeat() + Meas(kMeas50ms, 200);
  const Lines expected = FeedAndDrain(stream);
  ASSERT_EQ(expected.size(), 9u);
  for (std::size_t split = 0; split <= stream.size(); ++split) {
    TTestDevice splitDevice(&event, clock, -1, TVQ_DeviceType::VQ_CDC);
    splitDevice.SetPeer(TVQ_PeerType::ptESP);
    TVQ_ReportDevice splitLayer(splitDevice, 0, clock);
    Lines reports;
    for (const std::string& part : {stream.substr(0, split), stream.substr(split)}) {
      splitDevice.Feed(part);
      std::string report;
      for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(splitLayer.GetReport(report), TVQ_Result::VQ_No_Err) << split;
        if (!report.empty()) reports.push_back(Line(report));
      }
    }
    ASSERT_EQ(reports, expected) << "split at " << split;
  }
}

// ---- device errors --------------------------------------------------------------------

TEST_F(EspReportTest, OverflowRestartsTheSequence) {
  ASSERT_EQ(FeedAndDrain(Version(15) + Meas(kMeas100ms, 99)).size(), 2u);
  device.SetError(TVQ_Result::VQ_Err_ReceiveBufferOverflow, "overflow");
  EXPECT_EQ(Drain(), Lines{"! VQ_Err_ReceiveBufferOverflow"});
  EXPECT_EQ(lastError, "overflow");
  EXPECT_EQ(FeedAndDrain(Meas(kMeas100ms, 499)), Lines{"06@499"});
}

TEST_F(EspReportTest, RecoveryIsReportedBeforeTheRecordItCameWith) {
  ASSERT_EQ(FeedAndDrain(Version(15)).size(), 1u);
  device.SetError(TVQ_Result::VQ_No_Err_Recovered, "recovered");
  device.Feed(Meas(kMeas100ms, 99) + Meas(kMeas100ms, 199));
  std::string report;
  EXPECT_EQ(layer.GetReport(report), TVQ_Result::VQ_No_Err_Recovered);
  EXPECT_EQ(report, "recovered");
  EXPECT_EQ(Drain(), (Lines{"06@99", "06@199"}));
}

// A recording of an ESP counter replayed from a binary file: detected by its
// first checked record; its measurements need no version report first.
TEST(EspRecordedFile, IsDetectedAndReplayed) {
  TVQ_Event event;
  TTestDevice device(&event, SystemClock(), -1, TVQ_DeviceType::VQ_BinFile);
  TVQ_ReportDevice layer(device, 0);
  device.Feed(Timestamp(0, 250) + Meas(kMeas100ms, 0) + Meas(kMeas100ms, 100));
  Lines lines;
  for (int i = 0; i < 10; ++i) {
    std::string report;
    if (layer.GetReport(report) != TVQ_Result::VQ_No_Err || report.empty()) continue;
    lines.push_back(Line(report));
  }
  EXPECT_EQ(device.PeerType(), TVQ_PeerType::ptESP);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "7016 250");
  EXPECT_EQ(lines.back(), "06@100");
}

}  // namespace
