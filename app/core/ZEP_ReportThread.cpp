#include "app/core/ZEP_ReportThread.h"

#include <pthread.h>

#include <exception>
#include <utility>

#include "library/core/LogUnit.h"
#include "library/core/VQ_DllCommon.h"

// Marks the thread as holding a slot's session from before the slot is read
// until the reference is dropped, so that the main thread's removal can wait
// for it. Declared before the shared_ptr it guards, it ends after it.
class TZEP_ReportThread::TSlotHold {
 public:
  explicit TSlotHold(TZEP_ReportThread& owner) : FOwner(owner) {
    std::lock_guard lock(FOwner.FStateLock);
    FOwner.FHolding = true;
    FOwner.FHeld = nullptr;
  }
  ~TSlotHold() {
    {
      std::lock_guard lock(FOwner.FStateLock);
      FOwner.FHolding = false;
      FOwner.FHeld = nullptr;
    }
    FOwner.FHoldChanged.notify_all();
  }
  TSlotHold(const TSlotHold&) = delete;
  TSlotHold& operator=(const TSlotHold&) = delete;

 private:
  TZEP_ReportThread& FOwner;
};

TZEP_ReportThread::TZEP_ReportThread(const TSessionSlots& aSessions, int aLogId, TShowError aShowError,
                                     TVQ_Event* aEvent)
    : FSessions(aSessions),
      FLogId(aLogId),
      FShowError(std::move(aShowError)),
      FReceiveEvent(aEvent ? *aEvent : BaseReceiveEvent()) {
  CheckSerialConnections();
  if (LogOn()) Log(".Created");
  FThread = std::thread(&TZEP_ReportThread::Execute, this);
}

TZEP_ReportThread::~TZEP_ReportThread() {
  Stop();
  if (LogOn()) Log(".Destroy");
}

bool TZEP_ReportThread::LogOn() const { return LogWanted(FLogId); }

void TZEP_ReportThread::Log(const std::string& text) const { LogInfo(FLogId, FDbgTag + text); }

// A fault of the session list keeps the previous finding: it must not stop
// the creation, and the loop reports such faults itself.
void TZEP_ReportThread::CheckSerialConnections() {
  try {
    bool found = false;
    const int count = FSessions.SlotCount();
    for (int i = 0; i < count; ++i) {
      const std::shared_ptr<TPolledSession> session = FSessions.Slot(i);
      if (!session || !session->IsSerialColdfire()) continue;
      found = true;
      if (LogOn()) Log(".CheckSerialConnections True");
    }
    FHasSerialSession = found;
  } catch (const std::exception& e) {
    if (LogOn()) LogException(FLogId, FDbgTag + ".CheckSerialConnections failed", e);
  } catch (...) {
    if (LogOn()) Log(".CheckSerialConnections failed: unknown exception");
  }
}

void TZEP_ReportThread::RemoveSession(const std::shared_ptr<TPolledSession>& aSession) {
  if (LogOn()) Log(".RemoveSession " + (aSession ? aSession->ToString() : std::string("NIL")));
  std::lock_guard lock(FStateLock);
  FRemovedSession = aSession;
}

bool TZEP_ReportThread::WaitUntilNotPolling(const std::shared_ptr<TPolledSession>& aSession,
                                            std::chrono::milliseconds timeout) {
  if (!aSession) return true;
  // A session callback on this thread would wait for its own poll to end.
  if (FThreadId.load() == std::this_thread::get_id()) return false;
  const TPolledSession* const session = aSession.get();
  std::unique_lock lock(FStateLock);
  // While a slot is being read (FHeld still unknown) it may be this session.
  return FHoldChanged.wait_for(lock, timeout,
                               [&] { return !FHolding || (FHeld != nullptr && FHeld != session); });
}

void TZEP_ReportThread::Terminate() {
  FTerminated = true;
  // The loop checks the flag after it resets the event and before it waits,
  // so this wakes it whichever comes first.
  FReceiveEvent.Set();
}

void TZEP_ReportThread::Stop() {
  Terminate();
  std::lock_guard lock(FStopLock);
  if (!FThread.joinable() || FThread.get_id() == std::this_thread::get_id()) return;
  FThread.join();
}

// Same owner, not same address: the mark holds the control block, so a new
// session at a freed one's address is never taken for it.
bool TZEP_ReportThread::IsRemoved(const std::shared_ptr<TPolledSession>& aSession) const {
  return !FRemovedSession.owner_before(aSession) && !aSession.owner_before(FRemovedSession);
}

void TZEP_ReportThread::Execute() {
  FThreadId = std::this_thread::get_id();
  pthread_setname_np(pthread_self(), "zep-acquire");  // shows in top and /proc
  if (LogOn()) Log(".Execute START");
  while (!Terminated()) {
    TPassState pass;
    bool delivered = false;
    try {
      // Reset before the pass rather than after it: bytes that arrive while
      // the pass runs then cut the following wait short instead of being
      // noticed only at its time-out.
      FReceiveEvent.Reset();
      RunPass(pass);
      delivered = pass.AnyReport;
    } catch (const std::exception& e) {
      if (LogOn()) LogException(FLogId, FDbgTag + ".Execute failed", e);
      PassFailed(ExceptionClassName(e), e.what());
    } catch (...) {
      if (LogOn()) Log(".Execute failed: unknown exception");
      PassFailed("unknown exception", "");
    }
    // A failed pass waits like an idle one, so a lasting fault cannot spin.
    if (!delivered) WaitIdle(pass);
  }
  if (LogOn()) Log(".Execute END");
}

void TZEP_ReportThread::RunPass(TPassState& pass) {
  const int count = FSessions.SlotCount();
  for (int i = 0; i < count && !Terminated(); ++i) PollSlot(i, pass);
}

void TZEP_ReportThread::PollSlot(int index, TPassState& pass) {
  const TSlotHold hold(*this);
  std::shared_ptr<TPolledSession> session = FSessions.Slot(index);
  if (!session) return;
  bool removed = false;
  {
    std::lock_guard lock(FStateLock);
    FHeld = session.get();
    removed = IsRemoved(session);
  }
  // A session under change is not touched beyond naming it.
  if (removed) {
    if (LogOn()) Log(".GetReport: session removed " + session->ToString());
    return;
  }
  try {
    if (session->OpenString() == kNoConnection) return;
    if (session->DeviceOpened()) pass.AnyOpen = true;
    if (session->GetReport()) pass.AnyReport = true;
  } catch (const std::exception& e) {
    if (!LogOn()) return;
    bool removedMeanwhile = false;
    {
      std::lock_guard lock(FStateLock);
      removedMeanwhile = IsRemoved(session);
    }
    LogException(FLogId,
                 FDbgTag + (removedMeanwhile ? ".Execute session removed -> ignore Exception" : ".GetReport failed"),
                 e);
  } catch (...) {
    if (LogOn()) Log(".GetReport failed: unknown exception");
  }
}

void TZEP_ReportThread::WaitIdle(const TPassState& pass) {
  if (Terminated()) return;
  const std::chrono::milliseconds timeout = !pass.AnyOpen          ? kIdleTimeout
                                            : FHasSerialSession.load() ? kSerialTimeout
                                                                       : kReceiveTimeout;
  // Signalled or timed out: either way the next pass follows.
  FReceiveEvent.WaitFor(timeout);
}

// Shown once per distinct text: a fault that repeats every pass must not
// flood the user with messages.
void TZEP_ReportThread::PassFailed(const std::string& className, const std::string& message) {
  std::string text = FDbgTag + ".Execute failed(" + className + "): " + message;
  if (text == FLastShownError || !FShowError) return;
  FLastShownError = std::move(text);
  try {
    FShowError(FLastShownError);
  } catch (...) {
    if (LogOn()) Log(".Execute: showing the error failed");
  }
}
