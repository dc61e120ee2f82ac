#include <gtest/gtest.h>

#include <charconv>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/FileText.h"
#include "support/TempFolder.h"

namespace {

// A frequency column of a log line: right-aligned in its width.
double ParseField(const std::string& line, std::size_t begin, std::size_t width) {
  std::string field = line.substr(begin, width);
  field.erase(0, field.find_first_not_of(' '));
  double value = 0;
  const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
  EXPECT_EQ(error, std::errc()) << "\"" << field << "\" in " << line;
  return value;
}

// A headless run that is told to log phase and frequency on a first start
// writes a log file whose lines give the simulated counter's frequency.
TEST(CliProgram, RunWithLogsWritesTheFrequencies) {
  const TTempFolder folder;
  const std::string config = folder.Path().string();
  const std::string command = std::string(ZEP_CLI_PROGRAM) + " --config " + config +
                              " run --duration 30 --log phase,freq > " + config + "/out.txt 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << ReadFile(config + "/out.txt");
  EXPECT_NE(ReadFile(config + "/ZEP_App.ini").find("Log_DefsCount=1\r\n"), std::string::npos);

  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(config + "/Logs"))
    if (entry.path().filename().string().starts_with("PhaseFreq_A_1_")) files.push_back(entry.path());
  ASSERT_EQ(files.size(), 1u) << ReadFile(config + "/out.txt");

  const std::string text = ReadFile(files.front().string());
  std::string title;
  int dataLines = 0;
  constexpr std::size_t kTime = 17;  // "YYMMDD HHNNSS.ZZZ"
  constexpr std::size_t kSync = 2;
  constexpr std::size_t kPhase = 26;
  constexpr std::size_t kFreq = 22;
  for (const std::string& line : TextLines(text)) {
    if (line.starts_with("#PC time")) title = line;
    if (line.empty() || line[0] == '#') continue;
    ASSERT_FALSE(title.empty()) << "data before the title line";
    ASSERT_EQ(line.size(), title.size()) << line;
    const std::size_t channels = (title.size() - kTime - kSync) / (kPhase + kFreq);
    ASSERT_GE(channels, 1u) << title;
    // The first line after a reset has phases but no measured frequency yet.
    const std::size_t firstFreq = kTime + kSync + channels * kPhase;
    const bool unmeasured =
        dataLines == 0 && line.substr(firstFreq + 1, kFreq - 1).find_first_not_of('-') == std::string::npos;
    for (std::size_t k = 0; k < channels && !unmeasured; ++k)
      EXPECT_NEAR(ParseField(line, firstFreq + k * kFreq, kFreq), 1e7, 1.0) << line;
    ++dataLines;
  }
  // About one line a second of the 30 (the first seconds go to start-up).
  EXPECT_GE(dataLines, 20) << text;
  EXPECT_LE(dataLines, 31) << text;
  EXPECT_NE(text.find("\r\n"), std::string::npos);
}

}  // namespace

namespace {

// Logs asked for on a disk that takes nothing (a file size limit of 0): the
// run says so and fails. Its output comes through a pipe, which the limit
// does not touch.
TEST(CliProgram, RunWhoseLogsCannotBeWrittenFails) {
  const TTempFolder folder;
  const std::string command = "sh -c \"trap '' XFSZ; ulimit -f 0; exec " + std::string(ZEP_CLI_PROGRAM) +
                              " --config " + folder.Path().string() + " run --duration 5 --log phase\" 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_TRUE(pipe);
  std::string output;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  const int status = ::pclose(pipe);
  ASSERT_TRUE(WIFEXITED(status)) << output;
  EXPECT_EQ(WEXITSTATUS(status), 1) << output;
  EXPECT_NE(output.find("zep-cli: no log line could be written"), std::string::npos) << output;
}

}  // namespace
