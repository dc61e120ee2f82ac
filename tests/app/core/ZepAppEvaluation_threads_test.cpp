#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

#include "app/core/Main.h"
#include "app/data/PAV_DataManagement.h"
#include "library/sources/MultiSource.h"
#include "support/TempFolder.h"

namespace {

using namespace std::chrono_literals;

class TQuietFrontEnd : public TZepFrontEnd {
 public:
  std::optional<TConnectionChoice> ChooseConnection(int, const TConnectionChoice&) override { return std::nullopt; }
  void ShowMessage(const std::string&) override {}
};

double Number(std::string text) {
  std::replace(text.begin(), text.end(), ',', '.');
  return std::strtod(text.c_str(), nullptr);
}

// Ten seconds of a simulated counter at 100 ms, evaluated as the
// application does: once the first frequencies are there, every channel's
// frequency stays within 0.01 Hz of 10 MHz and none is missing.
TEST(Evaluation, TenSecondsOfASimulatedCounterStayWithinOneHundredthHertzOfTenMegahertz) {
  TTempFolder folder;
  std::ofstream(folder.File("ZEP_App.ini"))
      << "SessionCount=1\r\nSession_0_SessionType=0\r\nSession_0_OpenString=DemoData\r\n"
      << "Session_0_ConnectionType=6\r\nSession_0_DemoChannels=4\r\nSession_0_DemoMode=0\r\nSession_0_DemoRate=6\r\n";
  TQuietFrontEnd frontEnd;
  TZepAppOptions options;
  options.ConfigFolder = folder.Path().string() + "/";
  TZepApp app(options, frontEnd);
  ASSERT_TRUE(app.Start());
  const auto session = std::dynamic_pointer_cast<TVQSessionItem>(app.Session(0));
  ASSERT_TRUE(session);
  const auto frequency = [&](int k) { return std::string(Trim(session->PAV().GetTextModeString(tmFreqAbs, k))); };
  const auto start = std::chrono::steady_clock::now();
  while (frequency(4).empty() && std::chrono::steady_clock::now() < start + 5s) std::this_thread::sleep_for(10ms);
  ASSERT_FALSE(frequency(4).empty()) << "the first frequencies";
  const auto end = std::chrono::steady_clock::now() + 10s;
  uint64_t seen = session->State().Measurements;
  int checked = 0;
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(20ms);
    app.DisplayTick();
    const uint64_t measurements = session->State().Measurements;
    if (measurements == seen) continue;
    seen = measurements;
    ASSERT_EQ(session->PAV().ChannelCount(), 4);
    for (int k = 1; k <= 4; ++k) {
      const std::string text = frequency(k);
      ASSERT_FALSE(text.empty()) << "channel " << k << " at measurement " << measurements;
      EXPECT_NEAR(Number(text), 1.0E7, 0.01) << "channel " << k << " at measurement " << measurements;
    }
    ++checked;
  }
  EXPECT_GE(checked, 50) << "about ten lines a second";
  app.Shutdown();
}

// Records a simulated counter's report lines (10 ms interval) into a file
// the program replays.
void RecordSimulator(const std::string& file, int lines) {
  const int source = Multi_NewSource();
  std::string message;
  ASSERT_EQ(Multi_OpenConnectionEx(source, "DemoData", message, false), MultiCode::Ok) << message;
  std::string command = "#";  // interval index 3: 10 ms
  ASSERT_EQ(Multi_SendCommand(source, command), MultiCode::Ok);
  std::ofstream out(file, std::ios::binary);
  const auto end = std::chrono::steady_clock::now() + 30s;
  int written = 0;
  while (written < lines && std::chrono::steady_clock::now() < end) {
    std::string line;
    int64_t deviceMs = -1;
    if (Multi_GetReportEx(source, line, deviceMs) != MultiCode::Ok || line.empty()) {
      std::this_thread::sleep_for(2ms);
      continue;
    }
    out << line << "\r\n";
    ++written;
  }
  Multi_CloseConnection(source);
  ASSERT_EQ(written, lines);
}

// The value strings (everything but the time) a replay of `file` gives.
std::vector<std::string> ReplayValueStrings(const std::string& file) {
  std::vector<std::string> values;
  std::mutex lock;
  TVQSessionItem session(-1, 0, nullptr, nullptr);
  TSessionSamplerHooks hooks;
  hooks.OnRecord = [&](int, bool, bool, const std::array<std::string, 10>& strings, std::optional<int64_t>) {
    std::lock_guard guard(lock);
    for (std::size_t i = 0; i + 1 < strings.size(); ++i) values.push_back(std::to_string(i) + ":" + strings[i]);
  };
  session.SetSamplerHooks(hooks);
  session.PAV().SetSamplerLogTypes(0x7F);
  session.SetOpenParams(file, ctFile, 0xFFFF00, "");
  EXPECT_EQ(session.OpenDevice(), "");
  for (int polls = 0; session.DeviceOpened() && polls < 1'000'000; ++polls) session.GetReport();
  EXPECT_FALSE(session.DeviceOpened()) << "the replay ends";
  std::lock_guard guard(lock);
  return values;
}

// A recording replayed twice gives the same value strings: nothing of the
// evaluation depends on the moment of the replay.
TEST(Evaluation, ARecordingReplayedTwiceGivesIdenticalValueStrings) {
  TTempFolder folder;
  const std::string file = folder.File("20261211_090000_A_VQ_ReportData.txt");
  RecordSimulator(file, 400);
  const std::vector<std::string> first = ReplayValueStrings(file);
  ASSERT_GT(first.size(), 100u);
  EXPECT_EQ(ReplayValueStrings(file), first);
}

}  // namespace
