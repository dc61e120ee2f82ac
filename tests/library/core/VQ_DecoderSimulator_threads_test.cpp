#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "library/core/VQ_Decoder.h"
#include "library/core/VQ_DllCommon.h"
#include "library/core/VQ_Report.h"
#include "library/devices/VQ_Simulator.h"
#include "library/platform/VQ_Event.h"
#include "support/FakeDecoderHost.h"

namespace {

using namespace std::chrono_literals;

// The fields of a measurement line, read as numbers.
std::vector<double> Fields(const std::string& line) {
  std::vector<double> values;
  for (std::string_view field : SplitText(std::string_view(line).substr(5), ";"))
    if (auto value = TryStrToFloat(Trim(field))) values.push_back(*value);
  return values;
}

// A simulated counter running in real time, read by the report layer and
// decoded as a source does: after about a second its first phase report
// carries the phase of one second at 10 MHz on each of its four channels.
TEST(SimulatorDecoding, FirstSecondOfARunningSimulator) {
  SetSimulatorOptions(false, false);
  TVQ_Event event;
  TVQ_SimulDevice device(-1, 0, &event, true);
  TVQ_ReportDevice layer(device, 0);
  TFakeDecoderHost host;
  TVQ_ReportDecoder decoder(host, -1, "TSourceItem[0]");
  std::string error;
  ASSERT_TRUE(device.OpenPort(error)) << error;

  std::vector<std::string> lines;
  const auto deadline = std::chrono::steady_clock::now() + 2200ms;
  while (std::chrono::steady_clock::now() < deadline) {
    std::string report;
    const TVQ_Result result = layer.GetReport(report);
    ASSERT_EQ(result, TVQ_Result::VQ_No_Err) << report;
    if (report.empty()) {
      event.WaitFor(20ms);  // the ring resets it once drained
      continue;
    }
    const std::string line = decoder.ProcessDemoReport(report);
    if (!line.empty()) lines.push_back(line);
  }
  device.ClosePort();

  const auto has = [&](const std::string& wanted) {
    for (const std::string& line : lines)
      if (line == wanted) return true;
    return false;
  };
  EXPECT_TRUE(has("7015; 1")) << "no first second";
  EXPECT_TRUE(has("7000;"));
  int phaseLines = 0;
  for (const std::string& line : lines) {
    if (!line.starts_with("0900;")) continue;
    ++phaseLines;
    const std::vector<double> values = Fields(line);
    ASSERT_EQ(values.size(), 4u) << line;
    for (double v : values) EXPECT_NEAR(v / phaseLines, 1.0e7, 1.0) << line;
  }
  EXPECT_GE(phaseLines, 1);
  EXPECT_LE(phaseLines, 3);
  EXPECT_TRUE(decoder.State.FFirstDataReceived);
}

}  // namespace
