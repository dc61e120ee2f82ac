#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "library/core/VQ_Report.h"
#include "support/TestDevice.h"

namespace {

// Commands sent on one thread while the acquisition thread reads and writes
// them between reports: every command goes out once, in the order sent.
TEST(ReportLayerThreads, CommandsSentWhileReadingKeepTheirOrder) {
  constexpr int kCommands = 300;
  TVQ_Event event;
  TTestDevice device(&event, SystemClock(), -1, TVQ_DeviceType::VQ_CDC);
  TVQ_ReportDevice layer(device, 0);
  std::atomic<bool> sent{false};

  std::thread sender([&] {
    for (int i = 0; i < kCommands; ++i) layer.SendCommand(std::string(1, static_cast<char>(i % 250 + 2)));
    sent = true;
  });
  std::thread reader([&] {
    std::string report;
    while (!sent || layer.GetPendingCmdsCount() > 0) layer.GetReport(report);
  });
  sender.join();
  reader.join();

  const std::vector<std::string> written = device.Written();
  ASSERT_EQ(written.size(), static_cast<std::size_t>(kCommands));
  for (int i = 0; i < kCommands; ++i) EXPECT_EQ(written[static_cast<std::size_t>(i)], std::string(1, static_cast<char>(i % 250 + 2)));
}

}  // namespace
