#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/core/App_SessionList.h"
#include "library/platform/VQ_Event.h"

// The one acquisition thread: polls every session for report lines, so that
// report evaluation and the stores run off the main thread.
//
// A pass polls each session once (round-robin, one line each). While any
// session delivers, the next pass starts at once; otherwise the thread sleeps
// on the receive event, which every device transport sets when bytes arrive,
// for 1000 ms when no device is open, 10 ms when an older serial counter is
// there (its transport signals less promptly), else 100 ms.
//
// Removing or replacing a session (main thread):
//   RemoveSession(session)        the thread stops polling it
//   take it out of its slot       the session list no longer hands it out
//   WaitUntilNotPolling(session)  true: the thread is done with it and holds
//                                 no reference, so the caller's last
//                                 reference frees it on the caller's thread
//   close and free it, RemoveSession(nullptr)
// A session may also be closed while it still sits in its slot, once it is
// marked and WaitUntilNotPolling has returned true: marked sessions are never
// polled. Its final free still needs the wait after it has left its slot.
//
// Shutdown: Stop() (or the destructor) before the devices are closed and
// before the session list is freed; the session list must outlive the thread.
// Never destroy the thread object on its own thread (from a session callback).
class TZEP_ReportThread {
 public:
  using TShowError = std::function<void(const std::string&)>;

  static constexpr std::chrono::milliseconds kReceiveTimeout{100};
  static constexpr std::chrono::milliseconds kSerialTimeout{10};
  static constexpr std::chrono::milliseconds kIdleTimeout{1000};

  // Starts the thread at once. aEvent nullptr: the process-wide
  // BaseReceiveEvent(). aLogId: the debug log when "ReportThread" lines are
  // wanted, else -1. aShowError gets the text of an exception outside a
  // session's poll, once per distinct text, on the acquisition thread: it
  // must only pass the text on to the main thread.
  TZEP_ReportThread(const TSessionSlots& aSessions, int aLogId, TShowError aShowError,
                    TVQ_Event* aEvent = nullptr);
  ~TZEP_ReportThread();  // Stop()
  TZEP_ReportThread(const TZEP_ReportThread&) = delete;
  TZEP_ReportThread& operator=(const TZEP_ReportThread&) = delete;

  // Notes whether an older serial counter is among the sessions (shorter
  // idle waits). Call again after the sessions change. A fault of the
  // session list is logged and keeps the previous finding.
  void CheckSerialConnections();
  bool HasSerialSession() const { return FHasSerialSession.load(); }

  // Marks the session that is being removed or replaced: it is not polled
  // until the mark is cleared with nullptr.
  void RemoveSession(const std::shared_ptr<TPolledSession>& aSession);
  // True once the thread is not polling aSession nor holding a reference to
  // it; false on time-out, or when called on the acquisition thread itself.
  // Only a marked session stays out of the thread's hands afterwards.
  bool WaitUntilNotPolling(const std::shared_ptr<TPolledSession>& aSession,
                           std::chrono::milliseconds timeout);

  // Asks the loop to end and wakes its wait; returns at once.
  void Terminate();
  bool Terminated() const { return FTerminated.load(); }
  // Terminate and wait for the thread to end. Idempotent; from the thread
  // itself it only terminates.
  void Stop();

 private:
  struct TPassState {
    bool AnyOpen = false;
    bool AnyReport = false;
  };
  class TSlotHold;

  void Execute();
  void RunPass(TPassState& pass);
  void PollSlot(int index, TPassState& pass);
  bool PollSession(TPolledSession& session);
  void WaitIdle(const TPassState& pass);
  void PassFailed(const std::string& className, const std::string& message);
  bool IsRemoved(const std::shared_ptr<TPolledSession>& aSession) const;  // FStateLock held
  void Log(const std::string& text) const;
  bool LogOn() const;

  const TSessionSlots& FSessions;
  const int FLogId;
  const TShowError FShowError;
  TVQ_Event& FReceiveEvent;
  const std::string FDbgTag = "TZEP_ReportThread";

  std::atomic<bool> FTerminated{false};
  std::atomic<std::thread::id> FThreadId{};  // set by the thread when it starts
  std::atomic<bool> FHasSerialSession{false};
  std::string FLastShownError;  // acquisition thread only

  // What the thread holds of the session list, for the removal hand-over.
  mutable std::mutex FStateLock;
  std::condition_variable FHoldChanged;
  std::weak_ptr<TPolledSession> FRemovedSession;  // weak: the mark must not keep it alive
  bool FHolding = false;                          // a slot is being read or its session polled
  const TPolledSession* FHeld = nullptr;          // that session, once known

  std::mutex FStopLock;  // one joiner at a time
  std::thread FThread;   // last: started when everything above is ready
};
