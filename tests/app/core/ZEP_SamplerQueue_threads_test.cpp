// The log writer queue between producer threads and a real multi-sampler.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/core/ZEP_SamplerQueue.h"
#include "support/FileText.h"
#include "support/TempFolder.h"
#include "tests/app/output/SamplerTestSupport.h"

namespace {

constexpr TUtcMs kAug9At10 = 1723197600000;  // 2024-08-09 10:00:00 UTC
constexpr int kSessions = 4;

// Holds whoever asks the sampler's clock (the writer, at every line) while closed.
class TGate {
 public:
  void Close() {
    std::lock_guard lock(FLock);
    FOpen = false;
  }
  void Open() {
    {
      std::lock_guard lock(FLock);
      FOpen = true;
    }
    FChanged.notify_all();
  }
  void Pass() {
    std::unique_lock lock(FLock);
    FChanged.wait(lock, [&] { return FOpen; });
  }

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FOpen = true;
};

// What a log file says, line by line.
struct TEntry {
  enum TKind { Data, Mark, Loss } Kind;
  int64_t Value;  // record number, mark number, records lost
  bool operator==(const TEntry&) const = default;
};

std::ostream& operator<<(std::ostream& out, const TEntry& entry) {
  static const char* const kNames[] = {"data", "mark", "loss"};
  return out << kNames[entry.Kind] << " " << entry.Value;
}

class SamplerQueueThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    TSamplerOptions options;
    options.LogTimeZoneSystem = true;
    options.DefaultFolder = FFolder.Path().string() + "/";
    FSampler.SetOptions(options);
    FSampler.SetClock([this] {
      FGate.Pass();
      return kAug9At10;
    });
    TSamplerHeaderInfo info;
    info.ChannelCount = 1;
    std::vector<std::shared_ptr<TSamplerSource>> sources;
    for (int s = 0; s < kSessions; ++s) {
      auto source = std::make_shared<TFakeSamplerSource>(s, false, TSamplerSessionKind::Counter, 1000, 1001 + s);
      source->SetInfo(info);
      sources.push_back(source);
    }
    FSampler.UpdateSessionList(sources);
    // One file per session, without header (events become comment lines),
    // with the sync time column (the sync time of each record is its number).
    for (int s = 0; s < kSessions; ++s) {
      auto definition = OnePartDefinition("s" + std::to_string(s) + ".txt", s, false, {LogType::Phase}, {1});
      definition->SetAddHeader(false);
      definition->SetOption(true);
      FSampler.AddDefinition(std::move(definition));
    }
  }

  // Records from..to-1 of session s, each after its sync time, a stamp every
  // ten records and a text event after every fiftieth; with `flushEach` each
  // record is waited for.
  void Feed(TSamplerQueue& queue, int s, int from, int to, bool flushEach = false) {
    for (int n = from; n < to; ++n) {
      if (n % 10 == 0) queue.AddTimeStamp(s, false, n);
      queue.SetSessionSyncTime(s, false, std::to_string(n));
      TMultiSamplerStrings record;
      record[0] = " " + Field("r" + std::to_string(n), 26);
      queue.AddStrings(s, false, sscStandard, record);
      if (n % 50 == 49) queue.UpdateSession(s, false, SamplerEvent::Text, "mark " + std::to_string(n));
      FFed[static_cast<std::size_t>(s)].store(n + 1);
      if (flushEach) queue.Flush();
    }
  }

  // Every session fed by a thread of its own.
  void FeedAll(TSamplerQueue& queue, int from, int to, bool flushEach = false) {
    std::vector<std::thread> producers;
    for (int s = 0; s < kSessions; ++s) producers.emplace_back([&, s] { Feed(queue, s, from, to, flushEach); });
    for (std::thread& producer : producers) producer.join();
  }

  // The complete lines of session s's file (the writer may be in the middle of one).
  std::vector<TEntry> Entries(int s) {
    std::string text = ReadFile(FFolder.File("s" + std::to_string(s) + "_240809_1.txt"));
    text.erase(text.rfind("\r\n") == std::string::npos ? 0 : text.rfind("\r\n") + 2);
    const std::string lossPrefix = std::string("Source ") + static_cast<char>('A' + s) + ": ";
    std::vector<TEntry> entries;
    for (std::string line : TextLines(text)) {
      line.pop_back();  // CR
      // "# # text #" after the time string, or time string, sync time, value field.
      if (const std::size_t at = line.find("# # "); at != std::string::npos) {
        const std::string comment = line.substr(at + 4, line.size() - at - 6);
        if (comment.starts_with("mark ")) {
          entries.push_back({TEntry::Mark, std::stoll(comment.substr(5))});
        } else if (comment.starts_with(lossPrefix) && comment.ends_with(" records lost (log writer queue full)")) {
          entries.push_back({TEntry::Loss, std::stoll(comment.substr(lossPrefix.size()))});
        } else {
          ADD_FAILURE() << "unexpected comment: " << line;
        }
        continue;
      }
      std::istringstream in(line);
      std::string date, time, sync, value;
      in >> date >> time >> sync >> value;
      EXPECT_EQ("r" + sync, value) << "the record has the sync time set just before it: " << line;
      entries.push_back({TEntry::Data, std::stoll(value.substr(1))});
    }
    return entries;
  }

  // Records 0..records-1 were fed: every missing one is stated just before
  // the next line, or at the end. The records stated lost.
  static uint64_t ExpectLossesInPlace(const std::vector<TEntry>& entries, int64_t records) {
    uint64_t stated = 0;
    int64_t last = -1;    // the record of the last data line
    int64_t pending = 0;  // losses stated since
    for (const TEntry& entry : entries) {
      if (entry.Kind == TEntry::Loss) {
        pending += entry.Value;
        stated += static_cast<uint64_t>(entry.Value);
      } else if (entry.Kind == TEntry::Data) {
        EXPECT_EQ(entry.Value - last - 1, pending) << "records missing before " << entry;
        last = entry.Value;
        pending = 0;
      }
    }
    EXPECT_EQ(records - 1 - last, pending) << "records missing at the end";
    return stated;
  }

  static int64_t Count(const std::vector<TEntry>& entries, TEntry::TKind kind) {
    return std::count_if(entries.begin(), entries.end(), [&](const TEntry& e) { return e.Kind == kind; });
  }

  TTempFolder FFolder;
  TGate FGate;
  TMessageSink FSink;
  TZEP_MultiSampler FSampler{-1, FSink.Callback()};
  std::array<std::atomic<int>, kSessions> FFed{};
};

TEST_F(SamplerQueueThreads, EveryRecordArrivesInOrderWhileTheMainThreadFlushes) {
  constexpr int kRecords = 1500;
  TSamplerQueue queue(FSampler, -1);
  queue.SetClock([] { return kAug9At10; });
  queue.Start();
  std::atomic<bool> fed{false};
  std::thread feeding([&] {
    FeedAll(queue, 0, kRecords);
    fed = true;
  });
  // What was fed before a Flush is in the file when it returns.
  int flushes = 0;
  while (!fed.load()) {
    std::array<int, kSessions> before{};
    for (int s = 0; s < kSessions; ++s) before[static_cast<std::size_t>(s)] = FFed[static_cast<std::size_t>(s)].load();
    queue.Flush();
    ++flushes;
    for (int s = 0; s < kSessions; ++s)
      ASSERT_GE(Count(Entries(s), TEntry::Data), before[static_cast<std::size_t>(s)]) << "session " << s;
  }
  feeding.join();
  queue.Stop();  // drains without a Flush
  EXPECT_GT(flushes, 0);
  EXPECT_EQ(queue.LostRecords(), 0u);

  for (int s = 0; s < kSessions; ++s) {
    SCOPED_TRACE("session " + std::to_string(s));
    std::vector<TEntry> expected;
    for (int n = 0; n < kRecords; ++n) {
      expected.push_back({TEntry::Data, n});
      if (n % 50 == 49) expected.push_back({TEntry::Mark, n});
    }
    EXPECT_EQ(Entries(s), expected);
  }
}

// The writer stalls while the producers go on, so the small queue fills:
// every lost record is stated in its session's file, exactly where the gap
// is. Then the producers wait for each record (Flush from every thread), so
// every session has lines after its loss.
TEST_F(SamplerQueueThreads, FullQueueStatesItsLossWhereItHappened) {
  constexpr int kRecords = 300;
  TSamplerQueue queue(FSampler, -1, 2048);
  queue.SetClock([] { return kAug9At10; });
  queue.Start();
  FGate.Close();
  FeedAll(queue, 0, 200);
  EXPECT_GT(queue.LostRecords(), 0u);
  FGate.Open();
  queue.Flush();
  FeedAll(queue, 200, kRecords, true);
  queue.Stop();

  uint64_t stated = 0;
  for (int s = 0; s < kSessions; ++s) {
    SCOPED_TRACE("session " + std::to_string(s));
    const std::vector<TEntry> entries = Entries(s);
    stated += ExpectLossesInPlace(entries, kRecords);
    EXPECT_GT(Count(entries, TEntry::Data), 0);
  }
  EXPECT_EQ(stated, queue.LostRecords());
}

// Without a writer thread, Flush and Stop hand over on the calling thread;
// nothing queued is dropped.
TEST_F(SamplerQueueThreads, WithoutWriterTheCallerHandsOver) {
  TSamplerQueue queue(FSampler, -1);
  queue.SetClock([] { return kAug9At10; });
  Feed(queue, 0, 0, 3);
  queue.Flush();
  EXPECT_EQ(Count(Entries(0), TEntry::Data), 3);
  Feed(queue, 0, 3, 5);
  queue.Stop();
  EXPECT_EQ(Count(Entries(0), TEntry::Data), 5);

  // Started again after a Stop, the queue writes on.
  queue.Start();
  Feed(queue, 0, 5, 7);
  queue.Stop();
  EXPECT_EQ(Count(Entries(0), TEntry::Data), 7);
}

// While nothing is written (no writer yet), a session that goes on sending
// fills the queue only up to its bound: its records are counted as lost and
// only the newest sync time waits. The loss at the very end, with nothing of
// the session after it, is stated when the queue stops.
TEST_F(SamplerQueueThreads, StalledQueueStaysBoundedAndStopStatesTheLossAtTheEnd) {
  constexpr int kRecords = 10000;
  constexpr std::size_t kCapacity = 1024;
  TSamplerQueue queue(FSampler, -1, kCapacity);
  queue.SetClock([] { return kAug9At10; });
  for (int n = 0; n < kRecords; ++n) {
    queue.SetSessionSyncTime(0, false, std::to_string(n));
    TMultiSamplerStrings record;
    record[0] = " " + Field("r" + std::to_string(n), 26);
    queue.AddStrings(0, false, sscStandard, record);
  }
  EXPECT_LE(queue.QueuedBytes(), kCapacity);
  ASSERT_GT(queue.LostRecords(), 0u);
  queue.Stop();
  const std::vector<TEntry> entries = Entries(0);
  EXPECT_EQ(ExpectLossesInPlace(entries, kRecords), queue.LostRecords());
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.back().Kind, TEntry::Loss);
}

}  // namespace

namespace {

// A writer far behind its queue: each line keeps the time its record was
// evaluated, and the records of the new day open the new day's file, though
// the writer reaches all of them only after midnight.
TEST(SamplerQueueTime, LinesKeepTheirRecordsTimeAcrossMidnight) {
  constexpr TUtcMs kMidnight = 1723248000000;  // 2024-08-10 00:00:00 UTC
  const struct {
    const char* Name;
    bool CounterTime;  // the record carries its counter time (dates the file)
  } cases[] = {{"pc", false}, {"counter", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TTempFolder folder;
    TZEP_MultiSampler sampler(-1, nullptr);
    TSamplerOptions options;
    options.LogTimeZoneSystem = true;
    options.DefaultFolder = folder.Path().string() + "/";
    sampler.SetOptions(options);
    sampler.SetClock([] { return kMidnight + 3600000; });  // the writer runs an hour later
    auto source = std::make_shared<TFakeSamplerSource>(0, false, TSamplerSessionKind::Counter, 1000, 1001);
    TSamplerHeaderInfo info;
    info.ChannelCount = 1;
    source->SetInfo(info);
    source->SetTime(kMidnight + 3600000);  // the session's clock when the writer asks
    sampler.UpdateSessionList({source});
    auto definition = OnePartDefinition("t.txt", 0, false, {LogType::Phase}, {1});
    definition->SetAddHeader(false);
    sampler.AddDefinition(std::move(definition));

    TSamplerQueue queue(sampler, -1);  // its writer is held back: not started yet
    TUtcMs evaluated = 0;
    queue.SetClock([&] { return evaluated; });
    for (const TUtcMs offset : {-2000, -1000, 0, 1000}) {
      evaluated = kMidnight + offset;
      TMultiSamplerStrings record;
      record[0] = " " + Field(std::to_string(offset), 26);
      // The counter runs 300 ms behind the PC here: its time decides the file.
      queue.AddStrings(0, false, sscStandard, record,
                       c.CounterTime ? std::optional<TUtcMs>(evaluated - 300) : std::nullopt);
    }
    queue.Start();
    queue.Stop();

    const auto lines = [&](const std::string& file) {
      std::vector<std::string> result;
      for (std::string line : TextLines(ReadFile(folder.File(file)))) {
        line.pop_back();  // CR
        result.push_back(line.substr(0, 17) + "|" + line.substr(line.find_last_of(' ') + 1));
      }
      return result;
    };
    if (c.CounterTime) {
      // The counter's 23:59:59.700 of the record at 00:00:00 belongs to the old day.
      EXPECT_EQ(lines("t_240809_1.txt"), (std::vector<std::string>{"240809 235958.000|-2000", "240809 235959.000|-1000",
                                                                    "240810 000000.000|0"}));
      EXPECT_EQ(lines("t_240810_1.txt"), (std::vector<std::string>{"240810 000001.000|1000"}));
    } else {
      EXPECT_EQ(lines("t_240809_1.txt"), (std::vector<std::string>{"240809 235958.000|-2000", "240809 235959.000|-1000"}));
      EXPECT_EQ(lines("t_240810_1.txt"), (std::vector<std::string>{"240810 000000.000|0", "240810 000001.000|1000"}));
    }
  }
}

}  // namespace
