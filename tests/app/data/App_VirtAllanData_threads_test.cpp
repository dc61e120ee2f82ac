#include "app/data/App_VirtAllanData.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

namespace {

// One thread feeds while another reads, changes the decay and is called back
// on new extremes: the accumulator's lock keeps both consistent.
TEST(VirtAllanData, ConcurrentFeedAndRead) {
  TVirtAllanData allan(-1, 19, amPhaseRes);
  allan.SetIntervalMs(10);
  std::atomic<int> events{0};
  allan.SetOnAdevMin([&](int v, int t) {
    if (allan.GetAdevMin(v, t) >= 0.0) ++events;
  });
  allan.SetOnAdevMax([&](int v, int t) {
    if (allan.GetAdevMax(v, t) >= 0.0) ++events;
  });
  constexpr int kSamples = 20000;
  std::atomic<bool> done{false};
  std::thread feeder([&] {
    std::mt19937 engine(9);
    std::normal_distribution<double> noise(0.0, 10.0);
    std::vector<double> line(4, 0.0);
    for (int i = 0; i < kSamples; ++i) {
      for (double& x : line) x += noise(engine);
      allan.AddData(line);
    }
    done = true;
  });
  int reads = 0;
  while (!done) {
    for (int k = 1; k <= 4; ++k) {
      (void)allan.GetTextValues(k);
      (void)allan.GetGraphicPersistValues(k);
      (void)allan.GetGraphicScaleMinMax(k);
    }
    (void)allan.GetTauCaption(8, 10);
    (void)allan.GetADEVCounts();
    allan.SetDecayConst(reads % 2 == 0 ? 0 : 1000);
    ++reads;
  }
  feeder.join();
  EXPECT_EQ(allan.GetSampleCount(), kSamples);
  EXPECT_GT(events.load(), 0);
  EXPECT_EQ(allan.GetLastTau(), 11);  // m = 5000: boundaries at 5000, 10000, 15000, 20000
}

}  // namespace
