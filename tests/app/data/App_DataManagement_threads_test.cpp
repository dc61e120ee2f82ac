#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "TestStore.h"

namespace {

using HS = THorizontalScale;

// Writer and reader on two threads: the reader sees consecutive running
// numbers, and what it read plus what it missed is everything written.
TEST(DataManagementReadSince, ConcurrentWriterAndReader) {
  TTestStore store;
  constexpr int kValues = 200000;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < kValues; ++i) store.Add(HS::hsNone);
    done = true;
  });

  TRingCursor cursor{0, store.ResetGeneration()};
  uint64_t read = 0, missed = 0;
  bool ordered = true;
  for (bool last = false; !last;) {
    last = done.load();
    auto lock = store.Lock();
    const TRingRead r = store.ReadSince(HS::hsNone, cursor);
    ordered = ordered && !r.Restarted &&
              store.ReadFrom(HS::hsNone, r.FirstX, r.Count) == Sequence(r.Next.Total - r.Count, r.Count);
    read += r.Count;
    missed += r.Missed;
    cursor = r.Next;
  }
  writer.join();
  EXPECT_TRUE(ordered);
  EXPECT_EQ(read + missed, static_cast<uint64_t>(kValues));
}

}  // namespace
