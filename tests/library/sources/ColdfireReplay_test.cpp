#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "library/core/VQ_SerialFrame.h"
#include "library/core/VQ_UsbFrame.h"
#include "library/sources/MultiSource.h"
#include "support/FileText.h"
#include "support/TempFolder.h"

// A replayed recording of a Coldfire counter, through the library's public
// interface: what its version report says the counter is decides which
// commands the source lets through and whether it counts as QMT-only.

namespace {

using namespace std::chrono_literals;

// Sources live as long as the library, so the event they signal must too.
TVQ_Event gReplayEvent;

std::string Binary(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

// The version report, then enough reports that the replay is still running
// when the version line has been read.
std::vector<std::string> Payloads(const std::string& versionText) {
  std::vector<std::string> payloads{"\x70\x01" + versionText};
  for (int second = 1; second <= 5; ++second) {
    payloads.push_back(Binary({0x70, 0x15, 0, 0, 0, second}));
    payloads.push_back(Binary({0x09, 0x00, 0x12, 0x34}));
  }
  return payloads;
}

std::string UsbRecording(const std::string& versionText) {
  std::string bytes;
  for (const std::string& payload : Payloads(versionText)) bytes += BuildUsbFrame(payload);
  return bytes;
}

std::string SerialRecording(const std::string& versionText) {
  std::string bytes;
  uint8_t end = 0xBF;
  for (const std::string& payload : Payloads(versionText)) {
    bytes += BuildSerialFrame(payload, end);
    end ^= 0x02;  // the line alternates its frame ends
  }
  return bytes;
}

std::string TextRecording(const std::string& versionText) {
  std::string text = "7001" + versionText + "\r\n";
  for (int second = 1; second <= 5; ++second) text += "7015; " + std::to_string(second) + "\r\n0900; 1.5\r\n";
  return text;
}

struct TCommandOutcome {
  std::string command;
  int code;
};

struct TReplayCase {
  const char* name;
  const char* file;
  std::string content;
  uint16_t feature;
  int firmware;
  int64_t serial;
  bool qmtOnly;
  std::vector<TCommandOutcome> commands;
};

TEST(ColdfireReplay, IdentityFromTheVersionReportDecidesTheCommandsAndQmtOnly) {
  const std::string pawS = "VERSION PAW: 75 S CF 12-03-20 / FPGA1 / 1A2B3C4D / 10.0.0.5 / e User1";
  const std::string pav = "VERSION PAV: 80 CF 12-03-20 / FPGA1 / 00C0FFEE / 10.0.0.5 / e";
  const std::string qmt = "VERSION QMT: 60 CF 01-02-21 / F2 / 00000042 / x";
  const std::string cmd16 = Binary({0x10, 0, 0, 1});
  const TReplayCase cases[] = {
      // A PAW counter with option S takes the PAW commands and the long 16.
      {"PAW, option S, USB", "paw.bin", UsbRecording(pawS), 0x2005, 75, 0x1A2B3C4D, false,
       {{"\x08", MultiCode::Ok}, {"\x47", MultiCode::Ok}, {cmd16, MultiCode::Ok}, {"\x11", MultiCode::Ok}}},
      // A plain counter refuses them; a recording whose counter is known is no
      // longer one of unknown features.
      {"PAV, serial line", "pav.bin", SerialRecording(pav), 0x0001, 80, 0x00C0FFEE, false,
       {{"\x08", MultiCode::CmdIgnored}, {"\x47", MultiCode::CmdIgnored}, {cmd16, MultiCode::CmdIgnored},
        {"\x01", MultiCode::Ok}}},
      {"QMT, text", "day_VQ_ReportData.txt", TextRecording(qmt), 0x0002, 60, 0x42, true,
       {{"\x11", MultiCode::CmdIgnored}, {"\x0E", MultiCode::CmdIgnored}, {"\x01", MultiCode::Ok}}},
  };
  for (const TReplayCase& c : cases) {
    TTempFolder folder;
    const std::string path = folder.File(c.file);
    WriteText(path, c.content);
    Multi_SetReportEvent(&gReplayEvent, true);
    const int source = Multi_NewSource();
    ASSERT_EQ(Multi_SetOutputPath(source, folder.Path().string()), "") << c.name;
    ASSERT_EQ(Multi_Debug(source, true, "replay"), "") << c.name;
    std::string message;
    ASSERT_EQ(Multi_OpenConnectionEx(source, path, message, false), MultiCode::Ok) << c.name << ": " << message;

    std::string version;
    for (int poll = 0; poll < 100 && version.empty(); ++poll) {
      std::string line;
      int64_t deviceMs = 0;
      ASSERT_EQ(Multi_GetReportEx(source, line, deviceMs), MultiCode::Ok) << c.name << ": " << line;
      if (line.starts_with("7001")) version = line;
    }
    ASSERT_FALSE(version.empty()) << c.name;
    EXPECT_EQ(Multi_GetHardFeature(source), c.feature) << c.name;
    EXPECT_EQ(Multi_GetFirmwareVersion(source), c.firmware) << c.name;
    EXPECT_EQ(Multi_GetSerialNumber(source), c.serial) << c.name;
    for (const TCommandOutcome& outcome : c.commands) {
      std::string command = outcome.command;
      EXPECT_EQ(Multi_SendCommand(source, command), outcome.code) << c.name << ": " << command;
    }
    Multi_CloseConnection(source);
    Multi_Debug(source, false);
    const std::string log = ReadFile(folder.File("VQ_DLL_LOG_replay.txt"));
    EXPECT_EQ(log.find(".SetIsQMTonly True") != std::string::npos, c.qmtOnly) << c.name;
  }
}

}  // namespace
