#include "library/devices/VQ_BaseDevice.h"

#include <gtest/gtest.h>

#include "support/FileText.h"

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "library/core/LogUnit.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestDevice.h"

namespace {

using namespace std::chrono_literals;
using Crt = TCmdResponseType;

std::size_t Occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1)) ++count;
  return count;
}

// A test device on a manual clock (wall clock in mid 2024) with its own log file.
class BaseDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(logId, 0);
    SetLogFile(logId, folder.File("device.log"), false);
    ASSERT_TRUE(LogWanted(logId)) << GetLogError(logId);
  }
  void TearDown() override { SetLogFile(logId, "", false); }

  std::string LogText() const { return ReadFile(FindLogger(logId)->InternLogFileName()); }
  void Advance(std::chrono::milliseconds step) { clock.Advance(step); }

  TTempFolder folder;
  const int logId = NewLog();
  TVQ_Event event;
  TVQ_ManualClock clock{std::chrono::sys_days{std::chrono::year{2024} / 6 / 1}};
  TTestDevice device{&event, clock, logId};
};

// ---- creation and text forms ----------------------------------------------

TEST_F(BaseDeviceTest, NewDeviceKnowsNothingOfItsCounter) {
  EXPECT_EQ(device.GetSerialNumberValue(), 0xFFFFFFFFu);
  EXPECT_FALSE(device.SerialNumberRead());
  EXPECT_FALSE(device.GetDeviceInfo().has_value());
  EXPECT_EQ(device.GetUserID(), 255);
  EXPECT_EQ(device.RequestedUserID(), 255);
  EXPECT_EQ(device.ReadTimeoutMs(), 200u);
  EXPECT_EQ(device.PAVReportHeader(), 0xFFFF);
  EXPECT_EQ(device.BlobNumber(), 255);
  EXPECT_EQ(device.PeerType(), TVQ_PeerType::ptUnknown);
  int major = 0, minor = 0;
  device.GetESPFirmwareVersion(major, minor);
  EXPECT_EQ(major, -1);
  EXPECT_EQ(minor, -1);
  EXPECT_EQ(device.FirmwareVersionNumber(), 0);
  EXPECT_EQ(device.GetCmdResponse(), Crt::crt_none);
  EXPECT_EQ(device.GetDelayNextCmdMs(), 0);
  EXPECT_FALSE(device.PortIsOpened());
}

TEST(BaseDeviceShared, WithoutAnEventOfItsOwnTheDeviceWakesTheProcessWideEvent) {
  TTestDevice device(nullptr);
  BaseReceiveEvent().Reset();
  ASSERT_TRUE(device.Feed("x"));
  EXPECT_TRUE(BaseReceiveEvent().IsSet());
  EXPECT_EQ(device.DeviceRead(1), "x");
  EXPECT_EQ(device.PeekAnsi(1), "");  // finding nothing resets it
  EXPECT_FALSE(BaseReceiveEvent().IsSet());
}

TEST(BaseDeviceText, EnumerationsHaveTheirTextsAndNumbersOutside) {
  EXPECT_EQ(DeviceTypeText(TVQ_DeviceType::VQ_Serial), "VQ_Serial");
  EXPECT_EQ(DeviceTypeText(TVQ_DeviceType::VQ_CAN_Rack), "VQ_CAN_Rack");
  EXPECT_EQ(DeviceTypeText(TVQ_DeviceType::VQ_FPGANet), "VQ_FPGANet");
  EXPECT_EQ(DeviceTypeText(13), "13");
  EXPECT_EQ(DeviceTypeText(-1), "-1");
  EXPECT_EQ(DeviceStartStateText(TVQ_DeviceStartState::ds_unknown), "unknown");
  EXPECT_EQ(DeviceStartStateText(TVQ_DeviceStartState::ds_ColdStart), "ColdStart");
  EXPECT_EQ(DeviceStartStateText(TVQ_DeviceStartState::ds_WarmStart), "WarmStart");
}

// ---- identity setters ------------------------------------------------------

TEST_F(BaseDeviceTest, SettersLogTheirChangeOnceAndNothingWhenTheValueStays) {
  struct Case {
    const char* name;
    std::function<void(TTestDevice&)> set;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"serial", [](TTestDevice& d) { d.SetSerialNumberValue(123); },
       {"TTestDevice.SetSerialNumberValue old=4294967295, new=123"}},
      {"user", [](TTestDevice& d) { d.SetUserID(4); }, {"TTestDevice.SetUserID old=255, new=4"}},
      {"cf user", [](TTestDevice& d) { d.SetCFUserID(2); }, {"TTestDevice.SetCFUserID old=255, new=2"}},
      {"feature", [](TTestDevice& d) { d.SetHardFeature(0xABCD); }, {"TTestDevice.SetHardFeature old=0000, new=ABCD"}},
      {"feature32", [](TTestDevice& d) { d.SetHardFeature32(0x00012345); },
       {"TTestDevice.SetHardFeature32 old=00000000, new=00012345",
        "TTestDevice.SetHardFeature32 -> HardFeature old=ABCD, new=2345"}},
      {"firmware", [](TTestDevice& d) { d.SetFirmwareVersionNumber(80); },
       {"TTestDevice.SetFirmwareVersionNumber old=0, new=80"}},
      {"esp firmware", [](TTestDevice& d) { d.SetESPFirmwareVersion(1, 14); },
       {"TVQ_BaseDevice.SetESPFirmwareVersion old=-1.-1 new=1.14"}},
      {"start", [](TTestDevice& d) { d.SetDeviceStartState(TVQ_DeviceStartState::ds_WarmStart); },
       {"TTestDevice.SetDeviceStartState old=unknown, new=WarmStart"}},
      {"low level", [](TTestDevice& d) { d.SetLowLevelLog(true); }, {"TTestDevice.SetLowLevelLog old=false, new=true"}},
      {"header", [](TTestDevice& d) { d.SetPAVReportHeader(0x0320); },
       {"TTestDevice.SetPAVReportHeader old=FFFF, new=0320"}},
      {"demo", [](TTestDevice& d) { d.SetDemoData(true); },
       {"TVQ_BaseDevice.SetDemoData: Wechsel reale Daten - Demodaten, lösche Empfangspuffer"}},
      {"response", [](TTestDevice& d) { d.SetCmdResponse(Crt::crt_mode); }, {"TVQ_BaseDevice.SetCmdResponse mode"}},
      {"last command", [](TTestDevice& d) { d.SetLastCommand("\x85" "Eb\x07"); },
       {"TVQ_BaseDevice.SetLastCommand 85456207"}},
  };
  for (const Case& c : cases) {
    c.set(device);
    c.set(device);
  }
  const std::string log = LogText();
  for (const Case& c : cases) {
    for (const std::string& line : c.lines) EXPECT_EQ(Occurrences(log, line), 1u) << c.name << ": " << line;
  }
  EXPECT_EQ(device.HardFeature(), 0x2345);
  EXPECT_EQ(device.BlobNumber(), 7);
  EXPECT_TRUE(device.SerialNumberRead());
}

TEST_F(BaseDeviceTest, WritingUserIdStoresTheRequestedSlotReadingGivesTheGrantedOne) {
  struct Case {
    uint8_t requested;
    uint8_t stored;
  };
  const Case cases[] = {{0, 255}, {1, 1}, {4, 4}, {5, 255}, {255, 255}};
  device.SetCFUserID(3);
  for (const Case& c : cases) {
    device.SetUserID(c.requested);
    EXPECT_EQ(device.RequestedUserID(), c.stored) << int(c.requested);
    EXPECT_EQ(device.GetUserID(), 3);
  }
}

TEST_F(BaseDeviceTest, FlagVersionFollowsTheFirmwareOfEspCountersOnly) {
  struct Case {
    TVQ_PeerType peer;
    int firmware;
    bool flag;
  };
  const Case cases[] = {{TVQ_PeerType::ptESP, 114, true},
                        {TVQ_PeerType::ptESP, 113, false},
                        {TVQ_PeerType::ptColdfire, 200, false}};
  for (const Case& c : cases) {
    TTestDevice d(&event, clock);
    d.SetPeer(c.peer);
    d.SetFirmwareVersionNumber(c.firmware);
    EXPECT_EQ(d.FlagVersion(), c.flag) << c.firmware;
  }
}

TEST_F(BaseDeviceTest, OnlyFileReplaysTakeAPeerTypeFromOutside) {
  struct Case {
    TVQ_DeviceType type;
    bool accepted;
  };
  const Case cases[] = {{TVQ_DeviceType::VQ_BinFile, true},  {TVQ_DeviceType::VQ_TxtFile, true},
                        {TVQ_DeviceType::VQ_RawFile, false}, {TVQ_DeviceType::VQ_Serial, false},
                        {TVQ_DeviceType::VQ_CDC, false},     {TVQ_DeviceType::VQ_Simul, false}};
  for (const Case& c : cases) {
    TTestDevice d(&event, clock, -1, c.type);
    d.SetPeerType(TVQ_PeerType::ptESP);
    EXPECT_EQ(d.PeerType() == TVQ_PeerType::ptESP, c.accepted) << DeviceTypeText(c.type);
  }
}

TEST_F(BaseDeviceTest, FpgaVersionGivesTheFamilyOnlyForAPlausibleDate) {
  using FT = TVQ_FPGAType;
  struct Case {
    const char* version;
    TVQ_PeerType peer;
    int firmware;
    FT type;
  };
  const Case cases[] = {
      {"FFFFFF.FF", TVQ_PeerType::ptColdfire, 80, FT::ft_unknown},
      {"230115.0A", TVQ_PeerType::ptColdfire, 80, FT::ft_MicroSemi},
      {"230115.0A", TVQ_PeerType::ptColdfire, 70, FT::ft_Altera},
      {"230115.0A", TVQ_PeerType::ptColdfire, 72, FT::ft_Altera},
      {"210115.0A", TVQ_PeerType::ptColdfire, 80, FT::ft_Altera},
      {"210115.0A", TVQ_PeerType::ptESP, 0, FT::ft_MicroSemi},
      {"240601.FF", TVQ_PeerType::ptColdfire, 80, FT::ft_MicroSemi},
      {"250115.0A", TVQ_PeerType::ptColdfire, 80, FT::ft_unknown},  // later than this year
      {"231315.0A", TVQ_PeerType::ptColdfire, 80, FT::ft_unknown},
      {"230015.0A", TVQ_PeerType::ptColdfire, 80, FT::ft_unknown},
      {"230132.0A", TVQ_PeerType::ptColdfire, 80, FT::ft_unknown},
      {"230100.0A", TVQ_PeerType::ptColdfire, 80, FT::ft_unknown},
      {"23x115.0A", TVQ_PeerType::ptColdfire, 80, FT::ft_unknown},
      {"23-115.0A", TVQ_PeerType::ptColdfire, 80, FT::ft_unknown},
      {"230115.G0", TVQ_PeerType::ptColdfire, 80, FT::ft_unknown},
      {"2301", TVQ_PeerType::ptColdfire, 80, FT::ft_unknown},
  };
  for (const Case& c : cases) {
    TTestDevice d(&event, clock, logId);
    d.SetPeer(c.peer);
    d.SetFirmwareVersionNumber(c.firmware);
    d.SetFFPGAVersion("230115.0A");  // a known type first: every failure must reset it
    d.SetFFPGAVersion(c.version);
    EXPECT_EQ(d.FPGAType(), c.type) << c.version << " fw " << c.firmware;
    EXPECT_EQ(d.FPGAVersion(), c.version);
  }
  const std::string log = LogText();
  for (const char* line : {"TVQ_BaseDevice.SetFFPGAVersion: empty FPGA",
                           "TVQ_BaseDevice.SetFFPGAVersion: illegal FPGA year 250115.0A, CurrentYear=2024",
                           "TVQ_BaseDevice.SetFFPGAVersion: illegal FPGA month 231315.0A",
                           "TVQ_BaseDevice.SetFFPGAVersion: illegal FPGA day 230100.0A",
                           "TVQ_BaseDevice.SetFFPGAVersion: illegal FPGA version 2301"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
}

TEST_F(BaseDeviceTest, UserConnectedNamesEverySlot) {
  using namespace std::string_literals;
  device.SetUserConnected("\0\0\0\0"s "\0\0\0\1"s "\0\0\0\2"s "\0\0\0\3"s);
  EXPECT_EQ(device.UserConnected(), "Connected: ---     USB     CAN     Serial     ");
  device.SetUserConnected("\xC0\xA8\x01\x14"s "\0\0\0\1"s "\0\0\1\0"s "\0\0\0\0"s);
  EXPECT_EQ(device.UserConnected(), "Connected: 192.168.1.20     USB     0.0.1.0     ---     ");
  device.SetUserConnected(std::string(15, '\0'));
  EXPECT_EQ(device.UserConnected(), "");
  EXPECT_NE(LogText().find("TVQ_BaseDevice.SetUserConnected invalid string 000000"), std::string::npos);
}

TEST_F(BaseDeviceTest, FirstTimestampDecidesTheStartStateOnce) {
  using namespace std::string_literals;
  struct Case {
    std::string first;
    std::string later;
    TVQ_DeviceStartState state;
  };
  const Case cases[] = {
      {"\xBF\x08\x70\x16\0\0\0\1\xBF"s, "\x08\x70\x16\0\0\0\2"s, TVQ_DeviceStartState::ds_ColdStart},
      {"\x08\x70\x16\0\0\x12\x34"s, "\x08\x70\x16\0\0\0\1"s, TVQ_DeviceStartState::ds_WarmStart},
      // Cut after three seconds bytes: no decision yet, the next one decides.
      {"\x08\x70\x16\0\0\0"s, "\x08\x70\x16\0\0\0\1"s, TVQ_DeviceStartState::ds_ColdStart},
      {"\x08\x70\x17\0\0\0\1"s, "\x08\x70\x16\0\0\0\5"s, TVQ_DeviceStartState::ds_WarmStart},
  };
  for (const Case& c : cases) {
    TTestDevice d(&event, clock);
    d.CheckTimeStampBytes(c.first);
    d.CheckTimeStampBytes(c.later);
    EXPECT_EQ(d.DeviceStartState(), c.state) << HexDump(c.first);
  }
}

TEST_F(BaseDeviceTest, ComNameIsThePathFromItsFirstCom) {
  device.SetPath("\\\\.\\COM12");
  EXPECT_EQ(device.COMName(), "COM12");
  device.SetPath("/dev/ttyUSB0");
  EXPECT_EQ(device.COMName(), "");
}

TEST_F(BaseDeviceTest, CalibrationFactorRefusesZeroAndBelow) {
  device.SetCalibFactorFloatToInt(1000);
  device.SetCalibFactorFloatToInt(0);
  device.SetCalibFactorFloatToInt(-5);
  EXPECT_EQ(device.CalibFactorFloatToInt(), 1000);
  const std::string log = LogText();
  EXPECT_NE(log.find("TVQ_BaseDevice.SetCalibFactorFloatToInt invalid 0"), std::string::npos);
  EXPECT_NE(log.find("TVQ_BaseDevice.SetCalibFactorFloatToInt invalid -5"), std::string::npos);
}

TEST_F(BaseDeviceTest, ToolModeReopensAnOpenPortAndForcesTheCloseOfRemoteDevices) {
  struct Case {
    TVQ_DeviceType type;
    bool open;
    int opens;
    bool forced;
  };
  const Case cases[] = {{TVQ_DeviceType::VQ_CDC, true, 2, false},
                        {TVQ_DeviceType::VQ_Remote, true, 2, true},
                        {TVQ_DeviceType::VQ_CDC, false, 0, false}};
  for (const Case& c : cases) {
    TTestDevice d(&event, clock, -1, c.type);
    std::string msg;
    if (c.open) d.OpenPort(msg);
    d.SetPeerRepeatAddr(0x1234);
    d.SetContextTool(true);
    d.SetContextTool(true);  // no change: nothing happens
    EXPECT_TRUE(d.ContextTool());
    EXPECT_EQ(d.OpenCount(), c.opens) << DeviceTypeText(c.type);
    EXPECT_EQ(d.CloseCount(), 1);
    EXPECT_EQ(d.PortIsOpened(), c.open);
    EXPECT_EQ(d.ForcedClose(), c.forced);
    EXPECT_EQ(d.PeerRepeatAddr(), 0u);
  }
}

// ---- buffers and reads -----------------------------------------------------

TEST_F(BaseDeviceTest, ReadsPeeksAndConfirmsTakeExactlyWhatIsAsked) {
  ASSERT_TRUE(device.Feed("abcdef"));
  char first = 0;
  EXPECT_TRUE(device.PeekChar(first));
  EXPECT_EQ(first, 'a');
  EXPECT_EQ(device.PeekAnsi(3), "abc");
  EXPECT_EQ(device.PeekData(7), "");  // never a part of what was asked
  EXPECT_TRUE(device.ConfirmPeekedData(2));
  EXPECT_EQ(device.DeviceRead(3), "cde");
  uint32_t amount = 9, high = 0;
  device.GetBufferAmounts(amount, high);
  EXPECT_EQ(amount, 1u);
  EXPECT_EQ(device.GetBufferAmount(), 1u);
  EXPECT_EQ(high, 6u);
  EXPECT_EQ(device.GetBufferHighAmount(), 6u);
  EXPECT_EQ(device.DeviceReadAnsi(1), "f");
  EXPECT_FALSE(device.ConfirmPeekedData(1));
  ASSERT_TRUE(device.Feed("gh"));
  EXPECT_EQ(device.PeekUpTo(8), "gh");  // what is there, up to the limit
  EXPECT_EQ(device.PeekUpTo(1), "g");
}

TEST_F(BaseDeviceTest, AnEmptyReadAsksTheTransportWhetherTheConnectionIsLost) {
  EXPECT_EQ(device.DeviceRead(1), "");
  EXPECT_EQ(device.PeekAnsi(1), "");
  char c = 0;
  EXPECT_FALSE(device.PeekChar(c));
  EXPECT_EQ(device.PeekUpTo(8), "");
  EXPECT_EQ(device.CheckCount(), 4);
  ASSERT_TRUE(device.Feed("x"));
  EXPECT_EQ(device.DeviceRead(1), "x");
  EXPECT_EQ(device.CheckCount(), 4);  // not when bytes were there
}

TEST_F(BaseDeviceTest, BlockingReadWaitsOnceAndNotAtAllWithAnErrorSet) {
  using Steady = std::chrono::steady_clock;
  device.SetBlockingIO(true);
  device.SetReadTimeoutMs(20);
  auto start = Steady::now();
  EXPECT_EQ(device.DeviceRead(1), "");
  EXPECT_GE(Steady::now() - start, 20ms);

  device.SetReadTimeoutMs(3000);
  start = Steady::now();
  EXPECT_EQ(device.DeviceRead(0), "");  // nothing asked: nothing to wait for
  EXPECT_EQ(device.PeekAnsi(0), "");
  EXPECT_LT(Steady::now() - start, 1s);

  device.SetReadTimeoutMs(60000);
  device.SetClosedOnCheck(true);  // the check finds the connection lost
  start = Steady::now();
  EXPECT_EQ(device.DeviceRead(1), "");
  EXPECT_LT(Steady::now() - start, 10s);
  EXPECT_EQ(device.ErrorCode(), TVQ_Result::VQ_DeviceNotConnected);
}

TEST_F(BaseDeviceTest, BlockingModeChangesOnlyWhileThePortIsClosed) {
  std::string msg;
  device.OpenPort(msg);
  device.SetBlockingIO(true);
  EXPECT_FALSE(device.BlockingIO());
  device.ClosePort();
  device.SetBlockingIO(true);
  EXPECT_TRUE(device.BlockingIO());
}

TEST_F(BaseDeviceTest, PortStaysOpenForTheReaderWhileBytesRemainAfterClose) {
  std::string msg;
  device.OpenPort(msg);
  ASSERT_TRUE(device.Feed("ab"));
  device.ClosePort();
  EXPECT_TRUE(device.PortIsOpened());
  EXPECT_EQ(device.DeviceRead(2), "ab");
  EXPECT_FALSE(device.PortIsOpened());
}

TEST_F(BaseDeviceTest, ToolsDataStaysApartAndReadsWholeInPieces) {
  std::string tools(600, '\0');
  for (std::size_t i = 0; i < tools.size(); ++i) tools[i] = static_cast<char>(i % 251);
  ASSERT_TRUE(device.FeedTools(tools));
  ASSERT_TRUE(device.Feed("m"));
  EXPECT_EQ(device.ToolsRead(2), tools.substr(0, 2));
  EXPECT_EQ(device.ToolsReadAll(), tools.substr(2));
  EXPECT_EQ(device.ToolsReadAllAnsi(), "");
  EXPECT_EQ(device.DeviceRead(1), "m");
}

TEST_F(BaseDeviceTest, SwitchingToDemoDataThrowsAwayWhatWasReceived) {
  ASSERT_TRUE(device.Feed("real"));
  device.SetDemoData(true);
  EXPECT_EQ(device.GetBufferAmount(), 0u);
  EXPECT_TRUE(device.ReceiveBufferCleared());
  ASSERT_TRUE(device.Feed("demo"));
  device.SetDemoData(true);  // no change: kept
  EXPECT_EQ(device.GetBufferAmount(), 4u);
}

// ---- errors and writes -----------------------------------------------------

TEST_F(BaseDeviceTest, ErrorStaysUntilAcknowledged) {
  device.SetSystemError(5, "Open", "Input/output error");
  EXPECT_EQ(device.ErrorCode(), TVQ_Result::VQ_System_Err);
  EXPECT_EQ(device.SystemLastError(), 5u);
  EXPECT_EQ(device.ErrorMessage(), "Open: (5)=Input/output error");
  EXPECT_EQ(device.DeviceRead(1), "");  // a read leaves it alone
  EXPECT_EQ(device.ErrorCode(), TVQ_Result::VQ_System_Err);
  device.QuitError();
  EXPECT_EQ(device.ErrorCode(), TVQ_Result::VQ_No_Err);
  EXPECT_EQ(device.SystemLastError(), 0u);
  EXPECT_EQ(device.ErrorMessage(), "");

  errno = ENOENT;
  device.SetSystemError("open /dev/ttyS9");
  EXPECT_EQ(device.SystemLastError(), static_cast<uint32_t>(ENOENT));
  EXPECT_EQ(device.ErrorMessage().rfind("open /dev/ttyS9: (2)=", 0), 0u) << device.ErrorMessage();

  std::string message;
  EXPECT_EQ(device.TakeError(message), TVQ_Result::VQ_System_Err);
  EXPECT_EQ(message.rfind("open /dev/ttyS9: (2)=", 0), 0u);
  EXPECT_EQ(device.TakeError(message), TVQ_Result::VQ_No_Err);
  EXPECT_EQ(message, "");
}

TEST_F(BaseDeviceTest, AFailedWriteIsNeverASuccess) {
  using Outcome = TTestDevice::TWriteOutcome;
  struct Case {
    Outcome outcome;
    TVQ_Result result;
    std::string message;
  };
  const Case cases[] = {
      {Outcome::kSucceed, TVQ_Result::VQ_No_Err, ""},
      {Outcome::kFailError, TTestDevice::WriteErrorCode, std::string(TTestDevice::WriteErrorText)},
      {Outcome::kFailSilently, TVQ_Result::VQ_WriteError, "DeviceWrite failed, Device=VQ_Serial"},
  };
  for (const Case& c : cases) {
    TTestDevice d(&event, clock);
    d.SetWriteOutcome(c.outcome);
    std::string data = "P", message = "old";
    EXPECT_EQ(d.WriteData(data, message), c.result) << message;
    EXPECT_EQ(message, c.message);
    EXPECT_EQ(d.Written().size(), c.outcome == Outcome::kSucceed ? 1u : 0u);
    EXPECT_EQ(d.ErrorCode(), TVQ_Result::VQ_No_Err);  // taken with the result
  }
}

// ---- command classification -------------------------------------------------

TEST(BaseDeviceCommands, CommandKindsByTheirBytes) {
  struct Case {
    std::string cmd;
    bool is7020, channel, nvs;
  };
  const Case cases[] = {
      {"0", false, true, false},    {"P", true, false, false},      {"\x0A", true, false, false},
      {"\x8A", true, false, false}, {"%", true, false, false},      {"O", true, false, false},
      {"_", true, false, false},    {"`", false, false, false},     {"5", false, true, false},
      {";", false, true, false},    {"<", false, false, false},     {"?x", false, true, false},
      {"\xBFx", false, true, false}, {"?xy", false, false, false},  {"", false, false, false},
      {"\x85" "E", false, false, true}, {"\x85" "Eb\x01", false, false, true}, {"\x05" "E", false, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TVQ_BaseDevice::Is7020Cmd(c.cmd), c.is7020) << HexDump(c.cmd);
    EXPECT_EQ(TVQ_BaseDevice::IsChannelCmd(c.cmd), c.channel) << HexDump(c.cmd);
    EXPECT_EQ(TVQ_BaseDevice::IsReadNVSCmd(c.cmd), c.nvs) << HexDump(c.cmd);
  }
}

TEST_F(BaseDeviceTest, EspCommandsSetTheResponseTheyAwait) {
  struct Case {
    std::string cmd;
    TVQ_PeerType peer;
    uint16_t header;
    Crt awaited;
  };
  const Case cases[] = {
      {"\x0A", TVQ_PeerType::ptESP, 0xFFFF, Crt::crt_phaseReset},
      {"%", TVQ_PeerType::ptESP, 0xFFFF, Crt::crt_interval},
      {"\xA5", TVQ_PeerType::ptESP, 0xFFFF, Crt::crt_interval},
      {"C", TVQ_PeerType::ptESP, 0xFFFF, Crt::crt_mode},
      {"P", TVQ_PeerType::ptESP, 0x0010, Crt::crt_scrambler},
      {"P", TVQ_PeerType::ptESP, 0x0030, Crt::crt_none},  // no answer to expect
      {"5", TVQ_PeerType::ptESP, 0xFFFF, Crt::crt_channel},
      {"?x", TVQ_PeerType::ptESP, 0xFFFF, Crt::crt_channel},
      {"\x85" "Eb\x01", TVQ_PeerType::ptESP, 0xFFFF, Crt::crt_ReadNVS},
      {"\x01", TVQ_PeerType::ptESP, 0xFFFF, Crt::crt_none},
      {"", TVQ_PeerType::ptESP, 0xFFFF, Crt::crt_none},
      {"%", TVQ_PeerType::ptColdfire, 0xFFFF, Crt::crt_none},
  };
  for (const Case& c : cases) {
    TTestDevice d(&event, clock, logId);
    d.SetPeer(c.peer);
    d.SetPAVReportHeader(c.header);
    d.SetCmdResponseForCommand(c.cmd);
    EXPECT_EQ(d.GetCmdResponse(), c.awaited) << HexDump(c.cmd);
  }
  EXPECT_NE(LogText().find(" invalid scrambler cmd -> no wait CmdResponse"), std::string::npos);
}

TEST_F(BaseDeviceTest, MeasurementHeadersEndTheAwaitedResponseWhenTheCommandTookEffect) {
  struct Case {
    Crt awaited;
    std::string lastCommand;
    uint16_t oldHeader, newHeader;
    const char* reason;  // null: still awaited
  };
  const Case cases[] = {
      {Crt::crt_interval, "%", 0x0300, 0x0500, "interval changed"},
      {Crt::crt_interval, "%", 0x0500, 0x0500, "same interval"},
      {Crt::crt_interval, "%", 0x0300, 0x0300, nullptr},
      {Crt::crt_mode, "C", 0x1000, 0x2000, "mode changed"},
      {Crt::crt_mode, "C", 0x3000, 0x3000, "same mode"},
      {Crt::crt_mode, "C", 0x1000, 0x1000, nullptr},
      {Crt::crt_scrambler, "^", 0xFFFF, 0x0010, "scrambler ok"},
      {Crt::crt_scrambler, "^", 0xFFFF, 0x0000, nullptr},
      {Crt::crt_scrambler, "_", 0x0000, 0x0020, "scrambler changed"},
      {Crt::crt_scrambler, "_", 0x0020, 0x0020, "same scrambler"},
      {Crt::crt_scrambler, "P", 0x0010, 0x0010, nullptr},
      {Crt::crt_channel, "5", 0x0300, 0x0300, "channel"},
      {Crt::crt_phaseReset, "\x0A", 0x0300, 0x0300, "phaseReset"},
      {Crt::crt_ReadNVS, "\x85" "E", 0x0300, 0x0500, nullptr},
  };
  for (const Case& c : cases) {
    TTestDevice d(&event, clock, logId);
    d.SetPAVReportHeader(c.oldHeader);
    d.SetLastCommand(c.lastCommand);
    d.SetCmdResponse(c.awaited);
    d.CheckMeasurementResponse(c.newHeader, "TTestDevice.ReadESP PAVMeasurement, ");
    EXPECT_EQ(d.GetCmdResponse(), c.reason ? Crt::crt_none : c.awaited)
        << CmdResponseTypeText(c.awaited) << " " << HexText(c.oldHeader, 4) << "->" << HexText(c.newHeader, 4);
    EXPECT_EQ(d.PAVReportHeader(), c.newHeader);
    if (c.reason) {
      const std::string line = std::string("TTestDevice.ReadESP PAVMeasurement, ") + c.reason;
      EXPECT_NE(LogText().find(line), std::string::npos) << line;
    }
  }
}

TEST_F(BaseDeviceTest, StatusRecordEndsEveryAwaitedResponseButAChannelOne) {
  device.SetCmdResponse(Crt::crt_mode);
  device.CheckStatusResponse();
  EXPECT_EQ(device.GetCmdResponse(), Crt::crt_none);
  device.SetCmdResponse(Crt::crt_channel);
  device.CheckStatusResponse();
  EXPECT_EQ(device.GetCmdResponse(), Crt::crt_channel);
}

// ---- pacing on the manual clock ---------------------------------------------

TEST_F(BaseDeviceTest, DelayCountsDownThenColdfireWaitsForItsReportBoundedly) {
  struct Step {
    int advanceMs;
    int esp, coldfire;  // GetDelayNextCmdMs after the step
  };
  const Step steps[] = {
      {0, 500, 500}, {200, 300, 300}, {299, 1, 1}, {1, 0, 1}, {5000, 0, 1}, {4999, 0, 1}, {1, 0, 0}, {20000, 0, 0},
  };
  TTestDevice esp(&event, clock, logId);
  TTestDevice coldfire(&event, clock, logId);
  esp.SetPeer(TVQ_PeerType::ptESP);
  coldfire.SetPeer(TVQ_PeerType::ptColdfire);
  esp.SetDelayNextCmdMs(500);
  coldfire.SetDelayNextCmdMs(500);
  int elapsed = 0;
  for (const Step& s : steps) {
    Advance(std::chrono::milliseconds(s.advanceMs));
    elapsed += s.advanceMs;
    EXPECT_EQ(esp.GetDelayNextCmdMs(), s.esp) << "at " << elapsed << " ms";
    EXPECT_EQ(coldfire.GetDelayNextCmdMs(), s.coldfire) << "at " << elapsed << " ms";
  }
  const std::string log = LogText();
  for (const char* line : {"TVQ_BaseDevice.SetDelayNextCmdMs 500 Device=VQ_Serial",
                           "TVQ_BaseDevice.GetDelayNextCmdMs=300 Device=VQ_Serial",
                           "TVQ_BaseDevice.GetDelayNextCmdMs report missing 1 Device=VQ_Serial",
                           "TVQ_BaseDevice.GetDelayNextCmdMs report missing for 10000 ms, delay cleared"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
}

TEST_F(BaseDeviceTest, ClearingTheDelayEndsTheColdfireWait) {
  device.SetPeer(TVQ_PeerType::ptColdfire);
  device.SetDelayNextCmdMs(1000);
  Advance(1500ms);
  EXPECT_EQ(device.GetDelayNextCmdMs(), 1);
  device.SetDelayNextCmdMs(0);
  EXPECT_EQ(device.GetDelayNextCmdMs(), 0);
  EXPECT_NE(LogText().find("TVQ_BaseDevice.SetDelayNextCmdms delay finished Device=VQ_Serial"), std::string::npos);
}

TEST_F(BaseDeviceTest, AnAwaitedResponseEndsAfterTenSecondsNotBefore) {
  device.SetCmdResponse(Crt::crt_login);
  Advance(5000ms);  // the login wait
  EXPECT_EQ(device.GetCmdResponse(), Crt::crt_login);
  Advance(4000ms);
  device.SetCmdResponse(Crt::crt_login);  // a new command: the wait starts again
  Advance(9999ms);
  EXPECT_EQ(device.GetCmdResponse(), Crt::crt_login);
  Advance(1ms);
  EXPECT_EQ(device.GetCmdResponse(), Crt::crt_none);
  EXPECT_NE(LogText().find("TVQ_BaseDevice.GetCmdResponse Login not seen within 10000 ms, cleared"),
            std::string::npos);
}

// ---- capture ----------------------------------------------------------------

TEST_F(BaseDeviceTest, CaptureOnlyForTransportsThatReceiveFromACounter) {
  struct Case {
    TVQ_DeviceType type;
    bool allowed;
  };
  const Case cases[] = {
      {TVQ_DeviceType::VQ_Serial, true},    {TVQ_DeviceType::VQ_HID, true},       {TVQ_DeviceType::VQ_CDC, true},
      {TVQ_DeviceType::VQ_Remote, true},    {TVQ_DeviceType::VQ_CAN_Rack, true},  {TVQ_DeviceType::VQ_BinFile, false},
      {TVQ_DeviceType::VQ_TxtFile, false},  {TVQ_DeviceType::VQ_RawFile, false},  {TVQ_DeviceType::VQ_TCP_Device, false},
      {TVQ_DeviceType::VQ_TCP_Archive, false}, {TVQ_DeviceType::VQ_Simul, false},
  };
  for (const Case& c : cases) {
    TTestDevice d(&event, clock, -1, c.type);
    const std::string file = folder.File("capture_" + DeviceTypeText(c.type) + ".bin");
    EXPECT_EQ(d.StartSaveBinaryData(file), c.allowed) << DeviceTypeText(c.type);
    EXPECT_EQ(std::filesystem::exists(file), c.allowed);
  }
}

TEST_F(BaseDeviceTest, CaptureWritesReceivedBytesIntoAFreshExclusiveFile) {
  using namespace std::string_literals;
  const std::string file = folder.File("VQ_BinaryData.bin");
  { std::ofstream(file) << "old contents"; }
  ASSERT_TRUE(device.StartSaveBinaryData(file));
  EXPECT_FALSE(device.BinSaveRawData());
  ASSERT_TRUE(device.Feed("\x00\xBF\x01"s));
  ASSERT_TRUE(device.Feed("\xFF"));

  TTestDevice other(&event, clock);
  EXPECT_FALSE(other.StartSaveBinaryData(file));  // in use

  EXPECT_TRUE(device.StopSaveBinaryData());
  EXPECT_FALSE(device.StopSaveBinaryData());
  ASSERT_TRUE(device.Feed("not captured"));
  EXPECT_EQ(ReadFile(file), "\x00\xBF\x01\xFF"s);

  const std::string raw = folder.File("RawCapture.bin");
  ASSERT_TRUE(device.StartSaveBinaryData(raw));
  EXPECT_TRUE(device.BinSaveRawData());
  EXPECT_NE(LogText().find("TVQ_BaseDevice.SaveBinaryData to " + raw + ", SaveRawData=true"), std::string::npos);
}

}  // namespace
