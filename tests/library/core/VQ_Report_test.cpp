#include "library/core/VQ_Report.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "library/core/LogUnit.h"
#include "library/core/VQ_DllCommon.h"
#include "library/core/VQ_SerialFrame.h"
#include "library/core/VQ_UsbFrame.h"
#include "support/EspRecordBuilder.h"
#include "support/FileText.h"
#include "support/TempFolder.h"
#include "support/TestDevice.h"

namespace {

using namespace std::chrono_literals;

std::vector<std::string> ReadLines(const std::string& path) { return TextLines(ReadFile(path)); }

// Every report the layer delivers now, as the fixtures write them. A call
// that delivers nothing may still have consumed bytes (a dropped error, a
// skipped frame end): draining ends only when a call changes nothing.
void Drain(TTestDevice& device, TVQ_ReportDevice& layer, std::vector<std::string>& out) {
  for (int guard = 0; guard < 10000; ++guard) {
    std::string report;
    const uint32_t before = device.GetBufferAmount();
    const TVQ_Result result = layer.GetReport(report);
    if (result != TVQ_Result::VQ_No_Err) {
      out.push_back("! " + std::string(VQ_ResultText(result)));
      continue;
    }
    if (!report.empty())
      out.push_back(HexDump(report));
    else if (device.GetBufferAmount() == before)
      return;
  }
  FAIL() << "the report layer never ran dry";
}

struct TFixture {
  const char* kind;
  const char* name;
  TVQ_DeviceType device;
};

// Each fixture fed whole, and split in two at every byte: a frame that has
// only partly arrived must wait, never fail or be lost.
TEST(ReportLayerFixtures, SameReportsWholeAndSplitAtEveryByte) {
  const TFixture fixtures[] = {
      {"usb", "stream", TVQ_DeviceType::VQ_CAN_Rack},
      {"usb", "resync", TVQ_DeviceType::VQ_CAN_Rack},
      {"serial", "stream", TVQ_DeviceType::VQ_Serial},
      {"tcp", "stream", TVQ_DeviceType::VQ_TCP_Device},
      {"tcp", "resync", TVQ_DeviceType::VQ_TCP_Device},
      {"simulated", "stream", TVQ_DeviceType::VQ_Simul},
      {"archive", "stream", TVQ_DeviceType::VQ_TCP_Archive},
  };
  for (const TFixture& f : fixtures) {
    const std::string base = std::string(ZEP_FIXTURES_DIR) + "/" + f.kind + "/" + f.name;
    const std::string stream = ReadFile(base + ".bin");
    const std::vector<std::string> expected = ReadLines(base + ".reports");
    ASSERT_FALSE(stream.empty()) << base;
    for (std::size_t split = 0; split <= stream.size(); ++split) {
      TVQ_Event event;
      TTestDevice device(&event, SystemClock(), -1, f.device);
      TVQ_ReportDevice layer(device, 0);
      std::vector<std::string> reports;
      device.Feed(stream.substr(0, split));
      Drain(device, layer, reports);
      device.Feed(stream.substr(split));
      Drain(device, layer, reports);
      ASSERT_EQ(reports, expected) << base << " split at " << split;
    }
  }
}

// A recorded binary file is detected on its first read, when the file device
// has put a whole portion into the buffer: fed whole, it must give the reports
// of its stream.
TEST(ReportLayerFixtures, RecordedBinaryFilesAreDetected) {
  const TFixture fixtures[] = {
      {"usb", "stream", TVQ_DeviceType::VQ_BinFile},     {"usb", "cut", TVQ_DeviceType::VQ_BinFile},
      {"usb", "damaged", TVQ_DeviceType::VQ_BinFile},    {"serial", "stream", TVQ_DeviceType::VQ_BinFile},
      {"serial", "cut", TVQ_DeviceType::VQ_BinFile},     {"serial", "damaged", TVQ_DeviceType::VQ_BinFile},
      {"esp", "stream", TVQ_DeviceType::VQ_BinFile},     {"esp", "cut", TVQ_DeviceType::VQ_BinFile},
      {"esp", "damaged", TVQ_DeviceType::VQ_BinFile},
  };
  for (const TFixture& f : fixtures) {
    const std::string base = std::string(ZEP_FIXTURES_DIR) + "/" + f.kind + "/" + f.name;
    TVQ_Event event;
    TTestDevice device(&event, SystemClock(), -1, f.device);
    TVQ_ReportDevice layer(device, 0);
    device.Feed(ReadFile(base + ".bin"));
    std::vector<std::string> reports;
    Drain(device, layer, reports);
    EXPECT_EQ(reports, ReadLines(base + ".reports")) << base;
    EXPECT_EQ(device.PeerType(), f.kind == std::string("esp") ? TVQ_PeerType::ptESP : TVQ_PeerType::ptColdfire);
  }
}

TEST(ReportLayerFiles, TextFilesDeliverLinesAndTheirIdentity) {
  TVQ_Event event;
  TTestDevice device(&event, SystemClock(), -1, TVQ_DeviceType::VQ_TxtFile);
  TVQ_ReportDevice layer(device, 0);
  device.Feed("7016; 50\r\n0600; 1.5\r\n0600; 2.5\r\n7000;");
  std::vector<std::string> lines;
  for (int i = 0; i < 5; ++i) {
    std::string line;
    if (layer.GetReport(line) == TVQ_Result::VQ_No_Err && !line.empty()) lines.push_back(line);
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"7016; 50", "0600; 1.5", "0600; 2.5", "7000;"}));
  EXPECT_EQ(layer.DeviceMs(), 5100);
}

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

// After an error the place to read on is looked for in growing stretches of
// what is held: wherever it lies, near or far, the next frame comes out whole.
TEST(ReportLayerResync, NextFrameIsFoundNearOrFarAfterTheError) {
  struct TFraming {
    const char* name;
    TVQ_DeviceType type;
    TVQ_PeerType peer;
    std::string bad;    // starts with what the framing refuses
    char filler;        // holds no place to resume
    std::string frame;  // where reading resumes
    std::string report;
  };
  const std::string stamp = Bytes({0x70, 0x15, 0, 0, 0, 9});
  const TFraming framings[] = {
      {"USB", TVQ_DeviceType::VQ_CAN_Rack, TVQ_PeerType::ptColdfire, Bytes({0x00, 0xBE}), '\x11',
       "\xBF" + BuildUsbFrame(stamp), HexDump(stamp)},
      {"TCP", TVQ_DeviceType::VQ_TCP_Device, TVQ_PeerType::ptUnknown, "x", 'y', "\x01" "4\x02" "7000", HexDump("7000")},
      {"ESP", TVQ_DeviceType::VQ_CAN_Rack, TVQ_PeerType::ptESP, "PAV2\x72\x19", 'z',
       EspRecordBuilder(0x72).Flags(9).Bytes(), "701600000009"},
  };
  for (const TFraming& f : framings) {
    for (const std::size_t distance : {std::size_t{0}, std::size_t{250}, std::size_t{256}, std::size_t{5000}, std::size_t{70000}}) {
      TVQ_Event event;
      TTestDevice device(&event, SystemClock(), -1, f.type);
      device.SetPeer(f.peer);
      TVQ_ReportDevice layer(device, 0);
      device.Feed(f.bad + std::string(distance, f.filler) + f.frame);
      std::vector<std::string> reports;
      Drain(device, layer, reports);
      EXPECT_EQ(reports, (std::vector<std::string>{"! VQ_Err_BadFormat", f.report})) << f.name << " " << distance;
    }
  }
}

TEST(ReportLayerUsb, FirstFormatErrorAfterOpeningIsDropped) {
  TVQ_Event event;
  TTestDevice device(&event, SystemClock(), -1, TVQ_DeviceType::VQ_CDC);
  TVQ_ReportDevice layer(device, 0);
  std::string bad = BuildUsbFrame(Bytes({0x70, 0x00}));
  bad[4] = static_cast<char>(bad[4] + 1);
  device.Feed(bad + bad + BuildUsbFrame(Bytes({0x70, 0x15, 0, 0, 0, 1})));
  std::vector<std::string> reports;
  Drain(device, layer, reports);
  EXPECT_EQ(reports, (std::vector<std::string>{"! VQ_Err_BadFormat", "701500000001"}));
}

TEST(ReportLayerUsb, DeviceErrorIsReturnedWithItsMessageOnce) {
  TVQ_Event event;
  TTestDevice device(&event, SystemClock(), -1, TVQ_DeviceType::VQ_CDC);
  TVQ_ReportDevice layer(device, 0);
  device.SetError(TVQ_Result::VQ_Err_ReceiveBufferOverflow, "overflow");
  std::string report;
  EXPECT_EQ(layer.GetReport(report), TVQ_Result::VQ_Err_ReceiveBufferOverflow);
  EXPECT_EQ(report, "overflow");
  EXPECT_EQ(layer.GetReport(report), TVQ_Result::VQ_No_Err);
  EXPECT_EQ(report, "");
}

TEST(ReportLayerUsb, TimestampsFollowTheCounterClock) {
  TVQ_Event event;
  TTestDevice device(&event, SystemClock(), -1, TVQ_DeviceType::VQ_CDC);
  TVQ_ReportDevice layer(device, 0);
  device.Feed(BuildUsbFrame(Bytes({0x70, 0x16, 0, 0, 0, 50})) + BuildUsbFrame(Bytes({0x06, 0x00, 1})) +
              BuildUsbFrame(Bytes({0x06, 0x00, 2})));
  std::vector<std::string> reports;
  Drain(device, layer, reports);
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(layer.DeviceMs(), 5100);
}

TEST(ReportLayerTcp, ArchiveRecordWaitsForItsRest) {
  TVQ_Event event;
  TTestDevice device(&event, SystemClock(), -1, TVQ_DeviceType::VQ_TCP_Archive);
  TVQ_ReportDevice layer(device, 0);
  std::string report;
  device.Feed(Bytes({6, 0x70, 0x15, 0}));
  EXPECT_EQ(layer.GetReport(report), TVQ_Result::VQ_No_Err);
  EXPECT_EQ(report, "");
  device.Feed(Bytes({0, 0, 9}));
  EXPECT_EQ(layer.GetReport(report), TVQ_Result::VQ_No_Err);
  EXPECT_EQ(HexDump(report), "701500000009");
  EXPECT_EQ(layer.DeviceMs(), 9000);
}

// ---- counter identity from Coldfire version reports --------------------------------

struct TIdentity {
  int firmware;
  std::string fpga;
  uint32_t serial;
  uint8_t user;
  uint16_t feature;
};

struct TVersionCase {
  const char* name;
  std::string version;  // after the code 7001
  TIdentity fromFrames;  // USB and serial frames
  TIdentity fromLine;    // the 7001VERSION line of a text recording
};

constexpr uint32_t kNoSerial = TVQ_BaseDevice::kUnknownSerial;
constexpr uint8_t kNoUser = TVQ_BaseDevice::kNoUserID;

const TVersionCase kVersionCases[] = {
    {"PAW with option S", "VERSION PAW: 75 S CF 12-03-20 / FPGA1 / 1A2B3C4D / 10.0.0.5 / U User2\r\n",
     {75, "FPGA1", 0x1A2B3C4D, 2, 0x2005}, {75, "", 0x1A2B3C4D, kNoUser, 0x2005}},
    {"QMT only", "VERSION QMT: 60 CF 01-02-21 / F2 / 00000042 / x", {60, "F2", 0x42, kNoUser, 0x0002},
     {60, "", 0x42, kNoUser, 0x0002}},
    {"PAV with every option", "VERSION PAV: 123 USF CF D / FPGA1 / 1A2B3C4D / 10.0.0.5 / e",
     {123, "FPGA1", 0x1A2B3C4D, kNoUser, 0x4007}, {123, "", 0x1A2B3C4D, kNoUser, 0x4007}},
    {"before serial numbers", "VERSION PAV: 39 CF D / F / 1A2B3C4D / 10.0.0.5 / e", {39, "F", kNoSerial, kNoUser, 0x0001},
     {39, "", 0x1A2B3C4D, kNoUser, 0x0001}},
    // Nothing is learnt from a report that does not parse; the user ID still is.
    {"unparsable", "VERSION garbage User3", {0, "", kNoSerial, 3, 0}, {0, "", kNoSerial, kNoUser, 0}},
};

TIdentity IdentityOf(const TTestDevice& device) {
  return {device.FirmwareVersionNumber(), device.FPGAVersion(), device.GetSerialNumberValue(), device.GetUserID(),
          device.HardFeature()};
}

void ExpectIdentity(const TTestDevice& device, const TIdentity& expected, const std::string& what) {
  const TIdentity found = IdentityOf(device);
  EXPECT_EQ(found.firmware, expected.firmware) << what;
  EXPECT_EQ(found.fpga, expected.fpga) << what;
  EXPECT_EQ(found.serial, expected.serial) << what;
  EXPECT_EQ(found.user, expected.user) << what;
  EXPECT_EQ(found.feature, expected.feature) << what;
}

// Every framing of a Coldfire counter, live and recorded: the version report
// goes up and its identity reaches the device, a second one (unasked) is
// dropped without changing it, and a 7901 report ends the command delay.
TEST(ReportLayerIdentity, ColdfireVersionReportsReachTheDeviceThroughEveryFraming) {
  struct TFraming {
    const char* name;
    TVQ_DeviceType device;
    bool serial;
  };
  const TFraming framings[] = {
      {"USB", TVQ_DeviceType::VQ_CDC, false},
      {"serial line", TVQ_DeviceType::VQ_Serial, true},
      {"USB recording", TVQ_DeviceType::VQ_BinFile, false},
      {"serial recording", TVQ_DeviceType::VQ_BinFile, true},
  };
  const std::string pvh = Bytes({0x79, 0x01, 0, 0, 0, 5});
  const std::string tick = Bytes({0x70, 0x00});
  for (const TFraming& f : framings) {
    for (const TVersionCase& c : kVersionCases) {
      const std::string what = std::string(f.name) + ", " + c.name;
      const std::string version = "\x70\x01" + c.version;
      const std::string repeated = "\x70\x01VERSION PAV: 99 CF X / X / 00000001 / x";
      std::string stream;
      int end = 0xBF;
      for (const std::string& payload : {version, repeated, pvh, tick}) {
        stream += f.serial ? BuildSerialFrame(payload, static_cast<uint8_t>(end)) : BuildUsbFrame(payload);
        end ^= 0x02;  // the serial line alternates its frame ends
      }
      TVQ_Event event;
      TTestDevice device(&event, SystemClock(), -1, f.device);
      device.SetDelayNextCmdMs(500);
      TVQ_ReportDevice layer(device, 0);
      device.Feed(stream);
      std::vector<std::string> reports;
      Drain(device, layer, reports);
      EXPECT_EQ(reports, (std::vector<std::string>{HexDump(version), HexDump(pvh), HexDump(tick)})) << what;
      ExpectIdentity(device, c.fromFrames, what);
      EXPECT_EQ(device.GetDelayNextCmdMs(), 0) << what;
      EXPECT_EQ(layer.VersionInfo().GetIsQMTonly(), c.fromFrames.feature == 0x0002) << what;
    }
  }
}

TEST(ReportLayerIdentity, TextRecordingsHandTheirVersionLineToTheDevice) {
  for (const TVersionCase& c : kVersionCases) {
    TVQ_Event event;
    TTestDevice device(&event, SystemClock(), -1, TVQ_DeviceType::VQ_TxtFile);
    TVQ_ReportDevice layer(device, 0);
    std::string text = c.version;
    while (!text.empty() && static_cast<unsigned char>(text.back()) < ' ') text.pop_back();
    device.Feed("7001" + text + "\r\n7000;\r\n");
    std::vector<std::string> lines;
    for (int i = 0; i < 4; ++i) {
      std::string line;
      if (layer.GetReport(line) == TVQ_Result::VQ_No_Err && !line.empty()) lines.push_back(line);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"7001" + text, "7000;"})) << c.name;
    ExpectIdentity(device, c.fromLine, c.name);
  }
}

// ---- commands ------------------------------------------------------------------

TEST(ReportLayerCommands, WrittenAtOnceOrQueuedInOrder) {
  TVQ_Event event;
  TVQ_ManualClock clock;
  TTestDevice device(&event, clock, -1, TVQ_DeviceType::VQ_CDC);
  TVQ_ReportDevice layer(device, 0);
  std::string report;

  EXPECT_EQ(layer.SendCommand("\x05"), TVQ_Result::VQ_No_Err);  // no command list of its own: queued
  EXPECT_EQ(layer.GetPendingCmdsCount(), 1);
  device.SetDelayNextCmdMs(500);
  EXPECT_EQ(layer.SendCommand("\x06"), TVQ_Result::VQ_No_Err);
  EXPECT_EQ(layer.GetReport(report), TVQ_Result::VQ_No_Err);  // reading: commands waiting -> command turn next
  EXPECT_EQ(layer.GetReport(report), TVQ_Result::VQ_No_Err);  // delay still running: nothing written
  EXPECT_TRUE(device.Written().empty());

  clock.Advance(500ms);
  for (int i = 0; i < 4; ++i) layer.GetReport(report);
  EXPECT_EQ(device.Written(), (std::vector<std::string>{"\x05", "\x06"}));
  EXPECT_EQ(layer.GetPendingCmdsCount(), 0);
}

TEST(ReportLayerCommands, DeviceWithItsOwnListWritesAtOnceAndFailuresAreErrors) {
  TVQ_Event event;
  TTestDevice device(&event, SystemClock(), -1, TVQ_DeviceType::VQ_CDC);
  device.SetHasCommandList(true);
  TVQ_ReportDevice layer(device, 0);
  EXPECT_EQ(layer.SendCommand("\x81"), TVQ_Result::VQ_No_Err);
  EXPECT_EQ(device.Written(), std::vector<std::string>{"\x81"});

  device.SetWriteOutcome(TTestDevice::TWriteOutcome::kFailSilently);
  EXPECT_EQ(layer.SendCommand("\x02"), TVQ_Result::VQ_WriteError);  // never a silent success
  device.SetWriteOutcome(TTestDevice::TWriteOutcome::kFailError);
  EXPECT_EQ(layer.SendCommand("\x02"), TTestDevice::WriteErrorCode);
}

TEST(ReportLayerCommands, ReplayedFilesDropCommands) {
  TVQ_Event event;
  TTestDevice device(&event, SystemClock(), -1, TVQ_DeviceType::VQ_BinFile);
  TVQ_ReportDevice layer(device, 0);
  layer.SendCommand("\x05");
  std::string report;
  layer.GetReport(report);
  layer.GetReport(report);
  EXPECT_EQ(layer.GetPendingCmdsCount(), 0);
  EXPECT_TRUE(device.Written().empty());
}

// ---- log lines ---------------------------------------------------------------------

// A device's debug log and the report log its owner gives it, written to
// files named after the case and read once closed.
class ReportLayerLog : public ::testing::Test {
 protected:
  void Open(const std::string& name) {
    FName = name;
    SetLogFile(logId, folder.File(name + ".device.log"), false);
    SetLogFile(reportLogId, folder.File(name + ".report.log"), false);
  }
  // The device log, then the report log.
  std::pair<std::string, std::string> Close() {
    SetLogFile(logId, "", false);
    SetLogFile(reportLogId, "", false);
    return {ReadFile(folder.File(FName + ".device.log")), ReadFile(folder.File(FName + ".report.log"))};
  }

  TTempFolder folder;
  const int logId = NewLog();
  const int reportLogId = NewLog();
  TVQ_Event event;
  TVQ_ManualClock clock;

 private:
  std::string FName;
};

TEST_F(ReportLayerLog, TcpFormatErrorsTellWhereTheMessageStartAndLengthEndAre) {
  Open("tcp");
  TTestDevice device(&event, clock, logId, TVQ_DeviceType::VQ_TCP_Device);
  TVQ_ReportDevice layer(device, 7, clock);
  device.Feed("ab\x01" "3\x02" "abc" "\x01" "1x\x02" "abc" "\x01" "2\x02" "ok");
  std::vector<std::string> reports;
  Drain(device, layer, reports);
  EXPECT_EQ(reports,
            (std::vector<std::string>{"! VQ_Err_BadFormat", HexDump("abc"), "! VQ_Err_BadFormat", HexDump("ok")}));
  const std::string log = Close().first;
  EXPECT_NE(log.find("TVQ_ReportDevice[7].TCPGetReport.FormatError i01=3, i02=5, s=6162013302616263"),
            std::string::npos) << log;
  EXPECT_NE(log.find("TVQ_ReportDevice[7].TCPGetReport.FormatError sub(len)=1x"), std::string::npos) << log;
}

// A command written by the command step is logged with the tick count, and
// noted between the reports except where the device kind leaves it out.
TEST_F(ReportLayerLog, CommandStepLogsTheTickAndNotesTheCommandWhereWanted) {
  struct TCase {
    const char* name;
    TVQ_DeviceType type;
    TVQ_PeerType peer;
    bool noted;
  };
  const TCase cases[] = {
      {"HID", TVQ_DeviceType::VQ_HID, TVQ_PeerType::ptColdfire, true},
      {"CDC", TVQ_DeviceType::VQ_CDC, TVQ_PeerType::ptColdfire, false},
      {"TCP", TVQ_DeviceType::VQ_TCP_Device, TVQ_PeerType::ptUnknown, true},
      {"ESP on a serial line", TVQ_DeviceType::VQ_Serial, TVQ_PeerType::ptESP, false},
  };
  clock.Advance(std::chrono::milliseconds(123456));
  for (const TCase& c : cases) {
    Open(c.name);
    TTestDevice device(&event, clock, logId, c.type);
    device.SetStreamLogIds(reportLogId, -1);
    device.SetPeer(c.peer);
    TVQ_ReportDevice layer(device, 0, clock);
    ASSERT_EQ(layer.SendCommand("\x05\x2A"), TVQ_Result::VQ_No_Err) << c.name;
    std::string report;
    layer.GetReport(report);  // nothing to read; the command waits
    layer.GetReport(report);  // the command step writes it
    EXPECT_EQ(device.Written(), std::vector<std::string>{"\x05\x2A"}) << c.name;
    const auto [log, reportLog] = Close();
    EXPECT_NE(log.find(".BaseProcessCommand: cmd=052A now=123456"), std::string::npos) << c.name << "\n" << log;
    EXPECT_EQ(log.find("{052A}") != std::string::npos, c.noted) << c.name;
    EXPECT_EQ(reportLog.find("{052A}") != std::string::npos, c.noted) << c.name;
  }
}

// ---- serial line -----------------------------------------------------------------

std::string SerialFrame(const std::string& payload, int end) {
  return BuildSerialFrame(payload, static_cast<uint8_t>(end));
}

class ReportLayerSerial : public ::testing::Test {
 protected:
  std::string Read() {
    std::string report;
    last = layer.GetReport(report);
    return report;
  }
  std::vector<std::string> WrittenHex() const {
    std::vector<std::string> out;
    for (const std::string& w : device.Written()) out.push_back(HexDump(w));
    return out;
  }

  TVQ_Event event;
  TVQ_ManualClock clock;
  TTestDevice device{&event, clock, -1, TVQ_DeviceType::VQ_Serial};
  TVQ_ReportDevice layer{device, 0, clock};
  TVQ_Result last = TVQ_Result::VQ_No_Err;
};

TEST_F(ReportLayerSerial, FramesAreAnsweredAndSilenceIsPolled) {
  std::string bad = SerialFrame(Bytes({0x70, 0x00}), 0xBF);
  bad[2] = 0x01;
  device.Feed(SerialFrame(Bytes({0x70, 0x00}), 0xBD));
  EXPECT_EQ(HexDump(Read()), "7000");
  device.Feed(bad);
  EXPECT_EQ(Read(), "");
  device.Feed("\xBF");  // the counter repeats its frame end: the NAK again
  EXPECT_EQ(Read(), "");
  EXPECT_EQ(WrittenHex(), (std::vector<std::string>{"BD", "BE", "BE"}));

  device.Feed(Bytes({0x04, 0x70}));  // a frame stops half-way
  Read();
  clock.Advance(std::chrono::milliseconds(1001));
  Read();
  EXPECT_EQ(WrittenHex().back(), "BC");
  device.Feed(SerialFrame(Bytes({0x70, 0x00}), 0xBF));  // the partial frame is gone
  EXPECT_EQ(HexDump(Read()), "7000");
}

TEST_F(ReportLayerSerial, CommandTakesTheAnswerSlotAndIsEchoed) {
  layer.SendCommand("\x81\x05");
  device.Feed(SerialFrame(Bytes({0x70, 0x00}), 0xBD));
  EXPECT_EQ(HexDump(Read()), "7000");
  EXPECT_EQ(WrittenHex(), std::vector<std::string>{"81"});  // first character instead of the answer
  device.Feed("\x81");
  Read();
  device.Feed("\x05");
  Read();
  EXPECT_EQ(WrittenHex(), (std::vector<std::string>{"81", "05", "BD"}));
  EXPECT_TRUE(layer.SerialBufferCleared());
  EXPECT_FALSE(layer.SerialBufferCleared());
  device.Feed(SerialFrame(Bytes({0x70, 0x00}), 0xBF));
  EXPECT_EQ(HexDump(Read()), "7000");
}

TEST_F(ReportLayerSerial, WrongEchoRestartsAndToolCommandsClearNothing) {
  layer.SendCommand("\x85\x38");
  device.Feed(SerialFrame(Bytes({0x70, 0x00}), 0xBD));
  Read();
  device.Feed("\x85\x39");  // last character echoed wrong
  Read();
  device.Feed("\x85\x38");
  Read();
  EXPECT_EQ(WrittenHex(), (std::vector<std::string>{"85", "38", "85", "38", "BD"}));
  EXPECT_FALSE(layer.SerialBufferCleared());
}

TEST_F(ReportLayerSerial, LostEchoGivesTheCommandUpAfterASecond) {
  layer.SendCommand("\x02\x03");
  device.Feed(SerialFrame(Bytes({0x70, 0x00}), 0xBD));
  Read();
  EXPECT_EQ(Read(), "");
  EXPECT_EQ(last, TVQ_Result::VQ_No_Err);
  clock.Advance(std::chrono::milliseconds(1100));
  EXPECT_EQ(Read(), "Serial command not echoed: 0203");
  EXPECT_EQ(last, TVQ_Result::VQ_CmdIgnored);
  EXPECT_EQ(WrittenHex(), (std::vector<std::string>{"02", "BD"}));  // the answer goes out after all
  device.Feed(SerialFrame(Bytes({0x70, 0x00}), 0xBF));
  EXPECT_EQ(HexDump(Read()), "7000");
}

}  // namespace
