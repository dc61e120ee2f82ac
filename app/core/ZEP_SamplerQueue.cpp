#include "app/core/ZEP_SamplerQueue.h"

#include <exception>

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
    : FSampler(sampler), FLogId(aLogId), FCapacityBytes(capacityBytes) {}

TSamplerQueue::~TSamplerQueue() { Stop(); }

void TSamplerQueue::Start() {
  std::lock_guard lock(FLock);
  if (FThread.joinable()) return;
  FStop = false;
  FThread = std::thread([this] { Run(); });
}

void TSamplerQueue::Stop() {
  {
    std::lock_guard lock(FLock);
    if (!FThread.joinable()) return;
    FStop = true;
  }
  FWake.notify_all();
  FThread.join();
}

void TSamplerQueue::Flush() {
  std::unique_lock lock(FLock);
  if (!FThread.joinable()) {
    // No writer: hand over on the calling thread.
    while (!FTasks.empty()) {
      TTask task = std::move(FTasks.front());
      FTasks.pop_front();
      FBytes -= task.Bytes;
      lock.unlock();
      HandOver(task);
      lock.lock();
      ++FHandled;
    }
    return;
  }
  const uint64_t target = FPushed;
  FDrained.wait(lock, [&] { return FHandled >= target; });
}

bool TSamplerQueue::Push(TTask task, bool droppable) {
  {
    std::lock_guard lock(FLock);
    if (droppable && FBytes + task.Bytes > FCapacityBytes) {
      ++FLostBySession[{task.SessionIndex, task.SessionCopy}];
      ++FLostTotal;
      return false;
    }
    FBytes += task.Bytes;
    FTasks.push_back(std::move(task));
    ++FPushed;
  }
  FWake.notify_one();
  return true;
}

void TSamplerQueue::AddStrings(int sIndex, bool sCopy, TSamplerStringClass stringClass, TMultiSamplerStrings record) {
  const std::size_t bytes = RecordBytes(record);
  Push({sIndex, sCopy, TRecordTask{stringClass, std::move(record)}, bytes}, true);
}

void TSamplerQueue::AddTimeStamp(int sIndex, bool sCopy, int64_t time100ms) {
  Push({sIndex, sCopy, TTimeStampTask{time100ms}, kTaskOverhead}, false);
}

void TSamplerQueue::SetSessionSyncTime(int sIndex, bool sCopy, std::string syncTime) {
  const std::size_t bytes = kTaskOverhead + syncTime.size();
  Push({sIndex, sCopy, TSyncTimeTask{std::move(syncTime)}, bytes}, false);
}

void TSamplerQueue::AddWarning(int sIndex, bool sCopy, std::string text) {
  const std::size_t bytes = kTaskOverhead + text.size();
  Push({sIndex, sCopy, TWarningTask{std::move(text)}, bytes}, false);
}

void TSamplerQueue::UpdateSession(int sIndex, bool sCopy, int what, std::string text) {
  const std::size_t bytes = kTaskOverhead + text.size();
  Push({sIndex, sCopy, TEventTask{what, std::move(text)}, bytes}, false);
}

uint64_t TSamplerQueue::LostRecords() const {
  std::lock_guard lock(FLock);
  return FLostTotal;
}

void TSamplerQueue::Run() {
  std::unique_lock lock(FLock);
  for (;;) {
    FWake.wait(lock, [&] { return FStop || !FTasks.empty(); });
    if (FTasks.empty()) return;  // stopping and drained
    TTask task = std::move(FTasks.front());
    FTasks.pop_front();
    FBytes -= task.Bytes;
    uint64_t lost = 0;
    if (auto it = FLostBySession.find({task.SessionIndex, task.SessionCopy}); it != FLostBySession.end()) {
      lost = it->second;
      FLostBySession.erase(it);
    }
    lock.unlock();
    if (lost > 0) ReportLoss({task.SessionIndex, task.SessionCopy}, lost);
    HandOver(task);
    lock.lock();
    ++FHandled;
    FDrained.notify_all();
  }
}

// The loss goes into the session's logs before the records that follow it:
// a new file whose header names it, or a comment line.
void TSamplerQueue::ReportLoss(const TSessionKey& key, uint64_t lost) {
  const std::string text = std::string("Source ") + SessionLetter(key.first) + ": " + std::to_string(lost) +
                           " records lost (log writer queue full)";
  try {
    FSampler.AddWarning(key.first, key.second, text);
  } catch (const std::exception& e) {
    if (LogWanted(FLogId)) LogError(FLogId, std::string("TSamplerQueue.ReportLoss failed: ") + e.what());
  }
}

void TSamplerQueue::HandOver(const TTask& task) {
  const int s = task.SessionIndex;
  const bool c = task.SessionCopy;
  try {
    if (const auto* r = std::get_if<TRecordTask>(&task.Payload)) {
      switch (r->StringClass) {
        case sscStandard: FSampler.AddStrings(s, c, r->Record); break;
        case sscVirtual: FSampler.AddStringsVirtual(s, c, r->Record); break;
        case sscSpecial: FSampler.AddStringsSpecial(s, c, r->Record); break;
        case sscAvgShort: FSampler.AddStringAvgShort(s, c, r->Record[0]); break;
        case sscAvgLong: FSampler.AddStringAvgLong(s, c, r->Record[0]); break;
      }
    } else if (const auto* t = std::get_if<TTimeStampTask>(&task.Payload)) {
      FSampler.AddTimeStamp(s, c, t->Time100ms);
    } else if (const auto* y = std::get_if<TSyncTimeTask>(&task.Payload)) {
      FSampler.SetSessionSyncTime(s, c, y->SyncTime);
    } else if (const auto* w = std::get_if<TWarningTask>(&task.Payload)) {
      FSampler.AddWarning(s, c, w->Text);
    } else if (const auto* e = std::get_if<TEventTask>(&task.Payload)) {
      FSampler.UpdateSession(s, c, e->What, e->Text);
    }
  } catch (const std::exception& e) {
    // A log that cannot be written must not stop the writer; the sampler
    // reports file problems itself.
    if (LogWanted(FLogId)) LogError(FLogId, std::string("TSamplerQueue.HandOver failed: ") + e.what());
  }
}
