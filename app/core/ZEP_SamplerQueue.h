#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <variant>

#include "app/output/App_MultiSampler.h"

// Carries what the acquisition thread hands to the multi-sampler (value
// records, time stamps, sync times, warnings, source events) to a writer
// thread of its own, so the acquisition never waits on a log file. The queue
// is bounded by bytes; records that do not fit are counted per session and
// the sampler is told how many were lost before that session's next item.
class TSamplerQueue {
 public:
  static constexpr std::size_t kDefaultCapacityBytes = 64u * 1024 * 1024;

  TSamplerQueue(TMultiSampler& sampler, int aLogId, std::size_t capacityBytes = kDefaultCapacityBytes);
  ~TSamplerQueue();  // Stop
  TSamplerQueue(const TSamplerQueue&) = delete;
  TSamplerQueue& operator=(const TSamplerQueue&) = delete;

  void Start();
  // Hands over everything queued so far, then ends and joins the writer.
  void Stop();
  // Returns once everything queued before the call has been handed over.
  void Flush();

  // ---- any thread; never blocks on the sampler ----
  void AddStrings(int sIndex, bool sCopy, TSamplerStringClass stringClass, TMultiSamplerStrings record);
  void AddTimeStamp(int sIndex, bool sCopy, int64_t time100ms);
  void SetSessionSyncTime(int sIndex, bool sCopy, std::string syncTime);
  void AddWarning(int sIndex, bool sCopy, std::string text);
  void UpdateSession(int sIndex, bool sCopy, int what, std::string text);

  uint64_t LostRecords() const;

 private:
  struct TRecordTask {
    TSamplerStringClass StringClass;
    TMultiSamplerStrings Record;
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
  using TPayload = std::variant<TRecordTask, TTimeStampTask, TSyncTimeTask, TWarningTask, TEventTask>;
  struct TTask {
    int SessionIndex;
    bool SessionCopy;
    TPayload Payload;
    std::size_t Bytes;
  };
  using TSessionKey = std::pair<int, bool>;

  // False when the task did not fit (a record; everything else always fits).
  bool Push(TTask task, bool droppable);
  void Run();
  void HandOver(const TTask& task);
  void ReportLoss(const TSessionKey& key, uint64_t lost);

  TMultiSampler& FSampler;
  const int FLogId;
  const std::size_t FCapacityBytes;

  mutable std::mutex FLock;
  std::condition_variable FWake;     // writer: work or stop
  std::condition_variable FDrained;  // Flush: a batch was handed over
  std::deque<TTask> FTasks;
  std::size_t FBytes = 0;
  uint64_t FPushed = 0;    // tasks queued so far
  uint64_t FHandled = 0;   // tasks handed over so far
  std::map<TSessionKey, uint64_t> FLostBySession;  // not yet reported
  uint64_t FLostTotal = 0;
  bool FStop = false;
  std::thread FThread;
};
