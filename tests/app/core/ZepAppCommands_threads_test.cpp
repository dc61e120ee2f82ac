#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <thread>

#include "app/core/Main.h"
#include "app/data/PAV_DataManagement.h"
#include "support/TempFolder.h"

namespace {

using namespace std::chrono_literals;

// A front end that answers nothing and records the hand-over items.
class TRecordingFrontEnd : public TZepFrontEnd {
 public:
  std::optional<TConnectionChoice> ChooseConnection(int, const TConnectionChoice&) override { return std::nullopt; }
  void ShowMessage(const std::string& text) override { Shown.push_back(text); }
  void HandOver(const TMainSyncData& item) override { Whats.push_back(item.What); }

  std::vector<std::string> Shown;
  std::vector<int> Whats;
};

// A configuration with one simulated counter of four channels in phase mode
// at `rateIndex`; `extra` adds session keys.
void WriteDemoSettings(const TTempFolder& folder, int rateIndex, const std::string& extra = {}) {
  std::ofstream(folder.File("ZEP_App.ini"))
      << "SessionCount=1\r\nSession_0_SessionType=0\r\nSession_0_OpenString=DemoData\r\n"
      << "Session_0_ConnectionType=6\r\nSession_0_DemoChannels=4\r\nSession_0_DemoMode=0\r\n"
      << "Session_0_DemoRate=" << rateIndex << "\r\n" << extra;
}

TZepAppOptions Options(const TTempFolder& folder) {
  TZepAppOptions options;
  options.ConfigFolder = folder.Path().string() + "/";
  return options;
}

// Runs display ticks until `done` or the time-out; true when done.
bool TickUntil(TZepApp& app, const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(10ms);
    app.DisplayTick();
  }
  return done();
}

double PhaseDiff(const TPAV_DataManagement& store, int k) {
  std::string text(Trim(store.GetTextModeString(tmPhaseDiff, k)));
  std::replace(text.begin(), text.end(), ',', '.');
  return std::strtod(text.c_str(), nullptr);
}

bool HasMessage(TZepApp& app, int code, const std::string& text) {
  for (const TMessageItem& item : app.Messages().Snapshot())
    if (item.Code == code && item.Text.find(text) != std::string::npos) return true;
  return false;
}

// The simulated counter refuses the reset command; the application re-zeroes
// the differences it computes itself, says so, and tells the windows.
TEST(ZepAppCommands, ResetPhaseDifferenceReZeroesTheDifferencesOfASimulatedCounter) {
  TTempFolder folder;
  WriteDemoSettings(folder, 8);  // 500 ms
  TRecordingFrontEnd frontEnd;
  TZepApp app(Options(folder), frontEnd);
  ASSERT_TRUE(app.Start());
  const auto session = std::dynamic_pointer_cast<TVQSessionItem>(app.Session(0));
  ASSERT_TRUE(session);
  ASSERT_TRUE(TickUntil(app, [&] { return session->State().Measurements >= 4 && session->PAV().ChannelCount() == 4; }));
  for (int k = 2; k <= 4; ++k) EXPECT_NE(PhaseDiff(session->PAV(), k), 0.0) << "channel " << k << " drifts from channel 1";

  ASSERT_TRUE(session->SetCommand("\x0A", "Reset phase difference"));
  const uint64_t at = session->State().Measurements;
  ASSERT_TRUE(TickUntil(app, [&] { return session->State().Measurements > at; }));
  for (int k = 2; k <= 4; ++k) EXPECT_EQ(PhaseDiff(session->PAV(), k), 0.0) << "channel " << k;
  EXPECT_TRUE(HasMessage(app, 16, "Phase difference resetted"));
  EXPECT_FALSE(HasMessage(app, 76, "")) << "a refusal the application makes good is no error";
  EXPECT_NE(std::find(frontEnd.Whats.begin(), frontEnd.Whats.end(), SyncWhat::PhaseDiffReset), frontEnd.Whats.end());
  app.Shutdown();
}

// Interval and mode commands walk the counter to the new header; log lines
// are held only until the counter reports it.
TEST(ZepAppCommands, IntervalAndModeCommandsGoThroughTheExpectedHeader) {
  TTempFolder folder;
  WriteDemoSettings(folder, 6);  // 100 ms
  TRecordingFrontEnd frontEnd;
  TZepApp app(Options(folder), frontEnd);
  ASSERT_TRUE(app.Start());
  const auto session = std::dynamic_pointer_cast<TVQSessionItem>(app.Session(0));
  ASSERT_TRUE(session);
  ASSERT_TRUE(TickUntil(app, [&] { return session->State().DataHeader == 0x0600 && session->PAV().AddLogStrings(); }));

  ASSERT_TRUE(session->SetCommand(std::string(1, 32 + 5), "Interval 50 ms"));
  EXPECT_TRUE(session->EvalState().WaitExpectedHeader);
  EXPECT_FALSE(session->PAV().AddLogStrings()) << "held during the change";
  ASSERT_TRUE(TickUntil(app, [&] { return !session->EvalState().WaitExpectedHeader; }));
  EXPECT_EQ(session->State().DataHeader, 0x0500u);
  EXPECT_TRUE(session->PAV().AddLogStrings());
  EXPECT_TRUE(HasMessage(app, 75, "Cmd Interval 50 ms"));

  ASSERT_TRUE(session->SetCommand(std::string(1, 64 + 2), "Mode Frequency"));
  EXPECT_FALSE(session->PAV().AddLogStrings());
  ASSERT_TRUE(TickUntil(app, [&] { return !session->EvalState().WaitExpectedHeader; }));
  EXPECT_EQ(session->State().DataHeader, 0x2500u);
  EXPECT_TRUE(session->PAV().AddLogStrings());
  EXPECT_FALSE(HasMessage(app, 76, ""));

  app.Shutdown();
}

}  // namespace
