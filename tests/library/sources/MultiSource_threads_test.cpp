#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "library/sources/MultiSource.h"

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

}  // namespace
