#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "library/sources/MultiSource.h"
#include "support/FileText.h"
#include "support/TestConnectionKind.h"

namespace {

using namespace std::chrono_literals;

TVQ_Event gThreadsEvent;  // outlives the library's sources

// The acquisition thread polls two simulated counters while the main thread
// opens and closes one of them, sends commands and changes settings, over
// and over: no poll may see a half-built or freed connection.
TEST(MultiSourceThreads, OpenPollCloseFromTwoThreads) {
  Multi_SetReportEvent(&gThreadsEvent, true);
  const int steady = Multi_NewSource();
  const int churned = Multi_NewSource();
  std::string message;
  ASSERT_EQ(Multi_OpenConnectionEx(steady, "DemoData", message, false), MultiCode::Ok) << message;

  std::atomic<bool> stop{false};
  std::atomic<int> lines{0};
  std::atomic<int> failures{0};
  std::thread poller([&] {
    while (!stop) {
      for (const int source : {steady, churned}) {
        std::string line;
        int64_t deviceMs = 0;
        const int code = Multi_GetReportEx(source, line, deviceMs);
        if (code != MultiCode::Ok) ++failures;
        if (!line.empty()) ++lines;
      }
      gThreadsEvent.WaitFor(5ms);
    }
  });

  const auto end = std::chrono::steady_clock::now() + 1500ms;
  int rounds = 0;
  while (std::chrono::steady_clock::now() < end) {
    ASSERT_EQ(Multi_OpenConnectionEx(churned, "DemoData", message, false), MultiCode::Ok) << message;
    std::string command = "\x23";  // 10 ms
    Multi_SendCommand(churned, command);
    Multi_SetDecimalSeparator(churned, rounds % 2 ? ',' : '.');
    Multi_DebugFlags(churned, rounds % 2 == 0, false);
    uint32_t amount = 0;
    uint32_t high = 0;
    Multi_GetBufferAmounts(churned, amount, high);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(Multi_CloseConnection(churned), MultiCode::Ok);
    ++rounds;
  }
  stop = true;
  poller.join();
  Multi_CloseConnection(steady);
  EXPECT_GT(lines.load(), 10);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(rounds, 5);
}

// A close waits for the poll in progress on its source: the read is never
// left with a freed device. A command for a source that is being opened is
// refused at once as without connection rather than waiting for the open.
TEST(MultiSourceThreads, CloseWaitsForThePollAndCommandsDoNotWaitForAnOpen) {
  TTestConnectionKind kind("HELD");
  Multi_SetReportEvent(&gThreadsEvent, true);
  const int source = Multi_NewSource();
  std::string message;
  ASSERT_EQ(Multi_OpenConnectionEx(source, "HELD:1", message, false), MultiCode::Ok) << message;
  const std::shared_ptr<TTestDevice> device = kind.Last();

  device->CheckGate.Arm();
  std::thread poller([&] {
    std::string line;
    int64_t deviceMs = 0;
    Multi_GetReportEx(source, line, deviceMs);
  });
  ASSERT_TRUE(device->CheckGate.Reached());
  // The read is held until the release: a close that waits for it can only
  // end after the release; one that did not wait would be over long before.
  std::atomic<bool> released{false};
  std::atomic<bool> closedAfterRelease{false};
  std::thread closer([&] {
    Multi_CloseConnection(source);
    closedAfterRelease = released.load();
  });
  std::this_thread::sleep_for(50ms);
  released = true;
  device->CheckGate.Release();
  closer.join();
  poller.join();
  EXPECT_TRUE(closedAfterRelease.load());
  EXPECT_FALSE(device->PortIsOpened());

  TTestConnectionKind slow("SLOW", TVQ_DeviceType::VQ_Simul, [](TTestDevice& d) { d.OpenGate.Arm(); });
  std::thread opener([&] {
    std::string openMessage;
    EXPECT_EQ(Multi_OpenConnectionEx(source, "SLOW:1", openMessage, false), MultiCode::Ok) << openMessage;
  });
  const std::shared_ptr<TTestDevice> opening = slow.WaitForFirst();
  ASSERT_TRUE(opening);
  ASSERT_TRUE(opening->OpenGate.Reached());
  std::string command = "\x01";
  EXPECT_EQ(Multi_SendCommand(source, command), MultiCode::CmdIgnored);
  EXPECT_EQ(command, "No connection, Command ignored: 01");
  EXPECT_EQ(opening->OpenCount(), 0);  // still opening: the refusal did not wait
  opening->OpenGate.Release();
  opener.join();
  command = "\x01";
  EXPECT_EQ(Multi_SendCommand(source, command), MultiCode::Ok) << command;
  Multi_CloseConnection(source);
}

// The folder a process-end child writes its logs to, named by the test's
// process (the child's parent).
std::string EndFolder(pid_t testProcess) {
  return ::testing::TempDir() + "zep_process_end_" + std::to_string(testProcess) + "/";
}

// A process that ends while a simulated counter on the process-wide receive
// event still runs: the library closes the source and joins its worker during
// static destruction, while the event and the debug logs still exist, so the
// library's last lines reach their files and the end is clean (the sanitizer
// builds check that no freed object is touched).
TEST(MultiSourceThreads, ProcessEndsWithACounterRunning) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string folder = EndFolder(::getpid());
  EXPECT_EXIT(
      {
        const std::string childFolder = EndFolder(::getppid());
        Multi_SetReportEvent(nullptr, true);
        const int source = Multi_NewSource();
        if (!Multi_SetOutputPath(0, childFolder).empty() || !Multi_Debug(0, true, "library").empty() ||
            !Multi_SetOutputPath(source, childFolder).empty() || !Multi_Debug(source, true, "counter").empty())
          std::_Exit(2);
        std::string message;
        if (Multi_OpenConnectionEx(source, "DemoData", message, false) != MultiCode::Ok) std::_Exit(3);
        int lines = 0;
        for (int i = 0; i < 500 && lines < 3; ++i) {
          std::string line;
          int64_t deviceMs = 0;
          Multi_GetReportEx(source, line, deviceMs);
          if (line.empty())
            BaseReceiveEvent().WaitFor(10ms);
          else
            ++lines;
        }
        std::exit(lines == 3 ? 0 : 4);
      },
      ::testing::ExitedWithCode(0), "");
  const std::string library = ReadFile(folder + "VQ_DLL_LOG_library.txt");
  const std::string counter = ReadFile(folder + "VQ_DLL_LOG_counter.txt");
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  EXPECT_NE(library.find("TMultiList.Destroy, count="), std::string::npos) << library;
  const std::size_t closed = counter.find(".CloseConnection");
  EXPECT_NE(closed, std::string::npos) << counter;
  EXPECT_NE(counter.find("Log file closed", closed), std::string::npos) << counter;
}

}  // namespace
