#include "app/core/App_UsbAttach.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/core/Main.h"
#include "support/FileText.h"
#include "support/TempFolder.h"

namespace {

TEST(UsbDeviceName, DropsTheUserOptionAndTheUsbPrefix) {
  const struct {
    const char* OpenString;
    const char* Name;
  } cases[] = {
      {"DemoData", "DemoData"},
      {"Lab USERID=2", "Lab"},             // the form the session appends when it opens
      {"USERID=3 USB: 1A2B", "1A2B"},      // the form the connection dialog writes
      {"  userid=4   Lab  ", "Lab"},       // any letter case, blanks around
      {"USB: 1A2B USERID=1", "1A2B"},
      {"USERID=", ""},
      {"USERID=2", ""},
      {"USB:   ", "USB:"},                 // no name after the prefix: nothing is cut
      {"/dev/ttyACM0:115200", "/dev/ttyACM0:115200"},
  };
  for (const auto& c : cases) EXPECT_EQ(UsbDeviceName(c.OpenString), c.Name) << c.OpenString;
}

// The library's monitor operations: reading before starting reports "not
// connected"; starting works or says why; stopping closes the descriptor.
// (Here rather than among the library's tests, whose program checks the
// last lines its logs write at exit before any source state exists.)
TEST(UsbMonitorOperations, StartReadStop) {
  Multi_UsbMonitorStop();
  std::vector<TUsbEvent> events(1);
  EXPECT_EQ(Multi_UsbMonitorRead(events), MultiCode::NotConnected);
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(Multi_UsbMonitorFd(), -1);

  std::string message = "stale";
  const int started = Multi_UsbMonitorStart(message);
  if (started == MultiCode::Ok) {
    EXPECT_TRUE(message.empty());
    EXPECT_GE(Multi_UsbMonitorFd(), 0);
    EXPECT_EQ(Multi_UsbMonitorStart(message), MultiCode::Ok);  // already running
    EXPECT_EQ(Multi_UsbMonitorRead(events), MultiCode::Ok);
  } else {
    EXPECT_EQ(started, MultiCode::Other);
    EXPECT_EQ(message.rfind("USB monitor not available: ", 0), 0u) << message;
    EXPECT_EQ(Multi_UsbMonitorFd(), -1);
    EXPECT_EQ(Multi_UsbMonitorRead(events), MultiCode::NotConnected);
  }
  Multi_UsbMonitorStop();
  EXPECT_EQ(Multi_UsbMonitorFd(), -1);
}

class TTestFrontEnd : public TZepFrontEnd {
 public:
  std::optional<TConnectionChoice> ChooseConnection(int, const TConnectionChoice&) override { return std::nullopt; }
  void ShowMessage(const std::string& text) override { FMessages.push_back(text); }
  std::vector<std::string> FMessages;
};

// An application with four counter sessions: two simulated counters (one
// with a user option), and two USB counters that are not attached.
class UsbAttach : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(FFolder.File("ZEP_App.ini"), std::ios::binary)
        << "INI_Version=6\r\nSessionCount=4\r\nDebug_LogMain=True\r\n"
        << "Session_0_OpenString=DemoData\r\nSession_0_ConnectionType=6\r\n"
        << "Session_1_OpenString=DemoData USERID=2\r\nSession_1_ConnectionType=6\r\n"
        << "Session_2_OpenString=USB: NOPE42\r\nSession_2_ConnectionType=0\r\n"
        << "Session_3_OpenString=USERID=1 USB: 1A2B\r\nSession_3_ConnectionType=0\r\n";
    TZepAppOptions options;
    options.ConfigFolder = FFolder.Path().string() + "/";
    FApp = std::make_unique<TZepApp>(options, FFrontEnd);
    ASSERT_TRUE(FApp->Start());
    for (int index = 0; index < 4; ++index) ASSERT_TRUE(Session(index)) << index;
    ASSERT_TRUE(Session(0)->DeviceOpened());
    ASSERT_TRUE(Session(1)->DeviceOpened());
    ASSERT_FALSE(Session(2)->DeviceOpened());
    ASSERT_FALSE(Session(3)->DeviceOpened());
    FFrontEnd.FMessages.clear();
  }
  void TearDown() override {
    if (FApp) FApp->Shutdown();
  }

  std::shared_ptr<TVQSessionItem> Session(int index) const {
    return std::dynamic_pointer_cast<TVQSessionItem>(FApp->Session(index));
  }
  // Every debug log file written so far (the main log's name carries its start time).
  std::string MainLog() const {
    std::string text;
    for (const auto& entry : std::filesystem::directory_iterator(FFolder.Path() / "Debug"))
      text += ReadFile(entry.path().string());
    return text;
  }

  static TUsbEvent Counter(TUsbEventAction action, const std::string& serial) {
    return {action, TUsbEventKind::CounterInterface, serial, "/dev/ttyACM0", false};
  }

  TTempFolder FFolder;
  TTestFrontEnd FFrontEnd;
  std::unique_ptr<TZepApp> FApp;
};

// The arriving serial number names both simulated sessions, the second
// once its user option is cut off: both open again; the others stay closed.
TEST_F(UsbAttach, ArrivalReopensTheClosedSessionsItNames) {
  Session(0)->CloseDevice(true);
  Session(1)->CloseDevice(true);
  HandleUsbEvents(*FApp, {Counter(TUsbEventAction::Arrival, "0042_DemoData")});
  EXPECT_TRUE(Session(0)->DeviceOpened());
  EXPECT_TRUE(Session(1)->DeviceOpened());
  EXPECT_FALSE(Session(2)->DeviceOpened());
  EXPECT_FALSE(Session(3)->DeviceOpened());
  EXPECT_TRUE(FFrontEnd.FMessages.empty());
  const std::string log = MainLog();
  EXPECT_NE(log.find("TMainForm.UsbAttached: V+Q USB device 0042_DemoData"), std::string::npos) << log;
  EXPECT_NE(log.find("TVQSessionItem[0/False].CheckUsbAttached: auto open ok"), std::string::npos) << log;
  EXPECT_NE(log.find("TVQSessionItem[1/False].CheckUsbAttached: auto open ok"), std::string::npos) << log;
}

// The device is named but cannot be opened: the session stays closed, the
// user sees why, the session's log says so.
TEST_F(UsbAttach, FailedOpenLeavesTheSessionClosed) {
  HandleUsbEvents(*FApp, {Counter(TUsbEventAction::Arrival, "NOPE42")});
  EXPECT_FALSE(Session(2)->DeviceOpened());
  EXPECT_EQ(FFrontEnd.FMessages.size(), 1u);
  const std::string log = MainLog();
  EXPECT_NE(log.find("TVQSessionItem[2/False].CheckUsbAttached: auto open failed"), std::string::npos) << log;
  EXPECT_EQ(log.find("TVQSessionItem[3/False].CheckUsbAttached"), std::string::npos) << log;
}

// Which sessions try to open at all.
TEST_F(UsbAttach, OnlyClosedSessionsWhoseDeviceIsNamedTry) {
  int opens = 0;
  const TUsbSessionOpener count = [&opens](TVQSessionItem&) {
    ++opens;
    return false;
  };
  // "USERID=1 USB: 1A2B" is found by its serial number.
  EXPECT_FALSE(CheckUsbAttached(*Session(3), "1A2B", count));
  EXPECT_EQ(opens, 1);
  EXPECT_FALSE(CheckUsbAttached(*Session(3), "1A2C_Lab", count));
  EXPECT_FALSE(CheckUsbAttached(*Session(2), "1A2B", count));
  // An open session is left alone, and so is a QMT-only copy (it never opens).
  EXPECT_FALSE(CheckUsbAttached(*Session(0), "DemoData", count));
  const std::shared_ptr<TVQSessionItem> copy = FApp->CreateQMTCopy(0);
  ASSERT_TRUE(copy);
  Session(0)->CloseDevice(true);
  EXPECT_FALSE(CheckUsbAttached(*copy, "DemoData", count));
  EXPECT_EQ(opens, 1);
  // An opener that reports success is believed only when the session is open.
  EXPECT_FALSE(CheckUsbAttached(*Session(0), "DemoData", [](TVQSessionItem&) { return true; }));
  EXPECT_TRUE(CheckUsbAttached(*Session(0), "DemoData", [](TVQSessionItem& s) { return s.OpenDevice().empty(); }));
}

// Removals, serial ports and other devices are only logged.
TEST_F(UsbAttach, OtherEventsOpenNothing) {
  Session(0)->CloseDevice(true);
  HandleUsbEvents(*FApp, {Counter(TUsbEventAction::Removal, "DemoData"),
                          {TUsbEventAction::Arrival, TUsbEventKind::SerialPort, "DemoData", "/dev/ttyUSB0", false},
                          {TUsbEventAction::Arrival, TUsbEventKind::Other, "DemoData", "/dev/hidraw1", false}});
  EXPECT_FALSE(Session(0)->DeviceOpened());
  const std::string log = MainLog();
  EXPECT_NE(log.find("TMainForm.UsbDetached: V+Q USB device DemoData"), std::string::npos) << log;
  EXPECT_NE(log.find("TMainForm.DeviceChange: serial port added /dev/ttyUSB0"), std::string::npos) << log;
  EXPECT_NE(log.find("TMainForm.DeviceChange: other device added /dev/hidraw1 ignored"), std::string::npos) << log;
}

}  // namespace
