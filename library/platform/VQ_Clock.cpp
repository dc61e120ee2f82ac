#include "library/platform/VQ_Clock.h"

#include <ctime>

namespace {

class TSystemClock final : public TVQ_Clock {
 public:
  Monotonic::time_point Now() const override { return Monotonic::now(); }
  Wall::time_point WallNow() const override { return Wall::now(); }
};

}  // namespace

const TVQ_Clock& SystemClock() {
  static const TSystemClock clock;
  return clock;
}

TVQ_Clock::Wall::time_point CoarseWallNow() {
  timespec ts{};
  if (clock_gettime(CLOCK_REALTIME_COARSE, &ts) != 0) return TVQ_Clock::Wall::now();
  const auto sinceEpoch = std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
  return TVQ_Clock::Wall::time_point{} + std::chrono::duration_cast<TVQ_Clock::Wall::duration>(sinceEpoch);
}

TVQ_ManualClock::TVQ_ManualClock(Wall::time_point wallStart)
    : FWallOffset(std::chrono::duration_cast<std::chrono::nanoseconds>(wallStart.time_since_epoch()).count()) {}

TVQ_Clock::Monotonic::time_point TVQ_ManualClock::Now() const {
  return Monotonic::time_point{} + std::chrono::nanoseconds(FElapsed.load());
}

TVQ_Clock::Wall::time_point TVQ_ManualClock::WallNow() const {
  const std::chrono::nanoseconds sinceEpoch(FWallOffset.load() + FElapsed.load());
  return Wall::time_point{} + std::chrono::duration_cast<Wall::duration>(sinceEpoch);
}

void TVQ_ManualClock::Advance(std::chrono::nanoseconds step) { FElapsed += step.count(); }

void TVQ_ManualClock::SetWall(Wall::time_point wall) {
  const auto sinceEpoch = std::chrono::duration_cast<std::chrono::nanoseconds>(wall.time_since_epoch()).count();
  FWallOffset = sinceEpoch - FElapsed.load();
}
