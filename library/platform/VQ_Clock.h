#pragma once

#include <atomic>
#include <chrono>

// Time source of the library. Code that measures elapsed time (time-outs,
// polls, supervision, log rotation) asks a TVQ_Clock instead of the system so
// tests can move time without sleeping. The wall clock only feeds timestamps
// that are shown or written.
class TVQ_Clock {
 public:
  using Monotonic = std::chrono::steady_clock;
  using Wall = std::chrono::system_clock;

  virtual ~TVQ_Clock() = default;
  virtual Monotonic::time_point Now() const = 0;
  virtual Wall::time_point WallNow() const = 0;
};

// The real clocks of the process.
const TVQ_Clock& SystemClock();

// The wall clock to within a few milliseconds, at a fraction of the cost of a
// precise reading: for "time of the last data" marks on hot paths.
TVQ_Clock::Wall::time_point CoarseWallNow();

// A clock that only moves when told to; both readings advance together.
// Safe to read from one thread while another advances it.
class TVQ_ManualClock final : public TVQ_Clock {
 public:
  explicit TVQ_ManualClock(Wall::time_point wallStart = Wall::time_point{});

  Monotonic::time_point Now() const override;
  Wall::time_point WallNow() const override;

  void Advance(std::chrono::nanoseconds step);
  void SetWall(Wall::time_point wall);

 private:
  std::atomic<std::chrono::nanoseconds::rep> FElapsed{0};
  std::atomic<std::chrono::nanoseconds::rep> FWallOffset;
};
