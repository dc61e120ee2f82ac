#include "app/data/QMT_DataManagement.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "library/core/LogUnit.h"
#include "QmtLines.h"
#include "support/FileText.h"
#include "support/TempFolder.h"

namespace {

using HS = THorizontalScale;
constexpr double kInvalid = TQMT_DataManagement::kInvalidValue;

struct TMessage {
  int Code;
  std::string Text;
};

// A store with its callbacks recorded.
class QMTStore : public ::testing::Test {
 protected:
  void SetUp() override {
    store = std::make_unique<TQMT_DataManagement>(-1, 2, false);
    store->FOnError = [this](int code, int, const std::string& text) { errors.push_back({code, text}); };
    store->FOnWarning = [this](int code, int, const std::string& text) { warnings.push_back({code, text}); };
    store->FOnReset = [this](int, TDataManagement&) { ++resets; };
    store->FOnChannelCount = [this](int code, int n) { counts.push_back({code, std::to_string(n)}); };
    store->FOnSamplerEvent = [this](int sessId, bool, int event, const std::string& text) {
      EXPECT_EQ(sessId, 2);
      events.push_back({event, text});
    };
    store->FOnSamplerStrings = [this](int, bool, const TQMTSamplerRecord& record) { records.push_back(record); };
    store->SetSamplerLogTypes(1u << 4);  // a log of intervals
    store->FOnServerLine = [this](int multiId, const std::string& text, int type) {
      EXPECT_EQ(multiId, 5);
      served.push_back({type, text});
    };
    store->SetMultiId(5);
  }

  void Add(const std::vector<double>& values) { ASSERT_TRUE(store->AddQMT(Line(values))); }
  double Stored(int k) { return store->LastValue(k); }

  std::unique_ptr<TQMT_DataManagement> store;
  std::vector<TMessage> errors, warnings, counts, events, served;
  std::vector<TQMTSamplerRecord> records;
  int resets = 0;
};

// ---- reading 7900 lines --------------------------------------------------------------------

struct TGoodLine {
  const char* name;
  std::string line;
  std::vector<double> expected;
};

TEST_F(QMTStore, ReadsEveryFieldWholeIncludingItsLastDigit) {
  const std::vector<TGoodLine> cases = {
      {"single value after the blank", "7900;      12345.67;", {12345.67}},
      {"single value, negative", "7900;        -3.21;", {-3.21}},
      {"three channels", Line({100.0, 250.5, 300.25}), {100.0, 250.5, 300.25}},
      {"no blank after the code", "7900;" + Field(1.5) + Field(2.75), {1.5, 2.75}},
      {"line end after the last field", Line({7.77, 8.88}) + "\r\n", {7.77, 8.88}},
      {"24 channels", Line(std::vector<double>(24, 42.42)), std::vector<double>(24, 42.42)},
  };
  for (const TGoodLine& c : cases) {
    SCOPED_TRACE(c.name);
    store->Reset();
    ASSERT_TRUE(store->AddQMT(c.line));
    ASSERT_EQ(store->ChannelCount(), static_cast<int>(c.expected.size()));
    for (int k = 1; k <= static_cast<int>(c.expected.size()); ++k) EXPECT_DOUBLE_EQ(Stored(k), c.expected[k - 1]);
    EXPECT_EQ(store->Count(HS::hsNone), 1);
  }
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(store->SkippedLineCount(), 0u);
}

TEST_F(QMTStore, ReadsTheLogDecimalSeparator) {
  store->SetLogDecimalSeparator(',');
  ASSERT_TRUE(store->AddQMT("7900;       123,45;        67.89;"));
  EXPECT_DOUBLE_EQ(Stored(1), 123.45);
  EXPECT_DOUBLE_EQ(Stored(2), 67.89);
}

struct TBadLine {
  const char* name;
  std::string line;
  int code;
};

TEST_F(QMTStore, SkipsLinesThatDoNotParseWithoutTouchingTheStore) {
  Add({10.0, 20.0, 30.0});
  const std::vector<TBadLine> cases = {
      {"field too short", "7900;  12.34;", TQMT_DataManagement::kErrorBadLine},
      {"one field one character too wide", "7900; " + Field(1.0) + " " + Field(2.0), TQMT_DataManagement::kErrorBadLine},
      {"letters in a number", "7900; " + Field(1.0) + "     12a45.67;", TQMT_DataManagement::kErrorBadLine},
      {"empty field", "7900; " + Field(1.0) + "             ;", TQMT_DataManagement::kErrorBadLine},
      {"separator missing", "7900; " + Field(1.0) + "      12345.67 ", TQMT_DataManagement::kErrorBadLine},
      {"too many fields", Line(std::vector<double>(25, 1.0)), TQMT_DataManagement::kErrorTooLong},
      {"not a 7900 line", "7901; " + Field(1.0), TQMT_DataManagement::kErrorBadLine},
      {"nothing", "", TQMT_DataManagement::kErrorBadLine},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    errors.clear();
    EXPECT_TRUE(store->AddQMT(cases[i].line));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].Code, cases[i].code);
    EXPECT_EQ(store->SkippedLineCount(), i + 1);
    EXPECT_EQ(store->Count(HS::hsNone), 1);
    EXPECT_EQ(store->ChannelCount(), 3);
    EXPECT_DOUBLE_EQ(Stored(1), 10.0);
    EXPECT_DOUBLE_EQ(Stored(3), 30.0);
  }
  // The next good line goes to the next position, every channel in its place.
  Add({11.0, 21.0, 31.0});
  EXPECT_EQ(store->Count(HS::hsNone), 2);
  EXPECT_EQ(store->GetQMTDiff(false, 3, 0, 2), (std::vector<double>{20.0, 20.0}));
}

// ---- calibration ------------------------------------------------------------------------------

TEST_F(QMTStore, InvalidReadingsAreStoredAsTheMarkerAndShownAsDashes) {
  store->SetAddLogStrings(true);
  Add({100.0, -10.0, 300.0});
  EXPECT_DOUBLE_EQ(Stored(2), kInvalid);
  EXPECT_EQ(store->GetTextModeString(tmQMT, 2), "---");
  EXPECT_EQ(store->GetTextModeString(tmQMTDiff, 2), "---");
  EXPECT_EQ(store->GetTextModeString(tmQMT, 3), "300.00");
  EXPECT_EQ(store->GetTextModeString(tmQMTDiff, 3), "200.00");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].Strings[0], Pad15("100.00") + Pad15("-9.99") + Pad15("300.00"));
  EXPECT_EQ(records[0].Strings[1], Pad15("0.00") + Pad15("-9.99") + Pad15("200.00"));
  EXPECT_EQ(store->GetCalibrateCalculated(2), 0.0);  // the invalid reading teaches nothing
}

TEST_F(QMTStore, ChannelOneWithoutReadingGivesNoDifferencesAndNoCalibrationUpdate) {
  store->SetAddLogStrings(true);
  Add({100.0, 103.0});
  ASSERT_DOUBLE_EQ(store->GetCalibrateCalculated(2), 3.0);
  Add({-9.99, 500.0});
  EXPECT_DOUBLE_EQ(store->GetCalibrateCalculated(2), 3.0);
  EXPECT_DOUBLE_EQ(Stored(2), 500.0);
  EXPECT_EQ(store->GetTextModeString(tmQMTDiff, 2), "---");
  EXPECT_EQ(records.back().Strings[1], Pad15("-9.99") + Pad15("-9.99"));
}

TEST_F(QMTStore, CalculatedCalibrationIsARunningMeanOfTheDifferenceToChannelOne) {
  Add({100.0, 110.0, 90.0});
  EXPECT_DOUBLE_EQ(store->GetCalibrateCalculated(1), 0.0);
  EXPECT_DOUBLE_EQ(store->GetCalibrateCalculated(2), 10.0);
  EXPECT_DOUBLE_EQ(store->GetCalibrateCalculated(3), -10.0);
  Add({100.0, 140.0, 90.0});  // gap 30: moves by one thirtieth
  EXPECT_DOUBLE_EQ(store->GetCalibrateCalculated(2), 11.0);
  EXPECT_DOUBLE_EQ(store->GetCalibrateCalculated(3), -10.0);
  EXPECT_EQ(store->GetCalibrateCalculated(0), 0.0);
  EXPECT_EQ(store->GetCalibrateCalculated(25), 0.0);
  store->ResetCalibrateCalculated();
  EXPECT_EQ(store->GetCalibrateCalculated(2), 0.0);
}

TEST_F(QMTStore, CalibrationInUseIsSubtractedAndAChangeResetsTheStore) {
  Add({1.0, 2.0, 3.0});
  EXPECT_TRUE(store->SetCalibrationData(Calibration({{1, 7.0}, {3, 5.0}})));
  EXPECT_EQ(resets, 1);
  EXPECT_EQ(store->Count(HS::hsNone), 0);
  EXPECT_EQ(store->CalibrationValues().Values[0], 0.0);  // channel 1 is the reference
  EXPECT_EQ(store->CalibrationValues().Values[2], 5.0);
  EXPECT_FALSE(store->SetCalibrationData(Calibration({{3, 5.0}})));

  Add({50.0, 60.0, 100.0});
  EXPECT_DOUBLE_EQ(Stored(1), 50.0);
  EXPECT_DOUBLE_EQ(Stored(3), 95.0);
  // The calculated calibration learns from the uncorrected reading.
  EXPECT_DOUBLE_EQ(store->GetCalibrateCalculated(3), 50.0);

  TCalibrationData broken = Calibration({{2, std::nan("")}});
  EXPECT_FALSE(store->SetCalibrationData(broken));
  EXPECT_EQ(store->CalibrationValues().Values[2], 5.0);
}

TEST_F(QMTStore, DeviceCalibrationFromA7901Line) {
  std::string line = "7901;";
  for (int k = 1; k <= 24; ++k) line += FloatToStrFixed(k * 1.5, 3) + ";";
  EXPECT_FALSE(store->DeviceCalibrationSet());
  EXPECT_TRUE(store->AddCalibration(line + "\r\n"));
  EXPECT_TRUE(store->DeviceCalibrationSet());
  const TCalibrationData device = store->DeviceCalibration();
  EXPECT_EQ(device.Values[0], 0.0);
  EXPECT_EQ(device.Values[1], 3.0);
  EXPECT_EQ(device.Values[23], 36.0);
  EXPECT_FALSE(store->AddCalibration(line));

  // A short line changes only the channels it holds; a text that is no
  // number reads as 0 with a warning.
  EXPECT_TRUE(store->AddCalibration("7901;    1.000;    x;"));
  EXPECT_EQ(store->DeviceCalibration().Values[1], 0.0);
  EXPECT_EQ(store->DeviceCalibration().Values[2], 4.5);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].Code, TQMT_DataManagement::kWarningBadCalibration);
}

// ---- value strings and hand-over ------------------------------------------------------------------

TEST_F(QMTStore, NothingIsHandedOverUntilLogStringsAreOn) {
  store->SetPAVtimeString("12:00:00");
  Add({1.0, 2.0});
  EXPECT_TRUE(records.empty());
  EXPECT_TRUE(served.empty());

  store->SetCalibrationData(Calibration({{2, 0.5}}));
  store->SetAddLogStrings(true);
  store->SetLogDecimalSeparator(',');
  Add({1.0, 2.0});
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].Strings[0], Pad15("1,00") + Pad15("1,50"));
  EXPECT_EQ(records[0].Strings[1], Pad15("0,00") + Pad15("0,50"));
  EXPECT_EQ(records[0].Strings[9], "12:00:00");
  EXPECT_TRUE(records[0].Strings[2].empty());
  EXPECT_EQ(records[0].Calibration.Values[1], 0.5);  // the calibration the line was corrected with
  ASSERT_EQ(served.size(), 2u);
  EXPECT_EQ(served[0].Code, TQMT_DataManagement::kServerLogValues);
  EXPECT_EQ(served[0].Text, records[0].Strings[0]);
  EXPECT_EQ(served[1].Code, TQMT_DataManagement::kServerLogDiff);
  EXPECT_EQ(served[1].Text, records[0].Strings[1]);
}

TEST_F(QMTStore, VirtualChannelsGetASecondRecord) {
  store->SetAddLogStrings(true);
  TDataManagement::TFactorRow sum{};
  sum[0] = 1.0;
  sum[2] = 2.0;
  TDataManagement::TFactorRow second{};
  second[1] = 1.0;
  store->SetVirtualFactors(1, sum);
  store->SetVirtualFactors(2, second);
  Add({10.0, -20.0, 1.25});
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].Strings[0], Pad15("12.50") + std::string(15, ' '));
  EXPECT_EQ(records[1].Strings[9], records[0].Strings[9]);
  EXPECT_EQ(store->GetTextModeVirtualString(tmQMT, 1), "12.50");
  EXPECT_EQ(store->GetTextModeVirtualString(tmQMT, 2), "---");
  EXPECT_EQ(store->GetTextModeVirtualString(tmQMT, 3), "");
}

TEST_F(QMTStore, VirtualChannelValuesPerMode) {
  TDataManagement::TFactorRow row{};
  row[1] = 2.0;   // channel 2
  row[2] = -1.0;  // channel 3
  store->SetVirtualFactors(1, row);
  Add({100.0, 110.0, 130.0});
  Add({100.0, -10.0, 130.0});
  Add({-10.0, 110.0, 130.0});
  const double sums[] = {1.0, 4.0, 10.0};
  store->AddShort(sums, 2);
  struct TCase {
    TTextModeQMT mode;
    int x;
    double expected;  // NaN: no value
  };
  const double none = std::nan("");
  const std::vector<TCase> cases = {
      {tmQMT, 0, 90.0},        {tmQMTDiff, 0, -10.0},       {tmQMT, 1, none},          {tmQMTDiff, 1, none},
      {tmQMT, 2, 90.0},        {tmQMTDiff, 2, none},        {tmQMTShortAvg, 0, -1.0},  {tmQMTLongAvg, 0, none},
      {tmQMT, 2048, 90.0},  // positions wrap
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.mode) + "/" + std::to_string(c.x));
    const double v = store->GetVirtual(c.mode, 1, c.x);
    if (std::isnan(c.expected))
      EXPECT_TRUE(std::isnan(v)) << v;
    else
      EXPECT_DOUBLE_EQ(v, c.expected);
  }
  EXPECT_EQ(store->GetVirtual(tmQMT, 2, 0), 0.0);  // a row without factors
  EXPECT_EQ(store->GetQMTDiff(true, 1, 0, 3).size(), 3u);
  EXPECT_DOUBLE_EQ(store->GetQMTDiff(true, 1, 0, 1)[0], -10.0);
}

TEST_F(QMTStore, ChannelCountChangesReachTheSessionAndTheSampler) {
  Add({1.0, 2.0, 3.0, 4.0});
  ASSERT_EQ(counts.size(), 1u);
  EXPECT_EQ(counts[0].Code, TDataManagement::kChannelCountCode);
  EXPECT_EQ(counts[0].Text, "4");
  EXPECT_TRUE(events.empty());
  Add({1.0, 2.0, 3.0, 4.0});
  EXPECT_EQ(counts.size(), 1u);
  Add({1.0, 2.0});
  ASSERT_EQ(counts.size(), 2u);
  EXPECT_EQ(counts[1].Text, "2");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].Code, TQMT_DataManagement::kSamplerEventChannelCount);
  EXPECT_EQ(events[0].Text, "");
}

// ---- readers ---------------------------------------------------------------------------------------

TEST_F(QMTStore, SeriesReadersWrapAndRefuseBadArguments) {
  for (int i = 0; i < TDataManagement::kRingSize; ++i) Add({100.0, 100.0 + i});
  EXPECT_EQ(store->NextX(HS::hsNone), 0);
  // The newest entry is at 2047, not at position -1.
  EXPECT_EQ(store->GetLastQMTDiff(false), (std::vector<double>{0.0, 2047.0}));
  EXPECT_EQ(store->GetQMTDiff(false, 2, 2047, 2), (std::vector<double>{2047.0, 0.0}));
  EXPECT_EQ(store->GetQMTDiff(false, 2, -1, 1), (std::vector<double>{2047.0}));
  EXPECT_EQ(store->GetQMTDiff(false, 2, 0, 5000).size(), static_cast<std::size_t>(TDataManagement::kRingSize));
  EXPECT_TRUE(store->GetQMTDiff(false, 0, 0, 1).empty());
  EXPECT_TRUE(store->GetQMTDiff(false, 25, 0, 1).empty());
  EXPECT_TRUE(store->GetQMTDiff(false, 1, 0, 0).empty());
  EXPECT_TRUE(store->GetAvgShort(false, 1, 0, -3).empty());
}

TEST_F(QMTStore, AverageReadersUseTheirOwnRingPosition) {
  Add({1.0, 2.0});
  Add({1.0, 2.0});
  Add({1.0, 2.0});
  const double first[] = {10.0, 20.0};
  const double second[] = {30.0, 60.0};
  store->AddShort(first, 10);
  store->AddShort(second, 10);
  store->AddLong(second, 3);
  EXPECT_EQ(store->GetLastAvgShort(false), (std::vector<double>{3.0, 6.0}));
  EXPECT_EQ(store->GetLastAvgLong(false), (std::vector<double>{10.0, 20.0}));
  EXPECT_EQ(store->GetAvgShort(false, 2, 0, 2), (std::vector<double>{2.0, 6.0}));
  EXPECT_EQ(store->GetAvgLong(false, 1, 0, 1), (std::vector<double>{10.0}));
  EXPECT_EQ(store->GetTextModeString(tmQMTShortAvg, 2), "6.00");
  EXPECT_EQ(store->GetTextModeString(tmQMTLongAvg, 1), "10.00");

  store->AddShort(first, 0);  // nothing summed: no entry, no division by zero
  EXPECT_EQ(store->Count(HS::hsShort), 2);
}

TEST_F(QMTStore, AverageStringsUntilTheNextLine) {
  Add({1.0, 2.0, 3.0});
  EXPECT_EQ(store->GetShortAverageString(), "");
  const double sums[] = {1.0, 22.5};  // channel 3 has no sum
  store->AddShort(sums, 2);
  store->AddLong(sums, 1);
  const std::string pad26(26 - 5, ' ');
  EXPECT_EQ(store->GetShortAverageString(), pad26 + "0.500" + std::string(26 - 6, ' ') + "11.250" + std::string(26, ' '));
  EXPECT_EQ(store->GetLongAverageString().substr(0, 26), pad26 + "1.000");
  EXPECT_EQ(store->GetTextModeString(tmQMTShortAvg, 3), "---");
  Add({1.0, 2.0, 3.0});
  EXPECT_EQ(store->GetShortAverageString(), "");
  EXPECT_EQ(store->GetLongAverageString(), "");
}

// ---- text modes ---------------------------------------------------------------------------------------

TEST_F(QMTStore, TextModesFollowTheChannelCount) {
  const TTextModeQMT modes[] = {tmQMT, tmQMTDiff, tmQMTShortAvg, tmQMTLongAvg};
  const char* captions[] = {"Time Interval [ns]", "Interval Difference [ns]", "Interval Diff. Short Average [ns]",
                            "Interval Diff. Long Average [ns]"};
  const bool enabledWithOne[] = {true, false, false, false};
  for (int m = 0; m < 4; ++m) {
    SCOPED_TRACE(m);
    EXPECT_EQ(store->GetTextModeCaption(modes[m]), captions[m]);
    EXPECT_FALSE(store->IsTextModeEnabled(modes[m]));
    Add({5.0});
    EXPECT_EQ(store->IsTextModeEnabled(modes[m]), enabledWithOne[m]);
    Add({5.0, 6.0});
    EXPECT_TRUE(store->IsTextModeEnabled(modes[m]));
    EXPECT_EQ(store->GetTextModeString(modes[m], 3), "");
    store->Reset();
  }
  store->SetWindowDecimalSeparator(',');
  TDataManagement::TFactorRow row{};
  row[1] = 1e7;
  store->SetVirtualFactors(1, row);
  Add({5.0, 1e9});
  EXPECT_EQ(store->GetTextModeString(tmQMT, 1), "5,00");
  EXPECT_EQ(store->GetTextModeString(tmQMT, 2), "1000000000,00");
  // Beyond 15 integer digits the text switches to the exponent form.
  EXPECT_EQ(store->GetTextModeVirtualString(tmQMT, 1), "1E16");
  EXPECT_EQ(store->GetTextModeString(tmQMTShortAvg, 2), "---");
}

// ---- lifecycle ------------------------------------------------------------------------------------------

TEST_F(QMTStore, ResetKeepsTheCalibrationsAndClearsTheRest) {
  store->AddCalibration("7901;    1.000;    2.000;");
  store->SetCalibrationData(Calibration({{2, 2.0}}));
  Add({100.0, 110.0});
  const double sums[] = {1.0, 2.0};
  store->AddShort(sums, 1);
  resets = 0;
  store->BufferCleared(0x7F23);
  EXPECT_EQ(resets, 1);
  EXPECT_EQ(store->Count(HS::hsNone), 0);
  EXPECT_EQ(store->ChannelCount(), 0);
  EXPECT_EQ(Stored(2), 0.0);
  EXPECT_EQ(store->GetCalibrateCalculated(2), 0.0);
  EXPECT_TRUE(std::isnan(store->AvgShortLast(2)));
  EXPECT_EQ(store->DeviceCalibration().Values[1], 2.0);
  EXPECT_EQ(store->CalibrationValues().Values[1], 2.0);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].Code, TQMT_DataManagement::kSamplerEventLinesLost);
  EXPECT_EQ(events[0].Text, "Source C One or more lines lost due to receive buffer overflow");

  store->BufferCleared(0x7F20);
  store->DeviceOpened();
  EXPECT_EQ(events.size(), 1u);
}

TEST(QMTStoreLog, DebugLines) {
  TTempFolder folder;
  const int logId = NewLog();
  ASSERT_GE(logId, 0);
  SetLogFile(logId, folder.File("qmt.log"), false);
  const std::string file = FindLogger(logId)->InternLogFileName();
  {
    TQMT_DataManagement store(logId, 4, true);
    EXPECT_EQ(store.DbgTag(), "TQMT_DataManagement[4/True]");
    store.FOnSamplerStrings = [](int, bool, const TQMTSamplerRecord&) {};
    store.SetSamplerLogTypes(1u << 4);
    store.AddQMT(Line({1.0, 2.5}));
    store.SetAddLogStrings(true);
    TDataManagement::TFactorRow row{};
    row[0] = 1.0;
    store.SetVirtualFactors(1, row);
    store.AddQMT(Line({1.0, 2.5}));
    store.AddCalibration("7901;    1.000;    3.000;");
    store.SetCalibrationData(Calibration({{2, 0.25}}));
    const double sums[] = {1.0, 2.0};
    store.AddShort(sums, 2);
    store.AddLong(sums, 2);
    store.BufferCleared(0x7F23);
    store.DeviceOpened();
  }
  SetLogFile(logId, "", false);
  const std::string text = ReadFile(file);
  for (const char* line :
       {"TQMT_DataManagement[4/True].Create", ": FAddLogStrings=False", ": QMTCount=2", ".SetAddLogStrings True",
        ".GenerateSamplerStringQMT=           1.00           2.50",
        ".GenerateSamplerVirtualStringQMT=           1.00",
        ".AddCalibration 0 3 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 , changed=True",
        ".SetCalibrationData 0 0.25 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 , changed=True", ".Reset",
        ".AddShort count=2", ".AddShort[2]=                     1.000", ".AddLong count=2",
        ".BufferCleared header=7F23", ".DeviceOpened", ".Destroy"})
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
}

}  // namespace
