#include "cli/CliTools.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "support/FileText.h"
#include "support/TempFolder.h"

#include <cstdio>
#include <cstdlib>
#include <stdlib.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Every recording replayed with `zep-cli lines FILE` against the lines it
// must print. The fixture folder is written as "FIXTURES" so the expected
// files do not depend on where the tree lives. With ZEP_REGENERATE_LINES set
// the expected files are written instead (build target zep_regenerate_lines).
TEST(CliLinesFixtures, ReplayedRecordingsPrintTheirLines) {
  const std::string fixtures = ZEP_FIXTURES_DIR;
  const char* recordings[] = {"usb/stream",     "usb/cut",        "usb/damaged",
                              "serial/stream",  "serial/cut",     "serial/damaged",
                              "esp/stream",     "esp/cut",        "esp/damaged",
                              "text/20261210_101500_A_VQ_ReportData"};
  const bool regenerate = std::getenv("ZEP_REGENERATE_LINES") != nullptr;
  for (const std::string name : recordings) {
    const std::string base = fixtures + "/" + name;
    const std::string file = name.starts_with("text/") ? base + ".txt" : base + ".bin";
    TLinesOptions options;
    options.Connection = file;
    options.Seconds = 20;  // a safety net; the replay ends at the end of the file
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_EQ(RunLines(options, out, err), 0) << err.str();
    std::string printed = out.str();
    for (std::size_t at; (at = printed.find(fixtures)) != std::string::npos;)
      printed.replace(at, fixtures.size(), "FIXTURES");
    if (regenerate) {
      std::ofstream(base + ".lines", std::ios::binary | std::ios::trunc) << printed;
      continue;
    }
    EXPECT_EQ(TextLines(printed), TextLines(ReadFile(base + ".lines"))) << name;
  }
}

TEST(CliLines, OptionsShapeTheLinesOfASimulatedCounter) {
  TLinesOptions options;
  options.Connection = "DemoData";
  options.Count = 12;
  options.Seconds = 10;
  options.DecimalSeparator = ',';
  options.Send7016 = true;
  std::ostringstream out;
  std::ostringstream err;
  ASSERT_EQ(RunLines(options, out, err), 0) << err.str();
  const std::vector<std::string> lines = TextLines(out.str());
  // A timestamp every 100 ms, the first measurement with the tenth.
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[0], "7016; 1");
  EXPECT_EQ(lines[8], "7016; 9");
  EXPECT_EQ(lines[9], "7015; 1");
  EXPECT_TRUE(lines[10].starts_with("0900;")) << lines[10];
  EXPECT_NE(lines[10].find(','), std::string::npos) << lines[10];
  EXPECT_EQ(lines[10].find('.'), std::string::npos) << lines[10];
  EXPECT_EQ(lines[11], "7016; 11");
}

TEST(CliLines, UnknownConnectionFails) {
  TLinesOptions options;
  options.Connection = "/no/such/recording.bin";
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(RunLines(options, out, err), 1);
  EXPECT_NE(err.str().find("cannot open /no/such/recording.bin"), std::string::npos) << err.str();
  EXPECT_TRUE(out.str().empty());
}

// Recordings that are not what a recording should be say so once, and a
// FIFO does not leave the tool waiting for a writer.
TEST(CliLines, OddRecordingsSayWhatIsWrongWithThem) {
  TTempFolder folder;
  const std::string pipe = folder.File("capture.bin");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  for (const auto& [path, reason] : {std::pair{folder.Path().string(), std::string("a directory")},
                                     std::pair{pipe, std::string("a FIFO (named pipe)")}}) {
    TLinesOptions options;
    options.Connection = path;
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunLines(options, out, err), 1) << path;
    EXPECT_EQ(err.str(), "zep-cli: cannot open " + path + ": Not a recording file: " + reason + "\n");
  }

  // A line of 10 MB in a text recording: one message that names it, the
  // line cut, and the lines after it.
  const std::string text = folder.File("day_VQ_ReportData.txt");
  const std::string huge = "7000; " + std::string(10 * 1024 * 1024, 'x');
  WriteText(text, "7000; a\r\n" + huge + "\r\n7000; b\r\n");
  TLinesOptions options;
  options.Connection = text;
  options.Seconds = 20;
  std::ostringstream out;
  std::ostringstream err;
  ASSERT_EQ(RunLines(options, out, err), 0) << err.str();
  EXPECT_EQ(TextLines(out.str()),
            (std::vector<std::string>{"7000; a",
                                      "! 0 Line 2 of " + text + " is longer than 65536 characters: cut after 65536",
                                      huge.substr(0, 65536), "7000; b", "! 7 File " + text + " EOF reached"}));
}

// The program itself, as a user runs it.
TEST(CliProgram, LinesAndPortsFromTheCommandLine) {
  const std::string command = std::string(ZEP_CLI_PROGRAM) + " lines DemoData --count 3 --seconds 10";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
  EXPECT_EQ(::pclose(pipe), 0);
  EXPECT_EQ(TextLines(output).size(), 3u) << output;

  EXPECT_EQ(std::system((std::string(ZEP_CLI_PROGRAM) + " ports > /dev/null").c_str()), 0);
  EXPECT_NE(std::system((std::string(ZEP_CLI_PROGRAM) + " lines 2> /dev/null").c_str()), 0);  // CONNECTION missing
}

// The headless application: a first start in a fresh folder runs a
// simulated counter and leaves its settings behind.
TEST(CliProgram, RunForFiveSecondsInAFreshFolder) {
  char pattern[] = "/tmp/zep_cli_run_XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string folder = pattern;
  const std::string command = std::string(ZEP_CLI_PROGRAM) + " --config " + folder + " run --duration 5 > " + folder +
                              "/out.txt 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << ReadFile(folder + "/out.txt");
  const std::string settings = ReadFile(folder + "/ZEP_App.ini");
  EXPECT_NE(settings.find("Session_0_OpenString=DemoData\r\n"), std::string::npos) << settings;
  EXPECT_NE(settings.find("SessionCount=1\r\n"), std::string::npos) << settings;
  const std::string output = ReadFile(folder + "/out.txt");
  EXPECT_NE(output.find("A DemoData  second "), std::string::npos) << output;
  // The value table of the simulated counter's first channel: near 10 MHz.
  const std::size_t row = output.rfind("\n  A1 ");
  ASSERT_NE(row, std::string::npos) << output;
  std::istringstream fields(output.substr(row + 1));
  std::string id, name;
  double frequency = 0;
  fields >> id >> name >> frequency;
  EXPECT_NEAR(frequency, 1e7, 1.0) << output;
  std::filesystem::remove_all(folder);
}

}  // namespace
