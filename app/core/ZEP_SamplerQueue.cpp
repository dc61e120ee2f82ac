#include "app/core/ZEP_SamplerQueue.h"

#include <exception>
#include <optional>
#include <vector>

#include "app/core/App_SessionList.h"
#include "library/core/LogUnit.h"

namespace {

// What a task costs in the queue besides its strings.
constexpr std::size_t kTaskOverhead = 64;

std::size_t RecordBytes(const TMultiSamplerStrings& record) {
  std::size_t bytes = kTaskOverhead;
  for (const std::string& s : record) bytes += s.size();
  return bytes;
}

}  // namespace

TSamplerQueue::TSamplerQueue(TMultiSampler& sampler, int aLogId, std::size_t capacityBytes)
    : FSampler(sampler), FLogId(aLogId), FCapacityBytes(capacityBytes), FClock([] { return UtcNowMs(); }) {}

void TSamplerQueue::SetClock(std::function<TUtcMs()> clock) { FClock = std::move(clock); }

TSamplerQueue::~TSamplerQueue() { Stop(); }

void TSamplerQueue::Start() {
  std::lock_guard lock(FLock);
  if (FThread.joinable() || FWriterRunning) return;
  FStop = false;
  FWriterRunning = true;
  FThread = std::thread([this] { Run(); });
}

void TSamplerQueue::Stop() {
  std::thread writer;
  uint64_t target = 0;
  {
    std::lock_guard lock(FLock);
    QueueAllWaitingLocked();
    FStop = true;
    writer = std::move(FThread);
    target = FPushed;
  }
  FWake.notify_all();
  if (writer.joinable()) writer.join();
  // Whatever no writer took (none ran, or it came after the writer ended).
  HandOverUpTo(target);
}

void TSamplerQueue::Flush() {
  uint64_t target = 0;
  {
    std::unique_lock lock(FLock);
    QueueAllWaitingLocked();
    target = FPushed;
    if (FWriterRunning) {
      FWake.notify_one();
      FDrained.wait(lock, [&] { return FHandled >= target || !FWriterRunning; });
    }
    if (FHandled >= target) return;
  }
  HandOverUpTo(target);
}

void TSamplerQueue::HandOverUpTo(uint64_t target) {
  std::lock_guard handOver(FHandOverLock);
  for (;;) {
    {
      std::lock_guard lock(FLock);
      if (FHandled >= target) return;
    }
    if (!HandOverNext()) return;
  }
}

void TSamplerQueue::EnqueueLocked(TTask task) {
  FBytes += task.Bytes;
  FTasks.push_back(std::move(task));
  ++FPushed;
}

void TSamplerQueue::QueueWaitingLocked(const TSessionKey& key) {
  if (auto lost = FLostBySession.find(key); lost != FLostBySession.end()) {
    EnqueueLocked({key.first, key.second, TLossTask{lost->second}, kTaskOverhead});
    FLostBySession.erase(lost);
  }
  if (auto sync = FWaitingSyncTime.find(key); sync != FWaitingSyncTime.end()) {
    const std::size_t bytes = kTaskOverhead + sync->second.size();
    EnqueueLocked({key.first, key.second, TSyncTimeTask{std::move(sync->second)}, bytes});
    FWaitingSyncTime.erase(sync);
  }
}

void TSamplerQueue::QueueAllWaitingLocked() {
  std::vector<TSessionKey> keys;
  for (const auto& [key, lost] : FLostBySession) keys.push_back(key);
  for (const auto& [key, sync] : FWaitingSyncTime) keys.push_back(key);
  for (const TSessionKey& key : keys) QueueWaitingLocked(key);
}

bool TSamplerQueue::Push(TTask task, TFit fit) {
  {
    std::lock_guard lock(FLock);
    const TSessionKey key{task.SessionIndex, task.SessionCopy};
    if (fit != TFit::Always && FBytes + task.Bytes > FCapacityBytes) {
      if (fit == TFit::Droppable) {
        ++FLostBySession[key];
        ++FLostTotal;
      } else if (auto* sync = std::get_if<TSyncTimeTask>(&task.Payload)) {
        FWaitingSyncTime[key] = std::move(sync->SyncTime);
      }
      return false;
    }
    QueueWaitingLocked(key);
    EnqueueLocked(std::move(task));
  }
  FWake.notify_one();
  return true;
}

void TSamplerQueue::AddStrings(int sIndex, bool sCopy, TSamplerStringClass stringClass, TMultiSamplerStrings record,
                               std::optional<TUtcMs> sessionTime) {
  const std::size_t bytes = RecordBytes(record);
  const TSamplerRecordTime time{FClock(), sessionTime};
  Push({sIndex, sCopy, TRecordTask{stringClass, std::move(record), time}, bytes}, TFit::Droppable);
}

void TSamplerQueue::AddTimeStamp(int sIndex, bool sCopy, int64_t time100ms) {
  Push({sIndex, sCopy, TTimeStampTask{time100ms}, kTaskOverhead}, TFit::Always);
}

void TSamplerQueue::SetSessionSyncTime(int sIndex, bool sCopy, std::string syncTime) {
  const std::size_t bytes = kTaskOverhead + syncTime.size();
  Push({sIndex, sCopy, TSyncTimeTask{std::move(syncTime)}, bytes}, TFit::Replaces);
}

void TSamplerQueue::AddWarning(int sIndex, bool sCopy, std::string text) {
  const std::size_t bytes = kTaskOverhead + text.size();
  Push({sIndex, sCopy, TWarningTask{std::move(text)}, bytes}, TFit::Always);
}

void TSamplerQueue::UpdateSession(int sIndex, bool sCopy, int what, std::string text) {
  const std::size_t bytes = kTaskOverhead + text.size();
  Push({sIndex, sCopy, TEventTask{what, std::move(text)}, bytes}, TFit::Always);
}

uint64_t TSamplerQueue::LostRecords() const {
  std::lock_guard lock(FLock);
  return FLostTotal;
}

std::size_t TSamplerQueue::QueuedBytes() const {
  std::lock_guard lock(FLock);
  return FBytes;
}

void TSamplerQueue::Run() {
  for (;;) {
    {
      std::unique_lock lock(FLock);
      FWake.wait(lock, [&] { return FStop || !FTasks.empty(); });
      if (FTasks.empty()) {  // stopping and drained
        FWriterRunning = false;
        FDrained.notify_all();
        return;
      }
    }
    std::lock_guard handOver(FHandOverLock);
    HandOverNext();
  }
}

bool TSamplerQueue::HandOverNext() {
  std::optional<TTask> task;
  {
    std::lock_guard lock(FLock);
    if (FTasks.empty()) return false;
    task.emplace(std::move(FTasks.front()));
    FTasks.pop_front();
    FBytes -= task->Bytes;
  }
  HandOver(*task);
  {
    std::lock_guard lock(FLock);
    ++FHandled;
  }
  FDrained.notify_all();
  return true;
}

// The loss goes into the session's logs where the records are missing: a new
// file whose header names it, or a comment line.
void TSamplerQueue::ReportLoss(const TSessionKey& key, uint64_t lost) {
  FSampler.AddWarning(key.first, key.second,
                      std::string("Source ") + SessionLetter(key.first) + ": " + std::to_string(lost) +
                          " records lost (log writer queue full)");
}

void TSamplerQueue::HandOver(const TTask& task) {
  const int s = task.SessionIndex;
  const bool c = task.SessionCopy;
  try {
    if (const auto* r = std::get_if<TRecordTask>(&task.Payload)) {
      switch (r->StringClass) {
        case sscStandard: FSampler.AddStrings(s, c, r->Record, r->Time); break;
        case sscVirtual: FSampler.AddStringsVirtual(s, c, r->Record, r->Time); break;
        case sscSpecial: FSampler.AddStringsSpecial(s, c, r->Record, r->Time); break;
        case sscAvgShort: FSampler.AddStringAvgShort(s, c, r->Record[0], r->Time); break;
        case sscAvgLong: FSampler.AddStringAvgLong(s, c, r->Record[0], r->Time); break;
      }
    } else if (const auto* t = std::get_if<TTimeStampTask>(&task.Payload)) {
      FSampler.AddTimeStamp(s, c, t->Time100ms);
    } else if (const auto* y = std::get_if<TSyncTimeTask>(&task.Payload)) {
      FSampler.SetSessionSyncTime(s, c, y->SyncTime);
    } else if (const auto* w = std::get_if<TWarningTask>(&task.Payload)) {
      FSampler.AddWarning(s, c, w->Text);
    } else if (const auto* e = std::get_if<TEventTask>(&task.Payload)) {
      FSampler.UpdateSession(s, c, e->What, e->Text);
    } else if (const auto* l = std::get_if<TLossTask>(&task.Payload)) {
      ReportLoss({s, c}, l->Records);
    }
  } catch (const std::exception& e) {
    // A log that cannot be written must not stop the writer; the sampler
    // reports file problems itself.
    if (LogWanted(FLogId)) LogError(FLogId, std::string("TSamplerQueue.HandOver failed: ") + e.what());
  }
}
