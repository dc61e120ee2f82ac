#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "library/devices/VQ_BaseDevice.h"

// A point where a transport stops until the test lets it go, so a test can
// hold an open or a read in progress for as long as it needs, without
// guessing times. Arm() before the transport gets there; the transport's
// Pass() then waits until Release(), at most `bound` (a forgotten release
// ends the test's wait instead of hanging it). Reached() tells the test the
// transport is waiting there.
class TTestGate {
 public:
  static constexpr std::chrono::seconds kBound{5};

  void Arm() {
    std::lock_guard lock(FLock);
    FArmed = true;
    FReached = false;
  }
  void Release() {
    {
      std::lock_guard lock(FLock);
      FArmed = false;
    }
    FChanged.notify_all();
  }
  // True once the transport waits at the gate (within `bound`).
  bool Reached(std::chrono::milliseconds bound = kBound) {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, bound, [this] { return FReached; });
  }
  // Called by the transport; passes at once when the gate is not armed.
  void Pass(std::chrono::milliseconds bound = kBound) {
    std::unique_lock lock(FLock);
    if (!FArmed) return;
    FReached = true;
    FChanged.notify_all();
    FChanged.wait_for(lock, bound, [this] { return !FArmed; });
  }

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FArmed = false;
  bool FReached = false;
};

// A transport for tests: the test plays the counter.
//
// - Feed / FeedTools put bytes into the receive / tools ring as a worker would
//   (Feed also passes them to the capture file, as transports do).
// - Every successful DeviceWrite is recorded; Written() returns the list.
// - SetWriteOutcome makes later writes fail, with or without recording an
//   error on the device (kFailError records WriteErrorCode / WriteErrorText).
// - SetClosedOnCheck makes CheckDeviceClosed report a lost connection with
//   VQ_DeviceNotConnected; CheckCount() tells how often it was asked.
// - OpenPort / ClosePort only switch the open flag and count the calls;
//   SetOpenFails makes OpenPort fail without recording an error.
// - OpenGate holds OpenPort, CheckGate holds CheckDeviceClosed (which a read
//   of an empty receive ring calls), while the test keeps them armed.
// - As a VQ_TxtFile device, reads return one CR LF line at a time.
// Safe to feed from one thread while another reads and writes.
class TTestDevice : public TVQ_BaseDevice {
 public:
  enum class TWriteOutcome { kSucceed, kFailError, kFailSilently };

  static constexpr TVQ_Result WriteErrorCode = TVQ_Result::VQ_Err_DataTransferInterrupted;
  static constexpr std::string_view WriteErrorText = "test write failed";

  explicit TTestDevice(TVQ_Event* event, const TVQ_Clock& clock = SystemClock(), int logId = -1,
                       TVQ_DeviceType type = TVQ_DeviceType::VQ_Serial)
      : TVQ_BaseDevice(logId, 0, event, true, clock) {
    SetDevType(type);
  }
  ~TTestDevice() override = default;

  std::string ClassName() const override { return "TTestDevice"; }

  bool Feed(std::string_view bytes) {
    SaveBinaryData(bytes);
    return ReceiveBuffer().WriteAnsiString(bytes);
  }
  bool FeedTools(std::string_view bytes) { return ToolsBuffer().WriteAnsiString(bytes); }

  void SetPeer(TVQ_PeerType peer) { StorePeerType(peer); }
  void SetPath(const std::string& path) { SetDevicePath(path); }
  void SetWriteOutcome(TWriteOutcome outcome) { FWriteOutcome = outcome; }
  void SetClosedOnCheck(bool value) { FClosedOnCheck = value; }
  void SetOpenFails(bool value) { FOpenFails = value; }
  // What a transport does when the counter reports its buffer cleared.
  void ClearReceiveBuffer() { ReceiveBuffer().Clear(); }
  int CheckCount() const { return FCheckCount.load(); }
  int OpenCount() const { return FOpenCount.load(); }
  int CloseCount() const { return FCloseCount.load(); }

  TTestGate OpenGate;
  TTestGate CheckGate;

  std::vector<std::string> Written() const {
    std::lock_guard lock(FWrittenLock);
    return FWritten;
  }

  bool OpenPort(std::string& errorMsg) override {
    errorMsg.clear();
    OpenGate.Pass();
    ++FOpenCount;
    if (FOpenFails) return false;  // and records no error
    SetPortOpened(true);
    return true;
  }
  bool ClosePort() override {
    ++FCloseCount;
    SetPortOpened(false);
    return true;
  }
  bool CheckDeviceClosed() override {
    CheckGate.Pass();
    ++FCheckCount;
    if (!FClosedOnCheck) return false;
    SetError(TVQ_Result::VQ_DeviceNotConnected, "test device closed");
    return true;
  }
  // A recorded text file hands out one line (without its CR LF) per read.
  std::string DeviceRead(uint8_t len) override {
    if (DevType() != TVQ_DeviceType::VQ_TxtFile) return TVQ_BaseDevice::DeviceRead(len);
    const std::string held = PeekAnsi(GetBufferAmount());
    const std::size_t end = held.find("\r\n");
    const std::string line = held.substr(0, end);
    ConfirmPeekedData(static_cast<uint32_t>(end == std::string::npos ? held.size() : end + 2));
    return line;
  }

  bool DeviceWrite(std::string& data) override {
    switch (FWriteOutcome.load()) {
      case TWriteOutcome::kFailError:
        SetError(WriteErrorCode, std::string(WriteErrorText));
        return false;
      case TWriteOutcome::kFailSilently:
        return false;
      case TWriteOutcome::kSucceed:
        break;
    }
    std::lock_guard lock(FWrittenLock);
    FWritten.push_back(data);
    return true;
  }

 private:
  std::atomic<TWriteOutcome> FWriteOutcome{TWriteOutcome::kSucceed};
  std::atomic<bool> FClosedOnCheck{false};
  std::atomic<bool> FOpenFails{false};
  std::atomic<int> FCheckCount{0};
  std::atomic<int> FOpenCount{0};
  std::atomic<int> FCloseCount{0};
  mutable std::mutex FWrittenLock;
  std::vector<std::string> FWritten;
};
