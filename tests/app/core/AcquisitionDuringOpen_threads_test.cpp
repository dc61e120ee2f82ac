#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/core/ZEP_ReportThread.h"
#include "library/sources/MultiSource.h"
#include "support/TestConnectionKind.h"

namespace {

using namespace std::chrono_literals;

// A session as the acquisition thread sees it, polling its library source
// the way a counter session does and counting the lines it gets.
class TLibrarySession : public TPolledSession {
 public:
  TLibrarySession(int index, int source, std::string connection)
      : FIndex(index), FSource(source), FConnection(std::move(connection)) {}

  std::string OpenString() const override { return FConnection; }
  bool DeviceOpened() const override { return Multi_GetDevType(FSource) != 255; }
  bool GetReport() override {
    std::string line;
    int64_t deviceMs = 0;
    if (Multi_GetReportEx(FSource, line, deviceMs) != MultiCode::Ok || line.empty()) return false;
    ++Lines;
    return true;
  }
  bool IsSerialColdfire() const override { return false; }
  int Index() const override { return FIndex; }
  bool IsCopy() const override { return false; }
  std::string ToString() const override { return "Session " + std::to_string(FIndex); }

  std::atomic<int> Lines{0};

 private:
  const int FIndex;
  const int FSource;
  const std::string FConnection;
};

class TTwoSessions : public TSessionSlots {
 public:
  TTwoSessions(std::shared_ptr<TLibrarySession> a, std::shared_ptr<TLibrarySession> b) : FSessions{a, b} {}
  int SlotCount() const override { return static_cast<int>(FSessions.size()); }
  std::shared_ptr<TPolledSession> Slot(int index) const override { return FSessions[static_cast<std::size_t>(index)]; }

 private:
  const std::vector<std::shared_ptr<TLibrarySession>> FSessions;
};

// A timestamp frame of the simulated counter's stream: a full second.
std::string FullSecondFrame() { return std::string("\xFB\xFB\xFB\xFC\x70\x16\x04\x00\x00\x00\x0A", 11); }

// Waits (at most the gate's bound) until `done` holds or `give_up` does.
template <typename Done, typename GiveUp>
bool WaitFor(Done done, GiveUp giveUp) {
  const auto end = std::chrono::steady_clock::now() + TTestGate::kBound;
  while (!done() && !giveUp() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
  return done();
}

// A connection whose open takes long (held by the test, at most five
// seconds) stops neither the acquisition thread's polls of another counter
// nor the status queries of either source; once open it delivers on the
// same thread.
TEST(AcquisitionDuringOpen, SlowOpenHoldsUpNoOtherSession) {
  TTestConnectionKind slow("SLOWOPEN", TVQ_DeviceType::VQ_Simul, [](TTestDevice& d) { d.OpenGate.Arm(); });
  Multi_SetReportEvent(nullptr, true);  // the process-wide event, as the application has it
  const int steadySource = Multi_NewSource();
  const int slowSource = Multi_NewSource();
  std::string message;
  ASSERT_EQ(Multi_OpenConnectionEx(steadySource, "DemoData", message, false), MultiCode::Ok) << message;
  auto steady = std::make_shared<TLibrarySession>(0, steadySource, "DemoData");
  auto opening = std::make_shared<TLibrarySession>(1, slowSource, "SLOWOPEN:1");
  const TTwoSessions sessions(steady, opening);
  TZEP_ReportThread thread(sessions, -1, nullptr);

  std::atomic<bool> openReturned{false};
  std::atomic<int> openCode{-1};
  std::thread mainThread([&] {
    std::string openMessage;
    openCode = Multi_OpenConnectionEx(slowSource, "SLOWOPEN:1", openMessage, false);
    openReturned = true;
  });
  const std::shared_ptr<TTestDevice> device = slow.WaitForFirst();
  const bool held = device && device->OpenGate.Reached();
  EXPECT_TRUE(held);

  // While the open is held: the other counter's lines keep coming on the
  // acquisition thread, and queries of both sources answer.
  const int before = steady->Lines.load();
  EXPECT_TRUE(WaitFor([&] { return steady->Lines.load() >= before + 3; }, [&] { return openReturned.load(); }));
  uint32_t amount = 1;
  uint32_t high = 1;
  EXPECT_EQ(Multi_GetBufferAmounts(slowSource, amount, high), 1);
  EXPECT_EQ(amount, 0u);
  EXPECT_EQ(Multi_GetDevType(slowSource), 255);  // nothing installed yet
  EXPECT_EQ(Multi_GetHardFeature(slowSource), 0);
  EXPECT_EQ(Multi_GetSerialNumber(slowSource), -1);
  EXPECT_EQ(Multi_GetPendingCmdsCount(slowSource), 0);
  EXPECT_EQ(Multi_GetDevType(steadySource), static_cast<int>(TVQ_DeviceType::VQ_Simul));
  EXPECT_GT(Multi_GetSerialNumber(steadySource), 0);
  EXPECT_FALSE(openReturned.load()) << "the open ended before the test let it";

  if (device) device->OpenGate.Release();
  mainThread.join();
  EXPECT_EQ(openCode.load(), MultiCode::Ok);
  ASSERT_TRUE(device);
  device->Feed(FullSecondFrame());
  EXPECT_TRUE(WaitFor([&] { return opening->Lines.load() >= 1; }, [] { return false; }));

  thread.Stop();
  Multi_CloseConnection(slowSource);
  Multi_CloseConnection(steadySource);
}

}  // namespace
