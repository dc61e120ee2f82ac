#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "support/CliProcess.h"
#include "support/FileText.h"
#include "support/TempFolder.h"

namespace {

using namespace std::chrono_literals;

struct TRun {
  int ExitCode = -1;  // -1: did not end normally
  std::string Output;
};

// zep-cli with its output in a file, as in a pipe or a log.
TRun RunToFile(const TTempFolder& folder, const std::vector<std::string>& args) {
  const std::string out = folder.File("out.txt");
  TRun run;
  run.ExitCode = WaitExitCode(SpawnCliToFile(args, out));
  run.Output = ReadFile(out);
  return run;
}

// zep-cli on a pseudo-terminal: everything it wrote until it ended.
TRun RunOnTerminal(const std::vector<std::string>& args) {
  int master = -1, slave = -1;
  winsize size{};
  size.ws_row = 40;
  size.ws_col = 100;
  if (::openpty(&master, &slave, nullptr, nullptr, &size) != 0) return {};
  const pid_t pid = SpawnCli(args, slave);
  ::close(slave);
  TRun run;
  char buffer[4096];
  for (;;) {
    pollfd watched{master, POLLIN, 0};
    if (::poll(&watched, 1, 30000) <= 0) break;
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO once the program ended
    run.Output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(master);
  run.ExitCode = WaitExitCode(pid);
  return run;
}

std::vector<std::string> Config(const TTempFolder& folder) { return {"--config", folder.Path().string()}; }

std::vector<std::string> With(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(CliRun, VersionAndUnknownSubcommands) {
  TTempFolder folder;
  const TRun version = RunToFile(folder, {"--version"});
  EXPECT_EQ(version.ExitCode, 0);
  EXPECT_TRUE(version.Output.starts_with("zep-cli 3.3.2 - 2024-08-09, device library 20.")) << version.Output;

  for (const auto& args : {std::vector<std::string>{"bogus"}, With(Config(folder), {"bogus", "--duration", "1"})}) {
    const TRun bogus = RunToFile(folder, args);
    EXPECT_NE(bogus.ExitCode, 0);
    EXPECT_NE(bogus.Output.find("unknown subcommand \"bogus\""), std::string::npos) << bogus.Output;
    EXPECT_NE(bogus.Output.find("run, lines, ports, analyze"), std::string::npos) << bogus.Output;
  }
}

// Nobody can answer a connection dialog: a configuration whose sessions
// were all removed runs the simulated counter without asking for one.
TEST(CliRun, NoSessionLeftRunsTheSimulatedCounterWithoutAsking) {
  TTempFolder folder;
  std::ofstream(folder.File("ZEP_App.ini")) << "SessionCount=0\r\n";
  const TRun run = RunToFile(folder, With(Config(folder), {"run", "--duration", "3"}));
  EXPECT_EQ(run.ExitCode, 0) << run.Output;
  EXPECT_EQ(run.Output.find("Please choose"), std::string::npos) << run.Output;
  EXPECT_NE(run.Output.find("session A connects to DemoData"), std::string::npos) << run.Output;
}

// --connect gives the sessions of a first start; later it adds sessions to
// the stored ones, but none for a connection a stored session uses.
TEST(CliRun, ConnectMakesTheSessionsOfAFirstStartAndAddsToAStoredSet) {
  TTempFolder folder;
  const std::string recording = folder.File("20261210_101500_A_VQ_ReportData.txt");
  std::filesystem::copy_file(std::string(ZEP_FIXTURES_DIR) + "/text/20261210_101500_A_VQ_ReportData.txt", recording);
  const std::string second = folder.File("20261210_101501_A_VQ_ReportData.txt");
  std::filesystem::copy_file(recording, second);

  const TRun first = RunToFile(folder, With(Config(folder), {"run", "--duration", "2", "--connect", "DemoData", recording}));
  ASSERT_EQ(first.ExitCode, 0) << first.Output;
  std::string ini = ReadFile(folder.File("ZEP_App.ini"));
  EXPECT_NE(ini.find("SessionCount=2\r\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("Session_0_OpenString=DemoData\r\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("Session_1_OpenString=" + recording + "\r\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("Session_1_ConnectionType=4\r\n"), std::string::npos) << "a replayed file" << ini;

  const TRun again = RunToFile(folder, With(Config(folder), {"run", "--duration", "2", "--connect", recording, second}));
  ASSERT_EQ(again.ExitCode, 0) << again.Output;
  EXPECT_NE(again.Output.find("session B connects to " + recording + " already"), std::string::npos) << again.Output;
  ini = ReadFile(folder.File("ZEP_App.ini"));
  EXPECT_NE(ini.find("SessionCount=3\r\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("Session_2_OpenString=" + second + "\r\n"), std::string::npos) << ini;
}

// The seconds a table shows, in the order shown.
std::vector<int> TableSeconds(const std::string& output) {
  std::vector<int> seconds;
  const std::regex second("A DemoData  second ([0-9]+) ");
  for (auto it = std::sregex_iterator(output.begin(), output.end(), second); it != std::sregex_iterator(); ++it)
    seconds.push_back(std::stoi((*it)[1]));
  return seconds;
}

bool Increasing(const std::vector<int>& seconds) {
  for (std::size_t i = 1; i < seconds.size(); ++i)
    if (seconds[i] <= seconds[i - 1]) return false;
  return true;
}

// On a terminal the table is redrawn in place (cursor up over the last
// table, screen cleared below); in a file it is appended as plain lines
// and never shows a second twice. Messages are words and text, not codes.
TEST(CliRun, TheLiveTableIsRedrawnOnATerminalAndAppendedElsewhere) {
  TTempFolder folder;
  const TRun terminal = RunOnTerminal(With(Config(folder), {"run", "--duration", "5"}));
  ASSERT_EQ(terminal.ExitCode, 0) << terminal.Output;
  // A table is redrawn over the one before: cursor up over its header line,
  // caption, four channels and the note on the relative frequency.
  const std::size_t redraw = terminal.Output.find("\x1b[7F\x1b[J\x1b[?7lA DemoData  second ");
  ASSERT_NE(redraw, std::string::npos) << terminal.Output;
  EXPECT_GE(TableSeconds(terminal.Output.substr(redraw)).size(), 1u);
  EXPECT_GE(TableSeconds(terminal.Output.substr(0, redraw)).size(), 1u);
  EXPECT_NE(terminal.Output.find("INFO    A Connected to: DemoData"), std::string::npos) << terminal.Output;

  const TRun file = RunToFile(folder, With(Config(folder), {"run", "--duration", "5"}));
  ASSERT_EQ(file.ExitCode, 0) << file.Output;
  EXPECT_EQ(file.Output.find('\x1b'), std::string::npos) << file.Output;
  const std::vector<int> appended = TableSeconds(file.Output);
  ASSERT_GE(appended.size(), 2u) << file.Output;
  EXPECT_TRUE(Increasing(appended)) << file.Output;
  EXPECT_NE(file.Output.find("relative to the channel's first measured frequency: no nominal frequency is set"),
            std::string::npos)
      << file.Output;
  EXPECT_EQ(file.Output.find(" 28673 "), std::string::npos) << "no bare message codes\n" << file.Output;
  EXPECT_TRUE(std::regex_search(file.Output, std::regex("\n[0-9]{2}:[0-9]{2}:[0-9]{2} INFO    A 7001VERSION Simulator")))
      << file.Output;
}

}  // namespace
