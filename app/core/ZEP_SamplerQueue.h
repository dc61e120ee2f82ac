#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <variant>

#include "app/output/App_MultiSampler.h"

// Carries what the acquisition thread hands to the multi-sampler (value
// records, time stamps, sync times, warnings, source events) to a writer
// thread of its own, so the acquisition never waits on a log file. The queue
// is bounded by bytes: a record that does not fit is counted per session, and
// the statement "Source X: n records lost (log writer queue full)" takes the
// place of the missing records in that session's order (before its next item,
// or at the latest when the queue is flushed or stopped). A sync time that
// does not fit replaces the session's waiting one, which goes in before the
// session's next item. Time stamps, warnings and events always go in: they
// are few, and pairing the lines of several counters needs every stamp.
class TSamplerQueue {
 public:
  static constexpr std::size_t kDefaultCapacityBytes = 64u * 1024 * 1024;

  TSamplerQueue(TMultiSampler& sampler, int aLogId, std::size_t capacityBytes = kDefaultCapacityBytes);
  ~TSamplerQueue();  // Stop
  TSamplerQueue(const TSamplerQueue&) = delete;
  TSamplerQueue& operator=(const TSamplerQueue&) = delete;

  void Start();
  // Hands over everything queued so far, then ends and joins the writer
  // (without a writer, the calling thread hands over).
  void Stop();
  // Returns once everything queued before the call has been handed over
  // (by the calling thread when no writer runs).
  void Flush();

  // The wall clock that stamps records as they come (tests inject one).
  void SetClock(std::function<TUtcMs()> clock);

  // ---- any thread; never blocks on the sampler ----
  // The record is stamped with the clock now, beside `sessionTime` (the
  // session's own clock, the counter time), so it keeps the time it was
  // made however long it waits for the writer.
  void AddStrings(int sIndex, bool sCopy, TSamplerStringClass stringClass, TMultiSamplerStrings record,
                  std::optional<TUtcMs> sessionTime = std::nullopt);
  void AddTimeStamp(int sIndex, bool sCopy, int64_t time100ms);
  void SetSessionSyncTime(int sIndex, bool sCopy, std::string syncTime);
  void AddWarning(int sIndex, bool sCopy, std::string text);
  void UpdateSession(int sIndex, bool sCopy, int what, std::string text);

  uint64_t LostRecords() const;
  // Bytes the queue holds now (tasks waiting for the writer).
  std::size_t QueuedBytes() const;

 private:
  struct TRecordTask {
    TSamplerStringClass StringClass;
    TMultiSamplerStrings Record;
    TSamplerRecordTime Time;
  };
  struct TTimeStampTask {
    int64_t Time100ms;
  };
  struct TSyncTimeTask {
    std::string SyncTime;
  };
  struct TWarningTask {
    std::string Text;
  };
  struct TEventTask {
    int What;
    std::string Text;
  };
  struct TLossTask {
    uint64_t Records;
  };
  using TPayload = std::variant<TRecordTask, TTimeStampTask, TSyncTimeTask, TWarningTask, TEventTask, TLossTask>;
  struct TTask {
    int SessionIndex;
    bool SessionCopy;
    TPayload Payload;
    std::size_t Bytes;
  };
  using TSessionKey = std::pair<int, bool>;

  enum class TFit {
    Always,     // small and rare: time stamps, warnings, events
    Droppable,  // a record: counted as lost when it does not fit
    Replaces,   // a sync time: waits beside the queue when it does not fit
  };
  // False when the task did not go into the queue.
  bool Push(TTask task, TFit fit);
  // The session's waiting loss statement and sync time go in before its next item (lock held).
  void QueueWaitingLocked(const TSessionKey& key);
  void QueueAllWaitingLocked();
  void EnqueueLocked(TTask task);
  void Run();
  // Hands over queued tasks on the calling thread until `target` tasks are handed over.
  void HandOverUpTo(uint64_t target);
  // Takes the oldest task and hands it over; false when the queue is empty. Hand-over lock held.
  bool HandOverNext();
  void HandOver(const TTask& task);
  void ReportLoss(const TSessionKey& key, uint64_t lost);

  TMultiSampler& FSampler;
  const int FLogId;
  const std::size_t FCapacityBytes;
  std::function<TUtcMs()> FClock;  // set before producers start

  // One thread at a time takes and hands over tasks, so each session's order
  // holds whoever hands over. Taken before FLock.
  std::mutex FHandOverLock;
  mutable std::mutex FLock;
  std::condition_variable FWake;     // writer: work or stop
  std::condition_variable FDrained;  // Flush: a task was handed over, or the writer ended
  std::deque<TTask> FTasks;
  std::size_t FBytes = 0;
  uint64_t FPushed = 0;    // tasks queued so far
  uint64_t FHandled = 0;   // tasks handed over so far
  std::map<TSessionKey, uint64_t> FLostBySession;  // lost records whose statement is not queued yet
  std::map<TSessionKey, std::string> FWaitingSyncTime;  // the newest sync time that did not fit
  uint64_t FLostTotal = 0;
  bool FStop = false;
  bool FWriterRunning = false;
  std::thread FThread;
};
