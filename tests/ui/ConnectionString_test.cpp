#include "ui/ConnectionString.h"

#include <gtest/gtest.h>

#include "app/core/App_Sessions.h"

namespace {

TConnectionForm Form(TConnectionKind kind) {
  TConnectionForm form;
  form.Kind = kind;
  return form;
}

struct TBuildCase {
  const char* Name;
  TConnectionForm Input;
  std::string Expected;
  int Type;
};

std::vector<TBuildCase> BuildCases() {
  std::vector<TBuildCase> cases;
  cases.push_back({"demo", Form(TConnectionKind::Demo), "DemoData", ctDemo});
  auto serial = Form(TConnectionKind::Serial);
  serial.Device = "/dev/ttyUSB0";
  serial.Baud = 57600;
  cases.push_back({"serial", serial, "/dev/ttyUSB0:57600", ctSerial});
  auto usb = Form(TConnectionKind::Usb);
  usb.Device = "PAV2 12345";
  usb.UserId = 2;
  cases.push_back({"usb with user", usb, "USERID=2 PAV2 12345", ctUSB});
  auto ip = Form(TConnectionKind::Network);
  ip.Address = "192.168.1.50";
  ip.Port = 4001;
  cases.push_back({"network ip", ip, "192.168.1.50:4001", ctNetwork});
  auto host = Form(TConnectionKind::Network);
  host.Address = "counter-lab.local";
  host.HostName = true;
  cases.push_back({"network host", host, "HOST:/counter-lab.local", ctNetwork});
  auto can = Form(TConnectionKind::Can);
  can.CanAddress = 11;
  can.CanChannel = 1;
  can.CanType21 = true;
  cases.push_back({"can", can, "CAN:RACKB CHANNEL1 TYPE=0x21", ctCAN});
  auto live = Form(TConnectionKind::ServerLive);
  live.Address = "10.0.0.2";
  live.Port = 5025;
  cases.push_back({"server live", live, "TCP:10.0.0.2:5025", ctTCPServer});
  auto archive = Form(TConnectionKind::ServerArchive);
  archive.Address = "10.0.0.2";
  archive.Port = 5025;
  archive.ArchiveStart = "20240801_120000";
  cases.push_back({"archive open-ended", archive, "ARCHIVE:10.0.0.2:5025 20240801_120000", ctTCPServer});
  archive.ArchiveEnd = "20240801_130000";
  cases.push_back({"archive with end", archive, "ARCHIVE:10.0.0.2:5025 20240801_120000;20240801_130000", ctTCPServer});
  auto file = Form(TConnectionKind::File);
  file.FilePath = "/data/run 1.txt";
  file.LoopForEver = true;
  file.WaitInterval = true;
  cases.push_back({"file replay", file, "/data/run 1.txt LOOP_FOR_EVER WAIT_INTERVAL", ctFile});
  return cases;
}

TEST(ConnectionString, BuildsEveryKindAndReadsItBack) {
  for (const TBuildCase& c : BuildCases()) {
    SCOPED_TRACE(c.Name);
    const TConnectionBuild built = BuildConnectionString(c.Input);
    EXPECT_EQ(built.Error, "");
    EXPECT_EQ(built.OpenString, c.Expected);
    EXPECT_EQ(built.ConnectionType, c.Type);
    // The change dialog starts from the session's string: it must give the same form back.
    const auto parsed = ParseConnectionString(built.OpenString);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(BuildConnectionString(*parsed).OpenString, c.Expected);
  }
}

TEST(ConnectionString, RefusesWhatTheLibraryWouldMisread) {
  struct TCase {
    const char* Name;
    TConnectionForm Input;
  };
  std::vector<TCase> cases;
  auto badIp = Form(TConnectionKind::Network);
  badIp.Address = "192.168.1.300";
  cases.push_back({"ip out of range", badIp});
  auto badHost = Form(TConnectionKind::Network);
  badHost.Address = "a host";
  badHost.HostName = true;
  cases.push_back({"host with blank", badHost});
  auto noPort = Form(TConnectionKind::ServerLive);
  noPort.Address = "10.0.0.2";
  cases.push_back({"server without port", noPort});
  auto noStart = Form(TConnectionKind::ServerArchive);
  noStart.Address = "10.0.0.2";
  noStart.Port = 5025;
  cases.push_back({"archive without start", noStart});
  auto reversed = noStart;
  reversed.ArchiveStart = "20240801_130000";
  reversed.ArchiveEnd = "20240801_120000";
  cases.push_back({"archive end before start", reversed});
  auto colonPath = Form(TConnectionKind::File);
  colonPath.FilePath = "/data/12:00.txt";
  cases.push_back({"file path with colon", colonPath});
  auto can = Form(TConnectionKind::Can);
  can.CanAddress = 16;
  cases.push_back({"can address 16", can});
  auto serial = Form(TConnectionKind::Serial);
  cases.push_back({"serial without port", serial});
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TConnectionBuild built = BuildConnectionString(c.Input);
    EXPECT_NE(built.Error, "");
    EXPECT_EQ(built.OpenString, "");
  }
}

TEST(ConnectionString, UnknownTextGivesNoForm) {
  EXPECT_FALSE(ParseConnectionString("").has_value());
  EXPECT_FALSE(ParseConnectionString("USERID=x COM").has_value());
}

}  // namespace
