#include "library/core/VQ_CommonTypes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

const TFormatSettings kPoint{'.', ','};
const TFormatSettings kComma{',', '.'};
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(ResultText, LowSevenBitsNameTheMember) {
  struct Case {
    unsigned code;
    const char* text;
  };
  const Case cases[] = {{0, "VQ_No_Err"},        {1, "VQ_No_Err"},
                        {2, "VQ_No_Err_Recovered"}, {4, "VQ_Err_BadFormat"},
                        {128 + 4, "VQ_Err_BadFormat"}, {16, "VQ_Err_Exception"},
                        {44, "VQ_Err_WatchErrorMsg"}, {45, "kein VQ_Result"},
                        {127, "kein VQ_Result"},   {255, "kein VQ_Result"}};
  for (const Case& c : cases) EXPECT_EQ(VQ_ResultText(c.code), c.text) << c.code;
  EXPECT_EQ(VQ_ResultText(TVQ_Result::VQ_Err_EndOfFile), "VQ_Err_EndOfFile");
}

TEST(EnumerationTexts, NamesAndOutOfRange) {
  EXPECT_EQ(PeerTypeText(TVQ_PeerType::ptESP), "ESP");
  EXPECT_EQ(PeerTypeText(3), "");
  EXPECT_EQ(PeerTypeText(-1), "");
  EXPECT_EQ(FPGATypeText(TVQ_FPGAType::ft_MicroSemi), "MicroSemi");
  EXPECT_EQ(FPGATypeText(7), "");
  EXPECT_EQ(CmdResponseTypeText(TCmdResponseType::crt_phaseReset), "PhaseReset");
  EXPECT_EQ(CmdResponseTypeText(TCmdResponseType::crt_ReadNVS), "readNVS");
  EXPECT_EQ(CmdResponseTypeText(9), "unknown 9");
  EXPECT_EQ(LogLimitTypeText(TLogLimitType::logCreateNew), "logCreateNew");
  EXPECT_EQ(LogLimitTypeText(5), "5");
}

TEST(IntervalTable, IndicesZeroToThirteen) {
  EXPECT_EQ(VQ_IntervalMs(0), 1u);
  EXPECT_EQ(VQ_IntervalMs(9), 1000u);
  EXPECT_EQ(VQ_IntervalMs(13), 20000u);
  EXPECT_EQ(VQ_IntervalMs(14), std::nullopt);
  EXPECT_EQ(VQ_IntervalMs(15), std::nullopt);
  EXPECT_EQ(VQ_IntervalMs(-1), std::nullopt);
}

TEST(DeviceInfo, NominalFrequenciesOfChannelsOneToTwentyFour) {
  TVQ_DeviceInfo info;
  EXPECT_EQ(info.FSerialNumber, 0xFFFFFFFFu);
  info.SetNominalFreq(1, 10e6);
  info.SetNominalFreq(24, 5e6);
  info.SetNominalFreq(25, 1.0);
  info.SetNominalFreq(0, 1.0);
  EXPECT_EQ(info.GetNominalFreq(1), 10e6);
  EXPECT_EQ(info.GetNominalFreq(24), 5e6);
  EXPECT_EQ(info.GetNominalFreq(0), 0.0);
  EXPECT_EQ(info.GetNominalFreq(25), 0.0);
  EXPECT_EQ(info.GetNominalFreqString(kComma), "10000000;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;5000000;");
}

TEST(DeviceInfoList, AddFillsOnlyTheGapsOfAKnownCounter) {
  TVQ_DeviceInfoList list;
  TVQ_DeviceInfo unknown;
  EXPECT_EQ(list.AddInfo(unknown), -1);
  EXPECT_EQ(list.Count(), 0);

  TVQ_DeviceInfo first;
  first.FSerialNumber = 1234;
  first.FHardFeature = 0x10;
  first.FIPAddress = "10.0.0.1";
  first.SetNominalFreq(1, 10e6);
  TVQ_DeviceInfo other;
  other.FSerialNumber = 99;
  EXPECT_EQ(list.AddInfo(other), 0);
  EXPECT_EQ(list.AddInfo(first), 1);

  TVQ_DeviceInfo second;
  second.FSerialNumber = 1234;
  second.FHardFeature = 0x20;
  second.FIPAddress = "10.0.0.2";
  second.FPeerType = TVQ_PeerType::ptESP;
  second.SetNominalFreq(1, 5e6);
  second.SetNominalFreq(2, 5e6);
  EXPECT_EQ(list.AddInfo(second), 1);

  const auto merged = list.GetInfo(1234);
  ASSERT_TRUE(merged);
  EXPECT_EQ(merged->FIndex, 1);
  EXPECT_EQ(merged->FHardFeature, 0x10u);
  EXPECT_EQ(merged->FIPAddress, "10.0.0.1");
  EXPECT_EQ(merged->GetNominalFreq(1), 10e6);
  EXPECT_EQ(merged->GetNominalFreq(2), 5e6);
  EXPECT_EQ(merged->FPeerType, TVQ_PeerType::ptESP);
  EXPECT_FALSE(list.GetInfo(7));
}

// ---- phase ------------------------------------------------------------------

Phase P(int64_t high, double low) { return Phase{high, low}; }

TEST(PhaseValue, FromDoubleSplitsTowardZero) {
  struct Case {
    double value;
    int64_t high;
    double low;
  };
  const Case cases[] = {{-2.25, -2, -0.25}, {2.75, 2, 0.75}, {0.0, 0, 0.0}, {-0.5, 0, -0.5}, {1e15 + 0.5, 1000000000000000, 0.5}};
  for (const Case& c : cases) {
    Phase p;
    p.FromDouble(c.value);
    EXPECT_EQ(p.High, c.high) << c.value;
    EXPECT_EQ(p.Low, c.low) << c.value;
    EXPECT_EQ(p.ToDouble(), c.value);
  }
}

TEST(PhaseValue, FromDoubleKeepsValuesWithoutWholeCyclesInTheFraction) {
  for (double v : {kNaN, kInf, -kInf, 1e19, -1e300}) {
    Phase p;
    p.FromDouble(v);
    EXPECT_EQ(p.High, 0);
    if (std::isnan(v))
      EXPECT_TRUE(std::isnan(p.ToDouble()));
    else
      EXPECT_EQ(p.ToDouble(), v);
  }
}

TEST(PhaseValue, NormaliseGivesTheFractionTheSignOfTheWhole) {
  struct Case {
    Phase in;
    int64_t high;
    double low;
  };
  const Case cases[] = {
      {P(5, -0.25), 4, 0.75},  {P(-5, 0.25), -4, -0.75}, {P(3, 2.5), 5, 0.5},   {P(-3, -2.5), -5, -0.5},
      {P(0, -0.5), 0, -0.5},   {P(-1, 0.5), 0, -0.5},    {P(1, -0.5), 0, 0.5},  {P(4, -1.0), 3, 0.0},
      {P(-4, 1.0), -3, 0.0},   {P(7, 0.0), 7, 0.0},      {P(2, -1e-20), 2, 0.0},
  };
  for (const Case& c : cases) {
    Phase p = c.in;
    p.Normalise();
    EXPECT_EQ(p.High, c.high) << c.in.High << " " << c.in.Low;
    EXPECT_DOUBLE_EQ(p.Low, c.low) << c.in.High << " " << c.in.Low;
  }
}

TEST(PhaseValue, NormaliseLeavesNonFiniteFractionsAlone) {
  Phase p = P(3, kNaN);
  p.Normalise();
  EXPECT_EQ(p.High, 3);
  EXPECT_TRUE(std::isnan(p.Low));
  p = P(0, 1e30);
  p.Normalise();
  EXPECT_EQ(p.Low, 1e30);
}

TEST(PhaseValue, Arithmetic) {
  Phase sum = P(10, 0.75);
  sum.Add(P(2, 0.5));
  EXPECT_EQ(sum.High, 13);
  EXPECT_EQ(sum.Low, 0.25);

  Phase diff = P(10, 0.25);
  diff.Subtract(P(12, 0.5));
  EXPECT_EQ(diff.High, -2);  // not normalised
  EXPECT_EQ(diff.Low, -0.25);

  Phase half = P(5, 0.5);
  half.Divide(2.0);
  EXPECT_EQ(half.High, 2);
  EXPECT_EQ(half.Low, 0.75);

  Phase triple = P(-1, -0.5);
  triple.Multiply(3.0);
  EXPECT_EQ(triple.High, -4);
  EXPECT_EQ(triple.Low, -0.5);

  // Carries in the whole cycles wrap instead of overflowing.
  Phase top = P(std::numeric_limits<int64_t>::max(), 0.0);
  top.Add(P(1, 0.0));
  EXPECT_EQ(top.High, std::numeric_limits<int64_t>::min());
}

TEST(PhaseValue, DivisionAndMultiplicationWithoutWholeCycles) {
  Phase byZero = P(5, 0.5);
  byZero.Divide(0.0);
  EXPECT_EQ(byZero.High, 0);
  EXPECT_EQ(byZero.Low, kInf);

  Phase zeroByZero = P(0, 0.0);
  zeroByZero.Divide(0.0);
  EXPECT_TRUE(std::isnan(zeroByZero.ToDouble()));

  Phase huge = P(int64_t{1} << 62, 0.0);
  huge.Multiply(4.0);
  EXPECT_EQ(huge.High, 0);
  EXPECT_EQ(huge.Low, std::ldexp(1.0, 64));

  Phase nan = P(5, 0.25);
  nan.Multiply(kNaN);
  EXPECT_TRUE(std::isnan(nan.ToDouble()));
}

TEST(PhaseValue, Texts) {
  EXPECT_EQ(P(-2, -0.25).ToString(kComma), "-2 -0,25");
  EXPECT_EQ(P(1, 0.5).ToHexString(), "0000000000000001 000000000000E03F");
  EXPECT_EQ(P(-1, 0.0).ToHexString(), "FFFFFFFFFFFFFFFF 0000000000000000");
}

// High right-aligned in 25 - digits characters, then the fraction text.
std::string Field(int digits, const std::string& whole, const std::string& fraction) {
  return std::string(static_cast<std::size_t>(25 - digits) - whole.size(), ' ') + whole + fraction;
}

TEST(PhaseValue, FormatRoundsTheWholeValue) {
  struct Case {
    Phase p;
    int digits;
    const char* whole;
    const char* fraction;
  };
  const Case cases[] = {
      {P(12, 0.5), 4, "12", ".5000"},
      {P(0, -0.5), 8, "-0", ".50000000"},
      {P(-3, -0.5), 4, "-3", ".5000"},
      {P(0, 0.99996), 4, "1", ".0000"},  // carries a whole cycle
      {P(7, 0.99996), 4, "8", ".0000"},
      {P(0, -0.99996), 4, "-1", ".0000"},
      {P(-7, -0.99996), 4, "-8", ".0000"},
      {P(0, -0.00001), 4, "-0", ".0000"},
      {P(5, -0.25), 2, "4", ".75"},  // normalised first
      {P(2, 0.4), 0, "2", ""},
      {P(2, 0.6), 0, "3", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.p.Format(c.digits, kPoint), Field(c.digits, c.whole, c.fraction)) << c.whole << c.fraction;
  EXPECT_EQ(P(0, -0.5).Format(8, kComma), Field(8, "-0", ",50000000"));
}

TEST(PhaseValue, FormatCutsOverlongFields) {
  EXPECT_EQ(P(1234567890123456789, 0.5).Format(11, kPoint), "1234567890123456789.500000");
  EXPECT_EQ(P(std::numeric_limits<int64_t>::min(), 0.0).Format(12, kPoint), "-9223372036854775808.00000");
}

// ---- calibration and PVH ----------------------------------------------------

TEST(CalibrationData, TextIsEveryValueFollowedByABlank) {
  TCalibrationData cal;
  cal.Values[0] = 1.5;
  cal.Values[23] = -2.0;
  std::string expected = "1,5 ";
  for (int i = 1; i < 23; ++i) expected += "0 ";
  expected += "-2 ";
  EXPECT_EQ(cal.ToString(kComma), expected);
  cal.Clear();
  EXPECT_EQ(cal.Values[0], 0.0);
}

TEST(PVHSetting, TextRoundTrip) {
  TPVHSetting s;
  ASSERT_TRUE(s.FromString("10000000,5;9990000;1", kComma));
  EXPECT_EQ(s.NomFreq, 10000000.5);
  EXPECT_EQ(s.LOFreq, 9990000.0);
  EXPECT_TRUE(s.enabled);
  EXPECT_EQ(s.ToString(kPoint), "10000000.500000000000;9990000.000000000000;1");

  struct Case {
    const char* text;
    bool ok;
    bool enabled;
  };
  const Case cases[] = {
      {"10.5;9.5;1", true, true},  {"10.5;9.5; 0 ", true, false}, {"10.5;0;1", true, false},
      {"0;9.5;1", true, false},    {"10.5;9.5;1;x", true, true},  {"10.5;9.5", false, false},
      {"", false, false},
  };
  for (const Case& c : cases) {
    TPVHSetting t;
    EXPECT_EQ(t.FromString(c.text, kPoint), c.ok) << c.text;
    EXPECT_EQ(t.enabled, c.enabled) << c.text;
  }
  TPVHSetting bad;
  EXPECT_THROW(bad.FromString("ten;9.5;1", kPoint), EConvertError);
}

TEST(PVHSetting, UpdateFactor) {
  TPVHSetting s;
  ASSERT_TRUE(s.FromString("10000000;9990000;1", kPoint));
  s.Update();
  EXPECT_EQ(s.Factor, 1000.0L);

  // Equal frequencies would divide by zero: the factor stays 1.
  ASSERT_TRUE(s.FromString("10000000;10000000;1", kPoint));
  s.Update();
  EXPECT_EQ(s.Factor, 1.0L);
  EXPECT_TRUE(s.enabled);
  EXPECT_EQ(s.ToString(kPoint), "10000000.000000000000;10000000.000000000000;1");

  ASSERT_TRUE(s.FromString("10000000;0;1", kPoint));
  s.Update();
  EXPECT_EQ(s.Factor, 1.0L);
}

TEST(PVHSettings, TableTextAndErrors) {
  TPVHSettings table;
  table.FormatSettings = kPoint;
  EXPECT_TRUE(table.FromString(""));
  ASSERT_TRUE(table.FromString("10;9;1/0;0;0/20,5;19;1"));  // decimal comma converted
  table.Update();
  EXPECT_EQ(table.PVHChannelCount, 2);
  EXPECT_EQ(table.PVHChannels[2].NomFreq, 20.5);
  EXPECT_EQ(table.PVHChannels[23].NomFreq, 0.0);

  TPVHSettings copy;
  copy.FormatSettings = kPoint;
  ASSERT_TRUE(copy.FromString(table.ToString()));
  EXPECT_TRUE(copy.IsEqual(table));
  copy.PVHChannels[5].enabled = true;
  EXPECT_FALSE(copy.IsEqual(table));

  EXPECT_FALSE(table.FromString("10;9;1/10;9"));
  EXPECT_EQ(table.ErrorStr, "Format error");
  EXPECT_FALSE(table.FromString("10;9;1/x;9;1"));
  EXPECT_EQ(table.ErrorStr, "'x' is not a valid floating point value");
  EXPECT_TRUE(table.FromString("10;9;1"));
  EXPECT_EQ(table.ErrorStr, "");
}

// ---- report vocabulary ------------------------------------------------------

TEST(ReportVocabulary, CodesOfLines) {
  EXPECT_EQ(ReportCodeText(VQ_Code::Timestamp), "7015");
  EXPECT_EQ(ReportCodeText(0x0A3), "00A3");
  EXPECT_EQ(ReportLineCode("7015; 12"), 0x7015);
  EXPECT_EQ(ReportLineCode("7ffa: x"), 0x7FFA);
  EXPECT_EQ(ReportLineCode("1234"), 0x1234);
  EXPECT_EQ(ReportLineCode("701"), std::nullopt);
  EXPECT_EQ(ReportLineCode("70G5; 1"), std::nullopt);
  EXPECT_EQ(BinaryReport(VQ_Code::BufferCleared, "ab"), "\x70\x22" "ab");
  EXPECT_EQ(BinaryReportCode(BinaryReport(0x8600)), 0x8600);
  EXPECT_EQ(BinaryReportCode("\x70"), 0xFFFF);
  EXPECT_TRUE(IsVersionCommand("\x81"));
  EXPECT_FALSE(IsVersionCommand("\x01\x01"));
  EXPECT_TRUE(VQ_Code::IsMeasurement(0x6FFF));
  EXPECT_FALSE(VQ_Code::IsMeasurement(VQ_Code::Tick));
}

}  // namespace
