#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "QmtLines.h"

namespace {

using HS = THorizontalScale;

// Lines on one thread, calibration changes and readers on another. Every
// stored value of channel 2 belongs to one of the two calibrations, and the
// sampler's record carries the calibration its line was corrected with. The
// old lock order (calibration lock inside the store lock on this thread)
// deadlocked here.
TEST(QMTStoreThreads, LinesWhileTheCalibrationChanges) {
  TQMT_DataManagement store(-1, 0, false);
  store.SetAddLogStrings(true);
  std::atomic<int> badRecords{0};
  store.FOnSamplerStrings = [&](int, bool, const TQMTSamplerRecord& record) {
    const double cal = record.Calibration.Values[1];
    const std::string expected = Pad15("100.00") + Pad15(cal == 5.0 ? "95.00" : "100.00");
    if ((cal != 0.0 && cal != 5.0) || record.Strings[0] != expected) ++badRecords;
  };
  std::atomic<bool> done{false};
  std::thread acquisition([&] {
    for (int i = 0; i < 3000; ++i) store.AddQMT(Line({100.0, 100.0}));
    done = true;
  });
  int badValues = 0;
  for (int i = 0; !done; ++i) {
    store.SetCalibrationData(Calibration({{2, i % 2 == 0 ? 5.0 : 0.0}}));
    {
      auto lock = store.Lock();
      if (store.Count(HS::hsNone) > 0) {
        const auto last = store.GetLastQMTDiff(false);
        if (last.size() != 2 || (last[1] != -5.0 && last[1] != 0.0)) ++badValues;
      }
    }
    (void)store.GetTextModeString(tmQMTDiff, 2);
    (void)store.GetQMTDiff(false, 2, 0, 100);
    (void)store.CalibrationValues();
    (void)store.DeviceCalibration();
  }
  acquisition.join();
  EXPECT_EQ(badValues, 0);
  EXPECT_EQ(badRecords.load(), 0);
}

}  // namespace
