#include "library/platform/VQ_Clock.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

TEST(ManualClock, BothReadingsMoveOnlyWhenAdvanced) {
  const auto start = TVQ_Clock::Wall::time_point{} + 1000h;
  TVQ_ManualClock clock(start);
  const auto t0 = clock.Now();
  EXPECT_EQ(clock.WallNow(), start);

  clock.Advance(1500ms);
  EXPECT_EQ(clock.Now() - t0, 1500ms);
  EXPECT_EQ(clock.WallNow(), start + 1500ms);

  // Setting the wall clock leaves elapsed time alone.
  clock.SetWall(start - 1h);
  EXPECT_EQ(clock.Now() - t0, 1500ms);
  EXPECT_EQ(clock.WallNow(), start - 1h);
  clock.Advance(1s);
  EXPECT_EQ(clock.WallNow(), start - 1h + 1s);
}
