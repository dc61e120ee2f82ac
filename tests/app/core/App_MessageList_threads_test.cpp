#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "app/core/App_MessageList.h"

namespace {

// Producer threads add while the main thread ticks and a window catches up
// from the change log: nothing is lost, folded twice or left flagged.
TEST(MessageListThreads, ProducersTickAndReaderTogether) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 500;
  TVQ_ManualClock clock;  // never advanced: every repeat lies inside the fold window
  TMessageList list(-1, clock);
  std::atomic<int> notified{0};
  std::atomic<int> handledWarnings{0};
  std::atomic<int> handledErrors{0};
  list.SetOnMessageAdded([&](const TMessageItem&) { ++notified; });
  list.SetOnViaThreadHandled([&](const TMessageItem& item) { ++(item.MsgType == mtError ? handledErrors : handledWarnings); });

  std::atomic<int> running{kThreads};
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([&, t] {
      const TOnAddMsg post = list.Callback();
      for (int i = 0; i < kPerThread; ++i) {
        post(t, 7, mtError, "repeated", 0);  // folds into one item per session
        post(t, 8, mtWarning, "w" + std::to_string(i), 0);
      }
      --running;
    });
  }

  std::vector<TMessageItem> rows;
  uint64_t next = 0;
  const auto catchUp = [&] {
    TMsgChanges changes = list.ReadChanges(next);
    next = changes.Next;
    if (changes.Rebuild) {
      rows = std::move(changes.Items);
      return;
    }
    for (const TMsgChange& change : changes.Changes) {
      const auto row = std::find_if(rows.begin(), rows.end(), [&](const TMessageItem& r) { return r.Seq == change.Seq; });
      switch (change.Kind) {
        case TMsgChange::TKind::Added: rows.push_back(change.Item); break;
        case TMsgChange::TKind::Updated: ASSERT_NE(row, rows.end()); *row = change.Item; break;
        case TMsgChange::TKind::Removed: ASSERT_NE(row, rows.end()); rows.erase(row); break;
        case TMsgChange::TKind::Cleared: rows.clear(); break;
      }
    }
  };
  while (running.load() > 0) {
    list.DisplayTick();
    catchUp();
    std::this_thread::yield();
  }
  for (std::thread& producer : producers) producer.join();
  list.DisplayTick();
  catchUp();

  const std::vector<TMessageItem> items = list.Snapshot();
  ASSERT_EQ(rows.size(), items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(rows[i].Seq, items[i].Seq);
    EXPECT_EQ(rows[i].Count, items[i].Count);
    EXPECT_FALSE(items[i].ViaThread);
  }
  int errors = 0;
  int errorCount = 0;
  int warnings = 0;
  for (const TMessageItem& item : items) {
    if (item.MsgType == mtError) {
      ++errors;
      errorCount += item.Count;
    } else {
      ++warnings;
    }
  }
  EXPECT_EQ(errors, kThreads);
  EXPECT_EQ(errorCount, kThreads * kPerThread);
  EXPECT_EQ(warnings, kThreads * kPerThread);
  EXPECT_EQ(notified.load(), 2 * kThreads * kPerThread);
  // Every warning reaches the pop-up side once; a folded error again each
  // time a repeat arrived after a tick.
  EXPECT_EQ(handledWarnings.load(), kThreads * kPerThread);
  EXPECT_GE(handledErrors.load(), kThreads);
}

}  // namespace
