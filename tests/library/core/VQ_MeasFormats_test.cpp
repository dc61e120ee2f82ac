#include "library/core/VQ_MeasFormats.h"

#include "library/core/LogUnit.h"
#include "support/FileText.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

const TFormatSettings kPoint{'.', ','};
const TFormatSettings kComma{',', '.'};

// ---- test data ---------------------------------------------------------------

// A byte-stream value: exponent r (16 is sent as 0) and 52-bit mantissa q.
std::string Bin(int r, uint64_t q) {
  std::string v(7, '\0');
  v[0] = static_cast<char>(((r & 0x0F) << 4) | ((q >> 48) & 0x0F));
  for (int i = 1; i < 7; ++i) v[static_cast<std::size_t>(i)] = static_cast<char>(q >> (8 * (6 - i)));
  return v;
}
// The 52-bit two's complement of -magnitude.
uint64_t Neg52(uint64_t magnitude) { return (uint64_t{1} << 52) - magnitude; }
constexpr uint64_t P2(int n) { return uint64_t{1} << n; }

std::string LittleEndian(uint64_t bits) {
  std::string v(8, '\0');
  for (std::size_t i = 0; i < 8; ++i) v[i] = static_cast<char>(bits >> (8 * i));
  return v;
}
std::string Doubles(std::initializer_list<double> values) {
  std::string v;
  for (double d : values) v += LittleEndian(std::bit_cast<uint64_t>(d));
  return v;
}
// An ESP phase: the double with its exponent bits 9-6 (always 0000 or 1111 for
// the values used here) replaced by the expo e.
std::string EspPhase(double d, int e) {
  uint64_t bits = std::bit_cast<uint64_t>(d);
  const uint64_t top = bits >> 56;
  EXPECT_EQ(top & 0x3C, (top & 0x40) != 0 ? 0u : 0x3Cu) << d << " cannot carry an expo";
  bits = (bits & ~(uint64_t{0x3C} << 56)) | (static_cast<uint64_t>(e) << 58);
  return LittleEndian(bits);
}
std::string Bytes(std::initializer_list<int> bytes) {
  std::string v;
  for (int b : bytes) v += static_cast<char>(b);
  return v;
}

// ---- expected texts ----------------------------------------------------------

std::string Blanks(std::size_t n) { return std::string(n, ' '); }
// ";" and the text right-aligned in 26 (measurement field).
std::string Field(const std::string& text) { return ";" + Blanks(26 - text.size()) + text; }
// "; " and the text right-aligned in 25 (ESP phase field).
std::string EspField(const std::string& text) { return "; " + Blanks(25 - text.size()) + text; }

TVQ_FieldOptions Options(const TFormatSettings& fmt = kPoint, bool raw = false) {
  TVQ_FieldOptions opt;
  opt.Format = fmt;
  opt.OptRawData = raw;
  opt.LogTag = "TSourceItem[1]";
  opt.Caller = ".ProcessBinData";
  return opt;
}

// Debug log of the tests: one log number for the whole program, a fresh file per test.
class MeasFormatsLog : public ::testing::Test {
 protected:
  static int LogId() {
    static const int id = NewLog();
    return id;
  }
  void SetUp() override {
    ASSERT_GE(LogId(), 0);
    SetLogFile(LogId(), FFolder.File("formats.log"), false);
    ASSERT_TRUE(LogWanted(LogId())) << GetLogError(LogId());
    FFile = FindLogger(LogId())->InternLogFileName();
    opt.LogId = LogId();
  }
  void TearDown() override { SetLogFile(LogId(), "", false); }

  // The lines logged so far, without time stamp and CR LF.
  std::vector<std::string> Lines() const {
    std::istringstream text(ReadFile(FFile));
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(text, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.size() > 22) lines.push_back(line.substr(22));
    }
    return lines;
  }
  bool Logged(const std::string& text) const {
    const auto lines = Lines();
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l == text; });
  }
  std::string AllLines() const {
    std::string all;
    for (const auto& l : Lines()) all += l + "\n";
    return all;
  }

  TVQ_FieldOptions opt = Options();

 private:
  TTempFolder FFolder;
  std::string FFile;
};

// ---- interval position --------------------------------------------------------

TEST(AveragePosition, IndexPlusFourteenWithTheExtensionBit) {
  struct Case {
    uint16_t header;
    std::optional<int> position;
  };
  const Case cases[] = {
      {0x1000, 0},  {0x1D00, 13}, {0x1F00, 15},
      {0x1002, 14},  // extension bit: +14, not +13
      {0x1602, 20}, {0x1702, std::nullopt}, {0x1F02, std::nullopt},  // 21 and 29: beyond the tables
      {0x1FFF, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(AveragePosition(c.header), c.position) << std::hex << c.header;
}

// ---- byte-stream values --------------------------------------------------------

TEST(BinMeasurementFields, PhaseOneIsOneWithElevenZeros) {
  TVQ_ChannelTracks tracks{};
  const auto fields = BinMeasurementFields(0x0000, Bin(1, P2(34)), tracks, Options());
  ASSERT_TRUE(fields);
  EXPECT_EQ(*fields, ";             1.00000000000");
  EXPECT_EQ(fields->size(), 27u);
}

TEST(BinMeasurementFields, EveryMode) {
  struct Case {
    const char* what;
    uint16_t header;
    std::string values;
    std::string fields;
    bool raw = false;
    TFormatSettings fmt = kPoint;
  };
  const std::string one = Bin(1, P2(34));  // 1.0, fraction digits 11
  const Case cases[] = {
      {"phase, r = 16 sent as 0", 0x0300, Bin(16, P2(19)), Field("1.0000000")},
      {"phase, comma", 0x0000, Bin(1, P2(33)), Field("0,50000000000"), false, kComma},
      // p = 3: A = 4, D = 10
      {"phase average", 0x1300, one, Field("1.60000000000")},
      // p = 14 (index 0 + extension bit): A = 8, D = 250
      {"phase average, extension bit", 0x1002, one, Field("1.02400000000")},
      {"frequency / D", 0x2300, one, ";" + Blanks(8) + "0.1000000000000000"},
      {"frequency, comma", 0x2000, one, ";" + Blanks(8) + "1,0000000000000000", false, kComma},
      {"frequency average / D / D", 0x3300, one, ";" + Blanks(8) + "0.1600000000000000"},
      {"phase difference", 0x4300, Bin(1, Neg52(P2(35) + P2(33))), ";" + Blanks(12) + "-2.50000000000"},
      {"phase difference -0.5", 0x4000, Bin(1, Neg52(P2(33))), ";" + Blanks(12) + "-0.50000000000"},
      {"phase difference positive", 0x4000, Bin(1, P2(33)), ";" + Blanks(13) + "0.50000000000"},
      {"phase average difference, one channel", 0x5300, one, ";" + Blanks(13) + "1.60000000000"},
      {"phase average difference, channel 1 unscaled", 0x5300, one + Bin(1, Neg52(P2(34))),
       ";" + Blanks(13) + "1.00000000000" + ";" + Blanks(12) + "-1.60000000000"},
      {"raw data", 0x6000, one + Bin(2, 0x123456789ABCDull),
       "; 1000,0400,0000; 2123,4567,89AB", true},
  };
  for (const Case& c : cases) {
    TVQ_ChannelTracks tracks{};
    const auto fields = BinMeasurementFields(c.header, c.values, tracks, Options(c.fmt, c.raw));
    ASSERT_TRUE(fields) << c.what;
    EXPECT_EQ(*fields, c.fields) << c.what;
  }
}

TEST(BinMeasurementFields, RawDataWithoutTheOptionAndModeSevenGiveNoFields) {
  TVQ_ChannelTracks tracks{};
  EXPECT_FALSE(BinMeasurementFields(0x6000, Bin(1, 1), tracks, Options(kPoint, false)));
  EXPECT_FALSE(BinMeasurementFields(0x7000, Bin(1, 1), tracks, Options(kPoint, true)));
  EXPECT_FALSE(BinMeasurementFields(0x7FFF, Bin(1, 1), tracks, Options(kPoint, true)));
}

TEST(BinMeasurementFields, OnlyWholeValuesAndAtMostOnePerChannel) {
  TVQ_ChannelTracks tracks{};
  const std::string half = Bin(1, P2(33));
  const std::string field = Field("0.50000000000");

  EXPECT_EQ(BinMeasurementFields(0x0000, "", tracks, Options()), std::string());
  EXPECT_EQ(BinMeasurementFields(0x0000, half.substr(0, 6), tracks, Options()), std::string());
  EXPECT_EQ(BinMeasurementFields(0x4000, half + half.substr(0, 3), tracks, Options()),
            ";" + Blanks(13) + "0.50000000000");

  std::string many;
  for (int i = 0; i < 25; ++i) many += half;
  std::string expected;
  for (int i = 0; i < 24; ++i) expected += field;
  EXPECT_EQ(BinMeasurementFields(0x0000, many, tracks, Options()), expected);
}

// The widths stay fixed: the frequency's whole part is cut from the left, the
// phase text from the right.
TEST(BinMeasurementFields, LongTextsKeepTheFieldWidth) {
  TVQ_ChannelTracks tracks{};
  // r = 16, q = 2^52 - 1: 8589934591.9999980926513671875, 7 + 5 fraction digits
  EXPECT_EQ(BinMeasurementFields(0x2000, Bin(16, P2(52) - 1), tracks, Options()),
            ";" + Blanks(3) + "8589934591.999998092651");
  tracks[0].High = P2(62) - 1;  // 4611686018427387903
  tracks[0].Low = 0.0;
  EXPECT_EQ(BinMeasurementFields(0x0000, Bin(1, P2(34)), tracks, Options()),
            "; 4611686018427387904.00000");
}

TEST_F(MeasFormatsLog, InvalidIntervalPositionScalesLikeThePlainMode) {
  TVQ_ChannelTracks tracks{};
  const std::string one = Bin(1, P2(34));
  // index 15 + extension bit: position 29
  EXPECT_EQ(BinMeasurementFields(0x1F02, one, tracks, opt), Field("1.00000000000"));
  EXPECT_EQ(BinMeasurementFields(0x2F02, one, tracks, opt), ";" + Blanks(8) + "1.0000000000000000");
  EXPECT_EQ(BinMeasurementFields(0x3702, one, tracks, opt), ";" + Blanks(8) + "1.0000000000000000");
  EXPECT_EQ(BinMeasurementFields(0x5F02, one + one, tracks, opt),
            ";" + Blanks(13) + "1.00000000000;" + Blanks(13) + "1.00000000000");
  EXPECT_TRUE(Logged("TSourceItem[1].ProcessBinData: header 1F02 interval position 29 has no average scaling"))
      << AllLines();
  EXPECT_TRUE(Logged("TSourceItem[1].ProcessBinData: header 3702 interval position 21 has no average scaling"))
      << AllLines();
}

// ---- phase continuation ----------------------------------------------------------

TEST(BinPhaseContinuation, WrapsAddWholeCycles) {
  struct Case {
    const char* what;
    TVQ_ChannelTrack before;  // High, Low, ExpoAlt, NumAlt
    int r;
    uint64_t q;
    int64_t high;  // High afterwards
  };
  constexpr int64_t kSet = 12345;
  const uint64_t nib0 = P2(40);     // top nibble 0, r = 2: 128
  const uint64_t nib8 = P2(51);     // top nibble 8, r = 2: 262144
  const Case cases[] = {
      {"no previous value", {kSet, 0.0, 1, 0, 0}, 1, P2(33), kSet},
      {"same exponent, fell", {0, 0.9, 1, 0, 0}, 1, P2(34) / 10, P2(18)},
      {"same exponent, rose", {kSet, 0.1, 1, 0, 0}, 1, P2(33), kSet},
      {"same exponent, High wraps in 62 bits", {int64_t(P2(62) - 1), 0.9, 1, 0, 0}, 1, P2(30), P2(18) - 1},
      {"exponent grew, fell", {0, 0.9, 1, 0, 0}, 2, P2(32), P2(18)},
      {"exponent grew, rose a little", {kSet, 0.5, 1, 0, 0}, 2, P2(32) * 3 / 2, kSet},
      {"exponent grew, rose beyond a wrap", {0, 0.5, 1, 0, 0}, 2, 300000 * P2(33), int64_t(P2(62) - P2(18))},
      {"exponent shrank, n 01, n' bit 3 clear", {0, 1e6, 3, 0x4, 0}, 2, nib0, P2(19)},
      {"exponent shrank, n 01, n' bit 3 set", {kSet, 1e6, 3, 0x4, 0}, 2, nib8, kSet},
      {"exponent shrank, n 10", {0, 1e6, 3, 0x8, 0}, 2, nib8, P2(19)},
      {"exponent shrank, n 11, n' bit 3 set", {0, 1e6, 3, 0xC, 0}, 2, nib8, P2(19)},
      {"exponent shrank, n 11, n' bit 3 clear", {0, 1e6, 3, 0xC, 0}, 2, nib0, P2(20)},
      {"exponent shrank, n 00", {kSet, 1e6, 3, 0x3, 0}, 2, nib0, kSet},
      {"exponent shrank, rose", {kSet, 1.0, 3, 0x8, 0}, 2, nib8, kSet},
      {"exponent jumped 3 to 6", {kSet, 5.0, 3, 0, 0}, 6, P2(30), 0},
      {"exponent jumped 6 to 3", {kSet, 5.0, 6, 0, 0}, 3, P2(30), 0},
  };
  for (const Case& c : cases) {
    TVQ_ChannelTracks tracks{};
    tracks[0] = c.before;
    ASSERT_TRUE(BinMeasurementFields(0x0000, Bin(c.r, c.q), tracks, Options())) << c.what;
    EXPECT_EQ(tracks[0].High, c.high) << c.what;
    EXPECT_EQ(tracks[0].Low, std::ldexp(static_cast<double>(c.q), c.r - 35)) << c.what;
    EXPECT_EQ(tracks[0].ExpoAlt, c.r) << c.what;
    EXPECT_EQ(tracks[0].NumAlt, static_cast<int>(c.q >> 48)) << c.what;
  }
}

TEST(BinPhaseContinuation, SecondFieldShowsTheAddedCyclesPerChannel) {
  TVQ_ChannelTracks tracks{};
  const std::string p09 = Bin(1, 15461882266);  // 0.90000000002328...
  const std::string p01 = Bin(1, 1717986918);   // 0.09999999997671...
  EXPECT_EQ(BinMeasurementFields(0x0000, p09 + p09, tracks, Options()),
            Field("0.90000000002") + Field("0.90000000002"));
  // channel 1 wraps, channel 2 does not
  EXPECT_EQ(BinMeasurementFields(0x0000, p01 + p09, tracks, Options()),
            Field("262144.09999999998") + Field("0.90000000002"));
  EXPECT_EQ(tracks[0].High, 262144);
  EXPECT_EQ(tracks[1].High, 0);
}

TEST(BinPhaseContinuation, PhaseAverageContinuesOnTheScaledValue) {
  TVQ_ChannelTracks tracks{};
  // p = 1: A = 1, D = 2, so the value equals the plain phase
  EXPECT_EQ(BinMeasurementFields(0x1100, Bin(1, P2(34) - P2(30)), tracks, Options()), Field("0.93750000000"));
  EXPECT_EQ(BinMeasurementFields(0x1100, Bin(1, P2(32)), tracks, Options()), Field("262144.25000000000"));
}

// ---- ESP values ---------------------------------------------------------------

TEST(EspMeasurementFields, EveryMode) {
  struct Case {
    const char* what;
    uint16_t header;
    std::string values;
    std::string fields;
    bool raw = false;
    TFormatSettings fmt = kPoint;
  };
  const Case cases[] = {
      {"phase, expo 3: 10 digits", 0x0000, EspPhase(2.25, 3), EspField("2.2500000000")},
      {"phase below 2, expo 15: 7 digits", 0x1000, EspPhase(0.5, 15), EspField("0.5000000")},
      {"phase, comma", 0x0000, EspPhase(2.25, 0), EspField("2,25000000000"), false, kComma},
      // 1234567 = 0x4132D687...: bits 5-2 of 0x41 are 0, 11 digits
      {"frequency / 1000", 0x2000, Doubles({1234567.0}), Field("1234.56700000000")},
      {"frequency average, comma", 0x3000, Doubles({1234567.0}), Field("1234,56700000000"), false, kComma},
      // -0.5 = 0xBFE0...: bits 5-2 of 0xBF are 1111, 7 digits
      {"phase difference", 0x4000, Doubles({-0.5}), Field("-0.5000000")},
      {"phase average difference, every channel alike", 0x5000, Doubles({-0.5, -0.5}),
       Field("-0.5000000") + Field("-0.5000000")},
      {"raw data", 0x6000, Bytes({0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}), "; 5544,3322,1100", true},
      {"NaN difference", 0x4000, Doubles({std::numeric_limits<double>::quiet_NaN()}), Field("NAN")},
      {"infinite frequency", 0x2000, Doubles({-std::numeric_limits<double>::infinity()}), Field("-INF")},
      // 1e20 = 0x4415AF1D...: bits 5-2 of 0x44 are 0001, 11 digits; cut to 25
      {"huge difference", 0x4000, Doubles({1e20}), "; 100000000000000000000.000"},
      {"incomplete value ignored", 0x4000, Doubles({-0.5}) + "\x01\x02\x03", Field("-0.5000000")},
  };
  for (const Case& c : cases) {
    TVQ_ChannelTracks tracks{};
    const auto fields = EspMeasurementFields(c.header, c.values, tracks, Options(c.fmt, c.raw));
    ASSERT_TRUE(fields) << c.what;
    EXPECT_EQ(*fields, c.fields) << c.what;
  }
  TVQ_ChannelTracks tracks{};
  EXPECT_FALSE(EspMeasurementFields(0x6000, Doubles({1.0}), tracks, Options(kPoint, false)));
  EXPECT_EQ(EspMeasurementFields(0x2000, "", tracks, Options()), std::string());
}

TEST_F(MeasFormatsLog, EspPhaseWrapAddsTheAmountOfItsExpo) {
  TVQ_ChannelTracks tracks{};
  EXPECT_EQ(EspMeasurementFields(0x0000, EspPhase(1000.5, 3), tracks, opt), EspField("1000.5000000000"));
  EXPECT_EQ(EspMeasurementFields(0x0000, EspPhase(2.25, 3), tracks, opt), EspField("2097154.2500000000"));
  EXPECT_EQ(tracks[0].High, 2097152);
  EXPECT_EQ(tracks[0].PhaseDoubleOld, 2.25);

  EXPECT_TRUE(Logged("TSourceItem[1].ReadESPPhase[1] Expo=3 Bytes=0000000000448F4C Double=1000.5")) << AllLines();
  EXPECT_TRUE(Logged("TSourceItem[1].ReadESPPhase[1] Overflow old=1000.5 new=2.25 Mask=200000")) << AllLines();
}

TEST_F(MeasFormatsLog, EspPhaseWrapOfOtherChannelsIsNotLogged) {
  TVQ_ChannelTracks tracks{};
  tracks[1].PhaseDoubleOld = 5.0;
  // expo 15 wraps by nothing
  tracks[2].PhaseDoubleOld = 5.0;
  tracks[2].High = 7;
  EXPECT_EQ(EspMeasurementFields(0x0000, EspPhase(3.0, 0) + EspPhase(2.5, 0) + EspPhase(2.5, 15), tracks, opt),
            EspField("3.00000000000") + EspField("262146.50000000000") + EspField("9.5000000"));
  EXPECT_EQ(tracks[1].High, 262144);
  EXPECT_EQ(tracks[2].High, 7);
  const std::string all = AllLines();
  EXPECT_EQ(all.find("ReadESPPhase[2]"), std::string::npos) << all;
  EXPECT_EQ(all.find("ReadESPPhase[3]"), std::string::npos) << all;
}

TEST_F(MeasFormatsLog, EspPhaseBeyondSixtyTwoBitsIsInvalidAndWrittenAsZero) {
  TVQ_ChannelTracks tracks{};
  tracks[0].PhaseDoubleOld = 10.0;
  tracks[0].High = 5;
  // 2^62 = 0x43D0...: bits 5-2 of 0x43 are 0000
  EXPECT_EQ(EspMeasurementFields(0x0000, EspPhase(4611686018427387904.0, 0), tracks, opt),
            EspField("0.00000000000"));
  EXPECT_EQ(tracks[0].PhaseDoubleOld, 10.0);  // history untouched
  EXPECT_EQ(tracks[0].High, 5);
  EXPECT_TRUE(Logged("ERROR: TSourceItem[1].ReadESPPhase[1] invalid Phase")) << AllLines();
}

TEST_F(MeasFormatsLog, NegativeEspPhaseIsLoggedAndKeepsItsFractionWithoutSign) {
  TVQ_ChannelTracks tracks{};
  tracks[0].PhaseDoubleOld = -5.0;
  EXPECT_EQ(EspMeasurementFields(0x0000, EspPhase(-2.25, 0), tracks, opt), EspField("-2.25000000000"));
  EXPECT_TRUE(Logged("ERROR: TSourceItem[1].ReadESPPhase[1] Double < 0 =-2.25")) << AllLines();
}

// A long accumulated phase is written from the left and cut to 27 characters.
TEST(EspMeasurementFields, LongPhaseIsCutAtTheRight) {
  TVQ_ChannelTracks tracks{};
  tracks[0].High = 4611686018427387000;
  EXPECT_EQ(EspMeasurementFields(0x0000, EspPhase(2.5, 0), tracks, Options()), "; 4611686018427387002.50000");
}

// ---- fraction carry --------------------------------------------------------------

// A fraction that rounds up to one carries into the whole part, away from zero.
TEST(FractionCarry, RoundsOnceIntoTheWholePart) {
  TVQ_ChannelTracks tracks{};
  tracks[0].PhaseDoubleOld = -10.0;  // no wraps
  tracks[1].PhaseDoubleOld = -10.0;
  EXPECT_EQ(EspMeasurementFields(0x0000, EspPhase(2.9999999999999996, 0) + EspPhase(-0.9999999999999, 0), tracks,
                                 Options()),
            EspField("3.00000000000") + EspField("-1.00000000000"));
  // 999.999999999999 / 1000 with 11 digits
  EXPECT_EQ(EspMeasurementFields(0x2000, Doubles({999.999999999999}), tracks, Options()), Field("1.00000000000"));

  EXPECT_EQ(DemoFields(0x0000, Doubles({0.9999999999999999, -0.9999999999999, 41.999999999999}), Options()),
            Field("1.00000000000") + Field("-1.00000000000") + Field("42.00000000000"));
  EXPECT_EQ(DemoFields(0x2000, Doubles({1.9999999999999998}), Options()), Field("2.000000000000000"));
  EXPECT_EQ(DemoFields(VQ_Code::QmtValues, Doubles({-0.999}), Options()), ";        -1.00;");
}

// ---- simulated counter ------------------------------------------------------------

TEST(DemoFields, DigitsAndWidthByCode) {
  struct Case {
    const char* what;
    uint16_t code;
    std::string values;
    std::string fields;
    TFormatSettings fmt = kPoint;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {"phase: 11 digits", 0x0000, Doubles({2.25}), Field("2.25000000000")},
      {"frequency from 2000: 15 digits", 0x2000, Doubles({10.5}), Field("10.500000000000000")},
      {"frequency to 3FFF: 15 digits", 0x3FFF, Doubles({10.5}), Field("10.500000000000000")},
      {"phase difference: 11 digits", 0x4000, Doubles({10.5}), Field("10.50000000000")},
      {"small negative: -0", 0x4000, Doubles({-0.5}), Field("-0.50000000000")},
      {"negative zero is 0", 0x4000, Doubles({-0.0}), Field("0.00000000000")},
      {"comma", 0x2000, Doubles({10.5}), Field("10,500000000000000"), kComma},
      {"7900: 2 digits, 13 wide, extra ;", VQ_Code::QmtValues, Doubles({12.5, -0.004}),
       ";        12.50;        -0.00;"},
      {"7900 without values", VQ_Code::QmtValues, "", ";"},
      {"cut when longer", 0x0000, Doubles({123456789012345.0}), ";123456789012345.0000000000"},
      {"NaN", 0x0000, Doubles({nan}), Field("NAN")},
      {"infinity in 7900", VQ_Code::QmtValues, Doubles({-inf}), ";         -INF;"},
      {"beyond 64 bits", 0x0000, Doubles({1e20}), ";100000000000000000000.0000"},
      {"incomplete value ignored", 0x0000, Doubles({2.25}) + "abc", Field("2.25000000000")},
  };
  for (const Case& c : cases) EXPECT_EQ(DemoFields(c.code, c.values, Options(c.fmt)), c.fields) << c.what;
}

// ---- 7900 -----------------------------------------------------------------------

// a = 0x234 = 564, b = 0x05 * 16 + 1 = 81, c = 10000: ((564-81)/2000 + 10000) * 100
const std::string kOldQmt = Bytes({0x34, 0x12, 0x05, 0x10, 0x27, 0x00});
// a = 1, b = 1, c = 100 -> 10000.00 (more groups follow: b1 bit 7 set)
const std::string kGroup1 = Bytes({0x81, 0x80, 0x01, 0x00, 0x64, 0x00, 0x00});
// a = 5, b = 3, c = 200 -> 20000.10 (last group: b1 bit 7 clear)
const std::string kGroup2 = Bytes({0x85, 0x00, 0x03, 0x00, 0xC8, 0x00, 0x00});

TEST(QmtLine, OldFormat) {
  struct Case {
    const char* what;
    std::string payload;
    bool esp;
    std::string line;
    TFormatSettings fmt = kPoint;
  };
  const Case cases[] = {
      {"6 bytes", kOldQmt, false, "7900;    1000024.15;"},
      {"comma", kOldQmt, false, "7900;    1000024,15;", kComma},
      {"ESP: 8 bytes", kOldQmt + "\x01\x02", true, "7900;    1000024.15;"},
      // c = 0xFFFFFF: capped at 999999999.999, which %13.2f writes as 1000000000.00
      {"cap", Bytes({0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF}), false, "7900; 1000000000.00;"},
      // a = 0, b = 0xFFF = 4095, c = 0: -4095/2000 * 100
      {"negative", Bytes({0x00, 0xF0, 0xFF, 0x00, 0x00, 0x00}), false, "7900;       -204.75;"},
      {"5 bytes: no line", kOldQmt.substr(0, 5), false, ""},
      {"empty: no line", "", false, ""},
      {"ESP 6 bytes: no line", kOldQmt, true, ""},
  };
  for (const Case& c : cases) {
    const TVQ_QmtDecode d = QmtLine(c.payload, c.esp, true, Options(c.fmt));
    EXPECT_EQ(d.Line, c.line) << c.what;
    EXPECT_FALSE(d.SyncError) << c.what;
  }
}

TEST(QmtLine, NewFormatPutsTheLastGroupFirst) {
  EXPECT_EQ(QmtLine(kGroup1 + kGroup2, false, false, Options()).Line, "7900;     20000.10;     10000.00;");
  EXPECT_EQ(QmtLine(kGroup1 + kGroup1 + kGroup2, false, true, Options()).Line,
            "7900;     20000.10;     10000.00;     10000.00;");
  EXPECT_EQ(QmtLine(kGroup2, false, true, Options()).Line, "7900;     20000.10;");
  // ESP: 8-byte groups, the eighth byte unused
  EXPECT_EQ(QmtLine(kGroup1 + "\xFF" + kGroup2 + "\xFF", true, true, Options(kComma)).Line,
            "7900;     20000,10;     10000,00;");

  // a = 0 or b = 0
  const std::string aZero = Bytes({0x80, 0x00, 0x03, 0x00, 0xC8, 0x00, 0x00});
  const std::string bZero = Bytes({0x85, 0x00, 0x00, 0x00, 0xC8, 0x00, 0x00});
  EXPECT_EQ(QmtLine(kGroup1 + aZero, false, true, Options()).Line, "7900;        -9.99;     10000.00;");
  EXPECT_EQ(QmtLine(bZero, false, true, Options()).Line, "7900;        -9.99;");
  // c = 0xFFFFFF
  EXPECT_EQ(QmtLine(Bytes({0x81, 0x00, 0x01, 0x00, 0xFF, 0xFF, 0xFF}), false, true, Options()).Line,
            "7900;1000000000.00;");
}

TEST(QmtLine, SyncErrorsOnceQmtLinesWereDelivered) {
  const std::string bad = Bytes({0x85, 0x00, 0x83, 0x00, 0xC8, 0x00, 0x00});  // b2 bit 7 set
  const std::string payloads[] = {
      (kGroup1 + kGroup2).substr(0, 13),                 // length
      kGroup1 + kGroup2 + kGroup2,                       // middle group marked last
      kGroup1 + kGroup1,                                 // last group marked not last
      kGroup1 + bad,                                     // b2 bit 7
      Bytes({0x05, 0x00, 0x03, 0x00, 0xC8, 0x00, 0x00}), // b0 bit 7 clear
      Bytes({0x85, 0x00, 0x03, 0x80, 0xC8, 0x00, 0x00}), // b3 bit 7 set
      kGroup1 + kGroup2 + std::string(1, '\0'),       // ESP: 9..15 bytes are no whole group
  };
  for (const std::string& p : payloads) {
    const TVQ_QmtDecode d = QmtLine(p, p.size() == 15, true, Options());
    EXPECT_EQ(d.Line, "7F90: Sync Error with QMT data") << HexDump(p);
    EXPECT_TRUE(d.SyncError) << HexDump(p);
  }
}

TEST_F(MeasFormatsLog, QmtSyncErrorsBeforeTheFirstLineAreOnlyLogged) {
  const std::string thirteen = (kGroup1 + kGroup2).substr(0, 13);
  TVQ_QmtDecode d = QmtLine(thirteen, false, false, opt);
  EXPECT_EQ(d.Line, "");
  EXPECT_TRUE(d.SyncError);
  EXPECT_TRUE(Logged("TSourceItem[1].ProcessBinData: ignore first 7900 SyncError (Length): " + HexDump(thirteen)))
      << AllLines();

  // the groups before the invalid one are kept
  const std::string invalidLast = kGroup1 + kGroup1 + kGroup1;
  d = QmtLine(invalidLast, false, false, opt);
  EXPECT_EQ(d.Line, "7900;     10000.00;     10000.00;");
  EXPECT_TRUE(d.SyncError);
  EXPECT_TRUE(Logged("TSourceItem[1].ProcessBinData: ignore first 7900 SyncError " + HexDump(invalidLast)))
      << AllLines();

  d = QmtLine(kGroup1, false, false, opt);
  EXPECT_EQ(d.Line, "");
  EXPECT_TRUE(d.SyncError);
}

// ---- 7901 -----------------------------------------------------------------------

TEST(CalibrationLine, SignedValuesDividedByTheFactor) {
  struct Case {
    const char* what;
    std::string payload;
    int factor;
    std::string line;
    TFormatSettings fmt = kPoint;
  };
  const std::string values = Bytes({0x00, 0x00, 0x00, 0x64, 0xFF, 0xFF, 0xFF, 0x9C});  // 100, -100
  const Case cases[] = {
      {"values", values, 1000, "7901;         0.100;        -0.100;"},
      {"comma", values, 8, "7901;        12,500;       -12,500;", kComma},
      {"largest magnitude", Bytes({0x80, 0x00, 0x00, 0x00}), 1, "7901;-2147483648.000;"},
      {"all $FF: zeros", std::string(8, '\xFF'), 1000, "7901;         0.000;         0.000;"},
      {"one $FF value is -1", Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00}), 1000,
       "7901;        -0.001;         0.000;"},
      {"incomplete value ignored", values + "\x01\x02\x03", 1000, "7901;         0.100;        -0.100;"},
      {"empty", "", 1000, "7901;"},
      {"short", "\xFF\xFF", 1000, "7901;"},
  };
  for (const Case& c : cases) EXPECT_EQ(CalibrationLine(c.payload, c.factor, Options(c.fmt)), c.line) << c.what;
}

TEST_F(MeasFormatsLog, CalibrationValuesBeyondTwentyFourAreLogged) {
  opt.Caller = ".ProcessESPBinData";
  std::string payload;
  std::string expected = "7901;";
  for (int i = 1; i <= 26; ++i) {
    payload += Bytes({0, 0, 0, i});
    if (i <= 24) expected += Blanks(i < 10 ? 9 : 8) + std::to_string(i) + ".000;";
  }
  EXPECT_EQ(CalibrationLine(payload, 1, opt), expected);
  EXPECT_TRUE(Logged("TSourceItem[1].ProcessESPBinData 7901: ignore channel 25 =25.000")) << AllLines();
  EXPECT_TRUE(Logged("TSourceItem[1].ProcessESPBinData 7901: ignore channel 26 =26.000")) << AllLines();
}

TEST_F(MeasFormatsLog, CalibrationFactorBelowOneIsTakenAsOne) {
  const std::string values = Bytes({0x00, 0x00, 0x00, 0x64});
  EXPECT_EQ(CalibrationLine(values, 0, opt), "7901;       100.000;");
  EXPECT_EQ(CalibrationLine(values, -5, opt), "7901;       100.000;");
  EXPECT_TRUE(Logged("TSourceItem[1].ProcessBinData 7901: calibration factor 0 invalid, 1 used")) << AllLines();
}

// Phase and phase-difference fields are rounded in integers; they must give
// the digits of a correctly rounded decimal conversion of the same value,
// exact ties (to even) included.
TEST(MeasFormatsRounding, IntegerRoundingMatchesDecimalConversion) {
  const int kDigits[17] = {11, 11, 11, 11, 10, 10, 10, 9, 9, 9, 8, 8, 8, 7, 7, 7, 7};
  std::mt19937_64 random(7);
  TVQ_FieldOptions opt;
  for (int i = 0; i < 20000; ++i) {
    const int r = 1 + static_cast<int>(random() % 16);
    uint64_t q = random() & (P2(51) - 1);  // positive in both modes
    if (i % 4 == 0) q &= ~(P2(35 - r - 12) - 1);  // few fraction bits: exact ties occur
    const double value = std::ldexp(static_cast<double>(q), r - 35);
    std::string text = FloatToStrFixed(value, kDigits[r]);
    text = ";" + std::string(26 - std::min<std::size_t>(text.size(), 26), ' ') + text;
    TVQ_ChannelTracks tracks{};
    EXPECT_EQ(BinMeasurementFields(0x0900, Bin(r, q), tracks, opt), text) << "phase r=" << r << " q=" << q;
    EXPECT_EQ(BinMeasurementFields(0x4900, Bin(r, q), tracks, opt), text) << "difference r=" << r << " q=" << q;
  }
}

// The simulated counter's doubles take the same integer rounding; they must
// match a correctly rounded decimal conversion for every magnitude.
TEST(MeasFormatsRounding, SimulatedDoublesMatchDecimalConversion) {
  std::mt19937_64 random(11);
  TVQ_FieldOptions opt;
  for (int i = 0; i < 20000; ++i) {
    const double magnitude = std::ldexp(static_cast<double>(random() >> 11), static_cast<int>(random() % 90) - 80);
    const double value = i % 3 == 0 ? -magnitude : magnitude;
    for (const uint16_t code : {uint16_t{0x0900}, uint16_t{0x2900}}) {
      const int digits = code == 0x2900 ? 15 : 11;
      std::string text = FloatToStrFixed(value, digits);
      if (value < 0 && text.starts_with("0")) text = "-" + text;  // "-0" for small negatives
      if (text.size() > 26) text.resize(26);
      const std::string expected = ";" + std::string(26 - text.size(), ' ') + text;
      EXPECT_EQ(DemoFields(code, Doubles({value}), opt), expected) << value;
    }
  }
}

}  // namespace
