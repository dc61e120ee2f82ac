// The desktop program and its settings: what start-up, a signal, a
// session without connection and saves during the run do to the windows.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <QDialog>
#include <QEventLoop>
#include <QTimer>

#include "app/core/App_MessageList.h"
#include "app/core/ZEP_Sessions.h"
#include "ui/SignalPipe.h"
#include "UiTestSupport.h"

namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

bool Contains(const std::string& text, const std::string& part) { return text.find(part + "\r\n") != std::string::npos; }

// Settings with a simulated counter A, a counter session B without a
// connection string, three views of A and one of B, and a log definition.
constexpr const char* kTwoSessions =
    "INI_Version=6\r\nSessionCount=2\r\n"
    "Session_0_SessionType=0\r\nSession_0_OpenString=DemoData\r\nSession_0_ConnectionType=6\r\n"
    "Session_0_DemoRate=3\r\n"
    "Session_1_SessionType=0\r\nSession_1_OpenString=\r\nSession_1_FriendlyName=spare\r\n"
    "ChildCount=4\r\n"
    "View_1_Id=1\r\nView_1_Session=0\r\nView_1_Title=phase of A\r\n"
    "View_2_Id=3\r\nView_2_Session=0\r\n"
    "View_3_Id=6\r\nView_3_Session=0\r\n"
    "View_4_Id=3\r\nView_4_Session=1\r\nView_4_Title=table of B\r\nView_4_Width=333\r\n"
    "Log_DefsCount=1\r\nLog_1_FileName=a.txt\r\nLog_1_Enabled=False\r\nLog_1_Count=1\r\n"
    "Log_1_Simple1_SessionIndex=0\r\nLog_1_Simple1_LogTypes=2\r\nLog_1_Simple1_Enabled1=1\r\n";

class SettingsWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApplication();
    ASSERT_TRUE(FDir.isValid());
  }
  std::string IniPath() const { return FDir.filePath("ZEP_App.ini").toStdString(); }
  std::string Ini() const { return ReadFile(IniPath()); }
  void WriteIni(const std::string& text) const { WriteText(IniPath(), text); }

  QTemporaryDir FDir;
};

// Runs `action` on the first modal dialog that opens (within ten seconds;
// after that the dialog is rejected so that the test ends, and fails).
class TOnDialog {
 public:
  explicit TOnDialog(std::function<void(QWidget&)> action) : FAction(std::move(action)) {
    FStart = std::chrono::steady_clock::now();
    FTimer.setInterval(20);
    QObject::connect(&FTimer, &QTimer::timeout, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal) return;
      if (!FSeen) {
        FSeen = true;
        FTitle = modal->windowTitle().toStdString();
        FAction(*modal);
      } else if (std::chrono::steady_clock::now() - FStart > 10s) {
        if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
      }
    });
    FTimer.start();
  }
  bool Seen() const { return FSeen; }
  const std::string& Title() const { return FTitle; }

 private:
  std::function<void(QWidget&)> FAction;
  QTimer FTimer;
  bool FSeen = false;
  std::string FTitle;
  std::chrono::steady_clock::time_point FStart;
};

// SIGTERM while start-up waits in a dialog (the connection of B): the
// dialog closes, the start ends and the program stops in order. Nothing of
// the window set had been built, so the stored one is saved unchanged.
TEST_F(SettingsWindowsTest, SignalDuringAStartUpDialogStopsInOrderAndKeepsTheWindowSet) {
  WriteIni(kTwoSessions);
  TMainWindowOptions options = TestOptions(FDir.path());
  options.Interactive = true;
  TZepMainWindow window(options);
  TSignalPipe pipe;
  ASSERT_TRUE(pipe.Installed());
  QObject::connect(&pipe, &TSignalPipe::Terminate, &window, [&window](int) { window.SystemShutdown(); });
  const TOnDialog onDialog([](QWidget&) { ::raise(SIGTERM); });
  window.show();
  EXPECT_FALSE(window.Start());
  EXPECT_TRUE(onDialog.Seen());
  EXPECT_EQ(onDialog.Title(), "Connection of session B");
  EXPECT_TRUE(window.StopRequested());
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_FALSE(window.isVisible());

  const std::string saved = Ini();
  for (const char* line : {"ChildCount=4", "View_1_Title=phase of A", "View_3_Id=6", "View_4_Session=1",
                           "View_4_Width=333", "Session_1_OpenString=", "Session_1_FriendlyName=spare",
                           "Session_0_OpenString=DemoData", "Log_DefsCount=1"})
    EXPECT_TRUE(Contains(saved, line)) << line << "\n" << saved;
}

// SIGTERM while a message box is open during the run: the box closes, and
// the program stops only once the code that opened the box has gone on,
// then saves in order.
TEST_F(SettingsWindowsTest, SignalDuringARunTimeBoxClosesItThenStops) {
  WriteSimulatorSettings(FDir.path(), 2, 9);
  TMainWindowOptions options = TestOptions(FDir.path());
  options.Interactive = true;
  TZepMainWindow window(options);
  window.show();
  ASSERT_TRUE(window.Start());
  TSignalPipe pipe;
  QObject::connect(&pipe, &TSignalPipe::Terminate, &window, [&window](int) { window.SystemShutdown(); });
  const TOnDialog onDialog([](QWidget&) { ::raise(SIGTERM); });
  QEventLoop main;  // the program's own event loop: the box runs one inside it
  bool openAfterBox = false;
  QTimer::singleShot(0, &window, [&] {
    window.ShowMessage("a box");
    openAfterBox = window.isVisible();
  });
  QTimer quit;
  quit.setInterval(20);
  QObject::connect(&quit, &QTimer::timeout, [&] {
    if (!window.isVisible()) main.quit();
  });
  quit.start();
  QTimer::singleShot(10000, &main, &QEventLoop::quit);
  main.exec();
  EXPECT_TRUE(onDialog.Seen());
  EXPECT_TRUE(openAfterBox) << "the box's caller went on before the stop";
  EXPECT_FALSE(window.isVisible());
  EXPECT_TRUE(Contains(Ini(), "Session_0_OpenString=DemoData")) << Ini();
}

// Cancel in the connection dialog of a stored session without connection
// string: the session stays closed with its keys, and its view is kept for
// the day it has a connection again.
TEST_F(SettingsWindowsTest, CancelForAMissingConnectionKeepsTheSessionAndItsView) {
  WriteIni(kTwoSessions);
  TMainWindowOptions options = TestOptions(FDir.path());
  options.Interactive = true;
  {
    TZepMainWindow window(options);
    const TOnDialog onDialog([](QWidget& dialog) { static_cast<QDialog&>(dialog).reject(); });
    window.show();
    ASSERT_TRUE(window.Start());
    EXPECT_TRUE(onDialog.Seen());
    ASSERT_TRUE(window.App().Session(1));
    EXPECT_FALSE(window.App().Session(1)->DeviceOpened());
    EXPECT_EQ(window.Views().size(), 3u);  // A's three views
    window.SaveAllSettings();
    const std::string saved = Ini();
    for (const char* line : {"ChildCount=4", "View_4_Session=1", "View_4_Title=table of B", "View_4_Width=333",
                             "Session_1_OpenString=", "Session_1_FriendlyName=spare"})
      EXPECT_TRUE(Contains(saved, line)) << line << "\n" << saved;
    window.close();
  }
  EXPECT_TRUE(Contains(Ini(), "View_4_Title=table of B")) << Ini();
}

// A damaged "ChildCount" does not cost the window layout: every stored view
// opens, the message names the key, and the next save counts them again.
TEST_F(SettingsWindowsTest, DamagedChildCountOpensTheStoredViews) {
  std::string text = kTwoSessions;
  text.replace(text.find("ChildCount=4"), 12, "ChildCount=many");
  text.replace(text.find("Session_1_OpenString=\r\n"), 23, "Session_1_OpenString=DemoData\r\n");
  WriteIni(text);
  TZepMainWindow window(TestOptions(FDir.path()));
  ASSERT_TRUE(window.Start());
  EXPECT_EQ(window.Views().size(), 4u);
  window.DisplayTick();
  bool named = false;
  for (const TMessageItem& item : window.Messages().Snapshot())
    named = named || item.Text == "Settings value ChildCount=many is not a number; the 4 stored records are read";
  EXPECT_TRUE(named);
  window.SaveAllSettings();
  EXPECT_TRUE(Contains(Ini(), "ChildCount=4")) << Ini();
  window.close();
}

// An intermediate save (the views stay open) keeps the sessions' numbers:
// with B removed, A and C are saved as 0 and 2 and a view of C still names
// 2; the next start binds it to C, and the save at its end renumbers.
TEST_F(SettingsWindowsTest, IntermediateSaveWithAGap) {
  std::string text = "INI_Version=6\r\nSessionCount=3\r\nChildCount=1\r\nView_1_Id=3\r\nView_1_Session=2\r\n";
  for (const char* index : {"0", "1", "2"})
    text += std::string("Session_") + index + "_OpenString=DemoData\r\nSession_" + index + "_ConnectionType=6\r\n";
  WriteIni(text);
  {
    TZepMainWindow window(TestOptions(FDir.path()));
    ASSERT_TRUE(window.Start());
    window.App().RequestRemoveSession(1);
    window.DisplayTick();
    window.SaveAllSettings();
    const std::string saved = Ini();
    for (const char* line : {"SessionCount=3", "Session_0_OpenString=DemoData", "Session_2_OpenString=DemoData",
                             "View_1_Session=2", "ChildCount=1"})
      EXPECT_TRUE(Contains(saved, line)) << line << "\n" << saved;
    EXPECT_EQ(saved.find("Session_1_"), std::string::npos) << saved;
    // The process ends without closing the window (a crash): the intermediate save is what remains.
    WriteText(FDir.filePath("kept.ini").toStdString(), saved);
    window.close();
  }
  WriteIni(ReadFile(FDir.filePath("kept.ini").toStdString()));
  TZepMainWindow window(TestOptions(FDir.path()));
  ASSERT_TRUE(window.Start());
  EXPECT_FALSE(window.App().Session(1));
  ASSERT_TRUE(window.App().Session(2));
  std::vector<TViewChild*> tables;
  for (TViewChild* view : window.Views())
    if (view->Kind() == TViewKind::vkText) tables.push_back(view);
  ASSERT_EQ(tables.size(), 1u);
  ASSERT_NE(tables[0]->Session(), nullptr);
  EXPECT_EQ(tables[0]->Session()->Letter(), 'C');
  window.close();
  const std::string closed = Ini();
  for (const char* line : {"SessionCount=2", "Session_1_OpenString=DemoData", "View_1_Session=1"})
    EXPECT_TRUE(Contains(closed, line)) << line << "\n" << closed;
}

// A window opened during the run reaches the file without any save command.
TEST_F(SettingsWindowsTest, WindowOpenedDuringTheRunIsSaved) {
  WriteSimulatorSettings(FDir.path(), 2, 9);
  TZepMainWindow window(TestOptions(FDir.path()));
  ASSERT_TRUE(window.Start());
  RunTicks(window, 300ms);
  const std::size_t views = window.Views().size() - 1;  // without the message window
  ASSERT_TRUE(TickUntil(window, 5s, [&] { return Contains(Ini(), "ChildCount=" + std::to_string(views)); })) << Ini();
  ASSERT_NE(window.CreateView(TViewKind::vkAllan, 0), nullptr);
  EXPECT_TRUE(TickUntil(window, 5s, [&] { return Contains(Ini(), "ChildCount=" + std::to_string(views + 1)); }))
      << Ini();
  EXPECT_TRUE(Contains(Ini(), "View_" + std::to_string(views + 1) + "_Id=2")) << Ini();
  window.close();
}

}  // namespace
