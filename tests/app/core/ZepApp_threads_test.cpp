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

// A session removed while the acquisition thread polls three simulated
// counters: the others go on, and the removed one is freed on this thread
// once the acquisition thread has let go of it.
TEST(ZepAppThreads, RemovalDuringPolling) {
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
  app.Shutdown();
}

}  // namespace
