#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "library/sources/VQ_Source.h"
#include "support/TestDevice.h"

// A connection kind for the time of a test: "NAME:..." opened through the
// library makes a TTestDevice of `type` on the source's event and logs. The
// test reaches the devices made (newest last) to feed them and to arm their
// gates; Prepare runs on each before the library opens it.
class TTestConnectionKind {
 public:
  using TPrepare = std::function<void(TTestDevice&)>;

  explicit TTestConnectionKind(std::string name, TVQ_DeviceType type = TVQ_DeviceType::VQ_Simul,
                               TPrepare prepare = {})
      : FName(std::move(name)) {
    RegisterConnectionKind(FName, [this, type, prepare](const TDeviceMakeArgs& args) {
      auto device = std::make_shared<TTestDevice>(args.ReceiveEvent, SystemClock(), args.LogId, type);
      if (prepare) prepare(*device);
      {
        std::lock_guard lock(FLock);
        FDevices.push_back(device);
      }
      FMade.notify_all();
      return device;
    });
  }
  ~TTestConnectionKind() { RegisterConnectionKind(FName, {}); }
  TTestConnectionKind(const TTestConnectionKind&) = delete;
  TTestConnectionKind& operator=(const TTestConnectionKind&) = delete;

  std::shared_ptr<TTestDevice> Last() const {
    std::lock_guard lock(FLock);
    return FDevices.empty() ? nullptr : FDevices.back();
  }
  // The first device made, once an open on another thread has made it
  // (nullptr when none comes within TTestGate::kBound).
  std::shared_ptr<TTestDevice> WaitForFirst() {
    std::unique_lock lock(FLock);
    FMade.wait_for(lock, TTestGate::kBound, [this] { return !FDevices.empty(); });
    return FDevices.empty() ? nullptr : FDevices.front();
  }

 private:
  const std::string FName;
  mutable std::mutex FLock;
  std::condition_variable FMade;
  std::vector<std::shared_ptr<TTestDevice>> FDevices;
};
