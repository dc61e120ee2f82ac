#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "library/core/VQ_Report.h"
#include "library/devices/VQ_Simulator.h"

namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

// A running simulator (system clock) is opened and closed over and over while
// one thread sends commands that change its pacing, channel count, mode and
// memory, and another reads its frames through the report layer. Every close
// returns at once, every frame arrives whole, and commands are refused only
// while the port is closed.
TEST(SimulatorThreads, OpenCloseWhileCommandsArriveAndFramesAreRead) {
  SetSimulatorOptions(true, true);
  TVQ_Event event;
  TVQ_SimulDevice device(-1, 0, &event, true);
  TVQ_ReportDevice reports(device, 0);
  std::atomic<bool> done{false};

  std::thread sender([&] {
    const std::vector<std::string> commands = {
        "\x23", "\x42", "0", "\x29", "\x40", "2", "\x01", "\x0F", "\x5E", "\x03\x02", "\x24", "\x43", "\x50"};
    std::string memoryWrite = std::string("\x85\x23\x00\x07\xE0\x80", 6) + std::string(128, '\x5A');
    std::size_t k = 0;
    while (!done) {
      std::string cmd = (k % 7 == 6) ? memoryWrite : commands[k % commands.size()];
      device.DeviceWrite(cmd);
      ++k;
      std::this_thread::sleep_for(2ms);
    }
  });

  std::atomic<int> dataReports{0};
  std::atomic<int> badReports{0};
  std::thread reader([&] {
    std::string report;
    while (!done) {
      const TVQ_Result result = reports.GetReport(report);
      if (result == TVQ_Result::VQ_Err_BadFormat) ++badReports;
      if (result == TVQ_Result::VQ_No_Err && report.size() >= 2 && !VQ_Code::IsMeasurement(BinaryReportCode(report)))
        continue;
      if (result == TVQ_Result::VQ_No_Err && !report.empty()) ++dataReports;
      if (report.empty() || result != TVQ_Result::VQ_No_Err) {
        device.QuitError();
        event.WaitFor(5ms);
      }
    }
  });

  std::chrono::milliseconds slowestClose{0};
  // The first round runs past the first data frame (the tenth timestamp,
  // where pending commands switch); the others close at any point of a pass.
  for (int round = 0; round < 9; ++round) {
    std::string error;
    ASSERT_TRUE(device.OpenPort(error)) << error;
    std::this_thread::sleep_for(round == 0 ? 1200ms : 40ms + 10ms * round);
    const auto start = Steady::now();
    ASSERT_TRUE(device.ClosePort());
    slowestClose = std::max(slowestClose, std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - start));
    std::string cmd = "\x01";
    EXPECT_FALSE(device.DeviceWrite(cmd));
  }
  done = true;
  sender.join();
  reader.join();
  SetSimulatorOptions(false, false);

  EXPECT_LT(slowestClose, 200ms);
  EXPECT_EQ(badReports.load(), 0);
  EXPECT_GT(dataReports.load(), 0);
}

}  // namespace
