#include "library/sources/MultiSource.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "support/FileText.h"
#include "support/TempFolder.h"
#include "support/TestConnectionKind.h"

// Everything here goes through the library's public interface, with test
// transports added as connection kinds.

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Polls `source` for `duration`, waiting on `event` while nothing arrives;
// failures show as "! " + code + " " + message.
std::vector<std::string> PollFor(int source, TVQ_Event& event, Clock::duration duration) {
  std::vector<std::string> lines;
  const auto end = Clock::now() + duration;
  while (Clock::now() < end) {
    std::string line;
    int64_t deviceMs = 0;
    const int code = Multi_GetReportEx(source, line, deviceMs);
    if (code != MultiCode::Ok)
      lines.push_back("! " + std::to_string(code) + " " + line);
    else if (!line.empty())
      lines.push_back(line);
    else
      event.WaitFor(50ms);
  }
  return lines;
}

// Sources live as long as the library, so the event they signal must too:
// this one is built before the library and ends after it.
TVQ_Event gEvent;

int NewSourceOn(TVQ_Event& event) {
  Multi_SetReportEvent(&event, true);
  return Multi_NewSource();
}

TEST(MultiSource, UnknownSourceNumbers) {
  const int unknown = Multi_SourceCount() + 1000;
  std::string line;
  int64_t deviceMs = 0;
  EXPECT_EQ(Multi_GetReportEx(unknown, line, deviceMs), MultiCode::UnknownSource);
  EXPECT_EQ(line, "Source-ID " + std::to_string(unknown) + " not found");
  std::string command = "\x01";
  EXPECT_EQ(Multi_SendCommand(unknown, command), MultiCode::UnknownSource);
  std::string message;
  EXPECT_EQ(Multi_OpenConnectionEx(unknown, "DemoData", message, false), MultiCode::UnknownSource);
  EXPECT_EQ(Multi_CloseConnection(unknown), MultiCode::UnknownSource);
  EXPECT_EQ(Multi_GetUserID(unknown), 255);
  EXPECT_EQ(Multi_GetFirmwareVersion(unknown), -1);
  EXPECT_EQ(Multi_GetSerialNumber(unknown), -1);
  EXPECT_EQ(Multi_SetOutputPath(unknown, "/tmp"), "Source-ID " + std::to_string(unknown) + " not found");
  std::string tools;
  EXPECT_EQ(Multi_GetToolsData(unknown, 10, tools), -MultiCode::UnknownSource);
  EXPECT_EQ(Multi_GetLibraryVersion(), "20.2.5 24-08-09");
}

TEST(MultiSource, PublicCodesOfLibraryResults) {
  const std::pair<TVQ_Result, int> cases[] = {
      {TVQ_Result::VQ_No_Err, 1},
      {TVQ_Result::VQ_No_Err_ASCII, 0},
      {TVQ_Result::VQ_No_Err_Recovered, 14},
      {TVQ_Result::VQ_Err_ReceiveBufferOverflow, 8},
      {TVQ_Result::VQ_CmdIgnored, 11},
      {TVQ_Result::VQ_WriteError, 3},
      {TVQ_Result::VQ_DeviceNotConnected, 7},
      {TVQ_Result::VQ_Err_EndOfFile, 7},
      {TVQ_Result::VQ_Err_Disconnected, 7},
      {TVQ_Result::VQ_HardwareFault, 9},
      {TVQ_Result::VQ_Err_Exception, 15},
      {TVQ_Result::VQ_Err_ServerDown, 4},
      {TVQ_Result::VQ_Err_Reconnected, 13},
      {TVQ_Result::VQ_Err_BadFormat, 0},
      {static_cast<TVQ_Result>(128 + 11), 3},  // only the low seven bits count
  };
  for (const auto& [result, code] : cases) EXPECT_EQ(Multi_PublicCode(result), code) << int(result);
}

// A simulated counter opened, polled for three seconds and closed: timestamps,
// its phase reports and its version, and never a data-rate complaint.
TEST(MultiSource, SimulatedCounterForThreeSeconds) {
  TVQ_Event& event = gEvent;
  const int source = NewSourceOn(event);
  std::string message;
  ASSERT_EQ(Multi_OpenConnectionEx(source, "DemoData", message, false), MultiCode::Ok) << message;
  std::string command = "\x01";  // version request
  EXPECT_EQ(Multi_SendCommand(source, command), MultiCode::Ok) << command;
  const std::vector<std::string> lines = PollFor(source, event, 3s);
  EXPECT_EQ(Multi_CloseConnection(source), MultiCode::Ok);

  int phases = 0;
  bool version = false;
  bool firstSecond = false;
  for (const std::string& line : lines) {
    EXPECT_FALSE(line.starts_with("7F22") || line.starts_with("!")) << line;
    phases += line.starts_with("0900;");
    version |= line.starts_with("7001VERSION Simulator: 5.0 240729 / 20.2.5 24-08-09");
    firstSecond |= line == "7015; 1";
  }
  EXPECT_GE(phases, 2);
  EXPECT_TRUE(version);
  EXPECT_TRUE(firstSecond);
  EXPECT_EQ(Multi_GetDevType(source), 255);  // closed

  std::string line;
  int64_t deviceMs = 0;
  EXPECT_EQ(Multi_GetReportEx(source, line, deviceMs), MultiCode::Ok);
  EXPECT_TRUE(line.empty());
}

TEST(MultiSource, ConnectionStringsThatDoNotOpen) {
  const int source = Multi_NewSource();
  struct TCase {
    std::string connection;
    std::string message;
  };
  const TCase cases[] = {
      {":x", "Invalid connection string: :x"},
      {"CAN:RACKG", "Invalid CAN address: CAN:RACKG"},
      {"TCP:1.2.3.4:6000", "TCP-Server connections are not available in this version: TCP:1.2.3.4:6000"},
      {"FOO:bar", "Unknown connection kind FOO: FOO:bar"},
      // Pasted line breaks and a string of any length come back readable,
      // on one line and of a bounded length.
      {":x\r\n\x7Fy", "Invalid connection string: :x\\x0D\\x0A\\x7Fy"},
      {"HOST:/" + std::string(100000, 'a'), "Network device connections are not available in this version: HOST:/" +
                                                std::string(200, 'a') + "... (100000 characters)"},
      {std::string(100000, 'a') + ":9\nb",
       "Unknown connection kind " + std::string(200, 'a') + "... (100000 characters): " + std::string(200, 'a') +
           "... (100004 characters)"},
  };
  for (const TCase& c : cases) {
    std::string message;
    EXPECT_EQ(Multi_OpenConnectionEx(source, c.connection, message, false), MultiCode::Other) << c.connection;
    EXPECT_EQ(message, c.message);
  }
  EXPECT_EQ(Multi_ShownConnection("a\tb"), "a\\x09b");
  std::string message;
  EXPECT_EQ(Multi_OpenConnectionEx(source, "/no/such/file", message, false), MultiCode::Other);
  EXPECT_FALSE(message.empty());
}

TEST(MultiSource, CommandsAreCheckedBeforeTheyReachTheCounter) {
  TVQ_Event& event = gEvent;
  const int source = NewSourceOn(event);
  std::string message;
  ASSERT_EQ(Multi_OpenConnectionEx(source, "DemoData", message, false), MultiCode::Ok) << message;
  struct TCase {
    std::string command;
    int code;
    std::string message;
  };
  const TCase cases[] = {
      {"", 11, "Invalid command length = 0, valid: 1..127"},
      {std::string(128, '\x01'), 11, "Invalid command length = 128, valid: 1..127"},
      {"\x01", 1, ""},
      {std::string("\x01\x00", 2), 11, "Ignore invalid command: 0100"},
      {"\x08", 11, "Ignore unknown command: 08"},
      {"\x3F\x0C", 1, ""},
      {"\x3F\x0B", 11, "Ignore invalid command: 3F0B"},
      {"\x23", 1, ""},
  };
  for (const TCase& c : cases) {
    std::string command = c.command;
    EXPECT_EQ(Multi_SendCommand(source, command), c.code) << c.message;
    if (c.code != 1) {
      EXPECT_EQ(command, c.message);
    }
  }
  Multi_CloseConnection(source);
  std::string command = "\x01";
  EXPECT_EQ(Multi_SendCommand(source, command), MultiCode::CmdIgnored);
  EXPECT_EQ(command, "No connection, Command ignored: 01");
}

// Raw-data mode is refused until the option allows it for every source.
TEST(MultiSource, RawDataOptionAllowsTheRawDataMode) {
  TVQ_Event& event = gEvent;
  const int source = NewSourceOn(event);
  std::string message;
  ASSERT_EQ(Multi_OpenConnectionEx(source, "DemoData", message, false), MultiCode::Ok) << message;
  std::string command = "\x46";
  EXPECT_EQ(Multi_SendCommand(source, command), MultiCode::CmdIgnored);
  EXPECT_EQ(command, "Mode raw data not supported: 46");
  Multi_SetOption(12345);  // unknown codes change nothing
  command = "\x46";
  EXPECT_EQ(Multi_SendCommand(source, command), MultiCode::CmdIgnored);
  Multi_SetOption(MultiOption::RawData);
  command = "\x46";
  EXPECT_EQ(Multi_SendCommand(source, command), MultiCode::Ok) << command;
  Multi_CloseConnection(source);
}

// While one thread polls a source, a second poller of the same source gets
// nothing at once instead of reading it too. The first poll is held in its
// read until the test lets it go.
TEST(MultiSource, SecondPollerOfASourceIsRefused) {
  TTempFolder folder;
  TTestConnectionKind kind("HELDREAD");
  const int source = NewSourceOn(gEvent);
  ASSERT_EQ(Multi_SetOutputPath(0, folder.Path().string()), "");
  ASSERT_EQ(Multi_Debug(0, true, "library"), "");
  std::string message;
  ASSERT_EQ(Multi_OpenConnectionEx(source, "HELDREAD:1", message, false), MultiCode::Ok) << message;
  const std::shared_ptr<TTestDevice> device = kind.Last();

  device->CheckGate.Arm();
  std::thread first([&] {
    std::string firstLine;
    int64_t ms = 0;
    Multi_GetReportEx(source, firstLine, ms);
  });
  ASSERT_TRUE(device->CheckGate.Reached());
  std::string line = "untouched";
  int64_t deviceMs = 0;
  EXPECT_EQ(Multi_GetReportEx(source, line, deviceMs), MultiCode::Ok);
  EXPECT_TRUE(line.empty()) << line;
  device->CheckGate.Release();
  first.join();
  Multi_CloseConnection(source);
  Multi_Debug(0, false);
  EXPECT_NE(ReadFile(folder.File("VQ_DLL_LOG_library.txt")).find("GetReportEx is running yet"), std::string::npos);
}

TEST(MultiSource, RecordingOfReportLines) {
  TTempFolder folder;
  TVQ_Event& event = gEvent;
  const int source = NewSourceOn(event);
  ASSERT_EQ(Multi_SetOutputPath(source, folder.Path().string() + "/"), "");
  std::string message;
  ASSERT_EQ(Multi_OpenConnectionEx(source, "DemoData", message, false), MultiCode::Ok) << message;
  EXPECT_EQ(Multi_StartSaveReportData(source, "A"), MultiCode::Ok);
  const std::vector<std::string> lines = PollFor(source, event, 1200ms);
  EXPECT_EQ(Multi_StopSaveReportData(source), MultiCode::Ok);
  EXPECT_EQ(Multi_StopSaveReportData(source), MultiCode::Other);  // none runs
  Multi_CloseConnection(source);

  std::string recorded;
  for (const auto& entry : std::filesystem::directory_iterator(folder.Path()))
    if (entry.path().string().ends_with("_A_VQ_ReportData.txt")) recorded = ReadFile(entry.path().string());
  std::string expected;
  for (const std::string& line : lines) expected += line + "\r\n";
  EXPECT_EQ(recorded, expected);
  EXPECT_FALSE(lines.empty());
}

// The output folder is proved writable without touching the user's files;
// one that cannot be used says why.
TEST(MultiSource, OutputFolderCheckLeavesTheUsersFiles) {
  TTempFolder folder;
  WriteText(folder.File("test.txt"), "the user's own");
  const int source = Multi_NewSource();
  EXPECT_EQ(Multi_SetOutputPath(source, folder.Path().string()), "");
  EXPECT_EQ(ReadFile(folder.File("test.txt")), "the user's own");

  const std::string blocked = folder.File("test.txt") + "/logs";
  EXPECT_EQ(Multi_SetOutputPath(source, blocked), "Invalid path: " + blocked + " (" + std::strerror(ENOTDIR) + ")");
}

// Whatever this machine has attached: a failed kind is named in the result
// and explained by the error text, and the list stays within its limit.
TEST(MultiSource, EnumerationOfLocalDevices) {
  std::string devices;
  const int failed =
      Multi_EnumerateDevices(devices, MultiEnumerate::Serial | MultiEnumerate::Usb | MultiEnumerate::Can);
  EXPECT_EQ(failed & ~MultiEnumerate::Serial, 0);  // only the kernel's tty list can be unreadable
  if (failed != 0) {
    EXPECT_TRUE(Multi_GetEnumerateError().has_value());
  }
  EXPECT_LE(devices.size(), Multi_MaxMessage);
}

}  // namespace
