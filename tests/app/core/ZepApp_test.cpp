#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/core/Main.h"
#include "app/data/PAV_DataManagement.h"
#include "app/data/QMT_DataManagement.h"
#include "app/output/App_LogDefinition.h"
#include "app/output/ZEP_MultiSampler.h"
#include "support/FileText.h"
#include "support/TempFolder.h"

namespace {

using namespace std::chrono_literals;

// The lines of a settings file in name order: saving rewrites the session
// keys at the end, so only their order may change.
std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines = TextLines(text);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// The connection dialog and message boxes of a test: answers from a script.
class TTestFrontEnd : public TZepFrontEnd {
 public:
  std::optional<TConnectionChoice> ChooseConnection(int, const TConnectionChoice& proposal) override {
    ++FDialogs;
    if (FAnswer.empty()) return std::nullopt;
    TConnectionChoice choice = proposal;
    choice.OpenString = FAnswer;
    choice.ConnectionType = ctDemo;
    choice.FriendlyName = FFriendlyName;
    return choice;
  }
  std::optional<TConnectionChoice> ChooseMissingConnection(int index, const TConnectionChoice& proposal) override {
    FMissing.emplace_back(index, proposal);
    return std::nullopt;
  }
  void ShowMessage(const std::string& text) override { FMessages.push_back(text); }

  std::string FAnswer = "DemoData";
  std::string FFriendlyName;
  std::vector<std::pair<int, TConnectionChoice>> FMissing;  // asked for stored sessions without connection
  int FDialogs = 0;
  std::vector<std::string> FMessages;
};

// Runs the display tick for a while, as a front end's timer does.
void Tick(TZepApp& app, std::chrono::milliseconds duration) {
  const auto end = std::chrono::steady_clock::now() + duration;
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(100ms);
    app.DisplayTick();
  }
}

TZepAppOptions Options(const TTempFolder& folder) {
  TZepAppOptions options;
  options.ConfigFolder = folder.Path().string() + "/";
  return options;
}

TEST(ZepApp, FirstStartRunsASimulatedCounterAndASecondStartReadsItBack) {
  TTempFolder folder;
  const std::string ini = folder.File("ZEP_App.ini");
  std::string firstSave;
  {
    TTestFrontEnd frontEnd;
    TZepApp app(Options(folder), frontEnd);
    ASSERT_TRUE(app.Start());
    EXPECT_EQ(frontEnd.FDialogs, 1);
    Tick(app, 2000ms);
    const auto session = std::dynamic_pointer_cast<TVQSessionItem>(app.Session(0));
    ASSERT_TRUE(session);
    const TVQSessionState state = session->State();
    EXPECT_GE(state.Measurements, 1u);
    EXPECT_GE(state.LastSecond, 1);
    EXPECT_EQ(state.DataHeader, 0x0900u);
    app.Shutdown();
    firstSave = ReadFile(ini);
  }
  EXPECT_NE(firstSave.find("Session_0_OpenString=DemoData\r\n"), std::string::npos) << firstSave;
  EXPECT_NE(firstSave.find("SessionCount=1\r\n"), std::string::npos) << firstSave;
  struct stat info {};
  ASSERT_EQ(::stat(ini.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  TTestFrontEnd frontEnd;
  TZepApp app(Options(folder), frontEnd);
  ASSERT_TRUE(app.Start());
  EXPECT_EQ(frontEnd.FDialogs, 0);
  ASSERT_EQ(app.Sessions().size(), 1u);
  EXPECT_EQ(app.Session(0)->OpenString(), "DemoData");
  Tick(app, 300ms);
  app.Shutdown();
  // Simulated counters are numbered in the order the process creates them,
  // so the second start's counter has another serial number.
  const auto withoutSerial = [](std::vector<std::string> lines) {
    std::erase_if(lines, [](const std::string& line) { return line.starts_with("Session_0_SerialNumber="); });
    return lines;
  };
  EXPECT_EQ(withoutSerial(SortedLines(ReadFile(ini))), withoutSerial(SortedLines(firstSave)));
  EXPECT_NE(firstSave.find("Session_0_SerialNumber="), std::string::npos);
  EXPECT_EQ(firstSave.find("Session_0_SerialNumber=4294967295"), std::string::npos) << "learned at the display tick";
}

TEST(ZepApp, NoConnectionAtFirstStartCancelsWithoutSaving) {
  TTempFolder folder;
  TTestFrontEnd frontEnd;
  frontEnd.FAnswer.clear();
  {
    TZepApp app(Options(folder), frontEnd);
    EXPECT_FALSE(app.Start());
    EXPECT_TRUE(app.Canceled());
  }
  EXPECT_EQ(frontEnd.FDialogs, 2);
  ASSERT_EQ(frontEnd.FMessages.size(), 1u);
  EXPECT_EQ(frontEnd.FMessages[0], "Please choose a connection or app will be canceled");
  EXPECT_EQ(ReadFile(folder.File("ZEP_App.ini")), "");
}

// Sessions saved with a gap (0 and 2): both come back, no dialog opens for
// the missing one, and a save that closes the views renumbers them.
TEST(ZepApp, SessionNumbersWithAGap) {
  TTempFolder folder;
  std::ofstream(folder.File("ZEP_App.ini"), std::ios::binary)
      << "INI_Version=6\r\nSessionCount=3\r\nSession_0_OpenString=DemoData\r\nSession_0_ConnectionType=6\r\n"
      << "Session_0_SerialNumber=-1\r\nSession_0_Names=a, b, \r\nSession_0_SensorKey=kept\r\n"
      << "Session_2_OpenString=DemoData\r\nSession_2_ConnectionType=6\r\nSession_2_FriendlyName=third\r\n"
      << "ChildCount=1\r\nView_1_Id=3\r\nView_1_Session=2\r\n";
  TTestFrontEnd frontEnd;
  {
    TZepApp app(Options(folder), frontEnd);
    ASSERT_TRUE(app.Start());
    EXPECT_EQ(frontEnd.FDialogs, 0);
    ASSERT_TRUE(app.Session(0));
    EXPECT_FALSE(app.Session(1));
    ASSERT_TRUE(app.Session(2));
    app.Shutdown();
  }
  const std::string saved = ReadFile(folder.File("ZEP_App.ini"));
  EXPECT_NE(saved.find("SessionCount=2\r\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("Session_1_FriendlyName=third\r\n"), std::string::npos) << saved;
  EXPECT_EQ(saved.find("Session_2_"), std::string::npos) << saved;
  EXPECT_NE(saved.find("View_1_Session=1\r\n"), std::string::npos) << saved;
  // -1 is an unknown serial number too; the channel names read are saved
  // for all 24 channels; keys the session does not read survive.
  EXPECT_NE(saved.find("Session_0_SerialNumber=4294967295\r\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("Session_0_Names=a, b, Channel_3, "), std::string::npos) << saved;
  EXPECT_NE(saved.find("Session_0_SensorKey=kept\r\n"), std::string::npos) << saved;
}

// The QMT-only copy shares the counter's source, is never polled, follows the
// original's number and goes away with it.
TEST(ZepApp, QmtOnlyCopyOfACounterSession) {
  TTempFolder folder;
  std::ofstream(folder.File("ZEP_App.ini"), std::ios::binary)
      << "SessionCount=3\r\nSession_0_OpenString=DemoData\r\nSession_2_OpenString=DemoData\r\n";
  TTestFrontEnd frontEnd;
  TZepApp app(Options(folder), frontEnd);
  ASSERT_TRUE(app.Start());
  const auto original = std::dynamic_pointer_cast<TVQSessionItem>(app.Session(2));
  const auto copy = app.CreateQMTCopy(2);
  ASSERT_TRUE(copy);
  EXPECT_EQ(app.CreateQMTCopy(2), copy);
  EXPECT_TRUE(copy->IsCopy());
  EXPECT_TRUE(copy->QMTonly());
  EXPECT_EQ(copy->MultiId(), original->MultiId());
  EXPECT_EQ(copy->LinkedSession(), original);
  EXPECT_EQ(original->LinkedSession(), copy);
  EXPECT_EQ(copy->IntervalMs(), 1000);
  EXPECT_TRUE(copy->DeviceOpened());
  EXPECT_FALSE(copy->GetReport());
  EXPECT_EQ(copy->ToString().substr(0, 22), "TVQSessionItem[2/True]");
  EXPECT_FALSE(app.CreateQMTCopy(1));  // no session there

  app.SaveSettings(true);  // numbers 0, 2 are written as 0, 1
  EXPECT_EQ(copy->Index(), 1);
  // The shared stores name the session by its new number and letter.
  EXPECT_EQ(original->PAV().SessId(), 1);
  EXPECT_EQ(original->QMT().SessId(), 1);
  EXPECT_EQ(original->PAV().SessionLetter(), 'B');
  app.RequestRemoveSession(2);  // the slot is still 2
  app.DisplayTick();
  EXPECT_TRUE(app.SessionCopies().empty());
  EXPECT_FALSE(copy->DeviceOpened());
  app.Shutdown();
}

TEST(ZepApp, UnwritableConfigurationFolderFailsClearly) {
  TTestFrontEnd frontEnd;
  TZepAppOptions options;
  options.ConfigFolder = "/proc/zep-cannot-be-here/";
  TZepApp app(options, frontEnd);
  EXPECT_FALSE(app.Start());
  ASSERT_EQ(frontEnd.FMessages.size(), 1u);
  EXPECT_NE(frontEnd.FMessages[0].find("cannot be written"), std::string::npos);
}

// The whole application started and stopped again and again: no hang, no
// leak (the sanitizer build checks), settings stay one session.
TEST(ZepApp, StartAndStopFiftyTimes) {
  TTempFolder folder;
  for (int round = 0; round < 50; ++round) {
    TTestFrontEnd frontEnd;
    TZepApp app(Options(folder), frontEnd);
    ASSERT_TRUE(app.Start()) << round;
    app.DisplayTick();
    app.Shutdown();
  }
  // Stopped before any data came: the simulated counter's set-up is saved as
  // configured, not as the unknown values of a counter without data.
  const std::string saved = ReadFile(folder.File("ZEP_App.ini"));
  EXPECT_NE(saved.find("SessionCount=1\r\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("Session_0_DemoChannels=4\r\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("Session_0_DemoMode=0\r\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("Session_0_DemoRate=9\r\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("Session_0_Interval=1000\r\n"), std::string::npos) << saved;
}

// Sessions that cannot be opened (a sensor session, a counter session
// without connection string) keep their slots and every key; a save that
// closes the views renumbers them with the others, their log definition,
// views and info window following.
TEST(ZepApp, SessionsItCannotOpenAreKeptAndRenumbered) {
  TTempFolder folder;
  WriteText(folder.File("ZEP_App.ini"),
            "INI_Version=6\r\nSessionCount=3\r\nSession_0_OpenString=DemoData\r\nSession_0_ConnectionType=6\r\n"
            "Session_1_SessionType=1\r\nSession_1_OpenString=SNMP host\r\nSession_1_Oid=1.3.6\r\n"
            "Session_2_OpenString=\r\nSession_2_Color=255\r\nSession_2_FriendlyName=spare\r\nSession_2_Interval=x\r\n"
            "Info_2_Left=40\r\nInfo_0_Left=5\r\nChildCount=1\r\nView_1_Id=3\r\nView_1_Session=2\r\n"
            "Log_DefsCount=1\r\nLog_1_FileName=spare.txt\r\nLog_1_Count=1\r\nLog_1_Simple1_SessionIndex=2\r\n"
            "Log_1_Simple1_LogTypes=2\r\nLog_1_Simple1_Enabled1=1\r\n");
  TTestFrontEnd frontEnd;
  TZepApp app(Options(folder), frontEnd);
  ASSERT_TRUE(app.Start());
  ASSERT_EQ(frontEnd.FMissing.size(), 1u);
  EXPECT_EQ(frontEnd.FMissing[0].first, 2);
  EXPECT_EQ(frontEnd.FMissing[0].second.Color, 255u);
  EXPECT_EQ(frontEnd.FMissing[0].second.FriendlyName, "spare");
  ASSERT_TRUE(app.Session(1));
  ASSERT_TRUE(app.Session(2));
  EXPECT_FALSE(app.Session(1)->DeviceOpened());
  EXPECT_FALSE(app.Session(2)->DeviceOpened());
  std::vector<std::string> texts;
  for (const TAppMessage& message : app.TakeMessages()) texts.push_back(message.Text);
  EXPECT_THAT(texts, ::testing::Contains(
                         "Session B: sensor sessions are not available in this version; it is not opened, its settings are kept"));
  EXPECT_THAT(texts, ::testing::Contains("Session C: it has no connection string; it is not opened, its settings are kept"));
  EXPECT_THAT(texts, ::testing::Not(::testing::Contains(::testing::HasSubstr("Session_2_Interval"))))
      << "a kept session is not read";
  ASSERT_EQ(app.MultiSampler()->DefinitionSlotCount(), 1);

  app.RequestRemoveSession(0);
  app.DisplayTick();
  app.Shutdown();
  const std::string saved = ReadFile(folder.File("ZEP_App.ini"));
  for (const char* line : {"SessionCount=2", "Session_0_SessionType=1", "Session_0_OpenString=SNMP host",
                           "Session_0_Oid=1.3.6", "Session_1_OpenString=", "Session_1_Color=255",
                           "Session_1_Interval=x", "Info_1_Left=40", "View_1_Session=1", "Log_DefsCount=1",
                           "Log_1_Simple1_SessionIndex=1"})
    EXPECT_NE(saved.find(std::string(line) + "\r\n"), std::string::npos) << line << "\n" << saved;
  for (const char* gone : {"Session_2_", "Info_0_", "Info_2_", "SessionType=0"})
    EXPECT_EQ(saved.find(gone), std::string::npos) << gone << "\n" << saved;
}

// One program per configuration folder: the second says which process
// holds it, saves nothing, and the folder is free once the first has ended.
TEST(ZepApp, SecondApplicationOnAFolderInUseStops) {
  TTempFolder folder;
  TTestFrontEnd firstFrontEnd;
  auto first = std::make_unique<TZepApp>(Options(folder), firstFrontEnd);
  ASSERT_TRUE(first->Start());
  first->Shutdown();
  const std::string saved = ReadFile(folder.File("ZEP_App.ini"));

  TTestFrontEnd frontEnd;
  {
    TZepApp second(Options(folder), frontEnd);
    EXPECT_FALSE(second.Start());
    EXPECT_TRUE(second.Canceled());
  }
  ASSERT_EQ(frontEnd.FMessages.size(), 1u);
  EXPECT_THAT(frontEnd.FMessages[0], ::testing::HasSubstr("is in use by process " + std::to_string(::getpid()) + " (zep)"));
  EXPECT_EQ(ReadFile(folder.File("ZEP_App.ini")), saved);

  first.reset();
  TTestFrontEnd thirdFrontEnd;
  TZepApp third(Options(folder), thirdFrontEnd);
  EXPECT_TRUE(third.Start());
}

// Sessions and log definitions changed during a run reach the file at the
// next display tick, and an unchanged state writes nothing.
TEST(ZepApp, ChangesDuringARunAreSaved) {
  TTempFolder folder;
  const std::string ini = folder.File("ZEP_App.ini");
  TTestFrontEnd frontEnd;
  TZepAppOptions options = Options(folder);
  options.SaveChangesEvery = 0ms;
  TZepApp app(options, frontEnd);
  ASSERT_TRUE(app.Start());
  EXPECT_EQ(ReadFile(ini).find("Session_0_"), std::string::npos) << "nothing saved before the run";
  Tick(app, 1500ms);
  EXPECT_NE(ReadFile(ini).find("Session_0_OpenString=DemoData\r\n"), std::string::npos);

  WriteText(ini, "marker");  // written again only when something changes
  app.DisplayTick();
  EXPECT_EQ(ReadFile(ini), "marker");

  ASSERT_EQ(app.AddLogDefinitions(1u << LogType::Phase), 1);
  app.DisplayTick();
  EXPECT_NE(ReadFile(ini).find("Log_DefsCount=1\r\n"), std::string::npos);
  ASSERT_EQ(app.NewSession(), 1);
  app.DisplayTick();
  EXPECT_NE(ReadFile(ini).find("Session_1_OpenString=DemoData\r\n"), std::string::npos);
  app.RequestRemoveSession(1);
  app.DisplayTick();
  const std::string saved = ReadFile(ini);
  EXPECT_EQ(saved.find("Session_1_"), std::string::npos) << saved;
  EXPECT_NE(saved.find("SessionCount=1\r\n"), std::string::npos) << saved;
  app.Shutdown();
}

// ---- damaged settings -------------------------------------------------------------------------

// Folder keys damaged into relative names are made below the current
// folder: it is a temporary one while such a test runs.
class TCurrentFolder {
 public:
  explicit TCurrentFolder(const std::filesystem::path& folder) : FOld(std::filesystem::current_path()) {
    std::filesystem::current_path(folder);
  }
  ~TCurrentFolder() { std::filesystem::current_path(FOld); }

 private:
  std::filesystem::path FOld;
};

// The keys the desktop program writes for its windows, which the core
// keeps as they are.
constexpr const char* kWindowLines[] = {
    "ChildCount=3",        "View_1_Id=1",         "View_1_Session=0",  "View_1_Left=10", "View_1_GraphMode=2",
    "View_2_Id=3",         "View_2_Session=0",    "View_2_Width=480",  "View_3_Id=6",    "View_3_Session=0",
    "View_3_SessionCopy=True", "ViewMessage_Left=0", "Main_ActiveView=2", "Main_Left=12", "Info_0_Left=5",
    "Info_0_Visible=True",
};

// A settings file as a run of both programs leaves it: a simulated counter
// "first" logging its frequencies, and the desktop program's window keys.
std::string SavedSettingsFile(const TTempFolder& folder) {
  {
    TTestFrontEnd frontEnd;
    frontEnd.FFriendlyName = "first";
    TZepApp app(Options(folder), frontEnd);
    EXPECT_TRUE(app.Start());
    EXPECT_EQ(app.AddLogDefinitions(1u << LogType::Freq), 1);
    Tick(app, 300ms);
    app.Shutdown();
  }
  std::string text = ReadFile(folder.File("ZEP_App.ini"));
  for (const char* line : kWindowLines) text += std::string(line) + "\r\n";
  return text;
}

std::pair<std::string, std::string> KeyAndValue(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const std::size_t equals = line.find('=');
  return {line.substr(0, equals), line.substr(equals + 1)};
}

// A number the application itself reads: damaging it must be said.
bool NumberTheCoreReads(const std::string& key, const std::string& value) {
  const bool number = !value.empty() && value.size() <= 11 &&
                      value.find_first_not_of("0123456789", value[0] == '-' ? 1 : 0) == std::string::npos;
  const bool windowKey = key.starts_with("View") || key.starts_with("Info_") || key.starts_with("Main_") ||
                         key == "ChildCount";
  return number && !windowKey && key != "TestOptions";  // eight option flags, not a number
}

// Every key of a saved file, damaged in turn (no number, empty, far too
// large), started each time: the start never fails, and neither the
// session with its connection nor the log definition nor the window set is
// lost; every damaged number the application reads is named in a message.
TEST(ZepAppDamagedSettings, EveryKeyDamagedInTurn) {
  TTempFolder folder;
  const TCurrentFolder current(folder.Path());
  const std::string ini = folder.File("ZEP_App.ini");
  const std::string saved = SavedSettingsFile(folder);
  const std::vector<std::string> lines = TextLines(saved);
  std::string logFileLine;
  for (const std::string& line : lines)
    if (line.starts_with("Log_1_FileName=")) logFileLine = KeyAndValue(line).first + "=" + KeyAndValue(line).second;
  ASSERT_FALSE(logFileLine.empty()) << saved;

  for (const std::string& damagedLine : lines) {
    const auto [key, value] = KeyAndValue(damagedLine);
    for (const std::string damage : {"x1", "", "99999999999999999999"}) {
      SCOPED_TRACE(key + "=" + damage + " (was " + value + ")");
      std::string text;
      for (const std::string& line : lines)
        text += (line == damagedLine ? key + "=" + damage + "\r" : line) + "\n";
      WriteText(ini, text);
      TTestFrontEnd frontEnd;
      std::vector<TAppMessage> messages;
      {
        TZepApp app(Options(folder), frontEnd);
        ASSERT_TRUE(app.Start());
        messages = app.TakeMessages();
        app.Shutdown();
      }
      const std::string result = ReadFile(ini);
      const auto has = [&](const std::string& line) { return result.find(line + "\r\n") != std::string::npos; };
      EXPECT_TRUE(has("Session_0_OpenString=" + std::string(key == "Session_0_OpenString" ? damage : "DemoData")))
          << result;
      if (key != "Session_0_FriendlyName") {
        EXPECT_TRUE(has("Session_0_FriendlyName=first")) << result;
      }
      EXPECT_TRUE(has("Log_DefsCount=1")) << result;
      if (key != "Log_1_FileName") {
        EXPECT_TRUE(has(logFileLine)) << result;
      }
      for (const std::string line : kWindowLines)
        EXPECT_TRUE(has(KeyAndValue(line).first == key ? key + "=" + damage : line)) << result;
      if (NumberTheCoreReads(key, value)) {
        const bool named = std::any_of(messages.begin(), messages.end(), [&](const TAppMessage& m) {
          return m.Code == SessionMsg::ErrorIniFile && m.Text.find(key) != std::string::npos;
        });
        EXPECT_TRUE(named);
      }
    }
  }
}

}  // namespace
