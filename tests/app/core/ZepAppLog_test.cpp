// Measurement logs written by the whole application: simulated counters,
// the acquisition thread, the stores, the writer queue and the multi-sampler.

#include <gtest/gtest.h>

#include <charconv>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/core/App_LogSetup.h"
#include "app/core/Main.h"
#include "app/core/App_Settings.h"
#include "app/data/PAV_DataManagement.h"
#include "app/output/ZEP_MultiSampler.h"
#include "library/sources/MultiSource.h"
#include "support/FileText.h"
#include "support/TempFolder.h"
#include "tests/app/output/SamplerTestSupport.h"

namespace {

using namespace std::chrono_literals;

// Column widths of a log line ("YYMMDD HHNNSS.ZZZ", sync flag, value fields).
constexpr std::size_t kTime = 17;
constexpr std::size_t kSync = 2;
constexpr std::size_t kPhase = 26;
constexpr std::size_t kFreq = 22;
constexpr std::size_t kQMT = 15;
constexpr double kSimulatedHz = 1e7;

class TLogFrontEnd : public TZepFrontEnd {
 public:
  std::optional<TConnectionChoice> ChooseConnection(int, const TConnectionChoice&) override { return std::nullopt; }
  void ShowMessage(const std::string&) override {}
};

TZepAppOptions Options(const TTempFolder& folder) {
  TZepAppOptions options;
  options.ConfigFolder = folder.Path().string() + "/";
  return options;
}

// A simulated counter at interval index `rate` (6 = 100 ms, 3 = 10 ms).
std::string SimulatedSession(int index, int rate, int intervalMs) {
  const std::string prefix = "Session_" + std::to_string(index) + "_";
  return prefix + "OpenString=DemoData\r\n" + prefix + "ConnectionType=6\r\n" + prefix + "DemoRate=" +
         std::to_string(rate) + "\r\n" + prefix + "Interval=" + std::to_string(intervalMs) + "\r\n";
}

// Counter time in the logs: the lines of a simulated counter lie exactly one interval apart.
void WriteSettings(const TTempFolder& folder, int sessions, const std::string& sessionKeys) {
  std::ofstream(folder.File("ZEP_App.ini"), std::ios::binary)
      << "SessionCount=" << sessions << "\r\nLogTimeSourcePAV=True\r\n" << sessionKeys;
}

// Runs the display tick every 100 ms, as a front end's timer does, until
// `done` holds or the time is up.
bool TickUntil(TZepApp& app, std::chrono::milliseconds limit, const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (done && done()) return true;
    std::this_thread::sleep_for(100ms);
    app.DisplayTick();
  }
  return done && done();
}

void Tick(TZepApp& app, std::chrono::milliseconds duration) { TickUntil(app, duration, nullptr); }

// The session measures at the interval its settings asked for.
bool Measuring(const TZepApp& app, int index, int rate) {
  const auto session = std::dynamic_pointer_cast<TVQSessionItem>(app.Session(index));
  if (!session) return false;
  const TVQSessionState state = session->State();
  return state.IntervalIndex == rate && state.Measurements >= 3;
}

struct TLogText {
  std::string Types;               // the line of type labels
  std::string Title;               // the line of channel titles
  std::vector<std::string> Data;   // data lines without CR LF
  std::vector<std::string> Other;  // comment lines
  bool CrLf = true;                // every line ended by CR LF
};

TLogText ParseLog(const std::string& text) {
  TLogText log;
  for (std::string line : TextLines(text)) {
    if (line.empty() || line.back() != '\r') {
      log.CrLf = false;
    } else {
      line.pop_back();
    }
    if (line.starts_with("#zone "))
      log.Types = line;
    else if (line.starts_with("#PAV time") || line.starts_with("#PC time"))
      log.Title = line;
    else if (line.find("# # ") != std::string::npos)
      log.Other.push_back(line);
    else if (!line.empty() && line[0] != '#')
      log.Data.push_back(line);
  }
  return log;
}

// A right-aligned number; nothing for a field of dashes or text.
std::optional<double> Number(const std::string& line, std::size_t begin, std::size_t width) {
  if (begin + width > line.size()) return std::nullopt;
  std::string field = line.substr(begin, width);
  field.erase(0, field.find_first_not_of(' '));
  double value = 0;
  const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (error != std::errc() || end != field.data() + field.size()) return std::nullopt;
  return value;
}

// Milliseconds of the day of a line's "YYMMDD HHNNSS.ZZZ".
int64_t TimeOfDayMs(const std::string& line) {
  const auto digits = [&](std::size_t at, std::size_t n) {
    int value = 0;
    std::from_chars(line.data() + at, line.data() + at + n, value);
    return static_cast<int64_t>(value);
  };
  return ((digits(7, 2) * 60 + digits(9, 2)) * 60 + digits(11, 2)) * 1000 + digits(14, 3);
}

// Every line lies `stepMs` after the one before it (none lost, none twice).
void ExpectSteps(const std::vector<std::string>& lines, int64_t stepMs) {
  constexpr int64_t kDay = 86400000;
  for (std::size_t k = 1; k < lines.size(); ++k)
    ASSERT_EQ(((TimeOfDayMs(lines[k]) - TimeOfDayMs(lines[k - 1])) % kDay + kDay) % kDay, stepMs)
        << lines[k - 1] << "\n" << lines[k];
}

// As the desktop program's Logging menu adds a definition.
int AddDefinition(TZepApp& app, std::unique_ptr<TLogDefinition> definition) {
  app.PrepareNewLogDefinition(*definition);
  return app.MultiSampler()->AddDefinition(std::move(definition));
}

// An application on simulated counters in a fresh configuration folder.
class ZepAppLog : public ::testing::Test {
 protected:
  void Start(int sessions, const std::string& sessionKeys) {
    WriteSettings(FFolder, sessions, sessionKeys);
    FApp = std::make_unique<TZepApp>(Options(FFolder), FFrontEnd);
    ASSERT_TRUE(FApp->Start());
  }

  TTempFolder FFolder;
  TLogFrontEnd FFrontEnd;
  std::unique_ptr<TZepApp> FApp;
};

// Two simulated counters, A every 100 ms and B every 10 ms, in one
// definition; the main part has channel 1, the other part channels 1 and 2,
// both phase and frequency.
class TwoCountersLog : public ::testing::Test {
 protected:
  // Columns: time, then main part (sync, phase 1, frequency 1), then the
  // other part (sync, phase 1, phase 2, frequency 1, frequency 2).
  static constexpr std::size_t kMainPhase = kTime + kSync;
  static constexpr std::size_t kMainFreq = kMainPhase + kPhase;
  static constexpr std::size_t kOtherPhase = kMainFreq + kFreq + kSync;
  static constexpr std::size_t kOtherFreq = kOtherPhase + 2 * kPhase;
  static constexpr std::size_t kWidth = kOtherFreq + 2 * kFreq;

  // Starts the application and waits until both counters measure at their intervals.
  void StartCounters() {
    WriteSettings(FFolder, 2, SimulatedSession(0, 6, 100) + SimulatedSession(1, 3, 10));
    ASSERT_TRUE(FApp.Start());
    ASSERT_TRUE(TickUntil(FApp, 5000ms, [&] { return Measuring(FApp, 0, 6) && Measuring(FApp, 1, 3); }));
    // Lines of two counters are paired on their time stamps, which needs the
    // counters' serial numbers: the display tick asks for them.
    ASSERT_TRUE(TickUntil(FApp, 2000ms, [&] {
      return FApp.Session(0)->SerialNumber() != TSessionItem::kUnknownSerial &&
             FApp.Session(1)->SerialNumber() != TSessionItem::kUnknownSerial;
    }));
  }

  // Logs with session `main` as the main part for three seconds; the data
  // lines of the file, each checked for its width and its values.
  std::vector<std::string> Log(int main) {
    auto definition = std::make_unique<TLogDefinition>(Part(main, false, {LogType::Phase, LogType::Freq}, {1}));
    definition->AddDefinition(Part(1 - main, false, {LogType::Phase, LogType::Freq}, {1, 2}));
    definition->SetFileName(FFolder.File("pair.txt"));
    const int slot = AddDefinition(FApp, std::move(definition));
    Tick(FApp, 3000ms);
    FApp.FlushLogs();
    const std::string name = FApp.MultiSampler()->CurrentFileName(slot);
    EXPECT_FALSE(ParseLog(ReadFile(name)).Data.empty()) << name;
    FApp.Shutdown();  // the file is complete now

    SCOPED_TRACE(name);
    const std::string text = ReadFile(name);
    const TLogText log = ParseLog(text);
    EXPECT_TRUE(log.CrLf);
    EXPECT_EQ(log.Title.size(), kWidth) << log.Title;
    EXPECT_TRUE(log.Other.empty()) << text;
    for (std::size_t k = 0; k < log.Data.size(); ++k) {
      const std::string& line = log.Data[k];
      EXPECT_EQ(line.size(), kWidth) << line;
      if (line.size() != kWidth) return {};
      for (std::size_t at : {kMainPhase, kOtherPhase, kOtherPhase + kPhase}) {
        EXPECT_TRUE(Number(line, at, kPhase)) << line;
        if (!Number(line, at, kPhase)) return {};
      }
      // Only the first line after a reset may lack a measured frequency.
      for (std::size_t at : {kMainFreq, kOtherFreq, kOtherFreq + kFreq}) {
        const std::optional<double> hz = Number(line, at, kFreq);
        if (!hz && k == 0) continue;
        EXPECT_TRUE(hz) << line;
        if (hz) {
          EXPECT_NEAR(*hz, kSimulatedHz, 1.0) << line;
        }
      }
    }
    return log.Data;
  }

  static double Phase(const std::string& line, std::size_t at) { return *Number(line, at, kPhase); }

  TTempFolder FFolder;
  TLogFrontEnd FFrontEnd;
  TZepApp FApp{Options(FFolder), FFrontEnd};
};

// A paces the file; B's report factor is 10.
TEST_F(TwoCountersLog, FasterCounterGivesTheRecordOfTheMainTime) {
  StartCounters();
  if (HasFatalFailure() || IsSkipped()) return;
  const std::vector<std::string> lines = Log(0);
  ASSERT_GE(lines.size(), 20u);
  ExpectSteps(lines, 100);
  // B's record of a line is the one of A's time: the phase difference of the
  // two counters stays the same (one B record off would move it by 1e5
  // cycles), and B advances by ten of its records per line.
  const double offset = Phase(lines[0], kOtherPhase) - Phase(lines[0], kMainPhase);
  for (std::size_t k = 1; k < lines.size(); ++k) {
    EXPECT_NEAR(Phase(lines[k], kOtherPhase) - Phase(lines[k], kMainPhase), offset, 1e3) << lines[k];
    EXPECT_NEAR(Phase(lines[k], kOtherPhase) - Phase(lines[k - 1], kOtherPhase), kSimulatedHz * 0.1, 1e3) << lines[k];
  }
}

// B paces the file; A's report factor is 0.1.
TEST_F(TwoCountersLog, SlowerCounterRepeatsItsNewestRecord) {
  StartCounters();
  if (HasFatalFailure() || IsSkipped()) return;
  const std::vector<std::string> lines = Log(1);
  ASSERT_GE(lines.size(), 200u);
  ExpectSteps(lines, 10);
  std::vector<std::size_t> runs{1};  // lines per record of A
  for (std::size_t k = 1; k < lines.size(); ++k) {
    EXPECT_NEAR(Phase(lines[k], kMainPhase) - Phase(lines[k - 1], kMainPhase), kSimulatedHz * 0.01, 1e3) << lines[k];
    const double step = Phase(lines[k], kOtherPhase) - Phase(lines[k - 1], kOtherPhase);
    if (step == 0) {
      ++runs.back();
      continue;
    }
    // No record of A is skipped.
    EXPECT_NEAR(step, kSimulatedHz * 0.1, 1e3) << lines[k];
    runs.push_back(1);
  }
  // Whether a line sees A's newest record depends on which counter's report
  // the acquisition thread reads first; inner runs are 10 +- 1 lines.
  ASSERT_GE(runs.size(), 3u);
  for (std::size_t r = 1; r + 1 < runs.size(); ++r) {
    EXPECT_GE(runs[r], 9u) << "run " << r;
    EXPECT_LE(runs[r], 11u) << "run " << r;
  }
}

// phase + qmt through the application: the counter's definition writes phase
// columns only, the definition on the QMT-only copy the interval columns.
TEST_F(ZepAppLog, TimeIntervalsGoToTheCopysFileOnly) {
  ASSERT_NO_FATAL_FAILURE(Start(1, SimulatedSession(0, 6, 100)));
  TZepApp& app = *FApp;
  ASSERT_TRUE(TickUntil(app, 5000ms, [&] { return Measuring(app, 0, 6); }));
  std::string error;
  const std::optional<uint32_t> types = ParseLogTypes("phase,qmt", error);
  ASSERT_TRUE(types) << error;
  ASSERT_EQ(app.AddLogDefinitions(*types), 2);
  ASSERT_EQ(app.SessionCopies().size(), 1u);
  Tick(app, 3500ms);
  app.FlushLogs();
  std::string counterName;
  std::string copyName;
  for (int slot = 0; slot < app.MultiSampler()->DefinitionSlotCount(); ++slot) {
    const std::unique_ptr<TLogDefinition> definition = app.MultiSampler()->GetDefinition(slot);
    ASSERT_TRUE(definition);
    ASSERT_EQ(definition->Count(), 1);
    (definition->GetDefinition(0)->FSourceCopy ? copyName : counterName) = app.MultiSampler()->CurrentFileName(slot);
  }
  ASSERT_FALSE(counterName.empty());
  ASSERT_FALSE(copyName.empty());
  app.Shutdown();

  const TLogText counter = ParseLog(ReadFile(counterName));
  const TLogText copy = ParseLog(ReadFile(copyName));
  ASSERT_GT(counter.Title.size(), kTime + kSync) << counterName;
  const int channels = static_cast<int>((counter.Title.size() - kTime - kSync) / kPhase);
  ASSERT_GE(channels, 1) << counter.Title;
  {
    SCOPED_TRACE(counterName);
    EXPECT_TRUE(counter.CrLf);
    EXPECT_EQ(counter.Title.size(), kTime + kSync + static_cast<std::size_t>(channels) * kPhase) << counter.Title;
    EXPECT_NE(counter.Types.find("Phase [Pd]"), std::string::npos) << counter.Types;
    EXPECT_EQ(counter.Types.find("QMT"), std::string::npos) << counter.Types;
    ASSERT_GE(counter.Data.size(), 20u);
    ExpectSteps(counter.Data, 100);
    for (std::size_t k = 0; k < counter.Data.size(); ++k) {
      const std::string& line = counter.Data[k];
      ASSERT_EQ(line.size(), counter.Title.size()) << line;
      for (int c = 0; c < channels; ++c) {
        const std::size_t at = kTime + kSync + static_cast<std::size_t>(c) * kPhase;
        ASSERT_TRUE(Number(line, at, kPhase)) << "line " << k << ": " << line << "\n" << ReadFile(counterName);
        // Each line is the next phase record: a line of intervals would break the step.
        if (k > 0) {
          EXPECT_NEAR(*Number(line, at, kPhase) - *Number(counter.Data[k - 1], at, kPhase), kSimulatedHz * 0.1, 1e3)
              << line;
        }
      }
    }
  }
  {
    SCOPED_TRACE(copyName);
    EXPECT_TRUE(copy.CrLf);
    EXPECT_NE(copy.Types.find("QMT"), std::string::npos) << copy.Types;
    const std::size_t width = kTime + static_cast<std::size_t>(channels) * kQMT;
    EXPECT_EQ(copy.Title.size(), width) << copy.Title;
    ASSERT_GE(copy.Data.size(), 2u);
    // The simulated counter sends its intervals once a second.
    ExpectSteps(copy.Data, 1000);
    for (const std::string& line : copy.Data) {
      ASSERT_EQ(line.size(), width) << line;
      for (int c = 0; c < channels; ++c) {
        const std::optional<double> ns = Number(line, kTime + static_cast<std::size_t>(c) * kQMT, kQMT);
        ASSERT_TRUE(ns) << line;
        EXPECT_GT(*ns, 0.0) << line;  // -9.99 marks a missing interval
      }
    }
  }
}

// A counter whose stored calibration is not used logs its intervals at once:
// nothing waits for the counter's calibration.
TEST_F(ZepAppLog, IntervalsAreLoggedWithoutTheDeviceCalibration) {
  ASSERT_NO_FATAL_FAILURE(Start(1, SimulatedSession(0, 6, 100) + "Session_0_UseDeviceCalibration=False\r\n"));
  TZepApp& app = *FApp;
  ASSERT_TRUE(TickUntil(app, 5000ms, [&] { return Measuring(app, 0, 6); }));
  ASSERT_EQ(app.AddLogDefinitions(1u << LogType::QMT), 1);
  Tick(app, 3500ms);
  app.FlushLogs();
  const std::string name = app.MultiSampler()->CurrentFileName(0);
  app.Shutdown();
  const TLogText log = ParseLog(ReadFile(name));
  ASSERT_GE(log.Data.size(), 2u) << name << "\n" << ReadFile(name);
  for (const std::string& line : log.Data) {
    const std::optional<double> ns = Number(line, kTime, kQMT);
    ASSERT_TRUE(ns) << line;
    EXPECT_GT(*ns, 0.0) << line;
  }
  EXPECT_NE(ReadFile(FFolder.File("ZEP_App.ini")).find("Session_0_UseDeviceCalibration=False"), std::string::npos);
}

// Simulated counters learn their serial numbers at the display tick (that
// pairs their logs). A nominal frequency the user set goes to the library's
// record of the counter; a session without one takes the record's.
TEST_F(ZepAppLog, SerialNumbersAreLearnedAndCarryNominalFrequencies) {
  ASSERT_NO_FATAL_FAILURE(Start(2, SimulatedSession(0, 6, 100) + SimulatedSession(1, 6, 100)));
  TZepApp& app = *FApp;
  const auto a = std::dynamic_pointer_cast<TVQSessionItem>(app.Session(0));
  const auto b = std::dynamic_pointer_cast<TVQSessionItem>(app.Session(1));
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(TickUntil(app, 3000ms, [&] { return a->SerialNumberOk() && b->SerialNumberOk(); }));
  ASSERT_NE(a->SerialNumber(), TSessionItem::kUnknownSerial);
  ASSERT_NE(b->SerialNumber(), TSessionItem::kUnknownSerial);

  a->PAV().SetNomFreq(2, 5e6);
  a->UpdateNominalFrequencies();
  const std::optional<TVQ_DeviceInfo> record = Multi_GetDeviceInfo(a->SerialNumber());
  ASSERT_TRUE(record);
  EXPECT_EQ(record->FNominalFreq[1], 5e6);
  EXPECT_EQ(record->FNominalFreq[0], 0.0);

  std::array<double, VQ_ChannelCount> known{};
  known[2] = 7e6;
  ASSERT_EQ(Multi_SetDeviceNominalFreq(b->SerialNumber(), known), MultiCode::Ok);
  b->UpdateNominalFrequencies();
  EXPECT_EQ(b->PAV().GetNomFreq(3), 7e6);
  app.Shutdown();
}

// Changing how lines are stamped ends the open file with "Time settings
// changed"; the next file says so and stamps its lines the new way.
TEST_F(ZepAppLog, TimeOptionsStartANewFileStampedTheNewWay) {
  ASSERT_NO_FATAL_FAILURE(Start(1, SimulatedSession(0, 6, 100)));
  TZepApp& app = *FApp;
  ASSERT_TRUE(TickUntil(app, 5000ms, [&] { return Measuring(app, 0, 6); }));
  auto definition = std::make_unique<TLogDefinition>(Part(0, false, {LogType::Phase, LogType::Freq}, {1}));
  definition->SetFileName(FFolder.File("run.txt"));
  const int slot = AddDefinition(app, std::move(definition));
  Tick(app, 1000ms);
  app.FlushLogs();
  const std::string first = app.MultiSampler()->CurrentFileName(slot);
  ASSERT_FALSE(first.empty());

  EXPECT_EQ(app.SetLogTimeOptions("YYYY-MM-DD HH:NN:SS.ZZZ", false, true), 8u | 16u | 32u);
  EXPECT_EQ(app.SetLogTimeOptions("YYYY-MM-DD HH:NN:SS.ZZZ", false, true), 0u);
  Tick(app, 1000ms);
  app.FlushLogs();
  const std::string second = app.MultiSampler()->CurrentFileName(slot);
  ASSERT_NE(second, first);
  app.Shutdown();

  const std::string text = ReadFile(second);
  EXPECT_NE(text.find("#Message:   Time settings changed\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("#Time:      PC time, time zone UTC\r\n"), std::string::npos) << text;
  const TLogText log = ParseLog(text);
  ASSERT_FALSE(log.Data.empty()) << text;
  for (const std::string& line : log.Data) {
    ASSERT_GE(line.size(), 23u);
    EXPECT_EQ(line[4], '-') << line;
    EXPECT_EQ(line[13], ':') << line;
  }
  TAppSettings saved;
  ASSERT_TRUE(saved.LoadFromFile(FFolder.File("ZEP_App.ini")));
  EXPECT_EQ(saved.GetValue("LogTimeFormat", std::string()), "YYYY-MM-DD HH:NN:SS.ZZZ");
  EXPECT_TRUE(saved.GetValue("LogTimeZoneSystem", false));
}

}  // namespace
