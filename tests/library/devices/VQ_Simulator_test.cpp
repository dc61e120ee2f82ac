#include "library/devices/VQ_Simulator.h"

#include <gtest/gtest.h>

#include "support/FileText.h"

#include <bit>
#include <cmath>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "library/core/LogUnit.h"
#include "library/core/VQ_Report.h"
#include "tests/support/TempFolder.h"

namespace {

using Frames = std::vector<std::string>;

std::string Bytes(std::initializer_list<int> values) {
  std::string text;
  for (int v : values) text += static_cast<char>(v);
  return text;
}

uint8_t At(const std::string& frame, std::size_t index) { return static_cast<uint8_t>(frame.at(index)); }

bool IsData(const std::string& frame) { return frame.size() >= 7 && At(frame, 3) == 0xFB; }
bool IsReport(const std::string& frame, uint16_t code) {
  return frame.size() >= 7 && At(frame, 3) == 0xFC && At(frame, 4) == (code >> 8) && At(frame, 5) == (code & 0xFF);
}

// The 7016 frame of timestamp `n`.
std::string Timestamp(uint32_t n) {
  return Bytes({0xFB, 0xFB, 0xFB, 0xFC, 0x70, 0x16, 0x04, static_cast<int>(n >> 24), static_cast<int>((n >> 16) & 0xFF),
                static_cast<int>((n >> 8) & 0xFF), static_cast<int>(n & 0xFF)});
}

std::string Header7020(int rateMode, int scrambler = 0) {
  return Bytes({0xFB, 0xFB, 0xFB, 0xFC, 0x70, 0x20, 0x02, rateMode, scrambler});
}

std::string ReportFrame(int high, int low, const std::string& payload) {
  return Bytes({0xFB, 0xFB, 0xFB, 0xFC, high, low, static_cast<int>(payload.size())}) + payload;
}

// Rate/mode byte, scrambler byte and channel count of a data frame.
std::string DataHeader(const std::string& frame) { return frame.substr(4, 3); }

std::vector<double> Values(const std::string& frame) {
  std::vector<double> values;
  for (std::size_t at = 7; at + 8 <= frame.size(); at += 8) {
    uint64_t bits = 0;
    for (std::size_t k = 0; k < 8; ++k) bits |= static_cast<uint64_t>(At(frame, at + k)) << (8 * k);
    values.push_back(std::bit_cast<double>(bits));
  }
  return values;
}

// The memory block a test writes: `seed` makes it its own.
std::string Pattern(int seed) {
  std::string block;
  for (int k = 0; k < 128; ++k) block += static_cast<char>((seed * 7 + k) & 0xFF);
  return block;
}

std::string FRAMWrite(uint32_t offset, const std::string& content) {
  const uint32_t address = 0x7E000 + offset;
  return Bytes({0x85, 0x23, 0, static_cast<int>(address >> 16), static_cast<int>((address >> 8) & 0xFF),
                static_cast<int>(address & 0xFF)}) +
         content;
}

// A simulator whose receive ring the test can fill.
class RingSimulator : public TVQ_SimulDevice {
 public:
  using TVQ_SimulDevice::TVQ_SimulDevice;
  TCircularBuffer& Ring() { return ReceiveBuffer(); }
};

// A simulator whose worker only runs when the test steps it, with seeded noise
// and both process-wide switches off.
class SimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetSimulatorOptions(false, false);
    device.SetRandomSeed(42);
    ASSERT_TRUE(device.OpenPortStepped());
  }
  void TearDown() override { SetSimulatorOptions(false, false); }

  // Everything the worker wrote since the last call, cut into frames.
  Frames Drain() {
    const std::string bytes = device.PeekAnsi(device.GetBufferAmount());
    device.ConfirmPeekedData(static_cast<uint32_t>(bytes.size()));
    Frames frames;
    std::size_t at = 0;
    while (at + 7 <= bytes.size()) {
      const std::size_t len = 7 + (At(bytes, at + 3) == 0xFB ? 8u * At(bytes, at + 6) : At(bytes, at + 6));
      frames.push_back(bytes.substr(at, len));
      at += len;
    }
    EXPECT_EQ(at, bytes.size()) << "a torn frame";
    return frames;
  }

  Frames Step(int passes = 1) {
    for (int k = 0; k < passes; ++k) EXPECT_TRUE(device.StepWorker());
    return Drain();
  }

  // Steps until the worker has written a data frame; the frames of that pass.
  Frames StepToData(int limit = 40) {
    for (int k = 0; k < limit; ++k) {
      Frames frames = Step();
      for (const std::string& f : frames)
        if (IsData(f) && At(f, 4) != 0x79) return frames;
    }
    ADD_FAILURE() << "no data frame";
    return {};
  }

  bool Send(const std::string& command) {
    std::string data = command;
    return device.DeviceWrite(data);
  }

  int NextWaitMs() const { return device.WorkerState().value().NextWaitMs; }

  TVQ_Event event;
  TVQ_ManualClock clock;
  RingSimulator device{-1, 0, &event, true, clock};
};

// ---- pacing ------------------------------------------------------------------

TEST_F(SimulatorTest, FirstPassSendsTimestampOneThenOneEvery100msAndDataWithTheTenth) {
  EXPECT_EQ(device.DevType(), TVQ_DeviceType::VQ_Simul);
  EXPECT_TRUE(device.DemoData());
  EXPECT_FALSE(device.HasCommandList());
  EXPECT_EQ(NextWaitMs(), 100);
  EXPECT_EQ(Step(), Frames{Timestamp(1)});
  for (uint32_t n = 2; n <= 9; ++n) EXPECT_EQ(Step(), Frames{Timestamp(n)});
  const Frames tenth = Step();
  ASSERT_EQ(tenth.size(), 2u);
  EXPECT_EQ(tenth[0], Timestamp(10));
  ASSERT_EQ(tenth[1].size(), 4u * 8 + 7);
  EXPECT_EQ(tenth[1].substr(0, 4), "\xFB\xFB\xFB\xFB");
  EXPECT_EQ(DataHeader(tenth[1]), Bytes({0x09, 0x00, 0x04}));
  // Mode 0 sends phase: one second of 1.0E7 per second per channel.
  for (double v : Values(tenth[1])) EXPECT_NEAR(v, 1.0E7, 0.1);
  const Frames next = StepToData();
  EXPECT_EQ(next.front(), Timestamp(20));
  for (double v : Values(next.back())) EXPECT_NEAR(v, 2.0E7, 0.1);
}

TEST_F(SimulatorTest, IntervalCommandSwitchesAtTheNextDataFrameToTenDataFramesPerTimestamp) {
  Step();
  ASSERT_TRUE(Send(Bytes({0x23})));
  EXPECT_EQ(NextWaitMs(), 100);  // waits for the switch point
  for (uint32_t n = 2; n <= 9; ++n) EXPECT_EQ(Step(), Frames{Timestamp(n)});
  const Frames switchPass = Step();
  ASSERT_EQ(switchPass.size(), 3u);
  EXPECT_EQ(switchPass[0], Timestamp(10));
  EXPECT_EQ(DataHeader(switchPass[1]), Bytes({0x09, 0x00, 0x04}));
  EXPECT_EQ(switchPass[2], Header7020(0x03));
  EXPECT_EQ(NextWaitMs(), 10);
  // The 7020 frame starts the phase anew: 10 ms of 1.0E7 per second. Then
  // every pass sends data, and every tenth pass a timestamp before it.
  for (int pass = 1; pass <= 21; ++pass) {
    SCOPED_TRACE(pass);
    const Frames frames = Step();
    const bool timestamp = pass == 11 || pass == 21;
    ASSERT_EQ(frames.size(), timestamp ? 2u : 1u);
    if (timestamp) {
      EXPECT_EQ(frames[0], Timestamp(pass == 11 ? 11 : 12));
    }
    EXPECT_EQ(DataHeader(frames.back()), Bytes({0x03, 0x00, 0x04}));
    if (pass == 1) {
      for (double v : Values(frames.back())) EXPECT_NEAR(v, 1.0E5, 0.1);
    }
  }
}

struct SwitchCase {
  std::string name;
  std::vector<std::string> commands;
  std::optional<int> header7020;  // rate + 16 x mode of the 7020 frame, none when nothing switches
  uint32_t switchTimestamp;       // the data frame that is the switch point
  int nextWaitMs;
  int dataHeader;  // of the data frame after the switch
};

// Interval and mode commands go over together at the first data frame on the
// grid of the new interval, with one 7020 frame.
TEST_F(SimulatorTest, IntervalAndModeCommandsTakeEffectTogetherAtTheSwitchPoint) {
  const std::vector<SwitchCase> cases = {
      {"interval", {Bytes({0x23})}, 0x03, 10, 10, 0x03},
      {"mode 0 keeps a pending interval", {Bytes({0x23}), Bytes({0x40})}, 0x03, 10, 10, 0x03},
      {"interval then mode", {Bytes({0x23}), Bytes({0x42})}, 0x23, 10, 10, 0x23},
      {"mode then interval", {Bytes({0x42}), Bytes({0x23})}, 0x23, 10, 10, 0x23},
      {"out of mode 0", {Bytes({0x42})}, 0x29, 10, 100, 0x29},
      {"mode 0 while in mode 0", {Bytes({0x40})}, std::nullopt, 10, 100, 0x09},
      {"mode taken back", {Bytes({0x42}), Bytes({0x40})}, 0x09, 10, 100, 0x09},
      {"2000 ms waits for its grid", {Bytes({0x2A})}, 0x0A, 20, 100, 0x0A},
  };
  for (const SwitchCase& c : cases) {
    SCOPED_TRACE(c.name);
    TVQ_SimulDevice sim(-1, 0, &event, true, clock);
    sim.SetRandomSeed(1);
    ASSERT_TRUE(sim.OpenPortStepped());
    sim.StepWorker();
    for (const std::string& cmd : c.commands) {
      std::string data = cmd;
      EXPECT_TRUE(sim.DeviceWrite(data));
    }
    std::string bytes;
    while (sim.TimeStamp() < c.switchTimestamp) sim.StepWorker();
    bytes = sim.PeekAnsi(sim.GetBufferAmount());
    sim.ConfirmPeekedData(static_cast<uint32_t>(bytes.size()));
    const std::size_t header = bytes.find(Header7020(c.header7020.value_or(0)));
    if (c.header7020) {
      EXPECT_EQ(header, bytes.size() - 9) << "the 7020 frame ends the switch pass";
    } else {
      EXPECT_EQ(bytes.find("\xFB\xFB\xFB\xFC\x70\x20"), std::string::npos);
    }
    EXPECT_EQ(sim.WorkerState()->NextWaitMs, c.nextWaitMs);
    std::string data;
    while (data.empty()) {
      sim.StepWorker();
      const std::string more = sim.PeekAnsi(sim.GetBufferAmount());
      sim.ConfirmPeekedData(static_cast<uint32_t>(more.size()));
      const std::size_t at = more.find("\xFB\xFB\xFB\xFB");
      if (at != std::string::npos) data = more.substr(at);
    }
    EXPECT_EQ(At(data, 4), c.dataHeader);
  }
}

// From a mode other than 0 as well: the mode command leaves the pacing of the
// pending interval alone, so rate code, pause and data-per-timestamp change
// together.
TEST_F(SimulatorTest, ModeCommandKeepsThePacingOfAPendingInterval) {
  ASSERT_TRUE(Send(Bytes({0x42})));
  EXPECT_EQ(StepToData().back(), Header7020(0x29));
  ASSERT_TRUE(Send(Bytes({0x23})));
  ASSERT_TRUE(Send(Bytes({0x43})));
  EXPECT_EQ(StepToData().back(), Header7020(0x33));
  EXPECT_EQ(NextWaitMs(), 10);
  int dataFrames = 0;
  for (int pass = 0; pass < 10; ++pass)
    for (const std::string& f : Step()) {
      ASSERT_TRUE(IsData(f)) << "no timestamp within the first ten data frames";
      EXPECT_EQ(At(f, 4), 0x33);
      ++dataFrames;
    }
  EXPECT_EQ(dataFrames, 10);
  EXPECT_EQ(Step().front(), Timestamp(21));
}

struct ModeCase {
  int mode;
  double channel1;
  double others;
  double tolerance;
};

// Each mode the simulator runs: phase, frequency, or differences to channel 1.
TEST_F(SimulatorTest, EveryModeTakesEffectWithItsOwnValues) {
  const ModeCase cases[] = {
      {1, 1.0E7, 1.0E7, 0.1}, {2, 1.0E4, 1.0E4, 0.01}, {3, 1.0E4, 1.0E4, 0.01}, {4, 0.0, 0.0, 0.01}, {5, 0.0, 0.0, 0.01},
  };
  for (const ModeCase& c : cases) {
    SCOPED_TRACE("mode " + std::to_string(c.mode));
    TVQ_SimulDevice sim(-1, 0, &event, true, clock);
    ASSERT_TRUE(sim.OpenPortStepped());
    std::string cmd = Bytes({0x40 + c.mode});
    ASSERT_TRUE(sim.DeviceWrite(cmd));
    for (int k = 0; k < 20; ++k) sim.StepWorker();
    const std::string bytes = sim.PeekAnsi(sim.GetBufferAmount());
    sim.ConfirmPeekedData(static_cast<uint32_t>(bytes.size()));
    EXPECT_NE(bytes.find(Header7020(0x09 + 16 * c.mode)), std::string::npos);
    const std::string last = bytes.substr(bytes.rfind("\xFB\xFB\xFB\xFB"));
    EXPECT_EQ(At(last, 4), 0x09 + 16 * c.mode);
    const std::vector<double> values = Values(last);
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(values[0] == 0.0, c.mode >= 4);
    EXPECT_NEAR(values[0], c.channel1, c.tolerance);
    for (std::size_t k = 1; k < values.size(); ++k) EXPECT_NEAR(values[k], c.others, c.tolerance);
  }
}

TEST_F(SimulatorTest, ScramblerAndChannelCountShapeTheNextDataFrame) {
  struct Case {
    std::string command;
    int channels;
    int scramblerByte;
  };
  const Case cases[] = {
      {"2", 2, 0x00}, {"0", 24, 0x00}, {Bytes({0x3F, 0x0C}), 12, 0x00}, {Bytes({0x5E}), 12, 0x10}, {Bytes({0x5F}), 12, 0x20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(HexDump(c.command));
    ASSERT_TRUE(Send(c.command));
    EXPECT_EQ(device.ChannelCount(), c.channels);
    const std::string data = StepToData().back();
    EXPECT_EQ(data.size(), 8u * c.channels + 7);
    EXPECT_EQ(DataHeader(data), Bytes({0x09, c.scramblerByte, c.channels}));
  }
  // The 7020 frame carries the scrambler too.
  ASSERT_TRUE(Send(Bytes({0x42})));
  EXPECT_EQ(StepToData().back(), Header7020(0x29, 0x20));
}

// ---- answers and extra frames -------------------------------------------------

TEST_F(SimulatorTest, VersionAndReSyncRequestsAreAnsweredBeforeTheNextDataFrame) {
  Step();
  ASSERT_TRUE(Send(Bytes({0x01})));
  ASSERT_TRUE(Send(Bytes({0x0F})));
  const Frames frames = StepToData();
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[1], ReportFrame(0x70, 0x01, "VERSION Simulator: 5.0 240729"));
  EXPECT_EQ(frames[2], ReportFrame(0x7F, 0x51, "Measurement re-synchronized"));
  EXPECT_TRUE(IsData(frames[3]));
  EXPECT_EQ(StepToData().size(), 2u) << "each request is answered once";

  SetSimulatorOptions(false, true);
  ASSERT_TRUE(Send(Bytes({0x81})));
  EXPECT_EQ(StepToData()[1], ReportFrame(0x70, 0x01, "VERSION Simulator QMT: 5.0 240729"));
}

TEST_F(SimulatorTest, PDISimulationSendsItsWordBeforeEachDataFrame) {
  SetSimulatorOptions(true, false);
  const std::string words[] = {" FFFFFFFE", " FFFFFFFB", " FFFFFFFA", " FFFFFFFF", " FFFFFFDE"};
  for (const std::string& word : words) {
    const Frames frames = StepToData();
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[frames.size() - 2], ReportFrame(0x71, 0x00, word));
  }
}

TEST_F(SimulatorTest, QMTSimulationFollowsTimestampsEndingInFive) {
  SetSimulatorOptions(false, true);
  ASSERT_TRUE(Send("2"));
  for (uint32_t n = 1; n <= 25; ++n) {
    const Frames frames = Step();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0], Timestamp(n));
    const bool qmtDue = n % 10 == 5;
    ASSERT_EQ(frames.size(), (qmtDue ? 2u : 1u) + (n % 10 == 0 ? 1u : 0u));
    if (!qmtDue) continue;
    EXPECT_EQ(frames[1].size(), 2u * 8 + 7);
    EXPECT_EQ(frames[1].substr(0, 7), Bytes({0xFB, 0xFB, 0xFB, 0xFB, 0x79, 0x00, 0x02}));
    for (double v : Values(frames[1])) EXPECT_NEAR(v, 3.3E6, 1.0E5);
  }
}

struct MemoryCase {
  uint32_t offset;
  std::optional<int> answerCode;  // 0x7901, 0x7902 or none
};

// A write of a whole block is answered by exactly one frame with the new
// bytes; any other offset only changes the image.
TEST_F(SimulatorTest, MemoryWritesAreAnsweredByOneFrameOfTheirBlock) {
  const MemoryCase cases[] = {{0, 0x7901}, {128, 0x7902}, {256, 0x7902}, {384, 0x7902}, {512, 0x7902}, {0x10, std::nullopt}};
  int seed = 0;
  for (const MemoryCase& c : cases) {
    SCOPED_TRACE(c.offset);
    const std::string content = Pattern(++seed);
    ASSERT_TRUE(Send(FRAMWrite(c.offset, content)));
    EXPECT_EQ(SimulatorMemory(c.offset, 128), content);
    Frames answers;
    for (int pass = 0; pass < 2; ++pass)
      for (const std::string& f : StepToData())
        if (IsReport(f, 0x7901) || IsReport(f, 0x7902)) answers.push_back(f);
    if (!c.answerCode) {
      EXPECT_TRUE(answers.empty());
      continue;
    }
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0], ReportFrame(*c.answerCode >> 8, *c.answerCode & 0xFF, content));
  }
}

// Pending blocks go out one per data frame, lowest first; a read request
// waits behind them and still gets the block it asked for.
TEST_F(SimulatorTest, MemoryFramesGoOutOnePerDataFrame) {
  const std::string block3 = Pattern(30);
  const std::string block4 = Pattern(40);
  ASSERT_TRUE(Send(FRAMWrite(512, block4)));
  ASSERT_TRUE(Send(FRAMWrite(384, block3)));
  ASSERT_TRUE(Send(Bytes({0x03, 0x02})));
  ASSERT_TRUE(Send(Bytes({0x02})));
  const std::string block2 = SimulatorMemory(256, 128);
  const std::string calib = SimulatorMemory(0, 128);
  const Frames first = StepToData();
  ASSERT_EQ(first.size(), 4u);
  EXPECT_EQ(first[1], ReportFrame(0x79, 0x01, calib));
  EXPECT_EQ(first[2], ReportFrame(0x79, 0x02, block3));
  EXPECT_EQ(StepToData()[1], ReportFrame(0x79, 0x02, block4));
  EXPECT_EQ(StepToData()[1], ReportFrame(0x79, 0x02, block2));
  EXPECT_EQ(StepToData().size(), 2u);
}

// ---- refusals and the closed port ----------------------------------------------

TEST_F(SimulatorTest, RefusedCommandsReportWhyAndChangeNothing) {
  struct Case {
    std::string command;
    TVQ_Result code;
    std::string message;
  };
  const Case cases[] = {
      {Bytes({0x0A}), TVQ_Result::VQ_CmdIgnored, "Unsupported command 0A"},
      {Bytes({0x46}), TVQ_Result::VQ_CmdIgnored, "Unsupported command mode raw data"},
      {Bytes({0x2E}), TVQ_Result::VQ_CmdIgnored, "Unknown command 2E"},
      {Bytes({0x3C}), TVQ_Result::VQ_CmdIgnored, "Unknown command 3C"},
      {"", TVQ_Result::VQ_CmdIgnored, "command missing"},
  };
  Step();
  for (const Case& c : cases) {
    SCOPED_TRACE(HexDump(c.command));
    EXPECT_FALSE(Send(c.command));
    std::string message;
    EXPECT_EQ(device.TakeError(message), c.code);
    EXPECT_EQ(message, c.message);
  }
  const Frames frames = StepToData();
  EXPECT_EQ(DataHeader(frames.back()), Bytes({0x09, 0x00, 0x04}));
  for (const std::string& f : frames) EXPECT_FALSE(IsReport(f, 0x7020));
  EXPECT_EQ(NextWaitMs(), 100);
}

TEST_F(SimulatorTest, ClosedSimulatorRefusesCommandsAndReportsItself) {
  EXPECT_FALSE(device.CheckDeviceClosed());
  ASSERT_TRUE(device.ClosePort());
  EXPECT_FALSE(device.WorkerState().has_value());
  EXPECT_FALSE(device.StepWorker());
  EXPECT_FALSE(Send(Bytes({0x01})));
  std::string message;
  EXPECT_EQ(device.TakeError(message), TVQ_Result::VQ_DeviceNotConnected);
  EXPECT_EQ(message, "SimulDevice closed");
  EXPECT_TRUE(device.CheckDeviceClosed());
  EXPECT_EQ(device.TakeError(message), TVQ_Result::VQ_DeviceNotConnected);
  EXPECT_EQ(message, "SimulDevice closed");
  EXPECT_TRUE(device.ClosePort());
}

// A reopened simulator goes on with its timestamps, starts again at rate 9 in
// mode 0 with the channel count it had, and keeps its data frames (the switch
// points) on the 1000 ms grid wherever the timestamps resumed.
TEST_F(SimulatorTest, ReopenContinuesTimestampsOnTheGrid) {
  ASSERT_TRUE(Send("2"));
  ASSERT_TRUE(Send(Bytes({0x42})));
  Step(13);
  const uint32_t closedAt = device.TimeStamp();
  ASSERT_TRUE(device.ClosePort());
  ASSERT_TRUE(device.OpenPortStepped());
  const TVQ_SimulWorkerState state = device.WorkerState().value();
  EXPECT_EQ(state.Rate, 9);
  EXPECT_EQ(state.Mode, 0);
  EXPECT_EQ(state.NextWaitMs, 100);
  EXPECT_EQ(Step(), Frames{Timestamp(closedAt + 1)});
  ASSERT_TRUE(Send(Bytes({0x43})));
  const Frames frames = StepToData();
  EXPECT_EQ(device.TimeStamp() % 10, 0u);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(DataHeader(frames[1]), Bytes({0x09, 0x00, 0x02}));
  EXPECT_EQ(frames[2], Header7020(0x39));
}

// ---- deadlines ---------------------------------------------------------------------

// What a stretch of the receive ring holds: data frames, timestamps, the last
// timestamp and whether a 7020 frame was among them.
struct FrameCount {
  uint64_t data = 0;
  uint64_t timestamps = 0;
  uint32_t lastTimestamp = 0;
  bool header7020 = false;
};

class SimulatorDeadlineTest : public SimulatorTest {
 protected:
  // Counts without keeping the frames: an hour at 1 ms is millions of them.
  FrameCount DrainCount() {
    const std::string bytes = device.PeekAnsi(device.GetBufferAmount());
    device.ConfirmPeekedData(static_cast<uint32_t>(bytes.size()));
    FrameCount count;
    std::size_t at = 0;
    while (at + 7 <= bytes.size()) {
      const bool data = At(bytes, at + 3) == 0xFB;
      const std::size_t len = 7 + (data ? 8u * At(bytes, at + 6) : At(bytes, at + 6));
      const std::string frame = bytes.substr(at, std::min(len, std::size_t{11}));
      if (data && At(frame, 4) != 0x79) ++count.data;
      if (IsReport(frame, 0x7016)) {
        ++count.timestamps;
        count.lastTimestamp = (uint32_t{At(frame, 7)} << 24) | (uint32_t{At(frame, 8)} << 16) |
                              (uint32_t{At(frame, 9)} << 8) | At(frame, 10);
      }
      count.header7020 |= IsReport(frame, 0x7020);
      at += len;
    }
    EXPECT_EQ(at, bytes.size()) << "a torn frame";
    return count;
  }

  FrameCount Advance(std::chrono::milliseconds step) {
    clock.Advance(step);
    EXPECT_TRUE(device.StepWorkerDue());
    return DrainCount();
  }

  // Asks for 1 ms and runs the 1000 ms grid up to the switch (timestamp 10).
  void SwitchTo1ms() {
    ASSERT_TRUE(device.StepWorkerDue());  // timestamp 1 at once
    DrainCount();
    ASSERT_TRUE(Send(Bytes({0x20})));
    for (int k = 0; k < 9; ++k) {
      const FrameCount c = Advance(std::chrono::milliseconds(100));
      if (c.header7020) return;
    }
    FAIL() << "no switch to 1 ms";
  }
};

// Passes run on absolute deadlines: however the wake-ups fall, including late
// ones within the catch-up bound, an hour at 1 ms is 3 600 000 measurements
// and 36 000 timestamps.
TEST_F(SimulatorDeadlineTest, AnHourAt1msIsExactly3600000Measurements) {
  SwitchTo1ms();
  ASSERT_EQ(NextWaitMs(), 1);
  constexpr int64_t kHourMs = 3600 * 1000;
  const uint32_t firstTimestamp = device.TimeStamp();
  FrameCount total;
  std::mt19937 jitter(3);
  for (int64_t elapsed = 0; elapsed < kHourMs;) {
    // Mostly the usual 10 ms, sometimes a sub-batch wake, now and then a
    // late one close to the one-second bound.
    const int pick = static_cast<int>(jitter() % 1000);
    const int64_t step = std::min<int64_t>(kHourMs - elapsed, pick < 5 ? 950 : pick < 300 ? pick % 7 + 1 : 10);
    elapsed += step;
    const FrameCount c = Advance(std::chrono::milliseconds(step));
    total.data += c.data;
    total.timestamps += c.timestamps;
  }
  EXPECT_EQ(total.data, 3600000u);
  // A timestamp opens the pass after its hundredth data frame: the hour's
  // last one is due 1 ms after the hour.
  EXPECT_EQ(total.timestamps, 35999u);
  EXPECT_EQ(Advance(std::chrono::milliseconds(1)).lastTimestamp, firstTimestamp + 36000);
  std::string message;
  EXPECT_EQ(device.TakeError(message), TVQ_Result::VQ_No_Err) << message;
}

// A worker that stalls longer than the catch-up bound delivers one second of
// passes; the older ones are never delivered, and that is said: the ring is
// cleared and the device reports an overflow, which the source turns into its
// 7022 and 7F23 lines. Then it goes on at its rate.
TEST_F(SimulatorDeadlineTest, AStallBeyondOneSecondIsReportedAsAnOverflow) {
  SwitchTo1ms();
  EXPECT_EQ(Advance(std::chrono::milliseconds(10)).data, 10u);
  clock.Advance(std::chrono::seconds(5));
  ASSERT_TRUE(device.StepWorkerDue());
  EXPECT_TRUE(device.ReceiveBufferCleared());
  EXPECT_EQ(DrainCount().data, 1000u);
  std::string message;
  EXPECT_EQ(device.TakeError(message), TVQ_Result::VQ_Err_ReceiveBufferOverflow);
  EXPECT_EQ(message, "SimulDevice: Receive buffer overflow, buffer cleared");
  EXPECT_EQ(Advance(std::chrono::milliseconds(10)).data, 10u);
}

// A full receive ring takes nothing of a batch: it is cleared, the overflow
// reported and the batch written again.
TEST_F(SimulatorDeadlineTest, AFullRingIsClearedReportedAndTheBatchWrittenAgain) {
  SwitchTo1ms();
  ASSERT_TRUE(device.Ring().WriteAnsiString(std::string(device.Ring().AvailableSpace(), '\0')));
  clock.Advance(std::chrono::milliseconds(10));
  ASSERT_TRUE(device.StepWorkerDue());
  EXPECT_TRUE(device.ReceiveBufferCleared());
  EXPECT_EQ(DrainCount().data, 10u);
  std::string message;
  EXPECT_EQ(device.TakeError(message), TVQ_Result::VQ_Err_ReceiveBufferOverflow);
}

// ---- identity, noise, logs --------------------------------------------------------

TEST(Simulator, SimulatorsCreatedOneAfterTheOtherGetConsecutiveSerialNumbers) {
  TVQ_Event event;
  TVQ_SimulDevice first(-1, 0, &event, true);
  TVQ_SimulDevice second(-1, 1, &event, true);
  EXPECT_EQ(second.GetSerialNumberValue(), first.GetSerialNumberValue() + 1);
  EXPECT_TRUE(first.SerialNumberRead());
}

TEST(Simulator, NoiseFollowsTheSeed) {
  TVQ_Event event;
  TVQ_ManualClock clock;
  auto firstData = [&](uint64_t seed) {
    TVQ_SimulDevice sim(-1, 0, &event, true, clock);
    sim.SetRandomSeed(seed);
    sim.OpenPortStepped();
    for (int k = 0; k < 10; ++k) sim.StepWorker();
    const std::string bytes = sim.PeekAnsi(sim.GetBufferAmount());
    return Values(bytes.substr(bytes.find("\xFB\xFB\xFB\xFB")));
  };
  const std::vector<double> a = firstData(7);
  EXPECT_EQ(firstData(7), a);
  EXPECT_NE(firstData(8), a);
  // Standard deviation 0.001 around 1.0E7: distinct values, all close.
  EXPECT_NE(a[0], a[1]);
  for (double v : a) EXPECT_NEAR(v, 1.0E7, 0.01);
}

// The frames are those the report layer reads for a simulated counter.
TEST_F(SimulatorTest, ReportLayerReadsEveryFrame) {
  TVQ_ReportDevice reports(device, 0, clock);
  device.StepWorker();
  ASSERT_TRUE(Send(Bytes({0x01})));
  for (int k = 0; k < 9; ++k) device.StepWorker();
  std::vector<uint16_t> codes;
  std::string report;
  // Calls that find no report (command turns, a drained ring) give nothing.
  for (int call = 0; call < 100 && device.GetBufferAmount() > 0; ++call) {
    ASSERT_EQ(reports.GetReport(report), TVQ_Result::VQ_No_Err) << report;
    if (!report.empty()) codes.push_back(BinaryReportCode(report));
  }
  const std::vector<uint16_t> expected = {0x7016, 0x7016, 0x7016, 0x7016, 0x7016, 0x7016,
                                          0x7016, 0x7016, 0x7016, 0x7016, 0x7001, 0x0900};
  EXPECT_EQ(codes, expected);
  EXPECT_EQ(device.HardFeature(), 0x4001);
}

// Frames go to the report log its owner gave the device as hex, and with
// the low-level log on also to the device log, tagged by their kind.
TEST(Simulator, FramesAreLoggedAsHex) {
  TTempFolder folder;
  const int logId = NewLog();
  NewLog();  // a log in between: the report log is the one given, not the next
  const int reportLogId = NewLog();
  SetLogFile(logId, folder.File("device.log"), false);
  SetLogFile(reportLogId, folder.File("report.log"), false);
  {
    TVQ_Event event;
    TVQ_ManualClock clock;
    TVQ_SimulDevice sim(logId, 0, &event, true, clock);
    sim.SetStreamLogIds(reportLogId, -1);
    sim.SetLowLevelLog(true);
    sim.OpenPortStepped();
    std::string cmd = "\x01";
    sim.DeviceWrite(cmd);
    for (int k = 0; k < 10; ++k) sim.StepWorker();
    sim.ClosePort();
  }
  const std::string deviceLog = ReadFile(FindLogger(logId)->InternLogFileName());
  const std::string reportLog = ReadFile(FindLogger(reportLogId)->InternLogFileName());
  SetLogFile(logId, "", false);
  SetLogFile(reportLogId, "", false);
  EXPECT_NE(deviceLog.find("TVQ_SimulDevice.OpenPort"), std::string::npos);
  EXPECT_NE(deviceLog.find("TVQ_SimulDevice.DeviceWrite 01"), std::string::npos);
  EXPECT_NE(deviceLog.find("{01}"), std::string::npos);
  EXPECT_NE(deviceLog.find("TVQ_SimulDevice.GenerateTimeStamp FBFBFBFC70160400000001"), std::string::npos);
  EXPECT_NE(deviceLog.find("TVQ_SimulDevice.GenerateData FBFBFBFB090004"), std::string::npos);
  EXPECT_NE(deviceLog.find("TVQ_SimulDevice.ClosePort"), std::string::npos);
  EXPECT_NE(reportLog.find("FBFBFBFC7016040000000A"), std::string::npos);
  EXPECT_NE(reportLog.find("FBFBFBFC7001"), std::string::npos);
}

}  // namespace
