#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "app/analysis/App_StabilityEstimators.h"
#include "app/analysis/App_StabilityReader.h"
#include "support/FileText.h"
#include "support/TempFolder.h"
#include "tests/app/output/SamplerTestSupport.h"

namespace {

constexpr TUtcMs kAug9At10 = 1723197600000;  // 2024-08-09 10:00:00 UTC
constexpr long double kFirstPhase = 123456789.123456789L;

// Frequency of channel 3 at line k (Hz) and its phase, which the counter
// accumulates line by line (tau0 = 1 s).
long double Frequency(int k) { return 10000000.5L + 1e-3L * std::sin(0.7L * k); }

std::string Decimal(long double value, int digits, char separator) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*Lf", digits, value);
  for (char* c = text; *c; ++c)
    if (*c == '.') *c = separator;
  return text;
}

// A log file written by the application's own log writer: counter A (phase
// and frequency of channels 1..3, the frequency of the first line not yet
// measured) and its time-interval copy, also shown as "A" (time interval and
// its difference of two channels; the writer's "no value" -9.99 on line 3).
std::string WriteLog(const TTempFolder& folder, int lines, char separator) {
  TMessageSink sink;
  TZEP_MultiSampler sampler{-1, sink.Callback()};
  TSamplerOptions options;
  options.LogTimeZoneSystem = true;
  options.DecSepLog = separator;
  options.LogTimeFormat = std::string("YYMMDD HHNNSS") + separator + "ZZZ";
  options.DefaultFolder = folder.Path().string() + "/";
  sampler.SetOptions(options);
  sampler.SetClock([] { return kAug9At10; });
  TSamplerHeaderInfo counter;
  counter.ModeText = "Phase";
  counter.IntervalText = "1s";
  counter.ScramblerText = "off";
  counter.ChannelCount = 3;
  counter.Names = {"REF", "DUT", "X3"};
  TSamplerHeaderInfo interval;
  interval.QMTChannelCount = 2;
  interval.QMTNames = {"TIC1", "TIC2"};
  auto a = std::make_shared<TFakeSamplerSource>(0, false, TSamplerSessionKind::Counter, 1000, 1001);
  auto b = std::make_shared<TFakeSamplerSource>(0, true, TSamplerSessionKind::TimeInterval, 1000, 1001);
  a->SetInfo(counter);
  b->SetInfo(interval);
  sampler.UpdateSessionList({a, b});
  auto definition = OnePartDefinition(folder.File("run.txt"), 0, false, {LogType::Phase, LogType::Freq}, {1, 2, 3});
  definition->AddDefinition(Part(0, true, {LogType::QMT, LogType::QMTdiff}, {1, 2}));
  sampler.AddDefinition(std::move(definition));

  long double phase = kFirstPhase;
  for (int k = 0; k < lines; ++k) {
    if (k > 0) phase += Frequency(k);
    TMultiSamplerStrings qmt;
    const long double tic2 = k == 3 ? -9.99L : 20 + 0.01L * k;
    qmt[0] = Field(Decimal(10, 2, separator), 15) + Field(Decimal(tic2, 2, separator), 15);
    qmt[1] = Field(Decimal(0, 2, separator), 15) + Field(Decimal(k == 3 ? -9.99L : tic2 - 10, 2, separator), 15);
    sampler.AddStrings(0, true, qmt);
    TMultiSamplerStrings record;
    record[0] = " ";
    for (int channel = 1; channel <= 3; ++channel) record[0] += Field(Decimal(phase + channel, 11, separator), 26);
    for (int channel = 1; channel <= 3 && k > 0; ++channel)
      record[1] += Field(Decimal(Frequency(k), 11, separator), 22);
    record[9] = "240809 1000" + std::string(k < 10 ? "0" : "") + std::to_string(k % 60) + separator + "000";
    sampler.AddStrings(0, false, record);
  }
  sampler.CloseAll();
  return folder.File("run_240809_1.txt");
}

const TStabilitySeries* Find(const TStabilityReadResult& result, const std::string& name) {
  for (const TStabilitySeries& series : result.Series)
    if (series.Name == name) return &series;
  return nullptr;
}

double Oadev(const TStabilitySeries& series, int64_t m) {
  const TPhaseSeries phase = series.Kind == TStabilityDataKind::Phase
                                 ? TPhaseSeries::FromPhase(series.Values, series.Tau0)
                                 : TPhaseSeries::FromFrequency(series.Values, series.Tau0);
  return TDeviationCalculator(phase).Compute(TStabilityEstimator::Oadev, m).Value;
}

// Columns by number, name and session letter; phase converted with the channel's mean
// frequency to the time error against the nominal time, to within double
// rounding of the 20-digit texts; frequency with the same f0; time intervals
// in seconds with the writer's "no value" as a gap. Both decimal separators.
TEST(StabilityReader, ReadsTheColumnsTheLogWriterWrote) {
  for (const char separator : {'.', ','}) {
    const TTempFolder folder;
    const std::string file = WriteLog(folder, 40, separator);
    TStabilityReadOptions options;
    options.Columns = {"phase:3", "A:freq:X3", "A:qmt:2", "qmtdiff:TIC2"};
    const TStabilityReadResult result = ReadStabilityFiles({file}, options);
    ASSERT_EQ(result.Status, TReadStatus::Ok) << result.Error << "\n" << ReadFile(file);
    ASSERT_EQ(result.Series.size(), 4u);

    const TStabilitySeries* phase = Find(result, "A:phase:3 (X3)");
    const TStabilitySeries* frequency = Find(result, "A:freq:3 (X3)");
    ASSERT_TRUE(phase && frequency);
    long double mean = 0;
    for (int k = 1; k < 40; ++k) mean += Frequency(k) / 39;
    ASSERT_TRUE(phase->F0 && frequency->F0);
    EXPECT_NEAR(*phase->F0, static_cast<double>(mean), 1e-8);
    EXPECT_EQ(*phase->F0, *frequency->F0);
    EXPECT_EQ(phase->Tau0, 1.0);
    ASSERT_EQ(phase->Values.size(), 40u);
    ASSERT_EQ(frequency->Values.size(), 39u);  // the first line has no frequency yet
    long double cycles = 0;
    for (int k = 0; k < 40; ++k) {
      if (k > 0) cycles += Frequency(k);
      const long double expected = cycles / static_cast<long double>(*phase->F0) - k;
      // 11 decimals of a period are 1e-18 s; a double read of the text would miss by 1e-15 s.
      EXPECT_NEAR(phase->Values[static_cast<std::size_t>(k)], static_cast<double>(expected), 1e-17) << k;
    }
    EXPECT_NEAR(frequency->Values[0], static_cast<double>(Frequency(1) / mean - 1), 1e-17);
    for (const int64_t m : {1, 2, 4, 8}) EXPECT_NEAR(Oadev(*phase, m) / Oadev(*frequency, m), 1.0, 1e-6) << m;

    const TStabilitySeries* tic = Find(result, "A:qmt:2 (TIC2)");
    const TStabilitySeries* difference = Find(result, "A:qmtdiff:2 (TIC2)");
    ASSERT_TRUE(tic && difference);
    EXPECT_EQ(tic->Kind, TStabilityDataKind::Phase);
    EXPECT_FALSE(tic->F0);
    EXPECT_NEAR(tic->Values[1], 20.01e-9, 1e-20);
    EXPECT_TRUE(std::isnan(tic->Values[3]));
    EXPECT_TRUE(std::isnan(difference->Values[3]));
    EXPECT_NEAR(difference->Values[4], 10.04e-9, 1e-20);
  }
}

// Day files of one run are joined in order; without --column every column
// that can be analysed is read.
TEST(StabilityReader, JoinsFilesInOrderAndReadsEveryColumnByDefault) {
  const TTempFolder first, second;
  const std::string one = WriteLog(first, 10, '.');
  const std::string two = WriteLog(second, 10, ',');
  const TStabilityReadResult result = ReadStabilityFiles({one, two}, {});
  ASSERT_EQ(result.Status, TReadStatus::Ok) << result.Error;
  EXPECT_EQ(result.Series.size(), 10u);  // 3 phase, 3 frequency, 2 intervals, 2 differences
  const TStabilitySeries* phase = Find(result, "A:phase:1 (REF)");
  ASSERT_TRUE(phase);
  EXPECT_EQ(phase->Values.size(), 20u);
  // A file whose header block is repeated further down reads the same.
  TStabilityReadOptions options;
  options.Columns = {"phase:1"};
  const TStabilityReadResult repeated = ReadStabilityTexts({ReadFile(one) + ReadFile(two)}, options);
  ASSERT_EQ(repeated.Status, TReadStatus::Ok) << repeated.Error;
  EXPECT_EQ(repeated.Series[0].Values, phase->Values);
}

// The two phase differences share their label; a lone one is told by its titles.
TEST(StabilityReader, PhaseDifferenceToChannelOneOrToTheChannelBefore) {
  for (const int type : {LogType::PhaseDiff, LogType::PhaseDiffPrev}) {
    const TTempFolder folder;
    TMessageSink sink;
    TZEP_MultiSampler sampler{-1, sink.Callback()};
    TSamplerOptions options;
    options.DefaultFolder = folder.Path().string() + "/";
    sampler.SetOptions(options);
    sampler.SetClock([] { return kAug9At10; });
    TSamplerHeaderInfo info;
    info.IntervalText = "100ms";
    info.ChannelCount = 3;
    info.Names = {"REF", "DUT", "X3"};
    auto source = std::make_shared<TFakeSamplerSource>(0, false, TSamplerSessionKind::Counter, 100, 1001);
    source->SetInfo(info);
    sampler.UpdateSessionList({source});
    sampler.AddDefinition(OnePartDefinition(folder.File("d.txt"), 0, false, {type}, {1, 2, 3}));
    for (int k = 0; k < 5; ++k) {
      TMultiSamplerStrings record;
      record[0] = " ";
      for (int channel = 1; channel <= 3; ++channel)
        record[type == LogType::PhaseDiff ? 2 : 6] += Field(std::to_string(channel * k) + ".5", 26);
      record[9] = "240809 10000" + std::to_string(k) + ".000";
      sampler.AddStrings(0, false, record);
    }
    sampler.CloseAll();
    TStabilityReadOptions read;
    read.Nominal = 1e7;
    const TStabilityReadResult result = ReadStabilityFiles({folder.File("d_240809_1.txt")}, read);
    ASSERT_EQ(result.Status, TReadStatus::Ok) << result.Error;
    const std::string name = type == LogType::PhaseDiff ? "phasediff" : "phasediffprev";
    ASSERT_EQ(result.Series.size(), 3u);
    // Only difference titles: the channels are known by name, not number.
    EXPECT_EQ(result.Series[2].Name, "A:" + name + ":X3");
    EXPECT_EQ(result.Series[2].Tau0, 0.1);
    EXPECT_NEAR(result.Series[2].Values[4], 12 / 1e7, 1e-20);  // 12 periods after the first line
  }
}

struct TBadCase {
  const char* Name;
  std::string Text;
  std::vector<std::string> Columns;
  TReadStatus Status;
  const char* Message;
};

// Damaged and unsuitable input ends with one clear message, never with values.
TEST(StabilityReader, BadInputGivesAClearError) {
  const TTempFolder folder;
  const std::string good = ReadFile(WriteLog(folder, 6, '.'));
  const std::size_t lastData = good.rfind("240809");
  std::string letters = good;
  letters.replace(good.rfind(".", good.size() - 3) - 4, 3, "abc");
  std::string shortLine = good.substr(0, lastData) + "240809 100005.000 1  12.5\r\n";
  std::string noTitle;
  for (const std::string& line : TextLines(good))
    if (!line.starts_with("#PC time")) noTitle += line + "\n";
  const TBadCase cases[] = {
      {"empty", "", {}, TReadStatus::BadFile, "no values"},
      {"header only", good.substr(0, good.find("240809")), {}, TReadStatus::BadFile, "no values"},
      {"text in a number field", letters, {}, TReadStatus::BadFile, "is not a number"},
      {"line shorter than its title", shortLine, {}, TReadStatus::BadFile, "shorter than its title line"},
      {"no title line", noTitle, {}, TReadStatus::BadFile, "without type and title lines"},
      {"missing column", good, {"phase:7"}, TReadStatus::BadArguments, "is not in"},
      {"unknown type", good, {"speed:1"}, TReadStatus::BadArguments, "unknown type"},
      {"plain data without --data", "1.0\n2.0\n", {}, TReadStatus::BadArguments, "need --data and --tau0"},
  };
  for (const TBadCase& c : cases) {
    TStabilityReadOptions options;
    options.Columns = c.Columns;
    const TStabilityReadResult result = ReadStabilityTexts({c.Text}, options);
    EXPECT_EQ(result.Status, c.Status) << c.Name << ": " << result.Error;
    EXPECT_NE(result.Error.find(c.Message), std::string::npos) << c.Name << ": " << result.Error;
    EXPECT_TRUE(result.Series.empty()) << c.Name;
  }
}

// The way files really arrive: LF instead of CR LF, a last line cut while
// the writer was busy (left out, said once), chunk borders anywhere.
TEST(StabilityReader, LineEndsAndACutLastLine) {
  const TTempFolder folder;
  const std::string crlf = ReadFile(WriteLog(folder, 8, '.'));
  std::string lf;
  for (char c : crlf)
    if (c != '\r') lf += c;
  const std::string cut = crlf.substr(0, crlf.size() - 30);
  TStabilityReadOptions options;
  options.Columns = {"phase:2"};
  const TStabilityReadResult full = ReadStabilityTexts({crlf}, options);
  ASSERT_EQ(full.Status, TReadStatus::Ok) << full.Error;
  const TStabilityReadResult unix = ReadStabilityTexts({lf}, options);
  ASSERT_EQ(unix.Status, TReadStatus::Ok) << unix.Error;
  EXPECT_EQ(unix.Series[0].Values, full.Series[0].Values);
  const TStabilityReadResult partial = ReadStabilityTexts({cut}, options);
  ASSERT_EQ(partial.Status, TReadStatus::Ok) << partial.Error;
  EXPECT_EQ(partial.Series[0].Values.size(), 7u);
  ASSERT_EQ(partial.Notes.size(), 1u);
  EXPECT_NE(partial.Notes[0].find("cut short"), std::string::npos);
}

TEST(StabilityReader, PlainDataFilesAndTheValueLimit) {
  TStabilityReadOptions options;
  options.PlainKind = TStabilityDataKind::Frequency;
  options.Tau0 = 0.5;
  const std::string text = "# time value\n0 1,5e-12\n0.5\t-2.25e-12\n1 NaN\n\n1.5;  3e-12";
  const TStabilityReadResult result = ReadStabilityTexts({text}, options);
  ASSERT_EQ(result.Status, TReadStatus::Ok) << result.Error;
  ASSERT_EQ(result.Series.size(), 1u);
  const TStabilitySeries& series = result.Series[0];
  EXPECT_EQ(series.Kind, TStabilityDataKind::Frequency);
  EXPECT_EQ(series.Tau0, 0.5);
  ASSERT_EQ(series.Values.size(), 4u);
  EXPECT_DOUBLE_EQ(series.Values[0], 1.5e-12);
  EXPECT_DOUBLE_EQ(series.Values[1], -2.25e-12);
  EXPECT_TRUE(std::isnan(series.Values[2]));
  EXPECT_DOUBLE_EQ(series.Values[3], 3e-12);

  const TStabilityReadResult three = ReadStabilityTexts({"1 2 3\n"}, options);
  EXPECT_EQ(three.Status, TReadStatus::BadFile);
  options.MaxPoints = 3;
  const TStabilityReadResult limited = ReadStabilityTexts({text}, options);
  EXPECT_EQ(limited.Status, TReadStatus::BadFile);
  EXPECT_NE(limited.Error.find("--max-points"), std::string::npos) << limited.Error;
}

// A read asked to stop ends after the chunk it is in, with no series, and
// never reads the files after it.
TEST(StabilityReader, CancelledReadStopsAtTheNextChunk) {
  TStabilityReadOptions options;
  options.PlainKind = TStabilityDataKind::Phase;
  options.Tau0 = 1;
  std::string big;
  while (big.size() < (std::size_t{3} << 20)) big += "1.25e-9\n";
  int asked = 0;
  uint64_t lastDone = 0;
  options.Progress = [&](uint64_t done, uint64_t) { lastDone = done; };
  options.Cancelled = [&] { return ++asked == 2; };
  const TStabilityReadResult result = ReadStabilityTexts({big, big}, options);
  EXPECT_EQ(result.Status, TReadStatus::Cancelled);
  EXPECT_TRUE(result.Series.empty());
  EXPECT_EQ(asked, 2);
  EXPECT_LT(lastDone, big.size());
}

}  // namespace
