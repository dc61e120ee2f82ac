#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/core/App_DateTime.h"
#include "app/core/App_Settings.h"
#include "app/core/ZEP_ReportEval.h"
#include "app/core/ZEP_Sessions.h"
#include "app/core/ZEP_Sync.h"
#include "app/data/PAV_DataManagement.h"
#include "app/data/QMT_DataManagement.h"
#include "app/output/App_SamplerEvents.h"
#include "support/TimeZone.h"
#include "app/core/DateTimeParts.h"

namespace {

struct TMsg {
  TMsgType Kind;
  int Code;
  std::string Text;
};

struct TSync {
  int What;
  int Code;
  int AInt;
};

// Records what the evaluation asks of its session; the library answers and
// the clocks are set by the test.
class TFakeHost : public TReportEvalHost {
 public:
  bool SendCommand(const std::string& command) override {
    Commands.push_back(command);
    return true;
  }
  void PostMessage(TMsgType kind, int code, int, const std::string& text) override {
    Messages.push_back({kind, code, text});
  }
  void PostSync(int what, int code, int aInt, const std::string&) override { Syncs.push_back({what, code, aInt}); }
  void Log(const std::string& text) override { Logs.push_back(text); }
  void LogErr(const std::string& text) override { Logs.push_back("ERR " + text); }
  bool LogWanted() const override { return true; }
  bool ReportDebug() const override { return false; }
  void SamplerEvent(int event, const std::string&) override { SamplerEvents.push_back(event); }
  void SamplerTimeStamp(int64_t time100ms) override { TimeStamps.push_back(time100ms); }
  int DeviceStartState() override { return 1; }
  uint16_t HardFeature() override { return Feature; }
  int FirmwareVersion() override { return Firmware; }
  int ReadPVHData() override {
    ++PVHReads;
    return PVHResult;
  }
  void SetIntervalMs(int ms) override { IntervalMs = ms; }
  void FeatureBitsChanged(uint16_t, bool, bool) override {}
  TUtcMs NowUtcMs() override { return NowUtc; }
  int64_t MonotonicMs() override { return Monotonic; }

  bool Logged(const std::string& part) const {
    return std::any_of(Logs.begin(), Logs.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
  }
  int CountMessages(TMsgType kind, int code) const {
    return static_cast<int>(
        std::count_if(Messages.begin(), Messages.end(), [&](const TMsg& m) { return m.Kind == kind && m.Code == code; }));
  }
  const TSync* FindSync(int what) const {
    for (const TSync& s : Syncs)
      if (s.What == what) return &s;
    return nullptr;
  }

  std::vector<std::string> Commands;
  std::vector<TMsg> Messages;
  std::vector<TSync> Syncs;
  std::vector<std::string> Logs;
  std::vector<int> SamplerEvents;
  std::vector<int64_t> TimeStamps;
  uint16_t Feature = 3;
  int Firmware = 100;
  int PVHReads = 0;
  int PVHResult = MultiCode::Ok;
  int IntervalMs = 0;
  TUtcMs NowUtc = 1717243200000;  // 2024-06-01 12:00:00 UTC
  int64_t Monotonic = 5000;
};

// An evaluation with a fake session and real stores.
struct TBench {
  TBench() {
    pav.SetLogDecimalSeparator('.');
    qmt.SetLogDecimalSeparator('.');
    TReportEvalOptions options = eval.Options();
    options.DecSep = '.';
    options.LogTimeZoneSystem = true;
    eval.SetOptions(options);
  }
  void Options(bool sourcePAV, bool zoneSystem, const std::string& format = "YYMMDD HHNNSS.ZZZ") {
    TReportEvalOptions options = eval.Options();
    options.LogTimeSourcePAV = sourcePAV;
    options.LogTimeZoneSystem = zoneSystem;
    options.LogTimeFormat = format;
    eval.SetOptions(options);
  }
  bool Feed(const std::string& line, int64_t deviceMs = -1) { return eval.ReportAuswerten(line, deviceMs); }

  TFakeHost host;
  TPAV_DataManagement pav{-1, 0, false};
  TQMT_DataManagement qmt{-1, 0, false};
  TVQReportEvaluation eval{host, pav, qmt};
};

// Phase lines of a counter whose channels run at 10 MHz.
class TPhaseLines {
 public:
  explicit TPhaseLines(int channels = 2) : FPhases(static_cast<std::size_t>(channels), 0.0) {}
  std::string Next(uint16_t header) {
    const double gateMs = TVQHeader(header).FGateTime;
    std::string line = ReportCodeText(header);
    for (double& phase : FPhases) {
      phase += 1.0E7 * gateMs / 1000.0;
      std::string value = FloatToStrFixed(phase, 11);
      value.insert(0, static_cast<std::size_t>(std::max(0, 26 - static_cast<int>(value.size()))), ' ');
      line += ";" + value;
    }
    return line;
  }

 private:
  std::vector<double> FPhases;
};


std::string PVHLine(const std::string& first = "0;0;0") {
  std::string line = "7902; " + first;
  for (int k = 2; k <= 24; ++k) line += "/0;0;0";
  return line;
}

// ---- waits --------------------------------------------------------------------------------

TEST(ReportEval, DataWhileTheBufferClearIsAwaitedOnlyChangesTheHeader) {
  TBench b;
  TPhaseLines lines;
  b.eval.DeviceOpened(true, false, false);
  EXPECT_FALSE(b.pav.AddLogStrings());
  b.Feed(lines.Next(0x0900), 1000);
  EXPECT_TRUE(b.host.Logged(".ReportAuswerten: ignore(1000) Data=0900;"));
  EXPECT_EQ(b.eval.State().OldHeader, 0x0900u);
  EXPECT_EQ(b.eval.State().IntervalMs, 1000);
  EXPECT_EQ(b.pav.ChannelCount(), 0);  // no values taken

  b.Feed("7022; Buffer cleared", 2000);
  EXPECT_FALSE(b.eval.State().WaitBufferCleared);
  EXPECT_TRUE(b.pav.AddLogStrings());
  b.Feed(lines.Next(0x0900), 3000);
  EXPECT_EQ(b.pav.ChannelCount(), 2);
}

TEST(ReportEval, ATimeStampHeldWhileWaitingComesWithTheFirstEvaluatedData) {
  TBench b;
  TPhaseLines lines;
  b.eval.DeviceOpened(true, false, false);
  b.Feed("7015; 42", 42000);
  b.Feed("7015; 4x", 43000);  // not a number: dropped, the held one stays
  EXPECT_TRUE(b.host.TimeStamps.empty());
  b.Feed("7022; Buffer cleared", 43000);
  b.Feed(lines.Next(0x0900), 43000);
  ASSERT_EQ(b.host.TimeStamps.size(), 1u);
  EXPECT_EQ(b.host.TimeStamps[0], 420);
  EXPECT_EQ(b.eval.State().BufNo7015, "42");
  EXPECT_TRUE(b.host.Logged("repeat ignored time stamp"));
  b.Feed(lines.Next(0x0900), 44000);
  EXPECT_EQ(b.host.TimeStamps.size(), 1u);  // delivered once
}

TEST(ReportEval, BadLinesNeverLeaveAWaitPending) {
  TBench b;
  TPhaseLines lines;
  b.eval.DeviceOpened(true, true, false);
  b.Feed("7022", 1000);                     // no payload at all
  b.Feed("7902; 1;2;x/garbage", 1000);       // a table that does not parse
  EXPECT_FALSE(b.eval.State().WaitBufferCleared);
  EXPECT_FALSE(b.eval.State().WaitPVHData);
  EXPECT_TRUE(b.host.Logged(".AddDevicePVHData: failed"));
  EXPECT_TRUE(b.pav.AddLogStrings());
  b.Feed(lines.Next(0x0900), 2000);
  EXPECT_EQ(b.pav.ChannelCount(), 2);
}

TEST(ReportEval, APVHTableThatIsNotAnsweredIsAskedAgainTwiceThenGivenUp) {
  TBench b;
  b.eval.DeviceOpened(true, true, false);
  b.Feed("7001VERSION PAV Simulator", 100);
  EXPECT_EQ(b.host.PVHReads, 1);
  EXPECT_NE(std::find(b.host.Commands.begin(), b.host.Commands.end(), std::string(1, '\x02')), b.host.Commands.end());
  for (int expectedReads : {1, 2, 3}) {
    b.Feed("7015; 1", 1000);  // ignored: the watchdog looks at the clock
    EXPECT_EQ(b.host.PVHReads, expectedReads);
    b.host.Monotonic += 1001;
  }
  EXPECT_TRUE(b.eval.State().WaitPVHData);
  b.Feed("7015; 2", 2000);
  EXPECT_FALSE(b.eval.State().WaitPVHData);
  EXPECT_EQ(b.host.CountMessages(mtError, 102), 1);
  EXPECT_EQ(b.host.PVHReads, 3);
}

// A counter whose table is already known (or that has no phase channels) is
// not asked for it: waiting for an answer would hold the data back for good.
TEST(ReportEval, NoPVHRequestEndsThePVHWait) {
  struct Case {
    const char* name;
    bool tableKnown;
    uint16_t feature;
    int firmware;
    int readResult;
  } cases[] = {
      {"table known", true, 1, 100, MultiCode::Ok},
      {"QMT only", false, 2, 100, MultiCode::Ok},
      {"old firmware", false, 1, 60, MultiCode::Ok},
      {"read refused", false, 1, 100, MultiCode::NotSupported},
  };
  for (const Case& c : cases) {
    TBench b;
    if (c.tableKnown) b.Feed(PVHLine(), 10);
    b.host.Feature = c.feature;
    b.host.Firmware = c.firmware;
    b.host.PVHResult = c.readResult;
    b.eval.DeviceOpened(false, true, false);
    b.Feed("7001VERSION PAV 1.0", 100);
    EXPECT_FALSE(b.eval.State().WaitPVHData) << c.name;
  }
}

// ---- steering -----------------------------------------------------------------------------

TEST(ReportEval, SteeringWalksIntervalModeScramblerOneCommandAtATime) {
  TBench b;
  TPhaseLines lines;
  b.eval.SetExpectedHeader(0x1310);  // mode 1, 10 ms, scrambler Auto
  EXPECT_FALSE(b.pav.AddLogStrings());
  b.Feed(lines.Next(0x0900));
  EXPECT_EQ(b.host.Commands, std::vector<std::string>{"#"});
  b.Feed(lines.Next(0x0900));
  b.Feed(lines.Next(0x0900));
  EXPECT_EQ(b.host.Commands.size(), 1u);  // the counter may still be switching
  b.Feed(lines.Next(0x0900));             // three gate times without the new header
  EXPECT_EQ(b.host.Commands, (std::vector<std::string>{"#", "#"}));
  b.Feed(lines.Next(0x0300));
  b.Feed(lines.Next(0x1300));
  EXPECT_EQ(b.host.Commands, (std::vector<std::string>{"#", "#", "A", "^"}));
  b.Feed(lines.Next(0x1310));
  EXPECT_FALSE(b.eval.State().WaitExpectedHeader);
  EXPECT_TRUE(b.host.Logged(".ReportAuswerten: ResetWaitExpectedHeader"));
  EXPECT_TRUE(b.pav.AddLogStrings());
  EXPECT_EQ(b.host.Commands.size(), 4u);
}

TEST(ReportEval, SteeringAtOneMillisecondSendsOneCommandPerSecondAtMost) {
  TBench b;
  b.eval.SetExpectedHeader(0x0300);
  for (int i = 0; i < 1000; ++i) b.Feed("0000;                          1");
  EXPECT_EQ(b.host.Commands.size(), 1u);
  b.Feed("0000;                          1");
  EXPECT_EQ(b.host.Commands.size(), 2u);
}

// A command the caller already sent is not sent again at the next line; a
// counter that never takes it ends the wait after a few repeats with a
// warning, so log lines are not held for ever.
TEST(ReportEval, SteeringGivesUpOnACounterThatKeepsItsSetting) {
  TBench b;
  TPhaseLines lines;
  b.eval.SetExpectedHeader(0x2900, "B");  // frequency mode, already asked for
  b.Feed(lines.Next(0x0900));
  EXPECT_TRUE(b.host.Commands.empty());
  for (int i = 0; i < 20 && b.eval.State().WaitExpectedHeader; ++i) b.Feed(lines.Next(0x0900));
  EXPECT_FALSE(b.eval.State().WaitExpectedHeader);
  EXPECT_EQ(b.host.Commands, std::vector<std::string>(TVQReportEvaluation::kSteerMaxRepeats, "B"));
  EXPECT_EQ(b.host.CountMessages(mtWarning, 76), 1);
  EXPECT_TRUE(b.pav.AddLogStrings());
}

TEST(ReportEval, SteeringWaitsForTheBufferClearAndThePVHTable) {
  TBench b;
  TPhaseLines lines;
  b.eval.DeviceOpened(true, true, false);
  b.eval.SetExpectedHeader(0x0300);
  b.Feed(lines.Next(0x0900));
  EXPECT_TRUE(b.host.Commands.empty());
  b.eval.ResetWaitBufferCleared();
  b.eval.ResetWaitPVHData();
  b.Feed(lines.Next(0x0900));
  EXPECT_EQ(b.host.Commands, std::vector<std::string>{"#"});
}

// ---- time base ------------------------------------------------------------------------------

TEST(ReportEval, TheTimeOriginIsRoundedToTheNearestSecond) {
  struct Case {
    int nowMs;
  } cases[] = {{100}, {600}};
  for (const Case& c : cases) {
    TBench b;
    b.host.NowUtc = Utc(2024, 6, 1, 12, 0, 0, c.nowMs);
    b.Feed("7015; 1234", 1234567);
    const TReportEvalState s = b.eval.State();
    ASSERT_TRUE(s.PAVDateTimeStart) << c.nowMs;
    EXPECT_EQ(*s.PAVDateTimeStart, Utc(2024, 6, 1, 11, 39, 26, 0)) << c.nowMs;
    EXPECT_EQ(*s.PAVDateTime, Utc(2024, 6, 1, 12, 0, 0, 567)) << c.nowMs;
  }
}

// Over a daylight-saving change the counter's times stay on the wall clock:
// the origin is an instant, local time is only how it is shown.
TEST(ReportEval, CounterTimeShowsTheRightLocalTimeAfterADaylightSavingChange) {
  TZoneGuard zone("Europe/Berlin");
  TBench b;
  TPhaseLines lines;
  b.Options(true, false, "yyyy-mm-dd hh:nn:ss");
  b.host.NowUtc = Utc(2024, 3, 30, 11, 0, 0, 0);  // 12:00 CET
  b.Feed(lines.Next(0x0900), 0);
  EXPECT_EQ(b.eval.State().TimeString, "2024-03-30 12:00:00");
  b.Feed(lines.Next(0x0900), 86400000);  // one day later, now CEST
  EXPECT_EQ(b.eval.State().TimeString, "2024-03-31 13:00:00");
  b.Options(true, true, "yyyy-mm-dd hh:nn:ss");
  b.Feed(lines.Next(0x0900), 86401000);
  EXPECT_EQ(b.eval.State().TimeString, "2024-03-31 11:00:01");
}

TEST(ReportEval, TheStoredOriginIsCheckedOnce) {
  struct Case {
    TUtcMs stored;
    bool ok;
  } cases[] = {{Utc(2024, 6, 1, 11, 39, 26, 0), true}, {Utc(2024, 6, 1, 11, 39, 27, 0), false}};
  for (const Case& c : cases) {
    TBench b;
    b.Options(true, true);
    b.eval.SetStoredTimeOrigin(c.stored);
    b.host.NowUtc = Utc(2024, 6, 1, 12, 0, 0, 100);
    b.Feed("7015; 1234", 1234567);
    b.Feed("7015; 1235", 1235567);
    EXPECT_EQ(b.host.Logged(".PAVtimePlausibilityCheck: ok"), c.ok);
    EXPECT_EQ(b.host.CountMessages(mtWarning, 45), c.ok ? 0 : 1);
  }
}

TEST(ReportEval, AReSyncForgetsTheTimeBase) {
  TBench b;
  b.Options(true, true);
  b.eval.DeviceOpened(false, false, true);
  b.Feed("7F51: Measurement re-synchronized", 5000);
  const TReportEvalState s = b.eval.State();
  EXPECT_FALSE(s.Wait7F51);
  EXPECT_FALSE(s.PAVDateTimeStart);
  EXPECT_EQ(s.DeviceMs, -1);
  EXPECT_EQ(b.host.CountMessages(mtWarning, 45), 1);
  EXPECT_EQ(b.host.CountMessages(mtInfo, 0x7F51), 1);
  EXPECT_TRUE(b.host.FindSync(SyncWhat::ReSync));
}

// ---- errors of the counter ------------------------------------------------------------------------

TEST(ReportEval, ARunOfOverflowLinesCountsOneLoss) {
  TBench b;
  TPhaseLines lines;
  b.Feed(lines.Next(0x0900), 1000);
  for (int i = 0; i < 3; ++i) {
    std::string line = lines.Next(0x0900);
    line[0] = '8';
    b.Feed(line, 2000 + 1000 * i);
  }
  EXPECT_EQ(b.host.CountMessages(mtError, 31), 1);
  EXPECT_EQ(b.pav.Lost(), 1u);
  EXPECT_EQ(b.eval.State().OverflowCounter, 3);
  b.Feed(lines.Next(0x0900), 6000);
  EXPECT_EQ(b.eval.State().OverflowCounter, 0);
  EXPECT_TRUE(b.host.Logged("Overflow run ended, lines=3"));
}

// The PLL error ends after more than four seconds of good data, whatever the
// gate time.
TEST(ReportEval, ThePLLErrorClearsAfterFourSecondsOfGoodData) {
  struct Case {
    uint16_t header;
    int linesToClear;
  } cases[] = {{0x0600, 41}, {0x0A00, 3}, {0x0C00, 1}, {0x0B00, 1}};
  for (const Case& c : cases) {
    TBench b;
    TPhaseLines lines;
    const int gate = static_cast<int>(TVQHeader(c.header).FGateTime);
    int64_t ms = 0;
    for (int i = 0; i < 5; ++i) b.Feed(lines.Next(c.header), ms += gate);
    EXPECT_EQ(b.eval.State().PLLokCount, 0);  // nothing counted without an error
    b.Feed("7FFF; PLL unlocked", ms);
    ASSERT_TRUE(b.eval.State().PLLError);
    int count = 0;
    while (b.eval.State().PLLError && count < 100) {
      b.Feed(lines.Next(c.header), ms += gate);
      ++count;
    }
    EXPECT_EQ(count, c.linesToClear) << "gate " << gate;
    EXPECT_FALSE(b.pav.PLLError());
  }
}

TEST(ReportEval, DispatchOfEventReports) {
  struct Case {
    const char* line;
    TMsgType kind;
    int code;  // -1: no message
    int samplerEvent;
    int sync;
  } cases[] = {
      {"7021; 3", mtInfo, 0x7021, -1, -1},
      {"7F21; Read error on USB. USB frames lost", mtError, 31, -1, -1},
      {"7F22; 9", mtWarning, 0x7F22, -1, -1},
      {"7F23; Buffer cleared after buffer overflow", mtError, 31, -1, -1},
      {"7F40: hello", mtInfo, 0x7F40, -1, -1},
      {"7F51: Measurement re-synchronized", mtInfo, 0x7F51, -1, SyncWhat::ReSync},
      {"7F90: Sync Error with QMT data", mtError, 0x7F90, 9, -1},
      {"7FF8: reference ok", mtInfo, 0x7FF8, -1, -1},
      {"7FF9: reference invalid", mtError, 0x7FF9, 13, -1},
      {"7FFF: PLL unlocked", mtError, 0x7FFF, 9, -1},
      {"7FF1: PAV: T2 underflow", mtError, 0x7FF11, -1, -1},
      {"7FF1: PAV: T2 d4>=2", mtError, 0x7FF12, -1, -1},
      {"7FF1: other", mtError, 0x7FF10, -1, -1},
      {"7FF2: Input Data Overrun Error", mtError, 0x7FF21, -1, -1},
      {"7FF2: Raw Data Reception Error", mtError, 0x7FF22, -1, -1},
      {"7FF2: Scrambler in use!", mtError, 0x7FF23, -1, -1},
      {"7FF3: other counter", mtError, -1, -1, -1},  // only for the newer counters
      {"7055; 1;2", mtInfo, 0x7055, -1, -1},
      {"7000;", mtInfo, -1, -1, -1},
  };
  for (const Case& c : cases) {
    TBench b;
    EXPECT_TRUE(b.Feed(c.line, 100)) << c.line;
    if (c.code < 0) {
      EXPECT_TRUE(b.host.Messages.empty()) << c.line;
    } else {
      ASSERT_EQ(b.host.Messages.size(), 1u) << c.line;
      EXPECT_EQ(b.host.Messages[0].Kind, c.kind) << c.line;
      EXPECT_EQ(b.host.Messages[0].Code, c.code) << c.line;
    }
    if (c.samplerEvent >= 0)
      EXPECT_EQ(b.host.SamplerEvents, std::vector<int>{c.samplerEvent}) << c.line;
    else
      EXPECT_TRUE(b.host.SamplerEvents.empty()) << c.line;
    EXPECT_EQ(b.host.FindSync(c.sync) != nullptr, c.sync >= 0) << c.line;
  }
}

TEST(ReportEval, ReferenceClockStates) {
  TBench b;
  b.Feed("7FFF: PLL unlocked", 100);
  EXPECT_TRUE(b.pav.PLLError());
  b.Feed("7FF9: reference invalid", 200);
  EXPECT_TRUE(b.eval.State().ReferenceClockError);
  EXPECT_FALSE(b.eval.State().PLLError);
  b.Feed("7015; 7", 7000);  // seconds are not trusted without the reference
  EXPECT_TRUE(b.host.TimeStamps.empty());
  b.eval.ClearReferenceClockError();  // a reconnection
  b.Feed("7015; 8", 8000);
  EXPECT_EQ(b.host.TimeStamps, std::vector<int64_t>{80});
  b.Feed("7FF9: reference invalid", 9000);
  b.Feed("7FF8: reference ok", 9100);
  EXPECT_FALSE(b.eval.State().ReferenceClockError);
}

TEST(ReportEval, VersionReportsTellTheCounterKind) {
  TBench b;
  b.host.Firmware = 114;
  b.eval.DeviceOpened(true, false, false);
  b.Feed("7001VERSION PAV2 114", 100);
  const TReportEvalState s = b.eval.State();
  EXPECT_TRUE(s.IsESP);
  EXPECT_TRUE(s.HasPPI);
  EXPECT_FALSE(s.WaitBufferCleared);  // the newer counters send no 7022
  EXPECT_EQ(s.VersionString, "VERSION PAV2 114");
  ASSERT_TRUE(b.host.FindSync(SyncWhat::Peer));
  EXPECT_EQ(b.host.FindSync(SyncWhat::Peer)->Code, 1);
  EXPECT_EQ(b.host.CountMessages(mtInfo, 0x7001), 1);

  TBench q;
  q.host.Feature = 2;
  q.Feed("7001VERSION PAV 1.0", 100);
  EXPECT_TRUE(q.eval.State().QMTonly);
  EXPECT_TRUE(q.host.FindSync(SyncWhat::QMTOnly));
  q.Feed("7019; $0001", 200);
  EXPECT_TRUE(q.eval.State().PAVonly);
  EXPECT_TRUE(q.host.FindSync(SyncWhat::PAVOnly));
  q.Feed("7019; $0003", 300);  // both bits: no change
  EXPECT_TRUE(q.eval.State().PAVonly);
}

// The calibration read goes out as the counter kind understands it.
TEST(ReportEval, TheCalibrationReadFitsTheCounter) {
  const struct {
    const char* Version;
    uint16_t Feature;
    int Firmware;
    std::string Command;
    const char* Logged;
  } cases[] = {
      {"7001VERSION PAV2 114", 3, 114, std::string("\x85" "Eb\x00", 4), ".ReadDeviceCalibration: send cmd 85456200"},
      {"7001VERSION PAV 1.0", 3, 62, std::string(1, '\x02'), ".ReadDeviceCalibration: send cmd 02"},
      {"7001VERSION Simulator: 5.0", 3, 5, std::string(1, '\x02'), ".ReadDeviceCalibration: send cmd 02"},
  };
  for (const auto& c : cases) {
    TBench b;
    b.host.Feature = c.Feature;
    b.host.Firmware = c.Firmware;
    b.Feed(c.Version, 100);
    EXPECT_EQ(std::count(b.host.Commands.begin(), b.host.Commands.end(), c.Command), 1) << c.Version;
    EXPECT_TRUE(b.host.Logged(c.Logged)) << c.Version;
  }
  TBench old;  // older firmware without a stored calibration
  old.host.Firmware = 61;
  old.Feed("7001VERSION PAV 1.0", 100);
  EXPECT_TRUE(old.host.Commands.empty());
}

// The time-interval logs wait for the counter's calibration only while it is
// used; its first arrival is no change, later ones are announced.
TEST(ReportEval, TheCalibrationChoiceDecidesWhenIntervalsAreLogged) {
  const auto calibration = [](double channel2) {
    TCalibrationData data;
    data.Values[1] = channel2;
    return data;
  };
  {
    TBench b;
    b.eval.SetUseDeviceCalibration(false);
    EXPECT_TRUE(b.qmt.AddLogStrings()) << "nothing to wait for";
    b.Feed("7901; 0.000; 5.000;", 100);
    EXPECT_EQ(b.qmt.CalibrationValues().Values, calibration(0).Values) << "the counter's calibration is not used";
  }
  {
    TBench b;
    b.eval.SetUseDeviceCalibration(true);
    EXPECT_FALSE(b.qmt.AddLogStrings());
    b.Feed("7901; 0.000; 0.000;", 100);  // no change from the zeros at start
    EXPECT_TRUE(b.qmt.AddLogStrings());
    EXPECT_EQ(b.host.CountMessages(mtInfo, TVQReportEvaluation::kInfoCalibrationChanged), 0);

    b.Feed("7901; 0.000; 5.000;", 200);
    EXPECT_EQ(b.qmt.CalibrationValues().Values, calibration(5).Values);
    EXPECT_TRUE(b.host.Logged(".SetCalibrationData: changed"));
    EXPECT_TRUE(b.host.FindSync(SyncWhat::QMTCalibration));
    EXPECT_EQ(std::count(b.host.SamplerEvents.begin(), b.host.SamplerEvents.end(), SamplerEvent::QMTCalibration), 1);
    EXPECT_EQ(b.host.CountMessages(mtInfo, TVQReportEvaluation::kInfoCalibrationChanged), 1);

    b.Feed("7901; 0.000; 5.000;", 300);  // the same again: nothing new
    EXPECT_EQ(b.host.CountMessages(mtInfo, TVQReportEvaluation::kInfoCalibrationChanged), 1);

    b.eval.SetUseDeviceCalibration(false);
    EXPECT_EQ(b.qmt.CalibrationValues().Values, calibration(0).Values);
    EXPECT_EQ(b.host.CountMessages(mtInfo, TVQReportEvaluation::kInfoCalibrationChanged), 2);
    b.eval.SetUseDeviceCalibration(true);  // known: in use at once
    EXPECT_EQ(b.qmt.CalibrationValues().Values, calibration(5).Values);
    EXPECT_TRUE(b.qmt.AddLogStrings());
  }
}

// ---- data header --------------------------------------------------------------------------------------

TEST(ReportEval, HeaderChangesAreHandedOverAndAnnounced) {
  TBench b;
  TPhaseLines lines;
  b.Feed(lines.Next(0x0900), 1000);
  const TSync* rate = b.host.FindSync(SyncWhat::RateIndex);
  ASSERT_TRUE(rate);
  EXPECT_EQ(rate->Code, 9);
  EXPECT_EQ(rate->AInt, 1000);
  EXPECT_TRUE(b.host.FindSync(SyncWhat::Mode));
  EXPECT_TRUE(b.host.FindSync(SyncWhat::Scrambler));
  EXPECT_TRUE(b.host.FindSync(SyncWhat::PPI));
  EXPECT_TRUE(b.host.Messages.empty());  // the first header is no change
  EXPECT_EQ(b.host.IntervalMs, 1000);

  b.host.Syncs.clear();
  b.eval.SetPhaDiffReset(true);
  b.Feed("7020; $0A10", 2000);
  EXPECT_EQ(b.eval.State().IntervalMs, 2000);
  EXPECT_EQ(b.eval.State().Scrambler, 1);
  auto infoStarting = [&](const std::string& prefix) {
    return std::any_of(b.host.Messages.begin(), b.host.Messages.end(),
                       [&](const TMsg& m) { return m.Kind == mtInfo && m.Text.rfind(prefix, 0) == 0; });
  };
  EXPECT_TRUE(infoStarting("Interval setting changed to "));
  EXPECT_TRUE(infoStarting("Scrambler setting changed to "));
  EXPECT_FALSE(infoStarting("Mode setting changed to "));
  EXPECT_TRUE(infoStarting("Phase difference resetted"));
  EXPECT_TRUE(b.host.FindSync(SyncWhat::PhaseDiffReset));
  EXPECT_EQ(b.host.FindSync(SyncWhat::RateIndex)->AInt, 2000);

  b.Feed("7020; $1A10", 3000);
  EXPECT_TRUE(infoStarting("Mode setting changed to "));
  b.Feed("7020; $0F00", 4000);
  EXPECT_EQ(b.host.CountMessages(mtError, 12), 1);  // invalid interval
}

// ---- malformed input -----------------------------------------------------------------------------------

TEST(ReportEval, MalformedLinesAreDroppedAndTheNextLineIsEvaluated) {
  const char* bad[] = {
      "",      "7",          "70",          "701",         "XYZW; 1",         "70G5; 1",       "7015;",
      "7015; abc", "7015; 12 13", "7016; 1.5", "7020; $zz", "7020; 123456", "7020; -1", "7019; feature",
      "\x01\x02\x03\x04\x05",
  };
  for (const char* line : bad) {
    TBench b;
    bool result = true;
    EXPECT_NO_THROW(result = b.Feed(line, 1000)) << line;
    EXPECT_FALSE(result) << line;
    EXPECT_TRUE(b.host.Logged(".ReportAuswerten failed")) << line;
    EXPECT_TRUE(b.Feed("7015; 5", 5000)) << line;
    EXPECT_EQ(b.host.TimeStamps, std::vector<int64_t>{50}) << line;
  }
}

// Every cut and every damaged byte of real lines: the evaluation never
// throws and the next good line still counts.
TEST(ReportEval, TruncatedAndGarbledLinesNeverBreakTheEvaluation) {
  TPhaseLines phases(3);
  const std::string good[] = {
      phases.Next(0x0900), "7015; 1234", "7016; 12345", "7020; $0A00", "7001VERSION PAV Simulator",
      PVHLine("10000000;9000000;1"), "7901; 0;1.5;2.5", "7900;          1.00;          2.00", "7100; 1;FF",
      "7EFF12345678", "7F51: Measurement re-synchronized", "7FF9: x", "7FF8: y",
  };
  const char noise[] = {'\0', ';', '$', 'x', '\xff', ' ', '9'};
  int64_t ms = 0;
  TBench b;
  b.eval.DeviceOpened(true, true, false);
  for (const std::string& line : good) {
    std::vector<std::string> variants;
    for (std::size_t cut = 0; cut < line.size(); ++cut) variants.push_back(line.substr(0, cut));
    for (std::size_t at = 0; at < line.size(); at += 3)
      for (char c : noise) {
        std::string damaged = line;
        damaged[at] = c;
        variants.push_back(damaged);
      }
    for (const std::string& variant : variants) EXPECT_NO_THROW(b.Feed(variant, ms += 100)) << variant;
  }
  b.eval.ResetWaitBufferCleared();
  b.eval.ResetWaitPVHData();
  b.eval.ResetWait7F51();
  b.host.TimeStamps.clear();
  b.Feed("7FF8: ok", ms += 100);
  b.Feed("7015; 99", ms += 100);
  EXPECT_EQ(b.host.TimeStamps, std::vector<int64_t>{990});
}

// ---- a session on the simulated counter ------------------------------------------------------------

TEST(ReportEvalSession, ASimulatedCounterFillsTheCounterStore) {
  std::vector<std::string> errors;
  auto session = std::make_shared<TVQSessionItem>(
      -1, 0, nullptr, [&](int, int code, TMsgType kind, const std::string& text, int) {
        if (kind == mtError) errors.push_back(std::to_string(code) + " " + text);
      });
  std::vector<TMainSyncData> syncs;
  std::mutex syncLock;
  session->SetSyncSink([&](TMainSyncData item) {
    std::lock_guard lock(syncLock);
    syncs.push_back(std::move(item));
  });
  session->SetOpenParams("DemoData", ctDemo, 0xFF, "");
  session->SetDemoSetup(4, 0, 6);  // four channels, 100 ms
  ASSERT_EQ(session->OpenDevice(), "");
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
  while (std::chrono::steady_clock::now() < end)
    if (!session->GetReport()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  session->CloseDevice(true);

  EXPECT_TRUE(errors.empty()) << errors.front();
  const TReportEvalState state = session->EvalState();
  EXPECT_EQ(state.IntervalMs, 100);
  EXPECT_TRUE(state.Demo);
  EXPECT_TRUE(state.PAVDateTimeStart);
  EXPECT_TRUE(session->PAV().AddLogStrings());
  ASSERT_EQ(session->PAV().ChannelCount(), 4);
  // The store reports the deviation from the nominal frequency it took.
  const std::vector<double> deviations = session->PAV().GetLastFrequDiff(false);
  ASSERT_GE(deviations.size(), 4u);
  for (int k = 1; k <= 4; ++k) {
    const double frequency = session->PAV().GetNomFreq(k) + deviations[static_cast<std::size_t>(k - 1)];
    EXPECT_NEAR(frequency, 1.0E7, 1.0) << "channel " << k;
    EXPECT_NEAR(deviations[static_cast<std::size_t>(k - 1)], 0.0, 1.0) << "channel " << k;
  }
  std::lock_guard lock(syncLock);
  EXPECT_TRUE(std::any_of(syncs.begin(), syncs.end(), [](const TMainSyncData& s) {
    return s.What == SyncWhat::RateIndex && s.Code == 6 && s.aInt == 100;
  }));
}

// ---- the session's QMT calibration -----------------------------------------------------------------

// A value fits when it lies within a second and, taken modulo one second
// into -0.5..0.5 s, scaled by the library's factor fits 32 bits.
TEST(ReportEvalSession, CalibrationRange) {
  TVQSessionItem session(-1, 0, nullptr, nullptr);
  ASSERT_EQ(Multi_SetCalibFactorFloatToInt(session.MultiId(), 1000), MultiCode::Ok);
  const struct {
    double Value;
    bool Fits;
  } cases[] = {
      {0.0, true},           {2147483.647, true},  {2147483.648, false}, {-2147483.648, true},
      {-2147483.649, false}, {1.0E9, false},       {-1.0E9, false},      {999999999.0, true},  // taken as -1 ns
      {-500000001.0, false},  // taken as 499999999 ns
      {std::nan(""), false},
  };
  for (const auto& c : cases) EXPECT_EQ(session.CheckCalibrationRange(c.Value), c.Fits) << c.Value;
}

// The library cannot write the counter's memory yet: the user is told so,
// not that the firmware is too old, and the choice stays as it was.
TEST(ReportEvalSession, WritingTheCalibrationIsNotAvailableYet) {
  std::vector<std::string> errors;
  TVQSessionItem session(-1, 0, nullptr, [&](int, int code, TMsgType kind, const std::string& text, int) {
    if (kind == mtError) errors.push_back(std::to_string(code) + " " + text);
  });
  session.SetUseDeviceCalibration(false);
  session.SetOpenParams("DemoData", ctDemo, 0xFF, "");
  ASSERT_EQ(session.OpenDevice(), "");
  TCalibrationData data;
  data.Values[1] = 1.5;
  session.UserChangedDeviceCalibration(data);
  session.CloseDevice(true);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("95 ", 0), 0u) << errors[0];
  EXPECT_NE(errors[0].find("not supported yet"), std::string::npos) << errors[0];
  EXPECT_EQ(errors[0].find("Firmware"), std::string::npos) << errors[0];
  EXPECT_FALSE(session.UseDeviceCalibration());
}

// The copy and its original always follow the same choice.
TEST(ReportEvalSession, TheLinkedSessionFollowsTheCalibrationChoice) {
  auto original = std::make_shared<TVQSessionItem>(-1, 0, nullptr, nullptr);
  const auto copy = TVQSessionItem::CopyQMTPart(original);
  copy->SetUseDeviceCalibration(false);
  EXPECT_FALSE(original->UseDeviceCalibration());
  EXPECT_TRUE(original->QMT().AddLogStrings());
  original->SetUseDeviceCalibration(true);
  EXPECT_TRUE(copy->UseDeviceCalibration());
}

// ---- the session's store keys -------------------------------------------------------------------

TEST(ReportEvalSession, NominalFrequenciesAndAllanDecayRoundTrip) {
  TAppSettings settings;
  settings.SetValue("Session_0_NomFreq1_4", "10000000,5; 5000000; x; ");
  settings.SetValue("Session_0_NomFreq5_8", "NAN; INF; -5; ");
  settings.SetValue("Session_0_NomFreq21_24", "; ; ; 100000000");
  settings.SetValue("Session_0_AllanDecay", 3);
  settings.SetValue("Session_0_PAVDateTimeStart", "45383.25");
  TVQSessionItem session(-1, 0, nullptr, nullptr);
  EXPECT_EQ(session.ReadSettings(settings, "Session_0_"), "");
  EXPECT_DOUBLE_EQ(session.PAV().GetNomFreq(1), 10000000.5);
  EXPECT_DOUBLE_EQ(session.PAV().GetNomFreq(2), 5000000.0);
  EXPECT_DOUBLE_EQ(session.PAV().GetNomFreq(24), 100000000.0);
  for (int k = 5; k <= 7; ++k) EXPECT_EQ(session.PAV().GetNomFreq(k), 0.0) << k;
  EXPECT_EQ(session.PAV().AllanDecay(), 3);

  TAppSettings saved;
  session.SaveSettings(saved, "Session_0_");
  EXPECT_EQ(saved.GetValue("Session_0_NomFreq1_4", std::string()),
            "  10000000.50000000000;    5000000.00000000000;          0.00000000000;          0.00000000000; ");
  EXPECT_EQ(saved.GetValue("Session_0_AllanDecay", 0), 3);
  // Never opened: the origin read is kept.
  EXPECT_DOUBLE_EQ(saved.GetValue("Session_0_PAVDateTimeStart", 0.0), 45383.25);
}

// The origin in the settings is the wall-clock time of the zone the times are
// shown in; the first origin computed is checked against it.
TEST(ReportEvalSession, TheStoredOriginIsReadInTheDisplayZone) {
  TZoneGuard zone("Europe/Berlin");
  const TUtcMs origin = Utc(2024, 4, 1, 4, 0, 0, 0);  // 06:00 CEST = 45383.25 local
  for (bool utcZone : {false, true}) {
    std::vector<int> warnings;
    TAppSettings settings;
    settings.SetValue("Session_0_PAVDateTimeStart", "45383.25");
    TVQSessionItem session(-1, 0, nullptr, [&](int, int code, TMsgType kind, const std::string&, int) {
      if (kind == mtWarning) warnings.push_back(code);
    });
    session.ReadSettings(settings, "Session_0_");
    TSessionTimeOptions options;
    options.LogTimeSourcePAV = true;
    options.LogTimeZoneSystem = utcZone;
    session.SetTimeOptions(options);
    session.Evaluation()->ReportAuswerten("7015; 1", UtcNowMs() - origin);
    ASSERT_TRUE(session.TimeOrigin());
    EXPECT_EQ(*session.TimeOrigin(), origin);
    EXPECT_EQ(warnings, utcZone ? std::vector<int>{45} : std::vector<int>{}) << "UTC zone " << utcZone;

    TAppSettings saved;
    session.SaveSettings(saved, "Session_0_");
    EXPECT_NEAR(saved.GetValue("Session_0_PAVDateTimeStart", 0.0), utcZone ? 45383.0 + 4.0 / 24 : 45383.25, 1E-9);
  }
}

}  // namespace
