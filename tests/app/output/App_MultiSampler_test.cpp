#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "app/core/App_Settings.h"
#include "app/output/ZEP_SamplerColumns.h"
#include "support/FileText.h"
#include "support/TempFolder.h"
#include "support/TimeZone.h"
#include "tests/app/output/SamplerTestSupport.h"

namespace {

constexpr TUtcMs kAug9At10 = 1723197600000;  // 2024-08-09 10:00:00 UTC
constexpr TUtcMs kHour = 3600000;

TSamplerHeaderInfo CounterInfo() {
  TSamplerHeaderInfo info;
  info.FriendlyName = "Lab";
  info.OpenString = "USB:1234";
  info.ModeText = "Phase";
  info.IntervalText = "1 s";
  info.ScramblerText = "Off";
  info.ChannelCount = 3;
  info.PDICards = 2;
  info.Names[0] = "REF";
  info.Names[1] = "DUT";
  info.Names[2] = "X3";
  return info;
}

// A counter record: sync flag + phase fields (26), frequency fields (22), PDI cards, time string.
TMultiSamplerStrings CounterRecord(const std::string& time, char sync, const std::vector<std::string>& phases,
                                   const std::vector<std::string>& frequencies = {}, const std::string& pdi = "") {
  TMultiSamplerStrings record;
  record[0] = std::string(1, sync);
  for (const std::string& phase : phases) record[0] += Field(phase, 26);
  for (const std::string& frequency : frequencies) record[1] += Field(frequency, 22);
  record[5] = pdi;
  record[9] = time;
  return record;
}

bool IsDataLine(const std::string& line) { return !line.empty() && line[0] != '#' && line.find("# # ") == std::string::npos; }

std::vector<std::string> DataLines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::string line : TextLines(text)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (IsDataLine(line)) lines.push_back(line);
  }
  return lines;
}

// The words of a line (the values written without their padding).
std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

class MultiSamplerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TSamplerOptions options;
    options.LogTimeZoneSystem = true;
    options.DefaultFolder = Dir() + "/";
    FSampler.SetOptions(options);
    FSampler.SetClock([this] { return FNow; });
  }

  std::string Dir() const { return FFolder.Path().string(); }
  std::string Path(const std::string& name) const { return Dir() + "/" + name; }
  std::string Text(const std::string& name) const { return ReadFile(Path(name)); }
  bool Exists(const std::string& name) const { return std::filesystem::exists(Path(name)); }

  std::shared_ptr<TFakeSamplerSource> AddSource(int index, bool copy, TSamplerSessionKind kind, int intervalMs,
                                                int64_t serial, TSamplerHeaderInfo info = {}) {
    auto source = std::make_shared<TFakeSamplerSource>(index, copy, kind, intervalMs, serial);
    source->SetInfo(std::move(info));
    FSources.push_back(source);
    FSampler.UpdateSessionList(FSources);
    return source;
  }

  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(FFolder.Path()))
      if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::vector<std::string> MessageTexts() {
    std::vector<std::string> texts;
    for (const TSamplerMessage& message : FSink.Take()) texts.push_back(message.Text);
    return texts;
  }

  TTempFolder FFolder;
  TMessageSink FSink;
  TZEP_MultiSampler FSampler{-1, FSink.Callback()};
  TUtcMs FNow = kAug9At10;
  std::vector<std::shared_ptr<TSamplerSource>> FSources;
};

// ---- record buffer ------------------------------------------------------------------------

// A record whose strings hold `bytes` characters in all.
TMultiSamplerStrings RecordOf(std::size_t bytes, char fill) {
  TMultiSamplerStrings record;
  record[0] = std::string(bytes, fill);
  return record;
}

// The buffer keeps the newest records within both caps; numbers never shift.
TEST(SamplerRecordBuffer, DropsTheOldestBeyondItsRecordAndByteCaps) {
  struct TCase {
    const char* Name;
    std::size_t MaxRecords, MaxBytes, RecordBytes;
    int64_t ExpectedFirst;  // after adding records 0..9
  };
  for (const TCase& c : {TCase{"count", 4, 1u << 20, 10, 6}, TCase{"bytes", 100, 35, 10, 7},
                         TCase{"one record over the byte cap stays", 100, 5, 10, 9}}) {
    SCOPED_TRACE(c.Name);
    TSamplerRecordBuffer buffer(c.MaxRecords, c.MaxBytes);
    uint64_t dropped = 0;
    for (int i = 0; i < 10; ++i) dropped += buffer.Add(RecordOf(c.RecordBytes, static_cast<char>('a' + i)));
    EXPECT_EQ(buffer.First(), c.ExpectedFirst);
    EXPECT_EQ(buffer.End(), 10);
    EXPECT_EQ(dropped, static_cast<uint64_t>(c.ExpectedFirst));
    EXPECT_EQ(buffer.Get(c.ExpectedFirst - 1), nullptr);
    ASSERT_NE(buffer.Get(9), nullptr);
    EXPECT_EQ((*buffer.Get(9))[0], std::string(c.RecordBytes, 'j'));
    EXPECT_LE(buffer.Bytes(), std::max(c.MaxBytes, c.RecordBytes));
  }
}

// ---- file text ----------------------------------------------------------------------------

TEST_F(MultiSamplerTest, CounterFileHasHeaderSyncFlagPdiAndSelectedChannels) {
  AddSource(0, false, TSamplerSessionKind::Counter, 1000, 1001, CounterInfo());
  auto definition = OnePartDefinition(Path("run.txt"), 0, false, {LogType::Phase, LogType::Freq}, {1, 3});
  definition->GetDefinition(0)->FEnabled[2][1] = true;  // PDI card 2
  const int slot = FSampler.AddDefinition(std::move(definition));

  FSampler.AddStrings(0, false,
                      CounterRecord("240809 100000.000", '*', {"1.5", "2.5", "3.5"}, {"10.0", "20.0", "30.0"},
                                    " 00000001 00000002"));
  FSampler.AddStrings(0, false,
                      CounterRecord("240809 100001.000", ' ', {"1.6", "2.6", "3.6"}, {"10.1", "20.1", "30.1"},
                                    " 00000003 00000004"));

  EXPECT_EQ(FSampler.CurrentFileName(slot), Path("run_240809_1.txt"));
  EXPECT_EQ(Text("run_240809_1.txt"),
            "#Filename:  " + Path("run.txt") + "\r\n" +
                "#Message:   First create\r\n"
                "#Time:      PC time, time zone UTC\r\n"
                "#\r\n"
                "#Source:    [A: Lab]\r\n"
                "#Device:    USB:1234\r\n"
                "#Mode:      Phase\r\n"
                "#Interval:  1 s\r\n"
                "#Scrambler: Off\r\n"
                "#\r\n"
                "#\r\n"
                "#\r\n"
                "#zone UTC                                   Phase [Pd]                                  Frequency [Hz]                      \r\n"
                "#PC time          S  PDI2                        1:REF                      3:X3                 1:REF                  3:X3\r\n"
                "240809 100000.000 * 00000002                       1.5                       3.5                  10.0                  30.0\r\n"
                "240809 100001.000   00000004                       1.6                       3.6                  10.1                  30.1\r\n");
  const std::vector<TSamplerMessage> messages = FSink.Take();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].Session, -2);
  EXPECT_EQ(messages[0].Code, 91);
  EXPECT_EQ(messages[0].Kind, mtInfo);
  EXPECT_EQ(messages[0].Text, "Log opened " + Path("run_240809_1.txt"));
}

TEST_F(MultiSamplerTest, SyncTimeOptionWritesTheSessionSyncTimeColumn) {
  AddSource(0, false, TSamplerSessionKind::Counter, 1000, 1001, CounterInfo());
  auto definition = OnePartDefinition(Path("run.txt"), 0, false, {LogType::Phase, LogType::Freq}, {1, 3});
  definition->GetDefinition(0)->FEnabled[2][1] = true;
  definition->SetOption(true);
  FSampler.AddDefinition(std::move(definition));

  FSampler.SetSessionSyncTime(0, false, "12:00:01");
  FSampler.AddStrings(0, false,
                      CounterRecord("240809 100000.000", '*', {"1.5", "2.5", "3.5"}, {"10.0", "20.0", "30.0"},
                                    " 00000001 00000002"));

  const std::vector<std::string> lines = TextLines(Text("run_240809_1.txt"));
  ASSERT_EQ(lines.size(), 15u);
  EXPECT_EQ(lines[12],
            "#zone UTC                                              Phase [Pd]                                  Frequency [Hz]                      \r");
  EXPECT_EQ(lines[13],
            "#PC time             Sync Time  PDI2                        1:REF                      3:X3                 1:REF                  3:X3\r");
  EXPECT_EQ(lines[14],
            "240809 100000.000     12:00:01 00000002                       1.5                       3.5                  10.0                  30.0\r");
}

TEST_F(MultiSamplerTest, TimeIntervalFileShowsCalibrationAndDifferenceTitles) {
  TSamplerHeaderInfo info = CounterInfo();
  info.QMTChannelCount = 2;
  info.QMTNames[0] = "TIC1";
  info.QMTNames[1] = "TIC2";
  info.QMTCalibration = {0.0, 1.25};
  AddSource(0, true, TSamplerSessionKind::TimeInterval, 1000, 1001, info);
  FSampler.AddDefinition(OnePartDefinition(Path("qmt.txt"), 0, true, {LogType::QMT, LogType::QMTdiff}, {1, 2}));

  TMultiSamplerStrings record;
  record[0] = Field("12.34", 15) + Field("56.78", 15);
  record[1] = Field("0.00", 15) + Field("44.44", 15);
  record[9] = "240809 100000.000";
  FSampler.AddStrings(0, true, record);

  EXPECT_EQ(Text("qmt_240809_1.txt"),
            "#Filename:  " + Path("qmt.txt") + "\r\n" +
                "#Message:   First create\r\n"
                "#Time:      PC time, time zone UTC\r\n"
                "#\r\n"
                "#Source:    [A: Lab]\r\n"
                "#Device:    USB:1234\r\n"
                "#Mode:      QMT\r\n"
                "#\r\n"
                "#\r\n"
                "#QMT-Calib: 0.000  1.250  \r\n"
                "#\r\n"
                "#\r\n"
                "#zone UTC                    QMT                       QMTDiff               \r\n"
                "#PC time                  1:TIC1         2:TIC2    TIC1 - TIC1    TIC2 - TIC1\r\n"
                "240809 100000.000          12.34          56.78           0.00          44.44\r\n");
}

TEST_F(MultiSamplerTest, VirtualPartReadsTheVirtualRecord) {
  TSamplerHeaderInfo info = CounterInfo();
  info.VirtualCount = 2;
  info.VirtualNames[0] = "V1";
  info.VirtualNames[1] = "V2";
  AddSource(0, false, TSamplerSessionKind::Counter, 1000, 1001, info);
  FSampler.AddDefinition(
      OnePartDefinition(Path("virt.txt"), 0, false, {LogType::FreqAbsV, LogType::PhaseDiffV}, {1, 2}, sscVirtual));

  TMultiSamplerStrings record;
  record[0] = "*" + Field("9.9", 26) + Field("9.9", 26);  // residuals, not selected
  record[1] = Field("0.001", 22) + Field("0.002", 22);
  record[4] = Field("5.5", 26) + Field("6.5", 26);
  record[9] = "240809 100000.000";
  FSampler.AddStrings(0, false, CounterRecord("240809 100000.000", '*', {"1.0", "2.0"}));  // not this part's class
  FSampler.AddStringsVirtual(0, false, record);

  EXPECT_EQ(Text("virt_240809_1.txt"),
            "#Filename:  " + Path("virt.txt") + "\r\n" +
                "#Message:   First create\r\n"
                "#Time:      PC time, time zone UTC\r\n"
                "#\r\n"
                "#Source:    [A: Lab]\r\n"
                "#Device:    USB:1234\r\n"
                "#Mode:      Phase\r\n"
                "#Interval:  1 s\r\n"
                "#Scrambler: Off\r\n"
                "#Virtual channels: 2\r\n"
                "#\r\n"
                "#\r\n"
                "#zone UTC                       V FreqAbs                              V Phase Difference                          \r\n"
                "#PC time          S                  1:V1                  2:V2                   V1 - V1                   V2 - V1\r\n"
                "240809 100000.000 *                 0.001                 0.002                       5.5                       6.5\r\n");
}

TEST_F(MultiSamplerTest, SensorPartTakesTheClockWhenTheRecordHasNoTime) {
  TSamplerHeaderInfo info;
  info.OpenString = "SNMP:host";
  info.IntervalText = "10 s";
  info.ChannelCount = 2;
  info.Names[0] = "Temp";
  info.Names[1] = "Hum";
  AddSource(1, false, TSamplerSessionKind::Sensor, 10000, -1, info);
  FSampler.AddDefinition(OnePartDefinition(Path("sensor.txt"), 1, false, {LogType::Phase}, {1, 2}));

  FSampler.AddString(1, false, Field("21.5", 26) + Field("40.0", 26));

  EXPECT_EQ(Text("sensor_240809_1.txt"),
            "#Filename:  " + Path("sensor.txt") + "\r\n" +
                "#Message:   First create\r\n"
                "#Time:      PC time, time zone UTC\r\n"
                "#\r\n"
                "#Source:    [B]\r\n"
                "#Device:    SNMP:host\r\n"
                "#\r\n"
                "#Interval:  10 s\r\n"
                "#\r\n"
                "#\r\n"
                "#\r\n"
                "#\r\n"
                "#zone UTC                            Sensor                          \r\n"
                "#PC time                             1:Temp                     2:Hum\r\n"
                "240809 100000.000                      21.5                      40.0\r\n");
}

TEST_F(MultiSamplerTest, TitleLinesFollowTimeFormatAndTimeOptions) {
  TSamplerOptions options;
  options.LogTimeFormat = "YYYY-MM-DD HH:NN:SS.ZZZ";
  options.LogTimeSourcePAV = true;
  options.LogTimeZoneSystem = false;
  std::string title;
  std::string type;
  StartTitleLines(options, title, type);
  EXPECT_EQ(title, "#PAV time              ");
  EXPECT_EQ(type, "#zone local            ");
}

struct TChannelTitleCase {
  int Bit;
  int Channel;
  std::vector<std::string> Names;
  int Width;
  std::string Expected;
};

class ChannelTitles : public ::testing::TestWithParam<TChannelTitleCase> {};

TEST_P(ChannelTitles, FollowTheNamingRules) {
  const TChannelTitleCase& c = GetParam();
  std::array<std::string, kLogChannels> names;
  for (std::size_t i = 0; i < c.Names.size(); ++i) names[i] = c.Names[i];
  EXPECT_EQ(SamplerChannelTitle(c.Bit, c.Channel, names, c.Width), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    MultiSampler, ChannelTitles,
    ::testing::Values(
        // difference to channel 1: full names, then "name - 1", then numbers; "w or more" is too long
        TChannelTitleCase{2, 2, {"REF", "DUT"}, 26, "                 DUT - REF"},
        TChannelTitleCase{2, 2, {"ReferenceMaser01", "DeviceUnderTest1"}, 26, "      DeviceUnderTest1 - 1"},
        TChannelTitleCase{2, 2, {"R", "DeviceUnderTest1234567"}, 26, "                     2 - 1"},
        TChannelTitleCase{2, 2, {"ABCDEFGHIJK", "LMNOPQRSTUVW"}, 26, "          LMNOPQRSTUVW - 1"},
        TChannelTitleCase{5, 2, {"Counter1", "Counter2"}, 15, "   Counter2 - 1"},
        TChannelTitleCase{16, 1, {"V1"}, 26, "                   V1 - V1"},
        // difference to the previous channel: only "longer than w" falls back
        TChannelTitleCase{6, 1, {"REF", "DUT"}, 26, "                 REF - REF"},
        TChannelTitleCase{6, 3, {"REF", "DUT", "X3"}, 26, "                  X3 - DUT"},
        TChannelTitleCase{6, 2, {"ABCDEFGHIJK", "LMNOPQRSTUVW"}, 26, "LMNOPQRSTUVW - ABCDEFGHIJK"},
        TChannelTitleCase{6, 2, {"ReferenceMaser01", "DeviceUnderTest1"}, 26, "                     2 - 1"},
        TChannelTitleCase{17, 1, {"ReferenceMaser01ReferenceMaser"}, 26, "                     1 - 1"},
        // other types: number and name while the name is shorter than w - 2, else the name cut to w
        TChannelTitleCase{1, 1, {"REF"}, 22, "                 1:REF"},
        TChannelTitleCase{1, 1, {"12345678901234567890"}, 22, "  12345678901234567890"},
        TChannelTitleCase{4, 2, {"a", "1234567890123456"}, 15, "123456789012345"}));

// Every log type on two channels: its label on the type line, the channel
// titles, the record slot its columns come from (every other slot holds
// junk), the column width, and dashes when that slot is empty.
struct TLogTypeCase {
  const char* Name;
  int Bit;
  TSamplerStringClass Class;
  bool TimeInterval;  // a QMT-only copy: no sync column
  std::size_t Slot;   // record string the columns come from (0 = string 1)
  std::size_t Width;  // 0: no columns, two spaces
  const char* Label;
  const char* Title1;
  const char* Title2;
};

class EveryLogType : public MultiSamplerTest, public ::testing::WithParamInterface<TLogTypeCase> {};

TEST_P(EveryLogType, TakesItsSlotLabelTitlesAndWidth) {
  const TLogTypeCase& c = GetParam();
  TSamplerHeaderInfo info = CounterInfo();
  info.ChannelCount = 2;
  info.VirtualCount = 2;
  info.QMTChannelCount = 2;
  info.VirtualQMTCount = 2;
  info.VirtualNames = {"V1", "V2"};
  info.QMTNames = {"T1", "T2"};
  info.VirtualQMTNames = {"Q1", "Q2"};
  const auto kind = c.TimeInterval ? TSamplerSessionKind::TimeInterval : TSamplerSessionKind::Counter;
  AddSource(0, c.TimeInterval, kind, 1000, 1001, info);
  FSampler.AddDefinition(OnePartDefinition(Path("t.txt"), 0, c.TimeInterval, {c.Bit}, {1, 2}, c.Class));

  const std::size_t w = c.Width;
  auto record = [&](bool withValues) {
    TMultiSamplerStrings r;
    for (std::size_t slot = 0; slot < 9; ++slot) r[slot] = Field("x", 30) + Field("x", 30);
    r[c.Slot] = withValues ? Field("1.25", w) + Field("-2.5", w) : "";
    if (!c.TimeInterval) r[0] = "*" + r[0];  // the counter's sync flag leads string 1
    r[9] = "240809 100000.000";
    return r;
  };
  auto feed = [&](const TMultiSamplerStrings& r) {
    if (c.Class == sscVirtual)
      FSampler.AddStringsVirtual(0, c.TimeInterval, r);
    else if (c.Class == sscSpecial)
      FSampler.AddStringsSpecial(0, c.TimeInterval, r);
    else
      FSampler.AddStrings(0, c.TimeInterval, r);
  };
  feed(record(true));
  feed(record(false));

  const std::string sync = c.TimeInterval ? "" : "  ";
  const std::string adevGap = w == 0 ? "  " : "";
  const std::string title = "#PC time         " + std::string(c.TimeInterval ? "" : " S") + adevGap +
                            (w ? Field(c.Title1, w) + Field(c.Title2, w) : "");
  std::string type = "#zone UTC        " + sync + adevGap + (w ? Field(c.Label, w) : "");
  type.resize(title.size(), ' ');
  const std::string dashes = w ? " " + std::string(w - 1, '-') : "";
  const std::vector<std::string> lines = TextLines(Text("t_240809_1.txt"));
  ASSERT_EQ(lines.size(), 16u) << Text("t_240809_1.txt");
  EXPECT_EQ(lines[12], type + "\r");
  EXPECT_EQ(lines[13], title + "\r");
  const std::string lineStart = "240809 100000.000" + std::string(c.TimeInterval ? "" : " *") + adevGap;
  EXPECT_EQ(lines[14], lineStart + (w ? Field("1.25", w) + Field("-2.5", w) : "") + "\r");
  EXPECT_EQ(lines[15], lineStart + dashes + dashes + "\r");
}

INSTANTIATE_TEST_SUITE_P(
    MultiSampler, EveryLogType,
    ::testing::Values(
        TLogTypeCase{"Phase", LogType::Phase, sscStandard, false, 0, 26, "Phase [Pd]", "1:REF", "2:DUT"},
        TLogTypeCase{"Freq", LogType::Freq, sscStandard, false, 1, 22, "Frequency [Hz]", "1:REF", "2:DUT"},
        TLogTypeCase{"PhaseDiff", LogType::PhaseDiff, sscStandard, false, 2, 26, "Phase Difference", "REF - REF",
                     "DUT - REF"},
        TLogTypeCase{"Raw1ms", LogType::Raw1ms, sscSpecial, false, 3, 16, "RawData 1ms", "1:REF", "2:DUT"},
        TLogTypeCase{"QMT", LogType::QMT, sscStandard, true, 0, 15, "QMT", "1:T1", "2:T2"},
        TLogTypeCase{"QMTdiff", LogType::QMTdiff, sscStandard, true, 1, 15, "QMTDiff", "T1 - T1", "T2 - T1"},
        TLogTypeCase{"PhaseDiffPrev", LogType::PhaseDiffPrev, sscStandard, false, 6, 26, "Phase Difference",
                     "REF - REF", "DUT - REF"},
        TLogTypeCase{"ADEV", LogType::ADEV, sscStandard, false, 7, 0, "", "", ""},
        TLogTypeCase{"PhaseResV", LogType::PhaseResV, sscVirtual, false, 0, 26, "V Phase Residual [ns]", "1:V1",
                     "2:V2"},
        TLogTypeCase{"FreqAbsV", LogType::FreqAbsV, sscVirtual, false, 1, 22, "V FreqAbs", "1:V1", "2:V2"},
        TLogTypeCase{"FreqRelV", LogType::FreqRelV, sscVirtual, false, 2, 22, "V FreqRel", "1:V1", "2:V2"},
        TLogTypeCase{"ADEVV", LogType::ADEVV, sscVirtual, false, 3, 0, "", "", ""},
        TLogTypeCase{"QMTV", LogType::QMTV, sscVirtual, true, 0, 15, "V QMT", "1:Q1", "2:Q2"},
        TLogTypeCase{"PhaseRes", LogType::PhaseRes, sscStandard, false, 8, 26, "Phase Residual [ns]", "1:REF",
                     "2:DUT"},
        TLogTypeCase{"PhaseDiffV", LogType::PhaseDiffV, sscVirtual, false, 4, 26, "V Phase Difference", "V1 - V1",
                     "V2 - V1"},
        TLogTypeCase{"PhaseDiffPrevV", LogType::PhaseDiffPrevV, sscVirtual, false, 5, 26, "V Phase Difference",
                     "V1 - V1", "V2 - V1"}),
    [](const auto& info) { return std::string(info.param.Name); });

// ---- pairing sources of different rates -------------------------------------------------

// Counter A paces "mix.txt" (phase of channel 1); the time-interval session
// B adds its channel 1. Records of B are tagged "b" + n.
class CounterAndIntervalTest : public MultiSamplerTest {
 protected:
  void AddMixDefinition(int counterMs, int intervalMs) {
    AddSource(0, false, TSamplerSessionKind::Counter, counterMs, 1001, CounterInfo());
    TSamplerHeaderInfo qmt;
    qmt.QMTChannelCount = 1;
    AddSource(1, true, TSamplerSessionKind::TimeInterval, intervalMs, 1002, qmt);
    auto definition = OnePartDefinition(Path("mix.txt"), 0, false, {LogType::Phase}, {1});
    definition->AddDefinition(Part(1, true, {LogType::QMT}, {1}));
    definition->SetAddHeader(false);
    FSampler.AddDefinition(std::move(definition));
  }

  void AddB(int n) {
    TMultiSamplerStrings record;
    record[0] = Field("b" + std::to_string(n), 15);
    FSampler.AddStrings(1, true, record);
  }
};

// Counter A 1 s paces the file, the time-interval session B 100 ms (factor 10).
TEST_F(CounterAndIntervalTest, FasterSecondSourceGivesOneRecordOfEachTenPerLine) {
  AddMixDefinition(1000, 100);
  int b = 0;
  for (int second = 0; second < 4; ++second) {
    FSampler.AddStrings(0, false, CounterRecord("t" + std::to_string(second), ' ', {"a" + std::to_string(second)}));
    for (int i = 0; i < 10; ++i) AddB(b++);
  }

  const std::vector<std::string> lines = DataLines(Text("mix_240809_1.txt"));
  ASSERT_EQ(lines.size(), 4u);
  // The first line takes the newest record, then every tenth follows.
  EXPECT_EQ(Words(lines[0]), (std::vector<std::string>{"t0", "a0", "b9"}));
  EXPECT_EQ(Words(lines[1]), (std::vector<std::string>{"t1", "a1", "b19"}));
  EXPECT_EQ(Words(lines[2]), (std::vector<std::string>{"t2", "a2", "b29"}));
  EXPECT_EQ(Words(lines[3]), (std::vector<std::string>{"t3", "a3", "b39"}));
}

// Counter A 100 ms paces the file, the time-interval session B 1 s (factor 0.1).
TEST_F(CounterAndIntervalTest, SlowerSecondSourceRepeatsItsNewestRecord) {
  AddMixDefinition(100, 1000);
  // Two lines before B has any record, then B arrives once a second, after A's record of that tenth.
  for (int a = 0; a < 32; ++a) {
    FSampler.AddStrings(0, false, CounterRecord("t" + std::to_string(a), ' ', {"a" + std::to_string(a)}));
    if (a % 10 == 2) AddB(a / 10);
  }

  const std::vector<std::string> lines = DataLines(Text("mix_240809_1.txt"));
  ASSERT_EQ(lines.size(), 32u);
  EXPECT_EQ(lines[0], "t0  " + Field("a0", 26) + " --------------");
  EXPECT_EQ(Words(lines[2]).back(), "--------------");
  std::vector<std::string> bColumn;
  for (std::size_t i = 3; i < lines.size(); ++i) bColumn.push_back(Words(lines[i]).back());
  // b0 stays the newest for ten lines, is logged again, and is dropped only after b1 came.
  EXPECT_EQ(std::count(bColumn.begin(), bColumn.end(), "b0"), 10);
  EXPECT_EQ(std::count(bColumn.begin(), bColumn.end(), "b1"), 10);
  EXPECT_EQ(std::count(bColumn.begin(), bColumn.end(), "b2"), 9);
  EXPECT_TRUE(std::is_sorted(bColumn.begin(), bColumn.end()));
}

// ---- time synchronisation ---------------------------------------------------------------

class TimeSynchronisedCounters : public MultiSamplerTest {
 protected:
  void SetUp() override {
    MultiSamplerTest::SetUp();
    TSamplerHeaderInfo info;
    info.ChannelCount = 1;
    FA = AddSource(0, false, TSamplerSessionKind::Counter, 1000, 1001, info);
    FB = AddSource(1, false, TSamplerSessionKind::Counter, 1000, 2002, info);
  }

  int AddPairDefinition(const std::string& name) {
    auto definition = OnePartDefinition(Path(name), 0, false, {LogType::Phase}, {1});
    definition->AddDefinition(Part(1, false, {LogType::Phase}, {1}));
    definition->SetAddHeader(false);
    definition->SetDifferentDevices(true);
    return FSampler.AddDefinition(std::move(definition));
  }

  // One second of one counter: its stamp, then its record tagged with the second.
  void Second(int sIndex, int second, bool stamp = true) {
    const std::string tag = std::string(1, static_cast<char>('a' + sIndex)) + std::to_string(second);
    if (stamp) FSampler.AddTimeStamp(sIndex, false, 10 * (1000 + second));
    FSampler.AddStrings(sIndex, false, CounterRecord("t" + std::to_string(second), ' ', {tag}));
  }

  std::shared_ptr<TFakeSamplerSource> FA;
  std::shared_ptr<TFakeSamplerSource> FB;
};

TEST_F(TimeSynchronisedCounters, LinesPairRecordsOfTheSameStampWhateverCounterComesFirst) {
  const int slot = AddPairDefinition("pair.txt");
  EXPECT_TRUE(FSampler.GetTimeSynchroNeeded(slot));

  for (int second = 1; second <= 3; ++second) {  // records, but no stamps yet
    Second(0, second, false);
    Second(1, second, false);
  }
  Second(0, 4);  // A has its stamp, B not yet
  EXPECT_FALSE(Exists("pair_240809_1.txt"));
  Second(1, 4);
  Second(1, 5);  // B first this time
  Second(0, 5);
  Second(0, 6);
  Second(1, 6);

  const std::vector<std::string> lines = DataLines(Text("pair_240809_1.txt"));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(Words(lines[0]), (std::vector<std::string>{"t4", "a4", "b4"}));
  EXPECT_EQ(Words(lines[1]), (std::vector<std::string>{"t5", "a5", "b5"}));
  EXPECT_EQ(Words(lines[2]), (std::vector<std::string>{"t6", "a6", "b6"}));
}

// The wait is said once, when the number has not come for ten seconds.
TEST_F(TimeSynchronisedCounters, CounterWithoutSerialNumberBlocksTheDefinition) {
  AddPairDefinition("pair.txt");
  FB->SetSerial(-1);
  for (int second = 1; second <= 3; ++second) {
    Second(0, second);
    Second(1, second);
    FNow += 5000;
  }
  EXPECT_FALSE(Exists("pair_240809_1.txt"));
  const std::vector<TSamplerMessage> messages = FSink.Take();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].Kind, mtWarning);
  EXPECT_EQ(messages[0].Text,
            "Log " + Path("pair.txt") + ": source B reports no serial number; lines of several counters are written only with it");

  FB->SetSerial(2002);
  Second(0, 4);
  Second(1, 4);
  const std::vector<std::string> lines = DataLines(Text("pair_240809_1.txt"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(Words(lines[0]), (std::vector<std::string>{"t4", "a4", "b4"}));
}

// 100 ms counter B beside 1 s counter A: each line takes B's record at the stamp.
TEST_F(TimeSynchronisedCounters, FasterCounterContributesTheRecordAtEachStamp) {
  FB->SetInterval(100);
  AddPairDefinition("pair.txt");
  for (int second = 1; second <= 3; ++second) {
    Second(0, second);
    FSampler.AddTimeStamp(1, false, 10 * (1000 + second));
    for (int tenth = 0; tenth < 10; ++tenth)
      FSampler.AddStrings(1, false, CounterRecord("u", ' ', {"b" + std::to_string(second) + "." + std::to_string(tenth)}));
  }
  const std::vector<std::string> lines = DataLines(Text("pair_240809_1.txt"));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(Words(lines[0]), (std::vector<std::string>{"t1", "a1", "b1.0"}));
  EXPECT_EQ(Words(lines[1]), (std::vector<std::string>{"t2", "a2", "b2.0"}));
  EXPECT_EQ(Words(lines[2]), (std::vector<std::string>{"t3", "a3", "b3.0"}));
}

// The other way round, 100 ms counter B paces the file beside 1 s counter A,
// and B's stamp and records of each second come before A's: every B record
// becomes a line once A's stamp of that second arrived, with A's record of
// that second (none may be held back for good).
TEST_F(TimeSynchronisedCounters, SlowerCounterReleasesEveryLineOfTheFasterMainCounter) {
  FB->SetInterval(100);
  auto definition = OnePartDefinition(Path("pair.txt"), 1, false, {LogType::Phase}, {1});
  definition->AddDefinition(Part(0, false, {LogType::Phase}, {1}));
  definition->SetAddHeader(false);
  definition->SetDifferentDevices(true);
  FSampler.AddDefinition(std::move(definition));
  for (int second = 1; second <= 6; ++second) {
    FSampler.AddTimeStamp(1, false, 10 * (1000 + second));
    for (int tenth = 0; tenth < 10; ++tenth) {
      const std::string tag = std::to_string(second) + "." + std::to_string(tenth);
      FSampler.AddStrings(1, false, CounterRecord("t" + tag, ' ', {"b" + tag}));
    }
    Second(0, second);
  }
  const std::vector<std::string> lines = DataLines(Text("pair_240809_1.txt"));
  ASSERT_EQ(lines.size(), 60u);
  for (std::size_t k = 0; k < lines.size(); ++k) {
    const std::string tag = std::to_string(k / 10 + 1) + "." + std::to_string(k % 10);
    EXPECT_EQ(Words(lines[k]), (std::vector<std::string>{"t" + tag, "b" + tag, "a" + std::to_string(k / 10 + 1)}));
  }
}

// A definition that cannot go on (missing serial number) holds its records
// until the buffers' caps drop them; a healthy definition on the same
// session is not held up, and the stalled file says what it lost.
TEST_F(TimeSynchronisedCounters, StalledDefinitionDoesNotStopAHealthyOneAndStatesItsLoss) {
  FSampler.SetBufferCaps(20, TSamplerRecordBuffer::kMaxBytes);
  AddPairDefinition("pair.txt");
  auto single = OnePartDefinition(Path("single.txt"), 0, false, {LogType::Phase}, {1});
  single->SetAddHeader(false);
  FSampler.AddDefinition(std::move(single));

  auto both = [&](int second) {
    Second(0, second);
    Second(1, second);
  };
  for (int second = 1; second <= 5; ++second) both(second);
  FB->SetSerial(-1);
  for (int second = 6; second <= 40; ++second) both(second);
  FB->SetSerial(2002);
  both(41);
  both(42);

  const std::vector<std::string> healthy = DataLines(Text("single_240809_1.txt"));
  ASSERT_EQ(healthy.size(), 42u);
  EXPECT_EQ(Words(healthy.back()), (std::vector<std::string>{"t42", "a42"}));

  // Records a6..a40 and b6..b40 were never paired; of them only the newest 20 were held.
  const std::vector<std::string> pair = TextLines(Text("pair_240809_1.txt"));
  ASSERT_EQ(pair.size(), 9u);
  EXPECT_EQ(Words(pair[4]), (std::vector<std::string>{"t5", "a5", "b5"}));
  EXPECT_EQ(pair[5], "t41# # Source A: 35 records lost (log buffer full) #\r");
  EXPECT_EQ(pair[6], "t41# # Source B: 35 records lost (log buffer full) #\r");
  EXPECT_EQ(Words(pair[7]), (std::vector<std::string>{"t41", "a41", "b41"}));
  EXPECT_EQ(Words(pair[8]), (std::vector<std::string>{"t42", "a42", "b42"}));
}

// ---- rotation ---------------------------------------------------------------------------

struct TDayCase {
  const char* Name;
  bool SessionClock;  // the session dates the file, else the sampler's clock
  bool Utc;
  const char* Zone;
  std::vector<std::string> Files;
};

class DayRotation : public MultiSamplerTest, public ::testing::WithParamInterface<TDayCase> {};

TEST_P(DayRotation, StartsANewFileEachDayWithoutLosingALine) {
  const TDayCase& c = GetParam();
  TZoneGuard zone(c.Zone);
  TSamplerOptions options;
  options.LogTimeZoneSystem = c.Utc;
  options.DefaultFolder = Dir() + "/";
  FSampler.SetOptions(options);
  TSamplerHeaderInfo info;
  info.ChannelCount = 2;
  auto source = AddSource(0, false, TSamplerSessionKind::Counter, 1000, 1001, info);
  FSampler.AddDefinition(OnePartDefinition(Path("run.txt"), 0, false, {LogType::Phase}, {1, 2}));

  // Every two hours from 2024-08-09 20:00 UTC to 2024-08-12 02:00 UTC: 28 records.
  int fed = 0;
  for (TUtcMs t = kAug9At10 + 10 * kHour; t <= kAug9At10 + 64 * kHour; t += 2 * kHour, ++fed) {
    if (c.SessionClock)
      source->SetTime(t);
    else
      FNow = t;
    FSampler.AddStrings(0, false, CounterRecord("r" + std::to_string(fed), ' ', {"1.0", "2.0"}));
  }

  EXPECT_EQ(Files(), c.Files);
  std::size_t lines = 0;
  for (std::size_t i = 0; i < c.Files.size(); ++i) {
    const std::string text = Text(c.Files[i]);
    lines += DataLines(text).size();
    EXPECT_EQ(TextLines(text)[1], i == 0 ? "#Message:   First create\r" : "#Message:   New Day\r") << c.Files[i];
  }
  EXPECT_EQ(lines, static_cast<std::size_t>(fed));
}

INSTANTIATE_TEST_SUITE_P(
    MultiSampler, DayRotation,
    ::testing::Values(
        TDayCase{"SessionClockUtc", true, true, "UTC0",
                 {"run_240809_1.txt", "run_240810_1.txt", "run_240811_1.txt", "run_240812_1.txt"}},
        TDayCase{"SamplerClockUtc", false, true, "UTC0",
                 {"run_240809_1.txt", "run_240810_1.txt", "run_240811_1.txt", "run_240812_1.txt"}},
        // UTC+9: 2024-08-09 20:00 UTC is already the 10th; the last record (02:00 UTC on the 12th) is on the 12th.
        TDayCase{"LocalZone", true, false, "JST-9", {"run_240810_1.txt", "run_240811_1.txt", "run_240812_1.txt"}}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(MultiSamplerTest, SizeLimitStartsANewFileWithTheNextRecord) {
  AddSource(0, false, TSamplerSessionKind::Counter, 1000, 1001, CounterInfo());
  auto definition = OnePartDefinition(Path("run.txt"), 0, false, {LogType::Phase}, {1});
  definition->SetFileSize(1000);
  FSampler.AddDefinition(std::move(definition));

  const int fed = 40;
  for (int i = 0; i < fed; ++i)
    FSampler.AddStrings(0, false, CounterRecord("240809 100000.000", ' ', {"v" + std::to_string(i)}));

  const std::vector<std::string> files = Files();
  ASSERT_GE(files.size(), 3u);
  std::vector<std::string> values;
  for (std::size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(files[i], "run_240809_" + std::to_string(i + 1) + ".txt");
    const std::string text = Text(files[i]);
    EXPECT_EQ(TextLines(text)[1], i == 0 ? "#Message:   First create\r" : "#Message:   File size reached\r");
    const std::vector<std::string> lines = DataLines(text);
    for (const std::string& line : lines) values.push_back(Words(line).back());
    if (i + 1 < files.size()) {
      // The limit was reached by the last line, not before it.
      EXPECT_GE(text.size(), 1000u);
      EXPECT_LT(text.size() - lines.back().size() - 2, 1000u);
    }
  }
  ASSERT_EQ(values.size(), static_cast<std::size_t>(fed));
  for (int i = 0; i < fed; ++i) EXPECT_EQ(values[static_cast<std::size_t>(i)], "v" + std::to_string(i));
}

TEST_F(MultiSamplerTest, PrependedDateAndTakenNamesGiveTheNextNumber) {
  AddSource(0, false, TSamplerSessionKind::Counter, 1000, 1001, CounterInfo());
  WriteText(Path("240809_1_run.txt"), "someone else's file");
  auto definition = OnePartDefinition(Path("run"), 0, false, {LogType::Phase}, {1});
  definition->SetPrependDate(true);
  const int slot = FSampler.AddDefinition(std::move(definition));
  FSampler.AddStrings(0, false, CounterRecord("240809 100000.000", ' ', {"1"}));
  EXPECT_EQ(FSampler.CurrentFileName(slot), Path("240809_2_run.txt"));
  EXPECT_EQ(ReadFile(Path("240809_1_run.txt")), "someone else's file");
}

// ---- decimal separator ------------------------------------------------------------------

TEST_F(MultiSamplerTest, ChangedDecimalSeparatorStartsANewFileWithThatLine) {
  AddSource(0, false, TSamplerSessionKind::Counter, 1000, 1001, CounterInfo());
  FSampler.AddDefinition(OnePartDefinition(Path("run.txt"), 0, false, {LogType::Phase}, {1}));

  FSampler.AddStrings(0, false, CounterRecord("240809 100000.000", ' ', {"1.5"}));
  FSampler.AddStrings(0, false, CounterRecord("240809 100001.000", ' ', {"42"}));   // no separator: stays
  FSampler.AddStrings(0, false, CounterRecord("240809 100002.000", ' ', {"2,5"}));  // comma: new file
  FSampler.AddStrings(0, false, CounterRecord("240809 100003.000", ' ', {"3,5"}));

  EXPECT_EQ(Files(), (std::vector<std::string>{"run_240809_1.txt", "run_240809_2.txt"}));
  const std::vector<std::string> first = DataLines(Text("run_240809_1.txt"));
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(Words(first[1]).back(), "42");
  const std::string second = Text("run_240809_2.txt");
  EXPECT_EQ(TextLines(second)[1], "#Message:   Floating point format changed\r");
  const std::vector<std::string> lines = DataLines(second);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(Words(lines[0]).back(), "2,5");
  EXPECT_EQ(Words(lines[1]).back(), "3,5");
}

TEST_F(MultiSamplerTest, FirstLineSetsTheSeparatorWithoutAnEmptyFile) {
  AddSource(0, false, TSamplerSessionKind::Counter, 1000, 1001, CounterInfo());
  FSampler.AddDefinition(OnePartDefinition(Path("run.txt"), 0, false, {LogType::Phase}, {1}));
  FSampler.AddStrings(0, false, CounterRecord("240809 100000,000", ' ', {"1,5"}));
  FSampler.AddStrings(0, false, CounterRecord("240809 100001,000", ' ', {"2,5"}));
  EXPECT_EQ(Files(), (std::vector<std::string>{"run_240809_1.txt"}));
  EXPECT_EQ(DataLines(Text("run_240809_1.txt")).size(), 2u);
}

// ---- source events ----------------------------------------------------------------------

struct TEventCase {
  const char* Name;
  bool Copy;  // the event comes from the time-interval copy of A
  int What;
  std::string Text;
  bool CounterClosed;
  bool QmtClosed;
  std::string Reason;  // the next file's message
};

class SourceEvents : public MultiSamplerTest, public ::testing::WithParamInterface<TEventCase> {
 protected:
  void FeedBoth(const std::string& time) {
    FSampler.AddStrings(0, false, CounterRecord(time, ' ', {"1.0"}));
    TMultiSamplerStrings qmt;
    qmt[0] = Field("5.00", 15);
    qmt[9] = time;
    FSampler.AddStrings(0, true, qmt);
  }
};

TEST_P(SourceEvents, CloseTheAffectedFilesWithTheirReason) {
  const TEventCase& c = GetParam();
  TSamplerHeaderInfo info = CounterInfo();
  info.QMTChannelCount = 1;
  AddSource(0, false, TSamplerSessionKind::Counter, 1000, 1001, info);
  AddSource(0, true, TSamplerSessionKind::TimeInterval, 1000, 1001, info);
  FSampler.AddDefinition(OnePartDefinition(Path("cnt.txt"), 0, false, {LogType::Phase}, {1}));
  FSampler.AddDefinition(OnePartDefinition(Path("qmt.txt"), 0, true, {LogType::QMT}, {1}));
  FeedBoth("240809 100000.000");
  FSink.Take();

  FSampler.UpdateSession(0, c.Copy, c.What, c.Text);
  const std::vector<std::string> messages = MessageTexts();
  FeedBoth("240809 100001.000");

  for (const auto& [name, closed] : {std::pair{"cnt", c.CounterClosed}, std::pair{"qmt", c.QmtClosed}}) {
    const std::string first = std::string(name) + "_240809_1.txt";
    const std::string second = std::string(name) + "_240809_2.txt";
    ASSERT_TRUE(Exists(first)) << name;
    if (!closed) {
      EXPECT_FALSE(Exists(second)) << name;
      EXPECT_EQ(DataLines(Text(first)).size(), 2u) << name;
      continue;
    }
    EXPECT_EQ(DataLines(Text(first)).size(), 1u) << name;
    ASSERT_TRUE(Exists(second)) << name;
    EXPECT_EQ(TextLines(Text(second))[1], "#Message:   " + c.Reason + "\r") << name;
    // Event 15 closes without a message.
    const std::vector<std::string> expected =
        c.What == SamplerEvent::FirstCreate ? std::vector<std::string>{}
                                            : std::vector<std::string>{"Log closed (" + c.Reason + "): " + Path(first)};
    EXPECT_EQ(messages, expected) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    MultiSampler, SourceEvents,
    ::testing::Values(
        TEventCase{"ChannelCount", false, 1, "", true, false, "Source A Header changed"},
        TEventCase{"ChannelCountOfQmt", true, 1, "", false, false, ""},
        TEventCase{"HeaderChanged", false, 2, "", true, false, "Source A Header changed"},
        TEventCase{"MeasurementSettings", false, 3, "", true, false, "Source A Measurement settings changed"},
        TEventCase{"DataCleared", false, 4, "", false, false, ""},
        TEventCase{"Text", false, 5, "Operator note", true, false, "Operator note"},
        TEventCase{"VirtualNotLogged", false, 6, "", false, false, ""},
        TEventCase{"TransmitOverflow", false, 7, "", true, false,
                   "Source A One or more lines lost due to PAV transmit buffer overflow"},
        TEventCase{"DeviceError", false, 9, "", true, false, "Source A Device error message received"},
        TEventCase{"QmtChannels", true, 10, "", false, true, "Source A QMT Channels changed"},
        TEventCase{"QmtCleared", true, 11, "", false, false, ""},
        TEventCase{"Closed", false, 12, "", true, false, "Source A closed"},
        TEventCase{"ReferenceClock", false, 13, "", true, false, "Source A Reference clock error"},
        TEventCase{"QmtCalibration", true, 14, "", false, true, "Source A QMT Calibration Data changed"},
        TEventCase{"FirstCreateKeepsAFileWithLines", true, 15, "", false, true, "First create"},
        TEventCase{"LossOfData", true, 16, "", false, true, "Loss of data"},
        TEventCase{"PvhChanged", false, 17, "", true, false, "PVH Data changed"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(MultiSamplerTest, EventsAndWarningsBecomeCommentLinesWithoutHeader) {
  AddSource(0, false, TSamplerSessionKind::Counter, 1000, 1001, CounterInfo());
  auto definition = OnePartDefinition(Path("run.txt"), 0, false, {LogType::Phase}, {1});
  definition->SetAddHeader(false);
  FSampler.AddDefinition(std::move(definition));

  FSampler.AddStrings(0, false, CounterRecord("240809 100000.000", ' ', {"1.0"}));
  FSampler.UpdateSession(0, false, SamplerEvent::Text, "Operator note");
  FSampler.AddWarning(0, false, "Clock alarm");
  FSampler.AddStrings(0, false, CounterRecord("240809 100001.000", ' ', {"2.0"}));

  EXPECT_EQ(Text("run_240809_1.txt"), "240809 100000.000  " + Field("1.0", 26) + "\r\n" +
                                          "240809 100000.000# # Operator note #\r\n"
                                          "240809 100000.000# # Clock alarm #\r\n" +
                                          "240809 100001.000  " + Field("2.0", 26) + "\r\n");
}

TEST_F(MultiSamplerTest, WarningClosesAFileWithHeader) {
  AddSource(0, false, TSamplerSessionKind::Counter, 1000, 1001, CounterInfo());
  FSampler.AddDefinition(OnePartDefinition(Path("run.txt"), 0, false, {LogType::Phase}, {1}));
  FSampler.AddStrings(0, false, CounterRecord("240809 100000.000", ' ', {"1.0"}));
  FSampler.AddWarning(0, false, "Source A: 3 records lost (log writer queue full)");
  FSampler.AddStrings(0, false, CounterRecord("240809 100001.000", ' ', {"2.0"}));
  EXPECT_EQ(TextLines(Text("run_240809_2.txt"))[1], "#Message:   Source A: 3 records lost (log writer queue full)\r");
}

TEST_F(MultiSamplerTest, DisableAndEnableStartsAnewWithFirstCreate) {
  AddSource(0, false, TSamplerSessionKind::Counter, 1000, 1001, CounterInfo());
  const int slot = FSampler.AddDefinition(OnePartDefinition(Path("run.txt"), 0, false, {LogType::Phase}, {1}));
  FSampler.AddStrings(0, false, CounterRecord("240809 100000.000", ' ', {"1.0"}));
  FSampler.UpdateSession(0, false, SamplerEvent::HeaderChanged, "");
  FSampler.AddStrings(0, false, CounterRecord("240809 100001.000", ' ', {"2.0"}));
  FSink.Take();

  FSampler.SetEnabled(slot, false);
  EXPECT_FALSE(FSampler.LogFileActive());
  EXPECT_EQ(MessageTexts(), std::vector<std::string>{"Log closed " + Path("run_240809_2.txt")});
  FSampler.AddStrings(0, false, CounterRecord("240809 100002.000", ' ', {"3.0"}));
  EXPECT_FALSE(Exists("run_240809_3.txt"));

  FSampler.SetEnabled(slot, true);
  FSampler.AddStrings(0, false, CounterRecord("240809 100003.000", ' ', {"4.0"}));
  const std::string text = Text("run_240809_3.txt");
  EXPECT_EQ(TextLines(text)[1], "#Message:   First create\r");
  ASSERT_EQ(DataLines(text).size(), 1u);
  EXPECT_EQ(Words(DataLines(text)[0]).back(), "4.0");
}

TEST_F(MultiSamplerTest, ChangedDefinitionAndHeaderOptionCloseWithTheirReasons) {
  AddSource(0, false, TSamplerSessionKind::Counter, 1000, 1001, CounterInfo());
  const int slot = FSampler.AddDefinition(OnePartDefinition(Path("run.txt"), 0, false, {LogType::Phase}, {1}));
  FSampler.AddStrings(0, false, CounterRecord("240809 100000.000", ' ', {"1.0"}));
  FSampler.ChangeDefinition(slot, OnePartDefinition(Path("run.txt"), 0, false, {LogType::Phase}, {1, 2}));
  FSampler.AddStrings(0, false, CounterRecord("240809 100001.000", ' ', {"1.1", "2.1"}));
  FSampler.ChangeDefinition(slot, OnePartDefinition(Path("other.txt"), 0, false, {LogType::Phase}, {1}));
  FSampler.AddStrings(0, false, CounterRecord("240809 100002.000", ' ', {"1.2"}));
  FSampler.SetAddHeader(slot, false);
  FSampler.AddStrings(0, false, CounterRecord("240809 100003.000", ' ', {"1.3"}));

  EXPECT_EQ(TextLines(Text("run_240809_2.txt"))[1], "#Message:   Definition changed\r");
  EXPECT_EQ(TextLines(Text("other_240809_1.txt"))[1], "#Message:   First create\r");
  EXPECT_EQ(Text("other_240809_2.txt"), "240809 100003.000  " + Field("1.3", 26) + "\r\n");
  EXPECT_EQ(MessageTexts(),
            (std::vector<std::string>{"Log opened " + Path("run_240809_1.txt"),
                                      "Log closed (Definition changed): " + Path("run_240809_1.txt"),
                                      "Log opened " + Path("run_240809_2.txt"),
                                      "Log closed (First create): " + Path("run_240809_2.txt"),
                                      "Log opened " + Path("other_240809_1.txt"),
                                      "Log closed (Header changed): " + Path("other_240809_1.txt"),
                                      "Log opened " + Path("other_240809_2.txt")}));
}

// ---- sessions and definitions -----------------------------------------------------------

TEST_F(MultiSamplerTest, SessionListRemovesPartsAndEmptyDefinitions) {
  auto a = AddSource(0, false, TSamplerSessionKind::Counter, 1000, 1001, CounterInfo());
  auto b = AddSource(1, true, TSamplerSessionKind::TimeInterval, 1000, 1002, CounterInfo());
  auto both = OnePartDefinition(Path("both.txt"), 0, false, {LogType::Phase}, {1});
  both->AddDefinition(Part(1, true, {LogType::QMT}, {1}));
  const int bothSlot = FSampler.AddDefinition(std::move(both));
  const int onlyB = FSampler.AddDefinition(OnePartDefinition(Path("b.txt"), 1, true, {LogType::QMT}, {1}));
  EXPECT_EQ(a->LogTypes(), 1u << LogType::Phase);
  EXPECT_EQ(b->LogTypes(), 1u << LogType::QMT);

  FSources.pop_back();
  FSampler.UpdateSessionList(FSources);

  EXPECT_EQ(FSampler.GetDefinition(onlyB), nullptr);
  const std::unique_ptr<TLogDefinition> remaining = FSampler.GetDefinition(bothSlot);
  ASSERT_NE(remaining, nullptr);
  ASSERT_EQ(remaining->Count(), 1);
  EXPECT_EQ(remaining->GetDefinition(0)->FSource, 0);

  FSampler.AddStrings(0, false, CounterRecord("240809 100000.000", ' ', {"1.0"}));
  EXPECT_TRUE(Exists("both_240809_1.txt"));

  // An empty list ends every definition.
  FSampler.UpdateSessionList({});
  EXPECT_EQ(FSampler.GetDefinition(bothSlot), nullptr);
  EXPECT_FALSE(FSampler.LogFileActive());
}

TEST_F(MultiSamplerTest, RemovedSessionClosesItsDefinitionsFile) {
  AddSource(0, false, TSamplerSessionKind::Counter, 1000, 1001, CounterInfo());
  AddSource(1, false, TSamplerSessionKind::Counter, 1000, 1002, CounterInfo());
  auto definition = OnePartDefinition(Path("run.txt"), 0, false, {LogType::Phase}, {1});
  definition->AddDefinition(Part(1, false, {LogType::Freq}, {1}, sscAvgShort));  // averages: sampled, never paced
  FSampler.AddDefinition(std::move(definition));
  FSampler.AddStrings(0, false, CounterRecord("240809 100000.000", ' ', {"1.0"}));
  FSink.Take();

  FSampler.RemoveSession(1);
  EXPECT_EQ(MessageTexts(), std::vector<std::string>{"Log closed (Source B closed): " + Path("run_240809_1.txt")});
  FSampler.AddStrings(0, false, CounterRecord("240809 100001.000", ' ', {"2.0"}));
  EXPECT_EQ(TextLines(Text("run_240809_2.txt"))[1], "#Message:   Source B closed\r");
}

TEST_F(MultiSamplerTest, TransformLinCombMovesLegacySelectionToVirtualChannels) {
  AddSource(0, false, TSamplerSessionKind::Counter, 1000, 1001, CounterInfo());
  auto definition = OnePartDefinition(Path("run.txt"), 0, false, {LogType::Phase}, {1});
  definition->GetDefinition(0)->FEnabled[1][0] = true;  // legacy linear combination of channel 1
  const int slot = FSampler.AddDefinition(std::move(definition));

  FSampler.TransformLinComb(0, 3, 4);

  const std::unique_ptr<TLogDefinition> changed = FSampler.GetDefinition(slot);
  ASSERT_EQ(changed->Count(), 2);
  EXPECT_FALSE(changed->GetDefinition(0)->RowHasAny(2));
  const TSimpleLogDefinition& added = *changed->GetDefinition(1);
  EXPECT_EQ(added.FStringClass, sscVirtual);
  EXPECT_EQ(added.FTypes, 1u << LogType::FreqAbsV);
  EXPECT_EQ(added.GetLogEnabledString(1), "001100000000000000000000");
}

// ---- files that cannot be written -------------------------------------------------------

TEST_F(MultiSamplerTest, UnwritableFolderGivesOneMessageAndCountsTheLostLines) {
  AddSource(0, false, TSamplerSessionKind::Counter, 1000, 1001, CounterInfo());
  WriteText(Path("blocker"), "a file where the folder should be");
  auto definition = OnePartDefinition(Path("blocker/logs/run.txt"), 0, false, {LogType::Phase}, {1});
  definition->SetAddHeader(false);
  const int slot = FSampler.AddDefinition(std::move(definition));

  for (int i = 0; i < 3; ++i)
    FSampler.AddStrings(0, false, CounterRecord("240809 10000" + std::to_string(i) + ".000", ' ', {"1.0"}));
  const std::vector<TSamplerMessage> messages = FSink.Take();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].Code, 92);
  EXPECT_EQ(messages[0].Kind, mtError);
  EXPECT_EQ(messages[0].Text.rfind("Log file not written: " + Path("blocker/logs/run_240809_1.txt") + ": ", 0), 0u)
      << messages[0].Text;
  EXPECT_EQ(FSampler.CurrentFileName(slot), "");

  std::filesystem::remove(Path("blocker"));
  FNow += 10000;  // a new file is tried ten seconds after the last failure
  FSampler.AddStrings(0, false, CounterRecord("240809 100003.000", ' ', {"2.0"}));
  EXPECT_EQ(Text("blocker/logs/run_240809_1.txt"), "240809 100003.000# # 3 lines lost (log file not written) #\r\n"
                                                   "240809 100003.000  " +
                                                       Field("2.0", 26) + "\r\n");
}

// A write that fails in an open file (here: the process's file size limit)
// keeps what the file holds, without a partial line, and goes on in a new
// file, tried ten seconds later, that counts the lines lost meanwhile.
TEST_F(MultiSamplerTest, FailedWriteKeepsTheFileAndGoesOnInANewOne) {
  AddSource(0, false, TSamplerSessionKind::Counter, 1000, 1001, CounterInfo());
  auto definition = OnePartDefinition(Path("run.txt"), 0, false, {LogType::Phase}, {1});
  definition->SetAddHeader(false);
  FSampler.AddDefinition(std::move(definition));
  auto line = [](int i) { return "240809 100000.000  " + Field("v" + std::to_string(i), 26) + "\r\n"; };
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1500, 1500};  // 31 lines of 47 bytes fit
    ::setrlimit(RLIMIT_FSIZE, &limit);
    for (int i = 0; i < 40; ++i) {
      if (i == 35) FNow += 10000;
      FSampler.AddStrings(0, false, CounterRecord("240809 100000.000", ' ', {"v" + std::to_string(i)}));
    }
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  EXPECT_EQ(Files(), (std::vector<std::string>{"run_240809_1.txt", "run_240809_2.txt"}));
  std::string first;
  for (int i = 0; i <= 30; ++i) first += line(i);
  EXPECT_EQ(Text("run_240809_1.txt"), first);
  std::string second = "240809 100000.000# # 4 lines lost (log file not written) #\r\n";
  for (int i = 35; i < 40; ++i) second += line(i);
  EXPECT_EQ(Text("run_240809_2.txt"), second);
}

// A full disk (here: a file size limit of 0 for the whole process): one
// message, no file announced that holds nothing, a new file tried only every
// ten seconds, and once writing works again the new file states the lines
// lost. Run in a child process, whose messages and counts come back in a file.
TEST_F(MultiSamplerTest, FullDiskIsRetriedAtABoundedPaceAndTheLossIsStated) {
  AddSource(0, false, TSamplerSessionKind::Counter, 1000, 1001, CounterInfo());
  FSampler.AddDefinition(OnePartDefinition(Path("run.txt"), 0, false, {LogType::Phase}, {1}));
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    auto feed = [&](int count) {
      for (int i = 0; i < count; ++i) FSampler.AddStrings(0, false, CounterRecord("240809 100000.000", ' ', {"v"}));
    };
    auto diskFull = [](bool full) {
      const rlimit limit{full ? 0 : RLIM_INFINITY, RLIM_INFINITY};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    };
    feed(3);
    diskFull(true);
    feed(5);  // the first fails in the open file, the others wait for the retry
    FNow += 5000;
    feed(2);
    FNow += 10000;
    feed(1);  // tried again: the new file's header fails
    diskFull(false);
    feed(1);  // the last try was just now
    FNow += 10000;
    feed(1);
    std::string result;
    for (const std::string& text : MessageTexts()) result += text + "\n";
    const TLogLineCounts counts = FSampler.LineCounts();
    result += std::to_string(counts.Written) + " written, " + std::to_string(counts.Lost) + " lost\n";
    WriteText(Path("result.txt"), result);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  EXPECT_EQ(Files(), (std::vector<std::string>{"result.txt", "run_240809_1.txt", "run_240809_2.txt"}));
  const std::string first = Path("run_240809_1.txt");
  const std::string second = Path("run_240809_2.txt");
  EXPECT_EQ(TextLines(Text("result.txt")),
            (std::vector<std::string>{"Log opened " + first, "Log file not written: " + first + ": File too large",
                                      "Log opened " + second, "4 written, 9 lost"}));
  const auto dataAndComments = [&](const std::string& name) {
    std::vector<std::string> lines;
    for (const std::string& line : TextLines(Text(name)))
      if (!line.starts_with("#")) lines.push_back(line.substr(17, line.size() - 18));
    return lines;
  };
  const std::string data = "  " + Field("v", 26);
  EXPECT_EQ(dataAndComments("run_240809_1.txt"), (std::vector<std::string>{data, data, data}));
  EXPECT_EQ(dataAndComments("run_240809_2.txt"),
            (std::vector<std::string>{"# # 9 lines lost (log file not written) #", data}));
  EXPECT_NE(Text("run_240809_2.txt").find("#Message:   Log file not written: File too large\r\n"), std::string::npos);
}

TEST_F(MultiSamplerTest, SettingsKeepTheDefinitionsAcrossARestart) {
  AddSource(0, false, TSamplerSessionKind::Counter, 1000, 1001, CounterInfo());
  FSampler.AddDefinition(OnePartDefinition(Path("a.txt"), 0, false, {LogType::Phase}, {1}));
  const int removed = FSampler.AddDefinition(OnePartDefinition(Path("gone.txt"), 0, false, {LogType::Freq}, {2}));
  auto kept = OnePartDefinition(Path("b.txt"), 0, false, {LogType::Freq}, {1, 2});
  kept->SetFileSize(TLogDefinition::k128MB);
  const TLogDefinition expected = *kept;
  FSampler.AddDefinition(std::move(kept));
  FSampler.RemoveDefinition(removed);
  TAppSettings settings;
  FSampler.SaveSettings(settings);
  ASSERT_TRUE(settings.SaveSettings(Path("ZEP_App.ini")));

  TAppSettings loaded;
  ASSERT_TRUE(loaded.LoadFromFile(Path("ZEP_App.ini")));
  TZEP_MultiSampler restarted(-1, nullptr);
  restarted.ReadSettings(loaded);
  ASSERT_EQ(restarted.DefinitionSlotCount(), 2);
  EXPECT_EQ(restarted.GetDefinition(0)->FileName(), Path("a.txt"));
  EXPECT_TRUE(restarted.GetDefinition(1)->SameAs(expected));
}

TEST_F(MultiSamplerTest, DrivesAreTheMountPointsOfTheLogFolders) {
  FSampler.AddDefinition(OnePartDefinition(Path("x/a.txt"), 0, false, {LogType::Phase}, {1}));
  FSampler.AddDefinition(OnePartDefinition(Path("y/b.txt"), 0, false, {LogType::Phase}, {1}));
  const std::vector<std::string> drives = FSampler.GetDrives();
  ASSERT_EQ(drives.size(), 1u);
  EXPECT_EQ(Dir().rfind(drives[0], 0), 0u) << drives[0];
}

TEST_F(MultiSamplerTest, FolderIsCreatedWhenTheDefinitionIsAdded) {
  FSampler.AddDefinition(OnePartDefinition(Path("deep/er/run.txt"), 0, false, {LogType::Phase}, {1}));
  EXPECT_TRUE(std::filesystem::is_directory(Path("deep/er")));
}

}  // namespace
