#include "app/data/PAV_DataManagement.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "PavLines.h"

namespace {

using HS = THorizontalScale;
using namespace pav_lines;

// Lines, resets and re-synchronisations on the acquisition thread; the
// display side reads the Allan deviations and channel state, and the user
// changes nominal frequencies, PVH settings and the Allan options meanwhile.
TEST(PavStoreThreads, LinesWhileReadersAndSettingsChange) {
  TPAV_DataManagement store(-1, 0, false);
  store.SetAddLogStrings(true);
  store.SetSamplerLogTypes(0xFFFFFFFFu);
  std::atomic<int> records{0};
  store.FOnSamplerStrings = [&](int, bool, const std::string&, const TPAVSamplerRecord&) { ++records; };
  std::atomic<bool> done{false};
  std::thread acquisition([&] {
    constexpr int64_t k10MHz = 10000000;
    for (int n = 0; n < 3000; ++n) {
      const __int128 jitter = (n * 37) % 1000;
      store.ExtractData(Line(kPhase1s, {PhaseText(Units(n * k10MHz) + jitter), PhaseText(Units(n * k10MHz) - jitter)}),
                        n * 1000);
      if (n % 500 == 250) store.BufferCleared(VQ_Code::BufferCleared);
      if (n % 700 == 350) store.ReSync("resync");
    }
    done = true;
  });
  int badNominal = 0;
  for (int i = 0; !done; ++i) {
    store.SetNomFreq(1, i % 2 ? 1e7 : 1.0000001e7);
    const double f0 = store.GetNomFreq(1);
    if (f0 != 1e7 && f0 != 1.0000001e7) ++badNominal;
    (void)store.GetNomFrequCalculated(2);
    for (TAllanMode am : {amFreq, amPhaseRes, amPhaseDiff}) {
      (void)store.GetAllanTextValues(am, 2);
      (void)store.GetAllanGraphicValues(am, 1);
      (void)store.GetAllanPersistValues(am, 1);
      (void)store.GetADEVCounts(am);
      (void)store.GetAllanTauCaption(am, 8);
      (void)store.GetAllanYPowerMinMax(am, 2);
      (void)store.CheckAllanMode(am);
    }
    if (i % 50 == 0) store.ResetAllanPersist(1);
    if (i % 70 == 0) store.SetAllanDecay(i % 3);
    if (i % 90 == 0) {
      TPVHSettings table;
      table.PVHChannels[1].enabled = i % 180 == 0;
      table.PVHChannels[1].NomFreq = 1e7;
      table.PVHChannels[1].Factor = 2.0L;
      store.AddPVHData(table);
    }
    (void)store.IntervalMs();
    (void)store.ChannelCount();
    (void)store.Count(HS::hsNone);
  }
  acquisition.join();
  EXPECT_EQ(badNominal, 0);
  EXPECT_GT(records.load(), 0);
  EXPECT_EQ(store.ChannelCount(), 2);
}

}  // namespace
