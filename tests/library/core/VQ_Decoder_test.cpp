#include "library/core/VQ_Decoder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "library/core/LogUnit.h"
#include "library/core/VQ_Report.h"
#include "support/FileText.h"
#include "support/FakeDecoderHost.h"
#include "support/TempFolder.h"
#include "support/TestDevice.h"

namespace {

// Bytes from hex text ("70 15 00 00 00 01"); blanks are ignored.
std::string Bytes(std::string_view hex) {
  std::string out;
  std::string digits;
  for (char c : hex)
    if (c != ' ') digits += c;
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
    out += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
  return out;
}

std::string Report(uint16_t code, std::string_view payload) { return BinaryReport(code, payload); }

// A simulated counter's double, least significant byte first.
std::string Double(double v) {
  char bytes[8];
  std::memcpy(bytes, &v, 8);
  return std::string(bytes, 8);
}

class DecoderTest : public ::testing::Test {
 protected:
  TFakeDecoderHost host;
  TVQ_ReportDecoder decoder{host, -1, "TSourceItem[1]"};
};

// A phase value of 1.0 on a byte-stream counter (exponent 1, mantissa 2^34)
// and its field.
const std::string kBinOne = Bytes("10 00 04 00 00 00 00");
const std::string kBinOneField = ";" + std::string(13, ' ') + "1.00000000000";

struct TLineCase {
  const char* name;
  std::string report;
  std::string line;
};

// ---- the report vocabulary ------------------------------------------------------

TEST_F(DecoderTest, ByteStreamReportsBecomeTheirLines) {
  host.FUserID = 3;
  const TLineCase cases[] = {
      {"tick", Report(0x7000, ""), "7000;"},
      {"version cut after User", Report(0x7001, "VERSION PAV 3.1 User 2 / more\r\n"),
       "7001VERSION PAV 3.1 User  / 20.2.5 24-08-09"},
      {"version without user", Report(0x7001, " VERSION X \r\n"), "7001VERSION X / 20.2.5 24-08-09"},
      {"status word", Report(0x7002, Bytes("12 AB")), "7002; $12AB"},
      {"block done", Report(0x7003, ""), "7003; Block done"},
      {"two status words", Report(0x7004, Bytes("00 01 FF FE")), "7004; $0001, $FFFE"},
      {"24-bit value", Report(0x7005, Bytes("01 02 03")), "7005; $010203"},
      {"timestamp", Report(0x7015, Bytes("00 00 01 00")), "7015; 256"},
      {"full second of 100 ms", Report(0x7016, Bytes("00 00 04 CE")), "7015; 123"},
      {"100 ms off the second", Report(0x7016, Bytes("00 00 04 CF")), "7000;"},
      {"header changed", Report(0x7020, Bytes("29 30")), "7020; $2930"},
      {"channel selection dropped", Report(0x7021, Bytes("00 0F")), ""},
      {"buffer cleared", Report(0x7022, ""), "7022; Buffer cleared"},
      {"raw block", Report(0x7040, Bytes("0A 1B")), "7040; 0A1B"},
      {"extended status", Report(0x7055, Bytes("01 0203 0405 0607 0809 0A0B 0C0D 0E0F")),
       "7055; $01; $0203; $0405; $0607; $0809; $0A0B; $0C0D; $0E0F"},
      {"repeated second dropped", Report(0x7114, Bytes("00 00 00 05")), ""},
      {"extended status 2", Report(0x79A0, Bytes("01 0203 04050607 08090A0B")),
       "79A0; $01; $0203; $04050607; $08090A0B"},
      {"byte dump", Report(0x7ADC, Bytes("01 FF")), "7ADC 01 FF"},
      {"structured dump", Report(0x7ADD, Bytes("01020304 0506 0708 090A 0B0C 0D0E 0F10")),
       "7ADD 01020304 0506 0708 090A 0B0C 0D0E 0F10"},
      {"status word 2", Report(0x7D1A, Bytes("BE EF")), "7D1A; $BEEF"},
      {"memory word", Report(0x7E1A, Bytes("01 02 03 0405 0607 0809 0A0B")),
       "7E1A; $01=$03: $0405; $0607; $0809; $0A0B"},
      {"memory", Report(0x7E1B, Bytes("01 0203 0405 0607 08 090A")), "7E1B; $01; $0203; $0405; $0607; $090A"},
      {"overflow", Report(0x7F23, ""), "7F23; Buffer cleared after buffer overflow"},
      {"re-sync", Report(0x7F51, " Measurement re-synchronized\r"), "7F51: Measurement re-synchronized"},
      {"overrun", Report(0x7FF2, "Input overrun "), "7FF2: Input overrun"},
      {"reference ok", Report(0x7FF8, "Ref ok"), "7FF8: Ref ok"},
      {"reference error", Report(0x7FF9, "Ref lost"), "7FF9: Ref lost"},
      {"user in use", Report(0x7FFA, "Too many users"), "7FFA: UserID 3 already in use"},
      {"PVH block", Report(0x7902, Bytes("01 02")), "7902; from device 0102"},
      {"calibration", Report(0x7901, Bytes("00 00 09 C4")), "7901;         2.500;"},
      {"heartbeat is Coldfire text", Report(0x7EFF, " x "), "7EFF: x"},
      {"other message", Report(0x7ABC, "  hello  "), "7ABC: hello"},
  };
  for (const TLineCase& c : cases) EXPECT_EQ(decoder.ProcessBinReport(c.report, false), c.line) << c.name;
}

TEST_F(DecoderTest, ReportsShorterThanTheirLayoutPassOnTheirBytes) {
  const TLineCase cases[] = {
      {"timestamp", Report(0x7015, Bytes("00 01")), "7015: 0001"},
      {"100 ms", Report(0x7016, ""), "7016: "},
      {"header changed", Report(0x7020, Bytes("29")), "7020: 29"},
      {"extended status", Report(0x7055, std::string(14, '\x01')), "7055: 0101010101010101010101010101"},
      {"extended status 2", Report(0x79A0, std::string(10, '\0')), "79A0: " + std::string(20, '0')},
      {"memory word", Report(0x7E1A, std::string(10, '\0')), "7E1A: " + std::string(20, '0')},
      {"memory", Report(0x7E1B, std::string(9, '\0')), "7E1B: " + std::string(18, '0')},
      {"structured dump", Report(0x7ADD, std::string(15, '\0')), "7ADD: " + std::string(30, '0')},
      {"status word", Report(0x7002, Bytes("12")), "7002: 12"},
  };
  for (const TLineCase& c : cases) EXPECT_EQ(decoder.ProcessBinReport(c.report, false), c.line) << c.name;
  EXPECT_TRUE(decoder.ProcessBinReport(Bytes("70"), false).empty());
  EXPECT_EQ(host.FReceivedSec, 0u);
}

TEST_F(DecoderTest, EspReportsBecomeTheirLines) {
  host.FUserID = 255;
  const TLineCase cases[] = {
      {"version", Report(0x7001, "VERSION PAV2 / # 00000010 User 1 / fw"),
       "7001VERSION PAV2 / # 00000010 User 1 / fw / SW: 20.2.5 24-08-09"},
      {"feature word, low byte first", Report(0x7019, Bytes("03 00 01 00")), "7019; $10003"},
      {"short feature word", Report(0x7019, Bytes("01")), "7019; $0001"},
      {"heartbeat fields", Report(0x7EFF, ";00000001;00000002"), "7EFF;00000001;00000002"},
      {"word list", Report(0x7100, " 0000000A 0000000B"), "7100: 0000000A 0000000B"},
      {"status 253", Report(0x7EFE, ""), "7EFE: "},
      {"unknown record", Report(0x7F20, "50415632"), "7F20: 50415632"},
      {"user in use, id unknown", Report(0x7FFA, "Too many users"), "7FFA: Too many users"},
      {"Coldfire-only layout", Report(0x7002, "text"), "7002: text"},
      {"repeated second is Coldfire only", Report(0x7114, "x"), "7114: x"},
      {"no measurement data", Report(0x7FF7, std::string(VQ_Text::NoDataCheckReference)),
       "7FF7: " + std::string(VQ_Text::NoDataCheckReference)},
  };
  for (const TLineCase& c : cases) EXPECT_EQ(decoder.ProcessBinReport(c.report, true), c.line) << c.name;
}

TEST_F(DecoderTest, SimulatedReportsBecomeTheirLines) {
  const TLineCase cases[] = {
      {"version", Report(0x7001, "VERSION Simulator: 5.0 240729"),
       "7001VERSION Simulator: 5.0 240729 / 20.2.5 24-08-09"},
      {"timestamp", Report(0x7016, Bytes("00 00 00 0A")), "7015; 1"},
      {"header changed", Report(0x7020, Bytes("03 00")), "7020; $0300"},
      {"digital inputs", Report(0x7100, " FFFFFFFE"), "7100: FFFFFFFE"},
      {"re-sync has no fields", Report(0x7F51, "Measurement re-synchronized"), "7F51"},
      {"status word has no fields", Report(0x7002, Bytes("00 01")), "7002"},
      {"channel selection dropped", Report(0x7021, ""), ""},
      {"PVH line already made", "7902; 10000000;0;1", "7902; 10000000;0;1"},
      {"time intervals", Report(0x7900, Double(3.3e6) + Double(-0.001)), "7900;   3300000.00;        -0.00;"},
  };
  for (const TLineCase& c : cases) EXPECT_EQ(decoder.ProcessDemoReport(c.report), c.line) << c.name;
}

// ---- measurements ---------------------------------------------------------------

TEST_F(DecoderTest, MeasurementLineStartsWithTheHeaderWithoutTheLostBit) {
  EXPECT_EQ(decoder.ProcessBinReport(Report(0x0930, kBinOne), false), "0930" + kBinOneField);
  EXPECT_EQ(decoder.ProcessBinReport(Report(0x8930, kBinOne), false).substr(0, 4), "0930");
  EXPECT_EQ(decoder.State.FDataHeader, 0x0930u);
  EXPECT_EQ(decoder.State.FLastPavHeader, 0x0930u);
  EXPECT_EQ(decoder.ProcessDemoReport(Report(0x0900, Double(1.0e7))),
            "0900;" + std::string(6, ' ') + "10000000.00000000000");
}

TEST_F(DecoderTest, RawDataOnlyWithTheRawDataOption) {
  const std::string raw = Report(0x6900, Bytes("01 02 03 04 05 06 07"));
  EXPECT_EQ(decoder.ProcessBinReport(raw, false), "7FF0; unsupported mode");
  EXPECT_EQ(decoder.ProcessBinReport(Report(0x6900, std::string(8, '\0')), true), "7FF0; unsupported mode");
  decoder.Options.OptRawData = true;
  EXPECT_EQ(decoder.ProcessBinReport(raw, false), "6900; 0102,0304,0506");
}

TEST_F(DecoderTest, MeasurementsAreCutToTwentyFourChannels) {
  std::string values;
  for (int i = 0; i < 25; ++i) values += kBinOne;
  std::string expected = "0930";
  for (int i = 0; i < 24; ++i) expected += kBinOneField;
  EXPECT_EQ(decoder.ProcessBinReport(Report(0x0930, values), false), expected);

  // ESP counters too: the per-channel state has 24 entries.
  std::string espValues;
  for (int i = 0; i < 30; ++i) espValues += Double(1000.0);
  const std::string espLine = decoder.ProcessBinReport(Report(0x2930, espValues), true);
  EXPECT_EQ(espLine.size(), 4u + 24u * 27u);
}

TEST_F(DecoderTest, PackedReportYieldsOneLinePerMeasurement) {
  // Three measurements of one channel each behind the packed header F2 0930.
  const std::string packed = Bytes("F2 09 30") + kBinOne + kBinOne + kBinOne;
  EXPECT_EQ(decoder.ProcessBinReport(packed, false), "0930" + kBinOneField);
  EXPECT_TRUE(decoder.PackedPending());
  EXPECT_EQ(decoder.ProcessPackedReport(), "0930" + kBinOneField);
  EXPECT_EQ(decoder.ProcessPackedReport(), "0930" + kBinOneField);
  EXPECT_FALSE(decoder.PackedPending());
  EXPECT_TRUE(decoder.ProcessPackedReport().empty());
}

TEST_F(DecoderTest, LastPackedReportMayBeShorterThanTheRoundedShare) {
  // Fourteen measurements in 189 bytes: the share rounds 13.5 up to 14 (two
  // channels), which leaves 7 bytes (one channel) for the last one.
  std::string values;
  for (int i = 0; i < 27; ++i) values += kBinOne;
  EXPECT_EQ(decoder.ProcessBinReport(Bytes("FD 09 30") + values, false), "0930" + kBinOneField + kBinOneField);
  std::vector<std::string> lines;
  while (decoder.PackedPending()) lines.push_back(decoder.ProcessPackedReport());
  ASSERT_EQ(lines.size(), 13u);
  EXPECT_EQ(lines[11], "0930" + kBinOneField + kBinOneField);
  EXPECT_EQ(lines[12], "0930" + kBinOneField);
}

TEST_F(DecoderTest, BytesBeyondTheLastWholeValueAreIgnored) {
  EXPECT_EQ(decoder.ProcessBinReport(Report(0x0930, kBinOne + Bytes("10 00 04")), false), "0930" + kBinOneField);
}

TEST_F(DecoderTest, LostDataBitResetsTheChecks) {
  decoder.ProcessBinReport(Report(0x7015, Bytes("00 00 00 01")), false);
  decoder.ProcessBinReport(Report(0x0930, kBinOne), false);
  ASSERT_TRUE(decoder.State.FFirstTimestampReceived);
  decoder.State.FFirstCheckPending = false;
  decoder.ProcessBinReport(Report(0x8930, kBinOne), false);
  EXPECT_FALSE(decoder.State.FFirstTimestampReceived);
  EXPECT_TRUE(decoder.State.FFirstDataReceived);  // set again by this measurement
  EXPECT_TRUE(decoder.State.FFirstCheckPending);
}

// ---- counters of the data-rate check -----------------------------------------------

TEST_F(DecoderTest, TimestampsAndMeasurementsAreCounted) {
  const std::string second = Report(0x7015, Bytes("00 00 00 07"));
  const std::string data = Report(0x0930, kBinOne);
  decoder.ProcessBinReport(data, false);  // before any timestamp: not counted
  EXPECT_EQ(decoder.State.dataPerSecondCounter, 0);
  decoder.ProcessBinReport(second, false);
  EXPECT_EQ(host.FReceivedSec, 7u);
  EXPECT_EQ(decoder.State.FTimestampCounter, 1);  // measurements were flowing
  decoder.ProcessBinReport(data, false);
  decoder.ProcessBinReport(data, false);
  EXPECT_EQ(decoder.State.dataPerSecondCounter, 2);
  decoder.ProcessBinReport(second, false);
  EXPECT_EQ(decoder.State.dataPerSecondCounter_copy, 2);
  EXPECT_EQ(decoder.State.dataPerSecondCounter, 0);
  EXPECT_EQ(decoder.State.FTimestampCounter, 2);
  EXPECT_EQ(decoder.State.FLastPavHeader, 0x0930u);  // 7015 leaves it
  decoder.ProcessBinReport(Report(0x7016, Bytes("00 00 00 0B")), false);
  EXPECT_EQ(decoder.State.FLastPavHeader, 0x7016u);
}

TEST_F(DecoderTest, HundredMillisecondTimestampOffTheSecond) {
  const std::string tick = Report(0x7016, Bytes("00 00 04 CF"));  // 1231
  EXPECT_EQ(decoder.ProcessBinReport(tick, false), "7000;");
  decoder.Options.Send7016 = true;
  EXPECT_EQ(decoder.ProcessBinReport(tick, false), "7016; 1231");
  host.FRateLine = "7F22: Measurement missing: expected 1, found 0";
  EXPECT_EQ(decoder.ProcessBinReport(tick, false), host.FRateLine);
  EXPECT_EQ(host.FRateChecks, 3);
  // On the full second the problem follows the 7015 line.
  EXPECT_EQ(decoder.ProcessBinReport(Report(0x7016, Bytes("00 00 04 D8")), false), "7015; 124");
  EXPECT_EQ(decoder.State.FKeptLine, host.FRateLine);
  EXPECT_EQ(host.FRateCodes, std::vector<uint16_t>(4, 0x7016));
  EXPECT_EQ(host.FReceivedSec, 124u);
}

TEST_F(DecoderTest, RepeatedSecondDropsTheMeasurementsOfThatSecond) {
  const std::string data = Report(0x0930, kBinOne);
  decoder.ProcessBinReport(Report(0x7015, Bytes("00 00 00 05")), false);
  for (int i = 0; i < 3; ++i) decoder.ProcessBinReport(data, false);

  // A second the device has not seen yet opens no window.
  EXPECT_TRUE(decoder.ProcessBinReport(Report(0x7114, Bytes("00 00 00 06")), false).empty());
  EXPECT_EQ(decoder.State.ignoreDataPerSecondCounter, 0);

  EXPECT_TRUE(decoder.ProcessBinReport(Report(0x7115, Bytes("00 00 00 05")), false).empty());
  EXPECT_EQ(decoder.State.ignoreDataPerSecondCounter, 3);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(decoder.ProcessBinReport(data, false).empty()) << i;
  EXPECT_EQ(decoder.ProcessBinReport(data, false), "0930" + kBinOneField);
}

TEST_F(DecoderTest, RepeatedSecondAfterABufferClearUsesTheCountBeforeTheClear) {
  decoder.ProcessBinReport(Report(0x7015, Bytes("00 00 00 05")), false);
  decoder.State.dataPerSecondCounterReset = 2;  // what the source saved at the clear
  decoder.ProcessBinReport(Report(0x7114, Bytes("00 00 00 04")), false);
  EXPECT_EQ(decoder.State.ignoreDataPerSecondCounter, 2);
}

TEST_F(DecoderTest, IgnoreWindowCountsDownPackedReports) {
  decoder.State.ignoreDataPerSecondCounter = 2;
  const std::string packed = Bytes("F2 09 30") + kBinOne + kBinOne + kBinOne;
  EXPECT_TRUE(decoder.ProcessBinReport(packed, false).empty());
  EXPECT_TRUE(decoder.ProcessPackedReport().empty());
  EXPECT_EQ(decoder.ProcessPackedReport(), "0930" + kBinOneField);
  EXPECT_FALSE(decoder.PackedPending());
}

TEST_F(DecoderTest, ReportsThatResetTheChecks) {
  struct TCase {
    const char* name;
    std::string report;
    bool esp;
    bool resets;
  };
  const TCase cases[] = {
      {"header changed", Report(0x7020, Bytes("09 30")), false, true},
      {"buffer cleared", Report(0x7022, ""), false, true},
      {"overflow", Report(0x7F23, ""), false, true},
      {"re-sync", Report(0x7F51, "x"), false, true},
      {"overrun", Report(0x7FF2, "overrun"), false, true},
      {"scrambler notice", Report(0x7FF2, "Scrambler in use!"), false, false},
      {"scrambler notice on ESP", Report(0x7FF2, "Scrambler in use!"), true, true},
      {"reference error", Report(0x7FF9, "x"), false, false},
      {"status", Report(0x7002, Bytes("00 00")), false, false},
  };
  for (const TCase& c : cases) {
    decoder.ResetTimestampDataCounter();
    decoder.ProcessBinReport(Report(0x7015, Bytes("00 00 00 01")), c.esp);
    decoder.State.FFirstCheckPending = false;
    decoder.ProcessBinReport(c.report, c.esp);
    EXPECT_EQ(!decoder.State.FFirstTimestampReceived, c.resets) << c.name;
    EXPECT_EQ(decoder.State.FFirstCheckPending, c.resets) << c.name;
  }
}

TEST_F(DecoderTest, ReferenceClockAndResyncReachTheSource) {
  decoder.ProcessBinReport(Report(0x0930, kBinOne), false);
  decoder.ProcessBinReport(Report(0x7FF9, "lost"), false);
  EXPECT_EQ(decoder.State.FDataHeader, 0x0930u);
  decoder.ProcessBinReport(Report(0x7FF8, "ok"), false);
  EXPECT_EQ(host.FRefClock, (std::vector<bool>{true, false}));
  EXPECT_EQ(decoder.State.FDataHeader, TVQ_DecodeState::kNoHeader);  // phase data reset
  decoder.ProcessBinReport(Report(0x7F51, "x"), false);
  EXPECT_EQ(host.FReSyncs, 1);
  decoder.ProcessBinReport(Report(0x7001, "VERSION"), false);
  EXPECT_EQ(host.FVersions, 1);
}

TEST_F(DecoderTest, PhaseContinuesUntilThePhaseDataAreReset) {
  // 0.9 then 0.1 with exponent 1: a wrap of 2^18 cycles.
  const std::string high = Report(0x0930, Bytes("10 00 03 99 99 99 9A"));
  const std::string low = Report(0x0930, Bytes("10 00 00 66 66 66 66"));
  decoder.ProcessBinReport(high, false);
  EXPECT_EQ(decoder.ProcessBinReport(low, false).substr(4), ";" + std::string(8, ' ') + "262144.09999999998");
  decoder.ResetPhaseData();
  EXPECT_EQ(decoder.ProcessBinReport(low, false).substr(4), ";" + std::string(13, ' ') + "0.09999999998");
}

TEST_F(DecoderTest, QmtLinesAndTheirSyncErrors) {
  // New format, one group: a = 3, b = 1, c = 0 gives (3 - 1) / 2000 x 100.
  const std::string group = Bytes("83 00 01 00 00 00 00");
  EXPECT_EQ(decoder.ProcessBinReport(Report(0x7900, group), false), "7900;         0.10;");
  EXPECT_TRUE(decoder.State.FQMTReceived);
  EXPECT_EQ(host.FReceivedSec, 1u);  // time intervals without timestamps still count as data
  // 13 bytes once a QMT line was delivered: the sync error line.
  EXPECT_EQ(decoder.ProcessBinReport(Report(0x7900, std::string(13, '\x80')), false),
            "7F90: Sync Error with QMT data");
  // A real second is not overwritten.
  host.FReceivedSec = 50;
  decoder.ProcessBinReport(Report(0x7900, group), false);
  EXPECT_EQ(host.FReceivedSec, 50u);
}

// ---- text lines -----------------------------------------------------------------

TEST_F(DecoderTest, TextLinesOnlyKeepTheChecks) {
  decoder.ProcessTxtReport("7015; 10");
  EXPECT_TRUE(decoder.State.FFirstTimestampReceived);
  decoder.ProcessTxtReport("0930;   1.0");
  decoder.ProcessTxtReport("0930;   1.0");
  EXPECT_EQ(decoder.State.FDataHeader, 0x0930u);
  EXPECT_EQ(decoder.State.dataPerSecondCounter, 2);
  decoder.ProcessTxtReport("7015; 11");
  EXPECT_EQ(decoder.State.dataPerSecondCounter_copy, 2);
  EXPECT_EQ(decoder.State.FTimestampCounter, 1);
  decoder.ProcessTxtReport("7900;        1.00;");
  EXPECT_TRUE(decoder.State.FQMTReceived);
  decoder.ProcessTxtReport("7F51: resync");
  EXPECT_EQ(host.FReSyncs, 1);
  EXPECT_FALSE(decoder.State.FFirstTimestampReceived);
  decoder.ProcessTxtReport("7FF9: lost");
  decoder.ProcessTxtReport("7FF8: ok");
  EXPECT_EQ(host.FRefClock, (std::vector<bool>{true, false}));
  decoder.ProcessTxtReport("xyz");  // no code: nothing happens
  decoder.ProcessTxtReport("");
}

// ---- debug lines ------------------------------------------------------------------

TEST(DecoderLog, CutsAndShortReportsAreLogged) {
  TTempFolder folder;
  const int logId = NewLog();
  SetLogFile(logId, folder.File("decoder.txt"), false);
  TFakeDecoderHost host;
  TVQ_ReportDecoder decoder(host, logId, "TSourceItem[4]");
  std::string values;
  for (int i = 0; i < 25; ++i) values += kBinOne;
  decoder.ProcessBinReport(Report(0x0930, values), false);
  decoder.ProcessBinReport(Report(0x7055, "x"), false);
  decoder.ProcessBinReport(Report(0x7021, ""), false);
  SetLogFile(logId, "", false);

  const std::string log = ReadFile(folder.File("decoder.txt"));
  EXPECT_NE(log.find("TSourceItem[4].CheckHeader Measured data too long, 25 channels reported, truncated to 24 channels"),
            std::string::npos);
  EXPECT_NE(log.find("TSourceItem[4].Decode 7055: payload too short, 1 bytes, 15 needed"), std::string::npos);
  EXPECT_NE(log.find("TSourceItem[4].ProcessBinData Do NOT report ChannelSelection data to app"), std::string::npos);
}

// ---- recorded streams -----------------------------------------------------------

enum class TDecode { Bin, Esp, Demo, Text };

// The lines a source would deliver for a recorded stream: the report layer
// cuts it into reports, the decoder turns them into lines; an error result
// shows as "! " + its name.
std::vector<std::string> DecodedLines(const std::string& stream, TVQ_DeviceType type, TDecode decode) {
  TVQ_Event event;
  TTestDevice device(&event, SystemClock(), -1, type);
  TVQ_ReportDevice layer(device, 0);
  TFakeDecoderHost host;
  TVQ_ReportDecoder decoder(host, -1, "TSourceItem[0]");
  device.Feed(stream);
  std::vector<std::string> lines;
  for (int guard = 0; guard < 10000; ++guard) {
    std::string report;
    const uint32_t before = device.GetBufferAmount();
    const TVQ_Result result = layer.GetReport(report);
    if (result != TVQ_Result::VQ_No_Err) {
      lines.push_back("! " + std::string(VQ_ResultText(result)));
      continue;
    }
    if (report.empty()) {
      if (device.GetBufferAmount() == before) break;
      continue;
    }
    std::string line;
    switch (decode) {
      case TDecode::Bin: line = decoder.ProcessBinReport(report, false); break;
      case TDecode::Esp: line = decoder.ProcessBinReport(report, true); break;
      case TDecode::Demo: line = decoder.ProcessDemoReport(report); break;
      case TDecode::Text: decoder.ProcessTxtReport(report); line = report; break;
    }
    if (!line.empty()) lines.push_back(line);
    while (decoder.PackedPending())
      if (std::string packed = decoder.ProcessPackedReport(); !packed.empty()) lines.push_back(packed);
  }
  return lines;
}

// Every recorded stream against its expected lines. With ZEP_REGENERATE_LINES
// set the expected files are written instead (build target
// zep_regenerate_lines); a changed file is explained in its commit.
TEST(DecoderFixtures, RecordedStreamsGiveTheirLines) {
  struct TFixture {
    const char* kind;
    const char* name;
    TVQ_DeviceType device;
    TDecode decode;
  };
  const TFixture fixtures[] = {
      {"usb", "stream", TVQ_DeviceType::VQ_CAN_Rack, TDecode::Bin},
      {"usb", "resync", TVQ_DeviceType::VQ_CAN_Rack, TDecode::Bin},
      {"serial", "stream", TVQ_DeviceType::VQ_Serial, TDecode::Bin},
      {"esp", "stream", TVQ_DeviceType::VQ_BinFile, TDecode::Esp},
      {"usb", "cut", TVQ_DeviceType::VQ_BinFile, TDecode::Bin},
      {"usb", "damaged", TVQ_DeviceType::VQ_BinFile, TDecode::Bin},
      {"serial", "cut", TVQ_DeviceType::VQ_BinFile, TDecode::Bin},
      {"serial", "damaged", TVQ_DeviceType::VQ_BinFile, TDecode::Bin},
      {"esp", "cut", TVQ_DeviceType::VQ_BinFile, TDecode::Esp},
      {"esp", "damaged", TVQ_DeviceType::VQ_BinFile, TDecode::Esp},
      {"tcp", "stream", TVQ_DeviceType::VQ_TCP_Device, TDecode::Text},
      {"tcp", "resync", TVQ_DeviceType::VQ_TCP_Device, TDecode::Text},
      {"simulated", "stream", TVQ_DeviceType::VQ_Simul, TDecode::Demo},
      {"archive", "stream", TVQ_DeviceType::VQ_TCP_Archive, TDecode::Bin},
  };
  const bool regenerate = std::getenv("ZEP_REGENERATE_LINES") != nullptr;
  for (const TFixture& f : fixtures) {
    const std::string base = std::string(ZEP_FIXTURES_DIR) + "/" + f.kind + "/" + f.name;
    const std::vector<std::string> lines = DecodedLines(ReadFile(base + ".bin"), f.device, f.decode);
    if (regenerate) {
      std::ofstream out(base + ".decoded", std::ios::binary | std::ios::trunc);
      for (const std::string& line : lines) out << line << "\n";
      continue;
    }
    EXPECT_EQ(lines, TextLines(ReadFile(base + ".decoded"))) << base;
  }
}

}  // namespace
