#include "library/core/VQ_VersionInfo.h"

#include "library/core/LogUnit.h"
#include "support/TempFolder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

using ::testing::HasSubstr;

const TVQ_VersionLog kNoLog{};

std::string BinaryReport(std::string_view text) { return std::string("\x70\x01", 2) + std::string(text); }

// What a parse is expected to leave in the record.
struct TIdentity {
  bool result;
  int version;
  uint16_t feature;
  std::string date;
  std::string fpga;
  uint32_t serial;
  std::string ip;
};

void ExpectIdentity(const TVQ_VersionInfo& info, bool result, const TIdentity& want) {
  EXPECT_EQ(result, want.result);
  EXPECT_EQ(info.FVersion, want.version);
  EXPECT_EQ(info.FHardFeature, want.feature) << std::hex << info.FHardFeature;
  EXPECT_EQ(info.FFirmwareDate, want.date);
  EXPECT_EQ(info.FFPGAVersion, want.fpga);
  EXPECT_EQ(info.FVersionSerialNumber, want.serial) << std::hex << info.FVersionSerialNumber;
  EXPECT_EQ(info.FVersionIP, want.ip);
}

constexpr uint32_t kNoSerial = TVQ_VersionInfo::kUnknownSerial;

// ---- Coldfire binary form ------------------------------------------------------------

struct TColdfireCase {
  const char* name;
  std::string text;  // the report after its code bytes
  TIdentity want;
};

const TColdfireCase kColdfireCases[] = {
    {"AllParts", "VERSION PAV: 123 USF CF D / FPGA1 / 1A2B3C4D / 10.0.0.5 / x",
     {true, 123, 0x4007, "D", "FPGA1", 0x1A2B3C4D, "10.0.0.5"}},
    {"BeforeSerialNumbers", "VERSION PAV: 39 USF CF D / FPGA1 / 1A2B3C4D / 10.0.0.5 / x",
     {true, 39, 0x4007, "D", "FPGA1", kNoSerial, ""}},
    {"BeforeIPAddresses", "VERSION PAV: 49 USF CF D / FPGA1 / 1A2B3C4D / 10.0.0.5 / x",
     {true, 49, 0x4007, "D", "FPGA1", 0x1A2B3C4D, ""}},
    {"Realistic", "VERSION PAV: 75 F CF 12-03-2020 / 200315.A1 / 00C0FFEE / 192.168.1.20 / User1\r\n",
     {true, 75, 0x4001, "12-03-2020", "200315.A1", 0x00C0FFEE, "192.168.1.20"}},
    {"SerialIsTheFirstHexPart", "VERSION PAV: 45 CF D / F1 / User1 / 0000ABCD / 10.1.1.1",
     {true, 45, 0x0001, "D", "F1", 0xABCD, ""}},
    {"SerialTooLongIsSkipped", "VERSION PAV: 45 CF D / F1 / 1A2B3C4D5 / x / y",
     {true, 45, 0x0001, "D", "F1", kNoSerial, ""}},
    {"SignedOrPrefixedSerialIsSkipped", "VERSION PAV: 45 CF D / F1 / -1 / +2 / 0x1A",
     {true, 45, 0x0001, "D", "F1", kNoSerial, ""}},
    {"PARO", "VERSION PARO: 12 CF 01-02-03", {true, 12, 0x0008, "01-02-03", "", kNoSerial, ""}},
    {"QMT", "VERSION QMT: 12 CF 01-02-03", {true, 12, 0x0002, "01-02-03", "", kNoSerial, ""}},
    {"PAW", "VERSION PAW: 12 S CF 01-02-03", {true, 12, 0x2005, "01-02-03", "", kNoSerial, ""}},
    {"RawPAV", "VERSION RawPAV: 12 U CF 01-02-03", {true, 12, 0x0003, "01-02-03", "", kNoSerial, ""}},
    {"UnknownModelKeepsVersionAndDate", "VERSION XYZ: 77 CF D2", {true, 77, 0x8000, "D2", "", kNoSerial, ""}},
    {"NoDateMark", "VERSION PAV: 77 USF", {true, 77, 0x0001, "", "", kNoSerial, ""}},
    {"NoVersionNumber", "VERSION PAV: CF D", {false, -1, 0x0001, "D", "", kNoSerial, ""}},
    {"VersionNumberOutOfRange", "VERSION PAV: 99999999999 CF D", {false, -1, 0x0001, "D", "", kNoSerial, ""}},
    {"NoModel", "VERSION PAV 12 CF D", {false, -1, 0x8000, "", "", kNoSerial, ""}},
    {"ModelOnlyBeforeTheWord", "PAV: VERSION 12 CF D", {false, -1, 0x8000, "", "", kNoSerial, ""}},
    {"NoVersionWord", "PAV: 12 CF D", {false, -1, 0x8000, "", "", kNoSerial, ""}},
    {"Empty", "", {false, -1, 0x8000, "", "", kNoSerial, ""}},
};

class ColdfireFormTest : public ::testing::TestWithParam<TColdfireCase> {};

TEST_P(ColdfireFormTest, ReadsTheIdentity) {
  TVQ_VersionInfo info;
  const bool result = ExtractFirmware(info, BinaryReport(GetParam().text), kNoLog);
  ExpectIdentity(info, result, GetParam().want);
}

INSTANTIATE_TEST_SUITE_P(Cases, ColdfireFormTest, ::testing::ValuesIn(kColdfireCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ColdfireForm, KeepsTheVersionStringWithoutTrailingControls) {
  TVQ_VersionInfo info;
  ASSERT_TRUE(ExtractFirmware(info, BinaryReport("VERSION PAV: 75 F CF 12-03-2020 / A1\r\n"), kNoLog));
  EXPECT_EQ(info.FVersionString, "PAV: 75 F CF 12-03-2020 / A1");

  EXPECT_FALSE(ExtractFirmware(info, BinaryReport("garbage\r\n"), kNoLog));
  EXPECT_EQ(info.FVersionString, "garbage");
}

TEST(ColdfireForm, OtherReportsAreNotExamined) {
  for (const std::string& report : {std::string(), std::string("\x70"), std::string("\x70\x02VERSION PAV: 1 CF D"),
                                   std::string("\x01\x70VERSION PAV: 1 CF D")}) {
    TVQ_VersionInfo info;
    info.FVersion = 42;
    EXPECT_FALSE(ExtractFirmware(info, report, kNoLog));
    EXPECT_EQ(info.FVersion, 42) << "record must stay untouched";
  }
}

// A report cut anywhere parses or fails cleanly, and a result of true always
// comes with a version number.
TEST(ColdfireForm, EveryPrefixParsesOrFailsCleanly) {
  const std::string report = BinaryReport("VERSION PAV: 123 USF CF D / FPGA1 / 1A2B3C4D / 10.0.0.5 / x\r\n");
  for (std::size_t n = 0; n <= report.size(); ++n) {
    TVQ_VersionInfo info;
    const bool result = ExtractFirmware(info, std::string_view(report).substr(0, n), kNoLog);
    EXPECT_EQ(result, info.FVersion >= 0) << n;
    if (!result) {
      EXPECT_EQ(info.FVersionSerialNumber, kNoSerial) << n;
    }
  }
}

// Fields of an earlier report never leak into the identity of the next one.
TEST(ColdfireForm, EveryParseStartsFromTheInitialValues) {
  TVQ_VersionInfo info;
  ASSERT_TRUE(ExtractFirmware(info, BinaryReport("VERSION PAV: 123 USF CF D / FPGA1 / 1A2B3C4D / 10.0.0.5 / x"),
                              kNoLog));
  info.FVersionUser = 3;
  ASSERT_TRUE(ExtractFirmware(info, BinaryReport("VERSION QMT: 12 CF E"), kNoLog));
  ExpectIdentity(info, true, {true, 12, 0x0002, "E", "", kNoSerial, ""});
  EXPECT_EQ(info.FVersionUser, TVQ_VersionInfo::kUnknownUser);
}

// ---- ESP form -------------------------------------------------------------------------

struct TEspCase {
  const char* name;
  std::string text;  // the converted report after its code bytes
  TIdentity want;
  int major, minor;
  uint8_t user;
};

constexpr uint16_t kDeviceFeature = 0x0003;

const TEspCase kEspCases[] = {
    {"AllParts", "PAV2 24ch / 1A2B3C4D 2 / FW: abc-1.15 D / HW:7 / IP: 0500A8C0\r\n",
     {true, 115, kDeviceFeature, "D", "7", 0x1A2B3C4D, "192.168.0.5"}, 1, 15, 2},
    {"DashesInNameAndDate", "  PAV2 / 0000BEEF 0 / FW: PAV2-ESP-2.03 2024-08-09 / HW: 230115.0A / IP: FFFFFFFF  ",
     {true, 203, kDeviceFeature, "2024-08-09", "230115.0A", 0xBEEF, "255.255.255.255"}, 2, 3, 0},
    {"ThirdPartWithoutFW", "PAV2 / 1A2B3C4D 2 / abc-1.15 D / HW:7 / IP: 0500A8C0",
     {false, -1, kDeviceFeature, "", "7", 0x1A2B3C4D, "192.168.0.5"}, -1, -1, 2},
    {"BadSerialKeepsTheRest", "PAV2 / XYZ 2 / FW: abc-1.15 D / HW:7 / IP: 0500A8C0",
     {true, 115, kDeviceFeature, "D", "7", kNoSerial, "192.168.0.5"}, 1, 15, 2},
    {"UserOutOfRange", "PAV2 / 1A2B3C4D 300 / FW: abc-1.15 D / HW:7 / IP: 0500A8C0",
     {true, 115, kDeviceFeature, "D", "7", 0x1A2B3C4D, "192.168.0.5"}, 1, 15, 255},
    {"SerialWithoutUser", "PAV2 / 1A2B3C4D / FW: abc-1.15 D",
     {true, 115, kDeviceFeature, "D", "", 0x1A2B3C4D, ""}, 1, 15, 255},
    {"MinorOutOfRange", "PAV2 / 1A2B3C4D 2 / FW: abc-1.150 D / HW:7",
     {false, -1, kDeviceFeature, "", "7", 0x1A2B3C4D, ""}, -1, -1, 2},
    {"NoMinor", "PAV2 / 1A2B3C4D 2 / FW: abc-1. D", {false, -1, kDeviceFeature, "", "", 0x1A2B3C4D, ""}, -1, -1, 2},
    {"NoPoint", "PAV2 / 1A2B3C4D 2 / FW: abc-115 D", {false, -1, kDeviceFeature, "", "", 0x1A2B3C4D, ""}, -1, -1, 2},
    {"NoDash", "PAV2 / 1A2B3C4D 2 / FW: 1.15 D", {false, -1, kDeviceFeature, "", "", 0x1A2B3C4D, ""}, -1, -1, 2},
    {"MajorOutOfRange", "PAV2 / 1A2B3C4D 2 / FW: a-99999999999.1 D",
     {false, -1, kDeviceFeature, "", "", 0x1A2B3C4D, ""}, -1, -1, 2},
    {"BadHWAndIP", "PAV2 / 1A2B3C4D 2 / FW: a-1.15 D / FPGA 7 / IP: 10.0.0.5",
     {true, 115, kDeviceFeature, "D", "", 0x1A2B3C4D, ""}, 1, 15, 2},
    {"IPTooLong", "PAV2 / 1A2B3C4D 2 / FW: a-1.15 D / HW:7 / IP: 10500A8C0",
     {true, 115, kDeviceFeature, "D", "7", 0x1A2B3C4D, ""}, 1, 15, 2},
    {"FeatureTextOnly", "PAV2", {false, -1, kDeviceFeature, "", "", kNoSerial, ""}, -1, -1, 255},
    {"Empty", "\r\n", {false, -1, 0x8000, "", "", kNoSerial, ""}, -1, -1, 255},
};

class EspFormTest : public ::testing::TestWithParam<TEspCase> {};

TEST_P(EspFormTest, ReadsTheIdentity) {
  const TEspCase& c = GetParam();
  TVQ_VersionInfo info;
  const bool result = ESPExtractFirmware(info, BinaryReport(c.text), kDeviceFeature, kNoLog);
  ExpectIdentity(info, result, c.want);
  EXPECT_EQ(info.FMajor, c.major);
  EXPECT_EQ(info.FMinor, c.minor);
  EXPECT_EQ(info.FVersionUser, c.user);
}

INSTANTIATE_TEST_SUITE_P(Cases, EspFormTest, ::testing::ValuesIn(kEspCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EspForm, KeepsTheTextsOfTheReport) {
  TVQ_VersionInfo info;
  ASSERT_TRUE(ESPExtractFirmware(info, BinaryReport("PAV2 24ch / 1A2B3C4D 2 / FW: abc-1.15 D / HW:7 / IP: 0500A8C0"),
                                 kDeviceFeature, kNoLog));
  EXPECT_EQ(info.FHardFeatureString, "PAV2 24ch");
  EXPECT_EQ(info.FFWVersionString, "abc-1.15 D");
  EXPECT_EQ(info.FMajorMinorStr, "1.15");
}

TEST(EspForm, EveryPrefixParsesOrFailsCleanly) {
  const std::string report = BinaryReport("PAV2 24ch / 1A2B3C4D 2 / FW: abc-1.15 D / HW:7 / IP: 0500A8C0\r\n");
  for (std::size_t n = 0; n <= report.size(); ++n) {
    TVQ_VersionInfo info;
    const bool result = ESPExtractFirmware(info, std::string_view(report).substr(0, n), kDeviceFeature, kNoLog);
    EXPECT_EQ(result, info.FMinor >= 0) << n;
    if (result) {
      EXPECT_EQ(info.FVersion, 100 * info.FMajor + info.FMinor) << n;
    }
  }
}

// ---- text form of recorded files ---------------------------------------------------

struct TTextCase {
  const char* name;
  std::string line;
  TIdentity want;
};

const TTextCase kTextCases[] = {
    {"RecordedColdfireLine", "7001VERSION PAV: 75 UF CF 12-03-2020 / 200315.A1 / User1 / 20.2.5 24-08-09",
     {true, 75, 0x4003, "12-03-2020", "", kNoSerial, ""}},
    {"LeadingBlanks", "7001VERSION   QMT: 61 CF 2019", {true, 61, 0x0002, "2019", "", kNoSerial, ""}},
    {"UnknownModel", "7001VERSION ABC: 61 CF 2019", {true, 61, 0x8000, "2019", "", kNoSerial, ""}},
    {"NoModel", "7001VERSION PAV 61 CF 2019", {false, -1, 0x8000, "", "", kNoSerial, ""}},
    {"PrefixOnly", "7001VERSION", {false, -1, 0x8000, "", "", kNoSerial, ""}},
};

class TextFormTest : public ::testing::TestWithParam<TTextCase> {};

TEST_P(TextFormTest, ReadsModelVersionAndDate) {
  TVQ_VersionInfo info;
  const bool result = ExtractFirmwareVersionDateTextReport(info, GetParam().line, kNoLog);
  ExpectIdentity(info, result, GetParam().want);
}

INSTANTIATE_TEST_SUITE_P(Cases, TextFormTest, ::testing::ValuesIn(kTextCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TextForm, OtherLinesAreNotExamined) {
  TVQ_VersionInfo info;
  info.FVersion = 42;
  EXPECT_FALSE(ExtractFirmwareVersionDateTextReport(info, "7001 VERSION PAV: 75 CF D", kNoLog));
  EXPECT_FALSE(ExtractFirmwareVersionDateTextReport(info, "7015; 12", kNoLog));
  EXPECT_EQ(info.FVersion, 42);
}

TEST(TextForm, EveryPrefixParsesOrFailsCleanly) {
  const std::string line = "7001VERSION PAV: 75 UF CF 12-03-2020 / 200315.A1 / User1 / 20.2.5 24-08-09";
  for (std::size_t n = 0; n <= line.size(); ++n) {
    TVQ_VersionInfo info;
    const bool result = ExtractFirmwareVersionDateTextReport(info, std::string_view(line).substr(0, n), kNoLog);
    EXPECT_EQ(result, info.FVersion >= 0) << n;
  }
}

// ---- user ID and serial number of a version text --------------------------------------

struct TUserCase {
  const char* text;
  bool result;
  uint8_t user;
};

TEST(ExtractUserID, TakesTheDigitRightAfterUser) {
  const TUserCase cases[] = {
      {"VERSION PAV: 75 F CF D / A1 / User3 / 1A2B", true, 3},
      {"VERSION PAV: 75 F CF D / A1 / User0", true, 0},
      {"VERSION PAV: 75 F CF D / A1 / Userx", false, 255},
      {"VERSION PAV: 75 F CF D / A1 / User 3", false, 255},
      {"VERSION PAV: 75 F CF D / A1 / User", false, 255},
      {"VERSION PAV: 75 F CF D / A1", false, 255},
      {"PAV: 75 F CF D / A1 / User3", false, 255},
  };
  for (const auto& c : cases) {
    uint8_t user = 255;
    EXPECT_EQ(ExtractUserID(c.text, user, kNoLog), c.result) << c.text;
    EXPECT_EQ(user, c.user) << c.text;
  }
}

struct TSerialCase {
  const char* text;
  bool result;
  uint32_t serial;
};

TEST(ExtractSerialNumber, ReadsTheThirdPartAsHex) {
  const TSerialCase cases[] = {
      {"VERSION PAV: 75 CF D / A1 / 1A2B3C4D / 10.0.0.5", true, 0x1A2B3C4D},
      {"VERSION PAV: 75 CF D / A1 /  00ab  ", true, 0xAB},
      {"VERSION PAV: 75 CF D / A1 / User1 / 1A2B3C4D", false, kNoSerial},
      {"VERSION PAV: 75 CF D / A1 / 1A2B3C4D5", false, kNoSerial},
      {"VERSION PAV: 75 CF D / A1 / ", false, kNoSerial},
      {"VERSION PAV: 75 CF D / A1", false, kNoSerial},
      {"PAV: 75 CF D / A1 / 1A2B3C4D", false, kNoSerial},
  };
  for (const auto& c : cases) {
    uint32_t serial = 7;
    EXPECT_EQ(ExtractSerialNumber(c.text, serial), c.result) << c.text;
    EXPECT_EQ(serial, c.serial) << c.text;
  }
}

// ---- debug lines ---------------------------------------------------------------------

class VersionLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FLog.FLogId = NewLog();
    ASSERT_GE(FLog.FLogId, 0);
    SetLogFile(FLog.FLogId, FFolder.File("log.txt"), false);
  }
  std::string Text() {
    SetLogFile(FLog.FLogId, "", false);
    std::ifstream in(FFolder.File("log.txt"), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  TTempFolder FFolder;
  TVQ_VersionLog FLog{-1, "TVQ_ReportDevice[1]"};
};

TEST_F(VersionLogTest, UserIDThatIsNoNumberLogsAnException) {
  uint8_t user = 255;
  EXPECT_FALSE(ExtractUserID("VERSION PAV: 75 / Userx", user, FLog));
  const std::string text = Text();
  EXPECT_THAT(text, HasSubstr("TVQ_ReportDevice[1].ExtractUserID failed"));
  EXPECT_THAT(text, HasSubstr("EXCEP: EConvertError 'x' is not a valid integer value"));
}

TEST_F(VersionLogTest, ParsedAndRejectedReportsAreLogged) {
  TVQ_VersionInfo info;
  ExtractFirmware(info, BinaryReport("VERSION PAV: 123 USF CF D / FPGA1 / 1A2B3C4D / 10.0.0.5 / x"), FLog);
  ExtractFirmware(info, BinaryReport("nonsense"), FLog);
  ESPExtractFirmware(info, BinaryReport("PAV2 / 1A2B3C4D 2 / FW: abc-1.15 D / HW:7 / IP: 0500A8C0"), 1, FLog);
  ESPExtractFirmware(info, BinaryReport("PAV2 / 1A2B3C4D 2 / abc-1.15 D / HW:7 / IP: 0500A8C0"), 1, FLog);
  ExtractFirmwareVersionDateTextReport(info, "7001VERSION PAV: 75 UF CF 12-03-2020", FLog);
  const std::string text = Text();
  for (const char* line : {
           "TVQ_ReportDevice[1].GetReport: VERSIONPAV: 123 USF CF D",
           "TVQ_ReportDevice[1].ExtractFirmware Version: 123 Date: D",
           "TVQ_ReportDevice[1].ExtractFirmware FPGAVersion: FPGA1",
           "TVQ_ReportDevice[1].ExtractFirmware SerialNumber: 1A2B3C4D",
           "TVQ_ReportDevice[1].ESPExtractFirmware: IP=10.0.0.5",
           "ERROR: TVQ_ReportDevice[1].ExtractFirmware: unknown version string=nonsense",
           "TVQ_ReportDevice[1].ESPExtractFirmware SerialNumber=1A2B3C4D",
           "TVQ_ReportDevice[1].ESPExtractFirmware UserID=2",
           "TVQ_ReportDevice[1].ESPExtractFirmware: major=1",
           "TVQ_ReportDevice[1].ESPExtractFirmware: minor=15",
           "TVQ_ReportDevice[1].ESPExtractFirmware: IP=192.168.0.5",
           "ERROR: TVQ_ReportDevice[1].ESPExtractFirmware invalid FW=abc-1.15 D",
           "TVQ_ReportDevice[1].ExtractFirmwareVersionDateTextReport Version: 75 Date: 12-03-2020 HardFeature=4003",
       })
    EXPECT_THAT(text, HasSubstr(line));
}

// ---- identity queries and the texts built from it -------------------------------------

TEST(VersionInfo, QMTonlyNeedsQMTWithoutPhaseChannels) {
  const std::pair<uint16_t, bool> cases[] = {{0x0002, true}, {0x4006, true}, {0x0003, false},
                                             {0x0001, false}, {0x8000, false}};
  for (const auto& [feature, qmtOnly] : cases) {
    TVQ_VersionInfo info;
    info.FHardFeature = feature;
    EXPECT_EQ(info.GetIsQMTonly(), qmtOnly) << std::hex << feature;
  }
}

TEST(VersionInfo, FirmwareNumberTextDependsOnThePeer) {
  TVQ_VersionInfo info;
  ASSERT_TRUE(ESPExtractFirmware(info, BinaryReport("PAV2 / 1A2B3C4D 2 / FW: abc-1.05 D"), 1, kNoLog));
  EXPECT_EQ(info.GetFWVersionNumberString(TVQ_PeerType::ptESP), "1.5");
  EXPECT_EQ(info.GetFWVersionNumberString(TVQ_PeerType::ptColdfire), "105");
}

TEST(VersionText, EspLineShowsTheParsedIdentity) {
  TVQ_VersionInfo info;
  ASSERT_TRUE(ESPExtractFirmware(info, BinaryReport("PAV2 24ch / 1a2b3c4d 2 / FW: abc-1.15 D / HW:7 / IP: 0500A8C0"),
                                 kDeviceFeature, kNoLog));
  EXPECT_EQ(ESPVersionText(info), "VERSION PAV2 24ch / # 1A2B3C4D User 2 / abc-1.15 D / HW: 7 / IP: 192.168.0.5");
  EXPECT_EQ(ESPVersionReportLine(info),
            "7001VERSION PAV2 24ch / # 1A2B3C4D User 2 / abc-1.15 D / HW: 7 / IP: 192.168.0.5 / SW: 20.2.5 24-08-09");
}

TEST(VersionText, ColdfireLineEndsAfterTheUserDigit) {
  const std::pair<std::string, std::string> cases[] = {
      {"VERSION PAV: 75 F CF D / A1 / User3 / 1A2B3C4D\r\n", "7001VERSION PAV: 75 F CF D / A1 / User3 / 20.2.5 24-08-09"},
      {"VERSION PAV: 75 F CF D / A1 / User", "7001VERSION PAV: 75 F CF D / A1 / User / 20.2.5 24-08-09"},
      {"VERSION PAV: 75 F CF D / A1\r\n", "7001VERSION PAV: 75 F CF D / A1 / 20.2.5 24-08-09"},
  };
  for (const auto& [text, line] : cases) EXPECT_EQ(ColdfireVersionReportLine(text), line);
}

TEST(VersionText, SimulatedLineIsTheTrimmedText) {
  EXPECT_EQ(SimulatedVersionReportLine("  VERSION PAV: 80 F CF 24-08-09 \r\n"),
            "7001VERSION PAV: 80 F CF 24-08-09 / 20.2.5 24-08-09");
}

}  // namespace
