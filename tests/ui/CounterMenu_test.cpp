#include <gtest/gtest.h>

#include <QMenu>
#include <QMenuBar>
#include <algorithm>
#include <cstdlib>

#include "app/core/ZEP_Sessions.h"
#include "app/data/PAV_DataManagement.h"
#include "UiTestSupport.h"

namespace {

using namespace std::chrono_literals;

QAction* MenuAction(QMenuBar& bar, const QString& menu, const QString& action) {
  for (QAction* top : bar.actions())
    if (top->text() == menu && top->menu())
      for (QAction* item : top->menu()->actions())
        if (item->text() == action) return item;
  return nullptr;
}

double PhaseDiff(const TPAV_DataManagement& store, int k) {
  std::string text(Trim(store.GetTextModeString(tmPhaseDiff, k)));
  std::replace(text.begin(), text.end(), ',', '.');
  return std::strtod(text.c_str(), nullptr);
}

// The simulated counter refuses the reset command itself; the differences
// the application computes start again from zero at the next line.
TEST(CounterMenu, ResetPhaseDifferenceReZeroesTheDifferencesOfASimulatedCounter) {
  TestApplication();
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  WriteSimulatorSettings(dir.path(), 4, 8);  // 500 ms: time to look at one line
  TZepMainWindow window(TestOptions(dir.path()));
  window.show();
  ASSERT_TRUE(window.Start());
  const auto session = std::dynamic_pointer_cast<TVQSessionItem>(window.App().Session(0));
  ASSERT_TRUE(session);
  ASSERT_TRUE(TickUntil(window, 20s, [&] { return session->State().Measurements >= 4 && session->PAV().ChannelCount() == 4; }));
  EXPECT_NE(PhaseDiff(session->PAV(), 3), 0.0);

  QAction* reset = MenuAction(*window.menuBar(), "&Counter", "Reset &phase difference");
  ASSERT_NE(reset, nullptr);
  reset->trigger();
  const uint64_t at = session->State().Measurements;
  ASSERT_TRUE(TickUntil(window, 20s, [&] { return session->State().Measurements > at; }));
  for (int k = 2; k <= 4; ++k) EXPECT_EQ(PhaseDiff(session->PAV(), k), 0.0) << "channel " << k;
  const auto messages = window.App().Messages().Snapshot();
  EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [](const TMessageItem& m) {
    return m.Code == 16 && m.Text == "Phase difference resetted";
  }));
}

}  // namespace
