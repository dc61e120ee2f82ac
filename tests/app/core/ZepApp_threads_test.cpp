#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "app/core/Main.h"
#include "support/TempFolder.h"

namespace {

using namespace std::chrono_literals;

class TScriptedFrontEnd : public TZepFrontEnd {
 public:
  std::optional<TConnectionChoice> ChooseConnection(int, const TConnectionChoice&) override { return std::nullopt; }
  void ShowMessage(const std::string&) override {}
};

// A session removed, and one changed, while the acquisition thread polls
// three simulated counters: the others go on, and the old ones are freed on
// this thread once the acquisition thread has let go of them.
TEST(ZepAppThreads, RemovalAndChangeDuringPolling) {
  TTempFolder folder;
  {
    std::ofstream ini(folder.File("ZEP_App.ini"), std::ios::binary);
    ini << "SessionCount=3\r\n";
    for (int i = 0; i < 3; ++i) ini << "Session_" << i << "_OpenString=DemoData\r\n";
  }
  TScriptedFrontEnd frontEnd;
  TZepAppOptions options;
  options.ConfigFolder = folder.Path().string() + "/";
  TZepApp app(options, frontEnd);
  ASSERT_TRUE(app.Start());
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(100ms);
    app.DisplayTick();
  }
  std::weak_ptr<TSessionItem> removed = app.Session(1);
  app.RequestRemoveSession(1);
  app.DisplayTick();
  EXPECT_TRUE(removed.expired());
  EXPECT_FALSE(app.Session(1));

  const auto before = std::dynamic_pointer_cast<TVQSessionItem>(app.Session(2))->State().Lines;
  for (int i = 0; i < 12; ++i) {
    std::this_thread::sleep_for(100ms);
    app.DisplayTick();
  }
  EXPECT_GT(std::dynamic_pointer_cast<TVQSessionItem>(app.Session(2))->State().Lines, before);
  EXPECT_GT(std::dynamic_pointer_cast<TVQSessionItem>(app.Session(0))->State().Lines, 0u);

  // A change replaces session 0 by a new one in the same slot.
  std::weak_ptr<TSessionItem> replaced = app.Session(0);
  TConnectionChoice choice;
  choice.OpenString = "DemoData";
  choice.ConnectionType = ctDemo;
  choice.FriendlyName = "changed";
  app.RequestChangeSession(0, choice);
  app.DisplayTick();
  EXPECT_TRUE(replaced.expired());
  ASSERT_TRUE(app.Session(0));
  EXPECT_EQ(app.Session(0)->FriendlyName(), "changed");
  for (int i = 0; i < 12; ++i) {
    std::this_thread::sleep_for(100ms);
    app.DisplayTick();
  }
  EXPECT_GT(std::dynamic_pointer_cast<TVQSessionItem>(app.Session(0))->State().Measurements, 0u);
  app.Shutdown();
}

}  // namespace
