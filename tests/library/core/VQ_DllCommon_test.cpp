#include "library/core/VQ_DllCommon.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

const TFormatSettings kPoint{'.', ','};
const TFormatSettings kComma{',', '.'};

TEST(FloatToStrGeneral, FifteenDigitsFixedOrExponent) {
  struct Case {
    double value;
    const char* text;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {0.0, "0"},
      {-0.0, "0"},
      {10000000.0, "10000000"},
      {-2.25, "-2.25"},
      {0.1, "0.1"},
      {0.1 + 0.2, "0.3"},  // fifteen digits hide the binary noise
      {1.0 / 3.0, "0.333333333333333"},
      {0.0001, "0.0001"},
      {0.00001, "1E-5"},
      {-1.5e-10, "-1.5E-10"},
      {999999999999999.0, "999999999999999"},
      {1e15, "1E15"},
      {1.5e20, "1.5E20"},
      {123456.789, "123456.789"},
      {nan, "NAN"},
      {inf, "INF"},
      {-inf, "-INF"},
  };
  for (const Case& c : cases) EXPECT_EQ(FloatToStrGeneral(c.value, kPoint), c.text) << c.text;
  EXPECT_EQ(FloatToStrGeneral(1234.5, kComma), "1234,5");
  EXPECT_EQ(FloatToStrGeneral(2.5e-7, kComma), "2,5E-7");
}

TEST(FloatToStrFixed, DigitsAndSeparator) {
  EXPECT_EQ(FloatToStrFixed(10000000.0, 12, kPoint), "10000000.000000000000");
  EXPECT_EQ(FloatToStrFixed(-0.5, 3, kComma), "-0,500");
  EXPECT_EQ(FloatToStrFixed(2.5, 0, kPoint), "2");
  EXPECT_EQ(FloatToStrFixed(1e300, 1, kPoint).size(), 303u);
  EXPECT_EQ(FloatToStrFixed(std::numeric_limits<double>::quiet_NaN(), 3, kPoint), "NAN");
}

// The fast conversions must write byte for byte what the library's do:
// values of every magnitude a measurement or a phase fraction can have, exact
// ties (rounded half to even), signed zeros, subnormals, and values too large
// for its integers (left to the library).
// The library's shortest general form with fifteen digits ("1.5e-07") in
// the program's spelling ("1.5E-7").
std::string GeneralAsWritten(std::string_view library) {
  const std::size_t e = library.find('e');
  if (e == std::string_view::npos) return std::string(library);
  int exponent = 0;
  const std::size_t digits = e + (library[e + 1] == '+' ? 2 : 1);
  std::from_chars(library.data() + digits, library.data() + library.size(), exponent);
  return std::string(library.substr(0, e)) + "E" + std::to_string(exponent);
}

TEST(ToCharsFast, WritesWhatTheLibraryWrites) {
  std::mt19937_64 random(11);
  std::vector<double> values = {0.0,   -0.0,     0.5,    1.5,     2.5,    0.125,  -0.125, 0.375,
                                1e-5,  -1e-5,    1e7,    9999999.99999999, 0.9999999999999999,
                                1e15,  1e17,     1e19,   1e25,    1e300,  -1e300, 5e-324, 2.2250738585072014e-308,
                                1e-12, 123.456,  1e6 + 1.0 / 3.0};
  for (int k = 0; k < 20000; ++k) {
    // Uniform in the exponent and the mantissa: every scale alike.
    const double mantissa = std::uniform_real_distribution<double>(-1.0, 1.0)(random);
    const int exponent = std::uniform_int_distribution<int>(-40, 70)(random);
    values.push_back(std::ldexp(mantissa, exponent));
    // Exact ties at a random number of digits.
    const int d = k % 12;
    values.push_back((static_cast<double>(random() % 100000) + 0.5) / std::pow(10.0, d));
  }
  // Values that round up into the next decade.
  for (double v : {9.9999999999999995, 0.099999999999999999, 99999.999999999999, 9.5, 0.95})
    values.push_back(v);
  char fast[400];
  char library[400];
  for (double v : values) {
    if (v != 0.0) {
      const auto g = std::to_chars(library, library + sizeof library, v, std::chars_format::general, 15);
      ASSERT_EQ(FloatToStrGeneral(v, kPoint), GeneralAsWritten(std::string_view(library, g.ptr))) << std::hexfloat << v;
    }
    for (int digits : {0, 1, 2, 3, 5, 8, 11, 12, 14, 15, 17, 18, 20, 24, 27, 28, 31, 32}) {
      const auto a = ToCharsFixed(fast, fast + sizeof fast, v, digits);
      const auto b = std::to_chars(library, library + sizeof library, v, std::chars_format::fixed, digits);
      ASSERT_EQ(a.ec, b.ec);
      ASSERT_EQ(std::string_view(fast, a.ptr), std::string_view(library, b.ptr))
          << std::hexfloat << v << " fixed with " << digits << " digits";
      const auto c = ToCharsScientific(fast, fast + sizeof fast, v, digits);
      const auto d = std::to_chars(library, library + sizeof library, v, std::chars_format::scientific, digits);
      ASSERT_EQ(c.ec, d.ec);
      ASSERT_EQ(std::string_view(fast, c.ptr), std::string_view(library, d.ptr))
          << std::hexfloat << v << " scientific with " << digits << " digits";
    }
  }
  // Too small a buffer is refused as the library refuses it.
  EXPECT_EQ(ToCharsFixed(fast, fast + 3, 123.25, 2).ec, std::errc::value_too_large);
  EXPECT_EQ(ToCharsScientific(fast, fast + 5, 123.25, 2).ec, std::errc::value_too_large);
}

TEST(StrToFloat, AcceptsOnlyWholeNumbersInTheFormat) {
  struct Case {
    const char* text;
    const TFormatSettings* fmt;
    std::optional<double> value;
  };
  const Case cases[] = {
      {"1.5", &kPoint, 1.5},        {" -2.25 ", &kPoint, -2.25}, {"+3", &kPoint, 3.0},
      {"1E-10", &kPoint, 1e-10},    {"1,5", &kComma, 1.5},       {".5", &kPoint, 0.5},
      {"1,5", &kPoint, std::nullopt}, {"1.5", &kComma, std::nullopt}, {"", &kPoint, std::nullopt},
      {"abc", &kPoint, std::nullopt}, {"1.5x", &kPoint, std::nullopt}, {"inf", &kPoint, std::nullopt},
      {"nan", &kPoint, std::nullopt}, {"-", &kPoint, std::nullopt},    {"0x10", &kPoint, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(TryStrToFloat(c.text, *c.fmt), c.value) << c.text;
  EXPECT_THROW(
      {
        try {
          StrToFloat("x1", kPoint);
        } catch (const EConvertError& e) {
          EXPECT_STREQ(e.what(), "'x1' is not a valid floating point value");
          throw;
        }
      },
      EConvertError);
}

TEST(ConvertDecimalMark, FindsTheMarkAfterTheFirstCharacter) {
  struct Case {
    const char* text;
    char separator;
    const char* result;
  };
  const Case cases[] = {
      {"10.5", ',', "10,5"},   {"10,5", '.', "10.5"},  {"10,5", ',', "10,5"},   {"1.2.3", ',', "1,2,3"},
      {".5", ',', ".5"},       {",5", '.', ",5"},      {".5.5", ',', ".5.5"},   {"10", ',', "10"},
      {"", ',', ""},           {"1.5,5", ',', "1,5,5"},  // "." wins when both are present
  };
  for (const Case& c : cases) EXPECT_EQ(ConvertDecimalMark(c.text, c.separator), c.result) << c.text;
}

TEST(FrequencyResolutionClass, Thresholds) {
  struct Case {
    double f;
    int cls;
  };
  const Case cases[] = {{32768000.1, 7}, {32768000.0, 8}, {-40e6, 7},  {4096000.5, 8}, {4096000.0, 9},
                        {512000.5, 9},   {512000.0, 10},  {32000.5, 10}, {32000.0, 11}, {0.0, 11}};
  for (const Case& c : cases) EXPECT_EQ(FrequencyResolutionClass(c.f), c.cls) << c.f;
}

TEST(ByteHelpers, SwapAndHex) {
  EXPECT_EQ(SwapBytes32(0x12345678u), 0x78563412u);
  EXPECT_EQ(SwapBytes16(0xBCBDu), 0xBDBCu);
  const uint8_t bytes[] = {0x00, 0x0A, 0xBF, 0xFF};
  EXPECT_EQ(HexDump(std::span<const uint8_t>(bytes)), "000ABFFF");
  EXPECT_EQ(HexDump(std::string_view("\x85\x38", 2)), "8538");
  EXPECT_EQ(HexDump(std::string_view()), "");
  EXPECT_EQ(HexText(0x7015, 4), "7015");
  EXPECT_EQ(HexText(0x5, 4), "0005");
  EXPECT_EQ(HexText(0x123456, 4), "123456");
  EXPECT_EQ(HexText(0, 0), "0");
  EXPECT_EQ(ReadBigEndian32(std::string_view("\x70\x15\x01\x02\x03\x04", 6), 2), 0x01020304u);
  EXPECT_EQ(ReadBigEndian32(std::string_view("\x01\x02\x03", 3)), 0u);  // too short
  EXPECT_EQ(ReadBigEndian32(std::string_view("\x01\x02\x03\x04", 4), 9), 0u);
}

}  // namespace

namespace {

TEST(TextHelpers, TrimAndSplit) {
  EXPECT_EQ(Trim(" \t7015; 12\r\n"), "7015; 12");
  EXPECT_EQ(Trim("\r\n"), "");
  using Parts = std::vector<std::string_view>;
  EXPECT_EQ(SplitText("a / b / ", " / "), (Parts{"a", "b", ""}));
  EXPECT_EQ(SplitText("", ";"), Parts{""});
  EXPECT_EQ(SplitText("10;9;1", ";"), (Parts{"10", "9", "1"}));
}

}  // namespace
