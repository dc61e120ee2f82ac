#include "library/sources/VQ_Source.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "library/core/LogUnit.h"
#include "library/core/VQ_SerialFrame.h"
#include "library/core/VQ_UsbFrame.h"
#include "library/devices/VQ_Simulator.h"
#include "support/FileText.h"
#include "support/TempFolder.h"
#include "support/TestDevice.h"

namespace {

// ---- connection strings ------------------------------------------------------------

TEST(SourceConnectionString, PartsOfConnectionStrings) {
  TTempFolder folder;
  const std::string file = folder.File("recorded:data.bin");  // a colon inside a file name
  std::ofstream(file) << "x";
  struct TCase {
    std::string text;
    TVQ_Result result;
    uint8_t userID;
    std::string port;
    std::string baud;
    bool host, loop, wait;
  };
  const TCase cases[] = {
      {"PAV2:/USERID=2 /dev/ttyUSB0:115200", TVQ_Result::VQ_No_Err, 2, "/dev/ttyUSB0", "115200", false, false, false},
      {"USERID=7 /dev/ttyS0", TVQ_Result::VQ_No_Err, 255, "/dev/ttyS0", "", false, false, false},
      {"userid=4 DemoData", TVQ_Result::VQ_No_Err, 4, "DemoData", "", false, false, false},
      {"  " + file + " LOOP_FOR_EVER ", TVQ_Result::VQ_No_Err, 255, file, "", false, true, false},
      {file + " wait_interval", TVQ_Result::VQ_No_Err, 255, file, "", false, false, true},
      {":x", TVQ_Result::VQ_Err_BadFormat, 255, "", "", false, false, false},
      {":A:B", TVQ_Result::VQ_No_Err, 255, ":A", "B", false, false, false},
      {"HOST:/counter7:5000", TVQ_Result::VQ_No_Err, 255, "counter7", "5000", true, false, false},
      {"TCP:192.168.1.5:6000", TVQ_Result::VQ_No_Err, 255, "TCP:192.168.1.5", "6000", false, false, false},
      {"ARCHIVE:10.0.0.1:6001 20260101_120000;20260102_000000", TVQ_Result::VQ_No_Err, 255, "ARCHIVE:10.0.0.1",
       "6001 20260101_120000;20260102_000000", false, false, false},
      {"CAN:RACK3 CHANNEL1 TYPE=0x21", TVQ_Result::VQ_No_Err, 255, "CAN", "RACK3 CHANNEL1 TYPE=0x21", false, false,
       false},
  };
  for (const TCase& c : cases) {
    TConnectionParts parts;
    ASSERT_EQ(TSourceItem::SplitConnectionString(c.text, parts), c.result) << c.text;
    if (c.result != TVQ_Result::VQ_No_Err) continue;
    EXPECT_EQ(parts.UserID, c.userID) << c.text;
    EXPECT_EQ(parts.Port, c.port) << c.text;
    EXPECT_EQ(parts.Baud, c.baud) << c.text;
    EXPECT_EQ(parts.IsHost, c.host) << c.text;
    EXPECT_EQ(parts.LoopForEver, c.loop) << c.text;
    EXPECT_EQ(parts.WaitInterval, c.wait) << c.text;
  }
}

// Kinds without a transport are checked for their form and then refused
// with a clear message; nothing crashes.
TEST(SourceConnectionString, ConnectionKindsThatCannotOpen) {
  struct TCase {
    std::string text;
    TVQ_Result result;
    std::string message;
  };
  const TCase cases[] = {
      {"CAN:RACK3 CHANNEL1 TYPE=0x21", TVQ_Result::VQ_DLL_internalError,
       "CAN connections are not available in this version: CAN:RACK3 CHANNEL1 TYPE=0x21"},
      {"CAN:RACKG", TVQ_Result::VQ_Err_BadFormat, "Invalid CAN address: "},
      {"CAN:RACK1 CHANNEL4", TVQ_Result::VQ_Err_BadFormat, "Invalid CAN address: "},
      {"TCP:192.168.1.5:6000", TVQ_Result::VQ_DLL_internalError,
       "TCP-Server connections are not available in this version: TCP:192.168.1.5:6000"},
      {"TCP:192.168.1.500:6000", TVQ_Result::VQ_Err_BadFormat, "Invalid TCP-Server address: "},
      {"ARCHIVE:10.0.0.1:6001", TVQ_Result::VQ_Err_BadFormat, "TCP-Archive StartTime missing: "},
      {"ARCHIVE:10.0.0.1:6001 2026_01", TVQ_Result::VQ_Err_BadFormat, "Invalid TCP-Archive StartTime: "},
      {"ARCHIVE:10.0.0.1:6001 20260101_120000;x", TVQ_Result::VQ_Err_BadFormat, "Invalid TCP-Archive EndTime: "},
      {"ARCHIVE:10.0.0.1:6001 20260101_120000", TVQ_Result::VQ_DLL_internalError,
       "TCP-Archive connections are not available in this version: ARCHIVE:10.0.0.1:6001 20260101_120000"},
      {"HOST:/counter7", TVQ_Result::VQ_DLL_internalError,
       "Network device connections are not available in this version: HOST:/counter7"},
      {"192.168.7.7", TVQ_Result::VQ_DLL_internalError,
       "Network device connections are not available in this version: 192.168.7.7"},
      {"/no/such/file.bin", TVQ_Result::VQ_DeviceNotFound, ""},
      {"FOO:bar", TVQ_Result::VQ_Err_BadFormat, "Unknown connection kind FOO: "},
      {"HOST:/count\ner7", TVQ_Result::VQ_DLL_internalError,
       "Network device connections are not available in this version: HOST:/count\\x0Aer7"},
  };
  TSourceItem source(0, nullptr, true);
  for (const TCase& c : cases) {
    TConnectionParts parts;
    ASSERT_EQ(TSourceItem::SplitConnectionString(c.text, parts), TVQ_Result::VQ_No_Err) << c.text;
    EXPECT_EQ(source.OpenConnection(parts, false, false), c.result) << c.text;
    if (!c.message.empty()) {
      EXPECT_EQ(source.ErrorMessage(), c.message) << c.text;
    }
    EXPECT_EQ(source.GetDevType(), 255) << c.text;
  }
}

// ---- a source over a test transport --------------------------------------------------

// Frames of the simulated counter's stream.
std::string Timestamp100ms(uint32_t count) {
  std::string frame = "\xFB\xFB\xFB\xFC\x70\x16\x04";
  for (int shift = 24; shift >= 0; shift -= 8) frame += static_cast<char>(count >> shift);
  return frame;
}

std::string Measurement(uint8_t rate, double value = 1.0) {
  std::string frame = "\xFB\xFB\xFB\xFB";
  frame += static_cast<char>(rate);
  frame += '\0';
  frame += '\x01';
  char bytes[8];
  std::memcpy(bytes, &value, 8);
  return frame + std::string(bytes, 8);
}

class SourceTest : public ::testing::Test {
 protected:
  void Open(TVQ_DeviceType type) {
    device = std::make_shared<TTestDevice>(&event, SystemClock(), -1, type);
    ASSERT_EQ(source.OpenDevice(device, TConnectionParts{}, false, false), TVQ_Result::VQ_No_Err);
  }

  // Every line the source delivers now, "! " + result name for a failure.
  std::vector<std::string> Poll() {
    std::vector<std::string> lines;
    for (int guard = 0; guard < 1000; ++guard) {
      std::string line;
      int64_t deviceMs = 0;
      const TVQ_Result result = source.GetReport(line, deviceMs);
      if (result != TVQ_Result::VQ_No_Err)
        lines.push_back("! " + std::string(VQ_ResultText(result)) + " " + line);
      else if (!line.empty())
        lines.push_back(line);
      else if (device->GetBufferAmount() == 0)
        break;
    }
    return lines;
  }

  TVQ_Event event;
  TSourceItem source{1, &event, true};
  std::shared_ptr<TTestDevice> device;
};

std::vector<std::string> RateErrors(const std::vector<std::string>& lines) {
  std::vector<std::string> errors;
  for (const std::string& line : lines)
    if (line.starts_with("7F22")) errors.push_back(line);
  return errors;
}

TEST_F(SourceTest, DataRateAtHundredMillisecondTimestamps) {
  Open(TVQ_DeviceType::VQ_Simul);
  const uint8_t rate = 6;  // 100 ms: one measurement per timestamp
  // The first check after opening only arms the checks.
  device->Feed(Timestamp100ms(1) + Measurement(rate) + Measurement(rate) + Timestamp100ms(2));
  EXPECT_TRUE(RateErrors(Poll()).empty());
  device->Feed(Measurement(rate) + Timestamp100ms(3) + Measurement(rate) + Measurement(rate) + Timestamp100ms(4) +
               Timestamp100ms(5));
  EXPECT_EQ(RateErrors(Poll()), (std::vector<std::string>{"7F22: Timestamp missing: expected 1, found 2",
                                                          "7F22: Measurement missing: expected 1, found 0"}));
}

// A problem found on a full second follows its 7015 line.
TEST_F(SourceTest, DataRateOnAFullSecondFollowsTheSecond) {
  Open(TVQ_DeviceType::VQ_Simul);
  const uint8_t rate = 6;
  device->Feed(Timestamp100ms(8) + Measurement(rate) + Timestamp100ms(9) + Measurement(rate) + Timestamp100ms(10));
  const std::vector<std::string> armed = Poll();
  device->Feed(Measurement(rate) + Measurement(rate) + Timestamp100ms(20));
  const std::vector<std::string> lines = Poll();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "7015; 2");
  EXPECT_EQ(lines.back(), "7F22: Timestamp missing: expected 1, found 2");
}

// A steady simulated counter never gives a 7F22 line, at any rate: the
// 7015 lines it makes of full-second 100 ms timestamps are checked by the
// 100 ms rules.
TEST(SourceDataRate, SteadySimulatedCounterAtEveryRate) {
  for (uint8_t rate = 0; rate <= 13; ++rate) {
    TVQ_Event event;
    TSourceItem source(2, &event, true);
    auto simulator = std::make_shared<TVQ_SimulDevice>(-1, 2, &event, true);
    simulator->SetRandomSeed(rate);
    ASSERT_TRUE(simulator->OpenPortStepped());
    ASSERT_EQ(source.OpenDevice(simulator, TConnectionParts{}, false, false), TVQ_Result::VQ_No_Err);
    std::string command(1, static_cast<char>(0x20 + rate));
    ASSERT_EQ(source.SendCommand(command), TVQ_Result::VQ_No_Err) << command;

    const int intervalMs = static_cast<int>(VQ_IntervalTableMs[rate]);
    const int passes = 400 + 6 * (intervalMs / 100);
    int measurements = 0;
    std::vector<std::string> errors;
    for (int pass = 0; pass < passes; ++pass) {
      simulator->StepWorker();
      for (;;) {
        std::string line;
        int64_t deviceMs = 0;
        ASSERT_EQ(source.GetReport(line, deviceMs), TVQ_Result::VQ_No_Err) << line;
        if (line.empty()) break;
        if (line.starts_with("7F22")) errors.push_back(line);
        if (line.starts_with(ReportCodeText(static_cast<uint16_t>(rate << 8)) + ";")) ++measurements;
      }
    }
    EXPECT_TRUE(errors.empty()) << "rate " << int(rate) << ": " << errors.front();
    EXPECT_GE(measurements, 3) << "rate " << int(rate);
    source.CloseConnection();
  }
}

// A device error that every poll finds again is delivered once; after a
// poll without error it counts as new.
TEST_F(SourceTest, RepeatedDeviceErrorIsDeliveredOnce) {
  Open(TVQ_DeviceType::VQ_Simul);
  const auto pollOnce = [&] {
    std::string line;
    int64_t deviceMs = 0;
    const TVQ_Result result = source.GetReport(line, deviceMs);
    return std::string(VQ_ResultText(result)) + " " + line;
  };
  std::vector<std::string> seen;
  for (const char* error : {"broken frame", "broken frame", "broken frame", "another"}) {
    device->SetError(TVQ_Result::VQ_Err_BadFormat, error);
    seen.push_back(pollOnce());
  }
  seen.push_back(pollOnce());  // no error
  device->SetError(TVQ_Result::VQ_Err_BadFormat, "another");
  seen.push_back(pollOnce());
  EXPECT_EQ(seen, (std::vector<std::string>{"VQ_Err_BadFormat broken frame", "VQ_No_Err ", "VQ_No_Err ",
                                            "VQ_Err_BadFormat another", "VQ_No_Err ", "VQ_Err_BadFormat another"}));
}

TEST_F(SourceTest, ClearedBufferGivesBufferClearedThenTheReportRead) {
  Open(TVQ_DeviceType::VQ_Simul);
  device->Feed(Timestamp100ms(9));  // thrown away by the clear
  device->ClearReceiveBuffer();
  device->Feed(Timestamp100ms(10));
  EXPECT_EQ(Poll(), (std::vector<std::string>{"7022; Buffer cleared", "7015; 1"}));
}

TEST_F(SourceTest, LostConnectionClosesThePort) {
  Open(TVQ_DeviceType::VQ_Simul);
  device->SetClosedOnCheck(true);
  EXPECT_EQ(Poll(), std::vector<std::string>{"! VQ_DeviceNotConnected No connection to device. Port closed"});
  EXPECT_FALSE(device->PortIsOpened());
  std::string command = "\x01";
  EXPECT_EQ(source.SendCommand(command), TVQ_Result::VQ_CmdIgnored);
  EXPECT_EQ(command, "No connection, Command ignored: 01");
}

TEST_F(SourceTest, FailedOpenWithoutDeviceErrorIsAFailure) {
  auto failing = std::make_shared<TTestDevice>(&event, SystemClock(), -1, TVQ_DeviceType::VQ_Simul);
  failing->SetOpenFails(true);
  EXPECT_NE(source.OpenDevice(failing, TConnectionParts{}, false, false), TVQ_Result::VQ_No_Err);
  EXPECT_FALSE(source.ErrorMessage().empty());
  EXPECT_EQ(source.GetDevType(), 255);
}

TEST_F(SourceTest, RefusedCommandsNeverReachTheCounter) {
  // A first report ends the too-many-users check of a serial line at once.
  device = std::make_shared<TTestDevice>(&event, SystemClock(), -1, TVQ_DeviceType::VQ_Serial);
  device->Feed(BuildSerialFrame(BinaryReport(VQ_Code::Tick), 0xBD));
  ASSERT_EQ(source.OpenDevice(device, TConnectionParts{}, false, false), TVQ_Result::VQ_No_Err);
  std::string command("\x01\x00", 2);
  EXPECT_EQ(source.SendCommand(command), TVQ_Result::VQ_CmdIgnored);
  EXPECT_EQ(command, "Ignore invalid command: 0100");
  command = "\x85\x10";
  EXPECT_EQ(source.SendCommand(command), TVQ_Result::VQ_CmdIgnored);
  EXPECT_EQ(command, "Serial connection: Command not supported: 8510");
  Poll();
  for (const std::string& written : device->Written()) {
    EXPECT_NE(written, std::string("\x01\x00", 2));
    EXPECT_NE(written, "\x85\x10");
  }
}

// The stream logs open with the library's header, and the device writes its
// report and frame lines into the logs this source was given, whatever
// numbers other threads took meanwhile.
TEST_F(SourceTest, StreamLogsCarryTheHeaderAndReachTheDevice) {
  TTempFolder folder;
  ASSERT_EQ(source.SetOutputPath(folder.Path().string()), "");
  ASSERT_EQ(source.SetDebugLogStream(true, "S", false), "");
  const std::string header = "VQ-DLL Version: 20.2.5 24-08-09, ReportLog=False, LowLevelLog=False";
  for (const int id : {source.StreamLogId(), source.StreamDbgLogId()}) {
    const std::vector<std::string> lines = TextLines(ReadFile(GetLogFileName(id)));
    ASSERT_GE(lines.size(), 4u) << GetLogFileName(id);
    EXPECT_EQ(lines[2].substr(TLogger::kPrefixLength), header + "\r");
    EXPECT_EQ(lines[3].substr(TLogger::kPrefixLength), "\r");
  }
  EXPECT_NE(GetLogFileName(source.StreamLogId()).find("VQ_Stream_LOG_S_"), std::string::npos);
  EXPECT_NE(GetLogFileName(source.StreamDbgLogId()).find("VQ_StreamDbg_LOG_S_"), std::string::npos);

  NewLog();  // another thread's log between this source's and its device's
  Open(TVQ_DeviceType::VQ_Simul);
  EXPECT_EQ(device->ReportLogId(), source.StreamLogId());
  EXPECT_EQ(device->FrameLogId(), source.StreamDbgLogId());
  source.SetDebugLogStream(false, "S", false);
}

// A local counter shared by several users says so in its first report; the
// check runs before any poll can see the device. Any other first report is
// kept for the first poll.
TEST(SourceTooManyUsers, FirstReportDecides) {
  struct TCase {
    std::string report;
    TVQ_Result result;
    std::string firstLine;
  };
  const std::string second = BinaryReport(VQ_Code::Timestamp, std::string("\0\0\0\x05", 4));
  const TCase cases[] = {
      {BinaryReport(VQ_Code::UserIdInUse, "Too many users"), TVQ_Result::VQ_TooManyUser, ""},
      {second, TVQ_Result::VQ_No_Err, "7015; 5"},
  };
  for (const TCase& c : cases) {
    TVQ_Event event;
    TSourceItem source(3, &event, true);
    auto device = std::make_shared<TTestDevice>(&event, SystemClock(), -1, TVQ_DeviceType::VQ_CDC);
    device->Feed(BuildUsbFrame(c.report));
    ASSERT_EQ(source.OpenDevice(device, TConnectionParts{}, false, false), c.result) << source.ErrorMessage();
    if (c.result != TVQ_Result::VQ_No_Err) {
      EXPECT_EQ(source.ErrorMessage(), "7FFA: Too many users");
      EXPECT_EQ(source.GetDevType(), 255);
      EXPECT_FALSE(device->PortIsOpened());
      continue;
    }
    std::string line;
    int64_t deviceMs = 0;
    ASSERT_EQ(source.GetReport(line, deviceMs), TVQ_Result::VQ_No_Err);
    EXPECT_EQ(line, c.firstLine);
  }
}

}  // namespace
