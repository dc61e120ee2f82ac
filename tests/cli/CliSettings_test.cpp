#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/CliProcess.h"
#include "support/FileText.h"
#include "support/TempFolder.h"

namespace {

using namespace std::chrono_literals;

// Starts zep-cli with `args` after "--config <folder>"; its output goes to `out`.
pid_t StartCli(const std::string& folder, const std::vector<std::string>& args, const std::string& out) {
  std::vector<std::string> words = {"--config", folder};
  words.insert(words.end(), args.begin(), args.end());
  return SpawnCliToFile(words, out);
}

struct TRun {
  int ExitCode = -1;  // -1: did not end normally
  std::string Output;
};

TRun RunCli(const std::string& folder, const std::vector<std::string>& args) {
  const std::string out = folder + "/out.txt";
  TRun run;
  run.ExitCode = WaitExitCode(StartCli(folder, args, out));
  run.Output = ReadFile(out);
  return run;
}

std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines = TextLines(text);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Lines whose key begins with `prefix`, renamed to `renamed` + the rest.
std::string CopyKeys(const std::string& text, const std::string& prefix, const std::string& renamed) {
  std::string copied;
  for (const std::string& line : TextLines(text))
    if (line.starts_with(prefix)) copied += renamed + line.substr(prefix.size()) + "\n";
  return copied;
}

// Sessions zep-cli cannot open (sensor sessions, a counter session without
// a connection string) survive a run unchanged, and so do their log
// definition, the desktop program's window and info window keys and keys
// no part of the program knows.
TEST(CliSettings, SessionsItCannotOpenAndKeysItDoesNotKnowSurviveARun) {
  const TTempFolder folder;
  const std::string config = folder.Path().string();
  const std::string ini = config + "/ZEP_App.ini";
  ASSERT_EQ(RunCli(config, {"run", "--duration", "1", "--log", "freq"}).ExitCode, 0);
  std::string text = ReadFile(ini);
  const std::size_t count = text.find("SessionCount=1\r\n");
  ASSERT_NE(count, std::string::npos) << text;
  text.replace(count, 16, "SessionCount=4\r\n");
  const std::size_t defs = text.find("Log_DefsCount=1\r\n");
  ASSERT_NE(defs, std::string::npos) << text;
  text.replace(defs, 17, "Log_DefsCount=2\r\n");
  // A second definition logs from the counter without a connection string.
  std::string second = CopyKeys(text, "Log_1_", "Log_2_");
  const std::size_t index = second.find("Log_2_Simple1_SessionIndex=0");
  ASSERT_NE(index, std::string::npos);
  second.replace(index, 28, "Log_2_Simple1_SessionIndex=3");
  text += second +
          "Session_1_SessionType=1\r\nSession_1_OpenString=SNMP 10.0.0.5\r\nSession_1_FriendlyName=rack\r\n"
          "Session_1_SensorOid=1.3.6.1.4.1\r\n"
          "Session_2_SessionType=2\r\nSession_2_OpenString=ANY\r\nSession_2_Channels=3\r\n"
          "Session_3_SessionType=0\r\nSession_3_OpenString=\r\nSession_3_FriendlyName=spare\r\nSession_3_Color=255\r\n"
          "Info_0_Left=5\r\nInfo_3_Left=40\r\nInfo_3_Visible=False\r\n"
          "ChildCount=2\r\nView_1_Id=7\r\nView_1_Session=1\r\nView_2_Id=3\r\nView_2_Session=3\r\n"
          "Notification_1_Codes=61\r\nOtherTool_Setting=keep me\r\nFuture_Key=\r\n";
  WriteText(ini, text);

  const TRun run = RunCli(config, {"run", "--duration", "1"});
  ASSERT_EQ(run.ExitCode, 0) << run.Output;
  for (const char letter : {'B', 'C', 'D'})
    EXPECT_NE(run.Output.find(std::string(" ") + letter + " Session " + letter + ": "), std::string::npos) << run.Output;
  EXPECT_NE(run.Output.find("Session D: it has no connection string; it is not opened, its settings are kept"),
            std::string::npos)
      << run.Output;
  // The simulated counter of this run has another serial number.
  const auto withoutSerial = [](std::vector<std::string> lines) {
    std::erase_if(lines, [](const std::string& line) { return line.starts_with("Session_0_SerialNumber="); });
    return lines;
  };
  EXPECT_EQ(withoutSerial(SortedLines(ReadFile(ini))), withoutSerial(SortedLines(text)));
}

// With only sessions it cannot open, zep-cli does not make up a simulated
// counter in their place: it ends and leaves the file as it was.
TEST(CliSettings, NothingToOpenEndsTheRunAndKeepsTheFile) {
  const TTempFolder folder;
  const std::string config = folder.Path().string();
  const std::string text = "INI_Version=6\r\nSessionCount=2\r\nSession_0_SessionType=1\r\nSession_0_OpenString=SNMP h\r\n"
                           "Session_1_OpenString=\r\nSession_1_Color=255\r\n";
  WriteText(config + "/ZEP_App.ini", text);
  const TRun run = RunCli(config, {"run", "--duration", "1"});
  EXPECT_EQ(run.ExitCode, 1) << run.Output;
  EXPECT_NE(run.Output.find("the application did not start"), std::string::npos) << run.Output;
  EXPECT_EQ(run.Output.find("DemoData"), std::string::npos) << run.Output;
  EXPECT_EQ(ReadFile(config + "/ZEP_App.ini"), text);
}

// A damaged count through the whole program: the run goes on with the
// stored session and names the key.
TEST(CliSettings, DamagedSessionCountKeepsTheSession) {
  const TTempFolder folder;
  const std::string config = folder.Path().string();
  WriteText(config + "/ZEP_App.ini",
            "SessionCount=abc\r\nSession_0_OpenString=DemoData\r\nSession_0_ConnectionType=6\r\n"
            "Session_0_FriendlyName=mine\r\nSession_0_Color=blue\r\n");
  const TRun run = RunCli(config, {"run", "--duration", "1"});
  ASSERT_EQ(run.ExitCode, 0) << run.Output;
  EXPECT_NE(run.Output.find("Settings value SessionCount=abc is not a number; the 1 stored sessions are read"),
            std::string::npos)
      << run.Output;
  EXPECT_NE(run.Output.find("Settings value Session_0_Color=blue is not a number; the default 16776960 is used"),
            std::string::npos)
      << run.Output;
  const std::string saved = ReadFile(config + "/ZEP_App.ini");
  EXPECT_NE(saved.find("SessionCount=1\r\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("Session_0_OpenString=DemoData\r\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("Session_0_FriendlyName=mine\r\n"), std::string::npos) << saved;
}

// A second program on a configuration folder in use says which process
// holds it and stops without touching the settings; the first one saves.
TEST(CliSettings, SecondProgramOnAFolderInUseStops) {
  const TTempFolder folder;
  const std::string config = folder.Path().string();
  const pid_t first = StartCli(config, {"run"}, config + "/first.txt");
  ASSERT_GT(first, 0);
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (ReadFile(config + "/first.txt").find("A DemoData  second ") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(50ms);
  const std::string before = ReadFile(config + "/ZEP_App.ini");

  const TRun second = RunCli(config, {"run", "--duration", "1"});
  EXPECT_EQ(second.ExitCode, 1) << second.Output;
  EXPECT_NE(second.Output.find("is in use by process " + std::to_string(first) + " (zep-cli)"), std::string::npos)
      << second.Output;
  EXPECT_EQ(ReadFile(config + "/ZEP_App.ini"), before);

  ASSERT_EQ(::kill(first, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(first, &status, 0), first);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // Once the first has ended, the folder is free again.
  EXPECT_EQ(RunCli(config, {"run", "--duration", "1"}).ExitCode, 0);
}

}  // namespace
