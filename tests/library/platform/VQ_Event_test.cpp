#include "library/platform/VQ_Event.h"

#include <gtest/gtest.h>

#include <thread>

using namespace std::chrono_literals;

TEST(EventThreads, ManualResetWakesEveryWaiterUntilReset) {
  TVQ_Event event;
  EXPECT_FALSE(event.WaitFor(1ms));

  bool woke[3] = {};
  std::thread waiters[3];
  for (int i = 0; i < 3; ++i) waiters[i] = std::thread([&, i] { woke[i] = event.WaitFor(10s); });
  event.Set();
  for (std::thread& t : waiters) t.join();
  for (bool w : woke) EXPECT_TRUE(w);

  EXPECT_TRUE(event.IsSet());  // stays set for later waits
  EXPECT_TRUE(event.WaitFor(0ms));
  event.Reset();
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(event.WaitFor(1ms));
}
