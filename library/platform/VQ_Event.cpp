#include "library/platform/VQ_Event.h"

void TVQ_Event::Set() {
  if (FSignalled.load(std::memory_order_acquire)) return;
  {
    std::lock_guard lock(FMutex);
    FSignalled = true;
  }
  FChanged.notify_all();
}

void TVQ_Event::Reset() {
  if (!FSignalled.load(std::memory_order_acquire)) return;
  std::lock_guard lock(FMutex);
  FSignalled = false;
}

bool TVQ_Event::IsSet() const { return FSignalled.load(std::memory_order_acquire); }

bool TVQ_Event::WaitFor(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(FMutex);
  return FChanged.wait_for(lock, timeout, [this] { return FSignalled.load(std::memory_order_relaxed); });
}

TVQ_Event& BaseReceiveEvent() {
  static TVQ_Event event;
  return event;
}
