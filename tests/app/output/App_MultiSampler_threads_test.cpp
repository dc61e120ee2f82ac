#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "support/FileText.h"
#include "support/TempFolder.h"
#include "tests/app/output/SamplerTestSupport.h"

namespace {

TMultiSamplerStrings Record(int n) {
  TMultiSamplerStrings record;
  record[0] = " " + Field("p" + std::to_string(n), 26);
  record[1] = Field("f" + std::to_string(n), 22);
  record[9] = "240809 100000.000";  // as long as the time format, so title and data lines align
  return record;
}

// One thread feeds two counters while another changes definitions and the
// session list; every file must stay consistent: each data line as wide as
// its file's title line.
TEST(MultiSamplerThreads, FeedingWhileDefinitionsAndSessionsChange) {
  TTempFolder folder;
  TMessageSink sink;
  TZEP_MultiSampler sampler(-1, sink.Callback());
  TSamplerOptions options;
  options.LogTimeZoneSystem = true;
  options.DefaultFolder = folder.Path().string() + "/";
  sampler.SetOptions(options);
  TSamplerHeaderInfo info;
  info.ChannelCount = 1;
  auto a = std::make_shared<TFakeSamplerSource>(0, false, TSamplerSessionKind::Counter, 1000, 1001);
  auto b = std::make_shared<TFakeSamplerSource>(1, false, TSamplerSessionKind::Counter, 1000, 1002);
  a->SetInfo(info);
  b->SetInfo(info);
  const std::vector<std::shared_ptr<TSamplerSource>> both{a, b};
  const std::vector<std::shared_ptr<TSamplerSource>> onlyA{a};
  sampler.UpdateSessionList(both);

  std::atomic<bool> configuring{true};
  std::thread feeder([&] {
    // Goes on for a while after the last change, however the threads were
    // scheduled: the definitions as they end must get lines to write.
    int afterChanges = 0;
    for (int n = 0; n < 2000 || afterChanges < 500; ++n) {
      if (!configuring.load()) ++afterChanges;
      for (int s = 0; s < 2; ++s) {
        sampler.AddTimeStamp(s, false, 10 * n);
        sampler.SetSessionSyncTime(s, false, "10:00:00");
        sampler.AddStrings(s, false, Record(n));
      }
      if (n % 50 == 0) sampler.AddWarning(0, false, "note " + std::to_string(n));
      if (n % 333 == 0) sampler.UpdateSession(1, false, SamplerEvent::DataCleared, "");
    }
  });
  std::thread configurer([&] {
    int slot = -1;
    for (int i = 0; i < 120; ++i) {
      const std::string name = folder.File("run" + std::to_string(i % 7) + ".txt");
      switch (i % 6) {
        case 0: {
          auto definition = OnePartDefinition(name, 0, false, {LogType::Phase}, {1});
          if (i % 12 == 0) definition->AddDefinition(Part(1, false, {LogType::Phase, LogType::Freq}, {1}));
          definition->SetDifferentDevices(true);
          slot = sampler.AddDefinition(std::move(definition));
          break;
        }
        case 1:
          sampler.ChangeDefinition(slot, OnePartDefinition(name, i % 4 == 1 ? 1 : 0, false, {LogType::Freq}, {1}));
          break;
        case 2:
          sampler.SetEnabled(slot, false);
          sampler.SetEnabled(slot, true);
          break;
        case 3:
          sampler.UpdateSessionList(onlyA);
          sampler.UpdateSessionList(both);
          break;
        case 4:
          sampler.UpdateOptions(SamplerOption::TimeFormat);
          (void)sampler.GetDefinition(slot);
          (void)sampler.CurrentFileName(slot);
          (void)sampler.GetDrives();
          break;
        case 5:
          if (i % 18 == 5) sampler.RemoveDefinition(slot);
          break;
      }
      std::this_thread::yield();
    }
    configuring = false;
  });
  configurer.join();
  feeder.join();
  sampler.CloseAll();

  int files = 0;
  int dataLines = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) {
    ++files;
    std::size_t width = 0;
    for (std::string line : TextLines(ReadFile(entry.path().string()))) {
      ASSERT_FALSE(line.empty()) << entry.path();
      ASSERT_EQ(line.back(), '\r') << entry.path();
      line.pop_back();
      if (line.rfind("#PC time", 0) == 0) width = line.size();
      if (line[0] == '#' || line.find("# # ") != std::string::npos) continue;
      ASSERT_GT(width, 0u) << entry.path() << ": data line before the title line";
      EXPECT_EQ(line.size(), width) << entry.path() << ": " << line;
      ++dataLines;
    }
  }
  EXPECT_GT(files, 0);
  EXPECT_GT(dataLines, 0);
}

}  // namespace
