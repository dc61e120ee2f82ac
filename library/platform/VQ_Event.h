#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

// Manual-reset event: once set, every wait returns at once until it is reset.
// Devices set it when bytes arrive; the acquisition thread waits on it.
class TVQ_Event {
 public:
  TVQ_Event() = default;
  TVQ_Event(const TVQ_Event&) = delete;
  TVQ_Event& operator=(const TVQ_Event&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;

  // True when the event is (or becomes) set within the time-out.
  bool WaitFor(std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex FMutex;
  mutable std::condition_variable FChanged;
  // Changed under FMutex; read without it so that setting an event that is
  // already set (every write of a busy device) costs one atomic load.
  std::atomic<bool> FSignalled{false};
};

// The one receive event of the process ("BaseReceiveEvent"), shared by every
// device and the acquisition thread.
TVQ_Event& BaseReceiveEvent();
