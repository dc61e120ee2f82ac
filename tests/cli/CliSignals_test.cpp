#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "support/CliProcess.h"
#include "support/FileText.h"
#include "support/TempFolder.h"

namespace {

using namespace std::chrono_literals;

// Starts `zep-cli --config <folder> run --professional` with its output in
// <folder>/out.txt; professional mode keeps the main debug log file.
pid_t StartRun(const std::string& folder) {
  return SpawnCliToFile({"--config", folder, "run", "--professional"}, folder + "/out.txt");
}

// The text of the one main debug log file in <folder>/Debug.
std::string MainDebugLog(const std::string& folder) {
  std::string text;
  for (const auto& entry : std::filesystem::directory_iterator(folder + "/Debug"))
    if (entry.path().filename().string().starts_with("zep-cli")) text += ReadFile(entry.path().string());
  return text;
}

// SIGINT, SIGTERM and SIGHUP end a headless run in order: the settings are
// saved, and the main debug log holds the shutdown's lines up to its closing
// line.
TEST(CliProgram, StopSignalsEndTheRunInOrder) {
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(::strsignal(signalNumber));
    const TTempFolder folder;
    const std::string config = folder.Path().string();
    const pid_t pid = StartRun(config);
    ASSERT_GT(pid, 0);
    // Running once the first table of channels is out.
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (ReadFile(config + "/out.txt").find("A DemoData  second ") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(50ms);
    ASSERT_EQ(::kill(pid, signalNumber), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    const std::string output = ReadFile(config + "/out.txt");
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n" << output;

    EXPECT_NE(ReadFile(config + "/ZEP_App.ini").find("SessionCount=1\r\n"), std::string::npos) << output;
    const std::string log = MainDebugLog(config);
    EXPECT_NE(log.find("TMainForm.FormClose END\r\n"), std::string::npos);
    const std::size_t closed = log.rfind("Log file closed, ");
    ASSERT_NE(closed, std::string::npos);
    EXPECT_EQ(log.find("\r\n", closed), log.size() - 2) << "the closing line is the last";
  }
}

}  // namespace
