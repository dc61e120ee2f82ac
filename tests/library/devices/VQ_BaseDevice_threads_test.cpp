#include "library/devices/VQ_BaseDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "tests/support/TempFolder.h"
#include "tests/support/TestDevice.h"

namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

// Chunk i of the worker's stream: four bytes that name i.
std::string Chunk(uint32_t i) {
  return {static_cast<char>(i >> 24), static_cast<char>(i >> 16), static_cast<char>(i >> 8), static_cast<char>(i)};
}

std::string ErrorText(TVQ_Result code) { return "error " + std::to_string(static_cast<int>(code)); }

// A worker stores bytes, records errors and updates the pacing state while the
// acquisition side reads, takes errors and asks the pacing state, and a third
// thread starts and stops the capture. Every byte arrives once and in order,
// and every error taken comes with its own message.
TEST(BaseDeviceThreads, WorkerWritesAndSetsErrorsWhileTheReaderReadsAndTakesThem) {
  constexpr uint32_t kChunks = 3000;
  constexpr TVQ_Result kCodes[] = {TVQ_Result::VQ_Err_DataTransferInterrupted, TVQ_Result::VQ_HardwareFault,
                                   TVQ_Result::VQ_DeviceNotConnected};
  TTempFolder folder;
  TVQ_Event event;
  TTestDevice device(&event);
  device.SetPeer(TVQ_PeerType::ptESP);
  device.SetBlockingIO(true);
  device.SetReadTimeoutMs(50);
  std::atomic<bool> workerDone{false};

  std::thread worker([&] {
    for (uint32_t i = 0; i < kChunks; ++i) {
      while (!device.Feed(Chunk(i))) std::this_thread::yield();
      if (i % 7 == 0) {
        const TVQ_Result code = kCodes[i % 3];
        device.SetError(code, ErrorText(code));
      }
      if (i % 5 == 0) {
        device.SetLastCommand(i % 2 ? "%" : "C");
        device.SetCmdResponse(i % 2 ? TCmdResponseType::crt_interval : TCmdResponseType::crt_mode);
        device.CheckMeasurementResponse(static_cast<uint16_t>(i), "TTestDevice.ReadESP PAVMeasurement, ");
        device.SetDelayNextCmdMs(static_cast<int>(i % 3));
      }
    }
    workerDone = true;
  });
  std::thread capture([&] {
    const std::string file = folder.File("capture.bin");
    while (!workerDone) {
      device.StartSaveBinaryData(file);
      std::this_thread::yield();
      device.StopSaveBinaryData();
    }
  });

  std::string received;
  int errorsTaken = 0;
  const auto giveUp = Steady::now() + 20s;
  while (received.size() < kChunks * 4 && Steady::now() < giveUp) {
    received += device.DeviceRead(4);
    std::string message;
    const TVQ_Result code = device.TakeError(message);
    if (code != TVQ_Result::VQ_No_Err) {
      ++errorsTaken;
      EXPECT_EQ(message, ErrorText(code));
    }
    device.GetCmdResponse();
    device.GetDelayNextCmdMs();
    device.LastCommand();
  }
  worker.join();
  capture.join();

  ASSERT_EQ(received.size(), kChunks * 4);
  for (uint32_t i = 0; i < kChunks; ++i) ASSERT_EQ(received.substr(i * 4, 4), Chunk(i)) << "chunk " << i;
  std::string message;
  if (device.TakeError(message) != TVQ_Result::VQ_No_Err) ++errorsTaken;
  EXPECT_GE(errorsTaken, 1);
}

TEST(BaseDeviceThreads, BlockingReadWakesWhenTheWorkerStoresBytes) {
  TVQ_Event event;
  TTestDevice device(&event);
  device.SetBlockingIO(true);
  device.SetReadTimeoutMs(10000);
  std::thread worker([&] {
    std::this_thread::sleep_for(5ms);
    device.Feed("abc");
  });
  const auto start = Steady::now();
  const std::string got = device.DeviceRead(3);
  worker.join();
  EXPECT_EQ(got, "abc");
  EXPECT_LT(Steady::now() - start, 5s);
}

TEST(BaseDeviceThreads, WaitSleepFollowsTheDeviceClockAndCancelEndsIt) {
  TVQ_Event event;
  TVQ_ManualClock clock;
  TTestDevice device(&event, clock);

  std::atomic<bool> finished{false};
  std::thread sleeper([&] { finished = device.WaitSleep(30); });
  std::this_thread::sleep_for(60ms);
  EXPECT_FALSE(finished);  // the device's clock has not moved
  clock.Advance(30ms);
  sleeper.join();
  EXPECT_TRUE(finished);

  std::atomic<int> result{-1};
  std::thread longSleeper([&] { result = device.WaitSleep(3600000) ? 1 : 0; });
  std::this_thread::sleep_for(5ms);
  const auto start = Steady::now();
  device.CancelWaits();
  longSleeper.join();
  EXPECT_EQ(result, 0);
  EXPECT_LT(Steady::now() - start, 2s);
  EXPECT_FALSE(device.WaitSleep(0));
  device.ResumeWaits();
  EXPECT_TRUE(device.WaitSleep(0));
}

TEST(BaseDeviceThreads, WaitSleepOnTheSystemClockKeepsItsLength) {
  TVQ_Event event;
  TTestDevice device(&event);
  const auto start = Steady::now();
  EXPECT_TRUE(device.WaitSleep(20));
  const auto took = Steady::now() - start;
  EXPECT_GE(took, 20ms);
  EXPECT_LT(took, 2s);
}

}  // namespace
