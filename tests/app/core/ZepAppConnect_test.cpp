#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <thread>

#include "app/core/Main.h"
#include "app/data/PAV_DataManagement.h"
#include "support/FileText.h"
#include "support/TempFolder.h"

namespace {

using namespace std::chrono_literals;

// The connection dialog of a test: gives back `Choice`; answers Yes/No
// questions from a script and records them.
class TScriptedFrontEnd : public TZepFrontEnd {
 public:
  std::optional<TConnectionChoice> ChooseConnection(int, const TConnectionChoice& proposal) override {
    Proposals.push_back(proposal);
    return Choice;
  }
  void ShowMessage(const std::string& text) override { Shown.push_back(text); }
  bool AskYesNo(const std::string& question) override {
    Questions.push_back(question);
    if (Answers.empty()) return false;
    const bool yes = Answers.front();
    Answers.pop_front();
    return yes;
  }

  TConnectionChoice Choice;
  std::vector<TConnectionChoice> Proposals;
  std::vector<std::string> Shown;
  std::vector<std::string> Questions;
  std::deque<bool> Answers;
};

TConnectionChoice Demo() {
  TConnectionChoice choice;
  choice.OpenString = "DemoData";
  choice.ConnectionType = ctDemo;
  return choice;
}

int CountCode(const std::vector<TAppMessage>& messages, int code) {
  return static_cast<int>(std::count_if(messages.begin(), messages.end(), [&](const TAppMessage& m) { return m.Code == code; }));
}

// What the dialog chose reaches the session: the channel count is sent once
// the counter is open (the simulated counter then measures that many
// channels), the calibration and reference options are kept and saved.
TEST(ZepAppConnection, DialogOptionsReachTheNewSession) {
  TTempFolder folder;
  TScriptedFrontEnd frontEnd;
  frontEnd.Choice = Demo();
  TZepAppOptions options;
  options.ConfigFolder = folder.Path().string() + "/";
  TZepApp app(options, frontEnd);
  ASSERT_TRUE(app.Start());
  ASSERT_EQ(frontEnd.Proposals.size(), 1u);
  EXPECT_TRUE(frontEnd.Proposals[0].UseDeviceCalibration);
  EXPECT_FALSE(frontEnd.Proposals[0].Ref20MHz);

  frontEnd.Choice.ChannelCount = 2;
  frontEnd.Choice.UseDeviceCalibration = false;
  frontEnd.Choice.Ref20MHz = true;
  const int index = app.NewSession();
  ASSERT_EQ(index, 1);
  const auto session = std::dynamic_pointer_cast<TVQSessionItem>(app.Session(index));
  ASSERT_TRUE(session);
  EXPECT_FALSE(session->UseDeviceCalibration());
  EXPECT_TRUE(session->Ref20MHz());
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (session->PAV().ChannelCount() != 2 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(100ms);
    app.DisplayTick();
  }
  EXPECT_EQ(session->PAV().ChannelCount(), 2);
  app.Shutdown();
  const std::string saved = ReadFile(folder.File("ZEP_App.ini"));
  EXPECT_NE(saved.find("Session_1_UseDeviceCalibration=False\r\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("Session_1_Ref20MHz=True\r\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("Session_0_UseDeviceCalibration=True\r\n"), std::string::npos) << saved;
}

// A server that does not answer: the user is asked "Connect server again?"
// after each failure and the open is tried again on Yes; No gives up and
// removes the new session. A local connection is not asked about.
TEST(ZepAppConnection, FailedServerConnectionIsRetriedOnYes) {
  TTempFolder folder;
  TScriptedFrontEnd frontEnd;
  frontEnd.Choice = Demo();
  TZepAppOptions options;
  options.ConfigFolder = folder.Path().string() + "/";
  TZepApp app(options, frontEnd);
  ASSERT_TRUE(app.Start());
  app.TakeMessages();

  frontEnd.Choice.OpenString = "TCP:127.0.0.1:1";  // nothing listens on port 1
  frontEnd.Choice.ConnectionType = ctTCPServer;
  frontEnd.Answers = {true, true, false};
  EXPECT_EQ(app.NewSession(), -1);
  EXPECT_EQ(frontEnd.Questions, std::vector<std::string>(3, "Connect server again?"));
  EXPECT_EQ(CountCode(app.TakeMessages(), 72), 3);
  EXPECT_EQ(frontEnd.Shown.size(), 3u);
  EXPECT_EQ(app.Session(1), nullptr);

  frontEnd.Questions.clear();
  frontEnd.Choice.OpenString = "/no/such/replay/file";
  frontEnd.Choice.ConnectionType = ctFile;
  EXPECT_EQ(app.NewSession(), -1);
  EXPECT_TRUE(frontEnd.Questions.empty());
  app.Shutdown();
}

// An empty connection string from the dialog says which port it came from.
TEST(ZepAppConnection, EmptyConnectionNamesThePort) {
  TTempFolder folder;
  TScriptedFrontEnd frontEnd;
  frontEnd.Choice = Demo();
  TZepAppOptions options;
  options.ConfigFolder = folder.Path().string() + "/";
  TZepApp app(options, frontEnd);
  ASSERT_TRUE(app.Start());
  app.TakeMessages();
  frontEnd.Choice.OpenString.clear();
  frontEnd.Choice.PortDescription = "USB (no USB device found)";
  EXPECT_EQ(app.NewSession(), -1);
  const std::vector<TAppMessage> messages = app.TakeMessages();
  ASSERT_EQ(CountCode(messages, 86), 1);
  const auto error = std::find_if(messages.begin(), messages.end(), [](const TAppMessage& m) { return m.Code == 86; });
  EXPECT_EQ(error->Text, "No connection chosen: USB (no USB device found)");
  app.Shutdown();
}

}  // namespace
