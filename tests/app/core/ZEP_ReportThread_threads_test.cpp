#include "app/core/ZEP_ReportThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/core/ZEP_Sync.h"
#include "library/core/LogUnit.h"
#include "support/FileText.h"
#include "support/TempFolder.h"

namespace {

using namespace std::chrono_literals;
using TSteady = std::chrono::steady_clock;

// A session whose poll the test steers: what GetReport returns, throws or how
// long it takes. It counts its polls and notes the thread it was freed on.
class TFakeSession : public TPolledSession {
 public:
  explicit TFakeSession(int index, std::string openString = "USB", bool opened = true, bool serial = false)
      : FIndex(index), FOpenString(std::move(openString)), FOpened(opened), FSerial(serial) {}
  ~TFakeSession() override {
    EXPECT_FALSE(InPoll.load()) << "freed during its own poll";
    if (FreedOn) *FreedOn = std::this_thread::get_id();
  }

  std::string OpenString() const override { return FOpenString; }
  bool DeviceOpened() const override { return FOpened; }
  bool IsSerialColdfire() const override { return FSerial; }
  int Index() const override { return FIndex; }
  bool IsCopy() const override { return false; }
  std::string ToString() const override { return "Session " + std::to_string(FIndex) + "/False"; }

  bool GetReport() override {
    InPoll = true;
    const int n = ++Polls;
    if (OnPoll) OnPoll(n);
    if (SlowMs.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(SlowMs.load()));
    InPoll = false;
    if (Throws.load()) throw std::runtime_error("session fault");
    return DeliverUpTo.load() >= n;
  }

  std::atomic<int> Polls{0};
  std::atomic<int> DeliverUpTo{0};  // GetReport returns true for polls 1..DeliverUpTo
  std::atomic<bool> Throws{false};
  std::atomic<int> SlowMs{0};
  std::atomic<bool> InPoll{false};
  std::function<void(int)> OnPoll;  // set before the thread starts
  std::thread::id* FreedOn = nullptr;

 private:
  int FIndex;
  std::string FOpenString;
  bool FOpened;
  bool FSerial;
};

constexpr int kForever = 1 << 30;

// The session list as the thread sees it; SlotCount counts the passes (the
// calls from other threads than the test's) and can be made to throw.
class TFakeSlots : public TSessionSlots {
 public:
  int SlotCount() const override {
    if (std::this_thread::get_id() != FTestThread) ++Passes;
    std::lock_guard lock(FLock);
    if (!FFault.empty()) throw std::runtime_error(FFault);
    return static_cast<int>(FSlots.size());
  }
  std::shared_ptr<TPolledSession> Slot(int index) const override {
    std::shared_ptr<TPolledSession> session;
    {
      std::lock_guard lock(FLock);
      if (index >= 0 && index < static_cast<int>(FSlots.size())) session = FSlots[static_cast<std::size_t>(index)];
    }
    // Widens the moment in which the thread holds a session it has not
    // looked at yet.
    if (session && SlowReadMs.load() > 0) {
      Reading = index;
      std::this_thread::sleep_for(std::chrono::milliseconds(SlowReadMs.load()));
      Reading = -1;
    }
    return session;
  }

  void Add(std::shared_ptr<TPolledSession> session) {
    std::lock_guard lock(FLock);
    FSlots.push_back(std::move(session));
  }
  void Set(int index, std::shared_ptr<TPolledSession> session) {
    std::lock_guard lock(FLock);
    FSlots.at(static_cast<std::size_t>(index)) = std::move(session);
  }
  void SetFault(std::string text) {
    std::lock_guard lock(FLock);
    FFault = std::move(text);
  }

  mutable std::atomic<int> Passes{0};
  std::atomic<int> SlowReadMs{0};
  mutable std::atomic<int> Reading{-1};  // the slot being read slowly

 private:
  const std::thread::id FTestThread = std::this_thread::get_id();
  mutable std::mutex FLock;
  std::vector<std::shared_ptr<TPolledSession>> FSlots;
  std::string FFault;
};

// Texts the thread asks to show, as the main window's queue would get them.
class TShownErrors {
 public:
  TZEP_ReportThread::TShowError Callback() {
    return [this](const std::string& text) {
      std::lock_guard lock(FLock);
      FTexts.push_back(text);
    };
  }
  std::vector<std::string> Texts() const {
    std::lock_guard lock(FLock);
    return FTexts;
  }

 private:
  mutable std::mutex FLock;
  std::vector<std::string> FTexts;
};

// A debug log in a temp folder; Text() closes it and reads it back.
class TTestLog {
 public:
  TTestLog() : FId(NewLog()) {
    EXPECT_GE(FId, 0);
    SetLogFile(FId, FFolder.File("thread.log"), false);
    FFile = FindLogger(FId)->InternLogFileName();
  }
  ~TTestLog() { SetLogFile(FId, "", false); }
  int Id() const { return FId; }
  std::string Text() {
    SetLogFile(FId, "", false);
    return ReadFile(FFile);
  }

 private:
  TTempFolder FFolder;
  int FId;
  std::string FFile;
};

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 3000ms) {
  const auto end = TSteady::now() + timeout;
  while (!condition()) {
    if (TSteady::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The idle wait follows what the pass found open: four threads run side by
// side for 1.5 s. A session on "none" is never polled, and being open does
// not make it count as open.
TEST(ReportThread, IdleWaitFollowsWhatIsOpen) {
  struct TCase {
    const char* Name;
    bool HasSessions;
    bool Opened;
    bool Serial;
    int MinPasses;
    int MaxPasses;
  };
  const TCase cases[] = {
      {"empty list: 1000 ms", false, false, false, 1, 3},
      {"nothing open: 1000 ms", true, false, false, 1, 3},
      {"open: 100 ms", true, true, false, 7, 20},
      {"open serial Coldfire: 10 ms", true, true, true, 30, 200},
  };
  struct TRun {
    TFakeSlots Slots;
    std::shared_ptr<TFakeSession> None;
    TVQ_Event Event;
    std::unique_ptr<TZEP_ReportThread> Thread;
  };
  std::vector<std::unique_ptr<TRun>> runs;
  for (const TCase& c : cases) {
    auto run = std::make_unique<TRun>();
    if (c.HasSessions) {
      run->None = std::make_shared<TFakeSession>(0, "none", true, false);
      run->None->DeliverUpTo = kForever;
      run->Slots.Add(run->None);
      run->Slots.Add(nullptr);  // an empty slot is skipped
      run->Slots.Add(std::make_shared<TFakeSession>(2, "USB", c.Opened, c.Serial));
    }
    runs.push_back(std::move(run));
  }
  for (auto& run : runs) run->Thread = std::make_unique<TZEP_ReportThread>(run->Slots, -1, nullptr, &run->Event);
  std::this_thread::sleep_for(1500ms);
  for (auto& run : runs) run->Thread->Stop();

  for (std::size_t i = 0; i < runs.size(); ++i) {
    const TCase& c = cases[i];
    EXPECT_GE(runs[i]->Slots.Passes.load(), c.MinPasses) << c.Name;
    EXPECT_LE(runs[i]->Slots.Passes.load(), c.MaxPasses) << c.Name;
    if (runs[i]->None) {
      EXPECT_EQ(runs[i]->None->Polls.load(), 0) << c.Name;
    }
  }
}

// While data flows there is no wait at all, and every delivering session gets
// one poll per pass.
TEST(ReportThread, PollsAgainAtOnceWhileDataFlows) {
  TFakeSlots slots;
  auto first = std::make_shared<TFakeSession>(0);
  auto second = std::make_shared<TFakeSession>(1);
  first->DeliverUpTo = 500;
  second->DeliverUpTo = kForever;
  slots.Add(first);
  slots.Add(second);
  TVQ_Event event;
  TZEP_ReportThread thread(slots, -1, nullptr, &event);

  // 500 polls with a 100 ms wait between them would take 50 s.
  EXPECT_TRUE(WaitUntil([&] { return first->Polls.load() >= 500; }, 2000ms)) << first->Polls.load();
  thread.Stop();
  EXPECT_LE(std::abs(first->Polls.load() - second->Polls.load()), 1);
}

// The receive event ends an idle wait; so does a signal that comes while a
// pass runs (bytes that arrive just after their session was polled).
TEST(ReportThread, ReceiveEventCutsTheWaitShort) {
  TFakeSlots slots;
  auto session = std::make_shared<TFakeSession>(0, "USB", true, false);
  TVQ_Event event;
  std::mutex timesLock;
  std::vector<TSteady::time_point> times;
  session->OnPoll = [&](int n) {
    {
      std::lock_guard lock(timesLock);
      times.push_back(TSteady::now());
    }
    if (n == 2) event.Set();
  };
  slots.Add(session);
  TZEP_ReportThread thread(slots, -1, nullptr, &event);
  ASSERT_TRUE(WaitUntil([&] { return session->Polls.load() >= 3; }));
  thread.Stop();
  std::lock_guard lock(timesLock);
  // Poll 2 comes after the 100 ms time-out, poll 3 right after it.
  EXPECT_LT(times[2] - times[1], 50ms);

  TFakeSlots idleSlots;
  TVQ_Event idleEvent;
  TZEP_ReportThread idle(idleSlots, -1, nullptr, &idleEvent);
  ASSERT_TRUE(WaitUntil([&] { return idleSlots.Passes.load() >= 1; }));
  std::this_thread::sleep_for(20ms);
  const auto setAt = TSteady::now();
  idleEvent.Set();
  ASSERT_TRUE(WaitUntil([&] { return idleSlots.Passes.load() >= 2; }));
  EXPECT_LT(TSteady::now() - setAt, 500ms);
}

// A new thread is stopped at once, over and over: a stop that raced with the
// loop's event reset would sit out the 1000 ms wait.
TEST(ReportThread, StopIsPromptAndIdempotent) {
  TFakeSlots slots;
  for (int i = 0; i < 30; ++i) {
    TVQ_Event event;
    const auto start = TSteady::now();
    {
      TZEP_ReportThread thread(slots, -1, nullptr, &event);
      if (i % 2 == 1) std::this_thread::sleep_for(std::chrono::milliseconds(i % 7));
      thread.Stop();
      EXPECT_TRUE(thread.Terminated());
      thread.Stop();
    }
    EXPECT_LT(TSteady::now() - start, 300ms) << "round " << i;
  }
}

// The process-wide event is what the thread sleeps on when it is given none.
TEST(ReportThread, UsesTheBaseReceiveEventByDefault) {
  TFakeSlots slots;
  TZEP_ReportThread thread(slots, -1, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return slots.Passes.load() >= 1; }));
  std::this_thread::sleep_for(20ms);
  BaseReceiveEvent().Set();
  EXPECT_TRUE(WaitUntil([&] { return slots.Passes.load() >= 2; }, 500ms));
}

TEST(ReportThread, MarkedSessionIsSkippedWhileTheOthersArePolled) {
  TTestLog log;
  TFakeSlots slots;
  std::vector<std::shared_ptr<TFakeSession>> sessions;
  for (int i = 0; i < 3; ++i) {
    sessions.push_back(std::make_shared<TFakeSession>(i));
    sessions.back()->DeliverUpTo = kForever;
    slots.Add(sessions.back());
  }
  TVQ_Event event;
  TZEP_ReportThread thread(slots, log.Id(), nullptr, &event);
  ASSERT_TRUE(WaitUntil([&] { return sessions[1]->Polls.load() >= 10; }));

  thread.RemoveSession(sessions[1]);
  ASSERT_TRUE(thread.WaitUntilNotPolling(sessions[1], 1000ms));
  const int markedPolls = sessions[1]->Polls.load();
  const int before0 = sessions[0]->Polls.load();
  const int before2 = sessions[2]->Polls.load();
  ASSERT_TRUE(WaitUntil([&] {
    return sessions[0]->Polls.load() >= before0 + 100 && sessions[2]->Polls.load() >= before2 + 100;
  }));
  EXPECT_EQ(sessions[1]->Polls.load(), markedPolls);

  thread.RemoveSession(nullptr);
  EXPECT_TRUE(WaitUntil([&] { return sessions[1]->Polls.load() > markedPolls; }));
  thread.Stop();

  const std::string text = log.Text();
  EXPECT_TRUE(Contains(text, "TZEP_ReportThread.RemoveSession Session 1/False")) << text.substr(0, 2000);
  EXPECT_TRUE(Contains(text, "TZEP_ReportThread.GetReport: session removed Session 1/False"));
  EXPECT_TRUE(Contains(text, "TZEP_ReportThread.RemoveSession NIL"));
}

// The removal hand-over with slow polls and slow slot reads: each round marks
// the session, takes it out of its slot and waits; the session must then be
// the caller's alone, so it is freed here and never during its poll. Rounds
// catch the thread in the poll, in reading the slot, or anywhere.
TEST(ReportThread, RemovedSessionIsFreedOnTheCallersThread) {
  TFakeSlots slots;
  auto busy = std::make_shared<TFakeSession>(0);
  busy->DeliverUpTo = kForever;
  slots.Add(busy);
  slots.Add(nullptr);
  slots.SlowReadMs = 2;
  TVQ_Event event;
  TZEP_ReportThread thread(slots, -1, nullptr, &event);

  for (int round = 0; round < 45; ++round) {
    std::thread::id freedOn;
    auto session = std::make_shared<TFakeSession>(1);
    session->SlowMs = 3;
    session->FreedOn = &freedOn;
    slots.Set(1, session);
    ASSERT_TRUE(WaitUntil([&] { return session->Polls.load() >= 1; }));
    if (round % 3 == 0) {
      ASSERT_TRUE(WaitUntil([&] { return session->InPoll.load(); }));
    } else if (round % 3 == 1) {
      ASSERT_TRUE(WaitUntil([&] { return slots.Reading.load() == 1; }));
    }

    thread.RemoveSession(session);
    slots.Set(1, nullptr);
    ASSERT_TRUE(thread.WaitUntilNotPolling(session, 2000ms)) << "round " << round;
    EXPECT_FALSE(session->InPoll.load());
    EXPECT_EQ(session.use_count(), 1) << "round " << round;
    session.reset();
    EXPECT_EQ(freedOn, std::this_thread::get_id()) << "round " << round;
    thread.RemoveSession(nullptr);
  }
}

// The wait for the hand-over is bounded; an exception of a session that was
// marked meanwhile is logged as such and not shown.
TEST(ReportThread, WaitUntilNotPollingIsBounded) {
  TTestLog log;
  TShownErrors shown;
  TFakeSlots slots;
  auto session = std::make_shared<TFakeSession>(0);
  std::atomic<bool> release{false};
  session->OnPoll = [&](int) {
    while (!release.load()) std::this_thread::sleep_for(1ms);
  };
  session->Throws = true;
  slots.Add(session);
  TVQ_Event event;
  TZEP_ReportThread thread(slots, log.Id(), shown.Callback(), &event);
  ASSERT_TRUE(WaitUntil([&] { return session->Polls.load() >= 1; }));

  thread.RemoveSession(session);
  const auto start = TSteady::now();
  EXPECT_FALSE(thread.WaitUntilNotPolling(session, 50ms));
  EXPECT_LT(TSteady::now() - start, 500ms);
  release = true;
  EXPECT_TRUE(thread.WaitUntilNotPolling(session, 2000ms));
  EXPECT_TRUE(thread.WaitUntilNotPolling(nullptr, 0ms));
  thread.Stop();

  EXPECT_TRUE(shown.Texts().empty());
  EXPECT_TRUE(Contains(log.Text(), "TZEP_ReportThread.Execute session removed -> ignore Exception"));
}

TEST(ReportThread, SessionExceptionIsLoggedAndTheOthersGoOn) {
  TTestLog log;
  TShownErrors shown;
  TFakeSlots slots;
  std::vector<std::shared_ptr<TFakeSession>> sessions;
  for (int i = 0; i < 3; ++i) {
    sessions.push_back(std::make_shared<TFakeSession>(i));
    slots.Add(sessions.back());
  }
  sessions[1]->Throws = true;
  sessions[0]->DeliverUpTo = 50;
  sessions[2]->DeliverUpTo = 50;
  TVQ_Event event;
  TZEP_ReportThread thread(slots, log.Id(), shown.Callback(), &event);
  EXPECT_TRUE(WaitUntil([&] { return sessions[0]->Polls.load() >= 50 && sessions[2]->Polls.load() >= 50; }));
  thread.Stop();

  EXPECT_GE(sessions[1]->Polls.load(), 50);
  EXPECT_TRUE(shown.Texts().empty());
  EXPECT_TRUE(Contains(log.Text(), "TZEP_ReportThread.GetReport failed"));
}

// A fault outside the polls ends the pass and is shown once per distinct
// text; the failing pass still waits, so the fault does not spin.
TEST(ReportThread, PassFaultIsShownOncePerDistinctText) {
  TTestLog log;
  TShownErrors shown;
  TFakeSlots slots;
  slots.SetFault("list broken");
  TVQ_Event event;
  TZEP_ReportThread thread(slots, log.Id(), shown.Callback(), &event);
  ASSERT_TRUE(WaitUntil([&] { return slots.Passes.load() >= 1; }));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(slots.Passes.load(), 1);

  const auto nextPass = [&](const std::string& fault) {
    slots.SetFault(fault);
    const int passes = slots.Passes.load();
    event.Set();
    ASSERT_TRUE(WaitUntil([&] { return slots.Passes.load() > passes; }));
  };
  nextPass("list broken");
  nextPass("other fault");
  nextPass("list broken");
  nextPass("");
  thread.Stop();

  const std::vector<std::string> expected = {
      "TZEP_ReportThread.Execute failed(std::runtime_error): list broken",
      "TZEP_ReportThread.Execute failed(std::runtime_error): other fault",
      "TZEP_ReportThread.Execute failed(std::runtime_error): list broken",
  };
  EXPECT_EQ(shown.Texts(), expected);
  EXPECT_TRUE(Contains(log.Text(), "TZEP_ReportThread.Execute failed"));
}

TEST(ReportThread, CheckSerialConnectionsFollowsTheSessions) {
  TFakeSlots slots;
  slots.Add(std::make_shared<TFakeSession>(0, "USB", true, false));
  TVQ_Event event;
  TZEP_ReportThread thread(slots, -1, nullptr, &event);
  EXPECT_FALSE(thread.HasSerialSession());
  slots.Add(std::make_shared<TFakeSession>(1, "COM1", true, true));
  thread.CheckSerialConnections();
  EXPECT_TRUE(thread.HasSerialSession());
  slots.Set(1, nullptr);
  thread.CheckSerialConnections();
  EXPECT_FALSE(thread.HasSerialSession());
}

// Many producers, one consumer: nothing lost, each producer's items in the
// order it added them, and the debug log in the order of the list.
TEST(SyncListThreads, ManyProducersOneConsumerKeepOrder) {
  constexpr int kProducers = 4;
  constexpr int kItems = 1500;
  TTestLog log;
  TSyncList list(log.Id());
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p)
    producers.emplace_back([&list, p] {
      for (int i = 0; i < kItems; ++i) list.AddSync(TMainSyncData(SyncWhat::DataReset, p, i, ""));
    });

  std::vector<int> next(kProducers, 0);
  std::vector<std::string> taken;
  while (static_cast<int>(taken.size()) < kProducers * kItems) {
    auto item = list.TakeFirst();
    if (!item) {
      std::this_thread::yield();
      continue;
    }
    ASSERT_GE(item->Code, 0);
    ASSERT_LT(item->Code, kProducers);
    EXPECT_EQ(item->aInt, next[static_cast<std::size_t>(item->Code)]++);
    taken.push_back(item->ToString());
  }
  for (auto& producer : producers) producer.join();
  EXPECT_EQ(list.Count(), 0u);

  std::istringstream lines(log.Text());
  std::size_t n = 0;
  for (std::string line; std::getline(lines, line) && n < taken.size();) {
    const auto at = line.find("ZEP_Sync.AddSync ");
    if (at == std::string::npos) continue;
    std::string logged = line.substr(at + 17);
    if (!logged.empty() && logged.back() == '\r') logged.pop_back();
    ASSERT_EQ(logged, taken[n]) << "line " << n;
    ++n;
  }
  EXPECT_EQ(n, taken.size());
}

}  // namespace
