#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "app/data/App_DataManagement.h"

// A store with one series per ring, written the way every store writes: under
// the lock, at the next position, then AfterAddValues. Each entry holds its
// running number since the last reset, so a reader can tell which one it got.
class TTestStore : public TDataManagement {
 public:
  TTestStore() : TDataManagement(-1, 7, false) {}

  void Add(THorizontalScale ring, int times = 1) {
    for (int i = 0; i < times; ++i) {
      auto lock = Lock();
      const int r = static_cast<int>(ring);
      FValues[r][FlaufX[r]] = FTotal[r];
      AfterAddValues(ring);
    }
  }
  uint64_t At(THorizontalScale ring, int x) const {
    auto lock = Lock();
    return FValues[static_cast<int>(ring)][x & kRingMask];
  }
  // The running numbers of `count` entries from position x onwards.
  std::vector<uint64_t> ReadFrom(THorizontalScale ring, int x, int count) const {
    auto lock = Lock();
    std::vector<uint64_t> out;
    for (int i = 0; i < count; ++i) out.push_back(At(ring, GetNextX(x, i)));
    return out;
  }

 private:
  std::array<std::array<uint64_t, TDataManagement::kRingSize>, kRingCount> FValues{};
};

inline std::vector<uint64_t> Sequence(uint64_t from, uint64_t count) {
  std::vector<uint64_t> out;
  for (uint64_t i = 0; i < count; ++i) out.push_back(from + i);
  return out;
}
